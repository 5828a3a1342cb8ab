// The address bar run directly: empty history, the zoom icon twice, the
// address narrowed to 8 bits, history picks, offline Go.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "ui_fixture.h"
#include "shell/datafiles.h"
#include "ui/ui.h"

namespace {

const char* const SITES[3] = {"http://a/", "http://b/", "http://c/"};

class Bar : public UiDevice {
  protected:
    void SetUp() override {
        UiDevice::SetUp();
        for (int i = 2; i >= 0; i--) history_push(SITES[i]);
    }
    void TearDown() override {
        for (auto& h : app.history) {
            free(h);
            h = nullptr;
        }
        free(app.typed_url);
        app.typed_url = nullptr;
        UiDevice::TearDown();
    }
    void ok() { tap(312, 116); }
    void icon(int left) { tap(left + 7, 116); }
};

TEST_F(Bar, AnEmptyHistoryOpensAnEmptyBoxAndGoQueuesNothing) {
    for (auto& h : app.history) {
        free(h);
        h = nullptr;
    }
    ok();
    address_bar(hwnd);
    EXPECT_FALSE(app.pending_url);
    EXPECT_EQ(app.typed_url, nullptr);
}

TEST_F(Bar, GoKeepsTheTypedAddressForTheMainLoop) {
    ok();
    address_bar(hwnd);
    EXPECT_TRUE(app.pending_url);
    ASSERT_NE(app.typed_url, nullptr);
    EXPECT_STREQ(app.typed_url, "http://a/");
}

TEST_F(Bar, TheZoomIconTwiceSendsInThenOutAndEndsWhereItBegan) {
    icon(190);
    address_bar(hwnd);
    EXPECT_STREQ(app.zoom_text, "<ZU>\r\n\r\n");
    EXPECT_EQ(zoom_mode, 1);
    EXPECT_TRUE(app.pending_zoom);
    icon(190);
    address_bar(hwnd);
    EXPECT_STREQ(app.zoom_text, "<ZD>\r\n\r\n");
    EXPECT_EQ(zoom_mode, 0);
    EXPECT_EQ(app.typed_url, nullptr);
}

TEST_F(Bar, TheOtherIconsQueueTheirRequests) {
    icon(118);
    address_bar(hwnd);
    EXPECT_STREQ(app.history_text, "<BA>\r\n\r\n");
    icon(154);
    address_bar(hwnd);
    EXPECT_STREQ(app.history_text, "<FO>\r\n\r\n");
    icon(136);
    address_bar(hwnd);
    EXPECT_TRUE(app.pending_stop);
    icon(172);
    address_bar(hwnd);
    EXPECT_TRUE(app.pending_reload);
    icon(208);
    address_bar(hwnd);
    EXPECT_EQ(app.ui_mode, 1);
    EXPECT_EQ(app.redraw_pending, 1);
    EXPECT_FALSE(app.pending_url);
    // Not in the page view: the bar does not open at all.
    ok();
    address_bar(hwnd);
    EXPECT_FALSE(app.pending_url);
    app.ui_mode = 0;
}

TEST_F(Bar, ACharacterBeyond8BitsKeepsItsLowByte) {
    tap(305, 150);  // clear the selected address
    tap(15, 150);   // number pad
    tap(62, 227);   // euro sign
    ok();
    address_bar(hwnd);
    ASSERT_NE(app.typed_url, nullptr);
    EXPECT_STREQ(app.typed_url, "\xAC");
}

TEST_F(Bar, PickingTheThirdRowMovesItFirstAndTheFirstRowChangesNothing) {
    tap(313, 132);  // the history arrow
    tap(100, 126 + 2 * 12 + 6);
    ok();
    address_bar(hwnd);
    EXPECT_STREQ(app.typed_url, "http://c/");
    EXPECT_STREQ(app.history[0], "http://c/");
    EXPECT_STREQ(app.history[1], "http://a/");
    EXPECT_STREQ(app.history[2], "http://b/");
    EXPECT_FALSE(app.pending_selection);

    tap(313, 132);
    tap(100, 126 + 6);
    ok();
    address_bar(hwnd);
    EXPECT_STREQ(app.history[0], "http://c/");
    EXPECT_STREQ(app.history[1], "http://a/");
}

TEST_F(Bar, ATapBesideTheOpenListClosesItWithoutAPick) {
    uint16_t before = pixel(150, 200);
    tap(313, 132);
    tap(313, 20);  // above the list: closes it
    ok();
    address_bar(hwnd);
    EXPECT_STREQ(app.history[0], "http://a/");
    EXPECT_EQ(pixel(150, 200), before);  // keypad and list gone
}

TEST_F(Bar, OfflineGoOpensTheTypedNameAsThePageFile) {
    app.offline = 1;
    tap(313, 132);
    tap(100, 126 + 12 + 6);
    ok();
    address_bar(hwnd);
    EXPECT_STREQ(app.history[0], "http://b/");
    EXPECT_EQ(app.page_file_path, app.history[0]);
    EXPECT_EQ(app.redraw_pending, 1);
    app.offline = 0;
}

}  // namespace
