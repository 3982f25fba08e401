// The discovery socket on Windows, through Winsock (see discovery_socket.h).
#include "comm_win.h"
#include "discovery_socket.h"

// Without it a datagram sent to a port nobody listens on makes the next receive fail.
#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

comm_fd discovery_socket_open(void) {
    SOCKET fd = comm_win_socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP, true);
    if (fd == INVALID_SOCKET) return INVALID_SOCKET;
    BOOL off = FALSE;
    DWORD unused = 0;
    if (WSAIoctl(fd, SIO_UDP_CONNRESET, &off, sizeof off, nullptr, 0, &unused, nullptr, nullptr) !=
        0)
        comm_trace("discovery SIO_UDP_CONNRESET", WSAGetLastError());
    BOOL on = TRUE;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    any.sin_port = 0;
    if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on) !=
        0) {
        comm_trace("discovery SO_BROADCAST", WSAGetLastError());
    } else if (bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
        comm_trace("discovery bind", WSAGetLastError());
    } else {
        return fd;
    }
    closesocket(fd);
    return INVALID_SOCKET;
}

int discovery_socket_receive(comm_fd fd, unsigned char* buffer, int size) {
    int n = recv(fd, reinterpret_cast<char*>(buffer), size, 0);
    if (n < 0) {
        int err = WSAGetLastError();
        if (err != WSAEWOULDBLOCK && err != WSAEINTR) comm_trace("discovery receive", err);
        return -1;
    }
    return n;
}

int discovery_socket_send(comm_fd fd, const void* frame, int length, const sockaddr_in& to) {
    int n = sendto(fd, static_cast<const char*>(frame), length, 0,
                   reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (n < 0) comm_trace("discovery send", WSAGetLastError());
    return n < 0 ? -1 : n;
}

void discovery_socket_close(comm_fd fd) {
    comm_win_close_socket(fd);
}
