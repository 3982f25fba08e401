// Helpers of the end-to-end tests: sessions of nv-term against nv52-sim in a temporary directory.
#pragma once

#include <gtest/gtest.h>
#include <net/if.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "e2e.h"
#include "qxx_frame.h"
#include "transcript.h"

namespace session {

using namespace e2e;
using escapes::unescaped;
using strings = std::vector<std::string>;

struct Bench {
    proc::TempDir dir;
    Sim sim;
    std::string log_path = dir.file("sim.log");

    bool start(strings options = {}) { return sim.start(options, log_path); }

    // One "REQUEST:STATUS" per request in arrival order ("8102:1"), "CODE:-" when unanswered (the
    // link closed on it, a dropped reply). Stops the simulator so that its log is complete.
    strings requests() {
        sim.stop();
        strings out;
        std::istringstream log(read_file(log_path));
        static const std::regex rx(R"(\] rx (\d+) )"), answer(R"(-> \d+ .*?status (\d+))");
        for (std::string line; std::getline(log, line);) {
            std::smatch m, a;
            if (line.find(" dropped (--drop-every)") != std::string::npos && !out.empty())
                out.back() = out.back().substr(0, out.back().find(':')) + ":-";
            if (!std::regex_search(line, m, rx)) continue;
            bool answered = std::regex_search(line, a, answer);
            out.push_back(m[1].str() + ":" + (answered ? a[1].str() : "-"));
        }
        return out;
    }
};

// A raw image whose bytes differ from block to block, so a block written at the wrong place
// changes the checksum the simulator computes.
inline std::string raw_image(size_t size) {
    std::string raw(size, '\0');
    for (size_t i = 0; i < size; ++i) raw[i] = static_cast<char>((i * 7 + i / 48000 + 3) & 0xFF);
    return raw;
}

inline uint32_t word(const std::string& b, size_t at) {
    return get_u32le(reinterpret_cast<const unsigned char*>(b.data()) + at);
}

// The two checksums of a raw image padded to whole words: before and after scrambling.
struct Sums {
    uint32_t raw = 0, enc = 0;
};
inline Sums sums_of(std::string raw) {
    raw.resize((raw.size() + 3) / 4 * 4, '\0');
    Sums s;
    for (uint32_t i = 0; i < raw.size() / 4; ++i) {
        s.raw ^= word(raw, 4 * i);
        s.enc ^= word(raw, 4 * i) ^ (i * i * i * i);
    }
    return s;
}

inline std::string hex(uint32_t v, const char* format = "0x%.8x") {
    char text[16];
    snprintf(text, sizeof text, format, v);
    return text;
}

// What "nv-term cxfw RAW XFW 1.5" prints for a raw image that could be read.
inline std::string cxfw_text(const std::string& raw_name, const std::string& xfw_name, Sums s) {
    return BANNER + "Creating firmware version 1.5...\nReading file " + raw_name +
           "...Ok.\nRaw checksum:" + hex(s.raw) + "\nEnc checksum:" + hex(s.enc) +
           "\nVersion:1.5\nWriting file " + xfw_name + "...";
}

inline Sums make_container(Bench& b, const std::string& raw, const std::string& xfw_name) {
    write_file(b.dir.file("fw.tar"), raw);
    auto r = proc::run({NV_TERM_BIN, "cxfw", "fw.tar", xfw_name, "1.5"}, "", b.dir.path());
    Sums s = sums_of(raw);
    EXPECT_EQ(r.output, cxfw_text("fw.tar", xfw_name, s) + "Ok.\n");
    EXPECT_EQ(r.exit_code, 0);
    return s;
}

// Holds `path` open as C's fopen does while it lives: on the Windows run nv-hold.exe (NV_HOLD_CMD),
// which blocks deleting and renaming the file; on Linux an open descriptor, hindering nothing.
class Holder {
  public:
    explicit Holder(const std::string& path) {
        strings args = proc::windows_command("NV_HOLD_CMD");
        if (args.empty()) {
            fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            return;
        }
        args.push_back("Z:" + path);  // Wine's drive Z: is the root
        held_ = child_.start(args) && child_.wait_for("held");
    }
    ~Holder() {
        if (fd_ >= 0) close(fd_);
        if (held_) child_.finish();  // the end of its input lets it go
    }
    bool holding() const { return fd_ >= 0 || held_; }

  private:
    int fd_ = -1;
    bool held_ = false;
    proc::Child child_;
};

// Removes the one message that the link's thread prints at a moment of its own (the link
// closed) from `out`, looking from offset `from` on; false when it is not there exactly once.
inline bool take_once(std::string* out, const std::string& message, size_t from) {
    size_t at = out->find(message, from);
    if (at == std::string::npos || out->find(message, at + 1) != std::string::npos) return false;
    out->erase(at, message.size());
    return true;
}

// What the screen `define NAME` of data/screens.txt prints; what is typed goes to `typed`.
inline std::string screen(const std::string& name, std::string* typed = nullptr) {
    static transcript::Defines defines;
    if (defines.empty()) transcript::lines_of(NV_SOURCE_DIR "/tests/e2e/data/screens.txt", defines);
    transcript::Screen s;
    transcript::add(s, "@" + name, defines);
    if (typed) *typed += s.typed;
    return s.printed;
}

constexpr int NO_NAMESPACE = 77;

// Outside: runs the current test again under "unshare -FLAGS" (adding a user namespace when plain
// unshare is refused); its exit code, NO_NAMESPACE when none can be made. Inside: -1. A network
// namespace must hold only loopback, so nothing sent can leave it, before `setup` shapes it.
inline int run_in_namespace(const std::string& flags, const strings& setup) {
    constexpr const char* INSIDE = "NV_E2E_NAMESPACE";
    if (getenv(INSIDE) == nullptr) {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        char self[4096] = "";
        if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return NO_NAMESPACE;
        for (const std::string& f : {flags, flags + "r"}) {
            if (system(("unshare -" + f + " true >/dev/null 2>&1").c_str()) != 0) continue;
            int st = system((std::string(INSIDE) + "=1 unshare -" + f + " '" + self + "'" +
                             " --gtest_filter=" + test->test_suite_name() + "." + test->name())
                                .c_str());
            return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        }
        return NO_NAMESPACE;
    }
    if (flags.find('n') != std::string::npos && proc::windows_run()) {
        // Wine makes a program's sockets in its server's process: this namespace needs a server of
        // its own, so a prefix of its own (the run's, hard-linked); both go when this process ends.
        struct OwnPrefix {
            proc::TempDir dir;
            std::string path = dir.file("prefix");
            ~OwnPrefix() {
                const char* server = getenv("WINESERVER");
                const std::string kill = "WINEPREFIX='" + path + "' timeout 30 '" +
                                         (server ? server : "wineserver") + "' -k 2>/dev/null";
                if (system(kill.c_str()) != 0) {
                }
            }
        };
        static OwnPrefix own;
        const char* prefix = getenv("WINEPREFIX");
        if (prefix == nullptr ||
            system(("cp -al '" + std::string(prefix) + "' '" + own.path + "'").c_str()) != 0) {
            fprintf(stderr, "no Wine prefix of the namespace's own\n");
            exit(NO_NAMESPACE);
        }
        setenv("WINEPREFIX", own.path.c_str(), 1);
        // Started here, so that its messages go nowhere near a program's output.
        const char* server = getenv("WINESERVER");
        if (system(
                ("'" + std::string(server ? server : "wineserver") + "' -p 2>/dev/null").c_str()) !=
            0) {
            fprintf(stderr, "no Wine server in the namespace\n");
            exit(NO_NAMESPACE);
        }
        // A Wine server's first program starts its system processes, which inherit its output and
        // keep it open: started here, they never hold a test's nv-term output open until its limit.
        const std::string boot = "'" + proc::nv_term_command()[0] + "' wineboot >/dev/null 2>&1";
        if (system(boot.c_str()) != 0) {
            fprintf(stderr, "the namespace's Wine server did not start its programs\n");
            exit(NO_NAMESPACE);
        }
    }
    if (flags.find('n') != std::string::npos) {
        struct if_nameindex* all = if_nameindex();
        for (auto* i = all; i && i->if_index != 0; ++i)
            if (std::string(i->if_name) != "lo") {
                fprintf(stderr, "not in a fresh network namespace: %s\n", i->if_name);
                abort();
            }
        if_freenameindex(all);
    }
    for (const std::string& command : setup) {
        if (system((command + " >/dev/null 2>&1").c_str()) != 0) {
            fprintf(stderr, "namespace set-up failed: %s\n", command.c_str());
            exit(NO_NAMESPACE);
        }
    }
    return -1;
}

#define RUN_IN_NAMESPACE(flags, ...)                                                       \
    do {                                                                                   \
        int outside = session::run_in_namespace(flags, __VA_ARGS__);                       \
        if (outside == session::NO_NAMESPACE) {                                            \
            GTEST_SKIP() << "no namespace of our own here";                                \
        } else if (outside >= 0) {                                                         \
            EXPECT_EQ(outside, 0) << "the run inside the namespace failed (output above)"; \
            return;                                                                        \
        }                                                                                  \
    } while (0)

}  // namespace session
