// The page's form controls, built from the form-control tags.
#ifndef CV_PAGE_FORMTAGS_H
#define CV_PAGE_FORMTAGS_H

#include "wince.h"

// Executes a form-control tag (BT CB RB DM LM DI LI TF PF TA) held in the
// interpreter record (page/parser.h). The interpreter has already consumed
// the tag's counted text into parser.text (text_len bytes) for BT DI LI TF PF
// TA, and the name into parser.name for CB DM LM (parser.radio_group for RB),
// so the stream stays in step whatever this builds.
void formtags_execute(WORD code);
// Draws the page's controls at the end of a pass, each after selecting its
// frame's clip: text controls, then list controls, then buttons.
void page_controls_draw();
void page_controls_free();
// Removes the form controls of frame f.
void frame_controls_remove(DWORD f);

#endif
