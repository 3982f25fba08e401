// The benchmarks' common output: one row per figure, beside the baseline measured in the same
// run, with the ratio and whether its target was met. scripts/bench.sh adds up the "#targets"
// lines of every benchmark program into its last line.
#pragma once

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

namespace bench {

struct Spread {
    double median = 0, low = 0, high = 0;
};

inline Spread spread(std::vector<double> v) {
    Spread s;
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    s.median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    s.low = v.front();
    s.high = v.back();
    return s;
}

enum class Goal { ratio_at_least, ratio_at_most, value_below, none };

struct Tally {
    int met = 0, total = 0;
};

inline Tally& tally() {
    static Tally t;
    return t;
}

// Prints one figure. The ratio is figure / baseline; `goal` says what must hold for `target`
// (for value_below the figure itself is compared, in its own unit).
inline void row(const char* name, Spread figure, Spread baseline, const char* unit, Goal goal,
                double target) {
    double ratio = baseline.median > 0 ? figure.median / baseline.median : 0;
    bool met = false;
    char want[64] = "";
    switch (goal) {
        case Goal::ratio_at_least:
            met = ratio >= target;
            std::snprintf(want, sizeof want, "ratio >= %.2f", target);
            break;
        case Goal::ratio_at_most:
            met = ratio <= target;
            std::snprintf(want, sizeof want, "ratio <= %.2f", target);
            break;
        case Goal::value_below:
            met = figure.median < target;
            std::snprintf(want, sizeof want, "< %.4g %s", target, unit);
            break;
        case Goal::none:
            break;
    }
    std::printf("%-34s %10.3f %-5s [%.3f..%.3f]", name, figure.median, unit, figure.low,
                figure.high);
    if (baseline.median > 0)
        std::printf("  baseline %10.3f [%.3f..%.3f]  ratio %6.3f", baseline.median, baseline.low,
                    baseline.high, ratio);
    if (goal != Goal::none) {
        std::printf("  target %s: %s", want, met ? "met" : "MISSED");
        tally().total++;
        if (met) tally().met++;
    }
    std::printf("\n");
    std::fflush(stdout);
}

// The figures a benchmark's command line names; none named: all of them.
struct Chosen {
    int argc;
    char** argv;
    bool operator()(const char* figure) const {
        if (argc < 2) return true;
        for (int i = 1; i < argc; ++i)
            if (std::strcmp(argv[i], figure) == 0) return true;
        return false;
    }
};

// A benchmark's start: a peer that goes away ends a write, not the program; every row is shown
// as soon as it is printed.
inline Chosen start(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return Chosen{argc, argv};
}

inline void finish() {
    std::printf("#targets %d %d\n", tally().met, tally().total);
    std::fflush(stdout);
}

}  // namespace bench
