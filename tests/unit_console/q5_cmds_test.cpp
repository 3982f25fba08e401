// The Q5 console commands, the container writer, upload and flash against the fake link and a
// fixed clock: what the operator sees, what goes on the wire, what lands on disk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "console.h"
#include "fake_qxx.h"
#include "q5_cmds.h"
#include "qxx_cmds.h"
#include "qxx_frame.h"

namespace {

using Bytes = std::vector<unsigned char>;
namespace fs = std::filesystem;

struct tm fixed_clock;
void fixed_now(struct tm* now) {
    *now = fixed_clock;
}
void set_clock(std::vector<int> f) {
    fixed_clock = {};
    fixed_clock.tm_year = f[0] - 1900;
    fixed_clock.tm_mon = f[1] - 1;
    fixed_clock.tm_mday = f[2];
    fixed_clock.tm_hour = f[3];
    fixed_clock.tm_min = f[4];
    fixed_clock.tm_sec = f[5];
}
Bytes le32s(std::vector<int> fields) {
    Bytes out;
    for (int f : fields)
        for (int s = 0; s < 32; s += 8) out.push_back(static_cast<unsigned char>(f >> s));
    return out;
}
Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}
void write_file(const std::string& path, const Bytes& d) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(d.data()), d.size());
}
Bytes read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}
fake_qxx::Reply answer(int result, Bytes payload = {}) {
    return {result, payload, 0, 0};
}
uint32_t field(const Bytes& file, int offset) {
    return get_u32le(file.data() + offset);
}

// A linked device (handle 7), the clock at 2026-12-06 01:58:03, a scratch directory.
class Q5 : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_qxx::reset();
        connected = 1;
        id_conn = 7;
        Q5_local_now = fixed_now;
        set_clock({2026, 12, 6, 1, 58, 3});
        char name[] = "/tmp/nv-q5-XXXXXX";
        dir = mkdtemp(name);
        raw = dir + "/raw.bin";
        xfw = dir + "/fw.xfw";
    }
    void TearDown() override {
        connected = 0;
        fs::remove_all(dir);
    }
    // The command's result and everything it printed, given a typed line and the answers.
    std::pair<int, std::string> run(std::function<int(char*)> cmd, std::string line,
                                    const std::string& input = "") {
        Console con(input);
        int r = cmd(line.data());
        return {r, con.out()};
    }
    std::pair<int, std::string> run(menu_handler cmd, std::string line, const std::string& input) {
        return run([cmd](char* l) { return cmd(l, 0); }, line, input);
    }
    // The writer on `raw`, version 1.5, model "NV-52", device type 12: result and output.
    std::pair<int, std::string> create(const std::string& to, int scramble = 1, int limit = -1) {
        Console con;
        int r = Q5_create_xfw(raw.c_str(), to.c_str(), 1, 5, scramble, "NV-52", limit, 12);
        return {r, con.out()};
    }
    int make(const Bytes& image, int scramble = 1) {
        write_file(raw, image);
        return create(xfw, scramble).first;
    }
    std::set<std::string> names() {
        std::set<std::string> out;
        for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().filename());
        return out;
    }
    std::string dir, raw, xfw;
};

const std::function<int(char*)> upload = [](char* l) { return Q5_cmd_upload_xfw(l, "x", 12, -1); };
const std::function<int(char*)> flash = [](char* l) { return Q5_cmd_flash_fw(l, "x"); };

TEST_F(Q5, EveryCommandRefusesWithoutADevice) {
    connected = 0;
    for (auto cmd : {Q5_cmd_get_fw_version, Q5_cmd_get_serial, Q5_cmd_set_serial, Q5_cmd_get_time,
                     Q5_cmd_set_time, Q5_cmd_restart}) {
        EXPECT_EQ(run(cmd, "xx 12\n", "1\n"),
                  std::pair(-1, std::string("\nDevice not connected!\n")));
    }
    EXPECT_EQ(run(upload, "up\n", "1\n"), std::pair(-1, std::string("\nDevice not connected!\n")));
    EXPECT_EQ(run(flash, "fl\n", "1\n"), std::pair(-1, std::string("\nDevice not connected!\n")));
    EXPECT_TRUE(fake_qxx::calls().empty());
}

TEST_F(Q5, ReadCommandsAndTheirFailures) {
    struct Case {
        menu_handler cmd;
        int code;
        fake_qxx::Reply reply;
        std::string out;
    };
    // clang-format off
    const Case cases[] = {
        {Q5_cmd_get_fw_version, 8001, answer(0, text("V1.02.03")), "FW Version=V1.02.03\n"},
        {Q5_cmd_get_serial, 8007, answer(0, text("B0001234")), "Serial = B0001234\n"},
        {Q5_cmd_get_time, 8002, answer(0, le32s({2026, 3, 7, 9, 5, 1})), "Device time: 2026/03/07  09:05:01\n"},
        {Q5_cmd_get_time, 8002, answer(255), "Command Q5_cmd_get_time error(code=255)!\n"},
        {Q5_cmd_get_serial, 8007, answer(1), "Command Q5_cmd_get_serial error(code=1)!\n"},
        {Q5_cmd_set_serial, 8007, answer(255), "Command Q5_cmd_set_serial error(code=255)!\n"},
        {Q5_cmd_set_time, 8003, answer(1), "Enter offset[0]:Setting device time: 2026/12/06  01:58:03 ...Command Q5_cmd_set_time error(code=1)!\n"},
        {Q5_cmd_restart, 8021, answer(-3), "Restarting device.\nCommand Q5_cmd_restart error(code=-3)!\n"},
        {Q5_cmd_restart, 8021, answer(0), "Restarting device.\n"},
    };
    // clang-format on
    for (const auto& c : cases) {
        fake_qxx::reset();
        fake_qxx::push_reply(c.code, c.reply);
        EXPECT_EQ(run(c.cmd, "xx\n", "\n"), std::pair(c.reply.result ? -1 : 0, c.out));
        EXPECT_EQ(fake_qxx::codes(), std::vector<int>{c.code});
        EXPECT_EQ(fake_qxx::disconnects(), c.code == 8021 && c.reply.result == 0 ? 1 : 0);
    }
}

TEST_F(Q5, SetSerialDefaultsAndPrefixRule) {
    struct Case {
        int prefix;
        std::string current, line, input, out;
    };
    // clang-format off
    const Case cases[] = {
        {'B', "B0001234", "ss\n", "5678\n", "Enter serial[1234]:Setting serial to:B0005678\n"},
        {'B', "B01", "ss\n", "\n", "Enter serial[0000]:Setting serial to:B0000000\n"},
        {'B', "B0001234", "ss 4321\n", "", "Setting serial to:B0004321\n"},
        {'B', "B0001234", "ss 123\n", "12345\n\n", "Enter serial[1234]:Enter serial[1234]:Setting serial to:B0001234\n"},
        {0, "B0001234", "ss\n", "\n", "Enter serial[00000000]:Setting serial to:00000000\n"},
        {0, "", "ss Q5000042\n", "", "Setting serial to:Q5000042\n"},
    };
    // clang-format on
    for (const auto& c : cases) {
        fake_qxx::reset();
        fake_qxx::push_reply(8007, answer(0, text(c.current)));
        auto cmd = [&](char* l) { return Q5_cmd_set_serial(l, c.prefix); };
        EXPECT_EQ(run(cmd, c.line, c.input), std::pair(0, c.out));
        ASSERT_EQ(fake_qxx::codes(), (std::vector<int>{8007, 8104}));
        EXPECT_EQ(fake_qxx::calls()[1].request, text(c.out.substr(c.out.size() - 9, 8)));
    }
}

TEST_F(Q5, SetTimeShiftsTheLocalCalendarTime) {
    struct Case {
        std::vector<int> now;
        std::string line, input, prompt;
        std::vector<int> sent;
    };
    // clang-format off
    const Case cases[] = {
        {{2026, 6, 15, 12, 0, 0}, "st\n", "\n", "Enter offset[0]:", {2026, 6, 15, 12, 0, 0}},
        {{2026, 6, 15, 12, 0, 0}, "st 2\n", "", "", {2026, 6, 15, 14, 0, 0}},
        {{2026, 6, 15, 12, 0, 0}, "st 13\n", "-2\n", "Enter offset[0]:", {2026, 6, 15, 10, 0, 0}},
        {{2026, 1, 31, 22, 30, 15}, "st 3\n", "", "", {2026, 2, 1, 1, 30, 15}},
        {{2026, 12, 31, 23, 0, 0}, "st 1\n", "", "", {2027, 1, 1, 0, 0, 0}},
        {{2026, 7, 10, 1, 0, 0}, "st -3\n", "", "", {2026, 7, 9, 22, 0, 0}},
        {{2028, 3, 1, 1, 0, 0}, "st -3\n", "", "", {2028, 2, 29, 22, 0, 0}},
        {{2100, 3, 1, 1, 0, 0}, "st -3\n", "", "", {2100, 2, 28, 22, 0, 0}},
        {{2026, 1, 1, 11, 0, 0}, "st -12\n", "", "", {2025, 12, 31, 23, 0, 0}},
    };
    // clang-format on
    for (const auto& c : cases) {
        fake_qxx::reset();
        set_clock(c.now);
        char out[80];
        snprintf(out, sizeof out, "Setting device time: %.4d/%.2d/%.2d  %.2d:%.2d:%.2d ...Ok.\n",
                 c.sent[0], c.sent[1], c.sent[2], c.sent[3], c.sent[4], c.sent[5]);
        EXPECT_EQ(run(Q5_cmd_set_time, c.line, c.input), std::pair(0, c.prompt + out));
        ASSERT_EQ(fake_qxx::codes(), std::vector<int>{8003});
        EXPECT_EQ(fake_qxx::calls()[0].request, le32s(c.sent));
    }
}

TEST_F(Q5, MenuRows) {
    menu m;
    menu_init(&m);
    Q5_cmd_create_menu(&m);
    Console con("gs\n");
    menu_print(&m);
    EXPECT_EQ(con.out(),
              "[ he] help\n[ ve] version    - displays device firmware version\n"
              "[ gs] get serial - displays device serial number\n"
              "[ ss] set serial - sets device serial number\n"
              "[ gt] get time   - displays device date/time\n"
              "[ st] set time   - sets device date/time\n[ re] restart    - restarts device\n");
    menu_run(&m);
    EXPECT_EQ(fake_qxx::codes(), std::vector<int>{8007});
}

// ---- the container writer ----------------------------------------------------------------------

TEST_F(Q5, ContainerVectors) {
    const Bytes abc_l = text("abcdefghijkl");
    const Bytes scrambled = {0x61, 0x62, 0x63, 0x64, 0x64, 0x66,
                             0x67, 0x68, 0x79, 0x6A, 0x6B, 0x6C};
    struct Case {
        Bytes raw;
        int scramble;
        uint32_t raw_sum, enc_sum;
        Bytes image;
    };
    // clang-format off
    const Case cases[] = {
        {abc_l, 1, 0x606F6E6D, 0x606F6E7C, scrambled},
        {abc_l, 0, 0x606F6E6D, 0x606F6E6D, abc_l},
        {text("abc"), 1, 0x00636261, 0x00636261, {0x61, 0x62, 0x63, 0}},
        {{}, 1, 0, 0, {}},
    };
    // clang-format on
    for (const auto& c : cases) {
        write_file(raw, c.raw);
        auto [r, out] = create(xfw, c.scramble);
        char sums[64];
        snprintf(sums, sizeof sums, "Raw checksum:0x%.8x\nEnc checksum:0x%.8x\n", c.raw_sum,
                 c.enc_sum);
        EXPECT_EQ(out, "Reading file " + raw + "...Ok.\n" + sums + "Version:1.5\nWriting file " +
                           xfw + "...Ok.\n");
        Bytes f = read_file(xfw);
        ASSERT_EQ(f.size(), 72 + c.image.size());
        EXPECT_EQ(Bytes(f.begin() + 72, f.end()), c.image);
        EXPECT_EQ(std::tuple(field(f, 40), field(f, 44), field(f, 48), field(f, 52), field(f, 56),
                             field(f, 68)),
                  std::tuple(uint32_t(c.image.size()), 12u, 0x0105u, c.raw_sum, c.enc_sum,
                             uint32_t(c.scramble)));
        EXPECT_EQ(std::string(f.begin(), f.begin() + 40),
                  std::string("ORVANTIS FIRMWARE\0\0\0NV-52", 25) + std::string(15, '\0'));
        EXPECT_EQ(Bytes(f.begin() + 60, f.begin() + 68), Bytes({6, 12, 0xEA, 7, 3, 0x3A, 1, 0}));
        EXPECT_EQ(names(), (std::set<std::string>{"raw.bin", "fw.xfw"}));
    }
}

TEST_F(Q5, ContainerLimitsAndInteractiveCreation) {
    write_file(raw, Bytes(0x101, 0xA5));
    EXPECT_EQ(create(xfw, 0, 0x100),
              std::pair(-1, "Reading file " + raw + "...Error,file longer than 0x100!\n"));
    fs::resize_file(raw, 0xFFFFFFFDll);  // sparse: its padded length does not fit 32 bits
    EXPECT_EQ(create(xfw),
              std::pair(-1, "Reading file " + raw + "...Error,file longer than 0xfffffffc!\n"));
    EXPECT_EQ(names(), std::set<std::string>{"raw.bin"});

    write_file(raw, text("abcd"));
    auto [r, out] =
        run([&](char* l) { return Q5_cmd_create_xfw(l, raw.c_str(), "n.xfw", "Q5-BOARD", -1, 3); },
            "cx\n", "\n" + xfw + "\nmaybe\nn\n256\n2\n\n");
    EXPECT_TRUE(out.starts_with("Enter BIN file name[" + raw +
                                "]:Enter XFW file name[n.xfw]:Encrypt "
                                "file[yes]:Encrypt file[yes]:Major version:[0]:Major version:[0]:"
                                "Minor version:[0]:Reading file"));
    Bytes f = read_file(xfw);
    EXPECT_EQ(std::tuple(r, std::string(f.begin() + 20, f.begin() + 29), field(f, 44), field(f, 48),
                         field(f, 68)),
              std::tuple(0, std::string("Q5-BOARD\0", 9), 3u, 0x0200u, 0u));
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

TEST_F(Q5, AFailedWriteKeepsTheOldContainerAndLeavesNoPartialFile) {
    const std::string nowhere = dir + "/no/such.xfw", busy = dir + "/busy.xfw";
    fs::create_directories(busy + "/inside");  // a container path that cannot be replaced
    write_file(raw, Bytes(100000, 0x5A));
    write_file(xfw, text("old"));
    struct Case {
        std::string target, tail;
        rlim_t limit;
    };
    for (const Case& c : {Case{nowhere, "Error writing file:" + nowhere + "!\n", RLIM_INFINITY},
                          Case{xfw, "Error creating file:" + xfw + "!\n", 4096},
                          Case{busy, "Error creating file:" + busy + "!\n", RLIM_INFINITY}}) {
        FileSizeLimit limit(c.limit);
        auto [r, out] = create(c.target);
        EXPECT_EQ(r, -1);
        EXPECT_TRUE(out.ends_with("Writing file " + c.target + "..." + c.tail)) << out;
        EXPECT_EQ(read_file(xfw), text("old"));
        EXPECT_EQ(names(), (std::set<std::string>{"raw.bin", "fw.xfw", "busy.xfw"}));
    }
    EXPECT_EQ(make(Bytes(100000, 0x5A)), 0);  // and once the disk takes it, replaced whole
    EXPECT_EQ(read_file(xfw).size(), 100072u);
}

// ---- upload and flash --------------------------------------------------------------------------

TEST_F(Q5, UploadShowsTheContainerAndWritesBlocks) {
    struct Case {
        size_t size;
        std::vector<size_t> blocks;
    };
    // 300000 bytes: the writer scrambles it in several pieces, the upload checks it as one.
    for (Case c : {Case{96000, {48000, 48000}}, Case{100000, {48000, 48000, 4000}}, Case{4, {4}},
                   Case{0, {}}, Case{300000, {48000, 48000, 48000, 48000, 48000, 48000, 12000}}}) {
        Bytes image(c.size);
        for (size_t i = 0; i < c.size; ++i) image[i] = static_cast<unsigned char>(i % 251);
        ASSERT_EQ(make(image), 0);
        image = read_file(xfw);
        image.erase(image.begin(), image.begin() + 72);  // the data area, as stored
        fake_qxx::reset();
        auto [r, out] = run(upload, "up\n", xfw + "\n");
        std::string progress = "Erasing external flash....Ok.\n";
        ASSERT_EQ(fake_qxx::calls().size(), 1 + c.blocks.size());
        for (size_t n = 0, offset = 0; n < c.blocks.size(); offset += c.blocks[n++]) {
            progress += "Writing block " + std::to_string(n + 1) + " of " +
                        std::to_string(c.blocks.size()) + "...Ok.\n";
            Bytes expected = {uint8_t(n), 0};
            expected.insert(expected.end(), image.begin() + offset,
                            image.begin() + offset + c.blocks[n]);
            EXPECT_EQ(fake_qxx::calls()[n + 1].request, expected);
        }
        EXPECT_TRUE(out.ends_with(progress)) << out;
    }
    ASSERT_EQ(make(text("abcdefghijkl")), 0);
    EXPECT_EQ(run(upload, "up\n", xfw + "\n").second,
              "Enter XFW file name[x]:Reading file " + xfw +
                  "...Ok (size=0xc,flags=0x01).\n"
                  "Version:1.05\nEncrypted:0x01\nCalc raw checksum:0x606f6e6d\nCalc enc checksum:"
                  "0x606f6e7c\nFile raw checksum:0x606f6e6d\nFile enc checksum:0x606f6e7c\n"
                  "Erasing external flash....Ok.\nWriting block 1 of 1...Ok.\n");
}

TEST_F(Q5, UploadTriesABlockFiveTimes) {
    ASSERT_EQ(make(Bytes(96000, 0x11)), 0);
    for (int failures : {4, 5}) {  // refusals, time-outs and a dropped link alike
        fake_qxx::reset();
        const int results[] = {1, 255, -1, 255, 1};
        for (int i = 0; i < failures; ++i) fake_qxx::push_reply(8102, answer(results[i]));
        auto [r, out] = run(upload, "up\n", xfw + "\n");
        EXPECT_EQ(r, failures == 5 ? -1 : 0);
        EXPECT_TRUE(out.ends_with(
            failures == 5 ? "Writing block 1 of 2...Error!\n"
                          : "Writing block 1 of 2...Ok.\nWriting block 2 of 2...Ok.\n"));
        EXPECT_EQ(fake_qxx::calls().size(), failures == 5 ? 6u : 7u);  // erase + 5 (+ block 2)
    }
    fake_qxx::reset();
    fake_qxx::push_reply(8100, answer(255));
    EXPECT_TRUE(run(upload, "up\n", xfw + "\n")
                    .second.ends_with(
                        "Erasing external flash....Command Q5_cmd_upload_xfw error(code=255)!\n"));
    EXPECT_EQ(fake_qxx::codes(), std::vector<int>{8100});
}

TEST_F(Q5, BadContainersAreRefusedBeforeAnythingIsSent) {
    ASSERT_EQ(make(text("abcdefghijkl")), 0);
    const Bytes good = read_file(xfw);
    const std::string bad = dir + "/bad.xfw", reading = "Reading file " + bad + "...";
    auto changed = [&](std::vector<int> at) {
        Bytes f = good;
        for (int i : at) f[i] ^= 0x01;
        return f;
    };
    auto sums = [&](const char* calc_raw, const char* calc_enc, const char* file_enc) {
        return reading +
               "Ok (size=0xc,flags=0x01).\nVersion:1.05\nEncrypted:0x01\nCalc raw checksum:0x" +
               calc_raw + "\nCalc enc checksum:0x" + calc_enc + "\nFile raw checksum:0x606f6e6d\n" +
               "File enc checksum:0x" + file_enc + "\n";
    };
    struct Case {
        Bytes file;
        int dev_type;
        std::string out;
    };
    // clang-format off
    const Case cases[] = {
        {{}, 12, reading + "Error loading file:" + bad + "!\n"},
        {Bytes(good.begin(), good.begin() + 71), 12, reading + "Error loading file:" + bad + "!\n"},
        {good, 3, reading + "Invalid XFW file!\n"},
        {Bytes(good.begin(), good.end() - 4), 12, reading + "Error,file longer than 0x8!\n"},
        {changed({72 + 5}), 12, sums("606f6f6d", "606f6f7c", "606f6e7c") + "Raw chsum wrong!\n"},
        {changed({56}), 12, sums("606f6e6d", "606f6e7c", "606f6e7d") + "Enc chsum wrong!\n"},
        {changed({56, 72 + 5}), 12, sums("606f6f6d", "606f6f7c", "606f6e7d") + "Raw chsum wrong!\n"},
    };
    // clang-format on
    for (const auto& c : cases) {
        write_file(bad, c.file);
        auto cmd = [&](char* l) { return Q5_cmd_upload_xfw(l, bad.c_str(), c.dev_type, -1); };
        EXPECT_EQ(run(cmd, "up\n"), std::pair(-1, "Enter XFW file name[" + bad + "]:" + c.out));
    }
    for (const std::string& path : {dir + "/missing.xfw", dir}) {  // missing, a directory
        EXPECT_EQ(run(upload, "up\n", path + "\n").second,
                  "Enter XFW file name[x]:Error loading file:" + path + "!\n");
        EXPECT_EQ(run(flash, "fl\n", path + "\n").second,
                  "Enter XFW file name[x]:Error loading file:" + path + "!\n");
    }
    write_file(bad, Bytes(good.begin(), good.begin() + 70));
    EXPECT_EQ(run(flash, "fl\n", bad + "\n").second,
              "Enter XFW file name[x]:" + reading + "Error loading file:" + bad + "!\n");
    EXPECT_TRUE(fake_qxx::calls().empty());
}

TEST_F(Q5, UploadReadsAReadOnlyContainer) {
    ASSERT_EQ(make(text("abcdefghijkl")), 0);
    chmod(xfw.c_str(), 0444);
    chmod(dir.c_str(), 0755);
    pid_t pid = fork();
    if (pid == 0) {  // as nobody, so that root too is held to the missing write permission
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
        Console con(xfw + "\n");
        std::string line = "up\n";
        _exit(upload(line.data()) == 0 && fake_qxx::codes() == std::vector<int>{8100, 8102} ? 0
                                                                                            : 1);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(Q5, FlashSendsTheFlagAndRawChecksumThenDisconnects) {
    for (int scramble : {1, 0}) {
        ASSERT_EQ(make(text("abcdefghijkl"), scramble), 0);
        fake_qxx::reset();
        EXPECT_EQ(run(flash, "fl\n", xfw + "\n"),
                  std::pair(0, "Enter XFW file name[x]:Reading file " + xfw +
                                   "...Ok.\nEncrypted:0x0" + std::to_string(scramble) +
                                   "\nRaw checksum:0x606f6e6d\nEnc checksum:0x" +
                                   (scramble ? "606f6e7c" : "606f6e6d") +
                                   "\nStarting memory flashing process..."));
        ASSERT_EQ(fake_qxx::codes(), std::vector<int>{8103});
        EXPECT_EQ(fake_qxx::calls()[0].request,
                  Bytes({uint8_t(scramble), 0, 0, 0, 0x6D, 0x6E, 0x6F, 0x60}));
        EXPECT_EQ(fake_qxx::disconnects(), 1);
    }
    fake_qxx::reset();
    fake_qxx::push_reply(8103, answer(1));
    EXPECT_EQ(run(flash, "fl\n", xfw + "\n").first, -1);
    EXPECT_EQ(fake_qxx::disconnects(), 0);
}

}  // namespace
