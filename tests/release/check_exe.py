#!/usr/bin/env python3
"""Checks the built stub is what a download host can ship: a 64-bit GUI program whose one
resource is its application manifest (so Windows reads none planted beside it) and whose static
imports are KnownDLLs alone (the loader never looks for them in the exe's folder), within its size
budget."""
import argparse
import re
import struct
import subprocess
import sys
import unittest
import xml.etree.ElementTree as ElementTree

KNOWN_DLLS = {"kernel32.dll", "user32.dll", "msvcrt.dll"}
# Loaded on first use from System32 (cmake/delay-load); wintrust, crypt32 and cryptnet only by a
# program that checks its installer's signer.
DELAY_LOADED_DLLS = {"winhttp.dll", "comctl32.dll", "shell32.dll", "wintrust.dll", "crypt32.dll",
                     "cryptnet.dll", "advapi32.dll", "bcrypt.dll"}

RT_MANIFEST = 24
# The process's own manifest: the ID Windows reads an exe's application manifest from.
APPLICATION_MANIFEST_ID = 1
# Elements that would change what the program is: a side-by-side dependency (common controls 6
# instead of the classic controls) or a DPI setting (the process stays DPI-unaware).
DEPENDENCY_ELEMENTS = {"dependency", "dependentAssembly"}
DPI_ELEMENTS = {"dpiAware", "dpiAwareness"}

args = None


def resources(image):
    """Every resource of the PE file `image` as (type, name, language, data), from the resource
    directory its data directory points at; names and types are IDs or strings."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    sections_count, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    optional = pe + 24
    if struct.unpack_from("<H", image, optional)[0] != 0x20B:
        raise ValueError("not a PE32+ file")
    root_rva, root_size = struct.unpack_from("<II", image, optional + 112 + 2 * 8)
    if (root_rva, root_size) == (0, 0):
        return []
    sections = [struct.unpack_from("<8xIIII", image, optional + optional_size + 40 * i)
                for i in range(sections_count)]

    def offset(rva):
        for virtual_size, address, raw_size, raw_offset in sections:
            if address <= rva < address + max(virtual_size, raw_size):
                return raw_offset + rva - address
        raise ValueError(f"RVA {rva:#x} is in no section")

    root = offset(root_rva)

    def key(name):
        if not name & 0x80000000:
            return name
        at = root + (name & 0x7FFFFFFF)
        length = struct.unpack_from("<H", image, at)[0]
        return image[at + 2:at + 2 + 2 * length].decode("utf-16-le")

    def entries(directory):
        named, numbered = struct.unpack_from("<12xHH", image, root + directory)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", image, root + directory + 16 + 8 * i)
            yield key(name), target

    found = []
    for type_key, type_target in entries(0):
        for name_key, name_target in entries(type_target & 0x7FFFFFFF):
            for language, leaf in entries(name_target & 0x7FFFFFFF):
                if leaf & 0x80000000:
                    raise ValueError("a fourth level in the resource directory")
                data_rva, size = struct.unpack_from("<II", image, root + leaf)
                data = image[offset(data_rva):offset(data_rva) + size]
                found.append((type_key, name_key, language, data))
    return found


def element_names(xml_text):
    """The local names of every element of an XML document."""
    return [element.tag.rpartition("}")[2] for element in ElementTree.fromstring(xml_text).iter()]


def objdump(*options):
    return subprocess.run([args.objdump, *options, args.exe], check=True, capture_output=True,
                          text=True, timeout=60).stdout


class ShippedExe(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.headers = objdump("-p")
        cls.sections = objdump("-h")
        with open(args.exe, "rb") as exe:
            cls.resources = resources(exe.read())

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

    def embedded_manifest(self):
        manifests = [data for kind, _, _, data in self.resources if kind == RT_MANIFEST]
        self.assertEqual(len(manifests), 1, f"resources: {self.resources}")
        return manifests[0]

    def test_carries_its_manifest_and_nothing_else(self):
        # One language of one ID: a second language would be a second entry here.
        self.assertEqual([(kind, name) for kind, name, _, _ in self.resources],
                         [(RT_MANIFEST, APPLICATION_MANIFEST_ID)], "one manifest, nothing else")
        with open(args.manifest, "rb") as f:
            self.assertEqual(self.embedded_manifest(), f.read(), f"not {args.manifest}")
        self.assertEqual(self.sections.count(".rsrc"), 1)

    def test_manifest_declares_no_dependency_and_no_dpi_setting(self):
        names = element_names(self.embedded_manifest())
        self.assertEqual(names[0], "assembly")
        self.assertEqual(DEPENDENCY_ELEMENTS & set(names), set(), "common controls 6 or another "
                         "assembly: the classic controls would go")
        self.assertEqual(DPI_ELEMENTS & set(names), set(), "the process would not be DPI-unaware")

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
    parser.add_argument("--manifest", required=True, help="the manifest the exe must carry")
    parser.add_argument("--budget", type=int, required=True)
    parser.add_argument("--forbidden-path", action="append", default=[])
    args, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
