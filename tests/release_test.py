#!/usr/bin/env python3
"""Checks the signing of the release files, as a maintainer makes them and a user checks them.

Builds them with scripts/package into a folder of its own, signed with throwaway keys made here:
a code-signing certificate from a certificate authority of the test's own, time-stamped by a
time-stamp authority served on the loopback, and an OpenPGP key in a keyring of the test's own.
Runs the signed Windows program under wine (WINEPREFIX, WINE_BITS and WINE_PROGRAM as
tests/windows/wine-env.sh sets them); where wine can run no 32-bit program at all, the program's
64-bit build, signed the same way.
"""
import base64
import http.server
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zipfile

TOP = pathlib.Path(__file__).resolve().parent.parent
VERSION = re.search(r"project\(palmconv VERSION ([0-9.]+)",
                    (TOP / "CMakeLists.txt").read_text()).group(1)
GOLDEN = TOP / "tests/golden/decode/edge_lengths"
sys.path.insert(0, str(TOP / "packaging"))
from make_msi import stream_offsets  # noqa: E402

WINE_BITS = os.environ.get("WINE_BITS")

# The extensions of each certificate the test makes, by its name.
CERTIFICATES = """
[req]
distinguished_name = name
prompt = no
[name]
CN = palmconv release test
[authority]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[code]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[timestamps]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,nonRepudiation
extendedKeyUsage = critical,timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
"""


def run(*args, **kwargs):
    return subprocess.run([str(a) for a in args], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, **kwargs)


def openssl(*args):
    done = run("openssl", *args)
    assert done.returncode == 0, done.stderr


def asn1(der):
    """The elements of DER data as openssl asn1parse lists them: (offset, header length, length,
    what) each."""
    listed = subprocess.run(["openssl", "asn1parse", "-inform", "DER", "-i"], input=der,
                            capture_output=True, check=True).stdout.decode()
    return [(int(m[1]), int(m[2]), int(m[3]), m[4].strip()) for m in re.finditer(
        r"^\s*(\d+):d=\d+\s+hl=(\d+) l=\s*(\d+) (?:prim|cons):(.*)$", listed, re.M)]


def make_certificate(folder, name, extensions, authority=None):
    """A key and certificate (PEM) valid for two days: self-signed, or issued by authority."""
    key, certificate = folder / f"{name}.key", folder / f"{name}.pem"
    config = folder / "certificates.cnf"
    config.write_text(CERTIFICATES)
    subject = f"/CN=palmconv release test {name}"
    if authority is None:
        openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                "-keyout", key, "-out", certificate, "-days", "2", "-subj", subject,
                "-config", config, "-extensions", extensions)
    else:
        request = folder / f"{name}.csr"
        openssl("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                "-keyout", key, "-out", request, "-subj", subject, "-config", config)
        openssl("x509", "-req", "-in", request, "-CA", authority / "authority.pem",
                "-CAkey", authority / "authority.key", "-CAcreateserial", "-days", "2",
                "-extfile", config, "-extensions", extensions, "-out", certificate)
    return certificate, key


class TimeStampAuthority(http.server.ThreadingHTTPServer):
    """An RFC 3161 time-stamp authority on the loopback, answering with openssl ts."""

    def __init__(self, folder):
        self.folder = folder
        self.config = folder / "timestamps.cnf"
        self.config.write_text(f"""[tsa]
default_tsa = tsa_config
[tsa_config]
serial = {folder}/timestamps.serial
signer_cert = {folder}/timestamps.pem
signer_key = {folder}/timestamps.key
certs = {folder}/authority.pem
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
""")
        (folder / "timestamps.serial").write_text("01\n")
        self.answered = 0
        super().__init__(("127.0.0.1", 0), self.Handler)
        threading.Thread(target=self.serve_forever, daemon=True).start()

    @property
    def url(self):
        return f"http://127.0.0.1:{self.server_address[1]}/"

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            authority = self.server
            with tempfile.TemporaryDirectory(dir=authority.folder) as tmp:
                query, reply = pathlib.Path(tmp, "query"), pathlib.Path(tmp, "reply")
                query.write_bytes(self.rfile.read(int(self.headers["Content-Length"])))
                done = run("openssl", "ts", "-reply", "-config", authority.config,
                           "-queryfile", query, "-out", reply)
                body = reply.read_bytes() if done.returncode == 0 else b""
            self.send_response(200 if body else 500)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            authority.answered += 1

        def log_message(self, *args):
            pass


class SignedReleaseTest(unittest.TestCase):
    """The release files of a build with every signature asked for."""

    @classmethod
    def setUpClass(cls):
        # A short path: gpg-agent's sockets live in the keyring's folder.
        cls._tmp = tempfile.TemporaryDirectory(prefix="palmconv-sign-")
        cls.root = pathlib.Path(cls._tmp.name)
        keys = cls.root / "keys"
        keys.mkdir()
        cls.authority, _ = make_certificate(keys, "authority", "authority")
        cls.certificate, cls.key = make_certificate(keys, "code", "code", keys)
        make_certificate(keys, "timestamps", "timestamps", keys)
        # An authority of its own, which vouches for nothing here.
        strangers = cls.root / "strangers"
        strangers.mkdir()
        cls.stranger, _ = make_certificate(strangers, "authority", "authority")
        cls.timestamps = TimeStampAuthority(keys)

        cls.gnupg = cls.root / "gnupg"
        cls.gnupg.mkdir(mode=0o700)
        cls.gpg_env = dict(os.environ, GNUPGHOME=str(cls.gnupg))
        done = run("gpg", "--batch", "--passphrase", "", "--quick-gen-key",
                   "palmconv release test <release-test@example.org>", "ed25519", "sign", "2d",
                   env=cls.gpg_env)
        assert done.returncode == 0, done.stderr
        listed = run("gpg", "--batch", "--with-colons", "--list-keys", env=cls.gpg_env).stdout
        fingerprint = re.search(r"^fpr:+([0-9A-F]{40}):", listed, re.M).group(1)

        cls.dist = cls.root / "dist"
        cls.sign_env = dict(cls.gpg_env, PALMCONV_SIGN_CERT=str(cls.certificate),
                            PALMCONV_SIGN_KEY=str(cls.key),
                            PALMCONV_SIGN_TIMESTAMP_URL=cls.timestamps.url)
        start = time.monotonic()
        cls.build = run(TOP / "scripts/package",
                        env=dict(cls.sign_env, PALMCONV_DIST=str(cls.dist),
                                 PALMCONV_GPG_KEY=fingerprint))
        print(f"# the signed build took {time.monotonic() - start:.0f} s", file=sys.stderr)
        assert cls.build.returncode == 0, cls.build.stdout + cls.build.stderr

        cls.msi = cls.dist / f"palmconv-{VERSION}-win32.msi"
        cls.zip = cls.dist / f"palmconv-{VERSION}-win32.zip"
        cls.from_zip = cls.root / "from-zip"
        with zipfile.ZipFile(cls.zip) as archive:
            archive.extractall(cls.from_zip)
        cls.from_msi = cls.root / "from-msi"
        cls.from_msi.mkdir()
        done = run("msiextract", "-C", cls.from_msi, cls.msi)
        assert done.returncode == 0, done.stderr
        cls.windows_files = [
            ("the archive's program", cls.from_zip / "palmconv.exe"),
            ("the program the installer installs", cls.from_msi / "Programs/palmconv/palmconv.exe"),
            ("the installer", cls.msi),
        ]

    @classmethod
    def tearDownClass(cls):
        run("gpgconf", "--kill", "all", env=cls.gpg_env)
        cls.timestamps.shutdown()
        cls.timestamps.server_close()
        cls._tmp.cleanup()

    def setUp(self):
        tmp = tempfile.TemporaryDirectory(dir=self.root)
        self.addCleanup(tmp.cleanup)
        self.scratch = pathlib.Path(tmp.name)

    def verify(self, path, authority):
        return run("osslsigncode", "verify", "-CAfile", authority, "-TSA-CAfile", authority,
                   "-in", path)

    def signature(self, path):
        """The Authenticode signature (PKCS #7, DER) a file carries."""
        pem = self.scratch / "signature.pem"
        pem.unlink(missing_ok=True)
        done = run("osslsigncode", "extract-signature", "-pem", "-in", path, "-out", pem)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        return base64.b64decode("".join(line for line in pem.read_text().splitlines()
                                        if not line.startswith("-----")))

    def time_stamp(self, signature):
        """The RFC 3161 time-stamp token (CMS, DER) countersigning a signature."""
        elements = asn1(signature)
        found = [i for i, element in enumerate(elements)
                 if element[3].endswith(":1.3.6.1.4.1.311.3.3.1")]
        self.assertEqual(len(found), 1, "no RFC 3161 time stamp")
        # The attribute's values: a set holding the token.
        offset, header, length, what = elements[found[0] + 2]
        self.assertTrue(what.startswith("SEQUENCE"), what)
        return signature[offset:offset + header + length]

    def test_the_build_says_nothing_is_left_unsigned(self):
        self.assertNotIn("not signed", self.build.stderr)

    def test_checksums_verify_with_their_signature_and_a_change_to_either_fails(self):
        done = run("gpg", "--batch", "--verify", "SHA256SUMS.asc", "SHA256SUMS", cwd=self.dist,
                   env=self.gpg_env)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("Good signature", done.stderr)
        done = run("sha256sum", "--check", "--strict", "SHA256SUMS", cwd=self.dist)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        listed = sorted(line[66:] for line in (self.dist / "SHA256SUMS").read_text().splitlines())
        self.assertEqual(listed, sorted(p.name for p in self.dist.iterdir()
                                        if not p.name.startswith("SHA256SUMS")))

        # A list changed after it was signed, and a release file changed after it was listed.
        cases = [("SHA256SUMS", ["gpg", "--batch", "--verify", "SHA256SUMS.asc", "SHA256SUMS"]),
                 (self.zip.name, ["sha256sum", "--check", "--strict", "SHA256SUMS"])]
        for name, check in cases:
            with self.subTest(changed=name):
                copy = self.scratch / name.replace(".", "-")
                shutil.copytree(self.dist, copy)
                data = bytearray((copy / name).read_bytes())
                data[len(data) // 2] ^= 1
                (copy / name).write_bytes(data)
                done = run(*check, cwd=copy, env=self.gpg_env)
                self.assertNotEqual(done.returncode, 0, done.stdout + done.stderr)

    def test_windows_files_carry_time_stamped_signatures_that_verify(self):
        for what, path in self.windows_files:
            with self.subTest(what):
                done = self.verify(path, self.authority)
                self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
                self.assertIn("Signature verification: ok", done.stdout)
                # The wording of osslsigncode's report of the time stamp changes with its
                # versions: where it says, it must say ok.
                self.assertNotRegex(done.stdout, r"Timestamp Server Signature verification: (?!ok)")
                # Not merely signed: signed by the certificate the authority vouches for.
                done = self.verify(path, self.stranger)
                self.assertNotEqual(done.returncode, 0, done.stdout)

                # Described as palmconv, and time-stamped by the authority, whose signature on
                # the time stamp holds (checked by openssl, whatever osslsigncode's version).
                signature = self.signature(path)
                self.assertIn(b"\x81\x08palmconv", signature)
                token = self.scratch / "token.der"
                token.write_bytes(self.time_stamp(signature))
                self.assertIn("id-smime-ct-TSTInfo", str(asn1(token.read_bytes())))
                for authority, holds in ((self.authority, True), (self.stranger, False)):
                    done = run("openssl", "cms", "-verify", "-inform", "DER", "-in", token,
                               "-CAfile", authority, "-purpose", "any", "-out", os.devnull)
                    self.assertEqual(done.returncode == 0, holds, done.stderr)
        self.assertGreaterEqual(self.timestamps.answered, 2)

    def test_a_changed_program_or_installer_no_longer_verifies(self):
        program = bytearray(self.windows_files[0][1].read_bytes())
        program[len(program) // 3] ^= 1
        installer = bytearray(self.msi.read_bytes())
        installer[stream_offsets(installer, "\x05SummaryInformation")[60]] ^= 1
        for name, data in (("palmconv.exe", program), ("palmconv.msi", installer)):
            with self.subTest(name):
                changed = self.scratch / name
                changed.write_bytes(data)
                done = self.verify(changed, self.authority)
                self.assertNotEqual(done.returncode, 0, done.stdout)

    def test_signing_adds_the_signature_and_nothing_else(self):
        built = (TOP / "build/windows/palmconv.exe").read_bytes()
        self.assertEqual(self.windows_files[0][1].read_bytes(),
                         self.windows_files[1][1].read_bytes())
        unsigned = self.scratch / "unsigned.exe"
        done = run("osslsigncode", "remove-signature", "-in", self.windows_files[0][1],
                   "-out", unsigned)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertEqual(unsigned.read_bytes(), built)

    @unittest.skipUnless(os.environ.get("WINEPREFIX") and shutil.which("wine"),
                         "needs tests/windows/wine-env.sh")
    def test_signed_program_converts_byte_for_byte(self):
        program = self.scratch / "palmconv.exe"
        if WINE_BITS == "64":
            # The shipped program cannot run here; its 64-bit build, signed the same way, can.
            built = TOP / "build/windows64/palmconv.exe"
            if not built.exists():
                for step in (["cmake", "--preset", "windows64"],
                             ["cmake", "--build", "--preset", "windows64"]):
                    subprocess.run(step, cwd=TOP, check=True, stdout=subprocess.DEVNULL)
            shutil.copy(built, program)
            done = run(TOP / "packaging/authenticode_sign", program, env=self.sign_env)
            self.assertEqual(done.returncode, 0, done.stderr)
            done = self.verify(program, self.authority)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        else:
            shutil.copy(self.windows_files[0][1], program)
        shutil.copy(GOLDEN.with_suffix(".pdb"), self.scratch / "story.pdb")
        wine = os.environ.get("WINE_PROGRAM", "wine").split()
        done = subprocess.run(wine + [str(program), "story.pdb"], cwd=self.scratch,
                              capture_output=True, stdin=subprocess.DEVNULL,
                              env={k: v for k, v in os.environ.items() if k != "DISPLAY"})
        self.assertEqual((done.returncode, done.stdout), (0, b""))
        self.assertEqual((self.scratch / "story.hdb").read_bytes(),
                         GOLDEN.with_suffix(".hdb").read_bytes())


class SigningRequestTest(unittest.TestCase):
    """What scripts/package makes of signing asked for only in part."""

    def test_a_certificate_without_its_key_or_a_key_without_its_certificate_stops_the_build(self):
        with tempfile.TemporaryDirectory() as tmp:
            for given in ("PALMCONV_SIGN_CERT", "PALMCONV_SIGN_KEY"):
                with self.subTest(given):
                    env = {k: v for k, v in os.environ.items() if not k.startswith("PALMCONV_")}
                    done = run(TOP / "scripts/package",
                               env=dict(env, **{given: "/nonexistent.pem"}, PALMCONV_DIST=tmp))
                    self.assertEqual(done.returncode, 1, done.stderr)
                    self.assertIn("PALMCONV_SIGN_CERT and PALMCONV_SIGN_KEY are given together",
                                  done.stderr)
                    self.assertEqual(os.listdir(tmp), [])


if __name__ == "__main__":
    unittest.main()
