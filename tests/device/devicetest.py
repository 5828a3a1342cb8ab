"""Running the real client on the emulated device from a test.

A test makes a fresh device root (a copy of build/device), writes a script,
runs build/corvanta --headless on it and looks at the exit code, the event
log, the files the program left and the screenshots.
"""
import os
import shutil
import struct
import subprocess
import tempfile
import time
import zlib

BUILD = os.environ.get("CV_BUILD", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
SOURCE = os.environ.get("CV_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
CLIENT = os.path.join(BUILD, "corvanta")


class Device:
    """A device root in a temporary folder, removed by close()."""

    def __init__(self, with_data=True):
        self.root = tempfile.mkdtemp(prefix="cvdev-")
        if with_data:
            shutil.copytree(os.path.join(BUILD, "device"), self.root, dirs_exist_ok=True)
        os.makedirs(os.path.join(self.root, "cv"), exist_ok=True)
        self.log = os.path.join(self.root, "device.log")

    def path(self, device_path):
        return os.path.join(self.root, device_path.lstrip("/\\").replace("\\", "/"))

    def write(self, device_path, data):
        p = self.path(device_path)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())

    def read(self, device_path):
        with open(self.path(device_path), "rb") as f:
            return f.read()

    def exists(self, device_path):
        return os.path.exists(self.path(device_path))

    def log_lines(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log) as f:
            return [line.rstrip("\n") for line in f]

    def start(self, script_lines, *options):
        """Starts the client with a script; returns the Popen."""
        script = os.path.join(self.root, "test.script")
        with open(script, "w") as f:
            f.write("\n".join(script_lines) + "\n")
        args = [CLIENT, "--root", self.root, "--headless", "--script", script, "--log", self.log]
        args += list(options)
        return subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def run(self, script_lines, *options, timeout=60):
        """Runs the client to its end; returns (exit code, stderr text)."""
        p = self.start(script_lines, *options)
        try:
            _, err = p.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            p.kill()
            _, err = p.communicate()
            raise
        return p.returncode, err.decode(errors="replace")

    def close(self):
        shutil.rmtree(self.root, ignore_errors=True)


def read_png(path):
    """Returns (width, height, rows of (r, g, b) tuples) of an 8-bit RGB PNG."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG file"
    pos = 8
    idat = b""
    width = height = 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, ctype = struct.unpack(">IIBB", body[:10])
            assert depth == 8 and ctype == 2, "expected 8-bit RGB"
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw = zlib.decompress(idat)
    stride = width * 3
    rows = []
    prev = bytearray(stride)
    i = 0
    for _ in range(height):
        ftype = raw[i]
        line = bytearray(raw[i + 1:i + 1 + stride])
        i += 1 + stride
        for x in range(stride):
            a = line[x - 3] if x >= 3 else 0
            b = prev[x]
            c = prev[x - 3] if x >= 3 else 0
            if ftype == 1:
                line[x] = (line[x] + a) & 255
            elif ftype == 2:
                line[x] = (line[x] + b) & 255
            elif ftype == 3:
                line[x] = (line[x] + (a + b) // 2) & 255
            elif ftype == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                line[x] = (line[x] + pred) & 255
        rows.append([tuple(line[x * 3:x * 3 + 3]) for x in range(width)])
        prev = line
    return width, height, rows


def wait_for(predicate, timeout=10.0, step=0.02):
    end = time.time() + timeout
    while time.time() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()
