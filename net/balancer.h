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

// What one complete answer of the balancer asks for.
enum BalancerOutcome {
    BALANCER_RECEIVE,   // read the next answer
    BALANCER_RESTART,   // start the lookup over on a new connection
    BALANCER_DONE,      // server and first page known (or the upgrade page is up)
    BALANCER_REDIRECT,  // send the request written into the redirect buffer
    BALANCER_FAIL,      // counts as a failed receive
    BALANCER_EXIT       // a redirect without CR LF after its location: the program ends
};

// The reply reader: one complete answer (NUL-terminated), the number of
// answers received so far on this lookup (this one included). Fills
// server->host and app.start_url from a reply text, or writes the request
// that follows a redirect into redirect (size bytes) with its length.
BalancerOutcome balancer_read_answer(const char* answer, int answers, HostEntry* server, char* redirect,
                                     int size, int* redirect_len);
// Asks the balancer for the rendering server and the first page; fills
// server->host and app.start_url, or switches to a status page.
void balancer_lookup(HostEntry* server);
// Fills addr for host and port: a dotted address is taken as it is, a name
// is resolved. 0, or -1 with the platform's error.
int net_resolve(const char* host, WORD port, sockaddr_in* addr);
// Shows a status page: offline, page_file_path, redraw, demo history.
void status_page_switch(const char* path);

#endif
