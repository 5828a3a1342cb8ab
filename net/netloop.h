// The connection to the rendering server, the receive step that writes the
// page file, and the failure path.
#ifndef CV_NET_NETLOOP_H
#define CV_NET_NETLOOP_H

#include "winsock.h"

extern SOCKET conn_socket;
// Data has arrived since the last request was sent.
extern BYTE arrival_mark;
// Bytes the page cut removed from the page file while drawing.
extern LONG page_shrink_count;

// Opens the connection. Returns 0 to go on with the loop (online, or offline
// on a status page), 1 when main_loop must return *result.
int net_open(const char* host, WORD port, int tunnel, const char* request, int request_len, int* result);
// One receive step: 1 when bytes arrived, 0 when none, -1 when main_loop must
// return *result.
int net_receive_step(int* result);
// The failure path for socket error err: 0 to go on (offline), 1 when
// main_loop must return 0.
int net_fail(int err);

#endif
