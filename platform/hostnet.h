// The host's BSD sockets behind the device's Windows Sockets, with plain
// types only, so that neither side sees the other's declarations. Results are
// -1 on failure with *err set to a Windows Sockets error code.
#ifndef CV_PLATFORM_HOSTNET_H
#define CV_PLATFORM_HOSTNET_H

#include <cstdint>

int host_socket(int* err);
int host_connect(int fd, uint32_t addr_net, uint16_t port_net, int* err);
int host_send(int fd, const char* buf, int len, int* err);
int host_recv(int fd, char* buf, int len, int* err);
int host_available(int fd, unsigned long* count, int* err);
int host_set_nonblocking(int fd, bool on, int* err);
int host_close(int fd);
// Resolves a name to IPv4 addresses (network order); returns the count.
int host_resolve(const char* name, uint32_t* out, int max, int* err);
uint32_t host_inet_addr(const char* text);
void host_ntoa(uint32_t addr_net, char* out, int size);
// Some socket of the list has bytes waiting.
bool host_any_readable(const int* fds, int count);

#endif
