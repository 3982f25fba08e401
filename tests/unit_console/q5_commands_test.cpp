// The Q5 board's console commands (serial, version, time, restart, its menu) and the request
// wrappers the other tables leave out: what each sends, what it prints, and what a reader leaves
// in the caller's buffer.
#include "q5_comm.h"
#include "q5_support.h"

namespace {

using namespace q5test;
using Q5Commands = Linked;
using Handler = std::function<int(char*, int)>;
using Replies = std::vector<std::pair<int, fake_qxx::Reply>>;

Handler set_serial(int prefix) {
    return [prefix](char* l, int) { return Q5_cmd_set_serial(l, prefix); };
}
Bytes record(std::initializer_list<int32_t> fields) {
    Bytes b;
    for (int32_t f : fields) {
        unsigned char le[4];
        put_i32le(le, f);
        b.insert(b.end(), le, le + 4);
    }
    return b;
}
fake_qxx::Reply serial(const char* s) {
    return answer(0, text(s));
}

struct Case {
    const char* name;
    Handler cmd;
    std::string line, input;
    Replies replies;
    int result;
    std::string out;
    std::vector<int> sent;
    Bytes last;  // the last request's bytes
};

// clang-format off
const Case CASES[] = {
    {"version", Q5_cmd_get_fw_version, "ve\n", "", {{8001, answer(0, text("V1.02.03"))}}, 0, "FW Version=V1.02.03\n", {8001}, {}},
    {"short version", Q5_cmd_get_fw_version, "ve\n", "", {{8001, answer(0, text("1.5"))}}, 0, "FW Version=1.5\n", {8001}, {}},
    {"version refused", Q5_cmd_get_fw_version, "ve\n", "", {{8001, result(255)}}, -1, "Command Q5_cmd_get_fw_version error(code=255)!\n", {8001}, {}},
    {"serial refused", Q5_cmd_get_serial, "gs\n", "", {{8007, result(2)}}, -1, "Command Q5_cmd_get_serial error(code=2)!\n", {8007}, {}},
    {"serial", Q5_cmd_get_serial, "gs\n", "", {{8007, serial("B0001234")}}, 0, "Serial = B0001234\n", {8007}, {}},
    {"time", Q5_cmd_get_time, "gt\n", "", {{8002, answer(0, record({987, 3, 4, 5, 6, 7}))}}, 0, "Device time: 0987/03/04  05:06:07\n", {8002}, {}},
    {"time refused", Q5_cmd_get_time, "gt\n", "", {{8002, result(9)}}, -1, "Command Q5_cmd_get_time error(code=9)!\n", {8002}, {}},
    {"restart refused", Q5_cmd_restart, "re\n", "", {{8021, result(4)}}, -1, "Restarting device.\nCommand Q5_cmd_restart error(code=4)!\n", {8021}, {}},
    // Set serial: the full form's default is eight zeros, whatever the device holds.
    {"full, default", set_serial(0), "ss\n", "\n", {{8007, serial("B0001234")}}, 0, "Enter serial[00000000]:Setting serial to:00000000\n", {8007, 8104}, text("00000000")},
    {"full, on the line", set_serial(0), "ss Q5ABCDEF\n", "", {{8007, serial("B0001234")}}, 0, "Setting serial to:Q5ABCDEF\n", {8007, 8104}, text("Q5ABCDEF")},
    {"full, 7 and 9 refused", set_serial(0), "ss 1234567\n", "ABCDEFGHI\n1234567\nQ5000042\n", {{8007, serial("B0001234")}}, 0, times("Enter serial[00000000]:", 3) + "Setting serial to:Q5000042\n", {8007, 8104}, text("Q5000042")},
    {"short, last four kept", set_serial('B'), "ss\n", "\n", {{8007, serial("AB12WXYZ")}}, 0, "Enter serial[WXYZ]:Setting serial to:B000WXYZ\n", {8007, 8104}, text("B000WXYZ")},
    {"short, device serial short", set_serial('B'), "ss\n", "\n", {{8007, serial("AB12WXY")}}, 0, "Enter serial[0000]:Setting serial to:B0000000\n", {8007, 8104}, text("B0000000")},
    {"short, on the line", set_serial('Q'), "ss 9876\n", "", {{8007, serial("B0001234")}}, 0, "Setting serial to:Q0009876\n", {8007, 8104}, text("Q0009876")},
    {"short, 5 refused", set_serial('B'), "ss 12345\n", "123\n4321\n", {{8007, serial("B0001234")}}, 0, "Enter serial[1234]:Enter serial[1234]:Setting serial to:B0004321\n", {8007, 8104}, text("B0004321")},
    {"serial unread", set_serial('B'), "ss 5678\n", "", {{8007, result(2)}}, -1, "Command Q5_cmd_set_serial error(code=2)!\n", {8007}, {}},
    {"serial refused", set_serial('B'), "ss 5678\n", "", {{8007, serial("B0001234")}, {8104, result(3)}}, -1, "Setting serial to:B0005678\nCommand Q5_cmd_set_serial error(code=3)!\n", {8007, 8104}, text("B0005678")},
};
// clang-format on

TEST_F(Q5Commands, SendAndPrint) {
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.name);
        fake_qxx::reset();
        for (const auto& [code, reply] : c.replies) fake_qxx::st().replies[code].push_back(reply);
        EXPECT_EQ(run(c.cmd, c.line, c.input), std::pair(c.result, c.out));
        EXPECT_EQ(fake_qxx::codes(), c.sent);
        for (const auto& call : fake_qxx::st().calls) EXPECT_EQ(call.wait, call.code != 8021);
        if (!c.last.empty()) {
            EXPECT_EQ(fake_qxx::st().calls.back().request, c.last);
        }
        EXPECT_EQ(fake_qxx::st().disconnects, 0);
    }
    EXPECT_STREQ(serial_no, "B0001234");  // the last serial read, after a failed one
}

// The PC clock at a fixed local time moved by the offset: day, month and year follow.
TEST_F(Q5Commands, SetTimeMovesTheClockByWholeHours) {
    struct {
        int clock[6];
        std::string line, input;
        int sent[6];
    } cases[] = {
        {{2026, 12, 6, 1, 58, 3}, "st\n", "\n", {2026, 12, 6, 1, 58, 3}},
        {{2026, 12, 6, 1, 58, 3}, "st 2\n", "", {2026, 12, 6, 3, 58, 3}},
        {{2026, 1, 31, 22, 30, 0}, "st 3\n", "", {2026, 2, 1, 1, 30, 0}},
        {{2026, 4, 30, 12, 0, 0}, "st 12\n", "", {2026, 5, 1, 0, 0, 0}},
        {{2026, 12, 31, 23, 0, 0}, "st 12\n", "", {2027, 1, 1, 11, 0, 0}},
        {{2026, 12, 6, 12, 0, 0}, "st -12\n", "", {2026, 12, 6, 0, 0, 0}},
        {{2026, 12, 6, 1, 0, 0}, "st -3\n", "", {2026, 12, 5, 22, 0, 0}},
        {{2026, 5, 1, 11, 0, 0}, "st -12\n", "", {2026, 4, 30, 23, 0, 0}},
        {{2027, 1, 1, 0, 30, 0}, "st -1\n", "", {2026, 12, 31, 23, 30, 0}},
        {{2026, 3, 1, 5, 0, 0}, "st -12\n", "", {2026, 2, 28, 17, 0, 0}},
        {{2024, 3, 1, 5, 0, 0}, "st -12\n", "", {2024, 2, 29, 17, 0, 0}},
        {{2024, 2, 28, 20, 0, 0}, "st 4\n", "", {2024, 2, 29, 0, 0, 0}},
        {{2023, 2, 28, 20, 0, 0}, "st 4\n", "", {2023, 3, 1, 0, 0, 0}},
        {{2000, 2, 28, 23, 0, 0}, "st 1\n", "", {2000, 2, 29, 0, 0, 0}},
        {{2100, 2, 28, 23, 0, 0}, "st 1\n", "", {2100, 3, 1, 0, 0, 0}},
        {{2026, 12, 6, 1, 58, 3}, "st 13\n", "-13\n12\n", {2026, 12, 6, 13, 58, 3}},
    };
    for (const auto& c : cases) {
        const int* t = c.clock;
        const int* s = c.sent;
        SCOPED_TRACE(c.line + std::to_string(t[0]) + "-" + std::to_string(t[1]) + "-" +
                     std::to_string(t[2]) + " " + std::to_string(t[3]));
        FixedClock clock(t[0], t[1], t[2], t[3], t[4], t[5]);
        fake_qxx::reset();
        char shown[64];
        snprintf(shown, sizeof shown, "%.4d/%.2d/%.2d  %.2d:%.2d:%.2d", s[0], s[1], s[2], s[3],
                 s[4], s[5]);
        const int prompts = c.input.empty() ? 0 : c.line == "st\n" ? 1 : 2;
        EXPECT_EQ(run(Q5_cmd_set_time, c.line, c.input),
                  std::pair(0, times("Enter offset[0]:", prompts) +
                                   "Setting device time: " + shown + " ...Ok.\n"));
        ASSERT_EQ(fake_qxx::st().calls.size(), 1u);
        const auto& call = fake_qxx::st().calls[0];
        EXPECT_EQ(std::tuple(call.code, call.request, call.timeout, call.wait),
                  std::tuple(8003, record({s[0], s[1], s[2], s[3], s[4], s[5]}), 1000, 1));
    }
    FixedClock clock(2026, 12, 6, 1, 58, 3);
    fake_qxx::reset();
    fake_qxx::st().replies[8003].push_back(result(6));
    EXPECT_EQ(run(Q5_cmd_set_time, "st 1\n"),
              std::pair(-1, std::string("Setting device time: 2026/12/06  02:58:03 ...Command "
                                        "Q5_cmd_set_time error(code=6)!\n")));
}

// Across the end of every month, forward and back, in a common year and in a leap year.
TEST_F(Q5Commands, SetTimeAcrossEveryMonthEnd) {
    const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    for (int year : {2026, 2024}) {
        for (int month = 1; month <= 12; ++month) {
            const int last = days[month - 1] + (year == 2024 && month == 2);
            const int next_month = month % 12 + 1, next_year = year + month / 12;
            SCOPED_TRACE(std::to_string(year) + "-" + std::to_string(month));
            FixedClock forward(year, month, last, 23, 10, 20);
            fake_qxx::reset();
            EXPECT_EQ(run(Q5_cmd_set_time, "st 1\n").first, 0);
            EXPECT_EQ(fake_qxx::st().calls.at(0).request,
                      record({next_year, next_month, 1, 0, 10, 20}));
            FixedClock back(next_year, next_month, 1, 0, 10, 20);
            fake_qxx::reset();
            EXPECT_EQ(run(Q5_cmd_set_time, "st -1\n").first, 0);
            EXPECT_EQ(fake_qxx::st().calls.at(0).request, record({year, month, last, 23, 10, 20}));
        }
    }
}

// Without a device every command says so, asks nothing and sends nothing.
TEST_F(Q5Commands, WithoutADeviceNothingIsAskedOrSent) {
    connected = 0;
    write_file("fw.xfw", container({}));
    for (Handler cmd : std::initializer_list<Handler>{
             Q5_cmd_get_fw_version, Q5_cmd_get_serial, set_serial(0), set_serial('B'),
             Q5_cmd_get_time, Q5_cmd_set_time, Q5_cmd_restart,
             [](char*l, int) { return Q5_cmd_upload_xfw(l, "fw.xfw", 12, -1); },
             [](char*l, int) { return Q5_cmd_flash_fw(l, "fw.xfw"); }}) {
        EXPECT_EQ(run(cmd, "xx\n", "\n"), std::pair(-1, std::string("\nDevice not connected!\n")));
    }
    EXPECT_TRUE(fake_qxx::st().calls.empty());
    EXPECT_EQ(fake_qxx::st().disconnects, 0);
}

TEST_F(Q5Commands, MenuRows) {
    menu m;
    menu_init(&m);
    EXPECT_EQ(Q5_cmd_create_menu(&m), 0);
    EXPECT_EQ(Q5_cmd_hook_events(), 0);
    const menu_handler handlers[] = {Q5_cmd_get_fw_version, Q5_cmd_get_serial, Q5_cmd_set_serial,
                                     Q5_cmd_get_time,       Q5_cmd_set_time,   Q5_cmd_restart};
    ASSERT_EQ(m.count, 6);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(m.entries[i].handler, handlers[i]) << i;
    Console con;
    menu_print(&m);
    EXPECT_EQ(con.out(),
              "[ he] help\n"
              "[ ve] version    - displays device firmware version\n"
              "[ gs] get serial - displays device serial number\n"
              "[ ss] set serial - sets device serial number\n"
              "[ gt] get time   - displays device date/time\n"
              "[ st] set time   - sets device date/time\n"
              "[ re] restart    - restarts device\n");
}

// ---- the request wrappers ----------------------------------------------------------------------

TEST(Q5Requests, TimeEraseAndFlashRequests) {
    const q5_time t{2026, 12, 6, 1, 58, 3};
    unsigned char reply[24];
    q5_time read{};
    int param = -5;
    struct {
        std::function<int(int wait)> call;
        int code;
        Bytes request;
        int reply_size, timeout;
    } cases[] = {
        {[&](int w) { return Q5_get_time(7, &read, w); }, 8002, {}, 24, 1000},
        {[&](int w) { return Q5_get_time(7, nullptr, w); }, 8002, {}, 0, 1000},
        {[&](int w) { return Q5_get_fw_version(7, nullptr, w); }, 8001, {}, 0, 1000},
        {[&](int w) { return Q5_get_model_rev(7, nullptr, w); }, 8008, {}, 0, 1000},
        {[&](int w) { return Q5_read_ext_flash(7, 2, nullptr, w); }, 8101, {2, 0}, 0, 1000},
        {[&](int w) { return Q5_set_time(7, &t, w); }, 8003, record({2026, 12, 6, 1, 58, 3}), 0,
         1000},
        {[&](int w) { return Q5_erase_ext_flash(7, &param, w); }, 8100, {}, 0, 60000},
        {[&](int w) { return Q5_flash_FW(7, 1, 0x1234, w); },
         8103,
         {1, 0, 0, 0, 0x34, 0x12, 0, 0},
         0,
         30000},
        {[&](int w) { return Q5_flash_FW(7, 0, 0xA1B2C3D4, w); },
         8103,
         {0, 0, 0, 0, 0xD4, 0xC3, 0xB2, 0xA1},
         0,
         30000},
        {[&](int w) { return Q5_write_ext_flash(7, 0x0100, nullptr, 0, w); },
         8102,
         {0, 1},
         0,
         1000},
        {[&](int w) { return Q5_read_ext_flash(7, 0xFFFF, reply, w); },
         8101,
         {0xFF, 0xFF},
         64,
         1000},
    };
    for (const auto& c : cases) {
        for (int wait : {1, 0}) {
            SCOPED_TRACE(std::to_string(c.code) + " wait " + std::to_string(wait));
            fake_qxx::reset();
            fake_qxx::st().replies[c.code].push_back(result(42));
            EXPECT_EQ(c.call(wait), 42);
            ASSERT_EQ(fake_qxx::st().calls.size(), 1u);
            const auto& call = fake_qxx::st().calls[0];
            EXPECT_EQ(std::tuple(call.handle, call.code, call.request, call.reply_size,
                                 call.timeout, call.wait),
                      std::tuple(7, c.code, c.request, c.reply_size, c.timeout, wait));
        }
    }
    // The erase hands its param pointer to the transaction, which fills it.
    fake_qxx::reset();
    EXPECT_EQ(Q5_erase_ext_flash(7, &param, 1), 0);
    EXPECT_EQ(param, 0);
    // Data of one byte or more needs a buffer: refused unsent.
    EXPECT_EQ(Q5_write_ext_flash(7, 1, nullptr, 1, 1), -1);
    EXPECT_TRUE(fake_qxx::st().calls.size() == 1u);
}

// What the readers leave in the caller's buffer after a short reply or a failure.
TEST(Q5Requests, ReadersClearOrKeepTheirBuffers) {
    fake_qxx::reset();
    auto& replies = fake_qxx::st().replies;
    char buffer[12];
    auto reset = [&] { std::memset(buffer, 'X', sizeof buffer); };
    struct {
        std::function<int()> call;
        fake_qxx::Reply reply;
        std::string left;
    } cases[] = {
        {[&] { return Q5_get_fw_version(7, buffer, 1); }, result(3), std::string(8, '\0') + "XXXX"},
        {[&] { return Q5_get_fw_version(7, buffer, 1); }, answer(0, text("1.5")),
         std::string("1.5\0\0\0\0\0XXXX", 12)},
        {[&] { return Q5_get_serial(7, buffer, 1); }, result(3), std::string(9, '\0') + "XXX"},
        {[&] { return Q5_get_serial(7, buffer, 1); }, answer(0, text("AB12WXYZ")),
         std::string("AB12WXYZ\0XXX", 12)},
    };
    replies[8001] = {cases[0].reply, cases[1].reply};
    replies[8007] = {cases[2].reply, cases[3].reply};
    for (const auto& c : cases) {
        reset();
        EXPECT_EQ(c.call(), c.reply.result);
        EXPECT_EQ(std::string(buffer, sizeof buffer), c.left);
    }
    // Get time decodes the six fields in order, and keeps the record when nothing arrives.
    q5_time t{1, 2, 3, 4, 5, 6};
    replies[8002] = {answer(0, record({2026, 12, 6, 1, 58, -3})), result(1)};
    EXPECT_EQ(Q5_get_time(7, &t, 1), 0);
    EXPECT_EQ(record({t.year, t.month, t.day, t.hour, t.minute, t.second}),
              record({2026, 12, 6, 1, 58, -3}));
    EXPECT_EQ(Q5_get_time(7, &t, 1), 1);
    EXPECT_EQ(t.year + t.month + t.day + t.hour + t.minute + t.second, 2026 + 12 + 6 + 1 + 58 - 3);
}

// A Q5 board is known by the reply to get-serial, 9007; the type id is written either way.
TEST(Q5Requests, DeviceTest) {
    for (auto [code, found] : {std::pair(9007, 1), std::pair(9006, 0), std::pair(8007, 0)}) {
        Bytes frame = frame_of(code, text("B0001234"));
        int type = -1;
        EXPECT_EQ(Q5_test_probe(7, frame.data(), &type, 3), found) << code;
        EXPECT_EQ(type, 3);
        EXPECT_EQ(Q5_test_probe(7, frame.data(), nullptr, 3), found);
    }
}

}  // namespace
