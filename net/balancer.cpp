// The load balancer lookup: which rendering server to use and which page to
// open first.
#include "net/balancer.h"

#include "shell/datafiles.h"

BYTE tunnel_in_use;
BYTE tunnel_to_443;

#define REPLY_SIZE 4096
#define MAX_RETRIES 5

// Reply buffer and the copy of the last complete answer that is parsed.
static char reply[REPLY_SIZE];
static char answer[REPLY_SIZE];

static const char BUSY_PAGE[] = "/cv/busy.txt";
static const char UPGRADE_PAGE[] = "/cv/cvupgrade.txt";

static int is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

static const char* skip_space(const char* p) {
    while (*p && is_space(*p)) p++;
    return p;
}

int net_resolve(const char* host, WORD port, sockaddr_in* addr) {
    unsigned long a = inet_addr(host);
    hostent* h = a != INADDR_NONE ? gethostbyaddr((const char*)&a, 4, AF_INET) : gethostbyname(host);
    if (!h || !h->h_addr_list || !h->h_addr_list[0]) return -1;
    memset(addr, 0, sizeof *addr);
    addr->sin_family = AF_INET;
    addr->sin_port = htons(port);
    memcpy(&addr->sin_addr.s_addr, h->h_addr_list[0], 4);
    return 0;
}

void status_page_switch(const char* path) {
    app.offline = 1;
    app.page_file_path = path;
    app.redraw_pending = 1;
    load_demo_history();
}

static int has_terminator(const char* s) {
    return strstr(s, "ZZZ\n\n") || strstr(s, "ZZZ\r\n\r\n") || strstr(s, "\n\n") || strstr(s, "\r\n\r\n");
}

// Receives one answer into reply, from its start: 0 when a terminator came,
// -1 on an error, an early close, a full buffer without terminator, or no
// answer within the time limit (a balancer that never answers must not hang
// the start-up).
static int receive_answer(SOCKET s) {
    int len = 0;
    reply[0] = 0;
    DWORD start = GetTickCount();
    while (len < REPLY_SIZE - 1) {
        int r = recv(s, reply + len, REPLY_SIZE - 1 - len, 0);
        if (r == 0) return -1;  // closed before the answer was complete
        if (r < 0) {
            if (WSAGetLastError() != WSAEWOULDBLOCK) return -1;
            if (GetTickCount() - start > BALANCER_ANSWER_TIMEOUT_MS) return -1;
            Sleep(10);
            continue;
        }
        len += r;
        reply[len] = 0;
        if (has_terminator(reply)) return 0;
    }
    return -1;
}

// Copies the word at p (ended by white space or the end) into dst; returns
// the end of the word.
static const char* take_word(const char* p, char* dst, size_t size) {
    size_t n = 0;
    while (p[n] && !is_space(p[n])) n++;
    size_t copy = n < size ? n : size - 1;
    memcpy(dst, p, copy);
    dst[copy] = 0;
    return p + n;
}

// Header handling of an HTTP answer; returns the start of the reply text, or
// null when the answer holds none yet.
static const char* http_reply_text(const char* a) {
    if (strstr(a, "Via: ")) {
        // A transparent proxy is in the way: tunnel to the server's own port.
        tunnel_in_use = 1;
        tunnel_to_443 = 0;
    }
    const char* text = strstr(a, "\r\n\r\n");
    if (!text) return nullptr;
    text += 4;
    if (strstr(a, "Transfer-Encoding: chunked")) {
        text = strstr(skip_space(text), "\r\n");  // past the chunk-size line
        if (!text) return nullptr;
        text += 2;
    }
    text = skip_space(text);
    return *text ? text : nullptr;
}

// The reply text: server host, first page, optional upgrade demand.
static BalancerOutcome reply_text(const char* text, HostEntry* server) {
    const char* p = take_word(text, server->host, sizeof server->host);
    p = skip_space(p);
    if (!*p) {
        app.start_url[0] = 0;
        return BALANCER_RECEIVE;
    }
    p = take_word(p, app.start_url, sizeof app.start_url);
    p = skip_space(p);
    if (p[0] == 'U' && p[1] == 'P') status_page_switch(UPGRADE_PAGE);
    return BALANCER_DONE;
}

BalancerOutcome balancer_read_answer(const char* answer, int answers, HostEntry* server, char* redirect,
                                     int size, int* redirect_len) {
    *redirect_len = 0;
    bool http = strncmp(answer, "HTTP", 4) == 0;
    if ((answers == 1 || answers == 3) && http) {
        const char* loc = strstr(answer, "Location:");
        if (loc) {
            const char* start = skip_space(loc + 9);
            const char* end = strstr(start, "\r\n");
            if (!end) return BALANCER_EXIT;
            // A location too long for the request buffer cannot be followed:
            // the answer counts as a failed receive.
            int len = snprintf(redirect, (size_t)size, "GET %.*s HTTP/1.0\r\n\r\n", (int)(end - start), start);
            if (len < 0 || len >= size) return BALANCER_FAIL;
            *redirect_len = len;
            return BALANCER_REDIRECT;
        }
        const char* text = http_reply_text(answer);
        return text ? reply_text(text, server) : BALANCER_RECEIVE;
    }
    if (answers == 1) return reply_text(answer, server);
    if (answers == 2) return BALANCER_RESTART;
    return BALANCER_RECEIVE;
}

void balancer_lookup(HostEntry* server) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return;
    int answers = 0, retries = 0;
    const HostEntry& target = app.proxy_entry.enabled ? app.proxy_entry : app.balancer_entry;
    const HostEntry& b = app.balancer_entry;
    for (;;) {
        // (Re)start: resolve, connect, send the request.
        sockaddr_in addr;
        bool failed_receive = false;
        if (net_resolve(target.host, target.port, &addr) != 0) {
            closesocket(s);
            if (retries >= MAX_RETRIES) return;
            Sleep(1000);
            retries++;
            s = socket(AF_INET, SOCK_STREAM, 0);
            if (s == INVALID_SOCKET) return;
            continue;
        }
        if (connect(s, (sockaddr*)&addr, sizeof addr) != 0) {
            closesocket(s);
            return;
        }
        // Answers are polled so that a silent balancer times out.
        unsigned long on = 1;
        ioctlsocket(s, FIONBIO, &on);
        char url[512];
        snprintf(url, sizeof url, "http://%s:%d/cgi-bin/loadbalance.cgi?%s+%d.%s", b.host, (int)b.port,
                 app.customer_name, (int)app.version_major, app.version_minor);
        char request[800];
        int n = snprintf(request, sizeof request, "GET %s HTTP/1.1\r\nHost: %s\r\nConnection: keep-alive\r\n\r\n",
                         url, b.host);
        if (send(s, request, n, 0) != n) {
            closesocket(s);
            return;
        }
        BalancerOutcome next = BALANCER_RECEIVE;
        while (next == BALANCER_RECEIVE) {
            if (receive_answer(s) != 0) {
                failed_receive = true;
                break;
            }
            memcpy(answer, reply, sizeof answer);
            answers++;
            char redirect[800];
            int len;
            next = balancer_read_answer(answer, answers, server, redirect, sizeof redirect, &len);
            if (next == BALANCER_EXIT) ExitProcess(1);
            if (next == BALANCER_FAIL) {
                failed_receive = true;
                break;
            }
            if (next == BALANCER_REDIRECT) {
                // Its answer is the second one, and is discarded.
                if (send(s, redirect, len, 0) != len) ExitProcess(1);
                next = BALANCER_RECEIVE;
            }
        }
        if (next == BALANCER_DONE) {
            closesocket(s);
            return;
        }
        closesocket(s);
        if (failed_receive) {
            if (retries >= MAX_RETRIES) {
                status_page_switch(BUSY_PAGE);
                return;
            }
            Sleep(1000);
            retries++;
        }
        s = socket(AF_INET, SOCK_STREAM, 0);
        if (s == INVALID_SOCKET) return;
    }
}
