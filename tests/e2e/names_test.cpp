// File names in any script and of any length, end to end: the command line, a name typed at the
// flash prompt, and a container another program holds open. Under Wine (make test-windows) the
// names reach nv-term.exe through the wide command line and the working folder, and the reader
// is nv-hold.exe, which holds the file as C's fopen does: there the held container is refused
// after a short wait and kept as it was, while on Linux a reader hinders nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "session.h"

namespace {

using namespace session;

const std::string GREEK = "\xce\xb5\xce\xbb\xce\xbb\xce\xb7\xce\xbd\xce\xb9\xce\xba\xce\xac";
const std::string CYRILLIC = "\xd1\x81\xd0\xbf\xd0\xb5\xd0\xba\xd1\x82\xd1\x80";
const std::string CJK = "\xe5\x9b\xba\xe4\xbb\xb6";

TEST(Names, AnyScriptAndAnyLengthOnTheCommandLine) {
    proc::TempDir dir;
    const std::string raw = GREEK + ".bin";
    write_file(dir.file(raw), "abcdefghijkl");
    const std::string deep = std::string(100, 'd') + "/" + std::string(100, 'e');
    for (const std::string& sub : {CYRILLIC, std::string(100, 'd'), deep})
        ASSERT_EQ(mkdir(dir.file(sub).c_str(), 0755), 0);
    const std::string long_name = deep + "/" + std::string(96, 'f') + ".xfw";
    ASSERT_GT(long_name.size(), 300u);
    for (const std::string& xfw : {CJK + ".xfw", CYRILLIC + "/" + CJK + ".xfw", long_name}) {
        SCOPED_TRACE(xfw);
        auto r = proc::run({NV_TERM_BIN, "cxfw", raw, xfw, "1.5"}, "", dir.path());
        EXPECT_EQ(r.output, cxfw_text(raw, xfw, {0x606F6E6D, 0x606F6E7C}) + "Ok.\n");
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(read_file(dir.file(xfw)).substr(72), "abcddfghyjkl");
    }
}

TEST(Names, TypedAtThePromptAndHeldByAReader) {
    Bench b;
    ASSERT_TRUE(b.start());
    const std::string xfw = CYRILLIC + ".xfw";
    const Sums s = make_container(b, raw_image(8), xfw);
    proc::Result r = nv_term(b.sim.net_answers() + "fl\n" + xfw + "\nq\n", b.dir.path());
    const std::string read = screen("linked") + flash_head(xfw, s);  // the flash's outcome aside
    EXPECT_EQ(r.output.substr(0, read.size()), read);

    const std::string before = read_file(b.dir.file(xfw));
    Holder reader(b.dir.file(xfw));
    ASSERT_TRUE(reader.holding());
    r = proc::run({NV_TERM_BIN, "cxfw", "fw.tar", xfw, "1.5"}, "", b.dir.path());
    if (proc::windows_run()) {
        EXPECT_EQ(r.output, cxfw_text("fw.tar", xfw, s) + "Error writing file:" + xfw + "!\n");
        EXPECT_EQ(r.exit_code, 255);
        EXPECT_EQ(read_file(b.dir.file(xfw)), before);
    } else {
        EXPECT_EQ(r.output, cxfw_text("fw.tar", xfw, s) + "Ok.\n");
    }
}

}  // namespace
