// The spectra nv-spc reads, whoever wrote them. The format is told from the contents:
// - the spectrum text file ("spect.spc" and SaveSpec's layout: two header values, one count per
//   channel, a closing line), read strictly: anything else is an error naming the line;
// - N42 XML (ANSI N42.42-2012) from any writer: the measurements' spectra, their live and real
//   times, start and energy calibration, whatever namespace prefix the writer chose; a file of
//   several spectra is read once one is chosen (by its number or its id);
// - the ASCII spectrum of the lab's analysers ("$SPEC_ID:", "$MEAS_TIM:", "$DATA:" ... blocks,
//   .spe) and their binary integer spectrum (.chn: a 32-byte header, the counts, a trailer with
//   the calibration);
// - CSV of two or three columns (channel,counts / energy,counts / channel,energy,counts), with
//   or without a header row, separated by commas, semicolons or tabs.
// nv-spc's own exports read back as the file they came from: the N42 export carries the header
// values and the closing line in two remarks (and nv-spc's earlier CSV exports in comments).
//
// Every text from a file that an error, a note or `source` holds is escaped (device_text): a
// file may print nothing that drives the terminal.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "spc_calib.h"
#include "spect_format.h"

// Bounds that keep a wrong file from taking the machine's memory: a CSV export of the largest
// spectrum with energies is about 30 MiB.
constexpr size_t SPC_MAX_FILE_BYTES = 64u << 20;
constexpr int SPC_MAX_CHANNELS = 1 << 20;
// No measurement lasts longer (about 32 years): a longer time in a file is not a time.
constexpr double SPC_MAX_SECONDS = 1e9;
// What nv-spc's exports write so that they read back as the spectrum they came from.
constexpr const char* SPC_N42_CREATOR = "nv-spc ";
constexpr const char* SPC_HEADER_NOTE = "nv-spc header: ";
constexpr const char* SPC_CLOSING_NOTE = "nv-spc closing line: ";

struct spc_spectrum {
    std::vector<int32_t> counts;  // channel 0 first
    // The spectrum text file's line 1 and line 2 (the instrument puts the real time in seconds
    // first and the live time second) and its closing line; nv-spc's exports carry them. Other
    // writers' files have none: `header` false.
    bool header = true;
    int32_t first = 0, second = 0;
    std::string closing;  // as written, without its line end
    double scale = 0;     // first number of the closing line
    // The measurement's times in seconds: the header values, or what another writer's file
    // gives (0: not given).
    double real_time = 0, live_time = 0;
    // When the measurement started, where the file says so with its time zone (N42).
    bool has_start = false;
    time_t start = 0;
    spc_calib calib;             // the file's energy calibration (not set: none given)
    std::string format = "spc";  // "spc", "n42", "spe", "chn" or "csv"
    // Where the spectrum comes from as the file says it (writer, instrument, which of several
    // spectra, start as written), for people; empty for the spectrum text file.
    std::string source;
    // What the reader did not take from the file, and why (shown as warnings).
    std::vector<std::string> notes;
};

struct spc_error {
    int line = 0;  // 1-based; 0 when the error concerns the file as a whole
    std::string what;
};

// Parses the whole text (or bytes) in whichever format it is. `choice` names one of several
// spectra of an N42 file: its number from 1 in the file's order, or its id (or its
// measurement's, when that holds one spectrum); other formats hold one spectrum, number 1.
// Without a choice a file of several spectra is an error that lists them. Returns false with
// `err` filled.
bool spc_parse(std::string_view text, spc_spectrum* out, spc_error* err,
               const std::string& choice = "");

// Reads and parses `path` ("-": standard input). Only regular files (and standard input) are
// read: the name is examined before it is opened, so that a FIFO, a device (a link to a
// watchdog, whose opening alone arms it), a socket or a folder is refused without ever being
// opened. On failure `message` is "PATH: what" or "PATH:LINE: what", PATH escaped.
bool spc_read_file(const std::string& path, spc_spectrum* out, std::string* message,
                   const std::string& choice = "");

// Reads the whole of a regular file (or standard input for "-") into `bytes`, up to one byte
// past SPC_MAX_FILE_BYTES. False with `refusal` (without the path) when the name is not a
// regular file or reading failed. Examines before opening, as spc_read_file says.
bool spc_read_bytes(const std::string& path, std::string* bytes, std::string* refusal);

// The name messages give `path`: "standard input" for "-", else the path escaped.
std::string spc_display_name(const std::string& path);

int64_t spc_total(const spc_spectrum& s);

// A moment as N42 and nv-spc's tables write it: "2025-12-06T05:46:40Z".
std::string spc_utc_text(time_t t);

// A time in seconds (at most SPC_MAX_SECONDS, or a header value) as messages show it: whole
// seconds as integers, else to the millisecond.
std::string spc_seconds(double s);
