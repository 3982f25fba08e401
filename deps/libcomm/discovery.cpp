// Network discovery: one UDP socket with broadcast allowed, bound to an ephemeral port on every
// address. Requests go out from it (devices answer to its address and port); the I/O thread
// hands every datagram it receives to the registered callback.
//
// The socket is made on the registering thread, so a failure is that call's result and a send
// right after registering finds it; from then on the I/O thread drives it as an endpoint. The
// socket's own calls are the system's (discovery_socket.h); everything here is shared.
#include "comm_internal.h"
#include "discovery_socket.h"

namespace {

constexpr int DATAGRAM_SIZE = 65536;     // the largest UDP payload fits
constexpr int DATAGRAMS_PER_ROUND = 64;  // then the other links get their turn

struct discovery_state {
    comm_link* link = nullptr;
    comm_fd fd = COMM_NO_FD;
};

// The callback lives in the endpoint's context; the endpoint's CLOSED event releases it.
struct discovery_context {
    comm_broadcast_callback callback;
};

comm_endpoint_slot registered;

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
        int n = discovery_socket_receive(s->fd, buffer, size);
        if (n < 0) return;
        comm_link_data(s->link, buffer, n);
    }
}

int discovery_write(void*, const unsigned char*, int, int) {
    return -1;
}

void discovery_close(void* state) {
    auto s = static_cast<discovery_state*>(state);
    if (s->fd != COMM_NO_FD) discovery_socket_close(s->fd);
    delete s;
}

struct send_args {
    const void* frame;
    int length;
    sockaddr_in to;
};

int send_locked(void* state, void* arg) {
    auto s = static_cast<discovery_state*>(state);
    auto a = static_cast<send_args*>(arg);
    return discovery_socket_send(s->fd, a->frame, a->length, a->to) == a->length ? 0 : -1;
}

}  // namespace

const comm_transport comm_discovery_transport = {
    "discovery",      nullptr,         discovery_open,  discovery_poll_fds,
    discovery_handle, discovery_write, discovery_close, nullptr,
};

int comm_net_broadcast_register(comm_broadcast_callback callback, void*) {
    comm_endpoint_stop(comm_slot_take(registered));  // a second registration replaces the first
    comm_fd fd = discovery_socket_open();
    if (fd == COMM_NO_FD) return -1;
    auto state = new discovery_state;
    state->fd = fd;
    return comm_slot_start(registered, &comm_discovery_transport, state, discovery_event,
                           new discovery_context{callback}, DATAGRAM_SIZE);
}

int comm_net_broadcast_send(const void* frame, int length, const char* address, int port) {
    if (frame == nullptr || length <= 0 || address == nullptr || port < 1 || port > 65535)
        return -1;
    send_args args{frame, length, {}};
    args.to.sin_family = AF_INET;
    args.to.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address, &args.to.sin_addr) != 1) return -1;
    std::shared_ptr<comm_link> endpoint = comm_slot_get(registered);
    if (!endpoint) return -1;
    return comm_link_locked(endpoint.get(), send_locked, &args);
}

int comm_net_broadcast_deregister(void) {
    std::shared_ptr<comm_link> endpoint = comm_slot_take(registered);
    if (!endpoint) return -1;
    comm_endpoint_stop(endpoint);
    return 0;
}
