// The interpreter on a page file that cannot be rewritten (a read-only file)
// or only partly (a full medium), and the page's scroll bars after a pool
// failure took the main pool away.
#include "page_fixture.h"

#include <csetjmp>
#include <cstring>

#include "gfx/controls.h"
#include "gfx/pool.h"
#include "net/framing.h"
#include "page/formtags.h"
#include "shell/datafiles.h"
#include "pagewriter.h"

namespace {

const char OPENING[] = "<FR 0 0 280 1e0><BC ff ff ff><FC 0 0 0><CR 3 0 0 0 0>";

using Faults = PageTest;

void clear_history() {
    for (int i = 0; i < HISTORY_SIZE; i++) {
        free(app.history[i]);
        app.history[i] = nullptr;
    }
}

}  // namespace

// An sw tag asks for the earlier tags of its frame to go; when the file
// cannot be written the interpreter must go on after the sw instead of
// meeting it again for ever.
TEST_F(Faults, SwOnAPageFileThatCannotBeRewrittenDrawsTheRestOnce) {
    std::string page = std::string(OPENING) + "<BC 0 0 ff><CR 3 0 0 280 1e0><sw 3 0 0><BC ff 0 0><CR 3 0 0 280 f0>";
    write_page(page);
    emu_file_fault("/cv/kivo.txt", true, -1);
    DWORD before = parser.invocations;
    page_draw(0, 0);
    EXPECT_EQ(parser.invocations - before, 1u);
    EXPECT_EQ(read_page(), page);         // unchanged
    EXPECT_EQ(at(100, 50), RED565);       // what follows the sw is drawn
    EXPECT_EQ(at(100, 200), BLUE565);     // the old content stays where nothing covers it
}

// A full medium: the rewrite falls short, and so does putting the old file
// back. The interpreter stops there; it neither loops nor reads past the
// file, and the file holds nothing but a start of what it held.
TEST_F(Faults, SwWhoseRewriteFallsShortStopsTheInterpreter) {
    std::string page = std::string(OPENING) + "<BC 0 0 ff><CR 3 0 0 280 1e0><sw 3 0 0><BC ff 0 0><CR 3 0 0 280 f0>";
    write_page(page);
    emu_file_fault("/cv/kivo.txt", false, 20);
    DWORD before = parser.invocations;
    page_draw(0, 0);
    emu_file_faults_clear();
    EXPECT_EQ(parser.invocations - before, 1u);
    std::string after = read_page();
    EXPECT_LE(after.size(), page.size());
    EXPECT_EQ(page.compare(0, after.size(), after), 0);
    EXPECT_EQ(at(100, 50), BLUE565);  // nothing after the sw was drawn
}

// The page cut writes the tags after CL back into the page file; a short
// write must not leave a fragment of a tag for later data to join.
TEST_F(Faults, APageCutWhoseWriteBackFallsShortLeavesNoFragment) {
    std::string a = "<FR 0 0 280 1e0><BC 0 0 ff><CR 3 0 0 280 1e0>";
    std::string b = "<FR 0 0 280 1e0><BC ff 0 0><CR 3 0 0 280 1e0><DS 3 10 10 5 hello><ST>";
    write_page(a + "<CL>" + b);
    emu_file_fault("/cv/kivo.txt", false, 30);  // part of b only
    page_draw(0, 0);
    emu_file_faults_clear();
    EXPECT_EQ(read_page(), "");
    EXPECT_EQ(page_shrink_count, (LONG)(a.size() + 4 + b.size()));
    EXPECT_EQ(at(100, 100), BLUE565);  // the old page stays on the screen
    // Data that comes later starts a clean file.
    write_page(b);
    page_draw(0, 0);
    EXPECT_EQ(at(100, 100), RED565);
}

// An EN block is deciphered and written back as plain text. When the file
// cannot be rewritten the block stays enciphered, so its address must not
// enter the history again at every drawing.
TEST_F(Faults, AnUnwritableScrambledUrlBlockDoesNotFillTheHistory) {
    clear_history();
    history_push("mine.example/");
    uint8_t key[16];
    memcpy(key, working_key, 16);
    std::string page = std::string(OPENING);
    pw_en(page, "<URL http://example.org/a><BC ff 0 0><CR 3 0 0 280 1e0>", key, 3);
    write_page(page);
    emu_file_fault("/cv/kivo.txt", true, -1);
    for (int i = 0; i < 3; i++) page_draw(0, 0);
    EXPECT_EQ(read_page(), page);
    ASSERT_NE(app.history[0], nullptr);
    EXPECT_STREQ(app.history[0], "mine.example/");
    EXPECT_EQ(app.history[1], nullptr);
    clear_history();
}

// A write error in the middle of the plain text: the tag is not marked as
// plain (EE), the address does not enter the history, and later drawings go
// on without it.
TEST_F(Faults, AScrambledBlockWhoseRewriteFallsShortIsNotMarkedPlain) {
    clear_history();
    uint8_t key[16];
    memcpy(key, working_key, 16);
    std::string page = std::string(OPENING);
    pw_en(page, "<URL http://example.org/b><BC ff 0 0><CR 3 0 0 280 1e0>", key, 3);
    write_page(page);
    emu_file_fault("/cv/kivo.txt", false, 8);  // each handle writes 8 bytes: part of the block only
    page_draw(0, 0);
    emu_file_faults_clear();
    std::string file = read_page();
    EXPECT_NE(file.find("<EN "), std::string::npos);
    EXPECT_EQ(file.find("<EE "), std::string::npos);
    EXPECT_EQ(file.size(), page.size());
    EXPECT_EQ(app.history[0], nullptr);
    page_draw(0, 0);
    EXPECT_EQ(app.history[0], nullptr);
    clear_history();
}

// The scroll bars' arrow and thumb buttons live in the main pool. After a
// pool failure took it away, drawing or freeing the bars must not touch them.
TEST_F(Faults, ScrollBarsOutliveAPoolFailureWithoutTheirButtons) {
    std::string cmd = "cp '" CV_BINARY_DIR "/device/cv/tccache.bin' '" + root + "/cv/'";
    ASSERT_EQ(system(cmd.c_str()), 0);
    ASSERT_EQ(text_startup(0), 0);
    text_load_font_cache();
    std::string page = std::string(OPENING) + "<SH 3 11 1cf 24d 11 11 23e><SV 3 26f 11 11 1ad 11 3f>";
    write_page(page);
    page_draw(0, 0);
    ASSERT_NE(page_scrollbars, nullptr);
    ASSERT_NE(page_scrollbars->first, nullptr);
    // A failure inside any guarded text operation destroys the pool.
    pool_fail_countdown = 1;
    int err = 0;
    text_measure_cstr(text_engine, "lost", TEXT_STYLE_PAGE, 8, &err);
    pool_fail_countdown = 0;
    EXPECT_EQ(err, ERR_NO_MEMORY);
    EXPECT_EQ(text_engine, nullptr);
    // The stylus and the interpreter meet the bars again.
    page_draw(0, 0);
    for (ScrollBar* b = page_scrollbars; b; b = b->next) {
        EXPECT_EQ(b->first, nullptr);
        EXPECT_EQ(b->thumb, nullptr);
    }
    EXPECT_EQ(at(316, 100), gfx_rgb565(0xD8, 0xD8, 0xFD));  // the band is still drawn
    page_lists_free();
    text_shutdown();
    text_release_pool();
}
