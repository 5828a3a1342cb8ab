// The device's screen and buttons in a window on the desktop.
#ifndef CV_PLATFORM_SDL_WINDOW_H
#define CV_PLATFORM_SDL_WINDOW_H

// Opens the window; 0 when no display can be had (the caller runs headless).
int sdl_window_open(int scale);
// Runs the window until it is closed; returns then (the device is switched off).
void sdl_window_run();

#endif
