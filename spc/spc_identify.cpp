#include "spc_identify.h"

#include <algorithm>
#include <cmath>

const std::vector<spc_nuclide>& spc_library() {
    // Energies (keV) and intensities (per 100 decays) of the evaluated nuclear data; a chain's
    // daughters in equilibrium, Tl-208 with its 35.9 % branch.
    static const std::vector<spc_nuclide> library = {
        {"Am-241", {{59.54, 35.9}, {26.34, 2.3}}},
        {"Ba-133", {{356.01, 62.1}, {81.00, 33.3}, {302.85, 18.3}, {383.85, 8.9}, {276.40, 7.2}}},
        {"Cs-137", {{661.66, 85.1}, {32.19, 5.6}}},
        {"Co-57", {{122.06, 85.6}, {136.47, 10.7}}},
        {"Co-60", {{1173.23, 99.85}, {1332.49, 99.98}}},
        {"Eu-152",
         {{121.78, 28.5},
          {344.28, 26.6},
          {1408.01, 20.9},
          {964.08, 14.5},
          {1112.08, 13.7},
          {778.90, 12.9},
          {1085.84, 10.1},
          {244.70, 7.5}}},
        {"K-40", {{1460.82, 10.66}}},
        {"Ra-226 chain",
         {{609.31, 45.5},
          {351.93, 35.6},
          {295.22, 18.4},
          {1764.49, 15.3},
          {1120.29, 14.9},
          {241.99, 7.3},
          {186.21, 3.6}}},
        {"Th-232 chain",
         {{238.63, 43.6},
          {2614.51, 35.8},
          {583.19, 30.5},
          {911.20, 25.8},
          {968.97, 15.8},
          {338.32, 11.3},
          {510.77, 8.1},
          {727.33, 6.7}}},
        {"annihilation", {{511.00, 100}}},
        {"lead X-rays", {{74.97, 100}, {72.80, 60}, {84.94, 35}}},
    };
    return library;
}

std::vector<std::vector<spc_match>> spc_identify(const std::vector<spc_peak>& peaks,
                                                 const spc_calib& c, int channels) {
    std::vector<std::vector<spc_match>> out(peaks.size());
    if (!c.set) return out;
    double lo = spc_energy(c, -0.5), hi = spc_energy(c, channels - 0.5);
    // The peak whose energy lies within its FWHM of `kev`, or -1.
    auto peak_at = [&](double kev) {
        int best = -1;
        double best_d = 0;
        for (size_t k = 0; k < peaks.size(); ++k) {
            double e = spc_energy(c, peaks[k].centroid);
            double fwhm = peaks[k].fwhm * spc_gain_at(c, peaks[k].centroid);
            double d = std::abs(e - kev);
            if (d <= fwhm && (best < 0 || d < best_d)) best = static_cast<int>(k), best_d = d;
        }
        return best;
    };
    for (const auto& n : spc_library()) {
        double strongest = 0;
        for (const auto& l : n.lines)
            if (l.kev > lo && l.kev < hi) strongest = std::max(strongest, l.intensity);
        bool present = strongest > 0;
        for (const auto& l : n.lines)
            if (l.kev > lo && l.kev < hi && l.intensity >= 0.5 * strongest)
                present = present && peak_at(l.kev) >= 0;
        if (!present) continue;
        for (const auto& l : n.lines) {
            int k = l.kev > lo && l.kev < hi ? peak_at(l.kev) : -1;
            if (k >= 0) out[k].push_back({n.name, l.kev});
        }
    }
    return out;
}
