// The TCP link's system calls on Windows, through Winsock (see tcp_socket.h).
//
// Unlike Linux, Windows answers a refused connect (a reset) by sending its SYN again, twice,
// and reports the refusal only after about two seconds, on loopback too. "localhost" resolves to
// ::1 before 127.0.0.1, and a program listening on 127.0.0.1 alone would let ::1 use up the whole
// time-out. So each address gets an equal share of the time that is left, and the last one all
// of it.
#include <cstddef>

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

namespace {

// SIO_TCP_INFO's answer, version 0 (Windows 10 1703 and later), and its TCPSTATE values, as
// documented: the headers declare them only for programs that need that version, and this one
// runs on Windows 7.
enum tcp_state { TCP_FIN_WAIT_1 = 5, TCP_CLOSING = 8, TCP_LAST_ACK = 9 };
struct tcp_info_v0 {
    int State;
    ULONG Mss;
    ULONG64 ConnectionTimeMs;
    BOOLEAN TimestampsEnabled;
    ULONG RttUs;
    ULONG MinRttUs;
    ULONG BytesInFlight;
    ULONG Cwnd;
    ULONG SndWnd;
    ULONG RcvWnd;
    ULONG RcvBuf;
    ULONG64 BytesOut;
    ULONG64 BytesIn;
    ULONG BytesReordered;
    ULONG BytesRetrans;
    ULONG FastRetrans;
    ULONG DupAcksIn;
    ULONG TimeoutEpisodes;
    UCHAR SynRetrans;
};
constexpr DWORD TCP_INFO_CODE = _WSAIORW(IOC_VENDOR, 39);  // SIO_TCP_INFO

}  // namespace

int comm_win_unacknowledged(int state, unsigned long in_flight) {
    // Our FIN goes out after all that was queued, and is itself unacknowledged in these states.
    const bool fin_unacknowledged =
        state == TCP_FIN_WAIT_1 || state == TCP_CLOSING || state == TCP_LAST_ACK;
    if (in_flight > 0) return in_flight > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(in_flight);
    return fin_unacknowledged ? 1 : 0;
}

// From the connection's statistics (SIO_TCP_INFO), where the system keeps them; before Windows
// 10 1703 the count is 0 and the close lingers until the peer has ended its side, as before.
int tcp_socket_unacknowledged(comm_fd fd) {
    DWORD version = 0, got = 0;
    tcp_info_v0 info{};
    if (WSAIoctl(fd, TCP_INFO_CODE, &version, sizeof version, &info, sizeof info, &got, nullptr,
                 nullptr) != 0 ||
        got < offsetof(tcp_info_v0, Cwnd))
        return 0;
    return comm_win_unacknowledged(info.State, info.BytesInFlight);
}

void tcp_socket_close(comm_fd fd) {
    comm_win_close_socket(fd);
}
