// The instrument's commands whose timing against standard input matters: the accumulation
// procedures wait for each Enter before their requests, and the event display lets event lines
// through only while it waits. (What every command prints and sends: data/q8_*.txt.)
#include <stdio.h>

#include "fixture.h"
#include "q8_cmds.h"

namespace {

using Q8Commands = Linked;

// Standard input that hands out one line per read and notes how many requests had been sent
// before each read.
struct Lines {
    std::vector<std::string> left;
    std::vector<size_t> sent_before_read;
};
ssize_t read_line(void* cookie, char* buf, size_t size) {
    auto* in = static_cast<Lines*>(cookie);
    in->sent_before_read.push_back(fake_qxx::st().calls.size());
    if (in->left.empty()) return 0;
    size_t n = std::min(size, in->left.front().size());
    std::memcpy(buf, in->left.front().data(), n);
    in->left.erase(in->left.begin());
    return static_cast<ssize_t>(n);
}

// The accumulation starts after the first Enter and stops after the second, and the command
// reads no further.
TEST_F(Q8Commands, ProceduresWaitForEachEnter) {
    for (Handler cmd : std::initializer_list<Handler>{Q8_cmd_assay, Q8_cmd_cs_stab}) {
        fake_qxx::reset();
        Console con;
        Lines lines{{"\n", "x y\n", "after\n"}, {}};
        FILE* in = fopencookie(&lines, "r", {read_line, nullptr, nullptr, nullptr});
        ASSERT_NE(in, nullptr);
        input_set_stream(in);
        std::string line = "as\n";
        EXPECT_EQ(cmd(line.data(), 0), 0);
        char rest[64];
        input_get(rest, sizeof rest);
        input_set_stream(nullptr);
        fclose(in);
        EXPECT_EQ(lines.sent_before_read, (std::vector<size_t>{0, 1, 2}));
        EXPECT_STREQ(rest, "after\n");
        EXPECT_EQ(fake_qxx::st().calls.size(), 2u);
    }
}

// Standard input whose every read first delivers a keyboard event, as the link's thread would
// while the operator has not yet answered.
ssize_t read_after_event(void* cookie, char* buf, size_t size) {
    auto* left = static_cast<std::string*>(cookie);
    Bytes key(8, 0);
    put_i32le(key.data() + 4, 7);
    Q8_event_keyboard_data(7, nullptr, frame_of(10003, key).data(), 0);
    size_t n = std::min(size, left->size());
    std::memcpy(buf, left->data(), n);
    left->erase(0, n);
    return static_cast<ssize_t>(n);
}

// The key, status, total and light-sensor lines show only while the command waits for Enter.
TEST_F(Q8Commands, DisplayEventsOpensTheEventLinesUntilEnter) {
    Console con;
    std::string answer_line = "anything at all\n";
    FILE* in = fopencookie(&answer_line, "r", {read_after_event, nullptr, nullptr, nullptr});
    ASSERT_NE(in, nullptr);
    input_set_stream(in);
    Q8_event_status_data(7, nullptr, nullptr, 0);
    std::string line = "de\n";
    EXPECT_EQ(Q8_cmd_display_events(line.data(), 0), 0);
    Q8_event_total_data(7, nullptr, nullptr, 0);
    input_set_stream(nullptr);
    fclose(in);
    EXPECT_EQ(con.out(), "Enter to exit[]:Keyboard event: Key=7\n");
}

}  // namespace
