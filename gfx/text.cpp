// Neutral stand-in until text rendering is built: the resources stay absent
// and every text operation does nothing.
#include "gfx/text.h"

MemPool* text_pool = nullptr;
TextEngine* text_engine = nullptr;
BYTE text_colour[3] = {0, 0, 0};
BYTE text_sample_background = 1;

void text_set_colours(TextEngine*, DWORD, DWORD) {}
void text_set_colours_by_index(TextEngine*, DWORD, DWORD) {}
void text_draw(TextEngine*, const WCHAR*, uint16_t, uint16_t, int16_t, LONG, LONG, int* err) {
    if (err) *err = 0;
}
void text_draw_cstr(TextEngine*, const char*, uint16_t, int16_t, LONG, LONG, int* err) {
    if (err) *err = 0;
}
int text_measure(TextEngine*, const WCHAR*, uint16_t, uint16_t, int16_t, int* err) {
    if (err) *err = 0;
    return 0;
}
int text_measure_cstr(TextEngine*, const char*, uint16_t, int16_t, int* err) {
    if (err) *err = 0;
    return 0;
}
uint16_t wstr_len(const WCHAR* s) {
    uint16_t n = 0;
    while (s && s[n]) n++;
    return n;
}
int wstr_to_utf8(char* out, const WCHAR*, int size) {
    if (out && size > 0) out[0] = 0;
    return 1;
}
int32_t fx_div(int32_t a, int32_t) { return a; }

int text_startup(int) { return 0; }
void text_load_font_cache() {}
void text_shutdown() {}
void text_release_pool() {}
