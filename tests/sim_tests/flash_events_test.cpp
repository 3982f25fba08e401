// Firmware upload and flashing against the simulated external flash, and the events of the
// accumulation procedures.
#include <gtest/gtest.h>

#include "sim_harness.h"

namespace {

uint32_t word_xor(const bytes& image, bool descramble) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 3 < image.size(); i += 4) {
        uint32_t n = static_cast<uint32_t>(i / 4);
        sum ^= get_u32le(&image[i]) ^ (descramble ? n * n * n * n : 0);
    }
    return sum;
}

bytes scrambled(bytes image) {
    for (size_t i = 0; i + 3 < image.size(); i += 4) {
        uint32_t n = static_cast<uint32_t>(i / 4);
        put_u32le(&image[i], get_u32le(&image[i]) ^ (n * n * n * n));
    }
    return image;
}

bytes flash_request(uint32_t flag, uint32_t checksum) {
    bytes b(8);
    put_u32le(b.data(), flag);
    put_u32le(b.data() + 4, checksum);
    return b;
}

// Erases, then writes `stored` in 48000-byte blocks as the upload does.
void upload(SimClient& c, const bytes& stored) {
    ASSERT_EQ(c.call(8100).status, 0);
    for (size_t off = 0, n = 0; off < stored.size(); off += 48000, ++n) {
        bytes req{static_cast<unsigned char>(n), static_cast<unsigned char>(n >> 8)};
        req.insert(req.end(), stored.begin() + off,
                   stored.begin() + std::min(stored.size(), off + 48000));
        ASSERT_EQ(c.call(8102, req).status, 0) << "block " << n;
    }
}

TEST(SimFlash, FlashRequestChecksTheWrittenImage) {
    const bytes abc = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l'};
    bytes big(100000);
    uint32_t x = 1;
    for (auto& b : big) b = static_cast<unsigned char>((x = x * 1103515245u + 12345u) >> 24);
    const uint32_t big_raw = word_xor(big, false);

    struct row {
        const char* name;
        bytes stored;  // what the upload writes, scrambled or not
        uint32_t flag, checksum;
        int status;  // 0: accepted, and the instrument restarts
    };
    const row rows[] = {
        {"scrambled", scrambled(abc), 1, 0x606F6E6D, 0},
        {"plain", abc, 0, 0x606F6E6D, 0},
        {"scrambled image, flag 0", scrambled(abc), 0, 0x606F6E6D, 3},
        {"wrong checksum", abc, 0, 0x606F6E6C, 3},
        {"three blocks scrambled", scrambled(big), 1, big_raw, 0},
        {"three blocks plain", big, 0, big_raw, 0},
        {"three blocks, checksum off by one bit", scrambled(big), 1, big_raw ^ 0x100, 3},
        {"nothing written", {}, 0, 0, 5},
        {"unknown flag", abc, 2, 0x606F6E6D, 4},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        InProcessSim sim;
        SimClient c(sim.port());
        upload(c, r.stored);
        rx_frame f = c.call(8103, flash_request(r.flag, r.checksum));
        EXPECT_EQ(f.code, 9103);
        EXPECT_EQ(f.status, r.status);
        if (r.status == 0) {
            EXPECT_TRUE(c.closed_by_peer());
            SimClient after(sim.port());
            EXPECT_EQ(after.call(8007).code, 9007);
        } else {
            EXPECT_EQ(c.call(8007).code, 9007);  // the link stays up
        }
    }
}

TEST(SimFlash, BlocksLandAtTheirOffsetsAndEraseClears) {
    InProcessSim sim;
    SimClient c(sim.port());
    bytes image(96004);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i * 7 + 3);
    upload(c, image);
    rx_frame r = c.call(8101, bytes{1, 0});
    EXPECT_EQ(r.data, bytes(image.begin() + 48000, image.begin() + 48064));
    r = c.call(8101, bytes{3, 0});  // beyond what was written: erased flash
    EXPECT_EQ(r.data, bytes(64, 0xFF));
    EXPECT_EQ(c.call(8102, bytes(2, 0xFF)).status, 4);  // block 65535 lies beyond the flash
    EXPECT_EQ(c.call(8100).status, 0);
    EXPECT_EQ(c.call(8103, flash_request(0, word_xor(image, false))).status, 5);
}

sim_options paced(int event_ms, bool events = false) {
    sim_options o;
    o.event_ms = event_ms;
    o.events = events;
    return o;
}

int32_t channel(const rx_frame& spectrum, int i) {
    return spectrum.i32(230 + 4 * i);
}

TEST(SimEvents, AssayAndStabilisationSendProgressAndSpectra) {
    for (int start : {8309, 8304}) {
        SCOPED_TRACE(start);
        const int stop = start == 8309 ? 8309 : 8305;
        InProcessSim sim(paced(20));
        SimClient c(sim.port());
        ASSERT_EQ(c.call(start).status, 0);
        EXPECT_EQ(c.call(start == 8309 ? 8304 : 8309).status, 6);  // the other one is busy

        rx_frame p = c.event(10012);
        EXPECT_EQ(p.i32(8), 0);
        EXPECT_TRUE(p.i32(4) > 0 && p.i32(4) < 100) << p.i32(4);
        rx_frame s1 = c.event(10002), s2 = c.event(10002);
        ASSERT_GE(s1.data.size(), 4326u);
        ASSERT_GE(s2.data.size(), 4326u);
        EXPECT_EQ(s1.i32(2), 1024);
        EXPECT_EQ(get_u16le(&s2.data[8]), get_u16le(&s1.data[8]) + 1);
        EXPECT_GT(channel(s1, 331), channel(s1, 500));  // the Cs-137 line stands out
        EXPECT_GT(channel(s1, 500), 0);
        EXPECT_GT(channel(s2, 331), channel(s1, 331));  // counts accumulate

        ASSERT_EQ(c.call(stop).status, 0);
        do p = c.event(10012);
        while (p.code != -1 && p.i32(8) == 0);
        EXPECT_EQ(p.i32(8), 1);
        EXPECT_EQ(p.i32(4), 100);
        if (start == 8304) {
            EXPECT_EQ(c.event(10015).i32(4), 0);
        }
    }
}

TEST(SimEvents, StabilisationStoppedBeforeAnySpectrumFails) {
    InProcessSim sim(paced(600000));
    SimClient c(sim.port());
    ASSERT_EQ(c.call(8304).status, 0);
    ASSERT_EQ(c.call(8305).status, 0);
    EXPECT_EQ(c.event(10015).i32(4), -1);
    EXPECT_EQ(c.call(8203).i32(56), 0);  // and the status record says not stabilised
}

TEST(SimEvents, PeriodicEventsAndKeyEmulation) {
    InProcessSim sim(paced(20, true));
    SimClient c(sim.port());
    bytes key(4);
    put_i32le(key.data(), 7);
    ASSERT_EQ(c.call(8041, key).status, 0);
    EXPECT_EQ(c.event(10003).i32(4), 7);
    EXPECT_EQ(c.event(10007).data.size(), 346u);
    for (int code : {10003, 10005, 10010}) EXPECT_EQ(c.event(code).code, code);
}

TEST(SimEvents, RestartAndPowerOffEndTheLinkAndTheAccumulation) {
    for (int code : {8021, 8400}) {
        SCOPED_TRACE(code);
        InProcessSim sim(paced(20));
        SimClient c(sim.port());
        ASSERT_EQ(c.call(8309).status, 0);
        EXPECT_EQ(c.call(code).code, code + 1000);
        EXPECT_TRUE(c.closed_by_peer());
        SimClient again(sim.port());
        ASSERT_EQ(again.call(8309).status, 0);  // starts afresh, does not stop a running one
        EXPECT_EQ(again.event(10012).i32(8), 0);
    }
}

}  // namespace
