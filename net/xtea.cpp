// The XTEA block cipher.
#include "net/xtea.h"

#include <stdint.h>

static const uint32_t DELTA = 0x9E3779B9u;

static uint32_t get32(const unsigned char* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static void put32(unsigned char* p, uint32_t v) {
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)(v >> 16);
    p[3] = (unsigned char)(v >> 24);
}

static void key_words(const unsigned char* key, uint32_t k[4]) {
    for (int i = 0; i < 4; i++) k[i] = get32(key + 4 * i);
}

int xtea_encipher_buffer(unsigned char* buf, int len, const unsigned char* key) {
    if (len < 0 || len % 8 != 0) return -1;
    uint32_t k[4];
    key_words(key, k);
    for (int at = 0; at < len; at += 8) {
        uint32_t v0 = get32(buf + at), v1 = get32(buf + at + 4), sum = 0;
        for (int i = 0; i < 32; i++) {
            v0 += (((v1 << 4) ^ (v1 >> 5)) + v1) ^ (sum + k[sum & 3]);
            sum += DELTA;
            v1 += (((v0 << 4) ^ (v0 >> 5)) + v0) ^ (sum + k[(sum >> 11) & 3]);
        }
        put32(buf + at, v0);
        put32(buf + at + 4, v1);
    }
    return 0;
}

int xtea_decipher_buffer(unsigned char* buf, int len, const unsigned char* key) {
    if (len < 0 || len % 8 != 0) return -1;
    uint32_t k[4];
    key_words(key, k);
    for (int at = 0; at < len; at += 8) {
        uint32_t v0 = get32(buf + at), v1 = get32(buf + at + 4), sum = DELTA * 32;
        for (int i = 0; i < 32; i++) {
            v1 -= (((v0 << 4) ^ (v0 >> 5)) + v0) ^ (sum + k[(sum >> 11) & 3]);
            sum -= DELTA;
            v0 -= (((v1 << 4) ^ (v1 >> 5)) + v1) ^ (sum + k[sum & 3]);
        }
        put32(buf + at, v0);
        put32(buf + at + 4, v1);
    }
    return 0;
}
