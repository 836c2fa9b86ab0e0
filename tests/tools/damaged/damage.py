#!/usr/bin/env python3
"""Damaged copies of an installer package, as downloads, disks and careless tools leave them.

damage.py <package.msi> <output directory> [--seed N] [--each N]
    writes <kind>-<n>.msi for every kind below, N of each (10), all chosen by one random generator seeded with
    the seed (25): the same package and seed give the same files.

The package is a compound file: a header, then sectors of 512 bytes (or 4096) that chains in the file allocation
table (FAT) link into streams; a directory of 128-byte entries names each stream and its first sector; small streams
lie in 64-byte mini sectors inside the root entry's stream, chained by the mini FAT.
"""
import argparse
import os
import random
import struct

FREE, END_OF_CHAIN, FAT_SECTOR = 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD
HEADER_SIZE = 512
ENTRY_SIZE = 128


class CompoundFile:
    """The structures of a compound file that the damage changes, over a mutable copy of its bytes."""

    def __init__(self, data):
        self.b = bytearray(data)
        if self.b[:8] != bytes.fromhex("d0cf11e0a1b11ae1"):
            raise SystemExit("damage.py: the package is no compound file")
        self.sector_size = 1 << self.u16(0x1E)
        self.sector_count = (len(self.b) - self.sector_size) // self.sector_size
        fat_sectors = [self.u32(0x4C + 4 * i) for i in range(min(self.u32(0x2C), 109))]
        # Where each FAT entry lies in the file: the sectors the header lists, entry after entry.
        self.fat_offsets = [self.offset(sector) + 4 * i for sector in fat_sectors
                            for i in range(self.sector_size // 4)]
        self.directory = self.chain(self.u32(0x30))
        self.mini_fat = self.chain(self.u32(0x3C)) if self.u32(0x40) else []

    def u16(self, at):
        return struct.unpack_from("<H", self.b, at)[0]

    def u32(self, at):
        return struct.unpack_from("<I", self.b, at)[0]

    def put32(self, at, value):
        struct.pack_into("<I", self.b, at, value)

    def put64(self, at, value):
        struct.pack_into("<Q", self.b, at, value)

    def offset(self, sector):
        return (sector + 1) * self.sector_size

    def next(self, sector):
        return self.u32(self.fat_offsets[sector]) if sector < len(self.fat_offsets) else END_OF_CHAIN

    def chain(self, start):
        sectors = []
        while start < self.sector_count and start not in sectors:
            sectors.append(start)
            start = self.next(start)
        return sectors

    def entries(self):
        """The offsets of the directory's used entries, the root first."""
        found = []
        for sector in self.directory:
            for i in range(self.sector_size // ENTRY_SIZE):
                at = self.offset(sector) + i * ENTRY_SIZE
                if self.b[at + 0x42] in (1, 2, 5):
                    found.append(at)
        return found

    def streams(self):
        """The offsets of the entries of streams at least one sector long, which the FAT chains."""
        cutoff = self.u32(0x38)
        return [at for at in self.entries() if self.b[at + 0x42] == 2
                and struct.unpack_from("<Q", self.b, at + 0x78)[0] >= cutoff]

    def chained_sectors(self):
        """Sectors that continue a chain: the directory's, and those of the large streams."""
        sectors = list(self.directory[1:])
        for at in self.streams():
            sectors += self.chain(self.u32(at + 0x74))[1:]
        return sectors or self.directory


def cut_short(data, rng):
    return data[:rng.randrange(1, len(data))]


def bytes_changed(data, rng):
    b = bytearray(data)
    for _ in range(rng.randint(1, 16)):
        b[rng.randrange(len(b))] = rng.randrange(256)
    return bytes(b)


def chain_looped(cf, rng):
    """A sector whose FAT entry leads back into its own chain."""
    sector = rng.choice(cf.chained_sectors())
    cf.put32(cf.fat_offsets[sector], rng.choice([sector, cf.directory[0]]))


def chain_out_of_range(cf, rng):
    """A chain that continues past the end of the file."""
    sector = rng.choice(cf.chained_sectors())
    cf.put32(cf.fat_offsets[sector], rng.choice([cf.sector_count + rng.randrange(1, 64), 0x7FFFFFF0]))


def chain_ended_early(cf, rng):
    """A chain that stops, or turns into free or FAT sectors, before its stream does."""
    chains = [cf.chain(cf.u32(at + 0x74)) for at in cf.streams()] + [cf.directory]
    chain = rng.choice([c for c in chains if len(c) > 1] or chains)
    cf.put32(cf.fat_offsets[chain[rng.randrange(len(chain) - 1) if len(chain) > 1 else 0]],
             rng.choice([END_OF_CHAIN, FREE, FAT_SECTOR]))


def chains_crossed(cf, rng):
    """Two chains that meet: a sector of one continues in the middle of another."""
    sectors = cf.chained_sectors()
    cf.put32(cf.fat_offsets[rng.choice(sectors)], rng.choice(sectors))


def mini_chain_broken(cf, rng):
    """A mini FAT entry that loops, leaves the mini stream or ends at once."""
    sector = rng.choice(cf.mini_fat)
    at = cf.offset(sector) + 4 * rng.randrange(cf.sector_size // 4)
    cf.put32(at, rng.choice([0, 1, 0x00FFFFFF, END_OF_CHAIN, FREE]))


def entry_start_moved(cf, rng):
    """A directory entry whose stream starts elsewhere: past the end, in the directory, in another stream."""
    at = rng.choice(cf.entries())
    cf.put32(at + 0x74, rng.choice([cf.sector_count + 7, 0xFFFFFFF0, cf.directory[0], 0]))


def entry_size_changed(cf, rng):
    """A directory entry whose stream is said to be larger or smaller than its chain."""
    at = rng.choice(cf.entries())
    cf.put64(at + 0x78, rng.choice([0, 1, 4095, 4097, 1 << 31, (1 << 32) - 1, 1 << 40]))


def tree_broken(cf, rng):
    """A directory tree whose links lead out of the directory or back to where they started."""
    entries = cf.entries()
    at = rng.choice(entries)
    link = rng.choice([0x44, 0x48, 0x4C])
    cf.put32(at + link, rng.choice([len(entries) + 40, 0xFFFFFF00, 0, (at - cf.offset(cf.directory[0])) // ENTRY_SIZE]))


def header_changed(cf, rng):
    """A header that misstates the sector size, the FAT, the directory or the mini FAT."""
    field, values = rng.choice([
        (0x1E, [7, 8, 10, 16, 0xFFFF]),
        (0x2C, [0, 2, 109, 0x7FFFFFFF]),
        (0x30, [cf.sector_count + 3, END_OF_CHAIN, 0]),
        (0x38, [0, 64, 0xFFFFFFFF]),
        (0x3C, [cf.sector_count + 3, 0, cf.directory[0]]),
        (0x4C, [cf.sector_count + 3, FREE, cf.directory[0]]),
    ])
    if field == 0x1E:
        struct.pack_into("<H", cf.b, field, rng.choice(values))
    else:
        cf.put32(field, rng.choice(values))


# Each kind of damage: a change of the whole file, or of its structure.
WHOLE = {"cut": cut_short, "bytes": bytes_changed}
STRUCTURE = {
    "chain-loop": chain_looped,
    "chain-beyond": chain_out_of_range,
    "chain-end": chain_ended_early,
    "chain-cross": chains_crossed,
    "minichain": mini_chain_broken,
    "entry-start": entry_start_moved,
    "entry-size": entry_size_changed,
    "tree": tree_broken,
    "header": header_changed,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("package")
    parser.add_argument("output")
    parser.add_argument("--seed", type=int, default=25)
    parser.add_argument("--each", type=int, default=10)
    args = parser.parse_args()
    with open(args.package, "rb") as file:
        data = file.read()
    rng = random.Random(args.seed)
    os.makedirs(args.output, exist_ok=True)
    for kind in list(WHOLE) + list(STRUCTURE):
        for n in range(args.each):
            if kind in WHOLE:
                damaged = WHOLE[kind](data, rng)
            else:
                cf = CompoundFile(data)
                STRUCTURE[kind](cf, rng)
                damaged = bytes(cf.b)
            with open(os.path.join(args.output, f"{kind}-{n}.msi"), "wb") as out:
                out.write(damaged)


if __name__ == "__main__":
    main()
