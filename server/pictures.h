// The picture limit of a page state: every picture the page holds counts
// the pixels it costs the engine once decoded, and those past the limit are
// left out in their place.
#ifndef CV_SERVER_PICTURES_H
#define CV_SERVER_PICTURES_H

#include <cstdint>
#include <string>

// The name of the engine world the pass runs in, apart from the page's own
// scripts (which could otherwise change what it calls).
extern const char* const PICTURES_WORLD;

// A script that holds the page state to limit pixels: it counts, in document
// order, the pictures of <img>, <picture> and srcset candidates, image inputs,
// video posters and frames, style pictures (backgrounds with all their
// layers, image-set, list and border images, masks, content pictures of
// elements and of their ::before and ::after boxes), inline SVG and its
// pictures, canvases, and frames, objects and embeds (same-origin frames and
// open shadow roots are walked too), and leaves out those past the limit.
// A picture whose size is not known after wait_ms counts nothing this time.
// Its result is {out: pictures left out now, held: pixels kept}, and when
// some were left out, url (the page's address) and fighting: whether the
// page's scripts kept putting them back.
std::string pictures_limit_expression(int64_t limit, int wait_ms);

#endif
