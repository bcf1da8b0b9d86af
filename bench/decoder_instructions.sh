#!/usr/bin/env bash
# Instructions the i686 stub's decoder executes per output byte: the stub's
# decoder, CRC and file sink built for 32-bit x86 Linux with the stub's code
# generation options (the same compiler and options as the i686 stub, over the
# POSIX platform instead of Win32), decoding each corpus (-lh7-, -lh5-, the
# binary one) once into a file under valgrind's instruction count. A measure
# that a noisy or emulated machine does not blur, for comparing two versions
# of the decoder.
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
# The corpora: a directory of links to the samples whose label matches.
corpora=("-lh7- corpus (text, binary)|corpus-[a-z]*/lh7" "-lh5- corpus (text, binary)|corpus-[a-z]*/lh5"
         "binary corpus (-lh7-)|corpus-binary/lh7")
for k in "${!corpora[@]}"; do
  mkdir "$work/samples$k"
  grep " ${corpora[$k]#*|}\$" "$work/all/samples.txt" > "$work/samples$k/samples.txt"
  while read -r file _; do ln -s "$work/all/$file" "$work/samples$k/$file"; done < "$work/samples$k/samples.txt"
  bytes[$k]=$(awk '{ n += $3 } END { print n }' "$work/samples$k/samples.txt")
done

# The stub's code generation options for i686 (src/stub/CMakeLists.txt), and
# no position-independent code, as in the stub.
flags=(-m32 -march=i386 -mpreferred-stack-boundary=2 -malign-data=abi -Oz -flto -fno-pic
       -no-pie -fno-tree-loop-distribute-patterns -fno-exceptions -fno-rtti
       -fno-asynchronous-unwind-tables -fomit-frame-pointer -fno-jump-tables
       -finput-charset=UTF-8 -fexec-charset=CP932 -D_FILE_OFFSET_BITS=64)

# harness TREE OUT: TREE's decoder with TREE's own harness (it calls the codec
# as that tree defines it).
harness() {
  g++ "${flags[@]}" -I"$1/src" -o "$2" "$1/bench/stubbench_win32.cpp" "$1"/src/decode/*.cpp \
    "$1/src/core/globals.cpp" "$1"/src/platform/posix/*.cpp
}
# count HARNESS K: instructions of one decode of corpus K's samples.
count() {
  valgrind --tool=cachegrind --cache-sim=no --cachegrind-out-file=/dev/null \
    "$1" "$work/samples$2" --check 2>&1 >/dev/null |
    awk '/stubbench:/ { print > "/dev/stderr"; bad = 1 } /I +refs:/ { gsub(",", "", $NF); n = $NF }
         END { if (bad || n == "") exit 1; print n }'
}
per_byte() { awk -v n="$1" -v b="$2" 'BEGIN { printf "%.1f", n / b }'; }

harness "$repo" "$work/now"
if [ -n "${1:-}" ]; then
  mkdir "$work/rev"
  git archive "$1" src bench | tar -x -C "$work/rev"
  harness "$work/rev" "$work/then"
fi
for k in "${!corpora[@]}"; do
  now=$(count "$work/now" "$k")
  printf '%s, %s output bytes\n' "${corpora[$k]%%|*}" "${bytes[$k]}"
  printf '  %-12s %15s instructions  %s per output byte\n' "this tree" "$now" "$(per_byte "$now" "${bytes[$k]}")"
  if [ -n "${1:-}" ]; then
    then=$(count "$work/then" "$k")
    printf '  %-12s %15s instructions  %s per output byte\n' "$1" "$then" "$(per_byte "$then" "${bytes[$k]}")"
    awk -v a="$now" -v b="$then" -v r="$1" 'BEGIN { printf "  this tree / %s: %.3f\n", r, a / b }'
  fi
done
