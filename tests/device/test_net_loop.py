"""The network loop on the real client: the page file written from the
server's stream whatever its chunking, and the status pages of the failure
paths, told apart on the screen."""
import re
import time
import unittest

from netpeers import STATUS_COLOURS, NetDevice, colour_page, near
from devicetest import BUILD, read_png
import os

HEADER = b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n"


def shipped_page(name):
    with open(os.path.join(BUILD, "device", "cv", name), "rb") as f:
        return f.read()


def page_body(data):
    """The page stream of a compiled page file (after its HTTP header)."""
    return data[data.index(b"\r\n\r\n") + 4:]


def image_payloads(stream):
    out = []
    for m in re.finditer(rb"<IM ([0-9a-f]+) ([0-9a-f]+) ([0-9a-f]+) ([0-9a-f]+) ([0-9a-f]+) ([0-9a-f]+)>", stream):
        n = int(m.group(6), 16)
        out.append(stream[m.end():m.end() + n])
    return out


class Loop(unittest.TestCase):
    def setUp(self):
        self.dev = NetDevice()

    def tearDown(self):
        self.dev.close()

    def shot(self, name="shot.png"):
        return self.dev.path("/" + name)

    def run_to_screen(self, *options, before=(), timeout=120):
        shot = self.shot()
        code, err = self.dev.run(list(before) + ["wait-idle 400", "screenshot " + shot], *options, timeout=timeout)
        self.assertEqual(0, code, err)
        return shot

    def assert_status(self, shot, page):
        rgb = self.dev.screen_colour(shot)
        self.assertTrue(near(rgb, STATUS_COLOURS[page]), "%s shows %s" % (page, rgb))

    def page_stream(self):
        """A page with images whose payloads hold "<" and ">" bytes and a
        text holding ">", as the real server sends them."""
        body = b""
        for name in ("demo1.txt", "demo2.txt", "demo3.txt", "demo4.txt", "demo5.txt"):
            body = page_body(shipped_page(name))
            if any(b"<" in p and b">" in p for p in image_payloads(body)):
                break
        self.assertTrue(any(b"<" in p and b">" in p for p in image_payloads(body)),
                        "no shipped page has an image payload with < and >")
        # A text of 12 bytes holding ">" ahead of the end of the page.
        return HEADER + body.replace(b"<ST>", b"") + b"<DS 3 20 1b0 c a>b<ST>c>def><ST>"

    def test_one_byte_chunks_give_the_same_page_file_and_screen(self):
        stream = self.page_stream()
        results = []
        for chunk in (0, 1):
            dev = NetDevice()
            try:
                dev.balancer("plain")
                dev.render([stream], chunk=chunk, pause_ms=0)
                shot = dev.path("/shot.png")
                code, err = dev.run(["wait-idle 1500", "screenshot " + shot], "--clock", "4", timeout=180)
                self.assertEqual(0, code, err)
                _, _, rows = read_png(shot)
                results.append((dev.read("/cv/kivo.txt"), rows))
            finally:
                dev.close()
        self.assertEqual(results[0][0], results[1][0])
        self.assertTrue(results[0][1] == results[1][1], "the two screens differ")
        # Not a blank or status screen: the page was drawn.
        colours = set(px for row in results[0][1] for px in row)
        self.assertGreater(len(colours), 4)

    def test_reset_connection_shows_the_disconnected_page_without_busy_indicator(self):
        # Part of a page, then the server resets the connection while the
        # client is loading.
        part = HEADER + b"<FR 0 0 280 1e0><BC 80 80 80><CR 3 0 0 280 1e0><DS 3 10 20 5 Hello>"
        self.dev.balancer("plain")
        self.dev.render([part], reset_at=len(part))
        # Offline then: the close key ends the program.
        shot = self.shot()
        code, err = self.dev.run(["wait-idle 400", "screenshot " + shot, "key 197", "expect-exit 5000"],
                                 "--clock", "4", timeout=120)
        self.assertEqual(0, code, err)
        self.assertEqual("reset", self.dev.wire()[-1]["kind"])
        self.assert_status(shot, "/cv/disconnect.txt")
        _, _, rows = read_png(shot)
        corner = set(rows[y][x] for y in range(0, 24) for x in range(296, 320))
        self.assertEqual({rows[120][160]}, corner, "busy indicator left on the screen")

    def test_unresolvable_server_shows_the_no_connection_page(self):
        self.dev.balancer("plain", server="no-such-host.invalid")
        shot = self.run_to_screen("--clock", "4")
        self.assert_status(shot, "/cv/noconnect.txt")

    def test_refused_connection_shows_the_busy_page(self):
        self.dev.balancer("plain")  # nothing listens on port 80
        shot = self.run_to_screen("--clock", "4")
        self.assert_status(shot, "/cv/busy.txt")

    def test_refused_connection_without_busy_page_ends_the_program(self):
        self.dev.balancer("plain")
        os.remove(self.dev.path("/cv/busy.txt"))
        code, err = self.dev.run(["expect-exit 5000"], "--clock", "4", timeout=60)
        self.assertEqual(0, code, err)  # the program ended before the script did

    def test_silent_balancer_ends_on_the_busy_page_after_five_retries(self):
        bal = self.dev.balancer("silent")
        start = time.time()
        shot = self.run_to_screen("--clock", "20")
        self.assert_status(shot, "/cv/busy.txt")
        self.assertEqual(6, len(bal.requests()))
        self.assertLess(time.time() - start, 30)
        self.assertEqual([], self.dev.wire())

    def test_balancer_closing_early_ends_on_the_busy_page(self):
        bal = self.dev.balancer("close")
        shot = self.run_to_screen("--clock", "20")
        self.assert_status(shot, "/cv/busy.txt")
        self.assertEqual(6, len(bal.requests()))

    def test_unresolvable_balancer_retries_for_five_seconds(self):
        self.dev.write("/cv/cvhome.txt", "no-such-host.invalid\r\n80\r\n")
        start = time.time()
        shot = self.run_to_screen()
        took = time.time() - start
        # Splash 1 s, five retries 1 s apart; then no server is known.
        self.assertGreaterEqual(took, 6.0)
        self.assertLess(took, 20.0)
        self.assert_status(shot, "/cv/noconnect.txt")

    def test_retry_delay_follows_the_device_clock(self):
        self.dev.write("/cv/cvhome.txt", "no-such-host.invalid\r\n80\r\n")
        start = time.time()
        shot = self.run_to_screen("--clock", "10")
        self.assertLess(time.time() - start, 4.0)
        self.assert_status(shot, "/cv/noconnect.txt")


if __name__ == "__main__":
    unittest.main()
