// Frames, scroll bars, and the drawing tags BC FC SZ FR CR DL DS SW sw SH SV.
#include "page/frames.h"

#include <stdlib.h>
#include <string.h>

#include "gfx/controls.h"
#include "gfx/text.h"
#include "page/formtags.h"
#include "page/page.h"
#include "page/parser.h"
#include "page/rewrite.h"
#include "page/scan.h"

PageFrame* page_frames;
ScrollBar* page_scrollbars;

// Arrow images of the scroll bars: palette indices, 2 light blue, 0 black.
static const BYTE LEFT_ARROW[8][9] = {
    {2, 2, 2, 2, 2, 2, 2, 2, 2},
    {2, 2, 2, 2, 2, 2, 2, 2, 2},
    {2, 2, 2, 2, 0, 2, 2, 2, 2},
    {2, 2, 2, 0, 0, 2, 2, 2, 2},
    {2, 2, 2, 0, 0, 2, 2, 2, 2},
    {2, 2, 2, 2, 0, 2, 2, 2, 2},
    {2, 2, 2, 2, 2, 2, 2, 2, 2},
    {2, 2, 2, 2, 2, 2, 2, 2, 2},
};
static const BYTE RIGHT_ARROW[8][9] = {
    {2, 2, 2, 2, 2, 2, 2, 2, 2},
    {2, 2, 2, 2, 2, 2, 2, 2, 2},
    {2, 2, 2, 2, 0, 2, 2, 2, 2},
    {2, 2, 2, 2, 0, 0, 2, 2, 2},
    {2, 2, 2, 2, 0, 0, 2, 2, 2},
    {2, 2, 2, 2, 0, 2, 2, 2, 2},
    {2, 2, 2, 2, 2, 2, 2, 2, 2},
    {2, 2, 2, 2, 2, 2, 2, 2, 2},
};
static const BYTE UP_ARROW[8][8] = {
    {2, 2, 2, 2, 2, 2, 2, 2},
    {2, 2, 2, 2, 2, 2, 2, 2},
    {2, 2, 2, 0, 0, 2, 2, 2},
    {2, 2, 0, 0, 0, 0, 2, 2},
    {2, 2, 2, 2, 2, 2, 2, 2},
    {2, 2, 2, 2, 2, 2, 2, 2},
    {2, 2, 2, 2, 2, 2, 2, 2},
    {2, 2, 2, 2, 2, 2, 2, 2},
};
static const BYTE DOWN_ARROW[8][8] = {
    {2, 2, 2, 2, 2, 2, 2, 2},
    {2, 2, 2, 2, 2, 2, 2, 2},
    {2, 2, 2, 2, 2, 2, 2, 2},
    {2, 2, 2, 2, 2, 2, 2, 2},
    {2, 2, 0, 0, 0, 0, 2, 2},
    {2, 2, 2, 0, 0, 2, 2, 2},
    {2, 2, 2, 2, 2, 2, 2, 2},
    {2, 2, 2, 2, 2, 2, 2, 2},
};
static const ControlImage ARROW_LEFT = {9, 8, 9, 1, &LEFT_ARROW[0][0]};
static const ControlImage ARROW_RIGHT = {9, 8, 9, 1, &RIGHT_ARROW[0][0]};
static const ControlImage ARROW_UP = {8, 8, 8, 1, &UP_ARROW[0][0]};
static const ControlImage ARROW_DOWN = {8, 8, 8, 1, &DOWN_ARROW[0][0]};

static DWORD colour24(const BYTE c[3]) { return c[0] | (c[1] << 8) | ((DWORD)c[2] << 16); }

// ---- frames ----

DWORD frame_number(LONG x, LONG y, LONG w, LONG h) {
    DWORD n = ((DWORD)y | ((DWORD)x << 16)) ^ ((DWORD)h | ((DWORD)w << 16));
    if (n == 0x028001E0) return 3;  // the 640 by 480 page
    if (n == 0x01E00168) return 4;  // a 480 by 360 frame
    return n;
}

PageFrame* frame_find(DWORD f) {
    for (PageFrame* p = page_frames; p; p = p->next)
        if (p->number == f) return p;
    return nullptr;
}

int frame_select_clip(DWORD f) {
    PageFrame* p = frame_find(f);
    if (!p) {
        gfx_set_clip(0, 0, 239, 319);
        return 0;
    }
    Rect r = p->rect;
    // The frame's scroll bars stand inside its area: content stops short of them.
    int seen = 0;
    for (ScrollBar* b = page_scrollbars; b && seen < 2; b = b->next) {
        if (b->frame != f) continue;
        seen++;
        if (b->kind == 'V') r.right = b->rect.left - 1;
        else if (b->kind == 'H') r.bottom = b->rect.top - 1;
    }
    gfx_set_clip(r.top, r.left, r.bottom, r.right);
    return 1;
}

void frames_free() {
    while (page_frames) {
        PageFrame* next = page_frames->next;
        free(page_frames->saved);
        free(page_frames);
        page_frames = next;
    }
}

// ---- scroll bars ----

// The pool the bars' buttons were made in. A pool failure anywhere destroys
// the main pool with every button in it: the bars then keep no buttons (they
// are drawn as their bands alone), and the lost ones are never read or freed.
static MemPool* bars_pool;

void scrollbars_check_pool() {
    if (!bars_pool || bars_pool == text_pool) return;
    for (ScrollBar* b = page_scrollbars; b; b = b->next) b->first = b->second = b->thumb = nullptr;
    bars_pool = nullptr;
    page_controls_generation++;
}

static void bar_destroy(ScrollBar* b) {
    int err = 0;
    if (b->first) button_destroy(b->first, &err);
    if (b->second) button_destroy(b->second, &err);
    if (b->thumb) button_destroy(b->thumb, &err);
    free(b);
}

void scrollbars_free() {
    scrollbars_check_pool();
    page_controls_generation++;
    while (page_scrollbars) {
        ScrollBar* next = page_scrollbars->next;
        bar_destroy(page_scrollbars);
        page_scrollbars = next;
    }
}

void frame_scrollbars_remove(DWORD f) {
    scrollbars_check_pool();
    page_controls_generation++;
    ScrollBar* b = page_scrollbars;
    while (b) {
        ScrollBar* next = b->next;
        if (b->frame == f) {
            if (b->prev) b->prev->next = b->next;
            else page_scrollbars = b->next;
            if (b->next) b->next->prev = b->prev;
            bar_destroy(b);
        }
        b = next;
    }
}

// Places the thumb between the arrows for the bar's current position; the
// position is rescaled at every drawing so a zoom change needs no new tags.
static void thumb_place(ScrollBar* b) {
    if (!b->thumb) return;
    Rect& t = b->thumb->rect;
    if (b->kind == 'H') t = {b->rect.top, page_scale((LONG)b->position), b->rect.bottom, page_scale((LONG)b->end)};
    else t = {page_scale((LONG)b->position), b->rect.left, page_scale((LONG)b->end), b->rect.right};
}

void scrollbars_draw() {
    scrollbars_check_pool();
    if (!page_scrollbars) return;
    gfx_set_clip(0, 0, 239, 319);
    int err = 0;
    for (ScrollBar* b = page_scrollbars; b; b = b->next) {
        gfx_fill_rect(&b->rect, COLOUR_PALE_BLUE);
        thumb_place(b);
        if (b->thumb) button_draw(text_engine, b->thumb, 0, &err);
        if (b->first) button_draw(text_engine, b->first, 0, &err);
        if (b->second) button_draw(text_engine, b->second, 0, &err);
    }
}

void frames_tag_scrollbar(int kind) {
    unsigned f = 0;
    int x = 0, y = 0, w = 0, h = 0, pos = 0, len = 0;
    char fmt[] = "<SH %x %x %x %x %x %x %x>";
    fmt[2] = (char)kind;
    page_scan(parser.tag, fmt, &f, (unsigned*)&x, (unsigned*)&y, (unsigned*)&w, (unsigned*)&h, (unsigned*)&pos,
           (unsigned*)&len);
    Rect r;
    if (kind == 'H') {
        if (h != 0x11) return;
        r = {page_scale(y), page_scale(x) - 9, page_scale(y) + 8, page_scale(x) + 9 + page_scale(w)};
    } else {
        if (w != 0x11) return;
        r = {page_scale(y) - 8, page_scale(x), page_scale((int64_t)y + h) + 8, page_scale(x) + 8};
    }
    DWORD end = (DWORD)page_sum(pos, (int64_t)len - 1);
    // The same bar again (image and redraw passes, or a scroll): only the thumb moves.
    ScrollBar* last = nullptr;
    for (ScrollBar* b = page_scrollbars; b; b = b->next) {
        last = b;
        if (b->kind == (DWORD)kind && memcmp(&b->rect, &r, sizeof r) == 0) {
            b->position = (DWORD)pos;
            b->end = end;
            return;
        }
    }
    ScrollBar* b = (ScrollBar*)calloc(1, sizeof(ScrollBar));
    if (!b) return;  // out of memory: the page has no such bar
    b->rect = r;
    b->frame = f;
    b->kind = (DWORD)kind;
    b->position = (DWORD)pos;
    b->end = end;
    int err = 0;
    scrollbars_check_pool();
    if (text_pool) bars_pool = text_pool;
    LONG spos = page_scale(pos), send = page_scale((LONG)end);
    if (kind == 'H') {
        b->first = button_create(text_engine, nullptr, &ARROW_LEFT, r.left, r.top, 0, nullptr, -1, &err);
        b->second = button_create(text_engine, nullptr, &ARROW_RIGHT, r.right - 9, r.top, 0, nullptr, -1, &err);
        b->thumb = button_create(text_engine, nullptr, nullptr, spos, r.top, 0, nullptr, -1, &err);
        if (b->thumb) {
            b->thumb->rect.right = b->thumb->rect.left + (send - spos) - 1;
            b->thumb->rect.bottom = r.top + 8 - 1;
        }
    } else {
        b->first = button_create(text_engine, nullptr, &ARROW_UP, r.left, r.top, 0, nullptr, -1, &err);
        b->second = button_create(text_engine, nullptr, &ARROW_DOWN, r.left, r.bottom - 8, 0, nullptr, -1, &err);
        b->thumb = button_create(text_engine, nullptr, nullptr, r.left, spos, 0, nullptr, -1, &err);
        if (b->thumb) {
            b->thumb->rect.right = r.left + 8 - 1;
            b->thumb->rect.bottom = b->thumb->rect.top + (send - spos) - 1;
        }
    }
    b->prev = last;
    if (last) last->next = b;
    else page_scrollbars = b;
    // A failure while its buttons were made took the earlier ones with it.
    scrollbars_check_pool();
    parser.drawn = 1;
}

// ---- colours and size ----

void frames_tag_bc() {
    unsigned r = parser.background[0], g = parser.background[1], b = parser.background[2];
    page_scan(parser.tag, "<BC %x %x %x>", &r, &g, &b);
    parser.background[0] = (BYTE)r;
    parser.background[1] = (BYTE)g;
    parser.background[2] = (BYTE)b;
}

void frames_tag_fc() {
    unsigned r = text_colour[0], g = text_colour[1], b = text_colour[2];
    page_scan(parser.tag, "<FC %x %x %x>", &r, &g, &b);
    text_colour[0] = (BYTE)r;
    text_colour[1] = (BYTE)g;
    text_colour[2] = (BYTE)b;
}

void frames_tag_sz() {
    unsigned s = (unsigned)parser.text_size;
    page_scan(parser.tag, "<SZ %x>", &s);
    parser.text_size = (LONG)s;
}

// ---- frames and shapes ----

void frames_tag_fr() {
    int x = 0, y = 0, w = 0, h = 0;
    page_scan(parser.tag, "<FR %x %x %x %x>", (unsigned*)&x, (unsigned*)&y, (unsigned*)&w, (unsigned*)&h);
    Rect r = {page_scale(y), page_scale(x), page_scale((int64_t)y + h - 2), page_scale((int64_t)x + w - 2)};
    if (r.top < 0) r.top = 0;
    if (r.left < 0) r.left = 0;
    if (r.bottom > 239) r.bottom = 239;
    if (r.right > 319) r.right = 319;
    DWORD n = frame_number(x, y, w, h);
    PageFrame* p = frame_find(n);
    if (p) {
        // Declared again: its controls are rebuilt by the tags that follow.
        frame_controls_remove(n);
    } else {
        p = (PageFrame*)calloc(1, sizeof(PageFrame));
        if (p) {  // out of memory: tags of this frame draw unclipped
            p->number = n;
            p->rect = r;
            PageFrame** tail = &page_frames;
            while (*tail) tail = &(*tail)->next;
            *tail = p;
        }
    }
    frame_scrollbars_remove(n);
}

void frames_tag_cr() {
    unsigned f = 0;
    int x = 0, y = 0, w = 0, h = 0;
    page_scan(parser.tag, "<CR %x %x %x %x %x>", &f, (unsigned*)&x, (unsigned*)&y, (unsigned*)&w, (unsigned*)&h);
    parser.work_left = page_scale(x);
    parser.work_top = page_scale(y);
    parser.work_right = page_scale((int64_t)x + w);
    parser.work_bottom = page_scale((int64_t)y + h);
    if (parser.work_bottom == parser.work_top + 1) {
        parser.work_top = parser.work_bottom;  // a one-row rectangle
    } else {
        if (parser.work_bottom > 239) parser.work_bottom = 239;
        if (parser.work_right > 319) parser.work_right = 319;
    }
    if (parser.mode == 1 || w <= 0 || h <= 0 || !gfx.frame) return;
    int known = frame_select_clip(f);
    // A rectangle of an unknown frame must not paint over the other frames.
    int saved = 0;
    if (!known && page_frames && page_frames->next) {
        for (PageFrame* p = page_frames; p; p = p->next) {
            if (p->number == f || p->number == 3 || p->number == 4) continue;
            p->save_rect = p->rect;
            gfx_save_area(&p->saved, &p->save_rect);
            saved = 1;
        }
    }
    Rect r = {parser.work_top, parser.work_left, parser.work_bottom, parser.work_right};
    DWORD colour = r.bottom - r.top == 1 ? colour24(text_colour) : parser_background();
    gfx_fill_rect_rgb(&r, colour);
    if (saved) {
        for (PageFrame* p = page_frames; p; p = p->next)
            if (p->saved) gfx_restore_area(&p->saved, &p->save_rect);
    }
    parser.drawn = 1;
}

void frames_tag_dl() {
    if (parser.mode == 1 || !gfx.frame) return;
    unsigned f = 0;
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    page_scan(parser.tag, "<DL %x %x %x %x %x>", &f, (unsigned*)&x0, (unsigned*)&y0, (unsigned*)&x1, (unsigned*)&y1);
    frame_select_clip(f);
    gfx_move_to(page_scale(x0), page_scale(y0));
    gfx_line_to_rgb(page_scale(x1), page_scale(y1), colour24(text_colour));
    parser.drawn = 1;
}

void frames_tag_ds() {
    unsigned f = 0, n = 0;
    // x and y keep the slot's previous value when they cannot be parsed.
    if (page_scan(parser.tag, "<DS %x %x %x %x", &f, (unsigned*)&parser.x, (unsigned*)&parser.y, &n) < 4) n = 0;
    if (!parser_counted_text(5, n)) return;
    LONG s = parser.text_size;
    if (s != 16 && s != 18 && s != 20 && s != 22 && s != 24 && s != 26) parser.text_size = s = 16;
    if (parser.mode == 1 || n == 0) return;
    WCHAR* w = parser_text_utf16();
    if (!w) return;  // out of memory: this text is left out
    if (gfx.frame) {
        frame_select_clip(f);
        int err = 0;
        // Zoomed, sizes 22 to 26 would scale to 15 to 17 pixels, which the
        // font cache does not hold: such text is drawn at the largest page
        // text size it has.
        LONG pixels = page_scale(s);
        if (pixels > PAGE_TEXT_MAX_PIXELS) pixels = PAGE_TEXT_MAX_PIXELS;
        if (text_engine)
            text_draw(text_engine, w, wstr_len(w), TEXT_STYLE_PAGE, (int16_t)pixels, page_scale(parser.x),
                      page_scale(parser.y), &err);
        parser.drawn = 1;
    }
    free(w);
}

// Scales a signed distance by its magnitude.
static LONG scale_signed(LONG v) { return v < 0 ? -page_scale(-(int64_t)v) : page_scale(v); }

static void clear_strips() {
    if (parser.mode == 1 || !gfx.frame) return;
    gfx_set_clip(0, 0, 239, 319);
    gfx_clear_margins();
    parser.drawn = 1;
}

void frames_tag_sw() {
    int dx = 0, dy = 0;
    page_scan(parser.tag, "<SW %x %x>", (unsigned*)&dx, (unsigned*)&dy);
    scale_signed(dx);  // the offsets have no further use on the device
    scale_signed(dy);
    clear_strips();
    page_controls_free();
    parser.button_serial = 0;
    parser.radio_group[0] = 0;
}

void frames_tag_sw_frame() {
    unsigned f = 0;
    int dx = 0, dy = 0;
    page_scan(parser.tag, "<sw %x %x %x>", &f, (unsigned*)&dx, (unsigned*)&dy);
    scale_signed(dx);
    scale_signed(dy);
    clear_strips();
    if (parser.partial) return;
    // New content for frame f: its earlier tags go from the file, and reading
    // starts again at the beginning of the rewritten file.
    parser.file = frame_tags_remove(f, parser.file);
    if (!parser.file) parser.stop = 1;
    frame_controls_remove(f);
    frame_scrollbars_remove(f);
}
