// Neutral stand-in until the user interface is built.
#include "ui/ui.h"

int stylus_event(HWND, UINT, int, int) { return 0; }
void address_bar(HWND) {}
void options_paint() {}
void popup_close_if_open() {}
