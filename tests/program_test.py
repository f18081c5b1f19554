#!/usr/bin/env python3
"""Runs the built converter in temporary folders and checks files, messages and exit status.

PALMCONV names the command (for example `build/native/palmconv`, or `wine palmconv.exe`).
"""
import atexit
import fcntl
import os
import pathlib
import resource
import shlex
import shutil
import signal
import stat
import struct
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
# A program of another architecture, run by a user-mode emulator that keeps some signals.
EMULATED = any(word.startswith("qemu-") for word in COMMAND[:-1])
# Standard output on Windows is a text stream: each message's "\r\n" reaches it as CR CR LF.
NEWLINE = b"\r\r\n" if ON_WINDOWS else b"\r\n"
FILE_NOT_FOUND = b"error: file not found" + NEWLINE
INVALID = b"error: invalid pdb file" + NEWLINE
OUTPUT_NOT_FOUND = b"error: output file not found" + NEWLINE
OUTPUT_NOT_WRITTEN = b"error: output file not written" + NEWLINE

VALID = (GOLDEN / "decode" / "edge_lengths.pdb").read_bytes()
VALID_HDB = (GOLDEN / "decode" / "edge_lengths.hdb").read_bytes()
# A database of 590 KB that converts to about as much.
BOOK = ref.build_pdb([bytes(16)] + [bytes((i + j) & 0xFF for j in range(4096)) for i in range(144)])
BOOK_HDB = ref.convert(BOOK)
USER, OTHER_USER, SHARED_GROUP = 1001, 1002, 1234


def have(*commands):
    return all(shutil.which(c) for c in commands)


def environment():
    env = dict(os.environ)
    # No graphical session: nothing may be opened on a developer's desktop.
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    return env


def without_unnamed_files():
    """The environment of a run on a file system that cannot make unnamed files."""
    if "NO_TMPFILE_SHIM" not in os.environ:
        raise unittest.SkipTest("no stand-in library to preload (a static program loads none)")
    env = environment()
    env["LD_PRELOAD"] = os.environ["NO_TMPFILE_SHIM"]
    # The sanitized build wants its runtime first; the stand-in only wraps open().
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
    return env


def reachable_by_others(path):
    """A copy of the file at `path` that other users can read and run: the checkout it was built
    in may sit in a folder only its owner can enter."""
    copy = pathlib.Path(tempfile.gettempdir()) / ("palmconv-%d-%s" % (os.getpid(),
                                                                   pathlib.Path(path).name))
    if not copy.exists():
        shutil.copy(path, copy)
        copy.chmod(0o755)
        atexit.register(copy.unlink)
    return str(copy)


def runnable_by_others():
    """The command, from a copy of the program that other users can reach."""
    return COMMAND[:-1] + [reachable_by_others(COMMAND[-1])]


def passes_for_a_database(data):
    """Whether a file's header would be taken for a converted database's."""
    return len(data) >= 92 and data[64:66] == b"\x38\x89"


def noisy_database(records):
    """A database of `records` records of 4 KiB that compress to nothing, so that its conversion
    needs as much room on any storage as it has bytes."""
    return ref.build_pdb([bytes(16)] + [os.urandom(4096) for _ in range(records)])


def same_file_contents(a, b):
    return subprocess.run(["cmp", "-s", str(a), str(b)]).returncode == 0


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

    def run(self, *args, limit_file_size=None, user=None, groups=(), prefix=(), env=None):
        """Runs the converter here, as `user` (a uid, with a group of the same number, and
        `groups` besides) if given."""
        def limit():
            if limit_file_size is not None:
                resource.setrlimit(resource.RLIMIT_FSIZE, (limit_file_size, limit_file_size))

        as_user = {} if user is None else {"user": user, "group": user,
                                           "extra_groups": list(groups)}
        command = COMMAND if user is None else runnable_by_others()
        done = subprocess.run(list(prefix) + command + list(args), cwd=self.root,
                              env=env or environment(), stdin=subprocess.DEVNULL,
                              capture_output=True,
                              timeout=120, preexec_fn=limit, **as_user)
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
        # (input, output or None for "output file not found"); a file already at the path the
        # byte-wise rule would have written must stay as it is.
        cases = [("STORY.PDB", "STORY.hDB"), ("notes.txt", "notes.hxt"), ("book", "bhok"),
                 ("abc", "hbc"), ("книга.pdb", "книга.hdb"), ("sub/abc", "sub/hbc"),
                 ("ab", None), ("notes/ab", None), ("books/xy", None), ("ab/c", None),
                 ("./x", None), ("dir/小说", None), ("dir/книга", None)]
        would_be = {"notes/ab": "noteshab", "books/xy": "bookshxy", "ab/c": "ah/c",
                    "./x": "h/x", "dir/小说": None, "dir/книга": None}
        for name, output in cases:
            with self.subTest(name):
                self.fresh()
                self.folder.put(name, VALID)
                bystander = would_be.get(name)
                if bystander:
                    self.folder.put(bystander, b"someone else's file")
                before = self.folder.names()
                if output is None:
                    self.assert_run([name], 1, OUTPUT_NOT_FOUND, before)
                else:
                    self.assert_run([name], 0, b"", before + [output])
                    self.assertEqual((self.folder.root / output).read_bytes(), VALID_HDB)
                if bystander:
                    self.assertEqual((self.folder.root / bystander).read_bytes(),
                                     b"someone else's file")
                self.assertEqual((self.folder.root / name).read_bytes(), VALID)

    def test_longest_names_convert(self):
        """The temporary file's name never makes a valid output name too long."""
        # Linux limits a name to 255 bytes; Windows a whole path, as Z:\tmp\..., to 259.
        for length in range(250, 260) if ON_WINDOWS else range(248, 256):
            with self.subTest(length):
                self.fresh()
                name_length = length - (len("Z:") + len(str(self.folder.root)) + 1
                                        if ON_WINDOWS else 0)
                name = "s" * (name_length - 4) + ".pdb"
                self.folder.put(name, VALID)
                self.assert_run([name], 0, b"", [name, name[:-3] + "hdb"])
                self.assertEqual((self.folder.root / (name[:-3] + "hdb")).read_bytes(),
                                 VALID_HDB)

    def test_long_paths_convert(self):
        """Paths past Windows' old limit of 259 characters (MAX_PATH) convert, named whole or
        from their folder, and replace an old output, with names long and short; a temporary
        name never makes a valid output path too long."""
        for length, name_length in ((259, 200), (260, 200), (261, 200), (262, 12), (262, 5),
                                    (300, 250), (700, 40)):
            for whole, old_output in ((True, False), (False, True)):
                with self.subTest(length=length, name=name_length, whole=whole, old=old_output):
                    self.fresh()
                    prefix = len("Z:") if ON_WINDOWS else 0
                    room = length - prefix - len(str(self.folder.root)) - 1 - name_length
                    # Folders of up to 200 characters each, the last one making up the rest.
                    parts = []
                    while room > 0:
                        part = min(200, room - 1) if room > 201 else room - 1
                        parts.append("f" * max(part, 1))
                        room -= len(parts[-1]) + 1
                    folder = pathlib.Path(*parts) if parts else pathlib.Path()
                    name = "s" * (name_length - 4) + ".pdb"
                    path = self.folder.root / folder / name
                    self.assertEqual(len(str(path)) + prefix, length)
                    self.folder.put(folder / name, VALID)
                    if old_output:
                        self.folder.put(folder / (name[:-3] + "hdb"), b"an old output")
                    argument = (("Z:" + str(path).replace("/", "\\")) if ON_WINDOWS
                                else str(path)) if whole else str(folder / name)
                    status, stdout = self.folder.run(argument)
                    self.assertEqual((status, stdout), (0, b""))
                    self.assertEqual(sorted(p.name for p in path.parent.iterdir()),
                                     sorted([name, name[:-3] + "hdb"]))
                    self.assertEqual(path.with_name(name[:-3] + "hdb").read_bytes(), VALID_HDB)

    @unittest.skipIf(ON_WINDOWS, "the chooser of the Windows build shows a dialog")
    def test_no_argument_ends_quietly(self):
        self.assert_run([], 1, b"", [])

    def big_database(self):
        """A large sparse database, which converts slowly enough to be stopped part way."""
        count, size = 65535, 1 << 14
        first = 78 + 8 * count
        header = ref.build_pdb(offsets=[first + i * size for i in range(count)], size=first)
        path = self.folder.put("big.pdb", header)
        os.truncate(path, first + count * size)
        return 92 + (16 + 3) * count + count * size  # the size of its conversion

    def start_converting(self, name, env=None, ignore=(), user=None, started=None):
        """Starts a conversion and returns once it has written part of its output (or once
        `started()` holds). The signals a test sends are set in the child itself: the suite may
        have been started with some ignored (nohup, a script's background job)."""
        answered = [] if ON_WINDOWS else self.ending_signals()

        def prepare():
            resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
            for signal_number in answered:
                signal.signal(signal_number, signal.SIG_DFL)
            for signal_number in ignore:
                signal.signal(signal_number, signal.SIG_IGN)

        as_user = {} if user is None else {"user": user, "group": user, "extra_groups": []}
        command = COMMAND if user is None else runnable_by_others()
        process = subprocess.Popen(command + [name], cwd=self.folder.root,
                                   env=env or environment(), stdout=subprocess.PIPE,
                                   preexec_fn=prepare, **as_user)
        deadline = time.monotonic() + 30
        started = started or (lambda: self.writing(process.pid))
        while process.poll() is None and not started():
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.001)
        self.assertIsNone(process.poll(), "the conversion ended before it could be stopped")
        return process

    def writing(self, pid):
        # A named temporary file shows in the folder; an unnamed one only among the process's.
        if len(self.folder.names()) > 1:
            return True
        try:
            descriptors = os.listdir(f"/proc/{pid}/fd")
        except OSError:
            return False
        for fd in descriptors:
            try:
                target = os.readlink(f"/proc/{pid}/fd/{fd}")
                status = os.stat(f"/proc/{pid}/fd/{fd}")
                if (target.startswith(str(self.folder.root)) and "big.pdb" not in target
                        and stat.S_ISREG(status.st_mode) and status.st_size > 0):
                    return True
            except OSError:
                pass
        return False

    def test_stopped_conversion_leaves_nothing_behind(self):
        self.big_database()
        if ON_WINDOWS:
            # A console interrupt is answered; a killed process's file is deleted by the system.
            cases = [("", signal.SIGINT), ("", signal.SIGKILL)]
        else:
            cases = [("", s) for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP,
                                       signal.SIGUSR1, signal.SIGALRM, signal.SIGKILL)]
            # Where unnamed files are not to be had, the named temporary file is removed by
            # every signal that can be answered.
            cases += [("named", s) for s in self.ending_signals()]
        for how, signal_number in cases:
            with self.subTest(how=how, signal=signal.strsignal(signal_number)):
                env = without_unnamed_files() if how == "named" else None
                process = self.start_converting("big.pdb", env=env)
                process.send_signal(signal_number)
                status = process.wait(timeout=30)
                # Windows ends an interrupted or killed program with a status of its own.
                self.assertEqual(status != 0 if ON_WINDOWS else status == -signal_number, True,
                                 status)
                # wine removes a file left to go on closing just after the process has ended.
                deadline = time.monotonic() + (5 if ON_WINDOWS else 0)
                while len(self.folder.names()) > 1 and time.monotonic() < deadline:
                    time.sleep(0.05)
                self.assertEqual(self.folder.names(), ["big.pdb"])

    @unittest.skipIf(ON_WINDOWS or os.geteuid() != 0, "POSIX owners, set up as root")
    def test_stopped_in_place_conversion_leaves_the_old_output_or_nothing(self):
        """Never a mix of old and new that could pass for a whole database."""
        user = 1001
        os.chmod(self._tmp.name, 0o755)
        for signal_number in self.ending_signals():
            with self.subTest(signal.strsignal(signal_number)):
                self.fresh()
                self.big_database()
                output = self.folder.put("big.hdb", b"old output")
                for path in self.folder.root.iterdir():
                    os.chown(path, user, user)
                self.folder.root.chmod(0o755)  # the user cannot make a file here
                process = self.start_converting("big.pdb", user=user)
                time.sleep(0.05)
                process.send_signal(signal_number)
                self.assertEqual(process.wait(timeout=30), -signal_number)
                self.assertEqual(self.folder.names(), ["big.hdb", "big.pdb"])
                size = output.stat().st_size
                self.assertIn(size, (0, len(b"old output")))
                if size:
                    self.assertEqual(output.read_bytes(), b"old output")

    # What follows replaces old outputs on real file systems, as root setting up for other users.

    def mount(self, kind, size):
        """A fresh file system of `kind` ("tmpfs", "ext2", "btrfs") and `size` bytes, mounted in
        this test's folder; skips the test where the machine cannot make one."""
        if os.geteuid() != 0:
            self.skipTest("mounting needs root")
        tools = {"ext2": "mkfs.ext2", "btrfs": "mkfs.btrfs"}
        if kind in tools and not have(tools[kind]):
            self.skipTest(f"{tools[kind]} is not installed")
        self._folders += 1
        mount = pathlib.Path(self._tmp.name) / f"{kind}-{self._folders}"
        mount.mkdir()
        if kind == "tmpfs":
            command = ["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(mount)]
        else:
            image = pathlib.Path(self._tmp.name) / f"{kind}-{self._folders}.img"
            with open(image, "wb") as f:
                f.truncate(size)
            make = ["mkfs.ext2", "-q", "-F"] if kind == "ext2" else ["mkfs.btrfs", "-q", "-f"]
            subprocess.run(make + [str(image)], check=True, capture_output=True)
            command = ["mount", "-o", "loop", str(image), str(mount)]
        done = subprocess.run(command, capture_output=True)
        if done.returncode != 0:
            self.skipTest(f"cannot mount {kind}: {done.stderr.decode().strip()}")
        self._mounts.insert(0, mount)
        os.chmod(self._tmp.name, 0o755)
        self.folder = Folder(mount)
        return self.folder

    def fill(self, leave):
        """Takes all but about `leave` bytes of the free room of the folder's file system."""
        filler = self.folder.root / "filler"
        for _ in range(20):
            subprocess.run(["sync", "-f", str(self.folder.root)], check=True)
            free = os.statvfs(self.folder.root)
            spare = free.f_bavail * free.f_frsize - leave
            if abs(spare) < 64 * 1024:
                return
            size = max(0, (filler.stat().st_size if filler.exists() else 0) + spare)
            if filler.exists():
                filler.unlink()
                subprocess.run(["sync", "-f", str(self.folder.root)], check=True)
            if size:
                with open(filler, "wb") as f:
                    os.posix_fallocate(f.fileno(), 0, size)
        self.fail("could not bring the free room to %d bytes" % leave)

    def close_for_user(self, *names):
        """Gives `names` to the user in a folder where the user can make no file, so that an old
        output there can only be written in place."""
        for name in names:
            os.chown(self.folder.root / name, USER, USER)
        os.chown(self.folder.root, 0, 0)
        self.folder.root.chmod(0o755)

    @unittest.skipIf(ON_WINDOWS or os.geteuid() != 0, "POSIX owners, set up as root")
    def test_in_place_output_takes_its_room_before_overwriting(self):
        """Room is really taken first; where it cannot be, the old output stays as it was."""
        old_big = b"\xee" * (1 << 20)
        # (what, file system and size, input, old output and its mode, free room to leave,
        #  file size limit, expected outcome)
        cases = [
            ("file size limit", None, VALID, b"\xee" * 40000, 0o644, None, 10000,
             (1, OUTPUT_NOT_WRITTEN)),
            ("copy-on-write, nearly full", ("btrfs", 256 << 20), BOOK, old_big, 0o644,
             300 << 10, None, (1, OUTPUT_NOT_WRITTEN)),
            ("copy-on-write, with room", ("btrfs", 256 << 20), BOOK, old_big, 0o644, None, None,
             (0, b"")),
            ("no allocation, write-only old output", ("ext2", 8 << 20), BOOK, b"\xee" * 30000,
             0o200, None, None, (0, b"")),
            ("no allocation, full", ("ext2", 8 << 20), BOOK, b"\xee" * 30000, 0o644,
             200 << 10, None, (1, OUTPUT_NOT_WRITTEN)),
            ("full memory file system", ("tmpfs", 1 << 20), VALID, b"\xee" * 100, 0o644,
             0, None, (1, OUTPUT_NOT_WRITTEN)),
        ]
        os.chmod(self._tmp.name, 0o755)
        for what, filesystem, data, old, mode, leave, limit, outcome in cases:
            with self.subTest(what):
                if filesystem:
                    self.mount(*filesystem)
                else:
                    self.fresh()
                self.folder.put("story.pdb", data)
                output = self.folder.put("story.hdb", old, mode)
                inode = output.stat().st_ino
                if leave is not None:
                    self.fill(leave)
                self.close_for_user("story.pdb", "story.hdb")
                got = self.folder.run("story.pdb", user=USER, limit_file_size=limit)
                self.assertEqual(got, outcome)
                self.assertEqual(output.stat().st_ino, inode, "written in place")
                self.assertEqual(output.read_bytes(), old if got[0] else ref.convert(data))
                self.assertEqual((self.folder.root / "story.pdb").read_bytes(), data)
                self.assertNotIn(".palmconv", " ".join(self.folder.names()))

    @unittest.skipIf(ON_WINDOWS or os.geteuid() != 0, "POSIX owners, set up as root")
    def test_replaced_output_keeps_its_group_in_a_set_group_id_folder(self):
        """A new file there takes the folder's group, which the old output did not admit."""
        os.chmod(self._tmp.name, 0o755)
        for how, env in (("unnamed", None), ("named", without_unnamed_files())):
            with self.subTest(how):
                self.fresh()
                self.folder.put("story.pdb", VALID)
                output = self.folder.put("story.hdb", b"old", 0o640)
                for path in (self.folder.root / "story.pdb", output):
                    os.chown(path, USER, USER)
                os.chown(self.folder.root, 0, SHARED_GROUP)
                self.folder.root.chmod(0o2775)
                got = self.folder.run("story.pdb", user=USER, groups=[SHARED_GROUP], env=env)
                self.assertEqual(got, (0, b""))
                st = output.stat()
                self.assertEqual((st.st_uid, st.st_gid, oct(st.st_mode & 0o777)),
                                 (USER, USER, oct(0o640)))
                self.assertEqual(output.read_bytes(), VALID_HDB)
                self.assertEqual(self.folder.names(), ["story.hdb", "story.pdb"])

    @unittest.skipIf(ON_WINDOWS or os.geteuid() != 0, "mounts and file attributes need root")
    def test_output_that_no_rename_can_replace_is_written_in_place(self):
        """A file mounted over the output's name, or a folder that only lets names be added."""
        for what in ("bind mount", "append-only folder"):
            with self.subTest(what):
                self.fresh()
                self.folder.put("story.pdb", VALID)
                output = self.folder.put("story.hdb", b"\xee" * 50000)
                if what == "bind mount":
                    host = self.folder.root.parent / f"host-{self._folders}.hdb"
                    host.write_bytes(b"\xee" * 50000)
                    subprocess.run(["mount", "--bind", str(host), str(output)], check=True)
                    self._mounts.insert(0, output)
                    written = host
                else:
                    if subprocess.run(["chattr", "+a", str(self.folder.root)],
                                      capture_output=True).returncode != 0:
                        self.skipTest("this file system has no append-only folders")
                    written = output
                try:
                    self.assert_run(["story.pdb"], 0, b"", ["story.hdb", "story.pdb"])
                    self.assertEqual(written.read_bytes(), VALID_HDB)
                finally:
                    if what != "bind mount":
                        subprocess.run(["chattr", "-a", str(self.folder.root)], check=True)

    @unittest.skipIf(ON_WINDOWS, "renaming over a file is the Linux way of replacing it")
    def test_refused_rename_writes_the_complete_conversion_in_place(self):
        """Whatever refuses the rename, the output is written as a plain overwrite would, room
        taken first, and no temporary name is left."""
        # (what, old output, file size limit, expected outcome, expected old output's bytes)
        cases = [("room", b"\xee" * 50000, None, (0, b""), VALID_HDB),
                 ("file size limit", b"\xee" * 50000, len(VALID_HDB) - 1,
                  (1, OUTPUT_NOT_WRITTEN), b"\xee" * 50000),
                 ("the input itself", None, None, (1, OUTPUT_NOT_FOUND), VALID)]
        for what, old, limit, outcome, expected in cases:
            with self.subTest(what):
                self.fresh()
                name = "story.pdb" if old is not None else "x.hdb"
                self.folder.put(name, VALID)
                output = self.folder.put("story.hdb", old) if old is not None else None
                inode = output.stat().st_ino if output else None
                env = without_unnamed_files()
                env["SHIM_REFUSE_RENAME"] = "1"
                self.assertEqual(self.folder.run(name, env=env, limit_file_size=limit), outcome)
                self.assertEqual(self.folder.names(), sorted({name, "story.hdb" if old else name}))
                written = output or self.folder.root / name
                self.assertEqual(written.read_bytes(), expected)
                if output:
                    self.assertEqual(output.stat().st_ino, inode, "written in place")

    @unittest.skipIf(ON_WINDOWS or os.geteuid() != 0, "POSIX owners, set up as root")
    def test_output_that_is_a_symbolic_link_is_written_through(self):
        """As a plain overwrite would: the link stays, its target gets the conversion."""
        os.chmod(self._tmp.name, 0o755)
        # (what, the link's target folder's mode, whether the target exists, expected outcome)
        cases = [("target in an open folder", 0o777, True, (0, b"")),
                 ("target in a closed folder", 0o755, True, (0, b"")),
                 ("link to nothing", 0o777, False, (1, OUTPUT_NOT_FOUND))]
        for what, mode, exists, outcome in cases:
            with self.subTest(what):
                self.fresh()
                library = self.folder.root.parent / f"library-{self._folders}"
                library.mkdir()
                target = library / "story.hdb"
                if exists:
                    target.write_bytes(b"\xee" * 30000)
                    os.chown(target, USER, USER)
                    inode = target.stat().st_ino
                library.chmod(mode)
                self.folder.put("story.pdb", VALID)
                link = self.folder.root / "story.hdb"
                link.symlink_to(os.path.relpath(target, self.folder.root))
                os.chown(self.folder.root / "story.pdb", USER, USER)
                os.chown(self.folder.root, USER, USER)
                self.assertEqual(self.folder.run("story.pdb", user=USER), outcome)
                self.assertTrue(link.is_symlink(), "the link stays a link")
                self.assertEqual(self.folder.names(), ["story.hdb", "story.pdb"])
                if exists:
                    self.assertEqual(target.read_bytes(), VALID_HDB)
                    self.assertEqual(target.stat().st_uid, USER)
                    if mode == 0o755:
                        self.assertEqual(target.stat().st_ino, inode, "written in place")
                else:
                    self.assertEqual(os.listdir(library), [])

    @unittest.skipIf(ON_WINDOWS or os.geteuid() != 0, "mounts need root")
    def test_input_seen_through_an_overlay_is_never_written_in_place(self):
        """Through an overlay the input shows another device than its lower copy."""
        base = self.mount("tmpfs", 16 << 20).root
        for name in ("lower", "upper", "work", "merged"):
            (base / name).mkdir()
        lower = base / "lower"
        (lower / "story.pdb").write_bytes(VALID)
        os.chown(lower / "story.pdb", USER, USER)
        # In a folder the user cannot add to, an output could only be written in place.
        (lower / "story.hdb").symlink_to(lower / "story.pdb")
        done = subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                               f"lowerdir={lower},upperdir={base / 'upper'},"
                               f"workdir={base / 'work'}", str(base / "merged")],
                              capture_output=True)
        if done.returncode != 0:
            self.skipTest("cannot mount an overlay: " + done.stderr.decode().strip())
        self._mounts.insert(0, base / "merged")
        merged = Folder(base / "merged")
        self.assertNotEqual(os.stat(merged.root / "story.pdb").st_dev,
                            os.stat(lower / "story.pdb").st_dev)
        self.assertEqual(merged.run("story.pdb", user=USER), (1, OUTPUT_NOT_FOUND))
        self.assertEqual((lower / "story.pdb").read_bytes(), VALID)

    @unittest.skipIf(ON_WINDOWS or os.geteuid() != 0, "POSIX owners, set up as root")
    def test_conversions_writing_one_output_in_place_give_one_or_the_other(self):
        os.chmod(self._tmp.name, 0o755)
        # Large enough that the runs' writes overlap: sparse databases of 8 and 12 MB.
        def sparse(name, count, size):
            first = 78 + 8 * count
            self.folder.put(name, ref.build_pdb(offsets=[first + i * size for i in range(count)],
                                                size=first))
            os.truncate(self.folder.root / name, first + count * size)
            return ref.convert((self.folder.root / name).read_bytes())

        for round_number in range(15):
            with self.subTest(round=round_number):
                self.fresh()
                expected = {sparse("a.pdb", 2000, 4096), sparse("a.xdb", 1500, 8000)}
                self.folder.put("a.hdb", b"\xee" * 70000)
                self.close_for_user("a.pdb", "a.xdb", "a.hdb")
                command = runnable_by_others()
                runs = [subprocess.Popen(command + [name], cwd=self.folder.root, user=USER,
                                         group=USER, extra_groups=[], env=environment(),
                                         stdout=subprocess.PIPE)
                        for name in ("a.pdb", "a.xdb", "a.pdb", "a.xdb")]
                for run in runs:
                    self.assertEqual((run.wait(timeout=60), run.stdout.read()), (0, b""))
                    run.stdout.close()
                self.assertIn((self.folder.root / "a.hdb").read_bytes(), expected)

    def sparse_database(self, name, count, size):
        """A sparse database of `count` records of `size` bytes in this folder, large enough to
        convert slowly; returns the path of its conversion, made by the program elsewhere."""
        first = 78 + 8 * count
        path = self.folder.put(name, ref.build_pdb(offsets=[first + i * size
                                                            for i in range(count)], size=first))
        os.truncate(path, first + count * size)
        reference = self.folder.root.parent / f"reference-{self._folders}"
        reference.mkdir(exist_ok=True)
        subprocess.run(["cp", "--sparse=always", str(path), str(reference / "r.pdb")], check=True)
        done = subprocess.run(COMMAND + ["r.pdb"], cwd=reference, env=environment())
        self.assertEqual(done.returncode, 0)
        (reference / "r.pdb").unlink()
        return (reference / "r.hdb").rename(reference / (name + ".hdb"))

    def header_spoiled(self, path):
        def check():
            with open(path, "rb") as f:
                return not passes_for_a_database(f.read(92))
        return check

    @unittest.skipIf(ON_WINDOWS or os.geteuid() != 0, "POSIX owners, set up as root")
    def test_conversions_of_one_output_wait_for_each_other_however_long(self):
        """A second conversion of an output being written in place waits for the first, even one
        stopped part way, and never passes it: ended by a signal, the first leaves the output to
        the second whole; resumed, it finishes, then the second writes over it."""
        os.chmod(self._tmp.name, 0o755)
        for first_ends in ("terminated", "resumed"):
            with self.subTest(first_ends):
                self.fresh()
                first = self.sparse_database("big.pdb", 65535, 1 << 14)
                second = self.sparse_database("big.xdb", 65535, 1 << 13)
                output = self.folder.put("big.hdb", VALID_HDB)
                self.close_for_user("big.pdb", "big.xdb", "big.hdb")
                a = self.start_converting("big.pdb", user=USER,
                                          started=self.header_spoiled(output))
                a.send_signal(signal.SIGSTOP)
                b = subprocess.Popen(runnable_by_others() + ["big.xdb"], cwd=self.folder.root,
                                     user=USER, group=USER, extra_groups=[], env=environment(),
                                     stdout=subprocess.PIPE)
                try:
                    time.sleep(1.5)
                    self.assertIsNone(b.poll(), "the second conversion passed the first")
                    if first_ends == "terminated":
                        a.send_signal(signal.SIGTERM)
                    a.send_signal(signal.SIGCONT)
                    self.assertEqual(a.wait(timeout=60),
                                     -signal.SIGTERM if first_ends == "terminated" else 0)
                    self.assertEqual((b.wait(timeout=60), b.stdout.read()), (0, b""))
                finally:
                    for process in (a, b):
                        if process.poll() is None:
                            process.kill()
                            process.wait()
                    a.stdout.close()
                    b.stdout.close()
                self.assertTrue(same_file_contents(output, second), "not the second's conversion")
                self.assertFalse(same_file_contents(output, first))

    @unittest.skipIf(ON_WINDOWS or os.geteuid() != 0, "POSIX owners, set up as root")
    def test_in_place_output_stopped_part_way_never_passes_for_a_database(self):
        """The header is spoiled, on the disk, before anything else is overwritten, and written
        last: a kill, or a failing write whose file cannot even be cut, leaves a file that no
        reader takes for a database; the old output is kept where nothing was overwritten."""
        os.chmod(self._tmp.name, 0o755)
        old = ref.convert((GOLDEN / "decode" / "one_record.pdb").read_bytes())
        # A write that fails part way, and a cut that fails too (a qgroup limit reached).
        if "NO_TMPFILE_SHIM" in os.environ:
            for failing in ({"SHIM_FAIL_WRITES_AFTER": "0"},
                            {"SHIM_FAIL_WRITES_AFTER": "100000"},
                            {"SHIM_FAIL_WRITES_AFTER": "100000", "SHIM_FAIL_TRUNCATE": "1"}):
                with self.subTest(**failing):
                    self.fresh()
                    self.folder.put("story.pdb", BOOK)
                    output = self.folder.put("story.hdb", old)
                    self.close_for_user("story.pdb", "story.hdb")
                    env = without_unnamed_files()
                    env["LD_PRELOAD"] = reachable_by_others(env["LD_PRELOAD"])
                    env.update(failing)
                    self.assertEqual(self.folder.run("story.pdb", user=USER, env=env),
                                     (1, OUTPUT_NOT_WRITTEN))
                    left = output.read_bytes()
                    self.assertFalse(passes_for_a_database(left))
                    if "SHIM_FAIL_TRUNCATE" not in failing:
                        self.assertEqual(left, b"")
                    self.assertEqual((self.folder.root / "story.pdb").read_bytes(), BOOK)
        # Killed at any moment, on storage that allocates room and on storage that cannot.
        for storage, record_size in (("folder", 1 << 13), ("ext2", 1 << 11)):
            if storage == "ext2":
                self.folder = Folder(self.loop_filesystem("ext2", 320 << 20))
            else:
                self.fresh()
            complete = self.sparse_database("big.pdb", 65535, record_size)
            for delay in (0, 0.002, 0.01, 0.05, 0.2, 0.5):
                with self.subTest(storage, killed_after=delay):
                    self.kill_in_place_conversion(delay, old, complete)

    def kill_in_place_conversion(self, delay, old, complete):
        """Kills a conversion of big.pdb over the old output `old` after `delay` seconds."""
        output = self.folder.put("big.hdb", old)
        self.close_for_user("big.pdb", "big.hdb")
        process = self.start_converting("big.pdb", user=USER, started=lambda: True)
        time.sleep(delay)
        process.kill()
        process.wait()
        process.stdout.close()
        with open(output, "rb") as f:
            head = f.read(92)
        if passes_for_a_database(head):
            self.assertTrue(output.read_bytes() == old or same_file_contents(output, complete),
                            "a mix of old and new, or the old output grown")

    @unittest.skipIf(ON_WINDOWS or os.geteuid() != 0, "POSIX owners, set up as root")
    def test_in_place_conversion_never_waits_on_another_programs_lock(self):
        """Programs that lock the whole file (readers sharing it, an editor keeping it) do not hold
        a conversion up: only conversions wait for each other."""
        os.chmod(self._tmp.name, 0o755)
        for kind in (fcntl.LOCK_SH, fcntl.LOCK_EX):
            with self.subTest("shared" if kind == fcntl.LOCK_SH else "exclusive"):
                self.fresh()
                self.folder.put("story.pdb", VALID)
                output = self.folder.put("story.hdb", b"\xee" * 30000)
                self.close_for_user("story.pdb", "story.hdb")
                with open(output, "r+b") as held:
                    fcntl.lockf(held, kind | fcntl.LOCK_NB)
                    self.assertEqual(self.folder.run("story.pdb", user=USER), (0, b""))
                self.assertEqual(output.read_bytes(), VALID_HDB)

    def loop_filesystem(self, kind, size, mount_point=None, options=()):
        """A file system of `kind` in an image of `size` bytes, mounted at `mount_point` (or a
        fresh folder); skips where the machine cannot make one."""
        tools = {"ext2": ["mkfs.ext2", "-q", "-F"], "btrfs": ["mkfs.btrfs", "-q", "-f"],
                 "xfs": ["mkfs.xfs", "-q", "-f"]}
        if not have(tools[kind][0]):
            self.skipTest(f"{tools[kind][0]} is not installed")
        self._folders += 1
        image = pathlib.Path(self._tmp.name) / f"{kind}-{self._folders}.img"
        with open(image, "wb") as f:
            f.truncate(size)
        subprocess.run(tools[kind] + [str(image)], check=True, capture_output=True)
        mount = mount_point or pathlib.Path(self._tmp.name) / f"{kind}-{self._folders}"
        mount.mkdir(exist_ok=True)
        done = subprocess.run(["mount", "-o", ",".join(["loop", *options]), str(image),
                               str(mount)], capture_output=True)
        if done.returncode != 0:
            self.skipTest(f"cannot mount {kind}: {done.stderr.decode().strip()}")
        self._mounts.insert(0, mount)
        os.chmod(self._tmp.name, 0o755)
        return mount

    def mount_or_skip(self, command, mount, what):
        done = subprocess.run(command, capture_output=True)
        if done.returncode != 0:
            self.skipTest(f"cannot mount {what}: {done.stderr.decode().strip()}")
        self._mounts.insert(0, mount)

    def overlay(self, lower, upper_base):
        """An overlay of `lower` with its upper layer in `upper_base`; returns the merged folder."""
        for name in ("upper", "work"):
            (upper_base / name).mkdir()
        merged = pathlib.Path(self._tmp.name) / f"merged-{self._folders}"
        merged.mkdir()
        self.mount_or_skip(["mount", "-t", "overlay", "overlay", "-o",
                            f"lowerdir={lower},upperdir={upper_base / 'upper'},"
                            f"workdir={upper_base / 'work'}", str(merged)], merged, "an overlay")
        return merged

    @unittest.skipIf(ON_WINDOWS or os.geteuid() != 0, "mounts need root")
    def test_in_place_room_is_proven_wherever_the_file_lives(self):
        """Where the storage cannot be shown to reserve room for an overwrite, the whole
        conversion must fit in what the user may still write; otherwise the old output stays
        exactly as it was. Each case would have emptied the old output part way."""
        data = noisy_database(1500)  # converts to about 6 MiB
        old = os.urandom(7 << 20)
        # (what, whether there is room)
        cases = [("overlay on btrfs", False), ("FUSE view of ext2", False),
                 ("btrfs qgroup limit", False), ("btrfs qgroup limit", True),
                 ("sparse old output on ext2", False), ("sparse old output on ext2", True),
                 ("overlay with no room to copy the output up", False)]
        for what, room in cases:
            with self.subTest(what, room=room):
                self.fresh()
                place, old_bytes = self.storage_for(what, room, data, old)
                if "copy the output up" not in what:  # a change of owner would copy it up
                    self.close_for_user_at(place, "story.pdb", "story.hdb")
                got = Folder(place).run("story.pdb", user=USER)
                self.assertEqual(got, (0, b"") if room else (1, OUTPUT_NOT_WRITTEN))
                self.assertEqual((place / "story.hdb").read_bytes(),
                                 ref.convert(data) if room else old_bytes)
                self.assertEqual((place / "story.pdb").read_bytes(), data)
                self.assertNotIn(".palmconv", " ".join(os.listdir(place)))

    def close_for_user_at(self, place, *names):
        for name in names:
            os.chown(place / name, USER, USER)
        os.chown(place, 0, 0)
        place.chmod(0o755)

    def storage_for(self, what, room, data, old):
        """Sets up the folder of one room case, with the input and old output in it; returns
        the folder the user converts in, and the old output's bytes."""
        if what == "overlay on btrfs":
            base = self.loop_filesystem("btrfs", 256 << 20)
            lower = base / "lower"
            lower.mkdir()
            (lower / "story.pdb").write_bytes(data)
            merged = self.overlay(lower, base)
            (merged / "story.hdb").write_bytes(old)  # in the upper layer, on btrfs
            self.folder = Folder(base)
            self.fill(3 << 20)
            return merged, old
        if what == "FUSE view of ext2":
            if not have("bindfs"):
                self.skipTest("bindfs is not installed")
            base = self.loop_filesystem("ext2", 24 << 20)
            (base / "story.pdb").write_bytes(data)
            (base / "story.hdb").write_bytes(old)
            self.folder = Folder(base)
            self.fill(3 << 20)
            view = pathlib.Path(self._tmp.name) / f"view-{self._folders}"
            view.mkdir()
            self.mount_or_skip(["bindfs", "-o", "allow_other", str(base), str(view)], view,
                               "bindfs")
            return view, old
        if what == "btrfs qgroup limit":
            if not have("btrfs"):
                self.skipTest("btrfs-progs is not installed")
            if EMULATED:
                self.skipTest("a user-mode emulator does not pass btrfs's own requests on")
            base = self.loop_filesystem("btrfs", 256 << 20)
            volume = base / "volume"
            for command in (["btrfs", "quota", "enable", str(base)],
                            ["btrfs", "subvolume", "create", str(volume)]):
                if subprocess.run(command, capture_output=True).returncode != 0:
                    self.skipTest("no btrfs quotas here")
            (volume / "story.pdb").write_bytes(data)
            (volume / "story.hdb").write_bytes(old)
            subprocess.run(["sync", "-f", str(volume)], check=True)
            subprocess.run(["btrfs", "qgroup", "limit",
                            "none" if room else str(self.qgroup_referenced(volume) + (3 << 20)),
                            str(volume)], check=True)
            return volume, old
        if what == "sparse old output on ext2":
            base = self.loop_filesystem("ext2", 24 << 20)
            (base / "story.pdb").write_bytes(data)
            sparse = bytearray(17 << 19)  # 8.5 MiB, holes but for a few blocks
            for at in range(0, len(sparse), 1 << 20):
                sparse[at:at + 4096] = os.urandom(4096)
            with open(base / "story.hdb", "wb") as f:
                for at in range(0, len(sparse), 1 << 20):
                    f.seek(at)
                    f.write(sparse[at:at + 4096])
                f.truncate(len(sparse))
            self.folder = Folder(base)
            if not room:
                self.fill(4 << 20)
            return base, bytes(sparse)
        if what == "overlay with no room to copy the output up":
            lower = self.folder.root / "lower"
            lower.mkdir()
            (lower / "story.pdb").write_bytes(data)
            (lower / "story.hdb").write_bytes(old)
            self.close_for_user_at(lower, "story.pdb", "story.hdb")
            small = self.folder.root / "small"
            small.mkdir()
            self.mount_or_skip(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", str(small)],
                               small, "tmpfs")
            return self.overlay(lower, small), old
        raise AssertionError(what)

    def qgroup_referenced(self, volume):
        shown = subprocess.run(["btrfs", "qgroup", "show", "--raw", "-f", str(volume)],
                               check=True, capture_output=True, text=True).stdout
        return int(shown.strip().splitlines()[-1].split()[1])

    @unittest.skipIf(ON_WINDOWS, "POSIX paths")
    def test_output_link_leading_past_the_path_limit_is_written_through(self):
        """Links are followed in their own folders, so the file they lead to may have a path
        longer than any one call takes; a link to nothing is still refused."""
        os.chmod(self._tmp.name, 0o755)
        part = "d" * 200
        for exists in (True, False):
            with self.subTest(exists=exists):
                self.fresh()
                self.folder.put("story.pdb", VALID)
                # story.hdb -> deep/<12 parts>/hop, and hop -> <12 more parts>/story.hdb.
                folder = os.open(self.folder.root, os.O_RDONLY | os.O_DIRECTORY)
                try:
                    for depth, name in enumerate(["deep"] + [part] * 24):
                        os.mkdir(name, dir_fd=folder)
                        inner = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=folder)
                        os.close(folder)
                        folder = inner
                        if depth == 12:
                            hop_folder = os.dup(folder)
                    if exists:
                        target = os.open("story.hdb", os.O_WRONLY | os.O_CREAT, dir_fd=folder)
                        os.write(target, b"\xee" * 30000)
                        os.close(target)
                    os.symlink("/".join([part] * 12) + "/story.hdb", "hop", dir_fd=hop_folder)
                    os.close(hop_folder)
                    (self.folder.root / "story.hdb").symlink_to(
                        "/".join(["deep"] + [part] * 12) + "/hop")
                    self.assertGreater(len(str(self.folder.root)) + 12 * 2 * 201, 4096)
                    self.assertEqual(self.folder.run("story.pdb"),
                                     (0, b"") if exists else (1, OUTPUT_NOT_FOUND))
                    self.assertEqual(sorted(os.listdir(self.folder.root)),
                                     ["deep", "story.hdb", "story.pdb"])
                    self.assertTrue((self.folder.root / "story.hdb").is_symlink())
                    if exists:
                        target = os.open("story.hdb", os.O_RDONLY, dir_fd=folder)
                        written = os.read(target, len(VALID_HDB) + 1)
                        os.close(target)
                        self.assertEqual(written, VALID_HDB)
                    else:
                        self.assertEqual(os.listdir(folder), [])
                finally:
                    os.close(folder)

    def ending_signals(self):
        """Every signal whose default action ends the process and that can be answered."""
        numbers = [signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, signal.SIGTERM, signal.SIGUSR1,
                   signal.SIGUSR2, signal.SIGALRM, signal.SIGXCPU, signal.SIGVTALRM,
                   signal.SIGPROF, signal.SIGPWR, signal.SIGIO, signal.SIGSTKFLT, signal.SIGTRAP,
                   signal.SIGSYS]
        # The emulator takes real-time signals for itself.
        if not EMULATED:
            numbers += [signal.SIGRTMIN, signal.SIGRTMIN + 3, signal.SIGRTMAX]
        # The sanitizers answer faults and aborts themselves, with a report and a status.
        if "ASAN_OPTIONS" not in os.environ:
            numbers += [signal.SIGABRT, signal.SIGSEGV, signal.SIGBUS, signal.SIGFPE,
                        signal.SIGILL]
        return numbers

    @unittest.skipUnless(os.environ.get("PALMCONV_LARGE"), "set PALMCONV_LARGE=1 to write 4 GiB")
    def test_largest_database_gives_an_output_past_4_gib(self):
        """The most records there can be, in an input of 0xFFFFFFFF bytes whose last record ends
        at its end: what a 32-bit size or offset would get wrong."""
        count, size = 65535, 0xFFFFFFFF
        first = 78 + 8 * count
        # Every stored record must start below 4 GiB; the last, of almost 256 MiB, ends past it.
        length = 61440
        offsets = [first + i * length for i in range(count)]
        path = self.folder.put("big.pdb", ref.build_pdb(offsets=offsets, size=first + 16))
        os.truncate(path, size)
        self.assert_run(["big.pdb"], 0, b"", ["big.hdb", "big.pdb"])
        lengths = [length] * (count - 1) + [size - offsets[-1]]
        head = 92 + 16 * count
        expected_offsets, at = [], head
        for n in lengths:
            expected_offsets.append(at)
            at += len(ref.length_prefix(n)) + n
        output = self.folder.root / "big.hdb"
        self.assertEqual(output.stat().st_size, at)
        self.assertGreater(at, 1 << 32)
        with open(output, "rb") as f:
            table = f.read(head)
            self.assertEqual(struct.unpack_from("<I", table, 88)[0], count)
            self.assertEqual([struct.unpack_from("<I", table, 92 + 16 * i)[0]
                              for i in range(count)], expected_offsets)
            f.seek(expected_offsets[-1])
            self.assertEqual(f.read(len(ref.length_prefix(lengths[-1]))),
                             ref.length_prefix(lengths[-1]))
        output.unlink()

    def test_input_shortened_while_converting_is_a_failure_not_a_crash(self):
        self.big_database()
        process = self.start_converting("big.pdb")
        os.truncate(self.folder.root / "big.pdb", 1 << 20)
        stdout, _ = process.communicate(timeout=60)
        self.assertEqual(process.returncode, 1,
                         "ended by a signal" if process.returncode < 0 else stdout)
        self.assertIn(stdout, (INVALID, OUTPUT_NOT_WRITTEN))
        self.assertEqual(self.folder.names(), ["big.pdb"])

    @unittest.skipIf(ON_WINDOWS, "POSIX signals")
    def test_ignored_hangup_stays_ignored(self):
        """Under nohup, or with trap '' HUP INT, the conversion goes on to the end."""
        size = self.big_database()
        process = self.start_converting("big.pdb", ignore=(signal.SIGHUP, signal.SIGINT))
        process.send_signal(signal.SIGHUP)
        process.send_signal(signal.SIGINT)
        self.assertEqual(process.wait(timeout=120), 0)
        self.assertEqual(self.folder.names(), ["big.hdb", "big.pdb"])
        self.assertEqual((self.folder.root / "big.hdb").stat().st_size, size)

    @unittest.skipIf(ON_WINDOWS, "named temporary files are the Linux fallback")
    def test_named_temporary_files_where_unnamed_ones_are_not_had(self):
        for pdb in sorted((GOLDEN / "decode").glob("*.pdb"))[:3]:
            with self.subTest(pdb.name):
                self.fresh()
                self.folder.put("story.pdb", pdb.read_bytes())
                done = subprocess.run(COMMAND + ["story.pdb"], cwd=self.folder.root,
                                      env=without_unnamed_files(), capture_output=True)
                self.assertEqual((done.returncode, done.stdout), (0, b""))
                self.assertEqual(self.folder.names(), ["story.hdb", "story.pdb"])
                self.assertEqual((self.folder.root / "story.hdb").read_bytes(),
                                 pdb.with_suffix(".hdb").read_bytes())

    @unittest.skipIf(ON_WINDOWS, "POSIX modes")
    def test_replaced_output_keeps_only_its_permission_bits(self):
        for old_mode, new_mode in [(0o640, 0o640), (0o6755, 0o755), (0o1777, 0o777),
                                   (0o4600, 0o600)]:
            with self.subTest(oct(old_mode)):
                self.fresh()
                self.folder.put("story.pdb", VALID)
                self.folder.put("story.hdb", b"old", old_mode)
                self.assert_run(["story.pdb"], 0, b"", ["story.hdb", "story.pdb"])
                mode = (self.folder.root / "story.hdb").stat().st_mode & 0o7777
                self.assertEqual(oct(mode), oct(new_mode))

    @unittest.skipIf(ON_WINDOWS, "links are made differently on Windows")
    def test_input_under_another_name_is_replaced_whole_after_a_sync(self):
        """A link to the output is the input itself: never written in place, synced first."""
        for how in ("symbolic link", "hard link"):
            with self.subTest(how):
                self.fresh()
                output = self.folder.put("story.hdb", VALID)
                link = self.folder.root / "story.pdb"
                if how == "symbolic link":
                    link.symlink_to("story.hdb")
                else:
                    os.link(output, link)
                log = self.folder.root.parent / "strace.log"
                env = environment()
                # The leak checker of the sanitized build cannot run under a tracer.
                env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
                status, stdout = self.folder.run(
                    "story.pdb", env=env,
                    prefix=["strace", "-qq", "-o", str(log), "-e",
                            "trace=fsync,fdatasync,rename,renameat,renameat2"])
                self.assertEqual((status, stdout), (0, b""))
                self.assertEqual(output.read_bytes(), VALID_HDB)
                # A hard link keeps the input's own bytes; a symbolic one follows the output.
                self.assertEqual(link.read_bytes(), VALID if how == "hard link" else VALID_HDB)
                calls = [line.split("(")[0] for line in log.read_text().splitlines()]
                self.assertIn("fsync", calls)
                self.assertTrue(calls.index("fsync") < min(
                    calls.index(c) for c in calls if c.startswith("rename")), calls)

    @unittest.skipIf(ON_WINDOWS or os.geteuid() != 0, "POSIX owners, set up as root")
    def test_root_replacing_a_users_output_keeps_owner_group_mode_and_attributes(self):
        self.folder.put("story.pdb", VALID)
        output = self.folder.put("story.hdb", b"old", 0o640)
        os.chown(output, 1000, 1001)
        os.setxattr(output, "user.note", b"kept")
        subprocess.run(["setfacl", "-m", "u:1002:rw", str(output)], check=True)
        old = output.stat()
        self.assert_run(["story.pdb"], 0, b"", ["story.hdb", "story.pdb"])
        st = output.stat()
        self.assertNotEqual(st.st_ino, old.st_ino, "replaced whole")
        self.assertEqual((st.st_uid, st.st_gid, oct(st.st_mode)), (1000, 1001, oct(old.st_mode)))
        self.assertEqual(os.getxattr(output, "user.note"), b"kept")
        acl = subprocess.run(["getfacl", "-cp", str(output)], capture_output=True, text=True,
                             check=True).stdout.split()
        self.assertIn("user:1002:rw-", acl)
        self.assertEqual(output.read_bytes(), VALID_HDB)

    @unittest.skipIf(ON_WINDOWS or os.geteuid() != 0, "POSIX owners, set up as root")
    def test_user_replacing_outputs_in_shared_and_closed_folders(self):
        """Where a new file could not keep the owner, or not be made, the output is written in
        place; the input itself never is."""
        user, other, shared = 1001, 1002, 1234
        half = len(VALID_HDB) // 2
        # (what, folder mode, files as (name, owner, data), input, file size limit,
        #  expected status and message, expected bytes by name, whether story.hdb keeps its inode)
        cases = [
            ("own output, shared folder", 0o2775, [("story.hdb", user, b"old")], "story.pdb",
             None, (0, b""), {"story.hdb": VALID_HDB}, False),
            ("another user's output, shared folder", 0o2775, [("story.hdb", other, b"old")],
             "story.pdb", None, (0, b""), {"story.hdb": VALID_HDB}, True),
            ("longer output, closed folder", 0o755, [("story.hdb", user, b"\xee" * 90000)],
             "story.pdb", None, (0, b""), {"story.hdb": VALID_HDB}, True),
            ("no output yet, closed folder", 0o755, [], "story.pdb", None,
             (1, OUTPUT_NOT_FOUND), {}, None),
            ("the input itself, closed folder", 0o755, [], "x.hdb", None,
             (1, OUTPUT_NOT_FOUND), {"x.hdb": VALID}, None),
            ("no room, closed folder", 0o755, [("story.hdb", user, b"old")], "story.pdb", half,
             (1, OUTPUT_NOT_WRITTEN), {"story.hdb": b"old"}, True),
        ]
        # The shared folder and every file in it belong to a group both users are members of.
        os.chmod(self._tmp.name, 0o755)
        for what, folder_mode, files, input_name, limit, outcome, expected, same_inode in cases:
            with self.subTest(what):
                self.fresh()
                input_path = self.folder.put(input_name, VALID)
                os.chown(input_path, user, user)
                inodes = {}
                for name, owner, data in files:
                    path = self.folder.put(name, data, 0o664)
                    os.chown(path, owner, shared)
                    inodes[name] = path.stat().st_ino
                os.chown(self.folder.root, 0, shared)
                self.folder.root.chmod(folder_mode)
                got = self.folder.run(input_name, user=user, groups=[shared],
                                      limit_file_size=limit)
                self.assertEqual(got, outcome)
                self.assertEqual(self.folder.names(),
                                 sorted({input_name, *expected, *(f[0] for f in files)}))
                for name, data in expected.items():
                    self.assertEqual((self.folder.root / name).read_bytes(), data, name)
                for name, owner, _ in files:
                    st = (self.folder.root / name).stat()
                    self.assertEqual((st.st_uid, st.st_gid), (owner, shared), "owner kept")
                    self.assertEqual(st.st_ino == inodes[name], same_inode, "written in place")

    @unittest.skipIf(ON_WINDOWS or "ASAN_OPTIONS" in os.environ,
                     "address-space limits: POSIX, and not under the sanitizers' own reservations")
    def test_running_out_of_memory_ends_with_a_message_never_a_signal(self):
        count = 60000
        first = 78 + 8 * count
        self.folder.put("many.pdb", ref.build_pdb(offsets=[first + 16 * i for i in range(count)],
                                                  size=first + 16 * count))
        messages = {FILE_NOT_FOUND, INVALID, OUTPUT_NOT_FOUND, OUTPUT_NOT_WRITTEN}
        outcomes = set()
        # Finely where the program can barely start, where the C++ runtime has no memory left
        # even for an exception.
        for limit in [*range(2_000_000, 4_000_000, 16_384), *range(4_000_000, 12_000_001, 250_000)]:
            limited = ["prlimit", "--as=%d" % limit]
            # Only limits where the program can start at all: the loader gives up with 127.
            started = self.folder.run("missing.pdb", prefix=limited)
            if started[0] == 127:
                continue
            with self.subTest(limit=limit):
                self.assertEqual(started, (1, FILE_NOT_FOUND))
                status, stdout = self.folder.run("many.pdb", prefix=limited)
                self.assertGreaterEqual(status, 0, "ended by a signal")
                if status == 0:
                    self.assertEqual(self.folder.names(), ["many.hdb", "many.pdb"])
                    (self.folder.root / "many.hdb").unlink()
                else:
                    self.assertEqual(status, 1)
                    self.assertIn(stdout, messages)
                    self.assertEqual(self.folder.names(), ["many.pdb"], "nothing left behind")
                outcomes.add(stdout)
        # The limits reach from too little memory to read the database to enough to convert it.
        self.assertIn(INVALID, outcomes)
        self.assertIn(b"", outcomes)

    @unittest.skipIf(ON_WINDOWS, "inotify")
    def test_converting_does_not_look_like_writing_the_input(self):
        self.folder.put("story.pdb", VALID)
        watch = subprocess.Popen(["inotifywait", "-m", "-e", "close_write", "-e", "close_nowrite",
                                  "--format", "%e %f", str(self.folder.root / "story.pdb")],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            self.assertIn(b"Watches established", watch.stderr.readline() +
                          watch.stderr.readline())
            self.assert_run(["story.pdb"], 0, b"", ["story.hdb", "story.pdb"])
            time.sleep(0.2)
        finally:
            watch.terminate()
        events = watch.communicate()[0].decode().split()
        self.assertIn("CLOSE_NOWRITE,CLOSE", events)
        self.assertNotIn("CLOSE_WRITE,CLOSE", events)

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
