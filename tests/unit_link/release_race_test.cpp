// A link closing while the console thread walks the links: every lookup straddles a close (the
// walk ends, the link closes and its context is released on another thread, then the walker goes
// on). A slip shows as a use after free in the address build and a race in the thread build.
#include <atomic>
#include <thread>

#include "link_support.h"

namespace link_test {
namespace {

using ReleaseRace = LinkTest;

constexpr int CYCLES = 300;
constexpr int SPIN_LIMIT = 2'000'000;  // every hand-over is bounded: a stuck peer fails the test

bool spin_until(const std::atomic<int>& value, int wanted) {
    for (int spin = 0; spin < SPIN_LIMIT; ++spin) {
        if (value.load() == wanted) return true;
        std::this_thread::yield();
    }
    return false;
}

TEST_F(ReleaseRace, ALinkClosingDuringALookupIsNotTouchedAfterItsRelease) {
    using Lookup = void (*)(int handle);
    static constexpr Lookup LOOKUPS[] = {
        [](int h) { QXX_set_cmd_num_try(h, 3); },
        [](int h) { QXX_hook_async_event(h, 10002, handler_b); },
        [](int h) {
            QXX_send_cmd(h, 8203, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, 10, 0);
        },
    };
    std::atomic<int> offered{-1};  // the handle the walker is to look up next
    std::atomic<int> walked{-1};   // a walk over that handle has just ended
    std::atomic<int> timeouts{0};
    thread_local bool straddle = false;  // only the walker's chosen walk waits for the close

    fake_comm::st().walk_end = [&] {
        if (!straddle) return;
        straddle = false;
        const int h = offered.load();
        walked.store(h);
        // Until the link has left the walk; its release may then be done, or held back.
        for (int spin = 0; spin < SPIN_LIMIT && fake_comm::context_of(h) != nullptr; ++spin)
            std::this_thread::yield();
    };
    std::thread walker([&] {
        for (int cycle = 0; cycle < CYCLES; ++cycle) {
            if (!spin_until(offered, cycle + 1)) {
                timeouts++;
                return;
            }
            straddle = true;
            LOOKUPS[cycle % 3](cycle + 1);
        }
    });
    int closed = 0;
    for (int cycle = 0; cycle < CYCLES; ++cycle) {
        int h = -1;
        ASSERT_EQ(QXX_connect("link", &h, nullptr, nullptr, on_disconnected, nullptr, nullptr, 0),
                  0);
        ASSERT_EQ(h, cycle + 1);
        offered.store(h);
        if (!spin_until(walked, h)) timeouts++;
        closed += fake_comm::close(h) == 0;
    }
    walker.join();
    fake_comm::st().walk_end = nullptr;
    EXPECT_EQ(closed, CYCLES);
    EXPECT_EQ(timeouts.load(), 0);
    EXPECT_TRUE(fake_comm::open_handles().empty());
}

}  // namespace
}  // namespace link_test
