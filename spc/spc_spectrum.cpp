#include "spc_spectrum.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "safe_text.h"
#include "spc_formats.h"

namespace {

// A decimal integer as "%d" writes it (a minus sign allowed, no plus, no blanks).
bool parse_int(std::string_view s, int64_t* out) {
    size_t i = !s.empty() && s[0] == '-' ? 1 : 0;
    if (i == s.size() || s.size() - i > 12) return false;
    int64_t v = 0;
    for (size_t k = i; k < s.size(); ++k) {
        if (s[k] < '0' || s[k] > '9') return false;
        v = v * 10 + (s[k] - '0');
    }
    *out = i ? -v : v;
    return true;
}

// One line after another, without holding them all: a file of ten million empty lines costs no
// more than its bytes. Bytes that no writer of this layout produces end the reading.
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
                return spc_fail(err, number, what);
            }
            if (c == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))
                return spc_fail(err, number, "carriage return inside the line");
        }
        return spc_fail(err, number, "the last line has no line end (file cut short?)");
    }
};

bool header_value(std::string_view line, int32_t* out) {
    int64_t v = 0;
    if (!parse_int(line, &v) || v < INT32_MIN || v > INT32_MAX) return false;
    *out = static_cast<int32_t>(v);
    return true;
}

}  // namespace

bool spc_fail(spc_error* err, int line, std::string what) {
    err->line = line;
    err->what = std::move(what);
    return false;
}

std::string spc_quote(std::string_view text, size_t max) {
    std::string_view part = text.substr(0, max);
    std::string q(1, '\'');
    q += device_text(std::string(part).c_str(), part.size());
    return q + (text.size() > max ? "...'" : "'");
}

int spc_line_of(std::string_view text, size_t offset) {
    offset = std::min(offset, text.size());
    return 1 + static_cast<int>(std::count(text.begin(), text.begin() + offset, '\n'));
}

bool spc_number(std::string_view word, double* out) {
    if (word.empty() || word.size() > 64 || std::isspace(static_cast<unsigned char>(word[0])))
        return false;
    char buf[65];
    std::memcpy(buf, word.data(), word.size());
    buf[word.size()] = '\0';
    char* end = nullptr;
    double v = std::strtod(buf, &end);
    // strtod also reads "inf", "nan" and hexadecimal: none of them is a number of these files.
    if (end != buf + word.size() || !std::isfinite(v) ||
        word.find_first_of("xXnN") != std::string_view::npos)
        return false;
    *out = v;
    return true;
}

bool spc_whole_count(std::string_view word, int32_t* out) {
    double v;
    if (!spc_number(word, &v) || v < 0 || v > INT32_MAX || v != std::floor(v)) return false;
    *out = static_cast<int32_t>(v);
    return true;
}

bool spc_words::next(std::string_view* word) {
    constexpr std::string_view blanks = " \t\r\n";
    size_t from = text.find_first_not_of(blanks, at);
    if (from == std::string_view::npos) {
        at = text.size();
        return false;
    }
    size_t to = std::min(text.find_first_of(blanks, from), text.size());
    *word = text.substr(from, to - from);
    at = to;
    return true;
}

spc_calib spc_calib_fit(const std::vector<double>& energies, double* worst) {
    // Least squares in t = (i - m) / h, from -1 to 1: in the channel itself the normal
    // equations of a million channels would hold 1e24 and lose every digit.
    spc_calib cal;
    size_t n = energies.size();
    auto worst_of = [&](const spc_calib& c) {
        double w = 0;
        for (size_t i = 0; i < n; ++i)
            w = std::max(w, std::abs(spc_energy(c, static_cast<double>(i)) - energies[i]));
        return w;
    };
    // Energies on a straight line (to a thousandth of a keV) give that line exactly, without the
    // rounding of a fit.
    if (n >= 2) {
        cal.set = true;
        cal.offset = energies[0];
        cal.gain = (energies[n - 1] - energies[0]) / static_cast<double>(n - 1);
        if ((*worst = worst_of(cal)) <= 1e-3) return cal;
        cal = spc_calib{};
    }
    double m = (n - 1) / 2.0, h = std::max(m, 1.0), q[3];
    std::vector<double> t(n), w(n, 1.0);
    for (size_t i = 0; i < n; ++i) t[i] = (i - m) / h;
    if (n < 2 || !spc_polyfit(t, energies, w, n >= 3 ? 3 : 2, q)) return cal;
    cal.set = true;
    cal.offset = q[0] - q[1] * m / h + q[2] * m * m / (h * h);
    cal.gain = q[1] / h - 2 * q[2] * m / (h * h);
    cal.quad = q[2] / (h * h);
    *worst = worst_of(cal);
    return cal;
}

spc_calib spc_calib_from_poly(const std::vector<double>& c, bool edge, int channels,
                              std::string* note) {
    spc_calib cal;
    cal.set = true;
    double c0 = !c.empty() ? c[0] : 0, c1 = c.size() > 1 ? c[1] : 0, c2 = c.size() > 2 ? c[2] : 0;
    // Channel i's centre lies at position i + 0.5 when positions count lower edges.
    double h = edge ? 0.5 : 0;
    cal.offset = c0 + h * c1 + h * h * c2;
    cal.gain = c1 + 2 * h * c2;
    cal.quad = c2;
    bool higher = false;
    for (size_t k = 3; k < c.size(); ++k) higher |= c[k] != 0;
    if (!higher || channels < 3) return cal;
    std::vector<double> energies(channels);
    for (int i = 0; i < channels; ++i)
        for (size_t k = c.size(); k-- > 0;) energies[i] = energies[i] * (i + h) + c[k];
    double worst = 0;
    cal = spc_calib_fit(energies, &worst);
    if (worst > 0.1) {
        char buf[160];
        std::snprintf(buf, sizeof buf,
                      "the energy calibration's terms beyond the square are approximated by a "
                      "quadratic (up to %.2g keV off)",
                      worst);
        *note = buf;
    }
    return cal;
}

bool spc_carried(std::string_view header, std::string_view closing, spc_spectrum* s, int line,
                 spc_error* err) {
    size_t blank = header.find(' ');
    if (blank == std::string_view::npos || !header_value(header.substr(0, blank), &s->first) ||
        !header_value(header.substr(blank + 1), &s->second))
        return spc_fail(err, line,
                        "the header values " + spc_quote(header) + " are not two whole numbers");
    if (!spect_read_closing(closing, &s->scale))
        return spc_fail(err, line, spc_quote(closing) + " is not a closing line nv-spc reads");
    s->header = true;
    s->closing = std::string(closing);
    s->real_time = s->first;
    s->live_time = s->second;
    if (s->closing == SPECT_EVENT_CLOSING && s->counts.size() != SPECT_EVENT_CHANNELS)
        return spc_fail(err, line, "the closing line \"6.8 0 3 0\" needs 1024 channels");
    return true;
}

bool spc_pad_to(std::vector<int32_t>* counts, int64_t first) {
    if (first < 0 || first > SPC_MAX_CHANNELS) return false;
    counts->assign(static_cast<size_t>(first), 0);
    return true;
}

// The spectrum text file.
bool spc_parse_text(std::string_view text, spc_spectrum* out, spc_error* err) {
    line_reader r{text};
    std::string_view line;
    spc_spectrum s;
    int64_t v = 0;
    for (int k = 0; k < 2; ++k) {
        if (!r.next(&line, err))
            return err->what.empty() ? spc_fail(err, k + 1, "missing line: header value expected")
                                     : false;
        if (!header_value(line, k == 0 ? &s.first : &s.second))
            return spc_fail(err, k + 1, spc_quote(line) + " is not a whole number (header value)");
    }
    // Channels run until the first line that is not a whole number: that must be the closing
    // line, and it must be the last one.
    bool more;
    while ((more = r.next(&line, err)) && parse_int(line, &v)) {
        if (v < 0) return spc_fail(err, r.number, "negative count " + std::string(line));
        if (v > INT32_MAX)
            return spc_fail(err, r.number, "count " + std::string(line) + " out of range");
        if (s.counts.size() == static_cast<size_t>(SPC_MAX_CHANNELS))
            return spc_fail(err, r.number,
                            "more than " + std::to_string(SPC_MAX_CHANNELS) + " channels");
        s.counts.push_back(static_cast<int32_t>(v));
    }
    if (!more) {
        if (!err->what.empty()) return false;
        return spc_fail(err, r.number + 1,
                        "missing closing line (\"6.8 0 3 0\" or the scale line)");
    }
    if (!spect_read_closing(line, &s.scale)) {
        // One word is a count gone wrong; several words a closing line gone wrong.
        size_t first = line.find_first_not_of(' '), last = line.find_last_not_of(' ');
        bool one_word = first == std::string_view::npos ||
                        line.substr(first, last - first + 1).find(' ') == std::string_view::npos;
        return spc_fail(
            err, r.number,
            spc_quote(line) + (one_word ? " is not a whole number (channel count)"
                                        : " is neither a channel count nor a closing line"));
    }
    s.closing = std::string(line);
    int closing_at = r.number;
    if (r.next(&line, err)) return spc_fail(err, r.number, "extra line after the closing line");
    if (!err->what.empty()) return false;
    if (s.counts.empty()) return spc_fail(err, closing_at, "the spectrum has no channels");
    if (s.closing == SPECT_EVENT_CLOSING && s.counts.size() != SPECT_EVENT_CHANNELS)
        return spc_fail(err, closing_at,
                        "the closing line \"6.8 0 3 0\" follows 1024 channels, found " +
                            std::to_string(s.counts.size()) + " (lines missing?)");
    s.real_time = s.first;
    s.live_time = s.second;
    *out = std::move(s);
    return true;
}

bool spc_parse(std::string_view text, spc_spectrum* out, spc_error* err,
               const std::string& choice) {
    *err = spc_error{};
    if (text.empty()) return spc_fail(err, 0, "the file is empty");
    if (text.size() > SPC_MAX_FILE_BYTES)
        return spc_fail(err, 0, "file too large (" + std::to_string(text.size()) + " bytes)");
    // The binary integer spectrum starts with the 16-bit -1 of its kind; no text does.
    bool ok;
    std::string_view body = text.substr(0, 3) == "\xEF\xBB\xBF" ? text.substr(3) : text;
    size_t first = body.find_first_not_of(" \t\r\n");
    std::string_view line1 = text.substr(0, text.find('\n'));
    if (text.substr(0, 2) == "\xFF\xFF")
        ok = spc_parse_chn(text, out, err);
    else if (first != std::string_view::npos && body[first] == '<')
        ok = spc_parse_n42(text, choice, out, err);
    else if (first != std::string_view::npos && body[first] == '$')
        ok = spc_parse_spe(text, out, err);
    else if (line1.substr(0, 1) == "#" || line1.find_first_of(",;\t") != std::string_view::npos)
        ok = spc_parse_csv(text, out, err);
    else
        ok = spc_parse_text(text, out, err);
    if (ok && out->calib.set &&
        !spc_calib_check(out->calib, static_cast<int>(out->counts.size())).empty()) {
        // Writers put zeros where they have no calibration; anything else that does not rise
        // with the channel is reported.
        if (out->calib.offset != 0 || out->calib.gain != 0 || out->calib.quad != 0)
            out->notes.push_back(
                "the file's energy calibration does not rise over the channels: "
                "channels");
        out->calib = spc_calib{};
    }
    if (ok && out->format != "n42" && !choice.empty() && choice != "1") {
        *out = spc_spectrum{};
        return spc_fail(err, 0,
                        "holds one spectrum: --spectrum 1 or none, not " + spc_quote(choice));
    }
    return ok;
}

std::string spc_display_name(const std::string& path) {
    return path == "-" ? "standard input" : device_text(path.c_str(), path.size());
}

bool spc_read_file(const std::string& path, spc_spectrum* out, std::string* message,
                   const std::string& choice) {
    std::string name = spc_display_name(path), text, refusal;
    if (!spc_read_bytes(path, &text, &refusal)) {
        *message = name + ": " + refusal;
        return false;
    }
    spc_error err;
    if (spc_parse(text, out, &err, choice)) return true;
    *message = name;
    if (err.line > 0) *message += ':' + std::to_string(err.line);
    *message += ": " + err.what;
    return false;
}

int64_t spc_total(const spc_spectrum& s) {
    int64_t t = 0;
    for (int32_t c : s.counts) t += c;
    return t;
}

std::string spc_utc_text(time_t t) {
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::string spc_seconds(double s) {
    char buf[40];
    std::snprintf(buf, sizeof buf, s == std::round(s) ? "%.0f" : "%.3f", s);
    return buf;
}
