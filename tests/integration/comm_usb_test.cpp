// USB on the libusb fake bus (usb_fake.h) beyond what every USB transport promises (that is
// comm_usb_contract_test.cpp): what only libusb has. The listing when the library or the bus
// fails, the names of a device that cannot be opened, a device on a root hub, the kernel driver
// detached for the link and given back, the refusals libusb reports with what the operator is
// told, an overflowed read, libusb's own timer, and hot-plug called once per round of changes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "comm_internal.h"
#include "comm_links.h"
#include "error_log.h"
#include "usb_fake.h"

#if NV_HAVE_LIBUSB

namespace {

using namespace usb_fake;

TEST(CommUsb, TheListingWhenTheBusFails) {
    Bench b;
    b.add(1, {4});
    b.set([](Bench& k) { k.list_error = LIBUSB_ERROR_IO; });
    comm_dev_entry list[4];
    int count = -1;
    EXPECT_EQ(comm_list_devices_usb(0, list, 4, &count, "", "", 0x1781, 0x1781, 0x0C44, 0x0C4D),
              -1);
    EXPECT_EQ(count, 0);
    // No USB at all on this machine: simply nothing to list.
    b.set([](Bench& k) { k.init_error = LIBUSB_ERROR_ACCESS; });
    count = -1;
    EXPECT_EQ(comm_list_devices_usb(0, list, 4, &count, "", "", 0x1781, 0x1781, 0x0C44, 0x0C4D), 0);
    EXPECT_EQ(count, 0);
}

// A device on a root hub itself is listed by its bus alone; one that cannot be opened, or
// refuses its strings, shows no names and is not matched by a name.
TEST(CommUsb, PlacesAndNamesOnlyLibusbShows) {
    Bench b;
    b.add(3, {});
    Device* one = b.add(1, {4, 2});
    b.names(one, "Maker", "NV-52", "A0001");
    EXPECT_EQ(usb_listing(),
              (std::vector<std::string>{"USBS:1-4.2:1781/0c44", "USBS:3:1781/0c44"}));
    char text[COMM_DEVID_SIZE];
    ASSERT_EQ(comm_get_devid_string("USBS:3:1781/0c44", text), 0);
    EXPECT_STREQ(text, "USB bus 3 (1781:0c44)");
    b.set([](Bench& k) { k.open_error = LIBUSB_ERROR_ACCESS; });
    ASSERT_EQ(comm_get_devid_string("USBS:1-4.2:1781/0c44", text), 0);
    EXPECT_STREQ(text, "USB bus 1 port 4.2 (1781:0c44)");
    EXPECT_EQ(usb_listing(16, "Maker", ""), std::vector<std::string>{});
    b.set([](Bench& k) { k.open_error = 0; });
    b.names(one, "refused", "refused", "refused");
    ASSERT_EQ(comm_get_devid_string("USBS:1-4.2:1781/0c44", text), 0);
    EXPECT_STREQ(text, "USB bus 1 port 4.2 (1781:0c44)");
}

// The kernel driver is detached for the link and given back; refusals only libusb reports, with
// the note the operator gets and nothing claimed.
TEST(CommUsb, TheKernelDriverAndRefusalsOnlyLibusbHas) {
    const std::string no_permission =
        "No permission to use the USB device at bus 1 port 4.2 (1781:0c44).\nThe program's "
        "advice.\n";
    comm_usb_set_access_advice("The program's advice.\n");
    const struct {
        const char* what;
        bool driver;
        int query, init, list, open, detach;
        const char* calls;  // "": refused, with `note`
        std::string note;
    } cases[] = {
        {"driver bound", true, -99, 0, 0, 0, 0, "active 1,detach 1,claim 1,release 1,attach 1", ""},
        {"no driver", false, -99, 0, 0, 0, 0, "active 1,claim 1,release 1", ""},
        {"query not supported", false, LIBUSB_ERROR_NOT_SUPPORTED, 0, 0, 0, 0,
         "active 1,claim 1,release 1", ""},
        {"query fails", false, LIBUSB_ERROR_IO, 0, 0, 0, 0, "active 1,claim 1,release 1", ""},
        {"driver gone meanwhile", false, 1, 0, 0, 0, LIBUSB_ERROR_NOT_FOUND,
         "active 1,detach 1,claim 1,release 1", ""},
        {"no permission", true, -99, 0, 0, LIBUSB_ERROR_ACCESS, 0, "", no_permission},
        {"driver not detached", true, -99, 0, 0, 0, LIBUSB_ERROR_ACCESS, "", no_permission},
        {"no USB", true, -99, LIBUSB_ERROR_OTHER, 0, 0, 0, "", ""},
        {"no list", true, -99, 0, LIBUSB_ERROR_NO_MEM, 0, 0, "", ""},
        {"other open failure", true, -99, 0, 0, LIBUSB_ERROR_IO, 0, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bench b;
        b.add(1, {4, 2})->kernel_driver = c.driver;
        b.set([&](Bench& k) {
            k.driver_query = c.query;
            k.init_error = c.init;
            k.list_error = c.list;
            k.open_error = c.open;
            k.detach_error = c.detach;
        });
        CommRunning running;
        std::string calls;
        if (*c.calls == '\0') {
            EXPECT_EQ(refused_note("USBS:1-4.2:1781/0c44"), c.note);
            for (const std::string& call : b.calls()) calls += call + ",";
            EXPECT_EQ(calls.find("release"), std::string::npos) << calls;  // nothing was claimed
            continue;
        }
        Link link;
        ASSERT_TRUE(link.connect("USBS:1-4.2:1781/0c44"));
        ASSERT_TRUE(link.wait(O));
        ASSERT_EQ(comm_write(link.handle, "x", 1, 0, 5000), 0);
        ASSERT_EQ(comm_disconnect(link.handle), 0);
        link.handle = 0;
        for (const std::string& call : b.calls()) calls += (calls.empty() ? "" : ",") + call;
        EXPECT_EQ(calls, c.calls);
    }
    comm_usb_set_access_advice(nullptr);
}

// An IN transfer that overflowed ends the link.
TEST(CommUsb, AnOverflowedReadEndsTheLink) {
    Bench b;
    Device* dev = b.add(1, {4, 2});
    CommRunning running;
    Link link;
    ASSERT_TRUE(link.connect("USBS:1-4.2:1781/0c44"));
    ASSERT_TRUE(link.wait(O));
    b.set([](Bench& k) { k.spoil = Back::overflowed, k.spoil_left = 1; });
    b.send(dev, "lost");
    ASSERT_TRUE(link.wait(C));
    EXPECT_EQ(link.kinds(), (kinds{O, E, C}));
    link.handle = 0;
}

// libusb's own deadline wakes the I/O thread when no descriptor does.
TEST(CommUsb, LibusbsTimerIsKept) {
    Bench b;
    Device* dev = b.add(1, {4, 2});
    CommRunning running;
    Link link;
    ASSERT_TRUE(link.connect("USBS:1-4.2:1781/0c44"));
    ASSERT_TRUE(link.wait(O));
    b.set([&](Bench& k) {
        k.timer_ctx = k.last_ctx;
        k.timer_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(40);
        k.timer_device = dev;
        k.timer_data = "timed";
        Bench::kick(k.timer_ctx);  // as libusb does for a new timer
    });
    ASSERT_TRUE(link.ev.wait_bytes(link.handle, 5));
    EXPECT_EQ(link.data(), "timed");
}

// Hot-plug: the callback runs on the I/O thread once per round of changes, until it is
// deregistered or replaced.
int on_plug(void* arg) {
    static_cast<Counter*>(arg)->add();
    return 0;
}

TEST(CommUsb, HotPlugCallsBackOncePerRound) {
    Bench b;
    CommRunning running;
    Counter first, second;
    ASSERT_EQ(comm_usb_register(on_plug, &first), 0);
    b.plug_round(3);
    ASSERT_TRUE(first.wait(1));
    b.plug_round(1);
    ASSERT_TRUE(first.wait(2));
    // A round that libusb finds at its own deadline, with no descriptor ready.
    b.set([](Bench& k) {
        k.plug_changes = 1;
        k.timer_ctx = k.plug_ctx;
        k.timer_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(40);
        Bench::kick(k.timer_ctx);
    });
    ASSERT_TRUE(first.wait(3));
    // A second registration replaces the first.
    ASSERT_EQ(comm_usb_register(on_plug, &second), 0);
    b.plug_round(1);
    ASSERT_TRUE(second.wait(1));
    EXPECT_EQ(first.value(), 3);
    ASSERT_EQ(comm_usb_deregister(), 0);
    EXPECT_EQ(b.calls(), (std::vector<std::string>{"hotplug off", "hotplug off"}));
    EXPECT_EQ(second.value(), 1);
    // Without hot-plug on the platform, or with no callback, nothing is registered.
    b.set([](Bench& k) { k.hotplug_capable = false; });
    EXPECT_EQ(comm_usb_register(on_plug, &first), 0);
    b.set([](Bench& k) { k.hotplug_capable = true; });
    EXPECT_EQ(comm_usb_register(nullptr, nullptr), 0);
    EXPECT_EQ(b.calls().size(), 2u);
    b.set([](Bench& k) { k.hotplug_error = LIBUSB_ERROR_NOT_SUPPORTED; });
    EXPECT_EQ(comm_usb_register(on_plug, &first), -1);
    b.set([](Bench& k) {
        k.hotplug_error = 0;
        k.init_error = LIBUSB_ERROR_ACCESS;
    });
    EXPECT_EQ(comm_usb_register(on_plug, &first), 0);  // no USB: nothing will change
    EXPECT_EQ(comm_usb_deregister(), 0);
}

}  // namespace

#else

TEST(CommUsb, NotBuilt) {
    GTEST_SKIP() << "built without libusb";
}

#endif  // NV_HAVE_LIBUSB
