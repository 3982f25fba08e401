// A reply captured just before its link closes still reaches the transaction that waits for it:
// an instrument that powers off answers and hangs up at once.
#include <gtest/gtest.h>

#include <cstring>

#include "comm_events.h"
#include "comm_peers.h"

namespace {

TEST(CommCaptureAtClose, ReplyCapturedBeforeTheCloseIsCollectedUntilUnhooked) {
    CommRunning running;
    TcpPeer peer;
    CommEvents ev;
    int h = 0;
    char conn[COMM_CONN_STRING_SIZE];
    ASSERT_EQ(comm_make_conn_string_net(conn, "127.0.0.1", peer.port(), 5000), 0);
    ASSERT_EQ(comm_connect(&h, conn, CommEvents::proc, 4096, 0, &ev), 0);
    int fd = peer.accept();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(ev.wait_count(h, COMM_EVENT_OPENED));

    unsigned char reply[16] = {0};
    ASSERT_EQ(comm_hook_response(h, 9400, reply, sizeof reply, 0, nullptr, 0, 0, nullptr, 0), 0);
    // The receiver's part: the reply frame is offered while the link is open ...
    ASSERT_EQ(comm_fill_rsp_buff(h, 9400, "reply", 5), 0);
    // ... and the peer hangs up before the waiting thread looks.
    peer.close_client();
    ASSERT_TRUE(ev.wait_count(h, COMM_EVENT_CLOSED));

    int got = -1, other = -1;
    EXPECT_EQ(comm_wait_response(h, &got, &other, nullptr, 600000), 0);
    EXPECT_EQ(got, 5);
    EXPECT_EQ(other, 0);
    EXPECT_EQ(std::memcmp(reply, "reply", 5), 0);
    EXPECT_EQ(comm_unhook_response(h), 0);

    // Once unhooked, the closed link's capture is gone for good.
    EXPECT_NE(comm_wait_response(h, &got, nullptr, nullptr, 10), 0);
    EXPECT_NE(comm_unhook_response(h), 0);
    EXPECT_NE(comm_hook_response(h, 9400, reply, sizeof reply, 0, nullptr, 0, 0, nullptr, 0), 0);
}

}  // namespace
