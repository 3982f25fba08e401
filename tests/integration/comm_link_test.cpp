// The link core over TCP on 127.0.0.1: the events of a link and their order (a peer that ends
// the stream, a refusal, a connect that times out), handles and the walk over open links, the
// state and the connected signal, disconnecting from every thread, writes that fail, stall or
// progress slowly, read chunks, idle periods, a reply captured just before the close, and the
// shut-down.
#include <gtest/gtest.h>
#include <dirent.h>
#include <netinet/tcp.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "comm_links.h"

namespace {

// A listener whose accepted connection reads nothing unless told to: the link's writes fill
// the connection's small buffers and then stall.
struct SlowPeer {
    int listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port = 0;
    int fd = -1;
    SlowPeer() {
        int small = 4096;
        setsockopt(listen_fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        port = bind_port(listen_fd);
        ::listen(listen_fd, 4);
    }
    ~SlowPeer() {
        if (fd >= 0) ::close(fd);
        ::close(listen_fd);
    }
    bool accept() {
        fd = wait_fd(listen_fd, POLLIN) ? ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        return fd >= 0;
    }
};

TEST(CommLink, APeerThatEndsTheStreamClosesTheLinkWithoutError) {
    CommRunning running;
    TcpLink link;
    ASSERT_TRUE(link.open());
    int h = link.handle;
    EXPECT_EQ(comm_get_state(h), COMM_STATE_OPEN);
    ASSERT_TRUE(write_all(link.fd, "abc"));
    ASSERT_TRUE(link.ev.wait_bytes(h, 3));
    link.peer.close_client();
    ASSERT_TRUE(link.wait(C));
    EXPECT_EQ(link.kinds(), (kinds{O, D, C}));
    EXPECT_EQ(link.data(), "abc");
    EXPECT_EQ(comm_get_state(h), COMM_STATE_NONE);
    EXPECT_NE(comm_write(h, "x", 1, 0, 1000), 0);
    EXPECT_NE(comm_wait_connected(h, NEVER_MS), 0);
    link.handle = 0;
}

// The library's own socket of a TCP link sends every frame at once: found by its address among
// this process's descriptors.
TEST(CommLink, TcpLinksSendWithoutDelay) {
    CommRunning running;
    TcpLink link;
    ASSERT_TRUE(link.open());
    sockaddr_in theirs{};
    socklen_t len = sizeof theirs;
    ASSERT_EQ(getpeername(link.fd, reinterpret_cast<sockaddr*>(&theirs), &len), 0);
    int found = -1;
    DIR* d = opendir("/proc/self/fd");
    ASSERT_NE(d, nullptr);
    while (dirent* e = readdir(d)) {
        int fd = std::atoi(e->d_name);
        sockaddr_in a{};
        len = sizeof a;
        if (fd != link.fd && getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 &&
            a.sin_family == AF_INET && a.sin_port == theirs.sin_port)
            found = fd;
    }
    closedir(d);
    ASSERT_GE(found, 0);
    int on = 0;
    len = sizeof on;
    ASSERT_EQ(getsockopt(found, IPPROTO_TCP, TCP_NODELAY, &on, &len), 0);
    EXPECT_NE(on, 0);
}

TEST(CommLink, FailedConnectsGiveErrorThenClosedAndNoIdle) {
    CommRunning running;
    TcpPeer refusing(false);
    SilentPeer silent;
    TcpPeer listening;
    const struct {
        const char* what;
        std::string conn;
        long at_least_ms, below_ms;
        kinds events;
    } cases[] = {
        {"refused", tcp_string(refusing.port(), 20000), 0, 10000, {E, C}},
        {"no answer in time", tcp_string(silent.port(), 150), 140, 10000, {E, C}},
        // "localhost" may name ::1 first, where nothing listens: the next address connects.
        {"second address", tcp_string(listening.port(), 20000, "localhost"), 0, 10000, {O, C}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
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
        EXPECT_LT(clock.ms(), c.below_ms);
        std::vector<int> k = link.kinds();
        if (c.events[0] == O) k.erase(std::remove(k.begin(), k.end(), COMM_EVENT_IDLE), k.end());
        EXPECT_EQ(k, c.events);
        link.handle = 0;
    }
}

int no_events(int, int, const unsigned char*, int, void*) {
    return 0;
}

TEST(CommLink, HandlesCountOnAndTheWalkYieldsOpenLinksInOrder) {
    int contexts[3] = {10, 11, 12};
    std::vector<int> handles;
    {
        CommRunning running;
        TcpPeer peer;
        for (int& context : contexts) {
            int h = 0;
            ASSERT_EQ(comm_connect(&h, tcp_string(peer.port()).c_str(), no_events, 64, 0, &context),
                      0);
            handles.push_back(h);
        }
        EXPECT_GT(handles[0], 0);
        EXPECT_EQ(handles[1], handles[0] + 1);
        EXPECT_EQ(handles[2], handles[0] + 2);
        auto walk = [] {
            std::vector<std::pair<int, int>> seen;
            comm_data_cntr iter{-5};
            EXPECT_EQ(comm_data_cntr_init(&iter), 0);
            int h = 0;
            void* context = nullptr;
            while (comm_get_data(&iter, &h, &context) == 1 && seen.size() < 10)
                seen.push_back({h, *static_cast<int*>(context)});
            return seen;
        };
        EXPECT_EQ(walk(), (std::vector<std::pair<int, int>>{
                              {handles[0], 10}, {handles[1], 11}, {handles[2], 12}}));
        ASSERT_EQ(comm_disconnect(handles[1]), 0);
        EXPECT_EQ(walk(), (std::vector<std::pair<int, int>>{{handles[0], 10}, {handles[2], 12}}));
        comm_data_cntr iter;
        comm_data_cntr_init(&iter);
        EXPECT_EQ(comm_get_data(&iter, nullptr, nullptr), 1);  // out-pointers may be null
        EXPECT_EQ(comm_data_cntr_init(nullptr), -1);
        EXPECT_EQ(comm_get_data(nullptr, nullptr, nullptr), 0);
        // The shut-down closes every link still open, each with its CLOSED.
        EXPECT_EQ(comm_shut(), 0);
        comm_data_cntr_init(&iter);
        EXPECT_EQ(comm_get_data(&iter, nullptr, nullptr), 0);
        int h = 0;
        EXPECT_NE(comm_connect(&h, tcp_string(peer.port()).c_str(), no_events, 64, 0, nullptr), 0);
        EXPECT_EQ(comm_shut(), 0);  // twice is harmless
    }
    // A new run of the I/O thread never gives a handle again.
    CommRunning again;
    EXPECT_EQ(comm_init(), 0);  // already running: nothing changes
    TcpPeer peer;
    Link link;
    ASSERT_TRUE(link.connect(tcp_string(peer.port())));
    EXPECT_EQ(link.handle, handles[2] + 1);
}

TEST(CommLink, ShutClosesEveryLinkWithItsClosedEvent) {
    TcpPeer peer;
    CommEvents ev;
    std::vector<int> handles;
    {
        CommRunning running;
        for (int i = 0; i < 3; ++i) {
            int h = 0;
            ASSERT_EQ(
                comm_connect(&h, tcp_string(peer.port()).c_str(), CommEvents::proc, 64, 0, &ev), 0);
            ASSERT_TRUE(ev.wait_count(h, O));
            handles.push_back(h);
        }
        std::atomic<int> inside{99};
        ev.hook = [&](int, int kind, const unsigned char*, int) {
            if (kind == C) inside = comm_shut();  // the I/O thread cannot join itself
            return 0;
        };
    }
    for (int h : handles) EXPECT_EQ(ev.kinds(h), (kinds{O, C})) << h;
}

TEST(CommLink, StateFollowsTheLinkAndDisconnectReturnsAfterClosed) {
    CommRunning running;
    for (int h : {0, -1, 1 << 30}) {
        EXPECT_EQ(comm_get_state(h), COMM_STATE_NONE);
        EXPECT_EQ(comm_disconnect(h), -1);
        EXPECT_EQ(comm_wait_connected(h, 0), -1);
        EXPECT_EQ(comm_signal_connected(h), -1);
    }
    TcpLink link;
    Counter returned;
    link.ev.hook = [&](int, int kind, const unsigned char*, int) {
        if (kind == C) returned.wait(1, HOLD);  // a disconnect that does not wait returns now
        return 0;
    };
    ASSERT_TRUE(link.open());
    int h = link.handle;
    EXPECT_EQ(comm_get_state(h), COMM_STATE_OPEN);
    EXPECT_EQ(comm_signal_connected(h), 0);
    EXPECT_EQ(comm_get_state(h), COMM_STATE_CONNECTED);
    EXPECT_EQ(comm_disconnect(h), 0);
    EXPECT_EQ(link.ev.count(h, C), 1);  // delivered before disconnect returned
    returned.add();
    EXPECT_EQ(comm_get_state(h), COMM_STATE_NONE);
    EXPECT_EQ(comm_disconnect(h), -1);
    EXPECT_EQ(read_bytes(link.fd), "");  // the peer sees the close
    link.handle = 0;
}

// While the CLOSED of a link the peer ended is being delivered, a disconnect (from the event
// procedure or from the console thread) is not an error: it returns once CLOSED was handled.
TEST(CommLink, DisconnectDuringTheClosedOfAnEndedLink) {
    CommRunning running;
    for (bool from_event : {true, false}) {
        SCOPED_TRACE(from_event ? "from the event procedure" : "from the console thread");
        TcpLink link;
        std::atomic<int> inner{99};
        Counter in_closed, returned;
        link.ev.hook = [&](int h, int kind, const unsigned char*, int) {
            if (kind != C) return 0;
            if (from_event) inner = comm_disconnect(h);
            in_closed.add();
            if (!from_event)
                returned.wait(1, HOLD);  // until a disconnect that does not wait returns
            return 0;
        };
        ASSERT_TRUE(link.open());
        link.peer.close_client();
        if (from_event) {
            ASSERT_TRUE(link.wait(C));
            EXPECT_EQ(inner.load(), 0);
        } else {
            ASSERT_TRUE(in_closed.wait());
            EXPECT_EQ(comm_disconnect(link.handle), 0);
            EXPECT_EQ(link.ev.count(link.handle, C), 1);
            returned.add();
            EXPECT_EQ(comm_disconnect(link.handle), -1);  // closed and gone
        }
        link.handle = 0;
    }
}

// A link may have no event procedure at all.
TEST(CommLink, ALinkWithoutAnEventProcedure) {
    CommRunning running;
    TcpPeer peer;
    int h = 0;
    ASSERT_EQ(comm_connect(&h, tcp_string(peer.port()).c_str(), nullptr, 64, 5, nullptr), 0);
    int fd = peer.accept();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(write_all(fd, "ignored"));
    for (int i = 0; i < 20000 && comm_write(h, "ok", 2, 0, 1000) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // until it is open
    EXPECT_EQ(read_bytes(fd, 2), "ok");
    EXPECT_EQ(comm_disconnect(h), 0);
    EXPECT_EQ(read_bytes(fd), "");
}

TEST(CommLink, BadWritesAreRefused) {
    CommRunning running;
    TcpLink link;
    ASSERT_TRUE(link.open());
    int h = link.handle;
    EXPECT_EQ(comm_write(h + 1000, "x", 1, 0, 1000), -1);
    EXPECT_EQ(comm_write(0, "x", 1, 0, 1000), -1);
    EXPECT_EQ(comm_write(h, "x", -1, 0, 1000), -1);
    EXPECT_EQ(comm_write(h, nullptr, 1, 0, 1000), -1);
    EXPECT_EQ(comm_write(h, nullptr, 0, 0, 1000), 0);
    EXPECT_EQ(comm_write(h, "ok", 2, 0, 1000), 0);
    EXPECT_EQ(read_bytes(link.fd, 2), "ok");
}

TEST(CommLink, AStalledWriteFailsAfterItsLimitAndTheLinkStaysOpen) {
    CommRunning running;
    SlowPeer peer;
    Link link;
    ASSERT_TRUE(link.connect(tcp_string(peer.port)));
    ASSERT_TRUE(peer.accept());
    ASSERT_TRUE(link.wait(O));
    const std::string block(16 << 20, 'b');
    Stopwatch clock;
    EXPECT_EQ(comm_write(link.handle, block.data(), static_cast<int>(block.size()), 0, 100), -1);
    EXPECT_GE(clock.ms(), 100);
    EXPECT_LT(clock.ms(), 20000);
    EXPECT_EQ(comm_get_state(link.handle), COMM_STATE_OPEN);
    EXPECT_EQ(link.ev.count(link.handle, E), 0);
    // Once the peer reads again, writing goes on.
    std::string got;
    std::thread reader([&] { got = read_bytes(peer.fd); });
    EXPECT_EQ(comm_write(link.handle, "END", 3, 0, 20000), 0);
    EXPECT_EQ(comm_disconnect(link.handle), 0);
    reader.join();
    ASSERT_GE(got.size(), 3u);
    EXPECT_EQ(got.substr(got.size() - 3), "END");
    EXPECT_EQ(got.find_first_not_of('b'), got.size() - 3);
    link.handle = 0;
}

TEST(CommLink, AWriteThatProgressesSlowlyIsNotCutOff) {
    CommRunning running;
    SlowPeer peer;
    Link link;
    ASSERT_TRUE(link.connect(tcp_string(peer.port)));
    ASSERT_TRUE(peer.accept());
    ASSERT_TRUE(link.wait(O));
    std::string block(8 << 20, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7 + (i >> 12));
    std::string got;
    std::thread reader([&] {  // a megabyte at a time, with a pause shorter than the limit
        char buf[65536];
        while (got.size() < block.size() && wait_fd(peer.fd, POLLIN)) {
            ssize_t n = ::read(peer.fd, buf, sizeof buf);
            if (n <= 0) break;
            size_t before = got.size();
            got.append(buf, static_cast<size_t>(n));
            if (got.size() >> 20 != before >> 20)
                std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
    });
    Stopwatch clock;
    EXPECT_EQ(comm_write(link.handle, block.data(), static_cast<int>(block.size()), 0, 150), 0);
    reader.join();
    EXPECT_GT(clock.ms(), 150);  // longer in all than the limit
    EXPECT_TRUE(got == block);
}

// A write cut short by the link's close returns promptly; one cut by the peer's reset returns
// only after the link's CLOSED was delivered.
TEST(CommLink, AWriteEndsWithItsLink) {
    CommRunning running;
    for (bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "peer reset" : "disconnect");
        SlowPeer peer;
        Link link;
        Counter returned;
        link.ev.hook = [&](int, int kind, const unsigned char*, int) {
            if (kind == C) returned.wait(1, HOLD);  // a write that does not wait returns now
            return 0;
        };
        ASSERT_TRUE(link.connect(tcp_string(peer.port)));
        ASSERT_TRUE(peer.accept());
        ASSERT_TRUE(link.wait(O));
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
        EXPECT_TRUE(wait_fd(peer.fd, POLLIN));  // the write is under way
        if (reset) {
            linger hard{1, 0};
            setsockopt(peer.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            ::close(peer.fd);
            peer.fd = -1;
        } else {
            EXPECT_EQ(comm_disconnect(link.handle), 0);
        }
        writer.join();
        EXPECT_LT(clock.ms(), 10000);
        EXPECT_EQ(result.load(), -1);
        if (reset) {
            EXPECT_EQ(closed_at_return.load(), 1);
        }
        link.handle = 0;
    }
}

TEST(CommLink, DataComesInChunksOfAtMostTheReadSize) {
    CommRunning running;
    const struct {
        int rx_size;
        size_t sent, largest;  // the largest chunk must be exactly this
    } cases[] = {
        {1, 100, 1},            // the smallest
        {16, 1000, 16},         // as asked
        {0, 1 << 20, 4096},     // the default read size
        {-1, 1 << 20, 4096},    // the default too
        {2 << 20, 4 << 20, 0},  // capped at 1 MiB: checked as at most
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rx_size);
        TcpLink link;
        ASSERT_TRUE(link.open(c.rx_size));
        std::string sent(c.sent, '\0');
        for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i % 251);
        ASSERT_TRUE(write_all(link.fd, sent));
        ASSERT_TRUE(link.ev.wait_bytes(link.handle, sent.size()));
        EXPECT_TRUE(link.data() == sent);
        size_t largest = 0;
        for (const auto& e : link.ev.events(link.handle))
            largest = std::max(largest, e.bytes.size());
        if (c.largest)
            EXPECT_EQ(largest, c.largest);
        else
            EXPECT_LE(largest, size_t{1} << 20);
    }
}

TEST(CommTcp, IdleFollowsEveryQuietPeriodButNeverFlowingData) {
    constexpr int IDLE_MS = 300;
    CommRunning running;
    TcpLink link, quiet;
    ASSERT_TRUE(quiet.open(4096, 0));  // asks for no idle periods
    ASSERT_TRUE(link.open(4096, IDLE_MS));
    int h = link.handle;
    for (int i = 0; i < 40; ++i) {  // a byte every 10 ms, longer than one idle period
        ASSERT_TRUE(write_all(link.fd, "x"));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(link.ev.wait_bytes(h, 40));
    const size_t after_data = link.ev.events(h).size();
    ASSERT_TRUE(link.ev.wait(h, [&](const std::vector<CommEvents::Event>& e) {
        std::vector<CommEvents::Event> later(e.begin() + static_cast<long>(after_data), e.end());
        return CommEvents::count_of(later, COMM_EVENT_IDLE) >= 2;
    }));
    // Every IDLE comes a whole idle period after the link's previous event (with a little
    // slack for the recorder's own clock reading).
    auto events = link.ev.events(h);
    for (size_t i = 1; i < events.size(); ++i)
        EXPECT_TRUE(events[i].kind != COMM_EVENT_IDLE ||
                    events[i].at - events[i - 1].at >= std::chrono::milliseconds(IDLE_MS - 50))
            << "event " << i;
    EXPECT_EQ(quiet.kinds(), (kinds{O}));
}

// A reply that arrives just before the peer closes (an instrument that answers a flash or a
// restart and goes away) is still there for the waiter that comes to collect it after CLOSED.
TEST(CommTcp, ReplyCapturedJustBeforeTheCloseReachesItsWaiter) {
    CommRunning running;
    TcpLink link;
    link.ev.hook = [](int handle, int kind, const unsigned char* bytes, int count) {
        if (kind == COMM_EVENT_DATA) comm_fill_rsp_buff(handle, 9103, bytes, count);
        return 0;
    };
    ASSERT_TRUE(link.open());
    int h = link.handle;
    unsigned char reply[16] = {};
    ASSERT_EQ(comm_hook_response(h, 9103, reply, 16, 12290, nullptr, 0, 0, nullptr, 0), 0);
    ASSERT_TRUE(write_all(link.fd, "flashed"));
    link.peer.close_client();
    ASSERT_TRUE(link.wait(C));
    int l1 = -1, l2 = -1, l3 = -1;
    EXPECT_EQ(comm_wait_response(h, &l1, &l2, &l3, NEVER_MS), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), l1), "flashed");
    EXPECT_EQ(comm_unhook_response(h), 0);
    // Once unhooked, the closed link is forgotten.
    EXPECT_NE(comm_wait_response(h, &l1, &l2, &l3, 10), 0);
    EXPECT_NE(comm_hook_response(h, 9103, reply, 16, 0, nullptr, 0, 0, nullptr, 0), 0);
    link.handle = 0;
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
        {"time limit", false, 0, 50, false, COMM_STATE_OPEN, COMM_STATE_CONNECTED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TcpLink link;
        std::atomic<int> state_inside{-1};
        link.ev.hook = [&](int h, int kind, const unsigned char*, int) {
            if (kind != COMM_EVENT_OPENED) return 0;
            if (c.signal_in_opened) comm_signal_connected(h);
            state_inside = comm_get_state(h);  // the call has not returned yet
            return c.opened_result;
        };
        ASSERT_TRUE(link.connect(tcp_string(link.peer.port())));
        int h = link.handle;
        EXPECT_EQ(comm_wait_connected(h, c.wait_ms) == 0, c.wait_ok);
        ASSERT_TRUE(link.wait(O));
        EXPECT_EQ(state_inside.load(), COMM_STATE_OPEN);
        EXPECT_EQ(comm_get_state(h), c.state);
        // A signal from the console thread acts at once, but a failed link stays failed.
        EXPECT_EQ(comm_signal_connected(h), 0);
        EXPECT_EQ(comm_get_state(h), c.state_after_late_signal);
        EXPECT_EQ(comm_wait_connected(h, 0), 0);
        EXPECT_EQ(comm_disconnect(h), 0);
        EXPECT_NE(comm_wait_connected(h, NEVER_MS), 0);  // closed
    }
}

TEST(CommTcp, DisconnectFromInsideTheEventProcedureDoesNotDeadlock) {
    CommRunning running;
    TcpLink link;
    std::atomic<int> result{99};
    link.ev.hook = [&](int h, int kind, const unsigned char*, int) {
        if (kind == COMM_EVENT_DATA) result = comm_disconnect(h);
        return 0;
    };
    ASSERT_TRUE(link.open());
    ASSERT_TRUE(write_all(link.fd, "bye"));
    ASSERT_TRUE(link.wait(C));
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(link.kinds(), (kinds{O, D, C}));
}

// Every wait of the library ends at its limit: not before it, and not seconds after it (a limit
// read in seconds instead of milliseconds).
TEST(CommLink, EveryWaitEndsAtItsLimit) {
    CommRunning running;
    TcpLink link;  // open, never signalled, never answering
    ASSERT_TRUE(link.open());
    unsigned char reply[64];
    int l1, l2, l3;
    const struct {
        const char* what;
        std::function<int(int ms)> wait;
    } cases[] = {
        {"connected", [&](int ms) { return comm_wait_connected(link.handle, ms); }},
        {"response",
         [&](int ms) {
             comm_hook_response(link.handle, 9007, reply, 64, 0, nullptr, 0, 0, nullptr, 0);
             int r = comm_wait_response(link.handle, &l1, &l2, &l3, ms);
             comm_unhook_response(link.handle);
             return r;
         }},
    };
    for (const auto& c : cases) {
        for (int ms : {0, 40}) {
            SCOPED_TRACE(std::string(c.what) + " " + std::to_string(ms));
            Stopwatch clock;
            EXPECT_NE(c.wait(ms), 0);
            EXPECT_GE(clock.ms(), ms);
            EXPECT_LT(clock.ms(), ms + 2000);
        }
    }
}

// The connected signal from inside an event call waits for its result; from the console thread
// it acts at once. A link whose event procedure failed once is never connected.
TEST(CommLink, AFailedEventCallKeepsTheLinkFromBeingConnected) {
    CommRunning running;
    TcpLink link;
    std::atomic<int> wait_inside{99};
    link.ev.hook = [&](int h, int kind, const unsigned char*, int) {
        if (kind != D) return 0;
        wait_inside = comm_wait_connected(h, NEVER_MS);  // answers at once on the I/O thread
        return -1;
    };
    ASSERT_TRUE(link.open());
    ASSERT_TRUE(write_all(link.fd, "x"));
    ASSERT_TRUE(link.wait(D));
    ASSERT_TRUE(write_all(link.fd, "y"));  // once this is seen, the first call's result counts
    ASSERT_TRUE(link.wait(D, 2));
    EXPECT_EQ(wait_inside.load(), -1);
    EXPECT_EQ(comm_signal_connected(link.handle), 0);
    EXPECT_EQ(comm_get_state(link.handle), COMM_STATE_OPEN);
}

}  // namespace
