// The link core over TCP on 127.0.0.1 and over a pseudo-terminal.
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "comm_links.h"
#include "process.h"

namespace {

// A peer that resets the stream instead of ending it fails the link.
TEST(CommLink, EveryByteGoesBothWaysInChunksOfTheReadSizeUntilThePeerEndsTheStream) {
    CommRunning running;
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    const struct {
        bool pty;
        int rx_size;
        size_t sent, largest;  // the largest chunk must be exactly this (0: at most 1 MiB)
        bool reset = false;
    } cases[] = {
        {false, 1, 100, 1},            // the smallest
        {false, 16, 1000, 16, true},   // as asked
        {false, 0, 1 << 20, 4096},     // the default read size
        {false, -1, 1 << 20, 4096},    // the default too
        {false, 2 << 20, 4 << 20, 0},  // capped at 1 MiB
        {true, 4096, 1000, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.pty ? "pseudo-terminal " : "tcp ") + std::to_string(c.rx_size));
        PeerLink link(c.pty);
        ASSERT_TRUE(link.open(c.rx_size));
        int h = link.handle;
        EXPECT_EQ(comm_write(h + 1, "x", 1, 0, 1000), -1);
        EXPECT_EQ(comm_write(h, "x", -1, 0, 1000), -1);
        EXPECT_EQ(comm_write(h, nullptr, 1, 0, 1000), -1);
        EXPECT_EQ(comm_write(h, nullptr, 0, 0, 1000), 0);
        EXPECT_EQ(comm_get_state(h), COMM_STATE_OPEN);
        ASSERT_EQ(comm_write(h, all.data(), 256, 0, 5000), 0);
        EXPECT_TRUE(read_bytes(link.fd, 256) == all);
        const std::string sent = varied(c.sent, 7, 8);
        ASSERT_TRUE(write_all(link.fd, sent));
        ASSERT_TRUE(link.ev.wait_bytes(h, sent.size()));
        size_t largest = 0;
        for (const auto& e : link.ev.events(h)) largest = std::max(largest, e.bytes.size());
        EXPECT_EQ(largest, c.largest ? c.largest : std::min(largest, size_t{1} << 20));
        EXPECT_EQ(comm_signal_connected(h), 0);
        EXPECT_EQ(comm_get_state(h), COMM_STATE_CONNECTED);
        linger hard{1, 0};
        if (c.reset) setsockopt(link.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        link.end();
        ASSERT_TRUE(link.wait(C));
        std::vector<int> k = link.kinds();
        k.erase(std::unique(k.begin(), k.end()), k.end());
        // A terminal may report its hang-up as an error.
        EXPECT_EQ(k, c.pty ? k : c.reset ? kinds({O, D, E, C}) : kinds({O, D, C}));
        EXPECT_EQ(k.front(), O);
        EXPECT_EQ(k.back(), C);
        EXPECT_TRUE(link.data() == sent);
        EXPECT_EQ(comm_get_state(h), COMM_STATE_NONE);
        EXPECT_NE(comm_write(h, "x", 1, 0, 1000), 0);
        EXPECT_NE(comm_wait_connected(h, NEVER_MS), 0);
        link.handle = 0;
    }
}

// The library's socket is found by its address. The I/O thread is held in another link's event
// until the standard input is closed, so the new link's socket is the next descriptor made: 0.
TEST(CommLink, TcpLinksSendWithoutDelayEvenOnDescriptorZero) {
    CommRunning running;
    struct Input {  // the standard input, back once the links are gone
        int saved = dup(0);
        ~Input() { dup2(saved, 0), ::close(saved); }
    } input;
    PeerLink holder, link;
    Counter held, go;
    holder.ev.hook = [&](int, int kind, const unsigned char*, int) {
        if (kind == D) held.add(), go.wait();
        return 0;
    };
    ASSERT_TRUE(holder.open() && write_all(holder.fd, "x") && held.wait());
    const bool asked = link.connect(tcp_string(link.peer.port()));
    ::close(0);
    go.add();
    ASSERT_TRUE(asked && link.ev.wait(link.handle, [](auto& e) { return !e.empty(); }));
    ASSERT_EQ(link.kinds(), kinds{O});
    link.fd = link.peer.accept();
    sockaddr_in theirs{};
    socklen_t len = sizeof theirs;
    ASSERT_EQ(getpeername(link.fd, reinterpret_cast<sockaddr*>(&theirs), &len), 0);
    int found = -1;
    for (int fd = 0; fd < 4096; ++fd) {  // the library's end: the peer's address is its own
        sockaddr_in a{};
        len = sizeof a;
        if (fd != link.fd && getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 &&
            a.sin_family == AF_INET && a.sin_port == theirs.sin_port)
            found = fd;
    }
    EXPECT_EQ(found, 0);
    int on = 0;
    len = sizeof on;
    EXPECT_EQ(getsockopt(found, IPPROTO_TCP, TCP_NODELAY, &on, &len), 0);
    EXPECT_NE(on, 0);
    EXPECT_EQ(link.disconnect(), 0);
    comm_shut();  // returns once the closed link's socket is closed too
    EXPECT_EQ(fcntl(0, F_GETFD), -1);
}

TEST(CommLink, FailedConnectsGiveErrorThenClosedAndNoIdle) {
    ErrorLog log;
    CommRunning running;
    TcpPeer refusing(false);
    TcpPeer silent(true, 0, true);
    TcpPeer listening;
    proc::TempDir dir;
    std::fclose(std::fopen(dir.file("plain").c_str(), "w"));
    const struct {
        std::string conn;
        long at_least_ms;
        kinds events;
    } cases[] = {
        {tcp_string(refusing.port(), 20000), 0, {E, C}},
        {tcp_string(silent.port(), 150), 140, {E, C}},  // no answer in time
        // "localhost" may name ::1 first, where nothing listens: the next address connects.
        {tcp_string(listening.port(), 20000, "localhost"), 0, {O, C}},
        {serial_string(dir.file("plain")), 0, {E, C}},
        {serial_string(dir.file("missing")), 0, {E, C}},
        {serial_string(dir.path()), 0, {E, C}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.conn);
        Link link;
        Stopwatch clock;
        ASSERT_TRUE(link.connect(c.conn, 4096, 20));
        if (c.events[0] == O) {
            ASSERT_TRUE(link.wait(O));
            EXPECT_EQ(comm_disconnect(link.handle), 0);
        } else {
            EXPECT_NE(comm_write(link.handle, "x", 1, 0, 1000), 0);  // nothing is open yet
            EXPECT_EQ(comm_wait_connected(link.handle, 20000), -1);  // at the failure, not later
        }
        ASSERT_TRUE(link.wait(C));
        EXPECT_GE(clock.ms(), c.at_least_ms);
        EXPECT_LT(clock.ms(), 10000);
        std::vector<int> k = link.kinds();
        if (c.events[0] == O) k.erase(std::remove(k.begin(), k.end(), COMM_EVENT_IDLE), k.end());
        EXPECT_EQ(k, c.events);
        link.handle = 0;
    }
    EXPECT_EQ(log.text(), "");  // nothing the operator could do about these
}

// The shut-down delivers every open link's CLOSED, even when that CLOSED calls the shut-down.
TEST(CommLink, HandlesTheWalkOverOpenLinksAndTheShutDown) {
    CommEvents ev[3];
    std::vector<int> handles;
    {
        CommRunning running;
        TcpPeer peer;
        for (CommEvents& e : ev) {
            int h = 0;
            ASSERT_EQ(
                comm_connect(&h, tcp_string(peer.port()).c_str(), CommEvents::proc, 64, 0, &e), 0);
            ASSERT_TRUE(e.wait_count(h, O));
            handles.push_back(h);
        }
        EXPECT_GT(handles[0], 0);
        EXPECT_EQ(handles, (std::vector<int>{handles[0], handles[0] + 1, handles[0] + 2}));
        auto walk = [] {
            std::vector<std::pair<int, void*>> seen;
            comm_data_cntr iter{-5};
            EXPECT_EQ(comm_data_cntr_init(&iter), 0);
            int h = 0;
            void* context = nullptr;
            while (comm_get_data(&iter, &h, &context) == 1 && seen.size() < 10)
                seen.push_back({h, context});
            return seen;
        };
        using Walk = std::vector<std::pair<int, void*>>;
        EXPECT_EQ(walk(), (Walk{{handles[0], &ev[0]}, {handles[1], &ev[1]}, {handles[2], &ev[2]}}));
        ASSERT_EQ(comm_disconnect(handles[1]), 0);
        EXPECT_EQ(walk(), (Walk{{handles[0], &ev[0]}, {handles[2], &ev[2]}}));
        comm_data_cntr iter;
        comm_data_cntr_init(&iter);
        EXPECT_EQ(comm_get_data(&iter, nullptr, nullptr), 1);  // out-pointers may be null
        EXPECT_EQ(comm_data_cntr_init(nullptr), -1);
        EXPECT_EQ(comm_get_data(nullptr, nullptr, nullptr), 0);
        for (int bad : {0, -1, 1 << 30}) {
            EXPECT_EQ(comm_get_state(bad), COMM_STATE_NONE);
            EXPECT_EQ(comm_disconnect(bad), -1);
            EXPECT_EQ(comm_wait_connected(bad, 0), -1);
            EXPECT_EQ(comm_signal_connected(bad), -1);
            EXPECT_EQ(comm_write(bad, "x", 1, 0, 1000), -1);
            char buf[4];
            EXPECT_EQ(comm_hook_response(bad, 1, buf, 4, 0, nullptr, 0, 0, nullptr, 0), -1);
            EXPECT_EQ(comm_fill_rsp_buff(bad, 1, "x", 1), -1);
            int l[3] = {-1, -1, -1};
            EXPECT_EQ(comm_wait_response(bad, &l[0], &l[1], &l[2], NEVER_MS), -1);
            EXPECT_EQ(l[0] | l[1] | l[2], 0);
            EXPECT_EQ(comm_unhook_response(bad), -1);
        }
        ev[2].hook = [&](int, int kind, const unsigned char*, int) {
            if (kind == C) comm_shut();  // the I/O thread cannot join itself
            return 0;
        };
        EXPECT_EQ(comm_shut(), 0);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(ev[i].kinds(handles[i]), (kinds{O, C})) << i;
        comm_data_cntr_init(&iter);
        EXPECT_EQ(comm_get_data(&iter, nullptr, nullptr), 0);
        int h = 0;
        EXPECT_NE(comm_connect(&h, tcp_string(peer.port()).c_str(), nullptr, 64, 0, nullptr), 0);
        EXPECT_EQ(comm_shut(), 0);  // twice is harmless
        // Out of descriptors, the library does not start, and says so.
        const pid_t pid = fork();
        if (pid == 0) {
            const rlimit few{32, 32};
            if (setrlimit(RLIMIT_NOFILE, &few) != 0) _exit(2);
            while (open("/dev/null", O_RDONLY) >= 0) {
            }
            _exit(comm_init() == -1 ? 0 : 1);
        }
        EXPECT_EQ(proc::status_of(pid), 0);
    }
    // A new run of the I/O thread never reuses a handle; a link may have no event procedure.
    CommRunning again;
    EXPECT_EQ(comm_init(), 0);  // already running: nothing changes
    TcpPeer peer;
    int h = 0;
    ASSERT_EQ(comm_connect(&h, tcp_string(peer.port()).c_str(), nullptr, 64, 5, nullptr), 0);
    EXPECT_EQ(h, handles[2] + 1);
    int fd = peer.accept();
    ASSERT_TRUE(fd >= 0 && write_all(fd, "ignored"));
    // Nothing tells when it is open, so the write is tried until it goes.
    for (int i = 0; i < 20000 && comm_write(h, "ok", 2, 0, 1000) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(read_bytes(fd, 2), "ok");
    EXPECT_EQ(comm_disconnect(h), 0);
    EXPECT_EQ(read_bytes(fd), "");
}

TEST(CommLink, DisconnectFromEveryThread) {
    CommRunning running;
    const struct {
        const char* what;
        int at;  // the event during which the disconnect comes
        bool from_event, peer_ends;
        kinds events;
    } cases[] = {
        // the first row's link is the process's first handle, 1
        {"at CLOSED of an ended link, console", C, false, true, {O, C}},
        {"open link, console", O, false, false, {O, C}},
        {"at CLOSED of an ended link, event procedure", C, true, true, {O, C}},
        {"at DATA, event procedure", D, true, false, {O, D, C}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PeerLink link;
        std::atomic<int> inner{99};
        Counter in_event, returned;
        link.ev.hook = [&](int h, int kind, const unsigned char*, int) {
            if (kind == c.at && c.from_event) inner = comm_disconnect(h);
            if (kind == c.at) in_event.add();
            if (kind == C && !c.from_event)
                returned.wait(1, HOLD);  // until a disconnect that does not wait returns
            return 0;
        };
        ASSERT_TRUE(link.open());
        int h = link.handle;
        if (c.peer_ends) link.end();
        ASSERT_TRUE(c.at != D || write_all(link.fd, "bye"));
        ASSERT_TRUE(in_event.wait());
        if (c.from_event) {
            ASSERT_TRUE(link.wait(C));
            EXPECT_EQ(inner.load(), 0);
        } else {
            EXPECT_EQ(comm_disconnect(h), 0);
            EXPECT_EQ(link.ev.count(h, C), 1);  // delivered before disconnect returned
            returned.add();
            EXPECT_EQ(comm_disconnect(h), -1);  // closed and gone
        }
        EXPECT_EQ(link.kinds(), c.events);
        EXPECT_EQ(comm_get_state(h), COMM_STATE_NONE);
        EXPECT_EQ(c.peer_ends ? "" : read_bytes(link.fd), "");  // the peer sees the close
        link.handle = 0;
    }
}

// A disconnect right after a write, with the peer still talking, loses nothing written: a socket
// closed with bytes unread is reset, and what it had not yet sent is dropped.
TEST(CommTcp, ADisconnectWhileThePeerTalksDeliversAllWritten) {
    CommRunning running;
    PeerLink link(false, 4096);
    ASSERT_TRUE(link.open());
    const std::string block = varied(1 << 20);
    std::string got;
    std::atomic<bool> stop{false};
    std::thread talker([&] {
        for (int i = 0; i < 2000000 && !stop && write_all(link.fd, "p"); ++i) continue;
    });
    std::thread reader([&] { got = read_bytes(link.fd); });
    EXPECT_TRUE(link.ev.wait_count(link.handle, COMM_EVENT_DATA, 1));
    EXPECT_EQ(comm_write(link.handle, block.data(), int(block.size()), 0, 20000), 0);
    EXPECT_EQ(link.disconnect(), 0);
    stop = true;
    talker.join();
    reader.join();
    EXPECT_TRUE(got == block) << got.size() << " of " << block.size() << " bytes";
}

// A closed link reads and drops what the peer still sends: a socket closed with bytes unread is
// reset, and the reset drops what it had not sent yet. Here the peer takes nothing until the
// linger's second is over (comm_shut returns then), so the close comes with bytes still to send.
TEST(CommTcp, AClosedLinkTakesThePeersLastBytesSoItsReadEndsCleanly) {
    CommRunning running;
    PeerLink link(false, 4096);
    ASSERT_TRUE(link.open());
    const std::string block = varied(8 << 10);
    ASSERT_EQ(comm_write(link.handle, block.data(), int(block.size()), 0, 20000), 0);
    EXPECT_EQ(link.disconnect(), 0);
    ASSERT_TRUE(write_all(link.fd, std::string(64 << 10, 'p')));
    comm_shut();
    std::string got;
    char buf[65536];
    ssize_t n = -1;
    while (wait_fd(link.fd, POLLIN) && (n = ::read(link.fd, buf, sizeof buf)) > 0)
        got.append(buf, size_t(n));
    EXPECT_EQ(n, 0) << "the read ended with " << strerror(errno);
    EXPECT_TRUE(got == block) << got.size() << " of " << block.size() << " bytes";
}

// A closing link waits for its peer as the I/O loop waits for any link, not on the I/O thread: a
// peer that takes nothing more holds the closed link's socket for the whole linger (a second:
// comm_shut returns then, not before and not much later) while another link's bytes flow, and a
// peer that ended its side without reading costs no processor time meanwhile.
TEST(CommTcp, AClosingLinkHoldsUpNoOtherLinkForItsSecond) {
    constexpr int BEATS = 120, BEAT_MS = 5;
    for (bool peer_ended : {false, true}) {
        SCOPED_TRACE(peer_ended ? "peer ended its side" : "peer silent");
        CommRunning running;
        PeerLink closing(false, 4096), busy;
        ASSERT_TRUE(closing.open() && busy.open());
        const std::string stalled(16 << 20, 's');  // more than both ends' buffers hold
        ASSERT_EQ(comm_write(closing.handle, stalled.data(), int(stalled.size()), 0, 100), -1);
        if (peer_ended) ::shutdown(closing.fd, SHUT_WR);
        rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        std::thread beats([&] {
            for (int i = 0; i < BEATS && write_all(busy.fd, "x"); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(BEAT_MS));
        });
        Stopwatch clock;
        closing.disconnect();  // an ended peer may have closed the link already
        beats.join();
        const int b = busy.handle;
        ASSERT_TRUE(busy.ev.wait_bytes(b, BEATS));
        EXPECT_EQ(busy.disconnect(), 0);
        comm_shut();
        const long lingered = clock.ms();
        getrusage(RUSAGE_SELF, &after);
        auto ms = [](const timeval& t) { return t.tv_sec * 1000L + t.tv_usec / 1000; };
        const long cpu =
            ms(after.ru_utime) + ms(after.ru_stime) - ms(before.ru_utime) - ms(before.ru_stime);
        std::chrono::milliseconds gap{0};
        std::vector<CommEvents::Event> data;
        for (const auto& e : busy.ev.events(b))
            if (e.kind == D) data.push_back(e);
        for (size_t i = 1; i < data.size(); ++i)
            gap = std::max(gap, std::chrono::duration_cast<std::chrono::milliseconds>(
                                    data[i].at - data[i - 1].at));
        EXPECT_GE(lingered, 900);
        EXPECT_LT(lingered, 2500);
        EXPECT_LT(cpu, 400);
        EXPECT_LT(gap.count(), 500);
    }
}

// The limit bounds each stall, not the whole write: the reader pauses after every mebibyte for
// less than the limit, and the write takes longer than the limit in all.
TEST(CommLink, AStalledWriteFailsAtItsLimitAndASlowOneGoesOn) {
    CommRunning running;
    const std::string block = varied(8 << 20, 7, 12);
    for (bool pty : {false, true}) {
        SCOPED_TRACE(pty ? "pseudo-terminal" : "tcp");
        PeerLink link(pty, 4096);
        ASSERT_TRUE(link.open());
        const std::string stalled(pty ? 1 << 20 : 16 << 20, 'b');
        const int limit = pty ? 60 : 100;
        Stopwatch clock;
        EXPECT_EQ(comm_write(link.handle, stalled.data(), int(stalled.size()), 0, limit), -1);
        EXPECT_GE(clock.ms(), limit);
        EXPECT_LT(clock.ms(), 20000);
        EXPECT_EQ(comm_get_state(link.handle), COMM_STATE_OPEN);
        EXPECT_EQ(link.ev.count(link.handle, E), 0);
        std::string got;
        size_t start = std::string::npos;  // where the block begins, after the stalled bytes
        std::thread reader([&] {
            char buf[65536];
            for (ssize_t n; (start == std::string::npos || got.size() < start + block.size()) &&
                            wait_fd(link.fd, POLLIN) &&
                            (n = ::read(link.fd, buf, sizeof buf)) > 0;) {
                got.append(buf, static_cast<size_t>(n));
                if (start == std::string::npos) start = got.find_first_not_of('b', got.size() - n);
                if (got.size() >> 20 != (got.size() - static_cast<size_t>(n)) >> 20)
                    std::this_thread::sleep_for(std::chrono::milliseconds(40));
            }
        });
        clock = Stopwatch();
        EXPECT_EQ(comm_write(link.handle, block.data(), int(block.size()), 0, 150), 0);
        reader.join();
        EXPECT_GT(clock.ms(), 150);  // longer in all than the limit
        EXPECT_EQ(start + block.size(), got.size());
        EXPECT_TRUE(got.compare(start, block.size(), block) == 0);
    }
}

// A write cut by a disconnect returns promptly; one cut by a reset, once CLOSED was delivered.
TEST(CommLink, AWriteEndsWithItsLink) {
    CommRunning running;
    for (bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "peer reset" : "disconnect");
        PeerLink link(false, 4096);
        Counter returned;
        link.ev.hook = [&](int, int kind, const unsigned char*, int) {
            if (kind == C) returned.wait(1, HOLD);  // a write that does not wait returns now
            return 0;
        };
        ASSERT_TRUE(link.open());
        const std::string block(32 << 20, 'b');
        std::atomic<int> result{99};
        std::atomic<int> closed_at_return{-1};
        Stopwatch clock;
        std::thread writer([&] {
            result =
                comm_write(link.handle, block.data(), static_cast<int>(block.size()), 0, 20000);
            closed_at_return = link.ev.count(link.handle, C);
            returned.add();
        });
        EXPECT_TRUE(wait_fd(link.fd, POLLIN));  // the write is under way
        if (reset) {
            linger hard{1, 0};
            setsockopt(link.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            link.end();
        } else {
            EXPECT_EQ(comm_disconnect(link.handle), 0);
        }
        writer.join();
        EXPECT_LT(clock.ms(), 10000);
        EXPECT_EQ(result.load(), -1);
        EXPECT_TRUE(!reset || closed_at_return == 1) << closed_at_return;
        link.handle = 0;
    }
}

TEST(CommTcp, IdleFollowsEveryQuietPeriodButNeverFlowingData) {
    constexpr int IDLE_MS = 300;
    CommRunning running;
    PeerLink link, quiet;
    ASSERT_TRUE(quiet.open(4096, 0));  // asks for no idle periods
    ASSERT_TRUE(link.open(4096, IDLE_MS));
    int h = link.handle;
    for (int i = 0; i < 40; ++i) {  // a byte every 10 ms, longer than one idle period
        ASSERT_TRUE(write_all(link.fd, "x"));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(link.ev.wait_bytes(h, 40));
    ASSERT_TRUE(link.wait(COMM_EVENT_IDLE, link.ev.count(h, COMM_EVENT_IDLE) + 2));
    // Each IDLE comes a whole period after the previous event, less 50 ms for the recorder's clock.
    auto events = link.ev.events(h);
    for (size_t i = 1; i < events.size(); ++i)
        EXPECT_TRUE(events[i].kind != COMM_EVENT_IDLE ||
                    events[i].at - events[i - 1].at >= std::chrono::milliseconds(IDLE_MS - 50))
            << "event " << i;
    EXPECT_EQ(quiet.kinds(), (kinds{O}));
}

// Idle means the link was quiet, not that event procedures kept the I/O thread from reading: a
// byte that came while its own link's procedure or another link's was busy for longer than the
// idle period is delivered before any IDLE (which would throw away a half-received frame).
TEST(CommTcp, ABusyEventProcedureNeverMakesALinkWithBytesWaitingIdle) {
    constexpr int IDLE_MS = 200;
    CommRunning running;
    for (bool own : {true, false}) {
        SCOPED_TRACE(own ? "its own procedure busy" : "another link's procedure busy");
        PeerLink slow, other;
        Counter busy;
        slow.ev.hook = [&](int, int kind, const unsigned char*, int) {
            if (kind == D && busy.value() == 0) {
                busy.add();
                std::this_thread::sleep_for(std::chrono::milliseconds(3 * IDLE_MS));
            }
            return 0;
        };
        ASSERT_TRUE(slow.open(4096, own ? IDLE_MS : 0));
        ASSERT_TRUE(own || other.open(4096, IDLE_MS));
        PeerLink& watched = own ? slow : other;
        ASSERT_TRUE(write_all(slow.fd, "a") && busy.wait());
        const auto sent = CommEvents::clock::now();
        ASSERT_TRUE(write_all(watched.fd, "b"));
        ASSERT_TRUE(watched.ev.wait(watched.handle, [](auto& e) {
            return CommEvents::data_of(e).find('b') != std::string::npos;
        }));
        for (const auto& e : watched.ev.events(watched.handle)) {
            if (e.at < sent) continue;
            EXPECT_EQ(e.kind, D) << "the first event after the byte was sent";
            break;
        }
    }
}

TEST(CommTcp, WaitConnectedFollowsTheSignalAndTheEventResult) {
    CommRunning running;
    const struct {
        const char* what;
        bool signal_in_opened;
        int opened_result, wait_ms;
        bool wait_ok;
        int state, state_after_late_signal;
    } cases[] = {
        {"signalled, 0", true, 0, NEVER_MS, true, COMM_STATE_CONNECTED, COMM_STATE_CONNECTED},
        {"signalled, -1", true, -1, NEVER_MS, true, COMM_STATE_OPEN, COMM_STATE_OPEN},
        {"failed, no signal", false, -1, NEVER_MS, false, COMM_STATE_OPEN, COMM_STATE_OPEN},
        {"no wait", false, 0, 0, false, COMM_STATE_OPEN, COMM_STATE_CONNECTED},
        {"time limit", false, 0, 40, false, COMM_STATE_OPEN, COMM_STATE_CONNECTED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PeerLink link;
        std::atomic<int> state_inside{-1}, wait_inside{99};
        link.ev.hook = [&](int h, int kind, const unsigned char*, int) {
            if (kind != COMM_EVENT_OPENED) return 0;
            if (c.signal_in_opened) comm_signal_connected(h);
            state_inside = comm_get_state(h);                // the call has not returned yet
            wait_inside = comm_wait_connected(h, NEVER_MS);  // the I/O thread answers at once
            return c.opened_result;
        };
        ASSERT_TRUE(link.connect(tcp_string(link.peer.port())));
        int h = link.handle;
        Stopwatch clock;  // a limit ends the wait: not before it, not seconds after it
        EXPECT_EQ(comm_wait_connected(h, c.wait_ms) == 0, c.wait_ok);
        EXPECT_TRUE(c.wait_ok || c.wait_ms == NEVER_MS || clock.ms() >= c.wait_ms);
        EXPECT_LT(clock.ms(), 2000 + c.wait_ms % NEVER_MS);
        ASSERT_TRUE(link.wait(O));
        EXPECT_EQ(state_inside.load(), COMM_STATE_OPEN);
        EXPECT_EQ(wait_inside.load(), -1);
        EXPECT_EQ(comm_get_state(h), c.state);
        // A signal from the console thread acts at once, but a failed link stays failed.
        EXPECT_EQ(comm_signal_connected(h), 0);
        EXPECT_EQ(comm_get_state(h), c.state_after_late_signal);
        EXPECT_EQ(comm_wait_connected(h, 0), 0);
        EXPECT_EQ(comm_disconnect(h), 0);
        EXPECT_NE(comm_wait_connected(h, NEVER_MS), 0);  // closed
    }
}

// A waiter is released by its link's close, but a reply that came just before the peer closed (an
// instrument answers a flash or a restart and goes away) is still there for a waiter after CLOSED.
TEST(CommCapture, TheLibrarysCallsByHandle) {
    CommRunning running;
    int l1 = -1, l2 = -1, l3 = -1;
    unsigned char buf[16];
    PeerLink first, link, flashed;
    unsigned char a[4], b[4], c[4];
    ASSERT_TRUE(first.open());  // the process's first link, handle 1: closed unhooked, it is gone
    EXPECT_EQ(comm_disconnect(first.handle), 0);
    EXPECT_EQ(comm_unhook_response(first.handle), -1);
    first.handle = 0;
    ASSERT_TRUE(link.open());
    const int h = link.handle;
    ASSERT_EQ(comm_hook_response(h, 11, a, 4, 12, b, 4, 13, c, 4), 0);
    EXPECT_EQ(comm_fill_rsp_buff(h, 12, "bb", 2), 0);
    EXPECT_EQ(comm_fill_rsp_buff(h, 13, "ccc", 3), 0);
    EXPECT_EQ(comm_wait_response(h, &l1, &l2, &l3, NEVER_MS), 0);
    EXPECT_EQ(std::vector<int>({l1, l2, l3}), std::vector<int>({0, 2, 3}));
    EXPECT_EQ(comm_unhook_response(h), 0);
    EXPECT_EQ(comm_wait_response(h, nullptr, nullptr, nullptr, NEVER_MS), -1);  // may be null
    ASSERT_EQ(comm_hook_response(h, 11, a, 4, 0, nullptr, 0, 0, nullptr, 0), 0);
    for (int ms : {0, 40}) {
        Stopwatch clock;
        EXPECT_EQ(comm_wait_response(h, &l1, &l2, &l3, ms), -1);
        EXPECT_GE(clock.ms(), ms);
        EXPECT_LT(clock.ms(), ms + 2000);
    }
    std::thread closer([&] { comm_disconnect(h); });
    link.handle = 0;
    Stopwatch clock;
    EXPECT_EQ(comm_wait_response(h, &l1, &l2, &l3, 20000), -1);
    EXPECT_LT(clock.ms(), 10000);
    closer.join();
    EXPECT_EQ(comm_unhook_response(h), 0);  // the closed link's capture, now forgotten
    EXPECT_EQ(comm_unhook_response(h), -1);

    flashed.ev.hook = [](int handle, int kind, const unsigned char* bytes, int count) {
        if (kind == COMM_EVENT_DATA) comm_fill_rsp_buff(handle, 9103, bytes, count);
        return 0;
    };
    ASSERT_TRUE(flashed.open());
    const int f = flashed.handle;
    ASSERT_EQ(comm_hook_response(f, 9103, buf, 16, 12290, nullptr, 0, 0, nullptr, 0), 0);
    ASSERT_TRUE(write_all(flashed.fd, "flashed"));
    flashed.end();
    ASSERT_TRUE(flashed.wait(C));
    EXPECT_EQ(comm_wait_response(f, &l1, &l2, &l3, NEVER_MS), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), l1), "flashed");
    EXPECT_EQ(comm_unhook_response(f), 0);
    EXPECT_NE(comm_wait_response(f, &l1, &l2, &l3, 10), 0);
    EXPECT_NE(comm_hook_response(f, 9103, buf, 16, 0, nullptr, 0, 0, nullptr, 0), 0);
    flashed.handle = 0;
}

// The event procedure answers every DATA while the console writes 48 KB blocks. The terminal's
// small buffers make a block take many writer rounds, where a write that is not exclusive is cut.
TEST(CommWrite, ConsoleAndEventWritesNeverInterleave) {
    constexpr int BLOCKS = 6;
    constexpr size_t BLOCK = 48 * 1024, MESSAGE = 8;  // a message: "B000123\n"
    CommRunning running;
    for (bool pty : {false, true}) {
        SCOPED_TRACE(pty ? "pseudo-terminal" : "tcp");
        PeerLink link(pty);
        std::atomic<unsigned> event_writes{0}, event_failures{0};
        link.ev.hook = [&](int h, int kind, const unsigned char*, int) {
            char msg[MESSAGE + 1];
            snprintf(msg, sizeof msg, "B%06u\n", event_writes.load() % 1000000u);
            if (kind == COMM_EVENT_DATA)
                ++(comm_write(h, msg, MESSAGE, 0, 20000) == 0 ? event_writes : event_failures);
            return 0;
        };
        ASSERT_TRUE(link.open());
        const int h = link.handle, fd = link.fd;
        std::string received;
        std::thread reader([&] { received = read_bytes(fd); });
        std::atomic<bool> stop_pings{false};
        std::thread pinger([&] {
            for (int i = 0; i < 20000 && !stop_pings && write_all(fd, "p"); ++i)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        });
        std::vector<std::string> blocks;
        bool pings_flow = true;
        for (int i = 0; i < BLOCKS && pings_flow; ++i) {
            pings_flow = link.ev.wait_count(h, COMM_EVENT_DATA, 3 * (i + 1));
            std::string b(BLOCK, 'A');
            for (size_t j = 1; j < BLOCK; ++j)
                b[j] = static_cast<char>((j * 31 + size_t(i)) & 0xFF);
            blocks.push_back(b);
            EXPECT_EQ(comm_write(h, b.data(), int(BLOCK), 0, 20000), 0) << i;
        }
        stop_pings = true;
        pinger.join();
        EXPECT_EQ(link.disconnect(), 0);  // no event write can follow CLOSED
        reader.join();
        ASSERT_TRUE(pings_flow);
        EXPECT_EQ(event_failures.load(), 0u);
        EXPECT_GT(event_writes.load(), 0u);
        size_t blocks_seen = 0, messages_seen = 0;
        for (size_t pos = 0; pos < received.size();) {
            const bool block = received[pos] == 'A';
            ASSERT_TRUE(block ? blocks_seen < blocks.size() &&
                                    received.compare(pos, BLOCK, blocks[blocks_seen]) == 0
                              : received.compare(pos, 1, "B") == 0 &&
                                    pos + MESSAGE <= received.size() &&
                                    received[pos + MESSAGE - 1] == '\n')
                << (block ? "block cut or out of order" : "stray byte or message cut") << " at "
                << pos;
            pos += block ? BLOCK : MESSAGE;
            ++(block ? blocks_seen : messages_seen);
        }
        EXPECT_EQ(blocks_seen, blocks.size());
        EXPECT_EQ(messages_seen, event_writes.load());
    }
}

}  // namespace
