// Every fault option doing what it says, alone and combined, and discovery on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "sim_harness.h"

namespace {

using checker = std::function<void(InProcessSim&, SimClient&)>;
struct want {
    int code, status = 0;
};

// Sends the requests, then expects exactly these frames in order.
checker expect(std::vector<int> requests, std::vector<want> frames, long dropped = 0) {
    return [=](InProcessSim&, SimClient& c) {
        for (int code : requests) c.send(code);
        for (want w : frames) {
            rx_frame f = c.next();
            EXPECT_EQ(f.code, w.code);
            EXPECT_EQ(f.status, w.status) << w.code;
        }
        EXPECT_EQ(c.dropped(), dropped);
    };
}

// Command lines and what a client then sees.
const std::pair<const char*, checker> FAULTS[] = {
    {"--drop-every 2", expect({8007, 8203, 8302, 8204}, {{9007}, {9302}})},
    {"--corrupt-header-every 2", expect({8007, 8302, 8204}, {{9007}, {9204}}, 17)},
    // An empty payload has its checksum byte spoiled.
    {"--corrupt-payload-every 2",
     expect({8007, 8210, 8302, 8203, 8204}, {{9007}, {9302}, {9204}}, 13 + 359)},
    {"--status-replies 2",
     expect({8007, 8203}, {{12289}, {12289}, {9007}, {12289}, {12289}, {9203}})},
    {"--split --status-replies 1 --corrupt-payload-every 2",
     expect({8007, 8203, 8302}, {{12289}, {9007}, {12289}, {12289}, {9302}}, 359)},
    {"--error-reply 8203 --error-reply=8201",
     expect({8203, 8201, 8007}, {{12290, 1}, {12290, 1}, {9007}})},
    {"--fail-code 8203:7 --fail-code 8201",
     expect({8203, 8201, 8203, 8007}, {{9203, 7}, {9201, 1}, {9203, 7}, {9007}})},
    {"--fail-code 8203:1 --fail-times 2",  // a block that fails twice, then succeeds
     expect({8203, 8203, 8203, 8203}, {{9203, 1}, {9203, 1}, {9203}, {9203}})},
    {"--delay-ms 300",
     [](InProcessSim&, SimClient& c) {
         auto t0 = std::chrono::steady_clock::now();
         EXPECT_EQ(c.call(8007).code, 9007);
         EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));
     }},
    {"--close-after 3",
     [](InProcessSim& sim, SimClient& c) {
         expect({8007, 8203, 8302}, {{9007}, {9203}})(sim, c);
         EXPECT_TRUE(c.closed_by_peer());
         SimClient again(sim);  // counts afresh
         expect({8007, 8302}, {{9007}, {9302}})(sim, again);
     }},
    {"--split --event-ms 20",
     [](InProcessSim&, SimClient& c) {
         EXPECT_EQ(c.call(8309).status, 0);
         EXPECT_EQ(c.event(10002).i32(2), 1024);  // 4339 bytes in pieces
         EXPECT_EQ(c.dropped(), 0);
     }},
};

TEST(SimFaults, EachOptionDoesWhatItSays) {
    for (const auto& [line, check] : FAULTS) {
        SCOPED_TRACE(line);
        sim_options opt = options(line);
        InProcessSim sim(opt);
        SimClient c(sim);
        check(sim, c);
    }
}

// The announcement payload expected back: ident, address and name, NUL-padded.
bytes fields(const std::string& ident, const std::string& address, const std::string& name) {
    bytes b(66, 0);
    std::copy(ident.begin(), ident.end(), b.begin());
    std::copy(address.begin(), address.end(), b.begin() + 10);
    std::copy(name.begin(), name.end(), b.begin() + 26);
    return b;
}

TEST(SimDiscovery, AnswersEachRequestOnLoopback) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    auto ask = [fd](const InProcessSim& sim, const bytes& datagram) {
        sockaddr_in a = loopback(sim.udp_port());
        sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    };
    auto announcement = [fd](int timeout_ms = WAIT_MS) {  // its payload, or nothing
        unsigned char buf[2048];
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1) return bytes{};
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        EXPECT_TRUE(n == 79 && qxx_frame_code(buf) == 8600 && qxx_frame_length(buf) == 67);
        return n == 79 ? bytes(buf + 12, buf + 78) : bytes{};
    };
    const std::string name40(40, 'n');
    struct {
        const char *ident, *name, *address;  // null address: bound to every address
        bytes expect;
    } rows[] = {
        {"", "", "", fields("C0001234", "127.0.0.1", "NV-52 C0001234")},
        {"", "", nullptr, fields("C0001234", "127.0.0.1", "NV-52 C0001234")},
        {"ABCDEFGHIJ", name40.c_str(), "192.168.111.222",
         fields("ABCDEFGHIJ", "192.168.111.222", name40)},
    };
    for (const auto& r : rows) {
        sim_options opt;
        opt.ident = r.ident;
        opt.name = r.name;
        opt.announce_address = r.address ? r.address : "";
        opt.bind = r.address ? "127.0.0.1" : "0.0.0.0";
        InProcessSim sim(opt);
        ask(sim, make_frame(8601, {}, 3000));
        EXPECT_EQ(announcement(), r.expect);
    }

    // Two requests in one datagram, then one after a frame that is no request.
    InProcessSim sim;
    bytes two = make_frame(8601, {}, 3000), other = make_frame(8203);
    two.insert(two.end(), two.begin(), two.end());
    other.insert(other.end(), two.begin(), two.begin() + 13);
    ask(sim, two);
    ask(sim, other);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(announcement().size(), 66u) << i;
    EXPECT_TRUE(announcement(300).empty());
    close(fd);
}

}  // namespace
