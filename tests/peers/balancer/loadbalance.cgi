#!/usr/bin/env python3
"""The load balancer as a CGI program for a real web server.

The query is "customer+major.minor". The answer names the rendering server
and the first page, from the environment (CV_SERVER, CV_START_PAGE, set by
the web server's configuration) or built-in defaults; CV_UPGRADE_BELOW asks
clients older than that version (major.minor) to upgrade."""
import os
import sys

query = os.environ.get("QUERY_STRING", "")
customer, _, version = query.partition("+")
server = os.environ.get("CV_SERVER", "127.0.0.1")
page = os.environ.get("CV_START_PAGE", "www.example.com/")
words = [server, page]
below = os.environ.get("CV_UPGRADE_BELOW")
if below:
    try:
        if tuple(int(x) for x in version.split(".")) < tuple(int(x) for x in below.split(".")):
            words.append("UP")
    except ValueError:
        pass
sys.stdout.write("Content-Type: text/plain\r\n\r\n%s\r\n\r\n" % " ".join(words))
