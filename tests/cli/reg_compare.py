#!/usr/bin/python3
# reg_compare.py OURS THEIRS: two registry editor files hold the same keys and
# (key, value name, type, data bytes) entries; exit 0 when they do.  Spelling
# is normalised: key paths are taken relative to each file's first key (the
# exporters name the root differently), "text" is its UTF-16LE bytes and NUL,
# dword: its four bytes, hex: type 3.  A file is UTF-16LE with a byte order
# mark or 8-bit (each line UTF-8, else Latin-1, as hivexregedit prints names).
import collections
import re
import sys


def lines_of(path):
    data = open(path, "rb").read()
    if data.startswith(b"\xff\xfe"):
        return data[2:].decode("utf-16-le", "surrogatepass").split("\r\n")
    out = []
    for raw in data.rstrip(b"\r\n").split(b"\n"):
        try:
            out.append(raw.rstrip(b"\r").decode("utf-8"))
        except UnicodeDecodeError:
            out.append(raw.rstrip(b"\r").decode("latin-1"))
    return out


def unquote(text):
    """The string quoted at the start of text, and the rest after it."""
    out, i = [], 1
    while text[i] != '"':
        i += text[i] == "\\"
        out.append(text[i])
        i += 1
    return "".join(out), text[i + 1:]


def parse(path):
    lines = lines_of(path)
    assert lines[0] == "Windows Registry Editor Version 5.00", lines[0]
    logical = []
    for line in lines[1:]:
        if logical and logical[-1].endswith(",\\"):  # a wrapped hex line
            logical[-1] = logical[-1][:-1] + line.lstrip(" ")
        else:
            logical.append(line)
    keys, values, root, key = set(), collections.Counter(), None, None
    for line in filter(None, logical):
        if line.startswith("[") and line.endswith("]"):
            root = line[1:-1] if root is None else root
            assert line[1:-1].startswith(root), line
            key = line[1 + len(root):-1].lstrip("\\")
            keys.add(key)
            continue
        name, rest = ("", line[1:]) if line.startswith("@") else unquote(line)
        assert rest.startswith("="), line
        rest = rest[1:]
        if rest.startswith('"'):
            text, tail = unquote(rest)
            assert tail == "", line
            kind, data = 1, (text + "\0").encode("utf-16-le", "surrogatepass")
        elif rest.startswith("dword:"):
            kind, data = 4, int(rest[6:], 16).to_bytes(4, "little")
        else:
            m = re.match(r"^hex(?:\(([0-9a-f]+)\))?:([0-9a-f,]*)$", rest.replace(" ", ""))
            assert m, line
            kind = int(m.group(1), 16) if m.group(1) else 3
            data = bytes.fromhex(m.group(2).replace(",", ""))
        values[(key, name.encode("utf-16-le", "surrogatepass"), kind, data)] += 1
    return keys, values


def main():
    (ok, ov), (tk, tv) = parse(sys.argv[1]), parse(sys.argv[2])
    problems = ["key only in ours: %r" % k for k in sorted(ok - tk)] + ["key only in theirs: %r" % k for k in sorted(tk - ok)]
    problems += ["value only in ours: %r" % (v,) for v in (ov - tv).elements()]
    problems += ["value only in theirs: %r" % (v,) for v in (tv - ov).elements()]
    print("\n".join(problems[:20]) or "%d keys and %d values agree" % (len(ok), sum(ov.values())))
    return 1 if problems or not ov else 0


if __name__ == "__main__":
    sys.exit(main())
