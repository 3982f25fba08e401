// "cxfw" interrupted while it writes a large container (a 256 MiB image): the program ends by
// the signal, and the folder holds the raw image and the old container, as it was, and nothing
// else. Under Wine a SIGINT reaches the program as Ctrl-C (a console control event), once its
// temporary exists; the other events (Ctrl-Break, closing the console, logoff) cannot be raised
// under Wine and are tested in tests/win.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <vector>

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
    const std::vector<int> signals =
        proc::windows_run() ? std::vector<int>{SIGINT} : std::vector<int>{SIGTERM, SIGINT};
    for (int sig : signals) {
        SCOPED_TRACE(strsignal(sig));
        proc::TempDir dir;
        write_file(dir.file("big.tar"), "");
        ASSERT_EQ(truncate(dir.file("big.tar").c_str(), 256 << 20), 0);  // sparse: no disk used
        write_file(dir.file("big.xfw"), "old");
        proc::Child c;
        ASSERT_TRUE(c.start({NV_TERM_BIN, "cxfw", "big.tar", "big.xfw", "1.5"}, dir.path()));
        ASSERT_TRUE(c.wait_for("Reading file big.tar..."));
        if (proc::windows_run()) {  // Wine's SIGINT handler is there from the start, ours not
            for (int i = 0; i < 3000 && names_in(dir.path()).size() < 3; ++i) usleep(10000);
            ASSERT_EQ(names_in(dir.path()).size(), 3u) << "no temporary appeared";
            c.stop(sig);
            EXPECT_EQ(c.output().find("Writing file"), std::string::npos) << "not interrupted";
        } else {
            EXPECT_EQ(c.stop(sig), -1) << "ended before the interrupt: " << c.output();
        }
        EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"big.tar", "big.xfw"}));
        EXPECT_EQ(read_file(dir.file("big.xfw")), "old");
    }
}

}  // namespace
