#!/usr/bin/env python3
"""large.py KIND ARCHIVE: one entry of 1 GiB of zeros (KIND zeros) or of
2 GB of semi-random bytes (KIND semirandom: random runs between repeats,
deflate saves about half), written as a ZIP archive with level 6."""
import random
import sys
import zipfile

kind, archive = sys.argv[1], sys.argv[2]
rng = random.Random(2)
with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
    with z.open(kind + ".bin", "w", force_zip64=True) as out:
        if kind == "zeros":
            block = bytes(1 << 20)
            for _ in range(1024):
                out.write(block)
        else:
            for _ in range(2000):
                chunk = rng.randbytes(1 << 19)
                out.write(chunk + chunk[: 1 << 19])
