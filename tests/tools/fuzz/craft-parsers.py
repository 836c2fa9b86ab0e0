#!/usr/bin/env python3
"""Writes inputs for the version block and product code parsers into a directory: a version block as the packer
builds it, and product code texts in each accepted form."""
import os
import struct
import sys

BINARY, TEXT = 0, 1


def pad(data):
    return data + b"\0" * (-len(data) % 4)


def block(key, value=b"", value_length=0, kind=TEXT, children=()):
    """One VS_VERSIONINFO block: length, value length, type, key, value, children; aligned to 32 bits."""
    body = pad(key.encode("utf-16-le") + b"\0\0")
    body = pad(struct.pack("<HHH", 0, value_length, kind) + body) + value
    for child in children:
        body = pad(body) + child
    return struct.pack("<H", len(body)) + body[2:]


def text(name, value):
    encoded = value.encode("utf-16-le") + b"\0\0"
    return block(name, encoded, len(encoded) // 2, TEXT)


def version_block():
    fixed = struct.pack("<13I", 0xFEEF04BD, 0x10000, 0x10002, 0x30004, 0x10002, 0x30004, 0x3F, 0, 0x40004, 1, 0,
                        0, 0)
    strings = [text("CompanyName", "Kestrel"), text("ProductName", "Sample"), text("ProductVersion", "1.2.3.4")]
    table = block("040904b0", children=strings)
    translation = block("Translation", struct.pack("<HH", 0x409, 1200), 4, BINARY)
    return block("VS_VERSION_INFO", fixed, len(fixed), BINARY,
                 [block("StringFileInfo", children=[table]), block("VarFileInfo", children=[translation])])


CASES = {
    "version-block.bin": version_block(),
    "product-code-braced.txt": b"{6F1C2B9E-4D7A-4E35-A0B8-93C5D2E1F604}",
    "product-code-bare.txt": b"6f1c2b9e4d7a4e35a0b893c5d2e1f604",
}


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: craft-parsers.py OUTPUT_DIR")
    os.makedirs(sys.argv[1], exist_ok=True)
    for name, data in CASES.items():
        with open(os.path.join(sys.argv[1], name), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main()
