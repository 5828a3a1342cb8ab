// pagec: compiles a page source into a page-stream file.
//
//   pagec [--key HEX32] [--links FILE] [--stored] [--cut] SOURCE OUTPUT
//
// --cut puts a page cut (CL) right after the header lines, as a server does
// when it answers with a new page on a connection that already carried one;
// --stored writes every picture uncompressed; --links writes the link areas
// ("x y w h target" in page units, one a line) for a server stand-in.
//
// A source holds one statement per line; "#" starts a comment line. Numbers
// are decimal page units (the server's 640 by 480 layout; the device shows
// half of them), or hexadecimal with 0x. Colours are #rrggbb.
//
//   header                      open with HTTP response header lines
//   page                        the standard opening: frame 3, strips, white
//                               background, black text, page-sized fill
//   frame [NAME] X Y W H        FR (a NAME stands for its number later)
//   bg #rrggbb                  BC            fg #rrggbb       FC
//   size N                      SZ
//   rect F X Y W H              CR (background colour)
//   line F X0 Y0 X1 Y1          DL            box F X Y W H    four DL
//   text F X Y TEXT...          DS, the text counted in UTF-8 bytes
//   image NAME FILE [transparent] [stored]   declares a picture (PNG)
//   show F NAME X Y             IS; the payload follows at the end
//   hbar F X Y W POS LEN        SH            vbar F X Y H POS LEN   SV
//   strips F                    sw F 0 0      clear                  SW 0 0
//   button F X Y W H NAME LABEL...            BT
//   checkbox|radio F X Y W H CHECKED NAME     CB, RB
//   dropdown|listbox F X Y W H NAME           DM, LM
//   item|litem SELECTED LIST LABEL...         DI, LI
//   textfield|password|textarea F X Y W H NAME [TEXT...]   TF, PF, TA
//   link X Y W H TARGET         a link area (written to the --links file)
//   raw TEXT...                 the text as it stands
//   cut                         CL
//   encipher VARIANT / end-encipher   statements between go into an EN block
//   end                         the image payloads, then ST
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "imageenc.h"
#include "net/key.h"
#include "pagewriter.h"

struct Picture {
    std::string file;
    bool transparent = false;
    bool stored = false;
    uint32_t id = 0;
    bool shown = false;
    uint32_t frame = 3;
    long x = 0, y = 0;
};

struct Compiler {
    std::string dir;
    std::string body;
    std::string* out = &body;
    std::string block;  // statements of an EN block
    int block_variant = -1;
    bool header = false;
    bool all_stored = false;
    bool cut = false;
    uint8_t key[16];
    std::map<std::string, Picture> pictures;
    std::map<std::string, uint32_t> frames;  // named frames
    std::vector<std::string> order;
    std::string links;
    int line_no = 0;
    std::string source;
};

[[noreturn]] static void fail(const Compiler& c, const std::string& msg) {
    fprintf(stderr, "%s:%d: %s\n", c.source.c_str(), c.line_no, msg.c_str());
    exit(1);
}

static long number(const Compiler& c, const std::string& s) {
    auto named = c.frames.find(s);
    if (named != c.frames.end()) return (long)named->second;
    char* end = nullptr;
    long v = strtol(s.c_str(), &end, 0);
    if (s.empty() || *end) fail(c, "not a number: " + s);
    return v;
}

static void colour(const Compiler& c, const std::string& s, int rgb[3]) {
    if (s.size() != 7 || s[0] != '#') fail(c, "colour must be #rrggbb: " + s);
    long v = strtol(s.c_str() + 1, nullptr, 16);
    rgb[0] = (int)(v >> 16) & 0xFF;
    rgb[1] = (int)(v >> 8) & 0xFF;
    rgb[2] = (int)v & 0xFF;
}

// The rest of the line after n words, as written (spaces kept).
static std::string rest(const std::string& line, int n) {
    size_t p = 0;
    for (int i = 0; i < n; i++) {
        while (p < line.size() && line[p] == ' ') p++;
        while (p < line.size() && line[p] != ' ') p++;
    }
    if (p < line.size() && line[p] == ' ') p++;
    return line.substr(p);
}

static void need(const Compiler& c, const std::vector<std::string>& w, size_t n) {
    if (w.size() < n) fail(c, "'" + w[0] + "' needs " + std::to_string(n - 1) + " arguments");
}

static void payloads(Compiler& c) {
    for (const std::string& name : c.order) {
        Picture& p = c.pictures[name];
        if (!p.shown) continue;
        RasterImage img;
        std::string err;
        if (!ie_load_png(p.file, &img, &err)) fail(c, err);
        std::vector<uint16_t> px = ie_to_rgb565(img, p.transparent);
        std::vector<uint8_t> e = ie_expanded(px, img.width, img.height, p.id, p.transparent);
        std::vector<uint8_t> payload = ie_payload(e, p.stored || c.all_stored ? IMAGE_STORED : IMAGE_COMPRESSED);
        pw_im(*c.out, p.frame, p.x, p.y, img.width * 2, img.height * 2, payload);
    }
}

static void statement(Compiler& c, const std::string& line) {
    std::vector<std::string> w;
    std::istringstream in(line);
    for (std::string s; in >> s;) w.push_back(s);
    if (w.empty() || w[0][0] == '#') return;
    const std::string& op = w[0];
    auto N = [&](size_t i) { return number(c, w[i]); };
    std::string& o = *c.out;
    if (op == "header") {
        c.header = true;
    } else if (op == "page") {
        pw_fr(o, 0, 0, 640, 480);
        pw_sw_frame(o, 3, 0, 0);
        pw_bc(o, 255, 255, 255);
        pw_fc(o, 0, 0, 0);
        pw_cr(o, 3, 0, 0, 0, 0);
        pw_cr(o, 3, 0, 0, 620, 460);
    } else if (op == "frame") {
        // frame [NAME] X Y W H: a name stands for the frame's number later.
        size_t a = 1;
        if (w.size() > 1 && !isdigit((unsigned char)w[1][0]) && w[1][0] != '-') a = 2;
        need(c, w, a + 4);
        pw_fr(o, N(a), N(a + 1), N(a + 2), N(a + 3));
        if (a == 2) c.frames[w[1]] = pw_frame_number(N(2), N(3), N(4), N(5));
    } else if (op == "bg" || op == "fg") {
        need(c, w, 2);
        int rgb[3];
        colour(c, w[1], rgb);
        if (op == "bg") pw_bc(o, rgb[0], rgb[1], rgb[2]);
        else pw_fc(o, rgb[0], rgb[1], rgb[2]);
    } else if (op == "size") {
        need(c, w, 2);
        pw_sz(o, N(1));
    } else if (op == "rect") {
        need(c, w, 6);
        pw_cr(o, (uint32_t)N(1), N(2), N(3), N(4), N(5));
    } else if (op == "line") {
        need(c, w, 6);
        pw_dl(o, (uint32_t)N(1), N(2), N(3), N(4), N(5));
    } else if (op == "box") {
        need(c, w, 6);
        uint32_t f = (uint32_t)N(1);
        long x = N(2), y = N(3), x1 = N(2) + N(4), y1 = N(3) + N(5);
        pw_dl(o, f, x, y, x1, y);
        pw_dl(o, f, x1, y, x1, y1);
        pw_dl(o, f, x, y1, x1, y1);
        pw_dl(o, f, x, y, x, y1);
    } else if (op == "text") {
        need(c, w, 5);
        pw_ds(o, (uint32_t)N(1), N(2), N(3), rest(line, 4));
    } else if (op == "image") {
        need(c, w, 3);
        Picture p;
        p.file = w[2][0] == '/' ? w[2] : c.dir + "/" + w[2];
        for (size_t i = 3; i < w.size(); i++) {
            if (w[i] == "transparent") p.transparent = true;
            else if (w[i] == "stored") p.stored = true;
            else fail(c, "unknown image option " + w[i]);
        }
        p.id = ie_image_id(w[1]);
        if (!c.pictures.count(w[1])) c.order.push_back(w[1]);
        c.pictures[w[1]] = p;
    } else if (op == "show") {
        need(c, w, 5);
        if (!c.pictures.count(w[2])) fail(c, "no image named " + w[2]);
        Picture& p = c.pictures[w[2]];
        if (!p.shown) {
            p.shown = true;
            p.frame = (uint32_t)N(1);
            p.x = N(3);
            p.y = N(4);
        }
        pw_is(o, (uint32_t)N(1), p.id, N(3), N(4));
    } else if (op == "hbar") {
        need(c, w, 7);
        pw_sh(o, (uint32_t)N(1), N(2), N(3), N(4), N(5), N(6));
    } else if (op == "vbar") {
        need(c, w, 7);
        pw_sv(o, (uint32_t)N(1), N(2), N(3), N(4), N(5), N(6));
    } else if (op == "strips") {
        need(c, w, 2);
        pw_sw_frame(o, (uint32_t)N(1), 0, 0);
    } else if (op == "clear") {
        pw_sw(o, 0, 0);
    } else if (op == "button") {
        need(c, w, 8);
        pw_bt(o, (uint32_t)N(1), N(2), N(3), N(4), N(5), w[6], rest(line, 7));
    } else if (op == "checkbox" || op == "radio") {
        need(c, w, 8);
        pw_check(o, op == "radio" ? "RB" : "CB", (uint32_t)N(1), N(2), N(3), N(4), N(5), (int)N(6), w[7]);
    } else if (op == "dropdown" || op == "listbox") {
        need(c, w, 7);
        pw_list(o, op == "dropdown" ? "DM" : "LM", (uint32_t)N(1), N(2), N(3), N(4), N(5), w[6]);
    } else if (op == "item" || op == "litem") {
        need(c, w, 3);
        pw_item(o, op == "item" ? "DI" : "LI", (int)N(1), w[2], rest(line, 3));
    } else if (op == "textfield" || op == "password" || op == "textarea") {
        need(c, w, 7);
        const char* code = op == "textfield" ? "TF" : op == "password" ? "PF" : "TA";
        pw_field(o, code, (uint32_t)N(1), N(2), N(3), N(4), N(5), w[6], rest(line, 7));
    } else if (op == "link") {
        need(c, w, 6);
        c.links += std::to_string(N(1)) + " " + std::to_string(N(2)) + " " + std::to_string(N(3)) + " " +
                   std::to_string(N(4)) + " " + w[5] + "\n";
    } else if (op == "raw") {
        o += rest(line, 1);
    } else if (op == "cut") {
        pw_cl(o);
    } else if (op == "encipher") {
        need(c, w, 2);
        if (c.block_variant >= 0) fail(c, "encipher blocks do not nest");
        c.block_variant = (int)N(1);
        c.block.clear();
        c.out = &c.block;
    } else if (op == "end-encipher") {
        if (c.block_variant < 0) fail(c, "end-encipher without encipher");
        c.out = &c.body;
        pw_en(c.body, c.block, c.key, c.block_variant);
        c.block_variant = -1;
    } else if (op == "end") {
        payloads(c);
        pw_st(*c.out);
    } else {
        fail(c, "unknown statement " + op);
    }
}

static int hexval(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

int main(int argc, char** argv) {
    Compiler c;
    memcpy(c.key, CV_BASE_KEY, 16);
    std::string links_path;
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--key" && i + 1 < argc) {
            std::string k = argv[++i];
            if (k.size() != 32) {
                fprintf(stderr, "pagec: --key takes 32 hexadecimal digits\n");
                return 2;
            }
            for (int j = 0; j < 16; j++) {
                int hi = hexval(k[2 * j]), lo = hexval(k[2 * j + 1]);
                if (hi < 0 || lo < 0) {
                    fprintf(stderr, "pagec: bad key digit\n");
                    return 2;
                }
                c.key[j] = (uint8_t)(hi * 16 + lo);
            }
        } else if (a == "--links" && i + 1 < argc) {
            links_path = argv[++i];
        } else if (a == "--cut") {
            c.cut = true;
        } else if (a == "--stored") {
            c.all_stored = true;
        } else {
            files.push_back(a);
        }
    }
    if (files.size() != 2) {
        fprintf(stderr, "usage: pagec [--key HEX32] [--links FILE] [--stored] [--cut] SOURCE OUTPUT\n");
        return 2;
    }
    c.source = files[0];
    size_t slash = c.source.find_last_of('/');
    c.dir = slash == std::string::npos ? "." : c.source.substr(0, slash);
    std::ifstream src(c.source);
    if (!src) {
        fprintf(stderr, "pagec: cannot read %s\n", c.source.c_str());
        return 1;
    }
    for (std::string line; std::getline(src, line);) {
        c.line_no++;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        statement(c, line);
    }
    if (c.block_variant >= 0) fail(c, "encipher block not ended");
    std::string body = c.cut ? "<CL>" + c.body : c.body;
    std::string page;
    if (c.header) pw_http_header(page, body.size());
    page += body;
    FILE* f = fopen(files[1].c_str(), "wb");
    if (!f || fwrite(page.data(), 1, page.size(), f) != page.size() || fclose(f) != 0) {
        fprintf(stderr, "pagec: cannot write %s\n", files[1].c_str());
        return 1;
    }
    if (!links_path.empty()) {
        FILE* l = fopen(links_path.c_str(), "w");
        if (!l) return 1;
        fputs(c.links.c_str(), l);
        fclose(l);
    }
    return 0;
}
