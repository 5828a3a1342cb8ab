// Text measurement and the fitting rule: the handheld draws page text with
// its own hinted glyphs, whose advances are whole pixels, while the engine
// places the same characters at the face's fractional advances. A line is
// therefore sent as several runs where the two drift apart.
#include "server/render_text.h"

#include <climits>
#include <cstdio>
#include <cmath>
#include <unordered_map>

// Code -> index into render_glyphs. Written once by text_init.
static std::unordered_map<uint16_t, int> glyph_index;
static int hyphen_index = -1;

// Letters of Latin Extended-A (U+0100 to U+017F) as the nearest character
// the font cache holds: the base letter, or a Latin-1 letter with the same
// look (double acute as diaeresis, D with stroke as Eth).
static const char16_t LATIN_EXTENDED_A[128] = {
    u'A', u'a', u'A', u'a', u'A', u'a', u'C', u'c', u'C', u'c', u'C', u'c', u'C', u'c', u'D', u'd',  // 0100
    0x00D0, u'd', u'E', u'e', u'E', u'e', u'E', u'e', u'E', u'e', u'E', u'e', u'G', u'g', u'G', u'g',  // 0110
    u'G', u'g', u'G', u'g', u'H', u'h', u'H', u'h', u'I', u'i', u'I', u'i', u'I', u'i', u'I', u'i',  // 0120
    u'I', 0x0131, u'I', u'i', u'J', u'j', u'K', u'k', u'k', u'L', u'l', u'L', u'l', u'L', u'l', u'L',  // 0130
    u'l', u'L', u'l', u'N', u'n', u'N', u'n', u'N', u'n', u'n', u'N', u'n', u'O', u'o', u'O', u'o',  // 0140
    0x00D6, 0x00F6, 0x0152, 0x0153, u'R', u'r', u'R', u'r', u'R', u'r', u'S', u's', u'S', u's', u'S', u's',  // 0150
    0x0160, 0x0161, u'T', u't', u'T', u't', u'T', u't', u'U', u'u', u'U', u'u', u'U', u'u', u'U', u'u',  // 0160
    0x00DC, 0x00FC, u'U', u'u', u'W', u'w', u'Y', u'y', 0x0178, u'Z', u'z', u'Z', u'z', 0x017D, 0x017E, u's',  // 0170
};

// Look-alikes outside Latin Extended-A.
namespace {
struct CharMap {
    uint32_t from;
    uint16_t to;
};
}  // namespace
static const CharMap LOOK_ALIKES[] = {
    {0x0218, u'S'}, {0x0219, u's'}, {0x021A, u'T'}, {0x021B, u't'},       // comma below
    {0x02BB, 0x2018}, {0x02BC, 0x2019},                                   // modifier apostrophes
    {0x2010, u'-'}, {0x2011, u'-'}, {0x2012, 0x2013}, {0x2015, 0x2014},   // dashes
    {0x2016, u'|'}, {0x2017, u'_'}, {0x201B, 0x2018}, {0x201F, 0x201C},   // quotes
    {0x2023, 0x2022}, {0x2024, u'.'}, {0x2027, 0x00B7}, {0x2043, u'-'},   // bullets, points
    {0x2044, u'/'}, {0x2052, u'%'}, {0x2035, 0x2018}, {0x2036, 0x201C},
    {0x20A4, 0x00A3}, {0x2116, u'N'}, {0x2127, u'O'},
    {0x21D0, 0x2190}, {0x21D2, 0x2192}, {0x21D4, u'-'}, {0x2215, u'/'}, {0x2216, u'\\'}, {0x2217, u'*'},
    {0x2219, 0x00B7}, {0x2223, u'|'}, {0x2236, u':'}, {0x223C, u'~'}, {0x2248, u'~'},
    {0x2261, u'='}, {0x25A0, 0x2022}, {0x25AA, 0x2022}, {0x25AB, u'o'},
    {0x25CF, 0x2022}, {0x25E6, u'o'}, {0x25CB, u'o'}, {0x2605, u'*'}, {0x2606, u'*'},
    // triangles (a disclosure's marker, play buttons, menus)
    {0x25B2, u'^'}, {0x25B3, u'^'}, {0x25B4, u'^'}, {0x25B5, u'^'}, {0x25B6, 0x203A}, {0x25B7, 0x203A},
    {0x25B8, 0x203A}, {0x25B9, 0x203A}, {0x25BA, 0x203A}, {0x25BB, 0x203A}, {0x25BC, u'v'}, {0x25BD, u'v'},
    {0x25BE, u'v'}, {0x25BF, u'v'}, {0x25C0, 0x2039}, {0x25C1, 0x2039}, {0x25C2, 0x2039}, {0x25C3, 0x2039},
    {0x25C4, 0x2039}, {0x25C5, 0x2039},
    {0x2713, u'v'}, {0x2714, u'v'}, {0x2717, u'x'}, {0x2718, u'x'}, {0x2756, 0x2022},
    {0x27E8, 0x2039}, {0x27E9, 0x203A}, {0x3001, u','}, {0x3002, u'.'},
    {0xFF01, u'!'}, {0xFF08, u'('}, {0xFF09, u')'}, {0xFF0C, u','}, {0xFF0E, u'.'}, {0xFF1A, u':'},
    {0xFF1B, u';'}, {0xFF1F, u'?'},
};

static bool is_zero_width(uint32_t cp) {
    return cp == 0x00AD || (cp >= 0x200B && cp <= 0x200F) || (cp >= 0x202A && cp <= 0x202E) ||
           (cp >= 0x2060 && cp <= 0x2064) || cp == 0xFEFF || (cp >= 0xFE00 && cp <= 0xFE0F) ||
           (cp >= 0x0300 && cp <= 0x036F);  // combining accents ride on the letter before
}

static bool is_wide_space(uint32_t cp) {
    return (cp >= 0x2000 && cp <= 0x200A) || cp == 0x202F || cp == 0x205F || cp == 0x3000 || cp == 0x1680;
}

bool rtext_init(std::string* error) {
    glyph_index.clear();
    for (int i = 0; i < render_glyph_count; i++) glyph_index[render_glyphs[i].code] = i;
    auto it = glyph_index.find(u'-');
    hyphen_index = it == glyph_index.end() ? -1 : it->second;
    for (char16_t c : {u' ', u'-', u'a', u'0'}) {
        auto g = glyph_index.find(c);
        bool ok = g != glyph_index.end();
        for (int s = 0; ok && s < RENDER_PX_SIZES; s++)
            ok = render_glyphs[g->second].advance[s] >= 0 && render_glyphs[g->second].linear[s] > 0;
        if (!ok) {
            if (error) *error = "the font cache's page text lacks the character " + std::string(1, (char)c);
            glyph_index.clear();
            return false;
        }
    }
    return true;
}

bool rtext_has_glyph(uint16_t code) { return glyph_index.count(code) != 0; }

uint16_t rtext_map_char(uint32_t cp) {
    if (cp < 0x20 || cp == 0x7F) return u' ';  // tabs, line breaks of preformatted text
    if (is_zero_width(cp)) return 0;
    if (cp <= 0xFFFF && rtext_has_glyph((uint16_t)cp)) return (uint16_t)cp;
    if (is_wide_space(cp)) return u' ';
    if (cp >= 0x0100 && cp <= 0x017F) return LATIN_EXTENDED_A[cp - 0x100];
    for (const CharMap& m : LOOK_ALIKES)
        if (m.from == cp) return m.to;
    return u'-';
}

bool rtext_is_foreign(uint32_t cp) {
    return cp != u'-' && rtext_map_char(cp) == u'-';
}

const std::string& rtext_foreign_pattern() {
    static const std::string pattern = [] {
        // The class of everything the handheld shows, negated; code points
        // beyond the first plane (emoji, rare scripts) are all foreign.
        std::string cls = "[^";
        char hex[16];
        for (uint32_t cp = 0; cp <= 0xFFFF;) {
            bool shown = (cp < 0xD800 || cp > 0xDFFF) && !rtext_is_foreign(cp);
            if (!shown) {
                cp++;
                continue;
            }
            uint32_t end = cp;
            while (end < 0xFFFF && (end + 1 < 0xD800 || end + 1 > 0xDFFF) && !rtext_is_foreign(end + 1)) end++;
            snprintf(hex, sizeof hex, "\\u%04x", (unsigned)cp);
            cls += hex;
            if (end > cp) {
                snprintf(hex, sizeof hex, "-\\u%04x", (unsigned)end);
                cls += hex;
            }
            cp = end + 1;
        }
        return cls + "]";
    }();
    return pattern;
}

static int size_slot(int px) {
    if (px < RENDER_PX_MIN) px = RENDER_PX_MIN;
    if (px > RENDER_PX_MAX) px = RENDER_PX_MAX;
    return px - RENDER_PX_MIN;
}

// The glyph the handheld draws for a code at size slot s: its own, or the
// hyphen it draws for a character it lacks; -1 when it has neither.
static int client_glyph(uint16_t code, int s) {
    auto it = glyph_index.find(code);
    return it != glyph_index.end() && render_glyphs[it->second].advance[s] >= 0 ? it->second : hyphen_index;
}

int32_t rtext_client_advance(uint16_t code, int px) {
    if (code == 0) return 0;
    int s = size_slot(px);
    int i = client_glyph(code, s);
    return i < 0 ? 0 : render_glyphs[i].advance[s];
}

int rtext_client_width(const std::u16string& run, int px) {
    int64_t acc = 0;
    for (char16_t c : run) acc += rtext_client_advance(c, px);
    return (int)((acc + 0x8000) >> 16);
}

TextInk rtext_client_ink(const std::u16string& run, int px) {
    TextInk ink{INT_MAX, INT_MAX, INT_MIN, INT_MIN, 0};
    int s = size_slot(px);
    int64_t acc = 0;
    for (char16_t c : run) {
        if (c == 0) break;
        int i = client_glyph(c, s);
        if (i < 0) continue;
        const RenderGlyph& g = render_glyphs[i];
        if (g.ink[s].width > 0 && g.ink[s].rows > 0) {
            int x0 = (int)((acc + 0x8000) >> 16) + g.ink[s].left, y0 = -g.ink[s].top;
            ink.left = std::min(ink.left, x0);
            ink.top = std::min(ink.top, y0);
            ink.right = std::max(ink.right, x0 + g.ink[s].width - 1);
            ink.bottom = std::max(ink.bottom, y0 + g.ink[s].rows - 1);
        }
        acc += g.advance[s];
    }
    ink.width = (int)((acc + 0x8000) >> 16);
    return ink;
}

double rtext_engine_advance(uint32_t cp, double css_size) {
    if (is_zero_width(cp)) return 0;
    if (cp > 0xFFFF) return -1;
    auto it = glyph_index.find((uint16_t)cp);
    if (it == glyph_index.end()) return -1;
    // The largest size gives the most digits of the face's advance.
    int32_t lin = render_glyphs[it->second].linear[RENDER_PX_SIZES - 1];
    if (lin < 0) return -1;
    return lin / 65536.0 * css_size / RENDER_PX_MAX;
}

const RenderFace* rtext_face(int css_size, bool zoomed) {
    for (int i = 0; i < render_face_count; i++)
        if (render_faces[i].css_size == css_size && render_faces[i].zoomed == zoomed) return &render_faces[i];
    return nullptr;
}

double rtext_face_advance(uint32_t cp, double css_size, bool zoomed) {
    if (is_zero_width(cp)) return 0;
    int size = (int)std::lround(css_size);
    const RenderFace* face = std::fabs(css_size - size) < 0.01 ? rtext_face(size, zoomed) : nullptr;
    if (!face || cp > 0xFFFF) return -1;
    auto it = glyph_index.find((uint16_t)cp);
    if (it == glyph_index.end()) return -1;
    int32_t adv = render_glyphs[it->second].advance[face->px - RENDER_PX_MIN];
    if (adv < 0) return -1;
    // the face holds the advance in 2048ths of the em, rounded (tools/glyphadv)
    int64_t num = (int64_t)adv * 2048 * (zoomed ? 3 : 2);
    int64_t den = (int64_t)face->css_size * 65536 * (zoomed ? 2 : 1);
    return (double)((num + den / 2) / den) * css_size / 2048.0;
}

static bool is_space(char32_t c) { return c == U' ' || c == 0xA0; }

std::vector<double> rtext_engine_positions(const TextLine& line) {
    size_t n = line.chars.size();
    std::vector<double> adv(n);
    double known = 0;
    size_t unknown = 0, inner_spaces = 0;
    size_t last_drawn = 0;
    for (size_t i = 0; i < n; i++)
        if (!is_space(line.chars[i])) last_drawn = i + 1;
    bool face = line.face && rtext_face((int)std::lround(line.size), line.zoomed);
    for (size_t i = 0; i < n; i++) {
        char32_t c = line.chars[i];
        double a = face ? rtext_face_advance(c == 0xA0 ? U' ' : c, line.size, line.zoomed)
                        : rtext_engine_advance(c == 0xA0 ? U' ' : c, line.size);
        if (a < 0) {
            adv[i] = NAN;
            unknown++;
            continue;
        }
        if (a > 0 || !is_zero_width(c)) a += line.letter_spacing;
        if (is_space(c)) {
            a += line.word_spacing;
            if (i < last_drawn) inner_spaces++;
        }
        adv[i] = a;
        known += a;
    }
    double diff = line.width - known;
    if (unknown > 0) {
        double each = diff > 0 ? diff / (double)unknown : 0;
        for (double& a : adv)
            if (std::isnan(a)) a = each;
    } else if (diff > 0.25 && inner_spaces > 0) {
        // Justified text: the engine widened the spaces between words.
        double each = diff / (double)inner_spaces;
        for (size_t i = 0; i < last_drawn; i++)
            if (is_space(line.chars[i])) adv[i] += each;
    } else if (std::fabs(diff) > 0.25 && known > 0) {
        double k = line.width / known;
        for (double& a : adv) a *= k;
    }
    std::vector<double> pos(n + 1);
    double x = 0;
    for (size_t i = 0; i < n; i++) {
        pos[i] = x;
        x += adv[i];
    }
    pos[n] = x;
    return pos;
}

// Longest run text in bytes: a DS tag holds at most 1023 bytes in all.
static const size_t RUN_BYTES_MAX = 900;

static size_t utf8_length(char16_t c) { return c == 0 ? 0 : c < 0x80 ? 1 : c < 0x800 ? 2 : 3; }

std::vector<TextRun> rtext_fit(const TextLine& line, const std::u16string& mapped, int px, double scale,
                               double tolerance) {
    std::vector<TextRun> runs;
    size_t n = mapped.size();
    if (n == 0 || n != line.chars.size()) return runs;
    std::vector<double> pos = rtext_engine_positions(line);
    auto device = [&](size_t i) { return (line.x + pos[i]) * scale; };
    auto drawn = [&](size_t i) { return i < n && mapped[i] != 0 && mapped[i] != u' ' && mapped[i] != 0xA0; };
    // The handheld's advance (16.16) from the start of the line to each character.
    std::vector<int64_t> acc(n + 1, 0);
    for (size_t i = 0; i < n; i++) acc[i + 1] = acc[i] + (mapped[i] ? rtext_client_advance(mapped[i], px) : 0);
    auto client = [&](int pen, size_t from, size_t to) { return pen + (int)((acc[to] - acc[from] + 0x8000) >> 16); };

    // Words: drawn characters between spaces (or characters not drawn).
    struct Word {
        size_t begin, end;
        size_t bytes;
    };
    std::vector<Word> words;
    for (size_t i = 0; i < n;) {
        if (!drawn(i)) {
            i++;
            continue;
        }
        Word w{i, i, 0};
        while (w.end < n && drawn(w.end)) w.bytes += utf8_length(mapped[w.end++]);
        words.push_back(w);
        i = w.end;
    }
    // A word's glyphs must end where the next word can still start within
    // the tolerance: then no run reaches into the next.
    auto limit = [&](size_t k) { return k + 1 < words.size() ? std::floor(device(words[k + 1].begin) + tolerance) : 1e9; };
    auto pens = [&](double e, int* lo, int* hi) {
        *lo = (int)std::ceil(e - tolerance);
        *hi = (int)std::floor(e + tolerance);
    };

    // Words a run from word w with pen p carries: each later one must start
    // within the tolerance and end within its limit.
    auto reach = [&](size_t w, int p) {
        size_t bytes = words[w].bytes, k = w + 1;
        for (; k < words.size(); k++) {
            bytes += words[k].end - words[k - 1].end;
            if (bytes > RUN_BYTES_MAX) break;
            double start = client(p, words[w].begin, words[k].begin) - device(words[k].begin);
            if (std::fabs(start) > tolerance || client(p, words[w].begin, words[k].end) > limit(k)) break;
        }
        return k;
    };

    double previous_end = -1e9;  // where the last run's glyphs end
    for (size_t w = 0; w < words.size();) {
        double e = device(words[w].begin);
        // A pixel of space after the previous word where the engine has one.
        bool room = w > 0 && e - device(words[w - 1].end) >= 1.5;
        int lo, hi, best_pen = 0, best_rank = -1;
        size_t best_reach = 0;
        pens(e, &lo, &hi);
        for (int p = lo; p <= hi; p++) {
            if (p < previous_end || client(p, words[w].begin, words[w].end) > limit(w)) continue;
            if (words[w].bytes > RUN_BYTES_MAX) break;
            int rank = room && p >= previous_end + 1;
            size_t r = reach(w, p);
            if (best_rank < 0 || rank > best_rank || (rank == best_rank && r > best_reach) ||
                (rank == best_rank && r == best_reach && std::fabs(p - e) < std::fabs(best_pen - e))) {
                best_rank = rank;
                best_reach = r;
                best_pen = p;
            }
        }
        if (best_rank >= 0) {
            runs.push_back({words[w].begin, words[best_reach - 1].end, best_pen});
            previous_end = client(best_pen, words[w].begin, words[best_reach - 1].end);
            w = best_reach;
            continue;
        }
        // The word is wider than its place (or too long for one tag): in
        // pieces, each starting within the tolerance of the engine's place,
        // overlapping the piece before rather than the next word.
        size_t i = words[w].begin;
        while (i < words[w].end) {
            double pe = device(i);
            pens(pe, &lo, &hi);
            int pen = std::max(lo, std::min(hi, (int)std::lround(pe)));
            if (pen < previous_end) pen = std::min(hi, (int)std::ceil(previous_end));
            size_t k = i + 1, bytes = utf8_length(mapped[i]);
            for (; k < words[w].end; k++) {
                bytes += utf8_length(mapped[k]);
                if (bytes > RUN_BYTES_MAX || std::fabs(client(pen, i, k) - device(k)) > tolerance ||
                    client(pen, i, k + 1) > limit(w))
                    break;
            }
            runs.push_back({i, k, pen});
            previous_end = client(pen, i, k);
            i = k;
        }
        w++;
    }
    return runs;
}

std::string rtext_utf8(const std::u16string& s, size_t begin, size_t end) {
    std::string out;
    for (size_t i = begin; i < end && i < s.size(); i++) {
        char16_t c = s[i];
        if (c == 0) continue;
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xE0 | (c >> 12));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string rtext_from_utf8(const std::string& s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char b = (unsigned char)s[i];
        uint32_t cp;
        int len;
        if (b < 0x80) cp = b, len = 1;
        else if (b >= 0xF0) cp = b & 7, len = 4;
        else if (b >= 0xE0) cp = b & 15, len = 3;
        else if (b >= 0xC0) cp = b & 31, len = 2;
        else cp = 0xFFFD, len = 1;
        for (int k = 1; k < len; k++) {
            if (i + (size_t)k >= s.size()) {
                cp = 0xFFFD;
                len = k;
                break;
            }
            cp = cp << 6 | ((unsigned char)s[i + (size_t)k] & 0x3F);
        }
        i += (size_t)len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += (char16_t)(0xD800 + (cp >> 10));
            out += (char16_t)(0xDC00 + (cp & 0x3FF));
        } else {
            out += (char16_t)cp;
        }
    }
    return out;
}

// Cyrillic (U+0400 to U+045F) and Greek (U+0386 to U+03CE) letters in Latin
// letters, as a reader of either would spell them; null for the others.
static const char* const CYRILLIC[96] = {
    "E", "Yo", "Dj", "G", "Ye", "Dz", "I", "Yi", "J", "Lj", "Nj", "C", "K", "I", "U", "Dz",                 // 0400
    "A", "B", "V", "G", "D", "E", "Zh", "Z", "I", "Y", "K", "L", "M", "N", "O", "P",                        // 0410
    "R", "S", "T", "U", "F", "Kh", "Ts", "Ch", "Sh", "Shch", "\"", "Y", "'", "E", "Yu", "Ya",               // 0420
    "a", "b", "v", "g", "d", "e", "zh", "z", "i", "y", "k", "l", "m", "n", "o", "p",                        // 0430
    "r", "s", "t", "u", "f", "kh", "ts", "ch", "sh", "shch", "\"", "y", "'", "e", "yu", "ya",               // 0440
    "e", "yo", "dj", "g", "ye", "dz", "i", "yi", "j", "lj", "nj", "c", "k", "i", "u", "dz",                 // 0450
};
static const char* const GREEK[73] = {
    "\u00C1", nullptr, "\u00C9", "\u00CD", "\u00CD", nullptr, "\u00D3", nullptr, "\u00DD", "\u00D3",  // 0386
    "\u00ED",                                                                                          // 0390
    "A", "V", "G", "D", "E", "Z", "I", "Th", "I", "K", "L", "M", "N", "X", "O",                          // 0391
    "P", "R", nullptr, "S", "T", "Y", "F", "Ch", "Ps", "O", "\u00CF", "\u0178",                          // 03A0
    "\u00E1", "\u00E9", "\u00ED", "\u00ED", "\u00FD",                                                   // 03AC
    "a", "v", "g", "d", "e", "z", "i", "th", "i", "k", "l", "m", "n", "x", "o",                          // 03B1
    "p", "r", "s", "s", "t", "y", "f", "ch", "ps", "o", "\u00EF", "\u00FF", "\u00F3", "\u00FD", "\u00F3",  // 03C0
};

static const char* spelt_in_latin(uint32_t cp) {
    if (cp >= 0x0400 && cp < 0x0460) return CYRILLIC[cp - 0x0400];
    if (cp == 0x0490) return "G";
    if (cp == 0x0491) return "g";
    if (cp >= 0x0386 && cp <= 0x03CE) return GREEK[cp - 0x0386];
    return nullptr;
}

std::u16string rtext_map_utf8(const std::string& s) {
    std::u16string u = rtext_from_utf8(s), out;
    for (size_t i = 0; i < u.size(); i++) {
        uint32_t cp = u[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < u.size() && u[i + 1] >= 0xDC00 && u[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (u[i + 1] - 0xDC00);
            i++;
        }
        const char* latin = rtext_is_foreign(cp) ? spelt_in_latin(cp) : nullptr;
        if (latin) {
            for (char16_t c : rtext_from_utf8(latin)) out += (char16_t)rtext_map_char(c);
            continue;
        }
        uint16_t m = rtext_map_char(cp);
        if (m) out += (char16_t)m;
    }
    return out;
}
