#!/usr/bin/env python3
"""The hostile sweep's mutants against the builder's own reader.

    builder_sweep.py --count N --seed S --sfxbuild BUILDER --stub STUB --work DIR

Makes the sweep's base self-extractors and N mutated copies of them (the
same mutations, the same seed rule), and runs `list`, `test` and `extract -C`
of the builder on each; meant for a builder built with ASan and UBSan. Each
command is classified:

    expected   exit status 0, or 1 with a report of what is wrong
    crash      another status, a signal, or a sanitizer's report (leaks too)
    silent     exit status 1 without a word
    hang       no end within the bound
    outside    extract wrote outside its -C folder
    partial    extract left a file whose bytes no input has

The summary counts each class; the exit status is 1 when any command is not
expected. Failing inputs are kept with their output under WORK/failed.
"""

import argparse
import hashlib
import json
import os
import random
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sweep  # noqa: E402

BOUND_S = 60
# Deep enough that the mutants' parent-folder names ("..\..\..\..\..\x")
# stay inside the work folder, where they are seen.
NEST = ("n",) * 7
# Where a name taken as absolute on this machine would land.
ABSOLUTE = ["/root.txt", "/out.txt", "/up.txt", "/deep.txt", "/sweep-drive.txt",
            "/relative.txt", "/b.txt"]
SANITIZER = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
             "UndefinedBehaviorSanitizer")


def snapshot(root):
    """Files with their times, and folders (whose times move with their entries)."""
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames:
            out[os.path.join(dirpath, name)] = "folder"
        for name in filenames:
            path = os.path.join(dirpath, name)
            try:
                out[path] = os.lstat(path).st_mtime_ns
            except OSError:
                pass
    return out


def classify(command, status, stdout, stderr, before, after, dest, digests):
    if status is None:
        return "hang", ["no end within %d s" % BOUND_S]
    if any(s in stderr for s in SANITIZER):
        return "crash", [line for line in stderr.splitlines()
                         if any(s in line for s in SANITIZER)][:3]
    if status not in (0, 1):
        return "crash", ["exit status %d" % status]
    if status == 1 and not (stdout + stderr).strip():
        return "silent", ["exit status 1 and no message"]
    if command != "extract":
        return "expected", []
    changed = [p for p, t in after.items() if before.get(p) != t
               and p != dest and not p.startswith(dest + os.sep)]
    changed += [p for p in ABSOLUTE if os.path.lexists(p) and p not in before]
    if changed:
        return "outside", ["written: %s" % p for p in sorted(changed)[:5]]
    problems = []
    for dirpath, _, filenames in os.walk(dest):
        for name in filenames:
            path = os.path.join(dirpath, name)
            if os.path.islink(path):
                problems.append("a link: %s" % os.path.relpath(path, dest))
                continue
            with open(path, "rb") as f:
                if hashlib.sha256(f.read()).hexdigest() not in digests:
                    problems.append("bytes of no input: %s" % os.path.relpath(path, dest))
    return ("partial", problems) if problems else ("expected", [])


def run(cmd, cwd):
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1:abort_on_error=0",
               UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1", LC_ALL="C.UTF-8")
    try:
        p = subprocess.run(cmd, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=BOUND_S)
    except subprocess.TimeoutExpired:
        return None, "", ""
    status = p.returncode if p.returncode >= 0 else 128 - p.returncode
    return status, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, required=True)
    parser.add_argument("--seed", type=int, required=True)
    parser.add_argument("--sfxbuild", required=True)
    parser.add_argument("--stub", required=True)
    parser.add_argument("--work", required=True)
    opts = parser.parse_args(argv)
    opts.work = os.path.abspath(opts.work)
    for path in (opts.sfxbuild, opts.stub):
        if not os.path.exists(path):
            print("builder_sweep: missing %s (build first)" % path, file=sys.stderr)
            return 2
    opts.sfxbuild = os.path.abspath(opts.sfxbuild)
    opts.stub = os.path.abspath(opts.stub)
    rng = random.Random(opts.seed)
    shutil.rmtree(opts.work, ignore_errors=True)
    os.makedirs(opts.work)
    bases, digests = sweep.build_bases(opts, opts.work, rng)
    digests.add(hashlib.sha256(b"").hexdigest())
    before_absolute = {p for p in ABSOLUTE if os.path.lexists(p)}

    counts = {}
    started = time.time()
    with open(os.path.join(opts.work, "report.jsonl"), "w") as report:
        for i in range(opts.count):
            kind, image = sweep.mutate(rng.choice(bases), rng)
            run_dir = os.path.join(opts.work, *NEST, "%05d" % i)
            os.makedirs(run_dir)
            sfx = os.path.join(run_dir, "x.exe")
            with open(sfx, "wb") as f:
                f.write(image)
            dest = os.path.join(run_dir, "dest")
            bad = []
            for command in ("list", "test", "extract"):
                cmd = [opts.sfxbuild, command] + (["-C", dest] if command == "extract" else [])
                before = snapshot(opts.work)
                before.update({p: 0 for p in before_absolute})
                status, stdout, stderr = run(cmd + [sfx], run_dir)
                after = snapshot(opts.work)
                verdict, problems = classify(command, status, stdout, stderr, before, after,
                                             dest, digests)
                counts[verdict] = counts.get(verdict, 0) + 1
                report.write(json.dumps({"input": i, "kind": kind, "command": command,
                                         "status": status, "verdict": verdict,
                                         "problems": problems}) + "\n")
                if verdict != "expected":
                    bad.append(verdict)
                    print("builder_sweep: input %d (%s), %s: %s: %s" % (
                        i, kind, command, verdict, "; ".join(problems)))
                    with open(os.path.join(run_dir, command + ".out"), "w") as f:
                        f.write(stdout + stderr)
            if bad:
                shutil.copytree(run_dir, os.path.join(opts.work, "failed", "%05d" % i),
                                symlinks=True)
            shutil.rmtree(run_dir, ignore_errors=True)
    elapsed = time.time() - started
    total = 3 * opts.count
    print("builder_sweep: %d inputs × list, test, extract, seed %d, %.0f s in all: %s" % (
        opts.count, opts.seed, elapsed,
        ", ".join("%s %d" % (k, counts.get(k, 0))
                  for k in ("expected", "crash", "silent", "hang", "outside", "partial"))))
    return 0 if counts.get("expected", 0) == total else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
