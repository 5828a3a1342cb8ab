"""The stylus on what scrolls, on the real client: the page's scroll-bar
arrows, the arrows of a list box and of an open drop-down list, dragging in
an open drop-down list past its edges, and the view of a text area in the
editor moved by its scroll arrows. Checked on what the rendering-server
stand-in receives and on screenshots."""
import os
import unittest

from devicetest import read_png
from netpeers import NetDevice, events

HEADER = b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n"
SETTLE = "wait-idle 300"

# The sample pages' scroll bars: vertical {1, 312, 231, 320} with its arrows
# at {1, 312, 8, 319} and {223, 312, 230, 319}; horizontal {232, 0, 240, 313}
# with its arrows at {232, 0, 239, 8} and {232, 304, 239, 312}.
BARS = b"<SH 3 11 1cf 24d 11 11 23e><SV 3 26f 11 11 1ad 11 3f>"
# A list box of six items showing three rows: rows at x 126..201, y 70..105
# (12 pixels each); its up arrow at x 202..211, y 70..79, its down arrow at
# y 97..106.
LISTBOX = (b"<LM 3 fa 8c 96 48 pick><LI 0 pick 1 a><LI 0 pick 1 b><LI 0 pick 1 c>"
           b"<LI 0 pick 1 d><LI 0 pick 1 e><LI 0 pick 1 f>")
# A drop-down of 25 items at 125,10: open, its outline spans y 8..237 and its
# 19 rows of 12 pixels fill x 127..198, y 9..236; its arrows stand in the band
# at x 199..208, the up arrow at its top, the down arrow at its bottom.
DROPDOWN = b"<DM 3 fa 14 96 1c big>" + b"".join(
    b"<DI %d big 3 i%02d>" % (1 if i == 0 else 0, i) for i in range(25))
# A text area of twelve lines, the first too wide for the editor's box.
AREA_LINES = ["line 0 " + "w" * 60] + ["line %d" % i for i in range(1, 12)]
AREA_TEXT = "\n".join(AREA_LINES).encode()
AREA = b"<TA 3 14 14 c8 50 notes %x " % len(AREA_TEXT) + AREA_TEXT + b">"


def page(*parts):
    return HEADER + b"<FR 0 0 280 1e0><BC ff ff ff><CR 3 0 0 280 1e0>" + b"".join(parts) + b"<ST>"


def region(png, x0, y0, x1, y1):
    rows = read_png(png)[2]
    return [row[x0:x1 + 1] for row in rows[y0:y1 + 1]]


class Case(unittest.TestCase):
    content = b""

    def setUp(self):
        self.dev = NetDevice()
        self.dev.balancer()
        self.dev.render([page(self.content)])

    def tearDown(self):
        self.dev.close()

    def shot(self, name):
        return self.dev.path("/" + name + ".png")

    def run_script(self, lines):
        code, err = self.dev.run(["wait-idle 400"] + lines + [SETTLE], timeout=120)
        self.assertEqual(0, code, err)

    def sent(self, prefixes):
        return [e for e in events(self.dev) if e and e[:3] in prefixes]


class ScrollBarArrows(Case):
    content = BARS

    def test_each_arrow_sends_its_scroll_tap_and_a_release_beside_it_sends_nothing(self):
        before, pressed, after = self.shot("before"), self.shot("pressed"), self.shot("after")
        self.run_script(["screenshot " + before,
                         # Pressed, slid off and released beside it: nothing.
                         "down 315 226", SETTLE, "screenshot " + pressed, "move 280 200", "up 280 200", SETTLE,
                         "screenshot " + after,
                         "tap 315 4", SETTLE, "tap 315 226", SETTLE, "tap 4 235", SETTLE, "tap 307 235", SETTLE])
        # Each arrow's tap is its top-left corner + 2, in page units.
        self.assertEqual(["<SC 628 6>\r\n\r\n", "<SC 628 450>\r\n\r\n", "<SC 4 468>\r\n\r\n",
                          "<SC 612 468>\r\n\r\n"], self.sent(("<SC", "<MC")))
        arrow = (312, 223, 319, 230)
        self.assertNotEqual(region(before, *arrow), region(pressed, *arrow), "the arrow is not drawn pressed")
        self.assertEqual(region(before, *arrow), region(after, *arrow), "the arrow stays pressed")


class ListBoxArrows(Case):
    content = LISTBOX

    def test_the_arrows_scroll_a_row_each_as_far_as_the_last_item(self):
        rows = (126, 70, 201, 105)
        s = {n: self.shot(n) for n in ("top", "one", "back", "pressed")}
        self.run_script(["screenshot " + s["top"],
                         "tap 206 101", SETTLE, "screenshot " + s["one"],
                         "tap 206 74", SETTLE, "screenshot " + s["back"],
                         # Five rows down scrolls only to the last three items.
                         "tap 206 101", "tap 206 101", "tap 206 101", "tap 206 101", "tap 206 101", SETTLE,
                         "tap 150 99", SETTLE,
                         "tap 206 74", SETTLE, "down 150 75", SETTLE, "screenshot " + s["pressed"],
                         "up 150 75", SETTLE])
        self.assertEqual(["<LM pick 5 >", "<LM pick 2 >"], self.sent(("<LM", "<MC", "<SC")))
        self.assertNotEqual(region(s["top"], *rows), region(s["one"], *rows))
        self.assertEqual(region(s["top"], *rows), region(s["back"], *rows))
        # Row 1 of the first screen (b) is row 0 after one row down.
        self.assertEqual(region(s["top"], 127, 83, 200, 92), region(s["one"], 127, 71, 200, 80))


class OpenDropDown(Case):
    content = DROPDOWN

    def test_dragging_past_the_lower_edge_scrolls_a_row_per_move_and_the_release_picks(self):
        opened, dragged = self.shot("opened"), self.shot("dragged")
        self.run_script(["tap 150 15", SETTLE, "screenshot " + opened,
                         "down 150 15", "move 150 239", "move 150 239", "move 150 239", SETTLE,
                         "screenshot " + dragged, "move 150 39", "up 150 39"])
        # Three rows down, then back onto the third row: item 3 + 2.
        self.assertEqual(["<DM big 5 >"], self.sent(("<DM", "<MC")))
        # After three moves the list shows from item 3: the first row of the
        # dragged list is the fourth row of the opened one (the highlighted
        # last row apart).
        self.assertEqual(region(opened, 128, 46, 197, 55), region(dragged, 128, 10, 197, 19))
        self.assertNotEqual(region(opened, 128, 10, 197, 19), region(dragged, 128, 10, 197, 19))

    def test_dragging_above_the_upper_edge_scrolls_back_up(self):
        self.run_script(["tap 150 15", SETTLE,
                         "down 150 15", "move 150 239", "move 150 239", "move 150 239", "move 150 239",
                         "move 150 3", "move 150 3", "move 150 15", "up 150 15"])
        # Four down, two up: the first row shows item 2.
        self.assertEqual(["<DM big 2 >"], self.sent(("<DM", "<MC")))

    def test_a_release_outside_the_rows_picks_nothing_and_closes_the_list(self):
        before, after = self.shot("before"), self.shot("after")
        self.run_script(["screenshot " + before, "tap 150 15", SETTLE,
                         "down 150 30", "move 260 30", "up 260 30", SETTLE, "screenshot " + after])
        self.assertEqual([], self.sent(("<DM", "<MC")))
        self.assertEqual(region(before, 100, 0, 240, 239), region(after, 100, 0, 240, 239))

    def test_its_arrows_scroll_and_the_list_stays_open(self):
        self.run_script(["tap 150 15", SETTLE, "tap 203 232", SETTLE, "tap 203 232", SETTLE,
                         "tap 203 13", SETTLE, "tap 150 15", SETTLE])
        self.assertEqual(["<DM big 1 >"], self.sent(("<DM", "<MC")))


class ScrollStrips(Case):
    """SW clears the scroll strips and discards every control read before it:
    a field that stood there takes no tap; one after it does."""
    content = (b"<BC 0 ff 0><CR 3 0 0 280 1e0><TF 3 14 14 c8 1c q 1 z><BT 3 14 b4 50 20 go 2 Go>"
               b"<SW 0 -1e><TF 3 14 50 c8 1c after 1 y>")

    def test_controls_before_it_are_gone_and_the_strips_are_white(self):
        shot = self.shot("shot")
        self.run_script(["screenshot " + shot, "tap 50 15", SETTLE, "tap 20 95", SETTLE,
                         "tap 50 45", SETTLE, "type k", "tap 312 116", SETTLE])
        self.assertEqual(["<MC 100 30>\r\n\r\n", "<MC 40 190>\r\n\r\n", "<TF after 2 1 K >"],
                         self.sent(("<MC", "<TF", "<BT")))
        rows = read_png(shot)[2]
        self.assertTrue(all(rows[y][x] == (255, 255, 255) for y in range(231, 240) for x in range(0, 320, 7)))
        self.assertTrue(all(rows[y][x] == (255, 255, 255) for y in range(0, 240, 7) for x in range(311, 320)))
        # The discarded field and button are not drawn: the green page shows.
        self.assertEqual((0, 255, 0), rows[15][50])
        self.assertEqual((0, 255, 0), rows[95][20])


class TextAreaView(Case):
    """The editor's text area shows 8 of its lines (rows of 14 pixels from
    y 17, x 0..309); its vertical arrows at 314,21 and 314,126, its
    horizontal ones at 4,135 and 305,135."""
    content = AREA

    def row(self, png, k):
        return region(png, 0, 17 + 14 * k, 309, 30 + 14 * k)

    def test_the_arrows_move_the_view_and_typing_brings_the_caret_back(self):
        s = {n: self.shot(n) for n in ("start", "down2", "up2", "right3", "left3", "typed")}
        down, up, left, right = "tap 314 126", "tap 314 21", "tap 4 135", "tap 305 135"
        self.run_script(["tap 50 20", SETTLE, "screenshot " + s["start"],
                         down, down, SETTLE, "screenshot " + s["down2"],
                         up, up, SETTLE, "screenshot " + s["up2"],
                         right, right, right, SETTLE, "screenshot " + s["right3"],
                         left, left, left, SETTLE, "screenshot " + s["left3"],
                         down, down, down, "type q", SETTLE, "screenshot " + s["typed"],
                         "tap 312 8", SETTLE])
        # Two lines down: line 2 is on the first row, the caret (on line 0)
        # out of view.
        self.assertEqual(self.row(s["start"], 2), self.row(s["down2"], 0))
        self.assertEqual(self.row(s["start"], 7), self.row(s["down2"], 5))
        # Back up: the same screen as at the start, the caret included.
        self.assertEqual(region(s["start"], 0, 17, 319, 139), region(s["up2"], 0, 17, 319, 139))
        # Three columns right moves every line; three left puts it back.
        self.assertNotEqual(self.row(s["start"], 1), self.row(s["right3"], 1))
        self.assertEqual(region(s["start"], 0, 17, 319, 139), region(s["left3"], 0, 17, 319, 139))
        # A typed letter goes where the caret was (line 0, column 0), and
        # the view comes back to it.
        self.assertNotEqual(self.row(s["start"], 0), self.row(s["typed"], 0))
        self.assertEqual(self.row(s["start"], 1), self.row(s["typed"], 1))
        text = "\n".join(["Q" + AREA_LINES[0]] + AREA_LINES[1:])
        count = sum(len(x) + 1 for x in text.split("\n"))
        self.assertIn("<TA notes %d %d %s >" % (count, len(text), text), self.sent(("<TA",)))


if __name__ == "__main__":
    unittest.main()
