// The load balancer lookup, host resolution and the status page switch.
//
// The balancer is asked with
//   GET http://balancer:port/cgi-bin/loadbalance.cgi?customer+major.minor HTTP/1.1
// and answers, bare or as the body of an HTTP reply (chunked or not),
//   server-host first-page [UP...]
// ended by a blank line.
#ifndef CV_NET_BALANCER_H
#define CV_NET_BALANCER_H

#include "shell/app.h"
#include "winsock.h"

// Connection flags read by the connection set-up: a tunnel request goes
// first, to port 443 of the server or to its own port.
extern BYTE tunnel_in_use;
extern BYTE tunnel_to_443;

// How long one balancer answer may take (device milliseconds) before it
// counts as a failed receive.
#define BALANCER_ANSWER_TIMEOUT_MS 10000

// Asks the balancer for the rendering server and the first page; fills
// server->host and app.start_url, or switches to a status page.
void balancer_lookup(HostEntry* server);
// Fills addr for host and port: a dotted address is taken as it is, a name
// is resolved. 0, or -1 with the platform's error.
int net_resolve(const char* host, WORD port, sockaddr_in* addr);
// Shows a status page: offline, page_file_path, redraw, demo history.
void status_page_switch(const char* path);

#endif
