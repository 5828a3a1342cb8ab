// Form controls drawn on the emulated display with the shipped font cache:
// layout, drawing states, text boxes, lists, groups and their icons.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "../controls/control_device.h"

namespace {

using D = ControlDevice;

// Picture of a ControlImage as "r r r / r r r / ..." (the form the icons
// are written down in).
std::string picture(const ControlImage& img) {
    std::ostringstream s;
    for (int y = 0; y < img.rows; y++) {
        if (y) s << " / ";
        for (int x = 0; x < img.width; x++) s << (x ? " " : "") << (int)img.pixels[y * img.stride + x];
    }
    return s.str();
}

ButtonControl* text_button(const char* label, LONG left, LONG top) {
    int err = 0;
    ButtonControl* b = button_create(text_engine, label, nullptr, left, top, 7, "b", 3, &err);
    EXPECT_EQ(err, 0);
    return b;
}

void destroy(ButtonControl* b) {
    int err = 0;
    button_destroy(b, &err);
    EXPECT_EQ(err, 0);
}

}  // namespace

TEST(ControlIcons, MatchTheRowsTheyWereDrawnFrom) {
    EXPECT_EQ(picture(icon_radio_off_9),
              "3 3 4 0 0 0 4 3 3 / 3 0 4 3 3 3 2 5 3 / 4 4 3 3 3 3 3 2 2 / 0 3 3 3 3 3 3 3 5 / 0 3 3 3 3 3 3 3 5 / "
              "0 3 3 3 3 3 3 3 5 / 4 4 3 3 3 3 3 2 2 / 3 0 4 3 3 3 2 5 3 / 3 3 2 5 5 5 2 3 3");
    EXPECT_EQ(picture(icon_radio_on_9),
              "3 3 4 0 0 0 4 3 3 / 3 0 4 3 3 3 2 5 3 / 4 4 3 3 3 3 3 2 2 / 0 3 3 4 0 4 3 3 5 / 0 3 3 0 0 0 3 3 5 / "
              "0 3 3 4 0 4 3 3 5 / 4 4 3 3 3 3 3 2 2 / 3 0 4 3 3 3 2 5 3 / 3 3 2 5 5 5 2 3 3");
    EXPECT_EQ(picture(icon_check_off_9),
              "0 0 0 0 0 0 0 0 0 / 0 3 3 3 3 3 3 3 2 / 0 3 3 3 3 3 3 3 2 / 0 3 3 3 3 3 3 3 2 / 0 3 3 3 3 3 3 3 2 / "
              "0 3 3 3 3 3 3 3 2 / 0 3 3 3 3 3 3 3 2 / 0 3 3 3 3 3 3 3 2 / 0 2 2 2 2 2 2 2 2");
    EXPECT_EQ(picture(icon_check_on_9),
              "0 0 0 0 0 0 0 0 0 / 0 0 1 3 3 3 1 0 2 / 0 1 0 1 3 1 0 1 2 / 0 3 1 0 1 0 1 3 2 / 0 3 3 1 0 1 3 3 2 / "
              "0 3 1 0 1 0 1 3 2 / 0 1 0 1 3 1 0 1 2 / 0 0 1 3 3 3 1 0 2 / 0 2 2 2 2 2 2 2 2");
    EXPECT_EQ(picture(icon_radio_off_7),
              "3 3 4 0 4 3 3 / 3 0 4 3 2 5 3 / 4 4 3 3 3 2 2 / 0 3 3 3 3 3 5 / 4 4 3 3 3 2 2 / 3 0 4 3 2 5 3 / "
              "3 3 2 5 2 3 3");
    EXPECT_EQ(picture(icon_radio_on_7),
              "3 3 4 0 4 3 3 / 3 0 4 3 2 5 3 / 4 4 4 0 4 2 2 / 0 3 0 0 0 3 5 / 4 4 4 0 4 2 2 / 3 0 4 3 2 5 3 / "
              "3 3 2 5 2 3 3");
    EXPECT_EQ(picture(icon_check_off_7),
              "0 0 0 0 0 0 0 / 0 3 3 3 3 3 2 / 0 3 3 3 3 3 2 / 0 3 3 3 3 3 2 / 0 3 3 3 3 3 2 / 0 3 3 3 3 3 2 / "
              "0 2 2 2 2 2 2");
    EXPECT_EQ(picture(icon_check_on_7),
              "0 0 0 0 0 0 0 / 0 0 1 3 1 0 2 / 0 1 0 1 0 1 2 / 0 3 1 0 1 3 2 / 0 1 0 1 0 1 2 / 0 0 1 3 1 0 2 / "
              "0 2 2 2 2 2 2");
}

TEST(ControlIcons, ArrowsAreCentredTrianglesOnLightBlue) {
    struct Case {
        const ControlImage* img;
        int width, rows, first;
        std::vector<int> widths;
    } cases[] = {
        {&arrow_down_13, 13, 13, 5, {7, 5, 3, 1}}, {&arrow_up_13, 13, 13, 5, {1, 3, 5, 7}},
        {&arrow_down_9, 9, 9, 3, {5, 3, 1}},       {&arrow_up_9, 9, 9, 3, {1, 3, 5}},
        {&arrow_drop_11, 11, 13, 6, {5, 3, 1}},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(c.img->width, c.width);
        ASSERT_EQ(c.img->rows, c.rows);
        EXPECT_EQ(c.img->flag, 1);
        for (int y = 0; y < c.rows; y++) {
            int k = y - c.first;
            int w = k >= 0 && k < (int)c.widths.size() ? c.widths[k] : 0;
            int start = (c.width - w) / 2;
            for (int x = 0; x < c.width; x++) {
                int want = x >= start && x < start + w ? 0 : 2;
                EXPECT_EQ(c.img->pixels[y * c.img->stride + x], want) << c.width << "x" << c.rows << " at " << x << "," << y;
            }
        }
    }
}

TEST(Buttons, TextButtonIsTwoSizesHighWithHalfASizeAroundTheLabel) {
    D d;
    ASSERT_TRUE(D::has_text());
    int err = 0;
    int w = text_measure_cstr(text_engine, "Search", 0, 8, &err);
    ButtonControl* b = text_button("Search", 165, 40);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->rect.top, 40);
    EXPECT_EQ(b->rect.left, 165);
    EXPECT_EQ(b->rect.bottom, 56);
    EXPECT_EQ(b->rect.right, 165 + 8 + w);
    EXPECT_EQ(b->label_width, w);
    EXPECT_EQ(b->label_x, 169);
    EXPECT_EQ(b->label_y, 52);
    EXPECT_EQ(b->size, 8);
    EXPECT_EQ(b->ordinary, 1);
    EXPECT_EQ(std::u16string((char16_t*)b->label), D::w("Search"));
    EXPECT_STREQ(b->name, "b");
    destroy(b);

    zoom_mode = 1;
    w = text_measure_cstr(text_engine, "Search", 0, 10, &err);
    b = text_button("Search", 10, 20);
    EXPECT_EQ(b->rect.bottom, 40);
    EXPECT_EQ(b->rect.right, 10 + 10 + w);
    EXPECT_EQ(b->label_x, 15);
    EXPECT_EQ(b->label_y, 35);
    destroy(b);
}

TEST(Buttons, ImageButtonTakesItsSizeFromTheImage) {
    D d;
    int err = 0;
    ButtonControl* b = button_create(text_engine, nullptr, &arrow_down_9, 10, 20, 0, nullptr, -1, &err);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->rect.right, 19);
    EXPECT_EQ(b->rect.bottom, 29);
    EXPECT_EQ(b->image.pixels, arrow_down_9.pixels);
    EXPECT_EQ(b->label, nullptr);
    destroy(b);
}

TEST(Buttons, NormalPressedAndHighlightedStates) {
    D d;
    D::clear(COLOUR_WHITE);
    ButtonControl* b = text_button("Go", 100, 100);
    const Rect r = b->rect;
    int err = 0;

    EXPECT_EQ(button_draw(text_engine, b, BUTTON_NORMAL, &err), 1);
    EXPECT_EQ(D::at(r.left, r.top), D::colour(1));
    EXPECT_EQ(D::at(r.left, r.bottom - 1), D::colour(1));
    EXPECT_EQ(D::at(r.right, r.bottom), D::colour(0));
    EXPECT_EQ(D::at(r.right, r.top + 1), D::colour(0));
    EXPECT_EQ(D::at(r.left + 1, r.top + 1), D::colour(2));
    // The label is drawn: some inner pixels are darker than the fill.
    Rect inner = {r.top + 1, r.left + 1, r.bottom - 1, r.right - 1};
    EXPECT_GT(D::count_not(inner, 2), 3);
    std::vector<uint16_t> normal;
    for (LONG y = r.top; y <= r.bottom; y++)
        for (LONG x = r.left; x <= r.right; x++) normal.push_back(D::at(x, y));

    EXPECT_EQ(button_draw(text_engine, b, BUTTON_PRESSED, &err), 1);
    EXPECT_EQ(D::at(r.left, r.top), D::colour(0));
    EXPECT_EQ(D::at(r.left, r.bottom - 1), D::colour(0));
    EXPECT_EQ(D::at(r.right, r.bottom), D::colour(1));
    // The label moved one pixel right and down.
    int w = r.right - r.left + 1;
    for (LONG y = r.top + 2; y < r.bottom; y++)
        for (LONG x = r.left + 2; x < r.right; x++)
            EXPECT_EQ(D::at(x, y), normal[(y - 1 - r.top) * w + (x - 1 - r.left)]) << x << "," << y;

    EXPECT_EQ(button_draw(text_engine, b, BUTTON_HIGHLIGHTED, &err), 1);
    EXPECT_EQ(D::at(r.left + 1, r.top + 1), D::colour(1));
    EXPECT_EQ(D::at(r.left, r.top), D::colour(1));
    EXPECT_EQ(D::at(r.right, r.bottom), D::colour(10));

    // A button that is not an ordinary one is pressed in dark blue, the
    // label white and not moved.
    b->ordinary = 0;
    EXPECT_EQ(button_draw(text_engine, b, BUTTON_PRESSED, &err), 1);
    EXPECT_EQ(D::at(r.left + 1, r.top + 1), D::colour(5));
    EXPECT_EQ(D::at(r.left, r.top), D::colour(1));
    EXPECT_EQ(D::at(r.right, r.bottom), D::colour(10));
    // Light text: pixels brighter than the fill.
    int light = 0;
    for (LONG y = r.top + 1; y < r.bottom; y++)
        for (LONG x = r.left + 1; x < r.right; x++) light += (D::at(x, y) >> 11) > (D::colour(5) >> 11) + 4;
    EXPECT_GT(light, 3);
    destroy(b);
}

TEST(Buttons, ImageButtonStates) {
    D d;
    D::clear(COLOUR_WHITE);
    int err = 0;
    ButtonControl* b = button_create(text_engine, nullptr, &arrow_down_9, 50, 50, 0, nullptr, -1, &err);
    EXPECT_EQ(button_draw(text_engine, b, BUTTON_NORMAL, &err), 0);
    EXPECT_EQ(D::at(51, 51), D::colour(2));
    EXPECT_EQ(D::at(54, 53), D::colour(0));  // triangle row 3, middle
    EXPECT_EQ(D::at(50, 50), D::colour(1));  // top edge
    EXPECT_EQ(D::at(59, 59), D::colour(0));  // bottom-right edge, just outside the picture

    button_draw(text_engine, b, BUTTON_HIGHLIGHTED, &err);
    EXPECT_EQ(D::at(51, 51), D::colour(9));
    EXPECT_EQ(D::at(54, 53), D::colour(1));
    EXPECT_EQ(D::at(59, 59), D::colour(10));

    D::clear(COLOUR_WHITE);
    button_draw(text_engine, b, BUTTON_PRESSED, &err);
    EXPECT_EQ(D::at(55, 54), D::colour(0));  // the triangle, one pixel right and down
    EXPECT_EQ(D::at(54, 53), D::colour(2));
    EXPECT_EQ(D::at(50, 50), D::colour(0));
    destroy(b);
}

TEST(TextBoxes, PasswordBoxShowsOneAsteriskPerCodeUnit) {
    D d;
    ASSERT_TRUE(D::has_text());
    int err = 0;
    std::u16string abc = D::w("abc"), stars = D::w("***");
    TextBox* pw = textbox_create(text_engine, 20, 20, 32, 100, abc.c_str(), 1, "p", 1, 1, 3, &err);
    TextBox* plain = textbox_create(text_engine, 60, 20, 72, 100, stars.c_str(), 2, "q", 1, 0, 3, &err);
    ASSERT_EQ(err, 0);
    EXPECT_EQ(std::u16string((char16_t*)pw->lines[0]), abc);
    D::clear(COLOUR_WHITE);
    EXPECT_EQ(textbox_draw(text_engine, pw, &err), 1);
    textbox_draw(text_engine, plain, &err);
    int inked = 0;
    for (LONG y = -2; y <= 14; y++)
        for (LONG x = -2; x <= 82; x++) {
            EXPECT_EQ(D::at(20 + x, 20 + y), D::at(20 + x, 60 + y)) << x << "," << y;
            inked += D::at(20 + x, 20 + y) != D::colour(3);
        }
    EXPECT_GT(inked, 0);
    textbox_destroy(pw, &err);
    textbox_destroy(plain, &err);
}

TEST(TextBoxes, DrawingFillsWhiteFramesAndGivesTheClipBack) {
    D d;
    D::clear(COLOUR_LIGHT_GREY);
    gfx_set_clip(10, 10, 200, 300);
    int err = 0;
    std::u16string t = D::w("hello");
    TextBox* box = textbox_create(text_engine, 50, 50, 62, 120, t.c_str(), 0, "t", 1, 0, 3, &err);
    textbox_draw(text_engine, box, &err);
    EXPECT_EQ(gfx.clip.top, 10);
    EXPECT_EQ(gfx.clip.right, 300);
    EXPECT_EQ(text_sample_background, 1);
    EXPECT_EQ(D::at(119, 61), D::colour(3));
    EXPECT_EQ(D::at(49, 49), D::colour(0));   // bevel, inner dark ring
    EXPECT_EQ(D::at(48, 48), D::colour(5));
    EXPECT_EQ(D::at(121, 63), D::colour(1));  // inner light ring
    EXPECT_EQ(D::at(122, 64), D::colour(2));
    // The text starts two pixels in, with its baseline at top + 7.
    Rect text = {50, 52, 57, 80};
    EXPECT_GT(D::count_not(text, 3), 5);
    Rect below = {59, 50, 62, 120};
    EXPECT_EQ(D::count_not(below, 3), 0);
    textbox_destroy(box, &err);
}

TEST(TextBoxes, SingleLineBoxKeepsTheTextAfterTheLastBreak) {
    D d;
    int err = 0;
    std::u16string t = D::w("one\ntwo");
    TextBox* box = textbox_create(text_engine, 0, 0, 10, 10, t.c_str(), 0, nullptr, 1, 0, 0, &err);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->line_count, 1);
    EXPECT_EQ(std::u16string((char16_t*)box->lines[0]), D::w("two"));
    std::u16string longer = D::w("abcdef\rxy");
    textbox_set_text_guarded(text_engine, box, longer.c_str(), 1, &err);
    EXPECT_EQ(std::u16string((char16_t*)box->lines[0]), D::w("xy"));
    textbox_destroy(box, &err);
}

TEST(TextBoxes, MultiLineBoxKeepsAtMost32Lines) {
    D d;
    int err = 0;
    std::u16string t;
    for (int i = 0; i < 40; i++) t += D::w(("L" + std::to_string(i) + "\n").c_str());
    TextBox* box = textbox_create(text_engine, 0, 0, 10, 10, t.c_str(), 0, nullptr, 0, 0, 0, &err);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->line_count, 32);
    EXPECT_EQ(std::u16string((char16_t*)box->lines[0]), D::w("L0"));
    EXPECT_EQ(std::u16string((char16_t*)box->lines[31]), D::w("L31"));
    // CR LF is one break; a shorter text leaves no old lines behind.
    std::u16string two = D::w("a\r\nb");
    textbox_set_text_guarded(text_engine, box, two.c_str(), 0, &err);
    EXPECT_EQ(std::u16string((char16_t*)box->lines[0]), D::w("a"));
    EXPECT_EQ(std::u16string((char16_t*)box->lines[1]), D::w("b"));
    EXPECT_EQ(box->lines[2][0], 0);
    EXPECT_EQ(box->lines[31][0], 0);
    textbox_destroy(box, &err);
}

TEST(TextBoxes, LongLinesSplitAt127AndCapacitiesGrow) {
    D d;
    int err = 0;
    std::u16string t(200, u'x');
    TextBox* box = textbox_create(text_engine, 0, 0, 10, 10, t.c_str(), 0, nullptr, 0, 0, 0, &err);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(std::u16string((char16_t*)box->lines[0]), std::u16string(127, u'x'));
    EXPECT_EQ(std::u16string((char16_t*)box->lines[1]), std::u16string(73, u'x'));
    EXPECT_EQ(box->capacities[0], 201);
    EXPECT_EQ(box->capacities[1], 128);
    textbox_destroy(box, &err);

    // A single-line box starts its line again after 127 units.
    box = textbox_create(text_engine, 0, 0, 10, 10, t.c_str(), 0, nullptr, 1, 0, 0, &err);
    EXPECT_EQ(std::u16string((char16_t*)box->lines[0]), std::u16string(73, u'x'));
    textbox_destroy(box, &err);
}

TEST(TextBoxes, DestroyingReleasesEveryBlock) {
    D d;
    int before = D::live_blocks();
    int err = 0;
    std::u16string t(300, u'y');
    TextBox* box = textbox_create(text_engine, 0, 0, 10, 10, t.c_str(), 5, "name", 0, 0, 0, &err);
    EXPECT_EQ(D::live_blocks(), before + 4 + 32);
    textbox_destroy(box, &err);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(D::live_blocks(), before);
}

TEST(Lists, RefuseUnknownKindsAndMissingLists) {
    D d;
    int err = 0;
    EXPECT_EQ(list_create(text_engine, "x", 5, 0, 0, 0, &err), nullptr);
    EXPECT_EQ(err, 1);
    EXPECT_EQ(list_create(text_engine, "x", -1, 0, 0, 0, &err), nullptr);
    EXPECT_EQ(err, 1);
    list_add_item_cstr(text_engine, nullptr, "a", 0, 0, 0, 0, &err);
    EXPECT_EQ(err, 1);
    ListControl* other = list_create(text_engine, "x", LIST_OTHER, 0, 0, 0, &err);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(err, 0);
    list_destroy(other, &err);
}

TEST(Lists, ListsWithoutItemsDrawNothing) {
    D d;
    D::clear(COLOUR_WHITE);
    int err = 0;
    ListControl* box = list_create(text_engine, "b", LIST_BOX, 48, 60, 3, &err);
    ListControl* drop = list_create(text_engine, "d", LIST_DROP_DOWN, 10, 60, 3, &err);
    control_draw(text_engine, box, &err);
    control_draw(text_engine, drop, &err);
    Rect all = {0, 0, 239, 319};
    EXPECT_EQ(D::count_not(all, 3), 0);
    list_destroy(box, &err);
    list_destroy(drop, &err);
}

TEST(Lists, OnlyTheFirstSelectedItemStaysSelected) {
    D d;
    int err = 0;
    ListControl* l = list_create(text_engine, "d", LIST_DROP_DOWN, 20, 0, 3, &err);
    list_add_item_cstr(text_engine, l, "zero", 0, 10, 10, 0, &err);
    list_add_item_cstr(text_engine, l, "one", 1, -1, -1, 1, &err);
    list_add_item_cstr(text_engine, l, "two", 2, -1, -1, 1, &err);
    EXPECT_EQ(l->selected, 1);
    EXPECT_EQ(l->items[1]->selected, 1);
    EXPECT_EQ(l->items[2]->selected, 0);
    list_destroy(l, &err);

    // Check boxes keep every checked item.
    l = list_create(text_engine, "c", LIST_CHECK_BOXES, 0, 0, 3, &err);
    list_add_item(text_engine, l, nullptr, 0, 10, 10, 1, &err);
    list_add_item(text_engine, l, nullptr, 1, 10, 30, 1, &err);
    EXPECT_EQ(l->items[0]->selected, 1);
    EXPECT_EQ(l->items[1]->selected, 1);
    list_destroy(l, &err);
}

TEST(Lists, RowItemsShareTheWidestRightEdgeAndTheArrowFollows) {
    D d;
    ASSERT_TRUE(D::has_text());
    int err = 0;
    int wide = text_measure_cstr(text_engine, "All Products", 0, 8, &err);
    ListControl* l = list_create(text_engine, "0", LIST_DROP_DOWN, 10, 0, 3, &err);
    list_add_item_cstr(text_engine, l, "Books", 0, 9, 87, 1, &err);
    list_add_item_cstr(text_engine, l, "All Products", 1, -1, -1, 0, &err);
    EXPECT_EQ(l->rect.left, 9);
    EXPECT_EQ(l->rect.top, 87);
    EXPECT_EQ(l->rect.bottom, 96);  // the arrow's 9 rows
    EXPECT_EQ(l->rect.right, 9 + wide + 4);
    EXPECT_EQ(l->items[0]->rect.right, l->rect.right);
    EXPECT_EQ(l->items[0]->label_x, 11);
    EXPECT_EQ(l->items[0]->label_y, 8);
    EXPECT_EQ(l->items[0]->rect.bottom, 10);
    EXPECT_EQ(l->arrow->rect.left, l->rect.right + 2);
    EXPECT_EQ(l->arrow->rect.top, 87);
    EXPECT_EQ(l->total_height, 24);
    list_destroy(l, &err);

    // A requested width fixes the right edge.
    l = list_create(text_engine, "0", LIST_DROP_DOWN, 10, 74, 3, &err);
    list_add_item_cstr(text_engine, l, "All Products", 0, 9, 87, 1, &err);
    EXPECT_EQ(l->rect.right, 83);
    EXPECT_EQ(l->arrow->rect.left, 85);
    list_destroy(l, &err);
}

TEST(Lists, ListBoxOfTenItemsInFourRowsScrolls) {
    D d;
    D::clear(COLOUR_WHITE);
    int err = 0;
    int before = D::live_blocks();
    ListControl* l = list_create(text_engine, "lb", LIST_BOX, 48, 60, 3, &err);
    for (int i = 0; i < 10; i++)
        list_add_item_cstr(text_engine, l, ("Item " + std::to_string(i)).c_str(), i, i ? -1 : 20, i ? -1 : 30,
                           i == 1, &err);
    ASSERT_EQ(err, 0);
    EXPECT_EQ(l->visible_rows, 4);
    EXPECT_EQ(l->visible_height, 48);
    EXPECT_EQ(l->rect.top, 30);
    EXPECT_EQ(l->rect.bottom, 78);
    EXPECT_EQ(l->rect.right, 80);
    EXPECT_EQ(l->total_height, 120);
    EXPECT_EQ(l->selected, 1);

    control_draw(text_engine, l, &err);
    ASSERT_EQ(err, 0);
    ASSERT_NE(l->scroll_first, nullptr);
    ASSERT_NE(l->scroll_second, nullptr);
    EXPECT_EQ(l->scroll_first->rect.left, 81);
    EXPECT_EQ(l->scroll_first->rect.top, 30);
    EXPECT_EQ(l->scroll_second->rect.bottom, 78);
    EXPECT_EQ(l->scroll_first->image.pixels, arrow_up_9.pixels);
    EXPECT_EQ(l->scroll_second->image.pixels, arrow_down_9.pixels);
    // Rows of 12: row 0 white, row 1 (selected) dark blue.
    EXPECT_EQ(D::at(20, 30), D::colour(3));
    EXPECT_EQ(D::at(20, 41), D::colour(3));
    EXPECT_EQ(D::at(20, 42), D::colour(5));
    EXPECT_EQ(D::at(80, 53), D::colour(5));
    EXPECT_EQ(D::at(20, 54), D::colour(3));
    // The band between the arrows, and the frame around list and band.
    EXPECT_EQ(D::at(85, 55), D::colour(1));
    EXPECT_EQ(l->frame.right, l->scroll_first->rect.right);
    EXPECT_EQ(D::at(l->frame.right + 1, 55), D::colour(1));
    EXPECT_EQ(D::at(l->frame.right + 2, 55), D::colour(2));
    EXPECT_EQ(D::at(19, 55), D::colour(0));
    EXPECT_EQ(D::at(18, 55), D::colour(5));
    // Selective redraw of the row that became selected.
    l->items[1]->selected = 0;
    l->items[3]->selected = 1;
    l->selected = 3;
    control_draw_row(text_engine, l, 1, &err);
    control_draw_row(text_engine, l, 3, &err);
    EXPECT_EQ(D::at(20, 42), D::colour(3));
    EXPECT_EQ(D::at(20, 66), D::colour(5));
    list_destroy(l, &err);
    EXPECT_EQ(D::live_blocks(), before);
}

TEST(Lists, ClosedDropDownShowsTheSelectedItem) {
    D d;
    ASSERT_TRUE(D::has_text());
    D::clear(COLOUR_WHITE);
    int err = 0;
    ListControl* l = list_create(text_engine, "0", LIST_DROP_DOWN, 10, 74, 3, &err);
    list_add_item_cstr(text_engine, l, "All Products", 0, 9, 87, 0, &err);
    list_add_item_cstr(text_engine, l, "Books", 1, -1, -1, 1, &err);
    control_draw(text_engine, l, &err);
    EXPECT_EQ(D::at(8, 86), D::colour(0));                  // frame
    EXPECT_EQ(D::at(l->arrow->rect.left + 4, 87 + 4), D::colour(0));  // arrow's triangle
    // "Books" is drawn, not "All Products": compare with a box drawn alone.
    std::vector<uint16_t> got;
    for (LONG x = 9; x <= 83; x++)
        for (LONG y = 87; y <= 96; y++) got.push_back(D::at(x, y));
    D::clear(COLOUR_WHITE);
    Rect box = {87, 9, 96, 83};
    gfx_fill_rect(&box, 3);
    text_sample_background = 0;
    text_set_colours_by_index(text_engine, 0, 3);
    text_draw_cstr(text_engine, "Books", 0, 8, 11, 95, &err);
    text_sample_background = 1;
    std::vector<uint16_t> want;
    for (LONG x = 9; x <= 83; x++)
        for (LONG y = 87; y <= 96; y++) want.push_back(D::at(x, y));
    EXPECT_EQ(got, want);
    list_destroy(l, &err);
}

namespace {

ListControl* drop_down(int items, LONG x, LONG y) {
    int err = 0;
    ListControl* l = list_create(text_engine, "dd", LIST_DROP_DOWN, 10, 60, 3, &err);
    for (int i = 0; i < items; i++)
        list_add_item_cstr(text_engine, l, ("Choice " + std::to_string(i)).c_str(), i, i ? -1 : x, i ? -1 : y,
                           i == 2, &err);
    l->open = 1;
    return l;
}

}  // namespace

TEST(OpenLists, NearTheClipBottomShiftUpToStayTwoPixelsInside) {
    D d;
    D::clear(COLOUR_WHITE);
    int err = 0;
    // 19 rows fit neither below nor above a box in the middle.
    ListControl* l = drop_down(19, 20, 100);
    control_draw(text_engine, l, &err);
    EXPECT_EQ(l->frame.bottom, 237);
    EXPECT_EQ(l->frame.top, 237 - 228 - 1);
    EXPECT_EQ(l->open_rows, 19);
    EXPECT_EQ(D::at(l->frame.left, l->frame.bottom), D::colour(0));
    EXPECT_EQ(D::at(l->frame.right, l->frame.top), D::colour(0));
    EXPECT_EQ(D::at(l->frame.left, 238), D::colour(3));
    // Row 2 is the selected one.
    EXPECT_EQ(D::at(l->frame.left + 1, l->frame.top + 1 + 24), D::colour(5));
    EXPECT_EQ(D::at(l->frame.left + 1, l->frame.top + 1 + 23), D::colour(3));
    list_destroy(l, &err);

    // In a narrower clip the same list stays inside that clip.
    gfx_set_clip(0, 0, 199, 319);
    l = drop_down(19, 20, 100);
    control_draw(text_engine, l, &err);
    EXPECT_EQ(l->frame.bottom, 197);
    EXPECT_GE(l->frame.top, 2);
    EXPECT_EQ(gfx.clip.bottom, 199);
    list_destroy(l, &err);
}

TEST(OpenLists, OpenBelowTheBoxOrAboveItWhenOnlyThatFits) {
    D d;
    int err = 0;
    ListControl* l = drop_down(3, 20, 20);
    Rect f = list_open_frame(l);
    EXPECT_EQ(f.top, l->rect.bottom + 3);
    EXPECT_EQ(f.bottom, f.top + 36 + 1);
    EXPECT_EQ(f.left, 19);
    EXPECT_EQ(f.right, l->arrow->rect.right);
    list_destroy(l, &err);

    l = drop_down(5, 20, 200);
    f = list_open_frame(l);
    EXPECT_EQ(f.bottom, l->rect.top - 3);
    EXPECT_EQ(f.top, f.bottom - 60 - 1);
    list_destroy(l, &err);
}

TEST(OpenLists, OpenTheWayTheOpenerAsksAndStayInsideTheClip) {
    D d;
    int err = 0;
    ListControl* l = drop_down(3, 20, 100);
    l->open_direction = 0;  // above, although there is room below
    Rect f = list_open_frame(l);
    EXPECT_EQ(f.bottom, l->rect.top - 3);
    l->open_direction = 1;
    f = list_open_frame(l);
    EXPECT_EQ(f.top, l->rect.bottom + 3);
    list_destroy(l, &err);

    l = drop_down(5, 20, 200);
    l->open_direction = 1;  // below, with no room there: pushed up into the clip
    f = list_open_frame(l);
    EXPECT_EQ(f.bottom, gfx.clip.bottom - 2);
    list_destroy(l, &err);
}

TEST(OpenLists, ShiftRightIntoTheClipWithTheirLabels) {
    D d;
    D::clear(COLOUR_WHITE);
    int err = 0;
    gfx_set_clip(0, 40, 239, 319);
    ListControl* l = drop_down(3, 20, 20);
    control_draw(text_engine, l, &err);
    EXPECT_EQ(l->frame.left, 40);
    EXPECT_EQ(l->frame.right, l->arrow->rect.right + 21);
    // Text of the rows lies right of the shifted left edge.
    Rect rows = {l->frame.top + 1, 41, l->frame.bottom - 1, 80};
    EXPECT_GT(D::count_not(rows, 3), 10);
    list_destroy(l, &err);
}

TEST(OpenLists, MoreThan19RowsGetArrowsInsideTheOutline) {
    D d;
    D::clear(COLOUR_WHITE);
    int err = 0;
    ListControl* l = drop_down(25, 20, 5);
    control_draw(text_engine, l, &err);
    ASSERT_NE(l->scroll_first, nullptr);
    EXPECT_EQ(l->open_rows, 19);
    EXPECT_EQ(l->scroll_first->rect.right, l->frame.right - 1);
    EXPECT_EQ(l->scroll_first->rect.top, l->frame.top + 1);
    EXPECT_EQ(l->scroll_second->rect.bottom, l->frame.bottom - 1);
    // The band between the arrows is light grey; rows end left of it.
    LONG mid = (l->frame.top + l->frame.bottom) / 2;
    EXPECT_EQ(D::at(l->frame.right - 2, mid), D::colour(1));
    EXPECT_EQ(D::at(l->scroll_first->rect.left - 1, mid), D::colour(3));
    list_destroy(l, &err);
}

TEST(Groups, IconsShowTheSampledBackgroundAndTheirState) {
    D d;
    D::clear(COLOUR_RED);
    int err = 0;
    ListControl* g = list_create(text_engine, "CBs:3", LIST_CHECK_BOXES, 10, 10, 3, &err);
    list_add_item(text_engine, g, nullptr, 1, 50, 50, 0, &err);
    list_add_item(text_engine, g, nullptr, 2, 70, 50, 1, &err);
    EXPECT_EQ(g->items[0]->rect.right, 57);
    EXPECT_EQ(g->items[0]->rect.bottom, 57);
    control_draw(text_engine, g, &err);
    EXPECT_EQ(D::at(50, 50), D::colour(0));
    EXPECT_EQ(D::at(51, 51), D::colour(6));   // index 3: the red page under it
    EXPECT_EQ(D::at(56, 51), D::colour(2));
    EXPECT_EQ(D::at(71, 51), D::colour(0));   // checked: the cross
    EXPECT_EQ(D::at(73, 51), D::colour(6));
    // Drawn again over itself it looks the same.
    control_draw(text_engine, g, &err);
    EXPECT_EQ(D::at(51, 51), D::colour(6));
    list_destroy(g, &err);

    zoom_mode = 1;
    D::clear(COLOUR_WHITE);
    ListControl* r = list_create(text_engine, "grp", LIST_RADIO_BUTTONS, 10, 10, 3, &err);
    list_add_item_cstr(text_engine, r, "Yes", 1, 50, 50, 1, &err);
    list_add_item(text_engine, r, nullptr, 2, 50, 70, 1, &err);
    EXPECT_EQ(r->items[0]->rect.bottom, 59);
    EXPECT_EQ(r->items[0]->label_x, 59 + 5);
    EXPECT_EQ(r->items[0]->label_y, 58);
    EXPECT_EQ(r->items[1]->selected, 0);  // one choice per group
    control_draw(text_engine, r, &err);
    EXPECT_EQ(D::at(54, 54), D::colour(0));  // the dot
    EXPECT_EQ(D::at(54, 74), D::colour(3));
    EXPECT_EQ(D::at(50, 50), D::colour(3));  // background corner
    Rect label = {50, 64, 59, 90};
    EXPECT_GT(D::count_not(label, 3), 5);
    list_destroy(r, &err);
}

TEST(Lists, MoveCarriesTheArrowAndTheLabels) {
    D d;
    int err = 0;
    ListControl* l = list_create(text_engine, "m", LIST_DROP_DOWN, 10, 0, 3, &err);
    list_add_item_cstr(text_engine, l, "a", 0, 10, 10, 1, &err);
    LONG arrow = l->arrow->rect.left;
    list_move(l, 5, 7);
    EXPECT_EQ(l->rect.left, 15);
    EXPECT_EQ(l->rect.top, 17);
    EXPECT_EQ(l->arrow->rect.left, arrow + 5);
    EXPECT_EQ(l->arrow->rect.top, 17);
    EXPECT_EQ(l->items[0]->label_x, 17);
    EXPECT_EQ(l->items[0]->label_y, 8);  // rows stay relative
    list_clear_items(l, &err);
    EXPECT_EQ(l->item_count, 0);
    EXPECT_EQ(l->total_height, 0);
    list_destroy(l, &err);
}

TEST(Lists, AFullPoolRefusesControlsButKeepsItsText) {
    D d;
    int err = 0;
    std::vector<TextBox*> boxes;
    for (int i = 0; i < 40; i++) {
        TextBox* t = textbox_create(text_engine, 0, 0, 10, 10, nullptr, 0, nullptr, 0, 0, 0, &err);
        if (!t) break;
        boxes.push_back(t);
    }
    EXPECT_EQ(err, ERR_SLOTS_FULL);
    EXPECT_LT(boxes.size(), 40u);
    ASSERT_NE(text_engine, nullptr);  // the pool survived
    EXPECT_GT(D::live_blocks(), 0);
    for (TextBox* t : boxes) textbox_destroy(t, &err);
    EXPECT_EQ(err, 0);
}
