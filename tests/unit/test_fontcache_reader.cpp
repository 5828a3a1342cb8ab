// Loading the font cache reads the file through a block of its own and
// clamps levels eight at a time. Records of every size (empty, a few bytes,
// more than the block holds) falling anywhere across the block's edges must
// load byte for byte, with every level above the table's last entry clamped
// to it, and glyphs that the store cannot take must be passed over exactly.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "gfx/fontcache.h"
#include "gfx/pool.h"
#include "tests/unit/test_device.h"

namespace {

struct Glyph {
    uint16_t style;
    uint32_t size;
    uint16_t c;
    int32_t w, rows;
    std::vector<uint8_t> levels;
};

std::vector<unsigned char> cache_file(const std::vector<Glyph>& glyphs) {
    std::vector<unsigned char> out;
    auto p16 = [&](uint32_t v) {
        out.push_back(v & 255);
        out.push_back(v >> 8 & 255);
    };
    auto p32 = [&](uint32_t v) {
        for (int i = 0; i < 4; i++) out.push_back(v >> (8 * i) & 255);
    };
    p16((uint32_t)glyphs.size());
    for (const Glyph& g : glyphs) {
        p16(g.style);
        p32(g.size);
        p16(g.c);
        int32_t m[19] = {1, 6 << 16, 0, 6 << 16, 0, g.rows << 6, -(1 << 6), 0};
        for (int i = 8; i < 14; i++) m[i] = (int32_t)0xBAADF00D;
        m[14] = g.w;
        m[15] = g.rows;
        m[16] = g.w;
        for (int32_t v : m) p32((uint32_t)v);
        out.insert(out.end(), g.levels.begin(), g.levels.end());
    }
    return out;
}

struct Loaded {
    explicit Loaded(int32_t store_size) {
        int err;
        pool = pool_create(&err);
        engine = text_engine_create(pool, &err);
        engine->main_store = glyph_store_create(store_size, &err);
        engine->secondary_store = glyph_store_create(GLYPH_SECONDARY_STORE_SIZE, &err);
    }
    ~Loaded() {
        int err;
        glyph_store_destroy(engine->secondary_store, &err);
        glyph_store_destroy(engine->main_store, &err);
        text_engine_destroy(engine, &err);
        pool_release(pool);
    }
    MemPool* pool;
    TextEngine* engine;
};

class Reader : public ::testing::Test {
protected:
    void SetUp() override {
        root = test_device_root("cvreader");
        ASSERT_FALSE(root.empty());
        test_device_switch_on(root);
    }
    void TearDown() override { EXPECT_EQ(test_device_remove(root), 0); }
    void write(const std::vector<unsigned char>& data) {
        std::ofstream f(root + "/cv/tccache.bin", std::ios::binary | std::ios::trunc);
        f.write((const char*)data.data(), (std::streamsize)data.size());
    }
    std::string root;
};

}  // namespace

TEST_F(Reader, RecordsAcrossTheBlocksEdgesLoadByteForByteWithLevelsClamped) {
    std::mt19937 rng(5);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::vector<Glyph> glyphs;
    for (int i = 0; i < 300; i++) {
        Glyph g{(uint16_t)(i % 3 * 2), (uint32_t)(8 + i % 6), (uint16_t)(32 + i), 0, 0, {}};
        int kind = pick(0, 9);
        g.w = kind == 0 ? 0 : kind == 1 ? pick(100, 255) : pick(1, 13);
        g.rows = g.w == 0 ? 0 : kind == 1 ? pick(40, 255) : pick(1, 13);
        for (int k = 0; k < g.w * g.rows; k++) {
            // mostly levels of the table, now and then damage of every kind
            int v = pick(0, 40) ? pick(0, 121) : pick(0, 255);
            g.levels.push_back((uint8_t)v);
        }
        glyphs.push_back(g);
    }
    write(cache_file(glyphs));
    Loaded l(4 << 20);
    ASSERT_EQ(font_cache_load(l.engine, "/cv/tccache.bin"), 300);
    EXPECT_GE(glyph_store_check(l.engine->main_store), 0);
    for (const Glyph& g : glyphs) {
        const GlyphEntry* e = glyph_store_find(l.engine->main_store, g.style, g.c, g.size);
        ASSERT_NE(e, nullptr) << g.c;
        EXPECT_EQ(e->metrics[GLYPH_M_WIDTH], g.w);
        EXPECT_EQ(e->metrics[GLYPH_M_ROWS], g.rows);
        EXPECT_EQ(e->metrics[GLYPH_M_LEFT], -(1 << 6));
        EXPECT_EQ(e->metrics[GLYPH_M_ADVANCE], 6 << 16);
        const uint8_t* levels = glyph_entry_levels(e);
        ASSERT_EQ(levels == nullptr, g.w == 0) << g.c;
        for (size_t k = 0; k < g.levels.size(); k++) {
            uint8_t want = g.levels[k] > GLYPH_MAX_LEVEL ? GLYPH_MAX_LEVEL : g.levels[k];
            ASSERT_EQ(levels[k], want) << "glyph " << g.c << " byte " << k;
        }
    }
}

TEST_F(Reader, GlyphsTheStoreCannotTakeArePassedOverExactly) {
    // A store with room for small glyphs only: the big ones (larger than the
    // read block) are skipped, and every small one after them still loads.
    std::vector<Glyph> glyphs;
    for (int i = 0; i < 40; i++) {
        int side = i % 4 == 1 ? 200 : 5;
        Glyph g{0, 10, (uint16_t)(40 + i), side, side, std::vector<uint8_t>((size_t)side * side, (uint8_t)(i % 100 + 1))};
        glyphs.push_back(g);
    }
    write(cache_file(glyphs));
    Loaded l(GLYPH_STORE_HEADER + 12 + 40 * (108 + 28));
    EXPECT_EQ(font_cache_load(l.engine, "/cv/tccache.bin"), 30);
    for (const Glyph& g : glyphs) {
        const GlyphEntry* e = glyph_store_find(l.engine->main_store, 0, g.c, 10);
        if (g.w == 200) {
            EXPECT_EQ(e, nullptr);
            continue;
        }
        ASSERT_NE(e, nullptr) << g.c;
        EXPECT_EQ(glyph_entry_levels(e)[24], g.levels[24]);
    }
    EXPECT_GE(glyph_store_check(l.engine->main_store), 0);
}
