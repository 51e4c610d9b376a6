#!/usr/bin/python3
"""The default skins' pictures keep what the panel relies on: the key colours, the curve's
screen, the buttons on their hit areas, the 7.1 toolbar's pictures on its rectangles.

    skin_art_test.py ASSETS_DIR
"""

import os
import sys

from PIL import Image, ImageChops

GREEN = (0, 255, 0)
BLACK = (0, 0, 0)
CURVE = (100, 100, 100)
SKINS = ("en", "zh-hans", "zh-hant")
PAGES = (1042, 1078, 1079, 1080, 1081, 1082, 1062, 1023, 1125)

# Hit areas, inclusive, by page background.
EVERY_PAGE = [(420, 22, 472, 70), (470, 22, 512, 70), (521, 22, 563, 70), (572, 22, 612, 70),
              (544, 420, 605, 456)]
PAGE_HITS = {
    1042: [(190, 87, 270, 115), (281, 87, 351, 111), (370, 86, 437, 112), (456, 87, 523, 112),
           (539, 89, 612, 109)] + [(77, y0, 109, y1) for y0, y1 in
                                   ((138, 167), (195, 225), (252, 282), (308, 339), (366, 396))],
    1062: [(415, 203, 515, 229), (416, 303, 515, 336)],
    1023: [(397, 85, 497, 124), (38, 394, 88, 425), (327, 394, 380, 425)] +
          [(404, y, 419, y + 15) for y in (180, 197, 259, 276, 293, 311, 329)],
}
SF_HITS = {1: (75, 363, 114, 401), 4: (154, 363, 194, 401), 0: (230, 363, 268, 401),
           3: (305, 363, 345, 401), 2: (381, 363, 420, 401)}
SF_PAGES = {0: 1081, 1: 1079, 2: 1078, 3: 1080, 4: 1082}

# (overlay, x, y, background, hit area)
OVERLAYS = [
    (1044, 273, 84, 1042, (281, 87, 351, 111)),
    (1045, 187, 82, 1042, (190, 87, 270, 115)),
    (1048, 359, 83, 1042, (370, 86, 437, 112)),
    (1033, 445, 83, 1042, (456, 87, 523, 112)),
    (1039, 531, 83, 1042, (539, 89, 612, 109)),
    (1059, 410, 198, 1062, (415, 203, 515, 229)),
    (1063, 411, 298, 1062, (416, 303, 515, 336)),
    (1109, 397, 85, 1125, (397, 85, 497, 124)),
    (1029, 38, 394, 1023, (38, 394, 88, 425)),
    (1017, 327, 394, 1023, (327, 394, 380, 425)),
] + [(1022, 404, y, 1023, (404, y, 419, y + 15)) for y in (180, 197, 259, 276, 293, 311, 329)]
for lit, grey, y, hit in zip((1034, 1037, 1046, 1040, 1049), (1035, 1038, 1047, 1041, 1050),
                             (130, 187, 242, 299, 357),
                             ((138, 167), (195, 225), (252, 282), (308, 339), (366, 396))):
    OVERLAYS.append((lit, 69, y, 1042, (77, hit[0], 109, hit[1])))
    OVERLAYS.append((grey, 69, y, 1042, (77, hit[0], 109, hit[1])))

TRANSPARENT_ICONS = list(range(1117, 1125)) + [1018, 1021, 1025]

# The 7.1 window's toolbar: rectangle (left, top, right, bottom; right and bottom outside),
# the pressed picture and where in it the rectangle's picture starts.
TOOLBAR = [((51, 7, 70, 24), 1114, (19, 0)), ((32, 7, 51, 24), 1114, (0, 0)),
           ((88, 4, 124, 26), 1115, (0, 0)), ((124, 4, 161, 26), 1115, (36, 0)),
           ((161, 4, 197, 26), 1115, (72, 0)), ((197, 4, 234, 26), 1115, (108, 0)),
           ((0, 32, 37, 54), 1116, (0, 2))]


def count(img, colour, box=None):
    region = img.crop(box) if box else img
    return sum(1 for p in region.getdata() if p == colour)


def changed_box(a, b):
    return ImageChops.difference(a, b).getbbox()


def brightness(p):
    return (p[0] + p[1] + p[2]) // 3


def check_skin(assets, skin, fail):
    def bmp(bitmap_id):
        return Image.open(os.path.join(assets, skin, "%d.bmp" % bitmap_id)).convert("RGB")

    pages = {i: bmp(i) for i in PAGES}
    for page_id, page in pages.items():
        for corner in ((0, 0), (639, 0), (0, 479), (639, 479)):
            if page.getpixel(corner) != GREEN:
                fail("%s %d: corner %s is not cut away" % (skin, page_id, corner))
        if count(page, GREEN, (14, 14, 626, 466)):
            fail("%s %d: pure green inside the body would cut a hole" % (skin, page_id))
        for box in EVERY_PAGE + PAGE_HITS.get(page_id, []):
            x0, y0, x1, y1 = box
            if count(page, GREEN, (x0, y0, x1 + 1, y1 + 1)):
                fail("%s %d: hit area %s lets clicks through" % (skin, page_id, box))

    if count(pages[1042], CURVE, (276, 131, 585, 216)):
        fail("%s 1042: the curve's colour is on its screen" % skin)

    for overlay_id, x, y, background_id, hit in OVERLAYS:
        overlay = bmp(overlay_id)
        base = pages[background_id]
        drawn = base.copy()
        drawn.paste(overlay, (x, y))
        box = changed_box(base, drawn)
        cx, cy = (hit[0] + hit[2]) // 2, (hit[1] + hit[3]) // 2
        if not box or not (box[0] <= cx < box[2] and box[1] <= cy < box[3]):
            fail("%s %d: drawn at %d,%d it changes %s, not the middle of its hit area %s" %
                 (skin, overlay_id, x, y, box, hit))
        w, h = overlay.size
        covered = max(0, min(x + w - 1, hit[2]) - max(x, hit[0]) + 1) * \
            max(0, min(y + h - 1, hit[3]) - max(y, hit[1]) + 1)
        # The contract's pictures and hit areas differ by a pixel or three (Load, the markers).
        if covered * 100 < (hit[2] - hit[0] + 1) * (hit[3] - hit[1] + 1) * 85:
            fail("%s %d: covers too little of its hit area %s" % (skin, overlay_id, hit))

    for sf_type, hit in SF_HITS.items():
        other = SF_PAGES[1 if sf_type == 0 else 0]
        box = changed_box(pages[SF_PAGES[sf_type]], pages[other])
        cx, cy = (hit[0] + hit[2]) // 2, (hit[1] + hit[3]) // 2
        if not box or not (box[0] <= cx < box[2] and box[1] <= cy < box[3]):
            fail("%s sound field %d: its page does not light its button" % (skin, sf_type))

    for icon_id in TRANSPARENT_ICONS:
        icon = bmp(icon_id)
        w, h = icon.size
        if any(icon.getpixel(c) != BLACK for c in ((0, 0), (w - 1, 0), (0, h - 1), (w - 1, h - 1))):
            fail("%s %d: not drawn on pure black" % (skin, icon_id))
        if count(icon, BLACK) > w * h * 0.85:
            fail("%s %d: almost nothing drawn" % (skin, icon_id))

    window = bmp(1113)
    for rect, pressed_id, (sx, sy) in TOOLBAR:
        left, top, right, bottom = rect
        pressed = bmp(pressed_id).crop((sx, sy, sx + right - left, sy + bottom - top))
        mid = (left + right) // 2
        # The button's edge runs along the rectangle's top and bottom rows, in both pictures.
        for picture, name in ((window, "1113"), (pressed, str(pressed_id))):
            ox, oy = (0, 0) if picture is window else (left, top)
            for y in (top, bottom - 1):
                if brightness(picture.getpixel((mid - ox, y - oy))) > 40:
                    fail("%s %s: no button edge at %d,%d of toolbar rectangle %s" %
                         (skin, name, mid, y, rect))
        if not changed_box(window.crop((left, top, right, bottom)), pressed):
            fail("%s: the pressed picture for %s looks like the released one" % (skin, rect))


def main():
    assets = sys.argv[1]
    failures = []
    for skin in SKINS:
        check_skin(assets, skin, failures.append)
    for failure in failures:
        print("FAIL: " + failure)
    print("%d skins checked, %d failures" % (len(SKINS), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
