// Pages drawn through the off-screen buffer as the program does it: the
// buffer is presented only when the pass drew something, the screen is the
// target again after every pass, and SW clears the strips and discards the
// page's form controls.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "emu.h"
#include "gfx/fb.h"
#include "gfx/text.h"
#include "page/formtags.h"
#include "page/frames.h"
#include "page/image.h"
#include "page/lists.h"
#include "page/page.h"
#include "shell/app.h"
#include "tests/unit/test_device.h"

namespace {

const uint16_t WHITE = 0xFFFF, BLUE = 0x001F, RED = 0xF800, GREEN = 0x07E0;
const char* PAGE = "/cv/kivo.txt";

class Offscreen : public ::testing::Test {
protected:
    std::string root;
    void SetUp() override {
        root = test_device_root("cvoff");
        ASSERT_FALSE(root.empty());
        ASSERT_EQ(system(("cp '" CV_BINARY_DIR "/device/cv/tccache.bin' '" + root + "/cv/'").c_str()), 0);
        test_device_open(root);
        app_state_init();
        app.page_file_path = PAGE;
        zoom_mode = 0;
        ASSERT_EQ(text_startup(0), 0);
        text_load_font_cache();
        page_images_release();
        page_lists_free();
        page_lists_init();
        ASSERT_EQ(gfx_offscreen_create(&gfx.props), 0);
        gfx.off_available = 1;
        GXEndDraw();
    }
    void TearDown() override {
        page_lists_free();
        page_images_release();
        gfx_offscreen_destroy();
        gfx.off_available = 0;
        text_shutdown();
        text_release_pool();
        GXCloseDisplay();
        test_device_remove(root);
    }
    void write_page(const std::string& data) {
        std::ofstream f(root + PAGE, std::ios::binary);
        f << data;
    }
    // Draws the page file as the paint handler does.
    void draw(int partial = 0) {
        gfx.frame = nullptr;
        page_draw(0, partial);
    }
    std::vector<uint16_t> screen() {
        std::vector<uint16_t> s(320 * 240);
        emu_screen(s.data());
        return s;
    }
    int count(const std::vector<uint16_t>& s, uint16_t c, int x0 = 0, int y0 = 0, int x1 = 319, int y1 = 239) {
        int n = 0;
        for (int y = y0; y <= y1; y++)
            for (int x = x0; x <= x1; x++) n += s[y * 320 + x] == c;
        return n;
    }
    // A page of one colour over the whole screen.
    static std::string solid(const char* bc) {
        return std::string("HTTP/1.0 200 OK\r\n\r\n<FR 0 0 280 1e0><BC ") + bc + "><CR 3 0 0 280 1e0><ST>";
    }
};

TEST_F(Offscreen, APassThatDrawsNothingLeavesTheScreenAsItWas) {
    write_page(solid("0 0 ff"));
    draw();
    ASSERT_EQ(count(screen(), BLUE), 320 * 240);
    EXPECT_EQ(gfx_select_target(2), 0);  // the screen is the target again

    // Headers, a frame, colours and a size draw nothing: the blue page stays,
    // although the pass cleared the buffer to white before reading.
    write_page("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n<FR 0 0 280 1e0><BC ff 0 0><FC 0 0 0><SZ 10><ST>");
    draw();
    EXPECT_EQ(count(screen(), BLUE), 320 * 240);
    EXPECT_EQ(gfx_select_target(2), 0);
    // The same for the early draw of a page that has not drawn yet.
    write_page("HTTP/1.0 200 OK\r\n\r\n<FR 0 0 280 1e0><BC ff 0 0>");
    draw(1);
    EXPECT_EQ(count(screen(), BLUE), 320 * 240);
    EXPECT_EQ(gfx_select_target(2), 0);

    // One drawing tag, and the whole page the buffer holds is presented.
    write_page("HTTP/1.0 200 OK\r\n\r\n<FR 0 0 280 1e0><BC ff 0 0><CR 3 0 0 14 14><ST>");
    draw();
    std::vector<uint16_t> s = screen();
    EXPECT_EQ(count(s, RED, 0, 0, 10, 10), 11 * 11);
    EXPECT_EQ(count(s, WHITE), 320 * 240 - 11 * 11);
    EXPECT_EQ(gfx_select_target(2), 0);
}

TEST_F(Offscreen, AMissingPageFileDrawsNothingAndLeavesTheScreenTheTarget) {
    write_page(solid("0 0 ff"));
    draw();
    app.page_file_path = "/cv/none.txt";
    draw();
    EXPECT_EQ(count(screen(), BLUE), 320 * 240);
    EXPECT_EQ(gfx_select_target(2), 0);
}

TEST_F(Offscreen, APageOfControlsAloneIsShown) {
    // No drawing tag, only a text field: the field is drawn and can be
    // tapped, so the page that holds it must reach the screen.
    write_page(solid("0 0 ff"));
    draw();
    write_page("HTTP/1.0 200 OK\r\n\r\n<FR 0 0 280 1e0><TF 3 14 14 c8 1c q 1 z><ST>");
    draw();
    ASSERT_NE(page_text_controls, nullptr);
    std::vector<uint16_t> s = screen();
    EXPECT_EQ(count(s, BLUE), 0) << "the old page is still on the screen";
    // Inside the field: white ground and the dark letter z.
    EXPECT_GT(count(s, WHITE, 12, 11, 107, 21), 500);
    EXPECT_GT(320 * 240 - count(s, WHITE), 20);
}

TEST_F(Offscreen, SwClearsTheStripsAndDiscardsTheControlsBeforeIt) {
    // A green page with a field, a list and a button, then SW, then one more
    // field after it.
    write_page("HTTP/1.0 200 OK\r\n\r\n<FR 0 0 280 1e0><BC 0 ff 0><CR 3 0 0 280 1e0>"
               "<TF 3 14 14 c8 1c q 1 z><BT 3 14 b4 50 20 go 2 Go>"
               "<LM 3 fa 8c 96 48 pick><LI 0 pick 1 a><LI 0 pick 1 b>"
               "<SW 0 -1e>"
               "<TF 3 14 50 c8 1c after 1 y><ST>");
    draw();
    // Only the field after SW is left.
    ASSERT_NE(page_text_controls, nullptr);
    EXPECT_EQ(page_text_controls->next, nullptr);
    EXPECT_EQ(page_text_controls->rect.top, 41);  // the field at page y 0x50
    EXPECT_EQ(page_buttons, nullptr);
    EXPECT_EQ(page_list_controls, nullptr);
    std::vector<uint16_t> s = screen();
    // The strips: the bottom nine rows and the right nine columns are white.
    EXPECT_EQ(count(s, WHITE, 0, 231, 319, 239), 320 * 9);
    EXPECT_EQ(count(s, WHITE, 311, 0, 319, 239), 9 * 240);
    // Where the discarded controls stood the green page shows.
    EXPECT_EQ(count(s, GREEN, 12, 11, 107, 21), 96 * 11);
    EXPECT_EQ(count(s, GREEN, 10, 90, 49, 105), 40 * 16);
    // The field after it is drawn.
    EXPECT_GT(count(s, WHITE, 12, 41, 107, 51), 500);
    // Drawing again builds the same: SW is met again in every pass.
    draw();
    ASSERT_NE(page_text_controls, nullptr);
    EXPECT_EQ(page_text_controls->next, nullptr);
    EXPECT_EQ(page_buttons, nullptr);
}

}  // namespace
