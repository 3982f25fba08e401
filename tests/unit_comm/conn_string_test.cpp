// Connection strings: what the makers produce parses back to the same settings, bad arguments
// and malformed strings are refused, and COM numbers map to devices in the documented order.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "comm_internal.h"

namespace {

TEST(CommConnString, NetRoundTrip) {
    struct Case {
        const char* host;
        int port;
        int timeout;
        const char* text;
        const char* parsed_host;
    };
    const Case cases[] = {
        {"127.0.0.1", 4444, 1000, "tcp://127.0.0.1:4444?timeout=1000", "127.0.0.1"},
        {"nv52-lab.example", 1, 60000, "tcp://nv52-lab.example:1?timeout=60000",
         "nv52-lab.example"},
        {"::1", 65535, 1, "tcp://[::1]:65535?timeout=1", "::1"},
        {"[fe80::1:2]", 4444, 1000, "tcp://[fe80::1:2]:4444?timeout=1000", "fe80::1:2"},
        {"::ffff:192.0.2.1", 80, 5, "tcp://[::ffff:192.0.2.1]:80?timeout=5", "::ffff:192.0.2.1"},
    };
    for (const Case& c : cases) {
        char out[COMM_CONN_STRING_SIZE];
        ASSERT_EQ(comm_make_conn_string_net(out, c.host, c.port, c.timeout), 0) << c.host;
        EXPECT_STREQ(out, c.text);
        comm_net_params p;
        ASSERT_EQ(comm_net_parse(out, &p), 1) << out;
        EXPECT_STREQ(p.host, c.parsed_host);
        EXPECT_EQ(p.port, c.port);
        EXPECT_EQ(p.timeout_ms, c.timeout);
    }
    // Settings left out take their defaults.
    comm_net_params p;
    ASSERT_EQ(comm_net_parse("tcp://localhost:4444", &p), 1);
    EXPECT_EQ(p.timeout_ms, 1000);
}

TEST(CommConnString, SerialRoundTrip) {
    struct Case {
        int port;  // 0: by path
        const char* path;
        int baud, bits, stop, parity, flow;
        const char* text;
    };
    const Case cases[] = {
        {1, nullptr, 115200, 8, 1, 0, 0,
         "serial:COM1?baud=115200&bits=8&parity=none&stop=1&flow=none"},
        {255, nullptr, 9600, 7, 2, 2, 1,
         "serial:COM255?baud=9600&bits=7&parity=even&stop=2&flow=rtscts"},
        {0, "/dev/ttyUSB0", 115200, 8, 1, 0, 0,
         "serial:/dev/ttyUSB0?baud=115200&bits=8&parity=none&stop=1&flow=none"},
        // A path may hold a '?' itself: the query starts at the last one.
        {0, "/tmp/odd?name", 57600, 5, 1, 1, 2,
         "serial:/tmp/odd?name?baud=57600&bits=5&parity=odd&stop=1&flow=xonxoff"},
    };
    for (const Case& c : cases) {
        char out[COMM_CONN_STRING_SIZE];
        int r = c.port ? comm_make_conn_string_serial(out, c.port, c.baud, c.bits, c.stop, c.parity,
                                                      c.flow)
                       : comm_make_conn_string_serial_path(out, c.path, c.baud, c.bits, c.stop,
                                                           c.parity, c.flow);
        ASSERT_EQ(r, 0) << c.text;
        EXPECT_STREQ(out, c.text);
        comm_serial_params p;
        ASSERT_EQ(comm_serial_parse(out, &p), 1) << out;
        EXPECT_EQ(p.com_port, c.port);
        EXPECT_STREQ(p.path, c.path ? c.path : "");
        EXPECT_EQ(p.baud, c.baud);
        EXPECT_EQ(p.data_bits, c.bits);
        EXPECT_EQ(p.stop_bits, c.stop);
        EXPECT_EQ(p.parity, c.parity);
        EXPECT_EQ(p.flow, c.flow);
    }
    comm_serial_params p;
    ASSERT_EQ(comm_serial_parse("serial:COM7", &p), 1);
    EXPECT_EQ(p.baud, 115200);
    EXPECT_EQ(p.data_bits, 8);
    EXPECT_EQ(p.stop_bits, 1);
}

TEST(CommConnString, BluetoothAndUsbRoundTrip) {
    char out[COMM_CONN_STRING_SIZE];
    ASSERT_EQ(comm_make_conn_string_bt(out, "00:1a:7d:DA:71:13", "NV-52 #7&co", 0xFFE050, 1, "1234",
                                       60000),
              0);
    EXPECT_STREQ(out,
                 "bt:00:1A:7D:DA:71:13?channel=1&cod=ffe050&pin=1234&timeout=60000"
                 "&name=NV-52%20%237%26co");
    comm_bt_params b;
    ASSERT_EQ(comm_bt_parse(out, &b), 1);
    EXPECT_STREQ(b.address, "00:1A:7D:DA:71:13");
    EXPECT_STREQ(b.name, "NV-52 #7&co");
    EXPECT_EQ(b.cod, 0xFFE050);
    EXPECT_EQ(b.channel, 1);
    EXPECT_STREQ(b.pin, "1234");
    EXPECT_EQ(b.timeout_ms, 60000);
    // The console builds an address-only string with an empty name.
    ASSERT_EQ(comm_make_conn_string_bt(out, "00:11:22:33:44:55", "", 0xFFE050, 1, "0000", 60000),
              0);
    ASSERT_EQ(comm_bt_parse(out, &b), 1);
    EXPECT_STREQ(b.name, "");

    // A USB list entry is itself a connection string; the made form adds the argument.
    comm_usb_params u;
    ASSERT_EQ(comm_usb_parse("USBS:1-4.2:1781/c44", &u), 1);
    EXPECT_STREQ(u.tag, "USBS");
    EXPECT_STREQ(u.location, "1-4.2");
    EXPECT_EQ(u.vendor_id, 0x1781);
    EXPECT_EQ(u.product_id, 0x0C44);
    EXPECT_EQ(u.arg, -1);
    ASSERT_EQ(comm_make_conn_string_usb(out, "USBU:2-1:1781/0c45", 3, 0x1781, 0x0C45), 0);
    EXPECT_STREQ(out, "USBU:2-1:1781:3/0c45");
    ASSERT_EQ(comm_usb_parse(out, &u), 1);
    EXPECT_EQ(u.arg, 3);
    EXPECT_EQ(u.product_id, 0x0C45);
    // Entries end in '/' and the product id, as the link layer reads them.
    EXPECT_STREQ(strrchr(out, '/'), "/0c45");
}

TEST(CommConnString, MakersRefuseBadArgumentsAndLeaveTheBufferEmpty) {
    const std::string long_host(COMM_CONN_STRING_SIZE, 'h');
    const std::string long_path = "/" + std::string(COMM_CONN_STRING_SIZE, 'p');
    struct Case {
        const char* what;
        std::function<int(char*)> make;
    };
    const Case cases[] = {
        {"net port 0", [](char* o) { return comm_make_conn_string_net(o, "h", 0, 1000); }},
        {"net port 65536", [](char* o) { return comm_make_conn_string_net(o, "h", 65536, 1); }},
        {"net time-out 0", [](char* o) { return comm_make_conn_string_net(o, "h", 1, 0); }},
        {"net empty host", [](char* o) { return comm_make_conn_string_net(o, "", 1, 1); }},
        {"net null host", [](char* o) { return comm_make_conn_string_net(o, nullptr, 1, 1); }},
        {"net blank in host", [](char* o) { return comm_make_conn_string_net(o, "a b", 1, 1); }},
        {"net bad IPv6", [](char* o) { return comm_make_conn_string_net(o, "1::2::3", 1, 1); }},
        {"net host too long",
         [&](char* o) { return comm_make_conn_string_net(o, long_host.c_str(), 1, 1); }},
        {"COM 0", [](char* o) { return comm_make_conn_string_serial(o, 0, 115200, 8, 1, 0, 0); }},
        {"COM 256",
         [](char* o) { return comm_make_conn_string_serial(o, 256, 115200, 8, 1, 0, 0); }},
        {"baud 12345",
         [](char* o) { return comm_make_conn_string_serial(o, 1, 12345, 8, 1, 0, 0); }},
        {"9 bits", [](char* o) { return comm_make_conn_string_serial(o, 1, 115200, 9, 1, 0, 0); }},
        {"3 stop", [](char* o) { return comm_make_conn_string_serial(o, 1, 115200, 8, 3, 0, 0); }},
        {"parity 3",
         [](char* o) { return comm_make_conn_string_serial(o, 1, 115200, 8, 1, 3, 0); }},
        {"flow 3", [](char* o) { return comm_make_conn_string_serial(o, 1, 115200, 8, 1, 0, 3); }},
        {"relative path",
         [](char* o) { return comm_make_conn_string_serial_path(o, "ttyS0", 115200, 8, 1, 0, 0); }},
        {"path too long",
         [&](char* o) {
             return comm_make_conn_string_serial_path(o, long_path.c_str(), 115200, 8, 1, 0, 0);
         }},
        {"bt short address",
         [](char* o) { return comm_make_conn_string_bt(o, "00:11", "", 0, 1, "1", 1); }},
        {"bt pin with '&'",
         [](char* o) {
             return comm_make_conn_string_bt(o, "00:11:22:33:44:55", "", 0, 1, "1&2", 1);
         }},
        {"bt channel 0",
         [](char* o) { return comm_make_conn_string_bt(o, "00:11:22:33:44:55", "", 0, 0, "", 1); }},
        {"usb not an entry",
         [](char* o) { return comm_make_conn_string_usb(o, "COM1", 0, 0x1781, 0x0C44); }},
        {"usb product id",
         [](char* o) {
             return comm_make_conn_string_usb(o, "USBF:1-1:1781/0c44", 0, 0x1781, 0x10000);
         }},
    };
    for (const Case& c : cases) {
        char out[COMM_CONN_STRING_SIZE];
        std::memset(out, 'x', sizeof out);
        EXPECT_EQ(c.make(out), -1) << c.what;
        EXPECT_EQ(out[0], '\0') << c.what;
    }
}

TEST(CommConnString, ParsersRefuseMalformedStrings) {
    // Each string is of its transport's form (parse answers -1, not 0) but wrong.
    struct Case {
        int (*parse)(const char*);
        const char* text;
    };
    auto net = [](const char* s) {
        comm_net_params p;
        return comm_net_parse(s, &p);
    };
    auto serial = [](const char* s) {
        comm_serial_params p;
        return comm_serial_parse(s, &p);
    };
    auto bt = [](const char* s) {
        comm_bt_params p;
        return comm_bt_parse(s, &p);
    };
    auto usb = [](const char* s) {
        comm_usb_params p;
        return comm_usb_parse(s, &p);
    };
    const Case cases[] = {
        {net, "tcp://"},
        {net, "tcp://host"},
        {net, "tcp://host:"},
        {net, "tcp://host:0"},
        {net, "tcp://host:65536"},
        {net, "tcp://host:12x"},
        {net, "tcp://::1:4444"},
        {net, "tcp://[::1:4444"},
        {net, "tcp://[::1]4444"},
        {net, "tcp://[zz::1]:4444"},
        {net, "tcp://h:1?timeout=0"},
        {net, "tcp://h:1?timeout=5&timeout=6"},
        {net, "tcp://h:1?speed=5"},
        {net, "tcp://h:1?timeout=5&"},
        {serial, "serial:"},
        {serial, "serial:COM0"},
        {serial, "serial:COM256"},
        {serial, "serial:COM"},
        {serial, "serial:COM1x"},
        {serial, "serial:ttyS0"},
        {serial, "serial:/dev/x?baud=12345"},
        {serial, "serial:/dev/x?parity=mark"},
        {serial, "serial:/dev/x?bits=9"},
        {serial, "serial:/dev/x?flow="},
        {bt, "bt:00:11:22:33:44"},
        {bt, "bt:00:11:22:33:44:5G"},
        {bt, "bt:00:11:22:33:44:55?channel=31"},
        {bt, "bt:00:11:22:33:44:55?name=%0A"},
        {bt, "bt:00:11:22:33:44:55?name=%4"},
        {usb, "USB"},
        {usb, "USBF"},
        {usb, "USBF:1-1:1781"},
        {usb, "USBF:1-1:1781/"},
        {usb, "USBF:1-1:1781/10000"},
        {usb, "USBF:1-1:zz/0c44"},
        {usb, "USBF::1781/0c44"},
        {usb, "USB!:1-1:1781/0c44"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.parse(c.text), -1) << c.text;
    // Other transports' forms are not claimed.
    EXPECT_EQ(net("serial:COM1"), 0);
    EXPECT_EQ(serial("tcp://h:1"), 0);
    EXPECT_EQ(usb("bt:00:11:22:33:44:55"), 0);
    EXPECT_EQ(bt("USBF:1-1:1781/0c44"), 0);
}

// A fake device directory: the mapping reads names only.
class ComDir {
  public:
    explicit ComDir(const std::vector<std::string>& names) {
        char tmpl[] = "/tmp/nv-comm-dev-XXXXXX";
        dir_ = mkdtemp(tmpl);
        for (const std::string& n : names) {
            std::ofstream(dir_ + "/" + n) << "";
            names_.push_back(n);
        }
    }
    ~ComDir() {
        for (const std::string& n : names_) unlink((dir_ + "/" + n).c_str());
        rmdir(dir_.c_str());
    }
    const std::string& path() const { return dir_; }

  private:
    std::string dir_;
    std::vector<std::string> names_;
};

TEST(CommConnString, ComPortsMapUsbAdaptersFirstInNumericOrder) {
    ComDir dev({"ttyS10", "ttyS2", "ttyS0", "ttyACM10", "ttyUSB1", "ttyACM9", "ttyUSB0", "tty",
                "ttyUSB", "ttySx", "ttyUSB0a", "console", "ttyACM0", "ttyprintk"});
    const char* expected[] = {"ttyUSB0",  "ttyUSB1", "ttyACM0", "ttyACM9",
                              "ttyACM10", "ttyS0",   "ttyS2",   "ttyS10"};
    for (int port = 1; port <= static_cast<int>(std::size(expected)); ++port) {
        char path[COMM_CONN_STRING_SIZE];
        ASSERT_EQ(comm_serial_com_path(dev.path().c_str(), port, path, sizeof path), 0) << port;
        EXPECT_EQ(path, dev.path() + "/" + expected[port - 1]) << "COM" << port;
    }
    char path[COMM_CONN_STRING_SIZE];
    EXPECT_EQ(comm_serial_com_path(dev.path().c_str(), 9, path, sizeof path), -1);
    EXPECT_EQ(comm_serial_com_path(dev.path().c_str(), 0, path, sizeof path), -1);
    EXPECT_EQ(comm_serial_com_path("/nonexistent/nv-comm", 1, path, sizeof path), -1);
    // A path that does not fit the buffer is refused, not cut.
    EXPECT_EQ(comm_serial_com_path(dev.path().c_str(), 1, path, 8), -1);
}

TEST(CommConnString, DeviceTextsAreReadableForAnyEntry) {
    struct Case {
        const char* entry;
        const char* text;
    };
    const Case cases[] = {
        {"USBF:1-4.2:1781/c44", "USBF device at 1-4.2 (1781:0c44)"},
        {"USBU:3-1:1781:0/0c45", "USBU device at 3-1 (1781:0c45)"},
        {"bt:00:11:22:33:44:55?name=NV-52%20A", "Bluetooth NV-52 A (00:11:22:33:44:55)"},
        {"bt:00:11:22:33:44:55", "Bluetooth 00:11:22:33:44:55"},
        {"something\tother", "something?other"},
        {"", ""},
    };
    for (const Case& c : cases) {
        char text[COMM_DEVID_SIZE];
        ASSERT_EQ(comm_get_devid_string(c.entry, text), 0) << c.entry;
        EXPECT_STREQ(text, c.text);
    }
    // A full 128-byte entry without a terminator is read no further than its size.
    struct {
        comm_dev_entry entry;
        char guard[8] = "GUARD!!";
    } block;
    std::memset(block.entry, 'e', sizeof block.entry);
    char text[COMM_DEVID_SIZE];
    ASSERT_EQ(comm_get_devid_string(block.entry, text), 0);
    EXPECT_EQ(std::string(text), std::string(COMM_ENTRY_SIZE, 'e'));
    EXPECT_EQ(comm_get_devid_string(nullptr, text), -1);
}

}  // namespace
