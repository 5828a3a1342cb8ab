"""A rendering-server stand-in whose replies can wait for the test script.

A reply is either raw bytes (as for RenderServer) or a list of pieces: bytes
are sent as they come; a Gate stops the reply until a file appears (the
script writes it with its screenshot command), records whether the client
sent anything meanwhile, and lets the rest of the reply go. This ties the
server's timing to the script's steps instead of to the clock."""
import os
import socket
import time

from netpeers import NetDevice, RenderServer  # noqa: F401  (NetDevice for the tests)


class Gate:
    """Waits for a host file; then records how many bytes of a next request
    the client had already sent (0 when it sent nothing)."""

    def __init__(self, path, name="gate", timeout=60):
        self.path = path
        self.name = name
        self.timeout = timeout

    def pass_through(self, conn, server):
        end = time.time() + self.timeout
        while not os.path.exists(self.path) and time.time() < end and not server.closed:
            time.sleep(0.02)
        time.sleep(0.1)  # the screenshot file is written completely
        try:
            early = len(conn.recv(65536, socket.MSG_PEEK | socket.MSG_DONTWAIT))
        except (BlockingIOError, InterruptedError):
            early = 0
        except OSError:
            early = -1
        server.record({"kind": self.name, "early": early, "reached": os.path.exists(self.path),
                       "time": time.time()})


class GatedRender(RenderServer):
    def _send(self, conn, data, state):
        if not isinstance(data, list):
            return super()._send(conn, data, state)
        for piece in data:
            if isinstance(piece, Gate):
                piece.pass_through(conn, self)
            elif not super()._send(conn, piece, state):
                return False
        return True


def gated_render(dev, replies):
    s = GatedRender(dev.addr, (80,), dev.wire_log, replies).start()
    dev.peers.append(s)
    return s
