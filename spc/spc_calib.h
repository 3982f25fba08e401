// Energy calibration: energy = offset + gain * channel + quad * channel^2, channel i's centre at
// i, fitted by least squares to any number of (channel, energy) points; and the FWHM
// calibration FWHM^2 = a + b E + c E^2 fitted to a spectrum's well-measured peaks. Without an
// energy calibration everything is in channels.
#pragma once

#include <string>
#include <vector>

struct spc_calib_point {
    double channel = 0, kev = 0;
    double residual = 0;  // kev minus the calibration's energy at the channel
};

struct spc_calib {
    bool set = false;
    double offset = 0;                    // keV
    double gain = 1;                      // keV per channel at channel 0
    double quad = 0;                      // keV per channel^2
    std::vector<spc_calib_point> points;  // what it was fitted to (empty: given directly)
};

// "--kev-per-channel K": a line through the origin.
bool spc_calib_per_channel(const std::string& value, spc_calib* out, std::string* error);
// "--calibrate CH=KEV[,CH=KEV]...": one point gives a line through the origin, two the line
// through both, three or more a quadratic by least squares. Channels may be fractional (a
// centroid); no two points share a channel.
bool spc_calib_points(const std::string& value, spc_calib* out, std::string* error);
// Empty when the energy rises with the channel over channels 0 .. channels-1 (and half a
// channel beyond), else what is wrong.
std::string spc_calib_check(const spc_calib& c, int channels);

double spc_energy(const spc_calib& c, double channel);
// The channel of energy `kev` on the rising branch (channels from -0.5 up).
double spc_channel(const spc_calib& c, double kev);
// keV per channel at `channel`.
double spc_gain_at(const spc_calib& c, double channel);

// FWHM^2 = a + b E + c E^2 (keV^2) with a, b, c >= 0, so the width never goes negative or
// imaginary, fitted to `peaks` (energy, FWHM, FWHM's uncertainty in keV): at least three,
// the highest at twice the energy of the lowest or more; `peaks` 0 otherwise (none is given).
struct spc_fwhm_calib {
    int peaks = 0;
    double a = 0, b = 0, c = 0;
};
spc_fwhm_calib spc_fit_fwhm(const std::vector<double>& kev, const std::vector<double>& fwhm,
                            const std::vector<double>& fwhm_err);
double spc_fwhm_at(const spc_fwhm_calib& f, double kev);
// FWHM^2 = a + b x + c x^2 with a, b, c >= 0 by weighted least squares, the widths scattering
// some 5 % about the model besides their own errors: every combination of the terms that the
// points determine, the best that stays non-negative. False when none does.
bool spc_fit_fwhm_squared(const std::vector<double>& x, const std::vector<double>& fwhm,
                          const std::vector<double>& fwhm_err, double coef[3]);

// Least squares of y against the first `terms` powers of x (1, x, x^2), weighted by `w`; false
// when the points do not determine them. Shared by both calibrations and the width model.
bool spc_polyfit(const std::vector<double>& x, const std::vector<double>& y,
                 const std::vector<double>& w, int terms, double coef[3]);
