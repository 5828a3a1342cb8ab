// The callgrind driver: runs client operations on the emulated device and
// marks each measured region for callgrind, which counts its instructions.
//
//   valgrind --tool=callgrind --collect-atstart=no cvbench BUILD_DIR OP...
//
// OP is one of
//   page:NAME     a shipped page (cv/NAME.txt) drawn with all its passes
//   page-file:P   the page file P drawn with all its passes
//   textpage      a full screen of page text
//   fill          a full-screen fill
//   glyphs        a run of text, per glyph
//   lz            lz_expand of every shipped image, then zlib's inflate of
//                 the same bytes
//   fontload      loading the font cache
//   scanner       the receive step's writer and tag scanner over every
//                 shipped page
//   xtea          enciphering and deciphering 64 KB
//
// Every operation runs once unmeasured first, so that what is counted is the
// steady cost (symbols bound, buffers allocated), then once measured. Each
// measured region ends in a callgrind dump named after it, and the driver
// prints one line per region: "region NAME UNITS UNIT" (what to divide the
// instruction count by). Outside valgrind the markers do nothing.
#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "benchops.h"

static void region(const char* name, double units, const char* unit) {
    printf("region %s %.0f %s\n", name, units, unit);
    fflush(stdout);
}

#define MEASURE(name, units, unit, work) \
    do {                                 \
        CALLGRIND_TOGGLE_COLLECT;        \
        work;                            \
        CALLGRIND_TOGGLE_COLLECT;        \
        CALLGRIND_DUMP_STATS_AT(name);   \
        region(name, units, unit);       \
    } while (0)

static int run_op(const std::string& build, const std::string& op) {
    if (op.rfind("page:", 0) == 0 || op.rfind("page-file:", 0) == 0) {
        bool shipped = op[4] == ':';
        std::string name = op.substr(shipped ? 5 : 10);
        std::string page = shipped ? bo_shipped_page(build, name) : bo_read_file(name);
        if (page.empty()) {
            fprintf(stderr, "cvbench: no page %s\n", name.c_str());
            return 1;
        }
        bo_page_prepare(page);
        bo_page_draw();
        bo_page_prepare(page);
        MEASURE(op.c_str(), 1, "draw", bo_page_draw());
    } else if (op == "textpage") {
        std::string page = bo_text_page();
        bo_page_prepare(page);
        bo_page_draw();
        bo_page_prepare(page);
        MEASURE("textpage", 1, "draw", bo_page_draw());
    } else if (op == "fill") {
        bo_fill_screen();
        MEASURE("fill", 1, "fill", bo_fill_screen());
    } else if (op == "glyphs") {
        GlyphRun run = bo_glyph_run();
        bo_glyph_draw(run);
        MEASURE("glyphs", (double)run.glyphs, "glyph", bo_glyph_draw(run));
    } else if (op == "lz") {
        LzSet set = bo_lz_set(build);
        bo_lz_expand_all(set);
        bo_inflate_all(set);
        size_t got = 0;
        MEASURE("lz_expand", (double)set.total_out, "byte", got = bo_lz_expand_all(set));
        if (got != set.total_out) return 1;
        MEASURE("inflate", (double)set.total_out, "byte", got = bo_inflate_all(set));
        if (got != set.total_out) return 1;
    } else if (op == "fontload") {
        bo_font_unload();
        bo_font_load();
        bo_font_unload();
        int n = 0;
        MEASURE("fontload", 1, "load", n = bo_font_load());
        if (n <= 0) return 1;
    } else if (op == "scanner") {
        ScanSet set = bo_scan_set(build);
        bo_scan_all(set);
        MEASURE("scanner", (double)set.bytes, "byte", bo_scan_all(set));
    } else if (op == "xtea") {
        std::vector<uint8_t> buf(64 * 1024, 0x5a);
        bo_xtea(buf);
        MEASURE("xtea", (double)buf.size() * 2, "byte", bo_xtea(buf));
    } else {
        fprintf(stderr, "cvbench: unknown operation %s\n", op.c_str());
        return 2;
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: cvbench BUILD_DIR OP...\n");
        return 2;
    }
    std::string build = argv[1];
    if (bo_device_open(build) != 0) return 1;
    int rc = 0;
    for (int i = 2; i < argc && rc == 0; i++) rc = run_op(build, argv[i]);
    bo_device_close();
    return rc;
}
