// Text runs draw glyphs clipped first and without looking a glyph up for
// every character. What they leave must be what the plain reading of a run
// leaves: every code looked up in turn (main store, secondary store,
// hyphen), every level plotted through the clipped pixel store, the
// distinct codes pinned before and unpinned after. The reference below is
// that reading, run on a second engine loaded from the same shipped cache;
// both must leave the same pixels, the same current glyph and the same
// recency order in the store.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "gfx/charset.h"
#include "gfx/fb.h"
#include "gfx/fontcache.h"
#include "gfx/text.h"
#include "tests/unit/test_device.h"

namespace {

struct LoadedEngine {
    LoadedEngine() {
        int err;
        pool = pool_create(&err);
        engine = text_engine_create(pool, &err);
        engine->colour_mode = 'L';
        engine->main_store = glyph_store_create(GLYPH_MAIN_STORE_SIZE, &err);
        engine->secondary_store = glyph_store_create(GLYPH_SECONDARY_STORE_SIZE, &err);
        loaded = font_cache_load(engine, "/cv/tccache.bin");
    }
    ~LoadedEngine() {
        int err;
        glyph_store_destroy(engine->secondary_store, &err);
        glyph_store_destroy(engine->main_store, &err);
        text_engine_destroy(engine, &err);
        pool_release(pool);
    }
    // Keys from the most recently used entry to the least.
    std::vector<uint64_t> recency() const {
        std::vector<uint64_t> keys;
        const GlyphStore* s = engine->main_store;
        for (uint32_t off = s->mru; off;) {
            const GlyphEntry* e = (const GlyphEntry*)((const char*)s + off);
            keys.push_back((uint64_t)e->style << 48 | (uint64_t)e->character << 32 | e->pixel_size);
            off = e->older;
        }
        return keys;
    }
    MemPool* pool;
    TextEngine* engine;
    int loaded;
};

// ---- the plain reading of a run ----

int ref_find(TextEngine* e, uint16_t style, uint32_t size, WCHAR code) {
    int err;
    if (glyph_lookup(e->main_store, style, size, e, code, &err)) return 1;
    if (glyph_lookup(e->secondary_store, style, size, e, code, &err)) return 1;
    return glyph_lookup(e->main_store, style, size, e, '-', &err) != nullptr;
}

int64_t ref_advance(TextEngine* e, const WCHAR* t, int n, uint16_t style, uint32_t size) {
    int64_t acc = 0;
    for (int i = 0; i < n && t[i]; i++)
        if (ref_find(e, style, size, t[i])) acc += e->glyph[GLYPH_M_ADVANCE];
    return acc;
}

void ref_sample(TextEngine* e, int width, LONG x, LONG y, int16_t size) {
    const Rect& clip = gfx.clip;
    int64_t x0 = x, x1 = (int64_t)x + width - 1, y0 = (int64_t)y - (size >> 1), y1 = (int64_t)y - 1;
    if (x0 >= clip.right) return;
    if (x0 < clip.left) {
        x1 += clip.left - x0;
        x0 = clip.left;
    }
    if (x1 > clip.right) x1 = clip.right;
    if (x1 < x0) x1 = x0;
    auto cy = [&](int64_t v) { return v < clip.top ? clip.top : v > clip.bottom ? clip.bottom : v; };
    y0 = cy(y0);
    y1 = cy(y1);
    int64_t xm = x0 + (x1 - x0) / 2, ym = y0 + (y1 - y0) / 2;
    const int64_t px[5] = {x0, xm, x1, x0 + (xm - x0) / 2, xm + (x1 - xm) / 2};
    const int64_t py[5] = {y0, ym, y1, y1, y0};
    unsigned r = 0, g = 0, b = 0;
    for (int i = 0; i < 5; i++) {
        uint16_t p = gfx_get_pixel((LONG)px[i], (LONG)py[i]);
        r += p >> 11;
        g += (p >> 5) & 63;
        b += p & 31;
    }
    DWORD bg = (r / 5) << 3 | ((g / 5) << 2) << 8 | ((b / 5) << 3) << 16;
    text_set_colours(e, text_colour[0] | text_colour[1] << 8 | text_colour[2] << 16, bg);
}

void ref_draw(TextEngine* e, const WCHAR* t, int n, uint16_t style, int16_t size, LONG x, LONG y) {
    uint32_t z = (uint32_t)(int32_t)size;
    e->cur_style = style;
    e->cur_size = z;
    std::vector<WCHAR> distinct;
    for (int i = 0; i < n && t[i] && distinct.size() < 513; i++)
        if (std::find(distinct.begin(), distinct.end(), t[i]) == distinct.end()) distinct.push_back(t[i]);
    int err;
    for (WCHAR c : distinct) glyph_pin(e->main_store, style, z, e, c, &err);
    if (text_sample_background) {
        int64_t w = (ref_advance(e, t, n, style, z) + 0x8000) >> 16;
        ref_sample(e, (int)w, x, y, size);
    }
    int64_t acc = 0;
    for (int i = 0; i < n && t[i]; i++) {
        if (!ref_find(e, style, z, t[i])) continue;
        int64_t gx = x + ((acc + 0x8000) >> 16) + (e->glyph[GLYPH_M_LEFT] >> 6);
        int64_t gy = y - (e->glyph[GLYPH_M_TOP] >> 6);
        int32_t w = e->glyph[GLYPH_M_WIDTH], rows = e->glyph[GLYPH_M_ROWS];
        if (e->bitmap && e->glyph[GLYPH_M_STRIDE] == w) {
            for (int32_t r = 0; r < rows; r++)
                for (int32_t c = 0; c < w; c++) {
                    uint8_t level = e->bitmap[r * w + c];
                    if (level) gfx_plot((LONG)(gx + c), (LONG)(gy + r), 13 + (level > 126 ? 126 : level));
                }
        }
        acc += e->glyph[GLYPH_M_ADVANCE];
    }
    for (WCHAR c : distinct) glyph_unpin(e->main_store, style, z, e, c, &err);
}

int ref_measure(TextEngine* e, const WCHAR* t, int n, uint16_t style, int16_t size) {
    uint32_t z = (uint32_t)(int32_t)size;
    e->cur_style = style;
    e->cur_size = z;
    std::vector<WCHAR> distinct;
    for (int i = 0; i < n && t[i] && distinct.size() < 513; i++)
        if (std::find(distinct.begin(), distinct.end(), t[i]) == distinct.end()) distinct.push_back(t[i]);
    int err;
    for (WCHAR c : distinct) glyph_pin(e->main_store, style, z, e, c, &err);
    int64_t w = (ref_advance(e, t, n, style, z) + 0x8000) >> 16;
    for (WCHAR c : distinct) glyph_unpin(e->main_store, style, z, e, c, &err);
    return (int)w;
}

// The current glyph: metrics words and the levels it points at.
std::vector<int32_t> current_glyph(const TextEngine* e) {
    std::vector<int32_t> v(e->glyph, e->glyph + GLYPH_KEPT);
    v.push_back(e->bitmap != nullptr);
    if (e->bitmap)
        for (int i = 0; i < e->glyph[GLYPH_M_ROWS] * e->glyph[GLYPH_M_STRIDE]; i++) v.push_back(e->bitmap[i]);
    return v;
}

}  // namespace

TEST(RunEquivalence, RunsLeaveWhatLookingUpAndPlottingEveryCharacterLeaves) {
    test_device_open(CV_BINARY_DIR "/device");
    LoadedEngine fast, ref;
    ASSERT_EQ(fast.loaded, 2370) << "build the font_cache target first";
    ASSERT_EQ(ref.loaded, 2370);
    std::vector<uint16_t> mem(240 * 320);
    gfx.props.cbyPitch = 480;
    gfx.frame = (char*)mem.data();
    std::mt19937 rng(99);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    static const FaceSize faces[] = {{0, 8}, {0, 10}, {0, 13}, {2, 10}, {4, 11}, {0, 7}};  // 7: no glyphs
    for (int i = 0; i < 300; i++) {
        // A striped ground, so that sampling finds varied backgrounds.
        for (size_t k = 0; k < mem.size(); k++) mem[k] = (uint16_t)(k / 480 * 0x0841 + (k % 7) * 0x1000);
        LONG t = pick(0, 200), l = pick(0, 280);
        gfx.clip = {0, 0, 239, 319};
        if (i % 3) gfx_set_clip(t, l, pick(t + 1, 239), pick(l + 1, 319));
        const FaceSize& f = faces[pick(0, 5)];
        std::vector<WCHAR> run;
        int n = pick(0, 70);
        for (int k = 0; k < n; k++) {
            int kind = pick(0, 9);
            run.push_back(kind == 0   ? (WCHAR)pick(0x3000, 0x3010)  // no glyph: a hyphen
                          : kind == 1 ? (WCHAR)'-'
                                      : (WCHAR)charset_table[pick(0, CHARSET_SIZE - 1)]);
        }
        if (i % 10 == 0 && n > 3) run[(size_t)n / 2] = 0;  // ends early at a 0 code
        run.push_back(0);
        LONG x = pick(-60, 330), y = pick(-10, 260);
        text_sample_background = (BYTE)(i % 4 != 0);
        text_colour[0] = (BYTE)pick(0, 255);
        text_colour[1] = (BYTE)pick(0, 255);
        text_colour[2] = (BYTE)pick(0, 255);
        if (i % 4 == 0) text_set_colours(fast.engine, 0x102030, 0xF0E0D0);
        std::vector<uint16_t> before = mem;
        int err = 0;
        int16_t size = (int16_t)f.size;
        int width = 0;
        if (i % 2) text_draw(fast.engine, run.data(), (uint16_t)n, f.style, size, x, y, &err);
        else width = text_measure(fast.engine, run.data(), (uint16_t)n, f.style, size, &err);
        ASSERT_EQ(err, 0);
        std::vector<uint16_t> got = mem;
        std::vector<BYTE> palette_got(&gfx.palette[0][0], &gfx.palette[0][0] + sizeof gfx.palette);
        mem = before;
        if (i % 4 == 0) text_set_colours(ref.engine, 0x102030, 0xF0E0D0);
        if (i % 2) {
            ref_draw(ref.engine, run.data(), n, f.style, size, x, y);
        } else {
            ASSERT_EQ(width, ref_measure(ref.engine, run.data(), n, f.style, size)) << "case " << i;
        }
        ASSERT_EQ(got, mem) << "case " << i;
        ASSERT_EQ(current_glyph(fast.engine), current_glyph(ref.engine)) << "case " << i;
        ASSERT_EQ(fast.recency(), ref.recency()) << "case " << i;
        ASSERT_EQ(glyph_store_check(fast.engine->main_store), glyph_store_check(ref.engine->main_store));
        std::vector<BYTE> palette_ref(&gfx.palette[0][0], &gfx.palette[0][0] + sizeof gfx.palette);
        ASSERT_EQ(palette_got, palette_ref) << "case " << i;
    }
    text_sample_background = 1;
    text_colour[0] = text_colour[1] = text_colour[2] = 0;
    gfx.frame = nullptr;
    GXCloseDisplay();
}
