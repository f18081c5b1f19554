#!/usr/bin/env python3
"""Runs the built converter with stand-ins for the desktop's file chooser and opener.

Stand-ins are the only programs on PATH, so no real dialog or application is ever opened.
"""
import os
import pathlib
import shlex
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

HERE = pathlib.Path(__file__).resolve().parent
PALMCONV = str(pathlib.Path(os.environ.get("PALMCONV", HERE.parent / "build/native/palmconv")).resolve())
VALID = (HERE / "golden/decode/edge_lengths.pdb").read_bytes()
VALID_HDB = (HERE / "golden/decode/edge_lengths.hdb").read_bytes()
HINT = b"usage: palmconv FILE (exactly one file is expected, and no file chooser can be shown)\n"
DESKTOP_ENTRY = HERE.parent / "packaging/palmconv.desktop"

# Every stand-in records, by its own name, the signals its process ignores and whether the
# desktop entry's mark reached it.
RECORD = """while read -r key value; do
  [ "$key" = SigIgn: ] && printf '%s\\n' "$value" > "$LOG_DIR/${0##*/}.sigign"
done < /proc/$$/status
printf '%s\\n' "${PALMCONV_DESKTOP_LAUNCH-unset}" > "$LOG_DIR/${0##*/}.mark"
"""

# As a chooser, records its arguments, then prints $CHOICE and exits with $CHOICE_STATUS; asked to
# show an error, appends its arguments and a blank line to a log of its own.
CHOOSER = """#!/bin/sh
""" + RECORD + """case " $* " in
  *" --error "*) for a in "$@"; do printf '%s\\n' "$a"; done >> "$LOG_DIR/${0##*/}.errors"
                 echo >> "$LOG_DIR/${0##*/}.errors"; exit 0 ;;
esac
for a in "$@"; do printf '%s\\n' "$a"; done > "$LOG_DIR/${0##*/}.args"
[ -n "$CHOICE" ] && printf '%s\\n' "$CHOICE"
exit "${CHOICE_STATUS:-0}"
"""
REJECTED = (HERE / "golden/reject/other_creator.pdb").read_bytes()
ERROR_CALLS = {
    "zenity": [["--error", "--title=palmconv", "--no-markup", "--text=error: invalid pdb file"]],
    "kdialog": [["--title", "palmconv", "--error", "error: invalid pdb file"]],
}
OPENER = """#!/bin/sh
""" + RECORD + """printf '%s\\n' "$1" >> "$LOG_DIR/opened"
"""


def remove_scratch(root):
    """Removes a test's folder; the opener is started and not waited for, so a stand-in may still
    be writing its logs there for a moment."""
    deadline = time.monotonic() + 20
    while True:
        try:
            shutil.rmtree(root)
            return
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


class DesktopTest(unittest.TestCase):
    def setUp(self):
        self.root = pathlib.Path(tempfile.mkdtemp())
        self.addCleanup(remove_scratch, self.root)
        self.bin = self.root / "bin"
        self.logs = self.root / "logs"
        self.work = self.root / "work"
        for d in (self.bin, self.logs, self.work):
            d.mkdir()

    def standins(self, *names):
        for name in names:
            path = self.bin / name
            path.write_text(OPENER if name == "xdg-open" else CHOOSER)
            path.chmod(0o755)

    def environment(self, display=":99", choice="", choice_status=0):
        env = {"PATH": str(self.bin), "LOG_DIR": str(self.logs), "CHOICE": choice,
               "CHOICE_STATUS": str(choice_status)}
        if display:
            env["DISPLAY"] = display
        return env

    def run_palmconv(self, *args, display=":99", choice="", choice_status=0, ignore=()):
        def ignore_signals():
            for signal_number in ignore:
                signal.signal(signal_number, signal.SIG_IGN)

        done = subprocess.run([PALMCONV, *args], cwd=self.work,
                              env=self.environment(display, choice, choice_status),
                              capture_output=True, stdin=subprocess.DEVNULL, timeout=60,
                              preexec_fn=ignore_signals)
        return done.returncode, done.stdout, done.stderr

    def opened(self, expected=True):
        """What the opener was handed; it is started and not waited for, so this waits long
        for an opening that should come (a loaded machine is slow) and briefly for one that
        should not."""
        log = self.logs / "opened"
        deadline = time.monotonic() + (20 if expected else 2)
        while time.monotonic() < deadline:
            if log.exists() and log.read_text().endswith("\n"):
                time.sleep(0.05)  # long enough for a second opener to show
                return log.read_text().strip()
            time.sleep(0.02)
        return None

    def test_chosen_file_is_converted_and_opened(self):
        for chooser in ("zenity", "kdialog"):
            with self.subTest(chooser):
                self.setUp()
                self.standins(chooser, "xdg-open")
                story = self.work / "story.pdb"
                story.write_bytes(VALID)
                self.assertEqual(self.run_palmconv(choice=str(story)), (0, b"", b""))
                self.assertEqual((self.work / "story.hdb").read_bytes(), VALID_HDB)
                self.assertEqual(self.opened(), str(self.work / "story.hdb"))
                args = (self.logs / (chooser + ".args")).read_text()
                self.assertIn("Palm Database Files (*.pdb)", args)
                self.assertIn("All Files (*.*)", args)

    def test_zenity_filters_and_two_arguments_ignored(self):
        self.standins("zenity", "kdialog", "xdg-open")
        story = self.work / "story.pdb"
        story.write_bytes(VALID)
        self.assertEqual(self.run_palmconv("a.pdb", "b.pdb", choice=str(story)), (0, b"", b""))
        self.assertFalse((self.logs / "kdialog.args").exists(), "zenity is preferred")
        self.assertEqual((self.logs / "zenity.args").read_text().splitlines(), [
            "--file-selection", "--title=Open", "--file-filter=Palm Database Files (*.pdb) | *.pdb",
            "--file-filter=All Files (*.*) | *"])
        self.assertEqual(sorted(p.name for p in self.work.iterdir()), ["story.hdb", "story.pdb"])

    def test_cancel_ends_quietly(self):
        self.standins("zenity", "xdg-open")
        (self.work / "story.pdb").write_bytes(VALID)
        self.assertEqual(self.run_palmconv(choice_status=1), (1, b"", b""))
        self.assertEqual(sorted(p.name for p in self.work.iterdir()), ["story.pdb"])
        self.assertIsNone(self.opened(expected=False))
        self.assertEqual(self.error_calls("zenity"), [])

    def test_without_a_chooser_a_hint_goes_to_standard_error(self):
        cases = [("no graphical session", ("zenity", "xdg-open"), None),
                 ("no chooser installed", ("xdg-open",), ":99")]
        for what, standins, display in cases:
            with self.subTest(what):
                self.setUp()
                self.standins(*standins)
                self.assertEqual(self.run_palmconv(display=display), (1, b"", HINT))
                self.assertFalse((self.logs / "zenity.args").exists())

    def error_calls(self, tool):
        log = self.logs / (tool + ".errors")
        if not log.exists():
            return []
        return [call.splitlines() for call in log.read_text().split("\n\n") if call]

    def test_failure_after_choosing_is_reported_and_nothing_is_opened(self):
        self.standins("zenity", "xdg-open")
        status, stdout, _ = self.run_palmconv(choice=str(self.work / "missing.pdb"))
        self.assertEqual((status, stdout), (1, b"error: file not found\r\n"))
        self.assertEqual(self.error_calls("zenity"), [
            ["--error", "--title=palmconv", "--no-markup", "--text=error: file not found"]])
        self.assertIsNone(self.opened(expected=False))

    def test_failure_is_shown_by_the_tool_that_chose_the_file(self):
        for tool in ("zenity", "kdialog"):
            with self.subTest(tool):
                self.setUp()
                self.standins(tool, "xdg-open")
                story = self.work / "story.pdb"
                story.write_bytes(REJECTED)
                status, stdout, _ = self.run_palmconv(choice=str(story))
                self.assertEqual((status, stdout), (1, b"error: invalid pdb file\r\n"))
                self.assertEqual(self.error_calls(tool), ERROR_CALLS[tool])
                self.assertEqual(sorted(p.name for p in self.work.iterdir()), ["story.pdb"])

    def test_failure_of_a_named_file_is_never_shown_in_a_window(self):
        self.standins("zenity", "xdg-open")
        (self.work / "story.pdb").write_bytes(REJECTED)
        for args in (["story.pdb"], ["missing.pdb"]):
            with self.subTest(args):
                status, stdout, _ = self.run_palmconv(*args)
                self.assertEqual(status, 1)
                self.assertTrue(stdout.startswith(b"error: "))
        self.assertEqual(self.error_calls("zenity"), [])

    def in_terminal(self, *args):
        """A command line run under a pseudo-terminal, as typed at a shell prompt."""
        env = " ".join("%s=%s" % kv for kv in self.environment().items())
        line = "%s -i %s %s" % (shutil.which("env"), env, " ".join(shlex.quote(a) for a in args))
        return [shutil.which("script"), "-qec", line, "/dev/null"]

    def from_desktop_entry(self, path):
        """The command line the desktop entry's Exec line gives for `path`."""
        for line in DESKTOP_ENTRY.read_text().splitlines():
            if line.startswith("Exec="):
                programs = {"palmconv": PALMCONV, "env": shutil.which("env")}
                return [programs.get(w, path if w == "%f" else w)
                        for w in shlex.split(line[len("Exec="):])]
        raise AssertionError("no Exec line")

    def test_windows_only_for_a_person_at_the_desktop(self):
        """In a graphical session, a run started from a terminal, a script or a batch opens
        nothing and shows no window; a run the desktop entry starts does both."""
        batch = [shutil.which("find"), ".", "-name", "*.pdb", "-exec", PALMCONV, "{}", ";"]
        # (what, command, opened, error windows)
        cases = [
            ("terminal, converted", lambda: self.in_terminal(PALMCONV, "story.pdb"), None, []),
            ("terminal, refused", lambda: self.in_terminal(PALMCONV, "bad.pdb"), None, []),
            ("find -exec batch", lambda: batch, None, []),
            ("desktop entry, converted", lambda: self.from_desktop_entry("story.pdb"),
             "story.hdb", []),
            ("desktop entry, refused", lambda: self.from_desktop_entry("bad.pdb"), None,
             ERROR_CALLS["zenity"]),
        ]
        for what, command, opened, errors in cases:
            with self.subTest(what):
                self.setUp()
                self.standins("zenity", "xdg-open")
                (self.work / "story.pdb").write_bytes(VALID)
                (self.work / "bad.pdb").write_bytes(REJECTED)
                subprocess.run(command(), cwd=self.work, env=self.environment(),
                               stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
                self.assertEqual(self.opened(expected=opened is not None), opened)
                self.assertEqual(self.error_calls("zenity"), errors)
                for helper in ("xdg-open", "zenity"):
                    mark = self.logs / (helper + ".mark")
                    if mark.exists():
                        self.assertEqual(mark.read_text(), "unset\n", "the mark is not passed on")

    def test_helpers_start_with_the_signals_the_caller_set(self):
        """Signals the program ignores for itself are at their defaults in what it starts; one
        the caller ignored is still ignored there."""
        def ignored(helper):
            mask = int((self.logs / (helper + ".sigign")).read_text(), 16)
            return {s for s in signal.Signals if mask & (1 << (s - 1))}

        # (what, the caller ignores, the chosen file, the helpers that run)
        cases = [("converted", (), VALID, ("zenity", "xdg-open")),
                 ("refused", (), REJECTED, ("zenity",)),
                 ("caller ignores HUP and PIPE", (signal.SIGHUP, signal.SIGPIPE), VALID,
                  ("zenity", "xdg-open"))]
        for what, caller_ignores, data, helpers in cases:
            with self.subTest(what):
                self.setUp()
                self.standins("zenity", "xdg-open")
                story = self.work / "story.pdb"
                story.write_bytes(data)
                self.run_palmconv(choice=str(story), ignore=caller_ignores)
                self.opened(expected="xdg-open" in helpers)
                for helper in helpers:
                    self.assertEqual(ignored(helper), set(caller_ignores), helper)

    def test_nothing_is_opened_without_a_graphical_session_or_opener(self):
        for what, standins, display in [("no session", ("xdg-open",), None), ("no opener", (), ":99")]:
            with self.subTest(what):
                self.setUp()
                self.standins(*standins)
                (self.work / "story.pdb").write_bytes(VALID)
                self.assertEqual(self.run_palmconv("story.pdb", display=display), (0, b"", b""))
                self.assertEqual((self.work / "story.hdb").read_bytes(), VALID_HDB)
                self.assertIsNone(self.opened(expected=False))


if __name__ == "__main__":
    unittest.main()
