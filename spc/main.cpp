// nv-spc: shows a saved spectrum in the terminal or as a figure, finds and measures its peaks,
// exports it (N42 XML, CSV). It reads files only; it never talks to an instrument.
//
// Exit status: 0 done, 1 the input could not be read (or the output written), 2 a wrong
// command line. Nothing is written when the input is bad.
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "spc_calib.h"
#include "spc_export.h"
#include "spc_output.h"
#include "spc_peaks.h"
#include "spc_plot.h"
#include "spc_spectrum.h"
#include "nv_version.h"

namespace {

constexpr int EXIT_INPUT = 1;
constexpr int EXIT_USAGE = 2;
constexpr const char* DEFAULT_FILE = "spect.spc";

const char* const MAIN_HELP =
    "Usage: nv-spc COMMAND [OPTION]... [FILE]\n"
    "Shows an NV-52 spectrum file (FILE, default spect.spc), finds and measures its\n"
    "peaks, and exports it for analysis tools. It only reads files.\n"
    "\n"
    "Commands:\n"
    "  info     channels, header values, total counts and the peak table\n"
    "  plot     the spectrum in the terminal, or as a PNG, SVG or PDF figure (-o)\n"
    "  watch    the terminal plot, redrawn each time FILE is replaced\n"
    "  export   the spectrum as N42.42-2012 XML or CSV\n"
    "\n"
    "Energy calibration (every command; without it everything is in channels):\n"
    "  --kev-per-channel K         energy = K * channel\n"
    "  --calibrate CH=KEV[,CH=KEV] one point: a line through the origin; two: the line\n"
    "                              through both\n"
    "\n"
    "  --help                      this text ('nv-spc COMMAND --help' for a command)\n"
    "  --version                   the version\n"
    "\n"
    "Example: an assay against the simulator, watched from a second terminal.\n"
    "  terminal 1:  nv52-sim --noise-seed 1 --event-ms 200\n"
    "  terminal 2:  nv-term                (3 Net, 0 127.0.0.1, then 'as')\n"
    "  terminal 3:  nv-spc watch           (in nv-term's directory; Ctrl-C ends)\n"
    "  afterwards:  nv-spc info --calibrate 331=661.7\n"
    "               nv-spc plot -o spectrum.png --calibrate 331=661.7\n"
    "  (Built from source, not installed: build/nv52-sim, build/nv-term, build/nv-spc.)\n"
    "\n"
    "Exit status: 0 done, 1 the input cannot be read or the output not written,\n"
    "2 a wrong command line.\n";

struct command_def {
    const char* name;
    const char* help;
};

const command_def COMMANDS[] = {
    {"info",
     "Usage: nv-spc info [--json] [CALIBRATION] [FILE]\n"
     "Prints the channel count, the two header values (real and live time, s), the\n"
     "closing line, the total counts and the peaks: centroid (channel, and keV when\n"
     "calibrated), FWHM, net area above the continuum with its uncertainty, and the\n"
     "resolution (FWHM / energy, %) when calibrated.\n"
     "  --json     the same as one JSON object\n"},
    {"plot",
     "Usage: nv-spc plot [-o FILE.png|.svg|.pdf] [--log] [--channels] [--width N]\n"
     "                   [--height N] [CALIBRATION] [FILE]\n"
     "Draws the spectrum with its peaks marked: in the terminal (block characters at\n"
     "the terminal's width) or, with -o, as a figure whose format the name's ending\n"
     "chooses.\n"
     "  -o, --output FILE   write the figure to FILE\n"
     "  --log               counts on a logarithmic scale\n"
     "  --channels          channels on the x axis even when calibrated\n"
     "  --width N           columns (terminal) or pixels (figure, default 1000)\n"
     "  --height N          plot rows (terminal, default 16) or pixels (figure, 600)\n"},
    {"watch",
     "Usage: nv-spc watch [--log] [--channels] [--width N] [--height N] [CALIBRATION]\n"
     "                    [FILE]\n"
     "Draws the terminal plot and again each time FILE is written or replaced, so a\n"
     "second terminal shows the spectrum growing during an assay. Ends on Ctrl-C or\n"
     "at the end of standard input (Ctrl-D).\n"},
    {"export",
     "Usage: nv-spc export -f n42|csv [-o FILE] [CALIBRATION] [FILE]\n"
     "Writes the spectrum for analysis tools, to standard output or FILE.\n"
     "  -f, --format n42   ANSI N42.42-2012 XML: the instrument, one measurement,\n"
     "                     real and live time, the calibration when given\n"
     "  -f, --format csv   a header row, then channel,counts (and energy_keV when\n"
     "                     calibrated) per channel\n"
     "  -o, --output FILE  write to FILE instead of standard output\n"},
};

const char* const CALIBRATION_HELP =
    "CALIBRATION: --kev-per-channel K, or --calibrate CH=KEV[,CH=KEV]\n";

struct usage_error {
    std::string what;
};

struct options {
    std::string command;
    std::string file = DEFAULT_FILE;
    spc_calib calib;
    bool json = false, log = false, channels = false, help = false;
    int width = 0, height = 0;  // 0: the default
    std::string output, format;
};

int parse_size(const std::string& name, const std::string& v, int min, int max) {
    char* end = nullptr;
    long n = std::strtol(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || n < min || n > max)
        throw usage_error{name + " needs a whole number from " + std::to_string(min) + " to " +
                          std::to_string(max) + ", not '" + v + "'"};
    return static_cast<int>(n);
}

// Which options each command takes.
bool allowed(const std::string& command, const std::string& opt) {
    if (opt == "--kev-per-channel" || opt == "--calibrate" || opt == "--help") return true;
    if (command == "info") return opt == "--json";
    if (command == "plot")
        return opt == "--output" || opt == "--log" || opt == "--channels" || opt == "--width" ||
               opt == "--height";
    if (command == "watch")
        return opt == "--log" || opt == "--channels" || opt == "--width" || opt == "--height";
    return opt == "--format" || opt == "--output";
}

// The output name's ending, in lower case: ".png", ".svg", ".pdf" or something else.
std::string extension_of(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    for (auto& ch : ext) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return ext;
}

options parse(int argc, char** argv) {
    options o;
    o.command = argv[1];
    bool have_file = false, calibrated = false, no_more_options = false;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (no_more_options || arg == "-" || arg.empty() || arg[0] != '-') {
            if (have_file) throw usage_error{"only one FILE, not '" + arg + "' too"};
            o.file = arg;
            have_file = true;
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
        if (!allowed(o.command, name))
            throw usage_error{"'" + o.command + "' has no option '" + arg + "'"};
        bool takes_value = name == "--kev-per-channel" || name == "--calibrate" ||
                           name == "--output" || name == "--format" || name == "--width" ||
                           name == "--height";
        if (!takes_value && has_value) throw usage_error{name + " takes no value"};
        if (takes_value && !has_value) {
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
        } else if (name == "--json") {
            o.json = true;
        } else if (name == "--log") {
            o.log = true;
        } else if (name == "--channels") {
            o.channels = true;
        } else if (name == "--width") {
            o.width = parse_size(name, value, 20, 20000);
        } else if (name == "--height") {
            o.height = parse_size(name, value, 3, 20000);
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
    if (o.command == "export" && o.format.empty()) throw usage_error{"export needs -f n42|csv"};
    if (o.command == "plot" && !o.output.empty()) {
        std::string ext = extension_of(o.output);
        if (ext != ".png" && ext != ".svg" && ext != ".pdf")
            throw usage_error{"-o needs a name ending in .png, .svg or .pdf, not '" + o.output +
                              "'"};
    }
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
    p.width = o.width ? o.width : figure ? 1000 : terminal_width();
    p.height = o.height ? o.height : figure ? 600 : 16;
    p.log = o.log;
    p.channel_axis = o.channels;
    return p;
}

std::string header_text(const spc_spectrum& s) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%d %d (real time %d s, live time %d s)", s.first, s.second,
                  s.first, s.second);
    return buf;
}

std::string title_of(const std::string& file, const spc_spectrum& s) {
    return file + ": " + std::to_string(s.counts.size()) + " channels, " +
           std::to_string(spc_total(s)) + " counts, real " + std::to_string(s.first) + " s, live " +
           std::to_string(s.second) + " s";
}

bool read_input(const options& o, spc_spectrum* s) {
    std::string message;
    if (spc_read_file(o.file, s, &message)) return true;
    std::fprintf(stderr, "nv-spc: %s\n", message.c_str());
    return false;
}

bool write_output(const std::string& path, const std::string& data) {
    std::string error;
    if (spc_write_file(path, data, &error)) return true;
    std::fprintf(stderr, "nv-spc: %s\n", error.c_str());
    return false;
}

// ---- commands
// ------------------------------------------------------------------------------------

int cmd_info(const options& o) {
    spc_spectrum s;
    if (!read_input(o, &s)) return EXIT_INPUT;
    auto peaks = spc_find_peaks(s.counts);
    const spc_calib& c = o.calib;
    if (o.json) {
        nlohmann::ordered_json j;
        j["file"] = o.file;
        j["channels"] = s.counts.size();
        j["header"] = {s.first, s.second};
        j["real_time_s"] = s.first;
        j["live_time_s"] = s.second;
        j["closing_line"] = s.closing;
        j["total_counts"] = spc_total(s);
        if (c.set)
            j["calibration"] = {{"offset_keV", c.offset}, {"keV_per_channel", c.gain}};
        else
            j["calibration"] = nullptr;
        j["peaks"] = nlohmann::ordered_json::array();
        for (const auto& p : peaks) {
            nlohmann::ordered_json jp;
            jp["centroid_channel"] = p.centroid;
            jp["centroid_channel_err"] = p.centroid_err;
            jp["fwhm_channels"] = p.fwhm;
            jp["fwhm_channels_err"] = p.fwhm_err;
            jp["net_area"] = p.area;
            jp["net_area_err"] = p.area_err;
            jp["continuum_counts"] = p.continuum;  // under the centroid +- one FWHM
            if (c.set) {
                double e = spc_energy(c, p.centroid);
                jp["energy_keV"] = e;
                jp["fwhm_keV"] = p.fwhm * c.gain;
                jp["resolution_percent"] = e > 0 ? 100 * p.fwhm * c.gain / e : NAN;
            }
            j["peaks"].push_back(jp);
        }
        std::printf("%s\n", j.dump(2).c_str());
        return 0;
    }
    std::printf("File:         %s\n", o.file.c_str());
    std::printf("Channels:     %zu\n", s.counts.size());
    std::printf("Header:       %s\n", header_text(s).c_str());
    std::printf("Closing line: %s\n", s.closing.c_str());
    std::printf("Total counts: %lld\n", static_cast<long long>(spc_total(s)));
    if (c.set)
        std::printf("Calibration:  energy = %.6g + %.6g * channel (keV)\n", c.offset, c.gain);
    else
        std::printf("Calibration:  none (channels)\n");
    std::printf("Peaks:        %zu\n", peaks.size());
    if (peaks.empty()) return 0;
    if (c.set)
        std::printf("%18s %10s %16s %10s %22s %10s\n", "centroid (ch)", "keV", "FWHM (ch)",
                    "FWHM keV", "net area", "resolution");
    else
        std::printf("%18s %16s %22s\n", "centroid (ch)", "FWHM (ch)", "net area");
    for (const auto& p : peaks) {
        char centroid[40], fwhm[40], area[48];
        std::snprintf(centroid, sizeof centroid, "%.2f ± %.2f", p.centroid, p.centroid_err);
        std::snprintf(fwhm, sizeof fwhm, "%.2f ± %.2f", p.fwhm, p.fwhm_err);
        std::snprintf(area, sizeof area, "%.0f ± %.0f", p.area, p.area_err);
        // The ± takes two bytes but one column: two more bytes of width keep the columns.
        if (c.set) {
            double e = spc_energy(c, p.centroid);
            char res[24] = "-";
            if (e > 0) std::snprintf(res, sizeof res, "%.2f %%", 100 * p.fwhm * c.gain / e);
            std::printf("%19s %10.2f %17s %10.2f %23s %10s\n", centroid, e, fwhm, p.fwhm * c.gain,
                        area, res);
        } else {
            std::printf("%19s %17s %23s\n", centroid, fwhm, area);
        }
    }
    return 0;
}

int cmd_plot(const options& o) {
    spc_spectrum s;
    if (!read_input(o, &s)) return EXIT_INPUT;
    auto peaks = spc_find_peaks(s.counts);
    spc_plot_options p = plot_options(o, !o.output.empty());
    p.title = title_of(std::filesystem::path(o.file).filename().string(), s);
    if (o.output.empty()) {
        std::fputs(spc_plot_text(s, o.calib, peaks, p).c_str(), stdout);
        return 0;
    }
    std::string ext = extension_of(o.output);
    auto kind = ext == ".svg"   ? spc_figure_kind::svg
                : ext == ".pdf" ? spc_figure_kind::pdf
                                : spc_figure_kind::png;
    std::string data, error;
    bool drawn = spc_plot_figure(s, o.calib, peaks, p, kind, &data, &error);
    spc_figure_cleanup();  // the only figure of this run
    if (!drawn) {
        std::fprintf(stderr, "nv-spc: %s: %s\n", o.output.c_str(), error.c_str());
        return EXIT_INPUT;
    }
    return write_output(o.output, data) ? 0 : EXIT_INPUT;
}

int cmd_export(const options& o) {
    spc_spectrum s;
    if (!read_input(o, &s)) return EXIT_INPUT;
    std::string data;
    if (o.format == "csv") {
        data = spc_export_csv(s, o.calib);
    } else {
        struct stat st {};
        time_t saved = stat(o.file.c_str(), &st) == 0 ? st.st_mtime : time(nullptr);
        data = spc_export_n42(s, o.calib, saved);
    }
    return write_output(o.output.empty() ? "-" : o.output, data) ? 0 : EXIT_INPUT;
}

volatile sig_atomic_t g_interrupted = 0;

void on_interrupt(int) {
    g_interrupted = 1;
}

// One picture of the file as it is now; a file being written or not there yet is reported and
// the watch goes on.
void watch_draw(const options& o) {
    if (isatty(STDOUT_FILENO)) std::fputs("\x1b[H\x1b[2J", stdout);
    spc_spectrum s;
    std::string message;
    struct stat st {};
    if (stat(o.file.c_str(), &st) != 0 && errno == ENOENT) {
        std::printf("nv-spc: waiting for %s\n", o.file.c_str());
    } else if (!spc_read_file(o.file, &s, &message)) {
        std::printf("nv-spc: %s\n", message.c_str());
    } else {
        spc_plot_options p = plot_options(o, false);
        p.title = title_of(std::filesystem::path(o.file).filename().string(), s);
        std::fputs(spc_plot_text(s, o.calib, spc_find_peaks(s.counts), p).c_str(), stdout);
    }
    std::fflush(stdout);
}

int cmd_watch(const options& o) {
    // The instrument's file is replaced by a rename, which a watch on the file itself would
    // miss: the folder is watched and events for the file's name redraw.
    std::filesystem::path path(o.file);
    std::string dir = path.parent_path().empty() ? "." : path.parent_path().string();
    std::string name = path.filename().string();
    int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd < 0 || inotify_add_watch(fd, dir.c_str(),
                                    IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM) < 0) {
        std::fprintf(stderr, "nv-spc: %s: %s\n", dir.c_str(), std::strerror(errno));
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
                for (char* p = buf; p < buf + n;) {
                    auto* ev = reinterpret_cast<inotify_event*>(p);
                    if (ev->len > 0 && name == ev->name) mine = true;
                    p += sizeof(inotify_event) + ev->len;
                }
            }
            if (mine) watch_draw(o);
        }
    }
    close(fd);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
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
        std::fprintf(stderr, "nv-spc: unknown command '%s'\nTry 'nv-spc --help'.\n", argv[1]);
        return EXIT_USAGE;
    }
    options o;
    try {
        o = parse(argc, argv);
    } catch (const usage_error& e) {
        std::fprintf(stderr, "nv-spc %s: %s\nTry 'nv-spc %s --help'.\n", cmd->name, e.what.c_str(),
                     cmd->name);
        return EXIT_USAGE;
    }
    if (o.help) {
        std::printf("%s%s", cmd->help, CALIBRATION_HELP);
        return 0;
    }
    if (o.command == "info") return cmd_info(o);
    if (o.command == "plot") return cmd_plot(o);
    if (o.command == "watch") return cmd_watch(o);
    return cmd_export(o);
}
