"""A form page with every kind of control, served by the rendering-server
stand-in and drawn by the real client on the emulated device, compared pixel
for pixel with golden screenshots: as it opens, zoomed in, and with its
drop-down list open. A screenshot that differs is kept in the build folder
(controls-*.got.png) so that a person can look at it; a missing golden is
written in place and the test fails until someone has looked at it. The
goldens are those of the unit tests that draw the same page through the
interpreter alone: the whole client must show exactly the same pixels."""
import os
import shutil
import unittest

from devicetest import BUILD, SOURCE, read_png
from netpeers import NetDevice

HEADER = b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n"
GOLDEN = os.path.join(SOURCE, "tests", "controls", "golden")
SETTLE = "wait-idle 400"
OPEN_BAR = "key 193"   # application button C: address bar and keypad
ZOOM_ICON = "tap 197 116"


def counted(words, text):
    data = text.encode("utf-8")
    return b"<" + words.encode() + b" %x " % len(data) + data + b">"


def form_page():
    """The order form of the control tests (page units, the screen is half size)."""
    p = b"<FR 0 0 280 1e0><sw 3 0 0><BC ff ff ff><FC 0 0 0><CR 3 0 0 0 0><CR 3 0 0 280 1e0><SZ 18>"

    def text(x, y, s):
        return counted("DS 3 %x %x" % (x, y), s)

    p += text(0x14, 0x24, "Order form") + b"<SZ 10>"
    p += text(0x14, 0x50, "Name") + counted("TF 3 78 3c 98 1a name", "Ada Lovelace")
    p += text(0x14, 0x70, "Password") + counted("PF 3 78 5c 98 1a pw", "secret")
    p += text(0x14, 0x90, "Notes") + counted("TA 3 78 7c 98 50 notes", "First line\nSecond line\nThird line")
    p += b"<CB 3 78 d8 1a 1a 1 gift>" + text(0x90, 0xe6, "Gift wrap")
    p += b"<CB 3 78 f4 1a 1a 0 news>" + text(0x90, 0x102, "Newsletter")
    p += b"<RB 3 104 d8 1a 1a 0 size>" + text(0x11c, 0xe6, "Small")
    p += b"<RB 3 104 f4 1a 1a 1 size>" + text(0x11c, 0x102, "Large")
    p += text(0x14, 0x128, "Category") + b"<DM 3 78 114 c0 1a cat>"
    p += counted("DI 0 cat", "All Products") + counted("DI 1 cat", "Books") + counted("DI 0 cat", "Music")
    p += text(0x118, 0x32, "Fruit") + b"<LM 3 118 3c a0 60 pick>"
    for i, fruit in enumerate(["Apple", "Banana", "Cherry", "Damson", "Elder", "Fig", "Grape", "Kiwi",
                               "Lime", "Mango"]):
        p += counted("LI %d pick" % (i == 1), fruit)
    p += counted("BT 3 78 140 70 22 go", "Search") + counted("BT 3 104 140 70 22 reset", " Get ")
    return p + b"<ST>"


class FormPageOnTheDevice(unittest.TestCase):
    def setUp(self):
        self.dev = NetDevice()
        self.dev.balancer()
        page = HEADER + form_page()
        self.dev.render([page, page, page])

    def tearDown(self):
        self.dev.close()

    def run_script(self, lines):
        code, err = self.dev.run([SETTLE] + lines + [SETTLE], timeout=90)
        self.assertEqual(0, code, err)

    def shot(self, name):
        return os.path.join(self.dev.root, name + ".png")

    def assert_golden(self, got, name):
        golden = os.path.join(GOLDEN, name + ".png")
        if os.environ.get("CV_UPDATE_GOLDEN") == "1":
            shutil.copy(got, golden)  # look at it before keeping it
        if not os.path.exists(golden):
            kept = os.path.join(BUILD, "controls-%s.got.png" % name)
            shutil.copy(got, kept)
            self.fail("no golden picture %s; got %s" % (golden, kept))
        want_rows = read_png(golden)[2]
        got_rows = read_png(got)[2]
        differ = sum(1 for a, b in zip(want_rows, got_rows) for p, q in zip(a, b) if p != q)
        if differ:
            kept = os.path.join(BUILD, "controls-%s.got.png" % name)
            shutil.copy(got, kept)
            self.fail("%d pixels differ from %s; got %s" % (differ, golden, kept))

    def test_the_form_as_it_opens(self):
        self.run_script(["screenshot " + self.shot("form")])
        self.assert_golden(self.shot("form"), "form_page")

    def test_the_form_zoomed_in(self):
        self.run_script([OPEN_BAR, SETTLE, ZOOM_ICON, SETTLE, "screenshot " + self.shot("zoomed")])
        self.assert_golden(self.shot("zoomed"), "form_page_zoomed")

    def test_the_form_with_its_drop_down_open(self):
        # The drop-down's arrow button stands right of its box at 156..165, 140..149.
        self.run_script(["tap 160 144", SETTLE, "screenshot " + self.shot("open")])
        self.assert_golden(self.shot("open"), "form_page_open")


if __name__ == "__main__":
    unittest.main()
