// Rewriting the page file: the page cut and the removal of a frame's tags.
#ifndef CV_PAGE_REWRITE_H
#define CV_PAGE_REWRITE_H

#include "wince.h"

// Removes the earlier tags of frame f from the page file, before offset.
void frame_tags_remove_at(int f, long offset);

#endif
