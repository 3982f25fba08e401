// Reply capture: which frames land in which slot, how the waiter is woken, and that nothing
// reaches a capture through handle 0.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "comm_internal.h"

namespace {

// A generous limit: a waiter that is not woken hangs the test instead of passing late.
constexpr int NEVER_MS = 600000;

std::string frame_of(int size, char fill) {
    return std::string(static_cast<size_t>(size), fill);
}

TEST(CommCapture, SlotsTakeOnlyTheirCodeOnceAndOnlyWhatFits) {
    comm_capture c;
    unsigned char reply[64], error[16], status[16];
    const int codes[] = {9203, 12290, 12289};
    void* const buffers[] = {reply, error, status};
    const int sizes[] = {64, 16, 16};
    ASSERT_EQ(comm_capture_hook(&c, codes, buffers, sizes), 0);

    struct Offer {
        int code;
        int length;
        char fill;
        int result;  // 0 captured, 1 not
    };
    const Offer offers[] = {
        {8888, 10, 'u', 1},                       // no slot has this code
        {12290, 17, 'L', 1},                      // larger than the slot
        {12290, 16, 'e', 0},                      // fits exactly
        {12290, 5, 'x', 1},                       // the slot is no longer empty
        {9203, 64, 'r', 0},  {12289, 0, 's', 1},  // an empty frame is no frame
        {-1, 10, 'n', 1},
    };
    for (const Offer& o : offers) {
        std::string f = frame_of(o.length, o.fill);
        EXPECT_EQ(comm_capture_offer(&c, o.code, f.data(), o.length), o.result)
            << o.code << "/" << o.length;
    }
    int lengths[3] = {-7, -7, -7};
    EXPECT_EQ(comm_capture_wait(&c, lengths, 0), 0);
    EXPECT_EQ(lengths[0], 64);
    EXPECT_EQ(lengths[1], 16);
    EXPECT_EQ(lengths[2], 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), 64), frame_of(64, 'r'));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(error), 16), frame_of(16, 'e'));

    // Unhooked, the caller's buffers are never written again.
    comm_capture_unhook(&c);
    std::memset(reply, 0, sizeof reply);
    EXPECT_EQ(comm_capture_offer(&c, 9203, "zz", 2), 1);
    EXPECT_EQ(reply[0], 0);
    EXPECT_EQ(comm_capture_wait(&c, lengths, 0), -1);
    EXPECT_EQ(lengths[0] + lengths[1] + lengths[2], 0);

    // Hooking again starts from empty slots; two slots of one code fill in turn; a slot without
    // a buffer never fills.
    const int same[] = {7, 7, 7};
    void* const two[] = {error, status, nullptr};
    ASSERT_EQ(comm_capture_hook(&c, same, two, sizes + 1), 0);
    EXPECT_EQ(comm_capture_offer(&c, 7, "aa", 2), 0);
    EXPECT_EQ(comm_capture_offer(&c, 7, "bbb", 3), 0);
    EXPECT_EQ(comm_capture_offer(&c, 7, "c", 1), 1);
    EXPECT_EQ(comm_capture_wait(&c, lengths, 0), 0);
    EXPECT_EQ(lengths[0], 2);
    EXPECT_EQ(lengths[1], 3);
    EXPECT_EQ(lengths[2], 0);
    EXPECT_EQ(std::memcmp(status, "bbb", 3), 0);
}

TEST(CommCapture, WaiterWokenByAFrameOrAClose) {
    struct Case {
        const char* what;
        bool offer;  // else the link closes
        int result;
        int first_length;
    };
    const Case cases[] = {{"frame", true, 0, 12}, {"close", false, -1, 0}};
    for (const Case& k : cases) {
        comm_capture c;
        unsigned char buffer[32];
        const int codes[] = {9001, 0, 0};
        void* const buffers[] = {buffer, nullptr, nullptr};
        const int sizes[] = {32, 0, 0};
        ASSERT_EQ(comm_capture_hook(&c, codes, buffers, sizes), 0);
        int lengths[3] = {-1, -1, -1};
        int result = 99;
        std::thread waiter([&] { result = comm_capture_wait(&c, lengths, NEVER_MS); });
        if (k.offer) {
            EXPECT_EQ(comm_capture_offer(&c, 9001, "ZORV12345678", 12), 0);
        } else {
            comm_capture_cancel(&c);
        }
        waiter.join();
        EXPECT_EQ(result, k.result) << k.what;
        EXPECT_EQ(lengths[0], k.first_length) << k.what;
        EXPECT_EQ(lengths[1], 0) << k.what;
        EXPECT_EQ(lengths[2], 0) << k.what;
    }
}

TEST(CommCapture, TimeLimitAndUnknownHandlesGiveZeros) {
    comm_capture c;
    unsigned char buffer[8];
    const int codes[] = {1, 2, 3};
    void* const buffers[] = {buffer, buffer, buffer};
    const int sizes[] = {8, 8, 8};
    ASSERT_EQ(comm_capture_hook(&c, codes, buffers, sizes), 0);
    int lengths[3] = {5, 5, 5};
    EXPECT_EQ(comm_capture_wait(&c, lengths, 20), -1);
    EXPECT_EQ(lengths[0] + lengths[1] + lengths[2], 0);

    // Through the library: handle 0 (the discovery parse) and unknown handles reach nothing.
    int l1 = 5, l2 = 5, l3 = 5;
    EXPECT_NE(comm_fill_rsp_buff(0, 1, "frame", 5), 0);
    EXPECT_NE(comm_hook_response(0, 1, buffer, 8, 2, buffer, 8, 3, buffer, 8), 0);
    EXPECT_NE(comm_wait_response(12345, &l1, &l2, &l3, 0), 0);
    EXPECT_EQ(l1 + l2 + l3, 0);
    EXPECT_EQ(comm_wait_response(12345, nullptr, nullptr, nullptr, 0), -1);
    EXPECT_NE(comm_unhook_response(12345), 0);
}

}  // namespace
