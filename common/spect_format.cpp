// The spectrum text file: see spect_format.h.
#include "spect_format.h"

#include <cstdio>
#include <cstdlib>

namespace {

bool digits(std::string_view s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

std::string spect_saved_closing(float scale) {
    char line[512];  // the largest float / 100 has 37 digits before the point
    std::snprintf(line, sizeof line, "%.2f %.6f %.6f %.6f", static_cast<double>(scale) / 100, 0.0,
                  3.0, 0.0);
    return line;
}

bool spect_read_closing(std::string_view s, double* scale) {
    if (s == SPECT_EVENT_CLOSING) {
        *scale = 6.8;
        return true;
    }
    // "%.2f 0.000000 3.000000 0.000000": an optional minus, digits, a point and two digits.
    constexpr std::string_view tail = " 0.000000 3.000000 0.000000";
    if (s.size() <= tail.size() || s.substr(s.size() - tail.size()) != tail) return false;
    std::string_view number = s.substr(0, s.size() - tail.size());
    std::string_view body = number.substr(0, 1) == "-" ? number.substr(1) : number;
    size_t point = body.find('.');
    if (point == std::string_view::npos || !digits(body.substr(0, point)) ||
        body.size() - point != 3 || !digits(body.substr(point + 1)) || point > 40)
        return false;
    *scale = std::strtod(std::string(number).c_str(), nullptr);
    return true;
}

std::string spect_text(const int32_t* values, int count, int32_t first, int32_t second,
                       std::string_view closing) {
    std::string text;
    char line[32];
    std::snprintf(line, sizeof line, "%d\n%d\n", first, second);
    text += line;
    for (int i = 0; values != nullptr && i < count; ++i) {
        std::snprintf(line, sizeof line, "%d\n", values[i]);
        text += line;
    }
    text += closing;
    return text + "\n";
}
