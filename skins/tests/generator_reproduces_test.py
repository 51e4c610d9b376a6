#!/usr/bin/python3
"""Runs the skin generator into a scratch folder and compares every file it writes with the
committed one. Exits 77 (skipped) when the fonts the labels need are not installed.

    generator_reproduces_test.py SKINS_DIR PANEL_RES_DIR
"""

import filecmp
import os
import subprocess
import sys
import tempfile


def main():
    skins, panel_res = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as scratch:
        result = subprocess.run(
            [sys.executable, os.path.join(skins, "generator", "generate_skins.py"),
             "--assets", os.path.join(scratch, "assets"),
             "--panel-res", os.path.join(scratch, "res")])
        if result.returncode == 77:
            print("skipped: the generator's fonts are not installed "
                  "(fonts-dejavu-core, fonts-wqy-microhei)")
            return 77
        if result.returncode != 0:
            print("generator failed with %d" % result.returncode)
            return 1
        pairs = [(os.path.join(scratch, "res", "logo133.bmp"),
                  os.path.join(panel_res, "logo133.bmp"))]
        for folder in sorted(os.listdir(os.path.join(scratch, "assets"))):
            made = os.path.join(scratch, "assets", folder)
            for name in sorted(os.listdir(made)):
                pairs.append((os.path.join(made, name), os.path.join(skins, "assets", folder,
                                                                     name)))
        committed = set()
        for folder in os.listdir(os.path.join(skins, "assets")):
            for name in os.listdir(os.path.join(skins, "assets", folder)):
                committed.add(os.path.join(skins, "assets", folder, name))
        failures = 0
        for made, kept in pairs:
            committed.discard(kept)
            if not os.path.exists(kept):
                print("not committed: %s" % kept)
                failures += 1
            elif not filecmp.cmp(made, kept, shallow=False):
                print("differs from the generator's output: %s" % kept)
                failures += 1
        for stale in sorted(committed):
            print("committed but no longer generated: %s" % stale)
            failures += 1
        print("%d files compared, %d failures" % (len(pairs), failures))
        return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
