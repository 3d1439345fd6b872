#!/usr/bin/python3
"""deleted_scan.py HIVE...: counts the key (nk) and value (vk) records that
the free cells of each hive still hold, for a cross-check of `quelbrix
recover`.  Written from the public description of the file format alone,
with none of recover's code: bins from offset 4096, each a chain of cells
whose signed size word is positive when the cell is free; inside a free cell
every 8-byte step may begin an old record (merged free cells keep the records
of the cells they swallowed).  A record counts when its signature is there,
its fixed part and name fit before the end of the free cell and, for a key,
its last-write time lies in 1980..2100 and its name is not empty.  No parent
rule: this counts candidates, so it may find more than recover lists."""
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
    return keys, values


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
            print("%s: nk %d vk %d" % (path, counts[0], counts[1]))


if __name__ == "__main__":
    main()
