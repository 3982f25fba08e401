// The communication library over TCP on loopback, with a peer of the test's own: events in
// order, data as sent, idle periods, writes from both threads, disconnection, refusal, the
// connected signal and the walk over open links.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "comm_events.h"
#include "comm_peers.h"

namespace {

constexpr int NEVER_MS = 600000;  // longer than the test's own limit: a missed wake-up fails

std::string net_string(const char* host, int port) {
    char out[COMM_CONN_STRING_SIZE];
    EXPECT_EQ(comm_make_conn_string_net(out, host, port, 5000), 0);
    return out;
}

// A link to a fresh peer, accepted and OPENED.
struct TcpLink {
    explicit TcpLink(bool ipv6 = false) : peer(ipv6) {}
    // The recorder must outlive the link's last event.
    ~TcpLink() {
        if (handle > 0) comm_disconnect(handle);
    }
    TcpPeer peer;
    CommEvents ev;
    int handle = 0;
    int fd = -1;

    bool open(int rx_size = 4096, int idle_ms = 0, const char* host = "127.0.0.1") {
        std::string conn = net_string(host, peer.port());
        if (comm_connect(&handle, conn.c_str(), CommEvents::proc, rx_size, idle_ms, &ev) != 0)
            return false;
        fd = peer.accept();
        return fd >= 0 && ev.wait_count(handle, COMM_EVENT_OPENED);
    }
};

class CommTcp : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(running_.ok()); }
    CommRunning running_;
};

std::string pattern(size_t n, int seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 31 + static_cast<size_t>(seed)) & 0xFF);
    return s;
}

TEST_F(CommTcp, DataArrivesAsSentAndDisconnectDeliversClosedBeforeReturning) {
    struct Case {
        const char* host;
        bool ipv6;
    };
    for (const Case& c : {Case{"127.0.0.1", false}, Case{"::1", true}}) {
        TcpLink link(c.ipv6);
        if (c.ipv6 && link.peer.port() == 0) {
            GTEST_LOG_(INFO) << "no IPv6 loopback here; the IPv6 case is left out";
            continue;
        }
        ASSERT_TRUE(link.open(4096, 0, c.host)) << c.host;
        int h = link.handle;
        EXPECT_EQ(comm_get_state(h), COMM_STATE_OPEN);

        // Two sends, then one block larger than the read size: DATA carries the bytes in
        // order, each piece at most the read size.
        ASSERT_TRUE(write_all(link.fd, "hello"));
        ASSERT_TRUE(link.ev.wait_bytes(h, 5));
        ASSERT_TRUE(write_all(link.fd, "world"));
        const std::string block = pattern(65536, 3);
        ASSERT_TRUE(write_all(link.fd, block));
        ASSERT_TRUE(link.ev.wait_bytes(h, 10 + block.size()));
        EXPECT_EQ(link.ev.data(h), "helloworld" + block);
        for (const auto& e : link.ev.events(h)) EXPECT_LE(e.bytes.size(), 4096u);

        ASSERT_EQ(comm_write(h, "ping", 4, 0, 5000), 0);
        std::string got;
        ASSERT_TRUE(read_exact(link.fd, 4, &got));
        EXPECT_EQ(got, "ping");

        ASSERT_EQ(comm_disconnect(h), 0);
        std::vector<int> kinds = link.ev.kinds(h);  // no waiting: CLOSED is already there
        ASSERT_FALSE(kinds.empty());
        EXPECT_EQ(kinds.front(), COMM_EVENT_OPENED);
        EXPECT_EQ(kinds.back(), COMM_EVENT_CLOSED);
        EXPECT_EQ(link.ev.count(h, COMM_EVENT_ERROR), 0);
        EXPECT_EQ(comm_get_state(h), COMM_STATE_NONE);
        EXPECT_NE(comm_disconnect(h), 0);
        EXPECT_NE(comm_write(h, "late", 4, 0, 100), 0);
        EXPECT_EQ(read_to_end(link.fd), "");  // the peer sees the close
    }
    // Writes to handles that never were a link.
    for (int h : {0, -1, 999999}) EXPECT_NE(comm_write(h, "x", 1, 0, 100), 0) << h;
}

TEST_F(CommTcp, IdleFollowsEveryQuietPeriodButNeverFlowingData) {
    constexpr int IDLE_MS = 300;
    TcpLink link;
    ASSERT_TRUE(link.open(4096, IDLE_MS));
    int h = link.handle;
    // Bytes every 10 ms for longer than one idle period.
    for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(write_all(link.fd, "x"));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(link.ev.wait_bytes(h, 40));
    size_t after_data = link.ev.events(h).size();
    ASSERT_TRUE(link.ev.wait([&](const std::vector<CommEvents::Event>& all) {
        int idles = 0;
        size_t seen = 0;
        for (const auto& e : all) {
            if (e.handle != h) continue;
            if (++seen > after_data && e.kind == COMM_EVENT_IDLE) ++idles;
        }
        return idles >= 2;
    }));
    // Every IDLE comes a whole idle period after the link's previous event (a little slack for
    // the recorder's own clock reading).
    auto events = link.ev.events(h);
    for (size_t i = 1; i < events.size(); ++i) {
        if (events[i].kind != COMM_EVENT_IDLE) continue;
        auto quiet = events[i].at - events[i - 1].at;
        EXPECT_GE(quiet, std::chrono::milliseconds(IDLE_MS - 50)) << "event " << i;
    }
    EXPECT_EQ(link.ev.data(h), std::string(40, 'x'));
}

TEST_F(CommTcp, PeerClosingOrResettingEndsTheLink) {
    struct Case {
        const char* what;
        bool reset;
        std::vector<int> tail;
    };
    const Case cases[] = {
        {"orderly close", false, {COMM_EVENT_DATA, COMM_EVENT_CLOSED}},
        {"reset", true, {COMM_EVENT_DATA, COMM_EVENT_ERROR, COMM_EVENT_CLOSED}},
    };
    for (const Case& c : cases) {
        TcpLink link;
        ASSERT_TRUE(link.open()) << c.what;
        int h = link.handle;
        ASSERT_TRUE(write_all(link.fd, "last words"));
        ASSERT_TRUE(link.ev.wait_bytes(h, 10)) << c.what;
        if (c.reset) {
            linger l{1, 0};
            setsockopt(link.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
        link.peer.close_client();
        ASSERT_TRUE(link.ev.wait_count(h, COMM_EVENT_CLOSED)) << c.what;
        std::vector<int> kinds = link.ev.kinds(h);
        std::vector<int> tail(
            kinds.end() - static_cast<long>(std::min(kinds.size(), c.tail.size())), kinds.end());
        EXPECT_EQ(tail, c.tail) << c.what;
        EXPECT_EQ(comm_get_state(h), COMM_STATE_NONE) << c.what;
        EXPECT_NE(comm_write(h, "x", 1, 0, 100), 0) << c.what;
    }
}

TEST_F(CommTcp, RefusedConnectionFailsAtOnce) {
    RefusingPort refusing;
    CommEvents ev;
    int h = 0;
    std::string conn = net_string("127.0.0.1", refusing.port());
    ASSERT_EQ(comm_connect(&h, conn.c_str(), CommEvents::proc, 4096, 200, &ev), 0);
    EXPECT_NE(comm_wait_connected(h, NEVER_MS), 0);
    ASSERT_TRUE(ev.wait_count(h, COMM_EVENT_CLOSED));
    EXPECT_EQ(ev.kinds(h), (std::vector<int>{COMM_EVENT_ERROR, COMM_EVENT_CLOSED}));
    EXPECT_EQ(comm_get_state(h), COMM_STATE_NONE);
}

TEST_F(CommTcp, WaitConnectedFollowsTheSignalAndTheEventResult) {
    struct Case {
        const char* what;
        bool signal_in_opened;
        int opened_result;
        int wait_ms;
        int wait_result;  // 0 or non-zero (1)
        int state;        // after the wait
        int state_after_late_signal;
    };
    const Case cases[] = {
        {"signalled, 0", true, 0, NEVER_MS, 0, COMM_STATE_CONNECTED, COMM_STATE_CONNECTED},
        {"signalled, -1", true, -1, NEVER_MS, 0, COMM_STATE_OPEN, COMM_STATE_OPEN},
        {"failed, no signal", false, -1, NEVER_MS, 1, COMM_STATE_OPEN, COMM_STATE_OPEN},
        {"no signal: time limit", false, 0, 50, 1, COMM_STATE_OPEN, COMM_STATE_CONNECTED},
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
        std::string conn = net_string("127.0.0.1", link.peer.port());
        ASSERT_EQ(comm_connect(&link.handle, conn.c_str(), CommEvents::proc, 4096, 0, &link.ev), 0);
        int h = link.handle;
        int r = comm_wait_connected(h, c.wait_ms);
        EXPECT_EQ(r != 0, c.wait_result != 0) << c.what;
        ASSERT_TRUE(link.ev.wait_count(h, COMM_EVENT_OPENED)) << c.what;
        EXPECT_EQ(state_inside.load(), COMM_STATE_OPEN) << c.what;
        EXPECT_EQ(comm_get_state(h), c.state) << c.what;
        // A signal from the console thread acts at once, unless the link failed.
        EXPECT_EQ(comm_signal_connected(h), 0);
        EXPECT_EQ(comm_get_state(h), c.state_after_late_signal) << c.what;
        EXPECT_EQ(comm_wait_connected(h, 0), 0) << c.what;
        EXPECT_EQ(comm_disconnect(h), 0);
        EXPECT_NE(comm_wait_connected(h, NEVER_MS), 0) << c.what;
    }
}

TEST_F(CommTcp, DisconnectFromInsideTheEventProcedureDoesNotDeadlock) {
    TcpLink link;
    std::atomic<int> result{99};
    link.ev.hook = [&](int h, int kind, const unsigned char*, int) {
        if (kind == COMM_EVENT_DATA) result = comm_disconnect(h);
        return 0;
    };
    ASSERT_TRUE(link.open());
    int h = link.handle;
    ASSERT_TRUE(write_all(link.fd, "bye"));
    ASSERT_TRUE(link.ev.wait_count(h, COMM_EVENT_CLOSED));
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(link.ev.kinds(h),
              (std::vector<int>{COMM_EVENT_OPENED, COMM_EVENT_DATA, COMM_EVENT_CLOSED}));
}

TEST_F(CommTcp, WalkYieldsEachOpenLinkWithItsContext) {
    TcpLink links[3];
    for (TcpLink& l : links) ASSERT_TRUE(l.open());
    auto walk = [] {
        std::vector<std::pair<int, void*>> seen;
        comm_data_cntr iter;
        comm_data_cntr_init(&iter);
        int h;
        void* ctx;
        while (comm_get_data(&iter, &h, &ctx) == 1) seen.emplace_back(h, ctx);
        return seen;
    };
    std::vector<std::pair<int, void*>> expected;
    for (TcpLink& l : links) expected.emplace_back(l.handle, &l.ev);
    EXPECT_EQ(walk(), expected);
    ASSERT_EQ(comm_disconnect(links[1].handle), 0);
    expected.erase(expected.begin() + 1);
    EXPECT_EQ(walk(), expected);
}

// The receiver offers frames from the I/O thread; the hooked thread wakes with their lengths.
// Frames offered under handle 0 reach no link's capture.
TEST_F(CommTcp, CaptureOnALinkTakesFramesOfferedByTheReceiver) {
    TcpLink link;
    std::atomic<bool> offer_to_link{true};
    link.ev.hook = [&](int h, int kind, const unsigned char* bytes, int count) {
        if (kind == COMM_EVENT_DATA) {
            comm_fill_rsp_buff(0, bytes[0], bytes, count);
            if (offer_to_link) comm_fill_rsp_buff(h, bytes[0], bytes, count);
        }
        return 0;
    };
    ASSERT_TRUE(link.open());
    int h = link.handle;
    unsigned char reply[64], error[64], status[64];
    ASSERT_EQ(comm_hook_response(h, 'R', reply, 64, 'E', error, 64, 'S', status, 64), 0);
    ASSERT_TRUE(write_all(link.fd, "Sstatus"));
    int l1 = -1, l2 = -1, l3 = -1;
    ASSERT_EQ(comm_wait_response(h, &l1, &l2, &l3, NEVER_MS), 0);
    EXPECT_EQ(l1, 0);
    EXPECT_EQ(l2, 0);
    EXPECT_EQ(l3, 7);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(status), 7), "Sstatus");
    ASSERT_EQ(comm_unhook_response(h), 0);

    // Only handle 0 sees this one: the wait runs into its limit with zeros.
    ASSERT_EQ(comm_hook_response(h, 'R', reply, 64, 0, nullptr, 0, 0, nullptr, 0), 0);
    offer_to_link = false;
    ASSERT_TRUE(write_all(link.fd, "Rnobody"));
    ASSERT_TRUE(link.ev.wait_bytes(h, 14));
    comm_fill_rsp_buff(0, 'R', "Rnobody", 7);
    EXPECT_NE(comm_wait_response(h, &l1, &l2, &l3, 20), 0);
    EXPECT_EQ(l1 + l2 + l3, 0);
    comm_unhook_response(h);
}

}  // namespace
