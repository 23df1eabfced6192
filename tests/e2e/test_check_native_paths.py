"""check-native-paths on snippets: a Windows program called by its bare name is found wherever a
command starts, and nothing else is."""

import contextlib
import importlib.machinery
import importlib.util
import io
import tempfile
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
LOADER = importlib.machinery.SourceFileLoader(
    "check_native_paths", str(HERE / "check-native-paths")
)
check = importlib.util.module_from_spec(importlib.util.spec_from_loader(LOADER.name, LOADER))
LOADER.exec_module(check)

PLANTED = "x:1: whoami is called without its path"


def found(text):
    return check.scan(text, "x")


class BareNames(unittest.TestCase):
    def test_caught_wherever_a_command_starts(self):
        snippets = [
            "whoami /groups",
            "LANG=C A[1]=2 B+=3 whoami /groups",
            "2>/dev/null <in whoami /groups",
            "! whoami /groups",
            "if whoami /groups; then :; fi",
            "if true; then whoami /groups; fi",
            "if false; then :; else whoami /groups; fi",
            "if false; then :; elif whoami /groups; then :; fi",
            "while whoami /groups; do :; done",
            "until whoami /groups; do :; done",
            "for x in a b; do whoami /groups; done",
            "for ((i = 0; i < 2; i++)); do whoami /groups; done",
            "time whoami /groups",
            "time -p whoami /groups",
            "exec whoami /groups",
            "exec -a name whoami /groups",
            "command whoami /groups",
            "nohup whoami /groups",
            "env A=1 whoami /groups",
            "env -i -u X A=1 B=2 whoami /groups",
            "timeout 5 whoami /groups",
            "timeout -k 2 --signal=KILL 5 whoami /groups",
            "xargs whoami /groups",
            "xargs -n 1 -I {} whoami /groups {}",
            "nohup env A=1 timeout 5 whoami /groups",
            "x=$(whoami /groups)",
            "x=`whoami /groups`",
            'echo "$(whoami /groups)"',
            "echo ${x:-$(whoami /groups)}",
            "echo $(( $(whoami /groups) + 1 ))",
            "(whoami /groups)",
            "{ whoami /groups; }",
            "true | whoami /groups",
            "true |& whoami /groups",
            "true || whoami /groups",
            "true && whoami /groups",
            "true; whoami /groups",
            "true & whoami /groups",
            "diff <(whoami /groups) x",
            "cat < <(whoami /groups)",
            "case $x in a) true ;; b | c) whoami /groups ;; esac",
            "x=$(case $x in (a) whoami /groups ;; esac)",
            '"${ZT_RUN[@]}" whoami /groups',
            '"$@" whoami /groups',
            'zt_expect "the groups" whoami /groups',
            'zt_must_fail "the groups" whoami /groups',
            'zt_require "the groups" whoami /groups',
            'zt_expect_within "groups" 10 whoami /groups',
            'zt_require_within "groups" 10 whoami /groups',
            "zt_wait_for 10 whoami /groups",
            "zt_when_finished whoami /groups",
            "zt_text whoami /groups",
            "zt_run whoami /groups",
            "zt_run --within 60 whoami /groups",
            'zt_expect "the groups" zt_text whoami /groups',
            "f() { whoami /groups; }",
            "local groups=$(whoami /groups)",
        ]
        for snippet in snippets:
            with self.subTest(snippet):
                self.assertIn(PLANTED, found(snippet))

    def test_any_letter_case_with_or_without_exe_even_quoted(self):
        for name in ["whoami.exe", "WHOAMI.EXE", "WhoAmI", '"whoami"', "'whoami.exe'", "\\whoami"]:
            with self.subTest(name):
                tool = name.strip("'\"\\")
                self.assertEqual(
                    [f"x:1: {tool} is called without its path"], found(f"{name} /groups")
                )

    def test_every_windows_tool(self):
        tools = """whoami sc reg net net1 msiexec tasklist taskkill icacls cmd certutil powershell
            pwsh wmic schtasks netsh findstr fc ping cscript wscript rundll32 regsvr32 bcdedit
            fsutil takeown robocopy xcopy attrib where shutdown mountvol""".split()
        findings = found("\n".join(f"{tool} x" for tool in tools))
        self.assertEqual(
            [f"x:{n}: {tool} is called without its path" for n, tool in enumerate(tools, 1)],
            findings,
        )

    def test_lines_are_counted_across_quotes_continuations_and_here_documents(self):
        text = (
            "echo 'one\ntwo' \\\n  three\n"  # lines 1-3
            "cat <<'END'\nwhoami /groups\nEND\n"  # lines 4-6
            "cat <<-END\n\t$(date)\n\tEND\n"  # lines 7-9
            'echo "$(\n  sc query)"\n'  # lines 10-11
            "`true\ntasklist`\n"  # lines 12-13
            "cat <<EOF | sort\ntext\n$(net start x)\nEOF\n"  # lines 14-17
            "whoami /groups\n"  # line 18
        )
        self.assertEqual(
            [
                "x:11: sc is called without its path",
                "x:13: tasklist is called without its path",
                "x:16: net is called without its path",
                "x:18: whoami is called without its path",
            ],
            found(text),
        )


class NotCommandWords(unittest.TestCase):
    def test_full_paths(self):
        for snippet in [
            '"$ZT_SYSTEM32/whoami.exe" /groups',
            "/c/Windows/System32/sc.exe query",
            "'C:\\Windows\\System32\\sc.exe' query",
            "./whoami /groups",
            '"$SYSTEMROOT\\System32\\whoami.exe" /groups',
        ]:
            with self.subTest(snippet):
                self.assertEqual([], found(snippet))

    def test_arguments_text_and_definitions(self):
        for snippet in [
            "echo whoami /groups",
            '"$ZT_WINE" sc query "$ZT_SERVICE"',
            "grep -q sc file",
            "# whoami /groups",
            "echo hi # whoami /groups",
            "echo 'whoami /groups'",
            "sh -c 'whoami /groups'",
            'echo "sc query; whoami"',
            "cat <<EOF\nwhoami /groups\nEOF",
            "cat <<'EOF'\n$(whoami /groups)\nEOF",
            'cat <<"EOF"\n`whoami`\nEOF',
            'sc() {\n    echo "sc $*"\n}',
            "function whoami {\n    echo high\n}",
            "function sc() { echo; }",
            "case $1 in sc | whoami) echo ;; (net) echo ;; esac",
            "[[ $x == whoami ]] && echo",
            "[[ $x =~ ^(sc|whoami)$ ]] && echo",
            "command -v whoami",
            "filter=(sc whoami\n    net)",
            "for tool in whoami sc; do echo; done",
            "export -f sc tasklist",
            "scp a b; whoami2; netstat",
            "x=sc; y=whoami",
            "echo $((sc + 1))",
            'zt_expect "sc stopped" test -z "$x"',
            'timeout 60 "$tool" x',
            "zt_windows_tool whoami /groups",
            'zt_expect "the groups" zt_windows_tool whoami /groups',
        ]:
            with self.subTest(snippet):
                self.assertEqual([], found(snippet))


WORKFLOW = """\
name: Made up
on: push
jobs:
  linux:
    runs-on: ubuntu-latest
    steps:
      - run: whoami /groups
  windows:
    runs-on: windows-2022
    defaults:
      run:
        shell: bash
    steps:
      - uses: actions/checkout@v4
      - name: A block
        run: |
          echo start

          sc query x
      - run: tasklist  # a comment
      - name: PowerShell
        shell: pwsh
        run: whoami /groups
      - name: MSYS2
        shell: msys2 {0}
        run: whoami /groups
  listed:
    runs-on: [self-hosted, Windows]
    steps:
    - name: Not bash by default
      run: whoami /groups
    - shell: bash
      run: >-
        net start x
"""


class Workflows(unittest.TestCase):
    def test_bash_steps_of_windows_jobs_only(self):
        with tempfile.TemporaryDirectory() as folder:
            path = Path(folder) / "made-up.yml"
            path.write_text(WORKFLOW)
            self.assertEqual(
                [
                    "w:19: sc is called without its path",
                    "w:20: tasklist is called without its path",
                    "w:34: net is called without its path",
                ],
                check.check_file(path, "w"),
            )

    def test_a_workflow_wide_shell(self):
        workflow = "defaults:\n  run:\n    shell: bash\njobs:\n  w:\n    runs-on: windows-latest\n"
        workflow += "    steps:\n      - run: whoami /groups\n"
        self.assertEqual(
            ["w:8: whoami is called without its path"],
            [
                f
                for s, line in check.bash_on_windows(self.parse(workflow))
                for f in check.scan(s, "w", line)
            ],
        )

    @staticmethod
    def parse(text):
        return check.Yaml(text.split("\n")).node()


class CommandLine(unittest.TestCase):
    def run_check(self, *files):
        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            code = check.main([str(f) for f in files])
        return code, out.getvalue(), err.getvalue()

    def test_a_whoami_planted_in_the_harness_is_found(self):
        lib = (HERE / "lib.sh").read_text()
        with tempfile.TemporaryDirectory() as folder:
            copy = Path(folder) / "lib.sh"
            copy.write_text(lib)
            _, before, _ = self.run_check(copy)
            planted = lib.replace("zt_now() {\n", "zt_now() {\n    whoami /groups\n", 1)
            copy.write_text(planted)
            code, after, _ = self.run_check(copy)
            line = planted.split("\n").index("    whoami /groups") + 1
            self.assertEqual(1, code)
            self.assertEqual(
                {f"{copy}:{line}: whoami is called without its path"},
                set(after.splitlines()) - {self.moved(f, line) for f in before.splitlines()},
            )

    @staticmethod
    def moved(finding, planted_line):
        """A finding of the file before the plant, as numbered after it."""
        name, line, rest = finding.split(":", 2)
        return f"{name}:{int(line) + (int(line) >= planted_line)}:{rest}"

    def test_exit_codes(self):
        with tempfile.TemporaryDirectory() as folder:
            clean = Path(folder) / "clean.sh"
            clean.write_text('"$ZT_SYSTEM32/whoami.exe" /groups\n')
            self.assertEqual((0, "", ""), self.run_check(clean))
            code, _, err = self.run_check(clean, Path(folder) / "missing.sh")
            self.assertEqual(2, code)
            self.assertIn("cannot read", err)


if __name__ == "__main__":
    unittest.main()
