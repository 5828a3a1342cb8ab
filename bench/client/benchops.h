// The client operations that the benchmarks measure, on the emulated device
// set up as the program's start-up sets it up (display, text engine, glyph
// stores, off-screen buffer, font cache). Both drivers use them: cvbench,
// which marks each operation for callgrind's instruction counts, and
// cvbench_wall, which times them with Google Benchmark.
#ifndef CV_BENCH_BENCHOPS_H
#define CV_BENCH_BENCHOPS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Switches the device on with a fresh copy of the built device root (the
// shipped data directory cv/ with the font cache) and starts the client's
// drawing and text resources. 0 on success, else a message on stderr.
int bo_device_open(const std::string& build_dir);
void bo_device_close();

// A whole file, or an empty string.
std::string bo_read_file(const std::string& path);
// A shipped page file of the built device root: "demo3" gives cv/demo3.txt.
std::string bo_shipped_page(const std::string& build_dir, const std::string& name);
// Every shipped page name (status pages, then the demo pages).
const std::vector<std::string>& bo_page_names();

// Puts a page into the page file as a fresh page: no decoded images, no
// page records, the screen as a previous page left it.
void bo_page_prepare(const std::string& stream);
// The window procedure's paint: the page drawn with all its passes.
void bo_page_draw();
// A page of text lines filling the screen (page text, 10 pixels high).
std::string bo_text_page();

// One full-screen fill of the off-screen buffer.
void bo_fill_screen();

// A run of text to draw glyph by glyph; `glyphs` is its length.
struct GlyphRun {
    std::vector<uint16_t> text;
    size_t glyphs;
};
GlyphRun bo_glyph_run();
void bo_glyph_draw(const GlyphRun& run);

// The image payloads of the shipped pages, with what they expand to and the
// same expanded bytes compressed by zlib.
struct LzSet {
    std::vector<std::vector<uint8_t>> payloads;   // whole IM payloads
    std::vector<std::vector<uint8_t>> deflated;   // zlib streams of the expanded bytes
    std::vector<size_t> expanded;                 // expanded sizes
    size_t total_out = 0;                         // expanded bytes in all
    std::vector<uint8_t> out;                     // room for the largest
};
LzSet bo_lz_set(const std::string& build_dir);
// Expands every payload; returns the bytes written (total_out on success).
size_t bo_lz_expand_all(LzSet& set);
// Inflates every zlib stream; returns the bytes written.
size_t bo_inflate_all(LzSet& set);

// Empties the main glyph store, then loads the font cache file into it;
// returns the glyphs loaded.
void bo_font_unload();
int bo_font_load();

// Page streams as the network loop receives them, cut into receive-step
// chunks of at most 4095 bytes.
struct ScanSet {
    std::vector<std::string> pages;
    size_t bytes = 0;
};
ScanSet bo_scan_set(const std::string& build_dir);
// Writes each page into a fresh page file through the receive step's writer
// and tag scanner.
void bo_scan_all(const ScanSet& set);

// XTEA: enciphers then deciphers a buffer in place.
void bo_xtea(std::vector<uint8_t>& buf);

#endif
