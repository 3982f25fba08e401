// Test support for nv-spc: spectra with known lines and seeded Poisson noise, the spectrum text
// as the instrument and SaveSpec write it, and nv-spc run as a process.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "e2e.h"
#include "process.h"
#include "spc_calib.h"

namespace spc_test {

constexpr double SQRT_2PI = 2.5066282746310002;
constexpr double FWHM_PER_SIGMA = 2.3548200450309493;

struct line {
    double centroid, sigma, area;
};

// Counting significance of a line: net area over the square root of everything counted within
// centroid +- FWHM (the line and the continuum under it).
inline double significance(double area, double continuum_per_channel, double sigma) {
    double b = continuum_per_channel * 2 * FWHM_PER_SIGMA * sigma;
    return area / std::sqrt(area + b);
}

// The area that gives a line significance `z` over that continuum.
inline double area_for(double z, double continuum_per_channel, double sigma) {
    double b = continuum_per_channel * 2 * FWHM_PER_SIGMA * sigma;
    return (z * z + std::sqrt(z * z * z * z + 4 * z * z * b)) / 2;
}

// A detector's spectrum: a continuum (exponential, constant, slope, optional smoothed falling step
// as a Compton edge) and Gaussian lines integrated over each channel.
struct scene {
    int channels = 1024;
    double exp_level = 0, exp_length = 100, flat = 0, slope = 0;
    double step = 0, step_at = 0, step_width = 1;  // height, channel, sigma of the smoothing
    std::vector<line> lines;
};

inline double continuum(const scene& s, double x) {
    return s.exp_level * std::exp(-x / s.exp_length) + s.flat + s.slope * x +
           s.step * 0.5 * std::erfc((x - s.step_at) / (std::sqrt(2.0) * s.step_width));
}

inline std::vector<double> expected(const scene& s) {
    std::vector<double> mean(s.channels);
    for (int i = 0; i < s.channels; ++i) mean[i] = std::max(0.0, continuum(s, i));
    for (const auto& l : s.lines) {
        int from = std::max(0, static_cast<int>(l.centroid - 9 * l.sigma));
        int to = std::min(s.channels - 1, static_cast<int>(l.centroid + 9 * l.sigma) + 1);
        auto cdf = [&](double x) {
            return 0.5 * std::erfc(-(x - l.centroid) / (l.sigma * M_SQRT2));
        };
        for (int i = from; i <= to; ++i) mean[i] += l.area * (cdf(i + 0.5) - cdf(i - 0.5));
    }
    return mean;
}

inline std::vector<int32_t> poisson(const std::vector<double>& mean, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<int32_t> counts;
    for (double m : mean) {
        // Above 10^7 the Gaussian limit is exact to far below a count's noise and much faster.
        double v = m < 1e7 ? std::poisson_distribution<int64_t>(m)(rng)
                           : std::lround(m + std::sqrt(m) * std::normal_distribution<>()(rng));
        counts.push_back(static_cast<int32_t>(std::min(v, 2147483647.0)));
    }
    return counts;
}

inline std::vector<int32_t> poisson(const scene& s, uint64_t seed) {
    return poisson(expected(s), seed);
}

// A line of significance `z` at `centroid` with width `sigma` on the scene's continuum.
inline line line_of(const scene& s, double centroid, double sigma, double z) {
    return {centroid, sigma, area_for(z, continuum(s, centroid), sigma)};
}

// energy = offset + gain * channel.
inline spc_calib linear(double offset, double gain) {
    spc_calib c;
    c.set = true;
    c.offset = offset;
    c.gain = gain;
    return c;
}

// The spectrum text; `closing` "6.8 0 3 0" is the spectrum handler's, anything else SaveSpec's.
inline std::string spectrum_text(const std::vector<int32_t>& counts, int32_t first = 20,
                                 int32_t second = 19, const std::string& closing = "6.8 0 3 0") {
    std::string s = std::to_string(first) + "\n" + std::to_string(second) + "\n";
    for (int32_t c : counts) s += std::to_string(c) + "\n";
    return s + closing + "\n";
}

// nv-spc with `args`, run in `dir`; output and error merged.
inline proc::Result nv_spc(std::vector<std::string> args, const std::string& dir = "",
                           const std::string& input = "") {
    args.insert(args.begin(), NV_SPC_BIN);
    return proc::run(args, input, dir, 30000);
}

}  // namespace spc_test
