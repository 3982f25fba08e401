#include "spc_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr int LABEL_WIDTH = 8;  // count labels and the axis line left of the plot
const char* const BLOCKS[9] = {" ", "▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};

std::string format_number(double v) {
    char buf[32];
    if (std::abs(v) >= 1e7 || (v != 0 && std::abs(v) < 1e-3))
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

void spc_value_range(const spc_spectrum& s, const spc_plot_options& o, double* smallest,
                     double* largest) {
    bool overlaid = o.overlay.size() == s.counts.size();
    *smallest = INFINITY;
    *largest = 0;
    for (size_t i = 0; i < s.counts.size(); ++i) {
        for (double v : {s.counts[i] * o.norm, overlaid ? o.overlay[i] : NAN}) {
            if (!(v > 0)) continue;
            *smallest = std::min(*smallest, v);
            *largest = std::max(*largest, v);
        }
    }
    if (!std::isfinite(*smallest)) *smallest = *largest = 1;
}

std::string spc_tick_text(double v, double step) {
    char buf[48];
    if (std::abs(v) < step / 2) v = 0;
    // A step of 0.05 needs two decimals, of 0.2 one, of 5 none.
    int decimals = std::clamp(static_cast<int>(std::ceil(-std::log10(step) - 1e-9)), 0, 12);
    if (std::abs(v) >= 1e6)
        std::snprintf(buf, sizeof buf, "%.0e", v);
    else
        std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string spc_decade_text(int d) {
    char buf[32];
    if (d >= 0 && d <= 5)
        std::snprintf(buf, sizeof buf, "%.0f", std::pow(10.0, d));
    else if (d < 0 && d >= -4)
        std::snprintf(buf, sizeof buf, "%.*f", -d, std::pow(10.0, d));
    else
        std::snprintf(buf, sizeof buf, "%.0e", std::pow(10.0, d));
    return buf;
}

bool spc_overlaps(const spc_box& a, const spc_box& b) {
    return a[0] < b[2] && a[2] > b[0] && a[1] < b[3] && a[3] > b[1];
}

void spc_place_labels(std::vector<spc_label>* labels, const spc_box& frame, double tick,
                      const std::vector<spc_box>& taken) {
    std::vector<spc_box> boxes = taken, leaders;
    for (const auto& l : *labels) leaders.push_back({l.x - 0.5, l.y - tick, l.x + 0.5, l.y});
    std::vector<size_t> order(labels->size());
    for (size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return (*labels)[a].area > (*labels)[b].area; });
    for (size_t k : order) {
        spc_label& l = (*labels)[k];
        auto clear = [&](const spc_box& r) {
            spc_box lead{l.x - 0.5, r[3], l.x + 0.5, l.y};
            for (const auto& q : boxes)
                if (spc_overlaps(r, q) || spc_overlaps(lead, q)) return false;
            for (const auto& q : leaders)
                if (spc_overlaps(r, q)) return false;
            return true;
        };
        double half = l.w / 2;
        for (double y1 = l.y - 2 * tick; !l.placed && y1 - l.h > frame[1]; y1 -= 0.25 * l.h) {
            for (double cx : {l.x, l.x - half + 1, l.x + half - 1}) {
                cx = std::clamp(cx, frame[0] + half, frame[2] - half);
                spc_box b{cx - half, y1 - l.h, cx + half, y1};
                if (b[0] <= l.x && l.x <= b[2] && clear(b)) {
                    l.box = b;
                    l.placed = true;
                    break;
                }
            }
        }
        if (!l.placed) continue;
        boxes.push_back(l.box);
        leaders.push_back({l.x - 0.5, l.box[3], l.x + 0.5, l.y});
    }
}

std::string spc_plot_text(const spc_spectrum& s, const spc_calib& c,
                          const std::vector<spc_peak>& peaks, const spc_plot_options& o) {
    int n = static_cast<int>(s.counts.size());
    int width = std::max(o.width, LABEL_WIDTH + 10);
    int cols = width - LABEL_WIDTH;
    int rows = std::max(o.height, 3);
    bool energy = spc_energy_axis(c, o);
    bool overlaid = o.overlay.size() == s.counts.size();
    std::string out;
    if (!o.title.empty()) out += o.title.substr(0, width) + "\n";

    // Each column shows the highest channel of its share, so a narrow line keeps its height;
    // the overlay likewise (NaN where it has no value).
    std::vector<double> col(cols, 0.0), over(cols, NAN);
    for (int k = 0; k < cols; ++k) {
        int from = static_cast<int>(static_cast<int64_t>(k) * n / cols);
        int to = std::max(from + 1, static_cast<int>(static_cast<int64_t>(k + 1) * n / cols));
        for (int i = from; i < to && i < n; ++i) {
            col[k] = std::max(col[k], s.counts[i] * o.norm);
            if (overlaid && std::isfinite(o.overlay[i]))
                over[k] = std::isnan(over[k]) ? o.overlay[i] : std::max(over[k], o.overlay[i]);
        }
    }
    double smallest, peak_value;
    spc_value_range(s, o, &smallest, &peak_value);
    // Linear: from 0 to a round top. Log: from a decade below the smallest count above 0 shown
    // to the next power of ten above the largest.
    double top, bottom = 0;
    if (o.log) {
        bottom = std::log10(smallest) - 1;
        top = std::max(bottom + 1, std::ceil(std::log10(std::max(peak_value, smallest)) + 1e-9));
    } else {
        double step = spc_nice_step(peak_value > 0 ? peak_value : 1.0, 4);
        top = std::max(step, std::ceil(peak_value / step) * step);
    }
    auto height_of = [&](double v) {
        double f = o.log ? (v > 0 ? (std::log10(v) - bottom) / (top - bottom) : 0) : v / top;
        return static_cast<int>(std::lround(std::clamp(f, 0.0, 1.0) * rows * 8));
    };

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
        if (o.log) {
            // Each power of ten on the row whose top is nearest to it.
            for (int d = static_cast<int>(std::floor(bottom)) + 1; d <= top; ++d)
                if (static_cast<int>(std::lround((d - bottom) / (top - bottom) * rows)) - 1 == r)
                    label = spc_decade_text(d);
        } else {
            if (r == rows - 1) label = format_number(top);
            if (r == (rows - 1) / 2) label = format_number(top * (r + 1) / rows);
        }
        line.put(LABEL_WIDTH - 2 - static_cast<int>(label.size()), label);
        line.cells[LABEL_WIDTH - 1] = label.empty() ? "│" : "┤";
        for (int k = 0; k < cols; ++k) {
            int eighths = height_of(col[k]) - r * 8;
            line.cells[LABEL_WIDTH + k] = BLOCKS[std::clamp(eighths, 0, 8)];
            if (!std::isnan(over[k])) {
                int h = height_of(over[k]);
                if (std::clamp(h - 1, 0, rows * 8 - 1) / 8 == r) line.cells[LABEL_WIDTH + k] = "•";
            }
        }
        out += line.str();
    }

    // The x axis: ticks at round channels or energies, their labels below, and the unit at the
    // right end before any label, so that no width loses it.
    row axis(width), labels(width);
    // The log axis's bottom: a decade below the smallest count, to two figures.
    std::string zero = "0";
    if (o.log) {
        char buf[32];
        double v = std::pow(10.0, bottom);
        std::snprintf(buf, sizeof buf,
                      v < 1e-3 || v >= 1e5 ? "%.0e"
                      : v < 1              ? "%.2g"
                      : v < 1000           ? "%.3g"
                                           : "%.0f",
                      v);
        zero = buf;
    }
    axis.put(LABEL_WIDTH - 2 - static_cast<int>(zero.size()), zero);
    axis.cells[LABEL_WIDTH - 1] = "└";
    for (int k = 0; k < cols; ++k) axis.cells[LABEL_WIDTH + k] = "─";
    std::string unit = energy ? "keV" : cols >= 30 ? "channel" : "ch";
    if (!labels.put(width - static_cast<int>(unit.size()) - 1, " " + unit))
        labels.put(width - static_cast<int>(unit.size()), unit);
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
    out += axis.str() + labels.str();
    return out;
}
