// Records the events of the links it is handed to; every wait is bounded so a hang fails the test.
#pragma once

#include <gtest/gtest.h>

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
        int handle, kind;
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
            {handle, kind, std::string(reinterpret_cast<const char*>(bytes), bytes ? count : 0),
             at});
        self->changed_.notify_all();
        return result;
    }

    bool wait(int handle, const std::function<bool(const std::vector<Event>&)>& pred) {
        std::unique_lock<std::mutex> held(lock_);
        return changed_.wait_for(held, LIMIT, [&] { return pred(of(handle)); });
    }
    bool wait_count(int handle, int kind, int n = 1) {
        return wait(handle, [&](const std::vector<Event>& e) { return count_of(e, kind) >= n; });
    }
    bool wait_bytes(int handle, size_t n) {
        return wait(handle, [&](const std::vector<Event>& e) { return data_of(e).size() >= n; });
    }

    std::vector<Event> events(int handle) const {
        std::lock_guard<std::mutex> guard(lock_);
        return of(handle);
    }
    std::vector<int> kinds(int handle) const {
        std::vector<int> out;
        for (const Event& e : events(handle)) out.push_back(e.kind);
        return out;
    }
    std::string data(int handle) const { return data_of(events(handle)); }
    int count(int handle, int kind) const { return count_of(events(handle), kind); }
    size_t total() const {
        std::lock_guard<std::mutex> guard(lock_);
        return events_.size();
    }

    static int count_of(const std::vector<Event>& events, int kind) {
        int n = 0;
        for (const Event& e : events) n += e.kind == kind;
        return n;
    }
    static std::string data_of(const std::vector<Event>& events) {
        std::string out;
        for (const Event& e : events) out += e.bytes;
        return out;
    }

  private:
    std::vector<Event> of(int handle) const {
        std::vector<Event> out;
        for (const Event& e : events_)
            if (e.handle == handle) out.push_back(e);
        return out;
    }
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Event> events_;
};

// A count one thread raises and another waits for (up to LIMIT, or HOLD to hold a thread).
class Counter {
  public:
    void add() {
        std::lock_guard<std::mutex> guard(lock_);
        ++value_;
        changed_.notify_all();
    }
    int value() const {
        std::lock_guard<std::mutex> guard(lock_);
        return value_;
    }
    bool wait(int at_least = 1, std::chrono::milliseconds limit = CommEvents::LIMIT) {
        std::unique_lock<std::mutex> held(lock_);
        return changed_.wait_for(held, limit, [&] { return value_ >= at_least; });
    }

  private:
    mutable std::mutex lock_;
    std::condition_variable changed_;
    int value_ = 0;
};

// How long a test holds a thread (an event procedure, a callback) for a fault to show: a call
// that must wait for that thread but does not returns meanwhile.
constexpr std::chrono::milliseconds HOLD{100};

struct CommRunning {
    CommRunning() { EXPECT_EQ(comm_init(), 0); }
    ~CommRunning() { comm_shut(); }
};
