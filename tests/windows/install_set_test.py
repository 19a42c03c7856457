#!/usr/bin/env python3
"""The checks of vavedu.exe and VaVedu.inf pass on what the build produced and catch each fault
they exist for, with a message naming it.

    install_set_test.py WINDOWS_BUILD_DIR REPO_ROOT
"""

import os
import shutil
import struct
import sys
import tempfile
import unittest

BUILD, ROOT = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_exe  # noqa: E402
import check_inf  # noqa: E402

TOOL = os.path.join(BUILD, "vavedu.exe")
ALLOWED = check_exe.read_patterns(os.path.join(ROOT, "windows", "imports", "vavedu.exe.txt"))


def subsystem_offset(data):
    (pe,) = struct.unpack_from("<I", data, 0x3C)
    return pe + 24 + 68


class ToolCheck(unittest.TestCase):
    def setUp(self):
        with open(TOOL, "rb") as f:
            self.data = bytearray(f.read())
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)

    def findings_of(self, data):
        path = os.path.join(self.dir, "vavedu.exe")
        with open(path, "wb") as f:
            f.write(data)
        return check_exe.check(path, ALLOWED)

    def test_the_built_tool_passes(self):
        self.assertEqual(check_exe.check(TOOL, ALLOWED), [])

    def test_faults_are_named(self):
        gui = bytearray(self.data)
        struct.pack_into("<H", gui, subsystem_offset(gui), 2)
        compiler_dll = bytearray(self.data)
        at = compiler_dll.upper().find(b"SETUPAPI.DLL\0")
        self.assertGreater(at, 0, "the tool imports from setupapi.dll")
        compiler_dll[at:at + 12] = b"libgcc_s.dll"
        cases = [("a windows program", gui, "subsystem 2, not a console program"),
                 ("a DLL of the compiler", compiler_dll, "imports from libgcc_s.dll")]
        for name, data, message in cases:
            with self.subTest(name):
                findings = self.findings_of(data)
                self.assertTrue(any(message in f for f in findings), findings)


class InfCheck(unittest.TestCase):
    def setUp(self):
        with open(os.path.join(BUILD, "VaVedu.inf"), encoding="utf-8") as f:
            self.inf = f.read()
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)
        for image in ("VaVedu.SYS", "ZaDar.EDI"):
            os.symlink(os.path.join(BUILD, image), os.path.join(self.dir, image))

    def findings_of(self, text):
        with open(os.path.join(self.dir, "VaVedu.inf"), "w", encoding="utf-8") as f:
            f.write(text)
        return check_inf.check(self.dir, ROOT)

    def test_the_built_inf_passes(self):
        self.assertEqual(check_inf.check(BUILD, ROOT), [])

    def test_faults_are_named(self):
        cases = [
            ("another device", ("USB\\VID_1209&PID_0001\n", "USB\\VID_1209&PID_0002\n"),
             "hardware ID USB\\VID_1209&PID_0001"),
            ("the support library left behind", ("\nZaDar.EDI\n", "\n"),
             "ZaDar.EDI is not copied"),
            ("another size", (",16384", ",4096"), "MaximumTransferSize,0x00010001,16384"),
            ("a string value", (",,MaximumTransferSize,0x00010001", ",,MaximumTransferSize,0"),
             "does not write"),
            ("started at boot", ("StartType     = 3", "StartType     = 0"), "starttype"),
        ]
        for name, (old, new), message in cases:
            with self.subTest(name):
                self.assertIn(old, self.inf)
                findings = self.findings_of(self.inf.replace(old, new, 1))
                self.assertTrue(any(message in f for f in findings), findings)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
