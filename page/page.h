// The page stream interpreter: draws the page file.
#ifndef CV_PAGE_PAGE_H
#define CV_PAGE_PAGE_H

#include <stdint.h>

#include "wince.h"

// mode 0 full pass, 1 image pass, 2 redraw pass; partial 1 for the early draw.
void page_draw(int mode, int partial);
// Page values come from the server unchecked and span all 32 bits. Screen
// coordinates made from them are held within +-PAGE_PIXEL_LIMIT, far off any
// screen, so that a shape's far edge or a control's label place (a few such
// values added) stays inside 32 bits and drawing it costs only its clipped
// area.
#define PAGE_PIXEL_LIMIT 0x100000

// Page units (or a sum of page values, worked in 64 bits) to screen pixels,
// held within +-PAGE_PIXEL_LIMIT.
LONG page_scale(int64_t v);
// a + b held within 32 bits, for page values kept as page values.
LONG page_sum(int64_t a, int64_t b);

#endif
