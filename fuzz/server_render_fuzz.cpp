// Fuzz target of the rendering server's renderer: a snapshot of a laid-out
// page, as the engine reports it, turned into a page stream. Any web page can
// shape that snapshot (its text, its names, its boxes at any size and place,
// its scroll offsets), so every snapshot must be rendered without a fault,
// and what the renderer sends must be a page stream the handheld can read:
//   - nothing but tags, each of a code the handheld knows, with lower-case
//     hexadecimal numbers, a head that fits the handheld's 1024-byte tag
//     buffer and a counted text that fits its 4096-byte text buffer;
//   - control names without spaces;
//   - every image payload expands (with the handheld's expansion) to exactly
//     a header and its pixels, and fits the room its ratio byte promises;
//   - every scrambled block has the bytes its header announces;
//   - every picture shown (IS) is one the handheld holds or one whose
//     payload the same answer carries.
// The page is rendered as a new page and then again as an update of itself
// (the path that reuses what the handheld holds).
//
// Input: one byte of switches, a scroll step, then the snapshot
// (DOMSnapshot.captureSnapshot result, JSON; its key "notice", which the
// engine does not use, holds the text of a dialog).
//   bit 0 zoomed in            bit 1 a dialog's notice at the top
//   bit 2 no capture           bits 3-4 capture size: the viewport, half
//                              of it, twice it, one pixel
//   bit 5 the update scrolled down by the scroll step (CSS pixels)
//
//   cmake -S fuzz -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang
//   cmake --build build-fuzz --target server_render_fuzz
//   build-fuzz/server_render_fuzz -max_total_time=60 fuzz/corpus/server_render
#include <png.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "page/image.h"
#include "server/render.h"

#define CHECK(c)                    \
    do {                            \
        if (!(c)) __builtin_trap(); \
    } while (0)

namespace {

const uint8_t KEY[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

// A capture of w x h pixels: bands of colour with noise, so that pictures
// cut from it are neither flat nor all alike.
std::string capture_png(int w, int h)
{
    std::vector<uint8_t> rgb((size_t)w * h * 3);
    uint32_t r = 12345;
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            r = r * 1103515245u + 12345u;
            uint8_t* p = &rgb[((size_t)y * w + x) * 3];
            p[0] = uint8_t(x * 255 / (w > 1 ? w - 1 : 1));
            p[1] = uint8_t((y / 16) % 2 ? 200 : 40);
            p[2] = uint8_t((r >> 16) & 0x3F);
        }
    png_image im;
    memset(&im, 0, sizeof im);
    im.version = PNG_IMAGE_VERSION;
    im.width = (png_uint_32)w;
    im.height = (png_uint_32)h;
    im.format = PNG_FORMAT_RGB;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&im, nullptr, &size, 0, rgb.data(), 0, nullptr)) abort();
    std::string out(size, '\0');
    if (!png_image_write_to_memory(&im, &out[0], &size, 0, rgb.data(), 0, nullptr)) abort();
    out.resize(size);
    return out;
}

const std::string& capture(int w, int h)
{
    static std::map<std::pair<int, int>, std::string> made;
    auto key = std::make_pair(w, h);
    auto it = made.find(key);
    if (it == made.end()) it = made.emplace(key, capture_png(w, h)).first;
    return it->second;
}

int be16(const std::vector<uint8_t>& e, size_t at) { return (int16_t)(e[at] << 8 | e[at + 1]); }

// Reads the tag's arguments: numbers (lower-case hexadecimal, maybe signed)
// and words, as `shape` says ('n' number, 'w' word, 't' counted text whose
// count is the number before it). Returns the position after the ">".
size_t tag_args(const std::string& s, size_t pos, const char* shape, long* last_number)
{
    size_t head_start = pos;
    long count = -1;
    for (const char* k = shape; *k; k++) {
        CHECK(pos < s.size() && s[pos] == ' ');
        pos++;
        if (*k == 'n') {
            size_t start = pos;
            if (pos < s.size() && s[pos] == '-') pos++;
            size_t digits = pos;
            long v = 0;
            while (pos < s.size() && (isdigit((unsigned char)s[pos]) || (s[pos] >= 'a' && s[pos] <= 'f'))) {
                v = v * 16 + (isdigit((unsigned char)s[pos]) ? s[pos] - '0' : s[pos] - 'a' + 10);
                pos++;
                CHECK(pos - digits <= 8);
            }
            CHECK(pos > digits && pos > start);
            count = v;
            *last_number = s[start] == '-' ? -v : v;
        } else if (*k == 'w') {
            size_t start = pos;
            while (pos < s.size() && s[pos] != ' ' && s[pos] != '>') {
                CHECK((unsigned char)s[pos] > 0x20);
                pos++;
            }
            CHECK(pos > start);
        } else {  // counted text
            CHECK(pos - head_start < 1024);
            CHECK(count >= 0 && count <= 4096 && pos + (size_t)count <= s.size());
            pos += (size_t)count;
        }
    }
    CHECK(pos < s.size() && s[pos] == '>');
    CHECK(pos - head_start < 1024 || strchr(shape, 't'));
    return pos + 1;
}

// Walks a page stream body tag by tag; traps on anything the handheld could
// not read as the server meant it. Every picture it shows (IS) must be one
// the handheld holds (`held`, unless the body opens a new page) or one whose
// payload the body carries: else the picture would be missing.
void check_stream(const std::string& s, const std::set<uint32_t>& held)
{
    std::set<uint32_t> shown, sent;
    static const std::map<std::string, const char*> shapes = {
        {"BC", "nnn"},     {"FC", "nnn"},      {"SZ", "n"},        {"FR", "nnnn"},     {"CR", "nnnnn"},
        {"DL", "nnnnn"},   {"DS", "nnnnt"},    {"SW", "nn"},       {"sw", "nnn"},      {"SH", "nnnnnnn"},
        {"SV", "nnnnnnn"}, {"IM", "nnnnnn"},   {"IS", "nnnn"},     {"BT", "nnnnnwnt"}, {"CB", "nnnnnnw"},
        {"RB", "nnnnnnw"}, {"DM", "nnnnnw"},   {"LM", "nnnnnw"},   {"DI", "nwnt"},     {"LI", "nwnt"},
        {"TF", "nnnnnwnt"}, {"PF", "nnnnnwnt"}, {"TA", "nnnnnwnt"}, {"EN", "n"},        {"IE", ""},
        {"CL", ""},        {"ST", ""},         {"BU", ""},         {"KP", ""}};
    size_t pos = 0;
    std::vector<uint8_t> expanded;
    while (pos < s.size()) {
        CHECK(s[pos] == '<' && pos + 3 <= s.size());
        size_t code_end = pos + 1;
        while (code_end < s.size() && isalpha((unsigned char)s[code_end])) code_end++;
        std::string code = s.substr(pos + 1, code_end - pos - 1);
        auto it = shapes.find(code);
        CHECK(it != shapes.end());
        long last = 0;
        size_t after = tag_args(s, code_end, it->second, &last);
        if (code == "IS") {  // "<IS F id x y>"
            size_t id_at = s.find(' ', code_end + 1) + 1;
            shown.insert((uint32_t)strtoul(s.c_str() + id_at, nullptr, 16));
        }
        if (code == "IM") {
            CHECK(last >= 0 && after + (size_t)last <= s.size());
            size_t n = (size_t)last;
            CHECK(n >= 6);
            // Expanded by the handheld's own code into the room its ratio
            // byte promises (it fails when the expansion needs more).
            const BYTE* p = (const BYTE*)s.data() + after;
            expanded.assign((size_t)p[1] * n / 8, 0);
            LONG size = lz_expand(p + 2, (DWORD)(n - 2), expanded.data(), (DWORD)expanded.size());
            CHECK(size >= 16);
            int w = be16(expanded, 4), h = be16(expanded, 6);
            CHECK(w > 0 && h > 0 && (size_t)size == 16 + (size_t)w * h * 2);
            sent.insert((uint32_t)expanded[8] << 24 | (uint32_t)expanded[9] << 16 | (uint32_t)expanded[10] << 8 | expanded[11]);
            after += n;
            CHECK(s.compare(after, 4, "<IE>") == 0);
        } else if (code == "EN") {
            size_t len = (size_t)last >> 3;
            CHECK(len > 0 && len <= 4096);
            after += (len + 7) & ~(size_t)7;
            CHECK(after <= s.size());
        }
        pos = after;
    }
    for (uint32_t id : shown) CHECK(sent.count(id) || held.count(id));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::string error;
    if (!render_init(&error)) {
        fprintf(stderr, "render_init: %s\n", error.c_str());
        abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) return 0;
    uint8_t flags = data[0], scroll = data[1];
    nlohmann::json snapshot = nlohmann::json::parse(data + 2, data + size, nullptr, false);
    if (snapshot.is_discarded()) return 0;

    RenderInput in;
    in.snapshot = &snapshot;
    in.viewport.zoomed = flags & 1;
    if (in.viewport.zoomed) in.viewport.width = 480, in.viewport.height = 360;
    if (flags & 2) {
        // A dialog's text is the page's own: any text, of any length.
        auto it = snapshot.is_object() ? snapshot.find("notice") : snapshot.end();
        in.notice = snapshot.is_object() && it != snapshot.end() && it->is_string() ? it->get<std::string>()
                                                                                 : "Leave this page? <yes> & \"no\"";
    }
    in.key = KEY;
    in.new_page = true;
    nlohmann::json params = render_capture_params(snapshot, in.viewport);
    if (!params.is_null() && !(flags & 4)) {
        int w = in.viewport.width, h = in.viewport.height;
        switch ((flags >> 3) & 3) {
        case 1: w /= 2, h /= 2; break;
        case 2: w *= 2, h *= 2; break;
        case 3: w = h = 1; break;
        }
        in.capture_png = capture(w, h);
    }

    RenderImages images;
    RenderedPage first = render_page(in, images);
    check_stream(first.body, {});
    render_images_commit(images, first);

    // The same page as an update: scrolled, when asked, by moving every
    // document's scroll offset (what a scroll of the page changes).
    in.new_page = false;
    if ((flags & 32) && snapshot.is_object() && snapshot.contains("documents") && snapshot["documents"].is_array()) {
        for (auto& doc : snapshot["documents"]) {
            if (!doc.is_object()) continue;
            auto at = doc.find("scrollOffsetY");
            double y = at != doc.end() && at->is_number() ? at->get<double>() : 0.0;
            doc["scrollOffsetY"] = y + scroll;
        }
    }
    RenderedPage again = render_page(in, images);
    check_stream(again.body, again.cut ? std::set<uint32_t>() : std::set<uint32_t>(images.ids.begin(), images.ids.end()));
    if (!(flags & 32) && !again.cut) CHECK(again.signature == first.signature);
    return 0;
}
