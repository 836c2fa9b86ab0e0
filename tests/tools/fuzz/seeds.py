#!/usr/bin/env python3
"""Small inputs for fuzzing the packer: a tiny launcher image and a tiny setup made from it, a tiny executable with
icon groups, a version block as the packer builds it, and product code texts.

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
    strings = [text("CompanyName", "Kestrel"), text("ProductName", "Sample"), text("ProductVersion", "1.2.3.4")]
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


def image(resources):
    """A 64-bit image with one code section and a resource section after it."""
    headers_size, text_rva, rsrc_rva = 0x200, 0x1000, 0x2000
    rsrc = resource_section(resources, rsrc_rva)
    rsrc_raw = pad(rsrc, FILE_ALIGNMENT)
    image_size = rsrc_rva + len(pad(rsrc, SECTION_ALIGNMENT))
    directories = [(0, 0)] * 16
    directories[2] = (rsrc_rva, len(rsrc))
    optional = struct.pack("<HBBIIIIIQIIHHHHHHIIIIHHQQQQII", 0x20B, 14, 0, FILE_ALIGNMENT, len(rsrc_raw), 0,
                           text_rva, text_rva, 0x140000000, SECTION_ALIGNMENT, FILE_ALIGNMENT, 6, 0, 0, 0, 6, 0, 0,
                           image_size, headers_size, 0, 2, 0x8160, 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    optional += b"".join(struct.pack("<II", *d) for d in directories)
    sections = struct.pack("<8sIIIIIIHHI", b".text", 1, text_rva, FILE_ALIGNMENT, headers_size, 0, 0, 0, 0,
                           0x60000020)
    sections += struct.pack("<8sIIIIIIHHI", b".rsrc", len(rsrc), rsrc_rva, len(rsrc_raw),
                            headers_size + FILE_ALIGNMENT, 0, 0, 0, 0, 0x40000040)
    dos = bytearray(64)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, 64)
    file_header = struct.pack("<HHIIIHH", 0x8664, 2, 0, 0, 0, len(optional), 0x22)
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


def icon_group(images):
    """An icon group directory: (width, id, image) entries, the image bytes only for their size."""
    entries = b"".join(struct.pack("<BBBBHHIH", width, width, 0, 0, 1, 32, len(image), ident)
                       for width, ident, image in images)
    return struct.pack("<HHH", 0, 1, len(images)) + entries


def iconic_resources():
    """Two icon groups, the named one first, sharing an image: a 16-pixel bitmap, a 32-pixel one and a PNG
    (the images are only their headers and a few pixels)."""
    small = struct.pack("<IiiHHIIiiII", 40, 16, 32, 1, 32, 0, 0, 0, 0, 0, 0) + bytes(64)
    large = struct.pack("<IiiHHIIiiII", 40, 32, 64, 1, 32, 0, 0, 0, 0, 0, 0) + bytes(64)
    png = b"\x89PNG\r\n\x1a\n" + bytes(40)
    resources = launcher_resources()
    resources.update({(ICON, 1, ENGLISH): small, (ICON, 2, ENGLISH): large, (ICON, 3, 0): png,
                      (ICON_GROUP, "MAIN", ENGLISH): icon_group([(16, 1, small), (32, 2, large), (0, 3, png)]),
                      (ICON_GROUP, 1, ENGLISH): icon_group([(32, 2, large)])})
    return resources


SEEDS = {
    "mini-launcher.exe": lambda: image(launcher_resources()),
    "mini-setup.exe": lambda: image(setup_resources(bytes(range(256)) * 2)),
    "iconic.exe": lambda: image(iconic_resources()),
    "version-block.bin": version_block,
    "product-code-braced.txt": lambda: PRODUCT_CODE,
    "product-code-bare.txt": lambda: b"6f1c2b9e4d7a4e35a0b893c5d2e1f604",
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
