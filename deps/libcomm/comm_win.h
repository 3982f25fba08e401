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
// One receive of up to the link buffer's size, reported as data, end or failure: as
// comm_fd_read on Linux.
int comm_win_read(comm_link* link, SOCKET s);
// Sends what the socket takes now, waiting up to `ms` for room or the link's close: as
// comm_fd_write on Linux.
int comm_win_write(comm_link* link, SOCKET s, const unsigned char* data, int length, int ms);
// The poll entry of a socket that may still be connecting, and the poll's time limit lowered
// to the connect deadline: as comm_socket_poll_fd on Linux.
int comm_win_socket_poll_fd(SOCKET s, bool connecting,
                            std::chrono::steady_clock::time_point deadline, pollfd* fds, int max,
                            int* timeout_ms);
// Milliseconds left until `deadline`, 0 when it passed.
int comm_win_ms_left(std::chrono::steady_clock::time_point deadline);
