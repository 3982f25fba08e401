// What nv-service asks of the system, in one place per system (svc_sys_posix.cpp,
// svc_sys_win.cpp): who and where it runs, the terminal, the serial ports, the clock, folders
// and the appending of whole records.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

std::string svc_host_name();
std::string svc_user_name();
// The service record's default place: $XDG_STATE_HOME/nv-term/service.jsonl (else
// ~/.local/state/...), %LOCALAPPDATA%\nv-term\service.jsonl on Windows. "" when there is none.
std::string svc_default_record();
// Makes the folders of `path` up to the file's own that do not exist yet (private to the user).
// False with errno.
bool svc_make_folders(const std::string& path);
// Makes the folder `path` when it does not exist. False with errno.
bool svc_make_folder(const std::string& path);
// Whether something of that name exists (a link, even a dangling one, counts).
bool svc_exists(const std::string& path);

bool svc_is_terminal(FILE* stream);
int svc_terminal_width(FILE* stream);  // 80 when it cannot be told

// A serial port of this machine: the path (or COMn) that opens it, its stable
// /dev/serial/by-id path where it has one, and a name that says what it is (then its /dev
// node, or Windows' friendly name); "" when there is none.
struct svc_port {
    std::string device;
    std::string name;
};
std::vector<svc_port> svc_serial_ports();

// Appends `bytes` to the open file `fd` as one whole: under an exclusive lock of the file (two
// programs appending at once never interleave), synced to the disk. A write that falls short (a
// full disk) is taken back, so the file ends as it did. False with errno.
bool svc_append(int fd, const std::string& bytes);
void svc_close(int fd);

// The calendar time in UTC of `seconds` since the epoch.
void svc_utc_tm(int64_t seconds, struct tm* out);
// The PC's local calendar time now.
void svc_local_now(struct tm* out);

// ---- the same on every system (svc_sys.cpp) -----------------------------------------------------

// UTC as ISO 8601: "2026-12-07T10:00:00Z", with `millis` "2026-12-07T10:00:00.123Z".
std::string svc_utc_text(int64_t ms_since_epoch, bool millis);
// UTC as a file name's stamp: "20261207T100000Z".
std::string svc_utc_stamp(int64_t ms_since_epoch);
int64_t svc_now_ms();
