// The nv-term binary's command-line modes other than the interactive session: single words,
// invalid four-argument lines, and "cxfw" building a container offline, byte for byte, or
// leaving no file when it fails. ("eth" runs over USB: tests/usb_e2e.)
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>

#include "session.h"

namespace {

using namespace session;

// Root writes anywhere: a destination the operator may not write is tried as user nobody.
const strings AS_NOBODY = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};

TEST(CommandLine, EveryModeOutputExitCodeAndFiles) {
    proc::TempDir dir;
    write_file(dir.file("fw.tar"), "abcdefghijkl");
    const Sums abc = {0x606F6E6D, 0x606F6E7C};
    ASSERT_EQ(mkdir(dir.file("ro").c_str(), 0555), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const struct {
        strings args;
        std::string output;
        int exit_code;
        size_t files;  // in the directory afterwards, fw.tar and ro included
    } cases[] = {
        {{"usb"}, BANNER, 0, 2},
        {{"ETH"}, BANNER, 0, 2},
        {{"cxfw"}, BANNER, 0, 2},
        {{"--help"}, BANNER, 0, 2},
        {{"cxfw", "fw.tar", "a.xfw", "2"}, BANNER + "Invalid parameter!\n", 255, 2},
        {{"CXFW", "fw.tar", "a.xfw", "1.0"}, BANNER + "Invalid parameter!\n", 255, 2},
        {{"cxfw", "fw.tar", "a.xfw", "x.1"}, BANNER + "Invalid parameter!\n", 255, 2},
        {{"make", "fw.tar", "a.xfw", "1.0"}, BANNER + "Invalid parameter!\n", 255, 2},
        {{"cxfw", "none.tar", "a.xfw", "1.5"},
         BANNER + "Creating firmware version 1.5...\nError loading file:none.tar!\n",
         255,
         2},
        {{"cxfw", "fw.tar", "ro/a.xfw", "1.5"},
         cxfw_text("fw.tar", "ro/a.xfw", abc) + "Error writing file:ro/a.xfw!\n",
         255,
         2},
        {{"cxfw", "fw.tar", "nv52fw.xfw", "1.5"},
         cxfw_text("fw.tar", "nv52fw.xfw", abc) + "Ok.\n",
         0,
         3},
    };
    std::string skipped;
    for (const auto& c : cases) {
        strings argv = c.args;
        argv.insert(argv.begin(), NV_TERM_BIN);
        const bool read_only = c.args.size() > 2 && c.args[2] == "ro/a.xfw";
        // Wine refuses to run as another user in a prefix that is not that user's.
        if (read_only && geteuid() == 0 && proc::windows_run()) {
            skipped = "ro/a.xfw not tried: Wine as root runs no other user in root's prefix";
            continue;
        }
        if (read_only && geteuid() == 0)
            argv.insert(argv.begin(), AS_NOBODY.begin(), AS_NOBODY.end());
        auto r = proc::run(argv, "", dir.path());
        EXPECT_EQ(r.output, c.output) << argv.back();
        EXPECT_EQ(r.exit_code, c.exit_code) << argv.back();
        EXPECT_EQ(names_in(dir.path()).size(), c.files) << argv.back();
        EXPECT_EQ(names_in(dir.file("ro")).size(), 0u) << "no partial container";
    }

    // The container: header of 72 bytes, then the image with word i XORed with i^4.
    std::string xfw = read_file(dir.file("nv52fw.xfw"));
    ASSERT_EQ(xfw.size(), 72u + 12u);
    EXPECT_EQ(xfw.substr(0, 20), std::string("ORVANTIS FIRMWARE\0\0\0", 20));
    EXPECT_EQ(xfw.substr(20, 20), std::string("NV-52") + std::string(15, '\0'));
    const uint32_t fields[][2] = {{40, 12},         {44, 12},         {48, 0x0105},
                                  {52, 0x606F6E6D}, {56, 0x606F6E7C}, {68, 1}};
    for (const auto& f : fields) EXPECT_EQ(word(xfw, f[0]), f[1]) << "offset " << f[0];
    EXPECT_EQ(xfw.substr(72), "abcddfghyjkl");
    if (!skipped.empty()) GTEST_SKIP() << skipped;
}

// A container that may not be replaced, a read-only file or a directory, is left as it was, and no
// temporary file stays beside it. (On Windows a read-only file is one with the read-only
// attribute, which Wine gives a file without write permission.) On Linux as root the program
// runs as user nobody, in a folder of nobody's.
TEST(CommandLine, AContainerThatMayNotBeReplacedIsLeftAsItWas) {
    proc::TempDir dir;
    write_file(dir.file("fw.tar"), "abcdefghijkl");
    write_file(dir.file("old.xfw"), "old");
    ASSERT_EQ(chmod(dir.file("old.xfw").c_str(), 0444), 0);
    ASSERT_EQ(mkdir(dir.file("dir.xfw").c_str(), 0755), 0);
    strings as = {NV_TERM_BIN};
    if (geteuid() == 0 && !proc::windows_run()) {
        for (const char* name : {"", "/old.xfw", "/dir.xfw"})
            ASSERT_EQ(chown((dir.path() + name).c_str(), 65534, 65534), 0);
        as.insert(as.begin(), AS_NOBODY.begin(), AS_NOBODY.end());
    }
    const std::set<std::string> before = names_in(dir.path());
    for (const std::string target : {"old.xfw", "dir.xfw"}) {
        strings argv = as;
        argv.insert(argv.end(), {"cxfw", "fw.tar", target, "1.5"});
        auto r = proc::run(argv, "", dir.path());
        EXPECT_EQ(r.output, cxfw_text("fw.tar", target, {0x606F6E6D, 0x606F6E7C}) +
                                "Error writing file:" + target + "!\n");
        EXPECT_EQ(r.exit_code, 255) << target;
        EXPECT_EQ(names_in(dir.path()), before) << target;
        EXPECT_EQ(read_file(dir.file("old.xfw")), "old") << target;
    }
}

}  // namespace
