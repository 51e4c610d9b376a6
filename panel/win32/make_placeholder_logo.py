#!/usr/bin/python3
"""Writes a stand-in for the panel's logo bitmap 133: 150 by 36 pixels, 24 bits, a lettered
plate on pure green (the colour the overlay leaves out). The build uses it only while the
real picture is not in the tree.

    make_placeholder_logo.py OUTPUT.bmp
"""
import sys

from PIL import Image, ImageDraw


def main():
    image = Image.new("RGB", (150, 36), (0, 255, 0))
    draw = ImageDraw.Draw(image)
    draw.rounded_rectangle((2, 3, 147, 32), radius=8, fill=(28, 44, 92), outline=(230, 230, 240))
    draw.text((14, 12), "QEX AMPFX SUITE", fill=(240, 240, 250))
    image.save(sys.argv[1], "BMP")


if __name__ == "__main__":
    main()
