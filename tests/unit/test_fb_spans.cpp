// Lines, fills and images are clipped first and written as whole spans. They
// must leave exactly the pixels (and the pen) that plotting every pixel of
// them through the clipped pixel store leaves: that plotter, written as the
// primitives are described pixel by pixel, is the reference here, on both
// panel layouts, for random shapes, clips and pens, including shapes that
// reach far off the screen.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "gfx/fb.h"

namespace {

// A frame of our own in the layout of the emulated panel (240 columns by 320
// rows of 16-bit pixels), addressed through a positive or a negative y pitch.
struct Frame {
    explicit Frame(bool inverted) : mem(240 * 320, 0x1234) {
        gfx_init();
        gfx.props.cxWidth = 240;
        gfx.props.cyHeight = 320;
        gfx.props.cbxPitch = 2;
        gfx.props.cbyPitch = inverted ? -480 : 480;
        gfx.props.cBPP = 16;
        gfx.frame = inverted ? (char*)mem.data() + 319 * 480 : (char*)mem.data();
    }
    ~Frame() { gfx.frame = nullptr; }
    std::vector<uint16_t> mem;
};

// The pixel-by-pixel line of the pen: every pixel through gfx_put_pixel.
void ref_line_to(LONG x, LONG y, uint16_t v) {
    if (x == gfx.pen_x && y != gfx.pen_y) {
        LONG step = y > gfx.pen_y ? 1 : -1;
        while (gfx.pen_y != y) {
            gfx_put_pixel(gfx.pen_x, gfx.pen_y, v);
            gfx.pen_y += step;
        }
        gfx_put_pixel(x, y, v);
    } else if (y == gfx.pen_y && x != gfx.pen_x) {
        LONG step = x > gfx.pen_x ? 1 : -1;
        while (gfx.pen_x != x) {
            gfx_put_pixel(gfx.pen_x, gfx.pen_y, v);
            gfx.pen_x += step;
        }
        gfx_put_pixel(x, y, v);
    } else {
        gfx_put_pixel(gfx.pen_x, gfx.pen_y, v);
    }
}

// A fill as rows of lines from left to right.
void ref_fill(const Rect& r, uint16_t v) {
    for (LONG y = r.top; y <= r.bottom; y++) {
        gfx_move_to(r.left, y);
        ref_line_to(r.right, y, v);
    }
}

void ref_image(const ImageRecord& img, LONG x, LONG y) {
    for (LONG r = 0; r < img.height; r++)
        for (LONG c = 0; c < img.width; c++) {
            uint16_t p = img.pixels[r * img.width + c];
            if (img.transparent && p == img.key) continue;
            gfx_put_pixel(x + c, y + r, p);
        }
}

class Spans : public ::testing::TestWithParam<bool> {
protected:
    std::mt19937 rng{20240611u};
    LONG coord(LONG lo, LONG hi) { return std::uniform_int_distribution<LONG>(lo, hi)(rng); }
    void random_clip() {
        LONG t = coord(0, 238), l = coord(0, 318);
        gfx_set_clip(t, l, coord(t + 1, 239), coord(l + 1, 319));
        if (coord(0, 3) == 0) gfx_set_clip(0, 0, 239, 319);
    }
    // Runs `fast` and `ref` from the same frame and pen; both must leave the
    // same frame and the same pen.
    template <class F, class R>
    void same(Frame& f, F fast, R ref, int i) {
        std::vector<uint16_t> before = f.mem;
        LONG px = gfx.pen_x, py = gfx.pen_y;
        DWORD colour = gfx.pen_colour;
        fast();
        std::vector<uint16_t> got = f.mem;
        LONG gx = gfx.pen_x, gy = gfx.pen_y;
        f.mem = before;
        gfx.pen_x = px;
        gfx.pen_y = py;
        ref();
        ASSERT_EQ(got, f.mem) << "case " << i;
        ASSERT_EQ(gx, gfx.pen_x) << "case " << i;
        ASSERT_EQ(gy, gfx.pen_y) << "case " << i;
        ASSERT_EQ(colour, gfx.pen_colour) << "case " << i;
    }
};

}  // namespace

TEST_P(Spans, FillsLeaveWhatRowsOfClippedPixelsLeave) {
    Frame f(GetParam());
    for (int i = 0; i < 400; i++) {
        random_clip();
        // Reaching past every edge, one pixel wide or high, empty, reversed.
        Rect r = {coord(-60, 300), coord(-60, 380), coord(-60, 300), coord(-60, 380)};
        if (i % 5 == 0) r.right = r.left;
        if (i % 7 == 0) r.bottom = r.top;
        DWORD index = (DWORD)coord(0, PALETTE_SIZE + 3);  // out of range reads entry 0
        gfx.pen_colour = (DWORD)coord(0, 12);
        gfx.pen_x = coord(-5, 5);
        gfx.pen_y = coord(-5, 5);
        uint16_t v = gfx_rgb565(gfx.palette[index < PALETTE_SIZE ? index : 0][0],
                                gfx.palette[index < PALETTE_SIZE ? index : 0][1],
                                gfx.palette[index < PALETTE_SIZE ? index : 0][2]);
        same(f, [&] { gfx_fill_rect(&r, index); }, [&] { ref_fill(r, v); }, i);
        DWORD rgb = (DWORD)coord(0, 0xFFFFFF);
        same(f, [&] { gfx_fill_rect_rgb(&r, rgb); }, [&] { ref_fill(r, gfx_colour24_565(rgb)); }, i);
    }
}

TEST_P(Spans, LinesLeaveWhatTheirClippedPixelsLeave) {
    Frame f(GetParam());
    for (int i = 0; i < 600; i++) {
        random_clip();
        gfx_move_to(coord(-40, 360), coord(-40, 280));
        LONG x = gfx.pen_x, y = gfx.pen_y;
        switch (i % 4) {
        case 0: y = coord(-40, 280); break;  // vertical
        case 1: x = coord(-40, 360); break;  // horizontal
        case 2: break;                       // one point
        default:                             // a diagonal: the pen point only
            x += coord(1, 9);
            y -= coord(1, 9);
        }
        gfx.pen_colour = (DWORD)coord(0, 12);
        uint16_t v = gfx_rgb565(gfx.palette[gfx.pen_colour][0], gfx.palette[gfx.pen_colour][1],
                                gfx.palette[gfx.pen_colour][2]);
        same(f, [&] { gfx_line_to(x, y); }, [&] { ref_line_to(x, y, v); }, i);
        DWORD rgb = (DWORD)coord(0, 0xFFFFFF);
        gfx_move_to(x, y + (i % 4 == 1 ? 0 : 3));
        same(f, [&] { gfx_line_to_rgb(x, y, rgb); }, [&] { ref_line_to(x, y, gfx_colour24_565(rgb)); }, i);
    }
}

TEST_P(Spans, BevelFramesLeaveWhatTheirPixelLinesLeave) {
    Frame f(GetParam());
    for (int i = 0; i < 100; i++) {
        random_clip();
        Rect r = {coord(-10, 250), coord(-10, 330), coord(-10, 250), coord(-10, 330)};
        gfx.pen_colour = 7;
        auto ref = [&] {
            // The four pairs of lines, through the pixel-by-pixel line.
            auto line = [&](DWORD c, LONG x0, LONG y0, LONG x1, LONG y1) {
                gfx_move_to(x0, y0);
                ref_line_to(x1, y1, gfx_rgb565(gfx.palette[c][0], gfx.palette[c][1], gfx.palette[c][2]));
            };
            LONG t = r.top, l = r.left, b = r.bottom, rt = r.right;
            line(0, l - 1, t - 1, rt + 1, t - 1);
            line(0, l - 1, t - 1, l - 1, b + 1);
            line(5, l - 2, t - 2, rt + 2, t - 2);
            line(5, l - 2, t - 2, l - 2, b + 2);
            line(1, rt + 1, b + 1, rt + 1, t - 1);
            line(1, rt + 1, b + 1, l - 1, b + 1);
            line(2, rt + 2, b + 2, rt + 2, t - 2);
            line(2, rt + 2, b + 2, l - 2, b + 2);
        };
        same(f, [&] { gfx_bevel_frame(&r); }, ref, i);
    }
}

TEST_P(Spans, ImagesLeaveWhatTheirClippedOpaquePixelsLeave) {
    Frame f(GetParam());
    for (int i = 0; i < 200; i++) {
        random_clip();
        ImageRecord img = {};
        img.width = (int16_t)coord(1, 90);
        img.height = (int16_t)coord(1, 70);
        std::vector<uint16_t> px((size_t)img.width * img.height);
        for (auto& p : px) p = coord(0, 3) == 0 ? 0 : (uint16_t)coord(1, 0xFFFF);
        img.pixels = px.data();
        img.transparent = (BYTE)(i % 2);
        img.key = 0;
        LONG x = coord(-100, 330), y = coord(-80, 250);
        same(f, [&] { gfx_draw_image(&img, x, y); }, [&] { ref_image(img, x, y); }, i);
    }
}

TEST_P(Spans, ShapesFarOffTheScreenDrawOnlyTheirVisiblePart) {
    Frame f(GetParam());
    gfx_set_clip(0, 0, 239, 319);
    // Spans of billions of pixels: only the screen's part is visited.
    Rect huge = {INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX};
    gfx_fill_rect_rgb(&huge, 0x0000FF);
    for (uint16_t p : f.mem) ASSERT_EQ(p, 0xF800);
    EXPECT_EQ(gfx.pen_x, INT32_MAX);
    EXPECT_EQ(gfx.pen_y, INT32_MAX);
    gfx_move_to(5, INT32_MIN);
    gfx_line_to_rgb(5, INT32_MAX, 0);
    gfx_move_to(INT32_MAX, 7);
    gfx_line_to_rgb(INT32_MIN, 7, 0);
    int black = 0;
    for (uint16_t p : f.mem) black += p == 0;
    EXPECT_EQ(black, 240 + 320 - 1);
    EXPECT_EQ(gfx.pen_x, INT32_MIN);
    Rect beyond = {10, 400, 20, 500};
    gfx_fill_rect(&beyond, COLOUR_WHITE);  // nothing visible, the pen still moves
    EXPECT_EQ(black, (int)std::count(f.mem.begin(), f.mem.end(), (uint16_t)0));
    EXPECT_EQ(gfx.pen_x, 500);
    EXPECT_EQ(gfx.pen_y, 20);
    ImageRecord img = {};
    uint16_t one = 0x07E0;
    img.width = img.height = 1;
    img.pixels = &one;
    gfx_draw_image(&img, INT32_MAX, INT32_MAX);
    gfx_draw_image(&img, INT32_MIN, 3);
    EXPECT_EQ(0, (int)std::count(f.mem.begin(), f.mem.end(), (uint16_t)0x07E0));
}

TEST_P(Spans, NothingIsWrittenWithoutAFrameButThePenMoves) {
    Frame f(GetParam());
    gfx.frame = nullptr;
    Rect r = {0, 0, 239, 319};
    gfx_fill_rect(&r, COLOUR_BLACK);
    EXPECT_EQ(gfx.pen_x, 319);
    EXPECT_EQ(gfx.pen_y, 239);
    gfx_move_to(0, 0);
    gfx_line_to(0, 100);
    EXPECT_EQ(gfx.pen_y, 100);
    for (uint16_t p : f.mem) ASSERT_EQ(p, 0x1234);
}

INSTANTIATE_TEST_SUITE_P(BothPanels, Spans, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "Inverted" : "Normal"; });

// Saving and restoring areas moves whole physical rows on both panels; what
// comes back is what was there, and on a panel with a negative y pitch only
// inside the clip as it is at the moment of the restore.
TEST_P(Spans, SavedAreasComeBackWhereTheClipAllows) {
    Frame f(GetParam());
    std::mt19937 rng(3);
    auto coord = [&](LONG lo, LONG hi) { return std::uniform_int_distribution<LONG>(lo, hi)(rng); };
    for (int i = 0; i < 200; i++) {
        for (size_t k = 0; k < f.mem.size(); k++) f.mem[k] = (uint16_t)(k * 2654435761u >> 7);
        gfx_set_clip(0, 0, 239, 319);
        if (i % 2) {
            LONG t = coord(0, 200), l = coord(0, 280);
            gfx_set_clip(t, l, coord(t + 1, 239), coord(l + 1, 319));
        }
        Rect r = {coord(-20, 250), coord(-20, 330), coord(-20, 250), coord(-20, 330)};
        Rect area = r;
        uint16_t* saved = nullptr;
        gfx_save_area(&saved, &area);
        // What the pixel store reads there now.
        std::vector<uint16_t> want;
        if (saved)
            for (LONG x = area.left; x <= area.right; x++)
                for (LONG y = area.top; y <= area.bottom; y++) want.push_back(gfx_get_pixel(x, y));
        Rect cover = {0, 0, 239, 319};
        Rect clip = gfx.clip;
        gfx.clip = cover;
        gfx_fill_rect_rgb(&cover, 0x00FF00);
        gfx.clip = clip;
        if (i % 3 == 0) {  // the clip moves between save and restore
            LONG t = coord(0, 200), l = coord(0, 280);
            gfx_set_clip(t, l, coord(t + 1, 239), coord(l + 1, 319));
        }
        gfx_restore_area(&saved, &area);
        EXPECT_EQ(saved, nullptr);
        for (LONG x = 0; x < 320; x++)
            for (LONG y = 0; y < 240; y++) {
                bool inside = !want.empty() && x >= area.left && x <= area.right && y >= area.top && y <= area.bottom;
                if (GetParam())  // the negative pitch restores through the clip
                    inside = inside && x >= gfx.clip.left && x <= gfx.clip.right && y >= gfx.clip.top &&
                             y <= gfx.clip.bottom;
                uint16_t expect = inside ? want[(size_t)((x - area.left) * (area.bottom - area.top + 1) +
                                                         (y - area.top))]
                                         : (uint16_t)0x07E0;
                ASSERT_EQ(gfx_get_pixel(x, y), expect) << "case " << i << " at " << x << "," << y;
            }
    }
}

// Presenting copies the whole off-screen page to the screen and leaves the
// drawing target as it found it.
TEST_P(Spans, PresentingCopiesThePageAndKeepsTheTarget) {
    Frame screen(GetParam());
    GXDisplayProperties props = gfx.props;
    ASSERT_EQ(gfx_offscreen_create(&props), 0);
    for (int off_first = 0; off_first < 2; off_first++) {
        gfx.frame = GetParam() ? (char*)screen.mem.data() + 319 * 480 : (char*)screen.mem.data();
        char* screen_frame = gfx.frame;
        gfx.off_saved_screen = nullptr;
        gfx.off_active = 0;
        ASSERT_EQ(gfx_select_target(1), 1);
        Rect all = {0, 0, 239, 319}, spot = {10, 20, 30, 40};
        gfx_fill_rect_rgb(&all, 0x0000FF);
        gfx_fill_rect_rgb(&spot, 0xFF0000);
        if (!off_first) gfx_select_target(0);
        gfx_present();
        EXPECT_EQ(gfx.off_active, off_first);
        EXPECT_EQ(gfx.frame, off_first ? gfx.off_origin : screen_frame);
        gfx_select_target(0);
        ASSERT_EQ(gfx.frame, screen_frame);
        for (LONG x = 0; x < 320; x++)
            for (LONG y = 0; y < 240; y++)
                ASSERT_EQ(gfx_get_pixel(x, y), (x >= 20 && x <= 40 && y >= 10 && y <= 30) ? 0x001F : 0xF800);
        std::fill(screen.mem.begin(), screen.mem.end(), (uint16_t)0x1234);
    }
    gfx_offscreen_destroy();
}
