// CSV of two or three columns: channel,counts / energy,counts / channel,energy,counts, with a
// header row naming them (in any order, "channel", "energy" or "energy_keV" or "Energy (MeV)",
// "counts") or without one (then two columns are channel,counts when the first counts up by
// one from a whole number, else energy,counts). Fields are separated by commas, semicolons or
// tabs (the first of these the first row holds) and may be quoted. The energies become the
// calibration: the quadratic nearest to them.
//
// nv-spc's earlier exports began with "# key=value" comments; their header values, closing
// line and calibration are read as before.
#include <algorithm>
#include <cmath>

#include "spc_formats.h"

namespace {

enum class column { channel, energy, counts };

std::string_view trim(std::string_view s) {
    size_t a = s.find_first_not_of(" \t\r"), b = s.find_last_not_of(" \t\r");
    s = a == std::string_view::npos ? std::string_view() : s.substr(a, b - a + 1);
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"') s = s.substr(1, s.size() - 2);
    return s;
}

void split(std::string_view line, char sep, std::vector<std::string_view>* fields) {
    fields->clear();
    for (size_t at = 0;;) {
        size_t end = line.find(sep, at);
        fields->push_back(trim(line.substr(at, end == std::string_view::npos ? end : end - at)));
        if (end == std::string_view::npos) return;
        at = end + 1;
    }
}

// A header row's name as a column, and the factor to keV of an energy's unit.
bool named(std::string_view field, column* c, double* kev) {
    std::string n;
    for (char ch : field)
        if (ch != ' ' && ch != '_' && ch != '(' && ch != ')' && ch != '[' && ch != ']')
            n.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(ch))));
    *kev = 1;
    for (std::string_view name : {"channel", "chan", "ch", "channelnumber", "bin", "index"})
        if (n == name) return *c = column::channel, true;
    for (std::string_view name : {"counts", "count", "cts", "data"})
        if (n == name) return *c = column::counts, true;
    if (n == "energy" || n == "e" || n == "kev" || n == "energykev" || n == "ekev")
        return *c = column::energy, true;
    if (n == "mev" || n == "energymev" || n == "emev")
        return *kev = 1000, *c = column::energy, true;
    return false;
}

}  // namespace

bool spc_parse_csv(std::string_view text, spc_spectrum* out, spc_error* err) {
    spc_spectrum s;
    s.format = "csv";
    s.header = false;
    std::string header, closing, exact;
    bool carried = false;
    int notes_at = 0, number = 0;
    std::vector<column> roles;
    double kev = 1;
    char sep = 0;
    bool names_row = false;
    std::vector<std::string_view> fields;
    std::vector<double> first_col, energies;  // the first column (two without a header row)
    std::vector<int> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = std::min(text.find('\n', at), text.size());
        std::string_view line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        at = end + 1;
        ++number;
        if (sep == 0 && line.substr(0, 1) == "#") {
            size_t eq = line.find('=');
            std::string_view key = eq == std::string_view::npos ? "" : line.substr(0, eq);
            std::string value(eq == std::string_view::npos ? "" : line.substr(eq + 1));
            if (key == "# header") header = value, notes_at = number, carried = true;
            if (key == "# closing_line") closing = value, carried = true;
            if (key == "# calibration_keV") exact = value.empty() ? " " : value;
            continue;
        }
        if (trim(line).empty()) continue;
        if (sep == 0) {
            sep = line.find(',') != std::string_view::npos    ? ','
                  : line.find(';') != std::string_view::npos  ? ';'
                  : line.find('\t') != std::string_view::npos ? '\t'
                                                              : 0;
            if (sep == 0)
                return spc_fail(err, number,
                                spc_quote(line) + ": a CSV spectrum has two or three columns");
            split(line, sep, &fields);
            if (fields.size() < 2 || fields.size() > 3)
                return spc_fail(err, number,
                                spc_quote(line) + ": a CSV spectrum has two or three columns");
            double v;
            bool names = std::any_of(fields.begin(), fields.end(),
                                     [&](std::string_view f) { return !spc_number(f, &v); });
            if (names) {
                names_row = true;
                for (size_t k = 0; k < fields.size(); ++k) {
                    column c;
                    double unit;
                    if (!named(fields[k], &c, &unit) ||
                        std::find(roles.begin(), roles.end(), c) != roles.end())
                        return spc_fail(err, number,
                                        "the header row's " + spc_quote(fields[k]) +
                                            " is not a column nv-spc reads (channel, energy, "
                                            "counts), or a second one");
                    if (c == column::energy) kev = unit;
                    roles.push_back(c);
                }
                if (std::find(roles.begin(), roles.end(), column::counts) == roles.end())
                    return spc_fail(err, number, "the header row names no counts column");
                continue;
            }
            // Without names: three columns are channel, energy, counts; the first of two is
            // decided below.
            roles = fields.size() == 3
                        ? std::vector<column>{column::channel, column::energy, column::counts}
                        : std::vector<column>{column::channel, column::counts};
        }
        split(line, sep, &fields);
        if (fields.size() != roles.size())
            return spc_fail(err, number,
                            spc_quote(line) + " has " + std::to_string(fields.size()) +
                                " fields, the file " + std::to_string(roles.size()));
        if (s.counts.size() == static_cast<size_t>(SPC_MAX_CHANNELS))
            return spc_fail(err, number,
                            "more than " + std::to_string(SPC_MAX_CHANNELS) + " channels");
        for (size_t k = 0; k < fields.size(); ++k) {
            double v;
            int32_t c;
            if (roles[k] == column::counts) {
                if (!spc_whole_count(fields[k], &c))
                    return spc_fail(err, number,
                                    spc_quote(fields[k]) + " is not a channel count (row " +
                                        spc_quote(line) + ")");
                s.counts.push_back(c);
            } else if (!spc_number(fields[k], &v)) {
                return spc_fail(err, number, spc_quote(fields[k]) + " is not a number");
            } else if (roles[k] == column::energy) {
                energies.push_back(v * kev);
            } else {
                first_col.push_back(v);
            }
        }
        lines.push_back(number);
    }
    if (sep == 0 || s.counts.empty()) return spc_fail(err, number, "a CSV spectrum without rows");
    // The channel column counts up by one from a whole number; without a header row a first
    // column that does not is the energies.
    size_t n = s.counts.size();
    if (!first_col.empty()) {
        bool channels = first_col[0] >= 0 && first_col[0] <= SPC_MAX_CHANNELS &&
                        first_col[0] == std::floor(first_col[0]);
        size_t bad = 0;
        for (size_t i = 1; channels && i < n; ++i)
            if (first_col[i] != first_col[0] + static_cast<double>(i)) channels = false, bad = i;
        if (!channels && (roles.size() == 3 || names_row)) {
            char what[120];
            std::snprintf(what, sizeof what,
                          bad ? "channel %.10g after %.10g" : "channel %.10g first", first_col[bad],
                          bad ? first_col[bad - 1] : 0);
            return spc_fail(err, lines[bad],
                            std::string(what) + ": channels count up by one from a whole number");
        }
        if (!channels) {
            energies = first_col;
        } else if (first_col[0] > 0) {
            std::vector<int32_t> counts;
            if (!spc_pad_to(&counts, static_cast<int64_t>(first_col[0])) ||
                counts.size() + n > static_cast<size_t>(SPC_MAX_CHANNELS))
                return spc_fail(err, lines[0],
                                "channels beyond " + std::to_string(SPC_MAX_CHANNELS));
            counts.insert(counts.end(), s.counts.begin(), s.counts.end());
            s.counts = std::move(counts);
        }
    }
    size_t pad = s.counts.size() - n;
    if (!energies.empty()) {
        for (size_t i = 1; i < energies.size(); ++i)
            if (!(energies[i] > energies[i - 1]))
                return spc_fail(err, lines[i], "the energies must rise from row to row");
        double worst = 0;
        spc_calib c = spc_calib_fit(energies, &worst);
        if (c.set && pad > 0) {  // fitted from the first row, which is channel `pad`
            double f = static_cast<double>(pad);
            c.offset = c.offset - c.gain * f + c.quad * f * f;
            c.gain = c.gain - 2 * c.quad * f;
        }
        s.calib = c;
        if (!c.set)
            s.notes.push_back("one energy is no calibration: channels");
        else if (worst > 0.05)
            s.notes.push_back(
                "the energies are not a quadratic of the channel: approximated (up to " +
                spc_seconds(std::round(worst * 1000) / 1000) + " keV off)");
    }
    if (!exact.empty()) {
        std::vector<double> c;
        spc_words w{exact};
        std::string_view word;
        double v;
        while (w.next(&word) && spc_number(word, &v)) c.push_back(v);
        if (c.size() != 3 || w.next(&word))
            return spc_fail(err, 0, "a calibration is three numbers");
        std::string note;
        s.calib = spc_calib_from_poly(c, false, static_cast<int>(s.counts.size()), &note);
    }
    if (carried && !spc_carried(header, closing, &s, notes_at, err)) return false;
    *out = std::move(s);
    return true;
}
