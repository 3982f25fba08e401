// The spectra nv-spc reads: the spectrum text file ("spect.spc" and SaveSpec's layout: two header
// values, one count per channel, a closing line) and nv-spc's own exports (N42 XML and CSV),
// which carry the same values back. The readers are strict: anything else is an error naming
// the line and what is wrong, so a half-written or foreign file is never shown as a spectrum.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "spc_calib.h"

// The spectrum handler writes 1024 channels closed by this line; SaveSpec writes any number of
// channels closed by "%.2f %.6f %.6f %.6f" (its scale / 100, then 0, 3 and 0).
constexpr int SPC_EVENT_CHANNELS = 1024;
constexpr const char* SPC_EVENT_CLOSING = "6.8 0 3 0";
// Bounds that keep a wrong file from taking the machine's memory: a CSV export of the largest
// spectrum with energies is about 30 MiB.
constexpr size_t SPC_MAX_FILE_BYTES = 64u << 20;
constexpr int SPC_MAX_CHANNELS = 1 << 20;
// What nv-spc's exports write so that they read back as the spectrum they came from.
constexpr const char* SPC_N42_CREATOR = "nv-spc ";
constexpr const char* SPC_HEADER_NOTE = "nv-spc header: ";
constexpr const char* SPC_CLOSING_NOTE = "nv-spc closing line: ";

struct spc_spectrum {
    std::vector<int32_t> counts;  // channel 0 first
    // Line 1 and line 2. The instrument puts the real time (s) first and the live time (s)
    // second.
    int32_t first = 0, second = 0;
    std::string closing;         // the closing line as written, without its line end
    double scale = 0;            // first number of the closing line
    spc_calib calib;             // an export's energy calibration (not set: none given)
    std::string format = "spc";  // "spc", "n42" or "csv"
};

struct spc_error {
    int line = 0;  // 1-based; 0 when the error concerns the file as a whole
    std::string what;
};

// Parses the whole text in whichever of the three layouts it is. Lines end in "\n" or "\r\n".
// Returns false with `err` filled.
bool spc_parse(std::string_view text, spc_spectrum* out, spc_error* err);

// Reads and parses `path` ("-": standard input). Only regular files (and standard input) are
// read: a FIFO, a device or a folder is refused before anything is read. On failure `message`
// is "PATH: what" or "PATH:LINE: what".
bool spc_read_file(const std::string& path, spc_spectrum* out, std::string* message);

// The name messages give `path` ("standard input" for "-").
std::string spc_display_name(const std::string& path);

// True when `line` is one of the two writers' closing lines; `scale` gets its first number.
bool spc_closing_line(std::string_view line, double* scale);

int64_t spc_total(const spc_spectrum& s);
