// The program's edges on Windows (sysfile.h): UTF-8 inside, UTF-16 at the system's calls.
//
// The C runtime's own arguments, fopen and console reads use the ANSI code page (1252 here, 437
// or 850 at a console), so a Cyrillic, Greek or CJK name arrives as question marks. Here the
// command line comes from GetCommandLineW, names go to the wide calls as full paths with the
// \\?\ prefix (which also lifts the 260-character limit without a manifest), a console is read
// with ReadConsoleW, and its output code page is UTF-8 while the program runs, so the UTF-8 the
// log writes shows as written.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sysfile_win.h"

namespace {

constexpr int CONSOLE_CHUNK = 512;   // UTF-16 characters per console read
constexpr char END_OF_INPUT = 0x1A;  // Ctrl-Z at the start of a console line

// ---- the console's code pages ---------------------------------------------------------------

UINT saved_input_cp = 0, saved_output_cp = 0;  // 0: no console, nothing to restore

void restore_code_pages() {
    if (saved_output_cp != 0) SetConsoleOutputCP(saved_output_cp);
    if (saved_input_cp != 0) SetConsoleCP(saved_input_cp);
}

// The console is the user's after the program: its code pages go back whichever way the program
// ends. FALSE lets the next handler, and in the end the system, end the program.
BOOL WINAPI restore_on_event(DWORD) {
    restore_code_pages();
    return FALSE;
}

// ---- reading the console --------------------------------------------------------------------

bool input_is_console() {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    return in != nullptr && in != INVALID_HANDLE_VALUE && GetConsoleMode(in, &mode);
}

int read_console(wchar_t* out, int max) {
    if (!input_is_console()) return -1;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD got = 0;
    if (!ReadConsoleW(in, out, static_cast<DWORD>(max), &got, nullptr)) return 0;
    return static_cast<int>(got);
}

// What was read from the console and not handed out yet (the console thread's alone).
std::string console_text;
std::wstring console_carry;  // a high surrogate whose partner comes with the next read

// Reads one piece into console_text: false at the console's end, or (with *no_console) when
// standard input is no console.
bool fill_from_console(bool* no_console) {
    wchar_t chars[CONSOLE_CHUNK + 1];
    const int n = sys_console_chars(chars, CONSOLE_CHUNK);
    *no_console = n < 0;
    if (n <= 0) return false;
    std::wstring wide = console_carry + std::wstring(chars, static_cast<size_t>(n));
    console_carry.clear();
    if (!wide.empty() && wide.back() >= 0xD800 && wide.back() <= 0xDBFF) {
        console_carry = wide.back();
        wide.pop_back();
    }
    for (char ch : sys_utf8(wide.c_str()))
        if (ch != '\r') console_text += ch;  // CR LF is a line end, as in a text-mode read
    return true;
}

// The next line from the console (as fgets gives it), null at the end of input.
char* console_line(char* buffer, int size, bool* no_console) {
    *no_console = false;
    bool ended = false;
    while (!ended && console_text.find('\n') == std::string::npos &&
           console_text.size() < static_cast<size_t>(size - 1)) {
        ended = !fill_from_console(no_console);
        if (*no_console) return nullptr;
    }
    if (!console_text.empty() && console_text[0] == END_OF_INPUT) console_text.clear();
    if (console_text.empty()) return nullptr;
    const size_t end = console_text.find('\n');
    size_t take = std::min(end == std::string::npos ? console_text.size() : end + 1,
                           static_cast<size_t>(size - 1));
    if (take < console_text.size()) {  // never half a character
        while (take > 0 && (static_cast<unsigned char>(console_text[take]) & 0xC0) == 0x80) --take;
    }
    memcpy(buffer, console_text.data(), take);
    buffer[take] = '\0';
    console_text.erase(0, take);
    return buffer;
}

std::wstring convert(const char* text, UINT code_page, DWORD flags) {
    const int n = MultiByteToWideChar(code_page, flags, text, -1, nullptr, 0);
    if (n <= 0) return {};
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(code_page, flags, text, -1, out.data(), n);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

// errno for the last failed Windows call of an open.
void set_errno_from_windows(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
            errno = ENOENT;
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

int (*sys_console_chars)(wchar_t* out, int max) = read_console;

std::wstring sys_wide(const char* utf8) {
    if (utf8 == nullptr || utf8[0] == '\0') return {};
    std::wstring out = convert(utf8, CP_UTF8, MB_ERR_INVALID_CHARS);
    return out.empty() ? convert(utf8, CP_ACP, 0) : out;
}

std::string sys_utf8(const wchar_t* wide) {
    if (wide == nullptr || wide[0] == L'\0') return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

std::wstring sys_wide_path(const char* utf8) {
    const std::wstring name = sys_wide(utf8);
    if (name.empty()) return {};
    const DWORD n = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (n == 0) return {};
    std::wstring full(n, L'\0');
    const DWORD used = GetFullPathNameW(name.c_str(), n, full.data(), nullptr);
    if (used == 0 || used >= n) return {};
    full.resize(used);
    if (full.rfind(L"\\\\?\\", 0) == 0 || full.rfind(L"\\\\.\\", 0) == 0) return full;
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

void sys_start(int* argc, char*** argv) {
    // Only the process's own arguments are this process's command line (a test may call the
    // program's entry with arguments of its own).
    bool own = *argc == __argc;
    for (int i = 0; own && i < *argc; ++i) own = std::strcmp((*argv)[i], __argv[i]) == 0;
    if (!own) return;
    static std::vector<std::string> args;
    static std::vector<char*> pointers;
    int n = 0;
    if (LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &n)) {
        for (int i = 0; i < n; ++i) args.push_back(sys_utf8(wide[i]));
        LocalFree(wide);
        for (std::string& a : args) pointers.push_back(a.data());
        pointers.push_back(nullptr);
        *argc = n;
        *argv = pointers.data();
    }
    // A script is read byte for byte: in text mode the C runtime would end it at the first byte
    // 0x1A, which UTF-16 text holds in many a character (U+041A, Cyrillic Ka), and would take
    // bytes 0D 0A inside such text for a line end. CR LF is read as LF above the runtime.
    if (!input_is_console()) _setmode(_fileno(stdin), _O_BINARY);
    // With no console attached (a pipe, a service) there is nothing to set.
    saved_output_cp = GetConsoleOutputCP();
    saved_input_cp = GetConsoleCP();
    if (saved_output_cp == 0) return;
    SetConsoleOutputCP(CP_UTF8);
    SetConsoleCP(CP_UTF8);
    atexit(restore_code_pages);
    SetConsoleCtrlHandler(restore_on_event, TRUE);
}

char* sys_read_line(char* buffer, int size, FILE* stream) {
    bool no_console = stream != stdin || size < 2;
    char* line = no_console ? nullptr : console_line(buffer, size, &no_console);
    if (!no_console) return line;
    // As the C runtime's text mode ended a script at Ctrl-Z (a file made with `copy con` ends so).
    static FILE* ended = nullptr;
    line = stream == ended ? nullptr : fgets(buffer, size, stream);
    if (line == nullptr || line[0] != END_OF_INPUT) return line;
    ended = stream;
    return nullptr;
}

bool sys_is_console(FILE* stream) {
    return stream == stdin && input_is_console();
}

int sys_open_read(const char* path) {
    const std::wstring wide = sys_wide_path(path);
    HANDLE h = wide.empty() ? INVALID_HANDLE_VALUE
                            : CreateFileW(wide.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        set_errno_from_windows(wide.empty() ? ERROR_INVALID_NAME : GetLastError());
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
    if (fd < 0) CloseHandle(h);
    return fd;
}

// The driver file comes with nv-term; 64-bit Windows installs it only with a signed catalog,
// which the maker supplies or the service PC makes (README.txt says how).
const char* const SYS_USB_ACCESS_ADVICE =
    "Bind it once, as administrator, in nv-term's folder: pnputil /add-driver nv52-winusb.inf "
    "/install, then re-plug the instrument.\n"
    "64-bit Windows takes nv52-winusb.inf only with its catalog nv52-winusb.cat signed: ask the "
    "maker for it, or sign one on this PC as README.txt says (\"USB: the first plug-in\").\n";

// Files are opened in binary mode (sys_open_read): a container's bytes are never translated.
void sys_blocking(int) {}

void sys_local_time(const time_t* seconds, struct tm* out) {
    localtime_s(out, seconds);
}
