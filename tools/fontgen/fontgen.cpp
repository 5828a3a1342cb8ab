// Font cache generator: rasterises the program's character set in its ten
// (style, size) pairs with FreeType and writes the font cache file the device
// loads at start-up.
//
//   fontgen OUT STYLE0_FACE STYLE2_FACE STYLE4_FACE FALLBACK0 FALLBACK2 FALLBACK4
//
// Each glyph is rendered with horizontal sub-pixel coverage (three samples per
// pixel); each pixel becomes the index of the nearest entry of the device's
// level table (0 = background). The output must fit the device's main glyph
// store without eviction; otherwise the generator fails.
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_LCD_FILTER_H

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "gfx/charset.h"

// Layout constants of the device's font cache and glyph store.
static const int RECORD_HEADER = 84;
static const int ENTRY_HEADER = 108;
static const int STORE_HEADER = 544;
static const int CHUNK_HEADER = 12;
static const int MAIN_STORE = 409600;
static const int MAX_DIM = 255;
static const uint32_t UNUSED_WORD = 0xBAADF00Du;

// The device's level table (red, green, blue as twelfth steps, base 13).
static const char* const LEVELS =
    "000 111 222 333 444 555 666 777 888 999 aaa bbb ccc 001 002 003 013 100 110 112 113 124 "
    "125 210 220 221 223 224 234 235 236 320 321 330 331 332 334 335 336 345 346 347 348 431 "
    "432 442 443 445 446 457 458 531 541 542 543 553 554 556 557 565 566 567 568 569 56a 578 "
    "579 57a 652 653 654 663 664 665 667 676 677 678 68a 763 764 765 774 775 776 778 779 787 "
    "788 789 873 874 875 876 884 885 886 887 889 896 898 899 89a 987 997 998 99a 9a7 9a9 9bc "
    "a98 aa8 aa9 aab aac abc bb9 bba bbc bcc cca ccb";

struct Level {
    int r, g, b;
};
static std::vector<Level> level_table;

static void build_level_table() {
    for (const char* p = LEVELS; *p;) {
        int w[3];
        for (int ch = 0; ch < 3; ch++, p++) {
            int k = *p >= 'a' ? *p - 'a' + 10 : *p - '0';
            w[ch] = (k * 255 * 2 + 12) / 24;  // floor(k * 255 / 12 + 0.5)
        }
        level_table.push_back({w[0], w[1], w[2]});
        while (*p == ' ') p++;
    }
}

static uint8_t nearest_level(int r, int g, int b) {
    if (r == 0 && g == 0 && b == 0) return 0;
    int best = 0;
    long best_d = -1;
    for (size_t i = 0; i < level_table.size(); i++) {
        long dr = r - level_table[i].r, dg = g - level_table[i].g, db = b - level_table[i].b;
        long d = dr * dr + dg * dg + db * db;
        if (best_d < 0 || d < best_d) {
            best_d = d;
            best = (int)i;
        }
    }
    return (uint8_t)best;
}

// Sub-pixel coverage of one glyph: width * 3 samples per row.
struct Coverage {
    int width = 0, rows = 0;   // pixels
    int left = 0, top = 0;     // pixels from the pen / up from the baseline
    std::vector<uint8_t> samples;
    int32_t advance = 0;       // 16.16
    int32_t linear_advance = 0;
};

struct Glyph {
    uint16_t style;
    uint32_t size;
    uint16_t character;
    int32_t metrics[19];
    std::vector<uint8_t> levels;
};

static FT_Library library;

static FT_Face open_face(const char* path) {
    FT_Face face;
    if (FT_New_Face(library, path, 0, &face)) {
        fprintf(stderr, "fontgen: cannot open %s\n", path);
        exit(1);
    }
    return face;
}

// Renders a character; false when the face has no glyph for it.
static bool render(FT_Face face, int size, uint32_t code, Coverage* out) {
    FT_UInt index = FT_Get_Char_Index(face, code);
    if (index == 0 && code != 0xA0) return false;
    if (index == 0) index = FT_Get_Char_Index(face, ' ');  // no-break space looks like space
    if (FT_Set_Pixel_Sizes(face, 0, size)) return false;
    if (FT_Load_Glyph(face, index, FT_LOAD_TARGET_LCD)) return false;
    if (FT_Render_Glyph(face->glyph, FT_RENDER_MODE_LCD)) return false;
    const FT_Bitmap& bm = face->glyph->bitmap;
    out->width = (int)bm.width / 3;
    out->rows = (int)bm.rows;
    out->left = face->glyph->bitmap_left;
    out->top = face->glyph->bitmap_top;
    out->samples.assign((size_t)out->width * 3 * out->rows, 0);
    for (int r = 0; r < out->rows; r++) {
        memcpy(&out->samples[(size_t)r * out->width * 3], bm.buffer + (ptrdiff_t)r * bm.pitch,
               (size_t)out->width * 3);
    }
    out->advance = (int32_t)(face->glyph->advance.x * 1024);  // 26.6 to 16.16
    out->linear_advance = (int32_t)face->glyph->linearHoriAdvance;
    return true;
}

// Symbol for backspace, absent from the faces: a small B over a small S,
// stepping down to the right, as the symbol is drawn in the code charts.
static bool compose_backspace(FT_Face face, int size, Coverage* out) {
    int small = size * 3 / 5 < 5 ? 5 : size * 3 / 5;
    Coverage b, s, full;
    if (!render(face, small, 'B', &b) || !render(face, small, 'S', &s)) return false;
    if (!render(face, size, 'M', &full)) return false;
    // B from the cap height down, S from the midline to the baseline
    int b_left = 0, b_top = full.top;
    // S starts where the ink of B ends, so the two read as one symbol
    auto ink_column = [](const Coverage& g, bool last) {
        int found = last ? 0 : g.width;
        for (int c = 0; c < g.width; c++) {
            for (int r = 0; r < g.rows; r++) {
                const uint8_t* p = &g.samples[((size_t)r * g.width + c) * 3];
                if (p[0] > 96 || p[1] > 96 || p[2] > 96) {
                    if (last) found = c + 1;
                    else if (c < found) found = c;
                }
            }
        }
        return found;
    };
    int s_left = ink_column(b, true) - ink_column(s, false), s_top = s.rows;
    int right = s_left + s.width;
    out->left = full.left > 0 ? full.left : 0;
    out->top = b_top;
    out->width = right > b.width ? right : b.width;
    out->rows = b_top;  // down to the baseline
    out->samples.assign((size_t)out->width * 3 * out->rows, 0);
    auto blit = [&](const Coverage& g, int x0, int top) {
        for (int r = 0; r < g.rows; r++) {
            int y = out->top - top + r;
            if (y < 0 || y >= out->rows) continue;
            for (int c = 0; c < g.width * 3; c++) {
                int x = x0 * 3 + c;
                if (x < 0 || x >= out->width * 3) continue;
                uint8_t& d = out->samples[(size_t)y * out->width * 3 + x];
                int v = d + g.samples[(size_t)r * g.width * 3 + c];
                d = (uint8_t)(v > 255 ? 255 : v);
            }
        }
    };
    blit(b, b_left, b_top);
    blit(s, s_left, s_top);
    out->advance = (out->left + out->width + 1) * 65536;
    out->linear_advance = out->advance;
    return true;
}

static Glyph make_glyph(uint16_t style, uint32_t size, uint16_t code, const Coverage& cv) {
    Glyph g;
    g.style = style;
    g.size = size;
    g.character = code;
    for (int w = 0; w < 19; w++) g.metrics[w] = 0;
    for (int w = 8; w <= 13; w++) g.metrics[w] = (int32_t)UNUSED_WORD;
    g.metrics[17] = (int32_t)UNUSED_WORD;
    g.metrics[0] = 1;
    g.metrics[1] = cv.advance;
    g.metrics[3] = cv.linear_advance;
    g.metrics[5] = cv.top * 64;
    g.metrics[6] = cv.left * 64;
    // trim empty rows at top and bottom, empty columns at both sides
    int r0 = 0, r1 = cv.rows - 1, c0 = 0, c1 = cv.width - 1;
    auto pixel_empty = [&](int r, int c) {
        const uint8_t* p = &cv.samples[((size_t)r * cv.width + c) * 3];
        return nearest_level(p[0], p[1], p[2]) == 0;
    };
    auto row_empty = [&](int r) {
        for (int c = 0; c < cv.width; c++)
            if (!pixel_empty(r, c)) return false;
        return true;
    };
    auto col_empty = [&](int c) {
        for (int r = r0; r <= r1; r++)
            if (!pixel_empty(r, c)) return false;
        return true;
    };
    while (r0 <= r1 && row_empty(r0)) r0++;
    while (r1 >= r0 && row_empty(r1)) r1--;
    if (r0 > r1) {
        // nothing visible (space): no levels at all
        g.metrics[5] = g.metrics[6] = 0;
        return g;
    }
    while (col_empty(c0)) c0++;
    while (col_empty(c1)) c1--;
    int width = c1 - c0 + 1, rows = r1 - r0 + 1;
    g.metrics[5] = (cv.top - r0) * 64;
    g.metrics[6] = (cv.left + c0) * 64;
    g.metrics[14] = width;
    g.metrics[15] = rows;
    g.metrics[16] = width;
    for (int r = r0; r <= r1; r++) {
        for (int c = c0; c <= c1; c++) {
            const uint8_t* p = &cv.samples[((size_t)r * cv.width + c) * 3];
            g.levels.push_back(nearest_level(p[0], p[1], p[2]));
        }
    }
    return g;
}

static void put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back((uint8_t)v);
    out.push_back((uint8_t)(v >> 8));
}
static void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; i++) out.push_back((uint8_t)(v >> (8 * i)));
}

int main(int argc, char** argv) {
    if (argc != 8) {
        fprintf(stderr, "usage: fontgen OUT FACE0 FACE2 FACE4 FALLBACK0 FALLBACK2 FALLBACK4\n");
        return 2;
    }
    build_level_table();
    if (level_table.size() != 122) {
        fprintf(stderr, "fontgen: level table has %zu entries\n", level_table.size());
        return 1;
    }
    if (FT_Init_FreeType(&library)) return 1;
    FT_Library_SetLcdFilter(library, FT_LCD_FILTER_DEFAULT);
    FT_Face faces[3], fallbacks[3];
    for (int i = 0; i < 3; i++) {
        faces[i] = open_face(argv[2 + i]);
        fallbacks[i] = open_face(argv[5 + i]);
    }

    std::vector<Glyph> glyphs;
    for (int p = 0; p < CHARSET_FACES; p++) {
        uint16_t style = charset_faces[p].style;
        uint32_t size = charset_faces[p].size;
        int f = style == 0 ? 0 : style == 2 ? 1 : 2;
        for (int i = 0; i < CHARSET_SIZE; i++) {
            uint16_t code = charset_table[i];
            Coverage cv;
            if (!render(faces[f], (int)size, code, &cv) && !render(fallbacks[f], (int)size, code, &cv) &&
                !(code == 0x2408 && compose_backspace(faces[f], (int)size, &cv))) {
                fprintf(stderr, "fontgen: no glyph for U+%04X in style %u\n", code, style);
                return 1;
            }
            Glyph g = make_glyph(style, size, code, cv);
            if (g.metrics[14] > MAX_DIM || g.metrics[15] > MAX_DIM) {
                fprintf(stderr, "fontgen: glyph U+%04X too large\n", code);
                return 1;
            }
            glyphs.push_back(std::move(g));
        }
    }

    // Records in the order the device's cache writer walks its store: bucket
    // 0 to 127 (bucket = character + style * 16 + size, modulo 128).
    std::vector<uint8_t> out;
    put16(out, (uint32_t)glyphs.size());
    long store_bytes = 0;
    for (uint32_t bucket = 0; bucket < 128; bucket++) {
        for (const Glyph& g : glyphs) {
            if (((g.character + ((uint32_t)g.style << 4) + g.size) & 127) != bucket) continue;
            put16(out, g.style);
            put32(out, g.size);
            put16(out, g.character);
            for (int w = 0; w < 19; w++) put32(out, (uint32_t)g.metrics[w]);
            out.insert(out.end(), g.levels.begin(), g.levels.end());
            store_bytes += (ENTRY_HEADER + (long)g.levels.size() + 3) & ~3L;
        }
    }
    // The main store carves every entry from its one free chunk, which keeps
    // its own header: all entries must fit beside it.
    long room = MAIN_STORE - STORE_HEADER - CHUNK_HEADER;
    if (glyphs.size() > 0xFFFF || store_bytes > room) {
        fprintf(stderr, "fontgen: %zu glyphs need %ld bytes of the main store, only %ld fit\n",
                glyphs.size(), store_bytes, room);
        return 1;
    }
    FILE* f = fopen(argv[1], "wb");
    if (!f || fwrite(out.data(), 1, out.size(), f) != out.size() || fclose(f) != 0) {
        fprintf(stderr, "fontgen: cannot write %s\n", argv[1]);
        return 1;
    }
    printf("fontgen: %s: %zu glyphs, %zu bytes; %ld of %ld bytes of the main store\n", argv[1],
           glyphs.size(), out.size(), store_bytes, room);
    (void)RECORD_HEADER;
    return 0;
}
