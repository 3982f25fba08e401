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
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "process.h"

namespace realistic {

constexpr double KEV_PER_CH = 3000.0 / 1024;  // channel i's centre at i * KEV_PER_CH
constexpr double ME = 510.999;                // electron rest energy, keV
constexpr double FWHM_PER_SIGMA = 2.3548200450309493;

struct gamma {
    double kev, per_100;  // energy and photons per 100 decays
};
struct source {
    std::string name;
    std::vector<gamma> lines;
};

// The sources of data/realistic_sources.txt.
inline const std::vector<source>& sources() {
    static const std::vector<source> s = [] {
        std::vector<source> out;
        std::string path =
            std::string(NV_SOURCE_DIR) + "/tests/unit_spc/data/realistic_sources.txt";
        for (const auto& [n, row] : proc::data_lines(path)) {
            std::istringstream fields(row);
            std::string name, item;
            std::getline(fields, name, '|');
            out.push_back({name.substr(0, name.find_last_not_of(' ') + 1), {}});
            for (gamma g; std::getline(fields, item, '|');)
                if (std::istringstream(item) >> g.kev >> g.per_100) out.back().lines.push_back(g);
        }
        return out;
    }();
    return s;
}

inline const source& find(const std::string& name) {
    for (const auto& s : sources())
        if (name == s.name) return s;
    throw std::invalid_argument("no source " + name);
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
    double first = 0, last = 0;           // channels: the lines merged into it (the test's)
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
            add_line(g.kev, it.photons * g.per_100 * seconds, find(it.name).name.c_str());
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
