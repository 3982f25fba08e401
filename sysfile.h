// The few file, console and clock calls of the console units that differ between Linux and
// Windows, and what the operator is told to do when the system will not let nv-term use the
// instrument's USB device; everything else they use is standard C and C++, or POSIX calls MinGW-w64
// provides as well. Replacing a file is SafeFile's (safe_file.h, safe_file_win.cpp).
//
// Text inside the program is UTF-8 on every system. On Windows the edges convert (sysfile_win.cpp):
// the command line is read wide, file names become UTF-16 full paths with the \\?\ prefix (any
// name, any length up to the system's limit), a console is read as UTF-16 and its output code
// page is UTF-8 while the program runs. No application manifest is needed for any of it.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#ifdef _WIN32
#include <io.h>
#include <windows.h>

#include <string>

// First thing in main: the arguments in UTF-8 from the wide command line, and an attached
// console's input and output code pages UTF-8 until the program ends (restored at exit and on
// every console event that ends it).
void sys_start(int* argc, char*** argv);
// fgets for the console's input: a console is read as UTF-16 and handed on as UTF-8, CR LF as
// LF; a pipe or a file is read as it is (standard input in binary mode, set by sys_start). On
// both, a line that starts with Ctrl-Z is the end of input.
char* sys_read_line(char* buffer, int size, FILE* stream);
// True when `stream` is standard input and that is a console (which must not be read but
// through sys_read_line).
bool sys_is_console(FILE* stream);
// Opens the file named in UTF-8 for binary reading; -1 (errno set) when it cannot be.
int sys_open_read(const char* path);

// UTF-8 and UTF-16. Text that is not valid UTF-8 is read in the system's ANSI code page.
std::wstring sys_wide(const char* utf8);
std::string sys_utf8(const wchar_t* wide);
// The full path of `utf8` as the wide calls take it: \\?\C:\... or \\?\UNC\server\...
// (devices as \\.\NAME); empty when there is none.
std::wstring sys_wide_path(const char* utf8);
// One read of at most `max` UTF-16 characters from the console: the count, 0 at its end, -1
// when standard input is no console. Tests replace it.
extern int (*sys_console_chars)(wchar_t* out, int max);

// The driver file comes with nv-term; 64-bit Windows installs it only with a signed catalog,
// which the maker supplies or the service PC makes (README.txt says how).
constexpr const char* SYS_USB_ACCESS_ADVICE =
    "Bind it once, as administrator, in nv-term's folder: pnputil /add-driver nv52-winusb.inf "
    "/install, then re-plug the instrument.\n"
    "64-bit Windows takes nv52-winusb.inf only with its catalog nv52-winusb.cat signed: ask the "
    "maker for it, or sign one on this PC as README.txt says (\"USB: the first plug-in\").\n";

// Files are opened in binary mode: a container's bytes are never translated.
constexpr int SYS_OPEN_READ = O_RDONLY | O_BINARY;

inline void sys_blocking(int) {}

inline void sys_local_time(const time_t* seconds, struct tm* out) {
    localtime_s(out, seconds);
}

#else

// The rules file comes with nv-term; plugdev is the group it gives the instrument to.
constexpr const char* SYS_USB_ACCESS_ADVICE =
    "Install udev/60-nv52.rules into /etc/udev/rules.d, add your user to the group plugdev, log "
    "in again and re-plug the instrument.\n";

// A FIFO named as a file must not block the open: it is refused once opened.
constexpr int SYS_OPEN_READ = O_RDONLY | O_NONBLOCK | O_CLOEXEC;

// Names and the console are UTF-8 (or whatever bytes the user's locale gives) as they stand.
inline void sys_start(int*, char***) {}
inline char* sys_read_line(char* buffer, int size, FILE* stream) {
    return fgets(buffer, size, stream);
}
inline bool sys_is_console(FILE*) {
    return false;
}
inline int sys_open_read(const char* path) {
    return open(path, SYS_OPEN_READ);
}

// Back to blocking reads once the file was found to be a regular one.
inline void sys_blocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
}

inline void sys_local_time(const time_t* seconds, struct tm* out) {
    localtime_r(seconds, out);
}

#endif
