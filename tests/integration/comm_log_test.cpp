// The console log: categories, levels and prefixes, the error stream, records longer than the
// formatting buffer, and the real standard streams (each call written whole and flushed at
// once, so even a process that ends without flushing has printed everything).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "comm_peers.h"
#include "error_log.h"
#include "libcomm.h"

namespace {

TEST(CommLog, CategoriesLevelsAndPrefixes) {
    ErrorLog log(true);
    EXPECT_EQ(log_write("MAIN", "never registered"), 0);
    EXPECT_EQ(log_append("MAIN", "never registered"), 0);
    EXPECT_EQ(log_error("no error level yet"), 0);
    EXPECT_EQ(log.take(), "");

    EXPECT_EQ(log_addlevel("MAIN", 0, 1, 0, 0, ""), 0);
    EXPECT_EQ(log_addlevel("EVENTS", 0, 0, 0, 0, ""), 0);
    EXPECT_EQ(log_addlevel("P", 0, 2, 0, 0, "[p] "), 0);
    EXPECT_EQ(log_addlevel(nullptr, 0, 1, 0, 0, ""), -1);
    EXPECT_EQ(log_write("MAIN", "Writing block %d of %d...", 1, 3), 0);
    EXPECT_EQ(log_append("MAIN", "%s\n", "Ok."), 0);
    EXPECT_EQ(log.take(), "o[Writing block 1 of 3...]o[Ok.\n]");
    log_write("EVENTS", "off");
    log_append("EVENTS", "off");
    log_write("MAI", "no such category");
    log_write("MAINS", "no such category");
    log_write(nullptr, "no category");
    EXPECT_EQ(log.take(), "");
    log_write("P", "w%c", '!');
    log_append("P", "a");
    EXPECT_EQ(log.take(), "o[[p] ]o[w!]o[a]");

    const struct {
        const char* category;
        int level, result;
        bool shown;
    } levels[] = {
        {"EVENTS", 1, 0, true},   {"EVENTS", 0, 0, false}, {"EVENTS", 2, 0, true},
        {"EVENTS", -1, 0, false}, {"MAIN", 0, 0, false},   {"MAIN", 1, 0, true},
        {"NONE", 1, -1, false},   {nullptr, 1, -1, false},
    };
    for (const auto& c : levels) {
        SCOPED_TRACE(std::string(c.category ? c.category : "null") + " " + std::to_string(c.level));
        EXPECT_EQ(log_setlevel(c.category, c.level), c.result);
        log_write(c.category, "w");
        log_append(c.category, "a");
        EXPECT_EQ(log.take(), c.shown ? "o[w]o[a]" : "");
    }
    // Declaring a category again replaces its level and prefix.
    EXPECT_EQ(log_addlevel("P", 0, 0, 0, 0, "[q] "), 0);
    log_write("P", "hidden");
    EXPECT_EQ(log_addlevel("P", 0, 1, 0, 0, nullptr), 0);
    log_write("P", "bare");
    EXPECT_EQ(log.take(), "o[bare]");

    // The error stream has its own level and prefix and no category.
    EXPECT_EQ(log_seterror(0, 1, 0, 0, "E: "), 0);
    EXPECT_EQ(log_error("Command %s error(code=%d)!\n", "Q8_get_params", 255), 0);
    EXPECT_EQ(log.take(), "e[E: ]e[Command Q8_get_params error(code=255)!\n]");
    log_seterror(0, 0, 0, 0, "E: ");
    log_error("off");
    log_seterror(0, -1, 0, 0, "");
    log_error("off");
    EXPECT_EQ(log.take(), "");
    log_seterror(0, 1, 0, 0, nullptr);
    log_error("\nDevice not connected!\n");
    EXPECT_EQ(log.take(), "e[\nDevice not connected!\n]");

    // A reset forgets every category and the error level.
    log_reset();
    log_write("MAIN", "forgotten");
    log_error("forgotten");
    EXPECT_EQ(log.take(), "");
}

TEST(CommLog, LongRecordsArePrintedWhole) {
    ErrorLog log(true);
    log_addlevel("MAIN", 0, 1, 0, 0, "");
    log_seterror(0, 1, 0, 0, "");
    for (size_t n : {size_t{2046}, size_t{2047}, size_t{2048}, size_t{2049}, size_t{10000}}) {
        std::string s(n, 'x');
        for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
        log.take();
        log_write("MAIN", "%s", s.c_str());
        EXPECT_EQ(log.text(), s) << n;
        log.take();
        log_error("<%s>", s.c_str());
        EXPECT_EQ(log.text(), "<" + s + ">") << n;
    }
}

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
