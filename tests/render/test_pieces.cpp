// Pictures in parts: a picture cut into one-colour rectangles and pieces
// must look on the handheld exactly as the picture sent whole, cost fewer
// bytes where it has plain areas, and keep within the handheld's 128
// picture slots.
#include <map>
#include <random>
#include <set>

#include "gfx/fb.h"
#include "page/image.h"
#include "render_fixture.h"
#include "tools/pagestream/imageenc.h"

namespace {

class Pieces : public RenderTest {
protected:
    // A rendered state as a new page.
    static RenderInput in_of(const Rendered& r) {
        RenderInput in;
        in.snapshot = &r.snapshot;
        in.capture_png = r.capture;
        in.viewport = r.viewport;
        in.new_page = true;
        in.key = KEY;
        return in;
    }
    // The same page state rendered with every picture sent whole.
    static RenderedPage whole(const Rendered& r) {
        rpieces_enabled = false;
        RenderedPage page = render_page(in_of(r), RenderImages());
        rpieces_enabled = true;
        return page;
    }

    // Renders a page both ways, draws both streams with the client and
    // compares the screens: with exact payloads they must be the same pixel
    // for pixel; with the server's own (lossy where a picture is busy) a
    // piece may differ from the whole picture only as far as two copies
    // within the compressor's tolerance can (two steps of red and blue, four
    // of green, each way). Gives the sizes of the streams as the server
    // sends them.
    void expect_same_screen(const std::string& url, bool zoomed, const std::string& name, size_t* cut_bytes,
                            size_t* whole_bytes, Rendered* out = nullptr) {
        Rendered r;
        ASSERT_TRUE(render(url, zoomed, &r));
        for (bool exact : {true, false}) {
            SCOPED_TRACE(exact ? "exact payloads" : "the server's payloads");
            rpieces_exact_payloads(exact);
            RenderedPage cut = render_page(in_of(r), RenderImages());
            RenderedPage w = whole(r);
            std::vector<uint16_t> split_screen = draw("<CL>" + cut.body + "<ST>", zoomed);
            std::vector<uint16_t> whole_screen = draw("<CL>" + w.body + "<ST>", zoomed);
            int differ = 0, far = 0, first = -1;
            for (size_t i = 0; i < split_screen.size(); i++) {
                uint16_t a = split_screen[i], b = whole_screen[i];
                if (a == b) continue;
                differ++;
                int dr = std::abs((a >> 11) - (b >> 11)), dg = std::abs(((a >> 5) & 63) - ((b >> 5) & 63)),
                    db = std::abs((a & 31) - (b & 31));
                if (exact || dr > 4 || dg > 8 || db > 4) {
                    far++;
                    if (first < 0) first = (int)i;
                }
            }
            EXPECT_EQ(far, 0) << name << ": the cut pictures draw otherwise than whole ones, first at ("
                              << first % 320 << ", " << first / 320 << ")";
            if (far) {
                keep(name + (exact ? "-exact" : ""), split_screen, &r);
                keep(name + (exact ? "-exact-whole" : "-whole"), whole_screen, &r);
            }
            if (!exact) {
                keep(name, split_screen, &r);
                // what differs, differs a little, and only here and there
                EXPECT_LT(differ, 320 * 240 / 50) << name;
                *cut_bytes = cut.body.size();
                *whole_bytes = w.body.size();
                EXPECT_EQ(cut.body, r.page.body) << "the same page renders the same";
            }
        }
        if (out) *out = std::move(r);
    }
};

struct Tags {
    std::vector<uint32_t> payloads;            // IM ids, in order
    std::vector<std::pair<long, long>> sizes;  // IM width and height (page units)
    std::vector<uint32_t> shown;               // IS ids, in order
    std::vector<std::pair<long, long>> at;     // IS places (page units)
    int rectangles = 0;                        // CR tags
};

Tags tags_of(const std::string& stream) {
    Tags t;
    for (size_t i = 0; i + 3 < stream.size(); i++) {
        if (stream[i] != '<') continue;
        if (stream.compare(i, 4, "<IS ") == 0) {
            unsigned f, id, x, y;
            if (sscanf(stream.c_str() + i, "<IS %x %x %x %x", &f, &id, &x, &y) == 4) {
                t.shown.push_back(id);
                t.at.push_back({x, y});
            }
        } else if (stream.compare(i, 4, "<CR ") == 0) {
            t.rectangles++;
        } else if (stream.compare(i, 4, "<IM ") == 0) {
            unsigned v[6];
            if (sscanf(stream.c_str() + i, "<IM %x %x %x %x %x %x>", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) == 6) {
                size_t p = stream.find('>', i) + 1;
                const uint8_t* q = (const uint8_t*)stream.data() + p + 16;
                t.payloads.push_back((uint32_t)q[0] << 24 | q[1] << 16 | q[2] << 8 | q[3]);
                t.sizes.push_back({v[3], v[4]});
                i = p + v[5];
            }
        } else if (stream.compare(i, 4, "<EN ") == 0) {
            unsigned v;
            sscanf(stream.c_str() + i, "<EN %x", &v);
            i = stream.find('>', i) + ((v >> 3) + 7) / 8 * 8;
        }
    }
    return t;
}

std::string site(const std::string& path) { return "file://" CV_SOURCE_DIR "/" + path; }

}  // namespace

// Plain test pictures (four one-colour quadrants, blocks, a tiled
// background): the quadrants become rectangles, and the page draws as before
// in far fewer bytes.
TEST_F(Pieces, PlainPicturesBecomeRectangles) {
    for (bool zoomed : {false, true}) {
        size_t cut = 0, whole_bytes = 0;
        Rendered r;
        expect_same_screen(site("tests/server/pages/images.html"), zoomed, zoomed ? "pieces-images-zoomed" : "pieces-images",
                           &cut, &whole_bytes, &r);
        Tags t = tags_of(r.stream);
        // the quadrants (20, 20 to 220, 140) are four rectangles, no piece
        for (auto [x, y] : t.at) EXPECT_FALSE(x < 220 && y < 140) << std::hex << x << " " << y;
        EXPECT_GE(t.rectangles, 5);
        EXPECT_LT(cut * 2, whole_bytes) << "zoomed " << zoomed;
        EXPECT_EQ(t.payloads, r.page.new_image_ids);
    }
}

// Photographs and drawings of the sample site and of the tests: where they
// are cut, they draw pixel for pixel as whole, zoomed and not, and never cost
// more than whole.
TEST_F(Pieces, CutPicturesDrawAsWhole) {
    const char* pages[] = {"site/www/gallery.html", "site/www/index.html", "tests/render/pages/pictures.html",
                           "tests/render/pages/many.html"};
    for (const char* page : pages)
        for (bool zoomed : {false, true}) {
            SCOPED_TRACE(std::string(page) + (zoomed ? " zoomed" : ""));
            size_t cut = 0, whole_bytes = 0;
            std::string name = std::string("pieces-") + (strrchr(page, '/') + 1);
            name = name.substr(0, name.size() - 5) + (zoomed ? "-zoomed" : "");
            Rendered r;
            expect_same_screen(site(page), zoomed, name, &cut, &whole_bytes, &r);
            EXPECT_LE(cut, whole_bytes);
            // every piece shown has its payload in this answer
            Tags t = tags_of(r.stream);
            std::set<uint32_t> sent(t.payloads.begin(), t.payloads.end());
            EXPECT_EQ(sent.size(), t.payloads.size()) << "a payload travels once";
            for (uint32_t id : t.shown) EXPECT_TRUE(sent.count(id)) << std::hex << id;
        }
}

// Bytes of the IM payloads in a stream.
static size_t payload_bytes(const std::string& stream) {
    size_t total = 0;
    for (size_t at = stream.find("<IM "); at != std::string::npos; at = stream.find("<IM ", at + 1)) {
        size_t end = stream.find('>', at);
        total += std::stoul(stream.substr(stream.rfind(' ', end) + 1, end - stream.rfind(' ', end) - 1), nullptr, 16);
    }
    return total;
}

// A page scrolled so that its pictures are cut by the edge, and pictures in
// an update without a cut: the rows of pictures the client holds are drawn
// again from what it holds (above the screen's edge too), only the rows new
// to it travel, and the screen is as with whole pictures sent afresh.
TEST_F(Pieces, ScrolledAndUpdatedPicturesDrawAsWhole) {
    rpieces_exact_payloads(true);  // so that every way of sending a row draws the same pixels
    for (bool zoomed : {false, true}) {
    SCOPED_TRACE(zoomed ? "zoomed" : "not zoomed");
    Rendered r;
    // Offsets on the grid of whole device pixels, as the server scrolls.
    ASSERT_TRUE(render(site("site/www/gallery.html"), zoomed, &r, 0, zoomed ? 36 : 37));
    RenderImages images;
    render_images_commit(images, r.page);

    // The same state again: nothing new travels, and nothing visible changed.
    Rendered again;
    again.viewport = r.viewport;
    ASSERT_TRUE(rerender("", &again, false, images));
    EXPECT_FALSE(again.page.cut);
    EXPECT_EQ(again.page.signature, r.page.signature);
    EXPECT_TRUE(again.page.new_image_ids.empty());

    // Scrolled on without a cut, twice: the client draws each update as it
    // arrives, holding what the earlier ones sent; it draws as the same state
    // sent afresh would.
    std::vector<uint16_t> s = draw("<CL>" + r.page.body + "<ST>", zoomed);
    const int ys[2] = {zoomed ? 81 : 80, 300};
    std::vector<Rendered> moved(2);
    std::vector<std::vector<uint16_t>> shown;
    for (int k = 0; k < 2; k++) {
        moved[k].viewport = r.viewport;
        ASSERT_TRUE(rerender("window.scrollTo(0, " + std::to_string(ys[k]) + ")", &moved[k], false, images));
        EXPECT_FALSE(moved[k].page.cut);
        shown.push_back(draw_more(moved[k].stream));
        render_images_commit(images, moved[k].page);
        keep(std::string(k ? "pieces-gallery-scrolled-far" : "pieces-gallery-scrolled") + (zoomed ? "-zoomed" : ""), shown.back(),
             &moved[k]);
    }
    for (int k = 0; k < 2; k++) {
        SCOPED_TRACE(ys[k]);
        RenderedPage fresh = render_page(in_of(moved[k]), RenderImages());
        // The same screen, but for the top row at 300: a picture row cut by
        // the screen's edge is scaled from the rows of it the capture holds,
        // and the one the client holds from the last screen was whole.
        std::vector<uint16_t> afresh_screen = draw("<CL>" + fresh.body + "<ST>", zoomed);
        const std::vector<uint16_t>& a = shown[(size_t)k];
        EXPECT_TRUE(std::equal(a.begin() + 320, a.end(), afresh_screen.begin() + 320))
            << "the update draws as the same state sent afresh";
        double row_error = 0;
        for (int x = 0; x < 320; x++) row_error += colour_error(a[(size_t)x], afresh_screen[(size_t)x]) / 320;
        EXPECT_LT(row_error, 3.0);
        // What travels is the rows new to the client (the second row of
        // pictures shows more rows each time, then the first row is cut by
        // the top edge): at least a quarter less than sent afresh.
        size_t update = payload_bytes(moved[k].stream), afresh = payload_bytes(fresh.body);
        EXPECT_LT(update * 4, afresh * 3) << update << " of " << afresh;
    }
    EXPECT_NE(moved[1].stream.find(" -"), std::string::npos) << "rows above the screen drawn from what the client holds";
    }
    rpieces_exact_payloads(false);
}

// Pages with pictures scrolled to random places, on the grid of whole
// device pixels and off it, up and down: every update the client draws as
// it arrives shows what the same state sent afresh shows. Rows may differ
// only at the screen's top and bottom edges, where the client shows a
// picture row it holds whole and a fresh send scales it from the part of
// its source the capture holds.
TEST_F(Pieces, RandomScrollsDrawAsSentAfresh) {
    rpieces_exact_payloads(true);
    std::mt19937 rng(11);
    for (const char* page : {"site/www/photos.html", "site/www/index.html"})
        for (bool zoomed : {false, true}) {
            SCOPED_TRACE(std::string(page) + (zoomed ? " zoomed" : ""));
            Rendered r;
            ASSERT_TRUE(render(site(page), zoomed, &r));
            RenderImages images;
            render_images_commit(images, r.page);
            int grid = zoomed ? 3 : 2, reused = 0;
            std::vector<Rendered> moved(8);
            std::vector<std::vector<uint16_t>> afresh;
            for (int k = 0; k < 8; k++) {
                int y = (int)(rng() % (unsigned)(r.page.scroll.max_y + 1));
                if (k % 3 != 2) y -= y % grid;
                moved[(size_t)k].viewport = r.viewport;
                ASSERT_TRUE(rerender("window.scrollTo(0, " + std::to_string(y) + ")", &moved[(size_t)k], false, images));
                ASSERT_FALSE(moved[(size_t)k].page.cut);
                render_images_commit(images, moved[(size_t)k].page);
                RenderedPage fresh = render_page(in_of(moved[(size_t)k]), RenderImages());
                reused += payload_bytes(moved[(size_t)k].stream) < payload_bytes(fresh.body);
                afresh.push_back(draw("<CL>" + fresh.body + "<ST>", zoomed));
            }
            // The client, as the answers arrive.
            draw("<CL>" + r.page.body + "<ST>", zoomed);
            for (int k = 0; k < 8; k++) {
                SCOPED_TRACE(moved[(size_t)k].page.scroll.y);
                std::vector<uint16_t> shown = draw_more(moved[(size_t)k].stream);
                const std::vector<uint16_t>& want = afresh[(size_t)k];
                int last = rgeo_round(moved[(size_t)k].page.scroll.view_height, zoomed ? 2.0 / 3.0 : 0.5) - 1;
                for (int row = 1; row < 240; row++) {
                    if (row == last) continue;
                    ASSERT_TRUE(std::equal(shown.begin() + row * 320, shown.begin() + (row + 1) * 320,
                                           want.begin() + row * 320))
                        << "row " << row;
                }
            }
            EXPECT_GE(reused, 3) << "rows the client holds are drawn from there";
        }
    rpieces_exact_payloads(false);
}

// A plain area of a picture changes colour: the signature sees it, the
// pieces the client holds do not travel again, and the update draws as the
// new state sent afresh.
TEST_F(Pieces, AChangedPlainAreaIsAChange) {
    Rendered r;
    ASSERT_TRUE(render(page_url("pieces.html"), false, &r));
    Rendered first;
    first.viewport = r.viewport;
    ASSERT_TRUE(rerender("document.querySelectorAll('canvas:not(.big)').forEach(function (c) { c.remove(); })",
                         &first, true, RenderImages()));
    RenderImages images;
    render_images_commit(images, first.page);
    EXPECT_EQ(tags_of(first.stream).payloads.size(), 6u) << "two large pictures of three pieces each";
    Rendered changed;
    changed.viewport = r.viewport;
    ASSERT_TRUE(rerender("var g = document.getElementById('big1').getContext('2d'); g.fillStyle = '#3a7';"
                         "g.fillRect(0, 10, 220, 80);",
                         &changed, false, images));
    EXPECT_FALSE(changed.page.cut);
    EXPECT_NE(changed.page.signature, first.page.signature);
    EXPECT_TRUE(changed.page.new_image_ids.empty());
    std::vector<uint16_t> s = draw_update(first.stream, changed.stream, false);
    keep("pieces-changed", s, &changed);
    EXPECT_EQ(s, draw("<CL>" + render_page(in_of(changed), RenderImages()).body + "<ST>", false));
}

// More pieces than the handheld's 128 slots: pictures travel whole again
// until the page fits, those whose cuts save least per slot first; the page
// still draws as with whole pictures.
TEST_F(Pieces, TheSlotBudgetHolds) {
    for (bool zoomed : {false, true}) {
        SCOPED_TRACE(zoomed ? "zoomed" : "unzoomed");
        size_t cut = 0, whole_bytes = 0;
        Rendered r;
        expect_same_screen(page_url("pieces.html"), zoomed, zoomed ? "pieces-budget-zoomed" : "pieces-budget", &cut,
                           &whole_bytes, &r);
        Tags t = tags_of(r.stream);
        std::set<uint32_t> sent(t.payloads.begin(), t.payloads.end());
        EXPECT_LE(sent.size(), 128u);
        for (uint32_t id : t.shown) EXPECT_TRUE(sent.count(id)) << std::hex << id;
        // one large picture went whole again, the other is in pieces
        int whole_large = 0, stripes = 0;
        for (auto [w, h] : t.sizes) {
            if (w < 210) continue;
            if (h >= 198) whole_large++;
            else stripes++;
        }
        EXPECT_EQ(whole_large, 1);
        EXPECT_EQ(stripes, 3);
        EXPECT_LT(cut, whole_bytes);
    }
}

// ---- The plan on its own ----

namespace {

// A picture of noise with one-colour rectangles painted over it.
std::vector<uint16_t> noisy_picture(std::mt19937& rnd, int w, int h, int flats) {
    std::vector<uint16_t> px((size_t)w * h);
    for (uint16_t& p : px) p = (uint16_t)rnd();
    for (int k = 0; k < flats; k++) {
        int x0 = (int)(rnd() % (unsigned)w), y0 = (int)(rnd() % (unsigned)h);
        int x1 = std::min(w, x0 + 8 + (int)(rnd() % (unsigned)w)), y1 = std::min(h, y0 + 8 + (int)(rnd() % (unsigned)h));
        uint16_t c = (uint16_t)rnd();
        for (int y = y0; y < y1; y++)
            for (int x = x0; x < x1; x++) px[(size_t)y * w + x] = c;
    }
    return px;
}

// Checks that a plan's parts cover the picture exactly once and give back
// its pixels: rectangles in their pixels' colour, pieces whose payloads the
// client decodes to their pixels (exact payloads) under their ids.
void expect_covers(const PicturePlan& plan, const std::vector<uint16_t>& px, int w, int h) {
    std::vector<int> covered(px.size(), 0);
    std::set<uint32_t> ids;
    for (const PicturePart& part : plan.parts) {
        ASSERT_TRUE(part.x0 >= 0 && part.y0 >= 0 && part.x1 <= w && part.y1 <= h && part.x1 > part.x0 &&
                    part.y1 > part.y0);
        int pw = part.x1 - part.x0;
        ImageRecord* rec = nullptr;
        if (!part.flat) {
            ASSERT_FALSE(part.payload.empty());
            rec = image_decode(part.payload.data(), (DWORD)part.payload.size());
            ASSERT_NE(rec, nullptr);
            EXPECT_EQ(rec->width, pw);
            EXPECT_EQ(rec->height, part.y1 - part.y0);
            EXPECT_EQ(rec->id, part.id);
            ids.insert(part.id);
        } else {
            Colour c = rpieces_colour(part.colour);
            EXPECT_EQ(gfx_rgb565((BYTE)c.r, (BYTE)c.g, (BYTE)c.b), part.colour);
        }
        for (int y = part.y0; y < part.y1; y++)
            for (int x = part.x0; x < part.x1; x++) {
                size_t i = (size_t)y * w + x;
                covered[i]++;
                uint16_t got = part.flat ? part.colour : rec->pixels[(size_t)(y - part.y0) * pw + (x - part.x0)];
                if (got != px[i]) {
                    ADD_FAILURE() << "pixel " << x << ", " << y << " differs";
                    if (rec) image_free(rec);
                    return;
                }
            }
        if (rec) image_free(rec);
    }
    for (size_t i = 0; i < covered.size(); i++)
        ASSERT_EQ(covered[i], 1) << "pixel " << i % w << ", " << i / w << " covered " << covered[i] << " times";
    EXPECT_LE(plan.bytes, plan.whole_bytes);
}

// Paints a picture's draws in their order, fills in their colour and pieces
// with their decoded pixels, and checks the result is the picture; gives the
// number of fills drawn.
int expect_draws_paint(const PicturePlan& plan, const std::vector<uint16_t>& px, int w, int h) {
    std::vector<PictureDraw> draws = rpieces_draws(plan.parts);
    std::vector<uint32_t> canvas(px.size(), 0x10000);  // no colour yet
    std::vector<int> pieces_drawn(plan.parts.size(), 0);
    int fills = 0;
    for (size_t k = 0; k < draws.size(); k++) {
        const PictureDraw& d = draws[k];
        EXPECT_TRUE(d.x0 >= 0 && d.y0 >= 0 && d.x1 <= w && d.y1 <= h && d.x1 > d.x0 && d.y1 > d.y0);
        const PicturePart* part = d.part < 0 ? nullptr : &plan.parts[(size_t)d.part];
        if (part) pieces_drawn[(size_t)d.part]++;
        if (part && !part->flat) {
            EXPECT_TRUE(d.x0 == part->x0 && d.y0 == part->y0 && d.x1 == part->x1 && d.y1 == part->y1);
            ImageRecord* rec = image_decode(part->payload.data(), (DWORD)part->payload.size());
            if (!rec) {
                ADD_FAILURE() << "a piece does not decode";
                continue;
            }
            for (int y = d.y0; y < d.y1; y++)
                for (int x = d.x0; x < d.x1; x++)
                    canvas[(size_t)y * w + x] = rec->pixels[(size_t)(y - d.y0) * (d.x1 - d.x0) + (x - d.x0)];
            image_free(rec);
            continue;
        }
        fills++;
        // a joined fill goes before everything it lies under
        if (!part) {
            for (size_t j = 0; j < k; j++) {
                EXPECT_FALSE(draws[j].x0 < d.x1 && d.x0 < draws[j].x1 && draws[j].y0 < d.y1 && d.y0 < draws[j].y1)
                    << "a joined fill overlaps a draw before it";
            }
        }
        for (int y = d.y0; y < d.y1; y++)
            for (int x = d.x0; x < d.x1; x++) canvas[(size_t)y * w + x] = d.colour;
    }
    for (size_t k = 0; k < plan.parts.size(); k++)
        EXPECT_EQ(pieces_drawn[k], plan.parts[k].flat ? pieces_drawn[k] : 1) << "each piece is drawn once";
    for (size_t i = 0; i < px.size(); i++)
        if (canvas[i] != px[i]) {
            ADD_FAILURE() << "pixel " << i % w << ", " << i / w << " is drawn otherwise";
            break;
        }
    return fills;
}

PicturePart flat_part(int x0, int y0, int x1, int y1, uint16_t colour) {
    PicturePart p;
    p.x0 = x0, p.y0 = y0, p.x1 = x1, p.y1 = y1;
    p.flat = true;
    p.colour = colour;
    return p;
}

}  // namespace

// Rows of sky in two colours by turns: the fills of the colour that joins
// over the others are drawn as one, first, and the picture is drawn as its
// parts are. Fills with a piece between them stay apart, and two joined
// fills never overlap.
TEST(PiecesPlan, AlikeFillsAreDrawnAsOneUnderTheFillsBetween) {
    const int w = 40, h = 12;
    const uint16_t A = 0xF800, B = 0x07E0, C = 0x001F;
    std::vector<uint16_t> px((size_t)w * h);
    auto paint = [&](const PicturePart& p) {
        for (int y = p.y0; y < p.y1; y++)
            for (int x = p.x0; x < p.x1; x++) px[(size_t)y * w + x] = p.colour;
    };
    PicturePlan plan;
    // rows: A A B A C A | piece | A B A B
    int rows[] = {0, 2, 3, 4, 5, 6};
    uint16_t colours[] = {A, B, A, C, A};
    for (int k = 0; k < 5; k++) plan.parts.push_back(flat_part(0, rows[k], w, rows[k + 1], colours[k]));
    PicturePart piece;
    piece.x0 = 0, piece.y0 = 6, piece.x1 = w, piece.y1 = 8;
    std::vector<uint16_t> noise((size_t)w * 2);
    for (size_t i = 0; i < noise.size(); i++) noise[i] = (uint16_t)(i * 7919);
    piece.id = 77;
    piece.payload = ie_payload(ie_expanded(noise, w, 2, piece.id, false), IMAGE_COMPRESSED);
    for (int y = 6; y < 8; y++)
        for (int x = 0; x < w; x++) px[(size_t)y * w + x] = noise[(size_t)(y - 6) * w + x];
    plan.parts.push_back(piece);
    uint16_t below[] = {A, B, A, B};
    for (int k = 0; k < 4; k++) plan.parts.push_back(flat_part(0, 8 + k, w, 9 + k, below[k]));
    for (const PicturePart& p : plan.parts)
        if (p.flat) paint(p);

    std::vector<PictureDraw> draws = rpieces_draws(plan.parts);
    ASSERT_FALSE(draws.empty());
    // the A rows above the piece as one fill, drawn first
    EXPECT_EQ(draws[0].part, -1);
    EXPECT_EQ(draws[0].colour, A);
    EXPECT_EQ(draws[0].y0, 0);
    EXPECT_EQ(draws[0].y1, 6);
    int joined = 0;
    for (const PictureDraw& d : draws) {
        if (d.part >= 0) continue;
        joined++;
        EXPECT_FALSE(d.y0 < 8 && d.y1 > 6) << "no fill joins over the piece";
    }
    // below the piece, either colour may join, not both
    EXPECT_EQ(joined, 2);
    // A joined, B and C above; one colour joined and two rows of the other below
    EXPECT_EQ(expect_draws_paint(plan, px, w, h), 3 + 3);

    // Fills beside each other in a column, with a fill of another colour
    // only partly between them: the joining box would reach over a pixel no
    // fill covers, so they stay apart.
    PicturePlan apart;
    apart.parts.push_back(flat_part(0, 0, 10, 4, A));
    apart.parts.push_back(flat_part(0, 4, 5, 6, B));
    apart.parts.push_back(flat_part(0, 6, 10, 10, A));
    PicturePart side = piece;
    side.x0 = 5, side.y0 = 4, side.x1 = 10, side.y1 = 6, side.id = 78;
    std::vector<uint16_t> bit(10, 0x1234);
    side.payload = ie_payload(ie_expanded(bit, 5, 2, side.id, false), IMAGE_COMPRESSED);
    apart.parts.push_back(side);
    for (const PictureDraw& d : rpieces_draws(apart.parts)) EXPECT_GE(d.part, 0);

    // Rows in two colours by turns: up to 64 fills they join, beyond that
    // (a fine pattern, where joining would look at too many pairs) they are
    // drawn as cut; either way the picture is drawn as its parts are.
    for (int rows : {64, 65}) {
        PicturePlan turns;
        std::vector<uint16_t> striped((size_t)8 * rows);
        for (int y = 0; y < rows; y++) {
            turns.parts.push_back(flat_part(0, y, 8, y + 1, y % 2 ? B : A));
            std::fill(&striped[(size_t)y * 8], &striped[(size_t)y * 8 + 8], y % 2 ? B : A);
        }
        int fills = expect_draws_paint(turns, striped, 8, rows);
        EXPECT_EQ(fills, rows <= 64 ? 1 + rows / 2 : rows) << rows << " rows";
    }
}

// Pictures of noise with plain rectangles of every size over them: the parts
// always cover the picture once and give its pixels back, zoomed and not;
// the plan is never dearer than the whole picture; the same pixels give the
// same plan.
TEST(PiecesPlan, PartsCoverThePictureOnceWithItsPixels) {
    rpieces_exact_payloads(true);
    std::mt19937 rnd(11);
    int cut = 0;
    for (int k = 0; k < 40; k++) {
        int w = 4 + (int)(rnd() % 120), h = 4 + (int)(rnd() % 90);
        std::vector<uint16_t> px = noisy_picture(rnd, w, h, (int)(rnd() % 6));
        bool zoomed = k % 2;
        PicturePlan plan = rpieces_plan(px, w, h, zoomed);
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        expect_covers(plan, px, w, h);
        expect_draws_paint(plan, px, w, h);
        cut += plan.parts.size() > 1;
        PicturePlan again = rpieces_plan(px, w, h, zoomed);
        ASSERT_EQ(again.parts.size(), plan.parts.size());
        for (size_t i = 0; i < plan.parts.size(); i++) EXPECT_EQ(again.parts[i].id, plan.parts[i].id);
    }
    EXPECT_GT(cut, 5) << "pictures with large plain rectangles are cut";
    rpieces_exact_payloads(false);
}

// A one-colour picture is one rectangle; a small plain patch in noise is
// not worth a cut; a wide plain band is, and the band is one rectangle.
TEST(PiecesPlan, CutsOnlyWhereTheStreamShrinks) {
    std::mt19937 rnd(5);
    std::vector<uint16_t> one(60 * 40, 0x1234);
    PicturePlan plan = rpieces_plan(one, 60, 40, false);
    ASSERT_EQ(plan.parts.size(), 1u);
    EXPECT_TRUE(plan.parts[0].flat);
    EXPECT_EQ(plan.parts[0].colour, 0x1234);

    std::vector<uint16_t> px(80u * 60);
    for (uint16_t& p : px) p = (uint16_t)rnd();
    for (int y = 20; y < 30; y++)
        for (int x = 30; x < 40; x++) px[(size_t)y * 80 + x] = 0x4321;
    plan = rpieces_plan(px, 80, 60, false);
    EXPECT_EQ(plan.parts.size(), 1u) << "a 10 x 10 patch costs less in its picture than cut out";

    for (int y = 20; y < 50; y++)
        for (int x = 0; x < 80; x++) px[(size_t)y * 80 + x] = 0x4321;
    plan = rpieces_plan(px, 80, 60, false);
    ASSERT_EQ(plan.parts.size(), 3u);
    int flats = 0;
    for (const PicturePart& p : plan.parts)
        if (p.flat) {
            flats++;
            EXPECT_EQ(p.x0, 0);
            EXPECT_EQ(p.x1, 80);
            EXPECT_EQ(p.y0, 20);
            EXPECT_EQ(p.y1, 50);
        }
    EXPECT_EQ(flats, 1);
    EXPECT_LT(plan.bytes + 400, plan.whole_bytes);
}

// A fine pattern of plain patches between noisy lines would need a piece
// for nearly every patch: it travels whole rather than fill the handheld's
// cache for a few bytes.
TEST(PiecesPlan, APatternOfPatchesTravelsWhole) {
    int w = 320, h = 240, sq = 24;
    std::mt19937 rnd(3);
    std::vector<uint16_t> px((size_t)w * h);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            px[(size_t)y * w + x] = x % sq == 0 || y % sq == 0 ? (uint16_t)rnd()
                                                               : (uint16_t)(((x / sq) * 7 + (y / sq) * 13) * 0x41);
    PicturePlan plan = rpieces_plan(px, w, h, false);
    size_t pieces = 0;
    for (const PicturePart& p : plan.parts) pieces += !p.flat;
    EXPECT_LE(pieces, 16u);
    EXPECT_LE(plan.bytes, plan.whole_bytes);
}

// Every RGB565 colour has a BC colour the client turns back into it.
TEST(PiecesPlan, RectangleColoursComeBackExactly) {
    for (uint32_t v = 0; v < 0x10000; v++) {
        Colour c = rpieces_colour((uint16_t)v);
        ASSERT_EQ(gfx_rgb565((BYTE)c.r, (BYTE)c.g, (BYTE)c.b), v);
    }
    Colour white = rpieces_colour(0xFFFF);
    EXPECT_EQ(white.r + white.g + white.b, 3 * 255);
}

// The dunes at sunset (the site's JPEG drawing at device size): plain rows
// of sky are cut off its top; the strip below the hills, planned alone as
// pieces beside a plain patch, costs less travelling with the hills it can
// copy from, so the rest is one piece.
TEST(PiecesPlan, AStripBelowTravelsWithThePieceAboveIt) {
    RasterImage img;
    std::string error;
    ASSERT_TRUE(ie_load_png(CV_SOURCE_DIR "/tests/render/pictures/site-dunes.png", &img, &error)) << error;
    std::vector<uint16_t> px = ie_to_rgb565(img, false);
    rpieces_exact_payloads(true);  // so that the pieces give back its pixels
    for (bool zoomed : {false, true}) {
        PicturePlan plan = rpieces_plan(px, img.width, img.height, zoomed);
        expect_covers(plan, px, img.width, img.height);
        int pieces = 0, flats = 0;
        for (const PicturePart& p : plan.parts) {
            pieces += !p.flat;
            flats += p.flat;
            if (!p.flat) {
                EXPECT_EQ(p.y1, img.height) << "the strip below is in the piece";
            }
        }
        EXPECT_EQ(pieces, 1);
        EXPECT_GE(flats, 3);
        EXPECT_LT(plan.bytes + 200, plan.whole_bytes);
        // its rows of sky in turns of colour: fewer fills drawn than cut
        EXPECT_LT(expect_draws_paint(plan, px, img.width, img.height), flats);
    }
    rpieces_exact_payloads(false);
}
