// Start-up clearing and shut-down freeing of the page's lists and images.
#include "page/lists.h"

#include <string.h>

#include "page/formtags.h"
#include "page/frames.h"
#include "page/image.h"
#include "page/parser.h"

void page_lists_init() {
    page_frames = nullptr;
    page_scrollbars = nullptr;
    memset(&image_cache, 0, sizeof image_cache);
    parser.images_seen = 0;
    parser.button_serial = 0;
    parser.radio_group[0] = 0;
    parser.background[0] = parser.background[1] = parser.background[2] = 255;
    parser.text_size = 16;
}

void page_lists_free() {
    page_controls_free();
    frames_free();
    scrollbars_free();
}

void page_images_release() { image_cache_clear(); }
