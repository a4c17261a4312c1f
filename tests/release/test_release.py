#!/usr/bin/env python3
"""scripts/release.sh, run the way a maintainer runs it, and its output
checked the way an administrator would check it.

  ReproducibleTest    two unsigned releases from two copies of the source in
                      folders of different names, built one after the other,
                      are the same bytes, and name neither folder
  SignedReleaseTest   a release signed with a self-signed code-signing key
                      made here with openssl verifies against that
                      certificate and no longer does once any byte is
                      changed, carries the signing time from
                      SOURCE_DATE_EPOCH, passes the metadata checks and runs
                      under Wine with the nothing-installed output
  WrongPasswordTest   a wrong password stops the script with a message
                      saying so and leaves the output folder as it was

Each class builds what it needs once, in setUpClass; CTest runs one class
per test (release.reproducible, release.signed, release.wrong_password), so
that the builds run in parallel with the rest of the suite.

Usage: test_release.py [unittest options, e.g. the class to run]
The Wine run needs TOVIK_FIXTURES, WINE, WINESERVER and XVFB (set by CMake).
"""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

import pefile

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))

import expected  # noqa: E402
import harness  # noqa: E402

EXE = "UninstallTovikComponents.exe"
CHECKER = ROOT / "tests" / "metadata" / "check_executable.py"
# A password with a space and shell syntax in it: it must reach the tools
# as it is, and show up nowhere.
PASSWORD = "correct horse $(battery) 'staple'"
SIGNING_TIME = 1700000000  # Nov 14 22:13:20 2023 GMT


def release_env(**extra):
    """The caller's environment without anything that would sign or fix
    the signing time, plus `extra`."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("RELEASE_") and k != "SOURCE_DATE_EPOCH"}
    env.update(extra)
    return env


def run_release(source, *args, env=None):
    """Runs release.sh from the source tree `source`; returns the finished
    process with its output as text."""
    return subprocess.run(
        ["bash", str(source / "scripts" / "release.sh"), *map(str, args)],
        env=env or release_env(), stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, text=True, timeout=600)


def require_success(process):
    if process.returncode != 0:
        raise AssertionError(
            f"release.sh exited with {process.returncode}:\n"
            f"{process.stdout}{process.stderr}")


def copy_source(target):
    """Copies the source tree as git sees it (tracked files and new ones it
    does not ignore), without build folders or earlier releases."""
    listed = subprocess.run(
        ["git", "-C", str(ROOT), "ls-files", "-z", "--cached", "--others",
         "--exclude-standard"], stdout=subprocess.PIPE, check=True).stdout
    for name in filter(None, listed.decode().split("\0")):
        source = ROOT / name
        if source.is_file():  # a tracked file may have been deleted
            (target / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(source, target / name)
    return target


def sha256(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def security_directory(data):
    """(file offset, size) of the certificate table; (0, 0) when unsigned.
    Its directory entry holds a file offset, not an address in the image."""
    pe = pefile.PE(data=data, fast_load=True)
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    return entry.VirtualAddress, entry.Size


def make_code_signing_key(folder, password):
    """A throwaway self-signed code-signing certificate and its key, as a
    PKCS#12 file protected by `password`; returns (p12, certificate)."""
    key, cert, p12 = (folder / n for n in ("key.pem", "cert.pem", "key.p12"))
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "rsa:3072", "-nodes",
         "-keyout", key, "-out", cert, "-days", "30",
         "-subj", "/CN=Tovik Release Test", "-addext",
         "extendedKeyUsage=codeSigning"], check=True,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(
        ["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert,
         "-out", p12, "-passout", "env:P12_PASSWORD"], check=True,
        env={**os.environ, "P12_PASSWORD": password})
    key.unlink()
    return p12, cert


def verify(exe, cert):
    return subprocess.run(
        ["osslsigncode", "verify", "-CAfile", str(cert), "-in", str(exe)],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


class ReleaseTestCase(unittest.TestCase):

    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.temp = Path(tempfile.mkdtemp(prefix="tovik-release-test-"))
        cls.addClassCleanup(shutil.rmtree, cls.temp, ignore_errors=True)

    def assert_checksums_check(self, out):
        """SHA256SUMS names the executable alone, with its real hash, in the
        form sha256sum -c reads."""
        self.assertEqual(sorted(p.name for p in out.iterdir()),
                         ["SHA256SUMS", EXE])
        self.assertEqual((out / "SHA256SUMS").read_text(),
                         f"{sha256(out / EXE)}  {EXE}\n")
        check = subprocess.run(["sha256sum", "--check", "--strict",
                                "SHA256SUMS"], cwd=out,
                               stdout=subprocess.PIPE, text=True)
        self.assertEqual((check.returncode, check.stdout),
                         (0, f"{EXE}: OK\n"))


class ReproducibleTest(ReleaseTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # Source and build folders of different names and lengths, so that
        # any path that reached the binary would change its bytes.
        cls.runs = []
        for name in ("a", "a-much-longer-source-folder-name"):
            source = copy_source(cls.temp / name)
            out = cls.temp / f"{name}-dist"
            build = cls.temp / f"build-{name}"
            process = run_release(source, "--out", out, "--build-dir", build)
            require_success(process)
            cls.runs.append((source, build, out, process))

    def test_two_builds_are_the_same_bytes(self):
        (_, _, first, _), (_, _, second, _) = self.runs
        self.assertEqual(sha256(first / EXE), sha256(second / EXE))
        self.assertEqual((first / "SHA256SUMS").read_bytes(),
                         (second / "SHA256SUMS").read_bytes())

    def test_no_folder_of_the_build_is_named_in_the_executable(self):
        for source, build, out, _ in self.runs:
            data = (out / EXE).read_bytes()
            for folder in (source, build, self.temp):
                for encoding in ("ascii", "utf-16-le"):
                    with self.subTest(folder=folder, encoding=encoding):
                        self.assertNotIn(str(folder).encode(encoding), data)

    def test_unsigned_release_is_said_once_and_checks(self):
        for _, _, out, process in self.runs:
            said = [line for line in
                    (process.stdout + process.stderr).splitlines()
                    if "not signed" in line.lower()]
            self.assertEqual(len(said), 1, process.stdout + process.stderr)
            self.assertEqual(
                security_directory((out / EXE).read_bytes()), (0, 0))
            self.assert_checksums_check(out)


class SignedReleaseTest(ReleaseTestCase, harness.WineTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.p12, cls.cert = make_code_signing_key(cls.temp, PASSWORD)
        cls.out = cls.temp / "dist"
        cls.process = run_release(
            ROOT, "--out", cls.out, "--pkcs12", cls.p12,
            env=release_env(RELEASE_PKCS12_PASSWORD=PASSWORD,
                            SOURCE_DATE_EPOCH=str(SIGNING_TIME)))
        require_success(cls.process)
        cls.exe = cls.out / EXE

    def test_password_is_never_shown(self):
        self.assertNotIn(PASSWORD, self.process.stdout + self.process.stderr)

    def test_signature_verifies_against_the_certificate(self):
        data = self.exe.read_bytes()
        offset, size = security_directory(data)
        self.assertGreater(size, 0, "no certificate table")
        self.assertEqual(offset + size, len(data))
        result = verify(self.exe, self.cert)
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertIn("Signer's certificate", result.stdout)
        self.assertIn("Subject: /CN=Tovik Release Test", result.stdout)
        self.assertIn("Message digest algorithm  : SHA256", result.stdout)
        signing_time = time.strftime("%b %d %H:%M:%S %Y GMT",
                                     time.gmtime(SIGNING_TIME))
        self.assertIn(f"Signing time: {signing_time}", result.stdout)
        self.assert_checksums_check(self.out)

    def test_one_changed_byte_fails_verification(self):
        data = self.exe.read_bytes()
        cert_offset, _ = security_directory(data)
        places = {
            "the DOS stub's message": data.index(b"This program cannot"),
            "the middle of the image": cert_offset // 2,
            "the last byte before the signature": cert_offset - 1,
            "the signature itself": cert_offset + (len(data) - cert_offset) // 2,
        }
        for place, offset in places.items():
            with self.subTest(place=place):
                changed = bytearray(data)
                changed[offset] ^= 0x01
                copy = self.temp / "changed.exe"
                copy.write_bytes(changed)
                result = verify(copy, self.cert)
                self.assertNotEqual(result.returncode, 0, result.stdout)
                self.assertNotIn("Succeeded", result.stdout)

    def test_signed_executable_passes_the_metadata_checks(self):
        result = subprocess.run([sys.executable, "-B", str(CHECKER),
                                 str(self.exe)], stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True)
        self.assertEqual(result.returncode, 0, result.stdout)

    def test_signed_executable_runs_under_wine(self):
        os.environ["TOVIK_EXE"] = str(self.exe)
        machine = harness.WineMachine()
        try:
            result = machine.run_program()
            self.assert_console(
                result, expected.components(machine.roaming_windows, {}))
            self.assert_box(result, expected.NOTHING_FOUND)
        finally:
            machine.stop()


class WrongPasswordTest(ReleaseTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.p12, _ = make_code_signing_key(cls.temp, PASSWORD)

    def test_wrong_password_fails_and_leaves_the_output_as_it_was(self):
        previous = {EXE: b"the previous release\n",
                    "SHA256SUMS": b"its checksum\n"}
        for case, before in [("no earlier release", None),
                             ("an earlier release", previous)]:
            with self.subTest(case=case):
                parent = self.temp / case.replace(" ", "-")
                parent.mkdir()
                out = parent / "dist"
                if before is not None:
                    out.mkdir()
                    for name, content in before.items():
                        (out / name).write_bytes(content)

                process = run_release(
                    ROOT, "--out", out, "--pkcs12", self.p12,
                    env=release_env(RELEASE_PKCS12_PASSWORD="wrong " + PASSWORD))

                self.assertNotEqual(process.returncode, 0)
                self.assertIn("with the given password", process.stderr)
                self.assertNotIn(PASSWORD, process.stdout + process.stderr)
                # Nothing beside it either: no partly written folder.
                self.assertEqual([p.name for p in parent.iterdir()],
                                 [] if before is None else ["dist"])
                if before is not None:
                    self.assertEqual(
                        {p.name: p.read_bytes() for p in out.iterdir()},
                        before)


if __name__ == "__main__":
    unittest.main()
