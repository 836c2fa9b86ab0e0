# Writes a binary message table with texts that exercise the cleaning of system descriptions.
import struct
import sys

MESSAGES = {
    0x20000001: ".",
    0x20000002: "Trailing text.\r\n",
    0x20000003: "Tab\there\r\nline two. .\r\n",
}

def entry(text):
    data = (text + "\0").encode("utf-16-le")
    while (len(data) + 4) % 4:
        data += b"\0"
    return struct.pack("<HH", len(data) + 4, 1) + data

ids = sorted(MESSAGES)
blocks = len(ids)
offset = 4 + 12 * blocks
header = struct.pack("<I", blocks)
body = b""
for message_id in ids:
    data = entry(MESSAGES[message_id])
    header += struct.pack("<III", message_id, message_id, offset + len(body))
    body += data
with open(sys.argv[1], "wb") as out:
    out.write(header + body)
