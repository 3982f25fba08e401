// Firmware upload and flashing against the simulated external flash (the refusals for a wrong
// checksum and for nothing written are seen end to end), and the procedures' events.
#include <gtest/gtest.h>

#include "sim_harness.h"

namespace {

// XOR of the image's 32-bit words; `scramble` XORs word i with i^4 first, both ways round.
uint32_t words(bytes& image, bool scramble, bool rewrite = false) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 3 < image.size(); i += 4) {
        uint32_t n = static_cast<uint32_t>(i / 4), w = get_u32le(&image[i]);
        w ^= scramble ? n * n * n * n : 0;
        if (rewrite) put_u32le(&image[i], w);
        sum ^= w;
    }
    return sum;
}

// Erases, then writes `stored` in 48000-byte blocks as the console's upload does.
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
    bytes abc = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l'}, abc_s = abc;
    words(abc_s, true, true);  // stored as 61 62 63 64 64 66 67 68 79 6A 6B 6C
    bytes big(100000), big_s;  // three blocks, the last one of 4000 bytes
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
    big_s = big;
    words(big_s, true, true);
    const uint32_t big_raw = words(big, false);
    struct {
        const char* name;
        bytes stored;
        uint32_t flag, checksum;
        int status;  // 0: accepted, and the instrument restarts
    } rows[] = {
        {"scrambled", abc_s, 1, 0x606F6E6D, 0},
        {"plain", abc, 0, 0x606F6E6D, 0},
        {"scrambled image, flag 0", abc_s, 0, 0x606F6E6D, 3},
        {"three blocks plain", big, 0, big_raw, 0},
        {"unknown flag", abc, 2, 0x606F6E6D, 4},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        InProcessSim sim;
        SimClient c(sim);
        upload(c, r.stored);
        rx_frame f = c.call(8103, i32s({r.flag, r.checksum}));
        EXPECT_EQ(f.code, 9103);
        EXPECT_EQ(f.status, r.status);
        EXPECT_TRUE(r.status != 0 || c.closed_by_peer());
        SimClient after(sim);  // served after a restart; the link stayed up after a refusal
        EXPECT_EQ((r.status == 0 ? after : c).call(8007).code, 9007);
    }

    // Blocks land at n * 48000; beyond what was written the flash reads erased.
    InProcessSim sim;
    SimClient c(sim);
    upload(c, big);
    EXPECT_EQ(c.call(8101, {1, 0}).data, bytes(big.begin() + 48000, big.begin() + 48064));
    EXPECT_EQ(c.call(8101, {3, 0}).data, bytes(64, 0xFF));
    EXPECT_EQ(c.call(8102, bytes(2, 0xFF)).status, 4);  // block 65535 lies beyond the flash
    EXPECT_EQ(c.call(8100).status, 0);
    EXPECT_EQ(c.call(8103, i32s({0, big_raw})).status, 5);
}

// What the console's assay and stabilisation show is checked end to end; here what it does not
// show: one procedure at a time, the silent periodic events, the emulated key, and a restart or
// power off ending the link and the accumulation.
TEST(SimEvents, OneProcedureAtATimePeriodicEventsAndTheirEnd) {
    for (auto [start, other] : {std::pair{8309, 8304}, {8304, 8309}}) {
        InProcessSim sim(options("--event-ms 20"));
        SimClient c(sim);
        ASSERT_EQ(c.call(start).status, 0);
        EXPECT_EQ(c.call(other).status, 6) << start;
    }
    InProcessSim periodic(options("--event-ms 20 --events"));
    SimClient c(periodic);
    ASSERT_EQ(c.call(8041, i32s({7})).status, 0);
    EXPECT_EQ(c.event(10003).i32(4), 7);
    EXPECT_EQ(c.event(10007).data.size(), 346u);
    for (int code : {10003, 10005, 10010}) EXPECT_EQ(c.event(code).code, code);

    for (int code : {8021, 8400}) {
        InProcessSim sim(options("--event-ms 20"));
        SimClient c(sim);
        ASSERT_EQ(c.call(8309).status, 0);
        EXPECT_EQ(c.call(code).code, code + 1000);
        EXPECT_TRUE(c.closed_by_peer());
        SimClient again(sim);
        ASSERT_EQ(again.call(8309).status, 0);  // starts afresh, does not stop a running one
        EXPECT_EQ(again.event(10012).i32(8), 0) << code;
    }
}

}  // namespace
