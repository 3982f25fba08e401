// N42 and CSV exports: what the format's readers find in them, and nv-spc reading them back.
#include <gtest/gtest.h>

#include <pugixml.hpp>
#include <regex>
#include <sstream>

#include "spc_export.h"
#include "spc_support.h"
#include "stored.h"

using namespace spc_test;

namespace {

spc_spectrum sample(int32_t real = 120, int32_t live = 117) {
    spc_spectrum s;
    s.counts = {0, 5, 17, 2147483647, 42, 0, 9};
    s.first = real;
    s.second = live;
    s.real_time = real;
    s.live_time = live;
    s.closing = "1.25 0.000000 3.000000 0.000000";
    return s;
}

const time_t SAVED = 1765000000;  // 2025-12-06T05:46:40Z

}  // namespace

TEST(Export, N42ForItsReaders) {
    spc_calib cal = linear(-3.5, 2.0625);
    cal.quad = 0.001;
    spc_n42_extras x;
    x.saved = SAVED;
    x.uuid = "0b8e3c1e-6f2a-4c1b-9d2e-3f4a5b6c7d8e";
    x.fwhm = {3, 1, 0.01, 0};
    spc_peak p;
    p.centroid = 3, p.area = 1000, p.area_err = 40;
    x.peaks = {p};
    // Elements in the schema's order, the start 120 s before the save; with a calibration, the
    // coefficients give channel i's lower edge (at i - 0.5 in nv-spc's channels), five FWHM
    // points lie within the spectrum's energies, and the peak refers to the element it belongs to.
    expect_stored("export_calibrated.n42", spc_export_n42(sample(), cal, x));
    expect_stored("export_uncalibrated.n42", spc_export_n42(sample(), {}, x));
    // One second is a time (1 1), 0 or negative are not (0 -1, -5 7); a live time above the real
    // time is left out with a remark (20 25); the start is the real time before the save (20 0).
    std::string times;
    for (auto [real, live] : {std::pair{1, 1}, {0, -1}, {-5, 7}, {20, 25}, {20, 0}})
        times += spc_export_n42(sample(real, live), {}, x);
    expect_stored("export_times.n42", times);
    spc_spectrum brief = sample();  // another writer's times: a live time above the real one
    brief.header = false, brief.real_time = 0.5, brief.live_time = 0.75;
    EXPECT_NE(spc_export_n42(brief, {}, x)
                  .find("<Remark>live time 0.750 s above the real time "
                        "0.500 s: not written</Remark>"),
              std::string::npos);
    std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    std::string a = spc_new_uuid(), b = spc_new_uuid();
    EXPECT_TRUE(std::regex_match(a, uuid)) << a;
    EXPECT_NE(a, b);
}

// N42 reads back as the file it came from; CSV as its counts and energies (which carry the
// calibration to the tenth of an eV they are written with).
TEST(Export, ReadBack) {
    spc_calib cal = linear(-3.5, 661.7 / 331);
    cal.quad = 2e-5;
    spc_n42_extras x;
    x.saved = SAVED;
    for (const spc_calib& c : {cal, spc_calib{}})
        for (int32_t live : {117, 250, -3}) {
            spc_spectrum s = sample(120, live);
            // Earlier exports carried the header and closing line as remarks of the document.
            pugi::xml_document earlier;
            earlier.load_string(spc_export_n42(s, c, x).c_str());
            auto top = earlier.document_element(), meas = top.child("RadMeasurement");
            for (auto r = meas.last_child(); r; r = r.previous_sibling())
                if (std::string(r.child_value()).rfind("nv-spc ", 0) == 0)
                    top.insert_move_after(r, top.first_child());
            std::ostringstream old;
            earlier.save(old);
            for (const std::string& text :
                 {spc_export_n42(s, c, x), old.str(), spc_export_csv(s, c)}) {
                spc_spectrum t;
                spc_error err;
                ASSERT_TRUE(spc_parse(text, &t, &err)) << err.line << ": " << err.what << text;
                EXPECT_EQ(t.counts, s.counts);
                EXPECT_EQ(t.calib.set, c.set);
                bool csv = text.rfind("channel,", 0) == 0;
                for (double ch : {0.0, 6.0})
                    EXPECT_NEAR(spc_energy(t.calib, ch), spc_energy(c, ch), csv ? 5e-5 : 1e-12);
                if (csv) continue;
                EXPECT_EQ(t.first, s.first);
                EXPECT_EQ(t.second, s.second);
                EXPECT_EQ(t.closing, s.closing);
                EXPECT_DOUBLE_EQ(t.scale, 1.25);
            }
        }
    // The header row first: no comment lines for CSV readers to trip over.
    expect_stored("export.csv", spc_export_csv(sample(), linear(-3.5, 661.7 / 331)));
}
