// The simulator's system calls on Linux: see sim_sys.h.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include "sim_sys.h"

int sim_socket(const char* host, bool stream) {
    return socket(sim_is_ipv6(host) ? AF_INET6 : AF_INET,
                  (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
}
void sim_set_nonblocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}
void sim_reuse_address(int fd) {
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}
int sim_accept(int listen_fd, sim_address* from) {
    socklen_t len = sizeof from->bytes;
    const int fd = accept4(listen_fd, reinterpret_cast<sockaddr*>(from->bytes), &len,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
    from->size = static_cast<int>(len);
    return fd;
}
sim_ssize sim_read(int fd, void* data, size_t size) {
    return read(fd, data, size);
}
sim_ssize sim_send(int fd, const void* data, size_t size, bool socket) {
    return socket ? send(fd, data, size, MSG_NOSIGNAL) : write(fd, data, size);
}
void sim_close(int fd) {
    close(fd);
}
bool sim_would_block() {
    return errno == EAGAIN || errno == EINTR;
}
std::string sim_error_text() {
    return std::strerror(errno);
}

int sim_wait(sim_poll* fds, int n, int64_t timeout_us) {
    thread_local std::vector<pollfd> polled;
    polled.resize(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) polled[i] = pollfd{fds[i].fd, sim_poll_events(fds[i].events), 0};
    timespec ts{};
    if (timeout_us >= 0) {
        ts.tv_sec = static_cast<time_t>(timeout_us / 1000000);
        ts.tv_nsec = static_cast<long>(timeout_us % 1000000) * 1000;
    }
    if (ppoll(polled.data(), static_cast<nfds_t>(n), timeout_us < 0 ? nullptr : &ts, nullptr) < 0) {
        for (int i = 0; i < n; ++i) fds[i].revents = 0;
        return errno == EINTR ? 0 : -1;
    }
    for (int i = 0; i < n; ++i) fds[i].revents = sim_events_of(polled[i].revents);
    return 0;
}

int sim_wake_pair(int wake[2]) {
    return pipe2(wake, O_NONBLOCK | O_CLOEXEC);
}
void sim_wake(const int wake[2]) {
    char b = 1;
    sim_ssize ignored = write(wake[1], &b, 1);
    (void)ignored;
}
int sim_open_pty(std::string* path, std::string* error) {
    int fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[128];
    termios t;
    if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, name, sizeof name) != 0 ||
        tcgetattr(fd, &t) != 0) {
        *error = std::string("pseudo-terminal: ") + std::strerror(errno);
        if (fd >= 0) close(fd);
        return -1;
    }
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    tcsetattr(fd, TCSANOW, &t);
    *path = name;
    return fd;
}
void sim_local_time(const time_t* t, struct tm* out) {
    localtime_r(t, out);
}
void sim_utc_time(const time_t* t, struct tm* out) {
    gmtime_r(t, out);
}
void sim_on_stop_signals(void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}
