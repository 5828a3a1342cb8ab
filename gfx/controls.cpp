// Form controls: records in the main pool, their layout and their drawing.
#include "gfx/controls.h"

#include <csetjmp>
#include <cstdlib>
#include <cstring>

#include "gfx/fontcache.h"
#include "gfx/pool.h"
#include "gfx/text.h"
#include "shell/app.h"

// Icons and arrows, palette indices row after row (0 black, 1 light grey,
// 2 light blue, 3 white or, in icons, the background, 4 dark grey, 5 dark
// blue). Each row of the source is one row of the picture.

static const BYTE radio_off_9_px[9 * 9] = {
    3, 3, 4, 0, 0, 0, 4, 3, 3,
    3, 0, 4, 3, 3, 3, 2, 5, 3,
    4, 4, 3, 3, 3, 3, 3, 2, 2,
    0, 3, 3, 3, 3, 3, 3, 3, 5,
    0, 3, 3, 3, 3, 3, 3, 3, 5,
    0, 3, 3, 3, 3, 3, 3, 3, 5,
    4, 4, 3, 3, 3, 3, 3, 2, 2,
    3, 0, 4, 3, 3, 3, 2, 5, 3,
    3, 3, 2, 5, 5, 5, 2, 3, 3,
};
const ControlImage icon_radio_off_9 = {9, 9, 9, 1, radio_off_9_px};

static const BYTE radio_on_9_px[9 * 9] = {
    3, 3, 4, 0, 0, 0, 4, 3, 3,
    3, 0, 4, 3, 3, 3, 2, 5, 3,
    4, 4, 3, 3, 3, 3, 3, 2, 2,
    0, 3, 3, 4, 0, 4, 3, 3, 5,
    0, 3, 3, 0, 0, 0, 3, 3, 5,
    0, 3, 3, 4, 0, 4, 3, 3, 5,
    4, 4, 3, 3, 3, 3, 3, 2, 2,
    3, 0, 4, 3, 3, 3, 2, 5, 3,
    3, 3, 2, 5, 5, 5, 2, 3, 3,
};
const ControlImage icon_radio_on_9 = {9, 9, 9, 1, radio_on_9_px};

static const BYTE check_off_9_px[9 * 9] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 3, 3, 3, 3, 3, 3, 3, 2,
    0, 3, 3, 3, 3, 3, 3, 3, 2,
    0, 3, 3, 3, 3, 3, 3, 3, 2,
    0, 3, 3, 3, 3, 3, 3, 3, 2,
    0, 3, 3, 3, 3, 3, 3, 3, 2,
    0, 3, 3, 3, 3, 3, 3, 3, 2,
    0, 3, 3, 3, 3, 3, 3, 3, 2,
    0, 2, 2, 2, 2, 2, 2, 2, 2,
};
const ControlImage icon_check_off_9 = {9, 9, 9, 1, check_off_9_px};

static const BYTE check_on_9_px[9 * 9] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 1, 3, 3, 3, 1, 0, 2,
    0, 1, 0, 1, 3, 1, 0, 1, 2,
    0, 3, 1, 0, 1, 0, 1, 3, 2,
    0, 3, 3, 1, 0, 1, 3, 3, 2,
    0, 3, 1, 0, 1, 0, 1, 3, 2,
    0, 1, 0, 1, 3, 1, 0, 1, 2,
    0, 0, 1, 3, 3, 3, 1, 0, 2,
    0, 2, 2, 2, 2, 2, 2, 2, 2,
};
const ControlImage icon_check_on_9 = {9, 9, 9, 1, check_on_9_px};

static const BYTE radio_off_7_px[7 * 7] = {
    3, 3, 4, 0, 4, 3, 3,
    3, 0, 4, 3, 2, 5, 3,
    4, 4, 3, 3, 3, 2, 2,
    0, 3, 3, 3, 3, 3, 5,
    4, 4, 3, 3, 3, 2, 2,
    3, 0, 4, 3, 2, 5, 3,
    3, 3, 2, 5, 2, 3, 3,
};
const ControlImage icon_radio_off_7 = {7, 7, 7, 1, radio_off_7_px};

static const BYTE radio_on_7_px[7 * 7] = {
    3, 3, 4, 0, 4, 3, 3,
    3, 0, 4, 3, 2, 5, 3,
    4, 4, 4, 0, 4, 2, 2,
    0, 3, 0, 0, 0, 3, 5,
    4, 4, 4, 0, 4, 2, 2,
    3, 0, 4, 3, 2, 5, 3,
    3, 3, 2, 5, 2, 3, 3,
};
const ControlImage icon_radio_on_7 = {7, 7, 7, 1, radio_on_7_px};

static const BYTE check_off_7_px[7 * 7] = {
    0, 0, 0, 0, 0, 0, 0,
    0, 3, 3, 3, 3, 3, 2,
    0, 3, 3, 3, 3, 3, 2,
    0, 3, 3, 3, 3, 3, 2,
    0, 3, 3, 3, 3, 3, 2,
    0, 3, 3, 3, 3, 3, 2,
    0, 2, 2, 2, 2, 2, 2,
};
const ControlImage icon_check_off_7 = {7, 7, 7, 1, check_off_7_px};

static const BYTE check_on_7_px[7 * 7] = {
    0, 0, 0, 0, 0, 0, 0,
    0, 0, 1, 3, 1, 0, 2,
    0, 1, 0, 1, 0, 1, 2,
    0, 3, 1, 0, 1, 3, 2,
    0, 1, 0, 1, 0, 1, 2,
    0, 0, 1, 3, 1, 0, 2,
    0, 2, 2, 2, 2, 2, 2,
};
const ControlImage icon_check_on_7 = {7, 7, 7, 1, check_on_7_px};

static const BYTE arrow_down_13_px[13 * 13] = {
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 0, 0, 0, 0, 0, 0, 0, 2, 2, 2,
    2, 2, 2, 2, 0, 0, 0, 0, 0, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 0, 0, 0, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 0, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
};
const ControlImage arrow_down_13 = {13, 13, 13, 1, arrow_down_13_px};

static const BYTE arrow_up_13_px[13 * 13] = {
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 0, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 0, 0, 0, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 0, 0, 0, 0, 0, 2, 2, 2, 2,
    2, 2, 2, 0, 0, 0, 0, 0, 0, 0, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
};
const ControlImage arrow_up_13 = {13, 13, 13, 1, arrow_up_13_px};

static const BYTE arrow_down_9_px[9 * 9] = {
    2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 0, 0, 0, 0, 0, 2, 2,
    2, 2, 2, 0, 0, 0, 2, 2, 2,
    2, 2, 2, 2, 0, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2,
};
const ControlImage arrow_down_9 = {9, 9, 9, 1, arrow_down_9_px};

static const BYTE arrow_up_9_px[9 * 9] = {
    2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 0, 2, 2, 2, 2,
    2, 2, 2, 0, 0, 0, 2, 2, 2,
    2, 2, 0, 0, 0, 0, 0, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2,
};
const ControlImage arrow_up_9 = {9, 9, 9, 1, arrow_up_9_px};

static const BYTE arrow_drop_11_px[13 * 11] = {
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 0, 0, 0, 0, 0, 2, 2, 2,
    2, 2, 2, 2, 0, 0, 0, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 0, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
};
const ControlImage arrow_drop_11 = {11, 13, 11, 1, arrow_drop_11_px};

int control_text_size() { return zoom_mode ? 10 : 8; }

// ---------------------------------------------------------------------------
// Pool helpers

static MemPool* engine_pool(TextEngine* engine) { return engine ? engine->pool : text_pool; }

// A failure came back through the jump: the pool and everything in it are
// gone. When it was the main pool the text resources go with it, so later
// text operations see no engine instead of freed memory.
static void pool_lost(MemPool* pool) { text_pool_lost(pool); }

// Slots kept free for the text runs that follow (widened strings, the ramp):
// a page with too many controls loses the controls that do not fit, not
// its whole pool.
#define CONTROL_SLOT_RESERVE 16

// Whether the pool has room for n more blocks; a control that does not fit
// is refused with ERR_SLOTS_FULL before anything is allocated.
static int room_for(MemPool* pool, int n, int* err) {
    if (pool->live + n + CONTROL_SLOT_RESERVE <= pool->slot_count) return 1;
    *err = ERR_SLOTS_FULL;
    return 0;
}

static char* copy_name(MemPool* pool, const char* name) {
    if (!name) return nullptr;
    size_t n = strlen(name);
    char* s = (char*)pool_alloc(pool, (uint32_t)n + 1);
    memcpy(s, name, n + 1);
    return s;
}

static WCHAR* copy_wide(MemPool* pool, const WCHAR* text) {
    if (!text) return nullptr;
    uint16_t n = wstr_len(text);
    WCHAR* s = (WCHAR*)pool_alloc(pool, ((uint32_t)n + 1) * sizeof(WCHAR));
    memcpy(s, text, (size_t)n * sizeof(WCHAR));
    s[n] = 0;
    return s;
}

// 8-bit to 16-bit by sign extension (bytes 0x80-0xFF have no glyph), in a
// plain heap buffer the caller frees; null when memory ran out.
static WCHAR* widen(const char* text) {
    size_t n = strlen(text);
    WCHAR* w = (WCHAR*)malloc((n + 1) * sizeof(WCHAR));
    if (!w) return nullptr;
    for (size_t i = 0; i < n; i++) w[i] = (WCHAR)(int16_t)(signed char)text[i];
    w[n] = 0;
    return w;
}

static int measure(TextEngine* engine, const WCHAR* text, uint16_t style, int size, int* err) {
    *err = 0;
    if (!engine || !text || !text[0]) return 0;
    return text_measure(engine, text, wstr_len(text), style, (int16_t)size, err);
}

// Draws a label in colours fg on bg, with the background sampling off.
static void draw_label(TextEngine* engine, const WCHAR* text, uint16_t style, int size, LONG x,
                       LONG y, DWORD fg, DWORD bg, int* err) {
    *err = 0;
    if (!engine || !text || !text[0]) return;
    text_sample_background = 0;
    text_set_colours_by_index(engine, fg, bg);
    if (text_engine_alive(engine)) {
        text_draw(engine, text, wstr_len(text), style, (int16_t)size, x, y, err);
    } else {
        *err = ERR_NO_MEMORY;  // the pool went, and the label (and its control) with it
    }
    text_sample_background = 1;
}

static void line(LONG x0, LONG y0, LONG x1, LONG y1, DWORD colour) {
    gfx_set_colour(colour);
    gfx_move_to(x0, y0);
    gfx_line_to(x1, y1);
}

// Clip narrowed to the intersection of the current clip and r. The caller
// keeps the old clip and gives it back. Returns 0 when nothing is visible.
static int clip_to(const Rect& r) {
    Rect c = gfx.clip;
    LONG top = r.top > c.top ? r.top : c.top;
    LONG left = r.left > c.left ? r.left : c.left;
    LONG bottom = r.bottom < c.bottom ? r.bottom : c.bottom;
    LONG right = r.right < c.right ? r.right : c.right;
    if (top > bottom || left > right) return 0;
    gfx_set_clip(top, left, bottom, right);
    return 1;
}

static void restore_clip(const Rect& c) { gfx_set_clip(c.top, c.left, c.bottom, c.right); }

// ---------------------------------------------------------------------------
// Text boxes
//
// A box holds line_count line buffers. Setting its text runs twice over it:
// the first pass grows the capacity of each line that needs more than it
// has, the second copies. A line ends at CR, LF (CR LF counts once) or after
// 127 code units; a multi-line box then goes on with its next line (at most
// 32), a single-line box starts its one line again, so the text after the
// last break is what it keeps.

#define TEXTBOX_SPLIT 127

static int is_break(WCHAR u) { return u == 13 || u == 10; }

void textbox_set_text(MemPool* pool, TextBox* box, const WCHAR* text, int single_line) {
    int count = box->line_count;
    if (single_line) count = 1;
    uint32_t need[TEXTBOX_MAX_LINES];
    for (int i = 0; i < box->line_count; i++) need[i] = box->capacities[i];

    // First pass: the room each line asks for.
    if (text) {
        int lineno = 0;
        uint32_t len = 0;
        for (const WCHAR* p = text; *p; p++) {
            if (is_break(*p)) {
                if (single_line) continue;
                if (*p == 13 && p[1] == 10) p++;
                if (++lineno >= count) break;
                len = 0;
                continue;
            }
            len++;
            if (len + 1 > need[lineno]) need[lineno] = len + 1;
        }
    }
    // Lines that grew get a larger buffer.
    for (int i = 0; i < box->line_count; i++) {
        if (need[i] > box->capacities[i]) {
            uint32_t units = need[i] > 0xFFFF ? 0xFFFF : need[i];
            WCHAR* b = (WCHAR*)pool_alloc(pool, units * sizeof(WCHAR));
            pool_free(pool, box->lines[i]);
            box->lines[i] = b;
            box->capacities[i] = (uint16_t)units;
        }
        box->lines[i][0] = 0;
    }
    if (!text) return;

    // Second pass: copy.
    int lineno = 0;
    uint32_t pos = 0;
    for (const WCHAR* p = text; *p; p++) {
        if (is_break(*p)) {
            box->lines[lineno][pos] = 0;
            if (*p == 13 && p[1] == 10) p++;
            pos = 0;
            if (!single_line && ++lineno >= count) return;
            continue;
        }
        box->lines[lineno][pos++] = *p;
        if (pos == TEXTBOX_SPLIT) {
            box->lines[lineno][pos] = 0;
            pos = 0;
            if (!single_line && ++lineno >= count) return;
        }
    }
    box->lines[lineno][pos] = 0;
}

TextBox* textbox_create(TextEngine* engine, LONG top, LONG left, LONG bottom, LONG right,
                        const WCHAR* text, uint32_t id, const char* name, int single_line,
                        int password, int32_t value, int* err) {
    MemPool* pool = engine_pool(engine);
    if (!pool) {
        *err = ERR_NO_POOL;
        return nullptr;
    }
    if (!room_for(pool, 5 + (single_line ? 1 : TEXTBOX_MAX_LINES), err)) return nullptr;
    *err = setjmp(pool->jump);
    if (*err != 0) {
        pool_lost(pool);
        return nullptr;
    }
    TextBox* box = (TextBox*)pool_alloc(pool, sizeof(TextBox));
    memset(box, 0, sizeof(TextBox));
    box->rect = Rect{top, left, bottom, right};
    box->line_count = single_line ? 1 : TEXTBOX_MAX_LINES;
    box->single_line = single_line ? 1 : 0;
    box->pool = pool;
    box->id = id;
    box->password = password ? 1 : 0;
    box->value = value;
    box->lines = (WCHAR**)pool_alloc(pool, box->line_count * sizeof(WCHAR*));
    box->capacities = (uint16_t*)pool_alloc(pool, box->line_count * sizeof(uint16_t));
    for (int i = 0; i < box->line_count; i++) {
        box->lines[i] = (WCHAR*)pool_alloc(pool, TEXTBOX_LINE_UNITS * sizeof(WCHAR));
        box->lines[i][0] = 0;
        box->capacities[i] = TEXTBOX_LINE_UNITS;
    }
    box->name = copy_name(pool, name);
    textbox_set_text(pool, box, text, single_line);
    return box;
}

void textbox_set_text_guarded(TextEngine* engine, TextBox* box, const WCHAR* text,
                              int single_line, int* err) {
    (void)engine;
    MemPool* pool = box->pool;
    *err = setjmp(pool->jump);
    if (*err != 0) {
        pool_lost(pool);
        return;
    }
    textbox_set_text(pool, box, text, single_line);
}

int textbox_draw(TextEngine* engine, TextBox* box, int* err) {
    *err = 0;
    int s = control_text_size();
    int gap = s / 5;
    gfx_fill_rect(&box->rect, COLOUR_WHITE);
    gfx_bevel_frame(&box->rect);
    if (engine) {
        text_set_colours_by_index(engine, COLOUR_BLACK, COLOUR_WHITE);
        if (!text_engine_alive(engine)) {
            *err = ERR_NO_MEMORY;  // the box went with the pool
            return 1;
        }
    }
    text_sample_background = 0;
    Rect saved = gfx.clip;
    if (clip_to(box->rect)) {
        LONG y = box->rect.top + s - 1;
        for (int i = 0; i < box->line_count && engine; i++, y += s + gap) {
            const WCHAR* l = box->lines[i];
            uint16_t n = wstr_len(l);
            if (n == 0) continue;
            if (box->password) {
                // As many asterisks as the line has code units.
                WCHAR stars[TEXTBOX_SPLIT + 1];
                if (n > TEXTBOX_SPLIT) n = TEXTBOX_SPLIT;
                for (int k = 0; k < n; k++) stars[k] = '*';
                stars[n] = 0;
                text_draw(engine, stars, n, TEXT_STYLE_FIELD, (int16_t)s, box->rect.left + 2, y, err);
            } else {
                text_draw(engine, l, n, TEXT_STYLE_FIELD, (int16_t)s, box->rect.left + 2, y, err);
            }
            if (*err) break;
            engine = text_engine;  // a failure took the engine away
        }
    }
    restore_clip(saved);
    text_sample_background = 1;
    return 1;
}

static void free_textbox(MemPool* pool, TextBox* box) {
    if (box->lines) {
        for (int i = 0; i < box->line_count; i++) pool_free(pool, box->lines[i]);
    }
    pool_free(pool, box->name);
    pool_free(pool, box->lines);
    pool_free(pool, box->capacities);
    pool_free(pool, box);
}

void textbox_destroy(TextBox* box, int* err) {
    *err = 0;
    if (!box) return;
    MemPool* pool = box->pool;
    *err = setjmp(pool->jump);
    if (*err != 0) {
        pool_lost(pool);
        return;
    }
    free_textbox(pool, box);
}

// ---------------------------------------------------------------------------
// Buttons

static void set_button_image(ButtonControl* b, const ControlImage* image) {
    b->image = *image;
    b->rect.right = b->rect.left + image->width;
    b->rect.bottom = b->rect.top + image->rows;
}

// Lays a new button out: an image button takes its size from the image; a
// text button is two sizes high, with half a size of room each side of the
// label.
static ButtonControl* new_button(MemPool* pool, const WCHAR* label, int label_width,
                                 const ControlImage* image, LONG left, LONG top, uint32_t id,
                                 const char* name, int32_t value) {
    int s = control_text_size();
    ButtonControl* b = (ButtonControl*)pool_alloc(pool, sizeof(ButtonControl));
    memset(b, 0, sizeof(ButtonControl));
    b->rect.top = top;
    b->rect.left = left;
    b->pool = pool;
    b->id = id;
    b->value = value;
    b->size = s;
    b->style = TEXT_STYLE_PAGE;
    b->ordinary = 1;
    if (image && image->pixels) {
        set_button_image(b, image);
    } else {
        b->label_width = label_width;
        b->rect.bottom = top + 2 * s;
        b->rect.right = left + s + label_width;
        b->label_x = left + s / 2;
        b->label_y = top + 2 * s - s / 2;
    }
    b->label = copy_wide(pool, label);
    b->name = copy_name(pool, name);
    return b;
}

// The guarded entries proper: everything they use arrives as an argument and
// stays unchanged after the jump buffer is armed, so a failure's jump back
// finds nothing clobbered.
static ButtonControl* guarded_new_button(MemPool* pool, const WCHAR* label, int width, const ControlImage* image,
                                         LONG left, LONG top, uint32_t id, const char* name, int32_t value,
                                         int* err) {
    *err = setjmp(pool->jump);
    if (*err != 0) {
        pool_lost(pool);
        return nullptr;
    }
    return new_button(pool, label, width, image, left, top, id, name, value);
}

ButtonControl* button_create_w(TextEngine* engine, const WCHAR* label, const ControlImage* image,
                               LONG left, LONG top, uint32_t id, const char* name, int32_t value,
                               int* err) {
    MemPool* pool = engine_pool(engine);
    if (!pool) {
        *err = ERR_NO_POOL;
        return nullptr;
    }
    // Measured before this entry arms the jump: guarded entries do not nest.
    int width = 0;
    if (!(image && image->pixels)) {
        width = measure(engine, label, TEXT_STYLE_PAGE, control_text_size(), err);
        if (*err) return nullptr;
        pool = engine_pool(engine);
        if (!pool) {
            *err = ERR_NO_POOL;
            return nullptr;
        }
    }
    if (!room_for(pool, 3, err)) return nullptr;
    return guarded_new_button(pool, label, width, image, left, top, id, name, value, err);
}

ButtonControl* button_create(TextEngine* engine, const char* label, const ControlImage* image,
                             LONG left, LONG top, uint32_t id, const char* name, int32_t value,
                             int* err) {
    WCHAR* wide = nullptr;
    if (label) {
        wide = widen(label);
        if (!wide) {
            *err = ERR_NO_MEMORY;
            return nullptr;
        }
    }
    ButtonControl* b = button_create_w(engine, wide, image, left, top, id, name, value, err);
    free(wide);
    return b;
}

int button_draw(TextEngine* engine, ButtonControl* b, int state, int* err) {
    *err = 0;
    const Rect& r = b->rect;
    int pressed = state == BUTTON_PRESSED;
    int highlighted = state == BUTTON_HIGHLIGHTED;
    int special = pressed && b->ordinary != 1;  // pressed non-ordinary button: dark blue

    if (b->image.pixels) {
        if (b->image.flag) {
            LONG ox = r.left + (pressed ? 1 : 0), oy = r.top + (pressed ? 1 : 0);
            for (int y = 0; y < b->image.rows; y++) {
                const BYTE* row = b->image.pixels + y * b->image.stride;
                for (int x = 0; x < b->image.width; x++) {
                    DWORD c = row[x];
                    if (highlighted && c == COLOUR_LIGHT_BLUE) c = COLOUR_PALE_GREY;
                    else if (highlighted && c == COLOUR_BLACK) c = COLOUR_LIGHT_GREY;
                    gfx_plot(ox + x, oy + y, c);
                }
            }
        }
    } else {
        gfx_fill_rect(&r, special ? COLOUR_DARK_BLUE
                                  : highlighted ? COLOUR_LIGHT_GREY : COLOUR_LIGHT_BLUE);
    }

    DWORD light, dark;
    if (special) {
        light = COLOUR_LIGHT_GREY;
        dark = COLOUR_MID_GREY;
    } else if (pressed) {
        light = COLOUR_BLACK;
        dark = COLOUR_LIGHT_GREY;
    } else {
        light = COLOUR_LIGHT_GREY;
        dark = highlighted ? COLOUR_MID_GREY : COLOUR_BLACK;
    }
    DWORD pen = gfx.pen_colour;
    line(r.left, r.top, r.right, r.top, light);
    line(r.left, r.top, r.left, r.bottom, light);
    line(r.left, r.bottom, r.right, r.bottom, dark);
    line(r.right, r.top, r.right, r.bottom, dark);
    gfx_set_colour(pen);

    if (b->image.pixels || !b->label || !b->label[0] || !engine) return 0;
    LONG off = pressed && !special ? 1 : 0;
    DWORD fg = special ? COLOUR_WHITE : COLOUR_BLACK;
    DWORD bg = special ? COLOUR_DARK_BLUE : highlighted ? COLOUR_LIGHT_GREY : COLOUR_LIGHT_BLUE;
    draw_label(engine, b->label, b->style, b->size, b->label_x + off, b->label_y + off, fg, bg, err);
    return 1;
}

static void free_button(MemPool* pool, ButtonControl* b) {
    if (!b) return;
    pool_free(pool, b->label);
    pool_free(pool, b->name);
    pool_free(pool, b);
}

void button_destroy(ButtonControl* b, int* err) {
    *err = 0;
    if (!b) return;
    MemPool* pool = b->pool;
    *err = setjmp(pool->jump);
    if (*err != 0) {
        pool_lost(pool);
        return;
    }
    free_button(pool, b);
}

// ---------------------------------------------------------------------------
// Lists

static const ControlImage& scroll_image_first() { return zoom_mode ? arrow_up_13 : arrow_up_9; }
static const ControlImage& scroll_image_second() { return zoom_mode ? arrow_down_13 : arrow_down_9; }
static const ControlImage& drop_arrow_image() { return zoom_mode ? arrow_drop_11 : arrow_down_9; }

// Text size of the rows of a list box or an open list.
static int row_text_size(const ListControl* list) {
    if (list->style != 0 && list->size > 0) return list->size;
    if (list->style == TEXT_STYLE_FIELD) return 11;
    return control_text_size();
}

// Size the items of a list are laid out with.
static int item_text_size(const ListControl* list) {
    if (list->style != 0 && list->size > 0) return list->size;
    return control_text_size();
}

ListControl* list_create(TextEngine* engine, const char* name, int kind, int32_t requested_height,
                         int32_t requested_width, uint32_t id, int* err) {
    if (kind < LIST_BOX || kind > LIST_OTHER) {
        *err = CONTROL_ERR_BAD_LIST;
        return nullptr;
    }
    MemPool* pool = engine_pool(engine);
    if (!pool) {
        *err = ERR_NO_POOL;
        return nullptr;
    }
    if (!room_for(pool, 5, err)) return nullptr;
    *err = setjmp(pool->jump);
    if (*err != 0) {
        pool_lost(pool);
        return nullptr;
    }
    ListControl* list = (ListControl*)pool_alloc(pool, sizeof(ListControl));
    memset(list, 0, sizeof(ListControl));
    list->pool = pool;
    list->kind = kind;
    list->requested_height = requested_height;
    list->requested_width = requested_width;
    list->id = id;
    list->selected = -1;
    list->open_direction = -1;
    list->multiple = kind == LIST_CHECK_BOXES ? 1 : 0;
    list->name = copy_name(pool, name);
    if (kind == LIST_DROP_DOWN) {
        list->visible_rows = CONTROL_OPEN_MAX_ROWS;
        list->visible_height = CONTROL_OPEN_MAX_HEIGHT;
        // The arrow starts at 0, 0; the first item moves it into place.
        list->arrow = new_button(pool, nullptr, 0, &drop_arrow_image(), 0, 0, 0, nullptr, 0);
        list->rect.bottom = list->arrow->rect.bottom;
    }
    return list;
}

static void move_rect(Rect* r, LONG dx, LONG dy) {
    r->top += dy;
    r->bottom += dy;
    r->left += dx;
    r->right += dx;
}

static void move_button_to(ButtonControl* b, LONG left, LONG top) {
    LONG dx = left - b->rect.left, dy = top - b->rect.top;
    move_rect(&b->rect, dx, dy);
    b->label_x += dx;
    b->label_y += dy;
}

void list_move(ListControl* list, LONG dx, LONG dy) {
    move_rect(&list->rect, dx, dy);
    move_rect(&list->frame, dx, dy);
    if (list->arrow) move_button_to(list->arrow, list->arrow->rect.left + dx, list->arrow->rect.top + dy);
    if (list->scroll_first)
        move_button_to(list->scroll_first, list->scroll_first->rect.left + dx, list->scroll_first->rect.top + dy);
    if (list->scroll_second)
        move_button_to(list->scroll_second, list->scroll_second->rect.left + dx,
                       list->scroll_second->rect.top + dy);
    for (int i = 0; i < list->item_count; i++) {
        ListItem* it = list->items[i];
        it->label_x += dx;
        it->rect.left += dx;
        it->rect.right += dx;
        if (list->kind == LIST_CHECK_BOXES || list->kind == LIST_RADIO_BUTTONS) {
            // Group items stand where the page put them.
            it->rect.top += dy;
            it->rect.bottom += dy;
            it->label_y += dy;
        }
    }
}

// Only the first item flagged selected stays selected; it becomes the
// selected row.
static void single_selection(ListControl* list) {
    list->selected = -1;
    for (int i = 0; i < list->item_count; i++) {
        ListItem* it = list->items[i];
        if (!it->selected) continue;
        if (list->selected < 0)
            list->selected = i;
        else
            it->selected = 0;
    }
}

// Row items: the widest one, or the requested width, sets the right edge
// they all share; a drop-down's arrow stays 2 pixels right of it.
static void fit_rows(ListControl* list) {
    LONG right = list->rect.left;
    if (list->requested_width >= 1) {
        right = list->rect.left + list->requested_width;
    } else {
        for (int i = 0; i < list->item_count; i++)
            if (list->items[i]->rect.right > right) right = list->items[i]->rect.right;
    }
    list->rect.right = right;
    for (int i = 0; i < list->item_count; i++) list->items[i]->rect.right = right;
    if (list->arrow) move_button_to(list->arrow, right + 2, list->arrow->rect.top);
}

// Kept out of line: its locals must not share the guarded caller's frame.
[[gnu::noinline]] static void add_item(MemPool* pool, ListControl* list, const WCHAR* label, int label_width,
                     int32_t value, LONG x, LONG y, int32_t selected) {
    int s = item_text_size(list);
    ListItem* it = (ListItem*)pool_alloc(pool, sizeof(ListItem));
    memset(it, 0, sizeof(ListItem));
    it->value = value;
    it->selected = selected;
    it->label = copy_wide(pool, label);
    if (list->items)
        list->items = (ListItem**)pool_realloc(pool, list->items, (list->item_count + 1) * sizeof(ListItem*));
    else
        list->items = (ListItem**)pool_alloc(pool, sizeof(ListItem*));
    list->items[list->item_count++] = it;
    int first = list->item_count == 1;

    if (list->kind == LIST_CHECK_BOXES || list->kind == LIST_RADIO_BUTTONS) {
        int check = list->kind == LIST_CHECK_BOXES;
        if (zoom_mode) {
            it->icon_off = check ? icon_check_off_9 : icon_radio_off_9;
            it->icon_on = check ? icon_check_on_9 : icon_radio_on_9;
        } else {
            it->icon_off = check ? icon_check_off_7 : icon_radio_off_7;
            it->icon_on = check ? icon_check_on_7 : icon_radio_on_7;
        }
        it->rect.top = y;
        it->rect.left = x;
        it->rect.right = x + it->icon_off.width;
        it->rect.bottom = y + it->icon_off.rows;
        if (it->label) {
            it->label_x = it->rect.right + s / 2;
            it->label_y = it->rect.bottom - 1;
            it->rect.right += label_width + s;
        }
        // The group's Rect bounds its items.
        if (first) {
            list->rect = it->rect;
        } else {
            if (it->rect.top < list->rect.top) list->rect.top = it->rect.top;
            if (it->rect.left < list->rect.left) list->rect.left = it->rect.left;
            if (it->rect.bottom > list->rect.bottom) list->rect.bottom = it->rect.bottom;
            if (it->rect.right > list->rect.right) list->rect.right = it->rect.right;
        }
    } else if (list->kind == LIST_BOX || list->kind == LIST_DROP_DOWN) {
        if (first && x >= 0) {
            // The first item fixes the list's left and top.
            list->rect.left = x;
            if (list->kind == LIST_BOX) {
                list->rect.top = y;
                list->visible_rows = list->requested_height / CONTROL_ROW_HEIGHT;
                if (list->visible_rows < 1) list->visible_rows = 1;
                list->visible_height = list->visible_rows * CONTROL_ROW_HEIGHT;
                list->rect.bottom = list->rect.top + list->visible_height;
            } else {
                move_button_to(list->arrow, list->arrow->rect.left, y);
                list->rect.top = list->arrow->rect.top;
                list->rect.bottom = list->arrow->rect.bottom;
            }
        }
        if (x < 0) x = list->rect.left;
        it->rect.top = 0;
        it->rect.left = x;
        it->rect.bottom = s + s / 4;
        it->rect.right = x + label_width + 4;
        it->label_x = x + 2;
        it->label_y = it->rect.bottom - s / 4;
        list->total_height += CONTROL_ROW_HEIGHT;
        fit_rows(list);
    }
    if (!list->multiple) single_selection(list);
    else if (list->selected < 0 && selected) list->selected = list->item_count - 1;
}

static void guarded_add_item(MemPool* pool, ListControl* list, const WCHAR* label, int width, int32_t value,
                             LONG x, LONG y, int32_t selected, int* err) {
    *err = setjmp(pool->jump);
    if (*err != 0) {
        pool_lost(pool);
        return;
    }
    add_item(pool, list, label, width, value, x, y, selected);
}

void list_add_item(TextEngine* engine, ListControl* list, const WCHAR* label, int32_t value,
                   LONG x, LONG y, int32_t selected, int* err) {
    if (!list) {
        *err = CONTROL_ERR_BAD_LIST;
        return;
    }
    if (list->item_count >= LIST_MAX_ITEMS) {
        *err = CONTROL_ERR_LIST_FULL;
        return;
    }
    int width = 0;
    if (label && label[0]) {
        width = measure(engine, label, list->style, item_text_size(list), err);
        if (*err) return;
    }
    MemPool* pool = list->pool;
    if (!room_for(pool, 2, err)) {
        *err = CONTROL_ERR_LIST_FULL;
        return;
    }
    guarded_add_item(pool, list, label, width, value, x, y, selected, err);
}

void list_add_item_cstr(TextEngine* engine, ListControl* list, const char* label, int32_t value,
                        LONG x, LONG y, int32_t selected, int* err) {
    WCHAR* wide = nullptr;
    if (label) {
        wide = widen(label);
        if (!wide) {
            *err = ERR_NO_MEMORY;
            return;
        }
    }
    list_add_item(engine, list, wide, value, x, y, selected, err);
    free(wide);
}

static void free_items(MemPool* pool, ListControl* list) {
    for (int i = 0; i < list->item_count; i++) {
        pool_free(pool, list->items[i]->label);
        pool_free(pool, list->items[i]);
    }
    pool_free(pool, list->items);
    list->items = nullptr;
    list->item_count = 0;
    list->total_height = 0;
    list->selected = -1;
    list->first_visible = 0;
}

void list_clear_items(ListControl* list, int* err) {
    *err = 0;
    if (!list) return;
    MemPool* pool = list->pool;
    *err = setjmp(pool->jump);
    if (*err != 0) {
        pool_lost(pool);
        return;
    }
    free_items(pool, list);
}

void list_destroy(ListControl* list, int* err) {
    *err = 0;
    if (!list) return;
    MemPool* pool = list->pool;
    *err = setjmp(pool->jump);
    if (*err != 0) {
        pool_lost(pool);
        return;
    }
    free_items(pool, list);
    free_button(pool, list->arrow);
    free_button(pool, list->scroll_first);
    free_button(pool, list->scroll_second);
    // The saved area is a plain heap buffer of gfx_save_area.
    free(list->saved);
    pool_free(pool, list->name);
    pool_free(pool, list);
}

// ---------------------------------------------------------------------------
// Drawing lists

// Creates the two scroll buttons the first time a list needs them. 1 when
// they are there, 0 when the pool has no room for them (the list is drawn
// without them), -1 when a pool failure took the pool away.
static int ensure_scroll_buttons(ListControl* list, int* err) {
    *err = 0;
    if (list->scroll_first && list->scroll_second) return 1;
    MemPool* pool = list->pool;
    if (!room_for(pool, 2, err)) {
        *err = 0;
        return 0;
    }
    *err = setjmp(pool->jump);
    if (*err != 0) {
        pool_lost(pool);
        return -1;
    }
    if (!list->scroll_first)
        list->scroll_first = new_button(pool, nullptr, 0, &scroll_image_first(), 0, 0, 0, nullptr, 0);
    if (!list->scroll_second)
        list->scroll_second = new_button(pool, nullptr, 0, &scroll_image_second(), 0, 0, 0, nullptr, 0);
    return 1;
}

// One row of a list box or an open list: band from left to right, 12 pixels
// from top; the selected row dark blue with white text.
static void draw_row(TextEngine* engine, ListControl* list, int i, LONG left, LONG right, LONG top,
                     LONG shift, int* err) {
    *err = 0;
    ListItem* it = list->items[i];
    int sel = i == list->selected;
    Rect band = {top, left, top + CONTROL_ROW_HEIGHT - 1, right};
    gfx_fill_rect(&band, sel ? COLOUR_DARK_BLUE : COLOUR_WHITE);
    draw_label(engine, it->label, list->style, row_text_size(list), it->label_x + shift, top + it->label_y,
               sel ? COLOUR_WHITE : COLOUR_BLACK, sel ? COLOUR_DARK_BLUE : COLOUR_WHITE, err);
}

// Rows a list box shows, from its first visible row.
static int box_last_row(const ListControl* list) {
    int last = list->first_visible + list->visible_rows - 1;
    if (last > list->item_count - 1) last = list->item_count - 1;
    return last;
}

static void draw_list_box(TextEngine* engine, ListControl* list, int* err) {
    *err = 0;
    const Rect& r = list->rect;
    int scrolls = list->total_height > list->visible_height;
    if (scrolls) {
        int got = ensure_scroll_buttons(list, err);
        if (got < 0) return;
        scrolls = got;
    }

    Rect saved = gfx.clip;
    gfx_fill_rect(&r, COLOUR_WHITE);
    if (clip_to(r)) {
        LONG top = r.top;
        for (int i = list->first_visible; i <= box_last_row(list); i++, top += CONTROL_ROW_HEIGHT) {
            if (i < 0) continue;
            draw_row(engine, list, i, r.left, r.right, top, 0, err);
            if (*err) break;
            engine = text_engine;
        }
    }
    restore_clip(saved);
    if (*err) return;

    Rect outer = r;
    if (scrolls) {
        ButtonControl* a = list->scroll_first;
        ButtonControl* b = list->scroll_second;
        move_button_to(a, r.right + 1, r.top);
        move_button_to(b, r.right + 1, r.bottom - b->image.rows);
        Rect band = {a->rect.bottom + 1, a->rect.left, b->rect.top - 1, a->rect.right};
        gfx_fill_rect(&band, COLOUR_LIGHT_GREY);
        outer.right = a->rect.right;
        button_draw(engine, a, BUTTON_NORMAL, err);
        button_draw(engine, b, BUTTON_NORMAL, err);
    }
    gfx_bevel_frame(&outer);
    list->frame = outer;
}

static const ListItem* shown_item(const ListControl* list) {
    for (int i = 0; i < list->item_count; i++)
        if (list->items[i]->selected) return list->items[i];
    return list->item_count > 0 ? list->items[0] : nullptr;
}

static void draw_drop_down_closed(TextEngine* engine, ListControl* list, int* err) {
    *err = 0;
    Rect outer = list->rect;
    if (list->arrow) outer.right = list->arrow->rect.right;
    gfx_bevel_frame(&outer);
    if (list->arrow) button_draw(engine, list->arrow, BUTTON_NORMAL, err);
    gfx_fill_rect(&list->rect, COLOUR_WHITE);
    const ListItem* it = shown_item(list);
    if (it)
        draw_label(engine, it->label, TEXT_STYLE_PAGE, control_text_size(), it->label_x,
                   list->rect.top + it->label_y, COLOUR_BLACK, COLOUR_WHITE, err);
}

// Horizontal shift of the open list that keeps it inside the clip.
static LONG open_shift(const ListControl* list, LONG* left, LONG* right) {
    *left = list->rect.left - 1;
    *right = list->arrow ? list->arrow->rect.right : list->rect.right;
    LONG shift = 0;
    if (*left < gfx.clip.left) shift = gfx.clip.left - *left;
    if (*right + shift > gfx.clip.right) shift -= *right + shift - gfx.clip.right;
    *left += shift;
    *right += shift;
    return shift;
}

// The open list: below or above the box as the opener asked; left to itself,
// below the box when it fits there, else above it when it fits there, else
// below; then moved to stay 2 pixels inside the clip. Its
// height is the rows' height, at most 19 rows, and whole rows that fit in
// the clip.
Rect list_open_frame(ListControl* list) {
    LONG left, right;
    open_shift(list, &left, &right);
    const Rect& c = gfx.clip;
    LONG room = (c.bottom - c.top + 1) - 6;  // outline and 2-pixel margins
    LONG h = list->total_height;
    if (h > CONTROL_OPEN_MAX_HEIGHT) h = CONTROL_OPEN_MAX_HEIGHT;
    if (h > room) h = room - room % CONTROL_ROW_HEIGHT;
    if (h < CONTROL_ROW_HEIGHT) h = CONTROL_ROW_HEIGHT;
    LONG top = list->rect.bottom + 3, bottom = top + h + 1;
    LONG up_bottom = list->rect.top - 3, up_top = up_bottom - h - 1;
    bool upward = list->open_direction == 0 ||
                  (list->open_direction < 0 && bottom > c.bottom - 2 && up_top >= c.top + 2);
    if (upward) {
        top = up_top;
        bottom = up_bottom;
    }
    if (top < c.top + 2) {
        bottom += c.top + 2 - top;
        top = c.top + 2;
    }
    if (bottom > c.bottom - 2) {
        top -= bottom - (c.bottom - 2);
        bottom = c.bottom - 2;
    }
    list->frame = Rect{top, left, bottom, right};
    list->open_rows = h / CONTROL_ROW_HEIGHT;
    if (list->open_rows < 1) list->open_rows = 1;
    if (list->first_visible > list->item_count - list->open_rows)
        list->first_visible = list->item_count - list->open_rows;
    if (list->first_visible < 0) list->first_visible = 0;
    return list->frame;
}

// Inner extent of the open list's rows (left of the arrow band when there is one).
static LONG open_rows_right(const ListControl* list, int scrolls) {
    LONG right = list->frame.right - 1;
    if (scrolls && list->scroll_first) right = list->scroll_first->rect.left - 1;
    return right;
}

static int open_scrolls(const ListControl* list) {
    return list->item_count > list->open_rows;
}

static void draw_drop_down_open(TextEngine* engine, ListControl* list, int* err) {
    *err = 0;
    Rect saved = gfx.clip;
    LONG left, right;
    LONG shift = open_shift(list, &left, &right);
    list_open_frame(list);
    const Rect& f = list->frame;
    int scrolls = open_scrolls(list);
    if (scrolls) {
        int got = ensure_scroll_buttons(list, err);
        if (got < 0) return;
        scrolls = got;
    }

    // Outline from the top-left corner: top, right side, bottom, left side.
    DWORD pen = gfx.pen_colour;
    gfx_set_colour(COLOUR_BLACK);
    gfx_move_to(f.left, f.top);
    gfx_line_to(f.right, f.top);
    gfx_line_to(f.right, f.bottom);
    gfx_line_to(f.left, f.bottom);
    gfx_line_to(f.left, f.top);
    gfx_set_colour(pen);

    if (scrolls) {
        ButtonControl* a = list->scroll_first;
        ButtonControl* b = list->scroll_second;
        LONG band_left = f.right - 1 - a->image.width;
        move_button_to(a, band_left, f.top + 1);
        move_button_to(b, band_left, f.bottom - 1 - b->image.rows);
    }
    Rect inner = {f.top + 1, f.left + 1, f.bottom - 1, open_rows_right(list, scrolls)};
    gfx_fill_rect(&inner, COLOUR_WHITE);
    if (clip_to(inner)) {
        LONG top = inner.top;
        int last = list->first_visible + list->open_rows - 1;
        if (last > list->item_count - 1) last = list->item_count - 1;
        for (int i = list->first_visible; i <= last; i++, top += CONTROL_ROW_HEIGHT) {
            draw_row(engine, list, i, inner.left, inner.right, top, shift, err);
            if (*err) break;
            engine = text_engine;
        }
    }
    restore_clip(saved);
    if (*err || !scrolls) return;
    ButtonControl* a = list->scroll_first;
    ButtonControl* b = list->scroll_second;
    Rect band = {f.top + 1, a->rect.left, f.bottom - 1, f.right - 1};
    gfx_fill_rect(&band, COLOUR_LIGHT_GREY);
    button_draw(engine, a, BUTTON_NORMAL, err);
    if (!*err) button_draw(text_engine, b, BUTTON_NORMAL, err);
}

// A radio button or check box: its icon, index 3 showing the background
// sampled just inside the icon's top-left, then its label.
static void draw_group_item(TextEngine* engine, ListItem* it, int* err) {
    *err = 0;
    const ControlImage& icon = it->selected ? it->icon_on : it->icon_off;
    LONG sx = it->rect.left + 3, sy = it->rect.top + 1;
    // The sample is read straight from the target: only inside the screen.
    uint16_t background = 0xFFFF;
    if (sx >= 0 && sx <= 319 && sy >= 0 && sy <= 239) background = gfx_get_pixel(sx, sy);
    if (icon.pixels) {
        for (int y = 0; y < icon.rows; y++) {
            const BYTE* row = icon.pixels + y * icon.stride;
            for (int x = 0; x < icon.width; x++) {
                if (row[x] == COLOUR_WHITE)
                    gfx_put_pixel(it->rect.left + x, it->rect.top + y, background);
                else
                    gfx_plot(it->rect.left + x, it->rect.top + y, row[x]);
            }
        }
    }
    draw_label(engine, it->label, TEXT_STYLE_PAGE, control_text_size(), it->label_x, it->label_y,
               COLOUR_BLACK, COLOUR_WHITE, err);
}

void control_draw(TextEngine* engine, ListControl* list, int* err) {
    *err = 0;
    if (!list) return;
    // The first item places a list box or drop-down: one without items has
    // no place on the screen yet, so there is nothing to draw.
    if ((list->kind == LIST_BOX || list->kind == LIST_DROP_DOWN) && list->item_count == 0) return;
    switch (list->kind) {
    case LIST_BOX:
        draw_list_box(engine, list, err);
        break;
    case LIST_DROP_DOWN:
        if (list->open)
            draw_drop_down_open(engine, list, err);
        else
            draw_drop_down_closed(engine, list, err);
        break;
    case LIST_CHECK_BOXES:
    case LIST_RADIO_BUTTONS:
        for (int i = 0; i < list->item_count; i++) {
            draw_group_item(engine, list->items[i], err);
            if (*err) break;
            engine = text_engine;
        }
        break;
    default:
        break;
    }
}

void control_draw_row(TextEngine* engine, ListControl* list, int row, int* err) {
    *err = 0;
    if (!list || row < 0 || row >= list->item_count) return;
    Rect saved = gfx.clip;
    if (list->kind == LIST_BOX) {
        if (row < list->first_visible || row > box_last_row(list)) return;
        if (clip_to(list->rect))
            draw_row(engine, list, row, list->rect.left, list->rect.right,
                     list->rect.top + (row - list->first_visible) * CONTROL_ROW_HEIGHT, 0, err);
    } else if (list->kind == LIST_DROP_DOWN && list->open) {
        if (row < list->first_visible || row >= list->first_visible + list->open_rows) return;
        LONG left, right;
        LONG shift = open_shift(list, &left, &right);
        const Rect& f = list->frame;
        Rect inner = {f.top + 1, f.left + 1, f.bottom - 1, open_rows_right(list, open_scrolls(list))};
        if (clip_to(inner))
            draw_row(engine, list, row, inner.left, inner.right,
                     inner.top + (row - list->first_visible) * CONTROL_ROW_HEIGHT, shift, err);
    }
    restore_clip(saved);
}
