// The communication library over a pseudo-terminal, the test holding the master side: every
// byte value both ways untouched, hang-up, devices that cannot be opened. (A COM number reaching
// the terminal is an end-to-end test; 48 KB writes over it are in the write test.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "comm_events.h"
#include "comm_peers.h"

namespace {

std::string path_string(const std::string& path) {
    char out[COMM_CONN_STRING_SIZE];
    EXPECT_EQ(comm_make_conn_string_serial_path(out, path.c_str(), 115200, 8, 1, 0, 0), 0);
    return out;
}

TEST(CommSerial, RawBytesBothWaysUntilHangUp) {
    CommRunning running;
    std::string all_bytes;
    for (int i = 0; i < 256; ++i) all_bytes.push_back(static_cast<char>(i));
    PtyPeer pty;
    CommEvents ev;
    int h = 0;
    ASSERT_EQ(comm_connect(&h, path_string(pty.path()).c_str(), CommEvents::proc, 4096, 0, &ev), 0);
    ASSERT_TRUE(ev.wait_count(h, COMM_EVENT_OPENED));

    // No echo, no line editing, no CR/LF mapping, in two pieces.
    ASSERT_TRUE(write_all(pty.master(), all_bytes.substr(0, 100)));
    ASSERT_TRUE(ev.wait_bytes(h, 100));
    ASSERT_TRUE(write_all(pty.master(), all_bytes.substr(100)));
    ASSERT_TRUE(ev.wait_bytes(h, 256));
    EXPECT_EQ(ev.data(h), all_bytes);
    ASSERT_EQ(comm_write(h, all_bytes.data(), 256, 0, 5000), 0);
    EXPECT_EQ(read_bytes(pty.master(), 256), all_bytes);

    // The device goes away: the link ends, CLOSED once and last.
    pty.close_master();
    ASSERT_TRUE(ev.wait_count(h, COMM_EVENT_CLOSED));
    EXPECT_EQ(ev.count(h, COMM_EVENT_CLOSED), 1);
    EXPECT_EQ(ev.kinds(h).back(), COMM_EVENT_CLOSED);
    EXPECT_EQ(comm_get_state(h), COMM_STATE_NONE);
}

TEST(CommSerial, DevicesThatCannotBeOpenedFailOnTheIoThread) {
    CommRunning running;
    for (const char* path : {"/nonexistent/nv-comm-tty", "/dev/null"}) {
        CommEvents ev;
        int h = 0;
        ASSERT_EQ(comm_connect(&h, path_string(path).c_str(), CommEvents::proc, 4096, 200, &ev), 0);
        EXPECT_NE(comm_wait_connected(h, 600000), 0) << path;
        ASSERT_TRUE(ev.wait_count(h, COMM_EVENT_CLOSED)) << path;
        EXPECT_EQ(ev.kinds(h), (std::vector<int>{COMM_EVENT_ERROR, COMM_EVENT_CLOSED})) << path;
    }
}

}  // namespace
