// The Windows edges of text and files: names in any script and length, a target another program
// holds open (refused, or written in place for spect.spc), the temporary removed by every console
// event that ends the program. Expected bytes are UTF-8 here, independent of the conversions.
#include <gtest/gtest.h>
#include <io.h>
#include <process.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "safe_file.h"
#include "sysfile_win.h"

namespace {

// `path` opened for `access`, others let do what `share` allows. hold(): as C's fopen or an
// editor holds a file: others may read and write, but neither delete nor rename.
HANDLE open_as(const std::string& path, DWORD access,
               DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE) {
    return CreateFileW(sys_wide_path(path.c_str()).c_str(), access, share, nullptr, OPEN_EXISTING,
                       0, nullptr);
}
HANDLE hold(const std::string& path) {
    return open_as(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
}

std::string get(const std::string& path) {
    HANDLE h = open_as(path, GENERIC_READ);
    std::string out;
    char buf[4096];
    for (DWORD n = 0; h != INVALID_HANDLE_VALUE && ReadFile(h, buf, sizeof buf, &n, nullptr) && n;)
        out.append(buf, n);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return h == INVALID_HANDLE_VALUE ? "<none>" : out;
}

bool put(const std::string& path, const std::string& content) {
    SafeFile f;
    return f.open(path.c_str()) && f.write(content.data(), content.size()) && f.commit();
}

std::set<std::string> names_in(const std::string& dir) {
    std::set<std::string> names;
    WIN32_FIND_DATAW d;
    HANDLE h = FindFirstFileW((sys_wide_path(dir.c_str()) + L"\\*").c_str(), &d);
    for (bool more = h != INVALID_HANDLE_VALUE; more; more = FindNextFileW(h, &d)) {
        std::string name = sys_utf8(d.cFileName);
        if (name != "." && name != "..") names.insert(name);
    }
    if (h != INVALID_HANDLE_VALUE) FindClose(h);
    return names;
}

// A fresh folder under the system's temporary folder, named in three scripts; removed at the end.
struct Folder {
    std::string path;
    Folder() {
        wchar_t tmp[MAX_PATH];
        GetTempPathW(MAX_PATH, tmp);
        path = sys_utf8(tmp) + "nv \xd1\x82\xd0\xb5\xd1\x81\xd1\x82 " +
               std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++made);
        CreateDirectoryW(sys_wide_path(path.c_str()).c_str(), nullptr);
    }
    ~Folder() { remove(path); }
    std::string operator/(const std::string& name) const { return path + "\\" + name; }
    static void remove(const std::string& dir) {
        for (const std::string& n : names_in(dir)) {
            const std::wstring w = sys_wide_path((dir + "\\" + n).c_str());
            if (!DeleteFileW(w.c_str())) remove(dir + "\\" + n);
        }
        RemoveDirectoryW(sys_wide_path(dir.c_str()).c_str());
    }
    static inline int made = 0;
};

TEST(WinFiles, PathsAreFullAndLong) {
    wchar_t cwd[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, cwd);
    const std::wstring here =
        std::wstring(L"\\\\?\\") + cwd + (cwd[wcslen(cwd) - 1] == L'\\' ? L"" : L"\\");
    const struct {
        const char* name;
        std::wstring wide;
    } cases[] = {
        {"a.xfw", here + L"a.xfw"},
        {"\xd1\x84.spc", here + L"\x0444.spc"},  // UTF-8
        {"\xe9t\xe9", here + L"\x00e9t\x00e9"},  // not UTF-8: the ANSI code page (1252)
        {"C:/x/./y/../z.xfw", L"\\\\?\\C:\\x\\z.xfw"},
        {"\\\\server\\share\\f", L"\\\\?\\UNC\\server\\share\\f"},
        {"\\\\?\\C:\\kept", L"\\\\?\\C:\\kept"},
        {"", L""},
    };
    for (const auto& c : cases) EXPECT_EQ(sys_wide_path(c.name), c.wide) << c.name;
}

TEST(WinFiles, AnyNameAndAnyLengthIsReplacedWhole) {
    Folder dir;
    const std::string deep_dir = dir / (std::string(120, 'd') + "\\" + std::string(120, 'e'));
    const std::string cjk_dir = dir / "\xe5\x9b\xba\xe4\xbb\xb6";  // 固件
    for (const std::string& d : {dir / std::string(120, 'd'), deep_dir, cjk_dir})
        CreateDirectoryW(sys_wide_path(d.c_str()).c_str(), nullptr);
    const std::string targets[] = {
        dir / "\xd1\x81\xd0\xbf\xd0\xb5\xd0\xba\xd1\x82\xd1\x80.xfw",  // спектр.xfw
        dir / "\xce\xb5\xce\xbb\xce\xbb\xce\xb7\xce\xbd\xce\xb9\xce\xba\xce\xac",  // ελληνικά
        cjk_dir + "\\spect.spc",
        deep_dir + "\\" + std::string(40, 'f') + ".xfw",  // over 300 characters in all
    };
    ASSERT_GT(targets[3].size(), 300u);
    for (const std::string& target : targets) {
        SCOPED_TRACE(target);
        const std::string folder = target.substr(0, target.rfind('\\'));
        const std::string name = target.substr(folder.size() + 1);
        std::set<std::string> after = names_in(folder);
        after.insert(name);
        for (const char* content : {"first", "second"}) {
            SafeFile f;
            ASSERT_TRUE(f.open(target.c_str()));
            ASSERT_TRUE(f.write(content, strlen(content)));
            // Beside the target only the temporary, whose name is 9 characters.
            std::set<std::string> during = names_in(folder);
            for (const std::string& n : after) during.erase(n);
            ASSERT_EQ(during.size(), 1u);
            EXPECT_EQ(during.begin()->size(), 9u);
            ASSERT_TRUE(f.commit());
            EXPECT_EQ(get(target), content);
            EXPECT_EQ(names_in(folder), after);
        }
        HANDLE reader = hold(target);  // as an editor holds it: read all the same
        const int fd = sys_open_read(target.c_str());
        EXPECT_GE(fd, 0);
        if (fd >= 0) _close(fd);
        CloseHandle(reader);
    }
    EXPECT_EQ(sys_open_read((dir / "none").c_str()), -1);
    EXPECT_EQ(sys_open_read(cjk_dir.c_str()), -1);  // a folder is no file to read
}

// The file's identity: it changes when the file is replaced, not when it is written in place.
unsigned long long file_id(const std::string& path) {
    HANDLE h = open_as(path, 0);
    BY_HANDLE_FILE_INFORMATION info{};
    GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    return (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
}

TEST(WinFiles, AReaderThatHoldsTheTarget) {
    using clock = std::chrono::steady_clock;
    enum class When { at_open, at_commit, briefly };
    const struct {
        const char* what;
        When when;
        bool in_place_allowed;
        bool written;
        bool replaced;       // a new file, not the old one written in place
        bool again = false;  // saved the same way just before: the holder is not waited for
    } cases[] = {
        {"container held throughout", When::at_open, false, false, false},
        {"spectrum held throughout", When::at_open, true, true, false},
        {"spectrum held throughout, saved again", When::at_open, true, true, false, true},
        {"container held throughout, saved again", When::at_open, false, false, false, true},
        {"container held from the commit", When::at_commit, false, false, false},
        {"spectrum held from the commit", When::at_commit, true, true, false},
        {"container held for a moment", When::briefly, false, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Folder dir;
        const std::string target = dir / "spect.spc";
        ASSERT_TRUE(put(target, "old and longer"));  // so that what is written in place is cut
        const unsigned long long before = file_id(target);
        HANDLE reader = hold(target);
        std::thread letting_go;
        if (c.when == When::briefly)
            letting_go = std::thread([&] {
                Sleep(20);  // a holder that lets go within the wait, as an antivirus does
                CloseHandle(reader);
            });
        if (c.when == When::at_commit) CloseHandle(reader);
        auto save = [&](SafeFile& f) {
            if (c.in_place_allowed) f.fall_back_in_place();
            return f.open(target.c_str()) && f.write("new", 3);
        };
        if (c.again) {
            SafeFile first;
            if (save(first)) first.commit();
        }
        const auto start = clock::now();
        SafeFile f;
        bool ok = save(f);
        if (c.when == When::at_commit) reader = hold(target);
        ok = ok && f.commit();
        const auto waited = clock::now() - start;
        if (letting_go.joinable())
            letting_go.join();
        else
            CloseHandle(reader);
        EXPECT_EQ(ok, c.written);
        if (!c.written) {
            EXPECT_EQ(errno, EBUSY);  // the reason the console gives
        }
        if (c.again && c.written) {
            EXPECT_LT(waited, std::chrono::milliseconds(150));
        } else if (!c.replaced) {
            EXPECT_GE(waited, std::chrono::milliseconds(190));
        }
        EXPECT_EQ(get(target), c.written ? "new" : "old and longer");
        EXPECT_EQ(file_id(target) != before, c.replaced);
        EXPECT_EQ(names_in(dir.path), std::set<std::string>{"spect.spc"});
    }
}

// The temporary of a file being written goes with every console event that ends the program:
// each event in a child process of its own, which calls the handler and then ends as the
// system's default handler ends it. An event that ends nothing (99) leaves the temporary.
TEST(WinFiles, EveryConsoleEventRemovesTheTemporary) {
    if (const char* child = getenv("NV_CONSOLE_EVENT")) {
        SafeFile f;
        const std::string target = sys_utf8(_wgetenv(L"NV_CONSOLE_DIR")) + "\\c.xfw";
        if (!f.open(target.c_str()) || !f.write("new", 3)) ExitProcess(2);
        safe_file_console_event(std::strtoul(child, nullptr, 10));
        ExitProcess(STATUS_CONTROL_C_EXIT);
    }
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    for (unsigned long event :
         {0ul, 1ul, 2ul, 5ul, 6ul, 99ul}) {  // C, Break, close, logoff, shutdown
        SCOPED_TRACE(event);
        Folder dir;
        ASSERT_TRUE(put(dir / "c.xfw", "old"));
        SetEnvironmentVariableW(L"NV_CONSOLE_EVENT", std::to_wstring(event).c_str());
        SetEnvironmentVariableW(L"NV_CONSOLE_DIR", sys_wide(dir.path.c_str()).c_str());
        const std::wstring quoted = L"\"" + std::wstring(self) + L"\"";
        const intptr_t code =
            _wspawnl(_P_WAIT, self, quoted.c_str(), L"--gtest_brief=1",
                     L"--gtest_filter=WinFiles.EveryConsoleEventRemovesTheTemporary", nullptr);
        SetEnvironmentVariableW(L"NV_CONSOLE_EVENT", nullptr);
        EXPECT_EQ(static_cast<DWORD>(code), static_cast<DWORD>(STATUS_CONTROL_C_EXIT));
        EXPECT_EQ(get(dir / "c.xfw"), "old");
        EXPECT_EQ(names_in(dir.path).size(), event == 99 ? 2u : 1u);
    }
}

// The console read as UTF-16: whole characters in UTF-8 whatever the pieces it comes in, CR LF
// as LF, a line longer than the buffer cut between characters, Ctrl-Z as the end of input. A
// script from a file or pipe is read as its bytes, and ends, for good, at a line that starts with
// Ctrl-Z (as a file made with `copy con` ends).
std::vector<std::wstring> pieces;
int fake_console(wchar_t* out, int max) {
    if (pieces.empty()) return 0;
    std::wstring p = pieces.front();
    pieces.erase(pieces.begin());
    EXPECT_LE(static_cast<int>(p.size()), max);
    wmemcpy(out, p.data(), p.size());
    return static_cast<int>(p.size());
}

TEST(WinFiles, TheConsoleIsReadAsUtf16AScriptAsItsBytes) {
    const struct {
        std::vector<std::wstring> pieces;
        int size;
        std::vector<std::string> lines;  // "<end>" for null
        std::string script = "";         // read from a file instead of the console
    } cases[] = {
        {{L"\x0441\x043f\x0435\x043a\x0442\x0440\\out.xfw\r\n"},
         256,
         {"\xd1\x81\xd0\xbf\xd0\xb5\xd0\xba\xd1\x82\xd1\x80\\out.xfw\n", "<end>"}},
        {{L"\x03b1\xd83d", L"\xde00 \x56fa\r", L"\nq\r\n"},  // a surrogate pair split in two
         256,
         {"\xce\xb1\xf0\x9f\x98\x80 \xe5\x9b\xba\n", "q\n", "<end>"}},
        {{L"\x03b1\x03b1\x03b1\x03b1\x03b1\r\n"},  // 10 bytes into room for 7
         8,
         {"\xce\xb1\xce\xb1\xce\xb1", "\xce\xb1\xce\xb1\n", "<end>"}},
        {{L"1\r\n", L"\x001a\r\n", L"after\r\n"}, 256, {"1\n", "<end>"}},
        {{L"no line end"}, 256, {"no line end", "<end>"}},
        {{},
         64,
         {"1\r\n", "\xd0\x9a\x1a\r\n", "<end>", "<end>"},
         "1\r\n\xd0\x9a\x1a\r\n\x1a\r\nafter\r\n"},
    };
    auto real = sys_console_chars;
    sys_console_chars = fake_console;
    for (const auto& c : cases) {
        pieces = c.pieces;
        FILE* in = c.script.empty() ? stdin : tmpfile();
        if (in != stdin) fwrite(c.script.data(), 1, c.script.size(), in), rewind(in);
        for (const std::string& want : c.lines) {
            std::vector<char> buffer(static_cast<size_t>(c.size), 'x');
            const char* line = sys_read_line(buffer.data(), c.size, in);
            EXPECT_EQ(line ? std::string(line) : "<end>", want);
        }
        if (in != stdin) fclose(in);
        pieces.clear();
    }
    sys_console_chars = real;
}

}  // namespace
