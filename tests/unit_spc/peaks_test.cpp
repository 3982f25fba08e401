// The peak search against spectra whose lines are known: built here with seeded Poisson noise,
// and the simulator's own.
#include <gtest/gtest.h>

#include <cstdio>

#include "sim_model.h"
#include "spc_peaks.h"
#include "spc_support.h"

using namespace spc_test;

namespace {

// Every line found (a peak within a sigma or 2 channels), every peak matched. A line of at least
// `strong_z` measured well enough for the fixed bounds (centroid and FWHM uncertainties below a
// third of them; counted in `strong`) must be within 0.5 channel, 10 % FWHM and 3 area
// uncertainties; every line within 3 uncertainties in all three, all counting allows a weak line.
void score(const std::vector<line>& lines, const std::vector<double>& z,
           const std::vector<spc_peak>& peaks, double strong_z, int* strong) {
    std::vector<bool> used(peaks.size());
    for (size_t k = 0; k < lines.size(); ++k) {
        const line& l = lines[k];
        int hit = -1;
        for (size_t j = 0; j < peaks.size(); ++j)
            if (std::abs(peaks[j].centroid - l.centroid) < std::max(2.0, l.sigma)) hit = j;
        EXPECT_GE(hit, 0) << "missed: line at " << l.centroid << ", " << z[k] << " sigma";
        if (hit < 0) continue;
        used[hit] = true;
        const spc_peak& p = peaks[hit];
        double fwhm = FWHM_PER_SIGMA * l.sigma;
        bool area_ok = std::abs(p.area - l.area) <= 3 * p.area_err;
        bool is_strong =
            z[k] >= strong_z && p.centroid_err <= 0.5 / 3 && p.fwhm_err <= 0.1 / 3 * p.fwhm;
        bool inaccurate = is_strong && !(std::abs(p.centroid - l.centroid) <= 0.5 &&
                                         std::abs(p.fwhm / fwhm - 1) <= 0.10 && area_ok);
        bool beyond = !(std::abs(p.centroid - l.centroid) <= 3 * p.centroid_err &&
                        std::abs(p.fwhm - fwhm) <= 3 * p.fwhm_err && area_ok);
        *strong += is_strong;
        EXPECT_FALSE(inaccurate || beyond)
            << (inaccurate ? "inaccurate" : "beyond 3 uncertainties") << ": line at " << l.centroid
            << " (" << z[k] << " sigma): centroid " << p.centroid << " +- " << p.centroid_err
            << ", FWHM " << p.fwhm << " +- " << p.fwhm_err << " of " << fwhm << ", area " << p.area
            << " +- " << p.area_err << " of " << l.area;
    }
    for (size_t j = 0; j < peaks.size(); ++j)
        EXPECT_TRUE(used[j]) << "false peak at " << peaks[j].centroid;
}

// The payload of the simulator's spectrum event after `periods` of an assay, with noise from
// `seed` (none below 0); empty when the assay does not start or sends no spectrum.
std::vector<unsigned char> sim_spectrum(int seed, int periods) {
    sim_model m;
    sim_model_init(&m, "C0001234", 0, 0, false);
    if (seed >= 0) sim_model_set_noise(&m, static_cast<uint32_t>(seed));
    sim_answer a;
    sim_model_request(&m, 8309, nullptr, 0, &a);  // start the assay
    std::vector<sim_frame> events;
    for (int i = 0; i < periods; ++i) sim_model_tick(&m, false, 500, &events);
    bool ok = a.reply.status == 0 && !events.empty() && events.back().code == SIM_EV_SPECTRUM;
    return ok ? events.back().payload : std::vector<unsigned char>{};
}

}  // namespace

// Its four lines (two of them overlapping) after 6 and after 21 periods, for 16 seeds.
TEST(PeakSearch, FindsTheSimulatorsLines) {
    // The simulator's lines per period: centroid, sigma, height (see sim_model.cpp).
    const double design[4][3] = {{16, 3, 30}, {304, 10, 60}, {331, 11, 250}, {730, 18, 35}};
    int strong = 0;
    for (uint32_t seed = 1; seed <= 16; ++seed) {
        const int PERIODS = seed % 2 ? 21 : 6;
        auto payload = sim_spectrum(static_cast<int>(seed), PERIODS);
        ASSERT_GE(payload.size(), 230u + 4 * SIM_CHANNELS);
        std::vector<int32_t> counts;
        for (int i = 0; i < SIM_CHANNELS; ++i) {
            const unsigned char* p = payload.data() + 230 + 4 * i;
            counts.push_back(static_cast<int32_t>(p[0] | p[1] << 8 | p[2] << 16 | p[3] << 24));
        }
        std::vector<line> lines;
        std::vector<double> z;
        for (const auto& d : design) {
            lines.push_back({d[0], d[1], d[2] * d[1] * SQRT_2PI * PERIODS});
            double continuum = (40.0 * std::exp(-d[0] / 180.0) + 2.0) * PERIODS;
            z.push_back(significance(lines.back().area, continuum, d[1]));
        }
        auto peaks = spc_find_peaks(counts);
        score(lines, z, peaks, 50, &strong);
        // The continuum under each line (centroid +- one FWHM), also for the overlapping pair.
        for (const auto& p : peaks) {
            double sum = 0;
            for (int x = static_cast<int>(std::ceil(p.centroid - p.fwhm));
                 x <= static_cast<int>(std::floor(p.centroid + p.fwhm)); ++x)
                sum += (40.0 * std::exp(-x / 180.0) + 2.0) * PERIODS;
            EXPECT_NEAR(p.continuum, sum, 0.2 * sum) << "line at " << p.centroid;
        }
    }
    EXPECT_GE(strong, 16);  // the 662 keV line at least
}

TEST(PeakSearch, SimulatorNoiseIsSeeded) {
    auto spectrum = [](int seed) { return sim_spectrum(seed, 3); };
    EXPECT_EQ(spectrum(5), spectrum(5));
    EXPECT_NE(spectrum(5), spectrum(6));
    EXPECT_NE(spectrum(5), spectrum(-1));
    auto exact = spectrum(-1);
    // Channel 331 without noise: 3 periods of 40 e^(-331/180) + 2 + 250 + 60 e^(-0.5 (27/10)^2).
    int32_t c331 = exact[230 + 4 * 331] | exact[231 + 4 * 331] << 8;
    double rate = 40 * std::exp(-331 / 180.0) + 2 + 250 + 60 * std::exp(-0.5 * 2.7 * 2.7) +
                  30 * std::exp(-0.5 * std::pow((331 - 16) / 3.0, 2));
    EXPECT_EQ(c331, std::lround(rate * 3));
}

// Zeros, one channel, ramps, a single huge channel: no crash, nothing outside the spectrum.
TEST(PeakSearch, EdgeSpectra) {
    const std::vector<std::vector<int32_t>> cases = {
        std::vector<int32_t>(1024, 0), {7}, {0, 0, 0}, std::vector<int32_t>(64, 1000)};
    for (const auto& c : cases) {
        for (const auto& p : spc_find_peaks(c)) {
            EXPECT_GE(p.centroid, 0);
            EXPECT_LT(p.centroid, c.size());
        }
    }
    // Hundreds of candidates (a comb of single-channel spikes, random spikes) end within the
    // test's time limit and report no line narrower than a quarter channel.
    std::vector<int32_t> comb(1024), spikes(1024);
    std::mt19937_64 rng(9);
    for (int i = 0; i < 1024; ++i) {
        comb[i] = 100 + (i % 4 == 0 ? 5000 : 0) + (i % 6 == 0 ? 3000 : 0);
        spikes[i] = static_cast<int32_t>(rng() % 50 + (rng() % 20 == 0 ? rng() % 100000 : 0));
    }
    for (const auto& c : {comb, spikes})
        for (const auto& p : spc_find_peaks(c)) EXPECT_GE(p.fwhm, 0.25 * FWHM_PER_SIGMA);
    // Steep straight continua without noise, up to 10^9 a channel: the search continues them
    // straight beyond both ends, so neither end shows a line.
    for (double top : {1e4, 1e7, 1e9})
        for (double slope : {-1.0, 1.0}) {
            std::vector<int32_t> ramp(1024);
            for (int i = 0; i < 1024; ++i)
                ramp[i] = static_cast<int32_t>(
                    std::lround(top * (0.55 + 0.45 * slope * (i - 511.5) / 511.5)));
            EXPECT_TRUE(spc_find_peaks(ramp).empty()) << top << " " << slope;
        }
    std::vector<int32_t> spike(1024, 10);
    spike[500] = 2000000000;
    for (const auto& p : spc_find_peaks(spike)) EXPECT_NEAR(p.centroid, 500, 2);
    // Short spectra are searched too: a strong line in 16 and 64 channels.
    for (int n : {16, 64}) {
        scene tiny;
        tiny.channels = n, tiny.flat = 20, tiny.lines = {{n / 2.0, 1.5, 1e5}};
        auto found = spc_find_peaks(poisson(tiny, 5));
        ASSERT_EQ(found.size(), 1u) << n;
        EXPECT_NEAR(found[0].centroid, n / 2.0, 0.1);
    }
    // A narrow line at the end of a short spectrum: its window stays inside the spectrum.
    scene end;
    end.channels = 16, end.flat = 20, end.lines = {{13, 0.8, 5e4}};
    EXPECT_EQ(spc_find_peaks(poisson(end, 7)).size(), 1u);
    // With no fit allowed, a strong line on a slope is measured without one: flagged F, its
    // counts above a straight line through its window's ends.
    scene slope;
    slope.flat = 400, slope.slope = -0.3, slope.lines = {{500, 4, 40000}};
    spc_peak_options none;
    none.fit_work_per_channel = 0;
    spc_analysis measured = spc_analyse(poisson(slope, 8), none);
    const auto& unfitted = measured.peaks;
    ASSERT_EQ(unfitted.size(), 1u);
    EXPECT_EQ(unfitted[0].flags, SPC_FLAG_NO_FIT);
    const spc_group& line = measured.groups[unfitted[0].group];  // the straight line, both ends
    for (int x : {line.lo, line.hi})
        EXPECT_NEAR(spc_continuum_at(line, x), continuum(slope, x), 0.1 * continuum(slope, x));
    EXPECT_NEAR(unfitted[0].area, 40000, 3 * unfitted[0].area_err);
    EXPECT_NEAR(unfitted[0].centroid, 500, 0.5);
    // The same at the spectrum's end: its window reaches the last channel, past the line's foot.
    scene last;
    last.channels = 64, last.flat = 400, last.lines = {{57.5, 1.5, 40000}};
    auto at_end = spc_find_peaks(poisson(last, 9), none);
    ASSERT_EQ(at_end.size(), 1u);
    EXPECT_NEAR(at_end[0].area, 40000, 3 * at_end[0].area_err);
    // A chain of 24 lines two FWHM apart, longer than one fit takes: every line found.
    scene chain;
    chain.flat = 50;
    for (int k = 0; k < 24; ++k) chain.lines.push_back({150 + 14.0 * k, 3, 20000});
    EXPECT_EQ(spc_find_peaks(poisson(chain, 6)).size(), 24u);
    // Two lines of unlike widths at one place: one peak holding both.
    scene two;
    two.flat = 5, two.lines = {{600.8, 1.5, 56000}, {601.5, 1.25, 31000}};
    auto both = spc_find_peaks(poisson(two, 4));
    ASSERT_EQ(both.size(), 1u);
    EXPECT_NEAR(both[0].area, 87000, 3 * both[0].area_err);
    // A group's Compton edge: a density 300 + 4 (t - 500) up to channel 500, through a Gaussian
    // of 6 channels, on a flat 20: against the sum of that density over fine steps.
    spc_group g;
    g.c[0] = 20, g.edge[0] = 300, g.edge[1] = 500, g.edge[2] = 6, g.edge[3] = 4;
    for (double x : {440.0, 494.0, 500.0, 507.0, 530.0}) {
        double sum = 0;
        for (double t = 400.005; t < 500; t += 0.01)
            sum += 0.01 * (300 + 4 * (t - 500)) * std::exp(-0.5 * (x - t) * (x - t) / 36) /
                   (6 * std::sqrt(2 * M_PI));
        EXPECT_NEAR(spc_continuum_at(g, x), 20 + sum, 0.01) << x;
    }
}
