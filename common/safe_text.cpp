// Showing text that came from a device: see safe_text.h.
#include "safe_text.h"

#include <cstdint>
#include <cstring>

namespace {

// Characters that print nothing themselves but change how the text around them reads, or hide
// in it: every default-ignorable code point of the Unicode character database (bidirectional
// controls, zero-width spaces and joiners, the soft hyphen, fillers, variation selectors, the
// byte-order mark, the tag characters, and the code points reserved as such), and the line and
// paragraph separators. A terminal may show any of these as nothing at all.
struct Range {
    uint32_t first, last;
};
constexpr Range INVISIBLE[] = {
    {0x00AD, 0x00AD},   {0x034F, 0x034F},   {0x061C, 0x061C}, {0x115F, 0x1160}, {0x17B4, 0x17B5},
    {0x180B, 0x180F},   {0x200B, 0x200F},   {0x2028, 0x202E}, {0x2060, 0x206F}, {0x3164, 0x3164},
    {0xFE00, 0xFE0F},   {0xFEFF, 0xFEFF},   {0xFFA0, 0xFFA0}, {0xFFF0, 0xFFF8}, {0x1BCA0, 0x1BCA3},
    {0x1D173, 0x1D17A}, {0xE0000, 0xE0FFF},
};

bool invisible(uint32_t c) {
    for (const Range& r : INVISIBLE)
        if (c >= r.first && c <= r.last) return true;
    return false;
}

// The length of the valid UTF-8 sequence at `p` (at most `left` bytes) of a character that is
// not a control character; 0 when there is none.
size_t printable_sequence(const unsigned char* p, size_t left) {
    const unsigned char b = p[0];
    // A backslash is escaped too: every backslash shown then starts an escape, and a device's
    // own text "\x1b" cannot pass for an escaped control character.
    if (b >= 0x20 && b < 0x7F) return b == '\\' ? 0 : 1;
    size_t length;
    uint32_t c;
    if (b >= 0xC2 && b <= 0xDF) {
        length = 2;
        c = b & 0x1Fu;
    } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3;
        c = b & 0x0Fu;
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4;
        c = b & 0x07u;
    } else {
        return 0;  // C0, DEL, a lone continuation byte (C1 bytes among them), or never valid
    }
    if (left < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        c = c << 6 | (p[i] & 0x3Fu);
    }
    static constexpr uint32_t SMALLEST[3] = {0x80, 0x800, 0x10000};  // of 2, 3 and 4 bytes
    if (c < SMALLEST[length - 2] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    if (c >= 0x80 && c <= 0x9F) return 0;  // C1 written as UTF-8: terminals obey it all the same
    return invisible(c) ? 0 : length;
}

}  // namespace

std::string device_text(const char* text, size_t max) {
    static constexpr char HEX[] = "0123456789abcdef";
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    const size_t size = text != nullptr ? strnlen(text, max) : 0;
    std::string out;
    out.reserve(size);
    for (size_t at = 0; at < size;) {
        const size_t n = printable_sequence(p + at, size - at);
        if (n > 0) {
            out.append(text + at, n);
            at += n;
            continue;
        }
        out += "\\x";
        out += HEX[p[at] >> 4];
        out += HEX[p[at] & 0xF];
        ++at;
    }
    return out;
}
