// Image payloads: expansion, decoding, the image cache, IM and IS.
#include "page/image.h"

#include <stdlib.h>
#include <string.h>

#include "page/frames.h"
#include "page/page.h"
#include "page/parser.h"
#include "page/scan.h"

ImageCache image_cache;

// One match token: n (1 to 16) bytes from d (1 to o) bytes back, copied as
// if byte by byte, so that a match may repeat its own output. The caller
// guarantees 16 bytes of room at dst; bytes written beyond n are scratch that
// the following tokens overwrite (or that lie beyond the output's length).
static inline void copy_match(BYTE* dst, DWORD d, DWORD n) {
    const BYTE* src = dst - d;
    if (d >= 16) {
        memcpy(dst, src, 16);  // no overlap within 16 bytes
    } else if (d == 1) {
        memset(dst, src[0], 16);
    } else if (d == 2 || d == 4 || d == 8) {
        // a repeated pixel (or two, or four): the pattern widened to 8 bytes
        BYTE pattern[8];
        memcpy(pattern, src, d);
        if (d == 2) memcpy(pattern + 2, pattern, 2);
        if (d <= 4) memcpy(pattern + 4, pattern, 4);
        memcpy(dst, pattern, 8);
        memcpy(dst + 8, pattern, 8);
    } else {
        for (DWORD i = 0; i < n; i++) dst[i] = src[i];
    }
}

LONG lz_expand(const BYTE* in, DWORD len, BYTE* out, DWORD out_size) {
    if (len < 4) return len == 0 ? 0 : -1;  // method byte and padding at least
    BYTE method = in[0];
    const BYTE* p = in + 4;
    const BYTE* end = in + len;
    DWORD body = (DWORD)(end - p);
    if (method == 1) {
        if (body > out_size) return -1;
        memcpy(out, p, body);
        return (LONG)body;
    }
    DWORD o = 0;
    while (p < end) {
        if (end - p < 2) return -1;  // a flag word cut in half
        unsigned flags = p[0] | (p[1] << 8);
        p += 2;
        // A whole group far from both ends: its 16 tokens take at most 32
        // input bytes and give at most 256 output bytes, so only the match
        // distances need checking.
        if (end - p >= 32 && out_size - o >= 256 + 16) {
            if (flags == 0) {  // sixteen literals
                memcpy(out + o, p, 16);
                o += 16;
                p += 16;
                continue;
            }
            for (int bit = 0; bit < 16; bit++, flags >>= 1) {
                if (!(flags & 1)) {
                    out[o++] = *p++;
                    continue;
                }
                DWORD d = ((DWORD)(p[0] & 0xF0) << 4) + p[1];
                DWORD n = (DWORD)(p[0] & 0x0F) + 1;
                p += 2;
                if (d == 0 || d > o) return -1;  // the match must lie inside what has been written
                copy_match(out + o, d, n);
                o += n;
            }
            continue;
        }
        // The last group may stop early: the stream ends with the payload.
        for (int bit = 0; bit < 16 && p < end; bit++, flags >>= 1) {
            if (!(flags & 1)) {
                if (o >= out_size) return -1;
                out[o++] = *p++;
                continue;
            }
            if (end - p < 2) return -1;
            DWORD d = ((DWORD)(p[0] & 0xF0) << 4) + p[1];
            DWORD n = (DWORD)(p[0] & 0x0F) + 1;
            p += 2;
            // The match must lie inside what has been written.
            if (d == 0 || d > o) return -1;
            if (n > out_size - o) return -1;
            for (DWORD i = 0; i < n; i++, o++) out[o] = out[o - d];
        }
    }
    return (LONG)o;
}

static int16_t be16(const BYTE* p) { return (int16_t)((p[0] << 8) | p[1]); }

// Big-endian 16-bit pixels to native ones, four at a time on a
// little-endian machine.
static void be_pixels(const BYTE* px, uint16_t* out, int32_t count) {
    int32_t i = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    for (; i + 4 <= count; i += 4) {
        uint64_t w;
        memcpy(&w, px + 2 * i, 8);
        w = ((w & 0x00FF00FF00FF00FFull) << 8) | ((w >> 8) & 0x00FF00FF00FF00FFull);
        memcpy(out + i, &w, 8);
    }
#endif
    for (; i < count; i++) out[i] = (uint16_t)((px[2 * i] << 8) | px[2 * i + 1]);
}

ImageRecord* image_create(int16_t width, int16_t height) {
    int32_t count = (int32_t)width * (int32_t)height;
    if (count <= 0) return nullptr;
    ImageRecord* img = (ImageRecord*)calloc(1, sizeof(ImageRecord));
    if (!img) return nullptr;
    img->pixels = (uint16_t*)malloc((size_t)count * sizeof(uint16_t));
    if (!img->pixels) {
        free(img);
        return nullptr;
    }
    img->width = width;
    img->height = height;
    img->reserved_colour[0] = img->reserved_colour[1] = img->reserved_colour[2] = 0xFF;
    return img;
}

void image_free(ImageRecord* img) {
    if (!img) return;
    free(img->reserved_pixels);
    free(img->pixels);
    free(img);
}

ImageRecord* image_decode(const BYTE* payload, DWORD n) {
    if (n < IMAGE_HEADER_SIZE) return nullptr;
    // The ratio byte bounds the expansion; computed wide so a hostile n
    // cannot wrap it.
    uint64_t size64 = (uint64_t)payload[1] * n / 8;
    if (size64 < IMAGE_EXPANDED_HEADER || size64 > 0x7FFFFFFF) return nullptr;
    DWORD size = (DWORD)size64;
    BYTE* buf = (BYTE*)malloc(size);
    if (!buf) return nullptr;
    LONG got = lz_expand(payload + 2, n - 2, buf, size);
    ImageRecord* img = nullptr;
    if (got >= IMAGE_EXPANDED_HEADER) {
        int16_t w = be16(buf + 4), h = be16(buf + 6);
        int32_t count = (int32_t)w * h;
        // Both sides positive (two negative ones make a positive count), and
        // the pixels must all be there.
        if (w > 0 && h > 0 && (int64_t)got >= IMAGE_EXPANDED_HEADER + 2 * (int64_t)count) {
            img = image_create(w, h);
            if (img) {
                img->transparent = buf[13];
                img->key = (uint16_t)be16(buf + 14);
                be_pixels(buf + IMAGE_EXPANDED_HEADER, img->pixels, count);
                img->id = ((DWORD)(uint16_t)be16(buf + 8) << 16) | (uint16_t)be16(buf + 10);
            }
        }
    }
    free(buf);
    return img;
}

void image_cache_clear() {
    for (int i = 0; i < IMAGE_CACHE_SIZE; i++) {
        image_free(image_cache.entries[i].image);
        image_cache.entries[i].image = nullptr;
        image_cache.entries[i].key = 0;
    }
    image_cache.count = 0;
    parser.images_seen = 0;
}

ImageRecord* image_cache_find(DWORD id) {
    for (LONG i = 0; i < image_cache.count; i++)
        if (image_cache.entries[i].image && image_cache.entries[i].image->id == id) return image_cache.entries[i].image;
    return nullptr;
}

static int cache_has_key(DWORD key) {
    for (LONG i = 0; i < image_cache.count; i++)
        if (image_cache.entries[i].key == key) return 1;
    return 0;
}

// Decodes the payload at the current position of the page file into the
// cache; leaves the file after the payload (or at its end when the payload
// has not all arrived yet).
static void decode_payload(FILE* f, DWORD n) {
    long p = ftell(f);
    DWORD key = 0;
    BYTE k[4];
    if (fseek(f, p + 16, SEEK_SET) == 0 && fread(k, 1, 4, f) == 4)
        key = ((DWORD)k[0] << 24) | ((DWORD)k[1] << 16) | ((DWORD)k[2] << 8) | k[3];
    fseek(f, 0, SEEK_END);
    long size = ftell(f);
    if (size - p < (long)n) return;  // completed by later data; stay at the end
    fseek(f, p, SEEK_SET);
    if (cache_has_key(key)) {
        fseek(f, p + (long)n, SEEK_SET);
        return;
    }
    BYTE* data = (BYTE*)malloc(n);
    if (!data) {  // out of memory: the page draws without this image
        fseek(f, p + (long)n, SEEK_SET);
        return;
    }
    size_t got = fread(data, 1, n, f);
    ImageRecord* img = got == n ? image_decode(data, n) : nullptr;
    free(data);
    if (!img) return;
    if (image_cache.count < IMAGE_CACHE_SIZE) {
        image_cache.entries[image_cache.count].image = img;
        image_cache.entries[image_cache.count].key = key;
        image_cache.count++;
    } else {
        image_free(img);  // no room: its IS tags draw nothing
    }
}

void image_tag_im() {
    unsigned f = 0, x = 0, y = 0, w = 0, h = 0, n = 0;
    page_scan(parser.tag, "<IM %x %x %x %x %x %x>", &f, &x, &y, &w, &h, &n);
    if (n == 0) return;
    parser.images_seen++;
    if (parser.mode == 1) decode_payload(parser.file, n);
    else fseek(parser.file, (long)n, SEEK_CUR);
}

void image_tag_is() {
    if (parser.mode == 1) return;
    unsigned f = 0, id = 0;
    int x = 0, y = 0;
    page_scan(parser.tag, "<IS %x %x %x %x>", &f, &id, (unsigned*)&x, (unsigned*)&y);
    ImageRecord* img = image_cache_find(id);
    if (!img || !gfx.frame) return;
    frame_select_clip(f);
    gfx_draw_image(img, page_scale(x), page_scale(y));
    parser.drawn = 1;
}
