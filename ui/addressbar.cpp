// The address bar: the editor with the toolbar and a one-line address box,
// the history list behind the arrow at its right end, and the navigation
// requests made from the way the keypad was closed.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "page/image.h"
#include "page/lists.h"
#include "shell/app.h"
#include "shell/datafiles.h"
#include "ui/editor.h"
#include "ui/keypad.h"
#include "ui/stylus.h"
#include "ui/ui.h"

#define ADDRESS_UNITS 4096

// The text being edited (at most 4096 characters and the terminator).
static WCHAR address_buffer[ADDRESS_UNITS + 1];
static const uint16_t ADDRESS_CAPACITY = ADDRESS_UNITS + 1;

static char* copy_text(const char* s) {
    size_t n = strlen(s);
    char* c = (char*)malloc(n + 1);
    if (c) memcpy(c, s, n + 1);
    return c;
}

static void draw_arrow(ButtonControl* arrow, int state) {
    gfx.frame = (char*)GXBeginDraw();
    if (gfx.frame) {
        Rect clip = gfx.clip;
        gfx_set_clip(0, 0, 239, 319);
        int err = 0;
        button_draw(text_engine, arrow, state, &err);
        gfx.clip = clip;
        GXEndDraw();
    }
}

static void stylus_point(const MSG* msg, Point* p) {
    gfx_from_physical((int16_t)LOWORD(msg->lParam), (int16_t)HIWORD(msg->lParam), &p->x, &p->y);
}

// Moves history entry k to the front, keeping the order of the others.
static void history_to_front(int k) {
    if (k <= 0 || k >= HISTORY_SIZE || !app.history[k]) return;
    char* picked = app.history[k];
    memmove(&app.history[1], &app.history[0], (size_t)k * sizeof app.history[0]);
    app.history[0] = picked;
}

static int history_count() {
    int n = 0;
    while (n < HISTORY_SIZE && app.history[n]) n++;
    return n;
}

// The history list "GotoItems" under the arrow, worked until a release picks
// a row or a down outside closes it.
static void history_list(HWND hwnd, ButtonControl* arrow) {
    int n = history_count();
    if (n == 0) return;
    int err = 0;
    // One row of 12 pixels per entry, so that all of them show without
    // scroll buttons; the right edge one pixel left of the arrow.
    LONG left = 2, right = arrow->rect.left - 1;
    ListControl* l = list_create(text_engine, "GotoItems", LIST_BOX, n * CONTROL_ROW_HEIGHT, right - left, 0, &err);
    if (!l || err) return;
    l->style = TEXT_STYLE_FIELD;
    l->size = 11;
    for (int i = 0; i < n && !err; i++)
        list_add_item_cstr(text_engine, l, app.history[i], i, left, arrow->rect.top, i == 0, &err);
    if (err) {
        if (text_engine) list_destroy(l, &err);  // else the pool went with it
        return;
    }
    uint16_t* saved = nullptr;
    Rect area = {l->rect.top - 2, l->rect.left - 2, l->rect.bottom + 2, l->rect.right + 2};
    gfx.frame = (char*)GXBeginDraw();
    if (gfx.frame) {
        Rect clip = gfx.clip;
        gfx_set_clip(0, 0, 239, 319);
        gfx_save_area(&saved, &area);
        control_draw(text_engine, l, &err);
        gfx.clip = clip;
        GXEndDraw();
    }
    app.pending_selection = 0;
    for (;;) {
        MSG msg;
        ui_wait_message(hwnd, &msg);
        if (msg.message != WM_LBUTTONDOWN && msg.message != WM_MOUSEMOVE && msg.message != WM_LBUTTONUP) continue;
        Point p;
        stylus_point(&msg, &p);
        if (!list_popup_event(hwnd, msg.message, p.x, p.y, l, 1)) break;
    }
    gfx.frame = (char*)GXBeginDraw();
    if (gfx.frame) {
        gfx_restore_area(&saved, &area);
        GXEndDraw();
    } else {
        free(saved);
    }
    if (app.pending_selection) history_to_front(l->selected);
    app.pending_selection = 0;
    if (text_engine) list_destroy(l, &err);
}

// After a tap on the arrow: track it until the release; 1 when the release
// was on it (then the history list was shown).
static void arrow_tapped(HWND hwnd, ButtonControl* arrow) {
    draw_arrow(arrow, BUTTON_PRESSED);
    BYTE lit = 1;
    for (;;) {
        MSG msg;
        ui_wait_message(hwnd, &msg);
        if (msg.message != WM_LBUTTONDOWN && msg.message != WM_MOUSEMOVE && msg.message != WM_LBUTTONUP) continue;
        Point p;
        stylus_point(&msg, &p);
        BYTE on = rect_contains(&p, &arrow->rect) ? 1 : 0;
        if (msg.message == WM_LBUTTONUP) {
            if (lit) draw_arrow(arrow, BUTTON_NORMAL);
            if (on) history_list(hwnd, arrow);
            return;
        }
        if (on != lit) draw_arrow(arrow, on ? BUTTON_PRESSED : BUTTON_NORMAL);
        lit = on;
    }
}

// Offline: the typed name is a page file of the device. It replaces the
// first history entry, and the page's lists are dropped before it is drawn.
static void open_local_page(const char* name) {
    char* copy = copy_text(name);
    if (!copy) return;
    free(app.history[0]);
    app.history[0] = copy;
    app.page_file_path = app.history[0];
    app.redraw_pending = 1;
    memset(&tap_state, 0, sizeof tap_state);
    page_lists_free();
    page_images_release();
}

void address_bar(HWND hwnd) {
    if (app.ui_mode != 0) return;
    TextEngine* engine = text_engine;
    int err = 0;
    ButtonControl* arrow = button_create(text_engine, nullptr, &arrow_drop_11, 0, 0, 0, nullptr, 0, &err);
    if (err) arrow = nullptr;
    int result;
    for (;;) {
        free(app.typed_url);
        app.typed_url = copy_text(app.history[0] ? app.history[0] : "");
        int n = 0;
        if (app.typed_url)
            for (; n < ADDRESS_UNITS && app.typed_url[n]; n++) address_buffer[n] = (BYTE)app.typed_url[n];
        address_buffer[n] = 0;
        WCHAR* lines[1] = {address_buffer};
        int tapped = 0;
        result = text_entry(hwnd, text_engine, lines, &ADDRESS_CAPACITY, -1, 1, arrow, &tapped, 0, &err);
        if (!ui_pool_alive(engine)) {
            arrow = nullptr;  // gone with the pool
            break;
        }
        if (!tapped || !arrow) break;
        arrow_tapped(hwnd, arrow);
        if (!ui_pool_alive(engine)) {
            arrow = nullptr;
            break;
        }
    }
    free(app.typed_url);
    app.typed_url = nullptr;
    if (result == EDIT_ACCEPTED) {
        int n = 0;
        while (address_buffer[n]) n++;
        app.typed_url = (char*)malloc((size_t)n + 1);
        if (app.typed_url) {
            for (int i = 0; i < n; i++) app.typed_url[i] = (char)(address_buffer[i] & 0xFF);
            app.typed_url[n] = 0;
        }
    }
    bool keep = false;
    switch (result) {
    case EDIT_ACCEPTED:
        if (app.typed_url && app.typed_url[0]) {
            if (app.offline) open_local_page(app.typed_url);
            app.pending_url = 1;
            keep = true;
        }
        break;
    case EDIT_BACK:
        snprintf(app.history_text, sizeof app.history_text, "<BA>\r\n\r\n");
        app.pending_history = 1;
        break;
    case EDIT_STOP: app.pending_stop = 1; break;
    case EDIT_FORWARD:
        snprintf(app.history_text, sizeof app.history_text, "<FO>\r\n\r\n");
        app.pending_history = 1;
        break;
    case EDIT_RELOAD: app.pending_reload = 1; break;
    case EDIT_ZOOM:
        if (zoom_mode == 0) {
            snprintf(app.zoom_text, sizeof app.zoom_text, "<ZU>\r\n\r\n");
            zoom_mode = 1;
        } else {
            snprintf(app.zoom_text, sizeof app.zoom_text, "<ZD>\r\n\r\n");
            zoom_mode = 0;
        }
        app.pending_zoom = 1;
        break;
    case EDIT_OPTIONS:
        app.ui_mode = 1;
        app.redraw_pending = 1;
        break;
    default: break;
    }
    if (!keep) {
        free(app.typed_url);
        app.typed_url = nullptr;
    }
    if (arrow && ui_pool_alive(engine)) button_destroy(arrow, &err);
    if (result == EDIT_EXIT) SendMessageW(hwnd, WM_DESTROY, 0, 0);
}
