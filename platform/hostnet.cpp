// BSD socket side of the device's Windows Sockets.
#include "hostnet.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

// Windows Sockets codes for the host's errno values.
static int wsa_code(int e) {
    switch (e) {
    case EWOULDBLOCK: return 10035;
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: case EBADF: return 10038;
    case EINVAL: return 10022;
    case EMSGSIZE: return 10040;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ECONNABORTED: return 10053;
    case ECONNRESET: case EPIPE: return 10054;  // a send on a closed peer is a reset too
    case ENOBUFS: case ENOMEM: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case EHOSTUNREACH: return 10065;
    case EMFILE: return 10024;
    default: return 10050 + 0 * e;
    }
}

int host_socket(int* err) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) *err = wsa_code(errno);
    return fd;
}

int host_connect(int fd, uint32_t addr_net, uint16_t port_net, int* err) {
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = port_net;
    a.sin_addr.s_addr = addr_net;
    int r;
    do r = ::connect(fd, (struct sockaddr*)&a, sizeof a);
    while (r < 0 && errno == EINTR);
    if (r < 0) {
        *err = wsa_code(errno);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return 0;
}

int host_send(int fd, const char* buf, int len, int* err) {
    // MSG_NOSIGNAL: a closed peer is an error result, never a signal.
    ssize_t r;
    do r = ::send(fd, buf, (size_t)len, MSG_NOSIGNAL);
    while (r < 0 && errno == EINTR);
    if (r < 0) {
        *err = wsa_code(errno);
        return -1;
    }
    return (int)r;
}

int host_recv(int fd, char* buf, int len, int* err) {
    ssize_t r;
    do r = ::recv(fd, buf, (size_t)len, 0);
    while (r < 0 && errno == EINTR);
    if (r < 0) {
        *err = wsa_code(errno);
        return -1;
    }
    return (int)r;
}

int host_available(int fd, unsigned long* count, int* err) {
    // One poll answers the common idle case: nothing readable and nothing
    // pending means no bytes and no error.
    struct pollfd q = {fd, POLLIN, 0};
    if (poll(&q, 1, 0) == 0) {
        *count = 0;
        return 0;
    }
    int n = 0;
    if (ioctl(fd, FIONREAD, &n) < 0) {
        *err = wsa_code(errno);
        return -1;
    }
    if (n == 0) {
        // Nothing waiting: a connection the peer reset reports its error here,
        // as the device's stack does; an orderly close simply has no bytes.
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 0) == 1 && (p.revents & (POLLIN | POLLERR | POLLHUP))) {
            char c;
            ssize_t r = ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
            if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                *err = wsa_code(errno);
                return -1;
            }
        }
    }
    *count = (unsigned long)n;
    return 0;
}

int host_set_nonblocking(int fd, bool on, int* err) {
    int fl = fcntl(fd, F_GETFL, 0);
    if (fl < 0 || fcntl(fd, F_SETFL, on ? (fl | O_NONBLOCK) : (fl & ~O_NONBLOCK)) < 0) {
        *err = wsa_code(errno);
        return -1;
    }
    return 0;
}

int host_close(int fd) { return ::close(fd); }

int host_resolve(const char* name, uint32_t* out, int max, int* err) {
    struct addrinfo hints, *res = nullptr;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    int r = getaddrinfo(name, nullptr, &hints, &res);
    if (r != 0 || !res) {
        *err = r == EAI_AGAIN ? 11002 : 11001;  // try again / host not found
        return 0;
    }
    int n = 0;
    for (struct addrinfo* a = res; a && n < max; a = a->ai_next)
        out[n++] = ((struct sockaddr_in*)a->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(res);
    return n;
}

uint32_t host_inet_addr(const char* text) { return ::inet_addr(text); }

void host_ntoa(uint32_t addr_net, char* out, int size) {
    struct in_addr a;
    a.s_addr = addr_net;
    inet_ntop(AF_INET, &a, out, (socklen_t)size);
}

bool host_any_readable(const int* fds, int count) {
    // One poll for all of them; only those it reports are asked for a count.
    struct pollfd q[64];
    bool polled = count > 0 && count <= 64;
    if (polled) {
        for (int i = 0; i < count; i++) q[i] = {fds[i], POLLIN, 0};
        int ready = poll(q, (nfds_t)count, 0);
        if (ready == 0) return false;
        // A failed poll (a signal, say) tells nothing: ask each one instead.
        if (ready < 0) polled = false;
    }
    for (int i = 0; i < count; i++) {
        if (polled && q[i].revents == 0) continue;
        int n = 0;
        if (ioctl(fds[i], FIONREAD, &n) == 0 && n > 0) return true;
    }
    return false;
}
