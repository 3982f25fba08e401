// Exports for the analysis tools of the field: ANSI N42.42-2012 XML and CSV. Both carry what
// nv-spc needs to read them back as the spectrum they came from (spc_read_file).
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "spc_calib.h"
#include "spc_peaks.h"
#include "spc_spectrum.h"

constexpr const char* SPC_N42_NAMESPACE = "http://physics.nist.gov/N42/2011/N42";

struct spc_n42_extras {
    time_t saved = 0;             // when the spectrum file was written (its modification time)
    std::string uuid;             // the document's n42DocUUID
    std::vector<spc_peak> peaks;  // written with their energies when calibrated
    spc_fwhm_calib fwhm;          // written when calibrated and fitted
};

// One RadInstrumentData document: the instrument, one detector, the energy calibration when
// `c` is set (coefficients of each channel's lower edge, as readers of the format take them),
// the FWHM calibration and the peaks, and one measurement with its spectrum. The header's first
// value is taken as the real time and the second as the live time (seconds), each written only
// when above 0 and the live time only when not above the real time; the measurement's start is
// the file's time less the real time, and a remark says so.
std::string spc_export_n42(const spc_spectrum& s, const spc_calib& c, const spc_n42_extras& x);

// Comments with the real and live time, the header values, the closing line and the
// calibration; then "channel,counts" and one row per channel, with a third column "energy_keV"
// when calibrated.
std::string spc_export_csv(const spc_spectrum& s, const spc_calib& c);

// A random (version 4) UUID.
std::string spc_new_uuid();
