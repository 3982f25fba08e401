// Starting the library, opening links, connection strings, the USB listing and discovery.
#include <algorithm>
#include <cstring>
#include <functional>

#include "link_support.h"

namespace link_test {
namespace {

using Connection = LinkTest;
using Discovery = LinkTest;

int wait_seen_code = -1;
int wait_cb(int handle, uint16_t code, int arg) {
    wait_seen_code = code;
    return handle + arg;
}

TEST_F(Connection, InitAndShut) {
    fake_comm::script().init_result = 1;
    EXPECT_EQ(QXX_init(wait_cb, nullptr, nullptr), -1);
    EXPECT_EQ(QXX_idle_wait(1, 2, 3), 0);  // nothing stored when the library failed
    fake_comm::script().init_result = 0;
    fake_comm::script().usb_register_result = 6;
    EXPECT_EQ(QXX_init(wait_cb, nullptr, nullptr), 6);
    EXPECT_EQ(QXX_idle_wait(10, 65536 + 8001, 5), 15);
    EXPECT_EQ(wait_seen_code, 8001);
    EXPECT_EQ(QXX_shut(), 0);
    EXPECT_EQ(QXX_idle_wait(10, 8001, 5), 0);
    EXPECT_EQ(fake_comm::calls(),
              (std::vector<std::string>{"comm_init()", "comm_init()", "comm_usb_register(null)",
                                        "comm_usb_deregister()", "comm_shut()"}));
}

TEST_F(Connection, Connect) {
    EXPECT_EQ(QXX_connect("", nullptr, on_connected, nullptr, nullptr, probe, test_probe, 1), -1);
    EXPECT_EQ(QXX_connect(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 1), -1);
    EXPECT_TRUE(fake_comm::calls().empty());
    fake_comm::script().connect_result = -1;  // a refused string: the context must not leak
    int h = -1;
    EXPECT_EQ(QXX_connect("bad", &h, on_connected, nullptr, nullptr, probe, test_probe, 1), -1);
    EXPECT_EQ(h, -1);
    EXPECT_TRUE(fake_comm::links().empty());
    fake_comm::script().connect_result = 0;
    fake_comm::script().next_handle = 4;
    EXPECT_EQ(
        QXX_connect("tcp", &h, on_connected, on_conn_error, on_disconnected, probe, test_probe, 77),
        0);
    EXPECT_EQ(h, 4);
    EXPECT_EQ(QXX_connect("tcp2", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0), 0);
    const auto links = fake_comm::links();
    ASSERT_EQ(links.size(), 2u);
    EXPECT_EQ(links[0].proc, QXX_event_proc);
    QXX_conn_ctx* c = ctx(4);
    EXPECT_EQ((std::vector<int>{c->user, c->num_try.load(), c->identified, c->probe_tries,
                                c->rx.count, c->num_hooks}),
              (std::vector<int>{77, 1, 0, 0, 0, 0}));
    EXPECT_EQ(c->on_disconnected, on_disconnected);
    fake_comm::script().wait_connected_result = 3;
    fake_comm::script().disconnect_result = 2;
    fake_comm::script().state = 1;
    EXPECT_EQ(QXX_wait_connected(4, 25000), 3);
    EXPECT_EQ(QXX_get_conn_state_id(4), 1);
    EXPECT_EQ(QXX_disconnect(4), 2);
    const auto calls = fake_comm::calls();
    EXPECT_EQ(std::vector<std::string>(calls.end() - 5, calls.end()),
              (std::vector<std::string>{"comm_connect(tcp,4096,200)", "comm_connect(tcp2,4096,200)",
                                        "comm_wait_connected(4,25000)", "comm_get_state(4)",
                                        "comm_disconnect(4)"}));
}

// Each maker hands the library its fixed transport values; ports go as 16-bit numbers. The
// fake records numbers in decimal: vendor 0x1781 = 6017, products 0x0C44..0x0C4D = 3140..3149,
// Bluetooth class 0xFFE050 = 16769104.
TEST_F(Connection, ConnectionStrings) {
    char out[COMM_CONN_STRING_SIZE];
    struct Case {
        int result;
        std::string call;
    };
    const std::vector<std::pair<std::function<int()>, Case>> cases = {
        {[&] { return QXX_make_serial_conn_string(out, 3); }, {0, "serial(3,115200,8,1,0,0)"}},
        {[&] { return QXX_make_serial_conn_string(out, 65536 + 4); },
         {0, "serial(4,115200,8,1,0,0)"}},
        {[&] { return QXX_make_serial_path_conn_string(out, "/dev/pts/3"); },
         {0, "serial_path(/dev/pts/3,115200,8,1,0,0)"}},
        {[&] { return QXX_make_net_conn_string(out, "127.0.0.1", 4444); },
         {0, "net(127.0.0.1,4444,1000)"}},
        {[&] { return QXX_make_net_conn_string(out, "::1", 70000); }, {0, "net(::1,4464,1000)"}},
        {[&] { return QXX_make_bt_conn_string(out, "00:11:22:33:44:55", "NV"); },
         {0, "bt(00:11:22:33:44:55,NV,16769104,1,0000,60000)"}},
        {[&] { return QXX_make_usb_conn_string(out, "USBF:1-2/c44", 5); },
         {0, "usb(USBF:1-2/c44,5,6017,3140)"}},
        {[&] { return QXX_make_usb_conn_string(out, "USBS:1-2/c44", 0); },
         {0, "usb(USBS:1-2/c44,0,6017,3140)"}},
        {[&] { return QXX_make_usb_conn_string(out, "USBU:1-3/c45", 0); },
         {0, "usb(USBU:1-3/c45,0,6017,3141)"}},
        {[&] { return QXX_make_usb_conn_string(out, "USBX:1-3/c45", 0); }, {-1, ""}},
        {[&] { return QXX_make_usb_conn_string(out, "USB", 0); }, {-1, ""}},
        {[&] { return QXX_comm_bt_discover(0, 0); }, {0, "comm_bt_discover(0,16769104,0)"}},
    };
    for (const auto& [call, expected] : cases) {
        fake_comm::reset();
        out[0] = '\0';
        EXPECT_EQ(call(), expected.result) << expected.call;
        const auto calls = fake_comm::calls();
        EXPECT_EQ(calls, expected.call.empty() ? std::vector<std::string>{}
                                               : std::vector<std::string>{expected.call});
        if (expected.result == 0 && expected.call[0] != 'c') {
            EXPECT_EQ(out, expected.call);
        }
    }
    fake_comm::script().make_result = 8;
    EXPECT_EQ(QXX_make_net_conn_string(out, "127.0.0.1", 4444), 8);
}

// Entries of the first product id are tagged "USBF", whatever tag the listing gave them.
TEST_F(Connection, UsbListingTags) {
    const std::vector<std::pair<std::string, std::string>> entries = {
        {"USBS:1-2/c44", "USBF:1-2/c44"}, {"USBS:1-2/0C44", "USBF:1-2/0C44"},
        {"USBS:1-2/c45", "USBS:1-2/c45"}, {"USBU:3/c44/c4d", "USBU:3/c44/c4d"},
        {"USBS:c44", "USBS:c44"},         {"USBU:2-1/", "USBU:2-1/"},
    };
    for (const auto& e : entries) fake_comm::script().usb_entries.push_back(e.first);
    comm_dev_entry list[32] = {};
    int count = 0;
    fake_comm::script().list_result = 0;
    EXPECT_EQ(QXX_list_usb_devices(list, 32, &count), 0);
    ASSERT_EQ(count, static_cast<int>(entries.size()));
    for (int i = 0; i < count; ++i) EXPECT_STREQ(list[i], entries[i].second.c_str());
    EXPECT_EQ(fake_comm::calls(),
              std::vector<std::string>{"comm_list_devices_usb(0,32,,,6017,6017,3140,3149)"});
    // A listing limited to fewer entries than it found rewrites only those.
    fake_comm::script().list_result = 2;
    comm_dev_entry two[2] = {};
    EXPECT_EQ(QXX_list_usb_devices(two, 1, nullptr), 2);
    EXPECT_STREQ(two[0], "USBF:1-2/c44");
    EXPECT_STREQ(two[1], "");
}

Bytes announcement(const std::string& ident, const std::string& address, const std::string& name) {
    Bytes p(QXX_ANNOUNCE_SIZE, 0);
    std::memcpy(p.data(), ident.data(), std::min<size_t>(ident.size(), 10));
    std::memcpy(p.data() + 10, address.data(), std::min<size_t>(address.size(), 16));
    std::memcpy(p.data() + 26, name.data(), std::min<size_t>(name.size(), 40));
    return frame(QXX_CODE_ANNOUNCE, p);
}

std::vector<std::string> rows() {
    QXX_message_list list{};
    QXX_broadcast_list(&list);
    std::vector<std::string> out;
    for (int i = 0; i < list.count; ++i) {
        const QXX_net_device& d = list.rows[i];
        out.push_back(std::string(d.ident, strnlen(d.ident, 10)) + "|" +
                      std::string(d.address, strnlen(d.address, 16)) + "|" +
                      std::string(d.name, strnlen(d.name, 40)));
    }
    return out;
}

TEST_F(Discovery, Announcements) {
    const Bytes a = announcement("NV52-0001", "127.0.0.1", "bench");
    const Bytes a_again = announcement("NV52-0001", "127.0.0.9", "moved");
    const Bytes b = announcement("NV52-0002", "", "by-name");
    const Bytes wide =
        announcement("0123456789", "0123456789abcdef", "0123456789012345678901234567890123456789");
    const Bytes cut = frame(QXX_CODE_ANNOUNCE, text(std::string("NV52-0003\0"
                                                                "127.0.",
                                                                16)));
    const Bytes other = frame(9001, text("x"));
    struct Case {
        const char* name;
        std::vector<Bytes> datagrams;
        std::vector<std::string> rows;
        size_t fills;
    } cases[] = {
        {"one", {a}, {"NV52-0001|127.0.0.1|bench"}, 0},
        {"same ident twice", {a, a_again}, {"NV52-0001|127.0.0.1|bench"}, 0},
        {"two in one datagram", {a + b}, {"NV52-0001|127.0.0.1|bench", "NV52-0002||by-name"}, 0},
        {"announcement then another frame", {a + other}, {"NV52-0001|127.0.0.1|bench"}, 1},
        {"full-width fields",
         {wide},
         {"0123456789|0123456789abcdef|0123456789012345678901234567890123456789"},
         0},
        {"short payload", {cut}, {"NV52-0003|127.0.|"}, 0},
        {"split over two datagrams",
         {Bytes(a.begin(), a.begin() + 30), Bytes(a.begin() + 30, a.end())},
         {},
         0},
    };
    for (const auto& c : cases) {
        fake_comm::reset();
        EXPECT_EQ(QXX_net_broadcast_register(QXX_broadcast_event_proc, nullptr), 0);
        for (const auto& d : c.datagrams)
            EXPECT_EQ(QXX_broadcast_event_proc(d.data(), static_cast<int>(d.size())), 0);
        EXPECT_EQ(QXX_net_broadcast_deregister(), 0);
        EXPECT_EQ(rows(), c.rows) << c.name;
        const auto fills = fake_comm::fills();
        EXPECT_EQ(fills.size(), c.fills) << c.name;
        for (const auto& f : fills) EXPECT_EQ(f.handle, 0);
    }
    // Not an announcement: not consumed.
    EXPECT_EQ(QXX_broadcast_event(9001, other.data()), 1);
}

// Twenty devices fill the list; a 21st is ignored; only a new registration or a reset empties it.
TEST_F(Discovery, ListLimitsAndLifetime) {
    QXX_net_broadcast_register(nullptr, nullptr);
    for (int i = 0; i < 21; ++i) {
        Bytes d = announcement("DEV" + std::to_string(i), "127.0.0." + std::to_string(i), "");
        QXX_broadcast_event_proc(d.data(), static_cast<int>(d.size()));
    }
    auto listed = rows();
    ASSERT_EQ(listed.size(), 20u);
    EXPECT_EQ(listed.back(), "DEV19|127.0.0.19|");
    // The list is copied whole, 1324 bytes, and kept until cleared.
    unsigned char copy[1324 + 4];
    std::memset(copy, 0xEE, sizeof copy);
    EXPECT_EQ(QXX_broadcast_list(copy), 0);
    EXPECT_EQ(get_i32le(copy), 20);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(copy + 4), 4), "DEV0");
    EXPECT_EQ(copy[1324], 0xEE);
    EXPECT_EQ(rows().size(), 20u);
    QXX_net_broadcast_register(nullptr, nullptr);
    EXPECT_TRUE(rows().empty());
    Bytes d = announcement("DEV0", "", "");
    QXX_broadcast_event_proc(d.data(), static_cast<int>(d.size()));
    EXPECT_EQ(rows().size(), 1u);
    EXPECT_EQ(QXX_net_broadcast_reset_list(), 0);
    QXX_broadcast_list(copy);
    EXPECT_EQ(std::count(copy, copy + 1324, 0), 1324);
}

TEST_F(Discovery, Request) {
    EXPECT_EQ(QXX_send_broadcast_net_message("127.0.0.1", 4455), 0);
    EXPECT_EQ(fake_comm::calls(),
              std::vector<std::string>{
                  "comm_net_broadcast_send(5A4F525699210100B80B001B00,13,127.0.0.1,4455)"});
}

}  // namespace
}  // namespace link_test
