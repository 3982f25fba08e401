// The escapes of every data file of the tests, and their one decoder:
//   \n \r \t \0 \\ \xHH   newline, carriage return, tab, NUL, backslash, any byte
//   \[N*TEXT]             TEXT (escapes and all) N times: `\[1023*7]`, `\[4*ab\n]`
//   \C                    any other character C as itself: `\"`, `\{`, `\}`, `\]`
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace escapes {

// `s` decoded (from `*from` on, to the first unescaped character of `stops`, left at `*from`).
// A backslash that ends `s` stands for itself; a broken \x or repeat throws (a faulty data file).
inline std::string unescaped(std::string_view s, size_t* from = nullptr,
                             std::string_view stops = {}) {
    size_t start = 0, &at = from ? *from : start;
    std::string out;
    const auto need = [s](bool ok) {
        if (!ok) throw std::invalid_argument("a broken escape in " + std::string(s));
    };
    while (at < s.size() && stops.find(s[at]) == s.npos) {
        const char c = s[at++];
        if (c != '\\' || at == s.size()) {
            out += c;
        } else if (s[at] == 'x') {
            const std::string hex(s.substr(at + 1, 2));
            need(hex.size() == 2 && hex.find_first_not_of("0123456789abcdefABCDEF") == hex.npos);
            out += static_cast<char>(std::stoi(hex, nullptr, 16));
            at += 3;
        } else if (s[at] == '[') {
            const size_t star = s.find('*', at);
            need(star != s.npos && star > at + 1 &&
                 s.find_first_not_of("0123456789", at + 1) == star);
            const unsigned long n = std::stoul(std::string(s.substr(at + 1, star - at - 1)));
            const std::string piece = unescaped(s, &(at = star + 1), "]");
            need(at++ < s.size());
            for (unsigned long k = 0; k < n; ++k) out += piece;
        } else {
            const std::string_view from = "nrt0", to("\n\r\t\0", 4);
            out += from.find(s[at]) == from.npos ? s[at] : to[from.find(s[at])];
            ++at;
        }
    }
    return out;
}

// Whether `s` ends with a backslash that escapes nothing (a line joined to the next: no Enter
// or line end of its own), which is then taken off; `\\` at the end is an escaped backslash.
inline bool take_joiner(std::string_view& s) {
    const size_t run = s.size() - (s.find_last_not_of('\\') + 1);  // npos + 1 is 0
    if (run % 2 == 1) s.remove_suffix(1);
    return run % 2 == 1;
}

}  // namespace escapes
