#!/usr/bin/env python3
"""The layers check on a small tree of its own: the tree as it is passes, and
each thing the check is there to refuse, planted alone, is refused with a
message that names it.

    test_check_layers.py
"""
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_layers  # noqa: E402

# A tree that keeps every rule, with each allowed exception used once.
CLEAN = {
    "src/core/context.h": '#pragma once\n#include <stdint.h>\n',
    "src/decode/decoder.cpp": '#include "core/context.h"\n#include "decode/decode_internal.h"\n'
                              'int DecodeEntry(int* state) { return *state; }\n'
                              '// comments may say abort(), throw, MessageBoxA( or context->x\n'
                              'const char* kText = "exit(1) throw";\n',
    "src/decode/decode_internal.h": '#pragma once\n',
    "src/archive/archive.cpp": '#include "decode/decode.h"\n#include "files/files.h"\n'
                               'int RunEntryData(int* c) { return DecodeEntry(c); }\n',
    "src/ui/win32/ui_win32.cpp": '#include <windows.h>\n'
                                 'int ShowBox() { return MessageBoxA(0, "", "", 0); }\n',
    "src/platform/win32/platform_win32.cpp": '#include <windows.h>\n'
                                             'void EndProcess(int s) { ExitProcess(s); }\n',
    "src/platform/posix/platform_posix.cpp": '#include <unistd.h>\n'
                                             'void EndProcess(int s) { _exit(s); }\n',
    "src/files/times.cpp": '#include "ui/messages.h"\nint f() { return AskOverwrite("p"); }\n',
    "src/run/walk.cpp": '#include "ui/ui.h"\nvoid Walk() { ShowError("x", "y"); '
                        'AbortRun(1); }\n',
    "src/stub/entry.cpp": '#include <windows.h>\nvoid StubEntry() { ExitProcess(0); }\n',
    "tools/sfxbuild/examine.cpp": '#include "archive/archive.h"\n#include "decode/decode.h"\n'
                                  '#include "host_os.h"\nint atexit_free() { return 0; }\n',
    "tools/sfxbuild/host_os_win32.cpp": '#include <windows.h>\n',
}

# What is planted, where, and a piece of the message that must come back.
REFUSED = [
    ("the Win32 header in the codec", "src/decode/decoder.cpp", "#include <windows.h>\n",
     "<windows.h> outside a Win32 part"),
    ("the Win32 header in the core, in quotes", "src/core/context.h", '#include "Windows.h"\n',
     "outside a Win32 part"),
    ("the Win32 header in a tool", "tools/sfxbuild/examine.cpp", "#include <commdlg.h>\n",
     "outside a Win32 part"),
    ("MessageBoxA outside the Win32 UI", "src/run/walk.cpp",
     'int f() { return MessageBoxA(0, "", "", 0); }\n', "uses MessageBox"),
    ("MessageBoxA in a tool", "tools/sfxbuild/examine.cpp", "void f() { MessageBoxW(0, 0, 0, 0); }\n",
     "uses MessageBox"),
    ("ExitProcess outside the platform and the entry", "src/run/walk.cpp",
     "void f() { ExitProcess(1); }\n", "uses ExitProcess"),
    ("exit in the core", "src/files/paths.cpp", "void f() { exit(1); }\n", "uses exit or abort"),
    ("std::abort in the codec", "src/decode/decoder.cpp", "void f() { std::abort(); }\n",
     "uses exit or abort"),
    ("abort in a tool", "tools/sfxbuild/examine.cpp", "void f() { abort(); }\n",
     "uses exit or abort"),
    ("throw in the walk", "src/run/walk.cpp", "void f() { throw 1; }\n", "uses throw"),
    ("throw in a tool", "tools/sfxbuild/examine.cpp", "void f() { throw 2; }\n", "uses throw"),
    ("a relative include", "src/run/walk.cpp", '#include "../ui/ui.h"\n', "a relative path"),
    ("a relative include in a tool", "tools/sfxbuild/examine.cpp",
     '#include "../../src/decode/decode.h"\n', "a relative path"),
    ("an .inc file", "src/decode/tables.inc", "1, 2, 3\n", "an .inc file"),
    ("an .inc file among the tools", "tools/sfxbuild/names.inc", "x\n", "an .inc file"),
    ("an .inc file included", "src/decode/decoder.cpp", '#include "decode/tables.inc"\n',
     "an .inc file"),
    ("the archive reader showing a box", "src/archive/archive.cpp",
     'void f() { ShowError("bad", "x"); }\n', "calls ShowError"),
    ("the archive reader ending the run", "src/archive/archive.cpp", "void f() { AbortRun(1); }\n",
     "calls AbortRun"),
    ("the archive reader including the UI", "src/archive/archive.cpp", '#include "ui/ui.h"\n',
     "the archive reader shows nothing"),
    ("the codec showing a box", "src/decode/decoder.cpp", "void f() { ShowBox(0, 0, 0, 0); }\n",
     "calls ShowBox"),
    ("the codec pumping messages", "src/decode/decoder.cpp", "void f() { PumpMessages(0); }\n",
     "calls PumpMessages"),
    ("the codec on the platform", "src/decode/decoder.cpp", '#include "platform/platform.h"\n',
     "includes platform/"),
    ("the codec on the run's record", "src/decode/decoder.cpp",
     "int f() { return context->aborted; }\n", "the run's record"),
    ("the archive reader on the run's record", "src/archive/archive.cpp",
     "void f() { ReleaseEntryHeader(context); }\n", "the record it is given"),
    ("a tool on the run's record", "tools/sfxbuild/examine.cpp",
     "void f() { context = nullptr; }\n", "a record of its own"),
    ("a tool reading the run's record", "tools/sfxbuild/examine.cpp",
     "int f() { return context->aborted; }\n", "a record of its own"),
    ("a lower layer including a higher one", "src/decode/decoder.cpp", '#include "files/files.h"\n',
     "a higher layer"),
    ("the codec's internals outside it", "src/archive/archive.cpp",
     '#include "decode/decode_internal.h"\n', "the codec's internals"),
    ("the codec's internals in a tool", "tools/sfxbuild/examine.cpp",
     '#include "decode/decode_internal.h"\n', "the codec's internals"),
    ("a tool on the stub's run", "tools/sfxbuild/examine.cpp", '#include "run/run.h"\n',
     "only the stub may use"),
    ("a tool on a Win32 part", "tools/sfxbuild/examine.cpp", '#include "ui/win32/resource.h"\n',
     "only the stub may use"),
    ("the file rules showing a box of their own", "src/files/times.cpp",
     "int f() { return ShowBox(0, 0, 0, 0); }\n", "calls ShowBox"),
    ("a folder in no layer", "src/extras/x.cpp", "int x;\n", "in no layer"),
]


class LayersCheck(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="check-layers-")
        for rel, text in CLEAN.items():
            self.write(rel, text)

    def tearDown(self):
        shutil.rmtree(self.root)

    def write(self, rel, text, append=False):
        path = os.path.join(self.root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "a" if append else "w", encoding="utf-8") as f:
            f.write(text)

    def test_the_clean_tree_passes(self):
        self.assertEqual(check_layers.check(self.root), [])

    def test_each_planted_case_is_refused(self):
        for what, rel, text, expected in REFUSED:
            with self.subTest(what):
                self.tearDown()
                self.setUp()
                self.write(rel, text, append=rel in CLEAN)
                problems = check_layers.check(self.root)
                self.assertTrue(any(expected in p for p in problems),
                                "%s: expected %r in %r" % (what, expected, problems))
                # The message names the file (or folder) that broke the rule.
                named = [p.split()[0].split(":")[0] for p in problems]
                self.assertTrue(any(rel.startswith(n) for n in named), problems)
                self.assertEqual(check_layers.main(["check_layers.py", self.root]), 1)

    def test_the_projects_tree_passes(self):
        root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        self.assertEqual(check_layers.check(root), [])


if __name__ == "__main__":
    unittest.main()
