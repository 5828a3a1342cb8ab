"""`make run` (scripts/run-demo): it starts nginx with the balancer and the
sample site and a rendering server; without a display it runs the client
headless until the site's first page is drawn, writes the screenshot and
stops everything; with one it opens the device's window, and closing the
window stops everything; and when port 80 cannot be had it says why in one
line and still runs the client on its offline pages."""
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

from deploytest import BUILD, SOURCE, Device, near, read_png, wait_for
from xdisplay import Display

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


SERVERS_LINE = (r"Sample site www.corvanta.example on ([\d.]+):80, balancer on ([\d.]+):8080, "
                r"rendering server on ([\d.]+):80\.")


def home_page_drawn(width, rows, scale=1):
    """The sample site's home page at the top of the screen: the band, and
    the picture below it in many colours."""
    if width != 320 * scale or not near(rows[4 * scale][300 * scale], BAND, 12):
        return False
    picture = {rows[y * scale][x * scale] for y in range(55, 140, 4) for x in range(20, 300, 8)}
    return len(picture) > 20


# Holds port 80 of every address while it runs the command it is given.
HOLD_PORT_80 = """
import socket, subprocess, sys
s = socket.socket()
s.bind(("0.0.0.0", 80))
s.listen()
p = subprocess.run(sys.argv[1:], capture_output=True, text=True)
sys.stdout.write(p.stdout)
sys.stderr.write(p.stderr)
sys.exit(p.returncode)
"""


def refused(addr, port):
    try:
        socket.create_connection((addr, port), timeout=2).close()
        return False
    except ConnectionRefusedError:
        return True


def shown(display, window):
    """(width, rows, scale) of the window, shown at twice the device size;
    width 0 when it cannot be read."""
    img = display.pixels(window)
    return (img[0], img[2], 2) if img else (0, None, 2)


def stop_group(p):
    if p.poll() is None:
        os.killpg(p.pid, 15)
        p.wait()


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
        self.assertTrue(home_page_drawn(width, rows), "the screenshot does not show the home page")
        m = re.search(SERVERS_LINE, p.stdout)
        self.assertIsNotNone(m, out)
        for addr, port in ((m.group(1), 80), (m.group(2), 8080), (m.group(3), 80)):
            self.assertTrue(refused(addr, port), "%s:%d still answers" % (addr, port))

    def test_with_a_display_the_window_shows_the_site_and_closing_it_stops_everything(self):
        display = Display()
        self.addCleanup(display.close)
        out_path = os.path.join(self.build, "run.out")
        with open(out_path, "w") as out:
            p = subprocess.Popen([RUN, self.build], env=display.env(os.environ), stdout=out, stderr=subprocess.STDOUT,
                                 stdin=subprocess.DEVNULL, start_new_session=True)
        self.addCleanup(stop_group, p)

        def output():
            with open(out_path) as f:
                return f.read()
        window = display.find_window("Corvanta device")
        self.assertIsNotNone(window, output())
        # The window shows the device's screen at twice its size.
        self.assertTrue(wait_for(lambda: home_page_drawn(*shown(display, window)), timeout=90, step=0.5),
                        "the window does not show the home page:\n" + output())
        self.assertTrue(display.close_window(window))
        self.assertEqual(0, p.wait(60), output())
        m = re.search(SERVERS_LINE, output())
        self.assertIsNotNone(m, output())
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
        self.assert_offline_screen()

    @unittest.skipUnless(os.geteuid() == 0, "needs root for a network namespace of its own")
    def test_with_port_80_taken_everywhere_it_says_why_and_shows_the_offline_pages(self):
        # In a network namespace of the test's own, a listener on every
        # address's port 80 (0.0.0.0:80) leaves no loopback address free.
        p = subprocess.run(["unshare", "--net", "sh", "-c", 'ip link set lo up && exec "$@"', "sh",
                            sys.executable, "-c", HOLD_PORT_80, RUN, self.build],
                           env=headless_env(), capture_output=True, text=True, timeout=120)
        self.assertEqual(0, p.returncode, p.stdout + p.stderr)
        lines = p.stderr.splitlines()
        self.assertEqual(1, len(lines), p.stderr)
        self.assertEqual("run-demo: port 80 is taken on every loopback address: a server listens on all addresses "
                         "(0.0.0.0:80); stop it and try again; the client shows its offline pages.", lines[0])
        self.assert_offline_screen()

    def assert_offline_screen(self):
        """The screenshot is what the client shows with no balancer at all:
        its no-connection page."""
        dev = Device()
        self.addCleanup(dev.close)
        dev.write("/cv/cvhome.txt", "127.0.0.1\r\n9\r\n")
        want = dev.path("/want.png")
        code, err = dev.run(["wait-idle 500", "screenshot " + want], timeout=60)
        self.assertEqual(0, code, err)
        self.assertEqual(read_png(want)[2], read_png(os.path.join(self.build, "screenshot.png"))[2])

if __name__ == "__main__":
    unittest.main()
