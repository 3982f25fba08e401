// USB on a fake bus, through the real link core and I/O thread: the listing and its display
// texts, opens that fail and what the operator is told, and an unplug in the middle of a
// transaction. (Bytes both ways and the driver hand-over run end to end in usb_e2e.)
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "comm_events.h"
#include "comm_internal.h"
#include "console.h"
#include "usb_fake.h"

#if NV_HAVE_LIBUSB

namespace {

using usb_fake::Device;

constexpr int NEVER_MS = 600000;  // longer than the test's own limit: a missed wake-up fails
constexpr const char* CONN = "USBS:1-4.2:1781/0c44";

Device dev(int bus, std::vector<uint8_t> ports, uint16_t product = 0x0C44,
           uint16_t vendor = 0x1781) {
    Device d;
    d.bus = bus;
    d.ports = std::move(ports);
    d.vendor = vendor;
    d.product = product;
    d.kernel_driver = true;
    return d;
}

// Only the instrument's ids, in bus and port order (ports as numbers), at most as many as
// offered; each entry is a connection string with a readable text.
TEST(Usb, ListingAndDisplayTexts) {
    usb_fake::Installed fake;
    for (const Device& d :
         {dev(2, {1}, 0x0C4D), dev(1, {10}), dev(1, {4, 2}), dev(1, {4}, 0xC52B, 0x046d),
          dev(1, {5}, 0x0C43), dev(1, {6}, 0x0C4E), dev(3, {}, 0x0C46)})
        fake.bus.add(d);
    Device named = dev(1, {7});
    named.name = "NV-52";
    named.serial = "A0042\x01";
    fake.bus.add(named);
    comm_dev_entry list[6];
    std::memset(list, 'x', sizeof list);
    int count = -1;
    EXPECT_EQ(comm_list_devices_usb(0, list, 5, &count, "", "", 0x1781, 0x1781, 0x0C44, 0x0C4D), 0);
    ASSERT_EQ(count, 5);
    EXPECT_EQ(list[5][0], 'x') << "written past the offered entries";
    const char* expected[][2] = {
        {"USBS:1-4.2:1781/0c44", "USB bus 1 port 4.2 (1781:0c44)"},
        {"USBS:1-7:1781/0c44", "USB bus 1 port 7 (1781:0c44) NV-52, serial A0042?"},
        {"USBS:1-10:1781/0c44", "USB bus 1 port 10 (1781:0c44)"},
        {"USBS:2-1:1781/0c4d", "USB bus 2 port 1 (1781:0c4d)"},
        {"USBS:3:1781/0c46", "USB bus 3 (1781:0c46)"},
    };
    for (int i = 0; i < count; ++i) {
        EXPECT_STREQ(list[i], expected[i][0]);
        char text[COMM_DEVID_SIZE];
        ASSERT_EQ(comm_get_devid_string(list[i], text), 0);
        EXPECT_STREQ(text, expected[i][1]);
    }
}

// ERROR then CLOSED, and where the operator can act, one message on standard error after the
// ERROR event that says which device and what to do.
TEST(Usb, RefusedOpensTellTheOperatorOnce) {
    struct Case {
        const char* conn;
        void (*setup)(Device&);
        std::vector<std::string> words;  // all in the one message; none: no message
    };
    // clang-format off
    const std::vector<Case> cases = {
        {CONN, [](Device& d) { d.open_error = LIBUSB_ERROR_ACCESS; }, {"No permission", "bus 1 port 4.2 (1781:0c44)", "60-nv52.rules", "plugdev"}},
        {CONN, [](Device& d) { d.detach_error = LIBUSB_ERROR_ACCESS; }, {"No permission", "bus 1 port 4.2 (1781:0c44)", "plugdev"}},
        {CONN, [](Device& d) { d.claim_error = LIBUSB_ERROR_BUSY; }, {"in use by another program", "bus 1 port 4.2"}},
        {"USBS:1-4.3:1781/0c44", nullptr, {"No instrument at bus 1 port 4.3"}},
        {"USBS:1-4.2:1781/0c45", nullptr, {"No instrument at"}},
        {CONN, [](Device& d) { d.bulk = false; }, {}},
        {"USBS:1-4.2:1781:0/0c44", nullptr, {}},  // an interface without bulk endpoints
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.words.empty() ? c.conn : c.words[0]);
        usb_fake::Installed fake;
        Device d = dev(1, {4, 2});
        if (c.setup) c.setup(d);
        fake.bus.add(d);
        Console log;
        CommRunning running;
        CommEvents ev;
        std::string printed_at_error = "unset";
        ev.hook = [&](int, int kind, const unsigned char*, int) {
            if (kind == COMM_EVENT_ERROR) printed_at_error = log.err();
            return 0;
        };
        int h = 0;
        ASSERT_EQ(comm_connect(&h, c.conn, CommEvents::proc, 4096, 0, &ev), 0);
        EXPECT_NE(comm_wait_connected(h, NEVER_MS), 0);
        ASSERT_TRUE(ev.wait_count(h, COMM_EVENT_CLOSED));
        EXPECT_EQ(ev.kinds(h), (std::vector<int>{COMM_EVENT_ERROR, COMM_EVENT_CLOSED}));
        EXPECT_EQ(printed_at_error, "");  // the console's own message comes first
        std::string text = log.err();
        EXPECT_EQ(text.find(c.words.empty() ? "" : c.words[0]),
                  text.rfind(c.words.empty() ? "" : c.words[0]));
        for (const std::string& w : c.words) EXPECT_NE(text.find(w), std::string::npos) << w;
        EXPECT_EQ(text.empty() ? '\n' : text.back(), '\n');
        EXPECT_EQ(text.empty(), c.words.empty());
    }
}

// Unplugged while a transaction waits for its reply: ERROR, then CLOSED, and the waiter is
// released at once rather than at its time limit.
TEST(Usb, UnplugMidTransactionEndsTheLinkAndReleasesTheWaiter) {
    usb_fake::Installed fake;
    Device* d = fake.bus.add(dev(1, {4, 2}));
    CommRunning running;
    CommEvents ev;
    int h = 0;
    ASSERT_EQ(comm_connect(&h, CONN, CommEvents::proc, 4096, 0, &ev), 0);
    ASSERT_TRUE(ev.wait_count(h, COMM_EVENT_OPENED));
    ASSERT_EQ(comm_write(h, "request", 7, 0, 5000), 0);
    EXPECT_EQ(fake.bus.received(d, 7), "request");
    unsigned char reply[64];
    ASSERT_EQ(comm_hook_response(h, 9203, reply, 64, 12290, reply, 64, 12289, reply, 64), 0);
    std::atomic<int> waited{1};
    std::thread waiter([&] {
        int l1, l2, l3;
        waited = comm_wait_response(h, &l1, &l2, &l3, NEVER_MS);
    });
    fake.bus.unplug(d);
    waiter.join();
    EXPECT_NE(waited.load(), 0);
    ASSERT_TRUE(ev.wait_count(h, COMM_EVENT_CLOSED));
    EXPECT_EQ(ev.kinds(h),
              (std::vector<int>{COMM_EVENT_OPENED, COMM_EVENT_ERROR, COMM_EVENT_CLOSED}));
    EXPECT_NE(comm_write(h, "late", 4, 0, 100), 0);
}

}  // namespace

#else

TEST(Usb, NotBuilt) {
    GTEST_SKIP() << "built without libusb-1.0";
}

#endif  // NV_HAVE_LIBUSB
