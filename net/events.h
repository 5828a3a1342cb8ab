// The upstream event messages: the texts the client sends to the rendering
// server for what the user does. Producers write a message into its AppState
// buffer and set the pending flag; main_loop sends it on its next turn.
#ifndef CV_NET_EVENTS_H
#define CV_NET_EVENTS_H

// Formats, numbers in decimal.
#define EV_TAP_FORMAT "%s %d %d>\r\n\r\n"   // "<MC" or "<SC", page x, page y
#define EV_MC_FORMAT "<MC %d %d>\r\n\r\n"
#define EV_PAGE_LEFT "<PGL>\r\n\r\n"
#define EV_PAGE_RIGHT "<PGR>\r\n\r\n"
#define EV_PAGE_UP "<PGU>\r\n\r\n"
#define EV_PAGE_DOWN "<PGD>\r\n\r\n"
#define EV_BACK "<BA>\r\n\r\n"
#define EV_FORWARD "<FO>\r\n\r\n"
#define EV_ZOOM_IN "<ZU>\r\n\r\n"
#define EV_ZOOM_OUT "<ZD>\r\n\r\n"
#define EV_STOP "<STP>\r\n\r\n"
#define EV_RELOAD "<RF>\r\n\r\n"
#define EV_QUIT "<QT>\r\n\r\n"
#define EV_URL_FORMAT "%s %s %s\r\n\r\n"    // "<URL", address, ">"
#define EV_TEXT_FORMAT "<T%c %s %d %d %s >" // 'F' or 'A', name, characters + lines, bytes, text
#define EV_LIST_FORMAT "%s %s %d >"         // "<LM" or "<DM", name, item index

// A landscape screen point in page units: times 2, or times 3/2 (toward
// zero) while zoomed.
int events_page_units(int v);
// The pen-up tap at a landscape screen point: writes the MC or SC message
// into event_text and sets pending_event; a tap on a scroll bar's thumb sends
// nothing (and withdraws an unsent tap).
void events_tap(int x, int y);
// Back and forward into history_text; page scrolling into scroll_text.
void events_history(const char* text);
void events_scroll(const char* text);

#endif
