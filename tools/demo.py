#!/usr/bin/python3
"""The stub's whole job, on this machine: a loopback distribution server (HTTPS, a throwaway CA
trusted only inside the demo's own wine prefix) serves a demo installer signed by the publisher
(a throwaway code-signing CA, trusted there too), the stub built for it downloads it, checks the
signature and starts it under wine, and this script reports what happened.

The server is the test bed's Python server, or with --server=nginx the reference configuration
in deploy/nginx/: the download host redirects to the versioned installer on a second server,
and the report shows nginx's access log. With --proxy the servers listen where only squid finds
them, squid is set as the user's proxy in the demo's prefix, and the report shows squid's log.

Run through tools/demo.sh, which installs and builds first."""

import argparse
import hashlib
import json
import os
import re
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "fixtures"))
import https_server  # noqa: E402
import test_env  # noqa: E402
from nginx_server import NginxServer  # noqa: E402
import squid_server  # noqa: E402

MiB = 1024 * 1024
DEMO_SIZE = 32 * MiB
DEFAULT_RATE = 8 * MiB   # fast, yet slow enough for a screenshot mid-download
SLOW_RATE = 1 * MiB
DOWNLOAD_PATH = "/api/app/download?platform=win"
RELEASE = "vorn-setup-1.0.0.exe"  # the versioned name the download host redirects to
RECEIVED = re.compile(r"\((\d+\.\d) / ")  # the megabytes received, in the window's label
CJK_FONT = "wqy-zenhei.ttc,WenQuanYi Zen Hei"
# With --proxy the servers listen here, where "localhost" never leads: only squid, which maps the
# name here, reaches them.
HIDDEN_HOST = "127.0.0.2"


class CountingResponse(https_server.Response):
    """The demo installer, remembering how much of it the server has handed out."""
    sent = 0

    def body_bytes(self, offset, size):
        data = super().body_bytes(offset, size)
        self.sent = max(self.sent, offset + len(data))
        return data


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def parse_args():
    parser = argparse.ArgumentParser(
        prog="tools/demo.sh", description="Download and start a demo installer with the stub.")
    parser.add_argument("--build", required=True, help=argparse.SUPPRESS)
    parser.add_argument("--port", type=int, required=True, help=argparse.SUPPRESS)
    parser.add_argument("--signer", required=True, help=argparse.SUPPRESS)
    parser.add_argument("--signer-cert", default="", help=argparse.SUPPRESS)
    parser.add_argument("--slow", action="store_true", help="trickle at 1 MiB/s: watch, try Cancel")
    parser.add_argument("--fail", choices=["404", "drop", "unsigned"],
                        help="the server answers 404, drops the connection halfway, or serves "
                             "an unsigned installer")
    parser.add_argument("--unknown-length", action="store_true",
                        help="send the body chunked, without Content-Length")
    parser.add_argument("--server", choices=["python", "nginx"], default="python",
                        help="the test bed's Python server (default), or nginx from the "
                             "reference configuration in deploy/nginx/")
    parser.add_argument("--proxy", action="store_true",
                        help="the download host reachable only through squid, set as the user's "
                             "proxy; the report shows squid's log")
    parser.add_argument("--screenshot", metavar="FILE",
                        help="PNG of the window mid-download (default when headless: "
                             "<build>/demo-window.png)")
    parser.add_argument("--check", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.server == "nginx" and args.fail == "drop":
        parser.error("--fail=drop needs the Python server: nginx does not drop connections "
                     "on demand")
    return args


def make_chinese_readable(env):
    """Links the dialog fonts to a CJK font, so the window's texts render as Chinese."""
    key = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink"
    for face in ("Tahoma", "MS Shell Dlg", "MS Shell Dlg 2", "Microsoft Sans Serif"):
        subprocess.run(["wine", "reg", "add", key, "/v", face, "/t", "REG_MULTI_SZ", "/d",
                        CJK_FONT, "/f"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


def screenshot(display, path):
    """The top-left corner of the screen, where the stub's 460x210 window opens."""
    xwd = subprocess.run(["xwd", "-root", "-display", display], capture_output=True, timeout=20)
    subprocess.run(["convert", "xwd:-", "-crop", "460x210+0+0", "+repage", path],
                   input=xwd.stdout, check=True, timeout=20)


def watch_window(events_file, display, shot_path, done):
    """Takes the screenshot once the window shows 40 % of the demo installer received (nginx
    tells nothing while it sends, so the driver's own report of the window decides; without a
    length the bar stays at 0, and the label's megabytes say how far it got)."""
    while shot_path and not done.wait(0.1):
        progress = [e for e in read_events(events_file, complete_only=True)
                    if e.get("ev") == "progress"]
        received = RECEIVED.search(progress[-1].get("text", "")) if progress else None
        if received and float(received.group(1)) >= 0.4 * DEMO_SIZE / MiB:
            screenshot(display, shot_path)
            print(f"  screenshot of the window: {shot_path}")
            return


def watch_server(response, display, shot_path, done):
    """Prints the server's progress every 10 %, and takes the screenshot at about 40 %."""
    next_report, shot_taken = 10, shot_path is None
    while not done.wait(0.1):
        percent = response.sent * 100 // max(1, response.size)
        if not shot_taken and percent >= 40:
            time.sleep(0.3)  # the stub's next 2 MiB progress update
            screenshot(display, shot_path)
            print(f"  screenshot of the window: {shot_path}")
            shot_taken = True
        while percent >= next_report and next_report <= 100:
            print(f"  server sent {response.sent / MiB:5.1f} MiB ({next_report}%)")
            next_report += 10


def demo_installer(build, root, signer, signer_cert, signed):
    """The 32 MiB demo installer (the stand-in, padded), signed by `signer` (with the whole
    subject of `signer_cert`, when given) unless not `signed`; returns its path."""
    with open(os.path.join(build, "tests", "e2e", "stand_in_installer.exe"), "rb") as f:
        body = https_server.expected_body(f.read(), DEMO_SIZE)
    unsigned = os.path.join(build, "demo-installer-unsigned.exe")
    with open(unsigned, "wb") as f:
        f.write(body)
    if not signed:
        return unsigned
    keys = os.path.join(build, "demo-keys")
    os.makedirs(keys, exist_ok=True)
    subject = test_env.read_subject(signer_cert) if signer_cert else None
    test_env.issue_code_signing_cert(keys, "publisher", signer, root, subject=subject)
    path = os.path.join(build, "demo-installer.exe")
    test_env.sign_file(unsigned, path, keys, "publisher")
    return path


def driver_actions(headless, expect_box):
    if not headless:
        return "wait-window=60000;wait-exit=3600000"  # the user is at the controls
    steps = ["wait-window=60000", "watch-until-gone=600000"]
    if expect_box:
        steps += ["expect-box=10000", "dismiss-box"]
    return ";".join(steps + ["wait-exit=30000"])


def read_events(path, complete_only=False):
    """The driver's events; `complete_only`: while it still writes, its complete lines."""
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    if complete_only:
        lines = lines[:-1]
    return [json.loads(line) for line in lines if line.strip()]


def report(events, temp, server, response, proxy):
    if proxy:
        print(f"\nsquid's access log (client, method, address, status, bytes, verdict, server):")
        for line in proxy.wait_requests(1, 5) and proxy.log_lines():
            print("  " + line)
    if isinstance(server, NginxServer):
        print(f"\nnginx access log (A: localhost:{server.a_port}, B: localhost:{server.b_port}):")
        for line in server.wait_requests(1, 5) and server.log_lines():
            print("  " + line)
    else:
        print(f"\nserver: {len(server.requests)} request(s), {response.sent} of {response.size} "
              "body bytes sent")
    for event in events:
        if event.get("ev") == "box":
            print(f"error box: [{event.get('caption')}] {event.get('text')}")
    log = os.path.join(temp, "vorn-installer.log")
    print(f"\nlog {log}:")
    if os.path.exists(log):
        with open(log, encoding="utf-8", errors="replace") as f:
            for line in f:
                print("  " + line.rstrip("\n"))
    shown = [e["text"] for e in events if e.get("ev") == "progress"]
    if shown:
        print(f"the window showed {len(shown)} status texts, the last: {shown[-1]}")
    codes = [e["code"] for e in events if e.get("ev") in ("exit", "end") and "code" in e]
    code = codes[-1] if codes else None
    print(f"\nexit code: {code if code is not None else 'unknown (the program did not end)'}")
    installer = os.path.join(temp, "vorn-setup.exe")
    if os.path.exists(installer):
        with open(installer, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        print(f"downloaded file: {windows_path(installer)} ({os.path.getsize(installer)} bytes)")
        print(f"  SHA-256 {digest}")
    else:
        print("downloaded file: none (deleted or never created)")
    started = installer + ".started"
    if os.path.exists(started):
        with open(started, encoding="utf-8") as f:
            print(f"installer started: yes ({f.read().strip()})")
    else:
        print("installer started: no")
    return code


def start_python_server(args, root, installer):
    """The test bed's server on the demo's port, answering the download address itself."""
    response = CountingResponse(
        body_file=installer, rate=SLOW_RATE if args.slow else DEFAULT_RATE,
        chunked=args.unknown_length, status=404 if args.fail == "404" else 200,
        drop_after=DEMO_SIZE // 2 if args.fail == "drop" else None)
    if args.fail == "404":
        response.body, response.pad_to = b"<html><body>404 Not Found</body></html>", None
    server = https_server.TestServer(root, port=args.port, routes={DOWNLOAD_PATH: response},
                                     host=HIDDEN_HOST if args.proxy else "127.0.0.1",
                                     status=404, body=b"not here")
    return server, response


def start_nginx(args, build, root, installer):
    """nginx from the reference configuration: A on the demo's port redirects to RELEASE on B.
    --fail=404 redirects to a release that was never uploaded; --unknown-length puts a body
    filter (ssi) on the installers, which drops their Content-Length."""
    with open(installer, "rb") as f:
        body = f.read()
    rate = SLOW_RATE if args.slow else DEFAULT_RATE
    values = {"RELEASE_EXTRA": f"limit_rate {rate // MiB}m;"
                               + (" ssi on; ssi_types *;" if args.unknown_length else "")}
    if args.fail == "404":
        values["INSTALLER_URL"] = "https://localhost:{b_port}/releases/vorn-setup-1.0.1.exe"
    if args.proxy:
        values.update(A_LISTEN=f"{HIDDEN_HOST}:{args.port}", B_LISTEN=HIDDEN_HOST + ":{b_port}")
    return NginxServer(os.path.join(build, "demo-nginx"), root, args.port, {RELEASE: body},
                       RELEASE, **values)


def start_proxy(build, env):
    """squid, set in the prefix as the user's manual proxy (Internet Options)."""
    proxy = squid_server.SquidServer(os.path.join(build, "demo-squid"),
                                     {"localhost": HIDDEN_HOST})
    setting = squid_server.user_settings(squid_server.DIRECT | squid_server.MANUAL, proxy.address)
    with open(os.path.join(build, "demo-reg.log"), "ab") as log:
        subprocess.run(["wine", *squid_server.setting_args(squid_server.USER_SETTINGS, setting)],
                       env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log, timeout=60,
                       check=True)
    print(f"squid at {proxy.address}, set as the user's proxy; the servers listen on "
          f"{HIDDEN_HOST}, which only squid finds")
    return proxy


def main():
    args = parse_args()
    if args.check:
        return 0
    build = os.path.abspath(args.build)
    root = os.path.join(build, "demo-env")
    temp = os.path.join(build, "demo-temp")
    headless = not os.environ.get("DISPLAY")
    shot_path = args.screenshot or (os.path.join(build, "demo-window.png") if headless else None)

    print("preparing the demo's wine prefix (a throwaway CA, trusted only there)...")
    fixtures = os.path.join(build, "tests", "fixtures")
    # add_root_cert is built beside the release gate, which uses it too.
    test_env.setup(root, add_root_cert=os.path.join(build, "add_root_cert.exe"),
                   has_font=os.path.join(fixtures, "has_font.exe"))
    env = test_env.wine_env(root)
    display = env["DISPLAY"]
    server = proxy = None
    try:
        make_chinese_readable(env)
        if args.proxy:
            proxy = start_proxy(build, env)
        os.makedirs(temp, exist_ok=True)
        for name in ("vorn-setup.exe", "vorn-setup.exe.started", "vorn-installer.log"):
            if os.path.exists(os.path.join(temp, name)):
                os.remove(os.path.join(temp, name))

        signed = args.fail != "unsigned"
        installer = demo_installer(build, root, args.signer, args.signer_cert, signed)
        signature = f'signed by "{args.signer}"' if signed else "unsigned"
        events_file = os.path.join(build, "demo-driver.jsonl")
        if os.path.exists(events_file):
            os.remove(events_file)
        if args.server == "nginx":
            server, response = start_nginx(args, build, root, installer), None
            watch = (watch_window, events_file)
            print(f"nginx from deploy/nginx/: https://localhost:{args.port}{DOWNLOAD_PATH} "
                  f"redirects to the {DEMO_SIZE / MiB:.0f} MiB demo installer ({signature}) at "
                  f"{server.values(server.b_port)['INSTALLER_URL']}")
        else:
            server, response = start_python_server(args, root, installer)
            watch = (watch_server, response)
            print(f"serving a {response.size / MiB:.0f} MiB demo installer ({signature}) at "
                  f"https://localhost:{args.port}{DOWNLOAD_PATH}")
        print(f"running the stub on display {display}{' (Xvfb)' if headless else ''}...")

        done = threading.Event()
        watcher = threading.Thread(target=watch[0], args=(watch[1], display, shot_path, done),
                                   daemon=True)
        watcher.start()
        driver = [os.path.join(HERE, "wine-run"), os.path.join(build, "tests", "e2e", "e2e_driver.exe"),
                  "--exe", windows_path(os.path.join(build, "vorn-installer.exe")),
                  "--temp", windows_path(temp), "--cwd", windows_path(temp),
                  "--out", windows_path(events_file), "--settle", "10000",
                  "--actions", driver_actions(headless, args.fail is not None)]
        started = time.monotonic()
        with open(os.path.join(build, "demo-wine.log"), "wb") as wine_log:
            subprocess.run(driver, env={**os.environ, "VORN_TEST_ENV": root,
                                        "VORN_WINE_TIMEOUT": "3600"},
                           stdin=subprocess.DEVNULL, stdout=wine_log, stderr=wine_log,
                           timeout=3700)
        done.set()
        watcher.join(30)
        print(f"the stub ran for {time.monotonic() - started:.1f} s")
        code = report(read_events(events_file), temp, server, response, proxy)
        expected = 1 if args.fail else 0
        return 0 if code == expected or (not headless and code is not None) else 1
    finally:
        for running in (server, proxy):
            if running:
                running.stop()
        test_env.cleanup(root)


if __name__ == "__main__":
    sys.exit(main())
