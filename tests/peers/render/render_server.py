#!/usr/bin/env python3
"""A stand-in for the rendering server.

Accepts the client's login and its event requests on one kept-alive
connection, deciphers every message and records it as one JSON line in a log,
and answers each request with the next reply file (raw bytes: HTTP status
line, headers and page stream), optionally in chunks with pauses, or resets
the connection after a given number of bytes. A CONNECT line (a proxy tunnel
that reached the server itself) is answered as a proxy would.

    render_server.py --addr 127.0.0.5 --port 80 --port 443 --log wire.log \
        --reply page1.txt --reply page2.txt [--chunk 1] [--pause-ms 5] [--reset-at 100]

Requests beyond the reply files are answered with DEFAULT_REPLY; the quit
message gets no answer.
"""
import argparse
import json
import os
import re
import socket
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
import cvproto  # noqa: E402

DEFAULT_REPLY = b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n<ST>"
TUNNEL_REPLY = b"HTTP/1.0 200 Connection established\r\n\r\n"


class RenderServer(cvproto.Recorder):
    def __init__(self, addr, ports=(80,), log=None, replies=(), chunk=0, pause_ms=0, reset_at=None):
        super().__init__(log)
        self.addr = addr
        self.replies = list(replies)
        self.chunk = chunk
        self.pause = pause_ms / 1000.0
        self.reset_at = reset_at
        self.listeners = []
        self.connections = []
        self.served = 0  # POST requests answered, over all connections
        for port in ports:
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind((addr, port))
            s.listen(8)
            self.listeners.append(s)

    def start(self):
        for s in self.listeners:
            threading.Thread(target=self._accept, args=(s,), daemon=True).start()
        return self

    def stop(self):
        self.close_all(self.listeners + self.connections)

    def _accept(self, listener):
        while not self.closed:
            try:
                conn, peer = listener.accept()
            except OSError:
                return
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self.connections.append(conn)
            self.record({"kind": "accept", "port": listener.getsockname()[1]})
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _send(self, conn, data, state):
        """Sends data in the configured chunks; resets the connection when the
        byte count reaches reset_at. False once the connection is gone."""
        step = self.chunk or len(data) or 1
        for i in range(0, len(data), step):
            piece = data[i:i + step]
            if self.reset_at is not None and state["sent"] + len(piece) >= self.reset_at:
                piece = piece[:self.reset_at - state["sent"]]
                if piece:
                    conn.sendall(piece)
                time.sleep(0.05)
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                conn.close()
                self.record({"kind": "reset", "after": self.reset_at})
                return False
            conn.sendall(piece)
            state["sent"] += len(piece)
            if self.pause:
                time.sleep(self.pause)
        return True

    def _serve(self, conn):
        buf = b""
        key = cvproto.base_key()
        state = {"sent": 0}
        if self.reset_at == 0:
            # A reset before anything is answered: wait for the login first.
            pass
        try:
            while True:
                end = buf.find(b"\r\n\r\n")
                while end < 0:
                    data = conn.recv(65536)
                    if not data:
                        self.record({"kind": "closed"})
                        return
                    buf += data
                    end = buf.find(b"\r\n\r\n")
                head = buf[:end + 4]
                if head.startswith(b"CONNECT "):
                    buf = buf[end + 4:]
                    self.record({"kind": "connect", "line": head.decode("latin-1")})
                    conn.sendall(TUNNEL_REPLY)
                    continue
                m = re.search(rb"Content-length: (\d+)", head, re.I)
                length = int(m.group(1)) if m else 0
                while len(buf) < end + 4 + length:
                    data = conn.recv(65536)
                    if not data:
                        self.record({"kind": "closed"})
                        return
                    buf += data
                body = buf[end + 4:end + 4 + length]
                raw = buf[:end + 4 + length]
                buf = buf[end + 4 + length:]
                entry, key = self._decode(head, body, key)
                entry["raw"] = raw.hex()
                self.record(entry)
                if entry.get("plain") == "<QT>\r\n\r\n":
                    continue
                with self.lock:
                    i = self.served
                    self.served += 1
                reply = self.replies[i] if i < len(self.replies) else DEFAULT_REPLY
                if not self._send(conn, reply, state):
                    return
        except OSError:
            return

    def _decode(self, head, body, key):
        entry = {"head": head.decode("latin-1"), "body": body.hex()}
        at = body.find(b"<EN ")
        if at > 0 or (at < 0 and not body.startswith(b"<")):
            # The login: greeting, then customer and first page in clear.
            entry["kind"] = "login"
            clear = body[:at] if at >= 0 else body
            entry["clear"] = clear.decode("latin-1")
            lines = clear.split(b"\r\n")
            entry["greeting"] = lines[0].decode("latin-1")
            if at >= 0 and len(lines) >= 3:
                customer, url = lines[1], lines[2]
                entry["customer"] = customer.decode("latin-1")
                entry["url"] = url.decode("latin-1")
                key = cvproto.login_key(key, customer, url)
                block = cvproto.open_block(body[at:], key)
                if block:
                    entry["v"] = block[0]
                    entry["plain"] = block[1].decode("latin-1")
                    entry["cipher"] = body[at:].split(b">", 1)[1].hex()
            return entry, key
        entry["kind"] = "event"
        block = cvproto.open_block(body, key) if at == 0 else None
        if block:
            entry["v"] = block[0]
            entry["plain"] = block[1].decode("latin-1")
            entry["scrambled"] = True
            entry["cipher"] = body.split(b">", 1)[1].hex()
        else:
            entry["plain"] = body.decode("latin-1")
            entry["scrambled"] = False
        return entry, key


def read_log(path):
    """The records of a log file, in order."""
    if not os.path.exists(path):
        return []
    with open(path) as f:  # a last line without its newline is still being written
        return [json.loads(line) for line in f if line.endswith("\n") and line.strip()]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--addr", default="127.0.0.1")
    ap.add_argument("--port", type=int, action="append")
    ap.add_argument("--log")
    ap.add_argument("--reply", action="append", default=[])
    ap.add_argument("--chunk", type=int, default=0)
    ap.add_argument("--pause-ms", type=int, default=0)
    ap.add_argument("--reset-at", type=int)
    a = ap.parse_args()
    replies = []
    for p in a.reply:
        with open(p, "rb") as f:
            replies.append(f.read())
    s = RenderServer(a.addr, a.port or [80], a.log, replies, a.chunk, a.pause_ms, a.reset_at).start()
    print("listening on %s %s" % (a.addr, a.port or [80]), flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        s.stop()


if __name__ == "__main__":
    main()
