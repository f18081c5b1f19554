#!/usr/bin/env python3
"""The Windows program and an old output that is held open, hidden, or is the input itself.

PALMCONV names the command (`wine palmconv.exe`); HOLD_FILE the holder built from hold_file.cpp.
Needs the wine session that tests/windows/run.sh starts.
"""
import hashlib
import os
import pathlib
import shlex
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
import hdb_reference as ref  # noqa: E402

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
STAND_IN = "palmconv.test.opened"  # the class of the application outputs are handed to
MAGIC = b"\x38\x89"  # at offset 64: what makes a file pass for a converted database


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def wine_reg(*args):
    subprocess.run(["wine", "reg", *args], check=True, capture_output=True,
                   stdin=subprocess.DEVNULL)


def forget(key):
    subprocess.run(["wine", "reg", "delete", key, "/f"], capture_output=True,
                   stdin=subprocess.DEVNULL)


def passes_for_database(head):
    return head[64:66] == MAGIC


def sparse_database(path, count, size):
    """A database of `count` zero records of `size` bytes, sparse on the disk; returns its
    conversion's header and size."""
    first = 78 + 8 * count
    header = ref.build_pdb(offsets=[first + i * size for i in range(count)], size=first)
    path.write_bytes(header)
    os.truncate(path, first + count * size)
    length = len(ref.length_prefix(size))
    converted_header = header[:32] + bytes(32) + MAGIC + bytes(22) + struct.pack("<I", count)
    return converted_header, 92 + (16 + length) * count + count * size


def describe(content):
    """A short account of a file's content for a failure's message."""
    return "%d bytes, beginning %s" % (len(content), content[:96].hex())


def digest(content):
    return hashlib.sha256(content).hexdigest()


def head_and_size(path):
    with open(path, "rb") as f:
        return f.read(96), os.fstat(f.fileno()).st_size


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

    @classmethod
    def setUpClass(cls):
        # Each output is handed to the shell's "open": a stand-in application takes it, not
        # whatever wine would otherwise do for a type it knows no application for.
        cls.associate_class(STAND_IN, '"{}" "%1"'.format(windows_path(HOLD_FILE)))
        cls.addClassCleanup(forget, r"HKCR\.hdb")
        cls.addClassCleanup(forget, "HKCR\\" + STAND_IN)

    @staticmethod
    def associate_class(name, command):
        """Makes `command` the application that opens .hdb files, as the class `name`."""
        wine_reg("add", r"HKCR\.hdb", "/ve", "/d", name, "/f")
        wine_reg("add", r"HKCR\%s\shell\open\command" % name, "/ve", "/d", command, "/f")

    def associate(self, name, command):
        """Makes `command` the application that opens .hdb files for this test only."""
        self.associate_class(name, command)
        self.addCleanup(wine_reg, "add", r"HKCR\.hdb", "/ve", "/d", STAND_IN, "/f")
        self.addCleanup(forget, "HKCR\\" + name)

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

    def start(self, name):
        """Starts a conversion in the work folder; its standard output goes to a file. The
        interrupt a test sends is answered even where the suite was started with it ignored
        (nohup, a script's background job)."""
        stdout, stderr = tempfile.TemporaryFile(), tempfile.TemporaryFile()
        self.addCleanup(stdout.close)
        self.addCleanup(stderr.close)
        process = subprocess.Popen(COMMAND + [name], cwd=self.work, stdin=subprocess.DEVNULL,
                                   stdout=stdout, stderr=stderr,
                                   preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        self.addCleanup(lambda: process.poll() is None and (process.kill(), process.wait()))
        process.printed = stdout
        process.complained = stderr
        return process

    def finish(self, process):
        """Waits for a conversion started with start(); its status and what it printed."""
        status = process.wait(timeout=60)
        process.printed.seek(0)
        process.complained.seek(0)
        printed = process.printed.read()
        # A failure the program gives no message for comes from wine: what it said goes with
        # the test's report.
        complaint = process.complained.read()
        if status != 0 and not printed:
            print("\n%s ended with %d, saying on standard error: %r"
                  % (process.args[-1], status, complaint[-2000:]), file=sys.stderr)
        return status, printed

    def test_output_held_open_by_another_program(self):
        """Written in place where the holder lets others write; refused and untouched where
        not. The holder then reads the new content, as after a plain overwrite."""
        longer = OTHER_HDB + b"\xee" * 100000
        cases = [("none", b"old output", (1, OUTPUT_NOT_FOUND), b"old output"),
                 ("r", b"old output", (1, OUTPUT_NOT_FOUND), b"old output"),
                 ("rw", b"old output", (0, b""), VALID_HDB),
                 ("rwd", b"old output", (0, b""), VALID_HDB),
                 ("rw", longer, (0, b""), VALID_HDB)]
        for sharing, old, outcome, content in cases:
            with self.subTest(sharing=sharing, old=len(old)):
                for path in list(self.work.iterdir()) + list(self.signals.iterdir()):
                    path.unlink()
                (self.work / "story.pdb").write_bytes(VALID)
                output = self.work / "story.hdb"
                output.write_bytes(old)
                seen = self.signals / "seen"
                holder = self.hold(output, sharing, seen)
                self.assertEqual(self.convert("story.pdb"), outcome)
                self.assertEqual(self.names(), ["story.hdb", "story.pdb"])
                self.assertEqual(output.read_bytes(), content)
                self.release.touch()
                self.assertEqual(holder.wait(timeout=30), 0)
                self.assertEqual(seen.read_bytes(), content)

    def test_output_opened_for_a_moment_by_another_program_is_written(self):
        """Scanners, indexers and the shell open a file for a moment sharing only reading: a
        conversion that meets such an open waits for it, rather than refusing the output."""
        (self.work / "story.pdb").write_bytes(VALID)
        output = self.work / "story.hdb"
        output.write_bytes(b"old output")
        holder = self.hold(output, "r")
        process = self.start("story.pdb")
        time.sleep(1)
        self.release.touch()
        self.assertEqual(holder.wait(timeout=30), 0)
        self.assertEqual(self.finish(process), (0, b""))
        self.assertEqual(output.read_bytes(), VALID_HDB)
        self.assertEqual(self.names(), ["story.hdb", "story.pdb"])

    def test_stopped_held_conversion_never_leaves_a_mix_that_passes_for_a_database(self):
        """The header is spoiled on the disk before the old output is overwritten, and written
        only once all the rest is: a kill part way leaves a file that is no database, Ctrl+C an
        empty one (or the whole conversion, once its header is written); watched all along, the
        file is never anything else either."""
        old = OTHER_HDB
        count, record = 65535, 1 << 14
        prefix = ref.length_prefix(record)
        # (signal, the record whose length prefix is written when it comes: one half way through
        # the body, or the last, while the body is synced just before the header is written;
        # what the file may be after it: an interrupt answered only once the header is written
        # has nothing left to undo)
        cases = [(signal.SIGKILL, count // 2, {"spoiled"}),
                 (signal.SIGKILL, count - 1, {"spoiled"}),
                 (signal.SIGINT, count // 2, {"empty"}),
                 (signal.SIGINT, count - 1, {"empty", "whole"})]
        for signal_number, through, allowed in cases:
            with self.subTest(signal=signal.strsignal(signal_number), through=through):
                for path in list(self.work.iterdir()) + list(self.signals.iterdir()):
                    path.unlink()
                header, size = sparse_database(self.work / "big.pdb", count, record)
                output = self.work / "big.hdb"
                output.write_bytes(old)

                def what():
                    """What the output is now: the old output, the whole conversion, one whose
                    header is spoiled, empty, or a mix (the old output grown by zeros among
                    them: taking room never changes its size)."""
                    head, now = head_and_size(output)
                    if now == 0:
                        return "empty"
                    if not passes_for_database(head):
                        return "spoiled"
                    if (head[:len(header)], now) == (header, size):
                        return "whole"
                    if head == old[:len(head)]:
                        with open(output, "rb") as f:
                            content = f.read(len(old) + (1 << 16))
                        # Read before the overwrite began if the old header is still there.
                        if head_and_size(output)[0] != head:
                            return what()
                        if content == old:
                            return "old"
                    return "mix: " + describe(head)

                holder = self.hold(output, "rw")
                process = self.start("big.pdb")

                def reached():
                    now = what()
                    self.assertIn(now, {"old", "spoiled", "whole"})
                    if now != "spoiled":
                        return now == "whole" or process.poll() is not None
                    with open(output, "rb") as f:
                        f.seek(92 + 16 * count + through * (len(prefix) + record))
                        return f.read(len(prefix)) == prefix

                wait_until(reached, 60, "the conversion to reach record %d" % through)
                process.send_signal(signal.SIGSTOP)
                # A run that has written its header has nothing left to undo.
                if what() == "whole":
                    allowed = {"whole"}
                if process.poll() is None:
                    process.send_signal(signal_number)
                    process.send_signal(signal.SIGCONT)
                    self.assertNotEqual(process.wait(timeout=30), 0)
                else:
                    self.assertEqual(process.returncode, 0)
                self.assertIn(what(), allowed)
                self.assertEqual(self.names(), ["big.hdb", "big.pdb"])
                self.release.touch()
                self.assertEqual(holder.wait(timeout=30), 0)

    def test_conversions_of_one_held_output_give_one_or_the_other(self):
        """x.pdb and x.xdb both give x.hdb: held open, it is written in place by one conversion
        at a time, so that it ends as exactly one of them."""
        expected = {}
        for name, count, record in (("a.pdb", 8192, 1 << 14), ("a.xdb", 500, 1 << 13)):
            sparse_database(self.work / name, count, record)
            expected[digest(ref.convert((self.work / name).read_bytes()))] = name
        output = self.work / "a.hdb"
        output.write_bytes(b"old output")
        holder = self.hold(output, "rw", self.signals / "seen")
        # (the first started, the second, whether the second waits until the first is taking
        # room for its conversion of 128 MiB, or starts at once)
        cases = [("a.pdb", "a.xdb", False), ("a.xdb", "a.pdb", False), ("a.pdb", "a.xdb", True)]
        for first, second, later in cases * 2:
            with self.subTest(first=first, later=later):
                output.write_bytes(b"\xee" * 70000)
                runs = [self.start(first)]
                if later:
                    wait_until(lambda: runs[0].poll() is not None or
                               output.stat().st_size != 70000, 30, "the first to take room")
                runs.append(self.start(second))
                self.assertEqual([self.finish(run) for run in runs], [(0, b"")] * 2)
                self.assertIn(digest(output.read_bytes()), expected)
        self.release.touch()
        self.assertEqual(holder.wait(timeout=30), 0)
        self.assertEqual(digest((self.signals / "seen").read_bytes()),
                         digest(output.read_bytes()))

    def test_conversion_of_a_held_output_waits_for_one_stopped_part_way(self):
        """However long the first takes; then the second writes all of its own."""
        sparse_database(self.work / "big.pdb", 65535, 1 << 14)
        (self.work / "big.xdb").write_bytes(VALID)
        output = self.work / "big.hdb"
        output.write_bytes(OTHER_HDB)
        holder = self.hold(output, "rw", self.signals / "seen")
        first = self.start("big.pdb")
        # Its header spoiled, the first holds the lock and is writing.
        wait_until(lambda: first.poll() is not None or
                   not passes_for_database(head_and_size(output)[0]), 30, "the first to write")
        first.send_signal(signal.SIGSTOP)
        self.assertIsNone(first.poll(), "the first conversion ended before it could be stopped")
        second = self.start("big.xdb")
        # Longer than any wait a lock taken by other programs would be given.
        time.sleep(6)
        self.assertIsNone(second.poll(), "the second conversion did not wait for the first")
        self.assertFalse(passes_for_database(head_and_size(output)[0]))
        first.send_signal(signal.SIGCONT)
        self.assertEqual([self.finish(first), self.finish(second)], [(0, b"")] * 2)
        self.assertEqual(output.read_bytes(), VALID_HDB)
        self.assertEqual(self.names(), ["big.hdb", "big.pdb", "big.xdb"])
        self.release.touch()
        self.assertEqual(holder.wait(timeout=30), 0)
        self.assertEqual((self.signals / "seen").read_bytes(), VALID_HDB)

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
        self.associate("palmconv.test.holder",
                       '"{}" "%1" rw "{}" "{}"'.format(windows_path(HOLD_FILE),
                                                      windows_path(self.ready),
                                                      windows_path(self.release)))
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
