#!/usr/bin/env python3
"""Checks what a host kernel image imports and exports.

A kernel image may need only the platform's images (libntoskrnl.so, libusbd.so, libZaDar.so),
may import only the routines on the allow-lists kept in sim/imports/, must not carry C++ runtime,
allocator or thread-library symbols nor static constructors, and must export exactly the expected
symbols (DriverEntry for a driver, the .def list for the support library).

Exit status 0 when the image is clean, 1 when it is not (every finding is listed), 2 on usage
errors.
"""

import argparse
import os
import re
import subprocess
import sys

ALLOWED_NEEDED = {"libntoskrnl.so", "libusbd.so", "libZaDar.so"}

# Allow-list file -> the image that provides its routines (None: the kernel, always present).
LISTS = [
    ("kernel.txt", None),
    ("crt.txt", None),
    ("usbd.txt", "libusbd.so"),
    ("support.txt", "libZaDar.so"),
]

FORBIDDEN = [
    (re.compile(r"^(malloc|calloc|realloc|free|posix_memalign|aligned_alloc|memalign|valloc)$"),
     "host allocator"),
    (re.compile(r"^_Zn[wa]"), "C++ operator new"),
    (re.compile(r"^_Zd[la]"), "C++ operator delete"),
    (re.compile(r"^__cxa_|^__gxx_|^_ZNS|^_ZNKS|^_ZSt|^_ZTV|^_ZTI|^_ZTS|^__dynamic_cast$"),
     "C++ runtime"),
    (re.compile(r"^_Unwind_|^__gcc_personality"), "exception unwinding"),
    (re.compile(r"^pthread_|^thrd_|^mtx_|^cnd_|^sem_"), "thread library"),
]


def run(args):
    result = subprocess.run(args, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"check_imports: {' '.join(args)} failed:\n{result.stderr}")
    return result.stdout


def read_list(path):
    names = set()
    if not os.path.exists(path):
        return names
    with open(path) as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                names.add(line)
    return names


def read_def(path):
    """The EXPORTS of a .def file (name, optionally followed by @ordinal or other words)."""
    names = []
    in_exports = False
    with open(path) as f:
        for line in f:
            line = line.split(";", 1)[0].strip()
            if not line:
                continue
            if line.upper().startswith("EXPORTS"):
                in_exports = True
                continue
            if re.match(r"^(LIBRARY|NAME|SECTIONS|HEAPSIZE|STACKSIZE|VERSION)\b", line, re.I):
                in_exports = False
                continue
            match = re.match(r"^([A-Za-z_][A-Za-z0-9_]*)", line)
            if in_exports and match:
                names.append(match.group(1))
    return names


def needed_entries(image):
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", run(["readelf", "-dW", image]))


def dynamic_symbols(image, which):
    out = run(["nm", "-D", "--format=posix", which, image])
    names = []
    for line in out.splitlines():
        parts = line.split()
        if parts:
            names.append(parts[0].split("@", 1)[0])
    return names


def all_symbols(image):
    result = subprocess.run(["nm", "--format=posix", image], capture_output=True, text=True)
    return [line.split()[0] for line in result.stdout.splitlines() if line.split()]


def section_names(image):
    return re.findall(r"\]\s+(\.\S+)", run(["readelf", "-SW", image]))


def check(image, lists_dir, expected_exports, support_def):
    findings = []
    needed = needed_entries(image)
    for entry in needed:
        if entry not in ALLOWED_NEEDED:
            findings.append(f"needs image {entry}: only {', '.join(sorted(ALLOWED_NEEDED))} "
                            "may be imported")

    allowed = {}
    for file_name, provider in LISTS:
        for name in read_list(os.path.join(lists_dir, file_name)):
            allowed[name] = provider
    if support_def and os.path.exists(support_def):
        for name in read_def(support_def):
            allowed.setdefault(name, "libZaDar.so")

    for name in sorted(set(dynamic_symbols(image, "--undefined-only"))):
        reason = next((why for pattern, why in FORBIDDEN if pattern.search(name)), None)
        if reason:
            findings.append(f"imports {name}: {reason} is not available to kernel code")
        elif name not in allowed:
            findings.append(f"imports {name}: not on the allow-list of kernel, USB stack, "
                            "support library or C runtime routines")
        elif allowed[name] is not None and allowed[name] not in needed:
            findings.append(f"imports {name} of {allowed[name]}, which the image does not need")

    for name in all_symbols(image):
        if name.startswith("_GLOBAL__sub_I_"):
            findings.append(f"static constructor {name}: kernel images run no initialisers")
    for section in section_names(image):
        if section in (".init_array", ".ctors", ".preinit_array"):
            findings.append(f"section {section}: kernel images run no initialisers")

    if expected_exports is not None:
        exported = set(dynamic_symbols(image, "--defined-only"))
        expected = set(expected_exports)
        for name in sorted(exported - expected):
            findings.append(f"exports {name}, which is not an expected export")
        for name in sorted(expected - exported):
            findings.append(f"does not export {name}")
    return findings


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("image", help="the host kernel image (.so)")
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser.add_argument("--lists", default=os.path.join(root, "sim", "imports"),
                        help="directory of the allow-lists (default: sim/imports)")
    parser.add_argument("--support-def", default=os.path.join(root, "windows", "ZaDar.def"),
                        help="the support library's .def, whose exports may be imported")
    parser.add_argument("--exports", nargs="*", default=None,
                        help="the exact list of symbols the image must export")
    parser.add_argument("--exports-def", help="a .def file whose EXPORTS the image must export")
    args = parser.parse_args()

    if not os.path.exists(args.image):
        print(f"check_imports: no such image: {args.image}", file=sys.stderr)
        return 2
    expected = None
    if args.exports is not None or args.exports_def:
        expected = list(args.exports or [])
        if args.exports_def:
            expected += read_def(args.exports_def)

    findings = check(args.image, args.lists, expected, args.support_def)
    name = os.path.basename(args.image)
    if findings:
        print(f"{name}: {len(findings)} import check finding(s):")
        for finding in findings:
            print(f"  {finding}")
        return 1
    print(f"{name}: imports and exports are clean")
    return 0


if __name__ == "__main__":
    sys.exit(main())
