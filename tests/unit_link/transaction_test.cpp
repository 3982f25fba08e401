// Command frames and the command transaction with its attempts, each answer delivered through
// the link's own parser and capture.
#include "link_support.h"

namespace link_test {
namespace {

TEST(Frame, CommandBytes) {
    unsigned char buf[64];
    struct {
        int code, param;
        Bytes payload, expected;
    } cases[] = {
        {8007, 100, {}, {'Z', 'O', 'R', 'V', 0x47, 0x1F, 0x01, 0x00, 0x64, 0x00, 0x00, 0x2C, 0x00}},
        // param keeps the low 16 bits of the time-out; the payload is followed by its XOR
        {8203,
         70000,
         {0x01, 0x02, 0x04},
         {'Z', 'O', 'R', 'V', 0x0B, 0x20, 0x04, 0x00, 0x70, 0x11, 0x00, 0x5F, 1, 2, 4, 7}},
    };
    for (const auto& c : cases) {
        int n = QXX_make_command(buf, c.code, c.payload.data(), static_cast<int>(c.payload.size()),
                                 c.param);
        EXPECT_EQ(Bytes(buf, buf + n), c.expected) << c.code;
    }
}

// A request in two pieces is framed as the same request in one, whatever the lengths (the
// pieces are copied and XORed eight bytes a step, the rest byte by byte).
TEST(Frame, TwoPiecesFrameAsOne) {
    static unsigned char one[QXX_TX_BUFFER_SIZE], two[QXX_TX_BUFFER_SIZE];
    Bytes data(48002);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7 + 3);
    for (int head : {0, 2, 9}) {
        for (int body : {0, 1, 7, 8, 15, 17, 47990}) {
            const int a = QXX_make_command(one, 8102, data.data(), head + body, 1000);
            const int b =
                qxx_build_command(two, 8102, data.data(), head, data.data() + head, body, 1000);
            EXPECT_EQ(Bytes(two, two + b), Bytes(one, one + a)) << head << "+" << body;
        }
    }
}

// A request size no frame can carry, in one piece or two, fails the standard assertion.
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
    for (int size : {65534, -1})
        EXPECT_DEATH(
            QXX_send_cmd(1, 8001, request, size, nullptr, 0, nullptr, nullptr, nullptr, 100, 0),
            pattern)
            << size;
    for (auto [head, body] : {std::pair(3, 65531), std::pair(-1, 4), std::pair(4, -1)})
        EXPECT_DEATH(QXX_send_cmd_parts(1, 8102, request, head, request + 3, body, nullptr, 0,
                                        nullptr, nullptr, nullptr, 100, 0),
                     "Invalid data size for QXX frame!")
            << head << "+" << body;
}

using Transaction = LinkTest;

TEST_F(Transaction, Attempts) {
    const Bytes reply = frame(9203, text("0123456789"), 21, 0);
    const Bytes busy = frame(12289, {}, 2, 0), failing = frame(12289, {}, 2, 4);
    const Bytes error = frame(12290, {}, 3, 0), refused = frame(9203, text("0"), 5, 5);
    // A row per case.
    // clang-format off
    struct {
        const char* name;
        int num_try, write_result, wait, reply_size;
        std::vector<Bytes> answers;  // per attempt
        size_t writes;
        int result, len, param, status;
        int last_status, last_kind;  // what QXX_last_answer tells of the last attempt
        int ms = 1000;  // the time-out, for the write and for each reply wait
    } cases[] = {
        {"reply", 3, 0, 1, 16, {reply}, 1, 0, 10, 21, 0, 0, 1},
        {"refused", 3, 0, 1, 16, {refused}, 1, 1, -1, 5, 5, 5, 1},
        {"failing status", 3, 0, 1, 16, {failing}, 1, 1, -1, 2, 4, 4, 0},
        {"error reply", 3, 0, 1, 16, {error}, 1, 1, -1, 3, 0, 0, 2},
        {"busy then silence", 3, 0, 1, 16, {busy, {}}, 2, 255, -1, 2, 0, -1, 0},
        {"busy to every try", 3, 0, 1, 16, {busy, busy, busy}, 3, 0, -1, 2, 0, 0, 0},
        {"silence is not repeated", 3, 0, 1, 16, {}, 1, 255, -1, -1, -1, -1, 0},
        {"another code is no answer",
         3, 0, 1, 16, {frame(9204, text("0123"))}, 1, 255, -1, -1, -1, -1, 0},
        {"reply and error together", 1, 0, 1, 16, {error + reply}, 1, 0, 10, 21, 0, 0, 1},
        {"write failure", 3, 7, 1, 16, {reply}, 1, 7, -1, -1, -1, -1, 0},
        {"no attempts set", 0, 0, 1, 16, {reply}, 1, 0, 10, 21, 0, 0, 1},
        {"no wait", 3, 0, 0, 16, {reply}, 1, 0, -1, -1, -1, -1, 0},
        {"the reply wait is the time-out in ms",
         3, 0, 1, 16, {busy, {}}, 2, 255, -1, 2, 0, -1, 0, 3000},
    };
    // clang-format on
    const Bytes request = text("req");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_comm::reset();
        const int h = open(false);
        QXX_set_cmd_num_try(h, c.num_try);
        fake_comm::st().write_result = c.write_result;
        fake_comm::st().responder = [&c, h](const fake_comm::Write&) {
            size_t attempt = fake_comm::st().writes.size() - 1;
            if (attempt < c.answers.size()) fake_comm::deliver(h, c.answers[attempt]);
        };
        unsigned char out[16] = {};
        int len = -1, param = -1, status = -1;
        int r = QXX_send_cmd(h, 8203, request.data(), 3, out, c.reply_size, &len, &param, &status,
                             c.ms, c.wait);
        int last_status = -2, last_kind = -2;
        QXX_last_answer(&last_status, &last_kind);
        EXPECT_EQ(
            (std::vector<int>{r, len, param, status, last_status, last_kind}),
            (std::vector<int>{c.result, c.len, c.param, c.status, c.last_status, c.last_kind}));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out)), c.len == 10 ? "0123456789" : "");
        const auto& writes = fake_comm::st().writes;
        ASSERT_EQ(writes.size(), c.writes);
        for (const auto& w : writes) {
            EXPECT_EQ(w.bytes, frame(8203, request, c.ms));
            EXPECT_EQ((std::vector<int>{w.handle, w.flags, w.ms}), (std::vector<int>{h, 0, c.ms}));
        }
        // Each attempt waits its reply the time-out, no longer.
        EXPECT_EQ(fake_comm::st().waits,
                  std::vector<int>(c.wait && !c.write_result ? c.writes : 0, c.ms));
        // Armed for every attempt when waiting, disarmed once; untouched without waiting.
        const auto& hooks = fake_comm::st().hooks;
        EXPECT_EQ(hooks.size(), c.wait ? c.writes : 0u);
        for (const auto& k : hooks)
            EXPECT_EQ(k, (std::vector<int>{9203, 65535, 12290, 1024, 12289, 1024}));
        EXPECT_EQ(fake_comm::st().unhooks, c.wait ? 1 : 0);
        fake_comm::close(h);
    }
}

// A handle of no open link makes one attempt; the largest request is framed whole, in one piece
// or in two, and a request in two pieces may be empty.
TEST_F(Transaction, NoOpenLinkAndTheLargestRequest) {
    EXPECT_EQ(QXX_send_cmd(99, 8001, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, 50, 1),
              255);
    EXPECT_EQ(fake_comm::st().writes.size(), 1u);
    const Bytes request(65533, 0xA5);
    const int h = open(false);
    EXPECT_EQ(
        QXX_send_cmd(h, 8430, request.data(), 65533, nullptr, 0, nullptr, nullptr, nullptr, 100, 0),
        0);
    EXPECT_EQ(QXX_send_cmd_parts(h, 8102, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, nullptr,
                                 nullptr, 100, 0),
              0);
    EXPECT_EQ(QXX_send_cmd_parts(h, 8102, request.data(), 3, request.data() + 3, 65530, nullptr, 0,
                                 nullptr, nullptr, nullptr, 100, 0),
              0);
    const auto& writes = fake_comm::st().writes;
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[1].bytes, frame(8430, request, 100));
    EXPECT_EQ(writes[2].bytes, frame(8102, {}, 100));
    EXPECT_EQ(writes[3].bytes, frame(8102, request, 100));
}

}  // namespace
}  // namespace link_test
