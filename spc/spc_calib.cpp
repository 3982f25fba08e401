#include "spc_calib.h"

#include <cmath>
#include <cstdlib>
#include <vector>

namespace {

bool parse_number(const std::string& s, double* out) {
    if (s.empty() || std::isspace(static_cast<unsigned char>(s[0]))) return false;
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (*end != '\0' || !std::isfinite(v)) return false;
    *out = v;
    return true;
}

}  // namespace

bool spc_calib_per_channel(const std::string& value, spc_calib* out, std::string* error) {
    double k;
    if (!parse_number(value, &k) || k <= 0) {
        *error = "--kev-per-channel needs a positive number, not '" + value + "'";
        return false;
    }
    *out = {true, 0.0, k};
    return true;
}

bool spc_calib_points(const std::string& value, spc_calib* out, std::string* error) {
    std::vector<std::pair<double, double>> points;
    size_t start = 0;
    bool ok = true;
    while (ok) {
        size_t comma = value.find(',', start);
        std::string item = value.substr(start, comma == std::string::npos ? comma : comma - start);
        size_t eq = item.find('=');
        double ch, kev;
        ok = eq != std::string::npos && parse_number(item.substr(0, eq), &ch) &&
             parse_number(item.substr(eq + 1), &kev) && ch >= 0 && kev >= 0;
        if (ok) points.emplace_back(ch, kev);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (!ok || points.empty() || points.size() > 2) {
        *error = "--calibrate needs CH=KEV or CH=KEV,CH=KEV (numbers, not negative), not '" +
                 value + "'";
        return false;
    }
    if (points.size() == 1) {
        auto [ch, kev] = points[0];
        if (ch <= 0 || kev <= 0) {
            *error = "--calibrate with one point needs a channel and an energy above 0";
            return false;
        }
        *out = {true, 0.0, kev / ch};
        return true;
    }
    auto [c1, e1] = points[0];
    auto [c2, e2] = points[1];
    if (c1 == c2 || (e2 - e1) / (c2 - c1) <= 0) {
        *error = "--calibrate: the energy must rise with the channel between the two points";
        return false;
    }
    double gain = (e2 - e1) / (c2 - c1);
    *out = {true, e1 - gain * c1, gain};
    return true;
}

double spc_energy(const spc_calib& c, double channel) {
    return c.offset + c.gain * channel;
}

double spc_channel(const spc_calib& c, double kev) {
    return (kev - c.offset) / c.gain;
}
