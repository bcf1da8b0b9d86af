#!/usr/bin/env python3
"""A sweep of hostile self-extractors under Wine.

    sweep.py --count N --seed S --sfxbuild BUILDER --win-build DIR --work DIR

Makes self-extractors of a small tree with the builder (every method, a
notice and a setup script), then N mutated copies of them with a fixed seed:
bit flips in headers (with the header CRC made right, so that the walk goes
on) and in data, truncations, extreme sizes, long and reaching names, foreign
methods, random streams behind valid headers, block fields without NUL and
archive offsets anywhere. Each runs under Wine with -n into a folder of its
own; the driver answers every box and ends a run that does not end by itself.

The sweep's Wine prefix has a drive S: for its folder and no Z:, so that a
name may reach outside its destination (a leading separator or a drive is
allowed by design) but not outside S: without being seen. Each run is
classified:

    expected   exit status 0 or 1, and nothing below
    crash      another exit status, or Wine reported an unhandled exception
    hang       the run did not end within the bound
    outside    a file appeared on another drive than S:
    partial    a file in the run's folder holds bytes that no input file has
               (a partial file left after an error)

The summary counts each class and gives the time per input; the exit status
is 1 when any run is not expected. Failing inputs are kept with their
transcripts under WORK/failed.
"""

import argparse
import hashlib
import json
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_scenario as rs  # noqa: E402

BOUND_MS = 20000

# ------------------------------------------------------------------ inputs


def crc16(data, crc=0):
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def make_tree(root, rng):
    """A small tree: text, binary, an empty file, Japanese names, a folder."""
    files = {
        "readme.txt": ("これは説明書です。\r\n" * 200).encode("cp932"),
        "data/table.csv": "".join("%d,%d,%d\r\n" % (i, i * i, i * 7 % 13)
                                  for i in range(3000)).encode(),
        "data/noise.bin": bytes(rng.getrandbits(8) for _ in range(6000)),
        "表示/ソフト表.txt": ("表示のテスト\r\n" * 50).encode("cp932"),
        "empty.txt": b"",
    }
    for name, data in files.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    return {hashlib.sha256(d).hexdigest() for d in files.values()}


def build_bases(opts, work, rng):
    tree = os.path.join(work, "tree")
    shutil.rmtree(tree, ignore_errors=True)
    os.makedirs(tree)
    digests = make_tree(tree, rng)
    notice = os.path.join(work, "notice.txt")
    script = os.path.join(work, "setup.txt")
    texts = {notice: "使用許諾に同意しますか？\n",
             script: "$WindowTitle=スイープ\n$InstallTitle=展開先:\n$ClassTitle=関連付け\n"
                     "$GroupTitle=メニュー\n"}
    for path, text in texts.items():
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        # A renamed special entry is extracted as a file with these bytes.
        digests.add(hashlib.sha256(text.encode("cp932")).hexdigest())
    bases = []
    for method in ("lh0", "lh5", "lh6", "lh7"):
        out = os.path.join(work, "base-%s.exe" % method)
        cmd = [opts.sfxbuild, "create", "-q", "-o", out, "--stub", opts.stub, "--method", method,
               "--notice", notice, "--script", script, "--title", "スイープ"] + \
            sorted(os.listdir(tree))
        subprocess.run(cmd, cwd=tree, check=True)
        with open(out, "rb") as f:
            bases.append(bytearray(f.read()))
    return bases, digests


# ------------------------------------------------------------------ mutations

def headers(image):
    """(offset, total header size, data size) of every entry header."""
    out = []
    at = struct.unpack_from("<I", image, 512)[0]
    if image[512 + 601] & 4:
        at += 2   # the archive checksum
    while at + 26 <= len(image):
        size = struct.unpack_from("<H", image, at)[0]
        if size < 26 or at + size > len(image):
            break
        packed = struct.unpack_from("<I", image, at + 7)[0]
        out.append((at, size, packed))
        at += size + packed
    return out


def fix_header_crc(image, at, size):
    """Rewrites the header-CRC extension of the header at `at`."""
    p = at + 24
    crc_at = None
    while p + 2 <= at + size:
        ext = struct.unpack_from("<H", image, p)[0]
        if ext == 0:
            break
        if image[p + 2] == 0x00 and ext >= 5:
            crc_at = p + 3
        p += ext
    if crc_at is None:
        return
    struct.pack_into("<H", image, crc_at, 0)
    struct.pack_into("<H", image, crc_at, crc16(image[at:at + size]))


def replace_name(image, at, size, packed, name):
    """The header rebuilt with another file name (0x01 extension)."""
    header = image[at:at + size]
    exts = []
    p = 24
    while p + 2 <= size:
        ext = struct.unpack_from("<H", header, p)[0]
        if ext == 0:
            break
        exts.append(bytearray(header[p + 2:p + ext]))   # type and data
        p += ext
    exts = [e for e in exts if e and e[0] != 0x01]
    exts.insert(0, bytearray(b"\x01" + name))
    body = bytearray(header[:24])
    for e in exts:
        body += struct.pack("<H", len(e) + 2) + e
    body += struct.pack("<H", 0)
    if len(body) > 0xFFFF:
        return image
    struct.pack_into("<H", body, 0, len(body))
    new = image[:at] + body + image[at + size:]
    fix_header_crc(new, at, len(body))
    return new


def mutate(base, rng):
    image = bytearray(base)
    hs = headers(image)
    kind = rng.choice(["header-bits", "header-bits", "data-bits", "truncate", "extreme-size",
                       "long-name", "reaching-name", "foreign-method", "random-stream",
                       "block-no-nul", "offset"])
    if not hs:
        kind = "block-no-nul"
    at, size, packed = rng.choice(hs) if hs else (0, 0, 0)
    if kind == "header-bits":
        for _ in range(rng.randint(1, 4)):
            p = at + 2 + rng.randrange(size - 2)
            image[p] ^= 1 << rng.randrange(8)
        if rng.random() < 0.8:
            fix_header_crc(image, at, size)
    elif kind == "data-bits":
        if packed == 0:
            return mutate(base, rng)
        for _ in range(rng.randint(1, 8)):
            image[at + size + rng.randrange(packed)] ^= 1 << rng.randrange(8)
    elif kind == "truncate":
        start = struct.unpack_from("<I", image, 512)[0]
        del image[rng.randrange(start, len(image)):]
    elif kind == "extreme-size":
        field = rng.choice([7, 11])
        value = rng.choice([0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, rng.getrandbits(32),
                            packed * 3 + 1])
        struct.pack_into("<I", image, at + field, value)
        fix_header_crc(image, at, size)
    elif kind == "long-name":
        n = rng.choice([200, 254, 255, 256, 259, 260, 300, 1000])
        alphabet = b"abcXYZ0123._-/\\\x83\x5c\x81\x40\x95\x5c\xff "
        name = bytes(rng.choice(alphabet) for _ in range(n))
        image = replace_name(image, at, size, packed, name)
    elif kind == "reaching-name":
        # Names that leave the destination but not the drive (a leading
        # separator, the drive itself, parent folders), and device names.
        # Directory macros lead to other drives by design and are left out.
        name = rng.choice([b"..\\..\\out.txt", b"\\root.txt", b"S:\\sweep-drive.txt",
                           b"S:relative.txt", b"../../up.txt", b"aux.txt", b"con",
                           b"a:b.txt", b"..\\..\\..\\..\\..\\deep.txt"])
        image = replace_name(image, at, size, packed, name)
    elif kind == "foreign-method":
        image[at + 2:at + 7] = rng.choice([b"-lh9-", b"-lzs-", b"-pm0-", b"-lh1-", b"-lh4-",
                                           b"-lhd-", b"-lh8-", b"-lh5 "])
        fix_header_crc(image, at, size)
    elif kind == "random-stream":
        if packed == 0:
            return mutate(base, rng)
        image[at + size:at + size + packed] = bytes(rng.getrandbits(8) for _ in range(packed))
    elif kind == "block-no-nul":
        field = rng.choice([(516, 41), (557, 41), (598, 256), (854, 259)])
        alphabet = b"abcXYZ \x83\x5c\x81\x40\\/%:\"-"
        image[field[0]:field[0] + field[1]] = bytes(rng.choice(alphabet) for _ in range(field[1]))
    elif kind == "offset":
        struct.pack_into("<I", image, 512, rng.choice(
            [0, 512, 1115, len(image), len(image) + 1, rng.randrange(len(image) + 100),
             0xFFFFFFFF]))
    return kind, image


# ------------------------------------------------------------------ one run

def snapshot_outside(state):
    """Files of the prefix's C: drive with their modification times."""
    root = os.path.join(state, "prefix", "drive_c")
    out = {}
    for dirpath, _, filenames in os.walk(root):
        for name in filenames:
            path = os.path.join(dirpath, name)
            try:
                out[path] = os.lstat(path).st_mtime_ns
            except OSError:
                pass
    return out


def classify(transcript, wine_log, run_dir, digests, before, after):
    problems = []
    m = re.search(r"^\s*[\d.]+ exit (-?\d+)$", transcript, re.M)
    if re.search(r"^\s*[\d.]+ hang$", transcript, re.M):
        return "hang", ["no end within %d ms" % BOUND_MS]
    if not m:
        return "hang", ["no exit status"]
    status = int(m.group(1))
    if status not in (0, 1):
        return "crash", ["exit status %d" % status]
    if re.search(r"Unhandled (exception|page fault)", wine_log):
        return "crash", ["Wine reported an unhandled exception"]
    changed = sorted(p for p, t in after.items() if before.get(p) != t)
    # Wine's own files of the session (its temporary folder) are no output.
    changed = [p for p in changed if "/AppData/Local/Temp/" not in p]
    if changed:
        return "outside", ["written on C:: %s" % p for p in changed[:5]]
    for dirpath, _, filenames in os.walk(run_dir):
        for name in filenames:
            path = os.path.join(dirpath, name)
            if os.path.basename(path) in ("x.exe", "script.txt", "transcript.txt", "wine.log"):
                continue
            with open(path, "rb") as f:
                digest = hashlib.sha256(f.read()).hexdigest()
            if digest not in digests:
                problems.append("bytes of no input: %s" % os.path.relpath(path, run_dir))
    if problems:
        return "partial", problems
    return "expected", []


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, required=True)
    parser.add_argument("--seed", type=int, required=True)
    parser.add_argument("--sfxbuild", required=True)
    parser.add_argument("--win-build", required=True, help="build tree of the stub and driver")
    parser.add_argument("--work", required=True)
    parser.add_argument("--prefix-template", help="a Wine prefix made beforehand, to copy")
    opts = parser.parse_args(argv)
    opts.work = os.path.abspath(opts.work)
    opts.sfxbuild = os.path.abspath(opts.sfxbuild)
    opts.win32_build = os.path.abspath(opts.win_build)
    opts.stub, driver = rs.tool_paths(opts)
    for path in (opts.stub, driver, opts.sfxbuild):
        if not os.path.exists(path):
            print("sweep: missing %s (build first)" % path, file=sys.stderr)
            return 2
    rng = random.Random(opts.seed)
    shutil.rmtree(opts.work, ignore_errors=True)
    os.makedirs(opts.work)
    bases, digests = build_bases(opts, opts.work, rng)
    digests.add(hashlib.sha256(b"").hexdigest())

    # The drive S: is the sweep's folder; Z: (the whole host) is taken away.
    state = os.path.join(opts.work, "state")
    opts.state = state
    rs.setup(opts)
    root = os.path.join(opts.work, "root")
    os.makedirs(os.path.join(root, "tools"))
    shutil.copy(driver, os.path.join(root, "tools", "sfxdriver.exe"))
    devices = os.path.join(state, "prefix", "dosdevices")
    os.symlink(root, os.path.join(devices, "s:"))
    if os.path.lexists(os.path.join(devices, "z:")):
        os.remove(os.path.join(devices, "z:"))
    env = rs.wine_env(state)

    def s_path(host):
        return "S:\\" + os.path.relpath(host, root).replace("/", "\\")

    counts = {}
    report = open(os.path.join(opts.work, "report.jsonl"), "w", encoding="utf-8")
    started = time.time()
    try:
        for i in range(opts.count):
            kind, image = mutate(rng.choice(bases), rng)
            run_dir = os.path.join(root, "run", "%05d" % i)
            os.makedirs(run_dir)
            sfx = os.path.join(run_dir, "x.exe")
            with open(sfx, "wb") as f:
                f.write(image)
            script = os.path.join(run_dir, "script.txt")
            with open(script, "w", encoding="utf-8", newline="\n") as f:
                f.write("program\t%s\ncmdline\t-n %s\ncwd\t%s\nexit-timeout\t5000\n"
                        "time-scale\t%d\nanswer-all\ttimeout=%d\n" % (
                            s_path(sfx).replace("\\", "\\\\"),
                            s_path(os.path.join(run_dir, "dest")).replace("\\", "\\\\"),
                            s_path(run_dir).replace("\\", "\\\\"), round(rs.TIME_SCALE),
                            BOUND_MS))
            transcript_path = os.path.join(run_dir, "transcript.txt")
            log_path = os.path.join(run_dir, "wine.log")
            before = snapshot_outside(state)
            t0 = time.time()
            try:
                rs.run_logged(["wine", s_path(os.path.join(root, "tools", "sfxdriver.exe")),
                               s_path(script), s_path(transcript_path)], env, log_path,
                              BOUND_MS // 1000 + 40)
            except subprocess.TimeoutExpired:
                rs.restart_wine_session(env, log_path)
            seconds = time.time() - t0
            after = snapshot_outside(state)
            transcript = open(transcript_path, encoding="utf-8", errors="replace").read() \
                if os.path.exists(transcript_path) else ""
            wine_log = open(log_path, encoding="utf-8", errors="replace").read()
            verdict, problems = classify(transcript, wine_log, run_dir, digests, before, after)
            counts[verdict] = counts.get(verdict, 0) + 1
            # The boxes the damage called for, for the long runs' tables.
            boxes = re.findall(r'^\s*[\d.]+ box #\d+ .*? text="(.*)"$', transcript, re.M)
            report.write(json.dumps({"input": i, "kind": kind, "verdict": verdict,
                                     "problems": problems, "boxes": boxes,
                                     "seconds": round(seconds, 2)}, ensure_ascii=False) + "\n")
            report.flush()
            if verdict != "expected":
                keep = os.path.join(opts.work, "failed", "%05d" % i)
                shutil.copytree(run_dir, keep)
                print("sweep: input %d (%s): %s: %s" % (i, kind, verdict, "; ".join(problems)))
            else:
                shutil.rmtree(run_dir, ignore_errors=True)
    finally:
        report.close()
        rs.cleanup(opts)
    elapsed = time.time() - started
    print("sweep: %d inputs, seed %d, %.1f s each (%.0f s in all): %s" % (
        opts.count, opts.seed, elapsed / max(opts.count, 1), elapsed,
        ", ".join("%s %d" % (k, counts.get(k, 0))
                  for k in ("expected", "crash", "hang", "outside", "partial"))))
    return 0 if counts.get("expected", 0) == opts.count else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
