// Reply capture, slot by slot (which frame goes where, what is refused), its waits (a frame, the
// time limit, nothing armed, the link's close), and the library's calls by handle.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "comm_internal.h"
#include "comm_links.h"

namespace {

struct Slots {
    comm_capture c;
    unsigned char buf[3][8];
    std::vector<int> lengths() {
        int l[3] = {-1, -1, -1};
        comm_capture_wait(&c, l, 0);
        return {l[0], l[1], l[2]};
    }
    int hook(int code1, int size1, int code2, int size2, int code3, int size3) {
        const int codes[] = {code1, code2, code3};
        void* const buffers[] = {size1 >= 0 ? buf[0] : nullptr, size2 >= 0 ? buf[1] : nullptr,
                                 size3 >= 0 ? buf[2] : nullptr};
        const int sizes[] = {size1, size2, size3};
        return comm_capture_hook(&c, codes, buffers, sizes);
    }
    std::string slot(int i, int n) { return std::string(reinterpret_cast<char*>(buf[i]), n); }
};

TEST(CommCapture, FramesGoToTheFirstEmptySlotOfTheirCodeThatFits) {
    Slots s;
    EXPECT_EQ(comm_capture_offer(&s.c, 9103, "x", 1), 1);  // nothing armed
    ASSERT_EQ(s.hook(9103, 4, 12290, 8, 9103, 8), 0);
    EXPECT_EQ(s.lengths(), (std::vector<int>{0, 0, 0}));
    const struct {
        int code;
        std::string frame;
        int result;
        std::vector<int> lengths;
    } offers[] = {
        {9104, "abc", 1, {0, 0, 0}},        // no slot of that code
        {9103, "", 1, {0, 0, 0}},           // nothing to copy
        {9103, "abcdefghi", 1, {0, 0, 0}},  // larger than both its slots
        {9103, "abcde", 0, {0, 0, 5}},      // too large for the first, fits the second
        {9103, "wxyz", 0, {4, 0, 5}},       // exactly fills the first
        {9103, "a", 1, {4, 0, 5}},          // both full
        {12290, "12345678", 0, {4, 8, 5}}, {12290, "1", 1, {4, 8, 5}},
    };
    for (const auto& o : offers) {
        SCOPED_TRACE(std::to_string(o.code) + " " + o.frame);
        EXPECT_EQ(
            comm_capture_offer(&s.c, o.code, o.frame.data(), static_cast<int>(o.frame.size())),
            o.result);
        EXPECT_EQ(s.lengths(), o.lengths);
    }
    EXPECT_EQ(comm_capture_offer(&s.c, 9103, nullptr, 3), 1);
    EXPECT_EQ(s.slot(0, 4), "wxyz");
    EXPECT_EQ(s.slot(1, 8), "12345678");
    EXPECT_EQ(s.slot(2, 5), "abcde");
    // Hooking again empties every slot; a slot without a buffer or size takes nothing.
    ASSERT_EQ(s.hook(1, -1, 1, 0, 1, 2), 0);
    EXPECT_EQ(s.lengths(), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(comm_capture_offer(&s.c, 1, "ab", 2), 0);
    EXPECT_EQ(s.lengths(), (std::vector<int>{0, 0, 2}));
    comm_capture_unhook(&s.c);
    int l[3] = {-1, -1, -1};
    EXPECT_EQ(comm_capture_wait(&s.c, l, NEVER_MS), -1);  // at once: nothing is armed
    EXPECT_EQ(std::vector<int>(l, l + 3), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(comm_capture_offer(&s.c, 1, "ab", 2), 1);
}

// (The time limit of a wait: CommLink.EveryWaitEndsAtItsLimit.)
TEST(CommCapture, AWaitEndsAtAFrameOrTheClose) {
    Slots s;
    int l[3];
    ASSERT_EQ(s.hook(5, 8, 0, -1, 0, -1), 0);
    std::thread offer([&] { comm_capture_offer(&s.c, 5, "late", 4); });
    EXPECT_EQ(comm_capture_wait(&s.c, l, NEVER_MS), 0);
    offer.join();
    EXPECT_EQ(l[0], 4);
    EXPECT_EQ(s.slot(0, 4), "late");
    ASSERT_EQ(s.hook(5, 8, 0, -1, 0, -1), 0);
    std::thread closer([&] { EXPECT_TRUE(comm_capture_cancel(&s.c)); });
    EXPECT_EQ(comm_capture_wait(&s.c, l, NEVER_MS), -1);
    closer.join();
    EXPECT_EQ(s.hook(5, 8, 0, -1, 0, -1), -1);  // a closed link takes no more hooks
    comm_capture_unhook(&s.c);
    EXPECT_FALSE(comm_capture_cancel(&s.c));
}

TEST(CommCapture, TheLibrarysCallsByHandle) {
    CommRunning running;
    int l1 = -1, l2 = -1, l3 = -1;
    unsigned char buf[16];
    for (int h : {0, -3, 999999}) {
        EXPECT_EQ(comm_hook_response(h, 1, buf, 16, 0, nullptr, 0, 0, nullptr, 0), -1);
        EXPECT_EQ(comm_fill_rsp_buff(h, 1, "x", 1), -1);
        l1 = l2 = l3 = -1;
        EXPECT_EQ(comm_wait_response(h, &l1, &l2, &l3, NEVER_MS), -1);
        EXPECT_EQ(l1 + l2 + l3, 0);
        EXPECT_EQ(comm_unhook_response(h), -1);
    }
    TcpPeer peer;
    Link link;
    ASSERT_TRUE(link.connect(tcp_string(peer.port())));
    const int h = link.handle;
    unsigned char a[4], b[4], c[4];
    ASSERT_EQ(comm_hook_response(h, 11, a, 4, 12, b, 4, 13, c, 4), 0);
    EXPECT_EQ(comm_fill_rsp_buff(h, 12, "bb", 2), 0);
    EXPECT_EQ(comm_fill_rsp_buff(h, 14, "dd", 2), 1);
    EXPECT_EQ(comm_fill_rsp_buff(h, 13, "ccc", 3), 0);
    EXPECT_EQ(comm_wait_response(h, &l1, &l2, &l3, NEVER_MS), 0);
    EXPECT_EQ(std::vector<int>({l1, l2, l3}), std::vector<int>({0, 2, 3}));
    EXPECT_EQ(comm_wait_response(h, nullptr, nullptr, nullptr, 0), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(c), 3), "ccc");
    EXPECT_EQ(comm_unhook_response(h), 0);
    l1 = l2 = l3 = -1;
    EXPECT_EQ(comm_wait_response(h, &l1, &l2, &l3, NEVER_MS), -1);
    EXPECT_EQ(l1 + l2 + l3, 0);
    // A waiter is released by the close of its link.
    ASSERT_EQ(comm_hook_response(h, 11, a, 4, 0, nullptr, 0, 0, nullptr, 0), 0);
    std::thread closer([&] { comm_disconnect(h); });
    link.handle = 0;
    Stopwatch clock;
    EXPECT_EQ(comm_wait_response(h, &l1, &l2, &l3, 20000), -1);
    EXPECT_LT(clock.ms(), 10000);
    closer.join();
    EXPECT_EQ(comm_unhook_response(h), 0);  // the closed link's capture, now forgotten
    EXPECT_EQ(comm_unhook_response(h), -1);
}

}  // namespace
