#!/usr/bin/env python3
"""Checks a Windows user-mode console program of the build (vavedu.exe): x86-64 PE32+, console
subsystem, and imports from the DLLs of an allow-list only (Windows' own), so it runs on a machine
without the compiler's DLLs.

usage: check_exe.py <program> <allow-list of DLL names; '*' ends a prefix pattern>
Prints every finding; exit status 1 when there is one."""
import fnmatch
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
from check_pe import MACHINE_AMD64, BadImage, PeImage  # noqa: E402

SUBSYSTEM_WINDOWS_CUI = 3


def read_patterns(path):
    with open(path, encoding="utf-8") as f:
        return [line.split("#")[0].strip().lower() for line in f if line.split("#")[0].strip()]


def check(path, patterns):
    try:
        with open(path, "rb") as f:
            image = PeImage(f.read())
    except (OSError, BadImage) as e:
        return [str(e)]
    findings = []
    if image.machine != MACHINE_AMD64:
        findings.append("machine 0x%x, not x86-64" % image.machine)
    if image.subsystem != SUBSYSTEM_WINDOWS_CUI:
        findings.append("subsystem %d, not a console program (3)" % image.subsystem)
    modules = image.imports()
    if not modules:
        findings.append("imports nothing: not a program of this build")
    for module in modules:
        if not any(fnmatch.fnmatch(module.lower(), p) for p in patterns):
            findings.append("imports from %s, which is not a Windows system DLL of the allow-list"
                            % module)
    return findings


def main():
    findings = check(sys.argv[1], read_patterns(sys.argv[2]))
    for finding in findings:
        print("%s: %s" % (os.path.basename(sys.argv[1]), finding))
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
