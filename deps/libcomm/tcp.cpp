// TCP links on Linux (the string's form and its maker are in tcp_string.cpp). The name is resolved
// on the connecting thread (comm_connect), so the I/O thread never blocks in a lookup; the connect
// itself is non-blocking, tried address by address within one time-out, and a refusal is reported
// at once.
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "comm_internal.h"

namespace {

constexpr int DEFAULT_TIMEOUT_MS = 1000;

using tcp_clock = std::chrono::steady_clock;

struct tcp_state {
    comm_link* link = nullptr;
    std::vector<sockaddr_storage> addresses;
    std::vector<socklen_t> lengths;
    size_t next = 0;
    int lookup_error = 0;  // getaddrinfo's code when the host gave no address
    int timeout_ms = DEFAULT_TIMEOUT_MS;
    int fd = -1;
    bool connecting = false;
    int last_errno = 0;
    tcp_clock::time_point deadline;
};

void close_fd(tcp_state* s) {
    if (s->fd >= 0) ::close(s->fd);
    s->fd = -1;
    s->connecting = false;
}

void established(tcp_state* s) {
    s->connecting = false;
    int on = 1;
    if (setsockopt(s->fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) < 0)
        comm_trace("tcp TCP_NODELAY", errno);
    comm_link_opened(s->link);
}

// Tries the remaining addresses until one connects or is connecting; fails when none is left.
void try_next(tcp_state* s) {
    while (s->next < s->addresses.size()) {
        const sockaddr_storage& a = s->addresses[s->next];
        socklen_t len = s->lengths[s->next];
        ++s->next;
        s->fd = ::socket(a.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (s->fd < 0) {
            s->last_errno = errno;
            comm_trace("tcp socket", errno);
            continue;
        }
        if (::connect(s->fd, reinterpret_cast<const sockaddr*>(&a), len) == 0) {
            established(s);
            return;
        }
        if (errno == EINPROGRESS) {
            s->connecting = true;
            return;
        }
        s->last_errno = errno;  // traced once, if no address is left
        close_fd(s);
    }
    if (s->lookup_error != 0) {
        comm_trace_text("tcp host lookup", gai_strerror(s->lookup_error));
        comm_link_failed(s->link, "tcp connect", EHOSTUNREACH);
    } else {
        comm_link_failed(s->link, "tcp connect", s->last_errno ? s->last_errno : EHOSTUNREACH);
    }
}

int tcp_parse(const char* conn_string, void** state) {
    comm_net_params p;
    int r = comm_net_parse(conn_string, &p);
    if (r != 1) return r;
    auto s = new tcp_state;
    s->timeout_ms = p.timeout_ms;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    std::string port = std::to_string(p.port);
    s->lookup_error = getaddrinfo(p.host, port.c_str(), &hints, &found);
    for (addrinfo* ai = found; s->lookup_error == 0 && ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
        sockaddr_storage a{};
        std::memcpy(&a, ai->ai_addr, ai->ai_addrlen);
        s->addresses.push_back(a);
        s->lengths.push_back(ai->ai_addrlen);
    }
    if (found) freeaddrinfo(found);
    *state = s;
    return 1;
}

void tcp_open(void* state, comm_link* link) {
    auto s = static_cast<tcp_state*>(state);
    s->link = link;
    s->deadline = tcp_clock::now() + std::chrono::milliseconds(s->timeout_ms);
    try_next(s);
}

int tcp_poll_fds(void* state, pollfd* fds, int max, int* timeout_ms) {
    auto s = static_cast<tcp_state*>(state);
    return comm_socket_poll_fd(s->fd, s->connecting, s->deadline, fds, max, timeout_ms);
}

void tcp_handle(void* state, const pollfd* fds, int count) {
    auto s = static_cast<tcp_state*>(state);
    short ready = count > 0 ? fds[0].revents : 0;
    if (!s->connecting) {
        if (ready && s->fd >= 0) comm_fd_read(s->link, s->fd);
        return;
    }
    if (ready) {
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(s->fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) err = errno;
        if (err == 0) {
            established(s);
            return;
        }
        s->last_errno = err;
        close_fd(s);
        try_next(s);
    } else if (tcp_clock::now() >= s->deadline) {
        close_fd(s);
        comm_link_failed(s->link, "tcp connect time-out", ETIMEDOUT);
    }
}

int tcp_write(void* state, const unsigned char* data, int length, int ms) {
    auto s = static_cast<tcp_state*>(state);
    return comm_fd_write(s->link, s->fd, data, length, ms, true);
}

void tcp_close(void* state) {
    auto s = static_cast<tcp_state*>(state);
    close_fd(s);
    delete s;
}

}  // namespace

const comm_transport comm_tcp_transport = {
    "tcp", tcp_parse, tcp_open, tcp_poll_fds, tcp_handle, tcp_write, tcp_close, nullptr,
};
