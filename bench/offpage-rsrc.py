# Copies a PE image with its resource section moved 512 bytes further into the file, off any page boundary
# (Wine maps a section straight from the file only when it starts on one): offpage-rsrc.py IN OUT
import struct
import sys

SHIFT = 512
PAGE = 4096

source, target = sys.argv[1], sys.argv[2]
image = bytearray(open(source, "rb").read())
pe = struct.unpack_from("<I", image, 0x3C)[0]
if image[pe:pe + 4] != b"PE\0\0":
    sys.exit(f"{source}: not a PE image")
coff = pe + 4
sections, optional_size = struct.unpack_from("<H", image, coff + 2)[0], struct.unpack_from("<H", image, coff + 16)[0]
optional = coff + 20
if struct.unpack_from("<H", image, optional)[0] != 0x20B:
    sys.exit(f"{source}: not a 64-bit image")
# Certificate and debug data are addressed by file offset; a stripped launcher has neither.
directories = optional + 112
for index in (4, 6):
    if struct.unpack_from("<II", image, directories + 8 * index) != (0, 0):
        sys.exit(f"{source}: has data directory {index}, which this copy cannot move")
if struct.unpack_from("<I", image, coff + 8)[0]:
    sys.exit(f"{source}: has a symbol table; strip it first")

table = optional + optional_size
headers = [table + 40 * i for i in range(sections)]
rsrc = next((h for h in headers if image[h:h + 8].rstrip(b"\0") == b".rsrc"), None)
if rsrc is None:
    sys.exit(f"{source}: has no .rsrc section")
start = struct.unpack_from("<I", image, rsrc + 20)[0]
if start % PAGE != 0:
    sys.exit(f"{source}: .rsrc at 0x{start:x} is off a page already")
for header in headers:
    raw = struct.unpack_from("<I", image, header + 20)[0]
    if raw >= start:
        struct.pack_into("<I", image, header + 20, raw + SHIFT)
# The file alignment the moved section now keeps, so that the copy stays a well-formed image.
struct.pack_into("<I", image, optional + 36, SHIFT)
image[start:start] = bytes(SHIFT)
open(target, "wb").write(image)
