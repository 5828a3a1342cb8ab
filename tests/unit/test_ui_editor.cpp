// The keypad and the text entry editor, driven by queued taps and keys as a
// person would give them, on the emulated display.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ui_fixture.h"
#include "gfx/pool.h"
#include "ui/editor.h"
#include "ui/keypad.h"

namespace {

// One-line layout: the accept key at the right of y 108..124, Esc at its left.
const int OK_X = 312, OK_Y = 116, ESC_X = 6, ESC_Y = 116;
// Text-area layout: the key row is y 0..16.
const int AREA_OK_X = 312, AREA_OK_Y = 8;

struct Field {
    WCHAR buf[64];
    WCHAR* lines[1] = {buf};
    uint16_t cap[1] = {64};
    explicit Field(const char* text, uint16_t capacity = 64) {
        cap[0] = capacity;
        size_t i = 0;
        for (; text[i]; i++) buf[i] = (BYTE)text[i];
        buf[i] = 0;
    }
    std::string text() const {
        std::string s;
        for (int i = 0; buf[i]; i++) s += (char)buf[i];
        return s;
    }
};

struct Area {
    WCHAR bufs[32][40];
    WCHAR* lines[32];
    uint16_t caps[32];
    Area() {
        for (int i = 0; i < 32; i++) {
            lines[i] = bufs[i];
            caps[i] = 40;
            bufs[i][0] = 0;
        }
    }
    void set(int i, const char* t) {
        size_t k = 0;
        for (; t[k]; k++) bufs[i][k] = (BYTE)t[k];
        bufs[i][k] = 0;
    }
    std::string line(int i) const {
        std::string s;
        for (int k = 0; bufs[i][k]; k++) s += (char)bufs[i][k];
        return s;
    }
};

class Editor : public UiDevice {
  protected:
    int tapped = -1, err = -1;
    void letters(const char* s) {
        for (; *s; s++) {
            int x, y;
            letter_key(*s, &x, &y);
            tap(x, y);
        }
    }
    int run(Field& f, int caret = -1, int password = 0, ButtonControl* caller = nullptr) {
        return text_entry(hwnd, text_engine, f.lines, f.cap, caret, 1, caller, &tapped, password, &err);
    }
    int run(Area& a, int caret = -1) {
        return text_entry(hwnd, text_engine, a.lines, a.caps, caret, 32, nullptr, &tapped, 0, &err);
    }
};

TEST_F(Editor, TypingReplacesTheSelectedTextAndOkCopiesItBack) {
    Field f("abc");
    letters("ab");
    tap(OK_X, OK_Y);
    EXPECT_EQ(run(f), EDIT_ACCEPTED);
    EXPECT_EQ(f.text(), "ab");
    EXPECT_EQ(tapped, 0);
    EXPECT_EQ(err, 0);
}

TEST_F(Editor, BackspaceOnTheSelectedTextEmptiesTheField) {
    Field f("abc");
    tap(305, 150);
    tap(OK_X, OK_Y);
    EXPECT_EQ(run(f), EDIT_ACCEPTED);
    EXPECT_EQ(f.text(), "");
}

TEST_F(Editor, EscLeavesTheCallersTextExactlyAsItWas) {
    Field f("keep");
    letters("zz");
    tap(305, 150);
    tap(ESC_X, ESC_Y);
    EXPECT_EQ(run(f), EDIT_CANCELLED);
    EXPECT_EQ(f.text(), "keep");
}

TEST_F(Editor, AFullLineIgnoresFurtherCharacters) {
    Field f("", 4);
    letters("abcd");
    tap(OK_X, OK_Y);
    EXPECT_EQ(run(f), EDIT_ACCEPTED);
    EXPECT_EQ(f.text(), "abc");
}

TEST_F(Editor, EnterInAOneLineBoxAccepts) {
    Field f("");
    letters("q");
    tap(300, 190);
    EXPECT_EQ(run(f), EDIT_ACCEPTED);
    EXPECT_EQ(f.text(), "q");
}

TEST_F(Editor, ShiftGivesOneCapitalAndCapsLockWithShiftGivesSmallLetters) {
    Field f("");
    tap(30, 210);  // Shift
    letters("ab");
    tap(30, 190);  // CAP
    letters("c");
    tap(30, 210);  // Shift with caps lock: small
    letters("de");
    tap(OK_X, OK_Y);
    EXPECT_EQ(run(f), EDIT_ACCEPTED);
    EXPECT_EQ(f.text(), "AbCdE");
}

TEST_F(Editor, AccentLayerWithShiftGivesOneAccentedCapital) {
    Field f("");
    tap(45, 230);  // accents
    tap(30, 210);  // shift
    tap(75, 190);  // è / È
    tap(75, 190);
    tap(OK_X, OK_Y);
    EXPECT_EQ(run(f), EDIT_ACCEPTED);
    ASSERT_EQ(f.buf[0], 0xC8);
    ASSERT_EQ(f.buf[1], 0xE8);
    EXPECT_EQ(f.buf[2], 0);
}

TEST_F(Editor, NumberPadAndBackKeepTheLetterLayer) {
    Field f("");
    tap(30, 190);   // caps lock on
    tap(15, 150);   // 123
    tap(147, 152);  // 7
    tap(172, 227);  // 0
    tap(15, 150);   // back to the letters, caps lock still on
    letters("a");
    tap(OK_X, OK_Y);
    EXPECT_EQ(run(f), EDIT_ACCEPTED);
    EXPECT_EQ(f.text(), "70A");
}

TEST_F(Editor, HardwareLetterKeysGiveCapitalsWhateverTheLayer) {
    Field f("");
    emu_key('A');
    emu_key(VK_BACK);
    emu_key('B');
    emu_key(VK_RETURN);
    EXPECT_EQ(run(f), EDIT_ACCEPTED);
    EXPECT_EQ(f.text(), "B");
}

TEST_F(Editor, TheKeypadButtonClosesTheEditorAsEsc) {
    Field f("x");
    letters("y");
    emu_key(app.keys.vkC);
    EXPECT_EQ(run(f), EDIT_CANCELLED);
    EXPECT_EQ(f.text(), "x");
}

TEST_F(Editor, AReleaseOffThePressedKeyTypesNothing) {
    Field f("");
    emu_stylus(WM_LBUTTONDOWN, 70, 170);
    emu_stylus(WM_LBUTTONUP, 150, 60);
    tap(50, 40);  // above the keypad, neither box nor caller
    letters("w");
    tap(OK_X, OK_Y);
    EXPECT_EQ(run(f), EDIT_ACCEPTED);
    EXPECT_EQ(f.text(), "w");
}

TEST_F(Editor, ATapInTheBoxMovesTheCaretAndDropsTheSelection) {
    Field f("abc");
    tap(4, 132);  // before the first letter
    letters("x");
    tap(OK_X, OK_Y);
    EXPECT_EQ(run(f), EDIT_ACCEPTED);
    EXPECT_EQ(f.text(), "xabc");
}

TEST_F(Editor, ArrowsMoveTheCaret) {
    Field f("ac");
    tap(290, 230);  // ←, collapses the selection at column 1
    letters("b");
    tap(310, 230);  // →
    letters("d");
    tap(OK_X, OK_Y);
    EXPECT_EQ(run(f), EDIT_ACCEPTED);
    EXPECT_EQ(f.text(), "abcd");
}

TEST_F(Editor, EnterSplitsALineAndBackspaceAtColumnZeroJoinsIt) {
    Area a;
    a.set(0, "abcd");
    emu_key(VK_LEFT);
    emu_key(VK_LEFT);
    tap(300, 190);  // Enter: "ab" / "cd"
    tap(AREA_OK_X, AREA_OK_Y);
    EXPECT_EQ(run(a), EDIT_ACCEPTED);
    EXPECT_EQ(a.line(0), "ab");
    EXPECT_EQ(a.line(1), "cd");
    EXPECT_EQ(a.line(2), "");

    // Caret at the end of line 0; go down to column 0 of line 1 and join.
    emu_key(VK_DOWN);
    tap(290, 230);
    tap(290, 230);
    tap(305, 150);
    tap(AREA_OK_X, AREA_OK_Y);
    EXPECT_EQ(run(a), EDIT_ACCEPTED);
    EXPECT_EQ(a.line(0), "abcd");
    EXPECT_EQ(a.line(1), "");
}

TEST_F(Editor, AJoinThatWouldOverflowThePreviousLineDoesNothing) {
    Area a;
    a.caps[0] = 5;
    a.set(0, "abc");
    a.set(1, "de");
    emu_key(VK_DOWN);
    emu_key(VK_LEFT);
    emu_key(VK_LEFT);
    emu_key(VK_LEFT);
    tap(305, 150);
    tap(AREA_OK_X, AREA_OK_Y);
    EXPECT_EQ(run(a), EDIT_ACCEPTED);
    EXPECT_EQ(a.line(0), "abc");
    EXPECT_EQ(a.line(1), "de");
}

TEST_F(Editor, ToolbarIconsEndTheEditorWithTheirResults) {
    int err2 = 0;
    const int lefts[7] = {100, 118, 136, 154, 172, 190, 208};
    const int results[7] = {EDIT_EXIT, EDIT_BACK, EDIT_STOP, EDIT_FORWARD, EDIT_RELOAD, EDIT_ZOOM, EDIT_OPTIONS};
    for (int i = 0; i < 7; i++) {
        ButtonControl* caller = button_create(text_engine, nullptr, &arrow_drop_11, 0, 0, 0, nullptr, 0, &err2);
        ASSERT_EQ(err2, 0);
        Field f("old");
        letters("n");
        tap(lefts[i] + 7, 116);
        EXPECT_EQ(run(f, -1, 0, caller), results[i]) << i;
        EXPECT_EQ(f.text(), "old");
        EXPECT_EQ(tapped, 0);
        button_destroy(caller, &err2);
    }
}

TEST_F(Editor, ATapOnTheCallerElementKeepsTheKeypadForTheNextCall) {
    int e = 0;
    ButtonControl* caller = button_create(text_engine, nullptr, &arrow_drop_11, 0, 0, 0, nullptr, 0, &e);
    ASSERT_EQ(e, 0);
    uint16_t before = pixel(150, 200);
    Field f("abc");
    tap(313, 132);
    EXPECT_EQ(run(f, -1, 0, caller), EDIT_CANCELLED);
    EXPECT_EQ(tapped, 1);
    EXPECT_EQ(caller->rect.right, 319);
    EXPECT_EQ(caller->rect.top, 126);
    EXPECT_NE(editor_saved_area, nullptr);
    EXPECT_NE(pixel(150, 200), before);  // the keypad is still up

    // The next call finds the area held; its plain exit puts the old screen back.
    letters("k");
    tap(OK_X, OK_Y);
    EXPECT_EQ(run(f, -1, 0, caller), EDIT_ACCEPTED);
    EXPECT_EQ(tapped, 0);
    EXPECT_EQ(editor_saved_area, nullptr);
    EXPECT_EQ(pixel(150, 200), before);
    EXPECT_EQ(f.text(), "k");
    button_destroy(caller, &e);
}

TEST_F(Editor, ThePasswordBoxShowsStarsAndTheScreenIsRestoredAfterwards) {
    uint16_t before = pixel(20, 180);
    Field f("secret");
    tap(OK_X, OK_Y);
    EXPECT_EQ(run(f, -1, 1), EDIT_ACCEPTED);
    EXPECT_EQ(f.text(), "secret");
    EXPECT_EQ(pixel(20, 180), before);
}

// ----------------------------------------------------------------- tables

TEST(KeypadTables, EveryRowHasALabelAndACodeForEachKeyAndCharacterKeysTypeTheirLabel) {
    for (int l = 0; l < LAYER_COUNT; l++) {
        const KeypadLayer& layer = keypad_layers[l];
        const KeypadGeometry* g = layer.geometry;
        for (int r = 0; r < g->row_count; r++) {
            const KeyRow* row = g->rows[r];
            ASSERT_NE(layer.labels[r], nullptr);
            for (int k = 0; k < row->count; k++) {
                const WCHAR* label = layer.labels[r][k];
                int code = layer.codes[r][k];
                ASSERT_NE(label, nullptr) << l << " " << r << " " << k;
                EXPECT_LE(row->left[k], row->right[k]);
                if (k > 0) {
                    EXPECT_GT(row->left[k], row->right[k - 1]);
                }
                if (code >= 32 && code != 0x2190 && code != 0x2191 && code != 0x2192 && code != 0x2193 &&
                    label[1] == 0) {
                    EXPECT_EQ(label[0], code) << l << " " << r << " " << k;
                }
            }
        }
        EXPECT_EQ(layer.labels[g->row_count], nullptr);
    }
    // Letter rows end at x 319; the number pad leaves its two gaps.
    EXPECT_EQ(keypad_layers[0].geometry->rows[0]->right[14], 319);
    EXPECT_EQ(keypad_layers[LAYER_NUMBERS].geometry->rows[0]->right[4], 124);
    EXPECT_EQ(keypad_layers[LAYER_NUMBERS].geometry->rows[0]->left[5], 135);
}

// The layers as documented, key by key: the x ranges of every row, and the
// code of every key in each layer (labels of character keys are their codes,
// checked above).
TEST(KeypadTables, KeysStandWhereDocumentedWithTheirCodes) {
    const int32_t letter_left[5][15] = {
        {0, 30, 50, 70, 90, 110, 130, 150, 170, 190, 210, 230, 250, 270, 290},
        {0, 60, 80, 100, 120, 140, 160, 180, 200, 220, 240, 260, 280, 300},
        {0, 65, 85, 105, 125, 145, 165, 185, 205, 225, 245, 265, 285},
        {0, 75, 95, 115, 135, 155, 175, 195, 215, 235, 255, 275},
        {0, 30, 60, 240, 260, 280, 300}};
    const int counts[5] = {15, 14, 13, 12, 7};
    const char16_t* codes[4][4] = {
        {u"\x02`1234567890-=\x07", u"\tqwertyuiop[]\\", u"\x03" u"asdfghjkl;'\r", u"\x04zxcvbnm,./\x04"},
        {u"\x02~!@#$%^&*()_+\x07", u"\tQWERTYUIOP{}|", u"\x03" u"ASDFGHJKL:\"\r", u"\x04ZXCVBNM<>?\x04"},
        {u"\x02\u00FD\u00BF\u00A1\u0153\u20AC\u00A3\u00A5\u00A7\u00DF\u00B1\u00B5-=\x07",
         u"\t\u00E0\u00E1\u00E2\u00E3\u00E4\u00E5\u00E6\u00E7\u00F0\u00F1[]\u00F8",
         u"\x03\u00E8\u00E9\u00EA\u00EB\u00EC\u00ED\u00EE\u00EF\u00FE;'\r",
         u"\x04\u00F2\u00F3\u00F4\u00F5\u00F6\u00F9\u00FA\u00FB\u00FC/\x04"},
        {u"\x02\u00DD\u00BF\u00A1\u0152\u20AC\u00A3\u00A5\u00A7\u02DA\u00B1\u00B5_+\x07",
         u"\t\u00C0\u00C1\u00C2\u00C3\u00C4\u00C5\u00C6\u00C7\u00D0\u00D1{}\u00D8",
         u"\x03\u00C8\u00C9\u00CA\u00CB\u00CC\u00CD\u00CE\u00CF\u00DE:\"\r",
         u"\x04\u00D2\u00D3\u00D4\u00D5\u00D6\u00D9\u00DA\u00DB\u00DC?\x04"}};
    const char16_t bottom_row[] = u"\x05\x06 \u2193\u2191\u2190\u2192";
    for (int l = 0; l < 4; l++) {
        const KeypadLayer& layer = keypad_layers[l];
        ASSERT_EQ(layer.geometry->row_count, 5);
        for (int r = 0; r < 5; r++) {
            SCOPED_TRACE(testing::Message() << "layer " << l << " row " << r);
            const KeyRow* row = layer.geometry->rows[r];
            EXPECT_EQ(row->top, 140 + 20 * r);
            ASSERT_EQ(row->count, counts[r]);
            const char16_t* want = r < 4 ? codes[l][r] : bottom_row;
            for (int k = 0; k < counts[r]; k++) {
                EXPECT_EQ(row->left[k], letter_left[r][k]) << "key " << k;
                EXPECT_EQ(row->right[k], k + 1 < counts[r] ? letter_left[r][k + 1] - 1 : 319) << "key " << k;
                EXPECT_EQ(layer.codes[r][k] & 0xFFFF, (int)want[k]) << "key " << k;
            }
        }
    }
    // The number pad: four rows of twelve keys (the space bar is one key of
    // double width), in three groups.
    const KeypadLayer& pad = keypad_layers[LAYER_NUMBERS];
    ASSERT_EQ(pad.geometry->row_count, 4);
    const int32_t pad_left[12] = {0, 25, 50, 75, 100, 135, 160, 185, 220, 245, 270, 295};
    const char16_t* pad_codes[4] = {u"\x02[]{}789#%=\x07", u"^,.<>456+-*/", u"\u00B1\u00B0:\\|123\u2193\u2191\u2190\u2192",
                                    u"$\u00A2\u20AC\u00A3\u00A5(0)\t \r"};
    for (int r = 0; r < 4; r++) {
        SCOPED_TRACE(testing::Message() << "number pad row " << r);
        const KeyRow* row = pad.geometry->rows[r];
        EXPECT_EQ(row->top, 140 + 25 * r);
        int n = r == 3 ? 11 : 12;
        ASSERT_EQ(row->count, n);
        for (int k = 0; k < n; k++) {
            int at = r == 3 && k == 10 ? 11 : k;  // the key after the space bar
            EXPECT_EQ(row->left[k], pad_left[at]) << "key " << k;
            int right = r == 3 && k == 9 ? 294 : pad_left[at] + 24;
            EXPECT_EQ(row->right[k], right) << "key " << k;
            EXPECT_EQ(pad.codes[r][k] & 0xFFFF, (int)pad_codes[r][k]) << "key " << k;
        }
    }
    // The latches the static tables start with.
    EXPECT_EQ(pad.latch[0], 1);
    EXPECT_EQ(keypad_layers[LAYER_ACCENT_LOWER].latch[4], 1);
    EXPECT_EQ(keypad_layers[LAYER_ACCENT_UPPER].latch[4], 1);
    EXPECT_EQ(keypad_layers[LAYER_LOWER].latch[4], 0);
}

TEST(KeypadTables, ChoosingALayerWritesTheLatches) {
    EXPECT_EQ(keypad_choose_layer(1, 0, 0), LAYER_UPPER);
    EXPECT_EQ(keypad_layers[LAYER_UPPER].latch[KEY_CAPS - 2], 1);
    EXPECT_EQ(keypad_layers[LAYER_UPPER].latch[KEY_SHIFT - 2], 0);
    EXPECT_EQ(keypad_choose_layer(1, 1, 0), LAYER_LOWER);
    EXPECT_EQ(keypad_layers[LAYER_LOWER].latch[KEY_SHIFT - 2], 1);
    EXPECT_EQ(keypad_choose_layer(0, 1, 1), LAYER_ACCENT_UPPER);
    EXPECT_EQ(keypad_choose_layer(0, 0, 1), LAYER_ACCENT_LOWER);
    EXPECT_EQ(keypad_layers[LAYER_ACCENT_LOWER].latch[KEY_ACCENT - 2], 1);
    EXPECT_EQ(keypad_layers[LAYER_NUMBERS].latch[KEY_NUMBERS - 2], 1);
    keypad_choose_layer(0, 0, 0);
}

TEST(KeypadTables, HardwareKeysTranslate) {
    app_state_init();
    app.keys.vkC = 0xC1;
    EXPECT_EQ(keypad_translate_key(VK_BACK), KEY_BACKSPACE);
    EXPECT_EQ(keypad_translate_key(VK_RETURN), KEY_ENTER);
    EXPECT_EQ(keypad_translate_key(VK_SHIFT), KEY_SHIFT);
    EXPECT_EQ(keypad_translate_key(VK_ESCAPE), KEY_ESC);
    EXPECT_EQ(keypad_translate_key(VK_LEFT), KEY_LEFT);
    EXPECT_EQ(keypad_translate_key(VK_DOWN), KEY_DOWN);
    EXPECT_EQ(keypad_translate_key(186), ';');
    EXPECT_EQ(keypad_translate_key(222), '\'');
    EXPECT_EQ(keypad_translate_key('A'), 'A');
    EXPECT_EQ(keypad_translate_key(0xC1), KEY_ESC);
    EXPECT_EQ(keypad_translate_key(0xC2), 0);
    app.oem_family_hp = 1;
    EXPECT_EQ(keypad_translate_key(0xC2), KEY_ESC);
    EXPECT_EQ(keypad_translate_key(0xC1), 0);
    app.oem_family_hp = 0;
    app.display.cbyPitch = -480;
    EXPECT_EQ(keypad_translate_key(0xC2), KEY_ESC);
    app_state_init();
}

}  // namespace

namespace {

// Takes blocks from the main pool until only `left` slots stay free.
std::vector<void*> fill_pool(int left) {
    std::vector<void*> blocks;
    while (text_pool->live < POOL_SLOTS - left) blocks.push_back(pool_alloc(text_pool, 4));
    return blocks;
}

TEST_F(Editor, ANearlyFullPoolBuildsPartOfTheKeypadAndTheEditorStillEnds) {
    auto blocks = fill_pool(40);
    Field f("abc");
    tap(ESC_X, ESC_Y);
    EXPECT_EQ(run(f), EDIT_CANCELLED);
    EXPECT_EQ(f.text(), "abc");
    ASSERT_NE(text_engine, nullptr);
    EXPECT_GE(pool_check(text_pool), 0);
    EXPECT_EQ(text_pool->live, POOL_SLOTS - 40);  // everything the editor took is back
    for (void* b : blocks) pool_free(text_pool, b);
}

TEST_F(Editor, AFullPoolEndsTheEditorAtOnceWithItsErrorAndTheTextUnchanged) {
    fill_pool(0);
    Field f("abc");
    EXPECT_EQ(run(f), EDIT_ACCEPTED);
    EXPECT_EQ(err, ERR_SLOTS_FULL);
    EXPECT_EQ(f.text(), "abc");
    EXPECT_EQ(text_engine, nullptr);  // the pool went with the failure
}

}  // namespace
