#!/usr/bin/env python3
"""Writes a zip archive of a directory's files that depends only on their names and contents.

Usage: write-zip.py <archive.zip> <SOURCE_DATE_EPOCH> <directory>

Entries in sorted order, every one dated at the given time (UTC), programs (.exe) with mode 0755 and the rest 0644,
no owners and no extra fields. The archive is written to a temporary name and then moved into place.
"""
import os
import sys
import time
import zipfile

# The earliest time a zip entry can state.
ZIP_EPOCH = (1980, 1, 1, 0, 0, 0)


def main():
    archive, epoch, directory = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    stamp = max(tuple(time.gmtime(epoch)[:6]), ZIP_EPOCH)
    temporary = archive + ".part"
    with zipfile.ZipFile(temporary, "w") as zipped:
        for name in sorted(os.listdir(directory)):
            with open(os.path.join(directory, name), "rb") as file:
                data = file.read()
            entry = zipfile.ZipInfo(name, stamp)
            entry.create_system = 3  # Unix, so that the mode below is read as one
            entry.external_attr = (0o100755 if name.endswith(".exe") else 0o100644) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            zipped.writestr(entry, data, compresslevel=9)
    os.replace(temporary, archive)


if __name__ == "__main__":
    main()
