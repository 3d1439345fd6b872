#!/usr/bin/python3
# Compares two registry editor files by content: each is parsed into its keys
# and (key path, value name, type, data bytes) entries and the two sets must
# be equal.  Spelling is normalised away: key paths are taken relative to the
# first key of each file (the exporters name the root differently), a quoted
# string is its UTF-16LE bytes with the terminating NUL, dword: its four
# bytes, hex: type 3.  Either file may be UTF-16LE with a byte order mark or
# 8-bit text (each line UTF-8, else Latin-1, as hivexregedit prints names).
#   reg_compare.py OURS THEIRS    exit 0 when they agree, 1 with the differences
import collections
import re
import sys


def lines_of(path):
    data = open(path, "rb").read()
    if data.startswith(b"\xff\xfe"):
        text = data[2:].decode("utf-16-le", "surrogatepass")
        return text.split("\r\n")
    out = []
    for raw in data.split(b"\n"):
        raw = raw.rstrip(b"\r")
        try:
            out.append(raw.decode("utf-8"))
        except UnicodeDecodeError:
            out.append(raw.decode("latin-1"))
    return out


def unquote(text, start):
    """The string quoted at text[start] and the index after its closing quote."""
    assert text[start] == '"', text
    out = []
    i = start + 1
    while text[i] != '"':
        if text[i] == "\\":
            i += 1
        out.append(text[i])
        i += 1
    return "".join(out), i + 1


def utf16(text):
    return text.encode("utf-16-le", "surrogatepass")


def parse(path):
    lines = lines_of(path)
    assert lines[0].lstrip("\ufeff") == "Windows Registry Editor Version 5.00", (path, lines[0])
    # Continuation lines end in a backslash and go on after leading spaces.
    logical = []
    for line in lines[1:]:
        if logical and logical[-1].endswith(",\\"):
            logical[-1] = logical[-1][:-1] + line.lstrip(" ")
        else:
            logical.append(line)
    keys, values = set(), collections.Counter()
    root, key = None, None
    for line in logical:
        if not line:
            continue
        if line.startswith("[") and line.endswith("]"):
            full = line[1:-1]
            if root is None:
                root = full
            assert full.startswith(root), (full, root)
            key = full[len(root):].lstrip("\\")
            keys.add(key)
            continue
        assert key is not None, line
        if line.startswith("@="):
            name, rest = "", line[2:]
        else:
            name, after = unquote(line, 0)
            assert line[after] == "=", line
            rest = line[after + 1:]
        if rest.startswith('"'):
            text, end = unquote(rest, 0)
            assert end == len(rest), line
            kind, data = 1, utf16(text) + b"\0\0"
        elif rest.startswith("dword:"):
            kind, data = 4, int(rest[6:], 16).to_bytes(4, "little")
        else:
            m = re.match(r"^hex(?:\(([0-9a-f]+)\))?:(.*)$", rest)
            assert m, line
            kind = int(m.group(1), 16) if m.group(1) is not None else 3
            digits = m.group(2).replace(" ", "")
            data = bytes(int(b, 16) for b in digits.split(",")) if digits else b""
        values[(key, utf16(name), kind, data)] += 1
    return keys, values


def main():
    ours_keys, ours_values = parse(sys.argv[1])
    theirs_keys, theirs_values = parse(sys.argv[2])
    problems = []
    for k in sorted(ours_keys - theirs_keys)[:10]:
        problems.append("key only in %s: %r" % (sys.argv[1], k))
    for k in sorted(theirs_keys - ours_keys)[:10]:
        problems.append("key only in %s: %r" % (sys.argv[2], k))
    for v in list((ours_values - theirs_values).elements())[:10]:
        problems.append("value only in %s: %r" % (sys.argv[1], v))
    for v in list((theirs_values - ours_values).elements())[:10]:
        problems.append("value only in %s: %r" % (sys.argv[2], v))
    if problems:
        print("\n".join(problems))
        return 1
    print("%d keys and %d values agree" % (len(ours_keys), sum(ours_values.values())))
    return 0


if __name__ == "__main__":
    sys.exit(main())
