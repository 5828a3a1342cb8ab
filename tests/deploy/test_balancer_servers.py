"""The load balancer under the real nginx and fcgiwrap with real rendering
servers: the choice between two servers when one is full, the upgrade
demand, a server that is down, and the real client reaching the server the
balancer chose; and the deployment's promise: logins spread over two
servers behind one balancer."""
import os
import unittest

from deploytest import (BUILD, ClientDevice, SITE_START, Stack, exchange, lookup, near, read_png, wait_for,
                        write_balancer_conf)
import localstack


def status(addr):
    """(sessions, max-sessions) from a server's GET /status."""
    data = exchange(addr, 80, b"GET /status HTTP/1.0\r\nHost: %s\r\n\r\n" % addr.encode())
    body = data.partition(b"\r\n\r\n")[2].decode()
    values = dict(line.split(" ", 1) for line in body.splitlines() if " " in line)
    return int(values["sessions"]), int(values["max-sessions"])


# The sample site's band at the top of its pages (#0b5d6b), as the client
# draws it.
BAND = (0x08, 0x5d, 0x68)


class Servers(unittest.TestCase):
    def setUp(self):
        self.stack = Stack(BUILD)
        self.addCleanup(self.stack.stop)
        write_balancer_conf(self.stack.balancer_conf, [])
        self.stack.start_nginx(balancer=True, site=True)
        self.clients = []

    def tearDown(self):
        for live, dev in self.clients:
            live.close()
            dev.close()

    def conf(self, servers, minimum=None):
        write_balancer_conf(self.stack.balancer_conf, [s.addr if hasattr(s, "addr") else s for s in servers],
                            SITE_START, minimum)

    def ask(self, version="1.01"):
        _, _, body = lookup(self.stack.balancer_addr, self.stack.balancer_port, "Tess+" + version)
        return body.decode()

    def client(self):
        """Starts a real client on the emulated device, pointed at the
        balancer, and keeps it running (with its session) until the test
        ends."""
        dev = ClientDevice(self.stack.balancer_addr, self.stack.balancer_port)
        live = dev.live()
        self.clients.append((live, dev))
        return live

    def sessions(self):
        return [status(s.addr)[0] for s in self.stack.servers]

    def test_the_server_with_room_is_chosen_when_one_is_full(self):
        full = self.stack.start_server(max_sessions=1)
        roomy = self.stack.start_server(max_sessions=5)
        self.conf([full])
        self.client()
        self.assertTrue(wait_for(lambda: status(full.addr) == (1, 1), timeout=30), status(full.addr))
        self.conf([full, roomy])
        for _ in range(3):
            self.assertEqual("%s %s\r\n\r\n" % (roomy.addr, SITE_START), self.ask())
        # Once the other is full too, no server can take a session.
        self.conf([full])
        self.assertEqual("", self.ask())
        self.assertIn("no rendering server can take a session: %s has 1 of 1 sessions" % full.addr,
                      self.stack.error_log())

    def test_old_clients_are_asked_to_upgrade(self):
        server = self.stack.start_server()
        self.conf([server], minimum="1.02")
        self.assertEqual("%s %s UP\r\n\r\n" % (server.addr, SITE_START), self.ask("1.01"))
        self.assertEqual("%s %s\r\n\r\n" % (server.addr, SITE_START), self.ask("1.2"))
        self.assertEqual("%s %s\r\n\r\n" % (server.addr, SITE_START), self.ask("2.0"))
        # The real client of version 1.01 ends on its upgrade page, and
        # logs in nowhere.
        shot = os.path.join(self.stack.work, "upgrade.png")
        dev = ClientDevice(self.stack.balancer_addr, self.stack.balancer_port, version="1.01")
        self.addCleanup(dev.close)
        code, err = dev.run(["wait-idle 500", "screenshot " + shot], timeout=60)
        self.assertEqual(0, code, err)
        self.assertEqual("/cv/cvupgrade.txt", dev.status_shown(shot))
        self.assertEqual([0], self.sessions())

    def test_a_server_that_is_down_is_passed_over(self):
        down = localstack.free_address((80,))
        server = self.stack.start_server()
        self.conf([down, server])
        self.assertEqual("%s %s\r\n\r\n" % (server.addr, SITE_START), self.ask())
        self.assertIn("passed over %s cannot be reached: Connection refused" % down, self.stack.error_log())
        # A server that has stopped is down too.
        server.process.stop()
        self.assertEqual("", self.ask())

    def test_the_client_reaches_the_chosen_server_and_sees_the_site(self):
        full = self.stack.start_server(max_sessions=1)
        roomy = self.stack.start_server(max_sessions=3)
        self.conf([full])
        self.client()
        self.assertTrue(wait_for(lambda: status(full.addr)[0] == 1, timeout=30))
        self.conf([full, roomy])
        shot = os.path.join(self.stack.work, "site.png")
        live = self.client()
        self.assertTrue(wait_for(lambda: status(roomy.addr)[0] == 1, timeout=30), self.sessions())
        self.assertTrue(live.wait_page(), live.error_text())
        self.assertTrue(live.screenshot(shot), live.error_text())
        # The engine of the chosen server fetched the site, picture and all.
        self.assertTrue(self.site_requested("/pictures/lake.jpg"))
        rows = read_png(shot)[2]
        self.assertTrue(near(rows[5][300], BAND, 12), rows[5][300])

    def site_requested(self, path):
        try:
            with open(os.path.join(self.stack.work, "access.log")) as f:
                return any(" %s " % path in line for line in f)
        except OSError:
            return False


class Spread(unittest.TestCase):
    """Two rendering servers behind one balancer, started from the deploy/
    unit's own command line: logins are spread over both."""

    def test_logins_are_spread_over_both_servers(self):
        stack = Stack(BUILD)
        self.addCleanup(stack.stop)
        write_balancer_conf(stack.balancer_conf, [])
        stack.start_nginx(balancer=True, site=True)
        servers = [stack.start_server(unit=True) for _ in range(2)]
        write_balancer_conf(stack.balancer_conf, [s.addr for s in servers], SITE_START)
        clients = []

        def close_clients():
            for live, dev in clients:
                live.close()
                dev.close()
        self.addCleanup(close_clients)
        for n in range(1, 5):
            dev = ClientDevice(stack.balancer_addr, stack.balancer_port)
            clients.append((dev.live(), dev))
            # Each login is in before the next lookup, as from users who
            # come one after another.
            self.assertTrue(wait_for(lambda: sum(status(s.addr)[0] for s in servers) == n, timeout=30),
                            [status(s.addr) for s in servers])
        self.assertEqual([(2, 50), (2, 50)], [status(s.addr) for s in servers])
        # Every login was checked against the deployed users file.
        for s in servers:
            logins = [r for r in s.records() if r.get("event") == "login" or r.get("kind") == "login"]
            self.assertEqual(2, len(logins), s.records())


if __name__ == "__main__":
    unittest.main()
