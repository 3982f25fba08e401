#include "spc_peaks.h"

#include "spc_calib.h"

#include <gsl/gsl_blas.h>
#include <gsl/gsl_errno.h>
#include <gsl/gsl_multifit_nlinear.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>

namespace {

constexpr double SQRT_2PI = 2.5066282746310002;
constexpr double SQRT_2 = 1.4142135623730951;
constexpr int MAX_PASSES = 2;
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

// How far the counts scatter beyond Poisson noise: the median of the squared difference of
// neighbouring channels over their sum, which is 0.455 for Poisson counts on any smooth
// continuum (lines hold too few channels to move a median). Counts scattered far more widely
// (a random spectrum, a sum of scaled spectra) would make noise significant everywhere: the
// filter's significance is divided by the root of it above 2.
double dispersion(const std::vector<double>& y) {
    std::vector<double> q;
    for (size_t i = 0; i + 1 < y.size(); ++i)
        if (y[i] + y[i + 1] > 0)
            q.push_back((y[i] - y[i + 1]) * (y[i] - y[i + 1]) / (y[i] + y[i + 1]));
    if (q.size() < 16) return 1;
    std::nth_element(q.begin(), q.begin() + q.size() / 2, q.end());
    double d = q[q.size() / 2] / 0.455;
    return d > 2 ? d : 1;
}

// Candidates of every width: the spectrum and its sums into 2, 4, 8... channels, up to
// kernels a fortieth of the spectrum wide (the channels themselves at any length).
std::vector<candidate> search(const std::vector<double>& y, const std::vector<double>& var,
                              double threshold) {
    std::vector<candidate> all;
    std::vector<double> a = y, v = var;
    int n = static_cast<int>(y.size());
    threshold *= std::sqrt(dispersion(var));
    for (int bin = 1; bin == 1 || OCTAVE_SCALES[0] * bin <= n / MAX_WIDTH_PART; bin *= 2) {
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
    // Kept candidates by channel: their place in `fresh`, or -1 for a taken one.
    std::multimap<double, std::pair<double, int>> kept;  // channel: sigma, index
    double widest = 0;
    for (const auto& t : taken) {
        kept.emplace(t.channel, std::make_pair(t.sigma, -1));
        widest = std::max(widest, t.sigma);
    }
    std::vector<candidate> fresh;
    for (const auto& c : all) {
        int dup = -2;
        double reach = std::max(widest, c.scale);
        for (auto it = kept.lower_bound(c.channel - reach);
             it != kept.end() && it->first <= c.channel + reach && dup == -2; ++it)
            if (std::abs(it->first - c.channel) < std::max(c.scale, it->second.first))
                dup = it->second.second;
        // The same line seen by a wider kernel: its significance is the line's, the largest.
        if (dup >= 0) fresh[dup].z = std::max(fresh[dup].z, c.z);
        if (dup != -2) continue;
        kept.emplace(c.channel, std::make_pair(c.sigma, static_cast<int>(fresh.size())));
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
    double mu_sys = 0;    // the same for the centroid
    double z = 0;         // the candidate's significance in the search (0: not a candidate)
    bool judged = false;  // dropped as implausible from a fit that held (not a failed fit)
};

// What the analysis of one spectrum shares: the counts, the thresholds, the fits' work so far.
struct context {
    const std::vector<double>& y;
    const spc_peak_options& opt;
    double work_left;  // channels times parameters the fits may still spend
    int threshold;     // the first channel above the threshold's cut (0: none)
    // Counts every fit takes as given, in the channels from known_lo on (empty: none): the lines
    // measured before beside the one a fit alone looks for.
    int known_lo = 0;
    std::vector<double> known;
    // Where a fit's Compton edge starts, its place and width (width 0: the window's middle), and
    // whether its width is held there.
    double edge_at = 0, edge_width = 0;
    bool edge_held = false, edge_ramp = false;
    // Whether the peaks of a fit share one width, widening as the root of their place.
    bool shared_width = false;
    int channels() const { return static_cast<int>(y.size()); }
    double known_at(int x) const {
        size_t k = static_cast<size_t>(x - known_lo);
        return x >= known_lo && k < known.size() ? known[k] : 0;
    }
};

// Phi(b) - Phi(a) for a < b, without cancellation in either tail.
double cdf_diff(double a, double b) {
    if (a > 0) return 0.5 * (std::erfc(a / SQRT_2) - std::erfc(b / SQRT_2));
    return 0.5 * (std::erfc(-b / SQRT_2) - std::erfc(-a / SQRT_2));
}

// What a fit models besides the peaks and their continuum.
enum class extra { none, step, edge };

struct fit_setup {
    std::vector<double> y;      // counts summed into bins of `bin` channels from `lo` on
    std::vector<double> known;  // counts the model holds as given, in the same bins
    int lo, bin;
    double xc, half;
    spc_continuum_kind kind;
    size_t ncont, peaks;
    // step: under each peak a smoothed step of one shared part of its height (the detector's
    // response: scatter before the crystal, charge lost at its edges); edge: instead of the
    // peaks, one smoothed falling step of its own height, place and width (a Compton edge).
    extra what;
    // The peaks' widths held at their first guess: the solver does not move them (a line too
    // close to a bump or a neighbour for the counts to tell its width).
    bool held = false;
    bool edge_held = false;  // the same for the edge's width
    bool ramp = false;       // the edge with a slope of its own below it
    // One width for all peaks, scaled by `ratio` from the first's (a scintillator's lines widen
    // as the root of their place): two halves of a blend cannot trade width for area.
    bool shared = false;
    std::vector<double> ratio = {};
};

size_t continuum_params(spc_continuum_kind k) {
    return k == spc_continuum_kind::quadratic ? 3 : 2;
}

size_t extra_params(extra e, bool ramp = false) {
    return e == extra::step ? 1 : e == extra::edge ? 3 + ramp : 0;
}

// The model in every bin (bin k holds the channels lo + k bin ... lo + (k + 1) bin - 1) into
// `v`, and its derivatives into `J` when `J` is given. The continuum and the steps are taken at
// the bin's centre, the peaks integrated over it: each Gaussian's distribution at every bin edge
// once. Widths enter as their absolute value, so the solver may cross zero without a domain error.
void model(const gsl_vector* p, const fit_setup& f, std::vector<double>* v, gsl_matrix* J) {
    auto P = [p](size_t i) { return gsl_vector_get(p, i); };
    auto D = [J](size_t k, size_t i, double x) {
        if (J) gsl_matrix_set(J, k, i, x);
    };
    size_t n = f.y.size();
    v->assign(f.known.begin(), f.known.end());
    for (size_t k = 0; k < n; ++k) {
        double t = (f.lo + (k + 0.5) * f.bin - 0.5 - f.xc) / f.half;
        if (f.kind == spc_continuum_kind::exponential) {
            double e = f.bin * std::exp(std::clamp(P(0) + P(1) * t, -700.0, 700.0));
            (*v)[k] += e;
            D(k, 0, e);
            D(k, 1, t * e);
        } else {
            (*v)[k] += f.bin * (P(0) + P(1) * t + (f.ncont == 3 ? P(2) * t * t : 0));
            D(k, 0, f.bin);
            D(k, 1, f.bin * t);
            if (f.ncont == 3) D(k, 2, f.bin * t * t);
        }
    }
    size_t rs = f.ncont + 3 * f.peaks;  // the step's part, when modelled
    double r = f.what == extra::step ? P(rs) : 0;
    if (J && f.what == extra::step)
        for (size_t k = 0; k < n; ++k) D(k, rs, 0.0);
    for (size_t j = 0, i = f.ncont; j < f.peaks; ++j, i += 3) {
        // A shared width: the first peak's parameter scaled by each peak's ratio, its
        // derivative gathered there (the peaks are taken in order, the first setting it).
        double ratio = f.shared ? f.ratio[j] : 1;
        size_t wc = f.shared ? f.ncont + 2 : i + 2;
        double a = P(i), mu = P(i + 1), sp = P(wc) * ratio, s = std::max(std::abs(sp), 1e-6);
        // A held width keeps a zero derivative, so the solver leaves it where it started.
        double sign = (f.held ? 0 : sp < 0 ? -1 : 1) * ratio;
        auto add = [&](size_t k, size_t col, double x) {
            if (J) gsl_matrix_set(J, k, col, gsl_matrix_get(J, k, col) + x);
        };
        // At each edge u: the tail beyond |u| and the density.
        auto edge = [&](size_t k, double* u, double* tail, double* dens) {
            *u = (f.lo + static_cast<double>(k) * f.bin - 0.5 - mu) / s;
            *tail = 0.5 * std::erfc(std::abs(*u) / SQRT_2);
            *dens = std::exp(-0.5 * *u * *u) / SQRT_2PI;
        };
        double ua, ta, fa, ub, tb, fb;
        edge(0, &ua, &ta, &fa);
        double height = a / (s * SQRT_2PI);
        for (size_t k = 0; k < n; ++k, ua = ub, ta = tb, fa = fb) {
            edge(k + 1, &ub, &tb, &fb);
            // Phi(ub) - Phi(ua) from the tails, without cancellation in either.
            double d = ua > 0 ? ta - tb : ub <= 0 ? tb - ta : 1 - ta - tb;
            (*v)[k] += a * d;
            D(k, i, d);
            D(k, i + 1, a * (fa - fb) / s);
            double dw = sign * a * (ua * fa - ub * fb) / s;
            if (wc == i + 2) {
                D(k, i + 2, dw);
            } else {
                D(k, i + 2, 0.0);
                add(k, wc, dw);
            }
            if (f.what != extra::step) continue;
            double u = (f.lo + (k + 0.5) * f.bin - 0.5 - mu) / s;
            double q = 0.5 * std::erfc(u / SQRT_2), g = std::exp(-0.5 * u * u) / SQRT_2PI;
            double st = f.bin * height * q;
            (*v)[k] += r * st;
            if (!J) continue;
            gsl_matrix_set(J, k, rs, gsl_matrix_get(J, k, rs) + st);
            gsl_matrix_set(J, k, i, gsl_matrix_get(J, k, i) + r * f.bin * q / (s * SQRT_2PI));
            gsl_matrix_set(J, k, i + 1, gsl_matrix_get(J, k, i + 1) + r * f.bin * height * g / s);
            add(k, wc, sign * r * f.bin * height * (u * g - q) / s);
        }
    }
    if (f.what == extra::edge) {
        size_t i = rs;
        double h = P(i), e = P(i + 1), wp = P(i + 2), w = std::max(std::abs(wp), 1e-6);
        for (size_t k = 0; k < n; ++k) {
            double u = (f.lo + (k + 0.5) * f.bin - 0.5 - e) / w;
            double g = std::exp(-0.5 * u * u) / SQRT_2PI, q = 0.5 * std::erfc(u / SQRT_2);
            // With a slope: a density h + m (x - e) up to the edge, through the resolution.
            double m = f.ramp ? P(i + 3) : 0, d = u * w;
            (*v)[k] += f.bin * ((h + m * d) * q - m * w * g);
            D(k, i, f.bin * q);
            D(k, i + 1, f.bin * (h * g / w - m * q));
            D(k, i + 2, f.edge_held ? 0 : (wp < 0 ? -1 : 1) * f.bin * (h * g * u / w - m * g));
            if (f.ramp) D(k, i + 3, f.bin * (d * q - w * g));
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

// GSL's objects, owned.
struct gsl_deleter {
    void operator()(gsl_vector* v) const { gsl_vector_free(v); }
    void operator()(gsl_matrix* m) const { gsl_matrix_free(m); }
    void operator()(gsl_multifit_nlinear_workspace* w) const { gsl_multifit_nlinear_free(w); }
};
using vector_ptr = std::unique_ptr<gsl_vector, gsl_deleter>;
using matrix_ptr = std::unique_ptr<gsl_matrix, gsl_deleter>;
using workspace_ptr = std::unique_ptr<gsl_multifit_nlinear_workspace, gsl_deleter>;

struct group_fit {
    std::vector<fit_peak> peaks;
    spc_group g;
    bool ok = false;
    int params = 0;
    double score() const { return g.chisq + 2 * params; }
};

// Stage 1, the setup: the window's counts in bins. Wide lines are fitted on the counts summed
// into bins of up to half the narrowest line's width: the model integrates over any bin, and
// the sums lose next to nothing of what the channels tell. At most some 300 bins: a window that
// long around a wide line holds a narrow peak only as noise, which the pruning drops.
fit_setup setup(const context& cx, int lo, int hi, const std::vector<fit_peak>& peaks,
                spc_continuum_kind kind, extra what) {
    const std::vector<double>& y = cx.y;
    double narrowest = 1e300;
    for (const auto& pk : peaks) narrowest = std::min(narrowest, pk.sigma);
    if (what == extra::edge) narrowest = std::min(narrowest, 0.1 * (hi - lo));
    int bin = std::clamp(static_cast<int>(narrowest / 2), std::max(1, (hi - lo + 1) / 300),
                         std::max(1, (hi - lo + 1) / 24));
    size_t n = (hi - lo + 1) / bin;
    hi = lo + static_cast<int>(n) * bin - 1;
    fit_setup f{std::vector<double>(n, 0.0),
                std::vector<double>(n, 0.0),
                lo,
                bin,
                0.5 * (lo + hi),
                std::max(1.0, 0.5 * (hi - lo)),
                kind,
                continuum_params(kind),
                peaks.size(),
                what};
    // Read through at(): a window got wrong throws rather than reading beyond the spectrum.
    for (int x = lo; x <= hi; ++x) {
        f.y[(x - lo) / bin] += y.at(x);
        f.known[(x - lo) / bin] += cx.known_at(x);
    }
    return f;
}

// Stage 2, the first guess: the continuum through the window's ends, each peak's area from its
// height above it (or as measured before).
vector_ptr guess(const context& cx, const fit_setup& f, const std::vector<fit_peak>& peaks) {
    int lo = f.lo, hi = f.lo + static_cast<int>(f.y.size()) * f.bin - 1;
    size_t nc = f.ncont;
    auto y = [&cx](int i) { return cx.y[i] - cx.known_at(i); };
    auto avg = [&](int from, int to) {
        double s = 0;
        for (int i = from; i <= to; ++i) s += y(i);
        return s / (to - from + 1);
    };
    int edge = std::max(2, (hi - lo + 1) / 8);
    double left = avg(lo, lo + edge - 1), right = avg(hi - edge + 1, hi);
    vector_ptr x(gsl_vector_calloc(nc + 3 * peaks.size() + extra_params(f.what, f.ramp)));
    if (f.kind == spc_continuum_kind::exponential) {
        double l = std::log(std::max(left, 0.3)), r = std::log(std::max(right, 0.3));
        gsl_vector_set(x.get(), 0, 0.5 * (l + r));
        gsl_vector_set(x.get(), 1, 0.5 * (r - l));
    } else {
        gsl_vector_set(x.get(), 0, 0.5 * (left + right));
        gsl_vector_set(x.get(), 1, 0.5 * (right - left));
    }
    for (size_t k = 0; k < peaks.size(); ++k) {
        int c = std::clamp(static_cast<int>(std::lround(peaks[k].mu)), lo, hi);
        double base = left + (right - left) * (c - lo) / std::max(1, hi - lo);
        double height = std::max(1.0, y(c) - base);
        double a = peaks[k].area > 0 ? peaks[k].area : height * peaks[k].sigma * SQRT_2PI;
        gsl_vector_set(x.get(), nc + 3 * k, a);
        gsl_vector_set(x.get(), nc + 3 * k + 1, peaks[k].mu);
        gsl_vector_set(x.get(), nc + 3 * k + 2, peaks[k].sigma);
    }
    size_t i = nc + 3 * peaks.size();
    if (f.what == extra::step) gsl_vector_set(x.get(), i, 0.01);
    if (f.what == extra::edge) {
        gsl_vector_set(x.get(), i, std::max(1.0, left - right));
        gsl_vector_set(x.get(), i + 1, cx.edge_width > 0 ? cx.edge_at : 0.5 * (lo + hi));
        gsl_vector_set(x.get(), i + 2,
                       cx.edge_width > 0 ? cx.edge_width : std::max(1.0, 0.1 * (hi - lo)));
        gsl_vector_set(x.get(), 0, std::max(0.0, right));
        if (f.kind == spc_continuum_kind::exponential)
            gsl_vector_set(x.get(), 0, std::log(right + 0.3));
        gsl_vector_set(x.get(), 1, 0);
    }
    return x;
}

// Stage 3, the solution: weighted by the Poisson variance, first of the counts, then twice of
// the model, which converges on the maximum of the Poisson likelihood (weighting by the counts
// alone biases an area low). The solver's work goes to the budget. Null when it failed.
workspace_ptr solve(fit_setup* f, gsl_vector* x, double* work) {
    size_t n = f->y.size(), p = x->size;
    vector_ptr wts(gsl_vector_alloc(n));
    gsl_multifit_nlinear_fdf fdf{};
    fdf.f = residual_cb;
    fdf.df = jacobian_cb;
    fdf.n = n;
    fdf.p = p;
    fdf.params = f;
    gsl_multifit_nlinear_parameters params = gsl_multifit_nlinear_default_parameters();
    params.solver = gsl_multifit_nlinear_solver_cholesky;
    workspace_ptr w(gsl_multifit_nlinear_alloc(gsl_multifit_nlinear_trust, &params, n, p));
    for (int round = 0; round < 3; ++round) {
        std::vector<double> m = f->y;
        if (round > 0) model(x, *f, &m, nullptr);
        for (size_t i = 0; i < n; ++i)
            gsl_vector_set(wts.get(), i, 1.0 / std::max(m[i], round == 0 ? 1.0 : 0.1));
        gsl_multifit_nlinear_winit(x, wts.get(), &fdf, w.get());
        int info = 0;
        int status =
            gsl_multifit_nlinear_driver(60, 1e-7, 1e-7, 0.0, nullptr, nullptr, &info, w.get());
        *work -= static_cast<double>(n * p) * (gsl_multifit_nlinear_niter(w.get()) + 1);
        gsl_vector_memcpy(x, gsl_multifit_nlinear_position(w.get()));
        // A fit that wanders (a peak whose area went to nothing) is taken as it stands: the
        // pruning judges it, and more rounds would only wander further.
        if (status == GSL_EMAXITER || status == GSL_ENOPROG) break;
        if (status != GSL_SUCCESS) return nullptr;
    }
    return w;
}

// Stage 4, the report: the parameters with their uncertainties from the covariance. A model
// that plainly does not describe the counts widens the uncertainties; a chi-square within its
// own spread leaves them as counting gives them.
group_fit report(const fit_setup& f, gsl_multifit_nlinear_workspace* w, const gsl_vector* x,
                 std::vector<fit_peak> peaks) {
    group_fit out;
    size_t n = f.y.size(), p = x->size, nc = f.ncont;
    matrix_ptr covar(gsl_matrix_alloc(p, p));
    gsl_multifit_nlinear_covar(gsl_multifit_nlinear_jac(w), 0.0, covar.get());
    double chisq;
    gsl_blas_ddot(gsl_multifit_nlinear_residual(w), gsl_multifit_nlinear_residual(w), &chisq);
    size_t free = p -
                  (f.held     ? peaks.size()
                   : f.shared ? peaks.size() - 1
                              : 0) -
                  (f.edge_held ? 1 : 0);
    int dof = static_cast<int>(n - free);
    double scale = chisq > dof + 3 * std::sqrt(2.0 * dof) ? chisq / dof : 1.0;
    auto err = [&](size_t i) { return std::sqrt(gsl_matrix_get(covar.get(), i, i) * scale); };
    out.ok = std::isfinite(chisq);
    for (size_t k = 0, i = nc; k < peaks.size(); ++k, i += 3) {
        double z = peaks[k].z;
        double ratio = f.shared ? f.ratio[k] : 1;
        size_t wc = f.shared ? nc + 2 : i + 2;
        peaks[k] = {gsl_vector_get(x, i),
                    gsl_vector_get(x, i + 1),
                    std::abs(gsl_vector_get(x, wc)) * ratio,
                    err(i),
                    err(i + 1),
                    err(wc) * ratio};
        peaks[k].z = z;
        if (f.held) peaks[k].sigma_err = 0;
        out.ok = out.ok && std::isfinite(peaks[k].area_err) && std::isfinite(peaks[k].mu_err);
    }
    out.peaks = peaks;
    out.g.lo = f.lo;
    out.g.hi = f.lo + static_cast<int>(n) * f.bin - 1;
    out.g.kind = f.kind;
    out.g.xc = f.xc;
    out.g.half = f.half;
    for (size_t i = 0; i < nc; ++i) out.g.c[i] = gsl_vector_get(x, i);
    if (f.what == extra::step) {
        out.g.step = gsl_vector_get(x, nc + 3 * peaks.size());
        // A step rising under the peaks is no scatter: not this model.
        out.ok = out.ok && out.g.step >= 0;
    }
    if (f.what == extra::edge) {
        size_t i = nc + 3 * peaks.size();
        out.g.edge[0] = gsl_vector_get(x, i);
        out.g.edge[1] = gsl_vector_get(x, i + 1);
        out.g.edge[2] = std::max(std::abs(gsl_vector_get(x, i + 2)), 1e-6);
        out.g.edge[3] = f.ramp ? gsl_vector_get(x, i + 3) : 0;
    }
    out.g.chisq = chisq;
    out.g.dof = dof;
    out.g.peaks = static_cast<int>(peaks.size());
    out.params = static_cast<int>(free);
    return out;
}

// One fit of `peaks` (and a step or an edge) on a continuum of `kind` over lo..hi. Nothing
// (not ok) when the window is too short for the parameters, the fits' budget is spent, or the
// solver fails.
group_fit fit_group(context& cx, int lo, int hi, const std::vector<fit_peak>& peaks,
                    spc_continuum_kind kind, extra what = extra::none, bool held = false) {
    fit_setup f = setup(cx, lo, hi, peaks, kind, what);
    f.held = held;
    f.edge_held = what == extra::edge && cx.edge_held;
    f.ramp = what == extra::edge && cx.edge_ramp;
    f.shared = cx.shared_width && !held && peaks.size() > 1;
    for (const auto& q : peaks)
        if (f.shared)
            f.ratio.push_back(std::sqrt(std::max(q.mu, 1.0) / std::max(peaks[0].mu, 1.0)));
    size_t p = f.ncont + 3 * peaks.size() + extra_params(what, f.ramp);
    if (f.y.size() < p + 3 || cx.work_left <= 0) return {};
    vector_ptr x = guess(cx, f, peaks);
    workspace_ptr w = solve(&f, x.get(), &cx.work_left);
    if (!w) return {};
    return report(f, w.get(), x.get(), peaks);
}

constexpr spc_continuum_kind ALL_KINDS[] = {
    spc_continuum_kind::linear, spc_continuum_kind::quadratic, spc_continuum_kind::exponential};

// The fit with the continuum that describes the counts best for its number of parameters, then
// (unless `step` is false) the same with a step under the peaks, kept when it describes them
// better still. Where another model describes them almost as well, the counts cannot tell the
// two apart: half the difference of their areas and centroids is reported with each one's
// uncertainty.
group_fit fit_best(context& cx, int lo, int hi, const std::vector<fit_peak>& peaks,
                   bool edge = false, bool held = false, bool step = true) {
    group_fit best;
    std::vector<group_fit> all;
    for (auto kind : ALL_KINDS) {
        if (edge && kind == spc_continuum_kind::quadratic) continue;
        all.push_back(fit_group(cx, lo, hi, peaks, kind, edge ? extra::edge : extra::none, held));
        const group_fit& f = all.back();
        if (f.ok && (!best.ok || f.score() < best.score())) best = f;
    }
    if (best.ok && !edge && step && !peaks.empty()) {
        group_fit s = fit_group(cx, lo, hi, peaks, best.g.kind, extra::step, held);
        if (s.ok && s.score() < best.score()) {
            all.push_back(s);
            best = s;
        }
    }
    for (const auto& f : all) {
        if (!f.ok || f.score() > best.score() + 2 || f.peaks.size() != best.peaks.size()) continue;
        for (size_t k = 0; k < f.peaks.size(); ++k) {
            fit_peak& p = best.peaks[k];
            p.area_sys = std::max(p.area_sys, 0.5 * std::abs(f.peaks[k].area - p.area));
            p.mu_sys = std::max(p.mu_sys, 0.5 * std::abs(f.peaks[k].mu - p.mu));
        }
    }
    return best;
}

// The widest line (sigma, channels) a spectrum of `channels` can hold: a fortieth of it, and at
// least 3 channels (a short spectrum's lines fill a good part of it).
double widest_line(int channels) {
    return std::max(3.0, static_cast<double>(channels) / MAX_WIDTH_PART);
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
           p.sigma > widest_line(channels) || p.mu < g.g.lo || p.mu > g.g.hi ||
           !(p.mu_err < p.sigma) || dup;
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
// the remaining peaks' first guesses: a fit that ran off must not seed the next one. Candidates
// of at least the strong significance dropped because no fit held them go to `lost` (an
// implausible one was judged, not lost).
group_fit prune(context& cx, int lo, int hi, std::vector<fit_peak>* group, bool all_kinds,
                std::vector<fit_peak>* lost) {
    group_fit g;
    int channels = cx.channels();
    auto drop = [&](size_t k) {
        if ((*group)[k].z >= (g.ok ? cx.opt.retry_sigma : cx.opt.strong_sigma)) {
            lost->push_back((*group)[k]);
            lost->back().judged = g.ok;
        }
        group->erase(group->begin() + k);
    };
    while (!group->empty()) {
        g = all_kinds ? fit_best(cx, lo, hi, *group)
                      : fit_group(cx, lo, hi, *group, spc_continuum_kind::linear);
        int count = 0;
        int worst =
            g.ok ? implausible(g, cx.opt, channels, &count) : static_cast<int>(group->size()) - 1;
        if (g.ok && count >= 3) {
            // Many implausible peaks in a group (a comb of single-channel spikes): all go at once
            // rather than one refit each, but the most significant of them, which the crowd may
            // have made implausible, gets the next fit.
            double sig, best_sig = -1;
            int best = -1;
            for (size_t k = 0; k < group->size(); ++k)
                if (bad_peak(g, k, cx.opt, channels, &sig) && sig > best_sig)
                    best = static_cast<int>(k), best_sig = sig;
            for (size_t k = group->size(); k-- > 0;)
                if (static_cast<int>(k) != best && bad_peak(g, k, cx.opt, channels, &sig)) drop(k);
            continue;
        }
        if (!g.ok) {
            // No usable fit: the smallest first guess goes.
            worst = 0;
            for (size_t k = 1; k < group->size(); ++k)
                if ((*group)[k].area < (*group)[worst].area) worst = static_cast<int>(k);
        }
        if (worst < 0) break;
        drop(worst);
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

// Peaks (in channel order) in groups, from channel `floor` on: a chain ends where the two lines'
// reaches leave a few channels of continuum between them. A chain of more lines than a fit takes is
// cut where its lines stand furthest apart, again until each piece fits; the windows of two pieces
// of one chain overlap, each holding its own lines whole (a window that misses its line makes a fit
// that loses it). Each window holds its lines' reaches and a margin of continuum on both sides,
// never into another chain's lines.
std::vector<region> make_groups(const std::vector<fit_peak>& peaks,
                                const std::vector<double>& level, int n, size_t max_peaks,
                                int floor) {
    std::vector<region> out;
    size_t m = peaks.size();
    std::vector<double> from(m), to(m);
    for (size_t k = 0; k < m; ++k) {
        int at = std::clamp(static_cast<int>(std::lround(peaks[k].mu)), 0, n - 1);
        double r = reach(peaks[k], level[at]);
        from[k] = peaks[k].mu - r;
        to[k] = peaks[k].mu + r;
    }
    // cut[k]: a group starts at peak k; forced[k]: the cut is inside a chain.
    std::vector<bool> cut(m + 1, false), forced(m + 1, false);
    cut[0] = cut[m] = true;
    double end = -1e300;
    for (size_t k = 0; k < m; ++k) {
        if (k > 0 && from[k] - end >= std::max(3.0, 0.5 * peaks[k].sigma)) cut[k] = true;
        end = k == 0 || cut[k] ? to[k] : std::max(end, to[k]);
    }
    for (size_t a = 0; a < m;) {
        size_t b = a + 1;
        while (!cut[b]) ++b;
        // Pieces of a..b-1 too long: cut at the widest gap, until none is.
        std::vector<std::pair<size_t, size_t>> todo = {{a, b}};
        while (!todo.empty()) {
            auto [u, v] = todo.back();
            todo.pop_back();
            if (v - u <= max_peaks) continue;
            size_t at = u + 1;
            for (size_t k = u + 1; k < v; ++k)
                if (from[k] - to[k - 1] > from[at] - to[at - 1]) at = k;
            cut[at] = forced[at] = true;
            todo.push_back({u, at});
            todo.push_back({at, v});
        }
        a = b;
    }
    for (size_t k = 0; k < m;) {
        size_t last = k + 1;
        while (!cut[last]) ++last;
        double lo = 1e300, hi = -1e300;
        for (size_t j = k; j < last; ++j) {
            double margin = std::max(3.0, 2 * peaks[j].sigma);
            lo = std::min(lo, from[j] - margin);
            hi = std::max(hi, to[j] + margin);
        }
        if (k > 0) {
            const fit_peak& q = peaks[k - 1];
            lo = forced[k] ? std::max(lo, std::min(q.mu + 1.5 * q.sigma, from[k]))
                           : std::max(lo, to[k - 1] + 1);
        }
        if (last < m) {
            const fit_peak& q = peaks[last];
            hi = forced[last] ? std::min(hi, std::max(q.mu - 1.5 * q.sigma, to[last - 1]))
                              : std::min(hi, from[last] - 1);
        }
        // Not into the threshold's cut, where no continuum holds, unless a line stands there.
        lo = std::max(lo, std::min(static_cast<double>(floor), peaks[k].mu - 2 * peaks[k].sigma));
        region g;
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

// FWHM^2 = a + b x + c x^2 (a, b, c >= 0) on the reference peaks, with one pass that drops those
// far from the first fit (a blend among them). Two peaks give at most two terms; one gives the
// scintillator's FWHM^2 = b x, which only tells a bump from a line (flag B, at a quarter of its
// channel and above, where a germanium detector's constant term cannot make the difference).
// The peaks it leaves out lose their reference mark.
spc_width_model fit_width(std::vector<spc_peak>& peaks) {
    std::vector<spc_peak*> refs;
    for (auto& p : peaks)
        if (p.reference) refs.push_back(&p);
    // A detector's lines never narrow as the energy rises: a peak wider by far than one above it
    // is a blend or a bump (the top of a Compton edge), not the resolution there.
    std::vector<spc_peak*> rising;
    for (auto* p : refs) {
        bool narrower_above = false;
        for (const auto* q : refs)
            narrower_above =
                narrower_above || (q->centroid > p->centroid && p->fwhm > 1.15 * q->fwhm);
        if (!narrower_above) rising.push_back(p);
    }
    auto fitted_on = [&](const std::vector<spc_peak*>& used, const spc_width_model& w) {
        for (auto* p : refs) p->reference = false;
        for (auto* p : used) p->reference = true;
        return w;
    };
    std::vector<spc_peak*> used = rising;
    if (used.size() == 1 && used[0]->centroid > 0)
        return fitted_on(
            used, {1, 0, used[0]->fwhm * used[0]->fwhm / used[0]->centroid, 0, used[0]->centroid});
    spc_width_model w;
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<double> x, f, fe;
        for (const auto* p : used)
            x.push_back(p->centroid), f.push_back(p->fwhm), fe.push_back(p->fwhm_err);
        double coef[3];
        if (used.size() < 2 || !spc_fit_fwhm_squared(x, f, fe, coef)) return fitted_on({}, {});
        w = {static_cast<int>(used.size()), coef[0], coef[1], coef[2], used[0]->centroid};
        std::vector<spc_peak*> keep;
        for (auto* p : used)
            if (std::abs(p->fwhm / width_at(w, p->centroid) - 1) < 0.25) keep.push_back(p);
        if (keep.size() == used.size() || pass == 1) break;
        used = keep;
    }
    return fitted_on(used, w);
}

// ---- the whole fit -----------------------------------------------------------------------------

spc_peak to_peak(const fit_peak& p, const spc_group& g, int index) {
    spc_peak r;
    r.centroid = p.mu;
    r.centroid_err = std::hypot(p.mu_err, p.mu_sys);
    r.fwhm = p.sigma * SPC_FWHM_PER_SIGMA;
    r.fwhm_err = p.sigma_err * SPC_FWHM_PER_SIGMA;
    r.area = p.area;
    r.area_err = std::hypot(p.area_err, p.area_sys);
    r.group = index;
    for (int x = static_cast<int>(std::ceil(p.mu - r.fwhm));
         x <= static_cast<int>(std::floor(p.mu + r.fwhm)); ++x)
        r.continuum += spc_continuum_at(g, x) + spc_step_counts(g, r, x);
    return r;
}

double judged_width(const spc_width_model& w, double x);

bool too_wide(const spc_width_model& w, const fit_peak& p, double factor) {
    if (p.mu < (w.peaks == 1 ? 0.25 : 0.5) * w.reference) return false;
    return w.peaks > 0 && p.sigma * SPC_FWHM_PER_SIGMA > factor * width_at(w, p.mu);
}

// One more line in a group the model does not describe or whose peak is too wide for the
// spectrum's width model: a wide peak split in two, or a line where the residual is highest.
// The better trial is kept when it lowers the chi-square by more than 16 and stays plausible.
group_fit try_more(context& cx, const region& r, group_fit g, const spc_width_model& w,
                   std::vector<fit_peak>* group) {
    const std::vector<double>& y = cx.y;
    for (int extra = 0; extra < 2 && !group->empty(); ++extra) {
        bool bad = g.g.chisq > g.g.dof + 4 * std::sqrt(2.0 * g.g.dof);
        int wide = -1;
        for (size_t k = 0; k < g.peaks.size(); ++k)
            if (too_wide(w, g.peaks[k], 1.3) &&
                (wide < 0 || g.peaks[k].sigma > g.peaks[wide].sigma))
                wide = static_cast<int>(k);
        if (!bad && wide < 0) break;
        if (static_cast<int>(group->size()) >= cx.opt.max_group_peaks) break;
        std::vector<std::vector<fit_peak>> trials;
        size_t shared = SIZE_MAX;  // the trial whose peaks share one width
        int split = wide >= 0 ? wide : g.peaks.size() == 1 ? 0 : -1;
        if (split >= 0) {
            fit_peak p = g.peaks[split];
            double s = w.peaks > 0 ? width_at(w, p.mu) / SPC_FWHM_PER_SIGMA : 0.6 * p.sigma;
            s = std::min(s, p.sigma);
            std::vector<fit_peak> t = g.peaks;
            t[split] = {0.5 * p.area, p.mu - 0.8 * p.sigma, s};
            t[split].z = p.z;
            t.push_back({0.5 * p.area, p.mu + 0.8 * p.sigma, s});
            trials.push_back(t);
        }
        // Where no width model judges the group's peaks (none, or all below its range), every
        // peak split in two (with a model, each one far wider than it extrapolates), all of one
        // width that widens as the root of the place (a scintillator's): no half can trade width
        // for area.
        bool judged = false;
        for (const auto& p : g.peaks) judged = judged || judged_width(w, p.mu) > 0;
        if (!judged && 2 * g.peaks.size() <= static_cast<size_t>(cx.opt.max_group_peaks)) {
            std::vector<fit_peak> t;
            for (const auto& p : g.peaks) {
                if (w.peaks > 0 &&
                    p.sigma * SPC_FWHM_PER_SIGMA <= cx.opt.wide_factor * width_at(w, p.mu)) {
                    t.push_back(p);
                    continue;
                }
                t.push_back({0.5 * p.area, p.mu - 0.8 * p.sigma, 0.6 * p.sigma});
                t.push_back({0.5 * p.area, p.mu + 0.8 * p.sigma, 0.6 * p.sigma});
            }
            if (t.size() > g.peaks.size()) {
                shared = trials.size();
                trials.push_back(t);
            }
        }
        // The residual, summed over the narrowest peak's width, where it is highest.
        double width = 1e300;
        for (const auto& p : g.peaks) width = std::min(width, p.sigma);
        int half = std::max(1, static_cast<int>(width));
        std::vector<double> res(r.hi - r.lo + 1);
        std::vector<spc_peak> fitted_peaks;
        for (const auto& p : g.peaks) fitted_peaks.push_back(to_peak(p, g.g, 0));
        for (int x = r.lo; x <= r.hi; ++x) {
            double m = spc_continuum_at(g.g, x);
            for (const auto& q : fitted_peaks)
                m += spc_peak_counts(q, x) + spc_step_counts(g.g, q, x);
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
        for (size_t k = 0; k < trials.size(); ++k) {
            auto& t = trials[k];
            std::sort(t.begin(), t.end(),
                      [](const fit_peak& a, const fit_peak& b) { return a.mu < b.mu; });
            cx.shared_width = k == shared;
            group_fit f = fit_best(cx, r.lo, r.hi, t);
            cx.shared_width = false;
            // Halves of one width closer than doublet_sigma: one peak of another shape.
            for (size_t j = 1; k == shared && f.ok && j < f.peaks.size(); ++j)
                if (f.peaks[j].mu - f.peaks[j - 1].mu <
                    cx.opt.doublet_sigma * std::max(f.peaks[j].sigma, f.peaks[j - 1].sigma))
                    f.ok = false;
            if (f.ok && implausible(f, cx.opt, cx.channels()) < 0 && g.g.chisq - f.g.chisq > 16 &&
                (!chosen.ok || f.g.chisq < chosen.g.chisq)) {
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
bool is_edge(context& cx, const group_fit& g) {
    group_fit s = fit_best(cx, g.g.lo, g.g.hi, {}, true);
    return s.ok && s.g.chisq <= g.g.chisq;
}

struct fitted {
    spc_analysis result;
    std::vector<double> peaks_model;  // the fitted peaks' counts per channel
};

bool by_mu(const fit_peak& a, const fit_peak& b) {
    return a.mu < b.mu;
}

// The mean count of the channels from..to (clamped to the spectrum).
double mean_of(const std::vector<double>& y, double from, double to) {
    int n = static_cast<int>(y.size());
    int a = std::clamp(static_cast<int>(std::floor(from)), 0, n - 1);
    int b = std::clamp(static_cast<int>(std::ceil(to)), a, n - 1);
    double s = 0;
    for (int i = a; i <= b; ++i) s += y[i];
    return s / (b - a + 1);
}

// Stage 1: windows from the candidates' measured widths, a straight continuum (a curved one
// can take up a wide line in a narrow window before the fit has found it); it measures each
// line's width and area, from which the second stage's groups are made. `level` gets the
// continuum per channel.
std::vector<fit_peak> first_round(context& cx, std::vector<fit_peak> start,
                                  std::vector<double>* level, std::vector<fit_peak>* lost) {
    const std::vector<double>& y = cx.y;
    int n = cx.channels();
    std::vector<fit_peak> first;
    for (auto& p : start) {
        if (p.area > 0) continue;
        double base = 0.5 * (mean_of(y, p.mu - 3.5 * p.sigma, p.mu - 2.5 * p.sigma) +
                             mean_of(y, p.mu + 2.5 * p.sigma, p.mu + 3.5 * p.sigma));
        double top = mean_of(y, p.mu - 0.3 * p.sigma, p.mu + 0.3 * p.sigma);
        // The mean over +-0.3 sigma of a Gaussian is 0.985 of its top.
        p.area = std::max(1.0, (top - base) / 0.985) * p.sigma * SQRT_2PI;
        (*level)[std::clamp(static_cast<int>(std::lround(p.mu)), 0, n - 1)] = base;
    }
    size_t max_peaks = static_cast<size_t>(cx.opt.max_group_peaks);
    for (auto& r : make_groups(start, *level, n, max_peaks, cx.threshold)) {
        std::vector<fit_peak> given = r.peaks;
        std::vector<fit_peak> dropped;
        group_fit g = prune(cx, r.lo, r.hi, &r.peaks, false, &dropped);
        const std::vector<fit_peak> as_found = dropped;  // a strong line lost as first seen
        // A lone candidate that the narrowest kernel finding it measured too narrow (the top of
        // a broad line) leaves its line no room in the window: again with the width the fit
        // found, or three times the first guess when the fit failed, until the width holds.
        for (int again = 0; again < 4 && given.size() == 1; ++again) {
            double grow = g.peaks.empty() ? 3 : g.peaks[0].sigma / given[0].sigma;
            if (grow < 1.25) break;
            given[0].sigma *= grow;
            given[0].area *= grow;
            r = make_groups(given, *level, n, max_peaks, cx.threshold)[0];
            dropped.clear();
            g = prune(cx, r.lo, r.hi, &r.peaks, false, &dropped);
            if (!g.peaks.empty()) given[0] = g.peaks[0];
        }
        if (g.peaks.empty()) dropped = as_found;
        lost->insert(lost->end(), dropped.begin(), dropped.end());
        first.insert(first.end(), g.peaks.begin(), g.peaks.end());
        for (int x = r.lo; x <= r.hi && g.ok; ++x) (*level)[x] = spc_continuum_at(g.g, x);
    }
    std::sort(first.begin(), first.end(), by_mu);
    return first;
}

// The width model's peaks: measured to a few per cent in a fit that describes its counts.
bool is_reference(const group_fit& g, const fit_peak& p) {
    return g.ok && p.area >= 10 * p.area_err && p.sigma_err < 0.05 * p.sigma &&
           g.g.chisq < g.g.dof + 4 * std::sqrt(2.0 * g.g.dof);
}

// Stage 3 for one group the model does not describe: it may end on a line it missed, so more
// channels on both sides (short of the neighbouring groups' lines) are tried.
void widen(context& cx, std::vector<region>& regions, std::vector<group_fit>& fits, size_t i) {
    group_fit& g = fits[i];
    if (!(g.g.chisq > g.g.dof + 4 * std::sqrt(2.0 * g.g.dof))) return;
    int n = cx.channels();
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
    if (wider.lo >= regions[i].lo && wider.hi <= regions[i].hi) return;
    group_fit w = fit_best(cx, wider.lo, wider.hi, g.peaks);
    if (w.ok && implausible(w, cx.opt, n) < 0) {
        regions[i] = wider;
        g = w;
    }
}

// A candidate too strong to lose whose fits all failed: its net counts above a straight line
// through the ends of a window of +-1.5 FWHM (its measured width), flagged F, in a group of its
// own that holds that line; nothing when those counts do not confirm it (the flank of a
// stronger line).
void add_unfitted(const std::vector<double>& y, const fit_peak& c, double min_sigma,
                  spc_analysis* out) {
    int n = static_cast<int>(y.size());
    double fwhm = std::max(1.0, c.sigma * SPC_FWHM_PER_SIGMA);
    int lo = std::clamp(static_cast<int>(std::floor(c.mu - 1.5 * fwhm)), 0, n - 1);
    int hi = std::clamp(static_cast<int>(std::ceil(c.mu + 1.5 * fwhm)), lo, n - 1);
    int side = std::max(1, (hi - lo + 1) / 8);
    double left = mean_of(y, lo, lo + side - 1), right = mean_of(y, hi - side + 1, hi);
    double gross = 0, under = 0, sum_x = 0;
    for (int x = lo; x <= hi; ++x) {
        double line = left + (right - left) * (x - lo) / std::max(1, hi - lo);
        gross += y[x];
        under += line;
        sum_x += (y[x] - line) * x;
    }
    spc_group g;
    g.lo = lo, g.hi = hi;
    g.xc = 0.5 * (lo + hi), g.half = std::max(1.0, 0.5 * (hi - lo));
    g.c[0] = 0.5 * (left + right), g.c[1] = 0.5 * (right - left);
    spc_peak p;
    p.area = gross - under;
    // The counts of the window and of the two ends the line is drawn through.
    p.area_err =
        std::sqrt(gross + under * under / (2.0 * side * std::max(1.0, 0.5 * (left + right))));
    p.centroid = p.area > 0 ? std::clamp(sum_x / p.area, c.mu - fwhm, c.mu + fwhm) : c.mu;
    p.centroid_err = fwhm / SPC_FWHM_PER_SIGMA / std::sqrt(std::max(1.0, p.area));
    p.fwhm = fwhm;
    p.fwhm_err = fwhm;
    if (!(p.area >= min_sigma * p.area_err)) return;
    p.flags = SPC_FLAG_NO_FIT;
    p.group = static_cast<int>(out->groups.size());
    for (int x = static_cast<int>(std::ceil(p.centroid - fwhm)); x <= p.centroid + fwhm; ++x)
        p.continuum += spc_continuum_at(g, x);
    out->groups.push_back(g);
    out->peaks.push_back(p);
}

// The FWHM the width model expects at channel `x` where it judges peaks, 0 elsewhere (below half
// its lowest peak, a quarter with one: extrapolated further down it tells nothing).
double judged_width(const spc_width_model& w, double x) {
    if (w.peaks == 0 || x < (w.peaks == 1 ? 0.25 : 0.5) * w.reference) return 0;
    return width_at(w, x);
}

// Whether a reported peak is a line of the spectrum's width: not a bump far wider than the
// width model allows, which may lie under a narrow line without being it.
bool line_width(const spc_width_model& w, const spc_peak& p, double wide_factor) {
    double m = judged_width(w, p.centroid);
    return !(m > 0 && p.fwhm > wide_factor * m);
}

// A strong candidate whose group's fit lost it or judged it implausible, once more alone: a line
// starting at the width model's width in a window of +-2 FWHM, where a curved continuum
// describes the structure beneath (a backscatter bump, a Compton edge) that took it into a bump
// in its group. When the free width runs off (no fit, wider than a line may be, away from the
// candidate), once more with the width held at the model's: one parameter fewer, which a bump
// beneath cannot take over. Kept when the fit holds a plausible line within a FWHM of the
// candidate, no wider than a line may be (a blend of two reaches 1.6 times the model), on no
// reported line.
bool fit_alone(context& cx, fit_peak line, const spc_width_model& width, fitted* out) {
    int n = cx.channels();
    double fwhm = line.sigma * SPC_FWHM_PER_SIGMA;
    line.area = 0;
    int lo = std::max(0, static_cast<int>(std::floor(line.mu - 2 * fwhm)));
    int hi = std::min(n - 1, static_cast<int>(std::ceil(line.mu + 2 * fwhm)));
    auto away = [&](const fit_peak& p) {
        return std::abs(p.mu - line.mu) >= fwhm ||
               (width.peaks > 0 && too_wide(width, p, cx.opt.wide_factor));
    };
    auto holds = [&](const group_fit& f) {
        if (!f.ok || implausible(f, cx.opt, n) >= 0 || away(f.peaks[0])) return false;
        for (const auto& q : out->result.peaks)
            if (line_width(width, q, cx.opt.wide_factor) &&
                std::abs(q.centroid - f.peaks[0].mu) < 0.5 * std::max(q.fwhm, fwhm))
                return false;
        return true;
    };
    // The well-measured lines already reported that reach into the window, with their steps, as
    // measured: a fit of one line cannot describe a neighbour's flank, and runs off on it.
    cx.known_lo = lo;
    cx.known.assign(hi - lo + 1, 0.0);
    for (const auto& q : out->result.peaks) {
        double reach = 4 * q.fwhm / SPC_FWHM_PER_SIGMA;
        const spc_group& g = out->result.groups[q.group];
        if (!line_width(width, q, cx.opt.known_wide) || g.chisq > cx.opt.quality_chi2 * g.dof ||
            q.centroid + reach < lo || q.centroid - reach > hi)
            continue;
        for (int x = lo; x <= hi; ++x)
            cx.known[x - lo] += spc_peak_counts(q, x) + spc_step_counts(g, q, x);
    }
    group_fit f = fit_best(cx, lo, hi, {line});
    // A free width that stayed a line's but found no significant area has had its answer. The
    // held width's fit has no step under its line: on a short window's curved continuum the
    // counts tell a step and a line's area apart no better than by their product.
    if (!holds(f) && width.peaks > 0 && (!f.ok || away(f.peaks[0])))
        f = fit_best(cx, lo, hi, {line}, false, true, false);
    cx.known.clear();
    if (!holds(f)) return false;
    int index = static_cast<int>(out->result.groups.size());
    out->result.groups.push_back(f.g);
    out->result.peaks.push_back(to_peak(f.peaks[0], f.g, index));
    out->result.peaks.back().recovered = true;
    return true;
}

// Stage 4 for one strong candidate no fit kept: nothing when a line of the spectrum's width
// already holds it (a bump does not: it may have swallowed the line); else fitted alone as a
// line of the width model's width; else, when no fit held it at all, measured without a fit
// (flag F). One a fit judged implausible is tried alone only above the threshold's cut, where
// the cut's own shape is no line; where no width model judges, at its own measured width.
void recover(context& cx, const fit_peak& c, const spc_width_model& width, fitted* out) {
    for (const auto& p : out->result.peaks)
        if (std::abs(p.centroid - c.mu) < std::max(1.0, c.sigma) &&
            line_width(width, p, cx.opt.wide_factor))
            return;
    fit_peak line = c;
    double m = judged_width(width, c.mu) / SPC_FWHM_PER_SIGMA;
    if (m > 0) line.sigma = m;
    if (c.judged && !(c.mu - 2 * c.sigma > cx.threshold)) return;
    if (fit_alone(cx, line, width, out) || c.judged) return;
    add_unfitted(cx.y, line, cx.opt.area_sigma, &out->result);
}

// Stage 4 for a peak of the spectrum's width on a fall of the counts, which may stand for the top
// of a Compton edge with a line hidden on its foot (the edge's curvature cancels the line's in the
// filter, so the search sees none): a window from a FWHM below the peak to three above it, fitted
// with an edge in place of the peak, the edge as sharp as the resolution there and with a slope
// of its own below it (the scatter's density rises towards it); then once more with a line of
// the width model's width started at three places on the foot. The reported lines within the
// window are fitted beside them, those reaching in from outside taken as measured. The line is
// kept when it lowers the chi-square by more than edge_chi2, is plausible and of the spectrum's
// width, stands above the peak and the edge and on no reported line.
void edge_foot(context& cx, size_t at, const spc_width_model& width, fitted* out) {
    const spc_peak p = out->result.peaks[at];  // a copy: the peaks grow below
    const std::vector<double>& y = cx.y;
    int n = cx.channels();
    double fwhm = judged_width(width, p.centroid), s = p.fwhm / SPC_FWHM_PER_SIGMA;
    if (!(fwhm > 0) || p.fwhm > 1.3 * fwhm || (p.flags & SPC_FLAG_NO_FIT)) return;
    double height = p.area / (s * SQRT_2PI);
    if (mean_of(y, p.centroid - 3 * s, p.centroid - 2 * s) -
            mean_of(y, p.centroid + 2 * s, p.centroid + 3 * s) <
        cx.opt.edge_fall * height)
        return;
    int lo = std::max(0, static_cast<int>(std::floor(p.centroid - fwhm)));
    int hi = std::min(n - 1, static_cast<int>(std::ceil(p.centroid + 3 * fwhm)));
    // The reported lines within the window are fitted beside the new one (the window widened to
    // hold them whole); those outside it that reach in are taken as measured.
    std::vector<fit_peak> beside;
    auto reported = [&](size_t k) {
        const spc_peak& q = out->result.peaks[k];
        const spc_group& g = out->result.groups[q.group];
        return k != at && line_width(width, q, cx.opt.known_wide) &&
               !(g.chisq > cx.opt.quality_chi2 * g.dof);
    };
    int end = hi;
    for (size_t k = 0; k < out->result.peaks.size(); ++k) {
        const spc_peak& q = out->result.peaks[k];
        double sq = q.fwhm / SPC_FWHM_PER_SIGMA;
        if (!reported(k) || q.centroid < lo || q.centroid > hi) continue;
        beside.push_back({q.area, q.centroid, sq});
        end = std::max(end, std::min(n - 1, static_cast<int>(std::ceil(q.centroid + 2.5 * sq))));
    }
    hi = end;
    cx.known_lo = lo;
    cx.known.assign(hi - lo + 1, 0.0);
    for (size_t k = 0; k < out->result.peaks.size(); ++k) {
        const spc_peak& q = out->result.peaks[k];
        double reach = 4 * q.fwhm / SPC_FWHM_PER_SIGMA;
        if (!reported(k) || (q.centroid >= lo && q.centroid <= p.centroid + 3 * fwhm) ||
            q.centroid + reach < lo || q.centroid - reach > hi)
            continue;
        const spc_group& g = out->result.groups[q.group];
        for (int x = lo; x <= hi; ++x)
            cx.known[x - lo] += spc_peak_counts(q, x) + spc_step_counts(g, q, x);
    }
    cx.edge_at = p.centroid + 0.5 * s;
    cx.edge_width = judged_width(width, cx.edge_at) / SPC_FWHM_PER_SIGMA;
    cx.edge_held = true;
    cx.edge_ramp = true;
    group_fit a = fit_best(cx, lo, hi, beside, true, true);
    // A line on the foot: plausible, of the spectrum's width, above the peak and the edge, on no
    // reported line.
    auto holds = [&](const group_fit& f) {
        if (!f.ok || implausible(f, cx.opt, n) >= 0) return false;
        const fit_peak& l = f.peaks[0];
        if (too_wide(width, l, 1.3) || l.mu < p.centroid || l.mu < f.g.edge[1]) return false;
        for (const auto& q : out->result.peaks)
            if (line_width(width, q, cx.opt.wide_factor) &&
                std::abs(q.centroid - l.mu) < 0.5 * std::max(q.fwhm, fwhm))
                return false;
        return true;
    };
    group_fit b;
    // The line starts on the foot at three places, with the peak's area; the best fit is kept.
    for (int j = 0; j < 3 && a.ok; ++j) {
        std::vector<fit_peak> t = {
            {p.area, p.centroid + s + 0.5 * j * fwhm, fwhm / SPC_FWHM_PER_SIGMA}};
        t.insert(t.end(), beside.begin(), beside.end());
        group_fit f = fit_best(cx, lo, hi, t, true, true);
        if (holds(f) && (!b.ok || f.g.chisq < b.g.chisq)) b = f;
    }
    cx.known.clear();
    cx.edge_at = cx.edge_width = 0;
    cx.edge_held = cx.edge_ramp = false;
    if (!b.ok || a.g.chisq - b.g.chisq <= cx.opt.edge_chi2) return;
    b.g.peaks = 1;  // the lines beside it stay as their own groups measured them
    int index = static_cast<int>(out->result.groups.size());
    out->result.groups.push_back(b.g);
    out->result.peaks.push_back(to_peak(b.peaks[0], b.g, index));
    out->result.peaks.back().recovered = true;
}

// Stage 2: the first round's lines in groups, each fitted with every continuum and a step under
// its peaks, the implausible dropped (the strong ones among them to `lost`).
std::vector<group_fit> second_round(context& cx, const std::vector<fit_peak>& first,
                                    const std::vector<double>& level, std::vector<region>* regions,
                                    std::vector<fit_peak>* lost) {
    size_t max_peaks = static_cast<size_t>(cx.opt.max_group_peaks);
    *regions = make_groups(first, level, cx.channels(), max_peaks, cx.threshold);
    std::vector<group_fit> fits;
    for (auto& r : *regions) fits.push_back(prune(cx, r.lo, r.hi, &r.peaks, true, lost));
    return fits;
}

// The width model from the groups' lone, well-measured peaks.
spc_width_model reference_width(const std::vector<group_fit>& fits) {
    std::vector<spc_peak> refs;
    for (const auto& g : fits)
        for (const auto& p : g.peaks)
            if (is_reference(g, p)) {
                refs.push_back(to_peak(p, g.g, 0));
                refs.back().reference = true;
            }
    return fit_width(refs);
}

// Stage 3: each group the model does not describe widened, blends and hidden lines tried as one
// more line, edges dropped; the groups left go to `out`, their peaks' counts to its model.
void refine(context& cx, std::vector<region>& regions, std::vector<group_fit>& fits,
            const spc_width_model& width, fitted* out) {
    out->peaks_model.assign(cx.channels(), 0.0);
    for (size_t i = 0; i < regions.size(); ++i) {
        if (!fits[i].ok) continue;
        widen(cx, regions, fits, i);
        group_fit g = try_more(cx, regions[i], fits[i], width, &regions[i].peaks);
        bool unconfirmed = true;
        for (const auto& p : g.peaks)
            unconfirmed = unconfirmed && (width.peaks == 0 || too_wide(width, p, 1.5));
        if (unconfirmed && is_edge(cx, g)) continue;
        int index = static_cast<int>(out->result.groups.size());
        out->result.groups.push_back(g.g);
        for (const auto& p : g.peaks) {
            out->result.peaks.push_back(to_peak(p, g.g, index));
            out->result.peaks.back().reference = is_reference(g, p);
            for (int x = g.g.lo; x <= g.g.hi; ++x)
                out->peaks_model[x] += spc_peak_counts(out->result.peaks.back(), x);
        }
    }
}

// The candidates fitted in the stages above; then strong candidates no fit kept (stage 4), and
// the width model of what was reported.
fitted fit_all(context& cx, const std::vector<candidate>& cands) {
    std::vector<fit_peak> start, lost;
    for (const auto& c : cands) {
        start.push_back({c.area, c.channel, c.sigma});
        start.back().z = c.z;
    }
    std::sort(start.begin(), start.end(), by_mu);
    std::vector<double> level(cx.channels());
    std::vector<fit_peak> first = first_round(cx, start, &level, &lost);
    std::vector<region> regions;
    std::vector<group_fit> fits = second_round(cx, first, level, &regions, &lost);
    spc_width_model width = reference_width(fits);
    fitted out;
    refine(cx, regions, fits, width, &out);
    for (size_t i = 0, reported = out.result.peaks.size(); i < reported; ++i)
        edge_foot(cx, i, width, &out);
    std::sort(lost.begin(), lost.end(), by_mu);
    for (const auto& c : lost) recover(cx, c, width, &out);
    out.result.width = fit_width(out.result.peaks);
    std::sort(out.result.peaks.begin(), out.result.peaks.end(),
              [](const spc_peak& a, const spc_peak& b) { return a.centroid < b.centroid; });
    return out;
}

// Where the electronic threshold cuts the spectrum: the leading channels with (almost) no counts
// before a rise that stays high for at least as long again (a line at the start falls back
// within a few widths). 0 when the spectrum starts without such a cut.
int find_threshold(const std::vector<double>& y) {
    int n = static_cast<int>(y.size());
    if (n < 16) return 0;
    double top = 0;
    for (int i = 0; i < n / 4; ++i) top = std::max(top, y[i]);
    if (top < 100) return 0;
    int t = 0;
    while (t < n / 8 && y[t] <= 0.02 * top) ++t;
    if (t < 2) return 0;
    return mean_of(y, t + 1, 2 * t + 4) >= 0.1 * top ? t : 0;
}

// The Compton edge of a line of `kev`: the most a photon scattered once gives the crystal.
double compton_edge_kev(double kev) {
    constexpr double ELECTRON_KEV = 510.999;
    return 2 * kev * kev / (ELECTRON_KEV + 2 * kev);
}

// Whether peak `i` is the top of the Compton edge of a line above it: it stands on a step of
// most of its height, its centroid where the edge's top lies, and the line has the area to make
// such a top (from the top down, so the line itself is already judged).
bool compton_top(const spc_peak_options& opt, const spc_calib& calib, const spc_analysis& a,
                 size_t i) {
    const spc_peak& p = a.peaks[i];
    double e = spc_energy(calib, p.centroid);
    double sigma = p.fwhm * spc_gain_at(calib, p.centroid) / SPC_FWHM_PER_SIGMA;
    if (a.groups[p.group].step < opt.edge_top_step || !spc_is_line(p) || !(sigma > 0)) return false;
    for (size_t k = i + 1; k < a.peaks.size(); ++k) {
        const spc_peak& q = a.peaks[k];
        if (!spc_is_line(q) || q.area < opt.edge_top_area * p.area) continue;
        double below = (compton_edge_kev(spc_energy(calib, q.centroid)) - e) / sigma;
        if (below >= opt.edge_top_below[0] && below <= opt.edge_top_below[1]) return true;
    }
    return false;
}

// The flags that follow from the width model and the groups: W off the width model, B far wider
// than it or a strong line above allows (a bump) or a Compton edge's top on a step, T reaching
// into the threshold's cut, Q in a group whose chi-square per degree of freedom is above the
// limit. F (measured without a fit) and `top` (B as the top of a line's Compton edge) stay.
void flag_peaks(const spc_peak_options& opt, const std::vector<bool>& top, spc_analysis* a) {
    for (size_t i = 0; i < a->peaks.size(); ++i) {
        spc_peak& p = a->peaks[i];
        const spc_group& g = a->groups[p.group];
        p.flags &= SPC_FLAG_NO_FIT;
        if (top[i]) p.flags |= SPC_FLAG_WIDE;
        double m = judged_width(a->width, p.centroid);
        if (m > 0 && !(p.flags & SPC_FLAG_NO_FIT)) {
            if (a->width.peaks > 1 &&
                std::abs(p.fwhm - m) > opt.width_sd * std::hypot(p.fwhm_err, 0.1 * m))
                p.flags |= SPC_FLAG_WIDTH;
            if (p.fwhm > opt.wide_factor * m) p.flags |= SPC_FLAG_WIDE;
            if (g.peaks == 1 && g.step >= 1 && p.fwhm > opt.edge_top_wide * m)
                p.flags |= SPC_FLAG_WIDE;
        }
        if (a->threshold > 0 && p.centroid - p.fwhm < a->threshold) p.flags |= SPC_FLAG_THRESHOLD;
        if (g.dof > 0 && g.chisq > opt.quality_chi2 * g.dof) p.flags |= SPC_FLAG_QUALITY;
        p.width_flag = p.flags & SPC_FLAG_WIDTH;
    }
    // A detector's lines never narrow as the energy rises: a peak far wider than a strong line
    // above it is a bump, also where no width model judges (below its range, or none at all).
    double narrowest = 1e300;
    for (size_t i = a->peaks.size(); i-- > 0;) {
        spc_peak& p = a->peaks[i];
        if (p.flags & SPC_FLAG_NO_FIT) continue;
        if (p.fwhm > opt.wide_factor * narrowest) p.flags |= SPC_FLAG_WIDE;
        if (spc_is_line(p) && p.area >= opt.strong_sigma * p.area_err)
            narrowest = std::min(narrowest, p.fwhm);
    }
}

// Stage 5: the flags of every peak; with an energy calibration, the tops of Compton edges too
// (a width model fitted to one is fitted again without it, and the flags set anew). Then the
// line shape's floor under the centroid's uncertainty of each line fitted with a step, a
// detector's real response.
void judge(const spc_peak_options& opt, const spc_calib& calib, spc_analysis* a) {
    std::vector<bool> top(a->peaks.size(), false);
    flag_peaks(opt, top, a);
    if (calib.set) {
        bool refit = false;
        for (size_t i = a->peaks.size(); i-- > 0;)
            if (compton_top(opt, calib, *a, i)) {
                top[i] = true;
                a->peaks[i].flags |= SPC_FLAG_WIDE;
                refit = refit || a->peaks[i].reference;
                a->peaks[i].reference = false;
            }
        if (refit) a->width = fit_width(a->peaks);
        flag_peaks(opt, top, a);
    }
    for (auto& p : a->peaks)
        if (!(p.flags & SPC_FLAG_NO_FIT) && a->groups[p.group].step > 0)
            p.centroid_err =
                std::hypot(p.centroid_err, opt.centroid_shape * p.fwhm / SPC_FWHM_PER_SIGMA);
}

// The second pass against the first, region by region (the channels of overlapping groups of
// either): the second's fits are kept unless they lost a line of the first, or put a bump over a
// strong line of the first, and do not describe the counts better (chi-square per degree of
// freedom), or they lost a strong line of the first (the chi-square of a region that reaches
// from the threshold's cut over a crowd of X-rays and blends is the worst group's, and says
// nothing of the line), or a bump of theirs took up a line of the first; where the first's are
// kept, the second's lines fitted alone off the first's lines stay.
spc_analysis keep_better(const spc_analysis& first, const spc_analysis& second, double wide_factor,
                         double retry_sigma) {
    struct span {
        int lo, hi, pass;
        size_t index;
    };
    std::vector<span> spans;
    for (size_t i = 0; i < first.groups.size(); ++i)
        spans.push_back({first.groups[i].lo, first.groups[i].hi, 0, i});
    for (size_t i = 0; i < second.groups.size(); ++i)
        spans.push_back({second.groups[i].lo, second.groups[i].hi, 1, i});
    std::sort(spans.begin(), spans.end(), [](const span& a, const span& b) { return a.lo < b.lo; });
    // The second pass's groups that hold only lines fitted alone.
    std::vector<bool> recovered(second.groups.size(), true);
    for (const auto& q : second.peaks) recovered[q.group] = recovered[q.group] && q.recovered;
    std::vector<bool> use[2] = {std::vector<bool>(first.groups.size(), false),
                                std::vector<bool>(second.groups.size(), true)};
    for (size_t a = 0; a < spans.size();) {
        size_t b = a + 1;
        int hi = spans[a].hi;
        while (b < spans.size() && spans[b].lo <= hi) hi = std::max(hi, spans[b++].hi);
        double chi[2] = {0, 0}, dof[2] = {0, 0};
        for (size_t k = a; k < b; ++k) {
            const spc_group& g = (spans[k].pass ? second : first).groups[spans[k].index];
            chi[spans[k].pass] += g.chisq, dof[spans[k].pass] += g.dof;
        }
        // A line lost where the second pass fitted nothing at all, a strong line lost, or one that
        // a bump of the second took up, goes back in any case: a bump never stands for a line
        // beneath it.
        bool lost = false, bare = false, swallowed = false, bumped = false, lost_strong = false;
        for (const auto& p : first.peaks) {
            if (p.centroid < spans[a].lo || p.centroid > hi) continue;
            bool kept = false, kept_line = false, covered = false, bump = false;
            for (const auto& q : second.peaks) {
                bool line = line_width(second.width, q, wide_factor);
                bool near = std::abs(q.centroid - p.centroid) < std::max(1.0, 0.5 * p.fwhm);
                kept = kept || near;
                kept_line = kept_line || (line && near);
                bump = bump || (!line && std::abs(q.centroid - p.centroid) < q.fwhm);
            }
            for (const auto& g : second.groups)
                covered = covered || (g.lo <= p.centroid && p.centroid <= g.hi);
            lost = lost || !kept;
            lost_strong = lost_strong || (!kept && line_width(first.width, p, wide_factor) &&
                                          p.area >= retry_sigma * p.area_err);
            bare = bare || !covered;
            // A strong line of the first under a bump of the second.
            bool buried = bump && line_width(first.width, p, wide_factor) &&
                          p.area >= retry_sigma * p.area_err;
            swallowed = swallowed || (!kept_line && buried);
            bumped = bumped || buried;
        }
        double r1 = dof[0] > 0 ? chi[0] / dof[0] : 0, r2 = dof[1] > 0 ? chi[1] / dof[1] : 1e300;
        bool back = bare || swallowed || lost_strong || ((lost || bumped) && r2 >= r1);
        for (size_t k = a; k < b; ++k)
            use[spans[k].pass][spans[k].index] = back != (spans[k].pass == 1);
        // A line the second pass fitted alone where the first had no line stays beside the
        // first's fits: the two do not compete for its counts.
        for (size_t k = a; k < b && back; ++k) {
            if (spans[k].pass == 0 || !recovered[spans[k].index]) continue;
            const spc_group& g = second.groups[spans[k].index];
            auto in = std::lower_bound(first.peaks.begin(), first.peaks.end(), g.lo,
                                       [](const spc_peak& p, double x) { return p.centroid < x; });
            if (in == first.peaks.end() || in->centroid > g.hi) use[1][spans[k].index] = true;
        }
        a = b;
    }
    spc_analysis out;
    for (int pass = 0; pass < 2; ++pass) {
        const spc_analysis& from = pass ? second : first;
        std::vector<int> index(from.groups.size(), -1);
        for (size_t i = 0; i < from.groups.size(); ++i)
            if (use[pass][i]) {
                index[i] = static_cast<int>(out.groups.size());
                out.groups.push_back(from.groups[i]);
            }
        for (auto p : from.peaks)
            if (index[p.group] >= 0) {
                p.group = index[p.group];
                out.peaks.push_back(p);
            }
    }
    std::sort(out.peaks.begin(), out.peaks.end(),
              [](const spc_peak& a, const spc_peak& b) { return a.centroid < b.centroid; });
    out.width = fit_width(out.peaks);
    return out;
}

}  // namespace

bool spc_is_line(const spc_peak& p) {
    return !(p.flags & (SPC_FLAG_WIDE | SPC_FLAG_THRESHOLD));
}

std::string spc_flag_letters(unsigned flags) {
    std::string out;
    for (const char* f = "WBTQF"; *f; ++f, flags >>= 1)
        if (flags & 1) out += *f;
    return out;
}

double spc_continuum_at(const spc_group& g, double x) {
    double t = (x - g.xc) / g.half;
    double edge = 0;
    if (g.edge[0] != 0 || g.edge[3] != 0) {
        double d = x - g.edge[1], u = d / g.edge[2];
        edge = (g.edge[0] + g.edge[3] * d) * 0.5 * std::erfc(u / SQRT_2) -
               g.edge[3] * g.edge[2] * std::exp(-0.5 * u * u) / SQRT_2PI;
    }
    if (g.kind == spc_continuum_kind::exponential)
        return edge + std::exp(std::clamp(g.c[0] + g.c[1] * t, -700.0, 700.0));
    return edge + g.c[0] + g.c[1] * t + g.c[2] * t * t;
}

double spc_peak_counts(const spc_peak& p, double x) {
    double s = p.fwhm / SPC_FWHM_PER_SIGMA;
    if (!(s > 0)) return 0;
    return p.area * cdf_diff((x - 0.5 - p.centroid) / s, (x + 0.5 - p.centroid) / s);
}

double spc_step_counts(const spc_group& g, const spc_peak& p, double x) {
    double s = p.fwhm / SPC_FWHM_PER_SIGMA;
    if (!(s > 0) || g.step == 0) return 0;
    return g.step * p.area / (s * SQRT_2PI) * 0.5 * std::erfc((x - p.centroid) / (s * SQRT_2));
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

spc_analysis spc_analyse(const std::vector<int32_t>& counts, const spc_peak_options& opt,
                         const spc_calib& calib) {
    gsl_set_error_handler_off();  // a failed fit is a dropped peak, never an abort
    std::vector<double> y(counts.begin(), counts.end());
    std::vector<double> searched = y;
    context cx{
        y, opt, opt.fit_work_per_channel * std::max<double>(y.size(), 50000), find_threshold(y),
        0, {}};
    // Each pass fits the peaks found so far, as they were measured, with the fresh candidates of
    // the residual: a candidate whose fit failed once may come back where the residual shows it.
    std::vector<candidate> peaks;
    spc_analysis result;
    for (int pass = 0; pass < MAX_PASSES; ++pass) {
        std::vector<candidate> fresh = select(search(searched, y, opt.search_sigma), peaks);
        if (fresh.empty()) break;
        fresh.insert(fresh.end(), peaks.begin(), peaks.end());
        fitted f = fit_all(cx, fresh);
        result =
            pass == 0 ? f.result : keep_better(result, f.result, opt.wide_factor, opt.retry_sigma);
        peaks.clear();
        for (const auto& p : result.peaks) {
            // Fitted alone, it is left to the next pass's search, which meets it afresh in the
            // residual: seeded into a group, it would be taken into the bump again.
            if (p.recovered) continue;
            double s = p.fwhm / SPC_FWHM_PER_SIGMA;
            peaks.push_back({p.centroid, s, p.area_err > 0 ? p.area / p.area_err : 0, s, p.area});
        }
        for (size_t i = 0; i < y.size(); ++i) searched[i] = y[i] - f.peaks_model[i];
    }
    result.threshold = cx.threshold;
    judge(opt, calib, &result);
    return result;
}

std::vector<spc_peak> spc_find_peaks(const std::vector<int32_t>& counts,
                                     const spc_peak_options& opt) {
    return spc_analyse(counts, opt).peaks;
}
