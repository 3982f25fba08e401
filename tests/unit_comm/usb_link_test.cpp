// USB links on a fake bus, through the real link core and I/O thread: bytes both ways over the
// bulk endpoints, writes from the I/O thread, a stalled device, an unplug in the middle of a
// transaction, refused opens and what the operator is told, and hot-plug.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm_events.h"
#include "comm_internal.h"
#include "error_log.h"
#include "usb_fake.h"

#if NV_HAVE_LIBUSB

namespace {

using usb_fake::Device;

constexpr int NEVER_MS = 600000;  // longer than the test's own limit: a missed wake-up fails
constexpr const char* CONN = "USBS:1-4.2:1781/0c44";

Device instrument() {
    Device d;
    d.bus = 1;
    d.ports = {4, 2};
    d.kernel_driver = true;
    return d;
}

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 % 253);
    return s;
}

TEST(UsbLink, BulkEndpointsCarryBytesBothWays) {
    usb_fake::Installed fake;
    Device* d = fake.bus.add(instrument());
    {
        CommRunning running;
        CommEvents ev;
        // The event procedure answers "ping" at once, from the I/O thread.
        ev.hook = [](int handle, int kind, const unsigned char* bytes, int count) {
            if (kind != COMM_EVENT_DATA || std::string(reinterpret_cast<const char*>(bytes),
                                                       static_cast<size_t>(count)) != "ping")
                return 0;
            return comm_write(handle, "pong", 4, 0, 5000) == 0 ? 0 : -1;
        };
        int h = 0;
        ASSERT_EQ(comm_connect(&h, CONN, CommEvents::proc, 4096, 0, &ev), 0);
        ASSERT_TRUE(ev.wait_count(h, COMM_EVENT_OPENED));

        // Device to host, more than one transfer's worth: DATA carries it in order.
        std::string block = pattern(10000);
        fake.bus.send(d, "hello");
        ASSERT_TRUE(ev.wait_bytes(h, 5));
        fake.bus.send(d, block);
        ASSERT_TRUE(ev.wait_bytes(h, 5 + block.size()));
        EXPECT_EQ(ev.data(h), "hello" + block);
        for (const auto& e : ev.events(h)) EXPECT_LE(e.bytes.size(), 4096u);

        // Host to device from this thread, a small frame and a large one.
        std::string frame = "ZORV" + pattern(9);
        ASSERT_EQ(comm_write(h, frame.data(), static_cast<int>(frame.size()), 0, 5000), 0);
        std::string big = pattern(70000);
        ASSERT_EQ(comm_write(h, big.data(), static_cast<int>(big.size()), 0, 5000), 0);
        EXPECT_EQ(fake.bus.received(d), frame + big);

        // And from the I/O thread, answering what arrived.
        fake.bus.send(d, "ping");
        EXPECT_EQ(fake.bus.received(d, frame.size() + big.size() + 4), frame + big + "pong");

        ASSERT_EQ(comm_disconnect(h), 0);
        EXPECT_EQ(ev.kinds(h).back(), COMM_EVENT_CLOSED);
        EXPECT_EQ(ev.count(h, COMM_EVENT_ERROR), 0);
    }
}

// A device that takes no bytes: the write gives up at its time limit, and the link goes on.
TEST(UsbLink, StalledWriteFailsAndTheLinkGoesOn) {
    usb_fake::Installed fake;
    Device* d = fake.bus.add(instrument());
    {
        CommRunning running;
        CommEvents ev;
        int h = 0;
        ASSERT_EQ(comm_connect(&h, CONN, CommEvents::proc, 4096, 0, &ev), 0);
        ASSERT_TRUE(ev.wait_count(h, COMM_EVENT_OPENED));
        fake.bus.set_stalled(d, true);
        EXPECT_NE(comm_write(h, "stuck", 5, 0, 50), 0);
        fake.bus.set_stalled(d, false);
        EXPECT_EQ(comm_write(h, "moved", 5, 0, 5000), 0);
        EXPECT_EQ(fake.bus.received(d), "moved");
        fake.bus.send(d, "still here");
        ASSERT_TRUE(ev.wait_bytes(h, 10));
        EXPECT_EQ(comm_get_state(h), COMM_STATE_OPEN);
        ASSERT_EQ(comm_disconnect(h), 0);
    }
}

// Unplugged while a transaction waits for its reply: ERROR, then CLOSED, and the waiter is
// released at once rather than at its time limit.
TEST(UsbLink, UnplugMidTransactionEndsTheLinkAndReleasesTheWaiter) {
    usb_fake::Installed fake;
    Device* d = fake.bus.add(instrument());
    {
        CommRunning running;
        CommEvents ev;
        int h = 0;
        ASSERT_EQ(comm_connect(&h, CONN, CommEvents::proc, 4096, 0, &ev), 0);
        ASSERT_TRUE(ev.wait_count(h, COMM_EVENT_OPENED));
        ASSERT_EQ(comm_write(h, "request", 7, 0, 5000), 0);
        unsigned char reply[64];
        ASSERT_EQ(comm_hook_response(h, 9203, reply, 64, 12290, reply, 64, 12289, reply, 64), 0);
        std::atomic<int> waited{1};
        std::thread waiter([&] {
            int l1, l2, l3;
            waited = comm_wait_response(h, &l1, &l2, &l3, NEVER_MS);
        });
        fake.bus.set_present(d, false);
        waiter.join();
        EXPECT_NE(waited.load(), 0);
        ASSERT_TRUE(ev.wait_count(h, COMM_EVENT_CLOSED));
        EXPECT_EQ(ev.kinds(h),
                  (std::vector<int>{COMM_EVENT_OPENED, COMM_EVENT_ERROR, COMM_EVENT_CLOSED}));
        EXPECT_NE(comm_write(h, "late", 4, 0, 100), 0);
        EXPECT_EQ(comm_get_state(h), COMM_STATE_NONE);
    }
}

// Opens that fail: ERROR then CLOSED, and where the operator can act, one message on standard
// error after the ERROR event that says which device and what to do.
TEST(UsbLink, RefusedOpensTellTheOperatorOnce) {
    struct Case {
        const char* name;
        const char* conn;
        void (*setup)(Device&);
        std::vector<std::string> words;  // all in the one message; none: no message
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"no permission to open", CONN, [](Device& d) { d.open_error = LIBUSB_ERROR_ACCESS; }, {"No permission", "bus 1 port 4.2 (1781:0c44)", "60-nv52.rules", "plugdev"}},
        {"no permission to detach the kernel's driver", CONN, [](Device& d) { d.detach_error = LIBUSB_ERROR_ACCESS; }, {"No permission", "bus 1 port 4.2 (1781:0c44)", "plugdev"}},
        {"interface in use", CONN, [](Device& d) { d.claim_error = LIBUSB_ERROR_BUSY; }, {"in use by another program", "bus 1 port 4.2"}},
        {"nothing at that place", "USBS:1-4.3:1781/0c44", nullptr, {"No instrument at bus 1 port 4.3"}},
        {"another product at that place", "USBS:1-4.2:1781/0c45", nullptr, {"No instrument at"}},
        {"no bulk interface", CONN, [](Device& d) { d.bulk = false; }, {}},
        {"named interface without bulk endpoints", "USBS:1-4.2:1781:0/0c44", nullptr, {}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        usb_fake::Installed fake;
        Device d = instrument();
        if (c.setup) c.setup(d);
        fake.bus.add(d);
        {
            ErrorLog log;
            CommRunning running;
            CommEvents ev;
            std::string printed_at_error = "unset";
            ev.hook = [&](int, int kind, const unsigned char*, int) {
                if (kind == COMM_EVENT_ERROR) printed_at_error = log.text();
                return 0;
            };
            int h = 0;
            ASSERT_EQ(comm_connect(&h, c.conn, CommEvents::proc, 4096, 0, &ev), 0);
            EXPECT_NE(comm_wait_connected(h, NEVER_MS), 0);
            ASSERT_TRUE(ev.wait_count(h, COMM_EVENT_CLOSED));
            EXPECT_EQ(ev.kinds(h), (std::vector<int>{COMM_EVENT_ERROR, COMM_EVENT_CLOSED}));
            EXPECT_EQ(printed_at_error, "");  // the console's own message comes first
            std::string text = log.text();
            if (c.words.empty()) {
                EXPECT_EQ(text, "");
            } else {
                EXPECT_EQ(log.count(c.words[0]), 1) << text;
                for (const std::string& w : c.words)
                    EXPECT_NE(text.find(w), std::string::npos) << w;
                EXPECT_EQ(text.back(), '\n');
            }
        }
    }
}

// What the hot-plug callback saw.
struct ListChanges {
    std::mutex lock;
    std::condition_variable changed;
    int count = 0;
    bool on_test_thread = false;
    std::thread::id test_thread = std::this_thread::get_id();

    static int proc(void* arg) {
        auto self = static_cast<ListChanges*>(arg);
        std::lock_guard<std::mutex> guard(self->lock);
        self->on_test_thread |= std::this_thread::get_id() == self->test_thread;
        ++self->count;
        self->changed.notify_all();
        return 0;
    }
    // Waits until more than `seen` changes were reported; the count then.
    int wait_beyond(int seen) {
        std::unique_lock<std::mutex> held(lock);
        changed.wait_for(held, CommEvents::LIMIT, [&] { return count > seen; });
        return count;
    }
};

TEST(UsbHotplug, ChangesReachTheCallbackOnTheIoThreadUntilDeregistered) {
    usb_fake::Installed fake;
    ListChanges changes;
    Device* d = fake.bus.add(instrument());
    {
        CommRunning running;
        ASSERT_EQ(comm_usb_register(ListChanges::proc, &changes), 0);
        EXPECT_EQ(fake.bus.registrations(), 1);
        fake.bus.set_present(d, false);
        int seen = changes.wait_beyond(0);
        EXPECT_GE(seen, 1);
        fake.bus.set_present(d, true);
        EXPECT_GT(changes.wait_beyond(seen), seen);
        EXPECT_FALSE(changes.on_test_thread);

        // Once deregistered nothing is listening any more.
        ASSERT_EQ(comm_usb_deregister(), 0);
        EXPECT_EQ(fake.bus.registrations(), 0);
        EXPECT_EQ(fake.bus.leaks(), "");
    }
    // A platform without hot-plug: registering succeeds and nothing is set up.
    fake.bus.hotplug = false;
    {
        CommRunning running;
        EXPECT_EQ(comm_usb_register(ListChanges::proc, &changes), 0);
        EXPECT_EQ(fake.bus.registrations(), 0);
        EXPECT_EQ(comm_usb_deregister(), 0);
    }
}

}  // namespace

#else

TEST(UsbLink, NotBuilt) {
    GTEST_SKIP() << "built without libusb-1.0";
}

#endif  // NV_HAVE_LIBUSB
