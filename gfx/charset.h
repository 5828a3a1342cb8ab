// The program's character set: the 237 characters that the font cache holds
// in every style and size, no-break space last.
#ifndef CV_GFX_CHARSET_H
#define CV_GFX_CHARSET_H

#include <cstdint>

#define CHARSET_SIZE 237

extern const uint16_t charset_table[CHARSET_SIZE];

// The ten (style, size) pairs of the shipped cache, in the order in which the
// cache writer measures them.
#define CHARSET_FACES 10
struct FaceSize {
    uint16_t style;
    uint32_t size;
};
extern const FaceSize charset_faces[CHARSET_FACES];

#endif
