// Request framing and the scrambling of message bodies.
#include "net/framing.h"

#include "net/key.h"
#include "net/netloop.h"
#include "net/xtea.h"
#include "shell/app.h"
#include "winsock.h"

BYTE scramble_flag = 1;
unsigned char working_key[16];
char request_buffer[REQUEST_BUFFER_SIZE];

static unsigned char send_buffer[SEND_BUFFER_SIZE];

static const char EVENT_HEADER[] =
    "POST http://%s:%d/j.t HTTP/1.0\r\nHost: %s:%d\r\nConnection: keep-alive\r\nContent-length: %d\r\n\r\n";
static const char LOGIN_HEADER[] =
    "POST http://%s:%d/j.t HTTP/1.0\r\nHost: %s\r\nConnection: keep-alive\r\nContent-length: %d\r\n\r\n";

static_assert(sizeof(CV_BASE_KEY) == 16, "the base key is 16 bytes");

void scramble_reset_key() { memcpy(working_key, CV_BASE_KEY, sizeof working_key); }

// The working key starts as the base key before anything runs.
[[maybe_unused]] static const int key_ready = (scramble_reset_key(), 1);

DWORD scramble_block(unsigned char* buf, int len, int* padded) {
    DWORD r = Random() & 7;
    working_key[2] = (unsigned char)r;
    int n = (len + 7) & ~7;
    memset(buf + len, 0, (size_t)(n - len));
    xtea_encipher_buffer(buf, n, working_key);
    *padded = n;
    return (DWORD)len * 8 + r;
}

int scramble_decipher(DWORD v, unsigned char* data, int avail) {
    int len = (int)(v >> 3);
    int n = (len + 7) & ~7;
    if (n > avail || n < 0) return -1;
    working_key[2] = (unsigned char)(v & 7);
    xtea_decipher_buffer(data, n, working_key);
    return len;
}

// Sum of the bytes of a text, each a signed 8-bit number.
static int32_t signed_sum(const char* s) {
    int32_t sum = 0;
    for (; *s; s++) sum += (int8_t)*s;
    return sum;
}

int login_build(char* out, int size) {
    const char* greeting = app.greeting ? app.greeting : "";
    int glen = (int)strlen(greeting);
    if (!app.start_url[0]) {
        if (glen >= size) return 0;
        memcpy(out, greeting, (size_t)glen + 1);
        return glen;
    }
    int prefix = snprintf(out, (size_t)size, "%s%s\r\nhttp://%s\r\n", greeting, app.customer_name, app.start_url);

    // Key bytes 1, 7, 8 and 14 come from the connection data, so that the
    // server can rebuild the key from what it reads in clear.
    int32_t s1 = signed_sum(app.customer_name);
    int32_t s2 = signed_sum("http://") + signed_sum(app.start_url);
    uint32_t p = (uint32_t)s1 * (uint32_t)s2;
    working_key[14] = (unsigned char)p;
    working_key[8] = (unsigned char)(p >> 8);
    working_key[7] = (unsigned char)(p >> 16);
    working_key[1] = (unsigned char)(p >> 24);

    unsigned char plain[256];
    int plen = snprintf((char*)plain, sizeof plain - 8, "<TM %s\n%s\n%d.%s\n>", app.user_name, app.password,
                        (int)app.version_major, app.version_minor);
    // Fields are bounded (63 characters each), so the text always fits.
    if (plen < 0 || plen >= (int)sizeof plain - 8) return 0;
    int padded;
    DWORD v = scramble_block(plain, plen, &padded);
    char header[16];
    int hlen = snprintf(header, sizeof header, "<EN %lx>", (unsigned long)v);

    // The longest settings do not fit the login buffer: rather than cut a
    // field, log in with the greeting alone, as without a first page.
    if (prefix < 0 || prefix + hlen + padded > size) {
        if (glen >= size) return 0;
        memcpy(out, greeting, (size_t)glen + 1);
        return glen;
    }
    memcpy(out + prefix, header, (size_t)hlen);
    memcpy(out + prefix + hlen, plain, (size_t)padded);
    return prefix + hlen + padded;
}

int login_frame(const char* body, int body_len) {
    const HostEntry& s = app.server_entry;
    int h = snprintf(request_buffer, sizeof request_buffer, LOGIN_HEADER, s.host, (int)s.port, s.host, body_len);
    if (h < 0 || h + body_len > (int)sizeof request_buffer) return -1;
    memcpy(request_buffer + h, body, (size_t)body_len);
    return h + body_len;
}

int send_message(const char* text) {
    memset(send_buffer, 0, sizeof send_buffer);
    size_t len = strlen(text);
    if (len == 0) return 0;
    if (len >= sizeof send_buffer) {
        WSASetLastError(10040);  // WSAEMSGSIZE
        return SOCKET_ERROR;
    }
    memcpy(send_buffer, text, len);
    const HostEntry& s = app.server_entry;
    int total;
    if (scramble_flag) {
        int padded;
        DWORD v = scramble_block(send_buffer, (int)len, &padded);
        char header[16];
        int hlen = snprintf(header, sizeof header, "<EN %lx>", (unsigned long)v);
        int h = snprintf(request_buffer, sizeof request_buffer, EVENT_HEADER, s.host, (int)s.port, s.host,
                         (int)s.port, hlen + padded);
        if (h < 0 || h + hlen + padded > (int)sizeof request_buffer) {
            WSASetLastError(10040);
            return SOCKET_ERROR;
        }
        memcpy(request_buffer + h, header, (size_t)hlen);
        memcpy(request_buffer + h + hlen, send_buffer, (size_t)padded);
        total = h + hlen + padded;
    } else {
        int h = snprintf(request_buffer, sizeof request_buffer, EVENT_HEADER, s.host, (int)s.port, s.host,
                         (int)s.port, (int)len);
        if (h < 0 || h + (int)len > (int)sizeof request_buffer) {
            WSASetLastError(10040);
            return SOCKET_ERROR;
        }
        memcpy(request_buffer + h, send_buffer, len);
        total = h + (int)len;
    }
    return send(conn_socket, request_buffer, total, 0);
}
