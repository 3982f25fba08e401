// The simulator as the console meets it: codes and sizes, records, the byte stream's bad days,
// discovery, and the built nv52-sim as a process. Its fault options are checked through the
// console, one row each, by the end-to-end session table.
#include <gtest/gtest.h>

#include <termios.h>

#include <array>

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

TEST(SimProtocol, RecordsAreKeptAndConsistent) {
    InProcessSim sim(options("--usb-mode 2 --serial C12"));
    SimClient c(sim);
    EXPECT_EQ(c.call(8007).data, (bytes{'C', '1', '2', 0, 0, 0, 0, 0}));

    // Parameters: the default carries --usb-mode; what 8202 writes, 8201 returns.
    bytes params = c.call(8201).data, changed = params;
    ASSERT_EQ(params.size(), 1400u);
    EXPECT_EQ(get_u16le(&params[136]), 2);
    put_u16le(&changed[136], 1);
    put_f32le(&changed[554], 12.75f);
    changed[1399] = 0xAB;
    EXPECT_EQ(c.call(8202, changed).status, 0);
    EXPECT_EQ(c.call(8201).data, changed);
    EXPECT_EQ(c.call(8221).status, 0);  // load defaults
    EXPECT_EQ(c.call(8201).data, params);

    // The clock, set through either code; impossible dates are refused and change nothing.
    EXPECT_EQ(c.call(8013, i32s({2030, 12, 31, 23, 0, 0})).status, 0);
    EXPECT_EQ(c.call(8002).i32(0), 2030);
    EXPECT_EQ(c.call(8003, i32s({2031, 2, 3, 4, 5, 6})).status, 0);
    for (auto bad : {i32s({2031, 2, 29, 4, 5, 6}), i32s({2031, 13, 1, 0, 0, 0}),
                     i32s({2031, 1, 1, 24, 0, 0}), i32s({1969, 12, 31, 0, 0, 0})})
        EXPECT_EQ(c.call(8003, bad).status, 4);
    for (int code : {8002, 8012}) {
        rx_frame t = c.call(code);
        EXPECT_EQ(t.data, i32s({2031, 2, 3, 4, 5, t.i32(20)}));
        EXPECT_TRUE(t.i32(20) >= 6 && t.i32(20) < 30) << t.i32(20);
    }

    EXPECT_EQ(c.call(8104, bytes{'C', '7', '6', '5', '4', '3', '2', '1'}).status, 0);
    EXPECT_EQ(c.call(8007).data, (bytes{'C', '7', '6', '5', '4', '3', '2', '1'}));
    EXPECT_EQ(c.call(8301, i32s({0x0641})).status, 0);
    EXPECT_EQ(c.call(8302).data, i32s({0x0641}));

    // GPS power shows in the status record.
    for (int32_t power : {0, 1}) {
        EXPECT_EQ(c.call(8205, i32s({power})).status, 0);
        EXPECT_EQ(c.call(8204).data, i32s({power}));
        rx_frame st = c.call(8203);
        EXPECT_EQ(st.i32(174), power);
        EXPECT_EQ(st.i32(194) > 0, power == 1);  // satellites only with the receiver on
        EXPECT_EQ(get_f32le(&st.data[182]) != 0, power == 1);
    }
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

// Two requests in one datagram, then one after a frame that is no request: three announcements
// of ident, address and name, NUL-padded, and nothing more.
TEST(SimDiscovery, AnswersEachRequestOnLoopback) {
    const std::string name40(40, 'n');
    struct {
        std::string line;
        const char *ident, *address, *name;
    } rows[] = {
        {"", "C0001234", "127.0.0.1", "NV-52 C0001234"},
        {"--ident ABCDEFGHIJ --announce-address 192.168.111.222 --name " + name40, "ABCDEFGHIJ",
         "192.168.111.222", name40.c_str()},
    };
    for (const auto& r : rows) {
        InProcessSim sim(options(r.line));
        bytes expect(66, 0);
        for (auto [at, text] : {std::pair{0, r.ident}, {10, r.address}, {26, r.name}})
            std::copy(text, text + strlen(text), expect.begin() + at);
        bytes two = make_frame(8601, {}, 3000), other = make_frame(8203);
        two.insert(two.end(), two.begin(), two.end());
        other.insert(other.end(), two.begin(), two.begin() + 13);
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = loopback(sim.udp_port());
        for (const bytes& d : {two, other})
            sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
        for (int i = 0; i < 3; ++i) {
            unsigned char buf[2048];
            ssize_t n = wait_fd(fd, POLLIN, WAIT_MS) ? recv(fd, buf, sizeof buf, 0) : -1;
            ASSERT_EQ(n, 79) << r.line << i;
            EXPECT_TRUE(qxx_frame_code(buf) == 8600 && qxx_frame_length(buf) == 67);
            EXPECT_EQ(bytes(buf + 12, buf + 78), expect) << r.line;
        }
        EXPECT_FALSE(wait_fd(fd, POLLIN, 300));
        close(fd);
    }
}

TEST(SimProcess, CommandLinePtyLogAndSignals) {
    auto exit_of = [](const std::string& line) {
        proc::Child p;
        p.start(words_of(line, NV52_SIM_BIN), "", "/dev/null");
        return p.wait_exit();
    };
    sim_options opt;
    EXPECT_TRUE(opt.bind == "127.0.0.1" && opt.port == 4444 && opt.discovery_port == 4455);
    // A wrong line exits with 2 and starts nothing; a port in use with 1.
    for (const char* bad :
         {"--fail-code 8102:0", "--port 65536", "--port 1x", "--delay-ms", "--event-ms 0",
          "--serial C00012345", "--ident ELEVENCHARS", "--bind localhost", "--split=1", "--bogus"})
        EXPECT_EQ(exit_of(bad), 2) << bad;
    InProcessSim busy;
    EXPECT_EQ(exit_of("--discovery-port 0 --port " + std::to_string(busy.port())), 1);
    proc::Child help;
    help.start({NV52_SIM_BIN, "--help"});
    EXPECT_EQ(help.wait_line("Usage: "), "nv52-sim [OPTION]...");
    EXPECT_EQ(help.wait_exit(), 0);

    proc::TempDir dir;
    e2e::Sim sim;
    ASSERT_TRUE(sim.start({"--pty", "--event-ms", "20"}, dir.file("sim.log")));
    ASSERT_EQ(sim.pty().rfind("/dev/", 0), 0u) << sim.pty();
    {
        SimClient c(connect_loopback(sim.port()));
        bytes bad = make_frame(8203);
        bad[11] ^= 1;
        c.send_raw(bad);
        EXPECT_EQ(c.call(8007).code, 9007);
    }
    // As a serial console would, twice: identification and a spectrum through the pty.
    for (int round = 0; round < 2; ++round) {
        int fd = open(sim.pty().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t;
        ASSERT_EQ(tcgetattr(fd, &t), 0);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
        SimClient c(fd);
        EXPECT_EQ(c.call(8007).code, 9007) << round;
        ASSERT_EQ(c.call(8309).status, 0);
        EXPECT_EQ(c.event(10002).i32(2), 1024);
        ASSERT_EQ(c.call(8309).status, 0);  // stop, so the next round starts one again
    }
    // The pty's peer went away: the next TCP link is served.
    EXPECT_EQ(SimClient(connect_loopback(sim.port())).call(8203).code, 9203);
    EXPECT_EQ(sim.stop(SIGINT), 0);
    const std::string log = e2e::read_file(dir.file("sim.log"));
    for (const char* line : {"] link tcp 127.0.0.1:", "] dropped a frame: bad header checksum",
                             "] rx 8007 get serial (0 bytes) -> 9007 reply status 0 (8 bytes)",
                             "] link pty /dev/", "] event 10002 spectrum (4326 bytes)"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
}

}  // namespace
