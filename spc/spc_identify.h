// The lines a service technician meets, and which of them a spectrum's calibrated peaks show.
#pragma once

#include <string>
#include <vector>

#include "spc_calib.h"
#include "spc_peaks.h"

struct spc_line {
    double kev;
    double intensity;  // photons per 100 decays (relative for X-rays and annihilation)
};

struct spc_nuclide {
    const char* name;
    std::vector<spc_line> lines;
};

// The built-in library.
const std::vector<spc_nuclide>& spc_library();

struct spc_match {
    std::string nuclide;
    double line_kev;
};

// For each peak, the library lines within its FWHM of its energy, of the nuclides whose strongest
// lines (half the intensity of the strongest or more) inside the spectrum's energy range all
// match a peak. Empty lists without a calibration.
std::vector<std::vector<spc_match>> spc_identify(const std::vector<spc_peak>& peaks,
                                                 const spc_calib& c, int channels);
