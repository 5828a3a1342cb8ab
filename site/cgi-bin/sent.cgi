#!/usr/bin/env python3
"""The sample site's form handler: a page that shows what was sent.

Run by the web server as a CGI program for the form page's submission (POST,
application/x-www-form-urlencoded; a GET query works the same way). Every
field is listed in the order it arrived, a field sent twice (a multiple
choice list) once per value, and every value is escaped before it is shown.
"""
import html
import os
import sys
from urllib.parse import parse_qsl

# A form of this site sends a few hundred bytes; anything much larger is not
# one of ours and is refused rather than read.
MAX_BODY = 64 * 1024


def drain():
    """Reads and drops a body that is not used: the web server is still
    writing it, and a program that exits first makes the answer fail."""
    while sys.stdin.buffer.read(65536):
        pass


def read_fields():
    method = os.environ.get("REQUEST_METHOD", "GET")
    if method == "POST":
        ctype = os.environ.get("CONTENT_TYPE", "").split(";")[0].strip().lower()
        if ctype not in ("", "application/x-www-form-urlencoded"):
            drain()
            return method, None, "this page reads only plain form submissions, not %s" % ctype
        try:
            length = int(os.environ.get("CONTENT_LENGTH") or 0)
        except ValueError:
            return method, None, "the request's length is not a number"
        if length < 0 or length > MAX_BODY:
            drain()
            return method, None, "the submission is larger than %d KB" % (MAX_BODY // 1024)
        body = sys.stdin.buffer.read(length).decode("utf-8", "replace")
    else:
        body = os.environ.get("QUERY_STRING", "")
    return method, parse_qsl(body, keep_blank_values=True), None


def page(method, fields, error):
    rows = []
    for i, (name, value) in enumerate(fields or []):
        shown = html.escape(value).replace("\r\n", "\n").replace("\n", "<br>") if value else \
            '<span class="note">(empty)</span>'
        rows.append('  <tr%s><td class="name">%s</td><td>%s</td></tr>' %
                    (' class="odd"' if i % 2 else "", html.escape(name), shown))
    if error:
        summary = '<p class="box">Nothing was read: %s.</p>' % html.escape(error)
    elif not rows:
        summary = "<p>The form arrived with no fields at all.</p>"
    else:
        summary = "<p>The web server received %d field%s by %s:</p>\n<table class=\"sent\">\n" \
                  "  <tr><th>Field</th><th>Value</th></tr>\n%s\n</table>" % (
                      len(rows), "" if len(rows) == 1 else "s", html.escape(method), "\n".join(rows))
    return """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=640">
<title>What you sent</title>
<link rel="stylesheet" href="/style.css">
</head>
<body>
<div class="band">
  <a class="site" href="/index.html">Corvanta sample site</a>
  <nav>
    <a href="/index.html">Home</a>
    <a href="/article.html">Article</a>
    <a href="/gallery.html">Gallery</a>
    <a href="/form.html" class="here">Form</a>
    <a href="/script.html">Script</a>
  </nav>
</div>
<main>
<h1>What you sent</h1>
%s
<p class="next"><a href="/form.html">Fill in the form again</a></p>
</main>
</body>
</html>
""" % summary


def main():
    method, fields, error = read_fields()
    body = page(method, fields, error).encode("utf-8")
    out = sys.stdout.buffer
    out.write(b"Content-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\n")
    out.write(b"Content-Length: %d\r\n\r\n" % len(body))
    out.write(body)
    out.flush()


if __name__ == "__main__":
    main()
