#!/usr/bin/env python3
"""A small website for the rendering server's tests: static pages from a
folder, and a few addresses with behaviour of their own. Every request is
recorded (method, path, query, form fields, cookie header, and the status and
body bytes of the answer), so that a test can check what the web server
received, session by session, and a benchmark what a page transferred.

    site_server.py --addr 127.0.0.9 --port 8000 --root tests/server/pages [--log site.log]

Addresses of its own:
    /cookie/set?NAME=VALUE     sets the cookie, answers a page saying so
    /cookie/show               a page showing the cookie header it got
    /form-echo                 GET or POST: a page listing the fields received
    /status/NNN[?header=N:V]   answers with that status and a short page (and that header)
    /slow?ms=N&page=PATH       waits, then serves PATH (or a short page)
    /download/NAME             a file sent as an attachment
    /nocontent                 204, nothing
    /redirect?to=URL           302 to URL
    /picture.png?w=W&h=H[&c=RRGGBB]
                               a PNG of that size in one colour (small to send, large to decode)
    /link?to=URL[&img=URL]     a page that is one large link to URL (the whole top of the page),
                               with a picture from the img address below it
"""
import argparse
import html
import os
import re
import struct
import sys
import threading
import time
import urllib.parse
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
import cvproto  # noqa: E402

TYPES = {".html": "text/html; charset=utf-8", ".css": "text/css", ".png": "image/png", ".jpg": "image/jpeg",
         ".gif": "image/gif", ".svg": "image/svg+xml", ".js": "text/javascript"}


def small_page(title, body):
    return ("<!DOCTYPE html><html><head><meta charset=utf-8><title>%s</title></head>"
            "<body style='margin:8px;font-size:20px'>%s</body></html>" % (html.escape(title), body)).encode()


def flat_png(width, height, rgb):
    """A PNG of one colour."""
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)
    row = b"\x00" + bytes(rgb) * width
    comp = zlib.compressobj(9)
    data = b"".join(comp.compress(row) for _ in range(height)) + comp.flush()
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", data) + chunk(b"IEND", b""))


class Handler(BaseHTTPRequestHandler):
    server_version = "CvTestSite/1"

    def log_message(self, fmt, *args):
        pass

    def _record(self, body=b""):
        url = urllib.parse.urlsplit(self.path)
        form = {}
        if body and "urlencoded" in (self.headers.get("Content-Type") or ""):
            form = urllib.parse.parse_qs(body.decode("latin-1"), keep_blank_values=True)
        entry = {"method": self.command, "path": url.path, "query": urllib.parse.parse_qs(url.query, keep_blank_values=True),
                 "form": form, "cookie": self.headers.get("Cookie", ""), "agent": self.headers.get("User-Agent", ""),
                 "time": time.time()}
        self.server.site.record(entry)
        return url, entry

    def _send(self, status, body, ctype="text/html; charset=utf-8", headers=()):
        self.entry["status"] = status
        self.entry["bytes"] = len(body)
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        for k, v in headers:
            self.send_header(k, v)
        self.end_headers()
        if self.command != "HEAD":
            try:
                self.wfile.write(body)
            except (BrokenPipeError, ConnectionResetError):
                pass  # the browser stopped loading and went away: normal here

    def do_GET(self):
        self._serve(b"")

    def do_HEAD(self):
        self._serve(b"")

    def do_POST(self):
        n = int(self.headers.get("Content-Length") or 0)
        self._serve(self.rfile.read(n) if n > 0 else b"")

    def _serve(self, body):
        url, entry = self._record(body)
        self.entry = entry
        path = url.path
        q = entry["query"]
        if path == "/cookie/set":
            pairs = [(k, v[0]) for k, v in q.items()]
            headers = [("Set-Cookie", "%s=%s; Path=/" % kv) for kv in pairs]
            text = ", ".join("%s=%s" % kv for kv in pairs)
            return self._send(200, small_page("Cookie set", "<p id=done>Cookie set: %s</p>" % html.escape(text)),
                              headers=headers)
        if path == "/cookie/show":
            return self._send(200, small_page("Cookie", "<p id=cookie>Cookie: %s</p>" % html.escape(entry["cookie"])))
        if path == "/form-echo":
            fields = dict(q)
            fields.update(entry["form"])
            rows = "".join("<p>%s = %s</p>" % (html.escape(k), html.escape(", ".join(v))) for k, v in sorted(fields.items()))
            return self._send(200, small_page("Received", "<p id=title>Received</p>" + rows))
        if path.startswith("/status/"):
            code = int(path.split("/")[2])
            extra = [tuple(h.split(":", 1)) for h in q.get("header", []) if ":" in h]
            return self._send(code, small_page("Status %d" % code, "<p>The site's own page for %d</p>" % code),
                              headers=extra)
        if path == "/slow":
            time.sleep(int(q.get("ms", ["1000"])[0]) / 1000.0)
            page = q.get("page", [""])[0]
            if page:
                path = "/" + page.lstrip("/")
            else:
                return self._send(200, small_page("Slow", "<p>Slow page</p>"))
        if path.startswith("/download/"):
            data = b"\x00\x01binary data\xff" * 64
            return self._send(200, data, "application/octet-stream",
                              [("Content-Disposition", "attachment; filename=\"%s\"" % path.split("/")[2])])
        if path == "/picture.png":
            w, h = int(q.get("w", ["100"])[0]), int(q.get("h", ["100"])[0])
            c = q.get("c", ["3090d0"])[0]
            rgb = tuple(int(c[i:i + 2], 16) for i in (0, 2, 4)) if re.match(r"[0-9a-fA-F]{6}$", c) else (0x30, 0x90, 0xd0)
            return self._send(200, flat_png(w, h, rgb), "image/png")
        if path == "/redirect":
            return self._send(302, small_page("Moved", "<p>Moved</p>"), headers=[("Location", q.get("to", ["/"])[0])])
        if path == "/link":
            to = html.escape(q.get("to", ["/"])[0], quote=True)
            img = q.get("img", [""])[0]
            pic = "<img src=\"%s\" width=40 height=40>" % html.escape(img, quote=True) if img else ""
            return self._send(200, small_page("Link", "<a id=link href=\"%s\" style='display:block;height:200px;"
                                              "background:#cde'>The link</a><p>Below the link</p>%s" % (to, pic)))
        if path == "/nocontent":
            entry["status"], entry["bytes"] = 204, 0
            self.send_response(204)
            self.end_headers()
            return
        if path.endswith("/"):
            path += "index.html"
        full = os.path.realpath(os.path.join(self.server.site.root, path.lstrip("/")))
        if not full.startswith(self.server.site.root + os.sep) or not os.path.isfile(full):
            return self._send(404, small_page("Not found", "<p>Not found</p>"))
        with open(full, "rb") as f:
            data = f.read()
        self._send(200, data, TYPES.get(os.path.splitext(full)[1], "application/octet-stream"))


class Site(cvproto.Recorder):
    """The site on addr:port in a thread of its own; records in memory and,
    with a log file, one JSON line each."""

    def __init__(self, addr, port, root, log=None):
        super().__init__(log)
        self.root = os.path.realpath(root)
        self.httpd = ThreadingHTTPServer((addr, port), Handler)
        self.httpd.daemon_threads = True
        self.httpd.site = self
        self.addr, self.port = self.httpd.server_address[:2]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    def start(self):
        self.thread.start()
        return self

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()

    def requests(self, path=None):
        with self.lock:
            return [r for r in self.records if path is None or r["path"] == path]

    def url(self, path="/"):
        return "http://%s:%d%s" % (self.addr, self.port, path)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--addr", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=8000)
    ap.add_argument("--root", required=True)
    ap.add_argument("--log")
    a = ap.parse_args()
    site = Site(a.addr, a.port, a.root, a.log).start()
    print("listening on %s:%d" % (site.addr, site.port), flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        site.stop()


if __name__ == "__main__":
    sys.exit(main())
