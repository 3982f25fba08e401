// nv-service's lines, progress and session log: see svc_output.h.
#include "svc_output.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "safe_file.h"
#include "svc_sys.h"

namespace {

using out_clock = std::chrono::steady_clock;

constexpr double REDRAW_S = 0.1;
constexpr int BAR_WIDTH = 24;
constexpr double MIB = 1024.0 * 1024.0;

struct Upload {
    uint64_t done = 0, total = 0;
    double seconds = 0;
    double last_line = 0;  // when its last progress line went out (without a terminal)
};

struct Output {
    std::mutex lock;
    bool json = false;
    bool terminal = false;  // standard error is a terminal: bars
    int log_fd = -1;
    std::string log_path;
    std::map<std::string, Upload> uploads;
    int drawn = 0;  // bar lines now on the terminal, above the cursor
    out_clock::time_point last_draw{};
};

Output& out() {
    static Output o;
    return o;
}

void log_line(Output& o, const std::string& line) {
    if (o.log_fd < 0) return;
    if (svc_append(o.log_fd, svc_utc_text(svc_now_ms(), true) + " " + line + "\n")) return;
    // A log with lines missing would pass for the whole session: it ends here, and says so.
    const std::string why = strerror(errno);
    svc_close(o.log_fd);
    o.log_fd = -1;
    std::fputs(("nv-service: the log " + o.log_path + " ends here: " + why + "\n").c_str(), stderr);
}

// The bars are taken off before a line is printed and drawn again below it.
void erase_bars(Output& o) {
    if (o.drawn == 0) return;
    std::string up = "\r";
    for (int i = 0; i < o.drawn; ++i) up += "\x1b[1A\x1b[2K";
    std::fputs(up.c_str(), stderr);
    o.drawn = 0;
}

void draw_bars(Output& o) {
    if (!o.terminal) return;
    const int width = svc_terminal_width(stderr);
    std::string text;
    for (const auto& [who, u] : o.uploads) {
        const double part = u.total ? static_cast<double>(u.done) / u.total : 1.0;
        const int filled = static_cast<int>(part * BAR_WIDTH);
        std::string line = who + " [" + std::string(filled, '#') +
                           std::string(BAR_WIDTH - filled, '.') + "] " +
                           svc_progress_text(u.done, u.total, u.seconds);
        // A line longer than the terminal would wrap, and the next erase would miss a line.
        if (static_cast<int>(line.size()) >= width) line.resize(width - 1);
        text += line + "\n";
        ++o.drawn;
    }
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
    o.last_draw = out_clock::now();
}

void print(Output& o, FILE* stream, const std::string& line) {
    erase_bars(o);
    std::fflush(stdout);
    std::fputs((line + "\n").c_str(), stream);
    std::fflush(stream);
    log_line(o, line);
    draw_bars(o);
}

}  // namespace

bool svc_out_start(bool json, const std::string& log_path, std::string* error) {
    Output& o = out();
    std::lock_guard<std::mutex> guard(o.lock);
    o.json = json;
    o.terminal = svc_is_terminal(stderr);
    if (!log_path.empty()) {
        o.log_path = log_path;
        o.log_fd = safe_file_append(log_path.c_str());
        if (o.log_fd < 0) {
            *error = std::string(strerror(errno));
            return false;
        }
    }
    return true;
}

void svc_out_stop() {
    Output& o = out();
    std::lock_guard<std::mutex> guard(o.lock);
    erase_bars(o);
    o.uploads.clear();
    svc_close(o.log_fd);
    o.log_fd = -1;
}

void svc_say(const std::string& who, const std::string& text) {
    Output& o = out();
    std::lock_guard<std::mutex> guard(o.lock);
    print(o, o.json ? stderr : stdout, who.empty() ? text : who + ": " + text);
}

void svc_warn(const std::string& who, const std::string& text) {
    Output& o = out();
    std::lock_guard<std::mutex> guard(o.lock);
    print(o, stderr, "nv-service: " + (who.empty() ? text : who + ": " + text));
}

void svc_data(const std::string& line) {
    Output& o = out();
    std::lock_guard<std::mutex> guard(o.lock);
    print(o, stdout, line);
}

std::string svc_progress_text(uint64_t done, uint64_t total, double seconds) {
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    const int percent = total ? static_cast<int>(100.0 * static_cast<double>(done) / total) : 100;
    char text[128];
    if (rate > 0 && done < total) {
        const double left = static_cast<double>(total - done) / rate;
        snprintf(text, sizeof text, "%d%% (%.1f of %.1f MiB), %.1f MB/s, %.0f s left", percent,
                 done / MIB, total / MIB, rate / 1e6, std::ceil(left));
    } else {
        snprintf(text, sizeof text, "%d%% (%.1f of %.1f MiB)", percent, done / MIB, total / MIB);
    }
    return text;
}

void svc_progress(const std::string& who, uint64_t done, uint64_t total, double seconds) {
    Output& o = out();
    std::lock_guard<std::mutex> guard(o.lock);
    Upload& u = o.uploads[who];
    u.done = done, u.total = total, u.seconds = seconds;
    if (o.terminal) {
        const double since = std::chrono::duration<double>(out_clock::now() - o.last_draw).count();
        if (since < REDRAW_S && done < total) return;
        erase_bars(o);
        draw_bars(o);
        return;
    }
    if (seconds - u.last_line < PROGRESS_LINE_S) return;
    u.last_line = seconds;
    const std::string line = who + ": upload " + svc_progress_text(done, total, seconds);
    std::fputs((line + "\n").c_str(), o.json ? stderr : stdout);
    std::fflush(o.json ? stderr : stdout);
    log_line(o, line);
}

void svc_progress_end(const std::string& who) {
    Output& o = out();
    std::lock_guard<std::mutex> guard(o.lock);
    erase_bars(o);
    o.uploads.erase(who);
    draw_bars(o);
}
