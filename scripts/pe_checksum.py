#!/usr/bin/env python3
"""Computes the PE image checksum and writes it into the optional header.

The kernel refuses to load a driver whose CheckSum field does not match its contents. The value is
the one-complement style sum the platform's image loader verifies: the file taken as little-endian
16-bit words (the CheckSum field itself read as zero, an odd last byte padded with zero), carries
folded back into the low 16 bits after every addition, plus the file length.

    pe_checksum.py IMAGE            patch the checksum of IMAGE in place
    pe_checksum.py --verify IMAGE   exit 1 (and say why) if the stored checksum is wrong
"""

import argparse
import struct
import sys

PE_SIGNATURE = b"PE\0\0"
COFF_HEADER_SIZE = 20
CHECKSUM_OFFSET_IN_OPTIONAL_HEADER = 64  # the same for PE32 and PE32+


class NotAnImage(Exception):
    pass


def checksum_field_offset(data: bytes) -> int:
    """File offset of the CheckSum field, after checking the headers that lead to it."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        raise NotAnImage("no MZ header")
    (pe_offset,) = struct.unpack_from("<I", data, 0x3C)
    if pe_offset + 4 + COFF_HEADER_SIZE + CHECKSUM_OFFSET_IN_OPTIONAL_HEADER + 4 > len(data):
        raise NotAnImage("PE header offset 0x%x lies outside the file" % pe_offset)
    if data[pe_offset : pe_offset + 4] != PE_SIGNATURE:
        raise NotAnImage("no PE signature at offset 0x%x" % pe_offset)
    return pe_offset + 4 + COFF_HEADER_SIZE + CHECKSUM_OFFSET_IN_OPTIONAL_HEADER


def compute_checksum(data: bytes) -> int:
    field = checksum_field_offset(data)
    body = bytearray(data)
    body[field : field + 4] = b"\0\0\0\0"
    if len(body) % 2:
        body.append(0)
    total = 0
    for (word,) in struct.iter_unpack("<H", body):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def stored_checksum(data: bytes) -> int:
    return struct.unpack_from("<I", data, checksum_field_offset(data))[0]


def patch_file(path: str) -> int:
    with open(path, "rb") as f:
        data = bytearray(f.read())
    value = compute_checksum(data)
    struct.pack_into("<I", data, checksum_field_offset(data), value)
    with open(path, "wb") as f:
        f.write(data)
    return value


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--verify", action="store_true", help="check instead of patching")
    parser.add_argument("image")
    args = parser.parse_args()
    try:
        if args.verify:
            with open(args.image, "rb") as f:
                data = f.read()
            want, have = compute_checksum(data), stored_checksum(data)
            if want != have:
                print("%s: checksum 0x%08x stored, 0x%08x expected" % (args.image, have, want))
                return 1
            return 0
        patch_file(args.image)
        return 0
    except (OSError, NotAnImage) as error:
        print("%s: %s" % (args.image, error), file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
