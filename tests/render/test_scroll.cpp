// Scrolling: the scroll bars of a page larger than the screen both ways,
// their thumbs at the scroll position, the newly visible part in place; and
// the offsets that paging and bar taps ask for.
#include "render_fixture.h"

namespace {

using Scroll = RenderTest;

ScrollBar* bar(DWORD kind) {
    for (ScrollBar* b = page_scrollbars; b; b = b->next)
        if (b->kind == kind) return b;
    return nullptr;
}

// The thumb's first page coordinate for a scroll offset, as the renderer
// must place it: the track less the thumb, in the offset's share.
long thumb_start(int track_start, int track, double view, double max, double offset, long* len) {
    *len = std::max(16L, std::lround(track * view / (view + max)));
    return track_start + std::lround((track - *len) * offset / max);
}

}  // namespace

TEST_F(Scroll, BarsShowTheScrollPositionAndTheVisiblePartStandsInPlace) {
    for (bool zoomed : {false, true}) {
        SCOPED_TRACE(zoomed ? "zoomed" : "not zoomed");
        int full_w = zoomed ? 480 : 640, full_h = zoomed ? 360 : 480;
        Rendered r;
        ASSERT_TRUE(render(page_url("scroll.html"), zoomed, &r));
        const RenderScroll& s = r.page.scroll;
        ASSERT_TRUE(s.has_v && s.has_h);
        // The engine keeps the strips of the client's bars free.
        EXPECT_EQ(s.view_width, full_w - 17);
        EXPECT_EQ(s.view_height, full_h - 17);
        EXPECT_NEAR(s.max_x, 1500 - s.view_width, 1);
        EXPECT_NEAR(s.max_y, 1510 - s.view_height, 12);
        draw(r.stream, zoomed);
        ScrollBar* v = bar('V');
        ScrollBar* h = bar('H');
        ASSERT_NE(v, nullptr);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(v->rect.left, (LONG)page_scale(s.view_width));
        EXPECT_EQ(h->rect.top, (LONG)page_scale(s.view_height));
        EXPECT_EQ(v->position, 17u);
        EXPECT_EQ(h->position, 17u);

        // Scrolled right and down: as far right as the page goes.
        ASSERT_TRUE(render(page_url("scroll.html"), zoomed, &r, 400, 600));
        EXPECT_EQ(r.page.scroll.x, 400);
        EXPECT_EQ(r.page.scroll.y, 600);
        std::vector<uint16_t> screen = draw(r.stream, zoomed);
        keep(zoomed ? "scroll-zoomed" : "scroll", screen, &r);
        v = bar('V');
        h = bar('H');
        ASSERT_NE(v, nullptr);
        ASSERT_NE(h, nullptr);
        long len;
        EXPECT_EQ((long)v->position, thumb_start(17, s.view_height - 34, s.view_height, s.max_y, 600, &len));
        EXPECT_EQ((long)(v->end - v->position + 1), len);
        EXPECT_EQ((long)h->position, thumb_start(17, s.view_width - 34, s.view_width, s.max_x, 400, &len));
        // Band two (at 600 to 900) fills the top of the screen in its colour.
        double sc = zoomed ? 2.0 / 3.0 : 0.5;
        EXPECT_EQ(screen[(size_t)rgeo_round(20, sc) * 320 + 100], 0xDEFF);  // #ddf as the client stores it
        std::vector<ClientWord> words;
        std::vector<ClientRun> runs;
        client_text(r.stream, zoomed, &words, &runs);
        bool lower_mark = false;
        for (const ClientWord& w : words) lower_mark |= w.text == "lower";
        EXPECT_FALSE(lower_mark) << "the right-hand mark at 1200, 700 lies beyond the screen";
        ASSERT_TRUE(render(page_url("scroll.html"), zoomed, &r, 2000, 600));
        EXPECT_EQ(r.page.scroll.x, r.page.scroll.max_x);
        words.clear();
        runs.clear();
        client_text(r.stream, zoomed, &words, &runs);
        for (const ClientWord& w : words) lower_mark |= w.text == "lower";
        EXPECT_TRUE(lower_mark) << "the right-hand mark at 1200, 700 shows at the right";
        draw(r.stream, zoomed);
        h = bar('H');
        ASSERT_NE(h, nullptr);
        EXPECT_EQ((long)h->end, 17 + s.view_width - 34 - 1) << "the thumb ends at the track's end";
    }
}

TEST(ScrollRules, PagingMovesOneScreenLessOneLineWithinTheEnds) {
    RenderScroll s;
    s.view_width = 623;
    s.view_height = 463;
    s.max_x = 877;
    s.max_y = 1047;
    s.line = 20;
    double x, y;
    render_scroll_page(s, 'D', &x, &y);
    EXPECT_EQ(y, 443);
    EXPECT_EQ(x, 0);
    s.y = 900;
    render_scroll_page(s, 'D', &x, &y);
    EXPECT_EQ(y, 1047);
    render_scroll_page(s, 'U', &x, &y);
    EXPECT_EQ(y, 457);
    s.y = 100;
    render_scroll_page(s, 'U', &x, &y);
    EXPECT_EQ(y, 0);
    render_scroll_page(s, 'R', &x, &y);
    EXPECT_EQ(x, 603);
    EXPECT_EQ(y, 100);
    s.x = 603;
    render_scroll_page(s, 'R', &x, &y);
    EXPECT_EQ(x, 877);
    render_scroll_page(s, 'L', &x, &y);
    EXPECT_EQ(x, 0);
    // On a grid of two (three zoomed) CSS pixels, a whole number of device
    // pixels, except at the ends: the page keeps its pixel grid.
    s.x = 0;
    s.y = 0;
    s.grid = 2;
    render_scroll_page(s, 'D', &x, &y);
    EXPECT_EQ(y, 442);
    s.y = 1047;
    render_scroll_page(s, 'U', &x, &y);
    EXPECT_EQ(y, 604);
    s.grid = 3;
    render_scroll_page(s, 'U', &x, &y);
    EXPECT_EQ(y, 603);
    s.y = 1000;
    render_scroll_page(s, 'D', &x, &y);
    EXPECT_EQ(y, 1047);
}

TEST(ScrollRules, BarTapsStepPageOrJump) {
    RenderScroll s;
    s.view_width = 623;
    s.view_height = 463;
    s.max_x = 877;
    s.max_y = 1037;
    s.line = 20;
    s.has_v = s.has_h = true;
    s.v_track_start = s.h_track_start = 17;
    s.v_track_length = 429;
    s.h_track_length = 589;
    // The vertical thumb: 429 x 463 / 1500 = 132 units at the top.
    double x, y;
    render_scroll_bar_tap(s, 630, 6, &x, &y);  // the up arrow at the top
    EXPECT_EQ(y, 0);
    render_scroll_bar_tap(s, 630, 450, &x, &y);  // the down arrow (its top 223, plus 2, times 2): three lines
    EXPECT_EQ(y, 60);
    EXPECT_EQ(x, 0);
    render_scroll_bar_tap(s, 630, 17 + 132 + 3, &x, &y);  // just below the thumb, as the client reports it
    EXPECT_EQ(y, 443);
    render_scroll_bar_tap(s, 630, 100, &x, &y);  // on the thumb: nothing
    EXPECT_EQ(y, 0);
    render_scroll_bar_tap(s, 630, 17 + 297 + 66, &x, &y);  // far down the track: the thumb's middle jumps there
    EXPECT_NEAR(y, 1037, 1);
    s.y = 500;
    render_scroll_bar_tap(s, 630, 160 - 3, &x, &y);  // above the thumb (now at 160): a screen up
    EXPECT_NEAR(y, 57, 1);
    // The horizontal bar: the right arrow, then beside the thumb.
    render_scroll_bar_tap(s, 612, 470, &x, &y);
    EXPECT_EQ(x, 60);
    EXPECT_EQ(y, 500);
    render_scroll_bar_tap(s, 17 + 245 + 3, 470, &x, &y);
    EXPECT_EQ(x, 603);
}
