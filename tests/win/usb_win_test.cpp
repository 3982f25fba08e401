// What only the Windows USB transport has: a device whose driver is not WinUSB is listed but
// refused, with a note that names it and gives the program's advice; one function of a composite
// device is not a device of its own (comm_usb_contract_test.cpp holds the rest).
#include <gtest/gtest.h>

#include "comm_links.h"
#include "usb_win_fake.h"

namespace {

TEST(UsbWindows, AFunctionIsNoDeviceAndAnotherDriverIsRefused) {
    usb_fake::Bench b;
    usb_fake::Device d;
    d.ports = {4};
    d.winusb = false;
    b.add(d);
    d.ports = {5};
    d.winusb = true;
    d.function = true;
    b.add(d);
    comm_dev_entry list[4];
    int count = -1;
    ASSERT_EQ(comm_list_devices_usb(0, list, 4, &count, "", "", 0x1781, 0x1781, 0x0C44, 0x0C4D), 0);
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(list[0], "USBS:1-4:1781/0c44");
    CommRunning running;
    comm_usb_set_access_advice("The program's advice.\n");
    EXPECT_EQ(refused_note("USBS:1-4:1781/0c44"),
              "The USB device at hub 1 port 4 (1781:0c44) is not bound to WinUSB, so it cannot be "
              "used.\nThe program's advice.\n");
    comm_usb_set_access_advice(nullptr);
}

}  // namespace
