// The TCP link's system calls on Linux (see tcp_socket.h).
#include <netdb.h>
#include <netinet/in.h>
#include <linux/sockios.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

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

bool tcp_socket_shut_send(comm_fd fd) {
    return ::shutdown(fd, SHUT_WR) == 0;
}

bool tcp_socket_drain(comm_fd fd) {
    char scrap[4096];
    ssize_t n = 1;
    for (int i = 0; i < TCP_SOCKET_DRAIN_READS && n > 0; ++i)
        n = ::recv(fd, scrap, sizeof scrap, 0);
    return n != 0;
}

int tcp_socket_unacknowledged(comm_fd fd) {
    int n = 0;
    return ioctl(fd, SIOCOUTQ, &n) == 0 ? n : 0;
}

void tcp_socket_close(comm_fd fd) {
    if (fd >= 0) ::close(fd);
}
