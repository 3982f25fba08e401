// The console input functions and the menu engine: every reader's prompt, what it accepts and
// refuses and what it stores, the readers that take their answer from the command line, and the
// menu loop's matching of the first word.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fixture.h"

namespace {

// ---- prompted readers --------------------------------------------------------------------------

// A reader run on a variable that starts at a given value; returns the value it ends with (as
// a number, a float with "%g"), and the reader's result when that is not 0.
using Reader = std::function<std::string()>;

std::string ended(int result, const std::string& value) {
    return result == 0 ? value : value + " (result " + std::to_string(result) + ")";
}

template <class T, class Limit>
Reader reader(int (*read)(T*, Limit, Limit, const char*), const char* prompt,
              std::type_identity_t<T> start, std::type_identity_t<Limit> min,
              std::type_identity_t<Limit> max) {
    return [=] {
        T v = start;
        int r = read(&v, min, max, prompt);
        char text[64];
        snprintf(text, sizeof text, "%g", static_cast<double>(v));
        return ended(r, std::is_floating_point_v<T> ? text : std::to_string(v));
    };
}
Reader string(const char* start, unsigned min, unsigned max) {
    return [=] {
        char v[INPUT_LINE_SIZE] = {};
        snprintf(v, sizeof v, "%s", start);
        int r = input_string_msg(v, min, max, "T");
        return ended(r, v);
    };
}
Reader yesno(int32_t start) {
    return [=] {
        int32_t v = start;
        int r = input_yesno_msg(&v, "Y/N");
        return ended(r, std::to_string(v));
    };
}
// The command-line forms, on the line `line` with parameter index `index`.
Reader integer_cmd(std::string line, int index, int32_t min = 0, int32_t max = 10) {
    return [=]() mutable {
        int32_t v = 3;
        int r = input_integer_msg_cmd(&v, min, max, "N", line.data(), index);
        return ended(r, std::to_string(v));
    };
}
Reader string_cmd(std::string line, int index, unsigned min = 1, unsigned max = 4) {
    return [=]() mutable {
        char v[8] = "abc";
        int r = input_string_msg_cmd(v, min, max, "T", line.data(), index);
        return ended(r, v);
    };
}
// Two readers on one line: only the first can find a parameter.
Reader integer_cmd_twice(std::string line) {
    return [=]() mutable {
        int32_t a = 0, b = 0;
        input_integer_msg_cmd(&a, 0, 10, "A", line.data(), 1);
        input_integer_msg_cmd(&b, 0, 10, "B", line.data(), 1);
        return std::to_string(a) + "," + std::to_string(b);
    };
}
Reader string_then_integer_cmd(std::string line) {
    return [=]() mutable {
        char s[8] = "x";
        int32_t n = 0;
        input_string_msg_cmd(s, 1, 4, "T", line.data(), 1);
        input_integer_msg_cmd(&n, 0, 10, "N", line.data(), 1);
        return std::string(s) + "," + std::to_string(n);
    };
}

struct ReaderCase {
    const char* name;
    Reader run;
    std::string input, out, value;
};

const std::string LONG19 = "abcdefghijklmnopqrs", LONG18 = "abcdefghijklmnopqr";

// clang-format off
const ReaderCase READERS[] = {
    // Decimal: the number ends where a character cannot belong to it; the range is inclusive.
    {"integer keeps on an empty line", reader(input_integer_msg, "N", 3, 0, 10), "\n", "N[3]:", "3"},
    {"integer keeps on a line of blanks", reader(input_integer_msg, "N", 3, 0, 10), " \t \n", "N[3]:", "3"},
    {"integer keeps at the end of input", reader(input_integer_msg, "N", 3, 0, 10), "", "N[3]:", "3"},
    {"integer 12abc", reader(input_integer_msg, "N", 3, 0, 20), "12abc\n", "N[3]:", "12"},
    {"integer abc, then 7", reader(input_integer_msg, "N", 3, 0, 20), "abc\n7\n", "N[3]:N[3]:", "7"},
    {"integer: max + 1, min - 1, max", reader(input_integer_msg, "N", -2, -5, 10), "11\n-6\n10\n", times("N[-2]:", 3), "10"},
    {"integer: min", reader(input_integer_msg, "N", 0, -5, 10), "-5\n", "N[0]:", "-5"},
    {"integer: leading blanks", reader(input_integer_msg, "N", 0, -5, 10), "   4\n", "N[0]:", "4"},
    {"integer: beyond 32 bits refused", reader(input_integer_msg, "N", 0, INT32_MIN, INT32_MAX), "99999999999\n-99999999999\n2147483647\n", times("N[0]:", 3), "2147483647"},
    {"integer: the 32-bit extremes", reader(input_integer_msg, "N", 0, INT32_MIN, INT32_MAX), "-2147483648\n", "N[0]:", "-2147483648"},
    // The 8-bit readers narrow their limits first: 300 becomes 44 for both.
    {"char: shown signed", reader(input_char_msg, "C", -3, -10, 10), "\n", "C[-3]:", "-3"},
    {"char: limits narrowed to 8 bits", reader(input_char_msg, "C", 0, -5, 300), "45\n-6\n44\n", times("C[0]:", 3), "44"},
    {"char: min", reader(input_char_msg, "C", 0, -5, 300), "-5\n", "C[0]:", "-5"},
    {"char: full range", reader(input_char_msg, "C", 0, -128, 127), "128\n-129\n-128\n", times("C[0]:", 3), "-128"},
    {"uchar: shown unsigned", reader(input_uchar_msg, "U", 200, 0, 255), "\n", "U[200]:", "200"},
    {"uchar: limits narrowed to 8 bits", reader(input_uchar_msg, "U", 1, 0, 300), "45\n-1\n44\n", times("U[1]:", 3), "44"},
    {"uchar: narrowed min", reader(input_uchar_msg, "U", 1, 258, 300), "1\n2\n", times("U[1]:", 2), "2"},
    {"uchar: 255", reader(input_uchar_msg, "U", 1, 0, 255), "256\n255\n", times("U[1]:", 2), "255"},
    // The 16-bit reader keeps 32-bit limits and stores the low 16 bits, shown signed.
    {"short: 40000 stored as its low 16 bits", reader(input_short_msg, "S", 0, 0, 65535), "65536\n-1\n40000\n", times("S[0]:", 3), "-25536"},
    {"short: shown signed", reader(input_short_msg, "S", -25536, 0, 65535), "\n", "S[-25536]:", "-25536"},
    {"short: min", reader(input_short_msg, "S", 9, -70000, 0), "-70001\n1\n-70000\n", times("S[9]:", 3), std::to_string(static_cast<int16_t>(-70000))},
    // Hexadecimal: an optional 0x, an optional sign; 32 bits at most.
    {"hex 0x1F", reader(input_hex_integer_msg, "H", 0, 0, 0xFFFFFFFF), "0x1F\n", "H[0x00000000]:", "31"},
    {"hex 1f", reader(input_hex_integer_msg, "H", 0xAB, 0, 0xFFFFFFFF), "1f\n", "H[0x000000ab]:", "31"},
    {"hex: max + 1, min - 1, then max", reader(input_hex_integer_msg, "H", 0, 0x10, 0x20), "21\nf\n20\n", times("H[0x00000000]:", 3), "32"},
    {"hex: min", reader(input_hex_integer_msg, "H", 0, 0x10, 0x20), "0X10\n", "H[0x00000000]:", "16"},
    {"hex: -1 is all ones", reader(input_hex_integer_msg, "H", 0, 0, 0xFFFFFFFF), "-1\n", "H[0x00000000]:", "4294967295"},
    {"hex: ffffffff", reader(input_hex_integer_msg, "H", 0, 0, 0xFFFFFFFF), "ffffffff\n", "H[0x00000000]:", "4294967295"},
    {"hex: +1f", reader(input_hex_integer_msg, "H", 0, 0, 0xFFFFFFFF), "+1f\n", "H[0x00000000]:", "31"},
    {"hex: beyond 32 bits, no digit", reader(input_hex_integer_msg, "H", 0, 0, 0xFFFFFFFF), "100000000\nxyz\n-\n\n", times("H[0x00000000]:", 4), "0"},
    {"hex byte refuses 100 and -1", reader(input_hex_char_msg, "B", 7, 0, 255), "100\n-1\nff\n", times("B[0x07]:", 3), "255"},
    {"hex byte: limits", reader(input_hex_char_msg, "B", 7, 0x10, 0x20), "21\nf\n10\n", times("B[0x07]:", 3), "16"},
    {"hex byte: max", reader(input_hex_char_msg, "B", 7, 0x10, 0x20), "0x20\n", "B[0x07]:", "32"},
    {"hex byte: no digit", reader(input_hex_char_msg, "B", 7, 0, 255), "g\n\n", times("B[0x07]:", 2), "7"},
    {"hex short refuses 10000 and -1", reader(input_hex_short_msg, "W", 0x1234, 0, 0xFFFF), "10000\n-1\nffff\n", times("W[0x1234]:", 3), "65535"},
    {"hex short: two digits at least", reader(input_hex_short_msg, "W", 5, 0, 0xFFFF), "0x1F\n", "W[0x05]:", "31"},
    {"hex short: limits", reader(input_hex_short_msg, "W", 5, 0x100, 0x200), "201\nff\n100\n", times("W[0x05]:", 3), "256"},
    {"hex short: max", reader(input_hex_short_msg, "W", 5, 0x100, 0x200), "200\n", "W[0x05]:", "512"},
    {"hex short: no digit", reader(input_hex_short_msg, "W", 5, 0, 0xFFFF), "z\n\n", times("W[0x05]:", 2), "5"},
    // Floats: "%f" conversion, float bounds, NaN refused.
    {"float shown as 100.000", reader(input_float_msg, "F", 100, 0, 1000), "\n", "F[100.000]:", "100"},
    {"float: max + a little, min - a little, then max", reader(input_float_msg, "F", 0, -1.5f, 2.5f), "2.51\n-1.51\nnan\nx\n2.5\n", times("F[0.000]:", 5), "2.5"},
    {"float: min, 12.75abc", reader(input_float_msg, "F", 0, -1.5f, 20), "-1.5\n", "F[0.000]:", "-1.5"},
    {"float: a number then text", reader(input_float_msg, "F", 0, -1.5f, 20), "12.75abc\n", "F[0.000]:", "12.75"},
    // Text: the first word, its length within the limits.
    {"string: 19 refused, 18 taken", string("old", 1, 18), LONG19 + "\n" + LONG18 + "\n", "T[old]:T[old]:", LONG18},
    {"string: one character", string("old", 1, 18), "x\n", "T[old]:", "x"},
    {"string: the first word", string("old", 1, 18), "  ab cd\n", "T[old]:", "ab"},
    {"string: too short", string("old", 4, 4), "abc\nabcd\n", "T[old]:T[old]:", "abcd"},
    {"string: keeps", string("old", 4, 4), "\n", "T[old]:", "old"},
    {"string: a word of 1022 characters", string("old", 1, 1023), std::string(1022, 'w') + "\n", "T[old]:", std::string(1022, 'w')},
    {"string: max too large for the scratch", string("old", 1, 1024), "abc\n", "T[old]:T[old]:", "old"},
    // Yes or no, letter case ignored.
    {"yes: Y", yesno(0), "Y\n", "Y/N[no]:", "1"},
    {"yes: yes", yesno(0), "yes\n", "Y/N[no]:", "1"},
    {"no: NO", yesno(1), "NO\n", "Y/N[yes]:", "0"},
    {"no: n", yesno(1), "n\n", "Y/N[yes]:", "0"},
    {"nope repeats", yesno(7), "nope\nyess\nN\n", times("Y/N[yes]:", 3), "0"},
    {"yes/no keeps", yesno(7), "\n", "Y/N[yes]:", "7"},
    // The command-line readers: the piece after the command word, split at blanks only.
    {"cmd: value on the line", integer_cmd("st 5\n", 1), "", "", "5"},
    {"cmd: runs of blanks", integer_cmd("st   5\n", 1), "", "", "5"},
    {"cmd: refused on the line, prompted", integer_cmd("st 11\n", 1), "8\n", "N[3]:", "8"},
    {"cmd: garbage on the line, prompted", integer_cmd("st x\n", 1), "\n", "N[3]:", "3"},
    {"cmd: nothing on the line", integer_cmd("st\n", 1), "4\n", "N[3]:", "4"},
    {"cmd: a tab does not separate", integer_cmd("st\t5\n", 1), "\n", "N[3]:", "3"},
    {"cmd: the second parameter", integer_cmd("st 1 2\n", 2), "", "", "2"},
    {"cmd: index 0 is the command word", integer_cmd("7 1\n", 0), "", "", "7"},
    {"cmd: a missing second parameter", integer_cmd("st 1\n", 2), "9\n", "N[3]:", "9"},
    {"cmd: min and max on the line", integer_cmd("st -2\n", 1, -2, 2), "", "", "-2"},
    {"cmd: max + 1 on the line", integer_cmd("st 3\n", 1, -2, 2), "2\n", "N[3]:", "2"},
    {"cmd: the second reader prompts", integer_cmd_twice("sl 2 3\n"), "4\n", "B[0]:", "2,4"},
    {"cmd: the second reader refuses too", integer_cmd_twice("sl 2\n"), "11\n\n", "B[0]:B[0]:", "2,0"},
    {"cmd text: value on the line", string_cmd("ss wxyz tail\n", 1), "", "", "wxyz"},
    {"cmd text: the second parameter", string_cmd("ss a bb ccc\n", 2), "", "", "bb"},
    {"cmd text: too long on the line", string_cmd("ss vwxyz\n", 1), "\nmn\n", "T[abc]:", "abc"},
    {"cmd text: too short on the line", string_cmd("ss ab\n", 1, 3, 4), "pq\nrst\n", "T[abc]:T[abc]:", "rst"},
    {"cmd text: a tab does not separate", string_cmd("ss\tab\n", 1), "cd\n", "T[abc]:", "cd"},
    {"cmd text, then a prompted integer", string_then_integer_cmd("ss ab 5\n"), "6\n", "N[0]:", "ab,6"},
    {"cmd text: max too large for the scratch", string_cmd("ss ab\n", 1, 1, 1024), "", "T[abc]:", "abc"},
};
// clang-format on

TEST(Readers, PromptAcceptRefuseStore) {
    for (const ReaderCase& c : READERS) {
        SCOPED_TRACE(c.name);
        Console con(c.input);
        EXPECT_EQ(c.run(), c.value);
        EXPECT_EQ(con.out(), c.out);
    }
}

// A null line is a line with no parameter.
TEST(Readers, NullCommandLinePrompts) {
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
