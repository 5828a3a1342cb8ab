// The window procedure: painting, focus, the busy timer, the stylus, and the
// hardware buttons turned into scroll, history and address-bar actions.
#include "shell/winproc.h"

#include "gfx/fb.h"
#include "gfx/text.h"
#include "net/events.h"
#include "page/page.h"
#include "ui/ui.h"

int32_t last_pen_x;
int32_t last_pen_y;
BYTE pen_down;

static const UINT BUSY_TIMER = 101;
static const WCHAR KEYS_PATH[] = u"SOFTWARE\\Microsoft\\Shell\\Keys";

static void set_history(const char* text) {
    snprintf(app.history_text, sizeof app.history_text, "%s", text);
    app.pending_history = 1;
}

static void set_scroll(const char* text) {
    snprintf(app.scroll_text, sizeof app.scroll_text, "%s", text);
    app.pending_scroll = 1;
}

// Starts the program mapped to button 0xC1 (the "HP," family).
static void launch_mapped_program() {
    for (int i = 0; i < app.button_count; i++) {
        ButtonEntry* e = &app.buttons[i];
        if (e->key != 0xC1) continue;
        GXSuspend();
        app.gx_suspended = 1;
        PROCESS_INFORMATION pi;
        // A failure to start is ignored; a started program runs on its own,
        // so its process and thread handles are not kept.
        if (CreateProcessW(e->program, e->args, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &pi)) {
            CloseHandle(pi.hProcess);
            CloseHandle(pi.hThread);
        }
        return;
    }
}

// Hardware buttons, by layout: address bar, forward, back and close; every
// other key goes to the direction test.
static void hardware_key(HWND hwnd, short code) {
    bool negative = app.display.cbyPitch < 0;
    const GXKeyList& k = app.keys;
    enum { NONE, BAR, FORWARD, BACK, CLOSE } action = NONE;
    if (negative) {
        if (code == 0xC1 || code == 0xC2) action = BAR;
        else if (code == 0xC3) action = FORWARD;
        else if (code == 0xC4) action = BACK;
        else if (code == 0xC5) action = CLOSE;
    } else if (app.oem_family_hp) {
        if (code == 0xC1) {
            launch_mapped_program();
            return;
        }
        if (code == 0xC2) action = BAR;
        else if (code == 0xC3) action = FORWARD;
        else if (code == 0xC4) action = BACK;
        else if (code == 0xCF || code == 0xC9 || code == 0xC5 || code == 0x1B) action = CLOSE;
    } else {
        if (code == k.vkC) action = BAR;
        else if (code == k.vkB) action = FORWARD;
        else if (code == k.vkA) action = BACK;
        else if (code == k.vkStart) action = CLOSE;
    }
    switch (action) {
    case BAR: address_bar(hwnd); return;
    case FORWARD: set_history("<FO>\r\n\r\n"); return;
    case BACK: set_history("<BA>\r\n\r\n"); return;
    case CLOSE:
        if (app.offline) SendMessageW(hwnd, WM_DESTROY, 0, 0);
        return;
    case NONE: break;
    }
    // Direction keys scroll the page; the layout decides which way.
    bool rotated = negative || app.oem_family_hp;
    if (code == k.vkUp) set_scroll(rotated ? "<PGR>\r\n\r\n" : "<PGL>\r\n\r\n");
    else if (code == k.vkDown) set_scroll(rotated ? "<PGL>\r\n\r\n" : "<PGR>\r\n\r\n");
    else if (code == k.vkLeft) set_scroll(rotated ? "<PGU>\r\n\r\n" : "<PGD>\r\n\r\n");
    else if (code == k.vkRight) set_scroll(rotated ? "<PGD>\r\n\r\n" : "<PGU>\r\n\r\n");
}

static void stylus(HWND hwnd, UINT message, LPARAM lp, LONG* x, LONG* y) {
    last_pen_x = (int16_t)LOWORD(lp);
    last_pen_y = (int16_t)HIWORD(lp);
    gfx_from_physical(last_pen_x, last_pen_y, x, y);
    (void)hwnd;
    (void)message;
}

LRESULT window_proc(HWND hwnd, UINT message, WPARAM wp, LPARAM lp) {
    LONG x, y;
    switch (message) {
    case WM_CREATE:
        SetTimer(hwnd, BUSY_TIMER, 10, nullptr);
        return 0;
    case WM_DESTROY:
        GXCloseInput();
        GXCloseDisplay();
        app_shutdown();
        ExitProcess(0);
        return 0;
    case WM_ACTIVATE:
    case WM_KEYDOWN:
        return 0;
    case WM_SETFOCUS:
        if (app.gx_suspended) {
            GXResume();
            app.redraw_pending = 1;
            app.gx_suspended = 0;
        }
        return 0;
    case WM_KILLFOCUS:
        GXSuspend();
        app.gx_suspended = 1;
        return 0;
    case WM_PAINT: {
        // The update region is always validated, so that a paint that draws
        // nothing is not asked for again and again.
        PAINTSTRUCT ps;
        BeginPaint(hwnd, &ps);
        if (GetForegroundWindow() == hwnd) {
            if (app.ui_mode == 0 && app.redraw_pending) {
                // A page presented while loading covers the busy indicator:
                // it is taken down first and drawn whole again over the page,
                // as the early draw does, instead of pulsing on without its box.
                BYTE busy = app.loading;
                if (busy) busy_indicator_remove();
                page_draw(0, 0);
                if (busy) busy_indicator_step();
            } else if (app.ui_mode == 1) options_paint();
        }
        EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_TIMER:
        if (app.loading) busy_indicator_step();
        return 0;
    case WM_COMMAND:
        if (LOWORD(wp) == 1) {
            SendMessageW(hwnd, WM_ACTIVATE, 0, 0);
            SendMessageW(hwnd, WM_CLOSE, 0, 0);
            return 0;
        }
        return DefWindowProcW(hwnd, message, wp, lp);
    case WM_LBUTTONDOWN:
        stylus(hwnd, message, lp, &x, &y);
        pen_down = 1;
        stylus_event(hwnd, message, x, y);
        return 0;
    case WM_MOUSEMOVE:
        if (!pen_down) return 0;  // a move without a pen down is ignored
        stylus(hwnd, message, lp, &x, &y);
        stylus_event(hwnd, message, x, y);
        return 0;
    case WM_LBUTTONUP:
        stylus(hwnd, message, lp, &x, &y);
        if (!stylus_event(hwnd, message, x, y)) events_tap(x, y);
        pen_down = 0;
        return 0;
    case WM_KEYUP:
        hardware_key(hwnd, (short)LOWORD(wp));
        return 0;
    default:
        return DefWindowProcW(hwnd, message, wp, lp);
    }
}

// Hexadecimal value of the first four characters of a key name.
static int key_code_of(const WCHAR* name) {
    int v = 0;
    for (int i = 0; i < 4; i++) {
        WCHAR c = name[i];
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else break;
        v = v * 16 + d;
    }
    return v & 0xFFFF;
}

static WCHAR* wdup(const WCHAR* s) {
    int n = wstr_len(s);
    WCHAR* d = (WCHAR*)malloc((size_t)(n + 1) * sizeof(WCHAR));
    if (d) memcpy(d, s, (size_t)(n + 1) * sizeof(WCHAR));
    return d;
}

ButtonEntry* load_button_table(int* count) {
    *count = 0;
    HKEY keys;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, KEYS_PATH, 0, KEY_READ, &keys) != ERROR_SUCCESS) return nullptr;
    DWORD subkeys = 0;
    if (RegQueryInfoKeyW(keys, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS) {
        RegCloseKey(keys);
        return nullptr;
    }
    ButtonEntry found[BUTTON_TABLE_MAX];
    int n = 0;
    bool failed = false;
    for (DWORD i = 0; n < BUTTON_TABLE_MAX; i++) {
        WCHAR name[64];
        DWORD name_len = 64;
        LONG r = RegEnumKeyExW(keys, i, name, &name_len, nullptr, nullptr, nullptr, nullptr);
        if (r == ERROR_NO_MORE_ITEMS) break;
        if (r != ERROR_SUCCESS) continue;
        WCHAR path[160];
        int plen = wstr_len(KEYS_PATH);
        if (plen + 1 + (int)name_len + 1 > 160) continue;
        memcpy(path, KEYS_PATH, (size_t)plen * sizeof(WCHAR));
        path[plen] = '\\';
        memcpy(path + plen + 1, name, (size_t)(name_len + 1) * sizeof(WCHAR));
        HKEY sub;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &sub) != ERROR_SUCCESS) continue;
        WCHAR value[101];
        DWORD size = 200;
        memset(value, 0, sizeof value);
        r = RegQueryValueExW(sub, nullptr, nullptr, nullptr, (BYTE*)value, &size);
        RegCloseKey(sub);
        if (r != ERROR_SUCCESS) continue;
        const WCHAR* v = value[0] == '"' ? value + 1 : value;
        // The shortcut file: the text up to and including ".lnk".
        WCHAR lnk[100];
        int end = -1;
        for (int j = 0; v[j] && v[j + 1] && v[j + 2] && v[j + 3]; j++)
            if (v[j] == '.' && v[j + 1] == 'l' && v[j + 2] == 'n' && v[j + 3] == 'k') {
                end = j + 4;
                break;
            }
        if (end < 0 || end >= 100) continue;
        memcpy(lnk, v, (size_t)end * sizeof(WCHAR));
        lnk[end] = 0;
        WCHAR target[201];
        if (!SHGetShortcutTarget(lnk, target, 200)) continue;
        // Program path, then one argument word.
        int p = 0;
        while (target[p] && target[p] != ' ' && target[p] != '\t') p++;
        ButtonEntry e;
        memset(&e, 0, sizeof e);
        int plen2 = p < 79 ? p : 79;
        memcpy(e.program, target, (size_t)plen2 * sizeof(WCHAR));
        e.program[plen2] = 0;
        while (target[p] == ' ' || target[p] == '\t') p++;
        int a = p;
        while (target[a] && target[a] != ' ' && target[a] != '\t') a++;
        if (a > p) {
            target[a] = 0;
            e.args = wdup(target + p);
            if (!e.args) failed = true;
        }
        e.key = (BYTE)(key_code_of(name) & 0xFF);
        found[n++] = e;
    }
    RegCloseKey(keys);
    ButtonEntry* table = failed || n == 0 ? nullptr : (ButtonEntry*)malloc((size_t)n * sizeof(ButtonEntry));
    for (int i = 0; i < n; i++) {
        if (table) {
            table[i] = found[i];
            table[i].args = found[i].args ? wdup(found[i].args) : nullptr;
            if (found[i].args && !table[i].args) failed = true;
        }
        free(found[i].args);
    }
    if (failed && table) {
        for (int i = 0; i < n; i++) free(table[i].args);
        free(table);
        return nullptr;
    }
    if (table) *count = n;
    return table;
}
