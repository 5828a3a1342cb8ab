// The load balancer lookup, host resolution and the status page switch.
#ifndef CV_NET_BALANCER_H
#define CV_NET_BALANCER_H

#include "shell/app.h"

// Connection flags read by the connection set-up.
extern BYTE tunnel_in_use;
extern BYTE tunnel_to_443;

void balancer_lookup(HostEntry* server);
// Shows a status page: offline, page_file_path, redraw, demo history.
void status_page_switch(const char* path);

#endif
