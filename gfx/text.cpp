// Neutral stand-in until text rendering is built.
#include "gfx/text.h"

int text_startup(int) { return 0; }
void text_load_font_cache() {}
void text_shutdown() {}
void text_release_pool() {}
