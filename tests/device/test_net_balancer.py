"""The balancer lookup against the stand-in in each form of answer it
gives, seen from what the client then sends to the rendering server."""
import time
import unittest

from netpeers import NetDevice, STATUS_COLOURS, near

FAST = ("--clock", "10")


class Balancer(unittest.TestCase):
    def setUp(self):
        self.dev = NetDevice()

    def tearDown(self):
        self.dev.close()

    def logged_in_url(self, mode, page="www.example.com/", server=None):
        bal = self.dev.balancer(mode, page=page, server=server)
        self.dev.render()
        code, err = self.dev.run(["wait-idle 300"], *FAST, timeout=60)
        self.assertEqual(0, code, err)
        logins = self.dev.wire("login")
        self.assertEqual(1, len(logins), self.dev.wire())
        return bal, logins[0].get("url")

    def get_line(self):
        return "GET http://%s:8080/cgi-bin/loadbalance.cgi?Tess+1.01 HTTP/1.1\r\n" % self.dev.addr

    def test_plain_http_and_chunked_answers(self):
        for mode in ("plain", "http", "chunked"):
            with self.subTest(mode=mode):
                self.dev.close()
                self.dev = NetDevice()
                bal, url = self.logged_in_url(mode, page="news.example/%s" % mode)
                self.assertEqual("http://news.example/%s" % mode, url)
                self.assertEqual(1, len(bal.requests()))

    def test_redirect_is_followed_once_and_the_lookup_starts_over(self):
        bal, url = self.logged_in_url("redirect")
        self.assertEqual("http://www.example.com/", url)
        reqs = bal.requests()
        self.assertEqual(3, len(reqs), reqs)
        self.assertTrue(reqs[0].startswith(self.get_line()))
        self.assertEqual("GET http://%s:8080/moved HTTP/1.0\r\n\r\n" % self.dev.addr, reqs[1])
        self.assertTrue(reqs[2].startswith(self.get_line()))

    def test_answer_naming_only_the_server_reads_again_and_starts_over(self):
        bal, url = self.logged_in_url("hostonly")
        self.assertEqual("http://www.example.com/", url)
        self.assertEqual(2, len(bal.requests()))

    def test_via_header_makes_the_client_tunnel_to_the_servers_own_port(self):
        bal, url = self.logged_in_url("via")
        wire = [r for r in self.dev.wire() if r["kind"] in ("connect", "login")]
        self.assertEqual("connect", wire[0]["kind"])
        self.assertEqual("CONNECT %s:80 HTTP/1.0\r\n\r\n" % self.dev.addr, wire[0]["line"])
        self.assertEqual("login", wire[1]["kind"])
        self.assertTrue(wire[1]["head"].startswith("POST http://%s:80/j.t" % self.dev.addr))

    def test_refused_balancer_is_not_retried(self):
        # Nothing listens on the balancer's port: no retry, no status page
        # from the lookup; without a server the client shows no connection.
        self.dev.render()
        shot = self.dev.path("/shot.png")
        start = time.time()
        code, err = self.dev.run(["wait-idle 300", "screenshot " + shot], timeout=60)
        self.assertEqual(0, code, err)
        self.assertLess(time.time() - start, 4.5)  # the 1 s splash, no 1 s retries
        self.assertTrue(near(self.dev.screen_colour(shot), STATUS_COLOURS["/cv/noconnect.txt"]))
        self.assertEqual([], self.dev.wire())

    def test_overlong_words_are_cut_to_their_fields(self):
        page = "p" * 300
        bal, url = self.logged_in_url("plain", page=page)
        self.assertEqual("http://" + "p" * 255, url)

    def test_overlong_server_name_is_cut_and_fails_to_resolve(self):
        self.dev.balancer("plain", server="h" * 200 + ".invalid")
        shot = self.dev.path("/shot.png")
        code, err = self.dev.run(["wait-idle 300", "screenshot " + shot], *FAST, timeout=60)
        self.assertEqual(0, code, err)
        self.assertTrue(near(self.dev.screen_colour(shot), STATUS_COLOURS["/cv/noconnect.txt"]))


if __name__ == "__main__":
    unittest.main()
