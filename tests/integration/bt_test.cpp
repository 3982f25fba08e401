// Bluetooth on a fake controller behind the table of BlueZ and socket calls: availability, the
// inquiry and its 32-entry limit, RFCOMM links whose "socket" is one end of a socket pair, and
// refused connects with what the operator is told.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "bt_api.h"
#include "bt_fake.h"
#include "comm_events.h"
#include "comm_internal.h"
#include "comm_peers.h"
#include "error_log.h"

#if NV_HAVE_BLUEZ

namespace {

constexpr int NEVER_MS = 600000;

using namespace bt_fake;

TEST(Bluetooth, AvailableOnlyWithAControllerThatIsUp) {
    struct Case {
        int route;
        bool up;
        int available;
    };
    for (const Case& c :
         {Case{-1, true, 0}, Case{0, false, 0}, Case{0, true, 1}, Case{2, true, 1}}) {
        Installed f;
        f.bt.route = c.route;
        f.bt.up = c.up;
        EXPECT_EQ(comm_bt_is_available(), c.available) << c.route << " " << c.up;
    }
}

TEST(Bluetooth, InquiryDeliversEachDeviceOnceAndAtMost32) {
    Installed f;
    for (int n = 0; n < 40; ++n) f.bt.found.push_back(answer(n, 0x1F00 + n));
    f.bt.found.insert(f.bt.found.begin() + 1, answer(0, 0x1F00));  // answered twice
    f.bt.names["A5:A4:A3:A2:A1:00"] = "NV-52 #1";
    f.bt.names["A5:A4:A3:A2:A1:02"] = std::string(200, 'n');  // too long for an entry as it is
    f.bt.names["A5:A4:A3:A2:A1:03"] = "tab\there";

    comm_dev_entry list[40];
    std::memset(list, 'x', sizeof list);
    int count = -1;
    ASSERT_EQ(comm_bt_discover(0, 0xFFE050, 0), 0);
    ASSERT_EQ(comm_bt_discover_wait(list, &count), 0);
    ASSERT_EQ(count, 32);
    for (int i = 32; i < 40; ++i) EXPECT_EQ(list[i][0], 'x') << "entry " << i << " written";
    for (int i = 0; i < count; ++i) {
        comm_bt_params p;
        ASSERT_EQ(comm_bt_parse(list[i], &p), 1) << list[i];
        char address[32];
        std::snprintf(address, sizeof address, "A5:A4:A3:A2:A1:%02X", i & 0xFF);
        EXPECT_STREQ(p.address, address);
        EXPECT_EQ(p.cod, 0x1F00 + i);
        EXPECT_EQ(p.channel, 1);
    }
    char text[COMM_DEVID_SIZE];
    struct Case {
        int index;
        std::string text;
    };
    for (const Case& c :
         {Case{0, "Bluetooth NV-52 #1 (A5:A4:A3:A2:A1:00)"}, Case{1, "Bluetooth A5:A4:A3:A2:A1:01"},
          Case{3, "Bluetooth tab?here (A5:A4:A3:A2:A1:03)"}}) {
        ASSERT_EQ(comm_get_devid_string(list[c.index], text), 0);
        EXPECT_EQ(text, c.text);
    }
    comm_bt_params p;
    ASSERT_EQ(comm_bt_parse(list[2], &p), 1);
    EXPECT_GT(std::strlen(p.name), 20u);  // shortened to fit, not dropped
    EXPECT_EQ(std::string(p.name), std::string(std::strlen(p.name), 'n'));
    EXPECT_EQ(f.bt.open_devs, 0);

    // Without a controller there is nothing to find.
    f.bt.route = -1;
    EXPECT_NE(comm_bt_discover(0, 0xFFE050, 0), 0);
    count = -1;
    EXPECT_EQ(comm_bt_discover_wait(list, &count), 0);
    EXPECT_EQ(count, 0);
}

TEST(Bluetooth, CancelEndsTheInquiryWithWhatWasFound) {
    Installed f;
    f.bt.hold_inquiry = true;
    for (int n = 0; n < 3; ++n) f.bt.found.push_back(answer(n, 0x1F00));
    f.bt.names["A5:A4:A3:A2:A1:00"] = "not asked for";
    ASSERT_EQ(comm_bt_discover(0, 0xFFE050, 0), 0);
    {
        std::unique_lock<std::mutex> held(f.bt.lock);
        ASSERT_TRUE(f.bt.changed.wait_for(held, CommEvents::LIMIT, [&] { return f.bt.inquiring; }));
    }
    EXPECT_EQ(comm_bt_discover_cancel(), 0);
    comm_dev_entry list[32];
    int count = -1;
    ASSERT_EQ(comm_bt_discover_wait(list, &count), 0);
    ASSERT_EQ(count, 3);
    EXPECT_TRUE(f.bt.cancel_sent);
    comm_bt_params p;
    ASSERT_EQ(comm_bt_parse(list[0], &p), 1);
    EXPECT_STREQ(p.name, "");
    EXPECT_EQ(f.bt.open_devs, 0);
}

TEST(Bluetooth, RfcommLinkCarriesBytesBothWays) {
    Installed f;
    CommRunning running;
    CommEvents ev;
    char conn[COMM_CONN_STRING_SIZE];
    ASSERT_EQ(comm_make_conn_string_bt(conn, "00:11:22:aa:bb:cc", "", 0xFFE050, 3, "1234", 60000),
              0);
    int h = 0;
    ASSERT_EQ(comm_connect(&h, conn, CommEvents::proc, 4096, 0, &ev), 0);
    ASSERT_TRUE(ev.wait_count(h, COMM_EVENT_OPENED));
    {
        std::lock_guard<std::mutex> guard(f.bt.lock);
        EXPECT_EQ(f.bt.connected_to.rc_family, AF_BLUETOOTH);
        EXPECT_EQ(f.bt.connected_to.rc_channel, 3);
        EXPECT_EQ(text_of(f.bt.connected_to.rc_bdaddr), "00:11:22:AA:BB:CC");
        EXPECT_EQ(f.bt.security_levels, std::vector<int>{BT_SECURITY_MEDIUM});
    }
    ASSERT_TRUE(write_all(f.bt.device_fd, "from the instrument"));
    ASSERT_TRUE(ev.wait_bytes(h, 19));
    EXPECT_EQ(ev.data(h), "from the instrument");
    ASSERT_EQ(comm_write(h, "to it", 5, 0, 5000), 0);
    EXPECT_EQ(read_bytes(f.bt.device_fd, 5), "to it");
    ASSERT_EQ(comm_disconnect(h), 0);
    EXPECT_EQ(read_bytes(f.bt.device_fd), "");  // the instrument sees the close
    EXPECT_EQ(ev.count(h, COMM_EVENT_ERROR), 0);
}

TEST(Bluetooth, RefusedConnectsTellTheOperatorOnce) {
    struct Case {
        const char* name;
        Connect how;
        int err;  // of the socket call, the connect, or the connect's outcome, as `how` says
        const char* pin;
        std::vector<std::string> words;  // in the one message; none: no message
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"channel refused at once", Connect::now, ECONNREFUSED, "1234", {"refused RFCOMM channel 3", "00:11:22:AA:BB:CC"}},
        {"channel refused later", Connect::later, ECONNREFUSED, "", {"refused RFCOMM channel 3"}},
        {"pairing refused", Connect::later, EACCES, "1234", {"refused the pairing", "pair 00:11:22:AA:BB:CC, PIN 1234"}},
        {"no key", Connect::later, EBADE, "", {"refused the pairing"}},
        {"out of range", Connect::later, EHOSTDOWN, "1234", {"did not answer"}},
        {"never answers", Connect::never, 0, "1234", {"did not answer"}},
        {"no RFCOMM in the kernel", Connect::no_socket, EAFNOSUPPORT, "", {"no Bluetooth serial"}},
        {"no controller up", Connect::now, ENETDOWN, "", {"No Bluetooth controller is up"}},
        {"an error with no advice", Connect::later, EIO, "", {}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Installed f;
        f.bt.connect = c.how;
        f.bt.err = c.err;
        ErrorLog log;
        CommRunning running;
        CommEvents ev;
        std::string printed_at_error = "unset";
        ev.hook = [&](int, int kind, const unsigned char*, int) {
            if (kind == COMM_EVENT_ERROR) printed_at_error = log.text();
            return 0;
        };
        char conn[COMM_CONN_STRING_SIZE];
        ASSERT_EQ(comm_make_conn_string_bt(conn, "00:11:22:AA:BB:CC", "", 0xFFE050, 3, c.pin,
                                           c.how == Connect::never ? 50 : 60000),
                  0);
        int h = 0;
        ASSERT_EQ(comm_connect(&h, conn, CommEvents::proc, 4096, 0, &ev), 0);
        EXPECT_NE(comm_wait_connected(h, NEVER_MS), 0);
        ASSERT_TRUE(ev.wait_count(h, COMM_EVENT_CLOSED));
        EXPECT_EQ(ev.kinds(h), (std::vector<int>{COMM_EVENT_ERROR, COMM_EVENT_CLOSED}));
        EXPECT_EQ(printed_at_error, "");
        std::string text = log.text();
        if (c.words.empty()) {
            EXPECT_EQ(text, "");
        } else {
            EXPECT_EQ(log.count(c.words[0]), 1) << text;
            for (const std::string& w : c.words) EXPECT_NE(text.find(w), std::string::npos) << w;
        }
    }
}

}  // namespace

#else

TEST(Bluetooth, NotBuilt) {
    GTEST_SKIP() << "built without BlueZ";
}

#endif  // NV_HAVE_BLUEZ
