// The Q5 command set. Every wrapper is one transaction; the board answers each request with its
// code plus 1000.
#include "q5_comm.h"

#include <array>
#include <cstring>

#include "qxx_comm.h"

namespace {

// A request of the set: its code and how long the transaction waits for the answer (the time-out
// also travels as the request frame's param).
struct Request {
    int code;
    int timeout_ms;
};

constexpr Request GET_FW_VERSION{8001, 1000};
constexpr Request GET_TIME{8002, 1000};
constexpr Request SET_TIME{8003, 1000};
constexpr Request GET_SERIAL{8007, 100};
constexpr Request GET_MODEL_REV{8008, 1000};
constexpr Request RESTART{8021, 1000};
constexpr Request ERASE_EXT_FLASH{8100, 60000};
constexpr Request READ_EXT_FLASH{8101, 1000};
constexpr Request WRITE_EXT_FLASH{8102, 1000};
constexpr Request FLASH_FW{8103, 30000};
constexpr Request SET_SERIAL{8104, 1000};
constexpr Request SET_MODEL_REV{8105, 1000};

constexpr int SERIAL_REPLY_CODE = GET_SERIAL.code + QXX_REPLY_OFFSET;
constexpr int Q5_DEV_TYPE = 3;

// A write request is the 2-byte block number followed by the data, at most QXX_MAX_REQUEST bytes
// in all.
constexpr int EXT_FLASH_MAX_DATA = QXX_MAX_REQUEST - 2;

int send(int handle, Request r, const void* request, int request_size, void* reply, int reply_size,
         int wait, int* param = nullptr) {
    return QXX_send_cmd(handle, r.code, request, request_size, reply, reply_size, nullptr, param,
                        nullptr, r.timeout_ms, wait);
}

// q5_time on the wire: six little-endian i32 in field order.
void encode_time(const q5_time& t, unsigned char* p) {
    const int32_t fields[] = {t.year, t.month, t.day, t.hour, t.minute, t.second};
    for (int32_t f : fields) {
        put_i32le(p, f);
        p += 4;
    }
}

void decode_time(const unsigned char* p, q5_time* t) {
    int32_t* fields[] = {&t->year, &t->month, &t->day, &t->hour, &t->minute, &t->second};
    for (int32_t* f : fields) {
        *f = get_i32le(p);
        p += 4;
    }
}

}  // namespace

int Q5_get_fw_version(int handle, char* version, int wait) {
    if (version) std::memset(version, 0, Q5_FW_VERSION_LEN);
    return send(handle, GET_FW_VERSION, nullptr, 0, version, version ? Q5_FW_VERSION_LEN : 0, wait);
}

// The buffer is cleared over 9 bytes so that it always holds a terminated text afterwards.
int Q5_get_serial(int handle, char* serial, int wait) {
    if (serial) std::memset(serial, 0, Q5_SERIAL_LEN + 1);
    return send(handle, GET_SERIAL, nullptr, 0, serial, serial ? Q5_SERIAL_LEN : 0, wait);
}

int Q5_set_serial(int handle, const char* serial, int wait) {
    return send(handle, SET_SERIAL, serial, Q5_SERIAL_LEN, nullptr, 0, wait);
}

// The reply lands in a wire image of the record as it stands, so a transaction that copies
// nothing leaves the record unchanged.
int Q5_get_time(int handle, q5_time* time, int wait) {
    std::array<unsigned char, Q5_TIME_SIZE> wire{};
    if (time) encode_time(*time, wire.data());
    int result = send(handle, GET_TIME, nullptr, 0, time ? wire.data() : nullptr,
                      time ? Q5_TIME_SIZE : 0, wait);
    if (time) decode_time(wire.data(), time);
    return result;
}

int Q5_set_time(int handle, const q5_time* time, int wait) {
    std::array<unsigned char, Q5_TIME_SIZE> wire{};
    encode_time(*time, wire.data());
    return send(handle, SET_TIME, wire.data(), Q5_TIME_SIZE, nullptr, 0, wait);
}

int Q5_set_model_rev(int handle, uint32_t value, int wait) {
    unsigned char wire[4];
    put_u32le(wire, value);
    return send(handle, SET_MODEL_REV, wire, sizeof wire, nullptr, 0, wait);
}

int Q5_get_model_rev(int handle, unsigned char* value, int wait) {
    return send(handle, GET_MODEL_REV, nullptr, 0, value, value ? 4 : 0, wait);
}

int Q5_erase_ext_flash(int handle, int* param, int wait) {
    return send(handle, ERASE_EXT_FLASH, nullptr, 0, nullptr, 0, wait, param);
}

// A length the request cannot carry is refused here with -1 and nothing is sent (the
// transaction would stop the program on an oversized request).
int Q5_write_ext_flash(int handle, uint16_t block, const void* data, int length, int wait) {
    if (length < 0 || length > EXT_FLASH_MAX_DATA || (length > 0 && data == nullptr)) return -1;
    unsigned char number[2];
    put_u16le(number, block);
    return QXX_send_cmd_parts(handle, WRITE_EXT_FLASH.code, number, sizeof number, data, length,
                              nullptr, 0, nullptr, nullptr, nullptr, WRITE_EXT_FLASH.timeout_ms,
                              wait);
}

int Q5_read_ext_flash(int handle, uint16_t block, unsigned char* data, int wait) {
    unsigned char request[2];
    put_u16le(request, block);
    return send(handle, READ_EXT_FLASH, request, sizeof request, data, data ? Q5_EXT_FLASH_READ : 0,
                wait);
}

int Q5_flash_FW(int handle, uint32_t encrypted, uint32_t raw_checksum, int wait) {
    unsigned char request[8];
    put_u32le(request, encrypted);
    put_u32le(request + 4, raw_checksum);
    return send(handle, FLASH_FW, request, sizeof request, nullptr, 0, wait);
}

// The board restarts without answering, so the request is only written.
int Q5_restart(int handle) {
    return send(handle, RESTART, nullptr, 0, nullptr, 0, 0);
}

// Runs on the link's I/O thread: provokes an answer from a device not yet identified.
int Q5_probe(int handle, int) {
    return Q5_get_serial(handle, nullptr, 0);
}

// A Q5 board is recognised by any answer to get-serial.
int Q5_test_probe(int, const unsigned char* frame, int* type_id, int) {
    if (type_id) *type_id = Q5_DEV_TYPE;
    return qxx_frame_code(frame) == SERIAL_REPLY_CODE ? 1 : 0;
}
