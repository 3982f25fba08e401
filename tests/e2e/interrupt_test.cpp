// "cxfw" interrupted while it writes a large container (a 256 MiB image): the program ends by
// the signal, and the folder holds the raw image and the old container, as it was, and nothing
// else.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "session.h"

namespace {

using namespace session;

std::set<std::string> names_in(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.insert(e->d_name);
        closedir(d);
    }
    return names;
}

TEST(CommandLine, AnInterruptedContainerLeavesTheOldOneAndNothingElse) {
    // A signal reaches Wine's own process, not the program's C runtime and its handlers.
    if (proc::windows_run()) GTEST_SKIP() << "under Wine: a POSIX signal is not the program's";
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(sig));
        proc::TempDir dir;
        write_file(dir.file("big.tar"), "");
        ASSERT_EQ(truncate(dir.file("big.tar").c_str(), 256 << 20), 0);  // sparse: no disk used
        write_file(dir.file("big.xfw"), "old");
        proc::Child c;
        ASSERT_TRUE(c.start({NV_TERM_BIN, "cxfw", "big.tar", "big.xfw", "1.5"}, dir.path()));
        ASSERT_TRUE(c.wait_for("Reading file big.tar..."));
        EXPECT_EQ(c.stop(sig), -1) << "ended before the interrupt: " << c.output();
        EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"big.tar", "big.xfw"}));
        EXPECT_EQ(read_file(dir.file("big.xfw")), "old");
    }
}

}  // namespace
