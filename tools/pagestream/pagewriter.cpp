// The page-stream writer.
#include "pagewriter.h"

#include <cstdio>

#include "net/xtea.h"

std::string pw_hex(long v) {
    char buf[24];
    if (v < 0) snprintf(buf, sizeof buf, "-%lx", (unsigned long)-v);
    else snprintf(buf, sizeof buf, "%lx", (unsigned long)v);
    return buf;
}

static void open_tag(std::string& out, const char* code, const std::vector<long>& numbers) {
    out += '<';
    out += code;
    for (long n : numbers) {
        out += ' ';
        out += pw_hex(n);
    }
}

void pw_tag(std::string& out, const char* code, const std::vector<long>& numbers) {
    open_tag(out, code, numbers);
    out += '>';
}

// " n text>": the count of UTF-8 bytes and the text itself.
static void counted(std::string& out, const std::string& text) {
    out += ' ';
    out += pw_hex((long)text.size());
    out += ' ';
    out += text;
    out += '>';
}

void pw_http_header(std::string& out, size_t body_length) {
    out += "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: ";
    out += std::to_string(body_length);
    out += "\r\n\r\n";
}

void pw_fr(std::string& out, long x, long y, long w, long h) { pw_tag(out, "FR", {x, y, w, h}); }
void pw_bc(std::string& out, int r, int g, int b) { pw_tag(out, "BC", {r, g, b}); }
void pw_fc(std::string& out, int r, int g, int b) { pw_tag(out, "FC", {r, g, b}); }
void pw_sz(std::string& out, long size) { pw_tag(out, "SZ", {size}); }
void pw_cr(std::string& out, uint32_t f, long x, long y, long w, long h) { pw_tag(out, "CR", {(long)f, x, y, w, h}); }
void pw_dl(std::string& out, uint32_t f, long x0, long y0, long x1, long y1) {
    pw_tag(out, "DL", {(long)f, x0, y0, x1, y1});
}

void pw_ds(std::string& out, uint32_t f, long x, long y, const std::string& utf8) {
    open_tag(out, "DS", {(long)f, x, y});
    counted(out, utf8);
}

void pw_sw(std::string& out, long dx, long dy) { pw_tag(out, "SW", {dx, dy}); }
void pw_sw_frame(std::string& out, uint32_t f, long dx, long dy) { pw_tag(out, "sw", {(long)f, dx, dy}); }
void pw_sh(std::string& out, uint32_t f, long x, long y, long w, long pos, long len) {
    pw_tag(out, "SH", {(long)f, x, y, w, 0x11, pos, len});
}
void pw_sv(std::string& out, uint32_t f, long x, long y, long h, long pos, long len) {
    pw_tag(out, "SV", {(long)f, x, y, 0x11, h, pos, len});
}

void pw_im(std::string& out, uint32_t f, long x, long y, long w, long h, const std::vector<uint8_t>& payload) {
    pw_tag(out, "IM", {(long)f, x, y, w, h, (long)payload.size()});
    out.append((const char*)payload.data(), payload.size());
    out += "<IE>";
}

void pw_is(std::string& out, uint32_t f, uint32_t id, long x, long y) { pw_tag(out, "IS", {(long)f, (long)id, x, y}); }

void pw_bt(std::string& out, uint32_t f, long x, long y, long w, long h, const std::string& name,
           const std::string& label) {
    open_tag(out, "BT", {(long)f, x, y, w, h});
    out += ' ' + name;
    counted(out, label);
}

void pw_check(std::string& out, const char* code, uint32_t f, long x, long y, long w, long h, int checked,
              const std::string& name) {
    open_tag(out, code, {(long)f, x, y, w, h, checked});
    out += ' ' + name + '>';
}

void pw_list(std::string& out, const char* code, uint32_t f, long x, long y, long w, long h,
             const std::string& name) {
    open_tag(out, code, {(long)f, x, y, w, h});
    out += ' ' + name + '>';
}

void pw_item(std::string& out, const char* code, int selected, const std::string& list, const std::string& label) {
    open_tag(out, code, {selected});
    out += ' ' + list;
    counted(out, label);
}

void pw_field(std::string& out, const char* code, uint32_t f, long x, long y, long w, long h,
              const std::string& name, const std::string& text) {
    open_tag(out, code, {(long)f, x, y, w, h});
    out += ' ' + name;
    counted(out, text);
}

void pw_en(std::string& out, const std::string& plaintext, const uint8_t key[16], int variant) {
    uint8_t k[16];
    for (int i = 0; i < 16; i++) k[i] = key[i];
    k[2] = (uint8_t)(variant & 7);
    size_t padded = (plaintext.size() + 7) & ~(size_t)7;
    std::vector<uint8_t> buf(padded, 0);
    for (size_t i = 0; i < plaintext.size(); i++) buf[i] = (uint8_t)plaintext[i];
    xtea_encipher_buffer(buf.data(), (int)padded, k);
    out += "<EN " + pw_hex((long)(plaintext.size() * 8 + (variant & 7))) + ">";
    out.append((const char*)buf.data(), buf.size());
}

void pw_cl(std::string& out) { out += "<CL>"; }
void pw_st(std::string& out) { out += "<ST>"; }

uint32_t pw_frame_number(long x, long y, long w, long h) {
    uint32_t n = ((uint32_t)y | ((uint32_t)x << 16)) ^ ((uint32_t)h | ((uint32_t)w << 16));
    if (n == 0x028001E0) return 3;
    if (n == 0x01E00168) return 4;
    return n;
}
