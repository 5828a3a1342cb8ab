// The emulated device's own controls: configuration, the input side that a
// person (or a test script) drives, the screen as the user sees it, and the
// event log. Used by the emulator's main program and by tests; client code
// never includes this header.
#ifndef CV_PLATFORM_EMU_H
#define CV_PLATFORM_EMU_H

#include <cstdint>
#include <string>

struct EmuConfig {
    std::string root = "device";  // device file system
    bool headless = false;
    std::string oem = "Corvanta Emulated Pocket PC";
    bool inverted = false;  // panel with a negative y pitch
    int bpp = 16;
    std::string log;      // event log file, empty for none
    int scale = 2;        // window scale
    double clock = 1.0;   // device clock speed factor (2 = twice as fast)
};

// Applies a configuration; may be called again by tests to reset the device
// (queue, window, timers, display contents and registry cache are cleared).
void emu_configure(const EmuConfig& cfg);
const EmuConfig& emu_config();

// Host path of a device path ("/cv/x" or "\\cv\\x").
std::string emu_host_path(const char* device_path);

// Event log: one line per call, when a log file is configured.
void emu_log(const std::string& line);

// Input, as the hardware delivers it. Coordinates are landscape screen points.
enum EmuModifier { EMU_MOD_CTRL = 1, EMU_MOD_SHIFT = 2 };
void emu_post(unsigned message, uintptr_t wparam, intptr_t lparam, uint32_t modifiers = 0);
void emu_stylus(unsigned message, int x, int y);
void emu_key(int vk, uint32_t modifiers = 0);
void emu_type(const std::string& text);
void emu_focus(bool in);

// The landscape screen, 320 x 240 RGB565 pixels, row after row.
void emu_screen(uint16_t* out);
int emu_write_png(const char* host_path, const uint16_t* pixels, int width, int height);

// Idle tracking: the program polled its queue with nothing queued and no data
// waiting on its sockets, continuously for the last ms milliseconds.
bool emu_idle_for(int ms);
// The display was drawn since the last call (for the window's refresh).
bool emu_take_dirty();

// Process and thread handles that CreateProcessW gave out and the program has
// not closed.
int emu_open_handles();

// File faults for tests: opening device_path for writing fails (a read-only
// file), and/or each handle that writes it stops after write_limit bytes with
// ENOSPC (a full medium; -1 for no limit). Cleared by emu_file_faults_clear.
void emu_file_fault(const char* device_path, bool read_only, long write_limit);
void emu_file_faults_clear();

// Called when a second copy brought this one to the front.
void emu_foreground_request();

// Exit with code, after flushing the log and releasing the window record.
[[noreturn]] void emu_exit(int code);

#endif
