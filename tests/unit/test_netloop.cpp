// The receive side's tag scanner: what reaches the page file and what the
// loop does on the tags it watches.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <string>

#include "emu.h"
#include "tests/unit/test_device.h"
#include "net/netloop.h"
#include "shell/app.h"

class Scanner : public ::testing::Test {
protected:
    std::string root;
    void SetUp() override {
        root = test_device_root("cvscan");
        test_device_switch_on(root);
        app_state_init();
        reset();
    }
    void TearDown() override {
        app_state_init();
        test_device_remove(root);
    }
    void reset() {
        std::ofstream(root + "/cv/kivo.txt", std::ios::binary | std::ios::trunc);
        net_scanner_reset();
        app.redraw_pending = 0;
    }
    std::string page() {
        std::ifstream f(root + "/cv/kivo.txt", std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    void feed(const std::string& data, size_t chunk = 0) {
        if (!chunk) chunk = data.size();
        for (size_t i = 0; i < data.size(); i += chunk) {
            std::string piece = data.substr(i, chunk);
            net_write_chunk(piece.data(), (int)piece.size());
        }
    }
};

static std::string image_tag_and_payload() {
    // An image whose payload holds bytes that look like tags.
    std::string payload = "ab<ST>cd<KP>\xff>";
    char tag[64];
    snprintf(tag, sizeof tag, "<IM 3 0 0 10 10 %zx>", payload.size());
    return tag + payload;
}

static std::string sample_stream() {
    std::string s = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n";
    s += "<FR 0 0 280 1e0><BC ff ff ff><CR 3 0 0 0 0>";
    s += "<DS 3 7b 4c 6 x><ST>>";                // a text holding ">" and a tag look-alike
    s += image_tag_and_payload();
    s += "<EN 4b>" + std::string("0123<ST>89abcdef", 16);  // a 9-byte scrambled block
    s += "<BU 1><KP>";
    return s;
}

TEST_F(Scanner, OneByteChunksGiveTheSameFileAndStateAsOneChunk) {
    std::string s = sample_stream();
    app.loading = 1;
    feed(s);
    std::string whole = page();
    BYTE loading_whole = app.loading;
    int redraw_whole = app.redraw_pending;
    int state_whole = scanner.state;
    reset();
    app.loading = 1;
    feed(s, 1);
    EXPECT_EQ(s, whole);
    EXPECT_EQ(whole, page());
    EXPECT_EQ(loading_whole, app.loading);
    EXPECT_EQ(redraw_whole, app.redraw_pending);
    EXPECT_EQ(state_whole, scanner.state);
    // No payload or text was taken for an end-of-page tag.
    EXPECT_EQ(1, app.loading);
    EXPECT_EQ(0, scanner.skip);
}

TEST_F(Scanner, ImagePayloadIsPassedOver) {
    app.loading = 1;
    feed(image_tag_and_payload(), 3);
    EXPECT_EQ(1, app.loading);
    EXPECT_EQ(0, scanner.skip);
    feed("<ST>");
    EXPECT_EQ(0, app.loading);
}

TEST_F(Scanner, TextHoldingAClosingBracketIsOneTag) {
    app.loading = 1;
    feed("<DS 3 7b 4c 8 a>b<ST>c>");
    EXPECT_EQ(1, app.redraw_pending);
    EXPECT_EQ(1, app.loading);
    EXPECT_EQ(0, scanner.state);
    EXPECT_EQ(0, scanner.skip);
    feed("<SS>");
    EXPECT_EQ(0, app.loading);
}

TEST_F(Scanner, TextTagsOfControlsPassOverTheirTexts) {
    app.loading = 1;
    feed("<BT 3 10 20 30 40 go 4 <ST>><TF 3 1 2 3 4 q 3 a>b>");
    feed("<DI 1 opt 5 x<ST>><LI 2 l 2 >>>");
    EXPECT_EQ(1, app.loading);
    EXPECT_EQ(0, scanner.skip);
    EXPECT_EQ(0, scanner.state);
}

TEST_F(Scanner, ScrambledBlockIsPassedOver) {
    app.loading = 1;
    feed("<EN 4b>");
    EXPECT_EQ(16, scanner.skip);
    feed("<ST>567890123456");
    EXPECT_EQ(1, app.loading);
    EXPECT_EQ(0, scanner.skip);
}

TEST_F(Scanner, EndOfPageEndsLoading) {
    app.loading = 1;
    app.awaiting_page = 1;
    feed("<ST>");
    EXPECT_EQ(0, app.loading);
    EXPECT_EQ(0, app.awaiting_page);
}

TEST_F(Scanner, AcceptedAddressGoesIntoTheHistory) {
    feed("<BU>");
    EXPECT_EQ(1, app.redraw_pending);
    EXPECT_EQ(nullptr, app.history[0]);
    app.redraw_pending = 0;
    app.typed_url = strdup("typed.example/");
    feed("<BU>");
    EXPECT_STREQ("typed.example/", app.history[0]);
    EXPECT_EQ(nullptr, app.typed_url);
    EXPECT_EQ(0, app.redraw_pending);
}

TEST_F(Scanner, OnlyTagsWithLettersCount) {
    feed("a < b <1x> <a> <Zq> 5<3");
    EXPECT_EQ(0, app.redraw_pending);
    feed("<QQ>");
    EXPECT_EQ(1, app.redraw_pending);
}

TEST_F(Scanner, OverlongTagRestartsItsBufferAndKeepsItsLetters) {
    app.loading = 1;
    feed("<ST " + std::string(5000, 'x') + ">");
    EXPECT_EQ(0, app.loading);
    EXPECT_EQ(5005u, page().size());
}

TEST_F(Scanner, ImageAfterPageCutInOneChunkKeepsTheFileIntact) {
    // The early draw hides the image tag while it draws and puts it back;
    // the draw may cut the old page out before the image.
    std::string rest = "<FR 0 0 280 1e0>" + image_tag_and_payload() + "<ST>";
    std::string s = "old page<CL>" + rest;
    app.loading = 1;
    feed(s);
    std::string p = page();
    ASSERT_GE(p.size(), rest.size());
    EXPECT_EQ(rest, p.substr(p.size() - rest.size()));
    EXPECT_EQ(std::string::npos, p.find("<NO"));
    EXPECT_EQ(0, scanner.cl_mark);
    EXPECT_EQ(0, app.loading);
}

TEST_F(Scanner, FrameReplacementKeepsWritingAfterItsTag) {
    // The frame's earlier tags may be taken out of the file; whatever follows
    // the sw tag in the same chunk is appended to what is left.
    std::string s = "<FR 0 0 280 1e0><sw 3 0 0><CR 3 0 0 10 10><sw 3 0 0>tail<KP>";
    feed(s);
    std::string p = page();
    EXPECT_EQ(0u, p.find("<FR 0 0 280 1e0>"));
    ASSERT_GE(p.size(), 8u);
    EXPECT_EQ("tail<KP>", p.substr(p.size() - 8));
    EXPECT_EQ(1, app.redraw_pending);
    EXPECT_EQ(0, scanner.state);
}

TEST_F(Scanner, HugeLengthsDoNotSwallowTheStream) {
    app.loading = 1;
    feed("<IM 3 0 0 1 1 ffffffff><DS 3 0 0 0 ab>");
    EXPECT_EQ(0, scanner.skip);
    feed("<ST>");
    EXPECT_EQ(0, app.loading);
}

TEST_F(Scanner, AHugeScrambledBlockLengthIsNotPassedOverEither) {
    // As for images and texts, a length beyond 31 bits is taken as no block.
    app.loading = 1;
    feed("<EN 800000040>");  // 0x100000008 bytes: masked to 31 bits it would be 8
    EXPECT_EQ(0, scanner.skip);
    feed("<ST>");
    EXPECT_EQ(0, app.loading);
    feed("<EN 3ffffffc0>");  // 0x7ffffff8 bytes: the largest block passed over
    EXPECT_EQ(0x7ffffff8, scanner.skip);
}
