#include "spc_export.h"

#include <pugixml.hpp>

#include <cstdio>
#include <sstream>

#include "nv_version.h"

namespace {

std::string duration(int32_t seconds) {
    return "PT" + std::to_string(seconds) + "S";
}

std::string utc_time(time_t t) {
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::string number(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.10g", v);
    return buf;
}

void child_text(pugi::xml_node parent, const char* name, const std::string& text) {
    parent.append_child(name).text().set(text.c_str());
}

}  // namespace

std::string spc_export_n42(const spc_spectrum& s, const spc_calib& c, time_t saved) {
    pugi::xml_document doc;
    auto decl = doc.append_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
    decl.append_attribute("encoding") = "UTF-8";
    auto root = doc.append_child("RadInstrumentData");
    root.append_attribute("xmlns") = SPC_N42_NAMESPACE;
    child_text(root, "RadInstrumentDataCreatorName", std::string("nv-spc ") + NV_VERSION);

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
        // Polynomial coefficients: energy = c0 + c1 * channel + c2 * channel^2.
        child_text(cal, "CoefficientValues", number(c.offset) + " " + number(c.gain) + " 0");
    }

    auto meas = root.append_child("RadMeasurement");
    meas.append_attribute("id") = "RadMeasurement-1";
    child_text(meas, "MeasurementClassCode", "Foreground");
    child_text(meas, "StartDateTime", utc_time(saved - (s.first > 0 ? s.first : 0)));
    if (s.first > 0) child_text(meas, "RealTimeDuration", duration(s.first));
    auto spec = meas.append_child("Spectrum");
    spec.append_attribute("id") = "RadMeasurement-1-Spectrum-1";
    spec.append_attribute("radDetectorInformationReference") = "RadDetectorInformation-1";
    if (c.set) spec.append_attribute("energyCalibrationReference") = "EnergyCalibration-1";
    if (s.second > 0) child_text(spec, "LiveTimeDuration", duration(s.second));
    std::string data;
    for (size_t i = 0; i < s.counts.size(); ++i) {
        if (i > 0) data.push_back(' ');
        data.append(std::to_string(s.counts[i]));
    }
    auto channels = spec.append_child("ChannelData");
    channels.append_attribute("compressionCode") = "None";
    channels.text().set(data.c_str());

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
