// What the request wrappers do beyond sending their one request (data/requests.txt) and filling
// the caller's buffer (data/buffers.txt): the sizes a write refuses, and a frame too short for
// the instrument's identification.
#include "fixture.h"
#include "q5_comm.h"
#include "q8_comm.h"

namespace {

// One write request carries at most 65531 bytes of data, and data of one byte or more needs a
// buffer: the others are refused unsent. (The erase's param: data/buffers.txt.)
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
