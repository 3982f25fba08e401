// The instrument's identification pair and the GPS power read: the probe is a serial-number
// request that does not wait; a reply is recognised by its code and the serial's first letter.
#include "fixture.h"
#include "q8_comm.h"

namespace {

TEST(Q8Probe, SendsTheSerialRequestWithoutWaiting) {
    fake_qxx::reset();
    fake_qxx::st().replies[8007].push_back(answer(9));
    EXPECT_EQ(Q8_probe(4, 2), 9);
    ASSERT_EQ(fake_qxx::st().calls.size(), 1u);
    const auto& c = fake_qxx::st().calls[0];
    EXPECT_EQ(std::tuple(c.handle, c.code, c.request, c.reply_size, c.timeout, c.wait),
              std::tuple(4, 8007, Bytes{}, 0, 100, 0));
}

TEST(Q8Probe, RecognisesTheSerialReplyOfAnInstrument) {
    Bytes no_data_then_c = frame_of(9007, {});  // what lies past an empty frame is not its data
    no_data_then_c.resize(QXX_OFF_PAYLOAD + 1);
    no_data_then_c[QXX_OFF_PAYLOAD] = 'C';
    const struct {
        const char* name;
        Bytes frame;  // empty: no frame
        int recognised;
    } cases[] = {
        {"serial reply of an instrument", frame_of(9007, text("C0000042")), 1},
        {"one byte is enough", frame_of(9007, text("C")), 1},
        {"another letter", frame_of(9007, text("B0000042")), 0},
        {"another code", frame_of(9008, text("C0000042")), 0},
        {"the request's own code", frame_of(8007, text("C0000042")), 0},
        {"no data", frame_of(9007, {}), 0},
        {"no data, a C after the header", no_data_then_c, 0},
        {"no frame", {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_qxx::reset();
        int type = -1;
        EXPECT_EQ(Q8_test_probe(5, c.frame.empty() ? nullptr : c.frame.data(), &type, 7),
                  c.recognised);
        // Whatever the frame, the link is told the instrument's type and number of attempts.
        EXPECT_EQ(type, 12);
        EXPECT_EQ(fake_qxx::st().num_tries, (std::vector<std::pair<int, int>>{{5, 3}}));
    }
    const Bytes reply = frame_of(9007, text("C1"));
    EXPECT_EQ(Q8_test_probe(5, reply.data(), nullptr, 0), 1);
}

// The value read lands in the caller's integer, little-endian; a failed read leaves it as it was.
TEST(Q8Probe, GpsPowerRead) {
    const struct {
        fake_qxx::Reply reply;
        int32_t start, result, value;
    } cases[] = {
        {answer(0, {0x04, 0x03, 0x02, 0x81}), 7, 0, static_cast<int32_t>(0x81020304u)},
        {answer(0, {1, 0, 0, 0}), 7, 0, 1},
        {answer(255), 7, 255, 7},
        {answer(0), -5, 0, -5},
    };
    for (const auto& c : cases) {
        fake_qxx::reset();
        fake_qxx::st().replies[8204].push_back(c.reply);
        int32_t value = c.start;
        EXPECT_EQ(Q8_get_gps_power(7, &value, 1), c.result);
        EXPECT_EQ(value, c.value);
    }
    fake_qxx::reset();
    fake_qxx::st().replies[8204].push_back(answer(0, {1, 0, 0, 0}));
    EXPECT_EQ(Q8_get_gps_power(7, nullptr, 1), 0);
}

}  // namespace
