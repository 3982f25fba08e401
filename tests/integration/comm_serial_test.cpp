// The communication library over a pseudo-terminal, the test holding the master side: raw
// bytes both ways, a 48 KB write, COM numbers through a device directory, hang-up and devices
// that cannot be opened.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "comm_events.h"
#include "comm_internal.h"
#include "comm_peers.h"

namespace {

constexpr int NEVER_MS = 600000;

std::string serial_path_string(const std::string& path) {
    char out[COMM_CONN_STRING_SIZE];
    EXPECT_EQ(comm_make_conn_string_serial_path(out, path.c_str(), 115200, 8, 1, 0, 0), 0);
    return out;
}

// A device directory holding one entry, ttyUSB0, that points at the pseudo-terminal.
class DeviceDir {
  public:
    explicit DeviceDir(const std::string& target) {
        char tmpl[] = "/tmp/nv-comm-dev-XXXXXX";
        dir_ = mkdtemp(tmpl);
        link_ = dir_ + "/ttyUSB0";
        if (!target.empty() && symlink(target.c_str(), link_.c_str()) != 0) link_.clear();
        comm_serial_set_device_dir(dir_.c_str());
    }
    ~DeviceDir() {
        comm_serial_set_device_dir(nullptr);
        unlink((dir_ + "/ttyUSB0").c_str());
        rmdir(dir_.c_str());
    }

  private:
    std::string dir_, link_;
};

struct PtyLink {
    PtyPeer pty;
    CommEvents ev;
    int handle = 0;
    ~PtyLink() {
        if (handle > 0) comm_disconnect(handle);
    }
};

class CommSerial : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(running_.ok()); }
    CommRunning running_;
};

TEST_F(CommSerial, RawBytesBothWaysByPathAndByComNumber) {
    std::string all_bytes;
    for (int i = 0; i < 256; ++i) all_bytes.push_back(static_cast<char>(i));
    std::string big(48 * 1024, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);

    for (bool by_com : {false, true}) {
        PtyLink link;
        ASSERT_FALSE(link.pty.path().empty());
        DeviceDir dev(link.pty.path());
        std::string conn = by_com ? "serial:COM1" : serial_path_string(link.pty.path());
        if (by_com) {
            char made[COMM_CONN_STRING_SIZE];
            ASSERT_EQ(comm_make_conn_string_serial(made, 1, 115200, 8, 1, 0, 0), 0);
            conn = made;
        }
        ASSERT_EQ(comm_connect(&link.handle, conn.c_str(), CommEvents::proc, 4096, 0, &link.ev), 0);
        int h = link.handle;
        ASSERT_TRUE(link.ev.wait_count(h, COMM_EVENT_OPENED)) << conn;

        // Every byte value arrives untouched (no echo, no line editing, no CR/LF mapping), in
        // two writes.
        int m = link.pty.master();
        ASSERT_TRUE(write_all(m, all_bytes.substr(0, 100)));
        ASSERT_TRUE(link.ev.wait_bytes(h, 100));
        ASSERT_TRUE(write_all(m, all_bytes.substr(100)));
        ASSERT_TRUE(link.ev.wait_bytes(h, 256));
        EXPECT_EQ(link.ev.data(h), all_bytes) << conn;

        ASSERT_EQ(comm_write(h, all_bytes.data(), 256, 0, 5000), 0);
        std::string got;
        ASSERT_TRUE(read_exact(m, 256, &got));
        EXPECT_EQ(got, all_bytes) << conn;

        // 48 KB in one call, far more than the terminal buffers: the writer waits for room.
        std::thread reader([&] { read_exact(m, big.size(), &got); });
        EXPECT_EQ(comm_write(h, big.data(), static_cast<int>(big.size()), 0, 20000), 0);
        reader.join();
        EXPECT_EQ(got, big) << conn;

        ASSERT_EQ(comm_disconnect(h), 0);
        EXPECT_EQ(link.ev.kinds(h).back(), COMM_EVENT_CLOSED);
        EXPECT_EQ(link.ev.count(h, COMM_EVENT_ERROR), 0);
    }
}

TEST_F(CommSerial, HangUpOfThePeerEndsTheLink) {
    PtyLink link;
    std::string conn = serial_path_string(link.pty.path());
    ASSERT_EQ(comm_connect(&link.handle, conn.c_str(), CommEvents::proc, 4096, 100, &link.ev), 0);
    int h = link.handle;
    ASSERT_TRUE(link.ev.wait_count(h, COMM_EVENT_OPENED));
    link.pty.close_master();
    ASSERT_TRUE(link.ev.wait_count(h, COMM_EVENT_CLOSED));
    std::vector<int> kinds = link.ev.kinds(h);
    EXPECT_EQ(kinds.back(), COMM_EVENT_CLOSED);
    EXPECT_EQ(link.ev.count(h, COMM_EVENT_CLOSED), 1);
    EXPECT_EQ(comm_get_state(h), COMM_STATE_NONE);
    EXPECT_NE(comm_write(h, "x", 1, 0, 100), 0);
}

TEST_F(CommSerial, DevicesThatCannotBeOpenedFailOnTheIoThread) {
    struct Case {
        const char* what;
        std::string conn;
    };
    DeviceDir empty("");
    const Case cases[] = {
        {"missing path", serial_path_string("/nonexistent/nv-comm-tty")},
        {"not a terminal", serial_path_string("/dev/null")},
        {"COM number with no device", "serial:COM3"},
    };
    for (const Case& c : cases) {
        CommEvents ev;
        int h = 0;
        ASSERT_EQ(comm_connect(&h, c.conn.c_str(), CommEvents::proc, 4096, 200, &ev), 0) << c.what;
        EXPECT_NE(comm_wait_connected(h, NEVER_MS), 0) << c.what;
        ASSERT_TRUE(ev.wait_count(h, COMM_EVENT_CLOSED)) << c.what;
        EXPECT_EQ(ev.kinds(h), (std::vector<int>{COMM_EVENT_ERROR, COMM_EVENT_CLOSED})) << c.what;
    }
}

// comm_shut closes every open link, of every transport, each with its CLOSED event, before it
// returns; links of a later run get new handles.
TEST(CommShut, ClosesEveryOpenLinkAndHandlesAreNeverReused) {
    ASSERT_EQ(comm_init(), 0);
    TcpPeer tcp;
    PtyPeer pty;
    CommEvents ev;
    std::string tcp_conn, pty_conn = serial_path_string(pty.path());
    {
        char out[COMM_CONN_STRING_SIZE];
        ASSERT_EQ(comm_make_conn_string_net(out, "127.0.0.1", tcp.port(), 5000), 0);
        tcp_conn = out;
    }
    int handles[3];
    ASSERT_EQ(comm_connect(&handles[0], tcp_conn.c_str(), CommEvents::proc, 4096, 50, &ev), 0);
    ASSERT_EQ(comm_connect(&handles[1], pty_conn.c_str(), CommEvents::proc, 4096, 50, &ev), 0);
    ASSERT_EQ(comm_connect(&handles[2], tcp_conn.c_str(), CommEvents::proc, 4096, 50, &ev), 0);
    for (int h : handles) ASSERT_TRUE(ev.wait_count(h, COMM_EVENT_OPENED));
    EXPECT_LT(handles[0], handles[1]);
    EXPECT_LT(handles[1], handles[2]);

    ASSERT_EQ(comm_shut(), 0);
    for (int h : handles) {
        EXPECT_EQ(ev.count(h, COMM_EVENT_CLOSED), 1) << h;  // already there: no waiting
        EXPECT_EQ(ev.kinds(h).back(), COMM_EVENT_CLOSED) << h;
        EXPECT_EQ(comm_get_state(h), COMM_STATE_NONE);
    }
    int late = -1;
    EXPECT_EQ(comm_connect(&late, tcp_conn.c_str(), CommEvents::proc, 4096, 0, &ev), -1);

    ASSERT_EQ(comm_init(), 0);
    ASSERT_EQ(comm_connect(&late, tcp_conn.c_str(), CommEvents::proc, 4096, 0, &ev), 0);
    EXPECT_GT(late, handles[2]);
    ASSERT_TRUE(ev.wait_count(late, COMM_EVENT_OPENED));
    ASSERT_EQ(comm_shut(), 0);
    EXPECT_EQ(ev.count(late, COMM_EVENT_CLOSED), 1);
}

}  // namespace
