// Reading a spectrum file on POSIX systems: the name is examined before anything is opened.
//
// Opening a device is itself an act (opening a watchdog arms it, opening a tape rewinds it, a
// FIFO's opening blocks until a writer comes). So the name is first opened with O_PATH, which
// reaches the inode and calls no driver, and is refused unless it is a regular file; the file
// is then opened for reading through that very descriptor (/proc/self/fd), so a name swapped
// in between changes nothing. Where /proc is not mounted the name is opened again and its
// device and inode must still be those examined; only that second open could then reach a node
// swapped in within the moment between the two calls.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "spc_spectrum.h"

namespace {

struct fd_closer {
    int fd = -1;
    ~fd_closer() {
        if (fd >= 0) close(fd);
    }
};

std::string kind_refusal(const struct stat& st) {
    if (S_ISREG(st.st_mode)) return "";
    if (S_ISDIR(st.st_mode)) return "is a directory";
    if (S_ISFIFO(st.st_mode)) return "not a regular file (a FIFO); use - for standard input";
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "not a regular file (a device)";
    if (S_ISSOCK(st.st_mode)) return "not a regular file (a socket)";
    return "not a regular file";
}

bool read_all(int fd, size_t expected, std::string* bytes, std::string* refusal) {
    // A regular file's size is known: one allocation. Standard input may be endless
    // (/dev/zero): it is read up to one byte past the bound.
    bytes->clear();
    bytes->reserve(std::min(expected, SPC_MAX_FILE_BYTES) + 1);
    char buf[65536];
    while (bytes->size() <= SPC_MAX_FILE_BYTES) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *refusal = errno == EAGAIN ? "no data to read"
                                       : std::string("read error: ") + std::strerror(errno);
            return false;
        }
        if (n == 0) break;
        bytes->append(buf, static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

bool spc_read_bytes(const std::string& path, std::string* bytes, std::string* refusal) {
    if (path == "-") return read_all(STDIN_FILENO, 0, bytes, refusal);
    fd_closer where{open(path.c_str(), O_PATH | O_CLOEXEC)};
    struct stat st {};
    if (where.fd < 0 || fstat(where.fd, &st) != 0) {
        *refusal = std::strerror(errno);
        return false;
    }
    *refusal = kind_refusal(st);
    if (!refusal->empty()) return false;
    if (static_cast<uint64_t>(st.st_size) > SPC_MAX_FILE_BYTES) {
        *refusal = "file too large (" + std::to_string(st.st_size) + " bytes, at most " +
                   std::to_string(SPC_MAX_FILE_BYTES) + ")";
        return false;
    }
    constexpr int READING = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    std::string self = "/proc/self/fd/" + std::to_string(where.fd);
    fd_closer file{open(self.c_str(), READING)};
    if (file.fd < 0 && errno == ENOENT) file.fd = open(path.c_str(), READING);
    struct stat now {};
    if (file.fd < 0 || fstat(file.fd, &now) != 0) {
        *refusal = std::strerror(errno);
        return false;
    }
    if (now.st_dev != st.st_dev || now.st_ino != st.st_ino) {
        *refusal = "replaced while it was being opened";
        return false;
    }
    return read_all(file.fd, static_cast<size_t>(st.st_size), bytes, refusal);
}
