// Real pages through the whole path: the engine lays them out, the renderer
// writes the page stream, the client's interpreter draws it; what the client
// shows is compared with what the engine laid out.
#include <algorithm>
#include <map>
#include <set>

#include "render_fixture.h"

namespace {

using Pages = RenderTest;

double scale_of(bool zoomed) { return zoomed ? 2.0 / 3.0 : 0.5; }

long rgb_of(const std::string& css) {
    Colour c = rsnap_colour(css);
    return (long)c.r << 16 | c.g << 8 | c.b;
}

// Completed with a list of element ids and ")": the ranges of those
// elements' contents, for RenderTest::boxes_of.
const std::string TEXT_OF = "((ids)=>ids.map(id=>{const r=document.createRange();"
                            "r.selectNodeContents(document.getElementById(id));return r;}))(";

// The engine's word as the client must show it: characters mapped to those
// its font cache holds.
std::string mapped_word(const std::string& w) {
    std::u16string m;
    for (size_t i = 0; i < w.size();) {
        unsigned char b = (unsigned char)w[i];
        size_t len = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        uint32_t cp = len == 1 ? b : b & (0xFF >> (len + 1));
        for (size_t k = 1; k < len && i + k < w.size(); k++) cp = cp << 6 | ((unsigned char)w[i + k] & 0x3F);
        i += len;
        uint16_t c = rtext_map_char(cp);
        if (c) m += (char16_t)c;
    }
    return rtext_utf8(m, 0, m.size());
}

// Every visible word of the engine has a client word of the same text that
// starts within one device pixel, on a baseline within one device pixel, in
// its colour. Returns the number of words checked.
int expect_words_in_place(const Rendered& r, const std::vector<ClientWord>& client, int* far_off) {
    double s = scale_of(r.viewport.zoomed);
    int checked = 0;
    *far_off = 0;
    int dev_w = rgeo_round(r.page.scroll.view_width, s), dev_h = rgeo_round(r.page.scroll.view_height, s);
    for (const EngineWord& w : r.words) {
        double x = w.left * s, baseline = (w.top + std::round(1854.0 / 2048.0 * w.size)) * s;
        // words cut by the edges of the content area are partly clipped
        if (w.left < 0 || x > dev_w - 8 || w.top < 0 || baseline > dev_h) continue;
        std::string text = mapped_word(w.text);
        const ClientWord* best = nullptr;
        double best_d = 1e9;
        for (const ClientWord& c : client) {
            // a long or spaced-out word may be sent in pieces: its first piece starts it
            if (c.text.empty() || text.compare(0, c.text.size(), c.text) != 0) continue;
            double d = std::fabs(c.pen - x) + std::fabs(c.baseline - baseline);
            if (d < best_d) best_d = d, best = &c;
        }
        checked++;
        if (!best) {
            ADD_FAILURE() << "no client word \"" << text << "\" for the engine's at " << x << ", " << baseline;
            (*far_off)++;
            continue;
        }
        // The engine laid the word out in one of the handheld's sizes (16 to
        // 26 units, 16 to 20 zoomed), which the client draws at its pixel size.
        bool zoomed = r.viewport.zoomed;
        int want_px = zoomed ? (int)std::lround(w.size * 2.0 / 3.0) : (int)std::lround(w.size / 2);
        bool size_ok = w.size >= 16 && w.size <= (zoomed ? 20 : 26) && best->px == want_px;
        if (!size_ok)
            ADD_FAILURE() << "\"" << text << "\": engine size " << w.size << ", client " << best->px << " px";
        bool ok = std::fabs(best->pen - x) <= 1.0 && std::fabs(best->baseline - baseline) <= 1.0 &&
                  best->colour == rgb_of(w.colour) && size_ok;
        if (!ok) {
            (*far_off)++;
            ADD_FAILURE() << "\"" << text << "\": engine " << x << ", " << baseline << " " << w.colour << "; client "
                          << best->pen << ", " << best->baseline << " colour " << std::hex << best->colour << std::dec;
        }
    }
    return checked;
}

// Runs on one baseline: none starts before the one to its left has ended.
int overdrawn_runs(const std::vector<ClientRun>& runs) {
    std::map<int, std::vector<const ClientRun*>> rows;
    for (const ClientRun& r : runs) rows[r.baseline].push_back(&r);
    int bad = 0;
    for (auto& [b, row] : rows) {
        std::sort(row.begin(), row.end(), [](const ClientRun* a, const ClientRun* c) { return a->pen < c->pen; });
        for (size_t i = 1; i < row.size(); i++) {
            // trailing spaces draw nothing
            std::string t = row[i - 1]->text;
            if (row[i]->pen < row[i - 1]->end && row[i]->pen >= row[i - 1]->pen) {
                bad++;
                ADD_FAILURE() << "run \"" << t << "\" (" << row[i - 1]->pen << " to " << row[i - 1]->end
                              << ") overdraws \"" << row[i]->text << "\" at " << row[i]->pen;
            }
        }
    }
    return bad;
}

// The client's screen against the engine's capture (which shows no text),
// leaving out the text the client drew, the controls and the scroll bars.
// Inside flat areas of the capture (a pixel and its eight neighbours alike)
// the client must show the same colour; at edges, where the capture blends
// a line into its neighbours, one of the neighbours' colours.
struct Likeness {
    int compared = 0;  // pixels compared
    int exact = 0;     // equal RGB565
    int near = 0;      // within `tolerance` per channel of the engine's pixel or one of its neighbours
    int flat = 0;      // pixels of flat areas
    int flat_same = 0; // of those, within `tolerance` of the engine's pixel
    double share_exact() const { return compared ? (double)exact / compared : 0; }
    double share_near() const { return compared ? (double)near / compared : 0; }
    double share_flat() const { return flat ? (double)flat_same / flat : 0; }
};

// Pixels the client draws itself: its text runs and controls.
std::vector<char> client_drawn(const std::vector<ClientRun>& runs) {
    std::vector<char> mask(320 * 240, 0);
    auto cover = [&](int x0, int y0, int x1, int y1) {
        for (int y = std::max(0, y0); y < std::min(240, y1); y++)
            for (int x = std::max(0, x0); x < std::min(320, x1); x++) mask[(size_t)y * 320 + x] = 1;
    };
    for (const ClientRun& t : runs) cover(t.pen - 2, t.baseline - t.px - 1, t.end + 2, t.baseline + t.px / 2 + 2);
    for (TextBox* t = page_text_controls; t; t = t->next)
        cover(t->rect.left - 3, t->rect.top - 3, t->rect.right + 4, t->rect.bottom + 4);
    for (ButtonControl* b = page_buttons; b; b = b->next)
        cover(b->rect.left - 1, b->rect.top - 1, b->rect.right + 2, b->rect.bottom + 2);
    for (ListControl* l = page_list_controls; l; l = l->next) {
        cover(l->rect.left - 3, l->rect.top - 3, l->rect.right + 16, l->rect.bottom + 4);
        for (int i = 0; i < l->item_count; i++) {
            const Rect& q = l->items[i]->rect;
            cover(q.left - 2, q.top - 2, q.right + 3, q.bottom + 3);
        }
    }
    return mask;
}

Likeness compare_screens(const Rendered& r, const std::vector<uint16_t>& screen, const std::vector<ClientRun>& runs,
                         int tolerance = 8, std::vector<uint16_t>* diff = nullptr) {
    if (diff) diff->assign(320 * 240, 0x8410);
    std::vector<char> mask = client_drawn(runs);
    double s = scale_of(r.viewport.zoomed);
    int dev_w = rgeo_round(r.page.scroll.view_width, s), dev_h = rgeo_round(r.page.scroll.view_height, s);
    auto close = [tolerance](uint16_t a, uint16_t b) {
        int dr = std::abs((a >> 11) - (b >> 11)) * 8, dg = std::abs(((a >> 5) & 63) - ((b >> 5) & 63)) * 4,
            db = std::abs((a & 31) - (b & 31)) * 8;
        return dr <= tolerance && dg <= tolerance && db <= tolerance;
    };
    Likeness l;
    const DeviceCapture& e = r.engine_view;
    for (int y = 0; y < std::min(dev_h, e.height); y++)
        for (int x = 0; x < std::min(dev_w, e.width); x++) {
            if (mask[(size_t)y * 320 + x]) continue;
            uint16_t c = screen[(size_t)y * 320 + x];
            if (diff) (*diff)[(size_t)y * 320 + x] = (uint16_t)((c >> 1) & 0x7BEF);
            l.compared++;
            if (c == e.pixels[(size_t)y * e.width + x]) l.exact++;
            bool near = false;
            for (int dy = -1; dy <= 1 && !near; dy++)
                for (int dx = -1; dx <= 1 && !near; dx++) {
                    int xx = x + dx, yy = y + dy;
                    if (xx >= 0 && yy >= 0 && xx < e.width && yy < e.height)
                        near = close(c, e.pixels[(size_t)yy * e.width + xx]);
                }
            if (near) l.near++;
            bool is_flat = true;
            uint16_t ec = e.pixels[(size_t)y * e.width + x];
            for (int dy = -1; dy <= 1 && is_flat; dy++)
                for (int dx = -1; dx <= 1 && is_flat; dx++) {
                    int xx = x + dx, yy = y + dy;
                    if (xx >= 0 && yy >= 0 && xx < e.width && yy < e.height)
                        is_flat = close(ec, e.pixels[(size_t)yy * e.width + xx]);
                }
            if (is_flat) {
                l.flat++;
                if (close(c, ec)) l.flat_same++;
                else if (diff) (*diff)[(size_t)y * 320 + x] = 0xF800;
            } else if (!near && diff) {
                (*diff)[(size_t)y * 320 + x] = 0xFFE0;
            }
        }
    return l;
}

}  // namespace

TEST_F(Pages, BoxesBordersAndBackgroundsMatchTheEngine) {
    for (bool zoomed : {false, true}) {
        SCOPED_TRACE(zoomed ? "zoomed" : "not zoomed");
        Rendered r;
        ASSERT_TRUE(render(page_url("boxes.html"), zoomed, &r));
        std::vector<uint16_t> s = draw(r.stream, zoomed);
        keep(zoomed ? "boxes-zoomed" : "boxes", s, &r);
        std::vector<ClientWord> words;
        std::vector<ClientRun> runs;
        client_text(r.stream, zoomed, &words, &runs);
        std::vector<uint16_t> diff;
        Likeness l = compare_screens(r, s, runs, 8, &diff);
        keep(zoomed ? "boxes-zoomed-diff" : "boxes-diff", diff, &r);
        EXPECT_GT(l.compared, 40000);
        EXPECT_GT(l.share_flat(), 0.999) << l.flat - l.flat_same << " of " << l.flat << " pixels differ";
        EXPECT_GT(l.share_near(), 0.98);
        int far_off = 0;
        EXPECT_GT(expect_words_in_place(r, words, &far_off), 20);
        EXPECT_EQ(far_off, 0);
    }
}

double colour_error(uint16_t a, uint16_t b) {
    int dr = std::abs((a >> 11) - (b >> 11)) * 255 / 31, dg = std::abs(((a >> 5) & 63) - ((b >> 5) & 63)) * 255 / 63,
        db = std::abs((a & 31) - (b & 31)) * 255 / 31;
    return (dr + dg + db) / 3.0;
}

// Tags of a kind in a stream (payload bytes passed over).
int count_tags(const std::string& stream, const char* code) {
    int n = 0;
    for (size_t i = 0; i + 3 < stream.size(); i++) {
        if (stream[i] != '<') continue;
        if (stream.compare(i + 1, 2, "IM") == 0) {
            size_t p = i + 3;
            long v[6];
            for (long& x : v) {
                while (stream[p] == ' ') p++;
                x = strtol(stream.c_str() + p, nullptr, 16);
                while (isxdigit((unsigned char)stream[p])) p++;
            }
            if (strcmp(code, "IM") == 0) n++;
            i = p + (size_t)v[5];
            continue;
        }
        if (stream.compare(i + 1, 2, "EN") == 0) {
            long v = strtol(stream.c_str() + i + 4, nullptr, 16);
            if (strcmp(code, "EN") == 0) n++;
            i = stream.find('>', i) + (((size_t)(v >> 3) + 7) & ~(size_t)7);
            continue;
        }
        if (stream.compare(i + 1, 2, code) == 0) n++;
    }
    return n;
}

// Pictures are scaled from their own corner, which may lie a CSS pixel off
// the capture's grid of device pixels: the client's screen in [x0, x1) x
// [y0, y1) (less the pixels of `mask`) is compared with the capture scaled on
// each such grid, by mean error; the least is returned, `compared` gets the
// pixels it covered.
double grid_error(const Rendered& r, const std::vector<uint16_t>& s, const std::vector<char>& mask, int x0, int y0,
                  int x1, int y1, int* compared) {
    bool zoomed = r.viewport.zoomed;
    double sc = scale_of(zoomed), error = 1e9;
    *compared = 0;
    const RgbImage& full = r.engine_full;
    for (int oy = 0; oy < (zoomed ? 3 : 2); oy++)
        for (int ox = 0; ox < (zoomed ? 3 : 2); ox++) {
            DeviceCapture v;
            v.width = (int)((full.width - ox) * sc);
            v.height = (int)((full.height - oy) * sc);
            v.pixels = rimage_resample(full, ox, oy, ox + (int)std::lround(v.width / sc),
                                       oy + (int)std::lround(v.height / sc), v.width, v.height);
            for (int sy = -1; sy <= 1; sy++)
                for (int sx = -1; sx <= 1; sx++) {
                    double e = 0;
                    int n = 0;
                    for (int y = y0; y < y1; y++)
                        for (int x = x0; x < x1; x++) {
                            int vx = x + sx, vy = y + sy;
                            if ((!mask.empty() && mask[(size_t)y * 320 + x]) || vx < 0 || vy < 0 || vx >= v.width ||
                                vy >= v.height)
                                continue;
                            n++;
                            e += colour_error(s[(size_t)y * 320 + x], v.pixels[(size_t)vy * v.width + vx]);
                        }
                    if (n > 0 && e / n < error) error = e / n, *compared = n;
                }
        }
    return error;
}

TEST_F(Pages, PicturesShowTheEnginesPixels) {
    for (bool zoomed : {false, true}) {
        SCOPED_TRACE(zoomed ? "zoomed" : "not zoomed");
        Rendered r;
        ASSERT_TRUE(render(page_url("pictures.html"), zoomed, &r));
        ASSERT_FALSE(r.capture.empty()) << "a page with pictures is captured";
        std::vector<uint16_t> s = draw(r.stream, zoomed);
        keep(zoomed ? "pictures-zoomed" : "pictures", s, &r);
        double sc = scale_of(zoomed);
        std::vector<ClientWord> words;
        std::vector<ClientRun> runs;
        client_text(r.stream, zoomed, &words, &runs);
        std::vector<char> mask = client_drawn(runs);
        int shown = 0;
        for (const EngineBox& b : r.pictures) {
            int x0, y0, x1, y1;
            device_box(b, sc, &x0, &y0, &x1, &y1);
            x1 = std::min(x1, rgeo_round(r.page.scroll.view_width, sc));
            y1 = std::min(y1, rgeo_round(r.page.scroll.view_height, sc));
            if (x1 - x0 < 4 || y1 - y0 < 4) continue;
            // the inside of the picture, clear of its edges
            int all = 0;
            double error = grid_error(r, s, mask, x0 + 1, y0 + 1, x1 - 1, y1 - 1, &all);
            if (all < 16) continue;
            shown++;
            EXPECT_LT(error, 4.0) << b.tag << " at " << x0 << ", " << y0;
        }
        EXPECT_GE(shown, 7);
        // The logo shown twice travels once.
        EXPECT_LT(count_tags(r.stream, "IM"), count_tags(r.stream, "IS"));
        EXPECT_EQ((size_t)count_tags(r.stream, "IM"), r.page.new_image_ids.size());
    }
}

TEST_F(Pages, TextWordsStartWhereTheEngineLaidThemOut) {
    for (bool zoomed : {false, true}) {
        SCOPED_TRACE(zoomed ? "zoomed" : "not zoomed");
        Rendered r;
        ASSERT_TRUE(render(page_url("text.html"), zoomed, &r));
        std::vector<ClientWord> words;
        std::vector<ClientRun> runs;
        client_text(r.stream, zoomed, &words, &runs);
        int far_off = 0;
        int checked = expect_words_in_place(r, words, &far_off);
        EXPECT_GT(checked, 80);
        EXPECT_EQ(far_off, 0);
        EXPECT_EQ(overdrawn_runs(runs), 0);
        std::vector<uint16_t> s = draw(r.stream, zoomed);
        keep(zoomed ? "text-zoomed" : "text", s, &r);
        // Links and underlined words have a line of their colour on the row
        // of the baseline, across the word; struck words one through their
        // middle; plain words neither.
        auto line_share = [&](const ClientWord& w, int dy) {
            std::u16string t(w.text.begin(), w.text.end());
            int err = 0, width = text_measure(text_engine, (const WCHAR*)t.c_str(), (uint16_t)t.size(), 0,
                                              (int16_t)w.px, &err);
            uint16_t c = (uint16_t)(((w.colour >> 19) & 31) << 11 | ((w.colour >> 10) & 63) << 5 | ((w.colour >> 3) & 31));
            double best = 0;
            for (int y = w.baseline + dy - 1; y <= w.baseline + dy + 1; y++) {
                int on = 0;
                for (int x = w.pen; x < w.pen + width; x++) on += y >= 0 && y < 240 && x < 320 && s[(size_t)y * 320 + x] == c;
                best = std::max(best, (double)on / width);
            }
            return best;
        };
        std::map<std::string, int> seen;
        for (const ClientWord& w : words) {
            if (w.text != "link" && w.text != "underlined" && w.text != "struck" && w.text != "Fourteen") continue;
            seen[w.text]++;
            SCOPED_TRACE(w.text);
            int mid = -(w.px * 3 / 10);  // about half the height of a small letter above the baseline
            if (w.text == "struck") {
                EXPECT_GT(line_share(w, mid), 0.9);
                EXPECT_LT(line_share(w, 0), 0.5);
            } else if (w.text == "Fourteen") {
                EXPECT_LT(line_share(w, 0), 0.5);
            } else {
                EXPECT_GT(line_share(w, 0), 0.9);
            }
        }
        EXPECT_EQ(seen.size(), 4u);
    }
}

// Text set in columns reads in one column, every word where the engine put
// it; a picture with a thin border keeps that border on all four sides.
TEST_F(Pages, ColumnsAndFramedPicturesDrawAsTheEngineLaidThemOut) {
    for (bool zoomed : {false, true}) {
        SCOPED_TRACE(zoomed ? "zoomed" : "not zoomed");
        Rendered r;
        ASSERT_TRUE(render(page_url("columns.html"), zoomed, &r));
        std::vector<ClientWord> words;
        std::vector<ClientRun> runs;
        client_text(r.stream, zoomed, &words, &runs);
        int far_off = 0;
        EXPECT_GT(expect_words_in_place(r, words, &far_off), 25);
        EXPECT_EQ(far_off, 0);
        EXPECT_EQ(overdrawn_runs(runs), 0);
        std::vector<uint16_t> s = draw(r.stream, zoomed);
        keep(zoomed ? "columns-zoomed" : "columns", s, &r);

        std::vector<EngineBox> boxes = boxes_of("[...document.querySelectorAll('.framed')]");
        ASSERT_EQ(boxes.size(), 2u);
        double sc = scale_of(zoomed);
        for (size_t i = 0; i < boxes.size(); i++) {
            SCOPED_TRACE(i ? "frame" : "image");
            int x0, y0, x1, y1;
            device_box(boxes[i], sc, &x0, &y0, &x1, &y1);
            ASSERT_GT(x1 - x0, 20);
            ASSERT_GT(y1 - y0, 10);
            auto dark = [&](int x, int y) { return colour_error(s[(size_t)y * 320 + x], 0) < 40; };
            // each side: a line of the border's black along it (in the last
            // or first device pixel of the box)
            int top = 0, bottom = 0, left = 0, right = 0;
            for (int x = x0 + 1; x < x1 - 1; x++) top += dark(x, y0), bottom += dark(x, y1 - 1);
            for (int y = y0 + 1; y < y1 - 1; y++) left += dark(x0, y), right += dark(x1 - 1, y);
            EXPECT_GT(top, (x1 - x0 - 2) * 9 / 10);
            EXPECT_GT(bottom, (x1 - x0 - 2) * 9 / 10);
            EXPECT_GT(left, (y1 - y0 - 2) * 9 / 10);
            EXPECT_GT(right, (y1 - y0 - 2) * 9 / 10);
        }
    }
}

// A line cut by its box where the page asks for an ellipsis ends in one,
// inside the box; where it does not, or where the line fits, none is added.
TEST_F(Pages, TextCutWhereThePageAsksForAnEllipsisEndsInOne) {
    for (bool zoomed : {false, true}) {
        SCOPED_TRACE(zoomed ? "zoomed" : "not zoomed");
        Rendered r;
        ASSERT_TRUE(render(page_url("ellipsis.html"), zoomed, &r));
        std::vector<uint16_t> s = draw(r.stream, zoomed);
        keep(zoomed ? "ellipsis-zoomed" : "ellipsis", s, &r);
        std::vector<ClientWord> words;
        std::vector<ClientRun> runs;
        client_text(r.stream, zoomed, &words, &runs);
        std::vector<EngineBox> boxes = boxes_of("['cut','clip','fits'].map(id=>document.getElementById(id))");
        ASSERT_EQ(boxes.size(), 3u);
        double sc = scale_of(zoomed);
        const std::string ellipsis = "\xe2\x80\xa6";
        for (int i = 0; i < 3; i++) {
            SCOPED_TRACE(i);
            int x0, y0, x1, y1;
            device_box(boxes[(size_t)i], sc, &x0, &y0, &x1, &y1);
            int ends = 0, first = 0, right = 0;
            for (const ClientWord& w : words) {
                if (w.baseline < y0 || w.baseline > y1) continue;
                first += w.text == "A" || w.text == "Short";
                if (w.text.size() >= 3 && w.text.compare(w.text.size() - 3, 3, ellipsis) == 0) ends++;
            }
            for (const ClientRun& run : runs)
                if (run.baseline >= y0 && run.baseline <= y1) right = std::max(right, run.end);
            EXPECT_EQ(first, 1) << "the line's first word";
            EXPECT_EQ(ends, i == 0 ? 1 : 0) << "an ellipsis only where the page asks for one and the line is cut";
            EXPECT_LE(right, x1 + 1) << "the line stays inside its box";
            if (i == 0) {
                EXPECT_GT(right, x1 - 8) << "the ellipsis at the box's end";
            }
        }
    }
}

TEST_F(Pages, ADialogsTextShowsInABannerAtTheTop) {
    notice = "Are you sure? The page asked to confirm, and the server answered OK for you.";
    for (bool zoomed : {false, true}) {
        SCOPED_TRACE(zoomed ? "zoomed" : "not zoomed");
        Rendered r;
        ASSERT_TRUE(render(page_url("text.html"), zoomed, &r));
        std::vector<uint16_t> s = draw(r.stream, zoomed);
        keep(zoomed ? "notice-zoomed" : "notice", s, &r);
        std::vector<ClientWord> words;
        std::vector<ClientRun> runs;
        client_text(r.stream, zoomed, &words, &runs);
        // Its words, in black on the banner, on the first lines of the screen.
        int found = 0;
        for (const ClientWord& w : words)
            if ((w.text == "Are" || w.text == "confirm,") && w.colour == 0 && w.baseline < 30) found++;
        EXPECT_EQ(found, 2);
        const uint16_t banner = 0xFFB7;  // #fff4b8 as the client stores it
        EXPECT_EQ(s[2 * 320 + 300], banner);
        EXPECT_EQ(s[2 * 320 + 2], banner);
        // The page's own first words lie under it.
        for (const ClientWord& w : words) {
            if (w.text == "Home") {
                EXPECT_LT(w.baseline, 30);
            }
        }
    }
}

// A frame inside the page is a picture of what the engine painted in it, its
// text included (the handheld has one frame per page): the frame's words are
// not sent as text, the page's own words around it are.
TEST_F(Pages, AFrameInsideThePageShowsAsAPictureWithItsText) {
    for (bool zoomed : {false, true}) {
        SCOPED_TRACE(zoomed ? "zoomed" : "not zoomed");
        Rendered r;
        ASSERT_TRUE(render(page_url("frames.html"), zoomed, &r));
        ASSERT_FALSE(r.capture.empty()) << "a page with a frame is captured";
        std::vector<uint16_t> s = draw(r.stream, zoomed);
        keep(zoomed ? "frames-zoomed" : "frames", s, &r);
        std::vector<ClientWord> words;
        std::vector<ClientRun> runs;
        client_text(r.stream, zoomed, &words, &runs);
        int above = 0, below = 0, inside = 0;
        for (const ClientWord& w : words) {
            above += w.text == "Above";
            below += w.text == "Below";
            inside += w.text == "Inside";
        }
        EXPECT_EQ(above, 1);
        EXPECT_EQ(below, 1);
        EXPECT_EQ(inside, 0) << "the frame's text travels in its picture";

        nlohmann::json v;
        std::string error;
        ASSERT_TRUE(engine_call_wait(engine, "Runtime.evaluate",
                                     {{"expression",
                                       "(()=>{const f=document.querySelector('iframe').getBoundingClientRect();"
                                       "return [f.left+2,f.top+2,f.right-2,f.bottom-2];})()"},
                                      {"returnByValue", true}},
                                     epage_.session, &v, &error))
            << error;
        const nlohmann::json& a = v["result"]["value"];
        EngineBox frame{"IFRAME", "", a[0].get<double>(), a[1].get<double>(), a[2].get<double>(), a[3].get<double>()};
        int x0, y0, x1, y1;
        device_box(frame, scale_of(zoomed), &x0, &y0, &x1, &y1);
        // Inside the frame: the client shows the engine's pixels (the frame's
        // text is painted in the capture), with its white text, blue ground
        // and yellow block.
        double error_sum = 0;
        int n = 0, white = 0, blue = 0, yellow = 0;
        for (int y = y0 + 1; y < y1 - 1; y++)
            for (int x = x0 + 1; x < x1 - 1; x++) {
                uint16_t c = s[(size_t)y * 320 + x];
                error_sum += colour_error(c, r.engine_view.pixels[(size_t)y * r.engine_view.width + x]);
                n++;
                int red = (c >> 11) * 255 / 31, green = ((c >> 5) & 63) * 255 / 63, bl = (c & 31) * 255 / 31;
                white += red > 220 && green > 220 && bl > 220;
                blue += std::abs(red - 0x28) < 16 && std::abs(green - 0x50) < 16 && std::abs(bl - 0xa0) < 16;
                yellow += std::abs(red - 0xf0) < 16 && std::abs(green - 0xc0) < 16 && std::abs(bl - 0x20) < 16;
            }
        ASSERT_GT(n, 0);
        EXPECT_LT(error_sum / n, 6.0);
        EXPECT_GT(blue, n / 2);
        EXPECT_GT(yellow, 100);
        EXPECT_GT(white, 30) << "the frame's text shows";
    }
}

// Progress and meter bars show as the engine paints them, their filled part
// and their track.
TEST_F(Pages, ProgressAndMeterBarsShowAsTheEnginePaintsThem) {
    for (bool zoomed : {false, true}) {
        SCOPED_TRACE(zoomed ? "zoomed" : "not zoomed");
        Rendered r;
        ASSERT_TRUE(render(page_url("bars.html"), zoomed, &r));
        ASSERT_FALSE(r.capture.empty());
        std::vector<uint16_t> s = draw(r.stream, zoomed);
        keep(zoomed ? "bars-zoomed" : "bars", s, &r);
        std::vector<EngineBox> bars = boxes_of("[...document.querySelectorAll('progress,meter')]");
        ASSERT_EQ(bars.size(), 2u);
        for (const EngineBox& b : bars) {
            int x0, y0, x1, y1;
            device_box(b, scale_of(zoomed), &x0, &y0, &x1, &y1);
            int compared = 0, coloured = 0;
            EXPECT_LT(grid_error(r, s, {}, x0, y0, x1, y1, &compared), 4.0);
            EXPECT_GT(compared, (x1 - x0) * (y1 - y0) / 2);
            for (int y = y0; y < y1; y++)
                for (int x = x0; x < x1; x++) coloured += colour_error(s[(size_t)y * 320 + x], 0xFFFF) > 60;
            EXPECT_GT(coloured, (x1 - x0) * (y1 - y0) / 4) << "the bar's filled part";
        }
    }
}

// Backgrounds that let much of what lies beneath show through: a shade over
// a gradient shows the gradient darkened as the engine painted it (not one
// grey), a tint and a faded box over the white page are each one fill in
// the engine's colour, and the text on a tinted caption still travels as
// text. A nearly opaque background stays a fill, and a highlighted phrase
// over several lines is filled line by line.
TEST_F(Pages, TranslucentBackgroundsShowWhatLiesBeneath) {
    for (bool zoomed : {false, true}) {
        SCOPED_TRACE(zoomed ? "zoomed" : "not zoomed");
        Rendered r;
        ASSERT_TRUE(render(page_url("translucent.html"), zoomed, &r));
        ASSERT_FALSE(r.capture.empty());
        std::vector<uint16_t> s = draw(r.stream, zoomed);
        keep(zoomed ? "translucent-zoomed" : "translucent", s, &r);
        double sc = scale_of(zoomed);
        auto box = [&](const char* id, int* x0, int* y0, int* x1, int* y1) {
            std::vector<EngineBox> b = boxes_of(std::string("[document.getElementById('") + id + "')]");
            ASSERT_EQ(b.size(), 1u);
            device_box(b[0], sc, x0, y0, x1, y1);
        };
        int x0, y0, x1, y1, compared = 0;
        box("shade", &x0, &y0, &x1, &y1);
        EXPECT_LT(grid_error(r, s, {}, x0 + 1, y0 + 1, x1 - 1, y1 - 1, &compared), 4.0);
        EXPECT_GT(compared, (x1 - x0) * (y1 - y0) / 2);
        int mid = (y0 + y1) / 2;
        EXPECT_GT(colour_error(s[(size_t)mid * 320 + x0 + 2], s[(size_t)mid * 320 + x1 - 3]), 40)
            << "the gradient shows through the shade";
        for (const char* id : {"tint", "faded"}) {
            SCOPED_TRACE(id);
            box(id, &x0, &y0, &x1, &y1);
            int cx = (x0 + x1) / 2, cy = (y0 + y1) / 2, off = 0;
            uint16_t engine = r.engine_view.pixels[(size_t)cy * r.engine_view.width + cx];
            EXPECT_LT(colour_error(s[(size_t)cy * 320 + cx], engine), 3.0);
            for (int y = y0 + 1; y < y1 - 1; y++)
                for (int x = x0 + 1; x < x1 - 1; x++) off += s[(size_t)y * 320 + x] != s[(size_t)cy * 320 + cx];
            EXPECT_EQ(off, 0) << "one colour";
        }
        box("header", &x0, &y0, &x1, &y1);
        EXPECT_LT(colour_error(s[(size_t)((y0 + y1) / 2) * 320 + (x0 + x1) / 2], 0xFFFF), 12.0);
        EXPECT_NE(r.stream.find("Summer sale"), std::string::npos) << "the caption's text travels as text";
        // A highlighted phrase over three lines is filled line by line, as
        // the engine paints it: a fill or a picture of the rectangle around
        // it would cover the words beside it. The client shows the words
        // before it on its first line ("Before the mark", the left half of
        // that line) with about the engine's ink.
        box("para", &x0, &y0, &x1, &y1);
        if (y1 <= rgeo_round(r.page.scroll.view_height, sc)) {
            int client = 0, engine = 0;
            for (int y = y0; y < y0 + (y1 - y0) / 3; y++)
                for (int x = x0; x < (x0 + x1) / 2; x++) {
                    client += colour_error(s[(size_t)y * 320 + x], 0xFFFF) > 100;
                    engine += colour_error(r.engine_seen.pixels[(size_t)y * r.engine_seen.width + x], 0xFFFF) > 100;
                }
            EXPECT_GT(engine, 20);
            EXPECT_GT(client * 10, engine * 6) << "the words beside the highlighted phrase show";
            // and the phrase's own lines are highlighted, as in the engine
            int lit = 0, engine_lit = 0;
            for (int y = y0; y < y1; y++)
                for (int x = x0; x < x1; x++) {
                    uint16_t p = s[(size_t)y * 320 + x], e = r.engine_seen.pixels[(size_t)y * r.engine_seen.width + x];
                    lit += colour_error(p, 0xFFFF) > 20 && colour_error(p, 0xFFFF) < 80;
                    engine_lit += colour_error(e, 0xFFFF) > 20 && colour_error(e, 0xFFFF) < 80;
                }
            EXPECT_GT(lit * 10, engine_lit * 6);
            EXPECT_LT(lit * 10, engine_lit * 14);
        }
        // the tint and the faded box are fills: no picture is shown in them
        for (const char* id : {"tint", "faded"}) {
            box(id, &x0, &y0, &x1, &y1);
            for (size_t at = r.stream.find("<IS "); at != std::string::npos; at = r.stream.find("<IS ", at + 1)) {
                unsigned f, pid, px, py;
                if (sscanf(r.stream.c_str() + at, "<IS %x %x %x %x", &f, &pid, &px, &py) != 4) continue;
                int dx = (int)(px / sc), dy = (int)(py / sc);
                EXPECT_FALSE(dx >= x0 && dx < x1 && dy >= y0 && dy < y1) << id << " is a picture";
            }
        }
    }
}

// A highlighted phrase over a hundred lines, scrolled so that the screen
// starts on its last line: that line's part of the phrase is highlighted as
// in the engine and nothing beside it is, though the screen holds one line
// of the phrase only; the words after it show.
TEST_F(Pages, ALongHighlightedPhraseIsFilledLineByLineWhereverTheScreenIs) {
    const std::string last_line =
        "[[...document.getElementById('mark').getClientRects()].pop()].map(r=>({getBoundingClientRect:()=>r}))";
    for (bool zoomed : {false, true}) {
        SCOPED_TRACE(zoomed ? "zoomed" : "not zoomed");
        Rendered top;
        ASSERT_TRUE(render(page_url("longmark.html"), zoomed, &top));
        std::vector<EngineBox> line = boxes_of(last_line);
        ASSERT_EQ(line.size(), 1u);
        ASSERT_GT(line[0].y0, 1000) << "the phrase runs over many lines";
        Rendered r;
        ASSERT_TRUE(render(page_url("longmark.html"), zoomed, &r, 0, line[0].y0 + 1));
        std::vector<uint16_t> s = draw(r.stream, zoomed);
        keep(zoomed ? "longmark-zoomed" : "longmark", s, &r);
        double sc = scale_of(zoomed);
        int x0, y0, x1, y1;
        line = boxes_of(last_line);
        ASSERT_EQ(line.size(), 1u);
        device_box(line[0], sc, &x0, &y0, &x1, &y1);
        ASSERT_LE(y0, 0);
        ASSERT_GT(y1, 4);
        // On the screen's first line: the highlight where the engine has it
        // (its view without text), and nowhere else but on the edge pixels
        // the engine shares with the white beside it.
        const uint16_t mark = 0xFEC9;  // #ffd84a on the device
        auto engine_mark = [&](int x, int y) {
            return x >= 0 && x < r.engine_view.width && y >= 0 && y < r.engine_view.height &&
                   colour_error(r.engine_view.pixels[(size_t)y * r.engine_view.width + x], mark) < 12;
        };
        int lit = 0, engine_lit = 0, astray = 0;
        for (int y = 0; y < y1 + 1; y++)
            for (int x = 0; x < 320; x++) {
                bool here = colour_error(s[(size_t)y * 320 + x], mark) < 12;
                lit += here;
                engine_lit += engine_mark(x, y);
                bool near = false;
                for (int dy = -1; dy <= 1; dy++)
                    for (int dx = -1; dx <= 1; dx++) near = near || engine_mark(x + dx, y + dy);
                astray += here && !near;
            }
        EXPECT_GT(engine_lit, 100);
        EXPECT_GT(lit * 10, engine_lit * 6);
        EXPECT_LT(lit * 10, engine_lit * 12);
        EXPECT_LT(astray * 20, engine_lit) << "no highlight beside the phrase";
        // the words after it show
        std::vector<EngineBox> after = boxes_of("[document.getElementById('after')]");
        ASSERT_EQ(after.size(), 1u);
        device_box(after[0], sc, &x0, &y0, &x1, &y1);
        int ink = 0;
        for (int y = std::max(0, y0); y < y1; y++)
            for (int x = 0; x < 320; x++) ink += colour_error(s[(size_t)y * 320 + x], 0xFFFF) > 100;
        EXPECT_GT(ink, 40);
    }
}

// A screen of more short links in another script than the handheld holds
// pictures: every one shows, each line of them one picture.
TEST_F(Pages, AScreenOfManyLinksInAnotherScriptShowsWhole) {
    for (bool zoomed : {false, true}) {
        SCOPED_TRACE(zoomed ? "zoomed" : "not zoomed");
        Rendered r;
        ASSERT_TRUE(render(page_url("dense.html"), zoomed, &r));
        std::vector<uint16_t> s = draw(r.stream, zoomed);
        keep(zoomed ? "dense-zoomed" : "dense", s, &r);
        EXPECT_LE(count_tags(r.stream, "IS"), 40);
        double sc = scale_of(zoomed);
        int shown = 0, checked = 0;
        for (const EngineBox& b : boxes_of("[...document.querySelectorAll('a')]")) {
            int x0, y0, x1, y1;
            device_box(b, sc, &x0, &y0, &x1, &y1);
            if (y1 > rgeo_round(r.page.scroll.view_height, sc) || x1 > rgeo_round(r.page.scroll.view_width, sc))
                continue;
            int client = 0, engine_ink = 0;
            for (int y = y0; y < y1; y++)
                for (int x = x0; x < x1; x++) {
                    client += colour_error(s[(size_t)y * 320 + x], 0xFFFF) > 40;
                    engine_ink += colour_error(r.engine_seen.pixels[(size_t)y * r.engine_seen.width + x], 0xFFFF) > 40;
                }
            checked++;
            shown += engine_ink > 10 && client > engine_ink * 3 / 4;
        }
        EXPECT_GT(checked, zoomed ? 60 : 150);
        EXPECT_EQ(shown, checked);
    }
}

// A heading whose gradient background is clipped to its letters shows them
// in the gradient's colours (the engine paints them into the background's
// picture), not as an empty box.
TEST_F(Pages, TextThatClipsItsBackgroundShowsInItsColours) {
    for (bool zoomed : {false, true}) {
        SCOPED_TRACE(zoomed ? "zoomed" : "not zoomed");
        Rendered r;
        ASSERT_TRUE(render(page_url("cliptext.html"), zoomed, &r));
        std::vector<uint16_t> s = draw(r.stream, zoomed);
        keep(zoomed ? "cliptext-zoomed" : "cliptext", s, &r);
        std::vector<EngineBox> heading = boxes_of(TEXT_OF + "['heading'])");
        ASSERT_EQ(heading.size(), 1u);
        int x0, y0, x1, y1;
        device_box(heading[0], scale_of(zoomed), &x0, &y0, &x1, &y1);
        int pink = 0, blue = 0;
        for (int y = y0; y < y1; y++)
            for (int x = x0; x < x1; x++) {
                uint16_t c = s[(size_t)y * 320 + x];
                int red = (c >> 11) * 255 / 31, green = ((c >> 5) & 63) * 255 / 63, bl = (c & 31) * 255 / 31;
                pink += red > 200 && green < 120 && bl > 40 && bl < 180;
                blue += red < 100 && green > 90 && bl > 200;
            }
        EXPECT_GT(pink, 10) << "the letters' left end, pink";
        EXPECT_GT(blue, 10) << "their right end, blue";
        // as many letter pixels as the engine shows
        auto ink = [&](const uint16_t* px, int stride) {
            int n = 0;
            for (int y = y0; y < y1; y++)
                for (int x = x0; x < x1; x++) n += colour_error(px[(size_t)y * stride + x], 0xFFFF) > 40;
            return n;
        };
        int client_ink = ink(s.data(), 320), engine_ink = ink(r.engine_seen.pixels.data(), r.engine_seen.width);
        EXPECT_GT(engine_ink, 100);
        EXPECT_GT(client_ink, engine_ink * 3 / 4);
        EXPECT_LT(client_ink, engine_ink * 4 / 3);
    }
}

// Text in characters the handheld has no glyphs for (other scripts, emoji)
// is painted by the engine and shows as its picture, where the engine laid it
// out and in its colours; text in the handheld's own letters stays text, and
// so does text that a script changes back to such letters.
TEST_F(Pages, TextInOtherScriptsShowsAsTheEnginePaintedIt) {
    for (bool zoomed : {false, true}) {
        SCOPED_TRACE(zoomed ? "zoomed" : "not zoomed");
        Rendered r;
        ASSERT_TRUE(render(page_url("foreign.html"), zoomed, &r));
        ASSERT_FALSE(r.capture.empty()) << "a page with such text is captured";
        std::vector<uint16_t> s = draw(r.stream, zoomed);
        keep(zoomed ? "foreign-zoomed" : "foreign", s, &r);
        std::vector<ClientWord> words;
        std::vector<ClientRun> runs;
        client_text(r.stream, zoomed, &words, &runs);
        std::set<std::string> sent;
        for (const ClientWord& w : words) sent.insert(w.text);
        EXPECT_EQ(sent, (std::set<std::string>{"Plain", "words", "in", "the", "handheld's", "own", "letters."}))
            << "only the Latin line travels as text";

        std::vector<EngineBox> lines = boxes_of(TEXT_OF + "['ru','zh','band','mixed'])");
        ASSERT_EQ(lines.size(), 4u);
        double sc = scale_of(zoomed);
        for (size_t i = 0; i < lines.size(); i++) {
            SCOPED_TRACE("line " + std::to_string(i));
            int x0, y0, x1, y1;
            device_box(lines[i], sc, &x0, &y0, &x1, &y1);
            ASSERT_GT(x1 - x0, 20);
            // The client's pixels against the engine's (the capture holds
            // this text painted), and as much ink as the engine painted.
            int compared = 0;
            EXPECT_LT(grid_error(r, s, {}, x0, y0, x1, y1, &compared), 4.0);
            EXPECT_GT(compared, (x1 - x0) * (y1 - y0) / 2);
            const DeviceCapture& e = r.engine_seen;
            auto ink = [&](const uint16_t* px, int stride, uint16_t ground) {
                int n = 0;
                for (int y = y0; y < y1; y++)
                    for (int x = x0; x < x1; x++) n += colour_error(px[(size_t)y * stride + x], ground) > 40;
                return n;
            };
            uint16_t ground = e.pixels[(size_t)y0 * e.width + x1 - 1];
            int client_ink = ink(s.data(), 320, ground), engine_ink = ink(e.pixels.data(), e.width, ground);
            EXPECT_GT(engine_ink, 20);
            EXPECT_GT(client_ink, engine_ink * 3 / 4);
            EXPECT_LT(client_ink, engine_ink * 4 / 3);
            if (i == 0) {
                // the Russian line in its red
                int red = 0;
                for (int y = y0; y < y1; y++)
                    for (int x = x0; x < x1; x++) {
                        uint16_t c = s[(size_t)y * 320 + x];
                        red += (c >> 11) > 20 && ((c >> 5) & 63) < 24 && (c & 31) < 12;
                    }
                EXPECT_GT(red, 20);
            }
        }

        // A script puts Latin letters in place of the Russian line: it is
        // text again, not painted, and the page no longer holds its picture.
        Rendered again;
        again.viewport = r.viewport;
        ASSERT_TRUE(rerender("document.getElementById('ru').textContent='Now in Latin letters'", &again, true, RenderImages()));
        words.clear();
        client_text(again.stream, zoomed, &words, &runs);
        int now = 0;
        for (const ClientWord& w : words) now += w.text == "Now";
        EXPECT_EQ(now, 1);
        nlohmann::json v;
        std::string error;
        ASSERT_TRUE(engine_call_wait(engine, "Runtime.evaluate",
                                     {{"expression",
                                       "getComputedStyle(document.getElementById('ru')).webkitTextFillColor"},
                                      {"returnByValue", true}},
                                     epage_.session, &v, &error))
            << error;
        EXPECT_EQ(v["result"]["value"], "rgba(0, 0, 0, 0)") << "hidden again: the handheld draws it";
    }
}

// The sample website's pages, as a user meets them: every visible word where
// the engine laid it out, no run over the next, every picture of the page on
// the screen.
TEST_F(Pages, SampleSitePagesDrawAsTheEngineLaidThemOut) {
    for (const char* name : {"index", "article", "gallery", "form", "script", "photos"}) {
        for (bool zoomed : {false, true}) {
            SCOPED_TRACE(std::string(name) + (zoomed ? " zoomed" : ""));
            Rendered r;
            ASSERT_TRUE(render("file://" CV_SOURCE_DIR "/site/www/" + std::string(name) + ".html", zoomed, &r));
            std::vector<uint16_t> s = draw(r.stream, zoomed);
            keep(std::string("site-") + name + (zoomed ? "-zoomed" : ""), s, &r);
            std::vector<ClientWord> words;
            std::vector<ClientRun> runs;
            client_text(r.stream, zoomed, &words, &runs);
            int far_off = 0;
            EXPECT_GT(expect_words_in_place(r, words, &far_off), 5);
            EXPECT_EQ(far_off, 0);
            EXPECT_EQ(overdrawn_runs(runs), 0);
        }
    }
}
