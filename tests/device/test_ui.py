"""The device's own screens on the real client: a person's taps on the page's
form controls, the keypad in every layer, the address bar with its history
and toolbar, and the options screen, checked on what the rendering-server
stand-in receives, on the files the client writes and on screenshots.

Golden screenshots (the keypad in each layer, the address bar with its list,
the options screen) are written to CV_UI_SHOTS (default: a folder in the
build directory) so that a person can look at them, and compared with the
images in golden/ that a person has looked at."""
import os
import unittest

from devicetest import BUILD, read_png
from netpeers import NetDevice, events, near

HEADER = b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n"

# A page with one control of each kind (page units; the screen is half size):
#   text field "q"        screen 12..107 x 11..21, holding "z"
#   text area "notes"     screen 12..107 x 31..67, holding "z"
#   check box             item at 9,69 (7 x 7)
#   radio group "color"   items at 39,69 (selected) and 59,69
#   push button "go"      screen 10..49 x 90..105
#   drop-down "size"      box at 127,12; rows small, medium, large
#   list box "pick"       at 126,70, three rows shown of a..f
FORM = (b"<FR 0 0 280 1e0><BC ff ff ff><CR 3 0 0 280 1e0>"
        b"<TF 3 14 14 c8 1c q 1 z>"
        b"<TA 3 14 3c c8 50 notes 1 z>"
        b"<CB 3 14 8c 10 10 0 agree>"
        b"<RB 3 50 8c 10 10 1 color><RB 3 78 8c 10 10 0 color>"
        b"<BT 3 14 b4 50 20 go 2 Go>"
        b"<DM 3 fa 14 96 1c size><DI 1 size 5 small><DI 0 size 6 medium><DI 0 size 5 large>"
        b"<LM 3 fa 8c 96 48 pick><LI 0 pick 1 a><LI 0 pick 1 b><LI 0 pick 1 c>"
        b"<LI 0 pick 1 d><LI 0 pick 1 e><LI 0 pick 1 f>"
        b"<ST>")

# Keypad taps (landscape screen points).
KEYS = {
    "ok": "tap 312 116", "esc": "tap 6 116", "area-ok": "tap 312 8",
    "123": "tap 15 150", "bksp": "tap 305 150", "cap": "tap 30 190", "enter": "tap 300 190",
    "shift": "tap 30 210", "accent": "tap 45 230", "space": "tap 150 230",
    "down": "tap 250 230", "up": "tap 270 230", "left": "tap 290 230", "right": "tap 310 230",
    "seven": "tap 147 152",
}
ROWS = ("qwertyuiop", 70, 170), ("asdfghjkl", 75, 190), ("zxcvbnm", 85, 210)
# Toolbar icons of the address bar.
ICONS = {"exit": 107, "back": 125, "stop": 143, "forward": 161, "reload": 179, "zoom": 197, "options": 215}
OPEN_BAR = "key 193"  # application button C of this device
SETTLE = "wait-idle 300"


def letter(c):
    for keys, first, y in ROWS:
        if c in keys:
            return "tap %d %d" % (first + 20 * keys.index(c), y)
    raise KeyError(c)


def letters(text):
    return [letter(c) for c in text]


def shots_dir():
    d = os.environ.get("CV_UI_SHOTS", os.path.join(BUILD, "ui-shots"))
    os.makedirs(d, exist_ok=True)
    return d


GOLDEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "golden")


def check_golden(case, name, png, box):
    """Compares the box (x0, y0, x1, y1) of a screenshot with the golden image
    of that name. A difference fails the test and leaves the image it got
    beside the other screenshots; CV_UPDATE_GOLDEN=1 stores it as the new
    golden image instead (look at it first)."""
    golden = os.path.join(GOLDEN, name + ".png")
    if os.environ.get("CV_UPDATE_GOLDEN") == "1":
        with open(png, "rb") as src, open(golden, "wb") as dst:
            dst.write(src.read())
        return
    case.assertTrue(os.path.exists(golden), "no golden image " + golden)
    if region(golden, *box) != region(png, *box):
        case.fail("%s differs from its golden image; got %s" % (name, png))


def pixel(png, x, y):
    return read_png(png)[2][y][x]


def region(png, x0, y0, x1, y1):
    rows = read_png(png)[2]
    return [row[x0:x1 + 1] for row in rows[y0:y1 + 1]]


class UiCase(unittest.TestCase):
    page = FORM

    def setUp(self):
        self.dev = NetDevice()
        self.dev.balancer()
        self.dev.render([HEADER + self.page])

    def tearDown(self):
        self.dev.close()

    def run_script(self, lines, expect=0):
        code, err = self.dev.run(["wait-idle 400"] + lines + [SETTLE], timeout=90)
        self.assertEqual(expect, code, err)

    def shot(self, name, golden=False):
        path = os.path.join(shots_dir() if golden else self.dev.root, name + ".png")
        return path

    def events(self):
        return [e for e in events(self.dev) if e is not None]


class FormControls(UiCase):
    def test_typing_ab_into_a_field_and_accepting_sends_the_fields_text(self):
        self.run_script(["tap 50 15", SETTLE] + letters("ab") + [KEYS["ok"], SETTLE])
        self.assertIn("<TF q 3 2 ab >", self.events())

    def test_shift_gives_one_capital_and_caps_lock_with_shift_small_letters(self):
        self.run_script(["tap 50 15", SETTLE, KEYS["shift"]] + letters("ab") +
                        [KEYS["cap"], KEYS["shift"]] + letters("c") + letters("d") + [KEYS["ok"]])
        self.assertIn("<TF q 5 4 AbcD >", self.events())

    def test_accented_and_number_layers_type_their_characters(self):
        self.run_script(["tap 50 15", SETTLE, KEYS["accent"], letter("a"), KEYS["accent"],
                         KEYS["123"], KEYS["seven"], KEYS["123"]] + letters("k") + [KEYS["ok"]])
        # e grave (2 bytes of UTF-8), 7, k: the stand-in shows bytes as Latin-1.
        self.assertIn("<TF q 4 4 \u00c3\u00a87k >", self.events())

    def test_every_keypad_layer_as_a_golden_screenshot(self):
        names = ["keypad-lower", "keypad-upper", "keypad-accent-lower", "keypad-accent-upper",
                 "keypad-numbers", "keypad-caps"]
        s = [self.shot(n, golden=True) for n in names]
        self.run_script(["tap 50 15", SETTLE, "screenshot " + s[0],
                         KEYS["shift"], SETTLE, "screenshot " + s[1],
                         KEYS["accent"], SETTLE, "screenshot " + s[3],
                         KEYS["shift"], SETTLE, "screenshot " + s[2],
                         KEYS["accent"], KEYS["123"], SETTLE, "screenshot " + s[4],
                         KEYS["123"], KEYS["cap"], SETTLE, "screenshot " + s[5], KEYS["esc"]])
        # Latched keys are drawn pressed: a black top edge instead of light grey.
        black, grey = (0, 0, 0), (0xBB, 0xBB, 0xBB)
        for png, x, y, want in ((s[0], 10, 200, grey),    # Shift released
                                (s[1], 10, 200, black),   # Shift latched
                                (s[2], 40, 220, black),   # accent latched
                                (s[4], 10, 140, black),   # "123" latched on the number pad
                                (s[5], 10, 180, black),   # CAP latched
                                (s[0], 10, 180, grey),
                                (s[4], 130, 200, (0x66, 0x66, 0x66))):  # the number pad's gaps
            self.assertTrue(near(pixel(png, x, y), want, 8), (os.path.basename(png), x, y, pixel(png, x, y)))
        for name, png in zip(names, s):
            check_golden(self, name, png, (0, 108, 319, 239))
        # The upper layer shows other labels than the lower one.
        self.assertNotEqual(region(s[0], 60, 160, 259, 179), region(s[1], 60, 160, 259, 179))

    def test_esc_leaves_the_field_as_it_was(self):
        before, after = self.shot("before"), self.shot("after")
        self.run_script(["screenshot " + before, "tap 50 15", SETTLE] + letters("xy") +
                        [KEYS["esc"], SETTLE, "screenshot " + after])
        self.assertFalse([e for e in self.events() if e.startswith("<TF")])
        self.assertEqual(read_png(before)[2], read_png(after)[2])

    def test_enter_splits_a_text_area_line_and_backspace_at_column_0_joins_it(self):
        self.run_script(["tap 50 45", SETTLE] + letters("ab") +
                        [KEYS["left"], KEYS["left"], KEYS["enter"], KEYS["area-ok"], SETTLE,
                         "tap 50 45", SETTLE, KEYS["down"], KEYS["left"], KEYS["bksp"], KEYS["area-ok"]])
        ev = [e for e in self.events() if e.startswith("<TA")]
        # Lines "z" and "ab": counts 2 + 3, four bytes with the line feed.
        self.assertEqual(ev, ["<TA notes 5 4 z\nab >", "<TA notes 4 3 zab >"])

    def test_a_drop_down_row_picked_sends_its_message_and_restores_the_screen(self):
        before, opened, after = self.shot("before"), self.shot("open"), self.shot("after")
        self.run_script(["screenshot " + before, "tap 150 15", SETTLE, "screenshot " + opened,
                         "tap 150 54", SETTLE, "screenshot " + after])
        self.assertIn("<DM size 2 >", self.events())
        self.assertNotEqual(region(before, 120, 23, 215, 62), region(opened, 120, 23, 215, 62))
        self.assertEqual(region(before, 120, 23, 215, 62), region(after, 120, 23, 215, 62))

    def test_a_down_outside_an_open_popup_closes_it_and_the_release_does_nothing(self):
        self.run_script(["tap 150 15", SETTLE, "tap 20 200", SETTLE])
        self.assertEqual([e for e in self.events() if e.startswith("<MC") or e.startswith("<DM")], [])

    def test_dragging_in_a_list_scrolls_one_row_per_move(self):
        self.run_script(["down 140 75", "move 140 115", "move 140 116", "up 140 116"])
        self.assertIn("<LM pick 4 >", self.events())

    def test_check_boxes_and_radio_buttons_toggle_and_send_their_taps(self):
        before, after = self.shot("before"), self.shot("after")
        self.run_script(["screenshot " + before, "tap 12 72", SETTLE, "tap 62 72", SETTLE, "screenshot " + after])
        ev = [e for e in self.events() if e.startswith("<MC")]
        self.assertEqual(ev, ["<MC 21 141>\r\n\r\n", "<MC 121 141>\r\n\r\n"])
        for x0 in (9, 39, 59):
            self.assertNotEqual(region(before, x0, 69, x0 + 6, 75), region(after, x0, 69, x0 + 6, 75), x0)

    def test_a_pressed_button_released_outside_sends_nothing(self):
        self.run_script(["down 20 95", "move 200 200", "up 200 200", SETTLE, "tap 20 95"])
        ev = [e for e in self.events() if e.startswith("<MC")]
        self.assertEqual(ev, ["<MC 24 184>\r\n\r\n"])


HISTORY = ["http://%s/" % w for w in ("one", "two", "three", "four", "five", "six", "seven", "eight", "nine")]


class AddressBar(UiCase):
    def setUp(self):
        super().setUp()
        # The history file is oldest first.
        self.dev.write("/cv/cvhistory.txt", "".join(h + "\r\n" for h in reversed(HISTORY)))

    def test_the_history_list_shows_nine_entries_and_the_third_picked_goes_first(self):
        listed, picked = self.shot("address-bar-list", golden=True), self.shot("picked")
        self.run_script([OPEN_BAR, SETTLE, "tap 313 132", SETTLE, "screenshot " + listed,
                         "tap 100 156", SETTLE, "screenshot " + picked, KEYS["ok"], SETTLE,
                         OPEN_BAR, SETTLE, "tap 313 132", SETTLE, "tap 100 132", SETTLE, KEYS["ok"]])
        urls = [e for e in self.events() if e.startswith("<URL")]
        # After the pick, "three" is first; picking the first row changes nothing.
        self.assertEqual(urls, ["<URL http://three/ >\r\n\r\n", "<URL http://three/ >\r\n\r\n"])
        check_golden(self, "address-bar-list", listed, (0, 108, 319, 239))
        # Nine rows of 12 pixels under the arrow, down to y 234.
        self.assertNotEqual(pixel(listed, 150, 230), pixel(picked, 150, 230))

    def test_go_sends_the_typed_address(self):
        self.run_script([OPEN_BAR, SETTLE, KEYS["bksp"]] + letters("x") + [KEYS["ok"]])
        self.assertIn("<URL x >\r\n\r\n", self.events())

    def test_toolbar_icons_send_back_stop_forward_reload_and_zoom_scales_taps(self):
        lines = []
        for icon in ("back", "stop", "forward", "reload", "zoom"):
            lines += [OPEN_BAR, SETTLE, "tap %d 116" % ICONS[icon], SETTLE]
        lines += ["tap 100 100", SETTLE, OPEN_BAR, SETTLE, "tap %d 116" % ICONS["zoom"], SETTLE,
                  "tap 100 100", SETTLE]
        self.run_script(lines)
        ev = [e for e in self.events() if not e.startswith("<T")]
        self.assertEqual(ev, ["<BA>\r\n\r\n", "<STP>\r\n\r\n", "<FO>\r\n\r\n", "<RF>\r\n\r\n", "<ZU>\r\n\r\n",
                              "<MC 150 150>\r\n\r\n", "<ZD>\r\n\r\n", "<MC 200 200>\r\n\r\n"])

    def test_the_exit_icon_ends_the_program_with_its_shut_down(self):
        code, err = self.dev.run(["wait-idle 400", OPEN_BAR, SETTLE, "tap %d 116" % ICONS["exit"],
                                  "expect-exit 5000"], timeout=60)
        self.assertEqual(code, 0, err)
        self.assertEqual(self.events()[-1], "<QT>\r\n\r\n")
        # The history is saved at shut-down.
        self.assertEqual(self.dev.read("/cv/cvhistory.txt").decode().split(), list(reversed(HISTORY)))

    def test_the_options_icon_opens_the_options_screen(self):
        shot = self.shot("options-screen", golden=True)
        self.run_script([OPEN_BAR, SETTLE, "tap %d 116" % ICONS["options"], SETTLE, "screenshot " + shot])
        check_golden(self, "options-screen", shot, (0, 0, 319, 239))
        self.assertTrue(near(pixel(shot, 5, 5), (0xDE, 0xDE, 0xDE), 8))      # silver around the panel
        self.assertTrue(near(pixel(shot, 30, 50), (0xFF, 0xFF, 0xFF), 8))    # the white panel
        self.assertTrue(near(pixel(shot, 113, 200), (0xA8, 0xA8, 0xED), 8))  # the OK button


class HardwareButtons(UiCase):
    """The button that opens the keypad depends on the device; pressed again
    while the keypad is up, it closes it like "Esc"."""

    def bar(self, key, options):
        code, err = self.dev.run(["wait-idle 400", "key %d" % key, SETTLE, KEYS["bksp"], letter("x"), KEYS["ok"],
                                  SETTLE, "key %d" % key, SETTLE, letter("y"), "key %d" % key, SETTLE],
                                 *options, timeout=60)
        self.assertEqual(code, 0, err)
        return [e for e in self.events() if e.startswith("<URL")]

    def test_an_inverted_panel_opens_it_with_button_0xc2(self):
        self.assertEqual(self.bar(0xC2, ["--panel", "inverted"]), ["<URL x >\r\n\r\n"])

    def test_the_hp_family_opens_it_with_button_0xc2(self):
        self.assertEqual(self.bar(0xC2, ["--oem", "HP, iPAQ h5500"]), ["<URL x >\r\n\r\n"])

    def test_other_devices_open_it_with_the_game_api_button_c(self):
        self.assertEqual(self.bar(0xC1, []), ["<URL x >\r\n\r\n"])


class Offline(unittest.TestCase):
    def setUp(self):
        self.dev = NetDevice()  # no balancer: the client goes offline

    def tearDown(self):
        self.dev.close()

    def test_a_demo_page_chosen_from_the_history_is_shown_from_its_file(self):
        before, after = os.path.join(self.dev.root, "b.png"), os.path.join(self.dev.root, "a.png")
        code, err = self.dev.run(["wait-idle 400", "screenshot " + before, OPEN_BAR, SETTLE, "tap 313 132",
                                  SETTLE, "tap 100 144", SETTLE, KEYS["ok"], "wait-idle 600",
                                  "screenshot " + after], timeout=60)
        self.assertEqual(code, 0, err)
        self.assertTrue(near(pixel(before, 160, 120), (0xFF, 0, 0)))  # the no-connection page
        self.assertNotEqual(read_png(before)[2], read_png(after)[2])
        self.assertFalse(near(pixel(after, 160, 230), (0xFF, 0, 0)))


class OptionsScreen(UiCase):
    def open_options(self):
        return [OPEN_BAR, SETTLE, "tap %d 116" % ICONS["options"], SETTLE]

    def edit(self, x, y, text):
        return ["tap %d %d" % (x, y), SETTLE, KEYS["bksp"], "type " + text if text else SETTLE, KEYS["ok"], SETTLE]

    def test_ok_writes_the_settings_exactly_and_they_are_read_back_at_the_next_start(self):
        self.run_script(self.open_options() + self.edit(100, 75, "bob") + self.edit(100, 105, "pw2") +
                        self.edit(100, 173, "cache") + self.edit(275, 173, "8080") +
                        ["tap 43 142", SETTLE, "tap 113 200"])
        written = self.dev.read("/cv/cvconfig.txt")
        self.assertEqual(written, b"Tess\nBOB\nPW2\nCACHE:8080:On\n")
        # Next start: the screen shows what was stored, and OK writes it again unchanged.
        self.dev.write("/cv/cvconfig.txt", written)
        code, err = self.dev.run(["wait-idle 400"] + self.open_options() + ["tap 113 200", SETTLE], timeout=90)
        self.assertEqual(code, 0, err)
        self.assertEqual(self.dev.read("/cv/cvconfig.txt"), written)

    def test_cancel_changes_nothing(self):
        before = self.dev.read("/cv/cvconfig.txt")
        self.run_script(self.open_options() + self.edit(100, 75, "eve") + ["tap 206 200"])
        self.assertEqual(self.dev.read("/cv/cvconfig.txt"), before)

    def test_a_70_character_name_is_stored_as_63(self):
        self.run_script(self.open_options() + self.edit(100, 75, "n" * 70) + ["tap 113 200"])
        lines = self.dev.read("/cv/cvconfig.txt").split(b"\n")
        self.assertEqual(lines[1], b"N" * 63)


if __name__ == "__main__":
    unittest.main()
