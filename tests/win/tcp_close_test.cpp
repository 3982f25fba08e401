// A TCP link's writes and close on Windows. A closing link's unacknowledged bytes come from its
// statistics: those in flight, and our FIN in FIN-WAIT-1, CLOSING, LAST-ACK (RFC 793). TCPSTATE:
// 4 ESTABLISHED, 5 FIN-WAIT-1, 6 FIN-WAIT-2, 7 CLOSE-WAIT, 8 CLOSING, 9 LAST-ACK, 10 TIME-WAIT.
#include <gtest/gtest.h>

#include <string>

#include "comm_internal.h"
#include "comm_links.h"
#include "comm_win.h"

TEST(WinTcpClose, UnacknowledgedAsTheStatisticsTellIt) {
    const struct {
        int state;
        unsigned long in_flight;
        int unacknowledged;
    } cases[] = {{4, 0, 0}, {4, 100, 100}, {5, 0, 1}, {5, 4096, 4096},
                 {6, 0, 0}, {7, 0, 0},     {8, 0, 1}, {9, 0, 1},
                 {9, 7, 7}, {10, 0, 0},    {0, 0, 0}, {5, 0xFFFFFFFFul, 0x7FFFFFFF}};
    for (const auto& c : cases)
        EXPECT_EQ(comm_win_unacknowledged(c.state, c.in_flight), c.unacknowledged)
            << c.state << " " << c.in_flight;
}

// A peer on 127.0.0.1 that reads nothing: a write fails at its limit as making no progress (not as
// a broken link), with no error, and the link stays open for the next one.
TEST(WinTcp, AStalledWriteFailsAtItsLimitAndTheLinkStaysOpen) {
    ASSERT_TRUE(comm_winsock_start());
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof a, small = 4096;
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small),
               sizeof small);
    ASSERT_TRUE(bind(listener, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 &&
                listen(listener, 1) == 0 &&
                getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) == 0);
    CommRunning running;
    Link link;
    ASSERT_TRUE(link.connect(tcp_string(ntohs(a.sin_port))));
    SOCKET peer = accept(listener, nullptr, nullptr);
    ASSERT_NE(peer, INVALID_SOCKET);
    ASSERT_TRUE(link.wait(O));
    const std::string stalled(32 << 20, 'b');
    Stopwatch clock;
    EXPECT_EQ(comm_write(link.handle, stalled.data(), static_cast<int>(stalled.size()), 0, 100),
              -1);
    EXPECT_GE(clock.ms(), 100);
    EXPECT_LT(clock.ms(), 900);  // at its limit: not waiting for a close that no one began
    EXPECT_EQ(comm_get_state(link.handle), COMM_STATE_OPEN);
    EXPECT_EQ(link.ev.count(link.handle, E), 0);
    ASSERT_EQ(comm_disconnect(link.handle), 0);
    link.handle = 0;
    closesocket(peer);
    closesocket(listener);
}
