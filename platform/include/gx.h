// Game API display and input library, as the emulated device provides it.
#ifndef CV_PLATFORM_GX_H
#define CV_PLATFORM_GX_H

#include "wince.h"

// Display properties: 24 bytes, as the platform returns them.
struct GXDisplayProperties {
    DWORD cxWidth;
    DWORD cyHeight;
    LONG cbxPitch;  // bytes from one pixel to the next in a row
    LONG cbyPitch;  // bytes from one row to the next (negative on inverted panels)
    LONG cBPP;
    DWORD ffFormat;
};

// Key list: 96 bytes, in the order Up, Down, Left, Right, A, B, C, Start.
struct GXKeyList {
    short vkUp;
    POINT ptUp;
    short vkDown;
    POINT ptDown;
    short vkLeft;
    POINT ptLeft;
    short vkRight;
    POINT ptRight;
    short vkA;
    POINT ptA;
    short vkB;
    POINT ptB;
    short vkC;
    POINT ptC;
    short vkStart;
    POINT ptStart;
};

#define GX_FULLSCREEN 0x01
#define GX_NORMALKEYS 0x02
#define GX_LANDSCAPEKEYS 0x03

#define kfDirect 0x20
#define kfDirect565 0x80

int GXOpenDisplay(HWND hwnd, DWORD flags);
int GXCloseDisplay(void);
int GXOpenInput(void);
int GXCloseInput(void);
GXDisplayProperties GXGetDisplayProperties(void);
GXKeyList GXGetDefaultKeys(int options);
void* GXBeginDraw(void);
int GXEndDraw(void);
int GXSuspend(void);
int GXResume(void);

#endif
