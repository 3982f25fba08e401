// Text that devices and the network send, on the operator's terminal: escapes, bells, carriage
// returns, C1 controls and broken UTF-8 shown as \xHH, while printable text passes unchanged.
// (Where such text is printed: the device lists in main_test.cpp, versions and serial numbers
// in data/q*_commands.txt.)
#include <gtest/gtest.h>

#include <string>

#include "safe_text.h"

namespace {

TEST(DeviceText, PrintableTextPassesControlsAndBrokenUtf8AreEscaped) {
    const struct {
        std::string in;
        size_t max;
        std::string shown;
    } cases[] = {
        {" azAZ09~!\\%s", 64, " azAZ09~!\\%s"},
        // Valid UTF-8 at the edges of each length: U+00A0, U+07FF, U+0800, U+D7FF, U+E000,
        // U+FFFF, U+10000, U+10FFFF.
        {"\xc2\xa0\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf", 64,
         "\xc2\xa0\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf"},
        {"\xf0\x90\x80\x80\xf4\x8f\xbf\xbf caf\xc3\xa9", 64,
         "\xf0\x90\x80\x80\xf4\x8f\xbf\xbf caf\xc3\xa9"},
        // C0 (ESC, BEL, CR, LF, TAB, 0x01, 0x1F), DEL.
        {"\x1b]0;owned\x07\r\n\t\x01\x1f\x7f", 64,
         "\\x1b]0;owned\\x07\\x0d\\x0a\\x09\\x01\\x1f\\x7f"},
        // C1 as a byte and as UTF-8 (U+0080, U+009B CSI, U+009F).
        {"\x9b"
         "2J\x80\xc2\x80\xc2\x9b\xc2\x9f",
         64, "\\x9b2J\\x80\\xc2\\x80\\xc2\\x9b\\xc2\\x9f"},
        // Overlong, surrogate, beyond U+10FFFF, bytes never valid.
        {"\xc0\xaf\xc1\xbf\xe0\x9f\xbf\xf0\x8f\xbf\xbf", 64,
         "\\xc0\\xaf\\xc1\\xbf\\xe0\\x9f\\xbf\\xf0\\x8f\\xbf\\xbf"},
        {"\xed\xbf\xbf\xfc\x80\x80\x80\x84\x80\x80\x80", 64,
         "\\xed\\xbf\\xbf\\xfc\\x80\\x80\\x80\\x84\\x80\\x80\\x80"},
        {"\xed\xa0\x80\xf4\x90\x80\x80\xf5\xfe\xff", 64,
         "\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80\\xf5\\xfe\\xff"},
        // A sequence cut short by a wrong byte, by the end of the text, by the field's end.
        {"\xe2\x82"
         "A\xc3",
         64, "\\xe2\\x82A\\xc3"},
        {"ab\xe2\x82\xac", 4, "ab\\xe2\\x82"},
        {"\xf0\x9f\x98", 64, "\\xf0\\x9f\\x98"},
        // Bidirectional controls, zero-width characters, the byte-order mark and the line and
        // paragraph separators, between their printable neighbours U+200A, U+2010, U+202F,
        // U+205F, U+206A and U+FEFE.
        {"\xe2\x80\x8a\xe2\x80\x8b\xe2\x80\x8f\xe2\x80\x90\xe2\x80\xa8\xe2\x80\xae\xe2\x80\xaf", 64,
         "\xe2\x80\x8a\\xe2\\x80\\x8b\\xe2\\x80\\x8f\xe2\x80\x90\\xe2\\x80\\xa8\\xe2\\x80\\xae\xe2"
         "\x80\xaf"},
        {"\xe2\x81\x9f\xe2\x81\xa0\xe2\x81\xa9\xe2\x81\xaa\xd8\x9c\xef\xbb\xbf\xef\xbb\xbe", 64,
         "\xe2\x81\x9f\\xe2\\x81\\xa0\\xe2\\x81\\xa9\xe2\x81\xaa\\xd8\\x9c\\xef\\xbb\\xbf\xef\xbb"
         "\xbe"},
        // The text ends at its NUL or at its field's size.
        {std::string("ab\0\x1b", 4), 4, "ab"},
        {"abcdef", 3, "abc"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(device_text(c.in.c_str(), c.max), c.shown) << c.in;
    }
    EXPECT_EQ(device_text(nullptr, 8), "");
}

}  // namespace
