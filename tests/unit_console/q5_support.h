// A model of the firmware container written from its format (header fields, word checksums,
// scrambling), so that the writer is checked against bytes computed independently of it.
#pragma once

#include <cstdio>
#include <utility>

#include "fixture.h"

namespace q5test {

inline std::string hex(const char* format, uint64_t v) {
    char buf[64];
    snprintf(buf, sizeof buf, format, static_cast<unsigned long long>(v));
    return buf;
}

// ---- the container format ----------------------------------------------------------------------

inline uint32_t word(const Bytes& b, size_t i) {
    return uint32_t{b[4 * i]} | uint32_t{b[4 * i + 1]} << 8 | uint32_t{b[4 * i + 2]} << 16 |
           uint32_t{b[4 * i + 3]} << 24;
}
inline uint32_t key(size_t i) {
    uint32_t k = static_cast<uint32_t>(i);
    return k * k * k * k;
}
// Word i XOR i^4, its own inverse.
inline Bytes scramble(Bytes b) {
    for (size_t i = 0; i < b.size() / 4; ++i) put_u32le(&b[4 * i], word(b, i) ^ key(i));
    return b;
}
struct Sums {
    uint32_t raw, enc;
    bool operator==(const Sums&) const = default;
};
// The checksums of a data area as stored: enc over its words, raw over them unscrambled.
inline Sums sums(const Bytes& stored, bool scrambled) {
    Sums s{0, 0};
    for (size_t i = 0; i < stored.size() / 4; ++i) {
        s.enc ^= word(stored, i);
        s.raw ^= scrambled ? word(stored, i) ^ key(i) : word(stored, i);
    }
    return s;
}

// A 72-byte header; the date and time are 2026-12-06 01:58:03, the clock of the writer's tests.
struct Header {
    std::string model = "NV-52";
    uint32_t size = 0, dev_type = 12, version = 0x0105;
    Sums sums{0, 0};
    uint32_t flags = 0;
    Bytes bytes() const {
        Bytes h = text(std::string("ORVANTIS FIRMWARE\0\0\0", 20));
        Bytes m = text(model.substr(0, 20));
        m.resize(20, 0);
        h.insert(h.end(), m.begin(), m.end());
        h.resize(72, 0);
        for (auto [at, v] : {std::pair{40, size},
                             {44, dev_type},
                             {48, version},
                             {52, sums.raw},
                             {56, sums.enc},
                             {68, flags}})
            put_u32le(&h[at], v);
        const unsigned char date_time[] = {0x06, 0x0C, 0xEA, 0x07, 0x03, 0x3A, 0x01, 0x00};
        std::copy(std::begin(date_time), std::end(date_time), h.begin() + 60);
        return h;
    }
};

}  // namespace q5test
