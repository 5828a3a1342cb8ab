// The on-screen keypad: four letter layers and a number pad as const tables,
// the key buttons built from them, the toolbar icons of the address bar, and
// the modal wait that turns taps and hardware keys into key codes.
//
//   y 108..124  [Esc]            (one-line layout: text box row 125..139)       [Ok]
//   y 140..239  five key rows of 20 pixels (letters) or four of 25 (number pad)
#ifndef CV_UI_KEYPAD_H
#define CV_UI_KEYPAD_H

#include "gfx/controls.h"
#include "gfx/fb.h"
#include "gfx/text.h"

// Key codes that are not characters.
enum {
    KEY_NONE = 0,      // tap outside every key (with its point)
    KEY_ESC = 1,
    KEY_NUMBERS = 2,   // "123"
    KEY_CAPS = 3,      // "CAP"
    KEY_SHIFT = 4,
    KEY_CTL = 5,
    KEY_ACCENT = 6,    // "áü"
    KEY_BACKSPACE = 7,
    KEY_ACCEPT = 8,    // "Ok" / "Go"
    KEY_TAB = 9,
    KEY_ENTER = 13,
    KEY_TOOL_EXIT = 14,
    KEY_TOOL_BACK = 15,
    KEY_TOOL_STOP = 16,
    KEY_TOOL_FORWARD = 17,
    KEY_TOOL_RELOAD = 18,
    KEY_TOOL_ZOOM = 19,
    KEY_TOOL_OPTIONS = 20,
    KEY_LEFT = 0x2190,
    KEY_UP = 0x2191,
    KEY_RIGHT = 0x2192,
    KEY_DOWN = 0x2193
};

// Layers, in table order.
enum { LAYER_LOWER = 0, LAYER_UPPER = 1, LAYER_ACCENT_LOWER = 2, LAYER_ACCENT_UPPER = 3, LAYER_NUMBERS = 4,
       LAYER_COUNT = 5 };

#define KEYPAD_TOP 140
#define KEYPAD_MAX_ROWS 5

// One row of keys; bounds inclusive.
struct KeyRow {
    int32_t top;
    int32_t count;
    int32_t left[16];
    int32_t right[16];
};

struct KeypadGeometry {
    int32_t row_count;
    int32_t row_height;
    const KeyRow* rows[KEYPAD_MAX_ROWS];
};

// One layer: geometry, labels and codes per row (each list ends with a
// null), the latch flags of codes 2 to 6 (a latched key is drawn pressed) and
// the buttons built for it. Only the latches and the button list change.
struct KeypadLayer {
    const KeypadGeometry* geometry;
    const WCHAR* const* labels[KEYPAD_MAX_ROWS + 1];
    const int32_t* codes[KEYPAD_MAX_ROWS + 1];
    BYTE latch[5];
    ButtonControl* buttons;
};

extern KeypadLayer keypad_layers[LAYER_COUNT];

// The keypad state of one editor call.
struct KeypadState {
    int layer;
    int return_layer;  // shown again when the number pad closes
    BYTE caps;
    BYTE shift;
    BYTE accent;
    BYTE one_line;
    BYTE toolbar;
};

// Builds the layer's buttons: accept key, "Esc", the keys row by row, then
// (with the toolbar) the seven icons. A pool failure ends the building and
// leaves its code in *err.
void keypad_build(TextEngine* engine, KeypadLayer* layer, int one_line, int toolbar, int* err);
void keypad_free(KeypadLayer* layer);
void keypad_draw(TextEngine* engine, KeypadLayer* layer);
// Chooses the letter layer for the flags and writes its caps and shift latches.
int keypad_choose_layer(int caps, int shift, int accent);
// Waits for one key code; for code 0, *pt is the tap (or -1, -1).
int keypad_wait(HWND hwnd, TextEngine* engine, KeypadLayer* layer, Point* pt);
void keypad_flash(TextEngine* engine, KeypadLayer* layer, int code);
// The accept key (first button), or null.
ButtonControl* keypad_accept_key(KeypadLayer* layer);

// Layer switching for the editor: codes 2, 3, 4, 6, and the shift release
// after a character key. Rebuilds and redraws the keypad.
void keypad_switch(TextEngine* engine, KeypadState* ks, int code, int* err);
void keypad_after_character(TextEngine* engine, KeypadState* ks, int* err);

// Hardware key (virtual key v) to key code; 0 when ignored.
int keypad_translate_key(int v);

// The engine's pool still stands: a pool failure anywhere destroys the main
// pool with every record in it and clears text_engine.
int ui_pool_alive(TextEngine* engine);

// Polls the window's queue for one message (0 to 1023) and removes it.
void ui_wait_message(HWND hwnd, MSG* msg);

#endif
