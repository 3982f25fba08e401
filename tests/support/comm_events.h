// Test support for the communication library: an event procedure that records every event of
// the links it is handed to, with waits bounded by a generous limit so a hang fails the test.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "libcomm.h"

class CommEvents {
  public:
    using clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds LIMIT{30};

    struct Event {
        int handle;
        int kind;
        std::string bytes;
        clock::time_point at;
    };

    // Runs on the I/O thread before the event is recorded; its result is the event's result.
    // Set it before the link is connected.
    std::function<int(int handle, int kind, const unsigned char* bytes, int count)> hook;

    // Records last and notifies under the lock: a test that saw the event may destroy the
    // recorder at once, so nothing of it is touched after the lock is released.
    static int proc(int handle, int kind, const unsigned char* bytes, int count, void* context) {
        auto self = static_cast<CommEvents*>(context);
        clock::time_point at = clock::now();
        int result = self->hook ? self->hook(handle, kind, bytes, count) : 0;
        std::lock_guard<std::mutex> guard(self->lock_);
        self->events_.push_back(
            {handle, kind,
             bytes ? std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(count))
                   : std::string(),
             at});
        self->changed_.notify_all();
        return result;
    }

    // Waits until `pred` (called with the events so far, under the lock) holds.
    bool wait(const std::function<bool(const std::vector<Event>&)>& pred) {
        std::unique_lock<std::mutex> held(lock_);
        return changed_.wait_for(held, LIMIT, [&] { return pred(events_); });
    }
    bool wait_count(int handle, int kind, int n = 1) {
        return wait(
            [&](const std::vector<Event>& all) { return count_of(all, handle, kind) >= n; });
    }
    bool wait_bytes(int handle, size_t n) {
        return wait(
            [&](const std::vector<Event>& all) { return data_of(all, handle).size() >= n; });
    }

    std::vector<Event> events(int handle) const {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<Event> out;
        for (const Event& e : events_)
            if (e.handle == handle) out.push_back(e);
        return out;
    }
    std::vector<int> kinds(int handle) const {
        std::vector<int> out;
        for (const Event& e : events(handle)) out.push_back(e.kind);
        return out;
    }
    std::string data(int handle) const {
        std::lock_guard<std::mutex> guard(lock_);
        return data_of(events_, handle);
    }
    int count(int handle, int kind) const {
        std::lock_guard<std::mutex> guard(lock_);
        return count_of(events_, handle, kind);
    }
    size_t total() const {
        std::lock_guard<std::mutex> guard(lock_);
        return events_.size();
    }

  private:
    static int count_of(const std::vector<Event>& all, int handle, int kind) {
        int n = 0;
        for (const Event& e : all) n += e.handle == handle && e.kind == kind;
        return n;
    }
    static std::string data_of(const std::vector<Event>& all, int handle) {
        std::string out;
        for (const Event& e : all)
            if (e.handle == handle && e.kind == COMM_EVENT_DATA) out += e.bytes;
        return out;
    }

    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Event> events_;
};

// comm_init for the length of a test; comm_shut at its end.
class CommRunning {
  public:
    CommRunning() : ok_(comm_init() == 0) {}
    ~CommRunning() { comm_shut(); }
    bool ok() const { return ok_; }

  private:
    bool ok_;
};
