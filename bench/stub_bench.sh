#!/usr/bin/env bash
# The decoder our users run, measured as they run it (after scripts/build.sh):
#  1. bench_decoder on the host, then stubbench.exe (the stub's own decoder
#     and Win32 code, built with the stub's options) under Wine, on the same
#     samples and in the same form;
#  2. a large self-extractor under Wine: `X.exe -n FOLDER`, stored and -lh7-
#     (level 1), run in turn with a one-file self-extractor (Wine's own start
#     and exit, taken off each), with the rates and the share of the stored
#     rate that -lh7- reaches.
#
#   bench/stub_bench.sh [SIZE_MB (default 214)] [WORK_DIR (default build/stub-bench)]
#
# SFX_BENCH_RUNS sets the number of turns (3); SFX_BENCH_KEEP=1 keeps the
# input and the self-extractors in WORK_DIR for a profile.
#
# Where this machine runs no 32-bit x86 code, the x86_64 build of the same
# sources (win64 preset) stands in for the i686 stub, and the report says so.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
cd "$repo"
size_mb="${1:-214}"
work="${2:-$repo/build/stub-bench}"
. scripts/x86-32.sh
sfx_probe_x86_32
preset=$(sfx_e2e_preset)
winbuild=$repo/build/$preset
sfxbuild=$repo/build/host/tools/sfxbuild/sfxbuild
stub=$winbuild/src/stub/sfxstub.exe
stubbench=$winbuild/src/stub/stubbench.exe
for f in "$sfxbuild" "$repo/build/host/bench/bench_decoder" "$stub" "$stubbench"; do
  [ -e "$f" ] || { echo "stub_bench: $f is missing: build first (scripts/build.sh)" >&2; exit 1; }
done
runner=(python3 "$repo/tests/e2e/run_scenario.py")
state=$work/wine
winpath() { local p=$1; echo "Z:${p//\//\\}"; }
cleanup() { "${runner[@]}" cleanup --state "$state" --win32-build "$winbuild" >/dev/null 2>&1 || true; }
trap cleanup EXIT

rm -rf "$work"
mkdir -p "$work"
if [ "$preset" = win32 ]; then
  echo "stub_bench: the i686 stub ($stub)"
else
  echo "stub_bench: this machine runs no 32-bit x86 code: the $preset build stands in for the i686 stub"
fi
"${runner[@]}" setup --state "$state" --win32-build "$winbuild" >/dev/null

echo
echo "== The decoder on the host (bench_decoder)"
build/host/bench/bench_decoder --write-samples "$work/samples" 2>/dev/null
build/host/bench/bench_decoder 2>/dev/null |
  sed -n '/^Benchmark/,$p'

echo
echo "== The stub's decoder under Wine (stubbench.exe, built as the stub is)"
"${runner[@]}" wine --state "$state" --timeout 900 -- "$(winpath "$stubbench")" "$(winpath "$work/samples")"

echo
echo "== A ${size_mb} MB self-extractor under Wine: X.exe -n FOLDER"
# Half generated text, half real binaries of this system.
python3 - "$work/input" "$size_mb" <<'EOF'
import os, random, sys
root, size = sys.argv[1], int(sys.argv[2]) << 20
os.makedirs(os.path.join(root, "text"))
os.makedirs(os.path.join(root, "bin"))
rng = random.Random(1)
words = ["".join(rng.choice("etaoinshrdlcumwfgypbvkjxqz") for _ in range(rng.randint(2, 9)))
         for _ in range(6000)]
written, n = 0, 0
while written < size // 2:
    lines = [" ".join(rng.choices(words, k=rng.randint(4, 14))) for _ in range(40000)]
    data = ("\r\n".join(lines) + "\r\n").encode()[: size // 2 - written]
    with open(os.path.join(root, "text", "part%03d.txt" % n), "wb") as f:
        f.write(data)
    written += len(data)
    n += 1
written = 0
for folder in ("/usr/lib/x86_64-linux-gnu", "/usr/bin", "/usr/lib"):
    for dirpath, _, files in os.walk(folder):
        for name in sorted(files):
            path = os.path.join(dirpath, name)
            if written >= size - size // 2 or os.path.islink(path) or not os.path.isfile(path):
                continue
            try:
                with open(path, "rb") as f:
                    data = f.read(size - size // 2 - written)
            except OSError:
                continue
            with open(os.path.join(root, "bin", "%05d.bin" % n), "wb") as f:
                f.write(data)
            written += len(data)
            n += 1
EOF
mkdir -p "$work/one"
echo one > "$work/one/one.txt"
"$sfxbuild" create -q --stub "$stub" -o "$work/one.exe" "$work/one/."
"$sfxbuild" create -q --stub "$stub" --method lh0 -o "$work/stored.exe" "$work/input/."
"$sfxbuild" create -q --stub "$stub" --method lh7 --level 1 -o "$work/lh7.exe" "$work/input/."
input_bytes=$(du -sb "$work/input" | cut -f1)

# One run's wall time in seconds; the folder is checked against the input
# when a second argument asks for it.
run_once() {
  local sfx=$1 start end status
  rm -rf "$work/dest"
  start=$(date +%s.%N)
  set +e
  "${runner[@]}" wine --state "$state" --timeout 900 -- "$(winpath "$sfx")" -n "$(winpath "$work/dest")" >/dev/null 2>>"$work/wine.log"
  status=$?
  set -e
  end=$(date +%s.%N)
  # 1: the dialog ended after an extraction.
  [ "$status" = 1 ] || { echo "stub_bench: $sfx ended with status $status" >&2; exit 1; }
  if [ -n "${2:-}" ] && ! diff -r -q "$work/input" "$work/dest" >/dev/null; then
    echo "stub_bench: $sfx did not give back the input" >&2; exit 1
  fi
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}
# Runs in turn (one-file, stored, -lh7-), so that a drift of the machine's
# speed touches all three alike; every turn gives its own share.
runs=${SFX_BENCH_RUNS:-3}
times=()
for ((i = 0; i < runs; ++i)); do
  times+=("$(run_once "$work/one.exe") $(run_once "$work/stored.exe" check) $(run_once "$work/lh7.exe" check)")
done
python3 - "$input_bytes" "$(stat -c %s "$work/stored.exe")" "$(stat -c %s "$work/lh7.exe")" \
  "${times[@]}" <<'EOF'
import statistics, sys
size, stored_file, lh7_file = (float(v) for v in sys.argv[1:4])
runs = [tuple(float(v) for v in run.split()) for run in sys.argv[4:]]
mb = size / 1e6
one = statistics.median(r[0] for r in runs)
print("one-file self-extractor (Wine's start and exit): %.2f s (median of %d)" % (one, len(runs)))
for name, k, f in (("stored", 1, stored_file), ("-lh7- level 1", 2, lh7_file)):
    over = statistics.median(r[k] - r[0] for r in runs)
    print("%-14s %8.1f MB file  %.2f s over the one-file run  %7.1f MB/s"
          % (name, f / 1e6, over, mb / over if over > 0 else float("inf")))
shares = sorted(100 * (r[1] - r[0]) / (r[2] - r[0]) for r in runs)
print("-lh7- reaches %.0f %% of the stored rate (median of %d turns; %s)"
      % (statistics.median(shares), len(runs), ", ".join("%.0f" % v for v in shares)))
EOF
[ -n "${SFX_BENCH_KEEP:-}" ] && exit 0
rm -rf "$work/input" "$work/dest" "$work"/*.exe
