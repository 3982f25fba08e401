// Set time at a fixed clock: the PC's local time moved by whole hours, the day, month and year
// following the calendar in both directions, as printed and as sent (six little-endian i32).
#include "fixture.h"
#include "q5_cmds.h"
#include "q8_cmds.h"

namespace {

struct Clock {
    int year, month, day, hour, minute, second;
};

Clock& fixed_clock() {
    static Clock c;
    return c;
}
void fixed_now(struct tm* now) {
    const Clock& c = fixed_clock();
    *now = {};
    now->tm_year = c.year - 1900;
    now->tm_mon = c.month - 1;
    now->tm_mday = c.day;
    now->tm_hour = c.hour;
    now->tm_min = c.minute;
    now->tm_sec = c.second;
}

class SetTime : public Linked {
  protected:
    void SetUp() override {
        Linked::SetUp();
        saved = Q5_local_now;
        Q5_local_now = fixed_now;
    }
    void TearDown() override {
        Q5_local_now = saved;
        Linked::TearDown();
    }
    q5_clock_proc saved = nullptr;
};

std::string shown(const Clock& c) {
    char text[64];
    snprintf(text, sizeof text, "%.4d/%.2d/%.2d  %.2d:%.2d:%.2d", c.year, c.month, c.day, c.hour,
             c.minute, c.second);
    return text;
}
Bytes wire(const Clock& c) {
    Bytes b(24);
    const int32_t fields[] = {c.year, c.month, c.day, c.hour, c.minute, c.second};
    for (int i = 0; i < 6; ++i) put_i32le(b.data() + 4 * i, fields[i]);
    return b;
}

struct Shift {
    Clock now;
    int offset;
    Clock sent;
};

// clang-format off
const Shift SHIFTS[] = {
    // Month ends forward, every month of a common year: the last day carries, the one before not.
    {{2026, 1, 31, 22, 30, 15}, 3, {2026, 2, 1, 1, 30, 15}},
    {{2026, 1, 30, 23, 0, 0}, 1, {2026, 1, 31, 0, 0, 0}},
    {{2026, 2, 28, 23, 0, 0}, 1, {2026, 3, 1, 0, 0, 0}},
    {{2026, 3, 31, 23, 0, 0}, 1, {2026, 4, 1, 0, 0, 0}},
    {{2026, 4, 30, 23, 0, 0}, 1, {2026, 5, 1, 0, 0, 0}},
    {{2026, 4, 29, 23, 0, 0}, 1, {2026, 4, 30, 0, 0, 0}},
    {{2026, 5, 31, 23, 0, 0}, 1, {2026, 6, 1, 0, 0, 0}},
    {{2026, 6, 30, 23, 0, 0}, 1, {2026, 7, 1, 0, 0, 0}},
    {{2026, 7, 31, 23, 0, 0}, 1, {2026, 8, 1, 0, 0, 0}},
    {{2026, 8, 31, 23, 0, 0}, 1, {2026, 9, 1, 0, 0, 0}},
    {{2026, 9, 30, 23, 0, 0}, 1, {2026, 10, 1, 0, 0, 0}},
    {{2026, 10, 31, 23, 0, 0}, 1, {2026, 11, 1, 0, 0, 0}},
    {{2026, 11, 30, 23, 0, 0}, 1, {2026, 12, 1, 0, 0, 0}},
    {{2026, 11, 29, 23, 0, 0}, 1, {2026, 11, 30, 0, 0, 0}},
    // Year end.
    {{2026, 12, 31, 23, 59, 59}, 1, {2027, 1, 1, 0, 59, 59}},
    {{2026, 12, 31, 12, 0, 0}, 12, {2027, 1, 1, 0, 0, 0}},
    // 29 February: leap years by 4, not by 100, again by 400.
    {{2024, 2, 28, 23, 0, 0}, 1, {2024, 2, 29, 0, 0, 0}},
    {{2024, 2, 29, 23, 0, 0}, 1, {2024, 3, 1, 0, 0, 0}},
    {{2023, 2, 28, 23, 0, 0}, 1, {2023, 3, 1, 0, 0, 0}},
    {{2000, 2, 28, 23, 0, 0}, 1, {2000, 2, 29, 0, 0, 0}},
    {{1900, 2, 28, 23, 0, 0}, 1, {1900, 3, 1, 0, 0, 0}},
    {{2100, 2, 28, 23, 0, 0}, 1, {2100, 3, 1, 0, 0, 0}},
    {{2400, 2, 28, 23, 0, 0}, 1, {2400, 2, 29, 0, 0, 0}},
    // Backwards across midnight, a month start and a year start.
    {{2026, 6, 15, 1, 0, 0}, -3, {2026, 6, 14, 22, 0, 0}},
    {{2026, 6, 15, 0, 0, 0}, -1, {2026, 6, 14, 23, 0, 0}},
    {{2026, 6, 2, 0, 0, 0}, -1, {2026, 6, 1, 23, 0, 0}},
    {{2026, 2, 1, 0, 0, 0}, -1, {2026, 1, 31, 23, 0, 0}},
    {{2026, 5, 1, 0, 0, 0}, -12, {2026, 4, 30, 12, 0, 0}},
    {{2026, 8, 1, 2, 0, 0}, -3, {2026, 7, 31, 23, 0, 0}},
    {{2026, 3, 1, 2, 0, 0}, -5, {2026, 2, 28, 21, 0, 0}},
    {{2024, 3, 1, 2, 0, 0}, -5, {2024, 2, 29, 21, 0, 0}},
    {{2000, 3, 1, 0, 0, 0}, -1, {2000, 2, 29, 23, 0, 0}},
    {{2100, 3, 1, 0, 0, 0}, -1, {2100, 2, 28, 23, 0, 0}},
    {{2027, 1, 1, 0, 30, 0}, -1, {2026, 12, 31, 23, 30, 0}},
    {{2026, 12, 1, 0, 0, 0}, -1, {2026, 11, 30, 23, 0, 0}},
    // Offsets of 12 either way, and 0, at the edges of the day.
    {{2026, 6, 15, 11, 59, 0}, 12, {2026, 6, 15, 23, 59, 0}},
    {{2026, 6, 15, 12, 0, 0}, 12, {2026, 6, 16, 0, 0, 0}},
    {{2026, 6, 15, 12, 0, 0}, -12, {2026, 6, 15, 0, 0, 0}},
    {{2026, 6, 15, 11, 0, 0}, -12, {2026, 6, 14, 23, 0, 0}},
    {{2026, 6, 15, 23, 59, 59}, 0, {2026, 6, 15, 23, 59, 59}},
    {{2026, 6, 15, 0, 0, 0}, 0, {2026, 6, 15, 0, 0, 0}},
};
// clang-format on

TEST_F(SetTime, ShiftsByWholeHoursAlongTheCalendar) {
    for (const Shift& s : SHIFTS) {
        SCOPED_TRACE(shown(s.now) + " " + std::to_string(s.offset));
        fake_qxx::reset();
        fixed_clock() = s.now;
        EXPECT_EQ(run(Q8_cmd_set_time, "st " + std::to_string(s.offset) + "\n"),
                  std::pair(0, "Setting device time: " + shown(s.sent) + " ...Ok.\n"));
        ASSERT_EQ(fake_qxx::st().calls.size(), 1u);
        const auto& c = fake_qxx::st().calls[0];
        EXPECT_EQ(std::tuple(c.handle, c.code, c.request, c.wait),
                  std::tuple(7, 8003, wire(s.sent), 1));
    }
}

// The offset is asked for when the line has none in -12..12; a refused request is reported.
TEST_F(SetTime, OffsetPromptAndFailure) {
    fixed_clock() = {2026, 1, 31, 22, 30, 15};
    const struct {
        std::string line, input;
        fake_qxx::Reply reply;
        std::pair<int, std::string> result;
    } cases[] = {
        // clang-format off
        {"st 13\n", "-13\n13\n12\n", answer(0),
         {0, "Enter offset[0]:Enter offset[0]:Enter offset[0]:Setting device time: 2026/02/01  "
             "10:30:15 ...Ok.\n"}},
        {"st -13\n", "\n", answer(0),
         {0, "Enter offset[0]:Setting device time: 2026/01/31  22:30:15 ...Ok.\n"}},
        {"st\n", "-12\n", answer(0),
         {0, "Enter offset[0]:Setting device time: 2026/01/31  10:30:15 ...Ok.\n"}},
        {"st\n", "", answer(255),
         {-1, "Enter offset[0]:Setting device time: 2026/01/31  22:30:15 ..."
              "Command Q5_cmd_set_time error(code=255)!\n"}},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line + c.input);
        fake_qxx::reset();
        fake_qxx::st().replies[8003].push_back(c.reply);
        EXPECT_EQ(run(Q8_cmd_set_time, c.line, c.input), c.result);
        EXPECT_EQ(fake_qxx::codes(), std::vector<int>{8003});
    }
    connected = 0;
    fake_qxx::reset();
    EXPECT_EQ(run(Q8_cmd_set_time, "st 1\n"),
              std::pair(-1, std::string("\nDevice not connected!\n")));
    EXPECT_TRUE(fake_qxx::st().calls.empty());
}

}  // namespace
