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
    time_t saved = 0;      // when the measurement ended (the spectrum file's modification time)
    bool started = false;  // `saved` comes from the start the file gave, not from its time
    std::string uuid;      // the document's n42DocUUID
    std::vector<spc_peak> peaks;  // written with their energies when calibrated
    spc_fwhm_calib fwhm;          // written when calibrated and fitted
};

// One RadInstrumentData document: the instrument, one detector, the energy calibration when
// `c` is set (coefficients of each channel's lower edge, as readers of the format take them),
// the FWHM calibration and the peaks, and one measurement with its spectrum. The real and live
// time are written only when above 0 and the live time only when not above the real time; the
// measurement's start is `saved` less the real time, and a remark says so. The spectrum text
// file's header values and closing line go into two remarks, so that nv-spc reads the export
// back as that file.
std::string spc_export_n42(const spc_spectrum& s, const spc_calib& c, const spc_n42_extras& x);

// The header row "channel,counts" and one row per channel, with a third column "energy_keV"
// when calibrated: no comment lines, so that every CSV reader takes it with its defaults (what
// else a spectrum holds travels in the N42 export).
std::string spc_export_csv(const spc_spectrum& s, const spc_calib& c);

// A random (version 4) UUID.
std::string spc_new_uuid();
