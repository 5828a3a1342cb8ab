// Glyph advance generator: reads the shipped font cache and writes the
// advances of its page-text glyphs (style 0, pixel sizes 8 to 13) as a C++
// source, so that the rendering server measures text exactly as the handheld
// draws it without reading the cache file at run time.
//
//   glyphadv CACHE FACE.ttf OUT.cpp
//
// For each character: the advance the handheld adds per glyph (16.16 pixels,
// hinted) and the unhinted advance of the face at that size (16.16 pixels).
//
// It also writes the layout faces: for every text size the handheld draws,
// a TrueType face with the vertical metrics of FACE (Liberation Sans) and,
// for every character of the cache, the handheld's advance at that size.
// The engine lays text out with them, so that its positions are the
// handheld's. They carry no outlines: the engine's pictures never show text.
//
//   layout face:  OS/2 cmap glyf head hhea hmtx loca maxp name post
//                 (OS/2, head, hhea and post copied from FACE; glyph 0 a
//                 single point, every other glyph empty)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

static const int STYLE_PAGE = 0, PX_MIN = 8, PX_MAX = 13, PX_SIZES = PX_MAX - PX_MIN + 1;
static const int RECORD_HEADER = 84;
static const int M_ADVANCE = 1, M_LINEAR = 3, M_TOP = 5, M_LEFT = 6, M_WIDTH = 14, M_ROWS = 15, M_STRIDE = 16;

// ---- Big-endian writing and the layout faces ----

typedef std::vector<uint8_t> Bytes;

static void be16(Bytes& b, uint32_t v) {
    b.push_back((uint8_t)(v >> 8));
    b.push_back((uint8_t)v);
}
static void be32(Bytes& b, uint32_t v) {
    be16(b, v >> 16);
    be16(b, v & 0xFFFF);
}
static uint32_t rd16(const Bytes& b, size_t at) { return (uint32_t)b[at] << 8 | b[at + 1]; }
static uint32_t rd32(const Bytes& b, size_t at) { return rd16(b, at) << 16 | rd16(b, at + 2); }
static void put16_at(Bytes& b, size_t at, uint32_t v) {
    b[at] = (uint8_t)(v >> 8);
    b[at + 1] = (uint8_t)v;
}

static uint32_t checksum(const Bytes& b) {
    uint32_t sum = 0;
    for (size_t i = 0; i < b.size(); i += 4) {
        uint32_t w = 0;
        for (size_t k = 0; k < 4; k++) w = w << 8 | (i + k < b.size() ? b[i + k] : 0);
        sum += w;
    }
    return sum;
}

// The tables of a TrueType file, by tag; false when it is not one.
static bool read_tables(const Bytes& f, std::map<std::string, Bytes>* tables) {
    if (f.size() < 12) return false;
    uint32_t n = rd16(f, 4);
    for (uint32_t i = 0; i < n; i++) {
        size_t rec = 12 + 16 * (size_t)i;
        if (rec + 16 > f.size()) return false;
        std::string tag((const char*)&f[rec], 4);
        uint32_t off = rd32(f, rec + 8), len = rd32(f, rec + 12);
        if ((size_t)off + len > f.size()) return false;
        (*tables)[tag] = Bytes(f.begin() + off, f.begin() + off + len);
    }
    for (const char* t : {"head", "hhea", "OS/2", "post"})
        if (!tables->count(t)) return false;
    return (*tables)["head"].size() >= 54 && (*tables)["hhea"].size() >= 36 && (*tables)["post"].size() >= 32;
}

// cmap with one format-4 subtable (Windows, Unicode BMP): codes -> 1, 2, ...
static Bytes make_cmap(const std::vector<uint16_t>& codes) {
    struct Seg {
        uint32_t start, end, glyph;
    };
    std::vector<Seg> segs;
    for (size_t i = 0; i < codes.size(); i++) {
        uint32_t c = codes[i], g = (uint32_t)i + 1;
        if (!segs.empty() && segs.back().end + 1 == c && segs.back().glyph + (c - segs.back().start) == g) segs.back().end = c;
        else segs.push_back({c, c, g});
    }
    segs.push_back({0xFFFF, 0xFFFF, 0});
    uint32_t n = (uint32_t)segs.size(), search = 1, selector = 0;
    while (search * 2 <= n) search *= 2, selector++;
    Bytes sub;
    be16(sub, 4);
    be16(sub, 0);  // length, below
    be16(sub, 0);
    be16(sub, n * 2);
    be16(sub, search * 2);
    be16(sub, selector);
    be16(sub, n * 2 - search * 2);
    for (const Seg& s : segs) be16(sub, s.end);
    be16(sub, 0);
    for (const Seg& s : segs) be16(sub, s.start);
    for (const Seg& s : segs) be16(sub, s.glyph ? (s.glyph - s.start) & 0xFFFF : 1);
    for (size_t i = 0; i < segs.size(); i++) be16(sub, 0);
    put16_at(sub, 2, (uint32_t)sub.size());
    Bytes t;
    be16(t, 0);
    be16(t, 1);
    be16(t, 3);
    be16(t, 1);
    be32(t, 12);
    t.insert(t.end(), sub.begin(), sub.end());
    return t;
}

static Bytes make_name(const std::string& family) {
    const uint32_t ids[] = {1, 2, 4, 6};
    std::vector<std::string> values = {family, "Regular", family, family};
    Bytes strings, t;
    be16(t, 0);
    be16(t, 4);
    be16(t, 6 + 12 * 4);
    for (int i = 0; i < 4; i++) {
        Bytes s;
        for (char c : values[(size_t)i]) be16(s, (uint8_t)c);
        be16(t, 3);
        be16(t, 1);
        be16(t, 0x409);
        be16(t, ids[i]);
        be16(t, (uint32_t)s.size());
        be16(t, (uint32_t)strings.size());
        strings.insert(strings.end(), s.begin(), s.end());
    }
    t.insert(t.end(), strings.begin(), strings.end());
    return t;
}

// A layout face: `units` = advance of each code in font units (2048/em).
static Bytes make_face(std::map<std::string, Bytes> base, const std::vector<uint16_t>& codes,
                       const std::vector<uint32_t>& units, const std::string& family) {
    uint32_t glyphs = (uint32_t)codes.size() + 1, widest = 1024;
    std::map<std::string, Bytes> t;
    Bytes hmtx;
    be16(hmtx, 1024);  // .notdef
    be16(hmtx, 0);
    for (uint32_t u : units) {
        be16(hmtx, u);
        be16(hmtx, 0);
        if (u > widest) widest = u;
    }
    t["hmtx"] = hmtx;
    // Glyph 0 is one point (the font checker refuses an empty glyf table);
    // the others have no outline.
    Bytes glyf;
    be16(glyf, 1);
    for (int i = 0; i < 4; i++) be16(glyf, 0);  // bounding box
    be16(glyf, 0);                              // end point of contour 0
    be16(glyf, 0);                              // no instructions
    glyf.push_back(1);                          // on-curve flag
    be16(glyf, 0);
    be16(glyf, 0);
    glyf.push_back(0);
    t["glyf"] = glyf;
    Bytes loca;
    be16(loca, 0);
    for (uint32_t i = 0; i < glyphs; i++) be16(loca, (uint32_t)glyf.size() / 2);
    t["loca"] = loca;
    Bytes maxp;
    be32(maxp, 0x00010000);
    be16(maxp, glyphs);
    for (int i = 0; i < 4; i++) be16(maxp, 0);
    be16(maxp, 1);  // zones
    for (int i = 0; i < 8; i++) be16(maxp, 0);
    t["maxp"] = maxp;
    t["cmap"] = make_cmap(codes);
    t["name"] = make_name(family);
    t["OS/2"] = base["OS/2"];
    Bytes head(base["head"].begin(), base["head"].begin() + 54);
    for (int i = 8; i < 12; i++) head[(size_t)i] = 0;  // checkSumAdjustment, set below
    put16_at(head, 50, 0);                             // short loca offsets
    t["head"] = head;
    Bytes hhea(base["hhea"].begin(), base["hhea"].begin() + 36);
    put16_at(hhea, 10, widest);
    put16_at(hhea, 34, glyphs);
    t["hhea"] = hhea;
    Bytes post(base["post"].begin(), base["post"].begin() + 32);
    post[0] = 0, post[1] = 3, post[2] = 0, post[3] = 0;  // version 3: no glyph names
    t["post"] = post;

    uint32_t n = (uint32_t)t.size(), search = 1, selector = 0;
    while (search * 2 <= n) search *= 2, selector++;
    Bytes f;
    be32(f, 0x00010000);
    be16(f, n);
    be16(f, search * 16);
    be16(f, selector);
    be16(f, n * 16 - search * 16);
    size_t offset = 12 + 16 * (size_t)n, head_at = 0;
    Bytes data;
    for (auto& [tag, b] : t) {  // std::map: tags in order
        f.insert(f.end(), tag.begin(), tag.end());
        be32(f, checksum(b));
        be32(f, (uint32_t)(offset + data.size()));
        be32(f, (uint32_t)b.size());
        if (tag == "head") head_at = offset + data.size();
        data.insert(data.end(), b.begin(), b.end());
        while (data.size() % 4) data.push_back(0);
    }
    f.insert(f.end(), data.begin(), data.end());
    uint32_t adjust = 0xB1B0AFBAu - checksum(f);
    f[head_at + 8] = (uint8_t)(adjust >> 24);
    f[head_at + 9] = (uint8_t)(adjust >> 16);
    f[head_at + 10] = (uint8_t)(adjust >> 8);
    f[head_at + 11] = (uint8_t)adjust;
    return f;
}

static std::string base64(const Bytes& b) {
    static const char* A = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < b.size(); i += 3) {
        uint32_t v = (uint32_t)b[i] << 16 | (i + 1 < b.size() ? b[i + 1] << 8 : 0) | (i + 2 < b.size() ? b[i + 2] : 0);
        out += A[v >> 18];
        out += A[(v >> 12) & 63];
        out += i + 1 < b.size() ? A[(v >> 6) & 63] : '=';
        out += i + 2 < b.size() ? A[v & 63] : '=';
    }
    return out;
}

static uint32_t get(const std::vector<uint8_t>& b, size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; i--) v = v << 8 | b[at + i];
    return v;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: glyphadv CACHE FACE.ttf OUT.cpp\n");
        return 2;
    }
    FILE* f = fopen(argv[1], "rb");
    if (!f) {
        fprintf(stderr, "glyphadv: cannot open %s\n", argv[1]);
        return 1;
    }
    std::vector<uint8_t> data;
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) data.insert(data.end(), chunk, chunk + n);
    fclose(f);
    if (data.size() < 2) {
        fprintf(stderr, "glyphadv: %s is too short\n", argv[1]);
        return 1;
    }
    struct Adv {
        int32_t advance[PX_SIZES], linear[PX_SIZES];
        // where the bitmap lies from the pen: whole pixels left and up, size
        int32_t left[PX_SIZES], top[PX_SIZES], width[PX_SIZES], rows[PX_SIZES];
        bool have[PX_SIZES];
    };
    std::map<uint16_t, Adv> glyphs;
    uint32_t count = get(data, 0, 2);
    size_t at = 2;
    for (uint32_t i = 0; i < count; i++) {
        if (at + RECORD_HEADER > data.size()) {
            fprintf(stderr, "glyphadv: record %u is cut short\n", i);
            return 1;
        }
        uint32_t style = get(data, at, 2), size = get(data, at + 2, 4);
        uint16_t code = (uint16_t)get(data, at + 6, 2);
        auto word = [&](int w) { return (int32_t)get(data, at + 8 + 4 * (size_t)w, 4); };
        int32_t width = word(M_WIDTH), rows = word(M_ROWS), stride = word(M_STRIDE);
        if (width < 0 || rows < 0 || stride < 0 || stride > 255 || rows > 255) {
            fprintf(stderr, "glyphadv: record %u has a damaged bitmap size\n", i);
            return 1;
        }
        if (style == STYLE_PAGE && size >= PX_MIN && size <= PX_MAX) {
            Adv& a = glyphs[code];
            int s = (int)size - PX_MIN;
            a.advance[s] = word(M_ADVANCE);
            a.linear[s] = word(M_LINEAR);
            a.have[s] = true;
            // The handheld draws the bitmap with its left column at the pen
            // plus the left bearing and its top row at the baseline less the
            // top bearing (26.6 pixels, shifted arithmetically).
            a.left[s] = word(M_LEFT) >> 6;
            a.top[s] = word(M_TOP) >> 6;
            a.width[s] = width;
            a.rows[s] = rows;
        }
        at += RECORD_HEADER + (size_t)rows * (size_t)stride;
    }
    if (glyphs.empty() || !glyphs.count('-') || !glyphs.count(' ')) {
        fprintf(stderr, "glyphadv: the cache holds no page text\n");
        return 1;
    }
    std::string out;
    out += "// Generated by tools/glyphadv from the shipped font cache: do not edit.\n";
    out += "#include \"server/render_text.h\"\n\n";
    out += "const int render_glyph_count = " + std::to_string(glyphs.size()) + ";\n";
    out += "const RenderGlyph render_glyphs[] = {\n";
    for (auto& [code, a] : glyphs) {
        char line[512];
        int k = snprintf(line, sizeof line, "    {0x%04x, {", code);
        for (int s = 0; s < PX_SIZES; s++)
            k += snprintf(line + k, sizeof line - (size_t)k, "%s%d", s ? ", " : "", a.have[s] ? a.advance[s] : -1);
        k += snprintf(line + k, sizeof line - (size_t)k, "}, {");
        for (int s = 0; s < PX_SIZES; s++)
            k += snprintf(line + k, sizeof line - (size_t)k, "%s%d", s ? ", " : "", a.have[s] ? a.linear[s] : -1);
        k += snprintf(line + k, sizeof line - (size_t)k, "}, {");
        for (int s = 0; s < PX_SIZES; s++)
            k += snprintf(line + k, sizeof line - (size_t)k, "%s{%d, %d, %d, %d}", s ? ", " : "",
                          a.have[s] ? a.left[s] : 0, a.have[s] ? a.top[s] : 0, a.have[s] ? a.width[s] : 0,
                          a.have[s] ? a.rows[s] : 0);
        snprintf(line + k, sizeof line - (size_t)k, "}},\n");
        out += line;
    }
    out += "};\n\n";
    // The layout faces: CSS sizes 16 to 26 unzoomed (drawn at half: 8 to 13
    // pixels), 16 to 20 zoomed (drawn at two thirds: 11 to 13 pixels).
    Bytes face_file;
    if (FILE* ff = fopen(argv[2], "rb")) {
        uint8_t buf[65536];
        size_t k;
        while ((k = fread(buf, 1, sizeof buf, ff)) > 0) face_file.insert(face_file.end(), buf, buf + k);
        fclose(ff);
    }
    std::map<std::string, Bytes> base;
    if (!read_tables(face_file, &base)) {
        fprintf(stderr, "glyphadv: %s is not a usable TrueType face\n", argv[2]);
        return 1;
    }
    struct Size {
        int css;
        bool zoomed;
    };
    std::vector<Size> sizes;
    for (int css = 16; css <= 26; css += 2) sizes.push_back({css, false});
    for (int css = 16; css <= 20; css += 2) sizes.push_back({css, true});
    out += "const int render_face_count = " + std::to_string(sizes.size()) + ";\n";
    out += "const RenderFace render_faces[] = {\n";
    for (const Size& z : sizes) {
        int px = z.zoomed ? (2 * z.css + 1) / 3 : (z.css + 1) / 2;
        std::vector<uint16_t> codes;
        std::vector<uint32_t> units;
        for (auto& [code, a] : glyphs) {
            if (!a.have[px - PX_MIN] || code == 0) continue;
            codes.push_back(code);
            // The engine's advance in CSS pixels is the handheld's advance
            // in pixels divided by its scale (x 2, or x 3/2 zoomed); as a
            // share of the em: x 2048 / css.
            int64_t num = (int64_t)a.advance[px - PX_MIN] * 2048 * (z.zoomed ? 3 : 2);
            int64_t den = (int64_t)z.css * 65536 * (z.zoomed ? 2 : 1);
            units.push_back((uint32_t)((num + den / 2) / den));
        }
        std::string family = std::string(z.zoomed ? "cvz-" : "cv-") + std::to_string(z.css);
        out += "    {" + std::to_string(z.css) + ", " + (z.zoomed ? "true" : "false") + ", " + std::to_string(px) +
               ", \"" + family + "\",\n     \"" + base64(make_face(base, codes, units, family)) + "\"},\n";
    }
    out += "};\n";
    FILE* o = fopen(argv[3], "wb");
    if (!o || fwrite(out.data(), 1, out.size(), o) != out.size() || fclose(o) != 0) {
        fprintf(stderr, "glyphadv: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
