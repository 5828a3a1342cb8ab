// The page stream parser: tag reading and its limits, counted texts, scaling,
// scrambled blocks, the passes, frames, rectangles, text size and scroll bars.
#include "page_fixture.h"

#include <cstring>

#include "gfx/controls.h"
#include "net/framing.h"
#include "pagewriter.h"
#include "shell/datafiles.h"

namespace {

const char OPENING[] = "<FR 0 0 280 1e0><sw 3 0 0><BC ff ff ff><FC 0 0 0><CR 3 0 0 0 0>";

// Bounding box of the pixels that are not white.
Rect ink(const std::vector<uint16_t>& s) {
    Rect r = {999, 999, -1, -1};
    for (int y = 0; y < 240; y++)
        for (int x = 0; x < 320; x++)
            if (s[y * 320 + x] != 0xFFFF) {
                r.top = std::min<LONG>(r.top, y);
                r.left = std::min<LONG>(r.left, x);
                r.bottom = std::max<LONG>(r.bottom, y);
                r.right = std::max<LONG>(r.right, x);
            }
    return r;
}

}  // namespace

TEST_F(PageTest, HttpHeadersBeforeTheTagsArePassedOver) {
    std::string body = std::string(OPENING) + "<BC 0 0 ff><CR 3 8 8 1c0 6e><DL 3 0 100 200 100>";
    write_page(body);
    page_draw(0, 0);
    std::vector<uint16_t> plain = screen();
    write_page("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nX-Note: a > b\r\n\r\n" + body);
    page_draw(0, 0);
    EXPECT_EQ(screen(), plain);
    EXPECT_EQ(at(10, 10), BLUE565);
}

TEST_F(PageTest, TextRunIsPlacedAtItsScaledPenAndBaseline) {
    ensure_text(root);
    write_page(std::string(OPENING) + "<DS 3 7b 62 17 Please try again later.>");
    page_draw(0, 0);
    EXPECT_EQ(parser.text_len, 23u);
    EXPECT_STREQ(parser.text, "Please try again later.");
    Rect r = ink(screen());
    // Pen at x 62, baseline at y 49: the capital P starts at the pen, the
    // letters stand on row 48, the descenders of y and g reach below.
    EXPECT_GE(r.left, 62);
    EXPECT_LE(r.left, 63);
    EXPECT_LE(r.top, 43);
    EXPECT_GE(r.bottom, 49);
    EXPECT_LE(r.bottom, 51);
    EXPECT_GT(r.right, 62 + 60);
}

TEST_F(PageTest, CountedTextHoldingGreaterThanReadsOnAndSkipsTheOwnClose) {
    write_page(std::string(OPENING) + "<DS 3 10 10 3 a>b><BC ff 0 0><CR 3 0 0 280 1e0>");
    std::vector<std::string> texts;
    page_draw(0, 0);
    EXPECT_EQ(parser.text_len, 3u);
    EXPECT_EQ(std::string(parser.text, 3), "a>b");
    // The tags after the text are still executed.
    EXPECT_EQ(at(100, 100), RED565);
}

TEST_F(PageTest, CountedTextLongerThanTheBoundIsPassedOverWithoutExecuting) {
    std::string text(5000, 'x');
    text[100] = '>';
    write_page(std::string(OPENING) + "<DS 3 10 10 1388 " + text + "><BC ff 0 0><CR 3 0 0 280 1e0>");
    page_draw(0, 0);
    EXPECT_EQ(parser.text_len, 0u);
    EXPECT_EQ(at(100, 100), RED565);
}

TEST_F(PageTest, TagOf1023BytesIsExecutedAndOf1024Dropped) {
    auto padded = [](size_t total) {
        std::string t = "<BC ff 0 0";
        t += std::string(total - t.size() - 1, ' ');
        return t + ">";
    };
    ASSERT_EQ(padded(1023).size(), 1023u);
    write_page(std::string(OPENING) + padded(1023) + "<CR 3 0 0 280 1e0>");
    page_draw(0, 0);
    EXPECT_EQ(at(100, 100), RED565);
    write_page(std::string(OPENING) + padded(1024) + "<CR 3 0 0 280 1e0>");
    page_draw(0, 0);
    EXPECT_EQ(at(100, 100), WHITE565);
}

TEST_F(PageTest, PageScaleHalvesOrTakesTwoThirdsWhenZoomed) {
    zoom_mode = 0;
    EXPECT_EQ(page_scale(0), 0);
    EXPECT_EQ(page_scale(1), 1);
    EXPECT_EQ(page_scale(2), 1);
    EXPECT_EQ(page_scale(3), 2);
    EXPECT_EQ(page_scale(0x280), 320);
    EXPECT_EQ(page_scale(-3), -1);  // truncates toward zero
    zoom_mode = 1;
    EXPECT_EQ(page_scale(3), 2);
    EXPECT_EQ(page_scale(0x280), 427);
    zoom_mode = 0;
}

TEST_F(PageTest, ScrambledUrlBlockEntersTheHistoryOnceAndIsRewrittenInTheFile) {
    for (int i = 0; i < HISTORY_SIZE; i++) {
        free(app.history[i]);
        app.history[i] = nullptr;
    }
    uint8_t key[16];
    memcpy(key, working_key, 16);
    std::string page = std::string(OPENING);
    pw_en(page, "<URL http://example.org/a?b=1><BC ff 0 0><CR 3 0 0 280 1e0>", key, 5);  // more tags follow the address
    write_page(page);
    working_key[2] = 0;
    page_draw(0, 0);
    EXPECT_EQ(working_key[2], 5);
    ASSERT_NE(app.history[0], nullptr);
    EXPECT_STREQ(app.history[0], "http://example.org/a?b=1");
    EXPECT_EQ(at(100, 100), RED565);
    std::string file = read_page();
    EXPECT_NE(file.find("<EE "), std::string::npos);
    EXPECT_NE(file.find("<URR http://example.org/a?b=1>"), std::string::npos);
    page_draw(0, 0);
    EXPECT_EQ(app.history[1], nullptr);  // not added a second time
    EXPECT_EQ(at(100, 100), RED565);
}

TEST_F(PageTest, IncompleteScrambledBlockStopsThePassUntilItArrives) {
    uint8_t key[16];
    memcpy(key, working_key, 16);
    std::string block;
    pw_en(block, "<BC ff 0 0><CR 3 0 0 280 1e0>", key, 1);
    write_page(std::string(OPENING) + block.substr(0, block.size() - 3));
    page_draw(0, 0);
    EXPECT_EQ(at(100, 100), WHITE565);
    write_page(std::string(OPENING) + block);
    page_draw(0, 0);
    EXPECT_EQ(at(100, 100), RED565);
}

TEST_F(PageTest, APageWithoutImagesRunsOneInvocationAndWithOneRunsThree) {
    write_page(std::string(OPENING) + "<CR 3 0 0 280 1e0>");
    DWORD before = parser.invocations;
    page_draw(0, 0);
    EXPECT_EQ(parser.invocations - before, 1u);
    std::vector<uint8_t> payload = {0, 8, 1, 0xCD, 0xCD, 0xCD, 0, 1, 0, 0, 0, 1, 0, 1, 0, 0, 0, 7, 0, 0, 0xFF, 0xFF, 0xF8, 0};
    std::string page = std::string(OPENING) + "<IS 3 7 10 10>";
    pw_im(page, 3, 10, 10, 2, 2, payload);
    write_page(page);
    before = parser.invocations;
    page_draw(0, 0);
    EXPECT_EQ(parser.invocations - before, 3u);
    EXPECT_EQ(at(8, 8), RED565);
}

TEST_F(PageTest, UnknownTagsAndIeHaveNoEffect) {
    write_page(std::string(OPENING) + "<CR 3 0 0 280 1e0>");
    page_draw(0, 0);
    std::vector<uint16_t> plain = screen();
    write_page(std::string(OPENING) + "<ZZ 1 2 3><IE><ST><KP><EE 9><CR 3 0 0 280 1e0><QQ>");
    page_draw(0, 0);
    EXPECT_EQ(screen(), plain);
}

TEST_F(PageTest, FramesOfTheStandardGeometriesAreNumberedThreeAndFour) {
    write_page("<FR 0 0 280 1e0><FR 0 0 1e0 168><FR 10 20 100 80>");
    page_draw(0, 0);
    PageFrame* f3 = frame_find(3);
    PageFrame* f4 = frame_find(4);
    ASSERT_NE(f3, nullptr);
    ASSERT_NE(f4, nullptr);
    EXPECT_EQ(f3->rect.top, 0);
    EXPECT_EQ(f3->rect.left, 0);
    EXPECT_EQ(f3->rect.bottom, 239);
    EXPECT_EQ(f3->rect.right, 319);
    EXPECT_EQ(f4->rect.bottom, 179);
    EXPECT_EQ(f4->rect.right, 239);
    EXPECT_NE(frame_find((0x20 | (0x10 << 16)) ^ (0x80 | (0x100 << 16))), nullptr);
}

TEST_F(PageTest, AFrameDeclaredAgainKeepsItsFirstRect) {
    // (10, 8, 290, 1e8) numbers as the 640 by 480 page: frame 3 both times,
    // though its geometry differs; the first declaration's rectangle stays.
    write_page("<FR 0 0 280 1e0><FR 10 8 290 1e8>");
    page_draw(0, 0);
    ASSERT_NE(page_frames, nullptr);
    EXPECT_EQ(page_frames->next, nullptr);
    EXPECT_EQ(page_frames->number, 3u);
    EXPECT_EQ(page_frames->rect.top, 0);
    EXPECT_EQ(page_frames->rect.left, 0);
    write_page("<FR 10 8 290 1e8><FR 0 0 280 1e0>");
    page_draw(0, 0);
    ASSERT_NE(page_frames, nullptr);
    EXPECT_EQ(page_frames->next, nullptr);
    EXPECT_EQ(page_frames->number, 3u);
    EXPECT_EQ(page_frames->rect.top, 4);
    EXPECT_EQ(page_frames->rect.left, 8);
    EXPECT_EQ(page_frames->rect.bottom, 239);
    EXPECT_EQ(page_frames->rect.right, 319);
}

TEST_F(PageTest, FrameClipIsNarrowedByItsVerticalBar) {
    write_page(std::string(OPENING) + "<SV 3 26f 11 11 1ad 11 3f>");
    page_draw(0, 0);
    EXPECT_EQ(frame_select_clip(3), 1);
    EXPECT_EQ(gfx.clip.top, 0);
    EXPECT_EQ(gfx.clip.left, 0);
    EXPECT_EQ(gfx.clip.bottom, 239);
    EXPECT_EQ(gfx.clip.right, 311);
    EXPECT_EQ(frame_select_clip(99), 0);
    EXPECT_EQ(gfx.clip.right, 319);
}

TEST_F(PageTest, RectangleFillsExactlyItsScaledPixels) {
    write_page(std::string(OPENING) + "<BC ff 0 0><CR 3 8 8 1c0 6e>");
    page_draw(0, 0);
    EXPECT_EQ(count_not({4, 4, 59, 228}, RED565), 0);
    EXPECT_EQ(count_of(RED565), 56 * 225);
    EXPECT_EQ(at(3, 4), WHITE565);
    EXPECT_EQ(at(229, 59), WHITE565);
    EXPECT_EQ(at(4, 60), WHITE565);
}

TEST_F(PageTest, RectangleOfOneScaledRowFillsTheBottomRow) {
    // top 10 -> 5, bottom 12 -> 6: one row, at y 6.
    write_page(std::string(OPENING) + "<BC ff 0 0><CR 3 14 a 28 2>");
    page_draw(0, 0);
    EXPECT_EQ(count_of(RED565), 21);
    EXPECT_EQ(count_not({6, 10, 6, 30}, RED565), 0);
}

TEST_F(PageTest, RectangleReachingTheBottomEdgeTakesTheTextColour) {
    write_page(std::string(OPENING) + "<BC ff 0 0><FC 0 0 ff><CR 3 0 1dc 280 10>");
    page_draw(0, 0);
    EXPECT_EQ(at(100, 238), BLUE565);
    EXPECT_EQ(at(100, 239), BLUE565);
}

TEST_F(PageTest, EmptyRectangleDrawsNothing) {
    write_page(std::string(OPENING) + "<BC ff 0 0><CR 3 8 8 0 6e><CR 3 8 8 10 -4>");
    page_draw(0, 0);
    EXPECT_EQ(count_of(RED565), 0);
}

TEST_F(PageTest, UnsupportedTextSizeFallsBackTo16) {
    write_page(std::string(OPENING) + "<SZ 11><DS 3 10 20 2 ab>");
    page_draw(0, 0);
    EXPECT_EQ(parser.text_size, 16);
    write_page(std::string(OPENING) + "<SZ 1a><DS 3 10 20 2 ab>");
    page_draw(0, 0);
    EXPECT_EQ(parser.text_size, 26);
}

TEST_F(PageTest, ScrollBarsGetTheirRectanglesFromTheSampleTags) {
    ensure_text(root);  // the bar's buttons live in the text engine's pool
    write_page(std::string(OPENING) + "<SH 3 11 1cf 24d 11 11 23e><SV 3 26f 11 11 1ad 11 3f>");
    page_draw(0, 0);
    ASSERT_NE(page_scrollbars, nullptr);
    ScrollBar* h = page_scrollbars;
    ScrollBar* v = h->next;
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(h->kind, (DWORD)'H');
    EXPECT_EQ(h->rect.top, 232);
    EXPECT_EQ(h->rect.left, 0);
    EXPECT_EQ(h->rect.bottom, 240);
    EXPECT_EQ(h->rect.right, 313);
    EXPECT_EQ(h->position, 0x11u);
    EXPECT_EQ(h->end, 0x11u + 0x23e - 1);
    EXPECT_EQ(v->kind, (DWORD)'V');
    EXPECT_EQ(v->rect.top, 1);
    EXPECT_EQ(v->rect.left, 312);
    EXPECT_EQ(v->rect.bottom, 231);
    EXPECT_EQ(v->rect.right, 320);
    EXPECT_EQ(v->prev, h);
    // Drawn at the end of the pass: the bar's ground and its black arrows.
    EXPECT_EQ(at(316, 100), gfx_rgb565(0xD8, 0xD8, 0xFD));
    EXPECT_EQ(at(316, 20), gfx_rgb565(0xA8, 0xA8, 0xED));  // the thumb, rows 9 to 40
    EXPECT_EQ(at(316, 4), BLACK565);                         // tip of the up arrow
    EXPECT_EQ(at(313, 5), gfx_rgb565(0xA8, 0xA8, 0xED));  // arrow ground inside its edges
    EXPECT_EQ(at(312, 5), gfx_rgb565(0xBB, 0xBB, 0xBB));
}

TEST_F(PageTest, ARepeatedScrollBarOnlyMovesItsThumb) {
    ensure_text(root);
    write_page(std::string(OPENING) + "<SH 3 11 1cf 24d 11 11 100><SH 3 11 1cf 24d 11 80 100>");
    page_draw(0, 0);
    ASSERT_NE(page_scrollbars, nullptr);
    EXPECT_EQ(page_scrollbars->next, nullptr);
    EXPECT_EQ(page_scrollbars->position, 0x80u);
    EXPECT_EQ(page_scrollbars->end, 0x80u + 0x100 - 1);
    ASSERT_NE(page_scrollbars->thumb, nullptr);
    EXPECT_EQ(page_scrollbars->thumb->rect.left, page_scale(0x80));
}

TEST_F(PageTest, ScrollBarsWithTheWrongThicknessAreIgnored) {
    write_page(std::string(OPENING) + "<SH 3 11 1cf 24d 12 11 23e><SV 3 26f 11 10 1ad 11 3f>");
    page_draw(0, 0);
    EXPECT_EQ(page_scrollbars, nullptr);
}

TEST_F(PageTest, SwClearsTheStripsAndRemovesOnlyItselfFromAStatusPage) {
    std::string page = "HTTP/1.0 200 OK\r\n\r\n<FR 0 0 280 1e0><sw 3 0 0><BC ff 0 0><CR 3 0 0 280 1e0>";
    write_page(page);
    page_draw(0, 0);
    std::string file = read_page();
    EXPECT_EQ(file, "HTTP/1.0 200 OK\r\n\r\n<FR 0 0 280 1e0><BC ff 0 0><CR 3 0 0 280 1e0>");
    EXPECT_EQ(at(100, 100), RED565);
}

TEST_F(PageTest, MissingPageFileDrawsNothing) {
    gfx_fill_rect(&gfx.clip, COLOUR_RED);
    app.page_file_path = "/cv/absent.txt";
    DWORD before = parser.invocations;
    page_draw(0, 0);
    EXPECT_EQ(parser.invocations - before, 1u);
    EXPECT_EQ(at(100, 100), gfx_rgb565(0xA8, 0, 0));
}

TEST(Utf8, ConvertsOneTwoAndThreeByteSequencesAndStopsAtFourByteLeads) {
    WCHAR out[16];
    const char in[] = "a\xC3\xA9\xE2\x82\xAC\x80z\xF0q";
    utf8_to_utf16(in, (DWORD)strlen(in), out);
    EXPECT_EQ(out[0], u'a');
    EXPECT_EQ(out[1], 0xE9);
    EXPECT_EQ(out[2], 0x20AC);
    EXPECT_EQ(out[3], u'?');
    EXPECT_EQ(out[4], u'z');
    EXPECT_EQ(out[5], 0);  // the 4-byte lead leaves a 0 that ends the text
    EXPECT_EQ(out[6], u'q');
}

TEST(Utf8, ASequenceCutShortAtTheEndReadsNothingBeyondTheText) {
    WCHAR out[4];
    const char in[] = "\xE2\x82";
    utf8_to_utf16(in, 2, out);
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(out[2], 0);
}

TEST_F(PageTest, RectangleOfAnUnknownFrameSparesTheOtherFrames) {
    // Frame A: x 0, y 0, w 100 (0x64), h 100: Rect {0, 0, 49, 49}.
    DWORD a = (0x64u << 16 | 0x64u);
    char page[256];
    snprintf(page, sizeof page,
             "<FR 0 0 280 1e0><FR 0 0 64 64><BC 0 0 ff><CR %x 0 0 64 64><BC ff 0 0><CR 63 0 0 280 1e0>", a);
    write_page(std::string(page));
    page_draw(0, 0);
    EXPECT_EQ(count_not({0, 0, 49, 49}, BLUE565), 0);
    EXPECT_EQ(at(50, 50), RED565);
    EXPECT_EQ(at(300, 200), RED565);
    // A rectangle of a known frame is clipped to it instead.
    snprintf(page, sizeof page, "<FR 0 0 280 1e0><FR 0 0 64 64><BC 0 ff 0><CR %x 0 0 280 1e0>", a);
    write_page(std::string(page));
    page_draw(0, 0);
    EXPECT_EQ(count_of(0x07E0), 50 * 50);
}

TEST_F(PageTest, ZoomedPagesScaleByTwoThirds) {
    zoom_mode = 1;
    write_page(std::string(OPENING) + "<BC ff 0 0><CR 3 8 8 1c0 6e>");
    page_draw(0, 0);
    zoom_mode = 0;
    // left and top (2 * 8 + 1) / 3 = 5, right (2 * 0x1c8 + 1) / 3 = 304, bottom (2 * 0x76 + 1) / 3 = 79.
    EXPECT_EQ(count_not({5, 5, 79, 304}, RED565), 0);
    EXPECT_EQ(count_of(RED565), 75 * 300);
    PageFrame* f3 = frame_find(3);
    ASSERT_NE(f3, nullptr);
    EXPECT_EQ(f3->rect.right, 319);
    EXPECT_EQ(f3->rect.bottom, 239);
}

TEST_F(PageTest, RemovingAFramesScrollBarsRelinksTheOthers) {
    write_page(std::string(OPENING) +
               "<SV 3 26f 11 11 1ad 11 3f><SV 5 200 11 11 100 11 3f><SH 3 11 1cf 24d 11 11 23e><SV 5 100 11 11 100 11 3f>");
    page_draw(0, 0);
    int n = 0;
    for (ScrollBar* b = page_scrollbars; b; b = b->next) n++;
    ASSERT_EQ(n, 4);
    frame_scrollbars_remove(3);
    ASSERT_NE(page_scrollbars, nullptr);
    EXPECT_EQ(page_scrollbars->prev, nullptr);
    EXPECT_EQ(page_scrollbars->frame, 5u);
    ASSERT_NE(page_scrollbars->next, nullptr);
    EXPECT_EQ(page_scrollbars->next->prev, page_scrollbars);
    EXPECT_EQ(page_scrollbars->next->next, nullptr);
    // Frame 3 is no longer narrowed by a bar.
    frame_select_clip(3);
    EXPECT_EQ(gfx.clip.right, 319);
    scrollbars_free();
    EXPECT_EQ(page_scrollbars, nullptr);
}

TEST_F(PageTest, ImageSetAsideForTheEarlyDrawHasItsPartialPayloadPassedOver) {
    // What has arrived of the payload holds bytes that read like a page cut.
    std::string page = std::string(OPENING) + "<BC ff 0 0><CR 3 0 0 280 1e0><NO 3 0 0 4 4 40><CL><BC 0 0 ff><CR 3";
    write_page(page);
    page_draw(0, 1);
    EXPECT_EQ(read_page(), page);
    EXPECT_EQ(at(100, 100), RED565);
}

// Zoomed in, sizes 22 to 26 would scale to 15 to 17 pixels, which the font
// cache does not hold: such text is drawn at 13 pixels, the largest page
// text size it has, as size 20 is.
TEST_F(PageTest, ZoomedLargeTextIsDrawnAtTheLargestCachedSize) {
    ensure_text(root);
    zoom_mode = 1;
    write_page(std::string(OPENING) + "<SZ 14><DS 3 20 60 5 Large>");
    page_draw(0, 0);
    std::vector<uint16_t> at20 = screen();
    Rect r = ink(at20);
    ASSERT_LE(r.top, r.bottom);  // there is text
    EXPECT_GE(r.bottom - r.top, 8);
    for (const char* size : {"16", "18", "1a"}) {
        write_page(std::string(OPENING) + "<SZ " + size + "><DS 3 20 60 5 Large>");
        page_draw(0, 0);
        EXPECT_EQ(screen(), at20) << "size " << size;
    }
    zoom_mode = 0;
    text_shutdown();
    text_release_pool();
}
