// The libusb fake bus (usb_fake.h) with a layer over its table of libusb calls that records
// what the USB transport asks for and injects what a real bus does now and then: refusals,
// string descriptors, transfers that come back halted, overflowed or from an unplugged device,
// an OUT transfer the device does not take, hot-plug rounds, libusb's own timer. Bench is its
// face for the tests: the same as the Windows fake's (usb_win_fake.h), so the contract tests
// (comm_usb_contract_test.cpp) hold both transports, and the hooks themselves for the tests of
// what only libusb has.
#pragma once

#if NV_HAVE_LIBUSB

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "comm_events.h"
#include "comm_internal.h"
#include "usb_fake.h"

namespace usb_fake {

inline const comm_usb_api& fake() {
    return usb_fake::Bus::table();
}
inline usb_fake::Device* device_of(libusb_device_handle* h) {
    return reinterpret_cast<usb_fake::Ref*>(h)->device;
}
inline usb_fake::Context* context_of(libusb_transfer* t) {
    return reinterpret_cast<usb_fake::Ref*>(t->dev_handle)->context;
}

// What the test injects and what it saw; everything under `lock`.
struct Hooks {
    std::mutex lock;
    std::condition_variable changed;
    int init_error = 0, list_error = 0, open_error = 0, claim_error = 0, detach_error = 0;
    int driver_query = -99;  // not -99: what kernel_driver_active answers
    bool hotplug_capable = true;
    int hotplug_error = 0;
    libusb_context* last_ctx = nullptr;  // the context made last
    int halt_error = 0;                  // what clearing a halt answers
    int in_submits_left = -1;            // not -1: IN submissions that succeed before one fails
    int out_submit_error = 0;
    // libusb's own timer: due at `timer_at` on `timer_ctx`, when it then completes `timer_data`
    // for `timer_device` (or a hot-plug round on the hot-plug context); nothing wakes the poll.
    libusb_context* timer_ctx = nullptr;
    std::chrono::steady_clock::time_point timer_at;
    usb_fake::Device* timer_device = nullptr;
    std::string timer_data;
    std::map<const usb_fake::Device*, std::vector<std::string>> names;  // by string index 1..3
    std::vector<std::string> calls;  // driver and interface calls, halts, in order
    std::vector<int> in_lengths, out_flags;
    std::vector<unsigned char> endpoints;  // of every submitted transfer
    // The next `rewrite_in` IN transfers that come back complete come back with `in_status`.
    int rewrite_in = 0, rewritten = 0;
    libusb_transfer_status in_status = LIBUSB_TRANSFER_COMPLETED;
    libusb_transfer_status out_status = LIBUSB_TRANSFER_COMPLETED;  // every OUT, when not so
    std::map<libusb_transfer*, libusb_transfer_cb_fn> callbacks;
    bool hold_out = false;  // OUT transfers stay pending until cancelled
    std::vector<libusb_transfer*> held, done;
    // Hot-plug: the registered callback, and rounds of changes still to report.
    libusb_hotplug_callback_fn plug_fn = nullptr;
    void* plug_user = nullptr;
    libusb_context* plug_ctx = nullptr;
    int plug_changes = 0;

    void note(const std::string& call) {
        calls.push_back(call);
        changed.notify_all();
    }
};
inline Hooks* hooks = nullptr;

inline void kick(usb_fake::Context* c) {
    uint64_t one = 1;
    if (::write(c->event_fd, &one, sizeof one) < 0) ADD_FAILURE() << "event fd";
}

inline void LIBUSB_CALL returned(libusb_transfer* t) {
    libusb_transfer_cb_fn original;
    {
        std::lock_guard<std::mutex> guard(hooks->lock);
        original = hooks->callbacks[t];
        bool in = (t->endpoint & LIBUSB_ENDPOINT_IN) != 0;
        if (in && hooks->rewrite_in > 0 && t->status == LIBUSB_TRANSFER_COMPLETED) {
            --hooks->rewrite_in;
            ++hooks->rewritten;
            t->status = hooks->in_status;
            if (t->status != LIBUSB_TRANSFER_COMPLETED) t->actual_length = 0;
            hooks->changed.notify_all();
        }
        if (!in && t->status == LIBUSB_TRANSFER_COMPLETED &&
            hooks->out_status != LIBUSB_TRANSFER_COMPLETED) {
            t->status = hooks->out_status;
            t->actual_length = 0;
        }
    }
    original(t);
}

// clang-format off
inline const comm_usb_api HOOKED = {
    [](libusb_context** ctx) {
        { std::lock_guard<std::mutex> guard(hooks->lock); if (hooks->init_error) return hooks->init_error; }
        int r = fake().init(ctx);
        std::lock_guard<std::mutex> guard(hooks->lock);
        hooks->last_ctx = *ctx;
        return r;
    },
    [](libusb_context* ctx) { fake().exit(ctx); },
    [](libusb_context* ctx, libusb_device*** list) -> ssize_t {
        { std::lock_guard<std::mutex> guard(hooks->lock); if (hooks->list_error) return hooks->list_error; }
        return fake().get_device_list(ctx, list);
    },
    [](libusb_device** list, int unref) { fake().free_device_list(list, unref); },
    [](libusb_device* dev, libusb_device_descriptor* desc) {
        int r = fake().get_device_descriptor(dev, desc);
        std::lock_guard<std::mutex> guard(hooks->lock);
        if (hooks->names.count(reinterpret_cast<usb_fake::Ref*>(dev)->device)) {
            desc->iManufacturer = 1;
            desc->iProduct = 2;
            desc->iSerialNumber = 3;
        }
        return r;
    },
    [](libusb_device* dev) { return fake().get_bus_number(dev); },
    [](libusb_device* dev, uint8_t* ports, int n) { return fake().get_port_numbers(dev, ports, n); },
    [](libusb_device* dev, libusb_config_descriptor** c) { return fake().get_active_config_descriptor(dev, c); },
    [](libusb_config_descriptor* c) { fake().free_config_descriptor(c); },
    [](libusb_device* dev, libusb_device_handle** h) {
        { std::lock_guard<std::mutex> guard(hooks->lock); if (hooks->open_error) return hooks->open_error; }
        return fake().open(dev, h);
    },
    [](libusb_device_handle* h) { fake().close(h); },
    [](libusb_device_handle* h, uint8_t index, unsigned char* data, int length) {
        std::lock_guard<std::mutex> guard(hooks->lock);
        auto it = hooks->names.find(device_of(h));
        if (it == hooks->names.end() || index < 1 || index > it->second.size())
            return static_cast<int>(LIBUSB_ERROR_INVALID_PARAM);
        const std::string& s = it->second[index - 1];
        if (s == "refused") return static_cast<int>(LIBUSB_ERROR_PIPE);
        int n = std::min(length, static_cast<int>(s.size()));
        std::memcpy(data, s.data(), static_cast<size_t>(n));
        return n;
    },
    [](libusb_device_handle* h, int iface) {
        {
            std::lock_guard<std::mutex> guard(hooks->lock);
            hooks->note("active " + std::to_string(iface));
            if (hooks->driver_query != -99) return hooks->driver_query;
        }
        return fake().kernel_driver_active(h, iface);
    },
    [](libusb_device_handle* h, int iface) {
        {
            std::lock_guard<std::mutex> guard(hooks->lock);
            hooks->note("detach " + std::to_string(iface));
            if (hooks->detach_error) return hooks->detach_error;
        }
        return fake().detach_kernel_driver(h, iface);
    },
    [](libusb_device_handle* h, int iface) {
        { std::lock_guard<std::mutex> guard(hooks->lock); hooks->note("attach " + std::to_string(iface)); }
        return fake().attach_kernel_driver(h, iface);
    },
    [](libusb_device_handle* h, int iface) {
        {
            std::lock_guard<std::mutex> guard(hooks->lock);
            hooks->note("claim " + std::to_string(iface));
            if (hooks->claim_error) return hooks->claim_error;
        }
        return fake().claim_interface(h, iface);
    },
    [](libusb_device_handle* h, int iface) {
        { std::lock_guard<std::mutex> guard(hooks->lock); hooks->note("release " + std::to_string(iface)); }
        return fake().release_interface(h, iface);
    },
    [](libusb_device_handle* h, unsigned char ep) {
        char text[16];
        std::snprintf(text, sizeof text, "halt %02x", ep);
        {
            std::lock_guard<std::mutex> guard(hooks->lock);
            hooks->note(text);
            if (hooks->halt_error) return hooks->halt_error;
        }
        return fake().clear_halt(h, ep);
    },
    [](int iso) { return fake().alloc_transfer(iso); },
    [](libusb_transfer* t) { fake().free_transfer(t); },
    [](libusb_transfer* t) {
        {
            std::lock_guard<std::mutex> guard(hooks->lock);
            hooks->endpoints.push_back(t->endpoint);
            if (t->callback != returned) {
                hooks->callbacks[t] = t->callback;
                t->callback = returned;
            }
            if ((t->endpoint & LIBUSB_ENDPOINT_IN) != 0) {
                hooks->in_lengths.push_back(t->length);
                if (hooks->in_submits_left == 0) return static_cast<int>(LIBUSB_ERROR_IO);
                if (hooks->in_submits_left > 0) --hooks->in_submits_left;
            } else {
                if (hooks->out_submit_error) return hooks->out_submit_error;
                hooks->out_flags.push_back(t->flags);
                if (hooks->hold_out) {
                    hooks->held.push_back(t);
                    hooks->changed.notify_all();
                    return 0;
                }
            }
        }
        return fake().submit_transfer(t);
    },
    [](libusb_transfer* t) {
        {
            std::lock_guard<std::mutex> guard(hooks->lock);
            auto it = std::find(hooks->held.begin(), hooks->held.end(), t);
            if (it != hooks->held.end()) {
                hooks->held.erase(it);
                t->status = LIBUSB_TRANSFER_CANCELLED;
                t->actual_length = 0;
                hooks->done.push_back(t);
                kick(context_of(t));
                return 0;
            }
        }
        return fake().cancel_transfer(t);
    },
    [](libusb_context* ctx) { return fake().get_pollfds(ctx); },
    [](const libusb_pollfd** fds) { fake().free_pollfds(fds); },
    [](libusb_context* ctx, timeval* tv) {
        std::lock_guard<std::mutex> guard(hooks->lock);
        if (ctx != hooks->timer_ctx) return fake().get_next_timeout(ctx, tv);
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            hooks->timer_at - std::chrono::steady_clock::now()).count();
        left = std::max<long>(left, 0);
        tv->tv_sec = left / 1000000;
        tv->tv_usec = left % 1000000;
        return 1;
    },
    [](libusb_context* ctx, timeval* tv, int* completed) {
        std::vector<libusb_transfer*> mine;
        bool plug = false;
        {
            std::lock_guard<std::mutex> guard(hooks->lock);
            for (auto it = hooks->done.begin(); it != hooks->done.end();) {
                if (reinterpret_cast<libusb_context*>(context_of(*it)) == ctx) {
                    mine.push_back(*it);
                    it = hooks->done.erase(it);
                } else {
                    ++it;
                }
            }
            plug = ctx == hooks->plug_ctx && hooks->plug_changes > 0;
            if (ctx == hooks->timer_ctx && std::chrono::steady_clock::now() >= hooks->timer_at) {
                hooks->timer_ctx = nullptr;  // the timer fires once
                if (hooks->timer_device) hooks->timer_device->to_host += hooks->timer_data;
            } else if (ctx == hooks->plug_ctx && hooks->timer_ctx == ctx) {
                plug = false;  // the round waits for its timer
            }
        }
        if (plug) {  // a round of changes: each reported as libusb does, inside event handling
            int n;
            { std::lock_guard<std::mutex> guard(hooks->lock); n = hooks->plug_changes; hooks->plug_changes = 0; }
            for (int i = 0; i < n; ++i)
                hooks->plug_fn(ctx, nullptr, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, hooks->plug_user);
        }
        for (libusb_transfer* t : mine) t->callback(t);
        timeval zero{0, 0};
        return fake().handle_events_timeout_completed(ctx, mine.empty() && !plug ? tv : &zero, completed);
    },
    [](uint32_t) { std::lock_guard<std::mutex> guard(hooks->lock); return hooks->hotplug_capable ? 1 : 0; },
    [](libusb_context* ctx, int events, int flags, int vendor, int product, int cls,
       libusb_hotplug_callback_fn fn, void* user, libusb_hotplug_callback_handle* handle) {
        std::lock_guard<std::mutex> guard(hooks->lock);
        EXPECT_EQ(events, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
        EXPECT_EQ(flags, 0);  // changes only, not the devices already there
        EXPECT_EQ(vendor, LIBUSB_HOTPLUG_MATCH_ANY);
        EXPECT_EQ(product, LIBUSB_HOTPLUG_MATCH_ANY);
        EXPECT_EQ(cls, LIBUSB_HOTPLUG_MATCH_ANY);
        if (hooks->hotplug_error) return hooks->hotplug_error;
        hooks->plug_fn = fn;
        hooks->plug_user = user;
        hooks->plug_ctx = ctx;
        *handle = 7;
        return 0;
    },
    [](libusb_context* ctx, libusb_hotplug_callback_handle handle) {
        std::lock_guard<std::mutex> guard(hooks->lock);
        EXPECT_EQ(handle, 7);
        if (ctx == hooks->plug_ctx) hooks->plug_ctx = nullptr;
        hooks->note("hotplug off");
    },
};
// clang-format on

// How a read comes back when a test spoils it.
enum class Back { timed_out, halted, halted_for_good, unplugged, error };
// Why an open is refused.
enum class Refusal { none, in_use, gone };

inline std::string entry_of(const Device& d) {
    char location[64];
    comm_usb_location(d.bus, d.ports.data(), static_cast<int>(d.ports.size()), location,
                      sizeof location);
    char e[96];
    std::snprintf(e, sizeof e, "USBS:%s:%04x/%04x", location, d.vendor, d.product);
    return e;
}
// The words an operator's note names the device by.
inline std::string words_of(const Device& d) {
    std::string e = entry_of(d);
    std::string location = e.substr(5, e.rfind(':') - 5);
    const size_t dash = location.find('-');
    char w[96];
    std::snprintf(w, sizeof w, "bus %s%s%s (%04x:%04x)", location.substr(0, dash).c_str(),
                  dash == std::string::npos ? "" : " port ",
                  dash == std::string::npos ? "" : location.substr(dash + 1).c_str(), d.vendor,
                  d.product);
    return w;
}

// The fake bus with the hooks over it, for the length of a test.
struct Bench : Installed {
    Hooks h;
    Bench() {
        hooks = &h;
        comm_usb_set_api(&HOOKED);
    }
    ~Bench() {
        comm_usb_set_api(&Bus::table());  // Installed's own end restores libusb
        hooks = nullptr;
    }
    Device* add(int bus_number, std::vector<uint8_t> ports, int product = 0x0C44,
                int vendor = 0x1781) {
        Device d;
        d.bus = bus_number;
        d.ports = std::move(ports);
        d.product = static_cast<uint16_t>(product);
        d.vendor = static_cast<uint16_t>(vendor);
        return add(d);
    }
    Device* add(const Device& d) {
        Device* added = bus.add(d);
        plug_round();
        return added;
    }
    void names(Device* d, const std::string& maker, const std::string& name,
               const std::string& serial) {
        set([&](Hooks& k) { k.names[d] = {maker, name, serial}; });
    }
    void send(Device* d, const std::string& bytes) { bus.send(d, bytes); }
    std::string received(Device* d, size_t n = 0) { return bus.received(d, n); }
    // Pulled out: what is in flight comes back as from an unplugged device, the listing no
    // longer shows it.
    void unplug(Device* d) {
        set([&](Hooks& k) {
            for (auto it = k.held.begin(); it != k.held.end();) {
                if (device_of((*it)->dev_handle) != d) {
                    ++it;
                    continue;
                }
                (*it)->status = LIBUSB_TRANSFER_NO_DEVICE;
                (*it)->actual_length = 0;
                k.done.push_back(*it);
                kick(context_of(*it));
                it = k.held.erase(it);
            }
        });
        bus.unplug(d);
        plug_round();
    }
    void spoil_reads(Back how, int count) {
        set([&](Hooks& k) {
            k.rewrite_in = count;
            k.in_status = how == Back::timed_out   ? LIBUSB_TRANSFER_TIMED_OUT
                          : how == Back::unplugged ? LIBUSB_TRANSFER_NO_DEVICE
                          : how == Back::error     ? LIBUSB_TRANSFER_ERROR
                                                   : LIBUSB_TRANSFER_STALL;
            k.halt_error = how == Back::halted_for_good ? LIBUSB_ERROR_IO : 0;
        });
    }
    bool wait_spoiled(int n) {
        return wait([&](Hooks& k) { return k.rewritten >= n; });
    }
    void fail_reads_after(int n) {
        set([&](Hooks& k) { k.in_submits_left = n; });
    }
    void hold_writes(bool on) {
        set([&](Hooks& k) { k.hold_out = on; });
    }
    bool wait_write_held() {
        return wait([](Hooks& k) { return !k.held.empty(); });
    }
    void fail_write_submits(bool on) {
        set([&](Hooks& k) { k.out_submit_error = on ? LIBUSB_ERROR_IO : 0; });
    }
    void halt_writes(bool on) {
        set([&](Hooks& k) {
            k.out_status = on ? LIBUSB_TRANSFER_STALL : LIBUSB_TRANSFER_COMPLETED;
        });
    }
    void refuse_open(Refusal why) {
        set([&](Hooks& k) {
            k.claim_error = why == Refusal::in_use ? LIBUSB_ERROR_BUSY : 0;
            k.open_error = why == Refusal::gone ? LIBUSB_ERROR_NO_DEVICE : 0;
        });
    }
    std::vector<std::string> halts() {
        std::vector<std::string> out;
        for (const std::string& c : calls())
            if (c.rfind("halt", 0) == 0) out.push_back(c);
        return out;
    }
    std::vector<int> read_sizes() {
        std::lock_guard<std::mutex> guard(h.lock);
        return h.in_lengths;
    }
    std::vector<bool> zero_packets() {
        std::lock_guard<std::mutex> guard(h.lock);
        std::vector<bool> out;
        for (int f : h.out_flags) out.push_back((f & LIBUSB_TRANSFER_ADD_ZERO_PACKET) != 0);
        return out;
    }
    std::set<int> pipes() {
        std::lock_guard<std::mutex> guard(h.lock);
        return std::set<int>(h.endpoints.begin(), h.endpoints.end());
    }
    void clear_records() {
        set([](Hooks& k) {
            k.in_lengths.clear();
            k.out_flags.clear();
            k.endpoints.clear();
        });
    }

    // ---- the hooks themselves --------------------------------------------------------------
    template <typename F>
    void set(F f) {
        std::lock_guard<std::mutex> guard(h.lock);
        f(h);
    }
    template <typename P>
    bool wait(P pred) {
        std::unique_lock<std::mutex> held(h.lock);
        return h.changed.wait_for(held, CommEvents::LIMIT, [&] { return pred(h); });
    }
    std::vector<std::string> calls() {
        std::lock_guard<std::mutex> guard(h.lock);
        return h.calls;
    }
    // A round of `changes` arrivals and removals, reported when hot-plug is registered.
    void plug_round(int changes = 1) {
        libusb_context* ctx;
        {
            std::lock_guard<std::mutex> guard(h.lock);
            ctx = h.plug_ctx;
            if (ctx) h.plug_changes += changes;
        }
        if (ctx) kick(reinterpret_cast<Context*>(ctx));
    }
};

}  // namespace usb_fake

#endif  // NV_HAVE_LIBUSB
