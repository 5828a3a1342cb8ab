// The page stream interpreter: draws the page file.
#ifndef CV_PAGE_PAGE_H
#define CV_PAGE_PAGE_H

#include "wince.h"

// mode 0 full pass, 1 image pass, 2 redraw pass; partial 1 for the early draw.
void page_draw(int mode, int partial);
// Page units to screen pixels.
LONG page_scale(LONG v);

#endif
