// The simulator answering discovery on loopback. Its fault options are checked through the
// console, one row each, by the end-to-end fault table.
#include <gtest/gtest.h>

#include "sim_harness.h"

namespace {

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
