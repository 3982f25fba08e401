// nv52-sim serving a bench of instruments from one process: serial numbers, ports and
// announcements of their own, faults on chosen instruments only, and what a flash does to an
// instrument (its new version, its boot time, never coming back).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "sim_client.h"

namespace {

using namespace std::chrono_literals;

struct Answer {
    bool closed = false;  // the link closed without an answer
    int status = -1;
    std::string payload;
};

// One request with `payload` on a fresh link to `port`: the answer, skipping events.
Answer call(int port, int code, const std::string& payload = "") {
    bytes frame(payload.size() + QXX_FRAME_OVERHEAD);
    qxx_build_frame(frame.data(), code, payload.data(), static_cast<int>(payload.size()), 1000, 0);
    Answer a;
    int fd = connect_loopback(port);
    auto rx = std::make_unique<QXX_rx>();
    rx->count = 0;
    if (fd < 0 || !write_all(fd, std::string(frame.begin(), frame.end()))) a.closed = true;
    unsigned char buf[4096];
    while (!a.closed && a.status < 0) {
        ssize_t n = wait_fd(fd, POLLIN, 5000) ? read(fd, buf, sizeof buf) : 0;
        if (n <= 0) a.closed = true;
        for (ssize_t i = 0; i < n && a.status < 0; ++i) {
            if (!qxx_rx_push(rx.get(), buf[i])) continue;
            const int c = qxx_frame_code(rx->buf);
            if (c == code + 1000) {
                a.status = qxx_frame_status(rx->buf);
                a.payload.assign(reinterpret_cast<const char*>(rx->buf) + 12,
                                 qxx_frame_payload_size(rx->buf));
            }
            rx->count = 0;
        }
    }
    if (fd >= 0) close(fd);
    return a;
}

std::string text(const std::string& field) {
    return field.substr(0, field.find('\0'));
}

std::string le32(uint32_t v) {
    unsigned char b[4];
    put_u32le(b, v);
    return std::string(reinterpret_cast<char*>(b), 4);
}

// The flash takes an image written since the erase whose checksum the request names.
struct Image {
    std::string bytes;
    uint32_t raw = 0;
};
Image image(const std::string& version, bool scramble) {
    Image im;
    im.bytes = version;
    im.bytes.resize(4000, '\0');
    for (size_t i = version.size() + 1; i < im.bytes.size(); ++i) im.bytes[i] = char(i * 13);
    for (uint32_t i = 0; i < im.bytes.size() / 4; ++i) {
        const uint32_t w = get_u32le(reinterpret_cast<const unsigned char*>(&im.bytes[4 * i]));
        im.raw ^= w;
        if (scramble) im.bytes.replace(4 * i, 4, le32(w ^ (i * i * i * i)));
    }
    return im;
}
// The announcements one discovery request to `udp_port` brings, as "IDENT|ADDRESS|NAME", sorted.
std::vector<std::string> announcements(int udp_port, size_t expected) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bind_port(fd);
    unsigned char request[13];
    qxx_build_frame(request, 8601, nullptr, 0, 3000, 0);
    sockaddr_in to = loopback(udp_port);
    EXPECT_EQ(::sendto(fd, request, 13, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 13);
    std::vector<std::string> heard;
    unsigned char buf[512];
    // The ones expected within seconds; one more would come right behind them.
    for (ssize_t n; wait_fd(fd, POLLIN, heard.size() < expected ? 5000 : 300) &&
                    (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) {
        EXPECT_EQ(n, 13 + 66);
        const std::string p(reinterpret_cast<char*>(buf) + 12, 66);
        heard.push_back(text(p.substr(0, 10)) + "|" + text(p.substr(10, 16)) + "|" +
                        text(p.substr(26)));
    }
    ::close(fd);
    std::sort(heard.begin(), heard.end());
    return heard;
}

// How long until a link to `port` is answered again, up to five seconds.
std::chrono::milliseconds back_after(int port, std::chrono::steady_clock::time_point since) {
    const auto limit = since + 5s;
    // Paced, so that the closed links do not pile up by the thousand.
    while (call(port, 8001).closed && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(20ms);
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 since);
}

// Erase, one block, flash: the flash request's answer.
Answer flash(int port, const Image& im, bool scrambled) {
    EXPECT_EQ(call(port, 8100).status, 0);
    EXPECT_EQ(call(port, 8102, std::string(2, '\0') + im.bytes).status, 0);
    return call(port, 8103, le32(scrambled ? 1 : 0) + le32(im.raw));
}

TEST(SimBench, EachInstrumentHasItsSerialPortAndAnnouncement) {
    InProcessSim sim(options("--instruments 3 --serial C0000099"));
    ASSERT_EQ(sim_server_instruments(sim.server()), 3);
    const char* serials[] = {"C0000099", "C0000100", "C0000101"};
    std::vector<std::string> expected;
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(sim_server_serial(sim.server(), k), serials[k]);
        const int port = sim_server_tcp_port(sim.server(), k);
        EXPECT_EQ(text(call(port, 8007).payload), serials[k]) << "instrument " << k;
        expected.push_back(std::string(serials[k]) + "|127.0.0.1:" + std::to_string(port) +
                           "|NV-52 " + serials[k]);
    }
    // One request, three announcements, each a datagram of its own.
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(announcements(sim_server_udp_port(sim.server()), 3), expected);
}

TEST(SimBench, SerialsAndFaultTargetsAreChecked) {
    struct Case {
        const char* line;
        const char* error;  // "" when accepted
    } cases[] = {
        {"--instruments 2 --serial C9999999", "--serial must end in a number that leaves room"},
        {"--instruments 2 --serial ABC", "--serial must end in a number that leaves room"},
        {"--instruments 3 --fault-on 4", "--fault-on 4: there are only 3 instruments"},
        {"--instruments 3 --fault-on 1,x", "--fault-on needs instrument numbers"},
        {"--instruments 65", "--instruments needs a whole number from 1 to 64"},
        {"--close-at 8102", "--close-at needs CODE:N"},
        {"--close-at 8102:0", "--close-at needs CODE:N"},
        {"--instruments 2 --serial C0000008 --fault-on 2,1", ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = proc::words_of(std::string("nv52-sim ") + c.line);
        sim_options opt;
        std::string error;
        const int r = sim_parse_options(static_cast<int>(args.size()), proc::argv_of(args).data(),
                                        &opt, &error);
        EXPECT_EQ(r, c.error[0] ? SIM_PARSE_ERROR : SIM_PARSE_OK) << c.line;
        EXPECT_EQ(error.substr(0, strlen(c.error)), c.error) << c.line;
    }
}

TEST(SimBench, FaultsReachOnlyTheInstrumentsNamed) {
    InProcessSim sim(options("--instruments 3 --fault-on 2 --refuse-identify --fail-code 8203"));
    for (int k = 0; k < 3; ++k) {
        const int port = sim_server_tcp_port(sim.server(), k);
        EXPECT_EQ(call(port, 8007).payload[0], k == 1 ? 'B' : 'C') << k;
        EXPECT_EQ(call(port, 8203).status, k == 1 ? 1 : 0) << k;
    }
}

TEST(SimBench, AFlashRestartsWithTheImagesVersionAfterTheBootTime) {
    InProcessSim sim(options("--instruments 3 --boot-ms 400 --fault-on 2 --keep-version"));
    const int ports[] = {sim_server_tcp_port(sim.server(), 0), sim_server_tcp_port(sim.server(), 1),
                         sim_server_tcp_port(sim.server(), 2)};
    // Instrument 1: a scrambled image. Its reply comes, the link closes, and for the boot time
    // every new link is closed at once and discovery does not hear of it.
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(flash(ports[0], image("NV52-2.15.0", true), true).status, 0);
    EXPECT_EQ(announcements(sim_server_udp_port(sim.server()), 2).size(), 2u);
    const auto back = back_after(ports[0], asked);
    EXPECT_GE(back, 400ms);
    EXPECT_LT(back, 3000ms);
    EXPECT_EQ(text(call(ports[0], 8001).payload), "NV52-2.15.0");
    EXPECT_EQ(announcements(sim_server_udp_port(sim.server()), 3).size(), 3u);
    // Instrument 2 keeps its old version (--keep-version); instrument 3's image names none.
    EXPECT_EQ(flash(ports[1], image("NV52-3.0.1", false), false).status, 0);
    EXPECT_EQ(flash(ports[2], image("FW-3.0.1", false), false).status, 0);
    back_after(ports[1], asked);
    back_after(ports[2], asked);
    EXPECT_EQ(text(call(ports[1], 8001).payload), "NV52-2.14.0");
    EXPECT_EQ(text(call(ports[2], 8001).payload), "NV52-2.14.0");
    // A refused flash restarts nothing.
    Image bad = image("NV52-9.9.9", false);
    bad.raw ^= 1;
    EXPECT_EQ(flash(ports[2], bad, false).status, 3);
    EXPECT_EQ(text(call(ports[2], 8001).payload), "NV52-2.14.0");
}

TEST(SimBench, AnInstrumentThatNeverComesBackIsGoneForLinksAndDiscovery) {
    InProcessSim sim(
        options("--instruments 2 --fault-on 1 --never-back --close-at 8203:2 "
                "--close-links 1"));
    const int one = sim_server_tcp_port(sim.server(), 0),
              two = sim_server_tcp_port(sim.server(), 1);
    // --close-at on the first link only: one get-status answered, the second closes the link.
    {
        int fd = connect_loopback(one);
        bytes f(13);
        qxx_build_frame(f.data(), 8203, nullptr, 0, 1000, 0);
        const std::string req(f.begin(), f.end());
        ASSERT_TRUE(write_all(fd, req + req));
        std::string got;
        while (wait_fd(fd, POLLIN, 5000)) {
            const std::string piece = read_bytes(fd);
            if (piece.empty()) break;
            got += piece;
        }
        close(fd);
        EXPECT_EQ(got.size(), 13u + 346u) << "one reply, then the close";
    }
    EXPECT_EQ(call(one, 8203).status, 0) << "the second link is not closed";
    EXPECT_EQ(flash(one, image("NV52-2.15.0", false), false).status, 0);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(call(one, 8001).closed);
    EXPECT_EQ(call(two, 8001).status, 0);
    const std::string serial = sim_server_serial(sim.server(), 1);
    EXPECT_EQ(announcements(sim_server_udp_port(sim.server()), 1),
              std::vector<std::string>{serial + "|127.0.0.1:" + std::to_string(two) + "|NV-52 " +
                                       serial});
}

}  // namespace
