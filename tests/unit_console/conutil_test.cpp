// The console input functions and the menu engine: readers sharing a command line, the parsers
// and line primitives, and the menu loop's matching of the first word. (Every reader's prompt,
// what it accepts, refuses and stores: data/readers.txt.)
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fixture.h"

namespace {

// ---- readers sharing a line (every reader alone: data/readers.txt) ----------------------------

// Only the first reader on a line can find its parameter there; a null line has none.
TEST(Readers, OnlyTheFirstOnALineFindsItsParameter) {
    const struct {
        std::string line, input, out, value;
        bool string_first;
    } cases[] = {
        {"sl 2 3\n", "4\n", "B[0]:", "2,4", false},
        {"sl 2\n", "11\n\n", "B[0]:B[0]:", "2,0", false},
        {"ss ab 5\n", "6\n", "N[0]:", "ab,6", true},
    };
    for (auto c : cases) {
        Console con(c.input);
        int32_t a = 0, b = 0;
        char s[8] = "x";
        if (c.string_first) {
            input_string_msg_cmd(s, 1, 4, "T", c.line.data(), 1);
            input_integer_msg_cmd(&b, 0, 10, "N", c.line.data(), 1);
        } else {
            input_integer_msg_cmd(&a, 0, 10, "A", c.line.data(), 1);
            input_integer_msg_cmd(&b, 0, 10, "B", c.line.data(), 1);
        }
        EXPECT_EQ((c.string_first ? std::string(s) : std::to_string(a)) + "," + std::to_string(b),
                  c.value);
        EXPECT_EQ(con.out(), c.out);
    }
    Console con("5\nab\n");
    int32_t v = 1;
    char s[8] = "x";
    input_integer_msg_cmd(&v, 0, 9, "N", nullptr, 1);
    input_string_msg_cmd(s, 1, 4, "T", nullptr, 1);
    EXPECT_EQ(std::pair(v, std::string(s)), std::pair(5, std::string("ab")));
    EXPECT_EQ(con.out(), "N[1]:T[x]:");
}

// ---- parsers and line primitives ---------------------------------------------------------------

TEST(Parsers, AcceptOnlyWhatParsesWithinTheLimits) {
    int32_t i = -1;
    uint32_t u = 1;
    uint8_t b = 1;
    uint16_t w = 1;
    float f = 1;
    char s[32] = "keep";
    const std::vector<std::pair<int, int>> got = {
        {input_integer("12abc", &i, 0, 12), i},
        {input_integer("13", &i, 0, 12), i},
        {input_integer("", &i, 0, 12), i},
        {input_hex_integer("0x1F", &u, 0, 31), static_cast<int>(u)},
        {input_hex_integer("20", &u, 0, 31), static_cast<int>(u)},
        {input_hex_char("ff", &b, 0, 255), b},
        {input_hex_char("100", &b, 0, 255), b},
        {input_hex_char("-1", &b, 0, 255), b},
        {input_hex_char("g", &b, 0, 255), b},
        {input_hex_short("0xffff", &w, 0, 0xFFFF), w},
        {input_hex_short("10000", &w, 0, 0xFFFF), w},
        {input_hex_short("z", &w, 0, 0xFFFF), w},
        {input_float("2.5", &f, 0, 2.5f), static_cast<int>(f * 10)},
        {input_float("inf", &f, 0, 2.5f), static_cast<int>(f * 10)},
        {input_string(" \tword more", s, 1, 4), static_cast<int>(strlen(s))},
        {input_string("   ", s, 0, 4), static_cast<int>(strlen(s))},
        {input_string("words", s, 0, 4), static_cast<int>(strlen(s))},
    };
    const std::vector<std::pair<int, int>> want = {
        {1, 12},  {0, 12},  {0, 12},  {1, 31},    {0, 31},    {1, 255},
        {0, 255}, {0, 255}, {0, 255}, {1, 65535}, {0, 65535}, {0, 65535},
        {1, 25},  {0, 25},  {1, 4},   {0, 4},     {0, 4},
    };
    EXPECT_EQ(got, want);
    EXPECT_STREQ(s, "word");
}

TEST(LinePrimitives, WordsAndLines) {
    EXPECT_EQ(std::vector<int>(
                  {input_empty(""), input_empty(" \t\n"), input_empty(" x\n"), input_empty("\n")}),
              std::vector<int>({1, 1, 0, 1}));
    EXPECT_EQ(std::vector<int>(
                  {input_equal("HE\n", "help", "he"), input_equal("  Help me\n", "help", "he"),
                   input_equal("helps\n", "help", "he"), input_equal("hel\n", "help", "he"),
                   input_equal("\n", "", ""), input_equal("\tq", "quit", "q"),
                   input_equal("x", nullptr, "X"), input_equal("x", "x", nullptr)}),
              std::vector<int>({1, 1, 0, 0, 0, 1, 1, 1}));
    EXPECT_EQ(std::vector<int>({input_has_params("st 2\n"), input_has_params("st\t2\n"),
                                input_has_params("st\n")}),
              std::vector<int>({1, 0, 0}));

    // A line longer than the buffer comes in pieces; the end of input leaves the buffer empty.
    Console con("abcdef\nxy\n");
    char line[5] = "zzzz";
    std::vector<std::string> pieces;
    for (int i = 0; i < 4; ++i) {
        input_get(line, sizeof line);
        pieces.push_back(line);
    }
    EXPECT_EQ(pieces, (std::vector<std::string>{"abcd", "ef\n", "xy\n", ""}));
    EXPECT_EQ(input_ended(), 1);
    // A script from Windows: a byte-order mark first, CR LF line ends (also a CR that is the
    // last character to fit), a lone CR kept. A mark later in the input is text.
    for (const char* script : {"\xEF\xBB\xBF"
                               "abcdef\r\nab\r\n\r\nabc\r\n\xEF\xBB\xBF\nx\ry\r",
                               "abcdef\nab\n\nabc\n\xEF\xBB\xBF\nx\ry\r"}) {
        con.feed(script);
        pieces.clear();
        for (int i = 0; i < 7; ++i) {
            input_get(line, sizeof line);
            pieces.push_back(line);
        }
        EXPECT_EQ(pieces, (std::vector<std::string>{"abcd", "ef\n", "ab\n", "\n", "abc\n",
                                                    "\xEF\xBB\xBF\n", "x\ry\r"}));
    }
    char wide[16];
    con.feed(
        "\xEF\xBB\xBF"
        "ab\n");
    input_get(wide, sizeof wide);
    EXPECT_STREQ(wide, "ab\n");
    con.feed("xab\n");
    EXPECT_EQ(input_ended(), 0);
    EXPECT_EQ(input_get(line, 2), 0);  // room for one character
    EXPECT_STREQ(line, "x");
    EXPECT_EQ(input_get(line, 1), 0);  // no room for a character: empty, nothing read
    EXPECT_STREQ(line, "");
    strcpy(line, "zz");
    EXPECT_EQ(input_get(line, 0), 0);  // no buffer at all: untouched
    EXPECT_STREQ(line, "zz");
    EXPECT_EQ(input_get(nullptr, 5), 0);
    EXPECT_EQ(input_wait_enter(), 0);
    EXPECT_EQ(input_get(line, sizeof line), 0);
    EXPECT_STREQ(line, "");
    EXPECT_EQ(input_ended(), 1);
}

// A stream that gives one character and then fails, as a terminal that goes away mid-line.
ssize_t one_char_then_error(void* cookie, char* buf, size_t) {
    if ((*static_cast<int*>(cookie))++ > 0) {
        errno = EIO;
        return -1;
    }
    buf[0] = '7';
    return 1;
}

// What was read before a read error is not an answer: the reader keeps its value.
TEST(LinePrimitives, AReadErrorEndsTheInputWithAnEmptyLine) {
    Console con;
    int reads = 0;
    FILE* in = fopencookie(&reads, "r", {one_char_then_error, nullptr, nullptr, nullptr});
    ASSERT_NE(in, nullptr);
    input_set_stream(in);
    int32_t v = 3;
    EXPECT_EQ(input_integer_msg(&v, 0, 9, "N"), 0);
    EXPECT_EQ(std::tuple(v, input_ended(), con.out()), std::tuple(3, 1, std::string("N[3]:")));
    input_set_stream(nullptr);
    fclose(in);
}

// ---- menu --------------------------------------------------------------------------------------

// Handlers record the lines they were given, in order, tagged with their own letter.
std::vector<std::string>& calls() {
    static std::vector<std::string> c;
    return c;
}
template <char Tag>
int record(char* line, int arg) {
    calls().push_back(std::string(1, Tag) + (arg == 0 ? "" : "!") + line);
    return Tag == 'a' ? -1 : 0;
}

struct Built {
    menu m;
    Built() {
        menu_init(&m);
        menu_add(&m, "st", "set time", "sets the time", record<'a'>);
        menu_add(&m, "ve", "version", "shows the version", record<'b'>);
        menu_add(&m, "VE", "again", "same code, runs too", record<'c'>);
        menu_add(&m, "q", "quit", "quits program", nullptr);
        menu_add(&m, "x", "after", "after quit", record<'d'>);
    }
};

const std::string MENU_HELP =
    "[ he] help\n"
    "[ st] set time - sets the time\n"
    "[ ve] version  - shows the version\n"
    "[ VE] again    - same code, runs too\n"
    "[  q] quit     - quits program\n"
    "[  x] after    - after quit\n";

TEST(Menu, PrintAlignsTheHelpTexts) {
    Built b;
    Console con;
    EXPECT_EQ(menu_print(&b.m), 5);
    EXPECT_EQ(con.out(), MENU_HELP);
    EXPECT_EQ(b.m.name_width, 8u);

    // Texts are cut to their fields; an empty menu prints only its help row.
    menu m;
    menu_init(&m);
    Console empty;
    EXPECT_EQ(menu_print(&m), 0);
    EXPECT_EQ(empty.out(), "[ he] help\n");
    EXPECT_EQ(menu_add(&m, "abcd", "abcdefghijklmnopq", std::string(70, 'h').c_str(), nullptr), &m);
    menu_add(&m, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(std::tuple(m.count, m.name_width, std::string(m.entries[0].code),
                         std::string(m.entries[0].name), std::string(m.entries[0].help)),
              std::tuple(2, 15u, std::string("abc"), std::string("abcdefghijklmno"),
                         std::string(63, 'h')));
    Console cut;
    menu_print(&m);
    EXPECT_EQ(cut.out(), "[ he] help\n[abc] abcdefghijklmno - " + std::string(63, 'h') +
                             "\n[   ] " + std::string(15, ' ') + " - \n");
}

TEST(Menu, RunMatchesTheFirstWord) {
    const std::string long_line = "ve" + std::string(252, ' ');  // 254 characters
    const struct {
        const char* name;
        std::string input, out;
        std::vector<std::string> calls;
    } cases[] = {
        {"help words",
         "HE\nHelp me\nhelps\nhe\tx\nq\n",
         ">" + MENU_HELP + ">" + MENU_HELP + ">>" + MENU_HELP + ">",
         {}},
        {"blank lines and unknown words", "\n   \n\t\nget time\nxyz\nquit\n", times(">", 6), {}},
        {"QUIT in capitals, entries after it never run", "QUIT\nx\n", ">", {}},
        {"every matching entry runs, in table order, with the whole line",
         "st 2\nVe  a b\nversion\nq\n",
         times(">", 4),
         {"ast 2\n", "bVe  a b\n", "cVe  a b\n", "bversion\n"}},
        {"a line longer than the buffer is read in pieces",
         long_line + "ve\nq\n",
         times(">", 3),
         {"b" + long_line, "c" + long_line, "bve\n", "cve\n"}},
        {"a NUL byte reads as an empty line", std::string("\0st\nq\n", 6), ">>", {}},
        {"the end of input quits", "st\n", ">>", {"ast\n"}},
        {"the end of input, line without newline", "st", ">>", {"ast"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Built b;
        calls().clear();
        Console con(c.input);
        EXPECT_EQ(menu_run(&b.m), 0);
        EXPECT_EQ(con.out(), c.out);
        EXPECT_EQ(calls(), c.calls);
    }
}

// Entries past `count` are not the menu's: neither printed nor matched.
TEST(Menu, LoopStaysWithinTheCount) {
    Built b;
    b.m.count = 2;
    Console con("x\nq\nVE\nquit\nhe\n");
    EXPECT_EQ(menu_print(&b.m), 2);
    calls().clear();
    EXPECT_EQ(menu_run(&b.m), 0);
    const std::string help = MENU_HELP.substr(0, MENU_HELP.find("[ VE]"));
    EXPECT_EQ(con.out(), help + times(">", 5) + help + ">");
    EXPECT_EQ(calls(), std::vector<std::string>{"bVE\n"});
}

}  // namespace
