// The USB listing and display texts on a fake bus: only the instrument's ids are listed, in a
// fixed order, as entries that are themselves connection strings; the link layer tags the first
// product "USBF".
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "comm_internal.h"
#include "qxx_comm.h"
#include "usb_fake.h"

#if NV_HAVE_LIBUSB

namespace {

using usb_fake::Device;

Device dev(int bus, std::vector<uint8_t> ports, uint16_t vendor, uint16_t product) {
    Device d;
    d.bus = bus;
    d.ports = std::move(ports);
    d.vendor = vendor;
    d.product = product;
    return d;
}

std::vector<std::string> list_instruments(int max, int* result = nullptr) {
    std::vector<comm_dev_entry> list(static_cast<size_t>(max) + 1);
    std::memset(list.data(), 'x', list.size() * sizeof(comm_dev_entry));
    int count = -1;
    int r =
        comm_list_devices_usb(0, list.data(), max, &count, "", "", 0x1781, 0x1781, 0x0C44, 0x0C4D);
    if (result != nullptr) *result = r;
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) out.emplace_back(list[static_cast<size_t>(i)]);
    EXPECT_EQ(list[static_cast<size_t>(max)][0], 'x') << "written past the offered entries";
    return out;
}

TEST(UsbList, OnlyTheInstrumentsIdsInBusAndPortOrder) {
    struct Case {
        const char* name;
        std::vector<Device> devices;
        int max;
        std::vector<std::string> entries;
    };
    const std::vector<Case> cases = {
        {"no device", {}, 32, {}},
        {"other vendors only", {dev(1, {2}, 0x046d, 0x0C44), dev(1, {3}, 0x1782, 0x0C45)}, 32, {}},
        {"one instrument", {dev(1, {4, 2}, 0x1781, 0x0C45)}, 32, {"USBS:1-4.2:1781/0c45"}},
        {"several among others, ports sorted as numbers",
         {dev(2, {1}, 0x1781, 0x0C4D), dev(1, {10}, 0x1781, 0x0C44), dev(1, {4, 2}, 0x1781, 0x0C44),
          dev(1, {4}, 0x046d, 0xC52B), dev(1, {5}, 0x1781, 0x0C43), dev(1, {6}, 0x1781, 0x0C4E),
          dev(3, {}, 0x1781, 0x0C46)},
         32,
         {"USBS:1-4.2:1781/0c44", "USBS:1-10:1781/0c44", "USBS:2-1:1781/0c4d", "USBS:3:1781/0c46"}},
        {"more than offered",
         {dev(1, {3}, 0x1781, 0x0C44), dev(1, {1}, 0x1781, 0x0C44), dev(1, {2}, 0x1781, 0x0C44)},
         2,
         {"USBS:1-1:1781/0c44", "USBS:1-2:1781/0c44"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        usb_fake::Installed fake;
        for (const Device& d : c.devices) fake.bus.add(d);
        int result = -1;
        std::vector<std::string> entries = list_instruments(c.max, &result);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(entries, c.entries);
        // Every entry is a connection string for the device it names.
        for (const std::string& e : entries) {
            comm_usb_params p;
            ASSERT_EQ(comm_usb_parse(e.c_str(), &p), 1) << e;
            EXPECT_EQ(p.vendor_id, 0x1781);
        }
    }
}

TEST(UsbList, NoUsbOnTheMachineListsNothing) {
    usb_fake::Installed fake;
    fake.bus.add(dev(1, {1}, 0x1781, 0x0C44));
    fake.bus.init_error = LIBUSB_ERROR_OTHER;
    int result = -1;
    EXPECT_EQ(list_instruments(32, &result), std::vector<std::string>{});
    EXPECT_EQ(result, 0);
}

TEST(UsbList, LinkLayerTagsTheFirstProductFull) {
    usb_fake::Installed fake;
    fake.bus.add(dev(1, {5}, 0x1781, 0x0C45));
    fake.bus.add(dev(1, {4, 2}, 0x1781, 0x0C44));
    fake.bus.add(dev(1, {6}, 0x2222, 0x0C44));
    comm_dev_entry list[32];
    int count = 0;
    EXPECT_EQ(QXX_list_usb_devices(list, 32, &count), 0);
    ASSERT_EQ(count, 2);
    EXPECT_STREQ(list[0], "USBF:1-4.2:1781/0c44");
    EXPECT_STREQ(list[1], "USBS:1-5:1781/0c45");
    char conn[COMM_CONN_STRING_SIZE];
    ASSERT_EQ(QXX_make_usb_conn_string(conn, list[0], 0), 0);
    EXPECT_STREQ(conn, "USBF:1-4.2:1781:0/0c44");
}

TEST(UsbList, DisplayTextsNameBusPortProductAndSerial) {
    usb_fake::Installed fake;
    Device named = dev(1, {4, 2}, 0x1781, 0x0C44);
    named.name = "NV-52";
    named.serial = "A0042\x01";
    fake.bus.add(named);
    Device anonymous = dev(2, {1}, 0x1781, 0x0C45);
    fake.bus.add(anonymous);
    Device locked = dev(3, {7}, 0x1781, 0x0C44);
    locked.name = "NV-52";
    locked.serial = "B7";
    locked.open_error = LIBUSB_ERROR_ACCESS;
    fake.bus.add(locked);
    struct Case {
        const char* entry;
        const char* text;
    };
    for (const Case& c : {
             Case{"USBF:1-4.2:1781/0c44", "USB bus 1 port 4.2 (1781:0c44) NV-52, serial A0042?"},
             Case{"USBS:2-1:1781/0c45", "USB bus 2 port 1 (1781:0c45)"},
             Case{"USBS:3-7:1781/0c44", "USB bus 3 port 7 (1781:0c44)"},      // no access
             Case{"USBS:9-9:1781/0c44", "USB bus 9 port 9 (1781:0c44)"},      // gone
             Case{"USBS:1-4.2:1781/0c45", "USB bus 1 port 4.2 (1781:0c45)"},  // other product
         }) {
        char text[COMM_DEVID_SIZE];
        ASSERT_EQ(comm_get_devid_string(c.entry, text), 0);
        EXPECT_STREQ(text, c.text) << c.entry;
    }
}

}  // namespace

#else

TEST(UsbList, NotBuilt) {
    GTEST_SKIP() << "built without libusb-1.0";
}

#endif  // NV_HAVE_LIBUSB
