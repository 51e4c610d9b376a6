#!/usr/bin/python3
"""Compares each page's screenshot with the picture the panel composed for it, in every pixel
of the window that is not the colour key (pure green, cut out of the window), and prints the
share of equal pixels per page and over all pages. The key's pixels must not reach the
screen: where the picture is pure green, the screen shows what lies beneath. Exit status 1
when any page falls below the required share, shows green through its cut-out, or is missing.

    compare_pages.py FOLDER PAGES MIN_SHARE
    compare_pages.py --host HOST_FOLDER FOLDER PAGES MIN_SHARE
FOLDER holds page-N.bmp (the composed picture), page-N.txt (the window's x y w h on the
screen) and shot-N.png (the screen) for N = 0 .. PAGES-1. With --host the screen is compared
instead with HOST_FOLDER/page-N.png, the simulated machine's screenshot of the same state,
whose cut-out pixels are transparent.
"""
import os
import sys

from PIL import Image

KEY = (0, 255, 0)


def compare(composed, screen, left, top):
    width, height = composed.size
    shot = screen.crop((left, top, left + width, top + height)).convert("RGB")
    composed = composed.convert("RGB")
    a, b = composed.load(), shot.load()
    counted = equal = leaked = 0
    for y in range(height):
        for x in range(width):
            pixel = a[x, y]
            if pixel == KEY:
                leaked += b[x, y] == KEY
                continue
            counted += 1
            if b[x, y] == pixel:
                equal += 1
    return counted, equal, leaked


def host_picture(path):
    """The host's screenshot as a composed picture: its transparent pixels are the key."""
    shot = Image.open(path).convert("RGBA")
    picture = Image.new("RGB", shot.size, KEY)
    picture.paste(shot.convert("RGB"), (0, 0), shot.getchannel("A").point(
        lambda a: 255 if a == 255 else 0))
    return picture


def main():
    args = sys.argv[1:]
    host = None
    if args[:1] == ["--host"]:
        host, args = args[1], args[2:]
    folder, pages, minimum = args[0], int(args[1]), float(args[2])
    total_counted = total_equal = 0
    failed = False
    for page in range(pages):
        stem = os.path.join(folder, "page-%d" % page)
        try:
            composed = (host_picture(os.path.join(host, "page-%d.png" % page)) if host
                        else Image.open(stem + ".bmp"))
            left, top, _, _ = (int(v) for v in open(stem + ".txt").read().split())
            screen = Image.open(os.path.join(folder, "shot-%d.png" % page))
        except (OSError, ValueError) as error:
            print("page %d: missing (%s)" % (page, error))
            failed = True
            continue
        counted, equal, leaked = compare(composed, screen, left, top)
        share = equal / counted if counted else 0.0
        print("page %d: %d of %d pixels equal (%.4f%%), %d key pixels shown"
              % (page, equal, counted, 100 * share, leaked))
        failed |= share < minimum or leaked > 0
        total_counted += counted
        total_equal += equal
    if total_counted:
        print("all pages: %d of %d pixels equal (%.4f%%)"
              % (total_equal, total_counted, 100.0 * total_equal / total_counted))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
