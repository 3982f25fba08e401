// What the request wrappers do beyond sending their one request (data/requests.txt): what the
// readers leave in the caller's buffer, the sizes a write refuses, and a frame too short for the
// instrument's identification.
#include "fixture.h"
#include "q5_comm.h"
#include "q8_comm.h"

namespace {

Bytes le32(std::initializer_list<int32_t> fields) {
    Bytes b;
    for (int32_t f : fields) {
        b.resize(b.size() + 4);
        put_i32le(&b[b.size() - 4], f);
    }
    return b;
}

// What the readers leave in the caller's buffer after a short reply or a failure.
TEST(Requests, ReadersClearOrKeepTheirBuffers) {
    fake_qxx::reset();
    auto& replies = fake_qxx::st().replies;
    char buffer[12];
    struct {
        std::function<int()> call;
        fake_qxx::Reply reply;
        std::string left;
    } cases[] = {
        {[&] { return Q5_get_fw_version(7, buffer, 1); }, answer(3), std::string(8, '\0') + "XXXX"},
        {[&] { return Q5_get_fw_version(7, buffer, 1); }, answer(0, text("1.5")),
         std::string("1.5\0\0\0\0\0XXXX", 12)},
        {[&] { return Q5_get_serial(7, buffer, 1); }, answer(3), std::string(9, '\0') + "XXX"},
        {[&] { return Q5_get_serial(7, buffer, 1); }, answer(0, text("AB12WXYZ")),
         std::string("AB12WXYZ\0XXX", 12)},
    };
    replies[8001] = {cases[0].reply, cases[1].reply};
    replies[8007] = {cases[2].reply, cases[3].reply};
    for (const auto& c : cases) {
        std::memset(buffer, 'X', sizeof buffer);
        EXPECT_EQ(c.call(), c.reply.result);
        EXPECT_EQ(std::string(buffer, sizeof buffer), c.left);
    }
    // Get time decodes the six fields in order, and keeps the record when nothing arrives.
    q5_time t{1, 2, 3, 4, 5, 6};
    replies[8002] = {answer(0, le32({2026, 12, 6, 1, 58, -3})), answer(1)};
    EXPECT_EQ(Q5_get_time(7, &t, 1), 0);
    EXPECT_EQ(le32({t.year, t.month, t.day, t.hour, t.minute, t.second}),
              le32({2026, 12, 6, 1, 58, -3}));
    EXPECT_EQ(Q5_get_time(7, &t, 1), 1);
    EXPECT_EQ(t.year + t.month + t.day + t.hour + t.minute + t.second, 2026 + 12 + 6 + 1 + 58 - 3);
    // The GPS power lands in the caller's integer, little-endian; a failed read or an empty
    // reply leaves it as it was.
    const struct {
        fake_qxx::Reply reply;
        int32_t start, result, value;
    } gps[] = {
        {answer(0, {0x04, 0x03, 0x02, 0x81}), 7, 0, static_cast<int32_t>(0x81020304u)},
        {answer(0, {1, 0, 0, 0}), 7, 0, 1},
        {answer(255), 7, 255, 7},
        {answer(0), -5, 0, -5},
    };
    for (const auto& c : gps) {
        replies[8204] = {c.reply};
        int32_t value = c.start;
        EXPECT_EQ(Q8_get_gps_power(7, &value, 1), c.result);
        EXPECT_EQ(value, c.value);
    }
    replies[8204] = {answer(0, {1, 0, 0, 0})};
    EXPECT_EQ(Q8_get_gps_power(7, nullptr, 1), 0);
}

// The erase hands its param pointer to the transaction, which fills it. One write request
// carries at most 65531 bytes of data, and data of one byte or more needs a buffer: the others
// are refused unsent.
TEST(Requests, EraseParamAndWriteSizes) {
    fake_qxx::reset();
    int param = -5;
    EXPECT_EQ(Q5_erase_ext_flash(7, &param, 1), 0);
    EXPECT_EQ(param, 0);
    const Bytes data(65532, 0x3C);
    EXPECT_EQ(Q5_write_ext_flash(7, 1, data.data(), 65532, 1), -1);
    EXPECT_EQ(Q5_write_ext_flash(7, 1, data.data(), -1, 1), -1);
    EXPECT_EQ(Q5_write_ext_flash(7, 1, nullptr, 1, 1), -1);
    EXPECT_EQ(Q5_write_ext_flash(7, 1, data.data(), 65531, 1), 0);
    ASSERT_EQ(fake_qxx::codes(), (std::vector<int>{8100, 8102}));
    EXPECT_EQ(fake_qxx::st().calls[1].request.size(), 65533u);
}

// What lies past an empty frame is not its data: a C there does not make an instrument. (The
// other frames: data/q8_events.txt.)
TEST(Requests, Q8DeviceTestReadsNoDataPastTheFrame) {
    Bytes frame = frame_of(9007, {});
    frame.resize(QXX_OFF_PAYLOAD + 1);
    frame[QXX_OFF_PAYLOAD] = 'C';
    int type = -1;
    EXPECT_EQ(Q8_test_probe(5, frame.data(), &type, 7), 0);
    EXPECT_EQ(type, 12);
}

}  // namespace
