// Energy calibration: energy = offset + gain * channel, channel i's centre at i. Without a
// calibration everything is in channels.
#pragma once

#include <string>

struct spc_calib {
    bool set = false;
    double offset = 0;  // keV
    double gain = 1;    // keV per channel, > 0
};

// "--kev-per-channel K": a line through the origin.
bool spc_calib_per_channel(const std::string& value, spc_calib* out, std::string* error);
// "--calibrate CH=KEV[,CH=KEV]": one point gives a line through the origin, two points the line
// through both. Channels may be fractional (a centroid); energies rise with the channel.
bool spc_calib_points(const std::string& value, spc_calib* out, std::string* error);

double spc_energy(const spc_calib& c, double channel);
double spc_channel(const spc_calib& c, double kev);
