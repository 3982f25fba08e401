// The communication library over a pseudo-terminal, the test holding the master side: raw
// bytes both ways, a 48 KB write, COM numbers through a device directory, hang-up, devices that
// cannot be opened; and comm_shut closing links of every kind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "comm_events.h"
#include "comm_internal.h"
#include "comm_peers.h"

namespace {

std::string path_string(const std::string& path) {
    char out[COMM_CONN_STRING_SIZE];
    EXPECT_EQ(comm_make_conn_string_serial_path(out, path.c_str(), 115200, 8, 1, 0, 0), 0);
    return out;
}

// A device directory whose only entry, ttyUSB0, points at `target` (none when empty).
class DeviceDir {
  public:
    explicit DeviceDir(const std::string& target) {
        char tmpl[] = "/tmp/nv-comm-dev-XXXXXX";
        dir_ = mkdtemp(tmpl);
        if (!target.empty()) {
            EXPECT_EQ(symlink(target.c_str(), (dir_ + "/ttyUSB0").c_str()), 0);
        }
        comm_serial_set_device_dir(dir_.c_str());
    }
    ~DeviceDir() {
        comm_serial_set_device_dir(nullptr);
        unlink((dir_ + "/ttyUSB0").c_str());
        rmdir(dir_.c_str());
    }

  private:
    std::string dir_;
};

TEST(CommSerial, RawBytesBothWaysByPathAndByComNumberUntilHangUp) {
    CommRunning running;
    std::string all_bytes, big(48 * 1024, '\0');
    for (int i = 0; i < 256; ++i) all_bytes.push_back(static_cast<char>(i));
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);

    for (bool by_com : {false, true}) {
        PtyPeer pty;
        DeviceDir dev(pty.path());
        CommEvents ev;
        std::string conn = path_string(pty.path());
        if (by_com) {
            char made[COMM_CONN_STRING_SIZE];
            ASSERT_EQ(comm_make_conn_string_serial(made, 1, 115200, 8, 1, 0, 0), 0);
            conn = made;
        }
        int h = 0;
        ASSERT_EQ(comm_connect(&h, conn.c_str(), CommEvents::proc, 4096, 0, &ev), 0);
        ASSERT_TRUE(ev.wait_count(h, COMM_EVENT_OPENED)) << conn;

        // Every byte value arrives untouched: no echo, no line editing, no CR/LF mapping.
        int m = pty.master();
        ASSERT_TRUE(write_all(m, all_bytes.substr(0, 100)));
        ASSERT_TRUE(ev.wait_bytes(h, 100));
        ASSERT_TRUE(write_all(m, all_bytes.substr(100)));
        ASSERT_TRUE(ev.wait_bytes(h, 256));
        EXPECT_EQ(ev.data(h), all_bytes) << conn;
        ASSERT_EQ(comm_write(h, all_bytes.data(), 256, 0, 5000), 0);
        EXPECT_EQ(read_bytes(m, 256), all_bytes) << conn;

        // 48 KB in one call, far more than the terminal buffers: the writer waits for room.
        std::string got;
        std::thread reader([&] { got = read_bytes(m, big.size()); });
        EXPECT_EQ(comm_write(h, big.data(), static_cast<int>(big.size()), 0, 20000), 0);
        reader.join();
        EXPECT_EQ(got, big) << conn;

        // The device goes away: the link ends, CLOSED once and last.
        pty.close_master();
        ASSERT_TRUE(ev.wait_count(h, COMM_EVENT_CLOSED)) << conn;
        EXPECT_EQ(ev.count(h, COMM_EVENT_CLOSED), 1);
        EXPECT_EQ(ev.kinds(h).back(), COMM_EVENT_CLOSED);
        EXPECT_EQ(comm_get_state(h), COMM_STATE_NONE);
    }
}

TEST(CommSerial, DevicesThatCannotBeOpenedFailOnTheIoThread) {
    CommRunning running;
    DeviceDir empty("");
    for (const std::string& conn : {path_string("/nonexistent/nv-comm-tty"),
                                    path_string("/dev/null"), std::string("serial:COM3")}) {
        CommEvents ev;
        int h = 0;
        ASSERT_EQ(comm_connect(&h, conn.c_str(), CommEvents::proc, 4096, 200, &ev), 0) << conn;
        EXPECT_NE(comm_wait_connected(h, 600000), 0) << conn;
        ASSERT_TRUE(ev.wait_count(h, COMM_EVENT_CLOSED)) << conn;
        EXPECT_EQ(ev.kinds(h), (std::vector<int>{COMM_EVENT_ERROR, COMM_EVENT_CLOSED})) << conn;
    }
}

// The walk yields every open link with its context; comm_shut closes them all, each with its
// CLOSED event, before it returns; a later run gives new handles.
TEST(CommShut, ClosesEveryOpenLinkAndHandlesAreNeverReused) {
    ASSERT_EQ(comm_init(), 0);
    TcpPeer tcp;
    PtyPeer pty;
    CommEvents ev[3];
    char tcp_conn[COMM_CONN_STRING_SIZE];
    ASSERT_EQ(comm_make_conn_string_net(tcp_conn, "127.0.0.1", tcp.port(), 5000), 0);
    std::string conns[3] = {tcp_conn, path_string(pty.path()), tcp_conn};
    std::vector<std::pair<int, void*>> opened;
    for (int i = 0; i < 3; ++i) {
        int h = 0;
        ASSERT_EQ(comm_connect(&h, conns[i].c_str(), CommEvents::proc, 4096, 50, &ev[i]), 0);
        ASSERT_TRUE(ev[i].wait_count(h, COMM_EVENT_OPENED));
        opened.emplace_back(h, &ev[i]);
    }
    auto walk = [] {
        std::vector<std::pair<int, void*>> seen;
        comm_data_cntr iter;
        comm_data_cntr_init(&iter);
        int h;
        void* ctx;
        while (comm_get_data(&iter, &h, &ctx) == 1) seen.emplace_back(h, ctx);
        return seen;
    };
    EXPECT_EQ(walk(), opened);  // in handle order, which is the order of connecting

    ASSERT_EQ(comm_shut(), 0);
    for (int i = 0; i < 3; ++i) {
        int h = opened[static_cast<size_t>(i)].first;
        EXPECT_EQ(ev[i].count(h, COMM_EVENT_CLOSED), 1) << h;  // already there: no waiting
        EXPECT_EQ(ev[i].kinds(h).back(), COMM_EVENT_CLOSED) << h;
    }
    EXPECT_TRUE(walk().empty());
    int late = -1;
    EXPECT_EQ(comm_connect(&late, tcp_conn, CommEvents::proc, 4096, 0, &ev[0]), -1);

    ASSERT_EQ(comm_init(), 0);
    ASSERT_EQ(comm_connect(&late, tcp_conn, CommEvents::proc, 4096, 0, &ev[0]), 0);
    EXPECT_GT(late, opened.back().first);
    ASSERT_EQ(comm_shut(), 0);
    EXPECT_EQ(ev[0].count(late, COMM_EVENT_CLOSED), 1);
}

}  // namespace
