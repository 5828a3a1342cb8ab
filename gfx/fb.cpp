// Frame buffer primitives. Lines, fills and images are clipped first and
// written as whole spans; single pixels go through the clip test of
// gfx_put_pixel; area copies use whole-row moves where the panel layout
// allows (non-negative y pitch) and pixel loops otherwise.
#include "gfx/fb.h"

#include <utility>

DisplayState gfx;
BusyIndicator busy;

static const BYTE fixed_palette[13][3] = {
    {0x00, 0x00, 0x00},  // 0 black
    {0xBB, 0xBB, 0xBB},  // 1 light grey
    {0xA8, 0xA8, 0xED},  // 2 light blue
    {0xFF, 0xFF, 0xFF},  // 3 white
    {0x66, 0x66, 0x66},  // 4 dark grey
    {0x44, 0x44, 0xAA},  // 5 dark blue
    {0xA8, 0x00, 0x00},  // 6 red
    {0x00, 0x98, 0x00},  // 7 green
    {0x00, 0x00, 0xA8},  // 8 blue
    {0xDD, 0xDD, 0xDD},  // 9 pale grey
    {0x99, 0x99, 0x99},  // 10 mid grey
    {0xDE, 0xDE, 0xDE},  // 11 silver
    {0xD8, 0xD8, 0xFD},  // 12 pale blue
};

static const Rect FULL_SCREEN = {0, 0, 239, 319};

void gfx_init() {
    if (gfx.off_alloc) free(gfx.off_alloc);
    memset(&gfx, 0, sizeof gfx);
    gfx.clip = FULL_SCREEN;
    memcpy(gfx.palette, fixed_palette, sizeof fixed_palette);
    busy.outer = {0, 296, 23, 319};
    busy.frame = {2, 298, 21, 317};
    busy.pulse = {10, 306, 12, 308};
    busy.counter = 1;
    busy.growing = 1;
    busy.box_colour = 0x00EEDDDD;
    busy.pulse_colour = 0;
    busy.shown = 0;
}

uint16_t gfx_rgb565(BYTE r, BYTE g, BYTE b) {
    return (uint16_t)(((r & 0xF8) << 8) | ((g & 0xFC) << 3) | (b >> 3));
}

uint16_t gfx_colour24_565(DWORD c) {
    return gfx_rgb565((BYTE)(c & 0xFF), (BYTE)((c >> 8) & 0xFF), (BYTE)((c >> 16) & 0xFF));
}

static uint16_t palette_565(DWORD index) {
    if (index >= PALETTE_SIZE) index = 0;
    return gfx_rgb565(gfx.palette[index][0], gfx.palette[index][1], gfx.palette[index][2]);
}

void gfx_set_clip(LONG top, LONG left, LONG bottom, LONG right) {
    // A clip must be at least two pixels in each direction.
    if (top < 0 || top >= 240 || bottom < 0 || bottom >= 240) return;
    if (left < 0 || left >= 320 || right < 0 || right >= 320) return;
    if (bottom <= top || right <= left) return;
    gfx.clip = {top, left, bottom, right};
}

void gfx_to_physical(LONG x, LONG y, LONG* column, LONG* row) {
    *column = y;
    *row = 319 - x;
}

void gfx_from_physical(LONG column, LONG row, LONG* x, LONG* y) {
    *x = 319 - row;
    *y = column;
}

static inline uint16_t* pixel_at(LONG x, LONG y) {
    return (uint16_t*)(gfx.frame + (long)y * gfx.props.cbxPitch + (long)(319 - x) * gfx.props.cbyPitch);
}

void gfx_put_pixel(LONG x, LONG y, uint16_t pixel) {
    if (x < gfx.clip.left || x > gfx.clip.right || y < gfx.clip.top || y > gfx.clip.bottom)
        return;  // outside the clip
    if (!gfx.frame) return;
    *pixel_at(x, y) = pixel;
}

uint16_t gfx_get_pixel(LONG x, LONG y) { return gfx.frame ? *pixel_at(x, y) : 0; }

void gfx_plot(LONG x, LONG y, DWORD colour_index) { gfx_put_pixel(x, y, palette_565(colour_index)); }

void gfx_set_colour(DWORD colour_index) { gfx.pen_colour = colour_index; }

void gfx_move_to(LONG x, LONG y) {
    gfx.pen_x = x;
    gfx.pen_y = y;
}

// ---------------------------------------------------------------------------
// Spans. A landscape column (x fixed, y growing) is one physical row: its
// pixels lie x pitch bytes apart, contiguous on every panel we know. A
// landscape row steps by minus the y pitch. Every span is clipped first and
// then written whole; the clip rectangle always lies inside the screen, so a
// clipped span never leaves the frame.

// n pixels of one value, contiguous.
static void fill_pixels(uint16_t* p, long n, uint16_t v) {
    while (n > 0 && ((uintptr_t)p & 7) != 0) {
        *p++ = v;
        n--;
    }
    uint64_t w = v * 0x0001000100010001ull;
    uint64_t block[2] = {w, w};
    for (; n >= 32; n -= 32, p += 32) {
        memcpy(p, block, 16);
        memcpy(p + 8, block, 16);
        memcpy(p + 16, block, 16);
        memcpy(p + 24, block, 16);
    }
    for (; n >= 4; n -= 4, p += 4) memcpy(p, &w, 8);
    while (n-- > 0) *p++ = v;
}

// n pixels of one value from p on, step bytes apart.
static void store_run(char* p, long step, long n, uint16_t v) {
    if (step == (long)sizeof(uint16_t)) {
        fill_pixels((uint16_t*)p, n, v);
        return;
    }
    for (; n > 0; n--, p += step) *(uint16_t*)p = v;
}

// Landscape column x from y0 to y1 (either order), clipped.
static void span_down(int64_t x, int64_t y0, int64_t y1, uint16_t v) {
    const Rect& c = gfx.clip;
    if (!gfx.frame || x < c.left || x > c.right) return;
    if (y0 > y1) std::swap(y0, y1);
    if (y0 < c.top) y0 = c.top;
    if (y1 > c.bottom) y1 = c.bottom;
    if (y0 > y1) return;  // fill lies outside the clip
    store_run((char*)pixel_at((LONG)x, (LONG)y0), gfx.props.cbxPitch, (long)(y1 - y0 + 1), v);
}

// Landscape row y from x0 to x1 (either order), clipped.
static void span_across(int64_t y, int64_t x0, int64_t x1, uint16_t v) {
    const Rect& c = gfx.clip;
    if (!gfx.frame || y < c.top || y > c.bottom) return;
    if (x0 > x1) std::swap(x0, x1);
    if (x0 < c.left) x0 = c.left;
    if (x1 > c.right) x1 = c.right;
    if (x0 > x1) return;
    store_run((char*)pixel_at((LONG)x0, (LONG)y), -(long)gfx.props.cbyPitch, (long)(x1 - x0 + 1), v);
}

// Axis-aligned line from the pen, both ends drawn. The pixel value is taken
// once: nothing changes the palette while a line is drawn.
static void line_to(LONG x, LONG y, uint16_t v) {
    if (x == gfx.pen_x && y != gfx.pen_y) {
        span_down(x, gfx.pen_y, y, v);
        gfx.pen_y = y;
    } else if (y == gfx.pen_y && x != gfx.pen_x) {
        span_across(y, gfx.pen_x, x, v);
        gfx.pen_x = x;
    } else {
        // Same point, or a diagonal that is not drawn: only the pen point.
        gfx_put_pixel(gfx.pen_x, gfx.pen_y, v);
    }
}

void gfx_line_to(LONG x, LONG y) { line_to(x, y, palette_565(gfx.pen_colour)); }

void gfx_line_to_rgb(LONG x, LONG y, DWORD colour) { line_to(x, y, gfx_colour24_565(colour)); }

// The rows of a fill, each from left to right inclusive (leftwards when
// right < left), clipped as a whole and written one landscape column, that
// is one contiguous physical row, at a time. The pen ends at the last row's
// end, as if each row had been drawn as a line.
static void fill_area(const Rect* r, uint16_t v) {
    if (r->bottom < r->top) return;
    gfx.pen_x = r->right;
    gfx.pen_y = r->bottom;
    const Rect& c = gfx.clip;
    if (!gfx.frame) return;
    int64_t x0 = r->left < r->right ? r->left : r->right;
    int64_t x1 = r->left < r->right ? r->right : r->left;
    int64_t y0 = r->top, y1 = r->bottom;
    if (x0 < c.left) x0 = c.left;
    if (x1 > c.right) x1 = c.right;
    if (y0 < c.top) y0 = c.top;
    if (y1 > c.bottom) y1 = c.bottom;
    if (x0 > x1 || y0 > y1) return;  // fill lies outside the clip
    long n = (long)(y1 - y0 + 1);
    for (int64_t x = x0; x <= x1; x++)
        store_run((char*)pixel_at((LONG)x, (LONG)y0), gfx.props.cbxPitch, n, v);
}

void gfx_fill_rect(const Rect* r, DWORD colour_index) { fill_area(r, palette_565(colour_index)); }

void gfx_fill_rect_rgb(const Rect* r, DWORD colour) { fill_area(r, gfx_colour24_565(colour)); }

void gfx_bevel_frame(const Rect* r) {
    LONG t = r->top, l = r->left, b = r->bottom, rt = r->right;
    DWORD saved = gfx.pen_colour;
    // Dark top and left edges, light bottom and right edges.
    gfx.pen_colour = COLOUR_BLACK;
    gfx_move_to(l - 1, t - 1);
    gfx_line_to(rt + 1, t - 1);
    gfx_move_to(l - 1, t - 1);
    gfx_line_to(l - 1, b + 1);
    gfx.pen_colour = COLOUR_DARK_BLUE;
    gfx_move_to(l - 2, t - 2);
    gfx_line_to(rt + 2, t - 2);
    gfx_move_to(l - 2, t - 2);
    gfx_line_to(l - 2, b + 2);
    gfx.pen_colour = COLOUR_LIGHT_GREY;
    gfx_move_to(rt + 1, b + 1);
    gfx_line_to(rt + 1, t - 1);
    gfx_move_to(rt + 1, b + 1);
    gfx_line_to(l - 1, b + 1);
    gfx.pen_colour = COLOUR_LIGHT_BLUE;
    gfx_move_to(rt + 2, b + 2);
    gfx_line_to(rt + 2, t - 2);
    gfx_move_to(rt + 2, b + 2);
    gfx_line_to(l - 2, b + 2);
    gfx.pen_colour = saved;
}

int rect_contains(const Point* p, const Rect* r) {
    return p->x >= r->left && p->x <= r->right && p->y >= r->top && p->y <= r->bottom;
}

// Only the part of the image inside the clip is visited: per image column
// (one physical row), its visible rows, transparent ones skipped.
void gfx_draw_image(const ImageRecord* img, LONG x, LONG y) {
    if (!img || !img->pixels || !gfx.frame) return;
    const Rect& c = gfx.clip;
    int64_t c0 = 0, c1 = (int64_t)img->width - 1, r0 = 0, r1 = (int64_t)img->height - 1;
    if (x + c0 < c.left) c0 = (int64_t)c.left - x;
    if (x + c1 > c.right) c1 = (int64_t)c.right - x;
    if (y + r0 < c.top) r0 = (int64_t)c.top - y;
    if (y + r1 > c.bottom) r1 = (int64_t)c.bottom - y;
    if (c0 > c1 || r0 > r1) return;  // image lies outside the clip
    long step = gfx.props.cbxPitch;
    long width = img->width;
    for (int64_t col = c0; col <= c1; col++) {
        char* p = (char*)pixel_at((LONG)(x + col), (LONG)(y + r0));
        const uint16_t* src = img->pixels + r0 * width + col;
        if (img->transparent) {
            uint16_t key = img->key;
            for (int64_t row = r0; row <= r1; row++, p += step, src += width)
                if (*src != key) *(uint16_t*)p = *src;
        } else {
            for (int64_t row = r0; row <= r1; row++, p += step, src += width) *(uint16_t*)p = *src;
        }
    }
}

void gfx_save_area(uint16_t** saved, Rect* r) {
    *saved = nullptr;
    const Rect& c = gfx.clip;
    if (r->top < c.top) r->top = c.top;
    if (r->top > c.bottom) {
        r->top = r->bottom;
        return;
    }
    if (r->bottom < c.top) {
        r->bottom = r->top;
        return;
    }
    if (r->bottom > c.bottom) r->bottom = c.bottom;
    if (r->left < c.left) r->left = c.left;
    if (r->left > c.right) {
        r->left = r->right;
        return;
    }
    if (r->right < c.left) {
        r->right = r->left;
        return;
    }
    if (r->right > c.right) r->right = c.right;
    if (!gfx.frame) return;

    LONG col0, row1, col1, row0;
    gfx_to_physical(r->left, r->top, &col0, &row1);
    gfx_to_physical(r->right, r->bottom, &col1, &row0);
    long cols = col1 - col0 + 1, rows = row1 - row0 + 1;
    if (cols <= 0 || rows <= 0) return;
    uint16_t* buf = (uint16_t*)malloc((size_t)(cols * rows) * sizeof(uint16_t));
    if (!buf) return;  // out of memory: nothing saved, a later restore does nothing
    // One physical row (a landscape column) after the other, each a
    // contiguous run of pixels whatever the sign of the y pitch.
    if (gfx.props.cbxPitch != (long)sizeof(uint16_t)) {
        uint16_t* p = buf;
        for (LONG x = r->right; x >= r->left; x--)
            for (LONG y = r->top; y <= r->bottom; y++) *p++ = gfx_get_pixel(x, y);
    } else {
        for (long i = 0; i < rows; i++)
            memmove(buf + i * cols, gfx.frame + col0 * gfx.props.cbxPitch + (row0 + i) * gfx.props.cbyPitch,
                    (size_t)cols * sizeof(uint16_t));
    }
    *saved = buf;
}

void gfx_restore_area(uint16_t** saved, const Rect* r) {
    if (!*saved) return;
    if (gfx.frame) {
        LONG col0, row1, col1, row0;
        gfx_to_physical(r->left, r->top, &col0, &row1);
        gfx_to_physical(r->right, r->bottom, &col1, &row0);
        long cols = col1 - col0 + 1, rows = row1 - row0 + 1;
        if (gfx.props.cbxPitch != (long)sizeof(uint16_t)) {
            const uint16_t* p = *saved;
            for (LONG x = r->right; x >= r->left; x--)
                for (LONG y = r->top; y <= r->bottom; y++) gfx_put_pixel(x, y, *p++);
        } else if (gfx.props.cbyPitch >= 0) {
            for (long i = 0; i < rows; i++)
                memmove(gfx.frame + col0 * gfx.props.cbxPitch + (row0 + i) * gfx.props.cbyPitch,
                        *saved + i * cols, (size_t)cols * sizeof(uint16_t));
        } else {
            // Panels with a negative y pitch restore through the clip as it
            // is now: each row only where it lies inside it.
            const Rect& c = gfx.clip;
            LONG y0 = r->top > c.top ? r->top : c.top, y1 = r->bottom < c.bottom ? r->bottom : c.bottom;
            for (long i = 0; i < rows && y0 <= y1; i++) {
                LONG x = 319 - (row0 + i);
                if (x < c.left || x > c.right) continue;
                memmove(gfx.frame + y0 * gfx.props.cbxPitch + (row0 + i) * gfx.props.cbyPitch,
                        *saved + i * cols + (y0 - r->top), (size_t)(y1 - y0 + 1) * sizeof(uint16_t));
            }
        }
    }
    free(*saved);
    *saved = nullptr;
}

int gfx_clear_screen(DWORD colour_index) {
    gfx.frame = (char*)GXBeginDraw();
    if (!gfx.frame) return 0;
    gfx_fill_rect(&FULL_SCREEN, colour_index);
    GXEndDraw();
    return 1;
}

void gfx_clear_margins() {
    Rect bottom = {231, 0, 239, 319}, right = {0, 311, 239, 319};
    gfx_fill_rect(&bottom, COLOUR_WHITE);
    gfx_fill_rect(&right, COLOUR_WHITE);
}

int gfx_offscreen_create(const GXDisplayProperties* props) {
    long pitch = props->cbyPitch < 0 ? -(long)props->cbyPitch : props->cbyPitch;
    size_t size = (size_t)props->cyHeight * (size_t)pitch;
    gfx.off_alloc = (char*)malloc(size ? size : 1);
    if (!gfx.off_alloc) {
        gfx.off_origin = nullptr;
        return -1;
    }
    memset(gfx.off_alloc, 0xFF, size);  // white
    // With a negative pitch the origin sits at the last row, so that origin +
    // column * x pitch + row * y pitch stays inside the buffer.
    gfx.off_origin = props->cbyPitch < 0 ? gfx.off_alloc + (props->cyHeight - 1) * pitch : gfx.off_alloc;
    return 0;
}

int gfx_offscreen_destroy() {
    free(gfx.off_alloc);
    gfx.off_alloc = nullptr;
    gfx.off_origin = nullptr;
    return 0;
}

int32_t gfx_select_target(int mode) {
    if (mode == 1) {
        if (gfx.off_origin && gfx.frame != gfx.off_origin) {
            gfx.off_saved_screen = gfx.frame;
            gfx.frame = gfx.off_origin;
            gfx.off_active = 1;
            return 1;
        }
        return gfx.off_active;
    }
    if (mode == 0) {
        if (gfx.off_saved_screen) gfx.frame = gfx.off_saved_screen;
        gfx.off_active = 0;
        return 0;
    }
    return gfx.off_active;
}

// Copies whole frames 64 bytes a step: the loop the compiler keeps in
// registers costs a fraction of a general memory move of this size.
static void copy_frame(char* dst, const char* src, size_t bytes) {
    size_t i = 0;
    for (; i + 64 <= bytes; i += 64) memcpy(dst + i, src + i, 64);
    if (i < bytes) memcpy(dst + i, src + i, bytes - i);
}

void gfx_present() {
    if (!gfx.off_origin) return;
    if (gfx.props.cbyPitch >= 0) {
        if (gfx.off_saved_screen && gfx.off_saved_screen != gfx.off_origin)
            copy_frame(gfx.off_saved_screen, gfx.off_origin, (size_t)gfx.props.cyHeight * gfx.props.cbyPitch);
        return;
    }
    // A negative y pitch: the whole screen is taken from the off-screen
    // buffer (selected for the moment if it was not) and put on the screen
    // (selected for the moment), one physical row at a time.
    bool was_off = gfx.off_active != 0;
    if (!was_off) gfx_select_target(1);
    const char* from = gfx.frame;
    gfx_select_target(0);
    char* to = gfx.frame;
    if (from && to && from != to) {
        for (long row = 0; row < 320; row++) {
            long at = row * gfx.props.cbyPitch;
            if (gfx.props.cbxPitch == (long)sizeof(uint16_t)) {
                memmove(to + at, from + at, 240 * sizeof(uint16_t));
            } else {
                for (long col = 0; col < 240; col++)
                    *(uint16_t*)(to + at + col * gfx.props.cbxPitch) =
                        *(const uint16_t*)(from + at + col * gfx.props.cbxPitch);
            }
        }
    }
    if (was_off) gfx_select_target(1);
}

void busy_indicator_step() {
    Rect clip = gfx.clip;
    gfx.clip = FULL_SCREEN;
    if (!busy.shown) {
        gfx.frame = (char*)GXBeginDraw();
        if (gfx.frame) {
            busy.shown = 1;
            gfx_fill_rect_rgb(&busy.outer, busy.box_colour);
            gfx_bevel_frame(&busy.frame);
            GXEndDraw();
        }
    }
    if (busy.growing && busy.counter >= 10) busy.growing = 0;
    else if (!busy.growing && busy.counter <= 1) busy.growing = 1;
    Rect& p = busy.pulse;
    gfx.frame = (char*)GXBeginDraw();
    if (busy.growing) {
        if (gfx.frame) {
            gfx_fill_rect_rgb(&p, busy.pulse_colour);
            GXEndDraw();
        }
        busy.counter++;
        p = {p.top - 1, p.left - 1, p.bottom + 1, p.right + 1};
    } else {
        if (gfx.frame) {
            gfx_fill_rect_rgb(&p, busy.pulse_colour);
            // Erase the outermost ring back to the box colour.
            gfx_move_to(p.left, p.top);
            gfx_line_to_rgb(p.right, p.top, busy.box_colour);
            gfx_line_to_rgb(p.right, p.bottom, busy.box_colour);
            gfx_line_to_rgb(p.left, p.bottom, busy.box_colour);
            gfx_line_to_rgb(p.left, p.top, busy.box_colour);
            GXEndDraw();
        }
        busy.counter--;
        p = {p.top + 1, p.left + 1, p.bottom - 1, p.right - 1};
    }
    gfx.clip = clip;
}

void busy_indicator_remove() {
    if (!busy.shown) return;
    Rect clip = gfx.clip;
    gfx.clip = FULL_SCREEN;
    if (gfx.off_available && gfx.off_origin) {
        // Repair the screen from the clean page in the off-screen buffer.
        gfx.frame = gfx.off_origin;
        Rect r = busy.outer;
        uint16_t* saved;
        gfx_save_area(&saved, &r);
        gfx.frame = (char*)GXBeginDraw();
        if (gfx.frame) {
            gfx_restore_area(&saved, &r);
            GXEndDraw();
        } else {
            free(saved);
        }
    }
    busy.shown = 0;
    gfx.clip = clip;
}
