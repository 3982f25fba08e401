// The communication library over TCP on 127.0.0.1 with a peer of the test's own: data as sent,
// idle periods, disconnection, peer close and reset, refusal and the connected signal.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "comm_events.h"
#include "comm_peers.h"

namespace {

constexpr int NEVER_MS = 600000;  // longer than the test's own limit: a missed wake-up fails

// A link to a fresh peer; open() connects, accepts and waits for OPENED.
struct TcpLink {
    explicit TcpLink(bool listening = true) : peer(listening) {}
    TcpPeer peer;
    CommEvents ev;
    int handle = 0;
    int fd = -1;
    ~TcpLink() {
        if (handle > 0) comm_disconnect(handle);  // the recorder outlives the last event
    }
    bool connect(int idle_ms = 0) {
        char conn[COMM_CONN_STRING_SIZE];
        return comm_make_conn_string_net(conn, "127.0.0.1", peer.port(), 5000) == 0 &&
               comm_connect(&handle, conn, CommEvents::proc, 4096, idle_ms, &ev) == 0;
    }
    bool open(int idle_ms = 0) {
        return connect(idle_ms) && (fd = peer.accept()) >= 0 &&
               ev.wait_count(handle, COMM_EVENT_OPENED);
    }
};

TEST(CommTcp, DataArrivesAsSentAndDisconnectDeliversClosedBeforeReturning) {
    CommRunning running;
    TcpLink link;
    ASSERT_TRUE(link.open());
    int h = link.handle;
    EXPECT_EQ(comm_get_state(h), COMM_STATE_OPEN);

    // Two sends, then a block larger than the read size: DATA carries the bytes in order, each
    // piece at most the read size.
    std::string block(65536, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 31 % 251);
    ASSERT_TRUE(write_all(link.fd, "hello"));
    ASSERT_TRUE(link.ev.wait_bytes(h, 5));
    ASSERT_TRUE(write_all(link.fd, "world" + block));
    ASSERT_TRUE(link.ev.wait_bytes(h, 10 + block.size()));
    EXPECT_EQ(link.ev.data(h), "helloworld" + block);
    for (const auto& e : link.ev.events(h)) EXPECT_LE(e.bytes.size(), 4096u);

    ASSERT_EQ(comm_write(h, "ping", 4, 0, 5000), 0);
    EXPECT_EQ(read_bytes(link.fd, 4), "ping");

    // A frame offered under handle 0 (the discovery parse) reaches no link's capture.
    unsigned char reply[16];
    int l1 = -1, l2 = -1, l3 = -1;
    ASSERT_EQ(comm_hook_response(h, 9007, reply, 16, 0, nullptr, 0, 0, nullptr, 0), 0);
    comm_fill_rsp_buff(0, 9007, "ZORV-reply", 10);
    EXPECT_NE(comm_wait_response(h, &l1, &l2, &l3, 20), 0);
    EXPECT_EQ(l1 + l2 + l3, 0);
    EXPECT_EQ(comm_fill_rsp_buff(h, 9007, "ZORV-reply", 10), 0);
    EXPECT_EQ(comm_wait_response(h, &l1, &l2, &l3, NEVER_MS), 0);
    EXPECT_EQ(l1, 10);
    EXPECT_EQ(comm_unhook_response(h), 0);

    ASSERT_EQ(comm_disconnect(h), 0);
    std::vector<int> kinds = link.ev.kinds(h);  // no waiting: CLOSED is already there
    EXPECT_EQ(kinds.front(), COMM_EVENT_OPENED);
    EXPECT_EQ(kinds.back(), COMM_EVENT_CLOSED);
    EXPECT_EQ(link.ev.count(h, COMM_EVENT_ERROR), 0);
    EXPECT_EQ(comm_get_state(h), COMM_STATE_NONE);
    EXPECT_NE(comm_disconnect(h), 0);
    EXPECT_EQ(read_bytes(link.fd), "");  // the peer sees the close
    for (int bad : {h, 0, -1, 999999}) EXPECT_NE(comm_write(bad, "x", 1, 0, 100), 0) << bad;
}

TEST(CommTcp, IdleFollowsEveryQuietPeriodButNeverFlowingData) {
    constexpr int IDLE_MS = 300;
    CommRunning running;
    TcpLink link;
    ASSERT_TRUE(link.open(IDLE_MS));
    int h = link.handle;
    for (int i = 0; i < 40; ++i) {  // a byte every 10 ms, longer than one idle period
        ASSERT_TRUE(write_all(link.fd, "x"));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(link.ev.wait_bytes(h, 40));
    size_t after_data = link.ev.events(h).size();
    ASSERT_TRUE(link.ev.wait(h, [&](const std::vector<CommEvents::Event>& e) {
        std::vector<CommEvents::Event> later(e.begin() + static_cast<long>(after_data), e.end());
        return CommEvents::count_of(later, COMM_EVENT_IDLE) >= 2;
    }));
    // Every IDLE comes a whole idle period after the link's previous event (with a little
    // slack for the recorder's own clock reading).
    auto events = link.ev.events(h);
    for (size_t i = 1; i < events.size(); ++i) {
        if (events[i].kind != COMM_EVENT_IDLE) continue;
        EXPECT_GE(events[i].at - events[i - 1].at, std::chrono::milliseconds(IDLE_MS - 50))
            << "event " << i;
    }
}

TEST(CommTcp, PeerClosingOrResettingEndsTheLink) {
    CommRunning running;
    for (bool reset : {false, true}) {
        TcpLink link;
        ASSERT_TRUE(link.open());
        int h = link.handle;
        ASSERT_TRUE(write_all(link.fd, "last words"));
        ASSERT_TRUE(link.ev.wait_bytes(h, 10));
        linger abort{1, 0};  // close with a reset
        if (reset) setsockopt(link.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        link.peer.close_client();
        ASSERT_TRUE(link.ev.wait_count(h, COMM_EVENT_CLOSED));
        std::vector<int> expected = {COMM_EVENT_OPENED, COMM_EVENT_DATA, COMM_EVENT_CLOSED};
        if (reset) expected.insert(expected.end() - 1, COMM_EVENT_ERROR);
        EXPECT_EQ(link.ev.kinds(h), expected) << (reset ? "reset" : "close");
        EXPECT_EQ(comm_get_state(h), COMM_STATE_NONE);
    }
}

// A reply that arrives just before the peer closes (an instrument that answers a flash or a
// restart and goes away) is still there for the waiter that comes to collect it after CLOSED.
TEST(CommTcp, ReplyCapturedJustBeforeTheCloseReachesItsWaiter) {
    CommRunning running;
    TcpLink link;
    link.ev.hook = [](int handle, int kind, const unsigned char* bytes, int count) {
        if (kind == COMM_EVENT_DATA) comm_fill_rsp_buff(handle, 9103, bytes, count);
        return 0;
    };
    ASSERT_TRUE(link.open());
    int h = link.handle;
    unsigned char reply[16] = {};
    ASSERT_EQ(comm_hook_response(h, 9103, reply, 16, 12290, nullptr, 0, 0, nullptr, 0), 0);
    ASSERT_TRUE(write_all(link.fd, "flashed"));
    link.peer.close_client();
    ASSERT_TRUE(link.ev.wait_count(h, COMM_EVENT_CLOSED));
    int l1 = -1, l2 = -1, l3 = -1;
    EXPECT_EQ(comm_wait_response(h, &l1, &l2, &l3, NEVER_MS), 0);
    EXPECT_EQ(l1, 7);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), 7), "flashed");
    EXPECT_EQ(comm_unhook_response(h), 0);
    // Once unhooked, the closed link is forgotten.
    EXPECT_NE(comm_wait_response(h, &l1, &l2, &l3, 10), 0);
    EXPECT_NE(comm_hook_response(h, 9103, reply, 16, 0, nullptr, 0, 0, nullptr, 0), 0);
    link.handle = 0;
}

// A refused connection fails at once; one that is never answered (a listener whose backlog is
// full drops the handshake) fails at the string's time-out. Both: ERROR, then CLOSED.
TEST(CommTcp, RefusedOrUnansweredConnectionFails) {
    CommRunning running;
    TcpPeer refusing(false);
    int full = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int full_port = bind_port(full);
    ASSERT_EQ(::listen(full, 0), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        sockaddr_in a = loopback();
        a.sin_port = htons(static_cast<uint16_t>(full_port));
        ::connect(fillers.back(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    for (int port : {refusing.port(), full_port}) {
        CommEvents ev;
        char conn[COMM_CONN_STRING_SIZE];
        ASSERT_EQ(comm_make_conn_string_net(conn, "127.0.0.1", port, 300), 0);
        int h = 0;
        ASSERT_EQ(comm_connect(&h, conn, CommEvents::proc, 4096, 0, &ev), 0);
        EXPECT_NE(comm_wait_connected(h, NEVER_MS), 0) << conn;
        ASSERT_TRUE(ev.wait_count(h, COMM_EVENT_CLOSED)) << conn;
        EXPECT_EQ(ev.kinds(h), (std::vector<int>{COMM_EVENT_ERROR, COMM_EVENT_CLOSED})) << conn;
    }
    for (int fd : fillers) ::close(fd);
    ::close(full);
}

TEST(CommTcp, WaitConnectedFollowsTheSignalAndTheEventResult) {
    CommRunning running;
    struct Case {
        const char* what;
        bool signal_in_opened;
        int opened_result, wait_ms;
        bool wait_ok;
        int state, state_after_late_signal;
    };
    const Case cases[] = {
        {"signalled, 0", true, 0, NEVER_MS, true, COMM_STATE_CONNECTED, COMM_STATE_CONNECTED},
        {"signalled, -1", true, -1, NEVER_MS, true, COMM_STATE_OPEN, COMM_STATE_OPEN},
        {"failed, no signal", false, -1, NEVER_MS, false, COMM_STATE_OPEN, COMM_STATE_OPEN},
        {"time limit", false, 0, 50, false, COMM_STATE_OPEN, COMM_STATE_CONNECTED},
    };
    for (const Case& c : cases) {
        TcpLink link;
        std::atomic<int> state_inside{-1};
        link.ev.hook = [&](int h, int kind, const unsigned char*, int) {
            if (kind != COMM_EVENT_OPENED) return 0;
            if (c.signal_in_opened) comm_signal_connected(h);
            state_inside = comm_get_state(h);  // the call has not returned yet
            return c.opened_result;
        };
        ASSERT_TRUE(link.connect());
        int h = link.handle;
        EXPECT_EQ(comm_wait_connected(h, c.wait_ms) == 0, c.wait_ok) << c.what;
        ASSERT_TRUE(link.ev.wait_count(h, COMM_EVENT_OPENED));
        EXPECT_EQ(state_inside.load(), COMM_STATE_OPEN) << c.what;
        EXPECT_EQ(comm_get_state(h), c.state) << c.what;
        // A signal from the console thread acts at once, but a failed link stays failed.
        EXPECT_EQ(comm_signal_connected(h), 0);
        EXPECT_EQ(comm_get_state(h), c.state_after_late_signal) << c.what;
        EXPECT_EQ(comm_wait_connected(h, 0), 0) << c.what;
        EXPECT_EQ(comm_disconnect(h), 0);
        EXPECT_NE(comm_wait_connected(h, NEVER_MS), 0) << c.what;  // closed
    }
}

TEST(CommTcp, DisconnectFromInsideTheEventProcedureDoesNotDeadlock) {
    CommRunning running;
    TcpLink link;
    std::atomic<int> result{99};
    link.ev.hook = [&](int h, int kind, const unsigned char*, int) {
        if (kind == COMM_EVENT_DATA) result = comm_disconnect(h);
        return 0;
    };
    ASSERT_TRUE(link.open());
    ASSERT_TRUE(write_all(link.fd, "bye"));
    ASSERT_TRUE(link.ev.wait_count(link.handle, COMM_EVENT_CLOSED));
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(link.ev.kinds(link.handle),
              (std::vector<int>{COMM_EVENT_OPENED, COMM_EVENT_DATA, COMM_EVENT_CLOSED}));
}

}  // namespace
