// Frames and scroll bars of the page.
#ifndef CV_PAGE_FRAMES_H
#define CV_PAGE_FRAMES_H

#include "wince.h"

void frames_free();
void scrollbars_free();
// Removes the scroll bars of frame f.
void frame_scrollbars_remove(int f);
// Narrows the clip to frame f's area.
void frame_select_clip(int f);

#endif
