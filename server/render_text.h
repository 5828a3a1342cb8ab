// Text measurement and fitting for the page renderer: the handheld's glyph
// advances (generated at build time from the shipped font cache), the
// characters it can draw, and the rule that splits a line of text into runs
// so that every word starts where the engine placed it.
#ifndef CV_SERVER_RENDER_TEXT_H
#define CV_SERVER_RENDER_TEXT_H

#include <cstdint>
#include <string>
#include <vector>

// Page text sizes of the handheld's font cache: pixel sizes 8 to 13.
enum { RENDER_PX_MIN = 8, RENDER_PX_MAX = 13, RENDER_PX_SIZES = 6 };

// One character of the font cache in style 0. Advances are 16.16 pixels per
// pixel size (index 0 = 8 px); -1 where the cache lacks that size.
struct RenderGlyph {
    uint16_t code;
    int32_t advance[RENDER_PX_SIZES];  // what the handheld adds per glyph (hinted)
    int32_t linear[RENDER_PX_SIZES];   // the face's own advance (how the engine places it)
    // Its bitmap: left column from the pen, top row above the baseline, size.
    struct {
        int16_t left, top, width, rows;
    } ink[RENDER_PX_SIZES];
};
extern const int render_glyph_count;
extern const RenderGlyph render_glyphs[];

// A layout face (TrueType, base64): Liberation Sans's vertical metrics and
// the handheld's advances at one text size, for the engine to lay text out
// with. `family` is the CSS family name, `px` the handheld's pixel size.
struct RenderFace {
    int css_size;
    bool zoomed;
    int px;
    const char* family;
    const char* base64;
};
extern const int render_face_count;
extern const RenderFace render_faces[];
// The layout face for a CSS size (16-26, or 16-20 zoomed), or null.
const RenderFace* rtext_face(int css_size, bool zoomed);

// Builds the lookup from the generated table; false with a message when the
// table lacks the characters every page needs.
bool rtext_init(std::string* error);

// The character the handheld should be sent for a code point: itself when
// the font cache holds it, a look-alike it holds (typographic spaces,
// dashes, letters with accents the cache lacks), 0 for characters that show
// nothing (zero-width spaces, soft hyphens), '-' for anything else, which is
// what the handheld would draw for it anyway.
uint16_t rtext_map_char(uint32_t cp);
// True when the font cache holds the character (style 0).
bool rtext_has_glyph(uint16_t code);
// A JavaScript regular expression (with the u flag) that finds a character
// the handheld cannot show, neither itself nor as a look-alike: text that
// holds one is painted by the engine and travels as a picture.
const std::string& rtext_foreign_pattern();
// Whether a code point is such a character.
bool rtext_is_foreign(uint32_t cp);
// The handheld's advance of a (mapped) character at a pixel size, 16.16;
// a character it lacks advances like the hyphen it draws instead.
int32_t rtext_client_advance(uint16_t code, int px);
// The handheld's width of a run, in pixels, rounded as it rounds.
int rtext_client_width(const std::u16string& run, int px);
// The pixels the handheld's glyphs of a run cover, relative to its pen on
// the baseline, inclusive (left > right when it draws none), and the run's
// width as rtext_client_width gives it.
struct TextInk {
    int left, top, right, bottom;
    int width;
};
TextInk rtext_client_ink(const std::u16string& run, int px);
// The engine's advance of a code point in Liberation Sans at a CSS size, in
// CSS pixels, or a negative value when the face's advance is not known here.
double rtext_engine_advance(uint32_t cp, double css_size);
// The same in the layout face of that size (see RenderFace).
double rtext_face_advance(uint32_t cp, double css_size, bool zoomed);

// One line fragment as the engine laid it out.
struct TextLine {
    std::u32string chars;     // code points, white space already collapsed
    double x = 0;             // left edge of the fragment (viewport CSS pixels)
    double width = 0;         // the fragment's width as the engine reports it
    double size = 16;         // CSS font size
    double letter_spacing = 0, word_spacing = 0;
    bool zoomed = false;
    bool face = false;        // laid out in the layout face of its size (else Liberation Sans)
};

// A run of the fitted line: characters [begin, end) of the line, drawn with
// the pen at device pixel `pen`.
struct TextRun {
    size_t begin = 0, end = 0;
    int pen = 0;
};

// Engine positions of every character of the line (CSS pixels), and one more
// entry for the line's end: the advances of its face, with the difference to
// the engine's width given to characters whose advance is unknown, spread
// over the spaces (justified text) or scaled in.
std::vector<double> rtext_engine_positions(const TextLine& line);

// Splits a line into runs for the handheld drawing at `px` with `scale`
// device pixels per CSS pixel: each run starts on a word; a new run starts
// wherever the handheld's pen would put a word more than `tolerance` device
// pixels from the engine's position. `mapped` is the line as sent (same
// length as line.chars, 0 = not drawn). Runs carry no trailing spaces.
std::vector<TextRun> rtext_fit(const TextLine& line, const std::u16string& mapped, int px, double scale,
                              double tolerance = 1.0);

// UTF-16 code units of UTF-8 text (the snapshot counts its offsets in
// these; malformed bytes become U+FFFD).
std::u16string rtext_from_utf8(const std::string& s);
// UTF-8 text as the characters the handheld is sent (rtext_map_char; those
// that show nothing left out), for text the handheld draws itself where no
// picture can stand in (control labels, list items, a dialog's notice):
// Cyrillic and Greek letters are spelt in Latin letters there.
std::u16string rtext_map_utf8(const std::string& s);
// UTF-8 of a run of mapped characters (0 entries skipped).
std::string rtext_utf8(const std::u16string& s, size_t begin, size_t end);

#endif
