// Neutral stand-in until the page lists are built.
#include "page/lists.h"

void page_lists_init() {}
void page_lists_free() {}
void page_images_release() {}
