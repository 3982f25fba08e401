// N42 and CSV exports read back: the counts and the calibration come out as they went in.
#include <gtest/gtest.h>

#include <pugixml.hpp>
#include <sstream>

#include "spc_export.h"
#include "spc_support.h"

using namespace spc_test;

namespace {

spc_spectrum sample() {
    spc_spectrum s;
    s.counts = {0, 5, 17, 2147483647, 42, 0, 9};
    s.first = 120;
    s.second = 117;
    s.closing = "6.8 0 3 0";
    return s;
}

std::vector<int64_t> numbers(const std::string& text) {
    std::istringstream in(text);
    std::vector<int64_t> v;
    for (int64_t x; in >> x;) v.push_back(x);
    return v;
}

}  // namespace

TEST(Export, N42ReadBack) {
    spc_calib cal{true, -3.5, 2.0625};
    const time_t saved = 1765000000;  // 2025-12-06T05:46:40Z
    for (bool calibrated : {true, false}) {
        spc_spectrum s = sample();
        std::string xml = spc_export_n42(s, calibrated ? cal : spc_calib{}, saved);
        pugi::xml_document doc;
        ASSERT_TRUE(doc.load_string(xml.c_str())) << xml;
        auto root = doc.document_element();
        EXPECT_STREQ(root.name(), "RadInstrumentData");
        EXPECT_STREQ(root.attribute("xmlns").value(), "http://physics.nist.gov/N42/2011/N42");
        EXPECT_NE(root.child("RadInstrumentDataCreatorName").text().as_string()[0], '\0');
        auto info = root.child("RadInstrumentInformation");
        EXPECT_STREQ(info.child_value("RadInstrumentModelName"), "NV-52");
        EXPECT_STREQ(info.child_value("RadInstrumentDescription"), "NV-52 gamma spectrometer");
        EXPECT_STREQ(info.child_value("RadInstrumentClassCode"), "Radionuclide Identifier");
        EXPECT_FALSE(info.child("RadInstrumentVersion").empty());
        auto det = root.child("RadDetectorInformation");
        EXPECT_STREQ(det.child_value("RadDetectorCategoryCode"), "Gamma");
        auto meas = root.child("RadMeasurement");
        EXPECT_STREQ(meas.child_value("MeasurementClassCode"), "Foreground");
        EXPECT_STREQ(meas.child_value("StartDateTime"), "2025-12-06T05:44:40Z");  // 120 s before
        EXPECT_STREQ(meas.child_value("RealTimeDuration"), "PT120S");
        auto spec = meas.child("Spectrum");
        EXPECT_STREQ(spec.attribute("radDetectorInformationReference").value(),
                     det.attribute("id").value());
        EXPECT_STREQ(spec.child_value("LiveTimeDuration"), "PT117S");
        auto data = spec.child("ChannelData");
        EXPECT_STREQ(data.attribute("compressionCode").value(), "None");
        auto counts = numbers(data.child_value());
        EXPECT_EQ(counts, std::vector<int64_t>(s.counts.begin(), s.counts.end()));
        auto ecal = root.child("EnergyCalibration");
        if (calibrated) {
            EXPECT_STREQ(spec.attribute("energyCalibrationReference").value(),
                         ecal.attribute("id").value());
            std::istringstream in(ecal.child_value("CoefficientValues"));
            double c0, c1, c2;
            ASSERT_TRUE(in >> c0 >> c1 >> c2);
            EXPECT_EQ(c0, cal.offset);
            EXPECT_EQ(c1, cal.gain);
            EXPECT_EQ(c2, 0);
        } else {
            EXPECT_TRUE(ecal.empty());
            EXPECT_TRUE(spec.attribute("energyCalibrationReference").empty());
        }
    }
    // One second is a time; header values that are not times (0 or negative) are left out,
    // not written as times.
    for (int32_t t : {1, 0, -1}) {
        spc_spectrum one = sample();
        one.first = one.second = t;
        pugi::xml_document d;
        ASSERT_TRUE(d.load_string(spc_export_n42(one, {}, saved).c_str()));
        auto m = d.document_element().child("RadMeasurement");
        EXPECT_EQ(std::string(m.child_value("RealTimeDuration")), t > 0 ? "PT1S" : "") << t;
        EXPECT_EQ(std::string(m.child("Spectrum").child_value("LiveTimeDuration")),
                  t > 0 ? "PT1S" : "")
            << t;
    }
    spc_spectrum s = sample();
    s.first = 0;
    s.second = -1;
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(spc_export_n42(s, {}, saved).c_str()));
    auto meas = doc.document_element().child("RadMeasurement");
    EXPECT_TRUE(meas.child("RealTimeDuration").empty());
    EXPECT_TRUE(meas.child("Spectrum").child("LiveTimeDuration").empty());
    EXPECT_STREQ(meas.child_value("StartDateTime"), "2025-12-06T05:46:40Z");
}

TEST(Export, CsvReadBack) {
    spc_spectrum s = sample();
    std::string plain = spc_export_csv(s, {});
    EXPECT_EQ(plain, "channel,counts\n0,0\n1,5\n2,17\n3,2147483647\n4,42\n5,0\n6,9\n");
    spc_calib cal{true, -3.5, 2.0625};
    std::istringstream in(spc_export_csv(s, cal));
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "channel,counts,energy_keV");
    size_t i = 0;
    for (; std::getline(in, line); ++i) {
        int ch;
        long long counts;
        double kev;
        ASSERT_EQ(std::sscanf(line.c_str(), "%d,%lld,%lf", &ch, &counts, &kev), 3) << line;
        EXPECT_EQ(ch, static_cast<int>(i));
        EXPECT_EQ(counts, s.counts[i]);
        EXPECT_NEAR(kev, -3.5 + 2.0625 * i, 1e-4);
    }
    EXPECT_EQ(i, s.counts.size());
}
