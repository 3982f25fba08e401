// What a closing TCP link waits for on Windows: the bytes it sent and the peer has not
// acknowledged, as the connection's statistics tell them (state and bytes in flight; the states
// are numbered as Windows' TCPSTATE). Our FIN counts while the peer has not acknowledged it: in
// FIN-WAIT-1, CLOSING and LAST-ACK (RFC 793), as Linux counts it in the bytes it has queued.
#include <gtest/gtest.h>

#include <climits>

#include "comm_win.h"

namespace {

TEST(WinTcpClose, UnacknowledgedAsTheStatisticsTellIt) {
    enum { CLOSED, LISTEN, SYN_SENT, SYN_RCVD, ESTABLISHED, FIN_WAIT_1, FIN_WAIT_2, CLOSE_WAIT,
           CLOSING, LAST_ACK, TIME_WAIT };
    const struct {
        int state;
        unsigned long in_flight;
        int unacknowledged;
    } cases[] = {
        {ESTABLISHED, 0, 0},    {ESTABLISHED, 100, 100}, {FIN_WAIT_1, 0, 1},
        {FIN_WAIT_1, 4096, 4096}, {FIN_WAIT_2, 0, 0},    {CLOSING, 0, 1},
        {LAST_ACK, 0, 1},       {LAST_ACK, 7, 7},        {TIME_WAIT, 0, 0},
        {CLOSE_WAIT, 0, 0},     {CLOSED, 0, 0},          {FIN_WAIT_1, 0xFFFFFFFFul, INT_MAX},
    };
    for (const auto& c : cases)
        EXPECT_EQ(comm_win_unacknowledged(c.state, c.in_flight), c.unacknowledged)
            << c.state << " " << c.in_flight;
}

}  // namespace
