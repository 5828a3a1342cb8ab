// Pool failure sweeps: the n-th allocation of the program's pools fails, for
// every n a run makes, while a shipped page is drawn (zoomed and not), while
// text is typed into a page's field and while the options screen is worked.
// No run may crash, leak or touch freed memory (the sanitized build checks
// the last two), and afterwards the program must go on as a program without
// text resources does: pages draw, taps work, the options screen is left.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sweep_device.h"
#include "gfx/controls.h"
#include "page/formtags.h"
#include "ui/options.h"
#include "ui/stylus.h"
#include "ui/ui.h"

namespace {

// Runs give up at this many allocations: a run that makes more is a fault of
// its own (the count must end).
const long MAX_ALLOCATIONS = 20000;

// Pen down and up at one point, as stylus_event sees them.
void press(HWND hwnd, int x, int y) {
    stylus_event(hwnd, WM_LBUTTONDOWN, x, y);
    stylus_event(hwnd, WM_LBUTTONUP, x, y);
}

// Queues a tap for a modal screen (the editor) to read.
void queue_tap(int x, int y) {
    emu_stylus(WM_LBUTTONDOWN, x, y);
    emu_stylus(WM_LBUTTONUP, x, y);
}

// The keypad's letter keys (lower-case layer).
void queue_letter(char c) {
    static const char* rows[3] = {"qwertyuiop", "asdfghjkl", "zxcvbnm"};
    static const int first[3] = {70, 75, 85};
    static const int centre_y[3] = {170, 190, 210};
    for (int r = 0; r < 3; r++)
        for (int i = 0; rows[r][i]; i++)
            if (rows[r][i] == c) queue_tap(first[r] + 20 * i, centre_y[r]);
}

// The one-line editor's accept key.
const int ACCEPT_X = 312, ACCEPT_Y = 116;

struct Counted {
    long allocations;
    bool fired;
};

// Arms the fault counter to fail the n-th allocation (0: count them all).
void arm(long n) { pool_fail_countdown = n ? n : SWEEP_COUNT_START; }
Counted disarm(long n) {
    Counted c;
    c.fired = n != 0 && pool_fail_countdown == 0;
    c.allocations = n ? -1 : SWEEP_COUNT_START - pool_fail_countdown;
    pool_fail_countdown = 0;
    return c;
}

// ---------------------------------------------------------------------------
// Drawing the shipped pages

struct PageCase {
    std::string page;
    int zoom;
};

void PrintTo(const PageCase& c, std::ostream* os) { *os << c.page << (c.zoom ? " zoomed" : " plain"); }

std::string case_name(const ::testing::TestParamInfo<PageCase>& info) {
    return info.param.page + (info.param.zoom ? "_zoomed" : "_plain");
}

std::vector<PageCase> page_cases() {
    std::vector<PageCase> cases;
    for (const std::string& p : sweep_shipped_pages())
        for (int zoom = 0; zoom < 2; zoom++) cases.push_back({p, zoom});
    return cases;
}

class DrawSweep : public ::testing::TestWithParam<PageCase> {
  protected:
    SweepDevice dev;
    std::string data;

    void SetUp() override {
        data = sweep_shipped(GetParam().page);
        ASSERT_FALSE(data.empty()) << GetParam().page;
    }
    void TearDown() override {
        pool_fail_countdown = 0;
        if (!dev.root.empty()) dev.stop();
    }
    // A fresh device draws the page once; the screen it shows.
    std::vector<uint16_t> draw_fresh(bool with_text) {
        EXPECT_TRUE(dev.start("cvsweep", with_text));
        zoom_mode = GetParam().zoom;
        dev.put_page(data);
        page_draw(0, 0);
        std::vector<uint16_t> s = sweep_screen();
        dev.stop();
        return s;
    }
};

TEST_P(DrawSweep, EveryFailingAllocationLeavesAProgramThatDrawsOn) {
    // What the page looks like with text and without (after a failure).
    std::vector<uint16_t> with_text = draw_fresh(true);
    std::vector<uint16_t> without_text = draw_fresh(false);
    ASSERT_EQ(sweep_leaked(), 0);

    long total = -1;
    for (long n = 0; n <= MAX_ALLOCATIONS; n++) {
        SCOPED_TRACE("failing allocation " + std::to_string(n) + " of " + std::to_string(total));
        ASSERT_TRUE(dev.start("cvsweep", true));
        zoom_mode = GetParam().zoom;
        dev.put_page(data);
        arm(n);
        page_draw(0, 0);
        Counted c = disarm(n);
        if (n == 0) {
            total = c.allocations;
        } else {
            ASSERT_TRUE(c.fired) << "the run made fewer allocations than counted";
        }
        if (text_pool) {
            EXPECT_GE(pool_check(text_pool), 0);
        }
        // Drawn again, the page shows as a program with (or without) text
        // resources draws it.
        bool text_left = text_engine != nullptr;
        EXPECT_EQ(text_left, !c.fired);
        dev.clear();
        dev.put_page(data);
        page_draw(0, 0);
        std::vector<uint16_t> after = sweep_screen();
        int off = sweep_differences(after, text_left ? with_text : without_text);
        EXPECT_EQ(off, 0) << "the page drawn after the failure differs in " << off << " pixels";
        if (off) {
            std::string name = GetParam().page + "-" + std::to_string(GetParam().zoom) + "-" + std::to_string(n);
            sweep_keep(name + "-got", after);
            sweep_keep(name + "-want", text_left ? with_text : without_text);
        }
        // A tap on the page goes to the program as any tap does.
        press(dev.hwnd, 160, 120);
        dev.stop();
        ASSERT_EQ(sweep_leaked(), 0);
        if (HasFailure()) break;  // one failing n tells enough
        if (n >= total) break;
    }
    EXPECT_GT(total, 0) << "drawing the page allocated nothing";
    ASSERT_LE(total, MAX_ALLOCATIONS);
    RecordProperty("allocations", (int)total);
    printf("%s zoom %d: %ld allocations, each failed once\n", GetParam().page.c_str(), GetParam().zoom, total);
}

INSTANTIATE_TEST_SUITE_P(ShippedPages, DrawSweep, ::testing::ValuesIn(page_cases()), case_name);

// ---------------------------------------------------------------------------
// Text entry into a page's field

class EntrySweep : public ::testing::Test {
  protected:
    SweepDevice dev;
    std::string data;
    void SetUp() override {
        data = sweep_shipped("demo5");
        ASSERT_FALSE(data.empty());
    }
    void TearDown() override {
        pool_fail_countdown = 0;
        if (!dev.root.empty()) dev.stop();
    }
    // The first plain one-line field of the page as drawn.
    static const TextBox* field() {
        for (const TextBox* t = page_text_controls; t; t = t->next)
            if (t->single_line && !t->password) return t;
        return nullptr;
    }
    // Opens the field by stylus and types text (lower-case letters), then
    // accepts; the editor runs on the release. 1 when the field was there.
    int type_into_field(const char* text, long n, Counted* counted) {
        const TextBox* t = field();
        if (!t) {
            arm(n);
            *counted = disarm(n);
            return 0;
        }
        int x = (t->rect.left + t->rect.right) / 2, y = (t->rect.top + t->rect.bottom) / 2;
        arm(n);
        stylus_event(dev.hwnd, WM_LBUTTONDOWN, x, y);
        for (const char* c = text; *c; c++) queue_letter(*c);
        queue_tap(ACCEPT_X, ACCEPT_Y);
        stylus_event(dev.hwnd, WM_LBUTTONUP, x, y);
        *counted = disarm(n);
        return 1;
    }
    std::string sent() {
        std::string s = app.dynamic_text ? app.dynamic_text : "";
        free(app.dynamic_text);
        app.dynamic_text = nullptr;
        app.pending_dynamic = 0;
        return s;
    }
    // The page drawn again from its file.
    std::vector<uint16_t> redraw() {
        dev.clear();
        dev.put_page(data);
        page_draw(0, 0);
        return sweep_screen();
    }
};

TEST_F(EntrySweep, EveryFailingAllocationWhileTypingLeavesAProgramThatGoesOn) {
    // A run with no failure: what typing sends, what the page shows after.
    ASSERT_TRUE(dev.start("cvsweep", true));
    dev.put_page(data);
    page_draw(0, 0);
    ASSERT_NE(field(), nullptr) << "the form page has no one-line field";
    Counted c;
    ASSERT_EQ(type_into_field("ab", 0, &c), 1);
    long total = c.allocations;
    std::string typed = sent();
    ASSERT_NE(typed.find(" ab >"), std::string::npos) << typed;
    std::vector<uint16_t> with_text = redraw();
    dev.reopen();
    ASSERT_EQ(type_into_field("c", 0, &c), 1);
    std::string typed_again = sent();
    ASSERT_NE(typed_again.find(" c >"), std::string::npos) << typed_again;
    dev.stop();
    ASSERT_TRUE(dev.start("cvsweep", false));
    std::vector<uint16_t> without_text = redraw();
    dev.stop();
    ASSERT_EQ(sweep_leaked(), 0);
    ASSERT_GT(total, 0);

    for (long n = 1; n <= total + 1; n++) {
        SCOPED_TRACE("failing allocation " + std::to_string(n) + " of " + std::to_string(total));
        ASSERT_TRUE(dev.start("cvsweep", true));
        dev.put_page(data);
        page_draw(0, 0);
        ASSERT_EQ(type_into_field("ab", n, &c), 1);
        EXPECT_EQ(c.fired, n <= total);
        // The text goes out whole or not at all.
        std::string s = sent();
        if (!s.empty()) {
            EXPECT_EQ(s, typed);
        }
        if (text_pool) {
            EXPECT_GE(pool_check(text_pool), 0);
        }
        bool text_left = text_engine != nullptr;
        // Input the failed editor left unread goes with the device's queue.
        dev.reopen();
        std::vector<uint16_t> after = redraw();
        int off = sweep_differences(after, text_left ? with_text : without_text);
        EXPECT_EQ(off, 0) << "the page drawn after the failure differs in " << off << " pixels";
        if (off) {
            sweep_keep("entry-" + std::to_string(n) + "-got", after);
            sweep_keep("entry-" + std::to_string(n) + "-want", text_left ? with_text : without_text);
        }
        // Typing again: the field takes it, or (with the text resources
        // gone) there is no field to open and nothing is sent.
        dev.reopen();
        type_into_field("c", 0, &c);
        EXPECT_EQ(sent(), text_left ? typed_again : std::string());
        dev.stop();
        ASSERT_EQ(sweep_leaked(), 0);
        if (HasFailure()) break;
    }
    printf("typing into a field: %ld allocations, each failed once\n", total);
}

// ---------------------------------------------------------------------------
// The options screen

const int USER_X = 100, USER_Y = 75;
const int OK_X = 113, CANCEL_X = 206, BUTTON_Y = 200;
const char EDITED[] = "acme\nbob\npw\nproxy.lan:3128:On\n";

class OptionsSweep : public ::testing::Test {
  protected:
    SweepDevice dev;
    void TearDown() override {
        pool_fail_countdown = 0;
        leave_options();
        if (!dev.root.empty()) dev.stop();
    }
    void start(bool with_text) {
        ASSERT_TRUE(dev.start("cvsweep", with_text));
        snprintf(app.customer_name, sizeof app.customer_name, "acme");
        snprintf(app.user_name, sizeof app.user_name, "ann");
        snprintf(app.password, sizeof app.password, "pw");
        snprintf(app.proxy_entry.host, sizeof app.proxy_entry.host, "proxy.lan");
        app.proxy_entry.port = 3128;
        app.proxy_entry.enabled = 1;
        snprintf(app.options_title, sizeof app.options_title, "Corvanta 1.0 Options");
    }
    void leave_options() {
        if (app.ui_mode == 1) press(dev.hwnd, CANCEL_X, BUTTON_Y);
    }
    // Opens the screen, types a new user name and presses OK.
    void edit_and_ok() {
        app.ui_mode = 1;
        options_paint();
        queue_tap(305, 150);  // backspace: the selected text goes
        for (const char* c = "bob"; *c; c++) queue_letter(*c);
        queue_tap(ACCEPT_X, ACCEPT_Y);
        press(dev.hwnd, USER_X, USER_Y);
        press(dev.hwnd, OK_X, BUTTON_Y);
    }
    std::string settings() { return sweep_read(dev.host("/cv/cvconfig.txt")); }
};

TEST_F(OptionsSweep, EveryFailingAllocationLeavesTheSettingsWholeAndTheScreenLeft) {
    start(true);
    arm(0);
    edit_and_ok();
    long total = disarm(0).allocations;
    ASSERT_EQ(app.ui_mode, 0);
    ASSERT_EQ(settings(), EDITED);
    dev.stop();
    ASSERT_EQ(sweep_leaked(), 0);
    ASSERT_GT(total, 0);

    for (long n = 1; n <= total + 1; n++) {
        SCOPED_TRACE("failing allocation " + std::to_string(n) + " of " + std::to_string(total));
        start(true);
        arm(n);
        edit_and_ok();
        Counted c = disarm(n);
        EXPECT_EQ(c.fired, n <= total);
        // OK or not, the screen is left; the file holds the edit or was not
        // written, and the settings in use are what it holds.
        leave_options();
        EXPECT_EQ(app.ui_mode, 0);
        std::string file = settings();
        if (file.empty()) {
            EXPECT_STREQ(app.user_name, "ann");
        } else {
            EXPECT_EQ(file, EDITED);
            EXPECT_STREQ(app.user_name, "bob");
        }
        if (text_pool) {
            EXPECT_GE(pool_check(text_pool), 0);
        }
        // The screen opens again while there is text to show it with, and
        // is left with Cancel; without text it gives way to the page.
        dev.reopen();
        app.ui_mode = 1;
        options_paint();
        if (text_engine) {
            EXPECT_EQ(app.ui_mode, 1);
            press(dev.hwnd, CANCEL_X, BUTTON_Y);
        }
        EXPECT_EQ(app.ui_mode, 0);
        dev.stop();
        ASSERT_EQ(sweep_leaked(), 0);
        if (HasFailure()) break;
    }
    printf("the options screen: %ld allocations, each failed once\n", total);
}

}  // namespace
