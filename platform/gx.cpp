// Game API display and input: a 240 x 320 portrait panel of RGB565 pixels.
#include "gx.h"

#include <atomic>
#include <mutex>

#include "emu.h"
#include "emu_internal.h"

// Panel memory, row after row of the portrait panel. The frame pointer that
// GXBeginDraw hands out is placed so that base + column * x pitch + row * y
// pitch addresses it for both panel orientations.
static uint16_t panel[320 * 240];
static struct {
    bool open = false;
    bool input = false;
    bool suspended = false;
    std::atomic<bool> dirty{false};
} D;

void emu_display_reset() {
    D.open = D.input = D.suspended = false;
    for (auto& p : panel) p = 0xFFFF;
    D.dirty = true;
}

static long y_pitch() { return emu_config().inverted ? -480 : 480; }
static char* frame_base() {
    char* mem = (char*)panel;
    return emu_config().inverted ? mem + 319 * 480 : mem;
}

int GXOpenDisplay(HWND hwnd, DWORD) {
    if (!hwnd) return 0;
    D.open = true;
    return 1;
}
int GXCloseDisplay(void) {
    D.open = false;
    return 1;
}
int GXOpenInput(void) {
    D.input = true;
    return 1;
}
int GXCloseInput(void) {
    D.input = false;
    return 1;
}

GXDisplayProperties GXGetDisplayProperties(void) {
    GXDisplayProperties p;
    p.cxWidth = 240;
    p.cyHeight = 320;
    p.cbxPitch = 2;
    p.cbyPitch = y_pitch();
    p.cBPP = emu_config().bpp;
    p.ffFormat = kfDirect | kfDirect565;
    return p;
}

GXKeyList GXGetDefaultKeys(int) {
    // Landscape use: the direction keys as the user holds the device, and the
    // application buttons: C opens the address bar, B forward, A back,
    // Start closes.
    GXKeyList k;
    memset(&k, 0, sizeof k);
    k.vkUp = VK_UP;
    k.vkDown = VK_DOWN;
    k.vkLeft = VK_LEFT;
    k.vkRight = VK_RIGHT;
    k.vkA = 0xC4;
    k.vkB = 0xC3;
    k.vkC = 0xC1;
    k.vkStart = 0xC5;
    return k;
}

void* GXBeginDraw(void) {
    if (!D.open || D.suspended) return nullptr;
    return frame_base();
}

int GXEndDraw(void) {
    D.dirty = true;
    return 1;
}

int GXSuspend(void) {
    D.suspended = true;
    return 1;
}

int GXResume(void) {
    D.suspended = false;
    return 1;
}

void emu_screen(uint16_t* out) {
    // What the user sees: the landscape screen, through the same mapping the
    // program draws with (column = y, row = 319 - x).
    const char* base = frame_base();
    long yp = y_pitch();
    for (int y = 0; y < 240; y++)
        for (int x = 0; x < 320; x++)
            out[y * 320 + x] = *(const uint16_t*)(base + (long)y * 2 + (long)(319 - x) * yp);
}

bool emu_take_dirty() { return D.dirty.exchange(false); }
