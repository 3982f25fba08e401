// The spectrum drawn as text (Unicode block characters) for a terminal, and as a figure (PNG,
// SVG or PDF through cairo). Both take the same options and mark the same peaks.
#pragma once

#include <string>
#include <vector>

#include "spc_calib.h"
#include "spc_peaks.h"
#include "spc_spectrum.h"

struct spc_plot_options {
    int width = 80;   // terminal: columns; figure: pixels (points for SVG and PDF)
    int height = 16;  // terminal: rows of the plot area; figure: pixels
    bool log = false;
    bool channel_axis = false;  // channels on the x axis even when calibrated
    std::string title;
};

// The axis the plot uses: energy when calibrated (and not told otherwise), else channels.
bool spc_energy_axis(const spc_calib& c, const spc_plot_options& o);

// A step of 1, 2 or 5 times a power of ten that splits `range` into at most `max_ticks` parts.
double spc_nice_step(double range, int max_ticks);

// The label of a peak on a plot: its energy in keV when calibrated, else its channel.
std::string spc_peak_label(const spc_peak& p, const spc_calib& c, bool energy_axis);

// The terminal picture, lines ended by "\n", each at most `width` columns wide.
std::string spc_plot_text(const spc_spectrum& s, const spc_calib& c,
                          const std::vector<spc_peak>& peaks, const spc_plot_options& o);

enum class spc_figure_kind { png, svg, pdf };

// The figure in `kind`'s file format, in `out`. False with `error` when cairo failed.
bool spc_plot_figure(const spc_spectrum& s, const spc_calib& c, const std::vector<spc_peak>& peaks,
                     const spc_plot_options& o, spc_figure_kind kind, std::string* out,
                     std::string* error);

// Releases what cairo and fontconfig keep for the whole run (font caches), so that a leak
// checker sees no memory in use at the end. Call it once, when no more figures follow.
void spc_figure_cleanup();
