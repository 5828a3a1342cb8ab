// Neutral stand-in until page file rewriting is built.
#include "page/rewrite.h"

void frame_tags_remove_at(int, long) {}
