// The page renderer: one laid-out state of a web page, as the engine reports
// it, turned into the page stream the handheld draws.
//
// The session (engine driver, protocol) owns everything around this: it
// loads pages, waits for them to settle, takes the snapshot and the capture
// this header asks for, and frames the answer. The renderer owns everything
// the page stream shows: text runs fitted to the handheld's glyph advances,
// boxes, borders, images, form controls and scroll bars.
//
// One page state, as the session drives it:
//
//   new document:  Page.addScriptToEvaluateOnNewDocument(render_new_document_script())
//   settled page:  Runtime.evaluate(render_settle_script(viewport),
//                                   awaitPromise: true)                    (when not empty)
//                  DOMSnapshot.captureSnapshot(render_snapshot_params())
//                  params = render_capture_params(snapshot, viewport)
//                  Page.captureScreenshot(params)                         (only when params is not null)
//                  page = render_page(input, images)
//   answer:        ["<CL>" when page.cut] + [URL block or "<BU>"] + page.body + "<ST>"
//                  (or just "<ST>" when !page.cut and page.signature equals the last one sent)
//   after sending: render_images_commit(images, page)
#ifndef CV_SERVER_RENDER_H
#define CV_SERVER_RENDER_H

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// The layout viewport in CSS pixels, which are page units: 640 x 480 in frame
// 3, or 480 x 360 in frame 4 while the handheld is zoomed in.
struct RenderViewport {
    int width = 640;
    int height = 480;
    bool zoomed = false;
};

// A part of a picture's rows that the handheld holds (below): a one-colour
// rectangle or a held image, in the pixels of those rows.
struct RenderHeldPart {
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    bool flat = false;
    uint16_t colour = 0;   // flat: RGB565
    uint32_t id = 0;       // image id
};
// Rows of a picture that an earlier screen of the page drew: the picture by
// its box in the document and its size in device pixels, the columns and
// rows of it that were drawn, their pixels (with a flag per row: 1 when the
// capture held all of its source), and the parts they travelled as. When the
// page scrolls, the rows that stay on the screen are drawn again from what
// the handheld holds, and only the rows new to it travel.
struct RenderHeldRows {
    long left = 0, top = 0, right = 0, bottom = 0;
    int width = 0, height = 0;
    int c0 = 0, c1 = 0, r0 = 0, r1 = 0;
    std::vector<uint16_t> pixels;
    std::vector<uint8_t> complete;
    std::vector<RenderHeldPart> parts;
};

// What the client holds in its image cache: the ids of the images decoded
// since the last page cut, and the picture rows they show. A page cut
// empties the client's cache.
struct RenderImages {
    std::vector<uint32_t> ids;
    std::vector<RenderHeldRows> held;
};

// One page state to render.
struct RenderInput {
    const nlohmann::json* snapshot = nullptr;  // DOMSnapshot.captureSnapshot result
    std::string capture_png;                   // Page.captureScreenshot data, decoded from base64; may be empty
    RenderViewport viewport;
    bool new_page = false;      // a new document (navigation, history, reload, zoom): the answer opens with a cut
    std::string notice;         // text of a JavaScript dialog to show at the top, or empty
    const uint8_t* key = nullptr;  // the session's 16-byte login-derived key, for scrambled blocks
};

// A form control of the rendered page, by the name the page stream gave it.
struct RenderControl {
    std::string name;            // unique in the page
    char kind = 0;               // 'T' text-like input, 'P' password, 'A' textarea, 'C' checkbox,
                                 // 'R' radio, 'B' button, 'D' drop-down select, 'L' list-box select
    int64_t backend_node_id = 0; // the element, for DOM.resolveNode
    std::vector<int> options;    // for 'D' and 'L': item index in the stream -> index in select.options
};

// Where the page is scrolled to and how far it can go, in CSS pixels of the
// document; and the scroll bars as the stream placed them (page units).
struct RenderScroll {
    double x = 0, y = 0;            // current scroll offset
    double max_x = 0, max_y = 0;    // largest scroll offsets
    int view_width = 0, view_height = 0;  // the area the page shows (viewport less the bar strips)
    int line = 0;                   // one line of text, for "one screen less one line"
    int grid = 1;                   // scroll targets are multiples of this many CSS pixels (2, or 3
                                    // zoomed: a whole number of device pixels), so that the page keeps
                                    // its device pixel grid and what the handheld holds still fits
    bool has_h = false, has_v = false;
    int h_track_start = 0, h_track_length = 0;  // SH track in page units along x
    int v_track_start = 0, v_track_length = 0;  // SV track in page units along y
};

struct RenderedPage {
    std::string body;                  // the page stream from the frame declaration on, without CL and ST
    bool cut = false;                  // the answer must open with "<CL>" (new page, or the client's
                                       // image cache would overflow)
    uint64_t signature = 0;            // equal signatures = nothing visible changed
    std::vector<uint32_t> new_image_ids;   // images whose payload this body carries
    std::vector<RenderHeldRows> new_held;  // picture rows the body sends anew
    std::vector<RenderControl> controls;
    RenderScroll scroll;
};

// Loads the handheld's glyph advances; call once at start-up. False with a
// message when the data is unusable.
bool render_init(std::string* error);
// Command-line switches the engine needs for the renderer's layout (added to
// the engine's own): glyph advances unrounded, so that text laid out in the
// handheld's advances at two thirds (zoomed) keeps its half pixels.
const std::vector<std::string>& render_engine_switches();

// Script for every new document: the faces and font features the handheld
// draws, and the scroll-bar strips.
const std::string& render_new_document_script();
// Script evaluated on the settled page before each snapshot (text sizes
// snapped to the handheld's sizes for this viewport); may be empty.
std::string render_settle_script(const RenderViewport& viewport);
// Parameters of DOMSnapshot.captureSnapshot.
const nlohmann::json& render_snapshot_params();
// Parameters of Page.captureScreenshot for this state, or null when the
// visible part of the page shows no picture (no capture needed).
nlohmann::json render_capture_params(const nlohmann::json& snapshot, const RenderViewport& viewport);

RenderedPage render_page(const RenderInput& input, const RenderImages& images);
// The client now holds the page's images (after the answer was sent).
void render_images_commit(RenderImages& images, const RenderedPage& page);

// Scrolling: the document offset that a message asks for, from the page as
// last rendered. dir is 'L', 'R', 'U' or 'D' (PGL, PGR, PGU, PGD: one
// screen less one line); a scroll-bar tap gives its page position.
void render_scroll_page(const RenderScroll& scroll, char dir, double* x, double* y);
void render_scroll_bar_tap(const RenderScroll& scroll, int px, int py, double* x, double* y);

#endif
