// The nv-term binary's command-line table, run as a process.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "e2e.h"

namespace {

using e2e::BANNER;

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

TEST(CommandLine, SingleWordOtherThanEthPrintsOnlyTheBanner) {
    for (const char* word : {"usb", "ETH", "cxfw", "--help"}) {
        auto r = proc::run({NV_TERM_BIN, word});
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_code, 0) << word;
        EXPECT_EQ(r.output, BANNER) << word;
    }
}

TEST(CommandLine, InvalidFourArgumentLinesTouchNoFile) {
    proc::TempDir dir;
    const std::string raw = dir.file("in.tar"), xfw = dir.file("out.xfw");
    struct {
        std::vector<std::string> args;
    } cases[] = {
        {{NV_TERM_BIN, "cxfw", raw, xfw, "2"}},      // a bare version
        {{NV_TERM_BIN, "CXFW", raw, xfw, "1.0"}},    // the keyword is case-sensitive
        {{NV_TERM_BIN, "cxfw", raw, xfw, "x.1"}},
        {{NV_TERM_BIN, "make", raw, xfw, "1.0"}},
    };
    for (auto& tc : cases) {
        auto r = proc::run(tc.args);
        EXPECT_EQ(r.exit_code, 255) << tc.args[1] << " " << tc.args[4];
        EXPECT_EQ(r.output, BANNER + "Invalid parameter!\n");
        EXPECT_FALSE(exists(raw));
        EXPECT_FALSE(exists(xfw));
    }
}

}  // namespace
