#!/usr/bin/env python3
"""Draws the pictures of the shipped pages as PNG files (the sources that the
page compiler encodes). Run it again after changing a picture here:
    python3 make_images.py
Shapes are drawn with 4x4 supersampling so their edges are smooth."""
import math
import struct
import zlib

SS = 4  # samples per pixel side


def write_png(path, w, h, px):
    """px: list of (r, g, b, a) rows top to bottom."""
    raw = bytearray()
    for y in range(h):
        raw.append(0)
        for x in range(w):
            raw += bytes(px[y * w + x])

    def chunk(t, d):
        c = struct.pack(">I", len(d)) + t + d
        return c + struct.pack(">I", zlib.crc32(t + d) & 0xFFFFFFFF)

    data = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0))
    data += chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(data)


def render(w, h, shade):
    """shade(x, y) -> (r, g, b, a) at a sample point (floats in pixels);
    averages SS*SS samples per pixel, alpha-weighted."""
    px = []
    for y in range(h):
        for x in range(w):
            r = g = b = a = 0.0
            for sy in range(SS):
                for sx in range(SS):
                    c = shade(x + (sx + 0.5) / SS, y + (sy + 0.5) / SS)
                    if c is None:
                        continue
                    r += c[0] * c[3]
                    g += c[1] * c[3]
                    b += c[2] * c[3]
                    a += c[3]
            n = SS * SS
            if a > 0:
                px.append((int(r / a + 0.5), int(g / a + 0.5), int(b / a + 0.5), int(255 * a / n + 0.5)))
            else:
                px.append((0, 0, 0, 0))
    return px


def mix(c0, c1, t):
    t = max(0.0, min(1.0, t))
    return tuple(c0[i] + (c1[i] - c0[i]) * t for i in range(3))


def in_round_rect(x, y, x0, y0, x1, y1, r):
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def logo():
    """The product mark: a blue rounded square holding a white ring open to
    the right, with an orange dot, on a transparent ground."""
    W = 44

    def shade(x, y):
        if not in_round_rect(x, y, 1, 1, W - 1, W - 1, 9):
            return None
        base = mix((40, 110, 220), (10, 50, 140), (x + y) / (2 * W))
        cx, cy = W / 2 - 1, W / 2
        d = math.hypot(x - cx, y - cy)
        ang = math.degrees(math.atan2(y - cy, x - cx))
        if 9 <= d <= 15 and not (-40 < ang < 40):
            return (255, 255, 255, 1.0)
        if math.hypot(x - (cx + 13), y - cy) <= 4:
            return (255, 160, 30, 1.0)
        # a soft highlight along the top
        if y < W * 0.35:
            base = mix(base, (255, 255, 255), 0.12)
        return base + (1.0,)
    return W, W, render(W, W, shade)


def hourglass():
    W, H = 32, 40

    def shade(x, y):
        cx = W / 2
        if y < 3 or y > H - 3:
            if 3 <= x <= W - 3:
                return (120, 72, 30, 1.0)
            return None
        t = abs(y - H / 2) / (H / 2 - 3)
        half = 2 + 10 * t
        if abs(x - cx) <= half + 1.5:
            if abs(x - cx) > half:
                return (70, 70, 90, 1.0)
            sand = (y > H / 2 and y > H - 3 - 9) or (y < H / 2 and y > 9)
            if sand or (abs(x - cx) < 1 and y > H / 2):
                return (240, 170, 40, 1.0)
            return (225, 240, 255, 1.0)
        return None
    return W, H, render(W, H, shade)


def antenna_off():
    """A mast with waves and a red no-entry slash: no connection."""
    W = 40

    def shade(x, y):
        cx, cy = 20, 14
        d = math.hypot(x - cx, y - cy)
        ang = math.degrees(math.atan2(y - cy, x - cx))
        # red slash circle
        rd = math.hypot(x - 20, y - 20)
        if 17 <= rd <= 19.5:
            return (210, 40, 40, 1.0)
        if rd < 17 and abs((x - 20) - (y - 20)) < 1.6 * math.sqrt(2):
            return (210, 40, 40, 1.0)
        if d <= 2.5:
            return (50, 60, 80, 1.0)
        if abs(x - cx) <= 1.3 and cy < y < 32:
            return (50, 60, 80, 1.0)
        if 32 <= y <= 34 and abs(x - cx) <= 6:
            return (50, 60, 80, 1.0)
        for r in (6, 10):
            if abs(d - r) < 1.0 and (abs(ang) < 40 or abs(ang) > 140):
                return (60, 120, 200, 1.0)
        return None
    return W, W, render(W, W, shade)


def broken_link():
    W, H = 44, 32

    def ring(x, y, cx, cy, rx, ry):
        v = ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2
        return 0.42 <= v <= 1.0

    def shade(x, y):
        if ring(x, y, 13, 17, 11, 7.5):
            return (60, 70, 95, 1.0)
        if ring(x, y, 31, 15, 11, 7.5):
            return (60, 70, 95, 1.0)
        # the break: a gap with sparks
        if 20 <= x <= 24:
            return None
        return None

    px = render(W, H, shade)
    # cut the links apart and add sparks
    for y in range(H):
        for x in range(20, 25):
            px[y * W + x] = (0, 0, 0, 0)
    for (sx, sy) in ((22, 4), (20, 8), (24, 27), (22, 30)):
        px[sy * W + sx] = (240, 160, 30, 255)
        px[sy * W + sx + 1] = (240, 160, 30, 255)
    return W, H, px


def upgrade():
    W = 40

    def shade(x, y):
        d = math.hypot(x - 20, y - 20)
        if d > 18.5:
            return None
        base = mix((60, 190, 90), (20, 120, 50), y / W)
        # white arrow up
        if 9 <= y <= 19 and abs(x - 20) <= (y - 9) * 0.9:
            return (255, 255, 255, 1.0)
        if 19 <= y <= 30 and abs(x - 20) <= 3.5:
            return (255, 255, 255, 1.0)
        return base + (1.0,)
    return W, W, render(W, W, shade)


def landscape():
    """An evening lake scene: sky gradient, sun, two mountain ranges, water
    with the sun's reflection."""
    W, H = 128, 72

    def ridge(x, base, amp, f1, f2):
        return base - amp * (0.6 * math.sin(x * f1) + 0.4 * math.sin(x * f2 + 1.3))

    def shade(x, y):
        horizon = 50
        if y < horizon:
            sky = mix((40, 70, 160), (250, 170, 110), y / horizon)
            sd = math.hypot(x - 88, y - 34)
            if sd < 9:
                return (255, 235, 160, 1.0)
            if sd < 16:
                sky = mix((255, 220, 150), sky, (sd - 9) / 7)
            if y > ridge(x, 44, 10, 0.05, 0.13):
                return mix((70, 60, 110), (40, 40, 70), (y - 30) / 20) + (1.0,)
            if y > ridge(x, 49, 6, 0.09, 0.21):
                return (30, 50, 60, 1.0)
            return sky + (1.0,)
        water = mix((60, 80, 140), (20, 30, 70), (y - horizon) / (H - horizon))
        if abs(x - 88) < 6 - (y - horizon) * 0.15 and int(y) % 3 != 0:
            water = mix(water, (255, 220, 150), 0.7)
        return water + (1.0,)
    return W, H, render(W, H, shade)


def star():
    W = 36

    def shade(x, y):
        cx, cy = 18, 19
        ang = math.atan2(y - cy, x - cx)
        d = math.hypot(x - cx, y - cy)
        k = (ang + math.pi / 2) % (2 * math.pi / 5) / (2 * math.pi / 5)
        r = 8 + 9 * abs(1 - 2 * k) ** 1.6
        if d <= r:
            return mix((255, 220, 60), (240, 140, 20), d / 17) + (1.0,)
        return None
    return W, W, render(W, W, shade)


def chart():
    """A small bar chart on a light card (no transparency)."""
    W, H = 96, 60
    bars = [22, 34, 28, 44, 38, 50]
    colours = [(70, 130, 220), (70, 130, 220), (70, 130, 220), (240, 140, 40), (70, 130, 220), (60, 170, 90)]

    def shade(x, y):
        if x < 1 or x > W - 1 or y < 1 or y > H - 1:
            return (180, 190, 210, 1.0)
        if y > H - 6 and y < H - 5:
            return (90, 90, 90, 1.0)
        for i, b in enumerate(bars):
            x0 = 8 + i * 14
            if x0 <= x < x0 + 10 and H - 6 - b <= y <= H - 6:
                return colours[i] + (1.0,)
        if int(y) % 12 == 0:
            return (225, 230, 240, 1.0)
        return (248, 250, 253, 1.0)
    return W, H, render(W, H, shade)


PICTURES = {
    "logo": logo, "hourglass": hourglass, "antenna": antenna_off, "brokenlink": broken_link,
    "upgrade": upgrade, "landscape": landscape, "star": star, "chart": chart,
}

if __name__ == "__main__":
    import os
    here = os.path.dirname(os.path.abspath(__file__))
    for name, fn in PICTURES.items():
        w, h, px = fn()
        write_png(os.path.join(here, name + ".png"), w, h, px)
        print(name, w, h)
