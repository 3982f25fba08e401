#include "spc_peaks.h"

#include <gsl/gsl_blas.h>
#include <gsl/gsl_errno.h>
#include <gsl/gsl_multifit_nlinear.h>

#include <algorithm>
#include <cmath>

namespace {

constexpr double SQRT_2PI = 2.5066282746310002;
// Widths (sigma of the smoothing, channels) of the search kernels. A kernel answers best to a
// line about half its width, so these cover lines from about one channel to the broad lines at
// the top of a scintillator's range. The width that found a line is the fit's first guess of its
// sigma: on the wide side, which gives its fit region continuum enough on both sides.
constexpr double SCALES[] = {1.5, 2.1, 2.9, 4.1, 5.7, 8.0, 11.2, 15.7, 22.0};
constexpr int MAX_PASSES = 3;
// Bounds on the work a spectrum can ask for (a comb of hundreds of lines, a file of noise spikes):
// the strongest candidates only, and at most a few peaks in one fit (a longer chain of overlapping
// peaks is fitted in pieces).
constexpr size_t MAX_CANDIDATES = 256;
constexpr size_t MAX_GROUP_PEAKS = 8;

struct candidate {
    int channel;
    double sigma;  // kernel width that found it: the first guess of the line's sigma
    double z;
};

// Candidates of one kernel width over `y` (what is searched) with variance taken from `var`
// (the measured counts, which Poisson noise follows).
void search_scale(const std::vector<double>& y, const std::vector<double>& var, double s,
                  double threshold, std::vector<candidate>* out) {
    int n = static_cast<int>(y.size());
    int m = static_cast<int>(std::ceil(3.5 * s));
    if (2 * m + 1 > n) return;
    std::vector<double> c(2 * m + 1);
    double sum = 0;
    for (int j = -m; j <= m; ++j) {
        double u = j / s;
        c[j + m] = (1 - u * u) * std::exp(-0.5 * u * u);
        sum += c[j + m];
    }
    double c2 = 0;
    for (double& v : c) {
        v -= sum / (2 * m + 1);  // zero area: no response to a constant or a slope
        c2 += v * v;
    }
    std::vector<double> z(n, 0.0);
    double window = 0;  // sum of var over [i-m, i+m]
    for (int j = 0; j < 2 * m + 1; ++j) window += var[j];
    for (int i = m; i < n - m; ++i) {
        if (i > m) window += var[i + m] - var[i - m - 1];
        double resp = 0;
        for (int j = -m; j <= m; ++j) resp += c[j + m] * y[i + j];
        // The window's mean stands for every channel's variance: unlike the counts themselves it
        // does not follow the fluctuation being tested.
        double mean = std::max(window / (2 * m + 1), 1.0 / (2 * m + 1));
        z[i] = resp / std::sqrt(c2 * mean);
    }
    for (int i = m + 1; i < n - m - 1; ++i)
        if (z[i] >= threshold && z[i] > z[i - 1] && z[i] >= z[i + 1]) out->push_back({i, s, z[i]});
}

// Strongest first; a weaker candidate closer than the wider of the two kernels marks the same
// line.
std::vector<candidate> select(std::vector<candidate> all, const std::vector<candidate>& taken) {
    std::sort(all.begin(), all.end(),
              [](const candidate& a, const candidate& b) { return a.z > b.z; });
    std::vector<candidate> keep;
    auto near = [](const candidate& a, const candidate& b) {
        return std::abs(a.channel - b.channel) <= std::max(a.sigma, b.sigma);
    };
    for (const auto& c : all) {
        bool dup = std::any_of(keep.begin(), keep.end(), [&](auto& k) { return near(c, k); }) ||
                   std::any_of(taken.begin(), taken.end(), [&](auto& k) { return near(c, k); });
        if (!dup) keep.push_back(c);
    }
    return keep;
}

// ---- fit ---------------------------------------------------------------------------------------

struct fit_peak {
    double area, mu, sigma;
    double area_err = 0, mu_err = 0, sigma_err = 0;
    double z = 0;  // the candidate's significance in the search
};

struct group_data {
    const std::vector<double>* y;
    int lo, hi;  // channels lo..hi inclusive
    double xc;   // the continuum's slope is about this channel
    size_t peaks;
};

// Parameters: continuum level a, slope b, then area, centroid and sigma of each peak. The sigma
// enters as its absolute value, so the solver may cross zero without a domain error.
double model(const gsl_vector* p, double x, double xc, size_t peaks) {
    double v = gsl_vector_get(p, 0) + gsl_vector_get(p, 1) * (x - xc);
    for (size_t k = 0; k < peaks; ++k) {
        double a = gsl_vector_get(p, 2 + 3 * k), mu = gsl_vector_get(p, 3 + 3 * k);
        double s = std::abs(gsl_vector_get(p, 4 + 3 * k));
        double u = (x - mu) / s;
        v += a / (s * SQRT_2PI) * std::exp(-0.5 * u * u);
    }
    return v;
}

int residual(const gsl_vector* p, void* data, gsl_vector* f) {
    auto* g = static_cast<group_data*>(data);
    for (int x = g->lo; x <= g->hi; ++x)
        gsl_vector_set(f, x - g->lo, model(p, x, g->xc, g->peaks) - (*g->y)[x]);
    return GSL_SUCCESS;
}

int jacobian(const gsl_vector* p, void* data, gsl_matrix* J) {
    auto* g = static_cast<group_data*>(data);
    for (int x = g->lo; x <= g->hi; ++x) {
        size_t r = x - g->lo;
        gsl_matrix_set(J, r, 0, 1.0);
        gsl_matrix_set(J, r, 1, x - g->xc);
        for (size_t k = 0; k < g->peaks; ++k) {
            double a = gsl_vector_get(p, 2 + 3 * k), mu = gsl_vector_get(p, 3 + 3 * k);
            double sp = gsl_vector_get(p, 4 + 3 * k), s = std::abs(sp);
            double u = (x - mu) / s;
            double e = std::exp(-0.5 * u * u) / (s * SQRT_2PI);
            gsl_matrix_set(J, r, 2 + 3 * k, e);
            gsl_matrix_set(J, r, 3 + 3 * k, a * e * u / s);
            gsl_matrix_set(J, r, 4 + 3 * k, (sp < 0 ? -1 : 1) * a * e * (u * u - 1) / s);
        }
    }
    return GSL_SUCCESS;
}

struct group_fit {
    std::vector<fit_peak> peaks;
    double a = 0, b = 0, xc = 0;
    bool ok = false;
    double chisq = 0;  // of the final weights
    int dof = 0;
};

double gauss(const fit_peak& p, double x) {
    double u = (x - p.mu) / p.sigma;
    return p.area / (p.sigma * SQRT_2PI) * std::exp(-0.5 * u * u);
}

double group_model(const group_fit& g, double x) {
    double v = g.a + g.b * (x - g.xc);
    for (const auto& p : g.peaks) v += gauss(p, x);
    return v;
}

// One weighted least-squares fit of `peaks` over lo..hi. The weights are 1 / variance: first
// from the counts, then once more from the fitted model, which removes the bias that weighting
// by the counts themselves gives an area.
group_fit fit_group(const std::vector<double>& y, int lo, int hi, std::vector<fit_peak> peaks) {
    group_fit out;
    size_t n = hi - lo + 1, p = 2 + 3 * peaks.size();
    if (n <= p + 2) return out;
    group_data data{&y, lo, hi, 0.5 * (lo + hi), peaks.size()};
    gsl_vector* x = gsl_vector_alloc(p);
    gsl_vector* wts = gsl_vector_alloc(n);
    // Start: a straight line through the ends' averages, the peaks' areas from the counts above
    // it.
    auto avg = [&](int from, int to) {
        double s = 0;
        for (int i = from; i <= to; ++i) s += y[i];
        return s / (to - from + 1);
    };
    int edge = std::max(1, static_cast<int>(n) / 10);
    double left = avg(lo, lo + edge - 1), right = avg(hi - edge + 1, hi);
    gsl_vector_set(x, 0, 0.5 * (left + right));
    gsl_vector_set(x, 1, (right - left) / std::max(1, hi - lo));
    for (size_t k = 0; k < peaks.size(); ++k) {
        int c = static_cast<int>(std::lround(peaks[k].mu));
        double base = left + (right - left) * (c - lo) / std::max(1, hi - lo);
        double height = std::max(1.0, y[std::clamp(c, lo, hi)] - base);
        gsl_vector_set(x, 2 + 3 * k,
                       peaks[k].area > 0 ? peaks[k].area : height * peaks[k].sigma * SQRT_2PI);
        gsl_vector_set(x, 3 + 3 * k, peaks[k].mu);
        gsl_vector_set(x, 4 + 3 * k, peaks[k].sigma);
    }
    gsl_multifit_nlinear_fdf fdf{};
    fdf.f = residual;
    fdf.df = jacobian;
    fdf.n = n;
    fdf.p = p;
    fdf.params = &data;
    gsl_multifit_nlinear_parameters params = gsl_multifit_nlinear_default_parameters();
    gsl_multifit_nlinear_workspace* w =
        gsl_multifit_nlinear_alloc(gsl_multifit_nlinear_trust, &params, n, p);
    int status = GSL_SUCCESS;
    for (int round = 0; round < 2 && status == GSL_SUCCESS; ++round) {
        for (size_t i = 0; i < n; ++i) {
            double v = round == 0 ? y[lo + i]
                                  : model(x, lo + static_cast<double>(i), data.xc, peaks.size());
            gsl_vector_set(wts, i, 1.0 / std::max(v, 1.0));
        }
        gsl_multifit_nlinear_winit(x, wts, &fdf, w);
        int info = 0;
        status = gsl_multifit_nlinear_driver(100, 1e-8, 1e-8, 1e-8, nullptr, nullptr, &info, w);
        if (status == GSL_EMAXITER) status = GSL_SUCCESS;
        gsl_vector_memcpy(x, gsl_multifit_nlinear_position(w));
    }
    if (status == GSL_SUCCESS) {
        gsl_matrix* covar = gsl_matrix_alloc(p, p);
        gsl_multifit_nlinear_covar(gsl_multifit_nlinear_jac(w), 0.0, covar);
        double chisq;
        gsl_blas_ddot(gsl_multifit_nlinear_residual(w), gsl_multifit_nlinear_residual(w), &chisq);
        // A model that does not describe the data fully (a curved continuum) widens the errors.
        double scale = std::max(1.0, chisq / static_cast<double>(n - p));
        auto err = [&](size_t i) { return std::sqrt(gsl_matrix_get(covar, i, i) * scale); };
        for (size_t k = 0; k < peaks.size(); ++k) {
            peaks[k] = {gsl_vector_get(x, 2 + 3 * k),
                        gsl_vector_get(x, 3 + 3 * k),
                        std::abs(gsl_vector_get(x, 4 + 3 * k)),
                        err(2 + 3 * k),
                        err(3 + 3 * k),
                        err(4 + 3 * k),
                        peaks[k].z};
        }
        out = {peaks, gsl_vector_get(x, 0),   gsl_vector_get(x, 1), data.xc, true,
               chisq, static_cast<int>(n - p)};
        for (const auto& pk : peaks)
            out.ok = out.ok && std::isfinite(pk.area_err) && std::isfinite(pk.mu_err);
        gsl_matrix_free(covar);
    }
    gsl_multifit_nlinear_free(w);
    gsl_vector_free(wts);
    gsl_vector_free(x);
    return out;
}

// The channels a peak's fit needs: the peak and some continuum on both sides.
int reach(double sigma) {
    return static_cast<int>(std::ceil(3.0 * sigma)) + 4;
}

// The index of the weakest peak of `g` that is not plausible: too small an area for its
// uncertainty, too narrow or too wide, outside its region, placed no better than its own width,
// or on top of another peak of the group. -1 when all are plausible.
int implausible(const group_fit& g, int lo, int hi, const spc_peak_options& opt) {
    int worst = -1;
    double worst_sig = 1e300;
    for (size_t k = 0; k < g.peaks.size(); ++k) {
        const auto& p = g.peaks[k];
        double sig = p.area_err > 0 ? p.area / p.area_err : 0;
        bool dup = false;
        for (size_t j = 0; j < k; ++j)
            dup = dup || std::abs(p.mu - g.peaks[j].mu) < 0.8 * std::min(p.sigma, g.peaks[j].sigma);
        bool bad = !(sig >= opt.area_sigma) || p.sigma < 0.5 || p.sigma > 0.5 * (hi - lo) ||
                   p.mu < lo || p.mu > hi || !(p.mu_err < p.sigma) || dup;
        if (bad && sig < worst_sig) {
            worst = static_cast<int>(k);
            worst_sig = sig;
        }
    }
    return worst;
}

// Fits `group` over lo..hi and drops peaks until every one is plausible. Every refit starts
// from the candidates again: a fit that ran off must not seed the next one.
group_fit prune(const std::vector<double>& y, int lo, int hi, const spc_peak_options& opt,
                std::vector<fit_peak>* group) {
    group_fit g;
    while (!group->empty()) {
        g = fit_group(y, lo, hi, *group);
        int worst =
            g.ok ? implausible(g, lo, hi, opt)
                 // No usable fit: the least significant candidate goes.
                 : static_cast<int>(std::min_element(group->begin(), group->end(),
                                                     [](auto& a, auto& b) { return a.z < b.z; }) -
                                    group->begin());
        if (worst < 0) break;
        group->erase(group->begin() + worst);
    }
    return g;
}

// Fits `peaks` in groups of overlapping regions, drops the implausible, and returns the measured
// peaks (in channel order) together with the model of all of them for the residual.
std::vector<spc_peak> fit_all(const std::vector<double>& y, std::vector<fit_peak> peaks,
                              const spc_peak_options& opt, std::vector<double>* fitted) {
    int n = static_cast<int>(y.size());
    std::sort(peaks.begin(), peaks.end(),
              [](const fit_peak& a, const fit_peak& b) { return a.mu < b.mu; });
    std::vector<spc_peak> result;
    fitted->assign(n, 0.0);
    for (size_t first = 0; first < peaks.size();) {
        // The group: every following peak whose region overlaps the group's.
        int lo = std::max(0, static_cast<int>(peaks[first].mu) - reach(peaks[first].sigma));
        int hi = std::min(n - 1, static_cast<int>(peaks[first].mu) + reach(peaks[first].sigma));
        size_t last = first + 1;
        for (; last < peaks.size() && last - first < MAX_GROUP_PEAKS; ++last) {
            int plo = static_cast<int>(peaks[last].mu) - reach(peaks[last].sigma);
            if (plo > hi) break;
            hi = std::min(
                n - 1, std::max(hi, static_cast<int>(peaks[last].mu) + reach(peaks[last].sigma)));
        }
        std::vector<fit_peak> group(peaks.begin() + first, peaks.begin() + last);
        first = last;
        group_fit g = prune(y, lo, hi, opt, &group);
        // A group the model does not describe (chi-square 5 sigma above its degrees of freedom)
        // may hold a line that a stronger neighbour hid from the search: one more peak is tried
        // where the smoothed residual is highest, and kept when it lowers the chi-square by more
        // than 25 (5 sigma) and every peak stays plausible.
        for (int extra = 0; extra < 2 && !group.empty(); ++extra) {
            if (g.chisq - g.dof < 5 * std::sqrt(2.0 * g.dof)) break;
            double width = 1e300;
            for (const auto& p : g.peaks) width = std::min(width, p.sigma);
            int half = std::max(1, static_cast<int>(width));
            int best = -1;
            double best_sum = 0;
            for (int x = lo + half; x <= hi - half; ++x) {
                double sum = 0;
                for (int k = x - half; k <= x + half; ++k) sum += y[k] - group_model(g, k);
                if (sum > best_sum) best = x, best_sum = sum;
            }
            if (best < 0) break;
            std::vector<fit_peak> trial = group;
            trial.push_back({0, static_cast<double>(best), width, 0, 0, 0, 0});
            std::sort(trial.begin(), trial.end(),
                      [](const fit_peak& a, const fit_peak& b) { return a.mu < b.mu; });
            group_fit t = fit_group(y, lo, hi, trial);
            if (!t.ok || implausible(t, lo, hi, opt) >= 0 || g.chisq - t.chisq <= 25) break;
            group = trial;
            g = t;
        }
        if (group.empty()) continue;
        for (const auto& p : g.peaks) {
            spc_peak r;
            r.centroid = p.mu;
            r.centroid_err = p.mu_err;
            r.fwhm = p.sigma * SPC_FWHM_PER_SIGMA;
            r.fwhm_err = p.sigma_err * SPC_FWHM_PER_SIGMA;
            r.area = p.area;
            r.area_err = p.area_err;
            r.continuum = (g.a + g.b * (p.mu - g.xc)) * 2 * r.fwhm;
            result.push_back(r);
            for (int x = lo; x <= hi; ++x) (*fitted)[x] += gauss(p, x);
        }
    }
    return result;
}

}  // namespace

std::vector<spc_peak> spc_find_peaks(const std::vector<int32_t>& counts,
                                     const spc_peak_options& opt) {
    gsl_set_error_handler_off();  // a failed fit is a dropped peak, never an abort
    std::vector<double> y(counts.begin(), counts.end());
    std::vector<double> search = y;
    std::vector<candidate> found;
    std::vector<spc_peak> result;
    for (int pass = 0; pass < MAX_PASSES; ++pass) {
        std::vector<candidate> all;
        for (double s : SCALES) search_scale(search, y, s, opt.search_sigma, &all);
        std::vector<candidate> fresh = select(all, found);
        fresh.resize(std::min(fresh.size(), MAX_CANDIDATES - found.size()));
        if (fresh.empty()) break;
        found.insert(found.end(), fresh.begin(), fresh.end());
        std::vector<fit_peak> start;
        for (const auto& c : found)
            start.push_back({0, static_cast<double>(c.channel), c.sigma, 0, 0, 0, c.z});
        std::vector<double> fitted;
        result = fit_all(y, start, opt, &fitted);
        // The next pass looks at what the peaks found so far leave unexplained.
        for (size_t i = 0; i < y.size(); ++i) search[i] = y[i] - fitted[i];
    }
    return result;
}
