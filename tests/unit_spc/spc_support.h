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

// Expected counts per channel: a continuum plus Gaussian lines.
inline std::vector<double> expected(int channels, double (*continuum)(double, double), double level,
                                    const std::vector<line>& lines) {
    std::vector<double> mean(channels);
    for (int i = 0; i < channels; ++i) {
        mean[i] = continuum(i, level);
        for (const auto& l : lines) {
            double u = (i - l.centroid) / l.sigma;
            mean[i] += l.area / (l.sigma * SQRT_2PI) * std::exp(-0.5 * u * u);
        }
    }
    return mean;
}

inline std::vector<int32_t> poisson(const std::vector<double>& mean, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<int32_t> counts;
    for (double m : mean) counts.push_back(std::poisson_distribution<int32_t>(m)(rng));
    return counts;
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
