#!/usr/bin/env python3
"""Checks the built stub is what a download host can ship: a 64-bit GUI program without
resources whose static imports are KnownDLLs alone (the loader never looks for them in the exe's
folder), within its size budget."""
import argparse
import re
import subprocess
import sys
import unittest

KNOWN_DLLS = {"kernel32.dll", "user32.dll", "msvcrt.dll"}
# Loaded on first use from System32 (cmake/delay-load); wintrust, crypt32 and cryptnet only by a
# program that checks its installer's signer.
DELAY_LOADED_DLLS = {"winhttp.dll", "comctl32.dll", "shell32.dll", "wintrust.dll", "crypt32.dll",
                     "cryptnet.dll"}

args = None


def objdump(*options):
    return subprocess.run([args.objdump, *options, args.exe], check=True, capture_output=True,
                          text=True, timeout=60).stdout


class ShippedExe(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.headers = objdump("-p")
        cls.sections = objdump("-h")

    def test_is_a_64_bit_gui_program(self):
        self.assertIn("file format pei-x86-64", self.headers)
        self.assertRegex(self.headers, r"Subsystem\s+00000002\s+\(Windows GUI\)")

    def test_imports_only_known_dlls(self):
        # The others are delay-loaded, after main has limited loading to System32; as static
        # imports they would be looked for in the exe's folder first.
        imported = {name.lower() for name in re.findall(r"DLL Name: (\S+)", self.headers)}
        self.assertEqual(imported, KNOWN_DLLS)

    def test_names_no_other_dll(self):
        # Every DLL name in the file: the static imports and the delay-load descriptors' names.
        with open(args.exe, "rb") as exe:
            named = {m.decode().lower() for m in re.findall(rb"[A-Za-z0-9_]+\.dll", exe.read())}
        self.assertTrue({"winhttp.dll", "shell32.dll"} <= named, f"dlltool changed? {named}")
        self.assertLessEqual(named - KNOWN_DLLS, DELAY_LOADED_DLLS)

    def test_has_no_resources(self):
        self.assertNotIn(".rsrc", self.sections)
        entry = re.search(r"Entry 2 ([0-9a-f]+) ([0-9a-f]+) Resource Directory", self.headers)
        self.assertIsNotNone(entry, "no data-directory listing: objdump output changed?")
        self.assertEqual((int(entry.group(1), 16), int(entry.group(2), 16)), (0, 0))

    def test_fits_the_size_budget(self):
        with open(args.exe, "rb") as exe:
            size = len(exe.read())
        print(f"{args.exe}: {size} bytes, budget {args.budget}")
        self.assertLessEqual(size, args.budget)

    def test_carries_no_build_paths_or_timestamp(self):
        with open(args.exe, "rb") as exe:
            content = exe.read()
        for path in args.forbidden_path:
            self.assertNotIn(path.encode(), content)
        self.assertRegex(self.headers, r"Time/Date\s+Thu Jan  1 00:00:00 1970")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--budget", type=int, required=True)
    parser.add_argument("--forbidden-path", action="append", default=[])
    args, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
