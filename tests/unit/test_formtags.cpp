// Form-control tags read from page files by the real interpreter: what each
// tag builds, how a later tag finds and refreshes it, frame removal, and the
// form page as the user sees it (golden screenshots).
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../controls/page_device.h"

namespace {

using P = PageDevice;

std::string dm_example() {
    return "<DM 3 d aa 9c 15 0>" + P::counted("DI 1 0", "All Products") + P::counted("DI 0 0", "Books");
}

}  // namespace

TEST(FormTags, SearchButtonIsPlacedSizedAndCentred) {
    P d;
    ASSERT_TRUE(P::has_text());
    d.draw("<BT 3 14a 4f 42 1b 24 6 Search>");
    ASSERT_EQ(P::count_buttons(), 1);
    ButtonControl* b = page_buttons;
    EXPECT_EQ(b->rect.left, 165);
    EXPECT_EQ(b->rect.top, 40);
    EXPECT_EQ(b->rect.right, 197);
    EXPECT_EQ(b->rect.bottom, 53);
    EXPECT_EQ(P::label(b->label), u"Search");
    EXPECT_STREQ(b->name, "24");
    EXPECT_EQ(b->id, 0u);
    EXPECT_EQ(b->value, 3);
    ASSERT_LT(b->label_width, 33);
    EXPECT_EQ(b->label_x, 165 + (33 - b->label_width) / 2);
    EXPECT_EQ(b->label_y, 53 - 4);
    EXPECT_EQ(parser.button_serial, 1u);
    // Drawn at the end of the pass: light blue face, dark bottom edge.
    EXPECT_EQ(P::at(166, 41), P::colour(2));
    EXPECT_EQ(P::at(197, 53), P::colour(0));
}

TEST(FormTags, ButtonLabelKeepsItsSpaces) {
    P d;
    d.draw("<BT 3 194 74 30 1b 18 5  Get >");
    ASSERT_EQ(P::count_buttons(), 1);
    EXPECT_EQ(P::label(page_buttons->label), u" Get ");
}

TEST(FormTags, ButtonWithoutTextBuildsNothingAndKeepsTheSerial) {
    P d;
    d.draw("<BT 3 10 10 40 1b a 0 ><BT 3 14a 4f 42 1b 24 6 Search>");
    ASSERT_EQ(P::count_buttons(), 1);
    EXPECT_EQ(page_buttons->id, 0u);
    EXPECT_EQ(parser.button_serial, 1u);
}

TEST(FormTags, ButtonsOfOneNameAreOneButtonAtTheLastPlace) {
    P d;
    d.draw("<BT 3 10 10 40 1b same 2 OK><BT 3 100 80 40 1b same 2 OK><BT 3 100 100 40 1b other 2 No>");
    ASSERT_EQ(P::count_buttons(), 2);
    ButtonControl* b = page_buttons;
    EXPECT_EQ(b->rect.left, page_scale(0x100));
    EXPECT_EQ(b->rect.top, page_scale(0x80));
    EXPECT_EQ(b->rect.right - b->rect.left, page_scale(0x40) - 1);
    EXPECT_EQ(P::label(b->next->label), u"No");
    EXPECT_EQ(b->next->id, 2u);
}

TEST(FormTags, AButtonAlreadyStandingThereIsKeptUnlessItIsTheLast) {
    P d;
    d.draw("<BT 3 10 10 40 1b a 1 A><BT 3 100 10 40 1b b 1 B><BT 3 10 10 40 1b c 1 C>");
    ASSERT_EQ(P::count_buttons(), 2);
    EXPECT_EQ(P::label(page_buttons->label), u"A");
    EXPECT_EQ(parser.button_serial, 3u);
    // Standing where the last button stands is no reason to skip.
    d.draw("<BT 3 10 10 40 1b a 1 A><BT 3 10 10 40 1b c 1 C>");
    EXPECT_EQ(P::count_buttons(), 2);
}

TEST(FormTags, TheImagePassRefreshesTheRecordsOfTheFullPass) {
    P d;
    std::string items;
    for (int i = 0; i < 6; i++) items += P::counted(std::string("LI ") + (i == 5 ? "1" : "0") + " lb", "row");
    DWORD before = parser.invocations;
    d.draw("<BT 3 14a 4f 42 1b 24 6 Search>" + dm_example() + "<LM 3 20 20 80 30 lb>" + items +
           "<CB 3 20 40 1a 1a 1 c1>" + P::counted("TA 3 d 90 67 40 t", "a\nb") + "<IM 3 0 0 10 10 4>abcd<IE>");
    EXPECT_EQ(parser.invocations - before, 3u);  // full, image and redraw pass
    EXPECT_EQ(P::count_buttons(), 1);
    EXPECT_EQ(P::count_lists(), 3);
    EXPECT_EQ(P::list_named("0")->item_count, 2);
    EXPECT_EQ(P::list_named("lb")->item_count, 6);
    EXPECT_EQ(P::list_named("lb")->first_visible, 4);
    EXPECT_EQ(P::list_named("CBs:3")->item_count, 1);
    EXPECT_EQ(P::count_text_controls(), 1);
    EXPECT_EQ(P::label(page_text_controls->lines[1]), u"b");
}

TEST(FormTags, CheckBoxesOfAFrameFormOneGroup) {
    P d;
    d.draw("<CB 3 20 40 1a 1a 1 c1><CB 3 20 60 1a 1a 0 c2>");
    ASSERT_EQ(P::count_lists(), 1);
    ListControl* g = page_list_controls;
    EXPECT_STREQ(g->name, "CBs:3");
    EXPECT_EQ(g->kind, LIST_CHECK_BOXES);
    EXPECT_EQ(g->id, 3u);
    ASSERT_EQ(g->item_count, 2);
    EXPECT_EQ(g->items[0]->value, 0x00200040);
    EXPECT_EQ(g->items[0]->rect.left, 15);
    EXPECT_EQ(g->items[0]->rect.top, 31);
    EXPECT_EQ(g->items[0]->selected, 1);
    EXPECT_EQ(g->items[1]->value, 0x00200060);
    EXPECT_EQ(g->items[1]->selected, 0);
    // The check box of the first is drawn checked: black cross pixel.
    EXPECT_EQ(P::at(16, 32), P::colour(0));
    EXPECT_EQ(P::at(18, 32), P::colour(3));
}

TEST(FormTags, RadioButtonsGroupByTheirGroupName) {
    P d;
    d.draw("<RB 3 20 40 1a 1a 1 size><RB 3 20 60 1a 1a 0 size><RB 3 20 80 1a 1a 1 colour>");
    ASSERT_EQ(P::count_lists(), 2);
    ListControl* size = P::list_named("size");
    ASSERT_NE(size, nullptr);
    EXPECT_EQ(size->kind, LIST_RADIO_BUTTONS);
    EXPECT_EQ(size->item_count, 2);
    EXPECT_EQ(size->selected, 0);
    ASSERT_NE(P::list_named("colour"), nullptr);
    EXPECT_EQ(P::list_named("colour")->item_count, 1);
}

TEST(FormTags, DropDownWithTwoItemsTheFirstSelected) {
    P d;
    d.draw(dm_example());
    ASSERT_EQ(P::count_lists(), 1);
    ListControl* l = page_list_controls;
    EXPECT_STREQ(l->name, "0");
    EXPECT_EQ(l->kind, LIST_DROP_DOWN);
    ASSERT_EQ(l->item_count, 2);
    EXPECT_EQ(l->items[0]->selected, 1);
    EXPECT_EQ(l->items[1]->selected, 0);
    EXPECT_EQ(l->selected, 0);
    EXPECT_EQ(P::label(l->items[0]->label), u"All Products");
    EXPECT_EQ(P::label(l->items[1]->label), u"Books");
    EXPECT_EQ(l->rect.left, 9);
    EXPECT_EQ(l->rect.top, 87);
    EXPECT_EQ(l->items[0]->rect.left, 9);
    EXPECT_EQ(l->requested_width, 78 - 4);
    EXPECT_EQ(l->rect.right, 9 + 74);
}

TEST(FormTags, ItemsForAListOfTheOtherKindAreDropped) {
    P d;
    d.draw("<LM 3 20 20 80 40 lb>" + P::counted("DI 1 lb", "abc") + P::counted("LI 0 lb", "def") +
           "<DM 3 20 60 80 1a dd>" + P::counted("LI 1 dd", "x") + P::counted("DI 1 dd", "") +
           P::counted("LI 1 nowhere", "y"));
    ListControl* lb = P::list_named("lb");
    ListControl* dd = P::list_named("dd");
    ASSERT_NE(lb, nullptr);
    ASSERT_NE(dd, nullptr);
    ASSERT_EQ(lb->item_count, 1);
    EXPECT_EQ(P::label(lb->items[0]->label), u"def");
    EXPECT_EQ(lb->items[0]->value, 1);  // the dropped DI still counted
    // A DI with no text gives an item with an empty label.
    ASSERT_EQ(dd->item_count, 1);
    EXPECT_EQ(P::label(dd->items[0]->label), u"");
    EXPECT_EQ(dd->items[0]->value, 1);
}

TEST(FormTags, EmptyTextFieldHasItsRect) {
    P d;
    d.draw("<TF 3 d c3 67 19 0 0 >");
    ASSERT_EQ(P::count_text_controls(), 1);
    TextBox* t = page_text_controls;
    EXPECT_EQ(t->rect.top, 99);
    EXPECT_EQ(t->rect.left, 9);
    EXPECT_EQ(t->rect.bottom, 108);
    EXPECT_EQ(t->rect.right, 56);
    EXPECT_EQ(t->single_line, 1);
    EXPECT_EQ(t->password, 0);
    EXPECT_EQ(t->lines[0][0], 0);
    EXPECT_EQ(t->id, 0x000d00c3u);
    EXPECT_STREQ(t->name, "0");
    EXPECT_EQ(t->value, 3);
}

TEST(FormTags, PasswordFieldsAndTextAreas) {
    P d;
    d.draw(P::counted("PF 3 d 10 67 19 pw", "abc") + P::counted("TA 3 d 40 100 60 ta", "one\ntwo\nthree") +
           P::counted("TF 3 d 10 67 19 pw", "xyz"));
    ASSERT_EQ(P::count_text_controls(), 2);
    TextBox* pw = page_text_controls;
    EXPECT_EQ(pw->password, 1);
    // The TF of the same name found the field and gave it its text.
    EXPECT_EQ(P::label(pw->lines[0]), u"xyz");
    TextBox* ta = pw->next;
    EXPECT_EQ(ta->single_line, 0);
    EXPECT_EQ(ta->line_count, 32);
    EXPECT_EQ(P::label(ta->lines[2]), u"three");
}

TEST(FormTags, SecondListBoxTagEmptiesTheListBeforeItsItemsReturn) {
    P d;
    std::string items = P::counted("LI 0 lb", "a") + P::counted("LI 1 lb", "b") + P::counted("LI 0 lb", "c");
    d.draw("<LM 3 20 20 80 40 lb>" + items + "<LM 3 40 30 80 40 lb>" + P::counted("LI 1 lb", "only"));
    ListControl* lb = P::list_named("lb");
    ASSERT_NE(lb, nullptr);
    EXPECT_EQ(P::count_lists(), 1);
    ASSERT_EQ(lb->item_count, 1);
    EXPECT_EQ(P::label(lb->items[0]->label), u"only");
    EXPECT_EQ(lb->rect.left, page_scale(0x40) + 1);
    EXPECT_EQ(lb->rect.top, page_scale(0x30));
}

TEST(FormTags, SelectedItemBeyondTheVisibleRowsScrollsTheListBox) {
    P d;
    std::string items;
    for (int i = 0; i < 8; i++) items += P::counted(std::string("LI ") + (i == 6 ? "1" : "0") + " lb", "row");
    d.draw("<LM 3 20 20 80 30 lb>" + items);  // 0x30 = 48 units, 24 pixels: 2 rows
    ListControl* lb = P::list_named("lb");
    ASSERT_NE(lb, nullptr);
    EXPECT_EQ(lb->visible_rows, 2);
    EXPECT_EQ(lb->first_visible, 7 - 2);
    EXPECT_EQ(lb->selected, 6);
}

TEST(FormTags, DrawingThePageAgainRebuildsTheSameControls) {
    P d;
    std::string page = dm_example() + "<BT 3 14a 4f 42 1b 24 6 Search><CB 3 20 40 1a 1a 1 c1>" +
                       P::counted("TF 3 d 10 67 19 n", "text");
    d.draw(page);
    int blocks = P::live_blocks();
    page_draw(0, 0);
    EXPECT_EQ(P::count_buttons(), 1);
    EXPECT_EQ(P::count_lists(), 2);
    EXPECT_EQ(P::count_text_controls(), 1);
    EXPECT_EQ(P::live_blocks(), blocks);
    page_controls_free();
    EXPECT_EQ(page_buttons, nullptr);
    EXPECT_EQ(page_list_controls, nullptr);
    EXPECT_EQ(page_text_controls, nullptr);
}

namespace {

// Controls in frame 3 and in frame 4 (a 480 by 360 frame).
std::string two_frames(const std::string& after) {
    return "<FR 0 0 1e0 168>" + P::counted("BT 3 10 10 40 1b b3", "Three") + P::counted("BT 4 10 80 40 1b b4", "Four") +
           "<CB 3 20 40 1a 1a 1 c1><CB 4 20 60 1a 1a 0 c2>" + P::counted("TF 4 d 10 67 19 t4", "four") +
           P::counted("TF 3 d 90 67 19 t3", "three") + "<LM 4 100 100 80 40 lb4>" + P::counted("LI 1 lb4", "x") +
           after;
}

}  // namespace

TEST(FrameRemoval, RedeclaredFrameLosesExactlyItsControls) {
    P d;
    d.draw("<FR 0 0 1e0 168>" + P::counted("BT 3 10 10 40 1b b3", "Three") + "<CB 3 20 40 1a 1a 1 c1>" +
           P::counted("TF 3 d 90 67 19 t3", "three"));
    int frame3_only = P::live_blocks();
    d.draw(two_frames("<FR 0 0 1e0 168>"));
    EXPECT_EQ(P::count_buttons(), 1);
    EXPECT_EQ(P::label(page_buttons->label), u"Three");
    EXPECT_EQ(P::count_lists(), 1);
    EXPECT_STREQ(page_list_controls->name, "CBs:3");
    ASSERT_EQ(P::count_text_controls(), 1);
    EXPECT_STREQ(page_text_controls->name, "t3");
    EXPECT_EQ(page_text_controls->prev, nullptr);
    EXPECT_EQ(P::live_blocks(), frame3_only);
}

TEST(FrameRemoval, ReplacedFrameLosesExactlyItsControls) {
    P d;
    d.draw(two_frames("<sw 4 0 0>"));
    EXPECT_EQ(P::count_buttons(), 1);
    EXPECT_EQ(P::label(page_buttons->label), u"Three");
    EXPECT_EQ(P::count_lists(), 1);
    EXPECT_EQ(page_list_controls->item_count, 1);
    EXPECT_EQ(P::count_text_controls(), 1);
    for (TextBox* t = page_text_controls; t; t = t->next) EXPECT_EQ(t->value, 3);
}

TEST(FrameRemoval, RemovingAFrameKeepsTheListsLinked) {
    P d;
    d.draw(two_frames(""));
    ASSERT_EQ(P::count_buttons(), 2);
    frame_controls_remove(3);
    EXPECT_EQ(P::count_buttons(), 1);
    EXPECT_EQ(page_buttons->prev, nullptr);
    EXPECT_EQ(page_buttons->value, 4);
    ASSERT_EQ(P::count_lists(), 2);
    EXPECT_EQ(page_list_controls->prev, nullptr);
    EXPECT_EQ(page_list_controls->next->prev, page_list_controls);
    frame_controls_remove(4);
    EXPECT_EQ(P::count_buttons(), 0);
    EXPECT_EQ(P::count_lists(), 0);
    EXPECT_EQ(P::count_text_controls(), 0);
}

// ---------------------------------------------------------------------------
// The form page as the user sees it.

namespace {

// Every kind of control, labelled, as a server would lay out a form.
std::string form_page() {
    std::string p = "<SZ 18>";
    auto text = [&](int x, int y, const std::string& s) {
        char w[64];
        snprintf(w, sizeof w, "DS 3 %x %x", x, y);
        p += P::counted(w, s);
    };
    text(0x14, 0x24, "Order form");
    p += "<SZ 10>";
    text(0x14, 0x50, "Name");
    p += P::counted("TF 3 78 3c 98 1a name", "Ada Lovelace");
    text(0x14, 0x70, "Password");
    p += P::counted("PF 3 78 5c 98 1a pw", "secret");
    text(0x14, 0x90, "Notes");
    p += P::counted("TA 3 78 7c 98 50 notes", "First line\nSecond line\nThird line");
    p += "<CB 3 78 d8 1a 1a 1 gift>";
    text(0x90, 0xe6, "Gift wrap");
    p += "<CB 3 78 f4 1a 1a 0 news>";
    text(0x90, 0x102, "Newsletter");
    p += "<RB 3 104 d8 1a 1a 0 size>";
    text(0x11c, 0xe6, "Small");
    p += "<RB 3 104 f4 1a 1a 1 size>";
    text(0x11c, 0x102, "Large");
    text(0x14, 0x128, "Category");
    p += "<DM 3 78 114 c0 1a cat>" + P::counted("DI 0 cat", "All Products") + P::counted("DI 1 cat", "Books") +
         P::counted("DI 0 cat", "Music");
    text(0x118, 0x32, "Fruit");
    p += "<LM 3 118 3c a0 60 pick>";
    const char* fruit[] = {"Apple", "Banana", "Cherry", "Damson", "Elder", "Fig", "Grape", "Kiwi", "Lime", "Mango"};
    for (int i = 0; i < 10; i++) p += P::counted(std::string("LI ") + (i == 1 ? "1" : "0") + " pick", fruit[i]);
    p += P::counted("BT 3 78 140 70 22 go", "Search");
    p += P::counted("BT 3 104 140 70 22 reset", " Get ");
    return p;
}

bool read_png(const std::string& path, std::vector<uint16_t>& pixels) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, data.data(), data.size())) return false;
    image.format = PNG_FORMAT_RGB;
    if (image.width != 320 || image.height != 240) {
        png_image_free(&image);
        return false;
    }
    std::vector<png_byte> rgb(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) return false;
    pixels.assign(320 * 240, 0);
    for (int i = 0; i < 320 * 240; i++) pixels[i] = gfx_rgb565(rgb[i * 3], rgb[i * 3 + 1], rgb[i * 3 + 2]);
    return true;
}

// Compares the screen with the golden picture; writes what it got beside
// the build when it differs or there is no golden picture. A missing golden
// picture fails every run: the run never writes one. CV_UPDATE_GOLDEN=1
// writes what was got as the golden (look at it before keeping it).
void expect_golden(const char* name) {
    std::vector<uint16_t> screen(320 * 240);
    emu_screen(screen.data());
    std::string golden = std::string(CV_SOURCE_DIR) + "/tests/controls/golden/" + name + ".png";
    std::string got = std::string(CV_BINARY_DIR) + "/" + name + ".got.png";
    const char* update = getenv("CV_UPDATE_GOLDEN");
    if (update && strcmp(update, "1") == 0) emu_write_png(golden.c_str(), screen.data(), 320, 240);
    std::vector<uint16_t> want;
    if (!read_png(golden, want)) {
        emu_write_png(got.c_str(), screen.data(), 320, 240);
        FAIL() << "no golden picture " << golden << "; got " << got;
    }
    int differ = 0;
    for (size_t i = 0; i < screen.size(); i++) differ += screen[i] != want[i];
    if (differ) emu_write_png(got.c_str(), screen.data(), 320, 240);
    EXPECT_EQ(differ, 0) << "pixels differ from " << golden << "; got " << got;
}

}  // namespace

TEST(FormPage, EveryKindOfControlLooksAsItDid) {
    P d;
    ASSERT_TRUE(P::has_text());
    d.draw(form_page());
    EXPECT_EQ(P::count_text_controls(), 3);
    EXPECT_EQ(P::count_lists(), 4);
    EXPECT_EQ(P::count_buttons(), 2);
    expect_golden("form_page");
}

TEST(FormPage, ZoomedInEveryKindOfControlLooksAsItDid) {
    P d;
    ASSERT_TRUE(P::has_text());
    zoom_mode = 1;
    d.draw(form_page());
    expect_golden("form_page_zoomed");
}

TEST(FormPage, OnAPanelWithANegativePitchLooksTheSame) {
    P d(true);
    ASSERT_TRUE(P::has_text());
    d.draw(form_page());
    expect_golden("form_page");
}

TEST(FormPage, OpenDropDownLooksAsItDid) {
    P d;
    ASSERT_TRUE(P::has_text());
    d.draw(form_page());
    ListControl* cat = P::list_named("cat");
    ASSERT_NE(cat, nullptr);
    cat->open = 1;
    // The way a tap opens it: upward, since its arrow stands below y 118.
    cat->open_direction = cat->arrow->rect.top < 119 ? 1 : 0;
    int err = 0;
    frame_select_clip(cat->id);
    control_draw(text_engine, cat, &err);
    gfx_set_clip(0, 0, 239, 319);
    EXPECT_EQ(err, 0);
    expect_golden("form_page_open");
}

TEST(FormPage, AMissingGoldenPictureFailsAndIsNotWritten) {
    const char* update = getenv("CV_UPDATE_GOLDEN");
    if (update && strcmp(update, "1") == 0) GTEST_SKIP() << "golden pictures are being written";
    std::string golden = std::string(CV_SOURCE_DIR) + "/tests/controls/golden/no_such_picture.png";
    EXPECT_FATAL_FAILURE(expect_golden("no_such_picture"), "no golden picture");
    EXPECT_FALSE(std::ifstream(golden).good());
    EXPECT_FATAL_FAILURE(expect_golden("no_such_picture"), "no golden picture");  // and again on the next run
}
