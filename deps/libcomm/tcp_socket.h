// The TCP link's system calls, the only part of a TCP link that differs between systems:
// tcp_posix.cpp on Linux, tcp_win.cpp on Windows. Failures are traced here.
#pragma once

#include "comm_internal.h"

// Error numbers the link reports itself: no address could be reached, the time ran out.
extern const int TCP_SOCKET_UNREACHABLE;
extern const int TCP_SOCKET_TIMED_OUT;
// True where each address of the host gets only an equal share of the connect time left (the
// last one all of it), false where every address may use all of it.
extern const bool TCP_SOCKET_SHARE_TIME;

// Readies the system's name lookup and sockets; false when they cannot be had.
bool tcp_socket_start(void);
// The text of a failed name lookup's code.
const char* tcp_socket_lookup_text(int code);
// A non-blocking stream socket of `family`; COMM_NO_FD with the error in `*err` on failure.
comm_fd tcp_socket_open(int family, int* err);
// Starts connecting: 1 when connected at once, 0 while it goes on, -1 with the error number in
// `*err` when it failed.
int tcp_socket_connect(comm_fd fd, const sockaddr_storage& to, int length, int* err);
// How a connect that made the socket ready (`revents`) ended: 0 when connected, else the error.
int tcp_socket_connect_result(comm_fd fd, short revents);
// Sends without delay (TCP_NODELAY) on the established socket.
void tcp_socket_no_delay(comm_fd fd);
// Shuts the sending side of an established socket; false when that cannot be done.
bool tcp_socket_shut_send(comm_fd fd);
// Reads and drops what has arrived, at most TCP_SOCKET_DRAIN_READS reads (a peer that floods
// cannot keep the caller); false once the peer has ended its side.
constexpr int TCP_SOCKET_DRAIN_READS = 64;
bool tcp_socket_drain(comm_fd fd);
// Bytes sent but not yet acknowledged by the peer; 0 where the system does not tell.
int tcp_socket_unacknowledged(comm_fd fd);
void tcp_socket_close(comm_fd fd);
