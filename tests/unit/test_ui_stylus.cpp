// The stylus on page controls: taps on buttons and choices in server
// coordinates, pressed buttons released elsewhere, text controls opening the
// editor and their text messages, drop-down pop-ups and list boxes.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "ui_fixture.h"
#include "page/formtags.h"
#include "page/lists.h"
#include "page/page.h"
#include "gfx/pool.h"
#include <csetjmp>
#include <vector>
#include "ui/editor.h"
#include "ui/stylus.h"
#include "ui/ui.h"

namespace {

std::u16string wide(const char* s) {
    std::u16string w;
    for (; *s; s++) w += (char16_t)(BYTE)*s;
    return w;
}

class Stylus : public UiDevice {
  protected:
    void SetUp() override {
        UiDevice::SetUp();
        memset(&tap_state, 0, sizeof tap_state);
        memset(&list_track, 0, sizeof list_track);
        page_buttons = nullptr;
        page_list_controls = nullptr;
        page_text_controls = nullptr;
    }
    void TearDown() override {
        int e = 0;
        for (ButtonControl* b = page_buttons; b;) {
            ButtonControl* n = b->next;
            button_destroy(b, &e);
            b = n;
        }
        for (ListControl* l = page_list_controls; l;) {
            ListControl* n = l->next;
            free(l->saved);
            l->saved = nullptr;
            list_destroy(l, &e);
            l = n;
        }
        for (TextBox* t = page_text_controls; t;) {
            TextBox* n = t->next;
            textbox_destroy(t, &e);
            t = n;
        }
        page_buttons = nullptr;
        page_list_controls = nullptr;
        page_text_controls = nullptr;
        memset(&tap_state, 0, sizeof tap_state);
        free(app.dynamic_text);
        app.dynamic_text = nullptr;
        zoom_mode = 0;
        UiDevice::TearDown();
    }
    ButtonControl* button(LONG left, LONG top) {
        int e = 0;
        ButtonControl* b = button_create(text_engine, "Send", nullptr, left, top, 0, "send", 0, &e);
        EXPECT_EQ(e, 0);
        b->next = page_buttons;
        page_buttons = b;
        return b;
    }
    ListControl* list(const char* name, int kind, int n, LONG x, LONG y, int height = 0) {
        int e = 0;
        ListControl* l = list_create(text_engine, name, kind, height, 0, 0, &e);
        EXPECT_EQ(e, 0);
        for (int i = 0; i < n; i++) {
            char label[16];
            snprintf(label, sizeof label, "item %d", i);
            list_add_item_cstr(text_engine, l, kind >= LIST_CHECK_BOXES ? nullptr : label, i,
                               kind >= LIST_CHECK_BOXES ? x + 20 * i : x, y, 0, &e);
        }
        EXPECT_EQ(e, 0);
        l->next = page_list_controls;
        page_list_controls = l;
        return l;
    }
    TextBox* text(const char* initial, int multi, const char* name) {
        int e = 0;
        std::u16string w = wide(initial);
        TextBox* t = textbox_create(text_engine, 20, 20, multi ? 80 : 32, 200, w.c_str(), 1, name, !multi, 0, 0, &e);
        EXPECT_EQ(e, 0);
        t->next = page_text_controls;
        page_text_controls = t;
        return t;
    }
    int ev(UINT m, int x, int y) { return stylus_event(hwnd, m, x, y); }
    int press(int x, int y) {
        ev(WM_LBUTTONDOWN, x, y);
        return ev(WM_LBUTTONUP, x, y);
    }
    void draw_lists() {
        gfx.frame = (char*)GXBeginDraw();
        int e = 0;
        for (ListControl* l = page_list_controls; l; l = l->next) control_draw(text_engine, l, &e);
        GXEndDraw();
    }
};

TEST_F(Stylus, AButtonTapIsSentInServerCoordinatesForBothZooms) {
    button(100, 40);
    EXPECT_EQ(press(105, 45), 1);
    EXPECT_TRUE(app.pending_event);
    EXPECT_STREQ(app.event_text, "<MC 204 84>\r\n\r\n");
    app.pending_event = 0;
    zoom_mode = 1;
    press(105, 45);
    EXPECT_STREQ(app.event_text, "<MC 153 63>\r\n\r\n");
}

TEST_F(Stylus, APressedButtonReleasedOutsideSendsNothingAndSlidingBackSends) {
    ButtonControl* b = button(100, 40);
    EXPECT_EQ(ev(WM_LBUTTONDOWN, 105, 45), 1);
    EXPECT_EQ(ev(WM_MOUSEMOVE, 10, 200), 1);
    EXPECT_EQ(tap_state.pressed_lit, 0);
    EXPECT_EQ(ev(WM_LBUTTONUP, 10, 200), 1);
    EXPECT_FALSE(app.pending_event);
    // The button is drawn released: its top-left edge is light grey again.
    EXPECT_EQ(pixel(b->rect.left, b->rect.top), colour(COLOUR_LIGHT_GREY));

    ev(WM_LBUTTONDOWN, 105, 45);
    EXPECT_EQ(pixel(b->rect.left, b->rect.top), colour(COLOUR_BLACK));
    ev(WM_MOUSEMOVE, 10, 200);
    ev(WM_MOUSEMOVE, 106, 46);
    ev(WM_LBUTTONUP, 106, 46);
    EXPECT_TRUE(app.pending_event);
}

TEST_F(Stylus, ATapOffEveryControlIsLeftToTheWindow) {
    button(100, 40);
    EXPECT_EQ(press(10, 200), 0);
    EXPECT_FALSE(app.pending_event);
}

TEST_F(Stylus, CheckBoxesToggleAndRadioButtonsStaySelected) {
    ListControl* c = list("box", LIST_CHECK_BOXES, 1, 20, 10);
    ListControl* r = list("choice", LIST_RADIO_BUTTONS, 2, 100, 10);
    EXPECT_EQ(press(22, 12), 1);
    EXPECT_STREQ(app.event_text, "<MC 43 23>\r\n\r\n");
    EXPECT_TRUE(c->items[0]->selected);
    press(22, 12);
    EXPECT_FALSE(c->items[0]->selected);

    press(122, 12);
    EXPECT_TRUE(r->items[1]->selected);
    EXPECT_FALSE(r->items[0]->selected);
    press(102, 12);
    EXPECT_TRUE(r->items[0]->selected);
    EXPECT_FALSE(r->items[1]->selected);
    app.pending_event = 0;
    press(102, 12);  // already selected: stays, the tap is still sent
    EXPECT_TRUE(r->items[0]->selected);
    EXPECT_TRUE(app.pending_event);
}

TEST_F(Stylus, TextMessagesCountLinesAndUtf8Bytes) {
    TextBox* area = text("ab", 1, "notes");
    EXPECT_EQ(stylus_text_message(area), 1);
    EXPECT_STREQ(app.dynamic_text, "<TA notes 3 2 ab >");
    TextBox* field = text("x", 0, "q");
    stylus_text_message(field);
    EXPECT_STREQ(app.dynamic_text, "<TF q 2 1 x >");
    field->lines[0][0] = 0xE9;
    stylus_text_message(field);
    EXPECT_STREQ(app.dynamic_text, "<TF q 2 2 \xC3\xA9 >");
    // Lines joined with a line feed; trailing empty lines dropped.
    std::u16string two = wide("a\nbc");
    int e = 0;
    textbox_set_text_guarded(text_engine, area, two.c_str(), 0, &e);
    stylus_text_message(area);
    EXPECT_STREQ(app.dynamic_text, "<TA notes 5 4 a\nbc >");
    EXPECT_TRUE(app.pending_dynamic);
}

TEST_F(Stylus, ALongTextIsNeverCut) {
    TextBox* area = text("", 1, "long");
    for (int i = 0; i < 32; i++) {
        for (int k = 0; k < 100; k++) area->lines[i][k] = 0x20AC;
        area->lines[i][100] = 0;
    }
    stylus_text_message(area);
    std::string m = app.dynamic_text;
    EXPECT_EQ(m.substr(0, 16), "<TA long 3232 96");
    EXPECT_EQ(m.size(), strlen("<TA long 3232 9631 ") + 9631 + 2);
    EXPECT_EQ(m.substr(m.size() - 2), " >");
}

TEST_F(Stylus, TappingAFieldOpensTheEditorAndAcceptingQueuesItsText) {
    text("", 0, "who");
    EXPECT_EQ(ev(WM_LBUTTONDOWN, 30, 25), 1);
    int x, y;
    letter_key('a', &x, &y);
    tap(x, y);
    letter_key('b', &x, &y);
    tap(x, y);
    tap(312, 116);
    EXPECT_EQ(ev(WM_LBUTTONUP, 30, 25), 1);
    ASSERT_NE(app.dynamic_text, nullptr);
    EXPECT_STREQ(app.dynamic_text, "<TF who 3 2 ab >");
    EXPECT_TRUE(app.pending_dynamic);
}

TEST_F(Stylus, EscInTheEditorSendsNothing) {
    TextBox* t = text("old", 0, "who");
    ev(WM_LBUTTONDOWN, 30, 25);
    tap(6, 116);
    ev(WM_LBUTTONUP, 30, 25);
    EXPECT_FALSE(app.pending_dynamic);
    EXPECT_EQ(t->lines[0][0], 'o');
}

TEST_F(Stylus, ADropDownWhoseArrowTopIs118OpensDownwardAndAt119Upward) {
    for (LONG arrow_top : {118, 119}) {
        ListControl* d = list(arrow_top == 118 ? "low" : "high", LIST_DROP_DOWN, 3, 40, 30);
        list_move(d, 0, arrow_top - d->arrow->rect.top);
        ASSERT_EQ(d->arrow->rect.top, arrow_top);
        draw_lists();
        EXPECT_EQ(press(d->rect.left + 3, d->rect.top + 3), 1);
        ASSERT_EQ(tap_state.popup_state, 1);
        EXPECT_EQ(tap_state.popup_downward, arrow_top == 118 ? 1 : 0);
        if (arrow_top == 118) {
            EXPECT_GT(d->frame.top, d->rect.bottom);
        } else {
            EXPECT_LT(d->frame.bottom, d->rect.top);
        }
        // A tap outside closes it again.
        press(300, 5);
        EXPECT_NE(tap_state.popup_state, 1);
    }
}

TEST_F(Stylus, ADropDownOpensOnReleaseAndAPickedRowIsSentAndTheScreenRestored) {
    ListControl* d = list("size", LIST_DROP_DOWN, 4, 40, 30);
    draw_lists();
    auto before = screen();
    EXPECT_EQ(press(d->rect.left + 3, d->rect.top + 3), 1);
    ASSERT_EQ(tap_state.popup_state, 1);
    ASSERT_EQ(tap_state.popup_downward, 1);
    EXPECT_NE(screen(), before);
    // Row 2 of the open list.
    LONG y = d->frame.top + 1 + 2 * 12 + 5;
    EXPECT_EQ(press(d->frame.left + 10, y), 1);
    EXPECT_TRUE(app.pending_selection);
    EXPECT_STREQ(app.event_text, "<DM size 2 >");
    EXPECT_TRUE(d->items[2]->selected);
    EXPECT_EQ(tap_state.popup_state, 0);
    // The list closed; the box now shows another label, the rest is as before.
    auto after = screen();
    for (int yy = d->rect.bottom + 4; yy < 240; yy++)
        for (int xx = 0; xx < 320; xx++) ASSERT_EQ(after[yy * 320 + xx], before[yy * 320 + xx]) << xx << "," << yy;
}

// The open list takes the frame of the drawing rules: from the box's left
// less one to the arrow button's right edge, three pixels clear of the box
// (just outside its raised frame) below or above it, rows of 12 inside a
// one-pixel outline. Opening draws nothing outside that frame and the box,
// and closing puts back every pixel.
TEST_F(Stylus, TheOpenListTakesItsFrameFromTheDrawingRulesAndClosingRestoresAll) {
    for (LONG top : {30, 150}) {
        ListControl* d = list(top == 30 ? "below" : "above", LIST_DROP_DOWN, 3, 40, top);
        draw_lists();
        auto before = screen();
        EXPECT_EQ(press(d->rect.left + 3, d->rect.top + 3), 1);
        ASSERT_EQ(tap_state.popup_state, 1);
        const Rect& f = d->frame;
        EXPECT_EQ(f.left, d->rect.left - 1);
        EXPECT_EQ(f.right, d->arrow->rect.right);
        if (top == 30) {
            EXPECT_EQ(f.top, d->rect.bottom + 3);
            EXPECT_EQ(f.bottom, f.top + 3 * 12 + 1);
        } else {
            EXPECT_EQ(f.bottom, d->rect.top - 3);
            EXPECT_EQ(f.top, f.bottom - 3 * 12 - 1);
        }
        auto open = screen();
        Rect box = {d->rect.top - 2, d->rect.left - 2, d->rect.bottom + 2, d->arrow->rect.right + 2};
        for (int y = 0; y < 240; y++)
            for (int x = 0; x < 320; x++) {
                Point p = {x, y};
                if (rect_contains(&p, &f) || rect_contains(&p, &box)) continue;
                ASSERT_EQ(open[y * 320 + x], before[y * 320 + x]) << x << "," << y;
            }
        press(300, 5);  // a tap outside closes it
        EXPECT_EQ(screen(), before);
    }
}

TEST_F(Stylus, ADownOutsideAnOpenPopupClosesItAndItsReleaseDoesNothing) {
    ListControl* d = list("size", LIST_DROP_DOWN, 4, 40, 30);
    button(200, 200);
    draw_lists();
    press(d->rect.left + 3, d->rect.top + 3);
    ASSERT_EQ(tap_state.popup_state, 1);
    EXPECT_EQ(ev(WM_LBUTTONDOWN, 205, 205), 1);
    EXPECT_EQ(tap_state.popup_state, -1);
    EXPECT_EQ(ev(WM_LBUTTONUP, 205, 205), 1);
    EXPECT_FALSE(app.pending_event);
    EXPECT_FALSE(app.pending_selection);
    EXPECT_EQ(tap_state.popup_state, 0);
    EXPECT_EQ(d->open, 0);
}

TEST_F(Stylus, DraggingInAListBoxPastItsLowerEdgeScrollsOneRowPerMove) {
    ListControl* l = list("pick", LIST_BOX, 10, 40, 40, 48);
    draw_lists();
    ASSERT_EQ(l->visible_rows, 4);
    EXPECT_EQ(ev(WM_LBUTTONDOWN, 50, 45), 1);
    EXPECT_EQ(l->selected, 0);
    ev(WM_MOUSEMOVE, 50, 70);
    EXPECT_EQ(l->selected, 2);
    for (int i = 1; i <= 10; i++) {
        ev(WM_MOUSEMOVE, 50, l->rect.bottom + 5);
        EXPECT_EQ(l->first_visible, i < 6 ? i : 6) << i;
    }
    EXPECT_EQ(l->selected, 9);
    EXPECT_EQ(ev(WM_LBUTTONUP, 50, l->rect.bottom + 5), 1);
    EXPECT_STREQ(app.event_text, "<LM pick 9 >");
    EXPECT_TRUE(l->items[9]->selected);
}

TEST_F(Stylus, AListNameTooLongForTheMessageIsShortened) {
    std::string name(100, 'n');
    ListControl* l = list(name.c_str(), LIST_BOX, 3, 40, 40, 36);
    draw_lists();
    press(50, 58);
    std::string m = app.event_text;
    EXPECT_EQ(m.size(), 63u);
    EXPECT_EQ(m.substr(0, 5), "<LM n");
    EXPECT_EQ(m.substr(m.size() - 4), " 1 >");
    (void)l;
}

TEST_F(Stylus, AReleaseAfterThePageWasRebuiltForgetsTheFreedControls) {
    button(100, 40);
    list("pick", LIST_BOX, 10, 40, 140, 48);
    draw_lists();
    ev(WM_LBUTTONDOWN, 105, 45);
    // A full pass frees the page's controls and builds them again.
    page_controls_free();
    button(100, 40);
    EXPECT_EQ(ev(WM_LBUTTONUP, 105, 45), 0);
    EXPECT_FALSE(app.pending_event);

    ListControl* l = list("pick", LIST_BOX, 10, 40, 140, 48);
    draw_lists();
    ev(WM_LBUTTONDOWN, 50, 145);
    ASSERT_EQ(tap_state.popup_state, 1);
    page_controls_free();
    (void)l;
    EXPECT_EQ(ev(WM_MOUSEMOVE, 50, 150), 0);
    EXPECT_EQ(tap_state.popup_state, 0);
    EXPECT_EQ(ev(WM_LBUTTONUP, 50, 150), 0);
    EXPECT_FALSE(app.pending_selection);
}

// Pages drawn by the interpreter from a page file of the test's own.
class StylusOnPage : public Stylus {
  protected:
    std::string root;
    void SetUp() override {
        Stylus::SetUp();
        root = test_device_root("cvstylus");
        ASSERT_EQ(system(("cp " CV_BINARY_DIR "/device/cv/tccache.bin " + root + "/cv/").c_str()), 0);
        test_device_switch_on(root);
        GXOpenDisplay(hwnd, GX_FULLSCREEN);
        gfx.off_available = 0;
        page_lists_init();
        app.page_file_path = "/cv/kivo.txt";
    }
    void TearDown() override {
        page_lists_free();
        page_images_release();
        Stylus::TearDown();
        test_device_remove(root);
    }
    void draw(const std::string& page) {
        std::ofstream(root + "/cv/kivo.txt", std::ios::binary) << page;
        page_draw(0, 0);
    }
};

const char PAGE_OPENING[] = "<FR 0 0 280 1e0><BC ff ff ff><FC 0 0 0><CR 3 0 0 280 1e0>";

// A new record may be allocated where a freed one stood: the stylus must not
// take it for the control it tracked.
TEST_F(StylusOnPage, AButtonRebuiltAtTheSameAddressIsNotTheOneThatWasPressed) {
    std::string page = std::string(PAGE_OPENING) + "<BT 3 c8 50 60 20 send 4 Send>";
    draw(page);
    ASSERT_NE(page_buttons, nullptr);
    ButtonControl* before = page_buttons;
    EXPECT_EQ(ev(WM_LBUTTONDOWN, 110, 45), 1);
    draw(page);  // the page came again while the stylus was down
    ASSERT_NE(page_buttons, nullptr);
    if (page_buttons != before) printf("(the new button stands at another address)\n");
    EXPECT_EQ(ev(WM_LBUTTONUP, 110, 45), 0);  // a plain tap now, for the window
    EXPECT_FALSE(app.pending_event);
}

TEST_F(StylusOnPage, AChosenItemIsNotLookedUpInTheRebuiltGroup) {
    draw(std::string(PAGE_OPENING) + "<RB 3 14 14 e e 0 g><RB 3 3c 14 e e 0 g><RB 3 64 14 e e 0 g>");
    ASSERT_NE(page_list_controls, nullptr);
    ASSERT_EQ(page_list_controls->item_count, 3);
    EXPECT_EQ(ev(WM_LBUTTONDOWN, 51, 11), 1);
    ASSERT_EQ(tap_state.chosen_item, 2);
    draw(std::string(PAGE_OPENING) + "<RB 3 14 14 e e 0 g>");
    ASSERT_EQ(page_list_controls->item_count, 1);
    EXPECT_EQ(ev(WM_LBUTTONUP, 51, 11), 0);
    EXPECT_FALSE(app.pending_event);
    EXPECT_EQ(page_list_controls->items[0]->selected, 0);
}

// The pool's slot table is all but full: the editor builds what fits and
// reports ERR_SLOTS_FULL for the rest (a key row or the text area's arrows),
// the pool itself stays. An accepted text is then shown and sent.
TEST_F(Stylus, AnAcceptedTextIsSentEvenWhenThePoolReportedAnError) {
    TextBox* area = text("", 1, "notes");
    std::vector<void*> fill;
    ASSERT_EQ(setjmp(text_pool->jump), 0);
    auto fill_to = [&](int live) {
        while (text_pool->live < live) fill.push_back(pool_alloc(text_pool, 4));
        while (text_pool->live > live && !fill.empty()) {
            pool_free(text_pool, fill.back());
            fill.pop_back();
        }
    };
    int x, y;
    letter_key('q', &x, &y);
    // Find the least fill at which the editor still takes a "q" and Ok but
    // reports that something did not fit (fuller still, the working lines
    // themselves would not fit and the pool would be lost).
    int level = -1;
    for (int live = POOL_SLOTS - 400; live < POOL_SLOTS - 20 && level < 0; live++) {
        fill_to(live);
        area->lines[0][0] = 0;
        tap(x, y);
        tap(312, 8);
        emu_key(VK_ESCAPE);  // ends the editor when the keys were not there
        int tapped = 0, err = 0;
        int r = text_entry(hwnd, text_engine, area->lines, area->capacities, -1, area->line_count, nullptr,
                           &tapped, 0, &err);
        ASSERT_NE(text_engine, nullptr);
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 1023, PM_REMOVE)) {
        }
        if (r == EDIT_ACCEPTED && err == ERR_SLOTS_FULL && area->lines[0][0] == 'q') level = live;
    }
    ASSERT_GE(level, 0) << "no fill gave a partly built editor";
    fill_to(level);
    area->lines[0][0] = 0;
    EXPECT_EQ(ev(WM_LBUTTONDOWN, 30, 25), 1);
    tap(x, y);
    tap(312, 8);
    EXPECT_EQ(ev(WM_LBUTTONUP, 30, 25), 1);
    EXPECT_EQ(area->lines[0][0], 'q');
    ASSERT_NE(app.dynamic_text, nullptr);
    EXPECT_STREQ(app.dynamic_text, "<TA notes 2 1 q >");
    EXPECT_TRUE(app.pending_dynamic);
    fill_to(0);
}

}  // namespace
