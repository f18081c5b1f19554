"""A second, deliberately plain model of the conversion, for making and checking test data.

It reads a Palm text document database and returns the converted database bytes, or None
when the converter must refuse the input.
"""
import struct

TEXT_TYPE, TEXT_CREATOR = b"TEXt", b"REAd"


def length_prefix(length):
    out = bytearray()
    while True:
        out.append((length & 0x7F) << 1)
        length >>= 7
        if length == 0:
            break
    out[-1] |= 1
    return bytes(out)


def extents(data):
    """Record (offset, length) pairs of the first record list, or None for a broken file."""
    if len(data) < 78 or len(data) > 0xFFFFFFFF:
        return None
    next_list, count = struct.unpack(">IH", data[72:78])
    list_end = 78 + 8 * count
    if count == 0 or len(data) < list_end:
        return None
    offsets = [struct.unpack(">I", data[78 + 8 * i:82 + 8 * i])[0] for i in range(count)]
    if offsets[0] < list_end or any(b < a for a, b in zip(offsets, offsets[1:])):
        return None
    end = len(data)
    if next_list:
        at = next_list + 6
        if at + 8 > len(data) or struct.unpack(">H", data[next_list + 4:at])[0] == 0:
            return None
        end = struct.unpack(">I", data[at:at + 4])[0]
        if end < offsets[-1] or end > len(data):
            return None
    if offsets[-1] > end:
        return None
    bounds = offsets + [end]
    return [(bounds[i], bounds[i + 1] - bounds[i]) for i in range(count)]


def convert(data):
    if data[60:64] != TEXT_TYPE or data[64:68] != TEXT_CREATOR:
        return None
    records = extents(data)
    if records is None or records[0][1] < 12 or any(n >= 1 << 28 for _, n in records):
        return None
    stored = []
    for i, (offset, length) in enumerate(records):
        body = bytearray(data[offset:offset + length])
        if i == 0:
            compression, spare, text_length, count, size = struct.unpack(">HHIHH", body[:12])
            body[:12] = struct.pack("<HHIHH", compression, 0, text_length, count, size)
            body[2:4] = data[offset + 2:offset + 4]
        stored.append(length_prefix(length) + bytes(body))
    head = bytearray(92)
    head[0:32] = data[0:32]
    struct.pack_into("<H", head, 64, 0x8938)
    struct.pack_into("<I", head, 88, len(records))
    table = bytearray()
    offset = 92 + 16 * len(records)
    for s in stored:
        if offset > 0xFFFFFFFF:
            return None
        table += struct.pack("<IIIHBB", offset, 0, 0, 1, 0, 0)
        offset += len(s)
    return bytes(head + table + b"".join(stored))


def build_pdb(record_bodies=None, offsets=None, size=None, name=b"Story", type_=TEXT_TYPE,
              creator=TEXT_CREATOR, next_list=0, gap=0):
    """A Palm database from record bodies (laid out back to back after `gap` bytes), or from
    explicit offsets over a patterned file of `size` bytes."""
    if offsets is None:
        count = len(record_bodies)
        offsets, at = [], 78 + 8 * count + gap
        for body in record_bodies:
            offsets.append(at)
            at += len(body)
    count = len(offsets)
    header = bytearray(78)
    header[0:len(name)] = name
    header[60:64], header[64:68] = type_, creator
    struct.pack_into(">IH", header, 72, next_list, count)
    table = b"".join(struct.pack(">IB3s", o, 0x40, (0x1234 + i).to_bytes(3, "big"))
                     for i, o in enumerate(offsets))
    data = bytearray(header + table)
    if record_bodies is not None:
        data += bytes((i * 13 + 5) & 0xFF for i in range(gap))
        for body in record_bodies:
            data += body
    else:
        data += bytes((i * 7 + 3) & 0xFF for i in range(len(data), size))
    return bytes(data)
