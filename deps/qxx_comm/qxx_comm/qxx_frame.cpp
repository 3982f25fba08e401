// Frame building and the receiver's byte-level frame assembly.
#include "qxx_frame.h"

#include <algorithm>

namespace {

void put_header(unsigned char* buf, int code, int payload_len, int param, int status) {
    std::memcpy(buf, QXX_MAGIC, sizeof QXX_MAGIC);
    put_u16le(buf + QXX_OFF_CODE, static_cast<uint16_t>(code));
    put_u16le(buf + QXX_OFF_LENGTH, static_cast<uint16_t>(payload_len + 1));
    put_u16le(buf + QXX_OFF_PARAM, static_cast<uint16_t>(param));
    buf[QXX_OFF_STATUS] = static_cast<unsigned char>(status);
    buf[QXX_OFF_HDR_XOR] = 0;
    buf[QXX_OFF_HDR_XOR] = qxx_xor(buf, QXX_OFF_HDR_XOR);
}

}  // namespace

int qxx_build_frame(unsigned char* buf, int code, const void* payload, int payload_len, int param,
                    int status) {
    put_header(buf, code, payload_len, param, status);
    unsigned char* data = buf + QXX_OFF_PAYLOAD;
    if (payload_len > 0 && payload != nullptr) std::memmove(data, payload, payload_len);
    data[payload_len] = qxx_xor(data, payload_len);
    return payload_len + QXX_FRAME_OVERHEAD;
}

unsigned char qxx_copy_xor(unsigned char* dst, const unsigned char* src, int n) {
    uint64_t words = 0;
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, src + i, sizeof w);
        std::memcpy(dst + i, &w, sizeof w);
        words ^= w;
    }
    unsigned char x = qxx_fold(words);
    for (; i < n; ++i) x ^= dst[i] = src[i];
    return x;
}

int qxx_build_command(unsigned char* buf, int code, const void* head, int head_len,
                      const void* body, int body_len, int param) {
    head_len = head != nullptr && head_len > 0 ? head_len : 0;
    body_len = body != nullptr && body_len > 0 ? body_len : 0;
    const int payload_len = head_len + body_len;
    put_header(buf, code, payload_len, param, 0);
    unsigned char* data = buf + QXX_OFF_PAYLOAD;
    data[payload_len] = static_cast<unsigned char>(
        qxx_copy_xor(data, static_cast<const unsigned char*>(head), head_len) ^
        qxx_copy_xor(data + head_len, static_cast<const unsigned char*>(body), body_len));
    return payload_len + QXX_FRAME_OVERHEAD;
}

int qxx_rx_push(QXX_rx* rx, unsigned char b) {
    // Magic and header collection.
    if (rx->count == 0 && b == QXX_MAGIC[0]) {
        rx->buf[0] = b;
        rx->count = 1;
        rx->len = 0;
    } else if (rx->count >= 1 && rx->count <= 3 && b == QXX_MAGIC[rx->count]) {
        rx->buf[rx->count++] = b;
    } else if (rx->count >= 4 && rx->count < QXX_HEADER_SIZE) {
        rx->buf[rx->count++] = b;
    } else if (rx->count < QXX_HEADER_SIZE) {
        rx->count = 0;  // the byte is dropped, not examined again as a new magic
        return 0;
    }
    if (rx->count < QXX_HEADER_SIZE) return 0;

    if (rx->len == 0) {
        // Either this byte completed the header, or a header with length 0 was accepted.
        if (qxx_xor(rx->buf, QXX_HEADER_SIZE) != 0) {
            rx->count = 0;
            return 0;
        }
        rx->len = get_u16le(rx->buf + QXX_OFF_LENGTH);
        rx->body = 0;
        rx->body_xor = 0;
    } else if (rx->body < rx->len) {
        rx->buf[rx->count++] = b;
        rx->body++;
        rx->body_xor ^= b;
    }
    if (rx->body != rx->len) return 0;

    if (rx->body_xor != 0) {
        rx->count = 0;
        return 0;
    }
    return 1;
}

int qxx_rx_feed(QXX_rx* rx, const unsigned char* bytes, int count, int* used) {
    int i = 0;
    int done = 0;
    while (i < count && !done) {
        const int left = count - i;
        const unsigned char* p = bytes + i;
        if (rx->count >= QXX_HEADER_SIZE && rx->len != 0 && rx->body < rx->len) {
            // Body bytes: as many as this frame still needs and this read holds.
            const int n = std::min(rx->len - rx->body, left);
            std::memcpy(rx->buf + rx->count, p, static_cast<size_t>(n));
            rx->body_xor ^= qxx_xor(p, n);
            rx->count += n;
            rx->body += n;
            i += n;
            if (rx->body == rx->len) {
                if (rx->body_xor == 0) {
                    done = 1;
                } else {
                    rx->count = 0;
                }
            }
        } else if (rx->count == 0 && left >= QXX_HEADER_SIZE &&
                   std::memcmp(p, QXX_MAGIC, sizeof QXX_MAGIC) == 0) {
            // A whole header: taken and checked as the byte-wise path would at its 12th byte.
            std::memcpy(rx->buf, p, QXX_HEADER_SIZE);
            i += QXX_HEADER_SIZE;
            rx->len = 0;
            if (qxx_xor(rx->buf, QXX_HEADER_SIZE) != 0) continue;  // count stays 0
            rx->count = QXX_HEADER_SIZE;
            rx->len = get_u16le(rx->buf + QXX_OFF_LENGTH);
            rx->body = 0;
            rx->body_xor = 0;
            done = rx->len == 0;
        } else {
            done = qxx_rx_push(rx, *p);
            ++i;
        }
    }
    if (used) *used = i;
    return done;
}

namespace {

// XOR of the 12 header bytes, folded from two wide loads.
inline unsigned char header_xor(const unsigned char* p) {
    uint64_t a;
    uint32_t b;
    std::memcpy(&a, p, sizeof a);
    std::memcpy(&b, p + sizeof a, sizeof b);
    return qxx_fold(a ^ b);
}

inline bool magic_at(const unsigned char* p) {
    uint32_t m, want;
    std::memcpy(&m, p, sizeof m);
    std::memcpy(&want, QXX_MAGIC, sizeof want);
    return m == want;
}

}  // namespace

int qxx_frame_at(const unsigned char* p, int n) {
    if (n < QXX_HEADER_SIZE || !magic_at(p) || header_xor(p) != 0) return 0;
    const int len = get_u16le(p + QXX_OFF_LENGTH);
    if (len > n - QXX_HEADER_SIZE || (len > 0 && qxx_xor(p + QXX_OFF_PAYLOAD, len) != 0)) return 0;
    return QXX_HEADER_SIZE + len;
}

int qxx_rx_next(QXX_rx* rx, const unsigned char* bytes, int count, int* used,
                const unsigned char** frame, int* frame_len) {
    // In place only between frames; noise, broken frames and frames split across reads go the
    // assembler's way (which copies at most the one frame after them).
    if (rx->count == 0) {
        if (const int whole = qxx_frame_at(bytes, count)) {
            *used = whole;
            *frame = bytes;
            *frame_len = whole;
            return 1;
        }
    }
    const int complete = qxx_rx_feed(rx, bytes, count, used);
    if (complete) {
        *frame = rx->buf;
        *frame_len = rx->count;
    }
    return complete;
}
