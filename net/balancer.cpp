// Neutral stand-in until the balancer lookup is built.
#include "net/balancer.h"

BYTE tunnel_in_use;
BYTE tunnel_to_443;

void balancer_lookup(HostEntry*) {}

void status_page_switch(const char* path) {
    app.offline = 1;
    app.page_file_path = path;
    app.redraw_pending = 1;
}
