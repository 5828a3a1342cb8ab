// The page renderer: walks the engine's layout snapshot in paint order and
// writes the page stream the handheld draws.
//
// Body of a rendered page (after the CL of a new page):
//
//   <FR 0 0 280 1e0><sw 3 0 0>          frame (zoomed: <FR 0 0 1e0 168><sw 4 0 0>)
//   <BC canvas><CR ...>                  the canvas over the content area
//   BC/CR, FC/DL, SZ/FC/DS, IS ...       boxes, borders, text runs and pictures in paint order
//   TF PF(in EN) CB RB BT DM/DI LM/LI TA form controls (the handheld draws them last)
//   <SV ...><SH ...>                     scroll bars
//   banner                               a dialog's text at the top
//   <IM ...>payload<IE> ...              the payloads of pictures new to the handheld
#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <set>

#include "server/render_internal.h"
#include "server/render_text.h"
#include "tools/pagestream/pagewriter.h"

// Liberation Sans: the engine puts the baseline round(ascent x size) below
// the top of a text box.
static const double FACE_ASCENT = 1854.0 / 2048.0;

namespace {

// Device pictures: what one picture of the page looks like to the handheld.
struct Picture {
    int x0, y0, x1, y1;  // device rectangle
    uint32_t id = 0;
    std::vector<uint16_t> pixels;
    PicturePlan plan;    // how it travels: one-colour rectangles and pieces
    RenderHeldRows rows; // what the handheld will hold of it (pixels, parts left empty here)
    std::vector<RenderHeldRows> fresh;  // with rows held from an earlier screen: the rows sent anew
    bool reusing = false;  // the plan draws rows the handheld holds
};

// ITEM_BACKGROUND_ALONE: the background without the borders drawn with it;
// ITEM_TEXT_PICTURE: painted text (as ITEM_PICTURE); ITEM_NONE: merged away.
enum ItemKind {
    ITEM_BACKGROUND, ITEM_BACKGROUND_ALONE, ITEM_BORDER, ITEM_PICTURE, ITEM_TEXT_PICTURE, ITEM_TEXT, ITEM_NONE
};

struct Item {
    int order;   // the engine's paint order
    long seq;    // document order, then background, border, content
    ItemKind kind;
    int layout;  // layout index (text: of the text node)
    int box;     // text box index, or picture index
};

}  // namespace

// ---- Per-node properties, computed in document order (parents first) ----

static bool is_element(const SnapDoc& d, int node) { return d.node_type[(size_t)node] == 1; }

static bool clips(const std::string& overflow) { return !overflow.empty() && overflow != "visible"; }

Box rpage_border_box(const PageContext& ctx, int layout) {
    Box b = ctx.doc.bounds[(size_t)layout];
    b.x0 -= ctx.geo.origin_x;
    b.x1 -= ctx.geo.origin_x;
    b.y0 -= ctx.geo.origin_y;
    b.y1 -= ctx.geo.origin_y;
    return b;
}

// The padding box: the border box less its borders (the client rectangle).
static Box padding_box(const PageContext& ctx, int layout) {
    Box b = rpage_border_box(ctx, layout);
    const Box& c = ctx.doc.client[(size_t)layout];
    if (c.x1 > c.x0 || c.y1 > c.y0) {
        Box p;
        p.x0 = b.x0 + c.x0;
        p.y0 = b.y0 + c.y0;
        p.x1 = p.x0 + (c.x1 - c.x0);
        p.y1 = p.y0 + (c.y1 - c.y0);
        return p;
    }
    return b;
}

// Elements whose inside the engine paints: pictures, and the bars of progress
// and meter elements.
static const char* const PICTURE_ELEMENTS[] = {"IMG",    "svg",    "CANVAS",   "VIDEO", "EMBED",
                                               "OBJECT", "IFRAME", "PROGRESS", "METER"};

static bool is_picture_element(const SnapDoc& d, int node) {
    std::string n = d.name(node);
    for (const char* p : PICTURE_ELEMENTS)
        if (n == p) return true;
    if (n == "INPUT") {
        std::string t = d.attribute(node, "type");
        return t == "range" || t == "color";
    }
    return false;
}

static void compute_node_properties(PageContext& ctx) {
    const SnapDoc& d = ctx.doc;
    size_t n = d.node_name.size();
    Box viewport{0, 0, (double)ctx.geo.view_w, (double)ctx.geo.view_h};
    ctx.inside_control.assign(n, 0);
    ctx.clip.assign(n, viewport);
    ctx.opacity.assign(n, 1.0f);
    std::vector<Box> for_children(n, viewport);
    for (size_t i = 0; i < n; i++) {
        int p = d.parent[i];
        bool has_parent = p >= 0 && (size_t)p < i;
        int li = d.layout_of[i];
        // What lies inside controls and pictures is drawn by the handheld's
        // control or cropped with the picture, never from its text boxes.
        if (has_parent)
            ctx.inside_control[i] = ctx.inside_control[(size_t)p] ||
                                    (is_element(d, p) && (rcontrol_is_control(d, p) || is_picture_element(d, p)));
        float own = 1.0f;
        if (li >= 0 && is_element(d, (int)i)) {
            const std::string& o = d.style(li, ST_OPACITY);
            if (!o.empty()) own = (float)atof(o.c_str());
        }
        ctx.opacity[i] = (has_parent ? ctx.opacity[(size_t)p] : 1.0f) * own;

        Box in = has_parent ? for_children[(size_t)p] : viewport;
        if (li >= 0 && is_element(d, (int)i)) {
            const std::string& pos = d.style(li, ST_POSITION);
            if (pos == "fixed") {
                in = viewport;
            } else if (pos == "absolute") {
                // Clipped by its containing block and what clips that, not by
                // the overflow of the static boxes in between.
                int a = p;
                while (a >= 0 && (size_t)a < i) {
                    int al = d.layout_of[(size_t)a];
                    if (al >= 0 && is_element(d, a) && d.style(al, ST_POSITION) != "static" &&
                        !d.style(al, ST_POSITION).empty())
                        break;
                    a = d.parent[(size_t)a];
                }
                in = a >= 0 ? for_children[(size_t)a] : viewport;
            }
        }
        ctx.clip[i] = in;
        Box out = in;
        if (li >= 0 && is_element(d, (int)i)) {
            bool cx = clips(d.style(li, ST_OVERFLOW_X)), cy = clips(d.style(li, ST_OVERFLOW_Y));
            if (cx || cy) {
                Box pb = padding_box(ctx, li);
                if (cx) {
                    out.x0 = std::max(out.x0, pb.x0);
                    out.x1 = std::min(out.x1, pb.x1);
                }
                if (cy) {
                    out.y0 = std::max(out.y0, pb.y0);
                    out.y1 = std::min(out.y1, pb.y1);
                }
            }
        }
        for_children[i] = out;
    }
}

Box rpage_clip(PageContext& ctx, int node) {
    if (node < 0 || (size_t)node >= ctx.clip.size()) return Box{0, 0, (double)ctx.geo.view_w, (double)ctx.geo.view_h};
    return ctx.clip[(size_t)node];
}

bool rpage_inside_control(PageContext& ctx, int node) {
    return node >= 0 && (size_t)node < ctx.inside_control.size() && ctx.inside_control[(size_t)node];
}

float rpage_opacity(PageContext& ctx, int node) {
    return node >= 0 && (size_t)node < ctx.opacity.size() ? ctx.opacity[(size_t)node] : 1.0f;
}

void rpage_device_rect(const PageContext& ctx, const Box& b, int* x0, int* y0, int* x1, int* y1) {
    double s = ctx.geo.scale;
    *x0 = rgeo_round(b.x0, s);
    *y0 = rgeo_round(b.y0, s);
    *x1 = rgeo_round(b.x1, s);
    *y1 = rgeo_round(b.y1, s);
}

// ---- Text ----

static std::u32string code_points(const std::u16string& s, size_t begin, size_t end) {
    std::u32string out;
    for (size_t i = begin; i < end && i < s.size(); i++) {
        char16_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < end && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            out += (char32_t)(0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00));
            i++;
        } else {
            out += (char32_t)c;
        }
    }
    return out;
}

// The sizes the handheld draws page text at: 16 to 26 page units in steps of
// 2, or 16 to 20 zoomed (its font cache holds 8 to 13 pixels).
static int rpage_text_size(double css, bool zoomed) {
    int s = (int)std::lround(css / 2) * 2;
    return std::max(16, std::min(zoomed ? 20 : 26, s));
}

// Decoration lines of a text node: its parent's, and its inline ancestors'
// up to and including the block that holds them.
namespace {
struct Decoration {
    bool underline = false, through = false;
    Colour colour;
};
}  // namespace

static Decoration decoration_of(PageContext& ctx, int text_node) {
    Decoration dec;
    const SnapDoc& d = ctx.doc;
    for (int a = d.parent[(size_t)text_node]; a >= 0; a = d.parent[(size_t)a]) {
        int al = d.layout_of[(size_t)a];
        if (al < 0) continue;
        const std::string& line = d.style(al, ST_TEXT_DECORATION);
        bool u = line.find("underline") != std::string::npos, t = line.find("line-through") != std::string::npos;
        if ((u || t) && !dec.underline && !dec.through) dec.colour = rsnap_colour(d.style(al, ST_COLOR));
        dec.underline |= u;
        dec.through |= t;
        if (d.style(al, ST_DISPLAY) != "inline") break;
    }
    return dec;
}

// A line cut by the right edge of a block whose text-overflow is ellipsis
// ends in "\u2026" where the engine shows one: the last characters that
// still show make room for it inside the edge.
static void end_with_ellipsis(PageContext& ctx, int text_node, const TextLine& line, const std::vector<double>& pos,
                              double edge, std::u16string& mapped) {
    const SnapDoc& d = ctx.doc;
    bool ellipsis = false;
    for (int a = d.parent[(size_t)text_node]; a >= 0; a = d.parent[(size_t)a]) {
        int al = d.layout_of[(size_t)a];
        if (al < 0) continue;
        if (d.style(al, ST_DISPLAY) == "inline") continue;
        ellipsis = d.style(al, ST_TEXT_OVERFLOW) == "ellipsis" && clips(d.style(al, ST_OVERFLOW_X));
        break;
    }
    if (!ellipsis) return;
    double width =
        line.face ? rtext_face_advance(0x2026, line.size, line.zoomed) : rtext_engine_advance(0x2026, line.size);
    if (width < 0) width = line.size;
    size_t at = mapped.size();
    while (at > 0 && mapped[at - 1] == 0) at--;  // after the last character that shows
    if (at == 0) return;                          // the fragment lies wholly beyond the edge
    while (at > 0 && (line.x + pos[at] + width > edge || mapped[at - 1] == u' ')) mapped[--at] = 0;
    if (at < mapped.size() && line.x + pos[at] + width <= edge) mapped[at] = 0x2026;
}

static void emit_text_box(PageContext& ctx, int tb, std::map<int, std::u16string>& texts) {
    const SnapDoc& d = ctx.doc;
    int li = d.tb_layout[(size_t)tb];
    if (li < 0 || (size_t)li >= d.layout_node.size()) return;
    int node = d.layout_node[(size_t)li];
    if (d.style(li, ST_VISIBILITY) == "hidden" || d.style(li, ST_VISIBILITY) == "collapse") return;
    float opacity = rpage_opacity(ctx, d.parent[(size_t)node] >= 0 ? d.parent[(size_t)node] : node);
    if (opacity < 0.05f) return;
    Colour colour = rsnap_colour(d.style(li, ST_COLOR));
    if (colour.a == 0) return;
    colour = rsnap_colour_over(colour, opacity, ctx.canvas);

    auto it = texts.find(li);
    if (it == texts.end()) it = texts.emplace(li, rtext_from_utf8(d.str(d.layout_text[(size_t)li]))).first;
    const std::u16string& all = it->second;
    size_t begin = (size_t)std::max(0, d.tb_start[(size_t)tb]);
    size_t end = std::min(all.size(), begin + (size_t)std::max(0, d.tb_length[(size_t)tb]));
    if (begin >= end) return;

    TextLine line;
    line.chars = code_points(all, begin, end);
    const std::string& ws = d.style(li, ST_WHITE_SPACE);
    bool collapse = ws.empty() || ws == "normal" || ws == "nowrap" || ws == "pre-line";
    {
        std::u32string c;
        for (char32_t ch : line.chars) {
            bool space = ch == U' ' || ch == U'\n' || ch == U'\t' || ch == U'\r' || ch == U'\f';
            if (collapse && space) {
                if (!c.empty() && c.back() == U' ') continue;
                ch = U' ';
            }
            c += ch;
        }
        line.chars.swap(c);
    }
    std::u16string mapped;
    bool any = false;
    for (size_t i = 0; i < line.chars.size(); i++) {
        char32_t ch = line.chars[i];
        uint16_t m = rtext_map_char(ch);
        // A soft hyphen shows only where the engine broke the line at it.
        if (ch == 0xAD && i + 1 == line.chars.size()) m = u'-';
        mapped += (char16_t)m;
        any |= m != 0 && m != u' ' && m != 0xA0;
    }
    if (!any) return;

    const Box& tbb = d.tb_bounds[(size_t)tb];
    double css_size = rsnap_px(d.style(li, ST_FONT_SIZE));
    if (css_size <= 0) css_size = 16;
    line.x = tbb.x0 - ctx.geo.origin_x;
    line.width = tbb.width();
    line.size = css_size;
    line.letter_spacing = rsnap_px(d.style(li, ST_LETTER_SPACING));
    line.word_spacing = rsnap_px(d.style(li, ST_WORD_SPACING));
    line.zoomed = ctx.geo.zoomed;
    const RenderFace* face = rtext_face((int)std::lround(css_size), ctx.geo.zoomed);
    line.face = face && d.style(li, ST_FONT_FAMILY).find(face->family) != std::string::npos;

    double top = tbb.y0 - ctx.geo.origin_y;
    double baseline = top + std::round(FACE_ASCENT * css_size);
    double s = ctx.geo.scale;
    Box clip = rpage_clip(ctx, node);
    // Vertically: the line shows when its middle lies inside the clip.
    double middle = (top + tbb.height() / 2);
    if (middle < clip.y0 || middle >= clip.y1) return;
    if (top + tbb.height() <= 0 || top >= ctx.geo.view_h) return;

    // Horizontally: characters mostly outside the clip are not sent.
    std::vector<double> pos = rtext_engine_positions(line);
    bool cut_right = false;
    for (size_t i = 0; i < mapped.size(); i++) {
        double mid = line.x + (pos[i] + pos[i + 1]) / 2;
        if (mid < clip.x0 || mid >= clip.x1) {
            cut_right |= mid >= clip.x1 && mapped[i] != 0 && mapped[i] != u' ';
            mapped[i] = 0;
        }
    }
    if (cut_right) end_with_ellipsis(ctx, node, line, pos, clip.x1, mapped);

    int size = rpage_text_size(css_size, ctx.geo.zoomed);
    int px = render_scale(ctx.geo.zoomed, size);
    int row = rgeo_round(baseline, s);
    std::vector<TextRun> runs = rtext_fit(line, mapped, px, s);
    for (const TextRun& r : runs) remit_text(ctx.em, r.pen, row, size, colour, rtext_utf8(mapped, r.begin, r.end));

    Decoration dec = decoration_of(ctx, node);
    if ((dec.underline || dec.through) && !runs.empty()) {
        size_t first = runs.front().begin, last = runs.back().end;
        // Spaces after the last word are underlined when the line goes on
        // with another fragment right after this one.
        if ((size_t)tb + 1 < d.tb_bounds.size()) {
            const Box& next = d.tb_bounds[(size_t)tb + 1];
            if (std::fabs(next.y0 - tbb.y0) < 1 && std::fabs(next.x0 - tbb.x1) < 1) last = mapped.size();
        }
        int x0 = rgeo_round(line.x + pos[first], s), x1 = rgeo_round(line.x + pos[last], s);
        x0 = std::max(x0, rgeo_round(clip.x0, s));
        x1 = std::min(x1, rgeo_round(clip.x1, s));
        Colour dc = rsnap_colour_over(dec.colour.a ? dec.colour : colour, opacity, ctx.canvas);
        if (dec.underline) remit_row(ctx.em, x0, x1, row, dc);
        if (dec.through) remit_row(ctx.em, x0, x1, rgeo_round(baseline - css_size * 0.3, s), dc);
    }
}

// ---- Boxes ----

static bool border_drawn(const std::string& style) { return !style.empty() && style != "none" && style != "hidden"; }

static void emit_borders(PageContext& ctx, int li, float opacity) {
    const SnapDoc& d = ctx.doc;
    double w[4];
    bool any = false;
    for (int k = 0; k < 4; k++) {
        w[k] = border_drawn(d.style(li, (RenderStyle)(ST_BORDER_TOP_STYLE + k)))
                   ? rsnap_px(d.style(li, (RenderStyle)(ST_BORDER_TOP_WIDTH + k)))
                   : 0;
        any |= w[k] > 0;
    }
    if (!any) return;
    Box b = rpage_border_box(ctx, li);
    Box clip = rpage_clip(ctx, d.layout_node[(size_t)li]);
    double s = ctx.geo.scale;
    int x0, y0, x1, y1;
    rpage_device_rect(ctx, b, &x0, &y0, &x1, &y1);
    int cx0, cy0, cx1, cy1;
    rpage_device_rect(ctx, clip, &cx0, &cy0, &cx1, &cy1);
    // At least one device pixel for any border, so thin lines stay visible.
    auto thick = [s](double css) { return std::max(1, (int)std::lround(css * s)); };
    for (int k = 0; k < 4; k++) {
        if (w[k] <= 0) continue;
        Colour c = rsnap_colour(d.style(li, (RenderStyle)(ST_BORDER_TOP_COLOR + k)));
        if (c.a == 0) continue;
        c = rsnap_colour_over(c, opacity, ctx.canvas);
        int t = thick(w[k]);
        int a0 = x0, b0 = y0, a1 = x1, b1 = y1;
        if (k == 0) b1 = std::min(y1, y0 + t);
        if (k == 1) a0 = std::max(x0, x1 - t);
        if (k == 2) b0 = std::max(y0, y1 - t);
        if (k == 3) a1 = std::min(x1, x0 + t);
        a0 = std::max(a0, cx0), b0 = std::max(b0, cy0), a1 = std::min(a1, cx1), b1 = std::min(b1, cy1);
        // Dashed and dotted sides go in pieces along their length: dashes
        // three widths long, dots one, with gaps as long.
        const std::string& style = d.style(li, (RenderStyle)(ST_BORDER_TOP_STYLE + k));
        int piece = style == "dashed" ? std::max(2, (int)std::lround(3 * w[k] * s)) : style == "dotted" ? t : 0;
        if (!piece) {
            remit_fill(ctx.em, a0, b0, a1, b1, c);
            continue;
        }
        bool along_x = k == 0 || k == 2;
        int start = along_x ? x0 : y0, from = along_x ? a0 : b0, to = along_x ? a1 : b1;
        for (int p = start; p < to; p += 2 * piece) {
            int p0 = std::max(p, from), p1 = std::min(p + piece, to);
            if (p1 <= p0) continue;
            if (along_x) remit_fill(ctx.em, p0, b0, p1, b1, c);
            else remit_fill(ctx.em, a0, p0, a1, p1, c);
        }
    }
}

// A box with a background and solid borders on two sides or more, all of
// one colour: the border box in the border colour, then the background over
// it inside the borders. The same pixels as the background and each side on
// their own, in two rectangles instead of one and one a side. False when the
// box is not such a box (nothing drawn).
static bool emit_framed_box(PageContext& ctx, int li, float opacity, Colour background) {
    const SnapDoc& d = ctx.doc;
    double s = ctx.geo.scale;
    int t[4] = {0, 0, 0, 0}, sides = 0;
    Colour frame;
    for (int k = 0; k < 4; k++) {
        const std::string& style = d.style(li, (RenderStyle)(ST_BORDER_TOP_STYLE + k));
        double w = border_drawn(style) ? rsnap_px(d.style(li, (RenderStyle)(ST_BORDER_TOP_WIDTH + k))) : 0;
        if (w <= 0) continue;
        Colour c = rsnap_colour(d.style(li, (RenderStyle)(ST_BORDER_TOP_COLOR + k)));
        if (c.a == 0) continue;  // the background shows there
        if (style == "dashed" || style == "dotted") return false;
        c = rsnap_colour_over(c, opacity, ctx.canvas);
        if (sides && (c.r != frame.r || c.g != frame.g || c.b != frame.b)) return false;
        frame = c;
        sides++;
        t[k] = std::max(1, (int)std::lround(w * s));  // as emit_borders draws the side
    }
    if (sides < 2) return false;
    int x0, y0, x1, y1, cx0, cy0, cx1, cy1;
    rpage_device_rect(ctx, rpage_border_box(ctx, li), &x0, &y0, &x1, &y1);
    rpage_device_rect(ctx, rpage_clip(ctx, d.layout_node[(size_t)li]), &cx0, &cy0, &cx1, &cy1);
    remit_fill(ctx.em, std::max(x0, cx0), std::max(y0, cy0), std::min(x1, cx1), std::min(y1, cy1), frame);
    int ix0 = std::max(x0 + t[3], cx0), iy0 = std::max(y0 + t[0], cy0);
    int ix1 = std::min(x1 - t[1], cx1), iy1 = std::min(y1 - t[2], cy1);
    remit_fill(ctx.em, ix0, iy0, ix1, iy1, background);
    return true;
}

// A background colour the engine lets much of what lies beneath show
// through (a shade over a photograph or a gradient): what it looks like
// depends on what is beneath, which the canvas colour stands in for badly.
// Its element's box travels as a picture of what the engine painted there
// (one fill of that colour where that is plain). Nearly opaque ones (a
// sticky header at 0.9 over the text scrolling under it) stay fills over
// the canvas colour: a picture of them would change at every scroll.
static const float TRANSLUCENT_MAX = 0.8f;

static bool translucent_background(PageContext& ctx, int li) {
    const SnapDoc& d = ctx.doc;
    Colour c = rsnap_colour(d.style(li, ST_BACKGROUND_COLOR));
    if (c.a == 0 || !ctx.input || ctx.input->capture_png.empty()) return false;  // no capture: over the canvas
    // The root's and the body's colour is the canvas's (over white).
    int node = d.layout_node[(size_t)li];
    if (node < 0 || (size_t)node >= d.node_name.size() || d.name(node) == "HTML" || d.name(node) == "BODY")
        return false;
    // An inline box (a highlighted phrase) may run over several lines: a
    // picture of the rectangle around it would cover the text beside it.
    if (d.style(li, ST_DISPLAY) == "inline") return false;
    return c.a / 255.0f * rpage_opacity(ctx, node) <= TRANSLUCENT_MAX;
}

// The parts of an inline element's background, line by line: the text
// boxes inside it grouped by the line they stand on. An inline element that
// runs over several lines paints its background on each line's part, not on
// the rectangle around them all (which covers the words beside it). Only
// lines that meet `clip` are made (a phrase may run over thousands of lines
// of a long page); `several` tells whether the element stands on more than
// one line at all.
static std::vector<Box> inline_lines(PageContext& ctx, int li, const Box& clip, bool* several) {
    const SnapDoc& d = ctx.doc;
    if (!ctx.inline_text_made) {
        ctx.inline_text_made = true;
        for (size_t t = 0; t < d.tb_layout.size(); t++) {
            int tl = d.tb_layout[t];
            if (tl < 0 || (size_t)tl >= d.layout_node.size()) continue;
            int n = d.layout_node[(size_t)tl];
            // up through the ancestors (bounded: the parent table comes
            // from the page and is not trusted to end)
            for (int k = 0; n >= 0 && (size_t)n < d.parent.size() && k < 256; k++, n = d.parent[(size_t)n]) {
                int nl = (size_t)n < d.layout_of.size() ? d.layout_of[(size_t)n] : -1;
                if (nl < 0 || !is_element(d, n) || d.style(nl, ST_DISPLAY) != "inline") continue;
                if (rsnap_colour(d.style(nl, ST_BACKGROUND_COLOR)).a == 0) continue;
                ctx.inline_text[n].push_back((int)t);
            }
        }
    }
    std::vector<Box> lines;
    *several = false;
    auto found = ctx.inline_text.find(d.layout_node[(size_t)li]);
    if (found == ctx.inline_text.end()) return lines;
    const Box* first = nullptr;
    for (int t : found->second) {
        Box b = d.tb_bounds[(size_t)t];
        if (b.empty()) continue;
        if (!first) first = &d.tb_bounds[(size_t)t];
        else if (b.y0 >= first->y1 || first->y0 >= b.y1) *several = true;
        b.x0 -= ctx.geo.origin_x, b.x1 -= ctx.geo.origin_x;
        b.y0 -= ctx.geo.origin_y, b.y1 -= ctx.geo.origin_y;
        if (b.y0 >= clip.y1 || clip.y0 >= b.y1) continue;
        Box* same = nullptr;
        for (Box& l : lines)
            if (b.y0 < l.y1 && l.y0 < b.y1) same = &l;
        if (!same) {
            lines.push_back(b);
            continue;
        }
        same->x0 = std::min(same->x0, b.x0), same->x1 = std::max(same->x1, b.x1);
        same->y0 = std::min(same->y0, b.y0), same->y1 = std::max(same->y1, b.y1);
    }
    return lines;
}

// The background, with its borders when `frame` allows and they can be
// drawn with it; true when they were.
static bool emit_background(PageContext& ctx, int li, float opacity, bool frame) {
    const SnapDoc& d = ctx.doc;
    Colour c = rsnap_colour(d.style(li, ST_BACKGROUND_COLOR));
    if (c.a == 0) return false;
    if (translucent_background(ctx, li)) return false;  // its picture shows it
    c = rsnap_colour_over(c, opacity, ctx.canvas);
    if (d.style(li, ST_DISPLAY) == "inline") {
        Box clip = rpage_clip(ctx, d.layout_node[(size_t)li]);
        bool several = false;
        std::vector<Box> lines = inline_lines(ctx, li, clip, &several);
        if (several) {
            for (const Box& line : lines) {
                Box b = rsnap_intersect(line, clip);
                if (b.empty()) continue;
                int x0, y0, x1, y1;
                rpage_device_rect(ctx, b, &x0, &y0, &x1, &y1);
                remit_fill(ctx.em, x0, y0, x1, y1, c);
            }
            return false;
        }
    }
    if (frame && emit_framed_box(ctx, li, opacity, c)) return true;
    Box b = rsnap_intersect(rpage_border_box(ctx, li), rpage_clip(ctx, d.layout_node[(size_t)li]));
    if (b.empty()) return false;
    int x0, y0, x1, y1;
    rpage_device_rect(ctx, b, &x0, &y0, &x1, &y1);
    remit_fill(ctx.em, x0, y0, x1, y1, c);
    return false;
}

// ---- Pictures ----

// The element's picture area: the content box of replaced elements, the
// border box of a background image (the root's and body's cover the canvas).
static bool picture_box(PageContext& ctx, int li, Box* out) {
    const SnapDoc& d = ctx.doc;
    int node = d.layout_node[(size_t)li];
    if (!is_element(d, node)) return false;
    std::string name = d.name(node);
    bool replaced = is_picture_element(d, node);
    const std::string& bg = d.style(li, ST_BACKGROUND_IMAGE);
    bool background = (!bg.empty() && bg != "none") || translucent_background(ctx, li);
    if (!replaced && !background) return false;
    if (replaced && !rpage_inside_control(ctx, node)) {
        Box b = padding_box(ctx, li);
        b.x0 += rsnap_px(d.style(li, ST_PADDING_LEFT));
        b.x1 -= rsnap_px(d.style(li, ST_PADDING_RIGHT));
        b.y0 += rsnap_px(d.style(li, ST_PADDING_TOP));
        b.y1 -= rsnap_px(d.style(li, ST_PADDING_BOTTOM));
        *out = b;
        return true;
    }
    if (background) {
        if (name == "HTML" || name == "BODY") *out = Box{0, 0, (double)ctx.geo.view_w, (double)ctx.geo.view_h};
        else *out = rpage_border_box(ctx, li);
        return true;
    }
    return false;
}

// The handheld's cache holds 128 pictures until the next cut: when the
// pieces of the page's pictures would need more, pictures go whole again,
// those whose cuts save the fewest bytes for each extra slot first.
static void budget_pieces(std::vector<Picture>& pictures) {
    auto pieces = [](const PicturePlan& plan) {
        std::set<uint32_t> ids;
        for (const PicturePart& part : plan.parts)
            if (!part.flat && part.id) ids.insert(part.id);
        return ids;
    };
    auto slots = [&]() {
        std::set<uint32_t> all;
        for (const Picture& p : pictures) {
            std::set<uint32_t> ids = pieces(p.plan);
            all.insert(ids.begin(), ids.end());
        }
        return all.size();
    };
    while (slots() > IMAGE_CACHE_SLOTS) {
        Picture* worst = nullptr;
        double worst_saving = 0;
        for (Picture& p : pictures) {
            size_t n = pieces(p.plan).size();
            if (n < 2) continue;
            double saving = (double)(p.plan.whole_bytes - p.plan.bytes) / (double)(n - 1);
            // A picture drawing rows the handheld holds goes whole last:
            // what it would cost whole is not weighed.
            if (p.reusing) saving = HUGE_VAL;
            if (!worst || saving < worst_saving) {
                worst = &p;
                worst_saving = saving;
            }
        }
        if (!worst) break;
        worst->plan.parts.assign(1, worst->plan.whole);
        worst->plan.bytes = worst->plan.whole_bytes;
        worst->reusing = false;
    }
}

// What the handheld will hold of rows planned as `plan`: its parts by id and
// colour.
static std::vector<RenderHeldPart> held_parts(const PicturePlan& plan) {
    std::vector<RenderHeldPart> out;
    for (const PicturePart& part : plan.parts)
        out.push_back(RenderHeldPart{part.x0, part.y0, part.x1, part.y1, part.flat, part.colour, part.id});
    return out;
}

// Whether row a of pixels `pa` equals row b of `pb`, both w wide.
static bool same_row(const std::vector<uint16_t>& pa, int a, const std::vector<uint16_t>& pb, int b, int w) {
    return std::equal(pa.begin() + (ptrdiff_t)a * w, pa.begin() + (ptrdiff_t)(a + 1) * w, pb.begin() + (ptrdiff_t)b * w);
}

// Rows [a, b) of a picture's visible pixels, w wide.
static std::vector<uint16_t> row_slice(const std::vector<uint16_t>& px, int w, int a, int b) {
    return std::vector<uint16_t>(px.begin() + (ptrdiff_t)a * w, px.begin() + (ptrdiff_t)b * w);
}

// Whether earlier rows of this picture that the handheld holds can be drawn
// again now: the same picture (box in the document, size, columns), every
// image of them still held, ending within the visible rows unless the
// picture reaches past the screen's bottom (`past_bottom`: what lies beyond
// the screen is not drawn; in a strip of the scroll bars it would be), and
// the same pixels wherever both captures held a row whole.
static bool same_picture(const RenderHeldRows& a, const RenderHeldRows& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom && a.width == b.width &&
           a.height == b.height && a.c0 == b.c0 && a.c1 == b.c1;
}

static bool held_rows_fit(const Picture& p, const RenderHeldRows& h, const std::set<uint32_t>& cached,
                          bool past_bottom) {
    const RenderHeldRows& now = p.rows;
    if (!same_picture(h, now)) return false;
    int from = std::max(h.r0, now.r0), to = std::min(h.r1, now.r1), w = now.c1 - now.c0;
    if (to <= from || (h.r1 > now.r1 && !past_bottom)) return false;
    for (const RenderHeldPart& part : h.parts)
        if (!part.flat && !cached.count(part.id)) return false;
    for (int y = from; y < to; y++) {
        if (!h.complete[(size_t)(y - h.r0)] || !now.complete[(size_t)(y - now.r0)]) continue;
        if (!same_row(h.pixels, y - h.r0, p.pixels, y - now.r0, w)) return false;
    }
    return true;
}

// Held rows that a picture draws again on a screen: at most this many sets.
static const int HELD_ROWS_REUSED_MAX = 4;

// One picture of the page: its visible pixels, on the grid of the whole
// picture, and how they travel. Rows the handheld holds from earlier
// screens (`held`, when given) are drawn from there; the rows between and
// around them are planned like pictures of their own.
static void plan_picture(PageContext& ctx, const RgbImage& cap, const Box& b,
                         const std::vector<RenderHeldRows>* held, const std::set<uint32_t>& cached, Picture* out) {
    const Geometry& g = ctx.geo;
    Picture& p = *out;
    int X0 = (int)std::floor(b.x0 + 0.5), Y0 = (int)std::floor(b.y0 + 0.5);
    int X1 = (int)std::floor(b.x1 + 0.5), Y1 = (int)std::floor(b.y1 + 0.5);
    int fx0 = rgeo_round(X0, g.scale), fy0 = rgeo_round(Y0, g.scale);
    int fx1 = rgeo_round(X1, g.scale), fy1 = rgeo_round(Y1, g.scale);
    int W = fx1 - fx0, H = fy1 - fy0;
    if (X1 <= X0 || Y1 <= Y0 || W <= 0 || H <= 0) return;
    p.x0 = std::max(fx0, 0);
    p.y0 = std::max(fy0, 0);
    p.x1 = std::min({fx1, rgeo_round(std::min(g.view_w, cap.width), g.scale), g.dev_w});
    p.y1 = std::min({fy1, rgeo_round(std::min(g.view_h, cap.height), g.scale), g.dev_h});
    if (p.x1 <= p.x0 || p.y1 <= p.y0) return;
    int w = p.x1 - p.x0, h = p.y1 - p.y0;
    RenderHeldRows& rows = p.rows;
    rows.left = (long)std::floor(b.x0 + g.origin_x + 0.5);
    rows.top = (long)std::floor(b.y0 + g.origin_y + 0.5);
    rows.right = (long)std::floor(b.x1 + g.origin_x + 0.5);
    rows.bottom = (long)std::floor(b.y1 + g.origin_y + 0.5);
    rows.width = W;
    rows.height = H;
    rows.c0 = p.x0 - fx0, rows.c1 = p.x1 - fx0, rows.r0 = p.y0 - fy0, rows.r1 = p.y1 - fy0;
    p.pixels = rimage_resample_grid(cap, X0, Y0, X1, Y1, W, H, GridCut{rows.c0, rows.r0, rows.c1, rows.r1},
                                    &rows.complete);
    if (p.pixels.empty()) return;
    p.id = rimage_id(p.pixels.data(), w, h, w);
    auto plan_rows = [&](const std::vector<uint16_t>& px, int n, uint32_t id) {
        return rpieces_enabled ? rpieces_plan(px, w, n, g.zoomed) : rpieces_whole(px, w, n, id);
    };
    // Held rows to draw again, those that add most rows first; the screen's
    // bottom, where no scroll-bar strip lies under it, clips held rows that
    // reach past it. A held row scaled from part of its source at an earlier
    // screen's edge that the capture now holds whole (or shows otherwise) is
    // sent again, drawn after every held row.
    bool past_bottom = p.y1 == g.dev_h && g.dev_h == rgeo_round(ctx.input ? ctx.input->viewport.height : 480, g.scale);
    std::vector<const RenderHeldRows*> chosen;
    std::vector<char> drawn((size_t)h, 0), resend((size_t)h, 0);
    while (held && (int)chosen.size() < HELD_ROWS_REUSED_MAX) {
        const RenderHeldRows* best = nullptr;
        int best_rows = 0;
        for (const RenderHeldRows& c : *held) {
            if (!same_picture(c, rows)) continue;
            int adds = 0;
            for (int y = std::max(c.r0, rows.r0); y < std::min(c.r1, rows.r1); y++)
                adds += !drawn[(size_t)(y - rows.r0)] && c.complete[(size_t)(y - c.r0)];
            if (adds > best_rows && std::find(chosen.begin(), chosen.end(), &c) == chosen.end() &&
                held_rows_fit(p, c, cached, past_bottom))
                best = &c, best_rows = adds;
        }
        if (!best) break;
        chosen.push_back(best);
        for (int y = std::max(best->r0, rows.r0); y < std::min(best->r1, rows.r1); y++) {
            size_t at = (size_t)(y - rows.r0);
            drawn[at] = 1;
            if (!best->complete[(size_t)(y - best->r0)] &&
                (rows.complete[at] || !same_row(p.pixels, (int)at, best->pixels, y - best->r0, w)))
                resend[at] = 1;
        }
    }
    if (chosen.empty()) {
        p.plan = plan_rows(p.pixels, h, p.id);
        return;
    }
    // The held rows, drawn where they now stand (those beyond the screen are
    // not drawn), then the rows new to the handheld.
    PicturePlan& plan = p.plan;
    for (const RenderHeldRows* from : chosen) {
        int shift = from->r0 - rows.r0;
        for (const RenderHeldPart& hp : from->parts) {
            PicturePart q;
            q.x0 = hp.x0, q.x1 = hp.x1, q.y0 = hp.y0 + shift, q.y1 = hp.y1 + shift;
            q.flat = hp.flat, q.colour = hp.colour, q.id = hp.id;
            if (q.flat) q.y0 = std::max(q.y0, 0);
            if (q.y1 <= 0 || q.y1 <= q.y0 || q.y0 >= h) continue;
            plan.parts.push_back(q);
        }
    }
    for (int a = 0; a < h;) {
        if (drawn[(size_t)a] && !resend[(size_t)a]) {
            a++;
            continue;
        }
        int z = a;
        while (z < h && (!drawn[(size_t)z] || resend[(size_t)z])) z++;
        std::vector<uint16_t> px = row_slice(p.pixels, w, a, z);
        PicturePlan rest = plan_rows(px, z - a, rimage_id(px.data(), w, z - a, w));
        RenderHeldRows record = rows;
        record.r0 = rows.r0 + a, record.r1 = rows.r0 + z;
        record.complete.assign(rows.complete.begin() + a, rows.complete.begin() + z);
        record.parts = held_parts(rest);
        p.fresh.push_back(std::move(record));
        plan.bytes += rest.bytes;
        for (PicturePart& q : rest.parts) {
            q.y0 += a, q.y1 += a;
            plan.parts.push_back(std::move(q));
        }
        a = z;
    }
    // Sent whole instead only when the handheld's cache has no room.
    plan.whole = rpieces_whole(p.pixels, w, h, p.id).whole;
    plan.whole_bytes = plan.bytes;
    p.reusing = true;
}

// ---- The page ----

static uint64_t fnv64(uint64_t h, const std::string& s) {
    for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
    return h;
}

// The canvas: the root's background, or the body's when the root has none.
static Colour canvas_colour(const SnapDoc& d) {
    Colour root, body;
    for (size_t li = 0; li < d.layout_node.size(); li++) {
        int node = d.layout_node[li];
        std::string n = d.name(node);
        if (n == "HTML" && root.a == 0) root = rsnap_colour(d.style((int)li, ST_BACKGROUND_COLOR));
        if (n == "BODY" && body.a == 0) body = rsnap_colour(d.style((int)li, ST_BACKGROUND_COLOR));
    }
    Colour white{255, 255, 255, 255};
    Colour c = root.a ? root : body;
    return rsnap_colour_over(c, 1.0, white);
}

static bool is_canvas_element(const SnapDoc& d, int node) {
    std::string n = d.name(node);
    return n == "HTML" || n == "BODY";
}

static double view_size(const SnapDoc& d, bool width, int full) {
    // The root's client area: the viewport less the engine's scroll-bar strips.
    for (size_t li = 0; li < d.layout_node.size(); li++) {
        if (d.name(d.layout_node[li]) != "HTML") continue;
        const Box& c = d.client[li];
        double v = width ? c.x1 - c.x0 : c.y1 - c.y0;
        if (v > 0 && v <= full) return v;
        break;
    }
    return full;
}

// Reads the snapshot and the geometry of the viewport; false when the
// snapshot is unusable (the page is then drawn empty).
static bool rpage_setup(PageContext& ctx, const nlohmann::json* snapshot, const RenderViewport& viewport) {
    std::string error;
    bool parsed = snapshot && rsnap_parse(*snapshot, 0, &ctx.doc, &error);
    const SnapDoc& d = ctx.doc;
    Geometry& g = ctx.geo;
    g.zoomed = viewport.zoomed;
    g.scale = g.zoomed ? 2.0 / 3.0 : 0.5;
    g.view_w = viewport.width;
    g.view_h = viewport.height;
    if (parsed) {
        g.origin_x = d.scroll_x;
        g.origin_y = d.scroll_y;
        g.view_w = (int)std::lround(view_size(d, true, viewport.width));
        g.view_h = (int)std::lround(view_size(d, false, viewport.height));
        compute_node_properties(ctx);
    }
    g.dev_w = rgeo_round(g.view_w, g.scale);
    g.dev_h = rgeo_round(g.view_h, g.scale);
    return parsed;
}

static bool picture_area(PageContext& ctx, int node, const Box& pb, Box* visible, Box* grid);

// A visible element that shows a picture: an image, a canvas, an SVG, a
// background image.
// `grid` gets the box that its pixels are scaled in: clipped by its
// containers, not by the viewport, so that the picture keeps its pixels when
// the page scrolls it under the screen's edge.
static bool shows_picture(PageContext& ctx, int li, Box* visible, Box* grid = nullptr) {
    const SnapDoc& d = ctx.doc;
    int node = d.layout_node[(size_t)li];
    if (node < 0 || (size_t)node >= d.node_name.size() || !is_element(d, node)) return false;
    if (rpage_inside_control(ctx, node)) return false;
    if (d.style(li, ST_VISIBILITY) == "hidden" || d.style(li, ST_VISIBILITY) == "collapse") return false;
    if (rpage_opacity(ctx, node) < 0.05f) return false;
    Box pb;
    if (!picture_box(ctx, li, &pb)) return false;
    return picture_area(ctx, node, pb, visible, grid);
}

// Text that the engine paints itself, because it holds characters the
// handheld cannot show (the settle script unhides it): its text box travels
// as a picture cropped from the capture, in the text's place in paint order.
static bool shows_painted_text(PageContext& ctx, int tb, Box* visible, Box* grid = nullptr) {
    const SnapDoc& d = ctx.doc;
    int li = d.tb_layout[(size_t)tb];
    if (li < 0 || (size_t)li >= d.layout_node.size()) return false;
    int node = d.layout_node[(size_t)li];
    if (node < 0 || (size_t)node >= d.node_name.size() || rpage_inside_control(ctx, node)) return false;
    if (rsnap_colour(d.style(li, ST_TEXT_FILL_COLOR)).a == 0) return false;
    if (d.style(li, ST_VISIBILITY) == "hidden" || d.style(li, ST_VISIBILITY) == "collapse") return false;
    if (rpage_opacity(ctx, d.parent[(size_t)node] >= 0 ? d.parent[(size_t)node] : node) < 0.05f) return false;
    // Widened to whole device pixels of the document, so that the text's
    // pixels are sampled as the screen shows them (a box of an odd number of
    // CSS pixels would be stretched onto the device's grid) and stay the
    // same wherever the page is scrolled to.
    const Box& t = d.tb_bounds[(size_t)tb];
    if (t.empty()) return false;
    double unit = ctx.geo.zoomed ? 3 : 2;
    auto down = [unit](double v) { return std::floor(v / unit + 1e-6) * unit; };
    auto up = [unit](double v) { return std::ceil(v / unit - 1e-6) * unit; };
    Box pb{down(t.x0) - ctx.geo.origin_x, down(t.y0) - ctx.geo.origin_y, up(t.x1) - ctx.geo.origin_x,
           up(t.y1) - ctx.geo.origin_y};
    return picture_area(ctx, node, pb, visible, grid);
}

// What shows of picture area pb of a node: clipped by its containers and the
// viewport (`visible`), and the box its pixels are scaled in (`grid`);
// false when nothing of it is on the screen.
static bool picture_area(PageContext& ctx, int node, const Box& pb, Box* visible, Box* grid) {
    Box clip = rpage_clip(ctx, node);
    *visible = rsnap_intersect(pb, clip);
    if (grid) {
        const Geometry& g = ctx.geo;
        Box c = clip;
        if (c.x0 <= 0) c.x0 = std::min(pb.x0, 0.0);
        if (c.y0 <= 0) c.y0 = std::min(pb.y0, 0.0);
        if (c.x1 >= g.view_w) c.x1 = std::max(pb.x1, (double)g.view_w);
        if (c.y1 >= g.view_h) c.y1 = std::max(pb.y1, (double)g.view_h);
        *grid = rsnap_intersect(pb, c);
    }
    int x0, y0, x1, y1;
    rpage_device_rect(ctx, *visible, &x0, &y0, &x1, &y1);
    return std::min(x1, ctx.geo.dev_w) > std::max(x0, 0) && std::min(y1, ctx.geo.dev_h) > std::max(y0, 0);
}

bool rpage_has_pictures(const nlohmann::json& snapshot, const RenderViewport& viewport) {
    PageContext ctx;
    if (!rpage_setup(ctx, &snapshot, viewport)) return false;
    Box visible;
    for (size_t li = 0; li < ctx.doc.layout_node.size(); li++)
        if (shows_picture(ctx, (int)li, &visible)) return true;
    for (size_t t = 0; t < ctx.doc.tb_layout.size(); t++)
        if (shows_painted_text(ctx, (int)t, &visible)) return true;
    return false;
}

// Painted text travels as pictures, one per line fragment, and the
// handheld holds only 128 pictures until the next cut: a dense page of links
// in another script would lose those beyond. Fragments on one line that
// follow each other in paint order, with nothing between them but boxes and
// borders (which the capture holds too), become one picture of their union.
// Text the handheld draws (absent from the capture) or another picture
// between them ends the run. The pictures left are numbered anew.
static void merge_text_pictures(std::vector<Item>& items, std::vector<Box>& visible, std::vector<Box>& grid) {
    auto unite = [](const Box& a, const Box& b) {
        return Box{std::min(a.x0, b.x0), std::min(a.y0, b.y0), std::max(a.x1, b.x1), std::max(a.y1, b.y1)};
    };
    int open = -1;  // the item of the run's picture
    for (size_t i = 0; i < items.size(); i++) {
        Item& it = items[i];
        if (it.kind == ITEM_TEXT || it.kind == ITEM_PICTURE) {
            open = -1;
        } else if (it.kind == ITEM_TEXT_PICTURE) {
            if (open >= 0) {
                int into = items[(size_t)open].box;
                const Box &a = grid[(size_t)into], &b = grid[(size_t)it.box];
                if (std::fabs(a.y0 - b.y0) < 0.5 && std::fabs(a.y1 - b.y1) < 0.5) {
                    visible[(size_t)into] = unite(visible[(size_t)into], visible[(size_t)it.box]);
                    grid[(size_t)into] = unite(a, b);
                    it.kind = ITEM_NONE;
                    continue;
                }
            }
            open = (int)i;
        }
    }
    std::vector<Box> v, g;
    for (Item& it : items) {
        if (it.kind != ITEM_PICTURE && it.kind != ITEM_TEXT_PICTURE) continue;
        v.push_back(visible[(size_t)it.box]);
        g.push_back(grid[(size_t)it.box]);
        it.box = (int)v.size() - 1;
    }
    visible.swap(v);
    grid.swap(g);
}

RenderedPage render_page(const RenderInput& input, const RenderImages& images) {
    RenderedPage page;
    PageContext ctx;
    ctx.input = &input;
    std::string error;
    bool parsed = rpage_setup(ctx, input.snapshot, input.viewport);
    const SnapDoc& d = ctx.doc;
    Geometry& g = ctx.geo;

    Emitter& em = ctx.em;
    em.zoomed = g.zoomed;
    em.frame = g.zoomed ? 4 : 3;
    long fw = g.zoomed ? 0x1e0 : 0x280, fh = g.zoomed ? 0x168 : 0x1e0;
    pw_fr(em.out, 0, 0, fw, fh);
    pw_sw_frame(em.out, em.frame, 0, 0);
    // The canvas covers the whole frame; the content area is what follows.
    em.dev_w = render_scale(g.zoomed, fw);
    em.dev_h = render_scale(g.zoomed, fh);
    ctx.canvas = parsed ? canvas_colour(d) : Colour{255, 255, 255, 255};
    remit_fill(em, 0, 0, em.dev_w, em.dev_h, ctx.canvas);
    em.dev_w = g.dev_w;
    em.dev_h = g.dev_h;

    if (parsed) {
        std::vector<Item> items;
        std::vector<Box> picture_boxes, grid_boxes;
        size_t m = d.layout_node.size();
        for (size_t li = 0; li < m; li++) {
            int node = d.layout_node[li];
            if (node < 0 || (size_t)node >= d.node_name.size() || !is_element(d, node)) continue;
            if (rpage_inside_control(ctx, node)) continue;
            long seq = (long)li * 4;
            int order = d.paint_order[li];
            bool visible = d.style((int)li, ST_VISIBILITY) != "hidden" && d.style((int)li, ST_VISIBILITY) != "collapse";
            if (!visible || rpage_opacity(ctx, node) < 0.05f) continue;
            // A control the handheld draws itself covers the engine's face of it.
            bool boxed = !is_canvas_element(d, node) && !rcontrol_offered(ctx, (int)li);
            // A picture comes before its element's borders: on the device's
            // grid a thin border may share its pixels with the picture's
            // edge, and it stays on every side (never under the picture's
            // right and bottom edges alone).
            Box vis, grid;
            bool picture = shows_picture(ctx, (int)li, &vis, &grid);
            if (boxed)
                items.push_back({order, seq, picture ? ITEM_BACKGROUND_ALONE : ITEM_BACKGROUND, (int)li, -1});
            if (picture) {
                picture_boxes.push_back(vis);
                grid_boxes.push_back(grid);
                items.push_back({order, seq + 1, ITEM_PICTURE, (int)li, (int)picture_boxes.size() - 1});
            }
            if (boxed) items.push_back({order, seq + 2, ITEM_BORDER, (int)li, -1});
        }
        std::map<int, std::u16string> texts;  // layout texts decoded, by layout index
        for (size_t t = 0; t < d.tb_layout.size(); t++) {
            int li = d.tb_layout[t];
            if (li < 0 || (size_t)li >= m) continue;
            int node = d.layout_node[(size_t)li];
            if (node < 0 || (size_t)node >= d.node_name.size() || rpage_inside_control(ctx, node)) continue;
            Box vis, grid;
            if (shows_painted_text(ctx, (int)t, &vis, &grid)) {
                picture_boxes.push_back(vis);
                grid_boxes.push_back(grid);
                items.push_back({d.paint_order[(size_t)li], (long)li * 4 + 2, ITEM_TEXT_PICTURE, li,
                                 (int)picture_boxes.size() - 1});
                continue;
            }
            // White space between elements draws nothing: no item, so that
            // it does not part the pictures of painted text around it.
            auto text = texts.find(li);
            if (text == texts.end()) text = texts.emplace(li, rtext_from_utf8(d.str(d.layout_text[(size_t)li]))).first;
            size_t begin = (size_t)std::max(0, d.tb_start[t]);
            size_t end = std::min(text->second.size(), begin + (size_t)std::max(0, d.tb_length[t]));
            bool blank = true;
            for (size_t k = begin; k < end && blank; k++) {
                char16_t c = text->second[k];
                blank = c == u' ' || c == u'\n' || c == u'\t' || c == u'\r' || c == u'\f' || c == 0xA0;
            }
            if (blank) continue;
            items.push_back({d.paint_order[(size_t)li], (long)li * 4 + 2, ITEM_TEXT, li, (int)t});
        }
        std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
            return a.order != b.order ? a.order < b.order : a.seq < b.seq;
        });
        merge_text_pictures(items, picture_boxes, grid_boxes);

        // Pictures: cropped from the capture, then sorted into payloads the
        // handheld needs and pictures its cache already holds.
        // Each picture is scaled from its own region of the capture, so that
        // the same picture gives the same pixels wherever it stands (and
        // travels once).
        RgbImage cap;
        bool have_capture = !picture_boxes.empty() && !input.capture_png.empty() &&
                            rimage_decode(input.capture_png, &cap, &error);
        std::set<uint32_t> cached(images.ids.begin(), images.ids.end());
        std::vector<Picture> pictures;
        auto plan_pictures = [&](bool reuse) {
            pictures.assign(picture_boxes.size(), Picture());
            if (!have_capture) return;
            for (size_t i = 0; i < picture_boxes.size(); i++)
                plan_picture(ctx, cap, grid_boxes[i], reuse ? &images.held : nullptr, cached, &pictures[i]);
            budget_pieces(pictures);
        };
        plan_pictures(!input.new_page);
        std::vector<uint32_t> order_new;  // distinct ids not held by the handheld, first use first
        auto plan = [&](bool fresh) {
            order_new.clear();
            std::set<uint32_t> seen;
            for (const Picture& p : pictures) {
                for (const PicturePart& part : p.plan.parts) {
                    if (part.flat || !part.id || seen.count(part.id)) continue;
                    seen.insert(part.id);
                    if (fresh || !cached.count(part.id)) order_new.push_back(part.id);
                }
            }
        };
        page.cut = input.new_page;
        plan(page.cut);
        // The handheld's cache holds 128 pictures and never evicts: when the
        // new ones would not fit, cut the page so that it starts empty.
        if (!page.cut && cached.size() + order_new.size() > IMAGE_CACHE_SLOTS) {
            page.cut = true;
            plan_pictures(false);  // the cut empties what the handheld holds
            plan(true);
        }
        if (order_new.size() > IMAGE_CACHE_SLOTS) order_new.resize(IMAGE_CACHE_SLOTS);
        std::set<uint32_t> sendable(order_new.begin(), order_new.end());
        if (!page.cut) sendable.insert(cached.begin(), cached.end());

        remit_hold(em);
        int framed = -1;  // the element whose borders were drawn with its background
        for (const Item& it : items) {
            int node = d.layout_node[(size_t)it.layout];
            float opacity = rpage_opacity(ctx, node);
            switch (it.kind) {
            case ITEM_BACKGROUND: framed = emit_background(ctx, it.layout, opacity, true) ? it.layout : -1; break;
            case ITEM_BACKGROUND_ALONE:
                emit_background(ctx, it.layout, opacity, false);
                framed = -1;
                break;
            case ITEM_BORDER:
                if (framed != it.layout) emit_borders(ctx, it.layout, opacity);
                break;
            case ITEM_TEXT: emit_text_box(ctx, it.box, texts); break;
            case ITEM_NONE: break;
            case ITEM_PICTURE:
            case ITEM_TEXT_PICTURE: {
                const Picture& p = pictures[(size_t)it.box];
                if (p.id) {
                    // Its parts cover it exactly once, joined fills under
                    // the fills drawn over them: the emitter gathers its
                    // rectangles of a colour under one BC, keeping each
                    // after what it overlaps.
                    for (const PictureDraw& d : rpieces_draws(p.plan.parts)) {
                        int x = p.x0 + d.x0, y = p.y0 + d.y0;
                        const PicturePart* part = d.part < 0 ? nullptr : &p.plan.parts[(size_t)d.part];
                        if (!part || part->flat)
                            remit_fill(em, x, y, p.x0 + d.x1, p.y0 + d.y1, rpieces_colour(d.colour));
                        else if (sendable.count(part->id))
                            remit_picture(em, part->id, x, y, d.x1 - d.x0, d.y1 - d.y0);
                    }
                } else {
                    // No pixels to show (no capture): a grey box keeps its place.
                    int x0, y0, x1, y1;
                    rpage_device_rect(ctx, picture_boxes[(size_t)it.box], &x0, &y0, &x1, &y1);
                    remit_fill(em, x0, y0, x1, y1, Colour{0xDD, 0xDD, 0xDD, 255});
                }
                break;
            }
            }
        }
        remit_release(em);
        for (size_t li = 0; li < m; li++) rcontrol_emit(ctx, (int)li);
        rscroll_setup(ctx, &page.scroll);
        rscroll_emit(ctx, page.scroll);
        if (!input.notice.empty()) rpage_notice(ctx, input.notice);

        // What the signature covers: everything drawn, not whether a picture
        // travelled with it.
        page.signature = fnv64(fnv64(fnv64(1469598103934665603ull, em.out), ctx.secret), ctx.clear);
        if (!ctx.secret.empty()) {
            if (input.key) pw_en(em.out, ctx.secret, input.key, (int)(page.signature & 7));
        }
        for (uint32_t id : order_new) {
            const Picture* at = nullptr;
            const PicturePart* piece = nullptr;
            for (const Picture& p : pictures) {
                for (const PicturePart& part : p.plan.parts)
                    if (!part.flat && part.id == id) {
                        at = &p;
                        piece = &part;
                        break;
                    }
                if (piece) break;
            }
            if (!piece) continue;
            int w = piece->x1 - piece->x0, h = piece->y1 - piece->y0;
            pw_im(em.out, em.frame, render_unit_lo(g.zoomed, at->x0 + piece->x0),
                  render_unit_lo(g.zoomed, at->y0 + piece->y0), render_unit_lo(g.zoomed, w),
                  render_unit_lo(g.zoomed, h),
                  piece->payload.empty() ? rpieces_payload(piece->pixels, w, h, id) : piece->payload);
            page.new_image_ids.push_back(id);
        }
        for (Picture& p : pictures) {
            if (!p.id) continue;
            if (p.reusing) {
                for (RenderHeldRows& r : p.fresh) {
                    r.pixels = row_slice(p.pixels, r.c1 - r.c0, r.r0 - p.rows.r0, r.r1 - p.rows.r0);
                    page.new_held.push_back(std::move(r));
                }
            } else {
                p.rows.pixels = std::move(p.pixels);
                p.rows.parts = held_parts(p.plan);
                page.new_held.push_back(std::move(p.rows));
            }
        }
        page.controls = std::move(ctx.controls);
    } else {
        page.cut = input.new_page;
        if (!input.notice.empty()) rpage_notice(ctx, input.notice);
        page.signature = fnv64(1469598103934665603ull, em.out);
    }
    page.body = std::move(em.out);
    return page;
}

// Pixels of picture rows a session keeps for reuse (two bytes each, about
// seven screenfuls of pictures); the oldest rows go first.
static const size_t HELD_PIXELS_MAX = 1u << 19;

void render_images_commit(RenderImages& images, const RenderedPage& page) {
    if (page.cut) images.ids.clear(), images.held.clear();
    for (uint32_t id : page.new_image_ids)
        if (std::find(images.ids.begin(), images.ids.end(), id) == images.ids.end()) images.ids.push_back(id);
    std::set<uint32_t> ids(images.ids.begin(), images.ids.end());
    for (const RenderHeldRows& r : page.new_held) {
        bool whole = true;  // the handheld holds every image of them
        for (const RenderHeldPart& part : r.parts) whole = whole && (part.flat || ids.count(part.id));
        if (!whole) continue;
        auto same = [&r](const RenderHeldRows& h) { return same_picture(h, r) && h.r0 == r.r0 && h.r1 == r.r1; };
        images.held.erase(std::remove_if(images.held.begin(), images.held.end(), same), images.held.end());
        images.held.push_back(r);
    }
    size_t total = 0, keep = images.held.size();
    while (keep > 0 && total + images.held[keep - 1].pixels.size() <= HELD_PIXELS_MAX)
        total += images.held[--keep].pixels.size();
    images.held.erase(images.held.begin(), images.held.begin() + (ptrdiff_t)keep);
}

// ---- The notice of a dialog ----

// Lines of at most `width` device pixels, broken at spaces.
static std::vector<std::u16string> wrap(const std::u16string& text, int px, int width) {
    std::vector<std::u16string> lines;
    std::u16string line, word;
    auto flush_word = [&]() {
        if (word.empty()) return;
        std::u16string candidate = line.empty() ? word : line + u' ' + word;
        if (!line.empty() && rtext_client_width(candidate, px) > width) {
            lines.push_back(line);
            line = word;
        } else {
            line = candidate;
        }
        word.clear();
    };
    for (char16_t c : text) {
        if (c == u' ') flush_word();
        else word += c;
    }
    flush_word();
    if (!line.empty()) lines.push_back(line);
    return lines;
}

void rpage_notice(PageContext& ctx, const std::string& text) {
    std::u16string mapped = rtext_map_utf8(text);
    const int size = 16, px = render_scale(ctx.geo.zoomed, size), pad = 3;
    int width = ctx.em.dev_w - 2 * pad;
    std::vector<std::u16string> lines = wrap(mapped, px, width);
    const size_t max_lines = 3;
    if (lines.size() > max_lines) {
        lines.resize(max_lines);
        lines.back() += u'\u2026';
    }
    if (lines.empty()) return;
    int line_h = px + px / 2;
    int bottom = pad + (int)lines.size() * line_h + pad / 2;
    remit_fill(ctx.em, 0, 0, ctx.em.dev_w, bottom, Colour{0xFF, 0xF4, 0xB8, 255});
    remit_fill(ctx.em, 0, bottom, ctx.em.dev_w, bottom + 1, Colour{0xC8, 0x9B, 0x00, 255});
    for (size_t i = 0; i < lines.size(); i++) {
        std::u16string& l = lines[i];
        // a line too long for the banner even alone: cut it
        while (l.size() > 1 && rtext_client_width(l, px) > width) l.pop_back();
        remit_text(ctx.em, pad, pad + (int)(i + 1) * line_h - px / 3, size, Colour{0, 0, 0, 255},
                  rtext_utf8(l, 0, l.size()));
    }
}
