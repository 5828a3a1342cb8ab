// Neutral stand-in until the form-control tags are built.
#include "page/formtags.h"

void formtags_execute(WORD) {}
void page_controls_draw() {}
void page_controls_free() {}
void frame_controls_remove(DWORD) {}
