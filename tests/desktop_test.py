#!/usr/bin/env python3
"""Runs the built converter with stand-ins for the desktop's file chooser and opener.

Stand-ins are the only programs on PATH, so no real dialog or application is ever opened.
"""
import os
import pathlib
import subprocess
import tempfile
import time
import unittest

HERE = pathlib.Path(__file__).resolve().parent
PALMCONV = str(pathlib.Path(os.environ.get("PALMCONV", HERE.parent / "build/native/palmconv")).resolve())
VALID = (HERE / "golden/decode/edge_lengths.pdb").read_bytes()
VALID_HDB = (HERE / "golden/decode/edge_lengths.hdb").read_bytes()
HINT = b"usage: palmconv FILE (no file was named and no file chooser can be shown)\n"

# As a chooser, records its arguments, then prints $CHOICE and exits with $CHOICE_STATUS; asked to
# show an error, appends its arguments and a blank line to a log of its own.
CHOOSER = """#!/bin/sh
case " $* " in
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
printf '%s\\n' "$1" > "$LOG_DIR/opened"
"""


class DesktopTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.root = pathlib.Path(tmp.name)
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

    def run_palmconv(self, *args, display=":99", choice="", choice_status=0):
        env = {"PATH": str(self.bin), "LOG_DIR": str(self.logs), "CHOICE": choice,
               "CHOICE_STATUS": str(choice_status)}
        if display:
            env["DISPLAY"] = display
        done = subprocess.run([PALMCONV, *args], cwd=self.work, env=env, capture_output=True,
                              stdin=subprocess.DEVNULL, timeout=60)
        return done.returncode, done.stdout, done.stderr

    def opened(self):
        # The opener is started and not waited for.
        log = self.logs / "opened"
        for _ in range(100):
            if log.exists() and log.read_text().endswith("\n"):
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
        self.assertIsNone(self.opened())
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
        self.assertIsNone(self.opened())

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

    def test_nothing_is_opened_without_a_graphical_session_or_opener(self):
        for what, standins, display in [("no session", ("xdg-open",), None), ("no opener", (), ":99")]:
            with self.subTest(what):
                self.setUp()
                self.standins(*standins)
                (self.work / "story.pdb").write_bytes(VALID)
                self.assertEqual(self.run_palmconv("story.pdb", display=display), (0, b"", b""))
                self.assertEqual((self.work / "story.hdb").read_bytes(), VALID_HDB)
                self.assertIsNone(self.opened())


if __name__ == "__main__":
    unittest.main()
