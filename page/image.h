// Image payloads, their expansion and the image cache.
//
// IM payload (n bytes after "<IM F x y w h n>", then "<IE>"):
//
//   0      1      2        3..5      6 ........................ n-1
//   +------+------+--------+---------+----------------------------+
//   | 0    | r    | method | padding | body: stored (method 1) or |
//   |      |      |        | (0xCD)  | compressed                 |
//   +------+------+--------+---------+----------------------------+
//   r: the expanded body needs at most r * n / 8 bytes.
//
// Compressed body: groups of a 16-bit flag word (low byte first) and up to 16
// tokens, flag bits taken from the least significant up:
//   bit 0  literal: one byte
//   bit 1  match: b1 b2, distance (b1 & 0xF0) * 16 + b2, length (b1 & 0x0F) + 1,
//          copied byte by byte from that far back in the output
//
// Expanded image (16-bit words big-endian):
//   0 format 1 | 2 reserved | 4 width | 6 height | 8 id high | 10 id low |
//   12 transparency flag | 14 transparent key | 16 width * height RGB565
//
#ifndef CV_PAGE_IMAGE_H
#define CV_PAGE_IMAGE_H

#include "gfx/fb.h"
#include "wince.h"

#define IMAGE_CACHE_SIZE 128
#define IMAGE_HEADER_SIZE 6      // payload bytes before the body
#define IMAGE_EXPANDED_HEADER 16 // expanded bytes before the pixels

// Decoded images kept across passes and pages; filled by image passes,
// emptied by the page cut and at shut-down. No eviction.
struct ImageCacheEntry {
    ImageRecord* image;
    DWORD key;           // big-endian bytes 16-19 of the payload
};
struct ImageCache {
    ImageCacheEntry entries[IMAGE_CACHE_SIZE];
    LONG count;
};
extern ImageCache image_cache;

// Expands the payload from its method byte on (in = payload + 2, len = n - 2)
// into out (out_size bytes). Returns the output length, or -1 when the data
// is malformed: a match reaching before the output's start, output beyond
// out_size, or a match token cut short.
LONG lz_expand(const BYTE* in, DWORD len, BYTE* out, DWORD out_size);
// Decodes a whole payload; null when it is malformed or memory ran out.
ImageRecord* image_decode(const BYTE* payload, DWORD n);
ImageRecord* image_create(int16_t width, int16_t height);
void image_free(ImageRecord* img);
// Frees every cached image and zeroes the cache.
void image_cache_clear();
// The first cached image whose id (not key) is id, or null.
ImageRecord* image_cache_find(DWORD id);

// Tag executors (the tag is in the interpreter record).
void image_tag_im();
void image_tag_is();

#endif
