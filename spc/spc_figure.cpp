// The figure through cairo: a framed plot area, ticks and labels on both axes, the spectrum as
// a filled step line, each peak marked and labelled with its energy or channel.
#include <cairo-pdf.h>
#include <cairo-svg.h>
#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <vector>

#include "spc_plot.h"

namespace {

cairo_status_t append(void* closure, const unsigned char* data, unsigned int length) {
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

// Text with its anchor: `ax` 0 left, 0.5 centre, 1 right; `ay` likewise from the top.
void text_at(cairo_t* cr, double x, double y, const std::string& s, double ax, double ay) {
    cairo_text_extents_t e;
    cairo_text_extents(cr, s.c_str(), &e);
    cairo_move_to(cr, x - e.x_bearing - ax * e.width, y - e.y_bearing - ay * e.height);
    cairo_show_text(cr, s.c_str());
}

void draw(cairo_t* cr, const spc_spectrum& s, const spc_calib& c,
          const std::vector<spc_peak>& peaks, const spc_plot_options& o) {
    const double W = o.width, H = o.height, pt = o.point;
    const double text = 9 * pt;  // every text of the figure: 9 pt
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, text);
    cairo_font_extents_t fe;
    cairo_font_extents(cr, &fe);
    const double gap = 0.5 * fe.height;
    int n = static_cast<int>(s.counts.size());
    bool energy = spc_energy_axis(c, o);
    bool overlaid = o.overlay.size() == s.counts.size();

    double vmin, vmax;
    spc_value_range(s, o, &vmin, &vmax);
    // Log: from a decade below the smallest count above 0 to a power of ten above the largest.
    double ymin = 0, ymax, ystep = 1;
    if (o.log) {
        ymin = std::log10(vmin) - 1;
        ymax = std::max(ymin + 1, std::ceil(std::log10(vmax * 1.3)));
    } else {
        ystep = spc_nice_step(vmax * 1.12, 8);
        ymax = std::ceil(vmax * 1.12 / ystep) * ystep;
    }
    // Margins from the text they hold: the widest count label, the axis names, the title.
    double label_w = 0;
    std::vector<std::pair<double, std::string>> yticks;  // value, text
    if (o.log) {
        for (int d = static_cast<int>(std::ceil(ymin)); d <= ymax; ++d)
            yticks.emplace_back(std::pow(10.0, d), spc_tick_text(std::pow(10.0, d), 1));
    } else {
        for (double t = 0; t <= ymax + ystep / 2; t += ystep)
            yticks.emplace_back(t, spc_tick_text(t, ystep));
    }
    for (const auto& [v, t] : yticks) {
        cairo_text_extents_t e;
        cairo_text_extents(cr, t.c_str(), &e);
        label_w = std::max(label_w, e.x_advance);
    }
    const double left = fe.height + 2 * gap + label_w + 4 * pt, right = 2 * gap;
    const double top = (o.title.empty() ? 1 : 2.5) * fe.height, bottom = 2 * fe.height + 3 * gap;
    const double pw = W - left - right, ph = H - top - bottom;

    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    auto Y = [&](double v) {
        double f = o.log ? (std::log10(std::max(v, std::pow(10.0, ymin))) - ymin) / (ymax - ymin)
                         : v / ymax;
        return top + ph * (1 - std::clamp(f, 0.0, 1.0));
    };
    auto X = [&](double channel) { return left + pw * (channel + 0.5) / n; };

    // The spectrum: one step per channel, filled below.
    cairo_move_to(cr, X(-0.5), Y(0));
    for (int i = 0; i < n; ++i) {
        cairo_line_to(cr, X(i - 0.5), Y(s.counts[i] * o.norm));
        cairo_line_to(cr, X(i + 0.5), Y(s.counts[i] * o.norm));
    }
    cairo_line_to(cr, X(n - 0.5), Y(0));
    cairo_close_path(cr);
    cairo_set_source_rgb(cr, 0.75, 0.83, 0.95);
    cairo_fill_preserve(cr);
    cairo_set_source_rgb(cr, 0.1, 0.25, 0.6);
    cairo_set_line_width(cr, 0.5 * pt);
    cairo_stroke(cr);
    // The overlay: a line through its values, broken where it has none.
    if (overlaid) {
        bool drawing = false;
        for (int i = 0; i < n; ++i) {
            if (!std::isfinite(o.overlay[i])) {
                drawing = false;
                continue;
            }
            if (drawing)
                cairo_line_to(cr, X(i), Y(o.overlay[i]));
            else
                cairo_move_to(cr, X(i), Y(o.overlay[i]));
            drawing = true;
        }
        cairo_set_source_rgb(cr, 0.85, 0.4, 0.0);
        cairo_set_line_width(cr, 0.8 * pt);
        cairo_stroke(cr);
    }

    // Frame, ticks and tick labels.
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_set_line_width(cr, 0.6 * pt);
    cairo_rectangle(cr, left, top, pw, ph);
    cairo_stroke(cr);
    double lo = energy ? spc_energy(c, -0.5) : -0.5, hi = energy ? spc_energy(c, n - 0.5) : n - 0.5;
    double xstep = spc_nice_step(hi - lo, std::max(2, static_cast<int>(pw / (6 * text))));
    for (double t = std::ceil(lo / xstep) * xstep; t <= hi; t += xstep) {
        double x = X(energy ? spc_channel(c, t) : t);
        cairo_move_to(cr, x, top + ph);
        cairo_line_to(cr, x, top + ph + gap);
        text_at(cr, x, top + ph + 1.5 * gap, spc_tick_text(t, xstep), 0.5, 0);
    }
    for (const auto& [v, t] : yticks) {
        cairo_move_to(cr, left - gap, Y(v));
        cairo_line_to(cr, left, Y(v));
        text_at(cr, left - 1.5 * gap, Y(v), t, 1, 0.5);
    }
    cairo_stroke(cr);

    // Axis names, the title and the legend.
    text_at(cr, left + pw / 2, H - gap, energy ? "Energy (keV)" : "Channel", 0.5, 1);
    cairo_save(cr);
    cairo_translate(cr, gap, top + ph / 2);
    cairo_rotate(cr, -M_PI / 2);
    text_at(cr, 0, 0, o.log ? o.unit + " (log)" : o.unit, 0.5, 0);
    cairo_restore(cr);
    if (!o.title.empty()) text_at(cr, left, gap, o.title, 0, 0);
    std::vector<spc_box> placed;  // the legend
    if (overlaid && !o.overlay_label.empty()) {
        double y = top + gap;
        for (int k = 0; k < 2; ++k) {
            const std::string& t = k == 0 ? o.label : o.overlay_label;
            cairo_text_extents_t e;
            cairo_text_extents(cr, t.c_str(), &e);
            double x = left + pw - gap - e.x_advance;
            if (k == 0)
                cairo_set_source_rgb(cr, 0.1, 0.25, 0.6);
            else
                cairo_set_source_rgb(cr, 0.85, 0.4, 0.0);
            cairo_rectangle(cr, x - 2.5 * gap, y + 0.3 * fe.height, 1.8 * gap, 0.4 * fe.height);
            cairo_fill(cr);
            cairo_set_source_rgb(cr, 0, 0, 0);
            text_at(cr, x, y, t, 0, 0);
            placed.push_back({x - 2.5 * gap, y, x + e.x_advance, y + fe.height});
            y += 1.2 * fe.height;
        }
    }

    // Peaks: a red tick above each line and its energy or channel on a white ground. A label
    // that would cover another label or a leader line moves up, and so does one whose own
    // leader line would cross a label; one that finds no room above the plot's top is left out.
    std::vector<spc_label> labels;
    std::vector<std::string> texts;
    for (const auto& p : peaks) {
        int from = std::clamp(static_cast<int>(std::floor(p.centroid - p.fwhm / 2)), 0, n - 1);
        int to = std::clamp(static_cast<int>(std::ceil(p.centroid + p.fwhm / 2)), 0, n - 1);
        double highest = *std::max_element(s.counts.begin() + from, s.counts.begin() + to + 1);
        texts.push_back(spc_peak_label(p, c, energy));
        cairo_text_extents_t e;
        cairo_text_extents(cr, texts.back().c_str(), &e);
        spc_label l;
        l.x = X(p.centroid);
        l.y = std::max(top + 2 * fe.height, Y(highest * o.norm) - gap);
        l.w = e.width + 4 * pt;
        l.h = fe.height;
        l.area = p.area;
        labels.push_back(l);
    }
    spc_place_labels(&labels, {left, top, left + pw, top + ph}, gap, placed);
    for (size_t k = 0; k < labels.size(); ++k) {
        const spc_label& l = labels[k];
        cairo_set_source_rgb(cr, 0.8, 0.1, 0.1);
        cairo_set_line_width(cr, 0.6 * pt);
        cairo_move_to(cr, l.x, l.y);
        cairo_line_to(cr, l.x, l.placed ? l.box[3] : l.y - gap);
        cairo_stroke(cr);
        if (!l.placed) continue;
        cairo_set_source_rgba(cr, 1, 1, 1, 0.85);
        cairo_rectangle(cr, l.box[0], l.box[1], l.box[2] - l.box[0], l.box[3] - l.box[1]);
        cairo_fill(cr);
        cairo_set_source_rgb(cr, 0.8, 0.1, 0.1);
        cairo_text_extents_t e;
        cairo_text_extents(cr, texts[k].c_str(), &e);
        text_at(cr, 0.5 * (l.box[0] + l.box[2]), l.box[1] + 0.5 * (l.h - e.height), texts[k], 0.5,
                0);
    }
}

}  // namespace

bool spc_plot_figure(const spc_spectrum& s, const spc_calib& c, const std::vector<spc_peak>& peaks,
                     const spc_plot_options& o, spc_figure_kind kind, std::string* out,
                     std::string* error) {
    out->clear();
    cairo_surface_t* surface = nullptr;
    switch (kind) {
        case spc_figure_kind::png:
            surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, o.width, o.height);
            break;
        case spc_figure_kind::svg:
            surface = cairo_svg_surface_create_for_stream(append, out, o.width, o.height);
            break;
        case spc_figure_kind::pdf:
            surface = cairo_pdf_surface_create_for_stream(append, out, o.width, o.height);
            break;
    }
    cairo_t* cr = cairo_create(surface);
    draw(cr, s, c, peaks, o);
    cairo_status_t status = cairo_status(cr);
    cairo_destroy(cr);
    if (status == CAIRO_STATUS_SUCCESS && kind == spc_figure_kind::png)
        status = cairo_surface_write_to_png_stream(surface, append, out);
    cairo_surface_finish(surface);
    if (status == CAIRO_STATUS_SUCCESS) status = cairo_surface_status(surface);
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS) *error = cairo_status_to_string(status);
    return status == CAIRO_STATUS_SUCCESS;
}

void spc_figure_cleanup() {
    cairo_debug_reset_static_data();
    FcFini();
}
