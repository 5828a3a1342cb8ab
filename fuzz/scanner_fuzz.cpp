// Fuzz target: the network loop's tag scanner, fed the stream in chunks of
// every size. Whatever the chunks, the page file, the tags the scanner acts
// on and its final state must be those of the stream fed whole. For a stream
// of well-formed tags (made from the input by the generator below, with
// texts and payloads full of "<" and ">", and scrambled blocks), the scanner
// must find exactly the tags the generator wrote, and the interpreter
// reading the file must find the same ones, plus those inside the blocks.
//
// Input: one byte of switches, then
//   bit 0 clear: the stream itself (raw bytes);
//   bit 0 set:   a recipe for the generator.
// The chunk sizes come from a generator seeded with the input.
#include <algorithm>
#include <string>
#include <vector>

#include "fuzz/fuzz_device.h"
#include "net/framing.h"
#include "net/netloop.h"
#include "net/xtea.h"
#include "page/lists.h"
#include "page/image.h"
#include "page/page.h"
#include "page/parser.h"

namespace {

struct Seen {
    long start;
    char a, b;
    bool operator==(const Seen& o) const { return start == o.start && a == o.a && b == o.b; }
};

std::vector<Seen> scanned;
std::vector<long> parsed;

void on_scanned(long start, char a, char b) { scanned.push_back({start, a, b}); }
void on_parsed(long start, long) { parsed.push_back(start); }

struct Outcome {
    std::string file;
    std::vector<Seen> tags;
    int state;
    int32_t skip;
    int redraw;
    BYTE loading;
};

std::string page_file() {
    std::string s;
    FILE* f = ::fopen(fuzz_host("/cv/kivo.txt").c_str(), "rb");
    if (!f) return s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    fclose(f);
    return s;
}

// Feeds the stream in chunks (0: one chunk) and reports what came of it.
Outcome feed(const std::string& stream, FuzzRng* rng) {
    fuzz_put("/cv/kivo.txt", "", 0);
    net_scanner_reset();
    app.redraw_pending = 0;
    app.loading = 1;
    app.awaiting_page = 1;
    scanned.clear();
    net_tag_observer = on_scanned;
    for (size_t i = 0; i < stream.size();) {
        size_t n = stream.size() - i;
        if (rng) {
            uint32_t pick = rng->below(4);
            size_t want = pick == 0 ? 1 : pick == 1 ? 1 + rng->below(8) : pick == 2 ? 1 + rng->below(200) : 4095;
            if (want < n) n = want;
        } else if (n > 4095) {
            n = 4095;
        }
        net_write_chunk(stream.data() + i, (int)n);
        i += n;
    }
    net_tag_observer = nullptr;
    return Outcome{page_file(), scanned, scanner.state, scanner.skip, app.redraw_pending, app.loading};
}

// ---- the generator: well-formed tags from a recipe ----

struct Recipe {
    const uint8_t* p;
    size_t left;
    uint32_t byte() {
        if (!left) return 0;
        left--;
        return *p++;
    }
    bool done() const { return left == 0; }
};

struct Stream {
    std::string bytes;
    std::vector<Seen> outer;    // tags the scanner must find
    std::vector<long> inner;    // tags only the interpreter finds (inside blocks)
};

std::string hex(uint32_t v) {
    char b[16];
    snprintf(b, sizeof b, "%x", v);
    return b;
}

uint32_t number(Recipe& r) {
    uint32_t kind = r.byte() % 4;
    if (kind == 0) return r.byte();
    if (kind == 1) return r.byte() << 4 | (r.byte() & 15);
    if (kind == 2) return r.byte() << 24 | r.byte() << 16 | r.byte() << 8 | r.byte();
    return (r.byte() % 3) * 0x11;  // 0, 0x11 (a scroll bar's thickness), 0x22
}

std::string name(Recipe& r) {
    uint32_t n = 1 + r.byte() % 12;
    std::string s;
    for (uint32_t i = 0; i < n; i++) s += (char)('a' + r.byte() % 26);
    return s;
}

// Bytes of a text or payload: anything, "<" and ">" included.
std::string bytes(Recipe& r, uint32_t n) {
    std::string s;
    for (uint32_t i = 0; i < n; i++) {
        uint32_t b = r.byte();
        s += (char)(b % 5 == 0 ? '<' : b % 5 == 1 ? '>' : b);
    }
    return s;
}

void add(Stream* s, const std::string& tag, bool outer) {
    if (outer) s->outer.push_back({(long)s->bytes.size(), tag[1], tag[2]});
    else s->inner.push_back((long)s->bytes.size());
    s->bytes += tag;
}

// One tag (or stretch of text between tags) into s.
void generate_one(Recipe& r, Stream* s, bool outer, int depth) {
    static const char* const plain[] = {"BC", "FC", "SZ", "FR", "CR", "DL", "SH", "SV", "IS", "ST",
                                        "SS", "KP", "BU", "IE", "QQ", "SW", "CB", "RB", "DM", "LM"};
    uint32_t op = r.byte() % 9;
    switch (op) {
    case 0: {  // text between tags: no "<"
        uint32_t n = r.byte() % 40;
        for (uint32_t i = 0; i < n; i++) {
            char c = (char)r.byte();
            s->bytes += c == '<' ? ' ' : c;
        }
        break;
    }
    case 1:
    case 2: {  // a tag of numbers (and a name for the form tags)
        const char* code = plain[r.byte() % (sizeof plain / sizeof plain[0])];
        std::string t = std::string("<") + code;
        uint32_t args = r.byte() % 8;
        for (uint32_t i = 0; i < args; i++) t += " " + hex(number(r));
        if (code[0] == 'C' || code[0] == 'R' || code[1] == 'M') t += " " + name(r);
        add(s, t + ">", outer);
        break;
    }
    case 3: {  // DS: counted text
        uint32_t n = r.byte() % 64;
        add(s, "<DS " + hex(number(r)) + " " + hex(number(r)) + " " + hex(number(r)) + " " + hex(n) + " " +
                   bytes(r, n) + ">",
            outer);
        break;
    }
    case 4: {  // BT, TF, PF, TA
        static const char* const codes[] = {"BT", "TF", "PF", "TA"};
        uint32_t n = r.byte() % 64;
        std::string t = std::string("<") + codes[r.byte() % 4];
        for (int i = 0; i < 5; i++) t += " " + hex(number(r));
        add(s, t + " " + name(r) + " " + hex(n) + " " + bytes(r, n) + ">", outer);
        break;
    }
    case 5: {  // DI, LI
        uint32_t n = r.byte() % 32;
        add(s, std::string(r.byte() % 2 ? "<DI " : "<LI ") + hex(r.byte() % 2) + " " + name(r) + " " + hex(n) + " " +
                   bytes(r, n) + ">",
            outer);
        break;
    }
    case 6: {  // IM with its payload, then IE
        uint32_t n = r.byte() % 2 ? r.byte() % 64 : 0;
        std::string t = "<IM " + hex(number(r)) + " 0 0 " + hex(number(r)) + " " + hex(number(r)) + " " + hex(n) + ">";
        add(s, t, outer);
        s->bytes += bytes(r, n);
        add(s, "<IE>", outer);
        break;
    }
    case 7: {  // EN: a scrambled block of tags
        if (depth > 0 || !outer) break;
        Stream plain_tags;
        uint32_t count = 1 + r.byte() % 4;
        for (uint32_t i = 0; i < count && !r.done(); i++) generate_one(r, &plain_tags, false, depth + 1);
        std::string text = plain_tags.bytes;
        if (text.empty() || text.size() > 1000) break;
        uint32_t variant = r.byte() & 7;
        std::vector<unsigned char> block(text.begin(), text.end());
        block.resize((text.size() + 7) & ~(size_t)7, 0);
        unsigned char key[16];
        memcpy(key, working_key, 16);
        key[2] = (unsigned char)variant;
        xtea_encipher_buffer(block.data(), (int)block.size(), key);
        std::string tag = "<EN " + hex((uint32_t)text.size() * 8 + variant) + ">";
        add(s, tag, true);
        long at = (long)s->bytes.size();
        for (long t : plain_tags.inner) s->inner.push_back(at + t);
        s->bytes.append((const char*)block.data(), block.size());
        break;
    }
    default:
        break;
    }
}

Stream generate(Recipe r) {
    Stream s;
    s.bytes = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n";
    while (!r.done() && s.bytes.size() < 20000) generate_one(r, &s, true, 0);
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_device_on();
    page_lists_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    app.page_file_path = "/cv/kivo.txt";
    app.typed_url = nullptr;
    bool structured = data[0] & 1;
    std::string stream;
    Stream made;
    if (structured) {
        made = generate(Recipe{data + 1, size - 1});
        stream = made.bytes;
    } else {
        stream.assign((const char*)data + 1, size - 1);
        // The early draw (an image after a page cut in one chunk) depends on
        // the chunks by design: no page cuts here.
        for (size_t i = 0; i + 1 < stream.size(); i++)
            if (stream[i] == 'C' && stream[i + 1] == 'L') stream[i + 1] = 'X';
    }

    Outcome whole = feed(stream, nullptr);
    FuzzRng rng(fuzz_hash(data, size));
    Outcome pieces = feed(stream, &rng);
    if (whole.file != pieces.file) abort();
    if (!(whole.tags == pieces.tags)) abort();
    if (whole.state != pieces.state || whole.skip != pieces.skip) abort();
    if (whole.redraw != pieces.redraw || whole.loading != pieces.loading) abort();

    if (structured) {
        // The scanner finds exactly the tags that were written, and nothing
        // inside texts, payloads or blocks; the file holds every byte.
        if (whole.file != stream) abort();
        if (!(whole.tags == made.outer)) abort();
        if (whole.state != 0 || whole.skip != 0) abort();
        // The interpreter finds them too, and the tags inside the blocks
        // (a block is rewritten as plain text of the same length).
        parsed.clear();
        parser_tag_observer = on_parsed;
        gfx.off_available = 0;
        gfx.frame = (char*)GXBeginDraw();
        page_draw(0, 0);
        parser_tag_observer = nullptr;
        GXEndDraw();
        std::vector<long> want;
        for (const Seen& t : made.outer) want.push_back(t.start);
        want.insert(want.end(), made.inner.begin(), made.inner.end());
        std::sort(want.begin(), want.end());
        // The full pass reads each tag once (a page with images reads it
        // again in the image and redraw passes).
        std::vector<long> first;
        for (long p : parsed) {
            if (!first.empty() && p <= first.back()) break;
            first.push_back(p);
        }
        if (first != want) abort();
        page_lists_free();
        page_images_release();
    }
    for (char*& h : app.history) {
        free(h);
        h = nullptr;
    }
    return 0;
}
