// Peers for the real transports: a TCP listener on 127.0.0.1 and a pseudo-terminal whose master
// side plays the device. Every blocking call is bounded so that a hang fails the test.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

inline bool wait_fd(int fd, short events, int ms = 30000) {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, ms) > 0;
}

inline bool write_all(int fd, const std::string& s) {
    for (size_t done = 0; done < s.size();) {
        if (!wait_fd(fd, POLLOUT)) return false;
        ssize_t w = ::send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
        if (w < 0 && errno == ENOTSOCK) w = ::write(fd, s.data() + done, s.size() - done);
        if (w < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

// Reads until `n` bytes are there (n = 0: until the other side closes), an error or the limit.
inline std::string read_bytes(int fd, size_t n = 0) {
    std::string out;
    char buf[65536];
    while ((n == 0 || out.size() < n) && wait_fd(fd, POLLIN)) {
        ssize_t r = ::read(fd, buf, n ? std::min(sizeof buf, n - out.size()) : sizeof buf);
        if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (r <= 0) break;
        out.append(buf, static_cast<size_t>(r));
    }
    return out;
}

inline sockaddr_in loopback(int port = 0) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// Binds `fd` to an ephemeral port of 127.0.0.1 (`any`: of every address); the port, 0 on failure.
inline int bind_port(int fd, bool any = false) {
    sockaddr_in a = loopback();
    if (any) a.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t len = sizeof a;
    auto p = reinterpret_cast<sockaddr*>(&a);
    return ::bind(fd, p, sizeof a) == 0 && ::getsockname(fd, p, &len) == 0 ? ntohs(a.sin_port) : 0;
}

// A TCP connection to 127.0.0.1:port (-1 on failure).
inline int connect_loopback(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    ::close(fd);
    return -1;
}

// Not `listening`, the port refuses connections (bound: no other test takes it). `rcvbuf` > 0:
// writes to the accepted end stall soon. `silent`: a full accept queue leaves a connect unanswered
// until the connector gives up.
class TcpPeer {
  public:
    explicit TcpPeer(bool listening = true, int rcvbuf = 0, bool silent = false) {
        if (rcvbuf > 0) setsockopt(listen_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        port_ = bind_port(listen_);
        if (listening) ::listen(listen_, silent ? 0 : 8);
        if (silent) filler_ = connect_loopback(port_);  // takes the one place in the queue
    }
    ~TcpPeer() {
        close_client();
        if (filler_ >= 0) ::close(filler_);
        ::close(listen_);
    }
    TcpPeer(const TcpPeer&) = delete;
    TcpPeer& operator=(const TcpPeer&) = delete;
    int port() const { return port_; }
    int accept() {
        if (wait_fd(listen_, POLLIN)) client_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        return client_;
    }
    void close_client() {
        if (client_ >= 0) ::close(client_);
        client_ = -1;
    }

  private:
    int listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int client_ = -1, filler_ = -1;
    int port_ = 0;
};

// The master side of a pseudo-terminal; the library opens the slave by its path.
class PtyPeer {
  public:
    PtyPeer() {
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
    int master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    std::string path_;
};
