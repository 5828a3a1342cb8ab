// Rewriting the page file: the page cut and the removal of a frame's tags.
#ifndef CV_PAGE_REWRITE_H
#define CV_PAGE_REWRITE_H

#include <stdio.h>

#include "wince.h"

// The page cut's temporary copy of what follows the CL tag.
#define PAGE_CUT_TEMP "/cv/wdom.tmp"

// CL: the page file restarts after the tag. Replaces the interpreter's open
// stream with the shortened file at its start, grows page_shrink_count by the
// bytes cut, and empties the image cache and the page's records. When a file
// cannot be opened the page file is left as it was and interpretation stops;
// when writing the kept tags back falls short the page file is emptied (no
// fragment of a tag stays for later data to join) and interpretation stops.
void page_cut();
// Removes from the page file (app.page_file_path) the tags of frame f that
// end at or before the position of stream (just after an sw tag), with their
// texts and payloads, and every SS, ST and IE tag before it. Closes stream and
// returns the rewritten file opened for reading at its start; when memory
// runs out nothing is removed and stream is returned at its position; when
// the file cannot be rewritten it stays as it was and is returned open at
// that position (after the sw). Null when the page file could not be
// reopened, or a short write left it damaged.
FILE* frame_tags_remove(DWORD f, FILE* stream);
// The same on the page file opened for update at offset; nothing when it does
// not open. Used by the network loop when an sw tag arrives.
void frame_tags_remove_at(DWORD f, long offset);

// Fault injection for tests: non-zero makes frame_tags_remove's allocations
// fail, as when memory runs out.
extern int rewrite_fail_alloc;

#endif
