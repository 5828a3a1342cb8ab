"""The rendering server on the wire, with the real browser engine and a real
website on loopback: logins (refused, busy, greeting only, through a tunnel),
every event message, what a click causes (links, scripts, dialogs, new
windows, downloads, error statuses), address history blocks, bad input, a
client that vanishes, many sessions at once with their own cookies, and an
engine that dies."""
import os
import signal
import subprocess
import threading
import time
import unittest

from serverpeers import PAGES, SERVER, Client, Site, Stack, free_address, wait_for


class Protocol(unittest.TestCase):
    """One stack (site + server) for the tests that share its defaults."""

    @classmethod
    def setUpClass(cls):
        # An address the server may reach where nothing listens.
        cls.closed = "%s:8081" % free_address(8081)
        cls.stack = Stack(allow_hosts=[cls.closed])
        cls.server = cls.stack.server
        cls.site = cls.stack.site

    @classmethod
    def tearDownClass(cls):
        cls.stack.close()

    def login(self, name="index.html"):
        c = self.stack.client(name)
        self.addCleanup(c.close)
        page = c.answer()
        return c, page

    def test_login_opens_the_start_address_with_its_address_block(self):
        c, page = self.login()
        self.assertTrue(page.cut)
        self.assertEqual(page.body[-4:], b"<ST>")
        self.assertIn("Second page", page.text())
        self.assertEqual(page.urls, [self.stack.url("index.html")])
        self.assertTrue(self.site.requests("/index.html"))

    def test_a_link_gives_the_new_page_with_its_address_and_back_and_forward_walk_history(self):
        c, _ = self.login()
        second = c.ask("<MC 20 20>\r\n\r\n")
        self.assertTrue(second.cut)
        self.assertIn("Second page", second.text())
        self.assertEqual(second.urls, [self.stack.url("second.html")])
        back = c.ask("<BA>\r\n\r\n")
        self.assertTrue(back.cut)
        self.assertIn("Set cookie", back.text())
        self.assertEqual(back.urls, [])  # history is not entered twice
        fwd = c.ask("<FO>\r\n\r\n")
        self.assertTrue(fwd.cut)
        end = None
        for _ in range(3):
            end = c.ask("<FO>\r\n\r\n")
        self.assertTrue(end.unchanged, "forward at the end changes nothing")

    def test_a_script_that_changes_the_page_gives_it_redrawn_without_a_cut(self):
        c, _ = self.login()
        page = c.ask("<MC 20 70>\r\n\r\n")
        self.assertFalse(page.cut)
        self.assertFalse(page.unchanged)
        self.assertIn("Changed by script", page.text())
        self.assertEqual(page.urls, [])
        # A tap on nothing: nothing visible changed.
        self.assertTrue(c.ask("<MC 600 440>\r\n\r\n").unchanged)

    def test_an_alert_is_answered_and_its_text_comes_with_the_next_page(self):
        c, _ = self.login()
        page = c.ask("<MC 20 120>\r\n\r\n", timeout=20)
        self.assertIn("After alert", page.text())
        self.assertIn("Hello from alert", page.text())
        self.assertTrue(self.server.wait_log(lambda r: r["event"] == "dialog" and r["text"] == "Hello from alert"))

    def test_a_confirm_is_answered_ok(self):
        c, _ = self.login()
        page = c.ask("<MC 20 320>\r\n\r\n", timeout=20)
        self.assertIn("Third page", page.text())
        self.assertEqual(page.urls, [self.stack.url("third.html")])

    def test_new_windows_open_in_the_same_page(self):
        c, _ = self.login()
        page = c.ask("<MC 230 70>\r\n\r\n")
        self.assertIn("Second page", page.text())
        self.assertEqual(page.urls, [self.stack.url("second.html")])
        c.ask("<BA>\r\n\r\n")
        page = c.ask("<MC 230 120>\r\n\r\n")
        self.assertIn("Third page", page.text())
        self.assertEqual(page.urls, [self.stack.url("third.html")])

    def test_what_a_script_does_a_moment_after_a_tap_is_waited_for(self):
        c, _ = self.login()
        page = c.ask("<MC 230 320>\r\n\r\n")  # a navigation 50 ms later
        self.assertIn("Second page", page.text())
        c.ask("<BA>\r\n\r\n")
        page = c.ask("<MC 20 370>\r\n\r\n")  # 200 ms later
        self.assertIn("Third page", page.text())
        self.assertEqual(page.urls, [self.stack.url("third.html")])
        c.ask("<BA>\r\n\r\n")
        page = c.ask("<MC 230 370>\r\n\r\n")  # a change 200 ms later
        self.assertFalse(page.cut)
        self.assertIn("Changed later", page.text())

    def test_a_download_is_refused_with_a_page_that_says_so_and_back_returns(self):
        c, _ = self.login()
        page = c.ask("<MC 20 170>\r\n\r\n")
        self.assertTrue(page.cut)
        self.assertIn("Download refused", page.text())
        self.assertIn("file.bin", page.text())
        back = c.ask("<BA>\r\n\r\n")
        self.assertIn("Set cookie", back.text())

    def test_error_statuses_and_unknown_names_give_pages_of_the_servers_own(self):
        c, _ = self.login()
        page = c.ask("<MC 230 170>\r\n\r\n")
        self.assertIn("404 Not Found", page.text())
        self.assertNotIn("site's own page", page.text())
        self.assertEqual(page.urls, [])
        c.ask("<BA>\r\n\r\n")
        page = c.ask("<MC 20 270>\r\n\r\n")
        self.assertIn("unresolvable.invalid", page.text())
        self.assertIn("could not be found", page.text())
        self.assertEqual(page.urls, [])

    def test_a_typed_address_is_confirmed_and_one_that_fails_is_not(self):
        c, _ = self.login()
        page = c.ask("<URL %s >\r\n\r\n" % self.stack.page("third.html"))
        self.assertTrue(page.cut)
        self.assertIn(b"<BU>", page.body)
        self.assertEqual(page.urls, [])
        self.assertIn("Third page", page.text())
        page = c.ask("<URL nowhere.invalid/x >\r\n\r\n")
        self.assertNotIn(b"<BU>", page.body)
        self.assertEqual(page.urls, [])
        self.assertIn("could not be found", page.text())
        page = c.ask("<URL http://%s/ >\r\n\r\n" % self.closed)
        self.assertNotIn(b"<BU>", page.body)
        self.assertIn("cannot be reached", page.text())
        self.assertIn(self.closed.split(":")[0], page.text())
        # Only web addresses: the server's own files stay closed.
        page = c.ask("<URL file:///etc/passwd >\r\n\r\n")
        self.assertNotIn(b"<BU>", page.body)
        self.assertIn("not allowed", page.text())
        self.assertNotIn("root:", page.text())

    def test_fragments_and_empty_answers(self):
        c, _ = self.login()
        page = c.ask("<MC 20 220>\r\n\r\n")
        self.assertFalse(page.cut)
        self.assertEqual(page.urls, [])
        self.assertIn("Far below", page.text())
        c2, _ = self.login()
        self.assertTrue(c2.ask("<MC 230 220>\r\n\r\n").unchanged)

    def test_stop_answers_the_page_in_hand_at_once_and_then_ends(self):
        c, _ = self.login()
        start = time.time()
        c.send("<MC 230 270>\r\n\r\n")  # a page that takes four seconds
        time.sleep(0.5)
        c.send("<STP>\r\n\r\n")
        first = c.answer()
        second = c.answer()
        self.assertLess(time.time() - start, 3.5)
        self.assertTrue(first.unchanged, "the page stays as it was")
        self.assertTrue(second.unchanged)
        self.assertTrue(self.server.wait_log(lambda r: r["event"] == "stop"))
        # A stop with nothing in hand ends the page too.
        self.assertTrue(c.ask("<STP>\r\n\r\n").unchanged)

    def test_reload_and_zoom_answer_new_pages_in_their_frames(self):
        c, _ = self.login()
        n = len(self.site.requests("/index.html"))
        page = c.ask("<RF>\r\n\r\n")
        self.assertTrue(page.cut)
        self.assertEqual(len(self.site.requests("/index.html")), n + 1)
        zoomed = c.ask("<ZU>\r\n\r\n")
        self.assertTrue(zoomed.cut)
        self.assertIn(["0", "0", "1e0", "168"], [t.args for t in zoomed.find("FR")])
        out = c.ask("<ZD>\r\n\r\n")
        self.assertIn(["0", "0", "280", "1e0"], [t.args for t in out.find("FR")])

    def test_scrolling_moves_the_page(self):
        c, page = self.login()
        self.assertTrue(page.find("SV"), "the index page is taller than the screen")
        thumb = page.find("SV")[0].num(5)
        seen = ""
        for _ in range(4):
            down = c.ask("<PGD>\r\n\r\n")
            self.assertFalse(down.unchanged)
            self.assertFalse(down.cut, "the same page, scrolled")
            self.assertGreater(down.find("SV")[0].num(5), thumb, "the thumb moves down")
            thumb = down.find("SV")[0].num(5)
            seen += down.text()
            if "Far below" in seen:
                break
        self.assertIn("Far below", seen)
        self.assertNotIn("Set cookie", seen)
        up = c.ask("<PGU>\r\n\r\n")
        self.assertLess(up.find("SV")[0].num(5), thumb)
        # A tap on the bar above its thumb jumps there.
        bar = up.find("SV")[0]
        top = c.ask("<SC %d %d>\r\n\r\n" % (bar.num(1) + 8, bar.num(2) + 2))
        self.assertLessEqual(top.find("SV")[0].num(5), bar.num(5))

    def test_unknown_or_malformed_messages_change_nothing(self):
        c, _ = self.login()
        self.assertTrue(c.ask("<XY 1 2>\r\n\r\n").unchanged)
        self.assertTrue(c.ask("<MC 1>\r\n\r\n").unchanged)
        self.assertTrue(c.ask("<TF nosuch 1 1 a >").unchanged)
        # And the session goes on.
        self.assertIn("Second page", c.ask("<MC 20 20>\r\n\r\n").text())
        errors = [r for r in self.server.log("error") if r.get("what") in ("bad message", "no such control")]
        self.assertGreaterEqual(len(errors), 3)

    def test_garbage_and_truncated_bodies_close_only_their_own_connection(self):
        good, _ = self.login()
        bad, _ = self.login()
        bad.post(b"\x00\x01garbage that is no block")
        self.assertTrue(bad.closed())
        bad2, _ = self.login()
        bad2.post(b"<EN 80>" + b"x" * 8)  # says 16 bytes, carries 8
        self.assertTrue(bad2.closed())
        bad3, _ = self.login()
        bad3.sock.sendall(b"POST /j.t HTTP/1.0\r\nContent-length: 99999999\r\n\r\n")
        self.assertTrue(bad3.closed())
        self.assertIn("Second page", good.ask("<MC 20 20>\r\n\r\n").text())
        whats = [r.get("what") for r in self.server.log("error")]
        self.assertIn("bad request body", whats)
        self.assertIn("bad request", whats)

    def test_a_client_that_vanishes_mid_page_ends_its_session_only(self):
        c, _ = self.login()
        other, _ = self.login()
        sessions = len(self.server.log("login"))
        c.send("<MC 230 270>\r\n\r\n")  # slow
        time.sleep(0.3)
        c.close()
        self.assertTrue(self.server.wait_log(lambda r: r["event"] == "session-end" and r["reason"] in ("closed", "reset")))
        self.assertIn("Second page", other.ask("<MC 20 20>\r\n\r\n").text())
        self.assertEqual(sessions, len(self.server.log("login")))

    def test_quit_ends_the_session_without_an_answer(self):
        c, _ = self.login()
        before = int(self.server.status().split(b"sessions ")[1].split(b"\r\n")[0])
        c.send("<QT>\r\n\r\n")
        self.assertTrue(c.closed())
        self.assertTrue(self.server.wait_log(lambda r: r["event"] == "session-end" and r["reason"] == "quit"))
        after = int(self.server.status().split(b"sessions ")[1].split(b"\r\n")[0])
        self.assertEqual(after, before - 1)

    def test_a_form_is_filled_and_sent_with_every_control_kind(self):
        c, page = self.login("form.html")
        fields = {t.code: t for t in page.tags if t.code in ("TF", "PF", "TA", "DM", "LM")}
        for code in ("TF", "PF", "TA", "DM", "LM"):
            self.assertIn(code, fields, "the form shows a %s" % code)
        self.assertEqual(len(page.find("RB")), 2)
        self.assertEqual(len(page.find("CB")), 1)
        name = lambda code: fields[code].args[5]  # noqa: E731
        for msg in ("<TF %s 3 3 Ann >" % name("TF"), "<TF %s 6 6 s3cret >" % name("PF"),
                    "<TA %s 9 8 two\nline >" % name("TA"), "<DM %s 2 >" % name("DM"), "<LM %s 1 >" % name("LM")):
            c.ask(msg)
        cb = page.find("CB")[0]
        c.ask("<MC %d %d>\r\n\r\n" % (cb.num(1) + 5, cb.num(2) + 5))
        rb = page.find("RB")[1]
        c.ask("<MC %d %d>\r\n\r\n" % (rb.num(1) + 5, rb.num(2) + 5))
        sent = c.ask("<MC 40 300>\r\n\r\n")
        self.assertIn("Received", sent.text())
        self.assertEqual(sent.urls, [self.stack.url("form-echo")])
        form = self.site.requests("/form-echo")[-1]["form"]
        self.assertEqual(form.get("who"), ["Ann"])
        self.assertEqual(form.get("secret"), ["s3cret"])
        self.assertEqual(form.get("note"), ["two\r\nline"])
        self.assertEqual(form.get("colour"), ["blue"])
        self.assertEqual(form.get("fruit"), ["pear"])
        self.assertEqual(form.get("tea"), ["yes"])
        self.assertEqual(form.get("size"), ["large"])
        # The password travels downstream only inside a scrambled block.
        self.assertNotIn(b"s3cret", page.body)

    def test_other_scripts_travel_as_pictures_and_control_labels_in_latin_letters(self):
        c, page = self.login("languages.html")
        # Latin text stays text; the lines in other scripts are pictures.
        self.assertEqual(page.text(), "Latin letters stay text")
        self.assertGreaterEqual(len(page.find("IS")), 4)
        # What the handheld draws itself (a button's label, a list's items, a
        # dialog's text) spells Cyrillic and Greek in Latin letters.
        button = page.find("BT")[0]
        self.assertEqual(button.text, "Nayti")
        self.assertEqual([t.text for t in page.find("DI")], ["Moskva", "Kiyiv", "--"])
        after = c.ask("<MC %d %d>\r\n\r\n" % (button.num(1) + 5, button.num(2) + 5), timeout=20)
        self.assertIn("Gotovo: Ath\u00edna", after.text())

    def test_status_counts_sessions(self):
        text = self.server.status()
        self.assertTrue(text.startswith(b"HTTP/1.0 200 OK\r\n"))
        self.assertRegex(text.split(b"\r\n\r\n", 1)[1], rb"^sessions \d+\r\nmax-sessions 50\r\n$")


class Logins(unittest.TestCase):
    def setUp(self):
        self.stack = Stack(users="# users\nann s3cret\n", max_sessions=2)
        self.server = self.stack.server

    def tearDown(self):
        self.stack.close()

    def test_wrong_credentials_get_that_page_and_nothing_more(self):
        c = self.stack.client(user=b"ann", password=b"wrong")
        page = c.answer()
        self.assertTrue(page.cut)
        self.assertEqual(page.text(), "Wrong user name or password.")
        self.assertTrue(c.ask("<MC 20 20>\r\n\r\n").unchanged)
        self.assertTrue(c.ask("<URL %s >\r\n\r\n" % self.stack.page("second.html")).unchanged)
        self.assertFalse(self.stack.site.requests("/second.html"))
        self.assertTrue(self.server.log("login-refused"))
        c.close()
        # Nor does a greeting alone pass a server with users.
        g = self.stack.client(None)
        self.assertEqual(g.answer().text(), "Wrong user name or password.")
        g.close()

    def test_the_right_credentials_and_a_full_server(self):
        a = self.stack.client(user=b"ann", password=b"s3cret")
        self.assertIn("Second page", a.answer().text())
        b = self.stack.client(user=b"ann", password=b"s3cret", connect_first=True, origin_form=True)
        self.assertIn("Second page", b.answer().text())
        self.assertIn("Third page", b.ask("<URL %s >\r\n\r\n" % self.stack.page("third.html")).text())
        self.assertIn(b"sessions 2\r\nmax-sessions 2\r\n", self.server.status())
        c = self.stack.client(user=b"ann", password=b"s3cret")
        self.assertEqual(c.answer().text(), "The server is busy. Please try again later.")
        self.assertTrue(self.server.log("login-busy"))
        self.assertTrue(self.server.log("tunnel"))
        for x in (a, b, c):
            x.close()


class StartPage(unittest.TestCase):
    def test_a_greeting_only_login_gets_the_start_page_with_an_address_box(self):
        stack = Stack()
        try:
            c = stack.client(None)
            page = c.answer()
            self.assertTrue(page.cut)
            self.assertTrue(page.find("TF"), "an address box")
            self.assertIn("Type an address", page.text())
            box = page.find("TF")[0]
            c.ask("<TF %s 4 %d %s >" % (box.args[5], len(stack.page("third.html")), stack.page("third.html")))
            go = page.find("BT")[0]
            third = c.ask("<MC %d %d>\r\n\r\n" % (go.num(1) + 4, go.num(2) + 4))
            self.assertIn("Third page", third.text())
            self.assertEqual(third.urls, [stack.url("third.html")])
            back = c.ask("<BA>\r\n\r\n")
            self.assertIn("Type an address", back.text())
            c.close()
        finally:
            stack.close()


class ManySessions(unittest.TestCase):
    def test_twenty_sessions_at_once_each_with_its_own_cookies(self):
        stack = Stack()
        try:
            n = 20
            clients = [None] * n
            errors = []

            def run(i):
                try:
                    c = stack.client("index.html", customer=b"C%d" % i)
                    clients[i] = c
                    c.answer(timeout=60)
                    c.ask("<URL %s >\r\n\r\n" % stack.page("cookie/set?flavour=s%d" % i), timeout=60)
                    page = c.ask("<URL %s >\r\n\r\n" % stack.page("cookie/show"), timeout=60)
                    if "flavour=s%d" % i not in page.text():
                        errors.append("session %d saw %r" % (i, page.text()))
                except Exception as e:  # noqa: BLE001 - reported below
                    errors.append("session %d: %r" % (i, e))
            threads = [threading.Thread(target=run, args=(i,)) for i in range(n)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(180)
            self.assertEqual(errors, [])
            shows = stack.site.requests("/cookie/show")
            self.assertEqual(sorted(r["cookie"] for r in shows), sorted("flavour=s%d" % i for i in range(n)))
            self.assertIn(b"sessions 20\r\n", stack.server.status())
            for c in clients:
                c.close()
            self.assertTrue(wait_for(lambda: b"sessions 0\r\n" in stack.server.status(), timeout=20))
        finally:
            stack.close()


class EngineDeath(unittest.TestCase):
    def test_a_page_that_crashes_its_renderer_is_closed_alone(self):
        # A page nested too deep for the engine's page process crashes it.
        # That session is told so, with the address, and goes on; the
        # engine, and the other session on it, go on as if nothing happened.
        stack = Stack()
        try:
            other = stack.client("second.html")
            self.assertIn("Second page", other.answer().text())
            pid = stack.server.engine_pid()
            victim = stack.client("deep.html")
            told = victim.answer(timeout=60)
            self.assertTrue(told.cut)
            self.assertIn("Page crashed", told.text())
            self.assertIn("stopped working", told.text())
            self.assertIn("The page at %s:%d stopped" % (stack.site.addr, stack.site.port), told.text())
            self.assertTrue(stack.server.wait_log(lambda r: r.get("what") == "renderer crashed"))
            # The page's link opens it again (and it crashes again).
            link = [t for t in told.find("DS") if t.text == "Open it again"][0]
            again = victim.ask("<MC %d %d>\r\n\r\n" % (link.num(1) + 12, link.num(2) - 6), timeout=60)
            self.assertIn("Page crashed", again.text())
            # Another address opens as ever.
            page = victim.ask("<URL %s >\r\n\r\n" % stack.page("second.html"), timeout=30)
            self.assertIn("Second page", page.text())
            self.assertIn("Second page", other.ask("<RF>\r\n\r\n", timeout=30).text())
            self.assertEqual(stack.server.log("engine-died"), [])
            self.assertEqual(stack.server.engine_pid(), pid)
        finally:
            stack.close()

    def test_a_killed_engine_is_restarted_and_its_sessions_are_told(self):
        stack = Stack()
        try:
            c = stack.client()
            c.answer()
            busy = stack.client()
            busy.answer()
            pid = stack.server.engine_pid()
            busy.send("<MC 230 270>\r\n\r\n")  # in hand when the engine dies
            time.sleep(0.5)
            os.killpg(pid, signal.SIGKILL)
            told = busy.answer(timeout=20)
            self.assertTrue(told.cut)
            self.assertIn("Browser restarted", told.text())
            self.assertTrue(stack.server.wait_log(lambda r: r["event"] == "engine-died"))
            self.assertTrue(stack.server.wait_log(lambda r: r["event"] == "engine-start" and r["pid"] != pid))
            page = c.ask("<MC 20 20>\r\n\r\n", timeout=20)
            self.assertIn("Browser restarted", page.text())
            again = c.ask("<URL %s >\r\n\r\n" % stack.page("second.html"))
            self.assertIn("Second page", again.text())
            # The old browser's processes are gone.
            self.assertTrue(wait_for(lambda: not _group_alive(pid), timeout=10))
        finally:
            stack.close()


class IdleSessions(unittest.TestCase):
    def test_an_idle_session_is_reset_so_that_the_handhelds_next_send_fails(self):
        stack = Stack(extra=("--idle-timeout", "1"))
        try:
            c = stack.client()
            c.answer()
            # The handheld notices only a failed send; after an orderly close
            # its next message would go out and wait for ever.
            self.assertEqual(c.ended(timeout=15), "reset")
            with self.assertRaises(OSError):
                c.send("<MC 10 10>\r\n\r\n")
            self.assertTrue(stack.server.wait_log(lambda r: r["event"] == "session-end" and r["reason"] == "idle"))
        finally:
            stack.close()


class TimeOuts(unittest.TestCase):
    """With a page time-out of two seconds."""

    @classmethod
    def setUpClass(cls):
        cls.stack = Stack(extra=("--page-timeout", "2"))

    @classmethod
    def tearDownClass(cls):
        cls.stack.close()

    def test_a_page_that_does_not_answer_in_time_gets_a_page_saying_so_and_reload_tries_again(self):
        c = self.stack.client("second.html")
        c.answer()
        slow = self.stack.page("slow?ms=6000&page=third.html")
        start = time.time()
        page = c.ask("<URL %s >\r\n\r\n" % slow)
        self.assertLess(time.time() - start, 5)
        self.assertIn("did not load within 2 seconds", page.text())
        self.assertIn("slow", page.text())
        self.assertNotIn(b"<BU>", page.body)
        self.assertEqual(page.urls, [])
        n = len(self.stack.site.requests("/slow"))
        page = c.ask("<RF>\r\n\r\n")
        self.assertEqual(len(self.stack.site.requests("/slow")), n + 1, "reload asked the site again")
        back = c.ask("<BA>\r\n\r\n")
        self.assertIn("Second page", back.text())
        c.close()

    def test_a_page_whose_pictures_are_late_is_shown_with_a_notice(self):
        c = self.stack.client("second.html")
        c.answer()
        page = c.ask("<URL %s >\r\n\r\n" % self.stack.page("slowpicture.html"))
        self.assertIn("Text that is there at once", page.text())
        self.assertIn("did not finish loading within 2 seconds", page.text())
        self.assertIn(b"<BU>", page.body)
        c.close()

    def test_back_from_the_first_page_changes_nothing(self):
        c = self.stack.client("second.html")
        c.answer()
        self.assertTrue(c.ask("<BA>\r\n\r\n").unchanged)
        c.close()


class CommandLine(unittest.TestCase):
    def run_server(self, *args):
        return subprocess.run([SERVER] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)

    def test_bad_options_exit_2_and_a_failed_start_exits_1_with_the_reason(self):
        for args in (["--port", "x"], ["--max-sessions", "-1"], ["--map-host", "nameonly"], ["--bogus", "1"],
                     ["--port"]):
            p = self.run_server(*args)
            self.assertEqual(p.returncode, 2, args)
            self.assertTrue(p.stderr, args)
        p = self.run_server("--listen", "127.0.0.1", "--port", "0", "--browser", "/nonexistent/browser")
        self.assertEqual(p.returncode, 1)
        self.assertIn(b"/nonexistent/browser", p.stderr)
        p = self.run_server("--listen", "127.0.0.1", "--port", "0", "--users", "/nonexistent/users")
        self.assertEqual(p.returncode, 1)
        self.assertIn(b"/nonexistent/users", p.stderr)
        p = self.run_server("--listen", "not-an-address", "--port", "0")
        self.assertEqual(p.returncode, 1)

    def test_a_mapped_host_name_reaches_the_site(self):
        stack = Stack(map_hosts=[("site.corvanta.test", "127.0.0.1")], allow_hosts=["site.corvanta.test"])
        try:
            site = Site("127.0.0.1", 0, PAGES).start()
            try:
                c = Client(stack.server, "site.corvanta.test:%d/second.html" % site.port)
                self.assertIn("Second page", c.answer().text())
                c.close()
            finally:
                site.stop()
        finally:
            stack.close()


def _group_alive(pgid):
    try:
        os.killpg(pgid, 0)
        return True
    except ProcessLookupError:
        return False


if __name__ == "__main__":
    unittest.main()
