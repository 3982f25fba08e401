// The Q5 request wrappers against the fake link: code, request bytes, reply size, time-out and
// wait flag of every request, results passed on unchanged, and what each leaves in its buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fake_qxx.h"
#include "q5_comm.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr int HANDLE = 7;

Bytes bytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

struct WrapperCase {
    const char* name;
    std::function<int()> call;
    int code;
    Bytes request;
    int reply_size;
    int timeout;
    int wait;
};

class Q5Comm : public ::testing::Test {
  protected:
    void SetUp() override { fake_qxx::reset(); }
};

TEST_F(Q5Comm, EveryWrapperSendsItsFrameAndPassesTheResultOn) {
    static char text[16];
    static unsigned char buf[64];
    static q5_time t;
    static const q5_time when{2026, 12, 6, 1, 58, 3};
    // clang-format off
    const std::vector<WrapperCase> cases = {
        {"version", [] { return Q5_get_fw_version(HANDLE, text, 1); }, 8001, {}, 8, 1000, 1},
        {"version, no buffer", [] { return Q5_get_fw_version(HANDLE, nullptr, 0); }, 8001, {}, 0,
         1000, 0},
        {"get serial", [] { return Q5_get_serial(HANDLE, text, 1); }, 8007, {}, 8, 100, 1},
        {"get serial, no buffer", [] { return Q5_get_serial(HANDLE, nullptr, 0); }, 8007, {}, 0,
         100, 0},
        {"set serial", [] { return Q5_set_serial(HANDLE, "B0001234", 1); }, 8104,
         bytes("B0001234"), 0, 1000, 1},
        {"get time", [] { return Q5_get_time(HANDLE, &t, 1); }, 8002, {}, 24, 1000, 1},
        {"set time", [] { return Q5_set_time(HANDLE, &when, 1); }, 8003,
         {0xEA, 0x07, 0, 0, 12, 0, 0, 0, 6, 0, 0, 0, 1, 0, 0, 0, 58, 0, 0, 0, 3, 0, 0, 0}, 0, 1000,
         1},
        {"set model/revision", [] { return Q5_set_model_rev(HANDLE, 0x01020304, 1); }, 8105,
         {4, 3, 2, 1}, 0, 1000, 1},
        {"get model/revision", [] { return Q5_get_model_rev(HANDLE, buf, 1); }, 8008, {}, 4, 1000,
         1},
        {"erase", [] { return Q5_erase_ext_flash(HANDLE, nullptr, 1); }, 8100, {}, 0, 60000, 1},
        {"write block 1", [] { return Q5_write_ext_flash(HANDLE, 1, "abc", 3, 1); }, 8102,
         {1, 0, 'a', 'b', 'c'}, 0, 1000, 1},
        {"write block 0x1234, no data",
         [] { return Q5_write_ext_flash(HANDLE, 0x1234, nullptr, 0, 1); }, 8102, {0x34, 0x12}, 0,
         1000, 1},
        {"read block", [] { return Q5_read_ext_flash(HANDLE, 0x0102, buf, 1); }, 8101, {2, 1}, 64,
         1000, 1},
        {"flash", [] { return Q5_flash_FW(HANDLE, 1, 0x1234, 1); }, 8103,
         {1, 0, 0, 0, 0x34, 0x12, 0, 0}, 0, 30000, 1},
        {"restart", [] { return Q5_restart(HANDLE); }, 8021, {}, 0, 1000, 0},
        {"probe", [] { return Q5_probe(HANDLE, 3); }, 8007, {}, 0, 100, 0},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (int result : {0, 1, 255, -4}) {
            fake_qxx::reset();
            fake_qxx::push_reply(c.code, {result, {}, 0, 0});
            EXPECT_EQ(c.call(), result);
            ASSERT_EQ(fake_qxx::calls().size(), 1u);
            const auto& call = fake_qxx::calls()[0];
            EXPECT_EQ(call.handle, HANDLE);
            EXPECT_EQ(call.code, c.code);
            EXPECT_EQ(call.request, c.request);
            EXPECT_EQ(call.reply_size, c.reply_size);
            EXPECT_EQ(call.timeout, c.timeout);
            EXPECT_EQ(call.wait, c.wait);
        }
    }
}

TEST_F(Q5Comm, ReadsLeaveTheirBuffersAsTheBoardAnswered) {
    // Version: 8 bytes cleared first, so a failed read leaves them zero; byte 8 is not touched.
    char version[10];
    memset(version, 'x', sizeof version);
    fake_qxx::push_reply(8001, {255, {}, 0, 0});
    EXPECT_EQ(Q5_get_fw_version(HANDLE, version, 1), 255);
    EXPECT_EQ(Bytes(version, version + 10), Bytes({0, 0, 0, 0, 0, 0, 0, 0, 'x', 'x'}));

    // Serial: 9 bytes cleared, so the text is terminated after a failure or a short reply.
    char serial[10];
    memset(serial, 'x', sizeof serial);
    fake_qxx::push_reply(8007, {1, {}, 0, 0});
    EXPECT_EQ(Q5_get_serial(HANDLE, serial, 1), 1);
    EXPECT_EQ(Bytes(serial, serial + 10), Bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 'x'}));
    memset(serial, 'x', sizeof serial);
    fake_qxx::push_reply(8007, {0, bytes("B01"), 0, 0});
    EXPECT_EQ(Q5_get_serial(HANDLE, serial, 1), 0);
    EXPECT_STREQ(serial, "B01");
    fake_qxx::push_reply(8007, {0, bytes("B0001234"), 0, 0});
    EXPECT_EQ(Q5_get_serial(HANDLE, serial, 1), 0);
    EXPECT_STREQ(serial, "B0001234");

    // Time: decoded from little-endian words; a failed read leaves the record as it was.
    q5_time t{1, 2, 3, 4, 5, 6};
    fake_qxx::push_reply(8002, {255, {}, 0, 0});
    EXPECT_EQ(Q5_get_time(HANDLE, &t, 1), 255);
    EXPECT_EQ(t.year, 1);
    EXPECT_EQ(t.second, 6);
    fake_qxx::push_reply(
        8002, {0,
               {0xEA, 0x07, 0, 0, 2, 0, 0, 0, 29, 0, 0, 0, 23, 0, 0, 0, 59, 0, 0, 0, 58, 0, 0, 0},
               0,
               0});
    EXPECT_EQ(Q5_get_time(HANDLE, &t, 1), 0);
    EXPECT_EQ((std::vector<int>{t.year, t.month, t.day, t.hour, t.minute, t.second}),
              (std::vector<int>{2026, 2, 29, 23, 59, 58}));

    // Erase: the answer's param reaches the caller.
    int param = 0;
    fake_qxx::push_reply(8100, {0, {}, 0x55AA, 0});
    EXPECT_EQ(Q5_erase_ext_flash(HANDLE, &param, 1), 0);
    EXPECT_EQ(param, 0x55AA);
}

TEST_F(Q5Comm, WriteBlockCarriesAtMostWhatOneRequestHolds) {
    std::vector<unsigned char> data(65532);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7);

    struct Case {
        uint16_t block;
        int length;
        int expected;  // -1: refused, nothing sent
    };
    for (Case c : {Case{0, 48000, 0}, Case{1, 65531, 0}, Case{2, 65532, -1}, Case{3, -1, -1}}) {
        SCOPED_TRACE(c.length);
        fake_qxx::reset();
        EXPECT_EQ(Q5_write_ext_flash(HANDLE, c.block, data.data(), c.length, 1), c.expected);
        if (c.expected != 0) {
            EXPECT_TRUE(fake_qxx::calls().empty());
            continue;
        }
        ASSERT_EQ(fake_qxx::calls().size(), 1u);
        const Bytes& req = fake_qxx::calls()[0].request;
        ASSERT_EQ(req.size(), static_cast<size_t>(c.length) + 2);
        EXPECT_EQ(req[0], c.block & 0xFF);
        EXPECT_EQ(req[1], c.block >> 8);
        EXPECT_TRUE(std::equal(req.begin() + 2, req.end(), data.begin()));
    }
}

TEST_F(Q5Comm, TestProbeKnowsTheBoardByItsSerialReply) {
    struct Case {
        int code;
        int recognised;
    };
    for (Case c : {Case{9007, 1}, Case{9006, 0}, Case{8007, 0}, Case{12290, 0}}) {
        SCOPED_TRACE(c.code);
        unsigned char frame[32];
        qxx_build_frame(frame, c.code, "C", 1, 0, 0);
        int type_id = -1;
        EXPECT_EQ(Q5_test_probe(HANDLE, frame, &type_id, 0), c.recognised);
        EXPECT_EQ(type_id, 3);
        EXPECT_EQ(Q5_test_probe(HANDLE, frame, nullptr, 0), c.recognised);
    }
    EXPECT_TRUE(fake_qxx::calls().empty());
}

}  // namespace
