#!/usr/bin/env python3
"""The driver's own cost in instructions, per chunk and per request, measured with callgrind.

Runs build/<dir>/bin/vavedu_driver_cost under valgrind's callgrind with two request shapes (one
chunk per request, and 64 chunks per request, both with a 16384-byte maximum transfer size), each
with two request counts. The cost of a routine is its self cost (instructions of its own code,
not of what it calls), summed over the routines of an image: libVaVedu.so for the driver,
libZaDar.so for the support library. The model loads a fresh copy of each image from a temporary
directory, so images are matched by file name, not path. Differences between the two request
counts cancel start-up and shut-down; the two shapes separate the per-chunk cost from the rest.

usage: callgrind-driver-cost.py BUILD_DIR [--json FILE] [--direction read|write]
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile

IMAGES = {"driver": "libVaVedu.so", "support": "libZaDar.so"}
MAX_TRANSFER = 16384
SHAPES = {"one_chunk": 16384, "many_chunks": 64 * 16384}
COUNTS = (40, 120)

COMPRESSED = re.compile(r"^\((\d+)\)(?:\s+(.*))?$")


def resolve(table, value):
    """Callgrind's name compression: '(id) name' defines, '(id)' refers."""
    m = COMPRESSED.match(value.strip())
    if not m:
        return value.strip()
    ident, name = m.group(1), m.group(2)
    if name is not None:
        table[ident] = name
        return name
    return table.get(ident, "?")


def self_costs(path):
    """Self cost (Ir) of each (object, function) of a callgrind output file."""
    objects, functions = {}, {}
    costs = {}
    current_object = current_function = None
    skip_next_cost = False
    with open(path) as f:
        for line in f:
            line = line.rstrip("\n")
            if not line:
                continue
            head = line[0]
            if head.isdigit() or head in "+-*":
                if skip_next_cost:
                    skip_next_cost = False  # the inclusive cost of a call, not own code
                    continue
                if current_function is None:
                    continue
                fields = line.split()
                if len(fields) >= 2:
                    key = (current_object, current_function)
                    costs[key] = costs.get(key, 0) + int(fields[1])
                continue
            key, _, value = line.partition("=")
            if key == "ob":
                current_object = resolve(objects, value)
            elif key == "cob":
                resolve(objects, value)
            elif key == "fn":
                current_function = resolve(functions, value)
            elif key == "cfn" or key == "cfi" or key == "cfl":
                if key == "cfn":
                    resolve(functions, value)
            elif key == "calls":
                skip_next_cost = True
    return costs


def image_cost(costs, image):
    total, by_function = 0, {}
    for (obj, fn), ir in costs.items():
        if obj is not None and os.path.basename(obj) == image:
            total += ir
            by_function[fn] = by_function.get(fn, 0) + ir
    return total, by_function


def run(program, direction, size, requests, workdir):
    out = os.path.join(workdir, f"callgrind.{size}.{requests}")
    cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", program, direction,
           str(size), str(MAX_TRANSFER), str(requests)]
    result = subprocess.run(cmd, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"{' '.join(cmd)} failed:\n{result.stderr[-2000:]}")
    return self_costs(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir")
    parser.add_argument("--json")
    parser.add_argument("--direction", default="read", choices=("read", "write"))
    args = parser.parse_args()
    program = os.path.join(args.build_dir, "bin", "vavedu_driver_cost")
    if not os.access(program, os.X_OK):
        sys.exit(f"{program} is missing: build the target vavedu_driver_cost first")

    per_request = {}  # shape -> image -> (instructions per request, by function)
    with tempfile.TemporaryDirectory(prefix="vavedu-callgrind-") as workdir:
        for shape, size in SHAPES.items():
            low = run(program, args.direction, size, COUNTS[0], workdir)
            high = run(program, args.direction, size, COUNTS[1], workdir)
            per_request[shape] = {}
            for name, image in IMAGES.items():
                low_total, low_fns = image_cost(low, image)
                high_total, high_fns = image_cost(high, image)
                n = COUNTS[1] - COUNTS[0]
                fns = {fn: (high_fns.get(fn, 0) - low_fns.get(fn, 0)) / n for fn in high_fns}
                per_request[shape][name] = ((high_total - low_total) / n, fns)

    chunks = SHAPES["many_chunks"] // MAX_TRANSFER
    result = {"direction": args.direction, "max_transfer": MAX_TRANSFER,
              "chunks_per_request": {"one_chunk": 1, "many_chunks": chunks}}
    for name in IMAGES:
        one, one_fns = per_request["one_chunk"][name]
        many, many_fns = per_request["many_chunks"][name]
        per_chunk = (many - one) / (chunks - 1)
        fn_chunk = {fn: (many_fns.get(fn, 0) - one_fns.get(fn, 0)) / (chunks - 1)
                    for fn in set(one_fns) | set(many_fns)}
        fn_request = {fn: one_fns.get(fn, 0) - fn_chunk.get(fn, 0) for fn in fn_chunk}
        top = lambda d: dict(sorted(((k, round(v, 1)) for k, v in d.items() if abs(v) >= 0.5),
                                    key=lambda kv: -kv[1])[:8])
        result[name] = {
            "per_chunk": round(per_chunk, 1),
            "per_request_beyond_chunks": round(one - per_chunk, 1),
            "one_chunk_request": round(one, 1),
            "many_chunk_request": round(many, 1),
            "per_chunk_by_function": top(fn_chunk),
            "per_request_by_function": top(fn_request),
        }
    text = json.dumps(result, indent=2)
    if args.json:
        with open(args.json, "w") as f:
            f.write(text + "\n")
    print(text)


if __name__ == "__main__":
    main()
