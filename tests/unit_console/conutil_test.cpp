// The parsers behind every prompt, and the readers' rules the program's own sessions do not
// show: the command-line parameter for the first reader only, and the yes/no question.
#include "fixture.h"

namespace {

TEST(Parsers, NumbersAndTextsWithinTheirLimits) {
    struct {
        const char* text;
        int32_t min, max;
        int accepted;
        int32_t value;
    } cases[] = {
        {"12abc", 0, 100, 1, 12}, {"  -5\n", -12, 12, 1, -5},
        {"101", 0, 100, 0, 0},    {"-13", -12, 12, 0, 0},
        {"+7", 0, 9, 1, 7},       {"99999999999", INT32_MIN, INT32_MAX, 0, 0},
    };
    for (const auto& tc : cases) {
        int32_t v = 0;
        EXPECT_EQ(input_integer(tc.text, &v, tc.min, tc.max), tc.accepted) << tc.text;
        EXPECT_EQ(v, tc.value) << tc.text;
    }
    float f = 1;
    EXPECT_EQ(input_float("12.75mV", &f, 0, 999), 1);
    EXPECT_FLOAT_EQ(f, 12.75f);
    EXPECT_EQ(input_float("nan", &f, -1e9f, 1e9f) + input_float("1000", &f, 0, 999), 0);
    uint32_t u = 0;
    EXPECT_EQ(input_hex_integer("-1", &u, 0, 0xFFFFFFFF), 1);  // as "%x" reads it
    EXPECT_EQ(u, 0xFFFFFFFFu);
    EXPECT_EQ(input_hex_integer("1ffffffff", &u, 0, 0xFFFFFFFF), 0);
}

// Only the first reader of a line finds its parameter, after a blank; a tab separates nothing.
TEST(Readers, CommandLineParameterAndYesNo) {
    for (auto [line, first, out] :
         {std::tuple("sl 2   3\n", 2, "b:[0]:"), std::tuple("sl\t2\n", 0, "a[0]:b:[0]:")}) {
        Console c("\n1\n");
        std::string l = line;
        int32_t a = 0, b = 0;
        input_integer_msg_cmd(&a, -12, 12, "a", l.data(), 1);
        input_integer_msg_cmd(&b, 0, 3, "b:", l.data(), 1);
        EXPECT_EQ(std::pair(a, c.out()), std::pair(first, std::string(out))) << line;
    }
    Console c("nope\nn\n");
    int32_t v = 1;
    input_yesno_msg(&v, "Encrypt file");
    EXPECT_EQ(std::pair(v, c.out()),
              std::pair(0, std::string("Encrypt file[yes]:Encrypt file[yes]:")));
}

}  // namespace
