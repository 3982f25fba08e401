// Q5 console commands and menu, the firmware container writer, upload and flashing.
//
// Every command runs on the console thread. A command reads `connected` first and sends
// nothing when no device is linked; a failing wrapper is reported with the command's own name.
#include "q5_cmds.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "q5_comm.h"
#include "qxx_cmds.h"
#include "qxx_comm.h"
#include "safe_file.h"
#include "safe_text.h"
#include "sysfile.h"

char serial_no[9];

namespace {

void system_local_now(struct tm* now) {
    time_t seconds = time(nullptr);
    sys_local_time(&seconds, now);
}

}  // namespace

q5_clock_proc Q5_local_now = system_local_now;

namespace {

constexpr int FILE_NAME_MAX = 255;  // file names asked at the console

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Opens a regular file for binary reading and finds its length. Anything else (a directory, a
// FIFO whose open or read would block, a device) is refused like a missing file.
File open_regular(const char* path, off_t* length) {
    int fd = sys_open_read(path);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    sys_blocking(fd);
    FILE* f = fdopen(fd, "rb");
    if (f == nullptr) {
        close(fd);
        return nullptr;
    }
    *length = st.st_size;
    return File(f);
}

// An image buffer: the only heap memory of the firmware commands. Null when it cannot be had.
std::unique_ptr<unsigned char[]> image_buffer(size_t size) {
    return std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[size ? size : 1]);
}

// ---- calendar ----------------------------------------------------------------------------------

bool leap_year(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int days_in_month(int year, int month) {
    constexpr int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leap_year(year) ? 29 : days[month - 1];
}

// Moves a calendar time by whole hours (|offset| < 24): the hour wraps by 24 and carries one
// day forward or back, month and year following. Done on the broken-down time so that a
// daylight-saving change cannot move the result by another hour.
void shift_hours(q5_time* t, int offset) {
    t->hour += offset;
    if (t->hour >= 24) {
        t->hour -= 24;
        if (++t->day > days_in_month(t->year, t->month)) {
            t->day = 1;
            if (++t->month > 12) {
                t->month = 1;
                ++t->year;
            }
        }
    } else if (t->hour < 0) {
        t->hour += 24;
        if (--t->day < 1) {
            if (--t->month < 1) {
                t->month = 12;
                --t->year;
            }
            t->day = days_in_month(t->year, t->month);
        }
    }
}

}  // namespace

// ---- console commands --------------------------------------------------------------------------

int Q5_cmd_get_fw_version(char*, int) {
    if (!cmd_connected()) return -1;
    char version[Q5_FW_VERSION_LEN + 1] = {};
    int r = Q5_get_fw_version(id_conn, version, 1);
    if (!cmd_request_ok(__func__, r)) return -1;
    log_write("MAIN", "FW Version=%s\n", device_text(version, Q5_FW_VERSION_LEN).c_str());
    return 0;
}

int Q5_cmd_get_serial(char*, int) {
    if (!cmd_connected()) return -1;
    int r = Q5_get_serial(id_conn, serial_no, 1);
    if (!cmd_request_ok(__func__, r)) return -1;
    log_write("MAIN", "Serial = %s\n", device_text(serial_no, sizeof serial_no).c_str());
    return 0;
}

// With a prefix letter only the last four characters are asked for; the serial becomes the
// letter, "000" and those four.
int Q5_cmd_set_serial(char* line, int prefix) {
    if (!cmd_connected()) return -1;
    char current[Q5_SERIAL_LEN + 1];
    int r = Q5_get_serial(id_conn, current, 1);
    if (!cmd_request_ok(__func__, r)) return -1;

    char serial[Q5_SERIAL_LEN + 1] = {};
    if (prefix != 0) {
        char tail[5] = "0000";
        if (strlen(current) == Q5_SERIAL_LEN) memcpy(tail, current + 4, 4);
        input_string_msg_cmd(tail, 4, 4, "Enter serial", line, 1);
        snprintf(serial, sizeof serial, "%c000%.4s", static_cast<char>(prefix), tail);
    } else {
        char full[Q5_SERIAL_LEN + 1] = "00000000";
        input_string_msg_cmd(full, Q5_SERIAL_LEN, Q5_SERIAL_LEN, "Enter serial", line, 1);
        memcpy(serial, full, sizeof serial);
    }

    log_write("MAIN", "Setting serial to:%s\n", device_text(serial, sizeof serial).c_str());
    r = Q5_set_serial(id_conn, serial, 1);
    if (!cmd_request_ok(__func__, r)) return -1;
    return 0;
}

int Q5_cmd_get_time(char*, int) {
    if (!cmd_connected()) return -1;
    q5_time t{};
    int r = Q5_get_time(id_conn, &t, 1);
    if (!cmd_request_ok(__func__, r)) return -1;
    log_write("MAIN", "Device time: %.4d/%.2d/%.2d  %.2d:%.2d:%.2d\n", t.year, t.month, t.day,
              t.hour, t.minute, t.second);
    return 0;
}

// Sets the device to the PC's local time moved by a whole number of hours (-12..12), typed after
// the command or asked for.
int Q5_cmd_set_time(char* line, int) {
    if (!cmd_connected()) return -1;
    int32_t offset = 0;
    input_integer_msg_cmd(&offset, -12, 12, "Enter offset", line, 1);

    struct tm now {};
    Q5_local_now(&now);
    q5_time t{now.tm_year + 1900, now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec};
    shift_hours(&t, offset);

    log_write("MAIN", "Setting device time: %.4d/%.2d/%.2d  %.2d:%.2d:%.2d ...", t.year, t.month,
              t.day, t.hour, t.minute, t.second);
    int r = Q5_set_time(id_conn, &t, 1);
    if (!cmd_request_ok(__func__, r)) return -1;
    log_append("MAIN", "Ok.\n");
    return 0;
}

int Q5_cmd_restart(char*, int) {
    if (!cmd_connected()) return -1;
    log_append("MAIN", "Restarting device.\n");
    int r = Q5_restart(id_conn);
    if (!cmd_request_ok(__func__, r)) return -1;
    return QXX_disconnect(id_conn);
}

// A Q5 board sends no event this console shows.
int Q5_cmd_hook_events(void) {
    return 0;
}

int Q5_cmd_create_menu(menu* m) {
    struct Row {
        const char* code;
        const char* name;
        const char* help;
        menu_handler handler;
    };
    static constexpr Row rows[] = {
        {"ve", "version", "displays device firmware version", Q5_cmd_get_fw_version},
        {"gs", "get serial", "displays device serial number", Q5_cmd_get_serial},
        {"ss", "set serial", "sets device serial number", Q5_cmd_set_serial},
        {"gt", "get time", "displays device date/time", Q5_cmd_get_time},
        {"st", "set time", "sets device date/time", Q5_cmd_set_time},
        {"re", "restart", "restarts device", Q5_cmd_restart},
    };
    for (const Row& row : rows) menu_add(m, row.code, row.name, row.help, row.handler);
    return 0;
}

// ---- firmware container ------------------------------------------------------------------------
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

namespace {

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

// The writer's piece of the image in memory: a multiple of 4, small enough to stay in cache.
constexpr size_t XFW_PIECE = 256 * 1024;

// The largest image whose length, a multiple of 4, fits the 32-bit size field.
constexpr uint64_t XFW_MAX_IMAGE = 0xFFFFFFFCu;

inline uint32_t scramble_key(uint32_t i) {
    return i * i * i * i;
}

struct Checksums {
    uint32_t raw;
    uint32_t stored;
};

// The writer's pass over the image, a piece at a time: the checksum of the words before
// scrambling, optional scrambling in place, the checksum of the words as they are left. Pieces
// are multiples of 4 bytes; `word` is the index of the next word.
struct ImagePass {
    bool scramble;
    uint64_t word = 0;
    Checksums sums{0, 0};

    void run(unsigned char* p, size_t size) {
        const size_t words = size / 4;
        if (!scramble) {
            for (size_t i = 0; i < words; ++i) sums.raw ^= get_u32le(p + 4 * i);
            sums.stored = sums.raw;
        } else {
            for (size_t i = 0; i < words; ++i) {
                uint32_t w = get_u32le(p + 4 * i);
                sums.raw ^= w;
                w ^= scramble_key(static_cast<uint32_t>(word + i));
                sums.stored ^= w;
                put_u32le(p + 4 * i, w);
            }
        }
        word += words;
    }
};

// The checksums of an image as stored, without changing it: `raw` undoes the scrambling when
// the flag says it was applied.
Checksums image_checksums(const unsigned char* image, uint64_t size, bool scrambled) {
    Checksums sums{0, 0};
    const uint64_t words = size / 4;
    for (uint64_t i = 0; i < words; ++i) {
        uint32_t w = get_u32le(image + 4 * i);
        sums.stored ^= w;
        sums.raw ^= scrambled ? w ^ scramble_key(static_cast<uint32_t>(i)) : w;
    }
    return sums;
}

void build_header(unsigned char* h, const char* model, uint32_t size, int dev_type, int major,
                  int minor, Checksums sums, bool scrambled, const struct tm& now) {
    memset(h, 0, XFW_HEADER_SIZE);
    memcpy(h + XFW_OFF_MAGIC, XFW_MAGIC, sizeof XFW_MAGIC - 1);
    if (model) strncpy(reinterpret_cast<char*>(h + XFW_OFF_MODEL), model, XFW_FIELD_TEXT);
    put_u32le(h + XFW_OFF_SIZE, size);
    put_u32le(h + XFW_OFF_DEV_TYPE, static_cast<uint32_t>(dev_type));
    put_u32le(h + XFW_OFF_VERSION, static_cast<uint32_t>(((major & 0xFF) << 8) | (minor & 0xFF)));
    put_u32le(h + XFW_OFF_RAW_CHECKSUM, sums.raw);
    put_u32le(h + XFW_OFF_ENC_CHECKSUM, sums.stored);
    uint32_t year = static_cast<uint32_t>(now.tm_year + 1900);
    uint32_t month = static_cast<uint32_t>(now.tm_mon + 1);
    put_u32le(h + XFW_OFF_DATE, year << 16 | month << 8 | static_cast<uint32_t>(now.tm_mday));
    put_u32le(h + XFW_OFF_TIME, static_cast<uint32_t>(now.tm_hour) << 16 |
                                    static_cast<uint32_t>(now.tm_min) << 8 |
                                    static_cast<uint32_t>(now.tm_sec));
    put_u32le(h + XFW_OFF_FLAGS, scrambled ? XFW_FLAG_SCRAMBLED : 0);
}

// After a container could not be written: why, when the reason is one the operator can remedy.
// On Windows another program that holds the old file open keeps it from being replaced.
void say_if_in_use(int error) {
    if (error == EBUSY)
        log_error("The file is in use by another program: close it there, then try again.\n");
}

}  // namespace

// Builds a container from a raw image in one pass: each piece of the image is read, checksummed,
// scrambled and written to the container's replacement, whose header is filled in last. The
// replacement takes the container's place only when complete (safe_file.h); on any failure the
// old container stays as it was.
int Q5_create_xfw(const char* raw_path, const char* xfw_path, int major, int minor, int scramble,
                  const char* model, int length_limit, int dev_type) {
    off_t file_length = 0;
    File raw = open_regular(raw_path, &file_length);
    if (!raw) {
        log_write("MAIN", "Error loading file:%s!\n", raw_path);
        return -1;
    }
    log_write("MAIN", "Reading file %s...", raw_path);

    // A negative limit means none: the file's own length.
    const uint64_t file_len = static_cast<uint64_t>(file_length);
    const uint64_t limit = length_limit < 0 ? file_len : static_cast<uint64_t>(length_limit);
    if (file_len > limit) {
        log_write("MAIN", "Error,file longer than 0x%x!\n", static_cast<unsigned>(limit));
        return -1;
    }
    const uint64_t image_len = (limit + 3) & ~uint64_t{3};
    if (image_len > XFW_MAX_IMAGE) {
        log_write("MAIN", "Error,file longer than 0x%x!\n", static_cast<unsigned>(XFW_MAX_IMAGE));
        return -1;
    }

    // The container is created before reading so that the image is written as it is read; a
    // failure to create it is reported where the operator expects it, after the checksums.
    SafeFile out;
    bool writing = out.open(xfw_path);
    const bool could_create = writing;
    const int open_error = writing ? 0 : errno;
    unsigned char header[XFW_HEADER_SIZE] = {};
    if (writing) writing = out.write(header, sizeof header);

    auto piece = image_buffer(XFW_PIECE);
    ImagePass pass{scramble != 0};
    bool read_ok = piece != nullptr;
    for (uint64_t done = 0; read_ok && done < image_len;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(XFW_PIECE, image_len - done));
        const size_t from_file =
            done < file_len ? static_cast<size_t>(std::min<uint64_t>(want, file_len - done)) : 0;
        if (fread(piece.get(), 1, from_file, raw.get()) != from_file) {
            read_ok = false;
            break;
        }
        memset(piece.get() + from_file, 0, want - from_file);
        pass.run(piece.get(), want);
        if (writing) writing = out.write(piece.get(), want);
        done += want;
    }
    if (!read_ok) {
        log_write("MAIN", "Error loading file:%s!\n", raw_path);
        return -1;
    }
    log_write("MAIN", "Ok.\n");
    raw.reset();

    log_write("MAIN", "Raw checksum:0x%.8x\n", pass.sums.raw);
    log_write("MAIN", "Enc checksum:0x%.8x\n", pass.sums.stored);
    log_write("MAIN", "Version:%d.%d\n", major, minor);
    log_write("MAIN", "Writing file %s...", xfw_path);
    if (!could_create) {
        log_write("MAIN", "Error writing file:%s!\n", xfw_path);
        say_if_in_use(open_error);
        return -1;
    }
    struct tm now {};
    Q5_local_now(&now);
    build_header(header, model, static_cast<uint32_t>(image_len), dev_type, major, minor, pass.sums,
                 pass.scramble, now);
    const bool headed = writing && sys_pwrite(out.fd(), header, sizeof header, 0) == sizeof header;
    if (!headed || !out.commit()) {
        const int error = headed ? errno : 0;
        log_write("MAIN", "Error creating file:%s!\n", xfw_path);
        say_if_in_use(error);
        return -1;
    }
    log_write("MAIN", "Ok.\n");
    return 0;
}

int Q5_cmd_create_xfw(char*, const char* raw_name, const char* xfw_name, const char* model,
                      int length_limit, int dev_type) {
    char raw[FILE_NAME_MAX + 1];
    char xfw[FILE_NAME_MAX + 1];
    snprintf(raw, sizeof raw, "%s", raw_name ? raw_name : "");
    snprintf(xfw, sizeof xfw, "%s", xfw_name ? xfw_name : "");
    int32_t encrypt = 1, major = 0, minor = 0;
    input_string_msg(raw, 0, FILE_NAME_MAX, "Enter BIN file name");
    input_string_msg(xfw, 0, FILE_NAME_MAX, "Enter XFW file name");
    input_yesno_msg(&encrypt, "Encrypt file");
    input_integer_msg(&major, 0, 255, "Major version:");
    input_integer_msg(&minor, 0, 255, "Minor version:");
    return Q5_create_xfw(raw, xfw, major, minor, encrypt ? 1 : 0, model, length_limit, dev_type);
}

// ---- upload and flashing -----------------------------------------------------------------------

namespace {

constexpr int UPLOAD_BLOCK = 48000;
constexpr int UPLOAD_ATTEMPTS = 5;
// Block numbers are 16 bits: a longer data area cannot be placed in the external flash.
constexpr uint64_t UPLOAD_MAX_DATA = uint64_t{65536} * UPLOAD_BLOCK;

// Asks for the container's name, the given default shown and kept on an empty answer.
void ask_container_name(char* name, const char* default_name) {
    snprintf(name, FILE_NAME_MAX + 1, "%s", default_name ? default_name : "");
    input_string_msg(name, 0, FILE_NAME_MAX, "Enter XFW file name");
}

// Sends one block, repeating a failed request up to UPLOAD_ATTEMPTS times in all.
bool write_block(int block, int total, const unsigned char* data, int length) {
    log_write("MAIN", "Writing block %d of %d...", block + 1, total);
    for (int attempt = 0; attempt < UPLOAD_ATTEMPTS; ++attempt) {
        if (Q5_write_ext_flash(id_conn, static_cast<uint16_t>(block), data, length, 1) == 0) {
            log_append("MAIN", "Ok.\n");
            return true;
        }
    }
    log_append("MAIN", "Error!\n");
    return false;
}

// Opens a container and reads its 72-byte header, printing "Reading file" and, on failure,
// "Error loading file" (a missing file, not a regular file, or shorter than its header). The
// file stays open at the first image byte.
File open_container(const char* name, unsigned char* header, off_t* file_length) {
    File f = open_regular(name, file_length);
    if (!f) {
        log_write("MAIN", "Error loading file:%s!\n", name);
        return nullptr;
    }
    log_write("MAIN", "Reading file %s...", name);
    if (*file_length < XFW_HEADER_SIZE ||
        fread(header, 1, XFW_HEADER_SIZE, f.get()) != XFW_HEADER_SIZE) {
        log_write("MAIN", "Error loading file:%s!\n", name);
        return nullptr;
    }
    return f;
}

}  // namespace

// Checks a container completely before anything is sent: device type, size against the data
// that follows the header, both checksums. Then erases the external flash and writes the data
// area (the bytes after the header) in blocks of 48000.
int Q5_cmd_upload_xfw(char*, const char* xfw_name, int dev_type, int length_limit) {
    if (!cmd_connected()) return -1;
    char name[FILE_NAME_MAX + 1];
    ask_container_name(name, xfw_name);

    off_t file_length = 0;
    unsigned char header[XFW_HEADER_SIZE];
    File f = open_container(name, header, &file_length);
    if (!f) return -1;
    if (get_u32le(header + XFW_OFF_DEV_TYPE) != static_cast<uint32_t>(dev_type)) {
        log_write("MAIN", "Invalid XFW file!\n");
        return -1;
    }
    const uint64_t data_len = length_limit < 0
                                  ? static_cast<uint64_t>(file_length) - XFW_HEADER_SIZE
                                  : static_cast<uint64_t>(length_limit);
    if (data_len > UPLOAD_MAX_DATA) {
        log_write("MAIN", "Error,file longer than 0x%x!\n", static_cast<unsigned>(UPLOAD_MAX_DATA));
        return -1;
    }
    const uint32_t size = get_u32le(header + XFW_OFF_SIZE);
    if (size > data_len) {
        log_write("MAIN", "Error,file longer than 0x%x!\n", static_cast<unsigned>(data_len));
        return -1;
    }
    auto data = image_buffer(data_len);
    if (!data) {
        log_write("MAIN", "Error loading file:%s!\n", name);
        return -1;
    }
    memset(data.get(), 0xFF, data_len);
    if (fread(data.get(), 1, size, f.get()) != size) {
        log_write("MAIN", "Error loading file:%s!\n", name);
        return -1;
    }
    const uint32_t flags = get_u32le(header + XFW_OFF_FLAGS);
    log_write("MAIN", "Ok (size=0x%x,flags=0x%.2x).\n", size, flags);
    f.reset();

    const bool scrambled = (flags & XFW_FLAG_SCRAMBLED) != 0;
    const Checksums calc = image_checksums(data.get(), data_len, scrambled);
    const uint32_t version = get_u32le(header + XFW_OFF_VERSION);
    const uint32_t file_raw = get_u32le(header + XFW_OFF_RAW_CHECKSUM);
    const uint32_t file_enc = get_u32le(header + XFW_OFF_ENC_CHECKSUM);
    log_write("MAIN", "Version:%d.%.2d\n", static_cast<int>((version >> 8) & 0xFF),
              static_cast<int>(version & 0xFF));
    log_write("MAIN", "Encrypted:0x%.2x\n", flags & XFW_FLAG_SCRAMBLED);
    log_write("MAIN", "Calc raw checksum:0x%.8x\n", calc.raw);
    log_write("MAIN", "Calc enc checksum:0x%.8x\n", calc.stored);
    log_write("MAIN", "File raw checksum:0x%.8x\n", file_raw);
    log_write("MAIN", "File enc checksum:0x%.8x\n", file_enc);
    if (file_raw != calc.raw) {
        log_write("MAIN", "Raw chsum wrong!\n");
        return -1;
    }
    if (file_enc != calc.stored) {
        log_write("MAIN", "Enc chsum wrong!\n");
        return -1;
    }

    log_write("MAIN", "Erasing external flash....");
    int param = 0;
    int r = Q5_erase_ext_flash(id_conn, &param, 1);
    if (!cmd_request_ok(__func__, r)) return -1;
    log_append("MAIN", "Ok.\n");

    const int full = static_cast<int>(data_len / UPLOAD_BLOCK);
    const int rest = static_cast<int>(data_len % UPLOAD_BLOCK);
    const int total = full + (rest ? 1 : 0);
    for (int n = 0; n < total; ++n) {
        int length = n < full ? UPLOAD_BLOCK : rest;
        if (!write_block(n, total, data.get() + uint64_t{UPLOAD_BLOCK} * n, length)) return -1;
    }
    return 0;
}

// Tells the device to program itself from the external flash with the container's scramble
// flag and raw checksum, then ends the connection. Only the header is read.
int Q5_cmd_flash_fw(char*, const char* xfw_name) {
    if (!cmd_connected()) return -1;
    char name[FILE_NAME_MAX + 1];
    ask_container_name(name, xfw_name);

    off_t file_length = 0;
    unsigned char header[XFW_HEADER_SIZE];
    File f = open_container(name, header, &file_length);
    if (!f) return -1;
    f.reset();
    log_write("MAIN", "Ok.\n");

    const uint32_t encrypted = get_u32le(header + XFW_OFF_FLAGS) & XFW_FLAG_SCRAMBLED;
    const uint32_t raw = get_u32le(header + XFW_OFF_RAW_CHECKSUM);
    log_write("MAIN", "Encrypted:0x%.2x\n", encrypted);
    log_write("MAIN", "Raw checksum:0x%.8x\n", raw);
    log_write("MAIN", "Enc checksum:0x%.8x\n", get_u32le(header + XFW_OFF_ENC_CHECKSUM));
    log_write("MAIN", "Starting memory flashing process...");
    int r = Q5_flash_FW(id_conn, encrypted, raw, 1);
    if (!cmd_request_ok(__func__, r)) return -1;
    QXX_disconnect(id_conn);
    return 0;
}
