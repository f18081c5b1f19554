#!/usr/bin/env python3
"""Writes a PalmDOC-shaped text document database for benchmarking.

usage: make_database.py OUT RECORDS [RECORD_SIZE]
Record 0 is the 16-byte document header; the text records hold incompressible bytes, as
compressed text does. RECORDS counts the text records.
"""
import os
import struct
import sys


def main():
    out, records = sys.argv[1], int(sys.argv[2])
    size = int(sys.argv[3]) if len(sys.argv) > 3 else 4096
    count = records + 1
    header = bytearray(78)
    header[0:13] = b"Bench Story\0\0"
    header[60:68] = b"TEXtREAd"
    struct.pack_into(">IH", header, 72, 0, count)
    first = 78 + 8 * count + 2
    offsets = [first] + [first + 16 + i * size for i in range(records)]
    with open(out, "wb") as f:
        f.write(header)
        f.write(b"".join(struct.pack(">IB3s", o, 0, i.to_bytes(3, "big")) for i, o in enumerate(offsets)))
        f.write(b"\0\0")
        f.write(struct.pack(">HHIHHI", 2, 0, records * size, records, size, 0))
        block = os.urandom(1 << 20)
        remaining = records * size
        while remaining:
            n = min(remaining, len(block))
            f.write(block[:n])
            remaining -= n


if __name__ == "__main__":
    main()
