#!/usr/bin/python3
"""fresh_copy.py SRC DST: writes DST, a hive holding every key and value of
SRC written fresh by hivex, so that the size of a defragmented hive can be
set beside that of the same tree laid out from nothing.

hivex cannot create a hive, so DST starts as a minimal one made here: a base
block and one bin holding the root key (named as SRC's root, with SRC's root
descriptor) and a free cell.  hivex then adds the keys and values.  Classes
and the descriptors of keys below the root are not copied: hivex cannot set
them (every new key shares its parent's descriptor)."""

import struct
import sys

import hivex

PAGE = 4096
ROOT_CELL = 0x20
NO_CELL = 0xFFFFFFFF

# Owner and group Administrators, a DACL granting Administrators and
# LocalSystem full control: used when SRC's root descriptor can't be read.
FALLBACK_DESCRIPTOR = bytes.fromhex(
    "01000480" "14000000" "20000000" "00000000" "2c000000"
    "01020000000000052000000020020000"
    "01020000000000052000000020020000"
    "02003400" "02000000"
    "000014003f000f00" "0101000000000005" "12000000"
    "000018003f000f00" "0102000000000005" "2000000020020000")


def cell_at(image, offset):
    """The payload of the cell at hive offset `offset` (after its size word)."""
    pos = PAGE + offset
    size = struct.unpack_from("<i", image, pos)[0]
    if size >= 0 or pos - size > len(image):
        raise ValueError("no allocated cell at 0x%x" % offset)
    return image[pos + 4:pos - size]


def root_facts(path):
    """Version, root key name (as stored, with its flags) and root descriptor."""
    with open(path, "rb") as f:
        image = f.read()
    major, minor = struct.unpack_from("<II", image, 0x14)
    nk = cell_at(image, struct.unpack_from("<I", image, 0x24)[0])
    flags = struct.unpack_from("<H", nk, 0x02)[0]
    name = nk[0x4C:0x4C + struct.unpack_from("<H", nk, 0x48)[0]]
    try:
        sk = cell_at(image, struct.unpack_from("<I", nk, 0x2C)[0])
        descriptor = sk[0x14:0x14 + struct.unpack_from("<I", sk, 0x10)[0]]
        if sk[:2] != b"sk" or not descriptor:
            descriptor = FALLBACK_DESCRIPTOR
    except (ValueError, struct.error):
        descriptor = FALLBACK_DESCRIPTOR
    return major, minor, flags & 0x20, name, descriptor


def empty_hive(major, minor, compressed_name, name, descriptor):
    """A base block and one bin: the root nk, its sk and a free cell."""
    nk = bytearray(0x4C)
    nk[0:2] = b"nk"
    # Hive entry, no delete, plus the name's storage flag from SRC.
    struct.pack_into("<H", nk, 0x02, 0x0C | compressed_name)
    struct.pack_into("<I", nk, 0x10, 0)
    struct.pack_into("<II", nk, 0x1C, NO_CELL, NO_CELL)
    struct.pack_into("<I", nk, 0x28, NO_CELL)
    struct.pack_into("<I", nk, 0x30, NO_CELL)
    struct.pack_into("<HH", nk, 0x48, len(name), 0)
    nk += name
    nk_cell = bytearray(struct.pack("<i", -((len(nk) + 4 + 7) // 8 * 8))) + nk
    nk_cell += bytes(-len(nk_cell) % 8)

    sk_offset = ROOT_CELL + len(nk_cell)
    sk = bytearray(b"sk\0\0")
    sk += struct.pack("<IIII", sk_offset, sk_offset, 1, len(descriptor)) + descriptor
    sk_cell = struct.pack("<i", -((len(sk) + 4 + 7) // 8 * 8)) + bytes(sk)
    sk_cell += bytes(-len(sk_cell) % 8)
    struct.pack_into("<I", nk_cell, 4 + 0x2C, sk_offset)

    used = ROOT_CELL + len(nk_cell) + len(sk_cell)
    bin_size = (used + 8 + PAGE - 1) // PAGE * PAGE
    hbin = bytearray(b"hbin") + struct.pack("<II", 0, bin_size) + bytes(0x14)
    hbin += nk_cell + sk_cell
    hbin += struct.pack("<i", bin_size - used) + bytes(bin_size - used - 4)

    base = bytearray(PAGE)
    base[0:4] = b"regf"
    struct.pack_into("<II", base, 0x04, 1, 1)
    struct.pack_into("<IIIII", base, 0x14, major, minor, 0, 1, ROOT_CELL)
    struct.pack_into("<II", base, 0x28, bin_size, 1)
    checksum = 0
    for (word,) in struct.iter_unpack("<I", base[:0x1FC]):
        checksum ^= word
    struct.pack_into("<I", base, 0x1FC, checksum)
    return bytes(base + hbin)


def copy_values(src, src_node, dst, dst_node):
    values = []
    for v in src.node_values(src_node):
        t, data = src.value_value(v)
        values.append({"key": src.value_key(v), "t": t, "value": data})
    if values:
        dst.node_set_values(dst_node, values)


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: fresh_copy.py SRC DST")
    src_path, dst_path = sys.argv[1:]
    with open(dst_path, "wb") as f:
        f.write(empty_hive(*root_facts(src_path)))
    src = hivex.Hivex(src_path)
    dst = hivex.Hivex(dst_path, write=True)
    keys = 0
    pending = [(src.root(), dst.root())]
    while pending:
        s, d = pending.pop()
        copy_values(src, s, dst, d)
        for child in src.node_children(s):
            pending.append((child, dst.node_add_child(d, src.node_name(child))))
            keys += 1
    dst.commit(dst_path)
    print("%s: %d keys copied" % (dst_path, keys + 1))


if __name__ == "__main__":
    main()
