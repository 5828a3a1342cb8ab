#!/usr/bin/env python3
"""The rendering server's benchmarks, against the real server, its real
browser engine and pages served on loopback:

  - tap to answer: a session taps a link from one local page to the other,
    over and over; the time from sending the tap to the last byte of the
    answer, median and 95th percentile (and the server's own figure from its
    log, arrival to answer);
  - bytes: the page stream of image-rich pages against what the page
    transferred (HTML, CSS and pictures as the web server sent them);
  - memory: proportional set size of the server and every process of its
    browser with one session, and with eleven, per extra session;
  - load: K sessions at once, each taking a new page every two seconds for
    half a minute; the answers' times and whether every session kept up.

    bench/server/bench_server.py [--build build] [--doc docs/performance.md] [--quick]

prints the figures and rewrites the server's section of the document
(between the bench:server markers; the rest of the file is left as it is).
`make bench-server` runs it.

    bench/server/bench_server.py --bytes

weighs only the page streams, which do not depend on the machine's load, and
tells where their bytes go: per tag kind and per picture.
"""
import argparse
import os
import re
import statistics
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tests", "server"))
BEGIN, END = "<!-- bench:server:begin -->", "<!-- bench:server:end -->"
# The link at the top of each benchmark page (page units).
LINK = (40, 24)
# Scheduling priority of the benchmark and everything it starts, when allowed.
PRIORITY = -15
# What counts as a picture the page transferred, by its address.
PICTURE_PATH = re.compile(r"\.(png|jpe?g|gif|webp|svg)$", re.I)
# Screens read down a page at most (a safety bound: every page here is shorter).
MAX_SCREENS = 40
GOALS = {"tap_median_ms": 150, "bytes_ratio": 0.15, "sessions": 20, "mb_per_session": 40}


def percentile(values, p):
    v = sorted(values)
    if not v:
        return float("nan")
    k = (len(v) - 1) * p / 100.0
    lo, hi = int(k), min(int(k) + 1, len(v) - 1)
    return v[lo] + (v[hi] - v[lo]) * (k - lo)


def pss_kb(pid):
    try:
        with open("/proc/%d/smaps_rollup" % pid) as f:
            for line in f:
                if line.startswith("Pss:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def cpu_seconds(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            v = f.read().rsplit(")", 1)[1].split()
        return (int(v[11]) + int(v[12])) / os.sysconf("SC_CLK_TCK")
    except OSError:
        return 0.0


def group_cpu(server):
    """Processor seconds of the server and of its browser's live processes."""
    pgid = server.engine_pid()
    total = cpu_seconds(server.proc.pid)
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                if os.getpgid(int(name)) == pgid:
                    total += cpu_seconds(int(name))
            except OSError:
                continue
    return total


def group_pss_mb(server):
    """PSS of the server and of every process of its browser's group."""
    pgid = server.engine_pid()
    total = pss_kb(server.proc.pid)
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            if os.getpgid(int(name)) == pgid:
                total += pss_kb(int(name))
        except OSError:
            continue
    return total / 1024.0


def tap_latency(stack, taps):
    c = stack.client("bench/server/pages/a.html")
    c.answer(timeout=60)
    times = []
    sizes = []
    cpu0 = None
    for i in range(taps + 3):
        if i == 3:
            cpu0 = group_cpu(stack.server)
        t = time.perf_counter()
        page = c.ask("<MC %d %d>\r\n\r\n" % LINK)
        dt = (time.perf_counter() - t) * 1000
        if not page.cut:
            raise RuntimeError("tap %d did not open the other page" % i)
        if i >= 3:  # the first few warm the engine's caches
            times.append(dt)
            sizes.append(len(page.body))
    cpu = (group_cpu(stack.server) - cpu0) * 1000 / taps
    c.close()
    server_ms = [r["ms"] for r in stack.server.log("page") if r.get("message") == "MC"][3:]
    return {"cpu_ms": cpu, "median": statistics.median(times), "p95": percentile(times, 95), "server_median": statistics.median(server_ms),
            "server_p95": percentile(server_ms, 95), "taps": len(times), "bytes": statistics.median(sizes)}


def page_bytes(stack, pages):
    rows = []
    for path in pages:
        before = len(stack.site.requests())
        c = stack.client(path)
        page = c.answer(timeout=60)
        time.sleep(0.3)  # requests the page makes late still count as its transfer
        done = stack.site.requests()[before:]
        sent = sum(r.get("bytes", 0) for r in done)
        pictures_sent = sum(r.get("bytes", 0) for r in done if PICTURE_PATH.search(r.get("path", "")))
        images = len(page.find("IM"))
        # Then the whole page read to its end, a screen at a time: what a
        # reader who scrolls through everything receives.
        whole, screens = len(page.body), 1
        for _ in range(MAX_SCREENS):
            down = c.ask("<PGD>\r\n\r\n", timeout=60)
            if down.unchanged:
                break
            whole += len(down.body)
            screens += 1
        rows.append({"page": path, "stream": len(page.body), "transferred": sent, "pictures_sent": pictures_sent,
                     "images": images, "ratio": len(page.body) / sent if sent else float("nan"),
                     "whole": whole, "screens": screens, "parts": stream_parts(page.body)})
        c.close()
    return rows


def stream_parts(body):
    """Where a page stream's bytes go: bytes per tag kind (a DS with its
    text, an IM with its payload, an EN block with its ciphertext) and, per
    picture payload, its size in device pixels and its bytes."""
    kinds, pictures = {}, []
    i = 0
    while i < len(body):
        if body[i:i + 1] != b"<" or i + 3 > len(body):
            kinds["other"] = kinds.get("other", 0) + 1
            i += 1
            continue
        code = body[i + 1:i + 3].decode("latin-1")
        end = body.find(b">", i)
        if end < 0:
            kinds["other"] = kinds.get("other", 0) + len(body) - i
            break
        j = end + 1
        if code == "EN":
            v = int(body[i + 4:end], 16)
            j = end + 1 + (((v >> 3) + 7) & ~7)
        elif code == "IM":
            args = body[i + 4:end].split(b" ")
            n = int(args[5], 16)
            payload = body[end + 1:end + 1 + n]
            w, h = int(args[3], 16), int(args[4], 16)
            pictures.append({"units": (w, h), "bytes": n, "ratio": payload[1] if len(payload) > 1 else 0})
            j = end + 1 + n
        elif code in serverpeers_counted():
            k = serverpeers_counted()[code]
            words = body[i + 1:].split(b" ", k + 1)
            n = int(words[k], 16)
            j = i + 1 + sum(len(w) + 1 for w in words[:k + 1]) + n + 1
        kinds[code] = kinds.get(code, 0) + (j - i)
        i = j
    return kinds, pictures


def serverpeers_counted():
    import serverpeers
    return serverpeers.COUNTED


def print_parts(row):
    kinds, pictures = row["parts"]
    print("    by tag: " + ", ".join("%s %d" % (k, v) for k, v in sorted(kinds.items(), key=lambda kv: -kv[1])))
    for p in pictures:
        px = p["units"][0] * p["units"][1] / 4.0  # page units are half device pixels (unzoomed)
        print("    picture %dx%d units: %d bytes, %.2f bits a device pixel (ratio byte %d)" % (
            p["units"][0], p["units"][1], p["bytes"], 8.0 * p["bytes"] / px if px else 0, p["ratio"]))


def memory(stack, extra):
    first = stack.client("bench/server/pages/a.html")
    first.answer(timeout=60)
    time.sleep(1.0)
    one = group_pss_mb(stack.server)
    others = []
    for i in range(extra):
        c = stack.client("bench/server/pages/%s.html" % ("a" if i % 2 else "b"), customer=b"M%d" % i)
        c.answer(timeout=60)
        others.append(c)
    time.sleep(1.0)
    many = group_pss_mb(stack.server)
    for c in others + [first]:
        c.close()
    return {"one": one, "many": many, "extra": extra, "per_session": (many - one) / extra}


def load(stack, sessions, seconds, period=2.0):
    clients = []
    for i in range(sessions):
        c = stack.client("bench/server/pages/%s.html" % ("a" if i % 2 else "b"), customer=b"L%d" % i)
        clients.append(c)
    for c in clients:
        c.answer(timeout=120)
    times, late, errors = [], [0], []
    lock = threading.Lock()
    start = time.time() + 0.5

    def run(i, c):
        # Each session starts at its own offset within the period, as users do.
        t0 = start + period * i / sessions
        k = 0
        while True:
            due = t0 + k * period
            if due > start + seconds:
                return
            now = time.time()
            if now < due:
                time.sleep(due - now)
            t = time.perf_counter()
            try:
                page = c.ask("<MC %d %d>\r\n\r\n" % LINK, timeout=60)
                if not page.cut:
                    raise RuntimeError("no new page")
            except Exception as e:  # noqa: BLE001 - counted and reported
                with lock:
                    errors.append(repr(e))
                return
            dt = time.perf_counter() - t
            with lock:
                times.append(dt * 1000)
                if time.time() > due + period:
                    late[0] += 1
            k += 1
    cpu0 = os.times()
    threads = [threading.Thread(target=run, args=(i, c)) for i, c in enumerate(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for c in clients:
        c.close()
    return {"sessions": sessions, "pages": len(times), "median": statistics.median(times) if times else float("nan"),
            "p95": percentile(times, 95), "max": max(times) if times else float("nan"), "late": late[0],
            "errors": errors, "rate": len(times) / seconds, "cpu": cpu0}


def machine():
    cpus = os.cpu_count()
    model = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return "%d cores (%s), load average %.1f at the start" % (cpus, model, os.getloadavg()[0])


def render_doc(r):
    t, mem = r["tap"], r["memory"]
    lines = [
        "## Rendering server",
        "",
        "Measured by `make bench-server` (`bench/server/bench_server.py`) on %s, with the real engine (%s)," % (r["machine"], r["engine"]),
        "pages served on loopback, %s. Times are from the client's side of the socket: a tap sent" % r["priority"],
        "to the last byte of its answer. The processor time a page takes does not depend on other work; the",
        "times do.",
        "",
        "| figure | measured | goal |",
        "|---|---|---|",
        "| tap on a link to a complete new page (local page, %d taps), median | %.0f ms | ≤ %d ms |" % (t["taps"], t["median"], GOALS["tap_median_ms"]),
        "| the same, 95th percentile | %.0f ms | |" % t["p95"],
        "| the same as the server logs it (arrival to answer), median / 95th percentile | %.0f / %.0f ms | |" % (t["server_median"], t["server_p95"]),
        "| processor time a page takes (server and browser), so pages a second the %d cores hold | %.0f ms, %.1f pages/s = %d sessions at one page every 2 s | ≥ %d sessions |" % (
            os.cpu_count(), t["cpu_ms"], os.cpu_count() * 1000 / t["cpu_ms"], int(os.cpu_count() * 2000 / t["cpu_ms"]), GOALS["sessions"]),
        "| memory per extra session (PSS of server and browser, 1 → %d sessions) | %.1f MB | ≤ %d MB |" % (mem["extra"] + 1, mem["per_session"], GOALS["mb_per_session"]),
        "| memory with one session / with %d | %.0f MB / %.0f MB | |" % (mem["extra"] + 1, mem["one"], mem["many"]),
    ]
    for row in r["load"]:
        lines.append("| %d sessions, each a new page every 2 s for %d s: answers median / 95th percentile / max | %.0f / %.0f / %.0f ms, %d pages, %d late, %d errors | ≥ %d sessions keep up |" % (
            row["sessions"], r["seconds"], row["median"], row["p95"], row["max"], row["pages"], row["late"], len(row["errors"]), GOALS["sessions"]))
    lines += ["", "Page stream against what the page transferred (HTML, CSS and pictures as the web server sent them).",
              "The first screen is what opening the page sends; the goal is about it. \"Read to the end\" adds every",
              "screen down to the page's end (PGD), as a reader who scrolls through everything receives it.", "",
              "| page | pictures in the stream | page stream | transferred (of it pictures) | share | read to the end | goal |",
              "|---|---|---|---|---|---|---|"]
    for row in r["bytes"]:
        lines.append("| `%s` | %d | %d bytes | %d bytes (%d) | %.1f %% | %d screen%s, %d bytes, %.1f %% | ≤ %.0f %% on image-rich pages |" % (
            row["page"], row["images"], row["stream"], row["transferred"], row["pictures_sent"], 100 * row["ratio"],
            row["screens"], "" if row["screens"] == 1 else "s", row["whole"],
            100.0 * row["whole"] / row["transferred"] if row["transferred"] else 0,
            100 * GOALS["bytes_ratio"]))
    return "\n".join(lines) + "\n"


def write_doc(path, text):
    old = ""
    if os.path.exists(path):
        with open(path) as f:
            old = f.read()
    block = BEGIN + "\n" + text + END
    if BEGIN in old and END in old:
        new = old[:old.index(BEGIN)] + block + old[old.index(END) + len(END):]
    else:
        new = (old.rstrip("\n") + "\n\n" if old else "# Performance\n\n") + block + "\n"
    with open(path, "w") as f:
        f.write(new)


def byte_pages():
    """The pages whose stream is weighed against what they transferred."""
    pages = ["site/www/photos.html", "tests/server/pages/images.html", "site/www/gallery.html", "site/www/index.html", "site/www/article.html"]
    return [p for p in pages if os.path.exists(os.path.join(SOURCE, p))]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(SOURCE, "build"))
    ap.add_argument("--doc", help="rewrite the bench:server section of this file")
    ap.add_argument("--quick", action="store_true", help="fewer taps, a shorter load")
    ap.add_argument("--bytes", action="store_true",
                    help="only the page-stream bytes, with where they go (they do not depend on the machine's load)")
    a = ap.parse_args()
    os.environ["CV_BUILD"] = os.path.abspath(a.build)
    os.environ["CV_SOURCE"] = SOURCE
    import serverpeers
    serverpeers.BUILD = os.environ["CV_BUILD"]
    serverpeers.SERVER = os.path.join(serverpeers.BUILD, "corvanta-server")
    serverpeers.PAGES = SOURCE  # the whole tree: bench pages, test pictures, the sample site
    # On a machine shared with other work (builds), the server, its browser
    # and the load all run ahead of it, as on a machine of their own.
    try:
        os.nice(PRIORITY)
        priority = "at nice %d, ahead of other work on the machine" % PRIORITY
    except OSError:
        priority = "at normal priority"
    taps = 20 if a.quick else 80
    seconds = 10 if a.quick else 30
    r = {"machine": machine(), "seconds": seconds, "priority": priority}
    if a.bytes:
        stack = serverpeers.Stack()
        try:
            for row in page_bytes(stack, byte_pages()):
                print("%s: %d of %d bytes (%.1f %%), %d pictures; read to the end: %d screens, %d bytes (%.1f %%)" % (
                    row["page"], row["stream"], row["transferred"], 100 * row["ratio"], row["images"], row["screens"],
                    row["whole"], 100.0 * row["whole"] / row["transferred"]), flush=True)
                print_parts(row)
        finally:
            stack.close()
        return
    stack = serverpeers.Stack()
    try:
        r["engine"] = stack.server.log("engine-start")[0]["product"]
        print("tap latency ...", flush=True)
        r["tap"] = tap_latency(stack, taps)
        print("  median %.0f ms, p95 %.0f ms (server %.0f / %.0f ms), %.0f ms of processor time a page" % (
            r["tap"]["median"], r["tap"]["p95"], r["tap"]["server_median"], r["tap"]["server_p95"], r["tap"]["cpu_ms"]),
            flush=True)
        print("bytes ...", flush=True)
        r["bytes"] = page_bytes(stack, byte_pages())
        for row in r["bytes"]:
            print("  %s: %d of %d bytes (%.0f %%), %d pictures" % (row["page"], row["stream"], row["transferred"],
                                                                100 * row["ratio"], row["images"]), flush=True)
        print("memory ...", flush=True)
        r["memory"] = memory(stack, 4 if a.quick else 10)
        print("  %.1f MB per extra session (%.0f -> %.0f MB)" % (r["memory"]["per_session"], r["memory"]["one"],
                                                               r["memory"]["many"]), flush=True)
    finally:
        stack.close()
    r["load"] = []
    for k in ((10, 20) if a.quick else (10, 20, 30)):
        stack = serverpeers.Stack(max_sessions=100)
        try:
            print("load with %d sessions ..." % k, flush=True)
            row = load(stack, k, seconds)
            r["load"].append(row)
            print("  %d pages, median %.0f ms, p95 %.0f ms, max %.0f ms, %d late, %d errors" % (
                row["pages"], row["median"], row["p95"], row["max"], row["late"], len(row["errors"])), flush=True)
            for e in row["errors"][:3]:
                print("    " + e[:300], flush=True)
        finally:
            stack.close()
    text = render_doc(r)
    print()
    print(text)
    if a.doc:
        write_doc(a.doc, text)
        print("written to " + a.doc)


if __name__ == "__main__":
    main()
