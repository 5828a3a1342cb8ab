#include "loopback_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

int peer_listen(LoopbackPeer* p) {
    p->listener = ::socket(AF_INET, SOCK_STREAM, 0);
    if (p->listener < 0) return -1;
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(p->listener, (struct sockaddr*)&a, sizeof a) < 0 || ::listen(p->listener, 4) < 0) return -1;
    socklen_t len = sizeof a;
    getsockname(p->listener, (struct sockaddr*)&a, &len);
    p->port = ntohs(a.sin_port);
    return 0;
}

int peer_accept(LoopbackPeer* p) {
    p->conn = ::accept(p->listener, nullptr, nullptr);
    return p->conn < 0 ? -1 : 0;
}

std::string peer_read(LoopbackPeer* p, int ms) {
    std::string out;
    char buf[4096];
    for (;;) {
        struct pollfd f = {p->conn, POLLIN, 0};
        if (poll(&f, 1, ms) <= 0) break;
        ssize_t n = ::recv(p->conn, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, (size_t)n);
    }
    return out;
}

int peer_write(LoopbackPeer* p, const std::string& data) {
    return (int)::send(p->conn, data.data(), data.size(), MSG_NOSIGNAL);
}

void peer_close(LoopbackPeer* p) {
    if (p->conn >= 0) ::close(p->conn);
    if (p->listener >= 0) ::close(p->listener);
    p->conn = p->listener = -1;
}
