// Page file rewriting: the page cut (CL) and the removal of a frame's tags.
#include "page/rewrite.h"

#include <stdlib.h>
#include <string.h>

#include "gfx/fb.h"
#include "net/netloop.h"
#include "page/formtags.h"
#include "page/frames.h"
#include "page/image.h"
#include "page/parser.h"
#include "page/scan.h"
#include "shell/app.h"

// Copies the rest of in to out; 0 when a write failed.
static int copy_rest(FILE* in, FILE* out) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in)) > 0)
        if (fwrite(buf, 1, n, out) != n) return 0;
    return 1;
}

void page_cut() {
    // The files first: when they cannot be opened the page file stays as it
    // was, and so does the page on the screen; nothing more of it is read.
    FILE* page = parser.file;
    FILE* tmp = fopen(PAGE_CUT_TEMP, "wb");
    if (!tmp) {
        parser.stop = 1;
        return;
    }
    int ok = copy_rest(page, tmp);
    long old_size = ftell(page);
    if (fclose(tmp) != 0) ok = 0;
    tmp = ok ? fopen(PAGE_CUT_TEMP, "rb") : nullptr;
    if (!tmp) {
        parser.stop = 1;
        return;
    }
    fclose(page);
    parser.file = nullptr;
    FILE* out = fopen(app.page_file_path, "wb");
    if (!out) {
        fclose(tmp);
        parser.stop = 1;
        return;
    }
    ok = copy_rest(tmp, out);
    fclose(tmp);
    if (fclose(out) != 0) ok = 0;
    if (!ok) {
        // A short write (a full medium) left only part of the kept tags,
        // possibly ending inside a tag or a payload: rather than have later
        // data appended to a fragment, the page file is emptied, and this
        // file is not interpreted any further.
        out = fopen(app.page_file_path, "wb");
        if (out) fclose(out);
        page_shrink_count += (LONG)old_size;
        parser.stop = 1;
        return;
    }
    parser.file = fopen(app.page_file_path, "rb");
    if (!parser.file) {
        parser.stop = 1;
        return;
    }
    fseek(parser.file, 0, SEEK_END);
    long new_size = ftell(parser.file);
    fseek(parser.file, 0, SEEK_SET);
    page_shrink_count += (LONG)(old_size - new_size);

    // A new page starts: white, without images or records.
    parser.work_top = 0;
    parser.work_left = 0;
    parser.work_bottom = 239;
    parser.work_right = 319;
    if (parser.mode != 1) {
        parser.background[0] = parser.background[1] = parser.background[2] = 255;
        if (gfx.frame) {
            Rect all = {0, 0, 239, 319};
            gfx_set_clip(0, 0, 239, 319);  // the old page's last frame clip must not keep parts of it
            gfx_fill_rect(&all, COLOUR_WHITE);
            parser.drawn = 1;
        }
    }
    image_cache_clear();
    page_controls_free();
    frames_free();
    scrollbars_free();
    parser.button_serial = 0;
    parser.radio_group[0] = 0;
}

// ---- removal of a frame's tags ----

int rewrite_fail_alloc;

// Moves end forward over the rest of a counted text that follows k words of
// the tag at start, until text and closing ">" are n + 1 bytes, not past limit.
static long pass_text(const char* tag, long start, long end, int k, DWORD n, long limit) {
    long text = start + parser_skip_words(tag, k);
    while (end - text < (long)n + 1 && end < limit) end++;
    return end;
}

static int frame_arg(const char* tag, DWORD* f) {
    unsigned v;
    if (page_scan(tag + 3, "%x", &v) != 1) return 0;
    *f = v;
    return 1;
}

// Writes the page file anew with the bytes whose mask byte is 0. 1 when
// every byte was written; 0 when the file could not be opened for writing
// (it is unchanged then); -1 when a write fell short (a full medium).
static int write_kept(const BYTE* copy, const BYTE* mask, long size) {
    FILE* out = fopen(app.page_file_path, "wb");
    if (!out) return 0;
    int ok = 1;
    // Runs of kept bytes, each in one write; removed bytes are marked 1.
    for (long i = 0; i < size && ok;) {
        const BYTE* removed = (const BYTE*)memchr(mask + i, 1, (size_t)(size - i));
        long kept_end = removed ? (long)(removed - mask) : size;
        if (kept_end > i && fwrite(copy + i, 1, (size_t)(kept_end - i), out) != (size_t)(kept_end - i)) ok = 0;
        for (i = kept_end; i < size && mask[i];) i++;
    }
    if (fclose(out) != 0) ok = 0;
    return ok ? 1 : -1;
}

FILE* frame_tags_remove(DWORD f, FILE* stream) {
    long off = ftell(stream);
    fseek(stream, 0, SEEK_END);
    long size = ftell(stream);
    BYTE* copy = size > 0 && !rewrite_fail_alloc ? (BYTE*)malloc((size_t)size) : nullptr;
    BYTE* mask = size > 0 && !rewrite_fail_alloc ? (BYTE*)calloc((size_t)size, 1) : nullptr;
    if (!copy || !mask || off < 0 || off > size) {
        // Out of memory: nothing is removed.
        free(copy);
        free(mask);
        fseek(stream, off, SEEK_SET);
        return stream;
    }
    fseek(stream, 0, SEEK_SET);
    size_t got = fread(copy, 1, (size_t)size, stream);
    fclose(stream);
    if ((long)got != size) size = (long)got;

    char tag[PARSER_TAG_LIMIT + 1];
    char last_dm[PARSER_NAME_SIZE + 1] = "";
    char last_lm[PARSER_NAME_SIZE + 1] = "";
    long pos = 0;
    int found_sw = 0;
    while (pos < off) {
        if (copy[pos] != '<') {
            pos++;
            continue;
        }
        // Collect the tag as the interpreter does: at most 1023 bytes, and it
        // must end at or before off.
        long start = pos;
        int len = 0;
        int complete = 0;
        while (pos < off && len < PARSER_TAG_LIMIT) {
            tag[len++] = (char)copy[pos++];
            if (len >= PARSER_TAG_LIMIT) break;
            if (len > 1 && tag[len - 1] == '>') {
                complete = 1;
                break;
            }
        }
        if (!complete) continue;  // too long or cut by off: scanning goes on from here
        tag[len] = 0;
        long end = pos;
        WORD code = TAG_CODE((BYTE)tag[1], (BYTE)tag[2]);
        DWORD tf = f != 0 ? 0 : 1;  // matches nothing until the frame is read
        int remove = 0;
        switch (code) {
        case TAG_CODE('S', 'S'):
        case TAG_CODE('S', 'T'):
        case TAG_CODE('I', 'E'):
            remove = 1;
            break;
        case TAG_CODE('s', 'w'):
            remove = end == off;  // the sw that caused the call
            if (remove) found_sw = 1;
            break;
        case TAG_CODE('I', 'S'):
        case TAG_CODE('D', 'L'):
        case TAG_CODE('C', 'B'):
        case TAG_CODE('C', 'R'):
        case TAG_CODE('R', 'B'):
            frame_arg(tag, &tf);
            remove = tf == f;
            break;
        case TAG_CODE('D', 'S'):
        case TAG_CODE('B', 'T'):
        case TAG_CODE('T', 'F'):
        case TAG_CODE('P', 'F'):
        case TAG_CODE('T', 'A'): {
            unsigned v[7] = {0};
            char word[PARSER_NAME_SIZE];
            unsigned n = 0;
            int k;
            if (code == TAG_CODE('D', 'S')) {
                k = 5;
                if (page_scan(tag + 3, "%x %x %x %x", &v[0], &v[1], &v[2], &n) == 4) tf = v[0];
            } else {
                k = 8;
                if (page_scan(tag + 3, "%x %x %x %x %x %255s %x", &v[0], &v[1], &v[2], &v[3], &v[4], word, &n) == 7)
                    tf = v[0];
            }
            // The text may hold ">": its rest is passed over whether the tag
            // goes or stays, so it is never taken for tags.
            pos = end = pass_text(tag, start, end, k, n, off);
            remove = tf == f;
            break;
        }
        case TAG_CODE('D', 'M'):
        case TAG_CODE('L', 'M'): {
            unsigned v[5];
            char name[PARSER_NAME_SIZE + 1] = "";
            if (page_scan(tag + 3, "%x %x %x %x %x %256s", &v[0], &v[1], &v[2], &v[3], &v[4], name) == 6) tf = v[0];
            remove = tf == f;
            // The remembered name keeps its ">" unless the list goes, so that
            // only items of a removed list match it.
            size_t nl = strlen(name);
            if (remove && nl > 0 && name[nl - 1] == '>') name[nl - 1] = 0;
            strcpy(code == TAG_CODE('D', 'M') ? last_dm : last_lm, name);
            break;
        }
        case TAG_CODE('D', 'I'):
        case TAG_CODE('L', 'I'): {
            unsigned sel = 0, n = 0;
            char name[PARSER_NAME_SIZE + 1] = "";
            if (page_scan(tag + 3, "%x %256s %x", &sel, name, &n) == 3) {
                const char* list = code == TAG_CODE('D', 'I') ? last_dm : last_lm;
                pos = end = pass_text(tag, start, end, 4, n, off);
                remove = strcmp(name, list) == 0;
            }
            break;
        }
        case TAG_CODE('I', 'M'): {
            unsigned v[5], s = 0;
            if (page_scan(tag + 3, "%x %x %x %x %x %x", &v[0], &v[1], &v[2], &v[3], &v[4], &s) == 6) tf = v[0];
            int whole = s > 0 && (DWORD)(size - end) >= s;
            // Payload bytes are never taken for tags.
            if (whole) pos = end = end + (long)s;
            remove = tf == f;
            break;
        }
        default:
            break;  // FR, BC, FC, SZ, SW, SH, SV, EN, CL, NO and unknown codes stay
        }
        if (remove) memset(mask + start, 1, (size_t)(end - start));
    }

    // A page file that cannot be rewritten stays as it was (put back whole
    // when a short write cut it), and reading goes on after the sw, so that
    // the sw is not met again and again.
    long resume = 0;
    long removed_before_off = 0;
    for (long i = 0; i < off; i++) removed_before_off += mask[i];
    int wrote = write_kept(copy, mask, size);
    if (wrote < 0) {
        memset(mask, 0, (size_t)size);
        wrote = write_kept(copy, mask, size) > 0 ? 0 : -1;
    }
    free(copy);
    free(mask);
    if (wrote < 0) return nullptr;  // not even the old file could be put back
    if (wrote == 0) resume = off;
    // When this scan did not meet the sw that caused the call as a tag of its
    // own (a hostile file whose counted texts the interpreter read otherwise),
    // that sw is still in the file: reading goes on after it, where it now
    // stands, instead of meeting it again from the beginning.
    if (wrote > 0 && !found_sw) resume = off - removed_before_off;
    FILE* in = fopen(app.page_file_path, "rb");
    if (in) fseek(in, resume, SEEK_SET);
    return in;
}

void frame_tags_remove_at(DWORD f, long offset) {
    FILE* s = fopen(app.page_file_path, "r+b");
    if (!s) return;
    fseek(s, offset, SEEK_SET);
    s = frame_tags_remove(f, s);
    if (s) fclose(s);
}
