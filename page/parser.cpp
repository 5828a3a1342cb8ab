// Neutral stand-in until the page interpreter is built.
#include "page/page.h"

#include "shell/app.h"

void page_draw(int, int) {}

LONG page_scale(LONG v) { return zoom_mode ? (2 * v + 1) / 3 : (v + 1) / 2; }
