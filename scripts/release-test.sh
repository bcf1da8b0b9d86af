#!/usr/bin/env bash
# The release packages as their users get them:
#  - scripts/release.sh makes them, and again from a copy of the tree in
#    another folder: both times the same bytes;
#  - lintian finds no error in the Debian package;
#  - the package installs; its sfxbuild, run from a folder outside the tree
#    with no --stub, finds the installed stub, and its self-extractor tests
#    right and extracts the input under Wine;
#  - the zip's sfxbuild.exe, run under Wine from the unpacked folder, makes
#    the same bytes as the Linux builder;
#  - purging the package leaves none of its files.
# Where this machine runs no 32-bit code, the i686 programs (the installed
# stub, the zip's builder) run in the emulated lane (scripts/lane32.sh) when
# its image is made, and the x86_64 build of the Windows builder proves the
# same bytes here. Needs root (or sudo) for the package; a package of the
# name already installed is left alone and the test fails.
#   SFX_RELEASE_TWICE=0   skips the second build in another folder
#   SFX_RELEASE_LANE=0|1  never / always uses the lane (default: when its image is made)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
started=$SECONDS
say() { echo "release-test: [$((SECONDS - started)) s] $*"; }
die() { echo "release-test: FAILED: $*" >&2; exit 1; }
. scripts/x86-32.sh
sfx_probe_x86_32

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null 2>&1 || die "installing the package needs root or sudo"
  as_root=(sudo)
fi
command -v lintian >/dev/null 2>&1 || die "missing: lintian (scripts/install-deps.sh installs it)"
if dpkg-query -W -f='${Status}' sfxbuild 2>/dev/null | grep -q 'ok installed'; then
  die "a package sfxbuild is installed already: remove it first (apt-get purge sfxbuild)"
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/sfx-release-test.XXXXXX")
installed=0
state=$tmp/wine
runner=(python3 "$repo/tests/e2e/run_scenario.py")
cleanup() {
  [ -z "${second_pid:-}" ] || { kill -- "-$second_pid" 2>/dev/null; wait "$second_pid" 2>/dev/null; }
  "${runner[@]}" cleanup --state "$state" >/dev/null 2>&1 || true
  if [ $installed = 1 ]; then
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q -o DPkg::Lock::Timeout=600 sfxbuild >/dev/null 2>&1 || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

# --- the packages, twice ---------------------------------------------------
scripts/release.sh build/release
version=$(build/release-work/host/tools/sfxbuild/sfxbuild --version | cut -d' ' -f2)
arch=$(dpkg --print-architecture)
deb=$repo/build/release/sfxbuild_${version}_${arch}.deb
zip=$repo/build/release/sfxbuild-$version-windows.zip
[ -f "$deb" ] && [ -f "$zip" ] || die "release.sh made no $deb and $zip"
# The stub released is the one the scenarios test (the win32 preset's).
if [ -f build/win32/build.ninja ]; then
  cmake --build build/win32 --target sfxstub -j2 >/dev/null
  cmp build/release-work/win32/src/stub/sfxstub.exe build/win32/src/stub/sfxstub.exe ||
    die "the released stub differs from the win32 preset's"
  say "the released stub is the win32 preset's, byte for byte"
fi
# The second making runs beside the checks below; it is compared at the end.
second_pid=""
if [ "${SFX_RELEASE_TWICE:-1}" = 1 ]; then
  # The tree's files (tracked, and new ones not ignored) in a folder of
  # another name and depth: no .git, so the time is handed over.
  copy=$tmp/another/place/lzhsfx-copy
  mkdir -p "$copy"
  git ls-files -z --cached --others --exclude-standard | xargs -0 cp -a --parents -t "$copy"
  say "making the packages again in $copy, meanwhile the checks"
  # A session of its own, so that a failure here ends its compilers too.
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct) setsid "$copy/scripts/release.sh" "$tmp/second" \
    >"$tmp/second.log" 2>&1 &
  second_pid=$!
else
  say "SFX_RELEASE_TWICE=0: not made a second time"
fi
compare_second() {
  [ -n "$second_pid" ] || return 0
  wait "$second_pid" || { cat "$tmp/second.log"; die "release.sh failed in the copy"; }
  second_pid=""
  for f in "$deb" "$zip"; do
    cmp "$f" "$tmp/second/$(basename "$f")" || die "$(basename "$f") differs when made in another folder"
  done
  say "made twice, in two folders: the same bytes"
}

# --- the maintainer --------------------------------------------------------
# The releaser's name where Debian's tools have it, else the changelog's
# signer; the shipped changelog is signed by the same, and a malformed one
# is refused before anything is made.
want=$(sed -n 's/^ -- \(.*>\)  .*$/\1/p' packaging/debian/changelog | head -n 1)
[ -z "${DEBEMAIL:-}" ] || want="${DEBFULLNAME:-} <$DEBEMAIL>"
[ "$(dpkg-deb -f "$deb" Maintainer)" = "$want" ] || die "the package's maintainer is not $want"
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/sfxbuild/changelog.gz | zcat |
  grep -qF " -- $want  " || die "the shipped changelog is not signed by $want"
if refused=$(DEBFULLNAME="A Tester" DEBEMAIL=no-address scripts/release.sh "$tmp/refused" 2>&1); then
  die "release.sh took a maintainer without an address"
fi
grep -q "not a maintainer Debian takes" <<<"$refused" || { echo "$refused"; die "no clear error for a bad maintainer"; }
[ ! -e "$tmp/refused" ] || die "release.sh made packages for a bad maintainer"
say "maintainer: $want, in the control file and the changelog; a bad one refused"

# --- lintian ---------------------------------------------------------------
lintian --fail-on error --display-info --pedantic "$deb" >"$tmp/lintian.txt" 2>&1 || {
  cat "$tmp/lintian.txt"
  die "lintian reports errors"
}
grep -v '^running with root' "$tmp/lintian.txt" | sed 's/^/  lintian: /' || true
say "lintian: no error ($(grep -c '^[WIP]: ' "$tmp/lintian.txt" || true) other tags, above)"

# --- installed -------------------------------------------------------------
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=600 \
  "$deb" >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log"; die "the package does not install"; }
installed=1
dpkg-query -L sfxbuild | sort >"$tmp/files.txt"
for f in /usr/bin/sfxbuild /usr/share/sfxbuild/sfxstub.exe /usr/share/man/man1/sfxbuild.1.gz \
         /usr/share/bash-completion/completions/sfxbuild /usr/share/doc/sfxbuild/copyright \
         /usr/share/doc/sfxbuild/changelog.gz; do
  grep -qx "$f" "$tmp/files.txt" && [ -e "$f" ] || die "the package does not install $f"
done
[ "$(/usr/bin/sfxbuild --version)" = "sfxbuild $(dpkg-query -W -f='${Version}' sfxbuild)" ] ||
  die "sfxbuild --version and the package's version differ"
bash -c '. /usr/share/bash-completion/completions/sfxbuild && complete -p sfxbuild' >/dev/null ||
  die "the bash completion defines none for sfxbuild"
zcat /usr/share/man/man1/sfxbuild.1.gz | grep -q '^\.TH SFXBUILD' || die "the manual page is no page"

# A user's folder, far from the tree: no build path, no --stub, no SFX_STUB.
user=$tmp/user
mkdir -p "$user/input/docs/サブ"
printf 'installed builder\r\n' >"$user/input/readme.txt"
head -c 200000 /dev/urandom >"$user/input/docs/random.bin"
seq 1 20000 >"$user/input/docs/サブ/numbers.txt"
touch -d '2024-02-29 12:34:56 UTC' "$user/input/readme.txt"
(cd "$user" && env -u SFX_STUB PATH=/usr/bin:/bin sfxbuild create -q -o setup.exe input/.) ||
  die "the installed sfxbuild cannot make a self-extractor"
(cd "$user" && /usr/bin/sfxbuild test setup.exe) >"$tmp/test.txt" 2>&1 || { cat "$tmp/test.txt"; die "sfxbuild test fails"; }
grep -q '5 entries tested, all OK' "$tmp/test.txt" || { cat "$tmp/test.txt"; die "sfxbuild test does not test the 5 entries (3 files, 2 folders)"; }
# The stub it took is the package's: the same bytes as with that stub named.
(cd "$user" && /usr/bin/sfxbuild create -q -o named.exe --stub "$repo/build/release-work/win32/src/stub/sfxstub.exe" input/.)
cmp "$user/setup.exe" "$user/named.exe" || die "the installed builder did not take the installed stub"
say "installed: sfxbuild $version finds its stub; the self-extractor tests right"

# --- Windows programs ------------------------------------------------------
mkdir -p "$tmp/zip"
python3 - "$zip" "$tmp/zip" <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    names = z.namelist()
    expected = ["sfxbuild.exe", "sfxstub.exe", "README.md", "LICENSE.txt"]
    if names != expected:
        sys.exit("the zip holds %s, not %s" % (names, expected))
    z.extractall(sys.argv[2])
EOF
cmp "$tmp/zip/sfxstub.exe" /usr/share/sfxbuild/sfxstub.exe || die "the zip's stub is not the package's"

# Runs the self-extractor into out/ and the builder of $1 (its folder beside
# the stub) on the same input; where $1 is the zip's folder this is what a
# Windows user does.
wine_checks() {
  local builder_folder=$1
  (cd "$user" && "${runner[@]}" wine --state "$state" --timeout 300 -- \
     "$builder_folder\\sfxbuild.exe" create -q -o windows.exe input/.) ||
    die "sfxbuild.exe fails under Wine"
  cmp "$user/windows.exe" "$user/setup.exe" || die "sfxbuild.exe makes other bytes than the Linux builder"
}

winpath() { local p=$1; echo "Z:${p//\//\\}"; }
if [ "$SFX_RUNS_X86_32" = 1 ]; then
  mkdir -p "$tmp/stubfolder/src/stub"
  cp "$tmp/zip/sfxstub.exe" "$tmp/stubfolder/src/stub/"
  "${runner[@]}" setup --state "$state" --win32-build "$tmp/stubfolder" >/dev/null
  set +e
  "${runner[@]}" wine --state "$state" --timeout 120 -- "$(winpath "$user/setup.exe")" -n "$(winpath "$user/out")"
  status=$?
  set -e
  [ "$status" = 1 ] || die "the self-extractor under Wine ended with $status, not 1 (extracted)"
  diff -r "$user/input" "$user/out" || die "the self-extractor extracted another tree"
  say "under Wine: the self-extractor extracts the input"
  wine_checks "$(winpath "$tmp/zip")"
  say "under Wine: the zip's sfxbuild.exe makes the Linux builder's bytes"
else
  say "this machine runs no 32-bit code: the installed i686 stub and the zip's i686 sfxbuild.exe do not run here"
  # The same builder's sources for x86_64, in the zip's folder in place of the i686 one: with the zip's stub.
  if [ -f build/win64/build.ninja ]; then w64=build/win64; else
    w64=build/release-work/win64
    [ -f $w64/build.ninja ] || cmake -S . -B $w64 -G Ninja -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
  fi
  cmake --build $w64 --target sfxbuild -j2 >"$tmp/win64.log" 2>&1 || { tail -n 30 "$tmp/win64.log"; die "the win64 builder does not build"; }
  mkdir -p "$tmp/zip64"
  cp "$tmp/zip/sfxstub.exe" "$tmp/zip/README.md" "$tmp/zip/LICENSE.txt" "$tmp/zip64/"
  cp $w64/tools/sfxbuild/sfxbuild.exe "$tmp/zip64/"
  "${runner[@]}" setup --state "$state" --win32-build "$repo/$w64" >/dev/null
  wine_checks "$(winpath "$tmp/zip64")"
  say "under 64-bit Wine: the x86_64 sfxbuild.exe beside the zip's stub makes the Linux builder's bytes"
  "${runner[@]}" cleanup --state "$state" >/dev/null 2>&1 || true

  lane=${SFX_RELEASE_LANE:-auto}
  cache="${SFX_LANE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/sfx-lane32}"
  why="SFX_RELEASE_LANE=0"
  if [ "$lane" = auto ]; then
    # Wine's setup in the emulated machine alone takes minutes: only where
    # the image is made already.
    why="no lane image; scripts/lane32.sh image makes it"
    if [ -f "$cache/image/inputs" ]; then lane=1; else lane=0; fi
  fi
  if [ "$lane" = 1 ]; then
    # The guest gets the user's folder and the unpacked zip in its /out.
    out=$tmp/lane
    mkdir -p "$out"
    cp -a "$user" "$out/user"
    rm -rf "$out/user/windows.exe"
    cp -a "$tmp/zip" "$out/zip"
    say "in the i686 lane: the self-extractor, and the zip's sfxbuild.exe"
    scripts/lane32.sh run scripts/lane32/release.sh "$out" >"$tmp/lane.log" 2>&1 ||
      { cat "$tmp/lane.log"; die "the i686 lane's checks failed"; }
    cat "$out/results.txt"
    grep -qx 'extract pass' "$out/results.txt" && grep -qx 'builder pass' "$out/results.txt" ||
      die "the i686 lane's checks failed"
  else
    say "the i686 programs are not run in the lane either ($why)"
  fi
fi

compare_second

# --- purged ----------------------------------------------------------------
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q -o DPkg::Lock::Timeout=600 sfxbuild >"$tmp/purge.log" 2>&1 ||
  { cat "$tmp/purge.log"; die "the package does not purge"; }
installed=0
! dpkg-query -W -f='${Status}' sfxbuild 2>/dev/null | grep -q 'installed' || die "dpkg still knows sfxbuild"
left=()
while read -r f; do
  # Folders that other packages share (/usr, /usr/share/man/man1) stay.
  if [ -d "$f" ] && [ ! -L "$f" ]; then
    case "$f" in /usr/share/sfxbuild|/usr/share/doc/sfxbuild) left+=("$f") ;; esac
  elif [ -e "$f" ] || [ -L "$f" ]; then
    left+=("$f")
  fi
done <"$tmp/files.txt"
[ ${#left[@]} -eq 0 ] || die "purged, the package leaves: ${left[*]}"
say "purged: nothing of the package is left"
say "passed in $((SECONDS - started)) s"
