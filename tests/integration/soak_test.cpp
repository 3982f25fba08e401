// The real library and link layer against nv52-sim on loopback, in loops of fixed counts.
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

struct Usage {
    long fds = 0, threads = 0, rss = 0;
    Usage() {
        std::string status = e2e::read_file("/proc/self/status");
        rss = atol(status.c_str() + status.find("VmRSS:") + 6);
        threads = atol(status.c_str() + status.find("Threads:") + 8);
        fds = std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    }
};

// The instrument's identification as the console does it: a serial number that starts with 'C'.
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

// How many of `count` rounds failed. With `closes`, the sim ends the link at its fourth frame: the
// third command's wait ends with the link gone (a success here), never in a crash or a hang.
int rounds(const char* conn, int h, int count, int commands, bool closes) {
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        if (h > 0) {
            failed += transact(h, i) != 0;
            continue;
        }
        const int l = connect(conn);
        for (int k = 1; k <= commands; ++k)
            failed += l <= 0 || (transact(l, 0) != 0) != (closes && k == commands);
        QXX_set_cmd_num_try(l, 1);                    // a handle whose link is gone changes nothing
        failed += QXX_disconnect(l) != 0 && !closes;  // closed by the peer: refused or done
    }
    return failed;
}

TEST(Soak, NothingGrowsOverLongRuns) {
    const struct {
        const char* what;
        std::vector<std::string> sim_options;
        bool one_link;
        int commands, warm_up, count;
    } cases[] = {
        {"transactions on one link", {}, true, 1, 100, 10000},
        {"connect cycles", {}, false, 1, 20, 1000},
        {"links closed during a command", {"--close-after", "4"}, false, 3, 0, 200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(QXX_init(nullptr, nullptr, nullptr), 0);
        e2e::Sim sim;
        char conn[COMM_CONN_STRING_SIZE] = "";
        ASSERT_TRUE(sim.start(c.sim_options));
        ASSERT_EQ(QXX_make_net_conn_string(conn, "127.0.0.1", sim.port()), 0);
        const int h = c.one_link ? connect(conn) : 0;
        ASSERT_TRUE(!c.one_link || h > 0);
        const bool closes = !c.sim_options.empty();
        // A closed link's socket lingers until its peer has let go: the library is started
        // anew (comm_shut waits for those) before each count where links were closed.
        auto settled = [&] {
            if (!c.one_link) QXX_shut(), QXX_init(nullptr, nullptr, nullptr);
            return Usage();
        };
        ASSERT_EQ(rounds(conn, h, c.warm_up, c.commands, closes), 0);
        const Usage before = settled();
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(rounds(conn, h, c.count, c.commands, closes), 0);
        const auto took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0);
        const Usage after = settled();
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
