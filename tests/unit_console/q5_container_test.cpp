// The container writer on images of several of its pieces, scrambled and plain, against the
// model of the format, and on a file shorter than it says. (Small images, the header's fields,
// the interactive forms and the refusals: data/q5_container.txt.)
#include "q5_support.h"

namespace {

using namespace q5test;
using Container = Linked;

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

}  // namespace
