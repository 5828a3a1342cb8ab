// Picture quality figures.
#include "picquality.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {
// A pixel's colours in 64ths of their ranges.
void fine(uint16_t p, int c[3]) {
    c[0] = (p >> 11) * 2;
    c[1] = (p >> 5) & 63;
    c[2] = (p & 31) * 2;
}

// A pixel's colours in 8-bit levels, as the handheld's screen widens them.
void levels(uint16_t p, double c[3]) {
    int r = p >> 11, g = (p >> 5) & 63, b = p & 31;
    c[0] = (r << 3 | r >> 2);
    c[1] = (g << 2 | g >> 4);
    c[2] = (b << 3 | b >> 2);
}

double luma(uint16_t p) {
    double c[3];
    levels(p, c);
    return 0.299 * c[0] + 0.587 * c[1] + 0.114 * c[2];
}

// Mean structural similarity of two brightness planes: 11 x 11 Gaussian
// windows (sigma 1.5) wholly inside the picture; a picture smaller than a
// window is one window of its own size, weighed evenly.
double ssim(const std::vector<double>& a, const std::vector<double>& b, int w, int h) {
    const double C1 = (0.01 * 255) * (0.01 * 255), C2 = (0.03 * 255) * (0.03 * 255);
    int r = std::min({5, (w - 1) / 2, (h - 1) / 2});
    std::vector<double> k((size_t)(2 * r + 1));
    double total = 0;
    for (int i = -r; i <= r; i++) total += k[(size_t)(i + r)] = r == 5 ? std::exp(-i * i / (2 * 1.5 * 1.5)) : 1.0;
    for (double& v : k) v /= total;
    double sum = 0;
    long count = 0;
    for (int y = r; y + r < h; y++) {
        for (int x = r; x + r < w; x++) {
            double ma = 0, mb = 0, aa = 0, bb = 0, ab = 0;
            for (int dy = -r; dy <= r; dy++) {
                for (int dx = -r; dx <= r; dx++) {
                    double wgt = k[(size_t)(dy + r)] * k[(size_t)(dx + r)];
                    size_t i = (size_t)(y + dy) * w + (x + dx);
                    ma += wgt * a[i];
                    mb += wgt * b[i];
                    aa += wgt * a[i] * a[i];
                    bb += wgt * b[i] * b[i];
                    ab += wgt * a[i] * b[i];
                }
            }
            double va = aa - ma * ma, vb = bb - mb * mb, cov = ab - ma * mb;
            sum += ((2 * ma * mb + C1) * (2 * cov + C2)) / ((ma * ma + mb * mb + C1) * (va + vb + C2));
            count++;
        }
    }
    return count ? sum / count : 1.0;
}
}  // namespace

std::vector<uint8_t> pq_smooth_mask(const std::vector<uint16_t>& exact, int width, int height) {
    std::vector<uint8_t> mask((size_t)width * height, 0);
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            int lo[3] = {64, 64, 64}, hi[3] = {0, 0, 0};
            for (int v = std::max(0, y - 2); v <= std::min(height - 1, y + 2); v++) {
                for (int u = std::max(0, x - 2); u <= std::min(width - 1, x + 2); u++) {
                    int c[3];
                    fine(exact[(size_t)v * width + u], c);
                    for (int k = 0; k < 3; k++) lo[k] = std::min(lo[k], c[k]), hi[k] = std::max(hi[k], c[k]);
                }
            }
            mask[(size_t)y * width + x] = hi[0] - lo[0] <= 4 && hi[1] - lo[1] <= 4 && hi[2] - lo[2] <= 4;
        }
    }
    return mask;
}

PictureQuality pq_compare(const std::vector<uint16_t>& exact, const std::vector<uint16_t>& shown, int width, int height) {
    PictureQuality q;
    size_t n = (size_t)width * height;
    if (n == 0 || exact.size() < n || shown.size() < n) return q;
    std::vector<uint8_t> smooth = pq_smooth_mask(exact, width, height);
    std::vector<double> la(n), lb(n);
    // Signed errors in 64ths, three to a pixel, for the banding figure.
    std::vector<int> err(n * 3);
    double all = 0, flat = 0;
    size_t flat_count = 0;
    for (size_t i = 0; i < n; i++) {
        double a[3], b[3];
        levels(exact[i], a);
        levels(shown[i], b);
        int fa[3], fb[3];
        fine(exact[i], fa);
        fine(shown[i], fb);
        double sq = 0;
        for (int k = 0; k < 3; k++) {
            sq += (a[k] - b[k]) * (a[k] - b[k]);
            err[i * 3 + k] = fb[k] - fa[k];
            int e = std::abs(fb[k] - fa[k]);
            q.max_error = std::max(q.max_error, e);
            if (smooth[i]) q.smooth_max = std::max(q.smooth_max, e);
        }
        all += sq;
        if (smooth[i]) flat += sq, flat_count++;
        la[i] = luma(exact[i]);
        lb[i] = luma(shown[i]);
    }
    q.rmse = std::sqrt(all / (3.0 * n));
    q.psnr = q.rmse > 0 ? 20 * std::log10(255.0 / q.rmse) : 99.0;
    q.smooth_share = (double)flat_count / n;
    q.smooth_rmse = flat_count ? std::sqrt(flat / (3.0 * flat_count)) : 0;
    q.ssim = ssim(la, lb, width, height);
    for (int y = 0; y + 4 <= height; y++) {
        for (int x = 0; x + 4 <= width; x++) {
            bool all_smooth = true;
            int sum[3] = {0, 0, 0};
            for (int v = y; v < y + 4 && all_smooth; v++) {
                for (int u = x; u < x + 4; u++) {
                    size_t i = (size_t)v * width + u;
                    if (!smooth[i]) {
                        all_smooth = false;
                        break;
                    }
                    for (int k = 0; k < 3; k++) sum[k] += err[i * 3 + k];
                }
            }
            if (!all_smooth) continue;
            for (int k = 0; k < 3; k++) q.banding = std::max(q.banding, std::abs(sum[k]) / 16.0);
        }
    }
    return q;
}
