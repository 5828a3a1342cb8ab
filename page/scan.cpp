// Reading a tag's arguments as sscanf reads them (see scan.h).
#include "page/scan.h"

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>

// White space of the "C" locale.
static inline bool is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

static inline int hex_digit(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A hexadecimal number at *pp (white space already passed over): sign, "0x",
// digits. 0 when there is no digit (a matching failure).
static int read_hex(const unsigned char** pp, unsigned long* out) {
    const unsigned char* p = *pp;
    bool negative = false;
    if (*p == '-' || *p == '+') negative = *p++ == '-';
    bool digits = false;
    if (*p == '0') {
        digits = true;  // the 0 counts as a digit even when "x" follows
        p++;
        if (*p == 'x' || *p == 'X') p++;
    }
    unsigned long value = 0;
    bool overflow = false;
    for (int d; (d = hex_digit(*p)) >= 0; p++) {
        digits = true;
        if (value > (ULONG_MAX >> 4)) overflow = true;
        value = value << 4 | (unsigned long)d;
    }
    *pp = p;
    if (!digits) return 0;
    // strtoul: a magnitude beyond the range is ULONG_MAX, else the sign applies.
    *out = overflow ? ULONG_MAX : negative ? 0ul - value : value;
    return 1;
}

int page_scan(const char* input, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    const unsigned char* p = (const unsigned char*)input;
    int stored = 0;
    bool ended = false;  // the input ran out (not a mismatch)
    for (const char* f = format; *f; f++) {
        if (is_space((unsigned char)*f)) {
            while (is_space(*p)) p++;
            continue;
        }
        if (*f != '%') {
            if (*p == 0) {
                ended = true;
                break;
            }
            if (*p != (unsigned char)*f) break;
            p++;
            continue;
        }
        f++;
        long width = 0;
        while (*f >= '0' && *f <= '9') width = width * 10 + (*f++ - '0');
        bool is_long = false;
        if (*f == 'l') {
            is_long = true;
            f++;
        }
        while (is_space(*p)) p++;
        if (*p == 0) {
            ended = true;
            break;
        }
        if (*f == 'x') {
            unsigned long v;
            if (!read_hex(&p, &v)) break;
            if (is_long) *va_arg(ap, unsigned long*) = v;
            else *va_arg(ap, unsigned*) = (unsigned)v;
            stored++;
        } else if (*f == 's') {
            char* out = va_arg(ap, char*);
            long n = 0;
            while (*p && !is_space(*p) && (width == 0 || n < width)) out[n++] = (char)*p++;
            out[n] = 0;
            stored++;
        } else {
            break;  // a directive tags do not use
        }
    }
    va_end(ap);
    return ended && stored == 0 ? EOF : stored;
}
