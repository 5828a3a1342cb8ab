"""Text on the emulated device: the shipped font cache drawn by the real
client, and a device without a font cache."""
import os
import subprocess
import unittest

from devicetest import BUILD, Device, read_png

# A balancer that refuses at once: the client goes offline and shows its
# "no connection" status page, which these tests replace with their own.
LOCAL_HOME = "127.0.0.1\r\n9\r\n"

# Page text in every size the page stream can ask for (page units 16 to 26
# are 8 to 13 pixels on the screen), and a text field and a button, whose
# labels are drawn in the field face (style 4) and with fixed colours.
TEXT_PAGE = """header
page
fg #000000
size 16
text 3 8 24 8 px: The quick brown fox jumps over the lazy dog 0123456789
size 18
text 3 8 56 9 px: The quick brown fox jumps over the lazy dog 0123456789
size 20
text 3 8 92 10 px: The quick brown fox jumps over the lazy dog 0123456789
size 22
text 3 8 130 11 px: The quick brown fox jumps over the lazy dog 01234567
size 24
text 3 8 172 12 px: The quick brown fox jumps over the lazy dog 0123
size 26
text 3 8 216 13 px: Grüße, Ærøskøbing, naïve café €42 — “quoted”
bg #1d4f9e
rect 3 0 236 640 52
fg #ffffff
size 22
text 3 8 272 White text sampled on a blue band
fg #b02a2a
size 20
text 3 420 272 Red on blue
textfield 3 8 310 300 28 q Text field: Zürich 123
button 3 330 310 200 28 go Push button
end
"""

# Rows of the screen (y ranges) where each page line lies.
LINE_ROWS = [(4, 13), (20, 29), (37, 47), (56, 66), (76, 87), (98, 109)]


def ink_columns(rows, y0, y1, background=(255, 255, 255)):
    cols = set()
    for y in range(y0, y1 + 1):
        for x, px in enumerate(rows[y]):
            if tuple(px) != background:
                cols.add(x)
    return cols


class TextOnDevice(unittest.TestCase):
    def setUp(self):
        self.dev = Device()
        self.dev.write("/cv/cvhome.txt", LOCAL_HOME)
        src = self.dev.path("/textpage.page")
        with open(src, "w") as f:
            f.write(TEXT_PAGE)
        subprocess.run([os.path.join(BUILD, "pagec"), src, self.dev.path("/cv/noconnect.txt")],
                       check=True)

    def tearDown(self):
        self.dev.close()

    def screenshot(self, name):
        shot = os.path.join(self.dev.root, name)
        code, err = self.dev.run(["wait-idle 500", "screenshot " + shot])
        self.assertEqual(code, 0, err)
        return shot

    def test_every_size_draws_legible_ink_from_the_shipped_cache(self):
        self.assertTrue(self.dev.exists("/cv/tccache.bin"))
        shipped = self.dev.read("/cv/tccache.bin")
        self.assertEqual(int.from_bytes(shipped[:2], "little"), 2370)
        shot = self.screenshot("text.png")
        keep = os.environ.get("CV_TEXT_SHOT")
        if keep:
            with open(shot, "rb") as f, open(keep, "wb") as g:
                g.write(f.read())
        _, _, rows = read_png(shot)
        widths = []
        for y0, y1 in LINE_ROWS:
            cols = ink_columns(rows, y0, y1)
            self.assertGreater(len(cols), 120, "no text in rows %d-%d" % (y0, y1))
            widths.append(max(cols) - min(cols))
        # larger sizes make wider lines of the same words
        self.assertLess(widths[0], widths[2])
        self.assertLess(widths[2], widths[4])
        # anti-aliased: more than two colours, but mostly black and white
        colours = set(tuple(px) for y in range(4, 13) for px in rows[y])
        self.assertGreater(len(colours), 8)
        # the text on the blue band blends into the band, not into white
        band = [tuple(px) for y in range(124, 140) for px in rows[y][4:150]]
        self.assertNotIn((255, 255, 255), [p for p in band if p[2] < 100])

    def test_a_missing_cache_is_replaced_by_an_empty_one_and_the_program_runs(self):
        os.remove(self.dev.path("/cv/tccache.bin"))
        shot = self.screenshot("nocache.png")
        self.assertEqual(self.dev.read("/cv/tccache.bin"), b"\x00\x00")
        _, _, rows = read_png(shot)
        # the page is drawn (its blue band) but its text is not
        r, g, b = rows[130][300]
        self.assertTrue(b > 140 and r < 40, rows[130][300])
        self.assertEqual(ink_columns(rows, 4, 13), set())
        # and the next start finds the two-byte file and runs as well
        self.screenshot("nocache2.png")
        self.assertEqual(self.dev.read("/cv/tccache.bin"), b"\x00\x00")


if __name__ == "__main__":
    unittest.main()
