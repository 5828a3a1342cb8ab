#!/usr/bin/env python3
"""The demo site: a rendering server for the small linked set of demo pages.

It speaks to the client exactly as the rendering-server stand-in does (it is
one: the login, the deciphering and the JSON log of every message come from
render_server.py), but chooses each answer from what the client asked:

    login                the first page (or the page the login names)
    <MC x y>             the page a link area under (x, y) leads to; a tap
                         elsewhere (a button, a check box) only ends loading
    <BA>, <FO>           back and forward through the site's own history
    <URL addr >          the page of that name, or a small "not found" page
    <RF>, <ZU>, <ZD>,
    <PGx>, <SC x y>      the current page again
    <STP>                "<ST>": loading ends, the page stays
    <QT>                 nothing
    form messages        "<ST>" (the handheld keeps the form's state itself)

Every answer is an HTTP/1.0 response whose body is a page stream that opens
with a page cut (so that it replaces the page before it on the connection)
and ends with the end-of-page mark. A page reached through a link carries its
address in a scrambled URL block, so that it enters the handheld's address
history; a page reached through a typed address carries the tag that confirms
the typed address instead.

The pages are the demo pages compiled with a leading page cut: NAME.txt and
their link areas NAME.links ("x y w h target" in page units, one a line) in
the pages folder (the build writes them to build/demo-site/).

    demo_site.py --addr 127.0.0.5 [--port 80] --pages build/demo-site \
        [--log site.log] [--first demo1]

The log holds the stand-in's records (accept, login, event, closed) and one
record per answer: {"kind": "answer", "to": message, "page": name or null,
"history": [names], "at": index}.
"""
import argparse
import os
import random
import re
import sys
import threading
import time

_HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(_HERE, "..", "render"))
sys.path.insert(0, os.path.join(_HERE, "..", "common"))
import cvproto  # noqa: E402
from render_server import RenderServer  # noqa: E402

SITE_HOST = "demo.corvanta"
NOT_FOUND = "not-found"
HTTP_HEAD = b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n"
END_OF_PAGE = b"<ST>"
# Longest address shown on the "not found" page (page units are tight).
SHOWN_ADDRESS = 44
# Pages a session remembers for back and forward.
HISTORY_LIMIT = 50
EXTENSIONS = r"\.(txt|page|html?)$"


def response(body):
    return HTTP_HEAD % len(body) + body


class Page:
    """One page of the site: its stream (after the page cut) and link areas."""

    def __init__(self, name, stream, links):
        self.name = name
        self.stream = stream  # the tags after "<CL>", ending with "<ST>"
        self.links = links    # [(x, y, w, h, target name)]

    def target(self, x, y):
        """The page name that the link area under (x, y) leads to, or None."""
        for lx, ly, lw, lh, name in self.links:
            if lx <= x < lx + lw and ly <= y < ly + lh:
                return name
        return None


def split_address(address):
    """(host, page name) of an address: "http://demo.corvanta/demo2" gives
    ("demo.corvanta", "demo2"), "/cv/demo2.txt" ("", "demo2"), "demo2"
    ("", "demo2"), "www.example.com" ("www.example.com", "")."""
    t = re.sub(r"^[A-Za-z][A-Za-z0-9+.-]*://", "", address.strip())
    t = re.split(r"[?#]", t, 1)[0].replace("\\", "/")
    if "/" in t:
        host, path = t.split("/", 1)
        parts = [p for p in path.split("/") if p]
        name = parts[-1] if parts else ""
    elif "." in t and not re.search(EXTENSIONS, t, re.I):
        host, name = t, ""
    else:
        host, name = "", t
    return host.lower(), re.sub(EXTENSIONS, "", name, flags=re.I).lower()


def load_pages(folder):
    """Reads NAME.txt (compiled with a leading page cut) and NAME.links."""
    pages = {}
    for fn in sorted(os.listdir(folder)):
        if not fn.endswith(".txt"):
            continue
        name = fn[:-4]
        with open(os.path.join(folder, fn), "rb") as f:
            data = f.read()
        head_end = data.find(b"\r\n\r\n")
        body = data[head_end + 4:] if data.startswith(b"HTTP/") and head_end >= 0 else data
        if not body.startswith(b"<CL>"):
            raise ValueError("%s does not open with a page cut; compile it with pagec --cut" % fn)
        links = []
        lpath = os.path.join(folder, name + ".links")
        if os.path.exists(lpath):
            with open(lpath) as f:
                for line in f:
                    w = line.split()
                    if len(w) == 5:
                        links.append((int(w[0]), int(w[1]), int(w[2]), int(w[3]), split_address(w[4])[1]))
        pages[name] = Page(name, body[4:], links)
    return pages


def _ds(x, y, text):
    data = text.encode("utf-8")
    return b"<DS 3 %x %x %x " % (x, y, len(data)) + data + b">"


def not_found_stream(address, names, first):
    """A small page saying that the site has no page at this address."""
    shown = "".join(c if 32 <= ord(c) < 127 else "?" for c in address)
    if len(shown) > SHOWN_ADDRESS:
        shown = shown[:SHOWN_ADDRESS - 3] + "..."
    listed = ", ".join(names)
    s = (b"<FR 0 0 280 1e0><sw 3 0 0><BC ff ff ff><FC 0 0 0><CR 3 0 0 0 0><CR 3 0 0 26c 1cc>"
         b"<BC 9e 2b 2b><CR 3 0 0 280 40><FC ff ff ff><SZ 18>" + _ds(24, 44, "Page not found") +
         b"<BC f3 9c 1e><CR 3 0 40 280 4>"
         b"<FC 33 33 33><SZ 12>" + _ds(24, 120, "The demo site has no page at") +
         b"<FC 1d 4f 9e><SZ 14>" + _ds(24, 160, shown or "(an empty address)") +
         b"<FC 33 33 33><SZ 12>" + _ds(24, 220, "Its pages are " + listed + ".") +
         b"<BC ee f3 fb><CR 3 18 118 1c4 50><FC 9f b3 d6>"
         b"<DL 3 18 118 1dc 118><DL 3 1dc 118 1dc 168><DL 3 18 168 1dc 168><DL 3 18 118 18 168>"
         b"<FC 1d 4f 9e><SZ 14>" + _ds(40, 320, "Back to the first page") + END_OF_PAGE)
    links = [(24, 280, 452, 80, first)]
    return s, links


class Session:
    """What the site remembers of one connection: the pages shown, newest
    last, the position in that list, and the scrambling key of the login."""

    def __init__(self):
        self.history = []  # [Page]
        self.at = -1
        self.key = None

    def current(self):
        return self.history[self.at] if self.at >= 0 else None

    def visit(self, page):
        del self.history[self.at + 1:]
        self.history.append(page)
        del self.history[:-HISTORY_LIMIT]
        self.at = len(self.history) - 1


class _Answers:
    """RenderServer answers request i of a connection with replies[i], right
    after it recorded that request on the connection's own thread. This
    sequence makes each item the site's answer to the request just recorded
    on the calling thread."""

    def __init__(self, site):
        self.site = site

    def __len__(self):
        return sys.maxsize

    def __getitem__(self, i):
        return self.site.answer_last()


class DemoSite(RenderServer):
    def __init__(self, addr, pages, log=None, ports=(80,), first="demo1"):
        if first not in pages:
            raise ValueError("no page named %s" % first)
        self.pages = pages
        self.first = first
        self.local = threading.local()
        super().__init__(addr, ports, log, replies=())
        self.replies = _Answers(self)

    def record(self, entry):
        super().record(entry)
        if entry.get("kind") in ("login", "event"):
            self.local.last = entry

    def session(self):
        if not hasattr(self.local, "session"):
            self.local.session = Session()
        return self.local.session

    def answer_last(self):
        entry = getattr(self.local, "last", None)
        if entry is None:
            return response(END_OF_PAGE)
        body, shown = self.answer(entry)
        s = self.session()
        RenderServer.record(self, {"kind": "answer", "to": entry.get("plain", entry.get("clear")),
                                   "page": shown, "history": [p.name for p in s.history], "at": s.at})
        return response(body)

    def named(self, address):
        """The page at an address of the site, or None."""
        host, name = split_address(address)
        if host not in ("", SITE_HOST):
            return None
        return self.pages[self.first] if name == "" else self.pages.get(name)

    def address(self, page):
        return "http://%s/%s" % (SITE_HOST, page.name)

    def with_url(self, page, s):
        """The page with its address in a scrambled URL block, so that the
        handheld puts it into its address history."""
        block = b""
        if s.key is not None:
            block = cvproto.make_block(b"<URL %s>" % self.address(page).encode(), s.key, random.randrange(8))
        return b"<CL>" + block + page.stream

    def answer(self, entry):
        """(body of the answer, name of the page shown or None)."""
        s = self.session()
        if entry["kind"] == "login":
            s.__init__()
            if "customer" in entry:
                s.key = cvproto.login_key(cvproto.base_key(), entry["customer"].encode("latin-1"),
                                          entry["url"].encode("latin-1"))
            page = self.named(entry.get("url", "")) or self.pages[self.first]
            s.visit(page)
            return self.with_url(page, s), page.name
        msg = entry.get("plain", "")
        cur = s.current()
        m = re.match(r"<MC (-?\d+) (-?\d+)>", msg)
        if m:
            name = cur.target(int(m.group(1)), int(m.group(2))) if cur else None
            page = self.pages.get(name) if name else None
            if page is None:
                return END_OF_PAGE, None
            s.visit(page)
            return self.with_url(page, s), page.name
        if msg.startswith("<BA>") or msg.startswith("<FO>"):
            step = -1 if msg.startswith("<BA>") else 1
            if not 0 <= s.at + step < len(s.history):
                return END_OF_PAGE, None
            s.at += step
            return b"<CL>" + s.current().stream, s.current().name
        m = re.match(r"<URL (.*) >", msg, re.S)
        if m:
            page = self.named(m.group(1))
            if page is None:
                stream, links = not_found_stream(m.group(1), sorted(self.pages), self.first)
                page = Page(NOT_FOUND, stream, links)
                s.visit(page)
                return b"<CL>" + page.stream, page.name
            s.visit(page)
            # BU: the typed address was opened; the handheld records it.
            return b"<CL><BU>" + page.stream, page.name
        if re.match(r"<(RF|ZU|ZD|PG[LRUD]|SC )", msg) and cur is not None:
            return b"<CL>" + cur.stream, cur.name
        # Stop, form texts and choices, and anything unknown: loading ends.
        return END_OF_PAGE, None


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--addr", default="127.0.0.1")
    ap.add_argument("--port", type=int, action="append")
    ap.add_argument("--pages", required=True, help="folder of NAME.txt and NAME.links")
    ap.add_argument("--first", default="demo1")
    ap.add_argument("--log")
    a = ap.parse_args()
    try:
        site = DemoSite(a.addr, load_pages(a.pages), a.log, a.port or [80], a.first).start()
    except (OSError, ValueError) as e:
        print("demo site: %s" % e, file=sys.stderr, flush=True)
        sys.exit(1)
    print("listening on %s %s" % (a.addr, a.port or [80]), flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        site.stop()


if __name__ == "__main__":
    main()
