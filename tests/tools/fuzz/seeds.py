#!/usr/bin/env python3
"""Small inputs for fuzzing the packer: a tiny launcher image and a tiny setup made from it, tiny executables with
icon groups (64-bit and 32-bit), a launcher with icon groups of its own, trees at the reader's bounds, a version
block as the packer builds it, product code texts, and shapes for fuzz-tree-shapes.

  seeds.py OUTPUT_DIR
"""
import os
import struct
import sys

BINARY, TEXT = 0, 1
ICON, RAW_DATA, ICON_GROUP, VERSION = 3, 10, 14, 16
ENGLISH = 0x409
PRODUCT_CODE = b"{6F1C2B9E-4D7A-4E35-A0B8-93C5D2E1F604}"
FILE_ALIGNMENT, SECTION_ALIGNMENT = 0x200, 0x1000


def pad(data, alignment=4):
    return data + b"\0" * (-len(data) % alignment)


def block(key, value=b"", value_length=0, kind=TEXT, children=()):
    """One VS_VERSIONINFO block: length, value length, type, key, value, children; aligned to 32 bits."""
    body = pad(struct.pack("<HHH", 0, value_length, kind) + key.encode("utf-16-le") + b"\0\0") + value
    for child in children:
        body = pad(body) + child
    return struct.pack("<H", len(body)) + body[2:]


def text(name, value):
    encoded = value.encode("utf-16-le") + b"\0\0"
    return block(name, encoded, len(encoded) // 2, TEXT)


def version_block():
    fixed = struct.pack("<13I", 0xFEEF04BD, 0x10000, 0x10002, 0x30004, 0x10002, 0x30004, 0x3F, 0, 0x40004, 1, 0,
                        0, 0)
    strings = [text("CompanyName", "Kestrel"), text("KestrelLauncher", "1"), text("ProductName", "Sample"),
               text("ProductVersion", "1.2.3.4")]
    table = block("040904b0", children=strings)
    translation = block("Translation", struct.pack("<HH", ENGLISH, 1200), 4, BINARY)
    return block("VS_VERSION_INFO", fixed, len(fixed), BINARY,
                 [block("StringFileInfo", children=[table]), block("VarFileInfo", children=[translation])])


def crc32c(data):
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = crc >> 1 ^ (0x82F63B78 if crc & 1 else 0)
    return crc ^ 0xFFFFFFFF


def resource_section(resources, rva):
    """A resource section at `rva`: directories (root, types, names, languages), name texts, data entries, data.
    `resources` maps (type, name, language) to bytes; types and names are numbers or texts."""
    tree = {}
    for (kind, name, language), data in resources.items():
        tree.setdefault(kind, {}).setdefault(name, {})[language] = data

    def ordered(ids):  # texts first, upper-cased, then numbers
        return sorted(ids, key=lambda i: (0, i.upper(), 0) if isinstance(i, str) else (1, "", i))

    def directory_size(count):
        return 16 + 8 * count

    tree_size = directory_size(len(tree))
    for kind in ordered(tree):
        tree_size += directory_size(len(tree[kind]))
        for name in tree[kind]:
            tree_size += directory_size(len(tree[kind][name]))
    texts = bytearray()
    text_at = {}
    for kind in ordered(tree):
        for ident in [kind] + list(tree[kind]):
            if isinstance(ident, str) and ident not in text_at:
                text_at[ident] = tree_size + len(texts)
                texts += struct.pack("<H", len(ident)) + ident.encode("utf-16-le")
    entries_at = tree_size + len(pad(bytes(texts), 8))
    leaves = [(kind, name, language) for kind in ordered(tree) for name in ordered(tree[kind])
              for language in sorted(tree[kind][name])]
    data_at = entries_at + 16 * len(leaves)

    out = bytearray()

    def directory(ids, child_offset):
        named = [i for i in ids if isinstance(i, str)]
        out.extend(struct.pack("<IIHHHH", 0, 0, 0, 0, len(named), len(ids) - len(named)))
        for ident in ordered(ids):
            field = text_at[ident] | 0x80000000 if isinstance(ident, str) else ident
            out.extend(struct.pack("<II", field, child_offset(ident)))

    # Breadth first: the root, then every type's directory, then every name's.
    type_at, name_at, at = {}, {}, directory_size(len(tree))
    for kind in ordered(tree):
        type_at[kind] = at
        at += directory_size(len(tree[kind]))
    for kind in ordered(tree):
        for name in ordered(tree[kind]):
            name_at[kind, name] = at
            at += directory_size(len(tree[kind][name]))
    leaf_index = {leaf: i for i, leaf in enumerate(leaves)}
    directory(list(tree), lambda kind: type_at[kind] | 0x80000000)
    for kind in ordered(tree):
        directory(list(tree[kind]), lambda name, kind=kind: name_at[kind, name] | 0x80000000)
    for kind in ordered(tree):
        for name in ordered(tree[kind]):
            directory(list(tree[kind][name]),
                      lambda language, kind=kind, name=name: entries_at + 16 * leaf_index[kind, name, language])
    out += pad(bytes(texts), 8)
    payload = bytearray()
    for leaf in leaves:
        data = tree[leaf[0]][leaf[1]][leaf[2]]
        out += struct.pack("<IIII", rva + data_at + len(payload), len(data), 0, 0)
        payload += pad(data, 8)
    return bytes(out + payload)


def image(resources, bits=64):
    """A 64-bit (or 32-bit) image with one code section and a resource section after it."""
    headers_size, text_rva, rsrc_rva = 0x200, 0x1000, 0x2000
    rsrc = resource_section(resources, rsrc_rva)
    rsrc_raw = pad(rsrc, FILE_ALIGNMENT)
    image_size = rsrc_rva + len(pad(rsrc, SECTION_ALIGNMENT))
    directories = [(0, 0)] * 16
    directories[2] = (rsrc_rva, len(rsrc))
    layout = (FILE_ALIGNMENT, len(rsrc_raw), 0, text_rva, text_rva)
    rest = (SECTION_ALIGNMENT, FILE_ALIGNMENT, 6, 0, 0, 0, 6, 0, 0, image_size, headers_size, 0, 2, 0x8160)
    if bits == 64:
        optional = struct.pack("<HBBIIIIIQIIHHHHHHIIIIHHQQQQII", 0x20B, 14, 0, *layout, 0x140000000, *rest,
                               0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
        machine, characteristics = 0x8664, 0x22
    else:
        optional = struct.pack("<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII", 0x10B, 14, 0, *layout, text_rva, 0x400000, *rest,
                               0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
        machine, characteristics = 0x14C, 0x102
    optional += b"".join(struct.pack("<II", *d) for d in directories)
    sections = struct.pack("<8sIIIIIIHHI", b".text", 1, text_rva, FILE_ALIGNMENT, headers_size, 0, 0, 0, 0,
                           0x60000020)
    sections += struct.pack("<8sIIIIIIHHI", b".rsrc", len(rsrc), rsrc_rva, len(rsrc_raw),
                            headers_size + FILE_ALIGNMENT, 0, 0, 0, 0, 0x40000040)
    dos = bytearray(64)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, 64)
    file_header = struct.pack("<HHIIIHH", machine, 2, 0, 0, 0, len(optional), characteristics)
    headers = bytes(dos) + b"PE\0\0" + file_header + optional + sections
    code = b"\xC3"  # ret
    return pad(headers, FILE_ALIGNMENT) + pad(code, FILE_ALIGNMENT) + rsrc_raw


def launcher_resources():
    return {(VERSION, 1, ENGLISH): version_block(), (RAW_DATA, "CONFIG", 0): b"kestrel", (24, 1, ENGLISH): b"<a/>"}


def setup_resources(package):
    resources = launcher_resources()
    resources[RAW_DATA, "MSI", 0] = package
    resources[RAW_DATA, "MSI_DIGEST", 0] = b"crc32c:%08x" % crc32c(package)
    resources[RAW_DATA, "PRODUCT_CODE", 0] = PRODUCT_CODE
    return resources


def icon_group(images, room=0):
    """An icon group directory: (width, id, image) entries, the image bytes only for their size; with `room`,
    that many more entries follow that its count leaves out."""
    entries = b"".join(struct.pack("<BBBBHHIH", width, width, 0, 0, 1, 32, len(image), ident)
                       for width, ident, image in images)
    return struct.pack("<HHH", 0, 1, len(images) - room) + entries


def png(size):
    """A PNG's signature and header chunk, of `size` pixels square, and a few bytes of what would follow."""
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + struct.pack(">I", 13) + b"IHDR" + header + struct.pack(">I", 0) + bytes(16)


def iconic_resources():
    """Two icon groups, the named one first, sharing an image: a 16-pixel bitmap, a 32-pixel one and a PNG
    (the images are only their headers and a few pixels)."""
    small = struct.pack("<IiiHHIIiiII", 40, 16, 32, 1, 32, 0, 0, 0, 0, 0, 0) + bytes(64)
    large = struct.pack("<IiiHHIIiiII", 40, 32, 64, 1, 32, 0, 0, 0, 0, 0, 0) + bytes(64)
    resources = launcher_resources()
    resources.update({(ICON, 1, ENGLISH): small, (ICON, 2, ENGLISH): large, (ICON, 3, 0): png(256),
                      (ICON_GROUP, "MAIN", ENGLISH): icon_group([(16, 1, small), (32, 2, large), (0, 3, png(256))]),
                      (ICON_GROUP, 1, ENGLISH): icon_group([(32, 2, large)])})
    return resources


def launcher_with_icon_groups():
    """The iconic resources, and a third group that names an image the launcher lacks (9) beside one it has."""
    resources = iconic_resources()
    resources[ICON_GROUP, 2, ENGLISH] = icon_group([(32, 2, bytes(104)), (16, 9, bytes(104))])
    return resources


def setup_with_many_sizes():
    """A setup whose first icon group lists 140 images, its report line close to 1 KiB, with 60 more entries
    after them that its count leaves out."""
    resources = setup_resources(bytes(range(256)))
    image = struct.pack("<IiiHHIIiiII", 40, 16, 32, 1, 32, 0, 0, 0, 0, 0, 0)
    resources[ICON, 1, 0] = image
    resources[ICON_GROUP, 1, 0] = icon_group([(16, n, image) for n in range(1, 201)], room=60)
    return resources


def names_near_bound():
    """A launcher whose names take 2^20 - 25 code units of the 2^20 a tree may name: the packer's own three
    names (25 units) take its setup to the bound exactly."""
    resources = launcher_resources()
    left = (1 << 20) - 25 - len("CONFIG")
    index = 0
    while left > 0:
        length = min(left, 0xFFFF)
        name = "%04d" % index + "N" * (length - 4)
        resources[RAW_DATA, name, 0] = b"n"
        left -= length
        index += 1
    return resources


def fuzzed_data(values):
    """Bytes that the fuzzers' data provider reads as `values`, (value, largest) pairs in the order it asks for
    them: it takes each from the end, most significant byte first, in as many bytes as the largest needs."""
    out = b""
    for value, largest in values:
        out += value.to_bytes(max(1, (largest.bit_length() + 7) // 8), "big")
    return bytes(reversed(out))


def shape(tail=0, entry=1, directories=(0, 0, 0, 0, 0), debug_data=1, icon_images=0, present=0, groups=(),
          types=()):
    """An input of fuzz-tree-shapes: where the parts lie (0 none, 1 code, 2 resources, 3 tail), the images of the
    package's icon, the launcher's icon images (a mask of 1 to 8) and groups (lists of image numbers), and
    generated types: (kind, names, name length, shared start, shared texts, languages, data size, one datum)."""
    values = [(tail, 255), (entry, 3)] + [(d, 3) for d in directories] + [(debug_data, 3), (icon_images, 0xFFFF),
                                                                           (present, 255), (len(groups), 3)]
    for group in groups:
        values += [(len(group) - 1, 3)] + [(n - 1, 7) for n in group]
    values.append((len(types), 3))
    for kind, names, length, shared_start, shared_texts, languages, size, one in types:
        values += [(kind, 2), (names - 1, 0xFFFE), (length, 0xFFFF), (shared_start, 255), (shared_texts, 255),
                   (languages - 1, 0xFFFE), (size, 16), (one, 255)]
    return fuzzed_data(values)


SEEDS = {
    "mini-launcher.exe": lambda: image(launcher_resources()),
    "mini-setup.exe": lambda: image(setup_resources(bytes(range(256)) * 2)),
    "iconic.exe": lambda: image(iconic_resources()),
    "iconic-32-bit.exe": lambda: image(iconic_resources(), bits=32),
    "launcher-icon-groups.exe": lambda: image(launcher_with_icon_groups()),
    "setup-many-icon-sizes.exe": lambda: image(setup_with_many_sizes()),
    "launcher-names-near-bound.exe": lambda: image(names_near_bound()),
    "version-block.bin": version_block,
    "product-code-braced.txt": lambda: PRODUCT_CODE,
    "product-code-bare.txt": lambda: b"6f1c2b9e4d7a4e35a0b893c5d2e1f604",
    "shape-small.bin": lambda: shape(tail=1, directories=(1, 1, 3, 1, 1), icon_images=2, present=0b111,
                                     groups=[(1, 2), (2, 3)], types=[(1, 3, 8, 0, 0, 2, 4, 0)]),
    "shape-long-names.bin": lambda: shape(types=[(0, 2, 4096, 1, 0, 256, 0, 1), (2, 2, 0, 0, 1, 256, 0, 1)]),
    "shape-many-entries.bin": lambda: shape(icon_images=100, types=[(1, 300, 6, 0, 0, 50, 1, 0)]),
    "shape-icon-images.bin": lambda: shape(icon_images=120, present=0b1, groups=[(1,)]),
    # Names of 2^20 - 32 code units under the raw-data type, where the packer adds 25 units of its own; and of
    # 2^20 - 16, which the packer's take past the 2^20 a tree may name.
    "shape-names-near-bound.bin": lambda: shape(types=[(0, 16, 65534, 0, 0, 1, 0, 1)]),
    "shape-names-past-bound.bin": lambda: shape(types=[(0, 16, 65535, 0, 0, 1, 0, 1)]),
}


def write_cases(arguments, cases, usage):
    """The command of a crafting script: one file a case in the directory named by its only argument."""
    if len(arguments) != 1:
        sys.exit(usage.strip())
    os.makedirs(arguments[0], exist_ok=True)
    for name, make in cases.items():
        with open(os.path.join(arguments[0], name), "wb") as out:
            out.write(make())


def main():
    write_cases(sys.argv[1:], SEEDS, __doc__)


if __name__ == "__main__":
    main()
