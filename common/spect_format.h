// The spectrum text file: what the console's spectrum handler (spect.spc) and SaveSpec write,
// what nv-service keeps for each spectrum, and what nv-spc reads. Two header values, one count
// per channel, a closing line; every line "%d\n" but the closing one.
//
// The spectrum handler writes 1024 channels closed by SPECT_EVENT_CLOSING; SaveSpec writes any
// number of channels closed by its scale / 100, then 0, 3 and 0 ("%.2f %.6f %.6f %.6f").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

constexpr int SPECT_EVENT_CHANNELS = 1024;
constexpr std::string_view SPECT_EVENT_CLOSING = "6.8 0 3 0";

// The closing line SaveSpec writes for `scale` (without its line end).
std::string spect_saved_closing(float scale);

// True when `line` (without its line end) is a closing line of either form, with its scale
// (6.8 for the spectrum handler's).
bool spect_read_closing(std::string_view line, double* scale);

// The file's text: `first`, `second`, the `count` values (none when `values` is null or
// `count` <= 0), then `closing` and a line end.
std::string spect_text(const int32_t* values, int count, int32_t first, int32_t second,
                       std::string_view closing);
