// The discovery socket on Linux (see discovery_socket.h).
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <cerrno>

#include "comm_internal.h"
#include "discovery_socket.h"

comm_fd discovery_socket_open(void) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        comm_trace("discovery socket", errno);
        return COMM_NO_FD;
    }
    int on = 1;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    any.sin_port = 0;
    if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) < 0) {
        comm_trace("discovery SO_BROADCAST", errno);
    } else if (bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) < 0) {
        comm_trace("discovery bind", errno);
    } else {
        return fd;
    }
    ::close(fd);
    return COMM_NO_FD;
}

int discovery_socket_receive(comm_fd fd, unsigned char* buffer, int size) {
    ssize_t n = ::recv(fd, buffer, static_cast<size_t>(size), 0);
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            comm_trace("discovery receive", errno);
        return -1;
    }
    return static_cast<int>(n);
}

int discovery_socket_send(comm_fd fd, const void* frame, int length, const sockaddr_in& to) {
    ssize_t n = ::sendto(fd, frame, static_cast<size_t>(length), 0,
                         reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (n < 0) {
        comm_trace("discovery send", errno);
        return -1;
    }
    return static_cast<int>(n);
}

void discovery_socket_close(comm_fd fd) {
    ::close(fd);
}
