// The pen-up tap rule: tap or scroll-bar message, thumb clamp, right edge.
#include <gtest/gtest.h>

#include <string>

#include "net/events.h"
#include "page/frames.h"
#include "shell/app.h"

class Tap : public ::testing::Test {
protected:
    ScrollBar bars[2];
    void SetUp() override {
        app_state_init();
        memset(bars, 0, sizeof bars);
        page_scrollbars = nullptr;
    }
    void TearDown() override {
        page_scrollbars = nullptr;
        zoom_mode = 0;
    }
    // A vertical bar along the right edge, thumb from page y 100 to 199, and
    // a horizontal one along the bottom, thumb from page x 50 to 149.
    void add_bars() {
        bars[0].rect = {0, 311, 230, 319};
        bars[0].kind = 'V';
        bars[0].position = 100;
        bars[0].end = 199;
        bars[1].rect = {231, 0, 239, 310};
        bars[1].kind = 'H';
        bars[1].position = 50;
        bars[1].end = 149;
        bars[0].next = &bars[1];
        bars[1].prev = &bars[0];
        page_scrollbars = &bars[0];
    }
    std::string sent() { return app.pending_event ? app.event_text : ""; }
};

TEST_F(Tap, PlainTapIsSentInPageUnits) {
    events_tap(100, 50);
    EXPECT_EQ("<MC 200 100>\r\n\r\n", sent());
    zoom_mode = 1;
    events_tap(100, 50);
    EXPECT_EQ("<MC 150 75>\r\n\r\n", sent());
    events_tap(101, 51);
    EXPECT_EQ("<MC 151 76>\r\n\r\n", sent());
}

TEST_F(Tap, TapOnAScrollBarIsClampedOutsideItsThumb) {
    add_bars();
    events_tap(315, 20);  // page y 40, above the thumb
    EXPECT_EQ("<SC 630 97>\r\n\r\n", sent());
    events_tap(315, 120);  // page y 240, below it
    EXPECT_EQ("<SC 630 202>\r\n\r\n", sent());
    events_tap(10, 235);  // page x 20, left of the horizontal thumb
    EXPECT_EQ("<SC 47 470>\r\n\r\n", sent());
    events_tap(100, 235);
    EXPECT_EQ("<SC 152 470>\r\n\r\n", sent());
}

TEST_F(Tap, TapOnTheThumbSendsNothing) {
    add_bars();
    events_tap(100, 50);
    ASSERT_EQ(1, app.pending_event);
    events_tap(315, 60);  // page y 120, on the thumb
    EXPECT_EQ(0, app.pending_event);
}

TEST_F(Tap, TapBesideTheRightStripIsMovedOntoThePage) {
    add_bars();
    bars[0].rect = {0, 315, 230, 319};  // a narrow bar: x 310 is not on it
    events_tap(310, 50);
    EXPECT_EQ("<MC 612 100>\r\n\r\n", sent());
    page_scrollbars = nullptr;
    events_tap(310, 50);
    EXPECT_EQ("<MC 620 100>\r\n\r\n", sent());
}

TEST_F(Tap, HistoryAndScrollMessagesReplaceUnsentOnes) {
    events_history(EV_BACK);
    events_history(EV_BACK);
    EXPECT_STREQ("<BA>\r\n\r\n", app.history_text);
    EXPECT_EQ(1, app.pending_history);
    events_scroll(EV_PAGE_DOWN);
    EXPECT_STREQ("<PGD>\r\n\r\n", app.scroll_text);
    EXPECT_EQ(1, app.pending_scroll);
}
