// Neutral stand-in until frames and scroll bars are built.
#include "page/frames.h"

PageFrame* page_frames;
ScrollBar* page_scrollbars;

PageFrame* frame_find(DWORD) { return nullptr; }
void frames_free() {}
void scrollbars_free() {}
void frame_scrollbars_remove(DWORD) {}
int frame_select_clip(DWORD) { return 0; }
