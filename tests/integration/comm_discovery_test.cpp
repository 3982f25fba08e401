// Network discovery: requests sent from the discovery socket, answers delivered to the callback,
// and deregistration that never returns while the callback runs. Traffic goes to a responder on
// 127.0.0.1; the broadcast to 255.255.255.255 is sent only inside a network namespace that the
// test makes for itself.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/wait.h>

#include <unistd.h>

#include <algorithm>
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

// What the callback saw (it has no context argument, hence one shared record).
struct Seen {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> datagrams;
    std::atomic<int> calls{0}, active{0}, after_close{0}, inner_result{99};
    std::atomic<int> pause_at{0}, deregister_at{0};  // callbacks that pause or deregister
    bool paused = false;                             // under `lock`
    std::atomic<bool> closed{false};                 // deregistration has returned

    bool wait_for(const std::function<bool()>& pred) {
        std::unique_lock<std::mutex> held(lock);
        return changed.wait_for(held, CommEvents::LIMIT, pred);
    }
    bool has(const std::string& d) {
        return wait_for(
            [&] { return std::find(datagrams.begin(), datagrams.end(), d) != datagrams.end(); });
    }
};
Seen* seen = nullptr;

int on_datagram(const unsigned char* bytes, int count) {
    ++seen->active;
    if (seen->closed) ++seen->after_close;
    int n = ++seen->calls;
    if (n == seen->pause_at) {  // long enough for the console thread to try deregistering
        {
            std::lock_guard<std::mutex> guard(seen->lock);
            seen->paused = true;
        }
        seen->changed.notify_all();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (n == seen->deregister_at) {
        seen->inner_result = comm_net_broadcast_deregister();
        seen->closed = true;  // this call is the last one
    }
    --seen->active;
    std::lock_guard<std::mutex> guard(seen->lock);
    seen->datagrams.emplace_back(reinterpret_cast<const char*>(bytes), static_cast<size_t>(count));
    seen->changed.notify_all();
    return 0;
}

bool send_text(const std::string& text, const char* address, int port) {
    return comm_net_broadcast_send(text.data(), static_cast<int>(text.size()), address, port) == 0;
}

TEST(CommDiscovery, AnswersReachTheCallbackUntilDeregistered) {
    Seen record;
    seen = &record;
    CommRunning running;
    UdpResponder responder;
    responder.start();
    EXPECT_FALSE(send_text("early", "127.0.0.1", responder.port()));  // nothing registered
    for (std::string round : {"first", "second"}) {
        ASSERT_EQ(comm_net_broadcast_register(on_datagram, nullptr), 0) << round;
        for (std::string request : {round + " hello", round + " again"}) {
            ASSERT_TRUE(send_text(request, "127.0.0.1", responder.port()));
            EXPECT_TRUE(record.has("re:" + request));
        }
        EXPECT_FALSE(send_text("x", "not-an-address", responder.port()));
        EXPECT_FALSE(send_text("x", "127.0.0.1", 0));
        ASSERT_EQ(comm_net_broadcast_deregister(), 0) << round;
        EXPECT_FALSE(send_text("late", "127.0.0.1", responder.port())) << round;
        EXPECT_NE(comm_net_broadcast_deregister(), 0) << round;
    }
    responder.stop();
    EXPECT_EQ(responder.requests(), 4);
}

// The responder floods the socket while it is being closed, from the console thread while a
// callback runs or from inside the callback: once deregistration has returned, no callback runs
// or begins.
TEST(CommDiscovery, DeregisterNeverReturnsWhileTheCallbackRuns) {
    CommRunning running;
    for (bool from_callback : {false, true}) {
        Seen record;
        seen = &record;
        (from_callback ? record.deregister_at : record.pause_at) = 40;
        UdpResponder responder;
        responder.start(true);
        ASSERT_EQ(comm_net_broadcast_register(on_datagram, nullptr), 0);
        ASSERT_TRUE(send_text("go", "127.0.0.1", responder.port()));
        if (from_callback) {
            ASSERT_TRUE(record.wait_for([&] { return record.closed.load(); }));
            EXPECT_EQ(record.inner_result.load(), 0);
        } else {
            ASSERT_TRUE(record.wait_for([&] { return record.paused; }));
            ASSERT_EQ(comm_net_broadcast_deregister(), 0);
            EXPECT_EQ(record.active.load(), 0) << "deregistration returned during a callback";
            record.closed = true;
        }
        // Datagrams keep coming for a while after the close.
        int flooded = responder.flooded();
        auto until = std::chrono::steady_clock::now() + CommEvents::LIMIT;
        while (responder.flooded() < flooded + 2000 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        responder.stop();
        EXPECT_EQ(record.after_close.load(), 0) << (from_callback ? "inside" : "console");
        EXPECT_NE(comm_net_broadcast_deregister(), 0);  // already closed
    }
}

}  // namespace
