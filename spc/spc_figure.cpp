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

std::string tick_text(double v, double step) {
    char buf[32];
    if (std::abs(v) < step / 2) v = 0;
    if (std::abs(v) >= 1e6)
        std::snprintf(buf, sizeof buf, "%.0e", v);
    else
        std::snprintf(buf, sizeof buf, step < 1 ? "%.1f" : "%.0f", v);
    return buf;
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
    const double W = o.width, H = o.height;
    const double left = 80, right = 24, top = 44, bottom = 60;
    const double pw = W - left - right, ph = H - top - bottom;
    int n = static_cast<int>(s.counts.size());
    bool energy = spc_energy_axis(c, o);

    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);

    double vmax = std::max(1.0, double(*std::max_element(s.counts.begin(), s.counts.end())));
    double ymin, ymax;
    if (o.log) {
        ymin = 0;  // log10 of 0.8: zero counts sit on the bottom edge
        ymax = std::ceil(std::log10(vmax * 1.3));
    } else {
        ymin = 0;
        double step = spc_nice_step(vmax * 1.12, 10);
        ymax = std::ceil(vmax * 1.12 / step) * step;
    }
    auto Y = [&](double v) {
        double f = o.log ? (std::log10(std::max(v, 0.8)) - ymin) / (ymax - ymin) : v / ymax;
        return top + ph * (1 - std::clamp(f, 0.0, 1.0));
    };
    auto X = [&](double channel) { return left + pw * (channel + 0.5) / n; };

    // The spectrum: one step per channel, filled below.
    cairo_move_to(cr, X(-0.5), Y(0));
    for (int i = 0; i < n; ++i) {
        cairo_line_to(cr, X(i - 0.5), Y(s.counts[i]));
        cairo_line_to(cr, X(i + 0.5), Y(s.counts[i]));
    }
    cairo_line_to(cr, X(n - 0.5), Y(0));
    cairo_close_path(cr);
    cairo_set_source_rgb(cr, 0.75, 0.83, 0.95);
    cairo_fill_preserve(cr);
    cairo_set_source_rgb(cr, 0.1, 0.25, 0.6);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);

    // Frame, ticks and tick labels.
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_set_line_width(cr, 1.2);
    cairo_rectangle(cr, left, top, pw, ph);
    cairo_stroke(cr);
    cairo_set_font_size(cr, 13);
    double lo = energy ? spc_energy(c, -0.5) : -0.5, hi = energy ? spc_energy(c, n - 0.5) : n - 0.5;
    double xstep = spc_nice_step(hi - lo, std::max(2, static_cast<int>(pw / 90)));
    for (double t = std::ceil(lo / xstep) * xstep; t <= hi; t += xstep) {
        double x = X(energy ? spc_channel(c, t) : t);
        cairo_move_to(cr, x, top + ph);
        cairo_line_to(cr, x, top + ph + 6);
        text_at(cr, x, top + ph + 10, tick_text(t, xstep), 0.5, 0);
    }
    if (o.log) {
        for (int d = static_cast<int>(ymin); d <= ymax; ++d) {
            double y = Y(std::pow(10.0, d));
            cairo_move_to(cr, left - 6, y);
            cairo_line_to(cr, left, y);
            text_at(cr, left - 10, y, tick_text(std::pow(10.0, d), 1), 1, 0.5);
        }
    } else {
        double ystep = spc_nice_step(ymax, std::max(2, static_cast<int>(ph / 60)));
        for (double t = 0; t <= ymax + ystep / 2; t += ystep) {
            cairo_move_to(cr, left - 6, Y(t));
            cairo_line_to(cr, left, Y(t));
            text_at(cr, left - 10, Y(t), tick_text(t, ystep), 1, 0.5);
        }
    }
    cairo_stroke(cr);

    // Axis names and the title.
    cairo_set_font_size(cr, 15);
    text_at(cr, left + pw / 2, H - 22, energy ? "Energy (keV)" : "Channel", 0.5, 0);
    cairo_save(cr);
    cairo_translate(cr, 18, top + ph / 2);
    cairo_rotate(cr, -M_PI / 2);
    text_at(cr, 0, 0, o.log ? "Counts (log)" : "Counts", 0.5, 0);
    cairo_restore(cr);
    if (!o.title.empty()) text_at(cr, left, 14, o.title, 0, 0);

    // Peaks: a red tick above each line and its energy or channel on a white ground; a label
    // that would cover another one moves up.
    cairo_set_font_size(cr, 12);
    std::vector<std::array<double, 4>> placed;  // x0, y0, x1, y1 of the labels so far
    for (const auto& p : peaks) {
        int from = std::clamp(static_cast<int>(std::floor(p.centroid - p.fwhm / 2)), 0, n - 1);
        int to = std::clamp(static_cast<int>(std::ceil(p.centroid + p.fwhm / 2)), 0, n - 1);
        double highest = *std::max_element(s.counts.begin() + from, s.counts.begin() + to + 1);
        double x = X(p.centroid), y = std::max(top + 40, Y(highest) - 6);
        std::string label = spc_peak_label(p, c, energy);
        cairo_text_extents_t e;
        cairo_text_extents(cr, label.c_str(), &e);
        // Centred over the line, but inside the plot area.
        double tx = std::clamp(x, left + e.width / 2 + 3, left + pw - e.width / 2 - 3);
        double bx0 = tx - e.width / 2 - 2, bx1 = tx + e.width / 2 + 2;
        double by1 = y - 14, by0 = by1 - e.height - 4;
        for (bool moved = true; moved;) {
            moved = false;
            for (const auto& r : placed)
                if (bx0 < r[2] && bx1 > r[0] && by0 < r[3] && by1 > r[1]) {
                    double shift = by1 - r[1] + 2;
                    by0 -= shift;
                    by1 -= shift;
                    moved = true;
                }
        }
        placed.push_back({bx0, by0, bx1, by1});
        cairo_set_source_rgb(cr, 0.8, 0.1, 0.1);
        cairo_move_to(cr, x, y);
        cairo_line_to(cr, x, by1);
        cairo_stroke(cr);
        cairo_set_source_rgba(cr, 1, 1, 1, 0.85);
        cairo_rectangle(cr, bx0, by0, bx1 - bx0, by1 - by0);
        cairo_fill(cr);
        cairo_set_source_rgb(cr, 0.8, 0.1, 0.1);
        text_at(cr, tx, by0 + 2, label, 0.5, 0);
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
