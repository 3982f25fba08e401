// "cxfw" building a container offline, byte for byte, and onto targets that may not be written.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>

#include "session.h"

namespace {

using namespace session;

// A target that may not be written is left as it was, no temporary beside it. Wine makes a file
// without write permission read-only. Root writes anywhere: on Linux it runs nv-term as nobody.
TEST(CommandLine, ContainersByteForByteAndTargetsThatMayNotBeWritten) {
    proc::TempDir dir;
    write_file(dir.file("fw.tar"), "abcdefghijkl");
    write_file(dir.file("old.xfw"), "old");
    ASSERT_EQ(chmod(dir.file("old.xfw").c_str(), 0444), 0);
    ASSERT_EQ(mkdir(dir.file("dir.xfw").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("ro").c_str(), 0555), 0);
    const bool wine_as_root = geteuid() == 0 && proc::windows_run();
    strings as = {NV_TERM_BIN}, targets = {"old.xfw", "dir.xfw"};
    if (!wine_as_root) targets.push_back("ro/a.xfw");  // root's Wine writes in ro/
    if (geteuid() == 0 && !proc::windows_run()) {
        for (const char* name : {"", "/old.xfw", "/dir.xfw"})
            ASSERT_EQ(chown((dir.path() + name).c_str(), 65534, 65534), 0);
        as = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", NV_TERM_BIN};
    }
    const std::set<std::string> before = names_in(dir.path());
    const Sums abc = {0x606F6E6D, 0x606F6E7C};
    for (const std::string& target : targets) {
        strings argv = as;
        argv.insert(argv.end(), {"cxfw", "fw.tar", target, "1.5"});
        auto r = proc::run(argv, "", dir.path());
        EXPECT_EQ(r.output,
                  cxfw_text("fw.tar", target, abc) + "Error writing file:" + target + "!\n");
        EXPECT_EQ(r.exit_code, 255) << target;
        EXPECT_EQ(names_in(dir.path()), before) << target;
        EXPECT_EQ(names_in(dir.file("ro")).size(), 0u) << target;
        EXPECT_EQ(read_file(dir.file("old.xfw")), "old") << target;
    }

    // The container: header of 72 bytes, then the image with word i XORed with i^4.
    auto r = proc::run({NV_TERM_BIN, "cxfw", "fw.tar", "new.xfw", "1.5"}, "", dir.path());
    EXPECT_EQ(r.output, cxfw_text("fw.tar", "new.xfw", abc) + "Ok.\n");
    std::string xfw = read_file(dir.file("new.xfw"));
    ASSERT_EQ(xfw.size(), 72u + 12u);
    EXPECT_EQ(xfw.substr(0, 20), std::string("ORVANTIS FIRMWARE\0\0\0", 20));
    EXPECT_EQ(xfw.substr(20, 20), std::string("NV-52") + std::string(15, '\0'));
    const uint32_t fields[][2] = {{40, 12},         {44, 12},         {48, 0x0105},
                                  {52, 0x606F6E6D}, {56, 0x606F6E7C}, {68, 1}};
    for (const auto& f : fields) EXPECT_EQ(word(xfw, f[0]), f[1]) << "offset " << f[0];
    EXPECT_EQ(xfw.substr(72), "abcddfghyjkl");
    if (wine_as_root) GTEST_SKIP() << "ro/a.xfw not tried: Wine as root runs no other user";
}

}  // namespace
