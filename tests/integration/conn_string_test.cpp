// Connection strings from bad arguments are refused with an empty buffer (a host typed by the
// operator goes into one), and COM numbers map to devices in the documented order.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "comm_internal.h"

namespace {

TEST(CommConnString, MakersRefuseBadArgumentsAndLeaveTheBufferEmpty) {
    const std::string long_host(COMM_CONN_STRING_SIZE, 'h');
    const std::string long_path = "/" + long_host;
    const char* bt_addr = "00:11:22:33:44:55";
    char out[COMM_CONN_STRING_SIZE];
    auto refused = [&](int result) { return result == -1 && out[0] == '\0'; };
    std::memset(out, 'x', sizeof out);
    EXPECT_TRUE(refused(comm_make_conn_string_net(out, "h", 0, 1000)));
    EXPECT_TRUE(refused(comm_make_conn_string_net(out, "h", 65536, 1000)));
    EXPECT_TRUE(refused(comm_make_conn_string_net(out, "h", 1, 0)));
    EXPECT_TRUE(refused(comm_make_conn_string_net(out, "", 1, 1)));
    EXPECT_TRUE(refused(comm_make_conn_string_net(out, "a b", 1, 1)));
    EXPECT_TRUE(refused(comm_make_conn_string_net(out, "1::2::3", 1, 1)));
    EXPECT_TRUE(refused(comm_make_conn_string_net(out, long_host.c_str(), 1, 1)));
    EXPECT_TRUE(refused(comm_make_conn_string_serial(out, 0, 115200, 8, 1, 0, 0)));
    EXPECT_TRUE(refused(comm_make_conn_string_serial(out, 256, 115200, 8, 1, 0, 0)));
    EXPECT_TRUE(refused(comm_make_conn_string_serial(out, 1, 12345, 8, 1, 0, 0)));
    EXPECT_TRUE(refused(comm_make_conn_string_serial(out, 1, 115200, 9, 3, 3, 3)));
    EXPECT_TRUE(refused(comm_make_conn_string_serial_path(out, "ttyS0", 115200, 8, 1, 0, 0)));
    EXPECT_TRUE(
        refused(comm_make_conn_string_serial_path(out, long_path.c_str(), 115200, 8, 1, 0, 0)));
    EXPECT_TRUE(refused(comm_make_conn_string_bt(out, "00:11", "", 0, 1, "1", 1)));
    EXPECT_TRUE(refused(comm_make_conn_string_bt(out, bt_addr, "", 0, 1, "1&2", 1)));
    EXPECT_TRUE(refused(comm_make_conn_string_bt(out, bt_addr, "\n", 0, 1, "1", 1)));
    EXPECT_TRUE(refused(comm_make_conn_string_usb(out, "COM1", 0, 0x1781, 0x0C44)));
}

TEST(CommConnString, ComPortsMapUsbAdaptersFirstInNumericOrder) {
    char tmpl[] = "/tmp/nv-comm-dev-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    const std::vector<std::string> names = {"ttyS10",   "ttyS2",   "ttyS0",   "ttyACM10", "ttyUSB1",
                                            "ttyACM9",  "ttyUSB0", "tty",     "ttyUSB",   "ttySx",
                                            "ttyUSB0a", "console", "ttyACM0", "ttyprintk"};
    for (const std::string& n : names) std::ofstream(dir + "/" + n) << "";
    const char* expected[] = {"ttyUSB0",  "ttyUSB1", "ttyACM0", "ttyACM9",
                              "ttyACM10", "ttyS0",   "ttyS2",   "ttyS10"};
    char path[COMM_CONN_STRING_SIZE];
    for (int port = 1; port <= 8; ++port) {
        ASSERT_EQ(comm_serial_com_path(dir.c_str(), port, path, sizeof path), 0) << port;
        EXPECT_EQ(path, dir + "/" + expected[port - 1]) << "COM" << port;
    }
    EXPECT_EQ(comm_serial_com_path(dir.c_str(), 9, path, sizeof path), -1);
    EXPECT_EQ(comm_serial_com_path(dir.c_str(), 0, path, sizeof path), -1);
    EXPECT_EQ(comm_serial_com_path(dir.c_str(), 1, path, 8), -1);  // does not fit: not cut
    EXPECT_EQ(comm_serial_com_path("/nonexistent/nv-comm", 1, path, sizeof path), -1);
    for (const std::string& n : names) unlink((dir + "/" + n).c_str());
    rmdir(dir.c_str());
}

}  // namespace
