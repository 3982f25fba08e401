// The console's number and text parsers and the readers that take their answer from the
// command line, on arbitrary text. Standard input is at its end, so a reader that finds no
// answer on the line keeps its value.
//
// Input: byte 0 picks the parser, bytes 1-8 the lower and upper limit, byte 9 the piece index
// for the command-line readers; the rest is the text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "conutil.h"
#include "fuzz_support.h"
#include "qxx_frame.h"

namespace {

constexpr size_t HEADER = 10;

template <class T>
void check_range(int accepted, T value, T min, T max) {
    if (accepted == 1 && min <= max && (value < min || value > max)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_log();
    static FILE* end = std::fopen("/dev/null", "r");
    input_set_stream(end);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < HEADER) return 0;
    const uint32_t a = get_u32le(data + 1), b = get_u32le(data + 5);
    const int index = data[9] % 8;
    const std::string text(reinterpret_cast<const char*>(data + HEADER), size - HEADER);
    const char* t = text.c_str();  // ends at the first NUL, as a read line does

    switch (data[0] % 8) {
        case 0: {
            int32_t v = 0, lo = static_cast<int32_t>(a), hi = static_cast<int32_t>(b);
            check_range(input_integer(t, &v, lo, hi), v, lo, hi);
            break;
        }
        case 1: {
            uint32_t v = 0;
            check_range(input_hex_integer(t, &v, a, b), v, a, b);
            break;
        }
        case 2: {
            uint8_t v = 0, lo = static_cast<uint8_t>(a), hi = static_cast<uint8_t>(b);
            check_range(input_hex_char(t, &v, lo, hi), v, lo, hi);
            break;
        }
        case 3: {
            uint16_t v = 0, lo = static_cast<uint16_t>(a), hi = static_cast<uint16_t>(b);
            check_range(input_hex_short(t, &v, lo, hi), v, lo, hi);
            break;
        }
        case 4: {
            float v = 0, lo = static_cast<float>(static_cast<int32_t>(a)) / 16,
                  hi = static_cast<float>(static_cast<int32_t>(b)) / 16;
            check_range(input_float(t, &v, lo, hi), v, lo, hi);
            break;
        }
        case 5: {
            char v[INPUT_LINE_SIZE + 1];
            const unsigned max = b % INPUT_LINE_SIZE;
            if (input_string(t, v, a % 64, max) == 1 && std::strlen(v) > max) std::abort();
            break;
        }
        case 6: {
            // A command line as the menu passes it: at most 254 characters and the newline.
            char line[MENU_LINE_SIZE + 1];
            std::snprintf(line, sizeof line, "%.*s\n", MENU_LINE_SIZE - 1, t);
            int32_t v = 0, lo = static_cast<int32_t>(a), hi = static_cast<int32_t>(b);
            input_integer_msg_cmd(&v, lo, hi, "Value", line, index);
            if (v != 0) check_range(1, v, lo, hi);
            break;
        }
        default: {
            char line[MENU_LINE_SIZE + 1];
            std::snprintf(line, sizeof line, "%.*s\n", MENU_LINE_SIZE - 1, t);
            char v[MENU_LINE_SIZE + 1] = "kept";
            const unsigned max = b % MENU_LINE_SIZE;
            input_string_msg_cmd(v, a % 16, max, "Name", line, index);
            if (std::strcmp(v, "kept") != 0 && std::strlen(v) > max) std::abort();
            break;
        }
    }
    return 0;
}
