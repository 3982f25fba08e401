// A closing TCP link's unacknowledged bytes from its statistics: those in flight, and our FIN in
// FIN-WAIT-1, CLOSING, LAST-ACK (RFC 793). TCPSTATE: 4 ESTABLISHED, 5 FIN-WAIT-1, 6 FIN-WAIT-2,
// 7 CLOSE-WAIT, 8 CLOSING, 9 LAST-ACK, 10 TIME-WAIT.
#include <gtest/gtest.h>

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
