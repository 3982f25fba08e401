// Two spectra of one detector compared line by line: every line found in either is measured in
// both at the same place and width, so a line the search missed in one spectrum is measured
// there too (never taken as nothing), and the difference has the uncertainty of both counts.
#pragma once

#include <cstdint>
#include <vector>

#include "spc_peaks.h"

struct spc_compared {
    int a_peak = -1, b_peak = -1;               // the line in A and in B (-1: not found there)
    double centroid = 0, fwhm = 0;              // channels: where both were measured
    double a = 0, a_err = 0, b = 0, b_err = 0;  // net counts above a straight line, per `norm`
};

// The net counts of channels `centroid` +- 1.25 FWHM above the straight line through the three
// channels beside them on each side, with its uncertainty.
void spc_window_net(const std::vector<int32_t>& counts, double centroid, double fwhm, double* net,
                    double* err);

// Lines of A and B paired where their centroids agree within three standard deviations of both
// and 0.5 % of the channel (the energy tolerance of identification), each pair or lone line
// measured in both; `norm_a`, `norm_b` scale the counts (per second of live time).
std::vector<spc_compared> spc_compare(const std::vector<int32_t>& a, const spc_analysis& aa,
                                      double norm_a, const std::vector<int32_t>& b,
                                      const spc_analysis& ab, double norm_b);
