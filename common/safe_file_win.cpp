// Replacing a file as a whole, on Windows: see safe_file.h.
//
// The new contents go to a temporary file beside the target, created exclusively (it can never be
// a file of the user's) and flushed to the disk with _commit. An existing target is then replaced
// with ReplaceFileW, which keeps what the old file carried besides its contents (its access
// control list, attributes, alternate streams, creation time); a new one is the temporary
// renamed with MoveFileExW. A reader sees the old file or the new one. Names are UTF-8 and reach
// the wide calls as full \\?\ paths (sysfile.h).
//
// Another program may hold the target open. C's fopen, Python, .NET and most editors share a file
// for reading and writing but not for deleting, and such a file can be neither replaced nor
// renamed over; an antivirus or the search indexer holds a new file for a moment in the same way.
// So a step that fails because of such a holder (a sharing violation, or a refusal while the
// target cannot be opened for deleting for that reason) is tried again for up to 200 ms; after
// that a target that may be written in place (spect.spc) is, as fopen(..., "w") would write it,
// and any other is left as it was and refused (EBUSY). A target this user may not replace is
// refused at once. A target just written in place for a holder is tried once the next time, not
// for 200 ms: a plotting program keeps spect.spc open while a spectrum comes ten times a second,
// and waiting for each one would leave the console ever further behind.
//
// The temporary is created with delete sharing, so that the console control handler, which runs
// on a thread of its own while the descriptor may still be open, can remove it: the system then
// deletes it when the program ends, however it ends. Only a program killed outright (from the
// Task Manager) leaves it: such leftovers of ours, a day old, go when a file is next written in
// their folder.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <aclapi.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cwctype>
#include <memory>
#include <mutex>
#include <random>
#include <set>

#include "safe_file.h"
#include "safe_file_steps.h"
#include "sysfile_win.h"

// A replacement under way: the new contents' descriptor, the full paths of the target and of
// the temporary, and how the target is being replaced.
struct safe_file_state {
    int fd = -1;
    int slot = -1;  // the console handler's record of the temporary's name, while it has one
    bool in_place_fallback = false;
    bool in_place = false;          // writing the target itself
    bool replacing = false;         // the target existed when opened
    std::wstring target_w, temp_w;  // full paths for the wide calls
};

// Windows has no unnamed temporary files and names no folder by a descriptor: these are kept
// for the tests' sake and unused.
bool safe_file_tmpfile = true;
bool safe_file_noreplace = true;
void (*safe_file_before_rename)(int, const char*, const char*) = nullptr;

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

// Another program holds the file so that this cannot be done now.
bool held(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// The last target written in place because a holder kept it (empty: none).
std::mutex held_lock;
std::wstring held_target;

// How long a holder of `target` is waited for: not at all when the last save of it that could go
// in place had to, as long as this one may too.
std::chrono::milliseconds holder_wait(const std::wstring& target, bool in_place_allowed) {
    std::lock_guard<std::mutex> guard(held_lock);
    return in_place_allowed && target == held_target ? std::chrono::milliseconds(0) : HELD_FOR;
}

void note_holder(const std::wstring& target, bool holding) {
    std::lock_guard<std::mutex> guard(held_lock);
    if (holding)
        held_target = target;
    else if (target == held_target)
        held_target.clear();
}

HANDLE open_existing(const std::wstring& path, DWORD access, DWORD creation = OPEN_EXISTING) {
    return CreateFileW(path.c_str(), access, SHARE_ALL, nullptr, creation, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

// Whether a step on `target` that failed with `error` failed for a holder. A rename or
// replacement over a file in use is refused as "access denied" too: then the target is asked
// directly, by opening it for deleting, which a holder refuses with a sharing violation. The last
// error is left as the holder's (ERROR_SHARING_VIOLATION) or as `error`.
bool failed_for_holder(DWORD error, const std::wstring& target) {
    if (held(error)) return true;
    if (error == ERROR_ACCESS_DENIED || error == ERROR_UNABLE_TO_REMOVE_REPLACED) {
        HANDLE h = open_existing(target, DELETE);
        const DWORD why = h == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        if (held(why)) {
            SetLastError(why);
            return true;
        }
    }
    SetLastError(error);
    return false;
}

// Tries `attempt` until it succeeds, fails otherwise than by a holder of `target`, or `wait` has
// passed; GetLastError() tells the last failure.
template <typename Attempt>
bool while_held(const std::wstring& target, std::chrono::milliseconds wait, Attempt attempt) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        if (attempt()) return true;
        if (!failed_for_holder(GetLastError(), target)) return false;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        Sleep(HELD_PAUSE_MS);
    }
}

// ---- our leftovers -------------------------------------------------------------------------
//
// A temporary outlives the program only when the program is killed outright. It is removed when
// a file is next written in its folder, if it is certainly ours: our name pattern, a plain file
// with one name, owned by this user, and untouched for a day (a
// temporary being written by another nv-term at this moment is younger). What is examined is the
// file that is removed: it is opened once, and deleted through that handle.

constexpr ULONGLONG LEFTOVER_AGE_100NS = 24ULL * 3600 * 10'000'000;
constexpr size_t SWEPT_MAX = 64;  // folders remembered as swept in this run

bool temp_name_like(const wchar_t* name) {
    if (wcslen(name) != 3 + TEMP_RANDOM || wcsncmp(name, L".nv", 3) != 0) return false;
    for (const wchar_t* c = name + 3; *c; ++c)
        if (!((*c >= L'a' && *c <= L'z') || (*c >= L'A' && *c <= L'Z') ||
              (*c >= L'0' && *c <= L'9')))
            return false;
    return true;
}

// The owners of files of ours: this user, and the owner this process gives the files it creates
// (its token's default owner: the user, or for an elevated administrator the Administrators).
struct our_owners {
    std::unique_ptr<unsigned char[]> user, owner;

    bool read() {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
        const bool ok = query(token, TokenUser, &user) && query(token, TokenOwner, &owner);
        CloseHandle(token);
        return ok;
    }
    bool match(PSID sid) const {
        return EqualSid(sid, reinterpret_cast<TOKEN_USER*>(user.get())->User.Sid) ||
               EqualSid(sid, reinterpret_cast<TOKEN_OWNER*>(owner.get())->Owner);
    }

  private:
    static bool query(HANDLE token, TOKEN_INFORMATION_CLASS what,
                      std::unique_ptr<unsigned char[]>* out) {
        DWORD size = 0;
        GetTokenInformation(token, what, nullptr, 0, &size);
        if (size == 0) return false;
        *out = std::make_unique<unsigned char[]>(size);
        return GetTokenInformation(token, what, out->get(), size, &size) != 0;
    }
};

ULONGLONG as_number(const FILETIME& t) {
    return static_cast<ULONGLONG>(t.dwHighDateTime) << 32 | t.dwLowDateTime;
}

// Removes the file at `path` if it is a leftover of ours.
void remove_if_leftover(const std::wstring& path, const our_owners& ours_are, ULONGLONG now) {
    HANDLE h = CreateFileW(path.c_str(), DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES, SHARE_ALL,
                           nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    BY_HANDLE_FILE_INFORMATION info{};
    PSID file_owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const bool ours =
        GetFileInformationByHandle(h, &info) &&
        !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
        info.nNumberOfLinks == 1 && now > as_number(info.ftLastWriteTime) &&
        now - as_number(info.ftLastWriteTime) > LEFTOVER_AGE_100NS &&
        GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &file_owner, nullptr,
                        nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
        file_owner != nullptr && ours_are.match(file_owner);
    if (descriptor != nullptr) LocalFree(descriptor);
    if (ours) {
        FILE_DISPOSITION_INFO remove{TRUE};
        SetFileInformationByHandle(h, FileDispositionInfo, &remove, sizeof remove);
    }
    CloseHandle(h);
}

// Removes our leftovers in `folder` (a full path ending in a separator), once a run per folder.
void sweep_leftovers(const std::wstring& folder) {
    static std::mutex lock;
    static std::set<std::wstring> swept;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!swept.insert(folder).second) return;
        if (swept.size() > SWEPT_MAX) swept = {folder};
    }
    our_owners owners;
    if (!owners.read()) return;
    FILETIME now_time;
    GetSystemTimeAsFileTime(&now_time);
    const ULONGLONG now = as_number(now_time);
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileExW((folder + L".nv*").c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        if (temp_name_like(found.cFileName))
            remove_if_leftover(folder + found.cFileName, owners, now);
    } while (FindNextFileW(find, &found));
    FindClose(find);
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

namespace {

// Drops the new contents and forgets the target; errno kept.
void drop(safe_file_state& s) {
    const int saved = errno;
    if (s.fd >= 0) _close(s.fd);
    s.fd = -1;
    if (!s.temp_w.empty()) DeleteFileW(s.temp_w.c_str());
    s.temp_w.clear();
    s.in_place = false;
    forget_temp(s.slot);
    errno = saved;
}

bool fail(safe_file_state& s) {
    drop(s);
    return false;
}

// The target itself, emptied, as fopen(..., "w") opens it.
bool open_in_place(safe_file_state& s, int flags) {
    HANDLE h = open_existing(s.target_w, GENERIC_WRITE, TRUNCATE_EXISTING);
    if (h == INVALID_HANDLE_VALUE) {
        set_errno_from_windows();
        return false;
    }
    s.fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags);
    if (s.fd < 0) CloseHandle(h);
    s.in_place = s.fd >= 0;
    return s.in_place;
}

// One attempt at putting the temporary in the target's place.
bool move_over(safe_file_state& s) {
    const auto rename = [&] {
        return MoveFileExW(s.temp_w.c_str(), s.target_w.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    };
    if (!s.replacing) return rename();
    // A target that cannot be removed now is not handed to ReplaceFile: Wine's leaves a file
    // "rfeNNNN.tmp" beside it for every such attempt (Windows' refuses it leaving nothing).
    HANDLE old = open_existing(s.target_w, DELETE);
    if (old == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND && rename();
    CloseHandle(old);
    if (ReplaceFileW(s.target_w.c_str(), s.temp_w.c_str(), nullptr,
                     REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr,
                     nullptr))
        return true;
    const DWORD error = GetLastError();
    // The old file is gone already (removed by the replacement, or by someone else meanwhile),
    // the new one still under its temporary name: the rename finishes the replacement.
    if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT || error == ERROR_FILE_NOT_FOUND) return rename();
    SetLastError(error);
    return false;
}

// The last step: the temporary moved over the target; or, when a holder keeps the target from
// being replaced and that is allowed, its contents copied into the target and the temporary
// removed (by discard).
bool replace_or_write_in_place(safe_file_state& s) {
    if (while_held(s.target_w, holder_wait(s.target_w, s.in_place_fallback),
                   [&] { return move_over(s); })) {
        note_holder(s.target_w, false);
        s.temp_w.clear();  // it is the target now; commit's discard gives the record back
        return true;
    }
    if (!held(GetLastError()) || !s.in_place_fallback) return false;
    note_holder(s.target_w, true);
    return copy_in_place(s.temp_w, s.target_w);
}

bool replace(safe_file_state& s) {
    if (_commit(s.fd) != 0) return false;
    const int fd = s.fd;
    s.fd = -1;
    if (_close(fd) != 0) return false;
    if (s.in_place) return true;
    if (!replace_or_write_in_place(s)) {
        set_errno_from_windows();
        return false;
    }
    return true;
}

}  // namespace

SafeFile::SafeFile() : s_(std::make_unique<safe_file_state>()) {}

SafeFile::~SafeFile() {
    drop(*s_);
}

void SafeFile::fall_back_in_place() {
    s_->in_place_fallback = true;
}

bool SafeFile::open(const char* path, Mode mode) {
    safe_file_state& s = *s_;
    drop(s);
    if (path == nullptr) {
        errno = EINVAL;
        return false;
    }
    std::string folder_part, name;
    split(path, &folder_part, &name);
    if (name.empty() || name == "." || name == "..") {
        errno = EISDIR;
        return false;
    }
    s.target_w = sys_wide_path(path);
    if (s.target_w.empty()) {
        errno = ENOENT;
        return false;
    }
    const int flags = _O_WRONLY | (mode == Text ? _O_TEXT : _O_BINARY);

    // The target as it is: a directory or a read-only file is not replaced, nor a file this user
    // could not open for writing (nothing is changed by these opens).
    const DWORD attributes = GetFileAttributesW(s.target_w.c_str());
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
        if (!can_open(s.target_w, GENERIC_WRITE)) {
            set_errno_from_windows();
            return false;
        }
        // Replacing takes the right to delete the old file, which a holder without delete
        // sharing keeps for itself.
        if (!while_held(s.target_w, holder_wait(s.target_w, s.in_place_fallback),
                        [&] { return can_open(s.target_w, DELETE); })) {
            if (held(GetLastError()) && s.in_place_fallback) {
                note_holder(s.target_w, true);
                return open_in_place(s, flags);
            }
            set_errno_from_windows();
            return false;
        }
    }

    // Created as O_CREAT|O_EXCL would (CREATE_NEW), with delete sharing for the control handler,
    // then given a descriptor in binary or text mode. Its name is the target's folder and 9
    // characters: never much longer than the target's own.
    const std::wstring folder = s.target_w.substr(0, s.target_w.find_last_of(L'\\') + 1);
    sweep_leftovers(folder);
    s.replacing = attributes != INVALID_FILE_ATTRIBUTES;
    for (int i = 0; i < NAME_TRIES; ++i) {
        const std::string random = safe_file_temp_name();
        const std::wstring temp = folder + sys_wide(random.c_str());
        s.slot = record_temp(temp);
        if (s.slot < 0) {
            errno = ENOMEM;
            return false;
        }
        HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                               nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            s.temp_w = temp;
            s.fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags);
            if (s.fd >= 0) return true;
            CloseHandle(h);
            return fail(s);
        }
        set_errno_from_windows();
        const int error = errno;
        forget_temp(s.slot);
        // A folder this user may not write, holding a target the user may: in place, if allowed.
        if (error == EACCES && attributes != INVALID_FILE_ATTRIBUTES && s.in_place_fallback)
            return open_in_place(s, flags);
        errno = error;
        if (error != EEXIST) return false;
    }
    return false;
}

bool SafeFile::write(const void* data, size_t size) {
    const safe_file_state& s = *s_;
    return s.fd >= 0 && write_all(s.fd, data, size);
}

// The C runtime has no positioned write: the position is moved there and back.
bool SafeFile::write_at(const void* data, size_t size, long long offset) {
    const safe_file_state& s = *s_;
    if (s.fd < 0 || offset < 0) return false;
    const long long end = _telli64(s.fd);
    return end >= 0 && _lseeki64(s.fd, offset, SEEK_SET) >= 0 && write_all(s.fd, data, size) &&
           _lseeki64(s.fd, end, SEEK_SET) >= 0;
}

int safe_file_state_fd(const safe_file_state& s) {
    return s.fd;
}

bool safe_file_finish(safe_file_state& s) {
    return replace(s);
}

void safe_file_drop(safe_file_state& s) {
    drop(s);
}

// Appending: a file that is no symbolic link, junction or other reparse point, a disk file (not
// a device or a pipe), opened to write at its end; made when missing. The descriptor is the C
// runtime's, for _write; svc_append's lock and sync work on its handle.
int safe_file_append_open(const char* path) {
    const std::wstring wide = sys_wide_path(path);
    if (wide.empty()) {
        errno = ENOENT;
        return -1;
    }
    HANDLE h = CreateFileW(wide.c_str(),
                           FILE_APPEND_DATA | FILE_WRITE_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
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
    const int fd =
        _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_APPEND | _O_BINARY);
    if (fd < 0) CloseHandle(h);
    return fd;
}
