// The firmware container (.xfw): its layout, reading and checking one, and sending its image to
// a device (erase, then the blocks) and asking the device to flash it. Shared by the console's
// upload and flash commands and by nv-service; nothing here prints.
//
//   offset  width  field
//        0     20  magic         "ORVANTIS FIRMWARE", NUL-filled
//       20     20  model         NUL-filled; 20 characters or more are cut, unterminated
//       40      4  size          image bytes after the header, a multiple of 4
//       44      4  dev_type      device kind the image is meant for
//       48      4  version       major << 8 | minor
//       52      4  raw_checksum  XOR of the image words before scrambling
//       56      4  enc_checksum  XOR of the image words as stored
//       60      4  date          year << 16 | month << 8 | day, local time of creation
//       64      4  time          hour << 16 | minute << 8 | second
//       68      4  flags         bit 0: the image is scrambled
//
// All numbers little-endian. Image word i is bytes 4i..4i+3; scrambling XORs it with i^4
// (32-bit, wrapping), which is its own inverse.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

constexpr int XFW_HEADER_SIZE = 72;
constexpr char XFW_MAGIC[] = "ORVANTIS FIRMWARE";
constexpr int XFW_FIELD_TEXT = 20;
constexpr int XFW_OFF_MAGIC = 0;
constexpr int XFW_OFF_MODEL = 20;
constexpr int XFW_OFF_SIZE = 40;
constexpr int XFW_OFF_DEV_TYPE = 44;
constexpr int XFW_OFF_VERSION = 48;
constexpr int XFW_OFF_RAW_CHECKSUM = 52;
constexpr int XFW_OFF_ENC_CHECKSUM = 56;
constexpr int XFW_OFF_DATE = 60;
constexpr int XFW_OFF_TIME = 64;
constexpr int XFW_OFF_FLAGS = 68;
constexpr uint32_t XFW_FLAG_SCRAMBLED = 1;

// The upload: blocks of 48000 bytes, each sent at most 5 times. Block numbers are 16 bits, so a
// longer data area cannot be placed in the external flash.
constexpr int XFW_BLOCK = 48000;
constexpr int XFW_BLOCK_ATTEMPTS = 5;
constexpr uint64_t XFW_MAX_DATA = uint64_t{65536} * XFW_BLOCK;

inline uint32_t xfw_scramble_key(uint32_t i) {
    return i * i * i * i;
}

// The header's fields as they stand in the file; the texts cut at their first NUL.
struct xfw_header {
    char magic[XFW_FIELD_TEXT + 1];
    char model[XFW_FIELD_TEXT + 1];
    uint32_t size, dev_type, version, raw_checksum, enc_checksum, date, time, flags;
};
void xfw_parse_header(const unsigned char* bytes, xfw_header* out);
// The header starts with the container's magic text.
bool xfw_is_container(const xfw_header& h);

struct xfw_sums {
    uint32_t raw;     // XOR of the image words before scrambling
    uint32_t stored;  // XOR of the image words as stored
};
// The checksums of an image as stored, without changing it: `raw` undoes the scrambling when
// the image is scrambled.
xfw_sums xfw_checksums(const unsigned char* image, uint64_t size, bool scrambled);

// A regular file open for binary reading, and its length. Anything else (a directory, a FIFO
// whose open or read would block, a device) is refused like a missing file.
struct xfw_file_closer {
    void operator()(FILE* f) const { fclose(f); }
};
struct xfw_file {
    std::unique_ptr<FILE, xfw_file_closer> f;
    uint64_t length = 0;
};
bool xfw_open(const char* path, xfw_file* out);

// Results of reading a container.
enum xfw_result {
    XFW_OK = 0,
    XFW_SHORT = 1,       // shorter than its header, or than the image its header announces
    XFW_WRONG_TYPE = 2,  // made for another kind of device
    XFW_TOO_LONG = 3,    // the header's size exceeds the data that follows, or too long to place
    XFW_NO_MEMORY = 4,   // no room for the data area
    XFW_RAW_SUM = 5,     // the image's raw checksum is not the header's
    XFW_ENC_SUM = 6,     // the image's stored checksum is not the header's
};

// Reads the 72-byte header at the file's start: XFW_OK or XFW_SHORT. The file stays at the
// first image byte.
int xfw_read_header(xfw_file* file, xfw_header* out);

// A container's data area in memory: the bytes after the header (or `length_limit` of them),
// 0xFF where the image ends before it. For a well-formed container it is exactly the image.
struct xfw_image {
    xfw_header header{};
    std::unique_ptr<unsigned char[]> data;
    uint64_t length = 0;
    xfw_sums sums{0, 0};  // computed over the data area
    uint64_t limit = 0;   // with XFW_TOO_LONG: the length the image was measured against
};
// Reads the header and the data area of an open container made for `dev_type` (length_limit -1:
// the file's length decides), and computes its checksums. XFW_OK (the checksums are checked
// apart, xfw_check_sums), XFW_SHORT, XFW_WRONG_TYPE, XFW_TOO_LONG or XFW_NO_MEMORY.
int xfw_read_image(xfw_file* file, int dev_type, int length_limit, xfw_image* out);
// XFW_OK, XFW_RAW_SUM or XFW_ENC_SUM (the raw checksum is checked first).
int xfw_check_sums(const xfw_image& image);

// ---- sending it ---------------------------------------------------------------------------------

enum class xfw_step { erase, block };
// Told of each step of an upload before it starts (`done` false) and when it ended (`done`
// true, with the result of its request; for a block that of its last attempt). Blocks count
// from 0 of `blocks`.
typedef void (*xfw_progress)(void* user, xfw_step step, int block, int blocks, bool done,
                             int result);

// The number of blocks a data area of `length` bytes is sent in.
int xfw_block_count(uint64_t length);
// Erases the device's external flash, then writes `data` in blocks of XFW_BLOCK, the last one
// holding the rest; a failed block is sent again, at most XFW_BLOCK_ATTEMPTS times in all.
// Returns 0, or the failing request's result (the erase's, or a block's last attempt's): nothing
// more is sent after a failure.
int xfw_upload(int handle, const unsigned char* data, uint64_t length, xfw_progress progress,
               void* user);
// Asks the device to program itself from its external flash with the container's scramble flag
// and raw checksum, and waits for its answer: the request's result.
int xfw_flash(int handle, const xfw_header& header);
