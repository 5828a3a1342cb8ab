// The main window's procedure and the hardware buttons.
#ifndef CV_SHELL_WINPROC_H
#define CV_SHELL_WINPROC_H

#include "shell/app.h"

// Raw panel position of the last stylus message.
extern int32_t last_pen_x;
extern int32_t last_pen_y;
extern BYTE pen_down;

LRESULT window_proc(HWND hwnd, UINT message, WPARAM wp, LPARAM lp);
// Reads the programs mapped to hardware buttons from the registry; the
// entries (at most 10) on the heap, or null with *count 0.
ButtonEntry* load_button_table(int* count);

#endif
