// The link core without real I/O: malformed strings open nothing, the transports a build leaves
// out fail honestly, and the library refuses work while it is not running.
#include <gtest/gtest.h>

#include "comm_events.h"
#include "comm_internal.h"

namespace {

TEST(CommCore, MalformedOrUnknownStringsReturnAtOnceAndOpenNothing) {
    CommRunning running;
    CommEvents ev;
    const char* strings[] = {"",
                             "COM3",
                             "/dev/ttyS0",
                             "127.0.0.1:4444",
                             "ftp://h:1",
                             "usbf:1-1:1781/c44",
                             "tcp://host",
                             "tcp://host:0",
                             "tcp://host:65536",
                             "tcp://::1:4444",
                             "tcp://[::1:4444",
                             "tcp://[zz::1]:4444",
                             "tcp://h:1?timeout=0",
                             "tcp://h:1?timeout=5&timeout=6",
                             "tcp://h:1?speed=5",
                             "serial:COM0",
                             "serial:COM256",
                             "serial:COM1x",
                             "serial:ttyS0",
                             "serial:/dev/x?baud=12345",
                             "serial:/dev/x?parity=mark",
                             "bt:00:11:22:33:44",
                             "bt:00:11:22:33:44:55?channel=31",
                             "bt:00:11:22:33:44:55?name=%0A",
                             "bt:00:11:22:33:44:55?name=%4",
                             "USBF",
                             "USBF:1-1:1781",
                             "USBF:1-1:1781/10000",
                             "USBF:1-1:zz/0c44",
                             "USB!:1-1:1781/0c44"};
    for (const char* s : strings) {
        int handle = -77;
        EXPECT_EQ(comm_connect(&handle, s, CommEvents::proc, 4096, 200, &ev), -1) << s;
        EXPECT_EQ(handle, -77) << s;
    }
    comm_data_cntr iter;
    ASSERT_EQ(comm_data_cntr_init(&iter), 0);
    EXPECT_EQ(comm_get_data(&iter, nullptr, nullptr), 0);

    EXPECT_EQ(ev.total(), 0u);
}

#if !NV_HAVE_LIBUSB && !NV_HAVE_BLUEZ
// Built without libusb and BlueZ: USB and Bluetooth find nothing, and their well-formed strings
// fail on the I/O thread: ERROR, CLOSED, and those are the only events ever delivered.
TEST(CommCore, TransportsLeftOutFindNothingAndFailToOpen) {
    CommRunning running;
    CommEvents ev;
    comm_dev_entry list[32];
    int count = -1;
    EXPECT_EQ(comm_list_devices_usb(0, list, 32, &count, "", "", 0x1781, 0x1781, 0x0C44, 0x0C4D),
              0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(comm_bt_is_available(), 0);
    count = -1;
    EXPECT_EQ(comm_bt_discover(0, 0xFFE050, 0) + comm_bt_discover_wait(list, &count), 0);
    EXPECT_EQ(count, 0);
    for (const char* conn : {"USBF:1-1:1781:0/0c44", "bt:00:11:22:33:44:55?channel=1"}) {
        int handle = 0;
        ASSERT_EQ(comm_connect(&handle, conn, CommEvents::proc, 4096, 200, &ev), 0) << conn;
        EXPECT_NE(comm_wait_connected(handle, 600000), 0) << conn;
        ASSERT_TRUE(ev.wait_count(handle, COMM_EVENT_CLOSED)) << conn;
        EXPECT_EQ(ev.kinds(handle), (std::vector<int>{COMM_EVENT_ERROR, COMM_EVENT_CLOSED}));
        EXPECT_NE(comm_disconnect(handle), 0);
    }
    EXPECT_EQ(ev.total(), 4u);
}
#endif

// System-call failures are traced on standard error only when NV_COMM_DEBUG is set: the
// operator's console never shows them otherwise.
TEST(CommCore, FailureTracesOnlyWhenAskedFor) {
    CommRunning running;
    for (bool debug : {false, true}) {
        if (debug) setenv("NV_COMM_DEBUG", "1", 1);
        CommEvents ev;
        int handle = 0;
        testing::internal::CaptureStderr();
        ASSERT_EQ(comm_connect(&handle, "serial:/nonexistent/tty", CommEvents::proc, 0, 0, &ev), 0);
        ASSERT_TRUE(ev.wait_count(handle, COMM_EVENT_CLOSED));
        std::string err = testing::internal::GetCapturedStderr();
        unsetenv("NV_COMM_DEBUG");
        EXPECT_EQ(err, debug ? "libcomm: serial open: No such file or directory\n" : "");
    }
}

TEST(CommCore, NothingWorksWhileTheLibraryIsNotRunning) {
    CommEvents ev;
    int handle = -5;
    EXPECT_EQ(comm_shut(), 0);
    EXPECT_EQ(comm_connect(&handle, "tcp://127.0.0.1:1", CommEvents::proc, 4096, 200, &ev), -1);
    EXPECT_EQ(handle, -5);
    EXPECT_EQ(comm_net_broadcast_register([](const unsigned char*, int) { return 0; }, nullptr),
              -1);
    EXPECT_NE(comm_net_broadcast_send("x", 1, "127.0.0.1", 9), 0);
    EXPECT_NE(comm_disconnect(1), 0);
    EXPECT_NE(comm_wait_connected(1, 0), 0);
    EXPECT_EQ(ev.total(), 0u);
}

}  // namespace
