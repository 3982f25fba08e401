// The TCP link's system calls on Linux (see tcp_socket.h).
#include <netdb.h>
#include <netinet/in.h>
#include <linux/sockios.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "tcp_socket.h"

const int TCP_SOCKET_UNREACHABLE = EHOSTUNREACH;
const int TCP_SOCKET_TIMED_OUT = ETIMEDOUT;
const bool TCP_SOCKET_SHARE_TIME = false;  // a refusal comes at once

bool tcp_socket_start(void) {
    return true;
}

const char* tcp_socket_lookup_text(int code) {
    return gai_strerror(code);
}

comm_fd tcp_socket_open(int family, int* err) {
    int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *err = errno;
        comm_trace("tcp socket", errno);
    }
    return fd < 0 ? COMM_NO_FD : fd;
}

int tcp_socket_connect(comm_fd fd, const sockaddr_storage& to, int length, int* err) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), static_cast<socklen_t>(length)) == 0)
        return 1;
    if (errno == EINPROGRESS) return 0;
    *err = errno;
    return -1;
}

int tcp_socket_connect_result(comm_fd fd, short) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) err = errno;
    return err;
}

void tcp_socket_no_delay(comm_fd fd) {
    int on = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) < 0)
        comm_trace("tcp TCP_NODELAY", errno);
}

// A socket closed with the peer's bytes unread is reset, and what it had not sent yet is dropped:
// the last request before a disconnect would be lost while the instrument sends its events. So
// the sending side is shut first, and the socket closed once the peer has acknowledged all it was
// sent (or after LINGER_MS), the peer's bytes read and dropped meanwhile.
void tcp_socket_close(comm_fd fd) {
    if (fd < 0) return;
    constexpr auto LINGER_MS = std::chrono::milliseconds(1000);
    const auto deadline = std::chrono::steady_clock::now() + LINGER_MS;
    pollfd p{fd, POLLIN, 0};
    for (bool shut = ::shutdown(fd, SHUT_WR) == 0; shut;) {
        char scrap[4096];
        ssize_t n;
        while ((n = ::recv(fd, scrap, sizeof scrap, MSG_DONTWAIT)) > 0) continue;
        if (n == 0) p.events = 0;  // the peer's end: nothing more to read
        int unsent = 0;
        if (ioctl(fd, SIOCOUTQ, &unsent) != 0 || unsent == 0 ||
            std::chrono::steady_clock::now() >= deadline)
            break;
        ::poll(&p, 1, 5);
    }
    ::close(fd);
}
