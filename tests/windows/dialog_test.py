#!/usr/bin/env python3
"""Drives the Windows program's real file-open dialog under wine on a virtual X display.

Needs DISPLAY set to a virtual display (tests/windows/run.sh starts one) and xdotool. The
".hdb" association of the test's own wine prefix points to a recorder that logs what it is
handed, so the launch is checked without any real application.
"""
import os
import pathlib
import shlex
import subprocess
import tempfile
import time
import unittest

HERE = pathlib.Path(__file__).resolve().parent
COMMAND = shlex.split(os.environ["PALMCONV"])
COMMAND[-1] = str(pathlib.Path(COMMAND[-1]).resolve())
VALID = (HERE.parent / "golden/decode/edge_lengths.pdb").read_bytes()
VALID_HDB = (HERE.parent / "golden/decode/edge_lengths.hdb").read_bytes()
REJECTED = (HERE.parent / "golden/reject/other_creator.pdb").read_bytes()


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def wine_reg(*args):
    subprocess.run(["wine", "reg", *args], check=True, capture_output=True, stdin=subprocess.DEVNULL)


def visible_windows(title):
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % title],
                           capture_output=True, text=True)
    return found.stdout.split()


def open_dialogs():
    return visible_windows("Open")


def wait_until(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


class DialogTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory(dir="/tmp")
        root = pathlib.Path(cls._tmp.name)
        cls.log = root / "opened.log"
        recorder = root / "recorder.sh"
        recorder.write_text('#!/bin/sh\nprintf "%s\\n" "$1" >> "{}"\n'.format(cls.log))
        recorder.chmod(0o755)
        wine_reg("add", r"HKCR\.hdb", "/ve", "/d", "palmconv.test.hdbfile", "/f")
        wine_reg("add", r"HKCR\palmconv.test.hdbfile\shell\open\command", "/ve", "/d",
                 '"{}" "%1"'.format(windows_path(recorder)), "/f")

    @classmethod
    def tearDownClass(cls):
        wine_reg("delete", r"HKCR\.hdb", "/f")
        wine_reg("delete", r"HKCR\palmconv.test.hdbfile", "/f")
        cls._tmp.cleanup()

    def setUp(self):
        tmp = tempfile.TemporaryDirectory(dir="/tmp")
        self.addCleanup(tmp.cleanup)
        self.work = pathlib.Path(tmp.name)
        self.story = self.work / "story.pdb"
        self.story.write_bytes(VALID)
        self.log.unlink(missing_ok=True)

    def run_with_dialog(self, args, *keys, text=None):
        # A dialog of an earlier run can stay listed for a moment after it closed.
        wait_until(lambda: not open_dialogs(), 10, "earlier dialogs to close")
        process = subprocess.Popen(COMMAND + args, cwd=self.work, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            # The first dialog of a session loads the 32-bit windowing libraries, which under
            # an emulator takes more than half a minute now and then.
            window = wait_until(open_dialogs, 120, "the Open dialog")[0]
            time.sleep(0.3)
            subprocess.run(["xdotool", "windowfocus", "--sync", window], check=True)
            if text is not None:
                subprocess.run(["xdotool", "type", "--delay", "20", text], check=True)
            subprocess.run(["xdotool", "key", *keys], check=True)
            stdout, _ = process.communicate(timeout=60)
        finally:
            if process.poll() is None:
                process.kill()
        return process.returncode, stdout

    def opened(self, seconds):
        try:
            return wait_until(lambda: self.log.exists() and self.log.read_text().splitlines(),
                              seconds, "the launch")
        except AssertionError:
            return []

    def test_typed_path_is_converted_and_handed_to_the_shell(self):
        for args in ([], ["one.pdb", "two.pdb"]):
            with self.subTest(args=args):
                self.setUp()
                status = self.run_with_dialog(args, "Return", text=windows_path(self.story))
                self.assertEqual(status, (0, b""))
                self.assertEqual((self.work / "story.hdb").read_bytes(), VALID_HDB)
                self.assertEqual(self.opened(10), [windows_path(self.work / "story.hdb")])

    def test_escape_ends_quietly(self):
        self.assertEqual(self.run_with_dialog([], "Escape"), (1, b""))
        self.assertEqual(sorted(p.name for p in self.work.iterdir()), ["story.pdb"])
        self.assertEqual(self.opened(2), [])


class FailureBoxTest(unittest.TestCase):
    """A failure is also shown in a box when the program's console is its own."""

    def setUp(self):
        tmp = tempfile.TemporaryDirectory(dir="/tmp")
        self.addCleanup(tmp.cleanup)
        self.work = pathlib.Path(tmp.name)
        self.rejected = self.work / "story.pdb"
        self.rejected.write_bytes(REJECTED)
        wait_until(lambda: not visible_windows("palmconv"), 10, "earlier boxes to close")

    def test_console_of_its_own_shows_the_failure_in_a_box(self):
        # As Explorer starts it: a new console, visible, belonging to this program alone.
        process = subprocess.Popen(["wine", "start", "/wait", "/unix", COMMAND[-1],
                                    str(self.rejected)], cwd=self.work, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            box = wait_until(lambda: visible_windows("palmconv"), 30, "the failure box")[0]
            self.assertIsNone(process.poll(), "the program must wait for the box to be closed")
            if os.environ.get("SCREENSHOT"):
                time.sleep(1)
                subprocess.run("xwd -root -silent | convert xwd:- png:" +
                               shlex.quote(os.environ["SCREENSHOT"]), shell=True, check=True)
            subprocess.run(["xdotool", "windowfocus", "--sync", box], check=True)
            subprocess.run(["xdotool", "key", "Return"], check=True)
            self.assertEqual(process.wait(timeout=30), 1)
        finally:
            if process.poll() is None:
                process.kill()
        self.assertEqual(sorted(p.name for p in self.work.iterdir()), ["story.pdb"])

    def test_output_read_through_a_pipe_gets_no_box(self):
        done = subprocess.run(COMMAND + [str(self.rejected)], cwd=self.work,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
        self.assertEqual((done.returncode, done.stdout), (1, b"error: invalid pdb file\r\r\n"))
        self.assertEqual(visible_windows("palmconv"), [])


if __name__ == "__main__":
    unittest.main()
