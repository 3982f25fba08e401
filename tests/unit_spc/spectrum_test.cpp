// The spectrum file reader and the calibration arithmetic.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <sstream>

#include "spc_calib.h"
#include "spc_identify.h"
#include "spc_spectrum.h"
#include "spc_support.h"

using namespace spc_test;

TEST(SpectrumFile, ReadsBothWriters) {
    std::vector<int32_t> counts(1024);
    for (int i = 0; i < 1024; ++i) counts[i] = i * 3;
    spc_spectrum s;
    spc_error err;
    ASSERT_TRUE(spc_parse(spectrum_text(counts, 12, -3), &s, &err)) << err.what;
    EXPECT_EQ(s.counts, counts);
    EXPECT_EQ(s.first, 12);
    EXPECT_EQ(s.second, -3);
    EXPECT_EQ(s.closing, "6.8 0 3 0");
    EXPECT_EQ(spc_total(s), 3 * 1023 * 1024 / 2);
    // SaveSpec: any channel count, its closing line; CRLF line ends are accepted.
    ASSERT_TRUE(
        spc_parse("7\r\n8\r\n0\r\n2147483647\r\n6.80 0.000000 3.000000 0.000000\r\n", &s, &err))
        << err.what;
    EXPECT_EQ(s.counts, (std::vector<int32_t>{0, 2147483647}));
    EXPECT_DOUBLE_EQ(s.scale, 6.8);
    EXPECT_EQ(spc_total(s), 2147483647);
    ASSERT_TRUE(spc_parse("5\n4\n1\n2\n3\n-1.50 0.000000 3.000000 0.000000\n", &s, &err));
    EXPECT_DOUBLE_EQ(s.scale, -1.5);
    // The header values' whole range, as "%d" writes it.
    ASSERT_TRUE(
        spc_parse("-2147483648\n2147483647\n1\n0.00 0.000000 3.000000 0.000000\n", &s, &err))
        << err.what;
    EXPECT_EQ(s.first, INT32_MIN);
    EXPECT_EQ(s.second, INT32_MAX);
    EXPECT_FALSE(spc_parse("-2147483649\n0\n1\n0.00 0.000000 3.000000 0.000000\n", &s, &err));
}

// Every way the input can be wrong (data/bad_spectra.txt): the line named and the reason.
TEST(SpectrumFile, BadInputTable) {
    std::istringstream rows(
        e2e::read_file(std::string(NV_SOURCE_DIR) + "/tests/unit_spc/data/bad_spectra.txt"));
    for (std::string row; std::getline(rows, row);) {
        if (row[0] == '#') continue;
        size_t a = row.find('|'), b = row.find('|', a + 1);
        std::string what = row.substr(a + 1, b - a - 1), text;
        for (size_t i = b + 1; i < row.size(); ++i) {
            char c = row[i] == '\\' ? row[++i] : 0;
            if (c == 'x')
                text += static_cast<char>(std::stoi(row.substr(i + 1, 2), nullptr, 16)), i += 2;
            else if (std::isdigit(c))
                for (int n = std::stoi(row.substr(i)); n > 0; --n) text += "1\n";
            else
                text += c == 'n' ? '\n' : c == 'r' ? '\r' : c ? c : row[i];
            if (std::isdigit(c)) i = row.find('\\', i);
        }
        spc_spectrum s;
        spc_error err;
        EXPECT_FALSE(spc_parse(text, &s, &err)) << what;
        EXPECT_EQ(err.line, std::stoi(row)) << what << ": " << err.what;
        EXPECT_NE(err.what.find(what), std::string::npos) << err.what;
    }
}

TEST(Calibration, Arithmetic) {
    struct good {
        const char* option;  // "k" for --kev-per-channel, "c" for --calibrate
        const char* value;
        double offset, gain;
    } cases[] = {
        {"k", "2", 0, 2},
        {"k", "0.5", 0, 0.5},
        {"c", "331=661.7", 0, 661.7 / 331},
        {"c", "100=200,300=700", -50, 2.5},
        {"c", "300=700,100=200", -50, 2.5},  // order does not matter
        {"c", "0=10,10=30", 10, 2},
        {"c", "16.5=32,331.25=661.7", 32 - 16.5 * (629.7 / 314.75), 629.7 / 314.75},
    };
    for (const auto& c : cases) {
        spc_calib cal;
        std::string error;
        bool ok = c.option[0] == 'k' ? spc_calib_per_channel(c.value, &cal, &error)
                                     : spc_calib_points(c.value, &cal, &error);
        ASSERT_TRUE(ok) << c.value << ": " << error;
        EXPECT_TRUE(cal.set);
        EXPECT_NEAR(cal.offset, c.offset, 1e-9) << c.value;
        EXPECT_NEAR(cal.gain, c.gain, 1e-12) << c.value;
        // Energy to channel and back, at a few channels.
        for (double ch : {0.0, 1.0, 331.0, 1023.5}) {
            double e = spc_energy(cal, ch);
            EXPECT_NEAR(e, c.offset + c.gain * ch, 1e-9);
            EXPECT_NEAR(spc_channel(cal, e), ch, 1e-9);
        }
    }
    spc_calib cal;
    std::string error;
    const char* bad_k[] = {"", "0", "-1", "x", "2x", " 2", "inf", "nan"};
    for (const char* v : bad_k) EXPECT_FALSE(spc_calib_per_channel(v, &cal, &error)) << v;
    const char* bad_c[] = {"",           "331",       "=661",    "331=",    "0=661",       "331=0",
                           "a=1",        "1=2,3",     "1=2,1=5", "1=5,2=4", "1=2,1=3,3=4", "-1=2",
                           "331=661.7,", "331=661.7;"};
    for (const char* v : bad_c) {
        EXPECT_FALSE(spc_calib_points(v, &cal, &error)) << v;
        EXPECT_NE(error.find("--calibrate"), std::string::npos) << error;
    }
}

// Three or more points: a quadratic by least squares. Its residuals are what least squares
// leaves: orthogonal to 1, x and x^2; points on a quadratic leave none.
TEST(Calibration, LeastSquares) {
    struct pts {
        const char* value;
        double offset, gain, quad;  // NAN: not known beforehand
    } cases[] = {
        {"100=210,200=420,300=630", 0, 2.1, 0},
        {"0=5,100=215,200=445", 5, 2, 0.001},
        {"16=32.2,331=661.7,600=1173.2,680=1332.5", NAN, NAN, NAN},
        {"10=20,20=41,30=59,40=82,50=99", NAN, NAN, NAN},
    };
    for (const auto& c : cases) {
        spc_calib cal;
        std::string error;
        ASSERT_TRUE(spc_calib_points(c.value, &cal, &error)) << error;
        double s0 = 0, s1 = 0, s2 = 0;
        for (const auto& p : cal.points) {
            EXPECT_NEAR(p.residual, p.kev - spc_energy(cal, p.channel), 1e-9);
            s0 += p.residual, s1 += p.residual * p.channel,
                s2 += p.residual * p.channel * p.channel;
        }
        EXPECT_NEAR(s0, 0, 1e-6);
        EXPECT_NEAR(s1, 0, 1e-4);
        EXPECT_NEAR(s2, 0, 1e-1);
        if (!std::isnan(c.offset)) {
            EXPECT_NEAR(cal.offset, c.offset, 1e-9);
            EXPECT_NEAR(cal.gain, c.gain, 1e-9);
            EXPECT_NEAR(cal.quad, c.quad, 1e-12);
            for (const auto& p : cal.points) EXPECT_NEAR(p.residual, 0, 1e-9);
        }
        for (double ch : {0.0, 16.0, 500.0}) {
            double back = spc_channel(cal, spc_energy(cal, ch));
            EXPECT_TRUE(spc_gain_at(cal, ch) <= 0 || std::abs(back - ch) < 1e-6) << ch;
        }
    }
    spc_calib cal;
    std::string error;
    // A parabola whose energy turns down between the points is no calibration.
    EXPECT_FALSE(spc_calib_points("0=0,100=300,200=310", &cal, &error));
    EXPECT_FALSE(spc_calib_points("0=0,100=75,200=100", &cal, &error)) << "flat at 200";
    ASSERT_TRUE(spc_calib_points("0=0,100=300,200=500", &cal, &error));
    EXPECT_EQ(spc_calib_check(cal, 300), "");
    EXPECT_NE(spc_calib_check(cal, 2000), "") << "falls beyond channel 1500";

    // FWHM^2 = a + b E (+ c E^2) through widths on it.
    std::vector<double> e = {122, 662, 1173, 1332}, f, err(4, 0.5);
    for (double x : e) f.push_back(std::sqrt(4 + 1.5 * x + 0.0001 * x * x));
    spc_fwhm_calib fw = spc_fit_fwhm(e, f, err);
    EXPECT_EQ(fw.peaks, 4);
    EXPECT_NEAR(spc_fwhm_at(fw, 900), std::sqrt(4 + 1.5 * 900 + 0.0001 * 810000), 1e-6);
    EXPECT_EQ(spc_fit_fwhm({662}, {40}, {1}).peaks, 0);
}

// The nuclides a set of calibrated peaks shows: named only with their strongest lines present,
// each peak naming the lines within its FWHM.
TEST(Identify, StrongestLinesDecide) {
    spc_calib cal = linear(0, 1);  // a channel a keV
    auto peaks_at = [](std::vector<double> kev, double fwhm) {
        std::vector<spc_peak> out(kev.size());
        for (size_t k = 0; k < kev.size(); ++k) out[k].centroid = kev[k], out[k].fwhm = fwhm;
        return out;
    };
    struct want {
        std::vector<double> kev;
        double fwhm;
        std::vector<std::string> nuclides;
    } cases[] = {
        {{662}, 45, {"Cs-137"}},
        {{1173}, 60, {}},  // Co-60 needs both of its lines
        {{1173, 1333}, 60, {"Co-60"}},
        {{1460}, 3, {"K-40"}},
        {{1450}, 3, {}},  // 10 keV off with a germanium's width
        {{609, 352}, 40, {"Ra-226 chain"}},
        {{60}, 10, {"Am-241"}},
        {{356, 81}, 5, {"Ba-133"}},
        {{239, 583, 911, 2614}, 3, {"Th-232 chain"}},
        {{239, 583, 911}, 3, {}},  // without its 2614 keV line (inside the range)
        {{511}, 40, {"annihilation"}},
        {{122, 344, 1408, 964}, 4, {"Co-57", "Eu-152"}},
        {{75, 73}, 2, {"lead X-rays"}},
    };
    for (const auto& c : cases) {
        std::set<std::string> named;
        for (const auto& list : spc_identify(peaks_at(c.kev, c.fwhm), cal, 3000))
            for (const auto& x : list) named.insert(x.nuclide);
        EXPECT_EQ(named, std::set<std::string>(c.nuclides.begin(), c.nuclides.end())) << c.kev[0];
    }
    // Without a calibration nothing is named; lines beyond the spectrum are not asked for.
    EXPECT_TRUE(spc_identify(peaks_at({662}, 45), {}, 3000)[0].empty());
    auto m = spc_identify(peaks_at({239, 583, 911}, 3), cal, 2048);
    EXPECT_EQ(m[0].size(), 1u);
}

// Large spectra at the bounds: the largest count of channels reads, one more is refused at its
// line (ten million empty lines, which stop at the first: cli_refusals.txt).
TEST(SpectrumFile, Bounds) {
    std::string text = "1\n1\n";
    text.reserve(2 * SPC_MAX_CHANNELS + 64);
    for (int i = 0; i < SPC_MAX_CHANNELS; ++i) text += "7\n";
    spc_spectrum s;
    spc_error err;
    ASSERT_TRUE(spc_parse(text + "0.00 0.000000 3.000000 0.000000\n", &s, &err)) << err.what;
    EXPECT_EQ(s.counts.size(), static_cast<size_t>(SPC_MAX_CHANNELS));
    EXPECT_FALSE(spc_parse(text + "7\n0.00 0.000000 3.000000 0.000000\n", &s, &err));
    EXPECT_EQ(err.line, SPC_MAX_CHANNELS + 3);
    EXPECT_EQ(err.what, "more than 1048576 channels");
    // The size bound: its last byte is read, one more is too large.
    for (size_t size : {SPC_MAX_FILE_BYTES, SPC_MAX_FILE_BYTES + 1}) {
        EXPECT_FALSE(spc_parse(std::string(size, '\n'), &s, &err));
        EXPECT_EQ(err.what.rfind("file too large", 0) == 0, size > SPC_MAX_FILE_BYTES) << size;
    }
}
