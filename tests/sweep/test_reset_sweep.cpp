// Connection reset sweep: the rendering server (a peer on the host's
// loopback) sends the first k bytes of a page and then resets the
// connection, for every k from 0 to the whole page. The client's own network
// loop receives through the emulated device's sockets and draws as its main
// loop does. Whatever k, the disconnected page must show exactly as it
// does on its own, the busy indicator must be gone and the history file
// untouched.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "sweep_device.h"
#include "net/framing.h"
#include "net/netloop.h"
#include "page/formtags.h"
#include "shell/datafiles.h"
#include "tests/unit/loopback_peer.h"
#include "pagewriter.h"
#include "winsock.h"

// The peer's side ends with a reset, not an orderly close (peer_reset.cpp).
void peer_reset(LoopbackPeer* p);

namespace {

const char HISTORY[] = "first.example/\nsecond.example/a\n";
const char DISCONNECT[] = "/cv/disconnect.txt";

// The page the sweep cuts: the form page (text tags of controls), a
// scrambled block holding an address, then the picture page (image payloads)
// and its end-of-page tag.
std::string sweep_stream() {
    std::string form = sweep_shipped("demo5");
    std::string pictures = sweep_shipped("demo1");
    size_t st = form.rfind("<ST>");
    if (st == std::string::npos) return std::string();
    form.erase(st, 4);
    size_t body = pictures.find("\r\n\r\n");
    if (body == std::string::npos) return std::string();
    uint8_t key[16];
    memcpy(key, working_key, 16);
    std::string scrambled;
    pw_en(scrambled, "<URL http://example.org/sweep><BC ff 0 0><CR 3 0 0 28 28>", key, 3);
    return form + scrambled + pictures.substr(body + 4);
}

bool wait_until(const std::function<bool()>& done, int ms = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        usleep(200);
    }
    return true;
}

class ResetSweep : public ::testing::Test {
  protected:
    SweepDevice dev;
    LoopbackPeer peer;
    std::vector<uint16_t> disconnected;

    void SetUp() override {
        ASSERT_TRUE(dev.start("cvreset", true));
        sweep_write(dev.host(DISCONNECT), sweep_shipped("disconnect"));
        sweep_write(dev.host(HISTORY_FILE), HISTORY);
        // The disconnected page as it shows on its own.
        app.page_file_path = DISCONNECT;
        page_draw(0, 0);
        disconnected = sweep_screen();
        app.page_file_path = "/cv/kivo.txt";
        WSADATA wsa;
        ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &wsa), 0);
        ASSERT_EQ(peer_listen(&peer), 0);
    }
    void TearDown() override {
        if (conn_socket != INVALID_SOCKET) closesocket(conn_socket);
        conn_socket = INVALID_SOCKET;
        peer_close(&peer);
        WSACleanup();
        dev.stop();
    }

    // The state of a client that shows a page and has just asked for the
    // next one: the previous page on the screen, the busy indicator up.
    void ask_for_page(int* result) {
        page_lists_free();
        page_images_release();
        for (char*& h : app.history) {
            free(h);
            h = nullptr;
        }
        app.offline = 0;
        app.loading = 0;
        app.awaiting_page = 0;
        app.redraw_pending = 0;
        app.page_file_path = "/cv/kivo.txt";
        history_read();
        dev.reopen();
        page_lists_init();
        dev.put_page(sweep_shipped("demo2"));
        page_draw(0, 0);
        ASSERT_EQ(net_open("127.0.0.1", (WORD)peer.port, 0, nullptr, 0, result), 0);
        ASSERT_NE(conn_socket, INVALID_SOCKET);
        ASSERT_EQ(peer_accept(&peer), 0);
        app.loading = 1;
        app.awaiting_page = 1;
        arrival_mark = 0;
        busy_indicator_step();
    }

    // One turn of the client's loop: receive, then the idle step or the
    // drawing a completed tag asked for. Returns the bytes taken (when
    // measured), or -1 when the loop ended. The measuring asks the socket
    // what waits, as the loop does; after a reset it must not, since only
    // the first question after it reports the reset.
    int turn(int* result, bool measure = false) {
        unsigned long waiting = 0;
        if (measure && ioctlsocket(conn_socket, FIONREAD, &waiting) != 0) waiting = 0;
        int got = net_receive_step(result);
        if (got < 0) return -1;
        if (got == 0 && app.loading && !app.awaiting_page && arrival_mark) {
            busy_indicator_remove();
            app.loading = 0;
            arrival_mark = 0;
        }
        if (app.redraw_pending) {
            page_draw(0, 0);
            app.redraw_pending = 0;
        }
        return got > 0 ? (int)(waiting < 4095 ? waiting : 4095) : 0;
    }

};

TEST_F(ResetSweep, EveryOffsetOfAPageEndsOnTheDisconnectedPage) {
    std::string stream = sweep_stream();
    ASSERT_GT(stream.size(), 3000u);
    std::string history_before = sweep_read(dev.host(HISTORY_FILE));
    ASSERT_EQ(history_before, HISTORY);

    for (size_t k = 0; k <= stream.size(); k++) {
        SCOPED_TRACE("reset after " + std::to_string(k) + " of " + std::to_string(stream.size()) + " bytes");
        int result = 0;
        ask_for_page(&result);
        if (HasFatalFailure()) return;
        ASSERT_EQ(peer_write(&peer, stream.substr(0, k)), (int)k);
        // The client takes every byte that was sent before the reset.
        long taken = 0;
        bool ended = false;
        ASSERT_TRUE(wait_until([&] {
            int t = turn(&result, true);
            if (t < 0) ended = true;
            else taken += t;
            return ended || taken >= (long)k;
        })) << "the client took " << taken << " bytes";
        ASSERT_FALSE(ended) << "the loop ended before the reset";
        ASSERT_EQ(taken, (long)k);
        peer_reset(&peer);
        ASSERT_TRUE(wait_until([&] {
            if (turn(&result) < 0) ended = true;
            return ended || app.offline;
        })) << "the reset went unnoticed";
        ASSERT_FALSE(ended) << "the program ended instead of going offline";
        ASSERT_STREQ(app.page_file_path, DISCONNECT);
        EXPECT_EQ(app.loading, 0);
        EXPECT_EQ(busy.shown, 0);
        // Offline, the loop only dispatches window messages: the paint.
        if (app.redraw_pending) {
            page_draw(0, 0);
            app.redraw_pending = 0;
        }
        std::vector<uint16_t> shown = sweep_screen();
        int off = sweep_differences(shown, disconnected);
        EXPECT_EQ(off, 0) << off << " pixels differ from the disconnected page";
        if (off) {
            sweep_keep("reset-" + std::to_string(k) + "-got", shown);
            sweep_keep("reset-want", disconnected);
        }
        EXPECT_EQ(sweep_read(dev.host(HISTORY_FILE)), history_before);
        closesocket(conn_socket);
        conn_socket = INVALID_SOCKET;
        if (HasFailure()) break;
    }
    printf("reset after each of %zu offsets\n", stream.size() + 1);
}

}  // namespace
