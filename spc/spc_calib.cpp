#include "spc_calib.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

bool parse_number(const std::string& s, double* out) {
    if (s.empty() || std::isspace(static_cast<unsigned char>(s[0]))) return false;
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (*end != '\0' || !std::isfinite(v)) return false;
    *out = v;
    return true;
}

}  // namespace

bool spc_polyfit(const std::vector<double>& x, const std::vector<double>& y,
                 const std::vector<double>& w, int terms, double coef[3]) {
    double A[3][4] = {};
    for (size_t k = 0; k < x.size(); ++k) {
        double basis[3] = {1, x[k], x[k] * x[k]};
        for (int i = 0; i < terms; ++i) {
            for (int j = 0; j < terms; ++j) A[i][j] += w[k] * basis[i] * basis[j];
            A[i][3] += w[k] * basis[i] * y[k];
        }
    }
    // Gauss-Jordan elimination with partial pivoting on the small normal equations.
    for (int i = 0; i < terms; ++i) {
        int piv = i;
        for (int r = i + 1; r < terms; ++r)
            if (std::abs(A[r][i]) > std::abs(A[piv][i])) piv = r;
        std::swap(A[i], A[piv]);
        if (!(std::abs(A[i][i]) > 1e-300)) return false;
        for (int r = 0; r < terms; ++r) {
            if (r == i) continue;
            double f = A[r][i] / A[i][i];
            for (int c = i; c < 4; ++c) A[r][c] -= f * A[i][c];
        }
    }
    for (int i = 0; i < 3; ++i) coef[i] = i < terms ? A[i][3] / A[i][i] : 0;
    return std::isfinite(coef[0]) && std::isfinite(coef[1]) && std::isfinite(coef[2]);
}

bool spc_calib_per_channel(const std::string& value, spc_calib* out, std::string* error) {
    double k;
    if (!parse_number(value, &k) || k <= 0) {
        *error = "--kev-per-channel needs a positive number, not '" + value + "'";
        return false;
    }
    *out = spc_calib{};
    out->set = true;
    out->gain = k;
    return true;
}

bool spc_calib_points(const std::string& value, spc_calib* out, std::string* error) {
    std::vector<spc_calib_point> points;
    size_t start = 0;
    bool ok = true;
    while (ok) {
        size_t comma = value.find(',', start);
        std::string item = value.substr(start, comma == std::string::npos ? comma : comma - start);
        size_t eq = item.find('=');
        spc_calib_point p;
        ok = eq != std::string::npos && parse_number(item.substr(0, eq), &p.channel) &&
             parse_number(item.substr(eq + 1), &p.kev) && p.channel >= 0 && p.kev >= 0;
        if (ok) points.push_back(p);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (!ok || points.empty()) {
        *error =
            "--calibrate needs CH=KEV[,CH=KEV]... (numbers, not negative), not '" + value + "'";
        return false;
    }
    for (size_t i = 0; i < points.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (points[i].channel == points[j].channel) {
                *error = "--calibrate: two points at one channel";
                return false;
            }
    spc_calib c;
    c.set = true;
    if (points.size() == 1) {
        if (points[0].channel <= 0 || points[0].kev <= 0) {
            *error = "--calibrate with one point needs a channel and an energy above 0";
            return false;
        }
        c.gain = points[0].kev / points[0].channel;
    } else {
        std::vector<double> x, y, w(points.size(), 1.0);
        for (const auto& p : points) x.push_back(p.channel), y.push_back(p.kev);
        double coef[3];
        spc_polyfit(x, y, w, points.size() >= 3 ? 3 : 2, coef);
        c.offset = coef[0], c.gain = coef[1], c.quad = coef[2];
        double lo = *std::min_element(x.begin(), x.end()),
               hi = *std::max_element(x.begin(), x.end());
        if (!(spc_gain_at(c, lo) > 0 && spc_gain_at(c, hi) > 0)) {
            *error = "--calibrate: the energy must rise with the channel between the points";
            return false;
        }
    }
    for (auto& p : points) p.residual = p.kev - spc_energy(c, p.channel);
    c.points = points;
    *out = c;
    return true;
}

std::string spc_calib_check(const spc_calib& c, int channels) {
    if (!c.set) return "";
    if (spc_gain_at(c, -0.5) > 0 && spc_gain_at(c, channels - 0.5) > 0) return "";
    return "the calibration's energy does not rise with the channel over all " +
           std::to_string(channels) + " channels";
}

double spc_energy(const spc_calib& c, double channel) {
    return c.offset + c.gain * channel + c.quad * channel * channel;
}

double spc_gain_at(const spc_calib& c, double channel) {
    return c.gain + 2 * c.quad * channel;
}

double spc_channel(const spc_calib& c, double kev) {
    // The root on the branch where the energy rises (gain + 2 quad x > 0), in the form that
    // does not cancel when quad is small.
    double disc = c.gain * c.gain + 4 * c.quad * (kev - c.offset);
    return 2 * (kev - c.offset) / (c.gain + std::sqrt(std::max(disc, 0.0)));
}

bool spc_fit_fwhm_squared(const std::vector<double>& x, const std::vector<double>& fwhm,
                          const std::vector<double>& fwhm_err, double coef[3]) {
    std::vector<double> y, w;
    for (size_t i = 0; i < x.size(); ++i) {
        double f2 = fwhm[i] * fwhm[i];
        y.push_back(f2);
        // The widths scatter about the model by some 5 % besides their own errors.
        w.push_back(1 / (std::pow(0.1 * f2, 2) + std::pow(2 * fwhm[i] * fwhm_err[i], 2)));
    }
    // Every subset of the terms that the points determine, the best non-negative one. Over less
    // than a factor of 4 in x the counts tell x and x^2 apart too poorly: an x^2 term there only
    // takes up the excess of one wide point (a blend) and grows it beyond the points.
    auto [lo, hi] = std::minmax_element(x.begin(), x.end());
    bool curved = !x.empty() && *lo > 0 && *hi >= 4 * *lo;
    double best = -1;
    for (unsigned terms = 1; terms < 8; ++terms) {
        if ((terms & 4u) && !curved) continue;
        int used = 0, which[3];
        for (int t = 0; t < 3; ++t)
            if (terms & (1u << t)) which[used++] = t;
        if (used > static_cast<int>(x.size()) - (x.size() > 2 ? 1 : 0)) continue;
        // Least squares on the chosen powers by the normal equations (3 x 3 at most).
        double A[3][4] = {};
        for (size_t k = 0; k < x.size(); ++k) {
            double basis[3] = {1, x[k], x[k] * x[k]};
            for (int i = 0; i < used; ++i) {
                for (int j = 0; j < used; ++j) A[i][j] += w[k] * basis[which[i]] * basis[which[j]];
                A[i][3] += w[k] * basis[which[i]] * y[k];
            }
        }
        bool ok = true;
        for (int i = 0; i < used && ok; ++i) {
            int piv = i;
            for (int r = i + 1; r < used; ++r)
                if (std::abs(A[r][i]) > std::abs(A[piv][i])) piv = r;
            std::swap(A[i], A[piv]);
            ok = std::abs(A[i][i]) > 1e-300;
            for (int r = 0; r < used && ok; ++r) {
                if (r == i) continue;
                double f = A[r][i] / A[i][i];
                for (int c = i; c < 4; ++c) A[r][c] -= f * A[i][c];
            }
        }
        double c[3] = {0, 0, 0};
        for (int i = 0; i < used && ok; ++i) {
            c[which[i]] = A[i][3] / A[i][i];
            ok = std::isfinite(c[which[i]]) && c[which[i]] >= 0;
        }
        if (!ok) continue;
        double chi = 0;
        for (size_t k = 0; k < x.size(); ++k) {
            double d = c[0] + c[1] * x[k] + c[2] * x[k] * x[k] - y[k];
            chi += w[k] * d * d;
        }
        if (best < 0 || chi < best) {
            best = chi;
            std::copy(c, c + 3, coef);
        }
    }
    return best >= 0;
}

spc_fwhm_calib spc_fit_fwhm(const std::vector<double>& kev, const std::vector<double>& fwhm,
                            const std::vector<double>& fwhm_err) {
    spc_fwhm_calib f;
    if (kev.size() < 3) return f;
    auto [lo, hi] = std::minmax_element(kev.begin(), kev.end());
    double coef[3];
    if (!(*lo > 0 && *hi >= 2 * *lo) || !spc_fit_fwhm_squared(kev, fwhm, fwhm_err, coef)) return f;
    return {static_cast<int>(kev.size()), coef[0], coef[1], coef[2]};
}

double spc_fwhm_at(const spc_fwhm_calib& f, double kev) {
    if (f.peaks == 0) return 0;
    return std::sqrt(std::max(f.a + f.b * kev + f.c * kev * kev, 0.0));
}
