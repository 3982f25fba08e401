// Support for the instrument end-to-end tests: a console session driven step by step, a
// comparison of whole outputs that tolerates named varying values, the event lines that the
// instrument's procedures interleave with the console, and a child process in namespaces of its
// own (network, mounts) for the dialogue paths that must never reach the machine's real network
// or devices.
#pragma once

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "e2e.h"
#include "process.h"

namespace inst {

inline int ms_left(std::chrono::steady_clock::time_point deadline) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                deadline - std::chrono::steady_clock::now())
                                .count());
}

// nv-term run with pipes on both ends, so that a test can type the next line only after the
// console showed what must come first (an event, a disconnection).
class Session {
  public:
    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (in_ >= 0) close(in_);
        if (out_ >= 0) close(out_);
    }

    bool start(const std::string& dir, std::vector<std::string> args = {}) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return false;
        std::vector<std::string> argv = {NV_TERM_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(out[1], 2);
            if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(127);
            auto v = proc::argv_of(argv);
            execv(v[0], v.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        in_ = in[1];
        out_ = out[0];
        signal(SIGPIPE, SIG_IGN);
        return pid_ > 0;
    }

    void send(const std::string& text) {
        size_t done = 0;
        while (in_ >= 0 && done < text.size()) {
            ssize_t n = write(in_, text.data() + done, text.size() - done);
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
    }

    // Waits until `text` appears in the output after the previous match (or anywhere, for
    // texts from another thread whose order is not fixed); false when the program ended or the
    // (generous) limit passed first.
    bool wait_for(const std::string& text, bool anywhere = false, int timeout_ms = 30000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            size_t at = output_.find(text, anywhere ? 0 : cursor_);
            if (at != std::string::npos) {
                cursor_ = std::max(cursor_, at + text.size());
                return true;
            }
            if (!read_some(ms_left(deadline))) return false;
        }
    }

    // Ends standard input and collects the rest of the output and the exit code.
    proc::Result finish(int timeout_ms = 60000) {
        if (in_ >= 0) close(in_);
        in_ = -1;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        proc::Result r;
        while (read_some(ms_left(deadline))) {
        }
        if (out_ >= 0 && ms_left(deadline) <= 0) {
            r.timed_out = true;
            kill(pid_, SIGKILL);
        }
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
        r.output = output_;
        return r;
    }

    const std::string& output() const { return output_; }

  private:
    bool read_some(int timeout_ms) {
        if (out_ < 0 || timeout_ms <= 0) return false;
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) return false;
        char buf[4096];
        ssize_t n = read(out_, buf, sizeof buf);
        if (n <= 0) {
            close(out_);
            out_ = -1;
            return false;
        }
        output_.append(buf, static_cast<size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    std::string output_;
    size_t cursor_ = 0;
};

// Compares `actual` with `form`, in which "{n}" stands for a decimal number (sign and fraction
// allowed) and "{x}" for hexadecimal digits; everything else must match exactly. On a mismatch
// `why` tells where.
inline bool matches_form(const std::string& actual, const std::string& form, std::string* why) {
    size_t a = 0, f = 0;
    auto digits = [&](bool hex) {
        size_t start = a;
        while (a < actual.size() && (isdigit(static_cast<unsigned char>(actual[a])) ||
                                     (hex && isxdigit(static_cast<unsigned char>(actual[a])))))
            ++a;
        return a > start;
    };
    while (f < form.size()) {
        if (form.compare(f, 3, "{n}") == 0 || form.compare(f, 3, "{x}") == 0) {
            bool hex = form[f + 1] == 'x';
            if (!hex && a < actual.size() && actual[a] == '-') ++a;
            bool ok = digits(hex);
            if (ok && !hex && a + 1 < actual.size() && actual[a] == '.' &&
                isdigit(static_cast<unsigned char>(actual[a + 1]))) {
                ++a;
                digits(false);
            }
            if (!ok) break;
            f += 3;
            continue;
        }
        if (a >= actual.size() || actual[a] != form[f]) break;
        ++a;
        ++f;
    }
    if (f == form.size() && a == actual.size()) return true;
    if (why)
        *why = "differs at output offset " + std::to_string(a) + ": output continues \"" +
               actual.substr(a, 60) + "\", expected \"" + form.substr(f, 60) + "\"";
    return false;
}

// Removes the one message that the link's thread prints at a moment of its own (the link
// closed) from `out`, looking from offset `from` on; false when it is not there exactly once.
inline bool take_once(std::string* out, const std::string& message, size_t from) {
    size_t at = out->find(message, from);
    if (at == std::string::npos || out->find(message, at + 1) != std::string::npos) return false;
    out->erase(at, message.size());
    return true;
}

// The instrument's own event lines that may appear among the console's lines while an assay or
// a stabilisation runs: progress, spectra, the end of a procedure and its result.
struct Event {
    char kind;  // 'p' progress, 's' spectrum, 'd' done, 'c' stabilisation result
    long value;
};

// Removes event lines from `out` (a line, or the rest of a line after the ">" prompt) and
// returns them in order of appearance; what remains is the console's fixed text.
inline std::vector<Event> take_events(std::string* out) {
    static const std::regex progress(R"((\d+)%)"), spectrum(R"(spectrum\(1024\) (\d+) received\.)"),
        done(R"(Done\.)"), stab(R"(CS stab event\. Result:(-?\d+))");
    std::vector<Event> events;
    std::string kept;
    size_t pos = 0;
    while (pos < out->size()) {
        size_t nl = out->find('\n', pos);
        size_t end = nl == std::string::npos ? out->size() : nl;
        size_t body = pos;
        while (body < end && (*out)[body] == '>') ++body;
        std::string text = out->substr(body, end - body);
        std::smatch m;
        bool is_event = nl != std::string::npos;
        if (is_event && std::regex_match(text, m, progress))
            events.push_back({'p', std::stol(m[1])});
        else if (is_event && std::regex_match(text, m, spectrum))
            events.push_back({'s', std::stol(m[1])});
        else if (is_event && std::regex_match(text, done))
            events.push_back({'d', 0});
        else if (is_event && std::regex_match(text, m, stab))
            events.push_back({'c', std::stol(m[1])});
        else
            is_event = false;
        kept += is_event ? out->substr(pos, body - pos)
                         : out->substr(pos, end - pos + (nl == std::string::npos ? 0 : 1));
        pos = end + 1;
    }
    *out = kept;
    return events;
}

// ---- namespaces -------------------------------------------------------------------------------

// What a child in its own namespaces hands back: whether the namespaces could be made (if not,
// why, so the test can skip visibly) and the texts its body produced.
struct Isolated {
    bool made = false;
    std::string why;
    std::vector<std::string> fields;
};

inline std::string ns_id(const char* kind) {
    char buf[64] = {0};
    std::string path = std::string("/proc/self/ns/") + kind;
    ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

// Inside a fresh network namespace: true when it really is a new one (not the namespace the
// test started in) and has no interface but loopback, which is then brought up.
inline bool prepare_network(const std::string& outer_ns, std::string* why) {
    if (ns_id("net").empty() || ns_id("net") == outer_ns) {
        *why = "still in the outer network namespace";
        return false;
    }
    if (struct if_nameindex* names = if_nameindex()) {
        bool only_lo = true;
        for (auto* n = names; n->if_index != 0; ++n)
            only_lo = only_lo && std::string(n->if_name) == "lo";
        if_freenameindex(names);
        if (!only_lo) {
            *why = "the new network namespace has interfaces besides lo";
            return false;
        }
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &ifr) == 0 &&
              (ifr.ifr_flags |= IFF_UP, ioctl(fd, SIOCSIFFLAGS, &ifr) == 0);
    if (fd >= 0) close(fd);
    if (!up) *why = "cannot bring lo up";
    return up;
}

// Runs `body` in a forked child that first enters new namespaces (`flags`: CLONE_NEWNET,
// CLONE_NEWNS). The child and everything it starts form one process group, killed as a whole
// if the limit passes. The namespaces end with the child's last process. `body` returns false
// with a reason when its own set-up is impossible here (the test then skips).
inline Isolated run_isolated(
    int flags, const std::function<bool(std::vector<std::string>*, std::string*)>& body,
    int timeout_ms = 180000) {
    Isolated r;
    const std::string outer_net = ns_id("net");
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
        r.why = "pipe";
        return r;
    }
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        close(p[0]);
        std::vector<std::string> fields;
        std::string why;
        bool ok = unshare(flags) == 0;
        if (!ok) why = std::string("unshare: ") + strerror(errno);
        if (ok && (flags & CLONE_NEWNET)) ok = prepare_network(outer_net, &why);
        if (ok && (flags & CLONE_NEWNS) &&
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            ok = false;
            why = std::string("private mounts: ") + strerror(errno);
        }
        if (ok) ok = body(&fields, &why);
        // Length-prefixed fields: "1" or "0", the reason, then the body's texts.
        std::string msg;
        fields.insert(fields.begin(), {ok ? "1" : "0", why});
        for (const auto& f : fields) msg += std::to_string(f.size()) + "\n" + f;
        size_t done = 0;
        while (done < msg.size()) {
            ssize_t n = write(p[1], msg.data() + done, msg.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(p[1]);
    std::string msg;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int left = ms_left(deadline);
        pollfd pf{p[0], POLLIN, 0};
        if (left <= 0 || poll(&pf, 1, left) <= 0) {
            kill(-pid, SIGKILL);
            r.why = "the isolated child did not finish";
            break;
        }
        char buf[4096];
        ssize_t n = read(p[0], buf, sizeof buf);
        if (n <= 0) break;
        msg.append(buf, static_cast<size_t>(n));
    }
    close(p[0]);
    waitpid(pid, nullptr, 0);
    std::vector<std::string> fields;
    size_t pos = 0;
    while (pos < msg.size()) {
        size_t nl = msg.find('\n', pos);
        if (nl == std::string::npos) break;
        size_t len = std::stoul(msg.substr(pos, nl - pos));
        fields.push_back(msg.substr(nl + 1, len));
        pos = nl + 1 + len;
    }
    if (fields.size() < 2) return r;
    r.made = fields[0] == "1";
    r.why = fields[1];
    r.fields.assign(fields.begin() + 2, fields.end());
    return r;
}

// Runs a program to its end inside the isolated child (for `ip`); true when it exited with 0.
inline bool sh_ok(const std::vector<std::string>& args, std::string* why) {
    auto r = proc::run(args, "", "", 20000);
    if (r.exit_code == 0) return true;
    *why = args[0];
    for (size_t i = 1; i < args.size(); ++i) *why += " " + args[i];
    *why += ": " + r.output;
    return false;
}

inline std::string ip_tool() {
    for (const char* p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (access(p, X_OK) == 0) return p;
    return "";
}

using e2e::read_file;

}  // namespace inst
