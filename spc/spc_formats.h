// The readers of each format behind spc_parse, and what they share. Every text a reader puts in
// an error, a note or the spectrum's source is escaped (device_text) and at most a few dozen
// characters long, so that a file can neither drive the terminal nor flood it.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "spc_spectrum.h"

bool spc_parse_text(std::string_view text, spc_spectrum* out, spc_error* err);  // spect.spc
bool spc_parse_n42(std::string_view text, const std::string& choice, spc_spectrum* out,
                   spc_error* err);
bool spc_parse_spe(std::string_view text, spc_spectrum* out, spc_error* err);
bool spc_parse_chn(std::string_view bytes, spc_spectrum* out, spc_error* err);
bool spc_parse_csv(std::string_view text, spc_spectrum* out, spc_error* err);

// Fills `err` and returns false.
bool spc_fail(spc_error* err, int line, std::string what);

// Text of the file as a message may quote it: escaped, at most `max` bytes of it, in quotes.
std::string spc_quote(std::string_view text, size_t max = 40);

// The 1-based line of byte `offset`.
int spc_line_of(std::string_view text, size_t offset);

// A number as C writes it ("12", "-1.5", "3.0E+02"), nothing else around it.
bool spc_number(std::string_view word, double* out);

// A channel's count: a whole number from 0 to INT32_MAX, written as an integer or as a
// floating-point number with nothing after the point ("12", "12.000", "1.2E+01").
bool spc_whole_count(std::string_view word, int32_t* out);

// N42's times: a duration "PnDTnHnMn.nS" (xsd:duration without years or months, at most
// SPC_MAX_SECONDS) in seconds, and a moment "YYYY-MM-DDThh:mm:ss[.s][Z|+hh:mm|-hh:mm]"
// (xsd:dateTime; `zoned` false when it gives no time zone, and it is then read as UTC).
bool spc_duration(std::string_view text, double* seconds);
bool spc_date_time(std::string_view text, time_t* out, bool* zoned);

// The words of `text` separated by blanks, tabs and line ends, one after another.
struct spc_words {
    std::string_view text;
    size_t at = 0;
    bool next(std::string_view* word);
};

// The calibration of channel centres from a polynomial in the channel position (coefficients
// c0, c1...; `edge` true when position i is channel i's lower edge, as in N42, false when it
// is its centre). Terms beyond the square are folded in by least squares over `channels`;
// `note` says when the result is more than a tenth of a keV off the polynomial.
spc_calib spc_calib_from_poly(const std::vector<double>& c, bool edge, int channels,
                              std::string* note);

// The quadratic calibration nearest (least squares) to the energies of channels 0, 1, 2...
// (not set for fewer than two); `worst` gets its largest difference from them in keV.
spc_calib spc_calib_fit(const std::vector<double>& energies, double* worst);

// The header values ("FIRST SECOND") and closing line that nv-spc's exports carry, checked as
// the spectrum text file's reader checks them, into `s` (which then has a header).
bool spc_carried(std::string_view header, std::string_view closing, spc_spectrum* s, int line,
                 spc_error* err);

// Leading channels missing below `first` (a block or column that starts above channel 0) are
// empty channels, so that channel numbers stay the file's. False when that passes the bound.
bool spc_pad_to(std::vector<int32_t>* counts, int64_t first);
