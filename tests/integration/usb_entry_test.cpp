// USB entries as the connection dialogue hands them on: an entry whose product id after the last
// '/' is not one to four hexadecimal digits is refused, both when a connection string is made
// from it and when a link is opened with the entry itself (the dialogue then reports the
// connection error); a sound entry gets the link layer's vendor and product ids.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qxx_comm.h"

namespace {

TEST(UsbEntry, MalformedProductIdsAreRefused) {
    const char* malformed[] = {
        "USBF:1-2:1781/",     "USBF:1-2:1781/c4g",  "USBF:1-2:1781/12345", "USBF:1-2:1781/+c44",
        "USBF:1-2:1781/ c44", "USBF:1-2:1781/c44 ", "USBF:1-2:1781/-1",    "USBF:1-2:1781/0x44",
        "USBF:1-2:1781",      "USBF:1-2:1781/c44/", "USBS:1-2:1781/c4-4",
    };
    for (const char* entry : malformed) {
        char out[COMM_CONN_STRING_SIZE];
        std::memset(out, 'x', sizeof out);
        EXPECT_EQ(QXX_make_usb_conn_string(out, entry, 0), -1) << entry;
        EXPECT_EQ(out[0], '\0') << entry;
        int handle = 77;
        EXPECT_EQ(QXX_connect(entry, &handle, nullptr, nullptr, nullptr, nullptr, nullptr, 0), -1)
            << entry;
        EXPECT_EQ(handle, 77) << entry;
    }
    const struct {
        const char* entry;
        int arg;
        const char* expected;
    } sound[] = {
        {"USBF:1-2:1781/c44", 5, "USBF:1-2:1781:5/0c44"},
        {"USBF:1-2:1781:3/C44", 0, "USBF:1-2:1781:0/0c44"},
        {"USBS:1-2:1781/0", 1, "USBS:1-2:1781:1/0c44"},
        {"USBU:1-3:1781/ffff", 2, "USBU:1-3:1781:2/0c45"},
    };
    for (const auto& s : sound) {
        char out[COMM_CONN_STRING_SIZE] = {};
        EXPECT_EQ(QXX_make_usb_conn_string(out, s.entry, s.arg), 0) << s.entry;
        EXPECT_STREQ(out, s.expected);
    }
}

}  // namespace
