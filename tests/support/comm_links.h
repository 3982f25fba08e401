// Links under test with their event recorders and peers.
#pragma once

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "comm_events.h"
#include "error_log.h"
#ifndef _WIN32
#include "comm_peers.h"
#endif

constexpr int NEVER_MS = 600000;  // longer than a test's own limit: a missed wake-up fails
// A link's events in the order they came, and their short names.
using kinds = std::vector<int>;
constexpr int O = COMM_EVENT_OPENED, D = COMM_EVENT_DATA, E = COMM_EVENT_ERROR,
              C = COMM_EVENT_CLOSED;

struct Stopwatch {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    long ms() const {
        return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - start)
                                     .count());
    }
};

// `n` bytes with every value in the first 256 and no period.
inline std::string varied(size_t n, unsigned mul = 13, unsigned shift = 9) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * mul + (i >> shift));
    return s;
}

// One link and its recorder; the destructor disconnects it before the recorder goes.
struct Link {
    CommEvents ev;
    int handle = 0;
    ~Link() {
        if (handle > 0) comm_disconnect(handle);
    }
    bool connect(const std::string& conn, int rx_size = 4096, int idle_ms = 0) {
        return comm_connect(&handle, conn.c_str(), CommEvents::proc, rx_size, idle_ms, &ev) == 0;
    }
    bool opened(const std::string& conn, int rx_size = 4096) {
        return connect(conn, rx_size) && wait(COMM_EVENT_OPENED);
    }
    // Disconnects now, and leaves nothing for the destructor.
    int disconnect() { return comm_disconnect(std::exchange(handle, 0)); }
    bool wait(int kind, int n = 1) { return ev.wait_count(handle, kind, n); }
    std::vector<int> kinds() const { return ev.kinds(handle); }
    std::string data() const { return ev.data(handle); }
};

// Opens `conn`, which must fail with nothing printed before ERROR (an operator's note follows the
// console's own message): what the library printed through log_error.
inline std::string refused_note(const std::string& conn) {
    ErrorLog log;
    Link link;
    std::string at_error = "unset";
    link.ev.hook = [&](int, int kind, const unsigned char*, int) {
        if (kind == COMM_EVENT_ERROR) at_error = log.text();
        return 0;
    };
    if (!link.connect(conn)) return "<refused at once>";
    EXPECT_NE(comm_wait_connected(link.handle, NEVER_MS), 0);
    EXPECT_TRUE(link.wait(COMM_EVENT_CLOSED));
    EXPECT_EQ(link.kinds(), (kinds{E, C}));
    EXPECT_EQ(at_error, "");
    link.handle = 0;
    return log.text();
}

// The instrument's USB listing, at most `max` entries.
inline std::vector<std::string> usb_listing(int max = 16, const char* manufacturer = "",
                                            const char* product = "") {
    comm_dev_entry list[16];
    int count = -1;
    EXPECT_EQ(comm_list_devices_usb(0, list, max, &count, manufacturer, product, 0x1781, 0x1781,
                                    0x0C44, 0x0C4D),
              0);
    return std::vector<std::string>(list, list + std::max(count, 0));
}

// The Bluetooth inquiry's entries (at most 40 taken).
inline std::vector<std::string> bt_inquiry() {
    comm_dev_entry list[40];
    int count = -1;
    EXPECT_EQ(comm_bt_discover(0, 0xFFE050, 0), 0);
    EXPECT_EQ(comm_bt_discover_wait(list, &count), 0);
    return std::vector<std::string>(list, list + std::min(std::max(count, 0), 40));
}

inline std::string tcp_string(int port, int timeout_ms = 5000, const char* host = "127.0.0.1") {
    char conn[COMM_CONN_STRING_SIZE];
    return comm_make_conn_string_net(conn, host, port, timeout_ms) == 0 ? conn : "";
}

#ifndef _WIN32
inline std::string serial_string(const std::string& path, int baud = 115200, int bits = 8,
                                 int stop = 1, int parity = 0, int flow = 0) {
    char conn[COMM_CONN_STRING_SIZE];
    int r = comm_make_conn_string_serial_path(conn, path.c_str(), baud, bits, stop, parity, flow);
    return r == 0 ? conn : "";
}

// A link to a fresh peer over TCP on 127.0.0.1 (`rcvbuf` as TcpPeer's) or a pseudo-terminal;
// `fd` is the peer's end, which end() closes.
struct PeerLink : Link {
    const bool over_pty;
    TcpPeer peer;
    PtyPeer pty;
    int fd = -1;
    explicit PeerLink(bool pty = false, int rcvbuf = 0) : over_pty(pty), peer(true, rcvbuf) {}
    bool open(int rx_size = 4096, int idle_ms = 0) {
        return connect(over_pty ? serial_string(pty.path()) : tcp_string(peer.port()), rx_size,
                       idle_ms) &&
               (fd = over_pty ? pty.master() : peer.accept()) >= 0 && wait(COMM_EVENT_OPENED);
    }
    void end() { over_pty ? pty.close_master() : peer.close_client(); }
};

#endif  // !_WIN32
