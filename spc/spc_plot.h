// The spectrum drawn as text (Unicode block characters) for a terminal, and as a figure (PNG,
// SVG or PDF through cairo). Both take the same options and mark the same peaks.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "spc_calib.h"
#include "spc_peaks.h"
#include "spc_spectrum.h"

struct spc_plot_options {
    int width = 80;    // terminal: columns; figure: pixels (points for SVG and PDF)
    int height = 16;   // terminal: rows of the plot area; figure: pixels
    double point = 1;  // figure: pixels (or points) per typographic point of its text
    bool log = false;
    bool channel_axis = false;  // channels on the x axis even when calibrated
    std::string title;
    double norm = 1;  // the spectrum's counts are drawn times this (per second of live time)
    std::string unit = "Counts";  // what the y axis shows
    // A second curve over the spectrum, one value per channel (NaN: none there): the fitted
    // model, or a second spectrum. Drawn as dots in the terminal, a line in a figure.
    std::vector<double> overlay;
    std::string label, overlay_label;  // the legend of a figure with an overlay
};

// Figures: a report column's width with 9 pt text.
constexpr double SPC_FIGURE_WIDTH_CM = 16, SPC_FIGURE_HEIGHT_CM = 10;
constexpr double SPC_FIGURE_DPI = 200;  // PNG pixels per inch

// The axis the plot uses: energy when calibrated (and not told otherwise), else channels.
bool spc_energy_axis(const spc_calib& c, const spc_plot_options& o);

// A step of 1, 2 or 5 times a power of ten that splits `range` into at most `max_ticks` parts.
double spc_nice_step(double range, int max_ticks);

// The smallest value above 0 and the largest value drawn: the counts times `o.norm` and the
// overlay. Both 1 when nothing is above 0. A log axis starts a decade below the smallest.
void spc_value_range(const spc_spectrum& s, const spc_plot_options& o, double* smallest,
                     double* largest);

// A figure's tick label: `v` on a scale of `step`, with as many decimals as the step needs (a
// value within half a step of 0 is 0).
std::string spc_tick_text(double v, double step);

// The label of the decade 10^d on a log axis: "1", "10" ... "100000" and "0.1" ... "0.0001",
// beyond those "1e+06", "1e-05" (at most six characters).
std::string spc_decade_text(int d);

// The label of a peak on a plot: its energy in keV when calibrated, else its channel.
std::string spc_peak_label(const spc_peak& p, const spc_calib& c, bool energy_axis);

// The terminal picture, lines ended by "\n", each at most `width` columns wide, the x axis's
// unit always on its last line.
std::string spc_plot_text(const spc_spectrum& s, const spc_calib& c,
                          const std::vector<spc_peak>& peaks, const spc_plot_options& o);

// x0, y0, x1, y1 (y down).
using spc_box = std::array<double, 4>;
bool spc_overlaps(const spc_box& a, const spc_box& b);

// A peak's label on a figure: the top of its line (x, y), the label's size and the peak's area
// in; where it went out.
struct spc_label {
    double x = 0, y = 0, w = 0, h = 0, area = 0;
    spc_box box{};
    bool placed = false;  // false: no room (only the line's tick is drawn)
};

// Places the labels, the larger peaks' first, each above its line (centred, or ending or
// starting at it) at the lowest height inside `frame` where it covers no other label, no tick
// (`tick` long, above each line) and nothing `taken`, and its leader line from the line's top
// crosses no label.
void spc_place_labels(std::vector<spc_label>* labels, const spc_box& frame, double tick,
                      const std::vector<spc_box>& taken);

// Text on a figure: drawn with its point (`ax`, `ay`) at (x, y); `ax` 0 is its left edge, 0.5 its
// centre, 1 its right edge, `ay` likewise from its top.
struct spc_text_at {
    double x = 0, y = 0, ax = 0, ay = 0;
    std::string text;
};

// A tick: its position along its axis (pixels) and its label.
struct spc_tick {
    double at = 0;
    spc_text_at label;
};

struct spc_legend_entry {
    spc_box swatch{};  // the colour's block
    spc_text_at label;
    bool overlay = false;  // the overlay's colour, else the spectrum's
};

// Where everything of a figure goes, in its pixels (points for SVG and PDF), y down; drawing
// it is spc_plot_figure's only other work.
struct spc_figure_layout {
    double width = 0, height = 0;
    double text = 0;  // the size of every text
    double gap = 0;   // half a line: tick length, distance of labels
    spc_box plot{};   // the frame
    int channels = 1;
    bool energy = false, log = false;
    // The value axis: counts (times the norm) from 0 to y_hi, or with `log` the decades
    // 10^y_lo to 10^y_hi.
    double y_lo = 0, y_hi = 1;
    std::vector<spc_tick> x_ticks, y_ticks;  // x: below the frame, y: left of it
    spc_text_at x_name, y_name, title;       // y_name is turned a quarter left about its point
    std::vector<spc_legend_entry> legend;
    std::vector<spc_label> labels;  // the peaks', in the order of the peaks
    std::vector<std::string> label_texts;
};

// The figure's text measured: a text's advance in pixels, and a line's height, at the size of
// `o.point` times 9 points.
struct spc_text_measure {
    double (*advance)(const std::string& text, void* context) = nullptr;
    void* context = nullptr;
    double line_height = 0;
};

spc_figure_layout spc_layout_figure(const spc_spectrum& s, const spc_calib& c,
                                    const std::vector<spc_peak>& peaks, const spc_plot_options& o,
                                    const spc_text_measure& measure);

// The pixel column of a channel (its centre) and the pixel row of a value on the layout's axes.
double spc_layout_x(const spc_figure_layout& l, double channel);
double spc_layout_y(const spc_figure_layout& l, double value);

enum class spc_figure_kind { png, svg, pdf };

// The figure in `kind`'s file format, in `out`. False with `error` when cairo failed.
bool spc_plot_figure(const spc_spectrum& s, const spc_calib& c, const std::vector<spc_peak>& peaks,
                     const spc_plot_options& o, spc_figure_kind kind, std::string* out,
                     std::string* error);

// Releases what cairo and fontconfig keep for the whole run (font caches), so that a leak
// checker sees no memory in use at the end. Call it once, when no more figures follow.
void spc_figure_cleanup();
