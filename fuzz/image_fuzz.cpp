// Fuzz target: the image expander and decoder. lz_expand must give exactly
// what the plain reading of the format gives (one token at a time, matches
// copied byte by byte) or refuse the same inputs; image_decode must keep
// only images whose pixels were all there, and never read or write outside
// its buffers.
//
// Input: one byte for the output room of lz_expand (as a share of 8 x the
// input), then an IM payload (ratio byte, method byte, padding, body).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "page/image.h"

namespace {

// The format read plainly: groups of a 16-bit flag word and up to 16 tokens.
long reference_expand(const uint8_t* in, uint32_t len, uint8_t* out, uint32_t out_size) {
    if (len < 4) return len == 0 ? 0 : -1;
    if (in[0] == 1) {
        uint32_t body = len - 4;
        if (body > out_size) return -1;
        for (uint32_t i = 0; i < body; i++) out[i] = in[4 + i];
        return (long)body;
    }
    uint32_t p = 4, o = 0;
    while (p < len) {
        if (len - p < 2) return -1;
        unsigned flags = in[p] | in[p + 1] << 8;
        p += 2;
        for (int bit = 0; bit < 16 && p < len; bit++, flags >>= 1) {
            if (!(flags & 1)) {
                if (o >= out_size) return -1;
                out[o++] = in[p++];
                continue;
            }
            if (len - p < 2) return -1;
            uint32_t d = ((uint32_t)(in[p] & 0xF0) << 4) + in[p + 1];
            uint32_t n = (uint32_t)(in[p] & 0x0F) + 1;
            p += 2;
            if (d == 0 || d > o || n > out_size - o) return -1;
            for (uint32_t i = 0; i < n; i++, o++) out[o] = out[o - d];
        }
    }
    return (long)o;
}

}  // namespace

// Keeps the read of every pixel from being optimised away.
static volatile uint32_t pixel_sum;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1u << 20)) return 0;
    const uint8_t* payload = data + 1;
    uint32_t n = (uint32_t)(size - 1);

    // lz_expand against the plain reading, with guard bytes after the room.
    if (n >= 2) {
        uint32_t room = (uint32_t)((uint64_t)data[0] * 8 * n / 255);
        std::vector<uint8_t> a(room + 64, 0xA5), b(room + 64, 0xA5);
        long got = lz_expand(payload + 2, n - 2, a.data(), room);
        long want = reference_expand(payload + 2, n - 2, b.data(), room);
        if ((got < 0) != (want < 0)) abort();
        if (got >= 0) {
            if (got != want || (uint32_t)got > room) abort();
            if (memcmp(a.data(), b.data(), (size_t)got) != 0) abort();
        }
        for (uint32_t i = room; i < room + 64; i++)
            if (a[i] != 0xA5) abort();  // nothing written past the room
    }

    // The whole decoder: a kept image has all its pixels.
    ImageRecord* img = image_decode(payload, n);
    if (img) {
        int64_t count = (int64_t)img->width * img->height;
        if (img->width <= 0 || img->height <= 0 || count <= 0 || !img->pixels) abort();
        uint64_t bound = (uint64_t)payload[1] * n / 8;
        if ((uint64_t)count * 2 + 16 > bound) abort();
        uint32_t sum = 0;
        for (int64_t i = 0; i < count; i++) sum += img->pixels[i];  // every pixel is there to read
        pixel_sum = sum;
        image_free(img);
    }
    return 0;
}
