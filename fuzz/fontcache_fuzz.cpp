// Fuzz target: the font cache loader. Any file, damaged or hostile, loads
// into a consistent glyph store (free list sorted and merged, chunks and
// entries tiling the heap), and every glyph it loaded can be drawn and
// measured without reading or writing outside the store or the screen.
//
// Input: the file "/cv/tccache.bin" itself.
#include "fuzz/fuzz_device.h"
#include "gfx/fontcache.h"
#include "gfx/pool.h"

static TextEngine* engine;
static MemPool* pool;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_device_on();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (fuzz_put("/cv/tccache.bin", data, size) != 0) abort();
    int err = 0;
    pool = pool_create(&err);
    if (!pool) abort();
    engine = text_engine_create(pool, &err);
    if (!engine) abort();
    engine->colour_mode = size & 1 ? 'G' : 'L';
    // A small main store, so that loading must evict.
    engine->main_store = glyph_store_create(size & 2 ? GLYPH_MAIN_STORE_SIZE : 8192, &err);
    engine->secondary_store = glyph_store_create(GLYPH_SECONDARY_STORE_SIZE, &err);
    if (!engine->main_store || !engine->secondary_store) abort();

    int loaded = font_cache_load(engine, "/cv/tccache.bin");
    if (loaded < 0) abort();
    if (glyph_store_check(engine->main_store) < 0) abort();
    if (glyph_store_count(engine->main_store) > loaded) abort();

    // Draw and measure every key that is in the store, partly off the screen.
    GlyphStore* s = engine->main_store;
    for (int b = 0; b < GLYPH_BUCKETS; b++) {
        for (uint32_t off = s->buckets[b]; off;) {
            GlyphEntry* e = (GlyphEntry*)((char*)s + off);
            uint32_t next = e->next;
            WCHAR run[4] = {e->character, (WCHAR)'-', e->character, 0};
            int16_t px = (int16_t)e->pixel_size;
            int err2 = 0;
            text_draw(engine, run, 3, e->style, px, (LONG)(b * 3) - 20, (LONG)(b % 30) * 9, &err2);
            if (err2 == 0) text_measure(engine, run, 3, e->style, px, &err2);
            if (err2 != 0) abort();  // nothing here allocates beyond the ramp
            off = next;
        }
    }
    if (glyph_store_check(engine->main_store) < 0) abort();

    glyph_store_destroy(engine->secondary_store, &err);
    glyph_store_destroy(engine->main_store, &err);
    text_engine_destroy(engine, &err);
    pool_release(pool);
    return 0;
}
