// The page stream interpreter: reads the page file from its start, executes
// its tags, and presents the page drawn off-screen.
#include "page/parser.h"

#include <stdlib.h>
#include <string.h>

#include "gfx/fb.h"
#include "net/framing.h"
#include "net/xtea.h"
#include "page/formtags.h"
#include "page/frames.h"
#include "page/image.h"
#include "page/page.h"
#include "page/rewrite.h"
#include "page/scan.h"
#include "shell/app.h"
#include "shell/datafiles.h"
#include "ui/ui.h"

PageParser parser;
void (*parser_tag_observer)(long start, long resume);

LONG page_scale(int64_t v) {
    // Worked in 64 bits: the zoomed 2v + 1 of a 32-bit value, or a sum of two
    // page values, does not fit in 32.
    int64_t s = zoom_mode ? (2 * v + 1) / 3 : (v + 1) / 2;
    if (s > PAGE_PIXEL_LIMIT) return PAGE_PIXEL_LIMIT;
    if (s < -PAGE_PIXEL_LIMIT) return -PAGE_PIXEL_LIMIT;
    return (LONG)s;
}

LONG page_sum(int64_t a, int64_t b) {
    int64_t s = a + b;
    if (s > 0x7FFFFFFF) return 0x7FFFFFFF;
    if (s < -0x7FFFFFFF - 1) return -0x7FFFFFFF - 1;
    return (LONG)s;
}

DWORD parser_background() {
    return parser.background[0] | (parser.background[1] << 8) | ((DWORD)parser.background[2] << 16);
}

int parser_skip_words(const char* tag, int k) {
    int pos = 0;
    for (int i = 0; i < k; i++) {
        // A word ends at a space, or at position 80 at the latest; the end of
        // the tag also ends it so that a short tag is never read past.
        while (pos < PARSER_WORD_LIMIT && tag[pos] != ' ' && tag[pos] != 0) pos++;
        if (tag[pos] == 0) return pos;
        pos++;
    }
    return pos;
}

int parser_counted_text(int k, DWORD n) {
    int start = parser_skip_words(parser.tag, k);
    DWORD avail = start < parser.tag_len ? (DWORD)(parser.tag_len - start) : 0;
    parser.text_len = 0;
    parser.text[0] = 0;
    if (n > PARSER_TEXT_MAX) {
        // Malformed: pass over the text as the network loop does, without
        // keeping it, so the stream stays in step.
        if (avail < n) fseek(parser.file, (long)(n - avail), SEEK_CUR);
        return 0;
    }
    // The text held ">" and the tag ended early: its rest follows in the file.
    while (avail < n) {
        int c = getc(parser.file);
        if (c == EOF) break;
        parser.tag[parser.tag_len++] = (char)c;
        avail++;
    }
    parser.tag[parser.tag_len] = 0;
    memset(parser.text, 0, sizeof parser.text);
    DWORD take = avail < n ? avail : n;
    memcpy(parser.text, parser.tag + start, take);
    parser.text_len = n;
    return 1;
}

void parser_read_name(int k, char* out, int size) {
    int pos = parser_skip_words(parser.tag, k);
    int i = 0;
    while (i < size - 1 && pos < parser.tag_len && parser.tag[pos] != '>' && parser.tag[pos] != 0)
        out[i++] = parser.tag[pos++];
    out[i] = 0;
}

void utf8_to_utf16(const char* in, DWORD n, WCHAR* out) {
    const BYTE* s = (const BYTE*)in;
    memset(out, 0, (n + 1) * sizeof(WCHAR));
    DWORD i = 0, o = 0;
    while (i < n) {
        BYTE b0 = s[i];
        if (b0 < 0x80) {
            out[o++] = b0;
            i++;
        } else if (b0 < 0xC0) {  // a continuation byte where a character starts
            out[o++] = '?';
            i++;
        } else if (b0 < 0xE0) {
            BYTE b1 = i + 1 < n ? s[i + 1] : 0x80;
            out[o++] = (WCHAR)((b0 - 0xC0) * 64 + (b1 - 0x80));
            i += 2;
        } else if (b0 < 0xF0) {
            BYTE b1 = i + 1 < n ? s[i + 1] : 0x80;
            BYTE b2 = i + 2 < n ? s[i + 2] : 0x80;
            out[o++] = (WCHAR)(((b0 * 4096) + ((b1 - 0x80) * 64) + (b2 - 0x80)) & 0xFFFF);
            i += 3;
        } else {
            // No character: its code unit stays 0 and ends the text there.
            o++;
            i++;
        }
    }
}

WCHAR* parser_text_utf16() {
    WCHAR* w = (WCHAR*)malloc((parser.text_len + 1) * sizeof(WCHAR));
    if (w) utf8_to_utf16(parser.text, parser.text_len, w);
    return w;
}

// Reads the next complete tag into the tag buffer. 0 at the end of the file.
static int read_tag(FILE* f) {
    int c;
    for (;;) {
        do {
            c = getc(f);
            if (c == EOF) return 0;
        } while (c != '<');
        int len = 0;
        parser.tag[len++] = '<';
        for (;;) {
            c = getc(f);
            if (c == EOF) return 0;
            parser.tag[len++] = (char)c;
            if (len >= PARSER_TAG_LIMIT) break;  // too long: dropped, scanning goes on from here
            if (c == '>') {
                parser.tag[len] = 0;
                parser.tag_len = len;
                return 1;
            }
        }
    }
}

// Selects the off-screen buffer inside a short bracket. 0 when the bracket
// could not be opened.
static int select_offscreen() {
    char* screen = (char*)GXBeginDraw();
    if (!screen) return 0;
    gfx.frame = screen;
    gfx_select_target(1);
    GXEndDraw();
    return 1;
}

// In a bracket: copies the off-screen page to the screen when something was
// drawn, and makes the screen the target again.
static void present_and_leave(BYTE drawn) {
    char* screen = (char*)GXBeginDraw();
    if (!screen) return;
    // The bracket's screen address is where the page goes; drawing stays
    // off-screen until the target is switched back.
    gfx.off_saved_screen = screen;
    gfx.frame = gfx.off_active ? gfx.off_origin : screen;
    if (drawn) gfx_present();
    gfx_select_target(0);
    GXEndDraw();
}

// Scrambled block: deciphers it, rewrites it in the file as plain text and
// goes on reading there.
static void execute_en() {
    unsigned v = 0;
    page_scan(parser.tag, "<EN %x>", &v);
    working_key[2] = (BYTE)(v & 7);
    DWORD l = v >> 3;
    DWORD b = (l + 7) & ~7u;
    if (l == 0) return;
    FILE* f = parser.file;
    long p = ftell(f);
    long tag_at = p - parser.tag_len;
    fseek(f, 0, SEEK_END);
    long size = ftell(f);
    if (size - p < (long)b) return;  // completed by later data; the rest waits
    fseek(f, p, SEEK_SET);
    BYTE* buf = (BYTE*)calloc(b + 8, 1);
    if (!buf) {  // out of memory: the block is passed over
        fseek(f, p + (long)b, SEEK_SET);
        return;
    }
    if (fread(buf, 1, b, f) != b) {
        free(buf);
        return;
    }
    BYTE* cipher = (BYTE*)malloc(b);
    if (!cipher) {  // out of memory: the block is passed over
        free(buf);
        fseek(f, p + (long)b, SEEK_SET);
        return;
    }
    memcpy(cipher, buf, b);
    xtea_decipher_buffer(buf, (int)b, working_key);
    int url = l > 6 && memcmp(buf, "<URL ", 5) == 0;
    if (url) {
        // The address of the page being sent: into the history once (below,
        // when the file holds it as the inert code UR).
        DWORD i = 0;
        // The address ends before the tag's ">" (more tags may follow it).
        while (i < l - 6 && i < PARSER_TEXT_MAX && buf[5 + i] != ' ' && buf[5 + i] != 0 && buf[5 + i] != '>') {
            parser.text[i] = (char)buf[5 + i];
            i++;
        }
        parser.text[i] = 0;
        buf[3] = 'R';
    }
    for (DWORD i = l; i < b; i++) buf[i] = ' ';
    fclose(f);
    parser.file = nullptr;
    // The plain text first, then the mark that it is plain (EE). A write
    // that falls short leaves the tag unmarked, and the ciphertext is put
    // back where the medium allows it.
    FILE* w = fopen(app.page_file_path, "r+b");
    int rewritten = 0;
    if (w) {
        rewritten = fseek(w, p, SEEK_SET) == 0 && fwrite(buf, 1, b, w) == b && fflush(w) == 0;
        if (rewritten) {
            rewritten = fseek(w, tag_at + 2, SEEK_SET) == 0 && fputc('E', w) != EOF && fflush(w) == 0;
        } else if (fseek(w, p, SEEK_SET) == 0) {
            fwrite(cipher, 1, b, w);
        }
        if (fclose(w) != 0) rewritten = 0;
    }
    // Only a block rewritten for good enters the history: one that stays
    // enciphered is met again by the next drawing.
    if (rewritten && url) history_push(parser.text);
    free(cipher);
    free(buf);
    parser.file = fopen(app.page_file_path, "rb");
    if (!parser.file) return;
    // A file that could not be rewritten: the block cannot be read as plain
    // text here, so it is passed over.
    fseek(parser.file, rewritten ? p : p + (long)b, SEEK_SET);
}

// Form-control tags: their counted text or name is consumed here so that the
// stream stays in step; the controls themselves are built by formtags.
static void execute_form(WORD code) {
    unsigned a[8] = {0};
    char word[PARSER_NAME_SIZE];
    int ok = 1;
    switch (code) {
    case TAG_CODE('B', 'T'):
    case TAG_CODE('T', 'F'):
    case TAG_CODE('P', 'F'):
    case TAG_CODE('T', 'A'): {
        char fmt[] = "<BT %x %x %x %x %x %255s %x";
        fmt[1] = (char)(code >> 8);
        fmt[2] = (char)code;
        if (page_scan(parser.tag, fmt, &a[0], &a[1], &a[2], &a[3], &a[4], word, &a[5]) < 7) a[5] = 0;
        ok = parser_counted_text(8, a[5]);
        break;
    }
    case TAG_CODE('D', 'I'):
    case TAG_CODE('L', 'I'): {
        char fmt[] = "<DI %x %255s %x";
        fmt[1] = (char)(code >> 8);
        fmt[2] = (char)code;
        if (page_scan(parser.tag, fmt, &a[0], word, &a[1]) < 3) a[1] = 0;
        ok = parser_counted_text(4, a[1]);
        break;
    }
    case TAG_CODE('C', 'B'):
        parser_read_name(7, parser.name, sizeof parser.name);
        break;
    case TAG_CODE('R', 'B'):
        parser_read_name(7, parser.radio_group, sizeof parser.radio_group);
        break;
    case TAG_CODE('D', 'M'):
    case TAG_CODE('L', 'M'):
        parser_read_name(6, parser.name, sizeof parser.name);
        break;
    }
    if (ok) formtags_execute(code);
}

// Page start: a white page without records.
static void page_start() {
    parser.work_top = 0;
    parser.work_left = 0;
    parser.work_bottom = 239;
    parser.work_right = 319;
    parser.background[0] = parser.background[1] = parser.background[2] = 255;
    if (gfx.frame) {
        Rect all = {0, 0, 239, 319};
        gfx_set_clip(0, 0, 239, 319);  // whatever clip the last drawing left
        gfx_fill_rect(&all, COLOUR_WHITE);
    }
    page_controls_free();
    frames_free();
    scrollbars_free();
    parser.button_serial = 0;
    parser.radio_group[0] = 0;
}

static void dispatch(WORD code) {
    switch (code) {
    case TAG_CODE('B', 'C'): frames_tag_bc(); break;
    case TAG_CODE('F', 'C'): frames_tag_fc(); break;
    case TAG_CODE('S', 'Z'): frames_tag_sz(); break;
    case TAG_CODE('F', 'R'): frames_tag_fr(); break;
    case TAG_CODE('C', 'R'): frames_tag_cr(); break;
    case TAG_CODE('D', 'L'): frames_tag_dl(); break;
    case TAG_CODE('D', 'S'): frames_tag_ds(); break;
    case TAG_CODE('S', 'W'): frames_tag_sw(); break;
    case TAG_CODE('s', 'w'): frames_tag_sw_frame(); break;
    case TAG_CODE('S', 'H'): frames_tag_scrollbar('H'); break;
    case TAG_CODE('S', 'V'): frames_tag_scrollbar('V'); break;
    case TAG_CODE('I', 'M'): image_tag_im(); break;
    case TAG_CODE('I', 'S'): image_tag_is(); break;
    case TAG_CODE('N', 'O'): {
        // An image set aside during the early draw: its payload is still
        // arriving. Its bytes are passed over, never taken for tags.
        unsigned v[5], n = 0;
        if (page_scan(parser.tag, "<NO %x %x %x %x %x %x>", &v[0], &v[1], &v[2], &v[3], &v[4], &n) == 6)
            fseek(parser.file, (long)n, SEEK_CUR);
        break;
    }
    case TAG_CODE('B', 'T'):
    case TAG_CODE('C', 'B'):
    case TAG_CODE('R', 'B'):
    case TAG_CODE('D', 'M'):
    case TAG_CODE('L', 'M'):
    case TAG_CODE('D', 'I'):
    case TAG_CODE('L', 'I'):
    case TAG_CODE('T', 'F'):
    case TAG_CODE('P', 'F'):
    case TAG_CODE('T', 'A'): execute_form(code); break;
    case TAG_CODE('E', 'N'): execute_en(); break;
    case TAG_CODE('C', 'L'): page_cut(); break;
    default: break;  // IE, ST, SS, KP, BU, EE, UR and unknown codes
    }
}

void page_draw(int mode, int partial) {
    int opens_full = mode == 0 || partial == 1;
    // An open drop-down list is closed first; it draws on the screen in its
    // own bracket, and the page drawn next covers it anyway.
    char* frame = gfx.frame;
    popup_close_if_open();
    gfx.frame = frame;
    int selected = gfx.off_available && opens_full && select_offscreen();
    parser.invocations++;
    parser.mode = mode;
    parser.partial = partial;
    parser.drawn = 0;
    parser.x = parser.y = 10;
    parser.radio_group[0] = 0;
    parser.stop = 0;

    parser.file = fopen(app.page_file_path, "rb");
    if (!parser.file) {
        // Nothing to draw; later drawing goes to the screen again.
        if (selected) gfx_select_target(0);
        return;
    }
    if (mode != 1) page_start();
    parser.images_seen = 0;

    while (!parser.stop && parser.file && read_tag(parser.file)) {
        parser.code = TAG_CODE((BYTE)parser.tag[1], (BYTE)parser.tag[2]);
        long start = ftell(parser.file) - parser.tag_len;
        dispatch(parser.code);
        if (parser_tag_observer && parser.file) parser_tag_observer(start, ftell(parser.file));
    }
    if (parser.file) fclose(parser.file);
    parser.file = nullptr;
    gfx_set_clip(0, 0, 239, 319);
    BYTE drawn = parser.drawn;

    if (gfx.off_available && opens_full) present_and_leave(drawn);
    // Images: decode them into the cache, then draw the page again with them.
    if (mode == 0 && partial == 0 && parser.images_seen != 0) {
        if (gfx.off_available) select_offscreen();
        page_draw(1, 0);
        page_draw(2, 0);
        parser.mode = mode;
        parser.partial = partial;
    }
    if (partial == 1) {
        gfx_set_clip(0, 0, 239, 319);
        return;
    }
    // The page's controls and scroll bars, at the end of every pass.
    int controls = 1;
    if (gfx.off_available && gfx_select_target(2) == 0) controls = select_offscreen();
    if (controls && gfx.frame) {
        page_controls_draw();
        scrollbars_draw();
        // Controls are drawn too: a page that holds nothing else must still
        // be presented, or its controls could be tapped but not seen.
        if (page_text_controls || page_list_controls || page_buttons || page_scrollbars) drawn = 1;
    }
    gfx_set_clip(0, 0, 239, 319);
    if (gfx.off_available && mode != 1) present_and_leave(drawn);
}
