// Figures decode with the size asked for; the terminal picture of a known spectrum matches the
// stored one.
#include <gtest/gtest.h>

#include <cairo.h>

#include <cstdlib>
#include <cstring>

#include <pugixml.hpp>

#include "spc_plot.h"
#include "spc_support.h"

using namespace spc_test;

namespace {

// A spectrum without noise: a sloped continuum, a narrow and a broad line.
spc_spectrum known() {
    spc_spectrum s;
    scene k;
    k.channels = 512, k.flat = 60, k.slope = -40.0 / 1024;
    k.lines = {{60, 3, 3000}, {331, 11, 20000}};
    for (double m : expected(k)) s.counts.push_back(static_cast<int32_t>(std::lround(m)));
    s.first = 20;
    s.second = 19;
    s.closing = "6.8 0 3 0";
    return s;
}

cairo_status_t read_chunk(void* closure, unsigned char* data, unsigned int length) {
    auto* in = static_cast<std::pair<const std::string*, size_t>*>(closure);
    if (in->second + length > in->first->size()) return CAIRO_STATUS_READ_ERROR;
    std::memcpy(data, in->first->data() + in->second, length);
    in->second += length;
    return CAIRO_STATUS_SUCCESS;
}

}  // namespace

TEST(Plot, FiguresDecodeWithTheirSize) {
    spc_spectrum s = known();
    auto peaks = spc_find_peaks(s.counts);
    ASSERT_EQ(peaks.size(), 2u);
    spc_calib cal = linear(0, 2);
    struct size {
        int w, h;
        bool log;
    } sizes[] = {{1000, 600, false}, {640, 360, true}};
    for (const auto& z : sizes) {
        spc_plot_options o;
        o.width = z.w;
        o.height = z.h;
        o.log = z.log;
        o.title = "known";
        std::string png, svg, pdf, error;
        ASSERT_TRUE(spc_plot_figure(s, cal, peaks, o, spc_figure_kind::png, &png, &error));
        std::pair<const std::string*, size_t> in{&png, 0};
        cairo_surface_t* img = cairo_image_surface_create_from_png_stream(read_chunk, &in);
        ASSERT_EQ(cairo_surface_status(img), CAIRO_STATUS_SUCCESS);
        EXPECT_EQ(cairo_image_surface_get_width(img), z.w);
        EXPECT_EQ(cairo_image_surface_get_height(img), z.h);
        // Not a blank page: the filled spectrum's colour is in the middle of the plot.
        cairo_surface_flush(img);
        int stride = cairo_image_surface_get_stride(img);
        const unsigned char* px = cairo_image_surface_get_data(img);
        int coloured = 0;
        for (int y = 0; y < z.h; ++y)
            for (int x = 0; x < z.w; ++x) {
                const unsigned char* p = px + y * stride + 4 * x;
                coloured += p[0] != p[1] || p[1] != p[2];
            }
        EXPECT_GT(coloured, z.w * z.h / 20);

        // The peaks' labels are there (red text).
        int labels = 0;
        for (int y = 0; y < z.h; ++y)
            for (int x = 0; x < z.w; ++x) {
                const unsigned char* q = px + y * stride + 4 * x;  // B, G, R
                labels += q[2] > 150 && q[1] < 90 && q[0] < 90;
            }
        EXPECT_GT(labels, 20);
        cairo_surface_destroy(img);

        ASSERT_TRUE(spc_plot_figure(s, cal, peaks, o, spc_figure_kind::svg, &svg, &error));
        pugi::xml_document doc;
        ASSERT_TRUE(doc.load_string(svg.c_str()));
        auto root = doc.document_element();
        EXPECT_STREQ(root.name(), "svg");
        EXPECT_EQ(root.attribute("width").as_string(), std::to_string(z.w) + "pt");
        EXPECT_EQ(root.attribute("height").as_string(), std::to_string(z.h) + "pt");
        EXPECT_EQ(root.attribute("viewBox").as_string(),
                  "0 0 " + std::to_string(z.w) + " " + std::to_string(z.h));

        ASSERT_TRUE(spc_plot_figure(s, cal, peaks, o, spc_figure_kind::pdf, &pdf, &error));
        EXPECT_EQ(pdf.substr(0, 5), "%PDF-");
        char box[64];
        std::snprintf(box, sizeof box, "/MediaBox [ 0 0 %d %d ]", z.w, z.h);
        EXPECT_NE(pdf.find(box), std::string::npos);
    }
}

TEST(Plot, TerminalPictureMatchesStoredText) {
    spc_spectrum s = known();
    auto peaks = spc_find_peaks(s.counts);
    struct view {
        const char* file;
        spc_calib cal;
        bool log;
    } views[] = {{"plot_linear_60.txt", {}, false},
                 {"plot_log_kev_60.txt", linear(0, 2), true},
                 // An offset: the ticks at round energies, not round channels.
                 {"plot_offset_kev_60.txt", linear(1000, 0.5), false}};
    for (const auto& v : views) {
        spc_plot_options o;
        o.width = 60;
        o.height = 8;
        o.log = v.log;
        o.title = "known.spc";
        std::string text = spc_plot_text(s, v.cal, peaks, o);
        std::string path = std::string(NV_SOURCE_DIR) + "/tests/unit_spc/data/" + v.file;
        // NV_UPDATE_EXPECTED=1 stores the picture as it is now (look at it before committing).
        if (std::getenv("NV_UPDATE_EXPECTED")) e2e::write_file(path, text);
        std::string stored = e2e::read_file(path);
        EXPECT_EQ(text, stored) << v.file << ":\n" << text;
    }
}

// The font caches of the figures drawn in this process go at its end.
class FigureCleanup : public ::testing::Environment {
  public:
    void TearDown() override { spc_figure_cleanup(); }
};
const auto* const figure_cleanup = ::testing::AddGlobalTestEnvironment(new FigureCleanup);

TEST(Plot, TicksAndLabels) {
    EXPECT_EQ(spc_nice_step(1024, 10), 200);
    EXPECT_EQ(spc_nice_step(100, 10), 10);
    EXPECT_EQ(spc_nice_step(2047, 4), 1000);
    EXPECT_EQ(spc_nice_step(0.9, 3), 0.5);
    // A figure's tick labels: rounding errors of the steps read 0, large values in powers.
    struct tick {
        double v, step;
        const char* text;
    } ticks[] = {{1e-13, 200, "0"}, {-3e-14, 0.5, "0.0"}, {1200, 200, "1200"},
                 {2.5, 0.5, "2.5"}, {3e6, 1e6, "3e+06"},  {-400, 200, "-400"}};
    for (const auto& t : ticks) EXPECT_EQ(spc_tick_text(t.v, t.step), t.text) << t.v;
    spc_peak p;
    p.centroid = 331.04;
    EXPECT_EQ(spc_peak_label(p, {}, false), "331.0");
    EXPECT_EQ(spc_peak_label(p, linear(1, 2), true), "663.1");
}

// Crowded labels: none covers another, a tick or a leader line; each sits over its line.
TEST(Plot, LabelsNeverCoverLeaders) {
    std::mt19937_64 rng(4);
    for (int trial = 0; trial < 20; ++trial) {
        std::vector<spc_label> labels;
        for (int k = 0; k < 25; ++k) {
            spc_label l;
            l.x = 60 + rng() % 500;
            l.y = 80 + rng() % 300;
            l.w = 30 + rng() % 30;
            l.h = 12;
            l.area = static_cast<double>(rng() % 1000);
            labels.push_back(l);
        }
        spc_place_labels(&labels, {50, 20, 600, 400}, 4, {{500, 20, 600, 60}});
        int placed = 0;
        for (size_t a = 0; a < labels.size(); ++a) {
            const auto& l = labels[a];
            if (!l.placed) continue;
            placed++;
            EXPECT_TRUE(l.box[0] <= l.x && l.x <= l.box[2] && l.box[3] < l.y);
            EXPECT_TRUE(l.box[0] >= 50 && l.box[2] <= 600 && l.box[1] >= 20);
            EXPECT_FALSE(spc_overlaps(l.box, {500, 20, 600, 60}));
            for (size_t b = 0; b < labels.size(); ++b) {
                if (a == b) continue;
                const auto& m = labels[b];
                spc_box tick{m.x - 0.5, m.y - 4, m.x + 0.5, m.y};
                spc_box leader{m.x - 0.5, m.placed ? m.box[3] : m.y, m.x + 0.5, m.y};
                EXPECT_FALSE(spc_overlaps(l.box, tick) || spc_overlaps(l.box, leader));
                EXPECT_FALSE(m.placed && spc_overlaps(l.box, m.box));
            }
        }
        EXPECT_GE(placed, 8);
    }
}

// The terminal picture keeps its unit at every width, and a log axis starts a decade below the
// smallest count above 0.
TEST(Plot, UnitAtEveryWidthAndLogBottom) {
    spc_spectrum s = known();
    auto peaks = spc_find_peaks(s.counts);
    for (int width = 20; width <= 200; ++width)
        for (const spc_calib& c : {spc_calib{}, linear(0, 2)}) {
            spc_plot_options o;
            o.width = width;
            o.height = 4;
            std::string text = spc_plot_text(s, c, peaks, o);
            std::string last = text.substr(text.rfind('\n', text.size() - 2) + 1);
            std::string unit = c.set ? "keV\n" : width >= 38 ? "channel\n" : "ch\n";
            EXPECT_EQ(last.substr(last.size() - unit.size()), unit) << width << "\n" << text;
        }
    for (int32_t smallest : {1, 3, 40, 700}) {
        spc_spectrum t = s;
        for (auto& v : t.counts) v = std::max(v, smallest);
        t.counts[7] = smallest;
        spc_plot_options o;
        o.log = true;
        std::string text = spc_plot_text(t, {}, {}, o);
        std::string axis = text.substr(text.find("└") - 8, 8);
        double bottom = std::stod(axis);
        EXPECT_NEAR(bottom, smallest / 10.0, smallest / 100.0 + 0.005) << axis;
    }
}
