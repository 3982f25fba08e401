// The menu engine and the prompted readers against the exact console text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "console.h"
#include "conutil.h"

namespace {

// ---- menu ------------------------------------------------------------------------------------

std::vector<std::string> ran;  // "name:line" of every handler call, in order

int record_a(char* line, int arg) {
    ran.push_back(std::string("a:") + line + ":" + std::to_string(arg));
    return 0;
}
int record_b(char* line, int) {
    ran.push_back(std::string("b:") + line);
    return -1;
}

void build(menu* m) {
    menu_init(m);
    menu_add(m, "ve", "version", "displays device firmware version", record_a);
    menu_add(m, "gt", "get time", "displays device date/time", record_b);
    menu_add(m, "x", "ve", "same word as the first code", record_b);
    menu_add(m, "q", "quit", "quits program", nullptr);
    menu_add(m, "zz", "after", "never reached by quit", record_a);
}

TEST(Menu, HelpBlockPadsNamesToTheLongest) {
    Console c;
    menu m;
    build(&m);
    EXPECT_EQ(menu_print(&m), 5);
    EXPECT_EQ(c.out(),
              "[ he] help\n"
              "[ ve] version  - displays device firmware version\n"
              "[ gt] get time - displays device date/time\n"
              "[  x] ve       - same word as the first code\n"
              "[  q] quit     - quits program\n"
              "[ zz] after    - never reached by quit\n");
}

TEST(Menu, EmptyMenuPrintsOnlyHelp) {
    Console c;
    menu m;
    menu_init(&m);
    EXPECT_EQ(menu_print(&m), 0);
    EXPECT_EQ(c.out(), "[ he] help\n");
}

TEST(Menu, AddCutsTextsToTheirFields) {
    menu m;
    menu_init(&m);
    std::string long_help(100, 'h');
    menu_add(&m, "abcdef", "a-name-of-twenty-chars", long_help.c_str(), nullptr);
    EXPECT_STREQ(m.entries[0].code, "abc");
    EXPECT_STREQ(m.entries[0].name, "a-name-of-twent");
    EXPECT_EQ(strlen(m.entries[0].help), 63u);
    EXPECT_EQ(m.name_width, 15u);
}

struct RunCase {
    const char* input;
    std::vector<std::string> calls;
    const char* extra_output;  // printed besides the prompts
};

TEST(Menu, RunMatchesFirstWordIgnoringCaseAndRunsEveryMatch) {
    const RunCase cases[] = {
        {"ve\nq\n", {"a:ve\n:0", "b:ve\n"}, ""},  // code of one entry, name of another
        {"VERSION 3\nq\n", {"a:VERSION 3\n:0"}, ""},
        {"get time\nq\n", {}, ""},             // a name with a blank is reachable by code only
        {"GT\nQUIT\n", {"b:GT\n"}, ""},
        {"\n   \n\t\nq\n", {}, ""},           // empty and blank lines: only a new prompt
        {"nothing\nQ\n", {}, ""},
        {"helps\nq\n", {}, ""},                // a longer word is not help
        {"  x  \nzz\nq\n", {"b:  x  \n", "a:zz\n:0"}, ""},
    };
    for (const auto& tc : cases) {
        Console c(tc.input);
        menu m;
        build(&m);
        ran.clear();
        EXPECT_EQ(menu_run(&m), 0) << tc.input;
        EXPECT_EQ(ran, tc.calls) << tc.input;
        std::string prompts;
        for (const char* p = tc.input; *p; ++p)
            if (*p == '\n') prompts += ">";
        EXPECT_EQ(c.out(), prompts) << tc.input;
    }
}

TEST(Menu, HelpWordsPrintTheBlockAgain) {
    for (const char* word : {"HE\nq\n", "Help\nq\n", "help me please\nq\n"}) {
        Console c(word);
        menu m;
        menu_init(&m);
        menu_add(&m, "q", "quit", "quits program", nullptr);
        menu_run(&m);
        EXPECT_EQ(c.out(), ">[ he] help\n[  q] quit - quits program\n>") << word;
    }
}

TEST(Menu, EndOfInputEndsTheLoopAsQuit) {
    Console c("ve\n");
    menu m;
    build(&m);
    ran.clear();
    EXPECT_EQ(menu_run(&m), 0);
    EXPECT_EQ(ran.size(), 2u);
    EXPECT_EQ(c.out(), ">>");
}

TEST(Menu, LongLinesAreTakenIn254CharacterPieces) {
    // 254 characters of the first piece, then the rest is read as the next command line.
    std::string input = std::string(254, 'a') + "ve\nq\n";
    Console c(input);
    menu m;
    build(&m);
    ran.clear();
    menu_run(&m);
    ASSERT_EQ(ran.size(), 2u);
    EXPECT_EQ(ran[0], "a:ve\n:0");
}

// ---- parsers ---------------------------------------------------------------------------------

TEST(Parsers, Integer) {
    struct {
        const char* text;
        int32_t min, max;
        int accepted;
        int32_t value;
    } cases[] = {
        {"12abc", 0, 100, 1, 12}, {"abc", 0, 100, 0, 0},   {"  -5\n", -12, 12, 1, -5},
        {"101", 0, 100, 0, 0},    {"100", 0, 100, 1, 100}, {"-13", -12, 12, 0, 0},
        {"99999999999", INT32_MIN, INT32_MAX, 0, 0},       {"+7", 0, 9, 1, 7},
    };
    for (const auto& tc : cases) {
        int32_t v = 0;
        EXPECT_EQ(input_integer(tc.text, &v, tc.min, tc.max), tc.accepted) << tc.text;
        EXPECT_EQ(v, tc.value) << tc.text;
    }
}

TEST(Parsers, Hexadecimal) {
    uint8_t b = 9;
    EXPECT_EQ(input_hex_char("0x1F", &b, 0, 255), 1);
    EXPECT_EQ(b, 31);
    EXPECT_EQ(input_hex_char("1f\n", &b, 0, 255), 1);
    EXPECT_EQ(b, 31);
    EXPECT_EQ(input_hex_char("100", &b, 0, 255), 0);  // 256
    EXPECT_EQ(input_hex_char("-1", &b, 0, 255), 0);
    EXPECT_EQ(input_hex_char("zz", &b, 0, 255), 0);
    EXPECT_EQ(b, 31);

    uint16_t s = 0;
    EXPECT_EQ(input_hex_short("FFFF", &s, 0, 0xFFFF), 1);
    EXPECT_EQ(s, 0xFFFF);
    EXPECT_EQ(input_hex_short("10000", &s, 0, 0xFFFF), 0);

    uint32_t u = 0;
    EXPECT_EQ(input_hex_integer("0xDEADBEEF", &u, 0, 0xFFFFFFFF), 1);
    EXPECT_EQ(u, 0xDEADBEEFu);
    EXPECT_EQ(input_hex_integer("-1", &u, 0, 0xFFFFFFFF), 1);  // as "%x" reads it
    EXPECT_EQ(u, 0xFFFFFFFFu);
    EXPECT_EQ(input_hex_integer("1ffffffff", &u, 0, 0xFFFFFFFF), 0);
}

TEST(Parsers, FloatAndString) {
    float f = 1;
    EXPECT_EQ(input_float("12.75mV", &f, 0, 999), 1);
    EXPECT_FLOAT_EQ(f, 12.75f);
    EXPECT_EQ(input_float("nan", &f, -1e9f, 1e9f), 0);
    EXPECT_EQ(input_float("1000", &f, 0, 999), 0);

    char s[32] = "old";
    EXPECT_EQ(input_string("first second\n", s, 1, 18), 1);
    EXPECT_STREQ(s, "first");
    EXPECT_EQ(input_string("abcdefghijklmnopqrs", s, 1, 18), 0);  // 19 characters
    EXPECT_EQ(input_string("abcdefghijklmnopqr", s, 1, 18), 1);
    EXPECT_EQ(input_string("abc", s, 4, 4), 0);
    EXPECT_STREQ(s, "abcdefghijklmnopqr");
}

TEST(LinePrimitives, EmptyEqualParams) {
    EXPECT_EQ(input_empty(""), 1);
    EXPECT_EQ(input_empty(" \t \n"), 1);
    EXPECT_EQ(input_empty(" x\n"), 0);
    EXPECT_EQ(input_equal("  QuIt now\n", "quit", "q"), 1);
    EXPECT_EQ(input_equal("q\n", "quit", "q"), 1);
    EXPECT_EQ(input_equal("quits\n", "quit", "q"), 0);
    EXPECT_EQ(input_equal("\n", "", ""), 0);  // a line with no word equals nothing
    EXPECT_EQ(input_has_params("st 2\n"), 1);
    EXPECT_EQ(input_has_params("st\t2\n"), 0);
}

// ---- prompted readers ------------------------------------------------------------------------

TEST(Readers, IntegerKeepsRepeatsAndAccepts) {
    struct {
        const char* input;
        int32_t start, expected;
        const char* output;
    } cases[] = {
        {"\n", 3, 3, "Select device[3]:"},
        {"   \n", 3, 3, "Select device[3]:"},
        {"abc\n5\n", 3, 5, "Select device[3]:Select device[3]:"},
        {"6\n5\n", 3, 5, "Select device[3]:Select device[3]:"},  // one above the maximum
        {"12abc\n", 3, 3, "Select device[3]:Select device[3]:"},  // 12 is out of range
        {"0\n", 3, 0, "Select device[3]:"},
        {"", 3, 3, "Select device[3]:"},  // end of input keeps the value
    };
    for (const auto& tc : cases) {
        Console c(tc.input);
        int32_t v = tc.start;
        EXPECT_EQ(input_integer_msg(&v, 0, 5, "Select device"), 0);
        EXPECT_EQ(v, tc.expected) << tc.input;
        EXPECT_EQ(c.out(), tc.output) << tc.input;
    }
}

TEST(Readers, PromptFormatsShowTheCurrentValue) {
    Console c("\n\n\n\n\n\n\n\n\n");
    int8_t sc = -3;
    uint8_t uc = 200;
    int16_t sh = -2;
    uint32_t hx = 0x1F;
    uint8_t hc = 0xA;
    uint16_t hs = 0x5;
    float fl = 100;
    char text[19] = "127.0.0.1";
    int32_t yes = 1;
    input_char_msg(&sc, -10, 10, "c");
    input_uchar_msg(&uc, 0, 255, "u");
    input_short_msg(&sh, -5, 5, "s");
    input_hex_integer_msg(&hx, 0, 0xFFFFFFFF, "h");
    input_hex_char_msg(&hc, 0, 255, "hc");
    input_hex_short_msg(&hs, 0, 0xFFFF, "hs");
    input_float_msg(&fl, 0, 1000, "f");
    input_string_msg(text, 1, 18, "Enter host");
    input_yesno_msg(&yes, "Encrypt file");
    EXPECT_EQ(c.out(),
              "c[-3]:u[200]:s[-2]:h[0x0000001f]:hc[0x0a]:hs[0x05]:f[100.000]:"
              "Enter host[127.0.0.1]:Encrypt file[yes]:");
}

TEST(Readers, NarrowedAndStoredWidths) {
    Console c("65535\n");
    int16_t sh = 0;
    input_short_msg(&sh, 0, 65535, "s");  // limits are not narrowed; the low 16 bits stored
    EXPECT_EQ(static_cast<uint16_t>(sh), 65535);

    c.feed("300\n200\n");
    uint8_t uc = 0;
    input_uchar_msg(&uc, 0, 255, "u");
    EXPECT_EQ(uc, 200);
}

TEST(Readers, StringTakesFirstWordWithinLimits) {
    Console c("abcdefghijklmnopqrs\nhost.example two\n");
    char host[255] = "";
    input_string_msg(host, 1, 18, "Enter host");
    EXPECT_STREQ(host, "host.example");
    EXPECT_EQ(c.out(), "Enter host[]:Enter host[]:");
}

TEST(Readers, YesNo) {
    struct {
        const char* input;
        int32_t start, expected;
        int prompts;
    } cases[] = {
        {"Y\n", 0, 1, 1}, {"yes\n", 0, 1, 1}, {"NO\n", 1, 0, 1},
        {"nope\nn\n", 1, 0, 2}, {"\n", 1, 1, 1},
    };
    for (const auto& tc : cases) {
        Console c(tc.input);
        int32_t v = tc.start;
        input_yesno_msg(&v, "Encrypt file");
        EXPECT_EQ(v, tc.expected) << tc.input;
        std::string one = tc.start ? "Encrypt file[yes]:" : "Encrypt file[no]:";
        std::string all;
        for (int i = 0; i < tc.prompts; ++i) all += one;
        EXPECT_EQ(c.out(), all) << tc.input;
    }
}

TEST(Readers, CommandLineParameterOnlyForTheFirstReader) {
    {
        Console c;
        char line[] = "st 2\n";
        int32_t v = 0;
        input_integer_msg_cmd(&v, -12, 12, "Enter offset", line, 1);
        EXPECT_EQ(v, 2);
        EXPECT_EQ(c.out(), "");  // no prompt
    }
    {
        Console c("\n");
        char line[] = "st 13\n";
        int32_t v = 0;
        input_integer_msg_cmd(&v, -12, 12, "Enter offset", line, 1);
        EXPECT_EQ(v, 0);
        EXPECT_EQ(c.out(), "Enter offset[0]:");
    }
    {
        // Only the first reader on a line finds a parameter: the second one prompts.
        Console c("1\n");
        char line[] = "sl 2   3\n";
        int32_t a = 0, b = 0;
        input_integer_msg_cmd(&a, 0, 3, "Led left/right:", line, 1);
        input_integer_msg_cmd(&b, 0, 3, "Led up/down:", line, 1);
        EXPECT_EQ(a, 2);
        EXPECT_EQ(b, 1);
        EXPECT_EQ(c.out(), "Led up/down:[0]:");
    }
    {
        Console c;
        char line[] = "ss 5678\n";
        char serial[5] = "0000";
        input_string_msg_cmd(serial, 4, 4, "Enter serial", line, 1);
        EXPECT_STREQ(serial, "5678");
        EXPECT_EQ(c.out(), "");
    }
    {
        Console c("\n");
        char line[] = "ss\t5678\n";  // a tab does not separate
        char serial[5] = "0000";
        input_string_msg_cmd(serial, 4, 4, "Enter serial", line, 1);
        EXPECT_STREQ(serial, "0000");
        EXPECT_EQ(c.out(), "Enter serial[0000]:");
    }
}

TEST(Readers, WaitEnterAndEndOfInput) {
    Console c("anything at all\n");
    EXPECT_EQ(input_wait_enter(), 0);
    EXPECT_EQ(input_ended(), 0);
    EXPECT_EQ(input_wait_enter(), 0);  // returns at end of input too
    EXPECT_EQ(input_ended(), 1);
}

}  // namespace
