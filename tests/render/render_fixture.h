// Rendering real pages: the real engine lays a local page out, the renderer
// turns the snapshot and capture into a page stream, and the client's own
// interpreter draws that stream on the emulated device. The fixture keeps
// what a test needs to compare the two: the engine's words and boxes (asked
// of the page itself), its capture scaled to the device, the stream, and
// the client's screen and control records.
#ifndef CV_TESTS_RENDER_FIXTURE_H
#define CV_TESTS_RENDER_FIXTURE_H

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "engine.h"
#include "page_fixture.h"
#include "page/formtags.h"
#include "render.h"
#include "render_internal.h"
#include "render_text.h"
#include "gfx/text.h"
#include "net/framing.h"

// A word as the engine placed it (viewport CSS pixels).
struct EngineWord {
    std::string text;
    double left, top, height, size;
    std::string colour;  // computed "rgb(...)"
};

// A word as the client draws it (device pixels), from the stream's DS tags.
struct ClientWord {
    std::string text;
    int pen, baseline, px;
    long colour;  // 0xRRGGBB of the FC in force
};

// A text run of the stream: where the client's pen starts and ends.
struct ClientRun {
    int pen, end, baseline, px;
    std::string text;
};

// An element's box as the engine reports it (viewport CSS pixels).
struct EngineBox {
    std::string tag, type;
    double x0, y0, x1, y1;
};

struct Rendered {
    nlohmann::json snapshot;
    std::string capture;          // PNG, may be empty
    RenderViewport viewport;
    RenderedPage page;
    DeviceCapture engine_view;    // the capture at device resolution (text transparent, as the renderer gets it)
    DeviceCapture engine_seen;    // what the engine shows, its text painted, at device resolution (for looking)
    RgbImage engine_full;         // the capture at CSS resolution
    std::vector<EngineWord> words;
    std::vector<EngineBox> controls;
    std::vector<EngineBox> pictures; // images, canvases, SVG, backgrounds images (border boxes)
    std::string stream;           // "<CL>" + body + "<ST>"
};

class RenderTest : public PageTest {
public:
    static Engine engine;
    static bool engine_ok;
    static std::string engine_error;

    static void SetUpTestSuite();
    static void TearDownTestSuite();

    void SetUp() override;
    void TearDown() override;

    // The URL of a page of tests/render/pages.
    static std::string page_url(const std::string& name);
    // Loads a page, settles it, scrolls it, takes the snapshot and capture
    // and renders it (new page, empty client cache).
    bool render(const std::string& url, bool zoomed, Rendered* out, double scroll_x = 0, double scroll_y = 0,
                const RenderImages* images = nullptr);
    // A dialog's text for the next render (empty: none).
    std::string notice;
    // The boxes (viewport CSS pixels) of what a JavaScript expression on the
    // loaded page gives: an array of elements or ranges.
    std::vector<EngineBox> boxes_of(const std::string& expression);
    // Renders again the page already loaded (same engine page), after a script.
    bool rerender(const std::string& script, Rendered* out, bool new_page, const RenderImages& images);
    // Draws a stream with the client (zoom as given), returns the screen.
    std::vector<uint16_t> draw(const std::string& stream, bool zoomed);
    // Draws `first`, then appends `update` to the page file as the client's
    // network loop does with an answer that makes no cut, draws again and
    // returns the screen.
    std::vector<uint16_t> draw_update(const std::string& first, const std::string& update, bool zoomed);
    // Appends another such answer to the page file of the last drawing and
    // draws again, as the client does when it arrives; returns the screen.
    std::vector<uint16_t> draw_more(const std::string& update);
    // The stream's DS tags as words and runs, measured with the client's text engine.
    void client_text(const std::string& stream, bool zoomed, std::vector<ClientWord>* words,
                     std::vector<ClientRun>* runs);
    // Writes a PNG of the screen (and the engine's view beside it) into the build folder.
    void keep(const std::string& name, const std::vector<uint16_t>& screen, const Rendered* r = nullptr);

    static const uint8_t KEY[16];

protected:
    EnginePage epage_;
    bool page_open_ = false;
    bool zoomed_open_ = false;
    bool take(Rendered* out, bool new_page, const RenderImages& images);
};

// Mean difference of two RGB565 pixels per channel, in 8-bit steps.
double colour_error(uint16_t a, uint16_t b);
// The device rectangle of an engine box.
inline void device_box(const EngineBox& b, double scale, int* x0, int* y0, int* x1, int* y1) {
    *x0 = (int)std::floor(b.x0 * scale + 0.5);
    *y0 = (int)std::floor(b.y0 * scale + 0.5);
    *x1 = (int)std::floor(b.x1 * scale + 0.5);
    *y1 = (int)std::floor(b.y1 * scale + 0.5);
}

#endif
