// Text resources of the program: the main pool, the text engine and its glyph
// stores, set up at start-up and released at shut-down.
#ifndef CV_GFX_TEXT_H
#define CV_GFX_TEXT_H

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
