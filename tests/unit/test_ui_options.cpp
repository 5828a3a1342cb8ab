// The options screen: its controls, editing a field through the keypad, OK
// writing the settings file, Cancel dropping the edits.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "ui_fixture.h"
#include "shell/datafiles.h"
#include "ui/options.h"
#include "ui/ui.h"

namespace {

class Options : public UiDevice {
  protected:
    std::string root;
    void SetUp() override {
        root = test_device_root("cvopt");
        system(("cp " CV_BINARY_DIR "/device/cv/tccache.bin " + root + "/cv/").c_str());
        UiDevice::SetUp();
        test_device_switch_on(root);
        GXOpenDisplay(hwnd, GX_FULLSCREEN);
        snprintf(app.customer_name, sizeof app.customer_name, "acme");
        snprintf(app.user_name, sizeof app.user_name, "ann");
        snprintf(app.password, sizeof app.password, "pw");
        snprintf(app.proxy_entry.host, sizeof app.proxy_entry.host, "proxy.lan");
        app.proxy_entry.port = 3128;
        app.proxy_entry.enabled = 1;
        snprintf(app.options_title, sizeof app.options_title, "Corvanta 1.0 Options");
        app.ui_mode = 1;
        options_paint();
    }
    void TearDown() override {
        if (app.ui_mode == 1) release(216, 200);  // Cancel frees the controls
        UiDevice::TearDown();
        test_device_remove(root);
    }
    void release(int x, int y) {
        stylus_event(hwnd, WM_LBUTTONDOWN, x, y);
        stylus_event(hwnd, WM_LBUTTONUP, x, y);
    }
    std::string settings() {
        std::ifstream f(root + "/cv/cvconfig.txt", std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    // Opens a field by tapping it, clears it and types hardware digits or
    // letters (capitals), then accepts.
    void retype(int x, int y, const char* text) {
        tap(305, 150);  // backspace: the whole text is selected
        for (const char* c = text; *c; c++) emu_key(*c >= 'a' && *c <= 'z' ? *c - 32 : *c);
        tap(312, 116);
        release(x, y);
    }
};

// Field positions after placement (centres).
const int USER_X = 100, USER_Y = 75, PASS_Y = 105, HOST_Y = 173, PORT_X = 275;
const int BOX_X = 43, BOX_Y = 142;
const int OK_X = 113, CANCEL_X = 206, BUTTON_Y = 200;

TEST_F(Options, OkWritesTheEditedSettingsAndLeavesTheScreen) {
    retype(USER_X, USER_Y, "BOB");
    retype(USER_X, PASS_Y, "S3");
    retype(USER_X, HOST_Y, "CACHE");
    retype(PORT_X, HOST_Y, "8080");
    release(BOX_X, BOX_Y);  // proxy off
    release(OK_X, BUTTON_Y);
    EXPECT_EQ(app.ui_mode, 0);
    EXPECT_EQ(app.redraw_pending, 1);
    EXPECT_STREQ(app.user_name, "BOB");
    EXPECT_STREQ(app.password, "S3");
    EXPECT_STREQ(app.proxy_entry.host, "CACHE");
    EXPECT_EQ(app.proxy_entry.port, 8080);
    EXPECT_EQ(app.proxy_entry.enabled, 0);
    EXPECT_EQ(settings(), "acme\nBOB\nS3\nCACHE:8080:Off\n");

    // The next start reads them back.
    app_state_init();
    settings_read();
    EXPECT_STREQ(app.user_name, "BOB");
    EXPECT_STREQ(app.password, "S3");
    EXPECT_STREQ(app.proxy_entry.host, "CACHE");
    EXPECT_EQ(app.proxy_entry.port, 8080);
    EXPECT_EQ(app.proxy_entry.enabled, 0);
}

TEST_F(Options, CancelDropsTheEditsAndTheNextOpeningShowsTheOldValues) {
    retype(USER_X, USER_Y, "EVE");
    release(CANCEL_X, BUTTON_Y);
    EXPECT_EQ(app.ui_mode, 0);
    EXPECT_STREQ(app.user_name, "ann");
    EXPECT_EQ(settings(), "");
    app.ui_mode = 1;
    options_paint();
    release(OK_X, BUTTON_Y);
    EXPECT_EQ(settings(), "acme\nann\npw\nproxy.lan:3128:On\n");
}

TEST_F(Options, ALongNameIsStoredAs63CharactersAndAPortStopsAtItsDigits) {
    std::string name(70, 'N');
    retype(USER_X, USER_Y, name.c_str());
    retype(PORT_X, HOST_Y, "8080X");
    release(OK_X, BUTTON_Y);
    EXPECT_EQ(std::string(app.user_name), std::string(63, 'N'));
    EXPECT_EQ(app.proxy_entry.port, 8080);
}

TEST_F(Options, AnEmptyPortIsStoredAsZero) {
    retype(PORT_X, HOST_Y, "");
    release(OK_X, BUTTON_Y);
    EXPECT_EQ(settings(), "acme\nann\npw\nproxy.lan:0:On\n");
}

TEST_F(Options, AReleaseOffThePressedButtonKeepsTheScreen) {
    stylus_event(hwnd, WM_LBUTTONDOWN, OK_X, BUTTON_Y);
    stylus_event(hwnd, WM_MOUSEMOVE, 10, 10);
    stylus_event(hwnd, WM_LBUTTONUP, 10, 10);
    EXPECT_EQ(app.ui_mode, 1);
    EXPECT_EQ(settings(), "");
}

// Whichever fields are empty, the file OK writes reads back to the values the
// screen stored (an empty customer name makes the file start with a line
// break; an empty user name or password leaves an empty line).
TEST_F(Options, TheFileOkWritesReadsBackForEveryCombinationOfEmptyFields) {
    for (int mask = 0; mask < 16; mask++) {
        app_state_init();
        snprintf(app.customer_name, sizeof app.customer_name, "%s", mask & 1 ? "acme" : "");
        snprintf(app.user_name, sizeof app.user_name, "%s", mask & 2 ? "ann" : "");
        snprintf(app.password, sizeof app.password, "%s", mask & 4 ? "pw" : "");
        snprintf(app.proxy_entry.host, sizeof app.proxy_entry.host, "%s", mask & 8 ? "proxy.lan" : "");
        app.proxy_entry.port = 3128;
        app.proxy_entry.enabled = mask & 8 ? 1 : 0;
        app.ui_mode = 1;
        options_paint();
        release(OK_X, BUTTON_Y);
        ASSERT_EQ(app.ui_mode, 0) << mask;
        AppState stored = app;
        app_state_init();
        settings_read();
        EXPECT_STREQ(app.customer_name, stored.customer_name) << mask;
        EXPECT_STREQ(app.user_name, stored.user_name) << mask;
        EXPECT_STREQ(app.password, stored.password) << mask;
        EXPECT_STREQ(app.proxy_entry.host, stored.proxy_entry.host) << mask;
        EXPECT_EQ(app.proxy_entry.port, stored.proxy_entry.port) << mask;
        EXPECT_EQ(app.proxy_entry.enabled, stored.proxy_entry.enabled) << mask;
    }
}

}  // namespace
