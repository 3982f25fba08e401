// Our leftover temporaries on Linux (safe_file_leftovers_posix.h). A temporary is unnamed where the
// file system allows (O_TMPFILE) and otherwise removed on an interrupt; only a program killed
// outright, or a file system without unnamed files, leaves one behind.
#include "safe_file_leftovers_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <tuple>

namespace {

constexpr time_t LEFTOVER_AGE_S = 24 * 3600;
constexpr size_t SWEPT_MAX = 64;  // folders remembered as swept in this run

bool temp_name_like(const char* name) {
    if (std::strlen(name) != 9 || std::strncmp(name, ".nv", 3) != 0) return false;
    for (const char* c = name + 3; *c; ++c)
        if (!((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9')))
            return false;
    return true;
}

// Whether the folder is one where a name we looked at can only be changed by ourselves (or
// root): not writable by others, or sticky.
bool names_stay(const struct stat& folder) {
    return (folder.st_mode & S_ISVTX) || !(folder.st_mode & (S_IWGRP | S_IWOTH));
}

// A folder's identity for the run: device, inode and time of birth (an inode number is soon
// given to a new folder once the old one is gone); without a birth time it is never taken for
// one swept before.
using folder_id = std::tuple<dev_t, ino_t, long long, long>;

bool first_time(int dir_fd, const struct stat& folder) {
    struct statx born {};
    if (statx(dir_fd, "", AT_EMPTY_PATH, STATX_BTIME, &born) != 0 || !(born.stx_mask & STATX_BTIME))
        return true;
    static std::mutex lock;
    static std::set<folder_id> swept;
    const folder_id id{folder.st_dev, folder.st_ino, born.stx_btime.tv_sec, born.stx_btime.tv_nsec};
    std::lock_guard<std::mutex> guard(lock);
    if (!swept.insert(id).second) return false;
    if (swept.size() > SWEPT_MAX) swept = {id};
    return true;
}

}  // namespace

void safe_file_remove_leftovers(int dir_fd) {
    struct stat folder;
    if (fstat(dir_fd, &folder) != 0 || !names_stay(folder) || !first_time(dir_fd, folder)) return;
    const int listing_fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* listing = listing_fd >= 0 ? fdopendir(listing_fd) : nullptr;
    if (listing == nullptr) {
        if (listing_fd >= 0) close(listing_fd);
        return;
    }
    const time_t now = time(nullptr);
    while (const dirent* e = readdir(listing)) {
        struct stat st;
        if (!temp_name_like(e->d_name) || fstatat(dir_fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid() &&
            now - st.st_mtime > LEFTOVER_AGE_S)
            unlinkat(dir_fd, e->d_name, 0);
    }
    closedir(listing);
}
