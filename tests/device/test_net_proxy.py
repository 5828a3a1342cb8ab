"""Real peers: the client through the real tinyproxy (absolute-URL balancer
GET, then a CONNECT tunnel to the rendering server), and the balancer as a
CGI program behind the real nginx with fcgiwrap (chunked replies)."""
import shutil
import socket
import unittest

from netpeers import NetDevice, NginxBalancer, Tinyproxy, events, wait_wire

FAST = ("--clock", "10")
PROXY_PORT = 8888


@unittest.skipUnless(shutil.which("tinyproxy"), "tinyproxy is not installed (scripts/bootstrap)")
class ThroughTinyproxy(unittest.TestCase):
    def setUp(self):
        self.dev = None
        self.proxy = None
        self.dev = NetDevice(proxy="")
        self.dev.write("/cv/cvconfig.txt", "Tess\r\nguest\r\nanonymous\r\n%s:%d:On\r\n" % (self.dev.addr, PROXY_PORT))
        self.proxy = Tinyproxy(self.dev.addr, PROXY_PORT)

    def tearDown(self):
        if self.proxy:
            self.proxy.stop()
        self.dev.close()

    def test_balancer_get_and_tunnelled_login_and_events(self):
        bal = self.dev.balancer("http")
        self.dev.render(ports=(80, 443))
        code, err = self.dev.run(["wait-idle 2000", "tap 100 50", "wait-idle 400"], *FAST, timeout=60)
        self.assertEqual(0, code, err)
        # On a loaded machine the client may time out waiting for the
        # balancer and ask again: every ask is the same GET through the proxy.
        reqs = bal.requests()
        self.assertGreaterEqual(len(reqs), 1)
        for req in reqs:
            self.assertTrue(req.startswith("GET /cgi-bin/loadbalance.cgi?Tess+1.01 HTTP/1."), req)
            self.assertIn("Via:", req)
        # Through a proxy the rendering server is reached on port 443.
        accepts = self.dev.wire("accept")
        self.assertEqual([443], [a["port"] for a in accepts])
        login = self.dev.wire("login")
        self.assertEqual(1, len(login), self.dev.wire())
        self.assertTrue(login[0]["head"].startswith("POST http://%s:443/j.t HTTP/1.0\r\nHost: %s\r\n"
                                                    % (self.dev.addr, self.dev.addr)))
        self.assertEqual("http://www.example.com/", login[0]["url"])
        self.assertEqual("<TM guest\nanonymous\n1.01\n>", login[0]["plain"])
        self.assertEqual(["<MC 200 100>\r\n\r\n"], events(self.dev))
        # The proxy's answer to the CONNECT went into the page file first.
        self.assertTrue(self.dev.read("/cv/kivo.txt").startswith(b"HTTP/1.0 200 Connection established"))

    def test_chunked_balancer_behind_nginx_through_the_proxy(self):
        nginx = NginxBalancer(self.dev.addr, 8080, self.dev.addr, "cgi.example/start")
        try:
            self.dev.render(ports=(80, 443))
            # The balancer's reply comes through the proxy, nginx and fcgiwrap: on a
            # loaded machine that can take longer than a short idle spell.
            code, err = self.dev.run(["wait-idle 2000"], *FAST, timeout=60)
            self.assertEqual(0, code, err)
            login = self.dev.wire("login")
            self.assertEqual(1, len(login), self.dev.wire())
            self.assertEqual("http://cgi.example/start", login[0]["url"])
        finally:
            nginx.stop()


@unittest.skipUnless(shutil.which("nginx") and shutil.which("fcgiwrap"), "nginx or fcgiwrap missing")
class BehindNginx(unittest.TestCase):
    def setUp(self):
        self.dev = NetDevice()
        self.nginx = NginxBalancer(self.dev.addr, 8080, self.dev.addr, "cgi.example/start")

    def tearDown(self):
        self.nginx.stop()
        self.dev.close()

    def raw_get(self, request):
        s = socket.create_connection((self.dev.addr, 8080), timeout=5)
        s.sendall(request.encode())
        data = b""
        while b"\r\n0\r\n\r\n" not in data and b"\r\n\r\n" not in data.split(b"\r\n\r\n", 1)[-1]:
            more = s.recv(4096)
            if not more:
                break
            data += more
        s.close()
        return data

    def test_nginx_answers_the_clients_get_in_chunks(self):
        a = self.dev.addr
        data = self.raw_get("GET http://%s:8080/cgi-bin/loadbalance.cgi?Tess+1.01 HTTP/1.1\r\nHost: %s\r\n"
                            "Connection: keep-alive\r\n\r\n" % (a, a))
        self.assertIn(b"Transfer-Encoding: chunked", data)
        self.assertIn(("%s cgi.example/start" % a).encode(), data)

    def test_client_reads_the_chunked_reply(self):
        self.dev.render()
        code, err = self.dev.run(["wait-idle 2000", "tap 10 10", "wait-idle 400"], *FAST, timeout=60)
        self.assertEqual(0, code, err)
        login = self.dev.wire("login")
        self.assertEqual(1, len(login), self.dev.wire())
        self.assertEqual("http://cgi.example/start", login[0]["url"])
        self.assertEqual(["<MC 20 20>\r\n\r\n"], events(self.dev))


if __name__ == "__main__":
    unittest.main()
