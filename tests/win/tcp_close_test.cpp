// A TCP link's writes and close on Windows. A closing link's unacknowledged bytes come from its
// statistics: those in flight, and our FIN in FIN-WAIT-1, CLOSING, LAST-ACK (RFC 793). TCPSTATE:
// 4 ESTABLISHED, 5 FIN-WAIT-1, 6 FIN-WAIT-2, 7 CLOSE-WAIT, 8 CLOSING, 9 LAST-ACK, 10 TIME-WAIT.
#include <gtest/gtest.h>

#include <string>
#include <utility>

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

// A link to a peer on 127.0.0.1 with a small receive buffer: the peer's socket.
SOCKET open_with_peer(Link* link) {
    SOCKET listener = comm_win_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP, false), peer = 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof a, small = 4096;
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small),
               sizeof small);
    if (bind(listener, reinterpret_cast<const sockaddr*>(&a), len) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
        !link->connect(tcp_string(ntohs(a.sin_port))) ||
        (peer = accept(listener, nullptr, nullptr)) == INVALID_SOCKET || !link->wait(O))
        ADD_FAILURE() << "no link to a peer on loopback";
    closesocket(listener);
    return peer;
}

// A peer that reads nothing: a write fails at its limit as making no progress (not as a broken
// link), and the link stays open; its urgent byte is no failure either. A closed link reads and
// drops what the peer still sends until the peer ends its side: a socket closed with bytes unread
// is reset, and the reset drops what it had not sent yet (the peer here reads only once the library
// has stopped).
TEST(WinTcp, AStalledWriteLeavesTheLinkOpenAndAClosedOneTakesThePeersLastBytes) {
    std::string block(8 << 10, '\0'), stalled(32 << 20, 'b'), got;
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 13 + (i >> 9));
    SOCKET peers[2];
    {
        CommRunning running;
        Link stalling, closing;
        peers[0] = open_with_peer(&stalling);
        Stopwatch clock;
        EXPECT_EQ(comm_write(stalling.handle, stalled.data(), int(stalled.size()), 0, 100), -1);
        EXPECT_GE(clock.ms(), 100);
        EXPECT_LT(clock.ms(), 900);  // at its limit: not waiting for a close that no one began
        EXPECT_EQ(comm_get_state(stalling.handle), COMM_STATE_OPEN);
        EXPECT_EQ(stalling.ev.count(stalling.handle, E), 0);
        peers[1] = open_with_peer(&closing);
        // An urgent byte wakes the link with nothing to read: no error, and what follows comes.
        EXPECT_EQ(send(peers[1], "!", 1, MSG_OOB), 1);
        Sleep(100);  // the peer's next bytes a while later
        EXPECT_EQ(send(peers[1], "data", 4, 0), 4);
        EXPECT_TRUE(closing.ev.wait_bytes(closing.handle, 4));
        EXPECT_EQ(closing.ev.count(closing.handle, E), 0);
        ASSERT_EQ(comm_write(closing.handle, block.data(), int(block.size()), 0, 20000), 0);
        EXPECT_EQ(comm_disconnect(std::exchange(closing.handle, 0)), 0);
        // It talks on a while, a byte a millisecond: the link's reads run dry in between.
        for (int i = 0; i < 300 && send(peers[1], "p", 1, 0) == 1; ++i) Sleep(1);
        shutdown(peers[1], SD_SEND);
    }
    char buf[65536];
    for (int n; (n = recv(peers[1], buf, sizeof buf, 0)) > 0;) got.append(buf, size_t(n));
    EXPECT_TRUE(got == block) << got.size() << " of " << block.size() << " bytes";
    for (SOCKET p : peers) closesocket(p);
}
