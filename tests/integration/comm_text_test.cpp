// Connection strings in their exact text forms: what the makers write, what the parsers take
// (with every default and every limit), what comm_connect refuses at once, and the display texts
// of list entries; the small text helpers the parsers share.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "comm_events.h"
#include "comm_internal.h"

namespace {

const std::string S127 = std::string(127, 'a');
const std::string S100 = std::string(100, 'a');
const std::string PERCENTS = std::string(100, '%');

// A maker's result: its text, or "-1" for a refusal (which must leave the buffer empty).
template <typename F>
std::string made(F make) {
    char out[COMM_CONN_STRING_SIZE];
    std::memset(out, 'x', sizeof out);
    int r = make(out);
    if (r == 0) return out;
    EXPECT_EQ(r, -1);
    EXPECT_EQ(out[0], '\0') << "a refused string leaves the buffer empty";
    return "-1";
}

// The baud rate a serial string parses to, or -1.
int serial_baud(const std::string& s) {
    comm_serial_params p;
    return comm_serial_parse(s.c_str(), &p) == 1 ? p.baud : -1;
}

TEST(CommText, NetStringsAreMadeExactly) {
    const struct {
        const char* host;
        int port, timeout;
        std::string text;
    } cases[] = {
        {"127.0.0.1", 4444, 1000, "tcp://127.0.0.1:4444?timeout=1000"},
        {"sim-1.local_x", 1, 1, "tcp://sim-1.local_x:1?timeout=1"},
        {"AZaz09", 1, 1, "tcp://AZaz09:1?timeout=1"},
        {"a@b", 1, 1, "-1"},
        {"a[b", 1, 1, "-1"},
        {"a`b", 1, 1, "-1"},
        {"a{b", 1, 1, "-1"},
        {"a:b", 1, 1, "-1"},
        {"a,b", 1, 1, "-1"},
        {"[]", 1, 1, "-1"},
        {"h", 65535, 3600000, "tcp://h:65535?timeout=3600000"},
        {"::1", 4444, 1000, "tcp://[::1]:4444?timeout=1000"},
        {"[::1]", 4444, 1000, "tcp://[::1]:4444?timeout=1000"},
        {"fe80::1:80", 4444, 1000, "tcp://[fe80::1:80]:4444?timeout=1000"},  // bare v6 keeps it
        {"[::1]:5000", 4444, 250, "tcp://[::1]:5000?timeout=250"},
        {"localhost:4445", 4444, 1000, "tcp://localhost:4445?timeout=1000"},
        {"localhost:1", 4444, 1000, "tcp://localhost:1?timeout=1000"},
        {"localhost:65535", 4444, 1000, "tcp://localhost:65535?timeout=1000"},
        {"localhost:0", 4444, 1000, "-1"},
        {"localhost:65536", 4444, 1000, "-1"},
        {"localhost:123456", 4444, 1000, "-1"},
        {"localhost:4x", 4444, 1000, "-1"},
        {"localhost:", 4444, 1000, "-1"},
        {"[::1]x", 4444, 1000, "-1"},
        {"[zz]", 4444, 1000, "tcp://zz:4444?timeout=1000"},  // brackets around a name
        {"h", 0, 1000, "-1"},
        {"h", 65536, 1000, "-1"},
        {"h", -1, 1000, "-1"},
        {"h", 1, 0, "-1"},
        {"h", 1, 3600001, "-1"},
        {"", 1, 1, "-1"},
        {"a b", 1, 1, "-1"},
        {"a/b", 1, 1, "-1"},
        {"a?b", 1, 1, "-1"},
        {S127.c_str(), 1, 1, "-1"},
        {S100.c_str(), 1, 1, "tcp://" + S100 + ":1?timeout=1"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(
            made([&](char* o) { return comm_make_conn_string_net(o, c.host, c.port, c.timeout); }),
            c.text)
            << c.host << " " << c.port << " " << c.timeout;
    EXPECT_EQ(made([](char* o) { return comm_make_conn_string_net(o, nullptr, 1, 1); }), "-1");
    EXPECT_EQ(comm_make_conn_string_net(nullptr, "h", 1, 1), -1);
}

TEST(CommText, SerialStringsAreMadeExactly) {
    const struct {
        int port, baud, bits, stop, parity, flow;
        std::string text;
    } cases[] = {
        {1, 115200, 8, 1, 0, 0, "serial:COM1?baud=115200&bits=8&parity=none&stop=1&flow=none"},
        {255, 1200, 5, 2, 1, 1, "serial:COM255?baud=1200&bits=5&parity=odd&stop=2&flow=rtscts"},
        {7, 4000000, 7, 1, 2, 2, "serial:COM7?baud=4000000&bits=7&parity=even&stop=1&flow=xonxoff"},
        {2, 9600, 6, 1, 0, 0, "serial:COM2?baud=9600&bits=6&parity=none&stop=1&flow=none"},
        {0, 115200, 8, 1, 0, 0, "-1"},
        {256, 115200, 8, 1, 0, 0, "-1"},
        {1, 1199, 8, 1, 0, 0, "-1"},
        {1, 4000001, 8, 1, 0, 0, "-1"},
        {1, 12345, 8, 1, 0, 0, "-1"},
        {1, 115200, 4, 1, 0, 0, "-1"},
        {1, 115200, 9, 1, 0, 0, "-1"},
        {1, 115200, 8, 0, 0, 0, "-1"},
        {1, 115200, 8, 3, 0, 0, "-1"},
        {1, 115200, 8, 1, -1, 0, "-1"},
        {1, 115200, 8, 1, 3, 0, "-1"},
        {1, 115200, 8, 1, 0, -1, "-1"},
        {1, 115200, 8, 1, 0, 3, "-1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(made([&](char* o) {
                      return comm_make_conn_string_serial(o, c.port, c.baud, c.bits, c.stop,
                                                          c.parity, c.flow);
                  }),
                  c.text)
            << c.port << " " << c.baud << " " << c.bits << c.stop << c.parity << c.flow;
        // The same settings by path (a bad COM number aside, which a path does not have).
        std::string by_path = c.text;
        if (c.port < 1 || c.port > 255)
            by_path = "serial:/dev/ttyUSB0?baud=115200&bits=8&parity=none&stop=1&flow=none";
        else if (by_path != "-1")
            by_path.replace(7, by_path.find('?') - 7, "/dev/ttyUSB0");
        EXPECT_EQ(made([&](char* o) {
                      return comm_make_conn_string_serial_path(o, "/dev/ttyUSB0", c.baud, c.bits,
                                                               c.stop, c.parity, c.flow);
                  }),
                  by_path);
    }
    const struct {
        const char* path;
        std::string text;
    } paths[] = {
        {"/tmp/a?b", "serial:/tmp/a?b?baud=115200&bits=8&parity=none&stop=1&flow=none"},
        {"/", "serial:/?baud=115200&bits=8&parity=none&stop=1&flow=none"},
        {"dev/ttyS0", "-1"},
        {"", "-1"},
        {"/dev/tty\tS0", "-1"},
        {"/dev/tty\x1fS0", "-1"},
    };
    for (const auto& c : paths)
        EXPECT_EQ(made([&](char* o) {
                      return comm_make_conn_string_serial_path(o, c.path, 115200, 8, 1, 0, 0);
                  }),
                  c.text)
            << c.path;
    EXPECT_EQ(made([](char* o) {
                  return comm_make_conn_string_serial_path(o, nullptr, 115200, 8, 1, 0, 0);
              }),
              "-1");
    EXPECT_EQ(comm_make_conn_string_serial(nullptr, 1, 115200, 8, 1, 0, 0), -1);
    EXPECT_EQ(comm_make_conn_string_serial_path(nullptr, "/a", 115200, 8, 1, 0, 0), -1);
}

TEST(CommText, EveryStandardBaudRateAndNoOther) {
    const int rates[] = {1200,    2400,    4800,    9600,    19200,  38400,  57600,
                         115200,  230400,  460800,  500000,  576000, 921600, 1000000,
                         1152000, 1500000, 2000000, 3000000, 4000000};
    for (int rate : rates) {
        for (int off : {-1, 0, 1}) {
            char out[COMM_CONN_STRING_SIZE];
            bool standard = off == 0;
            EXPECT_EQ(comm_make_conn_string_serial(out, 1, rate + off, 8, 1, 0, 0) == 0, standard)
                << rate + off;
            const std::string s = "serial:COM1?baud=" + std::to_string(rate + off);
            EXPECT_EQ(serial_baud(s), standard ? rate : -1) << s;
        }
    }
}

TEST(CommText, BluetoothStringsAreMadeExactly) {
    const char* A = "00:11:22:aa:bb:cc";
    const std::string pin16(16, '7');
    const struct {
        const char* address;
        const char* name;
        int cod, channel;
        const char* pin;
        int timeout;
        std::string text;
    } cases[] = {
        {A, "NV-52 A", 0xFFE050, 1, "1234", 60000,
         "bt:00:11:22:AA:BB:CC?channel=1&cod=ffe050&pin=1234&timeout=60000&name=NV-52%20A"},
        {A, "", 0, 30, "", 1, "bt:00:11:22:AA:BB:CC?channel=30&cod=000000&pin=&timeout=1"},
        {A, nullptr, 0xFFFFFF, 2, nullptr, 3600000,
         "bt:00:11:22:AA:BB:CC?channel=2&cod=ffffff&pin=&timeout=3600000"},
        {"0A:1b:2C:3d:4E:5f", "a~b_c.d-9Z", 5, 1, pin16.c_str(), 7,
         "bt:0A:1B:2C:3D:4E:5F?channel=1&cod=000005&pin=" + pin16 + "&timeout=7&name=a~b_c.d-9Z"},
        {A, "\xc3\xa9&%/", 1, 1, "1", 1,
         "bt:00:11:22:AA:BB:CC?channel=1&cod=000001&pin=1&timeout=1&name=%C3%A9%26%25%2F"},
        {A, "", 0, 0, "1", 1, "-1"},
        {A, "", 0, 31, "1", 1, "-1"},
        {A, "", -1, 1, "1", 1, "-1"},
        {A, "", 0x1000000, 1, "1", 1, "-1"},
        {A, "", 0, 1, "1", 0, "-1"},
        {A, "", 0, 1, "1", 3600001, "-1"},
        {A, "", 0, 1, "12345678901234567", 1, "-1"},
        {A, "", 0, 1, "12 4", 1, "-1"},
        {A, "a\x7f", 0, 1, "1", 1, "-1"},
        {A, "a\x1f", 0, 1, "1", 1, "-1"},
        {A, PERCENTS.c_str(), 0, 1, "1", 1, "-1"},  // too long once encoded
        {"00:11:22:AA:BB:C", "", 0, 1, "1", 1, "-1"},
        {"00:11:22:AA:BB:CCD", "", 0, 1, "1", 1, "-1"},
        {"00-11-22-AA-BB-CC", "", 0, 1, "1", 1, "-1"},
        {"00:11:22:AA:BB:CG", "", 0, 1, "1", 1, "-1"},
        {"0:011:22:AA:BB:CC", "", 0, 1, "1", 1, "-1"},
        {nullptr, "", 0, 1, "1", 1, "-1"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(made([&](char* o) {
                      return comm_make_conn_string_bt(o, c.address, c.name, c.cod, c.channel, c.pin,
                                                      c.timeout);
                  }),
                  c.text)
            << (c.address ? c.address : "null") << " " << (c.name ? c.name : "null");
    EXPECT_EQ(comm_make_conn_string_bt(nullptr, A, "", 0, 1, "1", 1), -1);
}

TEST(CommText, UsbStringsAreMadeExactly) {
    const struct {
        const char* device;
        int arg, vendor, product;
        std::string text;
    } cases[] = {
        {"USBS:1-4.2:1781/0c44", 0, 0x1781, 0x0C44, "USBS:1-4.2:1781:0/0c44"},
        {"USBF:3:0001:9/ffff", 12, 0xABCD, 0xFFFF, "USBF:3:abcd:12/ffff"},
        {"USBS:1-4.2:1781/0c44", 0, 0, 0, "USBS:1-4.2:0000:0/0000"},
        {"USBS:1-4.2:1781/0c44", -1, 0x1781, 0x0C44, "-1"},
        {"USBS:1-4.2:1781/0c44", 0, -1, 0x0C44, "-1"},
        {"USBS:1-4.2:1781/0c44", 0, 0x10000, 0x0C44, "-1"},
        {"USBS:1-4.2:1781/0c44", 0, 0x1781, -1, "-1"},
        {"USBS:1-4.2:1781/0c44", 0, 0x1781, 0x10000, "-1"},
        {"USBS:1-4.2:1781/0c445", 0, 0x1781, 0x0C44, "-1"},
        {"COM1", 0, 0x1781, 0x0C44, "-1"},
        {nullptr, 0, 0x1781, 0x0C44, "-1"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(made([&](char* o) {
                      return comm_make_conn_string_usb(o, c.device, c.arg, c.vendor, c.product);
                  }),
                  c.text)
            << (c.device ? c.device : "null") << " " << c.arg;
    EXPECT_EQ(comm_make_conn_string_usb(nullptr, "USBS:1:1781/0c44", 0, 1, 1), -1);
}

// ---- parsers ---------------------------------------------------------------------------------

std::string net(const char* s) {
    comm_net_params p;
    std::memset(&p, 0x55, sizeof p);
    int r = comm_net_parse(s, &p);
    if (r != 1) return std::to_string(r);
    return std::string(p.host) + " " + std::to_string(p.port) + " " + std::to_string(p.timeout_ms);
}

TEST(CommText, NetStringsParseWithDefaultsAndLimits) {
    const struct {
        std::string text;
        std::string parsed;  // "host port timeout", or the result
    } cases[] = {
        {"tcp://127.0.0.1:4444", "127.0.0.1 4444 1000"},
        {"tcp://127.0.0.1:4444?", "127.0.0.1 4444 1000"},
        {"tcp://h:1?timeout=1", "h 1 1"},
        {"tcp://h:65535?timeout=3600000", "h 65535 3600000"},
        {"tcp://[::1]:4444?timeout=250", "::1 4444 250"},
        {"tcp://[fe80::1:2]:9", "fe80::1:2 9 1000"},
        {"tcp://" + S127 + ":1", S127 + " 1 1000"},
        {"tcp://" + S127 + "a:1", "-1"},
        {"tcp://h:0", "-1"},
        {"tcp://h:65536", "-1"},
        {"tcp://h:+80", "-1"},
        {"tcp://h:80 ", "-1"},
        {"tcp://h:", "-1"},
        {"tcp://h", "-1"},
        {"tcp://:80", "-1"},
        {"tcp://a b:80", "-1"},
        {"tcp://[::1]", "-1"},
        {"tcp://[::1]80", "-1"},
        {"tcp://[::1:80", "-1"},
        {"tcp://[]:80", "-1"},
        {"tcp://[zz]:80", "-1"},
        {"tcp://h:80?timeout=0", "-1"},
        {"tcp://h:80?timeout=3600001", "-1"},
        {"tcp://h:80?timeout=", "-1"},
        {"tcp://h:80?timeout=5&timeout=6", "-1"},
        {"tcp://h:80?timeout=5&", "-1"},
        {"tcp://h:80?=5", "-1"},
        {"tcp://h:80?timeout", "-1"},
        {"tcp://h:80?port=5", "-1"},
        {"TCP://h:80", "0"},
        {"tcp:/h:80", "0"},
        {"serial:COM1", "0"},
        {"", "0"},
    };
    for (const auto& c : cases) EXPECT_EQ(net(c.text.c_str()), c.parsed) << c.text;
}

std::string serial(const std::string& s) {
    comm_serial_params p;
    std::memset(&p, 0x55, sizeof p);
    int r = comm_serial_parse(s.c_str(), &p);
    if (r != 1) return std::to_string(r);
    return std::to_string(p.com_port) + " '" + p.path + "' " + std::to_string(p.baud) + " " +
           std::to_string(p.data_bits) + std::to_string(p.parity) + std::to_string(p.stop_bits) +
           std::to_string(p.flow);
}

TEST(CommText, SerialStringsParseWithDefaultsAndLimits) {
    const std::string path126 = "/" + std::string(126, 'p');
    const struct {
        std::string text;
        std::string parsed;  // "com 'path' baud bits parity stop flow", or the result
    } cases[] = {
        {"serial:COM1", "1 '' 115200 8010"},
        {"serial:COM255?flow=xonxoff&parity=even&stop=2&bits=7&baud=9600", "255 '' 9600 7222"},
        {"serial:COM9?parity=odd&flow=rtscts&bits=5", "9 '' 115200 5111"},
        {"serial:COM2?parity=none&flow=none&stop=1", "2 '' 115200 8010"},
        {"serial:COM3?baud=1200", "3 '' 1200 8010"},
        {"serial:COM3?baud=4000000", "3 '' 4000000 8010"},
        {"serial:/dev/pts/3?baud=57600", "0 '/dev/pts/3' 57600 8010"},
        {"serial:/a?b?baud=2400", "0 '/a?b' 2400 8010"},
        {"serial:/a", "0 '/a' 115200 8010"},
        {"serial:" + path126, "0 '" + path126 + "' 115200 8010"},
        {"serial:" + path126 + "p", "-1"},
        {"serial:COM0", "-1"},
        {"serial:COM256", "-1"},
        {"serial:COM", "-1"},
        {"serial:COMx", "-1"},
        {"serial:com1", "-1"},
        {"serial:", "-1"},
        {"serial:dev/ttyS0", "-1"},
        {"serial:/a\tb", "-1"},
        {"serial:COM1?baud=12345", "-1"},
        {"serial:COM1?baud=0", "-1"},
        {"serial:COM1?baud=4000001", "-1"},
        {"serial:COM1?bits=4", "-1"},
        {"serial:COM1?bits=9", "-1"},
        {"serial:COM1?stop=0", "-1"},
        {"serial:COM1?stop=3", "-1"},
        {"serial:COM1?parity=mark", "-1"},
        {"serial:COM1?parity=", "-1"},
        {"serial:COM1?parity=NONE", "-1"},
        {"serial:COM1?flow=hw", "-1"},
        {"serial:COM1?speed=9600", "-1"},
        {"serial:COM1?baud=9600&baud=9600", "-1"},
        {"Serial:COM1", "0"},
        {"tcp://h:1", "0"},
    };
    for (const auto& c : cases) EXPECT_EQ(serial(c.text), c.parsed) << c.text;
}

std::string bt(const std::string& s) {
    comm_bt_params p;
    std::memset(&p, 0x55, sizeof p);
    int r = comm_bt_parse(s.c_str(), &p);
    if (r != 1) return std::to_string(r);
    char cod[16];
    std::snprintf(cod, sizeof cod, "%06x", p.cod);
    return std::string(p.address) + " " + std::to_string(p.channel) + " " + cod + " '" + p.pin +
           "' " + std::to_string(p.timeout_ms) + " '" + p.name + "'";
}

TEST(CommText, BluetoothStringsParseWithDefaultsAndLimits) {
    const std::string B = "bt:00:11:22:AA:BB:CC";
    const struct {
        std::string text;
        std::string parsed;  // "address channel cod 'pin' timeout 'name'", or the result
    } cases[] = {
        {B, "00:11:22:AA:BB:CC 1 000000 '' 60000 ''"},
        {"bt:00:11:22:aa:bb:cc?channel=30&cod=ffe050&pin=1234&timeout=1&name=NV-52%20A",
         "00:11:22:aa:bb:cc 30 ffe050 '1234' 1 'NV-52 A'"},
        {B + "?timeout=3600000&cod=FFFFFF&channel=1", "00:11:22:AA:BB:CC 1 ffffff '' 3600000 ''"},
        {B + "?pin=abcDEF0123456789", "00:11:22:AA:BB:CC 1 000000 'abcDEF0123456789' 60000 ''"},
        {B + "?name=%7e%20%FFx", "00:11:22:AA:BB:CC 1 000000 '' 60000 '~ \xffx'"},
        {B + "?name=" + std::string(127, 'n'),
         "00:11:22:AA:BB:CC 1 000000 '' 60000 '" + std::string(127, 'n') + "'"},
        {B + "?name=" + std::string(128, 'n'), "-1"},
        {B + "?channel=0", "-1"},
        {B + "?channel=31", "-1"},
        {B + "?cod=1000000", "-1"},
        {B + "?cod=xyz", "-1"},
        {B + "?timeout=0", "-1"},
        {B + "?timeout=3600001", "-1"},
        {B + "?pin=12345678901234567", "-1"},
        {B + "?pin=12-4", "-1"},
        {B + "?name=%1F", "-1"},
        {B + "?name=%7F", "-1"},
        {B + "?name=%2", "-1"},
        {B + "?name=a%zz", "-1"},
        {B + "?name=a b", "-1"},
        {B + "?name=a%", "-1"},
        {B + "?class=1", "-1"},
        {"bt:00:11:22:AA:BB", "-1"},
        {"bt:00:11:22:AA:BB:CC:", "-1"},
        {"bt:00-11-22-AA-BB-CC", "-1"},
        {"bt:00:11:22:AA:BB:CX", "-1"},
        {"BT:00:11:22:AA:BB:CC", "0"},
        {"serial:COM1", "0"},
    };
    for (const auto& c : cases) EXPECT_EQ(bt(c.text), c.parsed) << c.text;

    uint8_t bytes[6] = {};
    ASSERT_TRUE(comm_bt_address_bytes("0A:1b:2C:3d:4E:f5", bytes));
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 6),
              (std::vector<uint8_t>{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0xF5}));
    EXPECT_FALSE(comm_bt_address_bytes("0A:1b:2C:3d:4E", bytes));
    EXPECT_FALSE(comm_bt_address_bytes(nullptr, bytes));
}

std::string usb(const std::string& s) {
    comm_usb_params p;
    std::memset(&p, 0x55, sizeof p);
    int r = comm_usb_parse(s.c_str(), &p);
    if (r != 1) return std::to_string(r);
    char ids[32];
    std::snprintf(ids, sizeof ids, "%04x %d %04x", p.vendor_id, p.arg, p.product_id);
    return std::string(p.tag) + " " + p.location + " " + ids;
}

TEST(CommText, UsbStringsParseWithDefaultsAndLimits) {
    const std::string loc127(127, '1');
    const struct {
        std::string text;
        std::string parsed;  // "tag location vendor arg product", or the result
    } cases[] = {
        {"USBS:1-4.2:1781/0c44", "USBS 1-4.2 1781 -1 0c44"},
        {"USBF:1-4.2:1781:0/0C44", "USBF 1-4.2 1781 0 0c44"},
        {"USBx:3:ffff:2147483647/FFFF", "USBx 3 ffff 2147483647 ffff"},
        {"USB9:a_b.c-D:0/0", "USB9 a_b.c-D 0000 -1 0000"},
        {"USBZ:1:1781/0c44", "USBZ 1 1781 -1 0c44"},
        {"USBS:" + loc127 + ":1781/0c44", "USBS " + loc127 + " 1781 -1 0c44"},
        {"USBS:" + loc127 + "1:1781/0c44", "-1"},
        {"USBS:1-4:1781/0c445", "-1"},
        {"USBS:1-4:1781/", "-1"},
        {"USBS:1-4:1781/0g44", "-1"},
        {"USBS:1-4:1781/-c44", "-1"},
        {"USBS:1-4:17810/0c44", "-1"},
        {"USBS:1-4:/0c44", "-1"},
        {"USBS:1-4:1781:/0c44", "-1"},
        {"USBS:1-4:1781:x/0c44", "-1"},
        {"USBS:1-4:1781:2147483648/0c44", "-1"},
        {"USBS::1781/0c44", "-1"},
        {"USBS:1 4:1781/0c44", "-1"},
        {"USBS:1/4:1781/0c44", "-1"},
        {"USBS:1-4/0c44", "-1"},
        {"USBS:1-4:1781", "-1"},
        {"USBS1-4:1781/0c44", "-1"},
        {"USB-:1-4:1781/0c44", "-1"},
        {"USBS", "-1"},
        {"USB", "-1"},
        {"usbs:1-4:1781/0c44", "0"},
        {"bt:00:11:22:AA:BB:CC", "0"},
    };
    for (const auto& c : cases) EXPECT_EQ(usb(c.text), c.parsed) << c.text;
}

// A malformed string, or one of no known form, is refused at once and raises no event.
TEST(CommText, ConnectRefusesMalformedStringsAtOnce) {
    CommRunning running;
    CommEvents ev;
    const char* bad[] = {
        "tcp://h:0",
        "tcp://[::1]",
        "serial:COM0",
        "serial:rel",
        "serial:/a?bits=9",
        "bt:00:11",
        "bt:00:11:22:AA:BB:CC?channel=0",
        "USBS:1-4:1781/x",
        "USB",
        "COM1",
        "",
        "usbs:1:1781/0c44",
        "http://h:80",
    };
    for (const char* s : bad) {
        int h = 12345;
        EXPECT_EQ(comm_connect(&h, s, CommEvents::proc, 4096, 0, &ev), -1) << s;
        EXPECT_EQ(h, 12345) << s;
    }
    int h = 0;
    EXPECT_EQ(comm_connect(nullptr, "tcp://h:1", CommEvents::proc, 4096, 0, &ev), -1);
    EXPECT_EQ(comm_connect(&h, nullptr, CommEvents::proc, 4096, 0, &ev), -1);
    EXPECT_EQ(ev.total(), 0u);
}

TEST(CommText, DisplayTextsOfEntries) {
    char text[COMM_DEVID_SIZE];
    const struct {
        std::string entry, text;
    } cases[] = {
        {"bt:00:11:22:AA:BB:CC?name=NV-52%20A", "Bluetooth NV-52 A (00:11:22:AA:BB:CC)"},
        {"bt:00:11:22:AA:BB:CC?name=a%0Ab", "bt:00:11:22:AA:BB:CC?name=a%0Ab"},  // not an entry
        {"bt:00:11:22:AA:BB:CC?cod=ffe050", "Bluetooth 00:11:22:AA:BB:CC"},
        {"bt:00:11:22:AA:BB:CC?name=X", "Bluetooth X (00:11:22:AA:BB:CC)"},
        {"serial:COM1", "serial:COM1"},
        {"tab\there\x7f\x01. ~", "tab?here??. ~"},
        {"", ""},
        {std::string(300, 'w'), std::string(COMM_ENTRY_SIZE, 'w')},
    };
    for (const auto& c : cases) {
        std::memset(text, 'x', sizeof text);
        ASSERT_EQ(comm_get_devid_string(c.entry.c_str(), text), 0) << c.entry;
        EXPECT_EQ(text, c.text);
    }
    EXPECT_EQ(comm_get_devid_string(nullptr, text), -1);
    EXPECT_EQ(comm_get_devid_string("x", nullptr), -1);
    // A name the device sent with a character that cannot be shown.
    ASSERT_EQ(comm_bt_describe("bt:00:11:22:AA:BB:CC?name=a%FFb", text, 64), 1);
    EXPECT_STREQ(text,
                 "Bluetooth a\xff"
                 "b (00:11:22:AA:BB:CC)");
    EXPECT_EQ(comm_bt_describe("USBS:1:1781/0c44", text, 64), 0);
}

TEST(CommText, UsbLocationsAndDisplayTexts) {
    char out[COMM_TEXT_SIZE];
    const uint8_t ports[] = {4, 2, 17};
    const struct {
        int bus, count, size;
        std::string text;
    } places[] = {
        {1, 2, COMM_TEXT_SIZE, "1-4.2"},
        {2, 0, COMM_TEXT_SIZE, "2"},
        {255, 3, COMM_TEXT_SIZE, "255-4.2.17"},
        {1, 3, 9, "1-4.2.17"},
        {1, 3, 8, "-1"},
        {1, 1, 3, "-1"},
        {12, 0, 2, "-1"},
    };
    for (const auto& c : places) {
        std::memset(out, 'x', sizeof out);
        int r = comm_usb_location(c.bus, ports, c.count, out, c.size);
        EXPECT_EQ(r == 0 ? std::string(out) : (out[0] == '\0' ? "-1" : "not emptied"), c.text)
            << c.bus << " " << c.count << " " << c.size;
    }
    comm_usb_params p{};
    std::strcpy(p.location, "1-4.2");
    p.vendor_id = 0x1781;
    p.product_id = 0x0C4D;
    const struct {
        const char *location, *product, *serial;
        std::string text;
    } texts[] = {
        {"1-4.2", nullptr, nullptr, "USB bus 1 port 4.2 (1781:0c4d)"},
        {"1-4.2", "", "", "USB bus 1 port 4.2 (1781:0c4d)"},
        {"1-4.2", "NV-52", "A123", "USB bus 1 port 4.2 (1781:0c4d) NV-52, serial A123"},
        {"1-4.2", "NV-52", nullptr, "USB bus 1 port 4.2 (1781:0c4d) NV-52"},
        {"3", nullptr, "A123", "USB bus 3 (1781:0c4d), serial A123"},
    };
    char text[COMM_DEVID_SIZE];
    for (const auto& c : texts) {
        std::strcpy(p.location, c.location);
        ASSERT_EQ(comm_usb_display(p, c.product, c.serial, text, sizeof text), 0);
        EXPECT_EQ(text, c.text);
    }
}

// ---- the shared helpers ------------------------------------------------------------------------

TEST(CommText, NumbersAndQueries) {
    long v = -7;
    const struct {
        const char* text;
        long lo, hi, value;  // -7: refused (value untouched)
    } decimals[] = {
        {"0", 0, 9, 0},
        {"9", 0, 9, 9},
        {"10", 0, 9, -7},
        {"4", 5, 9, -7},
        {"5", 5, 9, 5},
        {"", 0, 9, -7},
        {"-1", -5, 9, -7},
        {"+1", 0, 9, -7},
        {"1 ", 0, 9, -7},
        {"9999999999", 0, 9999999999, 9999999999},
        {"09999999999", 0, 99999999999, -7},
        {"/", 0, 99, -7},
        {":", 0, 99, -7},
    };
    for (const auto& c : decimals) {
        v = -7;
        EXPECT_EQ(comm_parse_decimal(c.text, c.lo, c.hi, &v), c.value != -7) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
    }
    const struct {
        const char* text;
        int digits;
        long lo, hi, value;
    } hexes[] = {
        {"0", 1, 0, 15, 0},
        {"f", 1, 0, 15, 15},
        {"F", 1, 0, 15, 15},
        {"a", 1, 0, 15, 10},
        {"A", 1, 0, 15, 10},
        {"9", 1, 0, 15, 9},
        {"g", 1, 0, 15, -7},
        {"G", 1, 0, 15, -7},
        {"@", 1, 0, 15, -7},
        {"`", 1, 0, 15, -7},
        {"/", 1, 0, 15, -7},
        {":", 1, 0, 15, -7},
        {"10", 1, 0, 255, -7},
        {"10", 2, 0, 255, 16},
        {"", 2, 0, 255, -7},
        {"1f", 2, 0x20, 0xFF, -7},
        {"20", 2, 0x20, 0xFF, 32},
        {"ff", 2, 0, 0xFE, -7},
        {"ffffffff", 8, 0, 0xFFFFFFFF, 0xFFFFFFFF},
        {"1", 9, 0, 15, -7},
    };
    for (const auto& c : hexes) {
        v = -7;
        EXPECT_EQ(comm_parse_hex(c.text, c.digits, c.lo, c.hi, &v), c.value != -7) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
    }
    const struct {
        const char* text;
        int count;  // -1: refused
    } queries[] = {
        {"", 0},
        {"a=1", 1},
        {"a=", 1},
        {"a=1&b=2", 2},
        {"=1", -1},
        {"a", -1},
        {"a=1&", -1},
        {"&a=1", -1},
        {"a=1&a=2", -1},
        {"a=1&&b=2", -1},
        {"a=1&b=2&c=3&d=4&e=5&f=6&g=7&h=8", 8},
        {"a=1&b=2&c=3&d=4&e=5&f=6&g=7&h=8&i=9", -1},
    };
    for (const auto& c : queries) {
        comm_query q;
        bool ok = comm_query_split(c.text, &q);
        EXPECT_EQ(ok ? q.count : -1, c.count) << c.text;
    }
    comm_query q;
    ASSERT_TRUE(comm_query_split("b=2&a=x=1", &q));
    std::string_view value;
    ASSERT_TRUE(comm_query_find(q, "a", &value));
    EXPECT_EQ(value, "x=1");
    ASSERT_TRUE(comm_query_find(q, "b", &value));
    EXPECT_EQ(value, "2");
    EXPECT_FALSE(comm_query_find(q, "c", &value));
    static const char* const ab[] = {"a", "b", nullptr};
    static const char* const a[] = {"a", nullptr};
    EXPECT_TRUE(comm_query_only(q, ab));
    EXPECT_FALSE(comm_query_only(q, a));

    char out[8];
    EXPECT_EQ(comm_format(out, 8, "%s", "1234567"), 0);
    EXPECT_STREQ(out, "1234567");
    EXPECT_EQ(comm_format(out, 8, "%s", "12345678"), -1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(comm_format(out, 0, "x"), -1);
    EXPECT_EQ(comm_format(nullptr, 8, "x"), -1);
}

}  // namespace
