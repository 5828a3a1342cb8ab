// Geometry between device pixels and page units, and the emitter of the
// drawing tags: every shape is placed by the device pixels the handheld will
// light, so rounding never moves an edge.
#include <algorithm>

#include "server/render_internal.h"
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

void remit_bc(Emitter& e, Colour c) {
    if (e.bc == rgb(c)) return;
    e.bc = rgb(c);
    pw_bc(e.out, c.r, c.g, c.b);
}

void remit_fc(Emitter& e, Colour c) {
    if (e.fc == rgb(c)) return;
    e.fc = rgb(c);
    pw_fc(e.out, c.r, c.g, c.b);
}

void remit_sz(Emitter& e, int size) {
    if (e.sz == size) return;
    e.sz = size;
    pw_sz(e.out, size);
}

// A line of device pixels from (x0, y0) to (x1, y1), one of them constant.
static void line(Emitter& e, int x0, int y0, int x1, int y1, Colour c) {
    remit_fc(e, c);
    pw_dl(e.out, e.frame, render_unit_lo(e.zoomed, x0), render_unit_lo(e.zoomed, y0), render_unit_lo(e.zoomed, x1),
          render_unit_lo(e.zoomed, y1));
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
        remit_bc(e, c);
        pw_cr(e.out, e.frame, x, y, w, h);
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
    remit_sz(e, size);
    remit_fc(e, c);
    pw_ds(e.out, e.frame, render_unit_lo(e.zoomed, x), render_unit_lo(e.zoomed, y), utf8);
}
