// The on-screen keypad: layer tables, key buttons, toolbar icons, drawing,
// layer switching and the modal wait.
#include "ui/keypad.h"

#include "shell/app.h"

// ---------------------------------------------------------------- geometry

// Letter layers: five rows of 20 pixels with identical key positions.
static const KeyRow LETTER_ROW1 = {140, 15,
    {0, 30, 50, 70, 90, 110, 130, 150, 170, 190, 210, 230, 250, 270, 290},
    {29, 49, 69, 89, 109, 129, 149, 169, 189, 209, 229, 249, 269, 289, 319}};
static const KeyRow LETTER_ROW2 = {160, 14,
    {0, 60, 80, 100, 120, 140, 160, 180, 200, 220, 240, 260, 280, 300},
    {59, 79, 99, 119, 139, 159, 179, 199, 219, 239, 259, 279, 299, 319}};
static const KeyRow LETTER_ROW3 = {180, 13,
    {0, 65, 85, 105, 125, 145, 165, 185, 205, 225, 245, 265, 285},
    {64, 84, 104, 124, 144, 164, 184, 204, 224, 244, 264, 284, 319}};
static const KeyRow LETTER_ROW4 = {200, 12,
    {0, 75, 95, 115, 135, 155, 175, 195, 215, 235, 255, 275},
    {74, 94, 114, 134, 154, 174, 194, 214, 234, 254, 274, 319}};
static const KeyRow LETTER_ROW5 = {220, 7,
    {0, 30, 60, 240, 260, 280, 300},
    {29, 59, 239, 259, 279, 299, 319}};
static const KeypadGeometry LETTER_GEOMETRY = {5, 20,
    {&LETTER_ROW1, &LETTER_ROW2, &LETTER_ROW3, &LETTER_ROW4, &LETTER_ROW5}};

// Number pad: four rows of 25 pixels in three key groups; the gaps
// x 125-134 and 210-219 belong to no key.
static const KeyRow NUMBER_ROW1 = {140, 12,
    {0, 25, 50, 75, 100, 135, 160, 185, 220, 245, 270, 295},
    {24, 49, 74, 99, 124, 159, 184, 209, 244, 269, 294, 319}};
static const KeyRow NUMBER_ROW2 = {165, 12,
    {0, 25, 50, 75, 100, 135, 160, 185, 220, 245, 270, 295},
    {24, 49, 74, 99, 124, 159, 184, 209, 244, 269, 294, 319}};
static const KeyRow NUMBER_ROW3 = {190, 12,
    {0, 25, 50, 75, 100, 135, 160, 185, 220, 245, 270, 295},
    {24, 49, 74, 99, 124, 159, 184, 209, 244, 269, 294, 319}};
static const KeyRow NUMBER_ROW4 = {215, 11,
    {0, 25, 50, 75, 100, 135, 160, 185, 220, 245, 295},
    {24, 49, 74, 99, 124, 159, 184, 209, 244, 294, 319}};
static const KeypadGeometry NUMBER_GEOMETRY = {4, 25,
    {&NUMBER_ROW1, &NUMBER_ROW2, &NUMBER_ROW3, &NUMBER_ROW4, nullptr}};

// ------------------------------------------------------------------ labels

// Labels of the special keys.
#define L_123 u"123"
#define L_BKSP u"\u2408"
#define L_TAB u"Tab"
#define L_CAP u"CAP"
#define L_ENTER u"\u21B5"
#define L_SHIFT u"Shift"
#define L_CTL u"Ctl"
#define L_ACCENT u"\u00E1\u00FC"
#define L_SPACE u" "
#define L_DOWN u"\u2193"
#define L_UP u"\u2191"
#define L_LEFT u"\u2190"
#define L_RIGHT u"\u2192"

// Row 5 is the same in all four letter layers.
static const WCHAR* const ROW5_LABELS[] = {L_CTL, L_ACCENT, L_SPACE, L_DOWN, L_UP, L_LEFT, L_RIGHT};
static const int32_t ROW5_CODES[] = {KEY_CTL, KEY_ACCENT, ' ', KEY_DOWN, KEY_UP, KEY_LEFT, KEY_RIGHT};

// Lower case.
static const WCHAR* const LOWER1[] = {L_123, u"`", u"1", u"2", u"3", u"4", u"5", u"6", u"7", u"8", u"9", u"0",
                                      u"-", u"=", L_BKSP};
static const WCHAR* const LOWER2[] = {L_TAB, u"q", u"w", u"e", u"r", u"t", u"y", u"u", u"i", u"o", u"p",
                                      u"[", u"]", u"\\"};
static const WCHAR* const LOWER3[] = {L_CAP, u"a", u"s", u"d", u"f", u"g", u"h", u"j", u"k", u"l", u";",
                                      u"'", L_ENTER};
static const WCHAR* const LOWER4[] = {L_SHIFT, u"z", u"x", u"c", u"v", u"b", u"n", u"m", u",", u".", u"/",
                                      L_SHIFT};
static const int32_t LOWER1_CODES[] = {KEY_NUMBERS, 0x60, '1', '2', '3', '4', '5', '6', '7', '8', '9', '0',
                                       0x2D, '=', KEY_BACKSPACE};
static const int32_t LOWER2_CODES[] = {KEY_TAB, 'q', 'w', 'e', 'r', 't', 'y', 'u', 'i', 'o', 'p',
                                       0x5B, 0x5D, 0x5C};
static const int32_t LOWER3_CODES[] = {KEY_CAPS, 'a', 's', 'd', 'f', 'g', 'h', 'j', 'k', 'l', ';',
                                       0x27, KEY_ENTER};
static const int32_t LOWER4_CODES[] = {KEY_SHIFT, 'z', 'x', 'c', 'v', 'b', 'n', 'm', ',', '.', '/', KEY_SHIFT};

// Upper case.
static const WCHAR* const UPPER1[] = {L_123, u"~", u"!", u"@", u"#", u"$", u"%", u"^", u"&", u"*", u"(", u")",
                                      u"_", u"+", L_BKSP};
static const WCHAR* const UPPER2[] = {L_TAB, u"Q", u"W", u"E", u"R", u"T", u"Y", u"U", u"I", u"O", u"P",
                                      u"{", u"}", u"|"};
static const WCHAR* const UPPER3[] = {L_CAP, u"A", u"S", u"D", u"F", u"G", u"H", u"J", u"K", u"L", u":",
                                      u"\"", L_ENTER};
static const WCHAR* const UPPER4[] = {L_SHIFT, u"Z", u"X", u"C", u"V", u"B", u"N", u"M", u"<", u">", u"?",
                                      L_SHIFT};
static const int32_t UPPER1_CODES[] = {KEY_NUMBERS, '~', '!', 0x40, 0x23, '$', '%', '^', '&', 0x2A, '(', ')',
                                       0x5F, '+', KEY_BACKSPACE};
static const int32_t UPPER2_CODES[] = {KEY_TAB, 'Q', 'W', 'E', 'R', 'T', 'Y', 'U', 'I', 'O', 'P',
                                       '{', '}', 0x7C};
static const int32_t UPPER3_CODES[] = {KEY_CAPS, 'A', 'S', 'D', 'F', 'G', 'H', 'J', 'K', 'L', ':',
                                       0x22, KEY_ENTER};
static const int32_t UPPER4_CODES[] = {KEY_SHIFT, 'Z', 'X', 'C', 'V', 'B', 'N', 'M', 0x3C, 0x3E, '?', KEY_SHIFT};

// Accented lower case.
static const WCHAR* const ACCENT_LOWER1[] = {L_123, u"\u00FD", u"\u00BF", u"\u00A1", u"\u0153", u"\u20AC",
                                             u"\u00A3", u"\u00A5", u"\u00A7", u"\u00DF", u"\u00B1", u"\u00B5",
                                             u"-", u"=", L_BKSP};
static const WCHAR* const ACCENT_LOWER2[] = {L_TAB, u"\u00E0", u"\u00E1", u"\u00E2", u"\u00E3", u"\u00E4",
                                             u"\u00E5", u"\u00E6", u"\u00E7", u"\u00F0", u"\u00F1",
                                             u"[", u"]", u"\u00F8"};
static const WCHAR* const ACCENT_LOWER3[] = {L_CAP, u"\u00E8", u"\u00E9", u"\u00EA", u"\u00EB", u"\u00EC",
                                             u"\u00ED", u"\u00EE", u"\u00EF", u"\u00FE", u";", u"'", L_ENTER};
static const WCHAR* const ACCENT_LOWER4[] = {L_SHIFT, u"\u00F2", u"\u00F3", u"\u00F4", u"\u00F5", u"\u00F6",
                                             u"\u00F9", u"\u00FA", u"\u00FB", u"\u00FC", u"/", L_SHIFT};
static const int32_t ACCENT_LOWER1_CODES[] = {KEY_NUMBERS, 0xFD, 0xBF, 0xA1, 0x153, 0x20AC, 0xA3, 0xA5, 0xA7,
                                              0xDF, 0xB1, 0xB5, 0x2D, '=', KEY_BACKSPACE};
static const int32_t ACCENT_LOWER2_CODES[] = {KEY_TAB, 0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xF0, 0xF1,
                                              0x5B, 0x5D, 0xF8};
static const int32_t ACCENT_LOWER3_CODES[] = {KEY_CAPS, 0xE8, 0xE9, 0xEA, 0xEB, 0xEC, 0xED, 0xEE, 0xEF, 0xFE,
                                              ';', 0x27, KEY_ENTER};
static const int32_t ACCENT_LOWER4_CODES[] = {KEY_SHIFT, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF9, 0xFA, 0xFB, 0xFC,
                                              '/', KEY_SHIFT};

// Accented upper case.
static const WCHAR* const ACCENT_UPPER1[] = {L_123, u"\u00DD", u"\u00BF", u"\u00A1", u"\u0152", u"\u20AC",
                                             u"\u00A3", u"\u00A5", u"\u00A7", u"\u02DA", u"\u00B1", u"\u00B5",
                                             u"_", u"+", L_BKSP};
static const WCHAR* const ACCENT_UPPER2[] = {L_TAB, u"\u00C0", u"\u00C1", u"\u00C2", u"\u00C3", u"\u00C4",
                                             u"\u00C5", u"\u00C6", u"\u00C7", u"\u00D0", u"\u00D1",
                                             u"{", u"}", u"\u00D8"};
static const WCHAR* const ACCENT_UPPER3[] = {L_CAP, u"\u00C8", u"\u00C9", u"\u00CA", u"\u00CB", u"\u00CC",
                                             u"\u00CD", u"\u00CE", u"\u00CF", u"\u00DE", u":", u"\"", L_ENTER};
static const WCHAR* const ACCENT_UPPER4[] = {L_SHIFT, u"\u00D2", u"\u00D3", u"\u00D4", u"\u00D5", u"\u00D6",
                                             u"\u00D9", u"\u00DA", u"\u00DB", u"\u00DC", u"?", L_SHIFT};
static const int32_t ACCENT_UPPER1_CODES[] = {KEY_NUMBERS, 0xDD, 0xBF, 0xA1, 0x152, 0x20AC, 0xA3, 0xA5, 0xA7,
                                              0x2DA, 0xB1, 0xB5, 0x5F, '+', KEY_BACKSPACE};
static const int32_t ACCENT_UPPER2_CODES[] = {KEY_TAB, 0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xD0, 0xD1,
                                              '{', '}', 0xD8};
static const int32_t ACCENT_UPPER3_CODES[] = {KEY_CAPS, 0xC8, 0xC9, 0xCA, 0xCB, 0xCC, 0xCD, 0xCE, 0xCF, 0xDE,
                                              ':', 0x22, KEY_ENTER};
static const int32_t ACCENT_UPPER4_CODES[] = {KEY_SHIFT, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD9, 0xDA, 0xDB, 0xDC,
                                              '?', KEY_SHIFT};

// Number pad.
static const WCHAR* const NUMBER1[] = {L_123, u"[", u"]", u"{", u"}", u"7", u"8", u"9", u"#", u"%", u"=", L_BKSP};
static const WCHAR* const NUMBER2[] = {u"^", u",", u".", u"<", u">", u"4", u"5", u"6", u"+", u"-", u"*", u"/"};
static const WCHAR* const NUMBER3[] = {u"\u00B1", u"\u00B0", u":", u"\\", u"|", u"1", u"2", u"3",
                                       L_DOWN, L_UP, L_LEFT, L_RIGHT};
static const WCHAR* const NUMBER4[] = {u"$", u"\u00A2", u"\u20AC", u"\u00A3", u"\u00A5", u"(", u"0", u")",
                                       L_TAB, u"SPACE", L_ENTER};
static const int32_t NUMBER1_CODES[] = {KEY_NUMBERS, 0x5B, 0x5D, '{', '}', '7', '8', '9', 0x23, '%', '=',
                                        KEY_BACKSPACE};
static const int32_t NUMBER2_CODES[] = {'^', ',', '.', 0x3C, 0x3E, '4', '5', '6', '+', 0x2D, 0x2A, '/'};
static const int32_t NUMBER3_CODES[] = {0xB1, 0xB0, ':', 0x5C, 0x7C, '1', '2', '3',
                                        KEY_DOWN, KEY_UP, KEY_LEFT, KEY_RIGHT};
static const int32_t NUMBER4_CODES[] = {'$', 0xA2, 0x20AC, 0xA3, 0xA5, '(', '0', ')', KEY_TAB, ' ', KEY_ENTER};

// Latches are for codes 2, 3, 4, 5, 6: the number pad shows "123" pressed,
// the accent layers "áü"; caps lock and shift are written at run time.
KeypadLayer keypad_layers[LAYER_COUNT] = {
    {&LETTER_GEOMETRY, {LOWER1, LOWER2, LOWER3, LOWER4, ROW5_LABELS, nullptr},
     {LOWER1_CODES, LOWER2_CODES, LOWER3_CODES, LOWER4_CODES, ROW5_CODES, nullptr}, {0, 0, 0, 0, 0}, nullptr},
    {&LETTER_GEOMETRY, {UPPER1, UPPER2, UPPER3, UPPER4, ROW5_LABELS, nullptr},
     {UPPER1_CODES, UPPER2_CODES, UPPER3_CODES, UPPER4_CODES, ROW5_CODES, nullptr}, {0, 0, 0, 0, 0}, nullptr},
    {&LETTER_GEOMETRY, {ACCENT_LOWER1, ACCENT_LOWER2, ACCENT_LOWER3, ACCENT_LOWER4, ROW5_LABELS, nullptr},
     {ACCENT_LOWER1_CODES, ACCENT_LOWER2_CODES, ACCENT_LOWER3_CODES, ACCENT_LOWER4_CODES, ROW5_CODES, nullptr},
     {0, 0, 0, 0, 1}, nullptr},
    {&LETTER_GEOMETRY, {ACCENT_UPPER1, ACCENT_UPPER2, ACCENT_UPPER3, ACCENT_UPPER4, ROW5_LABELS, nullptr},
     {ACCENT_UPPER1_CODES, ACCENT_UPPER2_CODES, ACCENT_UPPER3_CODES, ACCENT_UPPER4_CODES, ROW5_CODES, nullptr},
     {0, 0, 0, 0, 1}, nullptr},
    {&NUMBER_GEOMETRY, {NUMBER1, NUMBER2, NUMBER3, NUMBER4, nullptr, nullptr},
     {NUMBER1_CODES, NUMBER2_CODES, NUMBER3_CODES, NUMBER4_CODES, nullptr, nullptr}, {1, 0, 0, 0, 0}, nullptr},
};

// ----------------------------------------------------------- toolbar icons

// 15 x 15 pictures; '.' is the background (light grey), '#' black,
// 'b' dark blue, 'r' red, 'g' green, 'w' white, 'm' mid grey.
static const char* const ICON_EXIT[15] = {
    "...............", ".##.........##.", ".###.......###.", "..###.....###..", "...###...###...",
    "....###.###....", ".....#####.....", "......###......", ".....#####.....", "....###.###....",
    "...###...###...", "..###.....###..", ".###.......###.", ".##.........##.", "..............."};
static const char* const ICON_BACK[15] = {
    "...............", "...............", "......#.....#..", ".....##....##..", "....###...###..",
    "...####..####..", "..#####.#####..", ".############..", "..#####.#####..", "...####..####..",
    "....###...###..", ".....##....##..", "......#.....#..", "...............", "..............."};
static const char* const ICON_STOP[15] = {
    "...............", ".#############.", ".#...........#.", ".#...........#.", ".#..rrrrrrr..#.",
    ".#..rrrrrrr..#.", ".#..rrrrrrr..#.", ".#..rrrrrrr..#.", ".#..rrrrrrr..#.", ".#..rrrrrrr..#.",
    ".#..rrrrrrr..#.", ".#...........#.", ".#...........#.", ".#############.", "..............."};
static const char* const ICON_FORWARD[15] = {
    "...............", "...............", "..#.....#......", "..##....##.....", "..###...###....",
    "..####..####...", "..#####.#####..", "..############.", "..#####.#####..", "..####..####...",
    "..###...###....", "..##....##.....", "..#.....#......", "...............", "..............."};
static const char* const ICON_RELOAD[15] = {
    "...............", ".....bbbbb.b...", "...bb.....bb...", "..b.......bbb..", ".b.......bbbb..",
    ".b.............", ".b.............", "...............", ".............b.", ".............b.",
    "..bbbb.......b.", "..bbb.......b..", "...bb.....bb...", "...b.bbbbb.....", "..............."};
static const char* const ICON_ZOOM[15] = {
    "...............", "....#####......", "...#wwwww#.....", "..#ww...ww#....", "..#w.....w#....",
    "..#w.....w#....", "..#w.....w#....", "..#ww...ww#....", "...#wwwww#.....", "....######.....",
    "........###....", ".........###...", "..........###..", "...........##..", "..............."};
static const char* const ICON_OPTIONS[15] = {
    "...............", "...............", "............gg.", "...........ggg.", "..........ggg..",
    ".........ggg...", "........ggg....", ".gg....ggg.....", ".ggg..ggg......", "..gggggg.......",
    "...gggg........", "....gg.........", "...............", "...............", "..............."};

static const char* const* const TOOLBAR_PICTURES[7] = {ICON_EXIT, ICON_BACK, ICON_STOP, ICON_FORWARD,
                                                       ICON_RELOAD, ICON_ZOOM, ICON_OPTIONS};
static const int TOOLBAR_LEFT[7] = {100, 118, 136, 154, 172, 190, 208};
static const int TOOLBAR_CODE[7] = {KEY_TOOL_EXIT, KEY_TOOL_BACK, KEY_TOOL_STOP, KEY_TOOL_FORWARD,
                                    KEY_TOOL_RELOAD, KEY_TOOL_ZOOM, KEY_TOOL_OPTIONS};

// Palette indices of the icons, made once from the pictures above.
static BYTE toolbar_pixels[7][15 * 15];
static ControlImage toolbar_images[7];
static bool toolbar_ready;

static BYTE colour_of(char c) {
    switch (c) {
    case '#': return COLOUR_BLACK;
    case 'b': return COLOUR_DARK_BLUE;
    case 'r': return COLOUR_RED;
    case 'g': return COLOUR_GREEN;
    case 'w': return COLOUR_WHITE;
    case 'm': return COLOUR_MID_GREY;
    default: return COLOUR_LIGHT_GREY;
    }
}

static void make_toolbar_pixels() {
    if (toolbar_ready) return;
    for (int i = 0; i < 7; i++)
        for (int r = 0; r < 15; r++)
            for (int c = 0; c < 15; c++) toolbar_pixels[i][r * 15 + c] = colour_of(TOOLBAR_PICTURES[i][r][c]);
    for (int i = 0; i < 7; i++) toolbar_images[i] = {15, 15, 15, 1, toolbar_pixels[i]};
    toolbar_ready = true;
}

// ---------------------------------------------------------------- building

int ui_pool_alive(TextEngine* engine) { return engine && engine == text_engine; }

// A key: a button with a 16-bit label, laid out like a push button (label
// font, size by zoom) and then given the rectangle of the table (right and
// bottom -1: keep the push-button size) with its label centred.
static ButtonControl* key_create(TextEngine* engine, const WCHAR* label, int code, LONG left, LONG top,
                                 LONG right, LONG bottom, int* err) {
    ButtonControl* b = button_create_w(engine, label, nullptr, left, top, (uint32_t)code, nullptr, 0, err);
    if (!b || *err) return nullptr;
    if (right >= 0) {
        b->rect.right = right;
        b->rect.bottom = bottom;
        LONG w = right - left, h = bottom - top;
        b->label_x = left + (w - b->label_width) / 2;
        b->label_y = bottom - h / 3;
    }
    return b;
}

static void append(KeypadLayer* layer, ButtonControl** tail, ButtonControl* b) {
    if (*tail) (*tail)->next = b;
    else layer->buttons = b;
    *tail = b;
}

static void build_buttons(TextEngine* engine, KeypadLayer* layer, int one_line, int toolbar, int* err);

void keypad_build(TextEngine* engine, KeypadLayer* layer, int one_line, int toolbar, int* err) {
    *err = 0;
    build_buttons(engine, layer, one_line, toolbar, err);
    // A pool failure took every button with the pool; keep none of them.
    if (*err && !ui_pool_alive(engine)) layer->buttons = nullptr;
}

static void build_buttons(TextEngine* engine, KeypadLayer* layer, int one_line, int toolbar, int* err) {
    layer->buttons = nullptr;
    ButtonControl* tail = nullptr;
    const int s = 8;
    // The accept key, right-aligned; "Esc" at the left of the same row.
    ButtonControl* ok = key_create(engine, u"Ok", KEY_ACCEPT, 0, 0, -1, -1, err);
    if (!ok) return;
    // Width = label width + 8, height 16 (2s), label s/2 in from the left.
    LONG w = ok->label_width + s;
    LONG top = one_line ? KEYPAD_TOP - 2 * (2 * s) : 0;
    ok->rect = {top, 319 - w, top + 2 * s, 319};
    ok->label_x = ok->rect.left + s / 2;
    ok->label_y = top + 2 * s - s / 2;
    append(layer, &tail, ok);
    ButtonControl* esc = key_create(engine, u"Esc", KEY_ESC, 0, top, -1, -1, err);
    if (!esc) return;
    append(layer, &tail, esc);

    const KeypadGeometry* g = layer->geometry;
    for (int r = 0; r < g->row_count; r++) {
        const KeyRow* row = g->rows[r];
        for (int k = 0; k < row->count; k++) {
            Rect rc = {row->top, row->left[k], row->top + g->row_height - 1, row->right[k]};
            ButtonControl* b = key_create(engine, layer->labels[r][k], layer->codes[r][k] & 0xFFFF, rc.left,
                                             rc.top, rc.right, rc.bottom, err);
            if (!b) return;
            append(layer, &tail, b);
        }
    }
    if (!toolbar) return;
    ok->label[0] = 'G';
    ok->label[1] = 'o';
    make_toolbar_pixels();
    for (int i = 0; i < 7; i++) {
        ButtonControl* b = button_create(engine, nullptr, &toolbar_images[i], TOOLBAR_LEFT[i], top,
                                         (uint32_t)TOOLBAR_CODE[i], nullptr, 0, err);
        if (!b || *err) return;
        append(layer, &tail, b);
    }
}

void keypad_free(KeypadLayer* layer) {
    ButtonControl* b = layer->buttons;
    layer->buttons = nullptr;
    if (!text_engine) return;  // the pool went, and the buttons with it
    while (b) {
        ButtonControl* next = b->next;
        int err = 0;
        button_destroy(b, &err);
        b = next;
    }
}

ButtonControl* keypad_accept_key(KeypadLayer* layer) { return layer->buttons; }

static int latched(const KeypadLayer* layer, int code) {
    return code >= 2 && code <= 6 && layer->latch[code - 2];
}

void keypad_draw(TextEngine* engine, KeypadLayer* layer) {
    ButtonControl* ok = layer->buttons;
    if (ok) {
        Rect bar = {ok->rect.top, 0, ok->rect.bottom, 319};
        gfx_fill_rect(&bar, COLOUR_SILVER);
    }
    if (layer == &keypad_layers[LAYER_NUMBERS]) {
        Rect pad = {KEYPAD_TOP, 0, 239, 319};
        gfx_fill_rect(&pad, COLOUR_DARK_GREY);
    }
    for (ButtonControl* b = layer->buttons; b; b = b->next) {
        int err = 0;
        button_draw(engine, b, latched(layer, b->id) ? 1 : 0, &err);
        if (err) break;
    }
}

int keypad_choose_layer(int caps, int shift, int accent) {
    int upper = (caps != 0) != (shift != 0);
    int layer = accent ? (upper ? LAYER_ACCENT_UPPER : LAYER_ACCENT_LOWER) : (upper ? LAYER_UPPER : LAYER_LOWER);
    keypad_layers[layer].latch[KEY_CAPS - 2] = caps ? 1 : 0;
    keypad_layers[layer].latch[KEY_SHIFT - 2] = shift ? 1 : 0;
    return layer;
}

static void show_layer(TextEngine* engine, KeypadState* ks, int layer, int* err) {
    keypad_free(&keypad_layers[ks->layer]);
    ks->layer = layer;
    keypad_build(engine, &keypad_layers[layer], ks->one_line, ks->toolbar, err);
    gfx.frame = (char*)GXBeginDraw();
    if (gfx.frame) {
        keypad_draw(engine, &keypad_layers[layer]);
        GXEndDraw();
    }
}

void keypad_switch(TextEngine* engine, KeypadState* ks, int code, int* err) {
    int layer;
    if (code == KEY_NUMBERS) {
        if (ks->layer == LAYER_NUMBERS) {
            layer = ks->return_layer;
        } else {
            ks->return_layer = ks->layer;
            layer = LAYER_NUMBERS;
        }
    } else {
        if (code == KEY_CAPS) ks->caps = !ks->caps;
        else if (code == KEY_SHIFT) ks->shift = !ks->shift;
        else if (code == KEY_ACCENT) ks->accent = !ks->accent;
        else return;
        layer = keypad_choose_layer(ks->caps, ks->shift, ks->accent);
    }
    show_layer(engine, ks, layer, err);
}

void keypad_after_character(TextEngine* engine, KeypadState* ks, int* err) {
    if (!ks->shift) return;
    ks->shift = 0;
    show_layer(engine, ks, keypad_choose_layer(ks->caps, 0, ks->accent), err);
}

// --------------------------------------------------------------- the wait

void ui_wait_message(HWND hwnd, MSG* msg) {
    for (;;) {
        if (PeekMessageW(msg, hwnd, 0, 1023, PM_NOREMOVE)) {
            PeekMessageW(msg, hwnd, 0, 1023, PM_REMOVE);
            return;
        }
    }
}

int keypad_translate_key(int v) {
    v = (short)v;
    switch (v) {
    case VK_BACK: return KEY_BACKSPACE;
    case VK_RETURN: return KEY_ENTER;
    case VK_SHIFT: return KEY_SHIFT;
    case VK_ESCAPE: return KEY_ESC;
    case VK_LEFT: return KEY_LEFT;
    case VK_UP: return KEY_UP;
    case VK_RIGHT: return KEY_RIGHT;
    case VK_DOWN: return KEY_DOWN;
    case 186: return ';';
    case 188: return ',';
    case 190: return '.';
    case 191: return '/';
    case 222: return '\'';
    default: break;
    }
    // The hardware button that opens the keypad closes it again.
    if (app.oem_family_hp && v == 0xC2) return KEY_ESC;
    if (app.display.cbyPitch < 0 && (v == 0xC1 || v == 0xC2)) return KEY_ESC;
    if (!app.oem_family_hp && app.display.cbyPitch >= 0 && v == app.keys.vkC) return KEY_ESC;
    if (v >= 32 && v <= 126) return v;
    return 0;
}

static ButtonControl* hit(KeypadLayer* layer, const Point* p) {
    for (ButtonControl* b = layer->buttons; b; b = b->next)
        if (rect_contains(p, &b->rect)) return b;
    return nullptr;
}

static void draw_button(TextEngine* engine, ButtonControl* b, int state) {
    gfx.frame = (char*)GXBeginDraw();
    if (gfx.frame) {
        int err = 0;
        button_draw(engine, b, state, &err);
        GXEndDraw();
    }
}

int keypad_wait(HWND hwnd, TextEngine* engine, KeypadLayer* layer, Point* pt) {
    pt->x = -1;
    pt->y = -1;
    ButtonControl* pressed = nullptr;
    for (;;) {
        MSG msg;
        ui_wait_message(hwnd, &msg);
        if (msg.message == WM_LBUTTONDOWN || msg.message == WM_LBUTTONUP) {
            Point p;
            gfx_from_physical((int16_t)LOWORD(msg.lParam), (int16_t)HIWORD(msg.lParam), &p.x, &p.y);
            if (msg.message == WM_LBUTTONDOWN) {
                pressed = hit(layer, &p);
                if (!pressed) {
                    *pt = p;
                    return KEY_NONE;
                }
                draw_button(engine, pressed, 1);
                // Drawing may lose the pool, and the keys with it.
                if (!ui_pool_alive(engine)) return KEY_NONE;
            } else if (pressed) {
                int id = (int)pressed->id;
                int inside = rect_contains(&p, &pressed->rect);
                draw_button(engine, pressed, latched(layer, pressed->id) ? 1 : 0);
                return inside && ui_pool_alive(engine) ? id : KEY_NONE;
            }
        } else if (msg.message == WM_KEYUP) {
            int code = keypad_translate_key((int)LOWORD(msg.wParam));
            if (!code) continue;
            keypad_flash(engine, layer, code);
            return code;
        }
    }
}

void keypad_flash(TextEngine* engine, KeypadLayer* layer, int code) {
    for (ButtonControl* b = layer->buttons; b; b = b->next) {
        if ((int)b->id != code) continue;
        gfx.frame = (char*)GXBeginDraw();
        if (gfx.frame) {
            int err = 0;
            button_draw(engine, b, 1, &err);
            if (!err) button_draw(engine, b, latched(layer, code) ? 1 : 0, &err);
            GXEndDraw();
        }
        return;
    }
}
