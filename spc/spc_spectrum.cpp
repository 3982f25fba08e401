#include "spc_spectrum.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <pugixml.hpp>
#include <sstream>

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

bool digits(std::string_view s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

// One line after another, without holding them all: a file of ten million empty lines costs no
// more than its bytes. Bytes that no writer of these layouts produces end the reading.
struct line_reader {
    std::string_view text;
    size_t at = 0;
    int number = 0;  // of the line last returned
    // The next line without its end; false at the end of the text or on an error.
    bool next(std::string_view* line, spc_error* err) {
        if (at >= text.size()) return false;
        ++number;
        size_t start = at;
        for (size_t i = at; i < text.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(text[i]);
            if (c == '\n') {
                size_t end = i > start && text[i - 1] == '\r' ? i - 1 : i;
                *line = text.substr(start, end - start);
                at = i + 1;
                return true;
            }
            if ((c < 0x20 && c != '\r') || c >= 0x7F) {
                char what[80];
                std::snprintf(what, sizeof what, "not a spectrum file (byte 0x%02X)", c);
                return fail(err, number, what);
            }
            if (c == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))
                return fail(err, number, "carriage return inside the line");
        }
        return fail(err, number, "the last line has no line end (file cut short?)");
    }
};

// The spectrum text file.
bool parse_spc(std::string_view text, spc_spectrum* out, spc_error* err) {
    line_reader r{text};
    std::string_view line;
    spc_spectrum s;
    int64_t v = 0;
    for (int k = 0; k < 2; ++k) {
        if (!r.next(&line, err))
            return err->what.empty() ? fail(err, k + 1, "missing line: header value expected")
                                     : false;
        if (!parse_int(line, &v) || v < INT32_MIN || v > INT32_MAX)
            return fail(err, k + 1, quote(line) + " is not a whole number (header value)");
        (k == 0 ? s.first : s.second) = static_cast<int32_t>(v);
    }
    // Channels run until the first line that is not a whole number: that must be the closing
    // line, and it must be the last one.
    bool more;
    while ((more = r.next(&line, err)) && parse_int(line, &v)) {
        if (v < 0) return fail(err, r.number, "negative count " + std::string(line));
        if (v > INT32_MAX)
            return fail(err, r.number, "count " + std::string(line) + " out of range");
        if (s.counts.size() == static_cast<size_t>(SPC_MAX_CHANNELS))
            return fail(err, r.number,
                        "more than " + std::to_string(SPC_MAX_CHANNELS) + " channels");
        s.counts.push_back(static_cast<int32_t>(v));
    }
    if (!more) {
        if (!err->what.empty()) return false;
        return fail(err, r.number + 1, "missing closing line (\"6.8 0 3 0\" or the scale line)");
    }
    if (!spc_closing_line(line, &s.scale)) {
        // One word is a count gone wrong; several words a closing line gone wrong.
        size_t first = line.find_first_not_of(' '), last = line.find_last_not_of(' ');
        bool one_word = first == std::string_view::npos ||
                        line.substr(first, last - first + 1).find(' ') == std::string_view::npos;
        return fail(err, r.number,
                    quote(line) + (one_word ? " is not a whole number (channel count)"
                                            : " is neither a channel count nor a closing line"));
    }
    s.closing = std::string(line);
    int closing_at = r.number;
    if (r.next(&line, err)) return fail(err, r.number, "extra line after the closing line");
    if (!err->what.empty()) return false;
    if (s.counts.empty()) return fail(err, closing_at, "the spectrum has no channels");
    if (s.closing == SPC_EVENT_CLOSING && s.counts.size() != SPC_EVENT_CHANNELS)
        return fail(err, closing_at,
                    "the closing line \"6.8 0 3 0\" follows 1024 channels, found " +
                        std::to_string(s.counts.size()) + " (lines missing?)");
    *out = std::move(s);
    return true;
}

// "HEADER1 HEADER2" and the closing line an export carried: the values of the file it came
// from, checked as that file's reader checks them.
bool carried(std::string_view header, std::string_view closing, spc_spectrum* s, int line,
             spc_error* err) {
    size_t blank = header.find(' ');
    int64_t a, b;
    if (blank == std::string_view::npos || !parse_int(header.substr(0, blank), &a) ||
        !parse_int(header.substr(blank + 1), &b) || a < INT32_MIN || a > INT32_MAX ||
        b < INT32_MIN || b > INT32_MAX)
        return fail(err, line, "the header values " + quote(header) + " are not two whole numbers");
    if (!spc_closing_line(closing, &s->scale))
        return fail(err, line, quote(closing) + " is not a closing line nv-spc reads");
    s->first = static_cast<int32_t>(a);
    s->second = static_cast<int32_t>(b);
    s->closing = std::string(closing);
    if (s->counts.empty()) return fail(err, line, "the spectrum has no channels");
    if (s->closing == SPC_EVENT_CLOSING && s->counts.size() != SPC_EVENT_CHANNELS)
        return fail(err, line, "the closing line \"6.8 0 3 0\" needs 1024 channels");
    return true;
}

bool parse_count(std::string_view word, int32_t* out) {
    int64_t v;
    if (!parse_int(word, &v) || v < 0 || v > INT32_MAX) return false;
    *out = static_cast<int32_t>(v);
    return true;
}

// Numbers of a calibration comment or element: "C0 C1 C2".
bool three_numbers(const std::string& text, double c[3]) {
    std::istringstream in(text);
    std::string rest;
    return static_cast<bool>(in >> c[0] >> c[1] >> c[2]) && !(in >> rest) && std::isfinite(c[0]) &&
           std::isfinite(c[1]) && std::isfinite(c[2]);
}

// nv-spc's CSV export: "# key=value" comments, the header row, "channel,counts[,energy_keV]".
bool parse_csv(std::string_view text, spc_spectrum* out, spc_error* err) {
    line_reader r{text};
    std::string_view line;
    spc_spectrum s;
    s.format = "csv";
    std::string header, closing;
    int notes_at = 0;
    while (r.next(&line, err) && line.substr(0, 1) == "#") {
        size_t eq = line.find('=');
        std::string_view key = eq == std::string_view::npos ? "" : line.substr(0, eq);
        std::string value(eq == std::string_view::npos ? "" : line.substr(eq + 1));
        if (key == "# header") header = value, notes_at = r.number;
        if (key == "# closing_line") closing = value;
        if (key == "# calibration_keV") {
            double c[3];
            if (!three_numbers(value, c))
                return fail(err, r.number, "a calibration is three numbers");
            s.calib.set = true;
            s.calib.offset = c[0], s.calib.gain = c[1], s.calib.quad = c[2];
        }
    }
    if (!err->what.empty()) return false;
    if (line != "channel,counts" && line != "channel,counts,energy_keV")
        return fail(err, r.number,
                    quote(line) + ": a CSV spectrum starts with its header row channel,counts");
    bool energies = line.size() > 14;
    while (r.next(&line, err)) {
        size_t c1 = line.find(','), c2 = line.find(',', c1 + 1);
        bool has_third = c2 != std::string_view::npos;
        int32_t count;
        if (c1 == std::string_view::npos || has_third != energies ||
            line.substr(0, c1) != std::to_string(s.counts.size()) ||
            !parse_count(line.substr(c1 + 1, has_third ? c2 - c1 - 1 : std::string_view::npos),
                         &count))
            return fail(
                err, r.number,
                quote(line) + " is not the row of channel " + std::to_string(s.counts.size()));
        if (s.counts.size() == static_cast<size_t>(SPC_MAX_CHANNELS))
            return fail(err, r.number,
                        "more than " + std::to_string(SPC_MAX_CHANNELS) + " channels");
        s.counts.push_back(count);
    }
    if (!err->what.empty()) return false;
    if (header.empty()) return fail(err, 1, "no '# header=' comment: not a CSV export of nv-spc");
    if (!carried(header, closing, &s, notes_at, err)) return false;
    *out = std::move(s);
    return true;
}

// nv-spc's N42 export. A document another program wrote is refused, not guessed at.
bool parse_n42(std::string_view text, spc_spectrum* out, spc_error* err) {
    pugi::xml_document doc;
    pugi::xml_parse_result res = doc.load_buffer(text.data(), text.size());
    auto line_of = [&](ptrdiff_t offset) {
        if (offset < 0 || static_cast<size_t>(offset) > text.size()) return 0;
        return 1 + static_cast<int>(std::count(text.begin(), text.begin() + offset, '\n'));
    };
    if (!res) return fail(err, line_of(res.offset), std::string("not XML: ") + res.description());
    auto root = doc.document_element();
    std::string creator = root.child_value("RadInstrumentDataCreatorName");
    if (std::string(root.name()) != "RadInstrumentData" || creator.rfind(SPC_N42_CREATOR, 0) != 0)
        return fail(err, 0,
                    "an N42 file not written by nv-spc (creator '" + creator.substr(0, 40) +
                        "'): nv-spc reads its own exports only");
    spc_spectrum s;
    s.format = "n42";
    auto data = root.child("RadMeasurement").child("Spectrum").child("ChannelData");
    if (std::string(data.attribute("compressionCode").value()) != "None")
        return fail(err, line_of(data.offset_debug()), "channel data missing or compressed");
    std::string_view words = data.child_value();
    for (size_t at = 0; at < words.size();) {
        size_t from = words.find_first_not_of(" \t\r\n", at);
        if (from == std::string_view::npos) break;
        size_t to = std::min(words.find_first_of(" \t\r\n", from), words.size());
        int32_t c;
        if (!parse_count(words.substr(from, to - from), &c))
            return fail(err, line_of(data.offset_debug()),
                        quote(words.substr(from, to - from)) + " is not a channel count");
        if (s.counts.size() == static_cast<size_t>(SPC_MAX_CHANNELS))
            return fail(err, line_of(data.offset_debug()),
                        "more than " + std::to_string(SPC_MAX_CHANNELS) + " channels");
        s.counts.push_back(c);
        at = to;
    }
    // The header and closing line are remarks of the measurement; earlier exports put them at
    // the document's top, and those still read.
    std::string header, closing;
    for (auto at : {root.child("RadMeasurement"), root})
        for (auto remark : at.children("Remark")) {
            std::string t = remark.child_value();
            if (t.rfind(SPC_HEADER_NOTE, 0) == 0) header = t.substr(std::strlen(SPC_HEADER_NOTE));
            if (t.rfind(SPC_CLOSING_NOTE, 0) == 0)
                closing = t.substr(std::strlen(SPC_CLOSING_NOTE));
        }
    auto cal = root.child("EnergyCalibration");
    if (cal) {
        double c[3];
        if (!three_numbers(cal.child_value("CoefficientValues"), c))
            return fail(err, line_of(cal.offset_debug()),
                        "CoefficientValues are not three numbers");
        // The file's coefficients give the energy of each channel's lower edge.
        s.calib.set = true;
        s.calib.offset = c[0] + 0.5 * c[1] + 0.25 * c[2];
        s.calib.gain = c[1] + c[2];
        s.calib.quad = c[2];
    }
    if (!carried(header, closing, &s, 0, err)) return false;
    *out = std::move(s);
    return true;
}

}  // namespace

bool spc_closing_line(std::string_view s, double* scale) {
    if (s == SPC_EVENT_CLOSING) {
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

bool spc_parse(std::string_view text, spc_spectrum* out, spc_error* err) {
    *err = spc_error{};
    if (text.empty()) return fail(err, 0, "the file is empty");
    if (text.size() > SPC_MAX_FILE_BYTES)
        return fail(err, 0, "file too large (" + std::to_string(text.size()) + " bytes)");
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first != std::string_view::npos && text[first] == '<') return parse_n42(text, out, err);
    std::string_view line1 = text.substr(0, text.find('\n'));
    if (line1.substr(0, 1) == "#" || line1.find(',') != std::string_view::npos)
        return parse_csv(text, out, err);
    return parse_spc(text, out, err);
}

std::string spc_display_name(const std::string& path) {
    return path == "-" ? "standard input" : path;
}

bool spc_read_file(const std::string& path, spc_spectrum* out, std::string* message) {
    std::string name = spc_display_name(path);
    int fd = path == "-" ? STDIN_FILENO
                         : open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *message = name + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    std::string refusal;
    if (fstat(fd, &st) != 0)
        refusal = std::strerror(errno);
    else if (S_ISDIR(st.st_mode))
        refusal = "is a directory";
    else if (path != "-" && !S_ISREG(st.st_mode))
        refusal = S_ISFIFO(st.st_mode) ? "not a regular file (a FIFO); use - for standard input"
                  : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "not a regular file (a device)"
                                                               : "not a regular file";
    else if (S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > SPC_MAX_FILE_BYTES)
        refusal = "file too large (" + std::to_string(st.st_size) + " bytes, at most " +
                  std::to_string(SPC_MAX_FILE_BYTES) + ")";
    std::string text;
    // Standard input may be endless (/dev/zero): it is read up to one byte past the bound.
    char buf[65536];
    while (refusal.empty() && text.size() <= SPC_MAX_FILE_BYTES) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            refusal = "no data to read";
        } else if (n < 0) {
            refusal = std::string("read error: ") + std::strerror(errno);
        }
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    if (fd != STDIN_FILENO) close(fd);
    if (refusal.empty() && text.size() > SPC_MAX_FILE_BYTES)
        refusal = "file too large (more than " + std::to_string(SPC_MAX_FILE_BYTES) + " bytes)";
    if (!refusal.empty()) {
        *message = name + ": " + refusal;
        return false;
    }
    spc_error err;
    if (spc_parse(text, out, &err)) return true;
    *message =
        name + (err.line > 0 ? ":" + std::to_string(err.line) : std::string()) + ": " + err.what;
    return false;
}

int64_t spc_total(const spc_spectrum& s) {
    int64_t t = 0;
    for (int32_t c : s.counts) t += c;
    return t;
}
