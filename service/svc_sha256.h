// SHA-256 (FIPS 180-4), for the service record's fingerprint of a firmware container.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct sha256_state {
    uint32_t h[8];
    uint64_t length;  // bytes hashed so far
    unsigned char block[64];
    size_t used;  // bytes waiting in `block`
};

void sha256_start(sha256_state* s);
void sha256_add(sha256_state* s, const void* data, size_t size);
// The digest as 64 lower-case hexadecimal digits; the state is spent.
std::string sha256_hex(sha256_state* s);
