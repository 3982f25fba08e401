#pragma once
// The steps each system's file (safe_file_posix.cpp, safe_file_win.cpp) gives safe_file.cpp,
// which holds what SafeFile does the same way everywhere. Only those three files include this.

struct safe_file_state;

// The descriptor being written, or -1 when nothing is open.
int safe_file_state_fd(const safe_file_state& s);
// The open file takes the target's place (or, written in place, is finished); errno on failure.
bool safe_file_finish(safe_file_state& s);
// Closes what is open, removes a temporary, forgets the target; errno kept.
void safe_file_drop(safe_file_state& s);
// safe_file_append for a path that is not null.
int safe_file_append_open(const char* path);
