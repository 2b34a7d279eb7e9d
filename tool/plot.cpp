#include "plot.h"

#include <cairo-svg.h>
#include <cairo.h>

#include <algorithm>
#include <memory>

namespace pst {
namespace {

struct surfacefreer {
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct contextfreer {
    void operator()(cairo_t* c) const { cairo_destroy(c); }
};
using surfaceholder = std::unique_ptr<cairo_surface_t, surfacefreer>;
using contextholder = std::unique_ptr<cairo_t, contextfreer>;

struct box {
    double x, y, w, h;
};

struct colour {
    double r, g, b;
};
constexpr colour hamcolour{0.2, 0.4, 0.8}, spamcolour{0.85, 0.25, 0.2};

void label(cairo_t* c, double x, double y, const std::string& text) {
    cairo_set_source_rgb(c, 0, 0, 0);
    cairo_move_to(c, x, y);
    cairo_show_text(c, text.c_str());
}

void frame(cairo_t* c, const box& b, const std::string& title, long long lo, long long hi) {
    cairo_set_source_rgb(c, 0, 0, 0);
    cairo_set_line_width(c, 1);
    cairo_rectangle(c, b.x, b.y, b.w, b.h);
    cairo_stroke(c);
    label(c, b.x, b.y - 8, title);
    label(c, b.x, b.y + b.h + 16, std::to_string(lo));
    label(c, b.x + b.w - 30, b.y + b.h + 16, std::to_string(hi));
}

// How many scores fall in each of the buckets of width from lo.
std::vector<int> bucketcounts(const std::vector<int>& scores, long long lo, long long width,
                              int buckets) {
    std::vector<int> counts(static_cast<size_t>(buckets), 0);
    for (const int s : scores) ++counts[static_cast<size_t>((s - lo) / width)];
    return counts;
}

// Bars of the share of a set's messages at each score bucket.
void bars(cairo_t* c, const box& b, const std::vector<int>& scores, long long lo, long long width,
          int buckets, double most, colour k, double offset) {
    if (scores.empty() || most <= 0) return;
    const std::vector<int> counts = bucketcounts(scores, lo, width, buckets);
    const double slot = b.w / buckets;
    cairo_set_source_rgba(c, k.r, k.g, k.b, 0.8);
    for (int i = 0; i < buckets; ++i) {
        const double part = static_cast<double>(counts[static_cast<size_t>(i)]) /
                            static_cast<double>(scores.size());
        const double height = part / most * b.h;
        cairo_rectangle(c, b.x + i * slot + offset * slot / 2, b.y + b.h - height, slot / 2,
                        height);
    }
    cairo_fill(c);
}

// The share of the set on the wrong side of each threshold from lo to hi.
void rate(cairo_t* c, const box& b, const std::vector<int>& scores, long long lo, long long hi,
          bool spamside, colour k) {
    if (scores.empty()) return;
    cairo_set_source_rgb(c, k.r, k.g, k.b);
    cairo_set_line_width(c, 2);
    const int steps = 200;
    for (int i = 0; i <= steps; ++i) {
        const double t = static_cast<double>(lo) + static_cast<double>(hi - lo) * i / steps;
        const auto wrong = std::count_if(scores.begin(), scores.end(),
                                         [&](int s) { return spamside ? s < t : s >= t; });
        const double y = b.y + b.h - b.h * static_cast<double>(wrong) / scores.size();
        const double x = b.x + b.w * i / steps;
        if (i == 0)
            cairo_move_to(c, x, y);
        else
            cairo_line_to(c, x, y);
    }
    cairo_stroke(c);
}

void draw(cairo_t* c, const std::vector<int>& ham, const std::vector<int>& spam) {
    cairo_set_source_rgb(c, 1, 1, 1);
    cairo_paint(c);
    cairo_select_font_face(c, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(c, 12);
    // Scores wrap by design, so they may span more than an int: the
    // arithmetic on them is wider.
    long long lo = 0, hi = 1;
    std::vector<int> all(ham);
    all.insert(all.end(), spam.begin(), spam.end());
    if (!all.empty()) {
        lo = *std::min_element(all.begin(), all.end());
        hi = std::max(lo + 1, *std::max_element(all.begin(), all.end()) + 1LL);
    }
    const int buckets = static_cast<int>(std::min(40LL, hi - lo));
    const long long width = (hi - lo + buckets - 1) / buckets;
    const box top{60, 40, plotwidth - 100.0, 220}, bottom{60, 330, plotwidth - 100.0, 220};

    double most = 0;
    for (const auto* set : {&ham, &spam}) {
        for (const int n : bucketcounts(*set, lo, width, buckets))
            if (!set->empty()) most = std::max(most, static_cast<double>(n) / set->size());
    }
    frame(c, top, "score distribution (share of each set): ham blue, spam red", lo, hi - 1);
    bars(c, top, ham, lo, width, buckets, most, hamcolour, 0);
    bars(c, top, spam, lo, width, buckets, most, spamcolour, 1);
    frame(c, bottom,
          "at threshold T: ham at or above T (false positives, blue), spam below T (false "
          "negatives, red)",
          lo, hi - 1);
    rate(c, bottom, ham, lo, hi, false, hamcolour);
    rate(c, bottom, spam, lo, hi, true, spamcolour);
    label(c, 10, bottom.y + 10, "100%");
    label(c, 20, bottom.y + bottom.h, "0%");
}

bool endswith(const std::string& s, const char* tail) {
    const std::string t(tail);
    return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

}  // namespace

bool plotnameknown(const std::string& path) {
    return endswith(path, ".svg") || endswith(path, ".png");
}

bool plotscores(const std::string& path, const std::vector<int>& hamscores,
                const std::vector<int>& spamscores, std::string& error) {
    const bool svg = endswith(path, ".svg");
    if (!plotnameknown(path)) {
        error = "the plot is a .svg or a .png file";
        return false;
    }
    surfaceholder surface(
        svg ? cairo_svg_surface_create(path.c_str(), plotwidth, plotheight)
            : cairo_image_surface_create(CAIRO_FORMAT_RGB24, plotwidth, plotheight));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) {
        error = cairo_status_to_string(cairo_surface_status(surface.get()));
        return false;
    }
    {
        contextholder c(cairo_create(surface.get()));
        draw(c.get(), hamscores, spamscores);
        if (cairo_status(c.get()) != CAIRO_STATUS_SUCCESS) {
            error = cairo_status_to_string(cairo_status(c.get()));
            return false;
        }
    }
    cairo_status_t status;
    if (svg) {
        cairo_surface_finish(surface.get());
        status = cairo_surface_status(surface.get());
    } else {
        status = cairo_surface_write_to_png(surface.get(), path.c_str());
    }
    if (status != CAIRO_STATUS_SUCCESS) {
        error = cairo_status_to_string(status);
        return false;
    }
    return true;
}

}  // namespace pst
