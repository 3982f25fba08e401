// TCP links (the string's form and its maker are in tcp_string.cpp; the system calls in
// tcp_posix.cpp and tcp_win.cpp). The name is resolved on the connecting thread (comm_connect),
// so the I/O thread never blocks in a lookup; the connect itself is non-blocking, tried address
// by address within one time-out, a refusal is reported at once, and the established link sends
// without delay (TCP_NODELAY).
#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "tcp_socket.h"

namespace {

constexpr int DEFAULT_TIMEOUT_MS = 1000;
constexpr int LINGER_MS = 1000;  // the longest a closed socket waits for the peer (tcp_linger)

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

void close_fd(tcp_state* s) {
    tcp_socket_close(s->fd);
    s->fd = COMM_NO_FD;
    s->connecting = false;
}

// A socket closed with the peer's bytes unread is reset, and what it had not sent yet is dropped,
// on both sides: the last request before a disconnect would be lost while the instrument sends its
// events. So a link's close shuts the sending side and leaves the socket to the I/O loop, which
// reads and drops what the peer still sends, and closes it once the peer has ended its side and
// acknowledged all it was sent, or after LINGER_MS. Waiting on the descriptor, never in a loop of
// its own, it holds up no other link.
struct tcp_linger {
    comm_link* link = nullptr;
    comm_fd fd = COMM_NO_FD;
    tcp_clock::time_point deadline;
    bool peer_ended = false;
};

// Once the peer has ended, the descriptor is readable for good: only the acknowledgement is left
// to wait for, which no descriptor tells, so it is looked at every RECHECK_MS.
constexpr int RECHECK_MS = 10;

void linger_open(void* state, comm_link* link) {
    static_cast<tcp_linger*>(state)->link = link;
}

int linger_poll_fds(void* state, pollfd* fds, int max, int* timeout_ms) {
    auto w = static_cast<tcp_linger*>(state);
    auto left = std::chrono::ceil<std::chrono::milliseconds>(w->deadline - tcp_clock::now());
    int ms = static_cast<int>(std::clamp<long long>(left.count(), 0, LINGER_MS));
    if (w->peer_ended) ms = std::min(ms, RECHECK_MS);
    if (*timeout_ms < 0 || ms < *timeout_ms) *timeout_ms = ms;
    if (w->peer_ended || max < 1) return 0;
    fds[0] = {w->fd, POLLIN, 0};
    return 1;
}

void linger_handle(void* state, const pollfd* fds, int count) {
    auto w = static_cast<tcp_linger*>(state);
    short ready = count > 0 ? fds[0].revents : 0;
    if (ready & POLLERR) {  // reset: nothing of ours can arrive any more
        comm_link_ended(w->link);
        return;
    }
    if (ready && !tcp_socket_drain(w->fd)) w->peer_ended = true;
    if ((w->peer_ended && tcp_socket_unacknowledged(w->fd) == 0) || tcp_clock::now() >= w->deadline)
        comm_link_ended(w->link);
}

int linger_write(void*, const unsigned char*, int, int) {
    return -1;
}

void linger_close(void* state) {
    auto w = static_cast<tcp_linger*>(state);
    tcp_socket_close(w->fd);
    delete w;
}

const comm_transport tcp_linger_transport = {
    "tcp close",   nullptr,      linger_open,  linger_poll_fds,
    linger_handle, linger_write, linger_close, nullptr,
};

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

// An established socket lingers (tcp_linger); one still connecting, or that cannot shut its
// sending side (reset), is closed at once.
void tcp_close(void* state) {
    auto s = static_cast<tcp_state*>(state);
    if (s->fd != COMM_NO_FD && !s->connecting && tcp_socket_shut_send(s->fd)) {
        auto w = new tcp_linger;
        w->fd = s->fd;
        w->deadline = tcp_clock::now() + std::chrono::milliseconds(LINGER_MS);
        if (comm_link_linger(&tcp_linger_transport, w)) {
            s->fd = COMM_NO_FD;
        } else {
            delete w;
        }
    }
    close_fd(s);
    delete s;
}

}  // namespace

const comm_transport comm_tcp_transport = {
    "tcp", tcp_parse, tcp_open, tcp_poll_fds, tcp_handle, tcp_write, tcp_close, nullptr,
};
