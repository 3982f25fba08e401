// The Q5 console commands against the fake link: what the operator sees, what goes on the wire.
#include <cstring>
#include <functional>

#include "q5_test_support.h"

namespace {

using namespace q5test;

using Command = std::function<int(char*)>;

struct NamedCommand {
    const char* name;
    Command run;
};

const std::vector<NamedCommand>& every_command() {
    // clang-format off
    static const std::vector<NamedCommand> commands = {
        {"Q5_cmd_get_fw_version", [](char* l) { return Q5_cmd_get_fw_version(l, 0); }},
        {"Q5_cmd_get_serial", [](char* l) { return Q5_cmd_get_serial(l, 0); }},
        {"Q5_cmd_set_serial", [](char* l) { return Q5_cmd_set_serial(l, 'B'); }},
        {"Q5_cmd_set_serial", [](char* l) { return Q5_cmd_set_serial(l, 0); }},
        {"Q5_cmd_get_time", [](char* l) { return Q5_cmd_get_time(l, 0); }},
        {"Q5_cmd_set_time", [](char* l) { return Q5_cmd_set_time(l, 0); }},
        {"Q5_cmd_restart", [](char* l) { return Q5_cmd_restart(l, 0); }},
        {"Q5_cmd_upload_xfw", [](char* l) { return Q5_cmd_upload_xfw(l, "nv52fw.xfw", 12, -1); }},
        {"Q5_cmd_flash_fw", [](char* l) { return Q5_cmd_flash_fw(l, "nv52fw.xfw"); }},
    };
    // clang-format on
    return commands;
}

TEST_F(Q5Test, EveryCommandRefusesWithoutADevice) {
    connected = 0;
    for (const auto& cmd : every_command()) {
        SCOPED_TRACE(cmd.name);
        fake_qxx::reset();
        Console c("12\n");
        char line[] = "xx 12\n";
        EXPECT_EQ(cmd.run(line), -1);
        EXPECT_EQ(c.out(), "\nDevice not connected!\n");  // no prompt, nothing else
        EXPECT_EQ(c.err(), "\nDevice not connected!\n");
        EXPECT_TRUE(fake_qxx::calls().empty());
        EXPECT_EQ(fake_qxx::disconnects(), 0);
    }
}

TEST_F(Q5Test, ReadCommandsPrintTheAnswer) {
    struct Case {
        const char* name;
        Command run;
        int code;
        Bytes payload;
        std::string out;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"version", [](char* l) { return Q5_cmd_get_fw_version(l, 0); }, 8001,
         text_bytes("V1.02.03"), "FW Version=V1.02.03\n"},
        {"short version", [](char* l) { return Q5_cmd_get_fw_version(l, 0); }, 8001,
         text_bytes("2.1"), "FW Version=2.1\n"},
        {"serial", [](char* l) { return Q5_cmd_get_serial(l, 0); }, 8007, text_bytes("B0001234"),
         "Serial = B0001234\n"},
        {"time", [](char* l) { return Q5_cmd_get_time(l, 0); }, 8002,
         time_bytes({2026, 3, 7, 9, 5, 1}), "Device time: 2026/03/07  09:05:01\n"},
        {"time, small year", [](char* l) { return Q5_cmd_get_time(l, 0); }, 8002,
         time_bytes({99, 12, 31, 0, 0, 0}), "Device time: 0099/12/31  00:00:00\n"},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_qxx::reset();
        Console con;
        fake_qxx::push_reply(c.code, {0, c.payload, 0, 0});
        char line[] = "xx\n";
        EXPECT_EQ(c.run(line), 0);
        EXPECT_EQ(con.out(), c.out);
        EXPECT_EQ(fake_qxx::codes(), std::vector<int>{c.code});
        EXPECT_EQ(fake_qxx::calls()[0].wait, 1);
    }
    EXPECT_STREQ(serial_no, "B0001234");
}

TEST_F(Q5Test, AFailingRequestIsReportedWithTheCommandsName) {
    struct Case {
        const char* name;
        Command run;
        int failing_code;
        int result;
        std::string out;
        std::vector<int> codes;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"version", [](char* l) { return Q5_cmd_get_fw_version(l, 0); }, 8001, 255,
         "Command Q5_cmd_get_fw_version error(code=255)!\n", {8001}},
        {"get serial", [](char* l) { return Q5_cmd_get_serial(l, 0); }, 8007, 1,
         "Command Q5_cmd_get_serial error(code=1)!\n", {8007}},
        {"get time", [](char* l) { return Q5_cmd_get_time(l, 0); }, 8002, 255,
         "Command Q5_cmd_get_time error(code=255)!\n", {8002}},
        // Set serial gives up before asking when the current serial cannot be read.
        {"set serial, reading", [](char* l) { return Q5_cmd_set_serial(l, 'B'); }, 8007, 255,
         "Command Q5_cmd_set_serial error(code=255)!\n", {8007}},
        {"set serial, writing", [](char* l) { return Q5_cmd_set_serial(l, 'B'); }, 8104, 1,
         "Setting serial to:B0004321\nCommand Q5_cmd_set_serial error(code=1)!\n", {8007, 8104}},
        {"set time", [](char* l) { return Q5_cmd_set_time(l, 0); }, 8003, 255,
         "Enter offset[0]:Setting device time: 2026/12/06  01:58:03 ...Command Q5_cmd_set_time error(code=255)!\n",
         {8003}},
        {"restart", [](char* l) { return Q5_cmd_restart(l, 0); }, 8021, -3,
         "Restarting device.\nCommand Q5_cmd_restart error(code=-3)!\n", {8021}},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_qxx::reset();
        Console con;
        fake_qxx::push_reply(c.failing_code, {c.result, {}, 0, 0});
        char line[] = "xx 4321\n";
        EXPECT_EQ(c.run(line), -1);
        EXPECT_EQ(con.out(), c.out);
        EXPECT_EQ(fake_qxx::codes(), c.codes);
        EXPECT_EQ(fake_qxx::disconnects(), 0);
    }
}

TEST_F(Q5Test, SetSerialDefaultsAndPrefixRule) {
    struct Case {
        const char* name;
        int prefix;
        std::string current;  // the device's serial
        std::string line;     // typed command line
        std::string input;    // answers to the prompt
        std::string out;
        std::string sent;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"prefix, default from the device", 'B', "B0001234", "ss\n", "5678\n",
         "Enter serial[1234]:Setting serial to:B0005678\n", "B0005678"},
        {"prefix, empty answer keeps the default", 'B', "B0001234", "ss\n", "\n",
         "Enter serial[1234]:Setting serial to:B0001234\n", "B0001234"},
        {"prefix, short device serial", 'B', "B01", "ss\n", "\n",
         "Enter serial[0000]:Setting serial to:B0000000\n", "B0000000"},
        {"prefix, empty device serial", 'B', "", "ss\n", "4444\n",
         "Enter serial[0000]:Setting serial to:B0004444\n", "B0004444"},
        {"prefix, typed on the line", 'B', "B0001234", "ss 4321\n", "",
         "Setting serial to:B0004321\n", "B0004321"},
        {"prefix, wrong length typed then asked", 'B', "B0001234", "ss 123\n", "12345\n9999\n",
         "Enter serial[1234]:Enter serial[1234]:Setting serial to:B0009999\n", "B0009999"},
        {"other prefix letter", 'Q', "Q0007777", "ss\n", "\n",
         "Enter serial[7777]:Setting serial to:Q0007777\n", "Q0007777"},
        {"no prefix, default of zeros", 0, "B0001234", "ss\n", "\n",
         "Enter serial[00000000]:Setting serial to:00000000\n", "00000000"},
        {"no prefix, eight asked", 0, "B0001234", "ss\n", "abc\nABCDEFGH\n",
         "Enter serial[00000000]:Enter serial[00000000]:Setting serial to:ABCDEFGH\n",
         "ABCDEFGH"},
        {"no prefix, typed on the line", 0, "", "ss Q5000042\n", "", "Setting serial to:Q5000042\n",
         "Q5000042"},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_qxx::reset();
        Console con(c.input);
        fake_qxx::push_reply(8007, {0, text_bytes(c.current), 0, 0});
        std::vector<char> line(c.line.begin(), c.line.end());
        line.push_back('\0');
        EXPECT_EQ(Q5_cmd_set_serial(line.data(), c.prefix), 0);
        EXPECT_EQ(con.out(), c.out);
        ASSERT_EQ(fake_qxx::codes(), (std::vector<int>{8007, 8104}));
        EXPECT_EQ(fake_qxx::calls()[1].request, text_bytes(c.sent));
    }
}

TEST_F(Q5Test, SetTimeShiftsTheLocalCalendarTime) {
    struct Case {
        const char* name;
        std::vector<int> now;  // year, month, day, hour, minute, second
        std::string line;
        std::string input;
        std::string prompt;  // printed before the setting line
        std::vector<int> sent;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"no offset typed: asked, default 0", {2026, 6, 15, 12, 0, 0}, "st\n", "\n",
         "Enter offset[0]:", {2026, 6, 15, 12, 0, 0}},
        {"offset on the line", {2026, 6, 15, 12, 0, 0}, "st 2\n", "", "", {2026, 6, 15, 14, 0, 0}},
        {"out of range on the line: asked", {2026, 6, 15, 12, 0, 0}, "st 13\n", "-13\n-2\n",
         "Enter offset[0]:Enter offset[0]:", {2026, 6, 15, 10, 0, 0}},
        {"month end", {2026, 1, 31, 22, 30, 15}, "st 3\n", "", "", {2026, 2, 1, 1, 30, 15}},
        {"thirty-day month end", {2026, 4, 30, 23, 59, 59}, "st 12\n", "", "",
         {2026, 5, 1, 11, 59, 59}},
        {"year end", {2026, 12, 31, 23, 0, 0}, "st 1\n", "", "", {2027, 1, 1, 0, 0, 0}},
        {"back across midnight", {2026, 7, 10, 1, 0, 0}, "st -3\n", "", "",
         {2026, 7, 9, 22, 0, 0}},
        {"back into February", {2026, 3, 1, 1, 0, 0}, "st -3\n", "", "", {2026, 2, 28, 22, 0, 0}},
        {"back into a leap February", {2028, 3, 1, 1, 0, 0}, "st -3\n", "", "",
         {2028, 2, 29, 22, 0, 0}},
        {"back into the old year", {2026, 1, 1, 11, 0, 0}, "st -12\n", "", "",
         {2025, 12, 31, 23, 0, 0}},
        {"century not leap", {2100, 2, 28, 23, 0, 0}, "st 1\n", "", "", {2100, 3, 1, 0, 0, 0}},
        {"400-year leap", {2000, 2, 28, 23, 0, 0}, "st 1\n", "", "", {2000, 2, 29, 0, 0, 0}},
        {"offset to exactly midnight stays the same day", {2026, 5, 5, 12, 0, 0}, "st -12\n", "",
         "", {2026, 5, 5, 0, 0, 0}},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_qxx::reset();
        set_clock(c.now[0], c.now[1], c.now[2], c.now[3], c.now[4], c.now[5]);
        Console con(c.input);
        std::vector<char> line(c.line.begin(), c.line.end());
        line.push_back('\0');
        EXPECT_EQ(Q5_cmd_set_time(line.data(), 0), 0);
        char expected[128];
        snprintf(expected, sizeof expected,
                 "Setting device time: %.4d/%.2d/%.2d  %.2d:%.2d:%.2d ...Ok.\n", c.sent[0],
                 c.sent[1], c.sent[2], c.sent[3], c.sent[4], c.sent[5]);
        EXPECT_EQ(con.out(), c.prompt + expected);
        ASSERT_EQ(fake_qxx::codes(), std::vector<int>{8003});
        EXPECT_EQ(fake_qxx::calls()[0].request,
                  time_bytes({c.sent[0], c.sent[1], c.sent[2], c.sent[3], c.sent[4], c.sent[5]}));
    }
}

TEST_F(Q5Test, RestartSendsWithoutWaitingAndDisconnects) {
    for (int disconnect_result : {0, -1}) {
        SCOPED_TRACE(disconnect_result);
        fake_qxx::reset();
        fake_qxx::link().disconnect_result = disconnect_result;
        Console con;
        char line[] = "re\n";
        EXPECT_EQ(Q5_cmd_restart(line, 0), disconnect_result);
        EXPECT_EQ(con.out(), "Restarting device.\n");
        ASSERT_EQ(fake_qxx::codes(), std::vector<int>{8021});
        EXPECT_EQ(fake_qxx::calls()[0].wait, 0);
        EXPECT_EQ(fake_qxx::disconnects(), 1);
    }
}

TEST_F(Q5Test, MenuListsTheSixCommandsAndRunsThem) {
    Console con("gs\nVE\n");
    menu m;
    menu_init(&m);
    EXPECT_EQ(Q5_cmd_create_menu(&m), 0);
    menu_print(&m);
    EXPECT_EQ(con.out(),
              "[ he] help\n"
              "[ ve] version    - displays device firmware version\n"
              "[ gs] get serial - displays device serial number\n"
              "[ ss] set serial - sets device serial number\n"
              "[ gt] get time   - displays device date/time\n"
              "[ st] set time   - sets device date/time\n"
              "[ re] restart    - restarts device\n");
    menu_run(&m);  // ends with the input
    EXPECT_EQ(fake_qxx::codes(), (std::vector<int>{8007, 8001}));
    EXPECT_EQ(Q5_cmd_hook_events(), 0);
    EXPECT_TRUE(fake_qxx::hooks().empty());
}

}  // namespace
