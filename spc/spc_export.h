// Exports for the analysis tools of the field: ANSI N42.42-2012 XML and CSV.
#pragma once

#include <ctime>
#include <string>

#include "spc_calib.h"
#include "spc_spectrum.h"

constexpr const char* SPC_N42_NAMESPACE = "http://physics.nist.gov/N42/2011/N42";

// One RadInstrumentData document: the instrument, one detector, the energy calibration when
// `c` is set, and one measurement with its spectrum. The header's first value is taken as the
// real time and the second as the live time (seconds), each written only when above 0; the
// measurement started `real time` before `saved` (the file's modification time).
std::string spc_export_n42(const spc_spectrum& s, const spc_calib& c, time_t saved);

// "channel,counts" and one row per channel; with a calibration a third column "energy_keV".
std::string spc_export_csv(const spc_spectrum& s, const spc_calib& c);
