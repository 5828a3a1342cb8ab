// Fuzz target: a page file drawn by the interpreter, all its passes, images
// decoded, controls built and drawn, the file rewritten by page cuts, frame
// replacements and scrambled blocks, off-screen or straight to the screen,
// zoomed or not. Whatever the bytes, the interpreter must end, stay inside
// its buffers and leave the pools consistent.
//
// Input: one byte of switches, then the page file.
//   bit 0 zoomed in        bit 1 no off-screen buffer   bit 2 draw twice
//   bit 3 colour mode G    bit 4 an early (partial) draw first
#include "fuzz/fuzz_device.h"
#include "gfx/pool.h"
#include "page/formtags.h"
#include "page/frames.h"
#include "page/image.h"
#include "page/lists.h"
#include "page/page.h"
#include "page/parser.h"
#include "shell/datafiles.h"
#include "ui/stylus.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_device_on();
    if (fuzz_copy_font_cache() != 0) abort();
    if (gfx_offscreen_create(&app.display) != 0) abort();
    page_lists_init();
    return 0;
}

static void clear_history() {
    for (int i = 0; i < HISTORY_SIZE; i++) {
        free(app.history[i]);
        app.history[i] = nullptr;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    uint8_t flags = data[0];
    if (fuzz_put("/cv/kivo.txt", data + 1, size - 1) != 0) abort();
    int hp = (flags & 8) != 0;
    if (text_engine && text_engine->colour_mode != (hp ? 'G' : 'L')) text_engine->colour_mode = hp ? 'G' : 'L';
    fuzz_text_ready(hp);
    app.page_file_path = "/cv/kivo.txt";
    zoom_mode = flags & 1;
    gfx.off_available = (flags & 2) ? 0 : 1;
    gfx.frame = (char*)GXBeginDraw();
    gfx_set_clip(0, 0, 239, 319);
    memset(&tap_state, 0, sizeof tap_state);
    text_colour[0] = text_colour[1] = text_colour[2] = 0;
    parser.text_size = 16;

    if (flags & 16) page_draw(0, 1);
    page_draw(0, 0);
    if (flags & 4) page_draw(0, 0);

    // The records the page built must be sound.
    if (text_pool && pool_check(text_pool) < 0) abort();
    for (ScrollBar* b = page_scrollbars; b; b = b->next)
        if (b->kind != 'H' && b->kind != 'V') abort();
    if (image_cache.count < 0 || image_cache.count > IMAGE_CACHE_SIZE) abort();

    page_lists_free();
    page_images_release();
    clear_history();
    GXEndDraw();
    return 0;
}
