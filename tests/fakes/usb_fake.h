// A fake USB bus behind the USB transport's table of libusb calls: devices with their ids, place
// and one instrument interface; bulk transfers that complete only inside event handling
// (as libusb's do), on whichever thread handles events; an event descriptor per context for the
// I/O thread's poll; and a count of what is handed out, so a test can check that a link gives
// back every context, interface, driver and transfer. Hot-plug registers and reports nothing.
#pragma once

#if NV_HAVE_LIBUSB

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "usb_api.h"

namespace usb_fake {

struct Device {
    int bus = 1;
    std::vector<uint8_t> ports;
    uint16_t vendor = 0x1781;
    uint16_t product = 0x0C44;
    bool kernel_driver = false;      // bound to interface 1, which is busy until it is detached
    std::string to_host, from_host;  // changed through Bus, under its lock
    bool gone = false;               // unplugged
};

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

class Bus;
inline Bus* installed = nullptr;

class Bus {
  public:
    // ---- the test's side --------------------------------------------------------------------
    Bus() = default;
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;
    ~Bus() {
        for (Context* c : contexts_) delete c;
    }

    Device* add(Device d) {
        std::lock_guard<std::mutex> guard(lock_);
        devices_.push_back(std::make_unique<Device>(std::move(d)));
        return devices_.back().get();
    }
    void send(Device* d, const std::string& bytes) {
        change([&] { d->to_host += bytes; });
    }
    // Pulled out: no longer listed or opened, its transfers come back as from no device.
    void unplug(Device* d) {
        change([&] { d->gone = true; });
    }
    // What the device received, once it is at least `n` bytes (or the limit passed).
    std::string received(Device* d, size_t n = 0) {
        std::unique_lock<std::mutex> held(lock_);
        changed_.wait_for(held, std::chrono::seconds(30), [&] { return d->from_host.size() >= n; });
        return d->from_host;
    }
    // What is still handed out (memory aside, which the leak checker watches); empty when
    // everything came back.
    std::string leaks() {
        std::lock_guard<std::mutex> guard(lock_);
        std::string out;
        for (auto [what, n] : {std::pair("contexts", contexts_.size()),
                               {"pending", pending_.size()},
                               {"claimed", claimed_.size()},
                               {"detached", detached_.size()}})
            if (n != 0) out.append(what).append("=").append(std::to_string(n)).append(" ");
        return out;
    }

    // clang-format off
    static const comm_usb_api& table() {
        static const comm_usb_api api = {
            init, exit, get_device_list, free_device_list, get_device_descriptor, get_bus_number,
            get_port_numbers, get_active_config_descriptor, free_config_descriptor, open, close,
            get_string_descriptor_ascii, kernel_driver_active, detach_kernel_driver,
            attach_kernel_driver, claim_interface, release_interface, clear_halt, alloc_transfer,
            free_transfer, submit_transfer, cancel_transfer, get_pollfds, free_pollfds,
            get_next_timeout, handle_events, has_capability, hotplug_register, hotplug_deregister,
        };
        return api;
    }
    // clang-format on

  private:
    // ---- libusb's side, on the installed bus ------------------------------------------------
    static Bus& bus() { return *installed; }
    static Ref* ref(void* p) { return static_cast<Ref*>(p); }
    static Device* dev(libusb_device* d) { return ref(d)->device; }

    static int init(libusb_context** out) {
        Bus& b = bus();
        std::lock_guard<std::mutex> guard(b.lock_);
        auto c = new Context;
        b.contexts_.insert(c);
        *out = reinterpret_cast<libusb_context*>(c);
        return 0;
    }
    static void exit(libusb_context* ctx) {
        std::lock_guard<std::mutex> guard(bus().lock_);
        auto c = reinterpret_cast<Context*>(ctx);
        EXPECT_EQ(bus().contexts_.erase(c), 1u) << "exit of an unknown context";
        delete c;
    }
    static ssize_t get_device_list(libusb_context* ctx, libusb_device*** out) {
        Bus& b = bus();
        std::lock_guard<std::mutex> guard(b.lock_);
        auto c = reinterpret_cast<Context*>(ctx);
        std::vector<libusb_device*> list;
        for (auto& d : b.devices_) {
            if (d->gone) continue;
            c->refs.push_back(std::make_unique<Ref>(Ref{d.get(), c}));
            list.push_back(reinterpret_cast<libusb_device*>(c->refs.back().get()));
        }
        list.push_back(nullptr);
        *out = new libusb_device*[list.size()];
        std::copy(list.begin(), list.end(), *out);
        return static_cast<ssize_t>(list.size() - 1);
    }
    static void free_device_list(libusb_device** list, int) { delete[] list; }
    static int get_device_descriptor(libusb_device* d, libusb_device_descriptor* desc) {
        *desc = {};
        desc->idVendor = dev(d)->vendor;
        desc->idProduct = dev(d)->product;
        return 0;
    }
    static uint8_t get_bus_number(libusb_device* d) { return static_cast<uint8_t>(dev(d)->bus); }
    static int get_port_numbers(libusb_device* d, uint8_t* ports, int length) {
        const std::vector<uint8_t>& p = dev(d)->ports;
        if (static_cast<int>(p.size()) > length) return LIBUSB_ERROR_OVERFLOW;
        std::copy(p.begin(), p.end(), ports);
        return static_cast<int>(p.size());
    }
    static void endpoint(libusb_endpoint_descriptor* e, uint8_t address, uint8_t type) {
        e->bEndpointAddress = address;
        e->bmAttributes = type;
        e->wMaxPacketSize = 64;
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
        endpoint(&c->endpoints[0], 0x83, LIBUSB_TRANSFER_TYPE_INTERRUPT);
        endpoint(&c->endpoints[1], 0x81, LIBUSB_TRANSFER_TYPE_BULK);
        endpoint(&c->endpoints[2], 0x02, LIBUSB_TRANSFER_TYPE_BULK);
        *out = &c->config;
        return 0;
    }
    static void free_config_descriptor(libusb_config_descriptor* config) {
        delete reinterpret_cast<Config*>(config);
    }
    static int open(libusb_device* d, libusb_device_handle** out) {
        if (dev(d)->gone) return LIBUSB_ERROR_NO_DEVICE;
        *out = reinterpret_cast<libusb_device_handle*>(new Ref(*ref(d)));
        return 0;
    }
    static void close(libusb_device_handle* h) { delete ref(h); }
    static int get_string_descriptor_ascii(libusb_device_handle*, uint8_t, unsigned char*, int) {
        return LIBUSB_ERROR_INVALID_PARAM;  // a device without string descriptors
    }
    static bool driver_bound(libusb_device_handle* h, int iface) {
        return iface == 1 && ref(h)->device->kernel_driver && !bus().detached_.count(h);
    }
    static int kernel_driver_active(libusb_device_handle* h, int iface) {
        std::lock_guard<std::mutex> guard(bus().lock_);
        return driver_bound(h, iface) ? 1 : 0;
    }
    static int detach_kernel_driver(libusb_device_handle* h, int) {
        std::lock_guard<std::mutex> guard(bus().lock_);
        bus().detached_.insert(h);
        return 0;
    }
    static int attach_kernel_driver(libusb_device_handle* h, int) {
        std::lock_guard<std::mutex> guard(bus().lock_);
        return bus().detached_.erase(h) ? 0 : LIBUSB_ERROR_NOT_FOUND;
    }
    static int claim_interface(libusb_device_handle* h, int iface) {
        std::lock_guard<std::mutex> guard(bus().lock_);
        if (driver_bound(h, iface)) return LIBUSB_ERROR_BUSY;
        bus().claimed_.insert(h);
        return 0;
    }
    static int release_interface(libusb_device_handle* h, int) {
        std::lock_guard<std::mutex> guard(bus().lock_);
        return bus().claimed_.erase(h) ? 0 : LIBUSB_ERROR_NOT_FOUND;
    }
    static int clear_halt(libusb_device_handle*, unsigned char) { return 0; }
    static libusb_transfer* alloc_transfer(int) {
        return static_cast<libusb_transfer*>(std::calloc(1, sizeof(libusb_transfer)));
    }
    static void free_transfer(libusb_transfer* t) {
        std::lock_guard<std::mutex> guard(bus().lock_);
        EXPECT_EQ(bus().pending_.count(t), 0u) << "a pending transfer was freed";
        std::free(t);
    }
    static int submit_transfer(libusb_transfer* t) {
        Bus& b = bus();
        std::lock_guard<std::mutex> guard(b.lock_);
        if (b.pending_.count(t)) return LIBUSB_ERROR_BUSY;
        b.pending_[t] = false;
        b.order_.push_back(t);
        b.kick_all();
        return 0;
    }
    static int cancel_transfer(libusb_transfer* t) {
        Bus& b = bus();
        std::lock_guard<std::mutex> guard(b.lock_);
        auto it = b.pending_.find(t);
        if (it == b.pending_.end()) return LIBUSB_ERROR_NOT_FOUND;
        it->second = true;
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
    static int get_next_timeout(libusb_context*, timeval*) { return 0; }
    static int has_capability(uint32_t) { return 1; }

    // Completes what can complete for this context (waiting up to *tv for something to), then
    // calls the transfers' callbacks, as libusb does, on the calling thread.
    static int handle_events(libusb_context* ctx, timeval* tv, int*) {
        Bus& b = bus();
        std::lock_guard<std::mutex> one_handler(b.handling_);
        auto c = reinterpret_cast<Context*>(ctx);
        std::vector<libusb_transfer*> done;
        {
            std::unique_lock<std::mutex> held(b.lock_);
            uint64_t value;
            if (::read(c->event_fd, &value, sizeof value) < 0 && errno != EAGAIN)
                ADD_FAILURE() << "event fd";
            auto limit = std::chrono::microseconds(tv ? tv->tv_sec * 1000000L + tv->tv_usec : 0);
            b.kicked_.wait_for(held, limit, [&] { return b.collect(c, nullptr); });
            b.collect(c, &done);
        }
        for (libusb_transfer* t : done) t->callback(t);
        return 0;
    }
    static int hotplug_register(libusb_context*, int, int, int, int, int,
                                libusb_hotplug_callback_fn, void*,
                                libusb_hotplug_callback_handle* handle) {
        *handle = 1;
        return 0;
    }
    static void hotplug_deregister(libusb_context*, libusb_hotplug_callback_handle) {}

    template <typename F>
    void change(F f) {
        std::lock_guard<std::mutex> guard(lock_);
        f();
        kick_all();
    }
    void kick_all() {
        uint64_t one = 1;
        for (Context* c : contexts_)
            if (::write(c->event_fd, &one, sizeof one) < 0) ADD_FAILURE() << "event fd";
        kicked_.notify_all();
        changed_.notify_all();
    }
    // Under lock_: whether anything can complete now for context `c`; with a list given, it is
    // completed and moved into it.
    bool collect(Context* c, std::vector<libusb_transfer*>* done) {
        bool any = false;
        for (auto it = order_.begin(); it != order_.end();) {
            libusb_transfer* t = *it;
            Ref* h = ref(t->dev_handle);
            Device* d = h->device;
            bool in = (t->endpoint & LIBUSB_ENDPOINT_IN) != 0;
            auto status = LIBUSB_TRANSFER_COMPLETED;
            int length =
                in ? std::min<int>(static_cast<int>(d->to_host.size()), t->length) : t->length;
            bool ready = !in || length > 0;
            if (pending_[t] || d->gone) {
                status = pending_[t] ? LIBUSB_TRANSFER_CANCELLED : LIBUSB_TRANSFER_NO_DEVICE;
                ready = true;
            }
            if (h->context != c || !ready) {
                ++it;
                continue;
            }
            any = true;
            if (done == nullptr) return true;
            t->status = status;
            t->actual_length = status == LIBUSB_TRANSFER_COMPLETED ? length : 0;
            if (t->actual_length > 0 && in) {
                std::memcpy(t->buffer, d->to_host.data(), static_cast<size_t>(length));
                d->to_host.erase(0, static_cast<size_t>(length));
            } else if (t->actual_length > 0) {
                d->from_host.append(reinterpret_cast<const char*>(t->buffer),
                                    static_cast<size_t>(length));
                changed_.notify_all();
            }
            pending_.erase(t);
            it = order_.erase(it);
            done->push_back(t);
        }
        return any;
    }

    std::mutex handling_;  // one event handler at a time
    std::mutex lock_;
    std::condition_variable kicked_, changed_;
    std::vector<std::unique_ptr<Device>> devices_;
    std::set<Context*> contexts_;
    std::map<libusb_transfer*, bool> pending_;  // submitted, and whether a cancel was asked
    std::deque<libusb_transfer*> order_;        // submission order
    std::set<libusb_device_handle*> claimed_, detached_;
};

// A fresh fake bus for the length of a test.
struct Installed {
    Bus bus;
    Installed() {
        installed = &bus;
        comm_usb_set_api(&Bus::table());
    }
    ~Installed() {
        comm_usb_set_api(nullptr);
        installed = nullptr;
        EXPECT_EQ(bus.leaks(), "") << "given back at the end";
    }
};

}  // namespace usb_fake

#endif  // NV_HAVE_LIBUSB
