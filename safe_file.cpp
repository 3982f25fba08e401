// Replacing a file as a whole: see safe_file.h.
#include "safe_file.h"

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
#include <mutex>
#include <random>

bool safe_file_tmpfile = true;

namespace {

constexpr int MAX_LINKS = 40;  // symbolic links followed before giving up, as the kernel does
constexpr int NAME_TRIES = 100;
constexpr const char* TEMP_PREFIX = ".nv";
constexpr int TEMP_RANDOM = 6;  // characters after the prefix: ".nvXXXXXX", 9 in all

// ---- names of temporary files, for the signal handler -------------------------------------------

// A temporary file with a name is recorded here while it exists, so that an interrupt can remove
// it. The handler only reads `used` and the name, both complete before `used` is set.
struct TempName {
    std::atomic<int> used{0};
    char path[PATH_MAX];
};
constexpr int TEMP_SLOTS = 8;
std::array<TempName, TEMP_SLOTS> temp_names;

constexpr std::array<int, 3> INTERRUPTS = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previous[NSIG];

// Removes every temporary file, then lets the signal do what it did before (end the program).
void on_interrupt(int sig) {
    const int saved = errno;
    for (TempName& t : temp_names)
        if (t.used.load(std::memory_order_acquire) != 0) unlink(t.path);
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

// Records the temporary file `name` in `folder`; -1 when the path does not fit or no slot is
// free, and the file must then not be created.
int record_temp(const std::string& folder, const std::string& name) {
    const std::string path = folder + "/" + name;
    if (path.size() >= PATH_MAX) return -1;
    install_handlers();
    for (int i = 0; i < TEMP_SLOTS; ++i) {
        int expected = 0;
        // 2: taken, name not yet valid; 1: the handler may remove it.
        if (!temp_names[i].used.compare_exchange_strong(expected, 2)) continue;
        snprintf(temp_names[i].path, sizeof temp_names[i].path, "%s", path.c_str());
        temp_names[i].used.store(1, std::memory_order_release);
        return i;
    }
    return -1;
}

void forget_temp(int& slot) {
    if (slot >= 0) temp_names[slot].used.store(0, std::memory_order_release);
    slot = -1;
}

// ---- paths
// ---------------------------------------------------------------------------------------

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

// The file a path finally names: symbolic links followed, a relative link read from its own
// folder. A path that does not exist (a dangling link's end) is returned as it is.
bool resolve_links(const char* path, std::string* out) {
    std::string p = path;
    for (int hops = 0; hops <= MAX_LINKS; ++hops) {
        struct stat st;
        if (lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            *out = p;
            return true;
        }
        char link[PATH_MAX];
        ssize_t n = readlink(p.c_str(), link, sizeof link);
        if (n <= 0 || n >= static_cast<ssize_t>(sizeof link)) return false;
        std::string to(link, static_cast<size_t>(n));
        size_t slash = p.rfind('/');
        p = to[0] == '/' || slash == std::string::npos ? to : p.substr(0, slash + 1) + to;
    }
    errno = ELOOP;
    return false;
}

void split(const std::string& path, std::string* folder, std::string* name) {
    // The folder keeps its slash ("a/", "/"): it is opened as it stands.
    const size_t slash = path.rfind('/');
    const size_t name_at = slash == std::string::npos ? 0 : slash + 1;
    folder->assign(slash == std::string::npos ? "." : path.substr(0, name_at));
    name->assign(path, name_at, std::string::npos);
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

void ignore_result(int) {}

bool denied(int error) {
    return error == EACCES || error == EPERM || error == EROFS;
}

}  // namespace

SafeFile::~SafeFile() {
    discard();
}

bool SafeFile::open(const char* path, Mode) {
    discard();
    std::string target;
    if (path == nullptr || !resolve_links(path, &target)) return false;
    split(target, &folder_, &name_);
    if (name_.empty()) {  // "." and ".." are refused below, as directories
        errno = EISDIR;
        return false;
    }
    dir_fd_ = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd_ < 0) return false;

    // The target as it is: only a regular file is replaced, and only if this user could open it
    // for writing (nothing is changed by that open).
    struct stat st;
    bool exists = fstatat(dir_fd_, name_.c_str(), &st, 0) == 0;
    if (!exists && errno != ENOENT) return fail();
    if (exists) {
        if (!S_ISREG(st.st_mode)) {
            errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
            return fail();
        }
        int probe = openat(dir_fd_, name_.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (probe < 0) return fail();
        fstat(probe, &st);  // the file actually opened
        close_fd(&probe);
        keep_mode_ = true;
        mode_ = st.st_mode & 07777;
        keep_owner_ = st.st_uid != geteuid() || st.st_gid != getegid();
        uid_ = st.st_uid;
        gid_ = st.st_gid;
    }

    // A new file is created as fopen would create it; the temporary of an existing one is private
    // until it takes the target's mode.
    const mode_t create_mode = exists ? 0600 : 0666;
    // An unnamed file is linked through /proc at the end; without /proc it could not be.
    if (safe_file_tmpfile && access("/proc/self/fd", X_OK) == 0) {
        fd_ = openat(dir_fd_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, create_mode);
        if (fd_ >= 0) return true;
    }
    for (int i = 0; i < NAME_TRIES; ++i) {
        const std::string name = safe_file_temp_name();
        slot_ = record_temp(folder_, name);
        if (slot_ < 0) {
            errno = ENOMEM;
            break;
        }
        fd_ = openat(dir_fd_, name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, create_mode);
        if (fd_ >= 0) {
            temp_ = name;
            return true;
        }
        const int error = errno;
        forget_temp(slot_);
        errno = error;
        if (error != EEXIST) break;
    }
    // A folder closed to this user holding a target open to the user: written in place. It is
    // truncated only when committed, so nothing is lost before the first byte is written.
    if (exists && denied(errno)) {
        fd_ = openat(dir_fd_, name_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd_ >= 0) {
            in_place_ = true;
            return true;
        }
    }
    return fail();
}

bool SafeFile::write(const void* data, size_t size) {
    return fd_ >= 0 && write_all(fd_, data, size);
}

bool SafeFile::commit() {
    bool ok = false;
    if (fd_ < 0)
        errno = EBADF;
    else
        ok = in_place_ ? finish_in_place() : replace();
    discard();  // errno kept
    return ok;
}

// Written in place: cut to what was written, flushed.
bool SafeFile::finish_in_place() {
    const off_t end = lseek(fd_, 0, SEEK_CUR);
    return end >= 0 && ftruncate(fd_, end) == 0 && fsync(fd_) == 0 && close_checked(&fd_);
}

// The mode first: the new file never shows a wider one than it will keep. An owner that cannot
// be kept (another user's file in a folder this user may write) is not an error.
bool SafeFile::replace() {
    if (keep_owner_) ignore_result(fchown(fd_, uid_, gid_));
    if (keep_mode_ && fchmod(fd_, mode_) != 0) return false;
    if (fsync(fd_) != 0) return false;
    if (temp_.empty() && !link_unnamed()) return false;
    if (!close_checked(&fd_)) return false;
    if (renameat(dir_fd_, temp_.c_str(), dir_fd_, name_.c_str()) != 0) return false;
    temp_.clear();   // it is the target now; commit's discard gives the record back
    fsync(dir_fd_);  // some file systems cannot sync a folder; the rename stands either way
    return true;
}

// An unnamed temporary gets a fresh name, never one that exists.
bool SafeFile::link_unnamed() {
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    for (int i = 0; i < NAME_TRIES; ++i) {
        std::string name = safe_file_temp_name();
        slot_ = record_temp(folder_, name);
        if (slot_ < 0) {
            errno = ENOMEM;
            return false;
        }
        if (linkat(AT_FDCWD, self.c_str(), dir_fd_, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            temp_ = name;
            return true;
        }
        const int error = errno;
        forget_temp(slot_);
        errno = error;
        if (error != EEXIST) return false;
    }
    return false;
}

void SafeFile::discard() {
    const int saved = errno;
    close_fd(&fd_);
    if (!temp_.empty()) unlinkat(dir_fd_, temp_.c_str(), 0);
    temp_.clear();
    forget_temp(slot_);
    close_fd(&dir_fd_);
    in_place_ = keep_mode_ = keep_owner_ = false;
    errno = saved;
}

bool SafeFile::fail() {
    discard();
    return false;
}
