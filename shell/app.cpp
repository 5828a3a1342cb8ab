// Entry, start-up, the main loop with its pending events, and shut-down.
#include "shell/app.h"

#include "gfx/fb.h"
#include "gfx/text.h"
#include "net/balancer.h"
#include "net/framing.h"
#include "net/netloop.h"
#include "page/lists.h"
#include "page/page.h"
#include "shell/datafiles.h"
#include "shell/winproc.h"
#include "ui/ui.h"
#include "winsock.h"

AppState app;
int zoom_mode;

const char GREETING_HP[] = "CORVANTA HP\r\n";
const char GREETING_OTHER[] = "CORVANTA PPC\r\n";
const char DEFAULT_BALANCER_HOST[] = "balancer.corvanta.example";

static const WCHAR WINDOW_NAME[] = u"Corvanta";
static const char PAGE_FILE[] = "/cv/kivo.txt";
static const char SPLASH_FILE[] = "/cv/cvsplash.txt";
static const char VERSION_FILE[] = "/cv/cvversion.txt";

// The program's accelerator table (resource 3): Ctrl+Q closes the program,
// Ctrl+A is reserved and does nothing.
static const ACCEL app_accelerators[] = {
    {FVIRTKEY | FCONTROL, 'Q', 1},
    {FVIRTKEY | FCONTROL, 'A', 40003},
};
const DeviceAcceleratorResource device_accelerator_resources[] = {
    {3, app_accelerators, 2},
    {0, nullptr, 0},
};

void app_state_init() {
    for (char*& h : app.history) free(h);
    free(app.typed_url);
    free(app.dynamic_text);
    memset(&app, 0, sizeof app);
    app.server_entry.port = 80;
    app.server_entry.enabled = 1;
    snprintf(app.balancer_entry.host, sizeof app.balancer_entry.host, "%s", DEFAULT_BALANCER_HOST);
    app.balancer_entry.port = 80;
    app.balancer_entry.enabled = 1;
    strcpy(app.user_name, "guest");
    strcpy(app.password, "anonymous");
    app.version_major = 1;
    strcpy(app.version_minor, "0");
    app.greeting = GREETING_OTHER;
    app.page_file_path = PAGE_FILE;
    app.selection_text = app.event_text;
    zoom_mode = 0;
}

// Reads the version file: the leading integer, and the digits after the
// first ".". Without the file the version stays 1.0.
void app_read_version() {
    char text[1024] = "0.0\n";
    FILE* f = fopen(VERSION_FILE, "rb");
    if (f) {
        size_t n = fread(text, 1, sizeof text - 1, f);
        text[n] = 0;
        fclose(f);
        app.version_major = (int32_t)strtol(text, nullptr, 10);
    }
    const char* dot = strchr(text, '.');
    if (dot) {
        size_t i = 0;
        for (dot++; i + 1 < sizeof app.version_minor && dot[i] >= '0' && dot[i] <= '9'; i++)
            app.version_minor[i] = dot[i];
        app.version_minor[i] = 0;
    }
    snprintf(app.options_title, sizeof app.options_title, "Corvanta %d.%s Options", (int)app.version_major,
             app.version_minor);
}

HWND app_init(HINSTANCE inst, int show) {
    app.version_major = 1;
    strcpy(app.version_minor, "0");
    app.instance = inst;

    // A second copy brings the first one forward and ends.
    HWND other = FindWindowW(WINDOW_NAME, WINDOW_NAME);
    if (other) {
        SetForegroundWindow((HWND)((uintptr_t)other | 0x01));
        return nullptr;
    }

    gfx_init();
    WNDCLASSW wc;
    memset(&wc, 0, sizeof wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = window_proc;
    wc.hInstance = inst;
    wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    wc.lpszClassName = WINDOW_NAME;
    if (!RegisterClassW(&wc)) return nullptr;
    HWND hwnd = CreateWindowW(WINDOW_NAME, WINDOW_NAME, WS_VISIBLE, 0, 0, GetSystemMetrics(SM_CXSCREEN),
                              GetSystemMetrics(SM_CYSCREEN), nullptr, nullptr, inst, nullptr);
    if (!hwnd) return nullptr;
    app.window = hwnd;

    if (!GXOpenDisplay(hwnd, GX_FULLSCREEN)) return nullptr;

    WCHAR oem[256];
    memset(oem, 0, sizeof oem);
    SystemParametersInfoW(SPI_GETOEMINFO, sizeof oem, oem, 0);
    app.oem_family_hp = oem[0] == 'H' && oem[1] == 'P' && oem[2] == ',';
    app.greeting = app.oem_family_hp ? GREETING_HP : GREETING_OTHER;

    GXOpenInput();
    app.display = GXGetDisplayProperties();
    gfx.props = app.display;
    if (app.display.cBPP < 16) {
        GXCloseInput();
        GXCloseDisplay();
        return nullptr;
    }
    app.keys = GXGetDefaultKeys(GX_LANDSCAPEKEYS);

    WSADATA wsa;
    int err = WSAStartup(MAKEWORD(1, 1), &wsa);
    if (err != 0) {
        fprintf(stderr, "\nWSAStartup(): %d\n", err);
        WSACleanup();
        return nullptr;
    }

    history_read();
    settings_read();
    home_read();

    // Text and drawing resources; a failing step skips the rest and the
    // program goes on without text.
    if (text_startup(app.oem_family_hp) == 0) {
        if (gfx_offscreen_create(&app.display) == 0) {
            gfx.off_available = 1;
            text_load_font_cache();
        }
    }
    page_lists_init();

    ShowWindow(hwnd, show);

    // Splash page for one second.
    app.page_file_path = SPLASH_FILE;
    app.redraw_pending = 1;
    page_draw(0, 0);
    Sleep(1000);
    app.page_file_path = PAGE_FILE;
    app.redraw_pending = 0;

    app_read_version();
    balancer_lookup(&app.server_entry);

    if (app.oem_family_hp) app.buttons = load_button_table(&app.button_count);
    return hwnd;
}

int app_main(HINSTANCE inst, HINSTANCE, LPWSTR, int show) {
    app_state_init();
    HWND hwnd = app_init(inst, show);
    if (!hwnd) return 0;

    static char login[512];
    int login_len = login_build(login, sizeof login);

    const char* host;
    WORD port;
    int tunnel;
    if (app.proxy_entry.enabled) {
        host = app.proxy_entry.host;
        port = app.proxy_entry.port;
        tunnel = 1;
        tunnel_in_use = 1;
        tunnel_to_443 = 1;
    } else {
        host = app.server_entry.host;
        port = app.server_entry.port;
        tunnel = tunnel_in_use;
    }
    main_loop(hwnd, inst, host, port, tunnel, login, login_len);
    return 0;
}

// One window-message step: redraw when asked, then at most one message in
// [lo, hi], dispatched unless the accelerators take it.
static void message_step(HWND hwnd, HACCEL accel, UINT lo, UINT hi) {
    if (app.redraw_pending) {
        RECT r = {0, 0, 239, 319};
        InvalidateRect(hwnd, &r, FALSE);
        UpdateWindow(hwnd);
        app.redraw_pending = 0;
    }
    MSG msg;
    if (PeekMessageW(&msg, nullptr, lo, hi, PM_REMOVE)) {
        if (!TranslateAcceleratorW(hwnd, accel, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

// Sends one pending message; 1 when the loop must end (*result set).
static int send_or_fail(const char* text, int* result) {
    int r = send_message(text);
    if (r == -1) {
        if (net_fail(WSAGetLastError())) {
            *result = 0;
            return 1;
        }
        return 0;
    }
    if (r == 0) {
        *result = 0;
        return 1;
    }
    return 0;
}

// Loading starts: the busy indicator pulses until the answer has arrived.
static void start_loading(int awaiting) {
    app.loading = 1;
    busy_indicator_step();
    if (awaiting >= 0) app.awaiting_page = (BYTE)awaiting;
    arrival_mark = 0;
}

static void end_loading_after_send() {
    if (!app.loading) return;
    busy_indicator_remove();
    app.loading = 0;
    app.awaiting_page = 0;
}

int app_send_pending(int* result) {
    if (app.pending_url) {
        app.pending_url = 0;
        if (app.typed_url) {
            size_t size = strlen(app.typed_url) + 26;
            char* msg = (char*)malloc(size);
            if (msg) {
                snprintf(msg, size, "%s %s %s\r\n\r\n", "<URL", app.typed_url, ">");
                start_loading(1);
                int stop = send_or_fail(msg, result);
                free(msg);
                if (stop) return 1;
            }
        }
    }
    if (app.pending_event) {
        app.pending_event = 0;
        start_loading(app.event_text[1] == 'M');
        if (send_or_fail(app.event_text, result)) return 1;
    }
    if (app.pending_scroll) {
        app.pending_scroll = 0;
        popup_close_if_open();
        start_loading(-1);
        if (send_or_fail(app.scroll_text, result)) return 1;
    }
    if (app.pending_zoom) {
        app.pending_zoom = 0;
        start_loading(1);
        if (send_or_fail(app.zoom_text, result)) return 1;
    }
    if (app.pending_history) {
        app.pending_history = 0;
        start_loading(1);
        if (send_or_fail(app.history_text, result)) return 1;
    }
    if (app.pending_stop) {
        app.pending_stop = 0;
        if (send_or_fail("<STP>\r\n\r\n", result)) return 1;
        end_loading_after_send();
    }
    if (app.pending_dynamic) {
        app.pending_dynamic = 0;
        if (app.dynamic_text) {
            int stop = send_or_fail(app.dynamic_text, result);
            free(app.dynamic_text);
            app.dynamic_text = nullptr;
            if (stop) return 1;
        }
    }
    if (app.pending_selection) {
        app.pending_selection = 0;
        if (send_or_fail(app.selection_text, result)) return 1;
    }
    if (app.pending_reload) {
        app.pending_reload = 0;
        if (send_or_fail("<RF>\r\n\r\n", result)) return 1;
        end_loading_after_send();
    }
    return 0;
}

int main_loop(HWND hwnd, HINSTANCE inst, const char* host, WORD port, int tunnel, const char* request,
              int request_len) {
    HACCEL accel = LoadAcceleratorsW(inst, MAKEINTRESOURCE(3));
    int result = 0;
    if (net_open(host, port, tunnel, request, request_len, &result)) return result;
    for (;;) {
        if (app.offline) {
            // A status page is up: only window messages, for ever.
            for (;;) message_step(hwnd, accel, 0, 1023);
        }
        if (app.ui_mode == 1) {
            message_step(hwnd, accel, 0, 1023);
            continue;
        }
        int got = net_receive_step(&result);
        if (got < 0) return result;
        if (got == 0) {
            if (app.loading && !app.awaiting_page && arrival_mark) {
                busy_indicator_remove();
                app.loading = 0;
                arrival_mark = 0;
            }
            // While loading only the timer gets through, so the indicator
            // keeps pulsing and other input waits for the page.
            if (app.loading) message_step(hwnd, accel, WM_TIMER, WM_TIMER);
            else message_step(hwnd, accel, 0, 1023);
        }
        if (app.offline) continue;
        if (app_send_pending(&result)) return result;
    }
}

void app_shutdown() {
    free(app.typed_url);
    app.typed_url = nullptr;
    if (!app.offline) history_save();
    if (conn_socket != INVALID_SOCKET) {
        snprintf(app.scroll_text, sizeof app.scroll_text, "%s", "<QT>\r\n\r\n");
        scramble_flag = 0;
        send_message(app.scroll_text);
        closesocket(conn_socket);
        conn_socket = INVALID_SOCKET;
    }
    WSACleanup();
    page_lists_free();
    if (gfx.off_alloc) gfx_offscreen_destroy();
    text_shutdown();
    page_images_release();
    text_release_pool();
}
