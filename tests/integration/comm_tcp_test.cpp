// The communication library over TCP on 127.0.0.1 with a peer of the test's own, for what the
// console's sessions cannot show: idle periods, a reply captured just before the close, the
// connected signal, a disconnect from inside the event procedure. (Data both ways, a peer's
// close and a refused connection are end-to-end rows.)
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
using kinds = std::vector<int>;

// A link to a fresh peer; open() connects, accepts and waits for OPENED.
struct TcpLink {
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
    const size_t after_data = link.ev.events(h).size();
    ASSERT_TRUE(link.ev.wait(h, [&](const std::vector<CommEvents::Event>& e) {
        std::vector<CommEvents::Event> later(e.begin() + static_cast<long>(after_data), e.end());
        return CommEvents::count_of(later, COMM_EVENT_IDLE) >= 2;
    }));
    // Every IDLE comes a whole idle period after the link's previous event (with a little
    // slack for the recorder's own clock reading).
    auto events = link.ev.events(h);
    for (size_t i = 1; i < events.size(); ++i)
        EXPECT_TRUE(events[i].kind != COMM_EVENT_IDLE ||
                    events[i].at - events[i - 1].at >= std::chrono::milliseconds(IDLE_MS - 50))
            << "event " << i;
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
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), l1), "flashed");
    EXPECT_EQ(comm_unhook_response(h), 0);
    // Once unhooked, the closed link is forgotten.
    EXPECT_NE(comm_wait_response(h, &l1, &l2, &l3, 10), 0);
    EXPECT_NE(comm_hook_response(h, 9103, reply, 16, 0, nullptr, 0, 0, nullptr, 0), 0);
    link.handle = 0;
}

TEST(CommTcp, WaitConnectedFollowsTheSignalAndTheEventResult) {
    CommRunning running;
    const struct {
        const char* what;
        bool signal_in_opened;
        int opened_result, wait_ms;
        bool wait_ok;
        int state, state_after_late_signal;
    } cases[] = {
        {"signalled, 0", true, 0, NEVER_MS, true, COMM_STATE_CONNECTED, COMM_STATE_CONNECTED},
        {"signalled, -1", true, -1, NEVER_MS, true, COMM_STATE_OPEN, COMM_STATE_OPEN},
        {"failed, no signal", false, -1, NEVER_MS, false, COMM_STATE_OPEN, COMM_STATE_OPEN},
        {"time limit", false, 0, 50, false, COMM_STATE_OPEN, COMM_STATE_CONNECTED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
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
        EXPECT_EQ(comm_wait_connected(h, c.wait_ms) == 0, c.wait_ok);
        ASSERT_TRUE(link.ev.wait_count(h, COMM_EVENT_OPENED));
        EXPECT_EQ(state_inside.load(), COMM_STATE_OPEN);
        EXPECT_EQ(comm_get_state(h), c.state);
        // A signal from the console thread acts at once, but a failed link stays failed.
        EXPECT_EQ(comm_signal_connected(h), 0);
        EXPECT_EQ(comm_get_state(h), c.state_after_late_signal);
        EXPECT_EQ(comm_wait_connected(h, 0), 0);
        EXPECT_EQ(comm_disconnect(h), 0);
        EXPECT_NE(comm_wait_connected(h, NEVER_MS), 0);  // closed
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
              (kinds{COMM_EVENT_OPENED, COMM_EVENT_DATA, COMM_EVENT_CLOSED}));
}

}  // namespace
