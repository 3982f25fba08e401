// Inside the communication library on Windows only: Winsock's start and the helpers the
// Windows transports share (tcp_win.cpp, serial_win.cpp, discovery_win.cpp).
#pragma once

#include "comm_internal.h"

// Starts Winsock once for the whole run; false when it cannot be had.
bool comm_winsock_start(void);
// A socket that is not inherited by child processes, in non-blocking mode when asked;
// INVALID_SOCKET (traced) on failure.
SOCKET comm_win_socket(int family, int type, int protocol, bool nonblocking);
void comm_win_close_socket(SOCKET s);
// Milliseconds left until `deadline`, 0 when it passed.
int comm_win_ms_left(std::chrono::steady_clock::time_point deadline);
// The bytes a TCP socket in `state` (a TCPSTATE) has sent and not had acknowledged, from its
// statistics: those in flight, or 1 while the FIN that ended its side is unacknowledged (as Linux
// counts the FIN). For tests; the close asks tcp_socket_unacknowledged.
int comm_win_unacknowledged(int state, unsigned long in_flight);
