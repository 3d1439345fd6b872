#!/usr/bin/python3
# Compares a hive filled by Hive rebuild with the hive it was rebuilt from, as
# python3-hivex lists them, and the class, security descriptor and last-write
# time of every key as their nk cells name them.
#
#   rebuild_compare.py ORIGINAL REBUILT CODEPAGE
#
# The rebuild carries names and data as UTF-16, so the expected tree is the
# original's whatever CODEPAGE the run used: strings (REG_SZ, REG_EXPAND_SZ)
# are cut at their first NUL and stored with one NUL, classes end at their
# first NUL, everything else is stored as it is.  Names that differ in letter
# case only land in one key or value, the first one's name, class and
# descriptor kept, a later value's data replacing the earlier and the last
# one's time standing.  A key without a security cell takes its parent's
# descriptor.  The root maps onto the mount's root: its values and time count.
#
# Prints "keys=N values=M" and exits 0 when both trees agree; else prints
# the first differences and exits 1.
import struct
import sys

import hivex


def upcase(text):
    # One unit for one unit, as the registry orders and matches names.
    out = []
    for c in text:
        u = c.upper()
        out.append(u if len(u) == 1 and ord(u) <= 0xFFFF and ord(c) <= 0xFFFF else c)
    return "".join(out)


def utf16(data):
    if len(data) % 2:
        data = data + b"\0"
    return data.decode("utf-16-le", "surrogatepass")


def until_nul(text):
    cut = text.find("\0")
    return text if cut < 0 else text[:cut]


class Cells:
    """The bytes of the hive file, for the nk fields hivex does not show."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.b = f.read()

    def u32(self, at):
        return struct.unpack_from("<I", self.b, at)[0]

    def payload(self, offset):
        # A cell's bytes after its size word, or None when it lies outside.
        at = 4096 + offset
        if offset == 0xFFFFFFFF or at + 4 > len(self.b):
            return None
        size = -struct.unpack_from("<i", self.b, at)[0]
        if size < 4 or at + size > len(self.b):
            return None
        return self.b[at + 4:at + size]

    def key_extras(self, node):
        """(class bytes or None, descriptor bytes or None) of an nk cell at
        file offset `node` (hivex's node handle)."""
        nk = self.b[node + 4:node + 4 + 0x4C]
        if nk[:2] != b"nk":
            raise ValueError("no nk cell at 0x%x" % node)
        sk_offset, class_offset = struct.unpack_from("<II", nk, 0x2C)
        class_length = struct.unpack_from("<H", nk, 0x4A)[0]
        cls = None
        if class_length:
            cell = self.payload(class_offset)
            if cell is not None and len(cell) >= class_length:
                cls = cell[:class_length]
        sd = None
        sk = self.payload(sk_offset)
        if sk is not None and sk[:2] == b"sk" and len(sk) >= 20:
            length = struct.unpack_from("<I", sk, 16)[0]
            if length and 20 + length <= len(sk):
                sd = sk[20:20 + length]
        return cls, sd


class Key:
    def __init__(self, name, cls, sd, time=None):
        self.name, self.cls, self.sd, self.time = name, cls, sd, time
        self.values = []  # [name, type, data]
        self.children = {}  # upcased name -> Key

    def set_value(self, name, kind, data):
        for v in self.values:
            if upcase(v[0]) == upcase(name):
                v[1], v[2] = kind, data
                return
        self.values.append([name, kind, data])


def stored_string(text):
    return (until_nul(text) + "\0").encode("utf-16-le", "surrogatepass")


def expected_tree(path):
    h = hivex.Hivex(path)
    cells = Cells(path)
    root = Key("", None, None, h.node_timestamp(h.root()))
    stack = [(h.root(), root)]
    while stack:
        node, key = stack.pop()
        # Visited in the walk's order, so a later duplicate's time wins.
        key.time = h.node_timestamp(node)
        for v in h.node_values(node):
            kind, data = h.value_value(v)
            if kind in (1, 2):
                data = stored_string(utf16(data))
            key.set_value(h.value_key(v), kind, data)
        # Pushed in reverse, so children are visited in index order, as the
        # rebuild's walk creates them.
        for child in reversed(h.node_children(node)):
            name = h.node_name(child)
            found = key.children.get(upcase(name))
            if found is None:
                cls, sd = cells.key_extras(child)
                cls = "" if cls is None else until_nul(utf16(cls))
                found = Key(name, cls, sd if sd is not None else key.sd)
                key.children[upcase(name)] = found
            stack.append((child, found))
    return root


def actual_tree(path):
    h = hivex.Hivex(path)
    cells = Cells(path)
    root = Key("", None, None, h.node_timestamp(h.root()))
    stack = [(h.root(), root)]
    while stack:
        node, key = stack.pop()
        key.time = h.node_timestamp(node)
        for v in h.node_values(node):
            kind, data = h.value_value(v)
            key.values.append([h.value_key(v), kind, data])
        for child in h.node_children(node):
            cls, sd = cells.key_extras(child)
            name = h.node_name(child)
            sub = Key(name, "" if cls is None else utf16(cls), sd)
            if upcase(name) in key.children:
                sub.name += " (twice)"
            key.children[upcase(sub.name)] = sub
            stack.append((child, sub))
    return root


def flatten(root):
    out = {}
    stack = [(root, "")]
    while stack:
        key, path = stack.pop()
        out[path] = key
        for child in key.children.values():
            stack.append((child, path + "\\" + child.name))
    return out


def main():
    original, rebuilt = sys.argv[1], sys.argv[2]
    want = flatten(expected_tree(original))
    got = flatten(actual_tree(rebuilt))
    problems = []
    for path in sorted(set(want) | set(got)):
        a, b = want.get(path), got.get(path)
        if a is None or b is None:
            problems.append("%s: %s" % ("only rebuilt" if a is None else "missing", path))
            continue
        if path and a.cls != b.cls:
            problems.append("class of %s: %r != %r" % (path, a.cls, b.cls))
        if a.time != b.time:
            problems.append("time of %s: %d != %d" % (path, a.time, b.time))
        if path and a.sd != b.sd:
            problems.append("descriptor of %s: %s != %s" % (path, a.sd and a.sd.hex(), b.sd and b.sd.hex()))
        if a.values != b.values:
            for x, y in zip(a.values + [None] * len(b.values), b.values + [None] * len(a.values)):
                if x != y:
                    problems.append("value of %s: %r != %r" % (path, x and x[:2] + [x[2][:40]],
                                                               y and y[:2] + [y[2][:40]]))
                    break
    if problems:
        print("%d differences" % len(problems))
        for p in problems[:20]:
            print(p.encode("utf-8", "backslashreplace").decode("utf-8"))
        sys.exit(1)
    print("keys=%d values=%d" % (len(got), sum(len(k.values) for k in got.values())))


if __name__ == "__main__":
    main()
