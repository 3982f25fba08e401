// Peak search: the lines of a spectrum with counting noise, each measured by a fit of a
// Gaussian on a linear continuum.
//
// Search: the spectrum is smoothed with Gaussians of several widths and the negative second
// difference of each smoothed spectrum is taken (one kernel per width, of zero area, so that a
// constant or linear continuum gives no response). The response divided by its standard deviation
// under Poisson counting is the significance; its local maxima above the threshold are the
// candidates, the strongest one kept where candidates of several widths mark the same place.
// Fit: candidates whose fit regions overlap are fitted together (one linear continuum, one
// Gaussian each) by weighted nonlinear least squares; a peak whose fitted area is not
// significant, or whose width or place is implausible, is dropped and the group refitted. The
// fitted peaks are subtracted and the residual searched once more for lines that a stronger
// neighbour hid.
#pragma once

#include <cstdint>
#include <vector>

struct spc_peak {
    double centroid = 0, centroid_err = 0;  // channel (channel i's centre at i)
    double fwhm = 0, fwhm_err = 0;          // channels
    double area = 0, area_err = 0;          // net counts above the continuum
    double continuum = 0;                   // continuum counts under centroid +- FWHM
};

struct spc_peak_options {
    double search_sigma = 4.5;  // significance a candidate needs in the filter
    double area_sigma = 3.0;    // area / its uncertainty a fitted peak needs
};

// Peaks in channel order. `counts` are the channel counts (not negative).
std::vector<spc_peak> spc_find_peaks(const std::vector<int32_t>& counts,
                                     const spc_peak_options& opt = {});

constexpr double SPC_FWHM_PER_SIGMA = 2.3548200450309493;  // 2 sqrt(2 ln 2)
