// "cxfw" ended by a signal while it writes a 256 MiB container. Under Wine a SIGINT arrives as
// Ctrl-C once the temporary exists; the other console events cannot be raised under Wine.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <set>
#include <vector>

#include "session.h"

namespace {

using namespace session;

// Waits until the folder holds `n` names, woken by each one created; false after 30 s without.
bool wait_for_names(const std::string& dir, size_t n) {
    const int fd = inotify_init1(IN_NONBLOCK);
    inotify_add_watch(fd, dir.c_str(), IN_CREATE | IN_MOVED_TO);
    pollfd p{fd, POLLIN, 0};
    char events[4096];
    while (names_in(dir).size() < n && poll(&p, 1, 30000) == 1)
        while (read(fd, events, sizeof events) > 0) {
        }
    close(fd);
    return names_in(dir).size() >= n;
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
            ASSERT_TRUE(wait_for_names(dir.path(), 3)) << "no temporary appeared";
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
