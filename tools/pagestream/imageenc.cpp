// The image encoder.
#include "imageenc.h"

#include <png.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

bool ie_load_png(const std::string& path, RasterImage* img, std::string* error) {
    png_image im;
    memset(&im, 0, sizeof im);
    im.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&im, path.c_str())) {
        *error = path + ": " + im.message;
        return false;
    }
    im.format = PNG_FORMAT_RGBA;
    img->width = (int)im.width;
    img->height = (int)im.height;
    img->rgba.assign(PNG_IMAGE_SIZE(im), 0);
    if (!png_image_finish_read(&im, nullptr, img->rgba.data(), 0, nullptr)) {
        *error = path + ": " + im.message;
        png_image_free(&im);
        return false;
    }
    return true;
}

bool ie_save_png(const std::string& path, const RasterImage& img) {
    png_image im;
    memset(&im, 0, sizeof im);
    im.version = PNG_IMAGE_VERSION;
    im.width = (png_uint_32)img.width;
    im.height = (png_uint_32)img.height;
    im.format = PNG_FORMAT_RGBA;
    return png_image_write_to_file(&im, path.c_str(), 0, img.rgba.data(), 0, nullptr) != 0;
}

uint16_t ie_rgb565(uint8_t r, uint8_t g, uint8_t b) {
    return (uint16_t)(((r & 0xF8) << 8) | ((g & 0xFC) << 3) | (b >> 3));
}

std::vector<uint16_t> ie_to_rgb565(const RasterImage& img, bool transparent) {
    std::vector<uint16_t> out((size_t)img.width * img.height);
    for (size_t i = 0; i < out.size(); i++) {
        const uint8_t* p = &img.rgba[i * 4];
        uint16_t v = ie_rgb565(p[0], p[1], p[2]);
        if (transparent) {
            if (p[3] < 128) v = 0x0000;
            else if (v == 0x0000) v = 0x0020;  // darkest green step: black that still shows
        }
        out[i] = v;
    }
    return out;
}

static void put16(std::vector<uint8_t>& v, uint16_t w) {
    v.push_back((uint8_t)(w >> 8));
    v.push_back((uint8_t)w);
}

std::vector<uint8_t> ie_expanded(const std::vector<uint16_t>& pixels, int width, int height, uint32_t id,
                                 bool transparent) {
    std::vector<uint8_t> e;
    e.reserve(16 + pixels.size() * 2);
    put16(e, 1);
    put16(e, 0);
    put16(e, (uint16_t)width);
    put16(e, (uint16_t)height);
    put16(e, (uint16_t)(id >> 16));
    put16(e, (uint16_t)id);
    put16(e, transparent ? 1 : 0);
    put16(e, transparent ? 0x0000 : 0xFFFF);
    for (uint16_t p : pixels) put16(e, p);
    return e;
}

// Token writer of the compressed stream: a flag word, then up to 16 tokens.
namespace {
struct TokenWriter {
    std::vector<uint8_t> out;
    size_t flag_at = 0;
    int bit = 16;
    unsigned flags = 0;
    void token(bool match) {
        if (bit == 16) {
            close();
            flag_at = out.size();
            out.push_back(0);
            out.push_back(0);
            flags = 0;
            bit = 0;
        }
        if (match) flags |= 1u << bit;
        bit++;
    }
    void literal(uint8_t b) {
        token(false);
        out.push_back(b);
    }
    void match(size_t distance, size_t length) {
        token(true);
        out.push_back((uint8_t)(((distance >> 4) & 0xF0) | (length - 1)));
        out.push_back((uint8_t)distance);
    }
    void close() {
        if (out.empty()) return;
        out[flag_at] = (uint8_t)flags;
        out[flag_at + 1] = (uint8_t)(flags >> 8);
    }
};
}  // namespace

std::vector<uint8_t> lz_compress(const std::vector<uint8_t>& in, size_t literals) {
    // An optimal parse: the longest match at every position (found through
    // hash chains of three-byte prefixes, and at distances 1 and 2 for runs
    // of a byte or a pixel), then the cheapest way through the input by
    // dynamic programming. A literal costs 9 bits (its byte and its flag), a
    // match of any length 2 to 16 costs 17, and every shorter prefix of a
    // match is itself a match, so the longest one at each position is all
    // the parse needs to know.
    const size_t WINDOW = 4095, MAX_LEN = 16, HASH = 1 << 13, CHAIN = 256;
    const size_t n = in.size();
    std::vector<int32_t> head(HASH, -1), prev(n, -1);
    auto hash = [&](size_t i) { return ((in[i] << 10) ^ (in[i + 1] << 5) ^ in[i + 2]) & (HASH - 1); };
    std::vector<uint8_t> longest(n, 0);
    std::vector<uint16_t> distance(n, 0);
    for (size_t i = 0; i < n; i++) {
        if (i >= literals && i + 2 <= n) {
            size_t limit = std::min(MAX_LEN, n - i), best_len = 0, best_dist = 0;
            for (size_t d = 1; d <= 2 && d <= i; d++) {
                size_t k = 0;
                while (k < limit && in[i + k] == in[i + k - d]) k++;
                if (k > best_len) best_len = k, best_dist = d;
            }
            // Right after a whole-length match the same distance goes on at
            // least fifteen bytes: extended, it stands for the search, which
            // in flat areas would walk long chains to find no better.
            bool inside = i > 0 && longest[i - 1] == MAX_LEN;
            if (inside) {
                size_t d = distance[i - 1], k = longest[i - 1] - 1u;
                while (k < limit && in[i + k] == in[i + k - d]) k++;
                if (k > best_len) best_len = k, best_dist = d;
            }
            if (i + 2 < n && !inside) {
                int steps = 0;
                for (int32_t c = head[hash(i)]; c >= 0 && steps < (int)CHAIN && best_len < limit; c = prev[c], steps++) {
                    size_t d = i - (size_t)c;
                    if (d > WINDOW) break;
                    size_t k = 0;
                    while (k < limit && in[i + k] == in[c + k]) k++;
                    if (k > best_len) best_len = k, best_dist = d;
                }
            }
            if (best_len >= 2) {
                longest[i] = (uint8_t)best_len;
                distance[i] = (uint16_t)best_dist;
            }
        }
        if (i + 2 < n) {
            size_t h = hash(i);
            prev[i] = head[h];
            head[h] = (int32_t)i;
        }
    }
    // cost[i]: the fewest bits that give the first i bytes; step[i]: the
    // length of the token that ends there (1 for a literal).
    std::vector<uint32_t> cost(n + 1, UINT32_MAX);
    std::vector<uint8_t> step(n + 1, 0);
    cost[0] = 0;
    for (size_t i = 0; i < n; i++) {
        if (cost[i] + 9 < cost[i + 1]) cost[i + 1] = cost[i] + 9, step[i + 1] = 1;
        for (size_t len = 2; len <= longest[i]; len++)
            if (cost[i] + 17 < cost[i + len]) cost[i + len] = cost[i] + 17, step[i + len] = (uint8_t)len;
    }
    std::vector<uint32_t> ends;  // where each token ends, last first
    for (size_t i = n; i > 0; i -= step[i]) ends.push_back((uint32_t)i);
    TokenWriter w;
    w.out.reserve(n / 4 + 16);
    for (size_t k = ends.size(); k-- > 0;) {
        size_t end = ends[k], len = step[end], at = end - len;
        if (len == 1) w.literal(in[at]);
        else w.match(distance[at], len);
    }
    w.close();
    return w.out;
}

namespace {
uint16_t pixel_at(const std::vector<uint8_t>& e, size_t i) { return (uint16_t)(e[16 + 2 * i] << 8 | e[17 + 2 * i]); }

// Two RGB565 pixels alike within `tolerance` steps of red and blue (twice as
// many of green, which has twice the steps).
bool alike(uint16_t a, uint16_t b, int tolerance) {
    if (a == b) return true;
    int dr = (a >> 11) - (b >> 11), dg = ((a >> 5) & 63) - ((b >> 5) & 63), db = (a & 31) - (b & 31);
    return std::abs(dr) <= tolerance && std::abs(dg) <= 2 * tolerance && std::abs(db) <= tolerance;
}
}  // namespace

std::vector<uint8_t> lz_compress_pixels(const std::vector<uint8_t>& expanded, int width, int tolerance) {
    const size_t MAX_PIXELS = 8, MAX_DISTANCE = 2047, CHAIN = 12, EXACT_CHAIN = 16, HASH = 1 << 15;
    if (expanded.size() < 16 || width <= 0) return lz_compress(expanded, 16);
    size_t n = (expanded.size() - 16) / 2;
    TokenWriter w;
    for (size_t i = 0; i < 16; i++) w.literal(expanded[i]);
    // What the client will have expanded: matches copy these, not the source.
    std::vector<uint16_t> made(n);
    std::vector<int32_t> head(HASH, -1), prev(n, -1), exact_head(HASH, -1), exact_prev(n, -1);
    // Pairs of pixels exactly.
    auto exact_key = [&](uint16_t a, uint16_t b) { return (((uint32_t)a << 16 | b) * 2654435761u >> 17) & (HASH - 1); };
    // Pairs of pixels hashed coarsely, so that alike pairs meet.
    auto key = [&](size_t i) {
        auto q = [](uint16_t p) { return (unsigned)((p >> 13) << 6 | ((p >> 8) & 7) << 3 | ((p >> 2) & 7)); };
        return ((q(made[i]) << 9 | q(made[i + 1])) * 2654435761u >> 17) & (HASH - 1);
    };
    auto insert = [&](size_t i) {
        if (i + 1 >= n || i < 1) return;
        size_t at = i - 1;  // pairs are hashed once both pixels are made
        size_t h = key(at);
        prev[at] = head[h];
        head[h] = (int32_t)at;
        size_t x = exact_key(made[at], made[at + 1]);
        exact_prev[at] = exact_head[x];
        exact_head[x] = (int32_t)at;
    };
    // Where a copy may be inexact: only where the picture is busy (a pixel
    // beside it differs by more than two steps), since the eye takes small
    // errors in texture but sees them as streaks in smooth gradients and
    // flat areas.
    std::vector<uint8_t> busy(n, 0);
    if (tolerance > 0) {
        for (size_t i = 0; i < n; i++) {
            uint16_t p = pixel_at(expanded, i);
            size_t x = i % (size_t)width;
            bool b = (x > 0 && !alike(p, pixel_at(expanded, i - 1), 2)) ||
                     (x + 1 < (size_t)width && i + 1 < n && !alike(p, pixel_at(expanded, i + 1), 2)) ||
                     (i >= (size_t)width && !alike(p, pixel_at(expanded, i - width), 2)) ||
                     (i + width < n && !alike(p, pixel_at(expanded, i + width), 2));
            busy[i] = b;
        }
    }
    std::vector<size_t> candidates;
    for (size_t i = 0; i < n;) {
        uint16_t want = pixel_at(expanded, i);
        size_t best_len = 0, best_dist = 0;
        long best_err = 0;
        candidates.clear();
        for (size_t d : {(size_t)1, (size_t)2, (size_t)width, (size_t)width - 1, (size_t)width + 1, (size_t)width * 2})
            if (d >= 1 && d <= i && d <= MAX_DISTANCE) candidates.push_back(d);
        if (i + 1 < n) {
            // candidates whose first pair is alike in its coarse hash
            uint16_t saved0 = made[i], saved1 = made[i + 1];
            made[i] = want;
            made[i + 1] = pixel_at(expanded, i + 1);
            int steps = 0;
            for (int32_t c = head[key(i)]; c >= 0 && steps < (int)CHAIN; c = prev[c], steps++) {
                size_t d = i - (size_t)c;
                if (d > MAX_DISTANCE) break;
                candidates.push_back(d);
            }
            made[i] = saved0;
            made[i + 1] = saved1;
            steps = 0;
            for (int32_t c = exact_head[exact_key(want, pixel_at(expanded, i + 1))]; c >= 0 && steps < (int)EXACT_CHAIN;
                 c = exact_prev[c], steps++) {
                size_t d = i - (size_t)c;
                if (d > MAX_DISTANCE) break;
                candidates.push_back(d);
            }
        }
        for (size_t d : candidates) {
            if (best_len == MAX_PIXELS && best_err == 0) break;  // nothing beats a whole exact copy
            size_t len = 0;
            long err = 0;
            uint16_t src[MAX_PIXELS];
            while (len < MAX_PIXELS && i + len < n) {
                // a match may copy its own output: distance shorter than length
                uint16_t s = len < d ? made[i + len - d] : src[len - d];
                uint16_t t = pixel_at(expanded, i + len);
                if (s != t && (!busy[i + len] || !alike(s, t, tolerance))) break;
                src[len] = s;
                err += s == t ? 0 : 1;
                len++;
            }
            // Each pixel that differs counts as one less copied: an exact
            // copy wins unless the inexact one is longer by more than its
            // errors (errors everywhere would band gradients).
            if ((long)len - err > (long)best_len - best_err || (len == best_len && err < best_err)) {
                best_len = len;
                best_dist = d;
                best_err = err;
            }
        }
        // One pixel copied saves a single bit over two literals: only when exact.
        if (best_len >= 2 || (best_len == 1 && best_err == 0)) {
            w.match(best_dist * 2, best_len * 2);
            for (size_t k = 0; k < best_len; k++) {
                made[i + k] = made[i + k - best_dist];  // the client copies byte by byte
                insert(i + k);
            }
            i += best_len;
        } else {
            w.literal(expanded[16 + 2 * i]);
            w.literal(expanded[17 + 2 * i]);
            made[i] = want;
            insert(i);
            i++;
        }
    }
    w.close();
    // The client's picture, with the copies made above, may pack tighter
    // byte-wise: the smaller of the two.
    std::vector<uint8_t> again(expanded.begin(), expanded.begin() + 16);
    for (uint16_t m : made) {
        again.push_back((uint8_t)(m >> 8));
        again.push_back((uint8_t)m);
    }
    std::vector<uint8_t> bytewise = lz_compress(again, 16);
    if (bytewise.size() < w.out.size()) return bytewise;
    return w.out;
}

std::vector<uint8_t> ie_payload_pixels(const std::vector<uint8_t>& expanded, int width, int tolerance) {
    std::vector<uint8_t> body = lz_compress_pixels(expanded, width, tolerance);
    size_t n = body.size() + 6;
    size_t r = (expanded.size() * 8 + n - 1) / n;
    while (r * n / 8 < expanded.size()) r++;
    if (r > 255) return ie_payload(expanded, IMAGE_STORED);
    std::vector<uint8_t> p = {0, (uint8_t)r, 2, 0xCD, 0xCD, 0xCD};
    p.insert(p.end(), body.begin(), body.end());
    return p;
}

std::vector<uint8_t> ie_payload(const std::vector<uint8_t>& expanded, int method) {
    std::vector<uint8_t> body = method == IMAGE_STORED ? expanded : lz_compress(expanded, 16);
    size_t n = body.size() + 6;
    // The ratio byte promises that r * n / 8 bytes hold the expansion.
    size_t r = (expanded.size() * 8 + n - 1) / n;
    while (r * n / 8 < expanded.size()) r++;
    if (r > 255) {  // cannot be stated: fall back to the stored form
        return ie_payload(expanded, IMAGE_STORED);
    }
    std::vector<uint8_t> p = {0, (uint8_t)r, (uint8_t)(method == IMAGE_STORED ? 1 : 2), 0xCD, 0xCD, 0xCD};
    p.insert(p.end(), body.begin(), body.end());
    return p;
}

uint32_t ie_image_id(const std::string& name) {
    uint32_t h = 2166136261u;  // FNV-1a
    for (unsigned char c : name) h = (h ^ c) * 16777619u;
    return h ? h : 1;
}
