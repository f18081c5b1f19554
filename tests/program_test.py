#!/usr/bin/env python3
"""Runs the built converter in temporary folders and checks files, messages and exit status.

PALMCONV names the command (for example `build/native/palmconv`, or `wine palmconv.exe`).
"""
import os
import pathlib
import resource
import shlex
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = pathlib.Path(__file__).resolve().parent
GOLDEN = HERE / "golden"
sys.path.insert(0, str(HERE))
import hdb_reference as ref  # noqa: E402

COMMAND = shlex.split(os.environ.get("PALMCONV", str(HERE.parent / "build/native/palmconv")))
# The program runs inside each test's folder, so a relative program path is settled here.
COMMAND[-1] = str(pathlib.Path(COMMAND[-1]).resolve())
ON_WINDOWS = COMMAND[-1].endswith(".exe")
# Standard output on Windows is a text stream: each message's "\r\n" reaches it as CR CR LF.
NEWLINE = b"\r\r\n" if ON_WINDOWS else b"\r\n"
FILE_NOT_FOUND = b"error: file not found" + NEWLINE
INVALID = b"error: invalid pdb file" + NEWLINE
OUTPUT_NOT_FOUND = b"error: output file not found" + NEWLINE
OUTPUT_NOT_WRITTEN = b"error: output file not written" + NEWLINE

VALID = (GOLDEN / "decode" / "edge_lengths.pdb").read_bytes()
VALID_HDB = (GOLDEN / "decode" / "edge_lengths.hdb").read_bytes()


def environment():
    env = dict(os.environ)
    # No graphical session: nothing may be opened on a developer's desktop.
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    return env


class Folder:
    """A temporary folder the converter runs in, with helpers to read what it holds."""

    def __init__(self, root):
        self.root = pathlib.Path(root)

    def put(self, name, data, mode=None):
        path = self.root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        if mode is not None:
            path.chmod(mode)
        return path

    def names(self):
        return sorted(str(p.relative_to(self.root)) for p in self.root.rglob("*"))

    def run(self, *args, limit_file_size=None):
        def limit():
            if limit_file_size is not None:
                resource.setrlimit(resource.RLIMIT_FSIZE, (limit_file_size, limit_file_size))

        done = subprocess.run(COMMAND + list(args), cwd=self.root, env=environment(),
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=120,
                              preexec_fn=limit)
        return done.returncode, done.stdout


class ProgramTest(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory()
        self._mounts = []
        self._folders = 0
        self.fresh()

    def tearDown(self):
        for mount in self._mounts:
            subprocess.run(["umount", str(mount)], check=True)
        self._tmp.cleanup()

    def fresh(self):
        """Starts the next case in an empty folder of its own."""
        self._folders += 1
        root = pathlib.Path(self._tmp.name) / str(self._folders)
        root.mkdir()
        self.folder = Folder(root)

    def assert_run(self, args, status, stdout, names):
        got_status, got_stdout = self.folder.run(*args)
        self.assertEqual((got_status, got_stdout), (status, stdout), args)
        self.assertEqual(self.folder.names(), sorted(names), "files left after the run")

    def test_golden_databases_convert_byte_for_byte(self):
        for pdb in sorted((GOLDEN / "decode").glob("*.pdb")):
            with self.subTest(pdb.name):
                self.fresh()
                data = pdb.read_bytes()
                self.folder.put("story.pdb", data)
                self.assert_run(["story.pdb"], 0, b"", ["story.hdb", "story.pdb"])
                self.assertEqual((self.folder.root / "story.hdb").read_bytes(),
                                 pdb.with_suffix(".hdb").read_bytes())
                self.assertEqual((self.folder.root / "story.pdb").read_bytes(), data)

    def test_golden_rejects_are_refused_and_nothing_is_written(self):
        for pdb in sorted((GOLDEN / "reject").glob("*.pdb")):
            with self.subTest(pdb.name):
                self.fresh()
                self.folder.put("story.pdb", pdb.read_bytes())
                self.assert_run(["story.pdb"], 1, INVALID, ["story.pdb"])

    def test_reference_model_agrees_with_golden_outputs(self):
        for pdb in sorted((GOLDEN / "decode").glob("*.pdb")):
            self.assertEqual(ref.convert(pdb.read_bytes()), pdb.with_suffix(".hdb").read_bytes())

    def test_failures_print_their_message_and_leave_files_alone(self):
        cases = [
            ("missing input", [], ["missing.pdb"], FILE_NOT_FOUND),
            ("empty argument", [], [""], FILE_NOT_FOUND),
            ("read-only input", [("story.pdb", VALID, 0o444)], ["story.pdb"], FILE_NOT_FOUND),
            ("output is a folder", [("story.pdb", VALID, None), ("story.hdb/keep", b"k", None)],
             ["story.pdb"], OUTPUT_NOT_FOUND),
            ("read-only output", [("story.pdb", VALID, None), ("story.hdb", b"old", 0o444)],
             ["story.pdb"], OUTPUT_NOT_FOUND),
            ("path of two characters", [("ab", VALID, None)], ["ab"], OUTPUT_NOT_FOUND),
            ("not a text document", [("story.pdb", VALID[:64] + b"READ" + VALID[68:], None)],
             ["story.pdb"], INVALID),
        ]
        for what, files, args, message in cases:
            if what == "read-only input" and ON_WINDOWS and os.geteuid() == 0:
                continue  # wine run by root opens read-only files for writing
            with self.subTest(what):
                self.fresh()
                for name, data, mode in files:
                    self.folder.put(name, data, mode)
                before = {p: p.read_bytes() for p in self.folder.root.rglob("*") if p.is_file()}
                self.assert_run(args, 1, message, [str(p.relative_to(self.folder.root))
                                                   for p in self.folder.root.rglob("*")])
                for path, data in before.items():
                    self.assertEqual(path.read_bytes(), data, path)

    def test_input_named_like_its_output_is_replaced_by_its_conversion(self):
        self.folder.put("x.hdb", VALID)
        self.assert_run(["x.hdb"], 0, b"", ["x.hdb"])
        self.assertEqual((self.folder.root / "x.hdb").read_bytes(), VALID_HDB)

    def test_longer_existing_output_is_replaced_completely(self):
        self.folder.put("story.pdb", VALID)
        self.folder.put("story.hdb", b"\xee" * (len(VALID_HDB) * 3))
        self.assert_run(["story.pdb"], 0, b"", ["story.hdb", "story.pdb"])
        self.assertEqual((self.folder.root / "story.hdb").read_bytes(), VALID_HDB)

    def test_output_path_rule(self):
        for name, output in [("STORY.PDB", "STORY.hDB"), ("notes.txt", "notes.hxt"),
                             ("book", "bhok"), ("abc", "hbc"), ("книга.pdb", "книга.hdb")]:
            with self.subTest(name):
                self.fresh()
                self.folder.put(name, VALID)
                self.assert_run([name], 0, b"", [name, output])
                self.assertEqual((self.folder.root / output).read_bytes(), VALID_HDB)

    @unittest.skipIf(ON_WINDOWS, "Windows limits paths to 260 characters unless long paths are enabled")
    def test_paths_longer_than_255_characters_convert(self):
        deep = "/".join(["a_rather_long_folder_name_for_testing"] * 8) + "/story.pdb"
        self.assertGreater(len(deep), 300)
        self.folder.put(deep, VALID)
        status, stdout = self.folder.run(deep)
        self.assertEqual((status, stdout), (0, b""))
        self.assertEqual((self.folder.root / (deep[:-3] + "hdb")).read_bytes(), VALID_HDB)

    @unittest.skipIf(ON_WINDOWS, "the chooser of the Windows build shows a dialog")
    def test_no_argument_ends_quietly(self):
        self.assert_run([], 1, b"", [])

    def test_interrupted_conversion_leaves_no_temporary_file(self):
        # A large sparse database converts slowly enough to be interrupted part way.
        count, size = 65535, 1 << 14
        first = 78 + 8 * count
        header = ref.build_pdb(offsets=[first + i * size for i in range(count)], size=first)
        path = self.folder.put("big.pdb", header)
        os.truncate(path, first + count * size)
        # On Windows only a console interrupt (Ctrl+C) can be answered; a kill cannot.
        for signal_number in (signal.SIGINT,) if ON_WINDOWS else (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal_number):
                process = subprocess.Popen(COMMAND + ["big.pdb"], cwd=self.folder.root,
                                           env=environment(), stdout=subprocess.DEVNULL)
                deadline = time.monotonic() + 30
                while len(self.folder.names()) < 2 and process.poll() is None:
                    self.assertLess(time.monotonic(), deadline)
                    time.sleep(0.001)
                process.send_signal(signal_number)
                status = process.wait(timeout=30)
                # Windows ends an interrupted console program with a status of its own.
                self.assertEqual(status != 0 if ON_WINDOWS else status == -signal_number, True)
                # wine removes a file left to go on closing just after the process has ended.
                deadline = time.monotonic() + (5 if ON_WINDOWS else 0)
                while len(self.folder.names()) > 1 and time.monotonic() < deadline:
                    time.sleep(0.05)
                self.assertEqual(self.folder.names(), ["big.pdb"])

    def test_full_disk_leaves_input_and_output_as_they_were(self):
        small = self.small_filesystem()
        cases = [("separate output", "story.pdb", {"story.hdb": b"previous output"}),
                 ("in place", "x.hdb", {})]
        for what, input_name, existing in cases:
            with self.subTest(what):
                for p in small.root.iterdir():
                    p.unlink()
                small.put(input_name, VALID)
                for name, data in existing.items():
                    small.put(name, data)
                status, stdout = small.run(input_name, limit_file_size=self.file_size_limit)
                self.assertEqual((status, stdout), (1, OUTPUT_NOT_WRITTEN))
                self.assertEqual(small.names(), sorted([input_name, *existing]))
                self.assertEqual((small.root / input_name).read_bytes(), VALID)
                for name, data in existing.items():
                    self.assertEqual((small.root / name).read_bytes(), data)

    def small_filesystem(self):
        """A folder with room for the input but not for its conversion as well."""
        self.file_size_limit = None
        mount = self.folder.root / "small"
        mount.mkdir()
        if os.geteuid() == 0 and subprocess.run(
                ["mount", "-t", "tmpfs", "-o", "size=32k", "tmpfs", str(mount)],
                capture_output=True).returncode == 0:
            self._mounts.append(mount)
        elif ON_WINDOWS:
            self.skipTest("needs root to mount a small file system")
        else:
            self.file_size_limit = len(VALID_HDB) // 2
        return Folder(mount)


if __name__ == "__main__":
    unittest.main()
