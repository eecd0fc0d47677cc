#!/usr/bin/env bash
# make-seeds.sh FOLDER: small archives made by the tools people use, as the
# fuzzer's seed corpus (the same kinds the conformance test compares), ZIP64
# ones among them.
set -euo pipefail
seeds=$1
mkdir -p "$seeds"
seeds=$(cd "$seeds" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p src/bin/deep src/empty
seq 1 300 > src/readme.txt
: > src/zero.txt
head -c 1500 /dev/zero | tr '\0' 'x' > src/bin/deep/x.cfg
printf 'MZ\x90\x00' > src/bin/app.dll
chmod 0444 src/bin/app.dll
(cd src && zip -q -r "$seeds/info.zip" . && zip -q -r -0 "$seeds/info-stored.zip" . &&
  zip -q -r -9 -X "$seeds/info-best.zip" . && zip -q -P secret "$seeds/info-secret.zip" readme.txt &&
  zip -q -r - . > "$seeds/info-streamed.zip" &&
  bsdtar --format zip -cf "$seeds/bsdtar.zip" ./* && 7z a -tzip "$seeds/seven.zip" . > /dev/null)
head -c 300 /bin/sh | cat - "$seeds/info.zip" > "$seeds/stub.zip"
# Both ways through the reader: deflated entries just under and just over the
# one-piece limit (4 MiB); ZIP64 records and blocks.
mkdir -p limit
head -c 4194303 /dev/zero > limit/under && head -c 4194305 /dev/zero > limit/over
(cd limit && zip -q "$seeds/limit.zip" under over && zip -q -fz "$seeds/limit64.zip" under)
(cd src && zip -q -r -fz "$seeds/info-zip64.zip" . && bsdtar --format zip -cf "$seeds/bsdtar-dot.zip" .)
python3 - "$seeds" <<'PY'
import sys, zipfile
seeds = sys.argv[1]
with zipfile.ZipFile(seeds + "/python.zip", "w", zipfile.ZIP_DEFLATED) as z:
    info = zipfile.ZipInfo("dos\\readonly.txt", (2020, 1, 2, 3, 4, 6))
    info.create_system = 0
    info.external_attr = 0x21
    z.writestr(info, "read-only\n")
    z.writestr("\u4e2d\u6587/name.txt", "utf-8\n")
    z.writestr("../up.txt", "climb\n")
    z.comment = b"PK\x05\x06 a comment"
with zipfile.ZipFile(seeds + "/python-zip64.zip", "w", zipfile.ZIP_DEFLATED) as z:
    with z.open("forced.txt", "w", force_zip64=True) as f:
        f.write(b"forced zip64\n" * 10)
class Pipe:
    def __init__(self, f): self.f = f
    def write(self, b): return self.f.write(b)
    def flush(self): self.f.flush()
    def tell(self): raise OSError("not seekable")
with open(seeds + "/python-descriptors.zip", "wb") as f:
    with zipfile.ZipFile(Pipe(f), "w", zipfile.ZIP_STORED) as z:
        z.writestr("stored.txt", "stored with a descriptor\n" * 20)
PY
