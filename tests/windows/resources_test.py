#!/usr/bin/env python3
"""Checks the Windows program as a file: a 32-bit console executable that imports only system
DLLs and carries its manifest and version resource."""
import pathlib
import struct
import sys
import unittest

EXE = pathlib.Path(sys.argv.pop(1) if len(sys.argv) > 1 else "build/windows/palmconv.exe")
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "comdlg32.dll", "shell32.dll", "user32.dll",
               "advapi32.dll", "gdi32.dll", "ntdll.dll"}
RT_VERSION, RT_MANIFEST = 16, 24


class PortableExecutable:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        assert data[pe:pe + 4] == b"PE\0\0"
        self.machine, sections, _, _, _, optional_size, self.characteristics = struct.unpack_from(
            "<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        self.directories = [struct.unpack_from("<II", data, optional + 96 + 8 * i) for i in range(16)]
        self.sections = []
        for i in range(sections):
            at = optional + optional_size + 40 * i
            _, vsize, vaddr, rsize, raw = struct.unpack_from("<8sIIII", data, at)
            self.sections.append((vaddr, max(vsize, rsize), raw))

    def at(self, rva):
        for vaddr, size, raw in self.sections:
            if vaddr <= rva < vaddr + size:
                return raw + rva - vaddr
        raise ValueError(hex(rva))

    def string(self, rva):
        start = self.at(rva)
        return self.data[start:self.data.index(b"\0", start)].decode()

    def imports(self):
        names, entry = [], self.at(self.directories[1][0])
        while True:
            fields = struct.unpack_from("<IIIII", self.data, entry)
            if not any(fields):
                return names
            names.append(self.string(fields[3]))
            entry += 20

    def resources(self, type_id):
        """The data of every resource of one type."""
        base = self.at(self.directories[2][0])

        def entries(table):
            named, ids = struct.unpack_from("<HH", self.data, base + table + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.data, base + table + 16 + 8 * i)
                yield name, target

        found = []
        for name, target in entries(0):
            if name != type_id:
                continue
            for _, language_table in entries(target & 0x7FFFFFFF):
                for _, leaf in entries(language_table & 0x7FFFFFFF):
                    rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    found.append(self.data[self.at(rva):self.at(rva) + size])
        return found


class ResourcesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = PortableExecutable(EXE.read_bytes())

    def test_is_a_32_bit_console_program(self):
        self.assertEqual(self.pe.machine, 0x14C)     # Intel 80386
        self.assertEqual(self.pe.magic, 0x10B)       # PE32
        self.assertEqual(self.pe.subsystem, 3)       # console

    def test_imports_only_system_dlls(self):
        imports = {name.lower() for name in self.pe.imports()}
        self.assertTrue({"comdlg32.dll", "shell32.dll", "kernel32.dll"} <= imports, imports)
        self.assertEqual(imports - SYSTEM_DLLS, set())

    def test_manifest(self):
        (manifest,) = self.pe.resources(RT_MANIFEST)
        text = manifest.decode()
        for needed in ['name="Microsoft.Windows.Common-Controls" version="6.0.0.0"',
                       '>UTF-8</activeCodePage>', 'level="asInvoker"']:
            self.assertIn(needed, " ".join(text.split()))

    def test_version_resource(self):
        (version,) = self.pe.resources(RT_VERSION)
        text = version.decode("utf-16-le", errors="replace")
        self.assertIn("palmconv.exe", text)
        self.assertIn("FileVersion", text)


if __name__ == "__main__":
    unittest.main()
