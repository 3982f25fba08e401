// The upload against the fake link: how a data area is split into blocks and what each block
// carries, the 0xFF fill, the checks that keep a bad container from being sent, the repeats of a
// failed block and the time-outs. (The flash request: data/q5_commands.txt.)
#include <sys/resource.h>
#include <sys/wait.h>

#include "q5_support.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define Q5_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define Q5_TEST_SANITIZED 1
#endif
#endif

namespace {

using namespace q5test;
using Upload = Linked;

const std::string PROMPT = "Enter XFW file name[fw.xfw]:";
const std::string READING = PROMPT + "Reading file fw.xfw...";
const std::string LONGEST(255, 'n');  // the longest name the prompts take

int upload(char* line, int limit) {
    return Q5_cmd_upload_xfw(line, "fw.xfw", 12, limit);
}

// The header's checksums set to those of `area`, the data area the upload will see.
Bytes with_sums(Bytes xfw, const Bytes& area) {
    Sums s = sums(area, get_u32le(&xfw[68]) & 1);
    put_u32le(&xfw[52], s.raw);
    put_u32le(&xfw[56], s.enc);
    return xfw;
}

// What the upload prints up to its checksum verdict for a container and its data area.
std::string checked(const Bytes& xfw, const Bytes& area) {
    const uint32_t flags = get_u32le(&xfw[68]), version = get_u32le(&xfw[48]);
    const Sums calc = sums(area, flags & 1);
    return READING + "Ok (size=" + hex("0x%llx", get_u32le(&xfw[40])) +
           ",flags=" + hex("0x%.2llx", flags) +
           ").\nVersion:" + std::to_string((version >> 8) & 0xFF) + "." +
           hex("%.2llu", version & 0xFF) + "\nEncrypted:" + hex("0x%.2llx", flags & 1) +
           "\nCalc raw checksum:" + hex("0x%.8llx", calc.raw) +
           "\nCalc enc checksum:" + hex("0x%.8llx", calc.enc) +
           "\nFile raw checksum:" + hex("0x%.8llx", get_u32le(&xfw[52])) +
           "\nFile enc checksum:" + hex("0x%.8llx", get_u32le(&xfw[56])) + "\n";
}

std::string block_line(int n, int total, const char* end = "Ok.\n") {
    return "Writing block " + std::to_string(n) + " of " + std::to_string(total) + "..." + end;
}

// The recorded erase and block requests: each block as its number and the slice of the area.
void expect_sent(const Bytes& area, const std::vector<std::pair<int, size_t>>& blocks) {
    const auto& calls = fake_qxx::st().calls;
    ASSERT_EQ(calls.size(), blocks.size() + 1);
    EXPECT_EQ(std::tuple(calls[0].code, calls[0].request, calls[0].timeout, calls[0].wait),
              std::tuple(8100, Bytes{}, 60000, 1));
    for (size_t i = 0; i < blocks.size(); ++i) {
        auto [n, length] = blocks[i];
        Bytes request = {static_cast<unsigned char>(n), static_cast<unsigned char>(n >> 8)};
        request.insert(request.end(), area.begin() + 48000L * n,
                       area.begin() + 48000L * n + static_cast<long>(length));
        const auto& c = calls[i + 1];
        EXPECT_EQ(std::tuple(c.code, c.timeout, c.wait, c.reply_size), std::tuple(8102, 1000, 1, 0))
            << i;
        EXPECT_TRUE(c.request == request)
            << "block " << i << " of " << c.request.size() << " bytes";
    }
}

TEST_F(Upload, DataAreaSplitIntoBlocks) {
    const Bytes large = scramble(pattern(100000, 2)), exact = pattern(96000, 3);
    const Bytes abcd_ff = {'a', 'b', 'c', 'd', 0xFF, 0xFF, 0xFF, 0xFF};
    Bytes flagged = container(text("abcd"), 0x103);  // flags beyond bit 0 change nothing
    Bytes trailing = container(text("abcd"));
    trailing.insert(trailing.end(), {'Z', 'Z', 'Z', 'Z'});  // after `size`: never read
    Bytes one = container({});
    one.push_back(0x5A);
    struct {
        const char* name;
        Bytes xfw;
        int limit;
        Bytes area;
        std::vector<std::pair<int, size_t>> blocks;
    } cases[] = {
        {"100000 scrambled", container(large, 1), -1, large, {{0, 48000}, {1, 48000}, {2, 4000}}},
        {"96000", container(exact), -1, exact, {{0, 48000}, {1, 48000}}},
        {"4", container(text("wxyz")), -1, text("wxyz"), {{0, 4}}},
        {"1, beyond size", one, -1, {0xFF}, {{0, 1}}},
        {"0", container({}), -1, {}, {}},
        {"limit 0", one, 0, {}, {}},
        {"limit, filled", with_sums(flagged, abcd_ff), 8, abcd_ff, {{0, 8}}},
        {"bytes beyond size, filled", with_sums(trailing, abcd_ff), -1, abcd_ff, {{0, 8}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_qxx::reset();
        write_file("fw.xfw", c.xfw);
        std::string out = checked(c.xfw, c.area) + "Erasing external flash....Ok.\n";
        for (size_t i = 0; i < c.blocks.size(); ++i)
            out += block_line(static_cast<int>(i + 1), static_cast<int>(c.blocks.size()));
        const int limit = c.limit;
        EXPECT_EQ(run([limit](char* l, int) { return upload(l, limit); }, "up\n", "\n"),
                  std::pair(0, out));
        expect_sent(c.area, c.blocks);
    }
}

// A block is sent up to five times in all; the fifth failure ends the upload there.
TEST_F(Upload, FailedBlocksAreRepeatedFiveTimesAtMost) {
    const Bytes area = pattern(96000, 4);
    const Bytes xfw = container(area);
    write_file("fw.xfw", xfw);
    const std::string erased = checked(xfw, area) + "Erasing external flash....Ok.\n";
    const std::string ok = block_line(1, 2) + block_line(2, 2);
    struct {
        int first_fails, second_fails, result;
        std::string tail;
        std::vector<int> blocks;  // the block of each write request, in order
    } cases[] = {
        {2, 0, 0, ok, {0, 0, 0, 1}},
        {4, 4, 0, ok, {0, 0, 0, 0, 0, 1, 1, 1, 1, 1}},
        {5, 0, -1, block_line(1, 2, "Error!\n"), {0, 0, 0, 0, 0}},
        {0, 5, -1, block_line(1, 2) + block_line(2, 2, "Error!\n"), {0, 1, 1, 1, 1, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.first_fails) + " " + std::to_string(c.second_fails));
        fake_qxx::reset();
        auto& q = fake_qxx::st().replies[8102];
        for (int i = 0; i < c.first_fails; ++i) q.push_back(answer(255));
        if (c.first_fails < 5) q.push_back(answer(0));
        for (int i = 0; i < c.second_fails; ++i) q.push_back(answer(1));
        EXPECT_EQ(run([](char* l, int) { return upload(l, -1); }, "up\n", "\n"),
                  std::pair(c.result, erased + c.tail));
        std::vector<std::pair<int, size_t>> blocks;
        for (int n : c.blocks) blocks.emplace_back(n, 48000);
        expect_sent(area, blocks);
    }
}

TEST_F(Upload, RefusedErase) {
    const Bytes xfw = container(text("abcd"));
    write_file("fw.xfw", xfw);
    fake_qxx::st().replies[8100].push_back(answer(7));
    EXPECT_EQ(run([](char* l, int) { return upload(l, -1); }, "up\n", "\n"),
              std::pair(-1, checked(xfw, text("abcd")) + "Erasing external flash....Command " +
                                "Q5_cmd_upload_xfw error(code=7)!\n"));
    EXPECT_EQ(fake_qxx::codes(), std::vector<int>{8100});
}

// Containers that must not reach the device: nothing is sent for any of them.
TEST_F(Upload, BadContainersAreNotSent) {
    const Bytes image = scramble(pattern(4000, 5));
    const Bytes good = container(image, 1);
    auto spoilt = [&](int at, uint32_t mask) {
        Bytes b = good;
        put_u32le(&b[at], get_u32le(&b[at]) ^ mask);
        return b;
    };
    Bytes bit = good;
    bit[72 + 1234] ^= 0x10;
    const Bytes other = container(image, 1, 3), cut(good.begin(), good.end() - 4);
    std::filesystem::create_directory("dir.xfw");
    struct {
        const char* name;
        std::string file;
        Bytes xfw;
        int limit;
        std::string out;
    } cases[] = {
        {"missing", "none.xfw", {}, -1, PROMPT + "Error loading file:none.xfw!\n"},
        {"the longest name", LONGEST, {}, -1, PROMPT + "Error loading file:" + LONGEST + "!\n"},
        {"a directory", "dir.xfw", {}, -1, PROMPT + "Error loading file:dir.xfw!\n"},
        {"header of 71", "fw.xfw", Bytes(good.begin(), good.begin() + 71), -1,
         READING + "Error loading file:fw.xfw!\n"},
        {"another device", "fw.xfw", other, -1, READING + "Invalid XFW file!\n"},
        {"cut short", "fw.xfw", cut, -1, READING + "Error,file longer than 0xf9c!\n"},
        {"limit below size", "fw.xfw", good, 3996, READING + "Error,file longer than 0xf9c!\n"},
        {"limit above the file", "fw.xfw", cut, 5000, READING + "Error loading file:fw.xfw!\n"},
        {"one image bit", "fw.xfw", bit, -1,
         checked(bit, Bytes(bit.begin() + 72, bit.end())) + "Raw chsum wrong!\n"},
        {"raw checksum", "fw.xfw", spoilt(52, 1), -1,
         checked(spoilt(52, 1), image) + "Raw chsum wrong!\n"},
        {"enc checksum", "fw.xfw", spoilt(56, 0x80000000), -1,
         checked(spoilt(56, 0x80000000), image) + "Enc chsum wrong!\n"},
        {"scramble flag cleared", "fw.xfw", spoilt(68, 1), -1,
         checked(spoilt(68, 1), image) + "Raw chsum wrong!\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.xfw.empty()) write_file(c.file, c.xfw);
        const std::string input = c.file + "\n";
        const int limit = c.limit;
        EXPECT_EQ(run([limit](char* l, int) { return upload(l, limit); }, "up\n", input),
                  std::pair(-1, c.out));
        EXPECT_TRUE(fake_qxx::st().calls.empty());
    }
    // Block numbers are 16 bits: a data area of more than 65536 blocks is refused unread (one
    // block more, so that a limit moved by a block still refuses it rather than reading 3 GB).
    write_file("fw.xfw", container({}));
    std::filesystem::resize_file("fw.xfw", 72 + 65537ull * 48000 + 1);
    EXPECT_EQ(run([](char* l, int) { return upload(l, -1); }, "up\n", "\n"),
              std::pair(-1, READING + "Error,file longer than 0xbb800000!\n"));
    EXPECT_TRUE(fake_qxx::st().calls.empty());
}

// A data area the system will not hold is reported like an unreadable file and nothing is sent.
// Run in a child whose address space is capped; the sanitizers need more than the cap leaves.
TEST_F(Upload, DataAreaTooLargeForMemory) {
#ifdef Q5_TEST_SANITIZED
    GTEST_SKIP() << "the sanitizers reserve more address space than the cap leaves";
#endif
    write_file("fw.xfw", container({}));
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
        const int r = upload(line.data(), -1);
        _exit(r == -1 && con.out() == READING + "Error loading file:fw.xfw!\n" &&
                      fake_qxx::st().calls.empty()
                  ? 0
                  : 1);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
