"""The real client on the emulated device against the real rendering server,
its real browser engine and a real website on loopback. The client's script
is a pipe that the test writes a command at a time, so that every step waits
for the server's answer to have been sent (its log says so) and for the
client to have drawn it. Checked: what the user sees (screenshots: text where
the engine put it, in its colours; table backgrounds and borders; the colours
of PNG, JPEG and CSS background pictures; scrolling both ways; the form's
controls) and what the website received (form fields, each session's
cookies)."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from serverpeers import SOURCE, Stack, free_address, wait_for

sys.path.insert(0, os.path.join(SOURCE, "tests", "device"))
sys.path.insert(0, os.path.join(SOURCE, "tests", "peers", "balancer"))
from devicetest import CLIENT, Device, read_png  # noqa: E402
from balancer_server import BalancerServer  # noqa: E402
from site_server import Site  # noqa: E402
from serverpeers import PAGES  # noqa: E402

SHOTS = os.environ.get("CV_SERVER_SHOTS")  # a folder to keep the screenshots in, for looking at them
KEYPAD_OK = "tap 312 116"
TEXT_AREA_OK = "tap 312 8"
OPEN_BAR = "key 193"  # application button C: the address bar and its toolbar
ICONS = {"exit": 107, "back": 125, "stop": 143, "forward": 161, "reload": 179, "zoom": 197}
BACK_KEY, FORWARD_KEY = 196, 195
# Page up and left, as the device is held.
PAGE_UP_KEY, PAGE_LEFT_KEY = 0x27, 0x26
# The keypad's lower-case letters (the hardware keyboard gives capitals).
KEY_ROWS = ("qwertyuiop", 70, 170), ("asdfghjkl", 75, 190), ("zxcvbnm", 85, 210)
# The direction keys as the user holds the device in landscape: the left key
# scrolls the page down, the down key to the right.
PAGE_DOWN_KEY, PAGE_RIGHT_KEY = 0x25, 0x28


class LiveDevice(Device):
    """The client, driven through a pipe; its home file points at a balancer
    stand-in that names the rendering server and the first page."""

    def __init__(self, stack, first_page, user="guest", password="anonymous"):
        super().__init__()
        self.stack = stack
        self.write("/cv/cvconfig.txt", "Tess\r\n%s\r\n%s\r\n::off" % (user, password))
        balancer = free_address(8080)
        self.write("/cv/cvhome.txt", "%s\r\n8080\r\n" % balancer)
        self.write("/cv/cvversion.txt", "1.01\r\n")
        self.balancer = BalancerServer(balancer, 8080, stack.server.addr, first_page, "plain").start()
        self.shots = tempfile.mkdtemp(prefix="cvshots-")
        self.fifo = os.path.join(self.root, "live.script")
        os.mkfifo(self.fifo)
        args = [CLIENT, "--root", self.root, "--headless", "--script", self.fifo, "--log", self.log]
        # Its output goes to a file: a pipe nobody reads could fill and stop it.
        self.out_path = os.path.join(self.shots, "client.out")
        with open(self.out_path, "wb") as out:
            self.proc = subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT)
        self.pipe = open(self.fifo, "w")
        self.n = 0

    def do(self, *commands):
        for c in commands:
            self.pipe.write(c + "\n")
        self.pipe.flush()

    def pages_sent(self):
        return len(self.stack.server.log("page"))

    def settle(self, pages_before, count=1, timeout=30):
        """Waits for the server to have sent `count` more answers, then for the
        client to have taken and drawn them."""
        ok = wait_for(lambda: self.pages_sent() >= pages_before + count, timeout=timeout)
        if not ok:
            raise AssertionError("the server sent no answer: %r" % self.stack.server.log()[-5:])
        self.do("wait-idle 300")

    def step(self, command, count=1):
        before = self.pages_sent()
        self.do(command)
        self.settle(before, count)

    def screenshot(self, name):
        self.n += 1
        path = os.path.join(self.shots, "%02d-%s.png" % (self.n, name))
        self.do("screenshot " + path)
        if not wait_for(lambda: os.path.exists(path) and png_complete(path), timeout=40):
            raise AssertionError("no screenshot: " + self.proc_state())
        if SHOTS:
            os.makedirs(SHOTS, exist_ok=True)
            shutil.copy(path, os.path.join(SHOTS, os.path.basename(path)))
        return read_png(path)[2]

    def proc_state(self):
        with open(self.out_path, "rb") as f:
            said = f.read()[-300:].decode("latin-1")
        return "client %s: %s" % ("running" if self.proc.poll() is None else "ended %s" % self.proc.returncode, said)

    def close(self):
        try:
            self.pipe.close()
        except OSError:
            pass
        try:
            self.proc.wait(15)
        except Exception:  # noqa: BLE001 - the device is put away either way
            self.proc.kill()
        self.balancer.stop()
        shutil.rmtree(self.shots, ignore_errors=True)
        super().close()


def png_complete(path):
    with open(path, "rb") as f:
        return f.read()[-8:-4] == b"IEND"


def keypad(text):
    """Script lines that type text on the keypad: small letters by their keys,
    "." and "/" by the hardware keyboard."""
    lines = []
    for c in text:
        if c == ".":
            lines.append("key 190")
        elif c == "/":
            lines.append("key 191")
        else:
            for keys, first, y in KEY_ROWS:
                if c in keys:
                    lines.append("tap %d %d" % (first + 20 * keys.index(c), y))
                    break
            else:
                raise KeyError(c)
    return lines


def near(rgb, want, tol=24):
    return all(abs(a - b) <= tol for a, b in zip(rgb, want))


def count_near(rows, box, want, tol=40):
    x0, y0, x1, y1 = box
    return sum(1 for y in range(y0, y1) for x in range(x0, x1) if near(rows[y][x], want, tol))


def darkest(rows, box, n=12):
    """The mean colour of the n darkest pixels in the box: the colour of text
    drawn there, whatever its anti-aliasing."""
    x0, y0, x1, y1 = box
    px = sorted((sum(rows[y][x]), rows[y][x]) for y in range(y0, y1) for x in range(x0, x1))[:n]
    return tuple(sum(p[1][i] for p in px) // len(px) for i in range(3))


def ink(rows, box, background=(255, 255, 255), tol=60):
    """Pixels in the box that are not the background."""
    x0, y0, x1, y1 = box
    return sum(1 for y in range(y0, y1) for x in range(x0, x1) if not near(rows[y][x], background, tol))


class LiveCase(unittest.TestCase):
    """One server (on port 80, where the client reaches it) and one site for
    the whole class; each test has a device of its own."""

    @classmethod
    def setUpClass(cls):
        cls.stack = Stack(port=80)

    @classmethod
    def tearDownClass(cls):
        cls.stack.close()

    def open(self, page, **kw):
        before = len(self.stack.server.log("page"))
        dev = LiveDevice(self.stack, self.stack.page(page), **kw)
        self.addCleanup(dev.close)
        dev.settle(before, timeout=60)
        return dev


class DeviceBrowsing(LiveCase):
    """What the user sees of real pages, and what the site received."""

    def test_text_in_its_sizes_and_colours_where_the_engine_put_it(self):
        dev = self.open("text.html")
        rows = dev.screenshot("text")
        # Each line: ink of its colour inside the line's box (page units / 2),
        # and the page white to its right.
        def black(c):
            return max(c) < 110

        def red(c):
            return c[0] > c[1] + 60 and c[0] > c[2] + 60

        def blue(c):
            return c[2] > c[0] + 60 and c[2] > c[1] + 40

        def green(c):
            return c[1] > c[0] + 40 and c[1] > c[2] + 20
        lines = [((10, 10, 110, 22), black), ((10, 30, 110, 44), red), ((10, 55, 150, 72), blue),
                 ((10, 85, 150, 100), green)]
        for box, colour in lines:
            self.assertGreater(ink(rows, box), 40, "text in %r" % (box,))
            self.assertTrue(colour(darkest(rows, box)), "text in %r is %r" % (box, darkest(rows, box)))
            x0, y0, x1, y1 = box
            self.assertEqual(ink(rows, (x1 + 60, y0, 310, y1)), 0, "nothing right of the line at %r" % (box,))
        # Bigger text is taller: the 26 line has ink over more rows than the 16 line.
        def rows_with_ink(y0, y1):
            return sum(1 for y in range(y0, y1) if ink(rows, (10, y, 150, y + 1)) > 0)
        self.assertGreater(rows_with_ink(52, 75), rows_with_ink(8, 24))
        # The link in its colour, underlined: a row of ink across its width.
        self.assertTrue(blue(darkest(rows, (10, 114, 150, 128))))
        self.assertTrue(any(ink(rows, (12, y, 120, y + 1)) > 90 for y in range(118, 128)), "an underline")

    def test_text_in_other_scripts_shows_as_the_engine_painted_it(self):
        # Russian, Chinese and Arabic: letters the handheld's font lacks. They
        # show as the engine painted them (a picture of each line), in their
        # colours, with the height of letters, not the handheld's stand-in
        # dashes; the link among them still opens its page.
        dev = self.open("languages.html")
        rows = dev.screenshot("languages")

        def red(c):
            return c[0] > c[1] + 60 and c[0] > c[2] + 60

        def blue(c):
            return c[2] > c[0] + 60 and c[2] > c[1] + 40

        def black(c):
            return max(c) < 110

        def rows_with_ink(box):
            x0, y0, x1, y1 = box
            return sum(1 for y in range(y0, y1) if ink(rows, (x0, y, x1, y + 1)) > 0)
        lines = [((10, 8, 120, 22), black), ((10, 28, 130, 44), red), ((10, 53, 100, 68), black),
                 ((10, 78, 90, 94), blue), ((10, 113, 90, 128), blue)]
        for box, colour in lines:
            self.assertGreater(ink(rows, box), 40, "text in %r" % (box,))
            self.assertTrue(colour(darkest(rows, box)), "text in %r is %r" % (box, darkest(rows, box)))
            self.assertGreaterEqual(rows_with_ink(box), 6, "letters, not dashes, in %r" % (box,))
        dev.step("tap 40 121")
        rows = dev.screenshot("languages-second")
        self.assertGreater(ink(rows, (0, 0, 100, 20)), 10, "the second page's first line")
        self.assertEqual(count_near(rows, (10, 28, 130, 44), (0xc0, 0, 0), 40), 0, "the first page is gone")

    def test_a_link_tap_opens_the_page_and_enters_the_address_history(self):
        dev = self.open("text.html")
        dev.step("tap 40 121")
        rows = dev.screenshot("second")
        self.assertGreater(ink(rows, (0, 0, 100, 20)), 10, "the second page's first line")
        self.assertEqual(count_near(rows, (10, 55, 150, 72), (0, 0, 0xc0), 40), 0, "the text page is gone")
        dev.do("ctrl-q")
        dev.proc.wait(20)
        history = dev.read("/cv/cvhistory.txt").decode()
        self.assertIn(self.stack.url("second.html"), history)
        self.assertIn(self.stack.url("text.html"), history)

    def test_table_backgrounds_and_borders(self):
        dev = self.open("table.html")
        rows = dev.screenshot("table")
        # Cells of 160 x 80 at (20, 20) with 2-pixel borders, collapsed.
        cells = {(25, 20): (0xff, 0xd0, 0xd0), (105, 20): (0xd0, 0xff, 0xd0),
                 (25, 60): (0xd0, 0xd0, 0xff), (105, 60): (0xff, 0xff, 0x90)}
        for (x, y), colour in cells.items():
            self.assertTrue(near(rows[y][x], colour, 12), "cell at %d,%d is %r" % (x, y, rows[y][x]))
        # The borders: dark lines between the cells and around them.
        self.assertLess(sum(rows[50][91]), 150, "the vertical border between A and B")
        self.assertLess(sum(rows[51][60]), 150, "the horizontal border between A and C")
        self.assertTrue(near(rows[120][200], (255, 255, 255), 8), "white outside the table")

    def test_png_jpeg_and_css_background_pictures_in_their_colours(self):
        dev = self.open("images.html")
        rows = dev.screenshot("images")
        quadrants = {(35, 25): (220, 30, 30), (85, 25): (30, 170, 60), (35, 55): (40, 70, 220), (85, 55): (240, 200, 40)}
        for (x, y), colour in quadrants.items():
            self.assertTrue(near(rows[y][x], colour, 16), "PNG at %d,%d is %r" % (x, y, rows[y][x]))
        blocks = {(140, 30): (200, 40, 40), (160, 30): (40, 160, 80), (180, 30): (50, 80, 200), (200, 30): (230, 190, 60)}
        for (x, y), colour in blocks.items():
            self.assertTrue(near(rows[y][x], colour, 24), "JPEG at %d,%d is %r" % (x, y, rows[y][x]))
        # The tile: orange and blue stripes, 10 page units each (5 pixels).
        orange = count_near(rows, (12, 92, 208, 138), (255, 140, 0), 30)
        blue = count_near(rows, (12, 92, 208, 138), (0, 120, 200), 30)
        self.assertGreater(orange, 2000)
        self.assertGreater(blue, 2000)

    def test_a_long_page_scrolls_down_and_right(self):
        dev = self.open("long.html")
        rows = dev.screenshot("long-top")
        self.assertTrue(near(rows[30][30], (0xd0, 0x20, 0x20), 16), "red block top left")
        self.assertGreater(ink(rows, (312, 0, 320, 230), (255, 255, 255), 10), 0, "a vertical scroll bar")
        self.assertGreater(ink(rows, (0, 232, 310, 240), (255, 255, 255), 10), 0, "a horizontal scroll bar")
        for _ in range(3):
            dev.step("key %d" % PAGE_DOWN_KEY)
        for _ in range(3):
            dev.step("key %d" % PAGE_RIGHT_KEY)
        rows = dev.screenshot("long-bottom-right")
        self.assertFalse(near(rows[30][30], (0xd0, 0x20, 0x20), 16), "the red block scrolled away")
        yellow = count_near(rows, (0, 0, 310, 230), (0xe0, 0xc0, 0x20), 16)
        self.assertGreater(yellow, 1000, "the yellow block at the bottom right is in view")
        # Back with the other two keys, and by taps on the scroll bar above
        # its thumb (a screen each).
        for _ in range(3):
            dev.step("key %d" % PAGE_LEFT_KEY)
        dev.step("tap 315 12")
        self.assertFalse(near(dev.screenshot("long-middle")[30][30], (0xd0, 0x20, 0x20), 16), "one screen up")
        dev.step("tap 315 12")
        dev.step("key %d" % PAGE_UP_KEY)  # a screen is a line less than the view: one more to the top
        rows = dev.screenshot("long-top-again")
        self.assertTrue(near(rows[30][30], (0xd0, 0x20, 0x20), 16), "the red block is back")
        codes = [r["message"] for r in self.stack.server.log("message")]
        self.assertIn("PGL", codes)
        self.assertIn("SC", codes)
        dev.step("key %d" % PAGE_UP_KEY)  # at the top already: nothing changes
        self.assertEqual(self.stack.server.log("page")[-1]["outcome"], "unchanged")

    def test_a_picture_scrolled_under_the_screens_edges_shows_whole_and_travels_once(self):
        # Four columns of colour, from 50 pixels down the screen to far below
        # it: cut at the bottom, then at the top, then at both edges.
        columns = [(25, (200, 40, 40)), (95, (40, 160, 80)), (165, (50, 80, 200)), (235, (230, 190, 60))]

        def whole(rows, top, bottom):
            for y in range(top, bottom, 7):
                for x, colour in columns:
                    self.assertTrue(near(rows[y][x], colour, 24), "at %d,%d: %r" % (x, y, rows[y][x]))

        dev = self.open("tall-picture.html")
        whole(dev.screenshot("tall-top"), 52, 238)
        sizes = [self.stack.server.log("page")[-1]["bytes"]]
        # Two screens down and three lines on (the scroll bar's down arrow),
        # then two screens up: places the page was never shown at.
        for command in ["key %d" % PAGE_DOWN_KEY, "key %d" % PAGE_DOWN_KEY, "tap 315 236",
                        "key %d" % PAGE_UP_KEY, "key %d" % PAGE_UP_KEY]:
            dev.step(command)
            whole(dev.screenshot("tall"), 0 if len(sizes) < 5 else 60, 238)
            sizes.append(self.stack.server.log("page")[-1]["bytes"])
        offsets = [r["message"] for r in self.stack.server.log("message")][-5:]
        self.assertEqual(offsets, ["PGD", "PGD", "SC", "PGU", "PGU"])
        # Each screen down sends the rows new to the handheld (all but the
        # line the screens share); back up, every row is held: drawn from
        # the handheld's cache, the picture takes no payload.
        self.assertGreater(min(sizes[:3]), 20000, sizes)
        self.assertLess(max(sizes[4:]), 1000, sizes)

    def test_a_script_changes_the_page_on_a_tap(self):
        dev = self.open("script.html")
        rows = dev.screenshot("lamp-off")
        self.assertTrue(near(rows[30][60], (0x80, 0x80, 0x80), 10))
        dev.step("tap 60 30")
        rows = dev.screenshot("lamp-on")
        self.assertTrue(near(rows[30][60], (0x10, 0xb0, 0x10), 12), "the lamp is green: %r" % (rows[30][60],))

    def test_a_form_with_every_control_kind_is_filled_and_sent(self):
        dev = self.open("form.html")
        rows = dev.screenshot("form")
        # The controls are drawn by the client: frames of the fields and lists.
        for box in ((5, 5, 105, 17), (110, 5, 210, 17), (5, 45, 80, 59), (100, 45, 175, 85), (5, 95, 155, 135)):
            self.assertGreater(ink(rows, box, (255, 255, 255), 30), 20, "a control in %r" % (box,))
        # Each edit goes to the server as its own message (TF, PF as TF, TA,
        # DM, LM) and is answered before the next.
        def edit(lines, code):
            before = len(self.stack.server.log("page"))
            n = len([r for r in self.stack.server.log("message") if r.get("message") == code])
            dev.do(*lines)
            wait_for(lambda: len([r for r in self.stack.server.log("message") if r.get("message") == code]) > n,
                     timeout=20)
            dev.settle(before)
        edit(["tap 50 10", "wait-idle 300", "type ann", KEYPAD_OK, "wait-idle 300"], "TF")
        edit(["tap 150 10", "wait-idle 300", "type pw", KEYPAD_OK, "wait-idle 300"], "TF")
        edit(["tap 50 115", "wait-idle 300", "type a note", TEXT_AREA_OK, "wait-idle 300"], "TA")
        edit(["tap 40 52", "wait-idle 300", "tap 20 89", "wait-idle 300"], "DM")   # the drop-down: blue
        edit(["tap 120 62", "wait-idle 300"], "LM")                                # the list box: pear
        dev.step("tap 10 30")   # the check box
        dev.step("tap 55 30")   # the second radio button
        rows = dev.screenshot("filled")
        self.assertLess(sum(darkest(rows, (6, 5, 60, 17))), 200, "the typed name is shown in its field")
        dev.step("tap 30 152")  # Send
        rows = dev.screenshot("sent")
        form = self.stack.site.requests("/form-echo")[-1]["form"]
        self.assertEqual(form.get("who"), ["ANN"])  # the hardware keyboard's letters are capitals
        self.assertEqual(form.get("secret"), ["PW"])
        self.assertEqual(form.get("note"), ["A NOTE"])
        self.assertEqual(form.get("tea"), ["yes"])
        self.assertEqual(form.get("size"), ["large"])
        self.assertEqual(form.get("colour"), ["blue"])
        self.assertEqual(form.get("fruit"), ["pear"])
        self.assertGreater(ink(rows, (0, 0, 160, 20)), 10, "the answer page")

    def test_a_cookie_set_by_a_page_is_sent_back_by_its_session_only(self):
        dev = self.open("cookie.html")
        dev.step("tap 40 20")
        dev.step("key 196")  # back
        dev.step("tap 40 60")
        shows = self.stack.site.requests("/cookie/show")
        self.assertEqual(shows[-1]["cookie"], "flavour=oat")
        other = self.open("cookie.html")
        other.step("tap 40 60")
        self.assertEqual(self.stack.site.requests("/cookie/show")[-1]["cookie"], "")


class DeviceNavigation(LiveCase):
    """Every way the user moves between pages, from the client's own keys,
    toolbar and address bar. A second site on port 80 answers to a name the
    user types ("shop.test", mapped by the server's --map-host)."""

    @classmethod
    def setUpClass(cls):
        cls.shop = Site(free_address(80), 80, PAGES).start()
        cls.stack = Stack(port=80, map_hosts=[("shop.test", cls.shop.addr)], allow_hosts=["shop.test:80"])

    @classmethod
    def tearDownClass(cls):
        cls.stack.close()
        cls.shop.stop()

    def messages(self, code):
        return [r for r in self.stack.server.log("message") if r.get("message") == code]

    def bar(self, dev, icon):
        """A toolbar icon of the address bar, and the answer it brings."""
        dev.do(OPEN_BAR, "wait-idle 300")
        dev.step("tap %d 116" % ICONS[icon])

    def test_a_typed_address_is_confirmed_into_the_history_and_one_that_fails_is_not(self):
        dev = self.open("text.html")
        dev.do(OPEN_BAR, "wait-idle 300", *keypad("shop.test/second.html"))
        dev.step("key 13")
        rows = dev.screenshot("typed")
        self.assertTrue(self.shop.requests("/second.html"), "the typed site was asked")
        self.assertGreater(ink(rows, (0, 0, 100, 20)), 10, "the second page's first line")
        self.assertEqual(count_near(rows, (10, 55, 150, 72), (0, 0, 0xc0), 40), 0, "the text page is gone")
        dev.do(OPEN_BAR, "wait-idle 300", *keypad("nowhere.invalid"))
        dev.step("key 13")
        rows = dev.screenshot("typed-unknown")
        self.assertEqual(self.stack.server.log("own-page")[-1]["kind"], 2, "a page saying the name is unknown")
        self.assertGreater(ink(rows, (0, 0, 320, 30)), 100, "its heading")
        dev.do("ctrl-q")
        dev.proc.wait(20)
        history = dev.read("/cv/cvhistory.txt").decode().split()
        self.assertIn("shop.test/second.html", history)
        self.assertFalse([h for h in history if "nowhere" in h], history)
        self.assertIn(self.stack.url("text.html"), history)
        # The quit message ended the session and disposed of its page.
        self.assertTrue(self.stack.server.wait_log(lambda r: r["event"] == "session-end" and r["reason"] == "quit"))

    def test_back_forward_and_reload_from_the_keys_and_the_toolbar(self):
        dev = self.open("index.html")
        first = dev.screenshot("index")
        dev.step("tap 20 10")                      # "Second page"
        second = dev.screenshot("second")
        self.assertNotEqual(first, second)
        dev.step("key %d" % BACK_KEY)
        self.assertEqual(dev.screenshot("back"), first)
        dev.step("key %d" % FORWARD_KEY)
        self.assertEqual(dev.screenshot("forward"), second)
        self.bar(dev, "back")
        self.assertEqual(dev.screenshot("toolbar-back"), first)
        self.bar(dev, "forward")
        asked = len(self.stack.site.requests("/second.html"))
        self.bar(dev, "reload")
        self.assertEqual(len(self.stack.site.requests("/second.html")), asked + 1, "reload asked the site again")
        self.assertEqual(dev.screenshot("reloaded"), second)
        self.assertEqual([len(self.messages(c)) > 0 for c in ("BA", "FO", "RF")], [True] * 3)

    def test_stop_on_a_shown_page_changes_nothing_and_the_session_goes_on(self):
        # The client takes no input while it waits for an answer, so its stop
        # comes between pages (what a stop in the middle of a page does is
        # tried on the wire).
        dev = self.open("third.html")
        shown = dev.screenshot("third")
        self.bar(dev, "stop")
        page = self.stack.server.log("page")[-1]
        self.assertEqual((page["message"], page["outcome"], page["bytes"]), ("STP", "stopped", 4))
        self.assertEqual(dev.screenshot("stopped"), shown)
        dev.step("tap 160 200")
        self.assertEqual(self.stack.server.log("page")[-1]["message"], "MC")

    def test_zoom_lays_the_page_out_larger_and_taps_follow_it(self):
        dev = self.open("index.html")
        normal = dev.screenshot("normal")
        self.bar(dev, "zoom")
        zoomed = dev.screenshot("zoomed")
        # The 20-unit link text is 10 pixels high unzoomed and about 13 zoomed.
        def text_rows(rows, box):
            x0, y0, x1, y1 = box
            return sum(1 for y in range(y0, y1) if ink(rows, (x0, y, x1, y + 1), (0xee, 0xee, 0xff), 90) > 0)
        self.assertGreater(text_rows(zoomed, (0, 0, 80, 22)), text_rows(normal, (0, 0, 80, 16)))
        self.assertEqual(self.stack.server.log("page")[-1]["message"], "ZU")
        # "Set cookie" starts at page x 210: 140 pixels zoomed, 105 unzoomed.
        dev.step("tap 160 8")
        self.assertTrue(self.stack.site.requests("/cookie/set"), "the zoomed tap hit the link")
        self.bar(dev, "zoom")
        self.assertEqual(self.stack.server.log("page")[-1]["message"], "ZD")
        dev.step("key %d" % BACK_KEY)
        self.assertEqual(dev.screenshot("unzoomed"), normal)

    def test_dialogs_new_windows_and_downloads(self):
        dev = self.open("index.html")
        dev.step("tap 20 60")                       # alert('Hello from alert')
        rows = dev.screenshot("alert")
        self.assertTrue(self.stack.server.log("dialog"))
        # The dialog's text is shown in a band across the top of the page.
        band = rows[8][150]
        self.assertFalse(near(band, (255, 255, 255), 8), "a band at the top: %r" % (band,))
        self.assertGreater(ink(rows, (0, 0, 100, 16), band, 60), 20, "the dialog's text in it")
        self.assertGreater(ink(rows, (210, 30, 270, 42)), 20, "the script's text after the alert")
        dev.step("tap 150 35")                      # a link with target=_blank
        second = dev.screenshot("new-window")
        self.assertGreater(ink(second, (0, 0, 100, 20)), 10)
        self.assertEqual(self.stack.server.log("page")[-1]["url"], self.stack.url("second.html"))
        dev.step("key %d" % BACK_KEY)
        dev.step("tap 150 60")                      # window.open('third.html')
        self.assertEqual(self.stack.server.log("page")[-1]["url"], self.stack.url("third.html"))
        dev.step("key %d" % BACK_KEY)
        dev.step("tap 20 85")                       # a download
        rows = dev.screenshot("download")
        self.assertTrue(self.stack.server.log("download-refused"))
        self.assertEqual(self.stack.server.log("own-page")[-1]["kind"], 6)
        self.assertGreater(ink(rows, (0, 0, 320, 30)), 100, "the refusal's heading")
        dev.step("key %d" % BACK_KEY)
        self.assertEqual(self.stack.server.log("page")[-1]["url"], self.stack.url("index.html"))


class DeviceEngineRestart(LiveCase):
    """The engine dies under a session and comes back."""

    def test_the_user_is_told_and_can_open_the_page_again(self):
        dev = self.open("index.html")
        old = self.stack.server.engine_pid()
        os.kill(old, 9)
        self.assertTrue(wait_for(lambda: self.stack.server.engine_pid() not in (None, old), timeout=30))
        dev.step("tap 20 35")                       # "Change": its page is gone
        rows = dev.screenshot("restarted")
        self.assertEqual(self.stack.server.log("own-page")[-1]["kind"], 1)
        self.assertGreater(ink(rows, (0, 0, 320, 30)), 100, "the notice's heading")
        asked = len(self.stack.site.requests("/index.html"))
        # Its link opens the page the session was on.
        link = self.stack.server.log("page")[-1]
        self.assertEqual(link["url"], self.stack.url("index.html"))
        dev.step("tap 40 %d" % self.restart_link_y(rows))
        self.assertEqual(len(self.stack.site.requests("/index.html")), asked + 1)
        self.assertTrue(near(dev.screenshot("again")[30][20], (0xaa, 0xaa, 0xee), 40), "the index's buttons")

    def restart_link_y(self, rows):
        """The row of the notice's link: the lowest row with link-blue ink
        (the address above it is blue too)."""
        for y in range(229, 30, -1):
            if any(c[2] > c[0] + 60 and c[2] > c[1] + 20 for c in rows[y][0:300]):
                return y - 4
        self.fail("no link on the notice")


class DeviceIdle(LiveCase):
    """A session left alone past the server's idle time-out."""

    @classmethod
    def setUpClass(cls):
        cls.stack = Stack(port=80, extra=("--idle-timeout", "2"))

    def test_the_next_tap_shows_the_clients_disconnected_page(self):
        dev = self.open("index.html")
        normal = dev.screenshot("index")
        self.assertTrue(self.stack.server.wait_log(lambda r: r["event"] == "session-end" and r["reason"] == "idle"))
        dev.do("tap 20 35", "wait-idle 500")
        # The client shows its own page and stays up (it asks nothing more).
        ok = wait_for(lambda: dev.screenshot("after") != normal, timeout=20, step=0.5)
        self.assertTrue(ok, "the client still shows the page")
        self.assertIsNone(dev.proc.poll())
        self.assertFalse(self.stack.server.log("page")[1:], "no page came after the time-out")


if __name__ == "__main__":
    unittest.main()
