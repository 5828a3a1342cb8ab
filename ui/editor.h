// The text entry editor: a one-line box or a multi-line area above the
// keypad, editing the caller's 16-bit line buffers until the user accepts,
// cancels, taps a toolbar icon or the caller's element.
//
//   one line:   y 108..124  [Esc]   toolbar icons (with caller)   [Ok|Go]
//               y 125..139  | text box ..................... | caller |
//               y 140..239  keypad
//   text area:  y 0..16 key row, y 17..130 lines of 14 (scroll bars right
//               and below), y 140..239 keypad
#ifndef CV_UI_EDITOR_H
#define CV_UI_EDITOR_H

#include "gfx/controls.h"
#include "gfx/text.h"

// How the editor ended.
enum {
    EDIT_ACCEPTED = 0,
    EDIT_CANCELLED = 1,
    EDIT_BACK = 4,
    EDIT_STOP = 5,
    EDIT_FORWARD = 6,
    EDIT_RELOAD = 7,
    EDIT_ZOOM = 8,
    EDIT_EXIT = 9,
    EDIT_OPTIONS = 10
};

// lines: line_count pointers to NUL-terminated texts; capacities in code
// units including the terminator. caret < 0 puts the caret at the end of
// line 0. With a caller element the toolbar is shown and a tap on the element
// ends the editor with result 1 and *tapped 1 (the keypad then stays on
// screen for the caller's next call). Only result 0 copies the text back.
int text_entry(HWND hwnd, TextEngine* engine, WCHAR** lines, const uint16_t* capacities, int caret,
               int line_count, ButtonControl* caller, int* tapped, int password, int* err);

// The screen under the keypad, saved by the first of a run of editor calls.
// Held (non-null) only between an exit with a tap on the caller element and
// the next call's exit.
extern uint16_t* editor_saved_area;
extern Rect editor_saved_rect;

#endif
