// The two formats a lab's multichannel analysers hand over.
//
// The ASCII spectrum (.spe): blocks, each a line "$NAME:" followed by its lines.
//   $SPEC_ID:   the sample's description (first line kept)
//   $DATE_MEA:  the start as the analyser's clock gave it ("mm/dd/yyyy hh:mm:ss"), shown as is
//   $MEAS_TIM:  "LIVE REAL" in seconds
//   $DATA:      "FIRST LAST" channel, then LAST - FIRST + 1 counts, one or several a line
//   $ENER_FIT:  "OFFSET GAIN" in keV: energy of channel number x = OFFSET + GAIN x
//   $MCA_CAL:   the number of coefficients, then the coefficients of x^0, x^1... and the unit
// Other blocks are passed over.
//
// The binary integer spectrum (.chn), little-endian:
//   0   int16   -1, the kind of file
//   2   uint16  the analyser's number       4  uint16  the segment
//   6   char[2] the start's seconds         8  uint32  real time in 20 ms ticks
//   12  uint32  live time in 20 ms ticks    16 char[8] the start's date "DDMMMYY" and '1' after
//   1999 24  char[4] the start's "HHMM"          28 uint16  the first channel's number 30  uint16
//   the number of channels      32 uint32 per channel: the counts
// and a trailer of 512 bytes: int16 -101 or -102, int16 unused, float32 energy offset, gain and
// (with -102) quadratic term of channel number x; at 256 and 320 the lengths (one byte) and
// texts (63 bytes) of the detector's and the sample's descriptions.
#include <cmath>
#include <cstring>

#include "spc_formats.h"

namespace {

std::string_view trim(std::string_view s) {
    size_t a = s.find_first_not_of(" \t\r"), b = s.find_last_not_of(" \t\r");
    return a == std::string_view::npos ? std::string_view() : s.substr(a, b - a + 1);
}

// The whole numbers of a line, all of them; false when one is not a number.
bool line_numbers(std::string_view line, std::vector<double>* out) {
    spc_words w{line};
    std::string_view word;
    while (w.next(&word)) {
        double v;
        if (!spc_number(word, &v)) return false;
        out->push_back(v);
    }
    return true;
}

uint32_t u32(std::string_view b, size_t at) {
    auto u = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(b[at + k])); };
    return u(0) | u(1) << 8 | u(2) << 16 | u(3) << 24;
}

unsigned u16(std::string_view b, size_t at) {
    return static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8;
}

float f32(std::string_view b, size_t at) {
    uint32_t bits = u32(b, at);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// "DDMMMYY" with the century mark, "HHMM" and "SS" as "YYYY-MM-DD hh:mm:ss"; empty when they
// are not a date.
std::string chn_start(std::string_view date, std::string_view hhmm, std::string_view ss) {
    static constexpr const char* MONTHS[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                             "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    auto two = [](std::string_view s, size_t at) {
        return std::isdigit(static_cast<unsigned char>(s[at])) &&
                       std::isdigit(static_cast<unsigned char>(s[at + 1]))
                   ? (s[at] - '0') * 10 + (s[at + 1] - '0')
                   : -1;
    };
    int month = 0;
    for (int m = 0; m < 12; ++m)
        if (date.substr(2, 3) == MONTHS[m]) month = m + 1;
    int day = two(date, 0), year = two(date, 5), h = two(hhmm, 0), mi = two(hhmm, 2),
        s = two(ss, 0);
    if (month == 0 || day < 1 || day > 31 || year < 0 || h < 0 || h > 23 || mi < 0 || mi > 59 ||
        s < 0 || s > 59)
        return "";
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d",
                  (date[7] == '1' ? 2000 : 1900) + year, month, day, h, mi, s);
    return buf;
}

}  // namespace

bool spc_parse_spe(std::string_view text, spc_spectrum* out, spc_error* err) {
    spc_spectrum s;
    s.format = "spe";
    s.header = false;
    std::string block, id, date;
    int block_line = 0, in_block = 0, data_line = 0;  // in_block: lines of the block so far
    int64_t first = 0, last = -1;
    bool data = false;
    std::vector<double> fit, cal;
    size_t cal_terms = 0;
    bool mev = false;
    auto data_done = [&]() {
        int64_t want = last - first + 1, got = static_cast<int64_t>(s.counts.size()) - first;
        if (got == want) return true;
        return spc_fail(err, data_line,
                        "the $DATA: block gives channels " + std::to_string(first) + " to " +
                            std::to_string(last) + " (" + std::to_string(want) +
                            "), the file holds " + std::to_string(got) + " counts");
    };
    int number = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = std::min(text.find('\n', at), text.size());
        std::string_view line = trim(text.substr(at, end - at));
        at = end + 1;
        ++number;
        if (line.substr(0, 1) == "$") {
            if (block == "DATA" && !data_done()) return false;
            if (line.back() != ':')
                return spc_fail(err, number, spc_quote(line) + " is not a block name ($NAME:)");
            block = std::string(line.substr(1, line.size() - 2));
            for (auto& c : block) c = c == '.' ? '_' : c;
            block_line = number;
            in_block = 0;
            if (block == "DATA" && data) return spc_fail(err, number, "a second $DATA: block");
            continue;
        }
        if (line.empty() && block != "SPEC_ID") continue;
        ++in_block;
        std::vector<double> v;
        if (block == "SPEC_ID" && in_block == 1) {
            id = std::string(line);
        } else if (block == "DATE_MEA" && in_block == 1) {
            date = std::string(line);
        } else if (block == "MEAS_TIM" && in_block == 1) {
            if (!line_numbers(line, &v) || v.size() != 2 || v[0] < 0 || v[1] < 0 ||
                v[0] > SPC_MAX_SECONDS || v[1] > SPC_MAX_SECONDS)
                return spc_fail(err, number,
                                spc_quote(line) + " is not the live and real time (two numbers)");
            s.live_time = v[0], s.real_time = v[1];
        } else if (block == "DATA" && in_block == 1) {
            if (!line_numbers(line, &v) || v.size() != 2 || v[0] < 0 || v[1] < v[0] ||
                v[1] >= SPC_MAX_CHANNELS || v[0] != std::floor(v[0]) || v[1] != std::floor(v[1]) ||
                !spc_pad_to(&s.counts, static_cast<int64_t>(v[0])))
                return spc_fail(err, number,
                                spc_quote(line) +
                                    " is not the first and last channel (from 0, at most " +
                                    std::to_string(SPC_MAX_CHANNELS) + ")");
            first = static_cast<int64_t>(v[0]), last = static_cast<int64_t>(v[1]);
            data = true;
            data_line = block_line;
        } else if (block == "DATA") {
            spc_words w{line};
            std::string_view word;
            while (w.next(&word)) {
                int32_t c;
                if (!spc_whole_count(word, &c))
                    return spc_fail(err, number, spc_quote(word) + " is not a channel count");
                if (static_cast<int64_t>(s.counts.size()) > last) {
                    s.counts.push_back(c);  // counted by data_done()
                    return data_done();
                }
                s.counts.push_back(c);
            }
        } else if (block == "ENER_FIT" && in_block == 1) {
            if (!line_numbers(line, &fit) || fit.size() < 2)
                return spc_fail(err, number, spc_quote(line) + " is not an offset and a gain");
        } else if (block == "MCA_CAL" && in_block == 1) {
            if (!line_numbers(line, &v) || v.size() != 1 || v[0] < 1 || v[0] > 8)
                return spc_fail(err, number, spc_quote(line) + " is not a number of coefficients");
            cal_terms = static_cast<size_t>(v[0]);
        } else if (block == "MCA_CAL" && in_block == 2) {
            spc_words w{line};
            std::string_view word;
            while (w.next(&word) && cal.size() < cal_terms) {
                double c;
                if (!spc_number(word, &c))
                    return spc_fail(err, number, spc_quote(word) + " is not a coefficient");
                cal.push_back(c);
            }
            if (cal.size() < cal_terms)
                return spc_fail(err, number, "fewer coefficients than $MCA_CAL: announces");
            mev = word == "MeV";  // the unit follows the coefficients
        }
    }
    if (block == "DATA" && !data_done()) return false;
    if (!data) return spc_fail(err, 0, "an ASCII spectrum without its $DATA: block");
    std::vector<double>& c = !cal.empty() ? cal : fit;
    if (!c.empty()) {
        if (mev)
            for (double& x : c) x *= 1000;
        std::string note;
        s.calib = spc_calib_from_poly(c, false, static_cast<int>(s.counts.size()), &note);
        if (!note.empty()) s.notes.push_back(note);
    }
    s.source = "ASCII spectrum";
    if (!id.empty()) s.source += " " + spc_quote(id, 60);
    if (!date.empty()) s.source += ", started " + spc_quote(date) + " (the analyser's clock)";
    *out = std::move(s);
    return true;
}

bool spc_parse_chn(std::string_view b, spc_spectrum* out, spc_error* err) {
    constexpr size_t HEADER = 32, TRAILER = 512;
    if (b.size() < HEADER)
        return spc_fail(
            err, 0,
            "an integer spectrum's header is 32 bytes, the file holds " + std::to_string(b.size()));
    size_t n = u16(b, 30), first = u16(b, 28);
    if (n == 0) return spc_fail(err, 0, "an integer spectrum of no channels");
    size_t held = (b.size() - HEADER) / 4;
    if (held < n)
        return spc_fail(err, 0,
                        "the file ends after " + std::to_string(held) + " of its " +
                            std::to_string(n) + " channels (cut short?)");
    spc_spectrum s;
    s.format = "chn";
    s.header = false;
    spc_pad_to(&s.counts, static_cast<int64_t>(first));
    for (size_t i = 0; i < n; ++i) {
        uint32_t c = u32(b, HEADER + 4 * i);
        if (c > INT32_MAX)
            return spc_fail(err, 0,
                            "channel " + std::to_string(first + i) + " counts " +
                                std::to_string(c) + ", beyond 2147483647");
        s.counts.push_back(static_cast<int32_t>(c));
    }
    s.real_time = u32(b, 8) * 0.02;
    s.live_time = u32(b, 12) * 0.02;
    std::string_view t = b.substr(HEADER + 4 * n);
    int tag = t.size() >= 2 ? static_cast<int16_t>(u16(t, 0)) : 0;
    if (t.size() >= 16 && (tag == -101 || tag == -102)) {
        std::vector<double> c = {f32(t, 4), f32(t, 8), tag == -102 ? f32(t, 12) : 0.0};
        if (std::isfinite(c[0]) && std::isfinite(c[1]) && std::isfinite(c[2])) {
            std::string note;
            s.calib = spc_calib_from_poly(c, false, static_cast<int>(s.counts.size()), &note);
        } else {
            s.notes.push_back("the trailer's energy calibration is not a number: channels");
        }
    } else if (!t.empty()) {
        s.notes.push_back("no energy calibration: the trailer is cut short or of an unknown kind");
    }
    s.source = "integer spectrum of analyser " + std::to_string(u16(b, 2)) + ", segment " +
               std::to_string(u16(b, 4));
    if (t.size() >= TRAILER && (tag == -101 || tag == -102)) {
        for (auto [at, what] : {std::pair<size_t, const char*>{256, "detector"}, {320, "sample"}}) {
            size_t len = std::min<size_t>(static_cast<unsigned char>(t[at]), 63);
            std::string_view d = trim(t.substr(at + 1, len));
            if (!d.empty()) s.source += std::string(", ") + what + " " + spc_quote(d, 63);
        }
    }
    std::string start = chn_start(b.substr(16, 8), b.substr(24, 4), b.substr(6, 2));
    if (!start.empty()) s.source += ", started " + start + " (the analyser's clock)";
    *out = std::move(s);
    return true;
}
