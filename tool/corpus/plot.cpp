#include "corpus/plot.h"

#include <cairo.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

namespace pst {
namespace {

struct box {
    double x, y, w, h;
};

struct colour {
    double r, g, b;
};
constexpr colour black{0, 0, 0}, grey{0.93, 0.93, 0.93}, hamcolour{0.2, 0.4, 0.8},
    spamcolour{0.85, 0.25, 0.2};

enum class anchor { start, middle, end };

struct point {
    double x, y;
};

// What the plot is drawn on: an SVG document of our own, whose labels stay
// text that a script (or a test) can read, or a cairo image for PNG.
class canvas {
   public:
    virtual ~canvas() = default;
    virtual void fill(const box& b, colour k, double alpha) = 0;
    virtual void outline(const box& b) = 0;
    virtual void line(const std::vector<point>& points, colour k, double width, bool dashed) = 0;
    virtual void text(double x, double y, const std::string& s, anchor a) = 0;
};

std::string number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

std::string rgb(colour k) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "rgb(%d,%d,%d)", static_cast<int>(k.r * 255),
                  static_cast<int>(k.g * 255), static_cast<int>(k.b * 255));
    return buf;
}

std::string escaped(const std::string& s) {
    std::string out;
    for (const char c : s) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else
            out += c;
    }
    return out;
}

class svgcanvas final : public canvas {
   public:
    svgcanvas() {
        doc_ =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" "
            "width=\"" +
            std::to_string(plotwidth) + "\" height=\"" + std::to_string(plotheight) +
            "\" viewBox=\"0 0 " + std::to_string(plotwidth) + " " + std::to_string(plotheight) +
            "\" font-family=\"sans-serif\" font-size=\"12\">\n<rect width=\"100%\" "
            "height=\"100%\" fill=\"white\"/>\n";
    }
    void fill(const box& b, colour k, double alpha) override {
        doc_ += "<rect x=\"" + number(b.x) + "\" y=\"" + number(b.y) + "\" width=\"" + number(b.w) +
                "\" height=\"" + number(b.h) + "\" fill=\"" + rgb(k) + "\" fill-opacity=\"" +
                number(alpha) + "\"/>\n";
    }
    void outline(const box& b) override {
        doc_ += "<rect x=\"" + number(b.x) + "\" y=\"" + number(b.y) + "\" width=\"" + number(b.w) +
                "\" height=\"" + number(b.h) + "\" fill=\"none\" stroke=\"black\"/>\n";
    }
    void line(const std::vector<point>& points, colour k, double width, bool dashed) override {
        doc_ += "<polyline fill=\"none\" stroke=\"" + rgb(k) + "\" stroke-width=\"" +
                number(width) + "\"" + (dashed ? " stroke-dasharray=\"6 4\"" : "") + " points=\"";
        for (const point& p : points) doc_ += number(p.x) + "," + number(p.y) + " ";
        doc_ += "\"/>\n";
    }
    void text(double x, double y, const std::string& s, anchor a) override {
        const char* how = a == anchor::start ? "start" : a == anchor::middle ? "middle" : "end";
        doc_ += "<text x=\"" + number(x) + "\" y=\"" + number(y) + "\" text-anchor=\"" + how +
                "\">" + escaped(s) + "</text>\n";
    }
    bool write(const std::string& path, std::string& error) {
        doc_ += "</svg>\n";
        std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "w"), std::fclose);
        if (!f || std::fwrite(doc_.data(), 1, doc_.size(), f.get()) != doc_.size() ||
            std::fflush(f.get()) != 0) {
            error = std::strerror(errno);
            return false;
        }
        if (std::fclose(f.release()) != 0) {
            error = std::strerror(errno);
            return false;
        }
        return true;
    }

   private:
    std::string doc_;
};

struct surfacefreer {
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct contextfreer {
    void operator()(cairo_t* c) const { cairo_destroy(c); }
};
using surfaceholder = std::unique_ptr<cairo_surface_t, surfacefreer>;
using contextholder = std::unique_ptr<cairo_t, contextfreer>;

class cairocanvas final : public canvas {
   public:
    explicit cairocanvas(cairo_t* c) : c_(c) {
        cairo_set_source_rgb(c_, 1, 1, 1);
        cairo_paint(c_);
        cairo_select_font_face(c_, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
        cairo_set_font_size(c_, 12);
    }
    void fill(const box& b, colour k, double alpha) override {
        cairo_set_source_rgba(c_, k.r, k.g, k.b, alpha);
        cairo_rectangle(c_, b.x, b.y, b.w, b.h);
        cairo_fill(c_);
    }
    void outline(const box& b) override {
        cairo_set_source_rgb(c_, 0, 0, 0);
        cairo_set_line_width(c_, 1);
        cairo_rectangle(c_, b.x, b.y, b.w, b.h);
        cairo_stroke(c_);
    }
    void line(const std::vector<point>& points, colour k, double width, bool dashed) override {
        if (points.empty()) return;
        cairo_set_source_rgb(c_, k.r, k.g, k.b);
        cairo_set_line_width(c_, width);
        const double dash[] = {6, 4};
        cairo_set_dash(c_, dash, dashed ? 2 : 0, 0);
        cairo_move_to(c_, points[0].x, points[0].y);
        for (const point& p : points) cairo_line_to(c_, p.x, p.y);
        cairo_stroke(c_);
        cairo_set_dash(c_, dash, 0, 0);
    }
    void text(double x, double y, const std::string& s, anchor a) override {
        cairo_text_extents_t e{};
        cairo_text_extents(c_, s.c_str(), &e);
        const double shift = a == anchor::start    ? 0
                             : a == anchor::middle ? e.x_advance / 2
                                                   : e.x_advance;
        cairo_set_source_rgb(c_, 0, 0, 0);
        cairo_move_to(c_, x - shift, y);
        cairo_show_text(c_, s.c_str());
    }

   private:
    cairo_t* c_;
};

std::string percentlabel(double share) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g%%", std::round(share * 1000) / 10);
    return buf;
}

// A label's width, from the mean advance of a 12-pixel sans-serif face: an
// SVG is laid out by its viewer, and both kinds of picture are laid out
// alike.
double textwidth(const std::string& s) {
    return 6.5 * static_cast<double>(s.size());
}

// Where scores fall across a panel: each bucket a slot of the same width,
// the outliers' buckets too, so that the scores around the threshold keep
// their room.
class scoreaxis {
   public:
    scoreaxis(const scorebuckets& b, const box& panel)
        : list_(b.list), x_(panel.x), slot_(panel.w / static_cast<double>(b.list.size())) {}

    double xof(double score) const {
        size_t i = 0;
        while (i + 1 < list_.size() && score > static_cast<double>(list_[i].to) + 1) ++i;
        const bucket& k = list_[i];
        const double span = static_cast<double>(k.to - k.from + 1);
        const double f = std::clamp((score - static_cast<double>(k.from)) / span, 0.0, 1.0);
        return x_ + slot_ * (static_cast<double>(i) + f);
    }
    // The score at x, the inverse of xof.
    double scoreat(double x) const {
        const double at = std::max(0.0, (x - x_) / slot_);
        const size_t i = std::min(list_.size() - 1, static_cast<size_t>(at));
        const bucket& k = list_[i];
        const double f = std::min(1.0, at - static_cast<double>(i));
        return static_cast<double>(k.from) + f * static_cast<double>(k.to - k.from + 1);
    }
    double slot() const { return slot_; }

   private:
    const std::vector<bucket>& list_;
    double x_, slot_;
};

// Ticks and numbers under a panel: the lowest score of a bucket at its left
// edge, at most about ten of them, and the highest score at the right end.
// A number that would run into one already placed is left out: the ends
// first, then the outliers' inner edges, then the rest.
void scoreticks(canvas& c, const box& b, const scorebuckets& sb, const scoreaxis& axis) {
    struct tick {
        double x;
        std::string text;
        int rank;  // 0 placed first
    };
    std::vector<tick> ticks;
    const size_t every = (sb.list.size() + 9) / 10;
    for (size_t i = 0; i < sb.list.size(); ++i) {
        const bool edge = sb.list[i].outliers || (i > 0 && sb.list[i - 1].outliers);
        if (i % every != 0 && !edge) continue;
        ticks.push_back({b.x + axis.slot() * static_cast<double>(i),
                         std::to_string(sb.list[i].from),
                         i == 0 ? 0
                         : edge ? 1
                                : 2});
    }
    ticks.push_back({b.x + b.w, std::to_string(sb.list.back().to), 0});
    std::stable_sort(ticks.begin(), ticks.end(),
                     [](const tick& a, const tick& z) { return a.rank < z.rank; });
    std::vector<std::pair<double, double>> placed;  // the numbers' extents
    for (const tick& t : ticks) {
        c.line({{t.x, b.y + b.h}, {t.x, b.y + b.h + 5}}, black, 1, false);
        const double half = textwidth(t.text) / 2 + 2;
        if (std::any_of(placed.begin(), placed.end(), [&](const auto& p) {
                return t.x - half < p.second && p.first < t.x + half;
            }))
            continue;
        placed.emplace_back(t.x - half, t.x + half);
        c.text(t.x, b.y + b.h + 18, t.text, anchor::middle);
    }
}

// Ticks and shares beside a panel, from 0 to top.
void shareticks(canvas& c, const box& b, double top, double step) {
    for (double v = 0; v <= top + step / 2; v += step) {
        const double y = b.y + b.h - b.h * v / top;
        c.line({{b.x - 5, y}, {b.x, y}}, black, 1, false);
        c.text(b.x - 8, y + 4, percentlabel(v), anchor::end);
    }
}

// The largest share of a bucket, rounded up to a tick step that gives at most
// five ticks.
std::pair<double, double> sharescale(double most) {
    for (const double step : {0.005, 0.01, 0.02, 0.025, 0.05, 0.1, 0.2, 0.25})
        if (most <= 5 * step + 1e-12)
            return {std::max(step, std::ceil(most / step - 1e-9) * step), step};
    return {1.0, 0.25};
}

double shareof(int n, size_t of) {
    return of ? static_cast<double>(n) / static_cast<double>(of) : 0;
}

// What is drawn in a panel, as boxes, so that a label finds room beside it.
using drawn = std::vector<box>;

bool overlaps(const box& a, const box& b) {
    return a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h && b.y < a.y + a.h;
}

// The outliers' buckets shaded down the whole panel; labelled in the upper.
void shadeoutliers(canvas& c, const box& b, const scorebuckets& sb, const scoreaxis& axis,
                   bool label, drawn& used) {
    for (size_t i = 0; i < sb.list.size(); ++i) {
        if (!sb.list[i].outliers) continue;
        const double x = b.x + axis.slot() * static_cast<double>(i);
        c.fill({x, b.y, axis.slot(), b.h}, grey, 1);
        if (!label) continue;
        // Where the slot is narrower than the word, it runs inwards, clear
        // of the frame.
        const double w = textwidth("outliers");
        const bool first = i == 0, fits = axis.slot() >= w + 4;
        const double left = fits    ? x + (axis.slot() - w) / 2
                            : first ? x + 2
                                    : x + axis.slot() - 2 - w;
        c.text(left, b.y + 14, "outliers", anchor::start);
        used.push_back({left - 2, b.y + 2, w + 4, 16});
    }
}

// The threshold at x: a dashed line down the panel, and the label's lines
// beside it, at the first height from the top at which they cover nothing
// drawn: right of the line where they fit, else left, else as near to the
// line as such a height is found; on a white ground at the top where there
// is none.
void markthreshold(canvas& c, const box& b, double x, const std::vector<std::string>& label,
                   const drawn& used) {
    c.line({{x, b.y}, {x, b.y + b.h}}, black, 1, true);
    double w = 0;
    for (const std::string& l : label) w = std::max(w, textwidth(l) + 6);
    const double h = 16 * static_cast<double>(label.size());
    // Left edges by their distance from the line.
    std::vector<double> lefts;
    for (double d = 4; d < b.w; d += 8) {
        if (x + d + w <= b.x + b.w) lefts.push_back(x + d);
        if (x - d - w >= b.x) lefts.push_back(x - d - w);
    }
    auto free = [&](const box& here) {
        return std::none_of(used.begin(), used.end(),
                            [&](const box& u) { return overlaps(here, u); });
    };
    std::optional<box> at;
    for (size_t k = 0; !at && k < lefts.size(); ++k)
        for (double y = b.y + 2; !at && y + h <= b.y + b.h - 2; y += 4)
            if (free({lefts[k], y, w, h})) at = box{lefts[k], y, w, h};
    if (!at) {
        at = box{std::clamp(x + 4, b.x, b.x + b.w - w), b.y + 2, w, h};
        c.fill(*at, {1, 1, 1}, 0.85);
    }
    for (size_t i = 0; i < label.size(); ++i)
        c.text(at->x + 3, at->y + 12 + 16 * static_cast<double>(i), label[i], anchor::start);
}

void distribution(canvas& c, const box& b, const plotinput& in, const scoreaxis& axis,
                  drawn& used) {
    double most = 0;
    for (const bucket& k : in.buckets.list)
        most = std::max(
            {most, shareof(k.count[1], in.ham.size()), shareof(k.count[2], in.spam.size())});
    const auto [top, step] = sharescale(most);
    shadeoutliers(c, b, in.buckets, axis, true, used);
    for (size_t i = 0; i < in.buckets.list.size(); ++i) {
        const bucket& k = in.buckets.list[i];
        const double x = b.x + axis.slot() * static_cast<double>(i);
        const double hamh = shareof(k.count[1], in.ham.size()) / top * b.h;
        const double spamh = shareof(k.count[2], in.spam.size()) / top * b.h;
        const box hambar{x + axis.slot() * 0.1, b.y + b.h - hamh, axis.slot() * 0.4, hamh};
        const box spambar{x + axis.slot() * 0.5, b.y + b.h - spamh, axis.slot() * 0.4, spamh};
        c.fill(hambar, hamcolour, 0.8);
        c.fill(spambar, spamcolour, 0.8);
        used.push_back(hambar);
        used.push_back(spambar);
    }
    c.outline(b);
    shareticks(c, b, top, step);
    c.text(b.x, b.y - 10,
           "score distribution, buckets of " + std::to_string(in.buckets.width) +
               " (share of each set): ham blue, spam red",
           anchor::start);
}

// The share of a set on the wrong side of threshold t: ham at or above it,
// spam below it. sorted is the set's scores in order.
double wrongshare(const std::vector<int>& sorted, double t, bool spamside) {
    if (sorted.empty()) return 0;
    const auto below =
        std::lower_bound(sorted.begin(), sorted.end(), t, [](int s, double v) { return s < v; }) -
        sorted.begin();
    const auto n = static_cast<double>(sorted.size());
    return spamside ? static_cast<double>(below) / n : (n - static_cast<double>(below)) / n;
}

void rates(canvas& c, const box& b, const plotinput& in, const scoreaxis& axis) {
    std::vector<int> ham(in.ham), spam(in.spam);
    std::sort(ham.begin(), ham.end());
    std::sort(spam.begin(), spam.end());
    drawn used;
    shadeoutliers(c, b, in.buckets, axis, false, used);
    for (const auto& [set, spamside, k] :
         {std::tuple{&ham, false, hamcolour}, std::tuple{&spam, true, spamcolour}}) {
        if (set->empty()) continue;
        std::vector<point> points;
        for (double x = b.x; x <= b.x + b.w + 0.01; x += 1) {
            const double t = std::ceil(axis.scoreat(x) - 1e-9);
            points.push_back({x, b.y + b.h - b.h * wrongshare(*set, t, spamside)});
        }
        c.line(points, k, 2, false);
        // Each step of the curve as a box, a line's width around it.
        for (size_t i = 1; i < points.size(); ++i) {
            const double top = std::min(points[i - 1].y, points[i].y);
            used.push_back({points[i - 1].x - 1, top - 1, points[i].x - points[i - 1].x + 2,
                            std::abs(points[i].y - points[i - 1].y) + 2});
        }
    }
    c.outline(b);
    shareticks(c, b, 1, 0.25);
    c.text(b.x, b.y - 10,
           "at threshold T: ham at or above T (false positives, blue), spam below T (false "
           "negatives, red)",
           anchor::start);
    if (!in.threshold) return;
    const double t = *in.threshold;
    markthreshold(c, b, axis.xof(t),
                  {"false positives " + percentlabel(wrongshare(ham, t, false)),
                   "false negatives " + percentlabel(wrongshare(spam, t, true))},
                  used);
}

void draw(canvas& c, const plotinput& in) {
    const box top{70, 50, plotwidth - 100.0, 200}, bottom{70, 350, plotwidth - 100.0, 200};
    if (in.buckets.list.empty()) {
        c.outline(top);
        c.outline(bottom);
        c.text(plotwidth / 2.0, top.y + top.h / 2, "no scored ham or spam", anchor::middle);
        return;
    }
    const scoreaxis axis(in.buckets, top);
    drawn used;
    distribution(c, top, in, axis, used);
    // The threshold's line and label stay inside each panel, clear of the
    // titles and the numbers between them.
    if (in.threshold)
        markthreshold(c, top, axis.xof(*in.threshold),
                      {"threshold " + std::to_string(*in.threshold)}, used);
    scoreticks(c, top, in.buckets, axis);
    rates(c, bottom, in, axis);
    scoreticks(c, bottom, in.buckets, axis);
    c.text(bottom.x + bottom.w / 2, bottom.y + bottom.h + 36, "score", anchor::middle);
}

bool endswith(const std::string& s, const char* tail) {
    const std::string t(tail);
    return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

bool drawpng(const std::string& path, const plotinput& in, std::string& error) {
    surfaceholder surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, plotwidth, plotheight));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) {
        error = cairo_status_to_string(cairo_surface_status(surface.get()));
        return false;
    }
    {
        contextholder c(cairo_create(surface.get()));
        cairocanvas canvas(c.get());
        draw(canvas, in);
        if (cairo_status(c.get()) != CAIRO_STATUS_SUCCESS) {
            error = cairo_status_to_string(cairo_status(c.get()));
            return false;
        }
    }
    const cairo_status_t status = cairo_surface_write_to_png(surface.get(), path.c_str());
    if (status != CAIRO_STATUS_SUCCESS) {
        error = cairo_status_to_string(status);
        return false;
    }
    return true;
}

}  // namespace

bool plotnameknown(const std::string& path) {
    return endswith(path, ".svg") || endswith(path, ".png");
}

bool plotscores(const std::string& path, const plotinput& in, std::string& error) {
    if (!plotnameknown(path)) {
        error = "the plot is a .svg or a .png file";
        return false;
    }
    if (endswith(path, ".png")) return drawpng(path, in, error);
    svgcanvas svg;
    draw(svg, in);
    return svg.write(path, error);
}

}  // namespace pst
