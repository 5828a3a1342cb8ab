"""Pages of the sample website (site/www) as the real rendering server lays
them out, taken from the real client's page file.

The rendering server (with its real browser engine) and a web server for the
source tree run on loopback; for each page of the site a fresh device opens
it as its first page, and once the client has drawn it, the page file that it
drew from is copied out, with a screenshot of what the client showed; then
the same once more one screen further down, where the page is longer. The
benchmark then draws those page files under callgrind like the shipped pages.
"""
import glob
import os
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.abspath(os.path.join(HERE, "..", ".."))
SITE = os.path.join(SOURCE, "site", "www")
# The page file that the client writes the stream into and draws from.
PAGE_FILE = "/cv/kivo.txt"


def site_pages():
    """The sample website's pages, by file name."""
    return sorted(os.path.basename(p) for p in glob.glob(os.path.join(SITE, "*.html")))


def missing(build):
    """Why the pages cannot be taken here (None when they can)."""
    if not os.path.exists(os.path.join(build, "corvanta-server")):
        return "build/corvanta-server is not built"
    if not os.path.exists("/usr/bin/chromium-headless-shell"):
        return "the browser engine (chromium-headless-shell) is not installed"
    if not site_pages():
        return "no pages in site/www"
    return None


def capture(build, out_dir):
    """Opens every page of the site on a device of its own; returns
    [(name, page file path, screenshot path)]."""
    os.environ["CV_BUILD"] = build
    os.environ["CV_SOURCE"] = SOURCE
    sys.path.insert(0, os.path.join(SOURCE, "tests", "server"))
    import serverpeers
    serverpeers.BUILD = build
    serverpeers.SERVER = os.path.join(build, "corvanta-server")
    serverpeers.PAGES = SOURCE  # the site's pages by their path in the tree
    from test_server_device import PAGE_DOWN_KEY, LiveDevice

    def take(dev, name):
        """The page file the client drew from, and a screenshot of it."""
        shot = os.path.join(out_dir, name + ".png")
        shown = os.path.join(dev.shots, name + ".png")
        dev.do("screenshot " + shown)
        if not serverpeers.wait_for(lambda: os.path.exists(shown)
                                    and open(shown, "rb").read()[-8:-4] == b"IEND", timeout=40):
            raise SystemExit("no screenshot of %s: %s" % (name, dev.proc_state()))
        shutil.copy(shown, shot)
        data = dev.read(PAGE_FILE)
        if not data:
            raise SystemExit("the client's page file of %s is empty" % name)
        path = os.path.join(out_dir, name + ".page")
        with open(path, "wb") as f:
            f.write(data)
        return data, (name, path, shot)

    taken = []
    stack = serverpeers.Stack(port=80)
    try:
        for page in site_pages():
            name = os.path.splitext(page)[0]
            before = len(stack.server.log("page"))
            dev = LiveDevice(stack, stack.page("site/www/" + page))
            try:
                dev.settle(before, timeout=90)
                # The site's own page, not one of the server's (an error, a
                # refused address): those would be measured in its place.
                answer = stack.server.log("page")[before]
                own = stack.server.log("own-page")
                if answer.get("outcome") != "page" or own:
                    raise SystemExit("the server did not answer %s with the page itself: %r %r"
                                     % (page, answer, own[-1:]))
                first, entry = take(dev, name)
                taken.append(entry)
                # One screen further down, where the page goes on (the
                # server answers a page that does not scroll unchanged).
                # The screenshot comes after the client's wait for idle in its
                # script, so the page file is read only once it has drawn.
                dev.step("key %d" % PAGE_DOWN_KEY)
                down, entry = take(dev, name + "+down")
                if down != first:
                    taken.append(entry)
                else:
                    os.remove(entry[1])
                    os.remove(entry[2])
                dev.do("ctrl-q")
            finally:
                dev.close()
    finally:
        stack.close()
    return taken
