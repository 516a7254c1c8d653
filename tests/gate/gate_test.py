#!/usr/bin/python3
"""The release gate: tools/check-installer.sh, and through it vorn-installer-gate.exe under wine,
on installer files signed as the end-to-end tests sign the stub's downloads.

    gate_test.py --script tools/check-installer.sh --build DIR --signer-cert CERT \
                 --objdump OBJDUMP --work DIR [unittest arguments]
    gate_test.py --script tools/check-installer.sh --build DIR --unpinned --work DIR

--build is the build folder holding vorn-installer-gate.exe and add_root_cert.exe, built with the
pins of the stub beside them: the subject of --signer-cert. --unpinned: a build without an
installer signer, whose gate has nothing to judge.

VORN_TEST_ENV names the wine test bed (tests/fixtures/test_env.py): its prefix trusts both
code-signing test roots, as a machine trusts public CAs. The rows judge there (--prefix); the
throwaway prefix's case lets the script make its own, as a release engineer runs it.
"""

import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "fixtures"))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import test_env  # noqa: E402
import e2e_test  # noqa: E402  (the signer table's subjects and the stub's texts)
from e2e_test import impostor, invalid_signature, other_signer  # noqa: E402

# The script's own bound for each wine step; a run may take a new prefix's boot besides.
STEP_LIMIT = 240
RUN_LIMIT = 2 * STEP_LIMIT + 30
KNOWN_DLLS = {"kernel32.dll", "msvcrt.dll", "user32.dll"}
DELAY_LOADED_DLLS = {"wintrust.dll", "crypt32.dll", "cryptnet.dll"}
PASSES = "passes\n"

CONFIG = argparse.Namespace()


def fingerprint(path):
    """What must not change about a file the gate judged: it exists, its bytes, its times."""
    status = os.stat(path)
    with open(path, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    return status.st_size, status.st_mtime_ns, status.st_mode, digest


class GateTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.work = os.path.join(CONFIG.work, self.id().rsplit(".", 1)[-1])
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        # Any PE file serves as the installer's body: the gate reads its signature alone.
        self.body = os.path.join(self.work, "unsigned.exe")
        shutil.copyfile(os.path.join(CONFIG.build, "vorn-installer-gate.exe"), self.body)

    def gate(self, installer, *options, env=None):
        """Runs the script on `installer`: (exit code, stdout, stderr), asserting that the file
        is as it was before."""
        before = fingerprint(installer)
        done = subprocess.run(["bash", CONFIG.script, "--build", CONFIG.build,
                               "--timeout", str(STEP_LIMIT), *options, installer],
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=RUN_LIMIT,
                              env=env or self.environment(in_the_bed="--prefix" in options))
        self.assertEqual(fingerprint(installer), before, "the gate changed the file it judged")
        return done.returncode, done.stdout.decode("utf-8"), done.stderr.decode("utf-8")

    def environment(self, in_the_bed=False, **extra):
        # A console program: the gate needs no display. In the test bed's prefix it gets the
        # bed's all the same: a wineserver that the gate starts there without one would keep a
        # desktop without a display for the window tests that follow.
        env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        if in_the_bed:
            with open(os.path.join(CONFIG.env_root, "display")) as f:
                env["DISPLAY"] = f.read().strip()
        env.update(extra)
        return env

    def signed(self, name, subject, root=test_env.CODE_SIGNING_CA, days=400):
        """The body signed by a new certificate `name` for `subject` ((attribute, value) pairs)
        under the test bed's `root`, valid for `days`, as the end-to-end tests sign."""
        test_env.issue_code_signing_cert(self.work, name, None, CONFIG.env_root, root,
                                         subject=subject, days=days)
        installer = os.path.join(self.work, name + ".exe")
        test_env.sign_file(self.body, installer, self.work, name)
        return installer


class Verdicts(GateTest):
    """A build that pins the publisher's subject, as a release does."""

    def setUp(self):
        super().setUp()
        self.assertFalse(CONFIG.unpinned, "a case for a build with an installer signer")

    def test_verdicts_as_the_stub_gives_them(self):
        pinned = CONFIG.subject
        in_the_bed = ("--prefix", os.path.join(CONFIG.env_root, "prefix"))
        no_timestamp = re.compile(r"^note: this signature is not timestamped: .* on "
                                  r"\d{4}-\d\d-\d\d \d\d:\d\d UTC\.", re.M)
        expiring = re.compile(r"^warning: the signer's certificate expires on "
                              r"\d{4}-\d\d-\d\d \d\d:\d\d UTC, in (9|10) days, and this signature is "
                              r"not timestamped: .*安装器签名无效 \(err=0x800B0101\)", re.M)
        # (what, the installer, exit code, stdout (a text or a pattern), stderr (a pattern or
        # None: nothing but wine's own lines))
        rows = (
            ("signed by the publisher", lambda: self.signed("publisher", pinned), 0, PASSES,
             no_timestamp),
            # The publisher's common name, another organisation and country, under the second
            # trusted root: the stub's own text, the signer's whole subject.
            ("the impostor", lambda: self.signed("impostor", impostor(pinned),
                                                 test_env.SECOND_CODE_SIGNING_CA),
             1, other_signer(impostor), None),
            ("unsigned", lambda: self.body, 1, invalid_signature(0x800B0100) + "\n", None),
            # The certificate ends within 30 days: a warning, and still a pass.
            ("signed by the publisher's certificate that expires in 10 days",
             lambda: self.signed("expiring", pinned, days=10), 0, PASSES, expiring),
            # Past its end, without a timestamp: what wine's stub says (Windows' WinVerifyTrust
            # refuses first, with 0x800B0101, CERT_E_EXPIRED); the chain step's code here.
            ("signed by the publisher's certificate that expired a day ago",
             lambda: self.signed("expired", pinned, days=-1), 1,
             invalid_signature(0x00000001) + "\n", None),  # CERT_TRUST_IS_NOT_TIME_VALID
        )
        for what, installer, code, out, err in rows:
            with self.subTest(what):
                status, stdout, stderr = self.gate(installer(), *in_the_bed)
                if isinstance(out, str):
                    self.assertEqual(stdout, out, stderr)
                else:
                    self.assertRegex(stdout.rstrip("\n"), out, stderr)
                self.assertEqual(status, code, stdout + stderr)
                if err is not None:
                    self.assertRegex(stderr, err)
                else:
                    self.assertNotRegex(stderr, r"^(warning|note|check-installer):", stderr)

    def test_a_throwaway_prefix_trusts_what_wine_trusts_and_the_roots_given(self):
        # The release engineer's run: a prefix of the script's own, removed afterwards. A new
        # prefix has never met the test root, so the chain stops one short, as on a machine
        # that does not trust the publisher's root; --trust-root makes it trusted.
        installer = self.signed("publisher", CONFIG.subject)
        temp = os.path.join(self.work, "tmp")
        os.makedirs(temp)
        env = self.environment(TMPDIR=temp)
        root = os.path.join(CONFIG.env_root, test_env.CODE_SIGNING_CA + ".pem")
        rows = (
            ("a root the prefix does not trust", (), 1, invalid_signature(0x00010000) + "\n"),
            ("the same root trusted with --trust-root", ("--trust-root", root), 0, PASSES),
        )
        for what, options, code, out in rows:
            with self.subTest(what):
                status, stdout, stderr = self.gate(installer, *options, env=env)
                self.assertEqual((status, stdout), (code, out), stderr)
                # The script's folder (the prefix in it) is gone; wine's own server folders,
                # which every wine run leaves in the temporary folder, are not the script's.
                left = [name for name in os.listdir(temp) if not name.startswith("wine-")]
                self.assertEqual(left, [], "the throwaway prefix stayed behind")


class CommandLine(GateTest):

    def test_usage(self):
        for what, args in (("no file", []), ("a file that is not there",
                                              [os.path.join(self.work, "missing.exe")]),
                           ("an unknown option", ["--frobnicate", self.body])):
            with self.subTest(what):
                done = subprocess.run(["bash", CONFIG.script, "--build", CONFIG.build, *args],
                                      stdin=subprocess.DEVNULL, capture_output=True,
                                      timeout=RUN_LIMIT, env=self.environment())
                self.assertEqual(done.returncode, 2, done.stderr)
                self.assertEqual(done.stdout, b"")


class Unpinned(GateTest):
    """A build without an installer signer, whose stub starts anything."""

    def setUp(self):
        super().setUp()
        self.assertTrue(CONFIG.unpinned, "a case for a build without an installer signer")

    def test_a_build_without_a_signer_has_nothing_to_judge(self):
        status, stdout, stderr = self.gate(self.body, "--prefix",
                                           os.path.join(CONFIG.env_root, "prefix"))
        self.assertEqual((status, stdout), (2, ""), stderr)
        self.assertIn("this build pins no installer signer", stderr)


class Form(unittest.TestCase):
    """The gate runs the trust DLLs as the stub does: loaded from System32 after the search is
    limited, never imported statically."""

    def test_imports_only_known_dlls(self):
        if not CONFIG.objdump:
            self.skipTest("no --objdump")
        exe = os.path.join(CONFIG.build, "vorn-installer-gate.exe")
        headers = subprocess.run([CONFIG.objdump, "-p", exe], check=True, capture_output=True,
                                 text=True, timeout=60).stdout
        self.assertRegex(headers, r"Subsystem\s+00000003\s+\(Windows CUI\)")
        imported = {name.lower() for name in re.findall(r"DLL Name: (\S+)", headers)}
        self.assertLessEqual(imported, KNOWN_DLLS)
        with open(exe, "rb") as f:
            named = {m.decode().lower() for m in re.findall(rb"[A-Za-z0-9_]+\.dll", f.read())}
        self.assertIn("wintrust.dll", named, "dlltool changed?")
        self.assertLessEqual(named - KNOWN_DLLS, DELAY_LOADED_DLLS)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--script", required=True, help="tools/check-installer.sh")
    parser.add_argument("--build", required=True, help="the folder of vorn-installer-gate.exe")
    parser.add_argument("--signer-cert", default="", help="the certificate the gate pins")
    parser.add_argument("--unpinned", action="store_true", help="the gate pins no signer")
    parser.add_argument("--objdump", default="", help="x86_64-w64-mingw32-objdump")
    parser.add_argument("--work", required=True, help="folder for the tests' files")
    args, rest = parser.parse_known_args()
    if bool(args.signer_cert) == args.unpinned:
        parser.error("give --signer-cert or --unpinned")
    CONFIG.__dict__.update(vars(args))
    CONFIG.env_root = os.environ.get("VORN_TEST_ENV")
    if not CONFIG.env_root or not os.path.isdir(os.path.join(CONFIG.env_root, "prefix")):
        parser.error("VORN_TEST_ENV does not name a wine test bed (run the wine_env setup)")
    if args.signer_cert:
        CONFIG.subject = test_env.read_subject(args.signer_cert)
        e2e_test.CONFIG.subject = CONFIG.subject  # what other_signer() formats
    os.makedirs(args.work, exist_ok=True)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
