#!/usr/bin/python3
"""The shipping stub against the download host as a release engineer deploys it: nginx, started
from the reference configuration in deploy/nginx/ (server A on the stub's compiled-in port
redirects to the versioned installer on server B). One row per mistake that docs/hosting.md
warns about; each row changes only the placeholder that makes its mistake. Fault injection
stays with the Python server (e2e_test.py): these rows are what nginx itself does.
Arguments: e2e_test.py's."""

import http.client
import os
import ssl

import e2e_test
import test_env
from e2e_test import (CONFIG, DOWNLOAD_TARGET, MiB, REFUSED_DOWNGRADE, USER_AGENT, StubTest,
                      progress_figures)
from nginx_server import NginxServer

RELEASE = "vorn-setup-2.0.0.exe"
NEXT_RELEASE = "vorn-setup-2.0.1.exe"  # redirected to, but never uploaded
# B's pace, in every row: the window then lives long enough for the driver to read its
# progress (a 6 MiB installer takes about 2 s).
PACE = "limit_rate 3m;"
# A body filter: nginx then sends the file chunked, without Content-Length.
BODY_FILTER = "ssi on; ssi_types *;"
OTHER_NAME = "other-name"
SECURE_CHANNEL_ERROR = "WinHttpSendRequest 失败 (err=12157)"

# Until the window is gone (at once when it already is), then no box, then the exit.
TO_THE_END = ("wait-window=60000", "watch-until-gone=45000", "no-box-for=30000",
              "wait-exit=5000")
# A failure comes before the window could be seen for sure: only the box is waited for.
BOX_THEN_EXIT = ("expect-box=90000", "dismiss-box", "wait-exit=30000")

# (what, placeholders that make the mistake, the box (None: the download succeeds), the
# statuses A and B log (None: no request reached it))
ROWS = (
    ("the reference configuration", {}, None, 302, 200),
    ("a redirect down to http://",
     {"INSTALLER_URL": "http://localhost:{b_port}/releases/" + RELEASE},
     REFUSED_DOWNGRADE, 302, None),
    ("a redirect to an installer not uploaded yet",
     {"INSTALLER_URL": "https://localhost:{b_port}/releases/" + NEXT_RELEASE},
     "服务器返回错误 (status=404)", 302, 404),
    # wine hands a 308 back to the stub instead of following it.
    ("a 308 redirect", {"REDIRECT_STATUS": "308"}, "服务器返回错误 (status=308)", 308, None),
    ("a body filter on the installers: no Content-Length",
     {"RELEASE_EXTRA": PACE + " " + BODY_FILTER}, None, 302, 200),
    # wine's WinHTTP, like Windows 10's, has no TLS 1.3: the handshake fails
    # (ERROR_WINHTTP_SECURE_CHANNEL_ERROR), before any request.
    ("TLS 1.3 only", {"TLS_PROTOCOLS": "TLSv1.3"}, SECURE_CHANNEL_ERROR, None, None),
    # wine refuses the name within the handshake, with the same code.
    ("a certificate for another name",
     {"A_CERT": "{keys}/" + OTHER_NAME + ".pem", "A_KEY": "{keys}/" + OTHER_NAME + ".key"},
     SECURE_CHANNEL_ERROR, None, None),
)


class Hosting(StubTest):

    def test_reference_configuration_and_its_mistakes(self):
        keys = self.folder("keys")
        test_env.issue_cert(keys, OTHER_NAME, ("other.example",), ca_dir=CONFIG.env_root)
        body = self.installer_body(6 * MiB)
        for what, mistake, box, a_status, b_status in ROWS:
            with self.case(what):
                values = {"RELEASE_EXTRA": PACE,
                          **{name: value.replace("{keys}", keys)
                             for name, value in mistake.items()}}
                nginx = NginxServer(os.path.join(self.work, "nginx"), CONFIG.env_root,
                                    CONFIG.port, {RELEASE: body}, RELEASE, **values)
                self.servers.append(nginx)  # stopped when the row ends, however it ends
                length_known = BODY_FILTER not in values["RELEASE_EXTRA"]
                if box is None:
                    run = self.drive(*TO_THE_END)
                    self.assert_success(run, body)
                    self.assert_progress(run, len(body), length_known)
                else:
                    self.assert_failure(self.drive(*BOX_THEN_EXIT), box)
                expected = [s for s in (a_status, b_status) if s is not None]
                logged = nginx.wait_requests(len(expected))
                self.assertEqual([r.status for r in logged], expected, nginx.log_lines())
                self.assert_logged(nginx, logged, len(body) if length_known else None)

    def assert_progress(self, run, size, length_known):
        """The window's progress: up to the whole size when the length was sent; 0 % of 0.0 MB
        throughout when it was not."""
        shown = [progress_figures(t) for t in run.labels if progress_figures(t)]
        self.assertTrue(shown, f"no progress shown: {run}")
        if length_known:
            self.assertEqual({total for _, _, total in shown}, {round(size / MiB, 1)}, str(run))
            self.assertGreater(max(percent for percent, _, _ in shown), 0, str(run))
        else:
            self.assertEqual({(percent, total) for percent, _, total in shown}, {(0, 0.0)},
                             str(run))
            self.assertEqual(set(run.positions), {0}, str(run))

    def assert_logged(self, nginx, logged, length):
        """Each request as the stub makes it: its User-Agent, no Accept-Encoding, TLS 1.2; A's
        at the compiled-in address, B's at the file A named, with the Content-Length `length`
        (None: none) when it was found."""
        for request in logged:
            self.assertEqual((request.agent, request.encoding, request.tls),
                             (USER_AGENT, "-", "TLSv1.2"), nginx.log_lines())
        if not logged:
            return
        a = logged[0]
        self.assertEqual((a.port, a.request), (CONFIG.port, f"GET {DOWNLOAD_TARGET} HTTP/1.1"))
        if len(logged) == 1:
            return
        b = logged[1]
        self.assertEqual(b.port, nginx.b_port)
        self.assertEqual(a.location, f"https://localhost:{nginx.b_port}{b.request.split()[1]}")
        if b.status == 200:
            self.assertEqual(b.request, f"GET /releases/{RELEASE} HTTP/1.1")
            self.assertEqual(b.length, "-" if length is None else str(length))

    def test_other_platforms_get_404(self):
        # What the stub never asks, answered by the reference configuration: no platform but
        # "win" has an installer.
        nginx = NginxServer(os.path.join(self.work, "nginx"), CONFIG.env_root, CONFIG.port,
                            {RELEASE: b"MZ"}, RELEASE)
        self.servers.append(nginx)
        context = ssl.create_default_context(cafile=os.path.join(CONFIG.env_root, "ca.pem"))
        for query, status in (("platform=win", 302), ("platform=mac", 404), ("", 404),
                              ("platform=Win", 404), ("platform=winx", 404)):
            with self.subTest(query=query):
                connection = http.client.HTTPSConnection("localhost", CONFIG.port, timeout=30,
                                                         context=context)
                try:
                    connection.request("GET", "/api/app/download?" + query)
                    self.assertEqual(connection.getresponse().status, status)
                finally:
                    connection.close()


if __name__ == "__main__":
    e2e_test.main()
