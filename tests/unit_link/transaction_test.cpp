// Command frames, the evaluation of a capture, and the command transaction with its attempts.
#include <cstring>
#include <thread>

#include "link_support.h"

namespace link_test {
namespace {

TEST(Frame, CommandBytes) {
    unsigned char buf[64];
    struct Case {
        int code, param;
        Bytes payload, expected;
    } cases[] = {
        {8007, 100, {}, {'Z', 'O', 'R', 'V', 0x47, 0x1F, 0x01, 0x00, 0x64, 0x00, 0x00, 0x2C, 0x00}},
        {8601,
         3000,
         {},
         {'Z', 'O', 'R', 'V', 0x99, 0x21, 0x01, 0x00, 0xB8, 0x0B, 0x00, 0x1B, 0x00}},
        // param keeps the low 16 bits of the time-out; the payload is followed by its XOR
        {8203,
         70000,
         {0x01, 0x02, 0x04},
         {'Z', 'O', 'R', 'V', 0x0B, 0x20, 0x04, 0x00, 0x70, 0x11, 0x00, 0x5F, 0x01, 0x02, 0x04,
          0x07}},
    };
    for (const auto& c : cases) {
        int n = QXX_make_command(buf, c.code, c.payload.data(), static_cast<int>(c.payload.size()),
                                 c.param);
        EXPECT_EQ(Bytes(buf, buf + n), c.expected) << c.code;
    }
}

// Reply before error before status; param and status always delivered; the payload copied only
// from a successful reply that fits.
TEST(Frame, TestResponse) {
    const Bytes reply = frame(9001, text("abcd"), 0x1234, 0),
                refused = frame(9001, text("x"), 9, 5);
    const Bytes error = frame(12290, {}, 77, 0), busy = frame(12289, {}, 3, 0),
                failing = frame(12289, {}, 4, 6);
    const Bytes none;
    struct Case {
        const char* name;
        const Bytes *r, *e, *s;
        int dest_size, result, kind, param, status, len;  // len -1: not written
    } cases[] = {
        {"reply", &reply, &none, &none, 4, 0, 1, 0x1234, 0, 4},
        {"reply wins over error", &reply, &error, &busy, 8, 0, 1, 0x1234, 0, 4},
        {"reply too large", &reply, &none, &none, 3, 0, 1, 0x1234, 0, -1},
        {"refused reply", &refused, &none, &none, 8, 1, 1, 9, 5, -1},
        {"error with status 0", &none, &error, &busy, 8, 1, 2, 77, 0, -1},
        {"status 0 alone", &none, &none, &busy, 8, 0, 0, 3, 0, -1},
        {"failing status", &none, &none, &failing, 8, 1, 0, 4, 6, -1},
        {"nothing", &none, &none, &none, 8, 255, 0, -1, -1, -1},
    };
    for (const auto& c : cases) {
        unsigned char dest[8] = {};
        int len = -1, param = -1, status = -1, kind = -1;
        int r = QXX_test_response(0, c.r->data(), static_cast<int>(c.r->size()), c.e->data(),
                                  static_cast<int>(c.e->size()), c.s->data(),
                                  static_cast<int>(c.s->size()), dest, c.dest_size, &len, &param,
                                  &status, &kind);
        EXPECT_EQ((std::vector<int>{r, kind, param, status, len}),
                  (std::vector<int>{c.result, c.kind, c.param, c.status, c.len}))
            << c.name;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(dest)), c.len == 4 ? "abcd" : "") << c.name;
        // Every out pointer may be null.
        EXPECT_EQ(QXX_test_response(0, c.r->data(), static_cast<int>(c.r->size()), c.e->data(),
                                    static_cast<int>(c.e->size()), c.s->data(),
                                    static_cast<int>(c.s->size()), nullptr, 0, nullptr, nullptr,
                                    nullptr, nullptr),
                  c.result);
    }
}

using Transaction = LinkTest;

// The device answers each attempt with the listed frames, delivered through the link's own
// parser and capture.
TEST_F(Transaction, Attempts) {
    const Bytes reply = frame(9203, text("0123456789"), 21, 0);
    const Bytes busy = frame(12289, {}, 2, 0), failing = frame(12289, {}, 2, 4);
    const Bytes error = frame(12290, {}, 3, 0), refused = frame(9203, text("0"), 5, 5);
    const Bytes stranger = frame(9204, text("0123"));
    struct Case {
        const char* name;
        int num_try, write_result, wait, reply_size;
        std::vector<Bytes> answers;  // per attempt
        size_t writes;
        int result, len, param, status;
    } cases[] = {
        {"reply", 3, 0, 1, 16, {reply}, 1, 0, 10, 21, 0},
        {"reply fills the buffer", 1, 0, 1, 10, {reply}, 1, 0, 10, 21, 0},
        {"reply one byte too large", 1, 0, 1, 9, {reply}, 1, 0, -1, 21, 0},
        {"refused", 3, 0, 1, 16, {refused}, 1, 1, -1, 5, 5},
        {"error reply with status 0", 3, 0, 1, 16, {error}, 1, 1, -1, 3, 0},
        {"failing status", 3, 0, 1, 16, {failing}, 1, 1, -1, 2, 4},
        {"busy every time", 3, 0, 1, 16, {busy, busy, busy}, 3, 0, -1, 2, 0},
        {"busy then reply", 3, 0, 1, 16, {busy, reply}, 2, 0, 10, 21, 0},
        {"busy then silence", 3, 0, 1, 16, {busy, {}}, 2, 255, -1, 2, 0},
        {"silence is not repeated", 3, 0, 1, 16, {}, 1, 255, -1, -1, -1},
        {"another code is no answer", 3, 0, 1, 16, {stranger}, 1, 255, -1, -1, -1},
        {"reply and error together", 1, 0, 1, 16, {error + reply}, 1, 0, 10, 21, 0},
        {"write failure", 3, 7, 1, 16, {reply}, 1, 7, -1, -1, -1},
        {"no attempts set", 0, 0, 1, 16, {reply}, 1, 0, 10, 21, 0},
        {"no wait", 3, 0, 0, 16, {reply}, 1, 0, -1, -1, -1},
        {"no wait, write failure", 3, 9, 0, 16, {}, 1, 9, -1, -1, -1},
    };
    const Bytes request = text("req");
    for (const auto& c : cases) {
        fake_comm::reset();
        const int h = open(false);
        QXX_set_cmd_num_try(h, c.num_try);
        fake_comm::script().write_result = c.write_result;
        fake_comm::set_responder([&c, h](const fake_comm::Write&) {
            size_t attempt = fake_comm::writes().size() - 1;
            if (attempt < c.answers.size()) fake_comm::deliver(h, c.answers[attempt]);
        });
        unsigned char out[16] = {};
        int len = -1, param = -1, status = -1;
        int r = QXX_send_cmd(h, 8203, request.data(), 3, out, c.reply_size, &len, &param, &status,
                             1000, c.wait);
        EXPECT_EQ((std::vector<int>{r, len, param, status}),
                  (std::vector<int>{c.result, c.len, c.param, c.status}))
            << c.name;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out)), c.len == 10 ? "0123456789" : "")
            << c.name;
        const auto writes = fake_comm::writes();
        ASSERT_EQ(writes.size(), c.writes) << c.name;
        for (const auto& w : writes) {
            EXPECT_EQ(w.bytes, frame(8203, request, 1000)) << c.name;
            EXPECT_EQ((std::vector<int>{w.handle, w.flags, w.ms}), (std::vector<int>{h, 0, 1000}));
        }
        // Armed for every attempt when waiting, disarmed once; untouched without waiting.
        const auto hooks = fake_comm::hooks();
        EXPECT_EQ(hooks.size(), c.wait ? c.writes : 0u) << c.name;
        for (const auto& k : hooks) {
            EXPECT_EQ((std::vector<int>{k.code[0], k.size[0], k.code[1], k.size[1], k.code[2],
                                        k.size[2]}),
                      (std::vector<int>{9203, 65535, 12290, 1024, 12289, 1024}));
        }
        EXPECT_EQ(fake_comm::unhooks(), c.wait ? 1 : 0) << c.name;
        fake_comm::close(h);
    }
}

// A handle of no open link makes one attempt; the write's result decides.
TEST_F(Transaction, HandleOfNoOpenLink) {
    const int h = open(false);
    QXX_set_cmd_num_try(h, 3);
    QXX_set_cmd_num_try(99, 0);  // changes nothing
    EXPECT_EQ(ctx(h)->num_try.load(), 3);
    for (int write_result : {0, 4}) {
        fake_comm::script().write_result = write_result;
        const size_t before = fake_comm::writes().size();
        EXPECT_EQ(QXX_send_cmd(99, 8001, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, 50, 1),
                  write_result == 0 ? 255 : 4);
        EXPECT_EQ(fake_comm::writes().size() - before, 1u);
    }
}

TEST_F(Transaction, LargestRequestIsFramed) {
    const Bytes request(65533, 0xA5);
    const int h = open(false);
    EXPECT_EQ(
        QXX_send_cmd(h, 8430, request.data(), 65533, nullptr, 0, nullptr, nullptr, nullptr, 100, 0),
        0);
    const auto writes = fake_comm::writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].bytes, frame(8430, request, 100));
    EXPECT_EQ(qxx_frame_length(writes[0].bytes.data()), 65534);
}

// A request size out of range stops the program with the standard assertion's message, also in
// release builds.
TEST(TransactionDeathTest, RequestSizeOutOfRange) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string message =
        "deps/qxx_comm/qxx_comm/qxx_comm:539: "
        "int QXX_send_cmd(int, int, const void*, int, void*, int, int*, int*, int*, int, int): "
        "Assertion `inbuff_size >=0 && inbuff_size < (UINT16_MAX - 1) && "
        "\"Invalid data size for QXX frame!\"' failed.";
    std::string pattern;  // the message as a literal regular expression
    for (char ch : message) {
        if (std::strchr(".^$|()[]{}*+?\\", ch)) pattern += '\\';
        pattern += ch;
    }
    static unsigned char request[65535];
    for (int size : {65534, -1}) {
        EXPECT_DEATH(
            QXX_send_cmd(1, 8001, request, size, nullptr, 0, nullptr, nullptr, nullptr, 100, 0),
            pattern)
            << size;
    }
}

// The transaction waits on the console thread while the answers arrive on another thread, as
// they do from the library's I/O thread: a busy reply, then the reply itself.
TEST_F(Transaction, AnswersFromAnotherThread) {
    fake_comm::script().blocking_wait = true;
    const int h = open(false);
    QXX_set_cmd_num_try(h, 3);
    std::thread device([h] {
        if (!fake_comm::wait_for_writes(1, 20000)) return;
        fake_comm::deliver(h, frame(12289, {}, 1, 0));
        if (!fake_comm::wait_for_writes(2, 20000)) return;
        fake_comm::deliver(h, frame(9100, text("ok"), 2, 0));
    });
    char out[4] = {};
    int len = 0, param = 0;
    int r = QXX_send_cmd(h, 8100, nullptr, 0, out, 3, &len, &param, nullptr, 20000, 1);
    device.join();
    EXPECT_EQ((std::vector<int>{r, len, param}), (std::vector<int>{0, 2, 2}));
    EXPECT_STREQ(out, "ok");
    EXPECT_EQ(fake_comm::writes().size(), 2u);
}

}  // namespace
}  // namespace link_test
