#!/usr/bin/env python3
"""The import check accepts a clean kernel image and names every fault of a bad one.

Usage: check_imports_test.py <check_imports.py> <clean image> <bad image> <image needing a
foreign image>
"""

import subprocess
import sys


def check(script, image, *extra):
    result = subprocess.run([sys.executable, script, image, *extra], capture_output=True,
                            text=True)
    return result.returncode, result.stdout + result.stderr


def main():
    script, clean, bad, foreign = sys.argv[1:5]
    failures = []

    code, out = check(script, clean, "--exports", "DriverEntry")
    if code != 0:
        failures.append(f"clean image rejected:\n{out}")

    code, out = check(script, bad, "--exports", "DriverEntry")
    if code != 1:
        failures.append(f"bad image: exit status {code}, expected 1:\n{out}")
    for expected in ["imports malloc", "imports free", "imports _Znwm", "imports pthread_self",
                     "static constructor _GLOBAL__sub_I_", "section .init_array",
                     "exports ExtraExport", "needs image libSysTestCompanion.so"]:
        if expected not in out:
            failures.append(f"bad image: finding '{expected}' missing from:\n{out}")

    code, out = check(script, clean, "--exports", "DriverEntry", "AddDevice")
    if code != 1 or "does not export AddDevice" not in out:
        failures.append(f"a missing export was not reported:\n{out}")

    code, out = check(script, foreign)
    if code != 1 or "needs image libSysTestCompanion.so" not in out:
        failures.append(f"a foreign image dependency was not reported:\n{out}")

    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
