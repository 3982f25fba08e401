// Network discovery: requests sent from the discovery socket, answers delivered to the callback,
// and deregistration that never returns while the callback runs. Traffic goes to a responder on
// 127.0.0.1; the broadcast to 255.255.255.255 runs only inside a network namespace that the test
// makes for itself.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm_events.h"
#include "comm_peers.h"

namespace {

// What the callback saw. The callback has no context argument, hence one shared record.
struct Seen {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> datagrams;
    std::atomic<int> calls{0};
    std::atomic<int> active{0};         // callbacks running now
    std::atomic<bool> closed{false};    // set once deregistration has returned
    std::atomic<int> after_close{0};    // callbacks that began after that
    std::atomic<int> slow_ms{0};        // time each callback takes
    std::atomic<int> deregister_at{0};  // deregister from inside the n-th callback
    std::atomic<int> inner_result{99};

    void reset() {
        std::lock_guard<std::mutex> guard(lock);
        datagrams.clear();
        calls = 0;
        active = 0;
        closed = false;
        after_close = 0;
        slow_ms = 0;
        deregister_at = 0;
        inner_result = 99;
    }
    bool wait_for(const std::function<bool()>& pred) {
        std::unique_lock<std::mutex> held(lock);
        return changed.wait_for(held, CommEvents::LIMIT, pred);
    }
    bool has(const std::string& d) {
        return wait_for([&] {
            for (const std::string& x : datagrams)
                if (x == d) return true;
            return false;
        });
    }
} seen;

int on_datagram(const unsigned char* bytes, int count) {
    ++seen.active;
    if (seen.closed) ++seen.after_close;
    int n = ++seen.calls;
    if (seen.slow_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(seen.slow_ms));
    if (n == seen.deregister_at) {
        seen.inner_result = comm_net_broadcast_deregister();
        seen.closed = true;  // this call is the last one
    }
    --seen.active;
    std::lock_guard<std::mutex> guard(seen.lock);
    seen.datagrams.emplace_back(reinterpret_cast<const char*>(bytes), static_cast<size_t>(count));
    seen.changed.notify_all();
    return 0;
}

class CommDiscovery : public ::testing::Test {
  protected:
    void SetUp() override {
        seen.reset();
        ASSERT_TRUE(running_.ok());
    }
    void TearDown() override { comm_net_broadcast_deregister(); }
    CommRunning running_;
};

bool send_text(const std::string& text, const char* address, int port) {
    return comm_net_broadcast_send(text.data(), static_cast<int>(text.size()), address, port) == 0;
}

TEST_F(CommDiscovery, AnswersReachTheCallbackUntilDeregistered) {
    UdpResponder responder;
    ASSERT_NE(responder.port(), 0);
    responder.start();
    EXPECT_FALSE(send_text("early", "127.0.0.1", responder.port()));  // nothing registered

    for (const char* round : {"first", "second"}) {
        ASSERT_EQ(comm_net_broadcast_register(on_datagram, nullptr), 0) << round;
        ASSERT_TRUE(send_text(std::string(round) + " hello", "127.0.0.1", responder.port()));
        ASSERT_TRUE(seen.has(std::string("re:") + round + " hello")) << round;
        ASSERT_TRUE(send_text(std::string(round) + " again", "127.0.0.1", responder.port()));
        ASSERT_TRUE(seen.has(std::string("re:") + round + " again")) << round;
        // Requests the socket cannot send.
        EXPECT_FALSE(send_text("x", "not-an-address", responder.port()));
        EXPECT_FALSE(send_text("x", "127.0.0.1", 0));
        EXPECT_NE(comm_net_broadcast_send(nullptr, 5, "127.0.0.1", responder.port()), 0);
        ASSERT_EQ(comm_net_broadcast_deregister(), 0) << round;
        EXPECT_FALSE(send_text("late", "127.0.0.1", responder.port())) << round;
        EXPECT_NE(comm_net_broadcast_deregister(), 0) << round;
    }
    responder.stop();
    EXPECT_EQ(responder.requests(), 4);
}

// The responder floods the socket with datagrams while the socket is closed: after
// deregistration returns no callback runs, and none began after it.
TEST_F(CommDiscovery, DeregisterNeverReturnsWhileTheCallbackRuns) {
    struct Case {
        const char* what;
        bool from_callback;
    };
    for (const Case& c : {Case{"console thread", false}, Case{"inside the callback", true}}) {
        seen.reset();
        seen.slow_ms = 1;
        if (c.from_callback) seen.deregister_at = 40;
        UdpResponder responder;
        responder.start(true);
        ASSERT_EQ(comm_net_broadcast_register(on_datagram, nullptr), 0);
        ASSERT_TRUE(send_text("go", "127.0.0.1", responder.port()));
        if (c.from_callback) {
            ASSERT_TRUE(seen.wait_for([] { return seen.closed.load(); })) << c.what;
            EXPECT_EQ(seen.inner_result.load(), 0) << c.what;
        } else {
            ASSERT_TRUE(seen.wait_for([] { return seen.calls >= 40; }));
            ASSERT_EQ(comm_net_broadcast_deregister(), 0);
            EXPECT_EQ(seen.active.load(), 0) << "deregistration returned during a callback";
            seen.closed = true;
        }
        // Keep the datagrams coming for a while after the close.
        int flooded = responder.flooded();
        auto until = std::chrono::steady_clock::now() + CommEvents::LIMIT;
        while (responder.flooded() < flooded + 2000 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        responder.stop();
        EXPECT_GE(responder.flooded(), flooded + 2000) << c.what;
        EXPECT_EQ(seen.after_close.load(), 0) << c.what;
        EXPECT_NE(comm_net_broadcast_deregister(), 0) << c.what;  // already closed
    }
}

// ---- broadcast inside a network namespace of the test's own ----------------------------------

constexpr const char* CHILD_ENV = "NV_COMM_BROADCAST_NETNS";
constexpr int CHILD_SKIP = 77;

std::string self_path() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

int run(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Interfaces of the current network namespace other than loopback.
int foreign_interfaces() {
    int n = 0;
    if (struct if_nameindex* all = if_nameindex()) {
        for (struct if_nameindex* i = all; i->if_index != 0; ++i)
            n += std::string(i->if_name) != "lo";
        if_freenameindex(all);
    }
    return n;
}

TEST_F(CommDiscovery, BroadcastInOwnNamespace) {
    if (std::getenv(CHILD_ENV) == nullptr) {
        // The parent: run this very test again in a fresh network namespace.
        const char* flags = nullptr;
        for (const char* f : {"-n", "-rn"}) {
            if (run(std::string("unshare ") + f + " true >/dev/null 2>&1") == 0) {
                flags = f;
                break;
            }
        }
        if (flags == nullptr)
            GTEST_SKIP() << "cannot create a network namespace (unshare -n is refused here); "
                            "the broadcast to 255.255.255.255 is only ever sent inside one";
        std::string exe = self_path();
        ASSERT_FALSE(exe.empty());
        int code = run(std::string(CHILD_ENV) + "=1 unshare " + flags + " '" + exe +
                       "' --gtest_filter=CommDiscovery.BroadcastInOwnNamespace");
        if (code == CHILD_SKIP)
            GTEST_SKIP() << "the namespace could not be given a broadcast route (no 'ip' or no "
                            "veth support)";
        EXPECT_EQ(code, 0) << "the test inside the namespace failed (its output is above)";
        return;
    }

    // The child. Refuse to broadcast anywhere but in a namespace that holds nothing but its
    // loopback interface yet.
    ASSERT_EQ(foreign_interfaces(), 0) << "not in a fresh network namespace: no broadcast";
    const char* setup[] = {
        "ip link set lo up",
        "ip link add nvcb0 type veth peer name nvcb1",
        "ip addr add 10.213.0.1/24 broadcast 10.213.0.255 dev nvcb0",
        "ip addr add 10.213.0.2/24 broadcast 10.213.0.255 dev nvcb1",
        "ip link set nvcb0 up",
        "ip link set nvcb1 up",
        "ip route add 255.255.255.255/32 dev nvcb0",
    };
    for (const char* command : setup) {
        if (run(std::string(command) + " >/dev/null 2>&1") != 0) {
            std::fprintf(stderr, "namespace set-up failed: %s\n", command);
            std::exit(CHILD_SKIP);
        }
    }
    UdpResponder responder(htonl(INADDR_ANY));
    ASSERT_NE(responder.port(), 0);
    responder.start();
    ASSERT_EQ(comm_net_broadcast_register(on_datagram, nullptr), 0);
    ASSERT_TRUE(send_text("who is there", "255.255.255.255", responder.port()));
    EXPECT_TRUE(seen.has("re:who is there"));
    EXPECT_EQ(comm_net_broadcast_deregister(), 0);
    responder.stop();
}

}  // namespace
