#!/usr/bin/python3
"""Makes the sample website's photographs page pictures, site/www/photos/.

The pictures of site/www/pictures are drawings; this page shows what a site
of real photographs sends. The photographs are the public-domain and CC0
sample pictures that Debian's python3-skimage ships (see CREDITS below), each
cut to 3:2 and stored as a website stores an uploaded photograph: at most
528 by 352 pixels (twice the 264 by 176 that the page shows them at, for
high-density screens), never enlarged, JPEG at quality 82. Running this again
gives the same files. The results are committed; the build does not run
this. It needs python3-pil and python3-skimage (apt-get install python3-pil
python3-skimage), or the skimage data directory given as the argument."""
import os
import sys

from PIL import Image

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "www", "photos")
DATA = "/usr/lib/python3/dist-packages/skimage/data"
MAX = (528, 352)

# name in the site, source file, the 3:2 box cut from it (left, top, right,
# bottom; None for the whole picture), and who made it.
PHOTOS = [
    ("cat.jpg", "chelsea.png", None, "Stefan van der Walt, CC0"),
    ("coffee.jpg", "coffee.png", None, "Rachel Michetti, CC0"),
    ("astronaut.jpg", "astronaut.png", (0, 40, 512, 381), "NASA, public domain"),
    ("rocket.jpg", "rocket.jpg", (0, 120, 427, 405), "SpaceX, public domain"),
    ("deep-field.jpg", "hubble_deep_field.jpg", (0, 0, 872, 581), "NASA, public domain"),
    ("camera.jpg", "camera.png", (0, 60, 512, 401), "Lav Varshney, CC0"),
]

CREDITS = "; ".join("%s: %s" % (name, who) for name, _, _, who in PHOTOS)


def main():
    data = sys.argv[1] if len(sys.argv) > 1 else DATA
    os.makedirs(OUT, exist_ok=True)
    for name, source, box, _ in PHOTOS:
        img = Image.open(os.path.join(data, source)).convert("RGB")
        if box:
            img = img.crop(box)
        scale = min(1.0, MAX[0] / img.width, MAX[1] / img.height)
        size = (round(img.width * scale), round(img.height * scale))
        if size != img.size:
            img = img.resize(size, Image.LANCZOS)
        img.save(os.path.join(OUT, name), quality=82, optimize=True)
        print("%s: %dx%d, %d bytes" % (name, size[0], size[1], os.path.getsize(os.path.join(OUT, name))))


if __name__ == "__main__":
    main()
