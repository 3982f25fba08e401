// The figure through cairo: its layout (spc_layout.cpp) drawn, the spectrum as a filled step
// line, the overlay as a line, each peak marked and labelled with its energy or channel.
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

void show(cairo_t* cr, const spc_text_at& t) {
    if (!t.text.empty()) text_at(cr, t.x, t.y, t.text, t.ax, t.ay);
}

double advance(const std::string& text, void* context) {
    cairo_text_extents_t e;
    cairo_text_extents(static_cast<cairo_t*>(context), text.c_str(), &e);
    return e.x_advance;
}

void draw(cairo_t* cr, const spc_spectrum& s, const spc_calib& c,
          const std::vector<spc_peak>& peaks, const spc_plot_options& o) {
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, 9 * o.point);
    cairo_font_extents_t fe;
    cairo_font_extents(cr, &fe);
    const spc_figure_layout l = spc_layout_figure(s, c, peaks, o, {advance, cr, fe.height});
    const double pt = o.point, gap = l.gap;
    const auto [left, top, right, bottom] = l.plot;
    const int n = static_cast<int>(s.counts.size());
    auto X = [&](double channel) { return spc_layout_x(l, channel); };
    auto Y = [&](double v) { return spc_layout_y(l, v); };

    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
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
    if (o.overlay.size() == s.counts.size()) {
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
    cairo_rectangle(cr, left, top, right - left, bottom - top);
    cairo_stroke(cr);
    for (const auto& t : l.x_ticks) {
        cairo_move_to(cr, t.at, bottom);
        cairo_line_to(cr, t.at, bottom + gap);
        show(cr, t.label);
    }
    for (const auto& t : l.y_ticks) {
        cairo_move_to(cr, left - gap, t.at);
        cairo_line_to(cr, left, t.at);
        show(cr, t.label);
    }
    cairo_stroke(cr);

    // Axis names, the title and the legend.
    show(cr, l.x_name);
    cairo_save(cr);
    cairo_translate(cr, l.y_name.x, l.y_name.y);
    cairo_rotate(cr, -M_PI / 2);
    show(cr, {0, 0, l.y_name.ax, l.y_name.ay, l.y_name.text});
    cairo_restore(cr);
    show(cr, l.title);
    for (const auto& e : l.legend) {
        if (e.overlay)
            cairo_set_source_rgb(cr, 0.85, 0.4, 0.0);
        else
            cairo_set_source_rgb(cr, 0.1, 0.25, 0.6);
        cairo_rectangle(cr, e.swatch[0], e.swatch[1], e.swatch[2] - e.swatch[0],
                        e.swatch[3] - e.swatch[1]);
        cairo_fill(cr);
        cairo_set_source_rgb(cr, 0, 0, 0);
        show(cr, e.label);
    }

    // Peaks: a red tick above each line and its energy or channel on a white ground; a label
    // that found no room keeps its tick only.
    for (size_t k = 0; k < l.labels.size(); ++k) {
        const spc_label& b = l.labels[k];
        cairo_set_source_rgb(cr, 0.8, 0.1, 0.1);
        cairo_set_line_width(cr, 0.6 * pt);
        cairo_move_to(cr, b.x, b.y);
        cairo_line_to(cr, b.x, b.placed ? b.box[3] : b.y - gap);
        cairo_stroke(cr);
        if (!b.placed) continue;
        cairo_set_source_rgba(cr, 1, 1, 1, 0.85);
        cairo_rectangle(cr, b.box[0], b.box[1], b.box[2] - b.box[0], b.box[3] - b.box[1]);
        cairo_fill(cr);
        cairo_set_source_rgb(cr, 0.8, 0.1, 0.1);
        cairo_text_extents_t e;
        cairo_text_extents(cr, l.label_texts[k].c_str(), &e);
        text_at(cr, 0.5 * (b.box[0] + b.box[2]), b.box[1] + 0.5 * (b.h - e.height),
                l.label_texts[k], 0.5, 0);
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
