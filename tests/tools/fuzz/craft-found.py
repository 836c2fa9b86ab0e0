#!/usr/bin/env python3
"""Writes the faults the fuzz harnesses found, one file a case, as changes to seeds.py's tiny launcher and setup.

  craft-found.py OUTPUT_DIR
"""
import struct
import sys

import seeds


def patched(*changes):
    """The tiny launcher with 32-bit fields changed: (where, value), `where` a function of the header offsets."""
    image = bytearray(seeds.image(seeds.launcher_resources()))
    nt = struct.unpack_from("<I", image, 0x3C)[0]
    optional = nt + 24
    offsets = {"optional": optional, "rsrc": optional + struct.unpack_from("<H", image, nt + 20)[0] + 40}
    for where, value in changes:
        struct.pack_into("<I", image, where(offsets), value)
    return bytes(image)


def setup_with(name, data):
    """The tiny setup with one of its raw-data resources replaced."""
    resources = seeds.setup_resources(b"package")
    resources[seeds.RAW_DATA, name, 0] = data
    return seeds.image(resources)


def rsrc_raw_pointer(value):
    return (lambda at: at["rsrc"] + 20, value)


CASES = {
    # The writer patched the section table of a header copy that was never made: a write through null.
    "found-rsrc-raw-pointer-zero.exe": lambda: patched(rsrc_raw_pointer(0)),
    # Resource data inside the headers: the header copy ends before the section table it patches.
    "found-rsrc-raw-inside-headers.exe": lambda: patched(rsrc_raw_pointer(0x100)),
    # Padding up to the next multiple of a huge FileAlignment: gigabytes written for a 2 KiB launcher.
    "found-file-alignment-huge.exe": lambda: patched((lambda at: at["optional"] + 36, 0xF7000000)),
    # --info printed the stored product code as it was: terminal escapes and BEL on the user's terminal.
    "found-product-code-control.exe": lambda: setup_with("PRODUCT_CODE", b"\x1b]0;OUT\x07\x1b[2J" + seeds.PRODUCT_CODE),
}


def main():
    seeds.write_cases(sys.argv[1:], CASES, __doc__)


if __name__ == "__main__":
    main()
