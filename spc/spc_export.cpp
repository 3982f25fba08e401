#include "spc_export.h"

#include <pugixml.hpp>

#include <cmath>
#include <cstdio>
#include <random>
#include <sstream>

#include "nv_version.h"

namespace {

std::string duration(double seconds) {
    return "PT" + spc_seconds(seconds) + "S";
}

std::string number(double v, int digits = 10) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.*g", digits, v);
    return buf;
}

// A calibration's coefficients with every digit they hold: read back, they give the spectrum's
// calibration itself (ten digits would turn an offset of 0 into one of 2e-10).
std::string exact(double v) {
    return number(v, 17);
}

void child_text(pugi::xml_node parent, const char* name, const std::string& text) {
    parent.append_child(name).text().set(text.c_str());
}

std::string header_values(const spc_spectrum& s) {
    return std::to_string(s.first) + " " + std::to_string(s.second);
}

}  // namespace

std::string spc_new_uuid() {
    std::random_device rd;
    unsigned char b[16];
    for (auto& v : b) v = static_cast<unsigned char>(rd());
    b[6] = (b[6] & 0x0F) | 0x40;  // version 4
    b[8] = (b[8] & 0x3F) | 0x80;  // the RFC's variant
    char out[37];
    std::snprintf(out, sizeof out,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return out;
}

std::string spc_export_n42(const spc_spectrum& s, const spc_calib& c, const spc_n42_extras& x) {
    pugi::xml_document doc;
    auto decl = doc.append_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
    decl.append_attribute("encoding") = "UTF-8";
    auto root = doc.append_child("RadInstrumentData");
    root.append_attribute("xmlns") = SPC_N42_NAMESPACE;
    root.append_attribute("n42DocUUID") = (x.uuid.empty() ? spc_new_uuid() : x.uuid).c_str();
    child_text(root, "RadInstrumentDataCreatorName", std::string(SPC_N42_CREATOR) + NV_VERSION);

    auto inst = root.append_child("RadInstrumentInformation");
    inst.append_attribute("id") = "RadInstrumentInformation-1";
    child_text(inst, "RadInstrumentManufacturerName", "Orvantis");
    child_text(inst, "RadInstrumentModelName", "NV-52");
    child_text(inst, "RadInstrumentDescription", "NV-52 gamma spectrometer");
    child_text(inst, "RadInstrumentClassCode", "Radionuclide Identifier");
    auto version = inst.append_child("RadInstrumentVersion");
    child_text(version, "RadInstrumentComponentName", "Software");
    child_text(version, "RadInstrumentComponentVersion", std::string("nv-spc ") + NV_VERSION);

    auto det = root.append_child("RadDetectorInformation");
    det.append_attribute("id") = "RadDetectorInformation-1";
    child_text(det, "RadDetectorCategoryCode", "Gamma");
    child_text(det, "RadDetectorKindCode", "Other");

    if (c.set) {
        auto cal = root.append_child("EnergyCalibration");
        cal.append_attribute("id") = "EnergyCalibration-1";
        // Readers of the format take the polynomial as the energy of channel i's lower edge,
        // which lies half a channel below the centre that nv-spc calibrates.
        double c0 = spc_energy(c, -0.5), c1 = c.gain - c.quad, c2 = c.quad;
        child_text(cal, "CoefficientValues", exact(c0) + " " + exact(c1) + " " + exact(c2));
        if (x.fwhm.peaks > 0) {
            auto fw = root.append_child("FWHMCalibration");
            fw.append_attribute("id") = "FWHMCalibration-1";
            std::string e, f;
            double lo = spc_energy(c, 0), hi = spc_energy(c, s.counts.size() - 1.0);
            for (int k = 0; k <= 4; ++k) {
                double kev = lo + (hi - lo) * (0.05 + 0.225 * k);
                if (k > 0) e += ' ', f += ' ';
                e += number(kev);
                f += number(spc_fwhm_at(x.fwhm, kev));
            }
            child_text(fw, "EnergyValues", e);
            child_text(fw, "FWHMValues", f);
        }
    }

    auto meas = root.append_child("RadMeasurement");
    meas.append_attribute("id") = "RadMeasurement-1";
    if (!x.started)
        child_text(meas, "Remark",
                   "StartDateTime is the spectrum file's modification time less the real time: "
                   "the spectrum file does not say when the measurement started");
    const double real = s.real_time, live = s.live_time;
    bool live_ok = live > 0 && (real <= 0 || live <= real);
    if (live > 0 && !live_ok)
        child_text(meas, "Remark",
                   "live time " + spc_seconds(live) + " s above the real time " +
                       spc_seconds(real) + " s: not written");
    // What the spectrum file held besides its counts, so that nv-spc reads the export back as
    // the file it came from.
    if (s.header) {
        child_text(meas, "Remark", SPC_HEADER_NOTE + header_values(s));
        child_text(meas, "Remark", SPC_CLOSING_NOTE + s.closing);
    }
    child_text(meas, "MeasurementClassCode", "Foreground");
    child_text(meas, "StartDateTime", spc_utc_text(x.saved - (real > 0 ? std::lround(real) : 0)));
    if (real > 0) child_text(meas, "RealTimeDuration", duration(real));
    auto spec = meas.append_child("Spectrum");
    spec.append_attribute("id") = "RadMeasurement-1-Spectrum-1";
    spec.append_attribute("radDetectorInformationReference") = "RadDetectorInformation-1";
    if (c.set) spec.append_attribute("energyCalibrationReference") = "EnergyCalibration-1";
    if (live_ok) child_text(spec, "LiveTimeDuration", duration(live));
    std::string data;
    for (size_t i = 0; i < s.counts.size(); ++i) {
        if (i > 0) data.push_back(' ');
        data.append(std::to_string(s.counts[i]));
    }
    auto channels = spec.append_child("ChannelData");
    channels.append_attribute("compressionCode") = "None";
    channels.text().set(data.c_str());

    if (c.set && !x.peaks.empty()) {
        auto peaks =
            root.append_child("AnalysisResults").append_child("SpectrumPeakAnalysisResults");
        peaks.append_attribute("spectrumReference") = "RadMeasurement-1-Spectrum-1";
        for (const auto& p : x.peaks) {
            auto pk = peaks.append_child("SpectrumPeak");
            child_text(pk, "SpectrumPeakEnergy", number(spc_energy(c, p.centroid)));
            child_text(pk, "SpectrumPeakNetAreaValue", number(p.area));
            child_text(pk, "SpectrumPeakNetAreaUncertaintyValue", number(p.area_err));
        }
    }

    std::ostringstream out;
    doc.save(out, "  ");
    return out.str();
}

std::string spc_export_csv(const spc_spectrum& s, const spc_calib& c) {
    std::string out = c.set ? "channel,counts,energy_keV\n" : "channel,counts\n";
    char buf[64];
    for (size_t i = 0; i < s.counts.size(); ++i) {
        if (c.set)
            std::snprintf(buf, sizeof buf, "%zu,%d,%.4f\n", i, s.counts[i],
                          spc_energy(c, static_cast<double>(i)));
        else
            std::snprintf(buf, sizeof buf, "%zu,%d\n", i, s.counts[i]);
        out += buf;
    }
    return out;
}
