// nv-spc: shows a saved spectrum in the terminal or as a figure, finds and measures its peaks,
// names the nuclides they show, follows a detector over a series of spectra, compares two, and
// exports them (N42 XML, CSV). It reads files only; it never talks to an instrument.
//
// Exit status: 0 done, 1 the input could not be read (or the output written), 2 a wrong
// command line. Nothing is written when the input is bad.
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "nv_version.h"
#include "safe_text.h"
#include "spc_calib.h"
#include "spc_compare.h"
#include "spc_export.h"
#include "spc_identify.h"
#include "spc_output.h"
#include "spc_peaks.h"
#include "spc_plot.h"
#include "spc_spectrum.h"

namespace {

constexpr int EXIT_INPUT = 1;
constexpr int EXIT_USAGE = 2;
constexpr const char* DEFAULT_FILE = "spect.spc";

const char* const MAIN_HELP =
    "Usage: nv-spc COMMAND [OPTION]... [FILE]\n"
    "Shows an NV-52 spectrum file (FILE, default spect.spc; - for standard input),\n"
    "finds and measures its peaks, names the nuclides they show, follows a detector\n"
    "over a series of spectra and exports them for analysis tools. It only reads files:\n"
    "the instrument's, N42 from any writer, a lab's .spe and .chn, two- or three-column\n"
    "CSV, and its own exports (--spectrum N|ID picks one of several in an N42 file).\n"
    "\n"
    "Commands:\n"
    "  info     channels, times, count rate, calibrations, peaks, nuclides, regions\n"
    "  plot     the spectrum in the terminal, or as a PNG, SVG or PDF figure (-o)\n"
    "  watch    the terminal plot, redrawn each time FILE is replaced\n"
    "  trend    one row per file: time, count rate, resolution near 662 keV\n"
    "  compare  two spectra per second of live time, and the change of each peak\n"
    "  export   the spectrum as N42.42-2012 XML or CSV\n"
    "\n"
    "Energy calibration (every command; without it, an export's own or channels):\n"
    "  --kev-per-channel K            energy = K * channel\n"
    "  --calibrate CH=KEV[,CH=KEV]... one point: a line through the origin; two: the\n"
    "                                 line through both; three or more: a quadratic\n"
    "                                 by least squares\n"
    "\n"
    "  --help                      this text ('nv-spc COMMAND --help' for a command)\n"
    "  --version                   the version\n"
    "\n"
    "Example: an assay against the simulator, watched from a second terminal.\n"
    "  terminal 1:  nv52-sim --noise-seed 1 --event-ms 200\n"
    "  terminal 2:  nv-term                (3 Net, 0 127.0.0.1, then 'as')\n"
    "  terminal 3:  nv-spc watch           (in nv-term's directory; Ctrl-C ends)\n"
    "  afterwards:  nv-spc info --calibrate 331=661.7\n"
    "               nv-spc plot -o spectrum.png --fit --calibrate 331=661.7\n"
    "  (Built from source, not installed: build/nv52-sim, build/nv-term, build/nv-spc.)\n"
    "\n"
    "Exit status: 0 done, 1 the input cannot be read or the output not written,\n"
    "2 a wrong command line.\n";

// The options, which commands take them, and whether they take a value.
enum : unsigned { INFO = 1, PLOT = 2, WATCH = 4, EXPORT = 8, TREND = 16, COMPARE = 32, ALL = 63 };
struct option_def {
    const char* name;
    unsigned commands;
    bool value;
};
const option_def OPTIONS[] = {
    {"--kev-per-channel", ALL, true},
    {"--calibrate", ALL, true},
    {"--spectrum", ALL, true},
    {"--help", ALL, false},
    {"--json", INFO, false},
    {"--roi", INFO, true},
    {"--csv", TREND, false},
    {"--output", PLOT | EXPORT | COMPARE, true},
    {"--format", EXPORT, true},
    {"--log", PLOT | WATCH | COMPARE, false},
    {"--channels", PLOT | WATCH | COMPARE, false},
    {"--fit", PLOT | WATCH, false},
    {"--width", PLOT | WATCH | COMPARE, true},
    {"--height", PLOT | WATCH | COMPARE, true},
    {"--size", PLOT | COMPARE, true},
};

struct command_def {
    const char* name;
    unsigned bit;
    int min_files, max_files;
    const char* help;
};

const command_def COMMANDS[] = {
    {"info", INFO, 0, 1,
     "Usage: nv-spc info [--json] [--roi A:B]... [CALIBRATION] [FILE]\n"
     "Prints the channel count, the header values (real and live time, s), the closing\n"
     "line, the total counts and count rate (per second of live time), the energy\n"
     "calibration with each point's residual, the FWHM calibration, the peaks\n"
     "(centroid, energy, FWHM, net area above the continuum, count rate, resolution),\n"
     "each fit's continuum and chi-square per degree of freedom, the nuclides the\n"
     "peaks show, and the regions asked for.\n"
     "  --json     the same as one JSON object\n"
     "  --roi A:B  the counts from A to B (keV when calibrated, else channels), with\n"
     "             their uncertainty, and the net counts above a straight line\n"
     "             through the channels beside the region\n"},
    {"plot", PLOT, 0, 1,
     "Usage: nv-spc plot [-o FILE.png|.svg|.pdf] [--size WxH] [--log] [--fit]\n"
     "                   [--channels] [--width N] [--height N] [CALIBRATION] [FILE]\n"
     "Draws the spectrum with its peaks marked: in the terminal (block characters at\n"
     "the terminal's width) or, with -o, as a figure whose format the name's ending\n"
     "chooses.\n"
     "  -o, --output FILE   write the figure to FILE\n"
     "  --size WxH          the figure's size in cm (default 16x10, a report's column\n"
     "                      with 9 pt text)\n"
     "  --log               counts on a logarithmic scale, from a decade below the\n"
     "                      smallest count shown\n"
     "  --fit               the fitted continuum and peaks over the spectrum\n"
     "  --channels          channels on the x axis even when calibrated\n"
     "  --width N           columns (terminal) or pixels (figure, instead of --size)\n"
     "  --height N          plot rows (terminal, default 16) or pixels (figure)\n"},
    {"watch", WATCH, 0, 1,
     "Usage: nv-spc watch [--log] [--fit] [--channels] [--width N] [--height N]\n"
     "                    [CALIBRATION] [FILE]\n"
     "Draws the terminal plot and again each time FILE is written or replaced, so a\n"
     "second terminal shows the spectrum growing during an assay. Ends on Ctrl-C or\n"
     "at the end of standard input (Ctrl-D).\n"},
    {"trend", TREND, 1, 100000,
     "Usage: nv-spc trend [--csv] [CALIBRATION] FILE...\n"
     "One row per file, in the order given: the file's time, the live time, the count\n"
     "rate (per second of live time), and the line nearest 662 keV (the strongest\n"
     "without a calibration): its centroid and its resolution (FWHM / energy, %).\n"
     "  --csv      the rows as CSV\n"},
    {"compare", COMPARE, 2, 2,
     "Usage: nv-spc compare [-o FILE.png|.svg|.pdf] [--size WxH] [--log] [--channels]\n"
     "                      [--width N] [--height N] [CALIBRATION] A B\n"
     "Draws A (bars) and B (dots; a line in a figure) per second of live time, and\n"
     "lists each peak's count rate in both and the difference B - A with its\n"
     "uncertainty.\n"
     "  -o, --output FILE   write the figure to FILE\n"},
    {"export", EXPORT, 0, 1,
     "Usage: nv-spc export -f n42|csv [-o FILE] [CALIBRATION] [FILE]\n"
     "Writes the spectrum for analysis tools, to standard output or FILE; nv-spc reads\n"
     "both back.\n"
     "  -f, --format n42   ANSI N42.42-2012 XML: the instrument, one measurement,\n"
     "                     real and live time, the energy and FWHM calibrations and\n"
     "                     the peaks when calibrated\n"
     "  -f, --format csv   the header row channel,counts (and energy_keV when\n"
     "                     calibrated), then a row per channel\n"
     "  -o, --output FILE  write to FILE instead of standard output\n"},
};

const char* const CALIBRATION_HELP =
    "CALIBRATION: --kev-per-channel K, or --calibrate CH=KEV[,CH=KEV]...\n"
    "--spectrum N|ID: which spectrum of an N42 file that holds several (compare: one\n"
    "for A, a second for B)\n";

struct usage_error {
    std::string what;
};

struct options {
    const command_def* cmd = nullptr;
    std::vector<std::string> files;
    spc_calib calib;  // from the command line (set: it wins over a file's)
    bool json = false, csv = false, log = false, channels = false, fit = false, help = false;
    int width = 0, height = 0;      // 0: the default
    double size_w = 0, size_h = 0;  // cm; 0: the default
    std::string output, format;
    std::vector<std::pair<double, double>> rois;
    std::vector<std::string> spectra;  // --spectrum: one for every file, or compare's A and B
};

double parse_number(const std::string& name, const std::string& v) {
    char* end = nullptr;
    double x = std::strtod(v.c_str(), &end);
    if (v.empty() || *end != '\0' || !std::isfinite(x))
        throw usage_error{name + " needs numbers, not '" + v + "'"};
    return x;
}

int parse_size(const std::string& name, const std::string& v, int min, int max) {
    char* end = nullptr;
    long n = std::strtol(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || n < min || n > max)
        throw usage_error{name + " needs a whole number from " + std::to_string(min) + " to " +
                          std::to_string(max) + ", not '" + v + "'"};
    return static_cast<int>(n);
}

// "A<sep>B" as two numbers.
std::pair<double, double> parse_pair(const std::string& name, const std::string& v, char sep) {
    size_t at = v.find(sep);
    if (at == std::string::npos)
        throw usage_error{name + " needs A" + std::string(1, sep) + "B, not '" + v + "'"};
    return {parse_number(name, v.substr(0, at)), parse_number(name, v.substr(at + 1))};
}

// The output name's ending, in lower case: ".png", ".svg", ".pdf" or something else.
std::string extension_of(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    for (auto& ch : ext) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return ext;
}

options parse(const command_def* cmd, int argc, char** argv) {
    options o;
    o.cmd = cmd;
    bool calibrated = false, no_more_options = false;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (no_more_options || arg == "-" || arg.empty() || arg[0] != '-') {
            if (static_cast<int>(o.files.size()) >= cmd->max_files)
                throw usage_error{cmd->max_files == 1 ? "only one FILE, not '" + arg + "' too"
                                                      : "two files only, not '" + arg + "' too"};
            o.files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            no_more_options = true;
            continue;
        }
        std::string name = arg, value;
        bool has_value = false;
        size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            has_value = true;
        }
        if (name == "-o") name = "--output";
        if (name == "-f") name = "--format";
        const option_def* def = nullptr;
        for (const auto& d : OPTIONS)
            if (name == d.name && (d.commands & cmd->bit)) def = &d;
        if (!def) throw usage_error{"'" + std::string(cmd->name) + "' has no option '" + arg + "'"};
        if (!def->value && has_value) throw usage_error{name + " takes no value"};
        if (def->value && !has_value) {
            if (i + 1 >= argc) throw usage_error{name + " needs a value"};
            value = argv[++i];
        }
        std::string error;
        if (name == "--help") {
            o.help = true;
        } else if (name == "--kev-per-channel" || name == "--calibrate") {
            if (calibrated) throw usage_error{"one calibration only"};
            calibrated = true;
            bool ok = name == "--calibrate" ? spc_calib_points(value, &o.calib, &error)
                                            : spc_calib_per_channel(value, &o.calib, &error);
            if (!ok) throw usage_error{error};
        } else if (name == "--json" || name == "--csv" || name == "--log" || name == "--channels" ||
                   name == "--fit") {
            (name == "--json"       ? o.json
             : name == "--csv"      ? o.csv
             : name == "--log"      ? o.log
             : name == "--channels" ? o.channels
                                    : o.fit) = true;
        } else if (name == "--width") {
            o.width = parse_size(name, value, 20, 20000);
        } else if (name == "--height") {
            o.height = parse_size(name, value, 3, 20000);
        } else if (name == "--size") {
            auto [w, h] = parse_pair(name, value, 'x');
            if (w < 2 || h < 2 || w > 100 || h > 100)
                throw usage_error{"--size needs WxH from 2 to 100 cm each, not '" + value + "'"};
            o.size_w = w, o.size_h = h;
        } else if (name == "--roi") {
            auto r = parse_pair(name, value, ':');
            if (!(r.first < r.second))
                throw usage_error{"--roi needs A below B, not '" + value + "'"};
            o.rois.push_back(r);
        } else if (name == "--spectrum") {
            if (o.spectra.size() >= (cmd->bit == COMPARE ? 2u : 1u))
                throw usage_error{cmd->bit == COMPARE ? "--spectrum twice at most (A, then B)"
                                                      : "one --spectrum only"};
            o.spectra.push_back(value);
        } else if (name == "--output") {
            if (value.empty()) throw usage_error{"--output needs a file name"};
            o.output = value;
        } else if (name == "--format") {
            if (value != "n42" && value != "csv")
                throw usage_error{"--format is n42 or csv, not '" + value + "'"};
            o.format = value;
        }
    }
    if (o.help) return o;
    if (static_cast<int>(o.files.size()) < cmd->min_files)
        throw usage_error{cmd->min_files == 2 ? "needs two files, A and B" : "needs a FILE"};
    if (o.files.empty()) o.files.push_back(DEFAULT_FILE);
    if (cmd->bit == EXPORT && o.format.empty()) throw usage_error{"export needs -f n42|csv"};
    if ((cmd->bit & (PLOT | COMPARE)) && !o.output.empty()) {
        std::string ext = extension_of(o.output);
        if (ext != ".png" && ext != ".svg" && ext != ".pdf")
            throw usage_error{"-o needs a name ending in .png, .svg or .pdf, not '" + o.output +
                              "'"};
    }
    int stdin_files = static_cast<int>(std::count(o.files.begin(), o.files.end(), "-"));
    if (stdin_files > 1) throw usage_error{"standard input (-) can be read once only"};
    if (stdin_files && cmd->bit == WATCH) throw usage_error{"watch follows a file, not -"};
    return o;
}

int terminal_width() {
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    const char* columns = std::getenv("COLUMNS");
    int n = columns ? std::atoi(columns) : 0;
    return n >= 20 ? n : 80;
}

spc_plot_options plot_options(const options& o, bool figure) {
    spc_plot_options p;
    p.log = o.log;
    p.channel_axis = o.channels;
    if (!figure) {
        p.width = o.width ? o.width : terminal_width();
        p.height = o.height ? o.height : 16;
        return p;
    }
    bool png = extension_of(o.output) == ".png";
    if (o.width || o.height) {
        // Pixels (points for SVG and PDF) as given, the text as at 100 pixels per inch.
        p.width = o.width ? o.width : 1000;
        p.height = o.height ? o.height : 600;
        p.point = png ? 100.0 / 72 : 1;
        return p;
    }
    double per_cm = (png ? SPC_FIGURE_DPI : 72) / 2.54;
    p.width = static_cast<int>(std::lround((o.size_w ? o.size_w : SPC_FIGURE_WIDTH_CM) * per_cm));
    p.height = static_cast<int>(std::lround((o.size_h ? o.size_h : SPC_FIGURE_HEIGHT_CM) * per_cm));
    p.point = png ? SPC_FIGURE_DPI / 72 : 1;
    return p;
}

// ---- a spectrum and what is measured in it ------------------------------------------------

struct loaded {
    std::string path, name;  // as given; as messages and titles show it
    spc_spectrum s;
    spc_calib calib;  // the command line's, else the file's
    spc_analysis a;
    time_t saved = 0;  // the file's modification time (now for standard input)
};

// The --spectrum for the file-th file (compare's B takes the second when given).
std::string spectrum_choice(const options& o, size_t file) {
    return o.spectra.empty() ? "" : o.spectra[std::min(file, o.spectra.size() - 1)];
}

bool load(const options& o, const std::string& path, loaded* out, size_t file = 0) {
    out->path = path;
    out->name = spc_display_name(path);
    std::string message;
    if (!spc_read_file(path, &out->s, &message, spectrum_choice(o, file))) {
        std::fprintf(stderr, "nv-spc: %s\n", message.c_str());
        return false;
    }
    for (const auto& note : out->s.notes)
        std::fprintf(stderr, "nv-spc: %s: %s\n", out->name.c_str(), note.c_str());
    out->calib = o.calib.set ? o.calib : out->s.calib;
    std::string bad = spc_calib_check(out->calib, static_cast<int>(out->s.counts.size()));
    if (!bad.empty()) {
        std::fprintf(stderr, "nv-spc: %s: %s\n", out->name.c_str(), bad.c_str());
        return false;
    }
    struct stat st {};
    out->saved = path != "-" && stat(path.c_str(), &st) == 0 ? st.st_mtime : time(nullptr);
    if (out->s.has_start) out->saved = out->s.start + std::lround(std::max(out->s.real_time, 0.0));
    out->a = spc_analyse(out->s.counts, {}, out->calib);
    return true;
}

// The live time when the header gives a usable one (above 0 and not above the real time);
// 0 otherwise, and count rates are not given.
double live_seconds(const spc_spectrum& s) {
    double real = s.real_time, live = s.live_time;
    return live > 0 && (real <= 0 || live <= real) ? live : 0;
}

// "Header:" and the header values as times, or "Times:" for a file without them.
std::string header_text(const spc_spectrum& s) {
    if (!s.header) {
        auto time = [](const char* what, double v) {
            return std::string(what) + (v > 0 ? " " + spc_seconds(v) + " s" : " not given");
        };
        std::string t = "Times:        " + time("real time", s.real_time) + ", " +
                        time("live time", s.live_time);
        if (live_seconds(s) <= 0)
            t += s.live_time > 0 ? ": above the real time, no count rates" : ", no count rates";
        return t;
    }
    std::string t = "Header:       " + std::to_string(s.first) + " " + std::to_string(s.second) +
                    " (real time " + std::to_string(s.first) + " s";
    if (s.first <= 0) t += ": not a time";
    t += ", live time " + std::to_string(s.second) + " s";
    if (s.second <= 0)
        t += ": not a time, no count rates";
    else if (s.first > 0 && s.second > s.first)
        t += ": above the real time, no count rates";
    return t + ")";
}

std::string title_of(const loaded& l) {
    const spc_spectrum& s = l.s;
    std::string name = l.path == "-"
                           ? l.name
                           : spc_display_name(std::filesystem::path(l.path).filename().string());
    return name + ": " + std::to_string(s.counts.size()) + " channels, " +
           std::to_string(spc_total(s)) + " counts, real " + spc_seconds(s.real_time) +
           " s, live " + spc_seconds(s.live_time) + " s";
}

std::string fmt(const char* format, double a, double b = 0, double c = 0) {
    char buf[128];
    std::snprintf(buf, sizeof buf, format, a, b, c);
    return buf;
}

// The FWHM calibration from the peaks the width model was fitted to.
spc_fwhm_calib fwhm_calibration(const loaded& l) {
    std::vector<double> e, f, fe;
    if (!l.calib.set) return {};
    for (const auto& p : l.a.peaks)
        if (p.reference) {
            double g = spc_gain_at(l.calib, p.centroid);
            e.push_back(spc_energy(l.calib, p.centroid));
            f.push_back(p.fwhm * g);
            fe.push_back(p.fwhm_err * g);
        }
    return spc_fit_fwhm(e, f, fe);
}

struct roi_sum {
    int from, to;  // channels
    double gross, net, net_err;
};

// The counts of the channels whose centres lie from a to b, and the net counts above a straight
// line through the three channels beside the region on each side.
roi_sum roi_of(const loaded& l, std::pair<double, double> r) {
    const auto& c = l.s.counts;
    int n = static_cast<int>(c.size());
    bool energy = l.calib.set;
    double a = energy ? spc_channel(l.calib, r.first) : r.first;
    double b = energy ? spc_channel(l.calib, r.second) : r.second;
    roi_sum s{std::clamp(static_cast<int>(std::ceil(a)), 0, n - 1),
              std::clamp(static_cast<int>(std::floor(b)), 0, n - 1), 0, 0, 0};
    if (s.to < s.from) s.to = s.from;
    for (int i = s.from; i <= s.to; ++i) s.gross += c[i];
    double side = 0;
    int m = 0;
    for (int k = 1; k <= 3; ++k) {
        if (s.from - k >= 0) side += c[s.from - k], ++m;
        if (s.to + k < n) side += c[s.to + k], ++m;
    }
    double width = s.to - s.from + 1;
    double under = m ? side / m * width : 0;
    s.net = s.gross - under;
    s.net_err = std::sqrt(s.gross + (m ? side * (width / m) * (width / m) : 0));
    return s;
}

// ---- commands -----------------------------------------------------------------------------

// What `info` tells of a spectrum, computed once; info_json and info_text render it.
struct info_record {
    loaded l;
    double live = 0;  // seconds, 0 when not given or not usable
    spc_fwhm_calib fw;
    spc_identification id;
    std::vector<std::pair<double, double>> ranges;  // the regions asked for
    std::vector<roi_sum> rois;                      // their counts
};

bool info_of(const options& o, info_record* r) {
    if (!load(o, o.files[0], &r->l)) return false;
    r->live = live_seconds(r->l.s);
    r->fw = fwhm_calibration(r->l);
    r->id = spc_identify(r->l.a, r->l.s.counts, r->l.calib);
    r->ranges = o.rois;
    for (const auto& x : o.rois) r->rois.push_back(roi_of(r->l, x));
    return true;
}

// The parts of a record both renderers read, under the names they read them by.
struct info_parts {
    const loaded& l;
    const spc_spectrum& s;
    const spc_calib& c;
    const std::vector<spc_peak>& peaks;
    int n;  // channels
    double live;
    const spc_fwhm_calib& fw;
    const spc_identification& id;
    const std::vector<std::vector<spc_match>>& names;  // per peak, the named nuclides' lines
    const std::vector<roi_sum>& rois;
};

info_parts parts_of(const info_record& r) {
    return {r.l,    r.l.s, r.l.calib, r.l.a.peaks, static_cast<int>(r.l.s.counts.size()),
            r.live, r.fw,  r.id,      r.id.peaks,  r.rois};
}

void info_json(const info_record& info) {
    auto [l, s, c, peaks, n, live, fw, id, names, rois] = parts_of(info);
    std::vector<std::string> nuclides;  // an ambiguous pair both
    for (const auto& m : id.nuclides) {
        nuclides.push_back(m.nuclide);
        if (!m.with.empty()) nuclides.push_back(m.with);
    }
    using json = nlohmann::ordered_json;
    auto rate = [&, live = live](double v) { return live > 0 ? json(v / live) : json(nullptr); };
    json j;
    j["file"] = l.name;
    j["format"] = s.format;
    j["channels"] = n;
    j["source"] = s.source.empty() ? json(nullptr) : json(s.source);
    j["header"] = s.header ? json{s.first, s.second} : json(nullptr);
    j["real_time_s"] = s.header ? json(s.first) : json(s.real_time);
    j["live_time_s"] = s.header ? json(s.second) : json(s.live_time);
    j["closing_line"] = s.header ? json(s.closing) : json(nullptr);
    j["total_counts"] = spc_total(s);
    j["count_rate_cps"] = rate(static_cast<double>(spc_total(s)));
    if (c.set) {
        json cal = {{"offset_keV", c.offset},
                    {"keV_per_channel", c.gain},
                    {"keV_per_channel2", c.quad},
                    {"points", json::array()}};
        for (const auto& p : c.points)
            cal["points"].push_back({{"channel", p.channel},
                                     {"keV", p.kev},
                                     {"residual_keV", std::round(p.residual * 1e6) / 1e6 + 0.0}});
        j["calibration"] = cal;
    } else {
        j["calibration"] = nullptr;
    }
    if (fw.peaks > 0)
        j["fwhm_calibration"] = {
            {"a_keV2", fw.a}, {"b_keV", fw.b}, {"c", fw.c}, {"peaks", fw.peaks}};
    else
        j["fwhm_calibration"] = nullptr;
    if (l.a.width.peaks > 1)
        j["width_model"] = {{"a_ch2", l.a.width.a},
                            {"b_ch", l.a.width.b},
                            {"c", l.a.width.c},
                            {"peaks", l.a.width.peaks}};
    else
        j["width_model"] = nullptr;
    j["groups"] = json::array();
    for (const auto& g : l.a.groups)
        j["groups"].push_back({{"first_channel", g.lo},
                               {"last_channel", g.hi},
                               {"continuum", spc_continuum_name(g.kind)},
                               {"step", g.step},
                               {"chi2", g.chisq},
                               {"dof", g.dof},
                               {"chi2_per_dof", g.dof > 0 ? g.chisq / g.dof : NAN},
                               {"peaks", g.peaks}});
    j["peaks"] = json::array();
    for (size_t k = 0; k < peaks.size(); ++k) {
        const auto& p = peaks[k];
        json jp;
        jp["centroid_channel"] = p.centroid;
        jp["centroid_channel_err"] = p.centroid_err;
        jp["fwhm_channels"] = p.fwhm;
        jp["fwhm_channels_err"] = p.fwhm_err;
        jp["net_area"] = p.area;
        jp["net_area_err"] = p.area_err;
        jp["net_rate_cps"] = rate(p.area);
        jp["continuum_counts"] = p.continuum;  // under the centroid +- one FWHM
        jp["group"] = p.group;
        jp["width_off_model"] = p.width_flag;
        jp["flags"] = spc_flag_letters(p.flags);
        jp["line"] = spc_is_line(p);
        if (c.set) {
            double e = spc_energy(c, p.centroid), g = spc_gain_at(c, p.centroid);
            jp["energy_keV"] = e;
            jp["energy_keV_err"] = p.centroid_err * g;
            jp["fwhm_keV"] = p.fwhm * g;
            jp["resolution_percent"] = e > 0 ? 100 * p.fwhm * g / e : NAN;
            jp["nuclides"] = json::array();
            for (const auto& m : names[k])
                jp["nuclides"].push_back({{"nuclide", m.nuclide}, {"line_keV", m.line_kev}});
        }
        j["peaks"].push_back(jp);
    }
    j["nuclides"] = nuclides;
    j["identification"] = json::array();
    for (const auto& m : id.nuclides)
        j["identification"].push_back({{"nuclide", m.nuclide},
                                       {"confidence", spc_confidence_name(m.confidence)},
                                       {"or", m.with.empty() ? json(nullptr) : json(m.with)},
                                       {"lines_agreeing", m.lines},
                                       {"lines_expected", m.expected},
                                       {"significance", m.significance}});
    j["unexplained_lines_keV"] = json::array();
    if (c.set)
        for (int k : id.unexplained)
            j["unexplained_lines_keV"].push_back(spc_energy(c, peaks[k].centroid));
    j["rois"] = json::array();
    for (size_t k = 0; k < rois.size(); ++k)
        j["rois"].push_back({{"from", info.ranges[k].first},
                             {"to", info.ranges[k].second},
                             {"first_channel", rois[k].from},
                             {"last_channel", rois[k].to},
                             {"gross_counts", rois[k].gross},
                             {"gross_counts_err", std::sqrt(rois[k].gross)},
                             {"net_counts", rois[k].net},
                             {"net_counts_err", rois[k].net_err},
                             {"net_rate_cps", rate(rois[k].net)}});
    std::printf("%s\n", j.dump(2).c_str());
}

void info_text(const info_record& info) {
    auto [l, s, c, peaks, n, live, fw, id, names, rois] = parts_of(info);
    std::printf("File:         %s\n", l.name.c_str());
    if (!s.source.empty()) std::printf("Source:       %s\n", s.source.c_str());
    std::printf("Channels:     %d\n", n);
    std::printf("%s\n", header_text(s).c_str());
    if (s.header) std::printf("Closing line: %s\n", s.closing.c_str());
    std::printf("Total counts: %lld", static_cast<long long>(spc_total(s)));
    if (live > 0) std::printf(" (%.6g per second of live time)", spc_total(s) / live);
    std::printf("\n");
    if (c.set) {
        // A negative term is subtracted: "- 2e-08 * channel^2", never "+ -2e-08".
        auto sign = [](double v) { return v < 0 ? '-' : '+'; };
        std::printf("Calibration:  energy = %.6g %c %.6g * channel", c.offset, sign(c.gain),
                    std::abs(c.gain));
        if (c.quad != 0) std::printf(" %c %.6g * channel^2", sign(c.quad), std::abs(c.quad));
        std::printf(" (keV)\n");
        for (const auto& p : c.points)
            std::printf("              channel %.6g = %.6g keV: residual %.3f keV\n", p.channel,
                        p.kev, std::abs(p.residual) < 5e-4 ? 0.0 : p.residual);
    } else {
        std::printf("Calibration:  none (channels)\n");
    }
    if (fw.peaks > 0)
        std::printf("FWHM:         FWHM^2 = %.6g + %.6g * E + %.6g * E^2 (keV^2), from %d peaks\n",
                    fw.a, fw.b, fw.c, fw.peaks);
    else if (l.a.width.peaks > 1)
        std::printf(
            "Width model:  FWHM^2 = %.6g + %.6g * x + %.6g * x^2 (channels^2), from %d peaks\n",
            l.a.width.a, l.a.width.b, l.a.width.c, l.a.width.peaks);
    std::printf("Peaks:        %zu\n", peaks.size());
    if (!peaks.empty()) {
        if (c.set)
            std::printf("%18s %10s %16s %10s %22s %10s %10s  %s\n", "centroid (ch)", "keV",
                        "FWHM (ch)", "FWHM keV", "net area", "counts/s", "resolution", "fit");
        else
            std::printf("%18s %16s %22s %10s  %s\n", "centroid (ch)", "FWHM (ch)", "net area",
                        "counts/s", "fit");
    }
    for (const auto& p : peaks) {
        const spc_group& g = l.a.groups[p.group];
        std::string centroid = fmt("%.2f ± %.2f", p.centroid, p.centroid_err);
        std::string fwhm = fmt("%.2f ± %.2f", p.fwhm, p.fwhm_err);
        std::string area = fmt("%.0f ± %.0f", p.area, p.area_err);
        std::string rate = live <= 0               ? "-"
                           : p.area / live >= 1000 ? fmt("%.0f", p.area / live)
                                                   : fmt("%.4g", p.area / live);
        std::string fit = fmt("%.2f ", g.dof > 0 ? g.chisq / g.dof : 0) +
                          spc_continuum_name(g.kind) + (g.step > 0 ? "+step" : "") +
                          (g.edge[0] != 0 || g.edge[3] != 0 ? "+edge" : "") + (p.flags ? " " : "") +
                          spc_flag_letters(p.flags);
        // The ± takes two bytes but one column: two more bytes of width keep the columns.
        if (c.set) {
            double e = spc_energy(c, p.centroid), gain = spc_gain_at(c, p.centroid);
            std::string res = e > 0 ? fmt("%.2f %%", 100 * p.fwhm * gain / e) : "-";
            std::printf("%19s %10.2f %17s %10.2f %23s %10s %10s  %s\n", centroid.c_str(), e,
                        fwhm.c_str(), p.fwhm * gain, area.c_str(), rate.c_str(), res.c_str(),
                        fit.c_str());
        } else {
            std::printf("%19s %17s %23s %10s  %s\n", centroid.c_str(), fwhm.c_str(), area.c_str(),
                        rate.c_str(), fit.c_str());
        }
    }
    if (!peaks.empty())
        std::printf(
            "              fit: chi-square per degree of freedom and continuum of the "
            "peak's group (+step: a step under its peaks; +edge: a Compton edge in it); W: width "
            "off the width model; B, T: "
            "far too wide, in the threshold's cut: not a line; Q: chi-square per degree of "
            "freedom above 3; F: no fit held it (counts above a straight line)\n");
    if (c.set) {
        if (id.nuclides.empty()) std::printf("Nuclides:     none of the library\n");
        for (const auto& m : id.nuclides) {
            std::string lines;
            for (size_t k = 0; k < peaks.size(); ++k)
                for (const auto& x : names[k]) {
                    if (x.nuclide != m.nuclide) continue;
                    if (!lines.empty()) lines += ", ";
                    lines += fmt("%.1f keV (peak at %.1f keV)", x.line_kev,
                                 spc_energy(c, peaks[k].centroid));
                }
            std::string how =
                m.with.empty() ? spc_confidence_name(m.confidence) : "ambiguous with " + m.with;
            how += fmt(", %.0f of %.0f lines, %.0f sigma", m.lines, m.expected, m.significance);
            std::printf("%s%s (%s): %s\n",
                        &m == &id.nuclides[0] ? "Nuclides:     " : "              ",
                        m.nuclide.c_str(), how.c_str(), lines.c_str());
        }
        std::string other;
        for (int k : id.unexplained)
            other += (other.empty() ? "" : ", ") + fmt("%.1f", spc_energy(c, peaks[k].centroid));
        if (!other.empty())
            std::printf("Not explained by the library: lines at %s keV\n", other.c_str());
    }
    for (size_t k = 0; k < rois.size(); ++k) {
        const roi_sum& r = rois[k];
        std::printf(
            "ROI:          %g to %g %s (channels %d to %d): %.0f ± %.0f counts, net %.0f ± "
            "%.0f",
            info.ranges[k].first, info.ranges[k].second, c.set ? "keV" : "channels", r.from, r.to,
            r.gross, std::sqrt(r.gross), r.net, r.net_err);
        if (live > 0) std::printf(" (%.4g ± %.2g per second)", r.net / live, r.net_err / live);
        std::printf("\n");
    }
}

int cmd_info(const options& o) {
    info_record r;
    if (!info_of(o, &r)) return EXIT_INPUT;
    if (o.json)
        info_json(r);
    else
        info_text(r);
    return 0;
}

// The fitted model (each group's continuum and peaks) per channel, NaN outside the groups.
std::vector<double> fitted_model(const loaded& l, double norm) {
    std::vector<double> m(l.s.counts.size(), NAN);
    for (const auto& g : l.a.groups)
        for (int x = g.lo; x <= g.hi; ++x) m[x] = spc_continuum_at(g, x);
    for (const auto& p : l.a.peaks) {
        const spc_group& g = l.a.groups[p.group];
        for (int x = g.lo; x <= g.hi; ++x) m[x] += spc_peak_counts(p, x) + spc_step_counts(g, p, x);
    }
    for (double& v : m) v *= norm;
    return m;
}

// The terminal picture, or the figure written to o.output.
int draw(const options& o, const loaded& l, const spc_plot_options& p) {
    if (o.output.empty()) {
        std::fputs(spc_plot_text(l.s, l.calib, l.a.peaks, p).c_str(), stdout);
        return 0;
    }
    std::string ext = extension_of(o.output);
    auto kind = ext == ".svg"   ? spc_figure_kind::svg
                : ext == ".pdf" ? spc_figure_kind::pdf
                                : spc_figure_kind::png;
    std::string data, error;
    bool drawn = spc_plot_figure(l.s, l.calib, l.a.peaks, p, kind, &data, &error);
    spc_figure_cleanup();  // the only figure of this run
    if (!drawn) {
        std::fprintf(stderr, "nv-spc: %s: %s\n", spc_display_name(o.output).c_str(), error.c_str());
        return EXIT_INPUT;
    }
    if (spc_write_file(o.output, data, &error)) return 0;
    std::fprintf(stderr, "nv-spc: %s\n", error.c_str());
    return EXIT_INPUT;
}

int cmd_plot(const options& o) {
    loaded l;
    if (!load(o, o.files[0], &l)) return EXIT_INPUT;
    spc_plot_options p = plot_options(o, !o.output.empty());
    p.title = title_of(l);
    if (o.fit) {
        p.overlay = fitted_model(l, 1);
        p.label = "spectrum";
        p.overlay_label = "fit";
    }
    return draw(o, l, p);
}

int cmd_compare(const options& o) {
    loaded a, b;
    if (!load(o, o.files[0], &a) || !load(o, o.files[1], &b, 1)) return EXIT_INPUT;
    if (a.s.counts.size() != b.s.counts.size()) {
        std::fprintf(stderr, "nv-spc: %s has %zu channels, %s %zu: not comparable\n",
                     a.name.c_str(), a.s.counts.size(), b.name.c_str(), b.s.counts.size());
        return EXIT_INPUT;
    }
    double la = live_seconds(a.s), lb = live_seconds(b.s);
    bool rates = la > 0 && lb > 0;
    double na = rates ? 1 / la : 1, nb = rates ? 1 / lb : 1;
    spc_plot_options p = plot_options(o, !o.output.empty());
    p.norm = na;
    p.unit = rates ? "Counts per second" : "Counts";
    p.title = a.name + " (bars) and " + b.name +
              (rates ? " (dots), per second of live time" : " (dots), counts: no usable live time");
    p.overlay.resize(b.s.counts.size());
    for (size_t i = 0; i < p.overlay.size(); ++i) p.overlay[i] = b.s.counts[i] * nb;
    p.label = a.name;
    p.overlay_label = b.name;
    if (!o.output.empty()) p.title = "";
    int rc = draw(o, a, p);
    if (rc != 0) return rc;
    // Each line of either measured in both at the same place and width.
    std::printf("%s\n", rates ? "Peaks (net counts per second of live time):"
                              : "Peaks (net counts; no usable live time):");
    std::printf("%12s %12s %20s %20s %24s\n", "A centroid", "B centroid", "A", "B", "B - A");
    for (const auto& r : spc_compare(a.s.counts, a.a, na, b.s.counts, b.a, nb)) {
        auto at = [&](int k, const loaded& l) {
            if (k < 0) return std::string("-");
            double x = l.a.peaks[k].centroid;
            return a.calib.set ? fmt("%.1f keV", spc_energy(a.calib, x)) : fmt("%.1f", x);
        };
        double d = r.b - r.a, e = std::hypot(r.a_err, r.b_err);
        std::string sd = fmt("%+.4g ± %.2g", d, e) + (e > 0 ? fmt(" (%+.1f sd)", d / e) : "");
        std::printf("%12s %12s %21s %21s %25s\n", at(r.a_peak, a).c_str(), at(r.b_peak, b).c_str(),
                    fmt("%.4g ± %.2g", r.a, r.a_err).c_str(),
                    fmt("%.4g ± %.2g", r.b, r.b_err).c_str(), sd.c_str());
    }
    return 0;
}

int cmd_trend(const options& o) {
    if (o.csv)
        std::printf(
            "file,time_utc,live_time_s,count_rate_cps,line,centroid_channel,"
            "energy_keV,resolution_percent\n");
    else
        std::printf("%-24s %-20s %8s %12s %10s %10s %10s\n", "file", "time (UTC)", "live s",
                    "counts/s", "centroid", "keV", "resolution");
    int rc = 0;
    for (const auto& path : o.files) {
        loaded l;
        if (!load(o, path, &l)) {
            rc = EXIT_INPUT;
            continue;
        }
        double live = live_seconds(l.s);
        // The line nearest 662 keV, or the strongest without a calibration.
        const spc_peak* best = nullptr;
        for (const auto& p : l.a.peaks) {
            auto key = [&](const spc_peak& q) {
                return l.calib.set ? -std::abs(spc_energy(l.calib, q.centroid) - 661.66) : q.area;
            };
            if (!best || key(p) > key(*best)) best = &p;
        }
        std::string when = spc_utc_text(l.saved);
        std::string rate = live > 0 ? fmt("%.6g", spc_total(l.s) / live) : "";
        std::string live_s = l.s.header ? std::to_string(l.s.second) : spc_seconds(l.s.live_time);
        std::string centroid, kev, res;
        if (best) {
            centroid = fmt("%.2f", best->centroid);
            if (l.calib.set) {
                double e = spc_energy(l.calib, best->centroid);
                kev = fmt("%.2f", e);
                res = fmt("%.2f", 100 * best->fwhm * spc_gain_at(l.calib, best->centroid) / e);
            } else {
                res = fmt("%.2f", 100 * best->fwhm / best->centroid);
            }
        }
        if (o.csv) {
            // A name holding the separator or a quote is quoted, as CSV readers expect.
            std::string name = l.name;
            if (name.find_first_of(",\"") != std::string::npos) {
                for (size_t at = 0; (at = name.find('"', at)) != std::string::npos; at += 2)
                    name.insert(at, 1, '"');
                name = '"' + name + '"';
            }
            std::printf("%s,%s,%s,%s,%s,%s,%s,%s\n", name.c_str(), when.c_str(), live_s.c_str(),
                        rate.c_str(), l.calib.set ? "nearest 662 keV" : "strongest",
                        centroid.c_str(), kev.c_str(), res.c_str());
        } else {
            std::printf("%-24s %-20s %8s %12s %10s %10s %10s\n", l.name.c_str(), when.c_str(),
                        live_s.c_str(), rate.empty() ? "-" : rate.c_str(),
                        centroid.empty() ? "-" : centroid.c_str(), kev.empty() ? "-" : kev.c_str(),
                        res.empty() ? "-" : (res + " %").c_str());
        }
    }
    return rc;
}

int cmd_export(const options& o) {
    loaded l;
    if (!load(o, o.files[0], &l)) return EXIT_INPUT;
    std::string data;
    if (o.format == "csv") {
        data = spc_export_csv(l.s, l.calib);
    } else {
        spc_n42_extras x;
        x.saved = l.saved;
        x.started = l.s.has_start;
        x.peaks = l.a.peaks;
        x.fwhm = fwhm_calibration(l);
        data = spc_export_n42(l.s, l.calib, x);
    }
    std::string error;
    if (spc_write_file(o.output.empty() ? "-" : o.output, data, &error)) return 0;
    std::fprintf(stderr, "nv-spc: %s\n", error.c_str());
    return EXIT_INPUT;
}

volatile sig_atomic_t g_interrupted = 0;

void on_interrupt(int) {
    g_interrupted = 1;
}

// One picture of the file as it is now; a file being written or not there yet is reported and
// the watch goes on.
void watch_draw(const options& o) {
    if (isatty(STDOUT_FILENO)) std::fputs("\x1b[H\x1b[2J", stdout);
    const std::string& file = o.files[0];
    struct stat st {};
    loaded l;
    if (stat(file.c_str(), &st) != 0 && errno == ENOENT) {
        std::printf("nv-spc: waiting for %s\n", spc_display_name(file).c_str());
    } else if (!spc_read_file(file, &l.s, &l.name, spectrum_choice(o, 0))) {
        std::printf("nv-spc: %s\n", l.name.c_str());
    } else {
        l.path = file;
        l.calib = o.calib.set ? o.calib : l.s.calib;
        l.a = spc_analyse(l.s.counts, {}, l.calib);
        spc_plot_options p = plot_options(o, false);
        p.title = title_of(l);
        if (o.fit) p.overlay = fitted_model(l, 1);
        std::fputs(spc_plot_text(l.s, l.calib, l.a.peaks, p).c_str(), stdout);
    }
    std::fflush(stdout);
}

int cmd_watch(const options& o) {
    // The instrument's file is replaced by a rename, which a watch on the file itself would
    // miss: the folder is watched and events for the file's name redraw.
    std::filesystem::path path(o.files[0]);
    std::string dir = path.parent_path().empty() ? "." : path.parent_path().string();
    std::string name = path.filename().string();
    int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd < 0 || inotify_add_watch(fd, dir.c_str(),
                                    IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM) < 0) {
        std::fprintf(stderr, "nv-spc: %s: %s\n", spc_display_name(dir).c_str(),
                     std::strerror(errno));
        if (fd >= 0) close(fd);
        return EXIT_INPUT;
    }
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    watch_draw(o);
    bool input_open = true;
    while (!g_interrupted && input_open) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
            char buf[256];
            ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
            input_open = n > 0 || (n < 0 && errno == EINTR);
        }
        if (fds[0].revents & POLLIN) {
            alignas(inotify_event) char buf[8192];
            bool mine = false;
            for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) {
                // Whole records only: each one's header and name lie inside what was read.
                for (char* p = buf; p + sizeof(inotify_event) <= buf + n;) {
                    auto* ev = reinterpret_cast<inotify_event*>(p);
                    p += sizeof(inotify_event) + ev->len;
                    if (p <= buf + n && ev->len > 0 && name == ev->name) mine = true;
                }
            }
            if (mine) watch_draw(o);
        }
    }
    close(fd);
    return 0;
}

int run(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(MAIN_HELP, stderr);
        return EXIT_USAGE;
    }
    std::string first = argv[1];
    if (first == "--help" || first == "-h") {
        std::fputs(MAIN_HELP, stdout);
        return 0;
    }
    if (first == "--version") {
        std::printf("nv-spc %s\n", NV_VERSION);
        return 0;
    }
    const command_def* cmd = nullptr;
    for (const auto& c : COMMANDS)
        if (first == c.name) cmd = &c;
    if (cmd == nullptr) {
        std::fprintf(stderr, "nv-spc: unknown command '%s'\nTry 'nv-spc --help'.\n",
                     device_text(argv[1], first.size()).c_str());
        return EXIT_USAGE;
    }
    options o;
    try {
        o = parse(cmd, argc, argv);
    } catch (const usage_error& e) {
        // The words quoted may be file names from a wildcard: shown escaped.
        std::fprintf(stderr, "nv-spc %s: %s\nTry 'nv-spc %s --help'.\n", cmd->name,
                     device_text(e.what.c_str(), e.what.size()).c_str(), cmd->name);
        return EXIT_USAGE;
    }
    if (o.help) {
        std::printf("%s%s", cmd->help, CALIBRATION_HELP);
        return 0;
    }
    switch (cmd->bit) {
        case INFO:
            return cmd_info(o);
        case PLOT:
            return cmd_plot(o);
        case WATCH:
            return cmd_watch(o);
        case TREND:
            return cmd_trend(o);
        case COMPARE:
            return cmd_compare(o);
        default:
            return cmd_export(o);
    }
}

// What was printed must have reached standard output: a full disk or a failing device under a
// script's redirection is a failure, never a success with half a report.
int finish(int status) {
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
    std::fprintf(stderr, "nv-spc: standard output: %s\n",
                 errno != 0 ? std::strerror(errno) : "write error");
    return status == 0 ? 1 : status;
}

}  // namespace

int main(int argc, char** argv) {
    return finish(run(argc, argv));
}
