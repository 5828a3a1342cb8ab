// The network side of the main loop: connection set-up, the receive step
// with its tag scanner, and the failure path.
#include "net/netloop.h"

#include "gfx/fb.h"
#include "net/balancer.h"
#include "net/framing.h"
#include "page/formtags.h"
#include "page/frames.h"
#include "page/page.h"
#include "page/rewrite.h"
#include "page/scan.h"
#include "shell/app.h"
#include "shell/datafiles.h"

SOCKET conn_socket = INVALID_SOCKET;
BYTE arrival_mark;
LONG page_shrink_count;
TagScanner scanner;
void (*net_tag_observer)(long start, char first, char second);

#define WSAEMSGSIZE 10040

static const char NOCONNECT_PAGE[] = "/cv/noconnect.txt";
static const char BUSY_PAGE[] = "/cv/busy.txt";
static const char DISCONNECT_PAGE[] = "/cv/disconnect.txt";

// The page file while a chunk is written, and the offset of the next byte.
static FILE* page_file;
static long write_offset;
// Set by an action that closed and rewrote the page file; write_offset then
// is its new end.
static bool file_rewritten;

void net_scanner_reset() {
    scanner.state = 0;
    scanner.length = 0;
    scanner.tag[0] = 0;
    scanner.skip = 0;
    scanner.cl_mark = 0;
}

static void stop_loading() {
    if (!app.loading) return;
    busy_indicator_remove();
    app.loading = 0;
    app.awaiting_page = 0;
}

// Shows a status page when its file is there; 0 when it is not.
static int show_status_page(const char* path) {
    if (!file_exists(path)) return 0;
    status_page_switch(path);
    return 1;
}

static void close_connection() {
    if (conn_socket != INVALID_SOCKET) closesocket(conn_socket);
    conn_socket = INVALID_SOCKET;
}

int net_fail(int err) {
    // A message too long for the request buffer was not sent at all: it is
    // dropped and the connection goes on.
    if (err == WSAEMSGSIZE) return 0;
    if (err == WSAECONNRESET) {
        status_page_switch(DISCONNECT_PAGE);
        stop_loading();
        return 0;
    }
    close_connection();
    return 1;
}

int net_open(const char* host, WORD port, int tunnel, const char* request, int request_len, int* result) {
    *result = 0;
    conn_socket = socket(AF_INET, SOCK_STREAM, 0);
    if (conn_socket == INVALID_SOCKET) return show_status_page(NOCONNECT_PAGE) ? 0 : 1;
    sockaddr_in addr;
    if (net_resolve(host, port, &addr) != 0) {
        int err = WSAGetLastError();
        close_connection();
        // The balancer's verdict (busy or upgrade page) stays on screen: the
        // server it did not name cannot be resolved anyway.
        if (app.offline) return 0;
        return show_status_page(err == WSAETIMEDOUT ? BUSY_PAGE : NOCONNECT_PAGE) ? 0 : 1;
    }
    // A status page is already up (the balancer's verdict): no connection.
    if (app.offline) {
        close_connection();
        return 0;
    }
    if (connect(conn_socket, (sockaddr*)&addr, sizeof addr) != 0) {
        close_connection();
        if (show_status_page(BUSY_PAGE)) return 0;
        *result = 1;
        return 1;
    }
    unsigned long on = 1;
    ioctlsocket(conn_socket, FIONBIO, &on);

    if (tunnel) {
        // The proxy's answer is not awaited: it lands in the page file.
        if (tunnel_to_443) app.server_entry.port = 443;
        char connect_line[256];
        int n = snprintf(connect_line, sizeof connect_line, "CONNECT %s:%d HTTP/1.0\r\n\r\n", app.server_entry.host,
                         (int)app.server_entry.port);
        if (send(conn_socket, connect_line, n, 0) == SOCKET_ERROR && net_fail(WSAGetLastError())) return 1;
    }
    if (request_len != 0 && !app.offline) {
        int n = login_frame(request, request_len);
        if (n < 0 || send(conn_socket, request_buffer, n, 0) == SOCKET_ERROR) {
            if (net_fail(n < 0 ? 10040 : WSAGetLastError())) return 1;
        }
    }
    if (app.offline) return 0;
    FILE* f = fopen(app.page_file_path, "wb");
    if (f) fclose(f);
    app.redraw_pending = 0;
    net_scanner_reset();
    return 0;
}

// Reopens the page file at its end after the file was rewritten.
static void reopen_page_file() {
    page_file = fopen(app.page_file_path, "r+b");
    if (page_file) {
        fseek(page_file, 0, SEEK_END);
        write_offset = ftell(page_file);
    }
    file_rewritten = true;
}

// Draws the page up to the image whose tag was just completed, while its
// data is still arriving: the tag is hidden as "<NO" during the draw.
static void early_draw() {
    long at = scanner.tag_offset;
    if (!page_file) return;
    fseek(page_file, at, SEEK_SET);
    fwrite("<NO", 1, 3, page_file);
    fclose(page_file);
    page_file = nullptr;
    page_shrink_count = 0;
    if (app.loading) busy_indicator_remove();
    page_draw(0, 1);
    if (app.loading) {
        busy_indicator_step();
        arrival_mark = 1;
    }
    page_file = fopen(app.page_file_path, "r+b");
    file_rewritten = true;
    if (!page_file) return;
    // The page cut may have removed the old page before the tag.
    if (fseek(page_file, at - page_shrink_count, SEEK_SET) == 0) fwrite("<IM", 1, 3, page_file);
    fseek(page_file, 0, SEEK_END);
    fflush(page_file);
    write_offset = ftell(page_file);
    file_rewritten = true;
}

static bool tag_is(const char* two) {
    return scanner.letters[0] == two[0] && scanner.letters[1] == two[1] && scanner.tag[1] == two[0] &&
           scanner.tag[2] == two[1];
}

// A text tag: its text of n bytes starts after `fields` space-separated
// fields and may hold ">"; what the tag buffer lacks of it is passed over.
static void text_tag(int fields, long n) {
    int p = 0;
    for (int i = 0; i < fields; i++) {
        while (p < 80 && p < scanner.length && scanner.tag[p] != ' ') p++;
        p++;
    }
    if (p > scanner.length) p = scanner.length;
    long skip = n - (long)(scanner.length - p) + 1;
    // A length smaller than the text sent would give a negative count: the
    // text is then taken as ending at this ">".
    scanner.skip = skip > 0 && skip <= 0x7fffffff ? (int32_t)skip : 0;
    app.redraw_pending = 1;
}

// Acts on a complete tag.
static void tag_done() {
    const char* t = scanner.tag;
    char a = scanner.letters[0], b = scanner.letters[1];
    unsigned long v1 = 0, v6 = 0;
    unsigned x2, x3, x4, x5, n;
    char name[TAG_BUFFER_SIZE];
    if (a == 'I' && b == 'M') {
        if (page_scan(t, "<IM %lx %x %x %x %x %lx>", &v1, &x2, &x3, &x4, &x5, &v6) == 6)
            scanner.skip = v6 <= 0x7fffffff ? (int32_t)v6 : 0;
        if (scanner.cl_mark) {
            early_draw();
            scanner.cl_mark = 0;
        }
    } else if (tag_is("EN")) {
        // The scrambled block that follows; a length beyond 31 bits is not
        // passed over at all, as for images and texts.
        if (page_scan(t, "<EN %lx>", &v1) == 1) {
            unsigned long block = ((v1 >> 3) + 7) & ~7ul;
            scanner.skip = block <= 0x7fffffff ? (int32_t)block : 0;
        }
    } else if (a == 'C' && b == 'L') {
        scanner.cl_mark = 1;
    } else if (a == 's' && b == 'w') {
        long after = write_offset + 1;
        if (page_file) fclose(page_file);
        page_file = nullptr;
        if (page_scan(t, "<sw %lx %x %x>", &v1, &x2, &x3) >= 1) {
            frame_tags_remove_at((int)v1, after);
            frame_controls_remove((DWORD)v1);
            frame_scrollbars_remove((DWORD)v1);
        }
        reopen_page_file();
    } else if ((a == 'S' && b == 'T') || (a == 'S' && b == 'S')) {
        stop_loading();
    } else if (a == 'K' && b == 'P') {
        app.redraw_pending = 1;
    } else if (a == 'B' && b == 'U' && app.typed_url) {
        history_push(app.typed_url);
        free(app.typed_url);
        app.typed_url = nullptr;
    } else if (a == 'D' && b == 'S') {
        if (page_scan(t, "<DS %lx %x %x %x", &v1, &x2, &x3, &x4) == 4) text_tag(5, (long)x4);
        else app.redraw_pending = 1;
    } else if (tag_is("BT") || tag_is("TA") || tag_is("TF") || tag_is("PF")) {
        char fmt[32];
        snprintf(fmt, sizeof fmt, "<%c%c %%lx %%x %%x %%x %%x %%s %%x", a, b);
        if (page_scan(t, fmt, &v1, &x2, &x3, &x4, &x5, name, &n) == 7) text_tag(8, (long)n);
        else app.redraw_pending = 1;
    } else if (tag_is("DI") || tag_is("LI")) {
        char fmt[32];
        snprintf(fmt, sizeof fmt, "<%c%c %%x %%s %%x", a, b);
        if (page_scan(t, fmt, &x2, name, &x3) == 3) text_tag(4, (long)x3);
        else app.redraw_pending = 1;
    } else {
        app.redraw_pending = 1;
    }
}

// Feeds one byte, already written at write_offset, to the scanner.
static void scan_byte(char c) {
    switch (scanner.state) {
    case 0:
        if (scanner.skip != 0) {
            scanner.skip--;
        } else if (c == '<') {
            scanner.tag_offset = write_offset;
            scanner.tag[0] = '<';
            scanner.tag[1] = 0;
            scanner.length = 1;
            scanner.state = 1;
        }
        break;
    case 1:
        if ((c >= 'A' && c <= 'Z') || c == 's') {
            scanner.letters[0] = c;
            scanner.tag[scanner.length++] = c;
            scanner.tag[scanner.length] = 0;
            scanner.state = 2;
        } else {
            scanner.state = 0;
        }
        break;
    case 2:
        if ((c >= 'A' && c <= 'Z') || c == 'w') {
            scanner.letters[1] = c;
            scanner.tag[scanner.length++] = c;
            scanner.tag[scanner.length] = 0;
            scanner.state = 3;
        } else {
            scanner.state = 0;
        }
        break;
    default:
        // A tag longer than the buffer restarts it; its letters still decide.
        if (scanner.length < TAG_BUFFER_SIZE) {
            scanner.tag[scanner.length++] = c;
            scanner.tag[scanner.length] = 0;
        } else {
            scanner.length = 0;
            scanner.tag[0] = 0;
        }
        if (c == '>') {
            scanner.state = 0;
            if (net_tag_observer) net_tag_observer(scanner.tag_offset, scanner.letters[0], scanner.letters[1]);
            tag_done();
        }
        break;
    }
}

// Writes data[from, to) to the page file where it stands.
static void write_run(const char* data, int from, int to) {
    if (page_file && to > from) fwrite(data + from, 1, (size_t)(to - from), page_file);
}

void net_write_chunk(const char* data, int len) {
    scanner.cl_mark = 0;
    page_file = fopen(app.page_file_path, "r+b");
    if (!page_file) page_file = fopen(app.page_file_path, "w+b");
    if (!page_file) return;
    fseek(page_file, 0, SEEK_END);
    write_offset = ftell(page_file);
    // Bytes are written whatever the scanner does with them, in runs: a run
    // ends with a byte that completes a tag, since the tag's action may read
    // or rewrite the file (and then reopens it at its end). A byte that met
    // no open file is not written.
    int from = 0;
    for (int i = 0; i < len; i++) {
        if (!page_file) {
            from = i + 1;
        } else if (scanner.state == 0) {
            // Between tags nothing is acted on: payload being passed over,
            // or bytes before the next "<", go at once.
            int n;
            if (scanner.skip != 0) {
                n = len - i < scanner.skip ? len - i : scanner.skip;
                scanner.skip -= n;
            } else {
                const char* lt = (const char*)memchr(data + i, '<', (size_t)(len - i));
                n = lt ? (int)(lt - (data + i)) : len - i;
            }
            write_offset += n;
            i += n;
            if (i >= len) break;
        } else if (scanner.state >= 3) {
            // Inside a tag: everything up to its ">" joins the tag buffer at
            // once, by the rule of scan_byte (a byte that finds the buffer
            // full restarts it and is not kept).
            const char* gt = (const char*)memchr(data + i, '>', (size_t)(len - i));
            int n = gt ? (int)(gt - (data + i)) : len - i;
            write_offset += n;
            for (const char* p = data + i; p < data + i + n;) {
                if (scanner.length < TAG_BUFFER_SIZE) {
                    int room = TAG_BUFFER_SIZE - scanner.length, k = (int)(data + i + n - p);
                    if (k > room) k = room;
                    memcpy(scanner.tag + scanner.length, p, (size_t)k);
                    scanner.length += k;
                    p += k;
                } else {
                    scanner.length = 0;
                    p++;
                }
            }
            scanner.tag[scanner.length] = 0;
            i += n;
            if (i >= len) break;
        }
        char c = data[i];
        file_rewritten = false;
        if (scanner.state >= 3 && c == '>') {
            write_run(data, from, i + 1);
            from = i + 1;
        }
        scan_byte(c);
        if (!file_rewritten) write_offset++;
        if (!page_file) reopen_page_file();
    }
    write_run(data, from, len);
    if (page_file) fclose(page_file);
    page_file = nullptr;
}

int net_receive_step(int* result) {
    *result = 0;
    unsigned long waiting = 0;
    if (ioctlsocket(conn_socket, FIONREAD, &waiting) != 0) {
        int err = WSAGetLastError();
        if (err != 0) return net_fail(err) ? -1 : 0;
        waiting = 0;
    }
    // Nothing waiting: a receive could only give nothing (and a failure would
    // count as nothing), so the idle loop makes no call for it.
    if (waiting == 0) return 0;
    app.loading = 1;
    arrival_mark = 1;
    busy_indicator_step();
    int want = waiting < 4095 ? (int)waiting : 4095;
    int got = recv(conn_socket, request_buffer, want, 0);
    if (got == SOCKET_ERROR) return net_fail(WSAGetLastError()) ? -1 : 0;
    if (got <= 0) return 0;
    if (app.loading) {
        busy_indicator_step();
        arrival_mark = 1;
    }
    net_write_chunk(request_buffer, got);
    return 1;
}
