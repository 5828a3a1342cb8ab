// Fuzz target: the readers of the data files (settings, home, history,
// version). Any content reads into bounded, terminated fields; what the
// options screen would write from the settings read reads back to the same
// settings; a history saved and read again is the same history.
//
// Input: the four files one after the other, separated by "|#|":
//   cvconfig.txt |#| cvhome.txt |#| cvhistory.txt |#| cvversion.txt
#include <string>

#include "fuzz/fuzz_device.h"
#include "shell/datafiles.h"

static void check_terminated(const char* s, size_t size) {
    if (!memchr(s, 0, size)) abort();
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_device_on();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string in((const char*)data, size);
    std::string part[4];
    size_t at = 0;
    for (int i = 0; i < 4; i++) {
        size_t sep = i < 3 ? in.find("|#|", at) : std::string::npos;
        part[i] = in.substr(at, sep == std::string::npos ? std::string::npos : sep - at);
        if (sep == std::string::npos) {
            at = in.size();
        } else {
            at = sep + 3;
        }
    }
    const char* files[4] = {SETTINGS_FILE, HOME_FILE, HISTORY_FILE, "/cv/cvversion.txt"};
    for (int i = 0; i < 4; i++) {
        if (part[i].empty() && i > 0) fuzz_unlink(files[i]);
        else fuzz_put(files[i], part[i].data(), part[i].size());
    }

    app_state_init();
    history_read();
    settings_read();
    home_read();
    app_read_version();
    check_terminated(app.customer_name, sizeof app.customer_name);
    check_terminated(app.user_name, sizeof app.user_name);
    check_terminated(app.password, sizeof app.password);
    check_terminated(app.proxy_entry.host, sizeof app.proxy_entry.host);
    check_terminated(app.balancer_entry.host, sizeof app.balancer_entry.host);
    check_terminated(app.version_minor, sizeof app.version_minor);
    check_terminated(app.options_title, sizeof app.options_title);
    for (int i = 0; i < HISTORY_SIZE; i++) {
        const char* h = app.history[i];
        if (!h) continue;
        for (const char* c = h; *c; c++)
            if (*c == ' ' || *c == '\n' || *c == '\r' || *c == '\t') abort();  // white space ends an entry
    }

    char* saved[HISTORY_SIZE];
    for (int i = 0; i < HISTORY_SIZE; i++) saved[i] = app.history[i] ? strdup(app.history[i]) : nullptr;

    // What the options screen writes from these settings reads back the same.
    AppState read = app;  // (its history pointers are not used)
    char text[512];
    int n = snprintf(text, sizeof text, "%s\n%s\n%s\n%s:%d:%s\n", app.customer_name, app.user_name, app.password,
                     app.proxy_entry.host, (int)app.proxy_entry.port, app.proxy_entry.enabled ? "On" : "Off");
    if (n > 0 && n < (int)sizeof text) {
        fuzz_put(SETTINGS_FILE, text, (size_t)n);
        app_state_init();
        settings_read();
        if (strcmp(app.customer_name, read.customer_name) != 0) abort();
        if (strcmp(app.user_name, read.user_name) != 0) abort();
        if (strcmp(app.password, read.password) != 0) abort();
        if (strcmp(app.proxy_entry.host, read.proxy_entry.host) != 0) abort();
        if (app.proxy_entry.port != read.proxy_entry.port) abort();
        if (app.proxy_entry.enabled != read.proxy_entry.enabled) abort();
    }

    // The history saved and read again is the same.
    app_state_init();
    for (int i = HISTORY_SIZE - 1; i >= 0; i--) history_push(saved[i]);
    history_save();
    app_state_init();
    history_read();
    int k = 0;
    for (int i = 0; i < HISTORY_SIZE; i++) {
        if (!saved[i]) continue;  // null entries are not saved: the others move up
        if (!app.history[k] || strcmp(app.history[k], saved[i]) != 0) abort();
        k++;
    }
    if (k < HISTORY_SIZE && app.history[k]) abort();
    for (char* s : saved) free(s);
    app_state_init();
    return 0;
}
