#!/usr/bin/python3
"""The stub run from a folder where someone has planted DLLs named like system DLLs: none of them
may ever be loaded, and the download must work as usual.

Each probe (probe_dll.dll under a system DLL's name) leaves "<name>.dll.loaded" beside itself
when a process loads it. Windows looks in the exe's own folder first for every DLL that is not a
KnownDLL; wine does the same for the DLLs it is told to load native first, which is how the
native-first rows model Windows. The other rows keep wine's own order. Arguments: e2e_test.py's,
with --probe-dll.

The manifest rows also plant "vorn-installer.exe.manifest": Windows reads an application manifest
beside an exe that embeds none, and its <file> elements send the DLLs they name to the exe's
folder before any search path, SetDefaultDllDirectories or not. The program embeds a manifest of
its own, so the planted one must never be read.

The last row plants in TEMP the DLL the started installer loads by name (version.dll, which is
no KnownDLL): the stub must start it from a folder where nothing else sits.

Not planted: the DLLs wine itself loads from the exe's folder, when told to load them native
first, whatever a program does (its own user32 and winhttp load some of them), such as user32,
gdi32, advapi32, crypt32 or ole32. crypt32 is delay-loaded, so the manifest rows plant it too, in
wine's own order.
"""

import os
import shutil

import e2e_test
from e2e_test import CONFIG, MiB, TO_THE_END, WAIT_WINDOW, StubTest

PLANTED = ("winhttp", "comctl32", "shell32", "wintrust", "cryptnet", "uxtheme", "schannel",
           "dnsapi", "iphlpapi", "nsi", "netapi32", "jsproxy", "ws2_32", "shlwapi", "oleaut32")

# A manifest planted beside the exe names every planted DLL, and crypt32 besides: among them all
# the delay-loaded DLLs that are no KnownDLL (winhttp, comctl32, wintrust, crypt32, cryptnet;
# shell32 is one on Windows, named all the same).
NAMED_BY_MANIFEST = PLANTED + ("crypt32",)
PLANTED_MANIFEST = """<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <assemblyIdentity type="win32" name="planted" version="1.0.0.0" processorArchitecture="*"/>
{}
</assembly>
""".format("\n".join(f'  <file name="{name}.dll"/>' for name in NAMED_BY_MANIFEST))

NATIVE_FIRST = ",".join(PLANTED) + "=n,b"


# The installer started by the stub loads a DLL by name that is no KnownDLL (as a real
# installer's import of version.dll does), and someone has planted it in TEMP: the installer's own
# folder must not be TEMP.
INSTALLERS_DLL = "the installer's DLL planted in TEMP, native first, as Windows"


class PlantedDlls(StubTest):

    def test_no_planted_dll_is_loaded(self):
        downloads = self.folder("downloads")
        for order, overrides, manifest in (
                ("native first, as Windows", NATIVE_FIRST, False),
                ("wine's default order", None, False),
                ("native first, with a planted manifest", NATIVE_FIRST, True),
                ("wine's default order, with a planted manifest", None, True),
                (INSTALLERS_DLL, "version=n,b", False)):
            with self.case(order, folders=(downloads,)):
                if order == INSTALLERS_DLL:
                    self.installers_dll_planted_in_temp(overrides)
                    continue
                program = os.path.join(downloads, "vorn-installer.exe")
                shutil.copyfile(CONFIG.program, program)
                for name in NAMED_BY_MANIFEST if manifest else PLANTED:
                    shutil.copyfile(CONFIG.probe_dll, os.path.join(downloads, name + ".dll"))
                if manifest:
                    with open(program + ".manifest", "w", encoding="utf-8") as f:
                        f.write(PLANTED_MANIFEST)
                _, body = self.serve_installer(2 * MiB, hold=True)
                run = self.drive(WAIT_WINDOW, *TO_THE_END, program=program,
                                 dll_overrides=overrides)
                loaded = sorted(f for f in os.listdir(downloads) if f.endswith(".loaded"))
                self.assertEqual(loaded, [], "planted DLLs were loaded")
                self.assert_success(run, body)

    def installers_dll_planted_in_temp(self, overrides):
        planted = os.path.join(self.temp, "version.dll")
        shutil.copyfile(CONFIG.probe_dll, planted)
        _, body = self.serve_installer(2 * MiB, hold=True)
        run = self.drive(WAIT_WINDOW, *TO_THE_END, dll_overrides=overrides,
                         stub_env=(("VORN_STAND_IN_LOAD", "version.dll"),))
        self.assert_success(run, body)
        self.assertFalse(os.path.exists(planted + ".loaded"), "the planted DLL was loaded")
        self.assertTrue(os.path.exists(planted), "the planted DLL is gone: the row proves nothing")


if __name__ == "__main__":
    e2e_test.main()
