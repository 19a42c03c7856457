#!/usr/bin/env python3
"""Static analysis of the product's code with clang-tidy, as the test lint.clang_tidy runs it.

usage: clang_tidy.py BUILD_DIR [--jobs N] [--deep] [--clang-tidy PROGRAM] [FILE...]

Runs clang-tidy, with the checks of the repository's .clang-tidy, over every source file of the
build's compile database (CMAKE_EXPORT_COMPILE_COMMANDS) in the kernel code (pcdriver/), the model
(sim/), the client library (client/) and the tool (tools/), or over the FILEs given, N files at a
time. Each finding is printed once (a header's finding shows in every file that includes it).
Exits 1 when a finding lies in an enforced directory (below) or clang-tidy fails, 0 otherwise.
--deep gives the analyzer its full budget of states per routine.
"""

import argparse
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# The code clang-tidy reads: the product, not its tests.
LINTED = ("pcdriver/", "sim/", "client/", "tools/")

# Findings fail the test in every directory clang-tidy reads.
ENFORCED = LINTED

# The analyzer explores at most this many states per routine, a third of its own default: so the
# test takes about a minute and a half of two processors instead of more than two. The full
# budget (--deep) reaches further into long routines.
BUDGET = ["--extra-arg=-Xclang", "--extra-arg=-analyzer-config", "--extra-arg=-Xclang",
          "--extra-arg=max-nodes=75000"]

# GCC's options that clang, on which clang-tidy is built, does not know: the default build is
# GCC's, so they are left out of the compile database clang-tidy reads.
GCC_ONLY = {"-fno-gnu-unique"}

DIAGNOSTIC = re.compile(r"^(?P<file>/[^:]+):(?P<line>\d+):(?P<col>\d+): "
                        r"(?P<severity>warning|error): (?P<message>.*)$")
# The check's name closes a diagnostic: "[bugprone-use-after-move]". Source lines are not printed
# (-fno-caret-diagnostics), so nothing else ends in a bracketed name like these.
CHECK = re.compile(r"\[(?P<check>(?:clang-analyzer|clang-diagnostic|bugprone|performance|"
                   r"readability)-[\w.,-]+)\]$")


def database(build_dir):
    """The build's compile database without GCC's own options, in BUILD_DIR/clang-tidy."""
    entries = json.loads((build_dir / "compile_commands.json").read_text())
    for entry in entries:
        words = entry.pop("arguments", None) or shlex.split(entry.pop("command"))
        entry["arguments"] = [w for w in words if w not in GCC_ONLY]
    directory = build_dir / "clang-tidy"
    directory.mkdir(exist_ok=True)
    (directory / "compile_commands.json").write_text(json.dumps(entries, indent=1))
    return directory, entries


def sources(entries):
    files = set()
    for entry in entries:
        path = Path(entry["directory"], entry["file"]).resolve()
        try:
            relative = path.relative_to(ROOT).as_posix()
        except ValueError:
            continue
        if relative.startswith(LINTED):
            files.add(path)
    return sorted(files)


def findings(output):
    """(file, line, column, check, severity, message) of each diagnostic in clang-tidy's output.
    A message may run over several lines (the analyzer's padding report does); its check's name
    ends it."""
    found = []
    for line in output.splitlines():
        match = DIAGNOSTIC.match(line)
        if match:
            found.append({"where": (match["file"], int(match["line"]), int(match["col"])),
                          "check": None, "severity": match["severity"],
                          "message": match["message"]})
        elif not found or found[-1]["check"] is not None:
            continue
        check = CHECK.search(line)
        if check:
            found[-1]["check"] = check["check"]
            if match:
                found[-1]["message"] = line[match.start("message"):check.start()].rstrip()
    return [(*f["where"], f["check"] or "clang-diagnostic", f["severity"],
             f["message"].rstrip()) for f in found]


def lint(program, database_dir, extra, path):
    """Runs clang-tidy on one file: its exit status, findings, output and processor time."""
    process = subprocess.Popen([program, "-p", str(database_dir), "--quiet",
                                "--extra-arg=-fno-caret-diagnostics", *extra, str(path)],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    output = process.stdout.read()
    process.stdout.close()
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    return path, process.returncode, findings(output), output, usage.ru_utime + usage.ru_stime


def relative(file):
    try:
        return Path(file).resolve().relative_to(ROOT).as_posix()
    except ValueError:
        return file


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir", type=Path)
    parser.add_argument("files", nargs="*", type=Path)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--deep", action="store_true")
    parser.add_argument("--clang-tidy", default="clang-tidy", dest="program")
    args = parser.parse_intermixed_args()

    if shutil.which(args.program) is None:
        print(f"clang-tidy: {args.program} not found (scripts/setup.sh installs it)",
              file=sys.stderr)
        return 1
    database_dir, entries = database(args.build_dir)
    files = [f.resolve() for f in args.files] or sources(entries)
    if not files:
        print("clang-tidy: no source files in the compile database", file=sys.stderr)
        return 1
    started = time.monotonic()
    with ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        extra = [] if args.deep else BUDGET
        results = list(pool.map(lambda f: lint(args.program, database_dir, extra, f), files))

    unique = {}
    broken = []
    for path, returncode, found, output, _ in results:
        for finding in found:
            unique.setdefault(finding[:4], finding)
        # clang-tidy exits non-zero for compile errors, which show as findings of their file; an
        # error without one (the compiler refusing an option, a crash) leaves the file unread.
        if returncode != 0 and not any(f[4] == "error" for f in found):
            broken.append((path, output))

    enforced, listed = [], []
    for file, line, column, check, _, message in sorted(unique.values()):
        where = relative(file)
        text = f"{where}:{line}:{column}: {message} [{check}]"
        (enforced if where.startswith(ENFORCED) else listed).append(text)

    for text in enforced:
        print(text)
    if listed:
        print(f"\nNot enforced yet (outside {', '.join(ENFORCED)}):")
        for text in listed:
            print("  " + text)
    for path, output in broken:
        print(f"\nclang-tidy failed on {relative(str(path))}:\n{output}")
    slowest = sorted(results, key=lambda r: -r[4])[:3]
    print(f"\nclang-tidy: {len(files)} files in {time.monotonic() - started:.0f} s, "
          f"{sum(r[4] for r in results):.0f} s of processor time (most: "
          f"{', '.join(f'{relative(str(r[0]))} {r[4]:.0f} s' for r in slowest)}); "
          f"{len(enforced)} findings in {', '.join(ENFORCED)}, {len(listed)} elsewhere")
    return 1 if enforced or broken else 0


if __name__ == "__main__":
    sys.exit(main())
