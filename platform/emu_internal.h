// Pieces of the emulated device that its own files share.
#ifndef CV_PLATFORM_EMU_INTERNAL_H
#define CV_PLATFORM_EMU_INTERNAL_H

#include <string>

#include "wince.h"

std::string emu_narrow(LPCWSTR s);
// Device time in milliseconds since start-up (runs faster with --clock).
double emu_device_ms();
// Host time (ms) when the program last received data from a socket.
double emu_last_data_ms();
void emu_note_data();
// Some socket of the program has bytes waiting.
bool emu_sockets_pending();
void emu_windows_reset();
void emu_windows_release();
void emu_display_reset();
void emu_registry_reset();

#endif
