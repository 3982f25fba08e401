// Replacing a file as a whole, on Windows: see safe_file.h.
//
// The new contents go to a temporary file beside the target, created exclusively (it can never be
// a file of the user's), flushed to the disk with _commit and moved over the target with
// MoveFileExW, which replaces an existing file where rename() would refuse. A reader sees the old
// file or the new one. Names are UTF-8 and reach the wide calls as full \\?\ paths (sysfile.h).
//
// Another program may hold the target open. C's fopen, Python, .NET and most editors share a file
// for reading and writing but not for deleting, and such a file can be neither replaced nor
// renamed over; an antivirus or the search indexer holds a new file for a moment in the same way.
// So whatever fails with a sharing or access error is tried again for up to 200 ms; after that a
// target that may be written in place (spect.spc) is, as fopen(..., "w") would write it, and any
// other is left as it was and refused.
//
// The temporary is created with delete sharing, so that the console control handler, which runs
// on a thread of its own while the descriptor may still be open, can remove it: the system then
// deletes it when the program ends, however it ends.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <random>

#include "safe_file.h"
#include "sysfile.h"

// Windows has no unnamed temporary files: the setting is kept for the tests' sake and unused.
bool safe_file_tmpfile = true;

namespace {

constexpr int NAME_TRIES = 100;
constexpr const char* TEMP_PREFIX = ".nv";
constexpr int TEMP_RANDOM = 6;  // characters after the prefix: ".nvXXXXXX", 9 in all
constexpr auto HELD_FOR = std::chrono::milliseconds(200);
constexpr DWORD HELD_PAUSE_MS = 10;
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// ---- temporaries that exist, for the console control handler ---------------------------------

constexpr int TEMP_SLOTS = 16;
std::mutex temp_lock;
std::array<std::wstring, TEMP_SLOTS> temp_names;  // empty: a free slot

BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT: {
            std::lock_guard<std::mutex> guard(temp_lock);
            for (const std::wstring& t : temp_names)
                if (!t.empty()) DeleteFileW(t.c_str());
            break;
        }
        default:
            break;
    }
    return FALSE;
}

// Records the temporary file `path`; -1 when no slot is free, and the file must then not be
// created. The handler is installed with the first record.
int record_temp(const std::wstring& path) {
    static std::once_flag once;
    std::call_once(once, [] { SetConsoleCtrlHandler(on_console_event, TRUE); });
    std::lock_guard<std::mutex> guard(temp_lock);
    for (int i = 0; i < TEMP_SLOTS; ++i) {
        if (!temp_names[i].empty()) continue;
        temp_names[i] = path;
        return i;
    }
    return -1;
}

void forget_temp(int& slot) {
    if (slot >= 0) {
        std::lock_guard<std::mutex> guard(temp_lock);
        temp_names[slot].clear();
    }
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

// Another program holds the file (or its folder entry) so that this cannot be done now.
bool held(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
           error == ERROR_LOCK_VIOLATION;
}

// Tries `attempt` until it succeeds, fails otherwise than by a holder, or HELD_FOR has passed;
// GetLastError() tells the last failure.
template <typename Attempt>
bool while_held(Attempt attempt) {
    const auto deadline = std::chrono::steady_clock::now() + HELD_FOR;
    for (;;) {
        if (attempt()) return true;
        const DWORD error = GetLastError();
        if (!held(error) || std::chrono::steady_clock::now() >= deadline) {
            SetLastError(error);
            return false;
        }
        Sleep(HELD_PAUSE_MS);
    }
}

HANDLE open_existing(const std::wstring& path, DWORD access, DWORD creation = OPEN_EXISTING) {
    return CreateFileW(path.c_str(), access, SHARE_ALL, nullptr, creation, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

// True when the file at `path` can be opened with `access` now; it is closed again at once.
bool can_open(const std::wstring& path, DWORD access) {
    HANDLE h = open_existing(path, access);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}

// errno for the last failed Windows call.
void set_errno_from_windows() {
    switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
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
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            errno = EBUSY;
            break;
        default:
            errno = EACCES;
            break;
    }
}

// Copies the whole of `from` over the contents of `to`, in place.
bool copy_in_place(const std::wstring& from, const std::wstring& to) {
    HANDLE in = open_existing(from, GENERIC_READ);
    if (in == INVALID_HANDLE_VALUE) return false;
    HANDLE out = open_existing(to, GENERIC_WRITE, TRUNCATE_EXISTING);
    bool ok = out != INVALID_HANDLE_VALUE;
    char buffer[64 * 1024];
    for (DWORD got = 0; ok && ReadFile(in, buffer, sizeof buffer, &got, nullptr) && got > 0;) {
        DWORD put = 0;
        ok = WriteFile(out, buffer, got, &put, nullptr) && put == got;
    }
    const DWORD error = GetLastError();
    CloseHandle(in);
    if (out != INVALID_HANDLE_VALUE) ok = CloseHandle(out) && ok;
    SetLastError(error);
    return ok;
}

}  // namespace

std::string (*safe_file_temp_name)() = random_temp_name;

int safe_file_console_event(unsigned long event) {
    return on_console_event(event);
}

SafeFile::~SafeFile() {
    discard();
}

bool SafeFile::open(const char* path, Mode mode) {
    discard();
    if (path == nullptr) {
        errno = EINVAL;
        return false;
    }
    split(path, &folder_, &name_);
    if (name_.empty() || name_ == "." || name_ == "..") {
        errno = EISDIR;
        return false;
    }
    target_w_ = sys_wide_path(path);
    if (target_w_.empty()) {
        errno = ENOENT;
        return false;
    }
    const int flags = _O_WRONLY | (mode == Text ? _O_TEXT : _O_BINARY);

    // The target as it is: a directory or a read-only file is not replaced, nor a file this user
    // could not open for writing (nothing is changed by these opens).
    const DWORD attributes = GetFileAttributesW(target_w_.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND) {
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
        if (!can_open(target_w_, GENERIC_WRITE)) {
            set_errno_from_windows();
            return false;
        }
        // Replacing takes the right to delete the old file, which a holder without delete
        // sharing keeps for itself.
        if (!while_held([&] { return can_open(target_w_, DELETE); })) {
            if (held(GetLastError()) && in_place_fallback_) return open_in_place(flags);
            set_errno_from_windows();
            return false;
        }
    }

    // Created as O_CREAT|O_EXCL would (CREATE_NEW), with delete sharing for the control handler,
    // then given a descriptor in binary or text mode. Its name is the target's folder and 9
    // characters: never much longer than the target's own.
    const std::wstring folder = target_w_.substr(0, target_w_.find_last_of(L'\\') + 1);
    for (int i = 0; i < NAME_TRIES; ++i) {
        const std::string random = safe_file_temp_name();
        const std::wstring temp = folder + sys_wide(random.c_str());
        slot_ = record_temp(temp);
        if (slot_ < 0) {
            errno = ENOMEM;
            return false;
        }
        HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                               nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            temp_ = folder_ + random;
            temp_w_ = temp;
            fd_ = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags);
            if (fd_ >= 0) return true;
            CloseHandle(h);
            return fail();
        }
        set_errno_from_windows();
        const int error = errno;
        forget_temp(slot_);
        // A folder this user may not write, holding a target the user may: in place, if allowed.
        if (error == EACCES && attributes != INVALID_FILE_ATTRIBUTES && in_place_fallback_)
            return open_in_place(flags);
        errno = error;
        if (error != EEXIST) return false;
    }
    return false;
}

// The target itself, emptied, as fopen(..., "w") opens it.
bool SafeFile::open_in_place(int flags) {
    HANDLE h = open_existing(target_w_, GENERIC_WRITE, TRUNCATE_EXISTING);
    if (h == INVALID_HANDLE_VALUE) {
        set_errno_from_windows();
        return false;
    }
    fd_ = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags);
    if (fd_ < 0) CloseHandle(h);
    in_place_ = fd_ >= 0;
    return in_place_;
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
    if (in_place_) return true;
    if (!replace_or_write_in_place()) {
        set_errno_from_windows();
        return false;
    }
    return true;
}

// The last step: the temporary moved over the target; or, when a holder keeps the target from
// being replaced and that is allowed, its contents copied into the target and the temporary
// removed (by discard).
bool SafeFile::replace_or_write_in_place() {
    if (while_held([&] {
            return MoveFileExW(temp_w_.c_str(), target_w_.c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
        })) {
        temp_w_.clear();  // it is the target now; commit's discard gives the record back
        return true;
    }
    if (!held(GetLastError()) || !in_place_fallback_) return false;
    return copy_in_place(temp_w_, target_w_);
}

void SafeFile::discard() {
    const int saved = errno;
    if (fd_ >= 0) _close(fd_);
    fd_ = -1;
    if (!temp_w_.empty()) DeleteFileW(temp_w_.c_str());
    temp_w_.clear();
    temp_.clear();
    in_place_ = false;
    forget_temp(slot_);
    errno = saved;
}

bool SafeFile::fail() {
    discard();
    return false;
}

// Appending: a file that is no symbolic link, junction or other reparse point, a disk file (not
// a device or a pipe), opened to write at its end; made when missing. The descriptor is the C
// runtime's, for _write; svc_append's lock and sync work on its handle.
int safe_file_append(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    const std::wstring wide = sys_wide_path(path);
    if (wide.empty()) {
        errno = ENOENT;
        return -1;
    }
    HANDLE h = CreateFileW(wide.c_str(), FILE_APPEND_DATA | FILE_WRITE_DATA | FILE_READ_ATTRIBUTES |
                                             SYNCHRONIZE,
                           SHARE_ALL, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        set_errno_from_windows();
        return -1;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info) || GetFileType(h) != FILE_TYPE_DISK ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        CloseHandle(h);
        errno = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? EACCES : EINVAL;
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_APPEND | _O_BINARY);
    if (fd < 0) CloseHandle(h);
    return fd;
}
