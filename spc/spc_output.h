// Files nv-spc writes (figures, exports) replace their target whole, as every file the programs
// write (safe_file.h): a reader never sees half a file, a failure leaves the old one, another
// user's symbolic link is not followed, the target's mode is kept, and a target the user may
// not write is not replaced.
#pragma once

#include <string>

// Writes `data` to `path` ("-": standard output). False with `error` ("PATH: reason").
bool spc_write_file(const std::string& path, const std::string& data, std::string* error);
