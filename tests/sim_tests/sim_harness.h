// Test support for the simulator: the simulator run in-process on free loopback ports, a small
// link client that frames with qxx_frame.h, and the built nv52-sim as a child process. Every
// wait is bounded: a test that waits in vain fails instead of hanging.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <deque>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qxx_frame.h"
#include "sim_server.h"

using bytes = std::vector<unsigned char>;
constexpr int WAIT_MS = 5000;  // generous: only a broken simulator makes a test wait this long

struct rx_frame {
    int code = -1;  // -1: nothing arrived in time
    int param = 0, status = 0;
    bytes data;
    // The i32 at payload offset `at`; INT32_MIN when the payload is too short.
    int32_t i32(int at) const {
        return at + 4 <= static_cast<int>(data.size()) ? get_i32le(&data[at]) : INT32_MIN;
    }
};

// Little-endian 32-bit values, as records and requests carry them.
inline bytes i32s(std::initializer_list<int64_t> values) {
    bytes b;
    for (int64_t v : values) {
        b.resize(b.size() + 4);
        put_u32le(&b[b.size() - 4], static_cast<uint32_t>(v));
    }
    return b;
}

// The blank-separated words of `line`, after `first` when given.
inline std::vector<std::string> words_of(const std::string& line, const char* first = nullptr) {
    std::vector<std::string> w;
    if (first) w.push_back(first);
    for (std::istringstream in(line); in >> w.emplace_back();) {
    }
    w.pop_back();
    return w;
}

// The options of a command line such as "--event-ms 20 --events".
inline sim_options options(const std::string& line) {
    std::vector<std::string> args = words_of(line, "nv52-sim");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    sim_options opt;
    std::string error;
    EXPECT_EQ(sim_parse_options(static_cast<int>(argv.size()), argv.data(), &opt, &error), 0)
        << line << ": " << error;
    return opt;
}

inline bytes make_frame(int code, const bytes& payload = {}, int param = 1000) {
    bytes f(payload.size() + QXX_FRAME_OVERHEAD);
    qxx_build_frame(f.data(), code, payload.data(), static_cast<int>(payload.size()), param, 0);
    return f;
}

inline sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A TCP connection to 127.0.0.1:port; `rcvbuf` > 0 sets a small receive buffer first.
inline int connect_loopback(int port, int rcvbuf = 0) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    close(fd);
    return -1;
}

// The simulator on its own thread, TCP and UDP on free ports of 127.0.0.1.
class InProcessSim {
  public:
    explicit InProcessSim(sim_options opt = {}) {
        opt.port = opt.discovery_port = 0;
        std::string error;
        if (sim_server_open(opt, &server_, &error) != 0) {
            ADD_FAILURE() << error;
            return;
        }
        thread_ = std::thread([this] { sim_server_run(server_); });
    }
    ~InProcessSim() {
        if (!server_) return;
        sim_server_stop(server_);
        thread_.join();
        sim_server_close(server_);
    }
    int port() const { return server_ ? sim_server_tcp_port(server_) : 0; }
    int udp_port() const { return server_ ? sim_server_udp_port(server_) : 0; }

  private:
    sim_server* server_ = nullptr;
    std::thread thread_;
};

// One end of a link, a TCP connection or an open pty, taking frames apart with qxx_rx_push.
class SimClient {
  public:
    explicit SimClient(int fd) : fd_(fd) { rx_->count = 0; }
    explicit SimClient(const InProcessSim& sim) : SimClient(connect_loopback(sim.port())) {}
    ~SimClient() { hang_up(); }
    void hang_up() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    // False when the link is gone (no SIGPIPE on a closed socket).
    bool send_raw(const bytes& b) {
        ssize_t n = ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK) n = write(fd_, b.data(), b.size());
        return n == static_cast<ssize_t>(b.size());
    }
    bool send(int code, const bytes& payload = {}) { return send_raw(make_frame(code, payload)); }

    // The next valid frame, events included.
    rx_frame next(int timeout_ms = WAIT_MS) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (ready_.empty() && !eof_ && std::chrono::steady_clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 10) != 1) continue;
            unsigned char buf[65536];
            ssize_t n = read(fd_, buf, sizeof buf);
            eof_ = n <= 0;
            for (ssize_t i = 0; i < n; ++i) {
                received_++;
                if (!qxx_rx_push(rx_.get(), buf[i])) continue;
                const unsigned char* f = rx_->buf;
                ready_.push_back({qxx_frame_code(f), qxx_frame_param(f), qxx_frame_status(f),
                                  bytes(f + 12, f + 12 + qxx_frame_payload_size(f))});
                framed_ += rx_->count;
                rx_->count = 0;
            }
        }
        if (ready_.empty()) return {};
        rx_frame f = std::move(ready_.front());
        ready_.pop_front();
        return f;
    }
    // The next frame that is not an event (10002..10015); events on the way are kept.
    rx_frame reply() {
        for (;;) {
            rx_frame f = next();
            if (f.code < 10002 || f.code > 10015) return f;
            events_.push_back(std::move(f));
        }
    }
    rx_frame call(int code, const bytes& payload = {}) {
        send(code, payload);
        return reply();
    }
    // The next event with this code, those kept by reply() first.
    rx_frame event(int code) {
        for (auto it = events_.begin(); it != events_.end(); ++it) {
            if (it->code != code) continue;
            rx_frame f = std::move(*it);
            events_.erase(it);
            return f;
        }
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
        rx_frame f;
        do f = next();
        while (f.code != code && f.code != -1 && std::chrono::steady_clock::now() < end);
        return f.code == code ? f : rx_frame{};
    }
    // True once the simulator closed the link; frames still unread are discarded.
    bool closed_by_peer() {
        while (!eof_ && next().code != -1) {
        }
        return eof_;
    }
    // Bytes that arrived but were thrown away by the frame assembler.
    long dropped() const { return received_ - framed_ - rx_->count; }

  private:
    int fd_;
    std::unique_ptr<QXX_rx> rx_ = std::make_unique<QXX_rx>();
    std::deque<rx_frame> ready_, events_;
    long received_ = 0, framed_ = 0;
    bool eof_ = false;
};

// The built nv52-sim as a child process: standard output on a pipe, standard error to a file.
class SimProcess {
  public:
    explicit SimProcess(std::vector<std::string> args, const char* err_path = "/dev/null") {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            dup2(open(err_path, O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            std::vector<char*> argv{const_cast<char*>(NV52_SIM_BIN)};
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(NV52_SIM_BIN, argv.data());
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
    }
    ~SimProcess() {
        if (pid_ > 0 && wait_exit(0) == -1) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
    }
    // One line of standard output without its newline ("" at its end or after the time limit).
    std::string line() {
        std::string s;
        char c;
        for (pollfd p{out_, POLLIN, 0}; poll(&p, 1, WAIT_MS) == 1;) {
            if (read(out_, &c, 1) != 1 || c == '\n') break;
            s += c;
        }
        return s;
    }
    // The exit status within `timeout_ms` (128 + the signal's number after a signal), else -1.
    int wait_exit(int timeout_ms = WAIT_MS) {
        for (int waited = 0;; waited += 10) {
            int st;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
            if (waited >= timeout_ms) return -1;
            usleep(10000);
        }
    }
    void signal(int sig) { kill(pid_, sig); }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
};

// The port at the end of a "listening tcp 127.0.0.1:PORT" line.
inline int port_of(const std::string& line) {
    return std::atoi(line.c_str() + line.rfind(':') + 1);
}
