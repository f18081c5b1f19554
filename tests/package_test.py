#!/usr/bin/env python3
"""Checks the release files that scripts/package wrote into dist/, and the install rules.

Runs the Windows program of the archive under wine (WINEPREFIX as set by
tests/windows/wine-env.sh); installs and removes the Debian package only when run as root.
"""
import html
import io
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile

TOP = pathlib.Path(__file__).resolve().parent.parent
GOLDEN = TOP / "tests/golden/decode/edge_lengths"
VERSION = re.search(r"project\(palmconv VERSION ([0-9.]+)",
                    (TOP / "CMakeLists.txt").read_text()).group(1)
ARCH = subprocess.run(["dpkg", "--print-architecture"], capture_output=True,
                      text=True).stdout.strip()
DIST = TOP / "dist"
DEB = DIST / f"palmconv_{VERSION}_{ARCH}.deb"
ZIP = DIST / f"palmconv-{VERSION}-win32.zip"
WEB_ZIP = DIST / f"palmconv-{VERSION}-web.zip"
MAN_PAGE = TOP / "build/package/palmconv.1"
PAGE = TOP / "build/web/site/index.html"
WEB_TRACE = TOP / "build/web/palmconv_web.trace"
LICENSE = (TOP / "LICENSE").read_text()
sys.path.insert(0, str(TOP / "packaging"))
import notices  # noqa: E402

# Each release file's notices: where they are, what they must name (the parts linked in and
# their licenses), and the line ends of the system they are for.
NOTICES = [
    (DEB, "usr/share/doc/palmconv/copyright",
     ["libstdc++.a", "libgcc_eh.a", "GCC RUNTIME LIBRARY EXCEPTION",
      "/usr/share/common-licenses/GPL-3"], "\n"),
    (ZIP, "THIRD-PARTY-NOTICES.txt",
     ["the mingw-w64 runtime", "crt2.o", "libmingw32.a", "libmingwex.a", "libmsvcrt.a",
      "libstdc++.a", "libgcc.a", "ZPL-2.1", "GCC RUNTIME LIBRARY EXCEPTION",
      "GNU GENERAL PUBLIC LICENSE"], "\r\n"),
    (WEB_ZIP, "THIRD-PARTY-NOTICES.txt",
     ["system/lib/libc/musl/*", "libc.a", "libc++.a", "libc++abi.a", "libcompiler_rt.a",
      "libdlmalloc.a", "emscripten's JavaScript runtime", "The Emscripten Authors",
      "Apache License"], "\r\n"),
]

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


def release_member(release, name):
    """The bytes of a file inside a release file (a zip archive or a Debian package)."""
    if release.suffix == ".zip":
        with zipfile.ZipFile(release) as archive:
            return archive.read(name)
    tree = subprocess.run(["dpkg-deb", "--fsys-tarfile", str(release)], capture_output=True,
                          check=True).stdout
    with tarfile.open(fileobj=io.BytesIO(tree)) as tar:
        return tar.extractfile("./" + name).read()


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

    def test_windows_archive_holds_its_files_and_its_program_converts(self):
        with zipfile.ZipFile(ZIP) as archive:
            self.assertEqual(sorted(archive.namelist()), [
                "LICENSE.txt", "README.txt", "THIRD-PARTY-NOTICES.txt",
                "converted_database_format.txt", "palmconv.exe"])
            for name in ("LICENSE.txt", "README.txt", "THIRD-PARTY-NOTICES.txt",
                         "converted_database_format.txt"):
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
        # Natively, or under the emulator where the kernel runs no 32-bit code.
        wine = os.environ.get("WINE_PROGRAM", "wine").split()
        self.convert_golden(wine + [str(self.scratch / "unzipped/palmconv.exe")], self.scratch)

    def test_web_archive_holds_the_page_that_was_tested(self):
        with zipfile.ZipFile(WEB_ZIP) as archive:
            self.assertEqual(sorted(archive.namelist()),
                             ["LICENSE.txt", "README.txt", "THIRD-PARTY-NOTICES.txt", "index.html"])
            self.assertEqual(archive.read("index.html"), PAGE.read_bytes())
            readme = archive.read("README.txt").decode()
            self.assertIn(f"palmconv {VERSION}", readme)
            self.assertEqual(readme.count("\n"), readme.count("\r\n"))

    def test_checksums_list_every_release_file_by_its_bare_name(self):
        lines = (DIST / "SHA256SUMS").read_text().splitlines()
        for line in lines:
            self.assertRegex(line, r"^[0-9a-f]{64}  [^/\s][^/]*$")
        shipped = sorted(p.name for p in DIST.iterdir() if not p.name.startswith("SHA256SUMS"))
        self.assertEqual(sorted(line[66:] for line in lines), shipped)
        self.assertEqual(len(shipped), 4)
        done = run("sha256sum", "--check", "--strict", "SHA256SUMS", cwd=DIST)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)

    def test_each_release_file_carries_the_notices_of_the_parts_linked_in(self):
        for release, name, named, line_end in NOTICES:
            with self.subTest(release=release.name):
                text = release_member(release, name).decode()
                self.assertEqual(text.count("\n"), text.count(line_end), "line ends")
                text = text.replace("\r\n", "\n")
                self.assertGreater(len(text), 4000)
                for words in named:
                    self.assertIn(words, text)
        # The Debian package's notices follow palmconv's own license, and refer to the GPL's
        # text on the system rather than copy it.
        copyright_file = release_member(DEB, "usr/share/doc/palmconv/copyright").decode()
        self.assertTrue(copyright_file.startswith(LICENSE + "\n"))
        self.assertNotIn("TERMS AND CONDITIONS", copyright_file)
        # They are there because the C++ runtime is linked in, not loaded.
        with tempfile.TemporaryDirectory() as tmp:
            self.assertEqual(run("dpkg-deb", "-x", str(DEB), tmp).returncode, 0)
            needed = run("readelf", "-d", f"{tmp}/usr/bin/palmconv").stdout
        self.assertIn("libc.so.6", needed)
        self.assertNotIn("libstdc++", needed)
        self.assertNotIn("libgcc_s", needed)
        # Every archive the page's link took members from is named.
        web = release_member(WEB_ZIP, "THIRD-PARTY-NOTICES.txt").decode()
        archives = set(re.findall(r"^/\S*/([^/(\s]+\.a)\(", WEB_TRACE.read_text(), re.M))
        self.assertGreaterEqual(len(archives), 5)
        for archive in archives:
            self.assertIn(archive, web)

    def test_page_shows_the_licenses_in_place(self):
        page = PAGE.read_text()
        found = re.search(r'<details id="licenses">\s*<summary>Licenses</summary>\s*'
                          r'<pre[^>]*>(.*?)</pre>\s*</details>', page, re.S)
        self.assertIsNotNone(found, "no Licenses section")
        with zipfile.ZipFile(WEB_ZIP) as archive:
            shipped = archive.read("THIRD-PARTY-NOTICES.txt").decode().replace("\r\n", "\n")
        self.assertEqual(html.unescape(found.group(1)), LICENSE + "\n\n" + shipped)

    def test_notices_stop_at_a_part_no_rule_knows(self):
        cases = [
            # A library from the system no rule knows, in wasm-ld's trace and in a GNU ld map.
            ("/usr/lib/x86_64-linux-gnu/libz.a(inflate.o)\n", "no rule"),
            ("Archive member included to satisfy reference by file (symbol)\n\n"
             "/usr/lib/x86_64-linux-gnu/libz.a(inflate.o)\n                              main.o (inflate)\n"
             "\nMemory Configuration\n", "no rule"),
            # Nothing from a toolchain: a link record this is not.
            ("CMakeFiles/palmconv.dir/src/cli/main.cpp.o\nlibpalmconv_core.a(messages.cpp.o)\n",
             "names no part"),
        ]
        for record, message in cases:
            with self.subTest(record=record), self.assertRaisesRegex(notices.NoticeError, message):
                notices.gather(record, "palmconv")

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
