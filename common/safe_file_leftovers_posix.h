// Our own temporaries that a killed program left behind (safe_file.h), removed when a file is
// next written in their folder, on Linux. Inside SafeFile only (safe_file_posix.cpp); Windows'
// sweep is inside safe_file_win.cpp.
#pragma once

// Removes, once a run per folder, the leftovers in the folder open as `dir_fd`: names of our
// pattern (".nv" and six letters or digits) that are plain files with one name, owned by this
// user and untouched for a day. A folder where another user could swap a name between the look
// and the removal (writable by others, not sticky) is left alone.
void safe_file_remove_leftovers(int dir_fd);
