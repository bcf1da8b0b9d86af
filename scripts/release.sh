#!/usr/bin/env bash
# Makes the release packages from this tree into build/release/ (or OUTDIR):
#   sfxbuild_VERSION_ARCH.deb       the builder, the i686 stub it uses by default,
#                                   the manual page, the bash completion, the docs
#   sfxbuild-VERSION-windows.zip    sfxbuild.exe (i686), sfxstub.exe, README, licence
# VERSION is what the builder's --version prints. Both files come out byte for
# byte the same when made again, in any folder: the time is the last commit's
# (SOURCE_DATE_EPOCH), build paths are mapped away, and the archives have
# fixed owners, modes, times and order.
#   scripts/release.sh [OUTDIR]
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
out=$(realpath -m "${1:-build/release}")
work=$repo/build/release-work
say() { echo "release: $*" >&2; }
die() { say "$*"; exit 1; }

for tool in cmake ninja dpkg-deb dpkg-shlibdeps dpkg-buildflags help2man gzip python3 \
            i686-w64-mingw32-g++-posix; do
  command -v "$tool" >/dev/null 2>&1 || die "missing: $tool (scripts/install-deps.sh installs it)"
done

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) ||
    die "not a git clone: set SOURCE_DATE_EPOCH"
fi
export SOURCE_DATE_EPOCH
if [ -n "$(git status --porcelain --untracked-files=no 2>/dev/null)" ]; then
  say "warning: the tree has uncommitted changes; the packages carry them with the last commit's time"
fi
# Everything that could differ between two machines' shells.
export LC_ALL=C.UTF-8 TZ=UTC
umask 022

# The build paths never reach a binary; the builder gets Debian's hardening.
map="-ffile-prefix-map=$repo=."
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
host_cflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CFLAGS) $map"
host_cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS) $map"
host_ldflags=$(dpkg-buildflags --get LDFLAGS)

configure() {
  local dir=$1
  shift
  cmake -S "$repo" -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log" >&2; die "configuring $dir failed"; }
}
mkdir -p "$work"
say "building the stub and the builder for Windows (i686)"
# The stub's own link options already strip it and leave out the time stamp;
# the same for the builder.
configure "$work/win32" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_C_FLAGS="$map" -DCMAKE_CXX_FLAGS="$map" \
  -DCMAKE_EXE_LINKER_FLAGS="-s -Wl,--no-insert-timestamp"
cmake --build "$work/win32" --target sfxbuild -j2 >"$work/win32.build.log" 2>&1 ||
  { tail -n 40 "$work/win32.build.log" >&2; die "the win32 build failed"; }
stub=$work/win32/src/stub/sfxstub.exe
winbuilder=$work/win32/tools/sfxbuild/sfxbuild.exe

say "building the builder for this system"
configure "$work/host" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS="$host_cflags" \
  -DCMAKE_CXX_FLAGS="$host_cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$host_ldflags" \
  -DSFX_INSTALL_STUB="$stub"
cmake --build "$work/host" --target sfxbuild sfxbuild_man -j2 >"$work/host.build.log" 2>&1 ||
  { tail -n 40 "$work/host.build.log" >&2; die "the host build failed"; }
[ -f "$work/host/tools/sfxbuild/sfxbuild.1" ] || die "no manual page was made (help2man)"

version=$("$work/host/tools/sfxbuild/sfxbuild" --version | sed -n 's/^sfxbuild \([0-9][0-9A-Za-z.+~-]*\)$/\1/p')
[ -n "$version" ] || die "sfxbuild --version prints no version"
changelog_version=$(sed -n '1s/^sfxbuild (\([^)]*\)).*/\1/p' packaging/debian/changelog)
[ "$changelog_version" = "$version" ] ||
  die "packaging/debian/changelog is for $changelog_version, sfxbuild --version says $version"
arch=$(dpkg --print-architecture)
# Who answers for the package: the one who makes the release, named as
# Debian's own tools take it (DEBFULLNAME, DEBEMAIL), or else the signer of
# the changelog's entry. The changelog shipped is signed by the same.
signer=$(sed -n 's/^ -- \(.*>\)  .*$/\1/p' packaging/debian/changelog | head -n 1)
maintainer=$signer
if [ -n "${DEBEMAIL:-}" ]; then
  [ -n "${DEBFULLNAME:-}" ] || die "DEBEMAIL is set without DEBFULLNAME"
  maintainer="$DEBFULLNAME <$DEBEMAIL>"
fi
printf '%s' "$maintainer" | grep -Eq '^[^<>@,]*[^<>@, ] <[^<>@ ]+@[^<>@ ]+\.[^<>@ .]+>$' ||
  die "not a maintainer Debian takes (a name and <address>): $maintainer"
sed_text() { printf '%s' "$1" | sed 's/[\/&]/\\&/g'; }

# Every file of a tree: the commit's time, modes by kind alone.
normalise() {
  find "$1" -type d -exec chmod 0755 {} +
  find "$1" -type f -exec chmod 0644 {} +
  find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}

say "the Debian package"
root=$work/deb
rm -rf "$root"
DESTDIR=$root cmake --install "$work/host" --prefix /usr >/dev/null
# As Debian's own packaging strips: without the debug data and the notes of
# no use to a user.
strip --remove-section=.comment --remove-section=.note "$root/usr/bin/sfxbuild"
doc=$root/usr/share/doc/sfxbuild
mkdir -p "$doc" "$root/DEBIAN"
gzip -9n "$root/usr/share/man/man1/sfxbuild.1"
sed "s/^ -- $(sed_text "$signer")  / -- $(sed_text "$maintainer")  /" packaging/debian/changelog |
  gzip -9nc >"$doc/changelog.gz"
gzip -9nc README.md >"$doc/README.md.gz"
{
  cat packaging/debian/copyright.head
  # The licence's text, from its permission notice on, as the format's
  # continuation lines.
  sed -n '/^Permission/,$p' LICENSE | sed -e 's/^$/./' -e 's/^/ /'
} >"$doc/copyright"
normalise "$root"
chmod 0755 "$root/usr/bin/sfxbuild"
# dpkg-shlibdeps wants a source package's control file; a minimal one in a
# folder of its own will do.
mkdir -p "$work/shlibdeps/debian"
printf 'Source: sfxbuild\n\nPackage: sfxbuild\nArchitecture: any\n' >"$work/shlibdeps/debian/control"
depends=$(cd "$work/shlibdeps" && dpkg-shlibdeps -O -e"$root/usr/bin/sfxbuild" 2>"$work/shlibdeps.log" |
          sed -n 's/^shlibs:Depends=//p') || { cat "$work/shlibdeps.log" >&2; die "dpkg-shlibdeps failed"; }
[ -n "$depends" ] || die "dpkg-shlibdeps found no dependencies"
# As dpkg-gencontrol counts: each file in KiB rounded up, one for each folder.
size=$(find "$root" -path "$root/DEBIAN" -prune -o \( -type f -printf '%s\n' -o -printf '1024\n' \) |
       awk '{ k += int(($1 + 1023) / 1024) } END { print k }')
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@INSTALLED_SIZE@/$size/" \
    -e "s/@DEPENDS@/$depends/" -e "s/@MAINTAINER@/$(sed_text "$maintainer")/" \
    packaging/debian/control >"$root/DEBIAN/control"
(cd "$root" && find usr -type f | sort | xargs md5sum) >"$root/DEBIAN/md5sums"
normalise "$root/DEBIAN"
mkdir -p "$out"
deb=$out/sfxbuild_${version}_${arch}.deb
dpkg-deb --root-owner-group -Zxz --threads-max=1 --build "$root" "$deb" >/dev/null

say "the Windows zip"
zip=$out/sfxbuild-$version-windows.zip
# The files at the zip's top: a Windows user's "Extract all" makes the folder.
python3 - "$zip" "$SOURCE_DATE_EPOCH" "$winbuilder" sfxbuild.exe "$stub" sfxstub.exe \
    README.md README.md LICENSE LICENSE.txt <<'EOF'
import sys, time, zipfile
target, epoch, pairs = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
# Zip times are local times from 1980 on, in two-second steps.
stamp = time.gmtime(max(epoch, 315532800))[:6]
with zipfile.ZipFile(target + ".tmp", "w") as z:
    for source, name in zip(pairs[0::2], pairs[1::2]):
        info = zipfile.ZipInfo(name, stamp)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.create_system = 0          # MS-DOS attributes: what Windows expects
        info.external_attr = 0x20       # archive bit, no Unix modes
        with open(source, "rb") as f:
            z.writestr(info, f.read(), compresslevel=9)
import os
os.replace(target + ".tmp", target)
EOF

for f in "$deb" "$zip"; do
  printf '%s  %s bytes  %s\n' "$(sha256sum "$f" | cut -c1-16)" "$(stat -c %s "$f")" "$f"
done
