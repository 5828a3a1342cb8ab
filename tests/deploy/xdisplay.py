"""A private X display for the windowed `make run` test: Xvfb on a display
number it picks itself, the device's window found by its title, its pixels
read with xwd, and the close request a window manager's close button sends
(a WM_DELETE_WINDOW client message), so that the program is closed the way
a person closes it."""
import ctypes
import ctypes.util
import os
import shutil
import struct
import subprocess
import time


class Display:
    def __init__(self, timeout=15):
        for tool in ("Xvfb", "xdotool", "xwd"):
            if shutil.which(tool) is None:
                raise RuntimeError("%s is not installed (scripts/bootstrap installs it)" % tool)
        r, w = os.pipe()
        self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                     pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(w)
        number = b""
        end = time.time() + timeout
        while not number.endswith(b"\n") and time.time() < end and self.proc.poll() is None:
            chunk = os.read(r, 16)
            if not chunk:
                break
            number += chunk
        os.close(r)
        if not number.strip().isdigit():
            self.close()
            raise RuntimeError("Xvfb did not start")
        self.name = ":" + number.strip().decode()

    def env(self, base):
        env = {k: v for k, v in base.items() if k != "WAYLAND_DISPLAY"}
        env["DISPLAY"] = self.name
        return env

    def find_window(self, title, timeout=60):
        """The id of a mapped window of exactly this title, or None."""
        end = time.time() + timeout
        while time.time() < end:
            r = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % title],
                               env=self.env(os.environ), capture_output=True, text=True)
            ids = r.stdout.split()
            if ids:
                return int(ids[0])
            time.sleep(0.2)
        return None

    def pixels(self, window):
        """(width, height, rows of (r, g, b)) of the window, or None when it
        cannot be read (gone meanwhile)."""
        r = subprocess.run(["xwd", "-silent", "-id", str(window)], env=self.env(os.environ), capture_output=True)
        if r.returncode != 0 or len(r.stdout) < 100:
            return None
        return read_xwd(r.stdout)

    def close_window(self, window):
        """Sends the window WM_DELETE_WINDOW; True when it was sent."""
        return send_delete(self.name, window)

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def read_xwd(data):
    """The pixels of an xwd dump of a 24- or 32-bit TrueColor window."""
    (header_size, _version, pixmap_format, _depth, width, height, _xoffset, byte_order, _unit, _bit_order, _pad,
     bits_per_pixel, bytes_per_line, _class, red_mask, green_mask, blue_mask, _bits_rgb, _entries,
     ncolors) = struct.unpack(">20I", data[:80])
    if pixmap_format != 2 or bits_per_pixel != 32:
        raise ValueError("xwd: only 32-bit ZPixmap dumps are read (got format %d, %d bits)"
                         % (pixmap_format, bits_per_pixel))
    pos = header_size + 12 * ncolors
    order = "<" if byte_order == 0 else ">"

    def shift(mask):
        return (mask & -mask).bit_length() - 1
    rs, gs, bs = shift(red_mask), shift(green_mask), shift(blue_mask)
    rows = []
    for y in range(height):
        line = struct.unpack_from("%s%dI" % (order, width), data, pos + y * bytes_per_line)
        rows.append([((p & red_mask) >> rs, (p & green_mask) >> gs, (p & blue_mask) >> bs) for p in line])
    return width, height, rows


class _ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("l", ctypes.c_long * 5)]


class _XEvent(ctypes.Union):
    _fields_ = [("xclient", _ClientMessage), ("pad", ctypes.c_long * 24)]


def send_delete(display_name, window):
    x = ctypes.cdll.LoadLibrary(ctypes.util.find_library("X11") or "libX11.so.6")
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x.XInternAtom.restype = ctypes.c_ulong
    x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.POINTER(_XEvent)]
    x.XFlush.argtypes = [ctypes.c_void_p]
    x.XCloseDisplay.argtypes = [ctypes.c_void_p]
    d = x.XOpenDisplay(display_name.encode())
    if not d:
        return False
    try:
        ev = _XEvent()
        ev.xclient.type = 33  # ClientMessage
        ev.xclient.window = window
        ev.xclient.message_type = x.XInternAtom(d, b"WM_PROTOCOLS", 0)
        ev.xclient.format = 32
        ev.xclient.l[0] = x.XInternAtom(d, b"WM_DELETE_WINDOW", 0)
        ok = x.XSendEvent(d, window, 0, 0, ctypes.byref(ev))
        x.XFlush(d)
        return ok != 0
    finally:
        x.XCloseDisplay(d)
