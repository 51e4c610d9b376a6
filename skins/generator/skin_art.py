"""Drawing helpers for the default skins: brushed metal, bevelled buttons, engraved labels.

Everything is deterministic: noise comes from seeded generators, shapes are drawn four times
larger and reduced with a box filter, so the same fonts and Pillow give the same bytes.
"""

import random

from PIL import Image, ImageChops, ImageDraw, ImageFont

GREEN = (0, 255, 0)  # cut out of the window by the colour key
BLACK = (0, 0, 0)  # transparent in the icons
CURVE_GREY = (100, 100, 100)  # the pen of the equalizer curve

SS = 4  # supersampling factor of shapes

FONT_FILES = {
    "sans": "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
    "bold": "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf",
    "cjk": "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc",
}

# Palette: dark gunmetal with amber lamps, a pale backlit screen for the curve.
METAL = (62, 66, 73)
METAL_DARK = (38, 41, 46)
RECESS = (27, 29, 33)
EDGE_LIGHT = (132, 138, 148)
EDGE_DARK = (14, 15, 18)
TEXT = (214, 219, 226)
TEXT_DIM = (128, 134, 143)
AMBER = (255, 166, 48)
AMBER_DARK = (92, 58, 20)
LED_OFF = (70, 46, 26)
GREEN_LED = (96, 230, 120)
RED_LED = (238, 64, 52)
LCD = (158, 196, 186)
LCD_GRID = (136, 176, 166)
LCD_INK = (52, 78, 72)
SCREEN = (16, 26, 30)
SCREEN_LINE = (46, 86, 90)
SCREEN_INK = (120, 220, 210)

_font_cache = {}


def font(kind, size):
    key = (kind, size)
    if key not in _font_cache:
        _font_cache[key] = ImageFont.truetype(FONT_FILES[kind], size)
    return _font_cache[key]


def text_font(text, size, bold=True):
    """The font for a label: CJK text takes the CJK face, Latin text DejaVu."""
    if any(ord(c) > 0x2E80 for c in text):
        return font("cjk", size + 1)
    return font("bold" if bold else "sans", size)


def brushed_metal(w, h, base, seed, amount=7):
    """Horizontal brush streaks: per-row noise stretched along x, with a soft top light."""
    rng = random.Random(seed)
    cols = max(2, w // 24)
    noise = Image.frombytes("L", (cols, h), bytes(rng.randrange(256) for _ in range(cols * h)))
    noise = noise.resize((w, h), Image.BILINEAR)
    light = Image.linear_gradient("L").resize((w, h)).transpose(Image.FLIP_TOP_BOTTOM)
    out = []
    for channel, value in zip(range(3), base):
        lo = value - amount
        band = noise.point(lambda v, lo=lo: max(0, min(255, lo + v * 2 * amount // 255)))
        lift = light.point(lambda v: v * 14 // 255)
        out.append(ImageChops.add(band, lift))
    return Image.merge("RGB", out)


def supersampled(w, h, painter):
    """An RGBA layer of w x h drawn by painter(draw, s) on a canvas s times larger."""
    big = Image.new("RGBA", (w * SS, h * SS), (0, 0, 0, 0))
    painter(ImageDraw.Draw(big), SS)
    return big.resize((w, h), Image.BOX)


def paste_layer(img, layer, x, y):
    img.alpha_composite(layer, (x, y)) if img.mode == "RGBA" else img.paste(layer, (x, y), layer)


def rrect(img, box, radius, fill, outline=None, width=1):
    """An antialiased rounded rectangle on img, box inclusive of its corners."""
    x0, y0, x1, y1 = box
    w, h = x1 - x0 + 1, y1 - y0 + 1

    def paint(d, s):
        d.rounded_rectangle((0, 0, w * s - 1, h * s - 1), radius * s, fill=fill,
                            outline=outline, width=width * s)

    paste_layer(img, supersampled(w, h, paint), x0, y0)


def bevel_plate(img, box, radius=6, face=METAL_DARK, raised=False, depth=2):
    """A recessed (or raised) plate: dark and light edges around a face."""
    x0, y0, x1, y1 = box
    hi, lo = (EDGE_LIGHT, EDGE_DARK) if raised else (EDGE_DARK, EDGE_LIGHT)
    rrect(img, (x0, y0, x1, y1), radius, lo + (200,))
    rrect(img, (x0, y0, x1 - depth // 2 - 1, y1 - depth // 2 - 1), radius, hi + (230,))
    rrect(img, (x0 + 1, y0 + 1, x1 - 1, y1 - 1), max(1, radius - 1), face + (255,))


def gradient_face(w, h, top, bottom, radius, s=SS):
    """A vertical gradient with rounded corners, as an RGBA layer."""
    grad = Image.linear_gradient("L").resize((w, h))
    face = Image.composite(Image.new("RGB", (w, h), bottom), Image.new("RGB", (w, h), top), grad)
    mask = supersampled(w, h, lambda d, s: d.rounded_rectangle(
        (0, 0, w * s - 1, h * s - 1), radius * s, fill=(255, 255, 255, 255))).split()[3]
    face = face.convert("RGBA")
    face.putalpha(mask)
    return face


def label(img, xy, text, size, fill=TEXT, anchor="mm", bold=True, shadow=True):
    """An engraved label: a dark line under light text."""
    d = ImageDraw.Draw(img)
    f = text_font(text, size, bold)
    x, y = xy
    if shadow:
        d.text((x, y + 1), text, font=f, fill=EDGE_DARK, anchor=anchor)
    d.text((x, y), text, font=f, fill=fill, anchor=anchor)


def fit_size(text, size, width):
    """The largest size not above `size` at which `text` fits in `width` pixels."""
    while size > 7:
        f = text_font(text, size)
        if f.getlength(text) <= width:
            return size
        size -= 1
    return size


def led(img, cx, cy, r, colour, lit):
    """A round lamp with a glow when lit."""
    w = h = r * 2 + 7

    def paint(d, s):
        c = (w * s) // 2
        if lit:
            d.ellipse((c - (r + 3) * s, c - (r + 3) * s, c + (r + 3) * s, c + (r + 3) * s),
                      fill=colour + (60,))
        d.ellipse((c - r * s, c - r * s, c + r * s, c + r * s), fill=EDGE_DARK + (255,))
        inner = colour if lit else tuple(v // 3 for v in colour)
        d.ellipse((c - (r - 1) * s, c - (r - 1) * s, c + (r - 1) * s, c + (r - 1) * s),
                  fill=inner + (255,))
        if lit:
            d.ellipse((c - (r - 1) * s, c - (r - 1) * s, c, c), fill=(255, 255, 230, 120))

    paste_layer(img, supersampled(w, h, paint), cx - w // 2, cy - h // 2)


def button(img, box, text, state, size=12, lamp=None, radius=5):
    """A bevelled push button filling box (inclusive).

    state: "normal", "pressed" (pushed in, face darker), "lit" (lamp and label glow),
    "grey" (disabled, flat and dim)."""
    x0, y0, x1, y1 = box
    w, h = x1 - x0 + 1, y1 - y0 + 1
    rrect(img, box, radius, EDGE_DARK + (255,))
    if state == "pressed":
        face = gradient_face(w - 2, h - 2, (44, 47, 53), (66, 70, 78), radius - 1)
        dy = 1
    elif state == "lit":
        face = gradient_face(w - 2, h - 2, (120, 104, 84), (66, 56, 44), radius - 1)
        dy = 0
    elif state == "grey":
        face = gradient_face(w - 2, h - 2, (58, 60, 64), (52, 54, 58), radius - 1)
        dy = 0
    else:
        face = gradient_face(w - 2, h - 2, (112, 118, 128), (60, 64, 71), radius - 1)
        dy = 0
    paste_layer(img, face, x0 + 1, y0 + 1)
    if state in ("normal", "lit"):
        ImageDraw.Draw(img).line((x0 + radius, y0 + 1, x1 - radius, y0 + 1), fill=(168, 174, 184))
    colour = {"normal": TEXT, "pressed": (190, 196, 204), "lit": AMBER, "grey": (96, 99, 105)}
    tx = (x0 + x1 + 1) // 2
    if lamp:
        lx = x0 + 9
        led(img, lx, (y0 + y1 + 1) // 2 + dy, 3, lamp, state == "lit")
        tx += 5
    fitted = fit_size(text, size, w - (22 if lamp else 8))
    label(img, (tx, (y0 + y1 + 1) // 2 + dy), text, fitted, fill=colour[state],
          shadow=state != "grey")


def screw(img, cx, cy):
    def paint(d, s):
        d.ellipse((0, 0, 9 * s - 1, 9 * s - 1), fill=EDGE_DARK + (255,))
        d.ellipse((s, s, 8 * s - 1, 8 * s - 1), fill=(120, 124, 132, 255))
        d.line((2 * s, 6 * s, 6 * s, 2 * s), fill=(40, 42, 46, 255), width=s + 2)

    paste_layer(img, supersampled(9, 9, paint), cx - 4, cy - 4)


def grille(img, box, pitch=6, r=2):
    """A speaker grille of round holes."""
    x0, y0, x1, y1 = box
    d = ImageDraw.Draw(img)
    row = 0
    y = y0 + r
    while y + r <= y1:
        x = x0 + r + (pitch // 2 if row % 2 else 0)
        while x + r <= x1:
            d.ellipse((x - r, y - r, x + r, y + r), fill=(16, 17, 20))
            d.point((x - 1, y + r), fill=(88, 92, 100))
            x += pitch
        y += pitch - 1
        row += 1


def hard_mask(w, h, painter):
    """A two-level mask (no partial pixels): the key colour must stay exact."""
    layer = supersampled(w, h, painter).split()[3]
    return layer.point(lambda v: 255 if v >= 128 else 0)


def sanitize(img, forbidden, replacement, box=None):
    """Replaces every pixel of an exact colour (inside box, Pillow's half-open box) by another."""
    region = img.crop(box) if box else img.copy()
    channels = region.convert("RGB").split()
    mask = None
    for channel, value in zip(channels, forbidden):
        hit = channel.point(lambda v, value=value: 255 if v == value else 0)
        mask = hit if mask is None else ImageChops.multiply(mask, hit)
    region.paste(replacement, mask=mask)
    img.paste(region, box[:2] if box else (0, 0))
