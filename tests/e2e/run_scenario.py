#!/usr/bin/env python3
"""Runs end-to-end scenarios of the self-extractor under Wine.

    run_scenario.py setup   --state DIR ...      fresh Wine prefix, X server, wineserver
    run_scenario.py run SCENARIO --state DIR ... one scenario (sets up by itself if needed)
    run_scenario.py cleanup --state DIR ...      stops what setup started
    run_scenario.py wine --state DIR -- PROG ARG...  one program under that setup

A scenario file (tests/e2e/README.md describes the format) says how to make
the self-extractor, how to start it, the steps the driver follows against its
windows, and what the run must leave behind. The driver (sfxdriver.exe, built
in the win32 preset) reports what it saw in a transcript; this runner checks
the exit status, the transcript and the extracted tree, and keeps the
transcript and a screenshot under the artifact folder when a scenario fails.

A scenario never passes by being skipped: a missing Wine, X server, stub or
driver is a failure.
"""

import argparse
import calendar
import hashlib
import os
import random
import re
import shlex
import shutil
import signal
import stat
import subprocess
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FIXTURES = os.path.join(REPO, "tests", "fixtures")   # overridden by --fixtures

DRIVER_STEPS = {"box", "dialog", "control", "type", "click", "close", "wait-progress",
                "sleep", "no-box", "window", "press", "set", "snapshot", "screenshot", "xshot", "exit",
                "kill-process", "profile", "wcontrol", "items", "mouse", "key", "window-gone",
                "layout"}
# Input files get this time unless the scenario says otherwise: an odd second,
# so the two-second rounding of the archive's times is seen.
DEFAULT_MTIME = calendar.timegm((2021, 3, 4, 5, 6, 7))
DRIVER_TIMEOUT = 240
# The ANSI code pages a scenario can ask for, and the locale settings that
# make Wine give a new prefix that code page. 932 is the stub's own; 1252 is a
# Windows whose ANSI code page cannot hold its texts; 65001 is one whose ANSI
# code page is UTF-8 (Windows' beta choice "use Unicode UTF-8"), which holds
# them all but reads no Shift-JIS byte as such. Wine has no switch for that:
# it ignores an ACP written to the registry and takes the code pages from the
# system locale, LC_CTYPE, giving 65001 to a locale that has no ANSI code page
# of its own, such as Hindi. The user's locale, LC_MESSAGES (from LANG), stays
# English, as on an English Windows with that choice made.
CODEPAGES = {
    932: {"LANG": "ja_JP.UTF-8", "LC_ALL": "ja_JP.UTF-8"},
    1252: {"LANG": "C.UTF-8", "LC_ALL": "C.UTF-8"},
    65001: {"LANG": "en_US.UTF-8", "LC_CTYPE": "hi_IN.UTF-8"},
}
# Code pages whose locales setup compiles into the state (LOCPATH): few
# machines have them generated, and the locales package has their sources.
OWN_LOCALES = {65001}
DEFAULT_CODEPAGE = 932


class ScenarioError(Exception):
    """The scenario is malformed or cannot be prepared."""


class Failure(Exception):
    """The scenario ran and did not hold."""


# ------------------------------------------------------------------ paths

def win_path(path):
    """The Windows form under Wine's Z: drive of an absolute host path."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def quote_arg(arg):
    """One argument as the stub splits its command line: a blank (or an empty
    argument) needs double quotes; a double quote cannot be expressed."""
    if '"' in arg:
        raise ScenarioError("an argument with a double quote needs cmdline: %r" % arg)
    if arg == "" or any(ord(c) <= 32 for c in arg):
        return '"%s"' % arg
    return arg


def escape_field(text):
    """A field of the driver's script: TAB-separated, so \\, TAB and LF are escaped."""
    return text.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n")


# ------------------------------------------------------------------ scenario

class Scenario:
    def __init__(self, name):
        self.name = name
        self.inputs = []        # (line, kind, args)
        self.aux = []           # (line, name, content)
        self.existing = []      # (line, args)
        self.maker = None       # (line, "build"|"make"|"stub", args)
        self.args = None
        self.cmdline = None
        self.cwd = None
        self.exit_timeout = None
        self.headers = []       # (line, keyword, args): helper, await-window, env
        self.windows_version = None
        self.dpi = None   # the system's DPI for this run alone
        self.deep_folder = None
        self.sign = False           # sign the self-extractor after making it
        self.dest_tmpfs = None      # size of a tmpfs mounted as {dest}: a small disk
        self.dest_name = "dest"     # the last component of {dest}
        self.windows_builder = False  # the Windows builder must make the same bytes
        self.codepage = DEFAULT_CODEPAGE  # the ANSI code page of the prefix it needs
        self.also_codepages = []  # further code pages it runs under, unchanged
        self.steps = []         # (line, keyword, args)
        self.status = None
        self.checks = []        # (line, keyword, args)


def parse_scenario(text, name="scenario"):
    sc = Scenario(name)
    for number, raw in enumerate(text.splitlines(), 1):
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        # Transcript patterns are the rest of the line as written: not split.
        if line.split(None, 1)[0] in ("transcript", "no-transcript", "expect-transcript"):
            words = line.split(None, 1)
        else:
            try:
                words = shlex.split(line, comments=False, posix=True)
            except ValueError as e:
                raise ScenarioError("line %d: %s" % (number, e))
        key, args = words[0], words[1:]
        if key in ("input-file", "input-dir", "input-tree"):
            sc.inputs.append((number, key, args))
        elif key == "aux-file":
            if len(args) != 2:
                raise ScenarioError("line %d: aux-file NAME CONTENT" % number)
            sc.aux.append((number, args[0], args[1]))
        elif key == "existing":
            sc.existing.append((number, args))
        elif key in ("build", "make", "stub"):
            if sc.maker:
                raise ScenarioError("line %d: the self-extractor is already made" % number)
            sc.maker = (number, key, args)
        elif key == "args":
            sc.args = args
        elif key == "cmdline":
            if len(args) != 1:
                raise ScenarioError("line %d: cmdline takes one quoted text" % number)
            sc.cmdline = args[0]
        elif key == "cwd":
            sc.cwd = args[0] if args else None
        elif key in ("helper", "await-window", "close-windows", "env"):
            if not args:
                raise ScenarioError("line %d: %s needs an argument" % (number, key))
            sc.headers.append((number, key, args))
        elif key == "dest-tmpfs":
            if len(args) != 1 or not re.fullmatch(r"\d+[kmg]?", args[0]):
                raise ScenarioError("line %d: dest-tmpfs SIZE (e.g. 1m)" % number)
            sc.dest_tmpfs = args[0]
        elif key == "dest-name":
            if len(args) != 1 or not args[0] or "/" in args[0]:
                raise ScenarioError("line %d: dest-name NAME (one folder name)" % number)
            sc.dest_name = args[0]
        elif key == "sign":
            sc.sign = True
        elif key == "windows-builder":
            sc.windows_builder = True
        elif key == "deep-folder":
            sc.deep_folder = int(args[0])
        elif key == "codepage":
            if len(args) != 1 or not args[0].isdigit() or int(args[0]) not in CODEPAGES:
                raise ScenarioError("line %d: codepage %s" % (
                    number, "|".join(str(c) for c in sorted(CODEPAGES))))
            sc.codepage = int(args[0])
        elif key == "also-codepage":
            if not args or any(not a.isdigit() or int(a) not in CODEPAGES for a in args):
                raise ScenarioError("line %d: also-codepage %s..." % (
                    number, "|".join(str(c) for c in sorted(CODEPAGES))))
            sc.also_codepages = [int(a) for a in args]
        elif key == "windows-version":
            sc.windows_version = args[0] if args else None
        elif key == "dpi":
            if len(args) != 1 or not args[0].isdigit() or not 96 <= int(args[0]) <= 480:
                raise ScenarioError("line %d: dpi N (96 to 480)" % number)
            sc.dpi = int(args[0])
        elif key == "exit-timeout":
            sc.exit_timeout = int(args[0])
        elif key in DRIVER_STEPS:
            sc.steps.append((number, key, args))
        elif key == "status":
            sc.status = int(args[0])
        elif key in ("transcript", "no-transcript", "expect-transcript"):
            # The rest of the line as it stands is the pattern.
            rest = line.split(None, 1)
            if len(rest) != 2:
                raise ScenarioError("line %d: %s REGEX" % (number, key))
            sc.checks.append((number, key, [rest[1]]))
        elif key in ("expect-tree", "expect-file", "expect-prefix-file", "expect-missing", "expect-reg",
                     "expect-no-reg", "expect-startmenu", "expect-no-startmenu", "expect-log"):
            sc.checks.append((number, key, args))
        else:
            raise ScenarioError("line %d: unknown keyword %s" % (number, key))
    if sc.codepage in sc.also_codepages or len(set(sc.also_codepages)) != len(sc.also_codepages):
        raise ScenarioError("also-codepage names a code page twice")
    if sc.maker is None:
        raise ScenarioError("the scenario does not say how to make the self-extractor "
                            "(build, make or stub)")
    if sc.status is None:
        raise ScenarioError("the scenario gives no expected exit status (status N)")
    if sc.args is not None and sc.cmdline is not None:
        raise ScenarioError("args and cmdline exclude each other")
    return sc


def substitute(text, values):
    """Replaces {name} placeholders; an unknown one is an error, so a typo
    cannot pass as literal text."""
    def one(m):
        key = m.group(1)
        if key not in values:
            raise ScenarioError("unknown placeholder {%s}" % key)
        return values[key]
    return re.sub(r"\{([a-z-]+)\}", one, text)


# ------------------------------------------------------------------ contents

# The helper program of the win32 (or win64) build, for "helper" contents.
HELPER = None


def make_content(desc):
    """Bytes of a content description: text:S (UTF-8), sjis:S (code page 932),
    zeros:N, random:N[:SEED], repeat:N:S, copy:PATH (relative to the repo),
    helper (the scenarios' helper program, sfxhelper.exe)."""
    if desc == "helper":
        with open(HELPER, "rb") as f:
            return f.read()
    kind, _, rest = desc.partition(":")
    if kind == "text":
        return rest.encode("utf-8")
    if kind == "sjis":
        return rest.encode("cp932")
    if kind == "zeros":
        return bytes(int(rest))
    if kind == "random":
        size, _, seed = rest.partition(":")
        rng = random.Random(int(seed) if seed else 1)
        return bytes(rng.getrandbits(8) for _ in range(int(size)))
    if kind == "repeat":
        size, _, unit = rest.partition(":")
        if not unit:
            raise ScenarioError("repeat needs a text: repeat:N:TEXT")
        data = unit.encode("utf-8")
        return (data * (int(size) // len(data) + 1))[:int(size)]
    if kind == "copy":
        with open(os.path.join(REPO, rest), "rb") as f:
            return f.read()
    raise ScenarioError("unknown content %r" % desc)


def parse_time(text):
    """Seconds since 1970 from 2021-03-04T05:06:07 (UTC) or a plain number."""
    if re.fullmatch(r"\d+", text):
        return int(text)
    m = re.fullmatch(r"(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)", text)
    if not m:
        raise ScenarioError("bad time %r" % text)
    return calendar.timegm(tuple(int(g) for g in m.groups()))


def file_options(args, number):
    """The trailing options of input-file / existing: mtime=T, readonly."""
    mtime, readonly = DEFAULT_MTIME, False
    for a in args:
        if a.startswith("mtime="):
            mtime = parse_time(a[6:])
        elif a == "readonly":
            readonly = True
        else:
            raise ScenarioError("line %d: unknown option %s" % (number, a))
    return mtime, readonly


def write_file(root, rel, data, mtime, readonly):
    path = os.path.join(root, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    if readonly:
        os.chmod(path, 0o444)
    os.utime(path, (mtime, mtime))


def build_input(sc, root):
    os.makedirs(root, exist_ok=True)
    dir_times = []
    for number, kind, args in sc.inputs:
        if kind == "input-file":
            if len(args) < 2:
                raise ScenarioError("line %d: input-file PATH CONTENT [options]" % number)
            mtime, readonly = file_options(args[2:], number)
            write_file(root, args[0], make_content(args[1]), mtime, readonly)
        elif kind == "input-dir":
            if not args:
                raise ScenarioError("line %d: input-dir PATH" % number)
            mtime, _ = file_options(args[1:], number)
            os.makedirs(os.path.join(root, args[0]), exist_ok=True)
            dir_times.append((os.path.join(root, args[0]), mtime))
        elif kind == "input-tree":
            src = os.path.join(REPO, args[0])
            if not os.path.isdir(src):
                raise ScenarioError("line %d: no folder %s" % (number, args[0]))
            shutil.copytree(src, root, dirs_exist_ok=True)
    # Directories last: writing into them changes their times.
    for path, mtime in dir_times:
        os.utime(path, (mtime, mtime))


# ------------------------------------------------------------------ trees

def read_tree(root):
    """Every folder and file under root: relative path -> description."""
    tree = {}
    for dirpath, dirnames, filenames in os.walk(root):
        rel_dir = os.path.relpath(dirpath, root)
        for d in dirnames:
            tree[os.path.normpath(os.path.join(rel_dir, d))] = {"kind": "dir"}
        for name in filenames:
            path = os.path.join(dirpath, name)
            st = os.lstat(path)
            with open(path, "rb") as f:
                digest = hashlib.sha256(f.read()).hexdigest()
            tree[os.path.normpath(os.path.join(rel_dir, name))] = {
                "kind": "file", "size": st.st_size, "sha256": digest,
                "mtime": int(st.st_mtime),
                "readonly": not (st.st_mode & stat.S_IWUSR)}
    return tree


def tree_from_manifest(manifest_path, archive):
    """The entries the manifest lists for one archive, in the same form."""
    tree = {}
    with open(manifest_path, encoding="utf-8") as f:
        rows = [line.rstrip("\n").split("\t") for line in f if line.strip()]
    for row in rows[1:]:
        if row[0] != archive:
            continue
        name = bytes.fromhex(row[1]).decode("cp932")
        if row[2] == "dir":
            tree[os.path.normpath(name.rstrip("/"))] = {"kind": "dir"}
        else:
            tree[os.path.normpath(name)] = {"kind": "file", "size": int(row[2]),
                                            "sha256": row[3]}
    if not tree:
        raise ScenarioError("the manifest lists nothing for %s" % archive)
    return tree


def compare_trees(expected, actual, mtime=True, attributes=False, exact_time=False):
    """Differences between the tree packed and the tree extracted. The
    self-extractor sets times in two-second steps: an odd second comes back one
    lower (exact_time: the builder's extraction keeps the second)."""
    problems = []
    for path in sorted(set(expected) | set(actual)):
        e, a = expected.get(path), actual.get(path)
        if a is None:
            problems.append("missing %s %s" % (e["kind"], path))
            continue
        if e is None:
            problems.append("unexpected %s %s" % (a["kind"], path))
            continue
        if e["kind"] != a["kind"]:
            problems.append("%s is a %s, expected a %s" % (path, a["kind"], e["kind"]))
            continue
        if e["kind"] == "dir":
            continue
        if e["size"] != a["size"]:
            problems.append("%s has %d bytes, expected %d" % (path, a["size"], e["size"]))
        elif e["sha256"] != a["sha256"]:
            problems.append("%s has other contents" % path)
        want = e.get("mtime", 0) - (0 if exact_time else e.get("mtime", 0) % 2)
        if mtime and "mtime" in e and a["mtime"] != want:
            problems.append("%s was last written at %d, expected %d" % (path, a["mtime"], want))
        if attributes and "readonly" in e and a["readonly"] != e["readonly"]:
            problems.append("%s is %sread-only" % (path, "" if a["readonly"] else "not "))
    return problems


# ------------------------------------------------------------------ Wine

def tool_paths(opts):
    global HELPER
    stub = os.path.join(opts.win32_build, "src", "stub", "sfxstub.exe")
    driver = os.path.join(opts.win32_build, "tests", "e2e", "driver", "sfxdriver.exe")
    HELPER = os.path.join(opts.win32_build, "tests", "e2e", "driver", "sfxhelper.exe")
    return stub, driver


def pe_machine(path):
    """The machine field of a PE image: 0x14c (i386) or 0x8664 (x86_64)."""
    with open(path, "rb") as f:
        data = f.read(4096)
    at = int.from_bytes(data[0x3C:0x40], "little")
    if data[at:at + 4] != b"PE\0\0":
        raise Failure("%s is no PE image" % path)
    return int.from_bytes(data[at + 4:at + 6], "little")


# A machine that cannot execute 32-bit x86 code runs the x86_64 build of the
# same stub and driver (win64 preset) under 64-bit Wine. Debian's "wine"
# prefers the 32-bit loader, so the prefix gets commands of its own that call
# the 64-bit one, first on the PATH.
WINE64_COMMANDS = {
    "wine": 'exec /usr/lib/wine/wine64 "$@"',
    "wineboot": 'exec /usr/lib/wine/wine64 wineboot.exe "$@"',
    "wineserver": 'exec /usr/lib/wine/wineserver64 "$@"',
}


def windows_view(stub, state):
    """Where the stub's Windows puts its folders: an i686 program in a 64-bit
    prefix sees Windows as a 32-bit program on 64-bit Windows does, with the
    32-bit program folder and the system folder redirected to the 32-bit one."""
    try:
        with open(os.path.join(state, "prefix", "system.reg"), errors="replace") as f:
            win64 = "#arch=win64" in f.read(4096)
    except OSError:
        win64 = False
    wow64 = win64 and pe_machine(stub) == 0x14c
    folder = "Program Files (x86)" if wow64 else "Program Files"
    return {"programfiles": "C:\\" + folder, "programfiles-folder": folder,
            "system-folder": "windows/syswow64" if wow64 else "windows/system32"}


def make_wine64_commands(state):
    folder = os.path.join(state, "bin")
    os.makedirs(folder, exist_ok=True)
    for name, line in WINE64_COMMANDS.items():
        path = os.path.join(folder, name)
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + line + "\n")
        os.chmod(path, 0o755)


def state_codepage(state):
    """The ANSI code page the state's prefix was made for (setup writes it
    first): its locale goes into every Wine command of that prefix."""
    try:
        with open(os.path.join(state, "codepage")) as f:
            text = f.read().strip()
    except OSError:
        return DEFAULT_CODEPAGE
    if not text.isdigit() or int(text) not in CODEPAGES:
        raise Failure("%s names no known code page: %r" % (os.path.join(state, "codepage"),
                                                          text))
    return int(text)


def locale_folder(state):
    return os.path.join(state, "locale")


def make_locales(state, codepage, log_path):
    """Compiles the locales of the code page's settings into the state, for
    LOCPATH (glibc then reads no other locale)."""
    folder = locale_folder(state)
    os.makedirs(folder, exist_ok=True)
    if not shutil.which("localedef"):
        raise Failure("missing program: localedef (run scripts/install-deps.sh)")
    for name in sorted(set(CODEPAGES[codepage].values())):
        source, _, charmap = name.partition(".")
        out = os.path.join(folder, name)
        # 1 is warnings, with the locale written all the same.
        if run_logged(["localedef", "-i", source, "-f", charmap, out], None, log_path,
                      120) not in (0, 1) or not os.path.exists(os.path.join(out, "LC_CTYPE")):
            raise Failure("localedef could not make %s (see %s)" % (name, log_path))


def wine_env(state):
    env = dict(os.environ)
    codepage = state_codepage(state)
    # The host's own LC_ variables would override these settings.
    for name in [n for n in env if n.startswith("LC_")]:
        del env[name]
    env.update(CODEPAGES[codepage])
    if codepage in OWN_LOCALES:
        env["LOCPATH"] = locale_folder(state)
    if os.path.isdir(os.path.join(state, "bin")):
        env.update({"PATH": os.path.join(state, "bin") + os.pathsep + env.get("PATH", ""),
                    "WINEARCH": "win64", "WINELOADER": "/usr/lib/wine/wine64",
                    "WINESERVER": "/usr/lib/wine/wineserver64"})
    with open(os.path.join(state, "display")) as f:
        display = f.read().strip()
    env.update({
        "WINEPREFIX": os.path.join(state, "prefix"),
        "WINEDEBUG": "-all",
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
        "DISPLAY": display,
        # Archive times are taken as UTC; the host's zone must not shift them.
        "TZ": "UTC",
    })
    return env


def require_tools():
    missing = [t for t in ("wine", "wineboot", "wineserver", "Xvfb") if not shutil.which(t)]
    if missing:
        raise Failure("missing programs: %s (run scripts/install-deps.sh)" % " ".join(missing))


def pid_alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except OSError:
        return False


def state_ready(state):
    try:
        with open(os.path.join(state, "xvfb.pid")) as f:
            pid = int(f.read())
    except (OSError, ValueError):
        return False
    return os.path.exists(os.path.join(state, "ready")) and pid_alive(pid)


def start_xvfb(state):
    read_end, write_end = os.pipe()
    log = open(os.path.join(state, "xvfb.log"), "wb")
    proc = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten",
         "tcp"], pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=log, stderr=log,
        start_new_session=True)
    os.close(write_end)
    number = b""
    deadline = time.time() + 30
    while time.time() < deadline and not number.endswith(b"\n"):
        chunk = os.read(read_end, 16)
        if not chunk:
            break
        number += chunk
    os.close(read_end)
    if not number.strip().isdigit():
        proc.kill()
        raise Failure("Xvfb did not start (see %s)" % log.name)
    with open(os.path.join(state, "xvfb.pid"), "w") as f:
        f.write(str(proc.pid))
    with open(os.path.join(state, "display"), "w") as f:
        f.write(":" + number.decode().strip())


def run_driver(cmd, env, log_path, timeout, shots):
    """Runs the driver like run_logged, and meanwhile takes the X screenshots it
    asks for (NAME.request in the shots folder becomes NAME.png)."""
    deadline = time.time() + timeout
    with open(log_path, "ab") as log:
        proc = subprocess.Popen(cmd, env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        while proc.poll() is None:
            for name in os.listdir(shots):
                if not name.endswith(".request"):
                    continue
                base = os.path.join(shots, name[:-len(".request")])
                subprocess.run(["import", "-display", env["DISPLAY"], "-window", "root",
                                base + ".tmp.png"], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=30)
                os.remove(os.path.join(shots, name))
                if os.path.exists(base + ".tmp.png"):
                    os.rename(base + ".tmp.png", base + ".png")
            if time.time() > deadline:
                proc.kill()
                proc.wait()
                raise subprocess.TimeoutExpired(cmd, timeout)
            time.sleep(0.02)
        return proc.returncode


def transcript_begun(path):
    """Whether the driver wrote its first line: it starts the self-extractor
    only after that."""
    return os.path.exists(path) and os.path.getsize(path) > 0


def restart_wine_session(env, log_path):
    """Ends every process of the prefix and starts the persistent server again."""
    run_logged(["wineserver", "-k"], env, log_path, 30)
    subprocess.Popen(["wineserver", "-p"], env=env, stdin=subprocess.DEVNULL,
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                     start_new_session=True).wait(timeout=30)


# The bounds of the setup's commands are a quiet machine's; an emulated one
# beside a loaded host is many times slower (SFX_E2E_TIME_SCALE says how much).
TIME_SCALE = max(1.0, float(os.environ.get("SFX_E2E_TIME_SCALE", "1")))


def run_logged(cmd, env, log_path, timeout, cwd=None):
    # Output goes to a file: wineserver would keep a pipe open after the call.
    with open(log_path, "ab") as log:
        return subprocess.run(cmd, env=env, stdin=subprocess.DEVNULL, stdout=log,
                              stderr=log, timeout=timeout * TIME_SCALE, cwd=cwd).returncode


def setup(opts):
    require_tools()
    state = opts.state
    codepage = getattr(opts, "codepage", None) or DEFAULT_CODEPAGE
    if codepage not in CODEPAGES:
        raise Failure("no locale gives code page %d" % codepage)
    cleanup(opts)
    shutil.rmtree(state, ignore_errors=True)
    os.makedirs(state)
    # Before anything runs Wine: wine_env takes the locale from it.
    with open(os.path.join(state, "codepage"), "w") as f:
        f.write("%d\n" % codepage)
    if codepage in OWN_LOCALES:
        make_locales(state, codepage, os.path.join(state, "locale.log"))
    # The driver's build, or the stub's where the driver is not built (the demo).
    stub, driver = tool_paths(opts)
    program = driver if os.path.exists(driver) else stub
    if os.path.exists(program) and pe_machine(program) == 0x8664:
        make_wine64_commands(state)
    start_xvfb(state)
    env = wine_env(state)
    log = os.path.join(state, "wine.log")
    started = time.time()
    if getattr(opts, "prefix_template", None):
        # A prefix made once beforehand (the i686 lane's image holds one):
        # copying it takes a moment where making one takes a minute or more.
        shutil.copytree(opts.prefix_template, env["WINEPREFIX"], symlinks=True)
    elif run_logged(["wineboot", "-i"], env, log, 240) != 0:
        raise Failure("wineboot failed (see %s)" % log)
    run_logged(["wineserver", "-w"], env, log, 120)
    # A crashing stub must end with its status, not wait behind a crash dialog.
    run_logged(["wine", "reg", "add", "HKCU\\Software\\Wine\\WineDbg", "/v",
                "ShowCrashDialog", "/t", "REG_DWORD", "/d", "0", "/f"], env, log, 60)
    # No window manager runs on the virtual screen: Wine draws the captions and
    # frames itself, so that screenshots show the dialogs whole.
    run_logged(["wine", "reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v",
                "Decorated", "/t", "REG_SZ", "/d", "N", "/f"], env, log, 60)
    # The prefix must have been made for the code page asked for: the
    # scenarios' texts are compared as that Windows shows them.
    answer = os.path.join(state, "acp.txt")
    run_logged(["wine", "reg", "query",
                "HKLM\\System\\CurrentControlSet\\Control\\Nls\\CodePage", "/v", "ACP"],
               env, answer, 60)
    with open(answer, "rb") as f:
        query = f.read()
    if acp_of_query(query) != codepage:
        raise Failure("the Wine prefix does not use code page %d: %r" % (codepage, query))
    # A persistent server for the scenarios of this run: starting one per
    # scenario would cost seconds each.
    subprocess.Popen(["wineserver", "-p"], env=env, stdin=subprocess.DEVNULL,
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                     start_new_session=True).wait(timeout=30)
    with open(os.path.join(state, "ready"), "w") as f:
        f.write("%.1f\n" % (time.time() - started))
    print("e2e setup: Wine prefix for code page %d made in %.1f s, display %s" %
          (codepage, time.time() - started, env["DISPLAY"]))


def acp_of_query(query):
    """The ANSI code page in the output of `reg query ... /v ACP`, or None."""
    m = re.search(rb"ACP\s+REG_SZ\s+(\d+)\s*$", query, re.M)
    return int(m.group(1)) if m else None


def cleanup(opts):
    state = opts.state
    if os.path.exists(os.path.join(state, "display")) and os.path.isdir(
            os.path.join(state, "prefix")):
        try:
            run_logged(["wineserver", "-k"], wine_env(state), os.path.join(state, "wine.log"), 30)
        except (OSError, subprocess.TimeoutExpired, Failure):
            pass
    try:
        with open(os.path.join(state, "xvfb.pid")) as f:
            pid = int(f.read())
        os.kill(pid, signal.SIGTERM)
    except (OSError, ValueError):
        pass
    for name in ("ready", "xvfb.pid"):
        try:
            os.remove(os.path.join(state, name))
        except OSError:
            pass


# ------------------------------------------------------------------ one run

def make_deep_folder(work, length):
    """A chain of folders below {work}\\deep whose last one has a Windows path of
    exactly length bytes; its parent's path is at most length - 30 bytes."""
    parent = os.path.join(work, "deep")
    while len(win_path(parent)) + 1 + 100 < length - 30:
        parent = os.path.join(parent, "d" * 100)
    last_length = length - len(win_path(parent)) - 1
    if last_length < 30:
        raise ScenarioError("deep-folder %d: the work folder is too long" % length)
    last = "e" * last_length
    os.makedirs(os.path.join(parent, last))
    return {"deep-parent": win_path(parent), "deep-last": last}


def make_self_extractor(sc, opts, paths, values):
    number, kind, args = sc.maker
    stub = paths["stub"]
    out = paths["sfx"]
    args = [substitute(a, values) for a in args]
    log = os.path.join(paths["work"], "make.log")
    if kind == "stub":
        shutil.copyfile(stub, out)
        return
    if kind == "build":
        if not opts.sfxbuild or not os.path.exists(opts.sfxbuild):
            raise Failure("line %d: the builder sfxbuild is not built" % number)
        items = sorted(os.listdir(paths["input"]))
        cmd = [opts.sfxbuild, "create", "-o", out, "--stub", stub] + args + items
        cwd = paths["input"]
    else:
        cmd = [opts.e2emake, "--stub", stub, "-o", out] + args
        cwd = paths["work"]
    with open(log, "wb") as f:
        f.write(("$ %s\n" % " ".join(shlex.quote(c) for c in cmd)).encode())
    if run_logged(cmd, None, log, 120, cwd=cwd) != 0:
        with open(log, encoding="utf-8", errors="replace") as f:
            raise Failure("line %d: making the self-extractor failed:\n%s" % (number, f.read()))
    os.chmod(out, 0o755)
    if sc.windows_builder:
        if kind != "build":
            raise Failure("line %d: windows-builder needs build" % number)
        check_windows_builder(opts, paths, cmd, log)
    if sc.sign:
        sign_self_extractor(opts, paths, log)


def check_windows_builder(opts, paths, host_cmd, log):
    """The builder built for Windows, run under Wine with the same arguments,
    makes the same bytes with the stub found beside it; then it tests the
    result and extracts it into a tree equal to the input."""
    exe = os.path.join(opts.win32_build, "tools", "sfxbuild", "sfxbuild.exe")
    if not os.path.exists(exe):
        raise Failure("the Windows builder is not built: %s" % exe)
    env = wine_env(opts.state)
    work = paths["work"]
    made = os.path.join(work, "windows-built.exe")
    args = host_cmd[host_cmd.index("--stub") + 2:]
    runs = [
        (["create", "-q", "-o", win_path(made)] + args, paths["input"]),
        (["test", win_path(made)], work),
        (["extract", win_path(made), "-C", win_path(os.path.join(work, "windows-extracted"))],
         work),
    ]
    for arguments, cwd in runs:
        with open(log, "ab") as f:
            f.write(("$ wine sfxbuild.exe %s\n" % " ".join(arguments)).encode())
        if run_logged(["wine", win_path(exe)] + arguments, env, log, 300, cwd=cwd) != 0:
            with open(log, encoding="utf-8", errors="replace") as f:
                raise Failure("the Windows builder failed:\n%s" % f.read())
    with open(made, "rb") as a, open(paths["sfx"], "rb") as b:
        if a.read() != b.read():
            raise Failure("the Windows builder made other bytes than the host's: %s" % made)
    problems = compare_trees(read_tree(paths["input"]),
                             read_tree(os.path.join(work, "windows-extracted")), exact_time=True)
    if problems:
        raise Failure("the Windows builder extracted another tree:\n" + "\n".join(problems))


def sign_self_extractor(opts, paths, log):
    """Signs the self-extractor as a publisher would (a throwaway certificate),
    then checks that the signature verifies and that the builder still tests
    the archive behind it."""
    work, out = paths["work"], paths["sfx"]
    key, cert, signed = (os.path.join(work, n) for n in ("key.pem", "cert.pem", "signed.exe"))
    steps = [
        ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
         "/CN=sfx test signer", "-keyout", key, "-out", cert],
        ["osslsigncode", "sign", "-certs", cert, "-key", key, "-n", "LZH self-extractor test",
         "-in", out, "-out", signed],
    ]
    for cmd in steps:
        if run_logged(cmd, None, log, 120) != 0:
            raise Failure("signing failed: %s (see %s)" % (cmd[0], log))
    os.replace(signed, out)
    verify = os.path.join(work, "verify.txt")
    code = run_logged(["osslsigncode", "verify", "-CAfile", cert, "-in", out], None, verify, 120)
    text = open(verify, encoding="utf-8", errors="replace").read()
    current = re.search(r"^Current message digest\s*:\s*(\w+)", text, re.M)
    calculated = re.search(r"^Calculated message digest\s*:\s*(\w+)", text, re.M)
    if code != 0 or not current or not calculated or current.group(1) != calculated.group(1):
        raise Failure("the signature does not verify:\n" + text)
    tested = os.path.join(work, "sfxbuild-test.txt")
    if run_logged([opts.sfxbuild, "test", out], None, tested, 120) != 0:
        raise Failure("sfxbuild test fails on the signed file:\n" + open(tested).read())


def driver_script(sc, values, artifacts_win):
    lines = [["program", values["sfx"]]]
    if sc.cmdline is not None:
        lines.append(["cmdline", substitute(sc.cmdline, values)])
    elif sc.args:
        lines.append(["cmdline", " ".join(quote_arg(substitute(a, values)) for a in sc.args)])
    lines.append(["cwd", substitute(sc.cwd, values) if sc.cwd else values["work"]])
    if sc.exit_timeout:
        lines.append(["exit-timeout", str(sc.exit_timeout)])
    if TIME_SCALE > 1:
        lines.append(["time-scale", str(int(round(TIME_SCALE)))])
    lines.append(["artifacts", artifacts_win])
    for number, key, args in sc.headers:
        lines.append([key] + [substitute(a, values) for a in args])
    for number, key, args in sc.steps:
        lines.append([key] + [substitute(a, values) for a in args])
    return "".join("\t".join(escape_field(f) for f in line) + "\n" for line in lines)


def reg_default(key, env, work):
    """The default value of a registry key, or None when there is none. The
    helper reads it as the system holds it (UTF-16) and writes UTF-8: `wine reg
    query` would write the ANSI code page, which cannot hold every text (no
    Japanese under code page 1252)."""
    out = os.path.join(work, "reg-query.txt")
    if os.path.exists(out):
        os.remove(out)
    code = run_logged(["wine", win_path(HELPER), "regquery", key, win_path(out)], env,
                      os.path.join(work, "wine.log"), 60)
    if code == 1:
        return None
    if code != 0 or not os.path.exists(out):
        raise Failure("the helper cannot read the registry key %s (code %s)" % (key, code))
    with open(out, encoding="utf-8") as f:
        return f.read()


def start_menu(state):
    """The folder of the prefix where Program Manager groups become folders."""
    users = os.path.join(state, "prefix", "drive_c", "users")
    for user in sorted(os.listdir(users)):
        path = os.path.join(users, user, "AppData", "Roaming", "Microsoft", "Windows",
                            "Start Menu", "Programs")
        if os.path.isdir(path):
            return path
    raise Failure("the prefix has no Start menu folder")


def short_path(path_win, env, work, helper):
    """The short (8.3) form of a Windows path, from the platform itself; None
    when there is none (the folder was not made)."""
    out = os.path.join(work, "short-path.txt")
    run_logged(["wine", win_path(helper), "shortpath", path_win, win_path(out)], env,
               os.path.join(work, "wine.log"), 60)
    if not os.path.exists(out):
        return None
    with open(out, encoding="utf-8") as f:
        return f.read()


# How long a file check waits for a command's output, in seconds.
FILE_SETTLE = 10


def await_file(path, want):
    """The bytes of the file once they are the wanted ones, or what it holds
    (None when missing) after the bound: a command the self-extractor started
    may still be writing after the self-extractor ended."""
    deadline = time.time() + FILE_SETTLE * TIME_SCALE
    while True:
        data = None
        if os.path.isfile(path):
            with open(path, "rb") as f:
                data = f.read()
        if data == want or time.time() > deadline:
            return data
        time.sleep(0.1)


def check_results(sc, transcript, paths, values, env=None, state=None):
    problems = []
    # The short form of the destination, asked only when a check uses it.
    if env is not None and any("{dest-short}" in " ".join(a) for _, _, a in sc.checks):
        short = short_path(values["dest"], env, paths["work"], HELPER)
        if short is None:
            # The checks that name it still run, and fail, saying what they saw.
            problems.append("no short form of %s: the folder does not exist" % values["dest"])
            short = "<no short form>"
        values = dict(values, **{"dest-short": short})
    if not re.search(r"^\s*[\d.]+ codepage %d$" % sc.codepage, transcript, re.M):
        problems.append("the driver did not run under code page %d" % sc.codepage)
    m = re.search(r"^\s*[\d.]+ exit (-?\d+)$", transcript, re.M)
    if not m:
        problems.append("the self-extractor's exit status is not in the transcript")
    elif int(m.group(1)) != sc.status:
        problems.append("exit status %s, expected %d" % (m.group(1), sc.status))
    dest = paths["dest"]
    for number, key, args in sc.checks:
        where = "line %d: " % number
        if key in ("transcript", "no-transcript"):
            pattern = substitute(args[0], values)
            found = re.search(pattern, transcript, re.M)
            if key == "transcript" and not found:
                problems.append(where + "no transcript line matches %r" % pattern)
            if key == "no-transcript" and found:
                problems.append(where + "a transcript line matches %r: %s" %
                                (pattern, found.group(0)))
        elif key == "expect-tree":
            what = args[0] if args else "input"
            flags = set(args[1:])
            if what == "absent":
                if os.path.exists(dest):
                    problems.append(where + "the destination exists: %s" %
                                    sorted(read_tree(dest)))
                continue
            if not os.path.isdir(dest):
                problems.append(where + "the destination folder was not created")
                continue
            actual = read_tree(dest)
            if what == "empty":
                expected = {}
            elif what == "input":
                expected = read_tree(paths["input"])
            elif what == "manifest":
                expected = tree_from_manifest(os.path.join(FIXTURES, "manifest.tsv"),
                                              list(flags)[0] if flags else "")
                flags = set()
            else:
                raise ScenarioError(where + "expect-tree input|manifest NAME|empty|absent")
            problems += [where + p for p in compare_trees(
                expected, actual, mtime="no-mtime" not in flags and what == "input",
                attributes="attributes" in flags)]
        elif key == "expect-transcript":
            want = substitute(args[0], values)
            if not re.search(r"^\s*[\d.]+ " + re.escape(want) + "$", transcript, re.M):
                problems.append(where + "no transcript line reads %r" % want)
        elif key in ("expect-reg", "expect-no-reg"):
            if key == "expect-reg" and len(args) != 2 or key == "expect-no-reg" and len(args) != 1:
                raise ScenarioError(where + "expect-reg KEY VALUE / expect-no-reg KEY")
            found = reg_default(substitute(args[0], values), env, paths["work"])
            if key == "expect-no-reg" and found is not None:
                problems.append(where + "the key %s exists (%r)" % (args[0], found))
            if key == "expect-reg":
                want = substitute(args[1], values)
                if found != want:
                    problems.append(where + "%s holds %r, expected %r" % (args[0], found, want))
        elif key in ("expect-startmenu", "expect-no-startmenu"):
            group = substitute(args[0], values)
            there = os.path.isdir(os.path.join(start_menu(state), group))
            if there != (key == "expect-startmenu"):
                problems.append(where + "the Start menu %s the group %s" %
                                ("lacks" if not there else "has", args[0]))
            # The group is the one folder the run added, under the name the
            # command text gave it: a name decoded in another code page would
            # stand beside it.
            added = sorted(set(os.listdir(start_menu(state))) - set(paths["start-menu"]))
            if key == "expect-startmenu" and added != [group]:
                problems.append(where + "the run added %r to the Start menu, expected [%r]" %
                                (added, group))
        elif key == "expect-log":
            if len(args) != 2:
                raise ScenarioError(where + "expect-log FILE TEXT")
            path = os.path.join(paths["work"], args[0])
            text = open(path, encoding="utf-8").read().replace("\r\n", "\n") if \
                os.path.exists(path) else None
            # The client posts the terminate of one conversation and at once
            # sends the initiate of the next; a server takes sent messages
            # before posted ones, so it may log them either way round.
            if text is not None:
                text = text.replace("initiate\nterminate\n", "terminate\ninitiate\n")
            want = substitute(args[1], values)
            if text != want:
                problems.append(where + "%s holds %r, expected %r" % (args[0], text, want))
        elif key in ("expect-file", "expect-prefix-file"):
            if len(args) < 2:
                raise ScenarioError(where + "%s PATH CONTENT [mtime=T] [readonly]" % key)
            args = [substitute(args[0], values), substitute(args[1], values)] + args[2:]
            root = dest if key == "expect-file" else os.path.join(state, "prefix", "drive_c")
            path = os.path.join(root, args[0])
            data = await_file(path, make_content(args[1]))
            if data is None:
                problems.append(where + "missing file %s" % args[0])
                continue
            if data != make_content(args[1]):
                problems.append(where + "%s holds other bytes (%d)" % (args[0], len(data)))
            for opt in args[2:]:
                st = os.stat(path)
                if opt.startswith("mtime="):
                    want = parse_time(opt[6:])
                    if int(st.st_mtime) != want - want % 2:
                        problems.append(where + "%s was last written at %d, expected %d" %
                                        (args[0], int(st.st_mtime), want - want % 2))
                elif opt == "readonly" and st.st_mode & stat.S_IWUSR:
                    problems.append(where + "%s is not read-only" % args[0])
        elif key == "expect-missing":
            if os.path.lexists(os.path.join(dest, args[0])):
                problems.append(where + "%s exists" % args[0])
    return problems


def keep_artifacts(name, paths, artifacts, transcript_path):
    keep = os.path.join(artifacts, name)
    os.makedirs(keep, exist_ok=True)
    for path in (transcript_path, paths["script"], os.path.join(paths["work"], "make.log")):
        if os.path.exists(path):
            shutil.copy(path, keep)
    for name_ in os.listdir(paths["shots"]):
        src = os.path.join(paths["shots"], name_)
        png = os.path.join(keep, os.path.splitext(name_)[0] + ".png")
        if shutil.which("convert") and subprocess.run(
                ["convert", src, png], stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL).returncode == 0:
            continue
        shutil.copy(src, keep)
    return keep


def run(opts):
    with open(opts.scenario, encoding="utf-8") as f:
        name = os.path.splitext(os.path.basename(opts.scenario))[0]
        sc = parse_scenario(f.read(), name)
    require_tools()
    stub, driver = tool_paths(opts)
    for what, path in (("stub", stub), ("driver", driver)):
        if not os.path.exists(path):
            raise Failure("the %s is not built: %s (build the win32 preset)" % (what, path))
    own_setup = not state_ready(opts.state)
    if own_setup:
        opts.codepage = sc.codepage
        setup(opts)
    else:
        check_state_codepage(opts.state, sc)
    try:
        return run_prepared(sc, opts, stub, driver)
    finally:
        if own_setup:
            cleanup(opts)


def check_state_codepage(state, sc):
    """A live setup serves only the scenarios of its own code page (or that
    run under it too): the kinds of prefix never mix."""
    have = state_codepage(state)
    # A scenario that runs under several code pages takes the setup's, and the
    # name of that run (as CMake names its test), so that its work and
    # artifacts are its own.
    if have in sc.also_codepages:
        primary = "cp%d_" % sc.codepage
        sc.name = ("cp%d_" % have + sc.name[len(primary):] if sc.name.startswith(primary)
                   else "%s_%d" % (sc.name, have))
        sc.codepage = have
    if have != sc.codepage:
        raise Failure("the Wine setup in %s is for code page %d; %s needs %d (give it the "
                      "state of a setup for %d)" % (state, have, sc.name, sc.codepage,
                                                   sc.codepage))


def unmount_if_mounted(path):
    if os.path.ismount(path):
        subprocess.run(["umount", path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def run_prepared(sc, opts, stub, driver):
    work = os.path.join(opts.work, sc.name)
    unmount_if_mounted(os.path.join(work, sc.dest_name))
    shutil.rmtree(work, ignore_errors=True)
    if sc.dest_tmpfs is None:
        return run_in_work(sc, opts, stub, driver, work)
    # A small disk of its own as the destination, to fill (mounting needs root).
    dest = os.path.join(work, sc.dest_name)
    os.makedirs(dest)
    if os.geteuid() != 0:
        raise Failure("dest-tmpfs mounts a file system: the scenario needs root")
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=" + sc.dest_tmpfs, "tmpfs",
                       dest]).returncode != 0:
        raise Failure("cannot mount a tmpfs on %s" % dest)
    try:
        return run_in_work(sc, opts, stub, driver, work)
    finally:
        unmount_if_mounted(dest)


DPI_KEY = "HKCU\\Control Panel\\Desktop"


def dpi_marker(state):
    return os.path.join(state, "dpi-pending")


def set_dpi(state, env, dpi, log_path):
    """Gives the prefix the system DPI for one run. What was there before is
    kept in the state first, so that it comes back even when the run is cut
    off (restore_dpi, at the start of the next run)."""
    with open(log_path, "ab") as log:
        query = subprocess.run(["wine", "reg", "query", DPI_KEY, "/v", "LogPixels"], env=env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=log,
                               timeout=60 * TIME_SCALE)
    m = re.search(rb"LogPixels\s+REG_DWORD\s+0x([0-9a-fA-F]+)", query.stdout)
    with open(dpi_marker(state), "w") as f:
        f.write("%d\n" % int(m.group(1), 16) if m else "none\n")
    if run_logged(["wine", "reg", "add", DPI_KEY, "/v", "LogPixels", "/t", "REG_DWORD", "/d",
                   str(dpi), "/f"], env, log_path, 60) != 0:
        raise Failure("the system DPI could not be set (see %s)" % log_path)


def restore_dpi(state, env, log_path):
    """Puts back the DPI a run set, if one did; returns a problem or None."""
    marker = dpi_marker(state)
    if not os.path.exists(marker):
        return None
    with open(marker) as f:
        before = f.read().strip()
    if before == "none":
        cmd = ["wine", "reg", "delete", DPI_KEY, "/v", "LogPixels", "/f"]
    else:
        cmd = ["wine", "reg", "add", DPI_KEY, "/v", "LogPixels", "/t", "REG_DWORD", "/d", before,
               "/f"]
    try:
        code = run_logged(cmd, env, log_path, 60)
    except subprocess.TimeoutExpired:
        code = None
    if code != 0:
        return "the system DPI could not be put back (see %s)" % log_path
    os.remove(marker)
    return None


def run_in_work(sc, opts, stub, driver, work):
    paths = {"work": work, "input": os.path.join(work, "input"),
             "aux": os.path.join(work, "aux"), "dest": os.path.join(work, sc.dest_name),
             "sfx": os.path.join(work, sc.name + ".exe"), "stub": stub,
             "script": os.path.join(work, "driver-script.txt"),
             "transcript": os.path.join(work, "transcript.txt"),
             "shots": os.path.join(work, "shots")}
    os.makedirs(paths["shots"])
    os.makedirs(paths["aux"])
    build_input(sc, paths["input"])
    values = {"nl": "\n", "dest": win_path(paths["dest"]), "work": win_path(work),
              "sfx": win_path(paths["sfx"]), "input": paths["input"], "aux": paths["aux"],
              "fixtures": FIXTURES, "stub": stub, "repo": REPO, "helper": win_path(HELPER)}
    if sc.deep_folder:
        values.update(make_deep_folder(work, sc.deep_folder))
    values.update(windows_view(stub, opts.state))
    # Auxiliary files (setup scripts, notices) may name the scenario's folders.
    for number, aux_name, content in sc.aux:
        write_file(paths["aux"], aux_name, make_content(substitute(content, values)),
                   DEFAULT_MTIME, False)
    make_self_extractor(sc, opts, paths, values)
    for number, args in sc.existing:
        if len(args) < 2:
            raise ScenarioError("line %d: existing PATH CONTENT [options]" % number)
        mtime, readonly = file_options(args[2:], number)
        write_file(paths["dest"], args[0], make_content(args[1]), mtime, readonly)

    script = driver_script(sc, values, win_path(paths["shots"]))
    with open(paths["script"], "w", encoding="utf-8", newline="\n") as f:
        f.write(script)
    env = wine_env(opts.state)
    # A DPI an earlier run set and could not put back.
    left = restore_dpi(opts.state, env, os.path.join(work, "wine.log"))
    if left:
        raise Failure(left)
    if sc.windows_version:
        # Wine's version for this program alone: the other scenarios share the prefix.
        run_logged(["wine", "reg", "add", "HKCU\\Software\\Wine\\AppDefaults\\" +
                    os.path.basename(paths["sfx"]), "/v", "Version", "/t", "REG_SZ", "/d",
                    sc.windows_version, "/f"], env, os.path.join(work, "wine.log"), 60)
    if any(key == "expect-startmenu" for _, key, _ in sc.checks):
        paths["start-menu"] = os.listdir(start_menu(opts.state))
    cmd = ["wine", win_path(driver), win_path(paths["script"]), win_path(paths["transcript"])]
    started = time.time()
    problems = []
    try:
        # The system's DPI, which each process reads when it starts: for the
        # driver and the self-extractor alone, since the other scenarios share
        # the prefix.
        if sc.dpi:
            set_dpi(opts.state, env, sc.dpi, os.path.join(work, "wine.log"))
        code = run_driver(cmd, env, os.path.join(work, "wine.log"), DRIVER_TIMEOUT * TIME_SCALE,
                          paths["shots"])
        if code != 0 and not transcript_begun(paths["transcript"]):
            # Wine ended the driver before its first line (seen once on a busy
            # machine, with nothing in Wine's log): the self-extractor was not
            # started yet, so the driver may start again.
            print("-- %s: the driver ended (code %s) before its first line; started again" %
                  (sc.name, code))
            code = run_driver(cmd, env, os.path.join(work, "wine.log"),
                              DRIVER_TIMEOUT * TIME_SCALE, paths["shots"])
    except subprocess.TimeoutExpired:
        code = None
        problems.append("the driver did not end within %d s" % (DRIVER_TIMEOUT * TIME_SCALE))
        restart_wine_session(env, os.path.join(work, "wine.log"))
    finally:
        left = restore_dpi(opts.state, env, os.path.join(work, "wine.log"))
        if left:
            problems.append(left)
    elapsed = time.time() - started
    # A scenario that closed windows of other processes (Wine's shell) leaves
    # the next one a fresh session, whose shell starts anew when needed.
    if code is not None and any(key == "close-windows" for _, key, _ in sc.headers):
        restart_wine_session(env, os.path.join(work, "wine.log"))
    transcript = ""
    if os.path.exists(paths["transcript"]):
        with open(paths["transcript"], encoding="utf-8", errors="replace") as f:
            transcript = f.read()
    if code not in (0, None):
        problems += [l.strip() for l in transcript.splitlines() if " FAIL " in l] or [
            "the driver failed (code %s)" % code]
    problems += check_results(sc, transcript, paths, values, env, opts.state)
    print(transcript, end="")
    print("-- %s: driver %.1f s" % (sc.name, elapsed))
    if problems:
        # The screen at the end too, if the driver did not keep one.
        if not os.listdir(paths["shots"]) and shutil.which("import"):
            subprocess.run(["import", "-display", env["DISPLAY"], "-window", "root",
                            os.path.join(paths["shots"], "end.png")],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        keep = keep_artifacts(sc.name, paths, opts.artifacts, paths["transcript"])
        raise Failure("\n".join(problems) + "\n(artifacts in %s)" % keep)
    # Screenshots a scenario asked for are kept whether or not it passed.
    xshots = [n for n in os.listdir(paths["shots"]) if n.endswith(".png")]
    if xshots:
        keep = os.path.join(opts.artifacts, sc.name)
        os.makedirs(keep, exist_ok=True)
        for n in xshots:
            shutil.copy(os.path.join(paths["shots"], n), keep)
    return 0


def run_wine(opts):
    """One Windows program under the prepared Wine, bounded; its exit status."""
    if not state_ready(opts.state):
        raise Failure("no Wine setup is live in %s (run setup first)" % opts.state)
    env = wine_env(opts.state)
    try:
        return subprocess.run(["wine"] + opts.program, env=env, stdin=subprocess.DEVNULL,
                              timeout=opts.timeout).returncode
    except subprocess.TimeoutExpired:
        raise Failure("%s did not end within %d s" % (opts.program[0], opts.timeout))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("command", choices=("setup", "run", "cleanup", "wine"))
    parser.add_argument("scenario", nargs="?")
    parser.add_argument("--timeout", type=int, default=180)
    parser.add_argument("--state", required=True, help="Wine prefix and X server state")
    parser.add_argument("--win32-build", default=os.path.join(REPO, "build", "win32"))
    parser.add_argument("--e2emake")
    parser.add_argument("--sfxbuild")
    parser.add_argument("--work", help="per-scenario folders")
    parser.add_argument("--fixtures", help="the fixture archives and their manifest")
    parser.add_argument("--artifacts", help="transcripts and screenshots of failures")
    parser.add_argument("--prefix-template", help="a Wine prefix to copy instead of making one")
    parser.add_argument("--codepage", type=int, choices=sorted(CODEPAGES),
                        help="setup: the ANSI code page of the prefix (default %d; run takes "
                             "the scenario's)" % DEFAULT_CODEPAGE)
    # wine: the program and its arguments follow "--".
    program = []
    if "--" in argv:
        at = argv.index("--")
        argv, program = argv[:at], argv[at + 1:]
    opts = parser.parse_args(argv)
    opts.state = os.path.abspath(opts.state)
    if opts.fixtures:
        global FIXTURES
        FIXTURES = os.path.abspath(opts.fixtures)
    opts.win32_build = os.path.abspath(opts.win32_build)
    for tool in ("e2emake", "sfxbuild"):
        if getattr(opts, tool):
            setattr(opts, tool, os.path.abspath(getattr(opts, tool)))
    opts.work = os.path.abspath(opts.work or os.path.join(opts.state, "..", "work"))
    opts.artifacts = os.path.abspath(opts.artifacts or
                                     os.path.join(opts.state, "..", "e2e-artifacts"))
    try:
        if opts.command == "setup":
            setup(opts)
        elif opts.command == "cleanup":
            cleanup(opts)
        elif opts.command == "wine":
            if not program:
                parser.error("wine needs a program")
            opts.program = program
            return run_wine(opts)
        else:
            if not opts.scenario:
                parser.error("run needs a scenario file")
            run(opts)
    except ScenarioError as e:
        print("scenario error: %s" % e, file=sys.stderr)
        return 2
    except Failure as e:
        print("FAILED: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
