// What nv-service shows: one line per event, each naming its instrument; failures on standard
// error; the uploads' progress; the session log. Every thread of the run prints through here,
// one whole line at a time.
//
// Lines go to standard output (to standard error with --json, whose standard output carries
// only JSON). When standard error is a terminal, each upload shows a bar there with its rate and
// the time left, redrawn in place below the lines; otherwise a progress line goes out with the
// other lines every few seconds.
#pragma once

#include <cstdint>
#include <string>

// Starts the output. `log_path` non-empty: every line is also appended, time-stamped, to that
// file (opened as every file nv-service writes is); false with `error` when it cannot be.
bool svc_out_start(bool json, const std::string& log_path, std::string* error);
void svc_out_stop();

// "WHO: TEXT".
void svc_say(const std::string& who, const std::string& text);
// "nv-service: WHO: TEXT" on standard error (`who` empty: "nv-service: TEXT").
void svc_warn(const std::string& who, const std::string& text);
// A line of machine output (JSON) on standard output, as it is.
void svc_data(const std::string& line);

// An upload's progress: `done` of `total` bytes after `seconds`. On a terminal its bar is
// redrawn (at most ten times a second); otherwise a line goes out every PROGRESS_LINE_S.
constexpr double PROGRESS_LINE_S = 5.0;
void svc_progress(const std::string& who, uint64_t done, uint64_t total, double seconds);
// The upload ended: its bar goes.
void svc_progress_end(const std::string& who);

// The progress text without the bar: "45% (14.4 of 32.0 MiB), 12.3 MB/s, 3 s left".
std::string svc_progress_text(uint64_t done, uint64_t total, double seconds);
