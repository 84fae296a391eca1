#include "driver/plot.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/parameters.h"
#include "detect/rules.h"
#include "driver/outfile.h"
#include "rules/rules.h"
#include "vectors/fvector.h"
#include "vectors/table.h"

namespace {

// Canvas and plot area in SVG user units.
constexpr double kWidth = 780, kHeight = 540;
constexpr double kLeft = 80, kRight = 560, kTop = 60, kBottom = 470;
constexpr double kBaseRadius = 3;     // with -l, the radius of a score of 1 or less
constexpr double kPlainRadius = 3.5;  // without -l, every radius
constexpr double kLargestScore = 16;  // with -l the radius stops growing here
constexpr const char* kInlierColour = "#3b75af";
constexpr const char* kMarkedColour = "#d62728";
constexpr const char* kRingColour = "#111111";
constexpr int kMaxTicks = 12;
// Above this many vectors the unmarked, unlabelled ones are drawn as one translucent path of
// small squares, one per occupied cell of kCell × kCell units, so that the file's size is
// bounded by the canvas rather than growing with the input.
constexpr size_t kCloudAbove = 2000;
constexpr int32_t kCell = 3;

struct Point {
    int32_t position;  // 1-based position in the file
    double x, y;
    double score;
    int32_t label;
    int32_t marked;
};

// A data range mapped onto a stretch of the canvas. Mapping works on halves so that a range
// spanning most of the double range still has a finite width.
struct Axis {
    double lo, hi;    // data range shown
    double from, to;  // canvas coordinates of lo and hi
    double map(double v) const {
        return from + (to - from) * ((v / 2 - lo / 2) / (hi / 2 - lo / 2));
    }
};

// The data range of the finite values, padded a little; a single value gets room around it.
Axis make_axis(const std::vector<double>& values, double from, double to) {
    double lo = INFINITY, hi = -INFINITY;
    for (double v : values) {
        if (!std::isfinite(v)) continue;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    if (lo > hi) {
        lo = 0;
        hi = 1;
    } else if (lo == hi) {
        double room = lo == 0 ? 1 : std::fabs(lo) / 10;
        lo = std::isfinite(lo - room) ? lo - room : lo;
        hi = std::isfinite(hi + room) ? hi + room : hi;
    } else {
        double pad = (hi / 2 - lo / 2) / 12.5;  // 4 % of the width on each side
        lo = std::isfinite(lo - pad) ? lo - pad : lo;
        hi = std::isfinite(hi + pad) ? hi + pad : hi;
    }
    // Values a few subnormals apart leave no width once halved (a tenth of the smallest
    // subnormal is 0): the range is opened to a unit on each side instead.
    if (!(hi / 2 - lo / 2 > 0)) {
        lo -= 1;
        hi += 1;
    }
    return {lo, hi, from, to};
}

// A tick step of 1, 2 or 5 times a power of ten giving five to ten ticks.
double tick_step(const Axis& axis) {
    double raw = (axis.hi / 2 - axis.lo / 2) / 5;  // a tenth of the width
    double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0}) {
        double step = m * power;
        if (step >= raw && std::isfinite(step)) return step;
    }
    return raw;
}

std::vector<double> ticks(const Axis& axis) {
    std::vector<double> result;
    double step = tick_step(axis);
    double first = std::ceil(axis.lo / step) * step;
    for (int i = 0; i < kMaxTicks; ++i) {
        double t = first + i * step;
        if (!std::isfinite(t) || t > axis.hi) break;
        if (t < axis.lo) continue;
        if (std::fabs(t) < step * 1e-9) t = 0;  // no "-0" from rounding
        result.push_back(t);
    }
    return result;
}

// Tick labels with as many decimals as the step needs.
std::string tick_label(double value, double step) {
    char text[64];
    if (std::fabs(value) >= 1e7 || step < 1e-6) {
        std::snprintf(text, sizeof text, "%g", value);
    } else {
        int decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
        std::snprintf(text, sizeof text, "%.*f", decimals, value);
    }
    return text;
}

double radius(const Point& p, bool sized) {
    if (!sized) return kPlainRadius;
    if (std::isnan(p.score)) return kBaseRadius;
    return kBaseRadius * std::sqrt(std::clamp(p.score, 1.0, kLargestScore));
}

// The length of the UTF-8 sequence that starts at the byte s[i] (0x80 or above) when it encodes
// a character XML allows, else 0. Reads no further than a byte that fails, so the terminating
// NUL stops it.
size_t utf8_length(const unsigned char* s, size_t i) {
    unsigned char c = s[i];
    auto cont = [&](size_t j, unsigned char lo, unsigned char hi) {
        return s[i + j] >= lo && s[i + j] <= hi;
    };
    if (c >= 0xC2 && c <= 0xDF) return cont(1, 0x80, 0xBF) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        unsigned char lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
        if (!cont(1, lo, hi) || !cont(2, 0x80, 0xBF)) return 0;
        bool non_character = c == 0xEF && s[i + 1] == 0xBF && s[i + 2] >= 0xBE;
        return non_character ? 0 : 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        unsigned char lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
        return cont(1, lo, hi) && cont(2, 0x80, 0xBF) && cont(3, 0x80, 0xBF) ? 4 : 0;
    }
    return 0;
}

std::vector<Point> collect_points(const tarn::PlotVectors& v, const Parameters* p) {
    std::vector<Point> points;
    points.reserve(static_cast<size_t>(v.n));
    for (int32_t i = 0; i < v.n; ++i) {
        const int32_t position = i + 1;
        const size_t at = static_cast<size_t>(i);
        Point point{position, 0, 0, v.score[at], v.label[at], v.marked[at]};
        if (v.plotted != nullptr) {
            point.x = v.plotted[2 * at];
            point.y = v.plotted[2 * at + 1];
        } else {
            tarn::plot_point(v.row[at], v.features, position, p, &point.x, &point.y);
        }
        points.push_back(point);
    }
    return points;
}

// The title of feature column i: its name from the input, or "column <i + 1>".
std::string column_title(const Parameters* p, size_t i) {
    if (p->names != nullptr && i < p->names->features.size())
        return tarn::xml_escape(p->names->features[i].c_str());
    return "column " + std::to_string(i + 1);
}

void print_axes(FILE* out, const Axis& x, const Axis& y, const char* x_title, const char* y_title) {
    std::fprintf(out, "<g font-size=\"11\" fill=\"#333333\">\n");
    double x_step = tick_step(x), y_step = tick_step(y);
    for (double t : ticks(x)) {
        double cx = x.map(t);
        std::fprintf(out,
                     "<line x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\" stroke=\"#e6e6e6\"/>\n"
                     "<line x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\" stroke=\"#333333\"/>\n"
                     "<text x=\"%.2f\" y=\"%.2f\" text-anchor=\"middle\">%s</text>\n",
                     cx, kTop, cx, kBottom, cx, kBottom, cx, kBottom + 5, cx, kBottom + 18,
                     tick_label(t, x_step).c_str());
    }
    for (double t : ticks(y)) {
        double cy = y.map(t);
        std::fprintf(out,
                     "<line x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\" stroke=\"#e6e6e6\"/>\n"
                     "<line x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\" stroke=\"#333333\"/>\n"
                     "<text x=\"%.2f\" y=\"%.2f\" text-anchor=\"end\">%s</text>\n",
                     kLeft, cy, kRight, cy, kLeft - 5, cy, kLeft, cy, kLeft - 8, cy + 4,
                     tick_label(t, y_step).c_str());
    }
    std::fprintf(out,
                 "<rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" fill=\"none\" "
                 "stroke=\"#333333\"/>\n",
                 kLeft, kTop, kRight - kLeft, kBottom - kTop);
    std::fprintf(out,
                 "<text x=\"%.2f\" y=\"%.2f\" text-anchor=\"middle\" font-size=\"13\">%s</text>\n",
                 (kLeft + kRight) / 2, kBottom + 42, x_title);
    std::fprintf(out,
                 "<text transform=\"translate(%.2f %.2f) rotate(-90)\" text-anchor=\"middle\" "
                 "font-size=\"13\">%s</text>\n",
                 kLeft - 52, (kTop + kBottom) / 2, y_title);
    std::fprintf(out, "</g>\n");
}

void print_point(FILE* out, const Point& pt, const Axis& x, const Axis& y, bool sized,
                 const Parameters* p) {
    bool ringed = pt.label == p->outlier_label;
    std::fprintf(out,
                 "<circle id=\"v%d\" class=\"%s\" cx=\"%.2f\" cy=\"%.2f\" r=\"%.2f\" fill=\"%s\" "
                 "stroke=\"%s\" stroke-width=\"%s\"><title>vector %d: label %s, score %g%s</title>"
                 "</circle>\n",
                 pt.position, pt.marked ? "marked" : "inlier", x.map(pt.x), y.map(pt.y),
                 radius(pt, sized), pt.marked ? kMarkedColour : kInlierColour,
                 ringed ? kRingColour : "#ffffff", ringed ? "1.5" : "0.5", pt.position,
                 tarn::xml_escape(tableLabelText(p->names, pt.label).c_str()).c_str(), pt.score,
                 pt.marked ? ", marked" : "");
}

// Whether pt goes into the inliers' cloud of a big picture: neither marked nor labelled.
bool in_cloud(const Point& pt, const Parameters* p) {
    return pt.marked == 0 && pt.label != p->outlier_label;
}

// The inliers' cloud: one path, a square per occupied cell, in file order. Returns the number
// of its vectors not drawn for a non-finite coordinate.
int32_t print_cloud(FILE* out, const std::vector<Point>& points, const Axis& x, const Axis& y,
                    const Parameters* p) {
    constexpr int32_t columns = static_cast<int32_t>(kWidth) / kCell + 1;
    constexpr int32_t rows = static_cast<int32_t>(kHeight) / kCell + 1;
    std::vector<bool> occupied(static_cast<size_t>(columns * rows));
    int32_t hidden = 0, drawn = 0;
    std::string path;
    for (const Point& pt : points) {
        if (!in_cloud(pt, p)) continue;
        if (!std::isfinite(pt.x) || !std::isfinite(pt.y)) {
            ++hidden;
            continue;
        }
        ++drawn;
        const int32_t column =
            std::clamp(static_cast<int32_t>(x.map(pt.x)) / kCell, 0, columns - 1);
        const int32_t row = std::clamp(static_cast<int32_t>(y.map(pt.y)) / kCell, 0, rows - 1);
        const size_t cell = static_cast<size_t>(row * columns + column);
        if (occupied[cell]) continue;
        occupied[cell] = true;
        char square[48];
        std::snprintf(square, sizeof square, "M%d %dh2v2h-2z", column * kCell, row * kCell);
        path += square;
    }
    std::fprintf(out,
                 "<path class=\"inlier\" fill=\"%s\" fill-opacity=\"0.45\" d=\"%s\"><title>%d "
                 "vectors not marked, one square per occupied cell</title></path>\n",
                 kInlierColour, path.c_str(), drawn);
    return hidden;
}

// What the rule's marks were cut at, for the title: the share with -c (or by default), else the
// rule's own limit (-I of the default rule, -T of the others; the mutual rule has none).
std::string cut_text(const tarn::Rule& rule, const Parameters* p) {
    char text[64];
    if (const double share = tarn::marked_share(p); share > 0) {
        std::snprintf(text, sizeof text, ", share %g", share);
    } else if (rule.limit == tarn::Limit::kIndegree) {
        std::snprintf(text, sizeof text, ", I = %d", p->I);
    } else if (rule.limit != tarn::Limit::kNone) {
        std::snprintf(text, sizeof text, ", T = %g", p->th);
    } else {
        text[0] = '\0';
    }
    return text;
}

void print_legend(FILE* out, const std::vector<Point>& points, Parameters* p, bool sized,
                  int32_t hidden) {
    int32_t marked = 0, labelled = 0;
    for (const Point& pt : points) {
        marked += pt.marked;
        labelled += pt.label == p->outlier_label ? 1 : 0;
    }
    const double x = kRight + 25;
    double y = kTop + 10;
    std::fprintf(out, "<g font-size=\"12\" fill=\"#333333\">\n");
    auto entry = [&](const char* fill, const char* stroke, const char* width, const char* text,
                     int32_t count) {
        std::fprintf(out,
                     "<circle cx=\"%.2f\" cy=\"%.2f\" r=\"5\" fill=\"%s\" stroke=\"%s\" "
                     "stroke-width=\"%s\"/>\n<text x=\"%.2f\" y=\"%.2f\">%s (%d)</text>\n",
                     x, y, fill, stroke, width, x + 12, y + 4, text, count);
        y += 22;
    };
    entry(kMarkedColour, "#ffffff", "0.5", "marked outlier", marked);
    entry(kInlierColour, "#ffffff", "0.5", "not marked",
          static_cast<int32_t>(points.size()) - marked);
    const std::string ring =
        "label " + tarn::xml_escape(tableLabelText(p->names, p->outlier_label).c_str());
    entry("none", kRingColour, "1.5", ring.c_str(), labelled);
    if (sized) {
        std::fprintf(out, "<text x=\"%.2f\" y=\"%.2f\">area grows with the score,</text>\n", x - 5,
                     y + 4);
        std::fprintf(out, "<text x=\"%.2f\" y=\"%.2f\">from 1 up to 16</text>\n", x - 5, y + 20);
        y += 40;
    }
    if (hidden > 0) {
        std::fprintf(out, "<text x=\"%.2f\" y=\"%.2f\">%d not drawn (non-finite)</text>\n", x - 5,
                     y + 4, hidden);
    }
    std::fprintf(out, "</g>\n");
}

}  // namespace

namespace tarn {

std::string xml_escape(const char* text) {
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    std::string out;
    for (size_t i = 0; s[i] != 0;) {
        unsigned char c = s[i];
        if (c == '&') {
            out += "&amp;";
        } else if (c == '<') {
            out += "&lt;";
        } else if (c == '>') {
            out += "&gt;";
        } else if (c == '"') {
            out += "&quot;";
        } else if (c == '\'') {
            out += "&apos;";
        } else if (c < 0x20 || c == 0x7F) {
            out += '?';
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (size_t length = utf8_length(s, i); length > 0) {
            out.append(text + i, length);
            i += length;
            continue;
        } else {
            out += '?';
        }
        ++i;
    }
    return out;
}

void plot_point(const double* values, int32_t features, int32_t position, const Parameters* p,
                double* x, double* y) {
    if (p->plot_x >= 0) {
        *x = values[p->plot_x];
        *y = values[p->plot_y];
    } else if (features >= 2) {
        *x = values[0];
        *y = values[1];
    } else {
        *x = position;
        *y = features == 1 ? values[0] : 0.0;
    }
}

int32_t print_plot(const PlotVectors& vectors, Parameters* p, FILE* out) {
    const tarn::Rule& rule = tarn::selected_rule(p);
    const bool sized = rule.sized_marks;
    std::vector<Point> points = collect_points(vectors, p);
    std::vector<double> xs, ys;
    const int32_t features = vectors.features;
    for (const Point& pt : points) {
        xs.push_back(pt.x);
        ys.push_back(pt.y);
    }
    Axis x = make_axis(xs, kLeft, kRight);
    Axis y = make_axis(ys, kBottom, kTop);

    std::fprintf(out,
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                 "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
                 "viewBox=\"0 0 %.0f %.0f\" font-family=\"sans-serif\">\n"
                 "<rect width=\"100%%\" height=\"100%%\" fill=\"#ffffff\"/>\n",
                 kWidth, kHeight, kWidth, kHeight);
    std::string file = tarn::xml_escape(p->instr);
    std::fprintf(out,
                 "<text x=\"%.2f\" y=\"32\" font-size=\"16\" fill=\"#111111\">%s rule, k = %d%s, "
                 "%s</text>\n",
                 kLeft, rule.name, p->k, cut_text(rule, p).c_str(), file.c_str());
    const bool chosen = p->plot_x >= 0;
    const std::string first = column_title(p, chosen ? static_cast<size_t>(p->plot_x) : 0);
    const std::string second = column_title(p, chosen ? static_cast<size_t>(p->plot_y) : 1);
    if (chosen || features >= 2) {
        print_axes(out, x, y, first.c_str(), second.c_str());
    } else {
        print_axes(out, x, y, "position in the file",
                   features == 1 ? first.c_str() : "(no feature)");
    }

    // Inliers first, so that marked points are drawn on top of them.
    const bool cloud = points.size() > kCloudAbove;
    int32_t hidden = 0;
    std::fprintf(out, "<g>\n");
    if (cloud) hidden += print_cloud(out, points, x, y, p);
    for (int32_t pass = 0; pass < 2; ++pass) {
        for (const Point& pt : points) {
            if (pt.marked != pass || (cloud && in_cloud(pt, p))) continue;
            if (!std::isfinite(pt.x) || !std::isfinite(pt.y)) {
                ++hidden;
                continue;
            }
            print_point(out, pt, x, y, sized, p);
        }
    }
    std::fprintf(out, "</g>\n");
    print_legend(out, points, p, sized, hidden);
    std::fprintf(out, "</svg>\n");
    return std::ferror(out) != 0 ? -1 : 0;
}

bool plot_names_input(const char* plot, const char* input) {
    return names_the_input(plot, input);
}

int32_t write_plot(const PlotVectors& vectors, Parameters* p, const char* path) {
    return write_whole_file(path, ".tarn-plot-",
                            [&](FILE* out) { return print_plot(vectors, p, out); });
}

}  // namespace tarn
