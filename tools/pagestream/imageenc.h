// The image encoder: PNG sources to RGB565 and IM payloads, stored or
// compressed with the LZ scheme the client expands.
//
// IM payload:  0 | ratio | method | CD CD CD | body
// Body expands to: 0001 0000 width height id-high id-low flag key pixels...
// (16-bit big-endian words, pixels RGB565 row after row).
#ifndef CV_TOOLS_IMAGEENC_H
#define CV_TOOLS_IMAGEENC_H

#include <cstdint>
#include <string>
#include <vector>

// A picture as loaded: 8-bit red, green, blue, alpha per pixel.
struct RasterImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgba;
};

enum { IMAGE_STORED = 1, IMAGE_COMPRESSED = 2 };

// Loads a PNG of any colour type; false with a message on failure.
bool ie_load_png(const std::string& path, RasterImage* img, std::string* error);
// Writes an RGBA picture as PNG (used by the image sources' generator and
// by tests); false on failure.
bool ie_save_png(const std::string& path, const RasterImage& img);

uint16_t ie_rgb565(uint8_t r, uint8_t g, uint8_t b);
// Converts to RGB565. With transparency, pixels whose alpha is below 128
// become the key 0x0000 (black) and opaque black is nudged to the nearest
// colour that is not the key, so it still shows.
std::vector<uint16_t> ie_to_rgb565(const RasterImage& img, bool transparent);

// The expanded image: 16-byte header and the pixels.
std::vector<uint8_t> ie_expanded(const std::vector<uint16_t>& pixels, int width, int height, uint32_t id,
                                 bool transparent);
// LZ compression: groups of a 16-bit flag word and up to 16 tokens (literal
// byte, or a two-byte match of distance 1-4095 and length 1-16). The first
// `literals` bytes are always written as literals. The parse is optimal for
// the matches found: the fewest bits the format allows with them.
std::vector<uint8_t> lz_compress(const std::vector<uint8_t>& in, size_t literals = 0);
// LZ compression of an expanded image (16-byte header, then RGB565 pixels,
// `width` to a row) that works in whole pixels: the header stays literal, a
// match copies whole pixels from those the client has already expanded (the
// previous pixels, the rows above, or alike pairs). With a tolerance above 0
// it is lossy where the eye does not see it: a pixel may be copied from one
// that differs by up to twice its masking (how much detail the least
// detailed pixel within two of it has) and at least two steps where a
// neighbour differs by more than two steps, never by more than `tolerance`
// steps of red and blue (twice as many of green); smooth areas (every colour
// of the 5 x 5 pixels around within two steps) are copied exactly, hues
// shift at most half as far, and no two by two pixels drift one way on
// average. Among the copies allowed, the one that costs least per pixel,
// counting a bit for each squared 64th of error, is taken (the longest of
// those that cost alike). The result
// expands with the client's plain expander. Where this parse takes four bits
// a pixel or less (drawings), or without a tolerance, the cheapest byte-wise
// parse of the copied picture is made too and the smaller one returned.
std::vector<uint8_t> lz_compress_pixels(const std::vector<uint8_t>& expanded, int width, int tolerance);
// A whole compressed IM payload by lz_compress_pixels.
std::vector<uint8_t> ie_payload_pixels(const std::vector<uint8_t>& expanded, int width, int tolerance);
// A whole IM payload from the expanded image. Compressed payloads keep their
// first sixteen bytes literal so that payload bytes 16-19 are the image id
// (the client's cache key).
std::vector<uint8_t> ie_payload(const std::vector<uint8_t>& expanded, int method);
// An id for a named picture (stable across builds).
uint32_t ie_image_id(const std::string& name);

#endif
