// Connection strings with each transport's fixed values, the link's receive buffer and idle
// time, the USB listing's tags, discovery.
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
        {[&] { int h = 0; return QXX_connect("tcp", &h, nullptr, nullptr, nullptr, nullptr, nullptr, 0) + fake_comm::close(h); }, "comm_connect(tcp,4096,200)"},
    };
    // clang-format on
    for (const auto& [call, expected] : cases) {
        fake_comm::reset();
        EXPECT_EQ(call(), expected.empty() ? -1 : 0) << expected;
        EXPECT_EQ(fake_comm::st().calls,
                  expected.empty() ? std::vector<std::string>{} : std::vector{expected});
    }
    // Entries of the first product id are tagged "USBF", whatever tag the listing gave them;
    // entries after those found are left alone.
    fake_comm::reset();
    fake_comm::st().usb_entries = {"USBS:1-2/c44", "USBS:1-2/0C44", "USBS:1-2/c45",
                                   "USBU:3/c44/c4d", "USBS:c44"};
    comm_dev_entry list[6] = {};
    std::strcpy(list[5], "USBS:1-4/c44");
    int count = 0;
    EXPECT_EQ(QXX_list_usb_devices(list, 6, &count), 0);
    ASSERT_EQ(count, 5);
    for (auto [i, entry] :
         {std::pair(0, "USBF:1-2/c44"), std::pair(1, "USBF:1-2/0C44"), std::pair(2, "USBS:1-2/c45"),
          std::pair(3, "USBU:3/c44/c4d"), std::pair(4, "USBS:c44"), std::pair(5, "USBS:1-4/c44")})
        EXPECT_STREQ(list[i], entry);
    EXPECT_EQ(fake_comm::st().calls,
              std::vector<std::string>{"comm_list_devices_usb(0,6,,,6017,6017,3140,3149)"});
}

}  // namespace
}  // namespace link_test
