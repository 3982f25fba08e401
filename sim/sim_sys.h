// The simulator's system calls that differ between Linux and Windows, in one place: sockets,
// the wait, the wake-up pair, the pseudo-terminal (Linux only), clocks and stop signals.
// Descriptors are ints on both systems: Windows keeps socket handle values within 32 bits.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>

#ifdef _WIN32

// printf-style checks as the C99 printf the build uses (not the system's older one).
#define SIM_PRINTF(format_at, args_at) __attribute__((format(gnu_printf, format_at, args_at)))

using sim_ssize = int;

// Winsock, started once before the first socket.
inline bool sim_net_start() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

inline int sim_socket(int family, int type) {
    if (!sim_net_start()) return -1;
    SOCKET s = WSASocketW(family, type, 0, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}
inline void sim_set_nonblocking(int fd) {
    u_long on = 1;
    ioctlsocket(static_cast<SOCKET>(fd), FIONBIO, &on);
}
// Windows lets SO_REUSEADDR take a port another program holds: not set there.
inline void sim_reuse_address(int) {}
inline void sim_set_option(int fd, int level, int name, int value) {
    setsockopt(static_cast<SOCKET>(fd), level, name, reinterpret_cast<const char*>(&value),
               sizeof value);
}
inline int sim_accept(int listen_fd, sockaddr* from, socklen_t* len) {
    SOCKET s = accept(static_cast<SOCKET>(listen_fd), from, len);
    if (s == INVALID_SOCKET) return -1;
    sim_set_nonblocking(static_cast<int>(s));
    return static_cast<int>(s);
}
inline sim_ssize sim_read(int fd, void* data, size_t size) {
    return recv(static_cast<SOCKET>(fd), static_cast<char*>(data), static_cast<int>(size), 0);
}
inline sim_ssize sim_send(int fd, const void* data, size_t size, bool) {
    return send(static_cast<SOCKET>(fd), static_cast<const char*>(data), static_cast<int>(size), 0);
}
inline void sim_close(int fd) {
    closesocket(static_cast<SOCKET>(fd));
}
// The last call failed only because nothing could be done now.
inline bool sim_would_block() {
    int err = WSAGetLastError();
    return err == WSAEWOULDBLOCK || err == WSAEINTR;
}
inline std::string sim_error_text() {
    char text[256] = "";
    int err = WSAGetLastError();
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(err), 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) --n;
    return n ? std::string(text, n) : "error " + std::to_string(err);
}
inline pollfd sim_pollfd(int fd, short events) {
    return pollfd{static_cast<SOCKET>(fd), events, 0};
}
// Waits up to `timeout_us` (-1: no limit); -1 on a failure.
inline int sim_wait(pollfd* fds, int n, int64_t timeout_us) {
    int ms = timeout_us < 0 ? -1 : static_cast<int>((timeout_us + 999) / 1000);
    return WSAPoll(fds, static_cast<ULONG>(n), ms) < 0 ? -1 : 0;
}
// A wake-up pair: a loopback UDP socket connected to itself (both ends the same).
inline int sim_wake_pair(int wake[2]) {
    int fd = sim_socket(AF_INET, SOCK_DGRAM);
    if (fd < 0) return -1;
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof self;
    SOCKET s = static_cast<SOCKET>(fd);
    if (bind(s, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&self), &len) != 0 ||
        connect(s, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
        closesocket(s);
        return -1;
    }
    sim_set_nonblocking(fd);
    wake[0] = fd;
    wake[1] = -1;
    return 0;
}
inline void sim_wake(const int wake[2]) {
    send(static_cast<SOCKET>(wake[0]), "", 1, 0);
}
inline int sim_open_pty(std::string*, std::string* error) {
    *error = "pseudo-terminal: not on Windows (the simulator serves TCP and discovery here)";
    return -1;
}
inline void sim_local_time(const time_t* t, struct tm* out) {
    localtime_s(out, t);
}
inline void sim_utc_time(const time_t* t, struct tm* out) {
    gmtime_s(out, t);
}
inline void sim_on_stop_signals(void (*handler)(int)) {
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
}

#else

#define SIM_PRINTF(format_at, args_at) __attribute__((format(printf, format_at, args_at)))

using sim_ssize = ssize_t;

inline int sim_socket(int family, int type) {
    return socket(family, type | SOCK_CLOEXEC, 0);
}
inline void sim_set_nonblocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}
inline void sim_reuse_address(int fd) {
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}
inline void sim_set_option(int fd, int level, int name, int value) {
    setsockopt(fd, level, name, &value, sizeof value);
}
inline int sim_accept(int listen_fd, sockaddr* from, socklen_t* len) {
    return accept4(listen_fd, from, len, SOCK_NONBLOCK | SOCK_CLOEXEC);
}
// A TCP socket or the pseudo-terminal.
inline sim_ssize sim_read(int fd, void* data, size_t size) {
    return read(fd, data, size);
}
inline sim_ssize sim_send(int fd, const void* data, size_t size, bool socket) {
    return socket ? send(fd, data, size, MSG_NOSIGNAL) : write(fd, data, size);
}
inline void sim_close(int fd) {
    close(fd);
}
inline bool sim_would_block() {
    return errno == EAGAIN || errno == EINTR;
}
inline std::string sim_error_text() {
    return std::strerror(errno);
}
inline pollfd sim_pollfd(int fd, short events) {
    return pollfd{fd, events, 0};
}
inline int sim_wait(pollfd* fds, int n, int64_t timeout_us) {
    timespec ts{};
    if (timeout_us >= 0) {
        ts.tv_sec = static_cast<time_t>(timeout_us / 1000000);
        ts.tv_nsec = static_cast<long>(timeout_us % 1000000) * 1000;
    }
    if (ppoll(fds, static_cast<nfds_t>(n), timeout_us < 0 ? nullptr : &ts, nullptr) >= 0) return 0;
    return errno == EINTR ? 0 : -1;
}
inline int sim_wake_pair(int wake[2]) {
    return pipe2(wake, O_NONBLOCK | O_CLOEXEC);
}
inline void sim_wake(const int wake[2]) {
    char b = 1;
    sim_ssize ignored = write(wake[1], &b, 1);
    (void)ignored;
}
// A pseudo-terminal in raw mode (no byte of a frame translated or echoed; the peer may set its
// own speed): its descriptor, and its path in `path`; -1 with `error` on failure.
inline int sim_open_pty(std::string* path, std::string* error) {
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
inline void sim_local_time(const time_t* t, struct tm* out) {
    localtime_r(t, out);
}
inline void sim_utc_time(const time_t* t, struct tm* out) {
    gmtime_r(t, out);
}
inline void sim_on_stop_signals(void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

#endif
