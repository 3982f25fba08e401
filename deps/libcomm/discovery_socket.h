// The discovery socket's system calls, the only part of discovery that differs between systems:
// discovery_posix.cpp on Linux, discovery_win.cpp on Windows. Failures are traced here.
#pragma once

#include "comm_sys.h"

// A non-blocking UDP socket with broadcast allowed, bound to an ephemeral port on every
// address; COMM_NO_FD when it cannot be made.
comm_fd discovery_socket_open(void);
// Receives one datagram into `buffer`: its length, or -1 when none is waiting or the receive
// failed (a failure, an ICMP error say, costs that datagram, not the socket).
int discovery_socket_receive(comm_fd fd, unsigned char* buffer, int size);
// Sends one datagram to `to`: the bytes sent, or -1.
int discovery_socket_send(comm_fd fd, const void* frame, int length, const sockaddr_in& to);
void discovery_socket_close(comm_fd fd);
