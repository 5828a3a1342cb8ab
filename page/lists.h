// The page's element lists (frames, scroll bars, controls) and the decoded
// image table, as start-up clears them and shut-down frees them.
#ifndef CV_PAGE_LISTS_H
#define CV_PAGE_LISTS_H

// Start-up: every list empty, the image table cleared.
void page_lists_init();
// Shut-down: frees the control lists, frames and scroll bars.
void page_lists_free();
// Shut-down: releases the decoded images and zeroes the table's counts.
void page_images_release();

#endif
