"""Turns of the main loop on the real client: the busy indicator kept while a
requested page is awaited and let go when an answer's data stops, input held
back while loading (only the indicator's timer gets through), the page
redrawn when the device comes back to the program, and the offline loop of a
status page. The stand-in's replies wait for the script where the order of
events matters (gated.py)."""
import os
import unittest

from devicetest import read_png, wait_for
from gated import Gate, NetDevice, gated_render
from netpeers import events, near

HEADER = b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n"
SETTLE = "wait-idle 400"


def page(rgb, extra=b"", cut=True):
    """A whole-screen page of one colour (no end tag)."""
    return ((b"<CL>" if cut else b"") + b"<FR 0 0 280 1e0><BC %x %x %x><CR 3 0 0 280 1e0>" % rgb + extra)


BLUE, GREEN, RED = (0, 0, 0xff), (0, 0xff, 0), (0xff, 0, 0)
# The sample pages' vertical scroll bar: screen {1, 312, 231, 320}, its thumb
# from page y 0x11 to 0x4f.
VBAR = b"<SV 3 26f 11 11 1ad 11 3f>"


def region(png, x0, y0, x1, y1):
    rows = read_png(png)[2]
    return [row[x0:x1 + 1] for row in rows[y0:y1 + 1]]


def indicator_shown(png):
    """The busy indicator's raised frame: dark blue at its top-left corner,
    light blue at its bottom-right (pixel rows of the corner box)."""
    rows = read_png(png)[2]
    return near(rows[0][296], (0x44, 0x44, 0xAA), 8) and near(rows[23][319], (0xA8, 0xA8, 0xED), 8)


def same_screen(a, b):
    # Compared as a whole: a difference of two screens is too long to print.
    return read_png(a)[2] == read_png(b)[2]


def all_near(rows, rgb):
    return all(near(p, rgb) for row in rows for p in row)


def pulse(png):
    return region(png, 298, 2, 317, 21)


class Case(unittest.TestCase):
    def setUp(self):
        self.dev = NetDevice()

    def tearDown(self):
        self.dev.close()

    def shot(self, name):
        return self.dev.path("/" + name + ".png")

    def run_script(self, lines, *options):
        code, err = self.dev.run(lines, *options, timeout=120)
        self.assertEqual(0, code, err)

    def gate_records(self, name="gate"):
        # The stand-in records a gate a moment after the script passed it.
        wait_for(lambda: any(r.get("kind") == name for r in self.dev.wire()), timeout=10)
        return [r for r in self.dev.wire() if r.get("kind") == name]

    def taps(self):
        return [e for e in events(self.dev) if e and e[:3] in ("<MC", "<SC")]


class BusyIndicator(Case):
    def test_a_page_tap_holds_input_and_keeps_the_pulsing_indicator_until_the_page_ends(self):
        gate = self.shot("gate")
        self.dev.balancer()
        gated_render(self.dev, [HEADER + page(BLUE, b"<ST>", cut=False),
                                [HEADER + page(GREEN), Gate(gate), b"<ST>"]])
        s = {n: self.shot(n) for n in ("start", "loading", "p1", "p2", "p3", "p4", "end")}
        self.run_script([SETTLE, "screenshot " + s["start"],
                         "tap 100 100", SETTLE, "screenshot " + s["loading"],
                         # A second tap while the page is awaited waits in the queue.
                         "tap 200 200",
                         "sleep 40", "screenshot " + s["p1"], "sleep 40", "screenshot " + s["p2"],
                         "sleep 40", "screenshot " + s["p3"], "sleep 40", "screenshot " + s["p4"],
                         "sleep 1000", "screenshot " + gate,
                         SETTLE, "screenshot " + s["end"]])
        g = self.gate_records()
        self.assertEqual(1, len(g), g)
        self.assertTrue(g[0]["reached"])
        # Nothing was sent while the page was awaited; the held tap went after it.
        self.assertEqual(0, g[0]["early"], "the second tap was sent while the page was loading")
        self.assertEqual(["<MC 200 200>\r\n\r\n", "<MC 400 400>\r\n\r\n"], self.taps())
        self.assertFalse(indicator_shown(s["start"]))
        # The new page is drawn, the indicator over it, its data stopped long since.
        self.assertTrue(near(read_png(s["loading"])[2][120][160], GREEN))
        self.assertTrue(indicator_shown(s["loading"]))
        for n in ("p1", "p2", "p3", "p4"):
            self.assertTrue(indicator_shown(s[n]), n)
        # The timer still reaches the indicator: it pulses.
        pulses = [pulse(s[n]) for n in ("p1", "p2", "p3", "p4")]
        self.assertTrue(any(p != pulses[0] for p in pulses[1:]), "the indicator did not pulse while loading")
        # The end tag let it go, and the page under it is whole again.
        self.assertFalse(indicator_shown(s["end"]))
        self.assertTrue(all_near(region(s["end"], 296, 0, 319, 23), GREEN))

    def test_a_scroll_bar_tap_lets_the_indicator_go_once_its_data_stops(self):
        self.dev.balancer()
        self.dev.render([HEADER + page(BLUE, VBAR + b"<ST>", cut=False),
                         HEADER + page(GREEN, VBAR)])  # no end tag: a scroll's answer
        s = {n: self.shot(n) for n in ("after", "end")}
        self.run_script([SETTLE, "tap 315 150", SETTLE, "screenshot " + s["after"],
                         "tap 100 100", SETTLE, "screenshot " + s["end"]])
        # Below the thumb: the bar's tap is placed just after the thumb's end.
        # The next tap is taken at once (no page is awaited).
        self.assertEqual(["<SC 630 82>\r\n\r\n", "<MC 200 200>\r\n\r\n"], self.taps())
        self.assertTrue(near(read_png(s["after"])[2][120][160], GREEN))
        self.assertFalse(indicator_shown(s["after"]))
        self.assertTrue(all_near(region(s["after"], 296, 0, 311, 23), GREEN))

    def test_without_its_end_tag_an_awaited_page_keeps_the_indicator(self):
        self.dev.balancer()
        self.dev.render([HEADER + page(BLUE, b"<ST>", cut=False), HEADER + page(GREEN)])
        shot = self.shot("shot")
        self.run_script([SETTLE, "tap 100 100", "wait-idle 800", "screenshot " + shot])
        self.assertTrue(near(read_png(shot)[2][120][160], GREEN))
        self.assertTrue(indicator_shown(shot))


class Focus(Case):
    def test_a_page_that_arrives_while_away_is_drawn_when_the_device_comes_back(self):
        gate = self.shot("gate")
        self.dev.balancer()
        # The new page holds a picture, so that the network loop draws it
        # early on its own: that must not reach the screen either.
        gated_render(self.dev, [[HEADER + page(BLUE, cut=False), Gate(gate),
                                 page(GREEN, b"<IM 3 0 0 10 10 6>" + b"\0" * 6 + b"<IE><ST>")]])
        s = {n: self.shot(n) for n in ("before", "away", "back")}
        self.run_script([SETTLE, "screenshot " + s["before"], "focus-out", SETTLE,
                         "screenshot " + gate, "sleep 1500", SETTLE, "screenshot " + s["away"],
                         "focus-in", SETTLE, "screenshot " + s["back"]])
        g = self.gate_records()
        self.assertEqual(1, len(g))
        # The new page was sent, and the client idle after it, before the
        # screenshot taken away (else the machine was too slow to tell).
        if os.path.getmtime(s["away"]) - g[0]["time"] < 0.6:
            self.skipTest("the page did not arrive while the program was away")
        self.assertTrue(near(read_png(s["before"])[2][120][160], BLUE))
        # While another program has the screen, the client draws nothing.
        self.assertTrue(same_screen(s["before"], s["away"]), "the screen changed")
        # Back again, the whole page is drawn: the one that arrived meanwhile.
        rows = read_png(s["back"])[2]
        self.assertTrue(all(near(rows[y][x], GREEN) for y in (5, 120, 235) for x in (5, 160, 315)))

    def test_coming_back_redraws_the_same_page_without_sending_anything(self):
        self.dev.balancer()
        self.dev.render([HEADER + page(BLUE, b"<ST>", cut=False)])
        s = {n: self.shot(n) for n in ("before", "back")}
        self.run_script([SETTLE, "screenshot " + s["before"], "focus-out", SETTLE, "focus-in", SETTLE,
                         "screenshot " + s["back"]])
        self.assertTrue(same_screen(s["before"], s["back"]), "the screen changed")
        self.assertEqual([], [e for e in events(self.dev) if e != "<QT>\r\n\r\n"])


class OfflineLoop(Case):
    """No balancer answers: the no-connection page is up and only window
    messages are worked."""

    def test_the_status_page_is_drawn_again_from_its_file_when_the_device_comes_back(self):
        # The page file changes while the client is offline; nothing draws it
        # until the focus comes back.
        marker, late = self.shot("marker"), self.shot("late")
        s = {n: self.shot(n) for n in ("first", "unchanged", "back")}
        import threading

        def rewrite():
            if wait_for(lambda: os.path.exists(marker), timeout=60):
                self.dev.write("/cv/noconnect.txt", b"<FR 0 0 280 1e0><BC 0 ff 0><CR 3 0 0 280 1e0><ST>")
                self.rewritten_in_time = not os.path.exists(late)

        self.rewritten_in_time = False
        t = threading.Thread(target=rewrite, daemon=True)
        t.start()
        self.run_script([SETTLE, "screenshot " + s["first"], "screenshot " + marker, "sleep 1500",
                         "screenshot " + late, SETTLE, "screenshot " + s["unchanged"],
                         "focus-out", SETTLE, "focus-in", SETTLE, "screenshot " + s["back"],
                         "tap 100 100", SETTLE])
        t.join(5)
        if not self.rewritten_in_time:
            self.skipTest("the machine was too busy to change the file while the script slept")
        self.assertTrue(near(read_png(s["first"])[2][120][160], RED))
        self.assertTrue(same_screen(s["first"], s["unchanged"]), "the screen changed")
        self.assertTrue(near(read_png(s["back"])[2][120][160], GREEN))
        # Offline, a tap goes nowhere and the program runs on.
        self.assertEqual([], self.dev.wire("login"))
        self.assertEqual([], events(self.dev))


if __name__ == "__main__":
    unittest.main()
