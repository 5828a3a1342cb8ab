"""The shipped status and demo pages on the real client: each drawn as the
device shows it and compared pixel for pixel with its golden screenshot under
tests/page/golden/, and a page whose picture arrives after a page cut drawn
early (text first) and then completely, fed by the rendering-server stand-in.

CV_UPDATE_GOLDEN=1 writes the golden screenshots anew (look at them before
keeping them)."""
import os
import shutil
import time
import unittest

from devicetest import BUILD, SOURCE, Device, read_png
from netpeers import NetDevice, RenderServer

GOLDEN = os.path.join(SOURCE, "tests", "page", "golden")
STATUS = ("/cv/noconnect.txt", "/cv/busy.txt", "/cv/disconnect.txt", "/cv/cvupgrade.txt")
PAGES = ("cvsplash", "busy", "noconnect", "disconnect", "cvupgrade",
         "demo1", "demo2", "demo3", "demo4", "demo5")
HEADER = b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n"


def shipped(name):
    with open(os.path.join(BUILD, "device", "cv", name + ".txt"), "rb") as f:
        return f.read()


def differing(a_rows, b_rows):
    return sum(1 for a, b in zip(a_rows, b_rows) for p, q in zip(a, b) if p != q)


class Golden(unittest.TestCase):
    """Each page is put in place of every status page of a device whose
    balancer cannot be reached, so the page the client falls back to is it."""

    def shoot(self, name, *options):
        dev = Device()
        try:
            page = shipped(name)
            for path in STATUS:
                dev.write(path, page)
            dev.write("/cv/cvhome.txt", "127.0.0.1\r\n9\r\n")  # nothing listens there
            shot = dev.path("/shot.png")
            code, err = dev.run(["wait-idle 800", "screenshot " + shot], "--clock", "4", *options, timeout=120)
            self.assertEqual(0, code, err)
            kept = os.path.join(BUILD, "page-%s%s.got.png" % (name, "".join(options).replace("-", "")))
            shutil.copy(shot, kept)
            return kept
        finally:
            dev.close()

    def check(self, name, *options):
        got = self.shoot(name, *options)
        golden = os.path.join(GOLDEN, name + ".png")
        if os.environ.get("CV_UPDATE_GOLDEN") == "1" and not options:
            shutil.copy(got, golden)
        if not os.path.exists(golden):
            self.fail("no golden screenshot %s (got %s)" % (golden, got))
        n = differing(read_png(golden)[2], read_png(got)[2])
        self.assertEqual(0, n, "%d pixels of %s differ from %s" % (n, got, golden))

    def test_every_shipped_page(self):
        for name in PAGES:
            with self.subTest(page=name):
                self.check(name)

    def test_pages_on_the_inverted_panel_look_the_same(self):
        for name in ("demo3", "demo4"):
            with self.subTest(page=name):
                self.check(name, "--panel", "inverted")


class SplitRender(RenderServer):
    """Answers the login with the reply in two parts, a pause between them."""

    def __init__(self, *a, split=0, pause=2.0, **kw):
        super().__init__(*a, **kw)
        self.split = split
        self.gap = pause

    def _send(self, conn, data, state):
        if self.split and len(data) > self.split:
            conn.sendall(data[:self.split])
            time.sleep(self.gap)
            conn.sendall(data[self.split:])
            state["sent"] += len(data)
            return True
        return super()._send(conn, data, state)


class EarlyDraw(unittest.TestCase):
    def test_page_cut_then_image_draws_text_first_and_the_picture_when_it_completes(self):
        body = shipped("demo3")
        body = body[body.index(b"\r\n\r\n") + 4:]
        stream = HEADER + b"<CL>" + body
        im = stream.index(b"<IM ")
        split = stream.index(b">", im) + 1 + 40  # the first image tag and a little of its payload
        self.assertLess(split, 4000)
        dev = NetDevice()
        try:
            dev.balancer("plain")
            s = SplitRender(dev.addr, (80,), dev.wire_log, [stream], split=split, pause=3.0).start()
            dev.peers.append(s)
            early, final = dev.path("/early.png"), dev.path("/final.png")
            code, err = dev.run(["wait-idle 1000", "screenshot " + early, "sleep 3000",
                                 "wait-idle 1000", "screenshot " + final], timeout=120)
            self.assertEqual(0, code, err)
            _, _, e = read_png(early)
            _, _, f = read_png(final)
            # The landscape picture stands at (12, 44), 128 by 72.
            def picture_pixels(rows):
                return sum(1 for y in range(50, 110) for x in range(20, 130) if rows[y][x] != (255, 255, 255))
            self.assertEqual(0, picture_pixels(e), "the picture is drawn before it arrived")
            self.assertGreater(picture_pixels(f), 5000)
            # The text and the title band are there early.
            self.assertEqual(e[10][200], f[10][200])
            self.assertNotEqual((255, 255, 255), e[10][200])
            self.assertNotEqual(e, f)
            # Complete, the page is the one the device draws from its file.
            golden = os.path.join(GOLDEN, "demo3.png")
            self.assertTrue(os.path.exists(golden), "no golden screenshot " + golden)
            n = differing(read_png(golden)[2], f)
            self.assertEqual(0, n, "%d pixels differ from the page drawn from its file" % n)
        finally:
            dev.close()


if __name__ == "__main__":
    unittest.main()
