// Pictures: the engine's capture of the viewport scaled to the handheld's
// pixels, pictures cropped from it, their ids, and their IM payloads.
#include <png.h>

#include <algorithm>
#include <cstring>

#include "server/render_internal.h"
#include "tools/pagestream/imageenc.h"

// Area-average weights of one axis: output pixel o covers source
// [o / scale, (o + 1) / scale). Only outputs [from, to) are made, element
// o - from for output o: a picture's grid may be far larger than the part of
// it on the screen, and only that part is ever resampled.
namespace {
struct Span {
    int first;
    std::vector<float> weight;
};
}  // namespace

static std::vector<Span> spans(int source, double scale, int from, int to) {
    std::vector<Span> out((size_t)(to - from));
    for (int o = from; o < to; o++) {
        double a = o / scale, b = (o + 1) / scale;
        if (b > source) b = source;
        if (a >= b) a = std::max(0.0, b - 1);
        Span& s = out[(size_t)(o - from)];
        s.first = (int)a;
        double total = 0;
        for (int i = s.first; i < b; i++) {
            double w = std::min(b, (double)i + 1) - std::max(a, (double)i);
            s.weight.push_back((float)w);
            total += w;
        }
        for (float& w : s.weight) w = (float)(w / total);
    }
    return out;
}

bool rimage_decode(const std::string& png, RgbImage* out, std::string* error) {
    png_image im;
    memset(&im, 0, sizeof im);
    im.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&im, png.data(), png.size())) {
        if (error) *error = std::string("capture: ") + im.message;
        return false;
    }
    im.format = PNG_FORMAT_RGB;
    int w = (int)im.width, h = (int)im.height;
    if (w <= 0 || h <= 0 || w > 8192 || h > 8192) {
        png_image_free(&im);
        if (error) *error = "capture: unexpected size";
        return false;
    }
    out->width = w;
    out->height = h;
    out->rgb.assign(PNG_IMAGE_SIZE(im), 0);
    if (!png_image_finish_read(&im, nullptr, out->rgb.data(), 0, nullptr)) {
        if (error) *error = std::string("capture: ") + im.message;
        png_image_free(&im);
        out->rgb.clear();
        return false;
    }
    return true;
}

std::vector<uint16_t> rimage_resample(const RgbImage& img, int x0, int y0, int x1, int y1, int width, int height) {
    x0 = std::max(0, x0);
    y0 = std::max(0, y0);
    x1 = std::min(img.width, x1);
    y1 = std::min(img.height, y1);
    if (x1 <= x0 || y1 <= y0) return {};
    return rimage_resample_grid(img, x0, y0, x1, y1, width, height, GridCut{0, 0, width, height}, nullptr);
}

std::vector<uint16_t> rimage_resample_grid(const RgbImage& img, int x0, int y0, int x1, int y1, int width, int height,
                                           const GridCut& cut, std::vector<uint8_t>* complete) {
    std::vector<uint16_t> out;
    int c0 = std::max(0, cut.c0), r0 = std::max(0, cut.r0), c1 = std::min(width, cut.c1), r1 = std::min(height, cut.r1);
    if (x1 <= x0 || y1 <= y0 || width <= 0 || height <= 0 || c1 <= c0 || r1 <= r0 || img.width <= 0 ||
        img.height <= 0)
        return out;
    int w = x1 - x0, h = y1 - y0, cw = c1 - c0, ch = r1 - r0;
    std::vector<Span> sx = spans(w, (double)width / w, c0, c1), sy = spans(h, (double)height / h, r0, r1);
    // Source rows the cut needs: region rows [first, last).
    int first = sy[0].first, last = first;
    for (const Span& s : sy) last = std::max(last, s.first + (int)s.weight.size());
    auto clamp = [](int v, int n) { return std::min(n - 1, std::max(0, v)); };
    // Rows first, then columns.
    std::vector<float> rows((size_t)(last - first) * cw * 3);
    for (int y = first; y < last; y++) {
        const uint8_t* src = &img.rgb[(size_t)clamp(y0 + y, img.height) * img.width * 3];
        float* dst = &rows[(size_t)(y - first) * cw * 3];
        for (int x = c0; x < c1; x++) {
            const Span& s = sx[(size_t)(x - c0)];
            float r = 0, g = 0, b = 0;
            for (size_t k = 0; k < s.weight.size(); k++) {
                const uint8_t* p = src + (size_t)clamp(x0 + s.first + (int)k, img.width) * 3;
                r += s.weight[k] * p[0];
                g += s.weight[k] * p[1];
                b += s.weight[k] * p[2];
            }
            dst[(x - c0) * 3] = r;
            dst[(x - c0) * 3 + 1] = g;
            dst[(x - c0) * 3 + 2] = b;
        }
    }
    out.assign((size_t)cw * ch, 0);
    if (complete) complete->assign((size_t)ch, 1);
    for (int y = r0; y < r1; y++) {
        const Span& s = sy[(size_t)(y - r0)];
        if (complete && (y0 + s.first < 0 || y0 + s.first + (int)s.weight.size() > img.height))
            (*complete)[(size_t)(y - r0)] = 0;
        for (int x = 0; x < cw; x++) {
            float r = 0, g = 0, b = 0;
            for (size_t k = 0; k < s.weight.size(); k++) {
                const float* p = &rows[((size_t)(s.first - first + (int)k) * cw + x) * 3];
                r += s.weight[k] * p[0];
                g += s.weight[k] * p[1];
                b += s.weight[k] * p[2];
            }
            // Truncated like every colour the handheld converts, so a flat
            // area of a picture matches the boxes drawn beside it.
            auto c = [](float v) { return (uint8_t)std::min(255.0f, std::max(0.0f, v + 0.5f)); };
            out[(size_t)(y - r0) * cw + x] = ie_rgb565(c(r), c(g), c(b));
        }
    }
    return out;
}

bool rimage_device_capture(const std::string& png, double scale, DeviceCapture* out, std::string* error) {
    RgbImage img;
    if (!rimage_decode(png, &img, error)) return false;
    out->width = std::max(1, (int)(img.width * scale + 0.5));
    out->height = std::max(1, (int)(img.height * scale + 0.5));
    out->pixels = rimage_resample(img, 0, 0, img.width, img.height, out->width, out->height);
    return true;
}

// Pictures travel with copies of alike pixels where the eye does not see
// the difference: up to four steps of red or blue (of 32) and eight of green
// (of 64) in strong texture (fur, wood grain, foliage, noise), two at the
// edges of drawings, none in flat and smooth areas (the compressor keeps them
// exact), and only where a copy saves many bits for few errors. Tried on real
// photographs shown at the handheld's size: they travel in two thirds of the
// bytes of exact ones (6.1 bits a pixel against 9; the earlier rule of two
// steps at busy pixels took 7.2) and keep their look, faces and eyes
// included; the sample site's drawings are a fifth smaller than exact ones
// and show no streak or band that the exact picture lacks (wider or cheaper
// errors drew faint streaks across the home page's glowing sky).
static const int PICTURE_TOLERANCE = 4;

uint32_t rimage_id(const uint16_t* pixels, int width, int height, int stride) {
    uint32_t h = 2166136261u;  // FNV-1a over the size and the pixels
    auto add = [&h](uint16_t v) {
        h = (h ^ (v & 0xFF)) * 16777619u;
        h = (h ^ (v >> 8)) * 16777619u;
    };
    add((uint16_t)width);
    add((uint16_t)height);
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) add(pixels[(size_t)y * stride + x]);
    return h ? h : 1;
}

std::vector<uint8_t> rimage_payload(const std::vector<uint16_t>& pixels, int width, int height, uint32_t id) {
    return ie_payload_pixels(ie_expanded(pixels, width, height, id, false), width, PICTURE_TOLERANCE);
}
