// USB on the fake bus (tests/fakes/usb_fake.h), with a thin layer of the test's own over its
// table of libusb calls that records what the transport asks for and injects what a real bus
// does now and then: refusals, string descriptors, transfers that come back halted, overflowed
// or from an unplugged device, an OUT transfer the device does not take, hot-plug rounds.
// The listing (ranges, order, limits, name filters), display texts, links and their interface,
// kernel driver and endpoints, the notes an operator gets, and the hot-plug callback.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "comm_internal.h"
#include "comm_links.h"
#include "error_log.h"
#include "usb_fake.h"

#if NV_HAVE_LIBUSB

namespace {

using kinds = std::vector<int>;
constexpr int O = COMM_EVENT_OPENED, D = COMM_EVENT_DATA, E = COMM_EVENT_ERROR,
              C = COMM_EVENT_CLOSED;

const comm_usb_api& fake() {
    return usb_fake::Bus::table();
}
usb_fake::Device* device_of(libusb_device_handle* h) {
    return reinterpret_cast<usb_fake::Ref*>(h)->device;
}
usb_fake::Context* context_of(libusb_transfer* t) {
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
Hooks* hooks = nullptr;

void kick(usb_fake::Context* c) {
    uint64_t one = 1;
    if (::write(c->event_fd, &one, sizeof one) < 0) ADD_FAILURE() << "event fd";
}

void LIBUSB_CALL returned(libusb_transfer* t) {
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
const comm_usb_api HOOKED = {
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
    [](libusb_context* ctx, int events, int, int vendor, int product, int cls,
       libusb_hotplug_callback_fn fn, void* user, libusb_hotplug_callback_handle* handle) {
        std::lock_guard<std::mutex> guard(hooks->lock);
        EXPECT_EQ(events, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
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

// The fake bus with the test's layer over it, for the length of a test.
struct Bus : usb_fake::Installed {
    Hooks h;
    Bus() {
        hooks = &h;
        comm_usb_set_api(&HOOKED);
    }
    ~Bus() {
        comm_usb_set_api(&usb_fake::Bus::table());  // Installed's own end restores libusb
        hooks = nullptr;
    }
    usb_fake::Device* add(int bus_number, std::vector<uint8_t> ports, int product = 0x0C44,
                          int vendor = 0x1781) {
        usb_fake::Device d;
        d.bus = bus_number;
        d.ports = std::move(ports);
        d.product = static_cast<uint16_t>(product);
        d.vendor = static_cast<uint16_t>(vendor);
        return bus.add(d);
    }
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
};

// The instrument's listing: vendor 1781, products 0c44 to 0c4d.
std::vector<std::string> listing(int max = 16, const char* manufacturer = "",
                                 const char* product = "") {
    comm_dev_entry list[16];
    int count = -1;
    EXPECT_EQ(comm_list_devices_usb(0, list, max, &count, manufacturer, product, 0x1781, 0x1781,
                                    0x0C44, 0x0C4D),
              0);
    return std::vector<std::string>(list, list + std::max(count, 0));
}

TEST(CommUsb, TheListingTakesTheRangesInBusAndPortOrder) {
    Bus b;
    b.add(2, {1});
    b.add(1, {10}, 0x0C4D);
    b.add(1, {4, 2});
    b.add(1, {4});
    b.add(1, {3, 1}, 0x0C45);
    b.add(1, {5}, 0x0C43);          // below the products
    b.add(1, {6}, 0x0C4E);          // above them
    b.add(1, {7}, 0x0C44, 0x1780);  // another maker
    b.add(1, {8}, 0x0C44, 0x1782);
    b.add(3, {});  // on the root hub itself
    const std::vector<std::string> all = {"USBS:1-3.1:1781/0c45", "USBS:1-4:1781/0c44",
                                          "USBS:1-4.2:1781/0c44", "USBS:1-10:1781/0c4d",
                                          "USBS:2-1:1781/0c44",   "USBS:3:1781/0c44"};
    EXPECT_EQ(listing(), all);
    EXPECT_EQ(listing(2), std::vector<std::string>(all.begin(), all.begin() + 2));
    EXPECT_EQ(listing(0), std::vector<std::string>{});
    int count = -1;
    EXPECT_EQ(comm_list_devices_usb(0, nullptr, 0, &count, "", "", 0x1781, 0x1781, 0x0C44, 0x0C4D),
              0);
    EXPECT_EQ(count, 0);
    comm_dev_entry list[4];
    EXPECT_EQ(comm_list_devices_usb(0, list, 4, nullptr, nullptr, nullptr, 0x1781, 0x1781, 0x0C44,
                                    0x0C44),
              0);  // no count wanted
    count = -1;
    EXPECT_EQ(comm_list_devices_usb(0, list, -1, &count, "", "", 0x1781, 0x1781, 0x0C44, 0x0C4D),
              -1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(comm_list_devices_usb(0, nullptr, 1, &count, "", "", 0x1781, 0x1781, 0x0C44, 0x0C4D),
              -1);
    // Every entry is a connection string of its own.
    for (const std::string& e : all) {
        comm_usb_params p;
        EXPECT_EQ(comm_usb_parse(e.c_str(), &p), 1) << e;
    }
}

TEST(CommUsb, TheListingWhenTheBusFails) {
    Bus b;
    b.add(1, {4});
    b.set([](Hooks& h) { h.list_error = LIBUSB_ERROR_IO; });
    comm_dev_entry list[4];
    int count = -1;
    EXPECT_EQ(comm_list_devices_usb(0, list, 4, &count, "", "", 0x1781, 0x1781, 0x0C44, 0x0C4D),
              -1);
    EXPECT_EQ(count, 0);
    // No USB at all on this machine: simply nothing to list.
    b.set([](Hooks& h) { h.init_error = LIBUSB_ERROR_ACCESS; });
    count = -1;
    EXPECT_EQ(comm_list_devices_usb(0, list, 4, &count, "", "", 0x1781, 0x1781, 0x0C44, 0x0C4D), 0);
    EXPECT_EQ(count, 0);
}

TEST(CommUsb, NamesFilterTheListingAndShowInTheDisplayText) {
    Bus b;
    usb_fake::Device* one = b.add(1, {4, 2});
    usb_fake::Device* two = b.add(1, {5}, 0x0C4D);
    b.add(1, {6});  // no strings at all
    usb_fake::Device* odd = b.add(2, {1});
    b.set([&](Hooks& h) {
        h.names[one] = {"Maker", "NV-52", "A0001"};
        h.names[two] = {"Maker", "NV-52 Q8", "B0002  "};
        h.names[odd] = {"Other", "NV\t52\x7f\x80", std::string(100, 's')};
    });
    EXPECT_EQ(listing(16, "Maker", ""),
              (std::vector<std::string>{"USBS:1-4.2:1781/0c44", "USBS:1-5:1781/0c4d"}));
    EXPECT_EQ(listing(16, "", "NV-52"), (std::vector<std::string>{"USBS:1-4.2:1781/0c44"}));
    EXPECT_EQ(listing(16, "Maker", "NV-52 Q8"), (std::vector<std::string>{"USBS:1-5:1781/0c4d"}));
    EXPECT_EQ(listing(16, "Nobody", ""), std::vector<std::string>{});
    EXPECT_EQ(listing(16, nullptr, nullptr).size(), 4u);

    const struct {
        std::string entry, text;
    } cases[] = {
        {"USBS:1-4.2:1781/0c44", "USB bus 1 port 4.2 (1781:0c44) NV-52, serial A0001"},
        {"USBF:1-5:1781:0/0c4d", "USB bus 1 port 5 (1781:0c4d) NV-52 Q8, serial B0002"},
        {"USBS:1-6:1781/0c44", "USB bus 1 port 6 (1781:0c44)"},
        {"USBS:2-1:1781/0c44",
         "USB bus 2 port 1 (1781:0c44) NV?52??, serial " + std::string(64, 's')},
        {"USBS:1-4.2:1781/0c45", "USB bus 1 port 4.2 (1781:0c45)"},  // not that device
        {"USBS:1-9:1781/0c44", "USB bus 1 port 9 (1781:0c44)"},      // not there
    };
    char text[COMM_DEVID_SIZE];
    for (const auto& c : cases) {
        ASSERT_EQ(comm_get_devid_string(c.entry.c_str(), text), 0) << c.entry;
        EXPECT_EQ(text, c.text);
    }
    // A device that cannot be opened shows no names.
    b.set([](Hooks& h) { h.open_error = LIBUSB_ERROR_ACCESS; });
    ASSERT_EQ(comm_get_devid_string("USBS:1-4.2:1781/0c44", text), 0);
    EXPECT_STREQ(text, "USB bus 1 port 4.2 (1781:0c44)");
    EXPECT_EQ(listing(16, "Maker", ""), std::vector<std::string>{});
    b.set([&](Hooks& h) {
        h.open_error = 0;
        h.names[one] = {"refused", "refused", "refused"};
    });
    ASSERT_EQ(comm_get_devid_string("USBS:1-4.2:1781/0c44", text), 0);
    EXPECT_STREQ(text, "USB bus 1 port 4.2 (1781:0c44)");
}

std::string usb_string(const char* entry, int arg) {
    char conn[COMM_CONN_STRING_SIZE];
    if (arg < 0) return entry;
    comm_usb_params p;
    comm_usb_parse(entry, &p);
    return comm_make_conn_string_usb(conn, entry, arg, p.vendor_id, p.product_id) == 0 ? conn : "";
}

TEST(CommUsb, ALinkCarriesBytesBothWaysOnTheBulkEndpoints) {
    Bus b;
    CommRunning running;
    usb_fake::Device* dev = b.add(1, {4, 2});
    const struct {
        int arg, rx_size, in_size;
    } cases[] = {{-1, 4096, 4096}, {1, 100, 64}, {1, 10, 64}, {-1, 200, 192}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.arg) + " " + std::to_string(c.rx_size));
        b.set([](Hooks& h) {
            h.in_lengths.clear();
            h.out_flags.clear();
            h.endpoints.clear();
        });
        Link link;
        ASSERT_TRUE(link.connect(usb_string("USBS:1-4.2:1781/0c44", c.arg), c.rx_size));
        ASSERT_TRUE(link.wait(O));
        std::string from(1000, '\0');
        for (size_t i = 0; i < from.size(); ++i) from[i] = static_cast<char>(i * 13);
        b.bus.send(dev, "1");  // a transfer of a single byte
        ASSERT_TRUE(link.ev.wait_bytes(link.handle, 1));
        b.bus.send(dev, from);
        ASSERT_TRUE(link.ev.wait_bytes(link.handle, 1 + from.size()));
        EXPECT_TRUE(link.data() == "1" + from);
        for (const auto& e : link.ev.events(link.handle))
            EXPECT_LE(e.bytes.size(), static_cast<size_t>(c.in_size));
        const std::string before = b.bus.received(dev);
        std::string to(128, 'o');  // a multiple of the packet size
        Stopwatch clock;           // each write returns as soon as the device took it
        ASSERT_EQ(comm_write(link.handle, to.data(), static_cast<int>(to.size()), 0, 20000), 0);
        ASSERT_EQ(comm_write(link.handle, "end", 3, 0, 20000), 0);
        EXPECT_LT(clock.ms(), 10000);
        EXPECT_EQ(b.bus.received(dev, before.size() + 131).substr(before.size()), to + "end");
        ASSERT_EQ(comm_disconnect(link.handle), 0);
        link.handle = 0;
        std::lock_guard<std::mutex> guard(b.h.lock);
        ASSERT_GE(b.h.in_lengths.size(), 2u);
        for (int n : b.h.in_lengths) EXPECT_EQ(n, c.in_size);
        EXPECT_EQ(b.h.out_flags, (std::vector<int>{LIBUSB_TRANSFER_ADD_ZERO_PACKET,
                                                   LIBUSB_TRANSFER_ADD_ZERO_PACKET}));
        for (unsigned char ep : b.h.endpoints) EXPECT_TRUE(ep == 0x81 || ep == 0x02) << int(ep);
    }
}

TEST(CommUsb, TheKernelDriverIsDetachedForTheLinkAndGivenBack) {
    CommRunning running;
    const struct {
        const char* what;
        bool driver;
        int query, detach_error;
        std::vector<std::string> calls;
    } cases[] = {
        {"driver bound",
         true,
         -99,
         0,
         {"active 1", "detach 1", "claim 1", "release 1", "attach 1"}},
        {"no driver", false, -99, 0, {"active 1", "claim 1", "release 1"}},
        {"query not supported",
         false,
         LIBUSB_ERROR_NOT_SUPPORTED,
         0,
         {"active 1", "claim 1", "release 1"}},
        {"query fails", false, LIBUSB_ERROR_IO, 0, {"active 1", "claim 1", "release 1"}},
        {"driver gone meanwhile",
         false,
         1,
         LIBUSB_ERROR_NOT_FOUND,
         {"active 1", "detach 1", "claim 1", "release 1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bus b;
        usb_fake::Device* dev = b.add(1, {4, 2});
        dev->kernel_driver = c.driver;
        b.set([&](Hooks& h) {
            h.driver_query = c.query;
            h.detach_error = c.detach_error;
        });
        Link link;
        ASSERT_TRUE(link.connect("USBS:1-4.2:1781/0c44"));
        ASSERT_TRUE(link.wait(O));
        ASSERT_EQ(comm_write(link.handle, "x", 1, 0, 5000), 0);
        ASSERT_EQ(comm_disconnect(link.handle), 0);
        link.handle = 0;
        EXPECT_EQ(b.calls(), c.calls);
    }
}

TEST(CommUsb, RefusedOpensTellTheOperatorWhatToDo) {
    const std::string at = "bus 1 port 4.2 (1781:0c44)";
    const struct {
        const char* what;
        const char* conn;
        int init, list, open, claim, detach;
        std::string note;
    } cases[] = {
        {"no permission", "USBS:1-4.2:1781/0c44", 0, 0, LIBUSB_ERROR_ACCESS, 0, 0,
         "No permission to use the USB device at " + at +
             ".\nInstall udev/60-nv52.rules into /etc/udev/rules.d, add your user to the group "
             "plugdev, log in again and re-plug the instrument.\n"},
        {"claimed elsewhere", "USBS:1-4.2:1781/0c44", 0, 0, 0, LIBUSB_ERROR_BUSY, 0,
         "The USB device at " + at + " is in use by another program; close it and try again.\n"},
        {"driver not detached", "USBS:1-4.2:1781/0c44", 0, 0, 0, 0, LIBUSB_ERROR_ACCESS,
         "No permission to use the USB device at " + at +
             ".\nInstall udev/60-nv52.rules into /etc/udev/rules.d, add your user to the group "
             "plugdev, log in again and re-plug the instrument.\n"},
        {"unplugged", "USBS:1-9:1781/0c44", 0, 0, 0, 0, 0,
         "No instrument at bus 1 port 9 (1781:0c44) any more: it was unplugged or moved to "
         "another port; list the devices again.\n"},
        {"gone while opening", "USBS:1-4.2:1781/0c44", 0, 0, LIBUSB_ERROR_NO_DEVICE, 0, 0,
         "No instrument at " + at +
             " any more: it was unplugged or moved to another port; list the devices again.\n"},
        {"another product there", "USBS:1-4.2:1781/0c45", 0, 0, 0, 0, 0,
         "No instrument at bus 1 port 4.2 (1781:0c45) any more: it was unplugged or moved to "
         "another port; list the devices again.\n"},
        {"no bulk interface", "USBS:1-4.2:1781:0/0c44", 0, 0, 0, 0, 0, ""},
        {"no such interface", "USBS:1-4.2:1781:2/0c44", 0, 0, 0, 0, 0, ""},
        {"no USB", "USBS:1-4.2:1781/0c44", LIBUSB_ERROR_OTHER, 0, 0, 0, 0, ""},
        {"no list", "USBS:1-4.2:1781/0c44", 0, LIBUSB_ERROR_NO_MEM, 0, 0, 0, ""},
        {"other open failure", "USBS:1-4.2:1781/0c44", 0, 0, LIBUSB_ERROR_IO, 0, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bus b;
        usb_fake::Device* dev = b.add(1, {4, 2});
        dev->kernel_driver = true;
        b.set([&](Hooks& h) {
            h.init_error = c.init;
            h.list_error = c.list;
            h.open_error = c.open;
            h.claim_error = c.claim;
            h.detach_error = c.detach;
        });
        ErrorLog log;
        CommRunning running;
        Link link;
        std::string at_error = "unset";
        link.ev.hook = [&](int, int kind, const unsigned char*, int) {
            if (kind == E) at_error = log.text();
            return 0;
        };
        ASSERT_TRUE(link.connect(c.conn));
        EXPECT_NE(comm_wait_connected(link.handle, NEVER_MS), 0);
        ASSERT_TRUE(link.wait(C));
        EXPECT_EQ(link.kinds(), (kinds{E, C}));
        EXPECT_EQ(at_error, "");  // the note follows the console's own message
        EXPECT_EQ(log.text(), c.note);
        for (const std::string& call : b.calls())  // nothing was claimed
            EXPECT_NE(call.rfind("release", 0), 0u) << call;
        link.handle = 0;
    }
}

TEST(CommUsb, InTransfersThatComeBackBadly) {
    const struct {
        const char* what;
        libusb_transfer_status status;
        int halt_error;
        bool link_lives;
        std::vector<std::string> calls;  // halts cleared
    } cases[] = {
        {"timed out", LIBUSB_TRANSFER_TIMED_OUT, 0, true, {}},
        {"halted", LIBUSB_TRANSFER_STALL, 0, true, {"halt 81", "halt 81"}},
        {"halted for good", LIBUSB_TRANSFER_STALL, LIBUSB_ERROR_IO, false, {"halt 81"}},
        {"unplugged", LIBUSB_TRANSFER_NO_DEVICE, 0, false, {}},
        {"overflow", LIBUSB_TRANSFER_OVERFLOW, 0, false, {}},
        {"error", LIBUSB_TRANSFER_ERROR, 0, false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bus b;
        usb_fake::Device* dev = b.add(1, {4, 2});
        CommRunning running;
        Link link;
        ASSERT_TRUE(link.connect("USBS:1-4.2:1781/0c44"));
        ASSERT_TRUE(link.wait(O));
        b.set([&](Hooks& h) {
            h.rewrite_in = 2;  // both IN transfers
            h.in_status = c.status;
            h.halt_error = c.halt_error;
        });
        for (int i = 1; i <= 2 && (i == 1 || c.link_lives); ++i) {
            b.bus.send(dev, "lost");
            ASSERT_TRUE(b.wait([&](Hooks& h) { return h.rewritten >= i; }));
        }
        if (c.link_lives) {
            b.bus.send(dev, "after");
            ASSERT_TRUE(link.ev.wait_bytes(link.handle, 5));
            EXPECT_EQ(link.data(), "after");
            EXPECT_EQ(link.kinds(), (kinds{O, D}));
        } else {
            ASSERT_TRUE(link.wait(C));
            EXPECT_EQ(link.kinds(), (kinds{O, E, C}));
            EXPECT_NE(comm_write(link.handle, "x", 1, 0, 1000), 0);
            link.handle = 0;
        }
        std::vector<std::string> halts;
        for (const std::string& s : b.calls())
            if (s.rfind("halt", 0) == 0) halts.push_back(s);
        EXPECT_EQ(halts, c.calls);
    }
}

// An IN transfer that cannot go out again ends the link, at the open or later.
TEST(CommUsb, ReadsThatCannotBeSubmittedEndTheLink) {
    for (int later : {0, 1}) {
        SCOPED_TRACE(later ? "after the open" : "at the open");
        Bus b;
        usb_fake::Device* dev = b.add(1, {4, 2});
        CommRunning running;
        Link link;
        if (!later) b.set([](Hooks& h) { h.in_submits_left = 1; });
        ASSERT_TRUE(link.connect("USBS:1-4.2:1781/0c44"));
        if (later) {
            ASSERT_TRUE(link.wait(O));
            b.set([](Hooks& h) { h.in_submits_left = 0; });
            b.bus.send(dev, "last");
        }
        ASSERT_TRUE(link.wait(C));
        EXPECT_EQ(link.kinds(), later ? (kinds{O, D, E, C}) : (kinds{E, C}));
        link.handle = 0;
    }
}

// An event procedure may answer at once: its write drives the link's events itself.
TEST(CommUsb, TheEventProcedureWritesAtOnce) {
    Bus b;
    usb_fake::Device* dev = b.add(1, {4, 2});
    CommRunning running;
    Link link;
    std::atomic<int> results{0};
    link.ev.hook = [&](int h, int kind, const unsigned char* bytes, int count) {
        if (kind != D) return 0;
        std::string reply = "re:" + std::string(reinterpret_cast<const char*>(bytes), count);
        results += comm_write(h, reply.data(), static_cast<int>(reply.size()), 0, 5000) == 0;
        return 0;
    };
    ASSERT_TRUE(link.connect("USBS:1-4.2:1781/0c44"));
    ASSERT_TRUE(link.wait(O));
    b.bus.send(dev, "one");
    EXPECT_EQ(b.bus.received(dev, 6), "re:one");
    b.bus.send(dev, "two");
    EXPECT_EQ(b.bus.received(dev, 12), "re:onere:two");
    ASSERT_EQ(comm_disconnect(link.handle), 0);  // every event call has returned
    link.handle = 0;
    EXPECT_EQ(results.load(), 2);
}

// libusb's own deadline wakes the I/O thread when no descriptor does.
TEST(CommUsb, LibusbsTimerIsKept) {
    Bus b;
    usb_fake::Device* dev = b.add(1, {4, 2});
    CommRunning running;
    Link link;
    ASSERT_TRUE(link.connect("USBS:1-4.2:1781/0c44"));
    ASSERT_TRUE(link.wait(O));
    b.set([&](Hooks& h) {
        h.timer_ctx = h.last_ctx;
        h.timer_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(40);
        h.timer_device = dev;
        h.timer_data = "timed";
        kick(reinterpret_cast<usb_fake::Context*>(h.timer_ctx));  // as libusb does for a new timer
    });
    ASSERT_TRUE(link.ev.wait_bytes(link.handle, 5));
    EXPECT_EQ(link.data(), "timed");
}

// A write the device does not take fails after its time limit and leaves the link open; one
// cut by the close returns at once; a halted OUT endpoint is cleared.
TEST(CommUsb, WritesTheDeviceDoesNotTake) {
    Bus b;
    usb_fake::Device* dev = b.add(1, {4, 2});
    CommRunning running;
    Link link;
    ASSERT_TRUE(link.connect("USBS:1-4.2:1781/0c44"));
    ASSERT_TRUE(link.wait(O));
    b.set([](Hooks& h) { h.hold_out = true; });
    Stopwatch clock;
    EXPECT_EQ(comm_write(link.handle, "abc", 3, 0, 80), -1);
    EXPECT_GE(clock.ms(), 80);
    EXPECT_LT(clock.ms(), 800);  // at its limit, not later
    EXPECT_EQ(comm_get_state(link.handle), COMM_STATE_OPEN);
    b.set([](Hooks& h) { h.hold_out = false; });
    ASSERT_EQ(comm_write(link.handle, "def", 3, 0, 5000), 0);
    EXPECT_EQ(b.bus.received(dev, 3), "def");

    b.set([](Hooks& h) { h.out_submit_error = LIBUSB_ERROR_IO; });
    EXPECT_EQ(comm_write(link.handle, "xyz", 3, 0, 5000), -1);
    b.set([](Hooks& h) { h.out_submit_error = 0; });
    EXPECT_EQ(comm_get_state(link.handle), COMM_STATE_OPEN);

    b.set([](Hooks& h) { h.out_status = LIBUSB_TRANSFER_STALL; });
    EXPECT_EQ(comm_write(link.handle, "ghi", 3, 0, 5000), -1);
    EXPECT_EQ(b.calls().back(), "halt 02");
    b.set([](Hooks& h) { h.out_status = LIBUSB_TRANSFER_COMPLETED; });
    ASSERT_EQ(comm_write(link.handle, "jkl", 3, 0, 5000), 0);
    EXPECT_EQ(b.bus.received(dev, 9), "defghijkl");  // the fake bus took it before the halt

    b.set([](Hooks& h) { h.hold_out = true; });
    std::atomic<int> result{99};
    Stopwatch cut;
    std::thread writer([&] { result = comm_write(link.handle, "mno", 3, 0, 20000); });
    ASSERT_TRUE(b.wait([](Hooks& h) { return !h.held.empty(); }));
    ASSERT_EQ(comm_disconnect(link.handle), 0);
    writer.join();
    EXPECT_EQ(result.load(), -1);
    EXPECT_LT(cut.ms(), 10000);
    link.handle = 0;
}

// Hot-plug: the callback runs on the I/O thread once per round of changes, until it is
// deregistered or replaced.
std::atomic<int> plug_calls[2];
int on_plug(void* arg) {
    ++*static_cast<std::atomic<int>*>(arg);
    return 0;
}

TEST(CommUsb, HotPlugCallsBackOncePerRound) {
    Bus b;
    CommRunning running;
    plug_calls[0] = plug_calls[1] = 0;
    auto round = [&](int changes) {
        libusb_context* ctx;
        {
            std::lock_guard<std::mutex> guard(b.h.lock);
            ctx = b.h.plug_ctx;
            b.h.plug_changes = changes;
        }
        if (ctx) kick(reinterpret_cast<usb_fake::Context*>(ctx));
    };
    auto calls_reach = [&](int which, int n) {
        for (int i = 0; i < 30000 && plug_calls[which] < n; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return plug_calls[which] >= n;
    };
    ASSERT_EQ(comm_usb_register(on_plug, &plug_calls[0]), 0);
    round(3);
    ASSERT_TRUE(calls_reach(0, 1));
    round(1);
    ASSERT_TRUE(calls_reach(0, 2));
    // A round that libusb finds at its own deadline, with no descriptor ready.
    b.set([](Hooks& h) {
        h.plug_changes = 1;
        h.timer_ctx = h.plug_ctx;
        h.timer_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(40);
        kick(reinterpret_cast<usb_fake::Context*>(h.timer_ctx));
    });
    ASSERT_TRUE(calls_reach(0, 3));
    // A second registration replaces the first.
    ASSERT_EQ(comm_usb_register(on_plug, &plug_calls[1]), 0);
    round(1);
    ASSERT_TRUE(calls_reach(1, 1));
    EXPECT_EQ(plug_calls[0].load(), 3);
    ASSERT_EQ(comm_usb_deregister(), 0);
    EXPECT_EQ(b.calls(), (std::vector<std::string>{"hotplug off", "hotplug off"}));
    EXPECT_EQ(plug_calls[1].load(), 1);
    // Without hot-plug on the platform, or with no callback, nothing is registered.
    b.set([](Hooks& h) { h.hotplug_capable = false; });
    EXPECT_EQ(comm_usb_register(on_plug, &plug_calls[0]), 0);
    b.set([](Hooks& h) { h.hotplug_capable = true; });
    EXPECT_EQ(comm_usb_register(nullptr, nullptr), 0);
    EXPECT_EQ(b.calls().size(), 2u);
    b.set([](Hooks& h) { h.hotplug_error = LIBUSB_ERROR_NOT_SUPPORTED; });
    EXPECT_EQ(comm_usb_register(on_plug, &plug_calls[0]), -1);
    b.set([](Hooks& h) {
        h.hotplug_error = 0;
        h.init_error = LIBUSB_ERROR_ACCESS;
    });
    EXPECT_EQ(comm_usb_register(on_plug, &plug_calls[0]), 0);  // no USB: nothing will change
    EXPECT_EQ(comm_usb_deregister(), 0);
}

}  // namespace

#else

TEST(CommUsb, NotBuilt) {
    GTEST_SKIP() << "built without libusb";
}

#endif  // NV_HAVE_LIBUSB
