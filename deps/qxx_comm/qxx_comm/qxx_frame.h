// The QXX frame: the envelope of every message on every transport.
//
//   offset  width  field
//        0      4  magic     "ZORV", no terminator
//        4      2  code      message code
//        6      2  length    payload length + 1 (the payload checksum byte is counted)
//        8      2  param     command: reply time-out in ms (low 16 bits); reply: a value
//       10      1  status    0 in commands; in replies 0 = success
//       11      1  hdr_xor   XOR of bytes 0..10
//       12      n  payload   n = length - 1
//   12 + n      1  data_xor  XOR of the n payload bytes
//
// Multi-byte fields are little-endian. A frame is 12 + length bytes. A header is valid when the
// XOR of its 12 bytes is 0; a payload when the XOR of its bytes and data_xor is 0.
#pragma once

#include <cstdint>
#include <cstring>

// ---- little-endian access (records have fields at odd offsets: never cast over a buffer) ----

inline uint16_t get_u16le(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t get_u32le(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline int32_t get_i32le(const unsigned char* p) {
    return static_cast<int32_t>(get_u32le(p));
}
inline float get_f32le(const unsigned char* p) {
    uint32_t u = get_u32le(p);
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}
inline void put_u16le(unsigned char* p, uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
inline void put_u32le(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}
inline void put_i32le(unsigned char* p, int32_t v) {
    put_u32le(p, static_cast<uint32_t>(v));
}
inline void put_f32le(unsigned char* p, float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    put_u32le(p, u);
}

// ---- frame layout --------------------------------------------------------------------------

constexpr unsigned char QXX_MAGIC[4] = {'Z', 'O', 'R', 'V'};
constexpr int QXX_OFF_CODE = 4;
constexpr int QXX_OFF_LENGTH = 6;
constexpr int QXX_OFF_PARAM = 8;
constexpr int QXX_OFF_STATUS = 10;
constexpr int QXX_OFF_HDR_XOR = 11;
constexpr int QXX_HEADER_SIZE = 12;
constexpr int QXX_OFF_PAYLOAD = QXX_HEADER_SIZE;
constexpr int QXX_FRAME_OVERHEAD = 13;  // header + data_xor

// The largest request payload a transaction accepts; its frame carries length 65534.
constexpr int QXX_MAX_REQUEST = 65533;
// Transmit buffer of one transaction: 12 + 65535 + 1.
constexpr int QXX_TX_BUFFER_SIZE = 65548;
// A received frame of any length field: 12 + 65535.
constexpr int QXX_RX_BUFFER_SIZE = QXX_HEADER_SIZE + 65535;

// ---- message codes -------------------------------------------------------------------------

constexpr int QXX_REPLY_OFFSET = 1000;   // a reply carries its request's code + 1000
constexpr int QXX_CODE_STATUS = 12289;   // general status reply: its status decides
constexpr int QXX_CODE_ERROR = 12290;    // general error reply: always a failure
constexpr int QXX_CODE_DISCOVER = 8601;  // discovery request, no payload, param 3000
constexpr int QXX_CODE_ANNOUNCE = 8600;  // discovery announcement, 66-byte payload
constexpr int QXX_CODE_DEFAULT = 65535;  // never sent: marks the default handler entry
constexpr int QXX_DISCOVER_PARAM = 3000;

inline int qxx_frame_code(const unsigned char* frame) {
    return get_u16le(frame + QXX_OFF_CODE);
}
inline int qxx_frame_length(const unsigned char* frame) {
    return get_u16le(frame + QXX_OFF_LENGTH);
}
inline int qxx_frame_param(const unsigned char* frame) {
    return get_u16le(frame + QXX_OFF_PARAM);
}
inline int qxx_frame_status(const unsigned char* frame) {
    return frame[QXX_OFF_STATUS];
}
// Payload bytes of a frame (length - 1; 0 for a header-only frame of length 0 or 1).
inline int qxx_frame_payload_size(const unsigned char* frame) {
    int len = qxx_frame_length(frame);
    return len > 0 ? len - 1 : 0;
}

// The XOR of the eight bytes of a word: the XOR of bytes read eight at a time is that of the
// XOR of the words.
inline unsigned char qxx_fold(uint64_t words) {
    words ^= words >> 32;
    words ^= words >> 16;
    words ^= words >> 8;
    return static_cast<unsigned char>(words);
}

// XOR of `n` bytes, eight at a time.
inline unsigned char qxx_xor(const unsigned char* p, int n) {
    uint64_t words = 0;
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, sizeof w);
        words ^= w;
    }
    unsigned char x = qxx_fold(words);
    for (; i < n; ++i) x ^= p[i];
    return x;
}

// Writes a frame with the given status into `buf` (at least payload_len + 13 bytes) and
// returns its total length. Code, payload length and param are taken as 16-bit values.
// Used for commands (status 0) and, by the simulator, for replies and events.
int qxx_build_frame(unsigned char* buf, int code, const void* payload, int payload_len, int param,
                    int status);

// Copies `n` bytes and returns their XOR, in one pass over them.
unsigned char qxx_copy_xor(unsigned char* dst, const unsigned char* src, int n);

// Writes a command frame (status 0) whose payload is `head` followed by `body` into `buf` and
// returns its total length: a large payload with a few bytes in front of it is framed without
// first being copied together. Neither piece may overlap `buf`.
int qxx_build_command(unsigned char* buf, int code, const void* head, int head_len,
                      const void* body, int body_len, int param);

// ---- frame assembly from a byte stream -----------------------------------------------------
//
// The receiver's state machine, one byte at a time, in place. A frame may arrive in any number
// of pieces. Bytes that break the magic are dropped and not examined again; frames with a bad
// header or payload XOR are dropped silently and the assembler hunts for the next 'Z'.
struct QXX_rx {
    unsigned char buf[QXX_RX_BUFFER_SIZE];
    int count;               // bytes held in buf
    int len;                 // length field of the accepted header; 0 while none is
    int body;                // bytes received after the header
    unsigned char body_xor;  // XOR of the body bytes received so far
};

// Feeds one byte. Returns 1 when a complete, valid frame of `count` bytes now stands in `buf`;
// the caller uses it and then sets `count` to 0 before feeding the next byte.
int qxx_rx_push(QXX_rx* rx, unsigned char b);

// The same state machine over `count` bytes at once, for a whole read: a body is copied in one
// piece and a header that arrives whole is checked at once. Stops after the byte that completed
// a frame and returns 1 (the frame stands in `buf` as with qxx_rx_push), else takes every byte
// and returns 0. `used` receives the bytes taken. Feeding a stream by pieces of any size, or by
// qxx_rx_push, gives the same frames.
int qxx_rx_feed(QXX_rx* rx, const unsigned char* bytes, int count, int* used);

// The length of the complete, valid frame that starts at `p` within `n` bytes, else 0 (too few
// bytes, no magic, or a bad checksum).
int qxx_frame_at(const unsigned char* p, int n);

// The link's receive step: qxx_rx_feed, except that a frame lying whole in `bytes` while no
// frame is being assembled is checked where it lies and not copied. Returns 1 with `frame` and
// `frame_len` naming the complete, valid frame (inside `bytes`, or in `buf` when it was
// assembled there: the caller then sets `count` to 0 once it is done with it), else takes every
// byte and returns 0. `used` receives the bytes taken. The frames found are those qxx_rx_push
// finds in the same stream.
int qxx_rx_next(QXX_rx* rx, const unsigned char* bytes, int count, int* used,
                const unsigned char** frame, int* frame_len);
