// The options screen.
#include "ui/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gfx/controls.h"
#include "gfx/text.h"
#include "shell/app.h"
#include "shell/datafiles.h"
#include "ui/editor.h"

enum { FIELD_USER = 1, FIELD_PASSWORD = 2, FIELD_HOST = 4, FIELD_PORT = 5 };
enum { CHOICE_CANCEL = 0, CHOICE_OK = 1 };

static const Rect PANEL = {20, 20, 219, 299};

// The screen's controls exist from the first paint until OK or Cancel.
// Only this file writes them.
struct OptionsScreen {
    BYTE built;
    MemPool* pool;            // the main pool the controls were built in
    TextBox* fields;          // user, password, host, port
    ListControl* proxy_box;   // one check box
    ButtonControl* buttons;   // OK, Cancel
    ButtonControl* pressed;
    BYTE lit;
    ListControl* tracked_box;
    TextBox* tracked_field;
};
static OptionsScreen opt;

static void widen(WCHAR* out, const char* in, int size) {
    int n = 0;
    for (; in[n] && n < size - 1; n++) out[n] = (BYTE)in[n];
    out[n] = 0;
}

// A pool failure in any text operation takes the main pool, and the
// screen's controls with it: they are then never read again.
static int lost() { return opt.built && (!text_pool || opt.pool != text_pool); }

static void free_controls() {
    int err = 0;
    if (!text_engine || lost()) {  // a pool failure took the controls with it
        memset(&opt, 0, sizeof opt);
        return;
    }
    for (TextBox* t = opt.fields; t;) {
        TextBox* next = t->next;
        textbox_destroy(t, &err);
        t = next;
    }
    for (ButtonControl* b = opt.buttons; b;) {
        ButtonControl* next = b->next;
        button_destroy(b, &err);
        b = next;
    }
    if (opt.proxy_box) list_destroy(opt.proxy_box, &err);
    memset(&opt, 0, sizeof opt);
}

static TextBox* field(const WCHAR* text, uint32_t id, const char* name, LONG right, int password, int* err) {
    if (*err) return nullptr;
    TextBox* t = textbox_create(text_engine, 0, 0, 11, right, text, id, name, 1, password, 0, err);
    return *err ? nullptr : t;
}

// Builds the controls from the settings, linking each into the screen as it
// is made so that a failure part way frees what exists. 1 when all exist.
static int build() {
    int err = 0;
    WCHAR text[128];
    char port[16];
    snprintf(port, sizeof port, "%d", (int)app.proxy_entry.port);
    struct {
        const char* value;
        uint32_t id;
        const char* name;
        LONG right;
        int password;
    } const fields[4] = {{app.user_name, FIELD_USER, "User", 209, 0},
                         {app.password, FIELD_PASSWORD, "Password", 209, 1},
                         {app.proxy_entry.host, FIELD_HOST, "Host", 209, 0},
                         {port, FIELD_PORT, "Port", 25, 0}};
    TextBox** tail = &opt.fields;
    for (const auto& f : fields) {
        widen(text, f.value, 128);
        TextBox* t = field(text, f.id, f.name, f.right, f.password, &err);
        if (!t) return 0;
        t->next = nullptr;
        *tail = t;
        tail = &t->next;
    }
    ListControl* box = list_create(text_engine, "Proxy On/Off", LIST_CHECK_BOXES, 0, 0, 0, &err);
    if (err || !box) return 0;
    box->next = nullptr;
    opt.proxy_box = box;
    list_add_item(text_engine, box, nullptr, 0, 0, 0, app.proxy_entry.enabled ? 1 : 0, &err);
    if (err || box->item_count != 1) return 0;
    ButtonControl* ok = button_create(text_engine, "OK", nullptr, 0, 0, CHOICE_OK, "OK", 0, &err);
    if (err || !ok) return 0;
    ok->next = nullptr;
    opt.buttons = ok;
    ButtonControl* cancel = button_create(text_engine, "Cancel", nullptr, 0, 0, CHOICE_CANCEL, "Cancel", 0, &err);
    if (err || !cancel) return 0;
    cancel->next = nullptr;
    ok->next = cancel;
    return 1;
}

static void move_box(TextBox* t, LONG top, LONG left) {
    t->rect.top += top;
    t->rect.bottom += top;
    t->rect.left += left;
    t->rect.right += left;
}

// Places a button of the given width centred on x, at top 193, label centred.
static void place_button(ButtonControl* b, LONG width, LONG centre) {
    LONG height = b->rect.bottom - b->rect.top;
    LONG baseline = b->label_y - b->rect.top;
    b->rect.left = centre - width / 2;
    b->rect.right = b->rect.left + width;
    b->rect.top = 193;
    b->rect.bottom = 193 + height;
    b->label_x = b->rect.left + (width - b->label_width) / 2;
    b->label_y = 193 + baseline;
}

// Applies the placement offsets once, after building.
static void place() {
    if (opt.fields->rect.top != 0) return;
    TextBox* t = opt.fields;
    move_box(t, 70, 40);
    move_box(t->next, 100, 40);
    move_box(t->next->next, 168, 40);
    move_box(t->next->next->next, 168, 263);
    list_move(opt.proxy_box, 40, 139);
    ButtonControl* ok = opt.buttons;
    ButtonControl* cancel = ok->next;
    LONG w = cancel->rect.right - cancel->rect.left;
    LONG third = (PANEL.right - PANEL.left) / 3;
    place_button(ok, w, PANEL.left + third);
    place_button(cancel, w, PANEL.left + 2 * third);
}

static void label(const char* s, LONG x, LONG y) {
    int err = 0;
    text_draw_cstr(text_engine, s, TEXT_STYLE_PAGE, 11, x, y, &err);
}

// Draws the screen; 0 when its controls went with the pool on the way.
static int draw_screen() {
    Rect all = {0, 0, 239, 319};
    gfx_fill_rect(&all, COLOUR_SILVER);
    gfx_fill_rect(&PANEL, COLOUR_WHITE);
    gfx_bevel_frame(&PANEL);
    int err = 0;
    int w = text_measure_cstr(text_engine, app.options_title, TEXT_STYLE_PAGE, 11, &err);
    label(app.options_title, PANEL.left + (PANEL.right - PANEL.left - w) / 2, 35);
    if (!opt.built) return 1;
    if (lost()) return 0;
    TextBox* user = opt.fields;
    TextBox* pass = user->next;
    TextBox* host = pass->next;
    TextBox* port = host->next;
    label("User name:", 40, 65);
    if (lost()) return 0;
    textbox_draw(text_engine, user, &err);
    label("Password:", 40, 95);
    if (lost()) return 0;
    textbox_draw(text_engine, pass, &err);
    if (lost()) return 0;
    control_draw(text_engine, opt.proxy_box, &err);
    label("Use Proxy Server for HTTP & Security", 52, 148);
    label("Address of Proxy Server to use:", 40, 163);
    label("Port", PANEL.left + (279 * 7) / 8, 163);
    if (lost()) return 0;
    textbox_draw(text_engine, host, &err);
    label(":", 256, 178);
    if (lost()) return 0;
    textbox_draw(text_engine, port, &err);
    for (ButtonControl* b = opt.buttons; b; b = b->next) {
        button_draw(text_engine, b, BUTTON_NORMAL, &err);
        if (lost()) return 0;
    }
    return 1;
}

void options_paint() {
    int saved_zoom = zoom_mode;
    zoom_mode = 1;
    if (!opt.built) {
        if (text_engine && build()) {
            opt.built = 1;
            opt.pool = text_pool;
            place();
        } else {
            // Without its controls the screen could never be left: go back
            // to the page instead.
            free_controls();
            app.ui_mode = 0;
            app.redraw_pending = 1;
            zoom_mode = saved_zoom;
            return;
        }
    }
    memset(text_colour, 0, sizeof text_colour);
    gfx.frame = (char*)GXBeginDraw();
    int whole = 1;
    if (gfx.frame) {
        Rect clip = gfx.clip;
        gfx_set_clip(0, 0, 239, 319);
        whole = draw_screen();
        gfx.clip = clip;
        GXEndDraw();
    }
    if (!whole || lost()) {
        // The controls went with the pool while the screen was drawn: back
        // to the page, the settings as they were.
        free_controls();
        app.ui_mode = 0;
        app.redraw_pending = 1;
    }
    zoom_mode = saved_zoom;
}

// Narrows a field to 8 bits into out (at most size - 1 characters).
static void narrow(char* out, size_t size, const WCHAR* in) {
    size_t n = 0;
    for (; in && in[n] && n < size - 1; n++) out[n] = (char)(in[n] & 0xFF);
    out[n] = 0;
}

void options_store() {
    TextBox* user = opt.fields;
    if (!user) return;
    TextBox* pass = user->next;
    TextBox* host = pass->next;
    TextBox* port = host->next;
    narrow(app.user_name, sizeof app.user_name, user->lines[0]);
    narrow(app.password, sizeof app.password, pass->lines[0]);
    narrow(app.proxy_entry.host, sizeof app.proxy_entry.host, host->lines[0]);
    char digits[32];
    narrow(digits, sizeof digits, port->lines[0]);
    app.proxy_entry.port = (WORD)atoi(digits);
    app.proxy_entry.enabled = opt.proxy_box->item_count > 0 && opt.proxy_box->items[0]->selected ? 1 : 0;
    FILE* f = fopen(SETTINGS_FILE, "wb");
    if (!f) return;  // the new values stay for this run
    fprintf(f, "%s\n%s\n%s\n%s:%d:%s\n", app.customer_name, app.user_name, app.password, app.proxy_entry.host,
            (int)app.proxy_entry.port, app.proxy_entry.enabled ? "On" : "Off");
    fclose(f);
}

static void draw_button(ButtonControl* b, int state) {
    gfx.frame = (char*)GXBeginDraw();
    if (gfx.frame) {
        Rect clip = gfx.clip;
        gfx_set_clip(0, 0, 239, 319);
        int err = 0;
        button_draw(text_engine, b, state, &err);
        gfx.clip = clip;
        GXEndDraw();
    }
}

static void redraw(TextBox* t, ListControl* l) {
    gfx.frame = (char*)GXBeginDraw();
    if (gfx.frame) {
        Rect clip = gfx.clip;
        gfx_set_clip(0, 0, 239, 319);
        int err = 0;
        if (t) textbox_draw(text_engine, t, &err);
        if (l) control_draw(text_engine, l, &err);
        gfx.clip = clip;
        GXEndDraw();
    }
}

static void leave(int choice) {
    if (choice == CHOICE_OK) options_store();
    free_controls();
    app.ui_mode = 0;
    app.redraw_pending = 1;
}

void options_stylus(HWND hwnd, UINT message, int x, int y) {
    if (!opt.built) return;
    if (lost()) {
        leave(CHOICE_CANCEL);  // nothing of the screen is left to work
        return;
    }
    int saved_zoom = zoom_mode;
    zoom_mode = 1;
    Point p = {x, y};
    if (message == WM_LBUTTONDOWN) {
        opt.pressed = nullptr;
        opt.tracked_box = nullptr;
        opt.tracked_field = nullptr;
        for (ButtonControl* b = opt.buttons; b; b = b->next)
            if (rect_contains(&p, &b->rect)) {
                opt.pressed = b;
                opt.lit = 1;
                draw_button(b, BUTTON_PRESSED);
                if (lost()) leave(CHOICE_CANCEL);
                zoom_mode = saved_zoom;
                return;
            }
        if (!opt.pressed) {
            ListControl* box = opt.proxy_box;
            if (box->item_count > 0 && rect_contains(&p, &box->items[0]->rect)) {
                opt.tracked_box = box;
            } else {
                for (TextBox* t = opt.fields; t; t = t->next)
                    if (rect_contains(&p, &t->rect)) {
                        opt.tracked_field = t;
                        break;
                    }
            }
        }
    } else if (message == WM_MOUSEMOVE) {
        if (opt.pressed) {
            BYTE lit = rect_contains(&p, &opt.pressed->rect) ? 1 : 0;
            if (lit != opt.lit) draw_button(opt.pressed, lit ? BUTTON_PRESSED : BUTTON_NORMAL);
            opt.lit = lit;
            if (lost()) leave(CHOICE_CANCEL);
        }
    } else if (message == WM_LBUTTONUP) {
        if (opt.pressed) {
            ButtonControl* b = opt.pressed;
            opt.pressed = nullptr;
            int choice = (int)b->id;
            int inside = rect_contains(&p, &b->rect);
            draw_button(b, BUTTON_NORMAL);
            // Without the fields (gone with the pool) OK has nothing to store.
            if (lost()) leave(CHOICE_CANCEL);
            else if (inside) leave(choice);
            zoom_mode = saved_zoom;
            return;
        } else if (opt.tracked_box) {
            ListControl* box = opt.tracked_box;
            opt.tracked_box = nullptr;
            if (rect_contains(&p, &box->items[0]->rect)) {
                box->items[0]->selected = !box->items[0]->selected;
                redraw(nullptr, box);
                if (lost()) leave(CHOICE_CANCEL);
            }
        } else if (opt.tracked_field) {
            TextBox* t = opt.tracked_field;
            opt.tracked_field = nullptr;
            if (rect_contains(&p, &t->rect)) {
                int tapped = 0, err = 0;
                int r = text_entry(hwnd, text_engine, t->lines, t->capacities, -1, 1, nullptr, &tapped,
                                   t->password, &err);
                if (lost()) {
                    leave(CHOICE_CANCEL);  // the pool failed: the fields are gone
                } else if (r == EDIT_ACCEPTED) {
                    redraw(t, nullptr);  // the text is in the field, whatever the pool reported
                    if (lost()) leave(CHOICE_CANCEL);
                }
            }
        }
    }
    zoom_mode = saved_zoom;
}
