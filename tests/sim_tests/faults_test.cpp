// Every fault option doing what it says, alone and combined, and discovery on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "sim_harness.h"

namespace {

using checker = std::function<void(InProcessSim&, SimClient&)>;

// Sends the requests and expects the frames, in order, with status 0.
checker expect(std::vector<int> requests, std::vector<int> frames, long dropped = 0) {
    return [=](InProcessSim&, SimClient& c) {
        for (int code : requests) c.send(code);
        for (int code : frames) {
            rx_frame f = c.next();
            EXPECT_EQ(f.code, code);
            EXPECT_EQ(f.status, 0) << code;
        }
        EXPECT_EQ(c.dropped(), dropped);
    };
}

struct fault_row {
    const char* name;
    std::function<void(sim_options&)> setup;
    checker check;
};

const fault_row FAULTS[] = {
    {"drop every 2nd reply", [](sim_options& o) { o.drop_every = 2; },
     expect({8007, 8203, 8302, 8204}, {9007, 9302})},
    {"spoil every 2nd header", [](sim_options& o) { o.corrupt_header_every = 2; },
     expect({8007, 8302, 8204}, {9007, 9204}, 17)},
    {"spoil every 2nd payload (the checksum byte when empty)",
     [](sim_options& o) { o.corrupt_payload_every = 2; },
     expect({8007, 8210, 8302, 8203, 8204}, {9007, 9302, 9204}, 13 + 359)},
    {"status replies first", [](sim_options& o) { o.status_replies = 2; },
     expect({8007, 8203}, {12289, 12289, 9007, 12289, 12289, 9203})},
    {"combined: split, a status reply, every 2nd payload spoiled",
     [](sim_options& o) {
         o.split = true;
         o.status_replies = 1;
         o.corrupt_payload_every = 2;
     },
     expect({8007, 8203, 8302}, {12289, 9007, 12289, 12289, 9302}, 359)},
    {"delay replies", [](sim_options& o) { o.delay_ms = 300; },
     [](InProcessSim&, SimClient& c) {
         auto t0 = std::chrono::steady_clock::now();
         EXPECT_EQ(c.call(8007).code, 9007);
         EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));
     }},
    {"general error for chosen codes",
     [](sim_options& o) {
         o.error_reply = {8203, 8201};
     },
     [](InProcessSim&, SimClient& c) {
         for (int code : {8203, 8201}) {
             rx_frame f = c.call(code);
             EXPECT_EQ(f.code, 12290);
             EXPECT_EQ(f.param, code);
         }
         EXPECT_EQ(c.call(8007).code, 9007);
     }},
    {"failing status, every time",
     [](sim_options& o) {
         o.fail_code = {{8203, 7}, {8201, 1}};
     },
     [](InProcessSim&, SimClient& c) {
         for (int i = 0; i < 3; ++i) {
             rx_frame f = c.call(8203);
             EXPECT_EQ(f.code, 9203);
             EXPECT_EQ(f.status, 7);
             EXPECT_TRUE(f.data.empty());
             EXPECT_EQ(c.call(8201).status, 1);
         }
         EXPECT_EQ(c.call(8007).status, 0);
     }},
    {"a block that fails twice, then succeeds",
     [](sim_options& o) {
         o.fail_code = {{8102, 1}};
         o.fail_times = 2;
     },
     [](InProcessSim&, SimClient& c) {
         for (int status : {1, 1, 0, 0}) EXPECT_EQ(c.call(8102, {0, 0, 1, 2, 3, 4}).status, status);
         EXPECT_EQ(c.call(8101, {0, 0}).data.at(3), 4);
     }},
    {"close after 3 frames", [](sim_options& o) { o.close_after = 3; },
     [](InProcessSim& sim, SimClient& c) {
         expect({8007, 8203, 8302}, {9007, 9203})(sim, c);
         EXPECT_EQ(c.next().code, -1);
         EXPECT_TRUE(c.closed_by_peer());
         SimClient again(sim);  // counts afresh
         expect({8007, 8302}, {9007, 9302})(sim, again);
     }},
    {"split frames, a spectrum among them",
     [](sim_options& o) {
         o.split = true;
         o.event_ms = 20;
     },
     [](InProcessSim&, SimClient& c) {
         EXPECT_EQ(c.call(8309).status, 0);
         rx_frame s = c.event(10002);
         EXPECT_EQ(s.data.size(), 4326u);
         EXPECT_EQ(s.i32(2), 1024);
         EXPECT_EQ(c.dropped(), 0);
     }},
};

TEST(SimFaults, EachOptionDoesWhatItSays) {
    for (const auto& r : FAULTS) {
        SCOPED_TRACE(r.name);
        sim_options opt;
        r.setup(opt);
        InProcessSim sim(opt);
        SimClient c(sim);
        r.check(sim, c);
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
