# Writes a file of incompressible pseudo-random bytes, the same for the same size and seed: make-payload.py FILE BYTES SEED
import random
import sys

path, size, seed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
generator = random.Random(seed)
chunk = 1 << 20
with open(path, "wb") as out:
    for offset in range(0, size, chunk):
        out.write(generator.randbytes(min(chunk, size - offset)))
