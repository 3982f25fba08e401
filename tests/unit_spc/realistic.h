// Spectra as a handheld NaI(Tl) detector records them, built from the physics of the detector and
// not from the peak search's model: 1024 channels over 0-3 MeV, FWHM 7.5 % at 662 keV growing
// as sqrt(E); for every line a full-energy peak with a small-angle-scatter step under it, the
// Klein-Nishina Compton continuum, a multiple-scatter plateau up to the peak, a backscatter bump,
// the iodine K escape peak and lead K X-rays from the shield; a low-energy rise cut by the
// electronic threshold; natural background (K-40, the U and Th chains, their scatter in the
// ground) and sources, with Poisson noise from a fixed seed.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace realistic {

constexpr double KEV_PER_CH = 3000.0 / 1024;  // channel i's centre at i * KEV_PER_CH
constexpr double ME = 510.999;                // electron rest energy, keV
constexpr double FWHM_PER_SIGMA = 2.3548200450309493;

struct gamma {
    double kev, per_100;  // energy and photons per 100 decays
};
struct source {
    const char* name;
    std::vector<gamma> lines;
};

// Energies and emission probabilities of the evaluated decay data (DDEP/ENSDF), to three figures;
// chains with their daughters in equilibrium (Tl-208 with its 35.9 % branch). X-rays summed per
// K shell group. Written apart from nv-spc's library: a test's truth, not a copy of it.
inline const std::vector<source>& sources() {
    static const std::vector<source> s = {
        {"Cs-137", {{661.66, 85.1}, {32.0, 5.6}, {36.4, 1.3}}},
        {"Co-60", {{1173.23, 99.85}, {1332.49, 99.98}}},
        {"Am-241", {{59.54, 35.9}, {26.34, 2.3}}},
        {"Ba-133",
         {{356.01, 62.1},
          {81.0, 33.3},
          {302.85, 18.3},
          {383.85, 8.9},
          {276.40, 7.2},
          {79.61, 2.6},
          {53.16, 2.1},
          {30.9, 96},
          {35.0, 23}}},
        {"Eu-152",
         {{121.78, 28.5},
          {244.70, 7.6},
          {344.28, 26.6},
          {411.12, 2.2},
          {443.96, 2.8},
          {778.90, 12.9},
          {867.38, 4.2},
          {964.08, 14.5},
          {1085.84, 10.1},
          {1112.08, 13.7},
          {1212.95, 1.4},
          {1299.14, 1.6},
          {1408.01, 20.9},
          {40.0, 59},
          {45.4, 15}}},
        {"Th-228",
         {{238.63, 43.6},
          {240.99, 4.1},
          {300.09, 3.3},
          {727.33, 6.7},
          {785.37, 1.1},
          {1620.5, 1.5},
          {583.19, 30.5},
          {2614.51, 35.8},
          {510.77, 8.1},
          {860.56, 4.5},
          {277.37, 2.4},
          {84.37, 1.2}}},
        {"Ra-226",
         {{186.21, 3.6},  {241.99, 7.3},  {295.22, 18.4}, {351.93, 35.6},  {609.31, 45.5},
          {665.45, 1.5},  {768.36, 4.9},  {806.17, 1.3},  {934.06, 3.1},   {1120.29, 14.9},
          {1155.19, 1.6}, {1238.11, 5.8}, {1280.96, 1.4}, {1377.67, 4.0},  {1401.5, 1.3},
          {1407.98, 2.4}, {1509.23, 2.1}, {1729.60, 2.9}, {1764.49, 15.3}, {1847.42, 2.0},
          {2204.21, 4.9}, {2447.86, 1.5}}},
        {"Ac-228",  // the Th-232 chain's part before Th-228
         {{911.20, 25.8},
          {968.97, 15.8},
          {338.32, 11.3},
          {964.77, 5.0},
          {209.25, 3.9},
          {794.95, 4.3},
          {1588.2, 3.2},
          {328.0, 3.0},
          {463.0, 4.4}}},
        {"K-40", {{1460.82, 10.66}}},
        {"Mn-54", {{834.85, 99.98}}},
        {"Na-22", {{1274.54, 99.94}, {511.0, 180.7}}},
        {"I-131", {{364.49, 81.5}, {636.99, 7.2}, {284.31, 6.1}, {80.19, 2.6}, {722.91, 1.8}}},
        {"Tc-99m", {{140.51, 89.0}}},
        // Not in nv-spc's library: what it must not name.
        {"Cr-51", {{320.08, 9.9}}},
        {"Sn-113", {{391.70, 65.0}}},
        {"Be-7", {{477.60, 10.4}}},
        {"Zn-65", {{1115.54, 50.0}, {511.0, 2.8}}},
        {"Nb-95", {{765.80, 99.8}}},
        {"Ce-139", {{165.86, 79.9}, {33.4, 64}, {37.8, 16}}},
    };
    return s;
}

inline const source& find(const std::string& name) {
    for (const auto& s : sources())
        if (name == s.name) return s;
    return sources().front();
}

inline double sigma_kev(double e) {
    return 0.075 * std::sqrt(661.66 * std::max(e, 1.0)) / FWHM_PER_SIGMA;
}

// Klein-Nishina: the cross-section per electron in units of 2 pi r_e^2, and its distribution in
// the energy T given to the electron (unnormalised).
inline double kn_total(double e) {
    double a = e / ME, l = std::log(1 + 2 * a);
    return (1 + a) / (a * a) * (2 * (1 + a) / (1 + 2 * a) - l / a) + l / (2 * a) -
           (1 + 3 * a) / ((1 + 2 * a) * (1 + 2 * a));
}
inline double kn_dt(double e, double t) {
    double a = e / ME, s = t / e;
    if (s <= 0 || s >= 2 * a / (1 + 2 * a)) return 0;
    return 2 / (a * a * ME) * (2 + s * s / (a * a * (1 - s) * (1 - s)) + s / (1 - s) * (s - 2 / a));
}

// NaI(Tl), 3.67 g/cm3, a crystal 3.8 cm deep: Compton attenuation from Klein-Nishina over its
// 0.427 electrons per nucleon, photoabsorption on iodine falling as E^-2.6 above its K edge.
inline double mu_compton(double e) {
    return 3.67 * 0.427 * 0.6022 * 0.499 * kn_total(e);  // 2 pi r_e^2 = 0.499 barn
}
inline double mu_photo(double e) {
    double tau = 1.40 * std::pow(e / 100, -2.6);
    return 3.67 * (e < 33.17 ? tau / 5.6 : tau);
}

struct line_truth {
    double kev, channel, sigma_ch, area;  // the full-energy peak
    double z = 0;                         // its significance (filled by `build`)
    const char* what;                     // the source, or "escape", "lead X-rays"
};

struct spectrum {
    std::vector<double> mean;  // expected counts per channel
    std::vector<line_truth> lines;
    std::vector<std::pair<double, double>> backscatter;  // keV ranges of the bumps
};

struct item {
    std::string name;  // a source of sources(), or "background"
    double photons;    // photons per 100 decays reaching the crystal, times the decays / 100
};

// The expected spectrum of `items` measured `seconds` (background at a handheld's rate scales
// with it; a source's `photons` is per second).
inline spectrum build(const std::vector<item>& items, double seconds, int channels = 1024) {
    spectrum out;
    int fine_n = static_cast<int>(channels * KEV_PER_CH / 0.5) + 400;
    std::vector<double> fine(fine_n, 0.0);  // unsmeared continuum per 0.5 keV, smeared below
    out.mean.assign(channels, 0.0);
    auto add_fine = [&](double e, double counts) {
        int k = static_cast<int>(e / 0.5);
        if (k >= 0 && k < fine_n) fine[k] += counts;
    };
    auto add_peak = [&](double e, double area, const char* what, bool truth) {
        double mu = e / KEV_PER_CH, s = sigma_kev(e) / KEV_PER_CH;
        int lo = std::max(0, static_cast<int>(mu - 8 * s)),
            hi = std::min(channels - 1, int(mu + 8 * s) + 1);
        for (int i = lo; i <= hi; ++i)
            out.mean[i] += area * 0.5 *
                           (std::erfc((i - 0.5 - mu) / (s * M_SQRT2)) -
                            std::erfc((i + 0.5 - mu) / (s * M_SQRT2)));
        if (truth && area > 0) out.lines.push_back({e, mu, s, area, 0, what});
    };
    double lead = 0;  // photons above the lead K edge stopped in the shield
    auto add_line = [&](double e, double photons, const char* what) {
        double mc = mu_compton(e), mp = mu_photo(e), mu = mc + mp;
        double interact = photons * (1 - std::exp(-mu * 3.8));
        // Full energy: photoabsorption at once, or after Compton scatters that stay inside.
        double keep = 0.55 * std::exp(-e / 900);
        double peak = interact * (mp + mc * keep) / mu;
        double escape = e > 33.17 ? peak * 0.25 * std::exp(-(e - 33.17) / 45) * mp / mu : 0;
        add_peak(e, peak - escape, what, true);
        if (escape > 0) add_peak(e - 28.6, escape, "escape", true);
        // Small-angle scatter in the source and the housing: a step under the peak, 1.5 % of
        // its height per channel, fading over the next 30 % of the energy below it.
        double height = peak / (sigma_kev(e) * std::sqrt(2 * M_PI)) * 0.5;  // per 0.5 keV
        for (double x = 0.7 * e; x < e; x += 0.5)
            add_fine(x, 0.015 * height * std::min(1.0, (x - 0.7 * e) / (0.1 * e)));
        // One Compton scatter, the photon escaping: Klein-Nishina in T; then scatters that leave
        // a part of the rest, spread evenly up to the full energy (the plateau).
        double once = (interact - peak) * 0.75, more = (interact - peak) * 0.25;
        double tc = e * 2 * (e / ME) / (1 + 2 * e / ME), norm = 0;
        for (double t = 0.25; t < tc; t += 0.5) norm += kn_dt(e, t);
        for (double t = 0.25; t < tc && norm > 0; t += 0.5) add_fine(t, once * kn_dt(e, t) / norm);
        for (double t = 0.25 * e; t < e; t += 0.5) add_fine(t, more / (1.5 * e));
        // Backscatter from what lies behind: scattered by 120 to 180 degrees, 2 % of the photons.
        double b_lo = e / (1 + 2 * e / ME), b_hi = e / (1 + 1.5 * e / ME);
        for (int k = 0; k < 40; ++k) {
            double cth = -1 + (k + 0.5) / 80.0;
            double es = e / (1 + e / ME * (1 - cth));
            double mus = mu_compton(es) + mu_photo(es);
            add_fine(es, photons * 0.02 / 40 * (1 - std::exp(-mus * 3.8)) *
                             (mu_photo(es) + mu_compton(es) * 0.55 * std::exp(-es / 900)) / mus);
        }
        if (e > 300 && photons > 0) out.backscatter.push_back({b_lo, b_hi});
        if (e > 88) lead += photons * 0.004;
    };
    for (const auto& it : items) {
        if (it.name == "background") {
            // A handheld's natural background: soil with 400 Bq/kg K-40, 35 of U, 30 of Th.
            double t = seconds;
            for (const char* n : {"Ra-226", "Th-228", "Ac-228", "K-40"}) {
                double per = std::string(n) == "K-40" ? 0.55 : 0.11;  // photons/s per 1 %
                for (const auto& g : find(n).lines)
                    if (g.kev > 50) add_line(g.kev, per * g.per_100 * t, n);
            }
            // Their scatter in the ground and cosmic rays: falling with energy, flat beyond.
            for (double e = 20; e < channels * KEV_PER_CH + 100; e += 0.5)
                add_fine(
                    e, t * 0.5 * (0.12 * std::exp(-e / 120) + 0.01 * std::exp(-e / 900) + 0.0006));
            continue;
        }
        for (const auto& g : find(it.name).lines)
            add_line(g.kev, it.photons * g.per_100 * seconds, find(it.name).name);
    }
    if (lead > 0) {
        add_peak(74.97, lead * 0.49, "lead X-rays", true);
        add_peak(72.80, lead * 0.29, "lead X-rays", true);
        add_peak(84.94, lead * 0.17, "lead X-rays", true);
        add_peak(87.30, lead * 0.05, "lead X-rays", true);
    }
    // Electronics and scatter below some 60 keV, then the threshold at 25 keV.
    double total = 0;
    for (double v : fine) total += v;
    for (double e = 5; e < 150; e += 0.5) add_fine(e, total * 0.0015 * std::exp(-e / 25));
    // The continuum through the detector's resolution, then the threshold.
    for (int k = 0; k < fine_n; ++k) {
        if (fine[k] <= 0) continue;
        double e = (k + 0.5) * 0.5, mu = e / KEV_PER_CH, s = sigma_kev(e) / KEV_PER_CH;
        int lo = std::max(0, static_cast<int>(mu - 6 * s)),
            hi = std::min(channels - 1, int(mu + 6 * s) + 1);
        for (int i = lo; i <= hi; ++i)
            out.mean[i] += fine[k] * 0.5 *
                           (std::erfc((i - 0.5 - mu) / (s * M_SQRT2)) -
                            std::erfc((i + 0.5 - mu) / (s * M_SQRT2)));
    }
    for (int i = 0; i < channels; ++i)
        out.mean[i] *= 0.5 * std::erfc((25 - i * KEV_PER_CH) / (3 * M_SQRT2));
    for (auto& l : out.lines) l.area *= 0.5 * std::erfc((25 - l.kev) / (3 * M_SQRT2));
    // Each line's significance: its counts within +-1.25 FWHM over the root of all counted there.
    for (auto& l : out.lines) {
        double w = 1.25 * FWHM_PER_SIGMA * l.sigma_ch, all = 0;
        for (int i = std::max(0, int(std::ceil(l.channel - w)));
             i <= std::min(channels - 1, int(l.channel + w)); ++i)
            all += out.mean[i];
        double net = l.area * std::erf(1.25 * FWHM_PER_SIGMA / M_SQRT2);
        l.z = all > 0 ? net / std::sqrt(all) : 0;
    }
    return out;
}

inline std::vector<int32_t> counts(const spectrum& s, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<int32_t> c;
    for (double m : s.mean)
        c.push_back(
            static_cast<int32_t>(std::poisson_distribution<int64_t>(std::max(m, 0.0))(rng)));
    return c;
}

}  // namespace realistic
