// Form controls under AddressSanitizer: every block a control takes comes
// back when its frame or page goes, and a pool failure in the middle of a
// page leaves nothing that points at freed memory. The device's main pool is
// released at the end of every test without freeing the blocks still in it,
// so a control that was not destroyed shows up as a leak at exit.
#include <gtest/gtest.h>

#include <string>

#include "page_device.h"

namespace {

using P = PageDevice;

std::string every_kind(const char* frame) {
    std::string f = frame;
    std::string p = P::counted("BT " + f + " 10 10 40 1b b" + f, "Press") + "<CB " + f + " 20 40 1a 1a 1 c>" +
                    "<RB " + f + " 20 60 1a 1a 1 grp" + f + ">" + "<DM " + f + " 60 80 80 1a dm" + f + ">" +
                    P::counted("DI 1 dm" + f, "first") + P::counted("DI 0 dm" + f, "second") + "<LM " + f +
                    " 60 a0 80 30 lm" + f + ">";
    for (int i = 0; i < 6; i++) p += P::counted("LI " + std::string(i == 4 ? "1" : "0") + " lm" + f, "row");
    p += P::counted("TF " + f + " 100 10 60 1a tf" + f, "field") + P::counted("PF " + f + " 100 30 60 1a pf" + f, "pw") +
         P::counted("TA " + f + " 100 50 60 40 ta" + f, std::string(300, 'w') + "\nmore");
    return p;
}

// Frame 3 (the page) and frame 4 (a 480 by 360 frame), each with every kind.
std::string two_frames(const std::string& after) {
    return "<FR 0 0 1e0 168>" + every_kind("3") + every_kind("4") + after;
}

}  // namespace

TEST(ControlsUnderSanitizer, PagesDrawnAgainAndAgainGiveEveryBlockBack) {
    P d;
    int baseline = P::live_blocks();
    d.draw(two_frames(""));
    EXPECT_GT(P::live_blocks(), baseline + 50);
    for (int zoom = 0; zoom < 2; zoom++) {
        zoom_mode = zoom;
        page_draw(0, 0);
    }
    page_controls_free();
    scrollbars_free();
    EXPECT_EQ(P::live_blocks(), baseline);
}

TEST(ControlsUnderSanitizer, RedeclaredFrameTakesItsControlsWithIt) {
    P d;
    d.draw("<FR 0 0 1e0 168>" + every_kind("3"));
    int frame3 = P::live_blocks();
    d.draw(two_frames("<FR 0 0 1e0 168>"));
    EXPECT_EQ(P::live_blocks(), frame3);
    for (ButtonControl* b = page_buttons; b; b = b->next) EXPECT_EQ(b->value, 3);
    for (ListControl* l = page_list_controls; l; l = l->next) EXPECT_EQ(l->id, 3u);
    for (TextBox* t = page_text_controls; t; t = t->next) EXPECT_EQ(t->value, 3);
}

TEST(ControlsUnderSanitizer, ReplacedFrameTakesItsControlsWithIt) {
    P d;
    d.draw("<FR 0 0 1e0 168>" + every_kind("3"));
    int frame3 = P::live_blocks();
    d.draw(two_frames("<sw 4 0 0>"));
    EXPECT_EQ(P::live_blocks(), frame3);
    // As the network loop does when an sw tag arrives.
    frame_controls_remove(3);
    EXPECT_EQ(page_buttons, nullptr);
    EXPECT_EQ(page_list_controls, nullptr);
    EXPECT_EQ(page_text_controls, nullptr);
}

TEST(ControlsUnderSanitizer, OpenListsAndRedrawnRowsKeepNothing) {
    P d;
    d.draw(two_frames(""));
    int err = 0;
    for (ListControl* l = page_list_controls; l; l = l->next) {
        if (l->kind != LIST_DROP_DOWN) continue;
        Rect f = list_open_frame(l);
        gfx_save_area(&l->saved, &f);
        l->open = 1;
        control_draw(text_engine, l, &err);
        control_draw_row(text_engine, l, 1, &err);
        EXPECT_EQ(err, 0);
    }
    // Destroyed while open: the saved screen area goes with the list.
    page_controls_free();
}

TEST(ControlsUnderSanitizer, APoolFailureLeavesNoDanglingControls) {
    P d;
    d.draw(two_frames(""));
    ASSERT_NE(page_buttons, nullptr);
    // Damage the trailer of the first button's label: its release fails,
    // and the pool goes with everything in it.
    ButtonControl* b = page_buttons;
    b->label[wstr_len(b->label) + 1] = 0;
    page_controls_free();
    EXPECT_EQ(text_pool, nullptr);
    EXPECT_EQ(page_buttons, nullptr);
    EXPECT_EQ(page_list_controls, nullptr);
    EXPECT_EQ(page_text_controls, nullptr);
    // The page can still be read: its controls are simply missing.
    page_draw(0, 0);
    EXPECT_EQ(page_buttons, nullptr);
    frame_controls_remove(3);
    page_controls_free();
}
