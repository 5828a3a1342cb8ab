// Text runs drawn from the glyph stores through the colour ramp, their
// measurement, the 16-bit string helpers, and the program's text resources.
#include "gfx/text.h"

#include <cstring>

#include "gfx/fb.h"

MemPool* text_pool = nullptr;
TextEngine* text_engine = nullptr;
BYTE text_colour[3] = {0, 0, 0};
BYTE text_sample_background = 1;

// The stores of the global engine, also kept here so that they can still be
// released when a failure has taken the engine (and its pool) away.
static GlyphStore* stores[2];

// Colour pair the ramp was last built from (red, green, blue each).
static BYTE last_fg[3];
static BYTE last_bg[3];

#define CACHE_FILE "/cv/tccache.bin"
#define RAMP_SIZE 127
#define HYPHEN 45
#define RUN_DISTINCT_MAX 513

// Level table of mode L: per entry, the red, green and blue weight as a
// twelfth step (base-13 digits, a = 10, b = 11, c = 12). Entries 0-12 are the
// grey levels; the others give each sub-pixel channel its own coverage.
static const char level_table[GLYPH_MAX_LEVEL + 1][4] = {
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

// Byte value of a twelfth step k: floor(k * 255 / 12 + 0.5).
static const BYTE twelfth[13] = {0, 21, 43, 64, 85, 106, 128, 149, 170, 191, 213, 234, 255};

static int digit13(char c) { return c >= 'a' ? c - 'a' + 10 : c - '0'; }

// ---------------------------------------------------------------------------
// Loss of the engine: a failure inside a guarded entry has destroyed the pool
// and the engine with it. For the program's own engine the stores go too and
// the globals become null, so that no later call touches freed memory.

// The program's engine that a failure took away. Callers may still hold its
// address (an editor or a control drawing several runs); every text
// operation refuses it as it refuses no engine at all.
static const TextEngine* lost_engine;

static int usable(const TextEngine* engine) { return engine && engine != lost_engine; }

int text_engine_alive(const TextEngine* engine) { return usable(engine); }

static void engine_lost(TextEngine* engine) {
    if (engine != text_engine) return;
    lost_engine = engine;
    for (int i = 0; i < 2; i++) {
        int err;
        glyph_store_destroy(stores[i], &err);
        stores[i] = nullptr;
    }
    text_engine = nullptr;
    text_pool = nullptr;
}

// The text operations are guarded entries, but callers (form controls, the
// editor) may call them from inside guarded entries of their own on the same
// pool. Each entry therefore keeps the caller's armed jump buffer and puts it
// back when it returns normally, so the caller's failures still land in the
// caller's frame.
static void keep_outer(const MemPool* pool, jmp_buf outer) { memcpy(outer, pool->jump, sizeof(jmp_buf)); }
static void restore_outer(MemPool* pool, const jmp_buf outer) { memcpy(pool->jump, outer, sizeof(jmp_buf)); }

// ---------------------------------------------------------------------------
// Ramp

int32_t fx_div(int32_t a, int32_t b) {
    int negative = (a < 0) != (b < 0);
    uint32_t ua = a < 0 ? 0u - (uint32_t)a : (uint32_t)a;
    uint32_t ub = b < 0 ? 0u - (uint32_t)b : (uint32_t)b;
    if (ub == 0) return a == 0 ? 0 : (negative ? INT32_MIN : INT32_MAX);  // saturate
    uint32_t q = ua / ub;
    uint32_t r = ua % ub;
    while (r > 0xFFFF) {
        r >>= 1;
        ub >>= 1;
    }
    uint32_t result = q * 65536u + (r << 16) / ub;
    return negative ? (int32_t)(0u - result) : (int32_t)result;
}

static void unpack(DWORD colour, BYTE rgb[3]) {
    rgb[0] = (BYTE)colour;
    rgb[1] = (BYTE)(colour >> 8);
    rgb[2] = (BYTE)(colour >> 16);
}

// Unguarded: the L ramp allocates from the engine's pool.
static void build_ramp(TextEngine* engine, DWORD foreground, DWORD background) {
    BYTE f[3], b[3];
    unpack(foreground, f);
    unpack(background, b);
    if (!memcmp(f, last_fg, 3) && !memcmp(b, last_bg, 3)) return;
    memcpy(last_fg, f, 3);
    memcpy(last_bg, b, 3);
    if (engine->colour_mode == 'G') {
        for (int ch = 0; ch < 3; ch++) {
            int32_t step = fx_div((int32_t)(f[ch] - b[ch]) * 65536, 127 * 65536);
            for (int k = 0; k < RAMP_SIZE - 1; k++) {
                int32_t v = ((int32_t)b[ch] * 65536 + k * step + 0x8000) >> 16;
                gfx.palette[PALETTE_RAMP_FIRST + k][ch] = (BYTE)v;
            }
            gfx.palette[PALETTE_SIZE - 1][ch] = f[ch];
        }
        return;
    }
    // mode L: one colour per level-table entry, built aside first
    uint32_t* block = (uint32_t*)pool_alloc(engine->pool, 4 + 4 * (GLYPH_MAX_LEVEL + 1));
    uint32_t* colours = block + 1;
    // The table's byte weights, worked out once.
    static BYTE weight[GLYPH_MAX_LEVEL + 1][3];
    static bool weighed;
    if (!weighed) {
        for (int i = 0; i <= GLYPH_MAX_LEVEL; i++)
            for (int ch = 0; ch < 3; ch++) weight[i][ch] = twelfth[digit13(level_table[i][ch])];
        weighed = true;
    }
    int black_on_white = f[0] == 0 && f[1] == 0 && f[2] == 0 && b[0] == 255 && b[1] == 255 &&
                         b[2] == 255;
    if (black_on_white) {
        for (int i = 0; i <= GLYPH_MAX_LEVEL; i++) {
            const BYTE* w = weight[i];
            colours[i] = (uint32_t)(255 - w[0]) | (uint32_t)(255 - w[1]) << 8 | (uint32_t)(255 - w[2]) << 16;
        }
    } else {
        // (256 - w) * b + w * f, written with one product per channel
        int d0 = f[0] - b[0], d1 = f[1] - b[1], d2 = f[2] - b[2];
        int b0 = b[0] << 8, b1 = b[1] << 8, b2 = b[2] << 8;
        for (int i = 0; i <= GLYPH_MAX_LEVEL; i++) {
            const BYTE* w = weight[i];
            colours[i] = (uint32_t)((b0 + w[0] * d0) >> 8) | (uint32_t)((b1 + w[1] * d1) >> 8) << 8 |
                         (uint32_t)((b2 + w[2] * d2) >> 8) << 16;
        }
    }
    for (int i = 0; i <= GLYPH_MAX_LEVEL; i++) unpack(colours[i], gfx.palette[PALETTE_RAMP_FIRST + i]);
    pool_free(engine->pool, block);
}

void text_set_colours(TextEngine* engine, DWORD foreground, DWORD background) {
    if (!usable(engine)) return;
    MemPool* pool = engine->pool;
    jmp_buf outer;
    keep_outer(pool, outer);
    if (setjmp(pool->jump) != 0) {
        pool_destroy(pool);
        engine_lost(engine);
        return;
    }
    build_ramp(engine, foreground, background);
    restore_outer(pool, outer);
}

static DWORD palette_colour(DWORD index) {
    if (index >= PALETTE_SIZE) index = 0;
    const BYTE* p = gfx.palette[index];
    return (DWORD)p[0] | (DWORD)p[1] << 8 | (DWORD)p[2] << 16;
}

void text_set_colours_by_index(TextEngine* engine, DWORD foreground_index, DWORD background_index) {
    text_set_colours(engine, palette_colour(foreground_index), palette_colour(background_index));
}

// ---------------------------------------------------------------------------
// Runs

// The distinct codes of a run, in order of first occurrence (at most 513),
// each with its entry in the main store (null when absent). Entries are found
// once, when they are pinned; pinned entries stay where they are for the
// whole run, so drawing and measuring use them without looking again.
struct RunCodes {
    int n;
    WCHAR code[RUN_DISTINCT_MAX];
    GlyphEntry* entry[RUN_DISTINCT_MAX];
    int16_t latin[256];  // slot of each code below 256, -1 when not seen
};

// Slot of a code among the run's distinct codes, -1 when it is not one.
static int code_slot(const RunCodes& rc, WCHAR c) {
    if (c < 256) return rc.latin[c];
    for (int k = 0; k < rc.n; k++)
        if (rc.code[k] == c) return k;
    return -1;
}

static void distinct_codes(const WCHAR* text, uint16_t length, RunCodes* rc) {
    rc->n = 0;
    memset(rc->latin, 0xFF, sizeof rc->latin);
    for (int i = 0; i < length && text[i] && rc->n < RUN_DISTINCT_MAX; i++) {
        if (code_slot(*rc, text[i]) >= 0) continue;
        if (text[i] < 256) rc->latin[text[i]] = (int16_t)rc->n;
        rc->code[rc->n++] = text[i];
    }
}

// Pins every distinct code the main store holds and notes its entry.
static void pin_run(TextEngine* engine, RunCodes* rc, uint16_t style, uint32_t size) {
    for (int i = 0; i < rc->n; i++) {
        GlyphEntry* e = glyph_store_find(engine->main_store, style, rc->code[i], size);
        if (e) e->pinned = 1;
        rc->entry[i] = e;
    }
}

// Unpins them again. Nothing links or unlinks entries during a run, so the
// noted entries are what a find would meet; each becomes the most recently
// used, as the find would make it.
static void unpin_run(TextEngine* engine, RunCodes* rc) {
    for (int i = 0; i < rc->n; i++) {
        GlyphEntry* e = rc->entry[i];
        if (!e) continue;
        glyph_store_touch(engine->main_store, e);
        e->pinned = 0;
    }
}

// Looks a code up: main store, secondary store, then the hyphen of the same
// style and size. Fills the engine's current glyph; 0 when nothing was found.
static int find_glyph(TextEngine* engine, uint16_t style, uint32_t size, WCHAR code) {
    int err;
    if (glyph_lookup(engine->main_store, style, size, engine, code, &err)) return 1;
    if (glyph_lookup(engine->secondary_store, style, size, engine, code, &err)) return 1;
    return glyph_lookup(engine->main_store, style, size, engine, HYPHEN, &err) != nullptr;
}

// What drawing needs of one glyph.
struct GlyphView {
    const int32_t* m;        // metrics words 0-16 (advance, bearings, width, rows, stride)
    const uint8_t* levels;   // null when the glyph has no bitmap
};

// The glyph that stands for the i-th code of a run: the pinned entry of the
// main store when there is one, else the lookup chain, which fills the
// engine's current glyph. 0 when not even a hyphen exists.
static int glyph_for(TextEngine* engine, const RunCodes& rc, uint16_t style, uint32_t size, WCHAR code,
                     GlyphView* g) {
    int k = code_slot(rc, code);
    if (k >= 0 && rc.entry[k]) {
        g->m = rc.entry[k]->metrics;
        g->levels = glyph_entry_levels(rc.entry[k]);
        return 1;
    }
    if (!find_glyph(engine, style, size, code)) return 0;
    g->m = engine->glyph;
    g->levels = engine->bitmap;
    return 1;
}

// Pen positions far outside the screen cannot show anything; the bound keeps
// every coordinate sum inside 32 bits.
#define PEN_LIMIT 0x100000

// Pixel values of the ramp entries the levels are drawn with, as the palette
// stands when the run is drawn (the ramp is built before the first glyph).
// Levels above the ramp's last entry take that entry. The values are worked
// out again only when the ramp's part of the palette, or the colour mode,
// differs from what they were worked out from.
struct RampPixels {
    uint16_t v[256];
    BYTE from[RAMP_SIZE][3];
    int32_t mode;
};

// Mode G's ramp runs from the background (entry 0) to the foreground (entry
// 126) over coverage, but a glyph level indexes the level table: greys 0 to
// 12, then coloured fringes. Each level is drawn with the ramp entry of its
// mean weight, so that ink grows with coverage: the three twelfth-step
// weights sum to s (0 to 36), and the entry is s * 126 / 36, rounded.
static int g_ramp_entry(int level) {
    if (level > GLYPH_MAX_LEVEL) level = GLYPH_MAX_LEVEL;
    int sum = 0;
    for (int ch = 0; ch < 3; ch++) sum += digit13(level_table[level][ch]);
    return (sum * 7 + 1) / 2;
}

static const RampPixels& ramp_pixels(const TextEngine* engine) {
    static RampPixels rp;
    static bool ready;
    const BYTE(*ramp)[3] = gfx.palette + PALETTE_RAMP_FIRST;
    if (ready && rp.mode == engine->colour_mode && memcmp(rp.from, ramp, sizeof rp.from) == 0) return rp;
    memcpy(rp.from, ramp, sizeof rp.from);
    rp.mode = engine->colour_mode;
    for (int level = 1; level < RAMP_SIZE; level++) {
        // Mode L's ramp has one entry per level: 13 + level.
        const BYTE* c = ramp[engine->colour_mode == 'G' ? g_ramp_entry(level) : level];
        rp.v[level] = (uint16_t)(((c[0] & 0xF8) << 8) | ((c[1] & 0xFC) << 3) | (c[2] >> 3));
    }
    for (int level = RAMP_SIZE; level < 256; level++) rp.v[level] = rp.v[RAMP_SIZE - 1];
    ready = true;
    return rp;
}

// Glyph levels at (x, y): only the part inside the clip is visited, one
// glyph column (a contiguous physical row) at a time; level 0 leaves the
// screen as it is.
static void draw_glyph(const GlyphView& g, const RampPixels& rp, int64_t x, int64_t y) {
    int32_t width = g.m[GLYPH_M_WIDTH];
    int32_t rows = g.m[GLYPH_M_ROWS];
    const uint8_t* levels = g.levels;
    if (!levels || g.m[GLYPH_M_STRIDE] != width || !gfx.frame) return;
    if (x < -PEN_LIMIT || x > PEN_LIMIT || y < -PEN_LIMIT || y > PEN_LIMIT) return;
    const Rect& clip = gfx.clip;
    int64_t c0 = 0, c1 = (int64_t)width - 1, r0 = 0, r1 = (int64_t)rows - 1;
    if (x + c0 < clip.left) c0 = clip.left - x;
    if (x + c1 > clip.right) c1 = clip.right - x;
    if (y + r0 < clip.top) r0 = clip.top - y;
    if (y + r1 > clip.bottom) r1 = clip.bottom - y;
    if (c0 > c1 || r0 > r1) return;  // glyph lies outside the clip
    long step = gfx.props.cbxPitch;
    long span = (long)(r1 - r0 + 1) * width;
    for (int64_t c = c0; c <= c1; c++) {
        char* p = gfx.frame + (long)(y + r0) * step + (long)(319 - (x + c)) * gfx.props.cbyPitch;
        const uint8_t* l = levels + r0 * width + c;
        for (const uint8_t* end = l + span; l != end; l += width, p += step) {
            if (*l) *(uint16_t*)p = rp.v[*l];  // level 0: the background stays
        }
    }
}

static int pixels_of(int64_t accumulator) {
    int64_t v = (accumulator + 0x8000) >> 16;
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return (int)v;
}

// Sum of the advances of a run (16.16), the hyphen's for missing codes.
static int64_t run_advance(TextEngine* engine, const RunCodes& rc, const WCHAR* text, uint16_t length,
                           uint16_t style, uint32_t size) {
    int64_t acc = 0;
    GlyphView g;
    for (int i = 0; i < length && text[i]; i++) {
        if (glyph_for(engine, rc, style, size, text[i], &g)) acc += g.m[GLYPH_M_ADVANCE];
    }
    return acc;
}

// Average of five screen pixels in the upper half of the run's box, shifted
// and clamped into the clip, becomes the ramp's background.
static void sample_background(TextEngine* engine, int width, LONG x, LONG y, int16_t size) {
    const Rect& clip = gfx.clip;
    int64_t x0 = x, x1 = (int64_t)x + width - 1;
    int64_t y0 = (int64_t)y - (size >> 1), y1 = (int64_t)y - 1;
    if (x0 >= clip.right) return;  // nothing of the run can show
    if (x0 < clip.left) {
        x1 += clip.left - x0;
        x0 = clip.left;
    }
    if (x1 > clip.right) x1 = clip.right;
    // an empty run still reads inside the clip, never left of it
    if (x1 < x0) x1 = x0;
    auto clamp_y = [&](int64_t v) { return v < clip.top ? clip.top : v > clip.bottom ? clip.bottom : v; };
    y0 = clamp_y(y0);
    y1 = clamp_y(y1);
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
    DWORD background = (r / 5) << 3 | ((g / 5) << 2) << 8 | ((b / 5) << 3) << 16;
    DWORD foreground = text_colour[0] | text_colour[1] << 8 | text_colour[2] << 16;
    build_ramp(engine, foreground, background);
}

// Unguarded body of drawing (measure_only 0) and measuring (1); returns the
// run's width in pixels.
static int run_body(TextEngine* engine, const WCHAR* text, uint16_t length, uint16_t style,
                    int16_t size, LONG x, LONG y, int measure_only) {
    uint32_t key_size = (uint32_t)(int32_t)size;
    engine->cur_style = style;
    engine->cur_size = key_size;
    static RunCodes rc;  // one run at a time: the program has one drawing thread
    distinct_codes(text, length, &rc);
    pin_run(engine, &rc, style, key_size);
    int width;
    int last = -1;  // the last code that found a glyph
    if (measure_only) {
        width = pixels_of(run_advance(engine, rc, text, length, style, key_size));
    } else {
        if (text_sample_background) {
            width = pixels_of(run_advance(engine, rc, text, length, style, key_size));
            sample_background(engine, width, x, y, size);
        }
        const RampPixels& rp = ramp_pixels(engine);
        int64_t acc = 0;
        GlyphView g;
        for (int i = 0; i < length && text[i]; i++) {
            if (!glyph_for(engine, rc, style, key_size, text[i], &g)) continue;  // no glyph, no hyphen
            int64_t gx = x + ((acc + 0x8000) >> 16) + (g.m[GLYPH_M_LEFT] >> 6);
            int64_t gy = y - (g.m[GLYPH_M_TOP] >> 6);
            draw_glyph(g, rp, gx, gy);
            acc += g.m[GLYPH_M_ADVANCE];
            last = i;
        }
        width = pixels_of(acc);
    }
    // The engine's current glyph is the run's last one, as a lookup of every
    // character would have left it.
    for (int i = 0; i < length && text[i]; i++) last = i;
    if (last >= 0) find_glyph(engine, style, key_size, text[last]);
    unpin_run(engine, &rc);
    return width;
}

void text_draw(TextEngine* engine, const WCHAR* text, uint16_t length, uint16_t style, int16_t size,
               LONG x, LONG y, int* err) {
    if (!usable(engine)) {
        *err = ERR_ENGINE_NO_POOL;
        return;
    }
    MemPool* pool = engine->pool;
    jmp_buf outer;
    keep_outer(pool, outer);
    *err = setjmp(pool->jump);
    if (*err != 0) {
        pool_destroy(pool);
        engine_lost(engine);
        return;
    }
    if (text) run_body(engine, text, length, style, size, x, y, 0);
    restore_outer(pool, outer);
}

int text_measure(TextEngine* engine, const WCHAR* text, uint16_t length, uint16_t style,
                 int16_t size, int* err) {
    if (!usable(engine)) {
        *err = ERR_ENGINE_NO_POOL;
        return 0;
    }
    MemPool* pool = engine->pool;
    jmp_buf outer;
    keep_outer(pool, outer);
    *err = setjmp(pool->jump);
    if (*err != 0) {
        pool_destroy(pool);
        engine_lost(engine);
        return 0;
    }
    int width = text ? run_body(engine, text, length, style, size, 0, 0, 1) : 0;
    restore_outer(pool, outer);
    return width;
}

// Widens an 8-bit string into a pool block; bytes 0x80-0xFF become
// 0xFF80-0xFFFF, which no glyph has. Runs are at most 65535 codes long.
static WCHAR* widen(MemPool* pool, const char* text, uint16_t* length) {
    size_t n = strlen(text);
    if (n > 0xFFFF) n = 0xFFFF;
    WCHAR* w = (WCHAR*)pool_alloc(pool, (uint32_t)(n + 1) * 2);
    for (size_t i = 0; i < n; i++) w[i] = (WCHAR)(int16_t)(signed char)text[i];
    w[n] = 0;
    *length = (uint16_t)n;
    return w;
}

void text_draw_cstr(TextEngine* engine, const char* text, uint16_t style, int16_t size, LONG x,
                    LONG y, int* err) {
    if (!usable(engine)) {
        *err = ERR_ENGINE_NO_POOL;
        return;
    }
    MemPool* pool = engine->pool;
    jmp_buf outer;
    keep_outer(pool, outer);
    *err = setjmp(pool->jump);
    if (*err != 0) {
        pool_destroy(pool);
        engine_lost(engine);
        return;
    }
    if (text) {
        uint16_t length;
        WCHAR* w = widen(pool, text, &length);
        run_body(engine, w, length, style, size, x, y, 0);
        pool_free(pool, w);
    }
    restore_outer(pool, outer);
}

int text_measure_cstr(TextEngine* engine, const char* text, uint16_t style, int16_t size, int* err) {
    if (!usable(engine)) {
        *err = ERR_ENGINE_NO_POOL;
        return 0;
    }
    MemPool* pool = engine->pool;
    jmp_buf outer;
    keep_outer(pool, outer);
    *err = setjmp(pool->jump);
    if (*err != 0) {
        pool_destroy(pool);
        engine_lost(engine);
        return 0;
    }
    int width = 0;
    if (text) {
        uint16_t length;
        WCHAR* w = widen(pool, text, &length);
        width = run_body(engine, w, length, style, size, 0, 0, 1);
        pool_free(pool, w);
    }
    restore_outer(pool, outer);
    return width;
}

// ---------------------------------------------------------------------------
// 16-bit strings

uint16_t wstr_len(const WCHAR* s) {
    uint16_t n = 0;
    if (!s) return 0;
    while (n < 0xFFFF && s[n]) n++;
    return n;
}

static int utf8_bytes(WCHAR u) { return u < 0x80 ? 1 : u < 0x800 ? 2 : 3; }

int wstr_to_utf8(char* out, const WCHAR* s, int size) {
    if (!s) {
        if (!out) return 0;
        if (size >= 1) out[0] = 0;
        return 1;
    }
    int n = 0, i = 0;
    if (out) {
        for (;; i++) {
            WCHAR u = s[i];
            int room = size - n;
            if (room < 1) break;
            if (u == 0) {
                out[n] = 0;
                return n + 1;
            }
            if (utf8_bytes(u) > room) break;  // no partial characters
            if (u < 0x80) {
                out[n++] = (char)u;
            } else if (u < 0x800) {
                out[n++] = (char)(0xC0 | (u >> 6));
                out[n++] = (char)(0x80 | (u & 0x3F));
            } else {
                out[n++] = (char)(0xE0 | (u >> 12));
                out[n++] = (char)(0x80 | ((u >> 6) & 0x3F));
                out[n++] = (char)(0x80 | (u & 0x3F));
            }
        }
    }
    // out of room (or only counting): the rest of the string is counted
    for (; s[i]; i++) n += utf8_bytes(s[i]);
    return n + 1;
}

// ---------------------------------------------------------------------------
// Start-up and shut-down

void text_pool_lost(MemPool* pool) {
    pool_destroy(pool);
    if (pool == text_pool) engine_lost(text_engine);
}

int text_startup(int hp_family) {
    int err;
    lost_engine = nullptr;
    text_pool = pool_create(&err);
    if (!text_pool) return err;
    text_engine = text_engine_create(text_pool, &err);
    if (!text_engine) {
        text_pool = nullptr;  // the failed creation destroyed it
        return err;
    }
    text_engine->colour_mode = hp_family ? 'G' : 'L';
    stores[0] = glyph_store_create(GLYPH_MAIN_STORE_SIZE, &err);
    if (!stores[0]) return err;
    text_engine->main_store = stores[0];
    stores[1] = glyph_store_create(GLYPH_SECONDARY_STORE_SIZE, &err);
    if (!stores[1]) return err;
    text_engine->secondary_store = stores[1];
    return 0;
}

void text_load_font_cache() {
    if (!text_engine) return;
    if (font_cache_load(text_engine, CACHE_FILE) < 0) font_cache_write(text_engine, CACHE_FILE);
}

void text_shutdown() {
    int err;
    glyph_store_destroy(stores[1], &err);
    stores[1] = nullptr;
    glyph_store_destroy(stores[0], &err);
    stores[0] = nullptr;
    if (!text_engine) return;
    text_engine->main_store = nullptr;
    text_engine->secondary_store = nullptr;
    text_engine_destroy(text_engine, &err);
    text_engine = nullptr;
    if (err != 0) text_pool = nullptr;  // a damaged engine took the pool with it
}

void text_release_pool() {
    pool_release(text_pool);
    text_pool = nullptr;
}
