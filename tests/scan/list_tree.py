#!/usr/bin/python3
# Independent reader for the conformance tests: lists every key path of a hive
# with python3-hivex, then the numbers of keys and values.
import sys

import hivex

h = hivex.Hivex(sys.argv[1])
out = sys.stdout.buffer
keys = values = 0
stack = [(h.root(), None)]
while stack:
    node, parent = stack.pop()
    name = h.node_name(node)
    path = name if parent is None else parent + "\\" + name
    keys += 1
    values += len(h.node_values(node))
    out.write(b"K\t" + path.encode("utf-8", "surrogateescape") + b"\n")
    for child in reversed(h.node_children(node)):
        stack.append((child, path))
out.write(b"N\t%d\t%d\n" % (keys, values))
