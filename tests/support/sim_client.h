// The simulator in-process on free loopback ports, and a small link client. Every wait is bounded.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "comm_peers.h"
#include "process.h"
#include "qxx_frame.h"
#include "sim_server.h"

using bytes = std::vector<unsigned char>;

// The options of a command line such as "--usb-mode 1".
inline sim_options options(const std::string& line) {
    std::vector<std::string> args = proc::words_of("nv52-sim " + line);
    sim_options opt;
    std::string error;
    EXPECT_EQ(
        sim_parse_options(static_cast<int>(args.size()), proc::argv_of(args).data(), &opt, &error),
        0)
        << line << ": " << error;
    opt.port = opt.discovery_port = 0;
    return opt;
}

// The simulator on its own thread, TCP and UDP on free ports of 127.0.0.1.
class InProcessSim {
  public:
    explicit InProcessSim(const sim_options& opt) {
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
    const sim_server* server() const { return server_; }

  private:
    sim_server* server_ = nullptr;
    std::thread thread_;
};

// One request on a fresh link to the simulator: the payload of its reply, skipping events
// (10002..10015); empty when no reply came within the limit.
inline bytes sim_call(const InProcessSim& sim, int code) {
    bytes frame(QXX_FRAME_OVERHEAD);
    qxx_build_frame(frame.data(), code, nullptr, 0, 1000, 0);
    int fd = connect_loopback(sim.port());
    auto rx = std::make_unique<QXX_rx>();
    rx->count = 0;
    bytes reply;
    if (fd >= 0 && write_all(fd, std::string(frame.begin(), frame.end()))) {
        unsigned char buf[4096];
        for (ssize_t n;
             reply.empty() && wait_fd(fd, POLLIN, 5000) && (n = read(fd, buf, sizeof buf)) > 0;) {
            for (ssize_t i = 0; i < n && reply.empty(); ++i) {
                if (!qxx_rx_push(rx.get(), buf[i])) continue;
                int c = qxx_frame_code(rx->buf);
                if (c < 10002 || c > 10015)
                    reply.assign(rx->buf + 12, rx->buf + 12 + qxx_frame_payload_size(rx->buf));
                rx->count = 0;
            }
        }
    }
    if (fd >= 0) close(fd);
    return reply;
}
