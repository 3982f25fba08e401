// Under Wine the names reach nv-term.exe through the wide command line and the working folder,
// and a container held open as C's fopen does is refused after a short wait, with the reason, and
// kept as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "session.h"

namespace {

using namespace session;

const std::string GREEK = "\xce\xb5\xce\xbb\xce\xbb\xce\xb7\xce\xbd\xce\xb9\xce\xba\xce\xac";
const std::string CYRILLIC = "\xd1\x81\xd0\xbf\xd0\xb5\xd0\xba\xd1\x82\xd1\x80";
const std::string CJK = "\xe5\x9b\xba\xe4\xbb\xb6";
const std::string IN_USE =
    "The file is in use by another program: close it there, then try again.\n";

TEST(Names, AnyScriptAndAnyLengthOnTheCommandLineAndHeldByAReader) {
    proc::TempDir dir;
    const std::string raw = GREEK + ".bin", held = CYRILLIC + ".xfw";
    write_file(dir.file(raw), "abcdefghijkl");
    write_file(dir.file(held), "old");
    Holder reader(dir.file(held));
    ASSERT_TRUE(reader.holding());
    const std::string deep = std::string(100, 'd') + "/" + std::string(100, 'e');
    for (const std::string& sub : {CYRILLIC, std::string(100, 'd'), deep})
        ASSERT_EQ(mkdir(dir.file(sub).c_str(), 0755), 0);
    const std::string long_name = deep + "/" + std::string(96, 'f') + ".xfw";
    ASSERT_GT(long_name.size(), 300u);
    for (const std::string& xfw : {CJK + ".xfw", CYRILLIC + "/" + CJK + ".xfw", long_name, held}) {
        SCOPED_TRACE(xfw);
        const bool refused = xfw == held && proc::windows_run();
        auto r = proc::run({NV_TERM_BIN, "cxfw", raw, xfw, "1.5"}, "", dir.path());
        EXPECT_EQ(r.output, cxfw_text(raw, xfw, {0x606F6E6D, 0x606F6E7C}) +
                                (refused ? "Error writing file:" + xfw + "!\n" + IN_USE : "Ok.\n"));
        EXPECT_EQ(r.exit_code, refused ? 255 : 0);
        const std::string now = read_file(dir.file(xfw));
        EXPECT_EQ(refused ? now : now.substr(std::min<size_t>(72, now.size())),
                  refused ? "old" : "abcddfghyjkl");
    }
}

}  // namespace
