#!/usr/bin/python3
"""Lists a skin library's exports and resources and checks them against the skin contract.

    check_skin_dll.py --contract bitmaps.tsv [--listing FILE] SKIN.dll [SKIN.dll ...]

The listing goes to FILE (standard output without it); errors go to standard error.

Fails (exit 1) when an export is missing or extra, when a bitmap, dialog, menu, icon, wave or
string of the contract is missing, when a bitmap has another size or depth than the contract's,
when a wave is not PCM mono 16-bit 22050 Hz of the shipped length, when icon 1066 is present,
or when a resource is not under language 0x0804.
"""

import argparse
import os
import struct
import sys

RT_ICON, RT_BITMAP, RT_MENU, RT_DIALOG, RT_STRING, RT_GROUP_ICON = 3, 2, 4, 5, 6, 14
TYPE_NAMES = {RT_ICON: "ICON", RT_BITMAP: "BITMAP", RT_MENU: "MENU", RT_DIALOG: "DIALOG",
              RT_STRING: "STRING", RT_GROUP_ICON: "GROUP_ICON"}
EXPORTS = {"GetResourceName", "IsQEXDefaultSkin"}
DIALOGS = (104, 1064, 1074, 1110)
WAVES = {1071: 301510, 1072: 317002}
STRINGS = (1075, 1076, 1077, 1078)
LANGUAGE = 0x0804


class PeError(Exception):
    pass


class Pe:
    """The few parts of a PE image the check needs: sections, exports, resources."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise PeError("no MZ header")
        pe = self.u32(0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        self.machine, sections, _, _, _, opt_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        magic = self.u16(opt)
        if magic == 0x10B:
            dirs = opt + 96
        elif magic == 0x20B:
            dirs = opt + 112
        else:
            raise PeError("unknown optional header 0x%x" % magic)
        self.dirs = [struct.unpack_from("<II", data, dirs + 8 * i) for i in range(3)]
        self.sections = []
        table = opt + opt_size
        for i in range(sections):
            _, vsize, va, raw_size, raw = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((va, max(vsize, raw_size), raw))

    def u16(self, off):
        return struct.unpack_from("<H", self.data, off)[0]

    def u32(self, off):
        return struct.unpack_from("<I", self.data, off)[0]

    def offset(self, rva, length=1):
        """The file offset of `length` bytes at `rva`, which must all be in the file."""
        for va, size, raw in self.sections:
            if va <= rva < va + size:
                off = raw + rva - va
                if off + length > len(self.data):
                    raise PeError("0x%x bytes at 0x%x lie past the end of the file" %
                                  (length, rva))
                return off
        raise PeError("address 0x%x is in no section" % rva)

    def cstring(self, rva):
        off = self.offset(rva)
        return self.data[off:self.data.index(b"\0", off)].decode("ascii")

    def exports(self):
        rva, size = self.dirs[0]
        if not rva:
            return []
        d = self.offset(rva)
        count, names = self.u32(d + 24), self.u32(d + 32)
        return [self.cstring(self.u32(self.offset(names) + 4 * i)) for i in range(count)]

    def resources(self):
        """(type, name, language, bytes) for every leaf; names are ints or strings."""
        rva, _ = self.dirs[2]
        if not rva:
            return []
        base = self.offset(rva)
        out = []

        def entries(off):
            named, ids = struct.unpack_from("<HH", self.data, base + off + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.data, base + off + 16 + 8 * i)
                if name & 0x80000000:
                    at = base + (name & 0x7FFFFFFF)
                    length = self.u16(at)
                    name = self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
                yield name, target

        for rtype, t in entries(0):
            for rname, n in entries(t & 0x7FFFFFFF):
                for lang, leaf in entries(n & 0x7FFFFFFF):
                    data_rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    off = self.offset(data_rva, size)
                    out.append((rtype, rname, lang, self.data[off:off + size]))
        return out


def read_contract(path):
    bitmaps = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            bitmap_id, w, h = line.split("\t")[:3]
            bitmaps[int(bitmap_id)] = (int(w), int(h))
    return bitmaps


def check(path, bitmaps, out):
    errors = []
    with open(path, "rb") as f:
        pe = Pe(f.read())
    exports = pe.exports()
    resources = pe.resources()
    print("%s (machine 0x%x)" % (path, pe.machine), file=out)
    print("  exports: %s" % ", ".join(exports), file=out)
    by_key = {}
    for rtype, rname, lang, data in resources:
        by_key.setdefault((rtype, rname), []).append((lang, data))
        tname = TYPE_NAMES.get(rtype, str(rtype))
        extra = ""
        if rtype == RT_BITMAP and len(data) >= 40:
            _, w, h, _, bpp = struct.unpack_from("<IiiHH", data)
            extra = "  %dx%d %d bpp" % (w, abs(h), bpp)
        print("  %-10s %-6s lang 0x%04x %8d bytes%s" % (tname, rname, lang, len(data), extra),
              file=out)
        if lang != LANGUAGE:
            errors.append("%s %s is under language 0x%04x, not 0x%04x" % (tname, rname, lang,
                                                                          LANGUAGE))
    for name in sorted(EXPORTS - set(exports)):
        errors.append("export %s is missing" % name)
    for name in sorted(set(exports) - EXPORTS):
        errors.append("export %s is not part of a skin" % name)
    for bitmap_id, (w, h) in sorted(bitmaps.items()):
        found = by_key.get((RT_BITMAP, bitmap_id))
        if not found:
            errors.append("bitmap %d is missing" % bitmap_id)
            continue
        data = found[0][1]
        _, bw, bh, _, bpp = struct.unpack_from("<IiiHH", data)
        if (bw, abs(bh), bpp) != (w, h, 24):
            errors.append("bitmap %d is %dx%d at %d bpp, not %dx%d at 24 bpp" %
                          (bitmap_id, bw, abs(bh), bpp, w, h))
    for dialog_id in DIALOGS:
        if (RT_DIALOG, dialog_id) not in by_key:
            errors.append("dialog %d is missing" % dialog_id)
    if (RT_MENU, 1073) not in by_key:
        errors.append("menu 1073 is missing")
    for icon_id in (1088, 1091):
        if (RT_GROUP_ICON, icon_id) not in by_key:
            errors.append("icon %d is missing" % icon_id)
    if (RT_GROUP_ICON, 1066) in by_key:
        errors.append("icon 1066 is present; the default skins carry no window icon")
    for wave_id, size in WAVES.items():
        found = by_key.get(("WAVE", wave_id))
        if not found:
            errors.append("WAVE %d is missing" % wave_id)
            continue
        data = found[0][1]
        fmt = struct.unpack_from("<HHIIHH", data, 20) if len(data) >= 36 else None
        if data[:4] != b"RIFF" or data[8:16] != b"WAVEfmt " or fmt != (1, 1, 22050, 44100, 2, 16):
            errors.append("WAVE %d is not RIFF PCM mono 16-bit 22050 Hz" % wave_id)
        if len(data) != size:
            errors.append("WAVE %d has %d bytes, not %d" % (wave_id, len(data), size))
    for string_id in STRINGS:
        if (RT_STRING, string_id // 16 + 1) not in by_key:
            errors.append("string %d is missing" % string_id)
    for error in errors:
        print("error: %s: %s" % (path, error), file=sys.stderr)
    return not errors


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--contract", required=True)
    parser.add_argument("--listing", help="file for the list of exports and resources")
    parser.add_argument("--remove-failed", action="store_true",
                        help="delete a library that fails, so the build makes it again")
    parser.add_argument("dlls", nargs="+")
    args = parser.parse_args()
    bitmaps = read_contract(args.contract)
    out = open(args.listing, "w", encoding="utf-8") if args.listing else sys.stdout
    ok = True
    for path in args.dlls:
        try:
            passed = check(path, bitmaps, out)
        except (PeError, struct.error, ValueError, IndexError) as e:
            print("error: %s: not a readable PE image (%s)" % (path, e), file=sys.stderr)
            passed = False
        if not passed and args.remove_failed:
            os.remove(path)
        ok = ok and passed
    if out is not sys.stdout:
        out.close()
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
