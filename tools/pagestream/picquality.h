// How close a picture as the handheld shows it (RGB565) is to the exact one:
// the figures the picture compressor is judged by, in its tests and its
// benchmark.
//
// Errors are counted in 64ths of a colour's range: one step of red or blue
// (five bits) is two, one step of green (six bits) is one.
#ifndef CV_TOOLS_PICQUALITY_H
#define CV_TOOLS_PICQUALITY_H

#include <cstdint>
#include <vector>

struct PictureQuality {
    double rmse = 0;          // root mean square error of every colour, in 8-bit levels
    double psnr = 0;          // peak signal to noise, dB (99 when exact)
    double ssim = 1;          // structural similarity of the brightness (11 x 11 Gaussian windows)
    int max_error = 0;        // the largest error of one colour of one pixel, 64ths
    double smooth_share = 0;  // the share of pixels that lie in smooth areas
    double smooth_rmse = 0;   // root mean square error there, 8-bit levels
    int smooth_max = 0;       // the largest error there, 64ths
    double banding = 0;       // the largest mean error of one colour over 4 x 4 smooth pixels, 64ths
};

// Smooth pixels: every colour of the 5 x 5 pixels around them (the
// picture's edge cut off) within two steps of red and blue, four of green.
// Flat areas and gradients are smooth; edges, texture and noise are not.
std::vector<uint8_t> pq_smooth_mask(const std::vector<uint16_t>& exact, int width, int height);
PictureQuality pq_compare(const std::vector<uint16_t>& exact, const std::vector<uint16_t>& shown, int width, int height);

#endif
