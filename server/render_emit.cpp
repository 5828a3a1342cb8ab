// Geometry between device pixels and page units, and the emitter of the
// drawing tags: every shape is placed by the device pixels the handheld will
// light, so rounding never moves an edge.
#include <algorithm>
#include <set>

#include "server/render_internal.h"
#include "server/render_text.h"
#include "tools/pagestream/pagewriter.h"

int render_scale(bool zoomed, long v) { return (int)(zoomed ? (2 * v + 1) / 3 : (v + 1) / 2); }

// Page units map to device pixels monotonically, one or two units to a pixel;
// search around the inverse for the ends of that span.
static long unit_near(bool zoomed, int d) { return zoomed ? (long)d * 3 / 2 : (long)d * 2; }

long render_unit_lo(bool zoomed, int d) {
    long v = unit_near(zoomed, d);
    while (render_scale(zoomed, v) >= d) v--;
    while (render_scale(zoomed, v) < d) v++;
    // d = 0 also answers to -1: keep the stream free of needless signs
    return d == 0 ? 0 : v;
}

long render_unit_hi(bool zoomed, int d) {
    long v = unit_near(zoomed, d);
    while (render_scale(zoomed, v) <= d) v++;
    while (render_scale(zoomed, v) > d) v--;
    return v;
}

static long rgb(Colour c) { return (long)c.r << 16 | c.g << 8 | c.b; }

// Text sizes the handheld draws; any other SZ draws at 16 (and becomes 16).
static bool valid_size(long size) { return size >= 16 && size <= 26 && size % 2 == 0; }

// Sends the colours and size a tag draws with, where they differ from what
// the handheld holds, then the tag.
static void write(Emitter& e, const DrawOp& op) {
    if (op.sz >= 0 && e.sz != op.sz) {
        e.sz = op.sz;
        pw_sz(e.out, (int)op.sz);
    }
    if (op.bc >= 0 && e.bc != op.bc) {
        e.bc = op.bc;
        pw_bc(e.out, (int)(op.bc >> 16), (int)(op.bc >> 8 & 255), (int)(op.bc & 255));
    }
    if (op.fc >= 0 && e.fc != op.fc) {
        e.fc = op.fc;
        pw_fc(e.out, (int)(op.fc >> 16), (int)(op.fc >> 8 & 255), (int)(op.fc & 255));
    }
    e.out += op.tag;
    if (op.sz >= 0 && !valid_size(e.sz)) e.sz = 16;
}

static void put(Emitter& e, DrawOp&& op) {
    if (!e.holding) {
        write(e, op);
        return;
    }
    if (op.fc >= 0) e.held_fc = op.fc;
    e.held.push_back(std::move(op));
}

// A line of device pixels from (x0, y0) to (x1, y1), one of them constant.
static void line(Emitter& e, int x0, int y0, int x1, int y1, Colour c) {
    long ux0 = render_unit_lo(e.zoomed, x0), uy0 = render_unit_lo(e.zoomed, y0);
    long ux1 = render_unit_lo(e.zoomed, x1), uy1 = render_unit_lo(e.zoomed, y1);
    DrawOp op{std::min(x0, x1), std::min(y0, y1), std::max(x0, x1), std::max(y0, y1), -1, rgb(c), -1, {}};
    pw_dl(op.tag, e.frame, ux0, uy0, ux1, uy1);
    put(e, std::move(op));
}

void remit_fill(Emitter& e, int x0, int y0, int x1, int y1, Colour c) {
    x0 = std::max(x0, 0);
    y0 = std::max(y0, 0);
    x1 = std::min(x1, e.dev_w);
    y1 = std::min(y1, e.dev_h);
    if (x1 <= x0 || y1 <= y0) return;
    // The handheld turns a rectangle of two rows into one row: two fills.
    if (y1 - y0 == 2) {
        remit_fill(e, x0, y0, x1, y0 + 1, c);
        remit_fill(e, x0, y0 + 1, x1, y1, c);
        return;
    }
    long x = render_unit_lo(e.zoomed, x0), w = render_unit_hi(e.zoomed, x1 - 1) - x;
    long y = render_unit_lo(e.zoomed, y0), h = render_unit_hi(e.zoomed, y1 - 1) - y;
    if (w >= 1 && h >= 1) {
        // The pixels the handheld fills for these units: from S(x), S(y) to
        // S(x + w), S(y + h) inclusive, a rectangle one row high drawn on its
        // bottom row, otherwise clipped to the screen; one clipped to a
        // single row takes the text colour instead.
        int left = render_scale(e.zoomed, x), top = render_scale(e.zoomed, y);
        int right = render_scale(e.zoomed, x + w), bottom = render_scale(e.zoomed, y + h);
        long fc = -1;
        if (bottom == top + 1) {
            top = bottom;
        } else {
            bottom = std::min(bottom, 239);
            right = std::min(right, 319);
            if (bottom - top == 1) fc = e.holding ? e.held_fc : e.fc;
        }
        DrawOp op{left, top, right, bottom, rgb(c), fc, -1, {}};
        pw_cr(op.tag, e.frame, x, y, w, h);
        put(e, std::move(op));
        return;
    }
    // One column or one row that no rectangle covers exactly.
    if (y1 - y0 == 1) {
        line(e, x0, y0, x1 - 1, y0, c);
    } else {
        for (int col = x0; col < x1; col++) line(e, col, y0, col, y1 - 1, c);
    }
}

void remit_row(Emitter& e, int x0, int x1, int y, Colour c) {
    x0 = std::max(x0, 0);
    x1 = std::min(x1, e.dev_w);
    if (x1 <= x0 || y < 0 || y >= e.dev_h) return;
    line(e, x0, y, x1 - 1, y, c);
}

void remit_text(Emitter& e, int x, int y, int size, Colour c, const std::string& utf8) {
    if (utf8.empty()) return;
    long drawn = valid_size(size) ? size : 16;
    int px = render_scale(e.zoomed, drawn);
    // Where its glyphs may reach, and the row above the baseline whose
    // pixels it samples as its background (moved right onto the screen
    // when the pen is left of it).
    std::u16string run = rtext_from_utf8(utf8);
    DrawOp op{0, 0, 0, 0, -1, rgb(c), size, {}};
    if (px >= RENDER_PX_MIN && px <= RENDER_PX_MAX) {
        // the glyphs as the handheld places them, and the sampled row
        TextInk ink = rtext_client_ink(run, px);
        op.x0 = x + std::min(ink.left, 0);
        op.x1 = x + std::max(ink.right, ink.width - 1);
        op.y0 = y + std::min(ink.top, -(px / 2));
        op.y1 = y + std::max(ink.bottom, -1);
    } else {
        // no glyphs of that size: nothing is drawn, but be generous
        op.x0 = x - px;
        op.x1 = x + (int)run.size() * px + px;
        op.y0 = y - 2 * px;
        op.y1 = y + px;
    }
    if (x < 0) op.x1 -= x;
    pw_ds(op.tag, e.frame, render_unit_lo(e.zoomed, x), render_unit_lo(e.zoomed, y), utf8);
    put(e, std::move(op));
}

void remit_picture(Emitter& e, uint32_t id, int x, int y, int w, int h) {
    // A picture may start above or left of the screen (the rows of it the
    // handheld holds from the last screen): only its pixels on the screen
    // are drawn.
    DrawOp op{std::max(x, 0), std::max(y, 0), x + w - 1, y + h - 1, -1, -1, -1, {}};
    pw_is(op.tag, e.frame, id, render_unit_lo(e.zoomed, x), render_unit_lo(e.zoomed, y));
    put(e, std::move(op));
}

// ---- Reordering held tags ----

// A screen with more tags than this, or whose tags touch each other in more
// pairs than this, is written as given: the reordering weighs every pair and
// keeps every touching one.
static const size_t HOLD_MAX = 2000, HOLD_MAX_PAIRS = 1u << 18;

static bool touch(const DrawOp& a, const DrawOp& b) {
    return a.x0 <= b.x1 && b.x0 <= a.x1 && a.y0 <= b.y1 && b.y0 <= a.y1;
}

// The colour and size tags a tag needs before it, given what the handheld holds.
static int tags_needed(const Emitter& e, const DrawOp& op) {
    return (op.sz >= 0 && op.sz != e.sz) + (op.bc >= 0 && op.bc != e.bc) + (op.fc >= 0 && op.fc != e.fc);
}

void remit_hold(Emitter& e) {
    e.holding = true;
    e.held.clear();
    e.held_fc = e.fc;
}

void remit_release(Emitter& e) {
    e.holding = false;
    std::vector<DrawOp> ops = std::move(e.held);
    e.held.clear();
    size_t n = ops.size();
    if (n > HOLD_MAX) {
        for (const DrawOp& op : ops) write(e, op);
        return;
    }
    // A tag waits for every earlier one that touches its pixels.
    std::vector<std::vector<uint32_t>> later(n);
    std::vector<uint32_t> waits(n, 0);
    size_t pairs = 0;
    for (size_t j = 0; j < n; j++)
        for (size_t i = 0; i < j; i++)
            if (touch(ops[i], ops[j])) {
                later[i].push_back((uint32_t)j);
                waits[j]++;
                if (++pairs > HOLD_MAX_PAIRS) {
                    for (const DrawOp& op : ops) write(e, op);
                    return;
                }
            }
    // Of the tags free to go, the one that needs fewest colour and size
    // tags, the first of those.
    std::set<uint32_t> ready;
    for (size_t j = 0; j < n; j++)
        if (!waits[j]) ready.insert((uint32_t)j);
    while (!ready.empty()) {
        auto pick = ready.begin();
        int fewest = 4;
        for (auto it = ready.begin(); it != ready.end() && fewest > 0; ++it) {
            int t = tags_needed(e, ops[*it]);
            if (t < fewest) fewest = t, pick = it;
        }
        uint32_t k = *pick;
        ready.erase(pick);
        write(e, ops[k]);
        for (uint32_t j : later[k])
            if (--waits[j] == 0) ready.insert(j);
    }
}
