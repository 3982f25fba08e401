// Firmware end to end: a container built by "nv-term cxfw", uploaded to nv52-sim through the
// menu and flashed, with failing block writes, a refused flash and containers the upload must
// not send. The whole console output is compared, and the simulator's log says what was sent.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "session.h"

namespace {

using namespace session;
using strings = std::vector<std::string>;

strings repeat(const std::string& item, int n) {
    return strings(static_cast<size_t>(n), item);
}

strings operator+(strings a, const strings& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool dir_is_empty(const std::string& path) {
    DIR* d = opendir(path.c_str());
    if (d == nullptr) return false;
    int entries = 0;
    while (dirent* e = readdir(d))
        entries += std::string(e->d_name) != "." && e->d_name != std::string("..");
    closedir(d);
    return entries == 0;
}

// ---- the container, offline ---------------------------------------------------------------------

TEST(FirmwareContainer, BuiltOfflineByteForByte) {
    proc::TempDir dir;
    write_file(dir.file("fw.tar"), "abcdefghijkl");
    auto r = proc::run({NV_TERM_BIN, "cxfw", "fw.tar", "nv52fw.xfw", "1.5"}, "", dir.path());
    EXPECT_EQ(r.output, cxfw_text("fw.tar", "nv52fw.xfw", {0x606F6E6D, 0x606F6E7C}) + "Ok.\n");
    EXPECT_EQ(r.exit_code, 0);

    std::string xfw = read_file(dir.file("nv52fw.xfw"));
    ASSERT_EQ(xfw.size(), 72u + 12u);
    EXPECT_EQ(xfw.substr(0, 20), std::string("ORVANTIS FIRMWARE\0\0\0", 20));
    EXPECT_EQ(xfw.substr(20, 20), std::string("NV-52") + std::string(15, '\0'));
    const uint32_t fields[][2] = {{40, 12},         {44, 12},         {48, 0x0105},
                                  {52, 0x606F6E6D}, {56, 0x606F6E7C}, {68, 1}};
    for (const auto& f : fields) EXPECT_EQ(word(xfw, f[0]), f[1]) << "offset " << f[0];
    EXPECT_EQ(xfw.substr(72), "abcddfghyjkl");
}

TEST(FirmwareContainer, FailuresLeaveNoContainer) {
    proc::TempDir dir;
    write_file(dir.file("fw.tar"), raw_image(1000));
    const Sums s = sums_of(raw_image(1000));

    // A raw image that is not there.
    auto r = proc::run({NV_TERM_BIN, "cxfw", "none.tar", "a.xfw", "1.5"}, "", dir.path());
    EXPECT_EQ(r.output,
              e2e::BANNER + "Creating firmware version 1.5...\nError loading file:none.tar!\n");
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_NE(access(dir.file("a.xfw").c_str(), F_OK), 0);

    // A destination directory the operator may not write: the program runs unprivileged, since
    // a privileged user writes anywhere.
    ASSERT_EQ(mkdir(dir.file("ro").c_str(), 0555), 0);
    strings argv = {NV_TERM_BIN, "cxfw", "fw.tar", "ro/a.xfw", "1.5"};
    if (geteuid() == 0) {
        if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "root without setpriv";
        chmod(dir.path().c_str(), 0755);
        chmod(dir.file("fw.tar").c_str(), 0644);
        argv.insert(argv.begin(),
                    {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    r = proc::run(argv, "", dir.path());
    EXPECT_EQ(r.output, cxfw_text("fw.tar", "ro/a.xfw", s) + "Error writing file:ro/a.xfw!\n");
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_TRUE(dir_is_empty(dir.file("ro")));
}

// ---- upload and flash -----------------------------------------------------------------------

constexpr size_t IMAGE = 100000;  // two full blocks and one of 4000 bytes
const strings UPLOAD_SENT = {"8100:0", "8102:0", "8102:0", "8102:0"};

TEST(FirmwareUpload, WritesBlocksAndFlashes) {
    // The same upload with every block write succeeding at once, and with the first one failing
    // twice: the retry is silent, one "Ok." per block.
    const struct {
        strings options;
        strings block_writes;
    } cases[] = {
        {{}, {"8102:0", "8102:0", "8102:0"}},
        {{"--fail-code", "8102:1", "--fail-times", "2"},
         {"8102:1", "8102:1", "8102:0", "8102:0", "8102:0"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options.size());
        Bench b;
        ASSERT_TRUE(b.start(c.options));
        const Sums s = make_container(b, raw_image(IMAGE), "nv52fw.xfw");
        auto r = b.run("up\n\nfl\n\nve\nq\n");
        EXPECT_EQ(r.output, connected_start() + upload_head("nv52fw.xfw", IMAGE, s) +
                                "Erasing external flash....Ok.\n" + blocks_ok(3) +
                                flash_head("nv52fw.xfw", s) + "\nDevice disconnected!\n" + ">" +
                                NOT_CONNECTED + QUIT_UNLINKED);
        EXPECT_EQ(r.exit_code, 0);
        // The simulator accepted the flash: what it received descrambles to the raw checksum.
        EXPECT_EQ(after_probes(b.requests()),
                  strings{"8100:0"} + c.block_writes + strings{"8103:0"});
    }
}

TEST(FirmwareUpload, BlockFailingFiveTimesEndsTheUpload) {
    Bench b;
    ASSERT_TRUE(b.start({"--fail-code", "8102:4"}));
    const Sums s = make_container(b, raw_image(IMAGE), "nv52fw.xfw");
    auto r = b.run("up\n\nve\nq\n");
    EXPECT_EQ(r.output, connected_start() + upload_head("nv52fw.xfw", IMAGE, s) +
                            "Erasing external flash....Ok.\nWriting block 1 of 3...Error!\n>" +
                            VERSIONS + QUIT_CONNECTED);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(after_probes(b.requests()),
              strings{"8100:0"} + repeat("8102:4", 5) + strings{"8001:0"});
}

TEST(FirmwareUpload, FlashRefusedByTheInstrumentKeepsTheLink) {
    // Container A is uploaded; the flash names container B, whose raw checksum differs, and the
    // instrument refuses it. Without any upload it refuses for want of an image.
    Bench b;
    ASSERT_TRUE(b.start());
    const Sums a = make_container(b, raw_image(IMAGE), "nv52fw.xfw");
    const Sums other = make_container(b, raw_image(IMAGE + 4), "b.xfw");
    auto r = b.run("up\n\nfl\nb.xfw\nve\nq\n");
    const std::string refused = command_error("Q5_cmd_flash_fw", 1);
    EXPECT_EQ(r.output, connected_start() + upload_head("nv52fw.xfw", IMAGE, a) +
                            "Erasing external flash....Ok.\n" + blocks_ok(3) +
                            flash_head("b.xfw", other) + refused + ">" + VERSIONS + QUIT_CONNECTED);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(after_probes(b.requests()), UPLOAD_SENT + strings({"8103:3", "8001:0"}));

    Bench fresh;
    ASSERT_TRUE(fresh.start());
    make_container(fresh, raw_image(IMAGE), "nv52fw.xfw");
    r = fresh.run("fl\n\nq\n");
    EXPECT_EQ(r.output, connected_start() + flash_head("nv52fw.xfw", a) + refused + QUIT_CONNECTED);
    const strings flash_only = {"8103:5"};
    EXPECT_EQ(after_probes(fresh.requests()), flash_only);
}

TEST(FirmwareUpload, BadContainersSendNothing) {
    const std::string good = raw_image(IMAGE);
    const struct {
        const char* what;
        void (*spoil)(std::string& xfw);
        const char* command;  // the menu command that reads the container
        std::string outcome;  // after "Reading file nv52fw.xfw..."
    } cases[] = {
        {"made for device type 3", [](std::string& x) { put_word(x, 44, 3); }, "up",
         "Invalid XFW file!\n"},
        {"cut short by 12 bytes", [](std::string& x) { x.resize(x.size() - 12); }, "up",
         "Error,file longer than " + hex(IMAGE - 12) + "!\n"},
        {"only part of a header", [](std::string& x) { x.resize(40); }, "up",
         "Error loading file:nv52fw.xfw!\n"},
        {"only part of a header", [](std::string& x) { x.resize(40); }, "fl",
         "Error loading file:nv52fw.xfw!\n"},
        {"one image bit changed", [](std::string& x) { x[72 + 50000] ^= 0x10; }, "up", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.what) + ", " + c.command);
        Bench b;
        ASSERT_TRUE(b.start());
        const Sums s = make_container(b, good, "nv52fw.xfw");
        std::string xfw = read_file(b.dir.file("nv52fw.xfw"));
        c.spoil(xfw);
        write_file(b.dir.file("nv52fw.xfw"), xfw);

        auto r = b.run(std::string(c.command) + "\n\nve\nq\n");
        std::string shown = c.outcome;
        if (shown.empty()) {  // the checksums are shown before they are found wrong
            Sums calc = s;
            calc.raw ^= 0x10;
            calc.enc ^= 0x10;
            shown =
                "Ok (size=" + hex(IMAGE) +
                ",flags=0x01).\nVersion:1.05\nEncrypted:0x01\nCalc raw checksum:" + hex8(calc.raw) +
                "\nCalc enc checksum:" + hex8(calc.enc) + "\nFile raw checksum:" + hex8(s.raw) +
                "\nFile enc checksum:" + hex8(s.enc) + "\nRaw chsum wrong!\n";
        }
        EXPECT_EQ(r.output, connected_start() +
                                ">Enter XFW file name[nv52fw.xfw]:Reading file nv52fw.xfw..." +
                                shown + ">" + VERSIONS + QUIT_CONNECTED);
        EXPECT_EQ(r.exit_code, 0);
        const strings only_ve = {"8001:0"};
        EXPECT_EQ(after_probes(b.requests()), only_ve);
    }
}

}  // namespace
