// Pages whose coordinates span all 32 bits: every shape is drawn as its
// clipped part, arithmetic on the page values never overflows (the sanitized
// build of these tests stops on any overflow), and the controls such tags
// make stay usable.
#include "page_fixture.h"

#include <climits>
#include <cstring>

#include "gfx/controls.h"
#include "page/formtags.h"

namespace {

const char OPENING[] = "<FR 0 0 280 1e0><sw 3 0 0><BC ff ff ff><FC 0 0 0><CR 3 0 0 0 0>";

// "<words n text>" with n the text's bytes in hexadecimal.
std::string counted(const std::string& words, const std::string& text) {
    char n[16];
    snprintf(n, sizeof n, "%x", (unsigned)text.size());
    return "<" + words + " " + n + " " + text + ">";
}

}  // namespace

TEST_F(PageTest, PageScaleHoldsExtremeValuesWithinThePixelLimit) {
    for (int zoom = 0; zoom < 2; zoom++) {
        zoom_mode = zoom;
        EXPECT_EQ(page_scale(INT32_MAX), PAGE_PIXEL_LIMIT);
        EXPECT_EQ(page_scale(INT32_MIN), -PAGE_PIXEL_LIMIT);
        EXPECT_EQ(page_scale((int64_t)INT32_MAX + INT32_MAX), PAGE_PIXEL_LIMIT);
        EXPECT_EQ(page_scale((int64_t)INT32_MIN + INT32_MIN), -PAGE_PIXEL_LIMIT);
        // Just inside the limit the value is scaled as ever.
        EXPECT_EQ(page_scale(zoom ? 3 * PAGE_PIXEL_LIMIT / 2 : 2 * PAGE_PIXEL_LIMIT - 1), PAGE_PIXEL_LIMIT);
        EXPECT_EQ(page_scale(zoom ? 3 * PAGE_PIXEL_LIMIT / 2 - 2 : 2 * PAGE_PIXEL_LIMIT - 3), PAGE_PIXEL_LIMIT - 1);
        EXPECT_EQ(page_scale(-0x7ffffffe + 0x7fffffff), 1);
    }
    zoom_mode = 0;
    EXPECT_EQ(page_sum(INT32_MAX, INT32_MAX), INT32_MAX);
    EXPECT_EQ(page_sum(INT32_MIN, -1), INT32_MIN);
    EXPECT_EQ(page_sum(0x11, 0x23e - 1), 0x11 + 0x23e - 1);
}

TEST_F(PageTest, HostileRectanglesFillOnlyTheirClippedArea) {
    for (int zoom = 0; zoom < 2; zoom++) {
        SCOPED_TRACE(zoom ? "zoomed" : "not zoomed");
        zoom_mode = zoom;
        // From far above and left to just past the corner: 2 by 2 pixels.
        write_page(std::string(OPENING) + "<BC ff 0 0><CR 3 -7ffffffe -7ffffffe 7fffffff 7fffffff>");
        page_draw(0, 0);
        EXPECT_EQ(count_of(RED565), 4);
        EXPECT_EQ(count_not({0, 0, 1, 1}, RED565), 0);
        // From (16, 16) on for ever: the frame's whole clip below and right of it.
        int from = zoom ? 11 : 8;
        write_page(std::string(OPENING) + "<BC ff 0 0><CR 3 10 10 7fffffff 7fffffff>");
        page_draw(0, 0);
        EXPECT_EQ(count_of(RED565), (320 - from) * (240 - from));
        EXPECT_EQ(count_not({from, from, 239, 319}, RED565), 0);
        // Wholly beyond the screen, and a width that ends before it starts.
        write_page(std::string(OPENING) + "<BC ff 0 0><CR 3 7fffffff 7fffffff 7fffffff 7fffffff>" +
                   "<CR 3 -80000000 -80000000 7ffffffd 7ffffffd><CR 3 10 10 -80000000 7fffffff>");
        page_draw(0, 0);
        EXPECT_EQ(count_of(RED565), 0);
    }
    zoom_mode = 0;
}

TEST_F(PageTest, HostileLinesDrawOnlyTheirVisiblePixels) {
    for (int zoom = 0; zoom < 2; zoom++) {
        SCOPED_TRACE(zoom ? "zoomed" : "not zoomed");
        zoom_mode = zoom;
        write_page(std::string(OPENING) + "<FC ff 0 0><DL 3 0 0 7ffffffe 0><DL 3 -80000000 14 7fffffff 14>" +
                   "<DL 3 20 7fffffff 20 -80000000>");
        page_draw(0, 0);
        int row = zoom ? 13 : 10, column = zoom ? 21 : 16;
        EXPECT_EQ(count_not({0, 0, 0, 319}, RED565), 0);
        EXPECT_EQ(count_not({row, 0, row, 319}, RED565), 0);
        EXPECT_EQ(count_not({0, column, 239, column}, RED565), 0);
        EXPECT_EQ(count_of(RED565), 320 + 320 + 240 - 2);
    }
    zoom_mode = 0;
}

TEST_F(PageTest, HostileFramesAndScrollingKeepTheirPlaces) {
    ensure_text(root);
    write_page(std::string(OPENING) + "<FR 7fffffff 7fffffff 7fffffff 7fffffff><FR -80000000 -80000000 7fffffff 7fffffff>" +
               "<sw 3 -80000000 7fffffff><SW -80000000 -80000000>" +
               "<SV 3 26f 11 11 1ad 7fffffff 7fffffff><SH 3 11 1cf 7fffffff 11 -80000000 -80000000>" +
               "<BC ff 0 0><CR 3 8 8 4 4>");
    page_draw(0, 0);
    // Every frame's rectangle lies on the screen.
    for (PageFrame* p = page_frames; p; p = p->next) {
        EXPECT_GE(p->rect.left, 0);
        EXPECT_GE(p->rect.top, 0);
        EXPECT_LE(p->rect.right, 319);
        EXPECT_LE(p->rect.bottom, 239);
    }
    // The scroll bars' far ends are held at the largest page value.
    ASSERT_NE(page_scrollbars, nullptr);
    EXPECT_EQ(page_scrollbars->end, (DWORD)INT32_MAX);
    ASSERT_NE(page_scrollbars->next, nullptr);
    EXPECT_EQ(page_scrollbars->next->end, (DWORD)INT32_MIN);
    // The tags after them still draw: (4, 4) to (6, 6).
    EXPECT_EQ(count_of(RED565), 9);
}

TEST_F(PageTest, AControlABillionUnitsWideIsDrawnToTheEdgeAndStaysUsable) {
    ensure_text(root);
    for (int zoom = 0; zoom < 2; zoom++) {
        SCOPED_TRACE(zoom ? "zoomed" : "not zoomed");
        zoom_mode = zoom;
        write_page(std::string(OPENING) + counted("TF 3 10 10 3b9aca00 19 n", "hello") +
                   counted("TA 3 10 40 3b9aca00 3b9aca00 a", "one\ntwo") +
                   counted("BT 3 10 -7fffffff 7fffffff 7fffffff b", "Go") +
                   "<DM 3 7fffff00 10 7fffffff 19 d><DI 1 d 1 x><LM 3 10 7fffff00 7fffffff 7fffffff l><LI 0 l 1 y>");
        page_draw(0, 0);
        ASSERT_NE(page_text_controls, nullptr);
        TextBox* t = page_text_controls;
        EXPECT_EQ(t->rect.right, PAGE_PIXEL_LIMIT - 3 + page_scale(0x10));
        // The field's white ground runs to the screen's right edge, its text at the left.
        int y = (t->rect.top + t->rect.bottom) / 2;
        EXPECT_EQ(at(319, y), WHITE565);
        int dark = 0;
        for (int x = t->rect.left; x < t->rect.left + 40; x++)
            if (at(x, y) != WHITE565) dark++;
        EXPECT_GT(dark, 0);
        ASSERT_NE(t->next, nullptr);
        EXPECT_EQ(at(319, 200), WHITE565);  // the text area fills the rest of the screen
    }
    zoom_mode = 0;
}
