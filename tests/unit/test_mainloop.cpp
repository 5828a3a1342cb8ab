// The pending events of the main loop: their fixed sending order, the states
// they set, and a newer event replacing an older one of the same kind.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "emu.h"
#include "loopback_peer.h"
#include "net/framing.h"
#include "net/netloop.h"
#include "shell/app.h"
#include "shell/winproc.h"

namespace {

// The client connected to a loopback peer, sending in clear text so that the
// peer can read the bodies.
struct Connected : ::testing::Test {
    LoopbackPeer peer;
    void SetUp() override {
        EmuConfig cfg;
        cfg.root = "/tmp";
        cfg.headless = true;
        emu_configure(cfg);
        app_state_init();
        WSADATA wsa;
        ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &wsa), 0);
        ASSERT_EQ(peer_listen(&peer), 0);
        conn_socket = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_NE(conn_socket, INVALID_SOCKET);
        sockaddr_in a;
        memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)peer.port);
        a.sin_addr.s_addr = inet_addr("127.0.0.1");
        ASSERT_EQ(connect(conn_socket, (sockaddr*)&a, sizeof a), 0);
        ASSERT_EQ(peer_accept(&peer), 0);
        snprintf(app.server_entry.host, sizeof app.server_entry.host, "127.0.0.1");
        scramble_flag = 0;
    }
    void TearDown() override {
        closesocket(conn_socket);
        conn_socket = INVALID_SOCKET;
        peer_close(&peer);
        scramble_flag = 1;
        WSACleanup();
        app_state_init();
    }
    // The bodies of the requests that arrived, in order.
    std::vector<std::string> bodies() {
        std::string data = peer_read(&peer, 200);
        std::vector<std::string> out;
        size_t pos = 0;
        while ((pos = data.find("Content-length: ", pos)) != std::string::npos) {
            int len = atoi(data.c_str() + pos + 16);
            size_t start = data.find("\r\n\r\n", pos) + 4;
            out.push_back(data.substr(start, (size_t)len));
            pos = start + (size_t)len;
        }
        return out;
    }
};

}  // namespace

TEST_F(Connected, PendingEventsGoOutInTheirFixedOrder) {
    // Set in reverse order; they must still leave in the table's order.
    app.pending_reload = 1;
    snprintf(app.event_text, sizeof app.event_text, "<LM sel 2 >");
    app.pending_selection = 1;
    app.dynamic_text = strdup("<TF q 2 1 a >");
    app.pending_dynamic = 1;
    app.pending_stop = 1;
    snprintf(app.history_text, sizeof app.history_text, "<BA>\r\n\r\n");
    app.pending_history = 1;
    snprintf(app.zoom_text, sizeof app.zoom_text, "<ZU>\r\n\r\n");
    app.pending_zoom = 1;
    snprintf(app.scroll_text, sizeof app.scroll_text, "<PGD>\r\n\r\n");
    app.pending_scroll = 1;
    app.typed_url = strdup("example.org/x");
    app.pending_url = 1;
    int result = -1;
    EXPECT_EQ(app_send_pending(&result), 0);
    std::vector<std::string> want = {
        "<URL example.org/x >\r\n\r\n", "<PGD>\r\n\r\n", "<ZU>\r\n\r\n", "<BA>\r\n\r\n", "<STP>\r\n\r\n",
        "<TF q 2 1 a >", "<LM sel 2 >", "<RF>\r\n\r\n"};
    EXPECT_EQ(bodies(), want);
    // Every flag is cleared; the dynamic text was freed and forgotten.
    EXPECT_FALSE(app.pending_url || app.pending_event || app.pending_scroll || app.pending_zoom ||
                 app.pending_history || app.pending_stop || app.pending_dynamic || app.pending_selection ||
                 app.pending_reload);
    EXPECT_EQ(app.dynamic_text, nullptr);
    // Stop and reload end the loading state they found.
    EXPECT_EQ(app.loading, 0);
    EXPECT_EQ(app.awaiting_page, 0);
}

TEST_F(Connected, ATapKeepsTheIndicatorForAWholePageAScrollBarTapDoesNot) {
    snprintf(app.event_text, sizeof app.event_text, "<MC 10 20>\r\n\r\n");
    app.pending_event = 1;
    int result;
    app_send_pending(&result);
    EXPECT_EQ(app.loading, 1);
    EXPECT_EQ(app.awaiting_page, 1);
    snprintf(app.event_text, sizeof app.event_text, "<SC 10 20>\r\n\r\n");
    app.pending_event = 1;
    app_send_pending(&result);
    EXPECT_EQ(app.loading, 1);
    EXPECT_EQ(app.awaiting_page, 0);
    snprintf(app.scroll_text, sizeof app.scroll_text, "<PGU>\r\n\r\n");
    app.awaiting_page = 1;
    app.pending_scroll = 1;
    app_send_pending(&result);
    EXPECT_EQ(app.awaiting_page, 1);  // a scroll leaves the page state alone
    EXPECT_EQ(bodies().size(), 3u);
}

TEST_F(Connected, TwoTapsBeforeTheNextTurnSendOnlyTheSecond) {
    // Stylus messages carry portrait panel positions: column = y, row = 319 - x.
    window_proc(nullptr, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(50, 319 - 100));
    window_proc(nullptr, WM_LBUTTONUP, 0, MAKELPARAM(50, 319 - 100));
    window_proc(nullptr, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(60, 319 - 30));
    window_proc(nullptr, WM_LBUTTONUP, 0, MAKELPARAM(60, 319 - 30));
    int result;
    app_send_pending(&result);
    std::vector<std::string> want = {"<MC 60 120>\r\n\r\n"};
    EXPECT_EQ(bodies(), want);
}

TEST_F(Connected, TwoBackPressesSendTheBackMessageOnce) {
    app.keys = GXGetDefaultKeys(GX_LANDSCAPEKEYS);
    window_proc(nullptr, WM_KEYUP, (WPARAM)app.keys.vkA, 0);
    window_proc(nullptr, WM_KEYUP, (WPARAM)app.keys.vkA, 0);
    int result;
    app_send_pending(&result);
    std::vector<std::string> want = {"<BA>\r\n\r\n"};
    EXPECT_EQ(bodies(), want);
}

TEST_F(Connected, ASendOnAClosedConnectionEndsTheLoopOrGoesOffline) {
    peer_close(&peer);
    snprintf(app.event_text, sizeof app.event_text, "<MC 1 1>\r\n\r\n");
    int result = -1, ended = 0;
    // The first send after the close may still be accepted by the stack; the
    // connection's failure shows within a few sends.
    for (int i = 0; i < 20 && !ended && !app.offline; i++) {
        app.pending_event = 1;
        ended = app_send_pending(&result);
        usleep(10000);
    }
    EXPECT_TRUE(ended || app.offline);
    if (ended) {
        EXPECT_EQ(result, 0);
    }
}
