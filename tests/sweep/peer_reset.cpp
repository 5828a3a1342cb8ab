// Ends a loopback peer's connection with a reset instead of an orderly close.
// Kept apart from the tests, which see the device's socket names instead of
// the host's.
#include <sys/socket.h>
#include <unistd.h>

#include "tests/unit/loopback_peer.h"

void peer_reset(LoopbackPeer* p) {
    if (p->conn < 0) return;
    struct linger l = {1, 0};
    setsockopt(p->conn, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(p->conn);
    p->conn = -1;
}
