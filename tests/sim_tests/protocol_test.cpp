// The simulator as the console meets it: request codes, sizes, records, identification and the
// byte stream's bad days.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "sim_harness.h"

namespace {

struct size_row {
    int code, request, reply;
};

// Requests whose zero-filled payload is a valid request, with the sizes of the command sets.
constexpr size_row PLAIN[] = {
    {8001, 0, 415},   {8002, 0, 24},  {8007, 0, 8},    {8008, 0, 4},    {8011, 8, 0},
    {8012, 0, 24},    {8015, 0, 4},   {8016, 4, 0},    {8017, 0, 4},    {8018, 4, 0},
    {8031, 4, 0},     {8041, 4, 0},   {8100, 0, 0},    {8101, 2, 64},   {8102, 2, 0},
    {8104, 8, 0},     {8105, 4, 0},   {8201, 0, 1400}, {8202, 1400, 0}, {8203, 0, 346},
    {8204, 0, 4},     {8205, 4, 0},   {8210, 0, 0},    {8215, 4, 0},    {8220, 0, 0},
    {8221, 0, 0},     {8301, 4, 0},   {8302, 0, 4},    {8306, 0, 0},    {8307, 6, 0},
    {8308, 0, 0},     {8311, 4, 0},   {8312, 12, 0},   {8313, 0, 0},    {8315, 8, 0},
    {8319, 0, 92},    {8320, 280, 0}, {8321, 4, 10},   {8326, 0, 0},    {8330, 0, 4},
    {8331, 0, 0},     {8332, 4, 0},   {8333, 0, 0},    {8334, 4, 4},    {8345, 0, 324},
    {8346, 16, 912},  {8350, 18, 0},  {8401, 0, 0},    {8410, 4, 8},    {8411, 68, 68},
    {8412, 12, 8178}, {8420, 8, 0},   {8421, 0, 44},   {8424, 0, 1071}, {8425, 0, 6074},
    {8426, 0, 7914},  {8427, 257, 0}, {8428, 4, 0},    {8429, 255, 0},  {8435, 140, 0},
    {8436, 232, 0},
};

bytes time_record(const std::array<int32_t, 6>& f) {
    bytes b(24);
    for (int i = 0; i < 6; ++i) put_i32le(b.data() + 4 * i, f[i]);
    return b;
}

TEST(SimProtocol, EveryRequestAnswersWithItsCodePlus1000AndItsSize) {
    InProcessSim sim;
    SimClient c(sim.port());
    for (const auto& r : PLAIN) {
        SCOPED_TRACE(r.code);
        rx_frame f = c.call(r.code, bytes(r.request));
        EXPECT_EQ(f.code, r.code + 1000);
        EXPECT_EQ(f.status, 0);
        EXPECT_EQ(static_cast<int>(f.data.size()), r.reply);
        // One byte short, and (but for the variable flash write) one byte over: refused, empty.
        for (int size : {r.request - 1, r.code == 8102 ? -1 : r.request + 1}) {
            if (size < 0) continue;
            f = c.call(r.code, bytes(size));
            EXPECT_EQ(f.code, r.code + 1000) << size;
            EXPECT_NE(f.status, 0) << size;
            EXPECT_TRUE(f.data.empty()) << size;
        }
    }
    for (int code : {0, 8000, 8437, 9007, 8601, 12289, 65535}) {
        rx_frame f = c.call(code);
        EXPECT_EQ(f.code, QXX_CODE_ERROR) << code;
        EXPECT_NE(f.status, 0) << code;
        EXPECT_EQ(f.param, code);
    }
}

TEST(SimProtocol, IdentificationAnswersTheSerial) {
    struct row {
        const char* serial;
        bool refuse;
        const char* expect;  // 8 bytes
    };
    const row rows[] = {
        {"C0001234", false, "C0001234"},
        {"C12", false, "C12\0\0\0\0\0"},
        {"C0001234", true, "B0001234"},
    };
    for (const auto& r : rows) {
        sim_options opt;
        opt.serial = r.serial;
        opt.refuse_identify = r.refuse;
        InProcessSim sim(opt);
        SimClient c(sim.port());
        rx_frame f = c.call(8007);
        EXPECT_EQ(f.code, 9007);
        EXPECT_EQ(f.data, bytes(r.expect, r.expect + 8)) << r.serial;
    }
}

TEST(SimProtocol, RecordsAreKeptAcrossRequests) {
    sim_options opt;
    opt.usb_mode = 2;
    InProcessSim sim(opt);
    SimClient c(sim.port());

    // Parameters: the default carries --usb-mode; what 8202 writes, 8201 returns.
    bytes params = c.call(8201).data;
    ASSERT_EQ(params.size(), 1400u);
    EXPECT_EQ(get_u16le(&params[136]), 2);
    EXPECT_EQ(get_i32le(&params[268]), 20);  // bg_const within the console's 0..999
    bytes changed = params;
    put_u16le(&changed[136], 1);
    put_f32le(&changed[554], 12.75f);
    changed[1399] = 0xAB;
    EXPECT_EQ(c.call(8202, changed).status, 0);
    EXPECT_EQ(c.call(8201).data, changed);
    EXPECT_EQ(c.call(8221).status, 0);  // load defaults
    EXPECT_EQ(c.call(8201).data, params);

    // The clock: set, read back; an impossible date is refused and changes nothing.
    EXPECT_EQ(c.call(8003, time_record({2031, 2, 3, 4, 5, 6})).status, 0);
    for (auto bad : {std::array<int32_t, 6>{2031, 2, 29, 4, 5, 6},
                     {2031, 13, 1, 0, 0, 0},
                     {2031, 1, 1, 24, 0, 0},
                     {1969, 1, 1, 0, 0, 0}})
        EXPECT_EQ(c.call(8003, time_record(bad)).status, 4) << bad[0] << "-" << bad[1];
    for (int code : {8002, 8012}) {
        rx_frame t = c.call(code);
        ASSERT_EQ(t.data.size(), 24u);
        EXPECT_EQ(t.data, time_record({2031, 2, 3, 4, 5, t.i32(20)}));
        EXPECT_GE(t.i32(20), 6);
        EXPECT_LT(t.i32(20), 30);
    }
    EXPECT_EQ(c.call(8013, time_record({2030, 12, 31, 23, 0, 0})).status, 0);
    EXPECT_EQ(c.call(8002).i32(0), 2030);

    // Serial, LEDs and GPS power, the latter also in the status record.
    EXPECT_EQ(c.call(8104, bytes{'C', '7', '6', '5', '4', '3', '2', '1'}).status, 0);
    EXPECT_EQ(c.call(8007).data, (bytes{'C', '7', '6', '5', '4', '3', '2', '1'}));
    EXPECT_EQ(c.call(8301, bytes{0x41, 0x06, 0, 0}).status, 0);
    EXPECT_EQ(c.call(8302).data, (bytes{0x41, 0x06, 0, 0}));
    for (int32_t power : {0, 1}) {
        bytes v(4);
        put_i32le(v.data(), power);
        EXPECT_EQ(c.call(8205, v).status, 0);
        EXPECT_EQ(c.call(8204).data, v);
        rx_frame st = c.call(8203);
        EXPECT_EQ(st.i32(174), power);
        EXPECT_EQ(st.i32(194) > 0, power == 1);  // satellites only with the receiver on
        float lat = get_f32le(&st.data[182]);
        EXPECT_TRUE(lat >= -90 && lat <= 90);
    }
}

TEST(SimProtocol, StatusAndVersionsArePlausible) {
    InProcessSim sim;
    SimClient c(sim.port());
    rx_frame st = c.call(8203);
    ASSERT_EQ(st.data.size(), 346u);
    float volt = get_f32le(&st.data[102]), gauge = get_f32le(&st.data[106]);
    EXPECT_TRUE(volt > 3000 && volt < 4300) << volt;
    EXPECT_TRUE(gauge > 0 && gauge <= 100) << gauge;
    EXPECT_EQ(get_u32le(&st.data[98]) & 1, 1u);  // the charger talks
    EXPECT_TRUE(st.i32(242) >= 0 && st.i32(242) <= 100);
    EXPECT_TRUE(st.i32(198) >= 0 && st.i32(198) < 24);

    rx_frame v = c.call(8001);
    ASSERT_EQ(v.data.size(), 415u);
    for (int i = 0; i < 6; ++i) {
        const unsigned char* field = &v.data[32 * i];
        size_t len = strnlen(reinterpret_cast<const char*>(field), 32);
        EXPECT_GT(len, 0u) << i;
        EXPECT_LT(len, 32u) << i;
    }
}

TEST(SimProtocol, MalformedFramesAreDroppedAndTheNextFrameIsServed) {
    InProcessSim sim;
    SimClient c(sim.port());
    bytes defaults = c.call(8201).data;

    bytes bad_header = make_frame(8203);
    bad_header[11] ^= 1;
    bytes bad_payload = make_frame(8202, bytes(1400, 0x11));
    bad_payload.back() ^= 1;  // would overwrite the parameters if it were taken
    bytes broken_magic = make_frame(8203);
    broken_magic.insert(broken_magic.begin(), 'Z');  // "ZZORV": the second Z breaks the magic
    bytes header_only = make_frame(8007);            // length 0: a 12-byte frame
    header_only.pop_back();
    put_u16le(&header_only[6], 0);
    header_only[11] = 0;
    header_only[11] = qxx_xor(header_only.data(), 11);

    for (const bytes& b : {bytes{'h', 'e', 'l', 'l', 'o', 0}, bad_header, bad_payload, broken_magic,
                           header_only, make_frame(8302)})
        ASSERT_TRUE(c.send_raw(b));
    EXPECT_EQ(c.reply().code, 9007);
    EXPECT_EQ(c.reply().code, 9302);
    EXPECT_EQ(c.call(8201).data, defaults);
}

TEST(SimProtocol, OneLinkAtATimeAndAVanishedClientLeavesNoTrace) {
    InProcessSim sim;
    SimClient a(sim.port());
    EXPECT_EQ(a.call(8007).code, 9007);
    bytes defaults = a.call(8201).data;
    SimClient b(sim.port());
    ASSERT_TRUE(b.send(8007));
    EXPECT_EQ(b.next(300).code, -1);  // waits while a is served
    EXPECT_EQ(a.call(8203).code, 9203);

    // a vanishes in the middle of a parameter write.
    bytes half = make_frame(8202, bytes(1400, 0x22));
    half.resize(700);
    ASSERT_TRUE(a.send_raw(half));
    a.hang_up();
    EXPECT_EQ(b.reply().code, 9007);
    EXPECT_EQ(b.call(8201).data, defaults);  // nothing of the half frame was taken

    b.hang_up();
    SimClient c(sim.port());
    EXPECT_EQ(c.call(8007).code, 9007);
}

TEST(SimProtocol, AClientThatReadsNothingIsHeldBack) {
    InProcessSim sim;
    // A small receive buffer, so that the simulator's replies back up early.
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(sim.port()));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    SimClient c = SimClient::adopt(fd);

    // 1000 requests for 8178 bytes each: 8 MB of replies nobody reads, more than the sockets
    // hold. Then parameter writes, 1413 bytes each, until the link takes no more.
    constexpr int ASKS = 1000, MAX_WRITES = 20000;
    for (int i = 0; i < ASKS; ++i) ASSERT_TRUE(c.send(8412, bytes(12)));
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    bytes req = make_frame(8202, bytes(1400));
    int writes = 0;
    size_t at = 0;  // bytes of the current request already written
    bool held = false;
    while (writes < MAX_WRITES && !held) {
        ssize_t n = write(fd, req.data() + at, req.size() - at);
        if (n > 0) at += static_cast<size_t>(n);
        if (at == req.size()) {
            writes++;
            at = 0;
        } else if (n < 0) {
            pollfd p{fd, POLLOUT, 0};
            held = poll(&p, 1, 1000) == 0;  // the simulator stopped reading
        }
    }
    ASSERT_TRUE(held) << "the simulator read " << writes << " requests nobody read replies to";

    for (int i = 0; i < ASKS + writes; ++i) {
        rx_frame f = c.next();
        ASSERT_EQ(f.code, i < ASKS ? 9412 : 9202) << i;
        ASSERT_EQ(f.status, 0) << i;
    }
    // The torn request completes once the simulator reads again.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (at > 0) {
        ASSERT_TRUE(c.send_raw(bytes(req.begin() + static_cast<long>(at), req.end())));
        EXPECT_EQ(c.next().code, 9202);
    }
    EXPECT_EQ(c.call(8007).code, 9007);
}

}  // namespace
