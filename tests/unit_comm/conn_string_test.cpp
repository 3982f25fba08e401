// Connection strings: the makers' forms parse back to the same settings, bad arguments give -1
// and an empty buffer, COM numbers map to devices in the documented order, and every device
// entry has a readable text.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "comm_internal.h"

namespace {

TEST(CommConnString, MadeStringsParseBackToTheirSettings) {
    char out[COMM_CONN_STRING_SIZE];
    struct Net {
        const char* host;
        int port, timeout;
        const char* text;
        const char* parsed_host;
    };
    for (const Net& c :
         {Net{"127.0.0.1", 4444, 1000, "tcp://127.0.0.1:4444?timeout=1000", "127.0.0.1"},
          Net{"nv52-lab.example", 1, 60000, "tcp://nv52-lab.example:1?timeout=60000",
              "nv52-lab.example"},
          Net{"::1", 65535, 1, "tcp://[::1]:65535?timeout=1", "::1"},
          Net{"[fe80::1:2]", 80, 5, "tcp://[fe80::1:2]:80?timeout=5", "fe80::1:2"}}) {
        ASSERT_EQ(comm_make_conn_string_net(out, c.host, c.port, c.timeout), 0) << c.host;
        EXPECT_STREQ(out, c.text);
        comm_net_params p;
        ASSERT_EQ(comm_net_parse(out, &p), 1) << out;
        EXPECT_STREQ(p.host, c.parsed_host);
        EXPECT_EQ(std::make_pair(p.port, p.timeout_ms), std::make_pair(c.port, c.timeout)) << out;
    }

    // A port named with the host wins over the given one.
    for (auto [host, text] : {std::pair{"127.0.0.1:5555", "tcp://127.0.0.1:5555?timeout=1000"},
                              std::pair{"[::1]:6000", "tcp://[::1]:6000?timeout=1000"},
                              std::pair{"lab:0", "tcp://lab:0?timeout=1000"}}) {
        int r = comm_make_conn_string_net(out, host, 4444, 1000);
        if (std::string(host) == "lab:0") {
            EXPECT_NE(r, 0);  // port 0 is no port: the text is not a host either
            continue;
        }
        ASSERT_EQ(r, 0) << host;
        EXPECT_STREQ(out, text);
    }

    ASSERT_EQ(comm_make_conn_string_serial(out, 255, 9600, 7, 2, 2, 1), 0);
    EXPECT_STREQ(out, "serial:COM255?baud=9600&bits=7&parity=even&stop=2&flow=rtscts");
    comm_serial_params s;
    ASSERT_EQ(comm_serial_parse(out, &s), 1);
    EXPECT_EQ(std::vector<int>({s.com_port, s.baud, s.data_bits, s.stop_bits, s.parity, s.flow}),
              std::vector<int>({255, 9600, 7, 2, COMM_PARITY_EVEN, COMM_FLOW_RTSCTS}));
    // A path may hold a '?' itself: the query starts at the last one.
    ASSERT_EQ(comm_make_conn_string_serial_path(out, "/tmp/odd?name", 115200, 8, 1, 1, 2), 0);
    EXPECT_STREQ(out, "serial:/tmp/odd?name?baud=115200&bits=8&parity=odd&stop=1&flow=xonxoff");
    ASSERT_EQ(comm_serial_parse(out, &s), 1);
    EXPECT_STREQ(s.path, "/tmp/odd?name");
    EXPECT_EQ(s.com_port, 0);
    // Settings left out take their defaults.
    ASSERT_EQ(comm_serial_parse("serial:COM7", &s), 1);
    EXPECT_EQ(std::vector<int>({s.baud, s.data_bits, s.stop_bits, s.parity, s.flow}),
              std::vector<int>({115200, 8, 1, 0, 0}));

    ASSERT_EQ(comm_make_conn_string_bt(out, "00:1a:7d:DA:71:13", "NV-52 #7&co", 0xFFE050, 1, "1234",
                                       60000),
              0);
    EXPECT_STREQ(out,
                 "bt:00:1A:7D:DA:71:13?channel=1&cod=ffe050&pin=1234&timeout=60000"
                 "&name=NV-52%20%237%26co");
    comm_bt_params b;
    ASSERT_EQ(comm_bt_parse(out, &b), 1);
    EXPECT_STREQ(b.name, "NV-52 #7&co");
    EXPECT_STREQ(b.pin, "1234");
    EXPECT_EQ(b.cod, 0xFFE050);

    // A USB list entry is itself a connection string; the made form adds the argument and
    // still ends in '/' and the product id.
    ASSERT_EQ(comm_make_conn_string_usb(out, "USBU:2-1:1781/c45", 3, 0x1781, 0x0C45), 0);
    EXPECT_STREQ(out, "USBU:2-1:1781:3/0c45");
    comm_usb_params u;
    ASSERT_EQ(comm_usb_parse(out, &u), 1);
    EXPECT_EQ(std::vector<int>({u.vendor_id, u.arg, u.product_id}),
              std::vector<int>({0x1781, 3, 0x0C45}));
}

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

TEST(CommConnString, DeviceTextsAreReadableForAnyEntry) {
    struct {
        comm_dev_entry entry;  // full width, no terminator
        char after[8] = "GUARD!!";
    } full;
    std::memset(full.entry, 'e', sizeof full.entry);
    struct Case {
        const char* entry;
        std::string text;
    };
    for (const Case& c :
         {Case{"USBF:1-4.2:1781/c44", "USB bus 1 port 4.2 (1781:0c44)"},
          Case{"bt:00:11:22:33:44:55?name=NV-52%20A", "Bluetooth NV-52 A (00:11:22:33:44:55)"},
          Case{"bt:00:11:22:33:44:55", "Bluetooth 00:11:22:33:44:55"},
          Case{"some\tother", "some?other"}, Case{full.entry, std::string(COMM_ENTRY_SIZE, 'e')}}) {
        char text[COMM_DEVID_SIZE];
        ASSERT_EQ(comm_get_devid_string(c.entry, text), 0);
        EXPECT_EQ(text, c.text);
    }
}

}  // namespace
