// A device for control tests: the emulated display opened for drawing into
// a fresh device root that holds the shipped font cache, the main pool and
// the text engine loaded from it, zoom off.
#ifndef CV_TESTS_CONTROL_DEVICE_H
#define CV_TESTS_CONTROL_DEVICE_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "emu.h"
#include "gfx/controls.h"
#include "gfx/fb.h"
#include "gfx/pool.h"
#include "gfx/text.h"
#include "shell/app.h"
#include "tests/unit/test_device.h"

struct ControlDevice {
    std::string root;

    explicit ControlDevice(bool inverted = false) {
        root = test_device_root("cvcontrols");
        std::ifstream in(std::string(CV_BINARY_DIR) + "/device/cv/tccache.bin", std::ios::binary);
        std::ofstream out(root + "/cv/tccache.bin", std::ios::binary);
        out << in.rdbuf();
        out.close();
        test_device_open(root, inverted);
        zoom_mode = 0;
        text_sample_background = 1;
        text_startup(0);
        text_load_font_cache();
    }
    ~ControlDevice() {
        text_shutdown();
        text_release_pool();
        GXEndDraw();
        GXCloseDisplay();
        if (test_device_remove(root) != 0) fprintf(stderr, "could not remove %s\n", root.c_str());
    }
    // Whether the font cache loaded (text has width).
    static bool has_text() {
        int err = 0;
        return text_engine && text_measure_cstr(text_engine, "Search", 0, 8, &err) > 0;
    }
    static uint16_t colour(int index) {
        return gfx_rgb565(gfx.palette[index][0], gfx.palette[index][1], gfx.palette[index][2]);
    }
    static uint16_t at(LONG x, LONG y) { return gfx_get_pixel(x, y); }
    static void clear(int index) {
        Rect all = {0, 0, 239, 319};
        gfx_set_clip(0, 0, 239, 319);
        gfx_fill_rect(&all, (DWORD)index);
    }
    // Number of pixels of r that differ from the colour index.
    static int count_not(const Rect& r, int index) {
        int n = 0;
        for (LONG y = r.top; y <= r.bottom; y++)
            for (LONG x = r.left; x <= r.right; x++) n += at(x, y) != colour(index);
        return n;
    }
    static int live_blocks() { return text_pool ? pool_check(text_pool) : -1; }
    // A 16-bit copy of an ASCII string.
    static std::u16string w(const char* s) {
        std::u16string r;
        while (*s) r += (char16_t)(unsigned char)*s++;
        return r;
    }
};

#endif
