#!/usr/bin/python3
"""What the stub costs, against the best the platform can do, measured under wine on this machine.

    bench.py --stub EXE --signed-stub EXE --signer NAME [--signer-cert CERT] --host localhost:PORT
             --stand-in EXE
             --add-root-cert EXE --launch EXE --raw-fetch EXE --bare-window EXE --hash-file EXE
             --check-steps EXE --window-fetch EXE
             --out DIR [--quick] [--rounds N] [--only MEASUREMENT ...] [--max-load CORES]
             [--wait-budget SECONDS]

Run through tools/bench.sh, which builds all of these. Everything runs in a wine test bed of its
own (tests/fixtures/test_env.py: Xvfb, a prefix trusting a throwaway CA and code-signing CA), so
its wineserver serves the benchmark alone, against tests/fixtures/https_server.py on loopback.
One window of the benchmark's own stays open throughout: wine ends its desktop process a moment
after the last window closes, and the next start would pay ~10 s to bring it back.

Measured, each in rounds that alternate the programs' order (A B C, C B A, ...):
  transfer   the stub (built without a signer), raw_fetch.exe (the same WinHTTP calls, 64 KiB
             reads, no window, no second thread) and native curl, on one server: from the
             request's arrival at the server to the file's close (inotify), both on the machine's
             CLOCK_MONOTONIC; and the whole run, from process start to exit
  cpu        user + system seconds of the program's process (its rusage, reaped by this script,
             a child subreaper) plus what the wineserver spent meanwhile (/proc); per GiB as the
             marginal cost, largest size minus smallest; for the stub also per thread (UI and
             download), sampled from /proc every 20 ms
  memory     the program's peak resident set (ru_maxrss) at the smallest and the largest size;
             and at the smallest, like with like: the stub (unchecked, and signed) against
             window_fetch.exe, the raw loop with the stub's window, controls, second thread and
             launch through the shell added one at a time, each part's share as a difference
  start-up   process start to the main window being visible (launch.exe polls every 1 ms; in
             these runs and the check's the server answers once the window has been seen),
             against bare_window.exe: one window of the same size and style, nothing else; and
             against the same with the stub's controls in it (what the window itself costs)
  check      the stub built with a signer, on signed installers: from the check's start (the
             window's Cancel disabled) to the installer's process existing, against hash_file.exe: one SHA-256 of the same
             file through BCrypt (and through CryptoAPI), 64 KiB reads
  steps      check_steps.exe: the stub's src/trust steps timed one by one on the smallest signed
             installer, downloaded first as the stub downloads it, then started through the shell
             (timed too); each step repeated in the same process; against one hash of the file
  revocation the signed stub on the smallest signed installer, its signer's certificate naming
             a CRL address: reachable (a first fetch, then cached), refusing connections, or
             never answering; against the same check of a signer that names no address
  cancel     the stub's Cancel clicked in each phase of a download (the body flowing, the body
             stalled, the headers held, a TLS handshake never answered, the redirect's second
             connection never answered): from the click to its box (launch.exe, inside wine),
             against CANCEL_LIMIT_MS, the median's interval and the worst round; the ratio to the
             click to the box with the body flowing is information
  proxy      behind squid on loopback: the stub, set to it as the user's manual proxy, against
             raw_fetch.exe set to it as the machine's WinHTTP proxy (what DEFAULT_PROXY reads),
             a transfer as above; and the time from starting the stub to its request's arrival
             at the server with the user's settings saying: no proxy and nothing to discover
             (the base), a manual proxy, detection (no WPAD here) then direct, a script that
             names the proxy
  messages   progress posts and label updates the UI thread receives during the largest
             download, from wine's +message trace in a separate untimed run
  size       the exe with and without an installer signer
Before each round it waits for a quiet machine (busy cores below --max-load, within a total
--wait-budget) and records the load at the round's start and end. Each measurement has its own
rounds (ROUNDS, TRANSFER_ROUNDS, CHECK_ROUNDS; --rounds N: N for all). Each row gives the median of
the rounds' ratios (or differences) and a 95 % interval for it, a bootstrap over the rounds seeded
by the row's name; the verdict is "met" or "missed" when the interval lies wholly on one side of
the goal, "undecided" when it spans it.

Writes DIR/benchmark.md (the table), DIR/benchmark.png (the chart, when gnuplot is there) and
DIR/results.json (every run). --quick: small sizes, two rounds, no waiting, no verdicts: it shows
that every row runs. --only: some measurements alone, their rows alone. The exit code is 0
when every run did its job (each download complete, each program's exit clean), the table has
every row and the UI thread got no more progress posts and label updates than the design allows
(counts, the same on any machine). No time is ever held against a limit: the goals are reported
as met, missed or undecided.
"""

import argparse
import contextlib
import ctypes
import datetime
import glob
import json
import os
import platform
import random
import select
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "fixtures"))
import test_env  # noqa: E402
from https_server import Response, RevocationServers, TestServer, pattern  # noqa: E402
from squid_server import (DETECT, DIRECT, MACHINE_SETTINGS, MANUAL, SCRIPT,  # noqa: E402
                          USER_SETTINGS, SquidServer, delete_args, machine_settings,
                          setting_args, user_settings)

MiB = 1 << 20
GiB = 1 << 30
DOWNLOAD_PATH = "/api/app/download?platform=win"
INSTALLER = "vorn-setup.exe"
PROGRESS_STEP = 2 * MiB  # the stub's design: a post per 2 MiB received, and one at the end
WM_APP_PROGRESS = "[8001] 8001 dispatched"
WM_SETTEXT = "[000c] WM_SETTEXT sent from self"
RUN_TIMEOUT = 600  # seconds, for any one program run
POLL = 1.0  # seconds between load samples while waiting for a quiet machine

FULL = dict(transfer_sizes=(16 * MiB, 256 * MiB, GiB), check_sizes=(8 * MiB, 64 * MiB, 512 * MiB),
            proxy_size=256 * MiB)
QUICK = dict(transfer_sizes=(4 * MiB, 16 * MiB), check_sizes=(2 * MiB, 8 * MiB),
             proxy_size=4 * MiB)
# Rounds per measurement in a full run, enough for a 95 % interval of the median of the rounds'
# ratios to clear the goal on a busy 2-core machine, where single rounds of a transfer swing by
# ±15 %: the cheap rows more, the long ones fewer. The transfer and check rows by size (up to the
# size given: rounds); "startup" ... "memory" per measurement. --rounds N sets every one to N;
# --quick to 2, which decides nothing.
TRANSFER_ROUNDS = ((64 * MiB, 25), (256 * MiB, 11), (None, 7))
CHECK_ROUNDS = ((16 * MiB, 21), (64 * MiB, 11), (None, 5))
ROUNDS = {"startup": 21, "memory": 9, "steps": 15, "revocation": 9, "cancel": 11,
          "proxy transfer": 9, "first request": 9}
QUICK_ROUNDS = 2
MEASUREMENTS = ("startup", "transfer", "memory", "check", "steps", "revocation", "cancel", "proxy",
                "messages")

GOALS = {"transfer": 0.97, "cpu": 1.05, "memory": 1.05, "startup": 1.1, "check": 1.5,
         "proxy": 0.95}
CANCEL_LIMIT_MS = 100  # Cancel's box, in any phase, median and worst round, after the click
CONFIDENCE = 0.95  # of the intervals the verdicts rest on
RESAMPLES = 4000  # of the bootstrap over the rounds
# The phases Cancel is clicked in; the first is the reference. Each: the event of the server that
# marks the phase as reached, and how long after it the click comes.
CANCEL_PHASES = {
    "body flowing": ("request", 0.5),
    "body stalled": ("request", 1.0),
    "headers held": ("request", 0.0),
    "TLS never completes": ("connection", 0.0),
    "redirect's second connection": ("connection", 0.0),
}
FIRST_REQUEST_SIZE = MiB  # the installer of the runs timed to their request
PAC_PATH = "/proxy.pac"


class BenchError(Exception):
    pass


def winpath(path):
    """The Windows name of a Linux path: wine's Z: drive is the Linux root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def size_name(size):
    return f"{size // GiB} GiB" if size >= GiB and size % GiB == 0 else f"{size // MiB} MiB"


def median(values):
    return statistics.median(values) if values else None


def rounds_for(config, name, size=None):
    """The rounds of measurement `name` (of a transfer or check of `size` bytes)."""
    if config["rounds"] is not None:
        return config["rounds"]
    if name in ("transfer", "check"):
        tiers = TRANSFER_ROUNDS if name == "transfer" else CHECK_ROUNDS
        return next(rounds for limit, rounds in tiers if limit is None or size <= limit)
    return ROUNDS[name]


# -- the machine ---------------------------------------------------------------------------------

_libc = ctypes.CDLL(None, use_errno=True)
PR_SET_CHILD_SUBREAPER = 36


def become_subreaper():
    """wine starts each program through a double fork: as a subreaper this process inherits it,
    and reaping it yields its exact CPU time and peak memory."""
    if _libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise BenchError(f"prctl(PR_SET_CHILD_SUBREAPER): errno {ctypes.get_errno()}")


def _stat_fields(pid):
    with open(f"/proc/{pid}/stat") as f:
        text = f.read()
    name = text[text.index("(") + 1:text.rindex(")")]
    return name, text[text.rindex(")") + 2:].split()


def cpu_seconds(pid):
    """utime + stime of a live process, in seconds."""
    fields = _stat_fields(pid)[1]
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def reap_orphans():
    """Reaps the ended processes this subreaper inherited: {comm: [rusage, ...]}."""
    reaped = {}
    me = os.getpid()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            name, fields = _stat_fields(entry)
        except (OSError, ValueError):
            continue
        if fields[0] != "Z" or int(fields[1]) != me:
            continue
        try:
            _, _, usage = os.wait4(int(entry), 0)
        except ChildProcessError:
            continue
        reaped.setdefault(name, []).append(usage)
    return reaped


def reap(comm, timeout=10):
    """The rusage of the ended process named `comm` among this subreaper's orphans. wine reports
    a program's end when its last thread ends, a moment before the process itself is gone."""
    deadline = time.monotonic() + timeout
    while True:
        usages = reap_orphans().get(comm)
        if usages:
            return usages[0]
        if time.monotonic() > deadline:
            raise BenchError(f"{comm}: its process was not reaped here; no CPU or memory figure")
        time.sleep(0.02)


def wineserver_pid(prefix):
    """The prefix's wineserver: it runs in a folder named after the prefix's device and inode."""
    info = os.stat(prefix)
    folder = f"server-{info.st_dev:x}-{info.st_ino:x}"
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if os.path.basename(os.readlink(f"/proc/{entry}/cwd")) == folder:
                return int(entry)
        except OSError:
            continue
    raise BenchError(f"no wineserver for {prefix}")


class ThreadClock:
    """The CPU seconds of each thread of a program while it runs, sampled every 20 ms: a program
    that wine starts becomes this subreaper's child, so it is found among our children by its
    name, without scanning every process. A thread's figure is its last sample."""

    PERIOD = 0.02

    def __init__(self, comm):
        self.comm = comm
        self.pid = None
        self.threads = {}  # tid -> CPU seconds
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._sample, daemon=True)

    def __enter__(self):
        if self.comm:
            self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        if self.comm:
            self._thread.join(5)

    def _find(self):
        for task in os.listdir("/proc/self/task"):
            try:
                with open(f"/proc/self/task/{task}/children") as f:
                    children = f.read().split()
            except OSError:
                continue
            for child in children:
                try:
                    if _stat_fields(child)[0] == self.comm:
                        return int(child)
                except (OSError, ValueError):
                    continue
        return None

    def _sample(self):
        while not self._stop.wait(self.PERIOD):
            if self.pid is None:
                self.pid = self._find()
                continue
            try:
                tids = os.listdir(f"/proc/{self.pid}/task")
            except OSError:
                continue  # gone, or not yet a zombie: the last samples stand
            for tid in tids:
                try:
                    self.threads[int(tid)] = cpu_seconds(f"{self.pid}/task/{tid}")
                except (OSError, ValueError, IndexError):
                    continue

    @property
    def main_thread(self):
        """wine runs a program's first thread (the stub's UI thread) on the process's own."""
        return self.threads.get(self.pid, 0.0)

    @property
    def other_threads(self):
        return sum(cpu for tid, cpu in self.threads.items() if tid != self.pid)


class Load:
    """How busy the machine is, in cores: the share of the last `interval` seconds the CPUs were
    not idle, times their count. The load average lags by a minute; this does not."""

    @staticmethod
    def _times():
        with open("/proc/stat") as f:
            values = [int(v) for v in f.readline().split()[1:]]
        return sum(values), values[3] + values[4]  # idle + iowait

    @classmethod
    def busy_cores(cls, interval=POLL):
        total0, idle0 = cls._times()
        time.sleep(interval)
        total1, idle1 = cls._times()
        busy = 1 - (idle1 - idle0) / max(1, total1 - total0)
        return round(busy * os.cpu_count(), 2)


class QuietGate:
    """Before each timed round: waits until the machine is quiet, within a total budget."""

    def __init__(self, max_load, budget):
        self.max_load = max_load
        self.budget = budget
        self.waited = 0.0
        self.rounds = []

    def round(self, name):
        return _Round(self, name)

    def wait(self):
        load = Load.busy_cores()
        started = time.monotonic()
        while load > self.max_load and self.waited + (time.monotonic() - started) < self.budget:
            load = Load.busy_cores()
        waited = time.monotonic() - started
        self.waited += waited
        return load, waited


class _Round:
    def __init__(self, gate, name):
        self.gate, self.record = gate, {"round": name}

    def __enter__(self):
        load, waited = self.gate.wait()
        self.record.update(load_start=load, waited_s=round(waited, 1),
                           loadavg_start=os.getloadavg()[0])
        return self

    def __exit__(self, *exc):
        self.record.update(load_end=Load.busy_cores(), loadavg_end=os.getloadavg()[0])
        self.gate.rounds.append(self.record)


class CloseWatch:
    """The CLOCK_MONOTONIC time of each close of a file written in one folder, or in a folder
    made in it (the stub's run folder), by name (inotify)."""

    IN_CLOSE_WRITE = 0x8
    IN_CREATE = 0x100
    IN_ISDIR = 0x40000000
    _HEADER = struct.Struct("iIII")

    def __init__(self, folder):
        self.folder = folder
        self.watches = {}  # watch descriptor -> folder
        self.fd = _libc.inotify_init1(os.O_CLOEXEC)
        if self.fd < 0 or not self._watch(folder, self.IN_CLOSE_WRITE | self.IN_CREATE):
            raise BenchError(f"inotify on {folder}: errno {ctypes.get_errno()}")
        self.closes = {}  # name -> [time, ...]
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._read, daemon=True)
        self._thread.start()

    def _read(self):
        while not self._stop.is_set():
            ready, _, _ = select.select([self.fd], [], [], 0.1)
            if not ready:
                continue
            now = time.monotonic()
            data = os.read(self.fd, 65536)
            while data:
                wd, mask, _, length = self._HEADER.unpack_from(data)
                end = self._HEADER.size + length
                name = data[self._HEADER.size:end].rstrip(b"\0").decode()
                if mask & self.IN_CREATE:
                    if mask & self.IN_ISDIR and self.watches.get(wd) == self.folder:
                        self._watch(os.path.join(self.folder, name), self.IN_CLOSE_WRITE)
                else:
                    self.closes.setdefault(name, []).append(now)
                data = data[end:]

    def _watch(self, folder, mask):
        wd = _libc.inotify_add_watch(self.fd, folder.encode(), mask)
        if wd >= 0:
            self.watches[wd] = folder
        return wd >= 0

    def last_close(self, name):
        closes = self.closes.get(name)
        return closes[-1] if closes else None

    def stop(self):
        self._stop.set()
        self._thread.join(5)
        os.close(self.fd)


# -- the bed, the server, the programs -----------------------------------------------------------

class Bench:
    def __init__(self, args):
        self.args = args
        self.out = os.path.abspath(args.out)
        self.root = os.path.join(self.out, "env")
        self.work = os.path.join(self.out, "work")
        self.temp = os.path.join(self.work, "temp")
        self.port = int(args.host.rpartition(":")[2])
        self.env = None
        self.anchor = None
        self.server = None
        self.held = None  # a TestServer here that answers once launch.exe has seen the window
        self.seen = os.path.join(self.work, "window-seen")
        self.wineserver = None
        self.runs = 0

    # The bed -----------------------------------------------------------------------------

    def start(self):
        become_subreaper()
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.temp)
        test_env.setup(self.root, self.args.add_root_cert, force_xvfb=True)
        self.env = test_env.wine_env(self.root)
        self.wineserver = wineserver_pid(self.env["WINEPREFIX"])
        with open(os.path.join(self.work, "anchor.log"), "wb") as log:
            self.anchor = subprocess.Popen(["wine", self.args.bare_window], env=self.env,
                                           stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                           start_new_session=True)
        # Unmeasured starts until the desktop is up and the programs' DLLs are in the page cache.
        for _ in range(3):
            self.launch(self.args.bare_window, watch="window", close=True)

    def stop(self):
        self.stop_server()
        # Ends the wineserver, and with it every program in the bed; the prefix (~700 MB) goes.
        test_env.cleanup(self.root, remove=True)
        if self.anchor:
            try:
                self.anchor.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.anchor.pid, signal.SIGKILL)  # the group it leads: ours alone
                self.anchor.wait()
        reap_orphans()

    def serve(self, **response):
        """https_server.py in a process of its own (its work stays out of ours) on the stub's
        port, recording each request with its time."""
        self.stop_server()
        record = os.path.join(self.work, "server.jsonl")
        port_file = os.path.join(self.work, "server.port")
        for path in (record, port_file):
            if os.path.exists(path):
                os.remove(path)
        options = []
        for name, value in response.items():
            options += [f"--{name.replace('_', '-')}", str(value)]
        log = os.path.join(self.work, "server.log")
        with open(log, "ab") as sink:
            self.server = subprocess.Popen(
                [sys.executable, os.path.join(HERE, "..", "tests", "fixtures", "https_server.py"),
                 "--cert-dir", self.root, "--port", str(self.port), "--record", record,
                 "--port-file", port_file, "--max-seconds", "3600", *options],
                stdin=subprocess.DEVNULL, stdout=sink, stderr=sink)
        self.server_record = record
        deadline = time.monotonic() + 30
        while not os.path.exists(port_file):
            if self.server.poll() is not None or time.monotonic() > deadline:
                raise BenchError(f"the server did not start on port {self.port} (see {log})")
            time.sleep(0.05)

    def serve_held(self, **response):
        """The stub's server in this process, holding each answer until launch.exe has seen the
        program's window: a short download could otherwise end, and close the window, before a
        launcher on a loaded machine looks. For runs that time the window, not the transfer."""
        self.stop_server()
        self.held = TestServer(self.root, port=self.port, hold=True, **response)

    def stop_server(self):
        if self.held:
            self.held.stop()
            self.held = None
        if self.server:
            self.server.terminate()
            try:
                self.server.wait(15)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait()
            self.server = None

    def last_request_time(self):
        with open(self.server_record) as f:
            times = [e["time"] for e in map(json.loads, f) if e["event"] == "request"]
        if not times:
            raise BenchError("the server saw no request")
        return times[-1]

    def set_proxy_settings(self, user=None, machine=None):
        """The user's and the machine's proxy settings in the bed's prefix, as Windows keeps
        them (values from squid_server; None: no value)."""
        for where, value in ((USER_SETTINGS, user), (MACHINE_SETTINGS, machine)):
            args = delete_args(where) if value is None else setting_args(where, value)
            subprocess.run(["wine", *args], env=self.env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=RUN_TIMEOUT, check=value is not None)

    def clear_temp(self):
        for name in os.listdir(self.temp):
            path = os.path.join(self.temp, name)
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)  # a run folder of the stub's
            else:
                os.remove(path)

    def stub_installer(self):
        """The path of the installer the stub downloaded into its run folder in TEMP."""
        found = glob.glob(os.path.join(self.temp, "vorn-setup-*", INSTALLER))
        if len(found) != 1:
            raise BenchError(f"expected one downloaded installer in {self.temp}, found {found}")
        return found[0]

    # Running programs --------------------------------------------------------------------

    def wine(self, args, stdout, extra_env=None):
        env = dict(self.env, **(extra_env or {}))
        with open(stdout, "wb") as out, open(stdout + ".err", "wb") as err:
            result = subprocess.run(["wine", *args], env=env, stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=err, timeout=RUN_TIMEOUT)
        if result.returncode != 0:
            raise BenchError(f"wine {args[0]} failed ({result.returncode}); see {stdout}.err")

    def launch(self, exe, *args, watch=None, close=False, trace=False, threads=False, go=None,
               code=0):
        """One run of a Windows program through launch.exe, with TEMP in the work folder, that
        must end with exit code `code`: what launch.exe timed, plus "cpu_s" (the process and
        the wineserver meanwhile) and "peak_kib" (the process's peak resident set); with
        `threads`, "ui_cpu_s" and "worker_cpu_s": the first thread's CPU and the others'; `go`:
        the file launch.exe waits for before it clicks Cancel (watch="cancel")."""
        self.runs += 1
        out = os.path.join(self.work, f"launch-{self.runs}.json")
        command = [self.args.launch, "--exe", winpath(exe), "--out", winpath(out),
                   "--temp", winpath(self.temp)]
        if watch:
            command += ["--watch", watch]
        if close:
            command += ["--close"]
        if self.held:
            command += ["--seen", winpath(self.seen)]
        if go:
            command += ["--go", winpath(go)]
        command += ["--", *args]
        reap_orphans()  # earlier runs' helpers: not this run's
        comm = os.path.basename(exe)[:15]
        server_before = cpu_seconds(self.wineserver)
        with ThreadClock(comm if threads else None) as clock, self._release_when_seen():
            self.wine(command, out + ".console",
                      {"WINEDEBUG": "+message"} if trace else None)
        server_cpu = cpu_seconds(self.wineserver) - server_before
        with open(out) as f:
            result = json.load(f)
        if result.get("code") != code:
            raise BenchError(f"{os.path.basename(exe)} ended other than with {code}: {result} "
                             f"(see {out})")
        usage = reap(comm)
        result.update(cpu_s=usage.ru_utime + usage.ru_stime + server_cpu,
                      process_cpu_s=usage.ru_utime + usage.ru_stime, server_cpu_s=server_cpu,
                      peak_kib=usage.ru_maxrss, console=out + ".console")
        if threads:
            result.update(ui_cpu_s=clock.main_thread, worker_cpu_s=clock.other_threads)
        return result

    @contextlib.contextmanager
    def _release_when_seen(self):
        """While a run goes on: the held server answers once launch.exe reports the window."""
        if not self.held:
            yield
            return
        if os.path.exists(self.seen):
            os.remove(self.seen)
        self.held.hold()
        done = threading.Event()

        def release():
            while not done.wait(0.005):
                if os.path.exists(self.seen):
                    self.held.resume()
                    return

        releaser = threading.Thread(target=release, daemon=True)
        releaser.start()
        try:
            yield
        finally:
            done.set()
            releaser.join(5)

    def curl(self, target):
        started = time.monotonic()
        with open(os.path.join(self.work, "curl.log"), "ab") as log:
            process = subprocess.Popen(
                ["curl", "--silent", "--show-error", "--fail", "--cacert",
                 os.path.join(self.root, "ca.pem"), "--output", target,
                 f"https://localhost:{self.port}{DOWNLOAD_PATH}"],
                stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            _, status, usage = os.wait4(process.pid, 0)
            process.returncode = os.waitstatus_to_exitcode(status)
        if process.returncode != 0:
            raise BenchError(f"curl failed ({process.returncode}); see {log.name}")
        return {"exit_ms": 1000 * (time.monotonic() - started),
                "cpu_s": usage.ru_utime + usage.ru_stime, "peak_kib": usage.ru_maxrss}


# -- the measurements ----------------------------------------------------------------------------

def interleave(gate, label, rounds, runs, run_one):
    """`rounds` rounds, each behind the quiet gate, of run_one(program) for every program in
    `runs` (program -> list of its runs, appended to), the order reversed every other round."""
    for index in range(rounds):
        with gate.round(f"{label} #{index + 1}"):
            order = list(runs) if index % 2 == 0 else list(reversed(runs))
            for program in order:
                runs[program].append(run_one(program))


def transfer_run(bench, program, size, watch):
    """One download of `size` bytes by `program` ("stub", "raw" or "curl")."""
    bench.clear_temp()
    if program == "stub":
        name = INSTALLER
        result = bench.launch(bench.args.stub, threads=True)
    elif program == "raw":
        name = "raw.bin"
        host = bench.args.host.rpartition(":")[0]
        result = bench.launch(bench.args.raw_fetch, host, str(bench.port), DOWNLOAD_PATH,
                              winpath(os.path.join(bench.temp, name)))
    else:
        name = "curl.bin"
        result = bench.curl(os.path.join(bench.temp, name))
    got = os.path.getsize(bench.stub_installer() if program == "stub"
                          else os.path.join(bench.temp, name))
    if got != size:
        raise BenchError(f"{program} downloaded {got} bytes of {size}")
    closed = watch.last_close(name)
    deadline = time.monotonic() + 5
    while closed is None and time.monotonic() < deadline:  # the watch may still be reading
        time.sleep(0.01)
        closed = watch.last_close(name)
    if closed is None:
        raise BenchError(f"no close of {name} was seen")
    result["transfer_s"] = closed - bench.last_request_time()
    result["mib_per_s"] = size / MiB / result["transfer_s"]
    bench.clear_temp()
    return result


def measure_transfers(bench, gate, config):
    """{size: {program: [run, ...]}}"""
    results = {}
    watch = CloseWatch(bench.temp)
    try:
        for size in config["transfer_sizes"]:
            bench.serve(body_file=bench.args.stand_in, pad_to=size)
            results[size] = {"stub": [], "raw": [], "curl": []}
            interleave(gate, f"transfer {size_name(size)}", rounds_for(config, "transfer", size),
                       results[size],
                       lambda program: transfer_run(bench, program, size, watch))
    finally:
        watch.stop()
        bench.stop_server()
    return results


def measure_startup(bench, gate, config):
    """{"stub": [run, ...], "bare": [...], "controls": [...]}: the stub downloads a 1 MiB
    installer; "controls" is the bare window with the stub's controls in it."""
    with open(bench.args.stand_in, "rb") as f:
        bench.serve_held(body=f.read(), pad_to=MiB)

    def run_one(program):
        bench.clear_temp()
        if program == "stub":
            return bench.launch(bench.args.stub, watch="window")
        extra = ["--controls"] if program == "controls" else []
        return bench.launch(bench.args.bare_window, *extra, watch="window", close=True)

    runs = {"stub": [], "bare": [], "controls": []}
    try:
        interleave(gate, "start-up", rounds_for(config, "startup"), runs, run_one)
    finally:
        bench.stop_server()
    return runs


def signed_installer(bench, size, cert="publisher", crl_url=None):
    """The stand-in padded to `size` bytes and signed by the stub's signer; its path. `cert`
    names the signer's certificate, issued on first use; `crl_url`, the CRL address it names
    (None: no revocation address at all)."""
    keys = os.path.join(bench.work, "keys")
    if not os.path.exists(os.path.join(keys, cert + ".pem")):
        os.makedirs(keys, exist_ok=True)
        address = f"crlDistributionPoints = URI:{crl_url}\n" if crl_url else ""
        pinned = bench.args.signer_cert
        subject = test_env.read_subject(pinned) if pinned else None
        test_env.issue_code_signing_cert(keys, cert, bench.args.signer, bench.root,
                                         extra=address, subject=subject)
    unsigned = os.path.join(keys, f"installer-{cert}-{size}.exe")
    with open(bench.args.stand_in, "rb") as f:
        head = f.read()
    with open(unsigned, "wb") as f:
        f.write(head)
        written = len(head)
        while written < size:
            piece = pattern(written, min(4 * MiB, size - written))
            f.write(piece)
            written += len(piece)
    signed = unsigned + ".signed"
    test_env.sign_file(unsigned, signed, keys, cert)
    os.remove(unsigned)
    return signed


def hash_run(bench, api, path):
    bench.runs += 1
    out = os.path.join(bench.work, f"hash-{bench.runs}.json")
    bench.wine([bench.args.hash_file, api, winpath(path)], out)
    with open(out) as f:
        return json.load(f)


def check_run(bench, program, installer):
    """The signed stub's check of `installer` as served ("check"), or one hash of it ("bcrypt",
    "cryptoapi")."""
    bench.clear_temp()
    if program != "check":
        return hash_run(bench, program, installer)
    run = bench.launch(bench.args.signed_stub, watch="launch")
    if "launched_ms" not in run:
        raise BenchError(f"the signed stub started nothing: {run}")
    # From the check's start (Cancel disabled; the window stays while the file is checked) to
    # the installer's process existing.
    run["check_ms"] = run["launched_ms"] - run.get("checking_ms", run["gone_ms"])
    return run


def measure_checks(bench, gate, config):
    """{size: {"check": [run, ...], "bcrypt": [...], "cryptoapi": [...]}}"""
    results = {}
    for size in config["check_sizes"]:
        installer = signed_installer(bench, size)
        bench.serve_held(body_stream=installer)
        results[size] = {"check": [], "bcrypt": [], "cryptoapi": []}
        try:
            interleave(gate, f"check {size_name(size)}", rounds_for(config, "check", size),
                       results[size],
                       lambda program: check_run(bench, program, installer))
        finally:
            bench.stop_server()
            os.remove(installer)
        bench.clear_temp()
    return results


# The programs of the memory rows, each the one before with one more of the stub's parts:
# window_fetch.exe's flags (None: raw_fetch.exe), or the stub itself.
MEMORY_PROGRAMS = {
    "raw": None,
    "window": ["--window"],
    "controls": ["--controls"],
    "thread": ["--controls", "--thread"],
    "launch": ["--controls", "--thread", "--launch"],
    "stub": "unchecked",
    "signed": "signed",
}
MEMORY_STEPS = (("window", "raw", "+ the window"), ("controls", "window", "+ common controls"),
                ("thread", "controls", "+ a second thread"),
                ("launch", "thread", "+ the shell's launch"),
                ("stub", "launch", "+ the stub's own"), ("signed", "stub", "+ the signer check"))


def memory_run(bench, program):
    """The peak memory of one download of the signed installer served by `program` of
    MEMORY_PROGRAMS; each but the raw loop and the first window_fetch.exe ones starts it."""
    bench.clear_temp()
    flags = MEMORY_PROGRAMS[program]
    if flags in ("unchecked", "signed"):
        result = bench.launch(bench.args.stub if flags == "unchecked" else bench.args.signed_stub)
    else:
        host = bench.args.host.rpartition(":")[0]
        target = winpath(os.path.join(bench.temp, "fetched-setup.exe"))
        exe = bench.args.raw_fetch if flags is None else bench.args.window_fetch
        result = bench.launch(exe, *(flags or []), host, str(bench.port), DOWNLOAD_PATH, target)
    bench.clear_temp()
    return {"peak_kib": result["peak_kib"]}


def measure_memory(bench, gate, config):
    """{"size": bytes, program: [run, ...] for each of MEMORY_PROGRAMS}: one signed installer of
    the smallest transfer size (a peak barely grows with the size) downloaded by each."""
    size = config["transfer_sizes"][0]
    installer = signed_installer(bench, size)
    runs = {program: [] for program in MEMORY_PROGRAMS}
    try:
        bench.serve(body_stream=installer)
        interleave(gate, f"memory {size_name(size)}", rounds_for(config, "memory"), runs,
                   lambda program: memory_run(bench, program))
    finally:
        bench.stop_server()
        os.remove(installer)
        bench.clear_temp()
    return {"size": size, **runs}


CHECK_STEPS = (("step0_ms", "step 0, the carried chain"), ("verify_ms", "WinVerifyTrust"),
               ("rules_ms", "the chain rules"), ("pin_ms", "the pin"),
               ("revocation_ms", "revocation, no address"))


def check_steps_run(bench, program, installer):
    """check_steps.exe showing a window and downloading `installer` as the stub does, checking it
    step by step and starting it ("steps"), or one hash of it ("bcrypt")."""
    bench.clear_temp()
    if program == "bcrypt":
        return hash_run(bench, program, installer)
    bench.runs += 1
    out = os.path.join(bench.work, f"steps-{bench.runs}.json")
    target = winpath(os.path.join(bench.temp, "steps-setup.exe"))
    command = [bench.args.check_steps, "--window", "--fetch", bench.args.host.rpartition(":")[0],
               str(bench.port), DOWNLOAD_PATH, "--launch", target, bench.args.signer]
    if bench.args.signer_cert:
        command.append(winpath(bench.args.signer_cert))
    bench.wine(command, out)
    with open(out) as f:
        result = json.load(f)
    bench.clear_temp()
    return result


def measure_check_steps(bench, gate, config):
    """{"size": bytes, "steps": [run, ...], "bcrypt": [...]}: the signer check's steps, timed one
    by one by check_steps.exe, on a signed installer of the smallest check size, against one
    hash of the same file."""
    size = config["check_sizes"][0]
    installer = signed_installer(bench, size)
    runs = {"steps": [], "bcrypt": []}
    try:
        bench.serve(body_stream=installer)
        interleave(gate, f"check steps {size_name(size)}", rounds_for(config, "steps"), runs,
                   lambda program: check_steps_run(bench, program, installer))
    finally:
        bench.stop_server()
        os.remove(installer)
        bench.clear_temp()
    return {"size": size, **runs}


def revocation_installers(bench, servers, size, rounds):
    """The installers of the revocation rows, each signed by a certificate of its own: "none"
    names no revocation address; "crls", "refused" and "silent" hold one per round, each naming
    a CRL address on that server that nothing has asked for yet (wine keeps what it fetched in
    the prefix, by address). The CRLs are published by the code-signing CA and list nobody."""
    installers = {"none": signed_installer(bench, size, "no-address")}
    crl = test_env.make_crl(bench.root, test_env.CODE_SIGNING_CA)
    for where in ("crls", "refused", "silent"):
        installers[where] = []
        for index in range(rounds):
            name = f"{where}-round-{index + 1}"
            if where == "crls":
                servers.publish(name, crl)
            installers[where].append(
                signed_installer(bench, size, name, servers.url(where, name)))
    return installers


def revocation_run(bench, servers, installer):
    """The signed stub's check of `installer`, with "crl_fetches": the CRL server's requests
    during the run, and "silent_connections": the silent server's."""
    bench.held.default = Response(hold=True, body_stream=installer)
    fetches, connections = len(servers.fetched()), servers.silent.connections
    run = check_run(bench, "check", installer)
    run.update(crl_fetches=len(servers.fetched()) - fetches,
               silent_connections=servers.silent.connections - connections)
    return run


def measure_revocation(bench, gate, config):
    """{"size": bytes, "none": [run, ...], "first": [...], "cached": [...], "refused": [...],
    "silent": [...]}: the signer check with its revocation step, on installers of the smallest
    check size. "first" and "cached" run back to back in a round, on the same fresh address:
    the first fetch of a CRL, then the same CRL again."""
    size, rounds = config["check_sizes"][0], rounds_for(config, "revocation")
    servers = RevocationServers()
    try:
        installers = revocation_installers(bench, servers, size, rounds)
        fresh = {where: iter(installers[where]) for where in ("crls", "refused", "silent")}

        def run_one(program):
            if program == "none":
                return revocation_run(bench, servers, installers["none"])
            if program != "reachable":
                return revocation_run(bench, servers, next(fresh[program]))
            installer = next(fresh["crls"])
            first = revocation_run(bench, servers, installer)
            if first["crl_fetches"] == 0:
                raise BenchError(f"the stub fetched no CRL from an address new to it: {first}")
            return first, revocation_run(bench, servers, installer)

        bench.serve_held(body_stream=installers["none"])
        units = {"none": [], "reachable": [], "refused": [], "silent": []}
        try:
            interleave(gate, f"revocation {size_name(size)}", rounds, units, run_one)
        finally:
            bench.stop_server()
            for path in [installers["none"], *installers["crls"], *installers["refused"],
                         *installers["silent"]]:
                os.remove(path)
    finally:
        servers.stop()
        bench.clear_temp()
    return {"size": size, "none": units["none"],
            "first": [first for first, _ in units["reachable"]],
            "cached": [cached for _, cached in units["reachable"]],
            "refused": units["refused"], "silent": units["silent"]}


def cancel_servers(bench, phase, on_event):
    """The servers of one Cancel phase, on_event getting the events of the one whose event marks
    the phase; each holds what comes next until it is stopped."""
    with open(bench.args.stand_in, "rb") as f:
        body = f.read()
    if phase == "body flowing":
        return [TestServer(bench.root, port=bench.port, on_event=on_event, body=body,
                           pad_to=64 * MiB, rate=4 * MiB)]
    if phase == "body stalled":
        return [TestServer(bench.root, port=bench.port, on_event=on_event, body=body,
                           pad_to=8 * MiB, stall_after=MiB)]
    if phase == "headers held":
        return [TestServer(bench.root, port=bench.port, on_event=on_event,
                           stall_before_headers=True)]
    if phase == "TLS never completes":
        return [TestServer(bench.root, port=bench.port, on_event=on_event, stall_handshake=True)]
    other = TestServer(bench.root, on_event=on_event, stall_handshake=True)
    return [other, TestServer(bench.root, port=bench.port,
                              redirect=f"https://localhost:{other.port}/files/setup.exe")]


def cancel_run(bench, phase):
    """One run of the stub with Cancel clicked in `phase`: launch.exe's times and
    "box_after_click_ms"."""
    bench.clear_temp()
    go = os.path.join(bench.work, "cancel-go")
    if os.path.exists(go):
        os.remove(go)
    wanted, settle = CANCEL_PHASES[phase]
    reached = threading.Event()
    servers = cancel_servers(bench, phase,
                             lambda event: event["event"] == wanted and reached.set())
    ended = threading.Event()

    def signal_phase():
        if reached.wait(RUN_TIMEOUT) and not ended.wait(settle):
            with open(go, "w") as f:
                f.write(phase + "\n")

    signaller = threading.Thread(target=signal_phase, daemon=True)
    signaller.start()
    try:
        run = bench.launch(bench.args.stub, watch="cancel", go=go, code=1)
    finally:
        ended.set()
        reached.set()
        signaller.join(5)
        for server in servers:
            server.stop()
        bench.clear_temp()
    if "box_ms" not in run:
        raise BenchError(f"no box after Cancel ({phase}): {run}")
    run["box_after_click_ms"] = run["box_ms"] - run["clicked_ms"]
    return run


def measure_cancels(bench, gate, config):
    """{phase: [run, ...]} for every phase of CANCEL_PHASES."""
    runs = {phase: [] for phase in CANCEL_PHASES}
    interleave(gate, "cancel", rounds_for(config, "cancel"), runs,
               lambda phase: cancel_run(bench, phase))
    return runs


# The user's settings of the first-request runs; "none" is the base: no proxy, nothing to find.
FIRST_REQUEST_ROWS = (("manual", "a manual proxy"), ("detect", "detection, no WPAD"),
                      ("script", "a script"))


def first_request_settings(kind, proxy, script):
    flags = {"none": DIRECT, "manual": DIRECT | MANUAL, "detect": DETECT, "script": SCRIPT}[kind]
    return user_settings(flags, proxy if kind == "manual" else "", "",
                         script if kind == "script" else "")


def measure_proxy(bench, gate, config):
    """{"size": bytes, "transfer": {"stub": [run, ...], "raw": [...]}, "first_request": {"none":
    [run, ...], "manual": [...], "detect": [...], "script": [...]}}: behind squid, which reaches
    the server on loopback. Each first-request run has "first_request_ms": from just before
    the launch to the request's arrival at the server."""
    size = config["proxy_size"]
    proxy = SquidServer(os.path.join(bench.work, "squid"), {"localhost": "127.0.0.1"})
    pac = TestServer(tls=False, routes={PAC_PATH: {
        "body": f"function FindProxyForURL(url, host) {{ return 'PROXY {proxy.address}'; }}"
                .encode()}})
    script = f"http://127.0.0.1:{pac.port}{PAC_PATH}"
    watch = CloseWatch(bench.temp)
    try:
        bench.set_proxy_settings(user=user_settings(DIRECT | MANUAL, proxy.address),
                                 machine=machine_settings(proxy.address))
        bench.serve(body_file=bench.args.stand_in, pad_to=size)
        transfer = {"stub": [], "raw": []}
        interleave(gate, f"proxy transfer {size_name(size)}", rounds_for(config, "proxy transfer"),
                   transfer,
                   lambda program: transfer_run(bench, program, size, watch))

        bench.serve(body_file=bench.args.stand_in, pad_to=FIRST_REQUEST_SIZE)

        def run_one(kind):
            bench.set_proxy_settings(user=first_request_settings(kind, proxy.address, script))
            bench.clear_temp()
            started = time.monotonic()
            result = bench.launch(bench.args.stub)
            result["first_request_ms"] = 1000 * (bench.last_request_time() - started)
            return result

        first = {"none": [], **{kind: [] for kind, _ in FIRST_REQUEST_ROWS}}
        interleave(gate, "proxy first request", rounds_for(config, "first request"), first,
                   run_one)
        if not proxy.requests():
            raise BenchError("squid saw no request: the runs did not go through the proxy")
    finally:
        watch.stop()
        bench.stop_server()
        bench.set_proxy_settings()
        pac.stop()
        proxy.stop()
        bench.clear_temp()
    return {"size": size, "transfer": transfer, "first_request": first}


def count_messages(bench, size):
    """Progress posts and label updates the stub's UI thread handles during one download of
    `size` bytes, from wine's +message trace (an untimed run: tracing slows it)."""
    bench.serve(body_file=bench.args.stand_in, pad_to=size)
    try:
        bench.clear_temp()
        run = bench.launch(bench.args.stub, trace=True)
    finally:
        bench.stop_server()
        bench.clear_temp()
    posts = updates = 0
    with open(run["console"] + ".err", errors="replace") as f:
        for line in f:
            if "spy_enter_message" not in line:
                continue
            posts += WM_APP_PROGRESS in line
            updates += WM_SETTEXT in line
    return {"size": size, "posts": posts, "label_updates": updates,
            "design": size // PROGRESS_STEP + 1}


# -- the report ----------------------------------------------------------------------------------

def spread(values, digits=2):
    """median [min–max]"""
    if not values:
        return "–"
    return (f"{median(values):.{digits}f} [{min(values):.{digits}f}–{max(values):.{digits}f}]")


def ratios(numerators, denominators):
    return [a / b for a, b in zip(numerators, denominators) if b]


def differences(values, bases):
    return [a - b for a, b in zip(values, bases)]


def median_interval(values, seed):
    """The median of `values` (one per round) and a CONFIDENCE interval for it: a percentile
    bootstrap over the rounds, its generator seeded with `seed` (the row's name), so the same
    rounds always give the same interval. (None, None, None) without values."""
    if not values:
        return None, None, None
    generator = random.Random(seed)
    medians = sorted(statistics.median(generator.choices(values, k=len(values)))
                     for _ in range(RESAMPLES))
    tail = (1 - CONFIDENCE) / 2
    return (median(values), medians[int(tail * RESAMPLES)],
            medians[int((1 - tail) * RESAMPLES) - 1])


def interval_text(interval, digits=2):
    middle, low, high = interval
    if middle is None:
        return "–"
    return f"{middle:.{digits}f} [{low:.{digits}f}–{high:.{digits}f}]"


def verdict(interval, goal, at_least, decide):
    """"met" when the whole interval is on the goal's side, "missed" when it is wholly on the
    other, "undecided" when it spans the goal; nothing decided in a quick run."""
    _, low, high = interval
    if not decide:
        return "(quick run)"
    if low is None:
        return "–"
    good, bad = (low >= goal, high < goal) if at_least else (high <= goal, low > goal)
    return "met" if good else "**missed**" if bad else "undecided"


class Table:
    """The table's rows, as (row id, cells): what the stub measured, the platform's limit, the
    ratio's median and interval, the rounds, the goal and the verdict."""

    def __init__(self, decide):
        self.decide = decide
        self.rows = []

    def add(self, row_id, stub, limit, ratio="", rounds="", goal="", judged=""):
        self.rows.append((row_id, [stub, limit, ratio, str(rounds), goal, judged]))

    def ratio(self, row_id, stub, limit, per_round, goal=None, at_least=False, digits=2):
        """A row whose figure is the median of the rounds' ratios (or differences), with its
        interval, judged against `goal` when there is one."""
        interval = median_interval(per_round, row_id)
        goal_text = judged = ""
        if goal is not None:
            goal_text = f"{'≥' if at_least else '≤'} {goal}"
            judged = verdict(interval, goal, at_least, self.decide)
        self.add(row_id, stub, limit, interval_text(interval, digits), len(per_round), goal_text,
                 judged)


def transfer_rows(table, transfers, sizes):
    for size in sizes:
        runs = transfers[size]
        speed = {p: [r["mib_per_s"] for r in runs[p]] for p in runs}
        table.ratio(f"transfer {size_name(size)}", f"{spread(speed['stub'], 0)} MiB/s",
                    f"{spread(speed['raw'], 0)} MiB/s", ratios(speed["stub"], speed["raw"]),
                    GOALS["transfer"], at_least=True)
        table.ratio(f"curl {size_name(size)}", f"{spread(speed['curl'], 0)} MiB/s",
                    f"{spread(speed['raw'], 0)} MiB/s", ratios(speed["curl"], speed["raw"]))
        table.rows[-1][1][4] = "outside reference"
        whole = {p: [r["exit_ms"] / 1000 for r in runs[p]] for p in runs}
        table.ratio(f"whole run {size_name(size)}", f"{spread(whole['stub'])} s",
                    f"{spread(whole['raw'])} s", ratios(whole["stub"], whole["raw"]))


def cpu_rows(table, transfers, sizes):
    """CPU per GiB is the marginal cost: each round of the largest size less the median of the
    smallest's (1.5 % of it at the full sizes), per GiB between them."""
    small, large = transfers[sizes[0]], transfers[sizes[-1]]
    marginal_gib = (sizes[-1] - sizes[0]) / GiB

    def per_gib(program, key):
        base = median([r[key] for r in small[program]])
        return [(r[key] - base) / marginal_gib for r in large[program]]

    for size in (sizes[0], sizes[-1]):
        runs = transfers[size]
        cpu = {p: [r["cpu_s"] for r in runs[p]] for p in ("stub", "raw")}
        table.ratio(f"cpu {size_name(size)}", f"{spread(cpu['stub'])} s",
                    f"{spread(cpu['raw'])} s", ratios(cpu["stub"], cpu["raw"]))
    stub, raw = per_gib("stub", "cpu_s"), per_gib("raw", "cpu_s")
    table.ratio("cpu per GiB", f"{spread(stub)} s", f"{spread(raw)} s", ratios(stub, raw),
                GOALS["cpu"])
    process = per_gib("raw", "process_cpu_s")
    worker = per_gib("stub", "worker_cpu_s")
    table.ratio("cpu per GiB, download thread", f"{spread(worker)} s",
                f"{spread(process)} s (process)", ratios(worker, process))
    ui = per_gib("stub", "ui_cpu_s")
    per_post = 1000 * median(ui) * PROGRESS_STEP / GiB
    table.add("cpu per GiB, UI thread", f"{spread(ui)} s ({per_post:.2f} ms per progress post)",
              "", "", len(ui))


def memory_growth_rows(table, transfers, sizes):
    small, large = sizes[0], sizes[-1]
    peak = {p: {s: [r["peak_kib"] / 1024 for r in transfers[s][p]] for s in (small, large)}
            for p in ("stub", "raw")}
    for size in (small, large):
        table.ratio(f"peak memory {size_name(size)}", f"{spread(peak['stub'][size], 1)} MiB",
                    f"{spread(peak['raw'][size], 1)} MiB",
                    ratios(peak["stub"][size], peak["raw"][size]))
    growth = {p: [value / median(peak[p][small]) for value in peak[p][large]] for p in peak}
    table.ratio(f"memory growth {size_name(large)} / {size_name(small)}",
                f"{spread(growth['stub'], 3)}", f"{spread(growth['raw'], 3)} (raw loop's own)",
                growth["stub"], GOALS["memory"], digits=3)
    table.rows[-1][1][4] = f"≤ {GOALS['memory']} (the stub's own)"


def memory_row_ids(size):
    return ([f"peak memory {size_name(size)}, stub / the raw loop in the stub's shape"] +
            [f"peak memory {size_name(size)}, {label}" for _, _, label in MEMORY_STEPS])


def memory_rows(table, memory):
    """The stub against the raw loop with its window, controls, thread and launch (like with
    like), and what each part adds, as the median of the rounds' differences."""
    peak = {p: [r["peak_kib"] / 1024 for r in memory[p]] for p in MEMORY_PROGRAMS}
    first, *steps = memory_row_ids(memory["size"])
    table.ratio(first, f"{spread(peak['stub'], 1)} MiB",
                f"{spread(peak['launch'], 1)} MiB (window, controls, thread, launch; raw loop "
                f"alone {median(peak['raw']):.1f})", ratios(peak["stub"], peak["launch"]))
    for row_id, (program, base, _) in zip(steps, MEMORY_STEPS):
        table.ratio(row_id, f"{spread(peak[program], 1)} MiB ({program})",
                    f"{spread(peak[base], 1)} MiB ({base})",
                    differences(peak[program], peak[base]), digits=1)
        table.rows[-1][1][2] += " MiB"


def startup_rows(table, startup):
    shown = {p: [r["shown_ms"] for r in startup[p]] for p in startup}
    table.ratio("window shown", f"{spread(shown['stub'], 0)} ms", f"{spread(shown['bare'], 0)} ms",
                ratios(shown["stub"], shown["bare"]), GOALS["startup"])
    table.ratio("window shown, same controls", f"{spread(shown['stub'], 0)} ms",
                f"{spread(shown['controls'], 0)} ms", ratios(shown["stub"], shown["controls"]))


def check_rows(table, checks, sizes):
    for size in sizes:
        runs = checks[size]
        check = [r["check_ms"] for r in runs["check"]]
        one_hash = [r["ms"] for r in runs["bcrypt"]]
        table.ratio(f"signer check {size_name(size)}", f"{spread(check, 0)} ms",
                    f"{spread(one_hash, 0)} ms (BCrypt)", ratios(check, one_hash), GOALS["check"])
        cryptoapi = [r["ms"] for r in runs["cryptoapi"]]
        table.ratio(f"CryptoAPI hash {size_name(size)}", f"{spread(check, 0)} ms",
                    f"{spread(cryptoapi, 0)} ms (CryptoAPI)", ratios(check, cryptoapi))
    small, large = sizes[0], sizes[-1]
    marginal_mib = (large - small) / MiB

    def ms_per_mib(key, field):
        return (median([r[field] for r in checks[large][key]]) -
                median([r[field] for r in checks[small][key]])) / marginal_mib

    check_slope = ms_per_mib("check", "check_ms")
    hash_slope = {api: ms_per_mib(api, "ms") for api in ("bcrypt", "cryptoapi")}
    table.add("signer check per MiB", f"{check_slope:.2f} ms",
              f"{hash_slope['bcrypt']:.2f} ms (BCrypt), {hash_slope['cryptoapi']:.2f} ms "
              "(CryptoAPI)", f"{check_slope / hash_slope['bcrypt']:.2f} (BCrypt), "
              f"{check_slope / hash_slope['cryptoapi']:.2f} (CryptoAPI)")


def check_step_row_ids(size):
    return ([f"check steps {size_name(size)}, {label}" for _, label in CHECK_STEPS] +
            [f"check steps {size_name(size)}, revocation's thread",
             f"check steps {size_name(size)}, revocation's chain",
             f"check steps {size_name(size)}, DLLs loaded",
             f"check steps {size_name(size)}, the program's own",
             f"check steps {size_name(size)}, the shell's launch"])


def check_step_rows(table, steps):
    """Each step's time in the first pass (what the stub pays) as a share of one hash, the second
    pass in the same process beside it (the step's own work, the platform's first use gone)."""
    runs = steps["steps"]
    one_hash = [r["ms"] for r in steps["bcrypt"]]
    first = [r["passes"][0] for r in runs]
    second = [r["passes"][1] for r in runs]
    ids = check_step_row_ids(steps["size"])
    for row_id, (key, _) in zip(ids, CHECK_STEPS):
        times = [p[key] for p in first]
        table.ratio(row_id, f"{spread(times, 1)} ms (again: {spread([p[key] for p in second], 1)})",
                    f"{spread(one_hash, 0)} ms (one hash)", ratios(times, one_hash))
    for row_id, key, what in ((ids[-5], "thread_ms", "a thread started and waited for"),
                              (ids[-4], "chain_ms", "the chain with revocation checked")):
        times = [r["revocation_parts"][key] for r in runs]
        table.ratio(row_id, f"{spread(times, 1)} ms ({what}, warm)",
                    f"{spread(one_hash, 0)} ms (one hash)", ratios(times, one_hash))
    loaded = [r["load_ms"] for r in runs]
    table.ratio(ids[-3], f"{spread(loaded, 1)} ms (crypt32, wintrust)",
                f"{spread(one_hash, 0)} ms (one hash)", ratios(loaded, one_hash))
    own_keys = ("step0_ms", "rules_ms", "pin_ms", "revocation_ms")
    own = [sum(p[key] for key in own_keys) for p in first]
    table.ratio(ids[-2], f"{spread(own, 1)} ms (all but WinVerifyTrust)",
                f"{spread(one_hash, 0)} ms (one hash)", ratios(own, one_hash))
    launch = [r["launch_ms"] for r in runs]
    table.ratio(ids[-1], f"{spread(launch, 1)} ms (ShellExecuteW)",
                f"{spread(one_hash, 0)} ms (one hash)", ratios(launch, one_hash))


REVOCATION_BUDGET_MS = 3000  # the stub's bound on its revocation step
REVOCATION_ROWS = (("first", "CRL reachable, first fetch"), ("cached", "CRL reachable, cached"),
                   ("refused", "CRL server refusing"), ("silent", "CRL server silent"))


def revocation_row_id(label, size):
    return f"revocation, {label} {size_name(size)}"


def revocation_rows(table, revocation):
    """Each revocation case against the check of a signer that names no revocation address (what
    the check cost before it asked about revocation), both within each round: the time and the
    median of the rounds' differences with its interval. A silent server may cost the budget, no
    more."""
    none = [r["check_ms"] for r in revocation["none"]]
    for key, label in REVOCATION_ROWS:
        check = [r["check_ms"] for r in revocation[key]]
        note = ""
        if key in ("first", "cached"):
            count = median([r["crl_fetches"] for r in revocation[key]])
            note = f" ({count:g} CRL fetch{'' if count == 1 else 'es'})"
        if key == "silent":  # the engine's and the stub's own, when both ask in the budget
            count = median([r["silent_connections"] for r in revocation[key]])
            note = f" ({count:g} connection{'' if count == 1 else 's'})"
        row_id = revocation_row_id(label, revocation["size"])
        goal = REVOCATION_BUDGET_MS if key == "silent" else None
        table.ratio(row_id, f"{spread(check, 0)} ms{note}", f"{spread(none, 0)} ms (no address)",
                    differences(check, none), goal, digits=0)
        table.rows[-1][1][2] += f" ms added; ratio {interval_text(median_interval(ratios(check, none), row_id))}"
        if goal is not None:
            table.rows[-1][1][4] = f"≤ no address + {REVOCATION_BUDGET_MS} ms"


def cancel_row_id(phase):
    return f"cancel to box, {phase}"


def cancel_rows(table, cancel):
    """Click to box in each phase: the median's interval and the worst round within
    CANCEL_LIMIT_MS; the ratio to the body flowing is information."""
    phases = list(CANCEL_PHASES)
    times = {phase: [r["box_after_click_ms"] for r in cancel[phase]] for phase in phases}
    reference = times[phases[0]]
    for phase in phases:
        row_id = cancel_row_id(phase)
        interval = median_interval(times[phase], row_id)
        judged = verdict(interval, CANCEL_LIMIT_MS, False, table.decide)
        if judged == "met" and max(times[phase]) > CANCEL_LIMIT_MS:
            judged = "**missed** (worst round)"
        against = "(the reference)" if phase == phases[0] else \
            f"{spread(reference, 0)} ms (body flowing)"
        relative = "" if phase == phases[0] else \
            "; ratio " + interval_text(median_interval(ratios(times[phase], reference), row_id))
        table.add(row_id, f"{spread(times[phase], 0)} ms", against,
                  interval_text(interval, 0) + " ms" + relative, len(times[phase]),
                  f"≤ {CANCEL_LIMIT_MS} ms, median and worst round", judged)


def proxy_rows(table, results):
    """The transfer through the proxy against the raw loop through it; the time to the first
    request with each kind of setting against the base, as the rounds' differences."""
    size = results["size"]
    speed = {p: [r["mib_per_s"] for r in results["transfer"][p]] for p in ("stub", "raw")}
    table.ratio(f"proxy transfer {size_name(size)}", f"{spread(speed['stub'], 0)} MiB/s",
                f"{spread(speed['raw'], 0)} MiB/s (same proxy)",
                ratios(speed["stub"], speed["raw"]), GOALS["proxy"], at_least=True)
    first = {k: [r["first_request_ms"] for r in v] for k, v in results["first_request"].items()}
    for kind, label in FIRST_REQUEST_ROWS:
        table.ratio(f"first request, {label}", f"{spread(first[kind], 0)} ms",
                    f"{spread(first['none'], 0)} ms (no proxy)",
                    differences(first[kind], first["none"]), digits=0)
        table.rows[-1][1][2] += " ms added"


def within_design(messages, key):
    """A post per 2 MiB received and one at the end, at most; each post one label update.
    Reads that straddle a 2 MiB mark may make it fewer, never more."""
    return 1 <= messages[key] <= messages["design"]


def summarize(results):
    """The table's rows, as (row id, cells) in order, for the measurements that ran."""
    config = results["config"]
    table = Table(decide=not config["quick"])
    sizes = config["transfer_sizes"]
    if "transfer" in results:
        transfer_rows(table, results["transfer"], sizes)
        cpu_rows(table, results["transfer"], sizes)
        memory_growth_rows(table, results["transfer"], sizes)
    if "memory" in results:
        memory_rows(table, results["memory"])
    if "startup" in results:
        startup_rows(table, results["startup"])
    if "check" in results:
        check_rows(table, results["check"], config["check_sizes"])
    if "steps" in results:
        check_step_rows(table, results["steps"])
    if "revocation" in results:
        revocation_rows(table, results["revocation"])
    if "cancel" in results:
        cancel_rows(table, results["cancel"])
    if "proxy" in results:
        proxy_rows(table, results["proxy"])
    if "messages" in results:
        messages = results["messages"]
        for name, key in (("progress posts", "posts"), ("label updates", "label_updates")):
            table.add(f"{name} {size_name(messages['size'])}", str(messages[key]),
                      f"{messages['design']} by design", "", 1, f"≤ {messages['design']}",
                      "met" if within_design(messages, key) else "**missed**")
    sizes_bytes = results["exe_size"]
    table.add("exe size with signer", f"{sizes_bytes['with_signer']:,} bytes", "")
    table.add("exe size without signer", f"{sizes_bytes['without_signer']:,} bytes", "")
    return table.rows


def expected_row_ids(config):
    """Every row the measurements in config["measurements"] give."""
    measured = config["measurements"]
    ids = []
    small, large = config["transfer_sizes"][0], config["transfer_sizes"][-1]
    if "transfer" in measured:
        for size in config["transfer_sizes"]:
            ids += [f"transfer {size_name(size)}", f"curl {size_name(size)}",
                    f"whole run {size_name(size)}"]
        ids += [f"cpu {size_name(small)}", f"cpu {size_name(large)}", "cpu per GiB",
                "cpu per GiB, download thread", "cpu per GiB, UI thread",
                f"peak memory {size_name(small)}", f"peak memory {size_name(large)}",
                f"memory growth {size_name(large)} / {size_name(small)}"]
    if "memory" in measured:
        ids += memory_row_ids(small)
    if "startup" in measured:
        ids += ["window shown", "window shown, same controls"]
    if "check" in measured:
        for size in config["check_sizes"]:
            ids += [f"signer check {size_name(size)}", f"CryptoAPI hash {size_name(size)}"]
        ids.append("signer check per MiB")
    if "steps" in measured:
        ids += check_step_row_ids(config["check_sizes"][0])
    if "revocation" in measured:
        ids += [revocation_row_id(label, config["check_sizes"][0]) for _, label in REVOCATION_ROWS]
    if "cancel" in measured:
        ids += [cancel_row_id(phase) for phase in CANCEL_PHASES]
    if "proxy" in measured:
        ids.append(f"proxy transfer {size_name(config['proxy_size'])}")
        ids += [f"first request, {label}" for _, label in FIRST_REQUEST_ROWS]
    if "messages" in measured:
        ids += [f"progress posts {size_name(large)}", f"label updates {size_name(large)}"]
    ids += ["exe size with signer", "exe size without signer"]
    return ids


TABLE_HEAD = ("| measure | vorn-installer | platform limit | median of the rounds [95 % interval] "
              "| rounds | goal | verdict |\n|---|---|---|---|---|---|---|\n")


def rounds_text(config):
    if config["quick"]:
        return f"{QUICK_ROUNDS} rounds per row (a quick run: it shows every row runs and decides "\
               "nothing)"
    if config["rounds"] is not None:
        return f"{config['rounds']} rounds per row"
    return "rounds per row as the table says"


def markdown(results, rows):
    config = results["config"]
    lines = ["# vorn-installer benchmark", "",
             f"Measured {results['date']} on {results['machine']}, commit {results['commit']}, "
             f"{results['wine']}; {rounds_text(config)}, programs alternating; "
             f"{results['duration_s'] / 60:.0f} min in all, {results['waited_s']:.0f} s of it "
             "waiting for a quiet machine.", "",
             "![Ratios to the platform's limit, and times](benchmark.png)", "",
             TABLE_HEAD.rstrip("\n")]
    lines += [f"| {row_id} | " + " | ".join(cells) + " |" for row_id, cells in rows]
    lines += ["", "Verdicts: the figure is the median of the rounds' ratios (each taken within "
              "one round), or of their differences where the row says ms or MiB; its interval a "
              f"{CONFIDENCE:.0%} percentile bootstrap over the rounds ({RESAMPLES} resamples, "
              "seeded by the row's name, so the same rounds always give the same interval). "
              "**met**: the whole interval is on the goal's side; **missed**: wholly on the other; "
              "**undecided**: it spans the goal, and more rounds would tell. Cancel: the median's "
              f"interval and the worst round both within {CANCEL_LIMIT_MS} ms; its ratio to the "
              "body flowing is information. "
              "Platform limit: raw_fetch.exe for transfers, CPU and memory (curl: native, "
              "outside wine); bare_window.exe for start-up; one SHA-256 of the file by "
              "hash_file.exe for the signer check (same controls: the bare window holding the "
              "stub's progress bar, label and button). Transfer: request's arrival at the server "
              "to the file's close; whole run: process start to exit. CPU: the process plus the "
              "wineserver; per GiB: each round of the largest size less the smallest's median. "
              "Per MiB: largest size minus smallest, "
              "divided by the MiB between them (what each further MiB costs). Memory in the "
              "stub's shape: window_fetch.exe, the raw loop with the stub's window, its controls, "
              "the loop on a second thread and the file started through the shell, each row "
              "adding one part (the median of the rounds' differences); the stub's own is what "
              "the stub holds beyond all that, the signer check what the signed stub holds beyond "
              "the unchecked one. Check steps: check_steps.exe, the stub's src/trust code timed "
              "step by step after a download as the stub's (first pass; again: the same steps "
              "repeated in the process). Revocation: the "
              "signer check of the smallest installer whose signer names a CRL address, against "
              "the same check of a signer that names none (nothing to fetch: the check's cost "
              "before it asked about revocation); a first fetch at an address never fetched "
              "before, then the same again (wine keeps fetched CRLs in the prefix), a server that "
              "refuses connections and one that never answers (the stub waits "
              f"{REVOCATION_BUDGET_MS} ms at most). Cancel: the click on Cancel to its message "
              "box, timed inside wine by launch.exe, in each phase of a download; each phase's "
              "server holds what comes next until the run is over. "
              "Proxy: squid on loopback; the transfer as above, the raw "
              "loop set to the same proxy as the machine's; first request: from the stub's "
              "launch to its request's arrival at the server, with the user's settings naming a "
              "manual proxy, detection (no WPAD on this network), or a script naming the proxy, "
              "against settings that say no proxy (nothing to discover).", "",
              "## Load per round (busy cores: start → end; waited)", "",
              "| round | busy cores | load average | waited |", "|---|---|---|---|"]
    for r in results["rounds"]:
        lines.append(f"| {r['round']} | {r['load_start']} → {r['load_end']} | "
                     f"{r['loadavg_start']:.2f} → {r['loadavg_end']:.2f} | {r['waited_s']} s |")
    return "\n".join(lines) + "\n"


def missing_rows(table_text, config):
    present = {line.split("|")[1].strip() for line in table_text.splitlines()
               if line.startswith("| ")}
    return [row for row in expected_row_ids(config) if row not in present]


def chart(results, rows, path):
    """A PNG with gnuplot: every ratio against its goal, check and start-up times. None when
    gnuplot is missing."""
    gnuplot = shutil.which("gnuplot")
    if not gnuplot:
        return None
    folder = os.path.dirname(path)
    data = os.path.join(folder, "chart-ratios.dat")
    with open(data, "w") as f:
        for row_id, cells in rows:
            if row_id.startswith(("revocation", "cancel")):
                continue  # against the stub itself, not the platform
            ratio, goal = cells[2].split()[:1], cells[4].split()[1:2]
            try:
                f.write(f'"{row_id}" {float(ratio[0])} {float(goal[0])}\n')
            except (IndexError, ValueError):
                continue  # a row without a goal, or a figure that could not be taken
    times = os.path.join(folder, "chart-times.dat")
    with open(times, "w") as f:
        for size, runs in results.get("check", {}).items():
            f.write(f'"check {size_name(int(size))}" '
                    f'{median([r["check_ms"] for r in runs["check"]]):.1f} '
                    f'{median([r["ms"] for r in runs["bcrypt"]]):.1f} '
                    f'{median([r["ms"] for r in runs["cryptoapi"]]):.1f}\n')
        if "startup" in results:
            startup = results["startup"]
            f.write(f'"window shown" {median([r["shown_ms"] for r in startup["stub"]]):.1f} '
                    f'{median([r["shown_ms"] for r in startup["bare"]]):.1f} NaN\n')
    if not (os.path.getsize(data) and os.path.getsize(times)):
        return None  # a partial run (--only) without the rows the chart shows
    script = f"""
set terminal pngcairo size 1200,560 font ",10"
set output "{path}"
set multiplot layout 1,2 title "vorn-installer against the platform, {results['date']}"
set style data histograms
set style fill solid 0.8 border -1
set boxwidth 0.8
set xtics rotate by -35 left
set grid ytics
set title "stub / platform limit (median of rounds); goals as dots"
set key top left
set yrange [0:*]
plot "{data}" using 2:xtic(1) title "ratio" lc rgb "#3b7dd8", \\
     "" using 0:3 with points pt 7 ps 1.2 lc rgb "#d83b3b" title "goal"
set title "times (median, ms)"
set logscale y
set yrange [*:*]
plot "{times}" using 2:xtic(1) title "stub: check / window" lc rgb "#3b7dd8", \\
     "" using 3 title "one hash (BCrypt) / bare window" lc rgb "#8fbf5a", \\
     "" using 4 title "one hash (CryptoAPI)" lc rgb "#e0a040"
unset multiplot
"""
    script_path = os.path.join(folder, "chart.gp")
    with open(script_path, "w") as f:
        f.write(script)
    subprocess.run([gnuplot, script_path], check=True, timeout=60,
                   stdin=subprocess.DEVNULL)
    return path


# -- main ----------------------------------------------------------------------------------------

def describe_machine():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            model = next(l.split(":", 1)[1].strip() for l in f if l.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return f"{model}, {os.cpu_count()} cores, Linux {platform.release()}"


def command_output(args):
    try:
        return subprocess.run(args, capture_output=True, text=True, timeout=30,
                              cwd=HERE).stdout.strip()
    except OSError:
        return "?"


def run(args):
    config = dict(QUICK if args.quick else FULL)
    for name in ("transfer_sizes", "check_sizes"):
        if getattr(args, name):
            config[name] = tuple(sorted(mib * MiB for mib in getattr(args, name)))
    config["quick"] = args.quick
    config["rounds"] = args.rounds or (QUICK_ROUNDS if args.quick else None)
    config["measurements"] = args.only or list(MEASUREMENTS)
    gate = QuietGate(args.max_load, 0 if args.quick else args.wait_budget)
    bench = Bench(args)
    results = {"config": config, "date": datetime.date.today().isoformat(),
               "machine": describe_machine(), "wine": command_output(["wine", "--version"]),
               "commit": command_output(["git", "describe", "--always", "--dirty"])}
    steps = {"startup": measure_startup, "transfer": measure_transfers, "memory": measure_memory,
             "check": measure_checks, "steps": measure_check_steps,
             "revocation": measure_revocation, "cancel": measure_cancels, "proxy": measure_proxy,
             "messages": lambda bench, gate, config: count_messages(
                 bench, config["transfer_sizes"][-1])}
    started = time.monotonic()
    try:
        bench.start()
        for name in MEASUREMENTS:
            if name in config["measurements"]:
                results[name] = steps[name](bench, gate, config)
    finally:
        bench.stop()
    results["duration_s"] = round(time.monotonic() - started)
    results["exe_size"] = {"with_signer": os.path.getsize(args.signed_stub),
                           "without_signer": os.path.getsize(args.stub)}
    results["rounds"] = gate.rounds
    results["waited_s"] = round(gate.waited, 1)
    return results


def report(results, out):
    rows = summarize(results)
    table = markdown(results, rows)
    with open(os.path.join(out, "benchmark.md"), "w") as f:
        f.write(table)
    with open(os.path.join(out, "results.json"), "w") as f:
        json.dump(results, f, indent=1, default=str)
    png = chart(results, rows, os.path.join(out, "benchmark.png"))
    return table, png


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    for name in ("stub", "signed-stub", "stand-in", "add-root-cert", "launch", "raw-fetch",
                 "bare-window", "hash-file", "check-steps", "window-fetch"):
        parser.add_argument(f"--{name}", required=True)
    parser.add_argument("--signer", required=True, help="the installer signer of --signed-stub")
    parser.add_argument("--signer-cert", default="",
                        help="the certificate whose subject --signed-stub pins; empty: none")
    parser.add_argument("--host", required=True, help="localhost:PORT, compiled into the stubs")
    parser.add_argument("--out", required=True, help="folder for the results")
    parser.add_argument("--quick", action="store_true",
                        help="small sizes, two rounds, no waiting; checks the table's rows")
    parser.add_argument("--rounds", type=int,
                        help="rounds of every row (default: each row's own, bench.py's ROUNDS; "
                             "quick: 2)")
    parser.add_argument("--only", nargs="+", choices=MEASUREMENTS, metavar="MEASUREMENT",
                        help="these measurements alone, in their usual order: "
                             + ", ".join(MEASUREMENTS))
    parser.add_argument("--transfer-sizes", type=int, nargs="+", metavar="MIB",
                        help="download sizes (default 16 256 1024; quick: 4 16)")
    parser.add_argument("--check-sizes", type=int, nargs="+", metavar="MIB",
                        help="signed installer sizes (default 8 64 512; quick: 2 8)")
    parser.add_argument("--max-load", type=float, default=0.5,
                        help="busy cores below which the machine counts as quiet (default 0.5)")
    parser.add_argument("--wait-budget", type=float, default=900,
                        help="seconds in all to wait for a quiet machine (default 900)")
    args = parser.parse_args(argv)
    for sizes in (args.transfer_sizes, args.check_sizes):
        if sizes and (len(sizes) < 2 or min(sizes) < 1):
            parser.error("give at least two sizes, each at least 1 MiB")
    if not args.signer:
        parser.error("--signer is empty: the signer check needs a stub that checks")
    os.makedirs(args.out, exist_ok=True)
    try:
        results = run(args)
    except (BenchError, test_env.SetupError, subprocess.SubprocessError, OSError) as e:
        print(f"bench: {e}", file=sys.stderr)
        return 1
    table, png = report(results, args.out)
    print(table)
    print(f"bench: {os.path.join(args.out, 'benchmark.md')}"
          + (f", {png}" if png else " (no chart: gnuplot is missing)"))
    missing = missing_rows(table, results["config"])
    if missing:
        print(f"bench: the table lacks rows: {', '.join(missing)}", file=sys.stderr)
        return 1
    for key in ("posts", "label_updates") if "messages" in results else ():
        if not within_design(results["messages"], key):
            print(f"bench: the UI thread got {results['messages'][key]} {key}, beyond the "
                  f"design's {results['messages']['design']}", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
