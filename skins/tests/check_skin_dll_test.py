#!/usr/bin/python3
"""The contract check passes the default skins and names what is wrong with broken ones.

    check_skin_dll_test.py CHECK_SCRIPT CONTRACT SKIN_DIR BROKEN_DIR
"""

import os
import shutil
import subprocess
import sys
import tempfile


def run(check, contract, dll):
    result = subprocess.run([sys.executable, check, "--contract", contract, dll],
                            capture_output=True, text=True)
    return result.returncode, result.stdout, result.stderr


def main():
    check, contract, skins, broken = sys.argv[1:5]
    failures = []

    def expect(condition, what):
        if not condition:
            failures.append(what)

    for lang in ("en", "zh-hans", "zh-hant"):
        code, out, err = run(check, contract, os.path.join(skins, lang, "QX_AudioControlRec.dll"))
        expect(code == 0, "%s skin fails the check: %s" % (lang, err))
        expect("exports: GetResourceName, IsQEXDefaultSkin" in out, "%s exports not listed" % lang)
        expect("BITMAP     1042   lang 0x0804   921640 bytes  640x480 24 bpp" in out,
               "%s: bitmap 1042 not listed with its size" % lang)

    cases = (
        ("MissingBitmap.dll", "bitmap 1042 is missing"),
        ("NoDefaultExport.dll", "export IsQEXDefaultSkin is missing"),
    )
    for name, message in cases:
        code, _, err = run(check, contract, os.path.join(broken, name))
        expect(code == 1 and message in err, "%s: expected '%s', got %d: %s" %
               (name, message, code, err))

    with tempfile.TemporaryDirectory() as scratch:
        # A contract that wants another size for the knob.
        wrong = os.path.join(scratch, "contract.tsv")
        with open(contract, encoding="utf-8") as f, open(wrong, "w", encoding="utf-8") as g:
            for line in f:
                g.write(line.replace("1036\t16\t16", "1036\t17\t16"))
        code, _, err = run(check, wrong, os.path.join(skins, "en", "QX_AudioControlRec.dll"))
        expect(code == 1 and "bitmap 1036 is 16x16 at 24 bpp, not 17x16 at 24 bpp" in err,
               "wrong size not reported: %s" % err)
        # A library cut short is refused, not half-read.
        cut = os.path.join(scratch, "cut.dll")
        with open(os.path.join(skins, "en", "QX_AudioControlRec.dll"), "rb") as f:
            data = f.read()
        with open(cut, "wb") as f:
            f.write(data[:len(data) // 2])
        code, _, err = run(check, contract, cut)
        expect(code == 1 and "error:" in err, "a truncated library passes: %s" % err)
        # --remove-failed deletes a failing library so the build does not keep it.
        doomed = os.path.join(scratch, "doomed.dll")
        shutil.copy(os.path.join(broken, "MissingBitmap.dll"), doomed)
        subprocess.run([sys.executable, check, "--contract", contract, "--remove-failed", doomed],
                       capture_output=True)
        expect(not os.path.exists(doomed), "a failing library survives --remove-failed")

    for failure in failures:
        print("FAIL: " + failure)
    print("%d failures" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
