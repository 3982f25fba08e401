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
#include "xfw.h"

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

// A buffer of the container writer: its only heap memory. Null when it cannot be had.
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

// ---- firmware container (layout: xfw.h) ---------------------------------------------------------

namespace {

// The writer's piece of the image in memory: a multiple of 4, small enough to stay in cache.
constexpr size_t XFW_PIECE = 256 * 1024;

// The largest image whose length, a multiple of 4, fits the 32-bit size field.
constexpr uint64_t XFW_MAX_IMAGE = 0xFFFFFFFCu;

// The writer's pass over the image, a piece at a time: the checksum of the words before
// scrambling, optional scrambling in place, the checksum of the words as they are left. Pieces
// are multiples of 4 bytes; `word` is the index of the next word.
struct ImagePass {
    bool scramble;
    uint64_t word = 0;
    xfw_sums sums{0, 0};

    void run(unsigned char* p, size_t size) {
        const size_t words = size / 4;
        if (!scramble) {
            for (size_t i = 0; i < words; ++i) sums.raw ^= get_u32le(p + 4 * i);
            sums.stored = sums.raw;
        } else {
            for (size_t i = 0; i < words; ++i) {
                uint32_t w = get_u32le(p + 4 * i);
                sums.raw ^= w;
                w ^= xfw_scramble_key(static_cast<uint32_t>(word + i));
                sums.stored ^= w;
                put_u32le(p + 4 * i, w);
            }
        }
        word += words;
    }
};

void build_header(unsigned char* h, const char* model, uint32_t size, int dev_type, int major,
                  int minor, xfw_sums sums, bool scrambled, const struct tm& now) {
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
    xfw_file raw;
    if (!xfw_open(raw_path, &raw)) {
        log_write("MAIN", "Error loading file:%s!\n", raw_path);
        return -1;
    }
    log_write("MAIN", "Reading file %s...", raw_path);

    // A negative limit means none: the file's own length.
    const uint64_t file_len = raw.length;
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
        if (fread(piece.get(), 1, from_file, raw.f.get()) != from_file) {
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
    raw.f.reset();

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
    const bool headed = writing && out.write_at(header, sizeof header, 0);
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

// Asks for the container's name, the given default shown and kept on an empty answer.
void ask_container_name(char* name, const char* default_name) {
    snprintf(name, FILE_NAME_MAX + 1, "%s", default_name ? default_name : "");
    input_string_msg(name, 0, FILE_NAME_MAX, "Enter XFW file name");
}

// Opens a container, printing "Reading file" once it is open, or "Error loading file" (a
// missing file, not a regular file).
bool open_container(const char* name, xfw_file* file) {
    if (!xfw_open(name, file)) {
        log_write("MAIN", "Error loading file:%s!\n", name);
        return false;
    }
    log_write("MAIN", "Reading file %s...", name);
    return true;
}

// The upload's lines: the erase, then each block's "Writing block" line ended by "Ok." or
// "Error!".
void upload_progress(void*, xfw_step step, int block, int blocks, bool done, int result) {
    if (step == xfw_step::erase) {
        if (!done)
            log_write("MAIN", "Erasing external flash....");
        else if (cmd_request_ok("Q5_cmd_upload_xfw", result))
            log_append("MAIN", "Ok.\n");
        return;
    }
    if (!done)
        log_write("MAIN", "Writing block %d of %d...", block + 1, blocks);
    else
        log_append("MAIN", result == 0 ? "Ok.\n" : "Error!\n");
}

}  // namespace

// Checks a container completely before anything is sent: device type, size against the data
// that follows the header, both checksums. Then erases the external flash and writes the data
// area (the bytes after the header) in blocks of 48000.
int Q5_cmd_upload_xfw(char*, const char* xfw_name, int dev_type, int length_limit) {
    if (!cmd_connected()) return -1;
    char name[FILE_NAME_MAX + 1];
    ask_container_name(name, xfw_name);

    xfw_file file;
    if (!open_container(name, &file)) return -1;
    xfw_image image;
    switch (xfw_read_image(&file, dev_type, length_limit, &image)) {
        case XFW_OK:
            break;
        case XFW_WRONG_TYPE:
            log_write("MAIN", "Invalid XFW file!\n");
            return -1;
        case XFW_TOO_LONG:
            log_write("MAIN", "Error,file longer than 0x%x!\n", static_cast<unsigned>(image.limit));
            return -1;
        default:
            log_write("MAIN", "Error loading file:%s!\n", name);
            return -1;
    }
    const xfw_header& h = image.header;
    log_write("MAIN", "Ok (size=0x%x,flags=0x%.2x).\n", h.size, h.flags);
    file.f.reset();

    log_write("MAIN", "Version:%d.%.2d\n", static_cast<int>((h.version >> 8) & 0xFF),
              static_cast<int>(h.version & 0xFF));
    log_write("MAIN", "Encrypted:0x%.2x\n", h.flags & XFW_FLAG_SCRAMBLED);
    log_write("MAIN", "Calc raw checksum:0x%.8x\n", image.sums.raw);
    log_write("MAIN", "Calc enc checksum:0x%.8x\n", image.sums.stored);
    log_write("MAIN", "File raw checksum:0x%.8x\n", h.raw_checksum);
    log_write("MAIN", "File enc checksum:0x%.8x\n", h.enc_checksum);
    switch (xfw_check_sums(image)) {
        case XFW_RAW_SUM:
            log_write("MAIN", "Raw chsum wrong!\n");
            return -1;
        case XFW_ENC_SUM:
            log_write("MAIN", "Enc chsum wrong!\n");
            return -1;
        default:
            break;
    }
    return xfw_upload(id_conn, image.data.get(), image.length, upload_progress, nullptr) == 0 ? 0
                                                                                              : -1;
}

// Tells the device to program itself from the external flash with the container's scramble
// flag and raw checksum, then ends the connection. Only the header is read.
int Q5_cmd_flash_fw(char*, const char* xfw_name) {
    if (!cmd_connected()) return -1;
    char name[FILE_NAME_MAX + 1];
    ask_container_name(name, xfw_name);

    xfw_file file;
    if (!open_container(name, &file)) return -1;
    xfw_header h;
    if (xfw_read_header(&file, &h) != XFW_OK) {
        log_write("MAIN", "Error loading file:%s!\n", name);
        return -1;
    }
    file.f.reset();
    log_write("MAIN", "Ok.\n");

    log_write("MAIN", "Encrypted:0x%.2x\n", h.flags & XFW_FLAG_SCRAMBLED);
    log_write("MAIN", "Raw checksum:0x%.8x\n", h.raw_checksum);
    log_write("MAIN", "Enc checksum:0x%.8x\n", h.enc_checksum);
    log_write("MAIN", "Starting memory flashing process...");
    if (!cmd_request_ok(__func__, xfw_flash(id_conn, h))) return -1;
    QXX_disconnect(id_conn);
    return 0;
}
