// Test support for the simulator: the simulator run in-process on free loopback ports, a small
// link client that frames with qxx_frame.h, and the built nv52-sim run as a process. Every wait
// is bounded; a test that waits in vain fails instead of hanging.
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

#include <chrono>
#include <climits>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "qxx_frame.h"
#include "sim_server.h"

using bytes = std::vector<unsigned char>;
constexpr int WAIT_MS = 5000;  // generous: only a broken simulator makes a test wait this long

struct rx_frame {
    int code = -1;  // -1: nothing arrived
    int param = 0;
    int status = 0;
    bytes data;
    // The i32 at payload offset `at`; INT32_MIN when the payload is too short (a failed wait).
    int32_t i32(int at) const {
        return at + 4 <= static_cast<int>(data.size()) ? get_i32le(data.data() + at) : INT32_MIN;
    }
};

inline bool is_event(int code) {
    return code >= 10002 && code <= 10015;
}

// The simulator on its own thread, TCP and UDP on free ports of 127.0.0.1.
class InProcessSim {
  public:
    explicit InProcessSim(sim_options opt = {}) {
        opt.port = 0;
        opt.discovery_port = 0;
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

inline int connect_loopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline bytes make_frame(int code, const bytes& payload = {}, int param = 1000) {
    bytes f(payload.size() + QXX_FRAME_OVERHEAD);
    qxx_build_frame(f.data(), code, payload.data(), static_cast<int>(payload.size()), param, 0);
    return f;
}

// One end of a link: TCP to the simulator, or an opened pty.
class SimClient {
  public:
    explicit SimClient(int port) : SimClient() { fd_ = connect_loopback(port); }
    static SimClient adopt(int fd) {
        SimClient c;
        c.fd_ = fd;
        return c;
    }
    SimClient(SimClient&& o) noexcept
        : fd_(o.fd_),
          rx_(std::move(o.rx_)),
          ready_(std::move(o.ready_)),
          events_(o.events_),
          received_(o.received_),
          framed_(o.framed_),
          eof_(o.eof_) {
        o.fd_ = -1;
    }
    ~SimClient() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    void hang_up() {
        close(fd_);
        fd_ = -1;
    }

    bool send_raw(const bytes& b) {
        return fd_ >= 0 && write(fd_, b.data(), b.size()) == static_cast<ssize_t>(b.size());
    }
    bool send(int code, const bytes& payload = {}) { return send_raw(make_frame(code, payload)); }

    // The next valid frame, events included.
    rx_frame next(int timeout_ms = WAIT_MS) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (ready_.empty() && !eof_) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            unsigned char buf[65536];
            ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0) {
                eof_ = true;
                break;
            }
            received_ += n;
            for (ssize_t i = 0; i < n; ++i) {
                if (!qxx_rx_push(rx_.get(), buf[i])) continue;
                rx_frame f;
                f.code = qxx_frame_code(rx_->buf);
                f.param = qxx_frame_param(rx_->buf);
                f.status = qxx_frame_status(rx_->buf);
                f.data.assign(rx_->buf + QXX_OFF_PAYLOAD,
                              rx_->buf + QXX_OFF_PAYLOAD + qxx_frame_payload_size(rx_->buf));
                framed_ += rx_->count;
                rx_->count = 0;
                ready_.push_back(std::move(f));
            }
        }
        if (ready_.empty()) return {};
        rx_frame f = std::move(ready_.front());
        ready_.pop_front();
        return f;
    }
    // The next frame that is not an event; events on the way are kept for event().
    rx_frame reply(int timeout_ms = WAIT_MS) {
        for (;;) {
            rx_frame f = next(timeout_ms);
            if (!is_event(f.code)) return f;
            events_.push_back(std::move(f));
        }
    }
    rx_frame call(int code, const bytes& payload = {}) {
        send(code, payload);
        return reply();
    }
    // The next event with this code, those kept by reply() first.
    rx_frame event(int code, int timeout_ms = WAIT_MS) {
        for (auto it = events_.begin(); it != events_.end(); ++it) {
            if (it->code != code) continue;
            rx_frame f = std::move(*it);
            events_.erase(it);
            return f;
        }
        for (;;) {
            rx_frame f = next(timeout_ms);
            if (f.code == code || f.code == -1) return f;
        }
    }
    // True once the simulator closed the link (frames still unread are discarded).
    bool closed_by_peer(int timeout_ms = WAIT_MS) {
        while (!eof_ && next(timeout_ms).code != -1) {
        }
        return eof_;
    }
    // Bytes that arrived but were dropped by the frame assembler (corrupted frames, noise).
    long dropped() const { return received_ - framed_ - rx_->count; }

  private:
    SimClient() : rx_(std::make_unique<QXX_rx>()) { rx_->count = 0; }
    int fd_ = -1;
    std::unique_ptr<QXX_rx> rx_;
    std::deque<rx_frame> ready_;
    std::deque<rx_frame> events_;
    long received_ = 0, framed_ = 0;
    bool eof_ = false;
};

// The built nv52-sim as a child process, its standard output on a pipe.
class SimProcess {
  public:
    explicit SimProcess(std::vector<std::string> args) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
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
        if (pid_ > 0 && wait_exit(0) == -1000) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }
    // One line of standard output without its newline; "" at the end or after the time limit.
    std::string line(int timeout_ms = WAIT_MS) {
        std::string s;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        char c;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd p{out_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return s;
            if (read(out_, &c, 1) != 1 || c == '\n') return s;
            s += c;
        }
    }
    // The exit status after at most `timeout_ms` (a signal gives 128 + its number), or -1000.
    int wait_exit(int timeout_ms = WAIT_MS) {
        for (int waited = 0;; waited += 10) {
            int st;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
            if (waited >= timeout_ms) return -1000;
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
    size_t colon = line.rfind(':');
    return colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 1);
}
