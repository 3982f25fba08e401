// TCP links on Windows, through Winsock, as tcp.cpp does on Linux: the name is resolved on the
// connecting thread (comm_connect), the connect is non-blocking, tried address by address within
// one time-out, a refusal is reported at once, and the established link sends without delay
// (TCP_NODELAY). The string's form and its maker are in tcp_string.cpp.
//
// Unlike Linux, Windows answers a refused connect (a reset) by sending its SYN again, twice,
// and reports the refusal only after about two seconds, on loopback too. "localhost" resolves to
// ::1 before 127.0.0.1, and a program listening on 127.0.0.1 alone would let ::1 use up the whole
// time-out. So each address gets an equal share of the time that is left, and the last one all
// of it.
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "comm_win.h"

namespace {

constexpr int DEFAULT_TIMEOUT_MS = 1000;

using tcp_clock = std::chrono::steady_clock;

struct tcp_state {
    comm_link* link = nullptr;
    std::vector<sockaddr_storage> addresses;
    std::vector<int> lengths;
    size_t next = 0;
    int lookup_error = 0;  // getaddrinfo's code when the host gave no address
    int timeout_ms = DEFAULT_TIMEOUT_MS;
    SOCKET fd = INVALID_SOCKET;
    bool connecting = false;
    int last_error = 0;
    tcp_clock::time_point deadline;
    tcp_clock::time_point attempt_deadline;  // of the address being tried
};

void close_fd(tcp_state* s) {
    comm_win_close_socket(s->fd);
    s->fd = INVALID_SOCKET;
    s->connecting = false;
}

void established(tcp_state* s) {
    s->connecting = false;
    BOOL on = TRUE;
    if (setsockopt(s->fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                   sizeof on) != 0)
        comm_trace("tcp TCP_NODELAY", WSAGetLastError());
    comm_link_opened(s->link);
}

// Tries the remaining addresses until one connects or is connecting; fails when none is left.
void try_next(tcp_state* s) {
    while (s->next < s->addresses.size()) {
        const sockaddr_storage& a = s->addresses[s->next];
        int len = s->lengths[s->next];
        ++s->next;
        s->fd = comm_win_socket(a.ss_family, SOCK_STREAM, IPPROTO_TCP, true);
        if (s->fd == INVALID_SOCKET) {
            s->last_error = WSAGetLastError();
            continue;
        }
        const auto now = tcp_clock::now();
        const long left = static_cast<long>(s->addresses.size() - s->next + 1);
        s->attempt_deadline =
            now + (s->deadline > now ? (s->deadline - now) / left : tcp_clock::duration::zero());
        if (connect(s->fd, reinterpret_cast<const sockaddr*>(&a), len) == 0) {
            established(s);
            return;
        }
        int err = WSAGetLastError();
        if (err == WSAEWOULDBLOCK || err == WSAEINPROGRESS) {
            s->connecting = true;
            return;
        }
        s->last_error = err;  // traced once, if no address is left
        close_fd(s);
    }
    if (s->lookup_error != 0) {
        comm_trace_text("tcp host lookup", gai_strerrorA(s->lookup_error));
        comm_link_failed(s->link, "tcp connect", WSAEHOSTUNREACH);
    } else {
        comm_link_failed(s->link, "tcp connect", s->last_error ? s->last_error : WSAEHOSTUNREACH);
    }
}

int tcp_parse(const char* conn_string, void** state) {
    comm_net_params p;
    int r = comm_net_parse(conn_string, &p);
    if (r != 1) return r;
    auto s = new tcp_state;
    s->timeout_ms = p.timeout_ms;
    if (!comm_winsock_start()) {
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
    return comm_win_socket_poll_fd(s->fd, s->connecting, s->attempt_deadline, fds, max, timeout_ms);
}

void tcp_handle(void* state, const pollfd* fds, int count) {
    auto s = static_cast<tcp_state*>(state);
    short ready = count > 0 ? fds[0].revents : 0;
    if (!s->connecting) {
        if (ready && s->fd != INVALID_SOCKET) comm_win_read(s->link, s->fd);
        return;
    }
    if (ready) {
        // Writable once connected; an error or hang-up when the connect failed.
        int err = 0;
        int len = sizeof err;
        if (getsockopt(s->fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
            err = WSAGetLastError();
        if (err == 0 && (ready & POLLOUT)) {
            established(s);
            return;
        }
        s->last_error = err ? err : WSAECONNREFUSED;
        close_fd(s);
        try_next(s);
    } else if (tcp_clock::now() >= s->deadline) {
        close_fd(s);
        comm_link_failed(s->link, "tcp connect time-out", WSAETIMEDOUT);
    } else if (tcp_clock::now() >= s->attempt_deadline) {
        s->last_error = WSAETIMEDOUT;  // this address had its share: the next one
        close_fd(s);
        try_next(s);
    }
}

int tcp_write(void* state, const unsigned char* data, int length, int ms) {
    auto s = static_cast<tcp_state*>(state);
    return comm_win_write(s->link, s->fd, data, length, ms);
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
