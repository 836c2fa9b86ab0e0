#!/usr/bin/env python3
"""Crafted images for kestrel-pack: one launcher or setup per fault a hostile sender could build.

craft.py <kestrel-launcher.exe> <packed setup.exe> <output directory>
    writes <case>.exe for every case below into the directory.
craft.py --worst-case <kestrel-launcher.exe> <output file>
    writes the setup with the largest resource tree the packer's rules allow, for timing --info.
craft.py --packable <kestrel-launcher.exe> <output directory>
    writes the launchers and icons that the packer takes at its bounds, or that one step more breaks.
craft.py --pe32-icon <icon.ico> <output file>
    writes a 32-bit executable that carries the icon, for the packer's icon tests.
"""
import os
import struct
import sys

RT_ICON = 3
RT_RCDATA = 10
RT_GROUP_ICON = 14
RT_VERSION = 16
HIGH = 0x80000000
NAME_UNITS_BOUND = 1 << 20
# The packer's own names: "MSI", "MSI_DIGEST" and "PRODUCT_CODE".
PACKER_NAME_UNITS = 3 + 10 + 12
# The data directories a launcher must keep before its resources, by index.
DIRECTORIES = {0: 'export', 1: 'import', 3: 'exception', 7: 'architecture', 8: 'global-pointer', 9: 'tls',
               10: 'load-config', 11: 'bound-import', 12: 'iat', 13: 'delay-import', 14: 'runtime-header',
               15: 'reserved'}


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


class Pe:
    """The fields of a PE32+ image that the cases change, in a mutable copy of its bytes."""

    def __init__(self, data):
        self.b = bytearray(data)
        nt = self.u32(0x3C)
        self.count = self.u16(nt + 6)
        self.opt = nt + 24
        self.table = self.opt + self.u16(nt + 20)

    def u16(self, at):
        return struct.unpack_from('<H', self.b, at)[0]

    def u32(self, at):
        return struct.unpack_from('<I', self.b, at)[0]

    def put32(self, at, value):
        struct.pack_into('<I', self.b, at, value)

    # Fields of the section table: 8 virtual size, 12 address, 16 raw size, 20 raw pointer.
    def field(self, index, offset):
        return self.table + index * 40 + offset

    def section(self, index):
        return tuple(self.u32(self.field(index, f)) for f in (8, 12, 16, 20))

    def directory(self, index):
        return self.opt + 112 + index * 8

    def directory_rva(self, index):
        return self.u32(self.directory(index))

    def offset_of(self, rva):
        """The file offset of a relative virtual address in a section's raw data."""
        for index in range(self.count):
            size, address, raw_size, raw = self.section(index)
            if address <= rva < address + raw_size:
                return raw + rva - address
        raise ValueError('0x%x lies in no section' % rva)

    def rsrc(self):
        rva = self.u32(self.directory(2))
        return next(i for i in range(self.count) if self.section(i)[1] == rva)


def read_tree(pe):
    """The resources of a well-formed tree: (type, name, language, bytes)."""
    index = pe.rsrc()
    _, va, _, raw = pe.section(index)

    def entries(offset):
        at = raw + offset
        count = pe.u16(at + 12) + pe.u16(at + 14)
        for i in range(count):
            ident, target = struct.unpack_from('<II', pe.b, at + 16 + i * 8)
            if ident & HIGH:
                text = raw + (ident & ~HIGH)
                ident = pe.b[text + 2:text + 2 + pe.u16(text) * 2].decode('utf-16-le')
            yield ident, target & ~HIGH

    found = []
    for kind, names in entries(0):
        for name, languages in entries(names):
            for language, leaf in entries(languages):
                rva, size = struct.unpack_from('<II', pe.b, raw + leaf)
                found.append((kind, name, language, bytes(pe.b[raw + rva - va:raw + rva - va + size])))
    return found


def build_tree(resources, rva, share=False):
    """A resource section as a linker lays it out: directories, names, data entries, then the data; with `share`,
    resources with the same bytes share one copy of them."""
    tree = {}
    for kind, name, language, data in resources:
        tree.setdefault(kind, {}).setdefault(name, {})[language] = data

    def order(ids):
        return sorted(ids, key=lambda i: (0, i.upper(), 0) if isinstance(i, str) else (1, '', i))

    directories = bytearray()
    texts = []
    leaves = []
    fixups = []  # (where in directories, text index) for name offsets filled in later

    def directory(ids):
        named = sum(isinstance(i, str) for i in ids)
        start = len(directories)
        directories.extend(struct.pack('<IIHHHH', 0, 0, 0, 0, named, len(ids) - named))
        directories.extend(bytes(8 * len(ids)))
        return start + 16

    def entry(at, ident, target):
        if isinstance(ident, str):
            fixups.append((at, len(texts)))
            texts.append(ident)
        else:
            struct.pack_into('<I', directories, at, ident)
        struct.pack_into('<I', directories, at + 4, target)

    kinds = order(tree)
    root = directory(kinds)
    for i, kind in enumerate(kinds):
        names = tree[kind]
        first = directory(order(names))
        entry(root + i * 8, kind, HIGH | (first - 16))
        for j, name in enumerate(order(names)):
            languages = names[name]
            inner = directory(sorted(languages))
            entry(first + j * 8, name, HIGH | (inner - 16))
            for k, language in enumerate(sorted(languages)):
                entry(inner + k * 8, language, 0)  # the data entry's offset is set below
                leaves.append((inner + k * 8 + 4, languages[language]))
    text_at = []
    blob = bytearray(directories)
    for text in texts:
        text_at.append(len(blob))
        encoded = text.encode('utf-16-le')
        blob.extend(struct.pack('<H', len(encoded) // 2) + encoded)
    for at, index in fixups:
        struct.pack_into('<I', blob, at, HIGH | text_at[index])
    blob.extend(bytes(align(len(blob), 8) - len(blob)))
    entries_at = len(blob)
    blob.extend(bytes(16 * len(leaves)))
    placed = {}
    for n, (at, data) in enumerate(leaves):
        struct.pack_into('<I', blob, at, entries_at + n * 16)
        if not share or data not in placed:
            blob.extend(bytes(align(len(blob), 8) - len(blob)))
            placed[data] = rva + len(blob)
            blob.extend(data)
        struct.pack_into('<II', blob, entries_at + n * 16, placed[data], len(data))
    return bytes(blob)


def with_resources(image, build):
    """The image with its resource section replaced by build(section address); later sections move."""
    pe = Pe(image)
    index = pe.rsrc()
    _, va, raw_size, raw = pe.section(index)
    blob = build(va)
    file_alignment, section_alignment = pe.u32(pe.opt + 36), pe.u32(pe.opt + 32)
    new_raw = align(len(blob), file_alignment)
    tail = pe.section(index + 1)[3] if index + 1 < pe.count else raw + raw_size
    out = Pe(bytes(pe.b[:raw]) + blob + bytes(new_raw - len(blob)) + bytes(pe.b[tail:]))
    out.put32(out.field(index, 8), len(blob))
    out.put32(out.field(index, 16), new_raw)
    out.put32(out.directory(2) + 4, len(blob))
    end = va + align(len(blob), section_alignment)
    for later in range(index + 1, pe.count):
        size, address, later_raw_size, later_raw = pe.section(later)
        shift = end - address
        for d in range(16):
            rva = pe.u32(pe.directory(d))
            if d != 4 and address <= rva < address + max(size, later_raw_size):
                out.put32(out.directory(d), rva + shift)
        out.put32(out.field(later, 12), address + shift)
        out.put32(out.field(later, 20), later_raw + raw + new_raw - tail)
        end = address + shift + align(max(size, later_raw_size), section_alignment)
    out.put32(out.opt + 56, end)
    out.put32(out.opt + 64, 0)
    return bytes(out.b)


def patched(image, changes):
    """The image with (field offset, value) pairs written."""
    pe = Pe(image)
    for at, value in changes:
        pe.put32(at, value)
    return bytes(pe.b)


def raw_tree(build):
    """A section whose tree build(add_directory) writes by hand; add_directory(entries) appends a directory of
    (identifier field, target field) pairs and returns its offset."""
    def make(rva):
        blob = bytearray()

        def add_directory(entries, named=0):
            at = len(blob)
            blob.extend(struct.pack('<IIHHHH', 0, 0, 0, 0, named, len(entries) - named))
            for ident, target in entries:
                blob.extend(struct.pack('<II', ident, target))
            return at

        build(add_directory, blob, rva)
        return bytes(blob)
    return make


def cube(add_directory, blob, rva):
    # Three levels of 300 entries, each level's entries all leading to one directory.
    count = 300
    root = add_directory([(0, 0)] * count)
    types = add_directory([(0, 0)] * count)
    names = add_directory([(0, 0)] * count)
    leaf = len(blob)
    blob.extend(struct.pack('<IIII', rva, 16, 0, 0))
    for directory, target in ((root, HIGH | types), (types, HIGH | names), (names, leaf)):
        for i in range(count):
            struct.pack_into('<II', blob, directory + 16 + i * 8, i + 1, target)


def shared_name(add_directory, blob, rva):
    # 20,000 named types, each with its own empty directory, all named by one text of 65,535 characters.
    count = 20000
    root = add_directory([(0, 0)] * count, named=count)
    text = len(blob)
    blob.extend(struct.pack('<H', 0xFFFF) + 'x'.encode('utf-16-le') * 0xFFFF)
    for i in range(count):
        struct.pack_into('<II', blob, root + 16 + i * 8, HIGH | text, HIGH | add_directory([]))


def outside_offset(add_directory, blob, rva):
    add_directory([(RT_RCDATA, HIGH | 0x7FFFFFF0)])


def icon_group(numbers):
    """An icon group's directory naming the icon images `numbers`."""
    numbers = list(numbers)
    return struct.pack('<HHH', 0, 1, len(numbers)) + b''.join(
        struct.pack('<BBBBHHIH', 16, 16, 0, 0, 1, 32, 40, n) for n in numbers)


def many_names(count, length=6):
    """`count` distinct names of `length` characters under the raw-data type, sharing one datum."""
    return [(RT_RCDATA, 'R%0*d' % (length - 1, i), 0, b'x') for i in range(count)]


def many_sections(launcher):
    """65,535 sections, the resource tree first and 131,068 one-byte resources in the last, as many as a tree may
    hold: a reader that looks for each resource's section one by one takes hours."""
    pe = Pe(launcher)
    count, file_alignment, section_alignment = 0xFFFF, 0x200, 0x1000
    headers = align(pe.table + count * 40, file_alignment)
    tree_rva = align(headers, section_alignment)
    languages = 0xFFFE
    leaves = 2 * languages
    tree = bytearray(struct.pack('<IIHHHHII', 0, 0, 0, 0, 0, 1, RT_RCDATA, HIGH | 24))
    tree += struct.pack('<IIHHHHIIII', 0, 0, 0, 0, 0, 2, 1, HIGH | 56, 2, HIGH | (56 + 16 + languages * 8))
    entries_at = 56 + 2 * (16 + languages * 8)
    for name in range(2):
        tree += struct.pack('<IIHHHH', 0, 0, 0, 0, 0, languages)
        tree += b''.join(struct.pack('<II', language, entries_at + (name * languages + language) * 16)
                         for language in range(languages))
    data_rva = tree_rva + align(len(tree) + leaves * 16, section_alignment) + (count - 2) * section_alignment
    tree += b''.join(struct.pack('<IIII', data_rva + leaf, 1, 0, 0) for leaf in range(leaves))
    tree_raw = align(len(tree), file_alignment)
    table = bytearray()
    address = tree_rva
    for index in range(count):
        if index == 0:
            fields = (len(tree), address, tree_raw, headers)
            address += align(len(tree), section_alignment)
        elif index == count - 1:
            fields = (leaves, address, align(leaves, file_alignment), headers + tree_raw)
        else:
            fields = (0, address, 0, 0)
            address += section_alignment
        table += b'.s'.ljust(8, b'\0') + struct.pack('<IIII', *fields) + bytes(12) + struct.pack('<I', 0x40000040)
    out = Pe(bytes(pe.b[:pe.table]) + table)
    struct.pack_into('<H', out.b, pe.opt - 18, count)
    out.b.extend(bytes(headers - len(out.b)))
    image_size = address + align(leaves, section_alignment)
    for field, value in ((32, section_alignment), (36, file_alignment), (56, image_size), (60, headers), (64, 0)):
        out.put32(pe.opt + field, value)
    for d in range(16):
        out.put32(out.directory(d), 0)
        out.put32(out.directory(d) + 4, 0)
    out.put32(out.directory(2), tree_rva)
    out.put32(out.directory(2) + 4, len(tree))
    return bytes(out.b) + bytes(tree) + bytes(tree_raw - len(tree)) + bytes(align(leaves, file_alignment))


def long_names(launcher, units):
    """One type, two names of `units` characters that differ only in the last, and `units` - 1 languages under
    each, all leading to one empty datum: a reader that looks type and name up again for every language compares
    whole names entries x name length times. At 65,535 units the entries are as many as a tree may hold."""
    languages = units - 1

    def build(add_directory, blob, rva):
        root = add_directory([(RT_RCDATA, 0)])
        names = add_directory([(0, 0), (0, 0)], named=2)
        struct.pack_into('<I', blob, root + 20, HIGH | names)
        leaf = len(blob)
        blob.extend(struct.pack('<IIII', rva, 0, 0, 0))
        for i, last in enumerate('ab'):
            text = len(blob)
            blob.extend(struct.pack('<H', units) + ('x' * (units - 1) + last).encode('utf-16-le'))
            blob.extend(bytes(-len(blob) % 4))
            inner = add_directory([(language, leaf) for language in range(languages)])
            struct.pack_into('<II', blob, names + 16 + i * 8, HIGH | text, HIGH | inner)
    return with_resources(launcher, raw_tree(build))


def with_name_units(launcher, units):
    """The launcher's resources and raw-data names of `units` characters in all, each as long as a name can be."""
    lengths = [0xFFFF] * (units // 0xFFFF) + ([units % 0xFFFF] if units % 0xFFFF else [])
    names = [(RT_RCDATA, 'N%02d' % i + 'x' * (length - 3), 0, b'x') for i, length in enumerate(lengths)]
    return with_resources(launcher, lambda rva: build_tree(read_tree(Pe(launcher)) + names, rva))


def as_pe32(image):
    """The image with a 32-bit optional header: the same fields, those of 64 bits cut to 32, and the section table
    moved up behind it."""
    pe = Pe(image)
    nt = pe.opt - 24
    opt = bytes(pe.b[pe.opt:pe.opt + 240])
    narrow = b''.join(struct.pack('<I', struct.unpack_from('<Q', opt, at)[0] & 0xFFFFFFFF) for at in (72, 80, 88, 96))
    header = (struct.pack('<H', 0x10B) + opt[2:24] + struct.pack('<I', 0) + opt[24:28] + opt[32:72] + narrow +
              opt[104:240])
    table = bytes(pe.b[pe.table:pe.table + pe.count * 40])
    out = bytearray(pe.b)
    struct.pack_into('<HH', out, nt + 4, 0x14C, pe.count)
    struct.pack_into('<H', out, nt + 20, len(header))
    out[pe.opt:pe.opt + len(header) + len(table) + 16] = header + table + bytes(16)
    return bytes(out)


def with_debug_entry(launcher, address, pointer):
    """The launcher with a debug directory of one entry, in the slack of a section before its resources, whose 16
    bytes of data lie at `address` in memory and `pointer` in the file (0: nowhere)."""
    pe = Pe(launcher)
    slack = next(i for i in range(pe.rsrc()) if pe.section(i)[2] >= align(pe.section(i)[0], 4) + 28)
    size, va, _, raw = pe.section(slack)
    at = align(size, 4)
    entry = struct.pack('<IIHHIIII', 0, 0, 0, 0, 2, 16, address, pointer)
    out = Pe(patched(launcher, [(pe.directory(6), va + at), (pe.directory(6) + 4, len(entry))]))
    out.b[raw + at:raw + at + len(entry)] = entry
    return bytes(out.b)


def launcher_cases(launcher):
    pe = Pe(launcher)
    index = pe.rsrc()
    _, rsrc_va, _, rsrc_raw = pe.section(index)
    resources = read_tree(pe)
    big_group = icon_group(range(1, 0x10000))
    _, reloc_va, _, reloc_raw = pe.section(index + 1)
    relocations = pe.offset_of(pe.directory_rva(5))
    directories = {}
    for position, (d, name) in enumerate(DIRECTORIES.items()):
        # Alternately a range inside the resources and one in the section after them.
        place, rva = ('in', rsrc_va + 16) if position % 2 == 0 else ('after', reloc_va)
        directories['%s-directory-%s-rsrc' % (name, place)] = patched(
            launcher, [(pe.directory(d), rva), (pe.directory(d) + 4, 16)])
    return {
        **directories,
        # Starts before the resources and ends inside them.
        'import-directory-into-rsrc': patched(launcher, [(pe.directory(1), rsrc_va - 8), (pe.directory(1) + 4, 16)]),
        'entry-point-in-rsrc': patched(launcher, [(pe.opt + 16, rsrc_va + 16)]),
        'entry-point-after-rsrc': patched(launcher, [(pe.opt + 16, reloc_va)]),
        'relocations-in-rsrc': patched(launcher, [(pe.directory(5), rsrc_va)]),
        'relocation-changes-rsrc': patched(launcher, [(relocations, rsrc_va)]),
        'relocations-damaged': patched(launcher, [(relocations + 4, 4)]),
        'debug-data-after-rsrc': with_debug_entry(launcher, reloc_va, 0),
        'debug-file-data-after-rsrc': with_debug_entry(launcher, 0, reloc_raw),
        'code-after-rsrc': patched(launcher, [(pe.field(index + 1, 36), pe.u32(pe.field(index + 1, 36)) | 0x20000000)]),
        'pe32-launcher': as_pe32(launcher),
        'long-names': long_names(launcher, 0xFFFF),
        'long-names-half': long_names(launcher, 0x7FFF),
        # One character more than the packer's names leave.
        'names-past-bound': with_name_units(launcher, NAME_UNITS_BOUND - PACKER_NAME_UNITS + 1),
        'table-after-rsrc-pointer': patched(launcher, [(pe.field(index, 20), 0x200)]),
        'headers-end-before-table': patched(launcher, [(pe.opt + 60, 0x200)]),
        'rsrc-raw-pointer-zero': patched(launcher, [(pe.field(index, 20), 0)]),
        'two-sections-at-rsrc': patched(launcher, [(pe.field(index - 1, 12), rsrc_va)]),
        'shared-directories': with_resources(launcher, raw_tree(cube)),
        'shared-name': with_resources(launcher, raw_tree(shared_name)),
        'huge-file-alignment': patched(launcher, [(pe.opt + 36, 0x10000000)]),
        'overlapping-virtual-ranges': patched(launcher, [(pe.field(index - 1, 8), 0x2000)]),
        'raw-overlaps-rsrc': patched(launcher, [(pe.field(index + 1, 20), rsrc_raw)]),
        'debug-after-rsrc': patched(launcher, [(pe.directory(6), pe.section(index + 1)[1]), (pe.directory(6) + 4, 28)]),
        'many-sections-many-leaves': many_sections(launcher),
        # Groups that share one directory of 65,535 images: reading each group would take hours.
        'shared-icon-group': with_resources(launcher, lambda rva: build_tree(
            resources + [(RT_GROUP_ICON, n, 0, big_group) for n in range(1, 1001)], rva, share=True)),
        'shared-resource-data': with_resources(launcher, lambda rva: build_tree(
            resources + [(RT_RCDATA, 'A', 0, b'shared'), (RT_RCDATA, 'B', 0, b'shared')], rva, share=True)),
        'empty-name': with_resources(launcher, lambda rva: build_tree(resources + [(RT_RCDATA, '', 0, b'x')], rva)),
        'duplicate-identifiers': with_resources(launcher, lambda rva: build_tree(
            resources + [(RT_RCDATA, 'SAME', 0, b'x'), (RT_RCDATA, 'same', 0, b'y')], rva)),
        # With the packer's three, 65,536 names under the raw-data type. The launcher's version block stays, for
        # its mark; its other resources would take the tree past the entries a reader allows.
        'names-65536-under-one-type': with_resources(
            launcher, lambda rva: build_tree([r for r in read_tree(pe) if r[0] == RT_VERSION] +
                                             many_names(65536 - 3), rva)),
    }


def setup_cases(setup):
    pe = Pe(setup)
    index = pe.rsrc()
    resources = read_tree(pe)

    def replaced(changes):
        kept = [r for r in resources if (r[0], r[1]) not in changes]
        added = [(RT_RCDATA, name, 0, data) for (_, name), data in changes.items()]
        return with_resources(setup, lambda rva: build_tree(kept + added, rva))

    digest = next(r[3] for r in resources if r[1] == 'MSI_DIGEST')
    noise = b'\x1b]0;owned\x07\x1b[2J\x00\x7f\xc2\x9b\xe2\x80\xae\xff\\\xe2\x80\xa8' * 20000
    return {
        'digest-trailing-nul': replaced({(RT_RCDATA, 'MSI_DIGEST'): digest + b'\x00'}),
        'digest-and-code-control-oversize': replaced({(RT_RCDATA, 'MSI_DIGEST'): noise,
                                                      (RT_RCDATA, 'PRODUCT_CODE'): noise}),
        # The section before the resources grows 16 bytes into them, across any gap between the two.
        'resource-bound-other-section': patched(
            setup, [(pe.field(index - 1, 16), pe.section(index)[3] - pe.section(index - 1)[3] + 16)]),
        'resource-offset-outside': with_resources(setup, raw_tree(outside_offset)),
        'icon-group-repeats-image': with_resources(setup, lambda rva: build_tree(
            resources + [(RT_ICON, 1, 0, bytes(40)), (RT_GROUP_ICON, 1, 0, icon_group([1, 1]))], rva)),
        'icon-png-of-zeros': with_resources(setup, lambda rva: build_tree(
            resources + [(RT_ICON, 1, 0, b'\x89PNG\r\n\x1a\n' + bytes(4096)), (RT_GROUP_ICON, 1, 0, icon_group([1]))],
            rva)),
        'truncated': setup[:len(setup) * 2 // 3],
    }


def worst_case(launcher):
    """The most entries and name text the rules allow, with a package so that --info reads it through."""
    names = many_names(65536 - 8, length=15)
    package = [(RT_RCDATA, 'MSI', 0, b'\xd0\xcf\x11\xe0' * 1024)]
    return with_resources(launcher, lambda rva: build_tree(names + package, rva))


def icon_file(count):
    """An .ico of `count` distinct 1x1 bitmaps."""
    image = struct.pack('<IiiHHIIiiII', 40, 1, 2, 1, 32, 0, 0, 0, 0, 0, 0) + bytes(8)
    offset = 6 + 16 * count
    directory = struct.pack('<HHH', 0, 1, count) + b''.join(
        struct.pack('<BBBBHHII', 1, 1, 0, 0, 1, 32, len(image), offset + i * len(image)) for i in range(count))
    return directory + image * count


def packable(launcher):
    """What the packer takes at the reader's bounds, and the icon one image past them (with the launcher's five
    types and six names, an icon's images take two entries each)."""
    pe = Pe(launcher)
    slack = next(i for i in range(pe.rsrc()) if pe.section(i)[2] >= 28)
    _, va, _, raw = pe.section(slack)
    return {
        'names-at-bound.exe': with_name_units(launcher, NAME_UNITS_BOUND - PACKER_NAME_UNITS),
        'debug-data-before-rsrc.exe': with_debug_entry(launcher, va, raw),
        'icon-65527.ico': icon_file(65527),
        'icon-65528.ico': icon_file(65528),
    }


def pe32_with_icon(ico):
    """A 32-bit image (PE32) whose one section holds the images of the .ico file `ico` as its first icon group, in
    US English, as a 32-bit program carries its icon; it holds no code."""
    count = struct.unpack_from('<H', ico, 4)[0]
    resources, entries = [], b''
    for i in range(count):
        size, offset = struct.unpack_from('<II', ico, 6 + i * 16 + 8)
        resources.append((RT_ICON, i + 1, 0x0409, ico[offset:offset + size]))
        entries += ico[6 + i * 16:6 + i * 16 + 8] + struct.pack('<IH', size, i + 1)
    resources.append((RT_GROUP_ICON, 'MAINICON', 0x0409, struct.pack('<HHH', 0, 1, count) + entries))
    headers, rva, file_alignment, section_alignment = 0x200, 0x1000, 0x200, 0x1000
    tree = build_tree(resources, rva)
    raw = align(len(tree), file_alignment)
    dos = b'MZ' + bytes(0x3A) + struct.pack('<I', 0x40)
    # i386, one section, an optional header of 224 bytes; an executable for a 32-bit machine.
    file_header = b'PE\0\0' + struct.pack('<HHIIIHH', 0x14C, 1, 0, 0, 0, 224, 0x0102)
    optional = struct.pack('<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII', 0x10B, 14, 0, 0, raw, 0, 0, 0, rva, 0x400000,
                           section_alignment, file_alignment, 6, 0, 0, 0, 6, 0, 0,
                           rva + align(len(tree), section_alignment), headers, 0, 2, 0x8140,
                           0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    directories = bytearray(16 * 8)
    struct.pack_into('<II', directories, 2 * 8, rva, len(tree))
    section = b'.rsrc'.ljust(8, b'\0') + struct.pack('<IIIIIIHHI', len(tree), rva, raw, headers, 0, 0, 0, 0,
                                                      0x40000040)
    image = dos + file_header + optional + bytes(directories) + section
    return image + bytes(headers - len(image)) + tree + bytes(raw - len(tree))


def main(args):
    if len(args) == 3 and args[0] == '--packable':
        with open(args[1], 'rb') as f:
            launcher = f.read()
        os.makedirs(args[2], exist_ok=True)
        for name, data in packable(launcher).items():
            with open(os.path.join(args[2], name), 'wb') as f:
                f.write(data)
        return 0
    if len(args) == 3 and args[0] == '--pe32-icon':
        with open(args[1], 'rb') as f:
            ico = f.read()
        with open(args[2], 'wb') as f:
            f.write(pe32_with_icon(ico))
        return 0
    if len(args) == 3 and args[0] == '--worst-case':
        with open(args[1], 'rb') as f:
            launcher = f.read()
        with open(args[2], 'wb') as f:
            f.write(worst_case(launcher))
        return 0
    if len(args) != 3:
        sys.stderr.write(__doc__)
        return 2
    with open(args[0], 'rb') as f:
        launcher = f.read()
    with open(args[1], 'rb') as f:
        setup = f.read()
    os.makedirs(args[2], exist_ok=True)
    for name, data in {**launcher_cases(launcher), **setup_cases(setup)}.items():
        with open(os.path.join(args[2], name + '.exe'), 'wb') as f:
            f.write(data)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
