// The Q5 request wrappers against the fake link: the frame of every request, results passed on
// unchanged, and what each read leaves in its buffer.
#include <gtest/gtest.h>

#include <functional>

#include "fake_qxx.h"
#include "q5_comm.h"

namespace {

using Bytes = std::vector<unsigned char>;

TEST(Q5Comm, EveryWrapperSendsItsFrameAndPassesTheResultOn) {
    static unsigned char buf[64];
    static q5_time t;
    static const q5_time when{2026, 12, 6, 1, 58, 3};
    struct Case {
        std::function<int()> call;
        int code;
        Bytes request;
        int reply, timeout, wait;
    };
    auto text = reinterpret_cast<char*>(buf);
    // clang-format off
    const Case cases[] = {
        {[=] { return Q5_get_fw_version(7, text, 1); }, 8001, {}, 8, 1000, 1},
        {[=] { return Q5_get_serial(7, text, 1); }, 8007, {}, 8, 100, 1},
        {[] { return Q5_probe(7, 3); }, 8007, {}, 0, 100, 0},
        {[] { return Q5_set_serial(7, "B0001234", 1); }, 8104, {'B', '0', '0', '0', '1', '2', '3', '4'}, 0, 1000, 1},
        {[] { return Q5_get_time(7, &t, 1); }, 8002, {}, 24, 1000, 1},
        {[] { return Q5_set_time(7, &when, 1); }, 8003,
         {0xEA, 7, 0, 0, 12, 0, 0, 0, 6, 0, 0, 0, 1, 0, 0, 0, 58, 0, 0, 0, 3, 0, 0, 0}, 0, 1000, 1},
        {[] { return Q5_set_model_rev(7, 0x01020304, 1); }, 8105, {4, 3, 2, 1}, 0, 1000, 1},
        {[] { return Q5_get_model_rev(7, buf, 1); }, 8008, {}, 4, 1000, 1},
        {[] { return Q5_erase_ext_flash(7, nullptr, 1); }, 8100, {}, 0, 60000, 1},
        {[] { return Q5_write_ext_flash(7, 0x0102, "abc", 3, 1); }, 8102, {2, 1, 'a', 'b', 'c'}, 0, 1000, 1},
        {[] { return Q5_read_ext_flash(7, 1, buf, 1); }, 8101, {1, 0}, 64, 1000, 1},
        {[] { return Q5_flash_FW(7, 1, 0x1234, 1); }, 8103, {1, 0, 0, 0, 0x34, 0x12, 0, 0}, 0, 30000, 1},
        {[] { return Q5_restart(7); }, 8021, {}, 0, 1000, 0},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        for (int result : {0, 1, 255, -4}) {
            fake_qxx::reset();
            fake_qxx::push_reply(c.code, {result, {}, 0, 0});
            EXPECT_EQ(c.call(), result);
            ASSERT_EQ(fake_qxx::calls().size(), 1u);
            const auto& call = fake_qxx::calls()[0];
            EXPECT_EQ(
                std::tuple(call.handle, call.request, call.reply_size, call.timeout, call.wait),
                std::tuple(7, c.request, c.reply, c.timeout, c.wait));
        }
    }
}

TEST(Q5Comm, ReadsLeaveTheirBuffersAsAnswered) {
    fake_qxx::reset();
    char text[10] = "xxxxxxxxx";  // a failed read leaves a terminated, empty text
    fake_qxx::push_reply(8001, {255, {}, 0, 0});
    Q5_get_fw_version(7, text, 1);
    EXPECT_EQ(std::string(text, 9), std::string(8, '\0') + "x");
    fake_qxx::push_reply(8007, {255, {}, 0, 0});
    Q5_get_serial(7, text, 1);
    EXPECT_EQ(std::string(text, 10), std::string(10, '\0'));

    q5_time t{1, 2, 3, 4, 5, 6};  // and a failed time read leaves the record as it was
    fake_qxx::push_reply(8002, {255, {}, 0, 0});
    Q5_get_time(7, &t, 1);
    EXPECT_EQ(std::tuple(t.year, t.second), std::tuple(1, 6));
}

TEST(Q5Comm, WriteBlockRefusesWhatOneRequestCannotCarry) {
    Bytes data(65532, 0x3C);
    for (int length : {48000, 65531, 65532, -1}) {
        fake_qxx::reset();
        int r = Q5_write_ext_flash(7, 1, data.data(), length, 1);
        EXPECT_EQ(r, length <= 65531 && length >= 0 ? 0 : -1) << length;
        EXPECT_EQ(fake_qxx::calls().size(), r == 0 ? 1u : 0u);
        if (r == 0) {
            EXPECT_EQ(fake_qxx::calls()[0].request.size(), size_t(length) + 2);
        }
    }
}

TEST(Q5Comm, TestProbeAnswersTypeThreeAndKnowsTheSerialReply) {
    for (int code : {9007, 9006, 8007}) {
        unsigned char frame[16];
        qxx_build_frame(frame, code, "C", 1, 0, 0);
        int type_id = -1;
        EXPECT_EQ(Q5_test_probe(7, frame, &type_id, 0), code == 9007 ? 1 : 0);
        EXPECT_EQ(type_id, 3);
    }
}

}  // namespace
