#!/usr/bin/env python3
"""Writes the seed corpus: small valid and malformed databases, one idea each."""
import pathlib
import struct
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
import hdb_reference as ref  # noqa: E402

DOC = struct.pack(">HHIHHI", 2, 0, 100, 1, 4096, 0)

SEEDS = {
    "valid_two_records": ref.build_pdb([DOC, b"compressed text"]),
    "valid_zero_length_middle": ref.build_pdb([DOC, b"", b"tail"]),
    "valid_long_record0": ref.build_pdb([DOC + bytes(200)]),
    "valid_prefix_boundaries": ref.build_pdb([DOC, bytes(127), bytes(128), bytes(16384)]),
    "valid_next_list": bytes(bytearray(ref.build_pdb(offsets=[94, 120], size=200, next_list=150))
                             [:156] + struct.pack(">I", 170) + bytes(40)),
    "valid_app_info_gap": ref.build_pdb([DOC, b"x"], gap=9),
    "reject_other_creator": ref.build_pdb([DOC], creator=b"READ"),
    "reject_no_records": ref.build_pdb([]),
    "reject_decreasing": ref.build_pdb(offsets=[120, 100], size=200),
    "reject_short_record0": ref.build_pdb([b"short", DOC]),
    "reject_empty_next_list": bytes(bytearray(ref.build_pdb(offsets=[94, 120], size=200,
                                                            next_list=150))[:154] + bytes(46)),
    "reject_truncated_list": ref.build_pdb([DOC, DOC])[:88],
}


def main():
    out = HERE / "corpus"
    out.mkdir(exist_ok=True)
    for name, data in SEEDS.items():
        (out / name).write_bytes(data)


if __name__ == "__main__":
    main()
