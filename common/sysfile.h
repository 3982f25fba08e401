// The few file, console and clock calls of the console units that differ between Linux and
// Windows, and what the operator is told to do when the system will not let nv-term use the
// instrument's USB device; everything else they use is standard C and C++, or POSIX calls MinGW-w64
// provides as well. Replacing a file is SafeFile's (safe_file.h, safe_file_win.cpp).
//
// Each system's are in sysfile_posix.cpp and sysfile_win.cpp; the Windows-only conversions they
// use are in sysfile_win.h. Text inside the program is UTF-8 on every system. On Windows the
// edges convert (sysfile_win.cpp):
// the command line is read wide, file names become UTF-16 full paths with the \\?\ prefix (any
// name, any length up to the system's limit), a console is read as UTF-16 and its output code
// page is UTF-8 while the program runs. No application manifest is needed for any of it.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

// First thing in main. On Windows: the arguments in UTF-8 from the wide command line, and an
// attached console's input and output code pages UTF-8 until the program ends (restored at exit
// and on every console event that ends it). Nothing elsewhere.
void sys_start(int* argc, char*** argv);
// fgets for the console's input. On Windows a console is read as UTF-16 and handed on as UTF-8,
// CR LF as LF; a pipe or a file is read as it is (standard input in binary mode, set by
// sys_start); on both, a line that starts with Ctrl-Z is the end of input. Elsewhere fgets.
char* sys_read_line(char* buffer, int size, FILE* stream);
// True when `stream` is standard input and that is a Windows console (which must not be read
// but through sys_read_line).
bool sys_is_console(FILE* stream);
// Opens the file named in UTF-8 for binary reading; -1 (errno set) when it cannot be. Elsewhere
// a FIFO named as a file must not block the open: it is opened non-blocking, and examined after.
int sys_open_read(const char* path);
// Back to blocking reads once the file was found to be a regular one.
void sys_blocking(int fd);
void sys_local_time(const time_t* seconds, struct tm* out);

// What the operator is told to do when the system will not let nv-term use the instrument's USB
// device: install the udev rule (Linux), bind the device to WinUSB (Windows).
extern const char* const SYS_USB_ACCESS_ADVICE;
