// The frame buffer: landscape coordinates over the portrait panel, the clip
// rectangle, the palette, the pen, clipped primitives, saved screen areas,
// the off-screen page buffer and the busy indicator.
#ifndef CV_GFX_FB_H
#define CV_GFX_FB_H

#include "gx.h"
#include "wince.h"

// Inclusive bounds in landscape screen coordinates (x 0-319, y 0-239).
struct Rect {
    LONG top;
    LONG left;
    LONG bottom;
    LONG right;
};
struct Point {
    LONG x;
    LONG y;
};

// A decoded picture (made by the image decoder).
struct ImageRecord {
    int16_t width;
    int16_t height;
    uint16_t* reserved_pixels;  // never filled
    uint16_t* pixels;           // width * height RGB565 values, row after row, owned
    uint32_t id;
    BYTE transparent;           // non-zero: pixels equal to key are not drawn
    BYTE reserved_colour[3];
    uint16_t key;
};

#define PALETTE_SIZE 140
#define PALETTE_RAMP_FIRST 13

// Display state, one global record.
// Start-up writes the properties; every drawing sequence sets frame from
// GXBeginDraw (or the off-screen selection does); the text ramp rewrites
// palette entries 13 to 139.
struct DisplayState {
    GXDisplayProperties props;
    char* frame;  // base address of pixel stores
    Rect clip;
    BYTE palette[PALETTE_SIZE][3];
    DWORD pen_colour;
    LONG pen_x;
    LONG pen_y;
    // off-screen page buffer
    char* off_origin;
    char* off_alloc;
    char* off_saved_screen;
    int32_t off_active;
    BYTE off_available;
};
extern DisplayState gfx;

// The busy indicator: the pulsing square in the top-right corner.
struct BusyIndicator {
    Rect outer;
    Rect frame;
    Rect pulse;
    int32_t counter;
    BYTE growing;
    DWORD box_colour;    // 0x00BBGGRR
    DWORD pulse_colour;  // 0x00BBGGRR
    BYTE shown;
};
extern BusyIndicator busy;

// Fixed interface colours (palette indices).
enum {
    COLOUR_BLACK = 0,
    COLOUR_LIGHT_GREY = 1,
    COLOUR_LIGHT_BLUE = 2,
    COLOUR_WHITE = 3,
    COLOUR_DARK_GREY = 4,
    COLOUR_DARK_BLUE = 5,
    COLOUR_RED = 6,
    COLOUR_GREEN = 7,
    COLOUR_BLUE = 8,
    COLOUR_PALE_GREY = 9,
    COLOUR_MID_GREY = 10,
    COLOUR_SILVER = 11,
    COLOUR_PALE_BLUE = 12
};

// Puts the display state and the busy indicator to their initial values
// (palette, clip, pen, no off-screen buffer).
void gfx_init();
uint16_t gfx_rgb565(BYTE r, BYTE g, BYTE b);
uint16_t gfx_colour24_565(DWORD colour);

void gfx_set_clip(LONG top, LONG left, LONG bottom, LONG right);
void gfx_put_pixel(LONG x, LONG y, uint16_t pixel);
uint16_t gfx_get_pixel(LONG x, LONG y);
void gfx_plot(LONG x, LONG y, DWORD colour_index);
void gfx_set_colour(DWORD colour_index);
void gfx_move_to(LONG x, LONG y);
void gfx_line_to(LONG x, LONG y);
void gfx_line_to_rgb(LONG x, LONG y, DWORD colour);
void gfx_fill_rect(const Rect* r, DWORD colour_index);
void gfx_fill_rect_rgb(const Rect* r, DWORD colour);
void gfx_bevel_frame(const Rect* r);
int rect_contains(const Point* p, const Rect* r);
void gfx_draw_image(const ImageRecord* img, LONG x, LONG y);
void gfx_save_area(uint16_t** saved, Rect* r);
void gfx_restore_area(uint16_t** saved, const Rect* r);
void gfx_to_physical(LONG x, LONG y, LONG* column, LONG* row);
void gfx_from_physical(LONG column, LONG row, LONG* x, LONG* y);
int gfx_clear_screen(DWORD colour_index);
void gfx_clear_margins();
int gfx_offscreen_create(const GXDisplayProperties* props);
int gfx_offscreen_destroy();
int32_t gfx_select_target(int mode);
void gfx_present();
void busy_indicator_step();
void busy_indicator_remove();

#endif
