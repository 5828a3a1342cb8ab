// Neutral stand-in until the event vocabulary is built.
#include "net/events.h"

#include "shell/app.h"

void events_tap(int x, int y) {
    int px = zoom_mode ? x * 3 / 2 : x * 2, py = zoom_mode ? y * 3 / 2 : y * 2;
    snprintf(app.event_text, sizeof app.event_text, "%s %d %d>\r\n\r\n", "<MC", px, py);
    app.pending_event = 1;
}
