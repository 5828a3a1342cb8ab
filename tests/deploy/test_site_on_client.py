"""The sample website as a newcomer meets it: the real client, through the
real balancer and rendering server, taps its way from the home page to the
gallery, submits the form and works the script page. Checked on what the
web server was asked for and on the text the page stream brought."""
import os
import unittest

from deploytest import BUILD, ClientDevice, SITE_START, Stack, near, read_png, wait_for, write_balancer_conf

# Screen points of the home page's tiles and of the page scroll bar.
GALLERY_TILE, FORM_TILE, SCRIPT_TILE = "tap 230 163", "tap 60 212", "tap 230 212"
SCROLL_DOWN = "tap 315 225"   # the page scroll bar, below its thumb
SEND = "tap 110 223"          # the form's Send button, scrolled to the end
LAMP, ADD_ONE = "tap 160 110", "tap 40 150"
BAND = (0x08, 0x5d, 0x68)


class OnTheClient(unittest.TestCase):
    def setUp(self):
        self.stack = Stack(BUILD)
        self.addCleanup(self.stack.stop)
        write_balancer_conf(self.stack.balancer_conf, [])
        self.stack.start_nginx()
        server = self.stack.start_server()
        write_balancer_conf(self.stack.balancer_conf, [server.addr], SITE_START)
        self.dev = ClientDevice(self.stack.balancer_addr, self.stack.balancer_port)
        self.addCleanup(self.dev.close)
        self.live = self.dev.live()
        self.addCleanup(self.live.close)
        self.assertTrue(self.live.wait_page(), self.live.error_text())

    def page(self):
        """The page file as the client holds it: the current page's stream."""
        try:
            with open(self.dev.path("/cv/kivo.txt"), "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def tap_until(self, taps, text, timeout=30):
        self.live.send("wait-idle 300", *taps)
        self.assertTrue(wait_for(lambda: text in self.page(), timeout=timeout),
                        "%r did not arrive after %s:\n%s" % (text, taps, self.page()[-2000:]))
        self.live.send("wait-idle 300")

    def requested(self):
        with open(os.path.join(self.stack.work, "access.log")) as f:
            return [l.split('"')[1] for l in f if '"' in l]

    def test_the_home_page_leads_to_the_gallery(self):
        shot = self.dev.path("/home.png")
        self.assertTrue(self.live.screenshot(shot))
        self.assertTrue(near(read_png(shot)[2][4][300], BAND, 12))
        self.tap_until([GALLERY_TILE], "Dunes at sunset")
        asked = self.requested()
        for picture in ("dunes.jpg", "city.png", "leaf.png", "waves.jpg", "tiles.png"):
            self.assertIn("GET /pictures/%s HTTP/1.1" % picture, asked)

    def test_the_form_shows_what_was_sent(self):
        self.tap_until([FORM_TILE], "A form with every control")
        self.tap_until([SCROLL_DOWN] * 4 + ["wait-idle 500", SEND], "What you sent")
        self.assertIn("POST /cgi-bin/sent.cgi HTTP/1.1", self.requested())
        # The first screen of the answer: the fields as the form held them
        # (the defaults; the unchecked box and the empty list send nothing).
        page = self.page()
        self.assertIn("The web server received 9 fields by POST:", page)
        for shown in ("Tess", "double", "yes", "Afternoon"):
            self.assertIn(" %s>" % shown, page)

    def test_the_script_page_changes_on_a_tap(self):
        self.tap_until([SCRIPT_TILE], "The lamp is off")
        self.tap_until([LAMP], "The lamp is on")
        self.tap_until([ADD_ONE], "Taps so far: 1")


if __name__ == "__main__":
    unittest.main()
