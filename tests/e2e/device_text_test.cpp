// The versions from an instrument that sends terminal controls and broken UTF-8 (nv52-sim
// --hostile-texts, whose serial number carries them too and is still recognised): shown
// escaped, byte for byte, and nothing of them reaches the terminal as it came.
#include <gtest/gtest.h>

#include "session.h"

namespace {

using namespace session;

TEST(Sessions, HostileVersionsAreShownEscaped) {
    Bench b;
    ASSERT_TRUE(b.start({"--hostile-texts"}));
    proc::Result r = b.run("ve\nq\n");
    EXPECT_NE(r.output.find(
                  "\nVersions\nOverall\t\t= 2.14\\x1b]0;owned\\x07\n"
                  "File system\t= fs\\x0d\\x0a1.8\nGui\t\t= \\xc2\\x9b31m\n"
                  "Talvek\t\t= tv\\xff\\xfe\nGpp\t\t= \\x1b[8mgpp\nKernel\t\t= \\x7f\\x01k\n\n>"),
              std::string::npos)
        << r.output;
    for (char c : {'\x1b', '\x07', '\r', '\x9b', '\xff', '\x7f', '\x01'})
        EXPECT_EQ(r.output.find(c), std::string::npos) << static_cast<int>(c);
}

}  // namespace
