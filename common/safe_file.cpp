// What SafeFile does the same way on every system; the steps are each system's
// (safe_file_steps.h).
#include "safe_file.h"

#include <cerrno>

#include "safe_file_steps.h"

int SafeFile::fd() const {
    return safe_file_state_fd(*s_);
}

bool SafeFile::commit() {
    safe_file_state& s = *s_;
    bool ok = false;
    if (safe_file_state_fd(s) < 0)
        errno = EBADF;
    else
        ok = safe_file_finish(s);
    safe_file_drop(s);  // errno kept
    return ok;
}

void SafeFile::discard() {
    safe_file_drop(*s_);
}

int safe_file_append(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return safe_file_append_open(path);
}
