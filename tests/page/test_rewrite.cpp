// Page file rewriting: the page cut and the removal of a frame's tags.
#include "page_fixture.h"

#include <sys/stat.h>

#include "imageenc.h"
#include "pagewriter.h"

namespace {

using Rewrite = PageTest;

std::vector<uint8_t> tiny_payload(uint32_t id, const char* inside = nullptr) {
    std::vector<uint16_t> px(4, 0x1234);
    std::vector<uint8_t> p = ie_payload(ie_expanded(px, 2, 2, id, false), IMAGE_STORED);
    if (inside) p.insert(p.end(), inside, inside + strlen(inside));  // trailing bytes the decoder ignores
    return p;
}

// Runs frame_tags_remove on the page file, positioned just after the first
// occurrence of `after`.
void remove_after(Rewrite* t, DWORD f, const std::string& after) {
    std::string file = t->read_page();
    size_t at = file.find(after);
    ASSERT_NE(at, std::string::npos);
    frame_tags_remove_at(f, (long)(at + after.size()));
}

}  // namespace

TEST_F(Rewrite, PageCutKeepsOnlyWhatFollowsAndGrowsTheShrinkCount) {
    std::string a = "HTTP/1.0 200 OK\r\n\r\n<FR 0 0 280 1e0><BC 0 0 ff><CR 3 0 0 280 1e0><DS 3 10 10 2 hi>";
    std::string b = "<FR 0 0 280 1e0><BC ff 0 0><CR 3 0 0 280 1e0><ST>";
    write_page(a + "<CL>" + b);
    page_shrink_count = 7;
    page_draw(0, 0);
    EXPECT_EQ(read_page(), b);
    EXPECT_EQ(page_shrink_count, (LONG)(7 + a.size() + 4));
    EXPECT_EQ(at(100, 100), RED565);
    EXPECT_EQ(read_page(PAGE_CUT_TEMP), b);
}

TEST_F(Rewrite, PageCutThatCannotOpenItsTemporaryFileLeavesThePageFile) {
    mkdir_p(host(PAGE_CUT_TEMP));  // a folder where the file should go
    std::string page = "<FR 0 0 280 1e0><BC 0 0 ff><CR 3 0 0 280 1e0><CL><BC ff 0 0><CR 3 0 0 280 1e0>";
    write_page(page);
    page_draw(0, 0);
    EXPECT_EQ(read_page(), page);
    EXPECT_EQ(page_shrink_count, 0);
    EXPECT_EQ(at(100, 100), BLUE565);  // interpretation stopped at the cut, the page stays
}

TEST_F(Rewrite, FrameRemovalTakesTheFramesTagsTextsAndPayloadsOnly) {
    std::string keep_fr = "<FR 0 0 280 1e0>";
    std::string page = "HTTP/1.0 200 OK\r\n\r\n" + keep_fr + "<BC ff ff ff>";
    std::string kept = page;
    // Frame 3 content: kept.
    std::string f3;
    pw_cr(f3, 3, 0, 0, 100, 100);
    pw_ds(f3, 3, 10, 10, "three > stays");
    pw_im(f3, 3, 0, 0, 4, 4, tiny_payload(3));
    pw_sh(f3, 5, 17, 463, 589, 17, 574);
    // Frame 5 content: removed, with its texts and payloads.
    std::string f5;
    pw_cr(f5, 5, 0, 0, 100, 100);
    pw_dl(f5, 5, 0, 0, 10, 0);
    pw_ds(f5, 5, 10, 10, "five > <CR 3 0 0 1 1> goes");
    pw_is(f5, 5, 9, 1, 1);
    pw_bt(f5, 5, 1, 2, 3, 4, "go", "Go > now");
    pw_field(f5, "TF", 5, 1, 2, 3, 4, "q", "");
    pw_check(f5, "CB", 5, 1, 2, 3, 4, 1, "c");
    pw_check(f5, "RB", 5, 1, 2, 3, 4, 0, "r");
    pw_im(f5, 5, 0, 0, 4, 4, tiny_payload(5));
    page += f3 + f5 + "<ST><SS><IE>";
    kept += f3;
    std::string sw = "<sw 5 0 0>";
    std::string after = "<CR 5 0 0 8 8><DS 3 1 1 1 x>";
    write_page(page + sw + after);
    remove_after(this, 5, sw);
    // The IE after frame 3's payload goes too: IE, ST and SS always go.
    std::string expect = kept;
    size_t ie = expect.find("<IE>");
    ASSERT_NE(ie, std::string::npos);
    expect.erase(ie, 4);
    EXPECT_EQ(read_page(), expect + after);
}

TEST_F(Rewrite, ItemsFollowTheirListOnly) {
    std::string page = "<FR 0 0 280 1e0>";
    std::string gone, kept;
    pw_list(gone, "DM", 5, 1, 2, 3, 4, "size");
    pw_item(gone, "DI", 1, "size", "Small");
    pw_item(gone, "DI", 0, "size", "Large > 10");
    pw_list(kept, "DM", 3, 1, 2, 3, 4, "colour");
    pw_item(kept, "DI", 1, "colour", "Red");
    pw_item(kept, "DI", 0, "size", "Late item of another list");
    std::string lb;
    pw_list(lb, "LM", 5, 1, 2, 3, 4, "pick");
    pw_item(lb, "LI", 0, "pick", "One");
    write_page(page + gone + kept + lb + "<sw 5 0 0>");
    frame_tags_remove_at(5, (long)read_page().size());
    EXPECT_EQ(read_page(), page + kept);
}

TEST_F(Rewrite, PayloadHoldingAnEndTagIsKeptIntact) {
    std::string page = "<FR 0 0 280 1e0>";
    pw_im(page, 3, 0, 0, 4, 4, tiny_payload(3, "<ST><DS 5 1 1 1 x>"));
    std::string sw = "<sw 5 0 0>";
    write_page(page + sw);
    remove_after(this, 5, sw);
    std::string expect = page.substr(0, page.size() - 4);  // only the IE goes
    EXPECT_EQ(read_page(), expect);
}

TEST_F(Rewrite, TagsAfterTheOffsetAndEarlierSwTagsStay) {
    std::string page = "<FR 0 0 280 1e0><sw 5 0 0><CR 5 0 0 1 1><sw 5 0 0><CR 5 0 0 2 2>";
    write_page(page);
    // After the second sw: the first sw stays, the second goes, later tags stay.
    frame_tags_remove_at(5, 50);
    EXPECT_EQ(read_page(), "<FR 0 0 280 1e0><sw 5 0 0><CR 5 0 0 2 2>");
}

TEST_F(Rewrite, OutOfMemoryLeavesTheFileUnchanged) {
    std::string page = "<FR 0 0 280 1e0><CR 5 0 0 1 1><ST><sw 5 0 0>";
    write_page(page);
    rewrite_fail_alloc = 1;
    FILE* f = fopen("/cv/kivo.txt", "rb");
    ASSERT_NE(f, nullptr);
    fseek(f, 30, SEEK_SET);
    FILE* g = frame_tags_remove(5, f);
    ASSERT_EQ(g, f);
    EXPECT_EQ(ftell(g), 30);
    fclose(g);
    rewrite_fail_alloc = 0;
    EXPECT_EQ(read_page(), page);
}

TEST_F(Rewrite, MissingPageFileIsLeftAlone) {
    app.page_file_path = "/cv/none.txt";
    frame_tags_remove_at(5, 10);
    struct stat st;
    EXPECT_NE(stat(host("/cv/none.txt").c_str(), &st), 0);
}

TEST_F(Rewrite, SwDuringADrawRemovesTheFramesOldContentAndDrawsTheNew) {
    std::string page = "<FR 0 0 280 1e0><FR 0 0 1e0 168><BC ff 0 0><CR 4 0 0 1e0 168><SV 4 1c0 11 11 100 11 20>";
    page += "<sw 4 0 0><BC 0 0 ff><CR 4 0 0 20 20>";
    write_page(page);
    page_draw(0, 0);
    EXPECT_EQ(read_page(), "<FR 0 0 280 1e0><FR 0 0 1e0 168><BC ff 0 0><SV 4 1c0 11 11 100 11 20><BC 0 0 ff><CR 4 0 0 20 20>");
    EXPECT_EQ(at(5, 5), BLUE565);
    // The next drawing shows only the new content of the frame.
    page_draw(0, 0);
    EXPECT_EQ(at(5, 5), BLUE565);
    EXPECT_EQ(at(100, 100), WHITE565);
}

TEST_F(Rewrite, PageCutClearsTheWholeScreenWhateverFrameDrewLast) {
    char page[256];
    snprintf(page, sizeof page,
             "<FR 0 0 280 1e0><FR 0 0 64 64><BC 0 0 ff><CR 3 0 0 280 1e0><DL %x 0 0 2 0><CL><FR 0 0 280 1e0>",
             (0x64u << 16 | 0x64u));
    write_page(page);
    page_draw(0, 0);
    EXPECT_EQ(count_of(WHITE565), 320 * 240);
}
