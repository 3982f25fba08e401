// Writes from the console thread and from inside the event procedure at the same time, over
// TCP and over a pseudo-terminal: 48 KB blocks from the console while the event procedure
// answers every DATA event with a short message. Each write reaches the peer whole. (The
// terminal's small buffers make every block take many rounds of the writer, so a write that is
// not exclusive gets cut there.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "comm_links.h"

namespace {

constexpr int BLOCKS = 6;
constexpr size_t BLOCK = 48 * 1024;
constexpr size_t MESSAGE = 8;  // "B000123\n"

TEST(CommWrite, ConsoleAndEventWritesNeverInterleave) {
    CommRunning running;
    for (bool over_pty : {false, true}) {
        const char* what = over_pty ? "pseudo-terminal" : "tcp";
        PeerLink link(over_pty);
        CommEvents& ev = link.ev;
        std::atomic<unsigned> event_writes{0};
        std::atomic<unsigned> event_failures{0};
        ev.hook = [&](int h, int kind, const unsigned char*, int) {
            char msg[MESSAGE + 1];
            snprintf(msg, sizeof msg, "B%06u\n", event_writes.load() % 1000000u);
            if (kind == COMM_EVENT_DATA)
                ++(comm_write(h, msg, MESSAGE, 0, 20000) == 0 ? event_writes : event_failures);
            return 0;
        };
        ASSERT_TRUE(link.open()) << what;
        const int h = link.handle, fd = link.fd;

        std::string received;
        std::thread reader([&] { received = read_bytes(fd); });
        std::atomic<bool> stop_pings{false};
        std::thread pinger([&] {
            for (int i = 0; i < 20000 && !stop_pings && write_all(fd, "p"); ++i)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        });
        std::vector<std::string> blocks;
        bool pings_flow = true;
        for (int i = 0; i < BLOCKS && pings_flow; ++i) {
            pings_flow = ev.wait_count(h, COMM_EVENT_DATA, 3 * (i + 1));
            std::string b(BLOCK, '\0');
            for (size_t j = 0; j < BLOCK; ++j)
                b[j] = static_cast<char>((j * 31 + static_cast<size_t>(i)) & 0xFF);
            b[0] = 'A';
            blocks.push_back(b);
            EXPECT_EQ(comm_write(h, b.data(), static_cast<int>(BLOCK), 0, 20000), 0) << what << i;
        }
        stop_pings = true;
        pinger.join();
        EXPECT_EQ(comm_disconnect(h), 0);  // no event write can follow CLOSED
        link.handle = 0;
        reader.join();
        ASSERT_TRUE(pings_flow) << what;
        EXPECT_EQ(event_failures.load(), 0u) << what;
        EXPECT_GT(event_writes.load(), 0u) << what;

        size_t blocks_seen = 0;
        unsigned messages_seen = 0;
        for (size_t pos = 0; pos < received.size();) {
            if (received[pos] == 'A') {
                ASSERT_LT(blocks_seen, blocks.size()) << what;
                ASSERT_EQ(received.compare(pos, BLOCK, blocks[blocks_seen]), 0)
                    << what << ": block " << blocks_seen << " cut or out of order at " << pos;
                ++blocks_seen;
                pos += BLOCK;
            } else {
                ASSERT_EQ(received.compare(pos, 1, "B"), 0) << what << ": stray byte at " << pos;
                ASSERT_TRUE(pos + MESSAGE <= received.size() && received[pos + MESSAGE - 1] == '\n')
                    << what << ": message cut at " << pos;
                ++messages_seen;
                pos += MESSAGE;
            }
        }
        EXPECT_EQ(blocks_seen, blocks.size()) << what;
        EXPECT_EQ(messages_seen, event_writes.load()) << what;
    }
}

}  // namespace
