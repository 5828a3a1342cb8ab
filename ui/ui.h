// The device's own screens as the window procedure reaches them:
// ui/stylus.* (page controls and pop-ups), ui/keypad.* (layers, keys, the
// modal wait), ui/editor.* (text entry on the keypad), ui/addressbar.cpp
// (address box, history list, toolbar requests), ui/options.* (settings).
#ifndef CV_UI_UI_H
#define CV_UI_UI_H

#include "wince.h"

// Stylus down, move or up at a landscape point; 1 when a control took it
// (always 1 while the options screen is up, which receives every event).
int stylus_event(HWND hwnd, UINT message, int x, int y);
// The address bar with the keypad (hardware keypad button).
void address_bar(HWND hwnd);
// Paints the options screen.
void options_paint();
// Drop-down pop-up state: when one stands open, closes it (redrawing its
// list control) inside its own drawing bracket. Used before a scroll and
// before the page is drawn again.
void popup_close_if_open();

#endif
