// The page's form controls, built from the form-control tags.
#ifndef CV_PAGE_FORMTAGS_H
#define CV_PAGE_FORMTAGS_H

void page_controls_free();
// Removes the form controls of frame f.
void frame_controls_remove(int f);

#endif
