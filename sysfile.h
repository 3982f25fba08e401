// The few file and clock calls of the console units that differ between Linux and Windows;
// everything else they use is standard C and C++, or POSIX calls MinGW-w64 provides as well.
// Replacing a file is SafeFile's (safe_file.h, safe_file_win.cpp).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#ifdef _WIN32
#include <io.h>
#include <windows.h>

// Files are opened in binary mode: a container's bytes are never translated.
constexpr int SYS_OPEN_READ = O_RDONLY | O_BINARY;

inline void sys_blocking(int) {}

inline void sys_local_time(const time_t* seconds, struct tm* out) {
    localtime_s(out, seconds);
}

// Writes `size` bytes at `offset` (the descriptor's position moves; nobody else uses it).
inline long sys_pwrite(int fd, const void* data, unsigned size, long offset) {
    if (_lseeki64(fd, offset, SEEK_SET) < 0) return -1;
    return _write(fd, data, size);
}

#else

// A FIFO named as a file must not block the open: it is refused once opened.
constexpr int SYS_OPEN_READ = O_RDONLY | O_NONBLOCK | O_CLOEXEC;

// Back to blocking reads once the file was found to be a regular one.
inline void sys_blocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
}

inline void sys_local_time(const time_t* seconds, struct tm* out) {
    localtime_r(seconds, out);
}

inline long sys_pwrite(int fd, const void* data, unsigned size, long offset) {
    return pwrite(fd, data, size, offset);
}

#endif
