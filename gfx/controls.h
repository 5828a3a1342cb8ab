// Form controls: text boxes, lists (list boxes, drop-down lists, check box
// and radio groups), their items and push buttons. The records live in the
// main pool; the page interpreter and the browser's own screens build them,
// the input code changes their state, and the operations here lay them out
// and draw them.
//
// Every operation that allocates is a guarded entry: it arms the pool's jump
// buffer, and a pool failure comes back as a non-zero error code with the
// pool (and every record in it) gone. Drawing expects an open GXBeginDraw
// bracket or the off-screen target.
//
// Coordinates are landscape screen pixels; Rects are inclusive.
//
// A drop-down list, closed and open (o = outline in black, rows of 12):
//
//     +----------------------+ +-----+
//     | selected label       | |  v  |      box = Rect, arrow 2 px right
//     +----------------------+ +-----+
//    o----------------------------------o  <- frame (3 px below the box)
//    o row 0                         |^|o
//    o row 1 (selected: dark blue)   | |o     rows start at first_visible;
//    o ...                           |v|o     arrows only when rows overflow
//    o----------------------------------o
#ifndef CV_GFX_CONTROLS_H
#define CV_GFX_CONTROLS_H

#include <cstdint>

#include "gfx/fb.h"
#include "wince.h"

struct MemPool;
struct TextEngine;

// Errors of the list operations (the pool's own codes are 10000 and up).
enum {
    CONTROL_ERR_BAD_LIST = 1,   // unknown kind, or no list given
    CONTROL_ERR_LIST_FULL = 2   // the item array cannot grow any more
};

// List kinds.
enum {
    LIST_BOX = 0,
    LIST_DROP_DOWN = 1,
    LIST_CHECK_BOXES = 2,
    LIST_RADIO_BUTTONS = 3,
    LIST_OTHER = 4   // kept, never drawn
};

// Button drawing states.
enum {
    BUTTON_NORMAL = 0,
    BUTTON_PRESSED = 1,
    BUTTON_HIGHLIGHTED = 2
};

#define CONTROL_ROW_HEIGHT 12     // rows of list boxes and open lists
#define CONTROL_OPEN_MAX_ROWS 19  // an open drop-down shows at most 228 pixels
#define CONTROL_OPEN_MAX_HEIGHT (CONTROL_OPEN_MAX_ROWS * CONTROL_ROW_HEIGHT)
#define TEXTBOX_MAX_LINES 32
#define TEXTBOX_LINE_UNITS 128    // initial capacity of a line, in code units
#define LIST_MAX_ITEMS 500        // beyond this the item array is not grown

// A picture of palette indices (icons, arrows), row after row.
// Index 3 in a radio or check box icon shows the background.
struct ControlImage {
    int32_t width;
    int32_t rows;
    int32_t stride;          // indices from one row to the next
    int32_t flag;            // 1 = there is a picture to draw
    const BYTE* pixels;      // width x rows palette indices, or null
};

// Text field, password field or text area.
struct TextBox {
    Rect rect;
    WCHAR** lines;           // line_count buffers of 16-bit text
    uint16_t* capacities;    // code units each line buffer holds
    int32_t line_count;      // 1 single-line, 32 multi-line
    BYTE single_line;
    MemPool* pool;
    uint32_t id;             // page controls: the position key
    char* name;              // or null
    BYTE password;           // 1 = shown as asterisks
    int32_t value;           // page controls: the frame number
    TextBox* next;
    TextBox* prev;           // page list only
};

// One item of a list or group.
struct ListItem {
    Rect rect;               // row items: top 0, bottom = row height (placed by the list)
    int32_t label_x;         // pen x
    int32_t label_y;         // baseline; row items: relative to the row's top
    WCHAR* label;            // or null
    int32_t value;
    int32_t selected;        // non-zero = checked, chosen
    ControlImage icon_off;
    ControlImage icon_on;
};

struct ButtonControl;

// List box, drop-down list, check box group or radio group.
struct ListControl {
    Rect rect;               // list box: visible rows; drop-down: the closed box
    int32_t visible_height;  // pixels
    int32_t requested_height;
    int32_t requested_width;
    int32_t visible_rows;
    MemPool* pool;
    char* name;
    int32_t kind;            // LIST_*
    int32_t item_count;
    ListItem** items;
    ButtonControl* arrow;    // drop-down only
    int32_t total_height;    // 12 per item for list boxes and drop-downs
    int32_t first_visible;
    int32_t selected;        // selected row, -1 for none
    ButtonControl* scroll_first;   // top (up) scroll button, made when first needed
    ButtonControl* scroll_second;  // bottom (down) scroll button
    Rect frame;              // open list's frame; list box's outer frame after drawing
    uint16_t* saved;         // screen under the open list (gfx_save_area)
    BYTE multiple;           // more than one item may be selected (check boxes)
    BYTE open;               // drop-down: drawn with its list open
    int32_t open_rows;       // rows the open list shows (set when laid out)
    int32_t open_direction;  // drop-down: 1 opens below the box, 0 above, -1 where it fits
    uint16_t style;          // row text style when non-zero
    int32_t size;            // row text size used with style
    uint32_t id;             // page controls: the frame number
    ListControl* next;
    ListControl* prev;       // page list only
};

// Push button, image button (scroll arrows) or scroll thumb.
struct ButtonControl {
    Rect rect;
    int32_t label_x;         // pen x
    int32_t label_y;         // baseline
    WCHAR* label;            // or null
    ControlImage image;      // pixels null for a text button
    MemPool* pool;
    uint32_t id;
    char* name;              // or null
    int32_t label_width;     // pixels
    int32_t size;
    uint16_t style;
    BYTE ordinary;           // 1 for ordinary buttons
    int32_t value;
    ButtonControl* next;
    ButtonControl* prev;     // page list only
};

// Icons of radio buttons and check boxes, zoomed in (9 by 9) and out (7 by 7).
extern const ControlImage icon_radio_off_9, icon_radio_on_9, icon_check_off_9, icon_check_on_9;
extern const ControlImage icon_radio_off_7, icon_radio_on_7, icon_check_off_7, icon_check_on_7;
// Arrows of scroll buttons: 13 by 13 zoomed in, 9 by 9 zoomed out.
extern const ControlImage arrow_up_13, arrow_down_13, arrow_up_9, arrow_down_9;
// Arrow button of a drop-down list zoomed in (11 wide, 13 rows).
extern const ControlImage arrow_drop_11;

// Text size of controls: 10 zoomed in, 8 zoomed out.
int control_text_size();

TextBox* textbox_create(TextEngine* engine, LONG top, LONG left, LONG bottom, LONG right,
                        const WCHAR* text, uint32_t id, const char* name, int single_line,
                        int password, int32_t value, int* err);
// Replaces the text (unguarded: call inside a guarded entry, or through
// textbox_set_text_guarded). CR and LF break lines; see controls.cpp.
void textbox_set_text(MemPool* pool, TextBox* box, const WCHAR* text, int single_line);
void textbox_set_text_guarded(TextEngine* engine, TextBox* box, const WCHAR* text,
                              int single_line, int* err);
int textbox_draw(TextEngine* engine, TextBox* box, int* err);
void textbox_destroy(TextBox* box, int* err);

ListControl* list_create(TextEngine* engine, const char* name, int kind, int32_t requested_height,
                         int32_t requested_width, uint32_t id, int* err);
// Appends an item; x and y are -1 for items placed by the list.
void list_add_item(TextEngine* engine, ListControl* list, const WCHAR* label, int32_t value,
                   LONG x, LONG y, int32_t selected, int* err);
void list_add_item_cstr(TextEngine* engine, ListControl* list, const char* label, int32_t value,
                        LONG x, LONG y, int32_t selected, int* err);
// Moves the list (Rect, arrow, scroll buttons, frame, item labels and group
// item Rects) by dx, dy.
void list_move(ListControl* list, LONG dx, LONG dy);
// Destroys every item and the item array; the list stays, empty.
void list_clear_items(ListControl* list, int* err);
void list_destroy(ListControl* list, int* err);

ButtonControl* button_create(TextEngine* engine, const char* label, const ControlImage* image,
                             LONG left, LONG top, uint32_t id, const char* name, int32_t value,
                             int* err);
ButtonControl* button_create_w(TextEngine* engine, const WCHAR* label, const ControlImage* image,
                               LONG left, LONG top, uint32_t id, const char* name, int32_t value,
                               int* err);
int button_draw(TextEngine* engine, ButtonControl* button, int state, int* err);
void button_destroy(ButtonControl* button, int* err);

// Draws a list control by its kind (a drop-down open when its open byte is set).
void control_draw(TextEngine* engine, ListControl* list, int* err);
// Lays out the open list of a drop-down into list->frame (by the current clip)
// and returns it; popup code saves the area under it before drawing it open.
Rect list_open_frame(ListControl* list);
// Redraws one row of a list box or an open drop-down (after a selection change).
void control_draw_row(TextEngine* engine, ListControl* list, int row, int* err);

#endif
