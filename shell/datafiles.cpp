// Settings, home and history files, and the address history.
#include "shell/datafiles.h"

#include "gfx/text.h"
#include "shell/app.h"

const char* const DEMO_HISTORY[9] = {
    "/cv/noconnect.txt", "/cv/demo1.txt", "/cv/demo2.txt", "/cv/demo3.txt", "/cv/demo4.txt",
    "/cv/demo5.txt",     nullptr,         nullptr,         nullptr,
};

static int is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// Copies at most size - 1 characters and terminates.
static void copy_field(char* dst, size_t size, const char* src) { snprintf(dst, size, "%s", src); }

// Reads a whole file of less than limit bytes into a fresh, zero-filled heap
// buffer of limit bytes; null when absent, unreadable or too long.
static char* read_small_file(const char* path, long limit) {
    FILE* f = fopen(path, "rb");
    if (!f) return nullptr;
    char* buf = nullptr;
    if (fseek(f, 0, SEEK_END) == 0) {
        long size = ftell(f);
        if (size >= 0 && size < limit && fseek(f, 0, SEEK_SET) == 0) {
            buf = (char*)calloc((size_t)limit, 1);
            if (buf && fread(buf, 1, (size_t)size, f) != (size_t)size) {
                free(buf);
                buf = nullptr;
            }
        }
    }
    fclose(f);
    return buf;
}

// Splits text in place into white-space separated fields; returns how many
// (at most max) were found.
static int split_fields(char* text, char** fields, int max) {
    int n = 0;
    char* p = text;
    while (*p && n < max) {
        while (*p && is_space(*p)) p++;
        if (!*p) break;
        fields[n++] = p;
        while (*p && !is_space(*p)) p++;
        if (*p) *p++ = 0;
    }
    return n;
}

// The proxy field: "host:port:state". The host is cut to its buffer, but
// port and state are read from the field itself: a long host name must not
// push them out of reach (the options screen writes host, port and state on
// one line, and a disabled proxy would read back enabled).
static void parse_proxy(const char* field) {
    HostEntry& p = app.proxy_entry;
    const char* colon = strchr(field, ':');
    size_t host_len = colon ? (size_t)(colon - field) : strlen(field);
    if (host_len > sizeof p.host - 1) host_len = sizeof p.host - 1;
    memcpy(p.host, field, host_len);
    p.host[host_len] = 0;
    p.port = 0;
    p.enabled = 1;
    if (!colon) {
        p.enabled = 0;
        return;
    }
    p.port = (WORD)strtoul(colon + 1, nullptr, 10);
    const char* state = strchr(colon + 1, ':');
    if (!state) {
        p.enabled = 0;
    } else {
        state++;
        char c = state[0];
        if (c == 'F' || c == 'f' || c == 'N' || c == 'n' || c == '0' || c == 0) p.enabled = 0;
        else if ((c == 'O' || c == 'o') && (state[1] == 'F' || state[1] == 'f')) p.enabled = 0;
    }
    if (!p.host[0]) p.enabled = 0;
}

// Splits the settings text in place. A run of white space ends a field; a
// run that holds several line breaks (CR LF counting once) also ends the
// empty lines between them, and a run at the very start ends an empty first
// field. So the file the options screen writes, one field per line, reads
// back field for field whichever of its lines are empty. White space at the
// end ends the last field and no more. Returns how many (at most max) fields
// were found.
static int split_settings(char* text, char** fields, int max) {
    static char empty[1] = "";
    int n = 0;
    char* p = text;
    while (*p && n < max) {
        if (!is_space(*p)) {
            fields[n++] = p;
            while (*p && !is_space(*p)) p++;
            if (!*p) break;
        }
        // A run of white space: how many line breaks does it hold?
        char* run = p;
        int breaks = 0;
        while (*p && is_space(*p)) {
            if (*p == '\n' || (*p == '\r' && p[1] != '\n')) breaks++;
            p++;
        }
        *run = 0;
        if (!*p) break;  // trailing white space
        // The run ended the field before it (if any); its further line
        // breaks, or a leading run, end empty fields.
        int empties = run == text ? (breaks > 1 ? breaks : 1) : breaks - 1;
        for (int i = 0; i < empties && n < max; i++) fields[n++] = empty;
    }
    return n;
}

void settings_read() {
    char* buf = read_small_file(SETTINGS_FILE, 512);
    if (!buf) return;
    char* f[4] = {nullptr, nullptr, nullptr, nullptr};
    int n = split_settings(buf, f, 4);
    if (n > 0) copy_field(app.customer_name, sizeof app.customer_name, f[0]);
    if (n > 1) copy_field(app.user_name, sizeof app.user_name, f[1]);
    if (n > 2) copy_field(app.password, sizeof app.password, f[2]);
    if (n > 3 && f[3][0]) parse_proxy(f[3]);
    free(buf);
}

void home_read() {
    FILE* f = fopen(HOME_FILE, "rb");
    if (!f) return;
    char text[256];
    size_t n = fread(text, 1, 255, f);
    fclose(f);
    text[n] = 0;
    size_t end = 0;
    while (text[end] && !is_space(text[end])) end++;
    HostEntry& b = app.balancer_entry;
    if (end > 0) {
        size_t copy = end < sizeof b.host ? end : sizeof b.host - 1;
        memcpy(b.host, text, copy);
        b.host[copy] = 0;
    }
    // The port is read whenever something follows the first white space,
    // also when the host before it is empty.
    if (text[end]) {
        const char* p = text + end;
        while (is_space(*p)) p++;
        if (*p >= '0' && *p <= '9') b.port = (WORD)strtoul(p, nullptr, 10);
    }
}

void history_push(const char* text) {
    char* copy = nullptr;
    if (text) {
        copy = (char*)malloc(strlen(text) + 1);
        if (copy) strcpy(copy, text);
    }
    free(app.history[HISTORY_SIZE - 1]);
    memmove(&app.history[1], &app.history[0], (HISTORY_SIZE - 1) * sizeof app.history[0]);
    app.history[0] = copy;
}

void history_read() {
    FILE* f = fopen(HISTORY_FILE, "rb");
    if (!f) return;
    long size = -1;
    if (fseek(f, 0, SEEK_END) == 0) size = ftell(f);
    char* buf = size >= 0 && fseek(f, 0, SEEK_SET) == 0 ? (char*)malloc((size_t)size + 1) : nullptr;
    if (!buf) {
        fclose(f);
        return;  // no memory: the history stays empty
    }
    size_t got = fread(buf, 1, (size_t)size, f);
    fclose(f);
    buf[got] = 0;
    char* fields[HISTORY_SIZE];
    int n = split_fields(buf, fields, HISTORY_SIZE);
    for (int i = 0; i < n; i++) history_push(fields[i]);
    free(buf);
}

void history_save() {
    if (app.offline) return;
    FILE* f = fopen(HISTORY_FILE, "wb");
    if (!f) return;
    for (int i = HISTORY_SIZE - 1; i >= 0; i--)
        if (app.history[i]) fprintf(f, "%s\n", app.history[i]);
    fclose(f);
}

void load_demo_history() {
    for (int i = HISTORY_SIZE - 1; i >= 0; i--) history_push(DEMO_HISTORY[i]);
    // Status and demo pages are drawn in black.
    memset(text_colour, 0, sizeof text_colour);
}

int file_exists(const char* path) {
    FILE* f = fopen(path, "rb");
    if (!f) return 0;
    fclose(f);
    return 1;
}
