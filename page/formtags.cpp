// Form-control tags: the page's text controls, lists and buttons, built and
// refreshed from the page stream, drawn at the end of every pass, removed
// per frame or all at once.
#include "page/formtags.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gfx/pool.h"
#include "gfx/text.h"
#include "page/frames.h"
#include "page/page.h"
#include "page/parser.h"
#include "page/scan.h"
#include "shell/app.h"

TextBox* page_text_controls = nullptr;
ListControl* page_list_controls = nullptr;
ButtonControl* page_buttons = nullptr;
DWORD page_controls_generation = 0;

DWORD formtags_position_key(LONG x, LONG y) { return (DWORD)y | ((DWORD)x << 16); }

// The pool the records of the lists live in. A pool failure (here or in any
// other text operation) destroys the main pool with every record in it and
// sets text_pool to null: the lists then point only at freed memory, so they
// are forgotten, never freed or read.
static MemPool* lists_pool = nullptr;

static void check_lost(int err = 0) {
    (void)err;
    if (lists_pool && lists_pool != text_pool) {
        page_controls_generation++;
        page_text_controls = nullptr;
        page_list_controls = nullptr;
        page_buttons = nullptr;
        lists_pool = nullptr;
    }
}

// ---------------------------------------------------------------------------
// The three lists

template <typename T>
static void append(T** head, T* rec) {
    lists_pool = rec->pool;
    rec->next = nullptr;
    rec->prev = nullptr;
    if (!*head) {
        *head = rec;
        return;
    }
    T* last = *head;
    while (last->next) last = last->next;
    last->next = rec;
    rec->prev = last;
}

template <typename T>
static void unlink(T** head, T* rec) {
    if (rec->prev)
        rec->prev->next = rec->next;
    else
        *head = rec->next;
    if (rec->next) rec->next->prev = rec->prev;
    rec->next = rec->prev = nullptr;
}

static ListControl* find_list(const char* name) {
    for (ListControl* l = page_list_controls; l; l = l->next)
        if (l->name && strcmp(l->name, name) == 0) return l;
    return nullptr;
}

static ListControl* find_list_of_kind(const char* name, int kind) {
    for (ListControl* l = page_list_controls; l; l = l->next)
        if (l->kind == kind && l->name && strcmp(l->name, name) == 0) return l;
    return nullptr;
}

static ListItem* find_item(ListControl* list, int32_t value) {
    for (int i = 0; i < list->item_count; i++)
        if (list->items[i]->value == value) return list->items[i];
    return nullptr;
}

void page_controls_free() {
    check_lost();
    page_controls_generation++;
    int err = 0;
    while (page_text_controls && err == 0) {
        TextBox* t = page_text_controls;
        page_text_controls = t->next;
        textbox_destroy(t, &err);
    }
    while (page_list_controls && err == 0) {
        ListControl* l = page_list_controls;
        page_list_controls = l->next;
        list_destroy(l, &err);
    }
    while (page_buttons && err == 0) {
        ButtonControl* b = page_buttons;
        page_buttons = b->next;
        button_destroy(b, &err);
    }
    check_lost(err);
    page_text_controls = nullptr;
    page_list_controls = nullptr;
    page_buttons = nullptr;
}

void frame_controls_remove(DWORD f) {
    check_lost();
    page_controls_generation++;
    int err = 0;
    for (TextBox *t = page_text_controls, *next; t && err == 0; t = next) {
        next = t->next;
        if ((DWORD)t->value != f) continue;
        unlink(&page_text_controls, t);
        textbox_destroy(t, &err);
    }
    for (ListControl *l = page_list_controls, *next; l && err == 0; l = next) {
        next = l->next;
        if (l->id != f) continue;
        unlink(&page_list_controls, l);
        list_destroy(l, &err);
    }
    for (ButtonControl *b = page_buttons, *next; b && err == 0; b = next) {
        next = b->next;
        if ((DWORD)b->value != f) continue;
        unlink(&page_buttons, b);
        button_destroy(b, &err);
    }
    check_lost(err);
}

// Whether the lists still stand after a drawing: a failure inside it may
// have taken them (and the control just drawn) with the pool.
static int lists_stand() {
    check_lost();
    return lists_pool != nullptr;
}

void page_controls_draw() {
    check_lost();
    int err = 0;
    for (TextBox* t = page_text_controls; t && err == 0; t = lists_stand() ? t->next : nullptr) {
        frame_select_clip((DWORD)t->value);
        textbox_draw(text_engine, t, &err);
    }
    for (ListControl* l = page_list_controls; l && err == 0; l = lists_stand() ? l->next : nullptr) {
        frame_select_clip(l->id);
        control_draw(text_engine, l, &err);
    }
    for (ButtonControl* b = page_buttons; b && err == 0; b = lists_stand() ? b->next : nullptr) {
        frame_select_clip((DWORD)b->value);
        button_draw(text_engine, b, BUTTON_NORMAL, &err);
    }
    check_lost(err);
}

// ---------------------------------------------------------------------------
// Tags

// Numeric arguments of a tag: F x y w h [more], hexadecimal. x and y keep
// the interpreter's slots when they cannot be read.
struct Args {
    DWORD v[6];
    int count;
};

static Args read_args(int more) {
    Args a = {{0, 0, 0, 0, 0, 0}, 0};
    const char* p = parser.tag + 3;  // after "<XX"
    for (int i = 0; i < 5 + more; i++) {
        char* end;
        while (*p == ' ') p++;
        unsigned long v = strtoul(p, &end, 16);
        if (end == p) break;
        a.v[i] = (DWORD)v;
        a.count++;
        p = end;
        if (*p != ' ') break;
    }
    if (a.count >= 2) parser.x = (LONG)a.v[1];
    if (a.count >= 3) parser.y = (LONG)a.v[2];
    a.v[1] = (DWORD)parser.x;
    a.v[2] = (DWORD)parser.y;
    return a;
}

// The word after k words of the tag (a name argument read as by %s).
static void read_word(int k, char* out, int size) {
    int i = parser_skip_words(parser.tag, k);
    int n = 0;
    while (parser.tag[i] && parser.tag[i] != ' ' && parser.tag[i] != '>' && n < size - 1)
        out[n++] = parser.tag[i++];
    out[n] = 0;
}

// The counted text as 16-bit code units (free() it); null when there is no
// memory, and then the tag is skipped.
static WCHAR* counted_text() { return parser_text_utf16(); }

static int count_argument(int k) {
    int i = parser_skip_words(parser.tag, k);
    return (int)strtoul(parser.tag + i, nullptr, 16);
}

// BT: a push button numbered by the button serial. A button of the same name
// (or, failing that, the same serial) only moves; a new one is centred on
// the server's box.
static void tag_bt() {
    Args a = read_args(0);
    char name[PARSER_NAME_SIZE];
    read_word(6, name, sizeof name);
    if (count_argument(7) == 0 || parser.text_len == 0) return;
    WCHAR* label = counted_text();
    if (!label) return;
    DWORD id = parser.button_serial++;
    LONG left = page_scale((LONG)a.v[1]), top = page_scale((LONG)a.v[2]);
    LONG w = page_scale((LONG)a.v[3]), h = page_scale((LONG)a.v[4]);

    ButtonControl* found = nullptr;
    for (ButtonControl* b = page_buttons; b && !found; b = b->next)
        if (b->name && strcmp(b->name, name) == 0) found = b;
    for (ButtonControl* b = page_buttons; b && !found; b = b->next)
        if (b->id == id) found = b;
    if (found) {
        LONG dx = left - found->rect.left, dy = top - found->rect.top;
        found->rect.left += dx;
        found->rect.right += dx;
        found->rect.top += dy;
        found->rect.bottom += dy;
        found->label_x += dx;
        found->label_y += dy;
        free(label);
        return;
    }
    // A button already standing at that place (other than the last) stays.
    for (ButtonControl* b = page_buttons; b && b->next; b = b->next) {
        if (b->rect.top == top && b->rect.left == left) {
            free(label);
            return;
        }
    }
    int err = 0;
    ButtonControl* b = button_create_w(text_engine, label, nullptr, left, top, id, name,
                                       (int32_t)a.v[0], &err);
    free(label);
    check_lost(err);
    if (!b) return;
    append(&page_buttons, b);
    b->rect.right = left + w - 1;
    b->rect.bottom = top + h - 1;
    b->label_y = b->rect.bottom - b->size / 2;
    if (w > b->label_width) b->label_x = left + (w - b->label_width) / 2;
}

// CB and RB: one item of a group, keyed by its position.
static void group_item(const char* group, int kind) {
    Args a = read_args(1);
    LONG x = (LONG)a.v[1], y = (LONG)a.v[2];
    int32_t checked = (int32_t)a.v[5];
    int err = 0;
    ListControl* list = find_list(group);
    if (!list) {
        list = list_create(text_engine, group, kind, page_scale((LONG)a.v[4]), page_scale((LONG)a.v[3]),
                           a.v[0], &err);
        check_lost(err);
        if (!list) return;
        append(&page_list_controls, list);
    }
    int32_t key = (int32_t)formtags_position_key(x, y);
    LONG left = page_scale(x) - 1, top = page_scale(y) - 1;
    ListItem* it = find_item(list, key);
    if (it) {
        it->rect.right += left - it->rect.left;
        it->rect.bottom += top - it->rect.top;
        it->label_x += left - it->rect.left;
        it->label_y += top - it->rect.top;
        it->rect.left = left;
        it->rect.top = top;
        it->selected = checked;
        return;
    }
    list_add_item(text_engine, list, nullptr, key, left, top, checked, &err);
    check_lost(err);
}

static void tag_cb() {
    Args a = read_args(1);
    char group[32];
    snprintf(group, sizeof group, "CBs:%lx", (unsigned long)a.v[0]);
    group_item(group, LIST_CHECK_BOXES);
}

// DM and LM: a list whose items follow. A list met again is moved to the
// new place; a list box also loses its items, which the LI tags bring back.
static void tag_list(int kind) {
    Args a = read_args(0);
    LONG x = page_scale((LONG)a.v[1]), y = page_scale((LONG)a.v[2]);
    parser.item_counter = 0;
    if (kind == LIST_DROP_DOWN) {
        parser.item_x = x + 2;
        parser.item_y = y + 2;
    } else {
        parser.item_x = x + 1;
        parser.item_y = y;
    }
    int err = 0;
    ListControl* list = find_list(parser.name);
    if (!list) {
        LONG w = page_scale((LONG)a.v[3]);
        list = list_create(text_engine, parser.name, kind, page_scale((LONG)a.v[4]),
                           kind == LIST_DROP_DOWN ? w - 4 : w, a.v[0], &err);
        check_lost(err);
        if (list) append(&page_list_controls, list);
        return;
    }
    if (list->item_count == 0) return;
    list_move(list, parser.item_x - list->rect.left, parser.item_y - list->rect.top);
    if (kind == LIST_BOX && list->kind == LIST_BOX) {
        page_controls_generation++;  // its items go
        list_clear_items(list, &err);
        check_lost(err);
    }
}

// DI and LI: the next item of the list named, placed by the list after the
// first one.
static void tag_item(int kind) {
    unsigned selected = 0;
    page_scan(parser.tag + 3, "%x", &selected);
    char name[PARSER_NAME_SIZE];
    read_word(2, name, sizeof name);
    WCHAR* label = counted_text();
    if (!label) return;  // no memory: the counter does not advance
    ListControl* list = find_list_of_kind(name, kind);
    if (list) {
        ListItem* it = find_item(list, parser.item_counter);
        if (it) {
            it->selected = (int32_t)selected;
        } else {
            int err = 0;
            list_add_item(text_engine, list, label, parser.item_counter, parser.item_x, parser.item_y,
                          (int32_t)selected, &err);
            check_lost(err);
            list = find_list_of_kind(name, kind);
            if (err == 0 && list && selected && list->item_count > list->visible_rows)
                list->first_visible = list->item_count - list->visible_rows;
        }
    }
    free(label);
    parser.item_x = -1;
    parser.item_y = -1;
    parser.item_counter++;
}

// TF, PF and TA: a text control found by name gets the new place and text.
static void tag_text(int single_line, int password) {
    Args a = read_args(0);
    char name[PARSER_NAME_SIZE];
    read_word(6, name, sizeof name);
    int n = count_argument(7);
    WCHAR* text = nullptr;
    if (n > 0) {
        text = counted_text();
        if (!text) return;
    }
    LONG x = (LONG)a.v[1], y = (LONG)a.v[2];
    LONG sx = page_scale(x), sy = page_scale(y);
    Rect r = {sy + 1, sx + 2, sy + page_scale((LONG)a.v[4]) - 3, sx + page_scale((LONG)a.v[3]) - 3};
    int err = 0;
    TextBox* found = nullptr;
    for (TextBox* t = page_text_controls; t && !found; t = t->next)
        if (t->name && strcmp(t->name, name) == 0) found = t;
    if (found) {
        found->rect = r;
        textbox_set_text_guarded(text_engine, found, text, single_line, &err);
    } else {
        TextBox* t = textbox_create(text_engine, r.top, r.left, r.bottom, r.right, text,
                                    formtags_position_key(x, y), name, single_line, password,
                                    (int32_t)a.v[0], &err);
        if (t) append(&page_text_controls, t);
    }
    free(text);
    check_lost(err);
}

void formtags_execute(WORD code) {
    check_lost();
    switch (code) {
    case TAG_CODE('B', 'T'): tag_bt(); break;
    case TAG_CODE('C', 'B'): tag_cb(); break;
    case TAG_CODE('R', 'B'): group_item(parser.radio_group, LIST_RADIO_BUTTONS); break;
    case TAG_CODE('D', 'M'): tag_list(LIST_DROP_DOWN); break;
    case TAG_CODE('L', 'M'): tag_list(LIST_BOX); break;
    case TAG_CODE('D', 'I'): tag_item(LIST_DROP_DOWN); break;
    case TAG_CODE('L', 'I'): tag_item(LIST_BOX); break;
    case TAG_CODE('T', 'F'): tag_text(1, 0); break;
    case TAG_CODE('P', 'F'): tag_text(1, 1); break;
    case TAG_CODE('T', 'A'): tag_text(0, 0); break;
    default: break;
    }
}
