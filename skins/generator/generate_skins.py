#!/usr/bin/python3
"""Draws the three default skins and writes the files their resource scripts take.

    generate_skins.py --assets DIR --panel-res DIR [--docs DIR]

--assets gets one folder per skin (en, zh-hans, zh-hant) with a 24-bit BMP per bitmap id,
and common/ with the two tray icons and the two test sounds; --panel-res gets the panel's
own logo bitmap; --docs gets a contact sheet per skin and pictures of the composed pages.
Exits with 77 when a font the labels need is not installed.
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import skin_art as art  # noqa: E402
import skin_files  # noqa: E402
from skin_texts import SKINS, texts  # noqa: E402

FONT_PACKAGES = {"sans": "fonts-dejavu-core", "bold": "fonts-dejavu-core",
                 "cjk": "fonts-wqy-microhei"}


def missing_fonts():
    return [(kind, path) for kind, path in art.FONT_FILES.items() if not os.path.exists(path)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--assets", required=True)
    parser.add_argument("--panel-res", required=True)
    parser.add_argument("--docs")
    parser.add_argument("--skins", nargs="*", default=list(SKINS))
    args = parser.parse_args()

    missing = missing_fonts()
    if missing:
        for kind, path in missing:
            print("font missing: %s (Debian package %s)" % (path, FONT_PACKAGES[kind]),
                  file=sys.stderr)
        return 77

    import skin_pages  # the pages load fonts as they draw
    import skin_docs

    common = os.path.join(args.assets, "common")
    os.makedirs(common, exist_ok=True)
    skin_files.write_file(os.path.join(common, "1071.wav"), skin_files.bee_wave())
    skin_files.write_file(os.path.join(common, "1072.wav"), skin_files.music_wave())
    skin_files.write_file(os.path.join(common, "1088.ico"), skin_files.tray_icon(present=False))
    skin_files.write_file(os.path.join(common, "1091.ico"), skin_files.tray_icon(present=True))
    os.makedirs(args.panel_res, exist_ok=True)
    skin_files.write_file(os.path.join(args.panel_res, "logo133.bmp"),
                          skin_files.bmp_bytes(skin_files.panel_logo()))

    for name in args.skins:
        skin = skin_pages.Skin(name, texts(name))
        bitmaps = skin.bitmaps()
        folder = os.path.join(args.assets, name)
        os.makedirs(folder, exist_ok=True)
        for bitmap_id, image in sorted(bitmaps.items()):
            skin_files.write_file(os.path.join(folder, "%d.bmp" % bitmap_id),
                                  skin_files.bmp_bytes(image))
        if args.docs:
            skin_docs.write_pictures(args.docs, name, skin, bitmaps)
    return 0


if __name__ == "__main__":
    sys.exit(main())
