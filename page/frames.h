// Frames and scroll bars of the page, and the drawing tags that use them.
#ifndef CV_PAGE_FRAMES_H
#define CV_PAGE_FRAMES_H

#include "gfx/fb.h"
#include "wince.h"

struct ButtonControl;

// A frame declared by FR: a clip region of the page.
struct PageFrame {
    DWORD number;         // from the geometry; 3 = the 640 by 480 page, 4 = 480 by 360
    Rect rect;
    Rect save_rect;       // the area saved while a CR of another frame draws
    uint16_t* saved;      // saved pixels, or null
    PageFrame* next;
};

// A scroll bar built by SH or SV.
struct ScrollBar {
    Rect rect;                // the whole bar, both arrow buttons included
    DWORD frame;
    ButtonControl* first;     // left or up arrow
    ButtonControl* second;    // right or down arrow
    ButtonControl* thumb;
    DWORD kind;               // 'H' or 'V'
    DWORD position;           // thumb's first page coordinate
    DWORD end;                // thumb's last page coordinate
    ScrollBar* prev;
    ScrollBar* next;
};

// The largest pixel size of page text (style 0) the font cache holds.
#define PAGE_TEXT_MAX_PIXELS 13

// Heads of the lists; the interpreter rebuilds them on every full pass, the
// stylus code and the tap rule only read them.
extern PageFrame* page_frames;
extern ScrollBar* page_scrollbars;

// The frame of that number, or null.
PageFrame* frame_find(DWORD f);
// Clips to frame f's Rect, narrowed by its first two scroll bars. 1 when the
// frame is known; an unknown frame gives the whole screen and 0.
int frame_select_clip(DWORD f);
void frames_free();
void scrollbars_free();
// Removes the scroll bars of frame f.
void frame_scrollbars_remove(DWORD f);
// After a pool failure took the main pool (and the bars' buttons in it)
// away, leaves every bar without buttons. Called before the buttons are used.
void scrollbars_check_pool();
// Draws every scroll bar (end of a pass).
void scrollbars_draw();
// The frame number of an FR with these raw page values.
DWORD frame_number(LONG x, LONG y, LONG w, LONG h);

// Tag executors, called from the interpreter's dispatch with the tag in
// the interpreter record.
void frames_tag_bc();
void frames_tag_fc();
void frames_tag_sz();
void frames_tag_fr();
void frames_tag_cr();
void frames_tag_dl();
void frames_tag_ds();
void frames_tag_sw();    // SW
void frames_tag_sw_frame();  // sw
void frames_tag_scrollbar(int kind);  // SH ('H') and SV ('V')

#endif
