// Test set-up of the emulated device: a fresh device root, the device
// switched on with it, and the display opened for drawing.
#ifndef CV_TESTS_TEST_DEVICE_H
#define CV_TESTS_TEST_DEVICE_H

#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "emu.h"
#include "gfx/fb.h"

// A new device root under /tmp, holding an empty data folder cv/.
inline std::string test_device_root(const char* prefix) {
    std::string dir = std::string("/tmp/") + prefix + "-XXXXXX";
    if (!mkdtemp(&dir[0])) return std::string();
    mkdir((dir + "/cv").c_str(), 0755);
    return dir;
}

// Removes a root made by test_device_root; 0 on success.
inline int test_device_remove(const std::string& root) {
    if (root.empty()) return 0;
    return system(("rm -rf '" + root + "'").c_str());
}

// Switches the device on with root as its file system (headless).
inline void test_device_switch_on(const std::string& root, bool inverted = false) {
    EmuConfig cfg;
    cfg.root = root;
    cfg.headless = true;
    cfg.inverted = inverted;  // a panel with a negative y pitch
    emu_configure(cfg);
}

// Switches the device on, opens its display and points the frame buffer
// state at it, inside an open drawing bracket.
inline void test_device_open(const std::string& root, bool inverted = false) {
    test_device_switch_on(root, inverted);
    GXOpenDisplay((HWND)1, GX_FULLSCREEN);
    gfx_init();
    gfx.props = GXGetDisplayProperties();
    gfx.frame = (char*)GXBeginDraw();
}

#endif
