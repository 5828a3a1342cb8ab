// Frame buffer primitives on the emulated panel, in both panel orientations.
#include <gtest/gtest.h>

#include <vector>

#include "emu.h"
#include "gfx/fb.h"
#include "tests/unit/test_device.h"

namespace {

// The emulated display, opened for drawing, with the given panel layout.
struct Panel {
    explicit Panel(bool inverted) { test_device_open("/tmp", inverted); }
    ~Panel() {
        gfx_offscreen_destroy();
        GXCloseDisplay();
    }
    // What the user sees at landscape (x, y).
    uint16_t seen(int x, int y) {
        emu_screen(screen.data());
        return screen[y * 320 + x];
    }
    std::vector<uint16_t> all() {
        emu_screen(screen.data());
        return screen;
    }
    std::vector<uint16_t> screen = std::vector<uint16_t>(320 * 240);
};

const uint16_t WHITE = 0xFFFF, BLACK = 0x0000;
const uint16_t RED = (0xA8 & 0xF8) << 8;

class Orientations : public ::testing::TestWithParam<bool> {};

}  // namespace

TEST(Clip, RefusesAClipOneRowHighAndKeepsThePreviousOne) {
    Panel p(false);
    gfx_set_clip(10, 20, 100, 200);
    gfx_set_clip(5, 5, 5, 100);
    EXPECT_EQ(gfx.clip.top, 10);
    EXPECT_EQ(gfx.clip.right, 200);
    gfx_set_clip(0, 0, 239, 320);  // right beyond the screen
    EXPECT_EQ(gfx.clip.right, 200);
    gfx_set_clip(0, 0, 239, 319);
    EXPECT_EQ(gfx.clip.bottom, 239);
}

TEST(Mapping, LandscapeOriginIsTheLastPanelRow) {
    LONG col, row, x, y;
    gfx_to_physical(0, 0, &col, &row);
    EXPECT_EQ(col, 0);
    EXPECT_EQ(row, 319);
    gfx_from_physical(col, row, &x, &y);
    EXPECT_EQ(x, 0);
    EXPECT_EQ(y, 0);
    gfx_to_physical(319, 239, &col, &row);
    EXPECT_EQ(col, 239);
    EXPECT_EQ(row, 0);
}

TEST_P(Orientations, PixelsLandWhereTheUserSeesThemAndTheClipDropsTheRest) {
    Panel p(GetParam());
    gfx_clear_screen(COLOUR_WHITE);
    gfx.frame = (char*)GXBeginDraw();
    gfx_put_pixel(0, 0, BLACK);
    gfx_put_pixel(319, 239, RED);
    gfx_put_pixel(320, 10, BLACK);  // dropped by the default clip
    gfx_put_pixel(10, 240, BLACK);
    gfx_put_pixel(-1, 0, BLACK);
    EXPECT_EQ(p.seen(0, 0), BLACK);
    EXPECT_EQ(p.seen(319, 239), RED);
    EXPECT_EQ(gfx_get_pixel(319, 239), RED);
    int black = 0;
    for (uint16_t v : p.all()) black += v == BLACK;
    EXPECT_EQ(black, 1);
    // Raw panel memory: (0, 0) is physical column 0, row 319.
    const uint16_t* base = (const uint16_t*)gfx.frame;
    EXPECT_EQ(*(base + 319 * gfx.props.cbyPitch / 2), BLACK);
}

TEST_P(Orientations, LinesFillsAndTheBevelFrame) {
    Panel p(GetParam());
    gfx_clear_screen(COLOUR_WHITE);
    gfx.frame = (char*)GXBeginDraw();
    gfx_set_colour(COLOUR_BLACK);
    gfx_move_to(10, 10);
    gfx_line_to(20, 10);  // 11 pixels, both ends
    EXPECT_EQ(gfx.pen_x, 20);
    gfx_move_to(30, 30);
    gfx_line_to(40, 50);  // diagonal: only the pen point, pen stays
    EXPECT_EQ(gfx.pen_x, 30);
    EXPECT_EQ(gfx.pen_y, 30);
    gfx_move_to(50, 60);
    gfx_line_to(50, 55);  // upwards
    int black = 0;
    for (uint16_t v : p.all()) black += v == BLACK;
    EXPECT_EQ(black, 11 + 1 + 6);
    EXPECT_EQ(p.seen(9, 10), WHITE);
    EXPECT_EQ(p.seen(21, 10), WHITE);
    EXPECT_EQ(p.seen(50, 54), WHITE);

    Rect none = {100, 100, 99, 120};
    gfx_fill_rect(&none, COLOUR_RED);
    Rect one = {100, 100, 100, 100};
    gfx_set_colour(COLOUR_GREEN);
    gfx_fill_rect(&one, COLOUR_RED);
    EXPECT_EQ(gfx.pen_colour, (DWORD)COLOUR_GREEN);  // restored
    int red = 0;
    for (uint16_t v : p.all()) red += v == RED;
    EXPECT_EQ(red, 1);
    Rect box = {150, 150, 159, 169};
    gfx_fill_rect_rgb(&box, 0x00FF0000);  // blue, packed 0x00BBGGRR
    EXPECT_EQ(p.seen(150, 150), 0x001F);
    EXPECT_EQ(p.seen(169, 159), 0x001F);
    EXPECT_EQ(p.seen(170, 159), WHITE);

    Rect f = {200, 200, 210, 230};
    gfx_bevel_frame(&f);
    EXPECT_EQ(p.seen(199, 199), BLACK);                       // inner top-left
    EXPECT_EQ(p.seen(198, 198), gfx_rgb565(0x44, 0x44, 0xAA));  // outer top-left
    EXPECT_EQ(p.seen(231, 211), gfx_rgb565(0xBB, 0xBB, 0xBB));  // inner bottom-right
    EXPECT_EQ(p.seen(232, 212), gfx_rgb565(0xA8, 0xA8, 0xED));  // outer bottom-right
    EXPECT_EQ(p.seen(215, 205), WHITE);                        // inside untouched
}

TEST_P(Orientations, SavedAreasComeBackExactlyAndOnlyOnce) {
    Panel p(GetParam());
    gfx_clear_screen(COLOUR_WHITE);
    gfx.frame = (char*)GXBeginDraw();
    for (int i = 0; i < 40; i++) gfx_put_pixel(20 + i, 30 + i % 7, (uint16_t)(0x1234 + i));
    std::vector<uint16_t> before = p.all();
    Rect r = {25, 15, 45, 70};
    uint16_t* saved;
    gfx_save_area(&saved, &r);
    ASSERT_NE(saved, nullptr);
    Rect cover = {0, 0, 239, 319};
    gfx_fill_rect(&cover, COLOUR_RED);
    gfx_restore_area(&saved, &r);
    EXPECT_EQ(saved, nullptr);
    std::vector<uint16_t> after = p.all();
    for (int y = 25; y <= 45; y++)
        for (int x = 15; x <= 70; x++) ASSERT_EQ(after[y * 320 + x], before[y * 320 + x]) << x << "," << y;
    EXPECT_EQ(after[24 * 320 + 15], RED);
    gfx_restore_area(&saved, &r);  // second restore: nothing happens

    // An area wholly outside the clip saves nothing and collapses.
    gfx_set_clip(0, 0, 100, 100);
    Rect out = {150, 150, 160, 160};
    gfx_save_area(&saved, &out);
    EXPECT_EQ(saved, nullptr);
    EXPECT_EQ(out.top, out.bottom);
    // A partly covered area is clipped in place.
    Rect part = {90, 90, 120, 120};
    gfx_save_area(&saved, &part);
    EXPECT_NE(saved, nullptr);
    EXPECT_EQ(part.bottom, 100);
    EXPECT_EQ(part.right, 100);
    free(saved);
}

TEST_P(Orientations, OffscreenPageIsPresentedInOneCopy) {
    Panel p(GetParam());
    gfx_clear_screen(COLOUR_WHITE);
    ASSERT_EQ(gfx_offscreen_create(&gfx.props), 0);
    gfx.off_available = 1;
    gfx.frame = (char*)GXBeginDraw();
    char* screen = gfx.frame;
    EXPECT_EQ(gfx_select_target(1), 1);
    EXPECT_EQ(gfx_select_target(7), 1);  // query
    Rect r = {10, 10, 20, 300};
    gfx_fill_rect(&r, COLOUR_BLUE);
    gfx_put_pixel(319, 239, BLACK);
    EXPECT_EQ(p.seen(10, 10), WHITE);  // nothing on screen yet
    gfx_present();
    EXPECT_EQ(p.seen(10, 10), gfx_rgb565(0, 0, 0xA8));
    EXPECT_EQ(p.seen(300, 20), gfx_rgb565(0, 0, 0xA8));
    EXPECT_EQ(p.seen(319, 239), BLACK);
    EXPECT_EQ(p.seen(9, 10), WHITE);  // the buffer started white
    EXPECT_EQ(gfx_select_target(0), 0);
    EXPECT_EQ(gfx.frame, screen);
}

TEST_P(Orientations, BusyIndicatorGrowsToFullSizeShrinksBackAndIsRepaired) {
    Panel p(GetParam());
    gfx_clear_screen(COLOUR_WHITE);
    ASSERT_EQ(gfx_offscreen_create(&gfx.props), 0);
    gfx.off_available = 1;
    const uint16_t box = gfx_colour24_565(0x00EEDDDD);
    auto pulse_size = [&]() {
        // Width of the black square, from its middle column to its right edge
        // (the left edge runs into the frame's own black line).
        int n = 0;
        while (307 + n <= 319 && p.seen(307 + n, 11) == BLACK) n++;
        return 2 * n - 1;
    };
    busy_indicator_step();
    EXPECT_EQ(busy.shown, 1);
    EXPECT_EQ(p.seen(299, 3), box);
    EXPECT_EQ(p.seen(296, 0), gfx_rgb565(0x44, 0x44, 0xAA));  // the raised frame
    EXPECT_EQ(pulse_size(), 3);
    std::vector<int> sizes;
    for (int i = 0; i < 17; i++) {
        busy_indicator_step();
        sizes.push_back(pulse_size());
    }
    // Grows one pixel a side per step; at 21 by 21 it turns, filling and
    // erasing the outer ring in one step, and shrinks back to 3 by 3.
    std::vector<int> want = {5, 7, 9, 11, 13, 15, 17, 19, 19, 17, 15, 13, 11, 9, 7, 5, 3};
    EXPECT_EQ(sizes, want);
    EXPECT_EQ(busy.counter, 1);
    EXPECT_EQ(busy.growing, 0);
    busy_indicator_step();  // turns again
    EXPECT_EQ(busy.growing, 1);
    busy_indicator_remove();
    EXPECT_EQ(busy.shown, 0);
    for (int y = 0; y <= 23; y++)
        for (int x = 296; x <= 319; x++) ASSERT_EQ(p.seen(x, y), WHITE);
}

TEST_P(Orientations, ImagesHonourTheirTransparentKey) {
    Panel p(GetParam());
    gfx_clear_screen(COLOUR_WHITE);
    gfx.frame = (char*)GXBeginDraw();
    uint16_t px[6] = {0x0000, 0xF800, 0x0000, 0x07E0, 0x001F, 0x0000};
    ImageRecord img = {};
    img.width = 3;
    img.height = 2;
    img.pixels = px;
    img.transparent = 1;
    img.key = 0x0000;
    gfx_draw_image(&img, 318, 100);  // the third column falls off the screen
    EXPECT_EQ(p.seen(318, 100), WHITE);
    EXPECT_EQ(p.seen(319, 100), 0xF800);
    EXPECT_EQ(p.seen(318, 101), 0x07E0);
    img.transparent = 0;
    gfx_draw_image(&img, 10, 10);
    EXPECT_EQ(p.seen(10, 10), BLACK);
    EXPECT_EQ(p.seen(12, 11), BLACK);
}

INSTANTIATE_TEST_SUITE_P(Panel, Orientations, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "Inverted" : "Normal"; });

TEST(Palette, EveryFixedEntryDrawsItsDocumentedColour) {
    Panel p(false);
    // The interface colours as documented, index by index.
    const BYTE want[13][3] = {{0x00, 0x00, 0x00}, {0xBB, 0xBB, 0xBB}, {0xA8, 0xA8, 0xED}, {0xFF, 0xFF, 0xFF},
                              {0x66, 0x66, 0x66}, {0x44, 0x44, 0xAA}, {0xA8, 0x00, 0x00}, {0x00, 0x98, 0x00},
                              {0x00, 0x00, 0xA8}, {0xDD, 0xDD, 0xDD}, {0x99, 0x99, 0x99}, {0xDE, 0xDE, 0xDE},
                              {0xD8, 0xD8, 0xFD}};
    gfx.frame = (char*)GXBeginDraw();
    for (int i = 0; i < 13; i++) {
        Rect r = {10, 20 * i, 20, 20 * i + 10};
        gfx_fill_rect(&r, (DWORD)i);
    }
    for (int i = 0; i < 13; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(gfx.palette[i][0], want[i][0]);
        EXPECT_EQ(gfx.palette[i][1], want[i][1]);
        EXPECT_EQ(gfx.palette[i][2], want[i][2]);
        // Truncated to RGB565, not rounded.
        uint16_t pixel = (uint16_t)(((want[i][0] & 0xF8) << 8) | ((want[i][1] & 0xFC) << 3) | (want[i][2] >> 3));
        EXPECT_EQ(p.seen(20 * i + 5, 15), pixel);
    }
}
