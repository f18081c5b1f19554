#!/usr/bin/env python3
"""Checks the release files that scripts/package wrote into dist/, and the install rules.

Runs the Windows program of the archive under wine (WINEPREFIX as set by
tests/windows/wine-env.sh); installs and removes the Debian package only when run as root.
"""
import os
import pathlib
import re
import shutil
import subprocess
import tempfile
import unittest
import zipfile

TOP = pathlib.Path(__file__).resolve().parent.parent
GOLDEN = TOP / "tests/golden/decode/edge_lengths"
VERSION = re.search(r"project\(palmconv VERSION ([0-9.]+)",
                    (TOP / "CMakeLists.txt").read_text()).group(1)
ARCH = subprocess.run(["dpkg", "--print-architecture"], capture_output=True,
                      text=True).stdout.strip()
DEB = TOP / "dist" / f"palmconv_{VERSION}_{ARCH}.deb"
ZIP = TOP / "dist" / f"palmconv-{VERSION}-win32.zip"
WEB_ZIP = TOP / "dist" / f"palmconv-{VERSION}-web.zip"
MAN_PAGE = TOP / "build/package/palmconv.1"

# What an install puts under its prefix.
INSTALLED = ["bin/palmconv", "share/applications/palmconv.desktop",
             "share/doc/palmconv/CHANGELOG.md", "share/doc/palmconv/LICENSE",
             "share/doc/palmconv/README.md", "share/doc/palmconv/converted_database_format.md",
             "share/man/man1/palmconv.1"]
# The same in the package, named as Debian's policy asks.
PACKAGED = ["usr/bin/palmconv", "usr/share/applications/palmconv.desktop",
            "usr/share/doc/palmconv/README.md", "usr/share/doc/palmconv/changelog.gz",
            "usr/share/doc/palmconv/converted_database_format.md",
            "usr/share/doc/palmconv/copyright", "usr/share/man/man1/palmconv.1.gz"]


def files_under(root):
    return sorted(str(p.relative_to(root)) for p in root.rglob("*") if not p.is_dir())


def run(*args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, **kwargs)


class PackageTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.scratch = pathlib.Path(tmp.name)

    def convert_golden(self, command, folder):
        shutil.copy(GOLDEN.with_suffix(".pdb"), folder / "story.pdb")
        done = subprocess.run(command + ["story.pdb"], cwd=folder, capture_output=True,
                              env={k: v for k, v in os.environ.items() if k != "DISPLAY"})
        self.assertEqual((done.returncode, done.stdout), (0, b""))
        self.assertEqual((folder / "story.hdb").read_bytes(), GOLDEN.with_suffix(".hdb").read_bytes())

    def test_install_rules_put_exactly_the_expected_files_under_the_prefix(self):
        prefix = self.scratch / "prefix"
        done = run("cmake", "--install", str(TOP / "build/package"), "--prefix", str(prefix))
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(files_under(prefix), INSTALLED)

    def test_debian_package_holds_the_files_converts_and_passes_lintian(self):
        unpacked = self.scratch / "unpacked"
        self.assertEqual(run("dpkg-deb", "-x", str(DEB), str(unpacked)).returncode, 0)
        self.assertEqual(files_under(unpacked), PACKAGED)
        self.convert_golden([str(unpacked / "usr/bin/palmconv")], self.scratch)

        fields = run("dpkg-deb", "-f", str(DEB)).stdout
        self.assertIn(f"Version: {VERSION}\n", fields)
        self.assertRegex(fields, r"Depends: .*libc6 \(>= [0-9.]+\)")
        self.assertIn("Recommends: zenity | kdialog, xdg-utils\n", fields)

        lintian = run("lintian", "--fail-on", "error", str(DEB))
        self.assertEqual(lintian.returncode, 0, lintian.stdout + lintian.stderr)
        self.assertNotRegex(lintian.stdout, r"(?m)^E: ")

    @unittest.skipUnless(os.geteuid() == 0, "installing a package needs root")
    def test_debian_package_installs_and_removes_cleanly(self):
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        install = run("apt-get", "install", "-y", "-q", "--no-install-recommends", str(DEB),
                      env=env)
        self.assertEqual(install.returncode, 0, install.stdout + install.stderr)
        try:
            self.assertEqual(shutil.which("palmconv"), "/usr/bin/palmconv")
            self.convert_golden(["palmconv"], self.scratch)
            self.assertEqual(run("man", "-w", "palmconv").stdout.strip(),
                             "/usr/share/man/man1/palmconv.1.gz")
        finally:
            remove = run("apt-get", "purge", "-y", "-q", "palmconv", env=env)
        self.assertEqual(remove.returncode, 0, remove.stdout + remove.stderr)
        for path in PACKAGED:
            self.assertFalse(pathlib.Path("/" + path).exists(), path)
        self.assertFalse(pathlib.Path("/usr/share/doc/palmconv").exists())

    def test_windows_archive_holds_four_files_and_its_program_converts(self):
        with zipfile.ZipFile(ZIP) as archive:
            self.assertEqual(sorted(archive.namelist()), [
                "LICENSE.txt", "README.txt", "converted_database_format.txt", "palmconv.exe"])
            for name in ("LICENSE.txt", "README.txt", "converted_database_format.txt"):
                text = archive.read(name)
                self.assertEqual(text.count(b"\n"), text.count(b"\r\n"), name)
            # Written for someone who just unzipped the program, not for its developers.
            readme = archive.read("README.txt").decode()
            self.assertIn("palmconv.exe", readme)
            self.assertIn(f"version {VERSION}", readme)
            for developer_word in ("apt-get", "cmake", "@VERSION@"):
                self.assertNotIn(developer_word, readme)
            archive.extractall(self.scratch / "unzipped")
        if os.environ.get("WINE_BITS") == "64":
            self.skipTest("this machine cannot run 32-bit code; the 64-bit build of the same "
                          "sources passes the Windows tests")
        self.convert_golden(["wine", str(self.scratch / "unzipped/palmconv.exe")], self.scratch)

    def test_web_archive_holds_the_page_that_was_tested(self):
        with zipfile.ZipFile(WEB_ZIP) as archive:
            self.assertEqual(sorted(archive.namelist()), ["LICENSE.txt", "README.txt", "index.html"])
            self.assertEqual(archive.read("index.html"),
                             (TOP / "build/web/site/index.html").read_bytes())
            readme = archive.read("README.txt").decode()
            self.assertIn(f"palmconv {VERSION}", readme)
            self.assertEqual(readme.count("\n"), readme.count("\r\n"))

    def test_manual_page_and_desktop_entry_are_clean(self):
        page = MAN_PAGE.read_text()
        self.assertIn(f'"palmconv {VERSION}"', page.splitlines()[0])
        for section in ("NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "DIAGNOSTICS",
                        "ENVIRONMENT", "FILES", "EXAMPLES", "SEE ALSO"):
            self.assertIn(f".SH {section}\n", page)
        for message in ("error: file not found", "error: invalid pdb file",
                        "error: output file not found", "error: output file not written"):
            self.assertIn(message, page)
            self.assertIn(message, (TOP / "README.md").read_text())
        for command in (["mandoc", "-T", "lint", str(MAN_PAGE)],
                        ["groff", "-man", "-ww", "-z", str(MAN_PAGE)],
                        ["desktop-file-validate", str(TOP / "packaging/palmconv.desktop")]):
            done = run(*command)
            self.assertEqual((done.returncode, done.stdout + done.stderr), (0, ""), command)


if __name__ == "__main__":
    unittest.main()
