// Showing text that came from a device: see safe_text.h.
#include "safe_text.h"

#include <cstdint>
#include <cstring>

namespace {

// Characters that print nothing themselves but change how the text around them reads: the
// bidirectional controls (a name could show its end first), zero-width spaces and joiners, the
// byte-order mark, and the Unicode line and paragraph separators.
bool invisible(uint32_t c) {
    return c == 0x061C || (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) ||
           (c >= 0x2060 && c <= 0x2069) || c == 0xFEFF;
}

// The length of the valid UTF-8 sequence at `p` (at most `left` bytes) of a character that is
// not a control character; 0 when there is none.
size_t printable_sequence(const unsigned char* p, size_t left) {
    const unsigned char b = p[0];
    if (b >= 0x20 && b < 0x7F) return 1;
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
