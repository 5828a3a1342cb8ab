// Text runs: colour ramps, drawing and measuring runs from the glyph stores,
// missing glyphs, background sampling, the 16-bit string helpers, and the
// shipped font cache drawn on the emulated display.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "emu.h"
#include "tests/unit/test_device.h"
#include "gfx/charset.h"
#include "gfx/fb.h"
#include "gfx/fontcache.h"
#include "gfx/pool.h"
#include "gfx/text.h"

namespace {

// The emulated display, opened for drawing; the device root is the build's
// device folder so that "/cv/tccache.bin" is the generated cache.
struct Display {
    Display() {
        test_device_open(CV_BINARY_DIR "/device");
        gfx_fill_rect(&full, COLOUR_WHITE);
    }
    ~Display() { GXCloseDisplay(); }
    std::vector<uint16_t> screen() {
        std::vector<uint16_t> s(320 * 240);
        emu_screen(s.data());
        return s;
    }
    Rect full{0, 0, 239, 319};
};

// An engine of its own with both stores (not the program's global one).
struct Engine {
    explicit Engine(int mode = 'L') {
        int err;
        pool = pool_create(&err);
        engine = text_engine_create(pool, &err);
        engine->colour_mode = mode;
        engine->main_store = glyph_store_create(GLYPH_MAIN_STORE_SIZE, &err);
        engine->secondary_store = glyph_store_create(GLYPH_SECONDARY_STORE_SIZE, &err);
        // The ramp remembers its last pair across engines while the display
        // state is reset per test: a pair no test uses forces a rebuild.
        text_set_colours(engine, 0x010203, 0x040506);
    }
    ~Engine() {
        int err;
        glyph_store_destroy(engine->secondary_store, &err);
        glyph_store_destroy(engine->main_store, &err);
        text_engine_destroy(engine, &err);
        pool_release(pool);
    }
    // Inserts a solid glyph of the given size into the main store.
    void add(uint16_t style, uint32_t size, uint16_t code, int width, int rows, int advance_px,
             uint8_t level = 12, int top = -1) {
        memset(engine->glyph, 0, sizeof engine->glyph);
        engine->glyph[GLYPH_M_FORMAT] = 1;
        engine->glyph[GLYPH_M_ADVANCE] = advance_px << 16;
        engine->glyph[GLYPH_M_TOP] = (top < 0 ? rows : top) << 6;
        engine->glyph[GLYPH_M_WIDTH] = width;
        engine->glyph[GLYPH_M_ROWS] = rows;
        engine->glyph[GLYPH_M_STRIDE] = width;
        uint8_t* levels = glyph_store_alloc_bitmap(engine->main_store, width * rows);
        ASSERT_NE(levels, nullptr);
        memset(levels, level, width * rows);
        engine->bitmap = levels;
        int err;
        glyph_store_insert(engine->main_store, style, size, engine, code, &err);
        ASSERT_EQ(err, 0);
    }
    MemPool* pool;
    TextEngine* engine;
};

const DWORD BLACK = 0x000000, WHITE = 0xFFFFFF;

std::vector<WCHAR> wide(const char* s) {
    std::vector<WCHAR> w;
    for (; *s; s++) w.push_back((WCHAR)(unsigned char)*s);
    w.push_back(0);
    return w;
}

// Columns of the screen in which a row band holds a pixel other than white.
std::vector<int> inked_columns(const std::vector<uint16_t>& s, int y0, int y1) {
    std::vector<int> cols;
    for (int x = 0; x < 320; x++) {
        for (int y = y0; y <= y1; y++) {
            if (s[y * 320 + x] != 0xFFFF) {
                cols.push_back(x);
                break;
            }
        }
    }
    return cols;
}

void reset_ramp_memory(TextEngine* e) { text_set_colours(e, 0x010203, 0x040506); }

}  // namespace

TEST(Ramp, BlackOnWhiteInModeLGivesLevel12BlackAndLevel0White) {
    Display d;
    Engine e('L');
    reset_ramp_memory(e.engine);
    text_set_colours(e.engine, BLACK, WHITE);
    for (int ch = 0; ch < 3; ch++) {
        EXPECT_EQ(gfx.palette[13 + 12][ch], 0);
        EXPECT_EQ(gfx.palette[13 + 0][ch], 255);
    }
    // entry 13 of the table ("001"): only blue carries one twelfth
    EXPECT_EQ(gfx.palette[13 + 13][0], 255);
    EXPECT_EQ(gfx.palette[13 + 13][2], 255 - 21);
    EXPECT_EQ(pool_check(e.pool), 1);  // the aside block was given back
}

TEST(Ramp, ModeLBlendsOtherPairsPerChannel) {
    Display d;
    Engine e('L');
    text_set_colours(e.engine, 0x0000FF, 0xFF0000);  // red on blue
    // level 12 ("ccc"): weight 255: (1 * B + 255 * F) >> 8
    EXPECT_EQ(gfx.palette[25][0], (255 * 255) >> 8);
    EXPECT_EQ(gfx.palette[25][2], (1 * 255) >> 8);
    // level 0: all background
    EXPECT_EQ(gfx.palette[13][0], 0);
    EXPECT_EQ(gfx.palette[13][2], 255);
}

TEST(Ramp, SecondIdenticalRequestLeavesThePaletteUntouched) {
    Display d;
    Engine e('L');
    text_set_colours(e.engine, 0x112233, 0xDDEEFF);
    gfx.palette[20][0] = 77;  // a mark the rebuild would overwrite
    text_set_colours(e.engine, 0x112233, 0xDDEEFF);
    EXPECT_EQ(gfx.palette[20][0], 77);
    text_set_colours(e.engine, 0x112234, 0xDDEEFF);
    EXPECT_NE(gfx.palette[20][0], 77);
}

TEST(Ramp, ModeGRunsFromBackgroundToForeground) {
    Display d;
    Engine e('G');
    text_set_colours(e.engine, 0x000000, 0xFFFFFF);
    EXPECT_EQ(gfx.palette[13][0], 255);
    EXPECT_EQ(gfx.palette[139][0], 0);
    EXPECT_EQ(gfx.palette[138][1], 4);  // 255 - 125 * 255 / 127, rounded
    for (int i = 14; i < 139; i++) EXPECT_LE(gfx.palette[i][2], gfx.palette[i - 1][2]);
}

TEST(Ramp, ByIndexTakesTheFixedPaletteEntries) {
    Display d;
    Engine e('L');
    reset_ramp_memory(e.engine);
    text_set_colours_by_index(e.engine, COLOUR_BLACK, COLOUR_WHITE);
    EXPECT_EQ(gfx.palette[25][0], 0);
    EXPECT_EQ(gfx.palette[13][0], 255);
}

TEST(FxDiv, DividesSignedFixedPoint) {
    EXPECT_EQ(fx_div(3 << 16, 2 << 16), 0x18000);
    EXPECT_EQ(fx_div(-255 * 65536, 127 << 16), -(int32_t)((255LL << 16) / 127));
    EXPECT_EQ(fx_div(1 << 16, 3 << 16), 21845);
    EXPECT_EQ(fx_div(5, 0), INT32_MAX);  // no trap on a zero divisor
}

TEST(Runs, MissingGlyphIsDrawnAndMeasuredAsAHyphen) {
    Display d;
    Engine e;
    e.add(0, 10, 'A', 3, 5, 4);
    e.add(0, 10, 'B', 2, 5, 6);
    e.add(0, 10, '-', 4, 1, 5, 12, 3);
    auto run = wide("A?B");
    int err = -1;
    EXPECT_EQ(text_measure(e.engine, run.data(), 3, 0, 10, &err), 4 + 5 + 6);
    EXPECT_EQ(err, 0);
    text_sample_background = 0;
    text_set_colours(e.engine, BLACK, WHITE);
    text_draw(e.engine, run.data(), 3, 0, 10, 100, 50, &err);
    text_sample_background = 1;
    EXPECT_EQ(err, 0);
    auto s = d.screen();
    // A at 100-102 (rows 45-49), hyphen at 104-107 (row 47 only), B at 109-110
    EXPECT_EQ(s[45 * 320 + 100], 0);
    EXPECT_EQ(s[49 * 320 + 102], 0);
    EXPECT_EQ(s[47 * 320 + 104], 0);
    EXPECT_EQ(s[47 * 320 + 107], 0);
    EXPECT_EQ(s[46 * 320 + 105], 0xFFFF);
    EXPECT_EQ(s[45 * 320 + 109], 0);
    EXPECT_EQ(inked_columns(s, 40, 55).size(), 3u + 4u + 2u);
}

TEST(Runs, WithoutAHyphenAMissingGlyphDrawsNothingAndDoesNotAdvance) {
    Display d;
    Engine e;
    e.add(0, 10, 'A', 3, 5, 4);
    auto run = wide("A?A");
    int err;
    EXPECT_EQ(text_measure(e.engine, run.data(), 3, 0, 10, &err), 8);
    EXPECT_EQ(err, 0);
}

TEST(Runs, EndAtTheLengthOrAtAZeroCode) {
    Display d;
    Engine e;
    e.add(0, 10, 'A', 3, 5, 4);
    auto run = wide("AAAA");
    int err;
    EXPECT_EQ(text_measure(e.engine, run.data(), 2, 0, 10, &err), 8);
    run[3] = 0;
    EXPECT_EQ(text_measure(e.engine, run.data(), 4, 0, 10, &err), 12);
    EXPECT_EQ(text_measure_cstr(e.engine, "AA\xc3\xa9", 0, 10, &err), 8);  // high bytes: no glyph
}

TEST(Runs, LevelZeroLeavesTheScreenAndStrideMismatchDrawsNothing) {
    Display d;
    Engine e;
    e.add(0, 10, 'o', 3, 3, 4, 0);
    e.add(0, 10, 'x', 3, 3, 4);
    GlyphEntry* x = glyph_store_find(e.engine->main_store, 0, 'x', 10);
    x->metrics[GLYPH_M_STRIDE] = 2;
    text_sample_background = 0;
    int err;
    text_draw_cstr(e.engine, "ox", 0, 10, 10, 20, &err);
    text_sample_background = 1;
    auto s = d.screen();
    EXPECT_TRUE(inked_columns(s, 0, 239).empty());
}

TEST(Runs, SamplingIsShiftedIntoTheClip) {
    Display d;
    Engine e('L');
    e.add(0, 10, 'A', 3, 5, 10);
    // the screen left of x 50 is white, from 50 on dark grey
    Rect grey{0, 50, 239, 319};
    gfx_fill_rect(&grey, COLOUR_DARK_GREY);
    gfx_set_clip(0, 50, 239, 319);
    text_colour[0] = text_colour[1] = text_colour[2] = 0;
    reset_ramp_memory(e.engine);
    auto run = wide("AAAA");  // 40 pixels wide, starting at 30: 20 visible
    int err;
    text_draw(e.engine, run.data(), 4, 0, 10, 30, 100, &err);
    EXPECT_EQ(err, 0);
    // background taken from the visible grey, so level 0 of the ramp is grey
    EXPECT_EQ(gfx.palette[13][0], 0x66 & 0xF8);
    EXPECT_EQ(gfx.palette[13][1], 0x66 & 0xFC);
    gfx_set_clip(0, 0, 239, 319);
}

TEST(Runs, ARunStartingAtTheClipsRightEdgeIsNotSampled) {
    Display d;
    Engine e('L');
    e.add(0, 10, 'A', 3, 5, 10);
    gfx_set_clip(0, 0, 239, 200);
    text_set_colours(e.engine, 0x0000FF, 0x00FF00);
    uint8_t before[3];
    memcpy(before, gfx.palette[13], 3);
    auto run = wide("AA");
    int err;
    text_draw(e.engine, run.data(), 2, 0, 10, 200, 100, &err);
    text_draw(e.engine, run.data(), 2, 0, 10, 250, 100, &err);
    EXPECT_EQ(memcmp(before, gfx.palette[13], 3), 0);
    auto s = d.screen();
    auto cols = inked_columns(s, 0, 239);
    ASSERT_EQ(cols.size(), 1u);  // only the clip's last column shows
    EXPECT_EQ(cols[0], 200);
    gfx_set_clip(0, 0, 239, 319);
}

TEST(Runs, EmptyRunAtTheLeftEdgeSamplesInsideTheScreen) {
    Display d;
    Engine e('L');
    int err;
    WCHAR none[1] = {0};
    text_draw(e.engine, none, 0, 0, 10, 0, 0, &err);  // box above row 0, width 0
    EXPECT_EQ(err, 0);
}

TEST(Runs, PinsDuringTheRunAndUnpinsAfterwards) {
    Display d;
    Engine e;
    e.add(0, 10, 'A', 3, 5, 4);
    int err;
    text_measure_cstr(e.engine, "AAA", 0, 10, &err);
    EXPECT_EQ(glyph_store_find(e.engine->main_store, 0, 'A', 10)->pinned, 0);
}

TEST(Runs, WithoutAnEngineNothingHappens) {
    int err = 0;
    text_draw_cstr(nullptr, "abc", 0, 10, 0, 10, &err);
    EXPECT_EQ(err, ERR_ENGINE_NO_POOL);
    EXPECT_EQ(text_measure_cstr(nullptr, "abc", 0, 10, &err), 0);
}

TEST(Strings, WstrLenCountsToTheZero) {
    const WCHAR s[] = {'a', 0x20AC, 'b', 0};
    EXPECT_EQ(wstr_len(s), 3);
    EXPECT_EQ(wstr_len(nullptr), 0);
}

TEST(Strings, Utf8WithAShortBufferStopsBeforeASplitCharacter) {
    const WCHAR s[] = {0xE9, 't', 0xE9, 0};
    char out[8];
    memset(out, 'x', sizeof out);
    EXPECT_EQ(wstr_to_utf8(out, s, 4), 6);
    EXPECT_EQ((unsigned char)out[0], 0xC3);
    EXPECT_EQ((unsigned char)out[1], 0xA9);
    EXPECT_EQ(out[2], 't');
    EXPECT_EQ(out[3], 'x');  // no terminator
}

TEST(Strings, Utf8ConvertsAllThreeLengths) {
    const WCHAR s[] = {'A', 0xE9, 0x20AC, 0};
    char out[16];
    EXPECT_EQ(wstr_to_utf8(out, s, sizeof out), 7);
    EXPECT_STREQ(out, "A\xc3\xa9\xe2\x82\xac");
    EXPECT_EQ(wstr_to_utf8(nullptr, s, 0), 7);  // counting only
    EXPECT_EQ(wstr_to_utf8(out, s, 0), 7);     // no room at all
}

TEST(Strings, Utf8OfANullString) {
    char out[2] = {'x', 'x'};
    EXPECT_EQ(wstr_to_utf8(out, nullptr, 2), 1);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(wstr_to_utf8(nullptr, nullptr, 0), 0);
}

// ---------------------------------------------------------------------------
// The shipped font cache

static const char* const CACHE = CV_BINARY_DIR "/device/cv/tccache.bin";

TEST(ShippedCache, LoadsAllGlyphsOnceWithoutEviction) {
    Display d;
    ASSERT_TRUE(std::ifstream(CACHE).good()) << "build the font_cache target first";
    Engine e;
    EXPECT_EQ(font_cache_load(e.engine, "/cv/tccache.bin"), 2370);
    GlyphStore* s = e.engine->main_store;
    EXPECT_EQ(glyph_store_count(s), 2370);
    EXPECT_GE(glyph_store_check(s), 0);
    for (int p = 0; p < CHARSET_FACES; p++) {
        for (int i = 0; i < CHARSET_SIZE; i++) {
            uint16_t style = charset_faces[p].style, c = charset_table[i];
            uint32_t size = charset_faces[p].size;
            // exactly once: present, and absent after removing that one entry
            int n = 0;
            for (uint32_t off = s->buckets[(c + (style << 4) + size) & 127]; off;) {
                const GlyphEntry* g = (const GlyphEntry*)((const char*)s + off);
                if (g->character == c && g->style == style && g->pixel_size == size) n++;
                off = g->next;
            }
            EXPECT_EQ(n, 1) << "style " << style << " size " << size << " U+" << std::hex << c;
        }
    }
}

TEST(ShippedCache, GlyphsAreSaneAndTheSpaceHasNoLevels) {
    Display d;
    Engine e;
    ASSERT_EQ(font_cache_load(e.engine, "/cv/tccache.bin"), 2370);
    GlyphStore* s = e.engine->main_store;
    const GlyphEntry* space = glyph_store_find(s, 0, ' ', 10);
    ASSERT_NE(space, nullptr);
    EXPECT_EQ(space->metrics[GLYPH_M_ROWS], 0);
    EXPECT_GT(space->metrics[GLYPH_M_ADVANCE], 0);
    const GlyphEntry* m = glyph_store_find(s, 0, 'M', 13);
    ASSERT_NE(m, nullptr);
    EXPECT_GE(m->metrics[GLYPH_M_ROWS], 8);
    EXPECT_LE(m->metrics[GLYPH_M_ROWS], 13);
    EXPECT_EQ(m->metrics[GLYPH_M_TOP] >> 6, m->metrics[GLYPH_M_ROWS]);  // sits on the baseline
    int err;
    auto run = wide("Hello");
    int w8 = text_measure(e.engine, run.data(), 5, 0, 8, &err);
    int w13 = text_measure(e.engine, run.data(), 5, 0, 13, &err);
    EXPECT_GT(w8, 15);
    EXPECT_GT(w13, w8);
}

// Draws every style and size of the shipped cache, in black on white and on
// coloured backgrounds, and writes the screen to text_styles.png in the build
// folder for a person to look at.
TEST(ShippedCache, DrawsEveryStyleAndSize) {
    Display d;
    Engine e;
    ASSERT_EQ(font_cache_load(e.engine, "/cv/tccache.bin"), 2370);
    static const FaceSize order[10] = {{0, 8}, {0, 9}, {0, 10}, {0, 11}, {0, 12},
                                       {0, 13}, {2, 10}, {4, 8}, {4, 10}, {4, 11}};
    int y = 2;
    int err = 0;
    text_colour[0] = text_colour[1] = text_colour[2] = 0;
    for (const FaceSize& fs : order) {
        y += fs.size + 3;
        char label[160];
        snprintf(label, sizeof label, "%u/%u The quick brown fox jumps over the lazy dog 0123456789",
                 fs.style, fs.size);
        text_draw_cstr(e.engine, label, fs.style, (int16_t)fs.size, 2, y, &err);
        ASSERT_EQ(err, 0);
    }
    // Latin-1, symbols and arrows
    const WCHAR extra[] = {0xC0, 0xC9, 0xD6, 0xDC, 0xDF, 0xE0, 0xE9, 0xF1, 0xF6, 0xFC, 0xA9,
                           0xAE, 0xA7, 0xB5, 0x20AC, 0x152, 0x153, 0x2DA, 0x2013, 0x2014,
                           0x201C, 0x201D, 0x2026, 0x2122, 0x2190, 0x2191, 0x2192, 0x2193,
                           0x21B5, 0x2408, ' ', 0xA0, '|', 0};
    y += 16;
    text_draw(e.engine, extra, wstr_len(extra), 0, 13, 2, y, &err);
    y += 14;
    text_draw(e.engine, extra, wstr_len(extra), 4, 11, 2, y, &err);
    // white on dark blue, red on pale grey: backgrounds sampled from the screen
    Rect band{y + 4, 0, y + 20, 159};
    gfx_fill_rect(&band, COLOUR_DARK_BLUE);
    text_colour[0] = text_colour[1] = text_colour[2] = 255;
    text_draw_cstr(e.engine, "White on dark blue", 0, 12, 4, y + 16, &err);
    Rect band2{y + 4, 160, y + 20, 319};
    gfx_fill_rect(&band2, COLOUR_PALE_GREY);
    text_colour[0] = 0xA8;
    text_colour[1] = text_colour[2] = 0;
    text_draw_cstr(e.engine, "Red on pale grey", 2, 10, 164, y + 16, &err);
    text_colour[0] = text_colour[1] = text_colour[2] = 0;
    EXPECT_EQ(err, 0);
    auto s = d.screen();
    std::string png = CV_BINARY_DIR "/text_styles.png";
    ASSERT_EQ(emu_write_png(png.c_str(), s.data(), 320, 240), 0);
    // every line put ink on the screen
    int y0 = 2;
    for (const FaceSize& fs : order) {
        int base = y0 + fs.size + 3;
        EXPECT_GT(inked_columns(s, base - (int)fs.size, base).size(), 150u) << fs.size;
        y0 = base;
    }
}

// Mode G ("HP," devices): a level is drawn with the ramp entry of its mean
// weight. Full coverage (level 12, every channel 12/12) is the foreground
// itself, and the darkness of black text on white follows the mean weight of
// the level-table entry: a fringe level is never darker than a fuller one.
TEST(Ramp, ModeGDrawsEachLevelWithTheEntryOfItsMeanWeight) {
    Display d;
    Engine e('G');
    text_colour[0] = text_colour[1] = text_colour[2] = 0;
    for (int level = 1; level <= GLYPH_MAX_LEVEL; level++) e.add(0, 10, (uint16_t)(0x100 + level), 1, 1, 1, (uint8_t)level);
    text_sample_background = 0;
    text_set_colours(e.engine, BLACK, WHITE);
    WCHAR run[GLYPH_MAX_LEVEL + 1];
    for (int level = 1; level <= GLYPH_MAX_LEVEL; level++) run[level - 1] = (WCHAR)(0x100 + level);
    run[GLYPH_MAX_LEVEL] = 0;
    int err = 0;
    text_draw(e.engine, run, GLYPH_MAX_LEVEL, 0, 10, 0, 10, &err);  // one pixel per level, row 9
    text_sample_background = 1;
    ASSERT_EQ(err, 0);
    auto s = d.screen();
    auto red = [&](int level) { return s[9 * 320 + level - 1] >> 11; };
    EXPECT_EQ(s[9 * 320 + 12 - 1], 0x0000);  // level 12: black
    static const char* const table[GLYPH_MAX_LEVEL + 1] = {
        "000", "111", "222", "333", "444", "555", "666", "777", "888", "999", "aaa", "bbb", "ccc",
        "001", "002", "003", "013", "100", "110", "112", "113", "124", "125", "210", "220", "221",
        "223", "224", "234", "235", "236", "320", "321", "330", "331", "332", "334", "335", "336",
        "345", "346", "347", "348", "431", "432", "442", "443", "445", "446", "457", "458", "531",
        "541", "542", "543", "553", "554", "556", "557", "565", "566", "567", "568", "569", "56a",
        "578", "579", "57a", "652", "653", "654", "663", "664", "665", "667", "676", "677", "678",
        "68a", "763", "764", "765", "774", "775", "776", "778", "779", "787", "788", "789", "873",
        "874", "875", "876", "884", "885", "886", "887", "889", "896", "898", "899", "89a", "987",
        "997", "998", "99a", "9a7", "9a9", "9bc", "a98", "aa8", "aa9", "aab", "aac", "abc", "bb9",
        "bba", "bbc", "bcc", "cca", "ccb",
    };
    auto weight = [&](int level) {
        int sum = 0;
        for (int ch = 0; ch < 3; ch++) {
            char c = table[level][ch];
            sum += c >= 'a' ? c - 'a' + 10 : c - '0';
        }
        return sum;
    };
    for (int a = 1; a <= GLYPH_MAX_LEVEL; a++) {
        for (int b = 1; b <= GLYPH_MAX_LEVEL; b++) {
            if (weight(a) > weight(b)) {
                EXPECT_LE(red(a), red(b)) << a << " is fuller than " << b;
            }
        }
    }
    // Half coverage is about half ink.
    EXPECT_NEAR(red(6), 16, 2);
}

// The same lines of the shipped font drawn in both modes at the same place:
// pixel by pixel, mode G's grey follows the coverage that mode L spreads over
// its three channels, so the two pictures agree in lightness (mode G's cores
// are not left light with dark fringes around them).
TEST(Ramp, BothModesDrawTheSameLightnessPixelByPixel) {
    Display d;
    std::vector<uint16_t> shot[2];
    for (int m = 0; m < 2; m++) {
        gfx_fill_rect(&d.full, COLOUR_WHITE);
        Engine e(m == 0 ? 'L' : 'G');
        ASSERT_EQ(font_cache_load(e.engine, "/cv/tccache.bin"), 2370);
        text_colour[0] = text_colour[1] = text_colour[2] = 0;
        int err = 0;
        int y = 20;
        for (int size = 8; size <= 13; size++, y += size + 4)
            text_draw_cstr(e.engine, "The quick brown fox jumps over the lazy dog", 0, (int16_t)size, 2, y, &err);
        ASSERT_EQ(err, 0);
        shot[m] = d.screen();
    }
    // Lightness as the sum of the three channels on a 0..93 scale.
    auto light = [](uint16_t p) { return (p >> 11) + ((p >> 5) & 63) / 2 + (p & 31); };
    long inked = 0, apart = 0;
    for (size_t i = 0; i < shot[0].size(); i++) {
        if (shot[0][i] == 0xFFFF && shot[1][i] == 0xFFFF) continue;
        inked++;
        apart += std::abs(light(shot[0][i]) - light(shot[1][i]));
    }
    ASSERT_GT(inked, 1000);
    // Both pictures, one above the other, to look at.
    std::vector<uint16_t> both(320 * 240, 0xFFFF);
    for (int m = 0; m < 2; m++)
        for (int yy = 0; yy < 110; yy++)
            for (int x = 0; x < 320; x++) both[(yy + 120 * m) * 320 + x] = shot[m][(yy + 5) * 320 + x];
    ASSERT_EQ(emu_write_png(CV_BINARY_DIR "/text_modes.png", both.data(), 320, 240), 0);
    EXPECT_LT(apart / inked, 6) << "mean lightness difference " << (double)apart / inked << " of 93";
}

// A caller's own guarded entry on the main pool stays armed across text calls.
TEST(Runs, TextCallsLeaveTheCallersGuardArmed) {
    Display d;
    Engine e;
    e.add(0, 10, 'A', 3, 5, 4);
    volatile int step = 0;
    int code = setjmp(e.pool->jump);
    if (code == 0) {
        int err;
        step = 1;
        text_measure_cstr(e.engine, "AA", 0, 10, &err);
        text_set_colours(e.engine, 0x123456, 0x654321);
        text_draw_cstr(e.engine, "A", 0, 10, 5, 20, &err);
        step = 2;
        pool_fail(e.pool, 4242);
    }
    EXPECT_EQ(code, 4242);
    EXPECT_EQ(step, 2);
}
