// Text: the colour ramp, text runs drawn from the glyph stores, their
// measurement, 16-bit string helpers, and the program's text resources (main
// pool, engine, stores) set up at start-up and released at shut-down.
#ifndef CV_GFX_TEXT_H
#define CV_GFX_TEXT_H

#include <cstdint>

#include "gfx/fontcache.h"
#include "gfx/pool.h"
#include "wince.h"

// Text styles of the font cache.
enum {
    TEXT_STYLE_PAGE = 0,     // page text, options screen
    TEXT_STYLE_SLANTED = 2,
    TEXT_STYLE_FIELD = 4     // keypad, text fields, address bar
};

// Text resources. Written by start-up and shut-down only; a failure inside a
// guarded text operation destroys the main pool and sets these back to null,
// after which every text operation does nothing.
extern MemPool* text_pool;          // the main pool
extern TextEngine* text_engine;     // the engine, in the main pool

// Text colours. text_colour (red, green, blue) is set by the page stream;
// black at start. text_sample_background (1 at start) is cleared by callers
// that set both colours themselves and set again after their label.
extern BYTE text_colour[3];
extern BYTE text_sample_background;

// Rebuilds the ramp (palette 13-139) when the pair changed. Colours 0x00BBGGRR.
void text_set_colours(TextEngine* engine, DWORD foreground, DWORD background);
// The same with fixed palette entries 0-12.
void text_set_colours_by_index(TextEngine* engine, DWORD foreground_index, DWORD background_index);

// Draws a run of 16-bit codes (ends at length or at a 0 code) with its pen
// at x and its baseline at y. err receives 0 or the pool's error code.
void text_draw(TextEngine* engine, const WCHAR* text, uint16_t length, uint16_t style,
               int16_t size, LONG x, LONG y, int* err);
// The same for an 8-bit string (bytes widened with sign extension).
void text_draw_cstr(TextEngine* engine, const char* text, uint16_t style, int16_t size,
                    LONG x, LONG y, int* err);
// Width of a run in pixels (0 after an error).
int text_measure(TextEngine* engine, const WCHAR* text, uint16_t length, uint16_t style,
                 int16_t size, int* err);
int text_measure_cstr(TextEngine* engine, const char* text, uint16_t style, int16_t size,
                      int* err);

// Code units before the 0.
uint16_t wstr_len(const WCHAR* s);
// Converts to UTF-8 as far as the buffer allows; returns the bytes needed for
// the whole string including its terminating 0.
int wstr_to_utf8(char* out, const WCHAR* s, int size);
// a / b in signed 16.16.
int32_t fx_div(int32_t a, int32_t b);

// A guarded entry outside the text engine (a form control, the editor)
// failed on pool: the pool is destroyed, and when it was the main pool the
// text resources go with it, so that no later text operation touches them.
void text_pool_lost(MemPool* pool);
// Whether engine can still be used: not null and not taken by a failure.
int text_engine_alive(const TextEngine* engine);

// Start-up and shut-down hooks.
// Creates the main pool, the text engine (colour mode G for the "HP," family,
// L otherwise) and both glyph stores. Returns 0 on success; on a failure the
// later steps are skipped and the program runs without text.
int text_startup(int hp_family);
// Loads "/cv/tccache.bin", or writes it when it cannot be opened.
void text_load_font_cache();
// Destroys the secondary and the main glyph store, then the engine.
void text_shutdown();
// Releases the main pool.
void text_release_pool();

#endif
