// The container writer, byte for byte: header fields at a fixed clock, checksums and scrambling
// of small and multi-piece images, the version's low bytes, model padding and cutting, length
// limits, and the texts it prints.
#include "q5_support.h"
#include "q8_cmds.h"

namespace {

using namespace q5test;
using Container = Linked;

const std::string READ = "Reading file raw.bin...";

std::string report(Sums s, const std::string& version) {
    return READ + "Ok.\nRaw checksum:" + hex("0x%.8llx", s.raw) +
           "\nEnc checksum:" + hex("0x%.8llx", s.enc) + "\nVersion:" + version +
           "\nWriting file fw.xfw...Ok.\n";
}

std::pair<int, std::string> create(int major, int minor, int scramble, const char* model, int limit,
                                   int dev_type) {
    Console con;
    int r = Q5_create_xfw("raw.bin", "fw.xfw", major, minor, scramble, model, limit, dev_type);
    return {r, con.out()};
}

// The container byte for byte: images small, empty and of several of the writer's pieces,
// scrambled and plain, with their checksums; and the fields the caller chooses: versions beyond
// a byte, models short, long and absent, device types, length limits at and above the file's.
TEST_F(Container, ImagesChecksumsAndHeader) {
    FixedClock clock(2026, 12, 6, 1, 58, 3);
    const Bytes big = pattern(300001);  // more than one piece of the writer, and padded
    const auto padded = [](Bytes b, size_t n) {
        b.resize(n, 0);
        return b;
    };
    const Bytes big_image = padded(big, 300004), abcde = text("abcde");
    const Sums abcde_sums{0x64636261 ^ 0x65, 0x64636261 ^ 0x65};
    struct {
        const char* name;
        Bytes raw;
        int scramble, major, minor, limit, dev_type;
        const char *model, *model_field;
        Bytes image;
        Sums sums;
        uint32_t version;
    } cases[] = {
        // clang-format off
        {"abcdefghijkl scrambled", text("abcdefghijkl"), 1, 1, 5, -1, 12, "NV-52", "NV-52", {0x61, 0x62, 0x63, 0x64, 0x64, 0x66, 0x67, 0x68, 0x79, 0x6A, 0x6B, 0x6C}, {0x606F6E6D, 0x606F6E7C}, 0x105},
        {"abcdefghijkl plain", text("abcdefghijkl"), 0, 1, 5, -1, 12, "NV-52", "NV-52", text("abcdefghijkl"), {0x606F6E6D, 0x606F6E6D}, 0x105},
        {"abc scrambled", text("abc"), 1, 1, 5, -1, 12, "NV-52", "NV-52", {0x61, 0x62, 0x63, 0}, {0x00636261, 0x00636261}, 0x105},
        {"abc plain", text("abc"), 0, 1, 5, -1, 12, "NV-52", "NV-52", {0x61, 0x62, 0x63, 0}, {0x00636261, 0x00636261}, 0x105},
        {"empty scrambled", {}, 1, 1, 5, -1, 12, "NV-52", "NV-52", {}, {0, 0}, 0x105},
        {"empty plain", {}, 0, 1, 5, -1, 12, "NV-52", "NV-52", {}, {0, 0}, 0x105},
        {"large scrambled", big, 1, 1, 5, -1, 12, "NV-52", "NV-52", scramble(big_image), sums(scramble(big_image), true), 0x105},
        {"large plain", big, 0, 1, 5, -1, 12, "NV-52", "NV-52", big_image, sums(big_image, false), 0x105},
        {"low bytes of the version", abcde, 0, 257, 0x1FE, -1, 12, "NV-52", "NV-52", padded(abcde, 8), abcde_sums, 0x01FE},
        {"version 0.0", abcde, 0, 0, 0, -1, 3, "Q5-BOARD", "Q5-BOARD", padded(abcde, 8), abcde_sums, 0},
        {"version 255.255", abcde, 0, 255, 255, -1, 12, "NV-52", "NV-52", padded(abcde, 8), abcde_sums, 0xFFFF},
        {"model of 19", abcde, 0, 1, 5, -1, 12, "ABCDEFGHIJKLMNOPQRS", "ABCDEFGHIJKLMNOPQRS", padded(abcde, 8), abcde_sums, 0x105},
        {"model cut to 20", abcde, 0, 1, 5, -1, 12, "ABCDEFGHIJKLMNOPQRSTUVWXYZ", "ABCDEFGHIJKLMNOPQRST", padded(abcde, 8), abcde_sums, 0x105},
        {"no model", abcde, 0, 1, 5, -1, 12, nullptr, "", padded(abcde, 8), abcde_sums, 0x105},
        {"limit at the length", abcde, 0, 1, 5, 5, 12, "NV-52", "NV-52", padded(abcde, 8), abcde_sums, 0x105},
        {"limit above, padded", abcde, 0, 1, 5, 13, 12, "NV-52", "NV-52", padded(abcde, 16), abcde_sums, 0x105},
        {"limit beyond a piece", abcde, 0, 1, 5, 300000, 12, "NV-52", "NV-52", padded(abcde, 300000), abcde_sums, 0x105},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file("raw.bin", c.raw);
        EXPECT_EQ(
            create(c.major, c.minor, c.scramble, c.model, c.limit, c.dev_type),
            std::pair(0, report(c.sums, std::to_string(c.major) + "." + std::to_string(c.minor))));
        Header h;
        h.model = c.model_field;
        h.size = static_cast<uint32_t>(c.image.size());
        h.dev_type = static_cast<uint32_t>(c.dev_type);
        h.version = c.version;
        h.sums = c.sums;
        h.flags = static_cast<uint32_t>(c.scramble);
        Bytes expected = h.bytes();
        expected.insert(expected.end(), c.image.begin(), c.image.end());
        EXPECT_EQ(read_file("fw.xfw"), expected);
        EXPECT_EQ(sums(c.image, c.scramble), c.sums);  // the model agrees with the figures
        EXPECT_EQ(read_file("raw.bin"), c.raw);        // the raw image is never changed
    }
}

// The interactive writer: names of up to 255 characters, scrambling yes or no, the version in
// 0..255, an empty answer keeping the value shown (the board's form, and the instrument's with
// its default names); and the instrument's offline form. The new file is open to everyone the
// umask lets in.
TEST_F(Container, AskedInteractivelyAndTheInstrumentsForms) {
    FixedClock clock(2026, 12, 6, 1, 58, 3);
    const std::string raw = times("p/", 125) + "x.bin", xfw = times("q/", 123) + "fw_ab.xfw";
    ASSERT_EQ(std::pair(raw.size(), xfw.size()), std::pair(size_t{255}, size_t{255}));
    std::filesystem::create_directories(times("p/", 125));
    std::filesystem::create_directories(times("q/", 123));
    write_file(raw, text("abc"));
    write_file("nv52fw.tar", text("abcdefgh"));
    const Sums abc{0x00636261, 0x00636261}, abcdefgh{0x0C040404, 0x0C040404};
    struct {
        const char* name;
        Handler cmd;
        std::string input, asked, read, written;
        const char* model;
        uint32_t size, dev_type, version;
        Sums sums;
        uint32_t flags;
        Bytes image;
    } cases[] = {
        {"the board's form, scrambled",
         [](char* l, int) { return Q5_cmd_create_xfw(l, "nv.bin", "fw.xfw", "Q5-BOARD", -1, 3); },
         raw + "x\n" + raw + "\n" + xfw + "x\n" + xfw + "\nmaybe\ny\n256\n0\n256\n2\n",
         times("Enter BIN file name[nv.bin]:", 2) + times("Enter XFW file name[fw.xfw]:", 2) +
             times("Encrypt file[yes]:", 2) + times("Major version:[0]:", 2) +
             times("Minor version:[0]:", 2),
         raw,
         xfw,
         "Q5-BOARD",
         4,
         3,
         0x0002,
         abc,
         1,
         {0x61, 0x62, 0x63, 0}},
        {"the instrument's form, its defaults, not scrambled",
         [](char* l, int) { return Q8_cmd_create_xfw(l); }, "\n\nn\n1\n\n",
         "Enter BIN file name[nv52fw.tar]:Enter XFW file name[nv52fw.xfw]:Encrypt file[yes]:"
         "Major version:[0]:Minor version:[0]:",
         "nv52fw.tar", "nv52fw.xfw", "NV-52", 8, 12, 0x0100, abcdefgh, 0, text("abcdefgh")},
        {"the instrument's offline form",
         [](char*, int) { return Q8_create_xfw("nv52fw.tar", "o.xfw", 3, 4, 0); }, "", "",
         "nv52fw.tar", "o.xfw", "NV-52", 8, 12, 0x0304, abcdefgh, 0, text("abcdefgh")},
    };
    const mode_t mask = umask(022);
    umask(mask);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const uint32_t v = c.version;
        EXPECT_EQ(run(c.cmd, "cx\n", c.input),
                  std::pair(0, c.asked + "Reading file " + c.read +
                                   "...Ok.\nRaw checksum:" + hex("0x%.8llx", c.sums.raw) +
                                   "\nEnc checksum:" + hex("0x%.8llx", c.sums.enc) + "\nVersion:" +
                                   std::to_string(v >> 8) + "." + std::to_string(v & 0xFF) +
                                   "\nWriting file " + c.written + "...Ok.\n"));
        Header h;
        h.model = c.model;
        h.size = c.size;
        h.dev_type = c.dev_type;
        h.version = c.version;
        h.sums = c.sums;
        h.flags = c.flags;
        Bytes expected = h.bytes();
        expected.insert(expected.end(), c.image.begin(), c.image.end());
        EXPECT_EQ(read_file(c.written), expected);
        struct stat st {};
        ASSERT_EQ(stat(c.written.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask);
    }
}

// Each field of the date and time in its own place: no two of them equal.
TEST_F(Container, DateAndTimeFromTheClock) {
    write_file("raw.bin", {});
    struct {
        int clock[6];
        Bytes date_time;
    } cases[] = {
        {{2026, 12, 6, 1, 58, 3}, {0x06, 0x0C, 0xEA, 0x07, 0x03, 0x3A, 0x01, 0x00}},
        {{1999, 1, 31, 23, 7, 59}, {0x1F, 0x01, 0xCF, 0x07, 0x3B, 0x07, 0x17, 0x00}},
    };
    for (const auto& c : cases) {
        const int* t = c.clock;
        FixedClock clock(t[0], t[1], t[2], t[3], t[4], t[5]);
        EXPECT_EQ(create(1, 5, 1, "NV-52", -1, 12).first, 0);
        Bytes f = read_file("fw.xfw");
        ASSERT_EQ(f.size(), 72u);
        EXPECT_EQ(Bytes(f.begin() + 60, f.begin() + 68), c.date_time) << t[0];
    }
}

// A raw file that is missing, not a regular file, or longer than the limit (a sparse one whose
// padded length does not fit 32 bits) is refused before anything is written.
TEST_F(Container, RefusedWithoutWriting) {
    FixedClock clock(2026, 12, 6, 1, 58, 3);
    std::filesystem::create_directory("dir.bin");
    struct {
        const char* raw;
        Bytes contents;
        int limit;
        std::string out;
        uintmax_t sparse = 0;  // the file's length when made sparse
    } cases[] = {
        {"none.bin", {}, -1, "Error loading file:none.bin!\n"},
        {"dir.bin", {}, -1, "Error loading file:dir.bin!\n"},
        {"raw.bin", Bytes(0x101, 0xA5), 0x100, READ + "Error,file longer than 0x100!\n"},
        {"raw.bin", Bytes(5, 1), 4, READ + "Error,file longer than 0x4!\n"},
        {"raw.bin", Bytes(1, 1), 0, READ + "Error,file longer than 0x0!\n"},
        {"raw.bin", {}, -1, READ + "Error,file longer than 0xfffffffc!\n", 0xFFFFFFFD},
    };
    for (const auto& c : cases) {
        if (std::string(c.raw) == "raw.bin") write_file("raw.bin", c.contents);
        if (c.sparse) std::filesystem::resize_file("raw.bin", c.sparse);
        Console con;
        const size_t open = open_descriptors();
        EXPECT_EQ(Q5_create_xfw(c.raw, "fw.xfw", 1, 5, 1, "NV-52", c.limit, 12), -1);
        EXPECT_EQ(con.out(), c.out);
        EXPECT_FALSE(std::filesystem::exists("fw.xfw"));
        EXPECT_EQ(open_descriptors(), open) << c.raw;  // nothing left open
    }
    // A file that ends before the length it states, as the files under /sys do, fails mid-read.
    const char* short_file = "/sys/devices/system/cpu/online";
    if (!std::filesystem::exists(short_file)) GTEST_SKIP() << short_file << " is not there";
    Console con;
    EXPECT_EQ(Q5_create_xfw(short_file, "fw.xfw", 1, 5, 1, "NV-52", -1, 12), -1);
    EXPECT_EQ(con.out(), std::string("Reading file ") + short_file +
                             "...Error loading file:" + short_file + "!\n");
    EXPECT_FALSE(std::filesystem::exists("fw.xfw"));
}

}  // namespace
