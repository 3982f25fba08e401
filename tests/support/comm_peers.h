// Test peers for the communication library's real transports: a TCP listener on 127.0.0.1 with
// an ephemeral port, a pseudo-terminal whose master side plays the device, and a UDP responder.
// Every blocking call is bounded by a generous limit so a hang fails the test.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

constexpr int PEER_LIMIT_MS = 30000;

inline bool wait_fd(int fd, short events, int ms = PEER_LIMIT_MS) {
    pollfd p{fd, events, 0};
    int r;
    do r = ::poll(&p, 1, ms);
    while (r < 0 && errno == EINTR);
    return r > 0;
}

inline bool write_all(int fd, const void* data, size_t n) {
    auto p = static_cast<const char*>(data);
    while (n > 0) {
        if (!wait_fd(fd, POLLOUT)) return false;
        ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == ENOTSOCK) w = ::write(fd, p, n);
        if (w < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}
inline bool write_all(int fd, const std::string& s) {
    return write_all(fd, s.data(), s.size());
}

// Reads exactly n bytes (false on end, error or the limit).
inline bool read_exact(int fd, size_t n, std::string* out) {
    out->clear();
    char buf[65536];
    while (out->size() < n) {
        if (!wait_fd(fd, POLLIN)) return false;
        ssize_t r = ::read(fd, buf, std::min(sizeof buf, n - out->size()));
        if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (r <= 0) return false;
        out->append(buf, static_cast<size_t>(r));
    }
    return true;
}

// Reads until the other side closes (or an error, or the limit between two reads).
inline std::string read_to_end(int fd) {
    std::string out;
    char buf[65536];
    while (wait_fd(fd, POLLIN)) {
        ssize_t r = ::read(fd, buf, sizeof buf);
        if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (r <= 0) break;
        out.append(buf, static_cast<size_t>(r));
    }
    return out;
}

// Listens on 127.0.0.1, or on ::1 when `ipv6` (port() is 0 when that is not possible).
class TcpPeer {
  public:
    explicit TcpPeer(bool ipv6 = false) {
        listen_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage s{};
        socklen_t len;
        if (ipv6) {
            auto a = reinterpret_cast<sockaddr_in6*>(&s);
            a->sin6_family = AF_INET6;
            a->sin6_addr = in6addr_loopback;
            len = sizeof *a;
        } else {
            auto a = reinterpret_cast<sockaddr_in*>(&s);
            a->sin_family = AF_INET;
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            len = sizeof *a;
        }
        auto addr = reinterpret_cast<sockaddr*>(&s);
        if (listen_ >= 0 && ::bind(listen_, addr, len) == 0 && ::listen(listen_, 8) == 0 &&
            ::getsockname(listen_, addr, &len) == 0)
            port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&s)->sin6_port
                               : reinterpret_cast<sockaddr_in*>(&s)->sin_port);
    }
    ~TcpPeer() {
        close_client();
        if (listen_ >= 0) ::close(listen_);
    }
    TcpPeer(const TcpPeer&) = delete;
    TcpPeer& operator=(const TcpPeer&) = delete;

    int port() const { return port_; }
    // Accepts the library's connection; -1 after the limit.
    int accept() {
        if (!wait_fd(listen_, POLLIN)) return -1;
        client_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        return client_;
    }
    int client() const { return client_; }
    void close_client() {
        if (client_ >= 0) ::close(client_);
        client_ = -1;
    }

  private:
    int listen_ = -1;
    int client_ = -1;
    int port_ = 0;
};

// A port on 127.0.0.1 that refuses connections: bound, never listening, so no other test can
// take it while this one runs.
class RefusingPort {
  public:
    RefusingPort() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port_ = ntohs(a.sin_port);
    }
    ~RefusingPort() { ::close(fd_); }
    int port() const { return port_; }

  private:
    int fd_ = -1;
    int port_ = 0;
};

// The master side of a pseudo-terminal; the library opens the slave by its path.
class PtyPeer {
  public:
    PtyPeer() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128];
        if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0 &&
            ::ptsname_r(master_, name, sizeof name) == 0)
            path_ = name;
    }
    ~PtyPeer() { close_master(); }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    const std::string& path() const { return path_; }
    int master() const { return master_; }
    void close_master() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

  private:
    int master_ = -1;
    std::string path_;
};

// A UDP peer on 127.0.0.1 (or any address in a test's own namespace) that answers every
// request with "re:" and the request, to the sender's address and port. With flood set it then
// keeps sending numbered datagrams to the last sender until stopped or `flood_max` are sent.
class UdpResponder {
  public:
    explicit UdpResponder(in_addr_t bind_to = htonl(INADDR_LOOPBACK)) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = bind_to;
        socklen_t len = sizeof a;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port_ = ntohs(a.sin_port);
    }
    ~UdpResponder() {
        stop();
        ::close(fd_);
    }
    int port() const { return port_; }
    int requests() const { return requests_; }
    int flooded() const { return flooded_; }

    void start(bool flood = false, int flood_max = 200000) {
        thread_ = std::thread([this, flood, flood_max] { run(flood, flood_max); });
    }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

  private:
    void run(bool flood, int flood_max) {
        sockaddr_in from{};
        bool have_sender = false;
        while (!stop_) {
            bool flooding = flood && have_sender && flooded_ < flood_max;
            if (wait_fd(fd_, POLLIN, flooding ? 0 : 20)) {
                char buf[2048];
                socklen_t len = sizeof from;
                ssize_t n =
                    ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
                if (n < 0) continue;
                ++requests_;
                have_sender = true;
                std::string answer = "re:" + std::string(buf, static_cast<size_t>(n));
                ::sendto(fd_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from),
                         sizeof from);
            } else if (flooding) {
                std::string d = "flood " + std::to_string(flooded_.load());
                ::sendto(fd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&from),
                         sizeof from);
                ++flooded_;
                std::this_thread::yield();
            }
        }
    }

    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::atomic<int> flooded_{0};
};
