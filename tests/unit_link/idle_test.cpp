// Idle periods on a link: before identification each one probes again, up to seven probes in
// all, and the next gives up; after it, an idle period discards a half-received frame so that
// the next magic starts afresh.
#include "link_support.h"

namespace link_test {
namespace {

using Idle = LinkTest;

TEST_F(Idle, DiscardsAHalfFrameOnAnIdentifiedLink) {
    const Bytes event = frame(10003, text("key-7---")), other = frame(10005, text("t"));
    const Bytes head(event.begin(), event.begin() + 17), rest(event.begin() + 17, event.end());
    for (bool idle_between : {false, true}) {
        SCOPED_TRACE(idle_between ? "idle between" : "no idle");
        fake_comm::reset();
        journal.clear();
        const int h = open(true);
        fake_comm::deliver(h, frame(9007, text("C1")));
        QXX_hook_async_event(h, 10003, handler_b);
        QXX_hook_async_event(h, 10005, handler_b);
        journal.clear();
        fake_comm::deliver(h, head);
        if (idle_between) {
            EXPECT_EQ(fake_comm::raise(h, COMM_EVENT_IDLE), 0);
        }
        fake_comm::deliver(h, rest + other);
        const std::vector<std::string> want = idle_between
                                                  ? std::vector<std::string>{"b 10005"}
                                                  : std::vector<std::string>{"b 10003", "b 10005"};
        EXPECT_EQ(journal, want);
        fake_comm::close(h);
    }
}

// One probe on each of the first six idle events (the seventh of the link, the first going out
// when it opens); the seventh idle event gives up and releases the waiter.
TEST_F(Idle, ProbesSevenTimesThenGivesUp) {
    const int h = open(true);
    std::vector<int> results;
    for (int i = 0; i < 7; ++i) results.push_back(fake_comm::raise(h, COMM_EVENT_IDLE));
    EXPECT_EQ(results, (std::vector<int>{0, 0, 0, 0, 0, 0, -1}));
    EXPECT_EQ(journal, (std::vector<std::string>{"probe 0", "probe 1", "probe 2", "probe 3",
                                                 "probe 4", "probe 5"}));
    EXPECT_EQ(fake_comm::st().signals[h], 1);
    // A probe that cannot be sent stops the step without counting it.
    fake_comm::close(h);
    fake_comm::reset();
    journal.clear();
    const int g = open(true);
    probe_result = 3;
    EXPECT_EQ(fake_comm::raise(g, COMM_EVENT_IDLE), -1);
    probe_result = 0;
    EXPECT_EQ(fake_comm::raise(g, COMM_EVENT_IDLE), 0);
    EXPECT_EQ(journal, (std::vector<std::string>{"probe 0", "probe 0"}));
}

}  // namespace
}  // namespace link_test
