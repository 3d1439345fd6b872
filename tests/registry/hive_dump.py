#!/usr/bin/python3
# Lists a hive as hivex reads it: "K" and the key's path, then "V" lines with
# each value's name, type and data, the key's subkeys after it in sibling
# order.  Names are UTF-16LE in hex (path components joined by "/"), so the
# listing can be rebuilt byte for byte from a registry tree.
#   --strings-to-nul  REG_SZ and REG_EXPAND_SZ data cut after its first NUL
#                     (a NUL added when there is none), as a string is stored
#                     after a trip through an 8-bit interface.
import sys

import hivex


def units(name):
    data = name.encode("utf-16-le", "surrogatepass")
    return [data[i] | data[i + 1] << 8 for i in range(0, len(data) - 1, 2)]


def order_key(name):
    return [u - 32 if 0x61 <= u <= 0x7A else u for u in units(name)]


def hexname(name):
    return name.encode("utf-16-le", "surrogatepass").hex()


def cut_at_nul(data):
    for i in range(0, len(data) - 1, 2):
        if data[i] == 0 and data[i + 1] == 0:
            return data[: i + 2]
    return data[: len(data) // 2 * 2] + b"\0\0"


def main():
    args = sys.argv[1:]
    strings_to_nul = "--strings-to-nul" in args
    args = [a for a in args if not a.startswith("--")]
    h = hivex.Hivex(args[0])
    out = []
    stack = [(h.root(), "")]
    while stack:
        node, path = stack.pop()
        out.append("K " + path)
        for v in h.node_values(node):
            kind, data = h.value_value(v)
            if strings_to_nul and kind in (1, 2):
                data = cut_at_nul(data)
            out.append("V %s %d %s" % (hexname(h.value_key(v)), kind, data.hex()))
        children = [(h.node_name(c), c) for c in h.node_children(node)]
        children.sort(key=lambda item: order_key(item[0]), reverse=True)
        for name, child in children:
            stack.append((child, (path + "/" if path else "") + hexname(name)))
    sys.stdout.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
