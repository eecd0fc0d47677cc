#!/usr/bin/env python3
"""corpus.py FOLDER: the benchmark's files, the same bytes on every run.

About 4,000 small text files in 20 folders, ten 4 MB partly compressible
binaries, one 40 MB incompressible file and one 60 MB text file.
"""
import os
import random
import sys

root = sys.argv[1]
rng = random.Random(20261208)
words = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 11)))
         for _ in range(5000)]


def text(size):
    out = []
    length = 0
    while length < size:
        line = " ".join(rng.choice(words) for _ in range(rng.randint(4, 16))) + "\n"
        out.append(line)
        length += len(line)
    return "".join(out)[:size].encode()


def write(name, data):
    path = os.path.join(root, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


for folder in range(20):
    for i in range(200):
        write(f"docs/folder{folder:02d}/file{i:03d}.txt", text(rng.randint(200, 14000)))
for i in range(10):
    # Runs of random bytes between runs of repeated ones: deflate saves about
    # half.
    blocks = []
    for _ in range(64):
        chunk = rng.randbytes(32768)
        blocks.append(chunk + chunk[:1024] * 32)
    write(f"bin/module{i}.bin", b"".join(blocks)[:4 << 20])
write("media/noise.bin", rng.randbytes(40 << 20))
write("logs/big.txt", text(60 << 20))
