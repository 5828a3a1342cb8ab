// Neutral stand-in until frames and scroll bars are built.
#include "page/frames.h"

void frames_free() {}
void scrollbars_free() {}
void frame_scrollbars_remove(int) {}
void frame_select_clip(int) {}
