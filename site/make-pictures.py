#!/usr/bin/python3
"""Draws the sample website's pictures into site/www/pictures/.

The pictures are the project's own: every one is drawn here from shapes and
gradients with a fixed random seed, so running this again gives the same
files. The results are committed; the build does not run this. It needs
Debian's python3-pil (apt-get install python3-pil).

Sizes are in CSS pixels as the pages show them; the handheld shows them at
half that size (a 600-pixel-wide picture fills its 320-pixel screen)."""
import math
import os
import random

from PIL import Image, ImageDraw, ImageFilter

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "www", "pictures")


def lerp(a, b, t):
    return tuple(int(round(x + (y - x) * t)) for x, y in zip(a, b))


def vertical_gradient(img, top, bottom, y0=0, y1=None):
    d = ImageDraw.Draw(img)
    y1 = img.height if y1 is None else y1
    for y in range(y0, y1):
        d.line([(0, y), (img.width, y)], fill=lerp(top, bottom, (y - y0) / max(1, y1 - y0 - 1)))


def ridge(width, base, rough, seed, step=4):
    """A mountain outline: a few broad peaks of random height and width,
    with a little fine roughness, around height base."""
    rnd = random.Random(seed)
    peaks = [(rnd.uniform(0, width), rnd.uniform(0.5, 1.0) * rough * 4, rnd.uniform(40, 110)) for _ in range(6)]
    pts = []
    for x in range(0, width + step, step):
        lift = max(h * max(0.0, 1 - abs(x - px) / w) for px, h, w in peaks)
        pts.append((x, base - lift + rnd.uniform(-1.5, 1.5)))
    return pts


def lake(width=586, height=192):
    """Home page: mountains at dawn over a lake with the sun's reflection."""
    img = Image.new("RGB", (width, height))
    horizon = int(height * 0.62)
    vertical_gradient(img, (40, 80, 150), (255, 196, 140), 0, horizon)
    d = ImageDraw.Draw(img)
    sx, sy = int(width * 0.68), int(horizon * 0.55)
    glow = Image.new("L", img.size, 0)
    ImageDraw.Draw(glow).ellipse([sx - 70, sy - 70, sx + 70, sy + 70], fill=150)
    glow = glow.filter(ImageFilter.GaussianBlur(30))
    img.paste(Image.new("RGB", img.size, (255, 225, 160)), (0, 0), glow)
    d.ellipse([sx - 22, sy - 22, sx + 22, sy + 22], fill=(255, 244, 214))
    for i, (colour, base, rough) in enumerate([((120, 110, 160), horizon - 40, 14),
                                               ((76, 76, 130), horizon - 20, 9),
                                               ((36, 48, 86), horizon - 4, 5)]):
        pts = ridge(width, base, rough, seed=11 + i)
        d.polygon(pts + [(width, horizon), (0, horizon)], fill=colour)
    # The lake mirrors the sky and the hills, darker, with ripples.
    sky = img.crop((0, 0, width, horizon)).transpose(Image.FLIP_TOP_BOTTOM)
    water = sky.resize((width, height - horizon)).point(lambda v: int(v * 0.72))
    img.paste(water, (0, horizon))
    rnd = random.Random(5)
    for _ in range(70):
        y = rnd.randint(horizon + 4, height - 2)
        x = rnd.randint(0, width)
        ln = rnd.randint(16, 60)
        shade = 200 if abs(x - sx) < 60 else 120
        d.line([(x, y), (x + ln, y)], fill=(shade, shade - 30, shade - 60), width=1)
    d.line([(0, horizon), (width, horizon)], fill=(40, 50, 90))
    return img


def dunes(width=264, height=170):
    """Gallery, JPEG: desert dunes at sunset, soft gradients that suit JPEG."""
    img = Image.new("RGB", (width, height))
    vertical_gradient(img, (255, 140, 80), (255, 214, 150))
    d = ImageDraw.Draw(img)
    d.ellipse([40, 40, 96, 96], fill=(255, 240, 200))
    layers = [((224, 150, 90), 0.55, 30), ((204, 120, 70), 0.7, 24), ((170, 90, 55), 0.85, 18)]
    for i, (colour, level, amp) in enumerate(layers):
        pts = []
        for x in range(0, width + 4, 4):
            y = height * level + amp * math.sin(x / (38.0 + 9 * i) + i * 1.7) + 6 * math.sin(x / 13.0 + i)
            pts.append((x, y))
        d.polygon(pts + [(width, height), (0, height)], fill=colour)
        # A lit ridge line on each dune.
        d.line(pts, fill=lerp(colour, (255, 230, 180), 0.5), width=2)
    return img.filter(ImageFilter.SMOOTH)


def city(width=264, height=170):
    """Gallery, PNG: a city at night in flat colours, lit windows."""
    img = Image.new("RGB", (width, height))
    vertical_gradient(img, (10, 14, 48), (50, 40, 110))
    d = ImageDraw.Draw(img)
    rnd = random.Random(3)
    for _ in range(40):
        x, y = rnd.randint(0, width), rnd.randint(0, height // 2)
        d.point((x, y), fill=(230, 230, 255))
    d.ellipse([210, 20, 244, 54], fill=(250, 246, 220))
    d.ellipse([220, 16, 252, 48], fill=(18, 20, 58))
    x = 0
    while x < width:
        w = rnd.randint(24, 46)
        h = rnd.randint(50, 140)
        top = height - h
        colour = rnd.choice([(34, 40, 70), (44, 52, 90), (28, 32, 60)])
        d.rectangle([x, top, x + w - 3, height], fill=colour)
        for wy in range(top + 8, height - 8, 12):
            for wx in range(x + 5, x + w - 8, 9):
                if rnd.random() < 0.45:
                    d.rectangle([wx, wy, wx + 4, wy + 5], fill=rnd.choice([(255, 214, 102), (255, 236, 160)]))
        x += w
    return img


def leaf(size=170):
    """Gallery, PNG with transparency: a leaf whose outline and soft shadow
    are see-through, so the page's pattern shows around it."""
    big = size * 4  # drawn large and scaled down for smooth edges
    img = Image.new("RGBA", (big, big), (0, 0, 0, 0))
    body = Image.new("L", (big, big), 0)
    bd = ImageDraw.Draw(body)
    pts = []
    for i in range(181):
        t = math.pi * i / 180
        r = math.sin(t) ** 1.2 * big * 0.26
        pts.append((big / 2 + r * math.cos(0), big * 0.1 + (big * 0.78) * i / 180))
    left = [(big / 2 - math.sin(math.pi * i / 180) ** 1.2 * big * 0.26, big * 0.1 + big * 0.78 * i / 180)
            for i in range(181)]
    right = [(big / 2 + math.sin(math.pi * i / 180) ** 1.2 * big * 0.26, big * 0.1 + big * 0.78 * i / 180)
             for i in range(181)]
    bd.polygon(left + right[::-1], fill=255)
    body = body.rotate(-35, resample=Image.BICUBIC, center=(big / 2, big / 2))
    shadow = body.filter(ImageFilter.GaussianBlur(big // 40)).point(lambda v: v * 90 // 255)
    img.paste(Image.new("RGBA", (big, big), (0, 40, 0, 255)), (big // 40, big // 30), shadow)
    # Green body with a gradient from the stem to the tip.
    colours = Image.new("RGBA", (big, big))
    vertical_gradient(colours, (120, 200, 60), (30, 120, 40))
    colours = colours.rotate(-35, resample=Image.BICUBIC)
    img.paste(colours, (0, 0), body)
    d = ImageDraw.Draw(img)
    # Veins: the midrib and side veins, along the rotated axis.
    a = math.radians(35)
    cx, cy = big / 2, big / 2

    def rot(x, y):
        dx, dy = x - cx, y - cy
        return (cx + dx * math.cos(a) - dy * math.sin(a), cy + dx * math.sin(a) + dy * math.cos(a))

    top, bottom = big * 0.12, big * 0.97
    d.line([rot(cx, top), rot(cx, bottom)], fill=(230, 250, 200, 255), width=big // 90)
    for k in range(1, 8):
        y = top + (bottom - top) * k / 9
        half = math.sin(math.pi * (y - big * 0.1) / (big * 0.78)) ** 1.2 * big * 0.2
        for s in (-1, 1):
            d.line([rot(cx, y), rot(cx + s * half, y - half * 0.5)], fill=(200, 240, 170, 220), width=big // 160)
    return img.resize((size, size), Image.LANCZOS)


def waves(width=264, height=170):
    """Gallery, JPEG: sea swell under a pale sky."""
    img = Image.new("RGB", (width, height))
    vertical_gradient(img, (190, 220, 240), (240, 246, 250), 0, 60)
    vertical_gradient(img, (30, 110, 160), (10, 50, 90), 60, height)
    d = ImageDraw.Draw(img)
    for row in range(12):
        y0 = 64 + row * row * 0.9 + row * 4
        amp = 1.5 + row * 0.7
        pts = [(x, y0 + amp * math.sin(x / (6.0 + row * 1.8) + row)) for x in range(0, width + 2, 2)]
        d.line(pts, fill=lerp((200, 230, 245), (90, 160, 200), row / 11), width=1 + row // 4)
    return img.filter(ImageFilter.SMOOTH)


def tiles(width=264, height=170):
    """Gallery, PNG: a tiled pattern of sharp colours, where PNG keeps every
    edge exact."""
    img = Image.new("RGB", (width, height), (250, 248, 240))
    d = ImageDraw.Draw(img)
    palette = [(230, 57, 70), (244, 162, 97), (42, 157, 143), (38, 70, 83), (233, 196, 106)]
    s = 35
    for j in range(0, height // s + 1):
        for i in range(0, width // s + 1):
            x, y = i * s, j * s
            c = palette[(i * 2 + j * 3) % len(palette)]
            k = (i + j) % 4
            if k == 0:
                d.pieslice([x - s, y - s, x + s, y + s], 0, 90, fill=c)
            elif k == 1:
                d.polygon([(x, y), (x + s, y), (x, y + s)], fill=c)
            elif k == 2:
                d.ellipse([x + 6, y + 6, x + s - 6, y + s - 6], fill=c)
            else:
                d.rectangle([x + 4, y + 4, x + s - 4, y + s - 4], outline=c, width=4)
    return img


def main():
    os.makedirs(OUT, exist_ok=True)
    lake().save(os.path.join(OUT, "lake.jpg"), quality=85, optimize=True)
    dunes().save(os.path.join(OUT, "dunes.jpg"), quality=85, optimize=True)
    waves().save(os.path.join(OUT, "waves.jpg"), quality=85, optimize=True)
    city().save(os.path.join(OUT, "city.png"), optimize=True)
    tiles().save(os.path.join(OUT, "tiles.png"), optimize=True)
    leaf().save(os.path.join(OUT, "leaf.png"), optimize=True)


if __name__ == "__main__":
    main()
