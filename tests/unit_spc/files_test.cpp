// Reading other writers' files: the XML reader under N42, the largest spectrum in every format,
// and a document of 60 MB nested deep or spread wide in little more memory than its bytes.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "escapes.h"
#include "spc_export.h"
#include "spc_formats.h"
#include "spc_plot.h"
#include "spc_support.h"
#include "spc_xml.h"

using namespace spc_test;

namespace {

// Every event of a document as one text (the notation of data/xml.txt).
struct recorder : spc_xml_handler {
    std::string events;
    void start(std::string_view uri, std::string_view name,
               const std::vector<spc_xml_attribute>& attributes) override {
        events += '(';
        if (!uri.empty()) events.append("{").append(uri).append("}");
        events.append(name);
        for (const auto& a : attributes)
            events.append(" ").append(a.name).append("=").append(a.value);
        events += ")";
    }
    void text(std::string_view piece) override { events += piece; }
    void end() override { events += "/"; }
};

}  // namespace

TEST(Xml, Table) {
    for (const auto& [n, row] :
         proc::data_lines(std::string(NV_SOURCE_DIR) + "/tests/unit_spc/data/xml.txt")) {
        size_t bar = row.find('|');
        std::string want = row.substr(0, bar), doc = escapes::unescaped(row.substr(bar + 1)), error;
        recorder r;
        size_t offset = 0;
        bool ok = spc_xml_scan(doc, &r, &error, &offset);
        EXPECT_EQ(ok, want[0] != '!') << row << ": " << error;
        if (ok)
            EXPECT_EQ(r.events, want) << row;
        else
            EXPECT_NE(error.find(want.substr(1)), std::string::npos) << row << ": " << error;
        EXPECT_LE(offset, doc.size());
    }
    // Nesting: as deep as the bound allows, and one deeper.
    for (int depth : {SPC_XML_MAX_DEPTH, SPC_XML_MAX_DEPTH + 1}) {
        std::string doc;
        for (int k = 0; k < depth; ++k) doc += "<a>";
        for (int k = 0; k < depth; ++k) doc += "</a>";
        recorder r;
        std::string error;
        size_t offset;
        EXPECT_EQ(spc_xml_scan(doc, &r, &error, &offset), depth == SPC_XML_MAX_DEPTH) << error;
    }
}

// N42's durations and moments (data/times.txt).
TEST(FieldFiles, N42Times) {
    for (const auto& [n, row] :
         proc::data_lines(std::string(NV_SOURCE_DIR) + "/tests/unit_spc/data/times.txt")) {
        std::vector<std::string> f;
        std::istringstream fields(row);
        for (std::string field; std::getline(fields, field, '|');) f.push_back(field);
        std::string text = escapes::unescaped(f[1]);
        double seconds = -1;
        time_t at = -1;
        bool zoned = false;
        bool ok = f[0] == "D" ? spc_duration(text, &seconds) : spc_date_time(text, &at, &zoned);
        ASSERT_EQ(ok, f[2] != "!") << row;
        if (!ok) continue;
        if (f[0] == "D")
            EXPECT_EQ(seconds, std::stod(f[2])) << row;
        else
            EXPECT_TRUE(at == std::stoll(f[2]) && zoned == (f[3] == "1")) << row << " " << at;
    }
}

// 2^20 random channels in every format that holds them (the binary one holds 65,535), read
// back whole, drawn in the terminal and laid out as a figure.
TEST(FieldFiles, LargestSpectrum) {
    std::mt19937_64 rng(20);
    spc_spectrum s;
    for (int i = 0; i < SPC_MAX_CHANNELS; ++i)
        s.counts.push_back(static_cast<int32_t>(rng() % 5000));
    s.first = s.real_time = 600, s.second = s.live_time = 590,
    s.closing = "6.80 0.000000 3.000000 0.000000";
    std::string spe =
        "$MEAS_TIM:\n590 600\n$DATA:\n0 " + std::to_string(SPC_MAX_CHANNELS - 1) + "\n";
    for (size_t i = 0; i < s.counts.size(); ++i)
        spe += std::to_string(s.counts[i]) + (i % 8 == 7 ? "\n" : " ");
    std::string chn(32, '\0');
    chn[0] = chn[1] = '\xff', chn[30] = chn[31] = '\xff';  // 65,535 channels
    for (int i = 0; i < 65535; ++i)
        for (int b = 0; b < 4; ++b) chn += static_cast<char>(s.counts[i] >> (8 * b));
    spc_calib cal = linear(0, 0.003);
    for (const std::string& text : {spectrum_text(s.counts, 600, 590, s.closing),
                                    spc_export_n42(s, cal, {}), spc_export_csv(s, cal), spe, chn}) {
        spc_spectrum t;
        spc_error err;
        ASSERT_TRUE(spc_parse(text, &t, &err)) << err.line << ": " << err.what;
        size_t n = t.format == "chn" ? 65535 : s.counts.size();
        ASSERT_EQ(t.counts.size(), n) << t.format;
        EXPECT_TRUE(std::equal(t.counts.begin(), t.counts.end(), s.counts.begin())) << t.format;
        EXPECT_EQ(t.live_time, t.format == "csv" || t.format == "chn" ? 0.0 : 590) << t.format;
    }
    spc_plot_options o;
    o.log = true;
    std::string picture = spc_plot_text(s, cal, {}, o);
    EXPECT_NE(picture.find("1000 ┤"), std::string::npos) << picture;
    o.width = 1000, o.height = 600;
    auto measure = [](const std::string& t, void*) { return 6.0 * t.size(); };
    spc_figure_layout l = spc_layout_figure(s, cal, {}, o, {measure, nullptr, 12});
    EXPECT_EQ(l.y_ticks.back().label.text, "10000");
    EXPECT_EQ(l.x_ticks.back().label.text, "3000");
}

// The binary spectrum's start, from its date, hour and minute, and seconds: a clock's hours run
// to 23, its seconds to 59.
// A calibration that is not a number is left out with a note. Every month by its English
// abbreviation (the C library's %b), and one that is none.
TEST(FieldFiles, BinaryStart) {
    for (int m = 0; m <= 12; ++m) {
        struct tm tm {};
        tm.tm_mon = m;
        char month[8] = "XYZ";
        if (m < 12) std::strftime(month, sizeof month, "%b", &tm);
        for (char* c = month; *c; ++c) *c = static_cast<char>(std::toupper(*c));
        std::string chn = std::string("\xff\xff\0\0\0\0", 6) + "00" + std::string(8, '\0') + "01" +
                          month + "990" + "0012" + std::string("\0\0\1\0\7\0\0\0", 8);
        spc_spectrum s;
        spc_error err;
        ASSERT_TRUE(spc_parse(chn, &s, &err)) << err.what;
        char want[40];
        std::snprintf(want, sizeof want, "started 1999-%02d-01 00:12:00 (", m + 1);
        EXPECT_EQ(s.source.find(m < 12 ? want : "started") != std::string::npos, m < 12)
            << month << ": " << s.source;
    }
    struct start {
        const char *seconds, *date, *shown;
    } starts[] = {{"59", "31DEC9912358", "2099-12-31 23:58:59"},
                  {"60", "31DEC9912358", ""},
                  {"00", "31DEC9912400", ""},
                  {"07", "01SEP9502358", "1995-09-01 23:58:07"}};
    for (const auto& t : starts) {
        std::string chn = std::string("\xff\xff\0\0\0\0", 6) + t.seconds + std::string(8, '\0') +
                          t.date + std::string("\0\0\1\0\7\0\0\0", 8) +
                          std::string("\x9a\xff\0\0\0\0\xc0\x7f", 8) + std::string(8, '\0');
        spc_spectrum s;
        spc_error err;
        ASSERT_TRUE(spc_parse(chn, &s, &err)) << err.what;
        EXPECT_EQ(s.source.find("started") != std::string::npos, *t.shown != '\0') << s.source;
        EXPECT_TRUE(s.source.find(std::string("started ") + t.shown + " (") != std::string::npos ||
                    !*t.shown)
            << s.source;
        EXPECT_FALSE(s.calib.set);  // a NaN offset
        ASSERT_EQ(s.notes.size(), 1u);
        EXPECT_EQ(s.notes[0], "the trailer's energy calibration is not a number: channels");
        // The trailer cut after its kind and 2 bytes of 14.
        ASSERT_TRUE(spc_parse(chn.substr(0, chn.size() - 12), &s, &err)) << err.what;
        EXPECT_EQ(s.notes, std::vector<std::string>{"no energy calibration: the trailer is cut "
                                                    "short or of an unknown kind"});
    }
}

// More than 100000 records of a kind is not an instrument's file: refused, not kept.
TEST(FieldFiles, RecordBounds) {
    for (std::string kind : {"energy calibrations", "measurements", "spectra"}) {
        const char* element = kind[0] == 'e'   ? "<EnergyCalibration/>"
                              : kind[0] == 'm' ? "<RadMeasurement/>"
                                               : "<Spectrum/>";
        std::string doc = "<RadInstrumentData>";
        doc += kind[0] == 's' ? "<RadMeasurement>" : "";
        for (int k = 0; k <= 100000; ++k) doc += element;
        doc += kind[0] == 's' ? "</RadMeasurement>" : "";
        spc_spectrum s;
        spc_error err;
        EXPECT_FALSE(spc_parse(doc + "</RadInstrumentData>", &s, &err));
        EXPECT_EQ(err.what, "more than 100000 " + kind + ": not read");
    }
}

// A 60 MB document nested deep (the tree of a DOM reader took 1.4 GB) or spread wide is read
// within 300 MB of address space: refused at the nesting bound, or read for its spectrum.
TEST(FieldFiles, HugeDocumentsInLittleMemory) {
#ifdef NV_SANITIZED
    GTEST_SKIP() << "the sanitizers' shadow memory makes an address-space bound meaningless";
#endif
    proc::TempDir dir;
    const std::string head = "<RadInstrumentData xmlns=\"http://physics.nist.gov/N42/2011/N42\">";
    std::string deep = head, wide = head;
    while (deep.size() < (60u << 20)) deep += "<RadMeasurement>";
    while (wide.size() < (60u << 20)) wide += "<Remark>a remark of the measurement</Remark>\n";
    wide +=
        "<RadMeasurement><Spectrum><ChannelData>4 5 6</ChannelData></Spectrum></RadMeasurement>"
        "</RadInstrumentData>\n";
    e2e::write_file(dir.file("deep.n42"), deep);
    e2e::write_file(dir.file("wide.n42"), wide);
    deep.clear(), wide.clear();
    for (auto [name, want] :
         {std::pair{"deep.n42",
                    "nv-spc: deep.n42:1: not XML: elements nested more than 256 deep\n"},
          {"wide.n42", "Total counts: 15\n"}}) {
        auto r = proc::run({"/bin/sh", "-c",
                            std::string("ulimit -v 300000; exec ") + NV_SPC_BIN + " info " + name},
                           "", dir.path(), 30000);
        EXPECT_NE(r.output.find(want), std::string::npos) << r.output.substr(0, 400);
    }
}
