#!/usr/bin/python3
"""End-to-end tests: the real vorn-installer.exe under wine, against a loopback HTTPS server.

Each test starts tests/e2e/driver.exe under wine; the driver starts the stub with a chosen
TEMP/TMP and working directory, plays the user (watches the window, clicks, presses keys, reads
and dismisses the message box) and writes what it saw as JSON lines to a file read here. The
server is tests/fixtures/https_server.py on the port compiled into the stub, so the tests run one
at a time.

    e2e_test.py --program vorn-installer.exe --signer NAME --signer-cert CERT \
                --unchecked-program unchecked.exe --name-only-program name_only.exe \
                --driver driver.exe --stand-in stand_in.exe --host localhost:PORT \
                --wine-run tools/wine-run --work DIR [unittest arguments]
    e2e_test.py --check-registered Class.method,...   (every case is listed)

--signer is the installer signer compiled into --program (empty: it starts installers unchecked),
--signer-cert the publisher's certificate whose whole subject it pins (empty: the name alone);
--unchecked-program is the same program built without a signer, --name-only-program with the
name alone. Where the program checks, the tests serve the stand-in signed with that subject.

VORN_TEST_ENV names the wine test bed (tests/fixtures/test_env.py): its prefix trusts the CA that
signed ROOT/localhost.pem and the code-signing CA the tests' signers are issued under.
"""

import argparse
import contextlib
import errno
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures"))
import test_env  # noqa: E402
from https_server import RevocationServers, TestServer, expected_body  # noqa: E402

MiB = 1 << 20
DOWNLOAD_TARGET = "/api/app/download?platform=win"
USER_AGENT = "vorn-installer/1.0"
INSTALLER = "vorn-setup.exe"
# The folder of its own each run downloads into, in TEMP.
RUN_FOLDER = re.compile(r"vorn-setup-[a-z2-7]{16}")
LOG = "vorn-installer.log"
START_LINE = "vorn-installer 启动"
PREPARING = "准备下载..."
CHECKING = "正在校验安装器..."
PROGRESS = re.compile(r"正在下载 (\d+)%  \((\d+\.\d) / (\d+\.\d) MB\)")
LINE = re.compile(r"\[(\d+)\] (.*)")
ERROR_ICON = "error"
MAIN_STYLE = 0x00CA0000      # WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX
SYSTEM_ADDED = 0x14000000    # WS_VISIBLE | WS_CLIPSIBLINGS: shown, and added to every top level
PORT_WAIT = 30  # seconds
# A driver run's bounds, in seconds, beyond the bounds of its steps: the steps' own work, the wait
# for what the stub started (under wine a GUI program's start can take ~10 s, longer under load),
# and starting and ending the driver under wine. tests/e2e/CMakeLists.txt sizes each case's time
# limit from these.
STEP_ROOM = 20
SETTLE = 60
WINE_ROOM = 60
DRIVER_STARTS = 3  # tries at a driver that wine ends before it could start the stub
REFUSED_DOWNGRADE = "WinHttpReceiveResponse 失败 (err=12156)"  # ERROR_WINHTTP_REDIRECT_FAILED
OTHER_SIGNER = "另一家公司 Other Ltd"
UNTRUSTED_CA = "untrusted-ca"
# The short names the platform formats a subject with, where they are not openssl's.
X500_NAMES = {"ST": "S"}


def impostor(pinned):
    """The publisher's common name, with another company's organisation and country."""
    return [("C", "ZZ"), ("O", "Impostor Holdings"), *(a for a in pinned if a[0] == "CN")]


def one_attribute_more(pinned):
    """The pinned subject with an organisational unit before its common name."""
    return [*pinned[:-1], ("OU", "Engineering"), pinned[-1]]


def one_attribute_less(pinned):
    """The pinned subject without its first attribute after the country."""
    return [pinned[0], *pinned[2:]]


def intermediate(above="trusted", **certificate):
    """An intermediate CA issued by `above` ("trusted": the test bed's code-signing root; else
    another intermediate): for code signing unless `certificate` (issue_code_signing_cert's
    options) says otherwise."""
    return above, {"basic": "CA:TRUE", "usage": "codeSigning",
                   "key_usage": "keyCertSign, cRLSign", **certificate}


# Intermediate CAs, as publishers' certificates are issued.
INTERMEDIATES = {
    "ca-code": intermediate(),
    "ca-any-usage": intermediate(usage=None),
    "ca-server": intermediate(usage="serverAuth"),
    "ca-not-ca": intermediate(basic="CA:FALSE"),
    "ca-no-constraints": intermediate(basic=None),
    "ca-pathlen-0": intermediate(basic="CA:TRUE, pathlen:0"),
    "ca-below-pathlen-0": intermediate("ca-pathlen-0"),
    "ca-no-cert-sign": intermediate(key_usage="digitalSignature"),
    "ca-expired": intermediate(days=-1),
    "ca-unknown-critical": intermediate(extra="1.3.6.1.4.1.55555.1 = critical, ASN1:NULL\n"),
    "ca-crl": intermediate(),
    "ca-crl-revoked": intermediate(),
    "ca-aia": intermediate(),
    "ca-under-untrusted": intermediate("untrusted"),
}

# The certificates the tests sign with: subject (None: the one the program expects; a string: that
# common name alone; a function: of the pinned subject, (attribute, value) pairs), issuer
# ("trusted": the test bed's code-signing root, "second-root": its second one, as another public
# CA, "tls-root": its TLS root, which is trusted for server authentication only, "untrusted": a CA
# the prefix does not trust, None: self-signed, or an intermediate above, carried in the
# signature) and extended key usage.
SIGNERS = {
    "publisher": (None, "trusted", "codeSigning"),
    "other": (OTHER_SIGNER, "trusted", "codeSigning"),
    "untrusted": (None, "untrusted", "codeSigning"),
    "self-signed": (None, None, "codeSigning"),
    "server-usage": (None, "trusted", "serverAuth"),
    "under-tls-root": (None, "tls-root", "codeSigning"),
    "crl-good": (None, "ca-crl", "codeSigning"),
    "crl-revoked": (None, "ca-crl", "codeSigning"),
    "crl-refused": (None, "trusted", "codeSigning"),
    "crl-silent": (None, "trusted", "codeSigning"),
    "impostor": (impostor, "second-root", "codeSigning"),
    "renewal-elsewhere": (None, "second-root", "codeSigning"),
    "renewal-printable": (None, "second-root", "codeSigning"),
    "one-attribute-more": (one_attribute_more, "trusted", "codeSigning"),
    "one-attribute-less": (one_attribute_less, "trusted", "codeSigning"),
    "aia-silent": (None, "ca-aia", "codeSigning"),
    # The next certificate a build pins ahead of a renewal, with its own subject.
    "next-publisher": (lambda pinned: CONFIG.next_subject, "second-root", "codeSigning"),
    **{"under-" + ca: (None, ca, "codeSigning") for ca in INTERMEDIATES},
}

# How openssl encodes a signer's strings where not as UTF-8: "default" makes printable strings
# where they do and BMP strings for the rest, as some CAs encode names.
STRING_MASKS = {"renewal-printable": "default"}

# The certificates above that name a CRL distribution point: where it leads, and whether their
# issuer's CRL lists them as revoked. "crls": the CRL their issuer publishes on the test's CRL
# server; "refused": a loopback port that refuses connections; "silent": a server that takes the
# request and never answers. The others name no revocation address at all.
REVOCATION = {
    "ca-crl": ("crls", False),
    "ca-crl-revoked": ("crls", True),
    "crl-good": ("crls", False),
    "crl-revoked": ("crls", True),
    "under-ca-crl-revoked": ("crls", False),
    "crl-refused": ("refused", False),
    "crl-silent": ("silent", False),
}

# The certificates above that name where their issuer's certificate can be fetched (authority
# information access, CA issuers): the server, as in REVOCATION.
ISSUER_ADDRESS = {"aia-silent": "silent"}

# Set from the command line in main().
CONFIG = argparse.Namespace()


def winpath(path):
    """The Windows name of a Linux path: wine's Z: drive is the Linux root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def progress_figures(text):
    """(percent, received MB, total MB) of a progress label, None for any other text."""
    m = PROGRESS.fullmatch(text)
    return (int(m.group(1)), float(m.group(2)), float(m.group(3))) if m else None


def script_seconds(steps):
    """The sum of the bounds of the driver steps (each step's last number, in ms), in seconds."""
    return sum(int(m.group(1)) for m in (re.search(r"(\d+)$", s) for s in steps) if m) / 1000


def reported_events(path):
    """The kinds of event in the complete lines the driver has written to `path` so far."""
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().split("\n")[:-1]  # the last piece may be a line still being written
    except FileNotFoundError:
        return set()
    return {json.loads(line)["ev"] for line in lines if line.strip()}


class Run:
    """What the driver saw in one run of the stub."""

    def __init__(self, events, output_file, console_file):
        self.events = events
        self.output_file = output_file
        self.console_file = console_file  # wine's output, with its trace when one was asked for

    def all(self, kind):
        return [e for e in self.events if e["ev"] == kind]

    def one(self, kind):
        found = self.all(kind)
        if len(found) != 1:
            raise AssertionError(f"expected one {kind!r} event, got {len(found)}: {self}")
        return found[0]

    @property
    def pid(self):
        return self.one("started")["pid"]

    @property
    def exit_code(self):
        """The stub's exit code, None when it had not exited by the end of the script."""
        end = self.one("end")
        return end["code"] if end["exited"] else None

    @property
    def labels(self):
        return [e["text"] for e in self.all("progress")]

    @property
    def positions(self):
        return [e["pos"] for e in self.all("progress")]

    def __str__(self):
        return f"driver output {self.output_file}:\n" + "\n".join(
            json.dumps(e, ensure_ascii=False) for e in self.events)


class StubTest(unittest.TestCase):
    """Per test: a work folder with a TEMP folder and a working directory, and helpers to serve,
    run the stub and read back what it left behind."""

    maxDiff = None

    def setUp(self):
        self.work = os.path.join(CONFIG.work, self.id().rsplit(".", 1)[-1])
        shutil.rmtree(self.work, ignore_errors=True)
        self.temp = self.folder("temp")
        self.cwd = self.folder("cwd")
        self.runs = 0
        self.signatures = 0
        self.servers = []
        self.held = []  # servers that answer each run only once the driver has seen the window
        self.revocation_servers = None
        self.addCleanup(self.stop_servers)
        self.request_seen = os.path.join(self.work, "request-seen")
        self.connection_seen = os.path.join(self.work, "connection-seen")
        with open(CONFIG.stand_in, "rb") as f:
            self.stand_in = f.read()

    def stop_servers(self):
        self.held = []
        while self.servers:
            self.servers.pop().stop()

    @contextlib.contextmanager
    def case(self, *label, folders=(), **params):
        """One row of a table: a subtest that starts with empty TEMP, working and `folders`
        folders, and whose servers are stopped when it ends, however it ends."""
        with self.subTest(*label, **params):
            for folder in (self.temp, self.cwd, *folders):
                shutil.rmtree(folder)
                os.makedirs(folder)
            try:
                yield
            finally:
                self.stop_servers()

    def folder(self, name):
        path = os.path.join(self.work, name)
        os.makedirs(path, exist_ok=True)
        return path

    # -- the server -------------------------------------------------------------------------

    def serve(self, hold=False, host="127.0.0.1", **response):
        """The stub's server on its compiled-in port (on loopback address `host`: 127.0.0.2 is
        where only a proxy finds it), stopped when the test ends. Each request it receives also
        creates self.request_seen, each connection self.connection_seen, which the driver can wait
        for. With hold=True it answers a run's request only once the driver has reported the window: a
        download that ends at once could otherwise close the window before a loaded driver
        has seen it. (stall_after is released by the same resume(), so not with it.)"""
        if hold and response.get("stall_after") is not None:
            raise ValueError("hold and stall_after are both released by resume()")
        on_event = self.recorder(self.work)
        # The port is the machine's, not this build's: another run of these tests elsewhere may
        # hold it for a while.
        deadline = time.monotonic() + PORT_WAIT
        while True:
            try:
                server = TestServer(CONFIG.env_root, port=CONFIG.port, host=host,
                                    on_event=on_event, hold=hold, **response)
                break
            except OSError as e:
                if e.errno != errno.EADDRINUSE or time.monotonic() > deadline:
                    raise AssertionError(f"cannot listen on port {CONFIG.port}: {e} (another run "
                                         "of these tests on this machine?)") from None
                time.sleep(0.5)
        self.servers.append(server)
        if hold:
            self.held.append(server)
        return server

    def recorder(self, folder):
        """A server's on_event that creates request-seen (a line per request's target) and
        connection-seen in `folder`, both removed first."""
        seen = {kind: os.path.join(folder, f"{kind}-seen") for kind in ("request", "connection")}
        for path in seen.values():
            if os.path.exists(path):
                os.remove(path)

        def on_event(event):
            if event["event"] in seen:
                with open(seen[event["event"]], "a") as f:
                    f.write(event.get("target", "") + "\n")
        return on_event

    def other_server(self, seen_in=None, **response):
        """A second server on any free port (TLS unless tls=False); with `seen_in`, a folder
        where it records requests and connections as serve() does."""
        on_event = self.recorder(seen_in) if seen_in else None
        server = TestServer(CONFIG.env_root, on_event=on_event, **response)
        self.servers.append(server)
        return server

    def serve_installer(self, size, **response):
        """Serves installer_body(size); returns (server, body)."""
        body = self.installer_body(size)
        return self.serve(body=body, **response), body

    def installer_body(self, size):
        """The stand-in installer padded to `size` bytes, and then, when the program checks its
        installer's signer, signed by that name (a few KB more)."""
        body = expected_body(self.stand_in, size)
        return self.signed(body, "publisher") if CONFIG.signer else body

    # -- signatures -------------------------------------------------------------------------

    def signer_keys(self, name):
        """The folder with <name>.pem and .key for a SIGNERS name, made on first use, and the
        intermediates to carry along with it, nearest first."""
        keys = os.path.join(self.work, "keys")
        os.makedirs(keys, exist_ok=True)
        subject, issuer, usage = SIGNERS[name]
        if not os.path.exists(os.path.join(keys, name + ".pem")):
            ca_dir, ca_name = self.issuer_keys(keys, issuer)
            test_env.issue_code_signing_cert(keys, name, None, ca_dir, ca_name, usage=usage,
                                             extra=self.revocation_address(name, ca_name)
                                             + self.issuer_address(name, ca_name),
                                             subject=signer_subject(subject),
                                             string_mask=STRING_MASKS.get(name))
        return keys, self.intermediates_above(issuer)

    def issuer_keys(self, keys, issuer):
        """(folder, name) of the certificate and key of a SIGNERS or INTERMEDIATES issuer, made
        on first use; (None, None) for a self-signed certificate."""
        if issuer is None:
            return None, None
        if issuer == "trusted":
            return CONFIG.env_root, test_env.CODE_SIGNING_CA
        if issuer == "second-root":
            return CONFIG.env_root, test_env.SECOND_CODE_SIGNING_CA
        if issuer == "tls-root":
            return CONFIG.env_root, "ca"
        if issuer == "untrusted":
            if not os.path.exists(os.path.join(keys, UNTRUSTED_CA + ".pem")):
                test_env.make_ca(keys, UNTRUSTED_CA, "vorn untrusted test CA", usage="codeSigning")
            return keys, UNTRUSTED_CA
        if not os.path.exists(os.path.join(keys, issuer + ".pem")):
            above, certificate = INTERMEDIATES[issuer]
            ca_dir, ca_name = self.issuer_keys(keys, above)
            extra = certificate.get("extra", "") + self.revocation_address(issuer, ca_name)
            test_env.issue_code_signing_cert(keys, issuer, f"vorn test {issuer}", ca_dir, ca_name,
                                             **{**certificate, "extra": extra})
        return keys, issuer

    # -- revocation -------------------------------------------------------------------------

    def revocation(self):
        """This test's RevocationServers, started on first use and stopped when it ends."""
        if self.revocation_servers is None:
            self.revocation_servers = RevocationServers()
            self.addCleanup(self.revocation_servers.stop)
        return self.revocation_servers

    def revocation_address(self, name, issuer_name):
        """The openssl configuration of the CRL distribution point of the certificate `name`
        issued by `issuer_name` (REVOCATION), or none."""
        if name not in REVOCATION:
            return ""
        where, _ = REVOCATION[name]
        return f"crlDistributionPoints = URI:{self.revocation().url(where, issuer_name)}\n"

    def issuer_address(self, name, issuer_name):
        """The openssl configuration of where the certificate `name` issued by `issuer_name` says
        its issuer's certificate is (ISSUER_ADDRESS), or none."""
        if name not in ISSUER_ADDRESS:
            return ""
        url = self.revocation().url(ISSUER_ADDRESS[name], issuer_name, ".crt")
        return f"authorityInfoAccess = caIssuers;URI:{url}\n"

    def publish_crls(self):
        """Every CA that a certificate made so far names as its CRL's publisher publishes it now,
        listing those REVOCATION marks revoked."""
        keys = os.path.join(self.work, "keys")
        listed = {}
        for name, (where, revoked) in REVOCATION.items():
            cert = os.path.join(keys, name + ".pem")
            if where != "crls" or not os.path.exists(cert):
                continue
            issuer = SIGNERS[name][1] if name in SIGNERS else INTERMEDIATES[name][0]
            listed.setdefault(self.issuer_keys(keys, issuer), []).extend([cert] if revoked else [])
        for (ca_dir, ca_name), revoked in listed.items():
            self.revocation().publish(ca_name, test_env.make_crl(ca_dir, ca_name, revoked))

    @staticmethod
    def intermediates_above(issuer):
        chain = []
        while issuer in INTERMEDIATES:
            chain.append(issuer)
            issuer = INTERMEDIATES[issuer][0]
        return tuple(chain)

    def signed(self, body, signer, chain=(), alone=False, **digests):
        """`body` with an Authenticode signature by `signer` (a SIGNERS name) that also carries
        its intermediates (unless `alone`) and the certificates named in `chain`; `digests` as
        sign_file's."""
        keys, intermediates = self.signer_keys(signer)
        self.signatures += 1
        unsigned = os.path.join(keys, f"body-{self.signatures}.exe")
        with open(unsigned, "wb") as f:
            f.write(body)
        carried = (() if alone else intermediates) + chain
        test_env.sign_file(unsigned, unsigned + ".signed", keys, signer, carried, **digests)
        with open(unsigned + ".signed", "rb") as f:
            return f.read()

    # -- running the stub -------------------------------------------------------------------

    def drive(self, *steps, temp=None, tmp=None, unset=(), cwd=None, then=None, program=None,
              dll_overrides=None, wine_debug=None, stub_env=(), settle=SETTLE):
        """Runs the stub (`program`, the one under test by default) through the driver with
        TEMP=`temp` and TMP=`tmp` (both self.temp by default), without the variables named in
        `unset`, in `cwd` (self.cwd by default), with wine's `dll_overrides` added and its
        `wine_debug` channels traced (into the run's console file), and the variables
        `stub_env` ((name, value) pairs) set for the stub and so for the installer it starts.
        The driver's deadline leaves each step all of its own bound, and the settle time (for
        what the stub started) after them. `then` is
        (event, function): the function is called once the driver has reported that event, while
        the script goes on."""
        self.runs += 1
        out = os.path.join(self.work, f"driver-{self.runs}.jsonl")
        console = os.path.join(self.work, f"driver-{self.runs}.console")
        bound = script_seconds(steps) + STEP_ROOM + settle
        if self.held:
            if then:
                raise ValueError("a run with held servers releases them at the window")
            held = list(self.held)
            for server in held:
                server.hold()  # again, after an earlier run of this case

            def release():
                for server in held:
                    server.resume()
            then = ("window", release)
        env = dict(os.environ)
        if dll_overrides:
            env["VORN_WINE_DLLOVERRIDES"] = dll_overrides
        if wine_debug:
            env["VORN_WINEDEBUG"] = wine_debug
        args = [CONFIG.wine_run, CONFIG.driver, "--exe", winpath(program or CONFIG.program),
                "--out", winpath(out), "--cwd", winpath(cwd or self.cwd),
                "--deadline", str(int(bound * 1000)), "--settle", str(settle * 1000)]
        for name, value in stub_env:
            args += ["--env", f"{name}={value}"]
        for name, value in (("TEMP", temp or self.temp), ("TMP", tmp or self.temp)):
            if name not in unset:
                args += ["--env", f"{name}={winpath(value)}"]
        for name in unset:
            args += ["--unset", name]
        args += ["--actions", ";".join(steps)]
        # The driver creates its output before it starts the stub: when wine ends it before that
        # (seen once in hundreds of runs, exit code 1 and not a word), the stub never ran, and
        # the run is tried again.
        for _ in range(DRIVER_STARTS):
            driver, then = self.run_driver(args, env, out, console, bound, then)
            if os.path.exists(out):
                break
            print(f"driver exited with {driver.returncode} before it started the stub",
                  file=sys.stderr)
        if driver.returncode != 0 or not os.path.exists(out):
            with open(console, errors="replace") as f:
                self.fail(f"driver failed with exit code {driver.returncode}:\n{f.read()}")
        with open(out, encoding="utf-8") as f:
            return Run([json.loads(line) for line in f if line.strip()], out, console)

    def run_driver(self, args, env, out, console, bound, then):
        """One run of the driver, within its bound; the driver and `then`, None once called."""
        # Output to a file: wine's helper processes keep inherited descriptors open, and a pipe
        # held by them would hang our reader.
        with open(console, "wb") as sink:
            driver = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=sink, stderr=sink,
                                      env=env, start_new_session=True)
            deadline = time.monotonic() + bound + WINE_ROOM
            while True:
                try:
                    driver.wait(0.05 if then else max(0, deadline - time.monotonic()))
                    break
                except subprocess.TimeoutExpired:
                    pass
                if time.monotonic() >= deadline:
                    os.killpg(driver.pid, signal.SIGKILL)  # the group the driver leads: ours only
                    driver.wait()
                    self.fail(f"the driver did not finish; see {console} and {out}")
                if then and then[0] in reported_events(out):
                    then[1]()
                    then = None
        return driver, then

    def assert_no_step_failed(self, run):
        self.assertEqual(run.all("error") + run.all("deadline"), [], str(run))

    def assert_exit(self, run, code):
        self.assertEqual(run.exit_code, code, str(run))

    def assert_box(self, run, text):
        """The run ended in the error box with `text` (a string or a pattern) and the box was
        dismissed; returns the box's text."""
        box = run.one("box")
        self.assertEqual(box["caption"], "vorn-installer", str(run))
        if isinstance(text, re.Pattern):
            self.assertRegex(box["text"], text, str(run))
        else:
            self.assertEqual(box["text"], text, str(run))
        self.assertEqual(box["icon"], ERROR_ICON, str(run))
        self.assertEqual([b["id"] for b in box["buttons"]], [1], str(run))  # OK alone
        self.assertFalse(box["main_window_alive"], "the window stays open under the box")
        self.assertEqual(box["count"], 1, str(run))
        return box["text"]

    def assert_no_box(self, run):
        self.assertEqual(run.all("box"), [], str(run))
        for seen in run.all("no-box"):
            self.assertFalse(seen["box_seen"], str(run))

    def assert_checking_last(self, run):
        """The window said the installer was being checked, if at all, only after the download,
        with Cancel disabled from then on; where the program checks nothing it never says so.
        Before that, Cancel was enabled."""
        events = run.all("progress")
        first = next((i for i, e in enumerate(events) if e["text"] == CHECKING), len(events))
        if not CONFIG.signer:
            self.assertEqual(first, len(events), f"a check in a build without one: {run}")
        self.assertEqual([e for e in events[first:] if e["text"] != CHECKING], [], str(run))
        self.assertEqual([e for e in events[first:] if e["cancel"]], [], str(run))
        self.assertEqual([e for e in events[:first] if not e["cancel"]], [], str(run))

    # -- what the stub left behind ----------------------------------------------------------

    def log_lines(self, folder=None):
        """The log in `folder` (the TEMP folder by default) as (pid, message) pairs, after
        checking it is UTF-8 text with LF line ends."""
        path = os.path.join(folder or self.temp, LOG)
        self.assertTrue(os.path.exists(path), f"no log at {path}")
        with open(path, "rb") as f:
            data = f.read()
        self.assertNotIn(b"\r", data, "the log has CR characters")
        self.assertTrue(data.endswith(b"\n"), f"the log's last line is cut: {data[-80:]!r}")
        pairs = []
        for line in data.decode("utf-8").split("\n")[:-1]:
            m = LINE.fullmatch(line)
            self.assertIsNotNone(m, f"log line {line!r} is not '[pid] message'")
            pairs.append((int(m.group(1)), m.group(2)))
        return pairs

    def run_folders(self, folder=None):
        """The names of the run folders in `folder` (the TEMP folder by default)."""
        return sorted(n for n in os.listdir(folder or self.temp) if RUN_FOLDER.fullmatch(n))

    def assert_nothing_left(self, folder=None, empty_folder_allowed=False, bound=10):
        """No installer and no run folder left in `folder` (TEMP by default), within `bound`
        seconds (the system may delete a file its ended process had marked a moment after the
        exit is reported). With `empty_folder_allowed` an empty run folder may stay: a process
        killed, or ended while its download thread was held inside a call by a stalled server,
        cannot remove its folder once the file has gone with it; the next run does."""
        folder = folder or self.temp
        deadline = time.monotonic() + bound
        while True:
            left = [n for n in self.run_folders(folder)
                    if not (empty_folder_allowed and not os.listdir(os.path.join(folder, n)))]
            if os.path.exists(os.path.join(folder, INSTALLER)):
                left.append(INSTALLER)
            if not left or time.monotonic() >= deadline:
                break
            time.sleep(0.05)
        self.assertEqual(left, [], f"left behind in {folder}")

    def launches(self, folder=None):
        """(exe, cwd) for each start of the stand-in installer whose temporary folder was
        `folder` (TEMP by default)."""
        path = os.path.join(folder or self.temp, INSTALLER + ".started")
        if not os.path.exists(path):
            return []
        with open(path, encoding="utf-8") as f:
            return [tuple(field.split("=", 1)[1] for field in line.rstrip("\n").split("\t"))
                    for line in f]

    def started_installer(self, folder=None, launch=-1):
        """The Windows path of the installer that a start from `folder` (the last by default)
        ran, after checking it was a run folder of its own there, and its working directory."""
        launches = self.launches(folder)
        self.assertTrue(launches, "nothing was started")
        exe, cwd = launches[launch]
        expected = re.escape(winpath(folder or self.temp)) + r"\\(vorn-setup-[a-z2-7]{16})" \
            + re.escape("\\" + INSTALLER)
        self.assertRegex(exe, "^" + expected + "$", "not started from a run folder in TEMP")
        self.assertEqual(cwd, exe.rsplit("\\", 1)[0], "not started in its own folder")
        return exe

    def linux_path(self, path):
        """The Linux path of a Windows path on wine's Z: drive."""
        self.assertTrue(path.startswith("Z:\\"), path)
        return path[2:].replace("\\", "/")

    @staticmethod
    def success_log(pid, size, path):
        """The log of a successful run that downloaded `size` bytes to `path` (Windows)."""
        return [(pid, START_LINE), (pid, f"downloaded {size} bytes -> {path}"),
                (pid, f"下载完成: {path}")]

    def assert_success(self, run, body, folder=None, log_folder=None, earlier_log=()):
        """A run that downloaded `body` into a run folder of its own in `folder` (TEMP by
        default), logged it, started it from there and exited 0 without a box; returns the
        installer's Windows path."""
        self.assert_no_step_failed(run)
        self.assert_no_box(run)
        self.assert_exit(run, 0)
        path = self.started_installer(folder)
        with open(self.linux_path(path), "rb") as f:
            self.assertTrue(f.read() == body, "the downloaded file differs from the body served")
        self.assertEqual(self.log_lines(log_folder or folder),
                         list(earlier_log) + self.success_log(run.pid, len(body), path))
        return path

    def assert_failure(self, run, text, log_folder=None, empty_folder_allowed=False):
        """A run that failed before the download completed: box, exit 1, nothing left, nothing
        started; returns the box's text."""
        self.assert_no_step_failed(run)
        shown = self.assert_box(run, text)
        self.assert_exit(run, 1)
        self.assert_nothing_left(empty_folder_allowed=empty_folder_allowed)
        self.assertEqual(self.launches(), [])
        self.assertEqual(self.log_lines(log_folder),
                         [(run.pid, START_LINE), (run.pid, "FATAL: " + shown)])
        return shown

    def assert_refused(self, run, text, size):
        """A run whose complete download of `size` bytes was refused before it was started: box,
        exit 1, the file and its folder gone, nothing started, and the log says so after the
        download."""
        self.assert_no_step_failed(run)
        shown = self.assert_box(run, text)
        self.assert_exit(run, 1)
        lines = self.log_lines()
        downloaded = re.fullmatch(rf"downloaded {size} bytes -> (.*)", lines[1][1]) \
            if len(lines) > 1 else None
        self.assertIsNotNone(downloaded, f"no download logged: {lines}")
        path = downloaded.group(1)
        self.assertRegex(path, "^" + re.escape(winpath(self.temp)) + r"\\vorn-setup-[a-z2-7]{16}"
                         + re.escape("\\" + INSTALLER) + "$")
        self.assert_nothing_left()
        self.assertEqual(self.launches(), [])
        self.assertEqual(lines, [(run.pid, START_LINE),
                                 (run.pid, f"downloaded {size} bytes -> {path}"),
                                 (run.pid, "FATAL: " + shown)])

    def assert_request(self, request, target=DOWNLOAD_TARGET, tls=True):
        self.assertEqual((request.method, request.target, request.tls), ("GET", target, tls))
        self.assertEqual(request.header("User-Agent"), USER_AGENT)


# Driver scripts, in the driver's own words (see driver.cpp).
# The window of a cold GUI start under wine can take ~10 s, longer under load; after the window,
# the stub still starts the installer (a new wine process) before it exits.
WAIT_WINDOW = "wait-window=60000"
TO_THE_END = ("watch-until-gone=45000", "no-box-for=30000", "wait-exit=5000")
BOX_THEN_EXIT = ("expect-box=60000", "dismiss-box", "wait-exit=30000")
# After Cancel the box must come from the click alone: sooner than any of the platform's own
# time-outs (30 s and more) could bring one about, however long the server holds.
CANCEL_BOUND = 20000
CANCELLED = "用户已取消"
# How long a run whose installer stays open waits for it, in seconds: room for a whole second
# run meanwhile.
HELD_INSTALLER_SETTLE = 150


class Success(StubTest):

    def test_download_start_installer_and_append_log(self):
        # A folder name with a space and CJK characters must survive the path conversions and
        # be logged as UTF-8.
        size = 3 * MiB + 12345
        for name in ("temp", "临时 文件"):
            folder = self.folder(name)
            with self.case(folder=name, folders=(folder,)):
                server, body = self.serve_installer(size, hold=True)
                first = self.drive(WAIT_WINDOW, *TO_THE_END, temp=folder, tmp=folder)
                first_path = self.assert_success(first, body, folder)
                self.assertEqual(len(self.launches(folder)), 1)
                self.assertEqual(len(server.requests), 1)
                self.assert_request(server.requests[0])
                self.assertEqual(server.requests[0].header("Host"), CONFIG.host)

                # The second run downloads into a new folder of its own, removes the first's
                # (its installer has ended), appends to the log and starts its own.
                second = self.drive(WAIT_WINDOW, *TO_THE_END, temp=folder, tmp=folder)
                self.assertNotEqual(first.pid, second.pid)
                second_path = self.assert_success(
                    second, body, folder,
                    earlier_log=self.success_log(first.pid, len(body), first_path))
                self.assertNotEqual(first_path, second_path)
                self.assertEqual(len(self.launches(folder)), 2)
                self.assertEqual(self.run_folders(folder), [second_path.split("\\")[-2]])

    def test_log_follows_temp_and_download_follows_tmp(self):
        # GetTempPathW prefers TMP; the log reads TEMP, and the working directory when TEMP is
        # unset.
        log_folder, download_folder = self.folder("log"), self.folder("download")
        for what, unset, expected_log_folder in (("TEMP and TMP differ", (), log_folder),
                                                 ("TEMP unset", ("TEMP",), self.cwd)):
            with self.case(what, folders=(log_folder, download_folder)):
                _, body = self.serve_installer(MiB, hold=True)
                run = self.drive(WAIT_WINDOW, *TO_THE_END, temp=log_folder, tmp=download_folder,
                                 unset=unset)
                self.assert_success(run, body, download_folder, log_folder=expected_log_folder)
                for folder in {log_folder, download_folder, self.cwd} - {expected_log_folder}:
                    self.assertFalse(os.path.exists(os.path.join(folder, LOG)),
                                     f"a log in {folder}")

    def test_unknown_length(self):
        # Without a length the bar stays at 0 and the text shows 0% and a total of 0.0 MB, but
        # the download still completes.
        for what, options in (("chunked", {"chunked": True}),
                              ("ends at close", {"content_length": False})):
            with self.case(what):
                server, body = self.serve_installer(5 * MiB, rate=2.5 * MiB, **options)
                run = self.drive(WAIT_WINDOW, *TO_THE_END)
                self.assert_success(run, body)
                self.assert_checking_last(run)
                shown = [(t, progress_figures(t)) for t in run.labels
                         if t not in (PREPARING, CHECKING)]
                self.assertTrue(shown, f"no progress shown: {run}")
                for text, figures in shown:
                    self.assertIsNotNone(figures, f"label {text!r}")
                    self.assertEqual((figures[0], figures[2]), (0, 0.0), text)
                self.assertEqual(set(run.positions), {0}, str(run))
                self.assertEqual(len(server.requests), 1)


    def test_a_folder_of_its_own_whatever_temp_holds(self):
        # Whatever is already in TEMP, the run downloads into a new folder of its own and starts
        # the installer there, and leaves alone what is not an earlier run's folder. A file
        # Windows will not overwrite (read-only; hidden, which CREATE_ALWAYS refuses too), a
        # folder of the run folders' form with something else in it, an empty one (what a
        # killed run leaves: removed), and a previous run's installer still running.
        planted = "vorn-setup-plantedbysomeone"
        for what in ("a read-only vorn-setup.exe", "a hidden vorn-setup.exe",
                     "a planted run folder", "an empty run folder",
                     "a previous run's installer still running"):
            with self.case(what):
                if what == "a previous run's installer still running":
                    self.while_a_previous_installer_runs()
                    continue
                _, body = self.serve_installer(MiB, hold=True)
                kept = {}  # what must stay, by path: its content (None: a folder)
                if what.endswith("vorn-setup.exe"):
                    path = os.path.join(self.temp, INSTALLER)
                    with open(path, "wb") as f:
                        f.write(b"somebody else's")
                    if "read-only" in what:
                        os.chmod(path, 0o444)
                    else:
                        os.setxattr(path, "user.DOSATTRIB", b"0x2")  # wine's hidden attribute
                    kept[path] = b"somebody else's"
                else:
                    os.makedirs(os.path.join(self.temp, planted))
                    if what == "a planted run folder":
                        for name in (INSTALLER, "version.dll"):
                            path = os.path.join(self.temp, planted, name)
                            with open(path, "wb") as f:
                                f.write(name.encode())
                            kept[path] = name.encode()
                run = self.drive(WAIT_WINDOW, *TO_THE_END)
                path = self.assert_success(run, body)
                self.assertNotIn(planted, path)
                for left, content in kept.items():
                    with open(left, "rb") as f:
                        self.assertEqual(f.read(), content, f"{left} was changed")
                expected = sorted([path.split("\\")[-2]] + ([planted] if kept and
                                                             "run folder" in what else []))
                self.assertEqual(self.run_folders(), expected)

    def while_a_previous_installer_runs(self):
        """A run whose installer stays open (its first page left open, say), then a new run while
        it does: the new run downloads and starts its own, and leaves the first's folder."""
        _, body = self.serve_installer(2 * MiB, rate=MiB)
        release = os.path.join(self.work, "release-installer")
        if os.path.exists(release):
            os.remove(release)
        during = {}

        def second_run():
            try:
                during["run"] = self.drive(WAIT_WINDOW, *TO_THE_END)
                during["folders"] = self.run_folders()
            finally:
                open(release, "w").close()
        first = self.drive(WAIT_WINDOW, *TO_THE_END, then=("exit", second_run),
                           stub_env=(("VORN_STAND_IN_HOLD", winpath(release)),),
                           settle=HELD_INSTALLER_SETTLE)
        self.assert_no_step_failed(first)
        self.assert_no_box(first)
        self.assert_exit(first, 0)
        self.assertIn("run", during, "the first run never ended")
        first_path = self.started_installer(launch=0)
        second_path = self.assert_success(
            during["run"], body, earlier_log=self.success_log(first.pid, len(body), first_path))
        self.assertEqual(len(self.launches()), 2)
        # The first installer still ran: its folder stayed, beside the new one.
        self.assertEqual(during["folders"], sorted(p.split("\\")[-2]
                                                   for p in (first_path, second_path)))

    def test_three_runs_then_a_failure_in_one_temp_folder(self):
        # Each run removes what earlier runs left: after three, one installer, the last one's;
        # a failed run then leaves nothing at all.
        _, body = self.serve_installer(MiB, hold=True)
        log = []
        for _ in range(3):
            run = self.drive(WAIT_WINDOW, *TO_THE_END)
            path = self.assert_success(run, body, earlier_log=log)
            log += self.success_log(run.pid, len(body), path)
        folder = path.split("\\")[-2]
        self.assertEqual(self.run_folders(), [folder])
        self.assertEqual(os.listdir(os.path.join(self.temp, folder)), [INSTALLER])
        self.stop_servers()
        self.serve(status=404, body="<html>not here</html>", hold=True)
        failed = self.drive(WAIT_WINDOW, *BOX_THEN_EXIT)
        self.assert_no_step_failed(failed)
        shown = self.assert_box(failed, "服务器返回错误 (status=404)")
        self.assert_exit(failed, 1)
        self.assert_nothing_left()
        self.assertEqual(len(self.launches()), 3)
        self.assertEqual(self.log_lines(), log + [(failed.pid, START_LINE),
                                                  (failed.pid, "FATAL: " + shown)])


# Wine's trace of the manifests a process reads: each line begins with the process id (4 hex
# digits), then the thread's.
MANIFEST_TRACE = "+pid,+actctx"
MANIFEST_IDENTITY = re.compile(r'parse_assembly_identity_elem name=L"([^"]*)"')
MANIFEST_SETTING = re.compile(r'parse_settings_elem got L"([^"]*)" L"([^"]*)"')


def manifest_trace(run):
    """(names of the assemblies, (name, value) of each windows setting) that the program's process
    read from manifests, from a run traced with MANIFEST_TRACE."""
    with open(run.console_file, encoding="utf-8", errors="replace") as f:
        own = [line for line in f if line.startswith(f"{run.pid:04x}:")]
    return ([m.group(1) for line in own for m in MANIFEST_IDENTITY.finditer(line)],
            [m.groups() for line in own for m in MANIFEST_SETTING.finditer(line)])


class Window(StubTest):

    def test_layout_and_first_texts(self):
        # The server takes the request and never answers, so the window stays as it was built.
        server = self.serve(stall_before_headers=True)
        run = self.drive(WAIT_WINDOW, f"wait-file={winpath(self.request_seen)},30000", "dump",
                         "sysclose", "wait-exit=30000", wine_debug=MANIFEST_TRACE)
        self.assert_no_step_failed(run)
        # The process is DPI-unaware: the manifest it got, its own, declares no setting at all
        # (dpiAware, dpiAwareness). Wine answers every query about a process's awareness with
        # "per monitor" whatever its manifest says, so what its loader read is what can tell.
        identities, settings = manifest_trace(run)
        self.assertIn("vorn-installer", identities, f"its own manifest unread: {run.console_file}")
        self.assertEqual(settings, [], run.console_file)
        layout = run.one("layout")
        self.assertEqual((layout["class"], layout["title"]), ("vorninstaller", "下载星岚"))
        self.assertTrue(layout["visible"])
        self.assertEqual(layout["style"] & ~SYSTEM_ADDED, MAIN_STYLE, hex(layout["style"]))
        self.assertEqual(layout["rect"], {"x": 0, "y": 0, "w": 460, "h": 210})
        children = [(c["class"].lower(), c["text"], c["style"], c["id"], c["rect"], c["direct"])
                    for c in layout["children"]]
        self.assertEqual(children, [
            ("msctls_progress32", "", 0x50000000, 0, {"x": 20, "y": 30, "w": 410, "h": 26}, True),
            ("static", PREPARING, 0x50000001, 0, {"x": 20, "y": 75, "w": 410, "h": 24}, True),
            ("button", "取消", 0x50000000, 2, {"x": 185, "y": 130, "w": 90, "h": 36}, True),
        ])
        bar = layout["children"][0]
        self.assertEqual((bar["range_low"], bar["range_high"], bar["pos"]), (0, 100, 0))
        self.assertEqual(len(server.requests), 1)
        self.assert_request(server.requests[0])
        self.assert_exit(run, 0)

    def test_progress_during_slow_transfer(self):
        # 8 MiB at 2 MiB/s: the label and the bar move in 2 MiB steps, and the total is known,
        # which under wine takes the Content-Length text, not the 64-bit number.
        size = 8 * MiB
        _, body = self.serve_installer(size, rate=2 * MiB)
        run = self.drive(WAIT_WINDOW, "dump", *TO_THE_END)
        self.assert_success(run, body)
        bar = run.one("layout")["children"][0]
        self.assertEqual((bar["range_low"], bar["range_high"]), (0, 100))

        # The label starts as PREPARING (test_layout_and_first_texts shows it; a loaded driver
        # may look too late here) and never returns to it.
        self.assert_checking_last(run)
        labels = [t for t in run.labels if t != CHECKING]
        first_progress = next((i for i, t in enumerate(labels) if t != PREPARING), len(labels))
        self.assertNotIn(PREPARING, labels[first_progress:], str(run))
        shown = [(t, progress_figures(t)) for t in labels if t != PREPARING]
        self.assertTrue(shown, str(run))
        percents, midway = [], []
        for text, figures in shown:
            self.assertIsNotNone(figures, f"label {text!r}")
            percent, received, total = figures
            self.assertEqual(total, 8.0, text)
            # The percent comes from the exact count, the MB figure is rounded to 0.05 MiB.
            self.assertLessEqual(abs(percent - received / total * 100), 1.2, text)
            percents.append(percent)
            if received < total and text not in (t for t, _ in midway):
                midway.append((text, received))
        self.assertEqual(percents, sorted(percents), str(run))
        self.assertTrue(any(0 < p < 100 for p in percents), f"no percent between 0 and 100: {run}")
        # A post after each further 2 MiB, none between: at most three before the end. The label
        # shows the count when the window handles a post, which under load may be well after
        # the post, so the n-th label seen shows at least n times 2 MiB.
        self.assertLessEqual(len(midway), 3, str(run))
        for n, (text, received) in enumerate(midway, 1):
            self.assertGreaterEqual(received, 2.0 * n, f"label {n} {text!r}: {run}")
        # Each sample is one state of the window: the bar shows the label's percent (0 before
        # the first post; the check leaves it where the download ended).
        for event in run.all("progress"):
            if event["text"] == CHECKING:
                self.assertEqual(event["pos"], 100, str(run))
                continue
            figures = progress_figures(event["text"])
            self.assertEqual(event["pos"], figures[0] if figures else 0, str(run))
        positions = run.positions
        self.assertEqual(positions, sorted(positions), str(run))
        self.assertTrue(any(0 < p < 100 for p in positions), f"the bar never moved: {run}")


    def test_while_the_installer_is_checked(self):
        # While the installer is checked the window stays and says so, and Cancel is disabled,
        # since it comes too late: the watch records the label with the button's state. A click
        # then changes nothing; a close closes the window alone, and the installer still starts
        # once it has passed. (The check takes a few hundred ms under wine, so the click and the
        # close may find the window gone, which is the program's right.)
        if not CONFIG.signer:
            self.skipTest("this build starts installers unchecked (no VORN_INSTALLER_SIGNER)")
        body = self.installer_body(8 * MiB)
        for action in ("none", "click-cancel-if-open", "close-if-open"):
            with self.case(action):
                self.serve(body=body, hold=True)
                steps = [f"watch-until-text={CHECKING},60000"]
                steps += [] if action == "none" else [action, "no-box-for=1000"]
                run = self.drive(WAIT_WINDOW, *steps, *TO_THE_END)
                self.assert_success(run, body)
                self.assertEqual(run.all("watch-end")[0]["reason"], "met", str(run))
                self.assertIn(CHECKING, run.labels, str(run))
                self.assert_checking_last(run)
                checking = next(e for e in run.all("progress") if e["text"] == CHECKING)
                self.assertEqual((checking["pos"], checking["cancel"]), (100, False), str(run))


class UserActions(StubTest):

    def test_cancel_during_transfer(self):
        # Cancel in each phase of a download. Each row's server holds what comes next until the
        # case ends, far beyond the run's bounds: the box can only come from the Cancel, and the
        # program must end by itself while the server still holds. Name lookup cannot stall on
        # loopback; the program does not wait for the download thread in any phase.
        # The box stays open a few seconds: a run that has ended sends nothing more meanwhile.
        for phase in ("body flowing", "body stalled", "headers held", "TLS never completes",
                      "redirect's second connection"):
            with self.case(phase):
                steps, requests = self.cancel_phase(phase)
                run = self.drive(WAIT_WINDOW, *steps, "click-cancel",
                                 f"expect-box={CANCEL_BOUND}", "sleep=5000", "dismiss-box",
                                 "wait-exit=30000")
                # A download thread held by a stalled body cannot remove its folder in time.
                self.assert_failure(run, CANCELLED, empty_folder_allowed=phase == "body stalled")
                for server, count in requests:
                    self.assertEqual(len(server.requests), count,
                                     "the phase was not reached, or a request came after Cancel")
                if phase.startswith("body"):
                    self.assertTrue(any(p > 0 for p in run.positions), "cancelled before progress")

    def cancel_phase(self, phase):
        """Serves for one row of test_cancel_during_transfer: the driver's steps that wait for
        the phase, and (server, requests it must have seen)."""
        if phase == "body flowing":
            server, _ = self.serve_installer(16 * MiB, rate=MiB)
            return ["watch-until-pos=1,30000"], [(server, 1)]
        if phase == "body stalled":
            server, _ = self.serve_installer(8 * MiB, stall_after=2 * MiB)
            return ["watch-until-pos=1,30000", "sleep=300"], [(server, 1)]
        if phase == "headers held":
            server = self.serve(stall_before_headers=True)
            return [f"wait-file={winpath(self.request_seen)},30000"], [(server, 1)]
        if phase == "TLS never completes":
            server = self.serve(stall_handshake=True)
            return [f"wait-file={winpath(self.connection_seen)},30000"], [(server, 0)]
        other_seen = self.folder("other")
        other = self.other_server(seen_in=other_seen, stall_handshake=True)
        main = self.serve(redirect=f"https://localhost:{other.port}/files/setup.exe")
        seen = winpath(os.path.join(other_seen, "connection-seen"))
        return [f"wait-file={seen},30000"], [(main, 1), (other, 0)]

    def test_second_copy_joins_the_first(self):
        # A second copy started during a download brings the first's window back to the front
        # (the driver minimizes it first) and ends at once: no window of its own, no box, no
        # request, no line in the log. The body waits after 3 MiB until the second copy has
        # ended. Once the first run is over, a copy runs as usual (the next row of the table
        # above, and every other test).
        server, body = self.serve_installer(8 * MiB, stall_after=3 * MiB)
        run = self.drive(WAIT_WINDOW, "watch-until-pos=1,30000", "second-copy=30000",
                         *TO_THE_END, then=("second-copy", server.resume))
        self.assert_success(run, body)
        second = run.one("second-copy")
        self.assertTrue(second["minimized"], str(run))
        self.assertTrue(second["exited"], str(run))
        self.assertEqual(second["code"], 0, str(run))
        self.assertFalse(second["window_seen"], str(run))
        self.assertTrue(second["main_in_front"], str(run))
        self.assertEqual(len(server.requests), 1)
        self.assertEqual(len(self.launches()), 1)

    def test_escape_and_enter_do_not_cancel(self):
        # Posted keys go through the program's message loop (where a dialog-style loop would turn
        # Esc into IDCANCEL); SendInput goes through the system's keyboard path. The server holds
        # the transfer after 3 MiB until the window has been dumped after the key, so the window
        # can only be gone by then if the key closed it; the rest then follows, and a cancel the
        # key requested would show.
        for step in ("key=esc", "key=enter", "input=esc", "input=enter"):
            with self.case(step):
                server, body = self.serve_installer(8 * MiB, stall_after=3 * MiB)
                run = self.drive(WAIT_WINDOW, "watch-until-pos=1,30000", step, "no-box-for=1000",
                                 "dump", *TO_THE_END, then=("layout", server.resume))
                self.assert_success(run, body)
                self.assertEqual(len(run.all("layout")), 1, "the window closed after the key")

    def test_close_during_stalled_transfer(self):
        # The transfer hangs after 3 MiB; closing the window ends the program at once, quietly,
        # and so does a kill. A Cancel before the close ends it as Cancel does: the first click
        # decides (Cancel closes the window itself, often before the close arrives, so the close
        # goes only to a window still open). Either way the system removes the partly written
        # installer.
        for steps, code, box in ((("sysclose", "wait-gone=30000"), 0, None),
                                 (("close", "wait-gone=30000"), 0, None),
                                 (("click-cancel", "close-if-open", "wait-gone=30000"), 1,
                                  CANCELLED),
                                 (("kill",), 9, None)):
            with self.case(" then ".join(steps)):
                self.serve_installer(8 * MiB, stall_after=3 * MiB)
                ending = ((f"expect-box={CANCEL_BOUND}", "dismiss-box") if box else
                          ("no-box-for=3000",))
                run = self.drive(WAIT_WINDOW, "watch-until-pos=1,30000", "sleep=300", *steps,
                                 *ending, "wait-exit=30000")
                self.assert_no_step_failed(run)
                if box:
                    self.assert_failure(run, box, empty_folder_allowed=True)
                    continue
                self.assert_no_box(run)
                self.assert_exit(run, code)
                self.assertEqual(self.log_lines(), [(run.pid, START_LINE)])
                self.assertEqual(self.launches(), [])
                # The download thread is held by the stalled body: see assert_nothing_left.
                self.assert_nothing_left(empty_folder_allowed=True)

    def test_close_at_the_end_of_the_run(self):
        # The title bar's close sent around the end of the body, in a loop of runs, each close
        # 50 ms later than the last: from before the last read, through the file's completion,
        # to after the download thread's success (the bar at 100). Whatever the timing, the run
        # either ends quietly with nothing kept, or goes on to the check and starts the
        # installer; never an installer left in TEMP unchecked and unstarted. 8 MiB at 4 MiB/s:
        # the last 2 MiB take about half a second after the bar shows 75.
        size = 8 * MiB
        outcomes = []
        for watch, delay in (*((75, d) for d in range(0, 801, 50)), (100, 0)):
            with self.case(bar=watch, delay=delay):
                _, body = self.serve_installer(size, rate=4 * MiB, hold=True)
                run = self.drive(WAIT_WINDOW, f"watch-until-pos={watch},30000", f"sleep={delay}",
                                 "close-if-open", "wait-gone=45000", "no-box-for=30000",
                                 "wait-exit=5000")
                if any(line.startswith("downloaded ") for _, line in self.log_lines()):
                    self.assert_success(run, body)
                    outcomes.append("started")
                    continue
                self.assert_no_step_failed(run)
                self.assert_no_box(run)
                self.assert_exit(run, 0)
                self.assertEqual(self.log_lines(), [(run.pid, START_LINE)])
                self.assertEqual(self.launches(), [])
                self.assert_nothing_left()
                outcomes.append("nothing kept")
        print(f"closes at the end of the run: {outcomes}", file=sys.stderr)


class Failures(StubTest):

    def test_server_error_status(self):
        # 206: a partial answer (from a cache in front of the file host, say) to a request that
        # asked for no range is no installer either.
        for status in (206, 404, 500):
            with self.case(status=status):
                self.serve(status=status, body="<html>not here</html>", hold=True)
                run = self.drive(WAIT_WINDOW, *BOX_THEN_EXIT)
                self.assert_failure(run, f"服务器返回错误 (status={status})")

    def test_connection_dropped_midway(self):
        size, cut = 4 * MiB, 3 * MiB // 2 + 7
        read_failed = r"WinHttp(ReadData|QueryDataAvailable) 失败 \(err=\d+\)"
        for what, reset in (("FIN", False), ("RST", True)):
            with self.case(what):
                _, body = self.serve_installer(size, drop_after=cut, reset=reset, hold=True)
                total = len(body)
                run = self.drive(WAIT_WINDOW, *BOX_THEN_EXIT)
                if reset:
                    # A reset may lose data already received, or fail the read itself; one that
                    # comes before wine has read the response head discards it too.
                    text = self.assert_failure(run, re.compile(
                        rf"下载不完整 \(\d+/{total} 字节\)|{read_failed}"
                        r"|WinHttpReceiveResponse 失败 \(err=\d+\)"))
                    m = re.fullmatch(r"下载不完整 \((\d+)/\d+ 字节\)", text)
                    if m:
                        self.assertLessEqual(int(m.group(1)), cut)
                else:
                    # A FIN without TLS close_notify looks like a clean end; only the length
                    # check can tell.
                    self.assert_failure(run, f"下载不完整 ({cut}/{total} 字节)")

    def test_unreadable_content_length(self):
        # wine frames the body by a Content-Length this program cannot read (a 2.5 MiB body cut
        # short of the 3 MiB it announces looks complete to it), so such an answer is refused
        # before the file exists.
        size, cut = 3 * MiB, 5 * MiB // 2
        for value in ("+3145728", "18446744073709551616", "abc", "-1",
                      ["3145728", "2621440"]):
            with self.case(content_length=value):
                self.serve_installer(size, drop_after=cut, headers={"Content-Length": value},
                                     hold=True)
                run = self.drive(WAIT_WINDOW, *BOX_THEN_EXIT)
                self.assert_failure(run, "服务器返回的文件长度无效")

    def test_disk_full(self):
        if os.geteuid() != 0:
            self.skipTest("mounting a tmpfs needs root")
        small = self.folder("small")
        if os.path.ismount(small):  # left over by a run that was killed
            self.unmount(small)
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "vorn-e2e", small],
                                 stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
        if mounted.returncode != 0:
            self.skipTest(f"cannot mount a tmpfs here: {mounted.stderr.decode(errors='replace')}")
        self.addCleanup(self.unmount, small)
        self.temp = small
        self.serve_installer(4 * MiB, hold=True)
        run = self.drive(WAIT_WINDOW, *BOX_THEN_EXIT)
        self.assert_failure(run, re.compile(r"写入临时文件失败 \(err=\d+\)"))

    def unmount(self, path):
        result = subprocess.run(["umount", path], stdin=subprocess.DEVNULL, capture_output=True,
                                timeout=30)
        if result.returncode != 0:  # still busy: detach it now, it goes when the last user does
            subprocess.run(["umount", "-l", path], stdin=subprocess.DEVNULL, capture_output=True,
                           timeout=30)

    def test_body_that_is_not_a_program(self):
        # Only a program that starts its installer unchecked gets as far as the shell with it.
        body = expected_body(b"", 256 * 1024)  # the server's byte pattern: no MZ header
        server = self.serve(pad_to=len(body), hold=True)
        run = self.drive(WAIT_WINDOW, "watch-until-gone=45000", *BOX_THEN_EXIT,
                         program=CONFIG.unchecked_program)
        self.assert_no_step_failed(run)
        text = self.assert_box(run, re.compile(r"启动安装器失败 \(code=(\d+)\)"))
        self.assertLessEqual(int(re.search(r"\d+", text).group()), 32)
        self.assert_exit(run, 1)
        lines = self.log_lines()
        path = lines[1][1].rpartition(" -> ")[2] if len(lines) > 1 else None
        self.assertEqual(lines, self.success_log(run.pid, len(body), path)
                         + [(run.pid, "FATAL: " + text)])
        self.assertEqual(len(server.requests), 1)


# The redirects WinHTTP follows by itself. Wine 8 hands 303 and 308 back as the response instead
# of following them, so they are left out.
REDIRECTS = (301, 302, 307)


class Redirects(StubTest):

    def test_https_to_http_refused(self):
        # Wine's WinHTTP fails the response with ERROR_WINHTTP_REDIRECT_FAILED; Windows hands
        # back the redirect itself. Either way nothing may reach the clear-text server.
        for status in REDIRECTS:
            with self.case(status=status):
                plain = self.other_server(tls=False, body=self.stand_in, pad_to=MiB)
                downgrade = f"http://localhost:{plain.port}{DOWNLOAD_TARGET}"
                self.serve(status=status, redirect=downgrade, hold=True)
                run = self.drive(WAIT_WINDOW, *BOX_THEN_EXIT)
                self.assert_failure(run, re.compile(
                    rf"{re.escape(REFUSED_DOWNGRADE)}|服务器返回错误 \(status={status}\)"))
                self.assertEqual((plain.connections, plain.requests), (0, []))

    def test_https_to_https_followed(self):
        for status in REDIRECTS:
            with self.case(status=status):
                target = "/files/setup.exe?from=redirect"
                body = self.installer_body(MiB + 1)
                other = self.other_server(body=body)
                main = self.serve(status=status, redirect=f"https://localhost:{other.port}{target}",
                                  hold=True)
                run = self.drive(WAIT_WINDOW, *TO_THE_END)
                self.assert_success(run, body)
                self.assertEqual(len(main.requests), 1)
                self.assert_request(main.requests[0])
                self.assertEqual(len(other.requests), 1)
                self.assert_request(other.requests[0], target)


def invalid_signature(code):
    return f"安装器签名无效 (err=0x{code:08X})"


def signer_subject(subject):
    """The (attribute, value) pairs of a SIGNERS subject in the program under test."""
    if subject is None:
        return CONFIG.subject
    if isinstance(subject, str):
        return [("CN", subject)]
    return subject(CONFIG.subject)


def other_signer(subject, pinned=True):
    """The box for a valid signature by `subject` (a SIGNERS subject) that is not the publisher's:
    the whole subject as the platform formats it, common name first, where the program pins the
    publisher's subject (a pattern: the platform may quote any value); else its common name."""
    pairs = signer_subject(subject)
    if not pinned:
        return "安装器签名者不符: " + next(value for name, value in pairs if name == "CN")
    subject_text = ", ".join(f'{X500_NAMES.get(name, name)}="?{re.escape(value)}"?'
                             for name, value in reversed(pairs))
    return re.compile(f"^安装器签名者不符: {subject_text}$")


class Signature(StubTest):

    def test_only_the_publishers_installer_starts(self):
        # Wine's WinVerifyTrust accepts the untrusted, self-signed and wrong-usage rows, and its
        # chain engine checks the usage at the leaf alone; the program refuses them all with the
        # codes Windows' own chain engine gives. Revocation is asked of every link below the
        # root: a known "revoked" refuses, a status nobody can tell in time lets it start.
        if not CONFIG.signer:
            self.skipTest("this build starts installers unchecked (no VORN_INSTALLER_SIGNER)")
        stand_in = expected_body(self.stand_in, 2 * MiB)
        not_a_program = expected_body(b"", 256 * 1024)
        dual = {"digest": "sha1", "nested_digest": "sha256"}
        not_for_code = invalid_signature(0x00000010)  # CERT_TRUST_IS_NOT_VALID_FOR_USAGE
        not_a_ca = invalid_signature(0x00000400)  # CERT_TRUST_INVALID_BASIC_CONSTRAINTS
        # Wine's engine refuses an issuer that says it is no CA, or says nothing, by itself, and
        # adds CERT_TRUST_IS_NOT_VALID_FOR_USAGE to the code; its status is passed on as it is.
        not_a_ca_here = invalid_signature(0x00000410)
        revoked = invalid_signature(0x00000004)  # CERT_TRUST_IS_REVOKED
        # (what, unsigned body, signer (None: unsigned), signing options (the certificates carried
        # along, the digests), flip a byte after signing, the box (None: the installer starts))
        rows = (
            ("signed by the publisher", stand_in, "publisher", {}, False, None),
            ("under an intermediate for code signing", stand_in, "under-ca-code", {}, False, None),
            ("under an intermediate for any usage", stand_in, "under-ca-any-usage", {}, False,
             None),
            ("directly under an intermediate with path length 0", stand_in, "under-ca-pathlen-0",
             {}, False, None),
            ("dual signature, SHA-1 then SHA-256", stand_in, "under-ca-code", dual, False, None),
            ("unsigned", stand_in, None, {}, False,
             invalid_signature(0x800B0100)),  # TRUST_E_NOSIGNATURE
            ("one byte changed after signing", stand_in, "publisher", {}, True,
             invalid_signature(0x80096010)),  # TRUST_E_BAD_DIGEST
            ("signed by another name", stand_in, "other", {}, False,
             other_signer(OTHER_SIGNER, CONFIG.pinned)),
            # Another company of the publisher's name, at another CA: only the whole subject
            # tells them apart. A renewal at another CA, whatever string types it encodes the
            # subject's values with, is the publisher's.
            ("the publisher's common name, another organisation and country, under a second "
             "trusted root", stand_in, "impostor", {}, False,
             other_signer(impostor) if CONFIG.pinned else None),
            ("the publisher's subject with a new key, under a second trusted root", stand_in,
             "renewal-elsewhere", {}, False, None),
            ("the same, its strings printable and BMP strings, not UTF-8", stand_in,
             "renewal-printable", {}, False, None),
            ("the pinned subject with one attribute more", stand_in, "one-attribute-more", {},
             False, other_signer(one_attribute_more) if CONFIG.pinned else None),
            ("the pinned subject with one attribute less", stand_in, "one-attribute-less", {},
             False, other_signer(one_attribute_less) if CONFIG.pinned else None),
            # A chain the signature does not complete, and that names no address to complete it
            # from, is partial.
            ("under an intermediate that did not come along", stand_in, "under-ca-code",
             {"alone": True}, False, invalid_signature(0x00010000)),  # CERT_TRUST_IS_PARTIAL_CHAIN
            # Nor one whose address leads to a server that never answers. Windows' engine, told
            # not to fetch from AIA addresses, refuses at once with 00010000; wine's ignores the
            # flag and asks the silent server, so here the check's own deadline ends the wait:
            # refused, ERROR_TIMEOUT, and nothing started.
            ("under an intermediate that did not come along, named at a silent address",
             stand_in, "aia-silent", {"alone": True}, False,
             invalid_signature(0x800705B4)),  # HRESULT_FROM_WIN32(ERROR_TIMEOUT)
            # A root the machine does not have, with the AIA fetch off and the root update left
            # on: wine has no root update, so what wine does is what Windows does with a root
            # outside Microsoft's program (one inside it Windows fetches, and the chain passes).
            ("under an untrusted CA", stand_in, "untrusted", {}, False,
             invalid_signature(0x00010000)),  # CERT_TRUST_IS_PARTIAL_CHAIN
            ("under an intermediate that came along, below a root the machine does not have",
             stand_in, "under-ca-under-untrusted", {}, False,
             invalid_signature(0x00010000)),  # CERT_TRUST_IS_PARTIAL_CHAIN
            ("under an untrusted CA that came along", stand_in, "untrusted",
             {"chain": (UNTRUSTED_CA,)}, False,
             invalid_signature(0x00000020)),  # CERT_TRUST_IS_UNTRUSTED_ROOT
            ("self-signed", stand_in, "self-signed", {}, False,
             invalid_signature(0x00000020)),  # CERT_TRUST_IS_UNTRUSTED_ROOT
            ("without the code-signing usage", stand_in, "server-usage", {}, False, not_for_code),
            ("under an intermediate for server authentication only", stand_in,
             "under-ca-server", {}, False, not_for_code),
            ("under a root for server authentication only", stand_in, "under-tls-root", {},
             False, not_for_code),
            ("under an issuer that is not a CA", stand_in, "under-ca-not-ca", {}, False,
             not_a_ca_here),
            ("under an issuer without basic constraints", stand_in, "under-ca-no-constraints",
             {}, False, not_a_ca_here),
            ("path length exceeded", stand_in, "under-ca-below-pathlen-0", {}, False, not_a_ca),
            ("under an issuer that has expired", stand_in, "under-ca-expired", {}, False,
             invalid_signature(0x00000001)),  # CERT_TRUST_IS_NOT_TIME_VALID
            # CERT_TRUST_INVALID_EXTENSION | CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT
            ("under an issuer with an unknown critical extension", stand_in,
             "under-ca-unknown-critical", {}, False, invalid_signature(0x08000100)),
            ("under an issuer without the certificate-signing key usage", stand_in,
             "under-ca-no-cert-sign", {}, False, not_for_code),
            ("a body that is not a program", not_a_program, None, {}, False,
             invalid_signature(0x800B0003)),  # TRUST_E_SUBJECT_FORM_UNKNOWN
            # The good one first: wine's engine was seen to reuse one certificate's cached
            # status for the next.
            ("its CRL and its issuer's are fetched and list neither", stand_in, "crl-good", {},
             False, None),
            ("revoked, right after a good one", stand_in, "crl-revoked", {}, False, revoked),
            ("under a revoked intermediate", stand_in, "under-ca-crl-revoked", {}, False,
             revoked),
            ("its CRL server refuses connections", stand_in, "crl-refused", {}, False, None),
            ("its CRL server takes the request and never answers", stand_in, "crl-silent", {},
             False, None),
        )
        # Every certificate first, so that each CA's CRL is published once, before any run.
        bodies = []
        for what, unsigned, signer, signing, flip, box in rows:
            body = bytearray(self.signed(unsigned, signer, **signing) if signer else unsigned)
            if flip:
                body[len(body) // 2] ^= 0x01  # in the padding, which the signature covers
            bodies.append(bytes(body))
        self.publish_crls()
        for (what, _, _, _, _, box), body in zip(rows, bodies):
            with self.case(what):
                server = self.serve(body=body, hold=True)
                if box is None:
                    self.assert_success(self.drive(WAIT_WINDOW, *TO_THE_END), body)
                else:
                    run = self.drive(WAIT_WINDOW, "watch-until-gone=45000", *BOX_THEN_EXIT)
                    self.assert_refused(run, box, len(body))
                self.assertEqual(len(server.requests), 1)
        # The stub asked where the certificates said: both CRLs, and the server that is silent.
        servers = self.revocation()
        crls = {servers.crl_path(test_env.CODE_SIGNING_CA), servers.crl_path("ca-crl")}
        self.assertLessEqual(crls, set(servers.fetched()))
        self.assertGreater(servers.silent.connections, 0)

    def start_or_refuse_each(self, rows, stand_in, program):
        """Each row (what, signer, box) serves `stand_in` signed by `signer` to `program`: the
        installer must start when box is None, else be refused with `box`."""
        for what, signer, box in rows:
            with self.case(what):
                body = self.signed(stand_in, signer)
                self.serve(body=body, hold=True)
                if box is None:
                    self.assert_success(self.drive(WAIT_WINDOW, *TO_THE_END, program=program),
                                        body)
                else:
                    run = self.drive(WAIT_WINDOW, "watch-until-gone=45000", *BOX_THEN_EXIT,
                                     program=program)
                    self.assert_refused(run, box, len(body))

    def test_a_build_with_the_name_alone_checks_the_name_alone(self):
        # The same program built with VORN_INSTALLER_SIGNER and no certificate: another
        # company's certificate of the publisher's name passes, as the configure warns.
        if not CONFIG.signer:
            self.skipTest("this build starts installers unchecked (no VORN_INSTALLER_SIGNER)")
        stand_in = expected_body(self.stand_in, MiB)
        rows = (
            ("the publisher's common name, another organisation and country, under a second "
             "trusted root", "impostor", None),
            ("signed by another name", "other", other_signer(OTHER_SIGNER, pinned=False)),
        )
        self.start_or_refuse_each(rows, stand_in, CONFIG.name_only_program)

    def test_a_build_pinning_two_subjects_starts_either(self):
        # The same program built with two certificates pinned, the publisher's and the next one
        # (another organisation's spelling): an installer signed with either subject starts, and
        # one signed with a third is refused, named as the program names any other signer.
        if not CONFIG.two_pins_program:
            self.skipTest("this build pins no certificate (no VORN_INSTALLER_SIGNER_CERT)")
        stand_in = expected_body(self.stand_in, MiB)
        rows = (
            ("signed with the first subject pinned", "publisher", None),
            ("signed with the second subject pinned, under a second trusted root",
             "next-publisher", None),
            ("the publisher's common name, another organisation and country", "impostor",
             other_signer(impostor)),
        )
        self.start_or_refuse_each(rows, stand_in, CONFIG.two_pins_program)

    def test_without_a_signer_any_installer_starts(self):
        # The same program built without VORN_INSTALLER_SIGNER: the unsigned stand-in starts.
        body = expected_body(self.stand_in, MiB)
        self.serve(body=body, hold=True)
        run = self.drive(WAIT_WINDOW, *TO_THE_END, program=CONFIG.unchecked_program)
        self.assert_success(run, body)


def case_names():
    suite = unittest.defaultTestLoader.loadTestsFromModule(sys.modules[__name__])
    return sorted(test.id().split(".", 1)[1] for group in suite for test in group)


def check_registered(registered):
    """Exit status 0 when `registered` (comma-separated Class.method) names every case."""
    listed, defined = set(registered.split(",")), set(case_names())
    for name in sorted(defined - listed):
        print(f"not registered with ctest: {name}")
    for name in sorted(listed - defined):
        print(f"registered but not defined: {name}")
    print(f"{len(defined & listed)} cases registered, {len(defined ^ listed)} mismatched")
    return 0 if listed == defined else 1


def main():
    if sys.argv[1:2] == ["--check-registered"] and len(sys.argv) == 3:
        sys.exit(check_registered(sys.argv[2]))
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--program", required=True, help="vorn-installer.exe")
    parser.add_argument("--signer", required=True,
                        help="the installer signer compiled into --program; empty: none")
    parser.add_argument("--signer-cert", default="",
                        help="the certificate whose subject --program pins; empty: none")
    parser.add_argument("--unchecked-program", required=True,
                        help="the program built without an installer signer")
    parser.add_argument("--name-only-program", required=True,
                        help="the program built with the installer signer's name alone")
    parser.add_argument("--two-pins-program", default="",
                        help="the program pinning the publisher's and --next-signer-cert's "
                        "subjects; empty: none (a build without a certificate)")
    parser.add_argument("--next-signer-cert", default="",
                        help="the second certificate --two-pins-program pins")
    parser.add_argument("--driver", required=True, help="the driver (driver.exe)")
    parser.add_argument("--stand-in", required=True, help="the stand-in installer")
    parser.add_argument("--host", required=True, help="host[:port] compiled into the program")
    parser.add_argument("--wine-run", required=True, help="runs a Windows program under wine")
    parser.add_argument("--work", required=True, help="folder for the tests' files")
    parser.add_argument("--probe-dll", help="probe_dll.dll, for the planting test")
    args, rest = parser.parse_known_args()
    CONFIG.__dict__.update(vars(args))
    CONFIG.port = int(args.host.rpartition(":")[2]) if ":" in args.host else 443
    CONFIG.pinned = bool(args.signer_cert)
    CONFIG.subject = (test_env.read_subject(args.signer_cert) if CONFIG.pinned
                      else [("CN", args.signer)])
    CONFIG.next_subject = (test_env.read_subject(args.next_signer_cert)
                           if args.two_pins_program else None)
    CONFIG.env_root = os.environ.get("VORN_TEST_ENV")
    if not CONFIG.env_root or not os.path.isdir(os.path.join(CONFIG.env_root, "prefix")):
        parser.error("VORN_TEST_ENV does not name a wine test bed (run the wine_env setup)")
    for path in (args.program, args.unchecked_program, args.name_only_program, args.driver,
                 args.stand_in):
        if not os.path.isfile(path):
            parser.error(f"{path} does not exist")
    os.makedirs(args.work, exist_ok=True)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
