// Reading and writing for the transports that are a plain descriptor (TCP, serial, RFCOMM).
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>

#include "comm_internal.h"

int comm_socket_poll_fd(int fd, bool connecting, std::chrono::steady_clock::time_point deadline,
                        pollfd* fds, int max, int* timeout_ms) {
    if (fd < 0 || max < 1) return 0;
    fds[0] = {fd, static_cast<short>(connecting ? POLLOUT : POLLIN), 0};
    if (connecting) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
        int ms = left.count() <= 0 ? 0 : left.count() > INT_MAX ? INT_MAX : int(left.count());
        if (*timeout_ms < 0 || ms < *timeout_ms) *timeout_ms = ms;
    }
    return 1;
}

int comm_fd_read(comm_link* link, int fd) {
    int size = 0;
    unsigned char* buffer = comm_link_buffer(link, &size);
    ssize_t n = ::read(fd, buffer, static_cast<size_t>(size));
    if (n > 0) {
        comm_link_data(link, buffer, static_cast<int>(n));
        return static_cast<int>(n);
    }
    if (n == 0) {
        comm_link_ended(link);
        return -1;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    comm_link_failed(link, "read", errno);
    return -1;
}

int comm_fd_write(comm_link* link, int fd, const unsigned char* data, int length, int ms,
                  bool socket) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(ms > 0 ? ms : 0);
    for (;;) {
        ssize_t n = socket ? ::send(fd, data, static_cast<size_t>(length), MSG_NOSIGNAL)
                           : ::write(fd, data, static_cast<size_t>(length));
        if (n > 0) return static_cast<int>(n);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            comm_trace(socket ? "send" : "write", errno);
            return -1;
        }
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (left <= 0) return 0;
        pollfd p[2] = {{fd, POLLOUT, 0}, {comm_link_cancel_fd(link), POLLIN, 0}};
        int r = ::poll(p, 2, left > INT_MAX ? INT_MAX : static_cast<int>(left));
        if (r < 0 && errno != EINTR) {
            comm_trace("poll for write", errno);
            return -1;
        }
        if (p[1].revents & POLLIN) return -1;  // the link is being closed
    }
}
