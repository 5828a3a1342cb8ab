// Screenshots: RGB565 pixels written as an 8-bit RGB PNG file.
#include <png.h>

#include <cstdio>
#include <vector>

#include "emu.h"

int emu_write_png(const char* host_path, const uint16_t* pixels, int width, int height) {
    FILE* f = std::fopen(host_path, "wb");
    if (!f) return -1;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(f);
        return -1;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, (png_uint_32)width, (png_uint_32)height, 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    std::vector<png_byte> row((size_t)width * 3);
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            uint16_t p = pixels[y * width + x];
            int r = (p >> 11) & 31, g = (p >> 5) & 63, b = p & 31;
            // Replicate the high bits so that white stays 255 and black 0.
            row[x * 3] = (png_byte)((r << 3) | (r >> 2));
            row[x * 3 + 1] = (png_byte)((g << 2) | (g >> 4));
            row[x * 3 + 2] = (png_byte)((b << 3) | (b >> 2));
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return std::fclose(f) == 0 ? 0 : -1;
}
