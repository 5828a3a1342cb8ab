"""The real client against peers that misbehave: a balancer whose redirect
names an address longer than any request can carry, and pages whose
coordinates span all 32 bits."""
import socket
import threading
import unittest

from devicetest import Device, read_png
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


STATUS_PAGES = ("/cv/noconnect.txt", "/cv/busy.txt", "/cv/disconnect.txt", "/cv/cvupgrade.txt")

# A page of shapes and controls reaching to the ends of the 32-bit range. Drawn
# pixel by pixel they would take years; each must cost only its visible part.
HOSTILE = (b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n"
           b"<FR 0 0 280 1e0><sw 3 0 0><BC ff ff ff><FC 0 0 0><CR 3 0 0 280 1e0>"
           b"<BC ff 0 0><CR 3 -7ffffffe -7ffffffe 7fffffff 7fffffff>"
           b"<BC 0 0 ff><CR 3 100 100 7fffffff 7fffffff>"
           b"<FC 0 ff 0><DL 3 0 20 7ffffffe 20><DL 3 -80000000 30 7fffffff 30>"
           b"<FC 0 0 0><TF 3 10 40 3b9aca00 19 n 5 hello>"
           b"<SV 3 26f 11 11 1ad 7fffffff 7fffffff>"
           b"<BT 3 7fffff00 7fffff00 7fffffff 7fffffff b 2 Go>")


class HostilePages(unittest.TestCase):
    def test_a_page_of_extreme_coordinates_draws_its_visible_part_and_the_client_goes_on(self):
        dev = Device()
        try:
            for path in STATUS_PAGES:
                dev.write(path, HOSTILE)
            dev.write("/cv/cvhome.txt", "127.0.0.1\r\n9\r\n")  # nothing listens there
            drawn, typing = dev.path("/drawn.png"), dev.path("/typing.png")
            # A freeze would end in the timeout, long before the work was done.
            code, err = dev.run(["wait-idle 800", "screenshot " + drawn, "tap 60 37", "wait-idle 400",
                                 "screenshot " + typing], "--clock", "4", timeout=120)
            self.assertEqual(0, code, err)
            _, _, s = read_png(drawn)
            red, blue, green, white = (255, 0, 0), (0, 0, 255), (0, 255, 0), (255, 255, 255)
            self.assertEqual([s[0][0], s[0][1], s[1][0], s[1][1]], [red] * 4)
            self.assertEqual(white, s[2][2])
            self.assertEqual(blue, s[200][200])
            self.assertEqual(blue, s[128][128])
            self.assertEqual(white, s[127][128])
            self.assertEqual(white, s[200][127])
            # The lines run the whole width (the bar of the frame's right edge aside).
            for row in (16, 24):
                self.assertEqual([green] * 300, s[row][0:300], "row %d" % row)
            # The field's white ground reaches the screen's edge, its text at the left.
            self.assertTrue(all(s[37][x] == white for x in range(100, 300)))
            self.assertTrue(any(s[y][x] != white for y in range(33, 43) for x in range(10, 40)))
            # A tap in the field starts text entry: the screen changes below the page's text.
            _, _, t = read_png(typing)
            self.assertGreater(sum(1 for y in range(140, 240) for x in range(320) if t[y][x] != s[y][x]), 2000)
        finally:
            dev.close()


if __name__ == "__main__":
    unittest.main()
