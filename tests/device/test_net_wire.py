"""What the real client puts on the wire: the balancer GET, the login, event
requests from taps and hardware buttons, the quit message at shut-down; and
the history file around it."""
import unittest

from netpeers import NetDevice, events, wait_wire
import cvproto

FAST = ("--clock", "10")
GREETING_OTHER = "CORVANTA PPC\r\n"
GREETING_HP = "CORVANTA HP\r\n"


def login_of(dev):
    logins = dev.wire("login")
    return logins[0] if logins else None


class Wire(unittest.TestCase):
    def setUp(self):
        self.dev = NetDevice(customer="Tess", user="ann", password="s3cret")

    def tearDown(self):
        self.dev.close()

    def run_client(self, script, *options, timeout=60):
        code, err = self.dev.run(script, *(FAST + options), timeout=timeout)
        return code, err

    def test_balancer_get_and_login_framing(self):
        bal = self.dev.balancer("plain")
        self.dev.render()
        code, err = self.run_client(["wait-idle 300"])
        self.assertEqual(0, code, err)
        a = self.dev.addr
        self.assertEqual(["GET http://%s:8080/cgi-bin/loadbalance.cgi?Tess+1.01 HTTP/1.1\r\nHost: %s\r\n"
                          "Connection: keep-alive\r\n\r\n" % (a, a)], bal.requests())
        login = login_of(self.dev)
        self.assertIsNotNone(login)
        raw = bytes.fromhex(login["raw"])
        body = bytes.fromhex(login["body"])
        head = ("POST http://%s:80/j.t HTTP/1.0\r\nHost: %s\r\nConnection: keep-alive\r\n"
                "Content-length: %d\r\n\r\n" % (a, a, len(body))).encode()
        self.assertEqual(head + body, raw)
        prefix = (GREETING_OTHER + "Tess\r\nhttp://www.example.com/\r\n").encode()
        self.assertTrue(body.startswith(prefix), body)
        self.assertEqual("<TM ann\ns3cret\n1.01\n>", login["plain"])
        v = login["v"]
        self.assertEqual(len(login["plain"]), v >> 3)
        self.assertEqual(len(body), len(prefix) + len(b"<EN %x>" % v) + ((len(login["plain"]) + 7) & ~7))
        # The server stand-in rebuilt the key from the clear text alone.
        key = cvproto.login_key(cvproto.base_key(), b"Tess", b"http://www.example.com/")
        self.assertEqual(body[len(prefix):], cvproto.make_block(login["plain"].encode(), key, v & 7))

    def test_hp_family_greets_with_its_own_line(self):
        self.dev.balancer("plain")
        self.dev.render()
        code, err = self.run_client(["wait-idle 300"], "--oem", "HP,iPAQ h5500")
        self.assertEqual(0, code, err)
        self.assertTrue(login_of(self.dev)["greeting"] + "\r\n" == GREETING_HP)

    def test_empty_first_page_sends_the_greeting_alone(self):
        # The balancer names only the server, then goes away: the client keeps
        # the server and logs in without a first page.
        self.dev.balancer("hostonly-once")
        self.dev.render()
        code, err = self.run_client(["wait-idle 300"])
        self.assertEqual(0, code, err)
        login = login_of(self.dev)
        self.assertEqual(GREETING_OTHER.encode(), bytes.fromhex(login["body"]))
        self.assertNotIn("plain", login)

    def test_tap_arrives_as_page_coordinates(self):
        self.dev.balancer("plain")
        self.dev.render()
        code, err = self.run_client(["wait-idle 300", "tap 100 50", "wait-idle 300"])
        self.assertEqual(0, code, err)
        evs = self.dev.wire("event")
        self.assertEqual(["<MC 200 100>\r\n\r\n"], [e["plain"] for e in evs])
        self.assertTrue(evs[0]["scrambled"])
        self.assertTrue(evs[0]["head"].startswith("POST http://%s:80/j.t HTTP/1.0\r\nHost: %s:80\r\n"
                                                  % (self.dev.addr, self.dev.addr)))

    def check_buttons(self, options, presses):
        self.dev.balancer("plain")
        self.dev.render()
        script = ["wait-idle 300"]
        for code, _ in presses:
            script += ["key %d" % code, "wait-idle 300"]
        code, err = self.run_client(script, *options)
        self.assertEqual(0, code, err)
        self.assertEqual([m for _, m in presses if m], events(self.dev))

    def test_buttons_of_the_inverted_panel(self):
        self.check_buttons(("--panel", "inverted"), [
            (0xC3, "<FO>\r\n\r\n"), (0xC4, "<BA>\r\n\r\n"), (0xC5, None),
            (0x26, "<PGR>\r\n\r\n"), (0x28, "<PGL>\r\n\r\n"), (0x25, "<PGU>\r\n\r\n"), (0x27, "<PGD>\r\n\r\n")])

    def test_buttons_of_the_hp_family(self):
        self.check_buttons(("--oem", "HP,iPAQ"), [
            (0xC3, "<FO>\r\n\r\n"), (0xC4, "<BA>\r\n\r\n"), (0xCF, None), (0xC9, None), (0xC5, None),
            (0x1B, None), (0x26, "<PGR>\r\n\r\n"), (0x28, "<PGL>\r\n\r\n"), (0x25, "<PGU>\r\n\r\n"),
            (0x27, "<PGD>\r\n\r\n")])

    def test_buttons_of_other_devices_follow_the_key_list(self):
        # The emulated device's key list: A 0xC4, B 0xC3, C 0xC1, Start 0xC5.
        self.check_buttons((), [
            (0xC3, "<FO>\r\n\r\n"), (0xC4, "<BA>\r\n\r\n"), (0xC5, None),
            (0x26, "<PGL>\r\n\r\n"), (0x28, "<PGR>\r\n\r\n"), (0x25, "<PGD>\r\n\r\n"), (0x27, "<PGU>\r\n\r\n")])

    def test_hp_family_button_c1_starts_the_mapped_program(self):
        self.dev.write("/registry.reg",
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Shell\\Keys\\40C1]\r\n"
                       "@=\"\\\"\\\\Windows\\\\Notes.lnk\\\"\"\r\n")
        self.dev.write("/Windows/Notes.lnk", "22#\\Windows\\notes.exe memo")
        self.dev.write("/Windows/notes.exe", "")
        self.check_buttons(("--oem", "HP,iPAQ"), [(0xC1, None), (0xC4, "<BA>\r\n\r\n")])
        self.assertIn("launch \\Windows\\notes.exe memo", self.dev.log_lines())
        # The started program runs on its own: its handles were closed.
        self.assertEqual([], [l for l in self.dev.log_lines() if l.startswith("open-handles")])

    def test_quit_message_in_clear_text_and_history_saved_at_shut_down(self):
        self.dev.write("/cv/cvhistory.txt", "old.example/\r\n   newer.example/\r\n")
        self.dev.balancer("plain")
        self.dev.render()
        code, err = self.run_client(["wait-idle 300", "ctrl-q", "expect-exit 5000"])
        self.assertEqual(0, code, err)
        # The stand-in may log the quit message a moment after the client has gone.
        wait_wire(self.dev, lambda recs: any(r.get("plain") == "<QT>\r\n\r\n" for r in recs), timeout=10)
        evs = self.dev.wire("event")
        self.assertEqual("<QT>\r\n\r\n", evs[-1]["plain"])
        self.assertFalse(evs[-1]["scrambled"])
        self.assertEqual(bytes.fromhex(evs[-1]["raw"]),
                         ("POST http://%s:80/j.t HTTP/1.0\r\nHost: %s:80\r\nConnection: keep-alive\r\n"
                          "Content-length: 8\r\n\r\n<QT>\r\n\r\n" % (self.dev.addr, self.dev.addr)).encode())
        self.assertTrue(wait_wire(self.dev, lambda w: w[-1]["kind"] == "closed"))
        self.assertEqual(b"old.example/\nnewer.example/\n", self.dev.read("/cv/cvhistory.txt"))

    def test_close_keys_end_the_program_only_offline(self):
        # Online: the close key does nothing, the script runs to its end.
        self.dev.balancer("plain")
        self.dev.render()
        code, err = self.run_client(["wait-idle 300", "key 197", "wait-idle 300", "key 27", "wait-idle 300"],
                                    "--oem", "HP,iPAQ")
        self.assertEqual(0, code, err)
        self.assertEqual([], events(self.dev))

    def test_status_page_then_close_key_leaves_the_history_file_unchanged(self):
        history = b"mine.example/\r\n\r\nother.example/\r\n"
        self.dev.write("/cv/cvhistory.txt", history)
        self.dev.balancer("upgrade")
        self.dev.render()
        shot = self.dev.path("/shot.png")
        code, err = self.run_client(["wait-idle 300", "screenshot " + shot, "key 197", "expect-exit 5000"])
        self.assertEqual(0, code, err)
        self.assertEqual(history, self.dev.read("/cv/cvhistory.txt"))
        self.assertEqual([], self.dev.wire("login"))
        self.assertEqual((0xff, 0xff, 0x00), self.dev.screen_colour(shot))


if __name__ == "__main__":
    unittest.main()
