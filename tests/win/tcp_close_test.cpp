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

namespace {

// A link to a peer on 127.0.0.1 whose receive buffer is small, so that bytes it does not read
// soon hold up the link's writes.
struct PeerLink : Link {
    SOCKET listener = INVALID_SOCKET, peer = INVALID_SOCKET;
    bool open() {
        if (!comm_winsock_start()) return false;
        listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int len = sizeof a, small = 4096;
        setsockopt(listener, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small),
                   sizeof small);
        return bind(listener, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 &&
               listen(listener, 1) == 0 &&
               getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) == 0 &&
               connect(tcp_string(ntohs(a.sin_port))) &&
               (peer = accept(listener, nullptr, nullptr)) != INVALID_SOCKET && wait(O);
    }
    ~PeerLink() {
        if (handle > 0) comm_disconnect(handle);
        handle = 0;
        closesocket(peer);
        closesocket(listener);
    }
};

}  // namespace

// A peer that reads nothing: a write fails at its limit as making no progress (not as a broken
// link), with no error, and the link stays open for the next one.
TEST(WinTcp, AStalledWriteFailsAtItsLimitAndTheLinkStaysOpen) {
    CommRunning running;
    PeerLink link;
    ASSERT_TRUE(link.open());
    const std::string stalled(32 << 20, 'b');
    Stopwatch clock;
    EXPECT_EQ(comm_write(link.handle, stalled.data(), static_cast<int>(stalled.size()), 0, 100),
              -1);
    EXPECT_GE(clock.ms(), 100);
    EXPECT_LT(clock.ms(), 900);  // at its limit: not waiting for a close that no one began
    EXPECT_EQ(comm_get_state(link.handle), COMM_STATE_OPEN);
    EXPECT_EQ(link.ev.count(link.handle, E), 0);
}

// A closed link reads and drops what the peer still sends until the peer ends its side: a socket
// closed with bytes unread is reset, and the reset drops what it had not sent yet. The peer takes
// nothing until the library has stopped.
TEST(WinTcp, AClosedLinkTakesThePeersLastBytesSoItsReadEndsCleanly) {
    std::string block(8 << 10, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 13 + (i >> 9));
    PeerLink link;
    {
        CommRunning running;
        ASSERT_TRUE(link.open());
        ASSERT_EQ(comm_write(link.handle, block.data(), int(block.size()), 0, 20000), 0);
        EXPECT_EQ(comm_disconnect(link.handle), 0);
        link.handle = 0;
        // A peer that talks on a while, a byte a millisecond: the link's reads run dry in between.
        for (int i = 0; i < 300 && send(link.peer, "p", 1, 0) == 1; ++i) Sleep(1);
        shutdown(link.peer, SD_SEND);
    }
    std::string got;
    char buf[65536];
    int n = -1;
    while ((n = recv(link.peer, buf, sizeof buf, 0)) > 0) got.append(buf, size_t(n));
    EXPECT_EQ(n, 0) << "the read ended with " << WSAGetLastError();
    EXPECT_TRUE(got == block) << got.size() << " of " << block.size() << " bytes";
}
