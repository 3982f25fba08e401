// TCP links (the string's form and its maker are in tcp_string.cpp; the system calls in
// tcp_posix.cpp and tcp_win.cpp). The name is resolved on the connecting thread (comm_connect),
// so the I/O thread never blocks in a lookup; the connect itself is non-blocking, tried address
// by address within one time-out, a refusal is reported at once, and the established link sends
// without delay (TCP_NODELAY).
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "tcp_socket.h"

namespace {

constexpr int DEFAULT_TIMEOUT_MS = 1000;
constexpr int LINGER_MS = 1000;  // the longest a close waits for the peer's acknowledgement

using tcp_clock = std::chrono::steady_clock;

struct tcp_state {
    comm_link* link = nullptr;
    std::vector<sockaddr_storage> addresses;
    std::vector<int> lengths;
    size_t next = 0;
    int lookup_error = 0;  // getaddrinfo's code when the host gave no address
    int timeout_ms = DEFAULT_TIMEOUT_MS;
    comm_fd fd = COMM_NO_FD;
    bool connecting = false;
    int last_error = 0;
    tcp_clock::time_point deadline;
    tcp_clock::time_point attempt_deadline;  // of the address being tried
};

// A socket closed with the peer's bytes unread is reset, and what it had not sent yet is dropped:
// the last request before a disconnect would be lost while the instrument sends its events. So
// the sending side is shut first, and the socket closed once the peer has acknowledged all it was
// sent (or after LINGER_MS), the peer's bytes read and dropped meanwhile.
void close_fd(tcp_state* s) {
    const auto deadline = tcp_clock::now() + std::chrono::milliseconds(LINGER_MS);
    pollfd p{s->fd, POLLIN, 0};
    for (bool shut = s->fd != COMM_NO_FD && tcp_socket_shut_send(s->fd); shut;) {
        if (!tcp_socket_drain(s->fd)) p.events = 0;  // the peer's end: nothing more to read
        if (tcp_socket_unacknowledged(s->fd) == 0 || tcp_clock::now() >= deadline) break;
        comm_poll(&p, 1, 5);
    }
    tcp_socket_close(s->fd);
    s->fd = COMM_NO_FD;
    s->connecting = false;
}

void established(tcp_state* s) {
    s->connecting = false;
    tcp_socket_no_delay(s->fd);
    comm_link_opened(s->link);
}

// The time the address about to be tried may take: all that is left, or where the system shares
// it out, an equal share of it (the last address all of it).
tcp_clock::time_point attempt_deadline(const tcp_state* s) {
    if (!TCP_SOCKET_SHARE_TIME) return s->deadline;
    const auto now = tcp_clock::now();
    const long left = static_cast<long>(s->addresses.size() - s->next + 1);
    return now + (s->deadline > now ? (s->deadline - now) / left : tcp_clock::duration::zero());
}

// Tries the remaining addresses until one connects or is connecting; fails when none is left.
void try_next(tcp_state* s) {
    while (s->next < s->addresses.size()) {
        const sockaddr_storage& a = s->addresses[s->next];
        int len = s->lengths[s->next];
        ++s->next;
        s->fd = tcp_socket_open(a.ss_family, &s->last_error);
        if (s->fd == COMM_NO_FD) continue;
        s->attempt_deadline = attempt_deadline(s);
        // A failure's error is traced once, if no address is left.
        int r = tcp_socket_connect(s->fd, a, len, &s->last_error);
        if (r == 1) {
            established(s);
            return;
        }
        if (r == 0) {
            s->connecting = true;
            return;
        }
        close_fd(s);
    }
    if (s->lookup_error != 0) {
        comm_trace_text("tcp host lookup", tcp_socket_lookup_text(s->lookup_error));
        comm_link_failed(s->link, "tcp connect", TCP_SOCKET_UNREACHABLE);
    } else {
        comm_link_failed(s->link, "tcp connect",
                         s->last_error ? s->last_error : TCP_SOCKET_UNREACHABLE);
    }
}

int tcp_parse(const char* conn_string, void** state) {
    comm_net_params p;
    int r = comm_net_parse(conn_string, &p);
    if (r != 1) return r;
    auto s = new tcp_state;
    s->timeout_ms = p.timeout_ms;
    if (!tcp_socket_start()) {
        s->lookup_error = EAI_FAIL;
        *state = s;
        return 1;
    }
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
        s->lengths.push_back(static_cast<int>(ai->ai_addrlen));
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
    return comm_socket_poll_fd(s->fd, s->connecting, s->attempt_deadline, fds, max, timeout_ms);
}

void tcp_handle(void* state, const pollfd* fds, int count) {
    auto s = static_cast<tcp_state*>(state);
    short ready = count > 0 ? fds[0].revents : 0;
    if (!s->connecting) {
        if (ready && s->fd != COMM_NO_FD) comm_fd_read(s->link, s->fd);
        return;
    }
    if (ready) {
        int err = tcp_socket_connect_result(s->fd, ready);
        if (err == 0) {
            established(s);
            return;
        }
        s->last_error = err;
        close_fd(s);
        try_next(s);
        return;
    }
    const auto now = tcp_clock::now();
    if (now >= s->deadline) {
        close_fd(s);
        comm_link_failed(s->link, "tcp connect time-out", TCP_SOCKET_TIMED_OUT);
    } else if (now >= s->attempt_deadline) {
        s->last_error = TCP_SOCKET_TIMED_OUT;  // this address had its share: the next one
        close_fd(s);
        try_next(s);
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
