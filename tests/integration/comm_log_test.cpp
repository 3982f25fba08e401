// The console log on the real standard streams: each call written whole and flushed at once, so
// even a process that ends without flushing has printed everything. Categories, levels, prefixes,
// the error stream and long records: data/log_calls.txt.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "comm_peers.h"
#include "libcomm.h"

namespace {

// The standard streams themselves, in a child that ends without flushing anything.
TEST(CommLog, StandardStreamsGetEveryCallAtOnce) {
    int out[2], err[2];
    ASSERT_EQ(pipe(out), 0);
    ASSERT_EQ(pipe(err), 0);
    const std::string long_text(5000, 'L');
    pid_t child = fork();
    if (child == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        log_set_sink(nullptr, nullptr);
        log_reset();
        log_addlevel("MAIN", 0, 1, 0, 0, "> ");
        log_addlevel("EVENTS", 0, 0, 0, 0, "");
        log_seterror(0, 1, 0, 0, "! ");
        log_write("MAIN", "Connecting device...");
        log_append("MAIN", "Ok.\n");
        log_write("EVENTS", "hidden\n");
        log_error("\nError connecting device!\n");
        log_write("MAIN", "%s\n", long_text.c_str());
        _exit(0);  // no flush of the standard streams here
    }
    ::close(out[1]);
    ::close(err[1]);
    std::string printed = read_bytes(out[0]);
    std::string errors = read_bytes(err[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ::close(out[0]);
    ::close(err[0]);
    EXPECT_EQ(printed, "> Connecting device...Ok.\n> " + long_text + "\n");
    EXPECT_EQ(errors, "! \nError connecting device!\n");
}

}  // namespace
