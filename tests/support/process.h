// Test support: run the built programs as processes.
//
// run() starts a program with arguments, feeds it standard input, collects standard output and
// standard error merged into one text in the order the program wrote them, and kills it when
// the time limit passes (the result then says so). Background starts a long-running program
// (the simulator) and reads its standard output line by line.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace proc {

struct Result {
    int exit_code = -1;     // 0..255, or -1 when killed by a signal
    bool timed_out = false;
    std::string output;     // standard output and standard error, merged
};

inline std::vector<char*> argv_of(std::vector<std::string>& args) {
    std::vector<char*> v;
    for (auto& a : args) v.push_back(a.data());
    v.push_back(nullptr);
    return v;
}

// Runs `args` (args[0] is the program path) in `dir` (empty: the current directory).
// `input` is written to standard input, which is then closed.
inline Result run(std::vector<std::string> args, const std::string& input = "",
                  const std::string& dir = "", int timeout_ms = 60000) {
    Result r;
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return r;
    if (pipe2(out, O_CLOEXEC) != 0) return r;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(127);
        auto argv = argv_of(args);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    signal(SIGPIPE, SIG_IGN);
    fcntl(in[1], F_SETFL, O_NONBLOCK);
    size_t written = 0;
    int to_child = in[1];
    if (input.empty()) {
        close(to_child);
        to_child = -1;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        pollfd fds[2] = {{out[0], POLLIN, 0}, {to_child, POLLOUT, 0}};
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        deadline - std::chrono::steady_clock::now())
                                        .count());
        if (left <= 0) {
            r.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, to_child >= 0 ? 2 : 1, left) < 0) continue;
        if (to_child >= 0 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(to_child, input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<size_t>(n);
            if (n < 0 || written == input.size()) {
                close(to_child);
                to_child = -1;
            }
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buf[4096];
            ssize_t n = read(out[0], buf, sizeof buf);
            if (n <= 0) break;
            r.output.append(buf, static_cast<size_t>(n));
        }
    }
    if (to_child >= 0) close(to_child);
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
    return r;
}

// A program running in the background for the length of a test (the simulator).
class Background {
public:
    Background() = default;
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    ~Background() { stop(); }

    // Starts `args`; standard error goes to `stderr_path` (empty: /dev/null).
    bool start(std::vector<std::string> args, const std::string& stderr_path = "") {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return false;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            int err = open(stderr_path.empty() ? "/dev/null" : stderr_path.c_str(),
                           O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (err >= 0) dup2(err, 2);
            int null_in = open("/dev/null", O_RDONLY);
            if (null_in >= 0) dup2(null_in, 0);
            auto argv = argv_of(args);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
        return pid_ > 0;
    }

    // Reads standard output until a line starting with `prefix` arrives; returns the rest of
    // that line, or "" at the time limit or when the program ended.
    std::string wait_line(const std::string& prefix, int timeout_ms = 10000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            size_t nl;
            while ((nl = pending_.find('\n')) != std::string::npos) {
                std::string line = pending_.substr(0, nl);
                pending_.erase(0, nl + 1);
                if (line.compare(0, prefix.size(), prefix) == 0) return line.substr(prefix.size());
            }
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - std::chrono::steady_clock::now())
                                            .count());
            if (left <= 0 || out_ < 0) return "";
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, left) <= 0) continue;
            char buf[1024];
            ssize_t n = read(out_, buf, sizeof buf);
            if (n <= 0) return "";
            pending_.append(buf, static_cast<size_t>(n));
        }
    }

    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status;
            for (int i = 0; i < 200 && waitpid(pid_, &status, WNOHANG) == 0; ++i) usleep(10000);
            if (waitpid(pid_, &status, WNOHANG) == 0) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
            }
            pid_ = -1;
        }
        if (out_ >= 0) close(out_);
        out_ = -1;
    }

    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string pending_;
};

// A fresh empty directory under the build's temporary area, removed with its files at the end.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/nvterm-test-XXXXXX";
        path_ = mkdtemp(tmpl) ? tmpl : "/tmp";
    }
    ~TempDir() {
        std::string cmd = "rm -rf '" + path_ + "'";
        if (path_ != "/tmp" && system(cmd.c_str()) != 0) {
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace proc
