// The peak search's targets on spectra with seeded Poisson noise: scintillator and germanium-like
// widths, 1024 to 65,536 channels, curved continua and Compton-like steps. Each row prints what
// was found; NV_SPC_TARGETS=N runs N times as many spectra (the README's figures: N=10).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "spc_peaks.h"
#include "spc_support.h"

using namespace spc_test;

namespace {

const char* const TARGETS = std::getenv("NV_SPC_TARGETS");
const int k = std::max(1, TARGETS ? std::atoi(TARGETS) : 1);  // the runs of spectra

struct row {
    explicit row(const char* n = "") : name(n) {}
    const char* name;
    int lines = 0, found = 0, false_peaks = 0, spectra = 0;
    std::vector<double> ratio, pull_mu, pull_area;  // of the found lines that count for it
};

double mean(const std::vector<double>& v) {
    double m = 0;
    for (double x : v) m += x;
    return v.empty() ? 0 : m / v.size();
}

double sd(const std::vector<double>& v) {
    double m = mean(v), q = 0;
    for (double x : v) q += (x - m) * (x - m);
    return std::sqrt(q / std::max<size_t>(1, v.size() - 1));
}

// The peak matched to each line of the scene (the nearest unused one within half a FWHM, a
// channel at least; nullptr when none); `false_peaks` gets the peaks matched to no line.
std::vector<const spc_peak*> match(const scene& s, const std::vector<spc_peak>& peaks,
                                   int* false_peaks) {
    std::vector<bool> used(peaks.size());
    std::vector<const spc_peak*> out;
    for (const auto& l : s.lines) {
        int best = -1;
        for (size_t j = 0; j < peaks.size(); ++j) {
            double d = std::abs(peaks[j].centroid - l.centroid);
            if (!used[j] && d < std::max(1.0, 0.5 * FWHM_PER_SIGMA * l.sigma) &&
                (best < 0 || d < std::abs(peaks[best].centroid - l.centroid)))
                best = static_cast<int>(j);
        }
        if (best >= 0) used[best] = true;
        out.push_back(best >= 0 ? &peaks[best] : nullptr);
    }
    for (bool u : used) *false_peaks += !u;
    return out;
}

void tally(row* r, const line& l, const spc_peak* p, bool pulls) {
    r->lines++;
    if (!p) return;
    r->found++;
    r->ratio.push_back(p->area / l.area);
    if (pulls && p->area_err > 0 && p->centroid_err > 0) {
        r->pull_mu.push_back((p->centroid - l.centroid) / p->centroid_err);
        r->pull_area.push_back((p->area - l.area) / p->area_err);
    }
}

// Every line of `s` to `r` (the odd ones to `odd` when given); the false peaks too.
void score(const scene& s, const std::vector<spc_peak>& peaks, row* r, bool pulls,
           row* odd = nullptr) {
    auto m = match(s, peaks, &r->false_peaks);
    r->spectra++;
    for (size_t k = 0; k < m.size(); ++k) tally(odd && k % 2 ? odd : r, s.lines[k], m[k], pulls);
}

// Sigma of a scintillator's line (7 % FWHM at the 662 keV line, channel 0.32 n, growing with
// the square root of the energy) and of a germanium detector's (FWHM^2 = 0.81 + 0.0025 E keV^2
// at 3000 keV over the spectrum).
double scint_sigma(int n, double x) {
    return 0.07 / FWHM_PER_SIGMA * std::sqrt(0.32 * n * std::max(x, 1.0));
}
double ge_sigma(int n, double x) {
    double gain = 3000.0 / n, e = gain * x;
    return std::sqrt(0.81 + 0.0025 * e) / FWHM_PER_SIGMA / gain;
}

struct draw {
    std::mt19937_64 rng;
    double uniform(double a, double b) { return std::uniform_real_distribution<>(a, b)(rng); }
    double log_uniform(double a, double b) { return std::exp(uniform(std::log(a), std::log(b))); }
    int pick(int n) { return static_cast<int>(rng() % n); }
};

// A continuum of every kind met: from a few counts to thousands a channel, falling over a
// sixth to a half of the spectrum.
scene background(draw* d, int n) {
    scene s;
    s.channels = n;
    s.exp_level = d->log_uniform(2, 3000);
    s.exp_length = n * d->uniform(0.1, 0.4);
    s.flat = s.exp_level * d->uniform(0.005, 0.05);
    s.slope = -s.flat / n * d->uniform(0, 0.9);
    return s;
}

// Isolated lines of the widths `sigma` gives, from `first` on, at least `gap` FWHM apart, with
// significances from `zmin` to `zmax`, added to `s`; returns them.
std::vector<line> isolated(draw* d, scene* s, double (*sigma)(int, double), double first,
                           double gap, double zmin, double zmax) {
    std::vector<line> out;
    int n = s->channels;
    for (double x = first + d->uniform(0, 0.05 * n); x < 0.95 * n;) {
        double sg = sigma(n, x);
        out.push_back(line_of(*s, x, sg, d->log_uniform(zmin, zmax)));
        out.back().area = std::min(out.back().area, 1e9 * sg * SQRT_2PI);  // 10^9 a channel at most
        x += gap * FWHM_PER_SIGMA * sigma(n, x + gap * FWHM_PER_SIGMA * sg) * d->uniform(1, 1.5);
    }
    s->lines.insert(s->lines.end(), out.begin(), out.end());
    return out;
}

// Prints `r` with its target; returns the part of its lines found.
double report(const row& r, const char* target) {
    std::printf("%-46s %5d of %5d %6.1f %%  false %d in %d spectra", r.name, r.found, r.lines,
                r.lines ? 100.0 * r.found / r.lines : 0.0, r.false_peaks, r.spectra);
    if (!r.ratio.empty()) std::printf("  area/true %.3f", mean(r.ratio));
    if (!r.pull_mu.empty())
        std::printf("  pull sd centroid %.2f area %.2f", sd(r.pull_mu), sd(r.pull_area));
    std::printf("  (target %s)\n", target);
    std::fflush(stdout);
    return r.lines ? static_cast<double>(r.found) / r.lines : 0;
}

}  // namespace

TEST(PeakTargets, StrongChainsAndWeakLines) {
    row strong{"strong isolated lines (20 to 10^5 sigma)"};
    row chains{"chains 8 to 12 FWHM apart (20 to 300 sigma)"};
    row z8{"8 sigma lines"}, z6{"6 sigma lines"};
    row pulls{"isolated lines of 6 to 1000 sigma"};
    const int sizes[] = {1024, 4096, 16384, 1024, 2048, 65536};
    for (int i = 0; i < 12 * k; ++i) {
        draw d{std::mt19937_64(100 + i)};
        int n = sizes[i % 6];
        if (n == 65536 && i % 12 != 5) n = 8192;  // one large spectrum in a run of twelve
        auto sigma = i % 2 ? ge_sigma : scint_sigma;
        if (i % 2) n = std::max(n, 4096);  // germanium spectra have a few thousand channels
        scene s = background(&d, n);
        auto lines = isolated(&d, &s, sigma, 0.03 * n, 14, 20, i % 3 ? 1000 : 1e5);
        auto peaks = spc_find_peaks(poisson(s, 100 + i));
        auto m = match(s, peaks, &strong.false_peaks);
        strong.spectra++;
        for (size_t j = 0; j < m.size(); ++j) {
            tally(&strong, lines[j], m[j], false);
            if (area_for(1000, continuum(s, lines[j].centroid), lines[j].sigma) > lines[j].area)
                tally(&pulls, lines[j], m[j], true);
        }

        draw c{std::mt19937_64(200 + i)};
        scene t = background(&c, i % 2 ? 4096 : i % 3 ? 1024 : 2048);
        std::vector<line> chain;
        double x = t.channels * c.uniform(0.05, 0.2);
        for (int j = 0; j < 7 && x < 0.97 * t.channels; ++j) {
            double sg = sigma(t.channels, x);
            chain.push_back(line_of(t, x, sg, c.log_uniform(20, 300)));
            x += c.uniform(8, 12) * FWHM_PER_SIGMA * sg;
        }
        t.lines = chain;
        score(t, spc_find_peaks(poisson(t, 200 + i)), &chains, false);

        // Weak lines alone and on each continuum; every third spectrum has a few hundred counts.
        draw w{std::mt19937_64(300 + i)};
        scene u = background(&w, i % 2 ? 4096 : 1024);
        if (i % 3 == 0) u.exp_level = 0.3, u.flat = 0.02, u.slope = 0;
        auto weak = isolated(&w, &u, sigma, 0.05 * u.channels, 14, 6, 6);
        for (size_t j = 0; j < weak.size(); j += 2) {
            weak[j].area = area_for(8, continuum(u, weak[j].centroid), weak[j].sigma);
            u.lines[j] = weak[j];
        }
        score(u, spc_find_peaks(poisson(u, 300 + i)), &z8, true, &z6);
    }
    EXPECT_EQ(report(strong, "100 %"), 1);
    EXPECT_GE(report(chains, ">= 98 %"), 0.98);
    EXPECT_GE(report(z8, ">= 95 %"), 0.90);
    EXPECT_GE(report(z6, ">= 85 %"), 0.75);
    report(pulls, "pull sd 0.8 to 1.3");
    EXPECT_LE(strong.false_peaks + chains.false_peaks, 2 * k);
    for (double v : {sd(pulls.pull_mu), sd(pulls.pull_area)})
        EXPECT_TRUE(v >= 0.75 && v <= 1.4) << v;
}

// Two lines 1.5 to 3 FWHM apart, equal or 2.5 : 1, beside two isolated lines: both found, and
// never fewer at a larger spacing.
TEST(PeakTargets, Doublets) {
    const double spacing[] = {1.5, 1.75, 2, 2.5, 3};
    for (double ratio : {1.0, 2.5}) {
        int resolved[5] = {};
        int trials = 10 * k;
        for (int g = 0; g < 5; ++g) {
            row r;
            for (int i = 0; i < trials; ++i) {
                draw d{std::mt19937_64(400 + 10 * g + 1000 * i + static_cast<int>(ratio))};
                bool ge = i % 2;
                int n = ge ? 4096 : 1024;
                auto sigma = ge ? ge_sigma : scint_sigma;
                scene s = background(&d, n);
                double x = n * d.uniform(0.35, 0.6), sg = sigma(n, x);
                line weak = line_of(s, x + spacing[g] * FWHM_PER_SIGMA * sg, sg, 40);
                line strong{x, sg, weak.area * ratio};
                s.lines = {line_of(s, 0.15 * n, sigma(n, 0.15 * n), 100), strong, weak,
                           line_of(s, 0.85 * n, sigma(n, 0.85 * n), 100)};
                auto peaks = spc_find_peaks(poisson(s, 400 + i));
                auto m = match(s, peaks, &r.false_peaks);
                resolved[g] += m[1] && m[2];
            }
            std::printf("doublet %.1f : 1, %.2f FWHM apart: %d of %d resolved, %d false\n", ratio,
                        spacing[g], resolved[g], trials, r.false_peaks);
            EXPECT_GE(resolved[g], trials * 8 / 10) << spacing[g];
            EXPECT_TRUE(g == 0 || resolved[g] + k >= resolved[g - 1]) << spacing[g];
        }
    }
}

// Lines 4 to 10 channels from either end, areas under a steep continuum, and spectra without a
// line (half of them with a Compton-like step).
TEST(PeakTargets, EndsSteepContinuaAndNoLines) {
    row ends{"lines 4 to 10 channels from either end"};
    row steep{"lines under a continuum falling by e in 40-100"};
    row smooth{"line-free spectra, smooth continua"};
    row steps{"line-free spectra with a Compton-like step"};
    for (int i = 0; i < 20 * k; ++i) {
        draw d{std::mt19937_64(500 + i)};
        int n = i % 2 ? 1024 : 4096;
        scene s = background(&d, n);
        double sg = d.uniform(0.8, 3);
        line a = line_of(s, 4 + d.uniform(0, 6), sg, d.log_uniform(20, 150));
        line b = line_of(s, n - 1 - 4 - d.uniform(0, 6), sg, d.log_uniform(20, 150));
        s.lines = {a, b};
        score(s, spc_find_peaks(poisson(s, 500 + i)), &ends, false);

        scene t;
        t.channels = 1024;
        t.exp_level = d.log_uniform(300, 20000);
        t.exp_length = d.uniform(40, 100);
        t.flat = d.uniform(1, 20);
        double x = d.uniform(1.0, 2.5) * t.exp_length;
        t.lines = {line_of(t, x, d.uniform(2, 6), d.uniform(25, 60))};
        score(t, spc_find_peaks(poisson(t, 600 + i)), &steep, true);
    }
    for (int i = 0; i < 50 * k; ++i) {
        draw d{std::mt19937_64(700 + i)};
        scene s = background(&d, i % 3 ? 1024 : 4096);
        score(s, spc_find_peaks(poisson(s, 700 + i)), &smooth, false);
        s.step = s.exp_level * d.uniform(0.2, 2);
        s.step_at = s.channels * d.uniform(0.3, 0.7);
        s.step_width = scint_sigma(s.channels, s.step_at) * d.uniform(1, 3);
        score(s, spc_find_peaks(poisson(s, 800 + i)), &steps, false);
    }
    EXPECT_GE(report(ends, ">= 90 %"), 0.85);
    report(steep, "area within 10 %");
    report(smooth, "at most 3 false in 100 spectra, half of them with a step");
    report(steps, "(the other half)");
    EXPECT_NEAR(mean(steep.ratio), 1, 0.1);
    EXPECT_LE(smooth.false_peaks + steps.false_peaks, 3 * k);
}
