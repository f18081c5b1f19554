#!/usr/bin/env python3
"""Builds the Windows installer from packaging/palmconv.wxs with wixl.

usage: make_msi.py --version 1.2.3 --arch x86|x64 --files DIR --output FILE.msi

DIR holds palmconv.exe and the text files installed beside it. The product code is derived from
the version and architecture, so every version is a product of its own (a newer one upgrades an
older one) while rebuilding one version gives the same code. wixl stamps a random package code
and the current time; they are replaced by a package code derived from the inputs and, where
SOURCE_DATE_EPOCH is set, by that time, so the same inputs give the same file.
"""
import argparse
import hashlib
import os
import pathlib
import re
import struct
import subprocess
import sys
import uuid

WXS = pathlib.Path(__file__).resolve().parent / "palmconv.wxs"
FILES = ["palmconv.exe", "README.txt", "LICENSE.txt", "THIRD-PARTY-NOTICES.txt",
         "converted_database_format.txt"]

# Summary information property identifiers and types (the OLE property set format).
PID_REVNUMBER = 9  # the package code
PID_CREATE_DTM = 12
PID_LASTSAVE_DTM = 13
VT_LPSTR = 30
VT_FILETIME = 64
FILETIME_EPOCH_OFFSET = 11644473600  # seconds from 1601-01-01 to 1970-01-01


def stream_offsets(data, name):
    """Returns the file offsets of each byte of the named stream of a compound file."""
    if data[:8] != bytes.fromhex("d0cf11e0a1b11ae1"):
        raise ValueError("not a compound file")
    sector_size = 1 << struct.unpack_from("<H", data, 0x1E)[0]
    mini_size = 1 << struct.unpack_from("<H", data, 0x20)[0]
    first_dir, = struct.unpack_from("<I", data, 0x30)
    mini_cutoff, first_minifat, = struct.unpack_from("<II", data, 0x38)
    difat_sectors, = struct.unpack_from("<I", data, 0x48)
    if difat_sectors:
        raise ValueError("compound file too large for this reader")

    def offset(sector):
        return (sector + 1) * sector_size

    fat_sectors = [s for s in struct.unpack_from("<109I", data, 0x4C) if s < 0xFFFFFFFA]
    fat = []
    for s in fat_sectors:
        fat.extend(struct.unpack_from(f"<{sector_size // 4}I", data, offset(s)))

    def chain(first, table):
        sectors = []
        while first < 0xFFFFFFFA:
            sectors.append(first)
            first = table[first]
        return sectors

    directory = b"".join(data[offset(s):offset(s) + sector_size] for s in chain(first_dir, fat))
    entries = [directory[i:i + 128] for i in range(0, len(directory), 128)]
    root_start, = struct.unpack_from("<I", entries[0], 116)
    for entry in entries:
        length, = struct.unpack_from("<H", entry, 64)
        if length and entry[:length - 2].decode("utf-16-le") == name:
            start, size = struct.unpack_from("<IQ", entry, 116)
            break
    else:
        raise ValueError(f"no stream {name!r}")

    if size >= mini_cutoff:
        unit, sectors, place = sector_size, chain(start, fat), offset
    else:
        minifat = b"".join(data[offset(s):offset(s) + sector_size]
                           for s in chain(first_minifat, fat))
        minifat = struct.unpack(f"<{len(minifat) // 4}I", minifat)
        mini_stream = [offset(s) for s in chain(root_start, fat)]

        def place(mini):
            at = mini * mini_size
            return mini_stream[at // sector_size] + at % sector_size
        unit, sectors = mini_size, chain(start, minifat)
    return [place(sectors[i // unit]) + i % unit for i in range(size)]


def restamp_summary(path, package_code, epoch):
    """Sets the package code and, if epoch is not None, both times of an installer's summary."""
    data = bytearray(path.read_bytes())
    where = stream_offsets(data, "\x05SummaryInformation")
    stream = bytearray(data[i] for i in where)
    section, = struct.unpack_from("<I", stream, 44)
    count, = struct.unpack_from("<I", stream, section + 4)
    for n in range(count):
        pid, at = struct.unpack_from("<II", stream, section + 8 + 8 * n)
        at += section
        kind, = struct.unpack_from("<H", stream, at)
        if pid == PID_REVNUMBER and kind == VT_LPSTR:
            old_length, = struct.unpack_from("<I", stream, at + 4)
            code = ("{%s}" % str(package_code).upper()).encode() + b"\0"
            if len(code) != old_length:
                raise ValueError("unexpected package code length")
            stream[at + 8:at + 8 + len(code)] = code
        elif pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM) and kind == VT_FILETIME and epoch is not None:
            struct.pack_into("<Q", stream, at + 4, (epoch + FILETIME_EPOCH_OFFSET) * 10_000_000)
    for i, byte in zip(where, stream):
        data[i] = byte
    path.write_bytes(data)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--version", required=True)
    parser.add_argument("--arch", choices=["x86", "x64"], required=True)
    parser.add_argument("--files", required=True, type=pathlib.Path)
    parser.add_argument("--output", required=True, type=pathlib.Path)
    args = parser.parse_args()
    if not re.fullmatch(r"\d+\.\d+\.\d+", args.version):
        sys.exit(f"make_msi.py: version {args.version!r} is not three numbers")

    wxs = WXS.read_bytes()
    upgrade_code = uuid.UUID(re.search(rb'UpgradeCode="([^"]+)"', wxs).group(1).decode())
    product_code = uuid.uuid5(upgrade_code, f"product {args.version} {args.arch}")
    inputs = hashlib.sha256(wxs + f"\0{args.version}\0{args.arch}".encode())
    for name in FILES:
        inputs.update(b"\0" + (args.files / name).read_bytes())
    package_code = uuid.uuid5(upgrade_code, "package " + inputs.hexdigest())

    output = args.output.resolve()
    # wixl finds the files by name in its working folder.
    done = subprocess.run(
        ["wixl", "--arch", args.arch, "-D", f"Version={args.version}",
         "-D", f"ProductCode={product_code}", "-o", str(output), str(WXS)],
        cwd=args.files, capture_output=True, text=True)
    # wixl notes that it leaves shortcuts unadvertised, which is what is asked of it.
    noise = [line for line in done.stderr.splitlines() if line and "unimplemented" not in line]
    if done.returncode != 0 or noise:
        sys.stderr.write(done.stderr)
        output.unlink(missing_ok=True)
        sys.exit(f"make_msi.py: wixl failed ({done.returncode})")
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    restamp_summary(output, package_code, int(epoch) if epoch else None)


if __name__ == "__main__":
    main()
