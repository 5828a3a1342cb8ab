// The application record, start-up, the main loop and shut-down.
#ifndef CV_SHELL_APP_H
#define CV_SHELL_APP_H

#include "gx.h"
#include "wince.h"

// A server the client talks to: the proxy, the rendering server or the load
// balancer.
struct HostEntry {
    char host[128];  // NUL-terminated
    WORD port;
    BYTE enabled;
};

#define HISTORY_SIZE 9
#define BUTTON_TABLE_MAX 10

// One program mapped to a hardware button (read from the device registry).
struct ButtonEntry {
    WCHAR program[80];
    WCHAR* args;  // heap, or null when the shortcut has no argument
    BYTE key;
};

// The one global application record.
// Start-up (app_init) and the data files fill the settings; the network side
// owns the connection state; window handlers write the pending events and
// main_loop sends and clears them.
struct AppState {
    HostEntry proxy_entry;
    HostEntry server_entry;
    HostEntry balancer_entry;
    char customer_name[64];
    char user_name[64];
    char password[64];
    char start_url[256];
    int32_t version_major;
    char version_minor[16];
    const char* greeting;
    BYTE oem_family_hp;
    const char* page_file_path;
    BYTE offline;
    int32_t redraw_pending;
    BYTE loading;
    BYTE awaiting_page;
    int32_t ui_mode;  // 0 page view, 1 options screen
    BYTE gx_suspended;

    // Pending events: a handler writes the buffer and sets the flag; the next
    // turn of main_loop sends the message and clears the flag.
    BYTE pending_url;
    BYTE pending_event;
    BYTE pending_scroll;
    BYTE pending_zoom;
    BYTE pending_history;
    BYTE pending_stop;
    BYTE pending_dynamic;
    BYTE pending_selection;
    BYTE pending_reload;
    char event_text[64];
    char scroll_text[16];
    char zoom_text[16];
    char history_text[16];
    char* typed_url;      // heap, owned here
    char* dynamic_text;   // heap, owned here
    char* selection_text; // points at event_text

    GXDisplayProperties display;
    GXKeyList keys;
    char options_title[64];

    // Address history, newest first: heap strings or null.
    char* history[HISTORY_SIZE];

    // Programs mapped to hardware buttons ("HP," family only).
    ButtonEntry* buttons;
    int button_count;

    HINSTANCE instance;
    HWND window;
};

extern AppState app;
// Non-zero while the page is zoomed in.
extern int zoom_mode;

// Greetings, first line of the login request, by device family.
extern const char GREETING_HP[];
extern const char GREETING_OTHER[];
// The vendor's load balancer, until the home file names another.
extern const char DEFAULT_BALANCER_HOST[];

// Sets every field of the record to its initial value.
void app_state_init();
// Reads the version file (leading integer, digits after the first ".") and
// formats the options title; without the file the version stays 1.0.
void app_read_version();
int app_main(HINSTANCE inst, HINSTANCE prev, LPWSTR cmdline, int show);
HWND app_init(HINSTANCE inst, int show);
int main_loop(HWND hwnd, HINSTANCE inst, const char* host, WORD port, int tunnel, const char* request,
              int request_len);
// Sends the pending events in their fixed order. Returns 1 when main_loop
// must end, with *result its return value.
int app_send_pending(int* result);
void app_shutdown();

#endif
