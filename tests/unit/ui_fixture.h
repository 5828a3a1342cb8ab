// Shared set-up for the user-interface tests: the emulated display opened on
// a window, the program's text resources with the generated font cache, and
// helpers that queue a person's taps and keys before a modal screen runs.
#ifndef CV_TESTS_UI_FIXTURE_H
#define CV_TESTS_UI_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emu.h"
#include "gfx/fb.h"
#include "gfx/text.h"
#include "shell/app.h"
#include "tests/unit/test_device.h"

struct UiDevice : public ::testing::Test {
    HWND hwnd = (HWND)1;
    void SetUp() override {
        test_device_open(CV_BINARY_DIR "/device");
        app_state_init();
        zoom_mode = 0;
        app.display = gfx.props;
        app.keys = GXGetDefaultKeys(GX_NORMALKEYS);
        ASSERT_EQ(text_startup(0), 0);
        text_load_font_cache();
        Rect all = {0, 0, 239, 319};
        gfx_fill_rect(&all, COLOUR_PALE_BLUE);
        GXEndDraw();
    }
    void TearDown() override {
        text_shutdown();
        text_release_pool();
        GXCloseDisplay();
    }
    void tap(int x, int y) {
        emu_stylus(WM_LBUTTONDOWN, x, y);
        emu_stylus(WM_LBUTTONUP, x, y);
    }
    std::vector<uint16_t> screen() {
        std::vector<uint16_t> s(320 * 240);
        emu_screen(s.data());
        return s;
    }
    uint16_t pixel(int x, int y) { return screen()[y * 320 + x]; }
    uint16_t colour(int index) {
        return gfx_rgb565(gfx.palette[index][0], gfx.palette[index][1], gfx.palette[index][2]);
    }
};

// Centres of the letter layers' keys (lower-case names).
inline void letter_key(char c, int* x, int* y) {
    static const char* rows[3] = {"qwertyuiop", "asdfghjkl", "zxcvbnm"};
    static const int first[3] = {70, 75, 85};
    static const int centre_y[3] = {170, 190, 210};
    for (int r = 0; r < 3; r++)
        for (int i = 0; rows[r][i]; i++)
            if (rows[r][i] == c) {
                *x = first[r] + 20 * i;
                *y = centre_y[r];
                return;
            }
    *x = *y = -1;
}

#endif
