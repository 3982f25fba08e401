// The set-time arithmetic on a fixed clock, and the container paths the end-to-end sessions
// cannot reach: the interactive writer, the size limits, a failed write that must keep the old
// container whole, and an upload from a container the operator may only read.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <fstream>

#include "fixture.h"
#include "q5_cmds.h"

namespace {

using FirmwareTime = Linked;
namespace fs = std::filesystem;

tm fixed_clock;
void fixed_now(tm* now) {
    *now = fixed_clock;
}

Bytes le32s(std::vector<int> fields) {
    Bytes out;
    for (int f : fields)
        for (int s = 0; s < 32; s += 8) out.push_back(static_cast<unsigned char>(f >> s));
    return out;
}
void write_file(const std::string& path, const Bytes& d) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(d.data()), d.size());
}
Bytes read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}
std::pair<int, std::string> create(const std::string& to, int limit = -1) {
    Console con;
    int r = Q5_create_xfw("raw.bin", to.c_str(), 1, 5, 1, "NV-52", limit, 12);
    return {r, con.out()};
}

TEST_F(FirmwareTime, SetTimeShiftsTheLocalCalendarTime) {
    Q5_local_now = fixed_now;
    struct {
        std::vector<int> now;
        const char* line;
        std::vector<int> sent;
    } cases[] = {
        {{2026, 1, 31, 22, 30, 15}, "st 3\n", {2026, 2, 1, 1, 30, 15}},
        {{2026, 12, 31, 23, 0, 0}, "st 1\n", {2027, 1, 1, 0, 0, 0}},
        {{2028, 3, 1, 1, 0, 0}, "st -3\n", {2028, 2, 29, 22, 0, 0}},
        {{2100, 3, 1, 1, 0, 0}, "st -3\n", {2100, 2, 28, 22, 0, 0}},
        {{2026, 1, 1, 11, 0, 0}, "st -12\n", {2025, 12, 31, 23, 0, 0}},
    };
    for (const auto& c : cases) {
        fake_qxx::reset();
        fixed_clock = {};
        fixed_clock.tm_year = c.now[0] - 1900;
        fixed_clock.tm_mon = c.now[1] - 1;
        fixed_clock.tm_mday = c.now[2];
        fixed_clock.tm_hour = c.now[3];
        fixed_clock.tm_min = c.now[4];
        fixed_clock.tm_sec = c.now[5];
        char out[80];
        snprintf(out, sizeof out, "Setting device time: %.4d/%.2d/%.2d  %.2d:%.2d:%.2d ...Ok.\n",
                 c.sent[0], c.sent[1], c.sent[2], c.sent[3], c.sent[4], c.sent[5]);
        EXPECT_EQ(run(Q5_cmd_set_time, c.line), std::pair(0, std::string(out)));
        ASSERT_EQ(fake_qxx::codes(), std::vector<int>{8003});
        EXPECT_EQ(fake_qxx::st().calls[0].request, le32s(c.sent));
    }
}

// Asked interactively: not scrambled, version 2.0, the board's model and device type; the image
// padded to a multiple of four.
TEST_F(FirmwareTime, InteractiveContainerAndSizeLimits) {
    write_file("raw.bin", text("abcde"));
    auto [r, out] = run(
        [](char* l, int) { return Q5_cmd_create_xfw(l, "raw.bin", "n.xfw", "Q5-BOARD", -1, 3); },
        "cx\n", "\nfw.xfw\nmaybe\nn\n256\n2\n\n");
    EXPECT_TRUE(
        out.starts_with("Enter BIN file name[raw.bin]:Enter XFW file name[n.xfw]:Encrypt "
                        "file[yes]:Encrypt file[yes]:Major version:[0]:Major version:[0]:"
                        "Minor version:[0]:Reading file"))
        << out;
    Bytes f = read_file("fw.xfw");
    ASSERT_EQ(f.size(), 80u);
    EXPECT_EQ(std::tuple(r, std::string(f.begin() + 20, f.begin() + 29), get_u32le(&f[40]),
                         get_u32le(&f[44]), get_u32le(&f[48]), get_u32le(&f[68])),
              std::tuple(0, std::string("Q5-BOARD\0", 9), 8u, 3u, 0x0200u, 0u));
    EXPECT_EQ(Bytes(f.begin() + 72, f.end()), text(std::string("abcde\0\0\0", 8)));

    write_file("raw.bin", Bytes(0x101, 0xA5));
    EXPECT_EQ(create("a.xfw", 0x100),
              std::pair(-1, std::string("Reading file raw.bin...Error,file longer than 0x100!\n")));
    fs::resize_file("raw.bin", 0xFFFFFFFDll);  // sparse: its padded length does not fit 32 bits
    EXPECT_EQ(
        create("a.xfw"),
        std::pair(-1, std::string("Reading file raw.bin...Error,file longer than 0xfffffffc!\n")));
    EXPECT_FALSE(fs::exists("a.xfw"));
}

// Writes beyond `bytes` fail (no signal) until the end of the scope.
struct FileSizeLimit {
    rlimit saved{};
    explicit FileSizeLimit(rlim_t bytes) {
        signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit lower{bytes, saved.rlim_max};
        setrlimit(RLIMIT_FSIZE, &lower);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved); }
};

TEST_F(FirmwareTime, AFailedWriteKeepsTheOldContainerAndLeavesNoPartialFile) {
    fs::create_directories("busy.xfw/inside");  // a container path that cannot be replaced
    write_file("raw.bin", Bytes(100000, 0x5A));
    write_file("fw.xfw", text("old"));
    struct {
        std::string target, tail;
        rlim_t limit;
    } cases[] = {{"no/such.xfw", "Error writing file:no/such.xfw!\n", RLIM_INFINITY},
                 {"fw.xfw", "Error creating file:fw.xfw!\n", 4096},
                 {"busy.xfw", "Error creating file:busy.xfw!\n", RLIM_INFINITY}};
    for (const auto& c : cases) {
        FileSizeLimit limit(c.limit);
        auto [r, out] = create(c.target);
        EXPECT_EQ(r, -1);
        EXPECT_TRUE(out.ends_with("Writing file " + c.target + "..." + c.tail)) << out;
        EXPECT_EQ(read_file("fw.xfw"), text("old"));
        EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 3);
    }
    EXPECT_EQ(create("fw.xfw").first, 0);  // once the disk takes it, replaced whole
    EXPECT_EQ(read_file("fw.xfw").size(), 100072u);
}

// As user nobody, so that root too is held to the missing write permission.
TEST_F(FirmwareTime, UploadReadsAReadOnlyContainer) {
    write_file("raw.bin", text("abcdefghijkl"));
    ASSERT_EQ(create("fw.xfw").first, 0);
    chmod("fw.xfw", 0444);
    pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
        Console con(dir + "/fw.xfw\n");
        std::string line = "up\n";
        _exit(Q5_cmd_upload_xfw(line.data(), "x", 12, -1) == 0 &&
                      fake_qxx::codes() == std::vector<int>{8100, 8102}
                  ? 0
                  : 1);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
