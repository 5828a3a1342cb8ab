// The renderer's rules on their own: page units for device pixels, shapes
// drawn by the client exactly where they were meant, the characters sent for
// those the client lacks, the fitting of text runs, picture payloads.
#include <random>

#include "page/image.h"
#include "tools/pagestream/imageenc.h"
#include "tools/pagestream/picquality.h"
#include "render_fixture.h"

namespace {

// A snapshot is what any web page makes of the engine's report, and the
// renderer reads it without trusting its shape: parents that come after
// their children (or form a ring) are dropped, so that every walk up the
// tree ends; an index that is no whole number, or none that fits, is taken
// as missing; coordinates are kept within what the engine's layout can
// hold. Such a snapshot renders to a page stream like any other.
TEST(RenderRules, SnapshotsOfAnyShapeAreReadWithinBounds) {
    nlohmann::json snap = nlohmann::json::parse(R"({
      "strings": ["#document", "HTML", "BODY", "DIV", "display", "block", 7],
      "documents": [{
        "nodes": {"parentIndex": [-1, 0, 3, 2, 2],
                  "nodeType": [9, 1, 1, 1, 1],
                  "nodeName": [0, 1, 2, 1.11e56, "DIV"],
                  "attributes": [[], [6, 6], 5, [], [4, 1.5]]},
        "layout": {"nodeIndex": [1, 2, 3, 4],
                   "bounds": [[0, 0, 640, 480], [0, 0, 1e300, -1e300], [8, 8, 100, 20], "no box"],
                   "styles": [[5], "none", [1e12], []],
                   "text": [-1, -1, -1, -1], "paintOrders": [1, 2, 3, 4]},
        "textBoxes": {"layoutIndex": [], "bounds": [], "start": [], "length": []},
        "scrollOffsetX": -5e300, "scrollOffsetY": 1e20, "contentWidth": 1e300, "contentHeight": 480
      }]})");
    SnapDoc doc;
    std::string error;
    ASSERT_TRUE(rsnap_parse(snap, 0, &doc, &error)) << error;
    EXPECT_EQ(doc.parent, (std::vector<int>{-1, 0, -1, 2, 2}));  // node 2's parent came after it
    EXPECT_EQ(doc.node_name, (std::vector<int>{0, 1, 2, -1, -1}));
    EXPECT_EQ(doc.attribute(1, "display"), "");  // a name index that names no string
    EXPECT_EQ(doc.attribute(2, "display"), "");  // attributes that are no list
    const double most = 33554432.0;
    EXPECT_EQ(doc.bounds[1].x1, most);
    EXPECT_EQ(doc.bounds[1].y1, -most);
    EXPECT_EQ(doc.bounds[3].x1, 0);
    EXPECT_EQ(doc.style(0, ST_DISPLAY), "block");
    EXPECT_EQ(doc.style(1, ST_DISPLAY), "");
    EXPECT_EQ(doc.style(2, ST_DISPLAY), "");
    EXPECT_EQ(doc.scroll_x, -most);
    EXPECT_EQ(doc.scroll_y, most);
    EXPECT_EQ(doc.content_w, most);

    for (bool zoomed : {false, true}) {
        RenderInput in;
        in.snapshot = &snap;
        in.viewport = zoomed ? RenderViewport{480, 360, true} : RenderViewport{};
        in.new_page = true;
        RenderImages images;
        RenderedPage page = render_page(in, images);
        EXPECT_EQ(page.body.compare(0, 4, "<FR "), 0) << page.body.substr(0, 40);
        EXPECT_TRUE(page.cut);
    }
}

// Every device pixel has page units that the client maps back to it, and
// the two ends of its span are adjacent to the next pixel's.
TEST(RenderRules, PageUnitsMapBackToTheirDevicePixel) {
    for (bool zoomed : {false, true}) {
        for (int d = -20; d < 330; d++) {
            long lo = render_unit_lo(zoomed, d), hi = render_unit_hi(zoomed, d);
            EXPECT_EQ(render_scale(zoomed, lo), d) << d;
            EXPECT_EQ(render_scale(zoomed, hi), d) << d;
            if (d > 0) {
                EXPECT_EQ(render_scale(zoomed, lo - 1), d - 1) << d;
            }
            EXPECT_EQ(render_scale(zoomed, hi + 1), d + 1) << d;
            EXPECT_GE(lo, d > 0 ? 0 : lo);
        }
    }
}

using Fills = PageTest;

// Rectangles of every size, thin ones included, light exactly their pixels
// on the client: the handheld's rule that turns two rows into one and cannot
// place one column is worked around.
TEST_F(Fills, RectanglesLightExactlyTheirPixels) {
    std::mt19937 rnd(11);
    for (bool zoomed : {false, true}) {
        for (int i = 0; i < 300; i++) {
            int x0 = (int)(rnd() % 300), y0 = (int)(rnd() % 220);
            int w = i < 40 ? 1 + i % 4 : 1 + (int)(rnd() % 40), h = i < 40 ? 1 + i / 10 : 1 + (int)(rnd() % 30);
            if (i % 3 == 0) std::swap(w, h);
            Emitter e;
            e.zoomed = zoomed;
            e.frame = zoomed ? 4 : 3;
            e.out = zoomed ? "<FR 0 0 1e0 168>" : "<FR 0 0 280 1e0>";
            Colour red{255, 0, 0, 255};
            remit_fill(e, x0, y0, x0 + w, y0 + h, red);
            zoom_mode = zoomed;
            write_page(e.out);
            page_draw(0, 0);
            std::vector<uint16_t> s = screen();
            int wrong = 0;
            for (int y = 0; y < 240; y++)
                for (int x = 0; x < 320; x++) {
                    bool inside = x >= x0 && x < std::min(x0 + w, 320) && y >= y0 && y < std::min(y0 + h, 240);
                    wrong += (s[(size_t)y * 320 + x] == RED565) != inside;
                }
            EXPECT_EQ(wrong, 0) << "rect " << x0 << ", " << y0 << " size " << w << " x " << h
                                << (zoomed ? " zoomed: " : ": ") << e.out;
        }
    }
    zoom_mode = 0;
}

TEST(RenderRules, CharactersTheClientLacksAreSentAsLookAlikes) {
    std::string error;
    ASSERT_TRUE(rtext_init(&error)) << error;
    EXPECT_EQ(rtext_map_char(U'a'), u'a');
    EXPECT_EQ(rtext_map_char(0x201C), 0x201C);  // held: sent as itself
    EXPECT_EQ(rtext_map_char(0x2026), 0x2026);
    EXPECT_EQ(rtext_map_char(0x0142), u'l');     // l with stroke
    EXPECT_EQ(rtext_map_char(0x0151), 0x00F6);   // o with double acute: o with diaeresis
    EXPECT_EQ(rtext_map_char(0x2011), u'-');     // non-breaking hyphen
    EXPECT_EQ(rtext_map_char(0x2009), u' ');     // thin space
    EXPECT_EQ(rtext_map_char(0x200B), 0);        // zero-width space: nothing
    EXPECT_EQ(rtext_map_char(0x00AD), 0);        // soft hyphen inside a line: nothing
    EXPECT_EQ(rtext_map_char(0x0416), u'-');     // Cyrillic: the hyphen the client would draw
    EXPECT_EQ(rtext_map_char(0x1F600), u'-');    // beyond 16 bits: never sent as such
    EXPECT_EQ(rtext_map_char(U'\t'), u' ');
    EXPECT_EQ(rtext_map_char(0x25B8), 0x203A);   // a closed disclosure's triangle
    EXPECT_EQ(rtext_map_char(0x25BE), u'v');     // an open one's
    // What has neither glyph nor look-alike is painted by the engine instead.
    EXPECT_TRUE(rtext_is_foreign(0x0416));
    EXPECT_TRUE(rtext_is_foreign(0x4F60));       // Chinese
    EXPECT_TRUE(rtext_is_foreign(0x1F600));      // emoji
    EXPECT_FALSE(rtext_is_foreign(U'-'));
    EXPECT_FALSE(rtext_is_foreign(0x0142));
    EXPECT_FALSE(rtext_is_foreign(0x25B8));
    EXPECT_FALSE(rtext_is_foreign(0x200B));
    std::u16string m = rtext_map_utf8("na\xc3\xafve \xe2\x80\x9cq\xe2\x80\x9d\xe2\x80\x8b!");
    EXPECT_EQ(m, std::u16string(u"na\u00efve \u201cq\u201d!"));
    // Labels and notices, which no picture can stand in for: Cyrillic and
    // Greek spelt in Latin letters, other scripts still the hyphen.
    EXPECT_EQ(rtext_map_utf8(u8"\u041D\u0430\u0439\u0442\u0438 \u0449\u0451\u0442\u043A\u0443"),
              std::u16string(u"Nayti shchyotku"));
    EXPECT_EQ(rtext_map_utf8(u8"\u0391\u03B8\u03AE\u03BD\u03B1 \u03BB\u03CC\u03B3\u03BF\u03C2"),
              std::u16string(u"Ath\u00EDna l\u00F3gos"));
    EXPECT_EQ(rtext_map_utf8(u8"\u4F60\u597D!"), std::u16string(u"--!"));
}

// Text laid out in Liberation Sans (a page the layout faces did not reach):
// every word starts within a device pixel of the engine's place and no run
// reaches into the next, at every size.
TEST(RenderRules, FittedRunsStartEveryWordWithinAPixel) {
    std::string error;
    ASSERT_TRUE(rtext_init(&error)) << error;
    const char* text = "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor "
                       "incididunt ut labore et dolore magna aliqua. Quis nostrud exercitation ullamco.";
    for (bool zoomed : {false, true}) {
        for (int css = 16; css <= (zoomed ? 20 : 26); css += 2) {
            double scale = zoomed ? 2.0 / 3.0 : 0.5;
            int px = render_scale(zoomed, css);
            TextLine line;
            line.x = 7.25;
            line.size = css;
            line.zoomed = zoomed;
            for (const char* p = text; *p; p++) line.chars += (char32_t)*p;
            double width = 0;
            for (char32_t c : line.chars) width += rtext_engine_advance(c, css);
            line.width = width;
            std::u16string mapped;
            for (char32_t c : line.chars) mapped += (char16_t)rtext_map_char(c);
            std::vector<TextRun> runs = rtext_fit(line, mapped, px, scale);
            ASSERT_FALSE(runs.empty());
            std::vector<double> pos = rtext_engine_positions(line);
            size_t words = 0;
            for (size_t k = 0; k < runs.size(); k++) {
                const TextRun& r = runs[k];
                int64_t acc = 0;
                for (size_t i = r.begin; i < r.end; i++) {
                    if (mapped[i] != u' ' && (i == 0 || mapped[i - 1] == u' ')) {
                        words++;
                        double engine = (line.x + pos[i]) * scale;
                        double client = r.pen + (double)((acc + 0x8000) >> 16);
                        EXPECT_LE(std::fabs(client - engine), 1.0) << css << (zoomed ? " zoomed" : "") << " at " << i;
                    }
                    acc += rtext_client_advance(mapped[i], px);
                }
                if (k + 1 < runs.size()) {
                    EXPECT_LE(r.pen + (int)((acc + 0x8000) >> 16), runs[k + 1].pen)
                        << css << (zoomed ? " zoomed" : "") << ": run " << k << " reaches into the next";
                }
            }
            EXPECT_EQ(words, 23u);
            // In the layout face of the size the same line is one run.
            line.face = true;
            width = 0;
            for (char32_t c : line.chars) width += rtext_face_advance(c, css, zoomed);
            line.width = width;
            line.x = 8;
            EXPECT_EQ(rtext_fit(line, mapped, px, scale).size(), 1u) << css << (zoomed ? " zoomed" : "");
        }
    }
}

// A payload the renderer writes is what the client decodes: the picture
// within four steps of red and blue (eight of green) where it is busy, exact
// where it is flat or smooth (errors there show as streaks), its id in the
// bytes the client keys its cache with, and a ratio byte that bounds the
// expansion. Without a tolerance the pixel compressor is exact.
TEST(RenderRules, PicturePayloadsDecodeOnTheClient) {
    std::mt19937 rnd(5);
    for (int kind = 0; kind < 3; kind++) {
        int w = 37, h = 23;
        std::vector<uint16_t> px((size_t)w * h);
        for (size_t i = 0; i < px.size(); i++)
            px[i] = kind == 0   ? 0x07E0
                    : kind == 1 ? (uint16_t)(((int)i % w / 7 + (int)i / w / 5) * 0x0841)  // a smooth gradient
                                : (uint16_t)rnd();
        uint32_t id = rimage_id(px.data(), w, h, w);
        EXPECT_NE(id, 0u);
        std::vector<uint8_t> p = rimage_payload(px, w, h, id);
        EXPECT_EQ((uint32_t)p[16] << 24 | p[17] << 16 | p[18] << 8 | p[19], id);
        EXPECT_GE((size_t)p[1] * p.size() / 8, 16 + px.size() * 2);
        ImageRecord* rec = image_decode(p.data(), (DWORD)p.size());
        ASSERT_NE(rec, nullptr);
        EXPECT_EQ(rec->width, w);
        EXPECT_EQ(rec->height, h);
        EXPECT_EQ(rec->id, id);
        EXPECT_EQ(rec->transparent, 0);
        int off = 0;
        for (size_t i = 0; i < px.size(); i++) {
            uint16_t a = rec->pixels[i], b = px[i];
            off += std::abs((a >> 11) - (b >> 11)) > 4 || std::abs(((a >> 5) & 63) - ((b >> 5) & 63)) > 8 ||
                   std::abs((a & 31) - (b & 31)) > 4;
        }
        EXPECT_EQ(off, 0) << "picture " << kind;
        if (kind < 2) {
            EXPECT_EQ(std::vector<uint16_t>(rec->pixels, rec->pixels + px.size()), px) << "flat or smooth " << kind;
        }
        image_free(rec);

        std::vector<uint8_t> exact = ie_payload_pixels(ie_expanded(px, w, h, id, false), w, 0);
        rec = image_decode(exact.data(), (DWORD)exact.size());
        ASSERT_NE(rec, nullptr);
        EXPECT_EQ(std::vector<uint16_t>(rec->pixels, rec->pixels + px.size()), px) << "picture " << kind;
        image_free(rec);
    }
    // A busy picture (a fine texture of nearby colours, as foliage) travels
    // smaller with inexact copies than exactly.
    {
        std::mt19937 rnd(7);
        int w = 64, h = 32;
        std::vector<uint16_t> px((size_t)w * h);
        for (uint16_t& p : px) {
            int r = 10 + (int)(rnd() % 5), g = 30 + (int)(rnd() % 9), b = 8 + (int)(rnd() % 5);
            p = (uint16_t)(r << 11 | g << 5 | b);
        }
        uint32_t id = rimage_id(px.data(), w, h, w);
        size_t lossy = rimage_payload(px, w, h, id).size();
        size_t exact = ie_payload_pixels(ie_expanded(px, w, h, id, false), w, 0).size();
        EXPECT_LT(lossy * 10, exact * 9) << lossy << " against " << exact;
    }
    // Same pixels, same id; one pixel changed, another id.
    std::vector<uint16_t> a(100, 0x1234), b = a;
    b[50] = 0x1235;
    EXPECT_EQ(rimage_id(a.data(), 10, 10, 10), rimage_id(a.data(), 10, 10, 10));
    EXPECT_NE(rimage_id(a.data(), 10, 10, 10), rimage_id(b.data(), 10, 10, 10));
    EXPECT_NE(rimage_id(a.data(), 10, 10, 10), rimage_id(a.data(), 20, 5, 20));
}

namespace {
struct Shown {
    std::vector<uint16_t> exact, shown;
    int width = 0, height = 0;
    size_t bytes = 0, exact_bytes = 0;
};

// A picture through the renderer's payload and the client's own decoder.
Shown through_the_client(const std::vector<uint16_t>& px, int w, int h) {
    Shown s;
    s.exact = px;
    s.width = w;
    s.height = h;
    uint32_t id = rimage_id(px.data(), w, h, w);
    std::vector<uint8_t> p = rimage_payload(px, w, h, id);
    s.bytes = p.size();
    s.exact_bytes = ie_payload_pixels(ie_expanded(px, w, h, id, false), w, 0).size();
    EXPECT_EQ((uint32_t)p[16] << 24 | p[17] << 16 | p[18] << 8 | p[19], id);
    ImageRecord* rec = image_decode(p.data(), (DWORD)p.size());
    EXPECT_NE(rec, nullptr);
    if (!rec) return s;
    EXPECT_EQ(rec->width, w);
    EXPECT_EQ(rec->height, h);
    s.shown.assign(rec->pixels, rec->pixels + (size_t)w * h);
    image_free(rec);
    return s;
}

Shown picture_file(const std::string& name) {
    RasterImage img;
    std::string error;
    std::string path = CV_SOURCE_DIR "/tests/render/pictures/" + name + ".png";
    if (!ie_load_png(path, &img, &error)) {
        ADD_FAILURE() << error;
        return {};
    }
    return through_the_client(ie_to_rgb565(img, false), img.width, img.height);
}

// The largest hue error of a pixel: red or blue against green, in 64ths.
int hue_error(uint16_t a, uint16_t b) {
    int dr = ((a >> 11) - (b >> 11)) * 2, dg = ((a >> 5) & 63) - ((b >> 5) & 63), db = ((a & 31) - (b & 31)) * 2;
    return std::max(std::abs(dr - dg), std::abs(db - dg));
}
}  // namespace

// Real photographs at the size the handheld shows them travel in far fewer
// bits than exact copies (6.25 bits a pixel at most, all together; exact
// ones take about 9), and still look like themselves: no colour further off than
// four steps of red or blue (eight of green), hues at most half as far,
// smooth areas exact, structure kept (similarity at least 0.94 each, where 1
// is the picture itself).
TEST(RenderRules, PhotographsTravelInFarFewerBitsAndLookRight) {
    size_t bytes = 0, exact = 0, pixels = 0;
    for (const char* name : {"photo-cat", "photo-coffee", "photo-astronaut", "photo-rocket", "photo-deep-field",
                             "photo-camera"}) {
        Shown s = picture_file(name);
        ASSERT_EQ(s.shown.size(), s.exact.size()) << name;
        PictureQuality q = pq_compare(s.exact, s.shown, s.width, s.height);
        EXPECT_LE(q.max_error, 8) << name;
        EXPECT_EQ(q.smooth_max, 0) << name;
        EXPECT_GE(q.ssim, 0.94) << name;
        EXPECT_LE(q.rmse, 6.0) << name;
        int hue = 0;
        for (size_t i = 0; i < s.exact.size(); i++) hue = std::max(hue, hue_error(s.exact[i], s.shown[i]));
        EXPECT_LE(hue, 4) << name;
        EXPECT_LT(s.bytes, s.exact_bytes) << name;
        bytes += s.bytes;
        exact += s.exact_bytes;
        pixels += s.exact.size();
    }
    EXPECT_LE(8.0 * bytes / pixels, 6.25) << bytes << " bytes, exact " << exact;
}

// The sample site's drawings keep their look (similarity at least 0.98, smooth
// skies and flat areas exact, errors only at edges and in texture) and get no
// bigger than exact copies.
TEST(RenderRules, DrawingsKeepTheirLook) {
    for (const char* name : {"site-home", "site-dunes", "site-city", "site-leaf-stripes", "site-waves", "site-tiles",
                             "site-lake"}) {
        Shown s = picture_file(name);
        ASSERT_EQ(s.shown.size(), s.exact.size()) << name;
        PictureQuality q = pq_compare(s.exact, s.shown, s.width, s.height);
        EXPECT_LE(q.max_error, 8) << name;
        EXPECT_EQ(q.smooth_max, 0) << name;
        EXPECT_GE(q.ssim, 0.98) << name;
        EXPECT_LE(s.bytes, s.exact_bytes) << name;
    }
}

// Gradients come back exact however steep, with no band moved; a sharp edge
// between flat areas is off only along the edge, by two steps at most; a
// fine noisy texture travels in far fewer bytes than exactly, without
// drifting one way over a patch.
TEST(RenderRules, GradientsExactEdgesTightTextureCheap) {
    const int w = 120, h = 80;
    // A sky from dark blue to pale (steps of every colour along both axes),
    // and a steep radial glow round a sun: both smooth in every 5 x 5.
    std::vector<uint16_t> sky((size_t)w * h), glow((size_t)w * h);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            int r = 4 + (x + 2 * y) / 12, g = 10 + (2 * x + 3 * y) / 10, b = 12 + (x + y) / 14;
            sky[(size_t)y * w + x] = (uint16_t)(r << 11 | g << 5 | b);
            double d = std::sqrt((x - 60.0) * (x - 60.0) + (y - 40.0) * (y - 40.0));
            int v = std::max(0, 31 - (int)(d / 2.2));
            glow[(size_t)y * w + x] = (uint16_t)(v << 11 | std::min(63, 2 * v + 1) << 5 | v / 2);
        }
    for (const auto* px : {&sky, &glow}) {
        Shown s = through_the_client(*px, w, h);
        EXPECT_EQ(s.shown, s.exact) << (px == &sky ? "sky" : "glow");
    }
    // Two flat areas and a vertical edge between them.
    std::vector<uint16_t> edge((size_t)w * h);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) edge[(size_t)y * w + x] = x < 50 ? 0x2945 : x == 50 ? 0x8410 : 0xE71C;
    Shown e = through_the_client(edge, w, h);
    ASSERT_EQ(e.shown.size(), edge.size());
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            size_t i = (size_t)y * w + x;
            if (x < 49 || x > 51) {
                EXPECT_EQ(e.shown[i], edge[i]) << x << "," << y;
            } else {
                EXPECT_LE(pq_compare({edge[i]}, {e.shown[i]}, 1, 1).max_error, 4) << x << "," << y;
            }
        }
    // Gravel: every pixel a few steps off a brownish grey at random.
    std::mt19937 rnd(17);
    std::vector<uint16_t> gravel((size_t)w * h);
    for (uint16_t& p : gravel) {
        int k = (int)(rnd() % 9) - 4;
        int r = 16 + k + (int)(rnd() % 3), g = 30 + 2 * k + (int)(rnd() % 5), b = 11 + k + (int)(rnd() % 3);
        p = (uint16_t)(r << 11 | g << 5 | b);
    }
    Shown t = through_the_client(gravel, w, h);
    PictureQuality q = pq_compare(t.exact, t.shown, w, h);
    EXPECT_LT(t.bytes * 10, t.exact_bytes * 7) << t.bytes << " against " << t.exact_bytes;
    EXPECT_LE(q.max_error, 8);
    // The mean error of any 4 x 4 pixels stays within two 64ths: no blots.
    for (int y = 0; y + 4 <= h; y++)
        for (int x = 0; x + 4 <= w; x++) {
            int sum[3] = {0, 0, 0};
            for (int v = y; v < y + 4; v++)
                for (int u = x; u < x + 4; u++) {
                    uint16_t a = t.exact[(size_t)v * w + u], b = t.shown[(size_t)v * w + u];
                    sum[0] += ((b >> 11) - (a >> 11)) * 2;
                    sum[1] += ((b >> 5) & 63) - ((a >> 5) & 63);
                    sum[2] += ((b & 31) - (a & 31)) * 2;
                }
            for (int c = 0; c < 3; c++) ASSERT_LE(std::abs(sum[c]), 32) << x << "," << y << " colour " << c;
        }
}

// The bits a compressed stream spends: 9 a literal, 17 a match (a byte or
// two and a flag each); flag words padded at the end are not counted.
static size_t lz_bits(const std::vector<uint8_t>& packed) {
    size_t bits = 0;
    for (size_t p = 0; p + 2 <= packed.size();) {
        unsigned flags = packed[p] | packed[p + 1] << 8;
        p += 2;
        for (int bit = 0; bit < 16 && p < packed.size(); bit++, flags >>= 1) {
            bool match = flags & 1;
            p += match ? 2 : 1;
            bits += match ? 17 : 9;
        }
    }
    return bits;
}

static std::vector<uint8_t> lz_roundtrip(const std::vector<uint8_t>& packed, size_t size) {
    std::vector<uint8_t> in = {2, 0xCD, 0xCD, 0xCD};
    in.insert(in.end(), packed.begin(), packed.end());
    std::vector<uint8_t> out(size + 16);
    LONG got = lz_expand(in.data(), (DWORD)in.size(), out.data(), (DWORD)out.size());
    out.resize(got < 0 ? 0 : (size_t)got);
    return out;
}

// The compressor's parse is the cheapest the format allows: a run costs one
// literal and a match per sixteen bytes, and a long match found one byte
// later beats the longest match at hand when that saves a token.
TEST(RenderRules, TheCompressorTakesTheCheapestParse) {
    for (size_t k : {1u, 7u, 40u}) {
        std::vector<uint8_t> run(1 + 16 * k, 0x5A);
        std::vector<uint8_t> packed = lz_compress(run, 0);
        EXPECT_EQ(lz_roundtrip(packed, run.size()), run);
        EXPECT_EQ(lz_bits(packed), 9 + 17 * k);
    }
    // "abc" then "bcd...q": at the second "abcd...q" the longest match is
    // "abc" (then "d...q" from the second piece: two matches), the cheapest
    // way is a literal "a" and "bcd...q" whole. Before it: "abc#", the "bc"
    // again as a two-byte match (a bit less than two literals), and
    // fourteen literals.
    std::string s = "abc#bcdefghijklmnopqabcdefghijklmnopq";
    std::vector<uint8_t> data(s.begin(), s.end());
    std::vector<uint8_t> packed = lz_compress(data, 0);
    EXPECT_EQ(lz_roundtrip(packed, data.size()), data);
    EXPECT_EQ(lz_bits(packed), 4 * 9 + 17 + 14 * 9 + (9 + 17));
    // The literal prefix (an image header: the id the client keys its cache
    // with) stays literal even when it repeats.
    std::vector<uint8_t> header(48, 7);
    packed = lz_compress(header, 16);
    EXPECT_EQ(lz_roundtrip(packed, header.size()), header);
    EXPECT_EQ(lz_bits(packed), 16 * 9 + 2 * 17);
    // Distances reach back 4095 bytes and no further.
    std::mt19937 rnd(3);
    std::vector<uint8_t> far(4095 + 16);
    for (size_t i = 0; i < 4095; i++) far[i] = (uint8_t)rnd();
    for (size_t i = 0; i < 16; i++) far[4095 + i] = far[i];
    packed = lz_compress(far, 0);
    EXPECT_EQ(lz_roundtrip(packed, far.size()), far);
    EXPECT_LE(lz_bits(packed), 4095 * 9 + 17);
    far.insert(far.begin(), 0x11);  // now 4096 back: out of reach
    packed = lz_compress(far, 0);
    EXPECT_EQ(lz_roundtrip(packed, far.size()), far);
}

TEST(RenderRules, CommittedPicturesFollowTheCuts) {
    RenderImages images;
    RenderedPage first;
    first.cut = true;
    first.new_image_ids = {1, 2, 3};
    render_images_commit(images, first);
    EXPECT_EQ(images.ids, (std::vector<uint32_t>{1, 2, 3}));
    RenderedPage update;
    update.new_image_ids = {4, 2};
    render_images_commit(images, update);
    EXPECT_EQ(images.ids, (std::vector<uint32_t>{1, 2, 3, 4}));
    RenderedPage next;
    next.cut = true;
    next.new_image_ids = {9};
    render_images_commit(images, next);
    EXPECT_EQ(images.ids, std::vector<uint32_t>{9});

    // Rows of pictures are kept when the client holds every image of them,
    // replace the same rows kept before, and go with a cut.
    auto rows = [](long top, int r0, int r1, std::vector<uint32_t> ids) {
        RenderHeldRows r;
        r.top = top, r.bottom = top + 100, r.right = 50, r.width = 25, r.height = 50, r.c1 = 25, r.r0 = r0, r.r1 = r1;
        r.pixels.assign((size_t)25 * (r1 - r0), 7);
        r.complete.assign((size_t)(r1 - r0), 1);
        for (uint32_t id : ids) r.parts.push_back(RenderHeldPart{0, 0, 25, r1 - r0, id == 0, 0, id});
        return r;
    };
    RenderedPage shown;
    shown.new_image_ids = {10};
    shown.new_held = {rows(0, 0, 20, {9, 10}), rows(200, 0, 10, {11}), rows(300, 0, 5, {0})};
    render_images_commit(images, shown);
    ASSERT_EQ(images.held.size(), 2u) << "the rows whose image the client lacks are not kept";
    EXPECT_EQ(images.held[0].top, 0);
    EXPECT_EQ(images.held[1].top, 300) << "rows of one colour need no image";
    RenderedPage again;
    again.new_held = {rows(0, 0, 20, {9})};
    render_images_commit(images, again);
    ASSERT_EQ(images.held.size(), 2u);
    EXPECT_EQ(images.held[1].parts.size(), 1u) << "the same rows again replace those kept";
    // About seven screenfuls of pictures are kept, the newest.
    RenderedPage many;
    for (int k = 0; k < 60; k++) {
        RenderHeldRows r = rows(1000 + k, 0, 50, {9});
        r.pixels.assign((size_t)160 * 240 / 2, 0);
        many.new_held.push_back(r);
    }
    render_images_commit(images, many);
    size_t kept = 0;
    for (const RenderHeldRows& r : images.held) kept += r.pixels.size();
    EXPECT_LE(kept, (size_t)1 << 19);
    EXPECT_GE(kept, (size_t)320 * 240 * 6);
    EXPECT_EQ(images.held.back().top, 1059);
    render_images_commit(images, next);
    EXPECT_TRUE(images.held.empty()) << "a cut empties the client's cache";
}

// A picture cut by the screen's edge is scaled on the grid it has whole:
// every row and column whose source lies inside the capture comes out as
// from a capture holding the whole picture, and those rows are flagged
// whole; rows scaled from part of their source are flagged.
TEST(RenderRules, PicturesCutByTheScreenKeepTheirGrid) {
    std::mt19937 rng(5);
    RgbImage big;
    big.width = big.height = 90;
    big.rgb.resize((size_t)90 * 90 * 3);
    for (uint8_t& v : big.rgb) v = (uint8_t)rng();
    // The capture: the part of the page at (20, 30), 50 x 40.
    RgbImage cap;
    cap.width = 50, cap.height = 40;
    for (int y = 0; y < 40; y++)
        cap.rgb.insert(cap.rgb.end(), &big.rgb[((size_t)(30 + y) * 90 + 20) * 3], &big.rgb[((size_t)(30 + y) * 90 + 70) * 3]);
    for (int zoomed = 0; zoomed < 2; zoomed++) {
        // A picture from (-7, -11) to (43, 52) in the capture: cut at its top
        // and bottom; device size as the renderer rounds it.
        double sc = zoomed ? 2.0 / 3.0 : 0.5;
        int x0 = -7, y0 = -11, x1 = 43, y1 = 52;
        int W = rgeo_round(x1, sc) - rgeo_round(x0, sc), H = rgeo_round(y1, sc) - rgeo_round(y0, sc);
        GridCut all{0, 0, W, H};
        std::vector<uint16_t> whole = rimage_resample_grid(big, x0 + 20, y0 + 30, x1 + 20, y1 + 30, W, H, all, nullptr);
        std::vector<uint8_t> complete;
        GridCut cut{0, 3, W, H - 2};
        std::vector<uint16_t> part = rimage_resample_grid(cap, x0, y0, x1, y1, W, H, cut, &complete);
        ASSERT_EQ(part.size(), (size_t)W * (H - 5));
        ASSERT_EQ(complete.size(), (size_t)(H - 5));
        int whole_rows = 0, cut_rows = 0;
        for (int r = 3; r < H - 2; r++) {
            // its source rows, on the picture's grid
            double a = y0 + r * (double)(y1 - y0) / H, b = y0 + (r + 1) * (double)(y1 - y0) / H;
            bool inside = std::floor(a) >= 0 && std::ceil(b) <= cap.height;
            EXPECT_EQ(complete[(size_t)(r - 3)], inside ? 1 : 0) << r;
            if (!inside) {
                cut_rows++;
                continue;
            }
            whole_rows++;
            for (int c = 0; c < W; c++) {
                double l = x0 + c * (double)(x1 - x0) / W, rt = x0 + (c + 1) * (double)(x1 - x0) / W;
                if (std::floor(l) < 0 || std::ceil(rt) > cap.width) continue;
                EXPECT_EQ(part[(size_t)(r - 3) * W + c], whole[(size_t)r * W + c]) << c << ", " << r;
            }
        }
        EXPECT_GT(whole_rows, 10);
        EXPECT_GT(cut_rows, 2);
    }
    // Where the region lies inside the picture, as the whole region scaled.
    EXPECT_EQ(rimage_resample_grid(cap, 4, 6, 44, 36, 20, 15, GridCut{0, 0, 20, 15}, nullptr),
              rimage_resample(cap, 4, 6, 44, 36, 20, 15));
    // A picture on a grid of millions of pixels a side (a box as large as a
    // page may say) is scaled only where the screen cuts it: the capture's
    // corner at the middle of the grid comes out as the capture scaled.
    const int half = 1 << 24;
    EXPECT_EQ(rimage_resample_grid(cap, -2 * half, -2 * half, 2 * half, 2 * half, 2 * half, 2 * half,
                                   GridCut{half, half, half + 20, half + 15}, nullptr),
              rimage_resample(cap, 0, 0, 40, 30, 20, 15));
}

}  // namespace
