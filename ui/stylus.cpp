// The stylus on the page's controls and the pop-up lists of drop-downs.
#include "ui/stylus.h"

#include <cstdio>
#include <cstring>

#include "gfx/fb.h"
#include "page/formtags.h"
#include "page/frames.h"
#include "shell/app.h"
#include "ui/editor.h"
#include "ui/keypad.h"
#include "ui/options.h"
#include "ui/ui.h"

TapState tap_state;
ListTrack list_track;

static DWORD pressed_frame;  // frame of pressed_rect, for its clip
static Rect popup_saved_rect;  // screen area under the open pop-up

#define ROW_HEIGHT CONTROL_ROW_HEIGHT

LONG stylus_to_server(LONG v) { return zoom_mode ? (3 * v) / 2 : 2 * v; }

// ----------------------------------------------------------- visibility

// The point lies inside the clip that the control's frame would get.
static int visible(DWORD frame, const Point* p) {
    Rect saved = gfx.clip;
    frame_select_clip(frame);
    int v = rect_contains(p, &gfx.clip);
    gfx.clip = saved;
    return v;
}

// Opens a drawing bracket with the frame's clip; 0 when begin-draw failed.
static int begin(DWORD frame, Rect* saved) {
    *saved = gfx.clip;
    gfx.frame = (char*)GXBeginDraw();
    if (!gfx.frame) return 0;
    frame_select_clip(frame);
    return 1;
}

static void end(const Rect* saved) {
    gfx.clip = *saved;
    GXEndDraw();
}

static void draw_button_in(DWORD frame, ButtonControl* b, int state) {
    Rect c;
    if (begin(frame, &c)) {
        int err = 0;
        button_draw(text_engine, b, state, &err);
        end(&c);
    }
}

// Draws the pressed button or arrow in a state. A scroll bar's arrow lies
// outside its frame's clip (the bar narrows that clip), so it is drawn with
// the whole screen as the clip, as the bars themselves are.
static void draw_pressed(ButtonControl* b, int state) {
    if (!tap_state.pressed_is_scroll_arrow) {
        draw_button_in(pressed_frame, b, state);
        return;
    }
    Rect c = gfx.clip;
    gfx.frame = (char*)GXBeginDraw();
    if (!gfx.frame) return;
    gfx_set_clip(0, 0, 239, 319);
    int err = 0;
    button_draw(text_engine, b, state, &err);
    end(&c);
}

static void draw_list_in(ListControl* l) {
    Rect c;
    if (begin(l->id, &c)) {
        int err = 0;
        control_draw(text_engine, l, &err);
        end(&c);
    }
}

// ------------------------------------------------------------- hit tests

static ButtonControl* hit_button(const Point* p) {
    for (ButtonControl* b = page_buttons; b; b = b->next)
        if (rect_contains(p, &b->rect) && visible((DWORD)b->value, p)) return b;
    return nullptr;
}

static ButtonControl* hit_scroll_arrow(const Point* p, DWORD* frame) {
    for (ScrollBar* s = page_scrollbars; s; s = s->next) {
        if (s->first && rect_contains(p, &s->first->rect)) {
            *frame = s->frame;
            return s->first;
        }
        if (s->second && rect_contains(p, &s->second->rect)) {
            *frame = s->frame;
            return s->second;
        }
    }
    return nullptr;
}

static ListControl* hit_drop_down(const Point* p) {
    for (ListControl* l = page_list_controls; l; l = l->next) {
        if (l->kind != LIST_DROP_DOWN) continue;
        bool on = (l->arrow && rect_contains(p, &l->arrow->rect)) || rect_contains(p, &l->rect);
        if (on && visible(l->id, p)) return l;
    }
    return nullptr;
}

static TextBox* hit_text(const Point* p) {
    for (TextBox* t = page_text_controls; t; t = t->next)
        if (rect_contains(p, &t->rect) && visible((DWORD)t->value, p)) return t;
    return nullptr;
}

static ListControl* hit_choice(const Point* p, int* index) {
    for (ListControl* l = page_list_controls; l; l = l->next) {
        if ((l->kind != LIST_CHECK_BOXES && l->kind != LIST_RADIO_BUTTONS) || l->item_count < 1) continue;
        for (int i = 0; i < l->item_count; i++)
            if (l->items[i] && rect_contains(p, &l->items[i]->rect) && visible(l->id, p)) {
                *index = i;
                return l;
            }
    }
    return nullptr;
}

// A list's area: the remembered frame once drawn, else its Rect with the
// scroll buttons.
static Rect list_area(const ListControl* l) {
    if (l->frame.right > l->frame.left && l->frame.bottom > l->frame.top) return l->frame;
    Rect r = l->rect;
    if (l->scroll_first && l->scroll_first->rect.right > r.right) r.right = l->scroll_first->rect.right;
    if (l->scroll_second && l->scroll_second->rect.bottom > r.bottom) r.bottom = l->scroll_second->rect.bottom;
    return r;
}

static ListControl* hit_list_box(const Point* p) {
    for (ListControl* l = page_list_controls; l; l = l->next) {
        if (l->kind != LIST_BOX) continue;
        Rect a = list_area(l);
        if (rect_contains(p, &a) && visible(l->id, p)) return l;
    }
    return nullptr;
}

// ------------------------------------------------------------ the lists

static int has_arrows(const ListControl* l) { return l->scroll_first && l->scroll_second; }

// The rows: the list area less the band of the scroll buttons; an open
// drop-down's rows lie inside its outline.
static Rect rows_area(const ListControl* l) {
    Rect r;
    if (l->kind == LIST_DROP_DOWN) {
        r = l->frame;
        r.top += 1;
        r.left += 1;
        r.bottom -= 1;
        r.right -= 1;
        if (has_arrows(l)) r.right = l->scroll_first->rect.left - 1;
    } else {
        r = l->rect;
        if (has_arrows(l) && r.right >= l->scroll_first->rect.left) r.right = l->scroll_first->rect.left - 1;
    }
    return r;
}

static int shown_rows(const ListControl* l) {
    if (l->kind == LIST_DROP_DOWN) {
        Rect r = rows_area(l);
        int n = (r.bottom - r.top + 1) / ROW_HEIGHT;
        return n < 1 ? 1 : n;
    }
    return l->visible_rows < 1 ? 1 : l->visible_rows;
}

static void redraw_rows(ListControl* l) {
    Rect c;
    if (begin(l->id, &c)) {
        int err = 0;
        if (l->kind == LIST_DROP_DOWN) {
            // Drawn open again over the saved area.
            control_draw(text_engine, l, &err);
        } else {
            control_draw(text_engine, l, &err);
        }
        end(&c);
    }
}

static void highlight(ListControl* l, int row) {
    if (row < 0 || row >= l->item_count || row == l->selected) return;
    l->selected = row;
    redraw_rows(l);
}

static void scroll_rows(ListControl* l, int step) {
    int rows = shown_rows(l);
    if (step < 0 && l->first_visible > 0) {
        l->first_visible--;
        redraw_rows(l);
    } else if (step > 0 && l->first_visible < l->item_count - rows) {
        l->first_visible++;
        redraw_rows(l);
    }
}

static void draw_arrow(ListControl* l, ButtonControl* b, int lit) {
    if (b) draw_button_in(l->id, b, lit ? BUTTON_PRESSED : BUTTON_NORMAL);
}

// Writes "<LM name row >" or "<DM name row >" into the selection buffer,
// bounded to it: a name too long is cut so that the row number and the
// closing bracket always fit.
static void queue_selection(const ListControl* l, int row) {
    char* out = app.selection_text ? app.selection_text : app.event_text;
    const size_t size = sizeof app.event_text;
    const char* prefix = l->kind == LIST_BOX ? "<LM" : "<DM";
    char tail[24];
    snprintf(tail, sizeof tail, " %d >", row);
    const char* name = l->name ? l->name : "";
    size_t room = size - 1 - strlen(prefix) - 1 - strlen(tail);
    size_t n = strlen(name);
    if (n > room) n = room;
    snprintf(out, size, "%s %.*s%s", prefix, (int)n, name, tail);
    app.pending_selection = 1;
}

int list_popup_event(HWND, UINT message, int x, int y, ListControl* l, int) {
    if (!l) return 0;
    Point p = {x, y};
    Rect area = list_area(l);
    Rect rows = rows_area(l);
    ListTrack& t = list_track;
    if (message == WM_LBUTTONDOWN) {
        if (!rect_contains(&p, &area)) return 0;
        if (rect_contains(&p, &rows)) {
            t.row_tracking = 1;
            t.up_arrow_pressed = t.down_arrow_pressed = 0;
            int row = l->first_visible + (y - rows.top) / ROW_HEIGHT;
            if (!l->multiple) highlight(l, row);
            return 1;
        }
        if (has_arrows(l)) {
            if (rect_contains(&p, &l->scroll_first->rect)) {
                t.up_arrow_pressed = t.up_arrow_lit = 1;
                t.down_arrow_pressed = 0;
            } else if (rect_contains(&p, &l->scroll_second->rect)) {
                t.down_arrow_pressed = t.down_arrow_lit = 1;
                t.up_arrow_pressed = 0;
            }
            t.row_tracking = 0;
            if (t.up_arrow_pressed) {
                scroll_rows(l, -1);
                draw_arrow(l, l->scroll_first, 1);
            } else if (t.down_arrow_pressed) {
                scroll_rows(l, 1);
                draw_arrow(l, l->scroll_second, 1);
            }
        }
        return 1;
    }
    if (message == WM_MOUSEMOVE) {
        if (t.row_tracking) {
            if (rect_contains(&p, &rows)) {
                int index = (y - rows.top) / ROW_HEIGHT;
                if (index >= shown_rows(l)) return 1;
                if (!l->multiple) highlight(l, l->first_visible + index);
            } else if (x > rows.left && x < rows.right) {
                // Dragged past an edge: one row per move.
                if (y <= rows.top) {
                    scroll_rows(l, -1);
                    if (!l->multiple) highlight(l, l->first_visible);
                } else if (y >= rows.bottom) {
                    scroll_rows(l, 1);
                    int last = l->first_visible + shown_rows(l) - 1;
                    if (last >= l->item_count) last = l->item_count - 1;
                    if (!l->multiple) highlight(l, last);
                }
            }
        } else if (has_arrows(l)) {
            if (t.up_arrow_pressed) {
                BYTE lit = rect_contains(&p, &l->scroll_first->rect) ? 1 : 0;
                if (lit != t.up_arrow_lit) draw_arrow(l, l->scroll_first, lit);
                t.up_arrow_lit = lit;
            } else if (t.down_arrow_pressed) {
                BYTE lit = rect_contains(&p, &l->scroll_second->rect) ? 1 : 0;
                if (lit != t.down_arrow_lit) draw_arrow(l, l->scroll_second, lit);
                t.down_arrow_lit = lit;
            }
        }
        return 1;
    }
    // Release.
    if (t.row_tracking) {
        bool counts = l->kind == LIST_BOX || rect_contains(&p, &rows);
        int row = l->selected;
        if (counts && row >= 0 && row < l->item_count) {
            if (!l->multiple)
                for (int i = 0; i < l->item_count; i++) l->items[i]->selected = 0;
            l->items[row]->selected = 1;
            queue_selection(l, row);
        }
        t.row_tracking = 0;
        return 0;
    }
    if (has_arrows(l)) {
        if (t.up_arrow_pressed && rect_contains(&p, &l->scroll_first->rect)) draw_arrow(l, l->scroll_first, 0);
        if (t.down_arrow_pressed && rect_contains(&p, &l->scroll_second->rect)) draw_arrow(l, l->scroll_second, 0);
    }
    t.up_arrow_pressed = t.down_arrow_pressed = t.up_arrow_lit = t.down_arrow_lit = 0;
    return 1;
}

// --------------------------------------------------------- the pop-up

void popup_open(TextEngine* engine, ListControl* l, int downward) {
    // The open list is laid out by the drawing code, below or above the box
    // as asked and kept inside the clip; the saved area is that frame widened
    // by a pixel all round, so that closing puts back everything the open
    // list covered.
    l->open_direction = downward ? 1 : 0;
    for (int i = 0; i < l->item_count; i++)
        if (l->items[i]->selected) {
            l->selected = i;
            break;
        }
    Rect r = list_open_frame(l);
    free(l->saved);
    l->saved = nullptr;
    popup_saved_rect = {r.top - 1, r.left - 1, r.bottom + 1, r.right + 1};
    gfx_save_area(&l->saved, &popup_saved_rect);
    l->open = 1;
    int err = 0;
    control_draw(engine, l, &err);
}

void popup_close(TextEngine* engine, ListControl* l) {
    if (!l) return;
    gfx_restore_area(&l->saved, &popup_saved_rect);
    l->saved = nullptr;
    l->open = 0;
    int err = 0;
    control_draw(engine, l, &err);
}

void popup_close_if_open() {
    TapState& s = tap_state;
    if (s.popup_state != 1 || !s.list_control) return;
    Rect c;
    if (begin(s.list_control->id, &c)) {
        popup_close(text_engine, s.list_control);
        end(&c);
    } else {
        free(s.list_control->saved);
        s.list_control->saved = nullptr;
        s.list_control->open = 0;
    }
    s.list_control = nullptr;
    s.popup_state = 0;
}

static void close_popup_drawn(ListControl* l) {
    Rect c;
    if (begin(l->id, &c)) {
        popup_close(text_engine, l);
        end(&c);
    } else {
        free(l->saved);
        l->saved = nullptr;
        l->open = 0;
    }
}

// ------------------------------------------------------ the text message

int stylus_text_message(const TextBox* box) {
    int n = box->line_count;
    while (n > 0 && (!box->lines[n - 1] || !box->lines[n - 1][0])) n--;
    long units = 0, count = 0;
    for (int i = 0; i < n; i++) {
        int len = box->lines[i] ? wstr_len(box->lines[i]) : 0;
        count += len + 1;
        units += len + (i + 1 < n ? 1 : 0);
    }
    WCHAR* joined = (WCHAR*)malloc((size_t)(units + 1) * sizeof(WCHAR));
    if (!joined) return 0;
    long k = 0;
    for (int i = 0; i < n; i++) {
        int len = box->lines[i] ? wstr_len(box->lines[i]) : 0;
        if (len) memcpy(joined + k, box->lines[i], (size_t)len * sizeof(WCHAR));
        k += len;
        if (i + 1 < n) joined[k++] = 10;
    }
    joined[k] = 0;
    int utf8_size = (int)(units * 3 + 1);
    char* utf8 = (char*)calloc((size_t)utf8_size, 1);
    if (!utf8) {
        free(joined);
        return 0;
    }
    wstr_to_utf8(utf8, joined, utf8_size);
    free(joined);
    int bytes = (int)strlen(utf8);
    char kind = box->line_count >= 2 ? 'A' : 'F';
    const char* name = box->name ? box->name : "";
    int head = snprintf(nullptr, 0, "<T%c %s %ld %d  >", kind, name, count, bytes);
    if (head < 0) {
        free(utf8);
        return 0;
    }
    free(app.dynamic_text);
    app.dynamic_text = nullptr;
    size_t size = (size_t)head + (size_t)bytes + 16;
    char* msg = (char*)malloc(size);
    if (!msg) {
        free(utf8);
        return 0;
    }
    snprintf(msg, size, "<T%c %s %ld %d %s >", kind, name, count, bytes, utf8);
    free(utf8);
    app.dynamic_text = msg;
    app.pending_dynamic = 1;
    return 1;
}

// -------------------------------------------------------- the handler

static void queue_tap(const char* prefix, LONG x, LONG y) {
    snprintf(app.event_text, sizeof app.event_text, "%s %ld %ld>\r\n\r\n", prefix, (long)x, (long)y);
    app.pending_event = 1;
}

static int tracked() {
    const TapState& s = tap_state;
    return s.pressed_button || s.list_control || s.text_control || s.choice_control || s.list_box;
}

// --------------------------------------------------- stale references

// The generation of the page's controls when the tracked ones were picked.
static DWORD tracked_generation;

// The interpreter rebuilds the page's controls on every full pass (and a
// frame's on sw, a list box's items on LM); a rebuild between a down and its
// release, or while a list keeps the stylus, leaves the tracked records
// freed, and a new record may stand at a freed one's address. So whatever is
// tracked across a rebuild is dropped, never compared or touched.
static void forget_stale() {
    scrollbars_check_pool();
    if (tracked_generation == page_controls_generation) return;
    tracked_generation = page_controls_generation;
    TapState& s = tap_state;
    s.pressed_button = nullptr;
    s.pressed_rect = nullptr;
    s.pressed_is_scroll_arrow = 0;
    s.pressed_lit = 0;
    s.text_control = nullptr;
    s.choice_control = nullptr;
    s.chosen_rect = nullptr;
    s.list_control = nullptr;
    s.list_box = nullptr;
    s.drop_down_pending = 0;
    if (s.popup_state == 1) s.popup_state = 0;  // a -1 still swallows its release
    memset(&list_track, 0, sizeof list_track);
}

static int down(HWND hwnd, const Point* p) {
    TapState& s = tap_state;
    if (s.popup_state == 1) {
        bool handled = true;
        if (s.list_box && !s.list_control) {
            ListControl* again = hit_list_box(p);
            if (again != s.list_box) {
                s.popup_state = 0;
                handled = false;
            }
        }
        if (handled) {
            ListControl* l = s.list_control ? s.list_control : s.list_box;
            s.popup_state = list_popup_event(hwnd, WM_LBUTTONDOWN, p->x, p->y, l, s.popup_downward);
            if (s.popup_state == 0 && s.list_control) {
                close_popup_drawn(s.list_control);
                s.popup_state = -1;
            }
            return 1;
        }
    }
    s.pressed_button = nullptr;
    s.text_control = nullptr;
    s.list_control = nullptr;
    s.choice_control = nullptr;
    s.list_box = nullptr;
    s.drop_down_pending = 0;
    DWORD frame = 0;
    int index = 0;
    if (ButtonControl* b = hit_button(p)) {
        s.pressed_button = s.pressed_rect = b;
        pressed_frame = (DWORD)b->value;
    } else if (ButtonControl* a = hit_scroll_arrow(p, &frame)) {
        s.pressed_button = s.pressed_rect = a;
        s.pressed_is_scroll_arrow = 1;
        pressed_frame = frame;
    } else if (ListControl* d = hit_drop_down(p)) {
        s.list_control = d;
        s.pressed_rect = d->arrow;
        s.drop_down_pending = 1;
        pressed_frame = d->id;
    } else if (TextBox* t = hit_text(p)) {
        s.text_control = t;
    } else if (ListControl* c = hit_choice(p, &index)) {
        s.choice_control = c;
        s.chosen_item = index;
        s.chosen_rect = &c->items[index]->rect;
    } else if (ListControl* lb = hit_list_box(p)) {
        s.list_box = lb;
        s.popup_state = 1;
        s.popup_state = list_popup_event(hwnd, WM_LBUTTONDOWN, p->x, p->y, lb, s.popup_downward);
        return 1;
    }
    if (s.pressed_rect) {
        s.pressed_lit = 1;
        draw_pressed(s.pressed_rect, BUTTON_PRESSED);
    }
    return tracked();
}

static int move(HWND hwnd, const Point* p) {
    TapState& s = tap_state;
    if (s.popup_state == 1) {
        ListControl* l = s.list_control ? s.list_control : s.list_box;
        s.popup_state = list_popup_event(hwnd, WM_MOUSEMOVE, p->x, p->y, l, s.popup_downward);
        if (s.popup_state == 0 && s.list_control) {
            close_popup_drawn(s.list_control);
            s.list_control = nullptr;
        }
        return 1;
    }
    if (s.pressed_rect) {
        BYTE lit = rect_contains(p, &s.pressed_rect->rect) ||
                   (s.list_control && rect_contains(p, &s.list_control->rect));
        if (lit != s.pressed_lit) draw_pressed(s.pressed_rect, lit ? BUTTON_PRESSED : BUTTON_NORMAL);
        s.pressed_lit = lit;
    }
    return tracked();
}

static void toggle_choice(ListControl* c, int index) {
    ListItem* item = c->items[index];
    if (c->kind == LIST_RADIO_BUTTONS) {
        if (item->selected) return;
        for (int i = 0; i < c->item_count; i++) c->items[i]->selected = 0;
        item->selected = 1;
    } else {
        item->selected = !item->selected;
    }
    draw_list_in(c);
}

static int up(HWND hwnd, const Point* p) {
    TapState& s = tap_state;
    int result = 0;
    if (s.popup_state == 1) {
        ListControl* l = s.list_control ? s.list_control : s.list_box;
        s.popup_state = list_popup_event(hwnd, WM_LBUTTONUP, p->x, p->y, l, s.popup_downward);
        if (s.popup_state == 0 && s.list_control) {
            close_popup_drawn(s.list_control);
            s.list_control = nullptr;
        }
        return 1;
    }
    if (s.pressed_button) {
        s.pressed_button = nullptr;
        result = 1;
    } else if (s.popup_state == -1) {
        s.list_control = nullptr;
        s.popup_state = 0;
        return 1;
    } else if (s.text_control && rect_contains(p, &s.text_control->rect)) {
        TextBox* t = s.text_control;
        TextEngine* engine = text_engine;
        int tapped = 0, err = 0;
        int r = text_entry(hwnd, engine, t->lines, t->capacities, -1, t->line_count, nullptr, &tapped,
                           t->password, &err);
        // An accepted text is in the control: it is sent and shown, also when
        // the pool reported an error the editor could live with (no room for
        // the text area's arrows). Only when the pool itself was lost is the
        // control gone with it. The message is made first: drawing the
        // control may lose the pool, and the control with it.
        if (r == EDIT_ACCEPTED && ui_pool_alive(engine)) {
            stylus_text_message(t);
            Rect c;
            if (begin((DWORD)t->value, &c)) {
                int e = 0;
                textbox_draw(text_engine, t, &e);
                end(&c);
            }
        }
        s.text_control = nullptr;
        result = 1;
    } else if (s.choice_control) {
        if (s.chosen_rect && rect_contains(p, s.chosen_rect)) {
            ListControl* c = s.choice_control;
            const Rect r = *s.chosen_rect;
            toggle_choice(c, s.chosen_item);
            queue_tap("<MC", stylus_to_server(r.left + 1) + 1, stylus_to_server(r.top + 1) + 1);
        }
        s.choice_control = nullptr;
        return 1;
    }
    // Finish a pressed button or drop-down.
    s.pressed_lit = 0;
    if (s.pressed_rect) {
        ButtonControl* b = s.pressed_rect;
        draw_pressed(b, BUTTON_NORMAL);
        if (s.drop_down_pending && s.list_control &&
            (rect_contains(p, &b->rect) || rect_contains(p, &s.list_control->rect))) {
            ListControl* l = s.list_control;
            s.popup_downward = b->rect.top < 119 ? 1 : 0;
            s.drop_down_pending = 0;
            s.popup_state = 1;
            Rect c;
            if (begin(l->id, &c)) {
                popup_open(text_engine, l, s.popup_downward);
                end(&c);
            }
            result = 1;
        } else if (rect_contains(p, &b->rect) && !s.drop_down_pending) {
            queue_tap(s.pressed_is_scroll_arrow ? "<SC" : "<MC", stylus_to_server(b->rect.left + 2),
                      stylus_to_server(b->rect.top + 2));
        }
        s.pressed_rect = nullptr;
        s.pressed_is_scroll_arrow = 0;
    }
    s.drop_down_pending = 0;
    return result || tracked();
}

int stylus_event(HWND hwnd, UINT message, int x, int y) {
    if (app.ui_mode == 1) {
        options_stylus(hwnd, message, x, y);
        return 1;
    }
    if (app.ui_mode != 0) return 0;
    Point p = {x, y};
    forget_stale();
    switch (message) {
    case WM_LBUTTONDOWN: return down(hwnd, &p);
    case WM_MOUSEMOVE: return move(hwnd, &p);
    case WM_LBUTTONUP: return up(hwnd, &p);
    default: return 0;
    }
}
