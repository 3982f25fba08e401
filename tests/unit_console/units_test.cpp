// What a transcript under data/ cannot express: a failing input stream, events that arrive
// while a reader waits, and files the system will not read whole or hold.
#include <sys/resource.h>

#include <cerrno>
#include <cstdio>

#include "fixture.h"
#include "q5_comm.h"
#include "q8_cmds.h"
#include "q8_comm.h"

namespace {

TEST(LinePrimitives, Words) {
    EXPECT_EQ(std::vector<int>(
                  {input_empty(""), input_empty(" \t\n"), input_empty(" x\n"), input_empty("\n")}),
              std::vector<int>({1, 1, 0, 1}));
    EXPECT_EQ(std::vector<int>(
                  {input_equal("HE\n", "help", "he"), input_equal("  Help me\n", "help", "he"),
                   input_equal("helps\n", "help", "he"), input_equal("hel\n", "help", "he"),
                   input_equal("\n", "", ""), input_equal("\tq", "quit", "q"),
                   input_equal("x", nullptr, "X"), input_equal("x", "x", nullptr)}),
              std::vector<int>({1, 1, 0, 0, 0, 1, 1, 1}));
    EXPECT_EQ(std::vector<int>({input_has_params("st 2\n"), input_has_params("st\t2\n"),
                                input_has_params("st\n")}),
              std::vector<int>({1, 0, 0}));
}

// A stream that gives one character and then fails, as a terminal that goes away mid-line.
ssize_t one_char_then_error(void* cookie, char* buf, size_t) {
    if ((*static_cast<int*>(cookie))++ > 0) {
        errno = EIO;
        return -1;
    }
    buf[0] = '7';
    return 1;
}

// What was read before a read error is not an answer: the reader keeps its value.
TEST(LinePrimitives, AReadErrorEndsTheInputWithAnEmptyLine) {
    Console con;
    int reads = 0;
    FILE* in = fopencookie(&reads, "r", {one_char_then_error, nullptr, nullptr, nullptr});
    ASSERT_NE(in, nullptr);
    input_set_stream(in);
    int32_t v = 3;
    EXPECT_EQ(input_integer_msg(&v, 0, 9, "N"), 0);
    EXPECT_EQ(std::tuple(v, input_ended(), con.out()), std::tuple(3, 1, std::string("N[3]:")));
    input_set_stream(nullptr);
    fclose(in);
}

// A new input starts clean: what was read ahead of the last one's answer is not its first line.
TEST(LinePrimitives, ANewInputForgetsWhatTheLastOneReadAhead) {
    Console con;
    char first_text[] = {'\xff', 'a', 'b', '\n'}, second_text[] = {'7', '\n'};  // 0xFF: a mark?
    FILE* first = fmemopen(first_text, sizeof first_text, "r");
    FILE* second = fmemopen(second_text, sizeof second_text, "r");
    ASSERT_TRUE(first != nullptr && second != nullptr);
    char line[16];
    input_set_stream(first);
    input_get(line, 2);  // room for one byte: "a", looked at with it, is not handed out
    EXPECT_STREQ(line, "\xff");
    input_set_stream(second);
    input_get(line, sizeof line);
    EXPECT_EQ(line[0], '7');
    input_set_stream(nullptr);
    fclose(first);
    fclose(second);
}

// A request carries at most 65531 bytes of data, and data needs a buffer: the rest go unsent.
TEST(Requests, WriteSizes) {
    fake_qxx::reset();
    const Bytes data(65532, 0x3C);
    EXPECT_EQ(Q5_write_ext_flash(7, 1, data.data(), 65532, 1), -1);
    EXPECT_EQ(Q5_write_ext_flash(7, 1, data.data(), -1, 1), -1);
    EXPECT_EQ(Q5_write_ext_flash(7, 1, nullptr, 1, 1), -1);
    EXPECT_EQ(Q5_write_ext_flash(7, 1, data.data(), 65531, 1), 0);
    ASSERT_EQ(fake_qxx::codes(), (std::vector<int>{8102}));
    EXPECT_EQ(fake_qxx::st().calls[0].request.size(), 65533u);
}

using Q8Commands = Linked;

// Each read first delivers a keyboard event, as the link's thread does while the operator types.
ssize_t read_after_event(void* cookie, char* buf, size_t size) {
    auto* left = static_cast<std::string*>(cookie);
    Bytes key(8, 0);
    put_i32le(key.data() + 4, 7);
    Q8_event_keyboard_data(7, nullptr, frame_of(10003, key).data(), 0);
    size_t n = std::min(size, left->size());
    std::memcpy(buf, left->data(), n);
    left->erase(0, n);
    return static_cast<ssize_t>(n);
}

TEST_F(Q8Commands, DisplayEventsOpensTheEventLinesUntilEnter) {
    Console con;
    std::string answer_line = "anything at all\n";
    FILE* in = fopencookie(&answer_line, "r", {read_after_event, nullptr, nullptr, nullptr});
    ASSERT_NE(in, nullptr);
    input_set_stream(in);
    Q8_event_status_data(7, nullptr, nullptr, 0);
    std::string line = "de\n";
    EXPECT_EQ(Q8_cmd_display_events(line.data(), 0), 0);
    Q8_event_total_data(7, nullptr, nullptr, 0);
    input_set_stream(nullptr);
    fclose(in);
    EXPECT_EQ(con.out(), "Enter to exit[]:Keyboard event: Key=7\n");
}

using Container = Linked;

// Files under /sys end before the length they state.
TEST_F(Container, AFileShorterThanItSaysFailsMidRead) {
    const char* short_file = "/sys/devices/system/cpu/online";
    if (!std::filesystem::exists(short_file)) GTEST_SKIP() << short_file << " is not there";
    Console con;
    EXPECT_EQ(Q5_create_xfw(short_file, "fw.xfw", 1, 5, 1, "NV-52", -1, 12), -1);
    EXPECT_EQ(con.out(), std::string("Reading file ") + short_file +
                             "...Error loading file:" + short_file + "!\n");
    EXPECT_FALSE(std::filesystem::exists("fw.xfw"));
}

// In a child whose address space is capped, so that the system will not hold the data area.
TEST_F(Container, UploadOfAnAreaTooLargeForMemory) {
#ifdef NV_SANITIZED
    GTEST_SKIP() << "the sanitizers reserve more address space than the cap leaves";
#endif
    Bytes header(72, 0);
    put_u32le(&header[44], 12);  // the device type; a size of 0 and no checksums
    write_file("fw.xfw", header);
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
    EXPECT_EQ(proc::status_of(pid), 0);
}

}  // namespace
