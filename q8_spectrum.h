// The instrument's spectrum event (10002) and the spectrum text file, shared by the console's
// event handler (spect.spc) and nv-service (one file per spectrum kept). Nothing here prints.
//
// Event data (from frame offset 12), little-endian: i32 at 2 the channel count, u16 at 8 a
// value that is only announced, i32 at 112 and 116 the file's two header values, i32 at
// 230 + 4i the count of channel i (i = 0..1023).
//
// The file (spect_format.h): the value at 116, the value at 112, one line per channel, the
// closing line.
#pragma once

#include <cstdint>
#include <string_view>

#include "spect_format.h"

constexpr int Q8_SPECTRUM_CHANNELS = SPECT_EVENT_CHANNELS;

struct q8_spectrum {
    int32_t count;   // channel count the event announces
    int number;      // the announced 16-bit value
    int32_t first;   // header line 1 (data offset 116)
    int32_t second;  // header line 2 (data offset 112)
    int32_t channels[Q8_SPECTRUM_CHANNELS];
};

// What a spectrum event holds.
enum {
    Q8_SPECTRUM_NONE = 0,       // too short for what it announces: to be ignored whole
    Q8_SPECTRUM_ANNOUNCED = 1,  // a channel count other than 1024: announced, not saved
    Q8_SPECTRUM_FULL = 2,       // a whole 1024-channel spectrum
};
// Reads the event `frame`; never past its length field. The channels only with
// Q8_SPECTRUM_FULL.
int Q8_read_spectrum(const unsigned char* frame, q8_spectrum* out);

// Writes the spectrum text (spect_text) as the new contents of `path`, replaced whole
// (safe_file.h). On Windows it is a text file with CR LF line ends, written in place when a reader
// keeps it from being replaced. False (errno set) when it could not be written.
bool Q8_save_spectrum(const char* path, const int32_t* values, int count, int32_t first,
                      int32_t second, std::string_view closing);
