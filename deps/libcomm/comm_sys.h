// What the link core needs from the operating system, declared once for every system: the
// descriptor type the I/O thread waits on, its wait, and the wake-up descriptor by which other
// threads interrupt that wait. sys_posix.cpp implements them on Linux (poll, eventfd),
// sys_win.cpp on Windows (WSAPoll, a loopback UDP socket talking to itself).
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#endif

#include <cstddef>

#ifdef _WIN32
using comm_fd = SOCKET;  // WSAPoll waits on sockets only
constexpr comm_fd COMM_NO_FD = INVALID_SOCKET;
#else
using comm_fd = int;
constexpr comm_fd COMM_NO_FD = -1;
#endif

// A wake-up descriptor: readable (POLLIN) from the first signal until it is drained. Signals
// never block and may come from any thread. COMM_NO_FD when none could be made.
comm_fd comm_wake_open(void);
void comm_wake_signal(comm_fd fd);
void comm_wake_drain(comm_fd fd);
void comm_wake_close(comm_fd fd);

// Waits on `fds` as poll() does: the count of ready entries, 0 at the time limit (-1: none) or
// on an interruption, -1 on any other failure (traced).
int comm_poll(pollfd* fds, size_t count, int timeout_ms);

// The system's text for the error number `err` (errno on Linux; errno or a Winsock or Win32
// code on Windows), in `buffer` or a static text.
const char* comm_error_text(int err, char* buffer, size_t size);
