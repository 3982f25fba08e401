// Discovery over 127.0.0.1; after a deregistration no callback runs or begins, even under a flood.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "comm_events.h"
#include "comm_peers.h"

namespace {

constexpr int D = COMM_EVENT_DATA;

// The answers heard, as DATA events of handle 0 (the callback has no context argument).
CommEvents* heard = nullptr;
int on_answer(const unsigned char* bytes, int count) {
    return CommEvents::proc(0, D, bytes, count, heard);
}
std::vector<std::string> answers_heard() {
    std::vector<std::string> out;
    for (const CommEvents::Event& e : heard->events(0)) out.push_back(e.bytes);
    return out;
}

// A device on 127.0.0.1 that answers the request's sender; with `any` it hears broadcasts too.
struct Device {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int port;
    sockaddr_in from{};
    explicit Device(bool any = false) : port(bind_port(fd, any)) {}
    ~Device() { ::close(fd); }
    std::string receive() {
        char buf[65536];
        socklen_t len = sizeof from;
        if (!wait_fd(fd, POLLIN)) return "(nothing)";
        ssize_t n = ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        return n < 0 ? "(error)" : std::string(buf, static_cast<size_t>(n));
    }
    void answer(const std::string& d) {
        ::sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
    }
};

TEST(CommDiscoveryRound, RequestsGoOutAsGivenAndEveryAnswerComesBack) {
    CommRunning running;
    CommEvents recorder;
    heard = &recorder;
    Device dev;
    ASSERT_EQ(comm_net_broadcast_register(on_answer, nullptr), 0);
    const unsigned char request[13] = {0xA5, 0x5A, 0x19, 0x21, 0, 0, 0, 0, 0, 0, 0, 0x00, 0xFF};
    ASSERT_EQ(comm_net_broadcast_send(request, 13, "127.0.0.1", dev.port), 0);
    EXPECT_EQ(dev.receive(), std::string(reinterpret_cast<const char*>(request), 13));
    EXPECT_GE(ntohs(dev.from.sin_port), 1024);  // from an ephemeral port of its own
    ASSERT_EQ(comm_net_broadcast_send("1", 1, "127.0.0.1", dev.port), 0);  // the shortest
    EXPECT_EQ(dev.receive(), "1");
    const std::string big(65507, 'B');  // the largest datagram
    std::vector<std::string> answers = {"first answer", std::string(1, '\0'), big};
    for (int i = 0; i < 100; ++i) answers.push_back(std::string(1, 'n').append(std::to_string(i)));
    dev.answer("");  // an empty datagram carries nothing: no call
    for (const std::string& a : answers) dev.answer(a);
    ASSERT_TRUE(recorder.wait_count(0, D, static_cast<int>(answers.size())));
    EXPECT_TRUE(answers_heard() == answers);

    // The socket may send to a broadcast address (the loopback's own here).
    Device all(true);
    EXPECT_EQ(comm_net_broadcast_send("all", 3, "127.255.255.255", all.port), 0);
    EXPECT_EQ(all.receive(), "all");
    // A second registration replaces the first: a new socket, one callback.
    ASSERT_EQ(comm_net_broadcast_register(on_answer, nullptr), 0);
    CommEvents again;
    heard = &again;
    ASSERT_EQ(comm_net_broadcast_send("again", 5, "127.0.0.1", dev.port), 0);
    EXPECT_EQ(dev.receive(), "again");
    dev.answer("once");
    ASSERT_TRUE(again.wait_count(0, D, 1));
    EXPECT_EQ(comm_net_broadcast_deregister(), 0);
    EXPECT_EQ(answers_heard(), std::vector<std::string>{"once"});
    EXPECT_EQ(comm_net_broadcast_deregister(), -1);
    // Without the I/O thread there is no discovery socket: the shut-down closed it.
    ASSERT_EQ(comm_net_broadcast_register(on_answer, nullptr), 0);
    comm_shut();
    EXPECT_EQ(comm_net_broadcast_send("shut", 4, "127.0.0.1", dev.port), -1);
    EXPECT_EQ(comm_net_broadcast_register(on_answer, nullptr), -1);
}

// What the callback saw (it has no context argument, hence one shared record).
struct Seen {
    std::atomic<int> calls{0}, active{0}, after_close{0}, inner_result{99};
    std::atomic<int> pause_at{0}, deregister_at{0};  // callbacks that pause or deregister
    std::atomic<bool> closed{false};                 // deregistration has returned
    Counter paused, returned;
};
Seen* seen = nullptr;

int on_datagram(const unsigned char*, int) {
    ++seen->active;
    if (seen->closed) ++seen->after_close;
    int n = ++seen->calls;
    if (n == seen->pause_at) {  // held while the console thread deregisters
        seen->paused.add();
        seen->returned.wait(1, HOLD);  // a deregistration that does not wait returns now
    }
    if (n == seen->deregister_at) {
        seen->inner_result = comm_net_broadcast_deregister();
        seen->closed = true;  // this call is the last one
        seen->returned.add();
    }
    --seen->active;
    return 0;
}

// Waits for one datagram, then sends numbered ones to its sender until stopped.
struct Flood {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int port = bind_port(fd);
    std::atomic<bool> stop{false};
    Counter sent;
    std::thread thread{[this] {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        char buf[64];
        while (!stop && !wait_fd(fd, POLLIN, 20)) {
        }
        if (stop ||
            ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len) < 0)
            return;
        for (int n = 0; !stop && n < 200000; ++n, sent.add()) {
            std::string d = "flood " + std::to_string(n);
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
        if (from_callback) {
            ASSERT_TRUE(record.returned.wait());
            EXPECT_EQ(record.inner_result.load(), 0);
        } else {
            ASSERT_TRUE(record.paused.wait());
            ASSERT_EQ(comm_net_broadcast_deregister(), 0);
            EXPECT_EQ(record.active.load(), 0) << "deregistration returned during a callback";
            record.closed = true;
            record.returned.add();
        }
        // Datagrams keep coming for a while after the close.
        EXPECT_TRUE(flood.sent.wait(flood.sent.value() + 2000));
        EXPECT_EQ(record.after_close.load(), 0);
        EXPECT_NE(comm_net_broadcast_deregister(), 0);  // already closed
        EXPECT_NE(comm_net_broadcast_send("late", 4, "127.0.0.1", flood.port), 0);
    }
}

}  // namespace
