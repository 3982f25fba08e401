// nv-spc (info --json, compare) on spectra as a handheld NaI(Tl) detector records them
// (realistic.h, data/realistic_scenarios.txt): lines found, centroids, false peaks, nuclides
// named, equal backgrounds compared, the FWHM calibration. Each figure is printed (the README's
// are these); NV_SPC_TARGETS=N runs N seeds of each spectrum.
#include <gsl/gsl_version.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>

#include "realistic.h"
#include "spc_identify.h"
#include "spc_peaks.h"
#include "spc_support.h"
#include "stored.h"

using namespace spc_test;
using json = nlohmann::json;

namespace {

const char* const RUNS = std::getenv("NV_SPC_TARGETS");
const int runs = std::max(1, RUNS ? std::atoi(RUNS) : 1);
// Under a sanitizer nv-spc runs many times slower: a third of the spectra, the figures not held.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t STRIDE = 3;
#else
constexpr size_t STRIDE = 1;
#endif
const std::string CAL = "--kev-per-channel=" + std::to_string(realistic::KEV_PER_CH);

struct scenario {
    std::vector<realistic::item> items;
    double seconds;
    std::set<std::string> named;  // what nv-spc must name (beside the background's)
    bool listed;                  // else nothing may be named
};

// The background's own and what any spectrum may show besides its sources.
const std::set<std::string> NATURAL = {"K-40", "Ra-226 chain", "Th-232 chain"};
const std::set<std::string> HARMLESS = {"lead X-rays", "annihilation"};

json info(const std::string& dir, const std::string& file) {
    auto r = nv_spc({"info", "--json", CAL, file}, dir);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    return r.exit_code == 0 ? json::parse(r.output, nullptr, false) : json();
}

struct tally {
    int strong = 0, strong_found = 0, single = 0, single_found = 0, spectra = 0, false_peaks = 0;
    int outgrown = 0;  // false peaks also counting lines four times what their truth holds
    std::vector<double> pulls;
    int fwhm_given = 0, fwhm_good = 0;
    std::vector<std::string> missed;
};

// The truth's lines merged where the detector cannot part them (within a FWHM), area-weighted;
// a peak anywhere from the first to the last of them (half a FWHM beyond) finds the blend.
std::vector<realistic::line_truth> merged(std::vector<realistic::line_truth> lines) {
    std::sort(lines.begin(), lines.end(), [](auto& a, auto& b) { return a.channel < b.channel; });
    std::vector<realistic::line_truth> out;
    for (const auto& l : lines) {
        if (!out.empty() && l.channel - out.back().channel < FWHM_PER_SIGMA * l.sigma_ch) {
            auto& m = out.back();
            double a = m.area + l.area;
            m.channel = (m.channel * m.area + l.channel * l.area) / a;
            m.kev = m.channel * realistic::KEV_PER_CH;
            m.z = std::hypot(m.z, l.z);
            m.area = a;
            m.last = l.channel;
            if (l.area > m.area - l.area) m.what = l.what;
            continue;
        }
        out.push_back(l);
        out.back().first = out.back().last = l.channel;
    }
    return out;
}

// The peaks of `j` against the truth of `s`.
void score_peaks(const realistic::spectrum& s, const json& j, tally* t, const std::string& name) {
    auto lines = merged(s.lines);
    std::vector<bool> used(j["peaks"].size());
    std::vector<double> truth(j["peaks"].size());  // the most a line of the truth there holds
    for (const auto& l : lines) {
        // Alone: no other line with a tenth of its area within two FWHM.
        bool single = true;
        for (const auto& o : s.lines)
            single = single && (std::abs(o.channel - l.channel) < 0.5 ||
                                std::abs(o.channel - l.channel) > 2 * FWHM_PER_SIGMA * l.sigma_ch ||
                                o.area < 0.1 * l.area);
        // A line reaching into the threshold's cut (25 keV) need not be found as a line.
        bool cut = l.kev - FWHM_PER_SIGMA * realistic::sigma_kev(l.kev) < 28;
        int hit = -1;
        for (size_t k = 0; k < j["peaks"].size(); ++k) {
            const json& p = j["peaks"][k];
            double c = p["centroid_channel"].get<double>(), d = std::abs(c - l.channel);
            double half = 0.5 * FWHM_PER_SIGMA * l.sigma_ch;
            if (c > l.first - half && c < l.last + half && p["line"].get<bool>() &&
                (hit < 0 ||
                 d < std::abs(j["peaks"][hit]["centroid_channel"].get<double>() - l.channel)))
                hit = static_cast<int>(k);
        }
        if (hit >= 0) used[hit] = true, truth[hit] = std::max(truth[hit], l.area);
        if (l.z >= 20 && !cut) {
            t->strong++, t->strong_found += hit >= 0;
            if (hit < 0)
                t->missed.push_back(name + ": " + std::to_string(l.kev) + " keV " +
                                    std::to_string(l.z) + " sigma");
        }
        if (single && l.z >= 10 && l.kev > 100) {
            t->single++, t->single_found += hit >= 0;
            if (hit >= 0) {
                const json& p = j["peaks"][hit];
                double err = p["centroid_channel_err"].get<double>();
                if (err > 0)
                    t->pulls.push_back((p["centroid_channel"].get<double>() - l.channel) / err);
            }
        }
    }
    // A line no truth explains (a weak one of the truth does; a backscatter bump is not counted);
    // `outgrown` counts as well a line whose truth holds less than a quarter of its area (the top
    // of a Compton edge where a weak background line happens to lie).
    for (size_t k = 0; k < used.size(); ++k) {
        const json& p = j["peaks"][k];
        if (!p["line"].get<bool>()) continue;
        double c = p["centroid_channel"].get<double>(), e = c * realistic::KEV_PER_CH;
        bool known = used[k], bump = false;
        for (const auto& l : s.lines)
            if (std::abs(l.channel - c) < 0.6 * FWHM_PER_SIGMA * l.sigma_ch)
                known = true, truth[k] = std::max(truth[k], l.area);
        for (const auto& b : s.backscatter)
            bump = bump || (e > b.first - 2 * realistic::sigma_kev(e) &&
                            e < b.second + 2 * realistic::sigma_kev(e));
        t->false_peaks += !known && !bump;
        t->outgrown += !bump && truth[k] < 0.25 * p["net_area"].get<double>();
    }
    t->spectra++;
    if (!j["fwhm_calibration"].is_null()) {
        const json& f = j["fwhm_calibration"];
        double w =
            std::sqrt(std::max(0.0, f["a_keV2"].get<double>() + f["b_keV"].get<double>() * 661.66 +
                                        f["c"].get<double>() * 661.66 * 661.66));
        t->fwhm_given++;
        t->fwhm_good += std::abs(w / (0.075 * 661.66) - 1) <= 0.25;
    }
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double sd(const std::vector<double>& v) {
    double m = 0, q = 0;
    for (double x : v) m += x / v.size();
    for (double x : v) q += (x - m) * (x - m);
    return v.size() > 1 ? std::sqrt(q / (v.size() - 1)) : 0;
}

// The spectra of data/realistic_scenarios.txt, in its order (a row's number is its seed).
std::vector<scenario> scenarios() {
    std::vector<scenario> all;
    for (const auto& [n, row] : proc::data_lines(std::string(NV_SOURCE_DIR) +
                                                 "/tests/unit_spc/data/realistic_scenarios.txt")) {
        std::vector<std::string> f(3);
        std::istringstream fields(row);
        for (auto& x : f) std::getline(fields, x, '|');
        scenario sc{{{"background", 0}}, std::stod(f[0]), {}, false};
        std::istringstream items(f[1]), names(f[2]);
        for (std::string item; std::getline(items, item, ',');) {
            std::istringstream words(item);
            realistic::item it;
            if (words >> it.name >> it.photons) sc.items.push_back(it);
        }
        for (std::string name; std::getline(names >> std::ws, name, ',');)
            sc.named.insert(name.substr(0, name.find_last_not_of(' ') + 1));
        sc.listed = !sc.named.empty();
        all.push_back(sc);
    }
    return all;
}

}  // namespace

TEST(RealisticTargets, LinesNuclidesAndCompare) {
    std::vector<scenario> all = scenarios();
    proc::TempDir dir;
    tally t;
    std::map<std::string, std::pair<int, int>> named;  // source: named, spectra
    int false_named = 0, clean = 0;
    for (int run = 0; run < runs; ++run)
        for (size_t i = 0; i < all.size(); i += STRIDE) {
            const scenario& sc = all[i];
            auto s = realistic::build(sc.items, sc.seconds);
            uint64_t seed = 1000 * run + i;
            std::string file = std::to_string(i) + ".spc";
            int32_t secs = static_cast<int32_t>(sc.seconds);
            e2e::write_file(dir.file(file),
                            spectrum_text(realistic::counts(s, seed), secs + 1, secs));
            json j = info(dir.path(), file);
            if (j.is_discarded() || j.is_null()) continue;
            std::string name = sc.items.back().name + " " + std::to_string(secs) + " s";
            score_peaks(s, j, &t, name);
            // An ambiguous choice ("Th-228 or Th-232 chain") names each of its two, and is
            // false only when neither is there.
            std::set<std::string> got;
            std::vector<std::string> wrong;
            auto there = [&](const std::string& n) {
                return sc.named.count(n) || NATURAL.count(n) || HARMLESS.count(n);
            };
            for (const auto& id : j["identification"]) {
                std::string n = id["nuclide"],
                            o = id["or"].is_null() ? n : id["or"].get<std::string>();
                got.insert({n, o});
                if (!there(n) && !there(o)) wrong.push_back(n == o ? n : n + " or " + o);
            }
            for (const auto& n : sc.named) {
                named[n].second++;
                named[n].first += got.count(n);
            }
            if (!sc.listed) clean++, false_named += !wrong.empty();
            for (const auto& w : wrong) std::printf("  %s: named %s\n", name.c_str(), w.c_str());
        }
    std::printf("lines >= 20 sigma found: %d of %d (target 100 %%)\n", t.strong_found, t.strong);
    for (const auto& m : t.missed) std::printf("  missed %s\n", m.c_str());
    std::printf(
        "single lines >= 10 sigma above 100 keV found: %d of %d (%.1f %%, target >= 95 %%)\n",
        t.single_found, t.single, 100.0 * t.single_found / std::max(1, t.single));
    std::printf("centroid pull: median %.2f, sd %.2f of %zu (target median within 1, sd <= 1.5)\n",
                median(t.pulls), sd(t.pulls), t.pulls.size());
    std::printf("false peaks: %d in %d spectra (%.2f a spectrum, target <= 0.3)\n", t.false_peaks,
                t.spectra, double(t.false_peaks) / std::max(1, t.spectra));
    std::printf("  also counting lines four times what their truth holds: %d (%.2f a spectrum)\n",
                t.outgrown, double(t.outgrown) / std::max(1, t.spectra));
    std::printf(
        "background and unlisted spectra with a false nuclide: %d of %d (target <= 1 in 20)\n",
        false_named, clean);
    int sources_ok = 0;
    for (const auto& [n, c] : named) {
        std::printf("  %-14s named in %d of %d\n", n.c_str(), c.first, c.second);
        sources_ok += 4 * c.first >= 3 * c.second;
    }
    std::printf("sources named in >= 3 of 4 spectra: %d of %zu\n", sources_ok, named.size());
    std::printf("FWHM at 662 keV within 25 %%: %d of %d given\n", t.fwhm_good, t.fwhm_given);
    // What this search reaches, held with a margin (the README gives the targets it misses).
    if (STRIDE == 1) {
        EXPECT_GE(t.strong_found, 0.995 * t.strong);
        EXPECT_GE(t.single_found, 0.95 * t.single);
        EXPECT_LE(std::abs(median(t.pulls)), 1);
        EXPECT_LE(sd(t.pulls), 1.5);
        EXPECT_LE(t.false_peaks, 0.3 * t.spectra);
        EXPECT_LE(t.outgrown, 0.3 * t.spectra);
        EXPECT_LE(false_named, runs);
        EXPECT_GE(sources_ok, 12);
        EXPECT_EQ(t.fwhm_good, t.fwhm_given);
    }

    // Two backgrounds of one model: no peak changes beyond 4 sd.
    double worst = 0;
    for (int run = 0; run < runs; ++run)
        for (double secs : {300.0, 3600.0}) {
            auto s = realistic::build({{"background", 0}}, secs);
            for (int k : {0, 1})
                e2e::write_file(
                    dir.file("bg" + std::to_string(k) + ".spc"),
                    spectrum_text(realistic::counts(s, 77 + 2 * run + k), secs + 1, secs));
            auto r = nv_spc({"compare", "--width", "60", CAL, "bg0.spc", "bg1.spc"}, dir.path());
            EXPECT_EQ(r.exit_code, 0) << r.output;
            std::regex sd_of(R"(\(([-+][0-9.]+) sd\))");
            for (std::sregex_iterator it(r.output.begin(), r.output.end(), sd_of), end; it != end;
                 ++it)
                worst = std::max(worst, std::abs(std::stod((*it)[1])));
        }
    std::printf("compare of equal backgrounds: largest difference %.1f sd (target <= 4)\n", worst);
    EXPECT_LE(worst, 4);
    if (STRIDE > 1) GTEST_SKIP() << "a sanitizer's build: a third of the spectra, figures not held";
}

// Lines on a strong source's backscatter bump and Compton continuum, or beside a stronger line,
// where no continuum of a group's fit holds and wide bumps take up the counts: Pb-212's 239 keV,
// Pb-214's 352 keV and Ac-228's 911 keV (found only in the residual) under Cs-137 at 1 h, and
// Eu-152's 411 and 444 keV (closer than a FWHM: one line at their area-weighted mean) on the
// flank of its 344 keV, and Ba-133's 276 and 303 keV (one line too) beside Cs-137, and Pb-212's
// 239 keV on the foot of I-131's Compton edge (the edge's curvature hides it from the search), are
// each reported as a line, near its energy and of a line's width, not swallowed by a bump; Tc-99m's
// 140 keV at 1200 s in a group the model describes (the residual's pass had fitted it beside a
// bump that described the counts far worse). Where no line stands on the foot of a real Compton
// edge (Bi-214's 609 keV, its edge at 401 keV, under weak Cs-137 and Tc-99m), none is reported
// there: the real edge is no sharp step. (Bi-212's 727 keV in a short Th-228 spectrum, found by the
// held width, is not asked for here: whether that fit holds depends on how the build orders its
// floating-point work; the release build finds it, the address sanitizer's build does not.)
TEST(RealisticLines, StrongLinesOnBackscatterAndComptonContinuum) {
    struct {
        std::vector<realistic::item> sources;
        double seconds;
        uint64_t seed;
        std::vector<double> kev;
        bool described = false;             // in a group whose model describes its counts (no Q)
        double none_from = 0, none_to = 0;  // keV: no line there
    } cases[] = {{{{"Cs-137", 2.5}}, 3600, 51, {238.6, 351.9, 911.2}},
                 {{{"Eu-152", 3}}, 1200, 18, {428.8}},
                 {{{"Ba-133", 1}, {"Cs-137", 1}}, 600, 50, {295.0}},
                 {{{"I-131", 3}}, 1200, 42, {238.6}},
                 {{{"Cs-137", 0.4}}, 1200, 3, {}, false, 380, 430},
                 {{{"Tc-99m", 0.4}}, 1200, 47, {140.5}, true, 380, 430},
                 {{{"Cs-137", 1}, {"Be-7", 1}}, 1200, 6, {477.6, 661.7}}};
    for (const auto& c : cases) {
        std::vector<realistic::item> items = {{"background", 0}};
        items.insert(items.end(), c.sources.begin(), c.sources.end());
        auto s = realistic::build(items, c.seconds);
        spc_analysis a =
            spc_analyse(realistic::counts(s, c.seed), {}, linear(0, realistic::KEV_PER_CH));
        for (double kev : c.kev) {
            double ch = kev / realistic::KEV_PER_CH;
            double fwhm = FWHM_PER_SIGMA * realistic::sigma_kev(kev) / realistic::KEV_PER_CH;
            const spc_peak* hit = nullptr;
            int hits = 0;  // one line, one peak
            for (const auto& p : a.peaks)
                if (spc_is_line(p) && std::abs(p.centroid - ch) < 0.5 * fwhm) hit = &p, ++hits;
            ASSERT_NE(hit, nullptr) << kev << " keV (channel " << ch << ") not found";
            EXPECT_EQ(hits, 1) << kev << " keV";
            EXPECT_LT(hit->fwhm, 1.5 * fwhm) << kev << " keV";
            EXPECT_GT(hit->area, 3 * hit->area_err) << kev << " keV";
            EXPECT_TRUE(!c.described || !(hit->flags & SPC_FLAG_QUALITY)) << kev << " keV";
        }
        for (const auto& p : a.peaks) {
            double kev = p.centroid * realistic::KEV_PER_CH;
            EXPECT_FALSE(spc_is_line(p) && kev > c.none_from && kev < c.none_to) << kev << " keV";
        }
    }
}

// The whole analysis, every number of it, of spectra that reach each stage of the search: a line on
// a Compton edge's foot (I-131, Nb-95), blends split where no width model judges (Ba-133, Th-228,
// Cr-51), a wide peak split (Eu-152, Tc-99m at 300 s), a line fitted alone with its width held
// (Eu-152, backgrounds), the residual's pass kept or not (Tc-99m, Ba-133 with Cs-137, K-40 at
// 1200 s: a bump of its over a line it kept; Cs-137 with Co-60: a lost line given back on the
// chi-square per degree of freedom; Ba-133 at 1200 s, seed 2014: a strong one given back in any
// case), a width model without the bump wider than a line above it (Na-22 at 300 s), a bump far
// wider than a strong line above it flagged B where no width model judges (Tc-99m at 1200 s,
// seed 46; Eu-152's lead X-rays at 300 s, seed 16, twice as wide as its 122 keV line), Compton
// edges' tops flagged B (Mn-54 at 1200 s; Cs-137 and Co-60 just below their lines' edges; Th-228's
// at 300 s, with twice its line's counts), a Compton edge dropped (Cs-137 at 1 h, a minute of
// background), a fit that fails, a wide peak between two lines of one nuclide (Sn-113 at 600 s,
// seed 3063: not U-235's 163 and 186 keV both); then short spectra, a line at either end, a chain
// longer than one fit takes, a line measured without a fit. Stored in data/realistic_analyses.txt:
// any change of what the search reports shows here, and is looked at before it is stored anew. The
// figures above judge the search; this holds it where they do not look. Only the release build on
// Linux with the compiler and GSL that stored it (its first line): another one's rounding may take
// a fit down another path.
TEST(RealisticLines, StoredAnalyses) {
#if defined(_WIN32) || !defined(__OPTIMIZE__) || defined(__SANITIZE_ADDRESS__) || \
    defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "stored from the release build on Linux";
#endif
    std::string text = "compiler " __VERSION__ ", GSL " GSL_VERSION "\n";
    const std::string stored =
        e2e::read_file(std::string(NV_SOURCE_DIR) + "/tests/unit_spc/data/realistic_analyses.txt");
    if (!std::getenv("NV_UPDATE_EXPECTED") && stored.rfind(text, 0) != 0)
        GTEST_SKIP() << "stored " << stored.substr(0, stored.find('\n')) << ", this is " << text;
    char buf[512];
    auto print = [&](const spc_analysis& a) {
        const spc_width_model& w = a.width;
        std::snprintf(buf, sizeof buf, "threshold %d, width %d peaks %.5g %.5g %.5g from %.5g\n",
                      a.threshold, w.peaks, w.a, w.b, w.c, w.reference);
        text += buf;
        for (const auto& g : a.groups) {
            std::snprintf(buf, sizeof buf,
                          "  group %d-%d %s %.5g %.5g %.5g step %.4g edge %.5g %.5g %.5g %.5g "
                          "chi2 %.5g/%d\n",
                          g.lo, g.hi, spc_continuum_name(g.kind), g.c[0], g.c[1], g.c[2], g.step,
                          g.edge[0], g.edge[1], g.edge[2], g.edge[3], g.chisq, g.dof);
            text += buf;
        }
        for (const auto& p : a.peaks) {
            std::snprintf(buf, sizeof buf,
                          "  peak %.5g +- %.4g fwhm %.5g +- %.4g area %.6g +- %.5g under %.5g "
                          "group %d %s%s%s\n",
                          p.centroid, p.centroid_err, p.fwhm, p.fwhm_err, p.area, p.area_err,
                          p.continuum, p.group, spc_flag_letters(p.flags).c_str(),
                          p.reference ? " reference" : "", p.recovered ? " alone" : "");
            text += buf;
        }
    };
    const std::vector<scenario> all = scenarios();
    // Seeds as the targets' runs give them: run * 1000 + row.
    for (uint64_t seed : {2,  6,  14, 16, 18, 20, 22, 34, 42,   44,   46,   47,
                          48, 50, 51, 55, 56, 59, 61, 68, 2014, 2030, 2036, 3063}) {
        size_t row = seed % 1000;
        const scenario& c = all[row];
        auto counts = realistic::counts(realistic::build(c.items, c.seconds), seed);
        spc_calib calib = linear(0, realistic::KEV_PER_CH);
        spc_analysis a = spc_analyse(counts, {}, calib);
        text +=
            std::to_string(static_cast<int>(c.seconds)) + " s, seed " + std::to_string(seed) + ":";
        for (const auto& i : c.items) text += " " + i.name;
        text += ", ";
        print(a);
        spc_identification id = spc_identify(a, counts, calib);
        text += "  named:";
        for (const auto& n : id.nuclides)
            text += " " + n.nuclide + " (" + spc_confidence_name(n.confidence) + ", " +
                    std::to_string(n.lines) + " of " + std::to_string(n.expected) + ")";
        text += "; not explained " + std::to_string(id.unexplained.size()) + "\n";
    }
    // Short spectra, lines at both ends, a chain of 24 lines, a line no fit may measure.
    spc_peak_options none;
    none.fit_work_per_channel = 0;
    struct {
        const char* what;
        scene s;
        const spc_peak_options* opt;
    } scenes[] = {
        {"16 channels", {16, 0, 100, 20, 0, 0, 0, 1, {{8, 1.5, 1e5}}}, nullptr},
        {"64 channels", {64, 0, 100, 20, 0, 0, 0, 1, {{2, 1.5, 2e4}, {61, 1.5, 2e4}}}, nullptr},
        {"a chain", {1024, 0, 100, 50, 0, 0, 0, 1, {}}, nullptr},
        {"no fit", {1024, 0, 100, 400, -0.3, 0, 0, 1, {{500, 4, 40000}}}, &none}};
    for (int k = 0; k < 24; ++k) scenes[2].s.lines.push_back({150 + 14.0 * k, 3, 20000});
    for (const auto& c : scenes) {
        text += std::string(c.what) + ": ";
        print(c.opt ? spc_analyse(poisson(c.s, 3), *c.opt) : spc_analyse(poisson(c.s, 3)));
    }
    expect_stored("realistic_analyses.txt", text);
}
