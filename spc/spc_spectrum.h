// The spectrum text file ("spect.spc" and SaveSpec's layout): two header values, one count per
// channel, a closing line. The reader is strict: anything but that layout is an error naming the
// line and what is wrong, so a half-written or foreign file is never shown as a spectrum.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The spectrum handler writes 1024 channels closed by this line; SaveSpec writes any number of
// channels closed by "%.2f %.6f %.6f %.6f" (its scale / 100, then 0, 3 and 0).
constexpr int SPC_EVENT_CHANNELS = 1024;
constexpr const char* SPC_EVENT_CLOSING = "6.8 0 3 0";
// Bounds that keep a wrong file from taking the machine's memory.
constexpr size_t SPC_MAX_FILE_BYTES = 16u << 20;
constexpr int SPC_MAX_CHANNELS = 1 << 20;

struct spc_spectrum {
    std::vector<int32_t> counts;  // channel 0 first
    // Line 1 and line 2. The instrument puts the real time (s) first and the live time (s)
    // second.
    int32_t first = 0, second = 0;
    std::string closing;  // the closing line as written, without its line end
    double scale = 0;     // first number of the closing line
};

struct spc_error {
    int line = 0;  // 1-based; 0 when the error concerns the file as a whole
    std::string what;
};

// Parses the whole text. Lines end in "\n" or "\r\n". Returns false with `err` filled.
bool spc_parse(std::string_view text, spc_spectrum* out, spc_error* err);

// Reads and parses `path`. On failure `message` is "PATH: what" or "PATH:LINE: what".
bool spc_read_file(const std::string& path, spc_spectrum* out, std::string* message);

int64_t spc_total(const spc_spectrum& s);
