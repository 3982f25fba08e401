// The link core's system calls on Windows: WSAPoll, and as the wake-up descriptor a loopback UDP
// socket connected to itself (WSAPoll waits on sockets only; a signal is one datagram). And the
// socket helpers of the Windows transports, which behave as fd_io_posix.cpp's do on Linux.
#include <climits>
#include <cstdio>
#include <cstring>

#include "comm_win.h"

bool comm_winsock_start(void) {
    static const bool started = [] {
        WSADATA data;
        int r = WSAStartup(MAKEWORD(2, 2), &data);
        if (r != 0) comm_trace("WSAStartup", r);
        return r == 0;
    }();
    return started;
}

SOCKET comm_win_socket(int family, int type, int protocol, bool nonblocking) {
    if (!comm_winsock_start()) return INVALID_SOCKET;
    SOCKET s = WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        comm_trace("socket", WSAGetLastError());
        return INVALID_SOCKET;
    }
    u_long on = nonblocking ? 1 : 0;
    if (ioctlsocket(s, FIONBIO, &on) != 0) {
        comm_trace("socket FIONBIO", WSAGetLastError());
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

void comm_win_close_socket(SOCKET s) {
    if (s != INVALID_SOCKET) closesocket(s);
}

comm_fd comm_wake_open(void) {
    SOCKET s = comm_win_socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP, true);
    if (s == INVALID_SOCKET) return COMM_NO_FD;
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof self;
    if (bind(s, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&self), &len) != 0 ||
        connect(s, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0) {
        comm_trace("wake-up socket", WSAGetLastError());
        closesocket(s);
        return COMM_NO_FD;
    }
    return s;
}

void comm_wake_signal(comm_fd fd) {
    // A full queue already holds a signal: nothing is lost then.
    if (fd != COMM_NO_FD && send(fd, "", 1, 0) < 0 && WSAGetLastError() != WSAEWOULDBLOCK)
        comm_trace("wake-up send", WSAGetLastError());
}

void comm_wake_drain(comm_fd fd) {
    char bytes[64];
    for (int i = 0; i < 1024 && recv(fd, bytes, sizeof bytes, 0) >= 0; ++i) {
    }
}

void comm_wake_close(comm_fd fd) {
    comm_win_close_socket(fd);
}

int comm_poll(pollfd* fds, size_t count, int timeout_ms) {
    int r = WSAPoll(fds, static_cast<ULONG>(count), timeout_ms);
    if (r >= 0) return r;
    comm_trace("WSAPoll", WSAGetLastError());
    return -1;
}

const char* comm_error_text(int err, char* buffer, size_t size) {
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(err), 0, buffer, static_cast<DWORD>(size), nullptr);
    while (n > 0 && (buffer[n - 1] == '\n' || buffer[n - 1] == '\r' || buffer[n - 1] == ' '))
        buffer[--n] = '\0';
    if (n == 0) std::snprintf(buffer, size, "error %d", err);
    return buffer;
}

int comm_win_ms_left(std::chrono::steady_clock::time_point deadline) {
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() <= 0 ? 0 : left.count() > INT_MAX ? INT_MAX : int(left.count());
}

int comm_socket_poll_fd(comm_fd s, bool connecting, std::chrono::steady_clock::time_point deadline,
                        pollfd* fds, int max, int* timeout_ms) {
    if (s == INVALID_SOCKET || max < 1) return 0;
    fds[0] = {s, static_cast<short>(connecting ? POLLOUT : POLLIN), 0};
    if (connecting) {
        int ms = comm_win_ms_left(deadline);
        if (*timeout_ms < 0 || ms < *timeout_ms) *timeout_ms = ms;
    }
    return 1;
}

int comm_fd_read(comm_link* link, comm_fd s) {
    int size = 0;
    unsigned char* buffer = comm_link_buffer(link, &size);
    int n = recv(s, reinterpret_cast<char*>(buffer), size, 0);
    if (n > 0) {
        comm_link_data(link, buffer, n);
        return n;
    }
    if (n == 0) {
        comm_link_ended(link);
        return -1;
    }
    int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK || err == WSAEINTR) return 0;
    comm_link_failed(link, "recv", err);
    return -1;
}

// Every comm_fd is a socket here: send() serves both kinds of caller.
int comm_fd_write(comm_link* link, comm_fd s, const unsigned char* data, int length, int ms, bool) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(ms > 0 ? ms : 0);
    for (;;) {
        int n = send(s, reinterpret_cast<const char*>(data), length, 0);
        if (n > 0) return n;
        int err = WSAGetLastError();
        if (n < 0 && err != WSAEWOULDBLOCK && err != WSAEINTR) {
            comm_trace("send", err);
            return -1;
        }
        int left = comm_win_ms_left(deadline);
        if (left <= 0) return 0;
        pollfd p[2] = {{s, POLLOUT, 0}, {comm_link_cancel_fd(link), POLLIN, 0}};
        if (WSAPoll(p, 2, left) < 0) {
            comm_trace("WSAPoll for send", WSAGetLastError());
            return -1;
        }
        if (p[1].revents & POLLIN) return -1;  // the link is being closed
    }
}
