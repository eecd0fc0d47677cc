#!/usr/bin/env python3
"""sourcetree.py FOLDER RELEASE: a source-like release tree, the same bytes on
every run.

About 5,000 files in about 400 folders two to five deep: mostly small text
files (sources, headers, scripts: a few hundred bytes to 40 KB), some
binaries (icons, images: 1 to 60 KB, barely compressible) and a few large
ones (libraries, 1 to 6 MB). RELEASE 1 is the installed version; RELEASE 2,
the next one, changes one file in eight and adds a few.
"""
import os
import random
import sys

root, release = sys.argv[1], int(sys.argv[2])
rng = random.Random(20261209)
words = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz_") for _ in range(rng.randint(2, 12)))
         for _ in range(4000)]


def text(r, size):
    lines, length = [], 0
    while length < size:
        line = "    " * r.randint(0, 3) + " ".join(r.choice(words) for _ in range(r.randint(2, 12)))
        lines.append(line + ";\n")
        length += len(line) + 2
    return "".join(lines)[:size].encode()


def write(name, data):
    path = os.path.join(root, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


folders = []
for top in range(12):
    for middle in range(rng.randint(3, 8)):
        for low in range(rng.randint(1, 6)):
            folders.append(f"src{top:02d}/mod{middle:02d}/part{low:02d}")
files = []
for i in range(5000):
    folder = rng.choice(folders)
    kind = rng.random()
    if kind < 0.9:
        files.append((f"{folder}/file{i:04d}.{rng.choice(['cpp', 'h', 'py', 'txt', 'qml'])}",
                      "text", int(rng.paretovariate(1.3) * 600) % 40000 + 200))
    elif kind < 0.999:
        files.append((f"{folder}/image{i:04d}.png", "binary", rng.randint(1000, 60000)))
    else:
        files.append((f"lib/library{i:04d}.dll", "binary", rng.randint(1 << 20, 6 << 20)))
for number, (name, kind, size) in enumerate(files):
    # Each file's bytes come from its own generator: a release that changes
    # a file changes only that file.
    changed = release >= 2 and number % 8 == 3
    r = random.Random(number * 2 + (1 if changed else 0))
    write(name, text(r, size) if kind == "text" else r.randbytes(size))
if release >= 2:
    for i in range(60):
        write(f"{rng.choice(folders)}/added{i:02d}.cpp", text(random.Random(90000 + i), 3000))
