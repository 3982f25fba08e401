// The simulator itself, for what the console's sessions cannot show: every request's size,
// records kept, malformed frames, one link at a time, a peer that never reads, the command
// line. Its fault options, flash, events, discovery and pseudo-terminal are seen end to end.
#include <gtest/gtest.h>

#include "e2e.h"
#include "sim_harness.h"

namespace {

// Requests whose zero-filled payload is valid: code, request size, reply size.
constexpr std::array<int, 3> PLAIN[] = {
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

TEST(SimProtocol, EveryRequestAnswersWithItsCodePlus1000AndItsSize) {
    InProcessSim sim;
    SimClient c(sim);
    for (auto [code, request, reply] : PLAIN) {
        rx_frame f = c.call(code, bytes(request));
        EXPECT_EQ(f.code, code + 1000);
        EXPECT_EQ(f.status, 0) << code;
        EXPECT_EQ(static_cast<int>(f.data.size()), reply) << code;
        // A byte short, and (but for the variable flash write) a byte over: refused, empty.
        for (int size : {request - 1, code == 8102 ? -1 : request + 1}) {
            if (size < 0) continue;
            f = c.call(code, bytes(size));
            EXPECT_EQ(f.code, code + 1000);
            EXPECT_EQ(f.status, 2) << code << " with " << size;
            EXPECT_TRUE(f.data.empty());
        }
    }
    for (int code : {0, 8000, 8437, 9007, 8601, 12289, 65535}) {
        rx_frame f = c.call(code);
        EXPECT_EQ(f.code, QXX_CODE_ERROR);
        EXPECT_NE(f.status, 0);
        EXPECT_EQ(f.param, code);
    }
}

TEST(SimProtocol, RecordsAreKeptAndImpossibleTimesRefused) {
    InProcessSim sim(options("--serial C12"));
    SimClient c(sim);
    EXPECT_EQ(c.call(8007).data, (bytes{'C', '1', '2', 0, 0, 0, 0, 0}));
    // What 8202 writes 8201 returns, until the defaults are loaded.
    bytes params = c.call(8201).data, changed = params;
    changed.at(1399) = 0xAB;
    EXPECT_EQ(c.call(8202, changed).status, 0);
    EXPECT_EQ(c.call(8201).data, changed);
    EXPECT_EQ(c.call(8221).status, 0);
    EXPECT_EQ(c.call(8201).data, params);
    EXPECT_EQ(c.call(8003, i32s({2031, 2, 3, 4, 5, 6})).status, 0);
    for (auto bad : {i32s({2031, 2, 29, 4, 5, 6}), i32s({2031, 13, 1, 0, 0, 0}),
                     i32s({2031, 1, 1, 24, 0, 0}), i32s({1969, 12, 31, 0, 0, 0})})
        EXPECT_EQ(c.call(8003, bad).status, 4);
    EXPECT_EQ(c.call(8002).i32(0), 2031);
}

TEST(SimProtocol, MalformedFramesAreDroppedAndOneLinkIsServedAtATime) {
    InProcessSim sim;
    SimClient a(sim);
    bytes defaults = a.call(8201).data;
    bytes bad_header = make_frame(8203), bad_payload = make_frame(8202, bytes(1400, 0x11));
    bad_header[11] ^= 1;
    bad_payload.back() ^= 1;  // would overwrite the parameters if it were taken
    bytes broken_magic = make_frame(8203);
    broken_magic.insert(broken_magic.begin(), 'Z');  // "ZZORV": the second Z breaks the magic
    bytes header_only = make_frame(8007);            // length 0: a 12-byte frame
    header_only.pop_back();
    put_u16le(&header_only[6], 0);
    header_only[11] = qxx_xor(header_only.data(), 11);
    for (const bytes& b : {bytes{'h', 'e', 'l', 'l', 'o'}, bad_header, bad_payload, broken_magic,
                           header_only, make_frame(8302)})
        ASSERT_TRUE(a.send_raw(b));
    EXPECT_EQ(a.reply().code, 9007);
    EXPECT_EQ(a.reply().code, 9302);
    EXPECT_EQ(a.call(8201).data, defaults);

    SimClient b(sim);
    ASSERT_TRUE(b.send(8007));
    EXPECT_EQ(b.next(300).code, -1);  // waits while a is served
    bytes half = make_frame(8202, bytes(1400, 0x22));
    half.resize(700);
    ASSERT_TRUE(a.send_raw(half));  // a vanishes in the middle of a parameter write
    a.hang_up();
    EXPECT_EQ(b.reply().code, 9007);
    EXPECT_EQ(b.call(8201).data, defaults);
}

TEST(SimProtocol, AClientThatReadsNothingIsHeldBack) {
    InProcessSim sim;
    int fd = connect_loopback(sim.port(), 4096);  // small, so that replies back up early
    SimClient c(fd);
    // 8 MB of replies nobody reads, more than the sockets hold; then parameter writes of 1413
    // bytes until the link takes no more.
    constexpr int ASKS = 1000;
    for (int i = 0; i < ASKS; ++i) ASSERT_TRUE(c.send(8412, bytes(12)));
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    bytes req = make_frame(8202, bytes(1400));
    int writes = 0;
    size_t at = 0;  // bytes of the current request already written
    for (bool held = false; !held;) {
        ASSERT_LT(writes, 20000) << "the simulator read on while nobody read its replies";
        ssize_t n = write(fd, req.data() + at, req.size() - at);
        at += n > 0 ? static_cast<size_t>(n) : 0;
        if (at == req.size()) {
            writes++;
            at = 0;
        }
        pollfd p{fd, POLLOUT, 0};
        if (n < 0) held = poll(&p, 1, 1000) == 0;
    }
    for (int i = 0; i < ASKS + writes; ++i) ASSERT_EQ(c.next().code, i < ASKS ? 9412 : 9202) << i;
    // The request in hand (perhaps torn) completes once the simulator reads again.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    ASSERT_TRUE(c.send_raw(bytes(req.begin() + static_cast<long>(at), req.end())));
    EXPECT_EQ(c.next().code, 9202);
    EXPECT_EQ(c.call(8007).code, 9007);
}

TEST(SimProcess, CommandLineExitCodesAndSignals) {
    auto exit_of = [](const std::string& line) {
        proc::Child p;
        std::istringstream in(line);
        std::vector<std::string> args = {NV52_SIM_BIN};
        for (std::string w; in >> w;) args.push_back(w);
        p.start(args, "", "/dev/null");
        return p.wait_exit();
    };
    // A wrong line exits with 2 and starts nothing; a port in use with 1; a signal with 0.
    for (const char* bad :
         {"--fail-code 8102:0", "--port 65536", "--port 1x", "--delay-ms", "--event-ms 0",
          "--serial C00012345", "--ident ELEVENCHARS", "--bind localhost", "--split=1", "--bogus"})
        EXPECT_EQ(exit_of(bad), 2) << bad;
    InProcessSim busy;
    EXPECT_EQ(exit_of("--discovery-port 0 --port " + std::to_string(busy.port())), 1);
    EXPECT_EQ(exit_of("--help"), 0);
    e2e::Sim sim;
    ASSERT_TRUE(sim.start());
    EXPECT_EQ(sim.stop(SIGINT), 0);
}

}  // namespace
