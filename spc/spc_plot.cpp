#include "spc_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr int LABEL_WIDTH = 8;  // count labels and the axis line left of the plot
const char* const BLOCKS[9] = {" ", "▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};

std::string format_number(double v) {
    char buf[32];
    if (std::abs(v) >= 1e7)
        std::snprintf(buf, sizeof buf, "%.0e", v);
    else
        std::snprintf(buf, sizeof buf, "%.10g", v);
    return buf;
}

// One row of cells, one character each (a cell may hold a multi-byte UTF-8 character).
struct row {
    std::vector<std::string> cells;
    explicit row(int width) : cells(width, " ") {}
    // Writes ASCII `text` from column `at` if all of it fits on blank cells; false otherwise.
    bool put(int at, const std::string& text) {
        if (at < 0 || at + static_cast<int>(text.size()) > static_cast<int>(cells.size()))
            return false;
        for (size_t i = 0; i < text.size(); ++i)
            if (cells[at + i] != " ") return false;
        for (size_t i = 0; i < text.size(); ++i) cells[at + i] = std::string(1, text[i]);
        return true;
    }
    std::string str() const {
        std::string s;
        for (const auto& c : cells) s += c;
        while (!s.empty() && s.back() == ' ') s.pop_back();
        return s + "\n";
    }
};

}  // namespace

bool spc_energy_axis(const spc_calib& c, const spc_plot_options& o) {
    return c.set && !o.channel_axis;
}

double spc_nice_step(double range, int max_ticks) {
    if (range <= 0 || max_ticks < 1) return 1;
    double raw = range / max_ticks;
    double p = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * p >= raw) return m * p;
    return 10 * p;
}

std::string spc_peak_label(const spc_peak& p, const spc_calib& c, bool energy_axis) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", energy_axis ? spc_energy(c, p.centroid) : p.centroid);
    return buf;
}

std::string spc_plot_text(const spc_spectrum& s, const spc_calib& c,
                          const std::vector<spc_peak>& peaks, const spc_plot_options& o) {
    int n = static_cast<int>(s.counts.size());
    int width = std::max(o.width, LABEL_WIDTH + 10);
    int cols = width - LABEL_WIDTH;
    int rows = std::max(o.height, 3);
    bool energy = spc_energy_axis(c, o);
    std::string out;
    if (!o.title.empty()) out += o.title.substr(0, width) + "\n";

    // Each column shows the highest channel of its share, so a narrow line keeps its height.
    std::vector<double> col(cols, 0.0);
    for (int k = 0; k < cols; ++k) {
        int from = static_cast<int>(static_cast<int64_t>(k) * n / cols);
        int to = std::max(from + 1, static_cast<int>(static_cast<int64_t>(k + 1) * n / cols));
        for (int i = from; i < to && i < n; ++i) col[k] = std::max(col[k], double(s.counts[i]));
    }
    double peak_value = *std::max_element(col.begin(), col.end());
    // Linear: from 0 to a round top; log: from 1 to the next power of ten.
    double top;
    auto height_of = [&](double v) {
        double f = o.log ? (v >= 1 ? std::log10(v) / std::log10(top) : 0) : v / top;
        return static_cast<int>(std::lround(std::clamp(f, 0.0, 1.0) * rows * 8));
    };
    if (o.log) {
        top =
            std::pow(10.0, std::max(1.0, std::ceil(std::log10(std::max(peak_value, 1.0)) + 1e-9)));
    } else {
        double step = spc_nice_step(std::max(peak_value, 1.0), 4);
        top = std::max(step, std::ceil(peak_value / step) * step);
    }

    auto column_of = [&](double channel) {
        return static_cast<int>(std::floor((channel + 0.5) * cols / n));
    };
    // Peak markers above the plot: every peak's marker, then labels (the largest peaks first)
    // right of their marker, or left of it, wherever they fit with a blank on both sides.
    row marks(width);
    std::vector<std::pair<int, const spc_peak*>> marked;
    for (const auto& p : peaks) {
        int at = LABEL_WIDTH + column_of(p.centroid);
        if (at < LABEL_WIDTH || at >= width || marks.cells[at] != " ") continue;
        marks.cells[at] = "▼";
        marked.emplace_back(at, &p);
    }
    std::sort(marked.begin(), marked.end(),
              [](const auto& a, const auto& b) { return a.second->area > b.second->area; });
    for (const auto& [at, p] : marked) {
        std::string label = spc_peak_label(*p, c, energy);
        int len = static_cast<int>(label.size());
        if (!marks.put(at + 1, label + " ") && !marks.put(at + 1, label) &&
            marks.put(at - len - 1, " " + label))
            marks.cells[at - len - 1] = " ";
    }
    out += marks.str();

    for (int r = rows - 1; r >= 0; --r) {
        row line(width);
        std::string label;
        if (r == rows - 1) label = format_number(top);
        if (r == (rows - 1) / 2 && !o.log) label = format_number(top * (r + 1) / rows);
        if (o.log) {
            // Each power of ten on the row whose top is nearest to it.
            int decades = static_cast<int>(std::lround(std::log10(top)));
            for (int d = 1; d < decades; ++d)
                if (static_cast<int>(std::lround(double(d) * rows / decades)) - 1 == r &&
                    r != rows - 1)
                    label = format_number(std::pow(10.0, d));
        }
        line.put(LABEL_WIDTH - 2 - static_cast<int>(label.size()), label);
        line.cells[LABEL_WIDTH - 1] = label.empty() ? "│" : "┤";
        for (int k = 0; k < cols; ++k) {
            int eighths = height_of(col[k]) - r * 8;
            line.cells[LABEL_WIDTH + k] = BLOCKS[std::clamp(eighths, 0, 8)];
        }
        out += line.str();
    }

    // The x axis: ticks at round channels or energies, their labels below.
    row axis(width), labels(width);
    axis.put(LABEL_WIDTH - 2 - 1, o.log ? "1" : "0");
    axis.cells[LABEL_WIDTH - 1] = "└";
    for (int k = 0; k < cols; ++k) axis.cells[LABEL_WIDTH + k] = "─";
    double lo = energy ? spc_energy(c, -0.5) : -0.5, hi = energy ? spc_energy(c, n - 0.5) : n - 0.5;
    double step = spc_nice_step(hi - lo, std::max(1, cols / 10));
    int label_free = 0;
    for (double t = std::ceil(lo / step) * step; t <= hi; t += step) {
        double ch = energy ? spc_channel(c, t) : t;
        int at = LABEL_WIDTH + column_of(ch);
        if (at < LABEL_WIDTH || at >= width) continue;
        axis.cells[at] = "┬";
        std::string text = format_number(std::abs(t) < step / 2 ? 0 : t);
        if (at >= label_free && labels.put(at, text)) label_free = at + text.size() + 1;
    }
    std::string unit = energy ? "keV" : "channel";
    if (labels.put(width - static_cast<int>(unit.size()) - 1, " " + unit) == false)
        labels.put(width - static_cast<int>(unit.size()), unit);
    out += axis.str() + labels.str();
    return out;
}
