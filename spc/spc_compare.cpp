#include "spc_compare.h"

#include <algorithm>
#include <cmath>

void spc_window_net(const std::vector<int32_t>& counts, double centroid, double fwhm, double* net,
                    double* err) {
    int n = static_cast<int>(counts.size());
    double half = 1.25 * std::max(fwhm, 1.0);
    int from = std::clamp(static_cast<int>(std::ceil(centroid - half)), 0, n - 1);
    int to = std::clamp(static_cast<int>(std::floor(centroid + half)), from, n - 1);
    double gross = 0, side = 0;
    int m = 0;
    for (int i = from; i <= to; ++i) gross += counts[i];
    for (int k = 1; k <= 3; ++k) {
        if (from - k >= 0) side += counts[from - k], ++m;
        if (to + k < n) side += counts[to + k], ++m;
    }
    double width = to - from + 1;
    *net = gross - (m ? side / m * width : 0);
    *err = std::sqrt(std::max(gross, 1.0) + (m ? side * (width / m) * (width / m) : 0));
}

std::vector<spc_compared> spc_compare(const std::vector<int32_t>& a, const spc_analysis& aa,
                                      double norm_a, const std::vector<int32_t>& b,
                                      const spc_analysis& ab, double norm_b) {
    std::vector<spc_compared> out;
    std::vector<bool> used(ab.peaks.size());
    auto agree = [](const spc_peak& p, const spc_peak& q) {
        double d = std::abs(p.centroid - q.centroid);
        double cal = 0.005 * 0.5 * (p.centroid + q.centroid);
        double sd = std::hypot(p.centroid_err, q.centroid_err);
        return d <= std::sqrt(9 * sd * sd + cal * cal) + 0.5;
    };
    for (size_t i = 0; i < aa.peaks.size(); ++i) {
        const spc_peak& p = aa.peaks[i];
        if (!spc_is_line(p)) continue;
        int best = -1;
        for (size_t k = 0; k < ab.peaks.size(); ++k) {
            const spc_peak& q = ab.peaks[k];
            if (used[k] || !spc_is_line(q) || !agree(p, q)) continue;
            if (best < 0 ||
                std::abs(q.centroid - p.centroid) < std::abs(ab.peaks[best].centroid - p.centroid))
                best = static_cast<int>(k);
        }
        spc_compared r;
        r.a_peak = static_cast<int>(i);
        r.centroid = p.centroid, r.fwhm = p.fwhm;
        if (best >= 0) {
            used[best] = true;
            r.b_peak = best;
            r.centroid = 0.5 * (p.centroid + ab.peaks[best].centroid);
            r.fwhm = 0.5 * (p.fwhm + ab.peaks[best].fwhm);
        }
        out.push_back(r);
    }
    for (size_t k = 0; k < ab.peaks.size(); ++k) {
        if (used[k] || !spc_is_line(ab.peaks[k])) continue;
        spc_compared r;
        r.b_peak = static_cast<int>(k);
        r.centroid = ab.peaks[k].centroid, r.fwhm = ab.peaks[k].fwhm;
        out.push_back(r);
    }
    for (auto& r : out) {
        spc_window_net(a, r.centroid, r.fwhm, &r.a, &r.a_err);
        spc_window_net(b, r.centroid, r.fwhm, &r.b, &r.b_err);
        r.a *= norm_a, r.a_err *= norm_a, r.b *= norm_b, r.b_err *= norm_b;
    }
    std::sort(out.begin(), out.end(), [](auto& x, auto& y) { return x.centroid < y.centroid; });
    return out;
}
