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

// ---- line primitives (the parsers and input_get: data/readers.txt) ----------------------------

TEST(LinePrimitives, Words) {
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
