"""The runner's own logic, without Wine: a checker that passes everything would
make every scenario pass, so the comparisons are tried against wrong trees."""

import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

import run_scenario as rs


def decode_field(field):
    """How the driver reads a field of its script back."""
    out, i = [], 0
    while i < len(field):
        if field[i] == "\\" and i + 1 < len(field):
            i += 1
            out.append({"n": "\n", "t": "\t"}.get(field[i], field[i]))
        else:
            out.append(field[i])
        i += 1
    return "".join(out)


MINIMAL = "stub\nstatus 0\n"


class ScenarioParsing(unittest.TestCase):
    def test_directives_land_where_they_belong(self):
        sc = rs.parse_scenario(
            "# comment\n"
            "input-file a.txt text:x\n"
            "make --text a.txt 'b c'\n"
            "args -n {dest}\n"
            "box \"text=\\\"{sfx}\\\" C:\\new\\tab\" answer=ok\n"
            "click 2\n"
            "status 1\n"
            "expect-tree input\n")
        self.assertEqual(sc.maker[1:], ("make", ["--text", "a.txt", "b c"]))
        self.assertEqual(sc.args, ["-n", "{dest}"])
        self.assertEqual([s[1] for s in sc.steps], ["box", "click"])
        # Backslashes of Windows paths survive double quotes.
        self.assertEqual(sc.steps[0][2][0], 'text="{sfx}" C:\\new\\tab')
        self.assertEqual(sc.status, 1)
        self.assertEqual(sc.checks[0][1], "expect-tree")

    def test_dpi_is_for_the_run_alone_and_layout_is_a_step(self):
        self.assertIsNone(rs.parse_scenario(MINIMAL).dpi)
        sc = rs.parse_scenario("dpi 144\n" + MINIMAL + "layout window except=1088\n")
        self.assertEqual(sc.dpi, 144)
        self.assertEqual(sc.steps[-1][1:], ("layout", ["window", "except=1088"]))

    def test_transcript_pattern_is_the_rest_of_the_line(self):
        sc = rs.parse_scenario(MINIMAL + 'transcript progress 102 "解凍中  100%"\n')
        self.assertEqual(sc.checks[0][2], ['progress 102 "解凍中  100%"'])

    def test_malformed_scenarios_are_refused(self):
        bad = {
            "no maker": "status 0\n",
            "no status": "stub\n",
            "two makers": "stub\nmake --text a b\nstatus 0\n",
            "unknown keyword": MINIMAL + "clik 1\n",
            "args and cmdline": MINIMAL + "args a\ncmdline b\n",
            "unbalanced quote": MINIMAL + "box 'text=x\n",
            "dpi without a value": MINIMAL + "dpi\n",
            "dpi below 96": MINIMAL + "dpi 72\n",
            "dpi above 480": MINIMAL + "dpi 600\n",
            "dpi as a percentage": MINIMAL + "dpi 150%\n",
        }
        for what, text in bad.items():
            with self.subTest(what):
                with self.assertRaises(rs.ScenarioError):
                    rs.parse_scenario(text)

    def test_placeholders(self):
        values = {"dest": "Z:\\d", "nl": "\n"}
        self.assertEqual(rs.substitute("-x{dest}{nl}", values), "-xZ:\\d\n")
        with self.assertRaises(rs.ScenarioError):
            rs.substitute("{dset}", values)


class CommandLineAndScript(unittest.TestCase):
    def test_arguments_are_quoted_as_the_stub_splits_them(self):
        self.assertEqual(rs.quote_arg("-n"), "-n")
        self.assertEqual(rs.quote_arg("C:\\Program Files\\x"), '"C:\\Program Files\\x"')
        self.assertEqual(rs.quote_arg(""), '""')
        with self.assertRaises(rs.ScenarioError):
            rs.quote_arg('a"b')

    def test_script_fields_survive_escaping(self):
        tricky = ["Z:\\new\\tab", "line\nbreak", "a\tb", "\\\\", "end\\"]
        for text in tricky:
            field = rs.escape_field(text)
            self.assertNotIn("\t", field)
            self.assertNotIn("\n", field)
            self.assertEqual(decode_field(field), text)

    def test_driver_script_header_and_steps(self):
        sc = rs.parse_scenario("stub\nargs -n {dest}\nbox text=a{nl}b answer=yes\nstatus 0\n")
        values = {"sfx": "Z:\\w\\x.exe", "dest": "Z:\\w\\my dest", "work": "Z:\\w", "nl": "\n"}
        lines = [l.split("\t") for l in rs.driver_script(sc, values, "Z:\\shots").splitlines()]
        self.assertEqual(lines[0], ["program", "Z:\\\\w\\\\x.exe"])
        self.assertEqual(decode_field(lines[1][1]), '-n "Z:\\w\\my dest"')
        self.assertEqual(lines[2], ["cwd", "Z:\\\\w"])
        self.assertEqual(lines[-1][0], "box")
        self.assertEqual(decode_field(lines[-1][1]), "text=a\nb")
        self.assertNotIn("time-scale", [l[0] for l in lines])
        saved, rs.TIME_SCALE = rs.TIME_SCALE, 6.0
        self.addCleanup(setattr, rs, "TIME_SCALE", saved)
        lines = [l.split("\t") for l in rs.driver_script(sc, values, "Z:\\shots").splitlines()]
        keys = [l[0] for l in lines]
        self.assertLess(keys.index("time-scale"), keys.index("box"))
        self.assertEqual(lines[keys.index("time-scale")], ["time-scale", "6"])

    def test_windows_paths(self):
        self.assertEqual(rs.win_path("/a/b c/d"), "Z:\\a\\b c\\d")


class Contents(unittest.TestCase):
    def test_kinds_and_sizes(self):
        self.assertEqual(rs.make_content("text:あ"), "あ".encode("utf-8"))
        self.assertEqual(rs.make_content("sjis:あ"), b"\x82\xa0")
        self.assertEqual(rs.make_content("zeros:5"), bytes(5))
        self.assertEqual(rs.make_content("repeat:7:abc"), b"abcabca")
        a, b = rs.make_content("random:1000:1"), rs.make_content("random:1000:2")
        self.assertEqual(len(a), 1000)
        self.assertNotEqual(a, b)
        self.assertEqual(a, rs.make_content("random:1000:1"))
        with self.assertRaises(rs.ScenarioError):
            rs.make_content("noise:5")

    def test_times(self):
        self.assertEqual(rs.parse_time("1980-01-01T00:00:00"), 315532800)
        self.assertEqual(rs.parse_time("12345"), 12345)
        with self.assertRaises(rs.ScenarioError):
            rs.parse_time("yesterday")


class TreeComparison(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.packed = os.path.join(self.tmp, "packed")
        self.out = os.path.join(self.tmp, "out")
        for root in (self.packed, self.out):
            rs.write_file(root, "a.txt", b"alpha", 1000001, False)
            rs.write_file(root, "sub/b.bin", b"\x00" * 10, 1000000, True)
            os.makedirs(os.path.join(root, "empty"))
        # Extracted times come back rounded down to even seconds.
        os.utime(os.path.join(self.out, "a.txt"), (1000000, 1000000))

    def tearDown(self):
        for dirpath, dirs, files in os.walk(self.tmp):
            for f in files:
                os.chmod(os.path.join(dirpath, f), stat.S_IWUSR | stat.S_IRUSR)
        shutil.rmtree(self.tmp)

    def problems(self, **kw):
        return rs.compare_trees(rs.read_tree(self.packed), rs.read_tree(self.out), **kw)

    def test_same_tree_passes(self):
        self.assertEqual(self.problems(attributes=True), [])

    def test_each_difference_is_found(self):
        cases = [
            ("missing file", lambda: os.remove(os.path.join(self.out, "a.txt")), "missing file"),
            ("missing folder", lambda: os.rmdir(os.path.join(self.out, "empty")),
             "missing dir"),
            ("extra file", lambda: rs.write_file(self.out, "x", b"", 1000000, False),
             "unexpected file"),
            ("size", lambda: rs.write_file(self.out, "a.txt", b"alph", 1000000, False),
             "4 bytes"),
            ("contents", lambda: rs.write_file(self.out, "a.txt", b"alpho", 1000000, False),
             "other contents"),
            ("time", lambda: os.utime(os.path.join(self.out, "a.txt"), (1000002, 1000002)),
             "last written"),
        ]
        for what, change, message in cases:
            with self.subTest(what):
                self.tearDown()
                self.setUp()
                change()
                found = self.problems()
                self.assertEqual(len(found), 1, found)
                self.assertIn(message, found[0])

    def test_attributes_only_when_asked(self):
        os.chmod(os.path.join(self.out, "sub", "b.bin"), 0o644)
        self.assertEqual(self.problems(), [])
        self.assertEqual(len(self.problems(attributes=True)), 1)

    def test_time_can_be_left_out(self):
        os.utime(os.path.join(self.out, "a.txt"), (5, 5))
        self.assertEqual(self.problems(mtime=False), [])

    def test_folder_in_place_of_a_file(self):
        os.remove(os.path.join(self.out, "a.txt"))
        os.makedirs(os.path.join(self.out, "a.txt"))
        found = self.problems()
        self.assertEqual(len(found), 1)
        self.assertIn("is a dir", found[0])


class Manifest(unittest.TestCase):
    def test_fixture_entries(self):
        tree = rs.tree_from_manifest(os.path.join(rs.FIXTURES, "manifest.tsv"), "fx-lh5.lzh")
        self.assertEqual(tree["表示"], {"kind": "dir"})
        self.assertEqual(tree[os.path.join("表示", "ソフト表.txt")]["size"], 500)
        self.assertEqual(tree[os.path.join("emptydir", "sub")], {"kind": "dir"})
        self.assertEqual(tree["empty.txt"]["sha256"],
                         "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855")
        with self.assertRaises(rs.ScenarioError):
            rs.tree_from_manifest(os.path.join(rs.FIXTURES, "manifest.tsv"), "nothing.lzh")


class Results(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.paths = {"dest": os.path.join(self.tmp, "dest"), "input": self.tmp}
        # A wrong file is reported at once, not after the wait for a late one.
        self.saved_settle, rs.FILE_SETTLE = rs.FILE_SETTLE, 0

    def tearDown(self):
        rs.FILE_SETTLE = self.saved_settle
        shutil.rmtree(self.tmp)

    def check(self, scenario, transcript):
        sc = rs.parse_scenario(scenario)
        return rs.check_results(sc, transcript, self.paths, {"sfx": "Z:\\x.exe"})

    def test_status_codepage_and_transcript_lines(self):
        good = "  0.001 codepage 932\n  0.100 box #1 text=\"x\"\n  2.000 exit 0\n"
        scenario = MINIMAL + "transcript box #1\nno-transcript dialog\nexpect-tree absent\n"
        self.assertEqual(self.check(scenario, good), [])
        self.assertTrue(self.check(scenario, good.replace("exit 0", "exit 1")))
        self.assertTrue(self.check(scenario, good.replace("932", "1252")))
        self.assertTrue(self.check(scenario, good.replace("exit 0", "")))
        self.assertTrue(self.check(scenario, good + "  1.0 dialog caption=\"\"\n"))
        self.assertTrue(self.check(scenario, good.replace("box #1", "box #2")))

    def test_absent_and_empty_destination(self):
        transcript = "0.0 codepage 932\n0.0 exit 0\n"
        self.assertEqual(self.check(MINIMAL + "expect-tree absent\n", transcript), [])
        os.makedirs(self.paths["dest"])
        self.assertTrue(self.check(MINIMAL + "expect-tree absent\n", transcript))
        self.assertEqual(self.check(MINIMAL + "expect-tree empty\n", transcript), [])
        rs.write_file(self.paths["dest"], "stray", b"", 1000000, False)
        self.assertTrue(self.check(MINIMAL + "expect-tree empty\n", transcript))

    def test_single_files(self):
        transcript = "0.0 codepage 932\n0.0 exit 0\n"
        rs.write_file(self.paths["dest"], "a.txt", "本".encode("cp932"), 1000000, False)
        ok = MINIMAL + "expect-file a.txt sjis:本 mtime=1000001\nexpect-missing b.txt\n"
        self.assertEqual(self.check(ok, transcript), [])
        self.assertTrue(self.check(MINIMAL + "expect-file a.txt text:本\n", transcript))
        self.assertTrue(self.check(MINIMAL + "expect-file a.txt sjis:本 mtime=1000003\n",
                                   transcript))
        self.assertTrue(self.check(MINIMAL + "expect-missing a.txt\n", transcript))

    def test_a_file_written_late_is_awaited_within_the_bound(self):
        # The command the self-extractor starts may write after it ended.
        import threading
        transcript = "0.0 codepage 932\n0.0 exit 0\n"
        later = threading.Timer(0.3, rs.write_file,
                                (self.paths["dest"], "late.txt", b"x", 1000000, False))
        later.start()
        self.addCleanup(later.cancel)
        rs.FILE_SETTLE = 5
        self.assertEqual(self.check(MINIMAL + "expect-file late.txt text:x\n", transcript), [])
        rs.FILE_SETTLE = 0.2
        self.assertTrue(self.check(MINIMAL + "expect-file never.txt text:x\n", transcript))


class SystemDpi(unittest.TestCase):
    """A run's DPI comes back out of the shared prefix, whatever ends the run."""

    def setUp(self):
        self.state = tempfile.mkdtemp()
        self.log = os.path.join(self.state, "log")
        self.addCleanup(shutil.rmtree, self.state)

    def test_what_was_there_before_comes_back(self):
        table = [  # reg query's output, the command that puts it back
            (b"", ["delete"]),
            (b"HKEY_CURRENT_USER\\Control Panel\\Desktop\r\n    LogPixels    REG_DWORD    0x78\r\n",
             ["add", "120"]),
        ]
        for before, want in table:
            with self.subTest(before):
                calls = []
                query = subprocess.CompletedProcess([], 0, stdout=before)
                with mock.patch.object(rs.subprocess, "run", return_value=query), \
                        mock.patch.object(rs, "run_logged", lambda cmd, *a, **k: calls.append(cmd) or 0):
                    rs.set_dpi(self.state, {}, 144, self.log)
                    self.assertTrue(os.path.exists(rs.dpi_marker(self.state)))
                    self.assertIsNone(rs.restore_dpi(self.state, {}, self.log))
                self.assertEqual(calls[0][2], "add")
                self.assertIn("144", calls[0])
                self.assertEqual(calls[1][2], want[0])
                for word in want[1:]:
                    self.assertIn(word, calls[1])
                self.assertFalse(os.path.exists(rs.dpi_marker(self.state)))
                # Nothing left to put back: no command at all.
                with mock.patch.object(rs, "run_logged", lambda cmd, *a, **k: calls.append(cmd) or 0):
                    self.assertIsNone(rs.restore_dpi(self.state, {}, self.log))
                self.assertEqual(len(calls), 2)

    def test_a_failed_restore_is_a_problem_and_is_tried_again(self):
        with open(rs.dpi_marker(self.state), "w") as f:
            f.write("none\n")
        for outcome in (1, subprocess.TimeoutExpired("wine", 60)):
            with self.subTest(outcome):
                def failing(cmd, *a, **k):
                    if isinstance(outcome, Exception):
                        raise outcome
                    return outcome
                with mock.patch.object(rs, "run_logged", failing):
                    self.assertIn("could not be put back", rs.restore_dpi(self.state, {}, self.log))
                self.assertTrue(os.path.exists(rs.dpi_marker(self.state)))
        with mock.patch.object(rs, "run_logged", lambda *a, **k: 0):
            self.assertIsNone(rs.restore_dpi(self.state, {}, self.log))
        self.assertFalse(os.path.exists(rs.dpi_marker(self.state)))


class CodePages(unittest.TestCase):
    """A scenario's code page picks its prefix: a mix-up would run the 1252
    set in the 932 prefix, where the stub's texts come through by chance."""

    def setUp(self):
        self.state = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.state)
        with open(os.path.join(self.state, "display"), "w") as f:
            f.write(":7\n")

    def set_state(self, text):
        with open(os.path.join(self.state, "codepage"), "w") as f:
            f.write(text)

    def test_the_directive(self):
        table = [("", 932), ("codepage 932\n", 932), ("codepage 1252\n", 1252),
                 ("  codepage   1252\n", 1252), ("codepage 65001\n", 65001)]
        for line, want in table:
            with self.subTest(line):
                self.assertEqual(rs.parse_scenario(line + MINIMAL).codepage, want)
        for bad in ("codepage\n", "codepage 1251\n", "codepage ja\n", "codepage 932 1252\n",
                    "codepage 65000\n", "codepage utf8\n", "codepage 65001 932\n"):
            with self.subTest(bad):
                with self.assertRaises(rs.ScenarioError):
                    rs.parse_scenario(bad + MINIMAL)

    def test_a_scenario_runs_again_under_the_code_pages_it_adds(self):
        sc = rs.parse_scenario("codepage 1252\nalso-codepage 65001\n" + MINIMAL)
        self.assertEqual((sc.codepage, sc.also_codepages), (1252, [65001]))
        self.assertEqual(rs.parse_scenario(MINIMAL).also_codepages, [])
        for bad in ("also-codepage\n", "also-codepage 1251\n", "also-codepage 932\n",
                    "codepage 1252\nalso-codepage 65001 65001\n", "also-codepage utf8\n"):
            with self.subTest(bad):
                with self.assertRaises(rs.ScenarioError):
                    rs.parse_scenario(bad + MINIMAL)

    def test_the_state_says_its_code_page_and_the_locale_follows(self):
        # A state made before code pages were chosen is a 932 one.
        self.assertEqual(rs.state_codepage(self.state), 932)
        self.assertEqual(rs.wine_env(self.state)["LANG"], "ja_JP.UTF-8")
        own = os.path.join(self.state, "locale")
        # LANG, LC_ALL, LC_CTYPE, LOCPATH (None: not set). 65001 is a system
        # locale without an ANSI code page and an English user's locale, from
        # the locales setup compiled into the state.
        table = [(932, ("ja_JP.UTF-8", "ja_JP.UTF-8", None, None)),
                 (1252, ("C.UTF-8", "C.UTF-8", None, None)),
                 (65001, ("en_US.UTF-8", None, "hi_IN.UTF-8", own))]
        # What the host sets must not reach Wine: LC_ALL would override the
        # system locale, LC_MESSAGES the user's.
        host = {"LC_ALL": "ja_JP.UTF-8", "LC_MESSAGES": "ja_JP.UTF-8", "LC_CTYPE": "C",
                "LANG": "de_DE.UTF-8"}
        for codepage, want in table:
            with self.subTest(codepage), mock.patch.dict(os.environ, host):
                self.set_state("%d\n" % codepage)
                self.assertEqual(rs.state_codepage(self.state), codepage)
                env = rs.wine_env(self.state)
                self.assertEqual(tuple(env.get(n) for n in ("LANG", "LC_ALL", "LC_CTYPE",
                                                            "LOCPATH")), want)
                self.assertEqual([n for n in env if n.startswith("LC_") and
                                  n not in ("LC_ALL", "LC_CTYPE")], [])
                self.assertEqual(env["WINEPREFIX"], os.path.join(self.state, "prefix"))
                self.assertEqual(env["DISPLAY"], ":7")
        for bad in ("1251\n", "65000\n", "x\n", ""):
            with self.subTest(bad):
                self.set_state(bad)
                with self.assertRaises(rs.Failure):
                    rs.state_codepage(self.state)

    def test_a_live_setup_serves_its_own_code_page_only(self):
        scenarios = {932: rs.parse_scenario(MINIMAL),
                     1252: rs.parse_scenario("codepage 1252\n" + MINIMAL),
                     65001: rs.parse_scenario("codepage 65001\n" + MINIMAL)}
        for have in scenarios:
            self.set_state("%d\n" % have)
            for wanted, sc in scenarios.items():
                with self.subTest(state=have, scenario=wanted):
                    if wanted == have:
                        rs.check_state_codepage(self.state, sc)
                    else:
                        with self.assertRaises(rs.Failure):
                            rs.check_state_codepage(self.state, sc)

    def test_a_scenario_of_several_code_pages_takes_the_setups(self):
        for have, served in ((932, False), (1252, True), (65001, True)):
            sc = rs.parse_scenario("codepage 1252\nalso-codepage 65001\n" + MINIMAL,
                                   "cp1252_x")
            self.set_state("%d\n" % have)
            with self.subTest(state=have):
                if served:
                    rs.check_state_codepage(self.state, sc)
                    self.assertEqual(sc.codepage, have)   # what the transcript must show
                    self.assertEqual(sc.name, "cp%d_x" % have)
                else:
                    with self.assertRaises(rs.Failure):
                        rs.check_state_codepage(self.state, sc)

    def test_the_prefix_code_page_as_the_registry_tool_writes_it(self):
        query = (b"\r\nHKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Nls\\CodePage"
                 b"\r\n    ACP    REG_SZ    %s\r\n\r\n")
        self.assertEqual(rs.acp_of_query(query % b"1252"), 1252)
        self.assertEqual(rs.acp_of_query(query % b"932"), 932)
        self.assertEqual(rs.acp_of_query(query % b"65001"), 65001)
        self.assertIsNone(rs.acp_of_query(query % b""))
        self.assertIsNone(rs.acp_of_query(b"reg: Unable to find the specified registry key\r\n"))
        # OEMCP beside it is no answer.
        self.assertIsNone(rs.acp_of_query(b"    OEMCP    REG_SZ    437\r\n"))

    def test_the_transcript_must_show_the_scenario_code_page(self):
        for codepage, other in ((932, 1252), (1252, 932), (65001, 1252), (1252, 65001),
                                (65001, 932)):
            with self.subTest(codepage=codepage, other=other):
                sc = rs.parse_scenario("codepage %d\n" % codepage + MINIMAL)
                good = "  0.001 codepage %d\n  2.000 exit 0\n" % codepage
                paths = {"dest": os.path.join(self.state, "dest"), "input": self.state}
                self.assertEqual(rs.check_results(sc, good, paths, {}), [])
                self.assertTrue(rs.check_results(
                    sc, good.replace("codepage %d" % codepage, "codepage %d" % other), paths,
                    {}))

    def test_each_scenario_names_its_code_page(self):
        # The 1252 set is the cp1252_ scenarios, the 65001 set the cp65001_
        # ones, and each of them says so: one without the line would quietly
        # run in the 932 prefix.
        folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scenarios")
        names = sorted(n for n in os.listdir(folder) if n.endswith(".scn"))
        self.assertTrue(any(n.startswith("cp1252_") for n in names))
        self.assertTrue(any(n.startswith("cp65001_") for n in names))
        for name in names:
            with self.subTest(name):
                with open(os.path.join(folder, name), encoding="utf-8") as f:
                    sc = rs.parse_scenario(f.read(), name)
                prefix = re.match(r"cp(\d+)_", name)
                self.assertEqual(sc.codepage, int(prefix.group(1)) if prefix else 932)

    def test_setup_compiles_the_locales_it_names(self):
        # Only the code pages whose locales a machine seldom has.
        self.assertEqual(rs.OWN_LOCALES, {65001})
        log = os.path.join(self.state, "locale.log")
        rs.make_locales(self.state, 65001, log)
        self.set_state("65001\n")
        env = rs.wine_env(self.state)
        for category, name in (("LC_CTYPE", "hi_IN.UTF-8"), ("LC_MESSAGES", "en_US.UTF-8")):
            with self.subTest(name):
                # With LOCPATH glibc reads the locale compiled there.
                probe = ("import locale; print(locale.setlocale(locale.%s, %r))" %
                         (category, name))
                out = subprocess.run([sys.executable, "-c", probe], env=env,
                                     capture_output=True, text=True)
                self.assertEqual((out.returncode, out.stdout.strip()), (0, name), out.stderr)

    def test_a_locale_that_cannot_be_made_fails_the_setup(self):
        with mock.patch.dict(rs.CODEPAGES, {65001: {"LC_CTYPE": "xx_NOWHERE.UTF-8"}}):
            with self.assertRaisesRegex(rs.Failure, "xx_NOWHERE.UTF-8"):
                rs.make_locales(self.state, 65001, os.path.join(self.state, "locale.log"))


class WindowsSideReads(unittest.TestCase):
    """The registry and the short form are read by the helper under Wine; here
    its answers are stood in for, to see how the runner takes them."""

    def setUp(self):
        self.work = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.work)
        self.saved = rs.run_logged, rs.HELPER
        rs.HELPER = "/b/sfxhelper.exe"
        self.addCleanup(self.restore)
        self.calls = []

    def restore(self):
        rs.run_logged, rs.HELPER = self.saved

    def helper_answers(self, code, text):
        def run_logged(cmd, env, log, timeout, cwd=None):
            self.calls.append(cmd)
            if text is not None:
                with open(os.path.join(self.work, cmd[-1].split("\\")[-1]), "wb") as f:
                    f.write(text.encode("utf-8"))
            return code
        rs.run_logged = run_logged
        # The helper's output is named in Windows form: its last component is the file.
        self.addCleanup(setattr, rs, "win_path", rs.win_path)
        rs.win_path = lambda p: p.replace("/", "\\")

    def test_registry_values_come_as_the_text_they_are(self):
        self.helper_answers(0, "表計算データ José")
        self.assertEqual(rs.reg_default("HKCR\\SfxTest.Sx7", {}, self.work), "表計算データ José")
        self.assertEqual(self.calls[0][:4], ["wine", "\\b\\sfxhelper.exe", "regquery",
                                             "HKCR\\SfxTest.Sx7"])
        self.helper_answers(1, None)
        self.assertIsNone(rs.reg_default("HKCR\\.none", {}, self.work))
        # A helper that could not look is no "missing key".
        self.helper_answers(2, None)
        with self.assertRaises(rs.Failure):
            rs.reg_default("HKCR\\.x", {}, self.work)

    def test_no_short_form_fails_the_checks_that_need_it(self):
        self.helper_answers(1, None)
        paths = {"dest": os.path.join(self.work, "dest"), "input": self.work,
                 "work": self.work}
        sc = rs.parse_scenario(MINIMAL + "transcript ^x {dest-short}$\n")
        problems = rs.check_results(sc, "0.0 codepage 932\n0.0 exit 0\n", paths,
                                    {"dest": "Z:\\w\\José"}, env={})
        self.assertTrue(any("no short form" in p for p in problems))
        self.assertTrue(any("no transcript line matches" in p for p in problems))


if __name__ == "__main__":
    unittest.main()


class SweepClassification(unittest.TestCase):
    """The sweep's verdicts: a classifier that calls everything expected
    would hide every fault it is there to find."""

    def setUp(self):
        import sweep
        self.sweep = sweep
        self.dir = tempfile.mkdtemp()
        with open(os.path.join(self.dir, "good.txt"), "wb") as f:
            f.write(b"input bytes")
        import hashlib
        self.digests = {hashlib.sha256(b"input bytes").hexdigest()}

    def tearDown(self):
        shutil.rmtree(self.dir)

    def verdict(self, transcript, wine_log="", before=None, after=None):
        return self.sweep.classify(transcript, wine_log, self.dir, self.digests,
                                   before or {}, after or {})[0]

    def test_each_class(self):
        self.assertEqual(self.verdict("  1.000 exit 1\n"), "expected")
        self.assertEqual(self.verdict("  1.000 exit 0\n"), "expected")
        self.assertEqual(self.verdict("  1.000 exit -1073741819\n"), "crash")
        self.assertEqual(self.verdict("  1.000 exit 1\n", "wine: Unhandled page fault on"),
                         "crash")
        self.assertEqual(self.verdict("  20.000 hang\n  25.000 killed\n"), "hang")
        self.assertEqual(self.verdict("  0.100 start x\n"), "hang")
        self.assertEqual(self.verdict("  1.000 exit 1\n", before={"/c/a": 1},
                                      after={"/c/a": 2}), "outside")
        self.assertEqual(self.verdict("  1.000 exit 1\n", after={"/c/new": 1}), "outside")
        with open(os.path.join(self.dir, "cut.bin"), "wb") as f:
            f.write(b"input by")
        self.assertEqual(self.verdict("  1.000 exit 1\n"), "partial")

    def test_mutations_keep_the_header_crc_right_when_asked(self):
        image = bytearray(1200)
        # A level-2 header at 1115: name extension and header-CRC extension.
        import struct
        struct.pack_into("<I", image, 512, 1115)
        header = bytearray(b"\x00\x00-lh0-" + struct.pack("<IIIBBHB", 3, 3, 0, 0x20, 2, 0, 0x4D))
        header += struct.pack("<H", 8) + b"\x01abcde"
        header += struct.pack("<H", 5) + b"\x00\x00\x00"
        header += struct.pack("<H", 0)
        struct.pack_into("<H", header, 0, len(header))
        image[1115:1115 + len(header)] = header
        image[1115 + len(header):1115 + len(header) + 3] = b"xyz"
        self.sweep.fix_header_crc(image, 1115, len(header))
        at, size, packed = self.sweep.headers(image)[0]
        self.assertEqual((at, size, packed), (1115, len(header), 3))
        body = bytearray(image[at:at + size])
        crc_at = 24 + 8 + 3
        stored = struct.unpack_from("<H", body, crc_at)[0]
        struct.pack_into("<H", body, crc_at, 0)
        self.assertEqual(stored, self.sweep.crc16(body))
        longer = self.sweep.replace_name(image, at, size, packed, b"x" * 300)
        at2, size2, packed2 = self.sweep.headers(longer)[0]
        self.assertEqual((size2, packed2), (size + 295, 3))
        self.assertEqual(bytes(longer[at2 + size2:at2 + size2 + 3]), b"xyz")


class BuilderSweepClassification(unittest.TestCase):
    """The builder sweep's verdicts, each class from the evidence that makes it."""

    def setUp(self):
        import builder_sweep
        self.bs = builder_sweep
        self.dir = tempfile.mkdtemp()
        self.dest = os.path.join(self.dir, "run", "dest")
        os.makedirs(self.dest)
        import hashlib
        self.digests = {hashlib.sha256(b"input bytes").hexdigest()}

    def tearDown(self):
        shutil.rmtree(self.dir)

    def verdict(self, status, out="", err="", command="extract", added=None):
        before = self.bs.snapshot(self.dir)
        for rel, data in (added or {}).items():
            path = os.path.join(self.dir, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        after = self.bs.snapshot(self.dir)
        return self.bs.classify(command, status, out, err, before, after, self.dest,
                                self.digests)[0]

    def test_each_class(self):
        rows = [
            (dict(status=0), "expected"),
            (dict(status=1, out="FAILED  a.txt: CRC error\n"), "expected"),
            (dict(status=1), "silent"),
            (dict(status=None), "hang"),
            (dict(status=139), "crash"),
            (dict(status=2, err="sfxbuild: usage\n"), "crash"),
            (dict(status=0, err="x.cpp:3:1: runtime error: shift exponent\n"), "crash"),
            (dict(status=1, err="==1==ERROR: LeakSanitizer: detected memory leaks\n"), "crash"),
            (dict(status=0, added={"run/dest/sub/a.txt": b"input bytes"}), "expected"),
            (dict(status=1, out="E", added={"run/dest/a.txt": b"input by"}), "partial"),
            (dict(status=1, out="E", added={"run/up.txt": b"input bytes"}), "outside"),
            (dict(status=1, out="E", command="list", added={"run/dest/a.txt": b"?"}),
             "expected"),
        ]
        for args, want in rows:
            with self.subTest(args=args):
                self.assertEqual(self.verdict(**args), want)
                shutil.rmtree(self.dest)
                os.makedirs(self.dest)
                if os.path.exists(os.path.join(self.dir, "run", "up.txt")):
                    os.remove(os.path.join(self.dir, "run", "up.txt"))
