// The escapes every data file of the tests is written in.
#include <gtest/gtest.h>

#include "escapes.h"

TEST(Escapes, DecodedAsWrittenAndBrokenOnesRefused) {
    const std::pair<std::string, std::string> table[] = {
        {R"(a\nb\rc\td\0)", std::string("a\nb\rc\td\0", 8)},
        {R"(\\n \x41\x7f\xC3\xa9)", "\\n A\x7f\xc3\xa9"},
        {R"(\"\{\}\]\q)", "\"{}]q"},
        {R"(\[3*ab]c\[0*x])", "abababc"},
        {R"(\[2*\n\x20\]]\[2*<\[2*-]>])", "\n ]\n ]<--><-->"},
        {"ends in \\", "ends in \\"},
    };
    for (const auto& [written, meant] : table)
        EXPECT_EQ(escapes::unescaped(written), meant) << written;
    for (const char* broken : {R"(\x4)", R"(\xg0)", R"(\[3ab])", R"(\[*a])", R"(\[3*ab)", R"(\[3)"})
        EXPECT_THROW(escapes::unescaped(broken), std::invalid_argument) << broken;
    std::string_view s = R"(a\{b{c\\)";
    size_t at = 0;
    EXPECT_EQ(escapes::unescaped(s, &at, "{"), "a{b");
    EXPECT_EQ(at, 4u);
    EXPECT_FALSE(escapes::take_joiner(s));  // an escaped backslash
    for (std::string_view line : {"ab\\", "ab\\\\\\", "\\"}) {
        std::string_view rest = line;
        EXPECT_TRUE(escapes::take_joiner(rest)) << line;
        EXPECT_EQ(rest, line.substr(0, line.size() - 1));
    }
}
