#!/usr/bin/python3
"""deleted_scan.py HIVE...: counts the key (nk) and value (vk) records that
the free cells of each hive still hold, for a cross-check of `quelbrix
recover`.  Written from the public description of the file format alone,
with none of recover's code: bins from offset 4096, each a chain of cells
whose signed size word is positive when the cell is free; inside a free cell
every 8-byte step may begin an old record (merged free cells keep the records
of the cells they swallowed).  A record counts when its signature is there,
its fixed part and name fit before the end of the free cell and, for a key,
its last-write time lies in 1980..2100 and its name is not empty.  The
slack behind the declared end of the bins is counted apart, bin by bin:
the bins a hive gave up when it shrank (their header names their own place)
and bins that name another place (left there by another file).  No parent rule and no check
of offsets: this counts candidates, so it may find more than recover lists."""
import struct
import sys

LOW, HIGH = 119600064000000000, 157469184000000000


def scan(data):
    keys = values = 0
    if data[:4] != b"regf" or len(data) < 4096 + 32:
        return None
    hbins = struct.unpack_from("<I", data, 0x28)[0]
    end = min(len(data), 4096 + hbins)
    pos = 4096
    while pos + 32 <= end and data[pos:pos + 4] == b"hbin":
        size = struct.unpack_from("<I", data, pos + 8)[0]
        if size < 32 or pos + size > end:
            break
        cell = pos + 32
        while cell + 4 <= pos + size:
            word = struct.unpack_from("<i", data, cell)[0]
            length = abs(word)
            if length == 0 or length % 8 or cell + length > pos + size:
                break
            if word > 0:
                k, v = free_records(data, cell, cell + length)
                keys += k
                values += v
            cell += length
        pos += size
    own = [0, 0]
    other = [0, 0]
    at = end if pos == end else len(data)
    while at + 4096 <= len(data):
        size = struct.unpack_from("<I", data, at + 8)[0] if data[at:at + 4] == b"hbin" else 0
        if size < 4096 or size % 4096 or at + size > len(data):
            at += 4096
            continue
        k, v = free_records(data, at + 32, at + size)
        into = own if struct.unpack_from("<I", data, at + 4)[0] == at - 4096 else other
        into[0] += k
        into[1] += v
        at += size
    return keys, values, own[0], own[1], other[0], other[1]


def free_records(data, start, stop):
    keys = values = 0
    for at in range(start, stop - 8 + 1, 8):
        sig = data[at + 4:at + 6]
        if sig == b"nk" and at + 0x50 <= stop:
            name_len = struct.unpack_from("<H", data, at + 0x4C)[0]
            stamp = struct.unpack_from("<Q", data, at + 0x08)[0]
            if 0 < name_len and at + 0x50 + name_len <= stop and LOW <= stamp < HIGH:
                keys += 1
        elif sig == b"vk" and at + 0x18 <= stop:
            name_len = struct.unpack_from("<H", data, at + 0x06)[0]
            if at + 0x18 + name_len <= stop:
                values += 1
    return keys, values


def main():
    for path in sys.argv[1:]:
        with open(path, "rb") as f:
            counts = scan(f.read())
        if counts is None:
            print("%s: not a hive" % path)
        else:
            print("%s: in free cells nk %d vk %d; in the slack: its own bins nk %d vk %d, bins of another file nk %d vk %d"
                  % ((path,) + counts))


if __name__ == "__main__":
    main()
