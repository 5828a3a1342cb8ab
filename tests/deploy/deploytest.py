"""Shared pieces of the deployment tests: the local stack of scripts/, the
client's own lookup request sent by hand, and a device whose home file
points at the stack's balancer."""
import os
import socket
import sys

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "device"))
from devicetest import BUILD, CLIENT, SOURCE, Device, read_png, wait_for  # noqa: E402,F401

sys.path.insert(0, os.path.join(SOURCE, "scripts"))
import localstack  # noqa: E402
from localstack import (SITE_HOST, SITE_START, LiveClient, Stack, StackError,  # noqa: E402,F401
                        write_balancer_conf)

# Status pages drawn as one full-screen colour each, shared with the device
# tests, so that a screenshot tells which one is up.
from netpeers import STATUS_COLOURS, colour_page, near  # noqa: E402,F401


def exchange(addr, port, request, timeout=10):
    """Sends one request and reads the answer until the peer closes."""
    s = socket.create_connection((addr, port), timeout=timeout)
    try:
        s.sendall(request)
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return data
            data += chunk
    finally:
        s.close()


def lookup(addr, port, query, method="GET", timeout=10):
    """Sends the client's lookup request for `query` and reads the answer to
    its end (the balancer's site closes the connection after it). Returns
    (status line, headers lower-cased, body bytes)."""
    target = "http://%s:%d/cgi-bin/loadbalance.cgi?%s" % (addr, port, query)
    req = "%s %s HTTP/1.1\r\nHost: %s\r\nConnection: keep-alive\r\n\r\n" % (method, target, addr)
    data = exchange(addr, port, req.encode("latin-1"), timeout)
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        k, _, v = line.partition(":")
        headers[k.strip().lower()] = v.strip()
    if headers.get("transfer-encoding") == "chunked":
        body = dechunk(body)
    return lines[0], headers, body


def dechunk(data):
    out = b""
    while data:
        size_line, _, rest = data.partition(b"\r\n")
        n = int(size_line.split(b";")[0], 16)
        if n == 0:
            break
        out += rest[:n]
        data = rest[n + 2:]
    return out


class ClientDevice(Device):
    """A device root whose home file points at a balancer."""

    def __init__(self, balancer_addr, balancer_port, customer="Tess", user="guest", password="anonymous",
                 version="1.01", colour_status=True):
        super().__init__()
        self.write("/cv/cvconfig.txt", "%s\r\n%s\r\n%s\r\n::off" % (customer, user, password))
        self.write("/cv/cvhome.txt", "%s\r\n%d\r\n" % (balancer_addr, balancer_port))
        self.write("/cv/cvversion.txt", version + "\r\n")
        if colour_status:
            for path, rgb in STATUS_COLOURS.items():
                self.write(path, colour_page(rgb))

    def live(self, *extra):
        """The client started on this root, driven through a pipe."""
        return LiveClient(CLIENT, self.root, extra)

    def screen(self, png):
        return read_png(png)[2]

    def status_shown(self, png):
        """Which status page a screenshot shows, or None."""
        rgb = self.screen(png)[120][160]
        for path, want in STATUS_COLOURS.items():
            if near(rgb, want) and near(self.screen(png)[10][10], want):
                return path
        return None
