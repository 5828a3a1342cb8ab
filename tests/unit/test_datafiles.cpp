// Settings, home and history files on a device root of the test's own.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "emu.h"
#include "tests/unit/test_device.h"
#include "gfx/text.h"
#include "shell/app.h"
#include "shell/datafiles.h"

class DataFiles : public ::testing::Test {
protected:
    std::string root;
    void SetUp() override {
        root = test_device_root("cvdata");
        test_device_switch_on(root);
        app_state_init();
    }
    void TearDown() override {
        app_state_init();
        test_device_remove(root);
    }
    void put(const char* name, const std::string& text) {
        std::ofstream f(root + name, std::ios::binary);
        f << text;
    }
    std::string get(const char* name) {
        std::ifstream f(root + name, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
};

TEST_F(DataFiles, MissingSettingsKeepTheDefaults) {
    settings_read();
    EXPECT_STREQ("guest", app.user_name);
    EXPECT_STREQ("anonymous", app.password);
    EXPECT_STREQ("", app.customer_name);
    EXPECT_EQ(0, app.proxy_entry.enabled);
}

TEST_F(DataFiles, ShippedSettingsNameTheCustomerAndNoProxy) {
    put(SETTINGS_FILE, "Tess\r\nguest\r\nanonymous\r\n::off");
    settings_read();
    EXPECT_STREQ("Tess", app.customer_name);
    EXPECT_EQ(0, app.proxy_entry.enabled);
}

TEST_F(DataFiles, ProxyFieldStates) {
    struct { const char* field; int enabled; const char* host; int port; } cases[] = {
        {"proxy.lan:8080:On", 1, "proxy.lan", 8080}, {"proxy.lan:8080:on", 1, "proxy.lan", 8080},
        {"proxy.lan:8080:yes", 1, "proxy.lan", 8080}, {"proxy.lan:8080:Off", 0, "proxy.lan", 8080},
        {"proxy.lan:8080:off", 0, "proxy.lan", 8080}, {"proxy.lan:8080:no", 0, "proxy.lan", 8080},
        {"proxy.lan:8080:0", 0, "proxy.lan", 8080},   {"proxy.lan:8080:false", 0, "proxy.lan", 8080},
        {"proxy.lan:8080:", 0, "proxy.lan", 8080},    {"proxy.lan:8080", 0, "proxy.lan", 8080},
        {"proxy.lan", 0, "proxy.lan", 0},             {":8080:on", 0, "", 8080},
    };
    for (auto& c : cases) {
        app_state_init();
        put(SETTINGS_FILE, std::string("c u p ") + c.field + "\n");
        settings_read();
        EXPECT_EQ(c.enabled, app.proxy_entry.enabled) << c.field;
        EXPECT_STREQ(c.host, app.proxy_entry.host) << c.field;
        EXPECT_EQ(c.port, app.proxy_entry.port) << c.field;
    }
}

TEST_F(DataFiles, TwoLinesChangeCustomerAndUserOnly) {
    put(SETTINGS_FILE, "Acme\nbob\n");
    settings_read();
    EXPECT_STREQ("Acme", app.customer_name);
    EXPECT_STREQ("bob", app.user_name);
    EXPECT_STREQ("anonymous", app.password);
}

TEST_F(DataFiles, OverlongFieldsAreCutToTheirBuffers) {
    std::string longword(100, 'x');
    put(SETTINGS_FILE, longword + " " + longword + " " + longword + " " + std::string(150, 'x') + ":1:on");
    settings_read();
    EXPECT_EQ(63u, strlen(app.customer_name));
    EXPECT_EQ(63u, strlen(app.user_name));
    EXPECT_EQ(63u, strlen(app.password));
    EXPECT_EQ(127u, strlen(app.proxy_entry.host));
    EXPECT_EQ(std::string(app.password), std::string(63, 'x'));
    // Port and state still count when the host alone overflows its buffer.
    EXPECT_EQ(1, app.proxy_entry.port);
    EXPECT_EQ(1, app.proxy_entry.enabled);
}

// The options screen writes the proxy as one line "host:port:On|Off". With a
// long host that line is longer than the host buffer; it must still read
// back to the same port and state (a disabled proxy once read back enabled).
TEST_F(DataFiles, LongProxyHostKeepsItsPortAndState) {
    for (size_t len : {120u, 123u, 127u}) {
        std::string host(len, 'h');
        for (int on = 0; on <= 1; on++) {
            app_state_init();
            put(SETTINGS_FILE, "\nguest\nanonymous\n" + host + ":8080:" + (on ? "On" : "Off") + "\n");
            settings_read();
            EXPECT_EQ(host, app.proxy_entry.host) << len;
            EXPECT_EQ(8080, app.proxy_entry.port) << len;
            EXPECT_EQ(on, app.proxy_entry.enabled) << len << " " << on;
        }
    }
}

TEST_F(DataFiles, SettingsFileOf512BytesIsIgnored) {
    put(SETTINGS_FILE, "Big user pass" + std::string(499, ' '));
    settings_read();
    EXPECT_STREQ("guest", app.user_name);
    put(SETTINGS_FILE, "Big user pass" + std::string(498, ' '));
    settings_read();
    EXPECT_STREQ("user", app.user_name);
}

TEST_F(DataFiles, HomeFileNamesTheBalancer) {
    put(HOME_FILE, "lb.example.net\r\n8081\r\n");
    home_read();
    EXPECT_STREQ("lb.example.net", app.balancer_entry.host);
    EXPECT_EQ(8081, app.balancer_entry.port);
    app_state_init();
    put(HOME_FILE, "lb2.example.net");
    home_read();
    EXPECT_STREQ("lb2.example.net", app.balancer_entry.host);
    EXPECT_EQ(80, app.balancer_entry.port);
    app_state_init();
    put(HOME_FILE, "lb3.example.net\nnot-a-port\n");
    home_read();
    EXPECT_EQ(80, app.balancer_entry.port);
    app_state_init();
    put(HOME_FILE, "\n9000\n");
    home_read();
    EXPECT_STREQ(DEFAULT_BALANCER_HOST, app.balancer_entry.host);
    app_state_init();
    put(HOME_FILE, std::string(250, 'h') + " 81");
    home_read();
    EXPECT_EQ(127u, strlen(app.balancer_entry.host));
}

TEST_F(DataFiles, HistoryPushKeepsNineNewestFirst) {
    for (int i = 0; i < 12; i++) history_push(("page" + std::to_string(i)).c_str());
    EXPECT_STREQ("page11", app.history[0]);
    EXPECT_STREQ("page3", app.history[8]);
    history_push(nullptr);
    EXPECT_EQ(nullptr, app.history[0]);
    EXPECT_STREQ("page11", app.history[1]);
}

TEST_F(DataFiles, HistorySavedAndReadBackKeepsItsOrder) {
    for (int i = 0; i < 9; i++) history_push(("site" + std::to_string(i) + ".example/").c_str());
    history_save();
    EXPECT_EQ(0u, get(HISTORY_FILE).find("site0.example/\nsite1.example/\n"));
    app_state_init();
    history_read();
    for (int i = 0; i < 9; i++) EXPECT_EQ("site" + std::to_string(8 - i) + ".example/", app.history[i]);
}

TEST_F(DataFiles, HistoryReadTakesTheFirstNineEntries) {
    put(HISTORY_FILE, "a\r\nb\r\nc d\te\nf\ng\nh\ni\nj\nk\n");
    history_read();
    EXPECT_STREQ("i", app.history[0]);
    EXPECT_STREQ("a", app.history[8]);
}

TEST_F(DataFiles, DemoHistoryIsNeverSaved) {
    put(HISTORY_FILE, "mine.example/\n");
    history_read();
    app.offline = 1;
    text_colour[0] = 200;
    load_demo_history();
    EXPECT_STREQ("/cv/noconnect.txt", app.history[0]);
    for (int i = 0; i < 9; i++) EXPECT_EQ(DEMO_HISTORY[i] == nullptr, app.history[i] == nullptr) << i;
    EXPECT_EQ(0, text_colour[0]);
    history_save();
    EXPECT_EQ("mine.example/\n", get(HISTORY_FILE));
}

TEST_F(DataFiles, FileExistsOnlyForFilesThatOpen) {
    put("/cv/there.txt", "x");
    EXPECT_EQ(1, file_exists("/cv/there.txt"));
    EXPECT_EQ(0, file_exists("/cv/missing.txt"));
}

TEST_F(DataFiles, ALeadingLineBreakEndsAnEmptyCustomerName) {
    put(SETTINGS_FILE, "\nbob\nsecret\ncache:8080:On\n");
    settings_read();
    EXPECT_STREQ("", app.customer_name);
    EXPECT_STREQ("bob", app.user_name);
    EXPECT_STREQ("secret", app.password);
    EXPECT_STREQ("cache", app.proxy_entry.host);
    EXPECT_EQ(8080, app.proxy_entry.port);
    EXPECT_EQ(1, app.proxy_entry.enabled);
}

TEST_F(DataFiles, EmptyLinesBetweenFieldsAreEmptyFieldsButTrailingOnesAreNot) {
    put(SETTINGS_FILE, "Acme\r\n\r\nsecret\r\n:0:Off\r\n");
    settings_read();
    EXPECT_STREQ("Acme", app.customer_name);
    EXPECT_STREQ("", app.user_name);
    EXPECT_STREQ("secret", app.password);
    app_state_init();
    put(SETTINGS_FILE, "Acme\nbob\n\n\n");
    settings_read();
    EXPECT_STREQ("bob", app.user_name);
    EXPECT_STREQ("anonymous", app.password);
}

TEST_F(DataFiles, AHomeFileStartingWithWhiteSpaceStillGivesItsPort) {
    put(HOME_FILE, "\r\n8080\r\n");
    home_read();
    EXPECT_STREQ(DEFAULT_BALANCER_HOST, app.balancer_entry.host);
    EXPECT_EQ(8080, app.balancer_entry.port);
    app_state_init();
    put(HOME_FILE, "lb.example\r\n  8081\r\n");
    home_read();
    EXPECT_STREQ("lb.example", app.balancer_entry.host);
    EXPECT_EQ(8081, app.balancer_entry.port);
}
