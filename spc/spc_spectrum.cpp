#include "spc_spectrum.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

namespace {

bool fail(spc_error* err, int line, std::string what) {
    err->line = line;
    err->what = std::move(what);
    return false;
}

// A line as it may be quoted in a message: at most 40 characters.
std::string quote(std::string_view line) {
    std::string q(line.substr(0, 40));
    if (line.size() > 40) q += "...";
    return "'" + q + "'";
}

// A decimal integer as "%d" writes it (a minus sign allowed, no plus, no blanks).
bool parse_int(std::string_view s, int64_t* out) {
    size_t i = s.size() > 0 && s[0] == '-' ? 1 : 0;
    if (i == s.size() || s.size() - i > 12) return false;
    int64_t v = 0;
    for (size_t k = i; k < s.size(); ++k) {
        if (s[k] < '0' || s[k] > '9') return false;
        v = v * 10 + (s[k] - '0');
    }
    *out = i ? -v : v;
    return true;
}

// The closing line of either writer; `scale` gets its first number.
bool closing_line(std::string_view s, double* scale) {
    static const std::regex save_spec(R"(-?[0-9]+\.[0-9]{2} 0\.000000 3\.000000 0\.000000)");
    if (s == SPC_EVENT_CLOSING) {
        *scale = 6.8;
        return true;
    }
    std::string line(s);
    if (!std::regex_match(line, save_spec)) return false;
    *scale = std::strtod(line.c_str(), nullptr);
    return true;
}

}  // namespace

bool spc_parse(std::string_view text, spc_spectrum* out, spc_error* err) {
    if (text.empty()) return fail(err, 0, "the file is empty");
    if (text.size() > SPC_MAX_FILE_BYTES)
        return fail(
            err, 0,
            "the file is too large for a spectrum (" + std::to_string(text.size()) + " bytes)");
    // Split into lines first, refusing what no writer of the layout produces.
    std::vector<std::string_view> lines;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        int line_no = static_cast<int>(lines.size()) + 1;
        if (c == '\n') {
            size_t end = i > start && text[i - 1] == '\r' ? i - 1 : i;
            lines.push_back(text.substr(start, end - start));
            start = i + 1;
        } else if ((c < 0x20 && c != '\r') || c >= 0x7F) {
            char what[80];
            std::snprintf(what, sizeof what, "not a spectrum text file (byte 0x%02X)", c);
            return fail(err, line_no, what);
        } else if (c == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) {
            return fail(err, line_no, "carriage return inside the line");
        }
    }
    int n = static_cast<int>(lines.size());
    if (start != text.size())
        return fail(err, n + 1, "the last line has no line end (file cut short?)");
    if (n - 3 > SPC_MAX_CHANNELS)
        return fail(err, 0, "more than " + std::to_string(SPC_MAX_CHANNELS) + " channels");

    spc_spectrum s;
    int64_t v = 0;
    for (int k = 0; k < 2; ++k) {
        if (k >= n) return fail(err, k + 1, "missing line: header value expected");
        if (!parse_int(lines[k], &v) || v < INT32_MIN || v > INT32_MAX)
            return fail(err, k + 1, quote(lines[k]) + " is not a whole number (header value)");
        (k == 0 ? s.first : s.second) = static_cast<int32_t>(v);
    }
    // Channels run until the first line that is not a whole number: that must be the closing
    // line, and it must be the last one.
    int ln = 2;
    for (; ln < n && parse_int(lines[ln], &v); ++ln) {
        if (v < 0) return fail(err, ln + 1, "negative count " + std::string(lines[ln]));
        if (v > INT32_MAX)
            return fail(err, ln + 1, "count " + std::string(lines[ln]) + " out of range");
        s.counts.push_back(static_cast<int32_t>(v));
    }
    if (ln == n) return fail(err, n + 1, "missing closing line (\"6.8 0 3 0\" or the scale line)");
    if (!closing_line(lines[ln], &s.scale)) {
        // One word is a count gone wrong; several words a closing line gone wrong.
        std::string_view t = lines[ln];
        size_t first = t.find_first_not_of(' '), last = t.find_last_not_of(' ');
        bool one_word = first == std::string_view::npos ||
                        t.substr(first, last - first + 1).find(' ') == std::string_view::npos;
        return fail(err, ln + 1,
                    quote(t) + (one_word ? " is not a whole number (channel count)"
                                         : " is neither a channel count nor a closing line"));
    }
    if (ln + 1 < n) return fail(err, ln + 2, "extra line after the closing line");
    s.closing = std::string(lines[ln]);
    if (s.counts.empty()) return fail(err, ln + 1, "the spectrum has no channels");
    if (s.closing == SPC_EVENT_CLOSING && s.counts.size() != SPC_EVENT_CHANNELS)
        return fail(err, ln + 1,
                    "the closing line \"6.8 0 3 0\" follows 1024 channels, found " +
                        std::to_string(s.counts.size()) + " (lines missing?)");
    *out = std::move(s);
    return true;
}

bool spc_read_file(const std::string& path, spc_spectrum* out, std::string* message) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        *message = path + ": is a directory";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *message = path + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    char buf[65536];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        text.append(buf, static_cast<size_t>(in.gcount()));
        if (text.size() > SPC_MAX_FILE_BYTES) break;
    }
    if (in.bad()) {
        *message = path + ": read error";
        return false;
    }
    spc_error err;
    if (spc_parse(text, out, &err)) return true;
    *message =
        path + (err.line > 0 ? ":" + std::to_string(err.line) : std::string()) + ": " + err.what;
    return false;
}

int64_t spc_total(const spc_spectrum& s) {
    int64_t t = 0;
    for (int32_t c : s.counts) t += c;
    return t;
}
