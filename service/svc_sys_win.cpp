// nv-service's system calls on Windows: see svc_sys.h.
#include <io.h>
#include <windows.h>
// After windows.h:
#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "svc_sys.h"
#include "sysfile_win.h"

namespace {

std::string env(const wchar_t* name) {
    const wchar_t* v = _wgetenv(name);
    return v != nullptr ? sys_utf8(v) : "";
}

bool make_wide_folder(const std::string& path) {
    const std::wstring wide = sys_wide_path(path.c_str());
    if (wide.empty()) {
        errno = ENOENT;
        return false;
    }
    if (CreateDirectoryW(wide.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS)
        return true;
    errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : ENOENT;
    return false;
}

// The ports Windows knows, from the registry: \Device\Serial0 -> COM1.
void ports_from_registry(std::vector<svc_port>* out) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256], value[256];
        DWORD name_len = 256, value_len = sizeof value, type = 0;
        if (RegEnumValueW(key, i, name, &name_len, nullptr, &type, reinterpret_cast<BYTE*>(value),
                          &value_len) != ERROR_SUCCESS)
            break;
        if (type != REG_SZ) continue;
        value[std::min<DWORD>(value_len / sizeof(wchar_t), 255)] = L'\0';
        const std::string port = sys_utf8(value);
        const bool known = std::any_of(out->begin(), out->end(),
                                       [&](const svc_port& p) { return p.device == port; });
        if (!known) out->push_back(svc_port{port, ""});
    }
    RegCloseKey(key);
}

}  // namespace

std::string svc_host_name() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    return GetComputerNameW(name, &size) ? sys_utf8(name) : "";
}

std::string svc_user_name() {
    wchar_t name[257];
    DWORD size = 257;
    return GetUserNameW(name, &size) ? sys_utf8(name) : env(L"USERNAME");
}

std::string svc_default_record() {
    const std::string local = env(L"LOCALAPPDATA");
    return local.empty() ? "" : local + "\\nv-term\\service.jsonl";
}

bool svc_make_folders(const std::string& path) {
    // Every folder of the path up to the file's own, from the first below the drive or share.
    for (size_t at = path.find_first_of("\\/", 3); at != std::string::npos;
         at = path.find_first_of("\\/", at + 1))
        if (!make_wide_folder(path.substr(0, at))) return false;
    return true;
}

bool svc_make_folder(const std::string& path) {
    return make_wide_folder(path);
}

bool svc_exists(const std::string& path) {
    const std::wstring wide = sys_wide_path(path.c_str());
    return !wide.empty() && GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A console that takes the terminal sequences of the progress bars (Windows 10 and later).
bool svc_is_terminal(FILE* stream) {
    if (!_isatty(_fileno(stream))) return false;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    return GetConsoleMode(h, &mode) && SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

int svc_terminal_width(FILE* stream) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    if (GetConsoleScreenBufferInfo(h, &info)) {
        const int width = info.srWindow.Right - info.srWindow.Left + 1;
        if (width >= 20) return width;
    }
    return 80;
}

// COMn with the friendly name Windows gives the port ("USB Serial Device (COM3)").
std::vector<svc_port> svc_serial_ports() {
    std::vector<svc_port> ports;
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set != INVALID_HANDLE_VALUE) {
        SP_DEVINFO_DATA dev{};
        dev.cbSize = sizeof dev;
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &dev); ++i) {
            HKEY key = SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
            if (key == INVALID_HANDLE_VALUE) continue;
            wchar_t port[64] = L"";
            DWORD size = sizeof port - sizeof(wchar_t), type = 0;
            const bool named =
                RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(port),
                                 &size) == ERROR_SUCCESS &&
                type == REG_SZ;
            RegCloseKey(key);
            if (!named || wcsncmp(port, L"COM", 3) != 0) continue;
            wchar_t friendly[256] = L"";
            SetupDiGetDeviceRegistryPropertyW(set, &dev, SPDRP_FRIENDLYNAME, nullptr,
                                              reinterpret_cast<BYTE*>(friendly),
                                              sizeof friendly - sizeof(wchar_t), nullptr);
            ports.push_back(svc_port{sys_utf8(port), sys_utf8(friendly)});
        }
        SetupDiDestroyDeviceInfoList(set);
    }
    ports_from_registry(&ports);
    std::sort(ports.begin(), ports.end(), [](const svc_port& a, const svc_port& b) {
        return std::atoi(a.device.c_str() + 3) < std::atoi(b.device.c_str() + 3);
    });
    return ports;
}

bool svc_append(int fd, const std::string& bytes) {
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    OVERLAPPED whole{};
    if (h == INVALID_HANDLE_VALUE ||
        !LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
        errno = EBADF;
        return false;
    }
    LARGE_INTEGER zero{}, end{};
    bool ok = SetFilePointerEx(h, zero, &end, FILE_END) != 0;
    DWORD put = 0;
    ok = ok && WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) &&
         put == bytes.size();
    const DWORD error = GetLastError();
    // Half a record would spoil the line of the next one: the file goes back to its end.
    if (!ok && SetFilePointerEx(h, end, nullptr, FILE_BEGIN)) SetEndOfFile(h);
    if (ok) ok = FlushFileBuffers(h) != 0;
    UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &whole);
    if (!ok) errno = error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ? ENOSPC : EIO;
    return ok;
}

void svc_close(int fd) {
    if (fd >= 0) _close(fd);
}

void svc_utc_tm(int64_t seconds, struct tm* out) {
    const time_t t = static_cast<time_t>(seconds);
    gmtime_s(out, &t);
}

void svc_local_now(struct tm* out) {
    const time_t now = time(nullptr);
    localtime_s(out, &now);
}
