#!/usr/bin/env python3
"""Checks a kernel image of the Windows build (a .SYS driver or a .EDI export library).

It reads the PE file itself and reports every rule the image breaks:
  - x86-64 machine, PE32+ optional header, native subsystem (1), relocatable, NX and dynamic base;
  - drivers: the WDM driver flag and DriverEntry as the entry point;
  - a valid checksum (the kernel refuses a driver without one);
  - imports: only from the allowed modules, only the allowed routines of each, by name;
  - no dynamic initialisers (_GLOBAL__sub_I_ symbols: linked, but nothing in the kernel runs them),
    no TLS directory, no pageable (PAGE*) sections, no section both writable and executable;
  - exports: exactly the given list.

    check_pe.py IMAGE --kind driver --allow ntoskrnl.exe=sim/imports/kernel.txt,sim/imports/crt.txt \
                --allow ZaDar.EDI=windows/ZaDar.def --exports windows/driver.def

A list file holds one routine per line (# starts a comment); a .def file gives its EXPORTS.
Exit status: 0 when the image keeps every rule, 1 when it breaks one (each is printed), 2 when it
cannot be read.
"""

import argparse
import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe_checksum  # noqa: E402

MACHINE_AMD64 = 0x8664
PE32_PLUS_MAGIC = 0x20B
SUBSYSTEM_NATIVE = 1
FILE_RELOCS_STRIPPED = 0x0001
DLLCHAR_DYNAMIC_BASE = 0x0040
DLLCHAR_NX_COMPAT = 0x0100
DLLCHAR_WDM_DRIVER = 0x2000
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
DIR_EXPORT, DIR_IMPORT, DIR_TLS = 0, 1, 9
ORDINAL_FLAG_64 = 1 << 63
STATIC_CONSTRUCTOR_PREFIX = "_GLOBAL__sub_I_"


class BadImage(Exception):
    pass


class PeImage:
    """The parts of a PE32+ image the checks look at."""

    def __init__(self, data: bytes):
        self.data = data
        if len(data) < 0x40 or data[:2] != b"MZ":
            raise BadImage("not a PE image: no MZ header")
        (pe,) = struct.unpack_from("<I", data, 0x3C)
        if data[pe : pe + 4] != b"PE\0\0":
            raise BadImage("not a PE image: no PE signature at 0x%x" % pe)
        coff = pe + 4
        (self.machine, nsections, _, self.symtab_offset, self.symbol_count, optsize,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, coff)
        opt = coff + 20
        (self.magic,) = struct.unpack_from("<H", data, opt)
        if self.magic != PE32_PLUS_MAGIC:
            raise BadImage("optional header magic 0x%x, not PE32+ (0x20b)" % self.magic)
        (self.entry_rva,) = struct.unpack_from("<I", data, opt + 16)
        (self.checksum, self.subsystem, self.dll_characteristics) = struct.unpack_from(
            "<IHH", data, opt + 64)
        (ndirs,) = struct.unpack_from("<I", data, opt + 108)
        self.directories = [struct.unpack_from("<II", data, opt + 112 + 8 * i)
                            for i in range(min(ndirs, 16))]
        self.string_table_offset = self.symtab_offset + 18 * self.symbol_count
        self.sections = []
        for i in range(nsections):
            s = opt + optsize + 40 * i
            raw_name = data[s : s + 8].rstrip(b"\0").decode("latin-1")
            vsize, va, raw_size, raw_ptr = struct.unpack_from("<IIII", data, s + 8)
            (flags,) = struct.unpack_from("<I", data, s + 36)
            self.sections.append((self._section_name(raw_name), va, max(vsize, raw_size), raw_ptr,
                                  flags))

    def _section_name(self, raw: str) -> str:
        if raw.startswith("/") and raw[1:].isdigit() and self.symtab_offset:
            return self._string_at(self.string_table_offset + int(raw[1:]))
        return raw

    def _string_at(self, offset: int) -> str:
        end = self.data.find(b"\0", offset)
        if offset >= len(self.data) or end < 0:
            raise BadImage("string at 0x%x lies outside the file" % offset)
        return self.data[offset:end].decode("latin-1")

    def offset_of(self, rva: int) -> int:
        for _, va, size, raw_ptr, _ in self.sections:
            if va <= rva < va + size:
                return raw_ptr + rva - va
        raise BadImage("RVA 0x%x is in no section" % rva)

    def string_at_rva(self, rva: int) -> str:
        return self._string_at(self.offset_of(rva))

    def directory(self, index: int):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def imports(self):
        """{module name: [routine names, or '#ordinal']}, in the order of the import table."""
        rva, size = self.directory(DIR_IMPORT)
        modules = {}
        if not rva or not size:
            return modules
        at = self.offset_of(rva)
        while True:
            lookup, _, _, name_rva, first_thunk = struct.unpack_from("<IIIII", self.data, at)
            if not name_rva:
                return modules
            routines = modules.setdefault(self.string_at_rva(name_rva), [])
            thunk = self.offset_of(lookup or first_thunk)
            while True:
                (entry,) = struct.unpack_from("<Q", self.data, thunk)
                if not entry:
                    break
                if entry & ORDINAL_FLAG_64:
                    routines.append("#%d" % (entry & 0xFFFF))
                else:
                    routines.append(self.string_at_rva((entry & 0x7FFFFFFF) + 2))
                thunk += 8
            at += 20

    def exports(self):
        """{exported name: RVA}."""
        rva, size = self.directory(DIR_EXPORT)
        if not rva or not size:
            return {}
        at = self.offset_of(rva)
        (_, nnames, functions, names, ordinals) = struct.unpack_from("<IIIII", self.data, at + 20)
        result = {}
        for i in range(nnames):
            (name_rva,) = struct.unpack_from("<I", self.data, self.offset_of(names) + 4 * i)
            (index,) = struct.unpack_from("<H", self.data, self.offset_of(ordinals) + 2 * i)
            (target,) = struct.unpack_from("<I", self.data, self.offset_of(functions) + 4 * index)
            result[self.string_at_rva(name_rva)] = target
        return result

    def symbols(self):
        """Names in the COFF symbol table (None when the image has none)."""
        if not self.symtab_offset or not self.symbol_count:
            return None
        names = []
        i = 0
        while i < self.symbol_count:
            at = self.symtab_offset + 18 * i
            raw = self.data[at : at + 8]
            if raw[:4] == b"\0\0\0\0":
                (offset,) = struct.unpack_from("<I", raw, 4)
                names.append(self._string_at(self.string_table_offset + offset))
            else:
                names.append(raw.rstrip(b"\0").decode("latin-1"))
            i += 1 + self.data[at + 17]  # skip auxiliary records
        return names


def read_name_list(path: str):
    """Routine names from a list file, or the EXPORTS of a .def file."""
    names = set()
    in_exports = not path.lower().endswith(".def")
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split(";")[0].split("#")[0].strip()
            if not line:
                continue
            if not in_exports:
                in_exports = line.split()[0].upper() == "EXPORTS"
                continue
            word = line.split()[0]
            if word.upper() in ("LIBRARY", "NAME", "SECTIONS", "HEAPSIZE", "STACKSIZE"):
                continue
            names.add(word.split("=")[0].split("@")[0])
    return names


def check_headers(image: PeImage, kind: str):
    problems = []
    if image.machine != MACHINE_AMD64:
        problems.append("machine 0x%x, not x86-64 (0x8664)" % image.machine)
    if image.subsystem != SUBSYSTEM_NATIVE:
        problems.append("subsystem %d, not native (1): link with --subsystem,native"
                        % image.subsystem)
    if image.characteristics & FILE_RELOCS_STRIPPED:
        problems.append("relocations stripped: the kernel must be able to relocate the image")
    for flag, name in ((DLLCHAR_DYNAMIC_BASE, "DYNAMIC_BASE"), (DLLCHAR_NX_COMPAT, "NX_COMPAT")):
        if not image.dll_characteristics & flag:
            problems.append("DllCharacteristics lacks %s" % name)
    if kind == "driver" and not image.dll_characteristics & DLLCHAR_WDM_DRIVER:
        problems.append("DllCharacteristics lacks WDM_DRIVER (0x2000): link with --wdmdriver")
    checksum = pe_checksum.compute_checksum(image.data)
    if image.checksum != checksum:
        problems.append("checksum 0x%08x stored, 0x%08x expected: the kernel refuses the image "
                        "(scripts/pe_checksum.py mends it)" % (image.checksum, checksum))
    if image.directory(DIR_TLS)[0]:
        problems.append("image has a TLS directory: kernel images cannot use thread-local data")
    for name, _, _, _, flags in image.sections:
        if flags & SCN_MEM_EXECUTE and flags & SCN_MEM_WRITE:
            problems.append("section %s is both writable and executable" % name)
        if name.upper().startswith("PAGE"):
            problems.append("section %s is pageable: all code and data stay resident" % name)
    return problems


def check_entry(image: PeImage, kind: str):
    if not image.entry_rva:
        return ["no entry point"]
    if kind == "driver" and image.exports().get("DriverEntry") != image.entry_rva:
        return ["entry point 0x%x is not the exported DriverEntry: link with --entry,DriverEntry"
                % image.entry_rva]
    return []


def check_imports(image: PeImage, allowed):
    problems = []
    for module, routines in image.imports().items():
        allowed_routines = allowed.get(module.lower())
        if allowed_routines is None:
            problems.append("imports from %s, which is not allowed (allowed: %s): %s"
                            % (module, ", ".join(sorted(allowed)) or "none", ", ".join(routines)))
            continue
        for routine in routines:
            if routine.startswith("#"):
                problems.append("imports %s from %s by ordinal" % (routine, module))
            elif routine not in allowed_routines:
                problems.append("imports %s from %s, which is not in its allow-list"
                                % (routine, module))
    return problems


def check_symbols(image: PeImage):
    names = image.symbols()
    if names is None:
        return ["no symbol table, so static constructors cannot be looked for: do not strip "
                "kernel images"]
    return ["dynamic initialiser %s: nothing runs it in the kernel; make the object constant "
            "or initialise it in code" % name
            for name in names if name.startswith(STATIC_CONSTRUCTOR_PREFIX)]


def check_exports(image: PeImage, expected):
    have = set(image.exports())
    problems = ["exports %s, which is not in the export list" % n for n in sorted(have - expected)]
    problems += ["does not export %s" % n for n in sorted(expected - have)]
    return problems


def check_image(path: str, kind: str, allowed, expected_exports):
    """Every rule the image breaks, as readable sentences."""
    with open(path, "rb") as f:
        image = PeImage(f.read())
    problems = check_headers(image, kind) + check_entry(image, kind)
    problems += check_imports(image, allowed) + check_symbols(image)
    if expected_exports is not None:
        problems += check_exports(image, expected_exports)
    return image, problems


def parse_allow(values):
    allowed = {}
    for value in values:
        module, sep, paths = value.partition("=")
        if not sep:
            raise SystemExit("--allow wants MODULE=LISTFILE[,LISTFILE...], got %r" % value)
        names = allowed.setdefault(module.lower(), set())
        for path in paths.split(","):
            names |= read_name_list(path)
    return allowed


def main() -> int:
    parser = argparse.ArgumentParser(description="Checks a kernel image of the Windows build.")
    parser.add_argument("image")
    parser.add_argument("--kind", choices=("driver", "export"), required=True,
                        help="driver: a .SYS; export: an export library (.EDI)")
    parser.add_argument("--allow", action="append", default=[],
                        metavar="MODULE=LISTFILE[,LISTFILE...]",
                        help="a module the image may import from, and the lists of the routines "
                             "it may use from it")
    parser.add_argument("--exports", metavar="LISTFILE", help="the exact exports expected")
    args = parser.parse_args()
    try:
        allowed = parse_allow(args.allow)
        expected = read_name_list(args.exports) if args.exports else None
        image, problems = check_image(args.image, args.kind, allowed, expected)
    except (OSError, BadImage, struct.error) as error:
        print("%s: cannot check: %s" % (args.image, error))
        return 2
    if problems:
        print("%s: %d problem(s):" % (args.image, len(problems)))
        for problem in problems:
            print("  - " + problem)
        return 1
    imports = image.imports()
    print("%s: ok (%s; imports %s; exports %d)" % (
        args.image, args.kind,
        ", ".join("%d from %s" % (len(r), m) for m, r in imports.items()) or "nothing",
        len(image.exports())))
    return 0


if __name__ == "__main__":
    sys.exit(main())
