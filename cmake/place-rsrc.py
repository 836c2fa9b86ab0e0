# Moves the resource section of a linked 64-bit PE image, with the sections after it, within the file.
#   place-rsrc.py onto-page IN OUT  onto the next page boundary: Wine maps a section from the file only when it
#                                   starts on one, and otherwise reads the whole embedded package into private
#                                   memory. The sections before it keep the linker's tighter file alignment.
#   place-rsrc.py off-page IN OUT   512 bytes past its page boundary: the benchmark's control for the above.
# OUT may be IN; it is replaced whole.
import os
import shutil
import struct
import sys

PAGE = 4096
OFF_PAGE_SHIFT = 512


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


def checksum(image, field):
    """The image checksum: 16-bit words summed with end-around carry, its own field left out, plus the length."""
    padded = bytes(image[:field]) + bytes(4) + bytes(image[field + 4:]) + bytes(len(image) % 2)
    total = sum(struct.unpack(f"<{len(padded) // 2}H", padded))
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(image)


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in ("onto-page", "off-page"):
        sys.exit("usage: place-rsrc.py onto-page|off-page IN OUT")
    mode, source, target = sys.argv[1:]
    with open(source, "rb") as file:
        image = bytearray(file.read())
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        sys.exit(f"{source}: not a PE image")
    coff = pe + 4
    sections, optional_size = struct.unpack_from("<H", image, coff + 2)[0], struct.unpack_from("<H", image, coff + 16)[0]
    optional = coff + 20
    if struct.unpack_from("<H", image, optional)[0] != 0x20B:
        sys.exit(f"{source}: not a 64-bit image")
    # Certificate and debug data are addressed by file offset; the launcher has neither.
    directories = optional + 112
    for index in (4, 6):
        if struct.unpack_from("<II", image, directories + 8 * index) != (0, 0):
            sys.exit(f"{source}: has data directory {index}, which cannot be moved")

    table = optional + optional_size
    headers = [table + 40 * i for i in range(sections)]
    # The resource section, as the packer finds it: the one whose memory holds the resource directory.
    resources = struct.unpack_from("<I", image, directories + 8 * 2)[0]
    section_alignment = struct.unpack_from("<I", image, optional + 32)[0]

    def holds(header):
        size, address, raw_size = struct.unpack_from("<III", image, header + 8)
        return address <= resources < address + align(max(size, raw_size), section_alignment)
    rsrc = next((h for h in headers if resources != 0 and holds(h)), None)
    if rsrc is None:
        sys.exit(f"{source}: has no resource section")
    start = struct.unpack_from("<I", image, rsrc + 20)[0]
    if mode == "onto-page":
        shift = -start % PAGE
    elif start % PAGE != 0:
        sys.exit(f"{source}: its resources at 0x{start:x} are off a page already")
    else:
        shift = OFF_PAGE_SHIFT
        # The file alignment the moved section keeps, so that the copy stays a well-formed image.
        struct.pack_into("<I", image, optional + 36, OFF_PAGE_SHIFT)
    if shift % struct.unpack_from("<I", image, optional + 36)[0] != 0:
        sys.exit(f"{source}: a shift of {shift} bytes breaks its file alignment")

    for header in headers:
        raw = struct.unpack_from("<I", image, header + 20)[0]
        if raw >= start:
            struct.pack_into("<I", image, header + 20, raw + shift)
    symbols = struct.unpack_from("<I", image, coff + 8)[0]
    if symbols >= start:
        struct.pack_into("<I", image, coff + 8, symbols + shift)
    image[start:start] = bytes(shift)
    struct.pack_into("<I", image, optional + 64, checksum(image, optional + 64))

    partial = target + ".partial"
    with open(partial, "wb") as file:
        file.write(image)
    shutil.copymode(source, partial)
    os.replace(partial, target)


if __name__ == "__main__":
    main()
