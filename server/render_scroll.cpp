// Scrolling: the page's scroll bars as the handheld draws them, and the
// offsets that its scroll messages ask for.
//
// Bars in page units (the engine keeps a 17-unit strip free on the right
// and at the bottom when the page scrolls that way):
//
//   SV  x = view width, y = 17, w = 17, h = view height - 34
//       (up arrow above y, down arrow below y + h)
//   SH  x = 17, y = view height, w = view width - 34, h = 17
//       (left arrow before x, right arrow after x + w)
//
// The thumb runs along the track [start, start + length]: its length is the
// visible share of the page, its position the scroll offset's share of the
// largest offset.
#include <algorithm>
#include <cmath>

#include "server/render_internal.h"
#include "tools/pagestream/pagewriter.h"

static const int BAR = 17;         // strip width the engine leaves free
static const int THUMB_MIN = 16;   // shortest thumb, so that it stays visible and tappable
static const int ARROW_LINES = 3;  // an arrow tap scrolls this many lines

// The height of a line of text: the most common text box height.
static int line_height(const SnapDoc& d) {
    std::vector<int> h;
    for (const Box& b : d.tb_bounds) {
        int v = (int)std::lround(b.height());
        if (v >= 8) h.push_back(v);
    }
    if (h.empty()) return 20;
    std::sort(h.begin(), h.end());
    int best = h[0], run = 0, best_run = 0;
    for (size_t i = 0; i < h.size(); i++) {
        run = i > 0 && h[i] == h[i - 1] ? run + 1 : 1;
        if (run > best_run) best_run = run, best = h[i];
    }
    return std::max(12, std::min(60, best));
}

void rscroll_setup(PageContext& ctx, RenderScroll* s) {
    const SnapDoc& d = ctx.doc;
    const Geometry& g = ctx.geo;
    int full_w = ctx.input ? ctx.input->viewport.width : 640, full_h = ctx.input ? ctx.input->viewport.height : 480;
    s->x = d.scroll_x;
    s->y = d.scroll_y;
    s->view_width = g.view_w;
    s->view_height = g.view_h;
    s->max_x = std::max(0.0, d.content_w - g.view_w);
    s->max_y = std::max(0.0, d.content_h - g.view_h);
    s->line = line_height(d);
    s->grid = g.zoomed ? 3 : 2;
    // The engine drew its own bar where the client area is short of the
    // viewport by the strip.
    s->has_v = full_w - g.view_w >= BAR / 2;
    s->has_h = full_h - g.view_h >= BAR / 2;
    s->v_track_start = BAR;
    s->v_track_length = g.view_h - 2 * BAR;
    s->h_track_start = BAR;
    s->h_track_length = g.view_w - 2 * BAR;
}

// Thumb start and length along a track for an offset out of a maximum.
static void thumb(int track_start, int track_length, double view, double max, double offset, long* pos,
                  long* len) {
    double content = view + max;
    long l = content > 0 ? (long)std::lround(track_length * view / content) : track_length;
    l = std::max<long>(std::min<long>(THUMB_MIN, track_length), std::min<long>(l, track_length));
    long room = track_length - l;
    long p = max > 0 ? (long)std::lround(room * std::min(1.0, std::max(0.0, offset / max))) : 0;
    *pos = track_start + p;
    *len = l;
}

void rscroll_emit(PageContext& ctx, const RenderScroll& s) {
    std::string& out = ctx.em.out;
    uint32_t f = ctx.em.frame;
    long pos, len;
    if (s.has_v && s.v_track_length > 0) {
        thumb(s.v_track_start, s.v_track_length, s.view_height, s.max_y, s.y, &pos, &len);
        pw_sv(out, f, s.view_width, s.v_track_start, s.v_track_length, pos, len);
    }
    if (s.has_h && s.h_track_length > 0) {
        thumb(s.h_track_start, s.h_track_length, s.view_width, s.max_x, s.x, &pos, &len);
        pw_sh(out, f, s.h_track_start, s.view_height, s.h_track_length, pos, len);
    }
}

// An offset within [0, max], on the grid where it is not at either end.
static double clamp(double v, double max, int grid) {
    if (v >= max) return std::max(0.0, max);
    if (v <= 0) return 0;
    return std::floor(v / grid) * grid;
}

void render_scroll_page(const RenderScroll& s, char dir, double* x, double* y) {
    *x = s.x;
    *y = s.y;
    double across = std::max(s.line, s.view_width - s.line), down = std::max(s.line, s.view_height - s.line);
    switch (dir) {
    case 'L': *x = clamp(s.x - across, s.max_x, s.grid); break;
    case 'R': *x = clamp(s.x + across, s.max_x, s.grid); break;
    case 'U': *y = clamp(s.y - down, s.max_y, s.grid); break;
    case 'D': *y = clamp(s.y + down, s.max_y, s.grid); break;
    default: break;
    }
}

// A tap along one bar: before the track steps back, after it steps on; on
// the track next to the thumb (where the handheld reports a tap beside it)
// pages by a screen; elsewhere on the track the thumb jumps there.
static double bar_tap(int track_start, int track_length, double view, double max, double offset, int line,
                      int grid, int at) {
    if (max <= 0) return offset;
    if (at < track_start) return clamp(offset - ARROW_LINES * line, max, grid);
    if (at > track_start + track_length) return clamp(offset + ARROW_LINES * line, max, grid);
    long pos, len;
    thumb(track_start, track_length, view, max, offset, &pos, &len);
    double page = std::max((double)line, view - line);
    if (at >= pos && at < pos + len) return offset;
    if (at < pos && at >= pos - 4) return clamp(offset - page, max, grid);
    if (at >= pos + len && at <= pos + len + 4) return clamp(offset + page, max, grid);
    // Jump: the thumb's middle to the tapped position.
    long room = track_length - len;
    if (room <= 0) return offset;
    double start = at - len / 2.0 - track_start;
    return clamp(start / room * max, max, grid);
}

void render_scroll_bar_tap(const RenderScroll& s, int px, int py, double* x, double* y) {
    *x = s.x;
    *y = s.y;
    if (s.has_v && px >= s.view_width - 2 && (!s.has_h || py < s.view_height)) {
        *y = bar_tap(s.v_track_start, s.v_track_length, s.view_height, s.max_y, s.y, s.line, s.grid, py);
    } else if (s.has_h && py >= s.view_height - 2) {
        *x = bar_tap(s.h_track_start, s.h_track_length, s.view_width, s.max_x, s.x, s.line, s.grid, px);
    }
}
