// Replacing a file as a whole, on Windows: see safe_file.h.
//
// The new contents go to a temporary file beside the target, created exclusively (it can never be
// a file of the user's), flushed to the disk with _commit and moved over the target with
// MoveFileEx, which replaces an existing file where rename() would refuse. A reader sees the old
// file or the new one. The temporary is created with delete sharing, so that an interrupt, whose
// handler runs on a thread of its own here while the descriptor may still be open, can remove it.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>

#include "safe_file.h"

// Windows has no unnamed temporary files: the setting is kept for the tests' sake and unused.
bool safe_file_tmpfile = true;

namespace {

constexpr int NAME_TRIES = 100;
constexpr const char* TEMP_PREFIX = ".nv";
constexpr int TEMP_RANDOM = 6;  // characters after the prefix: ".nvXXXXXX", 9 in all

// ---- names of temporary files, for the signal handler -------------------------------------------

// A temporary file is recorded here while it exists, so that an interrupt can remove it. The
// handler only reads `used` and the name, both complete before `used` is set.
struct TempName {
    std::atomic<int> used{0};
    char path[MAX_PATH];
};
constexpr int TEMP_SLOTS = 8;
std::array<TempName, TEMP_SLOTS> temp_names;

constexpr std::array<int, 2> INTERRUPTS = {SIGINT, SIGTERM};
void (*previous[NSIG])(int);

// Removes every temporary file, then lets the signal do what it did before (end the program).
// The file is open with delete sharing: it goes once the program's descriptor is closed.
void on_interrupt(int sig) {
    for (TempName& t : temp_names)
        if (t.used.load(std::memory_order_acquire) != 0) DeleteFileA(t.path);
    std::signal(sig, previous[sig]);
    std::raise(sig);
}

// Installed once, on the first temporary name. A signal the program ignores stays ignored.
void install_handlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (int sig : INTERRUPTS) {
            void (*old)(int) = std::signal(sig, on_interrupt);
            if (old == SIG_ERR) continue;
            previous[sig] = old;
            if (old == SIG_IGN) std::signal(sig, SIG_IGN);
        }
    });
}

// Records the temporary file `path`; -1 when the path does not fit or no slot is free, and the
// file must then not be created.
int record_temp(const std::string& path) {
    if (path.size() >= MAX_PATH) return -1;
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

std::string random_temp_name() {
    static constexpr char chars[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    // The clock and the process id as well: a random_device may be a fixed sequence here.
    thread_local std::mt19937 gen(std::random_device{}() ^ static_cast<unsigned>(GetTickCount64()) ^
                                  (GetCurrentProcessId() << 16) ^ GetCurrentThreadId());
    std::uniform_int_distribution<int> pick(0, sizeof chars - 2);
    std::string name = TEMP_PREFIX;
    for (int i = 0; i < TEMP_RANDOM; ++i) name += chars[pick(gen)];
    return name;
}

// The folder keeps its separator ("a\", "c:/"), or is empty for the working directory.
void split(const std::string& path, std::string* folder, std::string* name) {
    const size_t sep = path.find_last_of("/\\:");
    const size_t name_at = sep == std::string::npos ? 0 : sep + 1;
    folder->assign(path, 0, name_at);
    name->assign(path, name_at, std::string::npos);
}

bool write_all(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const unsigned chunk = size > (1u << 30) ? (1u << 30) : static_cast<unsigned>(size);
        const int n = _write(fd, p, chunk);
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// errno for the last failed Windows call.
void set_errno_from_windows() {
    switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            errno = ENOENT;
            break;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            errno = EEXIST;
            break;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            errno = ENOSPC;
            break;
        case ERROR_FILENAME_EXCED_RANGE:
            errno = ENAMETOOLONG;
            break;
        default:
            errno = EACCES;
            break;
    }
}

}  // namespace

std::string (*safe_file_temp_name)() = random_temp_name;

SafeFile::~SafeFile() {
    discard();
}

bool SafeFile::open(const char* path, Mode mode) {
    discard();
    if (path == nullptr) {
        errno = EINVAL;
        return false;
    }
    const std::string target = path;
    split(target, &folder_, &name_);
    if (name_.empty() || name_ == "." || name_ == "..") {
        errno = EISDIR;
        return false;
    }

    // The target as it is: a directory or a read-only file is not replaced, nor a file this user
    // could not open for writing (nothing is changed by that open).
    const DWORD attributes = GetFileAttributesA(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) {
            set_errno_from_windows();
            return false;
        }
    } else {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            errno = EISDIR;
            return false;
        }
        if (attributes & FILE_ATTRIBUTE_READONLY) {
            errno = EACCES;
            return false;
        }
        HANDLE probe = CreateFileA(target.c_str(), GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (probe == INVALID_HANDLE_VALUE) {
            set_errno_from_windows();
            return false;
        }
        CloseHandle(probe);
    }

    // Created as O_CREAT|O_EXCL would (CREATE_NEW), with delete sharing for the interrupt handler,
    // then given a descriptor in binary or text mode.
    const int flags = _O_WRONLY | (mode == Text ? _O_TEXT : _O_BINARY);
    for (int i = 0; i < NAME_TRIES; ++i) {
        const std::string temp = folder_ + safe_file_temp_name();
        slot_ = record_temp(temp);
        if (slot_ < 0) {
            errno = ENOMEM;
            return false;
        }
        HANDLE h = CreateFileA(temp.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                               nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            temp_ = temp;
            fd_ = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags);
            if (fd_ >= 0) return true;
            CloseHandle(h);
            return fail();
        }
        set_errno_from_windows();
        const int error = errno;
        forget_temp(slot_);
        errno = error;
        if (error != EEXIST) return false;
    }
    return false;
}

bool SafeFile::write(const void* data, size_t size) {
    return fd_ >= 0 && write_all(fd_, data, size);
}

bool SafeFile::commit() {
    bool ok = false;
    if (fd_ < 0)
        errno = EBADF;
    else
        ok = replace();
    discard();  // errno kept
    return ok;
}

bool SafeFile::replace() {
    if (_commit(fd_) != 0) return false;
    const int fd = fd_;
    fd_ = -1;
    if (_close(fd) != 0) return false;
    const std::string target = folder_ + name_;
    if (!MoveFileExA(temp_.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        set_errno_from_windows();
        return false;
    }
    temp_.clear();  // it is the target now; commit's discard gives the record back
    return true;
}

void SafeFile::discard() {
    const int saved = errno;
    if (fd_ >= 0) _close(fd_);
    fd_ = -1;
    if (!temp_.empty()) DeleteFileA(temp_.c_str());
    temp_.clear();
    forget_temp(slot_);
    errno = saved;
}

bool SafeFile::fail() {
    discard();
    return false;
}
