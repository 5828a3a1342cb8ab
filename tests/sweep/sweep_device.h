// Shared set-up of the fault sweeps: a fresh device for each run, the
// program's text resources with the shipped font cache, the shipped pages,
// the screen, and a leak check between runs in the sanitized build.
#ifndef CV_TESTS_SWEEP_DEVICE_H
#define CV_TESTS_SWEEP_DEVICE_H

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "emu.h"
#include "gfx/fb.h"
#include "gfx/pool.h"
#include "gfx/text.h"
#include "page/lists.h"
#include "page/page.h"
#include "shell/app.h"
#include "tests/unit/test_device.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define SWEEP_LEAK_CHECK 1
#else
#define SWEEP_LEAK_CHECK 0
#endif

// Pages shipped in the device's data folder (everything of device/cv that
// is a page, not a data file).
inline std::vector<std::string> sweep_shipped_pages() {
    return {"busy", "cvsplash", "cvupgrade", "demo1", "demo2", "demo3", "demo4", "demo5", "disconnect", "noconnect"};
}

inline std::string sweep_read(const std::string& host_path) {
    std::ifstream f(host_path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

inline void sweep_write(const std::string& host_path, const std::string& data) {
    std::ofstream f(host_path, std::ios::binary | std::ios::trunc);
    f << data;
}

inline std::string sweep_shipped(const std::string& name) {
    return sweep_read(std::string(CV_BINARY_DIR) + "/device/cv/" + name + ".txt");
}

inline std::vector<uint16_t> sweep_screen() {
    std::vector<uint16_t> s(320 * 240);
    emu_screen(s.data());
    return s;
}

// Pixels in which two screens differ.
inline int sweep_differences(const std::vector<uint16_t>& a, const std::vector<uint16_t>& b) {
    int n = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); i++)
        if (a[i] != b[i]) n++;
    return n;
}

// Keeps a screen beside the build as NAME.png, for a failing comparison.
inline void sweep_keep(const std::string& name, const std::vector<uint16_t>& s) {
    std::string out = std::string(CV_BINARY_DIR) + "/sweep-" + name + ".png";
    emu_write_png(out.c_str(), s.data(), 320, 240);
}

// Whether memory was leaked since the last check (always 0 outside the
// sanitized build). The leak checker prints what it found.
inline int sweep_leaked() {
#if SWEEP_LEAK_CHECK
    return __lsan_do_recoverable_leak_check();
#else
    return 0;
#endif
}

// Allocations a run makes: the fault counter is set out of reach and read
// back afterwards.
#define SWEEP_COUNT_START LONG_MAX

// One device for a run: its own root with the font cache, the display
// opened and drawn straight through, the program state fresh.
struct SweepDevice {
    std::string root;
    HWND hwnd = (HWND)1;

    // Switches a fresh device on; with_text 0 runs without text resources,
    // as the program does once a pool failure has taken them.
    bool start(const char* prefix, bool with_text) {
        root = test_device_root(prefix);
        if (root.empty()) return false;
        std::error_code e;
        std::filesystem::copy_file(CV_BINARY_DIR "/device/cv/tccache.bin", root + "/cv/tccache.bin", e);
        if (e) return false;
        reopen();
        app_state_init();
        app.display = gfx.props;
        app.keys = GXGetDefaultKeys(GX_NORMALKEYS);
        app.page_file_path = "/cv/kivo.txt";
        page_lists_init();
        page_images_release();
        text_colour[0] = text_colour[1] = text_colour[2] = 0;
        if (with_text) {
            if (text_startup(0) != 0) return false;
            text_load_font_cache();
            if (!text_engine) return false;
        }
        clear();
        return true;
    }
    // The device switched on again: its input queue and display are reset;
    // files and the program's state stay.
    void reopen() {
        test_device_open(root);
        gfx.off_available = 0;
    }
    void clear() {
        gfx.frame = (char*)GXBeginDraw();
        Rect all = {0, 0, 239, 319};
        gfx_fill_rect(&all, COLOUR_PALE_BLUE);
        GXEndDraw();
    }
    std::string host(const char* device_path) const { return root + device_path; }
    void put_page(const std::string& data) { sweep_write(host("/cv/kivo.txt"), data); }
    // Everything the run built goes; the root is removed.
    void stop() {
        page_lists_free();
        page_images_release();
        free(app.dynamic_text);
        app.dynamic_text = nullptr;
        text_shutdown();
        text_release_pool();
        app_state_init();
        GXCloseDisplay();
        std::error_code e;
        std::filesystem::remove_all(root, e);
        root.clear();
    }
};

#endif
