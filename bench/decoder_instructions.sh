#!/usr/bin/env bash
# Instructions the i686 stub's decoder executes per output byte: the stub's
# decoder, CRC and file sink built for 32-bit x86 Linux with the stub's code
# generation options (the same compiler and options as the i686 stub, over the
# POSIX platform instead of Win32), decoding the -lh7- corpus samples once
# into a file under valgrind's instruction count. A measure that a noisy or
# emulated machine does not blur, for comparing two versions of the decoder.
#
#   bench/decoder_instructions.sh [REV]
#
# With REV (a commit), the decoder of that commit is counted too, and the
# ratio given. Needs build/host (for the samples), g++-multilib and valgrind.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
cd "$repo"
for tool in valgrind g++; do
  command -v "$tool" >/dev/null || { echo "decoder_instructions: $tool is missing" >&2; exit 1; }
done
bench_decoder=build/host/bench/bench_decoder
[ -x "$bench_decoder" ] || { echo "decoder_instructions: build the host preset first" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$bench_decoder" --write-samples "$work/all" >/dev/null 2>&1
mkdir "$work/samples"
grep ' corpus-[a-z]*/lh7$' "$work/all/samples.txt" > "$work/samples/samples.txt"
while read -r file _; do ln -s "$work/all/$file" "$work/samples/$file"; done < "$work/samples/samples.txt"
output_bytes=$(awk '{ n += $3 } END { print n }' "$work/samples/samples.txt")

# The stub's code generation options for i686 (src/stub/CMakeLists.txt), and
# no position-independent code, as in the stub.
flags=(-m32 -march=i386 -mpreferred-stack-boundary=2 -malign-data=abi -Oz -flto -fno-pic
       -no-pie -fno-tree-loop-distribute-patterns -fno-exceptions -fno-rtti
       -fno-asynchronous-unwind-tables -fomit-frame-pointer -fno-jump-tables
       -finput-charset=UTF-8 -fexec-charset=CP932 -D_FILE_OFFSET_BITS=64)

# count TREE: instructions of one decode of the samples by TREE's sources,
# with TREE's own harness (it calls the codec as that tree defines it).
count() {
  local tree=$1 out=$work/harness-$RANDOM
  g++ "${flags[@]}" -I"$tree/src" -o "$out" "$tree/bench/stubbench_win32.cpp" "$tree"/src/decode/*.cpp \
    "$tree/src/core/globals.cpp" "$tree"/src/platform/posix/*.cpp
  valgrind --tool=cachegrind --cache-sim=no --cachegrind-out-file=/dev/null \
    "$out" "$work/samples" --check 2>&1 >/dev/null |
    awk '/stubbench:/ { print > "/dev/stderr"; bad = 1 } /I +refs:/ { gsub(",", "", $NF); n = $NF }
         END { if (bad || n == "") exit 1; print n }'
}

now=$(count "$repo")
printf '%-12s %15s instructions  %.1f per output byte\n' "this tree" "$now" \
  "$(awk -v n="$now" -v b="$output_bytes" 'BEGIN { print n / b }')"
if [ -n "${1:-}" ]; then
  mkdir "$work/rev"
  git archive "$1" src bench | tar -x -C "$work/rev"
  then=$(count "$work/rev")
  printf '%-12s %15s instructions  %.1f per output byte\n' "$1" "$then" \
    "$(awk -v n="$then" -v b="$output_bytes" 'BEGIN { print n / b }')"
  awk -v a="$now" -v b="$then" 'BEGIN { printf "this tree / %s: %.3f\n", ARGV[1], a / b }' "$1"
fi
