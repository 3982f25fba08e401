// The link core's system calls on Linux: poll, and an eventfd as the wake-up descriptor.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "comm_internal.h"

comm_fd comm_wake_open(void) {
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) comm_trace("eventfd", errno);
    return fd;
}

void comm_wake_signal(comm_fd fd) {
    uint64_t one = 1;
    if (fd >= 0 && ::write(fd, &one, sizeof one) < 0 && errno != EAGAIN)
        comm_trace("wake-up write", errno);
}

void comm_wake_drain(comm_fd fd) {
    uint64_t value;
    if (::read(fd, &value, sizeof value) < 0 && errno != EAGAIN) comm_trace("wake-up read", errno);
}

void comm_wake_close(comm_fd fd) {
    if (fd >= 0) ::close(fd);
}

int comm_poll(pollfd* fds, size_t count, int timeout_ms) {
    int r = ::poll(fds, count, timeout_ms);
    if (r >= 0 || errno == EINTR) return r < 0 ? 0 : r;
    comm_trace("poll", errno);
    return -1;
}

const char* comm_error_text(int err, char* buffer, size_t size) {
    return strerror_r(err, buffer, size);
}
