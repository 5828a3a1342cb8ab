"""The real client against peers that misbehave: a balancer whose redirect
names an address longer than any request can carry."""
import socket
import threading
import unittest

from netpeers import BALANCER_PORT, STATUS_COLOURS, NetDevice, near


class ScriptedBalancer:
    """Answers every connection on addr:port with the same bytes, after the
    request has arrived, and counts the connections."""

    def __init__(self, addr, port, answer):
        self.answer = answer
        self.connections = 0
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((addr, port))
        self.sock.listen(8)
        self.sock.settimeout(0.2)
        self.running = True
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while self.running:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                continue
            self.connections += 1
            with conn:
                conn.settimeout(2)
                try:
                    conn.recv(4096)
                    conn.sendall(self.answer)
                    conn.recv(4096)  # the client closes when it gives up on this answer
                except OSError:
                    pass

    def stop(self):
        self.running = False
        self.thread.join(5)
        self.sock.close()


class Robustness(unittest.TestCase):
    def setUp(self):
        self.dev = NetDevice()
        self.peers = []

    def tearDown(self):
        for p in self.peers:
            p.stop()
        self.dev.close()

    def test_a_redirect_too_long_to_follow_counts_as_a_failed_receive(self):
        location = "http://%s:%d/%s" % (self.dev.addr, BALANCER_PORT, "a" * 900)
        answer = ("HTTP/1.1 302 Found\r\nLocation: %s\r\nContent-Length: 0\r\n\r\n" % location).encode()
        bal = ScriptedBalancer(self.dev.addr, BALANCER_PORT, answer)
        self.peers.append(bal)
        shot = self.dev.path("/shot.png")
        code, err = self.dev.run(["wait-idle 300", "screenshot " + shot], "--clock", "10", timeout=120)
        self.assertEqual(0, code, err)  # the program did not end
        # Retried (the answer counter runs on over the attempts, so the
        # second answer restarts without counting a retry), then the busy page.
        self.assertGreaterEqual(bal.connections, 6)
        self.assertTrue(near(self.dev.screen_colour(shot), STATUS_COLOURS["/cv/busy.txt"]))


if __name__ == "__main__":
    unittest.main()
