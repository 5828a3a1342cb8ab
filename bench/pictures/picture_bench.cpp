// The picture compressor's benchmark: for each picture (a PNG at the size
// the handheld shows it), the payload the rendering server sends, its size
// against the exact payload's, how close the client's own decoding of it is
// to the picture, and how long compressing it takes.
//
//   picture_bench [--out DIR] [--repeat N] [--tolerance T] PICTURE.png...
//
// --out writes, per picture, NAME.png (the exact picture left, the client's
// drawing of the payload right, at device size) and NAME.x4.png (the same
// enlarged four times, with the errors, magnified, under them).
// --tolerance compresses with that tolerance instead of the server's.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "page/image.h"
#include "server/render_internal.h"
#include "tools/pagestream/imageenc.h"
#include "tools/pagestream/picquality.h"

namespace {

void put(RasterImage& img, int x, int y, uint16_t p) {
    if (x < 0 || y < 0 || x >= img.width || y >= img.height) return;
    uint8_t* d = &img.rgba[((size_t)y * img.width + x) * 4];
    int r = p >> 11, g = (p >> 5) & 63, b = p & 31;
    d[0] = (uint8_t)(r << 3 | r >> 2);
    d[1] = (uint8_t)(g << 2 | g >> 4);
    d[2] = (uint8_t)(b << 3 | b >> 2);
    d[3] = 255;
}

// The error of a pixel as a grey (eight times its largest colour error, in
// 64ths), red where it lies in a smooth area.
uint16_t error_pixel(uint16_t a, uint16_t b, bool smooth) {
    int e = std::max({std::abs((a >> 11) - (b >> 11)) * 2, std::abs(((a >> 5) & 63) - ((b >> 5) & 63)),
                      std::abs((a & 31) - (b & 31)) * 2});
    int v = std::min(31, e * 4);
    if (smooth && e) return (uint16_t)(31 << 11 | (v / 2) << 6 | v / 2);
    return (uint16_t)(v << 11 | (v * 2) << 5 | v);
}

bool write_views(const std::string& base, const std::vector<uint16_t>& exact, const std::vector<uint16_t>& shown,
                 int w, int h) {
    std::vector<uint8_t> smooth = pq_smooth_mask(exact, w, h);
    RasterImage side;
    side.width = 2 * w + 4;
    side.height = h;
    side.rgba.assign((size_t)side.width * side.height * 4, 255);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            put(side, x, y, exact[(size_t)y * w + x]);
            put(side, w + 4 + x, y, shown[(size_t)y * w + x]);
        }
    const int Z = 4;
    RasterImage big;
    big.width = (2 * w + 2) * Z;
    big.height = (2 * h + 2) * Z;
    big.rgba.assign((size_t)big.width * big.height * 4, 255);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            size_t i = (size_t)y * w + x;
            for (int v = 0; v < Z; v++)
                for (int u = 0; u < Z; u++) {
                    put(big, x * Z + u, y * Z + v, exact[i]);
                    put(big, (w + 2 + x) * Z + u, y * Z + v, shown[i]);
                    put(big, (w + 2 + x) * Z + u, (h + 2 + y) * Z + v, error_pixel(exact[i], shown[i], smooth[i]));
                    put(big, x * Z + u, (h + 2 + y) * Z + v, smooth[i] ? 0x39E7 : 0x0000);
                }
        }
    return ie_save_png(base + ".png", side) && ie_save_png(base + ".x4.png", big);
}

std::string stem(const std::string& path) {
    size_t s = path.find_last_of('/');
    std::string name = s == std::string::npos ? path : path.substr(s + 1);
    size_t d = name.rfind('.');
    return d == std::string::npos ? name : name.substr(0, d);
}

}  // namespace

int main(int argc, char** argv) {
    std::string out;
    int repeat = 5, tolerance = -1;
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--out" && i + 1 < argc) out = argv[++i];
        else if (a == "--repeat" && i + 1 < argc) repeat = std::max(1, atoi(argv[++i]));
        else if (a == "--tolerance" && i + 1 < argc) tolerance = atoi(argv[++i]);
        else if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
            fprintf(stderr, "usage: picture_bench [--out DIR] [--repeat N] [--tolerance T] PICTURE.png...\n");
            return 2;
        } else files.push_back(a);
    }
    printf("%-18s %9s %6s %6s %5s %6s %6s %6s %4s %6s %4s %5s %6s\n", "picture", "size", "exact", "bytes", "bits",
           "rmse", "psnr", "ssim", "max", "smooth", "smax", "band", "ms");
    long total_px = 0, total_bytes = 0, total_exact = 0;
    int failures = 0;
    for (const std::string& path : files) {
        RasterImage img;
        std::string error;
        if (!ie_load_png(path, &img, &error)) {
            fprintf(stderr, "%s\n", error.c_str());
            failures++;
            continue;
        }
        std::vector<uint16_t> px = ie_to_rgb565(img, false);
        int w = img.width, h = img.height;
        uint32_t id = rimage_id(px.data(), w, h, w);
        std::vector<uint8_t> payload;
        std::vector<double> ms;
        for (int r = 0; r < repeat; r++) {
            auto t0 = std::chrono::steady_clock::now();
            payload = tolerance < 0 ? rimage_payload(px, w, h, id)
                                    : ie_payload_pixels(ie_expanded(px, w, h, id, false), w, tolerance);
            ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        }
        std::sort(ms.begin(), ms.end());
        std::vector<uint8_t> exact = ie_payload_pixels(ie_expanded(px, w, h, id, false), w, 0);
        ImageRecord* rec = image_decode(payload.data(), (DWORD)payload.size());
        if (!rec || rec->width != w || rec->height != h || rec->id != id) {
            fprintf(stderr, "%s: the client does not decode the payload\n", path.c_str());
            image_free(rec);
            failures++;
            continue;
        }
        std::vector<uint16_t> shown(rec->pixels, rec->pixels + (size_t)w * h);
        image_free(rec);
        PictureQuality q = pq_compare(px, shown, w, h);
        printf("%-18s %4dx%-4d %6zu %6zu %5.2f %6.2f %6.2f %6.4f %4d %5.0f%% %4d %5.2f %6.2f\n", stem(path).c_str(), w, h,
               exact.size(), payload.size(), 8.0 * payload.size() / ((double)w * h), q.rmse, q.psnr, q.ssim,
               q.max_error, 100 * q.smooth_share, q.smooth_max, q.banding, ms[ms.size() / 2]);
        total_px += (long)w * h;
        total_bytes += (long)payload.size();
        total_exact += (long)exact.size();
        if (!out.empty() && !write_views(out + "/" + stem(path), px, shown, w, h)) {
            fprintf(stderr, "%s: cannot write the views\n", out.c_str());
            failures++;
        }
    }
    if (total_px)
        printf("%-18s %9ld %6ld %6ld %5.2f\n", "all", total_px, total_exact, total_bytes, 8.0 * total_bytes / total_px);
    return failures ? 1 : 0;
}
