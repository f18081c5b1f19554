#!/usr/bin/env python3
"""The Windows program and an old output that is held open, hidden, or is the input itself.

PALMCONV names the command (`wine palmconv.exe`); HOLD_FILE the holder built from hold_file.cpp.
Needs the wine session that tests/windows/run.sh starts.
"""
import os
import pathlib
import shlex
import subprocess
import tempfile
import time
import unittest

HERE = pathlib.Path(__file__).resolve().parent
GOLDEN = HERE.parent / "golden" / "decode"
COMMAND = shlex.split(os.environ["PALMCONV"])
COMMAND[-1] = str(pathlib.Path(COMMAND[-1]).resolve())
HOLD_FILE = str(pathlib.Path(os.environ["HOLD_FILE"]).resolve())
VALID = (GOLDEN / "edge_lengths.pdb").read_bytes()
VALID_HDB = (GOLDEN / "edge_lengths.hdb").read_bytes()
OTHER = (GOLDEN / "one_record.pdb").read_bytes()
OTHER_HDB = (GOLDEN / "one_record.hdb").read_bytes()
OUTPUT_NOT_FOUND = b"error: output file not found\r\r\n"
OUTPUT_NOT_WRITTEN = b"error: output file not written\r\r\n"


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def wine_reg(*args):
    subprocess.run(["wine", "reg", *args], check=True, capture_output=True,
                   stdin=subprocess.DEVNULL)


def wait_until(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


class HeldOutputTest(unittest.TestCase):
    def setUp(self):
        work = tempfile.TemporaryDirectory(dir="/tmp")
        signals = tempfile.TemporaryDirectory(dir="/tmp")
        self.addCleanup(work.cleanup)
        self.addCleanup(signals.cleanup)
        self.work = pathlib.Path(work.name)
        self.signals = pathlib.Path(signals.name)  # the holder's files, kept out of the folder
        self.ready = self.signals / "ready"
        self.release = self.signals / "release"
        self.addCleanup(self.release.touch)  # a holder left behind by a failure lets go too

    def convert(self, name):
        # Into a file, not a pipe: the application the output is handed to inherits the
        # program's standard handles, and a pipe would stay open as long as it runs.
        with tempfile.TemporaryFile() as stdout:
            done = subprocess.run(COMMAND + [name], cwd=self.work, stdin=subprocess.DEVNULL,
                                  stdout=stdout, stderr=subprocess.DEVNULL, timeout=60)
            stdout.seek(0)
            return done.returncode, stdout.read()

    def names(self):
        return sorted(p.name for p in self.work.iterdir())

    def hold(self, path, sharing, seen=None):
        """Starts a holder of `path` and returns once it holds the file."""
        args = [windows_path(path), sharing, windows_path(self.ready), windows_path(self.release)]
        if seen is not None:
            args.append(windows_path(seen))
        holder = subprocess.Popen(["wine", HOLD_FILE, *args], stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(self.ready.exists, 30, "the holder")
        return holder

    def test_output_held_open_by_another_program(self):
        """Written in place where the holder lets others write; refused and untouched where
        not. The holder then reads the new content, as after a plain overwrite."""
        cases = [("none", (1, OUTPUT_NOT_FOUND), b"old output"),
                 ("r", (1, OUTPUT_NOT_FOUND), b"old output"),
                 ("rw", (0, b""), VALID_HDB),
                 ("rwd", (0, b""), VALID_HDB)]
        for sharing, outcome, content in cases:
            with self.subTest(sharing):
                for path in list(self.work.iterdir()) + list(self.signals.iterdir()):
                    path.unlink()
                (self.work / "story.pdb").write_bytes(VALID)
                output = self.work / "story.hdb"
                output.write_bytes(b"old output")
                seen = self.signals / "seen"
                holder = self.hold(output, sharing, seen)
                self.assertEqual(self.convert("story.pdb"), outcome)
                self.assertEqual(self.names(), ["story.hdb", "story.pdb"])
                self.assertEqual(output.read_bytes(), content)
                self.release.touch()
                self.assertEqual(holder.wait(timeout=30), 0)
                self.assertEqual(seen.read_bytes(), content)

    @unittest.skipIf(os.geteuid() != 0, "needs root to mount a small file system")
    def test_held_output_on_a_full_disk_is_left_as_it_was(self):
        """Room is taken before the first old byte is overwritten, even where the file system
        makes a file only set to a larger size sparse."""
        small = self.work / "small"
        small.mkdir()
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(small)], check=True)
        # Lazily, since a holder left by a failure may still hold a file there.
        self.addCleanup(subprocess.run, ["umount", "-l", str(small)], check=True)
        (small / "story.pdb").write_bytes(VALID)
        output = small / "story.hdb"
        output.write_bytes(b"old output")
        free = os.statvfs(small)
        with open(small / "filler", "wb") as filler:
            os.posix_fallocate(filler.fileno(), 0, free.f_bavail * free.f_frsize - 8192)
        holder = self.hold(output, "rw")
        with tempfile.TemporaryFile() as stdout:
            done = subprocess.run(COMMAND + ["story.pdb"], cwd=small, stdin=subprocess.DEVNULL,
                                  stdout=stdout, stderr=subprocess.DEVNULL, timeout=60)
            stdout.seek(0)
            self.assertEqual((done.returncode, stdout.read()), (1, OUTPUT_NOT_WRITTEN))
        self.assertEqual(output.read_bytes(), b"old output")
        self.release.touch()
        self.assertEqual(holder.wait(timeout=30), 0)

    def test_converting_again_while_the_opened_output_is_held(self):
        """Convert; the application the output is handed to holds it; convert again."""
        wine_reg("add", r"HKCR\.hdb", "/ve", "/d", "palmconv.test.holder", "/f")
        self.addCleanup(wine_reg, "delete", r"HKCR\.hdb", "/f")
        command = '"{}" "%1" rw "{}" "{}"'.format(windows_path(HOLD_FILE),
                                                   windows_path(self.ready),
                                                   windows_path(self.release))
        wine_reg("add", r"HKCR\palmconv.test.holder\shell\open\command", "/ve", "/d", command,
                 "/f")
        self.addCleanup(wine_reg, "delete", r"HKCR\palmconv.test.holder", "/f")
        (self.work / "story.pdb").write_bytes(VALID)
        self.assertEqual(self.convert("story.pdb"), (0, b""))
        wait_until(self.ready.exists, 30, "the opened output to be held")
        (self.work / "story.pdb").write_bytes(OTHER)
        self.assertEqual(self.convert("story.pdb"), (0, b""))
        self.assertEqual((self.work / "story.hdb").read_bytes(), OTHER_HDB)
        self.assertEqual(self.names(), ["story.hdb", "story.pdb"])

    def test_input_spelled_as_its_output_is_replaced_by_its_conversion(self):
        """STORY.HDB gives the output path STORY.hDB: the same file, so replaced whole."""
        (self.work / "STORY.HDB").write_bytes(VALID)
        self.assertEqual(self.convert("STORY.HDB"), (0, b""))
        (name,) = self.names()
        self.assertEqual(name.upper(), "STORY.HDB")
        self.assertEqual((self.work / name).read_bytes(), VALID_HDB)

    def test_hidden_output_stays_hidden(self):
        (self.work / "story.pdb").write_bytes(VALID)
        output = self.work / "story.hdb"
        output.write_bytes(b"old output")

        def attributes():
            done = subprocess.run(["wine", "cmd", "/c", "attrib", windows_path(output)],
                                  capture_output=True, text=True, stdin=subprocess.DEVNULL)
            return done.stdout.split(windows_path(output))[0]

        subprocess.run(["wine", "cmd", "/c", "attrib", "+h", windows_path(output)], check=True,
                       capture_output=True, stdin=subprocess.DEVNULL)
        self.assertIn("H", attributes())
        self.assertEqual(self.convert("story.pdb"), (0, b""))
        self.assertEqual(output.read_bytes(), VALID_HDB)
        self.assertIn("H", attributes())


if __name__ == "__main__":
    unittest.main()
