// Replacing a file as a whole: see safe_file.h.
#include "safe_file.h"
#include "safe_file_steps.h"
#include "safe_file_leftovers_posix.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <string_view>
#include <vector>

// A replacement under way: the new contents' descriptor, the target's folder and name there, the
// target as examined, and the temporary's name while it has one.
struct safe_file_state {
    int fd = -1;
    int slot = -1;          // the signal-safe record of the temporary's name, while it has one
    int dir_fd = -1;        // the target's folder; every name below is taken relative to it
    int target_fd = -1;     // the existing target as examined (O_PATH); -1: a new file
    bool in_place = false;  // writing the target itself
    std::string name, temp;
};

bool safe_file_tmpfile = true;
bool safe_file_noreplace = true;
void (*safe_file_before_rename)(int, const char*, const char*) = nullptr;

namespace {

constexpr int MAX_LINKS = 40;  // symbolic links followed before giving up, as the kernel does
constexpr int NAME_TRIES = 100;
constexpr const char* TEMP_PREFIX = ".nv";
constexpr int TEMP_RANDOM = 6;  // characters after the prefix: ".nvXXXXXX", 9 in all

// ---- names of temporary files, for the signal handler -------------------------------------------

// A temporary file with a name is recorded here while it exists, so that an interrupt can remove
// it: its folder's descriptor and its name. The handler only reads `used` and the record, both
// complete before `used` is set.
constexpr size_t TEMP_NAME_MAX = 32;
struct TempName {
    std::atomic<int> used{0};
    int folder = -1;
    char name[TEMP_NAME_MAX];
};
constexpr int TEMP_SLOTS = 8;
std::array<TempName, TEMP_SLOTS> temp_names;

constexpr std::array<int, 3> INTERRUPTS = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previous[NSIG];

// Removes every temporary file, then lets the signal do what it did before (end the program).
void on_interrupt(int sig) {
    const int saved = errno;
    for (TempName& t : temp_names)
        if (t.used.load(std::memory_order_acquire) != 0) unlinkat(t.folder, t.name, 0);
    sigaction(sig, &previous[sig], nullptr);
    raise(sig);  // delivered once this handler returns
    errno = saved;
}

// Installed once, on the first temporary name. A signal the program ignores (nohup) stays ignored.
void install_handlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (int sig : INTERRUPTS) {
            struct sigaction old {};
            if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
            previous[sig] = old;
            struct sigaction act {};
            act.sa_handler = on_interrupt;
            act.sa_flags = SA_RESTART;  // nothing else notices the handler on its way through
            sigemptyset(&act.sa_mask);
            for (int other : INTERRUPTS) sigaddset(&act.sa_mask, other);
            sigaction(sig, &act, nullptr);
        }
    });
}

// Records the temporary file `name` in the folder `folder`; -1 when the name does not fit or no
// slot is free, and the file must then not be created.
int record_temp(int folder, const std::string& name) {
    if (name.size() >= TEMP_NAME_MAX) return -1;
    install_handlers();
    for (int i = 0; i < TEMP_SLOTS; ++i) {
        int expected = 0;
        // 2: taken, name not yet valid; 1: the handler may remove it.
        if (!temp_names[i].used.compare_exchange_strong(expected, 2)) continue;
        temp_names[i].folder = folder;
        snprintf(temp_names[i].name, sizeof temp_names[i].name, "%s", name.c_str());
        temp_names[i].used.store(1, std::memory_order_release);
        return i;
    }
    return -1;
}

void forget_temp(int& slot) {
    if (slot >= 0) temp_names[slot].used.store(0, std::memory_order_release);
    slot = -1;
}

std::string random_temp_name() {
    static constexpr char chars[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    // Seeded anew in a child process, which would otherwise draw its parent's names.
    thread_local std::mt19937 gen;
    thread_local pid_t seeded_for = 0;
    if (seeded_for != getpid()) {
        gen.seed(std::random_device{}());
        seeded_for = getpid();
    }
    std::uniform_int_distribution<int> pick(0, sizeof chars - 2);
    std::string name = TEMP_PREFIX;
    for (int i = 0; i < TEMP_RANDOM; ++i) name += chars[pick(gen)];
    return name;
}

}  // namespace

std::string (*safe_file_temp_name)() = random_temp_name;

namespace {

void close_fd(int* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

// Closes and forgets `*fd`; false when the close reported an error (a write that failed late).
bool close_checked(int* fd) {
    const int was = *fd;
    *fd = -1;
    return close(was) == 0;
}

// ---- the way to the target ----------------------------------------------------------------------

// A symbolic link is followed only when it belongs to this user, to root, or to the owner of
// the folder that holds it. The program may run as root in a folder that others may write: a
// link another user planted there must never decide where it writes. (The kernel's rule for
// sticky world-writable folders, held here in every folder.)
bool trusted_link(const struct stat& link, int folder) {
    if (link.st_uid == geteuid() || link.st_uid == 0) return true;
    struct stat st;
    return fstat(folder, &st) == 0 && st.st_uid == link.st_uid;
}

// The parts of `path` between its slashes, put in front of `parts` in their order. A path that
// ends in a slash ends in an empty part: it names a folder.
void push_parts(std::string_view path, std::deque<std::string>* parts) {
    std::vector<std::string> found;
    for (size_t at = 0;;) {
        const size_t slash = path.find('/', at);
        found.emplace_back(path.substr(at, slash == std::string_view::npos ? slash : slash - at));
        if (slash == std::string_view::npos) break;
        at = slash + 1;
    }
    parts->insert(parts->begin(), found.begin(), found.end());
}

// Reopens what an O_PATH descriptor refers to, the same file whatever its name now names.
// ENOENT without /proc.
int reopen(int fd, int flags) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return ::open(self.c_str(), flags | O_CLOEXEC);
}

// Where `path` leads: the folder that finally holds it (`*folder`), the name there (`*name`),
// and the file of that name as it is now (`*target`; -1 when there is none). Walked one name
// at a time, as the kernel walks it, but each symbolic link is looked at before it is followed
// and nothing is opened but to be looked at (O_PATH): a FIFO or a device is never opened here.
// False with errno: EACCES for a link not to be followed, ELOOP, ENOENT, ENOTDIR, EISDIR.
bool walk(const char* path, int* folder, std::string* name, int* target) {
    std::deque<std::string> parts;
    push_parts(path, &parts);
    int dir = ::open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    int links = 0;
    while (dir >= 0) {
        if (parts.empty()) {
            errno = EISDIR;  // "." or ".." at the end: a folder
            break;
        }
        const std::string part = std::move(parts.front());
        parts.pop_front();
        const bool last = parts.empty();
        if (part.empty() || part == ".") {
            if (!last) continue;
            errno = part.empty() && links == 0 && path[0] == '\0' ? ENOENT : EISDIR;
            break;
        }
        int fd = openat(dir, part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            if (!last || errno != ENOENT) break;
            *folder = dir, *name = part, *target = -1;  // a new file
            return true;
        }
        struct stat st;
        if (fstat(fd, &st) != 0) {
            close_fd(&fd);
            break;
        }
        if (S_ISLNK(st.st_mode)) {
            char to[PATH_MAX];
            ssize_t n = -1;
            if (++links > MAX_LINKS)
                errno = ELOOP;
            else if (!trusted_link(st, dir))
                errno = EACCES;
            else
                n = readlinkat(fd, "", to, sizeof to);
            close_fd(&fd);
            if (n <= 0 || n >= static_cast<ssize_t>(sizeof to)) {
                if (n >= 0) errno = n == 0 ? ENOENT : ENAMETOOLONG;
                break;
            }
            push_parts(std::string_view(to, static_cast<size_t>(n)), &parts);
            if (to[0] == '/') {
                close_fd(&dir);
                dir = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
            }
            continue;
        }
        if (last) {
            *folder = dir, *name = part, *target = fd;
            return true;
        }
        close_fd(&dir);
        dir = fd;
        if (!S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            break;
        }
    }
    const int error = errno;
    close_fd(&dir);
    errno = error;
    return false;
}

// Whether this user could open the file of `target` (an O_PATH descriptor) for writing. Without
// /proc, asked of the name instead.
bool may_write(int target, int folder, const std::string& name) {
    int probe = reopen(target, O_WRONLY | O_NOCTTY | O_NONBLOCK);
    if (probe >= 0) {
        close_fd(&probe);
        return true;
    }
    return errno == ENOENT &&
           faccessat(folder, name.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0;
}

bool write_all(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool denied(int error) {
    return error == EACCES || error == EPERM || error == EROFS;
}

// Drops the new contents and forgets the target; errno kept.
void drop(safe_file_state& s) {
    const int saved = errno;
    close_fd(&s.fd);
    if (!s.temp.empty()) unlinkat(s.dir_fd, s.temp.c_str(), 0);
    s.temp.clear();
    forget_temp(s.slot);  // before its folder's descriptor goes
    close_fd(&s.dir_fd);
    close_fd(&s.target_fd);
    s.in_place = false;
    errno = saved;
}

bool fail(safe_file_state& s) {
    drop(s);
    return false;
}

// Written in place: cut to what was written, flushed.
bool finish_in_place(safe_file_state& s) {
    const off_t end = lseek(s.fd, 0, SEEK_CUR);
    return end >= 0 && ftruncate(s.fd, end) == 0 && fsync(s.fd) == 0 && close_checked(&s.fd);
}

// Renames the temporary over the target, but only while the name still is what open examined:
// the same file, or still nothing. Whatever was put there since (another user's link, a FIFO)
// is not written through, and the rename never follows a link.
bool rename_over(safe_file_state& s, const struct stat& old) {
    const char* temp = s.temp.c_str();
    const char* name = s.name.c_str();
    if (s.target_fd < 0) {
        if (safe_file_noreplace) {
            if (renameat2(s.dir_fd, temp, s.dir_fd, name, RENAME_NOREPLACE) == 0) return true;
            if (errno != EINVAL && errno != ENOSYS) return false;  // EEXIST: something came
        }
        // The file system cannot refuse to replace: a last look, then a plain rename.
        struct stat now;
        if (fstatat(s.dir_fd, name, &now, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) {
            errno = EEXIST;
            return false;
        }
        return renameat(s.dir_fd, temp, s.dir_fd, name) == 0;
    }
    struct stat now;
    if (fstatat(s.dir_fd, name, &now, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (now.st_dev != old.st_dev || now.st_ino != old.st_ino) {
        errno = EAGAIN;  // the name changed under us
        return false;
    }
    return renameat(s.dir_fd, temp, s.dir_fd, name) == 0;
}

// An unnamed temporary gets a fresh name, never one that exists.
bool link_unnamed(safe_file_state& s) {
    const std::string self = "/proc/self/fd/" + std::to_string(s.fd);
    for (int i = 0; i < NAME_TRIES; ++i) {
        std::string name = safe_file_temp_name();
        s.slot = record_temp(s.dir_fd, name);
        if (s.slot < 0) {
            errno = ENOMEM;
            return false;
        }
        if (linkat(AT_FDCWD, self.c_str(), s.dir_fd, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            s.temp = name;
            return true;
        }
        const int error = errno;
        forget_temp(s.slot);
        errno = error;
        if (error != EEXIST) return false;
    }
    return false;
}

// The new file takes the old one's mode and owner first, so it never shows a wider mode than it
// keeps, but never a set-user-ID or set-group-ID bit: what we write is data, not the program the
// old file may have been. (A hard link another user made in a shared folder to root's set-user-ID
// program would otherwise leave root a new set-user-ID file of its own there.)
bool replace(safe_file_state& s) {
    struct stat old {};
    if (s.target_fd >= 0) {
        if (fstat(s.target_fd, &old) != 0) return false;
        // An ordinary user cannot give a file away: the new file then stays this user's own.
        if ((old.st_uid != geteuid() || old.st_gid != getegid()) &&
            fchown(s.fd, old.st_uid, old.st_gid) != 0) {
        }
        const mode_t set_id = S_ISUID | S_ISGID;
        if (fchmod(s.fd, old.st_mode & 07777 & ~set_id) != 0) return false;
    }
    if (fsync(s.fd) != 0) return false;
    if (s.temp.empty() && !link_unnamed(s)) return false;
    if (!close_checked(&s.fd)) return false;
    if (safe_file_before_rename) safe_file_before_rename(s.dir_fd, s.temp.c_str(), s.name.c_str());
    if (!rename_over(s, old)) return false;
    s.temp.clear();  // it is the target now; commit's discard gives the record back
    int folder = openat(s.dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) fsync(folder);  // some file systems cannot sync a folder; the rename stands
    close_fd(&folder);
    return true;
}

}  // namespace

SafeFile::SafeFile() : s_(std::make_unique<safe_file_state>()) {}

SafeFile::~SafeFile() {
    drop(*s_);
}

// Nothing is ever held here that a replacement would have to wait for.
void SafeFile::fall_back_in_place() {}

bool SafeFile::open(const char* path, Mode) {
    safe_file_state& s = *s_;
    drop(s);
    if (path == nullptr) {
        errno = EINVAL;
        return false;
    }
    if (!walk(path, &s.dir_fd, &s.name, &s.target_fd)) return false;
    safe_file_remove_leftovers(s.dir_fd);

    // Only a regular file is replaced, and only if this user could open it for writing.
    const bool exists = s.target_fd >= 0;
    struct stat st;
    if (exists) {
        if (fstat(s.target_fd, &st) != 0) return fail(s);
        if (!S_ISREG(st.st_mode)) {
            errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
            return fail(s);
        }
        if (!may_write(s.target_fd, s.dir_fd, s.name)) return fail(s);
    }

    // A new file is created as fopen would create it; the temporary of an existing one is private
    // until it takes the target's mode.
    const mode_t create_mode = exists ? 0600 : 0666;
    // An unnamed file is linked through /proc at the end; without /proc it could not be.
    if (safe_file_tmpfile && access("/proc/self/fd", X_OK) == 0) {
        s.fd = openat(s.dir_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, create_mode);
        if (s.fd >= 0) return true;
    }
    for (int i = 0; i < NAME_TRIES; ++i) {
        const std::string name = safe_file_temp_name();
        s.slot = record_temp(s.dir_fd, name);
        if (s.slot < 0) {
            errno = ENOMEM;
            break;
        }
        s.fd = openat(s.dir_fd, name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, create_mode);
        if (s.fd >= 0) {
            s.temp = name;
            return true;
        }
        const int error = errno;
        forget_temp(s.slot);
        errno = error;
        if (error != EEXIST) break;
    }
    // A folder closed to this user holding a target open to the user: written in place, through
    // the file examined above. It is truncated only when committed, so nothing is lost before
    // the first byte is written.
    if (exists && denied(errno)) {
        s.fd = reopen(s.target_fd, O_WRONLY | O_NOCTTY);
        if (s.fd >= 0) {
            s.in_place = true;
            return true;
        }
    }
    return fail(s);
}

bool SafeFile::write(const void* data, size_t size) {
    const safe_file_state& s = *s_;
    return s.fd >= 0 && write_all(s.fd, data, size);
}

bool SafeFile::write_at(const void* data, size_t size, long long offset) {
    const safe_file_state& s = *s_;
    const char* p = static_cast<const char*>(data);
    if (s.fd < 0 || offset < 0) return false;
    while (size > 0) {
        const ssize_t n = ::pwrite(s.fd, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        offset += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int safe_file_state_fd(const safe_file_state& s) {
    return s.fd;
}

bool safe_file_finish(safe_file_state& s) {
    return s.in_place ? finish_in_place(s) : replace(s);
}

void safe_file_drop(safe_file_state& s) {
    drop(s);
}

int safe_file_append_open(const char* path) {
    // Twice at most: a file created by another program between the look and the create is
    // looked at again.
    for (int tries = 0; tries < 2; ++tries) {
        int folder = -1, target = -1, fd = -1;
        std::string name;
        if (!walk(path, &folder, &name, &target)) return -1;
        struct stat st;
        if (target < 0) {
            fd = openat(folder, name.c_str(),
                        O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        } else if (fstat(target, &st) != 0) {
        } else if (!S_ISREG(st.st_mode)) {
            errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        } else {
            fd = reopen(target, O_WRONLY | O_APPEND | O_NOCTTY);
            if (fd < 0 && errno == ENOENT) {
                // Without /proc: by its name, which must still name the file examined.
                fd = openat(folder, name.c_str(),
                            O_WRONLY | O_APPEND | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
                struct stat now;
                if (fd >= 0 &&
                    (fstat(fd, &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino)) {
                    close_fd(&fd);
                    errno = EAGAIN;
                }
            }
        }
        const int error = errno;
        close_fd(&target);
        close_fd(&folder);
        if (fd >= 0) return fd;
        errno = error;
        if (error != EEXIST) return -1;
    }
    return -1;
}

// Linux has no console events: the signal handlers above remove the temporaries.
int safe_file_console_event(unsigned long) {
    return 0;
}
