// Discovery's deregistration never returns while the callback runs, and no callback runs or
// begins after it returned, while a peer on 127.0.0.1 floods the discovery socket. (Requests and
// answers reaching the callback are seen end to end in the discovery dialogue.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "comm_events.h"
#include "comm_peers.h"

namespace {

// What the callback saw (it has no context argument, hence one shared record).
struct Seen {
    std::atomic<int> calls{0}, active{0}, after_close{0}, inner_result{99};
    std::atomic<int> pause_at{0}, deregister_at{0};  // callbacks that pause or deregister
    std::atomic<bool> paused{false}, closed{false};  // closed: deregistration has returned
};
Seen* seen = nullptr;

int on_datagram(const unsigned char*, int) {
    ++seen->active;
    if (seen->closed) ++seen->after_close;
    int n = ++seen->calls;
    if (n == seen->pause_at) {  // long enough for the console thread to try deregistering
        seen->paused = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (n == seen->deregister_at) {
        seen->inner_result = comm_net_broadcast_deregister();
        seen->closed = true;  // this call is the last one
    }
    --seen->active;
    return 0;
}

// Waits for one datagram, then sends numbered ones to its sender until stopped (at most
// 200000).
struct Flood {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int port = bind_port(fd);
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread thread{[this] {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        char buf[64];
        while (!stop && !wait_fd(fd, POLLIN, 20)) {
        }
        if (stop ||
            ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len) < 0)
            return;
        for (; !stop && sent < 200000; ++sent) {
            std::string d = "flood " + std::to_string(sent);
            ::sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
        }
    }};
    ~Flood() {
        stop = true;
        thread.join();
        ::close(fd);
    }
};

TEST(CommDiscovery, DeregisterNeverReturnsWhileTheCallbackRuns) {
    CommRunning running;
    for (bool from_callback : {false, true}) {
        SCOPED_TRACE(from_callback ? "inside the callback" : "console thread");
        Seen record;
        seen = &record;
        (from_callback ? record.deregister_at : record.pause_at) = 40;
        Flood flood;
        ASSERT_EQ(comm_net_broadcast_register(on_datagram, nullptr), 0);
        ASSERT_EQ(comm_net_broadcast_send("go", 2, "127.0.0.1", flood.port), 0);
        const std::atomic<bool>& reached = from_callback ? record.closed : record.paused;
        for (int i = 0; i < 30000 && !reached; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_TRUE(reached);
        if (from_callback) {
            EXPECT_EQ(record.inner_result.load(), 0);
        } else {
            ASSERT_EQ(comm_net_broadcast_deregister(), 0);
            EXPECT_EQ(record.active.load(), 0) << "deregistration returned during a callback";
            record.closed = true;
        }
        // Datagrams keep coming for a while after the close.
        const int before = flood.sent;
        for (int i = 0; i < 30000 && flood.sent < before + 2000; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(record.after_close.load(), 0);
        EXPECT_NE(comm_net_broadcast_deregister(), 0);  // already closed
        EXPECT_NE(comm_net_broadcast_send("late", 4, "127.0.0.1", flood.port), 0);
    }
}

}  // namespace
