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

SHOTS = os.environ.get("CV_SERVER_SHOTS")  # a folder to keep the screenshots in, for looking at them
KEYPAD_OK = "tap 312 116"
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
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
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
        if not wait_for(lambda: os.path.exists(path) and open(path, "rb").read()[-8:-4] == b"IEND", timeout=40):
            raise AssertionError("no screenshot: " + self.proc_state())
        if SHOTS:
            os.makedirs(SHOTS, exist_ok=True)
            shutil.copy(path, os.path.join(SHOTS, os.path.basename(path)))
        return read_png(path)[2]

    def proc_state(self):
        return "client %s" % ("running" if self.proc.poll() is None else "ended %s" % self.proc.returncode)

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


class DeviceBrowsing(unittest.TestCase):
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
        before = len(self.stack.server.log("page"))
        dev.do("tap 50 10", "wait-idle 300", "type ann", KEYPAD_OK, "wait-idle 300")
        wait_for(lambda: any(r.get("message") == "TF" for r in self.stack.server.log("message")), timeout=20)
        dev.settle(before)
        dev.step("tap 10 30")   # the check box
        dev.step("tap 55 30")   # the second radio button
        dev.step("tap 30 152")  # Send
        rows = dev.screenshot("sent")
        form = self.stack.site.requests("/form-echo")[-1]["form"]
        self.assertEqual(form.get("who"), ["ANN"])  # the keypad's letter layer starts in capitals
        self.assertEqual(form.get("tea"), ["yes"])
        self.assertEqual(form.get("size"), ["large"])
        self.assertEqual(form.get("colour"), ["red"])
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


if __name__ == "__main__":
    unittest.main()
