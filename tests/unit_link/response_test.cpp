// What a transaction makes of the frames it captured: the reply before the general error reply
// before the general status reply, the payload copied only from a successful reply that fits;
// and the sizes a request in two pieces may have.
#include "link_support.h"

namespace link_test {
namespace {

TEST(Response, WhatWasCaptured) {
    const Bytes none;
    const Bytes reply = frame(9203, text("abcd"), 21, 0), empty = frame(9203, {}, 22, 0);
    const Bytes refused = frame(9203, text("ab"), 23, 3);
    const Bytes error = frame(12290, text("e"), 31, 0), busy = frame(12289, {}, 41, 0);
    const Bytes failing = frame(12289, {}, 42, 4);
    struct {
        const char* name;
        Bytes reply, error, status;
        int dest_size, result, kind, len, param, status_out;
        std::string copied;
    } cases[] = {
        {"nothing", none, none, none, 8, 255, 0, -1, -1, -1, ""},
        {"reply", reply, none, none, 8, 0, 1, 4, 21, 0, "abcd"},
        {"reply filling the buffer", reply, none, none, 4, 0, 1, 4, 21, 0, "abcd"},
        {"reply larger than the buffer", reply, none, none, 3, 0, 1, -1, 21, 0, ""},
        {"reply without payload", empty, none, none, 8, 0, 1, -1, 22, 0, ""},
        {"reply with a failing status", refused, none, none, 8, 1, 1, -1, 23, 3, ""},
        {"error", none, error, none, 8, 1, 2, -1, 31, 0, ""},
        {"status 0", none, none, busy, 8, 0, 0, -1, 41, 0, ""},
        {"status 4", none, none, failing, 8, 1, 0, -1, 42, 4, ""},
        {"reply before error and status", reply, error, failing, 8, 0, 1, 4, 21, 0, "abcd"},
        {"error before status", none, error, busy, 8, 1, 2, -1, 31, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        char dest[16] = {};
        int len = -1, param = -1, status = -1, kind = -1;
        const auto at = [](const Bytes& b) { return b.empty() ? nullptr : b.data(); };
        const auto size = [](const Bytes& b) { return static_cast<int>(b.size()); };
        EXPECT_EQ(QXX_test_response(1, at(c.reply), size(c.reply), at(c.error), size(c.error),
                                    at(c.status), size(c.status), dest, c.dest_size, &len, &param,
                                    &status, &kind),
                  c.result);
        EXPECT_EQ((std::vector<int>{kind, len, param, status}),
                  (std::vector<int>{c.kind, c.len, c.param, c.status_out}));
        EXPECT_EQ(std::string(dest), c.copied);
        // Every out pointer may be null.
        EXPECT_EQ(QXX_test_response(1, at(c.reply), size(c.reply), at(c.error), size(c.error),
                                    at(c.status), size(c.status), nullptr, 0, nullptr, nullptr,
                                    nullptr, nullptr),
                  c.result);
    }
}

}  // namespace
}  // namespace link_test

namespace link_test {
namespace {

using Parts = LinkTest;

// A request in two pieces may be empty or as large as one frame carries, and no larger.
TEST_F(Parts, RequestSizes) {
    static unsigned char data[65534];
    const int h = open(false);
    EXPECT_EQ(QXX_send_cmd_parts(h, 8102, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, nullptr,
                                 nullptr, 100, 0),
              0);
    EXPECT_EQ(QXX_send_cmd_parts(h, 8102, data, 3, data + 3, 65530, nullptr, 0, nullptr, nullptr,
                                 nullptr, 100, 0),
              0);
    ASSERT_EQ(fake_comm::st().writes.size(), 2u);
    EXPECT_EQ(fake_comm::st().writes[0].bytes, frame(8102, {}, 100));
    EXPECT_EQ(fake_comm::st().writes[1].bytes.size(), 65533u + QXX_FRAME_OVERHEAD);
}

TEST(PartsDeathTest, RequestSizeOutOfRange) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    static unsigned char data[65534];
    for (auto [head, body] : {std::pair(3, 65531), std::pair(-1, 4), std::pair(4, -1)})
        EXPECT_DEATH(QXX_send_cmd_parts(1, 8102, data, head, data + 3, body, nullptr, 0, nullptr,
                                        nullptr, nullptr, 100, 0),
                     "Invalid data size for QXX frame!")
            << head << "+" << body;
}

}  // namespace
}  // namespace link_test
