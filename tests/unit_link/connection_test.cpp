// Connection strings with each transport's fixed values, the USB listing's tags, and the
// discovery request and list.
#include <cstring>
#include <functional>

#include "link_support.h"

namespace link_test {
namespace {

using Connection = LinkTest;

// Ports go as 16-bit numbers. The fake records numbers in decimal: vendor 0x1781 = 6017,
// products 0x0C44..0x0C4D = 3140..3149, Bluetooth class 0xFFE050 = 16769104.
TEST_F(Connection, ConnectionStringsAndListing) {
    char out[COMM_CONN_STRING_SIZE];
    // clang-format off
    const std::vector<std::pair<std::function<int()>, std::string>> cases = {
        {[&] { return QXX_make_serial_conn_string(out, 65536 + 4); }, "serial(4,115200,8,1,0,0)"},
        {[&] { return QXX_make_serial_path_conn_string(out, "/dev/pts/3"); }, "serial_path(/dev/pts/3,115200,8,1,0,0)"},
        {[&] { return QXX_make_net_conn_string(out, "::1", 70000); }, "net(::1,4464,1000)"},
        {[&] { return QXX_make_bt_conn_string(out, "00:11:22:33:44:55", "NV"); }, "bt(00:11:22:33:44:55,NV,16769104,1,0000,60000)"},
        {[&] { return QXX_make_usb_conn_string(out, "USBF:1-2/c44", 5); }, "usb(USBF:1-2/c44,5,6017,3140)"},
        {[&] { return QXX_make_usb_conn_string(out, "USBU:1-3/c45", 0); }, "usb(USBU:1-3/c45,0,6017,3141)"},
        {[&] { return QXX_make_usb_conn_string(out, "USBX:1-3/c45", 0); }, ""},
        {[&] { return QXX_make_usb_conn_string(out, "USB", 0); }, ""},
        {[&] { return QXX_comm_bt_discover(0, 0); }, "comm_bt_discover(0,16769104,0)"},
        {[&] { return QXX_send_broadcast_net_message("127.0.0.1", 4455); }, "comm_net_broadcast_send(5A4F525699210100B80B001B00,13,127.0.0.1,4455)"},
    };
    // clang-format on
    for (const auto& [call, expected] : cases) {
        fake_comm::reset();
        EXPECT_EQ(call(), expected.empty() ? -1 : 0) << expected;
        EXPECT_EQ(fake_comm::st().calls,
                  expected.empty() ? std::vector<std::string>{} : std::vector{expected});
    }
    // Entries of the first product id are tagged "USBF", whatever tag the listing gave them; a
    // listing limited to fewer entries than it found rewrites only those.
    fake_comm::reset();
    fake_comm::st().usb_entries = {"USBS:1-2/c44", "USBS:1-2/0C44", "USBS:1-2/c45",
                                   "USBU:3/c44/c4d", "USBS:c44"};
    comm_dev_entry list[6] = {};
    int count = 0;
    EXPECT_EQ(QXX_list_usb_devices(list, 5, &count), 0);
    ASSERT_EQ(count, 5);
    for (auto [i, entry] :
         {std::pair(0, "USBF:1-2/c44"), std::pair(1, "USBF:1-2/0C44"), std::pair(2, "USBS:1-2/c45"),
          std::pair(3, "USBU:3/c44/c4d"), std::pair(4, "USBS:c44"), std::pair(5, "")})
        EXPECT_STREQ(list[i], entry);
    EXPECT_EQ(fake_comm::st().calls,
              std::vector<std::string>{"comm_list_devices_usb(0,5,,,6017,6017,3140,3149)"});
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

// An ident is listed once; fields may fill their width; a frame after the announcement goes
// on to the capture of handle 0, which takes nothing.
TEST_F(Connection, DiscoveryList) {
    const Bytes a = announcement("NV52-0001", "127.0.0.1", "bench");
    const Bytes wide = announcement("0123456789", "0123456789abcdef", std::string(40, 'n'));
    const Bytes cut = frame(QXX_CODE_ANNOUNCE, text(std::string("NV52-0003\0"
                                                                "127.0.",
                                                                16)));
    const Bytes datagrams[] = {a + announcement("NV52-0002", "", "by-name"),
                               announcement("NV52-0001", "127.0.0.9", "moved"),
                               wide + frame(9001, text("x")), cut,
                               Bytes(a.begin(), a.begin() + 30)};
    QXX_net_broadcast_register(QXX_broadcast_event_proc, nullptr);
    for (const Bytes& d : datagrams)
        EXPECT_EQ(QXX_broadcast_event_proc(d.data(), static_cast<int>(d.size())), 0);
    EXPECT_EQ(rows(),
              (std::vector<std::string>{"NV52-0001|127.0.0.1|bench", "NV52-0002||by-name",
                                        "0123456789|0123456789abcdef|" + std::string(40, 'n'),
                                        "NV52-0003|127.0.|"}));
    ASSERT_EQ(fake_comm::st().fills.size(), 1u);
    EXPECT_EQ(fake_comm::st().fills[0].first, 0);
    // Twenty devices fill the list; a 21st is ignored; a new registration empties it.
    for (int i = 0; i < 21; ++i) {
        Bytes d = announcement("DEV" + std::to_string(i), "", "");
        QXX_broadcast_event_proc(d.data(), static_cast<int>(d.size()));
    }
    EXPECT_EQ(rows().size(), 20u);
    EXPECT_EQ(rows().back(), "DEV15||");
    QXX_net_broadcast_register(nullptr, nullptr);
    EXPECT_TRUE(rows().empty());
}

}  // namespace
}  // namespace link_test
