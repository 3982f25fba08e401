// A fake USB bus behind the transport's table of libusb calls, on the bench shared with the
// Windows fake: one instrument interface per device; bulk transfers complete only inside event
// handling (as libusb's do), on whichever thread handles events; an event descriptor per context
// for the I/O thread's poll; hot-plug rounds and libusb's own timer. It records driver and
// interface calls, injects libusb's refusals and counts what is handed out, so a test can check
// that a link gives back every context, interface, driver and transfer.
#pragma once

#if NV_HAVE_LIBUSB

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <map>

#include "comm_internal.h"
#include "usb_api.h"
#include "usb_bench.h"

namespace usb_fake {

struct Context;

// What a libusb_device and a libusb_device_handle point to.
struct Ref {
    Device* device;
    Context* context;
};

struct Context {
    int event_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::vector<std::unique_ptr<Ref>> refs;  // every libusb_device handed out
    ~Context() { ::close(event_fd); }
};

struct Config {
    libusb_config_descriptor config{};
    libusb_interface interfaces[2]{};
    libusb_interface_descriptor alts[2]{};
    libusb_endpoint_descriptor endpoints[3]{};
};

class Bench;
inline Bench* installed = nullptr;

class Bench : public Core<Bench> {
  public:
    Bench() {
        installed = this;
        comm_usb_set_api(&table());
    }
    ~Bench() {
        comm_usb_set_api(nullptr);
        installed = nullptr;
        EXPECT_EQ(leaks(), "") << "given back at the end";
        for (Context* c : contexts_) delete c;
    }
    // What is still handed out (memory aside: the leak checker's); empty when all came back.
    std::string leaks() {
        std::lock_guard<std::mutex> guard(lock_);
        return counted({{"contexts", contexts_.size()},
                        {"lists", lists_},
                        {"pending", pending_.size()},
                        {"claimed", claimed_.size()},
                        {"detached", detached_.size()}});
    }
    // A round of `changes` arrivals and removals, reported when hot-plug is registered.
    void plug_round(int changes = 1) {
        set([&](Bench& k) {
            if (k.plug_ctx == nullptr) return;
            k.plug_changes += changes;
            kick(k.plug_ctx);
        });
    }
    // Wakes the poll of one context, as libusb does when its timer or its devices change.
    static void kick(libusb_context* ctx) {
        uint64_t one = 1;
        if (::write(reinterpret_cast<Context*>(ctx)->event_fd, &one, sizeof one) < 0)
            ADD_FAILURE() << "event fd";
    }

    // What the test injects beyond the bench's own; everything under the lock (set(), get()).
    struct Errors {
        int query = -99;  // not -99: what kernel_driver_active answers
        int init = 0, list = 0, open = 0, detach = 0;
    } errors;
    libusb_context* last_ctx = nullptr;  // the context made last
    // libusb's own timer: due at `timer_at` on `timer_ctx`, then brings `timer_data` from
    // `timer_device` (or lets that context's hot-plug round be reported); nothing wakes the poll.
    libusb_context* timer_ctx = nullptr;
    std::chrono::steady_clock::time_point timer_at;
    Device* timer_device = nullptr;
    std::string timer_data;
    // A deadline the hot-plug context always reports this far ahead (-1: none); how often it was
    // asked, and how often its events were handled with nothing to handle.
    long plug_next_us = -1;
    int next_asks = 0, idle_handles = 0;
    // Hot-plug: the registered callback, and changes still to report in one round.
    bool hotplug_capable = true;
    int hotplug_error = 0;
    libusb_hotplug_callback_fn plug_fn = nullptr;
    void* plug_user = nullptr;
    libusb_context* plug_ctx = nullptr;
    int plug_changes = 0;

  private:
    friend class Core<Bench>;
    void woken() { kick_all(); }
    void plugged(bool) { plug_round(); }
    // Under the lock: whether an OUT transfer waits for a device that does not take it.
    bool holding() const {
        for (const auto& [t, p] : pending_)
            if (p.held && !p.cancelled) return true;
        return false;
    }

    static const comm_usb_api& table() {
        // clang-format off
        static const comm_usb_api api = {
            init, exit, get_device_list, free_device_list, get_device_descriptor, get_bus_number,
            get_port_numbers, get_active_config_descriptor, free_config_descriptor, open, close,
            get_string_descriptor_ascii, kernel_driver_active, detach_kernel_driver,
            attach_kernel_driver, claim_interface, release_interface, clear_halt, alloc_transfer,
            free_transfer, submit_transfer, cancel_transfer, get_pollfds, free_pollfds,
            get_next_timeout, handle_events, has_capability, hotplug_register, hotplug_deregister};
        // clang-format on
        return api;
    }

    // ---- libusb's side, on the installed bench ----------------------------------------------
    using guard = std::lock_guard<std::mutex>;
    static Bench& bus() { return *installed; }
    static Ref* ref(void* p) { return static_cast<Ref*>(p); }
    static Device* dev(void* d) { return ref(d)->device; }

    static int init(libusb_context** out) {
        guard g(bus().lock_);
        if (bus().errors.init) return bus().errors.init;
        auto c = new Context;
        bus().contexts_.insert(c);
        *out = bus().last_ctx = reinterpret_cast<libusb_context*>(c);
        return 0;
    }
    static void exit(libusb_context* ctx) {
        guard g(bus().lock_);
        auto c = reinterpret_cast<Context*>(ctx);
        EXPECT_EQ(bus().contexts_.erase(c), 1u) << "exit of an unknown context";
        delete c;
    }
    static ssize_t get_device_list(libusb_context* ctx, libusb_device*** out) {
        guard g(bus().lock_);
        if (bus().errors.list) return bus().errors.list;
        auto c = reinterpret_cast<Context*>(ctx);
        std::vector<libusb_device*> list;
        for (auto& d : bus().devices_) {
            if (d->gone) continue;
            c->refs.push_back(std::make_unique<Ref>(Ref{d.get(), c}));
            list.push_back(reinterpret_cast<libusb_device*>(c->refs.back().get()));
        }
        list.push_back(nullptr);
        ++bus().lists_;
        *out = new libusb_device*[list.size()];
        std::copy(list.begin(), list.end(), *out);
        return static_cast<ssize_t>(list.size() - 1);
    }
    static void free_device_list(libusb_device** list, int) {
        guard g(bus().lock_);
        --bus().lists_;
        delete[] list;
    }
    static int get_device_descriptor(libusb_device* d, libusb_device_descriptor* desc) {
        guard g(bus().lock_);
        const Device& device = *dev(d);
        *desc = {};
        desc->idVendor = device.vendor;
        desc->idProduct = device.product;
        if (!(device.maker + device.name + device.serial).empty()) {
            desc->iManufacturer = 1;
            desc->iProduct = 2;
            desc->iSerialNumber = 3;
        }
        return 0;
    }
    static uint8_t get_bus_number(libusb_device* d) { return static_cast<uint8_t>(dev(d)->bus); }
    static int get_port_numbers(libusb_device* d, uint8_t* ports, int length) {
        const std::vector<uint8_t>& p = dev(d)->ports;
        if (static_cast<int>(p.size()) > length) return LIBUSB_ERROR_OVERFLOW;
        std::copy(p.begin(), p.end(), ports);
        return static_cast<int>(p.size());
    }
    // Interface 0 has one interrupt IN endpoint, as a control interface has; interface 1, with
    // bulk IN 0x81 and OUT 0x02, is the instrument's.
    static int get_active_config_descriptor(libusb_device*, libusb_config_descriptor** out) {
        auto c = new Config;
        c->config.bNumInterfaces = 2;
        c->config.interface = c->interfaces;
        for (int i = 0; i < 2; ++i) {
            c->interfaces[i] = {&c->alts[i], 1};
            c->alts[i].bInterfaceNumber = static_cast<uint8_t>(i);
            c->alts[i].bNumEndpoints = static_cast<uint8_t>(i + 1);
            c->alts[i].endpoint = &c->endpoints[i];
        }
        c->endpoints[0] = {0, 0, 0x83, LIBUSB_TRANSFER_TYPE_INTERRUPT, 64, 0, 0, 0, nullptr, 0};
        c->endpoints[1] = {0, 0, 0x81, LIBUSB_TRANSFER_TYPE_BULK, 64, 0, 0, 0, nullptr, 0};
        c->endpoints[2] = {0, 0, 0x02, LIBUSB_TRANSFER_TYPE_BULK, 64, 0, 0, 0, nullptr, 0};
        *out = &c->config;
        return 0;
    }
    static void free_config_descriptor(libusb_config_descriptor* config) {
        delete reinterpret_cast<Config*>(config);
    }
    static int open(libusb_device* d, libusb_device_handle** out) {
        guard g(bus().lock_);
        if (bus().errors.open) return bus().errors.open;
        if (dev(d)->gone || bus().refusal == Refusal::gone) return LIBUSB_ERROR_NO_DEVICE;
        *out = reinterpret_cast<libusb_device_handle*>(new Ref(*ref(d)));
        return 0;
    }
    static void close(libusb_device_handle* h) { delete ref(h); }
    static int get_string_descriptor_ascii(libusb_device_handle* h, uint8_t index,
                                           unsigned char* data, int length) {
        guard g(bus().lock_);
        const Device& d = *dev(h);
        if (index < 1 || index > 3 || (d.maker + d.name + d.serial).empty())
            return LIBUSB_ERROR_INVALID_PARAM;
        const std::string& s = index == 1 ? d.maker : index == 2 ? d.name : d.serial;
        if (s == "refused") return LIBUSB_ERROR_PIPE;
        int n = std::min(length, static_cast<int>(s.size()));
        std::memcpy(data, s.data(), static_cast<size_t>(n));
        return n;
    }
    static bool driver_bound(libusb_device_handle* h, int iface) {
        return iface == 1 && dev(h)->kernel_driver && !bus().detached_.count(h);
    }
    static int kernel_driver_active(libusb_device_handle* h, int iface) {
        guard g(bus().lock_);
        bus().note("active " + std::to_string(iface));
        if (bus().errors.query != -99) return bus().errors.query;
        return driver_bound(h, iface) ? 1 : 0;
    }
    static int detach_kernel_driver(libusb_device_handle* h, int iface) {
        guard g(bus().lock_);
        bus().note("detach " + std::to_string(iface));
        if (bus().errors.detach) return bus().errors.detach;
        bus().detached_.insert(h);
        return 0;
    }
    static int attach_kernel_driver(libusb_device_handle* h, int iface) {
        guard g(bus().lock_);
        bus().note("attach " + std::to_string(iface));
        return bus().detached_.erase(h) ? 0 : LIBUSB_ERROR_NOT_FOUND;
    }
    static int claim_interface(libusb_device_handle* h, int iface) {
        guard g(bus().lock_);
        bus().note("claim " + std::to_string(iface));
        if (driver_bound(h, iface) || bus().refusal == Refusal::in_use) return LIBUSB_ERROR_BUSY;
        bus().claimed_.insert(h);
        return 0;
    }
    static int release_interface(libusb_device_handle* h, int iface) {
        guard g(bus().lock_);
        bus().note("release " + std::to_string(iface));
        return bus().claimed_.erase(h) ? 0 : LIBUSB_ERROR_NOT_FOUND;
    }
    static int clear_halt(libusb_device_handle*, unsigned char ep) {
        guard g(bus().lock_);
        char text[16];
        std::snprintf(text, sizeof text, "halt %02x", ep);
        bus().note(text);
        return bus().spoil == Back::halted_for_good && (ep & LIBUSB_ENDPOINT_IN) ? LIBUSB_ERROR_IO
                                                                                 : 0;
    }
    static libusb_transfer* alloc_transfer(int) {
        return static_cast<libusb_transfer*>(std::calloc(1, sizeof(libusb_transfer)));
    }
    static void free_transfer(libusb_transfer* t) {
        guard g(bus().lock_);
        EXPECT_EQ(bus().pending_.count(t), 0u) << "a pending transfer was freed";
        std::free(t);
    }
    static int submit_transfer(libusb_transfer* t) {
        Bench& b = bus();
        guard g(b.lock_);
        const bool in = (t->endpoint & LIBUSB_ENDPOINT_IN) != 0;
        if (!b.goes_out(t->endpoint, in, t->length, t->flags & LIBUSB_TRANSFER_ADD_ZERO_PACKET))
            return LIBUSB_ERROR_IO;
        if (b.pending_.count(t)) return LIBUSB_ERROR_BUSY;
        b.pending_[t] = {false, !in && b.hold_writes};
        b.order_.push_back(t);
        b.kick_all();
        b.changed_.notify_all();
        return 0;
    }
    static int cancel_transfer(libusb_transfer* t) {
        Bench& b = bus();
        guard g(b.lock_);
        auto it = b.pending_.find(t);
        if (it == b.pending_.end()) return LIBUSB_ERROR_NOT_FOUND;
        it->second.cancelled = true;
        b.kick_all();
        return 0;
    }
    static const libusb_pollfd** get_pollfds(libusb_context* ctx) {
        auto fd = new libusb_pollfd{reinterpret_cast<Context*>(ctx)->event_fd, POLLIN};
        return new const libusb_pollfd* [2] { fd, nullptr };
    }
    static void free_pollfds(const libusb_pollfd** fds) {
        delete fds[0];
        delete[] fds;
    }
    static int get_next_timeout(libusb_context* ctx, timeval* tv) {
        guard g(bus().lock_);
        if (ctx == bus().plug_ctx && bus().plug_next_us >= 0) {
            ++bus().next_asks;
            bus().changed_.notify_all();
            *tv = {0, bus().plug_next_us};
            return 1;
        }
        if (ctx != bus().timer_ctx) return 0;
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                        bus().timer_at - std::chrono::steady_clock::now())
                        .count();
        left = std::max<long>(left, 0);
        tv->tv_sec = left / 1000000;
        tv->tv_usec = left % 1000000;
        return 1;
    }
    static int has_capability(uint32_t) {
        guard g(bus().lock_);
        return bus().hotplug_capable ? 1 : 0;
    }

    // As libusb does: fires the due timer, reports a round of hot-plug changes (one call each),
    // completes what can for this context (waiting up to *tv when nothing else happened), and
    // calls the transfers' callbacks on the calling thread.
    static int handle_events(libusb_context* ctx, timeval* tv, int*) {
        Bench& b = bus();
        std::lock_guard<std::mutex> one_handler(b.handling_);
        auto c = reinterpret_cast<Context*>(ctx);
        std::vector<libusb_transfer*> done;
        int changes = 0;
        {
            std::unique_lock<std::mutex> held(b.lock_);
            uint64_t value;
            const bool kicked = ::read(c->event_fd, &value, sizeof value) > 0;
            if (!kicked && errno != EAGAIN) ADD_FAILURE() << "event fd";
            bool fired = false;
            if (ctx == b.timer_ctx && std::chrono::steady_clock::now() >= b.timer_at) {
                b.timer_ctx = nullptr;  // the timer fires once
                if (b.timer_device) b.timer_device->to_host += b.timer_data;
                fired = true;
            }
            b.idle_handles += ctx == b.plug_ctx && !kicked && !fired;
            if (ctx == b.plug_ctx && b.timer_ctx != ctx) {  // a round may wait for its timer
                changes = b.plug_changes;
                b.plug_changes = 0;
            }
            auto limit = std::chrono::microseconds(tv ? tv->tv_sec * 1000000L + tv->tv_usec : 0);
            if (fired || changes > 0) limit = {};
            b.changed_.wait_for(held, limit, [&] { return b.collect(c, nullptr); });
            b.collect(c, &done);
        }
        // As libusb: a callback that returns anything but 0 is deregistered and never called again.
        for (int i = 0; i < changes && b.plug_fn; ++i)
            if (b.plug_fn(ctx, nullptr, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, b.plug_user) != 0)
                b.plug_fn = nullptr;
        for (libusb_transfer* t : done) t->callback(t);
        return 0;
    }
    static int hotplug_register(libusb_context* ctx, int events, int flags, int vendor, int product,
                                int cls, libusb_hotplug_callback_fn fn, void* user,
                                libusb_hotplug_callback_handle* handle) {
        guard g(bus().lock_);
        // Arrivals and removals of any device; changes only, not the devices already there.
        EXPECT_EQ(std::vector<int>({events, flags, vendor, product, cls}),
                  std::vector<int>({3, 0, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                                    LIBUSB_HOTPLUG_MATCH_ANY}));
        if (bus().hotplug_error) return bus().hotplug_error;
        bus().plug_fn = fn;
        bus().plug_user = user;
        bus().plug_ctx = ctx;
        *handle = 7;
        return 0;
    }
    static void hotplug_deregister(libusb_context* ctx, libusb_hotplug_callback_handle handle) {
        guard g(bus().lock_);
        EXPECT_EQ(handle, 7);
        if (ctx == bus().plug_ctx) bus().plug_ctx = nullptr;
        bus().note("hotplug off");
    }

    void kick_all() {
        for (Context* c : contexts_) kick(reinterpret_cast<libusb_context*>(c));
        changed_.notify_all();
    }
    // Under lock_: whether anything can complete now for context `c`; with a list given, it is
    // completed and moved into it.
    bool collect(Context* c, std::vector<libusb_transfer*>* done) {
        for (auto it = order_.begin(); it != order_.end();) {
            libusb_transfer* t = *it;
            Ref* h = ref(t->dev_handle);
            const Pending p = pending_[t];
            const bool in = (t->endpoint & LIBUSB_ENDPOINT_IN) != 0;
            if (h->context != c || !ready(h->device, in, p.held, p.cancelled)) {
                ++it;
                continue;
            }
            if (done == nullptr) return true;
            size_t n;
            t->status = status_of(
                end(h->device, in, p.cancelled, t->buffer, static_cast<size_t>(t->length), &n));
            t->actual_length = static_cast<int>(n);
            pending_.erase(t);
            it = order_.erase(it);
            done->push_back(t);
        }
        return done != nullptr && !done->empty();
    }
    static libusb_transfer_status status_of(Back how) {
        return how == Back::done         ? LIBUSB_TRANSFER_COMPLETED
               : how == Back::cancelled  ? LIBUSB_TRANSFER_CANCELLED
               : how == Back::timed_out  ? LIBUSB_TRANSFER_TIMED_OUT
               : how == Back::unplugged  ? LIBUSB_TRANSFER_NO_DEVICE
               : how == Back::error      ? LIBUSB_TRANSFER_ERROR
               : how == Back::overflowed ? LIBUSB_TRANSFER_OVERFLOW
                                         : LIBUSB_TRANSFER_STALL;
    }

    struct Pending {
        bool cancelled = false;  // a cancel was asked for
        bool held = false;       // an OUT transfer the device does not take
    };
    std::mutex handling_;  // one event handler at a time
    std::set<Context*> contexts_;
    size_t lists_ = 0;                             // device lists handed out and not freed
    std::map<libusb_transfer*, Pending> pending_;  // submitted
    std::deque<libusb_transfer*> order_;           // submission order
    std::set<libusb_device_handle*> claimed_, detached_;
};

// The device's place, its ports after the bus: "1-4.2" in an entry, "bus 1 port 4.2" in words.
inline std::string place_of(const Device& d, const char* port) {
    std::string p = std::to_string(d.bus);
    for (size_t i = 0; i < d.ports.size(); ++i) p += (i ? "." : port) + std::to_string(d.ports[i]);
    return p;
}
inline std::string entry_of(const Device& d) {
    return "USBS:" + place_of(d, "-") + ":" + ids_of(d, '/');
}
// The words an operator's note names the device by.
inline std::string words_of(const Device& d) {
    return "bus " + place_of(d, " port ") + " (" + ids_of(d, ':') + ")";
}

}  // namespace usb_fake

#endif  // NV_HAVE_LIBUSB
