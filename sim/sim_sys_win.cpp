// The simulator's system calls on Windows: see sim_sys.h. Sockets are Winsock's, the wait is
// WSAPoll's, and the wake-up pair a loopback UDP socket that sends to itself.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <csignal>
#include <vector>

#include "sim_sys.h"

namespace {

// Winsock, started once before the first socket.
bool net_start() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

int socket_of(int family, int type) {
    if (!net_start()) return -1;
    SOCKET s = WSASocketW(family, type, 0, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

}  // namespace

int sim_socket(const char* host, bool stream) {
    return socket_of(sim_is_ipv6(host) ? AF_INET6 : AF_INET, stream ? SOCK_STREAM : SOCK_DGRAM);
}
void sim_set_nonblocking(int fd) {
    u_long on = 1;
    ioctlsocket(static_cast<SOCKET>(fd), FIONBIO, &on);
}
// Windows lets SO_REUSEADDR take a port another program holds: not set there.
void sim_reuse_address(int) {}
int sim_accept(int listen_fd, sim_address* from) {
    int len = sizeof from->bytes;
    SOCKET s =
        accept(static_cast<SOCKET>(listen_fd), reinterpret_cast<sockaddr*>(from->bytes), &len);
    if (s == INVALID_SOCKET) return -1;
    from->size = len;
    sim_set_nonblocking(static_cast<int>(s));
    return static_cast<int>(s);
}
sim_ssize sim_read(int fd, void* data, size_t size) {
    return recv(static_cast<SOCKET>(fd), static_cast<char*>(data), static_cast<int>(size), 0);
}
sim_ssize sim_send(int fd, const void* data, size_t size, bool) {
    return send(static_cast<SOCKET>(fd), static_cast<const char*>(data), static_cast<int>(size), 0);
}
void sim_close(int fd) {
    closesocket(static_cast<SOCKET>(fd));
}
bool sim_would_block() {
    int err = WSAGetLastError();
    return err == WSAEWOULDBLOCK || err == WSAEINTR;
}
std::string sim_error_text() {
    char text[256] = "";
    int err = WSAGetLastError();
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(err), 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) --n;
    return n ? std::string(text, n) : "error " + std::to_string(err);
}

int sim_wait(sim_poll* fds, int n, int64_t timeout_us) {
    thread_local std::vector<WSAPOLLFD> polled;
    polled.resize(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        polled[i] = WSAPOLLFD{static_cast<SOCKET>(fds[i].fd), sim_poll_events(fds[i].events), 0};
    const int ms = timeout_us < 0 ? -1 : static_cast<int>((timeout_us + 999) / 1000);
    if (WSAPoll(polled.data(), static_cast<ULONG>(n), ms) < 0) return -1;
    for (int i = 0; i < n; ++i) fds[i].revents = sim_events_of(polled[i].revents);
    return 0;
}

// A loopback UDP socket connected to itself (both ends the same).
int sim_wake_pair(int wake[2]) {
    int fd = socket_of(AF_INET, SOCK_DGRAM);
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
void sim_wake(const int wake[2]) {
    send(static_cast<SOCKET>(wake[0]), "", 1, 0);
}
int sim_open_pty(std::string*, std::string* error) {
    *error = "pseudo-terminal: not on Windows (the simulator serves TCP and discovery here)";
    return -1;
}
void sim_local_time(const time_t* t, struct tm* out) {
    localtime_s(out, t);
}
void sim_utc_time(const time_t* t, struct tm* out) {
    gmtime_s(out, t);
}
void sim_on_stop_signals(void (*handler)(int)) {
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
}
