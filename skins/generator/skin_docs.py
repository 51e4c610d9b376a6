"""Pictures for reviewers: a contact sheet of every bitmap, and the pages composed the way the
panel paints them (background, then the elements at their places)."""

import math
import os

from PIL import Image, ImageChops, ImageDraw

import skin_art as art
from skin_pages import KNOB_X, PRESET_Y, SPEAKERS

PRESET_ROCK_Y = (273, 285, 315, 334, 315, 285, 249, 237, 237, 237)


def keyed(dst, src, xy, key):
    """A transparent blit: every pixel of `key` colour is left out."""
    src = src.convert("RGB")
    dr, dg, db = ImageChops.difference(src, Image.new("RGB", src.size, key)).split()
    keep = ImageChops.lighter(ImageChops.lighter(dr, dg), db).point(lambda v: 255 if v else 0)
    dst.paste(src, xy, keep)


def eq_curve(img, tops):
    """The response curve as the painter draws it: two parabolic arcs per band pair."""
    d = ImageDraw.Draw(img)
    heights = [int((311 - y) * 38 / 85) for y in tops]
    for i in range(9):
        a, b = heights[i], heights[i + 1]
        x0 = 286 + 32 * i
        points = [(x0, 173 - a)]
        k1 = (b - a) / 1089.0
        for s in range(1, 17):
            points.append((x0 + s, 173 - int(a + k1 * s * s)))
        e = int(a + k1 * 256)
        k2 = (e - b) / 256.0
        for s in range(-15, 1):
            points.append((318 + 32 * i + s, 173 - int(b + k2 * s * s)))
        d.line(points, fill=art.CURVE_GREY, width=3)


def equalizer_page(b, tops, preset):
    page = b[1042].copy()
    for x, y in zip(KNOB_X, tops):
        page.paste(b[1036], (x, y))
    page.paste(b[1044], (273, 84))
    page.paste(b[(1034, 1037, 1046, 1040, 1049)[preset]], (69, PRESET_Y[preset]))
    eq_curve(page, tops)
    return page


def speaker_corner(angle, distance):
    x = int(193 + math.cos(angle) * distance)
    y = int(234 - math.sin(angle) * distance)
    x = 60 if x < 60 else 325 if x > 325 else x
    y = 99 if y < 102 else 364 if y > 364 else y
    return x, y


def pages(b):
    out = {}
    out["equalizer"] = equalizer_page(b, [311] * 10, 0)
    out["equalizer-rock"] = equalizer_page(b, PRESET_ROCK_Y, 4)
    out["sound-field"] = b[1079].copy()
    mic = b[1062].copy()
    mic.paste(b[1061], (584, 328 - 70 * 171 // 100))
    mic.paste(b[1059], (410, 198))
    track = b[1057].copy()
    for n, x in enumerate(range(10, 201, 4)):
        if n < 30:
            track.paste(b[1058], (x, 4))
    mic.paste(track, (124, 319))
    out["microphone"] = mic
    spk = b[1023].copy()
    spk.paste(b[1022], (404, 197))
    spk.paste(b[1022], (404, 293))
    field = b[1027].copy()
    keyed(field, b[1021], (150, 60), (0, 0, 0))
    keyed(field, b[1025], (80, 110), (0, 0, 0))
    spk.paste(field, (57, 99))
    spk.paste(b[1017], (327, 394))
    out["speaker-test"] = spk
    v71 = b[1125].copy()
    v71.paste(b[1109], (397, 85))
    v71.paste(b[1108], (57, 99))
    for i, (_, angle) in enumerate(SPEAKERS):
        keyed(v71, b[1117 + i], speaker_corner(angle, 63), (0, 0, 0))
    window = b[1113].crop((0, 0, 239, 136))
    window.paste(b[1115].crop((108, 0, 145, 22)), (197, 4))
    d = ImageDraw.Draw(window)
    a = (239 - 25) // 4
    for i, (name, _) in enumerate(SPEAKERS):
        t = i % 4
        x, y = 5 + t * (a + 5), 76 if i < 4 else 106
        d.rectangle((x, y, x + a - 1, y + 10), fill=(16, 18, 20), outline=(90, 96, 104))
        d.rectangle((x + 1, y + 1, x + 1 + int((a - 3) * 70 / 160), y + 9), fill=(80, 200, 110))
        d.text((x + a / 2, y - 7), "%s-3dB" % (name + ":").ljust(4), font=art.font("sans", 9),
               fill=(214, 219, 226), anchor="mm")
    v71.paste(window, (380, 125))
    out["speaker-test-7.1"] = v71
    return out


def contact_sheet(name, b):
    """Every bitmap at its own size (page backgrounds at half size), each with its id and size."""
    small = sorted(k for k, v in b.items() if v.width < 640)
    large = sorted(k for k, v in b.items() if v.width >= 640)
    width = 1340
    cells = []
    x = y = 10
    row_h = 0
    for k in large:
        w, h = 320, 240
        if x + w > width:
            x, y = 10, y + row_h + 30
            row_h = 0
        cells.append((k, x, y, w, h, True))
        x += w + 10
        row_h = max(row_h, h)
    x, y = 10, y + row_h + 34
    row_h = 0
    for k in small:
        w, h = b[k].size
        w = max(w, 64)
        if x + w > width:
            x, y = 10, y + row_h + 30
            row_h = 0
        cells.append((k, x, y, w, b[k].height, False))
        x += w + 14
        row_h = max(row_h, b[k].height)
    height = y + row_h + 30
    sheet = Image.new("RGB", (width, height), (210, 212, 216))
    d = ImageDraw.Draw(sheet)
    f = art.font("sans", 11)
    for k, x, y, w, h, half in cells:
        image = b[k].resize((320, 240), Image.BOX) if half else b[k]
        sheet.paste(image, (x, y))
        text = "%d  %dx%d%s" % (k, b[k].width, b[k].height, "  (1/2)" if half else "")
        d.text((x, y + h + 3), text, font=f, fill=(20, 20, 24))
    d.text((width - 10, height - 8), "skin: " + name, font=f, fill=(20, 20, 24), anchor="rs")
    return sheet


def write_pictures(folder, name, skin, bitmaps):
    os.makedirs(folder, exist_ok=True)
    contact_sheet(name, bitmaps).save(os.path.join(folder, "contact-%s.png" % name),
                                      optimize=True)
    for page, image in pages(bitmaps).items():
        if name != "en" and page not in ("equalizer", "sound-field"):
            continue
        image.save(os.path.join(folder, "%s-%s.png" % (name, page)), optimize=True)
