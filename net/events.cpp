// Event messages built by the window procedure: the plain tap, history and
// page scrolling.
#include "net/events.h"

#include "gfx/fb.h"
#include "page/frames.h"
#include "shell/app.h"

int events_page_units(int v) { return zoom_mode ? v * 3 / 2 : v * 2; }

// First scroll bar of the page whose whole bar holds the screen point.
static ScrollBar* bar_at(int x, int y) {
    for (ScrollBar* b = page_scrollbars; b; b = b->next)
        if (x >= b->rect.left && x <= b->rect.right && y >= b->rect.top && y <= b->rect.bottom) return b;
    return nullptr;
}

// A tap on a bar outside its thumb asks to scroll there: the coordinate is
// put just outside the thumb. Returns 0 for a tap on the thumb itself.
static int clamp_to_thumb(int* v, const ScrollBar* b) {
    if (*v < (int)b->position) *v = (int)b->position - 3;
    else if (*v > (int)b->end) *v = (int)b->end + 3;
    else return 0;
    return 1;
}

void events_tap(int x, int y) {
    int px = events_page_units(x), py = events_page_units(y);
    const char* prefix = "<MC";
    ScrollBar* bar = bar_at(x, y);
    if (bar) {
        prefix = "<SC";
        int ok = bar->kind == 'H' ? clamp_to_thumb(&px, bar) : clamp_to_thumb(&py, bar);
        if (!ok) {
            app.pending_event = 0;
            return;
        }
    } else if (page_scrollbars && px > 614) {
        // Taps beside the right-hand scroll strip land on the page's edge.
        px -= 8;
    }
    snprintf(app.event_text, sizeof app.event_text, EV_TAP_FORMAT, prefix, px, py);
    app.pending_event = 1;
}

void events_history(const char* text) {
    snprintf(app.history_text, sizeof app.history_text, "%s", text);
    app.pending_history = 1;
}

void events_scroll(const char* text) {
    snprintf(app.scroll_text, sizeof app.scroll_text, "%s", text);
    app.pending_scroll = 1;
}
