// The test's side of a fake USB bus, shared by the libusb and WinUSB fakes so that one set of
// contract tests holds both transports: devices with their ids, place and strings; what the bus
// injects (reads that come back badly, reads or writes that cannot go out, writes the device does
// not take or takes before its pipe halts, refused opens); and what it saw. Each system's fake
// (Self) maps its calls onto this model, completes what can in woken() (under the lock, after
// every change) and reports arrivals and removals in plugged(bool) (outside it).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "comm_events.h"

namespace usb_fake {

struct Device {
    int bus = 1;
    std::vector<uint8_t> ports;
    uint16_t vendor = 0x1781;
    uint16_t product = 0x0C44;
    // String descriptors (none when all are empty); libusb refuses one that reads "refused".
    std::string maker, name, serial;
    bool kernel_driver = false;  // libusb: bound to interface 1, busy until it is detached
    bool winusb = true;          // Windows: WinUSB is the driver of the instrument's interface
    bool composite = false;      // Windows: its interface 1 a function (child device) of its own
    // Windows: its DeviceInterfaceGUIDs (our INF's; DeviceInterfaceGUID, one, when not `several`).
    std::vector<std::string> interface_guids = {"{A57E82B0-6334-473C-A5F5-7F197C11CCCB}"};
    bool several = true;
    std::string to_host, from_host;  // under the bench's lock
    bool gone = false;               // unplugged
    int id = 0;                      // its place in the bench's list
};

// A device at `bus` and `ports`, not plugged in yet.
inline Device at(int bus, std::vector<uint8_t> ports, int product = 0x0C44, int vendor = 0x1781) {
    Device d;
    d.bus = bus;
    d.ports = std::move(ports);
    d.product = static_cast<uint16_t>(product);
    d.vendor = static_cast<uint16_t>(vendor);
    return d;
}
// The device's ids as its entry ('/') and its words (':') show them.
inline std::string ids_of(const Device& d, char between) {
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x%c%04x", d.vendor, between, d.product);
    return ids;
}

// How a read or write ends: done, cancelled, or as a test spoils a read.
enum class Back {
    done,
    cancelled,
    timed_out,
    halted,
    halted_for_good,
    unplugged,
    error,
    overflowed
};
enum class Refusal { none, in_use, gone };

template <typename Self>
class Core {
  public:
    // Injected through set(): the next `spoil_left` reads that would complete with bytes come
    // back `spoil`, the bytes lost (counted in `spoiled`); reads after `reads_left` more fail (-1:
    // none); writes stay pending until cancelled, cannot go out, or come back from a halted pipe
    // after the device took them; opens are refused.
    Back spoil = Back::error;
    int spoil_left = 0, spoiled = 0, reads_left = -1;
    bool hold_writes = false, write_refused = false, write_halted = false;
    int taken_before_stall = 0;  // of a held write: taken before it stalled, then takes again
    Refusal refusal = Refusal::none;

    Core() = default;
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    Device* add(int bus, std::vector<uint8_t> ports, int product = 0x0C44, int vendor = 0x1781) {
        return add(at(bus, std::move(ports), product, vendor));
    }
    Device* add(Device d) {
        Device* added = nullptr;
        set([&](Self&) {
            d.id = static_cast<int>(devices_.size());
            devices_.push_back(std::make_unique<Device>(std::move(d)));
            added = devices_.back().get();
        });
        self().plugged(true);
        return added;
    }
    void names(Device* d, const std::string& maker, const std::string& name,
               const std::string& serial) {
        set([&](Self&) {
            d->maker = maker;
            d->name = name;
            d->serial = serial;
        });
    }
    void send(Device* d, const std::string& bytes) {
        set([&](Self&) { d->to_host += bytes; });
    }
    // What the device received, once it is at least `n` bytes (or the limit passed).
    std::string received(Device* d, size_t n = 0) {
        wait([&](Self&) { return d->from_host.size() >= n; });
        return get([&](Self&) { return d->from_host; });
    }
    // Pulled out: what is in flight fails as from no device, the listing no longer shows it.
    void unplug(Device* d) {
        set([&](Self&) { d->gone = true; });
        self().plugged(false);
    }
    bool wait_write_held() {
        return wait([](Self& s) { return s.holding(); });
    }
    // Driver and interface calls, halts cleared ("halt 81"), hot-plug off, in order, those
    // starting with `prefix`, joined by commas.
    std::string calls(const std::string& prefix = "") {
        std::string out;
        for (const std::string& c : get([](Self& s) { return s.calls_; }))
            if (c.rfind(prefix, 0) == 0) out += (out.empty() ? "" : ",") + c;
        return out;
    }
    // What went out since the last clear: each read's size, whether each write went out on a
    // pipe that ends whole packets with a zero-length one, the pipes used.
    struct Records {
        std::vector<int> read_sizes;
        std::vector<bool> zero_packets;
        std::set<int> pipes;
    };
    Records records(bool clear = false) {
        return get([&](Self& s) { return clear ? std::exchange(s.records_, {}) : s.records_; });
    }

    // Changes the bus under its lock; what can complete then completes.
    template <typename F>
    void set(F f) {
        std::lock_guard<std::mutex> guard(lock_);
        f(self());
        self().woken();
        changed_.notify_all();
    }
    template <typename F>
    auto get(F f) {
        std::lock_guard<std::mutex> guard(lock_);
        return f(self());
    }
    template <typename P>
    bool wait(P pred) {
        std::unique_lock<std::mutex> held(lock_);
        return changed_.wait_for(held, CommEvents::LIMIT, [&] { return pred(self()); });
    }

  protected:
    Self& self() { return static_cast<Self&>(*this); }
    // "what=n " for each count that is not 0: what a link has not given back.
    static std::string counted(std::initializer_list<std::pair<const char*, size_t>> counts) {
        std::string out;
        for (auto [what, n] : counts)
            if (n != 0) out.append(what).append("=").append(std::to_string(n)).append(" ");
        return out;
    }
    // Under lock_: records a call.
    void note(const std::string& call) {
        calls_.push_back(call);
        changed_.notify_all();
    }
    // Under lock_: records a read or write going out on `pipe`; false when it cannot.
    bool goes_out(int pipe, bool in, int length, bool zero_packet) {
        records_.pipes.insert(pipe);
        if (!in) {
            records_.zero_packets.push_back(zero_packet);
            return !write_refused;
        }
        records_.read_sizes.push_back(length);
        if (reads_left == 0) return false;
        if (reads_left > 0) --reads_left;
        return true;
    }
    // Under lock_: whether a read or write in flight can end now.
    static bool ready(const Device* d, bool in, bool held, bool cancelled) {
        return cancelled || d->gone || (in ? !d->to_host.empty() : !held);
    }
    // Under lock_: ends it, giving how and the bytes moved: a read takes up to `length` of the
    // device's bytes (lost when spoilt); the device takes a write (its pipe may halt after it).
    Back end(Device* d, bool in, bool cancelled, unsigned char* buffer, size_t length, size_t* n) {
        *n = 0;
        changed_.notify_all();
        if (cancelled && !in && taken_before_stall > 0) {
            *n = std::min(length, static_cast<size_t>(std::exchange(taken_before_stall, 0)));
            d->from_host.append(reinterpret_cast<const char*>(buffer), *n);
            hold_writes = false;
        }
        if (cancelled || d->gone) return cancelled ? Back::cancelled : Back::unplugged;
        if (!in) {
            d->from_host.append(reinterpret_cast<const char*>(buffer), length);
            *n = write_halted ? 0 : length;
            return write_halted ? Back::halted : Back::done;
        }
        const size_t taken = std::min(d->to_host.size(), length);
        std::memcpy(buffer, d->to_host.data(), taken);
        d->to_host.erase(0, taken);
        if (spoil_left == 0) return *n = taken, Back::done;
        --spoil_left, ++spoiled;
        return spoil;
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::unique_ptr<Device>> devices_;
    std::vector<std::string> calls_;
    Records records_;
};

}  // namespace usb_fake
