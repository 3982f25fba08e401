// The TCP link's system calls on Windows, through Winsock (see tcp_socket.h).
//
// Unlike Linux, Windows answers a refused connect (a reset) by sending its SYN again, twice,
// and reports the refusal only after about two seconds, on loopback too. "localhost" resolves to
// ::1 before 127.0.0.1, and a program listening on 127.0.0.1 alone would let ::1 use up the whole
// time-out. So each address gets an equal share of the time that is left, and the last one all
// of it.
#include "comm_win.h"
#include "tcp_socket.h"

const int TCP_SOCKET_UNREACHABLE = WSAEHOSTUNREACH;
const int TCP_SOCKET_TIMED_OUT = WSAETIMEDOUT;
const bool TCP_SOCKET_SHARE_TIME = true;

bool tcp_socket_start(void) {
    return comm_winsock_start();
}

const char* tcp_socket_lookup_text(int code) {
    return gai_strerrorA(code);
}

comm_fd tcp_socket_open(int family, int* err) {
    SOCKET fd = comm_win_socket(family, SOCK_STREAM, IPPROTO_TCP, true);
    if (fd == INVALID_SOCKET) *err = WSAGetLastError();
    return fd;
}

int tcp_socket_connect(comm_fd fd, const sockaddr_storage& to, int length, int* err) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), length) == 0) return 1;
    int e = WSAGetLastError();
    if (e == WSAEWOULDBLOCK || e == WSAEINPROGRESS) return 0;
    *err = e;
    return -1;
}

int tcp_socket_connect_result(comm_fd fd, short revents) {
    // Writable once connected; an error or hang-up when the connect failed.
    int err = 0;
    int len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
        err = WSAGetLastError();
    if (err == 0 && (revents & POLLOUT)) return 0;
    return err ? err : WSAECONNREFUSED;
}

void tcp_socket_no_delay(comm_fd fd) {
    BOOL on = TRUE;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) !=
        0)
        comm_trace("tcp TCP_NODELAY", WSAGetLastError());
}

bool tcp_socket_shut_send(comm_fd fd) {
    return shutdown(fd, SD_SEND) == 0;
}

bool tcp_socket_drain(comm_fd fd) {
    char scrap[4096];
    int n = 1;
    for (int i = 0; i < TCP_SOCKET_DRAIN_READS && n > 0; ++i) n = recv(fd, scrap, sizeof scrap, 0);
    return n != 0;
}

// Windows tells no count of unacknowledged bytes short of its newer statistics calls; after a
// graceful close it sends what is queued by itself.
int tcp_socket_unacknowledged(comm_fd) {
    return 0;
}

void tcp_socket_close(comm_fd fd) {
    comm_win_close_socket(fd);
}
