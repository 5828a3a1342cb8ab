// Neutral stand-in until the network loop is built.
#include "net/netloop.h"

SOCKET conn_socket = INVALID_SOCKET;
BYTE arrival_mark;
LONG page_shrink_count;

int net_open(const char*, WORD, int, const char*, int, int*) { return 0; }
int net_receive_step(int*) { return 0; }
int net_fail(int) { return 1; }
