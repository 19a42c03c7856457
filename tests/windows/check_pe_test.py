#!/usr/bin/env python3
"""The image checker rejects what the kernel would refuse or mishandle, and says what is wrong.

    check_pe_test.py WINDOWS_BUILD_DIR REPO_ROOT

Bad images come two ways: tiny drivers built wrong on purpose (windows/negative), and copies of a
good driver with one header field changed (their checksum made right again, so the one fault is
the only one).
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

BUILD, ROOT = sys.argv[1], sys.argv[2]
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import check_pe  # noqa: E402
import pe_checksum  # noqa: E402

CHECKER = os.path.join(ROOT, "scripts", "check_pe.py")
GOOD_DRIVER = os.path.join(BUILD, "LinkProbe.SYS")
SUPPORT = os.path.join(BUILD, "ZaDar.EDI")
SUPPORT_DEF = os.path.join(ROOT, "windows", "ZaDar.def")
DRIVER_DEF = os.path.join(ROOT, "windows", "driver.def")
KERNEL_LISTS = ",".join(os.path.join(ROOT, p) for p in (
    "sim/imports/kernel.txt", "sim/imports/crt.txt", "windows/imports/ntoskrnl.exe.txt"))
DRIVER_ALLOW = ["--allow", "ntoskrnl.exe=" + KERNEL_LISTS,
                "--allow", "USBD.SYS=" + os.path.join(ROOT, "sim/imports/usbd.txt"),
                "--allow", "ZaDar.EDI=" + SUPPORT_DEF]


def run_checker(image, *args):
    result = subprocess.run([sys.executable, CHECKER, image, *args], capture_output=True,
                            text=True)
    return result.returncode, result.stdout + result.stderr


def check_driver(image, *extra):
    return run_checker(image, "--kind", "driver", "--exports", DRIVER_DEF, *DRIVER_ALLOW, *extra)


def header_offsets(data):
    (pe,) = struct.unpack_from("<I", data, 0x3C)
    opt = pe + 24
    return {"machine": pe + 4, "characteristics": pe + 22, "symbols": pe + 12, "magic": opt,
            "entry": opt + 16, "checksum": opt + 64, "subsystem": opt + 68,
            "dll_characteristics": opt + 70}


def set_field(field, fmt, value):
    def mutate(data):
        struct.pack_into(fmt, data, header_offsets(data)[field], value)
    return mutate


def change_flags(field, set_bits=0, clear_bits=0):
    def mutate(data):
        at = header_offsets(data)[field]
        (flags,) = struct.unpack_from("<H", data, at)
        struct.pack_into("<H", data, at, (flags | set_bits) & ~clear_bits)
    return mutate


class CheckerTest(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.scratch)

    def mutated_copy(self, mutate, fix_checksum=True):
        with open(GOOD_DRIVER, "rb") as f:
            data = bytearray(f.read())
        mutate(data)
        path = os.path.join(self.scratch, "Mutated.SYS")
        with open(path, "wb") as f:
            f.write(data)
        if fix_checksum:
            pe_checksum.patch_file(path)
        return path

    def write_list(self, name, lines):
        path = os.path.join(self.scratch, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")
        return path

    def assert_rejected(self, result, *expected):
        code, output = result
        self.assertNotEqual(code, 0, "accepted:\n" + output)
        for text in expected:
            self.assertIn(text, output)

    def test_good_driver_is_accepted(self):
        code, output = check_driver(GOOD_DRIVER)
        self.assertEqual(code, 0, output)
        self.assertIn("ok", output)

    def test_images_built_wrong_are_rejected(self):
        cases = [
            ("ImportsKernel32.SYS", ["imports from KERNEL32.dll, which is not allowed",
                                     "GetTickCount"]),
            ("ImportsMsvcrt.SYS", ["imports from msvcrt.dll, which is not allowed", "malloc"]),
            ("StaticConstructor.SYS", ["dynamic initialiser _GLOBAL__sub_I_"]),
        ]
        for image, expected in cases:
            with self.subTest(image=image):
                self.assert_rejected(check_driver(os.path.join(BUILD, "negative", image)),
                                     *expected)

    def test_bad_headers_are_rejected(self):
        cases = [
            ("console subsystem", set_field("subsystem", "<H", 3),
             "subsystem 3, not native (1)"),
            ("no WDM flag", change_flags("dll_characteristics", clear_bits=0x2000),
             "lacks WDM_DRIVER"),
            ("no dynamic base", change_flags("dll_characteristics", clear_bits=0x0040),
             "lacks DYNAMIC_BASE"),
            ("no NX", change_flags("dll_characteristics", clear_bits=0x0100), "lacks NX_COMPAT"),
            ("relocations stripped", change_flags("characteristics", set_bits=0x0001),
             "relocations stripped"),
            ("32-bit machine", set_field("machine", "<H", 0x14C), "machine 0x14c, not x86-64"),
            ("PE32 magic", set_field("magic", "<H", 0x10B), "not PE32+"),
            ("entry elsewhere", set_field("entry", "<I", 0x1000 + 1),
             "is not the exported DriverEntry"),
            ("stripped symbols", set_field("symbols", "<I", 0), "no symbol table"),
        ]
        for name, mutate, expected in cases:
            with self.subTest(name):
                self.assert_rejected(check_driver(self.mutated_copy(mutate)), expected)

    def test_wrong_checksum_is_rejected_and_patching_mends_it(self):
        path = self.mutated_copy(set_field("checksum", "<I", 0x1234), fix_checksum=False)
        self.assert_rejected(check_driver(path), "checksum 0x00001234 stored")
        pe_checksum.patch_file(path)
        self.assertEqual(check_driver(path)[0], 0)

    def test_computed_checksum_is_the_one_the_linker_writes(self):
        with open(os.path.join(BUILD, "negative", "LinkerChecksum.SYS"), "rb") as f:
            data = f.read()
        if pe_checksum.stored_checksum(data) == 0:
            self.skipTest("this linker writes no checksum")
        self.assertEqual(pe_checksum.compute_checksum(data), pe_checksum.stored_checksum(data))

    def test_routine_missing_from_the_allow_list_is_named(self):
        without_sprintf = self.write_list("ntoskrnl.txt", [
            name for name in read_names(KERNEL_LISTS) if name != "sprintf"])
        code, output = run_checker(GOOD_DRIVER, "--kind", "driver", "--exports", DRIVER_DEF,
                                   "--allow", "ntoskrnl.exe=" + without_sprintf, *DRIVER_ALLOW[2:])
        self.assert_rejected((code, output),
                             "imports sprintf from ntoskrnl.exe, which is not in its allow-list")

    def test_exports_must_match_the_definition_file_exactly(self):
        if not os.path.exists(SUPPORT):
            self.skipTest("no support library sources")
        def_names = sorted(read_names(SUPPORT_DEF))
        expected = self.write_list("ZaDar.def", ["EXPORTS"] + def_names[1:] + ["NotThere"])
        self.assert_rejected(
            run_checker(SUPPORT, "--kind", "export", "--exports", expected,
                        "--allow", "ntoskrnl.exe=" + KERNEL_LISTS),
            "does not export NotThere", "exports %s, which is not in the export list" % def_names[0])


def read_names(paths):
    """The names of comma-separated list files, read the way the checker reads them."""
    names = set()
    for path in paths.split(","):
        names |= check_pe.read_name_list(path)
    return names


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
