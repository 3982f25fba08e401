// Soak: the real library and link layer against nv52-sim as a process on free loopback ports.
// Many transactions on one link, many connect/identify/disconnect cycles, and links the
// instrument closes in the middle of a command. Afterwards the process holds as many
// descriptors and threads as before and its resident memory has not grown. Every loop has a
// fixed count and every wait its own time limit; the figures are printed for the record.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "e2e.h"
#include "qxx_comm.h"

namespace {

constexpr int WAIT_MS = 10000;        // generous: only a hang makes a wait this long
constexpr long RSS_MARGIN_KB = 2048;  // allocator noise; a per-cycle leak of 2 KB exceeds it

// Open descriptors, threads and resident kilobytes of this process.
struct Usage {
    long fds = 0, threads = 0, rss = 0;
    Usage() {
        std::string status = e2e::read_file("/proc/self/status");
        rss = atol(status.c_str() + status.find("VmRSS:") + 6);
        threads = atol(status.c_str() + status.find("Threads:") + 8);
        fds = std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    }
};

// The instrument's identification, as the console does it: ask the serial number, accept a
// reply that starts with 'C'.
int probe(int handle, int) {
    return QXX_send_cmd(handle, 8007, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, 100, 0);
}
int test_probe(int handle, const unsigned char* frame, int* type_id, int) {
    *type_id = 12;
    QXX_set_cmd_num_try(handle, 3);
    return qxx_frame_code(frame) == 9007 && qxx_frame_length(frame) > 1 &&
           frame[QXX_OFF_PAYLOAD] == 'C';
}

// The requests a console session uses most, with their reply sizes.
constexpr int REQUESTS[][2] = {{8203, 346}, {8007, 8}, {8002, 24}, {8201, 1400}, {8001, 415}};

int transact(int h, int i) {
    unsigned char reply[2048];
    int len = -1, param = -1, status = -1;
    int r = QXX_send_cmd(h, REQUESTS[i % 5][0], nullptr, 0, reply, sizeof reply, &len, &param,
                         &status, 1000, 1);
    return r != 0 ? r : (len == REQUESTS[i % 5][1] && status == 0 ? 0 : -1);
}

int connect(const char* conn) {
    int h = -1;
    if (QXX_connect(conn, &h, nullptr, nullptr, nullptr, probe, test_probe, 0) != 0) return -1;
    if (QXX_wait_connected(h, WAIT_MS) == 0 && QXX_get_conn_state_id(h) == 2) return h;
    QXX_disconnect(h);
    return -1;
}

// On the link the test opened: every transaction succeeds.
int on_one_link(const char*, int h, int count) {
    int failed = 0;
    for (int i = 0; i < count; ++i) failed += transact(h, i) != 0;
    return failed;
}
// Connect, identify, one transaction, disconnect.
int cycles(const char* conn, int, int count) {
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        int h = connect(conn);
        failed += h <= 0 || transact(h, 0) != 0 || QXX_disconnect(h) != 0;
    }
    return failed;
}
// The instrument closes the link at its fourth frame, the third command after identification:
// that command's wait ends with the link gone, never in a crash or a hang.
int closed_mid_command(const char* conn, int, int count) {
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        int h = connect(conn);
        failed += h <= 0 || transact(h, 0) != 0 || transact(h, 0) != 0 || transact(h, 0) == 0;
        QXX_set_cmd_num_try(h, 1);  // a handle whose link is gone changes nothing
        QXX_disconnect(h);          // already closed by the peer: refused or done
    }
    return failed;
}

TEST(Soak, NothingGrowsOverLongRuns) {
    const struct {
        const char* what;
        std::vector<std::string> sim_options;
        int (*run)(const char* conn, int handle, int count);
        int warm_up, count;
    } cases[] = {
        {"transactions on one link", {}, on_one_link, 100, 10000},
        {"connect cycles", {}, cycles, 20, 1000},
        {"links closed during a command", {"--close-after", "4"}, closed_mid_command, 0, 200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(QXX_init(nullptr, nullptr, nullptr), 0);
        e2e::Sim sim;
        char conn[COMM_CONN_STRING_SIZE] = "";
        ASSERT_TRUE(sim.start(c.sim_options));
        ASSERT_EQ(QXX_make_net_conn_string(conn, "127.0.0.1", sim.port()), 0);
        const int h = c.run == on_one_link ? connect(conn) : 0;
        ASSERT_EQ(c.run(conn, h, c.warm_up), 0);
        const Usage before;
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(c.run(conn, h, c.count), 0);
        const auto took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0);
        const Usage after;
        std::printf(
            "soak %s: %d, fds %ld -> %ld, threads %ld -> %ld, VmRSS %ld -> %ld kB, %.2f s\n",
            c.what, c.count, before.fds, after.fds, before.threads, after.threads, before.rss,
            after.rss, took.count());
        EXPECT_EQ(after.fds, before.fds);
        EXPECT_EQ(after.threads, before.threads);
#ifndef NV_SANITIZED
        // The sanitizers keep freed memory in quarantine, so the resident size means nothing
        // there; the leak checker of the address build watches instead.
        EXPECT_LE(after.rss - before.rss, RSS_MARGIN_KB);
#endif
        QXX_shut();
    }
}

}  // namespace
