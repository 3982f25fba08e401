// The container writer on images of several of its pieces, scrambled and plain, against a
// model of the format written from it (header fields, word checksums, scrambling); a file
// shorter than it says; and the upload of a data area the system will not hold. (Small images,
// the header's fields, the interactive forms and refusals: data/q5_container.txt; the upload:
// data/q5_upload.txt.)
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdio>

#include "fixture.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define Q5_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define Q5_TEST_SANITIZED 1
#endif
#endif

namespace {

using Container = Linked;

inline std::string hex(const char* format, uint64_t v) {
    char buf[64];
    snprintf(buf, sizeof buf, format, static_cast<unsigned long long>(v));
    return buf;
}

// ---- the container format ----------------------------------------------------------------------

inline uint32_t word(const Bytes& b, size_t i) {
    return uint32_t{b[4 * i]} | uint32_t{b[4 * i + 1]} << 8 | uint32_t{b[4 * i + 2]} << 16 |
           uint32_t{b[4 * i + 3]} << 24;
}
inline uint32_t key(size_t i) {
    uint32_t k = static_cast<uint32_t>(i);
    return k * k * k * k;
}
// Word i XOR i^4, its own inverse.
inline Bytes scramble(Bytes b) {
    for (size_t i = 0; i < b.size() / 4; ++i) put_u32le(&b[4 * i], word(b, i) ^ key(i));
    return b;
}
struct Sums {
    uint32_t raw, enc;
    bool operator==(const Sums&) const = default;
};
// The checksums of a data area as stored: enc over its words, raw over them unscrambled.
inline Sums sums(const Bytes& stored, bool scrambled) {
    Sums s{0, 0};
    for (size_t i = 0; i < stored.size() / 4; ++i) {
        s.enc ^= word(stored, i);
        s.raw ^= scrambled ? word(stored, i) ^ key(i) : word(stored, i);
    }
    return s;
}

// A 72-byte header; the date and time are 2026-12-06 01:58:03, the clock of the writer's tests.
struct Header {
    std::string model = "NV-52";
    uint32_t size = 0, dev_type = 12, version = 0x0105;
    Sums sums{0, 0};
    uint32_t flags = 0;
    Bytes bytes() const {
        Bytes h = text(std::string("ORVANTIS FIRMWARE\0\0\0", 20));
        Bytes m = text(model.substr(0, 20));
        m.resize(20, 0);
        h.insert(h.end(), m.begin(), m.end());
        h.resize(72, 0);
        for (auto [at, v] : {std::pair{40, size},
                             {44, dev_type},
                             {48, version},
                             {52, sums.raw},
                             {56, sums.enc},
                             {68, flags}})
            put_u32le(&h[at], v);
        const unsigned char date_time[] = {0x06, 0x0C, 0xEA, 0x07, 0x03, 0x3A, 0x01, 0x00};
        std::copy(std::begin(date_time), std::end(date_time), h.begin() + 60);
        return h;
    }
};

TEST_F(Container, LargeImagesScrambledAndPlain) {
    FixedClock clock(2026, 12, 6, 1, 58, 3);
    const Bytes big = pattern(300001);  // more than one piece of the writer, and padded
    Bytes image = big;
    image.resize(300004, 0);
    write_file("raw.bin", big);
    for (int scrambled : {1, 0}) {
        const Bytes stored = scrambled ? scramble(image) : image;
        const Sums s = sums(stored, scrambled);
        Console con;
        EXPECT_EQ(Q5_create_xfw("raw.bin", "fw.xfw", 1, 5, scrambled, "NV-52", -1, 12), 0);
        EXPECT_EQ(con.out(), "Reading file raw.bin...Ok.\nRaw checksum:" + hex("0x%.8llx", s.raw) +
                                 "\nEnc checksum:" + hex("0x%.8llx", s.enc) +
                                 "\nVersion:1.5\nWriting file fw.xfw...Ok.\n");
        Header h;
        h.size = 300004;
        h.sums = s;
        h.flags = static_cast<uint32_t>(scrambled);
        Bytes expected = h.bytes();
        expected.insert(expected.end(), stored.begin(), stored.end());
        EXPECT_EQ(read_file("fw.xfw"), expected) << scrambled;
        EXPECT_EQ(read_file("raw.bin"), big);  // the raw image is never changed
    }
}

// A file that ends before the length it states, as the files under /sys do, fails mid-read.
TEST_F(Container, AFileShorterThanItSaysFailsMidRead) {
    const char* short_file = "/sys/devices/system/cpu/online";
    if (!std::filesystem::exists(short_file)) GTEST_SKIP() << short_file << " is not there";
    Console con;
    EXPECT_EQ(Q5_create_xfw(short_file, "fw.xfw", 1, 5, 1, "NV-52", -1, 12), -1);
    EXPECT_EQ(con.out(), std::string("Reading file ") + short_file +
                             "...Error loading file:" + short_file + "!\n");
    EXPECT_FALSE(std::filesystem::exists("fw.xfw"));
}

// A data area the system will not hold is reported like an unreadable file and nothing is sent.
// Run in a child whose address space is capped; the sanitizers need more than the cap leaves.
TEST_F(Container, UploadOfAnAreaTooLargeForMemory) {
#ifdef Q5_TEST_SANITIZED
    GTEST_SKIP() << "the sanitizers reserve more address space than the cap leaves";
#endif
    write_file("fw.xfw", Header().bytes());
    std::filesystem::resize_file("fw.xfw", 72 + 2000000000ull);
    pid_t pid = fork();
    if (pid == 0) {
        unsigned long pages = 0;
        FILE* statm = fopen("/proc/self/statm", "r");
        if (statm == nullptr || fscanf(statm, "%lu", &pages) != 1) _exit(99);
        fclose(statm);
        const rlim_t cap = pages * sysconf(_SC_PAGESIZE) + (rlim_t{512} << 20);
        rlimit limit{cap, cap};
        if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(98);
        Console con("\n");
        std::string line = "up\n";
        const int r = Q5_cmd_upload_xfw(line.data(), "fw.xfw", 12, -1);
        _exit(r == -1 &&
                      con.out() ==
                          "Enter XFW file name[fw.xfw]:Reading file fw.xfw...Error loading "
                          "file:fw.xfw!\n" &&
                      fake_qxx::st().calls.empty()
                  ? 0
                  : 1);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
