#!/usr/bin/python3
"""Draws the installer's art: the wizard's banner (bitmap 130) and its icon (icon 128).

Run from anywhere; writes banner.bmp and installer.ico next to this script. Both outputs are
committed, so a build never needs Python; run this again after changing the drawing.

The look: a deep blue band fading to teal, a headset seen from the front with three sound
arcs on its right, the product name in white and a thin amber rule under it.
"""

import math
import os

from PIL import Image, ImageDraw, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
FONT_BOLD = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"
FONT_BOOK = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"

DEEP = (12, 28, 64)
TEAL = (18, 112, 138)
AMBER = (255, 176, 46)
WHITE = (255, 255, 255)
MIST = (190, 220, 235)

# The banner fills 303 x 43 dialog units; at the wizard's font that is about 456 x 72 pixels,
# and the static control stretches it to its exact size.
BANNER_SIZE = (456, 72)
SUPERSAMPLE = 4


def gradient(size, left, right):
    width, height = size
    image = Image.new("RGB", size)
    pixels = image.load()
    for x in range(width):
        t = x / (width - 1)
        # A gentle curve keeps most of the band dark so the white text stands out.
        t = t * t
        colour = tuple(int(round(a + (b - a) * t)) for a, b in zip(left, right))
        for y in range(height):
            shade = 1.0 - 0.18 * (y / (height - 1))
            pixels[x, y] = tuple(int(c * shade) for c in colour)
    return image


def draw_headset(draw, cx, cy, r, width, colour, accent):
    """A headset from the front: headband arc, two ear cups, a boom microphone."""
    box = (cx - r, cy - r, cx + r, cy + r)
    draw.arc(box, start=200, end=340, fill=colour, width=width)
    cup_w, cup_h = r * 0.42, r * 0.78
    for side in (-1, 1):
        x = cx + side * r * 0.93
        draw.rounded_rectangle(
            (x - cup_w / 2, cy - cup_h * 0.35, x + cup_w / 2, cy + cup_h * 0.65),
            radius=cup_w * 0.45, fill=colour)
        draw.rounded_rectangle(
            (x - cup_w * 0.22, cy - cup_h * 0.15, x + cup_w * 0.22, cy + cup_h * 0.45),
            radius=cup_w * 0.2, fill=accent)
    # Boom microphone from the left cup.
    start = (cx - r * 0.93, cy + cup_h * 0.55)
    end = (cx - r * 0.25, cy + r * 0.95)
    draw.line([start, end], fill=colour, width=max(1, width // 2))
    m = r * 0.12
    draw.ellipse((end[0] - m, end[1] - m, end[0] + m, end[1] + m), fill=accent)


def draw_waves(draw, cx, cy, r, width, colour):
    for i, radius in enumerate((r * 0.55, r * 0.9, r * 1.25)):
        fade = 1.0 - 0.25 * i
        c = tuple(int(v * fade) for v in colour)
        draw.arc((cx - radius, cy - radius, cx + radius, cy + radius),
                 start=-40, end=40, fill=c, width=width)


def banner():
    s = SUPERSAMPLE
    w, h = BANNER_SIZE
    base = gradient((w * s, h * s), DEEP, TEAL)
    # A faint equaliser in the background on the right: bars along a smooth curve.
    bars = base.copy()
    draw = ImageDraw.Draw(bars)
    for i in range(22):
        x0 = (300 + i * 7) * s
        level = 0.55 + 0.35 * math.sin(i * 0.55) * math.cos(i * 0.21)
        draw.rectangle((x0, h * s * (1.0 - level * 0.85), x0 + 4 * s, h * s), fill=MIST)
    image = Image.blend(base, bars, 0.16)
    draw = ImageDraw.Draw(image)

    draw_headset(draw, 40 * s, 34 * s, 20 * s, 5 * s, WHITE, AMBER)
    draw_waves(draw, 64 * s, 40 * s, 14 * s, 3 * s, MIST)

    title = ImageFont.truetype(FONT_BOLD, 22 * s)
    subtitle = ImageFont.truetype(FONT_BOOK, 11 * s)
    draw.text((96 * s, 12 * s), "QEX Ampfx Suite", font=title, fill=WHITE)
    draw.rectangle((97 * s, 41 * s, 285 * s, 42 * s + s // 2), fill=AMBER)
    draw.text((97 * s, 47 * s), "USB headset sound effects  \u2022  Setup V305",
              font=subtitle, fill=MIST)
    return image.resize(BANNER_SIZE, Image.LANCZOS)


def icon_image(size):
    s = SUPERSAMPLE
    n = size * s
    image = Image.new("RGBA", (n, n), (0, 0, 0, 0))
    draw = ImageDraw.Draw(image)
    pad = n * 0.04
    draw.rounded_rectangle((pad, pad, n - pad, n - pad), radius=n * 0.22, fill=DEEP + (255,))
    inner = n * 0.1
    draw.rounded_rectangle((inner, inner, n - inner, n - inner), radius=n * 0.17,
                           outline=TEAL + (255,), width=max(s, int(n * 0.035)))
    draw_headset(draw, n * 0.5, n * 0.5, n * 0.27, max(s, int(n * 0.07)), WHITE, AMBER)
    return image.resize((size, size), Image.LANCZOS)


def main():
    banner().save(os.path.join(HERE, "banner.bmp"))
    sizes = [16, 24, 32, 48, 64]
    largest = icon_image(256)
    images = {size: icon_image(size) for size in sizes}
    # Each size is drawn at its own size (thicker strokes survive at 16 pixels).
    largest.save(os.path.join(HERE, "installer.ico"), sizes=[(z, z) for z in sizes + [256]],
                 append_images=[images[z] for z in sizes])


if __name__ == "__main__":
    main()
