// The conversions at Windows' edges (sysfile_win.cpp), for the Windows files that make wide
// calls themselves.
#pragma once

#include <io.h>
#include <windows.h>

#include <string>

#include "sysfile.h"

// UTF-8 and UTF-16. Text that is not valid UTF-8 is read in the system's ANSI code page.
std::wstring sys_wide(const char* utf8);
std::string sys_utf8(const wchar_t* wide);
// The full path of `utf8` as the wide calls take it: \\?\C:\... or \\?\UNC\server\...
// (devices as \\.\NAME); empty when there is none.
std::wstring sys_wide_path(const char* utf8);
// One read of at most `max` UTF-16 characters from the console: the count, 0 at its end, -1
// when standard input is no console. Tests replace it.
extern int (*sys_console_chars)(wchar_t* out, int max);
