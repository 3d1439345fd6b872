#!/usr/bin/python3
# Lists a hive as hivex reads it, one line per key and per value, subkeys in
# name order, so that two hives with the same content list the same text.
import sys

import hivex


def main():
    h = hivex.Hivex(sys.argv[1])
    out = []
    stack = [(h.root(), "")]
    while stack:
        node, path = stack.pop()
        out.append("K %s" % path)
        for v in h.node_values(node):
            kind, data = h.value_value(v)
            out.append("V %r %d %s" % (h.value_key(v), kind, data.hex()))
        children = [(h.node_name(c), c) for c in h.node_children(node)]
        children.sort(key=lambda item: item[0].upper(), reverse=True)
        for name, child in children:
            stack.append((child, path + "\\" + name))
    sys.stdout.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
