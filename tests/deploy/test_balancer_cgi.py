"""The load balancer CGI under the real nginx and fcgiwrap, as deploy/
installs it: answers to bad requests and broken configurations, servers
that are down or never answer, and the client's busy page when no server
can take a session. (Choices among real rendering servers are in
test_balancer_servers.py.)"""
import os
import socket
import subprocess
import threading
import unittest

from deploytest import BUILD, ClientDevice, Stack, lookup, wait_for, write_balancer_conf
import localstack

CGI = os.path.join(BUILD, "loadbalance.cgi")
EMPTY_HEADERS = ("content-type", "text/plain")


class SilentServer:
    """Accepts connections on port 80 and never answers: a rendering server
    that hangs is the one case a real one cannot be made to show."""

    def __init__(self):
        self.addr = localstack.free_address((80,))
        self.sock = socket.socket()
        self.sock.bind((self.addr, 80))
        self.sock.listen(16)
        self.conns = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                c, _ = self.sock.accept()
            except OSError:
                return
            self.conns.append(c)

    def stop(self):
        self.sock.close()
        for c in self.conns:
            c.close()


class UnderNginx(unittest.TestCase):
    def setUp(self):
        self.stack = Stack(BUILD)
        self.addCleanup(self.stack.stop)
        self.down = localstack.free_address((80,))  # nothing listens there
        write_balancer_conf(self.stack.balancer_conf, [self.down])
        self.stack.start_nginx(site=False)

    def ask(self, query, method="GET"):
        return lookup(self.stack.balancer_addr, self.stack.balancer_port, query, method)

    def log_lines(self):
        return [l for l in self.stack.error_log().splitlines() if "loadbalance.cgi:" in l]

    def assert_empty(self, answer):
        status, headers, body = answer
        self.assertEqual("HTTP/1.1 200 OK", status)
        self.assertEqual("text/plain", headers.get("content-type"))
        self.assertEqual("no-store", headers.get("cache-control"))
        self.assertEqual(b"", body)

    def wait_log(self, text):
        self.assertTrue(wait_for(lambda: any(text in l for l in self.log_lines()), timeout=5),
                        "%r not in the error log:\n%s" % (text, self.stack.error_log()))

    def test_malformed_queries_get_an_empty_text_and_one_log_line_each(self):
        for q in ("", "Tess", "Tess+1", "Tess+one.two", "Tess+1.0%0a", "+", "Tess+1.0.1"):
            with self.subTest(query=q):
                self.assert_empty(self.ask(q))
        self.wait_log('malformed query "Tess+1.0.1"')
        self.assertEqual(7, len([l for l in self.log_lines() if "malformed query" in l]), self.log_lines())

    def test_a_missing_configuration(self):
        os.unlink(self.stack.balancer_conf)
        self.assert_empty(self.ask("Tess+1.01"))
        self.wait_log("loadbalance.cgi: configuration: cannot read %s: No such file or directory"
                      % self.stack.balancer_conf)

    def test_a_broken_configuration(self):
        with open(self.stack.balancer_conf, "w") as f:
            f.write("server %s\nstart www.example.com/\nminimum-version one\n" % self.down)
        self.assert_empty(self.ask("Tess+1.01"))
        self.wait_log('loadbalance.cgi: configuration: %s line 3: "one" is not a version MAJOR.MINOR'
                      % self.stack.balancer_conf)

    def test_only_get_is_answered(self):
        self.assert_empty(self.ask("Tess+1.01", method="POST"))
        self.wait_log("refused a POST request")

    def test_no_server_up_gives_an_empty_text(self):
        self.assert_empty(self.ask("Tess+1.01"))
        self.wait_log("no rendering server can take a session: %s cannot be reached: Connection refused"
                      % self.down)

    def test_a_server_that_never_answers_is_passed_over_in_time(self):
        silent = SilentServer()
        self.addCleanup(silent.stop)
        write_balancer_conf(self.stack.balancer_conf, [silent.addr, self.down])
        self.assert_empty(self.ask("Tess+1.01"))
        self.wait_log("no rendering server can take a session: %s did not answer /status within 200 ms; "
                      "%s cannot be reached" % (silent.addr, self.down))
        self.assertTrue(wait_for(lambda: len(silent.conns) == 1, timeout=5))

    def test_the_client_ends_on_its_busy_page(self):
        dev = ClientDevice(self.stack.balancer_addr, self.stack.balancer_port)
        self.addCleanup(dev.close)
        shot = dev.path("/shot.png")
        code, err = dev.run(["wait-idle 500", "screenshot " + shot], "--clock", "10", timeout=120)
        self.assertEqual(0, code, err)
        self.assertEqual("/cv/busy.txt", dev.status_shown(shot))
        # The lookup and its five retries (and the one restart the client
        # makes after a second answer), each closed by the web server after
        # its empty answer.
        with open(os.path.join(self.stack.work, "access.log")) as f:
            gets = [l for l in f if "/cgi-bin/loadbalance.cgi?Tess+1.01 " in l]
        self.assertGreaterEqual(len(gets), 6, gets)


class Directly(unittest.TestCase):
    """The CGI program run by hand, the way fcgiwrap runs it: whatever the
    environment, a complete answer and exit code 0."""

    def run_cgi(self, env):
        p = subprocess.run([CGI], env=env, capture_output=True, timeout=30, stdin=subprocess.DEVNULL)
        return p.returncode, p.stdout, p.stderr.decode(errors="replace")

    def test_every_failure_still_answers_and_exits_zero(self):
        cases = [
            {},
            {"REQUEST_METHOD": "GET"},
            {"REQUEST_METHOD": "GET", "QUERY_STRING": "Tess+1.01", "CORVANTA_BALANCER_CONF": "/"},
            {"REQUEST_METHOD": "GET", "QUERY_STRING": "x" * 100000 + "+1.0"},
            {"REQUEST_METHOD": "GET", "QUERY_STRING": "\x01\x7f\xff+1.0",
             "CORVANTA_BALANCER_CONF": "/dev/null"},
        ]
        for env in cases:
            with self.subTest(env={k: v[:20] for k, v in env.items()}):
                code, out, err = self.run_cgi(env)
                self.assertEqual(0, code, err)
                self.assertEqual(b"Content-Type: text/plain\r\nCache-Control: no-store\r\nContent-Length: 0\r\n\r\n",
                                 out)
                self.assertEqual(1, len(err.splitlines()), err)
                self.assertTrue(err.startswith("loadbalance.cgi: "), err)

    def test_the_default_configuration_path(self):
        code, out, err = self.run_cgi({"REQUEST_METHOD": "GET", "QUERY_STRING": "Tess+1.01"})
        self.assertEqual(0, code)
        if not os.path.exists("/etc/corvanta/balancer.conf"):
            self.assertIn("cannot read /etc/corvanta/balancer.conf", err)


if __name__ == "__main__":
    unittest.main()
