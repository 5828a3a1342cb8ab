// The text entry editor on the keypad.
#include "ui/editor.h"

#include <cstring>

#include "shell/app.h"
#include "ui/keypad.h"

uint16_t* editor_saved_area;
Rect editor_saved_rect;

#define EDIT_STYLE TEXT_STYLE_FIELD
#define EDIT_SIZE 11
#define CARET_WIDTH 3
#define CARET_MAX_HEIGHT 16

// The state of one call.
struct Editor {
    TextEngine* engine;
    HWND hwnd;
    WCHAR** lines;           // working copies, from the pool
    uint16_t* caps;          // capacity of each working line (moves with it)
    int count;               // lines
    int cur;                 // current line (index into lines)
    int first_line;          // first shown line
    int caret;               // column in the current line
    int sel_start, sel_end;  // selection in the current line (equal: none)
    int first_col;           // first shown column
    int password;
    ButtonControl* caller;
    KeypadState ks;
    Rect box;
    int line_height;
    int visible;             // visible lines
    ButtonControl* arrows[4];  // up, down, left, right (text area)
    Rect vbar, hbar;
    BYTE venabled, henabled;
    BYTE caret_shown;
    LONG caret_x, caret_top, caret_height;
    uint16_t under_caret[CARET_WIDTH * CARET_MAX_HEIGHT];
    int result;
    BYTE done;
    BYTE text_dirty;
};

// ------------------------------------------------------------ measurement

// A row of asterisks for measuring and drawing password text.
static WCHAR stars[64];

static int width_of(Editor* ed, const WCHAR* s, int n) {
    if (n <= 0) return 0;
    int err = 0;
    if (!ed->password) return text_measure(ed->engine, s, (uint16_t)n, EDIT_STYLE, EDIT_SIZE, &err);
    if (!stars[0])
        for (int i = 0; i < 63; i++) stars[i] = '*';
    int w = 0;
    while (n > 0) {
        int k = n > 63 ? 63 : n;
        w += text_measure(ed->engine, stars, (uint16_t)k, EDIT_STYLE, EDIT_SIZE, &err);
        n -= k;
    }
    return w;
}

static int len_of(const WCHAR* s) { return wstr_len(s); }

static WCHAR* line(Editor* ed) { return ed->lines[ed->cur]; }

// Width of the current line from the first shown column to the caret.
static int caret_offset(Editor* ed) {
    if (ed->caret <= ed->first_col) return 0;
    return width_of(ed, line(ed) + ed->first_col, ed->caret - ed->first_col);
}

static int box_width(Editor* ed) { return ed->box.right - ed->box.left + 1; }

// --------------------------------------------------------------- drawing

static void caret_hide(Editor* ed) {
    if (!ed->caret_shown) return;
    ed->caret_shown = 0;
    for (int c = 0; c < CARET_WIDTH; c++)
        for (int r = 0; r < ed->caret_height; r++)
            gfx_put_pixel(ed->caret_x + c, ed->caret_top + r, ed->under_caret[c * CARET_MAX_HEIGHT + r]);
}

static void caret_show(Editor* ed) {
    LONG x = caret_offset(ed) + 3 + ed->box.left;
    int row = ed->cur - ed->first_line;
    if (row < 0 || row >= ed->visible) return;
    if (x < ed->box.left || x + CARET_WIDTH - 1 > ed->box.right) return;
    LONG top = ed->box.top + row * ed->line_height + 1;
    LONG h = ed->line_height - 2;
    if (h > CARET_MAX_HEIGHT) h = CARET_MAX_HEIGHT;
    ed->caret_x = x;
    ed->caret_top = top;
    ed->caret_height = h;
    for (int c = 0; c < CARET_WIDTH; c++)
        for (int r = 0; r < h; r++) ed->under_caret[c * CARET_MAX_HEIGHT + r] = gfx_get_pixel(x + c, top + r);
    // An I: a stem with serifs at both ends.
    uint16_t red = gfx_rgb565(gfx.palette[COLOUR_RED][0], gfx.palette[COLOUR_RED][1], gfx.palette[COLOUR_RED][2]);
    for (int r = 0; r < h; r++) gfx_put_pixel(x + 1, top + r, red);
    gfx_put_pixel(x, top, red);
    gfx_put_pixel(x + 2, top, red);
    gfx_put_pixel(x, top + h - 1, red);
    gfx_put_pixel(x + 2, top + h - 1, red);
    ed->caret_shown = 1;
}

static int used_lines(Editor* ed) {
    for (int i = ed->count - 1; i >= 0; i--)
        if (ed->lines[i][0]) return i + 1;
    return 0;
}

static void draw_scroll_bars(Editor* ed) {
    if (ed->count <= 1) return;
    int widest = 0;
    for (int i = 0; i < ed->count; i++) {
        int n = len_of(ed->lines[i]);
        if (n) {
            int w = width_of(ed, ed->lines[i], n);
            if (w > widest) widest = w;
        }
    }
    ed->venabled = used_lines(ed) > ed->visible || ed->first_line > 0;
    ed->henabled = widest > box_width(ed) - 3 || ed->first_col > 0;
    const Rect* bars[2] = {&ed->vbar, &ed->hbar};
    BYTE on[2] = {ed->venabled, ed->henabled};
    for (int i = 0; i < 2; i++) {
        const Rect* b = bars[i];
        gfx_fill_rect(b, on[i] ? COLOUR_LIGHT_GREY : COLOUR_WHITE);
        gfx.pen_colour = on[i] ? COLOUR_BLACK : COLOUR_MID_GREY;
        gfx_move_to(b->left, b->top);
        gfx_line_to(b->right, b->top);
        gfx_line_to(b->right, b->bottom);
        gfx_line_to(b->left, b->bottom);
        gfx_line_to(b->left, b->top);
    }
    for (int i = 0; i < 4; i++) {
        if (!ed->arrows[i]) continue;
        int err = 0;
        button_draw(ed->engine, ed->arrows[i], (i < 2 ? ed->venabled : ed->henabled) ? BUTTON_NORMAL
                                                                                      : BUTTON_HIGHLIGHTED,
                    &err);
    }
}

static void draw_text(Editor* ed) {
    gfx_fill_rect(&ed->box, COLOUR_WHITE);
    // Text stays inside the box: clear of the scroll bars and the caller's
    // element.
    Rect clip = gfx.clip;
    gfx_set_clip(ed->box.top, ed->box.left, ed->box.bottom, ed->box.right);
    text_sample_background = 0;
    int rows = ed->count == 1 ? 1 : ed->visible;
    for (int k = 0; k < rows; k++) {
        int li = ed->first_line + k;
        if (li >= ed->count) break;
        const WCHAR* s = ed->lines[li];
        int n = len_of(s);
        LONG top = ed->box.top + k * ed->line_height;
        BYTE background = COLOUR_WHITE;
        if (ed->count == 1 && ed->sel_end > ed->sel_start) {
            // The whole text is selected at entry: a dark band behind it.
            int w = n > ed->first_col ? width_of(ed, s + ed->first_col, n - ed->first_col) : 0;
            Rect band = {ed->box.top + 1, ed->box.left + 1, ed->box.bottom - 1, ed->box.left + w + 12};
            if (band.right > ed->box.right) band.right = ed->box.right;
            gfx_fill_rect(&band, COLOUR_DARK_GREY);
            background = COLOUR_DARK_GREY;
        }
        if (n <= ed->first_col) continue;
        text_set_colours_by_index(ed->engine, COLOUR_BLACK, background);
        if (!ui_pool_alive(ed->engine)) break;  // the lines went with the pool
        int err = 0;
        LONG x = ed->box.left + 4, y = top + ed->line_height - 4;
        int shown = n - ed->first_col;
        if (ed->password) {
            if (!stars[0])
                for (int i = 0; i < 63; i++) stars[i] = '*';
            for (int done = 0; done < shown && x <= ed->box.right; done += 63) {
                int kk = shown - done > 63 ? 63 : shown - done;
                text_draw(ed->engine, stars, (uint16_t)kk, EDIT_STYLE, EDIT_SIZE, x, y, &err);
                x += text_measure(ed->engine, stars, (uint16_t)kk, EDIT_STYLE, EDIT_SIZE, &err);
            }
        } else {
            if (shown > 0xFFFF) shown = 0xFFFF;
            text_draw(ed->engine, s + ed->first_col, (uint16_t)shown, EDIT_STYLE, EDIT_SIZE, x, y, &err);
        }
    }
    text_sample_background = 1;
    gfx.clip = clip;
    if (ui_pool_alive(ed->engine)) draw_scroll_bars(ed);
}

// Redraws what changed: the text (and bars) when dirty, then the caret.
static void refresh(Editor* ed) {
    gfx.frame = (char*)GXBeginDraw();
    if (!gfx.frame) return;
    Rect clip = gfx.clip;
    gfx_set_clip(ed->box.top, ed->box.left, ed->box.bottom, ed->box.right);
    if (ed->text_dirty) {
        ed->caret_shown = 0;  // drawn over
        gfx_set_clip(0, 0, 239, 319);
        draw_text(ed);
        gfx_set_clip(ed->box.top, ed->box.left, ed->box.bottom, ed->box.right);
        ed->text_dirty = 0;
    } else {
        caret_hide(ed);
    }
    if (ui_pool_alive(ed->engine)) caret_show(ed);
    gfx.clip = clip;
    GXEndDraw();
}

// ----------------------------------------------------------------- editing

static void collapse(Editor* ed) { ed->sel_start = ed->sel_end = ed->caret; }

static void delete_selection(Editor* ed) {
    WCHAR* s = line(ed);
    int n = len_of(s);
    int a = ed->sel_start, b = ed->sel_end;
    if (b > n) b = n;
    if (a >= b) {
        collapse(ed);
        return;
    }
    memmove(s + a, s + b, (size_t)(n - b + 1) * sizeof(WCHAR));
    ed->caret = a;
    if (ed->first_col > a) ed->first_col = a;
    collapse(ed);
    ed->text_dirty = 1;
}

static int has_selection(Editor* ed) { return ed->sel_end > ed->sel_start; }

// Scrolls the view until the caret is visible: lines first, then columns.
static void show_caret(Editor* ed) {
    while (ed->cur < ed->first_line) {
        ed->first_line--;
        ed->text_dirty = 1;
    }
    while (ed->cur >= ed->first_line + ed->visible) {
        ed->first_line++;
        ed->text_dirty = 1;
    }
    while (ed->caret < ed->first_col) {
        ed->first_col--;
        ed->text_dirty = 1;
    }
    while (ed->first_col < ed->caret && caret_offset(ed) + 3 + CARET_WIDTH > box_width(ed)) {
        ed->first_col++;
        ed->text_dirty = 1;
    }
}

// Moves the first shown column on while the text before the caret is wider
// than the box less margin.
static void advance_view(Editor* ed, int margin) {
    while (ed->first_col < ed->caret && caret_offset(ed) > box_width(ed) - margin) {
        ed->first_col++;
        ed->text_dirty = 1;
    }
}

static void insert_char(Editor* ed, WCHAR c) {
    if (has_selection(ed)) delete_selection(ed);
    WCHAR* s = line(ed);
    int n = len_of(s);
    if (n < ed->caps[ed->cur] - 1) {
        memmove(s + ed->caret + 1, s + ed->caret, (size_t)(n - ed->caret + 1) * sizeof(WCHAR));
        s[ed->caret] = c;
        ed->caret++;
        collapse(ed);
        advance_view(ed, 25);
        ed->text_dirty = 1;
    }
}

static void backspace(Editor* ed) {
    if (has_selection(ed)) {
        delete_selection(ed);
        return;
    }
    WCHAR* s = line(ed);
    if (ed->caret > 0) {
        int n = len_of(s);
        memmove(s + ed->caret - 1, s + ed->caret, (size_t)(n - ed->caret + 1) * sizeof(WCHAR));
        ed->caret--;
        if (ed->caret < ed->first_col) ed->first_col = ed->caret;
        collapse(ed);
        ed->text_dirty = 1;
        return;
    }
    if (ed->count == 1 || ed->cur == 0) return;
    // Join this line onto the previous one when both fit there.
    WCHAR* prev = ed->lines[ed->cur - 1];
    int pn = len_of(prev), n = len_of(s);
    if (pn + n >= ed->caps[ed->cur - 1]) return;
    memcpy(prev + pn, s, (size_t)(n + 1) * sizeof(WCHAR));
    WCHAR* freed = s;
    uint16_t freed_cap = ed->caps[ed->cur];
    for (int i = ed->cur; i < ed->count - 1; i++) {
        ed->lines[i] = ed->lines[i + 1];
        ed->caps[i] = ed->caps[i + 1];
    }
    freed[0] = 0;
    ed->lines[ed->count - 1] = freed;
    ed->caps[ed->count - 1] = freed_cap;
    ed->cur--;
    ed->caret = pn;
    collapse(ed);
    if (ed->cur < ed->first_line) ed->first_line = ed->cur;
    advance_view(ed, 47);
    ed->text_dirty = 1;
}

static void split_line(Editor* ed) {
    if (ed->cur >= ed->count - 1) return;  // the last line takes no Enter
    int last = ed->count - 1;
    // The last line's buffer becomes the new line. It must be empty: a line
    // pushed off the end would lose its text.
    if (ed->lines[last][0]) return;
    WCHAR* s = line(ed);
    int n = len_of(s);
    int tail = n - ed->caret;
    if (tail >= ed->caps[last]) return;  // the rest would not fit the new line
    WCHAR* fresh = ed->lines[last];
    uint16_t fresh_cap = ed->caps[last];
    for (int i = last; i > ed->cur + 1; i--) {
        ed->lines[i] = ed->lines[i - 1];
        ed->caps[i] = ed->caps[i - 1];
    }
    memcpy(fresh, s + ed->caret, (size_t)tail * sizeof(WCHAR));
    fresh[tail] = 0;
    s[ed->caret] = 0;
    ed->lines[ed->cur + 1] = fresh;
    ed->caps[ed->cur + 1] = fresh_cap;
    ed->cur++;
    ed->caret = 0;
    ed->first_col = 0;
    collapse(ed);
    if (ed->cur >= ed->first_line + ed->visible) ed->first_line++;
    ed->text_dirty = 1;
}

static void move_vertical(Editor* ed, int step) {
    int to = ed->cur + step;
    if (ed->count == 1 || to < 0 || to >= ed->count) return;
    ed->cur = to;
    if (ed->cur < ed->first_line) {
        ed->first_line = ed->cur;
        ed->text_dirty = 1;
    } else if (ed->cur >= ed->first_line + ed->visible) {
        ed->first_line++;
        ed->text_dirty = 1;
    }
    int n = len_of(line(ed));
    if (ed->caret > n) ed->caret = n;
    collapse(ed);
    if (ed->caret < ed->first_col) {
        while (ed->first_col > 0 && caret_offset(ed) < box_width(ed) - 47) ed->first_col--;
        if (ed->caret < ed->first_col) ed->first_col = ed->caret;
        ed->text_dirty = 1;
    }
}

// A tap inside the box: choose line and column from the point.
static void tap_text(Editor* ed, const Point* p) {
    if (ed->count > 1) {
        int row = (p->y - ed->box.top) / ed->line_height;
        if (row < ed->visible && ed->first_line + row < ed->count) ed->cur = ed->first_line + row;
    }
    const WCHAR* s = line(ed);
    int n = len_of(s);
    int col = ed->first_col;
    while (col < n && width_of(ed, s + ed->first_col, col + 1 - ed->first_col) <= p->x - ed->box.left - 4) col++;
    ed->caret = col;
    if (ed->count == 1 && has_selection(ed)) ed->text_dirty = 1;  // the band goes
    collapse(ed);
    if (ed->caret < ed->first_col) {
        ed->first_col = ed->caret;
        ed->text_dirty = 1;
    }
}

static void press_arrow(Editor* ed, int i) {
    ButtonControl* b = ed->arrows[i];
    int err = 0;
    gfx.frame = (char*)GXBeginDraw();
    if (gfx.frame) {
        button_draw(ed->engine, b, BUTTON_PRESSED, &err);
        GXEndDraw();
    }
    switch (i) {
    case 0:
        if (ed->venabled && ed->first_line > 0) ed->first_line--, ed->text_dirty = 1;
        break;
    case 1:
        if (ed->venabled && ed->first_line < ed->count - ed->visible) ed->first_line++, ed->text_dirty = 1;
        break;
    case 2:
        if (ed->henabled && ed->first_col > 0) ed->first_col--, ed->text_dirty = 1;
        break;
    case 3:
        if (ed->henabled && ed->first_col < ed->caps[ed->cur]) ed->first_col++, ed->text_dirty = 1;
        break;
    }
    ed->text_dirty = 1;  // the arrow is drawn released with the bars
}

static void tap(Editor* ed, const Point* p, int* tapped) {
    if (p->x < 0) return;  // a release off the pressed key
    if (rect_contains(p, &ed->box)) {
        tap_text(ed, p);
        return;
    }
    for (int i = 0; i < 4; i++)
        if (ed->arrows[i] && rect_contains(p, &ed->arrows[i]->rect)) {
            press_arrow(ed, i);
            return;
        }
    if (ed->caller && rect_contains(p, &ed->caller->rect)) {
        ed->result = EDIT_CANCELLED;
        *tapped = 1;
        ed->done = 1;
    }
}

static int toolbar_result(int code) {
    switch (code) {
    case KEY_TOOL_EXIT: return EDIT_EXIT;
    case KEY_TOOL_BACK: return EDIT_BACK;
    case KEY_TOOL_STOP: return EDIT_STOP;
    case KEY_TOOL_FORWARD: return EDIT_FORWARD;
    case KEY_TOOL_RELOAD: return EDIT_RELOAD;
    case KEY_TOOL_ZOOM: return EDIT_ZOOM;
    default: return EDIT_OPTIONS;
    }
}

static void key(Editor* ed, int code, const Point* p, int* tapped, int* err) {
    switch (code) {
    case KEY_NONE: tap(ed, p, tapped); return;
    case KEY_BACKSPACE: show_caret(ed); backspace(ed); return;
    case KEY_ENTER:
        if (ed->count == 1) {
            ed->result = EDIT_ACCEPTED;
            ed->done = 1;
            keypad_flash(ed->engine, &keypad_layers[ed->ks.layer], KEY_ACCEPT);
        } else {
            show_caret(ed);
            split_line(ed);
        }
        return;
    case KEY_LEFT:
        show_caret(ed);
        if (ed->caret > 0) {
            ed->caret--;
            if (ed->caret < ed->first_col) ed->first_col = ed->caret, ed->text_dirty = 1;
        }
        if (has_selection(ed)) ed->text_dirty = 1;
        collapse(ed);
        return;
    case KEY_RIGHT:
        show_caret(ed);
        if (ed->caret < len_of(line(ed))) {
            ed->caret++;
            advance_view(ed, 25);
        }
        if (has_selection(ed)) ed->text_dirty = 1;
        collapse(ed);
        return;
    case KEY_UP: show_caret(ed); move_vertical(ed, -1); return;
    case KEY_DOWN: show_caret(ed); move_vertical(ed, 1); return;
    case KEY_NUMBERS:
    case KEY_CAPS:
    case KEY_SHIFT:
    case KEY_ACCENT: keypad_switch(ed->engine, &ed->ks, code, err); return;
    case KEY_CTL:
    case KEY_TAB: return;
    case KEY_ACCEPT: ed->result = EDIT_ACCEPTED; ed->done = 1; return;
    case KEY_ESC: ed->result = EDIT_CANCELLED; ed->done = 1; return;
    default: break;
    }
    if (code >= KEY_TOOL_EXIT && code <= KEY_TOOL_OPTIONS) {
        ed->result = toolbar_result(code);
        ed->done = 1;
        return;
    }
    show_caret(ed);
    insert_char(ed, (WCHAR)code);
    keypad_after_character(ed->engine, &ed->ks, err);
}

// ---------------------------------------------------- arrows of the area

static BYTE arrow_pixels[4][81];
static ControlImage arrow_images[4];

// 9 x 9 arrows: a small black triangle on light blue, up, down, left, right.
static void make_arrows() {
    if (arrow_images[0].pixels) return;
    for (int a = 0; a < 4; a++) {
        for (int i = 0; i < 81; i++) arrow_pixels[a][i] = COLOUR_LIGHT_BLUE;
        for (int k = 0; k < 3; k++) {       // rows (or columns) 3..5, widths 1, 3, 5
            int half = k;
            for (int d = -half; d <= half; d++) {
                int along = 3 + k, across = 4 + d;
                int r = 0, c = 0;
                switch (a) {
                case 0: r = along; c = across; break;          // up: narrow end on top
                case 1: r = 8 - along; c = across; break;      // down
                case 2: r = across; c = along; break;          // left
                case 3: r = across; c = 8 - along; break;      // right
                }
                arrow_pixels[a][r * 9 + c] = COLOUR_BLACK;
            }
        }
        arrow_images[a] = {9, 9, 9, 1, arrow_pixels[a]};
    }
}

// -------------------------------------------------------------- the entry

// The pool failed: it is gone with every block, and the text resources too.
static void pool_lost(MemPool* pool) { text_pool_lost(pool); }

static void free_lines(Editor* ed, MemPool* pool, int* err) {
    if (!ed->lines || !pool) return;
    int e = setjmp(pool->jump);
    if (e) {
        *err = e;
        pool_lost(pool);
        return;
    }
    for (int i = 0; i < ed->count; i++) pool_free(pool, ed->lines[i]);
    pool_free(pool, ed->lines);
    pool_free(pool, ed->caps);
}

// Working copies in the pool (a guarded entry): 1 on success.
static int copy_lines(Editor* ed, WCHAR** src, const uint16_t* caps, int* err) {
    MemPool* pool = ed->engine ? ed->engine->pool : nullptr;
    if (!pool) {
        *err = ERR_NO_POOL;
        return 0;
    }
    *err = setjmp(pool->jump);
    if (*err) {
        pool_lost(pool);
        ed->lines = nullptr;
        return 0;
    }
    ed->lines = (WCHAR**)pool_alloc(pool, (uint32_t)(ed->count * sizeof(WCHAR*)));
    for (int i = 0; i < ed->count; i++) ed->lines[i] = nullptr;
    ed->caps = (uint16_t*)pool_alloc(pool, (uint32_t)(ed->count * sizeof(uint16_t)));
    for (int i = 0; i < ed->count; i++) {
        uint16_t cap = caps[i] ? caps[i] : 1;
        ed->caps[i] = cap;
        ed->lines[i] = (WCHAR*)pool_alloc(pool, (uint32_t)cap * 2);
        int n = src[i] ? len_of(src[i]) : 0;
        if (n > cap - 1) n = cap - 1;
        if (n) memcpy(ed->lines[i], src[i], (size_t)n * sizeof(WCHAR));
        ed->lines[i][n] = 0;
    }
    return 1;
}

static ButtonControl* make_arrow(Editor* ed, int i, LONG left, LONG top, int* err) {
    ButtonControl* b = button_create(ed->engine, nullptr, &arrow_images[i], left, top, (uint32_t)i, nullptr, 0, err);
    return *err ? nullptr : b;
}

int text_entry(HWND hwnd, TextEngine* engine, WCHAR** lines, const uint16_t* capacities, int caret,
               int line_count, ButtonControl* caller, int* tapped, int password, int* err) {
    *err = 0;
    *tapped = 0;
    if (line_count < 1 || !engine) return EDIT_CANCELLED;
    int saved_zoom = zoom_mode;
    zoom_mode = 0;
    BYTE saved_colour[3] = {text_colour[0], text_colour[1], text_colour[2]};
    text_colour[0] = text_colour[1] = text_colour[2] = 0;
    Rect saved_clip = gfx.clip;
    gfx_set_clip(0, 0, 239, 319);

    static Editor ed;  // one modal call at a time; too large for a small stack
    memset(&ed, 0, sizeof ed);
    ed.engine = engine;
    ed.hwnd = hwnd;
    ed.count = line_count;
    ed.password = password;
    ed.caller = caller;
    if (!copy_lines(&ed, lines, capacities, err)) {
        zoom_mode = saved_zoom;
        memcpy(text_colour, saved_colour, 3);
        gfx.clip = saved_clip;
        return EDIT_ACCEPTED;  // nothing drawn, nothing copied back
    }
    int n0 = len_of(ed.lines[0]);
    ed.caret = caret < 0 || caret > n0 ? n0 : caret;
    if (line_count == 1) {
        ed.sel_start = 0;
        ed.sel_end = ed.caret;
    } else {
        collapse(&ed);
    }

    // Keypad afresh: lower case, no latches.
    ed.ks.layer = keypad_choose_layer(0, 0, 0);
    ed.ks.return_layer = ed.ks.layer;
    ed.ks.one_line = line_count == 1;
    ed.ks.toolbar = caller != nullptr;
    KeypadLayer* layer = &keypad_layers[ed.ks.layer];
    keypad_build(engine, layer, ed.ks.one_line, ed.ks.toolbar, err);
    ButtonControl* ok = keypad_accept_key(layer);
    Rect accept = ok ? ok->rect : Rect{ed.ks.one_line ? 108 : 0, 280, ed.ks.one_line ? 124 : 16, 319};

    LONG right = 319;
    if (caller) {
        LONG w = caller->rect.right - caller->rect.left, h = caller->rect.bottom - caller->rect.top;
        caller->rect.left = 319 - w;
        caller->rect.right = 319;
        caller->rect.top = accept.bottom + 2;
        caller->rect.bottom = caller->rect.top + h;
        right = caller->rect.left - 1;
    }
    make_arrows();
    if (line_count == 1) {
        ed.line_height = accept.bottom - accept.top - 1;
        ed.box = {139 - ed.line_height + 1, 0, 139, right};
        ed.visible = 1;
    } else {
        ed.line_height = 14;
        ed.box = {accept.bottom + 1, 0, 139 - 9, right - 10};
        ed.visible = (ed.box.bottom - ed.box.top + 1) / 14;
        ed.vbar = {ed.box.top, ed.box.right + 1, ed.box.bottom, ed.box.right + 10};
        ed.hbar = {ed.box.bottom + 1, ed.box.left, ed.box.bottom + 9, ed.box.right};
        int e = ui_pool_alive(engine) ? 0 : ERR_NO_MEMORY;
        if (!e) ed.arrows[0] = make_arrow(&ed, 0, ed.vbar.left, ed.vbar.top, &e);
        if (!e) ed.arrows[1] = make_arrow(&ed, 1, ed.vbar.left, ed.vbar.bottom - 8, &e);
        if (!e) ed.arrows[2] = make_arrow(&ed, 2, ed.hbar.left, ed.hbar.top, &e);
        if (!e) ed.arrows[3] = make_arrow(&ed, 3, ed.hbar.right - 8, ed.hbar.top, &e);
        if (e) *err = e;
    }
    bool lost = !ui_pool_alive(engine);
    if (!lost && ed.caret > 0 && caret_offset(&ed) > box_width(&ed) - 25) ed.caret = 0;
    if (line_count > 1) collapse(&ed);

    gfx.frame = (char*)GXBeginDraw();
    if (gfx.frame) {
        if (!editor_saved_area) {
            editor_saved_rect = {accept.top, 0, 239, 319};
            gfx_save_area(&editor_saved_area, &editor_saved_rect);
            keypad_draw(engine, layer);
        }
        if (caller && !lost) {
            int e = 0;
            button_draw(engine, caller, BUTTON_NORMAL, &e);
        }
        GXEndDraw();
    }
    ed.text_dirty = 1;

    lost = !ui_pool_alive(engine);
    while (!ed.done && !lost) {
        refresh(&ed);
        if (!ui_pool_alive(engine)) {
            lost = true;
            break;
        }
        Point p;
        int code = keypad_wait(hwnd, engine, &keypad_layers[ed.ks.layer], &p);
        // A key drawn pressed may have lost the pool, the working lines
        // with it: nothing more is done with them.
        if (!ui_pool_alive(engine)) {
            lost = true;
            break;
        }
        key(&ed, code, &p, tapped, err);
        lost = !ui_pool_alive(engine);
    }
    if (lost) {
        // The pool failed while the keypad was rebuilt: the working lines
        // and the buttons went with it. Put the screen back, keep the
        // caller's text, and report the pool's error.
        ed.result = EDIT_CANCELLED;
        *tapped = 0;
        if (!*err) *err = ERR_NO_MEMORY;
    }

    // Exit: caret off, buttons freed, the screen put back unless the caller
    // keeps the keypad up.
    gfx.frame = (char*)GXBeginDraw();
    if (gfx.frame) {
        caret_hide(&ed);
        GXEndDraw();
    }
    for (int i = 0; i < 4 && !lost; i++)
        if (ed.arrows[i]) {
            int e = 0;
            button_destroy(ed.arrows[i], &e);
        }
    keypad_free(&keypad_layers[ed.ks.layer]);
    if (!*tapped && editor_saved_area) {
        gfx.frame = (char*)GXBeginDraw();
        if (gfx.frame) {
            gfx_restore_area(&editor_saved_area, &editor_saved_rect);
            GXEndDraw();
        } else {
            free(editor_saved_area);
        }
        editor_saved_area = nullptr;
    }
    if (ed.result == EDIT_ACCEPTED && !lost) {
        for (int i = 0; i < line_count; i++) {
            if (!lines[i] || !capacities[i]) continue;
            int n = len_of(ed.lines[i]);
            if (n > capacities[i] - 1) n = capacities[i] - 1;
            memcpy(lines[i], ed.lines[i], (size_t)n * sizeof(WCHAR));
            lines[i][n] = 0;
        }
    }
    if (!lost) free_lines(&ed, engine->pool, err);
    gfx.clip = saved_clip;
    zoom_mode = saved_zoom;
    memcpy(text_colour, saved_colour, 3);
    return ed.result;
}
