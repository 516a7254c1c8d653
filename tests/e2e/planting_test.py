#!/usr/bin/python3
"""The stub run from a folder where someone has planted DLLs named like system DLLs: none of them
may ever be loaded, and the download must work as usual.

Each probe (probe_dll.dll under a system DLL's name) leaves "<name>.dll.loaded" beside itself
when a process loads it. Windows looks in the exe's own folder first for every DLL that is not a
KnownDLL; wine does the same for the DLLs it is told to load native first, which is how the first
run models Windows. The second run keeps wine's own order. Arguments: e2e_test.py's, with
--probe-dll.

Not planted: the DLLs wine itself loads from the exe's folder whatever a program does (its own
user32 and winhttp load some of them), such as user32, gdi32, advapi32, crypt32 or ole32.
"""

import os
import shutil

import e2e_test
from e2e_test import CONFIG, MiB, TO_THE_END, WAIT_WINDOW, StubTest

PLANTED = ("winhttp", "comctl32", "shell32", "wintrust", "cryptnet", "uxtheme", "schannel",
           "dnsapi", "iphlpapi", "nsi", "netapi32", "jsproxy", "ws2_32", "shlwapi", "oleaut32")


class PlantedDlls(StubTest):

    def test_no_planted_dll_is_loaded(self):
        downloads = self.folder("downloads")
        for order, overrides in (("native first, as Windows", ",".join(PLANTED) + "=n,b"),
                                 ("wine's default order", None)):
            with self.case(order, folders=(downloads,)):
                program = os.path.join(downloads, "vorn-installer.exe")
                shutil.copyfile(CONFIG.program, program)
                for name in PLANTED:
                    shutil.copyfile(CONFIG.probe_dll, os.path.join(downloads, name + ".dll"))
                _, body = self.serve_installer(2 * MiB, hold=True)
                run = self.drive(WAIT_WINDOW, *TO_THE_END, program=program,
                                 dll_overrides=overrides)
                loaded = sorted(f for f in os.listdir(downloads) if f.endswith(".loaded"))
                self.assertEqual(loaded, [], "planted DLLs were loaded")
                self.assert_success(run, body)


if __name__ == "__main__":
    e2e_test.main()
