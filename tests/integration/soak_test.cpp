// Soak: the real library and link layer against nv52-sim as a process on free loopback ports.
// Many transactions on one link, many connect/identify/disconnect cycles, and links the
// instrument closes in the middle of a command. Afterwards the process holds as many
// descriptors and threads as before and its resident memory has not grown. Every loop has a
// fixed count and every wait its own time limit; the figures are printed for the record.
#include <gtest/gtest.h>

#include <unistd.h>

#include <dirent.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "e2e.h"
#include "qxx_comm.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define NV_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define NV_SANITIZED 1
#endif
#endif

namespace {

constexpr int TRANSACTIONS = 10000;
constexpr int CYCLES = 1000;
constexpr int BROKEN_CYCLES = 200;
constexpr int WAIT_MS = 10000;        // generous: only a hang makes a wait this long
constexpr long RSS_MARGIN_KB = 2048;  // allocator noise; a per-cycle leak of 2 KB exceeds it

int entries(const char* dir) {
    int n = 0;
    if (DIR* d = opendir(dir)) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

long rss_kb() {
    long kb = -1;
    if (FILE* f = fopen("/proc/self/status", "r")) {
        char line[256];
        while (fgets(line, sizeof line, f))
            if (strncmp(line, "VmRSS:", 6) == 0) kb = atol(line + 6);
        fclose(f);
    }
    return kb;
}

// What the open descriptors are ("3:socket:[123] 4:/dev/null ..."), to name a leaked one.
std::string fd_targets() {
    std::string out;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            char target[256] = "";
            std::string path = std::string("/proc/self/fd/") + e->d_name;
            ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
            if (n > 0) target[n] = '\0';
            out += std::string(e->d_name) + ":" + target + " ";
        }
        closedir(d);
    }
    return out;
}

struct Usage {
    int fds, threads;
    long rss;
    std::string fd_list;
};
Usage usage() {
    return {entries("/proc/self/fd"), entries("/proc/self/task"), rss_kb(), fd_targets()};
}

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

class Soak : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(QXX_init(nullptr, nullptr, nullptr), 0); }
    void TearDown() override {
        QXX_shut();
        sim.stop();
    }
    bool start(std::vector<std::string> options = {}) {
        if (!sim.start(options)) return false;
        return QXX_make_net_conn_string(conn, "127.0.0.1", sim.port()) == 0;
    }
    // Connects and waits for the identification; the handle, or -1.
    int connect() {
        int h = -1;
        if (QXX_connect(conn, &h, nullptr, nullptr, nullptr, probe, test_probe, 0) != 0) return -1;
        if (QXX_wait_connected(h, WAIT_MS) != 0 || QXX_get_conn_state_id(h) != 2) {
            QXX_disconnect(h);
            return -1;
        }
        return h;
    }
    void report(const char* what, int count, const Usage& before, const Usage& after,
                std::chrono::steady_clock::duration took) {
        std::printf("soak %s: %d, fds %d -> %d, threads %d -> %d, VmRSS %ld -> %ld kB, %.2f s\n",
                    what, count, before.fds, after.fds, before.threads, after.threads, before.rss,
                    after.rss, std::chrono::duration<double>(took).count());
        EXPECT_EQ(after.fds, before.fds) << what << "\nbefore: " << before.fd_list
                                         << "\nafter:  " << after.fd_list;
        EXPECT_EQ(after.threads, before.threads) << what;
#ifndef NV_SANITIZED
        // The sanitizers keep freed memory in quarantine, so the resident size means nothing
        // there; the leak checker of the address build watches instead.
        EXPECT_LE(after.rss - before.rss, RSS_MARGIN_KB) << what;
#endif
    }
    e2e::Sim sim;
    char conn[COMM_CONN_STRING_SIZE] = "";
};

// The requests a console session uses most, with their reply sizes.
struct Request {
    int code, reply_size;
};
constexpr Request REQUESTS[] = {{8203, 346}, {8007, 8}, {8002, 24}, {8201, 1400}, {8001, 415}};

int transact(int h, const Request& rq) {
    unsigned char reply[2048];
    int len = -1, param = -1, status = -1;
    int r =
        QXX_send_cmd(h, rq.code, nullptr, 0, reply, sizeof reply, &len, &param, &status, 1000, 1);
    return r != 0 ? r : (len == rq.reply_size && status == 0 ? 0 : -1);
}

TEST_F(Soak, TransactionsOnOneLink) {
    ASSERT_TRUE(start());
    int h = connect();
    ASSERT_GT(h, 0);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(transact(h, REQUESTS[i % 5]), 0);  // warm-up
    const Usage before = usage();
    const auto t0 = std::chrono::steady_clock::now();
    int failed = 0, first_failure = -1;
    for (int i = 0; i < TRANSACTIONS; ++i) {
        if (transact(h, REQUESTS[i % 5]) != 0 && failed++ == 0) first_failure = i;
    }
    const auto took = std::chrono::steady_clock::now() - t0;
    const Usage after = usage();
    EXPECT_EQ(failed, 0) << "first at " << first_failure;
    report("transactions", TRANSACTIONS, before, after, took);
    EXPECT_EQ(QXX_disconnect(h), 0);
}

TEST_F(Soak, ConnectIdentifyDisconnectCycles) {
    ASSERT_TRUE(start());
    for (int i = 0; i < 20; ++i) {  // warm-up
        int h = connect();
        ASSERT_GT(h, 0);
        ASSERT_EQ(QXX_disconnect(h), 0);
    }
    const Usage before = usage();
    const auto t0 = std::chrono::steady_clock::now();
    int failed = 0;
    for (int i = 0; i < CYCLES; ++i) {
        int h = connect();
        if (h <= 0 || transact(h, REQUESTS[0]) != 0 || QXX_disconnect(h) != 0) ++failed;
    }
    const auto took = std::chrono::steady_clock::now() - t0;
    const Usage after = usage();
    EXPECT_EQ(failed, 0);
    report("connect cycles", CYCLES, before, after, took);
}

// The instrument closes the link at its fourth frame, that is at the third command after the
// identification: that command's wait ends with the link gone (no reply, or a refused write),
// never in a crash or a hang, and the released link leaves nothing behind.
TEST_F(Soak, LinksClosedDuringACommand) {
    ASSERT_TRUE(start({"--close-after", "4"}));
    const Usage before = usage();
    const auto t0 = std::chrono::steady_clock::now();
    int failed = 0, unexpected = 0;
    for (int i = 0; i < BROKEN_CYCLES; ++i) {
        int h = connect();
        if (h <= 0) {
            ++failed;
            continue;
        }
        // Only an unlucky probe repeat can shift the count; the third command must fail.
        int results[3];
        for (int& r : results) r = transact(h, REQUESTS[0]);
        if (results[0] != 0 || results[1] != 0 || results[2] == 0) ++unexpected;
        QXX_set_cmd_num_try(h, 1);  // a handle whose link is gone changes nothing
        QXX_disconnect(h);          // already closed by the peer: refused or done
    }
    const auto took = std::chrono::steady_clock::now() - t0;
    const Usage after = usage();
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(unexpected, 0);
    report("links closed during a command", BROKEN_CYCLES, before, after, took);
}

}  // namespace
