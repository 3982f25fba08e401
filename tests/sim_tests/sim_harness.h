// Test support for the simulator: the simulator run in-process on free loopback ports, and a
// small link client that frames with qxx_frame.h. Every wait is bounded.
#pragma once

#include <gtest/gtest.h>

#include <climits>
#include <deque>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "comm_peers.h"
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

// The options of a command line such as "--event-ms 20 --events".
inline sim_options options(const std::string& line) {
    std::vector<std::string> args = {"nv52-sim"};
    for (std::istringstream in(line); in >> args.emplace_back();) {
    }
    args.pop_back();
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
    bool send_raw(const bytes& b) { return write_all(fd_, std::string(b.begin(), b.end())); }
    bool send(int code, const bytes& payload = {}) { return send_raw(make_frame(code, payload)); }

    // The next valid frame, events included.
    rx_frame next(int timeout_ms = WAIT_MS) {
        while (ready_.empty() && !eof_ && wait_fd(fd_, POLLIN, timeout_ms)) {
            unsigned char buf[65536];
            ssize_t n = read(fd_, buf, sizeof buf);
            eof_ = n <= 0;
            for (ssize_t i = 0; i < n; ++i) {
                if (!qxx_rx_push(rx_.get(), buf[i])) continue;
                const unsigned char* f = rx_->buf;
                ready_.push_back({qxx_frame_code(f), qxx_frame_param(f), qxx_frame_status(f),
                                  bytes(f + 12, f + 12 + qxx_frame_payload_size(f))});
                rx_->count = 0;
            }
        }
        if (ready_.empty()) return {};
        rx_frame f = std::move(ready_.front());
        ready_.pop_front();
        return f;
    }
    // The next frame that is not an event (10002..10015).
    rx_frame reply() {
        rx_frame f;
        while ((f = next()).code >= 10002 && f.code <= 10015) {
        }
        return f;
    }
    rx_frame call(int code, const bytes& payload = {}) {
        send(code, payload);
        return reply();
    }

  private:
    int fd_;
    std::unique_ptr<QXX_rx> rx_ = std::make_unique<QXX_rx>();
    std::deque<rx_frame> ready_;
    bool eof_ = false;
};
