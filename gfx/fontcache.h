// The text engine record, the glyph stores and the font cache file.
//
// Font cache file "/cv/tccache.bin" (little-endian, no header magic):
//
//   | count u16 | record | record | ... |
//
// Glyph record:
//
//   0        2       6         8                         84
//   | style  | size  | char    | metrics: 19 x int32     | levels: rows x stride bytes |
//   | u16    | u32   | u16     | (see GLYPH_M_*)         |                             |
//
// Glyph store: one block from a pool of its own; links inside it are byte
// offsets from the block start (0 = none), so the layout is the same on
// every platform:
//
//   0            32                     544
//   | header     | 128 bucket heads     | heap area: free chunks and entries ... |
//
// Glyph entry, carved from the end of a free chunk:
//
//   0      4           12            20       24         100       108
//   | size | next prev | newer older | pinned | metrics  | key      | levels ... |
//   |      | hash chain| recency     | + pad  | 76 bytes | s, c, z  |            |
#ifndef CV_GFX_FONTCACHE_H
#define CV_GFX_FONTCACHE_H

#include <cstdint>

#include "gfx/pool.h"

// Metrics words of a glyph record.
enum {
    GLYPH_M_FORMAT = 0,
    GLYPH_M_ADVANCE = 1,      // 16.16 pixels
    GLYPH_M_VADVANCE = 2,
    GLYPH_M_ADVANCE2 = 3,
    GLYPH_M_TOP = 5,          // 26.6 pixels, baseline up to the top row
    GLYPH_M_LEFT = 6,         // 26.6 pixels, pen to the left column
    GLYPH_M_UNKEPT = 11,      // not kept in memory
    GLYPH_M_WIDTH = 14,
    GLYPH_M_ROWS = 15,
    GLYPH_M_STRIDE = 16,
    GLYPH_M_SPARE = 17,
    GLYPH_M_ABSENT = 18,      // 1 = no levels follow
    GLYPH_METRICS = 19,
    GLYPH_KEPT = 17           // words 0-16 live in the engine's current glyph
};

#define GLYPH_RECORD_HEADER 84
#define GLYPH_BUCKETS 128
#define GLYPH_ENTRY_HEADER 108
#define GLYPH_CHUNK_HEADER 12
#define GLYPH_STORE_HEADER 544
#define GLYPH_STORE_MIN (GLYPH_STORE_HEADER + GLYPH_CHUNK_HEADER)
#define GLYPH_MAIN_STORE_SIZE 409600
#define GLYPH_SECONDARY_STORE_SIZE 49152
#define GLYPH_MAX_LEVEL 121

// Bounds a loaded record must keep; anything beyond is a damaged file.
#define GLYPH_MAX_DIM 255                    // width, rows, stride
#define GLYPH_MAX_ADVANCE (1024 << 16)       // |advance|, 16.16
#define GLYPH_MAX_BEARING (1024 << 6)        // |bearing|, 26.6

struct TextEngine;

struct GlyphEntry {
    int32_t size;          // allocated bytes, header included
    uint32_t next, prev;   // hash chain
    uint32_t newer, older; // recency list
    uint8_t pinned;
    uint8_t pad[3];
    int32_t metrics[GLYPH_METRICS];
    uint16_t style;
    uint16_t character;
    uint32_t pixel_size;
    // levels follow
};
static_assert(sizeof(GlyphEntry) == GLYPH_ENTRY_HEADER, "glyph entry header");

struct GlyphChunk {
    int32_t size;          // bytes, this header included
    uint32_t next, prev;   // address order
};

struct GlyphStore {
    MemPool* pool;            // the store's own pool
#if UINTPTR_MAX == 0xFFFFFFFFu
    uint32_t pad;
#endif
    int32_t initial_free;     // block size - 544
    uint32_t cur_bitmap;      // levels of the entry last carved out
    uint32_t cur_entry;       // entry last carved out, not yet linked
    uint32_t free_head;       // first free chunk
    uint32_t mru, lru;        // recency ends
    uint32_t buckets[GLYPH_BUCKETS];
};
static_assert(sizeof(GlyphStore) == GLYPH_STORE_HEADER, "glyph store header");

// The one text engine; lives in the main pool.
struct TextEngine {
    uint32_t guard0;              // 0x5A1234A5
    MemPool* pool;                // the main pool
    int32_t glyph[GLYPH_KEPT];    // current glyph: metrics words 0-16
    const uint8_t* bitmap;        // its levels, null when it has none
    void* glyph_extra;
    uint8_t flag;
    GlyphStore* main_store;
    GlyphStore* secondary_store;
    uint8_t bitmap_loaded;
    uint8_t flag2;
    int32_t colour_mode;          // 'G', 'L' or 'B'
    uint16_t cur_style;
    uint32_t cur_size;
    uint32_t cur_char;
    uint32_t reserved[3];
    uint32_t guard1;              // 0xA5FEDC5A
};

#define TEXT_ENGINE_GUARD0 0x5A1234A5u
#define TEXT_ENGINE_GUARD1 0xA5FEDC5Au

TextEngine* text_engine_create(MemPool* pool, int* err);
void text_engine_destroy(TextEngine* engine, int* err);

GlyphStore* glyph_store_create(int32_t block_size, int* err);
void glyph_store_destroy(GlyphStore* store, int* err);
void glyph_store_reset(GlyphStore* store, int* err);
GlyphEntry* glyph_store_find(GlyphStore* store, uint16_t style, uint16_t character, uint32_t size);
// Makes a linked entry the most recently used, as a find that hits it does.
void glyph_store_touch(GlyphStore* store, GlyphEntry* e);
GlyphEntry* glyph_lookup(GlyphStore* store, uint16_t style, uint32_t size, TextEngine* engine,
                         uint32_t character, int* err);
int glyph_present(GlyphStore* store, uint16_t style, uint32_t size, TextEngine* engine,
                  uint32_t character, int* err);
void glyph_pin(GlyphStore* store, uint16_t style, uint32_t size, TextEngine* engine,
               uint32_t character, int* err);
void glyph_unpin(GlyphStore* store, uint16_t style, uint32_t size, TextEngine* engine,
                 uint32_t character, int* err);
uint8_t* glyph_store_alloc_bitmap(GlyphStore* store, uint32_t level_bytes);
void glyph_store_insert(GlyphStore* store, uint16_t style, uint32_t size, TextEngine* engine,
                        uint32_t character, int* err);

// Entry levels (null when the entry has neither rows nor width).
const uint8_t* glyph_entry_levels(const GlyphEntry* e);
// Number of linked entries (walks the 128 chains).
int glyph_store_count(const GlyphStore* store);
// Consistency check for tests: the free list is in address order, merged
// (no two chunks touch), inside the heap area, and chunks and entries tile
// the heap area exactly. Returns the number of free bytes, or -1.
int32_t glyph_store_check(const GlyphStore* store);

// Loads the cache file into the main store. Returns the number of glyphs
// inserted, or -1 when the file could not be opened. A damaged file stops
// loading at the first record that is short or out of bounds.
int font_cache_load(TextEngine* engine, const char* path);
// Writes the main store to the cache file (used when it was missing).
void font_cache_write(TextEngine* engine, const char* path);

#endif
