// Firmware containers: the writer checked byte by byte by reading the file back, its all-or-
// nothing replacement of the container, and upload and flashing against the fake link.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstring>
#include <functional>

#include "q5_test_support.h"
#include "qxx_frame.h"

namespace {

using namespace q5test;

const Bytes ABCDEFGHIJKL = text_bytes("abcdefghijkl");

Bytes header_of(const Bytes& file) {
    return Bytes(file.begin(), file.begin() + 72);
}
Bytes image_of(const Bytes& file) {
    return Bytes(file.begin() + 72, file.end());
}
uint32_t field(const Bytes& file, int offset) {
    return get_u32le(file.data() + offset);
}

// The names left in a directory after a write: the container appears whole or not at all, and
// no temporary file stays behind.
class Xfw : public Q5Test {
  protected:
    TempDir dir;
    std::string raw = dir.path("raw.bin");
    std::string xfw = dir.path("fw.xfw");

    // A container made by the writer, scrambled, NV-52, version 1.5.
    void make(const Bytes& image, int dev_type = 12, int scramble = 1) {
        write_file(raw, image);
        Console quiet;
        ASSERT_EQ(Q5_create_xfw(raw.c_str(), xfw.c_str(), 1, 5, scramble, "NV-52", -1, dev_type),
                  0);
    }
};

// ---- the writer --------------------------------------------------------------------------------

TEST_F(Xfw, WriterVectors) {
    struct Case {
        const char* name;
        Bytes raw;
        int scramble;
        int major, minor;
        uint32_t size, raw_sum, enc_sum, flags, version;
        Bytes image;
        std::string version_line;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"abcdefghijkl scrambled", ABCDEFGHIJKL, 1, 1, 5, 12, 0x606F6E6D, 0x606F6E7C, 1, 0x0105,
         {0x61, 0x62, 0x63, 0x64, 0x64, 0x66, 0x67, 0x68, 0x79, 0x6A, 0x6B, 0x6C}, "1.5"},
        {"abcdefghijkl plain", ABCDEFGHIJKL, 0, 1, 5, 12, 0x606F6E6D, 0x606F6E6D, 0, 0x0105,
         ABCDEFGHIJKL, "1.5"},
        {"abc scrambled", text_bytes("abc"), 1, 0, 0, 4, 0x00636261, 0x00636261, 1, 0,
         {0x61, 0x62, 0x63, 0}, "0.0"},
        {"abc plain", text_bytes("abc"), 0, 0, 0, 4, 0x00636261, 0x00636261, 0, 0,
         {0x61, 0x62, 0x63, 0}, "0.0"},
        {"empty", {}, 1, 2, 0, 0, 0, 0, 1, 0x0200, {}, "2.0"},
        {"any non-zero scramble flag", ABCDEFGHIJKL, 2, 1, 5, 12, 0x606F6E6D, 0x606F6E7C, 1,
         0x0105, {0x61, 0x62, 0x63, 0x64, 0x64, 0x66, 0x67, 0x68, 0x79, 0x6A, 0x6B, 0x6C}, "1.5"},
        {"low 8 bits of the version stored, all printed", text_bytes("abcd"), 0, 257, 300, 4,
         0x64636261, 0x64636261, 0, 0x012C, text_bytes("abcd"), "257.300"},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(raw, c.raw);
        Console con;
        ASSERT_EQ(
            Q5_create_xfw(raw.c_str(), xfw.c_str(), c.major, c.minor, c.scramble, "NV-52", -1, 12),
            0);
        char sums[128];
        snprintf(sums, sizeof sums, "Raw checksum:0x%.8x\nEnc checksum:0x%.8x\n", c.raw_sum,
                 c.enc_sum);
        EXPECT_EQ(con.out(), "Reading file " + raw + "...Ok.\n" + sums + "Version:" +
                                 c.version_line + "\nWriting file " + xfw + "...Ok.\n");
        Bytes file = read_file(xfw);
        ASSERT_EQ(file.size(), 72 + c.size);
        EXPECT_EQ(field(file, 40), c.size);
        EXPECT_EQ(field(file, 44), 12u);
        EXPECT_EQ(field(file, 48), c.version);
        EXPECT_EQ(field(file, 52), c.raw_sum);
        EXPECT_EQ(field(file, 56), c.enc_sum);
        EXPECT_EQ(field(file, 68), c.flags);
        EXPECT_EQ(image_of(file), c.image);
        EXPECT_EQ(dir.names(), (std::set<std::string>{"raw.bin", "fw.xfw"}));
    }
}

TEST_F(Xfw, HeaderTextsDateAndTime) {
    set_clock(2026, 12, 6, 1, 58, 3);
    make(ABCDEFGHIJKL);
    Bytes h = header_of(read_file(xfw));
    const Bytes magic = {'O', 'R', 'V', 'A', 'N', 'T', 'I', 'S', ' ', 'F',
                         'I', 'R', 'M', 'W', 'A', 'R', 'E', 0,   0,   0};
    EXPECT_EQ(Bytes(h.begin(), h.begin() + 20), magic);
    Bytes model = text_bytes("NV-52");
    model.resize(20, 0);
    EXPECT_EQ(Bytes(h.begin() + 20, h.begin() + 40), model);
    EXPECT_EQ(Bytes(h.begin() + 60, h.begin() + 64), Bytes({0x06, 0x0C, 0xEA, 0x07}));
    EXPECT_EQ(Bytes(h.begin() + 64, h.begin() + 68), Bytes({0x03, 0x3A, 0x01, 0x00}));

    // Model names of 20 characters or more are cut and carry no terminator.
    struct Case {
        const char* model;
        std::string stored;
    };
    for (Case c : {Case{"ABCDEFGHIJKLMNOPQRS", std::string("ABCDEFGHIJKLMNOPQRS\0", 20)},
                   Case{"ABCDEFGHIJKLMNOPQRSTUVWXYZ", "ABCDEFGHIJKLMNOPQRST"},
                   Case{"", std::string(20, '\0')}}) {
        SCOPED_TRACE(c.model);
        Console quiet;
        ASSERT_EQ(Q5_create_xfw(raw.c_str(), xfw.c_str(), 0, 0, 0, c.model, -1, 3), 0);
        Bytes file = read_file(xfw);
        EXPECT_EQ(std::string(file.begin() + 20, file.begin() + 40), c.stored);
        EXPECT_EQ(field(file, 44), 3u);
    }
}

TEST_F(Xfw, LengthLimit) {
    struct Case {
        const char* name;
        size_t raw_size;
        int limit;
        bool written;
        uint32_t size;
    };
    for (Case c : {Case{"longer than the limit", 0x101, 0x100, false, 0},
                   Case{"exactly the limit", 0x100, 0x100, true, 0x100},
                   Case{"shorter: padded with zeros to the limit", 10, 0x100, true, 0x100},
                   Case{"limit rounded up to 4", 5, 6, true, 8}}) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(xfw);
        write_file(raw, Bytes(c.raw_size, 0xA5));
        Console con;
        EXPECT_EQ(Q5_create_xfw(raw.c_str(), xfw.c_str(), 1, 0, 0, "Q5", c.limit, 3),
                  c.written ? 0 : -1);
        if (!c.written) {
            EXPECT_EQ(con.out(), "Reading file " + raw + "...Error,file longer than 0x100!\n");
            EXPECT_EQ(dir.names(), std::set<std::string>{"raw.bin"});
            continue;
        }
        Bytes file = read_file(xfw);
        ASSERT_EQ(file.size(), 72 + c.size);
        EXPECT_EQ(field(file, 40), c.size);
        Bytes image(c.size, 0);
        std::fill(image.begin(), image.begin() + static_cast<long>(c.raw_size), 0xA5);
        EXPECT_EQ(image_of(file), image);
    }
}

TEST_F(Xfw, ImageTooLongForTheSizeFieldIsRefusedBeforeReading) {
    // A sparse file: its length rounds up past 32 bits. Nothing of it is read.
    int fd = open(raw.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 0xFFFFFFFDll), 0);
    close(fd);
    Console con;
    EXPECT_EQ(Q5_create_xfw(raw.c_str(), xfw.c_str(), 1, 0, 1, "NV-52", -1, 12), -1);
    EXPECT_EQ(con.out(), "Reading file " + raw + "...Error,file longer than 0xfffffffc!\n");
    EXPECT_EQ(dir.names(), std::set<std::string>{"raw.bin"});
}

// Raises the file size limit for the scope's end; writes past `bytes` fail (no signal).
struct FileSizeLimit {
    rlimit saved{};
    explicit FileSizeLimit(rlim_t bytes) {
        signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit lower = saved;
        lower.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lower);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved); }
};

TEST_F(Xfw, AFailedWriteLeavesTheOldContainerAndNoPartialFile) {
    const Bytes old_container = text_bytes("the old container");
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::string xfw_path;
        std::string tail;  // output after the checksum and version lines
        std::set<std::string> names;
    };
    const std::string missing_dir = dir.path("no/such/dir.xfw");
    const std::string dir_target = dir.path("busy.xfw");
    // clang-format off
    const std::vector<Case> cases = {
        {"cannot create beside it", [] {}, missing_dir,
         "Writing file " + missing_dir + "...Error writing file:" + missing_dir + "!\n",
         {"raw.bin", "fw.xfw"}},
        {"disk refuses the data", [] {}, xfw,
         "Writing file " + xfw + "...Error creating file:" + xfw + "!\n", {"raw.bin", "fw.xfw"}},
        {"cannot replace the target",
         [&] {
             std::filesystem::create_directory(dir_target);
             write_file(dir_target + "/keep", {1});
         },
         dir_target, "Writing file " + dir_target + "...Error creating file:" + dir_target + "!\n",
         {"raw.bin", "fw.xfw", "busy.xfw"}},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(raw, Bytes(100000, 0x5A));
        write_file(xfw, old_container);
        c.arrange();
        Console con;
        int r;
        {
            FileSizeLimit limit(std::string(c.name) == "disk refuses the data" ? 4096
                                                                               : RLIM_INFINITY);
            r = Q5_create_xfw(raw.c_str(), c.xfw_path.c_str(), 1, 0, 1, "NV-52", -1, 12);
        }
        EXPECT_EQ(r, -1);
        EXPECT_TRUE(con.out().ends_with("Version:1.0\n" + c.tail)) << con.out();
        EXPECT_EQ(read_file(xfw), old_container);
        EXPECT_EQ(dir.names(), c.names);
    }
    EXPECT_EQ(read_file(dir_target + "/keep"), Bytes{1});

    // Once the disk takes it, the old container is replaced whole.
    Console quiet;
    EXPECT_EQ(Q5_create_xfw(raw.c_str(), xfw.c_str(), 1, 0, 1, "NV-52", -1, 12), 0);
    EXPECT_EQ(read_file(xfw).size(), 72u + 100000u);
}

TEST_F(Xfw, UnreadableRawImage) {
    const std::string fifo = dir.path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    write_file(xfw, text_bytes("old"));
    // A missing file, a directory and a FIFO with no writer (whose open would block).
    for (const std::string& path : {dir.path("missing.bin"), dir.root(), fifo}) {
        SCOPED_TRACE(path);
        Console con;
        EXPECT_EQ(Q5_create_xfw(path.c_str(), xfw.c_str(), 1, 0, 1, "NV-52", -1, 12), -1);
        EXPECT_EQ(con.out(), "Error loading file:" + path + "!\n");
        EXPECT_EQ(read_file(xfw), text_bytes("old"));
        EXPECT_EQ(dir.names(), (std::set<std::string>{"fifo", "fw.xfw"}));
    }
}

TEST_F(Xfw, InteractiveCreationAsksInOrder) {
    write_file(raw, ABCDEFGHIJKL);
    const std::string other = dir.path("other.xfw");
    // Empty answers keep the defaults; invalid ones repeat the question.
    Console con("\n" + other + "\nmaybe\nn\n256\n2\n\n");
    char line[] = "cx\n";
    EXPECT_EQ(Q5_cmd_create_xfw(line, raw.c_str(), xfw.c_str(), "Q5-BOARD", -1, 3), 0);
    EXPECT_EQ(con.out(), "Enter BIN file name[" + raw + "]:Enter XFW file name[" + xfw +
                             "]:Encrypt file[yes]:Encrypt file[yes]:Major version:[0]:Major "
                             "version:[0]:Minor version:[0]:Reading file " +
                             raw +
                             "...Ok.\nRaw checksum:0x606f6e6d\nEnc checksum:0x606f6e6d\n"
                             "Version:2.0\nWriting file " +
                             other + "...Ok.\n");
    Bytes file = read_file(other);
    ASSERT_EQ(file.size(), 84u);
    EXPECT_EQ(std::string(file.begin() + 20, file.begin() + 28), std::string("Q5-BOARD"));
    EXPECT_EQ(field(file, 44), 3u);
    EXPECT_EQ(field(file, 48), 0x0200u);
    EXPECT_EQ(field(file, 68), 0u);
    EXPECT_FALSE(std::filesystem::exists(xfw));
}

// ---- upload ------------------------------------------------------------------------------------

int upload(const std::string& name, int dev_type = 12, int limit = -1) {
    char line[] = "up\n";
    return Q5_cmd_upload_xfw(line, name.c_str(), dev_type, limit);
}

TEST_F(Xfw, UploadShowsTheContainerAndWritesItsImage) {
    make(ABCDEFGHIJKL);
    Console con("\n");
    EXPECT_EQ(upload(xfw), 0);
    EXPECT_EQ(con.out(), "Enter XFW file name[" + xfw + "]:Reading file " + xfw +
                             "...Ok (size=0xc,flags=0x01).\n"
                             "Version:1.05\n"
                             "Encrypted:0x01\n"
                             "Calc raw checksum:0x606f6e6d\n"
                             "Calc enc checksum:0x606f6e7c\n"
                             "File raw checksum:0x606f6e6d\n"
                             "File enc checksum:0x606f6e7c\n"
                             "Erasing external flash....Ok.\n"
                             "Writing block 1 of 1...Ok.\n");
    ASSERT_EQ(fake_qxx::codes(), (std::vector<int>{8100, 8102}));
    EXPECT_EQ(fake_qxx::calls()[0].timeout, 60000);
    EXPECT_EQ(fake_qxx::calls()[1].request, Bytes({0, 0, 0x61, 0x62, 0x63, 0x64, 0x64, 0x66, 0x67,
                                                   0x68, 0x79, 0x6A, 0x6B, 0x6C}));
}

TEST_F(Xfw, UploadSplitsTheDataIntoBlocks) {
    struct Case {
        size_t size;
        std::vector<size_t> blocks;
    };
    for (Case c : {Case{96000, {48000, 48000}}, Case{100000, {48000, 48000, 4000}}, Case{4, {4}},
                   Case{0, {}}}) {
        SCOPED_TRACE(c.size);
        Bytes image(c.size);
        for (size_t i = 0; i < c.size; ++i) image[i] = static_cast<unsigned char>(i % 251);
        make(image, 12, 0);
        fake_qxx::reset();
        Console con;
        EXPECT_EQ(upload(xfw), 0);

        std::string progress = "Erasing external flash....Ok.\n";
        for (size_t n = 0; n < c.blocks.size(); ++n)
            progress += "Writing block " + std::to_string(n + 1) + " of " +
                        std::to_string(c.blocks.size()) + "...Ok.\n";
        EXPECT_TRUE(con.out().ends_with(progress)) << con.out();

        const auto& calls = fake_qxx::calls();
        ASSERT_EQ(calls.size(), 1 + c.blocks.size());
        EXPECT_EQ(calls[0].code, 8100);
        size_t offset = 0;
        for (size_t n = 0; n < c.blocks.size(); ++n) {
            const Bytes& req = calls[n + 1].request;
            EXPECT_EQ(calls[n + 1].code, 8102);
            EXPECT_EQ(get_u16le(req.data()), n);
            ASSERT_EQ(req.size(), c.blocks[n] + 2);
            EXPECT_TRUE(std::equal(req.begin() + 2, req.end(), image.begin() + offset));
            offset += c.blocks[n];
        }
    }
}

TEST_F(Xfw, UploadTriesABlockFiveTimes) {
    struct Case {
        int failures;  // of the first block
        int result;
        std::string progress;
        size_t writes;
    };
    for (Case c : {Case{2, 0, "Writing block 1 of 2...Ok.\nWriting block 2 of 2...Ok.\n", 4},
                   Case{4, 0, "Writing block 1 of 2...Ok.\nWriting block 2 of 2...Ok.\n", 6},
                   Case{5, -1, "Writing block 1 of 2...Error!\n", 5}}) {
        SCOPED_TRACE(c.failures);
        make(Bytes(96000, 0x11));
        fake_qxx::reset();
        // Refusals, time-outs and a dropped link all look the same to the upload.
        const int codes[] = {1, 255, -1, 255, 1};
        for (int i = 0; i < c.failures; ++i) fake_qxx::push_reply(8102, {codes[i], {}, 0, 0});
        Console con;
        EXPECT_EQ(upload(xfw), c.result);
        EXPECT_TRUE(con.out().ends_with("Erasing external flash....Ok.\n" + c.progress))
            << con.out();
        std::vector<int> blocks;
        for (const auto& call : fake_qxx::calls())
            if (call.code == 8102) blocks.push_back(get_u16le(call.request.data()));
        std::vector<int> expected(static_cast<size_t>(std::min(c.failures + 1, 5)), 0);
        if (c.result == 0) expected.push_back(1);
        EXPECT_EQ(blocks, expected);
        EXPECT_EQ(blocks.size(), c.writes);
    }
}

TEST_F(Xfw, UploadEraseFailureWritesNothing) {
    make(ABCDEFGHIJKL);
    fake_qxx::push_reply(8100, {255, {}, 0, 0});
    Console con;
    EXPECT_EQ(upload(xfw), -1);
    EXPECT_TRUE(con.out().ends_with(
        "Erasing external flash....Command Q5_cmd_upload_xfw error(code=255)!\n"));
    EXPECT_EQ(fake_qxx::codes(), std::vector<int>{8100});
}

// Each bad container gets its message and nothing at all is sent to the device.
TEST_F(Xfw, UploadChecksTheContainerBeforeSendingAnything) {
    make(ABCDEFGHIJKL);
    const Bytes good = read_file(xfw);
    const std::string bad = dir.path("bad.xfw");
    const std::string reading = "Reading file " + bad + "...";
    const std::string sums =
        "Version:1.05\nEncrypted:0x01\nCalc raw checksum:0x%.8x\nCalc enc checksum:0x%.8x\n"
        "File raw checksum:0x606f6e6d\nFile enc checksum:0x%.8x\n";
    auto with_sums = [&](uint32_t calc_raw, uint32_t calc_enc, uint32_t file_enc) {
        char text[256];
        snprintf(text, sizeof text, sums.c_str(), calc_raw, calc_enc, file_enc);
        return reading + "Ok (size=0xc,flags=0x01).\n" + text;
    };
    struct Case {
        const char* name;
        std::function<Bytes()> file;  // empty function: no file at all
        int dev_type;
        std::string out;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"missing", nullptr, 12, "Error loading file:" + bad + "!\n"},
        {"empty", [] { return Bytes{}; }, 12, reading + "Error loading file:" + bad + "!\n"},
        {"shorter than its header", [&] { return Bytes(good.begin(), good.begin() + 71); }, 12,
         reading + "Error loading file:" + bad + "!\n"},
        {"for another device", [&] { return good; }, 3, reading + "Invalid XFW file!\n"},
        {"cut short", [&] { return Bytes(good.begin(), good.end() - 4); }, 12,
         reading + "Error,file longer than 0x8!\n"},
        {"header only", [&] { return header_of(good); }, 12,
         reading + "Error,file longer than 0x0!\n"},
        {"one image bit changed",
         [&] {
             Bytes f = good;
             f[72 + 5] ^= 0x01;
             return f;
         },
         12, with_sums(0x606f6f6d, 0x606f6f7c, 0x606f6e7c) + "Raw chsum wrong!\n"},
        {"stored checksum changed",
         [&] {
             Bytes f = good;
             f[56] ^= 0x80;
             return f;
         },
         12, with_sums(0x606f6e6d, 0x606f6e7c, 0x606f6efc) + "Enc chsum wrong!\n"},
        {"both wrong: raw reported first",
         [&] {
             Bytes f = good;
             f[72 + 5] ^= 0x01;
             f[56] ^= 0x80;
             return f;
         },
         12, with_sums(0x606f6f6d, 0x606f6f7c, 0x606f6efc) + "Raw chsum wrong!\n"},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(bad);
        if (c.file) write_file(bad, c.file());
        fake_qxx::reset();
        Console con("\n");
        EXPECT_EQ(upload(bad, c.dev_type), -1);
        EXPECT_EQ(con.out(), "Enter XFW file name[" + bad + "]:" + c.out);
        EXPECT_TRUE(fake_qxx::calls().empty());
    }
}

TEST_F(Xfw, UploadRefusesWhatCannotBeAContainer) {
    const std::string fifo = dir.path("fifo.xfw");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {dir.root(), fifo}) {
        SCOPED_TRACE(path);
        Console con(path + "\n");
        EXPECT_EQ(upload("nv52fw.xfw"), -1);
        EXPECT_EQ(con.out(), "Enter XFW file name[nv52fw.xfw]:Error loading file:" + path + "!\n");
    }

    // A data area longer than 16-bit block numbers can place is refused before it is read.
    make(ABCDEFGHIJKL);
    std::filesystem::resize_file(xfw, 72 + 65536ull * 48000 + 1);
    Console con;
    EXPECT_EQ(upload(xfw), -1);
    EXPECT_EQ(con.out(), "Enter XFW file name[" + xfw + "]:Reading file " + xfw +
                             "...Error,file longer than 0xbb800000!\n");
    EXPECT_TRUE(fake_qxx::calls().empty());
}

// Runs `body` in a child process that cannot write the container (root drops to nobody, so the
// file's missing write permission counts); returns the child's exit code.
int in_unprivileged_child(const std::function<int()>& body) {
    pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

TEST_F(Xfw, UploadReadsAReadOnlyContainer) {
    make(ABCDEFGHIJKL);
    ASSERT_EQ(chmod(xfw.c_str(), 0444), 0);
    ASSERT_EQ(chmod(dir.root().c_str(), 0755), 0);
    int code = in_unprivileged_child([&] {
        Console con;
        if (upload(xfw) != 0) return 1;
        if (fake_qxx::codes() != std::vector<int>{8100, 8102}) return 2;
        return con.out().ends_with("Writing block 1 of 1...Ok.\n") ? 0 : 3;
    });
    EXPECT_EQ(code, 0);
}

TEST_F(Xfw, UploadTakesTheLengthLimitAsItsDataArea) {
    // A container whose image was made to a limit of 16 bytes uploads with that limit.
    write_file(raw, ABCDEFGHIJKL);
    {
        Console quiet;
        ASSERT_EQ(Q5_create_xfw(raw.c_str(), xfw.c_str(), 0, 1, 1, "Q5", 16, 3), 0);
    }
    Console con;
    EXPECT_EQ(upload(xfw, 3, 16), 0);
    ASSERT_EQ(fake_qxx::codes(), (std::vector<int>{8100, 8102}));
    EXPECT_EQ(fake_qxx::calls()[1].request.size(), 18u);
    // With a larger limit the missing bytes count as 0xFF, and the checksums no longer match.
    fake_qxx::reset();
    EXPECT_EQ(upload(xfw, 3, 20), -1);
    EXPECT_TRUE(con.out().ends_with("Raw chsum wrong!\n"));
    EXPECT_TRUE(fake_qxx::calls().empty());
}

// ---- flash -------------------------------------------------------------------------------------

int flash(const std::string& name) {
    char line[] = "fl\n";
    return Q5_cmd_flash_fw(line, name.c_str());
}

TEST_F(Xfw, FlashSendsTheFlagAndRawChecksumThenDisconnects) {
    struct Case {
        int scramble;
        Bytes request;
        std::string lines;
    };
    for (Case c : {Case{1,
                        {1, 0, 0, 0, 0x6D, 0x6E, 0x6F, 0x60},
                        "Encrypted:0x01\nRaw checksum:0x606f6e6d\nEnc checksum:0x606f6e7c\n"},
                   Case{0,
                        {0, 0, 0, 0, 0x6D, 0x6E, 0x6F, 0x60},
                        "Encrypted:0x00\nRaw checksum:0x606f6e6d\nEnc checksum:0x606f6e6d\n"}}) {
        SCOPED_TRACE(c.scramble);
        make(ABCDEFGHIJKL, 12, c.scramble);
        fake_qxx::reset();
        Console con("\n");
        EXPECT_EQ(flash(xfw), 0);
        EXPECT_EQ(con.out(), "Enter XFW file name[" + xfw + "]:Reading file " + xfw + "...Ok.\n" +
                                 c.lines + "Starting memory flashing process...");
        ASSERT_EQ(fake_qxx::codes(), std::vector<int>{8103});
        EXPECT_EQ(fake_qxx::calls()[0].request, c.request);
        EXPECT_EQ(fake_qxx::calls()[0].timeout, 30000);
        EXPECT_EQ(fake_qxx::disconnects(), 1);
    }
}

TEST_F(Xfw, FlashFailures) {
    make(ABCDEFGHIJKL);
    const std::string header_only = dir.path("header.xfw");
    write_file(header_only, header_of(read_file(xfw)));
    const std::string short_header = dir.path("short.xfw");
    write_file(short_header, Bytes(70, 0));
    struct Case {
        const char* name;
        std::string path;
        int refusal;  // the device's answer; 0 when nothing should be sent
        std::string tail;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"missing", dir.path("none.xfw"), 0, "Error loading file:" + dir.path("none.xfw") + "!\n"},
        {"short header", short_header, 0,
         "Reading file " + short_header + "...Error loading file:" + short_header + "!\n"},
        {"device refuses", xfw, 1,
         "Starting memory flashing process...Command Q5_cmd_flash_fw error(code=1)!\n"},
        // Only the header is read: the image need not be there.
        {"header alone is enough", header_only, 255,
         "Starting memory flashing process...Command Q5_cmd_flash_fw error(code=255)!\n"},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_qxx::reset();
        if (c.refusal) fake_qxx::push_reply(8103, {c.refusal, {}, 0, 0});
        Console con(c.path + "\n");
        EXPECT_EQ(flash("nv52fw.xfw"), -1);
        EXPECT_TRUE(con.out().ends_with(c.tail)) << con.out();
        EXPECT_EQ(fake_qxx::codes(), c.refusal ? std::vector<int>{8103} : std::vector<int>{});
        EXPECT_EQ(fake_qxx::disconnects(), 0);
    }
}

}  // namespace
