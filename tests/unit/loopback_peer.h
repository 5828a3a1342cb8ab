// A peer on the host's loopback for unit tests that send through the
// device's sockets: listens, accepts one connection, reads what arrived.
#ifndef CV_TESTS_LOOPBACK_PEER_H
#define CV_TESTS_LOOPBACK_PEER_H

#include <string>

struct LoopbackPeer {
    int listener = -1;
    int conn = -1;
    int port = 0;
};

// Listens on 127.0.0.1 at a free port; 0 on success.
int peer_listen(LoopbackPeer* p);
// Accepts the connection the device made; 0 on success.
int peer_accept(LoopbackPeer* p);
// Everything that arrives within ms milliseconds of quiet.
std::string peer_read(LoopbackPeer* p, int ms);
int peer_write(LoopbackPeer* p, const std::string& data);
void peer_close(LoopbackPeer* p);

#endif
