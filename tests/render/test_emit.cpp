// The emitter's reordering of held tags: whatever it moves, the client's
// interpreter draws the same screen as with the tags in the order given,
// and colours and sizes of a kind travel together.
#include <random>

#include "render_fixture.h"
#include "tools/pagestream/imageenc.h"
#include "tools/pagestream/pagewriter.h"

namespace {

class Emit : public RenderTest {};

const char* WORDS[] = {"Home", "jumpy", "fjord", "Ä", "WAVE", "ij", "quay.", "gallery", "Tap", "y", "Çà", "—"};

Colour colour_of(int k) {
    static const Colour c[] = {{0x1d, 0x2b, 0x36, 255}, {0x0b, 0x57, 0xb0, 255}, {0xff, 0xd1, 0x66, 255},
                               {0xc9, 0xd6, 0xdf, 255}, {0xff, 0xff, 0xff, 255}};
    return c[k % 5];
}

int count(const std::string& s, const char* tag) {
    int n = 0;
    for (size_t at = s.find(tag); at != std::string::npos; at = s.find(tag, at + 1)) n++;
    return n;
}

struct Scene {
    std::string body, payloads;
};

// A crowded screen: fills, lines, underlined runs and pictures, many of
// them touching, written once as given and once held and reordered.
Scene scene(uint32_t seed, bool zoomed, bool hold) {
    std::mt19937 rnd(seed);
    auto pick = [&rnd](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rnd); };
    Emitter e;
    e.zoomed = zoomed;
    e.frame = zoomed ? 4 : 3;
    Scene s;
    pw_fr(s.body, 0, 0, zoomed ? 0x1e0 : 0x280, zoomed ? 0x168 : 0x1e0);
    pw_sw_frame(s.body, e.frame, 0, 0);
    remit_fill(e, 0, 0, e.dev_w, e.dev_h, colour_of(4));
    // two small pictures, one with black as its transparent colour
    uint32_t ids[2] = {0x5eed0001u + seed * 2, 0x5eed0002u + seed * 2};
    for (int k = 0; k < 2; k++) {
        std::vector<uint16_t> px(12 * 9);
        for (uint16_t& p : px) p = pick(0, 3) == 0 ? 0 : (uint16_t)pick(1, 0xFFFF);
        pw_im(s.payloads, e.frame, 0, 0, 12, 9, ie_payload(ie_expanded(px, 12, 9, ids[k], k == 1), IMAGE_COMPRESSED));
        s.payloads += "<IE>";
    }
    if (hold) remit_hold(e);
    for (int i = 0; i < 90; i++) {
        int x = pick(-20, 300), y = pick(-5, 235), kind = pick(0, 9);
        if (kind < 3) {
            remit_fill(e, x, y, x + pick(1, 60), y + pick(1, 30), colour_of(pick(0, 4)));
        } else if (kind < 4) {
            remit_row(e, x, x + pick(1, 40), y, colour_of(pick(0, 2)));
        } else if (kind < 5) {
            remit_picture(e, ids[pick(0, 1)], std::max(x, 0), std::max(y, 0), 12, 9);
        } else {
            std::string text = WORDS[pick(0, 11)];
            if (pick(0, 1)) text += std::string(" ") + WORDS[pick(0, 11)];
            Colour c = colour_of(pick(0, 2));
            int size = 16 + 2 * pick(0, zoomed ? 2 : 5);
            remit_text(e, x, y, size, c, text);
            if (pick(0, 2) == 0) remit_row(e, x, x + 20, y + 1, c);
        }
    }
    if (hold) remit_release(e);
    s.body += e.out;
    return s;
}

}  // namespace

TEST_F(Emit, ReorderedTagsDrawTheSameScreen) {
    int before = 0, after = 0;
    for (bool zoomed : {false, true})
        for (uint32_t seed = 1; seed <= 40; seed++) {
            SCOPED_TRACE("seed " + std::to_string(seed) + (zoomed ? " zoomed" : ""));
            Scene given = scene(seed, zoomed, false), held = scene(seed, zoomed, true);
            ASSERT_EQ(given.payloads, held.payloads);
            std::vector<uint16_t> a = draw("<CL>" + given.body + given.payloads + "<ST>", zoomed);
            std::vector<uint16_t> b = draw("<CL>" + held.body + held.payloads + "<ST>", zoomed);
            size_t differ = 0;
            for (size_t i = 0; i < a.size() && i < b.size(); i++) differ += a[i] != b[i];
            EXPECT_EQ(differ, 0u);
            if (differ) {
                keep("emit-given-" + std::to_string(seed), a);
                keep("emit-held-" + std::to_string(seed), b);
            }
            // the same drawing tags, only their order and the state tags differ
            for (const char* tag : {"<CR ", "<DL ", "<DS ", "<IS "}) EXPECT_EQ(count(given.body, tag), count(held.body, tag)) << tag;
            int g = count(given.body, "<BC ") + count(given.body, "<FC ") + count(given.body, "<SZ ");
            int h = count(held.body, "<BC ") + count(held.body, "<FC ") + count(held.body, "<SZ ");
            EXPECT_LE(h, g);
            before += g, after += h;
        }
    EXPECT_LT(after * 10, before * 9) << "state tags " << before << " -> " << after;
}

// Disjoint fills of two colours and the words of a line in two colours go
// under one BC and one FC each; a fill over text stays after it.
TEST_F(Emit, ColoursOfAKindTravelTogether) {
    Emitter e;
    remit_hold(e);
    for (int i = 0; i < 6; i++) remit_fill(e, 10 + 30 * i, 10, 30 + 30 * i, 40, colour_of(3 + i % 2));
    remit_text(e, 10, 80, 16, colour_of(0), "through it.");
    remit_text(e, 70, 80, 16, colour_of(1), "Home");
    remit_row(e, 70, 92, 81, colour_of(1));
    remit_text(e, 100, 80, 16, colour_of(0), "to go back.");
    remit_fill(e, 60, 70, 200, 90, colour_of(3));  // covers the words: drawn after them
    remit_release(e);
    EXPECT_EQ(count(e.out, "<BC "), 3) << e.out;
    EXPECT_EQ(count(e.out, "<FC "), 2) << e.out;
    EXPECT_GT(e.out.find("<CR 3 78 8c"), e.out.find("to go back.")) << e.out;
}

// Screens with very many tags, or with tags that nearly all touch, are
// written as given rather than weighed pair by pair.
TEST_F(Emit, CrowdedScreensAreWrittenAsGiven) {
    for (int shape = 0; shape < 2; shape++) {
        Emitter given, held;
        remit_hold(held);
        int n = shape == 0 ? 2100 : 800;
        for (Emitter* e : {&given, &held})
            for (int i = 0; i < n; i++) {
                int x = shape == 0 ? i % 300 : 10, y = shape == 0 ? (i / 300) * 30 : 10;
                remit_fill(*e, x, y, x + (shape == 0 ? 1 : 100), y + 20, colour_of(i % 3));
            }
        remit_release(held);
        EXPECT_EQ(given.out, held.out) << "shape " << shape;
        EXPECT_TRUE(held.held.empty());
    }
}
