// What a transaction makes of the frames it captured: the reply before the general error reply
// before the general status reply, the payload copied only from a successful reply that fits.
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
