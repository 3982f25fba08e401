// The assembler fed whole reads, and the link's step that checks frames where they lie, find
// exactly the frames found byte by byte, however the stream is cut: frames of many sizes among
// noise, broken magics and spoiled checksums.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "qxx_frame.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes random_stream(unsigned seed) {
    std::minstd_rand rng(seed);
    Bytes s;
    for (int piece = 0; piece < 400; ++piece) {
        const unsigned kind = rng() % 8;
        if (kind == 0) {  // noise, often with the start of a magic in it
            const char* starts[] = {"Z", "ZO", "ZOR", "ZZORV", "\x01\x02"};
            for (const char* p = starts[rng() % 5]; *p; ++p)
                s.push_back(static_cast<unsigned char>(*p));
            continue;
        }
        const int size =
            kind == 1 ? static_cast<int>(rng() % 60000) : static_cast<int>(rng() % 400);
        Bytes payload(static_cast<size_t>(size));
        for (auto& b : payload) b = static_cast<unsigned char>(rng());
        Bytes f(payload.size() + QXX_FRAME_OVERHEAD);
        qxx_build_frame(f.data(), 9000 + piece, payload.data(), size, piece, 0);
        if (kind == 2) f[QXX_OFF_HDR_XOR] ^= 0x40;  // dropped at its header
        if (kind == 3) f[f.size() - 1] ^= 0x01;     // dropped at its end
        if (kind == 4) f.resize(QXX_HEADER_SIZE);   // a bare header: length field kept
        s.insert(s.end(), f.begin(), f.end());
    }
    return s;
}

std::vector<Bytes> bytewise(const Bytes& s) {
    auto rx = std::make_unique<QXX_rx>();
    rx->count = 0;
    std::vector<Bytes> frames;
    for (unsigned char b : s) {
        if (qxx_rx_push(rx.get(), b)) {
            frames.emplace_back(rx->buf, rx->buf + rx->count);
            rx->count = 0;
        }
    }
    return frames;
}

// Through qxx_rx_feed, or (`in_place`) through qxx_rx_next, the link's step.
std::vector<Bytes> by_reads(const Bytes& s, unsigned seed, size_t max_read, bool in_place) {
    std::minstd_rand rng(seed);
    auto rx = std::make_unique<QXX_rx>();
    rx->count = 0;
    std::vector<Bytes> frames;
    for (size_t at = 0; at < s.size();) {
        const size_t read = std::min(s.size() - at, 1 + rng() % max_read);
        for (size_t taken = 0; taken < read;) {
            int used = 0, length = rx->count;
            const unsigned char* frame = rx->buf;
            const unsigned char* at_read = s.data() + at + taken;
            const int left = static_cast<int>(read - taken);
            const int complete = in_place
                                     ? qxx_rx_next(rx.get(), at_read, left, &used, &frame, &length)
                                     : qxx_rx_feed(rx.get(), at_read, left, &used);
            EXPECT_GT(used, 0);
            taken += static_cast<size_t>(used);
            if (complete) {
                if (!in_place) length = rx->count;
                frames.emplace_back(frame, frame + length);
                rx->count = 0;
            }
        }
        at += read;
    }
    return frames;
}

TEST(Assembler, WholeReadsFindTheFramesTheByteWisePathFinds) {
    for (unsigned seed : {1u, 2u, 3u, 4u}) {
        const Bytes s = random_stream(seed);
        const std::vector<Bytes> expected = bytewise(s);
        ASSERT_GT(expected.size(), 100u);
        for (size_t max_read : {size_t{1}, size_t{13}, size_t{4096}, size_t{200000}})
            for (bool in_place : {false, true})
                EXPECT_EQ(by_reads(s, seed, max_read, in_place), expected)
                    << "seed " << seed << ", reads up to " << max_read << ", in place " << in_place;
    }
}

}  // namespace
