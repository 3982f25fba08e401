// Figures decode at the size asked for and put things where they belong; the terminal picture.
#include <gtest/gtest.h>

#include <cairo.h>

#include <sstream>

#include "spc_plot.h"
#include "spc_support.h"

using namespace spc_test;

namespace {

// A spectrum without noise: a sloped continuum, a narrow and a broad line (the header and
// closing line are drawn nowhere).
spc_spectrum known() {
    spc_spectrum s;
    scene k;
    k.channels = 512, k.flat = 60, k.slope = -40.0 / 1024;
    k.lines = {{60, 3, 3000}, {331, 11, 20000}};
    for (double m : expected(k)) s.counts.push_back(static_cast<int32_t>(std::lround(m)));
    return s;
}

// A PNG decoded by cairo; px(x, y) points at a pixel's B, G, R, is(x, y, KIND) classifies it.
struct image {
    cairo_surface_t* img;
    explicit image(const std::string& png) {
        proc::TempDir dir;
        e2e::write_file(dir.file("a.png"), png);
        img = cairo_image_surface_create_from_png(dir.file("a.png").c_str());
        cairo_surface_flush(img);
    }
    ~image() { cairo_surface_destroy(img); }
    bool ok() const { return cairo_surface_status(img) == CAIRO_STATUS_SUCCESS; }
    int w() const { return cairo_image_surface_get_width(img); }
    int h() const { return cairo_image_surface_get_height(img); }
    const unsigned char* px(int x, int y) const {
        return cairo_image_surface_get_data(img) + y * cairo_image_surface_get_stride(img) + 4 * x;
    }
    enum kind { dark, blue, red, label_red, orange };  // blue: the spectrum; label_red: text
    bool is(int x, int y, kind k) const {
        const unsigned char* q = px(x, y);
        switch (k) {
            case dark:
                return std::max({q[0], q[1], q[2]}) < 200;
            case blue:
                return q[0] > q[2] + 30;
            case red:
                return q[2] > q[1] + 40 && q[2] > q[0] + 40;
            case label_red:
                return q[2] > 150 && q[1] < 90 && q[0] < 90;
            default:
                return q[2] > 190 && q[1] > 70 && q[1] < 130 && q[0] < 40;
        }
    }
};

}  // namespace

TEST(Plot, FiguresDecodeWithTheirSize) {
    spc_spectrum s = known();
    auto peaks = spc_find_peaks(s.counts);
    ASSERT_EQ(peaks.size(), 2u);
    spc_calib cal = linear(0, 2);
    for (bool log : {false, true}) {
        spc_plot_options o;
        o.width = log ? 640 : 1000;
        o.height = log ? 360 : 600;
        o.log = log;
        o.title = "known";
        if (log) {  // an overlay, and the legend naming both
            o.overlay.assign(s.counts.begin(), s.counts.end());
            for (auto& v : o.overlay) v *= 0.5;
            o.label = "known", o.overlay_label = "half";
        }
        std::string png, svg, pdf, error;
        ASSERT_TRUE(spc_plot_figure(s, cal, peaks, o, spc_figure_kind::png, &png, &error));
        image img(png);
        ASSERT_TRUE(img.ok());
        EXPECT_EQ(img.w(), o.width);
        EXPECT_EQ(img.h(), o.height);
        // Not blank: the fill's colour mid-plot; peak labels (red text) on white (nothing yellow);
        // the legend's swatch of the overlay's orange (a solid block, which no drawn line makes).
        int coloured = 0, labels = 0, yellow = 0, swatch = 0;
        for (int y = 0; y + 3 < o.height; ++y)
            for (int x = 0; x + 3 < o.width; ++x) {
                const unsigned char* p = img.px(x, y);  // B, G, R
                coloured += p[0] != p[1] || p[1] != p[2];
                labels += img.is(x, y, image::label_red);
                yellow += p[2] > 200 && p[1] > 200 && p[0] < 150;
                int block = 0;
                for (auto [dx, dy] : {std::pair{0, 0}, {3, 0}, {0, 3}, {3, 3}, {1, 1}})
                    block += img.is(x + dx, y + dy, image::orange);
                swatch += block == 5;
            }
        EXPECT_GT(coloured, o.width * o.height / 20);
        EXPECT_GT(labels, 20);
        EXPECT_EQ(yellow, 0);
        EXPECT_EQ(swatch > 0, log) << swatch;

        // The vector figures' page sizes, in points.
        ASSERT_TRUE(spc_plot_figure(s, cal, peaks, o, spc_figure_kind::svg, &svg, &error));
        ASSERT_TRUE(spc_plot_figure(s, cal, peaks, o, spc_figure_kind::pdf, &pdf, &error));
        std::string w = std::to_string(o.width), h = std::to_string(o.height);
        for (const std::string& a :
             {std::string("<svg "), " width=\"" + w + "pt\" height=\"" + h + "pt\"",
              " viewBox=\"0 0 " + w + " " + h + "\""})
            EXPECT_NE(svg.find(a), std::string::npos) << a;
        EXPECT_EQ(pdf.substr(0, 5), "%PDF-");
        EXPECT_NE(pdf.find("/MediaBox [ 0 0 " + w + " " + h + " ]"), std::string::npos);
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
    } ticks[] = {{1e-13, 200, "0"},    {-3e-14, 0.5, "0.0"}, {1200, 200, "1200"},
                 {2.5, 0.5, "2.5"},    {3e6, 1e6, "3e+06"},  {-400, 200, "-400"},
                 {0.15, 0.05, "0.15"}, {0.1, 0.05, "0.10"},  {0.002, 0.001, "0.002"},
                 {40, 100, "0"}};
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
    // Beside something on its left, a label moves to the right of its line before it moves up.
    // A label higher up may sit across the line of a lower one, above that one's label.
    std::vector<spc_label> one(2);
    one[0].x = 300, one[0].y = 200, one[0].w = 40, one[0].h = 12;
    one[1].x = 310, one[1].y = 150, one[1].w = 60, one[1].h = 12;
    spc_place_labels(&one, {50, 20, 600, 400}, 4, {{260, 150, 298.5, 195}});
    EXPECT_TRUE(one[0].placed && one[0].box[0] == 299 && one[0].box[3] == 192)
        << one[0].box[0] << " " << one[0].box[3];
    EXPECT_TRUE(one[1].placed && one[1].box[0] == 280) << one[1].box[0];
    // Beside something on its right, it ends at its line.
    std::vector<spc_label> two(1, one[0]);
    two[0].placed = false;
    spc_place_labels(&two, {50, 20, 600, 400}, 4, {{301.5, 150, 340, 195}});
    EXPECT_TRUE(two[0].placed && two[0].box[2] == 301) << two[0].box[2];
}

// Peaks are marked up to both ends; a log axis starts a decade below the smallest count above 0.
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
            // The tick labels apart and rising.
            std::istringstream labels(last.substr(0, last.size() - unit.size()));
            double before = -1;
            for (double v; labels >> v; before = v) EXPECT_GT(v, before) << width << "\n" << text;
        }
    spc_plot_options narrowest;  // below 18 columns: drawn at 18
    narrowest.width = 10;
    std::string at18 = spc_plot_text(s, {}, peaks, narrowest);
    narrowest.width = 18;
    EXPECT_EQ(at18, spc_plot_text(s, {}, peaks, narrowest));
    spc_peak ends[2];
    ends[1].centroid = s.counts.size() - 1.0;
    spc_plot_options narrow;
    narrow.width = 40;
    std::string marks = spc_plot_text(s, {}, {ends[0], ends[1]}, narrow);
    marks = marks.substr(0, marks.find('\n'));
    EXPECT_EQ(marks, "        ▼0.0                      511.0▼");  // the last label on the left
    spc_spectrum big = s;  // a top count of six figures fills the label's first column
    big.counts[100] = 150000;
    std::string tall = spc_plot_text(big, {}, {}, narrow);
    EXPECT_EQ(tall.substr(0, tall.find("┤")), "\n150000 ") << tall;
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

// 60 channels of 10 counts, 1000 in channel 30, a peak at 29.5 whose half width reaches it. The
// plot area is the frame's longest dark rows; channel c fills its c-th sixtieth; x ticks at 0, 10
// ... 50 (round channels, or round energies at 2 keV a channel); the spike reaches its count on
// the axis (linear: next 200 above 1.12 times the top, 1200; log: from a decade below the
// smallest count, 1, to the power of ten above 1.3 times the top, 10^4); the peak's red tick
// starts a little above the spike's top.
TEST(Plot, FigureGeometryFromPixels) {
    spc_spectrum s;
    s.counts.assign(60, 10);
    s.counts[30] = 1000;
    spc_peak p;
    p.centroid = 29.5, p.fwhm = 1, p.area = 1000;
    struct view {
        spc_calib cal;
        bool log;
        double top;  // the spike's height as a part of the plot's
    } views[] = {{{}, false, 1000.0 / 1200}, {linear(0, 2), true, 3.0 / 4}};
    for (const auto& v : views) {
        spc_plot_options o;
        o.width = 600, o.height = 400, o.log = v.log;
        std::string png, error;
        ASSERT_TRUE(spc_plot_figure(s, v.cal, {p}, o, spc_figure_kind::png, &png, &error));
        image img(png);
        ASSERT_TRUE(img.ok());
        auto is = [&](int x, int y, int what) { return img.is(x, y, image::kind(what)); };
        // The frame: the first and last columns (rows) holding a dark run as long as any.
        auto frame = [&](bool rows, int* first, int* last) {
            int lines = rows ? img.h() : img.w(), along = rows ? img.w() : img.h();
            std::vector<int> longest(lines);
            for (int a = 0; a < lines; ++a)
                for (int b = 0, r = 0; b < along; ++b)
                    longest[a] =
                        std::max(longest[a], r = is(rows ? b : a, rows ? a : b, 0) ? r + 1 : 0);
            int most = *std::max_element(longest.begin(), longest.end());
            for (int a = 0; a < lines; ++a)
                if (longest[a] + 2 >= most) *last = a, *first = *first < 0 ? a : *first;
        };
        int left = -1, right = -1, top = -1, bottom = -1;
        frame(false, &left, &right);
        frame(true, &top, &bottom);
        double pw = right - left, ph = bottom - top;
        auto X = [&](double channel) { return left + pw * (channel + 0.5) / 60; };
        // The spike halfway up fills channel 30's columns; its top, and the lowest red pixel
        // (the tick) with the mean column of its row.
        int mid = static_cast<int>(bottom - 0.5 * v.top * ph), lo = -1, hi = -1, cx = X(30);
        int peak_top = top + 3, tick_y = -1;
        for (int x = left + 2; x < right - 1; ++x)
            if (is(x, mid, 1)) hi = x, lo = lo < 0 ? x : lo;
        while (peak_top < bottom && !is(cx, peak_top, 1)) ++peak_top;
        for (int y = top + 2; y < bottom; ++y)
            for (int x = left + 2; x < right - 1; ++x) tick_y = is(x, y, 2) ? y : tick_y;
        double tick_x = 0, reds = 0;
        for (int x = left + 2; x < right - 1; ++x)
            if (is(x, tick_y, 2)) tick_x += x, reds++;
        EXPECT_NEAR(lo, X(29.5), 1.5) << v.log;
        EXPECT_NEAR(hi, X(30.5), 1.5) << v.log;
        EXPECT_NEAR(peak_top, bottom - v.top * ph, 1.5) << v.log;
        EXPECT_TRUE(is(X(2), bottom - 2, 1)) << v.log;  // filled down to the axis
        EXPECT_NEAR(tick_x / reds, X(29.5), 1) << v.log;
        EXPECT_TRUE(tick_y < peak_top - 2 && tick_y > peak_top - 12) << tick_y << " " << v.log;
        // The x ticks below the frame.
        std::vector<double> ticks, want = {X(0), X(10), X(20), X(30), X(40), X(50)};
        for (int x = left - 3; x < right + 3; ++x)
            if (is(x, bottom + 3, 0) && !is(x - 1, bottom + 3, 0)) ticks.push_back(x);
        ASSERT_EQ(ticks.size(), want.size()) << v.log;
        for (size_t k = 0; k < ticks.size(); ++k) EXPECT_NEAR(ticks[k], want[k], 1.5) << v.log;
        // Their labels below them, left of the axis name: the digit right of the tick at 10.
        int digit = 0;
        for (int y = bottom + 2; y < img.h(); ++y)
            for (int x = X(10) + 2; x <= X(10) + 4; ++x) digit += is(x, y, 0);
        EXPECT_GT(digit, 3) << v.log;
    }
}

// A label over the filled spectrum has its white ground (no fill between its letters), and the
// overlay is drawn from its first channel (here its only two are 0 and 1).
TEST(Plot, LabelGroundAndOverlayStart) {
    spc_spectrum s;
    s.counts.assign(60, 1000);
    s.counts[30] = 0;
    spc_peak p;
    p.centroid = 30;
    spc_plot_options o;
    o.width = 600, o.height = 400, o.point = 3;
    o.overlay.assign(60, NAN);
    o.overlay[0] = o.overlay[1] = 1100;
    std::string png, error;
    ASSERT_TRUE(spc_plot_figure(s, {}, {p}, o, spc_figure_kind::png, &png, &error));
    image img(png);
    int top = -1, x0 = o.width, x1 = 0, orange = 0, fill = 0;
    for (int y = 0; y < o.height; ++y)
        for (int x = 0; x < o.width; ++x) {
            orange += img.is(x, y, image::orange);
            if (img.is(x, y, image::label_red) && (top < 0 || y < top + 6))
                top = top < 0 ? y : top, x0 = std::min(x0, x), x1 = std::max(x1, x);
        }
    for (int y = top; y < top + 6; ++y)
        for (int x = x0; x <= x1; ++x) fill += img.is(x, y, image::blue);
    EXPECT_GT(orange, 0);
    EXPECT_TRUE(top > o.height / 2 && x1 > x0 + 10 && fill == 0) << top << " " << fill;
}

// A PNG sized in cm has 200 pixels per inch and its lines as many points wide: the frame's top
// line (above the fill's edge, below the title) twice as dark as at 100 pixels per inch.
TEST(Plot, FigureResolution) {
    proc::TempDir dir;
    e2e::write_file(dir.file("spect.spc"), spectrum_text(std::vector<int32_t>(1024, 5)));
    double dark[2] = {};
    for (int k : {0, 1}) {
        auto r = nv_spc({"plot", "-o", "a.png", "--log", k ? "--width=315" : "--size=8x5",
                         k ? "--height=197" : "--log"},
                        dir.path());
        ASSERT_EQ(r.exit_code, 0) << r.output;
        image img(e2e::read_file(dir.file("a.png")));
        int x = img.w() * 9 / 10, y = img.h() / 2;
        while (img.is(x, y, image::blue) || img.is(x, y, image::dark)) --y;
        while (!img.is(x, y, image::dark)) --y;
        for (int j = y - 3; j < y + 3; ++j) dark[k] += (255 - img.px(x, j)[1]) / 255.0;
    }
    EXPECT_NEAR(dark[0], 2 * dark[1], 0.015);
}

// Every decade of a log axis is labelled with its own value, in the figure's layout and in the
// terminal: counts per second of an hour's spectrum (1 to 1000 counts) run from 2.8e-4 to 0.28.
TEST(Plot, LogAxesLabelEveryDecade) {
    struct decade {
        int d;
        const char* text;
    } decades[] = {{-6, "1e-06"}, {-5, "1e-05"}, {-4, "0.0001"}, {-2, "0.01"}, {-1, "0.1"},
                   {0, "1"},      {3, "1000"},   {5, "100000"},  {6, "1e+06"}};
    for (const auto& d : decades) EXPECT_EQ(spc_decade_text(d.d), d.text);
    spc_spectrum s;
    for (int i = 1; i <= 1000; ++i) s.counts.push_back(i);
    spc_plot_options o;
    o.log = true, o.norm = 1 / 3600.0, o.width = 800, o.height = 500;
    auto measure = [](const std::string& t, void*) { return 5.0 * t.size(); };
    spc_figure_layout l = spc_layout_figure(s, {}, {}, o, {measure, nullptr, 11});
    std::vector<std::string> texts;
    for (const auto& t : l.y_ticks) texts.push_back(t.label.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"0.0001", "0.001", "0.01", "0.1", "1"}));
    // A decade apart, equally far, upwards; the frame's bottom a decade below 1/3600.
    for (size_t k = 1; k < l.y_ticks.size(); ++k)
        EXPECT_NEAR(l.y_ticks[k - 1].at - l.y_ticks[k].at, l.y_ticks[0].at - l.y_ticks[1].at, 1e-9);
    double per_decade = l.y_ticks[0].at - l.y_ticks[1].at;
    EXPECT_NEAR(l.plot[3] - l.y_ticks[0].at, per_decade * std::log10(3600 * 1e-4 * 10), 1e-6);
    EXPECT_NEAR(spc_layout_y(l, 1.0 / 3600), l.plot[3] - per_decade, 1e-6);
    // A peak's label stays two lines below the frame's top, however high its line reaches.
    spc_peak top;
    top.centroid = 999, top.fwhm = 2;
    o.height = 120;
    l = spc_layout_figure(s, {}, {top}, o, {measure, nullptr, 11});
    EXPECT_EQ(l.labels[0].y, l.plot[1] + 22);
    // The terminal: each decade's label on its row, the bottom's to one figure.
    o.width = 60, o.height = 10;
    std::string text = spc_plot_text(s, {}, {}, o), labels;
    std::istringstream rows(text);
    for (std::string row; std::getline(rows, row);)
        if (row.find("┤") != std::string::npos || row.find("└") != std::string::npos)
            labels += row.substr(0, row.find_first_of('\xe2')) + "|";
    EXPECT_EQ(labels, "     1 |   0.1 |  0.01 | 0.001 |0.0001 | 3e-05 |") << text;
    o.norm = 0.0028;  // a bottom of 0.00028: one figure, to fit the label's six columns
    text = spc_plot_text(s, {}, {}, o);
    EXPECT_NE(text.find(" 3e-04 └"), std::string::npos) << text;
}

// A figure's layout in numbers: the frame inside the figure with room for the labels, ticks at
// round channels and counts, the peak's label over its line inside the frame.
TEST(Plot, FigureLayout) {
    spc_spectrum s;
    s.counts.assign(60, 10);
    s.counts[30] = 1000;
    spc_peak p;
    p.centroid = 30, p.fwhm = 1, p.area = 1000;
    spc_plot_options o;
    o.width = 600, o.height = 400, o.title = "t";
    auto measure = [](const std::string& t, void*) { return 6.0 * t.size(); };
    spc_figure_layout l = spc_layout_figure(s, linear(0, 2), {p}, o, {measure, nullptr, 12});
    const auto [left, top, right, bottom] = l.plot;
    EXPECT_NEAR(left, 12 + 12 + 6 * 4 + 4, 1e-9);  // a line, two gaps, "1200", four points
    EXPECT_NEAR(right, 600 - 12, 1e-9);
    EXPECT_NEAR(top, 2.5 * 12, 1e-9);
    EXPECT_NEAR(bottom, 400 - 2 * 12 - 3 * 6, 1e-9);
    std::vector<std::string> ys, xs;
    for (const auto& t : l.y_ticks) ys.push_back(t.label.text);
    for (const auto& t : l.x_ticks) xs.push_back(t.label.text);
    EXPECT_EQ(ys, (std::vector<std::string>{"0", "200", "400", "600", "800", "1000", "1200"}));
    EXPECT_EQ(xs, (std::vector<std::string>{"0", "20", "40", "60", "80", "100"}));
    for (size_t k = 0; k < l.x_ticks.size(); ++k)  // 20 keV = 10 channels, at the channel's centre
        EXPECT_NEAR(l.x_ticks[k].at, left + (right - left) * (10 * k + 0.5) / 60, 1e-9);
    EXPECT_NEAR(l.y_ticks[5].at, bottom - (bottom - top) * 1000 / 1200, 1e-9);
    ASSERT_EQ(l.labels.size(), 1u);
    const spc_label& b = l.labels[0];
    EXPECT_EQ(l.label_texts[0], "60.0");
    EXPECT_TRUE(b.placed && b.box[0] <= b.x && b.x <= b.box[2] && b.box[1] >= top &&
                b.box[3] < b.y);
    EXPECT_NEAR(b.y, spc_layout_y(l, 1000) - 6, 1e-9);
    // The axis names centred on their axes, the title over the frame's left end.
    EXPECT_NEAR(l.x_name.x, (left + right) / 2, 1e-9);
    EXPECT_NEAR(l.x_name.y, 400 - 6, 1e-9);
    EXPECT_NEAR(l.y_name.y, (top + bottom) / 2, 1e-9);
    EXPECT_TRUE(l.y_name.ax == 0.5 && l.y_name.ay == 0);  // turned: its top towards the edge
    EXPECT_TRUE(l.title.x == left && l.title.y == 6 && l.title.ay == 0 && l.title.text == "t");
    // A legend in the frame's top right corner, a line and a fifth apart, a swatch before each.
    o.overlay.assign(60, 5), o.label = "AB", o.overlay_label = "C";
    l = spc_layout_figure(s, linear(0, 2), {p}, o, {measure, nullptr, 12});
    ASSERT_EQ(l.legend.size(), 2u);
    for (int k = 0; k < 2; ++k) {
        const spc_text_at& t = l.legend[k].label;
        EXPECT_NEAR(t.x, right - 6 - (k ? 6 : 12), 1e-9);
        EXPECT_NEAR(t.y, top + 6 + 14.4 * k, 1e-9);
        EXPECT_TRUE(t.ax == 0 && t.ay == 0 && l.legend[k].overlay == (k == 1));
        EXPECT_NEAR(l.legend[k].swatch[2], t.x - 4.2, 1e-9);
    }
}
