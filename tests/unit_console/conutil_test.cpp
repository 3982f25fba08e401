// The console input functions: readers on a null line, and the line primitives. (Every reader's
// prompt, what it accepts, refuses and stores: data/readers.txt; the menu engine: data/menus.txt.)
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fixture.h"

namespace {

// A null line has no parameter: the readers prompt. (Readers sharing a line: data/readers.txt.)
TEST(Readers, ANullLineHasNoParameter) {
    Console con("5\nab\n");
    int32_t v = 1;
    char s[8] = "x";
    input_integer_msg_cmd(&v, 0, 9, "N", nullptr, 1);
    input_string_msg_cmd(s, 1, 4, "T", nullptr, 1);
    EXPECT_EQ(std::pair(v, std::string(s)), std::pair(5, std::string("ab")));
    EXPECT_EQ(con.out(), "N[1]:T[x]:");
}

// ---- line primitives (the parsers: data/readers.txt) ------------------------------------------

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

}  // namespace
