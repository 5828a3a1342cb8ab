// Windows Sockets 1.1, as the emulated device provides it.
//
// The socket calls carry their platform names; they are routed to the
// device's implementation so that they never meet the host's own.
#ifndef CV_PLATFORM_WINSOCK_H
#define CV_PLATFORM_WINSOCK_H

#include "wince.h"

typedef uintptr_t SOCKET;
#define INVALID_SOCKET ((SOCKET)(~(uintptr_t)0))
#define SOCKET_ERROR (-1)

#define AF_INET 2
#define SOCK_STREAM 1
#define IPPROTO_TCP 6
#define INADDR_NONE 0xffffffffUL

#define WSAEWOULDBLOCK 10035
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOTCONN 10057
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAEHOSTUNREACH 10065
#define WSAEINVAL 10022
#define WSAENOTSOCK 10038
#define WSAHOST_NOT_FOUND 11001
#define WSANO_DATA 11004
#define WSANOTINITIALISED 10093

#define FIONREAD 0x4004667FL
#define FIONBIO 0x8004667EL

#define MAKEWORD(a, b) ((WORD)(((BYTE)(a)) | ((WORD)((BYTE)(b))) << 8))

struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[257];
    char szSystemStatus[129];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
};

struct ws_in_addr {
    uint32_t s_addr;  // network order
};
struct ws_sockaddr {
    uint16_t sa_family;
    char sa_data[14];
};
struct ws_sockaddr_in {
    int16_t sin_family;
    uint16_t sin_port;  // network order
    ws_in_addr sin_addr;
    char sin_zero[8];
};
struct ws_hostent {
    char* h_name;
    char** h_aliases;
    short h_addrtype;
    short h_length;
    char** h_addr_list;
};
#define in_addr ws_in_addr
#define sockaddr ws_sockaddr
#define sockaddr_in ws_sockaddr_in
#define hostent ws_hostent
typedef ws_sockaddr_in SOCKADDR_IN;
typedef ws_sockaddr SOCKADDR;
typedef ws_hostent HOSTENT;

int WSAStartup(WORD version, WSADATA* data);
int WSACleanup(void);
int WSAGetLastError(void);
void WSASetLastError(int err);

SOCKET ws_socket(int af, int type, int protocol);
int ws_connect(SOCKET s, const ws_sockaddr* addr, int len);
int ws_send(SOCKET s, const char* buf, int len, int flags);
int ws_recv(SOCKET s, char* buf, int len, int flags);
int ws_ioctlsocket(SOCKET s, long cmd, unsigned long* arg);
int ws_closesocket(SOCKET s);
unsigned long ws_inet_addr(const char* text);
ws_hostent* ws_gethostbyname(const char* name);
ws_hostent* ws_gethostbyaddr(const char* addr, int len, int type);
uint16_t ws_htons(uint16_t v);

#define socket ws_socket
#define connect ws_connect
#define send ws_send
#define recv ws_recv
#define ioctlsocket ws_ioctlsocket
#define closesocket ws_closesocket
#define inet_addr ws_inet_addr
#define gethostbyname ws_gethostbyname
#define gethostbyaddr ws_gethostbyaddr
#undef htons
#define htons ws_htons

#endif
