#!/usr/bin/env python3
"""tiny.py ARCHIVE COUNT: COUNT tiny deflated entries, 1,000 to a folder
(ZIP64 end record beyond 65,535)."""
import sys
import zipfile

with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    for i in range(int(sys.argv[2])):
        z.writestr(f"f{i // 1000:03d}/entry{i:06d}.txt", f"tiny entry {i}\n")
