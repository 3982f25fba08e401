// What lands on disk where the end-to-end sessions cannot look: the interactive container writer,
// its size limits, a failed write that must keep the old container whole, an upload from a
// container the operator may only read, and spect.spc, never half written.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <fstream>

#include "fixture.h"
#include "q5_cmds.h"
#include "q8_cmds.h"

namespace {

using Files = Linked;
namespace fs = std::filesystem;

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

// Asked interactively: not scrambled, version 2.0, the board's model and device type; the image
// padded to a multiple of four.
TEST_F(Files, InteractiveContainerAndSizeLimits) {
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

TEST_F(Files, AFailedWriteKeepsTheOldContainerAndLeavesNoPartialFile) {
    fs::create_directories("busy.xfw/inside");  // a container path that cannot be replaced
    write_file("raw.bin", Bytes(100000, 0x5A));
    write_file("fw.xfw", text("old"));
    struct {
        std::string target, tail;
        rlim_t limit;
    } cases[] = {{"no/such.xfw", "Error writing file:no/such.xfw!\n", RLIM_INFINITY},
                 {"fw.xfw", "Error creating file:fw.xfw!\n", 4096},
                 {"busy.xfw", "Error writing file:busy.xfw!\n", RLIM_INFINITY}};
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
TEST_F(Files, UploadReadsAReadOnlyContainer) {
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

// A spectrum event of `count` channels; channel i holds i * mul - 5, the header values 111, 222.
Bytes spectrum(int32_t count, int32_t mul, size_t size = 4326) {
    Bytes d(size, 0);
    put_i32le(d.data() + 2, count);
    put_u16le(d.data() + 8, 77);
    put_i32le(d.data() + 112, 222);
    put_i32le(d.data() + 116, 111);
    for (int i = 0; i < 1024 && 230 + 4 * i + 4 <= static_cast<int>(size); ++i)
        put_i32le(d.data() + 230 + 4 * i, i * mul - 5);
    return frame_of(10002, d);
}
Bytes spectrum_text(int32_t mul) {
    std::string t = "111\n222\n";
    for (int i = 0; i < 1024; ++i) t += std::to_string(i * mul - 5) + "\n";
    return text(t + "6.8 0 3 0\n");
}

TEST_F(Files, SpectrumFileHoldsTheLastFullSpectrum) {
    Console con;
    write_file("spect.spc", text("old\n"));
    // Announced, not saved: another channel count, or a full count that lacks its channels.
    Q8_event_spectrum_data(7, nullptr, spectrum(512, 1).data(), 0);
    Q8_event_spectrum_data(7, nullptr, spectrum(1024, 1, 4325).data(), 0);
    EXPECT_EQ(con.out(), "spectrum(512) 77 received.\n");
    EXPECT_EQ(read_file("spect.spc"), text("old\n"));
    Q8_event_spectrum_data(7, nullptr, spectrum(1024, 3).data(), 0);
    Q8_event_spectrum_data(7, nullptr, spectrum(1024, -2).data(), 0);
    EXPECT_EQ(read_file("spect.spc"), spectrum_text(-2));
    // A file that cannot be written leaves the previous spectrum whole.
    {
        FileSizeLimit limit(100);
        Q8_event_spectrum_data(7, nullptr, spectrum(1024, 5).data(), 0);
    }
    EXPECT_EQ(read_file("spect.spc"), spectrum_text(-2));
}

}  // namespace
