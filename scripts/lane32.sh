#!/usr/bin/env bash
# The i686 lane: an emulated 32-bit-capable machine (qemu-system-x86_64, a
# Debian guest whose kernel runs 32-bit code, with wine32) in which the i686
# stub and driver run for real where this machine's kernel cannot run them.
#
#   scripts/lane32.sh image                  make the guest image, or check that the cached one is current
#   scripts/lane32.sh scenarios [NAME...]    the i686 set (tests/e2e/lane32.txt), or the named
#                                            scenarios, and the stub's decoder on the samples
#   scripts/lane32.sh sweep [N [SEED]]       only the hostile sweep with the i686 stub: N inputs
#                                            (default 1000) from SEED (default 1)
#   scripts/lane32.sh run SCRIPT [OUT]       any shell script as the guest's job; OUT (default a
#                                            temporary folder) is /out in the guest
#
# The image is kept outside the repository, in $SFX_LANE_CACHE (default
# ~/.cache/sfx-lane32), and made again when its inputs change: the files in
# scripts/lane32/ that go into it, the mirror and the suite. It is made
# without mounting anything on this machine: debootstrap into a folder, the
# packages installed in a chroot, mke2fs -d. The mirror is this machine's own
# (its apt sources). Every boot starts from the same image (snapshot=on); the
# repository is shared read-only as /repo, the results come back through /out.
# Needs root (debootstrap, chroot) the first time.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
lane="$repo/scripts/lane32"
cache="${SFX_LANE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/sfx-lane32}"
image="$cache/image"
# A whole run of the set is bounded; a boot that hangs is ended.
timeout_s="${SFX_LANE_TIMEOUT:-1800}"

say() { echo "lane32: $*" >&2; }
die() { say "$*"; exit 1; }

# The host's Debian mirror and suite, from its own apt sources.
host_mirror() {
  python3 - <<'EOF'
import glob, re
found = []
for path in ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*.list")):
    try:
        for line in open(path):
            m = re.match(r"\s*deb\s+(?:\[[^]]*\]\s+)?(\S+)\s+(\S+)", line)
            if m:
                found.append((m.group(1), m.group(2)))
    except OSError:
        pass
for path in sorted(glob.glob("/etc/apt/sources.list.d/*.sources")):
    try:
        text = open(path).read()
    except OSError:
        continue
    for stanza in re.split(r"\n\s*\n", text):
        fields = dict(re.findall(r"^(\w[\w-]*):\s*(.*)$", stanza, re.M))
        if "deb" not in fields.get("Types", "").split() or fields.get("Enabled", "yes") == "no":
            continue
        for uri in fields.get("URIs", "").split():
            for suite in fields.get("Suites", "").split():
                found.append((uri, suite))
codename = ""
for line in open("/etc/os-release"):
    if line.startswith("VERSION_CODENAME="):
        codename = line.split("=", 1)[1].strip().strip('"')
for uri, suite in found:
    if suite == codename:
        print(uri.rstrip("/"), suite)
        break
EOF
}

inputs_digest() {
  { cat "$lane/provision.sh" "$lane/init.sh" "$lane/prefix.sh"; echo "$1"; } | sha256sum | cut -d' ' -f1
}

need() {
  local missing=()
  for tool in "$@"; do command -v "$tool" >/dev/null 2>&1 || missing+=("$tool"); done
  [ ${#missing[@]} -eq 0 ] || die "missing: ${missing[*]} (scripts/install-deps.sh installs them)"
}

# Boots the guest once: $1 the image folder, $2 the /out folder (holding
# job.sh), $3 "snapshot" or "write", $4 the bound in seconds.
boot() {
  local dir=$1 out=$2 mode=$3 bound=$4 snapshot=on
  [ "$mode" = write ] && snapshot=off
  # TCG, the emulator alone: no KVM is needed (nor, nested, to be trusted).
  # Its SMAP emulation makes the guest kernel oops on Wine's return to user
  # mode, hence -smap.
  rm -f "$out/job.status"
  local booted=$SECONDS
  timeout --kill-after=10 "$bound" qemu-system-x86_64 -nodefaults -no-user-config \
    -machine q35 -accel tcg -cpu max,-smap -smp 2 -m 3072 \
    -kernel "$dir/vmlinuz" -initrd "$dir/initrd.img" \
    -append "root=/dev/vda rw console=ttyS0 init=/sbin/lane32-init panic=-1 quiet" \
    -drive "file=$dir/rootfs.img,if=virtio,format=raw,snapshot=$snapshot" \
    -virtfs "local,path=$repo,mount_tag=repo,security_model=none,readonly=on" \
    -virtfs "local,path=$out,mount_tag=out,security_model=none" \
    -display none -serial "file:$out/console.log" -no-reboot || true
  local ran=$((SECONDS - booted))
  [ -f "$out/job.status" ] || {
    say "the guest ended without finishing its job after $ran s (bound $bound s); its console:"
    tail -n 30 "$out/console.log" >&2 || true
    return 1
  }
  local status
  status=$(cat "$out/job.status")
  [ "$status" = 0 ] || say "the guest's job ended with status $status after $ran s"
  return "$status"
}

# Keeps the logs of a failed attempt at the image in $cache/failed and names
# them; the rest of the attempt is removed.
keep_failure() {
  local tmp=$1 kept=$cache/failed f
  rm -rf "$kept"
  mkdir -p "$kept"
  for f in debootstrap.log provision.log out/job.log out/console.log; do
    [ -f "$tmp/$f" ] && cp "$tmp/$f" "$kept/$(basename "$f")"
  done
  echo "ran $((SECONDS - image_started)) s; $(date -u +%FT%TZ)" >"$kept/when"
  rm -rf "$tmp"
  say "the failed attempt's logs are kept in $kept: $(cd "$kept" && ls | tr '\n' ' ')"
}

make_image() {
  need debootstrap mke2fs qemu-system-x86_64 unshare python3
  [ "$(id -u)" = 0 ] || die "making the guest image needs root (debootstrap, chroot)"
  local source mirror suite digest
  source=$(host_mirror)
  [ -n "$source" ] || die "no Debian mirror for this release in /etc/apt/sources*"
  read -r mirror suite <<<"$source"
  digest=$(inputs_digest "$mirror $suite")
  if [ -f "$image/inputs" ] && [ "$(cat "$image/inputs")" = "$digest" ]; then
    return 0
  fi
  mkdir -p "$cache"
  exec 9>"$cache/lock"
  flock 9
  if [ -f "$image/inputs" ] && [ "$(cat "$image/inputs")" = "$digest" ]; then
    return 0
  fi
  local started=$SECONDS tmp
  image_started=$SECONDS
  tmp=$(mktemp -d "$cache/new.XXXXXX")
  # A half-made image is never taken for a made one; the logs of a failed
  # attempt are kept to see why.
  trap 'keep_failure "$tmp"' EXIT
  say "making the guest image in $cache from $mirror $suite"
  debootstrap --variant=minbase --arch=amd64 "$suite" "$tmp/root" "$mirror" >"$tmp/debootstrap.log" 2>&1 ||
    { tail -n 20 "$tmp/debootstrap.log" >&2; die "debootstrap failed"; }
  say "base system in $((SECONDS - started)) s"
  install -m 755 "$lane/provision.sh" "$tmp/root/provision.sh"
  # proc and sys for the packages' scripts, in a mount namespace of their own,
  # so that nothing stays mounted on this machine.
  unshare --mount --propagation private -- sh -c '
    mount -t proc proc "$1/proc" && mount -t sysfs sys "$1/sys" &&
    chroot "$1" /provision.sh "$2" "$3"' sh "$tmp/root" "$mirror" "$suite" >"$tmp/provision.log" 2>&1 ||
    { tail -n 30 "$tmp/provision.log" >&2; die "installing the guest's packages failed"; }
  rm -f "$tmp/root/provision.sh"
  install -m 755 "$lane/init.sh" "$tmp/root/sbin/lane32-init"
  say "packages in $((SECONDS - started)) s"
  cp -L "$tmp/root/vmlinuz" "$tmp/vmlinuz"
  cp -L "$tmp/root/initrd.img" "$tmp/initrd.img"
  mke2fs -q -t ext4 -L lane32 -d "$tmp/root" "$tmp/rootfs.img" 6G
  rm -rf "$tmp/root"
  # The first boot makes the Wine prefix that every run starts from.
  mkdir -p "$tmp/out"
  install -m 755 "$lane/prefix.sh" "$tmp/out/job.sh"
  if ! boot "$tmp" "$tmp/out" write 2700; then
    say "the first boot's job log:"
    cat "$tmp/out/job.log" >&2 2>/dev/null || true
    die "the first boot did not make the Wine prefix"
  fi
  rm -rf "$tmp/out"
  echo "$digest" >"$tmp/inputs"
  rm -rf "$image"
  mv "$tmp" "$image"
  trap - EXIT
  say "image made in $((SECONDS - started)) s ($(du -sh "$image" | cut -f1) used)"
}

# Runs a job script in the guest; its output is in OUT/job.log.
run_job() {
  local script=$1 out=$2 bound=${3:-$timeout_s}
  [ -f "$image/inputs" ] || die "no guest image: run scripts/lane32.sh image first"
  mkdir -p "$out"
  install -m 755 "$script" "$out/job.sh"
  boot "$image" "$out" snapshot "$bound"
}

# The whole set also runs a short sweep (SFX_SWEEP_COUNT, SFX_SWEEP_SEED, as
# on this machine); "sweep" runs a sweep alone, with a bound for its length.
run_scenarios() {
  local out="$repo/build/lane32" names=("$@") started=$SECONDS status=0 bound=$timeout_s sweep=""
  if [ "${1:-}" = --sweep ]; then
    sweep="$2 $3"
    names=()
    bound=$((timeout_s + $2 * 60))
    out="$repo/build/lane32-sweep"
  fi
  for f in build/win32/src/stub/sfxstub.exe build/win32/src/stub/stubbench.exe \
           build/win32/tests/e2e/driver/sfxdriver.exe build/host/tools/sfxbuild/sfxbuild \
           build/host/tests/e2e/e2emake build/host/bench/bench_decoder; do
    [ -e "$repo/$f" ] || die "$f is missing: build the host and win32 presets first"
  done
  make_image
  rm -rf "$out"
  mkdir -p "$out"
  if [ -n "$sweep" ]; then
    echo "$sweep" >"$out/sweep.txt"
  elif [ ${#names[@]} -eq 0 ]; then
    echo "${SFX_SWEEP_COUNT:-30} ${SFX_SWEEP_SEED:-1}" >"$out/sweep.txt"
    mapfile -t names < <(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$repo/tests/e2e/lane32.txt")
    "$repo/build/host/bench/bench_decoder" --write-samples "$out/samples" >/dev/null
  fi
  for n in "${names[@]}"; do
    [ -f "$repo/tests/e2e/scenarios/$n.scn" ] || die "no scenario $n"
  done
  [ ${#names[@]} -eq 0 ] && : >"$out/scenarios.txt" || printf '%s\n' "${names[@]}" >"$out/scenarios.txt"
  say "${#names[@]} scenarios with the i686 stub and driver$([ -d "$out/samples" ] && echo ", the stub's decoder on the samples")$([ -f "$out/sweep.txt" ] && echo ", a sweep of $(cut -d' ' -f1 "$out/sweep.txt") hostile inputs")"
  run_job "$lane/scenarios.sh" "$out" "$bound" || status=$?
  if [ -f "$out/results.txt" ]; then
    sed 's/^/  /' "$out/results.txt" >&2
  fi
  local failed
  failed=$(grep -v ' pass ' "$out/results.txt" 2>/dev/null | cut -d' ' -f1 || true)
  for n in $failed; do
    [ -f "$out/logs/$n.log" ] && { say "== $n"; tail -n 40 "$out/logs/$n.log" >&2; }
  done
  [ -f "$out/logs/sweep.log" ] && grep '^sweep:' "$out/logs/sweep.log" | tail -n 20 >&2
  if [ "$status" -ne 0 ] || [ -n "$failed" ] || [ ! -s "$out/results.txt" ]; then
    [ -n "$failed" ] || tail -n 40 "$out/job.log" >&2 2>/dev/null || true
    say "FAILED in $((SECONDS - started)) s (logs and artifacts in $out)"
    return 1
  fi
  say "passed in $((SECONDS - started)) s"
}

case "${1:-}" in
  image) make_image ;;
  scenarios) shift; run_scenarios "$@" ;;
  sweep) run_scenarios --sweep "${2:-1000}" "${3:-1}" ;;
  run)
    [ $# -ge 2 ] || die "usage: scripts/lane32.sh run SCRIPT [OUT]"
    out=${3:-$(mktemp -d "${TMPDIR:-/tmp}/lane32.XXXXXX")}
    make_image
    run_job "$2" "$out" && status=0 || status=$?
    cat "$out/job.log"
    echo "lane32: job status $status; /out was $out" >&2
    exit "$status"
    ;;
  *) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
esac
