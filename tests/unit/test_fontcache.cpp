// The text engine record, the glyph store (chains, recency, first-fit space,
// eviction, merging) and the font cache file, including damaged files.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "emu.h"
#include "tests/unit/test_device.h"
#include "gfx/fb.h"
#include "gfx/fontcache.h"
#include "gfx/pool.h"
#include "gfx/text.h"

namespace {

std::vector<unsigned char> read_host(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(f), {});
}

void write_host(const std::string& path, const std::vector<unsigned char>& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write((const char*)data.data(), (std::streamsize)data.size());
}

// A fresh device root with a cv folder, and the display opened for drawing.
struct Device {
    Device() {
        root = test_device_root("cvtext");
        EXPECT_FALSE(root.empty());
        test_device_open(root);
    }
    ~Device() {
        GXCloseDisplay();
        EXPECT_EQ(test_device_remove(root), 0);
    }
    std::string host(const char* device_path) { return root + device_path; }
    std::string root;
};

struct Engine {
    explicit Engine(int32_t main_size = GLYPH_MAIN_STORE_SIZE) {
        int err;
        pool = pool_create(&err);
        engine = text_engine_create(pool, &err);
        engine->colour_mode = 'L';
        engine->main_store = glyph_store_create(main_size, &err);
        engine->secondary_store = glyph_store_create(GLYPH_SECONDARY_STORE_SIZE, &err);
    }
    ~Engine() {
        int err;
        glyph_store_destroy(engine->secondary_store, &err);
        glyph_store_destroy(engine->main_store, &err);
        text_engine_destroy(engine, &err);
        pool_release(pool);
    }
    MemPool* pool;
    TextEngine* engine;
};

// Puts a glyph with the given number of level bytes into a store.
GlyphEntry* put(GlyphStore* s, TextEngine* e, uint16_t style, uint32_t size, uint16_t c,
                uint32_t bytes) {
    memset(e->glyph, 0, sizeof e->glyph);
    e->glyph[GLYPH_M_ADVANCE] = 5 << 16;
    e->glyph[GLYPH_M_WIDTH] = (int32_t)bytes;
    e->glyph[GLYPH_M_ROWS] = bytes ? 1 : 0;
    e->glyph[GLYPH_M_STRIDE] = (int32_t)bytes;
    uint8_t* levels = glyph_store_alloc_bitmap(s, bytes);
    if (!levels) return nullptr;
    memset(levels, 7, bytes);
    e->bitmap = levels;
    int err;
    glyph_store_insert(s, style, size, e, c, &err);
    EXPECT_EQ(err, 0);
    return glyph_store_find(s, style, c, size);
}

bool has(GlyphStore* s, uint16_t style, uint32_t size, uint16_t c) {
    int err;
    return glyph_present(s, style, size, nullptr, c, &err) == 1;
}

// Builds a cache file image of records (style, size, char, w, rows, stride, fill level).
struct Rec {
    uint16_t style;
    uint32_t size;
    uint16_t c;
    int32_t w, rows, stride;
    uint8_t level;
};
std::vector<unsigned char> cache_image(const std::vector<Rec>& recs, int count = -1) {
    std::vector<unsigned char> out;
    auto p16 = [&](uint32_t v) { out.push_back(v & 255); out.push_back(v >> 8 & 255); };
    auto p32 = [&](uint32_t v) { for (int i = 0; i < 4; i++) out.push_back(v >> (8 * i) & 255); };
    p16(count < 0 ? (uint32_t)recs.size() : (uint32_t)count);
    for (const Rec& r : recs) {
        p16(r.style);
        p32(r.size);
        p16(r.c);
        int32_t m[19] = {1, 6 << 16, 0, 6 << 16, 0, (int32_t)((uint32_t)r.rows << 6), 0, 0};
        m[14] = r.w;
        m[15] = r.rows;
        m[16] = r.stride;
        for (int i = 0; i < 19; i++) p32((uint32_t)m[i]);
        if (r.rows > 0 && r.stride > 0 && r.rows * (int64_t)r.stride < 100000)
            for (int i = 0; i < r.rows * r.stride; i++) out.push_back(r.level);
    }
    return out;
}

}  // namespace

TEST(TextEngineRecord, CreationWithoutAPoolReportsItsCode) {
    int err = 0;
    EXPECT_EQ(text_engine_create(nullptr, &err), nullptr);
    EXPECT_EQ(err, ERR_ENGINE_NO_POOL);
}

TEST(TextEngineRecord, DamagedGuardIsReportedAndTakesThePool) {
    int err;
    MemPool* pool = pool_create(&err);
    TextEngine* e = text_engine_create(pool, &err);
    ASSERT_EQ(err, 0);
    EXPECT_EQ(e->guard0, 0x5A1234A5u);
    EXPECT_EQ(e->guard1, 0xA5FEDC5Au);
    e->guard1 = 0;
    text_engine_destroy(e, &err);
    EXPECT_EQ(err, ERR_ENGINE_DAMAGED);  // pool destroyed with the record
}

TEST(GlyphStore, A555ByteStoreIsRefusedA556ByteStoreIsMade) {
    int err = 0;
    EXPECT_EQ(glyph_store_create(555, &err), nullptr);
    EXPECT_EQ(err, ERR_NO_MEMORY);
    GlyphStore* s = glyph_store_create(556, &err);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(s->initial_free, 12);
    EXPECT_EQ(glyph_store_check(s), 12);
    EXPECT_EQ(glyph_store_alloc_bitmap(s, 0), nullptr);  // no room for any entry
    glyph_store_destroy(s, &err);
    EXPECT_EQ(err, 0);
}

TEST(GlyphStore, ResetWithoutAStoreReportsNoPool) {
    int err = 0;
    glyph_store_reset(nullptr, &err);
    EXPECT_EQ(err, ERR_NO_POOL);
}

TEST(GlyphStore, TwoRecordsWithOneKeyAreBothKeptTheLaterFoundFirst) {
    Engine e;
    GlyphStore* s = e.engine->main_store;
    GlyphEntry* first = put(s, e.engine, 0, 10, 'a', 4);
    GlyphEntry* second = put(s, e.engine, 0, 10, 'a', 6);
    EXPECT_NE(first, second);
    EXPECT_EQ(glyph_store_count(s), 2);
    EXPECT_EQ(glyph_store_find(s, 0, 'a', 10)->metrics[GLYPH_M_WIDTH], 6);
}

TEST(GlyphStore, KeysSharingABucketAreToldApart) {
    Engine e;
    GlyphStore* s = e.engine->main_store;
    // 17 + 0 + 0, 1 + 0 + 16 and 0 + 16 + 1 all hash to bucket 17
    put(s, e.engine, 0, 0, 17, 1);
    put(s, e.engine, 0, 16, 1, 2);
    put(s, e.engine, 1, 1, 0, 3);
    put(s, e.engine, 0, 17, 17, 4);  // another bucket
    EXPECT_EQ(glyph_store_find(s, 0, 17, 0)->metrics[GLYPH_M_WIDTH], 1);
    EXPECT_EQ(glyph_store_find(s, 0, 1, 16)->metrics[GLYPH_M_WIDTH], 2);
    EXPECT_EQ(glyph_store_find(s, 1, 0, 1)->metrics[GLYPH_M_WIDTH], 3);
    EXPECT_EQ(glyph_store_find(s, 0, 17, 17)->metrics[GLYPH_M_WIDTH], 4);
    EXPECT_EQ(glyph_store_find(s, 1, 17, 0), nullptr);
}

TEST(GlyphStore, LookupFillsTheCurrentGlyphOrReportsMissing) {
    Engine e;
    GlyphStore* s = e.engine->main_store;
    put(s, e.engine, 2, 10, 'x', 5);
    int err = -1;
    GlyphEntry* g = glyph_lookup(s, 2, 10, e.engine, 'x', &err);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(e.engine->glyph[GLYPH_M_WIDTH], 5);
    EXPECT_EQ(e.engine->bitmap, (const uint8_t*)g + GLYPH_ENTRY_HEADER);
    EXPECT_EQ(glyph_lookup(s, 2, 10, e.engine, 'y', &err), nullptr);
    EXPECT_EQ(err, ERR_GLYPH_MISSING);
    EXPECT_EQ(e.engine->bitmap, nullptr);
    EXPECT_EQ(e.engine->glyph[GLYPH_M_WIDTH], 0);
    EXPECT_EQ(glyph_lookup(nullptr, 2, 10, e.engine, 'x', &err), nullptr);
    EXPECT_EQ(err, ERR_GLYPH_MISSING);
}

TEST(GlyphStore, EvictionTakesTheOldestUnpinnedEntry) {
    int err;
    // room for three entries of 40 level bytes (148 bytes each) and the chunk header
    GlyphStore* s = glyph_store_create(GLYPH_STORE_HEADER + 12 + 3 * 148, &err);
    Engine e;
    ASSERT_NE(put(s, e.engine, 0, 10, 'A', 40), nullptr);
    ASSERT_NE(put(s, e.engine, 0, 10, 'B', 40), nullptr);
    ASSERT_NE(put(s, e.engine, 0, 10, 'C', 40), nullptr);
    glyph_pin(s, 0, 10, e.engine, 'A', &err);
    // A is pinned but made the oldest again
    glyph_store_find(s, 0, 'B', 10);
    glyph_store_find(s, 0, 'C', 10);
    ASSERT_EQ(((GlyphEntry*)((char*)s + s->lru))->character, 'A');
    ASSERT_NE(put(s, e.engine, 0, 10, 'D', 4), nullptr);  // frees one 148-byte entry
    EXPECT_TRUE(has(s, 0, 10, 'A'));
    EXPECT_FALSE(has(s, 0, 10, 'B'));
    EXPECT_TRUE(has(s, 0, 10, 'C'));
    EXPECT_GE(glyph_store_check(s), 0);
    // everything pinned: nothing can be made room for
    glyph_pin(s, 0, 10, e.engine, 'C', &err);
    glyph_pin(s, 0, 10, e.engine, 'D', &err);
    EXPECT_EQ(glyph_store_alloc_bitmap(s, 100), nullptr);
    EXPECT_EQ(glyph_store_count(s), 3);
    glyph_store_destroy(s, &err);
}

TEST(GlyphStore, FreedSpaceMergesIntoOneChunk) {
    int err;
    GlyphStore* s = glyph_store_create(4096, &err);
    Engine e;
    int n = 0;
    while (put(s, e.engine, 0, 10, (uint16_t)('a' + n), 20) && glyph_store_count(s) == n + 1) n++;
    ASSERT_GT(n, 10);
    EXPECT_GE(glyph_store_check(s), 0);
    // one request as large as the whole heap area evicts every entry, which
    // is only possible if each freed entry merged with its neighbours
    int32_t whole = s->initial_free - GLYPH_CHUNK_HEADER - GLYPH_ENTRY_HEADER;
    ASSERT_NE(glyph_store_alloc_bitmap(s, (uint32_t)whole), nullptr);
    EXPECT_EQ(glyph_store_count(s), 0);
    EXPECT_EQ(glyph_store_check(s), GLYPH_CHUNK_HEADER);
    // a reset gives the whole area back as one chunk
    glyph_store_reset(s, &err);
    EXPECT_EQ(glyph_store_check(s), s->initial_free);
    glyph_store_destroy(s, &err);
}

TEST(GlyphStore, ReleasingEntriesInAnyOrderLeavesNoTouchingChunks) {
    int err;
    GlyphStore* s = glyph_store_create(8192, &err);
    Engine e;
    for (int i = 0; i < 30; i++) ASSERT_NE(put(s, e.engine, 0, 10, (uint16_t)(100 + i), 12 + i), nullptr);
    // touch every third entry so that eviction frees scattered entries
    for (int i = 0; i < 30; i += 3) glyph_store_find(s, 0, (uint16_t)(100 + i), 10);
    int32_t before = glyph_store_check(s);
    ASSERT_GE(before, 0);
    for (int round = 0; round < 20; round++) {
        ASSERT_NE(put(s, e.engine, 1, 10, (uint16_t)round, 150), nullptr);
        ASSERT_GE(glyph_store_check(s), 0) << round;
    }
    glyph_store_destroy(s, &err);
}

TEST(FontCache, MissingFileIsReplacedByATwoByteFile) {
    Device d;
    ASSERT_EQ(text_startup(0), 0);
    ASSERT_NE(text_engine, nullptr);
    EXPECT_EQ(text_engine->colour_mode, 'L');
    text_load_font_cache();
    auto data = read_host(d.host("/cv/tccache.bin"));
    EXPECT_EQ(data, std::vector<unsigned char>({0, 0}));
    // and the next start loads it: nothing, and draws nothing
    text_load_font_cache();
    EXPECT_EQ(glyph_store_count(text_engine->main_store), 0);
    int err;
    EXPECT_EQ(text_measure_cstr(text_engine, "abc", 0, 10, &err), 0);
    text_shutdown();
    EXPECT_EQ(text_engine, nullptr);
    text_release_pool();
    EXPECT_EQ(text_pool, nullptr);
}

TEST(FontCache, HpFamilyGetsModeG) {
    Device d;
    ASSERT_EQ(text_startup(1), 0);
    EXPECT_EQ(text_engine->colour_mode, 'G');
    text_shutdown();
    text_release_pool();
}

TEST(FontCache, WrittenStoreLoadsBackTheSameGlyphs) {
    Device d;
    Engine a;
    put(a.engine->main_store, a.engine, 0, 10, 'q', 9);
    put(a.engine->main_store, a.engine, 4, 11, 0x20AC, 3);
    put(a.engine->main_store, a.engine, 2, 10, ' ', 0);
    font_cache_write(a.engine, "/cv/tccache.bin");
    auto data = read_host(d.host("/cv/tccache.bin"));
    EXPECT_EQ(data.size(), 2u + 3 * 84 + 9 + 3);
    Engine b;
    EXPECT_EQ(font_cache_load(b.engine, "/cv/tccache.bin"), 3);
    const GlyphEntry* g = glyph_store_find(b.engine->main_store, 4, 0x20AC, 11);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->metrics[GLYPH_M_WIDTH], 3);
    EXPECT_EQ(g->metrics[GLYPH_M_ABSENT], 0);
    EXPECT_EQ(glyph_entry_levels(g)[2], 7);
    EXPECT_EQ(b.engine->bitmap_loaded, 1);
    const GlyphEntry* sp = glyph_store_find(b.engine->main_store, 2, ' ', 10);
    ASSERT_NE(sp, nullptr);
    EXPECT_EQ(glyph_entry_levels(sp), nullptr);
}

TEST(FontCache, TruncatedFileStopsCleanly) {
    Device d;
    auto img = cache_image({{0, 10, 'a', 4, 4, 4, 5}, {0, 10, 'b', 4, 4, 4, 5}, {0, 10, 'c', 4, 4, 4, 5}});
    for (size_t cut : {1u, 3u, 2u + 84u + 10u, 2u + 2 * (84u + 16u) + 40u, (unsigned)img.size() - 1}) {
        write_host(d.host("/cv/tccache.bin"), std::vector<unsigned char>(img.begin(), img.begin() + cut));
        Engine e;
        int n = font_cache_load(e.engine, "/cv/tccache.bin");
        EXPECT_EQ(n, (int)((cut >= 2 ? cut - 2 : 0) / (84 + 16))) << cut;
        EXPECT_EQ(glyph_store_count(e.engine->main_store), n);
        // a partly read record leaves no space behind
        EXPECT_EQ(glyph_store_check(e.engine->main_store),
                  e.engine->main_store->initial_free - n * (108 + 16))
            << cut;
    }
}

TEST(FontCache, CountBeyondTheRecordsReadsWhatIsThere) {
    Device d;
    write_host(d.host("/cv/tccache.bin"), cache_image({{0, 10, 'a', 2, 2, 2, 1}}, 65535));
    Engine e;
    EXPECT_EQ(font_cache_load(e.engine, "/cv/tccache.bin"), 1);
}

TEST(FontCache, OutOfBoundsRecordsStopLoading) {
    Device d;
    const Rec bad[] = {
        {0, 10, 'x', 256, 1, 256, 1},          // too wide
        {0, 10, 'x', 4, 100000, 4, 1},         // absurd rows
        {0, 10, 'x', 4, 4, -4, 1},             // negative stride
        {0, 10, 'x', -1, 4, 4, 1},             // negative width
        {0, 10, 'x', 4, 0x40000000, 0x40, 1},  // rows * stride would wrap
    };
    for (const Rec& r : bad) {
        write_host(d.host("/cv/tccache.bin"), cache_image({{0, 10, 'a', 2, 2, 2, 1}, r, {0, 10, 'b', 2, 2, 2, 1}}));
        Engine e;
        EXPECT_EQ(font_cache_load(e.engine, "/cv/tccache.bin"), 1) << r.w << " " << r.rows;
        EXPECT_GE(glyph_store_check(e.engine->main_store), 0);
    }
}

TEST(FontCache, LevelsBeyondTheTableAreClamped) {
    Device d;
    write_host(d.host("/cv/tccache.bin"), cache_image({{0, 10, 'a', 3, 1, 3, 250}}));
    Engine e;
    ASSERT_EQ(font_cache_load(e.engine, "/cv/tccache.bin"), 1);
    const GlyphEntry* g = glyph_store_find(e.engine->main_store, 0, 'a', 10);
    EXPECT_EQ(glyph_entry_levels(g)[0], GLYPH_MAX_LEVEL);
}

TEST(FontCache, AStoreTooSmallForTheFileEvictsTheOldest) {
    Device d;
    std::vector<Rec> recs;
    for (int i = 0; i < 50; i++) recs.push_back({0, 10, (uint16_t)(40 + i), 8, 8, 8, 3});
    write_host(d.host("/cv/tccache.bin"), cache_image(recs));
    Engine e(GLYPH_STORE_HEADER + 12 + 10 * (108 + 64));
    EXPECT_EQ(font_cache_load(e.engine, "/cv/tccache.bin"), 50);
    int kept = glyph_store_count(e.engine->main_store);
    EXPECT_GE(kept, 8);
    EXPECT_LE(kept, 10);
    EXPECT_TRUE(has(e.engine->main_store, 0, 10, 40 + 49));
    EXPECT_FALSE(has(e.engine->main_store, 0, 10, 40));
    EXPECT_GE(glyph_store_check(e.engine->main_store), 0);
}

// Random damage to the shipped cache never makes loading or drawing read or
// write outside the store (run under the sanitizer build to see it).
TEST(FontCache, RandomlyDamagedShippedCacheLoadsAndDrawsSafely) {
    auto shipped = read_host(CV_BINARY_DIR "/device/cv/tccache.bin");
    ASSERT_GT(shipped.size(), 1000u) << "build the font_cache target first";
    Device d;
    std::mt19937 rng(1234);
    const WCHAR run[] = {'H', 'e', 'l', 'l', 'o', 0x20AC, 0x2408, 0};
    for (int round = 0; round < 40; round++) {
        auto img = shipped;
        int flips = 1 + (int)(rng() % 20);
        for (int i = 0; i < flips; i++) {
            size_t at = rng() % std::min<size_t>(img.size(), 20000);
            img[at] = (unsigned char)rng();
        }
        if (round % 5 == 4) img.resize(rng() % img.size());
        write_host(d.host("/cv/tccache.bin"), img);
        Engine e;
        int n = font_cache_load(e.engine, "/cv/tccache.bin");
        EXPECT_GE(n, 0);
        EXPECT_GE(glyph_store_check(e.engine->main_store), 0) << round;
        int err;
        for (uint16_t size = 8; size <= 13; size++) {
            text_draw(e.engine, run, 7, 0, (int16_t)size, 10, 100, &err);
            EXPECT_EQ(err, 0);
        }
    }
}

TEST(TextResources, AFailureInsideARunReleasesEverythingAndLaterCallsDoNothing) {
    Device d;
    ASSERT_EQ(text_startup(0), 0);
    MemPool* pool = text_pool;
    // fill the main pool's slot table so that widening a string fails
    int code = setjmp(pool->jump);
    ASSERT_EQ(code, 0);
    while (pool->live < pool->slot_count) pool_alloc(pool, 1);
    int err = 0;
    text_draw_cstr(text_engine, "abc", 0, 10, 0, 20, &err);
    EXPECT_EQ(err, ERR_SLOTS_FULL);
    EXPECT_EQ(text_engine, nullptr);
    EXPECT_EQ(text_pool, nullptr);
    text_draw_cstr(text_engine, "abc", 0, 10, 0, 20, &err);
    EXPECT_EQ(err, ERR_ENGINE_NO_POOL);
    text_shutdown();
    text_release_pool();
}
