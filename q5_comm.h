// The Q5 command set: one wrapper per request, each a single QXX_send_cmd with a fixed code,
// request layout, reply size and time-out. Wrappers take no decisions and print nothing; they
// return the transaction's result unchanged (0 success, else its error code).
#pragma once

#include <cstdint>

// The time record of get-time and set-time: six little-endian i32, 24 bytes on the wire.
struct q5_time {
    int32_t year;   // all four digits
    int32_t month;  // 1..12
    int32_t day;    // 1..31
    int32_t hour;   // 0..23
    int32_t minute;
    int32_t second;
};
constexpr int Q5_TIME_SIZE = 24;
constexpr int Q5_SERIAL_LEN = 8;  // serial number: 8 characters, no terminator on the wire
constexpr int Q5_FW_VERSION_LEN = 8;
constexpr int Q5_EXT_FLASH_READ = 64;  // bytes returned by a read of the external flash

int Q5_get_fw_version(int handle, char* version, int wait);
int Q5_get_serial(int handle, char* serial, int wait);  // serial: at least 9 bytes, or null
int Q5_set_serial(int handle, const char* serial, int wait);
int Q5_get_time(int handle, q5_time* time, int wait);
int Q5_set_time(int handle, const q5_time* time, int wait);
int Q5_set_model_rev(int handle, uint32_t value, int wait);
int Q5_get_model_rev(int handle, unsigned char* value, int wait);  // 4 bytes
int Q5_erase_ext_flash(int handle, int* param, int wait);
int Q5_write_ext_flash(int handle, uint16_t block, const void* data, int length, int wait);
int Q5_read_ext_flash(int handle, uint16_t block, unsigned char* data, int wait);
int Q5_flash_FW(int handle, uint32_t encrypted, uint32_t raw_checksum, int wait);
int Q5_restart(int handle);
int Q5_probe(int handle, int tries);
int Q5_test_probe(int handle, const unsigned char* frame, int* type_id, int tries);
