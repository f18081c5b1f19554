#!/usr/bin/env python3
"""Writes the golden databases from the descriptions below.

decode/NAME.pdb must convert to decode/NAME.hdb byte for byte; reject/NAME.pdb must be refused.
The expected conversions come from the plain model in hdb_reference.py; the worked example's
bytes are also checked by hand in the unit tests. Files made by txt2pdbdoc (an independent
PalmDOC writer) are kept as they are: rerunning this script only refreshes their .hdb.
"""
import pathlib
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
import hdb_reference as ref  # noqa: E402


def doc_header(compression, text_length, count, size=4096):
    return struct.pack(">HHIHHI", compression, 0, text_length, count, size, 0)


def text(n, seed=0):
    return bytes((b"The quick brown fox jumps over the lazy dog. " * (n // 45 + 2))[seed:seed + n])


def with_next_list(data, list_at, first_offset, count=1):
    data = bytearray(data)
    struct.pack_into(">I", data, 72, list_at)
    data[list_at:list_at + 14] = struct.pack(">IHIB3s", 0, count, first_offset, 0, b"\0\0\1")
    return bytes(data)


def worked_example():
    data = bytearray(ref.build_pdb(offsets=[104, 120, 620], size=1000))
    data[104:120] = doc_header(2, 5000, 2)
    return bytes(data)


DECODE = {
    "worked_example": worked_example,
    "edge_lengths": lambda: ref.build_pdb(
        [doc_header(1, 20255, 4), b"", text(127), text(128, 3), text(20000, 7)]),
    "application_info_gap": lambda: ref.build_pdb([doc_header(1, 50, 1), text(50)], gap=37),
    "long_record0": lambda: ref.build_pdb([doc_header(1, 10, 1) + text(284), text(10)]),
    "name_with_bytes_after_nul": lambda: ref.build_pdb(
        [doc_header(1, 5, 1), text(5)], name=b"Story\0\xaa\xbbjunk after the end\x01"),
    "next_record_list": lambda: with_next_list(
        ref.build_pdb([doc_header(1, 60, 2), text(30), text(30, 1), b"N" * 16, b"M" * 14]),
        78 + 8 * 5 + 16 + 30 + 30, 78 + 8 * 5 + 16 + 60 + 16),
    "one_record": lambda: ref.build_pdb([doc_header(1, 0, 0)]),
}

REJECT = {
    "empty": lambda: b"",
    "short_header": lambda: ref.build_pdb([doc_header(1, 4, 1), b"text"])[:77],
    "other_creator": lambda: ref.build_pdb([doc_header(1, 4, 1), b"text"], creator=b"READ"),
    "other_type": lambda: ref.build_pdb([doc_header(1, 4, 1), b"text"], type_=b"BOOK"),
    "no_records": lambda: ref.build_pdb([]),
    "record_list_cut_short": lambda: ref.build_pdb([doc_header(1, 4, 1), b"text"])[:90],
    "record_inside_list": lambda: ref.build_pdb(offsets=[80, 100], size=200),
    "offsets_decrease": lambda: ref.build_pdb(offsets=[200, 150, 300], size=400),
    "record_past_end": lambda: ref.build_pdb(offsets=[100, 500], size=400),
    "next_list_past_end": lambda: ref.build_pdb(offsets=[100, 200], size=400, next_list=390),
    "next_list_points_back": lambda: with_next_list(
        ref.build_pdb(offsets=[100, 200], size=400), 380, 150),
    # An empty further list has no first entry: the bytes behind it must not end the last record.
    "next_list_empty": lambda: with_next_list(
        ref.build_pdb([doc_header(1, 16, 1), b"LAST-RECORD-TEXT"]) + bytes(14),
        78 + 8 * 2 + 16 + 16, 78 + 8 * 2 + 16 + 4, count=0),
    "record0_too_short": lambda: ref.build_pdb([b"\0\1" * 5 + b"\0", b"text"]),
}

TXT2PDBDOC = {
    "txt2pdbdoc_compressed": [],
    "txt2pdbdoc_uncompressed": ["-c"],
}


def make_txt2pdbdoc(name, flags):
    pdb = HERE / "decode" / (name + ".pdb")
    if pdb.exists() or shutil.which("txt2pdbdoc") is None:
        return
    with tempfile.TemporaryDirectory() as tmp:
        source = pathlib.Path(tmp) / "story.txt"
        source.write_bytes(text(9000) + b"\n" + text(1500, 11) + b"\nThe end.\n")
        subprocess.run(["txt2pdbdoc", *flags, "Sample Story", str(source), str(pdb)], check=True)


def main():
    for name, make in DECODE.items():
        (HERE / "decode" / (name + ".pdb")).write_bytes(make())
    for name, flags in TXT2PDBDOC.items():
        make_txt2pdbdoc(name, flags)
    for pdb in sorted((HERE / "decode").glob("*.pdb")):
        converted = ref.convert(pdb.read_bytes())
        assert converted is not None, pdb
        pdb.with_suffix(".hdb").write_bytes(converted)
    for name, make in REJECT.items():
        data = make()
        assert ref.convert(data) is None, name
        (HERE / "reject" / (name + ".pdb")).write_bytes(data)


if __name__ == "__main__":
    main()
