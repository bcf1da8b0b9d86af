#!/usr/bin/env python3
"""The layers of src/ point one way: a file includes only headers of its own
layer or of layers below it, and the codec calls nothing that shows, pumps or
ends anything.

    check_layers.py SRC_DIR

The order, lowest first, is the README's (its layout section lists it highest
first). A folder's implementations of a seam (win32/, posix/, testing/,
scripted/) belong to the folder's layer.
"""
import os
import re
import sys

LAYERS = ["core", "platform", "startup", "decode", "ui", "files", "archive", "setup", "run",
          "stub"]
# What the codec must never call: boxes, the message pump, the end of the run.
FORBIDDEN_IN_DECODE = re.compile(
    r"\b(ShowBox|ShowError|PumpMessages|SetControlText|AbortRun|EndProcess)\s*\(")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/', re.M)


def main(argv):
    src = argv[1] if len(argv) > 1 else "src"
    problems = []
    for layer in sorted(os.listdir(src)):
        if not os.path.isdir(os.path.join(src, layer)):
            continue
        if layer not in LAYERS:
            problems.append("src/%s is in no layer (add it to the order)" % layer)
            continue
        for folder, _, files in os.walk(os.path.join(src, layer)):
            for name in files:
                if not name.endswith((".h", ".cpp")):
                    continue
                path = os.path.join(folder, name)
                text = open(path, encoding="utf-8").read()
                for included in INCLUDE.findall(text):
                    if included in LAYERS and LAYERS.index(included) > LAYERS.index(layer):
                        problems.append("%s includes %s/, a higher layer" %
                                        (os.path.relpath(path, src), included))
                if layer == "decode":
                    for m in FORBIDDEN_IN_DECODE.finditer(text):
                        problems.append("%s calls %s" % (os.path.relpath(path, src), m.group(1)))
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
