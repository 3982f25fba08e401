// nv-spc's speed on large spectra: `nv-spc info` (read, search, fit, print) as a user runs it,
// beside `wc -l` reading the same file, on a germanium-like spectrum of 2^20 channels, one of
// 65,536 channels with 150 lines, combs of equal lines (the case a quadratic selection step
// could not finish), and spectra of random counts (every channel drawn from 0 to 999: noise far
// beyond counting's, which once made every channel a candidate).
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_report.h"
#include "process.h"
#include "spc_support.h"

namespace {

using namespace spc_test;

// Wall time of `args` in seconds, median and range of `runs` runs.
bench::Spread timed(const std::vector<std::string>& args, int runs) {
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        auto start = std::chrono::steady_clock::now();
        auto r = proc::run(args, "", "", 600000);
        t.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (r.exit_code != 0) std::printf("  %s failed: %s\n", args[0].c_str(), r.output.c_str());
    }
    return bench::spread(t);
}

// Lines of a germanium detector (FWHM^2 = 0.81 + 0.0025 E keV^2 over 3000 keV) at random places,
// or a comb of equal lines, on a falling continuum.
std::string spectrum(int n, int lines, bool comb, uint64_t seed) {
    if (lines < 0) {
        std::mt19937_64 rng(seed);
        std::vector<int32_t> counts(n);
        for (auto& c : counts) c = static_cast<int32_t>(rng() % 1000);
        return spectrum_text(counts, 100, 95, "0.00 0.000000 3.000000 0.000000");
    }
    scene s;
    s.channels = n;
    s.exp_level = 200, s.exp_length = 0.2 * n, s.flat = 20;
    std::mt19937_64 rng(seed);
    for (int k = 0; k < lines; ++k) {
        double x = comb ? (k + 0.5) * n / lines
                        : std::uniform_real_distribution<>(0.02 * n, 0.98 * n)(rng);
        double gain = 3000.0 / n,
               sigma = std::sqrt(0.81 + 0.0025 * x * gain) / FWHM_PER_SIGMA / gain;
        double area = comb ? 5000 : std::exp(std::uniform_real_distribution<>(5.7, 13.8)(rng));
        s.lines.push_back({x, sigma, area});
    }
    return spectrum_text(poisson(s, seed), 100, 95, "0.00 0.000000 3.000000 0.000000");
}

}  // namespace

int main() {
    proc::TempDir dir;
    struct item {
        const char* name;
        int channels, lines;
        bool comb;
        double target;  // seconds; 0: none
    } items[] = {
        {"info, 2^20 channels, 300 lines", 1 << 20, 300, false, 2.0},
        {"info, 65,536 channels, 150 lines", 65536, 150, false, 1.0},
        {"info, comb of 400 in 65,536", 65536, 400, true, 0},
        {"info, comb of 1600 in 262,144", 262144, 1600, true, 0},
        {"info, random counts, 65,536 channels", 65536, -1, false, 1.0},
        {"info, random counts, 2^20 channels", 1 << 20, -1, false, 3.0},
    };
    for (const auto& it : items) {
        std::string path = dir.file("s.spc");
        e2e::write_file(path, spectrum(it.channels, it.lines, it.comb, 7));
        bench::Spread ours = timed({NV_SPC_BIN, "info", path}, 3);
        bench::Spread wc = timed({"/usr/bin/wc", "-l", path}, 3);
        bench::row(it.name, ours, wc, "s",
                   it.target > 0 ? bench::Goal::value_below : bench::Goal::none, it.target);
    }
    bench::finish();
    return 0;
}
