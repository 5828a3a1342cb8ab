// Windows Sockets 1.1 of the device, on the host's BSD sockets.
#include "winsock.h"

#include <chrono>
#include <mutex>
#include <vector>

#include "emu_internal.h"
#include "hostnet.h"

static thread_local int ws_error;
static bool started;
static std::mutex socks_lock;
static std::vector<int> socks;  // the program's open sockets
static std::chrono::steady_clock::time_point last_data;

static int fail(int err) {
    ws_error = err;
    return SOCKET_ERROR;
}

double emu_last_data_ms() {
    using namespace std::chrono;
    std::lock_guard<std::mutex> g(socks_lock);
    return duration<double, std::milli>(last_data.time_since_epoch()).count();
}

void emu_note_data() {
    std::lock_guard<std::mutex> g(socks_lock);
    last_data = std::chrono::steady_clock::now();
}

bool emu_sockets_pending() {
    std::lock_guard<std::mutex> g(socks_lock);
    return host_any_readable(socks.data(), (int)socks.size());
}

int WSAStartup(WORD version, WSADATA* data) {
    if (!data) return WSAEINVAL;
    memset(data, 0, sizeof *data);
    data->wVersion = version;
    data->wHighVersion = MAKEWORD(1, 1);
    strcpy(data->szDescription, "Emulated device sockets");
    strcpy(data->szSystemStatus, "Running");
    data->iMaxSockets = 64;
    if ((version & 0xff) < 1) return 10092;  // WSAVERNOTSUPPORTED
    started = true;
    return 0;
}

int WSACleanup(void) {
    if (!started) return fail(WSANOTINITIALISED);
    started = false;
    return 0;
}

int WSAGetLastError(void) { return ws_error; }
void WSASetLastError(int err) { ws_error = err; }

SOCKET ws_socket(int af, int type, int) {
    if (!started) return fail(WSANOTINITIALISED), INVALID_SOCKET;
    if (af != AF_INET || type != SOCK_STREAM) return fail(10047), INVALID_SOCKET;
    int err = 0;
    int fd = host_socket(&err);
    if (fd < 0) return fail(err), INVALID_SOCKET;
    std::lock_guard<std::mutex> g(socks_lock);
    socks.push_back(fd);
    return (SOCKET)fd;
}

int ws_connect(SOCKET s, const ws_sockaddr* addr, int len) {
    if (!addr || len < (int)sizeof(ws_sockaddr_in)) return fail(WSAEINVAL);
    const ws_sockaddr_in* a = (const ws_sockaddr_in*)addr;
    if (a->sin_family != AF_INET) return fail(10047);
    int err = 0;
    if (host_connect((int)s, a->sin_addr.s_addr, a->sin_port, &err) < 0) return fail(err);
    return 0;
}

int ws_send(SOCKET s, const char* buf, int len, int) {
    if (!buf || len < 0) return fail(WSAEINVAL);
    int err = 0;
    int done = 0;
    // A stream send hands over the whole buffer unless the connection fails.
    while (done < len) {
        int r = host_send((int)s, buf + done, len - done, &err);
        if (r < 0) {
            if (err == WSAEWOULDBLOCK) {
                Sleep(1);
                continue;
            }
            return done > 0 ? done : fail(err);
        }
        done += r;
    }
    return done;
}

int ws_recv(SOCKET s, char* buf, int len, int) {
    if (!buf || len < 0) return fail(WSAEINVAL);
    int err = 0;
    int r = host_recv((int)s, buf, len, &err);
    if (r < 0) return fail(err);
    if (r > 0) emu_note_data();
    return r;
}

int ws_ioctlsocket(SOCKET s, long cmd, unsigned long* arg) {
    if (!arg) return fail(WSAEINVAL);
    int err = 0;
    if (cmd == FIONREAD) {
        if (host_available((int)s, arg, &err) < 0) return fail(err);
        return 0;
    }
    if (cmd == FIONBIO) {
        if (host_set_nonblocking((int)s, *arg != 0, &err) < 0) return fail(err);
        return 0;
    }
    return fail(WSAEINVAL);
}

int ws_closesocket(SOCKET s) {
    {
        std::lock_guard<std::mutex> g(socks_lock);
        for (auto it = socks.begin(); it != socks.end(); ++it)
            if (*it == (int)s) {
                socks.erase(it);
                break;
            }
    }
    if (host_close((int)s) < 0) return fail(WSAENOTSOCK);
    return 0;
}

unsigned long ws_inet_addr(const char* text) {
    if (!text) return INADDR_NONE;
    return host_inet_addr(text);
}

// One static result, as the platform returns it.
static struct {
    ws_hostent h;
    char name[256];
    uint32_t addrs[8];
    char* addr_list[9];
    char* aliases[1];
} hostbuf;

static ws_hostent* fill_host(const char* name, const uint32_t* addrs, int n) {
    memset(&hostbuf, 0, sizeof hostbuf);
    snprintf(hostbuf.name, sizeof hostbuf.name, "%s", name);
    for (int i = 0; i < n && i < 8; i++) {
        hostbuf.addrs[i] = addrs[i];
        hostbuf.addr_list[i] = (char*)&hostbuf.addrs[i];
    }
    hostbuf.h.h_name = hostbuf.name;
    hostbuf.h.h_aliases = hostbuf.aliases;
    hostbuf.h.h_addrtype = AF_INET;
    hostbuf.h.h_length = 4;
    hostbuf.h.h_addr_list = hostbuf.addr_list;
    return &hostbuf.h;
}

ws_hostent* ws_gethostbyname(const char* name) {
    if (!name) return fail(WSAEINVAL), nullptr;
    uint32_t a = host_inet_addr(name);
    if (a != 0xffffffffu) return fill_host(name, &a, 1);  // a dotted address answers itself
    uint32_t addrs[8];
    int err = 0;
    int n = host_resolve(name, addrs, 8, &err);
    if (n <= 0) return fail(err), nullptr;
    return fill_host(name, addrs, n);
}

ws_hostent* ws_gethostbyaddr(const char* addr, int len, int type) {
    // No reverse lookup: the address itself is the answer.
    if (!addr || len != 4 || type != AF_INET) return fail(WSAEINVAL), nullptr;
    uint32_t a;
    memcpy(&a, addr, 4);
    char text[32];
    host_ntoa(a, text, sizeof text);
    return fill_host(text, &a, 1);
}

uint16_t ws_htons(uint16_t v) { return (uint16_t)((v << 8) | (v >> 8)); }
