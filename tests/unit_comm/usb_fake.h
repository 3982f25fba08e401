// A fake USB bus behind the USB transport's table of libusb calls: devices with their ids, place,
// names and one instrument interface; bulk transfers that complete only inside event handling
// (as libusb's do), on whichever thread handles events; an event descriptor per context for the
// I/O thread's poll; hot-plug callbacks; and a count of everything handed out, so a test can
// check that a link gives back every context, handle, interface, driver and transfer.
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
    std::string manufacturer, name, serial;
    bool bulk = true;  // interface 1 has bulk IN 0x81 and OUT 0x02; interface 0 has none
    bool kernel_driver = false;
    int open_error = 0, detach_error = 0, claim_error = 0;

    // Changed by the test through Bus, under its lock.
    bool present = true;
    bool out_stalled = false;  // the device takes no bytes: OUT transfers wait for a cancel
    std::string to_host, from_host;
};

struct Context {
    int event_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::vector<std::unique_ptr<Device*>> refs;  // the libusb_device pointers handed out
    ~Context() { ::close(event_fd); }
};

struct Handle {
    Device* device;
    Context* context;
};

struct Hotplug {
    Context* context;
    libusb_hotplug_callback_fn fn;
    void* user;
    int pending = 0;  // events to report at the next event handling
};

struct Config {
    libusb_config_descriptor config{};
    libusb_interface interfaces[2]{};
    libusb_interface_descriptor alts[2]{};
    libusb_endpoint_descriptor endpoints[3]{};
};

class Bus {
  public:
    // ---- the test's side --------------------------------------------------------------------
    Device* add(Device d) {
        std::lock_guard<std::mutex> guard(lock_);
        devices_.push_back(std::make_unique<Device>(std::move(d)));
        return devices_.back().get();
    }
    void send(Device* d, const std::string& bytes) {
        change([&] { d->to_host += bytes; });
    }
    void set_stalled(Device* d, bool stalled) {
        change([&] { d->out_stalled = stalled; });
    }
    // Unplugging or plugging also reports to every hot-plug registration.
    void set_present(Device* d, bool present) {
        change([&] {
            d->present = present;
            for (auto& h : hotplugs_) ++h.second.pending;
        });
    }
    std::string from_host(Device* d) {
        std::lock_guard<std::mutex> guard(lock_);
        return d->from_host;
    }
    bool wait_from_host(Device* d, size_t n) {
        std::unique_lock<std::mutex> held(lock_);
        return changed_.wait_for(held, std::chrono::seconds(30),
                                 [&] { return d->from_host.size() >= n; });
    }
    bool hotplug = true;  // the platform reports hot-plug
    int init_error = 0;
    int registrations() {
        std::lock_guard<std::mutex> guard(lock_);
        return static_cast<int>(hotplugs_.size());
    }
    // What is still handed out; empty when everything came back.
    std::string leaks() {
        std::lock_guard<std::mutex> guard(lock_);
        std::string out;
        auto note = [&](const char* what, int n) {
            if (n != 0) out += std::string(what) + "=" + std::to_string(n) + " ";
        };
        note("contexts", static_cast<int>(contexts_.size()));
        note("handles", static_cast<int>(handles_.size()));
        note("lists", lists_);
        note("configs", configs_);
        note("pollfds", pollfds_);
        note("transfers", transfers_);
        note("pending", static_cast<int>(pending_.size()));
        note("claimed", static_cast<int>(claimed_.size()));
        note("detached", static_cast<int>(detached_.size()));
        note("hotplugs", static_cast<int>(hotplugs_.size()));
        return out;
    }
    int detaches() {
        std::lock_guard<std::mutex> guard(lock_);
        return detaches_;
    }
    int reattaches() {
        std::lock_guard<std::mutex> guard(lock_);
        return reattaches_;
    }

    // ---- the table's side -------------------------------------------------------------------
    int init(libusb_context** out) {
        std::lock_guard<std::mutex> guard(lock_);
        if (init_error != 0) return init_error;
        auto c = std::make_unique<Context>();
        *out = reinterpret_cast<libusb_context*>(c.get());
        contexts_.push_back(std::move(c));
        return 0;
    }
    void exit(libusb_context* ctx) {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto it = contexts_.begin(); it != contexts_.end(); ++it)
            if (reinterpret_cast<libusb_context*>(it->get()) == ctx) {
                contexts_.erase(it);
                return;
            }
        ADD_FAILURE() << "exit of an unknown context";
    }
    ssize_t get_device_list(libusb_context* ctx, libusb_device*** out) {
        std::lock_guard<std::mutex> guard(lock_);
        Context* c = reinterpret_cast<Context*>(ctx);
        std::vector<libusb_device*> list;
        for (auto& d : devices_) {
            if (!d->present) continue;
            c->refs.push_back(std::make_unique<Device*>(d.get()));
            list.push_back(reinterpret_cast<libusb_device*>(c->refs.back().get()));
        }
        auto array = new libusb_device*[list.size() + 1];
        std::copy(list.begin(), list.end(), array);
        array[list.size()] = nullptr;
        *out = array;
        ++lists_;
        return static_cast<ssize_t>(list.size());
    }
    void free_device_list(libusb_device** list, int) {
        std::lock_guard<std::mutex> guard(lock_);
        delete[] list;
        --lists_;
    }
    static Device* device(libusb_device* dev) { return *reinterpret_cast<Device**>(dev); }
    int get_device_descriptor(libusb_device* dev, libusb_device_descriptor* desc) {
        Device* d = device(dev);
        *desc = {};
        desc->idVendor = d->vendor;
        desc->idProduct = d->product;
        desc->iManufacturer = d->manufacturer.empty() ? 0 : 1;
        desc->iProduct = d->name.empty() ? 0 : 2;
        desc->iSerialNumber = d->serial.empty() ? 0 : 3;
        return 0;
    }
    uint8_t get_bus_number(libusb_device* dev) { return static_cast<uint8_t>(device(dev)->bus); }
    int get_port_numbers(libusb_device* dev, uint8_t* ports, int length) {
        Device* d = device(dev);
        if (static_cast<int>(d->ports.size()) > length) return LIBUSB_ERROR_OVERFLOW;
        std::copy(d->ports.begin(), d->ports.end(), ports);
        return static_cast<int>(d->ports.size());
    }
    int get_active_config_descriptor(libusb_device* dev, libusb_config_descriptor** out) {
        Device* d = device(dev);
        auto c = new Config;
        c->config.bNumInterfaces = d->bulk ? 2 : 1;
        c->config.interface = c->interfaces;
        for (int i = 0; i < 2; ++i) {
            c->interfaces[i].altsetting = &c->alts[i];
            c->interfaces[i].num_altsetting = 1;
            c->alts[i].bInterfaceNumber = static_cast<uint8_t>(i);
        }
        // Interface 0: one interrupt IN endpoint, as a control interface has.
        c->endpoints[0] = {};
        c->endpoints[0].bEndpointAddress = 0x83;
        c->endpoints[0].bmAttributes = LIBUSB_TRANSFER_TYPE_INTERRUPT;
        c->endpoints[0].wMaxPacketSize = 16;
        c->alts[0].bNumEndpoints = 1;
        c->alts[0].endpoint = &c->endpoints[0];
        c->endpoints[1].bEndpointAddress = 0x81;
        c->endpoints[1].bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
        c->endpoints[1].wMaxPacketSize = 64;
        c->endpoints[2].bEndpointAddress = 0x02;
        c->endpoints[2].bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
        c->endpoints[2].wMaxPacketSize = 64;
        c->alts[1].bNumEndpoints = 2;
        c->alts[1].endpoint = &c->endpoints[1];
        *out = &c->config;
        std::lock_guard<std::mutex> guard(lock_);
        ++configs_;
        return 0;
    }
    void free_config_descriptor(libusb_config_descriptor* config) {
        delete reinterpret_cast<Config*>(config);
        std::lock_guard<std::mutex> guard(lock_);
        --configs_;
    }
    int open(libusb_device* dev, libusb_device_handle** out) {
        std::lock_guard<std::mutex> guard(lock_);
        Device* d = device(dev);
        if (!d->present) return LIBUSB_ERROR_NO_DEVICE;
        if (d->open_error != 0) return d->open_error;
        Context* owner = nullptr;
        for (auto& c : contexts_)
            for (auto& r : c->refs)
                if (reinterpret_cast<libusb_device*>(r.get()) == dev) owner = c.get();
        auto h = std::make_unique<Handle>(Handle{d, owner});
        *out = reinterpret_cast<libusb_device_handle*>(h.get());
        handles_.push_back(std::move(h));
        return 0;
    }
    void close(libusb_device_handle* handle) {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto it = handles_.begin(); it != handles_.end(); ++it)
            if (reinterpret_cast<libusb_device_handle*>(it->get()) == handle) {
                handles_.erase(it);
                return;
            }
        ADD_FAILURE() << "close of an unknown handle";
    }
    static Handle* handle_of(libusb_device_handle* h) { return reinterpret_cast<Handle*>(h); }
    int get_string_descriptor_ascii(libusb_device_handle* h, uint8_t index, unsigned char* data,
                                    int length) {
        Device* d = handle_of(h)->device;
        const std::string& s = index == 1 ? d->manufacturer : index == 2 ? d->name : d->serial;
        int n = std::min(static_cast<int>(s.size()), length - 1);
        std::memcpy(data, s.data(), static_cast<size_t>(n));
        data[n] = 0;
        return n;
    }
    int kernel_driver_active(libusb_device_handle* h, int iface) {
        std::lock_guard<std::mutex> guard(lock_);
        return iface == 1 && handle_of(h)->device->kernel_driver && !detached_.count(h) ? 1 : 0;
    }
    int detach_kernel_driver(libusb_device_handle* h, int) {
        std::lock_guard<std::mutex> guard(lock_);
        if (handle_of(h)->device->detach_error != 0) return handle_of(h)->device->detach_error;
        detached_.insert(h);
        ++detaches_;
        return 0;
    }
    int attach_kernel_driver(libusb_device_handle* h, int) {
        std::lock_guard<std::mutex> guard(lock_);
        if (!detached_.erase(h)) return LIBUSB_ERROR_NOT_FOUND;
        ++reattaches_;
        return handle_of(h)->device->present ? 0 : LIBUSB_ERROR_NO_DEVICE;
    }
    int claim_interface(libusb_device_handle* h, int iface) {
        std::lock_guard<std::mutex> guard(lock_);
        Device* d = handle_of(h)->device;
        if (d->claim_error != 0) return d->claim_error;
        if (iface == 1 && d->kernel_driver && !detached_.count(h)) return LIBUSB_ERROR_BUSY;
        claimed_.insert(h);
        return 0;
    }
    int release_interface(libusb_device_handle* h, int) {
        std::lock_guard<std::mutex> guard(lock_);
        if (!claimed_.erase(h)) return LIBUSB_ERROR_NOT_FOUND;
        return handle_of(h)->device->present ? 0 : LIBUSB_ERROR_NO_DEVICE;
    }
    int clear_halt(libusb_device_handle*, unsigned char) { return 0; }
    libusb_transfer* alloc_transfer(int) {
        std::lock_guard<std::mutex> guard(lock_);
        ++transfers_;
        return static_cast<libusb_transfer*>(std::calloc(1, sizeof(libusb_transfer)));
    }
    void free_transfer(libusb_transfer* t) {
        std::lock_guard<std::mutex> guard(lock_);
        if (pending_.count(t)) ADD_FAILURE() << "a pending transfer was freed";
        --transfers_;
        std::free(t);
    }
    int submit_transfer(libusb_transfer* t) {
        std::lock_guard<std::mutex> guard(lock_);
        if (pending_.count(t)) return LIBUSB_ERROR_BUSY;
        if (!handle_of(t->dev_handle)->device->present) return LIBUSB_ERROR_NO_DEVICE;
        pending_[t] = false;
        order_.push_back(t);
        kick_all();
        return 0;
    }
    int cancel_transfer(libusb_transfer* t) {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = pending_.find(t);
        if (it == pending_.end()) return LIBUSB_ERROR_NOT_FOUND;
        it->second = true;
        kick_all();
        return 0;
    }
    const libusb_pollfd** get_pollfds(libusb_context* ctx) {
        std::lock_guard<std::mutex> guard(lock_);
        ++pollfds_;
        auto fd = new libusb_pollfd{reinterpret_cast<Context*>(ctx)->event_fd, POLLIN};
        return new const libusb_pollfd* [2] { fd, nullptr };
    }
    void free_pollfds(const libusb_pollfd** fds) {
        std::lock_guard<std::mutex> guard(lock_);
        --pollfds_;
        delete fds[0];
        delete[] fds;
    }
    int get_next_timeout(libusb_context*, timeval*) { return 0; }

    // Completes what can complete for this context (waiting up to *tv for something to), then
    // calls the transfers' and hot-plug callbacks, as libusb does, on the calling thread.
    int handle_events(libusb_context* ctx, timeval* tv) {
        std::lock_guard<std::mutex> one_handler(handling_);
        Context* c = reinterpret_cast<Context*>(ctx);
        std::vector<libusb_transfer*> done;
        std::vector<std::pair<Hotplug, int>> plugged;
        {
            std::unique_lock<std::mutex> held(lock_);
            uint64_t value;
            if (::read(c->event_fd, &value, sizeof value) < 0 && errno != EAGAIN)
                ADD_FAILURE() << "event fd";
            auto limit = std::chrono::microseconds(tv ? tv->tv_sec * 1000000L + tv->tv_usec : 0);
            kicked_.wait_for(held, limit, [&] { return collect(c, &done, &plugged, false); });
            collect(c, &done, &plugged, true);
        }
        for (libusb_transfer* t : done) t->callback(t);
        for (auto& p : plugged)
            for (int i = 0; i < p.second; ++i)
                p.first.fn(reinterpret_cast<libusb_context*>(p.first.context), nullptr,
                           LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, p.first.user);
        return 0;
    }
    int hotplug_register(libusb_context* ctx, libusb_hotplug_callback_fn fn, void* user,
                         libusb_hotplug_callback_handle* handle) {
        std::lock_guard<std::mutex> guard(lock_);
        *handle = ++next_hotplug_;
        hotplugs_[*handle] = Hotplug{reinterpret_cast<Context*>(ctx), fn, user, 0};
        return 0;
    }
    void hotplug_deregister(libusb_context*, libusb_hotplug_callback_handle handle) {
        std::lock_guard<std::mutex> guard(lock_);
        hotplugs_.erase(handle);
    }

  private:
    template <typename F>
    void change(F f) {
        std::lock_guard<std::mutex> guard(lock_);
        f();
        kick_all();
    }
    void kick_all() {
        uint64_t one = 1;
        for (auto& c : contexts_)
            if (::write(c->event_fd, &one, sizeof one) < 0) ADD_FAILURE() << "event fd";
        kicked_.notify_all();
        changed_.notify_all();
    }
    // Under lock_: what can complete now for context `c`; with `take`, moves it into the lists.
    bool collect(Context* c, std::vector<libusb_transfer*>* done,
                 std::vector<std::pair<Hotplug, int>>* plugged, bool take) {
        bool any = false;
        for (auto it = order_.begin(); it != order_.end();) {
            libusb_transfer* t = *it;
            Handle* h = handle_of(t->dev_handle);
            Device* d = h->device;
            bool in = (t->endpoint & LIBUSB_ENDPOINT_IN) != 0;
            libusb_transfer_status status = LIBUSB_TRANSFER_COMPLETED;
            int length = 0;
            bool ready = true;
            if (h->context != c) {
                ready = false;
            } else if (!d->present) {
                status = LIBUSB_TRANSFER_NO_DEVICE;
            } else if (pending_[t]) {
                status = LIBUSB_TRANSFER_CANCELLED;
            } else if (in) {
                length = std::min<int>(static_cast<int>(d->to_host.size()), t->length);
                ready = length > 0;
            } else {
                length = t->length;
                ready = !d->out_stalled;
            }
            if (!ready) {
                ++it;
                continue;
            }
            any = true;
            if (!take) return true;
            t->status = status;
            t->actual_length = length;
            if (status == LIBUSB_TRANSFER_COMPLETED && in) {
                std::memcpy(t->buffer, d->to_host.data(), static_cast<size_t>(length));
                d->to_host.erase(0, static_cast<size_t>(length));
            } else if (status == LIBUSB_TRANSFER_COMPLETED) {
                d->from_host.append(reinterpret_cast<const char*>(t->buffer),
                                    static_cast<size_t>(length));
                changed_.notify_all();
            }
            pending_.erase(t);
            it = order_.erase(it);
            done->push_back(t);
        }
        for (auto& h : hotplugs_) {
            if (h.second.context != c || h.second.pending == 0) continue;
            any = true;
            if (!take) return true;
            plugged->push_back({h.second, h.second.pending});
            h.second.pending = 0;
        }
        return any;
    }

    std::mutex handling_;  // one event handler at a time
    std::mutex lock_;
    std::condition_variable kicked_, changed_;
    std::vector<std::unique_ptr<Device>> devices_;
    std::vector<std::unique_ptr<Context>> contexts_;
    std::vector<std::unique_ptr<Handle>> handles_;
    std::map<libusb_transfer*, bool> pending_;  // submitted, and whether a cancel was asked
    std::deque<libusb_transfer*> order_;        // submission order
    std::set<libusb_device_handle*> claimed_, detached_;
    std::map<libusb_hotplug_callback_handle, Hotplug> hotplugs_;
    libusb_hotplug_callback_handle next_hotplug_ = 0;
    int lists_ = 0, configs_ = 0, pollfds_ = 0, transfers_ = 0;
    int detaches_ = 0, reattaches_ = 0;
};

inline Bus*& current() {
    static Bus* bus = nullptr;
    return bus;
}

inline const comm_usb_api& table() {
    static const comm_usb_api api = {
        [](libusb_context** c) { return current()->init(c); },
        [](libusb_context* c) { current()->exit(c); },
        [](libusb_context* c, libusb_device*** l) { return current()->get_device_list(c, l); },
        [](libusb_device** l, int u) { current()->free_device_list(l, u); },
        [](libusb_device* d, libusb_device_descriptor* o) {
            return current()->get_device_descriptor(d, o);
        },
        [](libusb_device* d) { return current()->get_bus_number(d); },
        [](libusb_device* d, uint8_t* p, int n) { return current()->get_port_numbers(d, p, n); },
        [](libusb_device* d, libusb_config_descriptor** c) {
            return current()->get_active_config_descriptor(d, c);
        },
        [](libusb_config_descriptor* c) { current()->free_config_descriptor(c); },
        [](libusb_device* d, libusb_device_handle** h) { return current()->open(d, h); },
        [](libusb_device_handle* h) { current()->close(h); },
        [](libusb_device_handle* h, uint8_t i, unsigned char* d, int n) {
            return current()->get_string_descriptor_ascii(h, i, d, n);
        },
        [](libusb_device_handle* h, int i) { return current()->kernel_driver_active(h, i); },
        [](libusb_device_handle* h, int i) { return current()->detach_kernel_driver(h, i); },
        [](libusb_device_handle* h, int i) { return current()->attach_kernel_driver(h, i); },
        [](libusb_device_handle* h, int i) { return current()->claim_interface(h, i); },
        [](libusb_device_handle* h, int i) { return current()->release_interface(h, i); },
        [](libusb_device_handle* h, unsigned char e) { return current()->clear_halt(h, e); },
        [](int n) { return current()->alloc_transfer(n); },
        [](libusb_transfer* t) { current()->free_transfer(t); },
        [](libusb_transfer* t) { return current()->submit_transfer(t); },
        [](libusb_transfer* t) { return current()->cancel_transfer(t); },
        [](libusb_context* c) { return current()->get_pollfds(c); },
        [](const libusb_pollfd** f) { current()->free_pollfds(f); },
        [](libusb_context* c, timeval* tv) { return current()->get_next_timeout(c, tv); },
        [](libusb_context* c, timeval* tv, int*) { return current()->handle_events(c, tv); },
        [](uint32_t) { return current()->hotplug ? 1 : 0; },
        [](libusb_context* c, int, int, int, int, int, libusb_hotplug_callback_fn fn, void* user,
           libusb_hotplug_callback_handle* h) {
            return current()->hotplug_register(c, fn, user, h);
        },
        [](libusb_context* c, libusb_hotplug_callback_handle h) {
            current()->hotplug_deregister(c, h);
        },
    };
    return api;
}

// Installs a fresh fake bus for the length of a test.
struct Installed {
    Bus bus;
    Installed() {
        current() = &bus;
        comm_usb_set_api(&table());
    }
    ~Installed() {
        comm_usb_set_api(nullptr);
        current() = nullptr;
    }
};

}  // namespace usb_fake

#endif  // NV_HAVE_LIBUSB
