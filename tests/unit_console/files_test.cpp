// What lands on disk where the end-to-end sessions cannot look: a failed container write that
// must keep the old container whole, an upload from a container the operator may only read,
// and spect.spc, never half written. (SaveSpec: data/save_spectrum.txt.)
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

std::pair<int, std::string> create(const std::string& to) {
    Console con;
    int r = Q5_create_xfw("raw.bin", to.c_str(), 1, 5, 1, "NV-52", -1, 12);
    return {r, con.out()};
}

size_t entries(const char* folder) {
    return static_cast<size_t>(
        std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
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

// A disk that will not take the container (no folder, a folder in the way: safe_file_test.cpp).
TEST_F(Files, AFailedWriteKeepsTheOldContainerAndLeavesNoPartialFile) {
    write_file("raw.bin", Bytes(100000, 0x5A));
    write_file("fw.xfw", text("old"));
    {
        FileSizeLimit limit(4096);
        auto [r, out] = create("fw.xfw");
        EXPECT_EQ(r, -1);
        EXPECT_TRUE(out.ends_with("Writing file fw.xfw...Error creating file:fw.xfw!\n")) << out;
    }
    EXPECT_EQ(read_file("fw.xfw"), text("old"));
    EXPECT_EQ(entries("."), 2u);
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

// A spectrum event of 1024 channels: channel i holds i * mul - 5, the header values 1234567
// (at 116, first in the file) and -2 (at 112), the printed value `mul` as a u16.
Bytes spectrum(int32_t mul) {
    Bytes d(4326, 0x5A);
    put_i32le(d.data() + 2, 1024);
    put_u16le(d.data() + 8, static_cast<uint16_t>(mul));
    put_i32le(d.data() + 112, -2);
    put_i32le(d.data() + 116, 1234567);
    for (int i = 0; i < 1024; ++i) put_i32le(d.data() + 230 + 4 * i, i * mul - 5);
    return frame_of(10002, d);
}
Bytes spectrum_text(int32_t mul) {
    std::string t = "1234567\n-2\n";
    for (int i = 0; i < 1024; ++i) t += std::to_string(i * mul - 5) + "\n";
    return text(t + "6.8 0 3 0\n");
}

// spect.spc holds the last full spectrum, replaced whole (other channel counts and short events
// are only announced: data/q8_events.txt); a user's file named like a temporary file is never
// touched, and a spectrum that cannot take the place of the old file (too large for the disk,
// or a folder in its way) leaves the old one and nothing else behind.
TEST_F(Files, SpectrumFileHoldsTheLastFullSpectrum) {
    Console con;
    const auto event = [](int32_t mul) {
        EXPECT_EQ(Q8_event_spectrum_data(7, nullptr, spectrum(mul).data(), 0), 0);
    };
    write_file("spect.spc", text("old\n"));
    event(3);
    event(-2000);
    EXPECT_EQ(read_file("spect.spc"), spectrum_text(-2000));
    EXPECT_EQ(entries("."), 1u);
    {
        FileSizeLimit limit(100);
        event(5);
    }
    EXPECT_EQ(read_file("spect.spc"), spectrum_text(-2000));
    fs::create_symlink("/dev/full", "spect.spc.tmp");
    event(7);
    EXPECT_TRUE(fs::is_symlink("spect.spc.tmp"));
    EXPECT_EQ(read_file("spect.spc"), spectrum_text(7));
    fs::remove("spect.spc");
    fs::remove("spect.spc.tmp");
    fs::create_directories("spect.spc/inside");  // rename refuses
    event(9);
    EXPECT_EQ(entries("."), 1u);
    EXPECT_TRUE(fs::is_directory("spect.spc/inside"));
    EXPECT_EQ(con.out(),
              "spectrum(1024) 3 received.\n"
              "spectrum(1024) 63536 received.\nspectrum(1024) 5 received.\n"
              "spectrum(1024) 7 received.\nspectrum(1024) 9 received.\n");
}

}  // namespace
