"""Network peers for device tests: the rendering-server and balancer
stand-ins of tests/peers/ on loopback addresses of each test's own, status pages
that can be told apart on the screen, and the real nginx + fcgiwrap and
tinyproxy started with configuration files of the test's own."""
import os
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True
from devicetest import SOURCE, Device, read_png, wait_for  # noqa: E402

for sub in ("render", "balancer", "common"):
    sys.path.insert(0, os.path.join(SOURCE, "tests", "peers", sub))
from balancer_server import BalancerServer  # noqa: E402
from render_server import RenderServer, read_log  # noqa: E402
import cvproto  # noqa: E402

BALANCER_PORT = 8080

# Status pages drawn as one full-screen colour each, so that a screenshot
# tells which one is up.
STATUS_COLOURS = {
    "/cv/noconnect.txt": (0xff, 0x00, 0x00),
    "/cv/busy.txt": (0x00, 0xff, 0x00),
    "/cv/disconnect.txt": (0x00, 0x00, 0xff),
    "/cv/cvupgrade.txt": (0xff, 0xff, 0x00),
    "/cv/cvsplash.txt": (0x00, 0xff, 0xff),
}


def colour_page(rgb):
    return "<FR 0 0 280 1e0><BC %x %x %x><CR 3 0 0 280 1e0><ST>" % rgb


def _free_address():
    """A loopback address whose port 80 no other test holds."""
    for _ in range(200):
        addr = "127.0.%d.%d" % (random.randint(1, 250), random.randint(2, 250))
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            s.bind((addr, 80))
            s.close()
            return addr
        except OSError:
            s.close()
    raise RuntimeError("no free loopback address")


class NetDevice(Device):
    """A device root whose data files point at peers on one loopback
    address: the rendering server on port 80 (and 443), the balancer on 8080."""

    def __init__(self, customer="Tess", user="guest", password="anonymous", proxy="::off"):
        super().__init__()
        self.addr = _free_address()
        self.peers = []
        self.work = tempfile.mkdtemp(prefix="cvnet-")
        self.wire_log = os.path.join(self.work, "wire.log")
        self.balancer_log = os.path.join(self.work, "balancer.log")
        self.write("/cv/cvconfig.txt", "%s\r\n%s\r\n%s\r\n%s" % (customer, user, password, proxy))
        self.write("/cv/cvhome.txt", "%s\r\n%d\r\n" % (self.addr, BALANCER_PORT))
        self.write("/cv/cvversion.txt", "1.01\r\n")
        for path, rgb in STATUS_COLOURS.items():
            self.write(path, colour_page(rgb))

    def render(self, replies=(), ports=(80,), **kw):
        s = RenderServer(self.addr, ports, self.wire_log, replies, **kw).start()
        self.peers.append(s)
        return s

    def balancer(self, mode="plain", server=None, page="www.example.com/"):
        s = BalancerServer(self.addr, BALANCER_PORT, server or self.addr, page, mode, self.balancer_log).start()
        self.peers.append(s)
        return s

    def wire(self, kind=None):
        recs = read_log(self.wire_log)
        return [r for r in recs if kind is None or r.get("kind") == kind]

    def screen_colour(self, png, x=160, y=120):
        _, _, rows = read_png(png)
        return rows[y][x]

    def close(self):
        for p in self.peers:
            p.stop()
        shutil.rmtree(self.work, ignore_errors=True)
        super().close()


def wait_wire(dev, predicate, timeout=15):
    return wait_for(lambda: predicate(dev.wire()), timeout=timeout)


def events(dev):
    """The plain texts of the event requests, in order."""
    return [r.get("plain") for r in dev.wire("event")]


def near(rgb, want, tol=24):
    return all(abs(a - b) <= tol for a, b in zip(rgb, want))


class Tinyproxy:
    """The real HTTP proxy, on addr:port, with a configuration of its own."""

    def __init__(self, addr, port=8888):
        self.dir = tempfile.mkdtemp(prefix="cvproxy-")
        self.log = os.path.join(self.dir, "tinyproxy.log")
        conf = os.path.join(self.dir, "tinyproxy.conf")
        with open(conf, "w") as f:
            f.write("Port %d\nListen %s\nTimeout 60\nMaxClients 20\nAllow 127.0.0.0/8\n"
                    "ConnectPort 443\nConnectPort 80\nLogLevel Info\nLogFile \"%s\"\n"
                    "PidFile \"%s/tinyproxy.pid\"\n" % (port, addr, self.log, self.dir))
        self.proc = subprocess.Popen(["tinyproxy", "-d", "-c", conf], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        if not _wait_port(addr, port):
            self.stop()
            raise RuntimeError("tinyproxy did not start: " + self.log_text())

    def log_text(self):
        try:
            with open(self.log) as f:
                return f.read()
        except OSError:
            return ""

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
        shutil.rmtree(self.dir, ignore_errors=True)


class NginxBalancer:
    """The balancer CGI behind the real nginx and fcgiwrap, on addr:port."""

    def __init__(self, addr, port, server, page):
        self.dir = tempfile.mkdtemp(prefix="cvnginx-")
        sock = os.path.join(self.dir, "fcgiwrap.sock")
        cgi = os.path.join(os.path.abspath(SOURCE), "tests", "peers", "balancer", "loadbalance.cgi")
        self.fcgi = subprocess.Popen(["fcgiwrap", "-s", "unix:" + sock], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        wait_for(lambda: os.path.exists(sock), timeout=5)
        conf = os.path.join(self.dir, "nginx.conf")
        with open(conf, "w") as f:
            f.write("""user root;
daemon off;
master_process off;
worker_processes 1;
pid %(d)s/nginx.pid;
error_log %(d)s/error.log info;
events { worker_connections 64; }
http {
  access_log %(d)s/access.log;
  client_body_temp_path %(d)s/body;
  fastcgi_temp_path %(d)s/fastcgi;
  proxy_temp_path %(d)s/proxy;
  uwsgi_temp_path %(d)s/uwsgi;
  scgi_temp_path %(d)s/scgi;
  server {
    listen %(addr)s:%(port)d;
    location /cgi-bin/loadbalance.cgi {
      fastcgi_pass unix:%(sock)s;
      fastcgi_param QUERY_STRING $query_string;
      fastcgi_param REQUEST_METHOD $request_method;
      fastcgi_param SCRIPT_FILENAME %(cgi)s;
      fastcgi_param SCRIPT_NAME /cgi-bin/loadbalance.cgi;
      fastcgi_param SERVER_PROTOCOL $server_protocol;
      fastcgi_param GATEWAY_INTERFACE CGI/1.1;
      fastcgi_param CV_SERVER %(server)s;
      fastcgi_param CV_START_PAGE %(page)s;
    }
  }
}
""" % {"d": self.dir, "addr": addr, "port": port, "sock": sock, "cgi": cgi, "server": server, "page": page})
        self.nginx = subprocess.Popen(["nginx", "-c", conf, "-p", self.dir], stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
        if not _wait_port(addr, port):
            self.stop()
            raise RuntimeError("nginx did not start")

    def stop(self):
        for p in (getattr(self, "nginx", None), self.fcgi):
            if p and p.poll() is None:
                p.terminate()
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
        shutil.rmtree(self.dir, ignore_errors=True)


def _wait_port(addr, port, timeout=10):
    def up():
        s = socket.socket()
        try:
            s.connect((addr, port))
            return True
        except OSError:
            return False
        finally:
            s.close()
    return wait_for(up, timeout=timeout, step=0.05)
