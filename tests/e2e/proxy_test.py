#!/usr/bin/python3
"""The shipping stub behind a real proxy: squid, started by the test as its own process on
loopback, in a network where only the proxy reaches the download host. The host's servers listen
on 127.0.0.2, which the name compiled into the stub ("localhost") never leads to: only squid,
whose hosts file maps the name there, finds them. A run that downloads therefore proves the
proxy was used, and one that goes direct fails ("WinHttpSendRequest 失败 (err=12029)").

The proxy settings are written into the test prefix as Windows keeps them: the user's in the
binary value DefaultConnectionSettings (HKCU), the machine's WinHTTP one in WinHttpSettings
(HKLM), and removed again when the test ends. Arguments: e2e_test.py's."""

import os
import socket
import subprocess

import e2e_test
from e2e_test import (BOX_THEN_EXIT, CONFIG, DOWNLOAD_TARGET, MiB, TO_THE_END, USER_AGENT,
                      WAIT_WINDOW, StubTest, winpath)
from https_server import TestServer
from nginx_server import NginxServer
from squid_server import (DETECT, DIRECT, MACHINE_SETTINGS, MANUAL, SCRIPT, USER_SETTINGS,
                          SquidServer, delete_args, machine_settings, setting_args, user_settings)

HIDDEN_HOST = "127.0.0.2"
REG_TIMEOUT = 60  # seconds for one `wine reg` (a cold wine start under load)
REG_ATTEMPTS = 3
MISSING_VALUE = "Unable to find the specified registry"  # key or value

UNREACHABLE = "WinHttpSendRequest 失败 (err=12029)"  # ERROR_WINHTTP_CANNOT_CONNECT
# wine reports a 407 to the tunnel's CONNECT as ERROR_WINHTTP_SECURE_CHANNEL_ERROR.
PROXY_LOGON_REFUSED = "WinHttpSendRequest 失败 (err=12157)"
CANCELLED = "用户已取消"
SOCKS_REFUSED = "不支持 SOCKS 代理服务器: {proxy}"

PAC_PATH = "/proxy.pac"
# How long the box stays open after a Cancel during the look-up, in ms: past the look-up's own
# limit (5 s), with room for a loaded machine, so that whatever would follow it had its chance.
LOOKUP_OUTLASTED = 12000
THROWING_SCRIPT = "function FindProxyForURL(url, host) { throw 'no proxy for you'; }"

RELEASE = "vorn-setup-2.0.0.exe"


def tunnel(port="{port}", status=200):
    return ("CONNECT", f"localhost:{port}", status)


# (what, the user's settings (flags, proxy, bypass, script; None: no value, the prefix's
# default, which is automatic detection), the machine's WinHTTP proxy (None: none), the proxy
# ("squid", "squid-basic": asking for Basic credentials, "refusing": a port nobody listens on),
# the script its address serves (None: no script server; "silent": one that takes the request and
# never answers), the download host ("python", "nginx"), the outcome ("start", "cancel" or the
# box), what the proxy logs (method, URL, status) and the outcome of the stub before it read the
# user's settings.
# "{proxy}" is the proxy's host:port, "{dead}" a loopback port that refuses connections, "{script}"
# the script's address, "{port}" the download host's port and "{b_port}" nginx's file host's.
ROWS = (
    ("none set (control)", (DIRECT,), None, "squid", None, "python", UNREACHABLE, []),
    ("the machine's WinHTTP proxy", (DIRECT,), "{proxy}", "squid", None, "python", "start",
     [tunnel()]),
    ("the user's manual proxy", (DIRECT | MANUAL, "{proxy}"), None, "squid", None, "python",
     "start", [tunnel()]),
    ("the manual proxy, the download host in its bypass list",
     (DIRECT | MANUAL, "{proxy}", "*.example.com;localhost"), None, "squid", None, "python",
     UNREACHABLE, []),
    ("the manual proxy, <local> in its bypass list",
     (DIRECT | MANUAL, "{proxy}", "<local>"), None, "squid", None, "python", UNREACHABLE, []),
    ("a script answering PROXY …; DIRECT", (DIRECT | SCRIPT, "", "", "{script}"), None, "squid",
     "function FindProxyForURL(url, host) { return 'PROXY {proxy}; DIRECT'; }", "python",
     "start", [tunnel()]),
    # wine answers a script with its first PROXY entry alone (measured: "127.0.0.1:DEAD" for this
    # one), so here the stub is given the dead proxy and nothing after it; Windows answers the
    # whole list, and the stub then goes on to squid (the order and the fall-over are rows of
    # transfer_test and proxy_test). What this row holds under wine: no way around the proxy.
    ("a script answering a dead proxy, then squid, then DIRECT (wine passes the first alone)",
     (DIRECT | SCRIPT, "", "", "{script}"), None, "squid",
     "function FindProxyForURL(url, host) { return 'PROXY {dead}; PROXY {proxy}; DIRECT'; }",
     "python", UNREACHABLE, []),
    ("a script answering DIRECT, the machine's proxy set", (DIRECT | SCRIPT, "", "", "{script}"),
     "{proxy}", "squid", "function FindProxyForURL(url, host) { return 'DIRECT'; }", "python",
     UNREACHABLE, []),
    ("a script that throws, a manual proxy set",
     (DIRECT | MANUAL | SCRIPT, "{proxy}", "", "{script}"), None, "squid", THROWING_SCRIPT,
     "python", "start", [tunnel()]),
    ("a script server that never answers, a manual proxy set",
     (DIRECT | MANUAL | SCRIPT, "{proxy}", "", "{script}"), None, "squid", "silent", "python",
     "start", [tunnel()]),
    ("detection with no WPAD (the prefix's default), the machine's proxy set", None, "{proxy}",
     "squid", None, "python", "start", [tunnel()]),
    ("detection with no WPAD, a manual proxy set", (DIRECT | MANUAL | DETECT, "{proxy}"), None,
     "squid", None, "python", "start", [tunnel()]),
    ("a proxy that refuses connections", (DIRECT | MANUAL, "{proxy}"), None, "refusing", None,
     "python", UNREACHABLE, []),
    ("a manual socks= proxy alone (squid's port)", (DIRECT | MANUAL, "socks={proxy}"), None,
     "squid", None, "python", SOCKS_REFUSED, []),
    ("a proxy that asks for credentials (Basic)", (DIRECT | MANUAL, "{proxy}"), None,
     "squid-basic", None, "python", PROXY_LOGON_REFUSED, [tunnel(status=407)]),
    ("Cancel during a download through the proxy", (DIRECT | MANUAL, "{proxy}"), None, "squid",
     None, "python", "cancel", [tunnel()]),
    # The look-up ends at its limit (5 s) while the box is open: nothing may follow it.
    ("Cancel while a script server that never answers is asked, a manual proxy set",
     (DIRECT | MANUAL | SCRIPT, "{proxy}", "", "{script}"), None, "squid", "silent", "python",
     "cancel in the look-up", []),
    ("the nginx reference configuration behind the proxy (A's 302 to B, both through it)",
     (DIRECT | MANUAL, "{proxy}"), None, "squid", None, "nginx", "start",
     [tunnel(), tunnel("{b_port}")]),
)


class RefusingPort:
    def __init__(self):
        self.socket = socket.socket()
        self.socket.bind(("127.0.0.1", 0))
        self.port = self.socket.getsockname()[1]

    def stop(self):
        self.socket.close()


class Proxy(StubTest):

    def setUp(self):
        super().setUp()
        # What other tests find in the shared prefix: no proxy settings of ours, however a row
        # ended. (The machine's setting also comes from http_proxy: not for this test.)
        self.addCleanup(self.clear_settings)
        self.clear_settings()

    def test_proxy_settings_as_windows_finds_them(self):
        # VORN_PROXY_ROWS="text|text": only the rows whose description holds one of them (to
        # compare builds row by row); it must name at least one.
        wanted = [w for w in os.environ.get("VORN_PROXY_ROWS", "").split("|") if w]
        rows = [row for row in ROWS if not wanted or any(w in row[0] for w in wanted)]
        self.assertTrue(rows, f"VORN_PROXY_ROWS={wanted} names no row")
        for (what, user, machine, proxy_kind, script, host, outcome, logged) in rows:
            with self.case(what):
                self.run_row(user, machine, proxy_kind, script, host, outcome, logged)

    def run_row(self, user, machine, proxy_kind, script, host, outcome, logged):
        proxy = self.start_proxy(proxy_kind)
        values = {"proxy": proxy.address if proxy else self.refusing_address(),
                  "dead": self.refusing_address(), "port": str(CONFIG.port)}
        outcome = outcome.format(**values)
        if script is not None:
            values["script"] = self.serve_script(script, values)
        self.write_settings(user, machine, values)

        if host == "nginx":
            body = self.installer_body(6 * MiB)
            nginx = NginxServer(os.path.join(self.work, "nginx"), CONFIG.env_root, CONFIG.port,
                                {RELEASE: body}, RELEASE, RELEASE_EXTRA="limit_rate 3m;",
                                A_LISTEN=f"{HIDDEN_HOST}:{CONFIG.port}",
                                B_LISTEN=HIDDEN_HOST + ":{b_port}")
            self.servers.append(nginx)
            values["b_port"] = str(nginx.b_port)
            server = None
        elif outcome == "cancel":
            server, body = self.serve_installer(16 * MiB, host=HIDDEN_HOST, rate=MiB)
        else:
            server, body = self.serve_installer(2 * MiB, host=HIDDEN_HOST, hold=True)

        if outcome == "start":
            self.assert_success(self.drive(WAIT_WINDOW, *TO_THE_END), body)
        elif outcome == "cancel in the look-up":
            asked = winpath(os.path.join(self.script_seen, "request-seen"))
            run = self.drive(WAIT_WINDOW, f"wait-file={asked},30000", "click-cancel",
                             "expect-box=20000", f"sleep={LOOKUP_OUTLASTED}", "dismiss-box",
                             "wait-exit=30000")
            self.assert_failure(run, CANCELLED)
        elif outcome == "cancel":
            run = self.drive(WAIT_WINDOW, "watch-until-pos=1,30000", "click-cancel",
                             *BOX_THEN_EXIT)
            self.assert_failure(run, CANCELLED)
        else:
            self.assert_failure(self.drive(*BOX_THEN_EXIT), outcome)

        expected = [(m, url.format(**values), status) for m, url, status in logged]
        if proxy:
            self.assert_proxied(proxy, expected)
        if server is not None:
            self.assert_requests(server, outcome)
        if host == "nginx":
            requests = nginx.wait_requests(2)
            self.assertEqual([r.status for r in requests], [302, 200], nginx.log_lines())
            self.assertEqual({r.agent for r in requests}, {USER_AGENT}, nginx.log_lines())

    def assert_proxied(self, proxy, expected):
        """The proxy's tunnels are `expected`, each one that opened led to the host where it
        hides, and nothing else got through. (After a 407 to its CONNECT wine sends its TLS
        handshake into the refused connection, which squid logs as an invalid request.)"""
        seen = proxy.wait_requests(len(expected))
        tunnels = [r for r in seen if r.method == "CONNECT"]
        self.assertEqual([(r.method, r.url, r.status) for r in tunnels], expected,
                         proxy.log_lines())
        for request in tunnels:
            if request.status == 200:
                self.assertEqual(request.server, HIDDEN_HOST, proxy.log_lines())
        self.assertEqual([r for r in seen if r.method != "CONNECT" and r.status < 400], [],
                         proxy.log_lines())

    def assert_requests(self, server, outcome):
        """The download host got the stub's one request when the run got that far. Through a
        tunnel wine names the whole address in the request line, as to a proxy; Windows names
        the path alone: either reaches the same resource."""
        if outcome not in ("start", "cancel"):
            self.assertEqual(server.requests, [], "a request after Cancel" if
                             outcome == "cancel in the look-up" else "")
            return
        self.assertEqual(len(server.requests), 1)
        request = server.requests[0]
        self.assertIn(request.target,
                      (DOWNLOAD_TARGET, f"https://localhost:{CONFIG.port}{DOWNLOAD_TARGET}"))
        self.assertEqual(request.header("User-Agent"), USER_AGENT)

    # -- the proxy and the script --------------------------------------------------------------

    def start_proxy(self, kind):
        """squid for `kind`, stopped when the row ends; None for a proxy that refuses."""
        if kind == "refusing":
            return None
        proxy = SquidServer(os.path.join(self.work, "squid"), {"localhost": HIDDEN_HOST},
                            basic_auth=kind == "squid-basic")
        self.servers.append(proxy)
        return proxy

    def refusing_address(self):
        """A loopback port that refuses connections until the row ends: bound, never
        listening, so nobody else can take it meanwhile."""
        port = RefusingPort()
        self.servers.append(port)
        return f"127.0.0.1:{port.port}"

    def serve_script(self, script, values):
        """The script's address on a plain HTTP server of its own."""
        if script == "silent":
            self.script_seen = self.folder("script")
            server = TestServer(tls=False, stall_before_headers=True,
                                on_event=self.recorder(self.script_seen))
        else:
            text = script.replace("{proxy}", values["proxy"]).replace("{dead}", values["dead"])
            server = TestServer(tls=False, routes={PAC_PATH: {
                "body": text.encode(),
                "headers": {"Content-Type": "application/x-ns-proxy-autoconfig"}}})
        self.servers.append(server)
        return f"http://127.0.0.1:{server.port}{PAC_PATH}"

    # -- the settings in the prefix ------------------------------------------------------------

    def write_settings(self, user, machine, values):
        if user is None:
            self.reg(*delete_args(USER_SETTINGS), missing_is_fine=True)
        else:
            flags, *texts = user
            self.reg(*setting_args(USER_SETTINGS,
                                   user_settings(flags, *(t.format(**values) for t in texts))))
        if machine is None:
            self.reg(*delete_args(MACHINE_SETTINGS), missing_is_fine=True)
        else:
            self.reg(*setting_args(MACHINE_SETTINGS, machine_settings(machine.format(**values))))

    def clear_settings(self):
        self.reg(*delete_args(USER_SETTINGS), missing_is_fine=True)
        self.reg(*delete_args(MACHINE_SETTINGS), missing_is_fine=True)

    def reg(self, *args, missing_is_fine=False):
        """`wine reg` in the test prefix; with `missing_is_fine`, a value that is not there to
        delete is no failure. A wine start can meet the prefix's wineserver as it idles out
        ("recvmsg: Connection reset by peer"): such a start is tried again."""
        log = os.path.join(self.work, "reg.log")
        for _ in range(REG_ATTEMPTS):
            result = subprocess.run([CONFIG.wine_run, *args], stdin=subprocess.DEVNULL,
                                    capture_output=True, timeout=REG_TIMEOUT)
            output = (result.stdout + result.stderr).decode(errors="replace")
            with open(log, "a", encoding="utf-8") as f:
                f.write(f"wine {' '.join(args)}: {result.returncode}\n{output}")
            if result.returncode == 0 or (missing_is_fine and MISSING_VALUE in output):
                return
        self.fail(f"wine {' '.join(args)} failed ({result.returncode}); see {log}")

if __name__ == "__main__":
    # The machine's WinHTTP setting also comes from http_proxy under wine: the rows set it alone.
    for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "no_proxy"):
        os.environ.pop(name, None)
    e2e_test.main()
