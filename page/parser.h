// The page stream interpreter's working storage, shared by the tag executors
// (drawing tags, images, page file rewriting, form-control tags).
//
// Page-file tag forms (numbers hexadecimal, F = frame number, n = byte count):
//
//   <DS F x y n text>          counted text: n bytes of UTF-8 after the space
//   |<--- 5 words --->|<-n->|  that ends the 5th word; may hold ">"
//   <IM F x y w h n>[n payload bytes]<IE>
//   <EN V>[ciphertext, (V >> 3) rounded up to 8]
//
#ifndef CV_PAGE_PARSER_H
#define CV_PAGE_PARSER_H

#include <stdio.h>

#include "wince.h"

#define PARSER_TAG_LIMIT 1024       // a tag of 1024 bytes or more is dropped
#define PARSER_TEXT_MAX 4096        // longest counted text; a longer one is malformed
#define PARSER_NAME_SIZE 256        // name buffer, terminator included
#define PARSER_WORD_LIMIT 80        // a word ends at a space or at this position

// Two-letter tag codes: first letter * 256 + second letter.
#define TAG_CODE(a, b) ((WORD)(((a) << 8) | (b)))

// One global record. page_draw owns it; the tag executors read the current
// tag from it and write the slots they parse (x, y, item position, counter).
struct PageParser {
    // The current tag, NUL-terminated. A counted text that held ">" continues
    // here past the tag's own end, so the buffer has room for the longest text.
    char tag[PARSER_TAG_LIMIT + PARSER_TEXT_MAX + 1];
    int tag_len;
    WORD code;                           // TAG_CODE of the current tag
    char text[PARSER_TEXT_MAX + 1];      // counted text, exactly text_len bytes, NUL-terminated
    DWORD text_len;
    char name[PARSER_NAME_SIZE];         // name argument (CB, DM, LM)
    char radio_group[PARSER_NAME_SIZE];  // group of the last RB
    DWORD button_serial;                 // numbers the BT tags of a page
    LONG images_seen;                    // IM tags with a payload in this invocation

    // Page colours and text size (BC, FC, SZ).
    BYTE background[3];  // red, green, blue
    LONG text_size;      // page units

    // Locals of the invocation in progress.
    int mode;            // 0 full pass, 1 image pass, 2 redraw pass
    int partial;         // 1 for the early draw while a page arrives
    FILE* file;          // the page file being read
    BYTE drawn;          // something was drawn: the pass presents
    LONG x, y;           // slots of DS, BT, CB, RB, DM, LM, TF, PF, TA (start at 10)
    LONG item_x, item_y; // list position for DI and LI (-1 after the first item)
    LONG item_counter;   // DI and LI since the last DM or LM
    LONG work_top, work_left, work_bottom, work_right;  // working Rect (CR)
    BYTE stop;           // stop interpreting this file (page cut failed)

    DWORD invocations;   // page_draw calls since start-up (diagnostics, tests)
};
extern PageParser parser;

// Test hook: when set, called after each executed tag with the file offset of
// its "<" and the offset where reading goes on (after its text or payload; for
// a tag that rewrote the file, the place in the new file: 0 after a page cut
// or a frame replacement, the block's start after a scrambled block).
extern void (*parser_tag_observer)(long start, long resume);

// The 24-bit background colour 0x00BBGGRR of the page.
DWORD parser_background();
// Skips k words of the tag buffer (a word ends at a space or position 80) and
// returns the position after them.
int parser_skip_words(const char* tag, int k);
// Reads the counted text of the current tag whose text follows k words and
// whose count is n: continues the tag from the page file when the text held
// ">", then copies it into parser.text. 0 when the text is malformed (longer
// than PARSER_TEXT_MAX).
int parser_counted_text(int k, DWORD n);
// Copies the name that follows k words (up to ">" or NUL, bounded) into out.
void parser_read_name(int k, char* out, int size);
// UTF-8 to 16-bit code units; out holds n + 1 units and is zeroed first.
void utf8_to_utf16(const char* in, DWORD n, WCHAR* out);
// The counted text of the current tag as a new zero-terminated 16-bit string
// (free() it), or null when memory ran out.
WCHAR* parser_text_utf16();

#endif
