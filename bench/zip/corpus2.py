#!/usr/bin/env python3
"""corpus2.py FOLDER: the second corpus, the same bytes on every run.

Mixed text and binaries of many sizes, one entry over the one-piece limit
(6 MiB of text, streamed through zlib), and 10,000 tiny files.
"""
import os
import random
import sys

root = sys.argv[1]
rng = random.Random(4637)
words = [bytes(rng.choice(b"etaoinshrdlucmfwypvbgkjqxz") for _ in range(rng.randint(1, 9)))
         for _ in range(3000)]


def text(size):
    out = bytearray()
    while len(out) < size:
        out += b" ".join(rng.choice(words) for _ in range(rng.randint(3, 14))) + b"\n"
    return bytes(out[:size])


def binary(size):
    # Machine code is neither text nor noise: short repeats in random bytes.
    out = bytearray()
    while len(out) < size:
        chunk = rng.randbytes(rng.randint(16, 256))
        out += chunk * rng.randint(1, 4)
    return bytes(out[:size])


def write(name, data):
    path = os.path.join(root, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


for i in range(300):
    size = int(rng.lognormvariate(9, 1.6))
    write(f"mixed/t{i // 50}/doc{i:03d}.txt", text(min(size, 3 << 20)))
    write(f"mixed/b{i // 50}/lib{i:03d}.dll", binary(min(size, 3 << 20)))
write("big/over-the-limit.log", text(6 << 20))
for i in range(10000):
    write(f"tiny/{i // 500:02d}/f{i:05d}.cfg", b"key%d=%d\n" % (i, rng.randint(0, 1 << 30)))
