#!/usr/bin/env python3
"""The layers of src/ point one way, and each piece keeps to what it is for.

    check_layers.py ROOT

checks ROOT/src and ROOT/tools:
- a file of src/ includes only headers of its own layer or of layers below
  it; the order, lowest first, is the README's (its layout section lists it
  highest first). A folder's implementations of a seam (win32/, posix/,
  testing/, scripted/) belong to the folder's layer;
- includes name a path from src/ or the file's own folder, never a relative
  one ("../ui/ui.h"), and no .inc files exist or are included;
- the Win32 headers only in the Win32 implementations (a win32/ folder,
  src/stub/, a tools file named *_win32.cpp);
- the calls that end the process or show a box only where that is their job:
  MessageBox in the Win32 UI, ExitProcess in the Win32 platform and the
  stub's entry, exit and abort in the host platforms' EndProcess; no throw;
- the codec (decode/) calls nothing that shows, pumps or ends anything,
  reaches the system through its byte source only (no platform/) and works
  on the state it is given, never the run's record; the archive reader
  (archive/) shows nothing either and works on the record it is given, and
  the file rules (files/) show no box of their own: their question is asked
  through ui/messages.h;
- the codec's internals (decode_internal.h) stay inside decode/;
- the tools use the stub's core, never its run, its entry or a Win32 part,
  and never the run's record: they hand the stub's calls records of their own.
"""
import os
import re
import sys

LAYERS = ["core", "platform", "startup", "decode", "ui", "files", "archive", "setup", "run",
          "stub"]
SOURCE_SUFFIXES = (".h", ".cpp", ".c", ".hpp", ".cc")
# What the codec and the archive reader must never call: boxes, the message
# pump, the end of the run.
SHOWS_OR_ENDS = re.compile(
    r"\b(ShowBox|ShowError|ShowNotice|PumpMessages|SetControlText|AbortRun|EndProcess)\s*\(")
INCLUDE = re.compile(r'^\s*#\s*include\s+([<"])([^>"]+)[>"]', re.M)
WIN32_HEADERS = {"windows.h", "winuser.h", "winbase.h", "commdlg.h", "shellapi.h", "shlobj.h",
                 "ddeml.h", "dde.h", "winreg.h", "windef.h", "winnt.h", "commctrl.h"}
# Calls allowed only below these prefixes (paths from ROOT, with "/").
RESTRICTED_CALLS = [
    (re.compile(r"\bMessageBox[AW]?\s*\("), "MessageBox", ["src/ui/win32/"]),
    (re.compile(r"\bExitProcess\s*\("), "ExitProcess", ["src/platform/win32/", "src/stub/"]),
    (re.compile(r"(?<![\w.>])(?:std::)?(exit|_exit|_Exit|quick_exit|abort)\s*\("), "exit or abort",
     ["src/platform/posix/", "src/platform/testing/"]),
    (re.compile(r"\bthrow\b"), "throw", []),
]
GLOBAL_RECORD = re.compile(r"(?<![\w.>])context\s*(->|\)|;|,|=)")
TOOLS_NEVER_INCLUDE = ("run/", "stub/")


def strip_comments_and_strings(text):
    """The code without its comments and the contents of its literals (kept as
    blanks, so that line numbers stay)."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append(c + " " * (min(j, n) - i - 1) + c)
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def line_of(text, pos):
    return text.count("\n", 0, pos) + 1


def is_win32_part(rel):
    return "/win32/" in rel or rel.startswith("src/stub/") or (
        rel.startswith("tools/") and os.path.basename(rel).split(".")[0].endswith("_win32"))


def check_file(root, rel, problems):
    path = os.path.join(root, rel)
    with open(path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    code = strip_comments_and_strings(text)
    parts = rel.split("/")
    layer = parts[1] if parts[0] == "src" and len(parts) > 2 else None
    where = lambda pos: "%s:%d" % (rel, line_of(text, pos))

    for m in INCLUDE.finditer(text):
        kind, target = m.group(1), m.group(2)
        if target.endswith(".inc"):
            problems.append("%s includes %s, an .inc file" % (where(m.start()), target))
        if kind == "<":
            if target.lower() in WIN32_HEADERS and not is_win32_part(rel):
                problems.append("%s includes <%s> outside a Win32 part" % (where(m.start()), target))
            continue
        if target.startswith("../") or "/../" in target or target.startswith("./"):
            problems.append('%s includes "%s", a relative path' % (where(m.start()), target))
            continue
        if os.path.basename(target).lower() in WIN32_HEADERS and not is_win32_part(rel):
            problems.append('%s includes "%s" outside a Win32 part' % (where(m.start()), target))
        head = target.split("/")[0]
        if os.path.basename(target) == "decode_internal.h" and layer != "decode":
            problems.append("%s includes the codec's internals" % where(m.start()))
        if layer is not None and head in LAYERS and LAYERS.index(head) > LAYERS.index(layer):
            problems.append("%s includes %s/, a higher layer" % (where(m.start()), head))
        if layer == "decode" and head == "platform":
            problems.append("%s includes platform/: the codec reads its byte source only" %
                            where(m.start()))
        if layer == "archive" and head == "ui":
            problems.append("%s includes ui/: the archive reader shows nothing" % where(m.start()))
        if parts[0] == "tools" and (target.startswith(TOOLS_NEVER_INCLUDE) or "/win32/" in target):
            problems.append("%s includes %s, which only the stub may use" %
                            (where(m.start()), target))

    for pattern, name, allowed in RESTRICTED_CALLS:
        if any(rel.startswith(a) for a in allowed):
            continue
        for m in pattern.finditer(code):
            problems.append("%s uses %s, which is not allowed here" % (where(m.start()), name))
    if layer in ("decode", "archive"):
        for m in SHOWS_OR_ENDS.finditer(code):
            problems.append("%s calls %s" % (where(m.start()), m.group(1)))
    if layer == "files":
        for m in re.finditer(r"\bShowBox\s*\(", code):
            problems.append("%s calls ShowBox: ask through ui/messages.h" % where(m.start()))
    on_own_record = {"decode": "the codec works on its own state",
                     "archive": "the archive reader works on the record it is given"}
    why = on_own_record.get(layer) or (
        "a tool works on a record of its own" if parts[0] == "tools" else None)
    if why:
        for m in GLOBAL_RECORD.finditer(code):
            problems.append("%s uses the run's record: %s" % (where(m.start()), why))


def check(root):
    problems = []
    src = os.path.join(root, "src")
    for layer in sorted(os.listdir(src)):
        if os.path.isdir(os.path.join(src, layer)) and layer not in LAYERS:
            problems.append("src/%s is in no layer (add it to the order)" % layer)
    for top in ("src", "tools"):
        base = os.path.join(root, top)
        if not os.path.isdir(base):
            continue
        for folder, dirs, files in os.walk(base):
            dirs.sort()
            for name in sorted(files):
                rel = os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/")
                if name.endswith(".inc"):
                    problems.append("%s is an .inc file: make it a header or a source" % rel)
                elif name.endswith(SOURCE_SUFFIXES):
                    if top == "src" and len(rel.split("/")) < 3:
                        continue
                    check_file(root, rel, problems)
    return problems


def main(argv):
    root = argv[1] if len(argv) > 1 else "."
    problems = check(root)
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
