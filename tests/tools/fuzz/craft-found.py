#!/usr/bin/env python3
"""Writes the faults the fuzz harnesses found, one file a case, as changes to seeds.py's tiny launcher and setup,
as seeds.py's icons, or as shapes for fuzz-tree-shapes (shape-*). Those that fail on the packer of today are
listed in awaiting-fixes.txt.

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


def png_signature_only():
    """An .ico of one image that starts as a PNG and holds nothing but zeros after the signature."""
    image = b"\x89PNG\r\n\x1a\n" + bytes(40)
    return struct.pack("<HHHBBBBHHII", 0, 1, 1, 0, 0, 0, 0, 1, 32, len(image), 22) + image


def setup_icon_group_repeats():
    """The tiny setup with an icon group that names its one image twice."""
    resources = seeds.setup_resources(b"package")
    image = struct.pack("<IiiHHIIiiII", 40, 16, 32, 1, 32, 0, 0, 0, 0, 0, 0)
    resources[seeds.ICON, 1, 0] = image
    resources[seeds.ICON_GROUP, 1, 0] = seeds.icon_group([(16, 1, image), (16, 1, image)])
    return seeds.image(resources)


def launcher_group_names_missing_image():
    """The tiny launcher with a first icon group of its one image (2) and a second that names image 1, missing."""
    resources = seeds.launcher_resources()
    image = struct.pack("<IiiHHIIiiII", 40, 16, 32, 1, 32, 0, 0, 0, 0, 0, 0)
    resources[seeds.ICON, 2, 0] = image
    resources[seeds.ICON_GROUP, "MAIN", 0] = seeds.icon_group([(16, 2, image)])
    resources[seeds.ICON_GROUP, 1, 0] = seeds.icon_group([(16, 1, image)])
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
    # An image with the PNG signature and nothing of a PNG after it was packed as an icon image.
    "found-png-signature-only.ico": png_signature_only,
    # A setup whose package is whole was refused for its icon group, which names an image twice.
    "found-icon-group-repeats-image.exe": setup_icon_group_repeats,
    # An empty Icon row that ARPPRODUCTICON names failed the whole pack.
    "found-empty.bin": lambda: b"",
    # The launcher's second icon group named a missing image, whose number the product's icon image then took.
    "found-launcher-group-names-missing-image.exe": launcher_group_names_missing_image,
    # The launcher's entry point lies in a section after its resources: the packer moved the section, not the
    # entry point, which then pointed into the new resource tables.
    "shape-found-entry-after-resources.bin": lambda: seeds.shape(tail=1, entry=3),
    # The exception table, TLS, load configuration and import address table inside the resource section were
    # overwritten by the new resource tables.
    "shape-found-directories-in-resources.bin": lambda: seeds.shape(directories=(2, 2, 2, 2, 0)),
    # A debug entry's data after the resources: moved, while the entry kept its old file offset and address.
    "shape-found-debug-data-after-resources.bin": lambda: seeds.shape(tail=1, directories=(0, 0, 0, 0, 1),
                                                                      debug_data=3),
    # Launcher icon groups after the first name the missing image 1, which the product's icon image then took.
    "shape-found-group-names-missing-image.bin": lambda: seeds.shape(icon_images=1, groups=[(1,), (1,)]),
    # 60,000 languages of one resource and an icon of 40,000 images: each directory within its 16-bit counts, the
    # whole past the entries a reader allows, so the setup written was refused by --info.
    "shape-found-entries-past-bound.bin": lambda: seeds.shape(icon_images=40000,
                                                              types=[(0, 1, 0, 0, 0, 60000, 0, 1)]),
    # 200 icon images: a report line of 1.4 KB that lists every size.
    "shape-found-long-icon-line.bin": lambda: seeds.shape(icon_images=200),
    # 51 names of 256 letters alike but for the last, with 2,570 languages each: every language entry compared
    # its name again, seconds of work for a tree of 1 MB.
    "shape-found-names-times-entries.bin": lambda: seeds.shape(types=[(0, 51, 256, 1, 0, 2570, 0, 1)]),
}


def main():
    seeds.write_cases(sys.argv[1:], CASES, __doc__)


if __name__ == "__main__":
    main()
