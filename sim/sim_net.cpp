// Socket addresses for every system (sim_sys.h), over the calls Linux and Windows share.
#include "sim_sys.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#endif

#include <cstring>

static_assert(sizeof(sim_address::bytes) >= sizeof(sockaddr_storage));

short sim_poll_events(short ours) {
    return static_cast<short>(((ours & SIM_READABLE) ? POLLIN : 0) |
                              ((ours & SIM_WRITABLE) ? POLLOUT : 0));
}

short sim_events_of(short polled) {
    return static_cast<short>(
        ((polled & POLLIN) ? SIM_READABLE : 0) | ((polled & POLLOUT) ? SIM_WRITABLE : 0) |
        ((polled & POLLHUP) ? SIM_HANGUP : 0) | ((polled & (POLLERR | POLLNVAL)) ? SIM_FAILED : 0));
}

namespace {

sockaddr* as_sockaddr(sim_address* a) {
    return reinterpret_cast<sockaddr*>(a->bytes);
}
const sockaddr_storage& storage(const sim_address& a) {
    return *reinterpret_cast<const sockaddr_storage*>(a.bytes);
}

// The address `host` (numeric) with `port`, IPv4 or IPv6.
sim_address make_address(const char* host, int port) {
    sim_address a{};
    if (sim_is_ipv6(host)) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(a.bytes);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET6, host, &in6->sin6_addr);
        a.size = sizeof *in6;
        return a;
    }
    auto* in4 = reinterpret_cast<sockaddr_in*>(a.bytes);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host, &in4->sin_addr);
    a.size = sizeof *in4;
    return a;
}

// The host of `a` as text, `none` when it has none.
std::string host_text(const sim_address& a, const std::string& none) {
    char host[INET6_ADDRSTRLEN];
    const sockaddr_storage& ss = storage(a);
    const void* at =
        ss.ss_family == AF_INET6
            ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_addr)
            : &reinterpret_cast<const sockaddr_in*>(&ss)->sin_addr;
    return inet_ntop(ss.ss_family, at, host, sizeof host) ? std::string(host) : none;
}

int port_of(const sim_address& a) {
    const sockaddr_storage& ss = storage(a);
    if (ss.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&ss)->sin_port);
}

// The local address of `fd`; false on a failure.
bool local_address(int fd, sim_address* a) {
    socklen_t len = sizeof a->bytes;
    if (getsockname(fd, as_sockaddr(a), &len) != 0) return false;
    a->size = static_cast<int>(len);
    return true;
}

}  // namespace

bool sim_is_ipv6(const char* text) {
    unsigned char probe[16];
    return inet_pton(AF_INET6, text, probe) == 1;
}

bool sim_is_address(const char* text) {
    unsigned char probe[16];
    return inet_pton(AF_INET, text, probe) == 1 || sim_is_ipv6(text);
}

bool sim_bind(int fd, const char* host, int port, bool stream) {
    sim_address a = make_address(host, port);
    return bind(fd, as_sockaddr(&a), a.size) == 0 && (!stream || listen(fd, 8) == 0);
}

int sim_bound_port(int fd) {
    sim_address a;
    return local_address(fd, &a) ? port_of(a) : -1;
}

void sim_set_nodelay(int fd) {
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

sim_ssize sim_receive_from(int fd, void* data, size_t size, sim_address* from) {
    socklen_t len = sizeof from->bytes;
    const sim_ssize n =
        recvfrom(fd, static_cast<char*>(data), static_cast<int>(size), 0, as_sockaddr(from), &len);
    from->size = static_cast<int>(len);
    return n;
}

void sim_send_to(int fd, const void* data, size_t size, const sim_address& to) {
    sendto(fd, static_cast<const char*>(data), static_cast<int>(size), 0,
           reinterpret_cast<const sockaddr*>(to.bytes), to.size);
}

std::string sim_address_text(const sim_address& a) {
    const std::string host = host_text(a, "?");
    const std::string port = std::to_string(port_of(a));
    return storage(a).ss_family == AF_INET6 ? "[" + host + "]:" + port : host + ":" + port;
}

// A datagram socket connected to the peer sends nothing, but the system picks the local address
// that reaches it.
std::string sim_local_address_toward(const sim_address& peer) {
    const int fd = sim_socket(storage(peer).ss_family == AF_INET6 ? "::" : "0.0.0.0", false);
    if (fd < 0) return "";
    sim_address me;
    std::string local;
    if (connect(fd, reinterpret_cast<const sockaddr*>(peer.bytes), peer.size) == 0 &&
        local_address(fd, &me))
        local = host_text(me, "");
    sim_close(fd);
    return local;
}
