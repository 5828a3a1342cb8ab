"""The rendering server for tests: build/corvanta-server on a loopback address
of the test's own, its JSON log, the test website next to it, a protocol
client that speaks as the handheld does (the framings and scrambling of
tests/peers/common/cvproto.py) and a reader of the page streams it answers."""
import json
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("CV_SOURCE", os.path.join(HERE, "..", ".."))
BUILD = os.environ.get("CV_BUILD", os.path.join(SOURCE, "build"))
SERVER = os.path.join(BUILD, "corvanta-server")
PAGES = os.path.join(HERE, "pages")
sys.path.insert(0, os.path.join(SOURCE, "tests", "peers", "common"))
sys.path.insert(0, os.path.join(SOURCE, "tests", "peers", "site"))
sys.dont_write_bytecode = True
import cvproto  # noqa: E402
from site_server import Site  # noqa: E402

GREETING = b"CORVANTA PPC\r\n"


def free_address(port=80):
    """A loopback address whose port (80 by default) no other test holds."""
    for _ in range(200):
        addr = "127.%d.%d.%d" % (random.randint(1, 250), random.randint(1, 250), random.randint(2, 250))
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            s.bind((addr, port))
            s.close()
            return addr
        except OSError:
            s.close()
    raise RuntimeError("no free loopback address")


def wait_for(predicate, timeout=10.0, step=0.02):
    end = time.time() + timeout
    while time.time() < end:
        v = predicate()
        if v:
            return v
        time.sleep(step)
    return predicate()


class RenderingServer:
    """build/corvanta-server with a log of its own, stopped by stop()."""

    def __init__(self, addr=None, port=0, users=None, max_sessions=None, map_hosts=(), allow_hosts=(), extra=(),
                 env=None):
        self.dir = tempfile.mkdtemp(prefix="cvserver-")
        self.log_path = os.path.join(self.dir, "server.log")
        self.addr = addr or free_address(port or 80)
        args = [SERVER, "--listen", self.addr, "--port", str(port), "--log", self.log_path]
        if users is not None:
            path = os.path.join(self.dir, "users")
            with open(path, "w") as f:
                f.write(users)
            args += ["--users", path]
        if max_sessions is not None:
            args += ["--max-sessions", str(max_sessions)]
        for name, address in map_hosts:
            args += ["--map-host", "%s=%s" % (name, address)]
        # Loopback sites are refused unless allowed, as for any operator.
        for host in allow_hosts:
            args += ["--allow-host", host]
        args += list(extra)
        self.out_path = os.path.join(self.dir, "server.out")
        self.out = open(self.out_path, "w")
        environ = dict(os.environ)
        environ.update(env or {})
        self.proc = subprocess.Popen(args, stdout=self.out, stderr=subprocess.STDOUT, env=environ)
        line = wait_for(self._listening, timeout=60)
        if not line:
            self.stop()
            raise RuntimeError("the server did not start: " + self.output())
        self.port = int(line.rsplit(":", 1)[1])

    def _listening(self):
        for line in self.output().splitlines():
            if line.startswith("listening on "):
                return line
        if self.proc.poll() is not None:
            raise RuntimeError("the server ended (%s): %s" % (self.proc.returncode, self.output()))
        return None

    def output(self):
        with open(self.out_path) as f:
            return f.read()

    def log(self, event=None):
        if not os.path.exists(self.log_path):
            return []
        # The server may be writing a line as it is read: a last line
        # without its newline is not there yet.
        with open(self.log_path) as f:
            recs = [json.loads(line) for line in f if line.endswith("\n") and line.strip()]
        return [r for r in recs if event is None or r["event"] == event]

    def wait_log(self, predicate, timeout=20):
        return wait_for(lambda: [r for r in self.log() if predicate(r)], timeout=timeout)

    def engine_pid(self):
        starts = self.log("engine-start")
        return starts[-1]["pid"] if starts else None

    def status(self):
        s = socket.create_connection((self.addr, self.port), timeout=10)
        s.sendall(b"GET /status HTTP/1.0\r\n\r\n")
        data = b""
        while True:
            d = s.recv(4096)
            if not d:
                break
            data += d
        s.close()
        return data

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.out.close()

    def close(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


class Client:
    """One handheld connection: the login, then scrambled event requests,
    each answered by one HTTP response."""

    def __init__(self, server, page=None, customer=b"Tess", user=b"guest", password=b"anonymous",
                 greeting=GREETING, connect_first=False, login=True, source=None, origin_form=False):
        self.origin_form = origin_form  # "POST /j.t" as a plain web client writes it
        self.sock = socket.create_connection((server.addr, server.port), timeout=30,
                                             source_address=(source, 0) if source else None)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf = b""
        self.server = server
        base = cvproto.base_key()
        if connect_first:
            self.sock.sendall(b"CONNECT %s:80 HTTP/1.0\r\n\r\n" % server.addr.encode())
            reply = self._read_until(b"\r\n\r\n")
            assert reply.startswith(b"HTTP/1.0 200"), reply
        if page is None:
            self.key = base
            self.login_body = greeting
        else:
            url = b"http://" + (page.encode() if isinstance(page, str) else page)
            self.key = cvproto.login_key(base, customer, url)
            tm = b"<TM " + user + b"\n" + password + b"\n1.01\n>"
            self.login_body = greeting + customer + b"\r\n" + url + b"\r\n" + cvproto.make_block(
                tm, self.key, random.randrange(8))
        if login:
            self.post(self.login_body, login=True)

    def _read_until(self, marker):
        while marker not in self.buf:
            d = self.sock.recv(65536)
            if not d:
                raise EOFError("connection closed")
            self.buf += d
        i = self.buf.index(marker) + len(marker)
        out, self.buf = self.buf[:i], self.buf[i:]
        return out

    def post(self, body, login=False):
        host = self.server.addr.encode()
        if self.origin_form:
            head = b"POST /j.t HTTP/1.0\r\nHost: %s\r\n" % host
        else:
            head = (b"POST http://%s:80/j.t HTTP/1.0\r\nHost: %s\r\n" % (host, host) if login else
                    b"POST http://%s:80/j.t HTTP/1.0\r\nHost: %s:80\r\n" % (host, host))
        self.sock.sendall(head + b"Connection: keep-alive\r\nContent-length: %d\r\n\r\n" % len(body) + body)

    def send(self, message):
        """An event message, scrambled (the quit message goes in clear)."""
        if isinstance(message, str):
            message = message.encode()
        if message.startswith(b"<QT>"):
            self.post(message)
        else:
            self.post(cvproto.make_block(message, self.key, random.randrange(8)))

    def answer(self, timeout=30):
        """The body of the next response."""
        self.sock.settimeout(timeout)
        head = self._read_until(b"\r\n\r\n")
        assert head.startswith(b"HTTP/1.0 200 OK\r\n"), head
        n = int(re.search(rb"Content-Length: (\d+)", head).group(1))
        while len(self.buf) < n:
            d = self.sock.recv(65536)
            if not d:
                raise EOFError("connection closed inside an answer")
            self.buf += d
        body, self.buf = self.buf[:n], self.buf[n:]
        return Page(body, self.key)

    def ask(self, message, timeout=30):
        self.send(message)
        return self.answer(timeout)

    def closed(self, timeout=10):
        """True when the server closes the connection (whatever it sent before)."""
        return self.ended(timeout) == "closed"

    def ended(self, timeout=10):
        """How the server ended the connection: "closed" (an orderly close),
        "reset", or None when it is still open after the timeout."""
        self.sock.settimeout(timeout)
        try:
            while True:
                d = self.sock.recv(65536)
                if not d:
                    return "closed"
        except ConnectionResetError:
            return "reset"
        except socket.timeout:
            return None

    def close(self):
        self.sock.close()


# Tags whose last argument is a counted text, and how many words come before it.
COUNTED = {"DS": 4, "BT": 7, "TF": 7, "PF": 7, "TA": 7, "DI": 3, "LI": 3}


class Tag:
    def __init__(self, code, args, text=None):
        self.code, self.args, self.text = code, args, text

    def num(self, i):
        v = self.args[i]
        return -int(v[1:], 16) if v.startswith("-") else int(v, 16)

    def __repr__(self):
        return "<%s %s%s>" % (self.code, " ".join(self.args), (" " + self.text) if self.text is not None else "")


class Page:
    """An answer's page stream, read as the handheld reads it: tags with
    their counted texts, image payloads passed over, scrambled blocks
    deciphered with the session key."""

    def __init__(self, body, key):
        self.body = body
        self.tags = []
        self.urls = []  # addresses of URL blocks
        self._read(body, key)

    def _read(self, data, key):
        i = 0
        while True:
            i = data.find(b"<", i)
            if i < 0 or i + 3 > len(data):
                return
            code = data[i + 1:i + 3].decode("latin-1")
            if not re.match(r"[A-Za-z]{2}$", code):
                i += 1
                continue
            if code == "EN":
                block = cvproto.open_block(data[i:], key)
                assert block, "a scrambled block that does not open"
                v, plain, rest = block
                if plain.startswith(b"<URL "):
                    self.urls.append(plain[5:-1].decode("latin-1"))
                else:
                    self._read(plain, key)
                i = len(data) - len(rest)
                continue
            end = data.find(b">", i)
            head = data[i + 1:end].decode("latin-1").split(" ")
            if code in COUNTED:
                k = COUNTED[code]
                words = data[i + 1:].split(b" ", k + 1)
                n = int(words[k], 16)
                start = i + 1 + sum(len(w) + 1 for w in words[:k + 1])
                text = data[start:start + n].decode("utf-8", "replace")
                self.tags.append(Tag(code, [w.decode("latin-1") for w in words[1:k + 1]], text))
                i = start + n + 1
                continue
            tag = Tag(code, head[1:])
            self.tags.append(tag)
            i = end + 1
            if code == "IM":
                i += tag.num(5)

    def codes(self):
        return [t.code for t in self.tags]

    def find(self, code):
        return [t for t in self.tags if t.code == code]

    def text(self):
        """The page's text runs joined by spaces, in stream order."""
        return " ".join(t.text for t in self.tags if t.code == "DS")

    @property
    def cut(self):
        return self.body.startswith(b"<CL>")

    @property
    def unchanged(self):
        return self.body == b"<ST>"

    def control(self, code, near_text=None):
        return self.find(code)


def page_root_url(site, name):
    """An address of the test site as the handheld's login names it (without "http://")."""
    return "%s:%d/%s" % (site.addr, site.port, name)


class Stack:
    """The test website and the rendering server, each on a loopback address
    of its own (the server allowed to reach the site, and nothing else on
    loopback); close() stops both."""

    def __init__(self, **server_args):
        self.site = Site(free_address(8000), 0, PAGES).start()
        allow = ["%s:%d" % (self.site.addr, self.site.port)] + list(server_args.pop("allow_hosts", ()))
        self.server = RenderingServer(allow_hosts=allow, **server_args)

    def page(self, name):
        return page_root_url(self.site, name)

    def url(self, name):
        return "http://" + self.page(name)

    def client(self, name="index.html", **kw):
        return Client(self.server, self.page(name) if name is not None else None, **kw)

    def close(self):
        self.server.close()
        self.site.stop()
