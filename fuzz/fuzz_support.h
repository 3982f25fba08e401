// Shared by the fuzz targets: a quiet log, standard input at its end, and a private working
// directory, so a target can run the console's code (prompts, files) without a terminal.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "libcomm.h"

namespace fuzz {

inline void discard(int, const char*, size_t, void*) {}

// The program's log categories, printed into nothing: the formatting still runs.
inline void quiet_log() {
    log_reset();
    log_addlevel("MAIN", 0, 1, 0, 0, "");
    log_addlevel("EVENTS", 0, 1, 0, 0, "");
    log_seterror(0, 1, 0, 0, "");
    log_set_sink(discard, nullptr);
}

// Moves the process into a fresh directory under /tmp (left for the run's lifetime: files
// written there, such as spect.spc, are overwritten at every input).
inline void private_directory() {
    char dir[] = "/tmp/nv-fuzz-XXXXXX";
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0) std::abort();
}

}  // namespace fuzz
