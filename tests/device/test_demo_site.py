"""The demo site with the real client: the balancer and the demo site on
loopback addresses of the test's own, the client driven by a script (taps on
links, the back and forward buttons, typed addresses, the toolbar), checked
on what the site logged and on screenshots; and the site's answers on the
wire. (scripts/run-demo, which starts the real servers, is tested in
tests/deploy/test_run_demo.py.)"""
import os
import re
import socket
import sys
import unittest

from devicetest import BUILD, SOURCE, read_png, wait_for
from netpeers import NetDevice, near
import cvproto

sys.path.insert(0, os.path.join(SOURCE, "tests", "peers", "demo"))
from demo_site import SITE_HOST, DemoSite, load_pages, split_address  # noqa: E402

PAGES = os.path.join(BUILD, "demo-site")
FAST = ("--clock", "10")
SETTLE = "wait-idle 400"
BACK, FORWARD, OPEN_BAR = "key 196", "key 195", "key 193"  # buttons A, B and C of this device
CLEAR, OK = "tap 305 150", "tap 312 116"  # keypad backspace and OK
ICONS = {"stop": 143, "reload": 179, "zoom": 197}  # toolbar icons of the address bar, at y 116

# Screen points that tell the pages apart (the first page's header is taller).
BLUE, ORANGE, WHITE, RED = (0x1d, 0x4f, 0x9e), (0xf3, 0x9c, 0x1e), (0xff, 0xff, 0xff), (0x9e, 0x2b, 0x2b)


def pixel(png, x, y):
    return read_png(png)[2][y][x]


def looks_like(png):
    """Which page a screenshot shows, from a few pixels."""
    top, mid = pixel(png, 200, 10), pixel(png, 200, 40)
    if near(top, RED, 8):
        return "not-found"
    if near(top, BLUE, 8) and near(mid, BLUE, 8):
        return "demo1"
    if near(top, BLUE, 8) and near(mid, WHITE, 8) and near(pixel(png, 200, 33), ORANGE, 8):
        return "demo2"  # (and demo3 and demo5, which share its header)
    return None


class DemoCase(unittest.TestCase):
    def setUp(self):
        self.dev = NetDevice()
        self.site = DemoSite(self.dev.addr, load_pages(PAGES), self.dev.wire_log).start()
        self.dev.peers.append(self.site)
        self.dev.balancer("plain", page=SITE_HOST + "/demo1")

    def tearDown(self):
        self.dev.close()

    def shot(self, name):
        return os.path.join(self.dev.root, name + ".png")

    def run_client(self, script):
        code, err = self.dev.run(script, *FAST, timeout=120)
        self.assertEqual(code, 0, err)

    def answers(self):
        """(message answered, page shown or None), in order."""
        return [(r["to"], r["page"]) for r in self.dev.wire("answer")]


class Browsing(DemoCase):
    def test_a_link_then_back_and_forward(self):
        # The card "Text and colour" of the first page: page units 24..308 x 262..342.
        self.run_client([SETTLE, "screenshot " + self.shot("first"), "tap 80 150", SETTLE,
                         "screenshot " + self.shot("linked"), BACK, SETTLE, "screenshot " + self.shot("back"),
                         FORWARD, SETTLE, "screenshot " + self.shot("forward"), "ctrl-q", "expect-exit 5000"])
        self.assertEqual(self.answers(), [
            ("<TM guest\nanonymous\n1.01\n>", "demo1"), ("<MC 160 300>\r\n\r\n", "demo2"),
            ("<BA>\r\n\r\n", "demo1"), ("<FO>\r\n\r\n", "demo2")])
        # The quit message is logged and gets no answer. The stand-in may
        # log it a moment after the client has gone.
        wait_for(lambda: len(self.dev.wire()) >= 2 and self.dev.wire()[-2].get("plain") == "<QT>\r\n\r\n",
                 timeout=10)
        self.assertEqual(self.dev.wire()[-2]["plain"], "<QT>\r\n\r\n")
        self.assertEqual(looks_like(self.shot("first")), "demo1")
        self.assertEqual(looks_like(self.shot("linked")), "demo2")
        rows = {n: read_png(self.shot(n))[2] for n in ("first", "linked", "back", "forward")}
        self.assertEqual(rows["back"], rows["first"])
        self.assertEqual(rows["forward"], rows["linked"])
        # The linked page came with its address in a scrambled block: it is in
        # the address history (saved oldest first), the first page before it.
        history = self.dev.read("/cv/cvhistory.txt").decode().split("\n")
        self.assertEqual(history[:2], ["http://demo.corvanta/demo1", "http://demo.corvanta/demo2"])

    def test_a_tap_beside_the_links_and_the_ends_of_the_history_keep_the_page(self):
        self.run_client([SETTLE, "tap 160 60", SETTLE, BACK, SETTLE, FORWARD, SETTLE,
                         "screenshot " + self.shot("still")])
        self.assertEqual([p for _, p in self.answers()], ["demo1", None, None, None])
        self.assertEqual(looks_like(self.shot("still")), "demo1")

    def test_typed_addresses_and_the_not_found_page(self):
        def go(text):
            return [OPEN_BAR, SETTLE, CLEAR, "type " + text, OK, SETTLE]
        # To the framed page first: its navigation column reaches the bottom
        # edge, which the next page must not keep.
        self.run_client([SETTLE] + go("demo4") + ["screenshot " + self.shot("framed")] + go("www.example.com/x") +
                        ["screenshot " + self.shot("missing"), "tap 100 160", SETTLE,
                         "screenshot " + self.shot("home"), BACK, SETTLE, "screenshot " + self.shot("again"),
                         "ctrl-q", "expect-exit 5000"])
        self.assertEqual(self.answers()[1:], [
            ("<URL DEMO4 >\r\n\r\n", "demo4"), ("<URL WWW.EXAMPLE.COM/X >\r\n\r\n", "not-found"),
            ("<MC 200 320>\r\n\r\n", "demo1"), ("<BA>\r\n\r\n", "not-found")])
        self.assertTrue(near(pixel(self.shot("framed"), 40, 235), (0x21, 0x38, 0x63), 24))
        self.assertEqual(looks_like(self.shot("missing")), "not-found")
        for x, y in ((40, 235), (160, 235), (315, 120)):  # the strips at the bottom and right
            self.assertEqual(pixel(self.shot("missing"), x, y), WHITE, (x, y))
        self.assertEqual(looks_like(self.shot("home")), "demo1")
        self.assertEqual(read_png(self.shot("again"))[2], read_png(self.shot("missing"))[2])
        # The opened address was confirmed and recorded; the missing one was not.
        history = self.dev.read("/cv/cvhistory.txt").decode().split("\n")
        self.assertIn("DEMO4", history)
        self.assertNotIn("WWW.EXAMPLE.COM/X", history)

    def test_scroll_reload_and_zoom_resend_the_page_stop_only_ends_loading(self):
        def icon(name):
            return [OPEN_BAR, SETTLE, "tap %d 116" % ICONS[name], SETTLE]
        self.run_client([SETTLE, "key 40", SETTLE] + icon("reload") + icon("zoom") +
                        ["screenshot " + self.shot("zoomed")] + icon("zoom") + icon("stop") +
                        ["screenshot " + self.shot("after")])
        self.assertEqual(self.answers()[1:], [
            ("<PGR>\r\n\r\n", "demo1"), ("<RF>\r\n\r\n", "demo1"), ("<ZU>\r\n\r\n", "demo1"),
            ("<ZD>\r\n\r\n", "demo1"), ("<STP>\r\n\r\n", None)])
        # Zoomed in, the header (96 page units high) reaches 64 screen rows.
        self.assertTrue(near(pixel(self.shot("zoomed"), 200, 60), BLUE, 8))
        self.assertEqual(looks_like(self.shot("after")), "demo1")


class Answers(unittest.TestCase):
    """The site's answers as they travel: one HTTP/1.0 response per request,
    its length stated, its body a page that opens with a page cut and ends
    with the end-of-page mark."""

    def setUp(self):
        self.site = DemoSite("127.0.0.1", load_pages(PAGES), ports=(0,)).start()
        port = self.site.listeners[0].getsockname()[1]
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        wait_for(lambda: self.site.records)  # the site has taken the connection
        self.key = cvproto.login_key(cvproto.base_key(), b"Tess", b"http://" + SITE_HOST.encode() + b"/demo3")

    def tearDown(self):
        self.sock.close()
        self.site.stop()

    def post(self, body):
        self.sock.sendall(b"POST http://x:80/j.t HTTP/1.0\r\nContent-length: %d\r\n\r\n" % len(body) + body)

    def reply(self):
        data = b""
        while b"\r\n\r\n" not in data:
            data += self.sock.recv(65536)
        head, body = data.split(b"\r\n\r\n", 1)
        length = int(re.search(rb"Content-Length: (\d+)", head).group(1))
        while len(body) < length:
            body += self.sock.recv(65536)
        self.assertTrue(head.startswith(b"HTTP/1.0 200 OK\r\n"), head)
        self.assertEqual(len(body), length)
        return body

    def event(self, text, variant=3):
        self.post(cvproto.make_block(text, self.key, variant))
        return self.reply()

    def test_login_link_address_and_quit(self):
        self.post(b"CORVANTA PPC\r\nTess\r\nhttp://%s/demo3\r\n" % SITE_HOST.encode() +
                  cvproto.make_block(b"<TM a\nb\n1.01\n>", self.key, 5))
        first = self.reply()
        self.assertTrue(first.startswith(b"<CL><EN "), first[:40])
        # The scrambled block carries the page's address for the history.
        v, plain, rest = cvproto.open_block(first[4:], self.key)
        self.assertEqual(plain, b"<URL http://demo.corvanta/demo3>")
        self.assertTrue(rest.startswith(b"<FR 0 0 280 1e0>") and rest.endswith(b"<ST>"))
        with open(os.path.join(PAGES, "demo3.txt"), "rb") as f:
            self.assertTrue(f.read().endswith(rest))
        # demo3 links its header (page units 0..640 x 0..64) back to demo1.
        linked = self.event(b"<MC 300 30>\r\n\r\n")
        self.assertIn(b"<URL http://demo.corvanta/demo1>", cvproto.open_block(linked[4:], self.key)[1])
        self.assertEqual(self.event(b"<MC 300 200>\r\n\r\n"), b"<ST>")
        self.assertTrue(self.event(b"<URL demo5 >\r\n\r\n").startswith(b"<CL><BU><FR "))
        missing = self.event(b"<URL nowhere/at/all >\r\n\r\n")
        self.assertTrue(missing.startswith(b"<CL><FR ") and missing.endswith(b"<ST>"))
        self.assertIn(b"<DS 3 18 a0 e nowhere/at/all>", missing)
        self.assertNotIn(b"<BU>", missing)
        self.assertEqual(self.event(b"<STP>\r\n\r\n"), b"<ST>")
        self.assertEqual(self.event(b"<TF q 2 1 z >"), b"<ST>")
        # Back to the typed page (no address block this time), forward to the missing one.
        with open(os.path.join(PAGES, "demo5.txt"), "rb") as f:
            self.assertTrue(f.read().endswith(b"\r\n\r\n" + self.event(b"<BA>\r\n\r\n")))
        self.assertEqual(self.event(b"<FO>\r\n\r\n", 6), missing)
        self.post(b"<QT>\r\n\r\n")
        self.sock.settimeout(0.5)
        with self.assertRaises(socket.timeout):
            self.sock.recv(1)

    def test_addresses(self):
        self.assertEqual(split_address("http://demo.corvanta/demo2"), ("demo.corvanta", "demo2"))
        self.assertEqual(split_address("/cv/demo2.txt"), ("", "demo2"))
        self.assertEqual(split_address("DEMO3"), ("", "demo3"))
        self.assertEqual(split_address("www.example.com"), ("www.example.com", ""))
        self.assertEqual(split_address("demo.corvanta/?q=1"), ("demo.corvanta", ""))
        self.assertEqual(self.site.named("demo.corvanta").name, "demo1")
        self.assertIsNone(self.site.named("www.example.com/demo2"))
        self.assertIsNone(self.site.named("demo9"))


if __name__ == "__main__":
    unittest.main()
