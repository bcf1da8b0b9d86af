#!/usr/bin/env bash
# The builder's peak memory and speed on a large generated input: one file of
# text-like data (compressible, distinct within any 64 KB window, as real
# text is) and one of random data (stored after its first part), each packed
# with the default method and threads. Prints one line per case: size, wall
# time, speed and maximum resident size as /usr/bin/time -v reports it.
#
#   bench/builder_memory.sh [SIZE_MB] [WORK_DIR]     (default 1024 MB, build/bench)
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
size_mb="${1:-1024}"
work="${2:-$repo/build/bench}"
sfxbuild="$repo/build/host/tools/sfxbuild/sfxbuild"
stub="${SFX_STUB:-$repo/build/win32/src/stub/sfxstub.exe}"
[ -x "$sfxbuild" ] || { echo "builder_memory: build first (scripts/build.sh)" >&2; exit 1; }
[ -f "$stub" ] || stub="$repo/build/win64/src/stub/sfxstub.exe"
[ -x /usr/bin/time ] || { echo "builder_memory: needs /usr/bin/time (package time)" >&2; exit 1; }

mkdir -p "$work"
trap 'rm -rf "$work/in-text" "$work/in-random" "$work/out.exe"' EXIT

python3 - "$work" "$size_mb" <<'EOF'
import os, random, sys
work, size = sys.argv[1], int(sys.argv[2]) << 20
rng = random.Random(1)
words = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
         for _ in range(5000)]
# 16 MB of distinct text, repeated: the encoder sees 64 KB at most, so the
# repetition does not make the data any easier for it.
lines, total = [], 0
while total < 16 << 20:
    line = " ".join(rng.choices(words, k=rng.randint(4, 14))) + "\n"
    lines.append(line)
    total += len(line)
block = "".join(lines).encode()[:16 << 20]
for name in ("in-text", "in-random"):
    os.makedirs(os.path.join(work, name), exist_ok=True)
    with open(os.path.join(work, name, "data.bin"), "wb") as f:
        left = size
        while left:
            n = min(left, 16 << 20)
            f.write(block[:n] if name == "in-text" else os.urandom(n))
            left -= n
EOF

for kind in text random; do
  report="$work/time-$kind.txt"
  /usr/bin/time -v "$sfxbuild" create -q -o "$work/out.exe" --stub "$stub" \
      "$work/in-$kind/data.bin" 2> "$report"
  python3 - "$report" "$size_mb" "$kind" "$work/out.exe" <<'EOF'
import os, re, sys
text = open(sys.argv[1]).read()
rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", text).group(1))
wall = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): ([\d:.]+)", text).group(1)
seconds = 0.0
for part in wall.split(":"):
    seconds = seconds * 60 + float(part)
size_mb = int(sys.argv[2])
out_mb = os.path.getsize(sys.argv[4]) / 2**20
print("%-6s %5d MB -> %7.1f MB  %7.1f s  %6.1f MB/s  peak %6.1f MB" %
      (sys.argv[3], size_mb, out_mb, seconds, size_mb / seconds, rss / 1024))
EOF
done
