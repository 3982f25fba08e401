// Peak search: the lines of a spectrum with counting noise, each measured by a fit of Gaussians
// integrated over each channel on a continuum that may bend.
//
// Search: the spectrum is filtered with zero-area kernels (the negative second derivative of a
// Gaussian, integrated over each channel) of widths from half a channel to a sixteenth of the
// spectrum; wide kernels run on the spectrum summed into 2, 4, 8... channels, so the whole search
// costs a few hundred operations per channel whatever the widths. The response over its
// standard deviation under Poisson counting is the significance; local maxima above the threshold
// are candidates. Each candidate's own width is measured from the zero crossings of its response;
// among candidates at one place the most significant is kept, unless two or more narrower ones
// resolve it.
// Fit, in stages: candidates whose lines reach each other are fitted together (a chain longer
// than one fit takes is cut where its lines stand furthest apart, the pieces' windows
// overlapping); a first round on a straight continuum measures each line, a second fits every
// continuum (linear, quadratic, exponential) by Poisson-weighted least squares and keeps the one
// with the lowest chi-square plus twice its parameters, then tries a smoothed step under the
// peaks (the detector's response) the same way. Implausible peaks are dropped; a group the model
// does not describe, or a peak too wide for the spectrum's width model, is tried as one more
// line; a lone peak that a smoothed step describes as well (a Compton edge) is dropped. A
// strong candidate that no fit kept, or that a group's fit took into a bump, is fitted alone in
// a short window on a curved continuum, the well-measured lines reaching into the window taken
// as measured; failing that, one no fit held is reported without a fit (flag F); a bump never
// stands for a narrow line beneath it. The fitted peaks are subtracted and the residual searched
// once more; that pass's fits replace the first's only where they lose no line or describe the
// counts better, and never where they lost a strong line of the first or a bump of theirs took
// one up (a line the second pass fitted alone off the first's lines is kept either way).
// Width model: FWHM^2 = a + b x + c x^2 (x the channel, a, b, c >= 0), fitted to the
// well-measured lone peaks (not one far wider than a peak above it: a blend or a bump); peaks
// are flagged against it, against the strong lines above them (lines never narrow as the energy
// rises) and against the threshold's cut, and, with an energy calibration, where the top of a
// stronger line's Compton edge lies.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "spc_calib.h"

enum class spc_continuum_kind { linear, quadratic, exponential };

// Why a peak is not taken as a line of the spectrum, or how far to trust it (bits).
enum spc_peak_flag : unsigned {
    SPC_FLAG_WIDTH = 1,      // W: its width does not fit the width model
    SPC_FLAG_WIDE = 2,       // B: a bump, not a line: far wider than the width model or a
                             // strong line above allows, or a Compton edge's top (edge_top_wide,
                             // edge_top_step)
    SPC_FLAG_THRESHOLD = 4,  // T: its low side lies in the threshold region: the cut's shape
    SPC_FLAG_QUALITY = 8,    // Q: its group's chi-square per degree of freedom is above the limit
    SPC_FLAG_NO_FIT = 16,    // F: no fit held it; counts above a straight line under it
};

struct spc_peak {
    double centroid = 0, centroid_err = 0;  // channel (channel i's centre at i)
    double fwhm = 0, fwhm_err = 0;          // channels
    double area = 0, area_err = 0;          // net counts above the continuum
    double continuum = 0;                   // continuum counts under centroid +- FWHM
    int group = 0;                          // index into spc_analysis::groups
    bool width_flag = false;                // its width does not fit the width model
    bool reference = false;                 // one of the peaks the width model was fitted to
    unsigned flags = 0;                     // spc_peak_flag bits
    bool recovered = false;                 // a strong line no group's fit kept, fitted alone
};

// A line of the spectrum: not a bump, not the threshold's cut (a W or Q peak still is one).
bool spc_is_line(const spc_peak& p);
// The flags as letters ("WQ"), empty for none.
std::string spc_flag_letters(unsigned flags);

// One fit: channels lo..hi, its continuum and how well the model describes them.
struct spc_group {
    int lo = 0, hi = 0;
    spc_continuum_kind kind = spc_continuum_kind::linear;
    double xc = 0, half = 1;  // the continuum's variable is t = (x - xc) / half
    double c[3] = {0, 0, 0};  // a + b t (+ c t^2), or exp(a + b t)
    double step = 0;          // each peak's step under it, as a part of the peak's height
    // A Compton edge in the continuum, a density falling to nothing at a place, seen through the
    // detector's resolution: its height per channel there, the place, the resolution's width
    // (channels) and the density's slope below the place (per channel; height and slope 0: none).
    double edge[4] = {0, 0, 0, 0};
    double chisq = 0;
    int dof = 0;
    int peaks = 0;
};

// FWHM^2 = a + b x + c x^2 in channels with a, b, c >= 0, fitted to `peaks` lone, well-measured
// peaks, the lowest at channel `reference` (0: none, and nothing is flagged; 1: b x through the
// one, which only flags bumps far too wide). It judges peaks from half that channel on (a
// quarter with one peak): extrapolated further down it tells nothing.
struct spc_width_model {
    int peaks = 0;
    double a = 0, b = 0, c = 0;
    double reference = 0;
};

struct spc_analysis {
    std::vector<spc_peak> peaks;  // in channel order
    std::vector<spc_group> groups;
    spc_width_model width;
    int threshold = 0;  // channels below it are the electronic threshold's cut (0: none)
};

// Every threshold of the search and the fits, with the reason for its value.
struct spc_peak_options {
    // A candidate's significance in the filter: 4.5 sigma gives about one noise candidate in
    // 3 x 10^5 channel-widths, a few in a large spectrum, which the fit then drops.
    double search_sigma = 4.5;
    // A fitted peak's area over its uncertainty: below 3.5 a fit takes noise up as often as not.
    double area_sigma = 3.5;
    // A candidate this significant is never dropped: when no fit holds it, it is reported with
    // a fit-free area (flag F). 20 sigma of Poisson noise never happens.
    double strong_sigma = 20;
    // A candidate this significant that a group's fit judged implausible (a wide bump of the
    // continuum, a Compton edge or backscatter, took its counts) is fitted once more alone, as a
    // line of the width model on a curved continuum. The filter measures a line on such a
    // structure low (the structure's own curvature enters its response), and 15 sigma of noise
    // never happens either. A line of the first pass this significant that a bump of the second
    // took up keeps the first pass's fit there.
    double retry_sigma = 15;
    // A peak is tried as the top of a Compton edge when the counts fall across it (from 2 to 3
    // sigma below to as far above) by this part of its height at least: a line on a smooth
    // continuum shows a fall of a few per cent (its step), the top of an edge one of its height.
    double edge_fall = 0.5;
    // A line on the foot of a Compton edge, which the search cannot see, is kept when it lowers
    // the chi-square of the edge's fit by more than this: 25, five sigma for its one area (its
    // place and width are guided).
    double edge_chi2 = 25;
    // Where no width model tells a blend, the peaks of a group the model does not describe are
    // each tried as two lines of one shared width; two of them closer than this many of their
    // sigma are one peak of another shape as much as two lines, and the trial is not taken.
    double doublet_sigma = 1.5;
    // Flag Q above this chi-square per degree of freedom: the model then misses a real shape.
    double quality_chi2 = 3;
    // Flag W: FWHM off the width model by more than 3 uncertainties (model spread 10 %).
    double width_sd = 3;
    // Flag B, not a line: FWHM this many times the model's (a scintillator's blend of two
    // lines reaches about 1.6), or a strong line's (strong_sigma) above it, which also judges
    // where the model does not (a detector's lines never narrow as the energy rises).
    double wide_factor = 1.8;
    // Flag B too: a lone peak on a step higher than itself and this many times the model's
    // FWHM. That is the top of a Compton edge: the scatter's density rises to the edge and falls
    // by more than the peak's height across it, some 1.2 to 1.7 times a line's width. A line's
    // own step is a few per cent of its height; a line on a backscatter bump may stand on a step
    // that high, but has the line's width.
    double edge_top_wide = 1.2;
    // Flag B too, with an energy calibration: a peak on a step of most of its height
    // (edge_top_step) whose centroid lies 0.4 to 1.1 of its own sigma below the Compton edge of
    // a line with two fifths of its area or more (edge_top_below, edge_top_area). The scattered
    // photons' density rises to the edge and falls through the resolution: its top, a peak of
    // about a line's width, lies that far below the edge (0.5 to 1.0 sigma on a handheld's
    // spectra), and holds a tenth of its line's counts at 662 keV, twice them at 2614 keV, where
    // a small crystal absorbs few photons whole. A line of the spectrum that lies there is seldom
    // strong beside the top's counts; a line on a backscatter bump lies far below any edge.
    double edge_top_step = 0.8;
    double edge_top_below[2] = {0.4, 1.1};
    double edge_top_area = 0.4;
    // A line fitted alone sees the lines reported near it as they were measured, their counts
    // taken as given, when they are well measured: a group the model describes (chi-square per
    // degree of freedom within quality_chi2), a FWHM within this many times the width model's
    // (a wider peak may stand for a Compton edge or a blend, whose counts are not a line's).
    double known_wide = 1.3;
    // A floor under the centroid's uncertainty of a line fitted with a step (a detector's real
    // response), as a part of the line's sigma: such a line is not quite the model's Gaussian
    // with a step (a scintillator's low tail, the step's real shape, a Compton edge beneath),
    // which moves the centroid of a strong line by a few hundredths of its width whatever its
    // counts. On a handheld's spectra the centroids of lines above 100 sigma stray by 0.01 to
    // 0.04 sigma from the truth. A bare Gaussian (no step) is the model itself: no floor.
    double centroid_shape = 0.03;
    // Lines fitted together at most: the fit costs the cube of its parameters; a longer chain
    // is fitted in pieces whose windows overlap.
    int max_group_peaks = 12;
    // The fits' work (channels times parameters, summed) per channel of the spectrum, of 50,000
    // channels at least: beyond it strong candidates are measured without a fit (flag F) and
    // weak ones dropped, so any spectrum costs linear time.
    double fit_work_per_channel = 400;
};

// With an energy calibration, the tops of Compton edges are told from lines as well (flag B).
spc_analysis spc_analyse(const std::vector<int32_t>& counts, const spc_peak_options& opt = {},
                         const spc_calib& calib = {});

// The peaks alone, in channel order.
std::vector<spc_peak> spc_find_peaks(const std::vector<int32_t>& counts,
                                     const spc_peak_options& opt = {});

// The group's continuum in the channel centred at `x`, its edge included (the steps of its peaks
// not).
double spc_continuum_at(const spc_group& g, double x);
// A peak's counts in the channel centred at `x`: its Gaussian integrated over that channel.
double spc_peak_counts(const spc_peak& p, double x);
// The step under a peak of group `g` in the channel centred at `x`.
double spc_step_counts(const spc_group& g, const spc_peak& p, double x);
// The FWHM the width model expects at channel `x` (0 without a model).
double spc_width_at(const spc_width_model& w, double x);
const char* spc_continuum_name(spc_continuum_kind k);

constexpr double SPC_FWHM_PER_SIGMA = 2.3548200450309493;  // 2 sqrt(2 ln 2)
