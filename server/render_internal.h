// Inside the page renderer: the snapshot as tables, the geometry between CSS
// pixels, device pixels and page units, and the page-stream emitter that the
// render_*.cpp files share.
//
// Coordinates:
//   CSS pixels     the engine's layout, relative to the viewport (document
//                  coordinates less the scroll offset)
//   device pixels  the handheld's screen, CSS pixels x scale (1/2, or 2/3
//                  zoomed), 320 x 240
//   page units     the numbers of the page stream; the handheld maps v to
//                  (v + 1) / 2, or (2v + 1) / 3 zoomed (render_scale)
#ifndef CV_SERVER_RENDER_INTERNAL_H
#define CV_SERVER_RENDER_INTERNAL_H

#include <cmath>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "server/render.h"

// ---- Computed styles the snapshot carries, in this order ----
enum RenderStyle {
    ST_DISPLAY, ST_VISIBILITY, ST_COLOR, ST_BACKGROUND_COLOR, ST_BACKGROUND_IMAGE, ST_FONT_SIZE,
    ST_OVERFLOW_X, ST_OVERFLOW_Y, ST_POSITION, ST_OPACITY, ST_WHITE_SPACE, ST_TEXT_DECORATION,
    ST_LETTER_SPACING, ST_WORD_SPACING,
    ST_BORDER_TOP_WIDTH, ST_BORDER_RIGHT_WIDTH, ST_BORDER_BOTTOM_WIDTH, ST_BORDER_LEFT_WIDTH,
    ST_BORDER_TOP_STYLE, ST_BORDER_RIGHT_STYLE, ST_BORDER_BOTTOM_STYLE, ST_BORDER_LEFT_STYLE,
    ST_BORDER_TOP_COLOR, ST_BORDER_RIGHT_COLOR, ST_BORDER_BOTTOM_COLOR, ST_BORDER_LEFT_COLOR,
    ST_PADDING_TOP, ST_PADDING_RIGHT, ST_PADDING_BOTTOM, ST_PADDING_LEFT,
    ST_FONT_FAMILY, ST_TEXT_FILL_COLOR, ST_TEXT_OVERFLOW,
    ST_COUNT
};
extern const char* const RENDER_STYLE_NAMES[ST_COUNT];

// A rectangle in CSS or device pixels: [x0, x1) x [y0, y1).
struct Box {
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    bool empty() const { return !(x1 > x0 && y1 > y0); }
    double width() const { return x1 - x0; }
    double height() const { return y1 - y0; }
};
Box rsnap_intersect(const Box& a, const Box& b);

// An sRGB colour with alpha (0-255 each).
struct Colour {
    int r = 0, g = 0, b = 0, a = 0;
};
// Parses "rgb(r, g, b)" / "rgba(r, g, b, a)"; anything else is transparent.
Colour rsnap_colour(const std::string& s);
// c painted with opacity over an opaque background.
Colour rsnap_colour_over(Colour c, double opacity, Colour background);
// CSS length in pixels ("12px", "normal" = 0).
double rsnap_px(const std::string& s);

// ---- The snapshot of one document, as tables ----
struct SnapDoc {
    const nlohmann::json* strings = nullptr;
    // nodes
    std::vector<int> parent;
    std::vector<int> node_type;
    std::vector<int> node_name;     // string index
    std::vector<int> node_value;
    std::vector<int64_t> backend;
    std::vector<int> layout_of;     // node -> its first layout index, -1 when not laid out
    std::unordered_map<int, int> input_value, text_value, content_document;
    std::unordered_map<int, bool> checked, selected;
    // layout
    std::vector<int> layout_node;
    std::vector<Box> bounds;        // document coordinates, borders included
    std::vector<Box> client;        // client area relative to the bounds (x0, y0 = border widths)
    std::vector<int> layout_text;   // string index or -1
    std::vector<int> paint_order;
    std::vector<std::vector<int>> styles;  // ST_COUNT string indices, or empty
    // text boxes
    std::vector<int> tb_layout;
    std::vector<Box> tb_bounds;
    std::vector<int> tb_start, tb_length;
    double scroll_x = 0, scroll_y = 0, content_w = 0, content_h = 0;

    const std::string& str(int i) const;
    // Style of a layout node ("" when absent).
    const std::string& style(int layout, RenderStyle s) const;
    std::string name(int node) const;          // upper-case tag name ("#text", "svg" as is)
    std::string attribute(int node, const char* attr) const;  // "" when absent
    bool has_attribute(int node, const char* attr) const;
    // Keeps the attributes list of every node (a pointer into the JSON).
    const nlohmann::json* attributes = nullptr;
};
bool rsnap_parse(const nlohmann::json& snapshot, int document, SnapDoc* doc, std::string* error);

// ---- Geometry ----
struct Geometry {
    bool zoomed = false;
    double scale = 0.5;           // device pixels per CSS pixel
    double origin_x = 0, origin_y = 0;  // document position of the viewport's top-left
    int view_w = 640, view_h = 480;     // the area the page shows (CSS), bars excluded
    int dev_w = 320, dev_h = 240;       // the same in device pixels (what is drawn)
};
// The handheld's mapping of a page unit to a device pixel.
int render_scale(bool zoomed, long v);
// A page unit that the handheld maps to device pixel d: the smallest, or the
// largest of the one or two there are.
long render_unit_lo(bool zoomed, int d);
long render_unit_hi(bool zoomed, int d);
// A device pixel boundary for a CSS coordinate of the viewport.
inline int rgeo_round(double css, double scale) { return (int)std::floor(css * scale + 0.5); }

// ---- The emitter ----
// A drawing tag held back for reordering: the device pixels it may touch
// (for a text run also those it samples as its background), inclusive, and
// the state it draws with (-1: does not use it).
struct DrawOp {
    int x0, y0, x1, y1;
    long bc, fc, sz;
    std::string tag;
};
struct Emitter {
    std::string out;
    uint32_t frame = 3;
    bool zoomed = false;
    int dev_w = 320, dev_h = 240;   // content area; nothing is drawn beyond it
    long bc = -1, fc = -1, sz = -1; // colours 0xRRGGBB as last sent, -1 = unknown
    // Between remit_hold and remit_release the drawing tags are held here.
    bool holding = false;
    std::vector<DrawOp> held;
    long held_fc = -1;              // the text colour in force after the last held tag
};
// Fills device pixels [x0, x1) x [y0, y1) (clipped to the content area) in
// an opaque colour: CR where the handheld can place it exactly, DL lines in
// the text colour where it cannot (single rows and columns).
void remit_fill(Emitter& e, int x0, int y0, int x1, int y1, Colour c);
// Device pixels [x0, x1) of row y (clipped to the content area) as a DL in
// the text colour: an underline or a strike-through in its text's colour
// needs no colour tag of its own.
void remit_row(Emitter& e, int x0, int x1, int y, Colour c);
// A text run with its pen at device pixel x and its baseline on device row y.
void remit_text(Emitter& e, int x, int y, int size, Colour c, const std::string& utf8);
// A picture the handheld holds, drawn w x h device pixels at (x, y); x and y
// may be negative (its part on the screen is drawn).
void remit_picture(Emitter& e, uint32_t id, int x, int y, int w, int h);
// Holds the drawing tags that follow (fills, lines, text runs, pictures)
// until remit_release, which writes them in an order that draws the same
// pixels with fewer colour and size tags: a tag moves ahead of earlier ones
// only when none of them touches its pixels, so that every pixel sees its
// tags in the order given.
void remit_hold(Emitter& e);
void remit_release(Emitter& e);

// ---- Images ----
// The handheld keeps at most this many decoded pictures until the next cut.
enum { IMAGE_CACHE_SLOTS = 128 };
// The capture at device resolution, RGB565, row after row.
struct DeviceCapture {
    int width = 0, height = 0;
    std::vector<uint16_t> pixels;
};
// A picture as the engine's capture holds it: 8-bit red, green, blue.
struct RgbImage {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
};
bool rimage_decode(const std::string& png, RgbImage* out, std::string* error);
// The region [x0, x1) x [y0, y1) of a picture, averaged down to width x
// height pixels, RGB565.
std::vector<uint16_t> rimage_resample(const RgbImage& img, int x0, int y0, int x1, int y1, int width, int height);
// Columns [c0, c1) and rows [r0, r1) of the region [x0, x1) x [y0, y1)
// averaged down to width x height pixels, where the region may reach beyond
// the picture (its edge pixels stand for what lies beyond). A picture cut by
// the screen's edge so keeps the pixel grid it has when whole: what one
// screen sends of it fits what the next adds. `complete`, when given, gets a
// flag for each row: 1 when all its source rows lie inside the picture.
struct GridCut {
    int c0, r0, c1, r1;
};
std::vector<uint16_t> rimage_resample_grid(const RgbImage& img, int x0, int y0, int x1, int y1, int width, int height,
                                           const GridCut& cut, std::vector<uint8_t>* complete);
// Decodes a PNG capture of the viewport and scales it to device pixels.
bool rimage_device_capture(const std::string& png, double scale, DeviceCapture* out, std::string* error);
// Id of a picture: a hash of its size and pixels, never 0.
uint32_t rimage_id(const uint16_t* pixels, int width, int height, int stride);
// The IM payload of a picture (compressed, id in bytes 16-19).
std::vector<uint8_t> rimage_payload(const std::vector<uint16_t>& pixels, int width, int height, uint32_t id);

// ---- Pictures in parts ----
// One part of a picture, in the picture's own pixels [x0, x1) x [y0, y1):
// a one-colour rectangle, or a piece that travels as a picture of its own.
struct PicturePart {
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    bool flat = false;
    uint16_t colour = 0;            // flat: RGB565
    uint32_t id = 0;                // piece: rimage_id of its pixels
    std::vector<uint16_t> pixels;   // piece: its pixels, row after row
    std::vector<uint8_t> payload;   // piece: its IM payload; empty until made
};
// How a picture travels: its parts, which cover it exactly once, and what
// they cost against the picture as one piece (stream bytes, with a price for
// each picture slot of the handheld's cache).
struct PicturePlan {
    std::vector<PicturePart> parts;
    PicturePart whole;              // the picture as one piece (no pixels when it is one colour)
    long bytes = 0, whole_bytes = 0;
};
// Cuts one-colour rectangles out of a picture where that makes the stream
// smaller (compressing the pieces to weigh them).
PicturePlan rpieces_plan(const std::vector<uint16_t>& pixels, int width, int height, bool zoomed);
// The picture as one piece, as it travels without cuts.
PicturePlan rpieces_whole(const std::vector<uint16_t>& pixels, int width, int height, uint32_t id);
// One step of drawing a picture: its part `part`, or (part -1) a fill of
// `colour` over the rectangle that joins fills of that colour.
struct PictureDraw {
    int part = -1;
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    uint16_t colour = 0;
};
// How a picture's parts are drawn, in order. Fills of one colour whose
// joining rectangle the picture's fills cover wholly (a sky of rows in two
// colours by turns) become one fill, drawn first; the fills of other colours
// inside it are drawn after it, over it. Joined rectangles never overlap
// one another, and never a piece.
std::vector<PictureDraw> rpieces_draws(const std::vector<PicturePart>& parts);
// The BC colour that the handheld turns into exactly this RGB565 value.
Colour rpieces_colour(uint16_t rgb565);
// The IM payload of a picture or piece (rimage_payload).
std::vector<uint8_t> rpieces_payload(const std::vector<uint16_t>& pixels, int width, int height, uint32_t id);
// Whether render_page cuts pictures at all (on; tests turn it off to compare
// with pictures sent whole), and whether payloads are exact (off; tests turn
// it on to compare parts with whole pictures pixel for pixel).
extern bool rpieces_enabled;
void rpieces_exact_payloads(bool exact);

// ---- One page being rendered ----
struct PageContext {
    const RenderInput* input = nullptr;
    SnapDoc doc;
    Geometry geo;
    Emitter em;
    Colour canvas{255, 255, 255, 255};
    std::vector<RenderControl> controls;
    std::string secret;   // tags that travel only inside a scrambled block
    std::string clear;    // what the signature covers besides the body (never sent)
    std::unordered_map<std::string, std::string> radio_groups;  // form and name -> group name sent
    // Per node, filled on demand: -1 unknown.
    std::vector<signed char> inside_control;  // the node lies inside a form control or a picture
    std::vector<Box> clip;                    // the clip of a node's own painting (viewport CSS)
    std::vector<float> opacity;               // the node's effective opacity
    // Text boxes inside each inline element that has a background colour
    // (made on first use).
    std::unordered_map<int, std::vector<int>> inline_text;
    bool inline_text_made = false;
};
// The viewport box of a layout node's border box.
Box rpage_border_box(const PageContext& ctx, int layout);
// The clip rectangle of a node (overflow of its ancestors, and the viewport).
Box rpage_clip(PageContext& ctx, int node);
// A control or picture element whose inside is not drawn from text boxes.
bool rpage_inside_control(PageContext& ctx, int node);
float rpage_opacity(PageContext& ctx, int node);
// The device rectangle of a viewport box.
void rpage_device_rect(const PageContext& ctx, const Box& b, int* x0, int* y0, int* x1, int* y1);

// Form controls: emits the control of a laid-out element (if it is one) and
// records it; true when the element is a control.
bool rcontrol_emit(PageContext& ctx, int layout);
bool rcontrol_is_control(const SnapDoc& doc, int node);
// Whether this layout object is a control the handheld will draw itself
// (then the engine's face of it, its background and borders, is not drawn).
bool rcontrol_offered(PageContext& ctx, int layout);

// Scroll bars: the page's scroll state from the snapshot, and its SV/SH tags.
void rscroll_setup(PageContext& ctx, RenderScroll* scroll);
void rscroll_emit(PageContext& ctx, const RenderScroll& scroll);
// A dialog's text in a banner at the top of the page.
void rpage_notice(PageContext& ctx, const std::string& text);
// True when a picture shows in the visible part of the page.
bool rpage_has_pictures(const nlohmann::json& snapshot, const RenderViewport& viewport);

#endif
