"""`make run` (scripts/run-demo) without a display: it starts nginx with the
balancer and the sample site and a rendering server, runs the client
headless until the site's first page is drawn, writes the screenshot and
stops everything; and when port 80 cannot be had it says why in one line
and still runs the client on its offline pages."""
import os
import re
import shutil
import socket
import subprocess
import tempfile
import unittest

from deploytest import BUILD, SOURCE, Device, near, read_png

RUN = os.path.join(SOURCE, "scripts", "run-demo")
BAND = (0x08, 0x5d, 0x68)  # the sample site's band, #0b5d6b in RGB565


def build_copy():
    """A build folder of links to the real build's outputs, so that the
    screenshot lands in a folder of the test's own."""
    build = tempfile.mkdtemp(prefix="cvrun-")
    for part in ("corvanta", "device", "corvanta-server", "loadbalance.cgi"):
        os.symlink(os.path.abspath(os.path.join(BUILD, part)), os.path.join(build, part))
    return build


def headless_env():
    return {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}


def refused(addr, port):
    try:
        socket.create_connection((addr, port), timeout=2).close()
        return False
    except ConnectionRefusedError:
        return True


class RunDemo(unittest.TestCase):
    def setUp(self):
        self.build = build_copy()
        self.addCleanup(shutil.rmtree, self.build, True)

    def test_headless_run_shows_the_sample_site_and_stops_everything(self):
        p = subprocess.run([RUN, self.build], env=headless_env(), capture_output=True, text=True, timeout=300)
        out = p.stdout + p.stderr
        self.assertEqual(0, p.returncode, out)
        self.assertEqual("", p.stderr)
        shot = os.path.join(self.build, "screenshot.png")
        width, height, rows = read_png(shot)
        self.assertEqual((320, 240), (width, height))
        # The home page: the band at the top, the picture below it.
        self.assertTrue(near(rows[4][300], BAND, 12), rows[4][300])
        picture = {rows[y][x] for y in range(55, 140, 4) for x in range(20, 300, 8)}
        self.assertGreater(len(picture), 20, "the home page's picture is not drawn")
        m = re.search(r"Sample site www.corvanta.example on ([\d.]+):80, balancer on ([\d.]+):8080, "
                      r"rendering server on ([\d.]+):80\.", p.stdout)
        self.assertIsNotNone(m, out)
        for addr, port in ((m.group(1), 80), (m.group(2), 8080), (m.group(3), 80)):
            self.assertTrue(refused(addr, port), "%s:%d still answers" % (addr, port))

    @unittest.skipUnless(os.geteuid() == 0, "needs root to run the launcher as another user")
    def test_without_port_80_it_says_why_and_shows_the_offline_pages(self):
        with open("/proc/sys/net/ipv4/ip_unprivileged_port_start") as f:
            if int(f.read()) <= 80:
                self.skipTest("every user may listen on port 80 here")
        os.chmod(self.build, 0o777)
        p = subprocess.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", RUN, self.build],
                           env=headless_env(), capture_output=True, text=True, timeout=120, cwd="/")
        self.assertEqual(0, p.returncode, p.stdout + p.stderr)
        lines = p.stderr.splitlines()
        self.assertEqual(1, len(lines), p.stderr)
        self.assertRegex(lines[0], r"^run-demo: cannot listen on port 80: ports below 1024 need root: run `sudo make "
                                   r"run`, or allow them with .*; the client shows its offline pages\.$")
        # What the client shows with no balancer at all: its no-connection page.
        dev = Device()
        self.addCleanup(dev.close)
        dev.write("/cv/cvhome.txt", "127.0.0.1\r\n9\r\n")
        want = dev.path("/want.png")
        code, err = dev.run(["wait-idle 500", "screenshot " + want], timeout=60)
        self.assertEqual(0, code, err)
        self.assertEqual(read_png(want)[2], read_png(os.path.join(self.build, "screenshot.png"))[2])


if __name__ == "__main__":
    unittest.main()
