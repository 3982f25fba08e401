#include "spc_identify.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace {

const char* const LIBRARY_TEXT =
#include "spc_nuclides.inc"
    ;

// Full-energy efficiency of a handheld scintillator (a few cm of NaI), relative: flat below
// 100 keV, E^-1.2 above. Rough by a factor of two or three at the ends, which the factor of ten
// of the strength checks leaves room for.
double efficiency(double kev) {
    return kev <= 100 ? 1 : std::pow(kev / 100, -1.2);
}

// A nuclide's lines as the detector shows them: those within half a FWHM merged (intensity-
// weighted energy, summed intensity). Its peak may lie as far from that energy as a part of a
// quarter of its intensity or more (two equal lines partly resolved); a weaker part hardly
// moves it (Co-57's 136 keV beside its 122 keV).
struct seen_line {
    double kev, intensity, spread;  // spread: how far its strong parts lie from its energy
    bool xray;
};

std::vector<seen_line> as_seen(const spc_nuclide& n, double (*fwhm)(double, const void*),
                               const void* data) {
    std::vector<spc_line> lines = n.lines;
    std::sort(lines.begin(), lines.end(), [](auto& a, auto& b) { return a.kev < b.kev; });
    std::vector<seen_line> out;
    std::vector<std::vector<spc_line>> parts;
    for (const auto& l : lines) {
        if (!out.empty() && l.kev - parts.back()[0].kev < 0.5 * fwhm(l.kev, data)) {
            seen_line& s = out.back();
            s.kev = (s.kev * s.intensity + l.kev * l.intensity) / (s.intensity + l.intensity);
            s.intensity += l.intensity;
            s.xray = s.xray && l.xray;
            parts.back().push_back(l);
            continue;
        }
        parts.push_back({l});
        out.push_back({l.kev, l.intensity, 0, l.xray});
    }
    for (size_t k = 0; k < out.size(); ++k)
        for (const auto& l : parts[k])
            if (l.intensity >= 0.25 * out[k].intensity)
                out[k].spread = std::max(out[k].spread, std::abs(l.kev - out[k].kev));
    return out;
}

struct spectrum_view {
    const spc_analysis& a;
    const std::vector<int32_t>& counts;
    const spc_calib& c;
    double fwhm_per_root_kev;  // the lines' resolution as FWHM / sqrt(E)
};

double fwhm_of(double kev, const void* data) {
    const auto* v = static_cast<const spectrum_view*>(data);
    return v->fwhm_per_root_kev * std::sqrt(std::max(kev, 1.0));
}

// The counts within +-1.25 FWHM of `kev`: what a line there must stand out of.
double counts_near(const spectrum_view& v, double kev) {
    double w = 1.25 * fwhm_of(kev, &v);
    int n = static_cast<int>(v.counts.size());
    int lo = std::clamp(static_cast<int>(std::ceil(spc_channel(v.c, kev - w))), 0, n - 1);
    int hi = std::clamp(static_cast<int>(std::floor(spc_channel(v.c, kev + w))), lo, n - 1);
    double s = 0;
    for (int i = lo; i <= hi; ++i) s += v.counts[i];
    return s;
}

bool solid(const spc_peak& p) {
    return spc_is_line(p) && !(p.flags & (SPC_FLAG_WIDTH | SPC_FLAG_NO_FIT));
}

// One nuclide against the peaks: which of its lines match which peak, and whether it passes.
struct candidate {
    size_t nuclide;
    std::vector<std::pair<size_t, int>> lines;  // seen line, peak (-1: none)
    std::vector<seen_line> seen;
    double scale = 0;  // counts per unit of intensity times efficiency
    int agree = 0, expected = 0, explains = 0;
    double best_sig = 0;
    std::vector<int> evidence;  // peaks whose strength agrees
    bool passes = false;
};

candidate judge(const spectrum_view& v, size_t index, const std::vector<double>& residual,
                const std::vector<bool>& usable) {
    const spc_nuclide& n = spc_library()[index];
    candidate c;
    c.nuclide = index;
    c.seen = as_seen(n, fwhm_of, &v);
    const auto& peaks = v.a.peaks;
    double lo = spc_energy(v.c, std::max(-0.5, v.a.threshold + 0.0));
    double hi = spc_energy(v.c, static_cast<double>(v.counts.size()) - 0.5);
    // The threshold's region and 20 keV beyond: no line there is asked for.
    lo = std::max(lo + (v.a.threshold > 0 ? 20 : 0), 20.0);
    for (size_t j = 0; j < c.seen.size(); ++j) {
        const seen_line& l = c.seen[j];
        if (l.kev < lo || l.kev > hi) continue;
        int best = -1;
        double best_d = 0;
        for (size_t k = 0; k < peaks.size(); ++k) {
            if (!spc_is_line(peaks[k])) continue;
            double d = std::abs(spc_energy(v.c, peaks[k].centroid) - l.kev);
            if (d <= spc_tolerance(peaks[k], v.c) + l.spread && (best < 0 || d < best_d))
                best = static_cast<int>(k), best_d = d;
        }
        c.lines.push_back({j, best});
    }
    // One peak is one line: a peak within reach of two of the nuclide's lines stands for the
    // nearer only (a wide peak between U-235's 163 and 186 keV is not both).
    for (auto& [j, k] : c.lines) {
        if (k < 0) continue;
        double e = spc_energy(v.c, peaks[k].centroid), d = std::abs(e - c.seen[j].kev);
        for (const auto& [j2, k2] : c.lines) {
            double d2 = std::abs(e - c.seen[j2].kev);
            if (k2 == k && j2 != j && (d2 < d || (d2 == d && j2 < j))) {
                k = -1;
                break;
            }
        }
    }
    // The scale from the line that allows the least (the others may hold more than this
    // nuclide's share); only agreeing lines of usable peaks set it.
    // Annihilation radiation comes from any positron emitter and from pair production: 511 keV
    // is evidence only for a nuclide that has no other line.
    auto annihilation = [&](size_t j) {
        return std::abs(c.seen[j].kev - 511) < 2 && c.seen.size() > 1;
    };
    double s = 0;
    for (auto [j, k] : c.lines) {
        if (k < 0 || !usable[k] || !solid(peaks[k]) || annihilation(j)) continue;
        double x = residual[k] / (c.seen[j].intensity * efficiency(c.seen[j].kev));
        if (x > 0 && (s == 0 || x < s)) s = x;
    }
    if (s == 0) return c;
    c.scale = s;
    double strongest = 0, second = 0;
    bool strongest_seen = false;
    for (auto [j, k] : c.lines) {
        const seen_line& l = c.seen[j];
        double want = s * l.intensity * efficiency(l.kev);
        double limit = 3 * std::sqrt(std::max(counts_near(v, l.kev), 9.0));
        // It would show even at a fifth of its expected strength. X-rays and lines below 60 keV
        // never have to: a housing or a source's capsule may absorb them.
        bool clear = want >= 5 * limit && l.kev >= 60 && !l.xray && !annihilation(j);
        c.expected += clear;
        bool gamma = l.kev >= 60 && !l.xray && !annihilation(j);
        bool top = gamma && want > strongest;
        if (gamma) second = top ? strongest : std::max(second, want);
        if (top) strongest = want, strongest_seen = false;
        if (k < 0) {
            // Missing where it should show clearly, and no peak at all within a FWHM that
            // could hide it (a bump or the threshold's rise hides a line as well as a line
            // does): not this nuclide.
            bool hidden = false;
            for (const auto& p : peaks)
                hidden = hidden ||
                         std::abs(spc_energy(v.c, p.centroid) - l.kev) < 1.5 * fwhm_of(l.kev, &v);
            if (clear && !hidden) return c;
            continue;
        }
        double ratio = residual[k] / want;
        if (clear && ratio < 0.1) return c;  // ten times too weak: not this nuclide
        // Another nuclide's line, taken already, or annihilation radiation.
        if (ratio > 10 || !usable[k]) continue;
        c.explains++;
        if (annihilation(j)) continue;
        strongest_seen = strongest_seen || top;
        c.agree++;
        c.evidence.push_back(k);
        if (solid(peaks[k]) && peaks[k].area_err > 0)
            c.best_sig = std::max(c.best_sig, residual[k] / peaks[k].area_err);
    }
    // Two lines that agree when it should show two; a line of five sigma that is solid. A line
    // of 511 keV alone is a positron emitter only when it is the spectrum's strongest.
    // Its strongest line must be among them: one hidden under another nuclide's tells nothing.
    // A nuclide with a second line of a third of its strongest's strength or more needs both; a
    // nuclide named on one line needs it at ten standard deviations (one weak line at the right
    // energy happens by chance).
    int need = std::max(c.expected, strongest > 0 && second >= strongest / 3 ? 2 : 1);
    c.passes = c.best_sig >= (c.agree >= 2 ? 5 : 10) && c.agree >= std::min(2, need) &&
               (strongest_seen || strongest == 0);
    if (c.seen.size() == 1 && std::abs(c.seen[0].kev - 511) < 2 && n.name != "annihilation")
        for (const auto& p : peaks) c.passes = c.passes && p.area <= peaks[c.evidence[0]].area;
    return c;
}

}  // namespace

const std::vector<spc_nuclide>& spc_library() {
    static const std::vector<spc_nuclide> library = [] {
        std::vector<spc_nuclide> out;
        std::istringstream in(LIBRARY_TEXT);
        for (std::string line; std::getline(in, line);) {
            if (line.empty() || line[0] == '#') continue;
            std::istringstream fields(line);
            spc_nuclide n;
            std::getline(fields, n.name, '|');
            n.name.erase(n.name.find_last_not_of(' ') + 1);
            for (std::string item; std::getline(fields, item, '|');) {
                std::istringstream pair(item);
                spc_line l;
                pair >> std::ws;
                l.xray = pair.peek() == 'x';
                if (l.xray) pair.get();
                if (pair >> l.kev >> l.intensity) n.lines.push_back(l);
            }
            out.push_back(n);
        }
        return out;
    }();
    return library;
}

const char* spc_confidence_name(spc_confidence c) {
    switch (c) {
        case spc_confidence::certain:
            return "certain";
        case spc_confidence::probable:
            return "probable";
        case spc_confidence::ambiguous:
            return "ambiguous";
    }
    return "?";
}

double spc_tolerance(const spc_peak& p, const spc_calib& c) {
    double e = spc_energy(c, p.centroid), sd = p.centroid_err * spc_gain_at(c, p.centroid);
    double cal = 0.005 * e;
    for (const auto& q : c.points) cal = std::max(cal, std::abs(q.residual));
    return std::sqrt(9 * sd * sd + cal * cal) + 0.5;
}

spc_identification spc_identify(const spc_analysis& a, const std::vector<int32_t>& counts,
                                const spc_calib& c) {
    spc_identification out;
    out.peaks.resize(a.peaks.size());
    if (!c.set || a.peaks.empty()) return out;
    // The lines' resolution, from the width model or else the lines themselves (median).
    std::vector<double> ratios;
    for (const auto& p : a.peaks) {
        double e = spc_energy(c, p.centroid);
        double w = spc_width_at(a.width, p.centroid);
        if (a.width.peaks < 2 || w <= 0) w = p.fwhm;
        if (e > 0 && solid(p)) ratios.push_back(w * spc_gain_at(c, p.centroid) / std::sqrt(e));
    }
    if (ratios.empty()) return out;
    std::nth_element(ratios.begin(), ratios.begin() + ratios.size() / 2, ratios.end());
    spectrum_view v{a, counts, c, ratios[ratios.size() / 2]};

    std::vector<double> residual;
    for (const auto& p : a.peaks) residual.push_back(p.area);
    std::vector<bool> usable(a.peaks.size(), true);
    std::vector<bool> done(spc_library().size(), false);
    // The strongest remaining nuclide first; its lines' share of each peak is taken from it.
    while (true) {
        std::vector<candidate> all;
        for (size_t i = 0; i < spc_library().size(); ++i)
            if (!done[i]) all.push_back(judge(v, i, residual, usable));
        int best = -1;
        for (size_t i = 0; i < all.size(); ++i)
            if (all[i].passes &&
                (best < 0 || all[i].explains > all[best].explains ||
                 (all[i].explains == all[best].explains && all[i].best_sig > all[best].best_sig)))
                best = static_cast<int>(i);
        if (best < 0) break;
        // A nuclide whose lines are all another's (Th-228 in the Th-232 chain: the same
        // daughters below Ra-228) is told from the larger one only by a line of the larger's own
        // that agrees at ten standard deviations (Ac-228's 911 keV); then the larger, which nature
        // holds, is named, and the smaller only on what it leaves. Else the spectrum cannot tell
        // them apart, and they are named as one ambiguous choice.
        auto within = [](const spc_nuclide& x, const spc_nuclide& y) {
            for (const auto& l : x.lines) {
                bool in = false;
                for (const auto& m : y.lines) in = in || std::abs(l.kev - m.kev) < 0.5;
                if (!in) return false;
            }
            return x.lines.size() < y.lines.size();
        };
        int partner = -1;
        bool smaller = false;  // best is the smaller of the two
        for (size_t i = 0; i < all.size() && partner < 0; ++i) {
            if (static_cast<int>(i) == best || !all[i].passes) continue;
            const spc_nuclide& x = spc_library()[all[best].nuclide];
            const spc_nuclide& y = spc_library()[all[i].nuclide];
            smaller = within(x, y);
            if (smaller || within(y, x)) partner = static_cast<int>(i);
        }
        bool told = false;
        if (partner >= 0) {
            const candidate& big = all[smaller ? partner : best];
            const candidate& small = all[smaller ? best : partner];
            for (int k : big.evidence) {
                bool shared = false;
                for (auto [j, q] : small.lines) shared = shared || q == k;
                told = told || (!shared && solid(a.peaks[k]) && a.peaks[k].area_err > 0 &&
                                residual[k] >= 10 * a.peaks[k].area_err);
            }
            if (told && smaller) {
                done[all[best].nuclide] = true;
                continue;
            }
        }
        const candidate& w = all[best];
        done[w.nuclide] = true;
        const std::string& name = spc_library()[w.nuclide].name;
        spc_named named{name,
                        w.best_sig >= 10 ? spc_confidence::certain : spc_confidence::probable,
                        "",
                        w.agree,
                        std::max(w.expected, w.agree),
                        w.best_sig};
        if (partner >= 0 && !told) {
            named.confidence = spc_confidence::ambiguous;
            named.with = spc_library()[all[partner].nuclide].name;
            done[all[partner].nuclide] = true;
        }
        // Another nuclide that these very peaks name as well, with nothing of its own.
        for (size_t i = 0; i < all.size(); ++i) {
            if (static_cast<int>(i) == best || !all[i].passes) continue;
            auto mine = w.evidence, theirs = all[i].evidence;
            std::sort(mine.begin(), mine.end());
            std::sort(theirs.begin(), theirs.end());
            if (named.with.empty() && mine == theirs && all[i].agree == w.agree) {
                named.confidence = spc_confidence::ambiguous;
                named.with = spc_library()[all[i].nuclide].name;
                done[all[i].nuclide] = true;
            }
        }
        out.nuclides.push_back(named);
        for (auto [j, k] : w.lines) {
            if (k < 0) continue;
            const seen_line& l = w.seen[j];
            out.peaks[k].push_back({name, l.kev});
            // A line that agrees is explained by this nuclide and evidence for no other; of a
            // line far stronger, only its share is taken.
            double want = w.scale * l.intensity * efficiency(l.kev);
            residual[k] -= want;
            if (residual[k] < 10 * want || residual[k] < 3 * a.peaks[k].area_err) usable[k] = false;
        }
    }
    for (size_t k = 0; k < a.peaks.size(); ++k)
        if (solid(a.peaks[k]) && out.peaks[k].empty())
            out.unexplained.push_back(static_cast<int>(k));
    return out;
}
