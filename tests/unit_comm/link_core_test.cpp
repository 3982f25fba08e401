// The link core without real I/O: malformed strings open nothing, the transports this build
// lacks fail honestly on the I/O thread, and the library refuses work while it is not running.
#include <gtest/gtest.h>

#include "comm_events.h"
#include "comm_internal.h"

namespace {

TEST(CommCore, MalformedOrUnknownStringsReturnAtOnceAndOpenNothing) {
    CommRunning running;
    ASSERT_TRUE(running.ok());
    CommEvents ev;
    const char* strings[] = {
        "",
        "tcp://",
        "tcp://h:0",
        "tcp://[::1:4444",
        "serial:COM0",
        "serial:x",
        "serial:/d?x=1",
        "bt:00:11",
        "USBF",
        "USBF:1-1:1781/",
        "COM3",
        "/dev/ttyS0",
        "127.0.0.1:4444",
        "ftp://h:1",
        "usbf:1-1:1781/c44",
    };
    for (const char* s : strings) {
        int handle = -77;
        EXPECT_EQ(comm_connect(&handle, s, CommEvents::proc, 4096, 200, &ev), -1) << s;
        EXPECT_EQ(handle, -77) << s;
    }
    EXPECT_EQ(comm_connect(nullptr, "tcp://h:1", CommEvents::proc, 4096, 200, &ev), -1);
    int handle = -77;
    EXPECT_EQ(comm_connect(&handle, nullptr, CommEvents::proc, 4096, 200, &ev), -1);

    comm_data_cntr iter;
    ASSERT_EQ(comm_data_cntr_init(&iter), 0);
    EXPECT_EQ(comm_get_data(&iter, nullptr, nullptr), 0);

    // A well-formed link that fails: its events are the only ones ever delivered.
    ASSERT_EQ(comm_connect(&handle, "USBF:1-1:1781/c44", CommEvents::proc, 4096, 200, &ev), 0);
    ASSERT_TRUE(ev.wait_count(handle, COMM_EVENT_CLOSED));
    EXPECT_EQ(ev.total(), 2u);
}

TEST(CommCore, TransportsWithoutSupportFindNothingAndFailToOpen) {
    CommRunning running;
    ASSERT_TRUE(running.ok());

    comm_dev_entry list[32];
    int count = -1;
    EXPECT_EQ(comm_list_devices_usb(0, list, 32, &count, "", "", 0x1781, 0x1781, 0x0C44, 0x0C4D),
              0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(comm_bt_is_available(), 0);
    EXPECT_EQ(comm_bt_discover(0, 0xFFE050, 0), 0);
    count = -1;
    EXPECT_EQ(comm_bt_discover_wait(list, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(comm_bt_discover_cancel(), 0);
    EXPECT_EQ(comm_usb_register([](void*) { return 0; }, nullptr), 0);
    EXPECT_EQ(comm_usb_deregister(), 0);

    char usb[COMM_CONN_STRING_SIZE], bt[COMM_CONN_STRING_SIZE];
    ASSERT_EQ(comm_make_conn_string_usb(usb, "USBF:1-1:1781/0c44", 0, 0x1781, 0x0C44), 0);
    ASSERT_EQ(comm_make_conn_string_bt(bt, "00:11:22:33:44:55", "", 0xFFE050, 1, "1234", 60000), 0);
    for (const char* conn : {static_cast<const char*>(usb), static_cast<const char*>(bt)}) {
        CommEvents ev;
        int handle = 0;
        ASSERT_EQ(comm_connect(&handle, conn, CommEvents::proc, 4096, 200, &ev), 0) << conn;
        EXPECT_GT(handle, 0);
        EXPECT_NE(comm_wait_connected(handle, 600000), 0) << conn;
        ASSERT_TRUE(ev.wait_count(handle, COMM_EVENT_CLOSED)) << conn;
        EXPECT_EQ(ev.kinds(handle), (std::vector<int>{COMM_EVENT_ERROR, COMM_EVENT_CLOSED}));
        EXPECT_EQ(comm_get_state(handle), COMM_STATE_NONE);
        EXPECT_NE(comm_write(handle, "x", 1, 0, 100), 0);
        EXPECT_NE(comm_disconnect(handle), 0);
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
    EXPECT_NE(comm_net_broadcast_deregister(), 0);
    EXPECT_NE(comm_disconnect(1), 0);
    EXPECT_EQ(comm_get_state(1), COMM_STATE_NONE);
    EXPECT_NE(comm_wait_connected(1, 0), 0);
    EXPECT_NE(comm_signal_connected(1), 0);
    EXPECT_EQ(ev.total(), 0u);

    // Handles go on counting across a restart.
    int first = 0, second = 0;
    {
        CommRunning running;
        ASSERT_EQ(comm_connect(&first, "USBF:1-1:1781/c44", CommEvents::proc, 0, 0, &ev), 0);
        ASSERT_TRUE(ev.wait_count(first, COMM_EVENT_CLOSED));
    }
    {
        CommRunning running;
        ASSERT_EQ(comm_connect(&second, "USBF:1-1:1781/c44", CommEvents::proc, 0, 0, &ev), 0);
        ASSERT_TRUE(ev.wait_count(second, COMM_EVENT_CLOSED));
    }
    EXPECT_GT(second, first);
}

}  // namespace
