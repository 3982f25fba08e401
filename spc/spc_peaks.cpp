#include "spc_peaks.h"

#include "spc_calib.h"

#include <gsl/gsl_blas.h>
#include <gsl/gsl_errno.h>
#include <gsl/gsl_multifit_nlinear.h>

#include <algorithm>
#include <cmath>
#include <map>

namespace {

constexpr double SQRT_2PI = 2.5066282746310002;
constexpr double SQRT_2 = 1.4142135623730951;
constexpr int MAX_PASSES = 2;
// A longer chain of lines that reach each other is fitted in pieces.
constexpr size_t MAX_GROUP_PEAKS = 12;
// Kernel widths in bins of each level, four per octave; the first level also has the ones below
// a channel (germanium lines at a few thousand channels).
constexpr double FINE_SCALES[] = {0.6, 0.75, 0.9};
constexpr double OCTAVE_SCALES[] = {1.07, 1.27, 1.5, 1.8};
// The widest line (sigma) a spectrum can hold, as a part of its channels: a scintillator's
// line at the top of its range is about a sixtieth wide. Wider bumps are the continuum's.
constexpr int MAX_WIDTH_PART = 40;

// ---- search ------------------------------------------------------------------------------------

struct candidate {
    double channel;
    double sigma;  // measured from its response: the fit's first guess and window
    double z;
    double scale;     // the kernel's width in channels
    double area = 0;  // a peak already fitted: its area (0: a fresh candidate)
};

// The negative second derivative of a Gaussian of width `s`, integrated over each bin, with its
// small remaining area removed: a constant or a straight continuum gives no response.
std::vector<double> kernel(double s) {
    int m = static_cast<int>(std::ceil(3.5 * s + 0.5));
    auto slope = [s](double x) { return -x / (s * s) * std::exp(-0.5 * x * x / (s * s)); };
    std::vector<double> c(2 * m + 1);
    double sum = 0;
    for (int j = -m; j <= m; ++j) sum += c[j + m] = slope(j - 0.5) - slope(j + 0.5);
    for (double& v : c) v -= sum / (2 * m + 1);
    return c;
}

// Where the response `r` falls to zero walking from `i` in direction `dir` (fractional index);
// `edge` set when the spectrum ended first. The walk reads through at(): a bound got wrong
// here throws rather than reading what lies beyond the response.
double crossing(const std::vector<double>& r, int i, int dir, bool* edge) {
    int n = static_cast<int>(r.size()), k = i;
    while (k + dir >= 0 && k + dir < n && r.at(k + dir) > 0) k += dir;
    *edge = k + dir < 0 || k + dir >= n;
    if (*edge) return k;
    return k + dir * r[k] / (r[k] - r.at(k + dir));
}

// Candidates in `y`, the spectrum summed into bins of `bin` channels; `var` holds the counts
// whose Poisson noise `y` carries (the same, except in a residual).
void search_level(const std::vector<double>& y, const std::vector<double>& var, int bin,
                  double threshold, std::vector<candidate>* out) {
    int n = static_cast<int>(y.size());
    std::vector<double> scales(std::begin(OCTAVE_SCALES), std::end(OCTAVE_SCALES));
    if (bin == 1) scales.insert(scales.begin(), std::begin(FINE_SCALES), std::end(FINE_SCALES));
    int pad = static_cast<int>(std::ceil(3.5 * scales.back() + 0.5)) + 1;
    if (n < 8) return;
    // Beyond the ends the spectrum continues as its point reflection about the second bin from
    // each end, at the mean of the three end bins (a straight continuum stays straight, so the
    // ends give no response), and its noise as the mirror image.
    std::vector<double> py(n + 2 * pad), pv(n + 2 * pad), sum(n + 2 * pad + 1, 0.0);
    double first = (y[0] + y[1] + y[2]) / 3, last = (y[n - 1] + y[n - 2] + y[n - 3]) / 3;
    for (int i = 0; i < n + 2 * pad; ++i) {
        int k = i - pad;
        int j = std::clamp(k < 0 ? 2 - k : k >= n ? 2 * (n - 2) - k : k, 0, n - 1);
        int m = std::clamp(k < 0 ? -k : k >= n ? 2 * (n - 1) - k : k, 0, n - 1);
        py[i] = k < 0 ? 2 * first - y[j] : k >= n ? 2 * last - y[j] : y[j];
        pv[i] = std::abs(var[m]);
        sum[i + 1] = sum[i] + pv[i];
    }
    std::vector<double> r(n), z(n);
    for (double s : scales) {
        std::vector<double> c = kernel(s);
        int m = static_cast<int>(c.size() / 2);
        double c2 = 0;
        for (double v : c) c2 += v * v;
        for (int i = 0; i < n; ++i) {
            const double* at = &py[i + pad - m];
            double resp = 0;
            for (int j = 0; j <= 2 * m; ++j) resp += c[j] * at[j];
            // The window's mean stands for every bin's variance: unlike the counts themselves it
            // does not follow the fluctuation being tested.
            double mean = std::max((sum[i + pad + m + 1] - sum[i + pad - m]), 1.0) / (2 * m + 1);
            r[i] = resp;
            z[i] = resp / std::sqrt(c2 * mean);
        }
        int from = bin == 1 ? 2 : 1;
        for (int i = from; i < n - from; ++i) {
            if (!(z[i] >= threshold && z[i] > z[i - 1] && z[i] >= z[i + 1])) continue;
            double den = r[i - 1] - 2 * r[i] + r[i + 1];
            double shift = den < 0 ? std::clamp(0.5 * (r[i - 1] - r[i + 1]) / den, -0.5, 0.5) : 0;
            // A line of width w filtered at width s crosses zero at +-sqrt(w^2 + s^2), each
            // integration over a bin adding 1/12.
            bool left_edge, right_edge;
            double hl = i - crossing(r, i, -1, &left_edge);
            double hr = crossing(r, i, 1, &right_edge) - i;
            double h = left_edge ? hr : right_edge ? hl : 0.5 * (hl + hr);
            double w2 = h * h - s * s - 1.0 / 6;
            double sigma = bin * std::sqrt(std::max(w2, 0.09));
            out->push_back({(i + 0.5 + shift) * bin - 0.5, sigma, z[i], s * bin});
        }
    }
}

// Candidates of every width: the spectrum and its sums into 2, 4, 8... channels, up to
// kernels a sixteenth of the spectrum wide.
std::vector<candidate> search(const std::vector<double>& y, const std::vector<double>& var,
                              double threshold) {
    std::vector<candidate> all;
    std::vector<double> a = y, v = var;
    int n = static_cast<int>(y.size());
    for (int bin = 1; OCTAVE_SCALES[0] * bin <= std::max(1, n / MAX_WIDTH_PART); bin *= 2) {
        search_level(a, v, bin, threshold, &all);
        std::vector<double> a2(a.size() / 2), v2(a.size() / 2);
        for (size_t i = 0; i < a2.size(); ++i) {
            a2[i] = a[2 * i] + a[2 * i + 1];
            v2[i] = v[2 * i] + v[2 * i + 1];
        }
        a.swap(a2);
        v.swap(v2);
    }
    return all;
}

// One candidate per line: the narrowest kernel that finds a line places it and measures its
// width best (a wide kernel's zero crossings tell a narrow line's width poorly), so candidates
// are taken from the narrowest kernel up, the most significant first within one width. A later
// one closer to a kept one than the kept one's width, or than its own kernel's width, marks the
// same line; a doublet that narrow kernels resolve thus stays two lines. Candidates already
// `taken` count as kept. Sorting and ordered look-ups only: O(k log k).
std::vector<candidate> select(std::vector<candidate> all, const std::vector<candidate>& taken) {
    std::sort(all.begin(), all.end(), [](const candidate& a, const candidate& b) {
        return a.scale != b.scale ? a.scale < b.scale : a.z > b.z;
    });
    std::multimap<double, candidate> kept;
    double widest = 0;
    for (const auto& t : taken) {
        kept.emplace(t.channel, t);
        widest = std::max(widest, t.sigma);
    }
    std::vector<candidate> fresh;
    for (const auto& c : all) {
        bool dup = false;
        double reach = std::max(widest, c.scale);
        for (auto it = kept.lower_bound(c.channel - reach);
             it != kept.end() && it->first <= c.channel + reach && !dup; ++it)
            dup = std::abs(it->first - c.channel) < std::max(c.scale, it->second.sigma);
        if (dup) continue;
        kept.emplace(c.channel, c);
        widest = std::max(widest, c.sigma);
        fresh.push_back(c);
    }
    return fresh;
}

// ---- fit ---------------------------------------------------------------------------------------

struct fit_peak {
    double area, mu, sigma;
    double area_err = 0, mu_err = 0, sigma_err = 0;
    double area_sys = 0;  // what the choice of continuum leaves open (reported, not tested)
};

// Phi(b) - Phi(a) for a < b, without cancellation in either tail.
double cdf_diff(double a, double b) {
    if (a > 0) return 0.5 * (std::erfc(a / SQRT_2) - std::erfc(b / SQRT_2));
    return 0.5 * (std::erfc(-b / SQRT_2) - std::erfc(-a / SQRT_2));
}

struct fit_setup {
    std::vector<double> y;  // counts summed into bins of `bin` channels from `lo` on
    int lo, bin;
    double xc, half;
    spc_continuum_kind kind;
    size_t ncont, peaks;
    bool step;  // a smoothed falling step after the peaks: height, place, width
};

size_t continuum_params(spc_continuum_kind k) {
    return k == spc_continuum_kind::quadratic ? 3 : 2;
}

// The model in every bin (bin k holds the channels lo + k bin ... lo + (k + 1) bin - 1) into
// `v`, and its derivatives into `J` when `J` is given. The continuum is taken at the bin's
// centre, the peaks integrated over it: each Gaussian's distribution at every bin edge once.
// Widths enter as their absolute value, so the solver may cross zero without a domain error.
void model(const gsl_vector* p, const fit_setup& f, std::vector<double>* v, gsl_matrix* J) {
    auto P = [p](size_t i) { return gsl_vector_get(p, i); };
    auto D = [J](size_t k, size_t i, double x) {
        if (J) gsl_matrix_set(J, k, i, x);
    };
    size_t n = f.y.size();
    v->assign(n, 0.0);
    for (size_t k = 0; k < n; ++k) {
        double t = (f.lo + (k + 0.5) * f.bin - 0.5 - f.xc) / f.half;
        if (f.kind == spc_continuum_kind::exponential) {
            double e = f.bin * std::exp(std::clamp(P(0) + P(1) * t, -700.0, 700.0));
            (*v)[k] = e;
            D(k, 0, e);
            D(k, 1, t * e);
        } else {
            (*v)[k] = f.bin * (P(0) + P(1) * t + (f.ncont == 3 ? P(2) * t * t : 0));
            D(k, 0, f.bin);
            D(k, 1, f.bin * t);
            if (f.ncont == 3) D(k, 2, f.bin * t * t);
        }
    }
    for (size_t j = 0, i = f.ncont; j < f.peaks; ++j, i += 3) {
        double a = P(i), mu = P(i + 1), sp = P(i + 2), s = std::max(std::abs(sp), 1e-6);
        double sign = sp < 0 ? -1 : 1;
        // At each edge u: the tail beyond |u| and the density.
        auto edge = [&](size_t k, double* u, double* tail, double* dens) {
            *u = (f.lo + static_cast<double>(k) * f.bin - 0.5 - mu) / s;
            *tail = 0.5 * std::erfc(std::abs(*u) / SQRT_2);
            *dens = std::exp(-0.5 * *u * *u) / SQRT_2PI;
        };
        double ua, ta, fa, ub, tb, fb;
        edge(0, &ua, &ta, &fa);
        for (size_t k = 0; k < n; ++k, ua = ub, ta = tb, fa = fb) {
            edge(k + 1, &ub, &tb, &fb);
            // Phi(ub) - Phi(ua) from the tails, without cancellation in either.
            double d = ua > 0 ? ta - tb : ub <= 0 ? tb - ta : 1 - ta - tb;
            (*v)[k] += a * d;
            D(k, i, d);
            D(k, i + 1, a * (fa - fb) / s);
            D(k, i + 2, sign * a * (ua * fa - ub * fb) / s);
        }
    }
    if (f.step) {
        size_t i = f.ncont + 3 * f.peaks;
        double h = P(i), e = P(i + 1), wp = P(i + 2), w = std::max(std::abs(wp), 1e-6);
        for (size_t k = 0; k < n; ++k) {
            double u = (f.lo + (k + 0.5) * f.bin - 0.5 - e) / w;
            double g = std::exp(-0.5 * u * u) / SQRT_2PI, q = 0.5 * std::erfc(u / SQRT_2);
            (*v)[k] += f.bin * h * q;
            D(k, i, f.bin * q);
            D(k, i + 1, f.bin * h * g / w);
            D(k, i + 2, (wp < 0 ? -1 : 1) * f.bin * h * g * u / w);
        }
    }
}

int residual_cb(const gsl_vector* p, void* data, gsl_vector* out) {
    auto* f = static_cast<fit_setup*>(data);
    std::vector<double> v;
    model(p, *f, &v, nullptr);
    for (size_t k = 0; k < v.size(); ++k) gsl_vector_set(out, k, v[k] - f->y[k]);
    return GSL_SUCCESS;
}

int jacobian_cb(const gsl_vector* p, void* data, gsl_matrix* J) {
    auto* f = static_cast<fit_setup*>(data);
    std::vector<double> v;
    model(p, *f, &v, J);
    return GSL_SUCCESS;
}

struct group_fit {
    std::vector<fit_peak> peaks;
    spc_group g;
    bool ok = false;
    int params = 0;
    double score() const { return g.chisq + 2 * params; }
};

// One fit of `peaks` (and a step when `step`) on a continuum of `kind` over lo..hi, weighted by
// the Poisson variance: first of the counts, then twice of the model, which converges on the
// maximum of the Poisson likelihood (weighting by the counts alone biases an area low). Wide
// lines are fitted on the counts summed into bins of up to half the narrowest line's width: the
// model integrates over any bin, and the sums lose next to nothing of what the channels tell.
group_fit fit_group(const std::vector<double>& y, int lo, int hi, std::vector<fit_peak> peaks,
                    spc_continuum_kind kind, bool step = false) {
    group_fit out;
    double narrowest = 1e300;
    for (const auto& pk : peaks) narrowest = std::min(narrowest, pk.sigma);
    if (step) narrowest = 0.1 * (hi - lo);
    // At most some 300 bins: a window that long around a wide line holds a narrow peak only
    // as noise, which the pruning drops.
    int bin = std::clamp(static_cast<int>(narrowest / 2), std::max(1, (hi - lo + 1) / 300),
                         std::max(1, (hi - lo + 1) / 24));
    size_t n = (hi - lo + 1) / bin, nc = continuum_params(kind);
    hi = lo + static_cast<int>(n) * bin - 1;
    size_t p = nc + 3 * peaks.size() + (step ? 3 : 0);
    if (n < p + 3) return out;
    fit_setup f{std::vector<double>(n, 0.0),
                lo,
                bin,
                0.5 * (lo + hi),
                std::max(1.0, 0.5 * (hi - lo)),
                kind,
                nc,
                peaks.size(),
                step};
    for (int x = lo; x <= hi; ++x) f.y[(x - lo) / bin] += y[x];
    auto avg = [&](int from, int to) {
        double s = 0;
        for (int i = from; i <= to; ++i) s += y[i];
        return s / (to - from + 1);
    };
    int edge = std::max(2, (hi - lo + 1) / 8);
    double left = avg(lo, lo + edge - 1), right = avg(hi - edge + 1, hi);
    gsl_vector* x = gsl_vector_calloc(p);
    if (kind == spc_continuum_kind::exponential) {
        double l = std::log(std::max(left, 0.3)), r = std::log(std::max(right, 0.3));
        gsl_vector_set(x, 0, 0.5 * (l + r));
        gsl_vector_set(x, 1, 0.5 * (r - l));
    } else {
        gsl_vector_set(x, 0, 0.5 * (left + right));
        gsl_vector_set(x, 1, 0.5 * (right - left));
    }
    for (size_t k = 0; k < peaks.size(); ++k) {
        int c = std::clamp(static_cast<int>(std::lround(peaks[k].mu)), lo, hi);
        double base = left + (right - left) * (c - lo) / std::max(1, hi - lo);
        double height = std::max(1.0, y[c] - base);
        double a = peaks[k].area > 0 ? peaks[k].area : height * peaks[k].sigma * SQRT_2PI;
        gsl_vector_set(x, nc + 3 * k, a);
        gsl_vector_set(x, nc + 3 * k + 1, peaks[k].mu);
        gsl_vector_set(x, nc + 3 * k + 2, peaks[k].sigma);
    }
    if (step) {
        size_t i = nc + 3 * peaks.size();
        gsl_vector_set(x, i, std::max(1.0, left - right));
        gsl_vector_set(x, i + 1, 0.5 * (lo + hi));
        gsl_vector_set(x, i + 2, std::max(1.0, 0.1 * (hi - lo)));
        gsl_vector_set(x, 0, std::max(0.0, right));
        if (kind == spc_continuum_kind::exponential) gsl_vector_set(x, 0, std::log(right + 0.3));
        gsl_vector_set(x, 1, 0);
    }
    gsl_vector* wts = gsl_vector_alloc(n);
    gsl_multifit_nlinear_fdf fdf{};
    fdf.f = residual_cb;
    fdf.df = jacobian_cb;
    fdf.n = n;
    fdf.p = p;
    fdf.params = &f;
    gsl_multifit_nlinear_parameters params = gsl_multifit_nlinear_default_parameters();
    params.solver = gsl_multifit_nlinear_solver_cholesky;
    gsl_multifit_nlinear_workspace* w =
        gsl_multifit_nlinear_alloc(gsl_multifit_nlinear_trust, &params, n, p);
    int status = GSL_SUCCESS;
    for (int round = 0; round < 3 && status == GSL_SUCCESS; ++round) {
        std::vector<double> m = f.y;
        if (round > 0) model(x, f, &m, nullptr);
        for (size_t i = 0; i < n; ++i)
            gsl_vector_set(wts, i, 1.0 / std::max(m[i], round == 0 ? 1.0 : 0.1));
        gsl_multifit_nlinear_winit(x, wts, &fdf, w);
        int info = 0;
        status = gsl_multifit_nlinear_driver(60, 1e-7, 1e-7, 0.0, nullptr, nullptr, &info, w);
        gsl_vector_memcpy(x, gsl_multifit_nlinear_position(w));
        // A fit that wanders (a peak whose area went to nothing) is taken as it stands: the
        // pruning judges it, and more rounds would only wander further.
        if (status == GSL_EMAXITER || status == GSL_ENOPROG) {
            status = GSL_SUCCESS;
            break;
        }
    }
    if (status == GSL_SUCCESS) {
        gsl_matrix* covar = gsl_matrix_alloc(p, p);
        gsl_multifit_nlinear_covar(gsl_multifit_nlinear_jac(w), 0.0, covar);
        double chisq;
        gsl_blas_ddot(gsl_multifit_nlinear_residual(w), gsl_multifit_nlinear_residual(w), &chisq);
        int dof = static_cast<int>(n - p);
        // A model that plainly does not describe the counts widens the uncertainties; a
        // chi-square within its own spread leaves them as counting gives them.
        double scale = chisq > dof + 3 * std::sqrt(2.0 * dof) ? chisq / dof : 1.0;
        auto err = [&](size_t i) { return std::sqrt(gsl_matrix_get(covar, i, i) * scale); };
        out.ok = std::isfinite(chisq);
        for (size_t k = 0, i = nc; k < peaks.size(); ++k, i += 3) {
            peaks[k] = {gsl_vector_get(x, i),
                        gsl_vector_get(x, i + 1),
                        std::abs(gsl_vector_get(x, i + 2)),
                        err(i),
                        err(i + 1),
                        err(i + 2)};
            out.ok = out.ok && std::isfinite(peaks[k].area_err) && std::isfinite(peaks[k].mu_err);
        }
        out.peaks = peaks;
        out.g.lo = lo;
        out.g.hi = hi;
        out.g.kind = kind;
        out.g.xc = f.xc;
        out.g.half = f.half;
        for (size_t i = 0; i < nc; ++i) out.g.c[i] = gsl_vector_get(x, i);
        out.g.chisq = chisq;
        out.g.dof = dof;
        out.g.peaks = static_cast<int>(peaks.size());
        out.params = static_cast<int>(p);
        gsl_matrix_free(covar);
    }
    gsl_multifit_nlinear_free(w);
    gsl_vector_free(wts);
    gsl_vector_free(x);
    return out;
}

constexpr spc_continuum_kind ALL_KINDS[] = {
    spc_continuum_kind::linear, spc_continuum_kind::quadratic, spc_continuum_kind::exponential};

// The fit with the continuum that describes the counts best for its number of parameters. Where
// another continuum describes them almost as well, the counts cannot tell the two apart: half
// the difference of their areas is reported with each area's uncertainty.
group_fit fit_best(const std::vector<double>& y, int lo, int hi, const std::vector<fit_peak>& peaks,
                   bool step = false) {
    group_fit best;
    std::vector<group_fit> all;
    for (auto kind : ALL_KINDS) {
        if (step && kind == spc_continuum_kind::quadratic) continue;
        all.push_back(fit_group(y, lo, hi, peaks, kind, step));
        const group_fit& f = all.back();
        if (f.ok && (!best.ok || f.score() < best.score())) best = f;
    }
    for (const auto& f : all) {
        if (!f.ok || f.score() > best.score() + 2 || f.peaks.size() != best.peaks.size()) continue;
        for (size_t k = 0; k < f.peaks.size(); ++k) {
            fit_peak& p = best.peaks[k];
            p.area_sys = std::max(p.area_sys, 0.5 * std::abs(f.peaks[k].area - p.area));
        }
    }
    return best;
}

// Whether peak `k` of `g` is not plausible: too small an area for its uncertainty, too narrow
// or too wide, outside its region, placed no better than its own width, or on top of another
// peak of the group. Its significance (area / uncertainty) in `sig`.
bool bad_peak(const group_fit& g, size_t k, const spc_peak_options& opt, int channels,
              double* sig) {
    const auto& p = g.peaks[k];
    *sig = p.area_err > 0 ? p.area / p.area_err : 0;
    bool dup = false;
    for (size_t j = 0; j < g.peaks.size(); ++j)
        dup = dup || (j != k &&
                      std::abs(p.mu - g.peaks[j].mu) < 0.8 * std::min(p.sigma, g.peaks[j].sigma));
    return !(*sig >= opt.area_sigma) || p.sigma < 0.25 || p.sigma > 0.5 * (g.g.hi - g.g.lo) ||
           p.sigma > std::max(2.0, static_cast<double>(channels) / MAX_WIDTH_PART) ||
           p.mu < g.g.lo || p.mu > g.g.hi || !(p.mu_err < p.sigma) || dup;
}

// The index of the weakest implausible peak of `g`, -1 when all are plausible; `count` gets how
// many are implausible.
int implausible(const group_fit& g, const spc_peak_options& opt, int channels,
                int* count = nullptr) {
    int worst = -1, n = 0;
    double worst_sig = 1e300, sig;
    for (size_t k = 0; k < g.peaks.size(); ++k) {
        if (!bad_peak(g, k, opt, channels, &sig)) continue;
        ++n;
        if (sig < worst_sig) worst = static_cast<int>(k), worst_sig = sig;
    }
    if (count) *count = n;
    return worst;
}

// Fits `group` over lo..hi and drops peaks until every one is plausible. Every refit starts from
// the remaining peaks' first guesses: a fit that ran off must not seed the next one.
group_fit prune(const std::vector<double>& y, int lo, int hi, const spc_peak_options& opt,
                std::vector<fit_peak>* group, bool all_kinds) {
    group_fit g;
    while (!group->empty()) {
        g = all_kinds ? fit_best(y, lo, hi, *group)
                      : fit_group(y, lo, hi, *group, spc_continuum_kind::linear);
        int count = 0, channels = static_cast<int>(y.size());
        int worst =
            g.ok ? implausible(g, opt, channels, &count) : static_cast<int>(group->size()) - 1;
        if (g.ok && count >= 3) {
            // Many implausible peaks in a group (a comb of single-channel spikes): all go at once
            // rather than one refit each, but the most significant of them, which the crowd may
            // have made implausible, gets the next fit.
            std::vector<fit_peak> keep;
            double sig, best_sig = -1;
            int best = -1;
            for (size_t k = 0; k < group->size(); ++k)
                if (bad_peak(g, k, opt, channels, &sig) && sig > best_sig)
                    best = static_cast<int>(k), best_sig = sig;
            for (size_t k = 0; k < group->size(); ++k)
                if (static_cast<int>(k) == best || !bad_peak(g, k, opt, channels, &sig))
                    keep.push_back((*group)[k]);
            *group = keep;
            continue;
        }
        if (!g.ok) {
            // No usable fit: the smallest first guess goes.
            worst = 0;
            for (size_t k = 1; k < group->size(); ++k)
                if ((*group)[k].area < (*group)[worst].area) worst = static_cast<int>(k);
        }
        if (worst < 0) break;
        group->erase(group->begin() + worst);
    }
    if (group->empty()) g = group_fit{};
    return g;
}

// ---- groups ------------------------------------------------------------------------------------

struct region {
    int lo, hi;
    std::vector<fit_peak> peaks;
};

// How far a line visibly reaches: until its Gaussian falls below the continuum's noise, 2.5 to 6
// widths. `level` is the continuum per channel there.
double reach(const fit_peak& p, double level) {
    double height = p.area / (p.sigma * SQRT_2PI);
    double noise = std::sqrt(std::max(level, 1.0));
    double u = height > noise ? std::sqrt(2 * std::log(height / noise)) : 0;
    return std::clamp(u, 2.5, 6.0) * p.sigma;
}

// Peaks (in channel order) in groups: a group ends where the two lines' reaches leave a few
// channels of continuum between them. Each group's channels are its lines' reaches and a margin
// of continuum on both sides, never into the next group's lines.
std::vector<region> make_groups(const std::vector<fit_peak>& peaks,
                                const std::vector<double>& level, int n) {
    std::vector<region> out;
    std::vector<double> from(peaks.size()), to(peaks.size());
    for (size_t k = 0; k < peaks.size(); ++k) {
        int at = std::clamp(static_cast<int>(std::lround(peaks[k].mu)), 0, n - 1);
        double r = reach(peaks[k], level[at]);
        from[k] = peaks[k].mu - r;
        to[k] = peaks[k].mu + r;
    }
    for (size_t k = 0; k < peaks.size();) {
        size_t last = k + 1;
        double end = to[k];
        while (last < peaks.size() && last - k < MAX_GROUP_PEAKS &&
               from[last] - end < std::max(3.0, 0.5 * peaks[last].sigma)) {
            end = std::max(end, to[last]);
            ++last;
        }
        region g;
        double lo = 1e300, hi = -1e300;
        for (size_t j = k; j < last; ++j) {
            double margin = std::max(3.0, 2 * peaks[j].sigma);
            lo = std::min(lo, from[j] - margin);
            hi = std::max(hi, to[j] + margin);
        }
        if (k > 0) lo = std::max(lo, to[k - 1] + 1);
        if (last < peaks.size()) hi = std::min(hi, from[last] - 1);
        g.lo = std::clamp(static_cast<int>(std::floor(lo)), 0, n - 1);
        g.hi = std::clamp(static_cast<int>(std::ceil(hi)), 0, n - 1);
        // Room for the parameters: a few more channels on both sides when the ends allow.
        int need = static_cast<int>(3 * (last - k) + 10);
        while (g.hi - g.lo + 1 < need && (g.lo > 0 || g.hi < n - 1)) {
            g.lo = std::max(0, g.lo - 1);
            g.hi = std::min(n - 1, g.hi + 1);
        }
        g.peaks.assign(peaks.begin() + k, peaks.begin() + last);
        out.push_back(g);
        k = last;
    }
    return out;
}

// ---- width model -------------------------------------------------------------------------------

double width_at(const spc_width_model& w, double x) {
    if (w.peaks == 0) return 0;
    return std::sqrt(std::max(w.a + w.b * x + w.c * x * x, 0.01));
}

// FWHM^2 = a + b x (+ c x^2 from four peaks on) by weighted least squares on the reference
// peaks, with one pass that drops those far from the first fit (a blend among them).
spc_width_model fit_width(const std::vector<spc_peak>& peaks) {
    spc_width_model w;
    std::vector<const spc_peak*> refs;
    for (const auto& p : peaks)
        if (p.reference) refs.push_back(&p);
    for (int pass = 0; pass < 2; ++pass) {
        int terms = refs.size() >= 4 ? 3 : refs.size() >= 2 ? 2 : 0;
        std::vector<double> x, y, wt;
        for (const auto* p : refs) {
            double f2 = p->fwhm * p->fwhm;
            x.push_back(p->centroid);
            y.push_back(f2);
            // The spread of the widths about the model: 5 % of FWHM^2 beside its own error.
            wt.push_back(1 / (std::pow(0.1 * f2, 2) + std::pow(2 * p->fwhm * p->fwhm_err, 2)));
        }
        double coef[3];
        if (terms == 0 || !spc_polyfit(x, y, wt, terms, coef)) return spc_width_model{};
        w = {static_cast<int>(refs.size()), coef[0], coef[1], coef[2]};
        std::vector<const spc_peak*> keep;
        for (const auto* p : refs)
            if (std::abs(p->fwhm / width_at(w, p->centroid) - 1) < 0.25) keep.push_back(p);
        if (keep.size() == refs.size()) break;
        refs = keep;
    }
    return w;
}

// ---- the whole fit -----------------------------------------------------------------------------

spc_peak to_peak(const fit_peak& p, const spc_group& g, int index) {
    spc_peak r;
    r.centroid = p.mu;
    r.centroid_err = p.mu_err;
    r.fwhm = p.sigma * SPC_FWHM_PER_SIGMA;
    r.fwhm_err = p.sigma_err * SPC_FWHM_PER_SIGMA;
    r.area = p.area;
    r.area_err = std::hypot(p.area_err, p.area_sys);
    for (int x = static_cast<int>(std::ceil(p.mu - r.fwhm));
         x <= static_cast<int>(std::floor(p.mu + r.fwhm)); ++x)
        r.continuum += spc_continuum_at(g, x);
    r.group = index;
    return r;
}

bool too_wide(const spc_width_model& w, const fit_peak& p, double factor) {
    return w.peaks > 0 && p.sigma * SPC_FWHM_PER_SIGMA > factor * width_at(w, p.mu);
}

// One more line in a group the model does not describe or whose peak is too wide for the
// spectrum's width model: a wide peak split in two, or a line where the residual is highest.
// The better trial is kept when it lowers the chi-square by more than 16 and stays plausible.
group_fit try_more(const std::vector<double>& y, const region& r, group_fit g,
                   const spc_width_model& w, const spc_peak_options& opt,
                   std::vector<fit_peak>* group) {
    for (int extra = 0; extra < 2 && !group->empty(); ++extra) {
        bool bad = g.g.chisq > g.g.dof + 4 * std::sqrt(2.0 * g.g.dof);
        int wide = -1;
        for (size_t k = 0; k < g.peaks.size(); ++k)
            if (too_wide(w, g.peaks[k], 1.3) &&
                (wide < 0 || g.peaks[k].sigma > g.peaks[wide].sigma))
                wide = static_cast<int>(k);
        if (!bad && wide < 0) break;
        if (group->size() >= MAX_GROUP_PEAKS) break;
        std::vector<std::vector<fit_peak>> trials;
        int split = wide >= 0 ? wide : g.peaks.size() == 1 ? 0 : -1;
        if (split >= 0) {
            fit_peak p = g.peaks[split];
            double s = w.peaks > 0 ? width_at(w, p.mu) / SPC_FWHM_PER_SIGMA : 0.6 * p.sigma;
            s = std::min(s, p.sigma);
            std::vector<fit_peak> t = g.peaks;
            t[split] = {0.5 * p.area, p.mu - 0.8 * p.sigma, s};
            t.push_back({0.5 * p.area, p.mu + 0.8 * p.sigma, s});
            trials.push_back(t);
        }
        // The residual, summed over the narrowest peak's width, where it is highest.
        double width = 1e300;
        for (const auto& p : g.peaks) width = std::min(width, p.sigma);
        int half = std::max(1, static_cast<int>(width));
        std::vector<double> res(r.hi - r.lo + 1);
        spc_group cont = g.g;
        for (int x = r.lo; x <= r.hi; ++x) {
            double m = spc_continuum_at(cont, x);
            for (const auto& p : g.peaks)
                m += p.area * cdf_diff((x - 0.5 - p.mu) / p.sigma, (x + 0.5 - p.mu) / p.sigma);
            res[x - r.lo] = y[x] - m;
        }
        std::vector<double> run(res.size() + 1, 0.0);  // running sums
        for (size_t k = 0; k < res.size(); ++k) run[k + 1] = run[k] + res[k];
        int best = -1;
        double best_sum = 0;
        for (int x = r.lo + half; x <= r.hi - half; ++x) {
            double sum = run[x + half - r.lo + 1] - run[x - half - r.lo];
            if (sum > best_sum) best = x, best_sum = sum;
        }
        if (best >= 0) {
            std::vector<fit_peak> t = g.peaks;
            t.push_back({best_sum, static_cast<double>(best), width});
            trials.push_back(t);
        }
        group_fit chosen;
        for (auto& t : trials) {
            std::sort(t.begin(), t.end(),
                      [](const fit_peak& a, const fit_peak& b) { return a.mu < b.mu; });
            group_fit f = fit_best(y, r.lo, r.hi, t);
            if (f.ok && implausible(f, opt, static_cast<int>(y.size())) < 0 &&
                g.g.chisq - f.g.chisq > 16 && (!chosen.ok || f.g.chisq < chosen.g.chisq)) {
                chosen = f;
            }
        }
        if (!chosen.ok) break;
        g = chosen;
        *group = chosen.peaks;
    }
    return g;
}

// Peaks that a smoothed step on a straight or exponential continuum describes at least as well
// are the edge of a continuum (a Compton edge), not lines.
bool is_edge(const std::vector<double>& y, const group_fit& g) {
    group_fit s = fit_best(y, g.g.lo, g.g.hi, {}, true);
    return s.ok && s.g.chisq <= g.g.chisq;
}

struct fitted {
    spc_analysis result;
    std::vector<double> peaks_model;  // the fitted peaks' counts per channel
};

fitted fit_all(const std::vector<double>& y, const std::vector<candidate>& cands,
               const spc_peak_options& opt) {
    int n = static_cast<int>(y.size());
    std::vector<fit_peak> start;
    for (const auto& c : cands) start.push_back({c.area, c.channel, c.sigma});
    std::sort(start.begin(), start.end(),
              [](const fit_peak& a, const fit_peak& b) { return a.mu < b.mu; });

    // First round: windows from the candidates' measured widths, a straight continuum (a
    // curved one can take up a wide line in a narrow window before the fit has found it); it
    // measures each line's width and area, from which the second round's groups are made.
    std::vector<double> level(n);
    std::vector<fit_peak> first;
    auto mean_of = [&](double from, double to) {
        int a = std::clamp(static_cast<int>(std::floor(from)), 0, n - 1);
        int b = std::clamp(static_cast<int>(std::ceil(to)), a, n - 1);
        double s = 0;
        for (int i = a; i <= b; ++i) s += y[i];
        return s / (b - a + 1);
    };
    for (auto& p : start) {
        if (p.area > 0) continue;
        double base = 0.5 * (mean_of(p.mu - 3.5 * p.sigma, p.mu - 2.5 * p.sigma) +
                             mean_of(p.mu + 2.5 * p.sigma, p.mu + 3.5 * p.sigma));
        double top = mean_of(p.mu - 0.3 * p.sigma, p.mu + 0.3 * p.sigma);
        // The mean over +-0.3 sigma of a Gaussian is 0.985 of its top.
        p.area = std::max(1.0, (top - base) / 0.985) * p.sigma * SQRT_2PI;
        int at = std::clamp(static_cast<int>(std::lround(p.mu)), 0, n - 1);
        level[at] = base;
    }
    for (auto& r : make_groups(start, level, n)) {
        std::vector<fit_peak> given = r.peaks;
        group_fit g = prune(y, r.lo, r.hi, opt, &r.peaks, false);
        // A lone candidate that the narrowest kernel finding it measured too narrow (the top of
        // a broad line) leaves its line no room in the window: again with the width the fit
        // found, or three times the first guess when the fit failed, until the width holds.
        for (int again = 0; again < 4 && given.size() == 1; ++again) {
            double grow = g.peaks.empty() ? 3 : g.peaks[0].sigma / given[0].sigma;
            if (grow < 1.25) break;
            given[0].sigma *= grow;
            given[0].area *= grow;
            r = make_groups(given, level, n)[0];
            g = prune(y, r.lo, r.hi, opt, &r.peaks, false);
            if (!g.peaks.empty()) given[0] = g.peaks[0];
        }
        for (const auto& p : g.peaks) first.push_back({p.area, p.mu, p.sigma});
        for (int x = r.lo; x <= r.hi && g.ok; ++x) level[x] = spc_continuum_at(g.g, x);
    }
    std::sort(first.begin(), first.end(),
              [](const fit_peak& a, const fit_peak& b) { return a.mu < b.mu; });

    // Second round: every continuum, the implausible dropped; then the width model from the
    // lone, well-measured peaks.
    std::vector<region> regions = make_groups(first, level, n);
    std::vector<group_fit> fits;
    for (auto& r : regions) fits.push_back(prune(y, r.lo, r.hi, opt, &r.peaks, true));
    // The width model's peaks: measured to a few per cent in a fit that describes its counts.
    auto reference = [](const group_fit& g, const fit_peak& p) {
        return g.ok && p.area >= 10 * p.area_err && p.sigma_err < 0.05 * p.sigma &&
               g.g.chisq < g.g.dof + 4 * std::sqrt(2.0 * g.g.dof);
    };
    std::vector<spc_peak> refs;
    for (const auto& g : fits)
        for (const auto& p : g.peaks)
            if (reference(g, p)) {
                refs.push_back(to_peak(p, g.g, 0));
                refs.back().reference = true;
            }
    spc_width_model width = fit_width(refs);

    // Third: blends and hidden lines tried as one more line, edges dropped.
    fitted out;
    out.peaks_model.assign(n, 0.0);
    std::vector<spc_peak> all;
    for (size_t i = 0; i < regions.size(); ++i) {
        group_fit g = fits[i];
        if (!g.ok) continue;
        // A group the model does not describe may end on a line it missed: first more
        // channels on both sides (short of the neighbouring groups' lines), then one more line.
        if (g.g.chisq > g.g.dof + 4 * std::sqrt(2.0 * g.g.dof)) {
            double grow = 0;
            for (const auto& p : g.peaks) grow = std::max(grow, 3 * p.sigma);
            region wider = regions[i];
            wider.lo = std::max(0, static_cast<int>(wider.lo - grow));
            wider.hi = std::min(n - 1, static_cast<int>(wider.hi + grow));
            for (size_t j : {i - 1, i + 1}) {
                if (j >= regions.size() || fits[j].peaks.empty()) continue;
                const fit_peak& q = j < i ? fits[j].peaks.back() : fits[j].peaks.front();
                if (j < i) wider.lo = std::max(wider.lo, static_cast<int>(q.mu + 2.5 * q.sigma));
                if (j > i) wider.hi = std::min(wider.hi, static_cast<int>(q.mu - 2.5 * q.sigma));
            }
            group_fit w = fit_best(y, wider.lo, wider.hi, g.peaks);
            if (w.ok && (wider.lo < regions[i].lo || wider.hi > regions[i].hi) &&
                implausible(w, opt, n) < 0) {
                regions[i] = wider;
                g = w;
            }
        }
        g = try_more(y, regions[i], g, width, opt, &regions[i].peaks);
        bool unconfirmed = true;
        for (const auto& p : g.peaks)
            unconfirmed = unconfirmed && (width.peaks == 0 || too_wide(width, p, 1.5));
        if (unconfirmed && is_edge(y, g)) continue;
        int index = static_cast<int>(out.result.groups.size());
        out.result.groups.push_back(g.g);
        for (const auto& p : g.peaks) {
            all.push_back(to_peak(p, g.g, index));
            all.back().reference = reference(g, p);
            for (int x = g.g.lo; x <= g.g.hi; ++x)
                out.peaks_model[x] += spc_peak_counts(all.back(), x);
        }
    }
    out.result.width = fit_width(all);
    for (auto& p : all) {
        double m = width_at(out.result.width, p.centroid);
        p.width_flag = m > 0 && std::abs(p.fwhm - m) > 3 * std::hypot(p.fwhm_err, 0.1 * m);
    }
    std::sort(all.begin(), all.end(),
              [](const spc_peak& a, const spc_peak& b) { return a.centroid < b.centroid; });
    out.result.peaks = all;
    return out;
}

}  // namespace

double spc_continuum_at(const spc_group& g, double x) {
    double t = (x - g.xc) / g.half;
    if (g.kind == spc_continuum_kind::exponential)
        return std::exp(std::clamp(g.c[0] + g.c[1] * t, -700.0, 700.0));
    return g.c[0] + g.c[1] * t + g.c[2] * t * t;
}

double spc_peak_counts(const spc_peak& p, double x) {
    double s = p.fwhm / SPC_FWHM_PER_SIGMA;
    if (!(s > 0)) return 0;
    return p.area * cdf_diff((x - 0.5 - p.centroid) / s, (x + 0.5 - p.centroid) / s);
}

double spc_width_at(const spc_width_model& w, double x) {
    return width_at(w, x);
}

const char* spc_continuum_name(spc_continuum_kind k) {
    switch (k) {
        case spc_continuum_kind::linear:
            return "linear";
        case spc_continuum_kind::quadratic:
            return "quadratic";
        case spc_continuum_kind::exponential:
            return "exponential";
    }
    return "?";
}

spc_analysis spc_analyse(const std::vector<int32_t>& counts, const spc_peak_options& opt) {
    gsl_set_error_handler_off();  // a failed fit is a dropped peak, never an abort
    std::vector<double> y(counts.begin(), counts.end());
    std::vector<double> searched = y;
    // Each pass fits the peaks found so far, as they were measured, with the fresh candidates of
    // the residual: a candidate whose fit failed once may come back where the residual shows it.
    std::vector<candidate> peaks;
    spc_analysis result;
    for (int pass = 0; pass < MAX_PASSES; ++pass) {
        std::vector<candidate> fresh = select(search(searched, y, opt.search_sigma), peaks);
        if (fresh.empty()) break;
        fresh.insert(fresh.end(), peaks.begin(), peaks.end());
        fitted f = fit_all(y, fresh, opt);
        result = f.result;
        peaks.clear();
        for (const auto& p : result.peaks) {
            double s = p.fwhm / SPC_FWHM_PER_SIGMA;
            peaks.push_back({p.centroid, s, 1e300, s, p.area});
        }
        for (size_t i = 0; i < y.size(); ++i) searched[i] = y[i] - f.peaks_model[i];
    }
    return result;
}

std::vector<spc_peak> spc_find_peaks(const std::vector<int32_t>& counts,
                                     const spc_peak_options& opt) {
    return spc_analyse(counts, opt).peaks;
}
