// The emulated device as the fuzz targets use it: a device root of the
// process's own under /tmp (removed at exit), headless, its display opened;
// the program's text resources with the generated font cache; helpers to
// put a fuzz input into a device file.
#ifndef CV_FUZZ_FUZZ_DEVICE_H
#define CV_FUZZ_FUZZ_DEVICE_H

#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "emu.h"
#include "gfx/fb.h"
#include "gfx/text.h"
#include "shell/app.h"

#undef fopen

// Where the main build left the generated font cache; CV_FONT_CACHE in the
// environment names another.
#ifndef CV_FONT_CACHE_FILE
#define CV_FONT_CACHE_FILE "build/device/cv/tccache.bin"
#endif

inline std::string& fuzz_root() {
    static std::string root;
    return root;
}

inline void fuzz_remove_root() {
    if (!fuzz_root().empty()) {
        std::string cmd = "rm -rf '" + fuzz_root() + "'";
        if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", fuzz_root().c_str());
    }
}

// Host path of a device path.
inline std::string fuzz_host(const char* device_path) { return fuzz_root() + device_path; }

// Writes bytes into a device file; 0 on success.
inline int fuzz_put(const char* device_path, const void* data, size_t size) {
    FILE* f = ::fopen(fuzz_host(device_path).c_str(), "wb");
    if (!f) return -1;
    size_t n = size ? fwrite(data, 1, size, f) : 0;
    int r = fclose(f);
    return n == size && r == 0 ? 0 : -1;
}

inline void fuzz_unlink(const char* device_path) { unlink(fuzz_host(device_path).c_str()); }

// Copies the generated font cache into the device; 0 on success.
inline int fuzz_copy_font_cache() {
    const char* from = getenv("CV_FONT_CACHE");
    if (!from) from = CV_FONT_CACHE_FILE;
    FILE* in = ::fopen(from, "rb");
    if (!in) {
        fprintf(stderr, "no font cache at %s (set CV_FONT_CACHE)\n", from);
        return -1;
    }
    FILE* out = ::fopen(fuzz_host("/cv/tccache.bin").c_str(), "wb");
    char buf[65536];
    size_t n;
    while (out && (n = fread(buf, 1, sizeof buf, in)) > 0) fwrite(buf, 1, n, out);
    fclose(in);
    if (!out) return -1;
    return fclose(out);
}

// Makes the device root and switches the device on (headless), with the
// display open and the frame buffer state pointed at it.
inline void fuzz_device_on() {
    if (fuzz_root().empty()) {
        char dir[] = "/tmp/cvfuzz-XXXXXX";
        if (!mkdtemp(dir)) abort();
        fuzz_root() = dir;
        mkdir((fuzz_root() + "/cv").c_str(), 0755);
        atexit(fuzz_remove_root);
    }
    EmuConfig cfg;
    cfg.root = fuzz_root();
    cfg.headless = true;
    emu_configure(cfg);
    app_state_init();
    GXOpenDisplay((HWND)1, GX_FULLSCREEN);
    gfx_init();
    gfx.props = GXGetDisplayProperties();
    app.display = gfx.props;
    gfx.frame = (char*)GXBeginDraw();
}

// The program's text resources with the font cache loaded, made again when
// an earlier input's pool failure took them away. Returns 1 when they stand.
inline int fuzz_text_ready(int hp_family = 0) {
    if (text_engine) return 1;
    text_shutdown();
    text_release_pool();
    if (text_startup(hp_family) != 0) return 0;
    text_load_font_cache();
    return text_engine != nullptr;
}

// A small deterministic generator for the targets' own choices.
struct FuzzRng {
    uint64_t s;
    explicit FuzzRng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
    uint32_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return (uint32_t)(s >> 16);
    }
    uint32_t below(uint32_t n) { return n ? next() % n : 0; }
};

// FNV-1a of the input, to seed the generator.
inline uint64_t fuzz_hash(const uint8_t* data, size_t size) {
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < size; i++) h = (h ^ data[i]) * 1099511628211ull;
    return h;
}

#endif
