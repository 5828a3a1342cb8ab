// Event messages that the window procedure builds itself.
#ifndef CV_NET_EVENTS_H
#define CV_NET_EVENTS_H

// The pen-up tap at a landscape screen point: writes the MC or SC message
// into event_text and sets pending_event (nothing for a tap on a thumb).
void events_tap(int x, int y);

#endif
