// Network discovery on Windows, through Winsock, as discovery.cpp does on Linux: one UDP socket
// with broadcast allowed, bound to an ephemeral port on every address. Requests go out from it
// (devices answer to its address and port); the I/O thread hands every datagram it receives to the
// registered callback.
//
// The socket is made on the registering thread, so a failure is that call's result and a send
// right after registering finds it; from then on the I/O thread drives it as an endpoint.
#include "comm_win.h"

// Without it a datagram sent to a port nobody listens on makes the next receive fail.
#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace {

constexpr int DATAGRAM_SIZE = 65536;     // the largest UDP payload fits
constexpr int DATAGRAMS_PER_ROUND = 64;  // then the other links get their turn

struct discovery_state {
    comm_link* link = nullptr;
    SOCKET fd = INVALID_SOCKET;
};

// The callback lives in the endpoint's context; the endpoint's CLOSED event releases it.
struct discovery_context {
    comm_broadcast_callback callback;
};

std::mutex registration_lock;  // never held while waiting for the I/O thread
std::shared_ptr<comm_link> registered;

int discovery_event(int, int kind, const unsigned char* bytes, int count, void* context) {
    auto ctx = static_cast<discovery_context*>(context);
    if (kind == COMM_EVENT_DATA && ctx->callback != nullptr) ctx->callback(bytes, count);
    if (kind == COMM_EVENT_CLOSED) delete ctx;
    return 0;
}

void discovery_open(void* state, comm_link* link) {
    static_cast<discovery_state*>(state)->link = link;
    comm_link_opened(link);
}

int discovery_poll_fds(void* state, pollfd* fds, int max, int*) {
    auto s = static_cast<discovery_state*>(state);
    if (max < 1) return 0;
    fds[0] = {s->fd, POLLIN, 0};
    return 1;
}

void discovery_handle(void* state, const pollfd* fds, int count) {
    auto s = static_cast<discovery_state*>(state);
    if (count < 1 || fds[0].revents == 0) return;
    int size = 0;
    unsigned char* buffer = comm_link_buffer(s->link, &size);
    for (int i = 0; i < DATAGRAMS_PER_ROUND; ++i) {
        int n = recv(s->fd, reinterpret_cast<char*>(buffer), size, 0);
        if (n < 0) {
            // A failed receive (an ICMP error, say) costs one datagram, not the socket.
            int err = WSAGetLastError();
            if (err != WSAEWOULDBLOCK && err != WSAEINTR) comm_trace("discovery receive", err);
            return;
        }
        comm_link_data(s->link, buffer, static_cast<int>(n));
    }
}

int discovery_write(void*, const unsigned char*, int, int) {
    return -1;
}

void discovery_close(void* state) {
    auto s = static_cast<discovery_state*>(state);
    comm_win_close_socket(s->fd);
    delete s;
}

SOCKET open_socket() {
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

struct send_args {
    const void* frame;
    int length;
    sockaddr_in to;
};

int send_locked(void* state, void* arg) {
    auto s = static_cast<discovery_state*>(state);
    auto a = static_cast<send_args*>(arg);
    int n = sendto(s->fd, static_cast<const char*>(a->frame), a->length, 0,
                   reinterpret_cast<const sockaddr*>(&a->to), sizeof a->to);
    if (n < 0) {
        comm_trace("discovery send", WSAGetLastError());
        return -1;
    }
    return n == a->length ? 0 : -1;
}

std::shared_ptr<comm_link> take_registration() {
    std::lock_guard<std::mutex> guard(registration_lock);
    return std::move(registered);
}

}  // namespace

const comm_transport comm_discovery_transport = {
    "discovery",      nullptr,         discovery_open,  discovery_poll_fds,
    discovery_handle, discovery_write, discovery_close, nullptr,
};

int comm_net_broadcast_register(comm_broadcast_callback callback, void*) {
    comm_endpoint_stop(take_registration());  // a second registration replaces the first
    SOCKET fd = open_socket();
    if (fd == INVALID_SOCKET) return -1;
    auto state = new discovery_state;
    state->fd = fd;
    auto context = new discovery_context{callback};
    auto endpoint = comm_endpoint_start(&comm_discovery_transport, state, discovery_event, context,
                                        DATAGRAM_SIZE);
    if (!endpoint) {
        discovery_close(state);
        delete context;
        return -1;
    }
    std::shared_ptr<comm_link> replaced;
    {
        std::lock_guard<std::mutex> guard(registration_lock);
        replaced = std::move(registered);
        registered = endpoint;
    }
    comm_endpoint_stop(replaced);  // only when two threads registered at once
    return 0;
}

int comm_net_broadcast_send(const void* frame, int length, const char* address, int port) {
    if (frame == nullptr || length <= 0 || address == nullptr || port < 1 || port > 65535)
        return -1;
    send_args args{frame, length, {}};
    args.to.sin_family = AF_INET;
    args.to.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address, &args.to.sin_addr) != 1) return -1;
    std::shared_ptr<comm_link> endpoint;
    {
        std::lock_guard<std::mutex> guard(registration_lock);
        endpoint = registered;
    }
    if (!endpoint) return -1;
    return comm_link_locked(endpoint.get(), send_locked, &args);
}

int comm_net_broadcast_deregister(void) {
    std::shared_ptr<comm_link> endpoint = take_registration();
    if (!endpoint) return -1;
    comm_endpoint_stop(endpoint);
    return 0;
}
