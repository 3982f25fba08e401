// The nuclides a spectrum's calibrated peaks show, from a library of the lines a technician
// meets (spc_nuclides.inc: the evaluated decay data, the tables named there).
//
// A library line matches a peak within the energy tolerance that the peak's centroid
// uncertainty and the calibration allow (not the peak's width); lines the detector cannot part
// (within half its FWHM) are matched as one. A nuclide is named only when its lines agree in
// strength with the library, as far as a rough full-energy efficiency (falling as E^-1.2 above
// 100 keV) can tell within a factor of ten: a line it should show clearly but that is missing
// rules it out, a line ten times stronger than the others allow is another nuclide's and no
// evidence. Only lines count (not bumps, not the threshold's cut), and a peak flagged W or
// measured without a fit never is the only evidence. A peak two nuclides both explain counts
// for the one whose other lines are stronger; where neither has other lines, both are named as
// ambiguous. A nuclide whose lines are all another's (Th-228 in the Th-232 chain) is named with
// it as one ambiguous choice unless a line of the larger's own tells them apart. Lines no named
// nuclide explains are listed as such.
#pragma once

#include <string>
#include <vector>

#include "spc_calib.h"
#include "spc_peaks.h"

struct spc_line {
    double kev;
    double intensity;   // photons per 100 decays (relative for X-rays and annihilation)
    bool xray = false;  // never required: a capsule or the housing may absorb it
};

struct spc_nuclide {
    std::string name;
    std::vector<spc_line> lines;
};

// The built-in library.
const std::vector<spc_nuclide>& spc_library();

struct spc_match {
    std::string nuclide;
    double line_kev;
};

enum class spc_confidence { certain, probable, ambiguous };

struct spc_named {
    std::string nuclide;
    spc_confidence confidence;
    std::string with;         // ambiguous: the nuclide the same peaks name as well
    int lines = 0;            // lines found that agree in strength
    int expected = 0;         // lines it should show
    double significance = 0;  // of its strongest such line (area / uncertainty)
};

struct spc_identification {
    std::vector<spc_named> nuclides;            // named, surest first
    std::vector<std::vector<spc_match>> peaks;  // per peak, the lines of named nuclides there
    std::vector<int> unexplained;               // lines (peak indices) no named nuclide explains
};

// The nuclides `a`'s peaks show in `counts` under calibration `c` (nothing without one).
spc_identification spc_identify(const spc_analysis& a, const std::vector<int32_t>& counts,
                                const spc_calib& c);
const char* spc_confidence_name(spc_confidence c);
// The energy tolerance (keV) of a library line at a peak: three standard deviations of the
// centroid, 0.5 % of the energy for the calibration's own error (or its points' residuals when
// larger), half a keV for the library's rounding.
double spc_tolerance(const spc_peak& p, const spc_calib& c);
