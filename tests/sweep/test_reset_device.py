"""The real client on the emulated device, its connection to the rendering
server reset at chosen offsets of a page: at the start, inside a tag, inside
an image payload, inside a scrambled block and just before the end-of-page
tag. Each time the disconnected page shows, the busy indicator is gone, and
the history file is what it was, through the program's exit."""
import os
import re
import sys
import unittest

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "device"))
from devicetest import BUILD, read_png  # noqa: E402
from netpeers import NetDevice, STATUS_COLOURS, cvproto, near  # noqa: E402

HISTORY = b"first.example/\nsecond.example/a\n"


def shipped(name):
    with open(os.path.join(BUILD, "device", "cv", name + ".txt"), "rb") as f:
        return f.read()


def sweep_stream():
    """The form page (text tags of controls) without its end, a scrambled
    block holding an address, then the picture page and its end-of-page tag."""
    form = shipped("demo5")
    form = form[:form.rindex(b"<ST>")] + form[form.rindex(b"<ST>") + 4:]
    pictures = shipped("demo1")
    key = cvproto.login_key(cvproto.base_key(), b"Tess", b"http://www.example.com/")
    block = cvproto.make_block(b"<URL http://example.org/sweep><BC ff 0 0><CR 3 0 0 28 28>", key, 3)
    return form + block + pictures[pictures.index(b"\r\n\r\n") + 4:]


def offsets(stream):
    """Named places to cut the stream at."""
    body = stream.index(b"\r\n\r\n") + 4
    tag = stream.index(b"<TF ", body) + 6
    im = re.search(rb"<IM [^>]*>", stream)
    en = re.search(rb"<EN [0-9a-f]+>", stream)
    return {
        "start": 0,
        "inside a tag": tag,
        "inside an image payload": im.end() + 10,
        "inside a scrambled block": en.end() + 5,
        "just before the end of the page": stream.rindex(b"<ST>"),
    }


class ResetAtOffsets(unittest.TestCase):
    def test_every_sampled_offset_ends_on_the_disconnected_page_with_the_history_intact(self):
        stream = sweep_stream()
        for name, at in offsets(stream).items():
            with self.subTest(name, offset=at):
                dev = NetDevice()
                try:
                    dev.write("/cv/cvhistory.txt", HISTORY)
                    dev.balancer("plain")
                    dev.render([stream], reset_at=at)
                    shot = dev.path("/shot.png")
                    code, err = dev.run(["wait-idle 400", "screenshot " + shot, "key 197", "expect-exit 5000"],
                                        "--clock", "4", timeout=120)
                    self.assertEqual(0, code, err)
                    self.assertEqual("reset", dev.wire()[-1]["kind"])
                    self.assertEqual(at, dev.wire()[-1]["after"])
                    _, _, rows = read_png(shot)
                    self.assertTrue(near(rows[120][160], STATUS_COLOURS["/cv/disconnect.txt"]),
                                    "the screen shows %s" % (rows[120][160],))
                    corner = set(rows[y][x] for y in range(0, 24) for x in range(296, 320))
                    self.assertEqual({rows[120][160]}, corner, "busy indicator left on the screen")
                    self.assertEqual(HISTORY, dev.read("/cv/cvhistory.txt"))
                finally:
                    dev.close()


if __name__ == "__main__":
    unittest.main()
