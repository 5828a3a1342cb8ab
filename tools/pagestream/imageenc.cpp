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

namespace {
// lz_compress, looking at most `chain` earlier places for each match.
std::vector<uint8_t> lz_parse(const std::vector<uint8_t>& in, size_t literals, size_t chain) {
    // An optimal parse: the longest match at every position (found through
    // hash chains of three-byte prefixes, at distances 1 and 2 for runs of a
    // byte or a pixel, and for two bytes at their last place), then the
    // cheapest way through the input by dynamic programming. A literal
    // costs 9 bits (its byte and its flag), a match of any length 2 to 16
    // costs 17, and every shorter prefix of a match is itself a match, so
    // the longest one at each position is all the parse needs to know.
    const size_t WINDOW = 4095, MAX_LEN = 16, HASH = 1 << 13;
    const size_t n = in.size();
    std::vector<int32_t> head(HASH, -1), prev(n, -1);
    auto hash = [&](size_t i) { return ((in[i] << 10) ^ (in[i + 1] << 5) ^ in[i + 2]) & (HASH - 1); };
    std::vector<uint8_t> longest(n, 0);
    std::vector<uint16_t> distance(n, 0);
    // The last place of a two-byte pair (by a hash of it): a pair the
    // chains miss (they hash three bytes) still saves a bit as a two-byte
    // match.
    const size_t PAIRS = 1 << 12;
    std::vector<int32_t> last_pair(PAIRS, -1);
    auto pair = [&](size_t i) { return ((in[i] * 2654435761u) ^ in[i + 1]) & (PAIRS - 1); };
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
                for (int32_t c = head[hash(i)]; c >= 0 && steps < (int)chain && best_len < limit; c = prev[c], steps++) {
                    size_t d = i - (size_t)c;
                    if (d > WINDOW) break;
                    // only a place that also matches at the best length so
                    // far can beat it
                    if (in[c + best_len] != in[i + best_len]) continue;
                    size_t k = 0;
                    while (k < limit && in[i + k] == in[c + k]) k++;
                    if (k > best_len) best_len = k, best_dist = d;
                }
            }
            if (best_len < 2 && i + 1 < n) {
                int32_t c = last_pair[pair(i)];
                if (c >= 0 && i - (size_t)c <= WINDOW && in[c] == in[i] && in[c + 1] == in[i + 1])
                    best_len = 2, best_dist = i - (size_t)c;
            }
            if (best_len >= 2) {
                longest[i] = (uint8_t)best_len;
                distance[i] = (uint16_t)best_dist;
            }
        }
        if (i + 1 < n) last_pair[pair(i)] = (int32_t)i;
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
}  // namespace

std::vector<uint8_t> lz_compress(const std::vector<uint8_t>& in, size_t literals) { return lz_parse(in, literals, 256); }

namespace {
// A colour of a pixel in 64ths of its range: a step of red or blue (five
// bits) is two, a step of green (six bits) one.
inline int fine(uint16_t p, int c) { return c == 0 ? (p >> 11) * 2 : c == 1 ? (p >> 5) & 63 : (p & 31) * 2; }

// Smooth pixels: every colour of the 5 x 5 pixels around (the picture's edge
// cut off) within four 64ths, two steps of red or blue. Flat areas and
// gradients are smooth; their copies must be exact, since the eye sees any
// error there as a streak or a band.
std::vector<uint8_t> smooth_pixels(const std::vector<uint8_t>& plane, int w, int h) {
    size_t n = (size_t)w * h;
    std::vector<uint8_t> smooth(n, 1), lo(n), hi(n);
    for (int c = 0; c < 3; c++) {
        const uint8_t* p = &plane[c * n];
        for (int y = 0; y < h; y++) {
            const uint8_t* row = p + (size_t)y * w;
            for (int x = 0; x < w; x++) {
                uint8_t l = 64, g = 0;
                for (int u = std::max(0, x - 2); u <= std::min(w - 1, x + 2); u++) l = std::min(l, row[u]), g = std::max(g, row[u]);
                lo[(size_t)y * w + x] = l, hi[(size_t)y * w + x] = g;
            }
        }
        for (int y = 0; y < h; y++) {
            int v0 = std::max(0, y - 2), v1 = std::min(h - 1, y + 2);
            for (int x = 0; x < w; x++) {
                uint8_t l = 64, g = 0;
                for (int v = v0; v <= v1; v++) l = std::min(l, lo[(size_t)v * w + x]), g = std::max(g, hi[(size_t)v * w + x]);
                if (g - l > 4) smooth[(size_t)y * w + x] = 0;
            }
        }
    }
    return smooth;
}

// How far (in 64ths of each colour) each pixel may be copied from, up to
// `widest`:
//  - 0 in smooth areas (above);
//  - in texture, twice its masking: the least detail of the 5 x 5 pixels
//    around, where a pixel's detail is how far it stands out from the lines
//    through its neighbours (second differences, so that a gradient, however
//    steep, has none). Fur, foliage, gravel or noise, detailed everywhere,
//    take a wide tolerance; an edge or a small feature (an eye, a letter)
//    with calm pixels beside it, and a gradient, take none from this rule;
//  - at least two steps (four 64ths) where a neighbour differs by more than
//    two steps, as at the antialiased edges of drawings, where a step is
//    not seen.
std::vector<uint8_t> allowances(const std::vector<uint16_t>& px, int w, int h, int widest) {
    size_t n = px.size();
    std::vector<uint8_t> allow(n, 0);
    if (widest <= 0) return allow;
    // Each colour in 64ths, plane by plane.
    std::vector<uint8_t> plane(n * 3);
    for (size_t i = 0; i < n; i++)
        for (int c = 0; c < 3; c++) plane[c * n + i] = (uint8_t)fine(px[i], c);
    std::vector<uint16_t> detail(n);
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            size_t i = (size_t)y * w + x;
            int most = 0;
            for (int c = 0; c < 3; c++) {
                const uint8_t* p = &plane[c * n + i];
                int v = 2 * p[0], sum = 0, count = 0;
                if (x > 0 && x + 1 < w) sum += std::abs(v - p[-1] - p[1]), count += 2;
                if (y > 0 && y + 1 < h) sum += std::abs(v - p[-w] - p[w]), count += 2;
                if (count) most = std::max(most, sum * 4 / count);
            }
            detail[i] = (uint16_t)most;
        }
    }
    // The least detail within two pixels: rows, then columns.
    std::vector<uint16_t> rows(n);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            uint16_t m = UINT16_MAX;
            for (int u = std::max(0, x - 2); u <= std::min(w - 1, x + 2); u++) m = std::min(m, detail[(size_t)y * w + u]);
            rows[(size_t)y * w + x] = m;
        }
    std::vector<uint8_t> smooth = smooth_pixels(plane, w, h);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            size_t i = (size_t)y * w + x;
            if (smooth[i]) continue;
            int m = UINT16_MAX;
            for (int v = std::max(0, y - 2); v <= std::min(h - 1, y + 2); v++) m = std::min(m, (int)rows[(size_t)v * w + x]);
            int a = std::min(widest, 2 * m);
            bool busy = false;
            for (int c = 0; c < 3 && !busy; c++) {
                const uint8_t* p = &plane[c * n + i];
                int v = p[0];
                busy = (x > 0 && std::abs(v - p[-1]) > 4) || (x + 1 < w && std::abs(v - p[1]) > 4) ||
                       (y > 0 && std::abs(v - p[-w]) > 4) || (y + 1 < h && std::abs(v - p[w]) > 4);
            }
            if (busy) a = std::max(a, std::min(widest, 4));
            allow[i] = (uint8_t)a;
        }
    return allow;
}
}  // namespace

std::vector<uint8_t> lz_compress_pixels(const std::vector<uint8_t>& expanded, int width, int tolerance) {
    const size_t MAX_PIXELS = 8, MAX_DISTANCE = 2047, HASH = 1 << 15;
    if (expanded.size() < 16 || width <= 0) return lz_compress(expanded, 16);
    size_t n = (expanded.size() - 16) / 2;
    // Earlier places tried a position, of alike pairs (in each grid below)
    // and of equal ones: a long search finds the copies that drawings and
    // photographs repeat rows away. With both grids, 5.5 % fewer bytes than
    // twelve and sixteen places in one grid, at one and a half times the
    // time; twice as many places find 0.1 % more. Pictures larger than
    // 128 x 128 pixels get a shorter search, which loses little.
    const size_t CHAIN = std::min<size_t>(512, std::max<size_t>(64, (size_t(1) << 23) / std::max<size_t>(n, 1)));
    const size_t EXACT_CHAIN = CHAIN;
    std::vector<uint16_t> want(n);
    for (size_t i = 0; i < n; i++) want[i] = (uint16_t)(expanded[16 + 2 * i] << 8 | expanded[17 + 2 * i]);
    // A picture that is not whole rows is sent exactly.
    std::vector<uint8_t> allow = n % (size_t)width == 0 ? allowances(want, width, (int)(n / width), 2 * tolerance)
                                                        : std::vector<uint8_t>(n, 0);
    TokenWriter w;
    for (size_t i = 0; i < 16; i++) w.literal(expanded[i]);
    // What the client will have expanded: matches copy these, not the source;
    // and their errors, colour by colour in 64ths.
    std::vector<uint16_t> made(n);
    std::vector<int8_t> made_error(n * 3, 0);
    std::vector<int32_t> exact_head(HASH, -1), exact_prev(n, -1);
    auto exact_key = [&](uint16_t a, uint16_t b) { return (((uint32_t)a << 16 | b) * 2654435761u >> 17) & (HASH - 1); };
    // Pairs of pixels hashed coarsely (three bits a colour), so that alike
    // pairs meet; twice, the second time on a grid shifted by half its step,
    // so that alike colours on either side of a step of one grid meet in
    // the other (2 % fewer bytes than one grid searched as long).
    std::vector<int32_t> head[2] = {std::vector<int32_t>(HASH, -1), std::vector<int32_t>(HASH, -1)};
    std::vector<int32_t> prev[2] = {std::vector<int32_t>(n, -1), std::vector<int32_t>(n, -1)};
    auto coarse_key = [&](int grid, uint16_t a, uint16_t b) {
        auto q = [grid](uint16_t p) {
            unsigned r = p >> 11, g = (p >> 5) & 63, bl = p & 31;
            if (grid) r = std::min(31u, r + 2), g = std::min(63u, g + 4), bl = std::min(31u, bl + 2);
            return (r >> 2) << 6 | (g >> 3) << 3 | (bl >> 2);
        };
        return ((q(a) << 9 | q(b)) * 2654435761u >> 17) & (HASH - 1);
    };
    auto insert = [&](size_t i) {
        if (i < 1) return;
        size_t at = i - 1;  // pairs are hashed once both pixels are made
        for (int grid = 0; grid < 2; grid++) {
            size_t h = coarse_key(grid, made[at], made[at + 1]);
            prev[grid][at] = head[grid][h];
            head[grid][h] = (int32_t)at;
        }
        size_t x = exact_key(made[at], made[at + 1]);
        exact_prev[at] = exact_head[x];
        exact_head[x] = (int32_t)at;
    };
    // Distances of the pixels around, nearest first: the four before in the
    // row, and nine in each of the two rows above.
    std::vector<size_t> near;
    auto add_near = [&](long d) {
        if (d >= 1 && d <= (long)MAX_DISTANCE && std::find(near.begin(), near.end(), (size_t)d) == near.end())
            near.push_back((size_t)d);
    };
    for (long d : {1L, (long)width, 2L, (long)width - 1, (long)width + 1, 2L * width}) add_near(d);
    for (int dy = 0; dy <= 2; dy++)
        for (int dx = dy ? -4 : 1; dx <= 4; dx++) add_near((long)dy * width + dx);
    // Each distance is tried once a position: the token it was last met for.
    std::vector<uint32_t> met(MAX_DISTANCE + 1, UINT32_MAX);
    uint32_t token = 0;
    for (size_t i = 0; i < n; token++) {
        // The copy that costs least per pixel: its 17 bits and its squared
        // errors (a bit each square 64th), over its length; two literals cost
        // 18 bits. Weighed so, a long inexact copy wins only where it saves
        // many bits for few errors (cheaper errors drew faint streaks across
        // a sun's dithered glow).
        size_t best_len = 0, best_dist = 0;
        long best_err = 0;
        double best_cost = 18;
        int8_t best_errors[MAX_PIXELS * 3];
        auto consider = [&](size_t d) {
            if (met[d] == token) return;
            met[d] = token;
            size_t len = 0;
            long err = 0;
            uint16_t src[MAX_PIXELS];
            int8_t e[MAX_PIXELS * 3];
            while (len < MAX_PIXELS && i + len < n) {
                // a match may copy its own output: distance shorter than length
                uint16_t s = len < d ? made[i + len - d] : src[len - d];
                size_t at = i + len;
                uint16_t t = want[at];
                int8_t* el = &e[len * 3];
                if (s == t) {
                    el[0] = el[1] = el[2] = 0;
                } else {
                    int a = allow[at];
                    if (!a) break;
                    int dr = ((s >> 11) - (t >> 11)) * 2, dg = ((s >> 5) & 63) - ((t >> 5) & 63),
                        db = ((s & 31) - (t & 31)) * 2;
                    if (std::abs(dr) > a || std::abs(dg) > a || std::abs(db) > a) break;
                    // Hue shifts show more than brightness: red and blue
                    // against green within half the tolerance.
                    if (std::abs(dr - dg) > a / 2 || std::abs(db - dg) > a / 2) break;
                    // Errors of one sign over a patch show as a blot: the
                    // two by two pixels ending here keep a mean error within
                    // three eighths of the tolerance, two 64ths at most.
                    int bound = std::min(a * 6 / 4, 8), d3[3] = {dr, dg, db};
                    size_t x = at % (size_t)width;
                    bool blot = false;
                    for (int c = 0; c < 3 && !blot; c++) {
                        int sum = d3[c];
                        if (x > 0) sum += len > 0 ? el[c - 3] : made_error[(at - 1) * 3 + c];
                        if (at >= (size_t)width) {
                            sum += made_error[(at - width) * 3 + c];
                            if (x > 0) sum += made_error[(at - width - 1) * 3 + c];
                        }
                        blot = std::abs(sum) > bound;
                    }
                    if (blot) break;
                    el[0] = (int8_t)dr, el[1] = (int8_t)dg, el[2] = (int8_t)db;
                    err += dr * dr + dg * dg + db * db;
                    // Even whole, this copy could no longer cost less.
                    if ((double)(17 + err) > best_cost * (double)MAX_PIXELS) return;
                }
                src[len] = s;
                len++;
            }
            // One pixel copied saves a single bit over two literals: only when exact.
            if (len == 0 || (len == 1 && err)) return;
            // Of copies that cost alike, the longest: fewer tokens for the
            // byte-wise parse below to join.
            double cost = (double)(17 + err) / (double)len;
            if (cost < best_cost || (cost == best_cost && len > best_len)) {
                best_cost = cost;
                best_len = len;
                best_dist = d;
                best_err = err;
                std::copy(e, e + len * 3, best_errors);
            }
        };
        // Nothing beats a whole exact copy: once one is found the search ends.
        auto whole = [&] { return best_len == MAX_PIXELS && best_err == 0; };
        for (size_t k = 0; k < near.size() && !whole(); k++)
            if (near[k] <= i) consider(near[k]);
        if (i + 1 < n) {
            for (int grid = 0; grid < 2 && allow[i] > 0; grid++) {
                int steps = 0;
                for (int32_t c = head[grid][coarse_key(grid, want[i], want[i + 1])];
                     c >= 0 && steps < (int)CHAIN && !whole(); c = prev[grid][c], steps++) {
                    size_t d = i - (size_t)c;
                    if (d > MAX_DISTANCE) break;
                    consider(d);
                }
            }
            int steps = 0;
            for (int32_t c = exact_head[exact_key(want[i], want[i + 1])]; c >= 0 && steps < (int)EXACT_CHAIN && !whole();
                 c = exact_prev[c], steps++) {
                size_t d = i - (size_t)c;
                if (d > MAX_DISTANCE) break;
                consider(d);
            }
        }
        if (best_len) {
            w.match(best_dist * 2, best_len * 2);
            for (size_t k = 0; k < best_len; k++) {
                made[i + k] = made[i + k - best_dist];  // the client copies byte by byte
                std::copy(best_errors + k * 3, best_errors + k * 3 + 3, &made_error[(i + k) * 3]);
                insert(i + k);
            }
            i += best_len;
        } else {
            w.literal((uint8_t)(want[i] >> 8));
            w.literal((uint8_t)want[i]);
            made[i] = want[i];
            insert(i);
            i++;
        }
    }
    w.close();
    // The client's picture, with the copies made above, packs tighter
    // byte-wise: the cheapest parse finds the best way through the copies
    // made here (and their pieces), 5 to 8 % fewer bytes. It is worth its
    // time where the pixel parse found long copies (drawings, up to four
    // bits a pixel); on photographs it would double the time (a screenful
    // took 45 ms instead of 26 here) for 6 %. Its search walks up to 4096
    // earlier places (the whole window) for pictures up to 128 x 128 pixels
    // and fewer for larger ones. The smaller of the two is sent.
    if (tolerance > 0 && w.out.size() * 8 > n * 4) return w.out;
    std::vector<uint8_t> again(expanded.begin(), expanded.begin() + 16);
    for (uint16_t m : made) {
        again.push_back((uint8_t)(m >> 8));
        again.push_back((uint8_t)m);
    }
    std::vector<uint8_t> bytewise = lz_parse(again, 16, std::min<size_t>(4096, std::max<size_t>(256, (128 * 128 * 4096) / n)));
    if (bytewise.size() < w.out.size()) return bytewise;
    return w.out;
}

namespace {
// A payload: its six-byte head (the ratio byte promising that r * n / 8
// bytes hold the expansion, the method) and the body; the stored form where
// no ratio byte can state it.
std::vector<uint8_t> with_head(const std::vector<uint8_t>& expanded, const std::vector<uint8_t>& body, int method) {
    size_t n = body.size() + 6;
    size_t r = (expanded.size() * 8 + n - 1) / n;
    while (r * n / 8 < expanded.size()) r++;
    if (r > 255) return ie_payload(expanded, IMAGE_STORED);
    std::vector<uint8_t> p = {0, (uint8_t)r, (uint8_t)method, 0xCD, 0xCD, 0xCD};
    p.insert(p.end(), body.begin(), body.end());
    return p;
}
}  // namespace

std::vector<uint8_t> ie_payload_pixels(const std::vector<uint8_t>& expanded, int width, int tolerance) {
    return with_head(expanded, lz_compress_pixels(expanded, width, tolerance), IMAGE_COMPRESSED);
}

std::vector<uint8_t> ie_payload(const std::vector<uint8_t>& expanded, int method) {
    if (method == IMAGE_STORED) return with_head(expanded, expanded, IMAGE_STORED);
    return with_head(expanded, lz_compress(expanded, 16), IMAGE_COMPRESSED);
}

uint32_t ie_image_id(const std::string& name) {
    uint32_t h = 2166136261u;  // FNV-1a
    for (unsigned char c : name) h = (h ^ c) * 16777619u;
    return h ? h : 1;
}
