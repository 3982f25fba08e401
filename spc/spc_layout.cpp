// A figure's layout: a framed plot area whose margins fit the text they hold, ticks and labels on
// both axes, the axis names, the title, the legend, and the peaks' labels placed clear of each
// other. Only text widths come from outside (the font), so the layout is plain arithmetic.
#include <algorithm>
#include <cmath>

#include "spc_plot.h"

spc_figure_layout spc_layout_figure(const spc_spectrum& s, const spc_calib& c,
                                    const std::vector<spc_peak>& peaks, const spc_plot_options& o,
                                    const spc_text_measure& m) {
    spc_figure_layout l;
    auto advance = [&](const std::string& t) { return m.advance(t, m.context); };
    const double pt = o.point, line = m.line_height;
    l.width = o.width, l.height = o.height;
    l.text = 9 * pt;  // every text of the figure: 9 pt
    l.gap = 0.5 * line;
    l.channels = std::max<int>(1, static_cast<int>(s.counts.size()));
    l.energy = spc_energy_axis(c, o);
    l.log = o.log;
    const double gap = l.gap;

    double vmin, vmax;
    spc_value_range(s, o, &vmin, &vmax);
    // Log: from a decade below the smallest count above 0 to a power of ten above the largest.
    // Linear: from 0 to a round value above the largest, with room for the peaks' labels.
    double ystep = 1;
    if (o.log) {
        l.y_lo = std::log10(vmin) - 1;
        l.y_hi = std::max(l.y_lo + 1, std::ceil(std::log10(vmax * 1.3)));
    } else {
        ystep = spc_nice_step(vmax * 1.12, 8);
        l.y_hi = std::ceil(vmax * 1.12 / ystep) * ystep;
    }
    std::vector<std::pair<double, std::string>> values;  // the y ticks: value, text
    if (o.log) {
        for (int d = static_cast<int>(std::ceil(l.y_lo)); d <= l.y_hi; ++d)
            values.emplace_back(std::pow(10.0, d), spc_decade_text(d));
    } else {
        for (double t = 0; t <= l.y_hi + ystep / 2; t += ystep)
            values.emplace_back(t, spc_tick_text(t, ystep));
    }
    // Margins from the text they hold: the widest count label, the axis names, the title.
    double label_w = 0;
    for (const auto& v : values) label_w = std::max(label_w, advance(v.second));
    const double left = line + 2 * gap + label_w + 4 * pt, right = o.width - 2 * gap;
    const double top = (o.title.empty() ? 1 : 2.5) * line, bottom = o.height - 2 * line - 3 * gap;
    l.plot = {left, top, right, bottom};
    const double pw = right - left, ph = bottom - top;

    for (const auto& [v, t] : values) {
        double y = spc_layout_y(l, v);
        l.y_ticks.push_back({y, {left - 1.5 * gap, y, 1, 0.5, t}});
    }
    const int n = l.channels;
    double lo = l.energy ? spc_energy(c, -0.5) : -0.5;
    double hi = l.energy ? spc_energy(c, n - 0.5) : n - 0.5;
    double xstep = spc_nice_step(hi - lo, std::max(2, static_cast<int>(pw / (6 * l.text))));
    for (double t = std::ceil(lo / xstep) * xstep; t <= hi; t += xstep) {
        double x = spc_layout_x(l, l.energy ? spc_channel(c, t) : t);
        l.x_ticks.push_back({x, {x, bottom + 1.5 * gap, 0.5, 0, spc_tick_text(t, xstep)}});
    }
    l.x_name = {left + pw / 2, o.height - gap, 0.5, 1, l.energy ? "Energy (keV)" : "Channel"};
    l.y_name = {gap, top + ph / 2, 0.5, 0, o.log ? o.unit + " (log)" : o.unit};
    l.title = {left, gap, 0, 0, o.title};

    std::vector<spc_box> taken;  // the legend, which labels keep clear of
    if (o.overlay.size() == s.counts.size() && !o.overlay_label.empty()) {
        double y = top + gap;
        for (int k = 0; k < 2; ++k) {
            spc_legend_entry e;
            e.overlay = k == 1;
            std::string t = k == 0 ? o.label : o.overlay_label;
            double w = advance(t), x = right - gap - w;
            e.swatch = {x - 2.5 * gap, y + 0.3 * line, x - 0.7 * gap, y + 0.7 * line};
            e.label = {x, y, 0, 0, t};
            l.legend.push_back(e);
            taken.push_back({x - 2.5 * gap, y, x + w, y + line});
            y += 1.2 * line;
        }
    }

    // Peaks: a label over each line's highest channel within its FWHM, moved up when it would
    // cover another label, a leader line or the legend.
    for (const auto& p : peaks) {
        if (s.counts.empty()) break;
        int from = std::clamp(static_cast<int>(std::floor(p.centroid - p.fwhm / 2)), 0, n - 1);
        int to = std::clamp(static_cast<int>(std::ceil(p.centroid + p.fwhm / 2)), 0, n - 1);
        double highest = *std::max_element(s.counts.begin() + from, s.counts.begin() + to + 1);
        l.label_texts.push_back(spc_peak_label(p, c, l.energy));
        spc_label b;
        b.x = spc_layout_x(l, p.centroid);
        b.y = std::max(top + 2 * line, spc_layout_y(l, highest * o.norm) - gap);
        b.w = advance(l.label_texts.back()) + 4 * pt;
        b.h = line;
        b.area = p.area;
        l.labels.push_back(b);
    }
    spc_place_labels(&l.labels, l.plot, gap, taken);
    return l;
}

double spc_layout_x(const spc_figure_layout& l, double channel) {
    return l.plot[0] + (l.plot[2] - l.plot[0]) * (channel + 0.5) / l.channels;
}

double spc_layout_y(const spc_figure_layout& l, double v) {
    double f = l.log
                   ? (std::log10(std::max(v, std::pow(10.0, l.y_lo))) - l.y_lo) / (l.y_hi - l.y_lo)
                   : v / l.y_hi;
    return l.plot[1] + (l.plot[3] - l.plot[1]) * (1 - std::clamp(f, 0.0, 1.0));
}
