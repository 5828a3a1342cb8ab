#!/usr/bin/env python3
"""A stand-in for the load balancer.

Answers the client's GET for /cgi-bin/loadbalance.cgi in one of the forms the
client must handle, and records every request it reads as one JSON line.

    balancer_server.py --addr 127.0.0.5 --port 8080 --server 127.0.0.5 \
        --page www.example.com/ --mode chunked --log balancer.log

Modes:
  plain     the bare reply "server page" and a blank line
  http      an HTTP/1.1 reply with a Content-Length
  chunked   an HTTP/1.1 reply in chunked transfer encoding
  via       an HTTP reply with a "Via:" header (a transparent proxy)
  upgrade   the bare reply with a third word "UP"
  redirect  the first connection gets a 302 with "Location:"; later ones http
  hostonly-once  an HTTP reply naming only the server, then the balancer
            stops listening and sends a second answer
  hostonly  the first connection gets an HTTP reply naming only the server,
            then a second answer; later ones http
  close     reads the request and closes without answering
  silent    reads the request and never answers
"""
import argparse
import os
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
import cvproto  # noqa: E402


class BalancerServer(cvproto.Recorder):
    def __init__(self, addr, port, server, page, mode="plain", log=None):
        super().__init__(log)
        self.addr, self.port = addr, port
        self.server, self.page, self.mode = server, page, mode
        self.connections = 0
        self.open = []
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((addr, port))
        self.listener.listen(8)

    def start(self):
        threading.Thread(target=self._accept, daemon=True).start()
        return self

    def stop(self):
        self.close_all([self.listener] + self.open)

    def requests(self):
        return [r["request"] for r in self.records if r.get("kind") == "request"]

    def _accept(self):
        while not self.closed:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                self.connections += 1
                n = self.connections
            self.open.append(conn)
            threading.Thread(target=self._serve, args=(conn, n), daemon=True).start()

    def reply_text(self, upgrade=False):
        words = "%s %s" % (self.server, self.page) + (" UP" if upgrade else "")
        return (words + "\r\n\r\n").encode()

    def http(self, body, extra=b""):
        return (b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n" + extra +
                b"Content-Length: %d\r\n\r\n" % len(body) + body)

    def _read_request(self, conn, buf):
        while b"\r\n\r\n" not in buf:
            data = conn.recv(4096)
            if not data:
                return None, buf
            buf += data
        end = buf.index(b"\r\n\r\n") + 4
        self.record({"kind": "request", "request": buf[:end].decode("latin-1")})
        return buf[:end], buf[end:]

    def _serve(self, conn, n):
        buf = b""
        try:
            req, buf = self._read_request(conn, buf)
            if req is None:
                return
            mode = self.mode
            if mode == "plain":
                conn.sendall(self.reply_text())
            elif mode == "upgrade":
                conn.sendall(self.reply_text(upgrade=True))
            elif mode == "http" or (mode in ("redirect", "hostonly") and n > 1):
                conn.sendall(self.http(self.reply_text()))
            elif mode == "via":
                conn.sendall(self.http(self.reply_text(), b"Via: 1.1 transparent-proxy\r\n"))
            elif mode == "chunked":
                body = self.reply_text()
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n" +
                             b"%x\r\n" % len(body) + body + b"\r\n0\r\n\r\n")
            elif mode == "redirect":
                conn.sendall(b"HTTP/1.1 302 Found\r\nLocation: http://%s:%d/moved\r\nContent-Length: 0\r\n\r\n"
                             % (self.addr.encode(), self.port))
                req, buf = self._read_request(conn, buf)
                if req is not None:
                    conn.sendall(self.http(b"moved here\r\n\r\n"))
            elif mode == "hostonly":
                conn.sendall(self.http(("%s\r\n" % self.server).encode()))
                time.sleep(0.2)
                conn.sendall(b"more\r\n\r\n")
            elif mode == "hostonly-once":
                conn.sendall(self.http(("%s\r\n" % self.server).encode()))
                self.listener.close()
                time.sleep(0.2)
                conn.sendall(b"more\r\n\r\n")
            elif mode == "close":
                conn.close()
                return
            elif mode == "silent":
                while not self.closed:
                    data = conn.recv(4096)
                    if not data:
                        return
            # Keep the connection open until the client closes it.
            while not self.closed:
                data = conn.recv(4096)
                if not data:
                    return
                buf += data
                while b"\r\n\r\n" in buf:
                    end = buf.index(b"\r\n\r\n") + 4
                    self.record({"kind": "request", "request": buf[:end].decode("latin-1")})
                    buf = buf[end:]
        except OSError:
            return


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--addr", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=8080)
    ap.add_argument("--server", default="127.0.0.1")
    ap.add_argument("--page", default="www.example.com/")
    ap.add_argument("--mode", default="plain")
    ap.add_argument("--log")
    a = ap.parse_args()
    s = BalancerServer(a.addr, a.port, a.server, a.page, a.mode, a.log).start()
    print("listening on %s:%d" % (a.addr, a.port), flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        s.stop()


if __name__ == "__main__":
    main()
