// Files nv-spc writes (figures, exports) replace their target whole: the bytes go to a temporary
// file beside it that is synced and renamed over the target, so a reader never sees half a file
// and a failure leaves the old one. A symbolic link is followed, the target's mode is kept, and a
// target the user may not write is not replaced.
#pragma once

#include <string>

// Writes `data` to `path` ("-": standard output). False with `error` ("PATH: reason").
bool spc_write_file(const std::string& path, const std::string& data, std::string* error);
