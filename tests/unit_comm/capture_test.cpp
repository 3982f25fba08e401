// Reply capture: which frames land in which slot, how the waiter is woken, and that nothing
// reaches a capture through handle 0.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "comm_internal.h"

namespace {

// Longer than the test's own limit: a waiter that is not woken fails instead of passing late.
constexpr int NEVER_MS = 600000;

TEST(CommCapture, SlotsTakeOnlyTheirCodeOnceAndOnlyWhatFits) {
    comm_capture c;
    unsigned char reply[64], error[16], status[16];
    const int codes[] = {9203, 12290, 12289};
    void* const buffers[] = {reply, error, status};
    const int sizes[] = {64, 16, 16};
    ASSERT_EQ(comm_capture_hook(&c, codes, buffers, sizes), 0);
    struct Offer {
        int code, length;
        char fill;
        int result;  // 0 captured, 1 not
    };
    for (const Offer& o : {Offer{8888, 10, 'u', 1},     // no slot has this code
                           Offer{12290, 17, 'L', 1},    // larger than the slot
                           Offer{12290, 16, 'e', 0},    // fits exactly
                           Offer{12290, 5, 'x', 1},     // the slot is no longer empty
                           Offer{9203, 64, 'r', 0},     //
                           Offer{12289, 0, 's', 1}}) {  // an empty frame is no frame
        std::string f(static_cast<size_t>(o.length), o.fill);
        EXPECT_EQ(comm_capture_offer(&c, o.code, f.data(), o.length), o.result) << o.code;
    }
    int lengths[3] = {-7, -7, -7};
    EXPECT_EQ(comm_capture_wait(&c, lengths, 0), 0);
    EXPECT_EQ(std::vector<int>(lengths, lengths + 3), std::vector<int>({64, 16, 0}));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), 64), std::string(64, 'r'));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(error), 16), std::string(16, 'e'));

    // Unhooked, the caller's buffers are never written again.
    comm_capture_unhook(&c);
    EXPECT_EQ(comm_capture_offer(&c, 9203, "zz", 2), 1);
    EXPECT_EQ(reply[0], 'r');
    EXPECT_EQ(comm_capture_wait(&c, lengths, 0), -1);
    EXPECT_EQ(lengths[0] + lengths[1] + lengths[2], 0);

    // Armed but nothing comes: the time limit gives zeros.
    ASSERT_EQ(comm_capture_hook(&c, codes, buffers, sizes), 0);
    lengths[0] = lengths[1] = lengths[2] = 5;
    EXPECT_EQ(comm_capture_wait(&c, lengths, 20), -1);
    EXPECT_EQ(lengths[0] + lengths[1] + lengths[2], 0);
}

TEST(CommCapture, WaiterWokenByAFrameOrAClose) {
    for (bool frame : {true, false}) {
        comm_capture c;
        unsigned char buffer[32];
        const int codes[] = {9001, 0, 0};
        void* const buffers[] = {buffer, nullptr, nullptr};
        const int sizes[] = {32, 0, 0};
        ASSERT_EQ(comm_capture_hook(&c, codes, buffers, sizes), 0);
        int lengths[3] = {-1, -1, -1};
        int result = 99;
        std::thread waiter([&] { result = comm_capture_wait(&c, lengths, NEVER_MS); });
        if (frame) {
            EXPECT_EQ(comm_capture_offer(&c, 9001, "ZORV12345678", 12), 0);
        } else {
            comm_capture_cancel(&c);  // the link closed
        }
        waiter.join();
        EXPECT_EQ(result, frame ? 0 : -1);
        EXPECT_EQ(std::vector<int>(lengths, lengths + 3), std::vector<int>({frame ? 12 : 0, 0, 0}));
    }
}

}  // namespace
