// Every fault option doing what it says, alone and combined, and discovery on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "sim_harness.h"

namespace {

struct fault_row {
    const char* name;
    std::function<void(sim_options&)> setup;
    std::function<void(InProcessSim&, SimClient&)> check;
};

const fault_row FAULTS[] = {
    {"drop every 2nd reply", [](sim_options& o) { o.drop_every = 2; },
     [](InProcessSim&, SimClient& c) {
         EXPECT_EQ(c.call(8007).code, 9007);
         c.send(8203);  // reply 2: dropped
         EXPECT_EQ(c.call(8302).code, 9302);
         EXPECT_EQ(c.dropped(), 0);
     }},
    {"delay replies", [](sim_options& o) { o.delay_ms = 300; },
     [](InProcessSim&, SimClient& c) {
         auto t0 = std::chrono::steady_clock::now();
         EXPECT_EQ(c.call(8007).code, 9007);
         EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));
     }},
    {"corrupt every 2nd header", [](sim_options& o) { o.corrupt_header_every = 2; },
     [](InProcessSim&, SimClient& c) {
         EXPECT_EQ(c.call(8007).code, 9007);
         c.send(8302);  // its 17 bytes arrive and are thrown away
         EXPECT_EQ(c.call(8204).code, 9204);
         EXPECT_EQ(c.dropped(), 17);
     }},
    {"corrupt every 2nd payload", [](sim_options& o) { o.corrupt_payload_every = 2; },
     [](InProcessSim&, SimClient& c) {
         EXPECT_EQ(c.call(8007).code, 9007);
         c.send(8210);  // no payload: its checksum byte is spoiled
         EXPECT_EQ(c.call(8302).code, 9302);
         c.send(8203);
         EXPECT_EQ(c.call(8204).code, 9204);
         EXPECT_EQ(c.dropped(), 13 + 359);
     }},
    {"status replies first", [](sim_options& o) { o.status_replies = 2; },
     [](InProcessSim&, SimClient& c) {
         for (int code : {8007, 8203}) {
             c.send(code);
             for (int expect : {12289, 12289, code + 1000}) {
                 rx_frame f = c.next();
                 EXPECT_EQ(f.code, expect);
                 EXPECT_EQ(f.status, 0);
             }
         }
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
         bytes block{0, 0, 1, 2, 3, 4};
         for (int expect : {1, 1, 0, 0}) EXPECT_EQ(c.call(8102, block).status, expect);
         EXPECT_EQ(bytes(c.call(8101, {0, 0}).data).at(3), 4);
     }},
    {"close after 3 frames", [](sim_options& o) { o.close_after = 3; },
     [](InProcessSim& sim, SimClient& c) {
         EXPECT_EQ(c.call(8007).code, 9007);
         EXPECT_EQ(c.call(8203).code, 9203);
         c.send(8302);
         EXPECT_EQ(c.next().code, -1);
         EXPECT_TRUE(c.closed_by_peer());
         SimClient next(sim.port());  // counts afresh
         EXPECT_EQ(next.call(8007).code, 9007);
         EXPECT_EQ(next.call(8302).code, 9302);
     }},
    {"split frames",
     [](sim_options& o) {
         o.split = true;
         o.event_ms = 20;
     },
     [](InProcessSim&, SimClient& c) {
         EXPECT_EQ(c.call(8203).data.size(), 346u);
         EXPECT_EQ(c.call(8309).status, 0);
         rx_frame s = c.event(10002);
         EXPECT_EQ(s.data.size(), 4326u);
         EXPECT_EQ(s.i32(2), 1024);
         EXPECT_EQ(c.dropped(), 0);
     }},
    {"combined: split, a status reply, every 2nd payload spoiled",
     [](sim_options& o) {
         o.split = true;
         o.status_replies = 1;
         o.corrupt_payload_every = 2;
     },
     [](InProcessSim&, SimClient& c) {
         c.send(8007);
         c.send(8203);
         c.send(8302);
         for (int expect : {12289, 9007, 12289, 12289, 9302}) EXPECT_EQ(c.next().code, expect);
     }},
};

TEST(SimFaults, EachOptionDoesWhatItSays) {
    for (const auto& r : FAULTS) {
        SCOPED_TRACE(r.name);
        sim_options opt;
        r.setup(opt);
        InProcessSim sim(opt);
        SimClient c(sim.port());
        r.check(sim, c);
    }
}

// ---- discovery -------------------------------------------------------------------------------

struct udp_client {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ~udp_client() { close(fd); }
    void send(int port, const bytes& datagram) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    // The announcement's 66 payload bytes, or nothing after the time limit.
    bytes announcement(int timeout_ms = WAIT_MS) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1) return {};
        unsigned char buf[2048];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n != 79 || qxx_frame_code(buf) != 8600 || qxx_frame_length(buf) != 67) return {0};
        return bytes(buf + 12, buf + 78);
    }
};

bytes fields(const std::string& ident, const std::string& address, const std::string& name) {
    bytes b(66, 0);
    std::copy(ident.begin(), ident.end(), b.begin());
    std::copy(address.begin(), address.end(), b.begin() + 10);
    std::copy(name.begin(), name.end(), b.begin() + 26);
    return b;
}

TEST(SimDiscovery, AnswersEachRequestOnLoopback) {
    const std::string name40(40, 'n');
    struct row {
        const char *ident, *name, *address;
        bytes expect;
    };
    const row rows[] = {
        {"", "", "", fields("C0001234", "127.0.0.1", "NV-52 C0001234")},
        // Bound to every address: the one through which the requester is reached.
        {"", "", nullptr, fields("C0001234", "127.0.0.1", "NV-52 C0001234")},
        {"ABCDEFGHIJ", name40.c_str(), "192.168.111.222",
         fields("ABCDEFGHIJ", "192.168.111.222", name40)},
    };
    for (const auto& r : rows) {
        sim_options opt;
        opt.ident = r.ident;
        opt.name = r.name;
        if (r.address)
            opt.announce_address = r.address;
        else
            opt.bind = "0.0.0.0";
        InProcessSim sim(opt);
        udp_client u;
        u.send(sim.udp_port(), make_frame(8601, {}, 3000));
        EXPECT_EQ(u.announcement(), r.expect);
    }

    // Two requests in one datagram, and a datagram whose other frame is no request.
    InProcessSim sim;
    udp_client u;
    bytes two = make_frame(8601, {}, 3000), other = make_frame(8203);
    two.insert(two.end(), two.begin(), two.end());
    other.insert(other.end(), two.begin(), two.begin() + 13);
    u.send(sim.udp_port(), two);
    u.send(sim.udp_port(), other);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(u.announcement().size(), 66u) << i;
    EXPECT_TRUE(u.announcement(300).empty());
}

}  // namespace
