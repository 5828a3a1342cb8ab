// The text engine record, the glyph stores (hash chains, recency list,
// first-fit space with eviction) and the font cache file.
#include "gfx/fontcache.h"

#include <cstdio>
#include <cstring>

#include "gfx/charset.h"
#include "gfx/text.h"
#include "wince.h"

// ---------------------------------------------------------------------------
// Text engine record

TextEngine* text_engine_create(MemPool* pool, int* err) {
    if (!pool) {
        *err = ERR_ENGINE_NO_POOL;
        return nullptr;
    }
    *err = setjmp(pool->jump);
    if (*err != 0) {
        pool_destroy(pool);
        return nullptr;
    }
    TextEngine* engine = (TextEngine*)pool_alloc(pool, sizeof(TextEngine));
    memset(engine, 0, sizeof *engine);
    engine->guard0 = TEXT_ENGINE_GUARD0;
    engine->guard1 = TEXT_ENGINE_GUARD1;
    engine->pool = pool;
    return engine;
}

void text_engine_destroy(TextEngine* engine, int* err) {
    *err = 0;
    if (!engine) return;
    MemPool* pool = engine->pool;
    *err = setjmp(pool->jump);
    if (*err != 0) {
        pool_destroy(pool);
        return;
    }
    if (engine->guard0 != TEXT_ENGINE_GUARD0 || engine->guard1 != TEXT_ENGINE_GUARD1)
        pool_fail(pool, ERR_ENGINE_DAMAGED);
    pool_free(pool, engine);
}

// ---------------------------------------------------------------------------
// Glyph store: links are byte offsets from the store's start, 0 for none.

static unsigned char* base(const GlyphStore* s) { return (unsigned char*)s; }
static GlyphEntry* entry_at(const GlyphStore* s, uint32_t off) {
    return off ? (GlyphEntry*)(base(s) + off) : nullptr;
}
static GlyphChunk* chunk_at(const GlyphStore* s, uint32_t off) {
    return off ? (GlyphChunk*)(base(s) + off) : nullptr;
}
static uint32_t offset_of(const GlyphStore* s, const void* p) {
    return (uint32_t)((const unsigned char*)p - base(s));
}
static uint32_t bucket_of(uint16_t style, uint16_t character, uint32_t size) {
    return (character + ((uint32_t)style << 4) + size) & (GLYPH_BUCKETS - 1);
}
static int32_t heap_end(const GlyphStore* s) { return GLYPH_STORE_HEADER + s->initial_free; }

static void store_init(GlyphStore* s) {
    for (int i = 0; i < GLYPH_BUCKETS; i++) s->buckets[i] = 0;
    GlyphChunk* c = chunk_at(s, GLYPH_STORE_HEADER);
    c->size = s->initial_free;
    c->next = 0;
    c->prev = 0;
    s->free_head = GLYPH_STORE_HEADER;
    s->mru = 0;
    s->lru = 0;
    s->cur_entry = 0;
    s->cur_bitmap = 0;
}

GlyphStore* glyph_store_create(int32_t block_size, int* err) {
    *err = 0;
    // room for the header and at least one free chunk
    if (block_size < GLYPH_STORE_MIN) {
        *err = ERR_NO_MEMORY;
        return nullptr;
    }
    MemPool* pool = pool_create(err);
    if (!pool) return nullptr;
    *err = setjmp(pool->jump);
    if (*err != 0) {
        pool_destroy(pool);
        return nullptr;
    }
    GlyphStore* s = (GlyphStore*)pool_alloc(pool, (uint32_t)block_size);
    s->pool = pool;
    // whole words only, so that every entry carved from the end is aligned
    s->initial_free = (block_size - GLYPH_STORE_HEADER) & ~3;
    store_init(s);
    return s;
}

void glyph_store_destroy(GlyphStore* store, int* err) {
    *err = 0;
    if (!store) return;
    MemPool* pool = store->pool;
    *err = setjmp(pool->jump);
    if (*err != 0) {
        pool_destroy(pool);
        return;
    }
    pool_free(pool, store);
    pool_release(pool);
}

void glyph_store_reset(GlyphStore* store, int* err) {
    if (!store) {
        *err = ERR_NO_POOL;
        return;
    }
    store_init(store);
    *err = 0;
}

// Takes an entry out of the recency list.
static void recency_unlink(GlyphStore* s, GlyphEntry* e) {
    if (e->newer) entry_at(s, e->newer)->older = e->older;
    else s->mru = e->older;
    if (e->older) entry_at(s, e->older)->newer = e->newer;
    else s->lru = e->newer;
    e->newer = e->older = 0;
}

static void recency_push_mru(GlyphStore* s, GlyphEntry* e) {
    uint32_t off = offset_of(s, e);
    e->newer = 0;
    e->older = s->mru;
    if (s->mru) entry_at(s, s->mru)->newer = off;
    s->mru = off;
    if (!s->lru) s->lru = off;
}

void glyph_store_touch(GlyphStore* s, GlyphEntry* e) {
    if (s->mru != offset_of(s, e)) {
        recency_unlink(s, e);
        recency_push_mru(s, e);
    }
}

GlyphEntry* glyph_store_find(GlyphStore* s, uint16_t style, uint16_t character, uint32_t size) {
    if (!s) return nullptr;
    for (GlyphEntry* e = entry_at(s, s->buckets[bucket_of(style, character, size)]); e;
         e = entry_at(s, e->next)) {
        if (e->character == character && e->style == style && e->pixel_size == size) {
            glyph_store_touch(s, e);
            return e;
        }
    }
    return nullptr;
}

const uint8_t* glyph_entry_levels(const GlyphEntry* e) {
    if (e->metrics[GLYPH_M_ROWS] == 0 && e->metrics[GLYPH_M_WIDTH] == 0) return nullptr;
    return (const uint8_t*)e + GLYPH_ENTRY_HEADER;
}

GlyphEntry* glyph_lookup(GlyphStore* s, uint16_t style, uint32_t size, TextEngine* engine,
                         uint32_t character, int* err) {
    GlyphEntry* e = character <= 0xFFFF ? glyph_store_find(s, style, (uint16_t)character, size)
                                        : nullptr;
    if (!e) {
        engine->bitmap = nullptr;
        engine->glyph_extra = nullptr;
        engine->glyph[GLYPH_M_WIDTH] = 0;
        engine->glyph[GLYPH_M_ROWS] = 0;
        engine->glyph[GLYPH_M_STRIDE] = 0;
        *err = ERR_GLYPH_MISSING;
        return nullptr;
    }
    memcpy(engine->glyph, e->metrics, GLYPH_M_UNKEPT * sizeof(int32_t));
    memcpy(engine->glyph + GLYPH_M_UNKEPT + 1, e->metrics + GLYPH_M_UNKEPT + 1,
           (GLYPH_KEPT - GLYPH_M_UNKEPT - 1) * sizeof(int32_t));
    engine->bitmap = glyph_entry_levels(e);
    *err = 0;
    return e;
}

int glyph_present(GlyphStore* s, uint16_t style, uint32_t size, TextEngine*, uint32_t character,
                  int* err) {
    *err = 0;
    return character <= 0xFFFF && glyph_store_find(s, style, (uint16_t)character, size) ? 1 : 0;
}

void glyph_pin(GlyphStore* s, uint16_t style, uint32_t size, TextEngine*, uint32_t character,
               int* err) {
    *err = 0;
    GlyphEntry* e = character <= 0xFFFF ? glyph_store_find(s, style, (uint16_t)character, size)
                                        : nullptr;
    if (e) e->pinned = 1;
}

void glyph_unpin(GlyphStore* s, uint16_t style, uint32_t size, TextEngine*, uint32_t character,
                 int* err) {
    *err = 0;
    GlyphEntry* e = character <= 0xFFFF ? glyph_store_find(s, style, (uint16_t)character, size)
                                        : nullptr;
    if (e) e->pinned = 0;
}

// Gives an entry's space back to the free list (kept in address order) and
// merges it with the chunks it touches. Returns the chunk that holds it.
static GlyphChunk* give_back(GlyphStore* s, uint32_t off, int32_t size) {
    uint32_t prev = 0, next = s->free_head;
    while (next && next < off) {
        prev = next;
        next = chunk_at(s, next)->next;
    }
    GlyphChunk* c = chunk_at(s, off);
    c->size = size;
    c->prev = prev;
    c->next = next;
    if (prev) chunk_at(s, prev)->next = off;
    else s->free_head = off;
    if (next) chunk_at(s, next)->prev = off;

    // touches the preceding chunk?
    if (prev && prev + (uint32_t)chunk_at(s, prev)->size == off) {
        GlyphChunk* p = chunk_at(s, prev);
        p->size += c->size;
        p->next = c->next;
        if (c->next) chunk_at(s, c->next)->prev = prev;
        c = p;
        off = prev;
    }
    // touches the following chunk?
    if (c->next && off + (uint32_t)c->size == c->next) {
        GlyphChunk* n = chunk_at(s, c->next);
        c->size += n->size;
        c->next = n->next;
        if (n->next) chunk_at(s, n->next)->prev = off;
    }
    return c;
}

// Unlinks an entry from its hash chain and the recency list and frees its space.
static GlyphChunk* evict(GlyphStore* s, GlyphEntry* e) {
    uint32_t off = offset_of(s, e);
    if (e->prev) entry_at(s, e->prev)->next = e->next;
    else s->buckets[bucket_of(e->style, e->character, e->pixel_size)] = e->next;
    if (e->next) entry_at(s, e->next)->prev = e->prev;
    recency_unlink(s, e);
    return give_back(s, off, e->size);
}

// Cuts need bytes from the end of a chunk; the chunk keeps at least its header.
static GlyphEntry* carve_from(GlyphStore* s, GlyphChunk* c, int32_t need) {
    c->size -= need;
    GlyphEntry* e = (GlyphEntry*)((unsigned char*)c + c->size);
    memset(e, 0, GLYPH_ENTRY_HEADER);
    e->size = need;
    s->cur_entry = offset_of(s, e);
    return e;
}

static GlyphEntry* carve(GlyphStore* s, uint32_t n) {
    if (n > (uint32_t)s->initial_free) return nullptr;
    int32_t need = (int32_t)((n + 3) & ~3u);
    for (GlyphChunk* c = chunk_at(s, s->free_head); c; c = chunk_at(s, c->next)) {
        if (c->size >= need + GLYPH_CHUNK_HEADER) return carve_from(s, c, need);
    }
    // evict from the least recently used end, passing over pinned entries
    GlyphEntry* e = entry_at(s, s->lru);
    while (e) {
        GlyphEntry* newer = entry_at(s, e->newer);
        if (!e->pinned) {
            GlyphChunk* c = evict(s, e);
            if (c->size >= need + GLYPH_CHUNK_HEADER) return carve_from(s, c, need);
        }
        e = newer;
    }
    return nullptr;
}

uint8_t* glyph_store_alloc_bitmap(GlyphStore* s, uint32_t level_bytes) {
    if (!s || level_bytes > UINT32_MAX - GLYPH_ENTRY_HEADER - 3) return nullptr;
    GlyphEntry* e = carve(s, level_bytes + GLYPH_ENTRY_HEADER);
    if (!e) return nullptr;
    s->cur_bitmap = offset_of(s, e) + GLYPH_ENTRY_HEADER;
    return base(s) + s->cur_bitmap;
}

// Returns the entry last carved out to the free space without linking it
// (its record turned out to be unusable).
static void drop_current(GlyphStore* s) {
    GlyphEntry* e = entry_at(s, s->cur_entry);
    if (e) give_back(s, s->cur_entry, e->size);
    s->cur_entry = 0;
    s->cur_bitmap = 0;
}

void glyph_store_insert(GlyphStore* s, uint16_t style, uint32_t size, TextEngine* engine,
                        uint32_t character, int* err) {
    *err = 0;
    if (!s || !s->cur_bitmap || !s->cur_entry) return;
    GlyphEntry* e = entry_at(s, s->cur_entry);
    e->style = style;
    e->character = (uint16_t)character;
    e->pixel_size = size;
    // words 0-16 but the one that is not kept
    memcpy(e->metrics, engine->glyph, GLYPH_M_UNKEPT * sizeof(int32_t));
    memcpy(e->metrics + GLYPH_M_UNKEPT + 1, engine->glyph + GLYPH_M_UNKEPT + 1,
           (GLYPH_KEPT - GLYPH_M_UNKEPT - 1) * sizeof(int32_t));
    e->metrics[GLYPH_M_UNKEPT] = 0;
    e->metrics[GLYPH_M_SPARE] = 0;
    e->metrics[GLYPH_M_ABSENT] = engine->bitmap ? 0 : 1;
    uint32_t off = s->cur_entry;
    uint32_t b = bucket_of(style, e->character, size);
    e->prev = 0;
    e->next = s->buckets[b];
    if (e->next) entry_at(s, e->next)->prev = off;
    s->buckets[b] = off;
    recency_push_mru(s, e);
    // linked now: a second insert must not link it again
    s->cur_entry = 0;
    s->cur_bitmap = 0;
}

int glyph_store_count(const GlyphStore* s) {
    if (!s) return 0;
    int n = 0;
    for (int b = 0; b < GLYPH_BUCKETS; b++) {
        for (GlyphEntry* e = entry_at(s, s->buckets[b]); e; e = entry_at(s, e->next)) n++;
    }
    return n;
}

int32_t glyph_store_check(const GlyphStore* s) {
    if (!s) return -1;
    int32_t end = heap_end(s);
    int32_t free_bytes = 0;
    uint32_t prev = 0;
    // free list: sorted, inside the heap area, never touching one another
    for (uint32_t off = s->free_head; off; off = chunk_at(s, off)->next) {
        const GlyphChunk* c = chunk_at(s, off);
        if (off < GLYPH_STORE_HEADER || (int32_t)off + c->size > end) return -1;
        if (c->size < GLYPH_CHUNK_HEADER || (c->size & 3)) return -1;
        if (c->prev != prev) return -1;
        if (prev && prev + (uint32_t)chunk_at(s, prev)->size >= off) return -1;
        free_bytes += c->size;
        prev = off;
    }
    // chunks and entries tile the heap area exactly
    uint32_t next_free = s->free_head;
    for (int32_t off = GLYPH_STORE_HEADER; off < end;) {
        int32_t size;
        if ((uint32_t)off == next_free) {
            size = chunk_at(s, off)->size;
            next_free = chunk_at(s, off)->next;
        } else {
            const GlyphEntry* e = entry_at(s, off);
            size = e->size;
            if (size < GLYPH_ENTRY_HEADER || (size & 3)) return -1;
        }
        off += size;
        if (off > end) return -1;
    }
    if (next_free != 0) return -1;
    // every chained entry is in the recency list and vice versa
    int recent = 0;
    for (GlyphEntry* e = entry_at(s, s->mru); e; e = entry_at(s, e->older)) {
        if (++recent > 1000000) return -1;
    }
    if (recent != glyph_store_count(s)) return -1;
    return free_bytes;
}

// ---------------------------------------------------------------------------
// Font cache file

static uint16_t get16(const unsigned char* p) { return (uint16_t)(p[0] | p[1] << 8); }
static uint32_t get32(const unsigned char* p) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
#else
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
#endif
}
static void put16(unsigned char* p, uint32_t v) {
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
}
static void put32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = (unsigned char)(v >> (8 * i));
}

static int32_t magnitude_ok(int32_t v, int32_t bound) { return v >= -bound && v <= bound; }

// A record whose dimensions or metrics lie outside what any font could need is
// taken for damage: the bytes after it cannot be trusted to frame records.
static int record_sane(const int32_t* m) {
    static const int dims[3] = {GLYPH_M_WIDTH, GLYPH_M_ROWS, GLYPH_M_STRIDE};
    for (int w : dims) {
        if (m[w] < 0 || m[w] > GLYPH_MAX_DIM) return 0;
    }
    return magnitude_ok(m[GLYPH_M_ADVANCE], GLYPH_MAX_ADVANCE) &&
           magnitude_ok(m[GLYPH_M_TOP], GLYPH_MAX_BEARING) &&
           magnitude_ok(m[GLYPH_M_LEFT], GLYPH_MAX_BEARING);
}

// The cache file is read through a block of its own: a record header is
// taken from the block (refilled when it runs short) and levels are copied
// from it, so that a glyph costs no call into the file functions but a
// refill now and then.
struct CacheReader {
    FILE* f;
    size_t pos, len;  // unread bytes of the block: buf[pos .. len)
    unsigned char buf[8192];
};

// n (at most the block's size) contiguous bytes, or null at the end of the file.
static const unsigned char* reader_take(CacheReader* r, size_t n) {
    if (r->len - r->pos < n) {
        size_t left = r->len - r->pos;
        memmove(r->buf, r->buf + r->pos, left);
        r->pos = 0;
        r->len = left + fread(r->buf + left, 1, sizeof r->buf - left, r->f);
        if (r->len < n) return nullptr;
    }
    const unsigned char* p = r->buf + r->pos;
    r->pos += n;
    return p;
}

// Copies n bytes; 0 when the file ends first.
static int reader_copy(CacheReader* r, uint8_t* out, size_t n) {
    size_t have = r->len - r->pos < n ? r->len - r->pos : n;
    memcpy(out, r->buf + r->pos, have);
    r->pos += have;
    if (have == n) return 1;
    return fread(out + have, 1, n - have, r->f) == n - have;  // the block is empty now
}

// Passes over n bytes; 0 when the file cannot be positioned.
static int reader_skip(CacheReader* r, size_t n) {
    if (r->len - r->pos >= n) {
        r->pos += n;
        return 1;
    }
    n -= r->len - r->pos;
    r->pos = r->len = 0;
    return fseek(r->f, (long)n, SEEK_CUR) == 0;
}

// Levels index the 122-entry level table; anything beyond is damage and is
// clamped. Eight bytes are tested at once: a byte above 121 has bit 7 set in
// itself or in itself plus 6 (a carry out of one byte only happens from a
// byte that is flagged already).
static void clamp_levels(uint8_t* p, uint32_t n) {
    uint32_t k = 0;
    for (; k + 8 <= n; k += 8) {
        uint64_t x;
        memcpy(&x, p + k, 8);
        if (((x | (x + 0x0606060606060606ull)) & 0x8080808080808080ull) == 0) continue;
        for (int j = 0; j < 8; j++)
            if (p[k + j] > GLYPH_MAX_LEVEL) p[k + j] = GLYPH_MAX_LEVEL;
    }
    for (; k < n; k++)
        if (p[k] > GLYPH_MAX_LEVEL) p[k] = GLYPH_MAX_LEVEL;
}

int font_cache_load(TextEngine* engine, const char* path) {
    FILE* f = fopen(path, "rb");
    if (!f) return -1;
    int inserted = 0;
    GlyphStore* store = engine ? engine->main_store : nullptr;
    static CacheReader reader;  // loading happens once, on the one thread
    CacheReader* r = &reader;
    r->f = f;
    r->pos = r->len = 0;
    const unsigned char* head = store ? reader_take(r, 2) : nullptr;
    if (!head) {
        fclose(f);
        return 0;
    }
    unsigned count = get16(head);
    int err = 0;
    for (unsigned i = 0; i < count && err == 0; i++) {
        head = reader_take(r, GLYPH_RECORD_HEADER);
        if (!head) break;  // truncated
        uint16_t style = get16(head);
        uint32_t size = get32(head + 2);
        uint16_t character = get16(head + 6);
        int32_t m[GLYPH_METRICS];
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        memcpy(m, head + 8, sizeof m);  // the file's words are ours
#else
        for (int w = 0; w < GLYPH_METRICS; w++) m[w] = (int32_t)get32(head + 8 + 4 * w);
#endif
        if (!record_sane(m)) break;
        memcpy(engine->glyph, m, sizeof engine->glyph);
        engine->cur_style = style;
        engine->cur_size = size;
        engine->cur_char = character;
        uint32_t bytes = (uint32_t)m[GLYPH_M_ROWS] * (uint32_t)m[GLYPH_M_STRIDE];
        uint8_t* levels = glyph_store_alloc_bitmap(store, bytes);
        if (!levels) {
            // store full even after eviction: skip this glyph
            if (!reader_skip(r, bytes)) break;
            continue;
        }
        if (!reader_copy(r, levels, bytes)) {
            drop_current(store);
            break;
        }
        clamp_levels(levels, bytes);
        engine->bitmap = levels;
        engine->bitmap_loaded = 1;
        glyph_store_insert(store, style, size, engine, character, &err);
        inserted++;
    }
    engine->bitmap = nullptr;
    fclose(f);
    return inserted;
}

void font_cache_write(TextEngine* engine, const char* path) {
    if (!engine) return;
    GlyphStore* store = engine->main_store;
    // Measuring looks every glyph up once (it inserts nothing).
    WCHAR run[CHARSET_SIZE + 1];
    for (int i = 0; i < CHARSET_SIZE; i++) run[i] = (WCHAR)charset_table[i];
    run[CHARSET_SIZE] = 0;
    for (int p = 0; p < CHARSET_FACES; p++) {
        int err = 0;
        text_measure(engine, run, CHARSET_SIZE, charset_faces[p].style,
                     (int16_t)charset_faces[p].size, &err);
        if (err) return;  // the engine is gone
    }
    FILE* f = fopen(path, "wb");
    if (!f) return;
    int n = glyph_store_count(store);
    if (n > 0xFFFF) n = 0xFFFF;
    unsigned char head[GLYPH_RECORD_HEADER];
    put16(head, (uint32_t)n);
    fwrite(head, 1, 2, f);
    int written = 0;
    for (int b = 0; store && b < GLYPH_BUCKETS && written < n; b++) {
        for (GlyphEntry* e = entry_at(store, store->buckets[b]); e && written < n;
             e = entry_at(store, e->next)) {
            put16(head, e->style);
            put32(head + 2, e->pixel_size);
            put16(head + 6, e->character);
            for (int w = 0; w < GLYPH_METRICS; w++) put32(head + 8 + 4 * w, (uint32_t)e->metrics[w]);
            fwrite(head, 1, GLYPH_RECORD_HEADER, f);
            uint32_t bytes = (uint32_t)e->metrics[GLYPH_M_ROWS] * (uint32_t)e->metrics[GLYPH_M_STRIDE];
            // never read past what the entry was carved with; a record that
            // claims more is padded so the file stays framed
            uint32_t held = (uint32_t)(e->size - GLYPH_ENTRY_HEADER);
            uint32_t from_entry = bytes < held ? bytes : held;
            fwrite((const uint8_t*)e + GLYPH_ENTRY_HEADER, 1, from_entry, f);
            for (uint32_t k = from_entry; k < bytes; k++) fputc(0, f);
            written++;
        }
    }
    fclose(f);
}
