// The measured client operations and the device set-up they run on.
#include "benchops.h"

#include <sys/stat.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "emu.h"
#include "gfx/fb.h"
#include "gfx/text.h"
#include "net/netloop.h"
#include "net/xtea.h"
#include "page/image.h"
#include "page/lists.h"
#include "page/page.h"
#include "page/parser.h"
#include "pagewriter.h"
#include "shell/app.h"

static std::string device_root;

std::string bo_read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

static void write_file(const std::string& path, const std::string& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
}

const std::vector<std::string>& bo_page_names() {
    static const std::vector<std::string> names = {"cvsplash", "busy",  "noconnect", "disconnect",
                                                   "cvupgrade", "demo1", "demo2",     "demo3",
                                                   "demo4",     "demo5"};
    return names;
}

std::string bo_shipped_page(const std::string& build_dir, const std::string& name) {
    return bo_read_file(build_dir + "/device/cv/" + name + ".txt");
}

int bo_device_open(const std::string& build_dir) {
    char dir[] = "/tmp/cvbench-XXXXXX";
    if (!mkdtemp(dir)) return -1;
    device_root = dir;
    std::string copy = "cp -r '" + build_dir + "/device/.' '" + device_root + "'";
    if (system(copy.c_str()) != 0) {
        fprintf(stderr, "cvbench: cannot copy %s/device\n", build_dir.c_str());
        return -1;
    }
    EmuConfig cfg;
    cfg.root = device_root;
    cfg.headless = true;
    emu_configure(cfg);
    GXOpenDisplay((HWND)1, GX_FULLSCREEN);
    // As the program's start-up does it (colour mode L, the common family).
    app_state_init();
    gfx_init();
    app.display = GXGetDisplayProperties();
    gfx.props = app.display;
    if (text_startup(0) != 0 || gfx_offscreen_create(&app.display) != 0) {
        fprintf(stderr, "cvbench: no text engine or off-screen buffer\n");
        return -1;
    }
    gfx.off_available = 1;
    text_load_font_cache();
    if (!text_engine || glyph_store_count(text_engine->main_store) == 0) {
        fprintf(stderr, "cvbench: no font cache in %s/device/cv\n", build_dir.c_str());
        return -1;
    }
    page_lists_init();
    app.page_file_path = "/cv/kivo.txt";
    return 0;
}

void bo_device_close() {
    page_lists_free();
    page_images_release();
    text_shutdown();
    text_release_pool();
    gfx_offscreen_destroy();
    GXCloseDisplay();
    if (!device_root.empty()) {
        std::string rm = "rm -rf '" + device_root + "'";
        if (system(rm.c_str()) != 0) fprintf(stderr, "cvbench: cannot remove %s\n", device_root.c_str());
    }
    device_root.clear();
}

void bo_page_prepare(const std::string& stream) {
    image_cache_clear();
    write_file(device_root + "/cv/kivo.txt", stream);
}

void bo_page_draw() {
    app.redraw_pending = 1;
    page_draw(0, 0);
    app.redraw_pending = 0;
}

std::string bo_text_page() {
    static const char* words[] = {"The", "server", "lays", "each", "web", "page", "out,", "and", "the",
                                  "handheld", "only", "draws", "it:", "fast", "pages,", "small", "data.",
                                  "Text", "is", "never", "rasterised", "on", "the", "device;", "every",
                                  "glyph", "comes", "ready-made", "from", "its", "cache."};
    const int nwords = (int)(sizeof words / sizeof words[0]);
    std::string body;
    pw_fr(body, 0, 0, 0x280, 0x1e0);
    pw_bc(body, 0xff, 0xff, 0xff);
    pw_fc(body, 0x22, 0x22, 0x22);
    pw_cr(body, 3, 0, 0, 0x280, 0x1e0);
    pw_sz(body, 0x14);
    int w = 0;
    // Lines 12 pixels apart, each as wide as the screen allows.
    for (long y = 20; y < 0x1e0; y += 24) {
        std::string line;
        while (line.size() < 60) {
            if (!line.empty()) line += ' ';
            line += words[w++ % nwords];
        }
        pw_ds(body, 3, 8, y, line);
    }
    pw_st(body);
    std::string page;
    pw_http_header(page, body.size());
    return page + body;
}

void bo_fill_screen() {
    Rect all = {0, 0, 239, 319};
    gfx_select_target(1);
    gfx_fill_rect(&all, COLOUR_PALE_BLUE);
    gfx_select_target(0);
}

GlyphRun bo_glyph_run() {
    const char* s = "Pack my box with five dozen liquor jugs. 0123456789 (ABCDEFGHIJKLM)";
    GlyphRun run;
    for (const char* p = s; *p; p++) run.text.push_back((uint16_t)(unsigned char)*p);
    run.glyphs = run.text.size();
    run.text.push_back(0);
    return run;
}

void bo_glyph_draw(const GlyphRun& run) {
    int err = 0;
    gfx_select_target(1);
    gfx_set_clip(0, 0, 239, 319);
    text_draw(text_engine, (const WCHAR*)run.text.data(), (uint16_t)run.glyphs, TEXT_STYLE_PAGE, 10, 4, 120, &err);
    gfx_select_target(0);
}

// The IM payloads of a page stream.
static void payloads_of(const std::string& page, std::vector<std::vector<uint8_t>>* out) {
    size_t at = 0;
    while ((at = page.find("<IM ", at)) != std::string::npos) {
        size_t end = page.find('>', at);
        if (end == std::string::npos) break;
        unsigned f, x, y, w, h, n;
        if (sscanf(page.c_str() + at, "<IM %x %x %x %x %x %x>", &f, &x, &y, &w, &h, &n) == 6 &&
            end + 1 + n <= page.size()) {
            out->emplace_back(page.begin() + (long)end + 1, page.begin() + (long)(end + 1 + n));
        }
        at = end + 1;
    }
}

LzSet bo_lz_set(const std::string& build_dir) {
    LzSet set;
    for (const std::string& name : bo_page_names()) payloads_of(bo_shipped_page(build_dir, name), &set.payloads);
    size_t largest = 0;
    for (const auto& p : set.payloads) largest = std::max(largest, (size_t)p[1] * p.size() / 8);
    set.out.resize(largest);
    for (const auto& p : set.payloads) {
        LONG got = lz_expand(p.data() + 2, (DWORD)(p.size() - 2), set.out.data(), (DWORD)set.out.size());
        if (got < 0) {
            fprintf(stderr, "cvbench: a payload does not expand\n");
            exit(1);
        }
        set.expanded.push_back((size_t)got);
        set.total_out += (size_t)got;
        uLongf zsize = compressBound((uLong)got);
        std::vector<uint8_t> z(zsize);
        compress2(z.data(), &zsize, set.out.data(), (uLong)got, Z_BEST_COMPRESSION);
        z.resize(zsize);
        set.deflated.push_back(std::move(z));
    }
    return set;
}

size_t bo_lz_expand_all(LzSet& set) {
    size_t total = 0;
    for (const auto& p : set.payloads) {
        LONG got = lz_expand(p.data() + 2, (DWORD)(p.size() - 2), set.out.data(), (DWORD)set.out.size());
        if (got > 0) total += (size_t)got;
    }
    return total;
}

// One inflate stream, reset for each image: what is counted is inflating,
// not setting the stream up.
size_t bo_inflate_all(LzSet& set) {
    static z_stream zs;
    static bool ready;
    if (!ready) {
        memset(&zs, 0, sizeof zs);
        if (inflateInit(&zs) != Z_OK) return 0;
        ready = true;
    }
    size_t total = 0;
    for (size_t i = 0; i < set.deflated.size(); i++) {
        inflateReset(&zs);
        zs.next_in = set.deflated[i].data();
        zs.avail_in = (uInt)set.deflated[i].size();
        zs.next_out = set.out.data();
        zs.avail_out = (uInt)set.out.size();
        if (inflate(&zs, Z_FINISH) == Z_STREAM_END) total += zs.total_out;
    }
    return total;
}

void bo_font_unload() {
    int err;
    glyph_store_reset(text_engine->main_store, &err);
}

int bo_font_load() { return font_cache_load(text_engine, "/cv/tccache.bin"); }

ScanSet bo_scan_set(const std::string& build_dir) {
    ScanSet set;
    for (const std::string& name : bo_page_names()) {
        set.pages.push_back(bo_shipped_page(build_dir, name));
        set.bytes += set.pages.back().size();
    }
    return set;
}

void bo_scan_all(const ScanSet& set) {
    for (const std::string& page : set.pages) {
        // A new connection's empty page file, as net_open makes it.
        FILE* f = fopen(app.page_file_path, "wb");
        if (f) fclose(f);
        net_scanner_reset();
        for (size_t at = 0; at < page.size(); at += 4095) {
            size_t n = std::min((size_t)4095, page.size() - at);
            net_write_chunk(page.data() + at, (int)n);
        }
    }
    app.redraw_pending = 0;
}

void bo_xtea(std::vector<uint8_t>& buf) {
    static const unsigned char key[16] = {0x3a, 0x91, 0x05, 0x7c, 0xe2, 0x48, 0xb6, 0x1d,
                                          0x5f, 0xc3, 0x27, 0x8e, 0x64, 0xd9, 0x10, 0xab};
    xtea_encipher_buffer(buf.data(), (int)buf.size(), key);
    xtea_decipher_buffer(buf.data(), (int)buf.size(), key);
}
