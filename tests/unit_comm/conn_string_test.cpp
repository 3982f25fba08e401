// Connection strings: the makers' forms parse back to the same settings, bad arguments and
// malformed strings are refused and open nothing, and COM numbers map to devices in order.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "comm_events.h"
#include "comm_internal.h"

namespace {

TEST(ConnString, MadeStringsParseBackToTheirSettings) {
    char out[COMM_CONN_STRING_SIZE];
    for (auto [host, port, text, parsed] :
         {std::tuple("nv52-lab.example", 1, "tcp://nv52-lab.example:1?timeout=60000",
                     "nv52-lab.example"),
          std::tuple("::1", 65535, "tcp://[::1]:65535?timeout=60000", "::1"),
          std::tuple("[fe80::1:2]", 80, "tcp://[fe80::1:2]:80?timeout=60000", "fe80::1:2"),
          std::tuple("127.0.0.1:5555", 4444, "tcp://127.0.0.1:5555?timeout=60000", "127.0.0.1")}) {
        ASSERT_EQ(comm_make_conn_string_net(out, host, port, 60000), 0) << host;
        EXPECT_STREQ(out, text);
        comm_net_params p;
        ASSERT_EQ(comm_net_parse(out, &p), 1) << out;
        EXPECT_STREQ(p.host, parsed);
    }
    ASSERT_EQ(comm_make_conn_string_serial(out, 255, 9600, 7, 2, 2, 1), 0);
    EXPECT_STREQ(out, "serial:COM255?baud=9600&bits=7&parity=even&stop=2&flow=rtscts");
    comm_serial_params s;
    ASSERT_EQ(comm_serial_parse(out, &s), 1);
    EXPECT_EQ(std::vector<int>({s.com_port, s.baud, s.data_bits, s.stop_bits, s.parity, s.flow}),
              std::vector<int>({255, 9600, 7, 2, COMM_PARITY_EVEN, COMM_FLOW_RTSCTS}));
    // A path may hold a '?' itself: the query starts at the last one.
    ASSERT_EQ(comm_make_conn_string_serial_path(out, "/tmp/odd?name", 115200, 8, 1, 1, 2), 0);
    ASSERT_EQ(comm_serial_parse(out, &s), 1);
    EXPECT_STREQ(s.path, "/tmp/odd?name");
    ASSERT_EQ(comm_make_conn_string_bt(out, "00:1a:7d:DA:71:13", "NV-52 #7&co", 0xFFE050, 1, "1234",
                                       60000),
              0);
    EXPECT_STREQ(out,
                 "bt:00:1A:7D:DA:71:13?channel=1&cod=ffe050&pin=1234&timeout=60000"
                 "&name=NV-52%20%237%26co");
    comm_bt_params b;
    ASSERT_EQ(comm_bt_parse(out, &b), 1);
    EXPECT_STREQ(b.name, "NV-52 #7&co");
    ASSERT_EQ(comm_make_conn_string_usb(out, "USBU:2-1:1781/c45", 3, 0x1781, 0x0C45), 0);
    EXPECT_STREQ(out, "USBU:2-1:1781:3/0c45");
}

TEST(ConnString, BadArgumentsAndMalformedStringsAreRefused) {
    const std::string long_host(COMM_CONN_STRING_SIZE, 'h');
    char out[COMM_CONN_STRING_SIZE];
    auto refused = [&](int result) { return result == -1 && out[0] == '\0'; };
    std::memset(out, 'x', sizeof out);
    EXPECT_TRUE(refused(comm_make_conn_string_net(out, "h", 65536, 1000)));
    EXPECT_TRUE(refused(comm_make_conn_string_net(out, "a b", 1, 1)));
    EXPECT_TRUE(refused(comm_make_conn_string_net(out, long_host.c_str(), 1, 1)));
    EXPECT_TRUE(refused(comm_make_conn_string_net(out, "lab:0", 4444, 1000)));
    EXPECT_TRUE(refused(comm_make_conn_string_serial(out, 256, 115200, 8, 1, 0, 0)));
    EXPECT_TRUE(refused(comm_make_conn_string_serial(out, 1, 12345, 8, 1, 0, 0)));
    EXPECT_TRUE(refused(comm_make_conn_string_serial_path(out, "ttyS0", 115200, 8, 1, 0, 0)));
    EXPECT_TRUE(refused(comm_make_conn_string_bt(out, "00:11:22:33:44:55", "\n", 0, 1, "1", 1)));
    EXPECT_TRUE(refused(comm_make_conn_string_usb(out, "COM1", 0, 0x1781, 0x0C44)));
    CommRunning running;
    CommEvents ev;
    for (const char* s :
         {"", "COM3", "127.0.0.1:4444", "usbf:1-1:1781/c44", "tcp://host", "tcp://host:65536",
          "tcp://::1:4444", "tcp://[zz::1]:4444", "tcp://h:1?timeout=5&timeout=6",
          "tcp://h:1?speed=5", "serial:COM256", "serial:COM1x", "serial:/dev/x?parity=mark",
          "bt:00:11:22:33:44", "bt:00:11:22:33:44:55?channel=31", "bt:00:11:22:33:44:55?name=%4",
          "USBF:1-1:1781", "USBF:1-1:1781/10000", "USB!:1-1:1781/0c44"}) {
        int handle = -77;
        EXPECT_EQ(comm_connect(&handle, s, CommEvents::proc, 4096, 200, &ev), -1) << s;
        EXPECT_EQ(handle, -77) << s;
    }
    EXPECT_EQ(ev.total(), 0u);
}

// USB adapters first, then ACM, then the built-in ports, each numerically.
TEST(ConnString, ComPortsMapUsbAdaptersFirstInNumericOrder) {
    char tmpl[] = "/tmp/nv-comm-dev-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    const std::vector<std::string> names = {
        "ttyS10", "ttyS2", "ttyS0",    "ttyACM10", "ttyUSB1", "ttyACM9",  "ttyUSB0",
        "ttyUSB", "ttySx", "ttyUSB0a", "console",  "ttyACM0", "ttyprintk"};
    for (const std::string& n : names) std::ofstream(dir + "/" + n) << "";
    const char* expected[] = {"ttyUSB0",  "ttyUSB1", "ttyACM0", "ttyACM9",
                              "ttyACM10", "ttyS0",   "ttyS2",   "ttyS10"};
    char path[COMM_CONN_STRING_SIZE];
    for (int port = 1; port <= 8; ++port) {
        ASSERT_EQ(comm_serial_com_path(dir.c_str(), port, path, sizeof path), 0) << port;
        EXPECT_EQ(path, dir + "/" + expected[port - 1]) << "COM" << port;
    }
    EXPECT_EQ(comm_serial_com_path(dir.c_str(), 9, path, sizeof path), -1);
    EXPECT_EQ(comm_serial_com_path(dir.c_str(), 1, path, 8), -1);  // does not fit: not cut
    for (const std::string& n : names) unlink((dir + "/" + n).c_str());
    rmdir(dir.c_str());
}

}  // namespace
