// nv-spc as a user runs it: exit codes, messages, what is written and what is not, and the
// watch that follows a file replaced by rename.
#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <sstream>

#include <cstdio>
#include <cstdlib>

#include "safe_text.h"
#include "spc_spectrum.h"
#include "spc_support.h"
#include "stored.h"

using namespace spc_test;

namespace {

// The simulator's kind of spectrum, from a fixed seed: a line at channel 331 on a continuum.
std::string good_text(int32_t scale_lines = 1) {
    scene s;
    s.exp_level = 800, s.exp_length = 180, s.flat = 40;
    s.lines = {{331, 11, 100000.0 * scale_lines}};
    return spectrum_text(poisson(s, 3), 20, 19);
}

// data/NAME run in `dir`: "$ ARGS [< FILE]" runs nv-spc (ARGS split at blanks, FILE of `dir` on
// its input); the lines up to "= N" are its merged output, N its exit code; others are comments.
// Returns what the run printed.
std::string run_cases(const std::string& name, const std::string& dir) {
    std::istringstream in(
        e2e::read_file(std::string(NV_SOURCE_DIR) + "/tests/unit_spc/data/" + name));
    std::string line, now, printed;
    for (bool expected = false; std::getline(in, line);) {
        if (expected) {  // the stored output, replaced by the output of this run
            expected = line.rfind("= ", 0) != 0;
            continue;
        }
        now += line + "\n";
        if (line.empty() || line[0] != '$') continue;
        std::istringstream words(line.substr(1));
        std::vector<std::string> args;
        std::string input, w;
        while (words >> w) {
            if (w == "<" && words >> w)
                input = e2e::read_file(dir + "/" + w);
            else
                args.push_back(w);
        }
        auto r = nv_spc(args, dir, input);
        EXPECT_TRUE(r.output.empty() || r.output.back() == '\n') << line << ": no line end";
        now += r.output + "= " + std::to_string(r.exit_code) + "\n";
        printed += r.output;
        expected = true;
    }
    expect_stored(name, now);
    return printed;
}

// The files of data/DIR/ in `dir`.
void copy_data(const std::string& from, const proc::TempDir& dir) {
    const std::string src = std::string(NV_SOURCE_DIR) + "/tests/unit_spc/data/" + from + "/";
    for (const auto& f : e2e::names_in(src)) e2e::write_file(dir.file(f), e2e::read_file(src + f));
}

// Nothing that drives a terminal: escaping a line again changes only its backslashes, which the
// escaping itself writes.
void expect_shown_safely(const std::string& output) {
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        std::string again;
        for (char c : line) again += c == '\\' ? std::string("\\x5c") : std::string(1, c);
        EXPECT_EQ(device_text(line.c_str(), line.size()), again);
    }
}

}  // namespace

// data/cli_refusals.txt (bad counts, other writers' files, special files, empty input), and
// nothing written: the folder holds its inputs only, unchanged.
TEST(Cli, HelpUsageAndRefusals) {
    proc::TempDir dir;
    copy_data("input", dir);
    e2e::write_file(dir.file("long.spc"), std::string(10 << 20, '1') + "\n");
    // NOLINTNEXTLINE(bugprone-string-constructor): ten million line ends, on purpose
    e2e::write_file(dir.file("empty-lines.spc"), std::string(10000000, '\n'));
    e2e::write_file(dir.file("big.spc"), std::string(SPC_MAX_FILE_BYTES + 1, '1'));
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", dir.file("socket").c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    auto before = e2e::names_in(dir.path());
    run_cases("cli_refusals.txt", dir.path());
    close(sock);
    EXPECT_EQ(e2e::names_in(dir.path()), before);  // no output file, no temporary one left
    EXPECT_EQ(e2e::read_file(dir.file("keep.csv")), "old\n");
    auto r = proc::run({"/bin/sh", "-c", std::string(NV_SPC_BIN) + " info - < /dev/zero"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.output.rfind("nv-spc: standard input: file too large", 0), 0u) << r.output;
    // Standard output on a full disk: said, and a failure (a script's report is not complete).
    for (std::string args :
         {"info plain.csv", "info --json plain.csv", "export -f csv plain.csv"}) {
        r = proc::run({"/bin/sh", "-c",
                       "cd " + dir.path() + " && " + NV_SPC_BIN + " " + args + " > /dev/full"});
        EXPECT_EQ(r.exit_code, 1) << args;
        EXPECT_EQ(r.output, "nv-spc: standard output: No space left on device\n") << args;
    }
}

// What info, plot, trend, compare and export print (data/cli_outputs.txt, which says what its
// spectra hold), and the files plot and export write.
TEST(Cli, InfoExportAndPlot) {
    proc::TempDir dir;
    const std::string good = good_text();
    e2e::write_file(dir.file("spect.spc"), good);
    const timeval saved[2] = {{1765000000, 0}, {1765000000, 0}};  // exports' start: 20 s before
    ASSERT_EQ(utimes(dir.file("spect.spc").c_str(), saved), 0);
    // The same counts under header times that are no times: hREAL_LIVE.spc.
    const std::string counts = good.substr(good.find('\n', good.find('\n') + 1));
    for (std::string times : {"20 25", "-3 0", "0 10", "2 1"}) {
        std::string name = times;
        name[name.find(' ')] = '_';
        e2e::write_file(dir.file("h" + name + ".spc"),
                        times.replace(times.find(' '), 1, "\n") + counts);
    }
    scene s;
    s.exp_level = 3000, s.exp_length = 150, s.flat = 30;
    for (double kev : {661.7, 1173.2, 1332.5, 1460.8})
        s.lines.push_back(
            {kev / 2, 0.07 / FWHM_PER_SIGMA * std::sqrt(661.7 * kev) / 2, kev < 700 ? 2e5 : 4e4});
    e2e::write_file(dir.file("cs.spc"), spectrum_text(poisson(s, 11), 300, 290));
    // The same source measured for 100 s (a.spc), then for 200 s with the line moved by 2
    // channels and twice as strong per second (b.spc), saved at 05:46:40 and 07:46:40 UTC.
    for (int32_t live : {100, 200}) {
        scene t;
        t.flat = 4.0 * live, t.exp_level = 10.0 * live, t.exp_length = 300;
        t.lines = {{329.0 + live / 50, 11, live * live * 5.0}, {800, 15, 50.0 * live}};
        std::string name = live == 100 ? "a.spc" : "b.spc";
        e2e::write_file(dir.file(name), spectrum_text(poisson(t, live / 100), live + 5, live));
        const time_t at = live == 100 ? 1765000000 : 1765007200;
        const timeval saved[2] = {{at, 0}, {at, 0}};
        ASSERT_EQ(utimes(dir.file(name).c_str(), saved), 0);
    }
    e2e::write_file(dir.file("fig.svg"), "old");
    chmod(dir.file("fig.svg").c_str(), 0640);
    run_cases("cli_outputs.txt", dir.path());
    auto r = nv_spc({"export", "-f", "n42", "--calibrate", "331=661.7"}, dir.path());
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.output.find("<RadInstrumentData xmlns=\"http://physics.nist.gov/N42/2011/N42\""),
              std::string::npos);
    EXPECT_EQ(e2e::read_file(dir.file("fig.png")).substr(1, 3), "PNG");
    EXPECT_EQ(e2e::read_file(dir.file("fig.PDF")).substr(0, 5), "%PDF-");
    struct stat st;
    ASSERT_EQ(stat(dir.file("fig.svg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_NE(e2e::read_file(dir.file("fig.svg")).find("<svg"), std::string::npos);
    EXPECT_NE(e2e::read_file(dir.file("c.svg")).find("<svg"), std::string::npos);
    // 8 x 5 cm: 630 x 394 pixels in the PNG's header.
    EXPECT_EQ(e2e::read_file(dir.file("small.png")).substr(16, 8),
              std::string("\0\0\x02\x76\0\0\x01\x8a", 8));
}

// nv-term replaces the file by a rename; the watch ends at the end of its input.
TEST(Cli, WatchFollowsReplacements) {
    proc::TempDir dir;
    proc::Child watch;
    ASSERT_TRUE(watch.start({NV_SPC_BIN, "watch", "--width", "60"}, dir.path()));
    EXPECT_TRUE(watch.wait_for("nv-spc: waiting for spect.spc\n", false, 10000));
    std::string first = good_text(1), second = good_text(3);
    e2e::write_file(dir.file("spect.spc.tmp"), first);
    std::rename(dir.file("spect.spc.tmp").c_str(), dir.file("spect.spc").c_str());
    EXPECT_TRUE(watch.wait_for("spect.spc: 1024 channels", false, 10000)) << watch.output();
    EXPECT_TRUE(watch.wait_for("▼331.", false, 10000));
    // A key pressed (one byte of input) and another file in the folder change nothing; the
    // next replacement redraws.
    watch.send("x");
    e2e::write_file(dir.file("other.txt"), "x");
    e2e::write_file(dir.file("spect.spc.tmp"), second);
    std::rename(dir.file("spect.spc.tmp").c_str(), dir.file("spect.spc").c_str());
    EXPECT_TRUE(watch.wait_for("spect.spc: 1024 channels", false, 10000));
    // A file written in place but broken is reported, and the watch goes on.
    e2e::write_file(dir.file("spect.spc"), "1\n2\n");
    EXPECT_TRUE(watch.wait_for("nv-spc: spect.spc:3: missing closing line", false, 10000));
    auto r = watch.finish(10000);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_FALSE(r.timed_out);
    size_t draws = 0;
    for (size_t at = 0; (at = r.output.find("spect.spc: 1024 channels", at)) != std::string::npos;
         ++at)
        draws++;
    EXPECT_EQ(draws, 2u) << r.output;
}

TEST(Cli, WatchEndsOnInterrupt) {
    proc::TempDir dir;
    e2e::write_file(dir.file("spect.spc"), good_text());
    proc::Child watch;
    ASSERT_TRUE(watch.start({NV_SPC_BIN, "watch", "--width", "40"}, dir.path()));
    EXPECT_TRUE(watch.wait_for("spect.spc: 1024", false, 10000));
    EXPECT_EQ(watch.stop(SIGINT), 0);
}

// Other writers' files (data/cli_field.txt), and whatever text they hold shown escaped.
TEST(Cli, FieldFiles) {
    proc::TempDir dir;
    copy_data("field", dir);
    expect_shown_safely(run_cases("cli_field.txt", dir.path()));
}

// Where /proc is not mounted the file is opened by its name again (the examined one).
TEST(Cli, WithoutProc) {
#ifdef NV_SANITIZED
    GTEST_SKIP() << "the sanitizers' runtimes read /proc as the program starts";
#endif
    proc::TempDir dir;
    e2e::write_file(dir.file("spect.spc"), good_text());
    auto r = proc::run({"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                        "umount -l /proc && exec " + std::string(NV_SPC_BIN) + " info"},
                       "", dir.path(), 30000);
    if (r.output.find("unshare") != std::string::npos ||
        r.output.find("umount") != std::string::npos)
        GTEST_SKIP() << "no mount namespace here: " << r.output;
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find("Channels:     1024"), std::string::npos) << r.output;
}

// File names are shown escaped wherever they appear (messages, titles, trend rows, JSON, which
// a name that is not UTF-8 made abort); a FIFO or a device reached through a link is refused
// without being opened (inotify sees every open of them: opening a watchdog would arm it).
TEST(Cli, NamesAndNodes) {
    proc::TempDir dir;
    const std::string bad =
        "\x1b]0;x\x07\xe2\x80\xae\xc2\x9b\xff"
        "2J";
    e2e::write_file(dir.file(bad + ".spc"), good_text());
    e2e::write_file(dir.file(bad + ".csv"), "channel,counts\n0,-1\n");
    std::string all;
    for (const std::vector<std::string>& args : {std::vector<std::string>{"info", bad + ".spc"},
                                                 {"trend", bad + ".spc", bad + ".csv"},
                                                 {"trend", "--csv", bad + ".spc"},
                                                 {"plot", "--width", "100", bad + ".spc"},
                                                 {"info", "--json", bad + ".spc"},
                                                 {"info", bad + "missing"},
                                                 {"info", bad, bad},
                                                 {"plot", "-o", bad + "/a.png", bad + ".spc"}})
        all += nv_spc(args, dir.path()).output;
    proc::Child watch;
    ASSERT_TRUE(watch.start({NV_SPC_BIN, "watch", "--width", "100", bad + ".spc"}, dir.path()));
    EXPECT_TRUE(watch.wait_for("1024 channels", false, 10000));
    all += watch.finish(10000).output;
    expect_shown_safely(all);
    EXPECT_NE(all.find("\\x1b]0;x\\x07\\xe2\\x80\\xae\\xc2\\x9b\\xff2J.spc: 1024 channels"),
              std::string::npos)
        << all;

    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    bool device = mknod(dir.file("device").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
    int watcher = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watcher, 0);
    for (const char* node : {"fifo", "device"}) {
        if (!device && std::string(node) == "device") continue;
        ASSERT_GE(inotify_add_watch(watcher, dir.file(node).c_str(), IN_OPEN), 0);
        ASSERT_EQ(symlink(node, dir.file(std::string("link-") + node).c_str()), 0);
        const std::string link = std::string("link-") + node;
        for (const auto& args : {std::vector<std::string>{"info", link},
                                 {"plot", link},
                                 {"export", "-f", "csv", link}}) {
            auto r = nv_spc(args, dir.path());
            EXPECT_EQ(r.exit_code, 1) << r.output;
            EXPECT_NE(r.output.find(std::string(": not a regular file (a ") +
                                    (node[0] == 'f' ? "FIFO" : "device")),
                      std::string::npos)
                << r.output;
        }
    }
    char events[4096];
    EXPECT_LT(read(watcher, events, sizeof events), 0) << "a node was opened";
    close(watcher);
    if (!device) GTEST_SKIP() << "no device node: mknod needs CAP_MKNOD (the FIFO was tried)";
}
