// A device for page tests: a temporary device root, the emulated display
// opened and drawn straight through (no off-screen buffer, as on a device
// where it could not be allocated), the page lists and image cache empty.
#ifndef CV_TESTS_PAGE_FIXTURE_H
#define CV_TESTS_PAGE_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "emu.h"
#include "gfx/fb.h"
#include "gfx/text.h"
#include "net/netloop.h"
#include "page/frames.h"
#include "page/image.h"
#include "page/lists.h"
#include "page/page.h"
#include "page/parser.h"
#include "page/rewrite.h"
#include "shell/app.h"
#include "tests/unit/test_device.h"

class PageTest : public ::testing::Test {
public:
    void SetUp() override {
        root = test_device_root("cvpage");
        ASSERT_FALSE(root.empty());
        test_device_open(root);
        gfx.off_available = 0;
        page_images_release();
        page_lists_free();
        page_lists_init();
        zoom_mode = 0;
        page_shrink_count = 0;
        text_colour[0] = text_colour[1] = text_colour[2] = 0;
        app.page_file_path = "/cv/kivo.txt";
        rewrite_fail_alloc = 0;
        parser_tag_observer = nullptr;
    }
    void TearDown() override {
        if (HasFailure()) {
            // Keep what the failing test drew, beside the build.
            std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
            std::string out = std::string(CV_BINARY_DIR) + "/page-test-" + name + ".png";
            std::vector<uint16_t> s = screen();
            emu_write_png(out.c_str(), s.data(), 320, 240);
        }
        page_images_release();
        page_lists_free();
        GXCloseDisplay();
        if (test_device_remove(root) != 0) ADD_FAILURE() << "could not remove " << root;
    }
    // Loads the shipped font cache so that texts are really drawn.
    static void ensure_text(const std::string& root) {
        std::string cmd = "cp '" CV_BINARY_DIR "/device/cv/tccache.bin' '" + root + "/cv/'";
        ASSERT_EQ(system(cmd.c_str()), 0);
        if (!text_engine) {
            ASSERT_EQ(text_startup(0), 0);
            text_load_font_cache();
        }
        ASSERT_NE(text_engine, nullptr);
    }
    static void mkdir_p(const std::string& dir) {
        std::string cmd = "mkdir -p '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string host(const char* device_path) { return root + device_path; }
    void write_page(const std::string& data, const char* path = "/cv/kivo.txt") {
        std::ofstream f(host(path), std::ios::binary);
        f << data;
    }
    std::string read_page(const char* path = "/cv/kivo.txt") {
        std::ifstream f(host(path), std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    std::vector<uint16_t> screen() {
        std::vector<uint16_t> s(320 * 240);
        emu_screen(s.data());
        return s;
    }
    uint16_t at(int x, int y) { return screen()[y * 320 + x]; }
    // Pixels of the rectangle (inclusive) that are not of colour c.
    int count_not(const Rect& r, uint16_t c) {
        std::vector<uint16_t> s = screen();
        int n = 0;
        for (int y = r.top; y <= r.bottom; y++)
            for (int x = r.left; x <= r.right; x++)
                if (s[y * 320 + x] != c) n++;
        return n;
    }
    int count_of(uint16_t c) {
        int n = 0;
        for (uint16_t p : screen())
            if (p == c) n++;
        return n;
    }
    std::string root;
};

const uint16_t WHITE565 = 0xFFFF, BLACK565 = 0x0000, RED565 = 0xF800, BLUE565 = 0x001F;

#endif
