// The built programs as child processes with pipes on both ends, so a test types a line only after
// the output showed what must come first. Every wait is bounded: a hang fails the test.
// On the Windows run NV_TERM_CMD ("/usr/lib/wine/wine64 /repo/build-win/nv-term.exe") runs in
// place of NV_TERM_BIN, its CR LF read as LF: the console texts compare byte for byte.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <termios.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace proc {

// The words of `text`, split at white space.
inline std::vector<std::string> words_of(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

// The words of the command that runs `program` on the Windows run (NV_SERVICE_CMD for nv-service);
// empty on the Linux run.
inline std::vector<std::string> windows_command(const char* variable) {
    const char* cmd = getenv(variable);
    return words_of(cmd ? cmd : "");
}

// NV_TERM_CMD's words; empty on the Linux run.
inline std::vector<std::string> nv_term_command() {
    return windows_command("NV_TERM_CMD");
}

// The status `pid` ends with, as waitpid gives it (0: exit code 0); -1 if it cannot be waited for.
inline int status_of(pid_t pid) {
    int status = -1;
    return waitpid(pid, &status, 0) == pid ? status : -1;
}

inline bool windows_run() {
    return !nv_term_command().empty();
}

// Puts NV_TERM_CMD (NV_SERVICE_CMD) in place of the built nv-term (nv-service) in `args` (the
// program, or an argument of a wrapper); true when it did.
inline bool substitute_nv_term(std::vector<std::string>* args) {
    const std::pair<const char*, const char*> programs[] = {
#ifdef NV_TERM_BIN
        {NV_TERM_BIN, "NV_TERM_CMD"},
#endif
#ifdef NV_SERVICE_BIN
        {NV_SERVICE_BIN, "NV_SERVICE_CMD"},
#endif
        {nullptr, nullptr},
    };
    for (const auto& [bin, variable] : programs) {
        if (bin == nullptr) break;
        const std::vector<std::string> cmd = windows_command(variable);
        auto at = std::find(args->begin(), args->end(), std::string(bin));
        if (cmd.empty() || at == args->end()) continue;
        args->insert(args->erase(at), cmd.begin(), cmd.end());
        return true;
    }
    return false;
}

struct Result {
    int exit_code = -1;  // 0..255, or -1 when killed by a signal
    bool timed_out = false;
    std::string output;  // standard output and standard error, merged
};

inline std::vector<char*> argv_of(std::vector<std::string>& args) {
    std::vector<char*> v;
    for (auto& a : args) v.push_back(a.data());
    v.push_back(nullptr);
    return v;
}

inline int ms_left(std::chrono::steady_clock::time_point deadline) {
    auto left = deadline - std::chrono::steady_clock::now();
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(left).count());
}

class Child {
  public:
    ~Child() { stop(); }

    pid_t pid() const { return pid_; }

    // Starts `args` (args[0] is the program's path) in `dir` (empty: here). Standard error goes
    // to `err_path` when given, else into the output with standard output.
    bool start(std::vector<std::string> args, const std::string& dir = "",
               const std::string& err_path = "") {
        crlf_ = substitute_nv_term(&args);
        if (crlf_ && args[0].find('/') == std::string::npos) return false;  // execv needs a path
        int in[2], out[2];
        if (terminal_ ? !open_terminal(in, out)
                      : pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            return false;
        signal(SIGPIPE, SIG_IGN);
        pid_ = fork();
        if (pid_ == 0) {
            if (terminal_) setsid();
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(err_path.empty() ? out[1]
                                  : open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
                 2);
            if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(127);
            auto argv = argv_of(args);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        if (out[1] != in[0]) close(out[1]);
        in_ = in[1];
        out_ = out[0];
        return pid_ > 0;
    }

    // Asked before start: the program's standard input, output and error are a terminal (a
    // pseudo-terminal's slave) rather than pipes. The terminal edits lines and stops and restarts
    // the output at Ctrl-S and Ctrl-Q, as a technician's does; it neither echoes nor adds CRs, so
    // the output reads as through a pipe.
    void on_terminal() { terminal_ = true; }
    void pause_output() { send("\x13"); }
    void resume_output() { send("\x11"); }

    // Inputs here are far smaller than a pipe holds, so a plain write never blocks for long.
    void send(const std::string& text) {
        for (size_t done = 0; in_ >= 0 && done < text.size();) {
            ssize_t n = write(in_, text.data() + done, text.size() - done);
            if (n <= 0) return close_input();
            done += static_cast<size_t>(n);
        }
    }
    void close_input() {
        if (in_ >= 0) close(in_);
        in_ = -1;
    }

    // Waits until `text` appears after the previous match (anywhere: for a line from another
    // thread whose place is not fixed); false when the output ended or the limit passed first.
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

    // The rest of the next whole line that starts with `prefix` ("" at the limit or the end).
    std::string wait_line(const std::string& prefix, int timeout_ms = 10000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            for (size_t nl; (nl = output_.find('\n', line_)) != std::string::npos;) {
                std::string line = output_.substr(line_, nl - line_);
                line_ = nl + 1;
                if (line.compare(0, prefix.size(), prefix) == 0) return line.substr(prefix.size());
            }
            if (!read_some(ms_left(deadline))) return "";
        }
    }

    Result finish(int timeout_ms = 90000) {
        close_input();
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (read_some(ms_left(deadline))) {
        }
        Result r;
        r.timed_out = out_ >= 0;
        if (r.timed_out) kill(pid_, SIGKILL);
        r.exit_code = reap(true);
        r.output = output_;
        return r;
    }

    // SIGTERM, then SIGKILL if it is still there after two seconds; the exit code.
    int stop(int sig = SIGTERM) {
        if (pid_ <= 0) return -1;
        kill(pid_, sig);
        // A process's pidfd is readable once it has ended.
        pollfd p{static_cast<int>(syscall(SYS_pidfd_open, pid_, 0)), POLLIN, 0};
        if (p.fd < 0 || poll(&p, 1, 2000) != 1) kill(pid_, SIGKILL);
        if (p.fd >= 0) close(p.fd);
        return reap(true);
    }

    const std::string& output() const { return output_; }

  private:
    // in[0] and out[1] are the slave, in[1] and out[0] the master (each its own descriptor).
    static bool open_terminal(int in[2], int out[2]) {
        const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128];
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
            ptsname_r(master, name, sizeof name) != 0)
            return false;
        const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t{};
        if (slave < 0 || tcgetattr(slave, &t) != 0) return false;
        t.c_lflag = (t.c_lflag | ICANON) & ~tcflag_t(ECHO);
        t.c_oflag &= ~tcflag_t(OPOST);
        t.c_iflag |= IXON;
        tcsetattr(slave, TCSANOW, &t);
        in[0] = out[1] = slave;
        in[1] = master;
        out[0] = fcntl(master, F_DUPFD_CLOEXEC, 0);
        return true;
    }

    bool read_some(int timeout_ms) {
        pollfd p{out_, POLLIN, 0};
        if (out_ < 0 || timeout_ms <= 0 || poll(&p, 1, timeout_ms) <= 0) return false;
        char buf[4096];
        ssize_t n = read(out_, buf, sizeof buf);
        if (n > 0 && crlf_) {
            // A CR LF split between two reads is joined here too.
            const size_t from = output_.empty() ? 0 : output_.size() - 1;
            std::string tail = output_.substr(from) + std::string(buf, static_cast<size_t>(n));
            for (size_t at; (at = tail.find("\r\n")) != std::string::npos;) tail.erase(at, 1);
            output_ = output_.substr(0, from) + tail;
            // Wine's own diagnostics ("wine client error:484: sendmsg: Socket operation on
            // non-socket", now and then under load) are not the program's output; a line not
            // yet read past is taken out once it is whole.
            const size_t seen = std::max(cursor_, line_);
            for (size_t at; (at = output_.find("wine client error:", seen)) != std::string::npos;) {
                const size_t nl = output_.find('\n', at);
                if (nl == std::string::npos) break;
                output_.erase(at, nl + 1 - at);
            }
            return true;
        }
        if (n > 0) return output_.append(buf, static_cast<size_t>(n)), true;
        close(out_);
        out_ = -1;
        return false;
    }
    // Collects the child (`wait`: not yet collected) and closes the pipes; its exit code.
    int reap(bool wait) {
        if (pid_ > 0 && wait) waitpid(pid_, &status_, 0);
        pid_ = -1;
        close_input();
        if (out_ >= 0) close(out_);
        out_ = -1;
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }

    pid_t pid_ = -1;
    bool crlf_ = false;  // the Windows program: CR LF read as LF
    bool terminal_ = false;
    int in_ = -1, out_ = -1, status_ = 0;
    std::string output_;
    size_t cursor_ = 0, line_ = 0;
};

// A program that runs for the length of a test (the simulator).
using Background = Child;

inline Result run(std::vector<std::string> args, const std::string& input = "",
                  const std::string& dir = "", int timeout_ms = 90000) {
    Child c;
    if (!c.start(std::move(args), dir)) return {};
    c.send(input);
    return c.finish(timeout_ms);
}

class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/nvterm-test-XXXXXX";
        path_ = mkdtemp(tmpl) ? tmpl : "";
    }
    ~TempDir() {
        if (!path_.empty() && std::system(("rm -rf '" + path_ + "'").c_str()) != 0) {
        }
    }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
// A data file's lines with their numbers, leaving out blank lines and comments ('#').
inline std::vector<std::pair<int, std::string>> data_lines(const std::string& path) {
    std::istringstream in(read_file(path));
    std::vector<std::pair<int, std::string>> out;
    std::string line;
    for (int n = 1; std::getline(in, line); ++n)
        if (line.find_first_not_of(' ') != std::string::npos && line[0] != '#')
            out.emplace_back(n, line);
    return out;
}
inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}
inline std::set<std::string> names_in(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.insert(e->d_name);
        closedir(d);
    }
    return names;
}
inline std::string times(const std::string& text, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += text;
    return out;
}

}  // namespace proc
