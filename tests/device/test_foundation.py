"""The client on the emulated device: start-up, second copies, display depth,
screenshots, idle behaviour and the emulator's own contract."""
import os
import subprocess
import time
import unittest

from devicetest import CLIENT, Device, read_png, wait_for

# A balancer that refuses at once, so start-up does not wait on the network.
LOCAL_HOME = "127.0.0.1\r\n9\r\n"


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return (int(fields[11]) + int(fields[12])) / ticks


class Foundation(unittest.TestCase):
    def setUp(self):
        self.dev = Device()
        self.dev.write("/cv/cvhome.txt", LOCAL_HOME)

    def tearDown(self):
        self.dev.close()

    def test_second_copy_brings_the_first_forward_and_ends(self):
        first = self.dev.start(["wait-idle", "sleep 20000"])
        try:
            self.assertTrue(wait_for(lambda: os.path.exists(os.path.join(self.dev.root, ".device", "window-Corvanta")), 15))
            started = time.time()
            second = subprocess.run([CLIENT, "--root", self.dev.root, "--headless"], timeout=10,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.assertEqual(second.returncode, 0)
            self.assertLess(time.time() - started, 2.0)
            self.assertTrue(wait_for(lambda: "foreground" in self.dev.log_lines(), 5))
            self.assertIsNone(first.poll(), "the first copy must keep running")
        finally:
            first.kill()
            first.wait()

    def test_a_display_below_16_bits_ends_the_program_at_once(self):
        started = time.time()
        code, err = self.dev.run(["expect-exit 5000"], "--bpp", "8", timeout=20)
        self.assertEqual(code, 0, err)
        self.assertLess(time.time() - started, 3.0)

    def test_screenshot_is_the_landscape_screen_as_png(self):
        shot = os.path.join(self.dev.root, "shot.png")
        code, err = self.dev.run(["wait-idle", "screenshot " + shot])
        self.assertEqual(code, 0, err)
        width, height, rows = read_png(shot)
        self.assertEqual((width, height), (320, 240))
        self.assertEqual(len(rows), 240)

    def test_inverted_panel_shows_the_same_screen(self):
        shots = []
        for panel in ("normal", "inverted"):
            shot = os.path.join(self.dev.root, panel + ".png")
            code, err = self.dev.run(["wait-idle", "screenshot " + shot], "--panel", panel)
            self.assertEqual(code, 0, err)
            shots.append(read_png(shot)[2])
        self.assertEqual(shots[0], shots[1])

    def test_an_idle_program_stays_below_a_few_percent_of_a_core(self):
        p = self.dev.start(["wait-idle", "sleep 30000"])
        try:
            self.assertTrue(wait_for(lambda: os.path.exists(os.path.join(self.dev.root, ".device", "window-Corvanta")), 15))
            time.sleep(1.5)
            before = cpu_seconds(p.pid)
            time.sleep(3.0)
            used = cpu_seconds(p.pid) - before
            self.assertLess(used / 3.0, 0.05, "idle program used %.1f%% of a core" % (100 * used / 3.0))
        finally:
            p.kill()
            p.wait()

    def test_ctrl_q_on_a_status_page_ends_with_the_shutdown_sequence(self):
        # No server can be reached: the program is offline and Ctrl+Q closes it.
        code, err = self.dev.run(["wait-idle", "ctrl-q", "expect-exit 5000"])
        self.assertEqual(code, 0, err)
        self.assertFalse(os.path.exists(os.path.join(self.dev.root, ".device", "window-Corvanta")))


class EmulatorContract(unittest.TestCase):
    def setUp(self):
        self.dev = Device()
        self.dev.write("/cv/cvhome.txt", LOCAL_HOME)

    def tearDown(self):
        self.dev.close()

    def test_bad_options_exit_2(self):
        for args in (["--bogus"], ["--panel", "sideways"], ["--bpp"], ["--root", "/nonexistent/dir"]):
            r = subprocess.run([CLIENT] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=10)
            self.assertEqual(r.returncode, 2, args)

    def test_a_failing_script_command_exits_3_with_one_line(self):
        code, err = self.dev.run(["wait-idle", "frobnicate 1 2"])
        self.assertEqual(code, 3)
        self.assertEqual(len(err.strip().splitlines()), 1, err)

    def test_expect_exit_fails_while_the_program_runs(self):
        code, _ = self.dev.run(["expect-exit 300"])
        self.assertEqual(code, 3)

    def test_end_of_script_switches_the_device_off(self):
        code, err = self.dev.run(["# nothing but a comment", "sleep 10"])
        self.assertEqual(code, 0, err)


if __name__ == "__main__":
    unittest.main()
