// The simulator's system calls that differ between Linux and Windows, in one place: sockets and
// their addresses, the wait, the wake-up pair, the pseudo-terminal (Linux only), clocks and stop
// signals. Each system's are in sim_sys_posix.cpp and sim_sys_win.cpp.
// Descriptors are ints on both systems: Windows keeps socket handle values within 32 bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

using sim_ssize = std::ptrdiff_t;

// A socket address of either family, as the system's calls fill it in.
struct sim_address {
    alignas(8) unsigned char bytes[128];
    int size = 0;
};

// Whether `text` is a numeric IPv6 address; a numeric IPv4 or IPv6 one.
bool sim_is_ipv6(const char* text);
bool sim_is_address(const char* text);

// A TCP (stream) or UDP socket of the family of `host`, a numeric address; -1 on a failure.
int sim_socket(const char* host, bool stream);
// Binds `fd` to `host` and `port` (a TCP socket then listens); false on a failure.
bool sim_bind(int fd, const char* host, int port, bool stream);
// The port `fd` is bound to; -1 on a failure.
int sim_bound_port(int fd);
void sim_set_nonblocking(int fd);
// Lets a listener take its port again at once where that never takes another program's port.
void sim_reuse_address(int fd);
// Sends every small write at once (TCP_NODELAY).
void sim_set_nodelay(int fd);
// The next connection, non-blocking, and where it came from; -1 when there is none.
int sim_accept(int listen_fd, sim_address* from);
// A TCP socket or the pseudo-terminal.
sim_ssize sim_read(int fd, void* data, size_t size);
sim_ssize sim_send(int fd, const void* data, size_t size, bool socket);
// One datagram and its sender; one datagram to `to` (a failure is not told).
sim_ssize sim_receive_from(int fd, void* data, size_t size, sim_address* from);
void sim_send_to(int fd, const void* data, size_t size, const sim_address& to);
// "HOST:PORT", "[HOST]:PORT" for IPv6.
std::string sim_address_text(const sim_address& a);
// The local address through which `peer` is reached; empty when unknown.
std::string sim_local_address_toward(const sim_address& peer);
void sim_close(int fd);
// The last call failed only because nothing could be done now.
bool sim_would_block();
std::string sim_error_text();

// What a descriptor is waited for, and what happened to it.
enum : short { SIM_READABLE = 1, SIM_WRITABLE = 2, SIM_HANGUP = 4, SIM_FAILED = 8 };
struct sim_poll {
    int fd = -1;
    short events = 0;
    short revents = 0;
};
// Waits up to `timeout_us` (-1: no limit) for any of `fds`; -1 on a failure.
int sim_wait(sim_poll* fds, int n, int64_t timeout_us);
// For the systems' sim_wait: our events as poll's, and poll's as ours (WSAPoll takes poll's).
short sim_poll_events(short ours);
short sim_events_of(short polled);

// A wake-up pair: sim_wake on it makes wake[0] readable. wake[1] is -1 where one socket is both.
int sim_wake_pair(int wake[2]);
void sim_wake(const int wake[2]);
// A pseudo-terminal in raw mode (no byte of a frame translated or echoed; the peer may set its
// own speed): its descriptor, and its path in `path`; -1 with `error` on failure (always on
// Windows).
int sim_open_pty(std::string* path, std::string* error);

void sim_local_time(const time_t* t, struct tm* out);
void sim_utc_time(const time_t* t, struct tm* out);
// SIGINT and SIGTERM call `handler`; a peer that went away is no signal.
void sim_on_stop_signals(void (*handler)(int));
