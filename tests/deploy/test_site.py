"""The sample website under the real nginx and fcgiwrap, served from the
deploy/ server block: every page, style sheet and picture it links to is
there with the right type, the pictures are what the gallery says they are,
and the form's handler shows exactly what was sent."""
import html.parser
import http.client
import os
import struct
import unittest
import urllib.parse

from deploytest import BUILD, SITE_HOST, SOURCE, Stack

PAGES = ["index.html", "article.html", "gallery.html", "form.html", "script.html", "photos.html"]
TYPES = {".html": "text/html", ".css": "text/css", ".png": "image/png", ".jpg": "image/jpeg"}


class Links(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.refs, self.controls, self.forms = [], [], []

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        for key in ("href", "src", "action"):
            if key in a:
                self.refs.append(a[key])
        if tag == "form":
            self.forms.append(a)
        if tag in ("input", "select", "textarea", "button"):
            self.controls.append((tag, a))


def jpeg_size(data):
    """Width and height from a JPEG's start-of-frame segment."""
    i = 2
    while i + 9 < len(data):
        marker, length = data[i + 1], struct.unpack(">H", data[i + 2:i + 4])[0]
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            h, w = struct.unpack(">HH", data[i + 5:i + 9])
            return w, h
        i += 2 + length
    return 0, 0


class SampleSite(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.stack = Stack(BUILD)
        cls.stack.start_nginx(balancer=False, site=True)

    @classmethod
    def tearDownClass(cls):
        cls.stack.stop()

    def request(self, method, path, body=None, headers=None):
        c = http.client.HTTPConnection(self.stack.site_addr, 80, timeout=10)
        h = {"Host": SITE_HOST}
        h.update(headers or {})
        c.request(method, path, body=body, headers=h)
        r = c.getresponse()
        data = r.read()
        c.close()
        return r.status, r.getheader("Content-Type", ""), data

    def test_every_link_and_picture_is_there_with_its_type(self):
        seen = set()
        todo = ["/"] + ["/" + p for p in PAGES]
        while todo:
            path = todo.pop()
            if path in seen:
                continue
            seen.add(path)
            method = "POST" if path.startswith("/cgi-bin/") else "GET"
            status, ctype, data = self.request(method, path)
            self.assertEqual(200, status, path)
            ext = os.path.splitext(path)[1] or ".html"
            if ext in TYPES:
                self.assertTrue(ctype.startswith(TYPES[ext]), "%s: %s" % (path, ctype))
            if ctype.startswith("text/html"):
                p = Links()
                p.feed(data.decode("utf-8"))
                for ref in p.refs:
                    u = urllib.parse.urlparse(urllib.parse.urljoin("http://%s%s" % (SITE_HOST, path), ref))
                    self.assertEqual(SITE_HOST, u.netloc, "%s links outside the site: %s" % (path, ref))
                    todo.append(u.path)
        for p in PAGES + ["style.css", "pictures/leaf.png", "pictures/lake.jpg", "photos/cat.jpg", "cgi-bin/sent.cgi"]:
            self.assertIn("/" + p, seen)

    def test_the_gallery_has_png_and_jpeg_pictures_one_transparent(self):
        status, _, data = self.request("GET", "/gallery.html")
        p = Links()
        p.feed(data.decode("utf-8"))
        pictures = [r for r in p.refs if r.startswith("pictures/")]
        self.assertTrue(any(r.endswith(".png") for r in pictures))
        self.assertTrue(any(r.endswith(".jpg") for r in pictures))
        with open(os.path.join(SOURCE, "site", "www", "pictures", "leaf.png"), "rb") as f:
            png = f.read()
        # IHDR colour type 6: truecolour with alpha.
        self.assertEqual(6, png[25])
        for r in pictures:
            with open(os.path.join(SOURCE, "site", "www", r), "rb") as f:
                head = f.read(32)
            if r.endswith(".png"):
                w, h = struct.unpack(">II", head[16:24])
                self.assertLessEqual(w, 600, r)  # at most the page's width
            else:
                self.assertEqual(b"\xff\xd8", head[:2], r)

    def test_the_photographs_are_jpeg_stored_larger_than_shown(self):
        _, _, data = self.request("GET", "/photos.html")
        p = Links()
        p.feed(data.decode("utf-8"))
        photos = [r for r in p.refs if r.startswith("photos/")]
        self.assertEqual(6, len(photos))
        for r in photos:
            status, ctype, body = self.request("GET", "/" + r)
            self.assertEqual(200, status, r)
            self.assertTrue(ctype.startswith("image/jpeg"), r)
            self.assertEqual(b"\xff\xd8", body[:2], r)
            # Stored at most twice the 264 x 176 they are shown at.
            self.assertLessEqual(jpeg_size(body), (528, 352), r)


    def test_the_form_has_every_control_kind(self):
        _, _, data = self.request("GET", "/form.html")
        p = Links()
        p.feed(data.decode("utf-8"))
        kinds = set()
        for tag, a in p.controls:
            if tag == "input":
                kinds.add(a.get("type", "text"))
            elif tag == "select":
                kinds.add("multiple" if "multiple" in a else "list" if int(a.get("size", "1")) > 1 else "drop-down")
            else:
                kinds.add(tag)
        self.assertLessEqual({"text", "password", "checkbox", "radio", "submit", "reset", "drop-down", "list",
                              "multiple", "textarea"}, kinds)
        self.assertEqual([{"method": "post", "action": "/cgi-bin/sent.cgi"}], p.forms)

    def test_the_form_handler_shows_what_was_sent(self):
        fields = [("name", "Tess <b>&"), ("password", "s\u00e9cret"), ("room", "double"),
                  ("activities", "Walking"), ("activities", "Reading"), ("message", "one\r\ntwo"), ("email", "")]
        body = urllib.parse.urlencode(fields).encode()
        status, ctype, data = self.request("POST", "/cgi-bin/sent.cgi", body,
                                           {"Content-Type": "application/x-www-form-urlencoded"})
        self.assertEqual(200, status)
        self.assertTrue(ctype.startswith("text/html"))
        page = data.decode("utf-8")
        self.assertIn("received 7 fields by POST", page)
        rows = [
            ("name", "Tess &lt;b&gt;&amp;"), ("password", "s\u00e9cret"), ("room", "double"),
            ("activities", "Walking"), ("activities", "Reading"), ("message", "one<br>two"),
            ("email", '<span class="note">(empty)</span>')]
        at = 0
        for name, shown in rows:
            cell = '<td class="name">%s</td><td>%s</td>' % (name, shown)
            found = page.find(cell, at)
            self.assertGreater(found, 0, cell)
            at = found  # in the order they were sent

    def test_the_form_handler_refuses_what_it_cannot_read(self):
        status, _, data = self.request("POST", "/cgi-bin/sent.cgi", b"x" * (70 * 1024),
                                       {"Content-Type": "application/x-www-form-urlencoded"})
        self.assertEqual(200, status)
        self.assertIn("Nothing was read: the submission is larger than 64 KB.", data.decode())
        status, _, data = self.request("POST", "/cgi-bin/sent.cgi", b"--x--",
                                       {"Content-Type": "multipart/form-data; boundary=x"})
        self.assertIn("Nothing was read: this page reads only plain form submissions", data.decode())
        status, _, data = self.request("GET", "/cgi-bin/sent.cgi?a=1")
        self.assertIn("received 1 field by GET", data.decode())


if __name__ == "__main__":
    unittest.main()
