#!/usr/bin/python3
"""Writes a compiled resource file (.res) holding one file under a named resource type.

windres reads some type names as keywords (MANIFEST becomes RT_MANIFEST), so a payload whose
type must be the string itself is written here and linked beside the resource script.

    named_resource.py OUTPUT.res TYPE ID FILE
"""

import struct
import sys


def pad4(data):
    return data + b"\0" * (-len(data) % 4)


def entry(type_field, name_field, data, language=0, flags=0x30):
    header = pad4(type_field + name_field)
    header += struct.pack("<IHHII", 0, flags, language, 0, 0)
    return pad4(struct.pack("<II", len(data), 8 + len(header)) + header + data)


def main():
    output, type_name, resource_id, path = sys.argv[1:5]
    with open(path, "rb") as source:
        data = source.read()
    ordinal = lambda value: struct.pack("<HH", 0xFFFF, value)
    # A .res file opens with an empty entry that marks its format.
    res = entry(ordinal(0), ordinal(0), b"", flags=0)
    res += entry((type_name + "\0").encode("utf-16-le"), ordinal(int(resource_id)), data)
    with open(output, "wb") as target:
        target.write(res)


if __name__ == "__main__":
    main()
