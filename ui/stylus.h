// The stylus on the page: hit tests over the page's controls, pressed and
// released drawing, and the actions on release (buttons, scroll-bar arrows,
// check boxes and radio groups, text controls, drop-downs, list boxes).
#ifndef CV_UI_STYLUS_H
#define CV_UI_STYLUS_H

#include "gfx/controls.h"
#include "gfx/text.h"
#include "wince.h"

// What the stylus is working on. Written only by the stylus handler (and by
// the places that close an open pop-up); persists between events.
struct TapState {
    ButtonControl* pressed_button;   // button or scroll-bar arrow under a down
    ButtonControl* pressed_rect;     // drawn pressed: the button, or a drop-down's arrow
    BYTE pressed_is_scroll_arrow;
    TextBox* text_control;
    ListControl* list_control;       // drop-down under the down, and while open
    ListControl* choice_control;     // check-box or radio group under the down
    ListControl* list_box;
    int32_t popup_state;             // 0 none, 1 pop-up takes the stylus, -1 swallow the next release
    BYTE pressed_lit;
    BYTE drop_down_pending;
    int32_t popup_downward;
    int32_t chosen_item;
    Rect* chosen_rect;
};
extern TapState tap_state;

// The list handler's own flags.
struct ListTrack {
    BYTE row_tracking;
    BYTE up_arrow_pressed;
    BYTE down_arrow_pressed;
    BYTE up_arrow_lit;
    BYTE down_arrow_lit;
};
extern ListTrack list_track;

// Server value of a screen value under the current zoom.
LONG stylus_to_server(LONG v);

// 1 while the list keeps the stylus, 0 when the interaction is over.
int list_popup_event(HWND hwnd, UINT message, int x, int y, ListControl* list, int downward);
void popup_open(TextEngine* engine, ListControl* list, int downward);
void popup_close(TextEngine* engine, ListControl* list);

// The text message of a text control ("<TF ...>" or "<TA ...>") into
// dynamic_text. 0 when memory ran out (nothing queued).
int stylus_text_message(const TextBox* box);

#endif
